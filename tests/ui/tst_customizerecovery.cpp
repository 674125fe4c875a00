// The preview window: its page and tree rules, the window driven with records made in memory,
// and the window on a sample card with real thumbnails, metadata and a recovery.
#include <QApplication>
#include <QScreen>
#include <QListWidget>
#include <QMessageBox>
#include <QSignalSpy>
#include <QSplitter>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>

#include "device/DskLib.h"
#include "engine/FileTypes.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "support/Settings.h"
#include "testkit/ImageBuilder.h"
#include "testkit/SampleCard.h"
#include "testkit/TiffBuilder.h"
#include "testkit/TempFiles.h"
#include "ui/CustomizeRecovery.h"
#include "ui/PictureViewer.h"
#include "ui/UiSupport.h"

using namespace lumivore;

namespace {

QTreeWidgetItem* FindNode(QTreeWidget* tree, const QString& caption) {
    const QList<QTreeWidgetItem*> found = tree->findItems(caption, Qt::MatchExactly | Qt::MatchRecursive);
    return found.value(0);
}

// The record behind a list item.
const TFoundFile& RecordOf(TScanEngine& engine, QListWidgetItem* item) {
    return engine.FoundFiles.at(static_cast<std::size_t>(item->data(Qt::UserRole).toULongLong()));
}

// Accepts every message box the window shows and keeps its text.
class TMessageCatcher : public QObject {
public:
    QStringList Texts;
    TMessageCatcher() {
        timer_.setInterval(20);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                Texts << box->text();
                box->accept();
            }
        });
        timer_.start();
    }

private:
    QTimer timer_;
};

// A record whose thumbnail range cannot be read (the engine has no drive open).
TFoundFile Record(std::uint8_t format, std::int64_t sector) {
    TFoundFile f;
    f.Ext = format == kFormatJpeg ? "JPG" : (format == kFormatBmp ? "BMP" : "TIF");
    f.FormatIndex = format;
    f.MakerIndex = kNoIndex;
    f.StartSector = sector;
    f.Length = 1000;
    f.ThumbKind = kThumbJpeg;
    f.ThumbLength = 1000;
    return f;
}

} // namespace

class TestCustomizeRecovery : public QObject {
    Q_OBJECT

    std::unique_ptr<TScanEngine> engine_;
    std::vector<std::int64_t> jpegSectors_;

    // 450 JPEGs and 200 BMPs at shuffled sectors, a few TIFFs, no PNG.
    void FillEngine() {
        engine_ = std::make_unique<TScanEngine>();
        std::mt19937 random(7);
        std::vector<std::int64_t> sectors(800);
        for (std::size_t i = 0; i < sectors.size(); ++i)
            sectors[i] = static_cast<std::int64_t>(i) * 37 + 11;
        std::shuffle(sectors.begin(), sectors.end(), random);
        jpegSectors_.assign(sectors.begin(), sectors.begin() + 450);
        for (std::size_t i = 0; i < 655; ++i) {
            const std::uint8_t format = i < 450 ? kFormatJpeg : (i < 650 ? kFormatBmp : kFormatTiff);
            engine_->FoundFiles.push_back(Record(format, sectors[i]));
        }
        CountByType(engine_->FoundFiles);
        std::sort(jpegSectors_.begin(), jpegSectors_.end());
    }

private Q_SLOTS:
    void init() {
        TSettingsStore().WriteInteger("FilesOnce", 1);
        FillEngine();
    }

    // ---- rules of the window --------------------------------------------------------------

    void pageSizeFollowsTheLowByteOfFilesOnce() {
        const std::pair<int, int> cases[] = {{0, 100}, {1, 200}, {2, 300}, {6, 800}, {7, 1000},
                                             {8, 200}, {9, 200},  {264, 200}, {256, 100}, {-1, 200}};
        for (const auto& [setting, size] : cases)
            QCOMPARE(PageSizeFromFilesOnce(setting), size);
        QCOMPARE(PageSizeFromFilesOnce(std::nullopt), 200);
        // The window reads the setting when it is created.
        TSettingsStore().WriteInteger("FilesOnce", 256);
        Tfrm_CustomizeRecovery window(*engine_);
        QCOMPARE(window.PageSize(), 100);
    }

