// The desktop program: `lumivore` opens the wizard; `lumivore IMAGE` also registers the disk
// image as a logical drive and selects it.

#include <QApplication>

#include "device/DskLib.h"
#include "i18n/MultiLanguage.h"
#include "support/AppInfo.h"
#include "ui/MainWindow.h"
#include "ui/UiSupport.h"

int main(int argc, char** argv) {
    using namespace lumivore;
    // Start-up order: devices, support facts, language, then the application and its window.
    TDeviceCatalogue::Instance().Rebuild();
    EnumeratePhysicalDrives();
    AppDir();
    InitialiseLanguage();

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Lumivore"));
    QApplication::setApplicationDisplayName(QString());
    // Qt's own dialogs and buttons in the interface language.
    LoadToolkitTranslations();
    SystemOkCaption() = QCoreApplication::translate("QPlatformTheme", "OK").toStdString();

    int status = 0;
    {
        Tfrm_main window;
        const QStringList args = QApplication::arguments();
        if (args.size() > 1)
            window.OpenImage(args.at(1));
        window.show();
        status = QApplication::exec();
    }
    FinaliseLanguage();
    return status;
}
