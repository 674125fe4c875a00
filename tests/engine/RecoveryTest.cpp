#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "device/DskLib.h"
#include "engine/FileTypes.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "formats/PhotoFormats.h"
#include "testkit/ImageBuilder.h"
#include "testkit/MediaBuilder.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"
#include "testkit/TiffBuilder.h"

using namespace lumivore;
using testkit::TByteVector;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kImageSectors = 40000; // 20,480,000 bytes

// A JPEG of about `bytes` bytes that measures correctly (made-up scan data, then EOI).
TByteVector BigJpeg(std::size_t bytes, bool withEoi = true) {
    return testkit::TJpegBuilder().Jfif().FakeScan(bytes, withEoi).Build();
}

// Counts how often messages were let run, and can act at a chosen moment.
struct TPump : TMessagePump {
    std::function<void()> OnPump;
    int Calls = 0;
    void ProcessMessages() override {
        ++Calls;
        if (OnPump)
            OnPump();
    }
};

struct TLabel : TCounterLabel {
    std::function<void(std::int64_t)> OnSet;
    std::int64_t Value = -1;
    void SetCount(std::int64_t v) override {
        Value = v;
        if (OnSet)
            OnSet(v);
    }
};

class Recovery : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir_ / "settings.xml").c_str(), 1);
        TDeviceCatalogue::Instance().Clear();
        engine_ = std::make_unique<TScanEngine>();
    }
    void TearDown() override {
        SetReadFault(nullptr);
        engine_.reset();
        TDeviceCatalogue::Instance().Clear();
    }

    // Lays the files on an image and opens it; records are added with Add.
    void Open() {
        const std::string path = dir_ / "card.img";
        ASSERT_TRUE(image_.Write(path));
        const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(path);
        ASSERT_NE(code, 0);
        ASSERT_TRUE(engine_->OpenDrive(code));
    }
    void Place(std::uint64_t sector, const TByteVector& bytes) { image_.Place(sector, bytes); }
    TFoundFile& Add(std::int64_t sector, const std::string& ext, std::int32_t length,
                    std::uint8_t format = kNoIndex, std::uint8_t maker = kNoIndex) {
        TFoundFile f;
        f.Ext = ext;
        f.Length = length;
        f.FormatIndex = format;
        f.MakerIndex = maker;
        engine_->AddFoundFile(f, sector);
        return engine_->FoundFiles.back();
    }
    TRecoveryResult RecoverAll() {
        TRecoveryRequest r;
        r.Destination = Out();
        r.Selection = TRecoverySelection::AllTypes();
        return Recover(*engine_, r);
    }
    TRecoveryResult RecoverRecords(std::vector<std::size_t> indexes) {
        TRecoveryRequest r;
        r.Destination = Out();
        r.Selection = TRecoverySelection::Files(std::move(indexes));
        return Recover(*engine_, r);
    }
    std::string Out() const { return dir_ / "out"; }
    TByteVector Written(const std::string& name) const { return testkit::ReadFile(Out() + "/" + name); }
    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(Out(), ec))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    static TByteVector Prefix(const TByteVector& b, std::size_t n) { return TByteVector(b.begin(), b.begin() + n); }

    testkit::TTempDir dir_;
    testkit::TDiskImage image_{kImageSectors};
    std::unique_ptr<TScanEngine> engine_;
};

// ---- lengths ---------------------------------------------------------------------------------

TEST_F(Recovery, AKnownLengthIsWrittenAsItIsAndTheFileIsNamedBySectorAndType) {
    const TByteVector wav = testkit::MakeWave(8000, 1, 8, 3000);
    Place(100, wav);
    Open();
    Add(100, "WAV", static_cast<std::int32_t>(wav.size()), kFormatWav);
    const TRecoveryResult r = RecoverAll();
    ASSERT_TRUE(r.Started) << r.Message;
    EXPECT_EQ(r.Recovered, 1);
    EXPECT_EQ(Written("f0000000100.wav"), wav);
    EXPECT_EQ(r.BytesWritten, wav.size());
    EXPECT_EQ(r.Files[0].Source, TLengthSource::Known);
}

TEST_F(Recovery, AnUnknownLengthIsMeasuredFromTheDeviceBeyondTheScanAndPreviewWindows) {
    // 6 MB: longer than the preview's 5,120,000-byte window and the scan's 5 MB ceiling.
    const TByteVector jpeg = BigJpeg(6'000'000);
    const TByteVector png = testkit::EncodePng(testkit::TRgbImage::Pattern(300, 200, 3), 4096);
    Place(50, jpeg);
    Place(20000, png);
    Open();
    Add(50, "JPG", kUnknownLength, kFormatJpeg);
    Add(20000, "PNG", kUnknownLength, kFormatPng);
    const TRecoveryResult r = RecoverAll();
    EXPECT_EQ(r.Recovered, 2);
    EXPECT_EQ(Written("f0000000050.jpg"), jpeg);
    EXPECT_EQ(Written("f0000020000.png"), png);
    EXPECT_EQ(r.Files[0].Source, TLengthSource::Measured);
}