    void metadataLinesAndTheirAbsentValues() {
        TFoundFile f;
        f.Ext = "JPG";
        f.Length = -1;
        f.ExposureNum = 10, f.ExposureDen = 1250;
        f.FNumberNum = 28, f.FNumberDen = 10;
        f.FocalNum = 50, f.FocalDen = 1;
        const auto values = MetadataValues(f);
        const std::array<std::string, kMetadataLines> expected = {"JPG", "-", "-", "-", "-", "-",
                                                                  "-", "-", "1/125", "2.8", "50.0mm"};
        QCOMPARE(values, expected);
        f.Make = "Canon\nEOS"; // a line break read from a card must not shift the lines
        QCOMPARE(MetadataValues(f)[4], std::string("Canon EOS"));

        QCOMPARE(ExposureText(10, 0), std::string("-"));
        QCOMPARE(ExposureText(0, 250), std::string("-"));
        QCOMPARE(ExposureText(2, 1), std::string("2s"));
        QCOMPARE(ExposureText(3, 2), std::string("1.5s"));
        QCOMPARE(ExposureText(1, 1), std::string("1s"));
        QCOMPARE(ExposureText(1, 3), std::string("1/3"));
        QCOMPARE(ExposureText(4294967295u, 1), std::string("4294967295s"));
    }

    void previewFitsTheTab() {
        // Larger than the picture: unscaled and centred.
        QCOMPARE(FitPreviewImage(640, 480, 900, 700), (TPreviewPlacement{130, 110, 640, 480, false}));
        // 257 x 190: scaled by 480 / 190, the larger ratio, and centred horizontally.
        QCOMPARE(FitPreviewImage(640, 480, 257, 190), (TPreviewPlacement{2, 0, 253, 190, true}));
        // Too wide only: the width decides.
        QCOMPARE(FitPreviewImage(1000, 100, 500, 400), (TPreviewPlacement{0, 175, 500, 50, true}));
        // A collapsed pane or an empty picture never divides by zero.
        QCOMPARE(FitPreviewImage(640, 480, 0, 0).Width, 1);
        QCOMPARE(FitPreviewImage(0, 480, 300, 300), TPreviewPlacement{});
    }

    // ---- the tree and its pages -------------------------------------------------------------

    void executeOpensMaximisedAndModal() {
        bool maximised = false, modal = false;
        QTimer::singleShot(50, [&] {
            auto* shown = qobject_cast<Tfrm_CustomizeRecovery*>(QApplication::activeModalWidget());
            QVERIFY(shown);
            maximised = shown->windowState().testFlag(Qt::WindowMaximized);
            modal = shown->isModal();
            shown->close();
        });
        Tfrm_CustomizeRecovery::Execute(*engine_, nullptr);
        QVERIFY(maximised);
        QVERIFY(modal);
    }

    void treeHasCountsAndPageRanges() {
        Tfrm_CustomizeRecovery window(*engine_);
        auto* tree = window.findChild<QTreeWidget*>("TreeView1");
        QCOMPARE(tree->topLevelItemCount(), 3);
        QCOMPARE(tree->topLevelItem(0)->text(0), QStringLiteral("General Files"));
        QCOMPARE(tree->topLevelItem(0)->childCount(), 10);
        QCOMPARE(tree->topLevelItem(1)->childCount(), 13);
        QCOMPARE(tree->topLevelItem(2)->text(0), QStringLiteral("Phone and video files"));
        QCOMPARE(tree->topLevelItem(2)->childCount(), 7);
        QCOMPARE(tree->topLevelItem(2)->child(kPhoneMp4)->text(0), QStringLiteral("MP4 video (MP4,M4V) - 0"));
        QTreeWidgetItem* jpeg = FindNode(tree, "JPEG - 450");
        QVERIFY(jpeg);
        QCOMPARE(jpeg->childCount(), 3);
        QCOMPARE(jpeg->child(0)->text(0), QStringLiteral("1-200"));
        QCOMPARE(jpeg->child(1)->text(0), QStringLiteral("201-400"));
        QCOMPARE(jpeg->child(2)->text(0), QStringLiteral("401-450"));
        QTreeWidgetItem* bmp = FindNode(tree, "BMP - 200");
        QVERIFY(bmp);
        QCOMPARE(bmp->childCount(), 0);
        QVERIFY(FindNode(tree, "PNG - 0"));
        QVERIFY(FindNode(tree, "Canon (CRW,TIF,CR2) - 0"));
        QCOMPARE(PageRangeCaptions(201, 200), (std::vector<std::string>{"1-200", "201-201"}));
    }

