// The wizard driven as a user drives it: device sizes, the range sliders and their checks, the
// page moves, the check list's toggling rules, Exit and closing while a scan runs, and one whole
// recovery from a sample card into a folder, compared byte for byte.
#include <climits>
#include <cstdint>

#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QTabBar>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include "engine/FileTypes.h"
#include "engine/Recovery.h"
#include "support/Settings.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"
#include "ui/AboutBox.h"
#include "ui/CustomizeRecovery.h"
#include "ui/DirDialog.h"
#include "ui/MainWindow.h"
#include "ui/OptionsDialog.h"
#include "ui/UiTestSupport.h"

using namespace lumivore;
using lumivore::testing::MakeSparseImage;

namespace {

constexpr qint64 kSector = 512;

template <typename T>
T* Find(QWidget& window, const char* name) {
    T* widget = window.findChild<T*>(QLatin1String(name));
    if (widget == nullptr)
        qFatal("no widget %s", name);
    return widget;
}

QString Text(QWidget& window, const char* name) { return Find<QLabel>(window, name)->text(); }

void Click(QWidget& window, const char* name) { QTest::mouseClick(Find<QAbstractButton>(window, name), Qt::LeftButton); }

bool Checked(QTreeWidget* list, int row) { return list->topLevelItem(row)->checkState(0) == Qt::Checked; }

void ClickRow(QTreeWidget* list, int row, int x = -1) {
    const QRect rect = list->visualItemRect(list->topLevelItem(row));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, QPoint(x < 0 ? rect.center().x() : x, rect.center().y()));
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT
    std::unique_ptr<lumivore::testing::TUiTestEnvironment> env_;
    QTemporaryDir images_;

    QString Image(const char* name, qint64 sectors) {
        const QString path = MakeSparseImage(images_.filePath(QLatin1String(name)), sectors * kSector);
        if (path.isEmpty())
            qFatal("cannot create %s", name);
        return path;
    }

    // A shown window on an image of that many sectors.
    std::unique_ptr<Tfrm_main> WindowOn(const char* name, qint64 sectors) {
        auto window = std::make_unique<Tfrm_main>();
        window->show();
        if (!window->OpenImage(Image(name, sectors)))
            qFatal("image not opened");
        return window;
    }

    // Moves to page "range" and enters a start and end.
    static void EnterRange(Tfrm_main& window, const QString& start, const QString& end) {
        Click(window, "btn_next");
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageRange});
        Find<QLineEdit>(window, "Edit2")->setText(start);
        Find<QLineEdit>(window, "Edit3")->setText(end);
    }