TEST_F(Recovery, TiffBasedFilesOfUnknownLengthAreMeasuredByTheirDirectories) {
    const auto& sources = testkit::SampleCardSources(false);
    const auto nef = std::find_if(sources.begin(), sources.end(), [](const auto& s) { return s.Ext == "NEF"; });
    ASSERT_NE(nef, sources.end());
    const TByteVector bytes = Prefix(nef->Bytes, nef->Length);
    Place(10, bytes);
    Open();
    Add(10, "NEF", kUnknownLength, kNoIndex, kMakerNikon);
    const TRecoveryResult r = RecoverAll();
    EXPECT_EQ(r.Recovered, 1);
    EXPECT_EQ(Written("f0000000010.nef"), bytes);
}

// A scanner's TIFF holds its strips first and its directory last: found by its header alone,
// its length is measured as its bytes stream past, far beyond what is kept of them in memory.
TEST_F(Recovery, ATiffWhoseDirectoryFollowsItsStripsIsMeasuredPastWhatIsKeptInMemory) {
    for (const bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian);
        testkit::TTiffBuilder b(bigEndian);
        std::vector<testkit::TTiffBuilder::TItem> strips;
        for (int i = 0; i < 6; ++i)
            strips.push_back(b.AddData(TByteVector(1'000'000, static_cast<std::uint8_t>(i * 37 + 1))));
        const auto dir = b.AddDirectory();
        b.Long(dir, 256, {1000});
        b.Long(dir, 257, {2000});
        b.Short(dir, 258, {8, 8, 8});
        b.Short(dir, 262, {2});
        b.Short(dir, 277, {3});
        b.Long(dir, 278, {333});
        b.Strips(dir, strips);
        b.SetFirst(dir);
        const TByteVector tiff = b.Build();
        ASSERT_GT(tiff.size(), 6'000'000u);
        image_ = testkit::TDiskImage{kImageSectors};
        Place(10, tiff);
        Place(10 + tiff.size() / 512 + 1, BigJpeg(100'000));
        fs::remove_all(Out());
        Open();
        engine_->FoundFiles.clear();
        Add(10, "TIF", kUnknownLength, kFormatTiff);
        const TRecoveryResult r = RecoverAll();
        EXPECT_EQ(r.Recovered, 1);
        EXPECT_EQ(Written("f0000000010.tif").size(), tiff.size());
        EXPECT_EQ(Written("f0000000010.tif"), tiff);
        EXPECT_EQ(r.Files[0].Source, TLengthSource::Measured);
    }
}

// The multi-picture index at a JPEG's start names the previews after its main image, blocks
// further on: the scan and recovery measure the file to the end of the last of them alike.
TEST_F(Recovery, AJpegEndsAfterTheLastImageItsMultiPictureIndexNamesInTheScanAndInRecovery) {
    const TByteVector main = BigJpeg(200'000);
    const TByteVector preview = BigJpeg(700'000);
    const TByteVector whole = testkit::JpegWithPreview(main, preview);
    Place(30, whole);
    Place(5000, whole);
    Open();
    engine_->Scan(0, kImageSectors, nullptr, nullptr, nullptr);
    std::vector<std::size_t> jpegs;
    for (std::size_t i = 0; i < engine_->FoundFiles.size(); ++i)
        if (engine_->FoundFiles[i].StartSector == 30 || engine_->FoundFiles[i].StartSector == 5000)
            jpegs.push_back(i);
    ASSERT_EQ(jpegs.size(), 2u);
    for (std::size_t i : jpegs)
        EXPECT_EQ(engine_->FoundFiles[i].Length, static_cast<std::int64_t>(whole.size()));
    engine_->FoundFiles[jpegs[1]].Length = kUnknownLength; // left to recovery to measure
    const TRecoveryResult r = RecoverRecords(jpegs);
    EXPECT_EQ(r.Recovered, 2);
    EXPECT_EQ(Written("f0000000030.jpg"), whole);
    EXPECT_EQ(Written("f0000005000.jpg"), whole);
    ASSERT_EQ(r.Files.size(), 2u);
    EXPECT_EQ(r.Files[0].Source, TLengthSource::Known);
    EXPECT_EQ(r.Files[1].Source, TLengthSource::Measured);
}

TEST_F(Recovery, AFileWhoseLengthCannotBeFoundIsWrittenWithTheDefaultSizeOrAbandonedAtZero) {
    const TByteVector x3f = testkit::BuildX3fHeader(4000, 3000, 4096);
    const TByteVector endless = BigJpeg(300'000, false); // no end marker before the device's end
    Place(200, x3f);
    Place(1000, endless);
    Open();
    Add(200, "X3F", kUnknownLength, kNoIndex, kMakerSigma);
    Add(1000, "JPG", kUnknownLength, kFormatJpeg);

    engine_->DefaultSize = 3;
    TRecoveryResult r = RecoverAll();
    EXPECT_EQ(r.Recovered, 2);
    const TByteVector written = Written("f0000000200.x3f");
    ASSERT_EQ(written.size(), 3072u);
    EXPECT_EQ(written, Prefix(x3f, 3072));
    EXPECT_EQ(Written("f0000001000.jpg").size(), 3072u);
    EXPECT_EQ(r.Files[0].Source, TLengthSource::DefaultSize);

    fs::remove_all(Out());
    engine_->DefaultSize = 0;
    r = RecoverAll();
    EXPECT_EQ(r.Recovered, 0);
    EXPECT_EQ(r.Abandoned, 2);
    EXPECT_EQ(Listing(), std::vector<std::string>{"recovery-report.csv"});
}

TEST_F(Recovery, TheDeviceEndCutsWhatIsClaimedAndMarksAWalkedFileThatRunsPastItFailed) {
    // A default size and a header's claim are written as far as the device holds them; a
    // length walked from the file's own structure that runs past the device's end means part
    // of the file is lost: what there is comes back, named as failed.
    Place(kImageSectors - 2, testkit::BuildX3fHeader(4000, 3000, 1024));
    Open();
    Add(kImageSectors - 2, "X3F", kUnknownLength, kNoIndex, kMakerSigma);
    Add(kImageSectors - 4, "WAV", 100'000, kFormatWav);
    Add(kImageSectors - 6, "JPG", 100'000, kFormatJpeg);
    const TRecoveryResult r = RecoverAll();
    EXPECT_EQ(r.Recovered, 2);
    EXPECT_EQ(r.Failed, 1);
    EXPECT_EQ(Written("f0000039998.x3f").size(), 1024u);
    EXPECT_EQ(Written("f0000039996.wav").size(), 2048u);
    EXPECT_EQ(Written("f0000039994.jpg").size(), 3072u);
    for (const TRecoveryEntry& e : r.Files) {
        EXPECT_NE(e.Detail.find("cut at the end of the device"), std::string::npos) << e.Detail;
        EXPECT_EQ(e.Status == TRecoveryStatus::Failed, r.FileOf(e).Ext == "JPG") << e.Detail;
    }
}

TEST_F(Recovery, UnreadableSectorsAreZeroFilledAndTheFileIsMarkedDamaged) {
    TByteVector wav = testkit::MakeWave(8000, 1, 8, 4000);
    Place(300, wav);
    Open();
    Add(300, "WAV", static_cast<std::int32_t>(wav.size()), kFormatWav);
    SetReadFault([](std::uint64_t first, std::uint16_t count) { return first <= 303 && 303 < first + count; });
    const TRecoveryResult r = RecoverAll();
    SetReadFault(nullptr);
    EXPECT_EQ(r.Failed, 1);
    std::fill(wav.begin() + 3 * 512, wav.begin() + 4 * 512, 0);
    EXPECT_EQ(Written("f0000000300-damaged.wav"), wav);
    EXPECT_NE(r.Files[0].Detail.find("303"), std::string::npos);
}

// A sector that cannot be read while a file of unknown length is measured, past what the
// measure keeps in memory: the file is still written zero-filled there and named damaged.
TEST_F(Recovery, AnUnreadableSectorPastWhatAMeasureKeepsStillMarksTheFileDamaged) {
    TByteVector jpeg = BigJpeg(3'000'000);
    Place(100, jpeg);
    Open();
    Add(100, "JPG", kUnknownLength, kFormatJpeg);
    const std::uint64_t bad = 100 + 2'500'000 / 512;
    SetReadFault([bad](std::uint64_t first, std::uint16_t count) { return first <= bad && bad < first + count; });
    const TRecoveryResult r = RecoverAll();
    SetReadFault(nullptr);
    EXPECT_EQ(r.Failed, 1);
    EXPECT_EQ(r.Files[0].Length, static_cast<std::int64_t>(jpeg.size()));
    std::fill_n(jpeg.begin() + static_cast<std::ptrdiff_t>((bad - 100) * 512), 512, 0);
    EXPECT_EQ(Written("f0000000100-damaged.jpg"), jpeg);
    EXPECT_NE(r.Files[0].Detail.find(std::to_string(bad)), std::string::npos) << r.Files[0].Detail;
}

// ---- selection, names, report ----------------------------------------------------------------

TEST_F(Recovery, AFileInBothTablesIsChosenByEitherRowAndWrittenOnce) {
    Place(10, TByteVector(700, 0x11));
    Place(20, TByteVector(600, 0x22));
    Open();
    Add(10, "DNG", 700, kFormatDng, kMakerPentax);
    Add(20, "CR2", 600, kNoIndex, kMakerCanon);
    const std::array<bool, kGeneralTypeCount> none{};
    std::array<bool, kGeneralTypeCount> dng{};
    dng[kFormatDng] = true;
    std::array<bool, kMakerTypeCount> pentax{}, noMaker{};
    pentax[kMakerPentax] = true;
    for (const auto& sel : {TRecoverySelection::Types(dng, noMaker), TRecoverySelection::Types(none, pentax),
                            TRecoverySelection::Types(dng, pentax)}) {
        fs::remove_all(Out());
        TRecoveryRequest req;
        req.Destination = Out();
        req.Selection = sel;
        const TRecoveryResult r = Recover(*engine_, req);
        EXPECT_EQ(r.Recovered, 1);
        EXPECT_EQ(Listing(), (std::vector<std::string>{"f0000000010.dng", "recovery-report.csv"}));
    }
    // By records: duplicates and indexes past the list's end are ignored.
    fs::remove_all(Out());
    const TRecoveryResult r = RecoverRecords({1, 1, 7, 0});
    EXPECT_EQ(r.Recovered, 2);
    ASSERT_EQ(r.Files.size(), 2u);
    EXPECT_EQ(r.Files[0].StartSector, 10); // handled front to back on the device
}

TEST_F(Recovery, PhoneAndVideoFilesAreChosenByTheirOwnRowsAndACr3AlsoByCanon) {
    Place(10, TByteVector(700, 0x11));
    Place(20, TByteVector(600, 0x22));
    Place(30, TByteVector(500, 0x33));
    Place(40, TByteVector(400, 0x44));
    Open();
    Add(10, "HEIF", 700).PhoneIndex = kPhoneHeic;
    Add(20, "M4V", 600).PhoneIndex = kPhoneMp4;
    Add(30, "CR3", 500, kNoIndex, kMakerCanon).PhoneIndex = kPhoneCr3;
    Add(40, "JPG", 400, kFormatJpeg);
    const std::array<bool, kGeneralTypeCount> noGeneral{};
    const std::array<bool, kMakerTypeCount> noMaker{};
    std::array<bool, kMakerTypeCount> canon{};
    canon[kMakerCanon] = true;
    std::array<bool, kPhoneTypeCount> heic{}, cr3{}, mp4{};
    heic[kPhoneHeic] = true;
    cr3[kPhoneCr3] = true;
    mp4[kPhoneMp4] = true;
    struct TCase {
        TRecoverySelection Selection;
        std::vector<std::string> Names;
    } cases[] = {
        {TRecoverySelection::Types(noGeneral, noMaker, heic), {"f0000000010.heif"}},
        {TRecoverySelection::Types(noGeneral, noMaker, mp4), {"f0000000020.m4v"}},
        {TRecoverySelection::Types(noGeneral, canon), {"f0000000030.cr3"}},
        {TRecoverySelection::Types(noGeneral, canon, cr3), {"f0000000030.cr3"}},
        {TRecoverySelection::AllTypes(),
         {"f0000000010.heif", "f0000000020.m4v", "f0000000030.cr3", "f0000000040.jpg"}},
    };
    for (TCase& c : cases) {
        fs::remove_all(Out());
        TRecoveryRequest req;
        req.Destination = Out();
        req.Selection = c.Selection;
        const TRecoveryResult r = Recover(*engine_, req);
        c.Names.push_back("recovery-report.csv");
        EXPECT_EQ(Listing(), c.Names);
        EXPECT_EQ(r.Recovered, static_cast<int>(c.Names.size()) - 1);
    }
    EXPECT_EQ(Written("f0000000020.m4v"), TByteVector(600, 0x22));
}

TEST_F(Recovery, NothingInTheDestinationIsOverwritten) {
    Place(100, TByteVector(900, 0x33));
    Open();
    Add(100, "BMP", 900, kFormatBmp);
    ASSERT_TRUE(testkit::WriteFile(Out() + "/f0000000100.bmp", {'k', 'e', 'e', 'p'}));
    ASSERT_TRUE(testkit::WriteFile(Out() + "/recovery-report.csv", {'o', 'l', 'd'}));
    TRecoveryResult r = RecoverAll();
    r = RecoverAll();
    EXPECT_EQ(Written("f0000000100.bmp"), (TByteVector{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(Written("f0000000100-1.bmp"), TByteVector(900, 0x33));
    EXPECT_EQ(Written("f0000000100-2.bmp"), TByteVector(900, 0x33));
    EXPECT_EQ(Written("recovery-report.csv"), (TByteVector{'o', 'l', 'd'}));
    EXPECT_EQ(r.ReportPath, Out() + "/recovery-report-2.csv");
}

TEST_F(Recovery, TheReportListsEveryFileWithQuotedMetadataAndTheFileTakesTheDateTaken) {
    Place(100, TByteVector(900, 0x44));
    Open();
    TFoundFile& f = Add(100, "JPG", 900, kFormatJpeg);
    f.Make = "ACME, \"Optics\"";
    f.Model = "=cmd|x";
    f.DateTaken = "2023:07:14 12:34:56";
    Add(200, "X3F", kUnknownLength, kNoIndex, kMakerSigma);
    engine_->DefaultSize = 0;
    const TRecoveryResult r = RecoverAll();
    const TByteVector csvBytes = testkit::ReadFile(r.ReportPath);
    const std::string csv(csvBytes.begin(), csvBytes.end());
    EXPECT_NE(csv.find("f0000000100.jpg,recovered,,100,JPG,900,,,\"ACME, \"\"Optics\"\"\",'=cmd|x,2023:07:14 12:34:56"),
              std::string::npos)
        << csv;
    EXPECT_NE(csv.find(",abandoned,"), std::string::npos);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3);

    struct stat st {};
    ASSERT_EQ(::stat((Out() + "/f0000000100.jpg").c_str(), &st), 0);
    std::tm tm{};
    tm.tm_year = 123, tm.tm_mon = 6, tm.tm_mday = 14, tm.tm_hour = 12, tm.tm_min = 34, tm.tm_sec = 56;
    tm.tm_isdst = -1;
    EXPECT_EQ(st.st_mtime, std::mktime(&tm));
}

TEST(RecoveryParts, DatesTakenThatAreNotRealDatesGiveNoFileTime) {
    EXPECT_TRUE(ParseDateTaken("2024:02:29 23:59:59").has_value());
    EXPECT_TRUE(ParseDateTaken(std::string("2024:05:17 14:03:22\0\0", 21)).has_value());
    for (const char* bad : {"", "0000:00:00 00:00:00", "2023:02:29 10:00:00", "2024:13:01 10:00:00",
                            "2024:05:17 24:00:00", "2024-05-17 14:03:22", "2024:05:17 14:03:2x", "2024:05:17 14:03:22Z"})
        EXPECT_FALSE(ParseDateTaken(bad).has_value()) << bad;
}

TEST(RecoveryParts, NamesAndCsvFields) {
    EXPECT_EQ(RecoveredFileName(280, "JPG"), "f0000000280.jpg");
    EXPECT_EQ(RecoveredFileName(4294967301LL, "RM", 3), "f4294967301-3.rm");
    EXPECT_EQ(CsvField("plain"), "plain");
    EXPECT_EQ(CsvField("a,b \"c\""), "\"a,b \"\"c\"\"\"");
    // Text from the card: line breaks and escapes shown, formulas inert, UTF-8 kept.
    EXPECT_EQ(CsvField("a\nb"), "a\\x0Ab");
    EXPECT_EQ(CsvField("\x1b]0;title\x07"), "\\x1B]0;title\\x07");
    EXPECT_EQ(CsvField("=HYPERLINK(\"x\")"), "\"'=HYPERLINK(\"\"x\"\")\"");
    EXPECT_EQ(CsvField("-2+3"), "'-2+3");
    EXPECT_EQ(CsvField("Caf\xc3\xa9"), "Caf\xc3\xa9");
    EXPECT_EQ(CsvField("\xff"), "\\xFF");
}

// The windows ask before a second recovery into one folder: what counts as an earlier one's
// files, and a folder that holds one.
TEST(RecoveryParts, AFolderHoldsRecoveredFilesWhenItHoldsANameRecoveryGives) {
    for (const std::string& name : {RecoveredFileName(280, "JPG"), RecoveredFileName(4294967301LL, "RM", 3),
                                    RecoveredFileName(99999999999LL, "CR3"), std::string("recovery-report.csv"),
                                    std::string("recovery-report-12.csv")})
        EXPECT_TRUE(IsRecoveredFileName(name)) << name;
    for (const char* name : {"photo.jpg", "f12345.jpg", "f0000000280", "f0000000280.", "f0000000280.JPG",
                             "f0000000280-.jpg", "f0000000280-x.jpg", "g0000000280.jpg", "recovery-report-.csv",
                             "recovery-report-1.txt", "recovery-report.csv~", ".f0000000280.jpg.part"})
        EXPECT_FALSE(IsRecoveredFileName(name)) << name;

    testkit::TTempDir dir;
    EXPECT_FALSE(HoldsRecoveredFiles(dir / "missing"));
    EXPECT_FALSE(HoldsRecoveredFiles(dir.Path()));
    testkit::WriteFile(dir / "holiday.jpg", {1});
    fs::create_directory(dir / "f0000000001.jpg.d"); // a name with a dot inside is no extension of ours
    EXPECT_FALSE(HoldsRecoveredFiles(dir.Path()));
    testkit::WriteFile(dir / RecoveredFileName(7, "PNG", 1), {1});
    EXPECT_TRUE(HoldsRecoveredFiles(dir.Path()));
}

TEST(RecoveryParts, TheBlockDevicesOfADiskAreItsPartitionsAndWhatIsStackedOnThem) {
    testkit::TTempDir sys;
    const fs::path root = sys.Path();
    auto dev = [](const fs::path& dir, const char* text) {
        fs::create_directories(dir);
        std::ofstream(dir / "dev") << text << "\n";
    };
    dev(root / "devices/sdb", "8:16");
    dev(root / "devices/sdb/sdb1", "8:17");
    std::ofstream(root / "devices/sdb/sdb1/partition") << "1\n";
    dev(root / "devices/sdb/sdb2", "8:18");
    std::ofstream(root / "devices/sdb/sdb2/partition") << "2\n";
    dev(root / "devices/sdb/queue", "0:0"); // a folder that is not a partition
    dev(root / "devices/virtual/dm-0", "254:0");
    dev(root / "devices/virtual/dm-1", "254:1");
    fs::create_directories(root / "devices/sdb/sdb2/holders");
    fs::create_directory_symlink(root / "devices/virtual/dm-0", root / "devices/sdb/sdb2/holders/dm-0");
    fs::create_directories(root / "devices/virtual/dm-0/holders");
    fs::create_directory_symlink(root / "devices/virtual/dm-1", root / "devices/virtual/dm-0/holders/dm-1");
    fs::create_directory_symlink(root / "devices/virtual/dm-0", root / "devices/virtual/dm-1/holders-loop");
    fs::create_directories(root / "dev/block");
    fs::create_directory_symlink(root / "devices/sdb", root / "dev/block/8:16");

    std::vector<dev_t> got = RelatedBlockDevices(root.string(), makedev(8, 16));
    std::sort(got.begin(), got.end());
    std::vector<dev_t> want{makedev(8, 16), makedev(8, 17), makedev(8, 18), makedev(254, 0), makedev(254, 1)};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(got, want);
    EXPECT_EQ(RelatedBlockDevices(root.string(), makedev(8, 32)), std::vector<dev_t>{makedev(8, 32)});
}

} // namespace

// ---- stop, busy, destination -------------------------------------------------------------------

namespace {

bool NoTemporaryFiles(const std::string& folder) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        if (e.path().filename().string().rfind(".lumivore-", 0) == 0)
            return false;
    return true;
}

} // namespace

TEST_F(Recovery, StopEndsTheRunAfterTheCurrentFileAndTheReportSaysWhatWasNotWritten) {
    for (int i = 0; i < 5; ++i)
        Place(100 + 3000 * i, BigJpeg(1'200'000));
    Open();
    for (int i = 0; i < 5; ++i)
        Add(100 + 3000 * i, "JPG", kUnknownLength, kFormatJpeg);
    TPump pump;
    bool busySeen = false;
    pump.OnPump = [&] {
        busySeen = busySeen || engine_->Busy;
        // A scan asked for meanwhile must not start (it would empty the list).
        engine_->Scan(0, 1000, nullptr, nullptr, nullptr);
    };
    engine_->MessagePump = &pump;
    TLabel recovered;
    recovered.OnSet = [&](std::int64_t n) {
        if (n == 2)
            engine_->StopScan();
    };
    TRecoveryRequest req;
    req.Destination = Out();
    req.Selection = TRecoverySelection::AllTypes();
    req.RecoveredLabel = &recovered;
    const TRecoveryResult r = Recover(*engine_, req);
    engine_->MessagePump = nullptr;

    EXPECT_TRUE(busySeen);
    EXPECT_FALSE(engine_->Busy);
    EXPECT_FALSE(engine_->StopRequested);
    EXPECT_EQ(engine_->FoundFiles.size(), 5u);
    EXPECT_TRUE(r.Stopped);
    EXPECT_TRUE(r.Message.empty());
    EXPECT_EQ(r.Recovered, 2);
    EXPECT_EQ(r.NotWritten, 3);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"f0000000100.jpg", "f0000003100.jpg", "recovery-report.csv"}));
    EXPECT_EQ(Written("f0000003100.jpg").size(), BigJpeg(1'200'000).size());
    const TByteVector csv = Written("recovery-report.csv");
    const std::string text(csv.begin(), csv.end());
    EXPECT_NE(text.find(",not written,not written: recovery was stopped,12100,"), std::string::npos) << text;
}

TEST_F(Recovery, ItRefusesToStartWhileBusyOrWithoutADevice) {
    Open();
    Add(10, "BMP", 100, kFormatBmp);
    engine_->Busy = true;
    TRecoveryResult r = RecoverAll();
    EXPECT_FALSE(r.Started);
    EXPECT_FALSE(r.Message.empty());
    EXPECT_FALSE(fs::exists(Out()));
    engine_->Busy = false;
    engine_->Drive.Close();
    r = RecoverAll();
    EXPECT_FALSE(r.Started);
    EXPECT_FALSE(fs::exists(Out()));
}

TEST_F(Recovery, AMissingDestinationIsCreatedAndOneUnderAFileIsRefused) {
    Place(10, TByteVector(100, 1));
    Open();
    Add(10, "BMP", 100, kFormatBmp);
    TRecoveryRequest req;
    req.Selection = TRecoverySelection::AllTypes();
    req.Destination = Out() + "/a/b";
    EXPECT_EQ(Recover(*engine_, req).Recovered, 1);
    EXPECT_TRUE(fs::exists(Out() + "/a/b/f0000000010.bmp"));

    ASSERT_TRUE(testkit::WriteFile(dir_ / "plain", {1}));
    req.Destination = dir_ / "plain/sub";
    const TRecoveryResult r = Recover(*engine_, req);
    EXPECT_FALSE(r.Started);
    EXPECT_NE(r.Message.find("plain/sub"), std::string::npos) << r.Message;
}

TEST_F(Recovery, ADestinationOnTheExaminedDeviceIsRefusedBeforeAnythingIsWritten) {
    Place(10, TByteVector(100, 1));
    Open();
    Add(10, "BMP", 100, kFormatBmp);
    struct stat st {};
    ASSERT_EQ(::stat(dir_.Path().c_str(), &st), 0);
    TRecoveryRequest req;
    req.Selection = TRecoverySelection::AllTypes();
    req.Destination = Out() + "/new";
    // The examined disk is the one the test folder lives on, as one of its partitions.
    req.Probe.ExaminedDevices = [&] { return std::vector<dev_t>{makedev(250, 1), st.st_dev}; };
    const TRecoveryResult r = Recover(*engine_, req);
    EXPECT_FALSE(r.Started);
    EXPECT_NE(r.Message.find("device being examined"), std::string::npos) << r.Message;
    EXPECT_FALSE(fs::exists(Out()));
    std::string message;
    EXPECT_FALSE(CheckRecoveryDestination(*engine_, req, message));

    // The same folder is fine when the examined device is another one.
    req.Probe.ExaminedDevices = [] { return std::vector<dev_t>{makedev(250, 1)}; };
    EXPECT_EQ(Recover(*engine_, req).Recovered, 1);
}

TEST_F(Recovery, ADestinationThatCannotBeWrittenIsRefused) {
    Place(10, TByteVector(100, 1));
    Open();
    Add(10, "BMP", 100, kFormatBmp);
    fs::create_directories(Out());
    fs::permissions(dir_.Path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(Out(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                               fs::perms::others_exec);
    // Run as an ordinary user, whom permission bits stop (root they do not).
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (geteuid() == 0 && setuid(65534) != 0)
            _exit(3);
        TRecoveryRequest req;
        req.Selection = TRecoverySelection::AllTypes();
        req.Destination = Out();
        const TRecoveryResult r = Recover(*engine_, req);
        _exit(!r.Started && r.Message.find("cannot be written") != std::string::npos ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    fs::permissions(Out(), fs::perms::owner_all);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(Listing().empty());
}

TEST_F(Recovery, ADestinationThatRunsFullStopsCleanlyAndKeepsTheWholeFilesWritten) {
    Place(100, TByteVector(300'000, 0x55));
    Place(1000, TByteVector(900'000, 0x66));
    Place(3000, TByteVector(100'000, 0x77));
    Open();
    Add(100, "WAV", 300'000, kFormatWav);
    Add(1000, "WAV", 900'000, kFormatWav);
    Add(3000, "WAV", 100'000, kFormatWav);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Files may grow to 512 KiB: the second one fails with EFBIG, as on a full disk.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{512 * 1024, 512 * 1024};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(3);
        const TRecoveryResult r = RecoverAll();
        const bool ok = r.Started && r.Stopped && r.Recovered == 1 && r.NotWritten == 2 &&
                        r.Message.find("is full") != std::string::npos && !r.ReportPath.empty();
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(Listing(), (std::vector<std::string>{"f0000000100.wav", "recovery-report.csv"}));
    EXPECT_EQ(Written("f0000000100.wav"), TByteVector(300'000, 0x55));
    EXPECT_TRUE(NoTemporaryFiles(Out()));
}

TEST_F(Recovery, OpeningAnotherDeviceDuringRecoveryStopsIt) {
    Place(100, BigJpeg(1'500'000));
    Place(5000, BigJpeg(1'500'000));
    Open();
    Add(100, "JPG", kUnknownLength, kFormatJpeg);
    Add(5000, "JPG", kUnknownLength, kFormatJpeg);
    testkit::TDiskImage other(100);
    ASSERT_TRUE(other.Write(dir_ / "other.img"));
    const std::uint8_t otherCode = TDeviceCatalogue::Instance().RegisterImage(dir_ / "other.img");
    TPump pump;
    pump.OnPump = [&] {
        if (pump.Calls == 3)
            engine_->OpenDrive(otherCode);
    };
    engine_->MessagePump = &pump;
    const TRecoveryResult r = RecoverAll();
    engine_->MessagePump = nullptr;
    EXPECT_TRUE(r.Stopped);
    EXPECT_EQ(r.Recovered, 0);
    EXPECT_EQ(r.NotWritten, 2);
    EXPECT_FALSE(r.Message.empty());
    EXPECT_EQ(Listing(), std::vector<std::string>{"recovery-report.csv"});
}

// ---- where files may go ------------------------------------------------------------------------

TEST_F(Recovery, ADestinationSwappedForASymlinkBetweenFilesCannotRedirectTheRest) {
    for (int i = 0; i < 3; ++i)
        Place(100 + 1000 * i, TByteVector(5000, static_cast<std::uint8_t>(0x10 + i)));
    Open();
    for (int i = 0; i < 3; ++i)
        Add(100 + 1000 * i, "WAV", 5000, kFormatWav);
    fs::create_directory(dir_ / "elsewhere");
    TLabel recovered;
    recovered.OnSet = [&](std::int64_t n) {
        if (n == 1) {
            fs::rename(Out(), dir_ / "moved");
            fs::create_directory_symlink(dir_ / "elsewhere", Out());
        }
    };
    TRecoveryRequest req;
    req.Destination = Out();
    req.Selection = TRecoverySelection::AllTypes();
    req.RecoveredLabel = &recovered;
    const TRecoveryResult r = Recover(*engine_, req);
    EXPECT_EQ(r.Recovered, 3);
    EXPECT_TRUE(fs::is_empty(dir_ / "elsewhere"));
    EXPECT_EQ(testkit::ReadFile(dir_ / "moved/f0000002100.wav"), TByteVector(5000, 0x12));
    EXPECT_TRUE(fs::exists(dir_ / "moved/recovery-report.csv"));
}

TEST_F(Recovery, ADestinationOnABtrfsMountOfTheExaminedDiskIsRefused) {
    Place(10, TByteVector(100, 1));
    Open();
    Add(10, "BMP", 100, kFormatBmp);
    // The destination's file system has an anonymous number; the mount table and sysfs say it
    // spans sda2 and sdb1, and sdb (with its partition sdb1) is the disk being examined.
    const std::string dest = Out() + "/photos";
    std::ofstream(dir_ / "mountinfo") << "30 1 0:45 / " << dir_.Path() << " rw - btrfs /dev/sda2 rw,subvol=/\n";
    for (auto [rel, number] : {std::pair{"sys/class/block/sda2", "8:2"}, {"sys/fs/btrfs/u1/devices/sda2", "8:2"},
                               {"sys/fs/btrfs/u1/devices/sdb1", "8:17"}}) {
        fs::create_directories(dir_ / rel);
        std::ofstream(dir_ / (std::string(rel) + "/dev")) << number << "\n";
    }
    TRecoveryRequest req;
    req.Selection = TRecoverySelection::AllTypes();
    req.Destination = dest;
    req.Probe.Tables = {dir_ / "mountinfo", dir_ / "sys"};
    req.Probe.FileSystemDevice = [](const std::string&) { return std::optional<dev_t>(makedev(0, 45)); };
    req.Probe.ExaminedDevices = [] { return std::vector<dev_t>{makedev(8, 16), makedev(8, 17)}; };
    std::string message;
    EXPECT_FALSE(CheckRecoveryDestination(*engine_, req, message));
    EXPECT_NE(message.find("device being examined (block device 8:17)"), std::string::npos) << message;
    EXPECT_FALSE(Recover(*engine_, req).Started);
    EXPECT_FALSE(fs::exists(Out()));
    // Examining a third disk, the same folder is used.
    req.Probe.ExaminedDevices = [] { return std::vector<dev_t>{makedev(8, 32), makedev(8, 33)}; };
    EXPECT_EQ(Recover(*engine_, req).Recovered, 1);
}