    void phoneAndVideoFilesHaveTheirOwnRootAndACr3CountsUnderCanonToo() {
        const auto add = [this](const char* ext, std::uint8_t phone, std::uint8_t maker, std::int64_t sector) {
            TFoundFile f = Record(kFormatJpeg, sector);
            f.Ext = ext;
            f.FormatIndex = kNoIndex;
            f.MakerIndex = maker;
            f.PhoneIndex = phone;
            engine_->FoundFiles.push_back(f);
        };
        add("HEIC", kPhoneHeic, kNoIndex, 900005);
        add("HEIF", kPhoneHeic, kNoIndex, 900001);
        add("CR3", kPhoneCr3, kMakerCanon, 900003);
        CountByType(engine_->FoundFiles);
        Tfrm_CustomizeRecovery window(*engine_);
        auto* tree = window.findChild<QTreeWidget*>("TreeView1");
        auto* list = window.findChild<QListWidget*>("ListView1");
        QVERIFY(FindNode(tree, "Canon (CRW,TIF,CR2) - 1"));
        QVERIFY(FindNode(tree, "Canon CR3 raw (CR3) - 1"));
        QTreeWidgetItem* heic = FindNode(tree, "HEIC/HEIF image (HEIC,HEIF) - 2");
        QVERIFY(heic);
        QCOMPARE(heic->parent(), tree->topLevelItem(2));
        QVERIFY(!heic->icon(0).isNull());
        QVERIFY(!tree->topLevelItem(2)->icon(0).isNull());
        tree->setCurrentItem(heic);
        QCOMPARE(list->count(), 2);
        QCOMPARE(RecordOf(*engine_, list->item(0)).StartSector, 900001);
        QCOMPARE(list->item(1)->text(), QStringLiteral("HEIC"));
        // The CR3 is on the pages of both its rows.
        tree->setCurrentItem(FindNode(tree, "Canon CR3 raw (CR3) - 1"));
        QCOMPARE(list->count(), 1);
        QCOMPARE(RecordOf(*engine_, list->item(0)).Ext, std::string("CR3"));
        tree->setCurrentItem(FindNode(tree, "Canon (CRW,TIF,CR2) - 1"));
        QCOMPARE(list->count(), 1);
        QCOMPARE(RecordOf(*engine_, list->item(0)).Ext, std::string("CR3"));
        // A phone root's sort order keys on PhoneIndex.
        TFoundFile a = Record(kFormatJpeg, 50), b = a;
        a.PhoneIndex = kPhoneCr3;
        b.PhoneIndex = kPhoneMp4;
        b.StartSector = 1;
        QVERIFY(CompareForPage(a, b, TTreeRoot::Phone, kPhoneCr3) < 0);
        QVERIFY(CompareForPage(a, b, TTreeRoot::Phone, kPhoneMp4) > 0);
    }

    void aRangeListsItsFilesInSectorOrder() {
        Tfrm_CustomizeRecovery window(*engine_);
        auto* tree = window.findChild<QTreeWidget*>("TreeView1");
        auto* list = window.findChild<QListWidget*>("ListView1");
        QSignalSpy loaded(&window, &Tfrm_CustomizeRecovery::PageLoaded);
        tree->setCurrentItem(FindNode(tree, "201-400"));
        QCOMPARE(loaded.count(), 1);
        QCOMPARE(list->count(), 200);
        for (int i = 0; i < list->count(); ++i) {
            const TFoundFile& f = RecordOf(*engine_, list->item(i));
            QCOMPARE(f.FormatIndex, kFormatJpeg);
            QCOMPARE(f.StartSector, jpegSectors_[static_cast<std::size_t>(200 + i)]);
            QCOMPARE(list->item(i)->text(), QStringLiteral("JPG"));
        }
        // Exactly one page of files: the type node itself lists them all.
        tree->setCurrentItem(FindNode(tree, "BMP - 200"));
        QCOMPARE(list->count(), 200);
        QCOMPARE(RecordOf(*engine_, list->item(0)).FormatIndex, kFormatBmp);
        // A type without files is selectable and empty.
        tree->setCurrentItem(FindNode(tree, "PNG - 0"));
        QCOMPARE(tree->selectedItems().value(0), FindNode(tree, "PNG - 0"));
        QCOMPARE(list->count(), 0);
        QCOMPARE(loaded.count(), 3);
    }

    void nestedFilesHaveNoPageOfTheirOwn() {
        // Three JPEG previews that lie inside BMPs: the BMP page and the JPEG count leave them out.
        for (std::int64_t sector : {100001, 100002, 100003}) {
            TFoundFile nested = Record(kFormatJpeg, sector);
            nested.NestedIn = 100000;
            engine_->FoundFiles.push_back(nested);
        }
        CountByType(engine_->FoundFiles);
        Tfrm_CustomizeRecovery window(*engine_);
        auto* tree = window.findChild<QTreeWidget*>("TreeView1");
        auto* list = window.findChild<QListWidget*>("ListView1");
        QVERIFY(FindNode(tree, "JPEG - 450") != nullptr);
        tree->setCurrentItem(FindNode(tree, "401-450"));
        QCOMPARE(list->count(), 50);
        for (int i = 0; i < list->count(); ++i)
            QVERIFY(!RecordOf(*engine_, list->item(i)).Nested());
        QCOMPARE(RecordOf(*engine_, list->item(49)).StartSector, jpegSectors_.back());
    }

