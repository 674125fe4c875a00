// The wizard driven as a user drives it: device sizes, the range sliders and their checks, the
// page moves, the check list's toggling rules, Exit and closing while a scan runs, and one whole
// recovery from a sample card into a folder, compared byte for byte.
#include <climits>
#include <cstdint>

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QProcess>
#include <QListWidget>
#include <QTabWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QStackedWidget>
#include <QTabBar>
#include <QTimer>
#include <QTreeWidget>
#include <QCheckBox>
#include <QtTest>

#include "engine/FileTypes.h"
#include "engine/Recovery.h"
#include "i18n/TranslationKeys.h"
#include "support/AppInfo.h"
#include "support/Settings.h"
#include "testkit/FsBuilder.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"
#include "testkit/UsedCard.h"
#include "ui/AboutBox.h"
#include "ui/CustomizeRecovery.h"
#include "ui/DirDialog.h"
#include "ui/MainWindow.h"
#include "ui/OptionsDialog.h"
#include "ui/UiTestSupport.h"

using namespace lumivore;
using lumivore::testing::ClippedTexts;
using lumivore::testing::MakeSparseImage;

namespace {

// An 8 MiB sample card of small photos written at path; card receives what it holds.
bool WriteSmallCard(const std::string& path, testkit::TSampleCard& card) {
    testkit::TSampleCardOptions options;
    options.SizeBytes = 8ull << 20;
    options.LargePhotos = false;
    return testkit::WriteSampleCard(path, options, card);
}

constexpr qint64 kSector = 512;

template <typename T>
T* Find(QWidget& window, const char* name) {
    T* widget = window.findChild<T*>(QLatin1String(name));
    if (widget == nullptr)
        qFatal("no widget %s", name);
    return widget;
}

QString Text(QWidget& window, const char* name) { return Find<QLabel>(window, name)->text(); }

// A counter label's number, written in the user's number format; -1 when it holds no number.
qlonglong Count(QWidget& window, const char* name) {
    bool ok = false;
    const qlonglong value = QLocale().toLongLong(Text(window, name), &ok);
    return ok ? value : -1;
}

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
        QVERIFY(Count(*window, "Label14") >= 2048); // whole blocks of 1000
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
        QVERIFY(Count(*window, "Label14") >= 200 * 2048); // whole blocks of 1000
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
        QVERIFY(Count(*window, "Label14") < 400 * 2048);
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
        testkit::TSampleCard card;
        QVERIFY(WriteSmallCard(temp / "card.img", card));
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
        QVERIFY(Count(window, "Label19") < static_cast<int>(card.Files.size()));
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
        testkit::TSampleCard card;
        QVERIFY(WriteSmallCard(temp / "card.img", card));
        const QString destination = QString::fromStdString(temp / "out");

