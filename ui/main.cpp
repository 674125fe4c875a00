// The desktop program: `lumivore` opens the wizard; `lumivore IMAGE` also registers the disk
// image as a logical drive and selects it.

#include <string_view>

#include <QApplication>
#include <QCommandLineParser>

#include "device/DskLib.h"
#include "i18n/MultiLanguage.h"
#include "support/AppInfo.h"
#include "ui/MainWindow.h"
#include "ui/UDisksOpener.h"
#include "ui/UiSupport.h"

int main(int argc, char** argv) {
    using namespace lumivore;
    // Start-up order: devices, support facts, language, then the application and its window.
    TDeviceCatalogue::Instance().Rebuild();
    EnumeratePhysicalDrives();
    AppDir();
    InitialiseLanguage();

    // Help and version need no display: print them even where no window could open.
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "-v" || arg == "--version")
            qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("lumivore"));
    QApplication::setApplicationVersion(QString::fromStdString(AppFileVersion()));
    QApplication::setApplicationDisplayName(QString());
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Finds deleted photos and media files on a card, disk or disk image and recovers them.\n"
                       "The device examined is only ever read."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("IMAGE"),
                                 QStringLiteral("A disk image to open as a drive and select at start-up."),
                                 QStringLiteral("[IMAGE]"));
    parser.process(app);
    // As a desktop user, devices the program cannot open itself are opened read-only by udisks2.
    InstallUDisksOpener();
    // Qt's own dialogs and buttons in the interface language.
    LoadToolkitTranslations();
    SystemOkCaption() = QCoreApplication::translate("QPlatformTheme", "OK").toStdString();

    int status = 0;
    {
        Tfrm_main window;
        const QStringList args = parser.positionalArguments();
        if (!args.isEmpty())
            window.OpenImage(args.first());
        window.show();
        status = QApplication::exec();
    }
    FinaliseLanguage();
    return status;
}