    void photosUnderAStaleHeaderAreListedAndCounted() {
        // A raw's directory whose strip lies 20 MB ahead, and photos written over that stretch
        // later: they are files of their own, in the tree's count and on its page.
        testkit::TTempDir dir;
        const std::string image = (std::filesystem::path(dir.Path()) / "card.img").string();
        constexpr std::uint64_t kSectors = 60000;
        testkit::TDiskImage card(kSectors);
        testkit::TTiffBuilder b;
        const auto ifd0 = b.AddDirectory();
        b.Ascii(ifd0, 0x010F, "NIKON CORPORATION");
        b.Fixed(ifd0, 0x0111, testkit::kTiffLong, 1, 20'000'000);
        b.Fixed(ifd0, 0x0117, testkit::kTiffLong, 1, 4'000'000);
        card.Place(100, b.Build());
        for (std::uint64_t k = 0; k < 3; ++k)
            card.Place(300 + 40 * k, testkit::TJpegBuilder().Jfif().FakeScan(6000 + 1000 * k).Build());
        QVERIFY(card.Write(image));
        TDeviceCatalogue::Instance().Clear();
        const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(image);
        engine_ = std::make_unique<TScanEngine>();
        QVERIFY(engine_->OpenDrive(code));
        engine_->Scan(0, kSectors, nullptr, nullptr, nullptr);
        engine_->CountByType();
        Tfrm_CustomizeRecovery window(*engine_);
        auto* tree = window.findChild<QTreeWidget*>("TreeView1");
        auto* list = window.findChild<QListWidget*>("ListView1");
        QTreeWidgetItem* jpeg = FindNode(tree, "JPEG - 3");
        QVERIFY(jpeg);
        tree->setCurrentItem(jpeg);
        QCOMPARE(list->count(), 3);
        for (int i = 0; i < list->count(); ++i)
            QCOMPARE(RecordOf(*engine_, list->item(i)).StartSector, static_cast<std::int64_t>(300 + 40 * i));
    }

    void rootsAndSplitTypesCannotBeSelected() {
        Tfrm_CustomizeRecovery window(*engine_);
        auto* tree = window.findChild<QTreeWidget*>("TreeView1");
        auto* list = window.findChild<QListWidget*>("ListView1");
        QSignalSpy loaded(&window, &Tfrm_CustomizeRecovery::PageLoaded);
        tree->setCurrentItem(FindNode(tree, "401-450"));
        QCOMPARE(list->count(), 50);
        for (QTreeWidgetItem* node : {tree->topLevelItem(0), tree->topLevelItem(1), FindNode(tree, "JPEG - 450")}) {
            tree->setCurrentItem(node);
            QVERIFY(!node->isSelected());
        }
        QCOMPARE(loaded.count(), 1);
        QCOMPARE(list->count(), 50);
    }

    void anotherNodeDuringALoadCancelsItAndLoadsThatPage() {
        Tfrm_CustomizeRecovery window(*engine_);
        auto* tree = window.findChild<QTreeWidget*>("TreeView1");
        auto* list = window.findChild<QListWidget*>("ListView1");
        QList<int> pageCounts;
        int depth = 0, deepest = 0;
        connect(&window, &Tfrm_CustomizeRecovery::PageLoaded, [&] { pageCounts << list->count(); });
        // Runs inside the first page's event pump, as a user's click would.
        QTimer::singleShot(0, [&] {
            ++depth;
            deepest = std::max(deepest, depth);
            tree->setCurrentItem(FindNode(tree, "401-450"));
            QVERIFY(window.Working()); // the click returns at once; the first load is still on
            --depth;
        });
        tree->setCurrentItem(FindNode(tree, "1-200"));
        QCOMPARE(deepest, 1);
        QCOMPARE(pageCounts.size(), 2);
        QVERIFY(pageCounts[0] <= 1); // noticed within one thumbnail
        QCOMPARE(pageCounts[1], 50);
        QCOMPARE(list->count(), 50);
        QCOMPARE(RecordOf(*engine_, list->item(0)).StartSector, jpegSectors_[400]);
        QVERIFY(!window.Working());
    }

    void closingDuringALoadEndsItFirst() {
        Tfrm_CustomizeRecovery window(*engine_);
        window.show();
        auto* tree = window.findChild<QTreeWidget*>("TreeView1");
        auto* list = window.findChild<QListWidget*>("ListView1");
        QTimer::singleShot(0, [&] { QVERIFY(!window.close()); });
        tree->setCurrentItem(FindNode(tree, "1-200"));
        QVERIFY(list->count() <= 1);
        QVERIFY(!window.isVisible());
        QCOMPARE(window.result(), int(QDialog::Rejected));
    }

    // ---- panes, splitters and the preview ---------------------------------------------------