        Tfrm_main window;
        window.show();
        QVERIFY(window.OpenImage(QString::fromStdString(temp / "card.img")));
        Click(window, "btn_next");                // range
        Click(window, "btn_next");                // scan runs at once
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageScan});
        QVERIFY(window.Scanned());
        QVERIFY(Count(window, "Label12") > 0);
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

    // The destination page's box writes each file that the card's file system still names
    // under its original folder and name; the others keep their sector name.
    void theOriginalNamesBoxWritesTheCardsNamesBelowTheDestination() {
        testkit::TTempDir temp;
        // A FAT32 card of 4 KiB clusters after a quick format: DCIM (cluster 3) and
        // DCIM/100CANON (cluster 4) survive; one photo is named, the other lost its entry.
        constexpr std::uint64_t kCluster2 = 32 + 2 * 64;
        const auto sectorOf = [](std::uint32_t cluster) { return kCluster2 + (cluster - 2) * 8; };
        const testkit::TByteVector named = testkit::EncodeJpeg(testkit::TRgbImage::Pattern(64, 48, 1));
        const testkit::TByteVector unnamed = testkit::EncodeJpeg(testkit::TRgbImage::Pattern(48, 32, 2));
        std::vector<std::uint8_t> card(8u << 20, 0);
        const auto put = [&](std::uint64_t sector, const testkit::TByteVector& bytes) {
            std::copy(bytes.begin(), bytes.end(), card.begin() + static_cast<std::ptrdiff_t>(sector * 512));
        };
        put(0, testkit::Fat32BootSector(8, 32, 64, static_cast<std::uint32_t>(card.size() / 512)));
        testkit::TFatEntry folder;
        folder.ShortName = "100CANON";
        folder.FirstCluster = 4;
        folder.Directory = true;
        put(sectorOf(3), testkit::FatFolderCluster(3, 0, {folder}, 4096));
        testkit::TFatEntry photo;
        photo.ShortName = "IMG_0001.JPG";
        photo.FirstCluster = 10;
        photo.Size = static_cast<std::uint32_t>(named.size());
        put(sectorOf(4), testkit::FatFolderCluster(4, 3, {photo}, 4096));
        put(sectorOf(10), named);
        put(sectorOf(20), unnamed);
        QVERIFY(testkit::WriteFile(temp / "card.img", card));
        const QString destination = QString::fromStdString(temp / "out");

        Tfrm_main window;
        window.show();
        QVERIFY(window.OpenImage(QString::fromStdString(temp / "card.img")));
        Click(window, "btn_next"); // range
        Click(window, "btn_next"); // scan
        QVERIFY(window.Scanned());
        Click(window, "btn_next"); // details
        Click(window, "btn_skip"); // file types
        ClickRow(Find<QTreeWidget>(window, "ListView1"), 1 + kFormatJpeg);
        Click(window, "btn_next"); // destination
        auto* box = Find<QCheckBox>(window, "chk_originalnames");
        QVERIFY(!box->isChecked());
        QCOMPARE(box->text(), QStringLiteral("Keep original names and &folders from the card"));
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
        QVERIFY(box->isChecked());
        Find<QLineEdit>(window, "Edit1")->setText(destination);
        env_->Answer = true;
        Click(window, "btn_next"); // recover
        QVERIFY2(env_->Messages.isEmpty(), qPrintable(env_->Messages.join(QLatin1Char('\n'))));
        QCOMPARE(Text(window, "Label19"), QStringLiteral("2"));
        QVERIFY(testkit::ReadFile(temp / "out/DCIM/100CANON/IMG_0001.JPG") == named);
        const std::string other = temp / ("out/" + RecoveredFileName(static_cast<std::int64_t>(sectorOf(20)), "JPG"));
        QVERIFY2(testkit::ReadFile(other) == unnamed, other.c_str());
    }

    void aCheckedPhoneRowRecoversItsFilesOnly() {
        testkit::TTempDir temp;
        testkit::TSampleCard card;
        QVERIFY(WriteSmallCard(temp / "card.img", card));
        const QString destination = QString::fromStdString(temp / "out");
        Tfrm_main window;
        window.show();
        QVERIFY(window.OpenImage(QString::fromStdString(temp / "card.img")));
        Click(window, "btn_next");
        Click(window, "btn_next"); // scans
        // Two records of the phone table laid by hand over bytes of the card.
        TFoundFileList& files = window.Engine().FoundFiles;
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

    // ---- the windows as people use them ---------------------------------------------------

    // A language for the rest of the test function, with the camera names and Qt's own texts.
    static void UseLanguage(const std::string& language) {
        CurrentLanguage() = language;
        {
            TTranslationsSession session;
            TranslateMakerCaptions();
        }
        LoadToolkitTranslations();
    }

    // Every page of the wizard, both drive tabs, and the window's dialogs: the clipped texts.
    static QStringList ClippedEverywhere(Tfrm_main& window, const QString& language) {
        QStringList clipped;
        auto* pages = window.findChild<QStackedWidget*>(QStringLiteral("Notebook1"));
        const int was = pages->currentIndex();
        for (int page = 0; page < pages->count(); ++page) {
            pages->setCurrentIndex(page);
            for (int tab = 0; tab < (page == 0 ? 2 : 1); ++tab) {
                Find<QTabBar>(window, "TabSet1")->setCurrentIndex(tab);
                QCoreApplication::processEvents();
                for (const QString& text : ClippedTexts(&window))
                    clipped << QStringLiteral("%1 page %2: %3").arg(language).arg(page).arg(text);
            }
        }
        Find<QTabBar>(window, "TabSet1")->setCurrentIndex(0);
        pages->setCurrentIndex(was);
        Tfrm_about about(&window);
        about.show();
        QCoreApplication::processEvents();
        for (const QString& text : ClippedTexts(&about))
            clipped << language + QStringLiteral(" about: ") + text;
        Tfrm_CustomizeRecovery preview(window.Engine(), &window);
        preview.resize(1024, 720);
        preview.show();
        QCoreApplication::processEvents();
        for (const QString& text : ClippedTexts(&preview))
            clipped << language + QStringLiteral(" preview: ") + text;
        return clipped;
    }

    // In every language of the translations file, as the program starts in it and after a
    // switch to it in Options: every label, button, check box, group, tab and type row of every
    // page and dialog shows its whole text.
    void everyTextIsWholeInEveryLanguage() {
        QVERIFY(Languages().size() >= 5);
        QStringList clipped;
        for (const TLanguage& language : Languages()) {
            UseLanguage(language.Id);
            auto window = WindowOn("fit.img", 64 * 2048);
            QVERIFY(QTest::qWaitForWindowExposed(window.get()));
            clipped << ClippedEverywhere(*window, QString::fromStdString(language.Id));
            Tfrm_Options options(window->Engine(), [&] { window->RefreshTexts(); }, window.get());
            options.setObjectName(QStringLiteral("frm_options"));
            options.show();
            QCoreApplication::processEvents();
            for (const QString& text : ClippedTexts(&options))
                clipped << QString::fromStdString(language.Id) + QStringLiteral(" options: ") + text;
        }
        for (const TLanguage& language : Languages()) {
            UseLanguage("en");
            auto window = WindowOn("fit.img", 64 * 2048);
            Tfrm_Options options(window->Engine(), [&] { window->RefreshTexts(); }, window.get());
            options.setObjectName(QStringLiteral("frm_options"));
            options.show();
            auto* choice = options.findChild<QComboBox*>(QStringLiteral("cbox_language"));
            choice->setCurrentIndex(choice->findData(QString::fromStdString(language.Id)));
            QTest::mouseClick(options.findChild<QPushButton*>(QStringLiteral("btn_optionapply")), Qt::LeftButton);
            QCOMPARE(CurrentLanguage(), language.Id);
            QCoreApplication::processEvents();
            const QString where = QStringLiteral("en->") + QString::fromStdString(language.Id);
            for (const QString& text : ClippedTexts(&options))
                clipped << where + QStringLiteral(" options: ") + text;
            clipped << ClippedEverywhere(*window, where);
        }
        UseLanguage("en");
        QVERIFY2(clipped.isEmpty(), qPrintable(clipped.join(QLatin1Char('\n'))));
    }

    // Within a page every button has its own underlined letter in every language, so that
    // Alt and the letter press it; Alt+N (Next in English) moves on.
    void everyButtonHasItsOwnLetterOnEveryPage() {
        QStringList problems;
        for (const TLanguage& language : Languages()) {
            UseLanguage(language.Id);
            Tfrm_main window;
            window.show();
            auto* pages = window.findChild<QStackedWidget*>(QStringLiteral("Notebook1"));
            for (int page = 0; page < pages->count(); ++page) {
                pages->setCurrentIndex(page);
                QMap<QChar, QString> letters;
                QStringList controls;
                for (QAbstractButton* button : window.findChildren<QAbstractButton*>())
                    if (button->isVisibleTo(&window) && qobject_cast<QPushButton*>(button) != nullptr)
                        controls << button->objectName() + QLatin1Char('=') + button->text();
                for (QGroupBox* box : window.findChildren<QGroupBox*>())
                    if (box->isVisibleTo(&window))
                        controls << box->objectName() + QLatin1Char('=') + box->title();
                for (const QString& control : controls) {
                    const QString text = control.section(QLatin1Char('='), 1);
                    const qsizetype at = text.indexOf(QLatin1Char('&'));
                    if (at < 0 || at + 1 >= text.size()) {
                        problems << QStringLiteral("%1 page %2: %3 has no letter").arg(QString::fromStdString(language.Id)).arg(page).arg(control);
                        continue;
                    }
                    const QChar letter = text[at + 1].toLower();
                    if (letters.contains(letter))
                        problems << QStringLiteral("%1 page %2: %3 and %4 share %5").arg(QString::fromStdString(language.Id)).arg(page).arg(control, letters[letter], letter);
                    letters[letter] = control;
                }
            }
        }
        UseLanguage("en");
        QVERIFY2(problems.isEmpty(), qPrintable(problems.join(QLatin1Char('\n'))));

        auto window = WindowOn("alt.img", 8 * 2048);
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        // A letter presses its button as a click would, after the button shows itself pressed.
        QTest::keyClick(window.get(), Qt::Key_N, Qt::AltModifier);
        QTRY_COMPARE(window->PageIndex(), int{Tfrm_main::PageRange});
        QTest::keyClick(window.get(), Qt::Key_B, Qt::AltModifier);
        QTRY_COMPARE(window->PageIndex(), int{Tfrm_main::PageDrive});
    }

    // The whole wizard without a mouse, from the device to the recovered files: Tab, Space,
    // Enter, the arrow keys and Alt with a letter.
    void aKeyboardAloneRecoversFiles() {
        testkit::TTempDir temp;
        testkit::TSampleCard card;
        QVERIFY(WriteSmallCard(temp / "card.img", card));
        const QString destination = QString::fromStdString(temp / "kept");
        QVERIFY(QDir().mkpath(destination));
        Tfrm_main window;
        window.show();
        QVERIFY(window.OpenImage(QString::fromStdString(temp / "card.img")));
        QVERIFY(QTest::qWaitForWindowActive(&window));
        const auto key = [&](Qt::Key k, Qt::KeyboardModifiers m = {}) {
            QWidget* target = QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : &window;
            QTest::keyClick(target, k, m);
        };
        // Enter on the device page moves on, wherever the focus is.
        Find<QComboBox>(window, "DriveComboBox1")->setFocus();
        key(Qt::Key_Return);
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageRange});
        // Alt+E leads to the end field; Enter there scans the whole card.
        key(Qt::Key_E, Qt::AltModifier);
        QCOMPARE(QApplication::focusWidget(), Find<QLineEdit>(window, "Edit3"));
        key(Qt::Key_Return);
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageScan});
        QVERIFY(window.Scanned());
        // After the scan the focus is on Next: Space moves on, it never quits.
        QCOMPARE(QApplication::focusWidget(), Find<QPushButton>(window, "btn_next"));
        key(Qt::Key_Space);
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageDetails});
        key(Qt::Key_K, Qt::AltModifier); // Skip
        QTRY_COMPARE(window.PageIndex(), int{Tfrm_main::PageFileType});
        // The type list has the focus at once (Skip is gone with its page, and Tab from Next
        // would lead to Exit); Down and Space tick JPEG.
        auto* list = Find<QTreeWidget>(window, "ListView1");
        QCOMPARE(QApplication::focusWidget(), list);
        list->setCurrentItem(list->topLevelItem(0));
        for (int i = 0; i < 1 + kFormatJpeg; ++i)
            key(Qt::Key_Down);
        key(Qt::Key_Space);
        QVERIFY(Checked(list, 1 + kFormatJpeg));
        key(Qt::Key_Return); // Enter in the list: Next
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageDirectory});
        // The folder field has the focus: type the folder, Enter: recovery runs and the summary asks.
        auto* folder = Find<QLineEdit>(window, "Edit1");
        QCOMPARE(QApplication::focusWidget(), folder);
        QTest::keyClicks(folder, destination);
        key(Qt::Key_Return);
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageRecover});
        QVERIFY2(env_->Messages.isEmpty(), qPrintable(env_->Messages.join(QLatin1Char('\n'))));
        int jpegs = 0;
        for (const testkit::TCardFile& file : card.Files)
            if (file.FormatIndex == kFormatJpeg) {
                ++jpegs;
                QVERIFY(QFileInfo::exists(destination + QLatin1Char('/') +
                                          QString::fromStdString(RecoveredFileName(static_cast<std::int64_t>(file.StartSector), file.Ext))));
            }
        QCOMPARE(Text(window, "Label19"), QString::number(jpegs));
        // Next is off on the last page; the focus went to Back, not to Exit.
        QCOMPARE(QApplication::focusWidget(), Find<QPushButton>(window, "btn_prior"));
        key(Qt::Key_Space);
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageDirectory});
        QVERIFY(window.isVisible());
        // The links take the focus too, and Enter opens them.
        window.findChild<QStackedWidget*>(QStringLiteral("Notebook1"))->setCurrentIndex(Tfrm_main::PageDirectory);
        auto* more = Find<QLabel>(window, "lbl_more");
        for (int i = 0; i < 16 && QApplication::focusWidget() != more; ++i)
            key(Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), more);
        key(Qt::Key_Return);
        QCOMPARE(env_->Urls.size(), 1);
        QVERIFY(env_->Urls[0].toLocalFile().endsWith(QStringLiteral("directory.htm")));
    }

    // The line under the scan bar says what the scan did with photos that a used card split:
    // put back together, or incomplete; after a stop, that they were left as they lie.
    void theScanSaysWhatItDidWithPhotosInPieces() {
        testkit::TTempDir temp;
        testkit::TClusterCard card(24000, 8);
        card.Noise(0, card.Clusters(), 31);
        const testkit::TByteVector split = testkit::GrainyPhoto(320, 240, 41);
        const testkit::TByteVector cut = testkit::GrainyPhoto(320, 240, 42);
        const std::uint64_t c = card.ClusterBytes();
        const std::uint64_t n = (split.size() + c - 1) / c, m = (cut.size() + c - 1) / c;
        card.Split(split, {{20, n / 2}, {20 + n / 2 + 40, n}});
        card.Split(testkit::TByteVector(cut.begin(), cut.begin() + static_cast<std::ptrdiff_t>(m / 2 * c)),
                   {{400, m / 2}});
        QVERIFY(card.Write(temp / "used.img"));
        Tfrm_main window;
        window.show();
        QVERIFY(window.OpenImage(QString::fromStdString(temp / "used.img")));
        auto* state = Find<QLabel>(window, "Label17");
        QVERIFY(state->isHidden());
        Click(window, "btn_next");
        Click(window, "btn_next"); // scans the whole card
        QVERIFY(window.Scanned());
        QVERIFY(state->isVisibleTo(&window));
        QCOMPARE(state->text().split(QLatin1Char('\n')).mid(0, 2),
                 QStringList({QStringLiteral("1 photo put back together from pieces"),
                              QStringLiteral("1 photo incomplete (its rest was not found)")}));
        // A language chosen afterwards says it in its words.
        UseLanguage("de");
        window.RefreshTexts();
        QVERIFY(state->text().startsWith(
            QStringLiteral("1 Foto aus Teilen zusammengesetzt\n1 Foto unvollständig")));
        UseLanguage("en");
        window.RefreshTexts();
        // Recovered, the summary says which photos were put back and which lack their rest.
        Click(window, "btn_next");
        Click(window, "btn_skip");
        ClickRow(Find<QTreeWidget>(window, "ListView1"), 1 + kFormatJpeg);
        Click(window, "btn_next");
        const QString out = QString::fromStdString(temp / "out");
        QVERIFY(QDir().mkpath(out));
        Find<QLineEdit>(window, "Edit1")->setText(out);
        Click(window, "btn_next");
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageRecover});
        QVERIFY(!env_->Questions.isEmpty());
        QVERIFY2(env_->Questions.last().startsWith(
                     QStringLiteral("1 photo put back together from pieces\n"
                                    "1 photo incomplete (its rest was not found)\n\n")),
                 qPrintable(env_->Questions.last()));
        // Another device: the line belongs to the last scan and goes with it.
        QVERIFY(window.OpenImage(Image("other.img", 4 * 2048)));
        QVERIFY(state->isHidden());
        // A range without a file says so at once.
        auto empty = WindowOn("nothing.img", 4 * 2048);
        Click(*empty, "btn_next");
        Click(*empty, "btn_next");
        QVERIFY(empty->Scanned());
        QCOMPARE(Text(*empty, "Label17"),
                 QStringLiteral("No photos or other files were found in this range."));

        // Stop during the walk: no pass over the pieces, and the line says so.
        auto big = WindowOn("stopped.img", 200 * 2048);
        Click(*big, "btn_next");
        QTimer::singleShot(0, big.get(), [&] { Click(*big, "btn_stopscan"); });
        Click(*big, "btn_next");
        QVERIFY(big->Scanned());
        QVERIFY(Count(*big, "Label14") < 200 * 2048);
        QCOMPARE(Text(*big, "Label17"),
                 QStringLiteral("Scan stopped: photos in pieces were not put back together."));
        // Stopped in the pass over the pieces, after some photos were put back: it says both.
        big->Engine().FragmentStats.Reassembled = 2;
        big->RefreshTexts();
        QCOMPARE(Text(*big, "Label17"),
                 QStringLiteral("Scan stopped: not every photo in pieces was put back together.\n"
                                "2 photos put back together from pieces"));
        // Scanned again to its end, the stop is forgotten: the empty card says it is empty.
        Click(*big, "btn_startscan");
        QCOMPARE(Text(*big, "Label17"), QStringLiteral("No photos or other files were found in this range."));
    }

    // What a recovery's summary adds to its counts: photos put back or incomplete among those
    // written (not among those that failed), and where the causes of failures are written.
    void recoveryNotesCountWrittenPhotosInPiecesAndPointToTheReport() {
        TRecoveryResult result;
        QCOMPARE(RecoveryNotes(result), QString());
        TFoundFileList records;
        result.Records = &records;
        const auto entry = [&](TRecoveryStatus status, std::size_t pieces, bool incomplete) {
            TFoundFile f;
            f.StartSector = static_cast<std::int64_t>(records.size()) * 100;
            f.Pieces.assign(pieces, TPiece{0, 512});
            f.Incomplete = incomplete;
            TRecoveryEntry e;
            e.Status = status;
            e.Index = records.size();
            e.StartSector = f.StartSector;
            records.push_back(f);
            result.Files.push_back(e);
        };
        entry(TRecoveryStatus::Recovered, 2, false);
        entry(TRecoveryStatus::Recovered, 3, false);
        entry(TRecoveryStatus::Recovered, 0, false);
        entry(TRecoveryStatus::Failed, 2, false);
        entry(TRecoveryStatus::Recovered, 1, true);
        QCOMPARE(RecoveryNotes(result), QStringLiteral("2 photos put back together from pieces\n"
                                                       "1 photo incomplete (its rest was not found)"));
        result.Failed = 1;
        QCOMPARE(RecoveryNotes(result).count(QLatin1Char('\n')), 1); // no report, no pointer to it
        result.ReportPath = "/media/out/recovery-report-2.csv";
        QVERIFY(RecoveryNotes(result).endsWith(QStringLiteral(
            "\nWhy each file failed is written in recovery-report-2.csv in the destination folder.")));
        UseLanguage("de");
        QVERIFY(RecoveryNotes(result).startsWith(QStringLiteral("2 Fotos aus Teilen zusammengesetzt\n")));
        UseLanguage("en");
    }

    // Space or Enter after a scan, whether the focus was on Next, Scan or Stop, never quits.
    void spaceAndEnterAfterAScanNeverReachExit() {
        for (const char* start : {"btn_next", "btn_startscan"}) {
            for (Qt::Key k : {Qt::Key_Space, Qt::Key_Return}) {
                auto window = WindowOn("focus.img", 4 * 2048);
                QVERIFY(QTest::qWaitForWindowActive(window.get()));
                Click(*window, "btn_next");
                if (QLatin1String(start) == QLatin1String("btn_startscan")) {
                    Find<QLineEdit>(*window, "Edit3")->setText(QStringLiteral("0")); // nothing yet
                    Click(*window, "btn_next");
                    Find<QLineEdit>(*window, "Edit3")->setText(QStringLiteral("4"));
                    QCOMPARE(window->PageIndex(), int{Tfrm_main::PageScan});
                    window->findChild<QStackedWidget*>(QStringLiteral("Notebook1"))->setCurrentIndex(Tfrm_main::PageRange);
                    Click(*window, "btn_next");
                } else {
                    Find<QPushButton>(*window, start)->setFocus();
                    QTest::keyClick(Find<QPushButton>(*window, start), k); // starts the scan
                }
                QCOMPARE(window->PageIndex(), int{Tfrm_main::PageScan});
                QVERIFY(window->Scanned());
                QVERIFY(QApplication::focusWidget() != Find<QPushButton>(*window, "btn_exit"));
                QTest::keyClick(QApplication::focusWidget(), k);
                QVERIFY2(window->isVisible(), start);
                QCOMPARE(window->PageIndex(), int{Tfrm_main::PageDetails});
            }
        }
        // Stop pressed with Space during a scan: the focus comes back to Next, not Exit.
        auto window = WindowOn("stop.img", 200 * 2048);
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        Click(*window, "btn_next");
        QTimer::singleShot(0, window.get(), [&] {
            QCOMPARE(QApplication::focusWidget(), Find<QPushButton>(*window, "btn_stopscan"));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        });
        Find<QPushButton>(*window, "btn_next")->setFocus();
        QTest::keyClick(Find<QPushButton>(*window, "btn_next"), Qt::Key_Space);
        QVERIFY(window->Scanned());
        QVERIFY(Count(*window, "Label14") < 200 * 2048);
        QCOMPARE(QApplication::focusWidget(), Find<QPushButton>(*window, "btn_next"));
        // The bar shows how far the stopped scan came, not 0 and not 100.
        const int bar = Find<QProgressBar>(*window, "ProgressBar1")->value();
        QCOMPARE(bar, static_cast<int>(Count(*window, "Label14") * 100 / (200 * 2048)));
        QVERIFY(bar < 100);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QVERIFY(window->isVisible());
    }

    // Scan, Back, another range, Next: the new range is scanned and its files replace the old.
    void aChangedRangeIsScannedAgain() {
        testkit::TTempDir temp;
        testkit::TSampleCard card;
        QVERIFY(WriteSmallCard(temp / "card.img", card));
        Tfrm_main window;
        window.show();
        QVERIFY(window.OpenImage(QString::fromStdString(temp / "card.img")));
        Click(window, "btn_next");
        Click(window, "btn_next");
        QCOMPARE(window.ScansRun(), 1);
        const QString everything = Text(window, "Label12");
        QVERIFY(QLocale().toInt(everything) > 1);
        // A finished scan shows a full bar.
        QCOMPARE(Find<QProgressBar>(window, "ProgressBar1")->value(), 100);
        // The same range again: no second scan.
        Click(window, "btn_prior");
        Click(window, "btn_next");
        QCOMPARE(window.ScansRun(), 1);
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageScan});
        QCOMPARE(Text(window, "Label12"), everything);
        // Typed values move the sliders, and the changed range is scanned at once.
        Click(window, "btn_prior");
        auto* start = Find<QLineEdit>(window, "Edit2");
        auto* end = Find<QLineEdit>(window, "Edit3");
        start->selectAll();
        QTest::keyClicks(start, QStringLiteral("7"));
        end->selectAll();
        QTest::keyClicks(end, QStringLiteral("8"));
        QCOMPARE(Find<QSlider>(window, "trackbar1")->value(), 7);
        QCOMPARE(Find<QSlider>(window, "trackbar2")->value(), 8);
        QCOMPARE(start->text(), QStringLiteral("7")); // the slider does not rewrite the field
        Click(window, "btn_next");
        QCOMPARE(window.ScansRun(), 2);
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageScan});
        QCOMPARE(window.ScanStart(), std::uint64_t{7 * 2048});
        for (const TFoundFile& f : window.Engine().FoundFiles)
            QVERIFY(f.StartSector >= 7 * 2048 && f.StartSector < 8 * 2048 + 1000);
        QVERIFY(Count(window, "Label12") < QLocale().toInt(everything));
        // An empty range: nothing is scanned and nothing of the old range stays.
        Click(window, "btn_prior");
        end->setText(QStringLiteral("7"));
        Click(window, "btn_next");
        QCOMPARE(window.ScansRun(), 2);
        QVERIFY(!window.Scanned());
        QVERIFY(window.Engine().FoundFiles.empty());
        QCOMPARE(Text(window, "Label12"), QStringLiteral("0"));
    }

    // Without the translations file, or with a broken one, every caption reads in English.
    void everyCaptionIsEnglishWithoutTheTranslationsFile() {
        const QString file = env_->Path() + QStringLiteral("/data/translations.xml");
        for (const QByteArray& content : {QByteArray(), QByteArray("<translations><text id=\"btn_next\"><t lang")}) {
            QFile::remove(file);
            if (!content.isEmpty()) {
                QFile broken(file);
                QVERIFY(broken.open(QIODevice::WriteOnly));
                broken.write(content);
            }
            InitialiseLanguage();
            QCOMPARE(CurrentLanguage(), std::string("en"));
            QStringList blank;
            Tfrm_main window;
            window.show();
            Tfrm_Options options(window.Engine(), [] {}, &window);
            options.setObjectName(QStringLiteral("frm_options"));
            options.show();
            Tfrm_about about(&window);
            Tfrm_CustomizeRecovery preview(window.Engine(), &window);
            preview.show();
            for (QWidget* top : std::initializer_list<QWidget*>{&window, &options, &about, &preview}) {
                for (QWidget* w : top->findChildren<QWidget*>()) {
                    const std::string_view english = DefaultText(w->objectName().toStdString());
                    QString text;
                    if (auto* label = qobject_cast<QLabel*>(w))
                        text = label->text();
                    else if (auto* button = qobject_cast<QAbstractButton*>(w))
                        text = button->text();
                    else if (auto* box = qobject_cast<QGroupBox*>(w))
                        text = box->title();
                    else
                        continue;
                    if (!english.empty() && text.isEmpty())
                        blank << top->objectName() + QLatin1Char('.') + w->objectName();
                }
            }
            for (auto* button : {"btn_startscan", "btn_stopscan", "btn_next", "btn_exit", "btn_optionapply"}) {
                QWidget* top = QLatin1String(button).startsWith(QLatin1String("btn_option")) ? static_cast<QWidget*>(&options) : &window;
                QCOMPARE(top->findChild<QAbstractButton*>(QLatin1String(button))->text(),
                         QString::fromLatin1(DefaultText(button).data(), static_cast<qsizetype>(DefaultText(button).size())));
            }
            QCOMPARE(Text(window, "lbl_step3"), QStringLiteral("Step 3 of 7: Scan"));
            QCOMPARE(Find<QTabBar>(window, "TabSet1")->tabText(0), QStringLiteral(" Logical drives "));
            QCOMPARE(preview.windowTitle(), QStringLiteral("Preview"));
            QVERIFY2(blank.isEmpty(), qPrintable(blank.join(QLatin1Char(' '))));
        }
    }

    // "/r" in a translated text is a line break wherever the text shows.
    void slashRInATranslationBreaksTheLine() {
        const QString file = env_->Path() + QStringLiteral("/data/translations.xml");
        QFile::remove(file);
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write("<translations><language id=\"en\" name=\"English\" default=\"true\"/>"
                  "<text id=\"desc_step2\"><t lang=\"en\">First line/rSecond line</t></text>"
                  "<text id=\"lbl_norights\"><t lang=\"en\">One//two/rthree</t></text>"
                  "<text id=\"msg_exceed\"><t lang=\"en\">Too far./rTry again.</t></text></translations>");
        out.close();
        InitialiseLanguage();
        auto window = WindowOn("slash.img", 2048);
        QCOMPARE(Text(*window, "desc_step2"), QStringLiteral("First line\nSecond line"));
        QCOMPARE(Text(*window, "lbl_norights"), QStringLiteral("One/two\nthree"));
        EnterRange(*window, QStringLiteral("5"), QStringLiteral("6"));
        Click(*window, "btn_next");
        QCOMPARE(env_->Messages, QStringList{QStringLiteral("Too far.\nTry again.")});
    }

    // The destination is settled before the wizard moves on, and nothing is written where the
    // user did not agree to it.
    void theDestinationIsSettledBeforeRecoveryStarts() {
        testkit::TTempDir temp;
        testkit::TSampleCard card;
        QVERIFY(WriteSmallCard(temp / "card.img", card));
        Tfrm_main window;
        window.show();
        QVERIFY(window.OpenImage(QString::fromStdString(temp / "card.img")));
        Click(window, "btn_next");
        Click(window, "btn_next");
        auto* notebook = window.findChild<QStackedWidget*>(QStringLiteral("Notebook1"));
        notebook->setCurrentIndex(Tfrm_main::PageFileType);
        ClickRow(Find<QTreeWidget>(window, "ListView1"), 1 + kFormatJpeg);
        notebook->setCurrentIndex(Tfrm_main::PageDirectory);
        // Empty: said at once, and the page stays.
        Click(window, "btn_next");
        QCOMPARE(env_->Messages, QStringList{QStringLiteral("Please choose a destination folder first.")});
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageDirectory});
        // A folder that does not exist: asked; no leaves nothing behind and stays.
        const QString deep = QString::fromStdString(temp / "a/b/c");
        Find<QLineEdit>(window, "Edit1")->setText(deep);
        env_->Answer = false;
        Click(window, "btn_next");
        QCOMPARE(env_->Questions.size(), 1);
        QVERIFY(env_->Questions[0].contains(QDir::toNativeSeparators(deep)));
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageDirectory});
        QVERIFY(!QFileInfo::exists(QString::fromStdString(temp / "a")));
        // Yes creates it and recovers.
        env_->Answer = true;
        Click(window, "btn_next");
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageRecover});
        const int first = Count(window, "Label19");
        QVERIFY(first > 0);
        QCOMPARE(QDir(deep).entryList({QStringLiteral("*.jpg")}).size(), first);
        // Back and Next again: the folder holds recovered files, so the user is asked; no
        // writes nothing.
        Click(window, "btn_prior");
        env_->Questions.clear();
        env_->Answer = false;
        Click(window, "btn_next");
        QCOMPARE(env_->Questions.size(), 1);
        QVERIFY(env_->Questions[0].contains(QStringLiteral("already holds recovered files")));
        QCOMPARE(window.PageIndex(), int{Tfrm_main::PageDirectory});
        QCOMPARE(QDir(deep).entryList({QStringLiteral("*.jpg")}).size(), first);
        // The Recover button asks the same.
        notebook->setCurrentIndex(Tfrm_main::PageRecover);
        env_->Questions.clear();
        Click(window, "btn_startrecovery");
        QCOMPARE(env_->Questions.size(), 1);
        QCOMPARE(QDir(deep).entryList({QStringLiteral("*.jpg")}).size(), first);
        // Yes writes numbered copies beside the first ones.
        env_->Answer = true;
        Click(window, "btn_startrecovery");
        QCOMPARE(QDir(deep).entryList({QStringLiteral("*-1.jpg")}).size(), first);
    }

    // What the desktop cannot open, and a machine where no device can be read, are said in the
    // window, not only on the terminal.
    void whatCannotBeOpenedIsSaid() {
        TDeviceCatalogue::Instance().Clear();
        Tfrm_main window;
        window.show();
        env_->Urls.clear();
        UiHooks().Url = [this](const QUrl& url) {
            env_->Urls << url;
            return false; // no browser, no file manager
        };
        Click(window, "btn_help");
        QCOMPARE(env_->Messages.size(), 1);
        QVERIFY(env_->Messages[0].contains(QStringLiteral("drive.html")));
        QVERIFY(env_->Messages[0].contains(QStringLiteral("no program")));
        // Without any device to choose, the drive page says so.
        QVERIFY(Find<QComboBox>(window, "DriveComboBox1")->count() == 0);
        QLabel* notice = Find<QLabel>(window, "Label31");
        QVERIFY(notice->isVisibleTo(&window));
        QVERIFY(notice->text().startsWith(QStringLiteral("No card or disk")));
        // A device the catalogue lists but that cannot be opened is named with the reason.
        testkit::TTempDir sys;
        QVERIFY(QDir().mkpath(QString::fromStdString(sys / "sys/block/sdz/device")));
        QFile size(QString::fromStdString(sys / "sys/block/sdz/size"));
        QVERIFY(size.open(QIODevice::WriteOnly));
        size.write("2048\n");
        size.close();
        TDeviceCatalogue::Instance().Rebuild(sys / "sys", sys / "dev");
        EnumeratePhysicalDrives();
        Tfrm_main second;
        second.show();
        QLabel* named = Find<QLabel>(second, "Label31");
        QVERIFY(named->isVisibleTo(&second));
        QVERIFY2(named->text().contains(QString::fromStdString(sys / "dev/sdz") + QStringLiteral(": ")), qPrintable(named->text()));
        TDeviceCatalogue::Instance().Clear();
        PhysicalDrives().clear();
        // An image opened: the notice goes.
        QVERIFY(second.OpenImage(Image("seen.img", 2048)));
        QVERIFY(!named->isVisibleTo(&second));
    }

    // Help comes in the user's language where the pages exist, in English otherwise.
    void helpFollowsTheLanguageAndFallsBackToEnglish() {
        UseLanguage("de");
        {
            Tfrm_main window;
            window.show();
            Click(window, "btn_help");
            QCOMPARE(env_->Urls.size(), 1);
            QVERIFY(env_->Urls[0].toLocalFile().endsWith(QStringLiteral("data/help/de/drive.html")));
        }
        UseLanguage("it"); // no Italian pages: English
        {
            Tfrm_main window;
            window.show();
            Click(window, "btn_help");
            QCOMPARE(env_->Urls.size(), 2);
            QVERIFY(env_->Urls[1].toLocalFile().endsWith(QStringLiteral("data/help/drive.html")));
        }
        UseLanguage("en");
        // Every English page has its German page, and both exist where the program looks.
        const QDir english(QStringLiteral(LUMIVORE_SOURCE_DIR "/data/help"));
        for (const QString& page : english.entryList({QStringLiteral("*.htm*")}, QDir::Files))
            QVERIFY2(QFileInfo::exists(english.filePath(QStringLiteral("de/") + page)), qPrintable(page));
    }

    // The title names the product and the version the build states; the about box the same.
    void oneVersionEverywhere() {
        Tfrm_main window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Lumivore ") + QString::fromStdString(AppFileVersion()));
        Tfrm_about about(&window);
        QVERIFY(Text(about, "Label2").endsWith(QString::fromStdString(AppFileVersion())));
        QVERIFY(!Text(about, "Label1").contains(QLatin1Char('.')));
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
    // every language of the translations file for a person to look at. Under a display server
    // (xvfb-run) the pictures are the server's own pixels (ImageMagick's import), else the
    // widgets drawn by Qt.
    void screenshots() {
        const QString folder = qEnvironmentVariable("LUMIVORE_SHOTS");
        if (folder.isEmpty())
            QSKIP("LUMIVORE_SHOTS not set");
        QDir().mkpath(folder);
        testkit::TTempDir temp;
        testkit::TSampleCard card;
        QVERIFY(WriteSmallCard(temp / "card.img", card));
        const bool server = QGuiApplication::platformName() == QLatin1String("xcb");
        for (const TLanguage& language : Languages()) {
            UseLanguage(language.Id);
            const QString prefix = folder + QLatin1Char('/') + QString::fromStdString(language.Id) + QLatin1Char('-');
            const auto grab = [&](QWidget& w, const QString& name) {
                w.raise();
                w.activateWindow();
                QTest::qWait(server ? 250 : 50);
                const QString file = prefix + name + QStringLiteral(".png");
                if (server) {
                    const QRect r = w.frameGeometry();
                    QProcess::execute(QStringLiteral("import"),
                                      {QStringLiteral("-window"), QStringLiteral("root"), QStringLiteral("-crop"),
                                       QStringLiteral("%1x%2+%3+%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y()),
                                       file});
                } else {
                    QVERIFY(w.grab().save(file));
                }
            };
            // No device to choose: the drive page says why.
            TDeviceCatalogue::Instance().Clear();
            {
                Tfrm_main empty;
                empty.show();
                QVERIFY(QTest::qWaitForWindowExposed(&empty));
                grab(empty, QStringLiteral("0-nodevices"));
            }
            Tfrm_main window;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QVERIFY(window.OpenImage(QString::fromStdString(temp / "card.img")));
            grab(window, QStringLiteral("1-drive"));
            Find<QTabBar>(window, "TabSet1")->setCurrentIndex(1);
            grab(window, QStringLiteral("1-drive-physical"));
            Find<QTabBar>(window, "TabSet1")->setCurrentIndex(0);
            QTest::keyClick(&window, Qt::Key_Return); // the keyboard walks the wizard
            grab(window, QStringLiteral("2-range"));
            QTest::keyClick(&window, Qt::Key_Return);
            grab(window, QStringLiteral("3-scan"));
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
            grab(window, QStringLiteral("4-details"));
            Find<QPushButton>(window, "btn_skip")->click();
            auto* list = Find<QTreeWidget>(window, "ListView1");
            list->setFocus();
            list->setCurrentItem(list->topLevelItem(2));
            QTest::keyClick(list, Qt::Key_Space);
            ClickRow(list, 12);
            grab(window, QStringLiteral("5-filetype"));
            ClickRow(list, 28 + kPhoneHeic);
            list->scrollToItem(list->topLevelItem(34));
            grab(window, QStringLiteral("5-filetype-phone"));
            list->scrollToItem(list->topLevelItem(0));
            {
                Tfrm_CustomizeRecovery preview(window.Engine(), &window);
                preview.resize(1024, 720);
                preview.show();
                QVERIFY(QTest::qWaitForWindowExposed(&preview));
                grab(preview, QStringLiteral("preview-tree"));
                auto* tree = Find<QTreeWidget>(preview, "TreeView1");
                tree->setCurrentItem(tree->topLevelItem(0)->child(kFormatJpeg));
                auto* thumbs = Find<QListWidget>(preview, "ListView1");
                thumbs->setCurrentItem(thumbs->item(0));
                grab(preview, QStringLiteral("preview-page"));
                preview.findChild<QTabWidget*>(QStringLiteral("PageControl1"))->setCurrentIndex(1);
                grab(preview, QStringLiteral("preview-properties"));
                preview.PictureViewerHook = [&](QDialog& viewer) {
                    viewer.show();
                    QVERIFY(QTest::qWaitForWindowExposed(&viewer));
                    grab(viewer, QStringLiteral("preview-enlarged"));
                };
                thumbs->setFocus();
                QTest::keyClick(thumbs, Qt::Key_Return);
                tree->scrollToItem(tree->topLevelItem(tree->topLevelItemCount() - 1)->child(0),
                                   QAbstractItemView::PositionAtTop);
                grab(preview, QStringLiteral("preview-tree-phone"));
                preview.close();
            }
            QTest::keyClick(list, Qt::Key_Return);
            Find<QLineEdit>(window, "Edit1")->setText(QString::fromStdString(temp / ("out-" + language.Id)));
            grab(window, QStringLiteral("6-directory"));
            env_->Answer = true;
            QStringList questions;
            UiHooks().Question = [&](const QString& text) {
                questions << text;
                return true;
            };
            QTest::keyClick(Find<QLineEdit>(window, "Edit1"), Qt::Key_Return);
            grab(window, QStringLiteral("7-recover"));
            for (int i = 0; i < questions.size(); ++i) {
                QMessageBox box(QMessageBox::Question, QStringLiteral("Lumivore"), questions[i],
                                QMessageBox::Yes | QMessageBox::No, &window);
                box.show();
                grab(box, QStringLiteral("question-%1").arg(i));
            }
            UiHooks().Question = [this](const QString& text) {
                env_->Questions << text;
                return env_->Answer;
            };
            {
                QMessageBox box(QMessageBox::Critical, QStringLiteral("Lumivore"),
                                FillFormat(Tr("msg_folderhasrecovered"), QString::fromStdString(temp / "out")),
                                QMessageBox::Ok, &window);
                box.show();
                grab(box, QStringLiteral("message"));
            }
            {
                Tfrm_Options options(window.Engine(), [&] { window.RefreshTexts(); }, &window);
                options.setObjectName(QStringLiteral("frm_options"));
                options.show();
                QVERIFY(QTest::qWaitForWindowExposed(&options));
                grab(options, QStringLiteral("options"));
            }
            {
                // Opened in English, switched to this language with Apply.
                UseLanguage("en");
                window.RefreshTexts();
                Tfrm_Options options(window.Engine(), [&] { window.RefreshTexts(); }, &window);
                options.setObjectName(QStringLiteral("frm_options"));
                options.show();
                QVERIFY(QTest::qWaitForWindowExposed(&options));
                auto* choice = options.findChild<QComboBox*>(QStringLiteral("cbox_language"));
                choice->setCurrentIndex(choice->findData(QString::fromStdString(language.Id)));
                options.findChild<QPushButton*>(QStringLiteral("btn_optionapply"))->click();
                grab(options, QStringLiteral("options-after-apply"));
                grab(window, QStringLiteral("7-recover-after-apply"));
            }
            {
                Tfrm_about about(&window);
                about.show();
                QVERIFY(QTest::qWaitForWindowExposed(&about));
                grab(about, QStringLiteral("about"));
            }
            TOpenDirDlg chooser(&window);
            chooser.SetTitle(Tr("dialog_directory"));
            chooser.SetDirectory(QString::fromStdString(temp.Path()));
            QTimer::singleShot(0, &chooser, [&] {
                QTest::qWait(300);
                grab(chooser, QStringLiteral("dirdialog"));
                chooser.reject();
            });
            chooser.Execute();
        }
        UseLanguage("en");
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
