// The desktop program: `lumivore` opens the wizard; `lumivore IMAGE` also registers the disk
// image as a logical drive and selects it.

#include <cstdio>
#include <cstring>
#include <memory>

#include <QApplication>

#include "device/DeviceOpener.h"
#include "device/DskLib.h"
#include "i18n/MultiLanguage.h"
#include "support/AppInfo.h"
#include "ui/MainWindow.h"
#include "ui/UDisksOpener.h"
#include "ui/UiSupport.h"

namespace {

// --help and --version answer on stdout without opening a window (the manual page is made from
// them), before the toolkit looks for a display.
bool AnswersOnTheTerminal(int argc, char** argv, int& status) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("Usage: lumivore [IMAGE]\n"
                        "Find and recover deleted photos and media files from memory cards and disks.\n\n"
                        "Opens the recovery wizard. With IMAGE, the disk image file is opened as a drive\n"
                        "and selected. The examined device is only ever read.\n\n"
                        "Options:\n"
                        "  -h, --help     show this help and exit\n"
                        "  --version      show the version and exit\n");
            status = 0;
            return true;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("lumivore %s\n", lumivore::AppFileVersion().c_str());
            status = 0;
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    using namespace lumivore;
    if (int status = 0; AnswersOnTheTerminal(argc, argv, status))
        return status;
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
    // A device the user may not read is opened through udisks2, which asks for the password
    // once, when the user chooses that device.
    InstallUDisksOpener();

    int status = 0;
    {
        std::unique_ptr<Tfrm_main> window;
        {
            // Creating and first showing the window open the preselected drive: no password
            // prompt before the user has chosen anything.
            TDeviceOpenerPause pause;
            window = std::make_unique<Tfrm_main>();
            const QStringList args = QApplication::arguments();
            if (args.size() > 1)
                window->OpenImage(args.at(1));
            window->show();
        }
        status = QApplication::exec();
    }
    FinaliseLanguage();
    return status;
}