    void severalSelectedItemsLeaveThePreviewAlone() {
        Tfrm_CustomizeRecovery window(*engine_);
        window.resize(1200, 900);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* tree = window.findChild<QTreeWidget*>("TreeView1");
        auto* list = window.findChild<QListWidget*>("ListView1");
        auto* image = window.findChild<QLabel*>("Image1");
        auto* values = window.findChild<QLabel*>("Label2");
        auto* tabs = window.findChild<QTabWidget*>("PageControl1");
        tree->setCurrentItem(FindNode(tree, "401-450"));
        // On the properties tab only the values change; switching to the preview loads it.
        tabs->setCurrentIndex(1);
        list->setCurrentItem(list->item(0));
        QVERIFY(image->pixmap().isNull());
        QVERIFY(values->text().startsWith(QStringLiteral("JPG\n")));
        tabs->setCurrentIndex(0);
        // The record's range cannot be read: the "corrupted" picture takes its place.
        QVERIFY(!image->pixmap().isNull());
        QCOMPARE(image->pixmap().size(), QSize(130, 130));
        image->clear();
        list->setCurrentItem(list->item(3), QItemSelectionModel::Select);
        QCOMPARE(list->selectedItems().size(), 2);
        QVERIFY(image->pixmap().isNull());
        // The size in the user's locale.
        QVERIFY(values->text().startsWith(QStringLiteral("JPG\n") +
                                          QLocale().formattedDataSize(1000, 2, QLocale::DataSizeTraditionalFormat) +
                                          QLatin1Char('\n')));
        // Back to one item: the preview comes back.
        list->setCurrentItem(list->item(5), QItemSelectionModel::ClearAndSelect);
        QVERIFY(!image->pixmap().isNull());
    }

    // A photo that a used card split says so: put back together from its pieces, or incomplete
    // because its rest was not found, in the properties' last line and in its tool tip. Its name
    // from the card fits under its thumbnail.
    void photosInPiecesSayHowTheyWerePutBack() {
        std::sort(engine_->FoundFiles.begin(), engine_->FoundFiles.end(),
                  [](const TFoundFile& a, const TFoundFile& b) { return a.StartSector < b.StartSector; });
        int marked = 0;
        for (TFoundFile& f : engine_->FoundFiles) {
            if (f.Ext != "JPG")
                continue;
            const std::int64_t at = f.StartSector * 512;
            if (marked == 0)
                f.Pieces = {{at, 4096}, {at + 65536, f.Length - 4096}}, f.OriginalName = "A.JPG";
            else
                f.Pieces = {{at, 4096}}, f.Incomplete = true, f.OriginalName = "P1040518_DSCF.JPG";
            if (++marked == 2)
                break;
        }
        Tfrm_CustomizeRecovery window(*engine_);
        window.resize(1200, 900);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* tree = window.findChild<QTreeWidget*>("TreeView1");
        auto* list = window.findChild<QListWidget*>("ListView1");
        auto* values = window.findChild<QLabel*>("Label2");
        window.findChild<QTabWidget*>("PageControl1")->setCurrentIndex(1);
        tree->setCurrentItem(FindNode(tree, "1-200"));
        QVERIFY(list->count() >= 3);
        const QString whole = QStringLiteral("put back together from 2 pieces");
        const QString incomplete = QStringLiteral("incomplete: the rest was not found");
        // The narrow pane: the number of pieces, or that the photo is incomplete.
        list->setCurrentItem(list->item(0));
        QVERIFY2(values->text().endsWith(QStringLiteral("\n2")), qPrintable(values->text()));
        QVERIFY(list->item(0)->toolTip().endsWith(QStringLiteral("\nPieces: ") + whole));
        list->setCurrentItem(list->item(1));
        QVERIFY(values->text().endsWith(QStringLiteral("\nincomplete")));
        QVERIFY(list->item(1)->toolTip().endsWith(QStringLiteral("\nPieces: ") + incomplete));
        list->setCurrentItem(list->item(2));
        QVERIFY(values->text().endsWith(QStringLiteral("\n-")));
        QVERIFY(!list->item(2)->toolTip().contains(QStringLiteral("Pieces")));
        // A long name under a thumbnail is shown whole, though the page's first name is short.
        QCOMPARE(list->item(1)->text(), QStringLiteral("P1040518_DSCF.JPG"));
        QVERIFY(list->visualItemRect(list->item(1)).width() >
                list->fontMetrics().horizontalAdvance(list->item(1)->text()));
    }

