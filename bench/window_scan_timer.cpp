// Times the wizard's scan of a disk image as a user starts it: the window is shown, the image is
// opened as a drive, Next leads to the range page and Next again scans the whole image. Prints
// the seconds from that second Next until the scan has returned, and the files found, as one
// line "seconds found". bench/window_scan_vs_cli.py sets it against lumivore-cli scan.
#include <chrono>
#include <cstdio>

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include "i18n/MultiLanguage.h"
#include "support/AppInfo.h"
#include "ui/MainWindow.h"

int main(int argc, char** argv) {
    using namespace lumivore;
    if (argc != 2) {
        std::fprintf(stderr, "usage: window_scan_timer IMAGE\n");
        return 2;
    }
    AppDir();
    InitialiseLanguage();
    QApplication app(argc, argv);
    int status = 0;
    {
        Tfrm_main window;
        window.show();
        QCoreApplication::processEvents();
        if (!window.OpenImage(QString::fromLocal8Bit(argv[1]))) {
            std::fprintf(stderr, "window_scan_timer: cannot open %s\n", argv[1]);
            return 1;
        }
        auto* next = window.findChild<QPushButton*>(QStringLiteral("btn_next"));
        next->click(); // the range page, the whole device
        QCoreApplication::processEvents();
        const auto start = std::chrono::steady_clock::now();
        next->click(); // the scan runs at once and returns when it is over
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!window.Scanned() || window.PageIndex() != Tfrm_main::PageScan) {
            std::fprintf(stderr, "window_scan_timer: the scan did not run\n");
            status = 1;
        }
        const QString found = window.findChild<QLabel*>(QStringLiteral("Label12"))->text();
        std::printf("%.4f %s\n", seconds, qPrintable(found));
    }
    FinaliseLanguage();
    return status;
}