private Q_SLOTS:
    void initTestCase() { env_ = std::make_unique<lumivore::testing::TUiTestEnvironment>(); }
    void init() { env_->Reset(); }
    void cleanupTestCase() { env_.reset(); }

    void sizeLabelsSwitchToGigabytesAtOneThousandMegabytes() {
        Tfrm_main window;
        window.show();
        const struct {
            const char* name;
            qint64 sectors;
            const char* size;
        } cases[] = {
            {"a.img", 2047980, "999.99 MB"},  // 999.990 MB
            {"b.img", 2048000, "0.98 GB"},    // exactly 1000 MB
            {"c.img", 2097152, "1.00 GB"},    // 1024 MB
        };
        for (const auto& c : cases) {
            QVERIFY(window.OpenImage(Image(c.name, c.sectors)));
            QCOMPARE(Text(window, "Label5"), QString::fromLatin1(c.size));
            QCOMPARE(Text(window, "Label3"), QStringLiteral("Fixed Drive"));
            QCOMPARE(Text(window, "Label7"), QStringLiteral("Ready"));
        }
        // The user's decimal separator.
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QVERIFY(window.OpenImage(Image("b.img", 2048000)));
        QCOMPARE(Text(window, "Label5"), QStringLiteral("0,98 GB"));
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        // A file that cannot be read is refused with its name.
        QVERIFY(!window.OpenImage(images_.filePath(QStringLiteral("missing.img"))));
        QCOMPARE(env_->Messages.size(), 1);
        QVERIFY(env_->Messages[0].endsWith(QStringLiteral("missing.img' cannot be read as a disk image.")));
        // The image entry names the file and its size.
        QVERIFY(Find<QComboBox>(window, "DriveComboBox1")->currentText().startsWith(QStringLiteral("b.img  (")));
    }

    void aDeviceWithoutWholeSectorsGivesEmptySliders() {
        auto window = std::make_unique<Tfrm_main>();
        window->show();
        QVERIFY(window->OpenImage(MakeSparseImage(images_.filePath(QStringLiteral("tiny.img")), 100)));
        QVERIFY(Text(*window, "Label5") == QStringLiteral("0.00 MB") || Text(*window, "Label5") == QStringLiteral("0"));
        Click(*window, "btn_next");
        auto* end = Find<QSlider>(*window, "trackbar2");
        QCOMPARE(end->maximum(), 0);
        QCOMPARE(end->tickInterval(), 1);
        QCOMPARE(Find<QGroupBox>(*window, "range_end")->title(), QStringLiteral("&End (Max. 0 MB)"));
    }

    void slidersCoverTheWholeDeviceOnEveryDeparture() {
        auto window = WindowOn("s.img", 4096001);
        Click(*window, "btn_next");
        for (const char* name : {"trackbar1", "trackbar2"}) {
            auto* slider = Find<QSlider>(*window, name);
            QCOMPARE(slider->maximum(), 2001);
            QCOMPARE(slider->tickInterval(), 50);
            QCOMPARE(slider->pageStep(), 50);
        }
        QCOMPARE(Find<QLineEdit>(*window, "Edit3")->text(), QStringLiteral("2001"));
        QCOMPARE(Find<QGroupBox>(*window, "range_end")->title(), QStringLiteral("&End (Max. 2001 MB)"));
        QVERIFY(Find<QLineEdit>(*window, "Edit3")->toolTip().contains(QStringLiteral("2001")));
        // A slider writes its field; typed values are forgotten when the device page is left.
        Find<QSlider>(*window, "trackbar1")->setValue(7);
        QCOMPARE(Find<QLineEdit>(*window, "Edit2")->text(), QStringLiteral("7"));
        Find<QLineEdit>(*window, "Edit3")->setText(QStringLiteral("12"));
        Click(*window, "btn_prior");
        QCOMPARE(window->PageIndex(), 0);
        QVERIFY(!Find<QPushButton>(*window, "btn_prior")->isEnabled());
        Click(*window, "btn_next");
        QCOMPARE(Find<QLineEdit>(*window, "Edit2")->text(), QStringLiteral("0"));
        QCOMPARE(Find<QLineEdit>(*window, "Edit3")->text(), QStringLiteral("2001"));
    }

    // A 3 TiB device: its megabytes pass the old limit of 1,048,575 and its sectors pass 2^32.
    void aDiskBeyondTwoTebibytesIsOfferedAndScannedToItsEnd() {
        const qint64 sectors = qint64{3} << 31; // 3 TiB
        const std::uint64_t lastMbSector = std::uint64_t{3145727} * 2048;
        auto window = WindowOn("3tib.img", sectors);
        Click(*window, "btn_next");
        auto* end = Find<QSlider>(*window, "trackbar2");
        QCOMPARE(end->maximum(), 3145728);
        QCOMPARE(Find<QLineEdit>(*window, "Edit3")->text(), QStringLiteral("3145728"));
        QCOMPARE(Find<QGroupBox>(*window, "range_end")->title(), QStringLiteral("&End (Max. 3145728 MB)"));
        Find<QSlider>(*window, "trackbar1")->setValue(3145727);
        QCOMPARE(Find<QLineEdit>(*window, "Edit2")->text(), QStringLiteral("3145727"));

        // An end typed past the device is cut at its end; the last megabyte is scanned.
        Find<QLineEdit>(*window, "Edit3")->setText(QStringLiteral("99999999999"));
        Click(*window, "btn_next");
        QVERIFY(env_->Messages.isEmpty());
        QCOMPARE(window->ScanStart(), lastMbSector);
        QCOMPARE(window->ScanLength(), std::uint64_t{2048});
        QCOMPARE(window->PageIndex(), int{Tfrm_main::PageScan});
        QVERIFY(window->Scanned());
        QVERIFY(Text(*window, "Label14").toLongLong() >= 2048); // whole blocks of 1000
        QCOMPARE(Text(*window, "Label16"), QStringLiteral("0"));
    }

    // Devices whose megabytes exceed an int: the slider's last position still reaches the end.
    void rangeSlidersStepCoarserWhenMegabytesExceedAnInt() {
        QCOMPARE(lumivore::RangeSliderUnit(0), std::int64_t{1});
        QCOMPARE(lumivore::RangeSliderUnit(INT_MAX), std::int64_t{1});
        QCOMPARE(lumivore::RangeSliderUnit(std::int64_t{INT_MAX} + 1), std::int64_t{2});
        for (const std::int64_t mb : {std::int64_t{INT_MAX} + 1, std::int64_t{1} << 40, INT64_MAX / 2048}) {
            const std::int64_t unit = lumivore::RangeSliderUnit(mb);
            const std::int64_t positions = mb / unit + (mb % unit != 0 ? 1 : 0);
            QVERIFY2(positions <= INT_MAX, qPrintable(QString::number(mb)));
            QVERIFY2(positions * unit >= mb, qPrintable(QString::number(mb)));
        }
    }

    void rangeChecksAndTheScanItStarts() {
        auto window = WindowOn("r.img", 500 * 2048);
        // Start above end is swapped: 200 MB from 100 MB on.
        EnterRange(*window, QStringLiteral("300"), QStringLiteral("100"));
        Click(*window, "btn_next");
        QVERIFY(env_->Messages.isEmpty());
        QCOMPARE(window->ScanStart(), std::uint64_t{100 * 2048});
        QCOMPARE(window->ScanLength(), std::uint64_t{200 * 2048});
        QCOMPARE(window->PageIndex(), int{Tfrm_main::PageScan});
        QVERIFY(window->Scanned());
        QVERIFY(Text(*window, "Label14").toLongLong() >= 200 * 2048); // whole blocks of 1000
        QVERIFY(Find<QPushButton>(*window, "btn_next")->isEnabled());
        QVERIFY(Find<QPushButton>(*window, "btn_prior")->isEnabled());

        // A range wholly beyond the device stays on page "range" with the message.
        window = WindowOn("r2.img", 500 * 2048);
        EnterRange(*window, QStringLiteral("600"), QStringLiteral("700"));
        Click(*window, "btn_next");
        QCOMPARE(env_->Messages, QStringList{QStringLiteral("Scan range cannot beyond drive size.")});
        QCOMPARE(window->PageIndex(), int{Tfrm_main::PageRange});
        QVERIFY(!window->Scanned());

        // Text that is no whole number and negative numbers are refused.
        const struct {
            const char* text;
            const char* message;
        } refused[] = {
            {"12a", "'12a' is not a valid integer value"},
            {"1.5", "'1.5' is not a valid integer value"},
            {"-5", "Scan range must be given in whole megabytes, 0 or more."},
            {"99999999999999999999", "'99999999999999999999' is not a valid integer value"},
        };
        for (const auto& r : refused) {
            env_->Messages.clear();
            Find<QLineEdit>(*window, "Edit2")->setText(QLatin1String(r.text));
            Find<QLineEdit>(*window, "Edit3")->setText(QStringLiteral("10"));
            Click(*window, "btn_next");
            QCOMPARE(env_->Messages, QStringList{QLatin1String(r.message)});
            QCOMPARE(window->PageIndex(), int{Tfrm_main::PageRange});
        }

        // Start equal to end: page "scan" without scanning; blank fields count as 0.
        env_->Messages.clear();
        Find<QLineEdit>(*window, "Edit2")->setText(QStringLiteral("  "));
        Find<QLineEdit>(*window, "Edit3")->setText(QStringLiteral("0"));
        Click(*window, "btn_next");
        QVERIFY(env_->Messages.isEmpty());
        QCOMPARE(window->PageIndex(), int{Tfrm_main::PageScan});
        QCOMPARE(window->ScanLength(), std::uint64_t{0});
        QVERIFY(!window->Scanned());
        QCOMPARE(Text(*window, "Label14"), QStringLiteral("0"));
    }

    void checkListTogglesOnlyThroughTheMouseRules() {
        Tfrm_main window;
        window.show();
        auto* list = Find<QTreeWidget>(window, "ListView1");
        QCOMPARE(list->topLevelItemCount(), 35);
        QCOMPARE(list->topLevelItem(0)->text(0), QStringLiteral("General files"));
        QCOMPARE(list->topLevelItem(12)->text(0), QStringLiteral("Camera Raw files"));
        QCOMPARE(list->topLevelItem(2)->text(0), QString::fromStdString(GeneralTypes()[kFormatJpeg].Name));
        QCOMPARE(list->topLevelItem(13)->text(1), QString::fromStdString(MakerTypes()[kMakerCanon].Extensions));
        QCOMPARE(list->topLevelItem(0)->background(0).color(), QColor(255, 226, 128));
        QCOMPARE(list->topLevelItem(12)->background(1).color(), QColor(255, 226, 128));
        // The phone and video group follows the camera group after a spacer of its own.
        QCOMPARE(list->topLevelItem(26)->text(0), QString());
        QCOMPARE(list->topLevelItem(27)->text(0), QStringLiteral("Phone and video files"));
        QCOMPARE(list->topLevelItem(27)->background(0).color(), QColor(255, 226, 128));
        for (std::size_t p = 0; p < kPhoneTypeCount; ++p) {
            QTreeWidgetItem* row = list->topLevelItem(28 + static_cast<int>(p));
            QCOMPARE(row->text(0), QString::fromStdString(PhoneTypes()[p].Name));
            QCOMPARE(row->text(1), QString::fromStdString(PhoneTypes()[p].Extensions));
        }
        window.findChild<QStackedWidget*>(QStringLiteral("Notebook1"))->setCurrentIndex(Tfrm_main::PageFileType);

        // Row 0 checks the general group; row 5 (clicked on its box) then flips alone and
        // unchecks the header.
        ClickRow(list, 0);
        for (int r = 0; r <= 10; ++r)
            QVERIFY(Checked(list, r));
        QVERIFY(!Checked(list, 13));
        ClickRow(list, 5, 8);
        QVERIFY(!Checked(list, 5));
        QVERIFY(!Checked(list, 0));
        QVERIFY(Checked(list, 4) && Checked(list, 6));
        ClickRow(list, 5);
        QVERIFY(Checked(list, 5));
        QVERIFY(!Checked(list, 0)); // every row checked does not check the header

        // Row 12 checks the camera group, row 20 then unchecks itself and the header only.
        ClickRow(list, 12);
        for (int r = 12; r <= 25; ++r)
            QVERIFY(Checked(list, r));
        ClickRow(list, 20);
        QVERIFY(!Checked(list, 20));
        QVERIFY(!Checked(list, 12));
        for (int r : {13, 19, 21, 25})
            QVERIFY(Checked(list, r));
        ClickRow(list, 11); // the spacer
        QVERIFY(!Checked(list, 20));
        ClickRow(list, 12); // unchecked header: checks all again
        QVERIFY(Checked(list, 20));
        ClickRow(list, 12);
        for (int r = 12; r <= 25; ++r)
            QVERIFY(!Checked(list, r));

        // Row 27 checks the phone and video group and nothing of the groups above it; row 30
        // then unchecks itself and the header only.
        ClickRow(list, 27);
        for (int r = 27; r <= 34; ++r)
            QVERIFY(Checked(list, r));
        QVERIFY(!Checked(list, 25) && !Checked(list, 12));
        ClickRow(list, 30);
        QVERIFY(!Checked(list, 30));
        QVERIFY(!Checked(list, 27));
        QVERIFY(Checked(list, 29) && Checked(list, 34));
        ClickRow(list, 26); // the second spacer
        QVERIFY(!Checked(list, 30) && Checked(list, 31));
        ClickRow(list, 27);
        ClickRow(list, 27);
        for (int r = 27; r <= 34; ++r)
            QVERIFY(!Checked(list, r));

        // Space toggles the row with the focus frame by the same rules, so that the list works
        // without a mouse; the arrow keys move the frame. A double click is two presses and so
        // changes nothing.
        list->setFocus();
        list->setCurrentItem(list->topLevelItem(2));
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(list->currentItem(), list->topLevelItem(3));
        const bool before = Checked(list, 3);
        QTest::keyClick(list, Qt::Key_Space);
        QCOMPARE(Checked(list, 3), !before);
        QTest::keyClick(list, Qt::Key_Space);
        QCOMPARE(Checked(list, 3), before);
        list->setCurrentItem(list->topLevelItem(12));
        QTest::keyClick(list, Qt::Key_Space);
        for (int r = 12; r <= 25; ++r)
            QVERIFY(Checked(list, r));
        QTest::keyClick(list, Qt::Key_Space);
        for (int r = 12; r <= 25; ++r)
            QVERIFY(!Checked(list, r));
        list->setCurrentItem(list->topLevelItem(11)); // a spacer: nothing
        QTest::keyClick(list, Qt::Key_Space);
        QVERIFY(!Checked(list, 11) && !Checked(list, 12));
        QVERIFY(list->selectedItems().isEmpty()); // rows never highlight
        const QRect rect = list->visualItemRect(list->topLevelItem(14));
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, rect.center());
        QVERIFY(!Checked(list, 14));

        // Apply in the options dialog rebuilds the list without marks and writes both settings.
        ClickRow(list, 14);
        QVERIFY(Checked(list, 14));
        QFile::remove(QString::fromStdString(TSettingsStore::DefaultPath()));
        Tfrm_Options options(window.Engine(), [&window] { window.RefreshTexts(); }, &window);
        options.show();
        options.findChild<QLineEdit*>(QStringLiteral("Edit1"))->setText(QStringLiteral("2048"));
        options.findChild<QComboBox*>(QStringLiteral("cbox_numberoffiles"))->setCurrentIndex(3);
        QVERIFY(options.Apply());
        for (int r = 0; r < 35; ++r)
            QVERIFY(!Checked(list, r));
        QCOMPARE(window.Engine().DefaultSize, 2048);
        const TSettingsStore store;
        QCOMPARE(store.ReadInteger("DefaultSize").value_or(-1), 2048);
        QCOMPARE(store.ReadInteger("FilesOnce").value_or(-1), 3);
    }

    void physicalTabWithoutDrivesKeepsTheDevice() {
        auto window = WindowOn("p.img", 4096);
        const QString size = Text(*window, "Label5");
        Find<QTabBar>(*window, "TabSet1")->setCurrentIndex(1);
        QCOMPARE(Text(*window, "Label5"), size);
        QCOMPARE(window->Engine().Drive.Info.TotalSectors, 4096);
        QCOMPARE(Find<QTabBar>(*window, "TabSet1")->tabText(1), QStringLiteral(" Physical drives "));
    }

    void helpAndLearnMoreOpenPagesThatExist() {
        Tfrm_main window;
        window.show();
        Click(window, "btn_help");
        QCOMPARE(env_->Urls.size(), 1);
        QVERIFY(env_->Urls[0].toLocalFile().endsWith(QStringLiteral("data/help/drive.html")));
        window.findChild<QStackedWidget*>(QStringLiteral("Notebook1"))->setCurrentIndex(Tfrm_main::PageDirectory);
        QTest::mouseClick(Find<QLabel>(window, "lbl_more"), Qt::LeftButton);
        QCOMPARE(env_->Urls.size(), 2);
        QVERIFY(env_->Urls[1].toLocalFile().endsWith(QStringLiteral("data/help/directory.htm")));
        for (const QUrl& url : env_->Urls) {
            const QString name = QFileInfo(url.toLocalFile()).fileName();
            QVERIFY2(QFileInfo::exists(QStringLiteral(LUMIVORE_SOURCE_DIR "/data/help/") + name), qPrintable(name));
        }
    }

    void exitIsRefusedAndClosingWaitsWhileAScanRuns() {
        auto window = WindowOn("busy.img", 400 * 2048);
        EnterRange(*window, QStringLiteral("0"), QStringLiteral("400"));
        // While the scan runs: Exit and Ctrl+X are refused, then Stop ends the scan early.
        bool sawBusy = false;
        bool stillShown = false;
        QTimer::singleShot(0, window.get(), [&] {
            sawBusy = window->Engine().Busy;
            Click(*window, "btn_exit");
            QTest::keyClick(window.get(), Qt::Key_X, Qt::ControlModifier);
            stillShown = window->isVisible();
            Click(*window, "btn_stopscan");
        });
        Click(*window, "btn_next");
        QVERIFY(sawBusy);
        QVERIFY(stillShown);
        QVERIFY(window->isVisible());
        QVERIFY(window->Scanned());
        QVERIFY(Text(*window, "Label14").toLongLong() < 400 * 2048);
        QVERIFY(Find<QPushButton>(*window, "btn_next")->isEnabled());

        // Closing by the title bar stops the scan, and the window closes once it has ended.
        Click(*window, "btn_prior");
        Click(*window, "btn_next");
        QCOMPARE(window->PageIndex(), int{Tfrm_main::PageScan});
        bool closedAtOnce = true;
        QTimer::singleShot(0, window.get(), [&] {
            window->close();
            closedAtOnce = !window->isVisible();
        });
        Click(*window, "btn_startscan");
        QVERIFY(!closedAtOnce);
        QVERIFY(!window->Engine().Busy);
        QTRY_VERIFY(!window->isVisible());

        // Exit and Ctrl+X close an idle window.
        auto idle = WindowOn("idle.img", 2048);
        Click(*idle, "btn_exit");
        QVERIFY(!idle->isVisible());
        idle->show();
        QVERIFY(QTest::qWaitForWindowActive(idle.get()));
        QTest::keyClick(idle.get(), Qt::Key_X, Qt::ControlModifier);
        QVERIFY(!idle->isVisible());
    }

    void closingDuringRecoveryStopsItWithoutTheSummary() {
        testkit::TTempDir temp;
        testkit::TSampleCardOptions cardOptions;
        cardOptions.SizeBytes = 8ull << 20;
        cardOptions.LargePhotos = false;
        testkit::TSampleCard card;
        QVERIFY(testkit::WriteSampleCard(temp / "card.img", cardOptions, card));
        Tfrm_main window;
        window.show();
        QVERIFY(window.OpenImage(QString::fromStdString(temp / "card.img")));
        Click(window, "btn_next");
        Click(window, "btn_next"); // scans
        auto* notebook = window.findChild<QStackedWidget*>(QStringLiteral("Notebook1"));
        notebook->setCurrentIndex(Tfrm_main::PageFileType);
        ClickRow(Find<QTreeWidget>(window, "ListView1"), 0); // every general type
        notebook->setCurrentIndex(Tfrm_main::PageRecover);
        Find<QLineEdit>(window, "Edit1")->setText(QString::fromStdString(temp / "out"));
        env_->Answer = true; // create the folder
        bool busy = false;
        QTimer::singleShot(0, &window, [&] {
            busy = window.Engine().Busy;
            window.close();
        });
        Click(window, "btn_startrecovery");
        QVERIFY(busy);
        QVERIFY(!window.Engine().Busy);
        QCOMPARE(env_->Questions.size(), 1); // whether to create the folder; no summary
        QVERIFY(Text(window, "Label19").toInt() < static_cast<int>(card.Files.size()));
        QTRY_VERIFY(!window.isVisible());
    }

    void recoveryRefusalsAreShownWithTheirReason() {
        auto window = WindowOn("refuse.img", 2048);
        auto* notebook = window->findChild<QStackedWidget*>(QStringLiteral("Notebook1"));
        // Next on page "directory" before any scan only moves on; Recover then explains.
        notebook->setCurrentIndex(Tfrm_main::PageDirectory);
        Click(*window, "btn_next");
        QCOMPARE(window->PageIndex(), int{Tfrm_main::PageRecover});
        QVERIFY(!Find<QPushButton>(*window, "btn_next")->isEnabled());
        Click(*window, "btn_startrecovery");
        QCOMPARE(env_->Messages.size(), 1);
        QVERIFY(env_->Messages[0].startsWith(QStringLiteral("Nothing has been scanned")));
    }

    void wholeRunRecoversTheCheckedTypeByteForByte() {
        testkit::TTempDir temp;
        testkit::TSampleCardOptions cardOptions;
        cardOptions.SizeBytes = 8ull << 20;
        cardOptions.LargePhotos = false;
        testkit::TSampleCard card;
        QVERIFY(testkit::WriteSampleCard(temp / "card.img", cardOptions, card));
        const QString destination = QString::fromStdString(temp / "out");

        Tfrm_main window;
        window.show();
        QVERIFY(window.OpenImage(QString::fromStdString(temp / "card.img")));
        Click(window, "btn_next");                // range
        Click(window, "btn_next");                // scan runs at once
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageScan});
        QVERIFY(window.Scanned());
        QVERIFY(Text(window, "Label12").toInt() > 0);
        QCOMPARE(Text(window, "Label16"), QStringLiteral("0"));
        Click(window, "btn_next");                // details
        Click(window, "btn_skip");                // file types
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageFileType});
        ClickRow(Find<QTreeWidget>(window, "ListView1"), 1 + kFormatJpeg);
        Click(window, "btn_next");                // destination
        Find<QLineEdit>(window, "Edit1")->setText(destination);
        env_->Answer = true;
        Click(window, "btn_next");                // recover starts at once
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageRecover});
        QVERIFY2(env_->Messages.isEmpty(), qPrintable(env_->Messages.join(QLatin1Char('\n'))));
        // Whether to create the typed folder, which does not exist; then the summary.
        QCOMPARE(env_->Questions.size(), 2);
        QVERIFY(env_->Questions[0].contains(QStringLiteral("does not exist")));
        QCOMPARE(env_->Urls, QList<QUrl>{QUrl::fromLocalFile(destination)});

        int expected = 0;
        for (const testkit::TCardFile& file : card.Files) {
            if (file.FormatIndex != kFormatJpeg)
                continue;
            ++expected;
            const std::string path = temp / ("out/" + RecoveredFileName(static_cast<std::int64_t>(file.StartSector), file.Ext));
            const std::vector<std::uint8_t> bytes = testkit::ReadFile(path);
            QVERIFY2(!bytes.empty(), path.c_str());
            if (file.Measurable) {
                QCOMPARE(bytes.size(), std::size_t{file.Size});
                QCOMPARE(testkit::Fnv1a64(bytes.data(), bytes.size()), file.Hash);
            }
        }
        QVERIFY(expected > 0);
        QCOMPARE(Text(window, "Label19"), QString::number(expected));
        QCOMPARE(Text(window, "Label21"), QStringLiteral("0"));
        QVERIFY(env_->Questions[1].startsWith(QString::number(expected) + QStringLiteral(" files recovered, 0 failed")));
        // Only JPEG files (and the report) were written.
        for (const QFileInfo& info : QDir(destination).entryInfoList(QDir::Files))
            QVERIFY2(info.suffix() == QLatin1String("jpg") || info.suffix() == QLatin1String("csv"), qPrintable(info.fileName()));
    }

    void aCheckedPhoneRowRecoversItsFilesOnly() {
        testkit::TTempDir temp;
        testkit::TSampleCardOptions cardOptions;
        cardOptions.SizeBytes = 8ull << 20;
        cardOptions.LargePhotos = false;
        testkit::TSampleCard card;
        QVERIFY(testkit::WriteSampleCard(temp / "card.img", cardOptions, card));
        const QString destination = QString::fromStdString(temp / "out");
        Tfrm_main window;
        window.show();
        QVERIFY(window.OpenImage(QString::fromStdString(temp / "card.img")));
        Click(window, "btn_next");
        Click(window, "btn_next"); // scans
        // Two records of the phone table laid by hand over bytes of the card.
        std::vector<TFoundFile>& files = window.Engine().FoundFiles;
        QVERIFY(files.size() >= 2);
        TFoundFile video = files[0];
        video.Ext = "MOV";
        video.FormatIndex = video.MakerIndex = kNoIndex;
        video.PhoneIndex = kPhoneMov;
        video.Length = 4096;
        TFoundFile still = video;
        still.Ext = "HEIC";
        still.PhoneIndex = kPhoneHeic;
        still.StartSector = files[1].StartSector;
        files.push_back(video);
        files.push_back(still);
        CountByType(files);

        auto* notebook = window.findChild<QStackedWidget*>(QStringLiteral("Notebook1"));
        notebook->setCurrentIndex(Tfrm_main::PageFileType);
        ClickRow(Find<QTreeWidget>(window, "ListView1"), 28 + kPhoneMov);
        notebook->setCurrentIndex(Tfrm_main::PageDirectory);
        QVERIFY(QDir().mkpath(destination)); // an empty folder that exists: nothing to ask
        Find<QLineEdit>(window, "Edit1")->setText(destination);
        env_->Answer = false;
        Click(window, "btn_next");
        QVERIFY2(env_->Messages.isEmpty(), qPrintable(env_->Messages.join(QLatin1Char('\n'))));
        QCOMPARE(env_->Questions.size(), 1); // the summary
        QVERIFY(env_->Questions[0].startsWith(QStringLiteral("1 file recovered, 0 failed.")));
        QCOMPARE(Text(window, "Label19"), QStringLiteral("1"));
        const std::vector<std::uint8_t> written =
            testkit::ReadFile(temp / ("out/" + RecoveredFileName(video.StartSector, "MOV")));
        const std::vector<std::uint8_t> image = testkit::ReadFile(temp / "card.img");
        const auto from = image.begin() + video.StartSector * 512;
        QVERIFY(written == std::vector<std::uint8_t>(from, from + 4096));
    }

    void germanWindowIsGerman() {
        CurrentLanguage() = "de";
        Tfrm_main window;
        window.show();
        QCOMPARE(Find<QPushButton>(window, "btn_next")->text(), QStringLiteral("&Weiter"));
        QCOMPARE(Find<QTabBar>(window, "TabSet1")->tabText(0), QStringLiteral(" Logische Laufwerke "));
        QVERIFY(Find<QPushButton>(window, "btn_openimage")->text() != QStringLiteral("Open disk image..."));
        QCOMPARE(Text(window, "Label3"), QStringLiteral("Festplatte")); // an image opened by an earlier case
        {
            TTranslationsSession session;
            TranslateMakerCaptions();
        }
        auto* list = Find<QTreeWidget>(window, "ListView1");
        window.RefreshTexts();
        QCOMPARE(list->topLevelItem(27)->text(0), QStringLiteral("Handy- und Videodateien"));
        QCOMPARE(list->topLevelItem(28 + kPhoneMp4)->text(0), QStringLiteral("MP4-Video"));
        CurrentLanguage() = "en";
        TranslateMakerCaptions();
    }

    // Not a check: with LUMIVORE_SHOTS=folder set, saves a picture of every page and dialog in
    // English and German for a person to look at.
    void screenshots() {
        const QString folder = qEnvironmentVariable("LUMIVORE_SHOTS");
        if (folder.isEmpty())
            QSKIP("LUMIVORE_SHOTS not set");
        testkit::TTempDir temp;
        testkit::TSampleCardOptions cardOptions;
        cardOptions.SizeBytes = 8ull << 20;
        cardOptions.LargePhotos = false;
        testkit::TSampleCard card;
        QVERIFY(testkit::WriteSampleCard(temp / "card.img", cardOptions, card));
        for (const char* lang : {"en", "de"}) {
            CurrentLanguage() = lang;
            {
                TTranslationsSession session;
                TranslateMakerCaptions();
            }
            LoadToolkitTranslations();
            const QString prefix = folder + QLatin1Char('/') + QLatin1String(lang) + QLatin1Char('-');
            Tfrm_main window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QVERIFY(window.OpenImage(QString::fromStdString(temp / "card.img")));
            const auto grab = [&](QWidget& w, const QString& name) {
                QTest::qWait(50);
                QVERIFY(w.grab().save(prefix + name + QStringLiteral(".png")));
            };
            grab(window, QStringLiteral("1-drive"));
            Find<QTabBar>(window, "TabSet1")->setCurrentIndex(1);
            grab(window, QStringLiteral("1-drive-physical"));
            Find<QTabBar>(window, "TabSet1")->setCurrentIndex(0);
            Click(window, "btn_next");
            grab(window, QStringLiteral("2-range"));
            Click(window, "btn_next");
            grab(window, QStringLiteral("3-scan"));
            Click(window, "btn_next");
            grab(window, QStringLiteral("4-details"));
            Click(window, "btn_skip");
            ClickRow(Find<QTreeWidget>(window, "ListView1"), 2);
            ClickRow(Find<QTreeWidget>(window, "ListView1"), 12);
            grab(window, QStringLiteral("5-filetype"));
            {
                auto* list = Find<QTreeWidget>(window, "ListView1");
                ClickRow(list, 28 + kPhoneHeic);
                list->scrollToItem(list->topLevelItem(34));
                grab(window, QStringLiteral("5-filetype-phone"));
                list->scrollToItem(list->topLevelItem(0));
            }
            {
                Tfrm_CustomizeRecovery preview(window.Engine());
                preview.resize(1024, 720);
                preview.show();
                QVERIFY(QTest::qWaitForWindowExposed(&preview));
                grab(preview, QStringLiteral("preview-tree"));
                auto* tree = Find<QTreeWidget>(preview, "TreeView1");
                tree->scrollToItem(tree->topLevelItem(tree->topLevelItemCount() - 1)->child(0),
                                   QAbstractItemView::PositionAtTop);
                grab(preview, QStringLiteral("preview-tree-phone"));
                preview.close();
            }
            Click(window, "btn_next");
            Find<QLineEdit>(window, "Edit1")->setText(QString::fromStdString(temp / "out"));
            grab(window, QStringLiteral("6-directory"));
            window.findChild<QStackedWidget*>(QStringLiteral("Notebook1"))->setCurrentIndex(Tfrm_main::PageRecover);
            Click(window, "btn_startrecovery");
            grab(window, QStringLiteral("7-recover"));
            Tfrm_Options options(window.Engine(), [] {}, &window);
            options.setObjectName(QStringLiteral("frm_options"));
            options.show();
            grab(options, QStringLiteral("options"));
            options.close();
            Tfrm_about about(&window);
            about.show();
            grab(about, QStringLiteral("about"));
            about.close();
            TOpenDirDlg chooser(&window);
            chooser.SetTitle(Tr("dialog_directory"));
            chooser.SetDirectory(QString::fromStdString(temp.Path()));
            QTimer::singleShot(0, &chooser, [&] {
                QTest::qWait(200);
                QVERIFY(chooser.grab().save(prefix + QStringLiteral("dirdialog.png")));
                chooser.reject();
            });
            chooser.Execute();
            QMessageBox box(QMessageBox::Question, QStringLiteral("Lumivore"), env_->Questions.value(0),
                            QMessageBox::Yes | QMessageBox::No, &window);
            box.show();
            grab(box, QStringLiteral("summary"));
            env_->Questions.clear();
        }
        CurrentLanguage() = "en";
        TranslateMakerCaptions();
        LoadToolkitTranslations();
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