    // A file the card's file system still names shows that name under its thumbnail and in the
    // properties, as recovery would write it: the card's text never as a path out of the folder.
    void originalNamesShowUnderTheThumbnailAndInTheProperties() {
        std::sort(engine_->FoundFiles.begin(), engine_->FoundFiles.end(),
                  [](const TFoundFile& a, const TFoundFile& b) { return a.StartSector < b.StartSector; });
        int named = 0;
        for (TFoundFile& f : engine_->FoundFiles) {
            if (f.Ext != "JPG")
                continue;
            if (named == 0) {
                f.OriginalName = "IMG_0001.JPG";
                f.OriginalFolder = {"DCIM", "100CANON"};
                f.FolderKnown = true;
            } else {
                f.OriginalName = "../../evil\x1b.jpg";
            }
            if (++named == 2)
                break;
        }
        Tfrm_CustomizeRecovery window(*engine_);
        window.resize(1200, 900);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* tree = window.findChild<QTreeWidget*>("TreeView1");
        auto* list = window.findChild<QListWidget*>("ListView1");
        auto* captions = window.findChild<QLabel*>("Label1");
        auto* values = window.findChild<QLabel*>("Label2");
        auto* tabs = window.findChild<QTabWidget*>("PageControl1");
        tree->setCurrentItem(FindNode(tree, "1-200"));
        tabs->setCurrentIndex(1);
        QCOMPARE(list->item(0)->text(), QStringLiteral("IMG_0001.JPG"));
        QCOMPARE(list->item(1)->text(), QStringLiteral("_.._evil_.jpg"));
        QCOMPARE(list->item(2)->text(), QStringLiteral("JPG"));
        QVERIFY(list->item(0)->toolTip().contains(QStringLiteral("DCIM/100CANON/IMG_0001.JPG")));
        QVERIFY(captions->text().endsWith(QStringLiteral("\nOriginal name:\nPieces:")));
        list->setCurrentItem(list->item(0));
        QVERIFY(values->text().endsWith(QStringLiteral("\nDCIM/100CANON/IMG_0001.JPG\n-")));
        list->setCurrentItem(list->item(2));
        QVERIFY(values->text().endsWith(QStringLiteral("\n-\n-")));
    }

    void splittersStopAt400AndTheEnlargeButtonSetsBoth() {
        Tfrm_CustomizeRecovery window(*engine_);
        window.resize(1200, 900);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* across = window.findChild<QSplitter*>("Splitter1");
        auto* down = window.findChild<QSplitter*>("Splitter2");
        auto* left = window.findChild<QWidget*>("Panel5");
        auto* lower = window.findChild<QWidget*>("Panel6");
        across->setSizes({700, 500});
        down->setSizes({100, 700});
        QCoreApplication::processEvents();
        QVERIFY(left->width() <= Tfrm_CustomizeRecovery::kPaneLimit);
        QVERIFY(lower->height() <= Tfrm_CustomizeRecovery::kPaneLimit);
        across->setSizes({150, 1050});
        down->setSizes({700, 100});
        QCoreApplication::processEvents();
        QVERIFY(left->width() < 400);
        QTest::mouseClick(window.findChild<QToolButton*>("Image2"), Qt::LeftButton);
        QCoreApplication::processEvents();
        QCOMPARE(left->width(), 400);
        QCOMPARE(lower->height(), 400);
        // The enlarge button stays at the top right of the lower pane.
        auto* button = window.findChild<QToolButton*>("Image2");
        QVERIFY(button->geometry().right() < lower->width());
        QVERIFY(button->geometry().right() > lower->width() - 24);
    }

    // ---- on a sample card -------------------------------------------------------------------

    void sampleCardThumbnailsMetadataAndRecovery() {
        testkit::TTempDir dir;
        const std::string image = (std::filesystem::path(dir.Path()) / "card.img").string();
        testkit::TSampleCardOptions options;
        options.SizeBytes = 24ull << 20;
        options.LargePhotos = false;
        testkit::TSampleCard card;
        QVERIFY(testkit::WriteSampleCard(image, options, card));
        TDeviceCatalogue::Instance().Clear();
        const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(image);
        engine_ = std::make_unique<TScanEngine>();
        QVERIFY(engine_->OpenDrive(code));
        engine_->Scan(0, static_cast<std::uint64_t>(card.TotalSectors), nullptr, nullptr, nullptr);
        engine_->CountByType();

        Tfrm_CustomizeRecovery window(*engine_);
        auto* tree = window.findChild<QTreeWidget*>("TreeView1");
        auto* list = window.findChild<QListWidget*>("ListView1");
        auto* tabs = window.findChild<QTabWidget*>("PageControl1");
        auto* values = window.findChild<QLabel*>("Label2");
        tabs->setCurrentIndex(1);

        // Every picture gets a real thumbnail: framed in the thumbnail frame colour, not the
        // placeholder's.
        int pictures = 0;
        const auto checkNode = [&](QTreeWidgetItem* node) {
            tree->setCurrentItem(node);
            QVERIFY2(list->count() > 0, qPrintable(node->text(0)));
            for (int i = 0; i < list->count(); ++i) {
                const QImage thumb = list->item(i)->icon().pixmap(95, 95).toImage();
                QVERIFY2(thumb.pixelColor(0, 0) == QColor(192, 220, 192),
                         qPrintable(node->text(0) + " " + list->item(i)->text()));
                ++pictures;
            }
        };
        QTreeWidgetItem* general = tree->topLevelItem(0);
        for (int row : {kFormatBmp, kFormatJpeg, kFormatGif, kFormatPng, kFormatDng, kFormatTiff})
            checkNode(general->child(row));
        QTreeWidgetItem* raw = tree->topLevelItem(1);
        for (int row : {kMakerCanon, kMakerNikon, kMakerPentax, kMakerMinolta, kMakerFuji})
            checkNode(raw->child(row));
        QVERIFY(pictures >= 20);

        // The metadata pane shows what the card's EXIF block says.
        tree->setCurrentItem(general->child(kFormatJpeg));
        int canon = -1;
        for (int i = 0; i < list->count() && canon < 0; ++i)
            if (RecordOf(*engine_, list->item(i)).Model == "Canon EOS 80D")
                canon = i;
        QVERIFY(canon >= 0);
        list->setCurrentItem(list->item(canon));
        const QStringList lines = values->text().split('\n');
        QCOMPARE(lines.size(), 13); // then the original name, where the card gives one, and the pieces
        QCOMPARE(lines[0], QStringLiteral("JPG"));
        QCOMPARE(lines[4], QStringLiteral("Canon"));
        QCOMPARE(lines[5], QStringLiteral("Canon EOS 80D"));
        const QDateTime taken(QDate(2024, 5, 17), QTime(14, 3, 22));
        QCOMPARE(lines[6], QLocale().toString(taken, QLocale::ShortFormat)); // not "2024:05:17 ..."
        QCOMPARE(lines[1], QLocale().formattedDataSize(RecordOf(*engine_, list->item(canon)).Length, 2,
                                                       QLocale::DataSizeTraditionalFormat));
        QCOMPARE(lines[7], QStringLiteral("200"));
        QCOMPARE(lines[8], QStringLiteral("1/125"));
        QCOMPARE(lines[9], QStringLiteral("5.6"));
        QCOMPARE(lines[10], QStringLiteral("50.0mm"));
        QCOMPARE(lines[2], QStringLiteral("1024"));

        // The thumbnail tells its file: the name it is recovered under, size, pixels, date.
        const TFoundFile& photo = RecordOf(*engine_, list->item(canon));
        const QString name = QString::fromStdString(RecoveredFileName(photo.StartSector, photo.Ext));
        const QStringList tip = list->item(canon)->toolTip().split('\n');
        QCOMPARE(tip.size(), 4);
        QCOMPARE(tip[0], name);
        QVERIFY(tip[1].endsWith(lines[1]));
        QVERIFY(tip[2].endsWith(QStringLiteral("1024 x ") + lines[3]));
        QVERIFY(tip[3].endsWith(lines[6]));

        // Enter or a double click shows the picture enlarged, named after its file.
        QStringList viewed;
        QList<QSize> viewedSizes;
        window.PictureViewerHook = [&](QDialog& viewer) {
            viewed << viewer.windowTitle();
            viewedSizes << viewer.findChild<QLabel*>("Image1")->pixmap().size();
        };
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        list->scrollToItem(list->item(canon));
        list->setFocus();
        QTest::keyClick(list, Qt::Key_Return);
        const QPoint at = list->visualItemRect(list->item(canon)).center();
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, at); // the press a double click begins with
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, at);
        QCOMPARE(viewed, (QStringList{name, name}));
        // The whole picture as large as most of the screen allows, not the thumbnail.
        const QSize screen = window.screen()->availableGeometry().size() * 9 / 10;
        QCOMPARE(viewedSizes[0], Tfrm_PictureViewer::ShownSize(QSize(photo.Width, photo.Height), screen));
        QVERIFY(viewedSizes[0].width() > 95 && viewedSizes[0].height() > 95);
        // Never enlarged past its own size, never past the area, its proportions kept.
        QCOMPARE(Tfrm_PictureViewer::ShownSize(QSize(640, 480), QSize(1000, 1000)), QSize(640, 480));
        QCOMPARE(Tfrm_PictureViewer::ShownSize(QSize(4000, 3000), QSize(800, 800)), QSize(800, 600));
        QCOMPARE(Tfrm_PictureViewer::ShownSize(QSize(3000, 4000), QSize(800, 800)), QSize(600, 800));
        QCOMPARE(Tfrm_PictureViewer::ShownSize(QSize(), QSize(800, 800)), QSize());

        // Another type's page leaves nothing of this one: picture, values and status go.
        tabs->setCurrentIndex(0);
        QVERIFY(!window.findChild<QLabel*>("Image1")->pixmap().isNull());
        tree->setCurrentItem(general->child(kFormatBmp));
        QVERIFY(window.findChild<QLabel*>("Image1")->pixmap().isNull());
        QVERIFY(values->text().isEmpty());
        QVERIFY(window.findChild<QLabel*>("StatusPanel0")->text().isEmpty());
        tree->setCurrentItem(general->child(kFormatJpeg));
        tabs->setCurrentIndex(1);

        // Recover writes exactly the selected files, byte for byte.
        list->clearSelection();
        std::vector<const TFoundFile*> chosen;
        for (int i : {0, 2, list->count() - 1}) {
            list->item(i)->setSelected(true);
            chosen.push_back(&RecordOf(*engine_, list->item(i)));
        }
        const std::string out = (std::filesystem::path(dir.Path()) / "out").string();
        window.ChooseDirectoryOverride = [&] { return QString::fromStdString(out); };
        TMessageCatcher catcher;
        QSignalSpy finished(&window, &Tfrm_CustomizeRecovery::RecoveryFinished);
        window.findChild<QToolButton*>("btn_recover")->click();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished[0][0].toInt(), 3);
        QCOMPARE(finished[0][1].toInt(), 0);
        QTRY_COMPARE(catcher.Texts.size(), 1);
        QVERIFY(catcher.Texts[0].contains(QStringLiteral("Recovered files: 3")));
        int written = 0;
        for (const auto& entry : std::filesystem::directory_iterator(out))
            written += entry.path().extension() == ".jpg" ? 1 : 0;
        QCOMPARE(written, 3);
        for (const TFoundFile* f : chosen) {
            const auto source = std::find_if(card.Files.begin(), card.Files.end(), [&](const testkit::TCardFile& c) {
                return static_cast<std::int64_t>(c.StartSector) == f->StartSector;
            });
            QVERIFY(source != card.Files.end());
            std::ifstream in(std::filesystem::path(out) / RecoveredFileName(f->StartSector, f->Ext), std::ios::binary);
            const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            QCOMPARE(bytes.size(), static_cast<std::size_t>(source->Size));
            QCOMPARE(testkit::Fnv1a64(bytes.data(), bytes.size()), source->Hash);
        }

        // The same folder again holds those files: the user is asked first, and no means no.
        QStringList questions;
        bool answer = false;
        UiHooks().Question = [&](const QString& text) {
            questions << text;
            return answer;
        };
        window.findChild<QToolButton*>("btn_recover")->click();
        QCOMPARE(questions.size(), 1);
        QVERIFY(questions[0].contains(QStringLiteral("already holds recovered files")));
        QCOMPARE(finished.count(), 1);
        answer = true;
        window.findChild<QToolButton*>("btn_recover")->click();
        QCOMPARE(finished.count(), 2);
        QTRY_COMPARE(catcher.Texts.size(), 2);
        QVERIFY(std::filesystem::exists(std::filesystem::path(out) / RecoveredFileName(chosen[0]->StartSector, chosen[0]->Ext, 1)));
        UiHooks() = TUiHooks{};

        // A destination that cannot be used is refused with a message and nothing is written.
        const std::string blocker = (std::filesystem::path(dir.Path()) / "file").string();
        std::ofstream(blocker) << "x";
        window.ChooseDirectoryOverride = [&] { return QString::fromStdString(blocker + "/sub"); };
        window.findChild<QToolButton*>("btn_recover")->click();
        QTRY_COMPARE(catcher.Texts.size(), 3);
        QVERIFY(catcher.Texts[2].startsWith(QStringLiteral("The files cannot be recovered there: ")));
        QCOMPARE(finished.count(), 2);

        // Closing the window while a recovery runs stops it after the current file; the window
        // closes once the recovery has ended and reported.
        window.show();
        list->selectAll();
        const int all = list->count();
        QVERIFY(all >= 3);
        const std::string rest = (std::filesystem::path(dir.Path()) / "rest").string();
        window.ChooseDirectoryOverride = [&] {
            QTimer::singleShot(0, &window, [&] { QVERIFY(!window.close()); });
            return QString::fromStdString(rest);
        };
        window.findChild<QToolButton*>("btn_recover")->click();
        QCOMPARE(finished.count(), 3);
        QVERIFY(finished[2][0].toInt() < all);
        QVERIFY(!window.isVisible());
        QVERIFY(!window.Working());
        TDeviceCatalogue::Instance().Clear();
    }
};

QTEST_MAIN(TestCustomizeRecovery)
#include "tst_customizerecovery.moc"
