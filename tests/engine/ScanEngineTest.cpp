#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <stdexcept>
#include <vector>

#include "device/DskLib.h"
#include "engine/FileTypes.h"
#include "device/ReadAhead.h"
#include "engine/ScanEngine.h"
#include "engine/ScanRange.h"
#include "support/Settings.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TempFiles.h"
#include "testkit/TiffBuilder.h"

using namespace lumivore;
using lumivore::testkit::TByteVector;
using lumivore::testkit::TTempDir;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;

namespace {

// Fake recognisers: a sector that starts with "HIT!" is a file; "BAD!" makes the first one throw.
int offeredToSecond = 0;
bool AcceptHit(TBytes data, TFoundFile& rec) {
    if (data.size() >= 4 && std::memcmp(data.data(), "BAD!", 4) == 0)
        throw std::runtime_error("malformed");
    if (data.size() >= 4 && std::memcmp(data.data(), "HIT!", 4) == 0) {
        rec.Ext = "JPG";
        rec.FormatIndex = kFormatJpeg;
        rec.MakerIndex = kNoIndex;
        rec.Length = static_cast<std::int32_t>(data.size());
        return true;
    }
    return false;
}
bool CountOffers(TBytes, TFoundFile&) {
    ++offeredToSecond;
    return false;
}
const TRecogniserEntry kFakeRecognisers[] = {{"hit", &AcceptHit, false}, {"count", &CountOffers, true}};

struct TRecorder : TCounterLabel {
    std::vector<std::int64_t> values;
    void SetCount(std::int64_t v) override { values.push_back(v); }
};
struct TBarRecorder : TProgressBar {
    std::vector<int> positions;
    void SetPosition(int p) override { positions.push_back(p); }
};
struct TPump : TMessagePump {
    std::function<void(int)> onPump;
    int calls = 0;
    void ProcessMessages() override {
        if (onPump)
            onPump(calls);
        ++calls;
    }
};

class ScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir / "settings.xml").c_str(), 1);
        TDeviceCatalogue::Instance().Clear();
        engine = std::make_unique<TScanEngine>();
        engine->SetRecognisers(kFakeRecognisers);
        // The fake recognisers' records are no photos: the reads counted are the scan's own.
        engine->ReassembleAfterScan = false;
        engine->ProgressBar = &bar;
        engine->MessagePump = &pump;
        offeredToSecond = 0;
        SetReadFault([this](std::uint64_t first, std::uint16_t count) {
            reads.push_back(first);
            counts.push_back(count);
            if (failReadAt.count(first) > 0)
                return true;
            // A bad sector fails every read that covers it, as a whole request fails on a disk.
            const auto bad = badSectors.lower_bound(first);
            return bad != badSectors.end() && *bad < std::uint64_t{first} + count;
        });
    }
    void TearDown() override {
        SetReadFault(nullptr);
        TDeviceCatalogue::Instance().Clear();
    }
    // An image of the given size with "HIT!" (or another tag) at the given sectors.
    void OpenImage(std::size_t sectors, const std::vector<std::pair<std::size_t, const char*>>& tags = {}) {
        std::vector<std::uint8_t> bytes(sectors * 512, 0);
        for (const auto& [s, tag] : tags)
            std::memcpy(bytes.data() + s * 512, tag, 4);
        const std::string path = dir / "card.img";
        testkit::WriteFile(path, bytes);
        const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(path);
        ASSERT_TRUE(engine->OpenDrive(code));
        ASSERT_EQ(engine->Drive.Info.TotalSectors, static_cast<std::int64_t>(sectors));
        reads.clear(); // the open read the boot sector
        counts.clear();
    }
    std::vector<std::int64_t> Starts() const {
        std::vector<std::int64_t> s;
        for (const auto& f : engine->FoundFiles)
            s.push_back(f.StartSector);
        return s;
    }

    TTempDir dir;
    std::unique_ptr<TScanEngine> engine;
    TBarRecorder bar;
    TPump pump;
    TRecorder found, sectors, errors;
    std::vector<std::uint64_t> reads;
    std::vector<std::uint16_t> counts;
    std::set<std::uint64_t> failReadAt;
    std::set<std::uint64_t> badSectors;
};

} // namespace

TEST_F(ScanTest, BlocksAreWholeThousandsAndTheSectorCounterAdvancesByBlocks) {
    OpenImage(5500);
    engine->Scan(0, 1, &found, &sectors, &errors);
    EXPECT_THAT(reads, ElementsAre(0u));
    EXPECT_THAT(counts, ElementsAre(1000));
    EXPECT_THAT(sectors.values, ElementsAre(1000));

    reads.clear();
    sectors.values.clear();
    engine->Scan(0, 2048, &found, &sectors, &errors);
    EXPECT_THAT(reads, UnorderedElementsAre(0u, 1000u, 2000u));
    EXPECT_THAT(sectors.values, ElementsAre(1000, 2000, 3000));

    // The last block asks for a whole block and the drive clips it at the device's end.
    reads.clear();
    counts.clear();
    sectors.values.clear();
    engine->Scan(4000, 1500, &found, &sectors, &errors);
    EXPECT_THAT(reads, UnorderedElementsAre(4000u, 5000u));
    EXPECT_THAT(counts, UnorderedElementsAre(1000, 500));
    // The counter stops at the device's end, where the drive clipped the last block.
    EXPECT_THAT(sectors.values, ElementsAre(1000, 1500));
    EXPECT_TRUE(errors.values.empty());
}

TEST_F(ScanTest, ProgressMovesInStepsAndReturnsToZero) {
    OpenImage(10000);
    engine->Scan(0, 10000, nullptr, nullptr, nullptr);
    EXPECT_THAT(bar.positions, ElementsAre(0, 0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 0));
    // Three steps: 100 x 1 / 3 = 33.3 and 100 x 2 / 3 = 66.7; eight: 12.5 and 37.5 round to even.
    bar.positions.clear();
    engine->Scan(0, 3000, nullptr, nullptr, nullptr);
    EXPECT_THAT(bar.positions, ElementsAre(0, 0, 33, 67, 0));
    bar.positions.clear();
    engine->Scan(0, 8000, nullptr, nullptr, nullptr);
    EXPECT_THAT(bar.positions, ElementsAre(0, 0, 12, 25, 38, 50, 62, 75, 88, 0));
}

TEST_F(ScanTest, AFailedBlockIsSkippedFirstAndReadAgainSectorBySectorAtTheEnd) {
    OpenImage(40000, {{5, "HIT!"}, {999, "HIT!"}, {1000, "HIT!"}, {30999, "HIT!"}, {31000, "HIT!"}, {39000, "HIT!"}});
    failReadAt.insert(0);
    engine->Scan(0, 40000, &found, &sectors, &errors);
    // First pass: block 0 fails, the next 30 are left alone; then 31000 single-sector reads.
    // The first pass's later blocks are read ahead, two at a time from an image.
    ASSERT_EQ(reads.size(), 10u + 31000u);
    std::vector<std::uint64_t> firstPass(reads.begin(), reads.begin() + 10);
    std::sort(firstPass.begin(), firstPass.end());
    EXPECT_THAT(firstPass, ElementsAre(0u, 31000u, 32000u, 33000u, 34000u, 35000u, 36000u, 37000u, 38000u, 39000u));
    EXPECT_EQ(reads[10], 0u);
    EXPECT_EQ(reads.back(), 30999u);
    EXPECT_EQ(counts.back(), 1);
    // Only sector 0 is lost; the files in the skipped blocks are found, in device order, with
    // the lengths the first pass would have measured.
    EXPECT_THAT(Starts(), ElementsAre(5, 999, 1000, 30999, 31000, 39000));
    EXPECT_EQ(engine->FoundFiles[0].Length, (1000 - 5) * 512);
    EXPECT_EQ(engine->FoundFiles[2].Length, 1000 * 512);
    // 999 lies inside the file at 5, whose length runs to the block's end, but nothing in
    // that file points at it: it is a file of its own.
    EXPECT_EQ(engine->FoundFiles[1].NestedIn, -1);
    EXPECT_EQ(GeneralCounts[kFormatJpeg], 6);
    EXPECT_THAT(errors.values, ElementsAre(1));
    EXPECT_EQ(engine->UnreadableSectors, 1);
    EXPECT_EQ(found.values.back(), 6);
    // The sector counter never goes back and ends at the whole range.
    EXPECT_TRUE(std::is_sorted(sectors.values.begin(), sectors.values.end()));
    EXPECT_EQ(sectors.values.back(), 40000);
    EXPECT_TRUE(std::is_sorted(bar.positions.begin(), bar.positions.end() - 1));
    EXPECT_EQ(bar.positions.back(), 0);
}

// The error counter moves as the first pass meets each failing area, not only when the areas are
// read again at the end; that second pass confirms each failure or takes it back.
TEST_F(ScanTest, TheErrorCounterMovesAsTheFirstPassMeetsAFailingArea) {
    OpenImage(80000);
    badSectors = {3000, 50500};
    struct TWhen : TCounterLabel {
        std::function<void(std::int64_t)> on;
        void SetCount(std::int64_t v) override { on(v); }
    } when;
    std::vector<std::pair<std::int64_t, bool>> shown; // value, and whether the second pass had begun
    when.on = [&](std::int64_t v) {
        shown.push_back({v, std::find(counts.begin(), counts.end(), 1) != counts.end()});
    };
    engine->Scan(0, 80000, nullptr, nullptr, &when);
    // 1 at the block that fails at 3000, 2 at the block read that fails for 50500; both
    // confirmed afterwards, so nothing more is shown.
    EXPECT_THAT(shown, ElementsAre(std::pair<std::int64_t, bool>{1, false}, std::pair<std::int64_t, bool>{2, false}));
    EXPECT_EQ(engine->UnreadableSectors, 2);

    // A sector that fails only in a whole block's read reads alone: the count goes back.
    badSectors.clear();
    SetReadFault([this](std::uint64_t first, std::uint16_t count) {
        counts.push_back(count);
        return count > 1 && first <= 3000 && 3000 < first + count;
    });
    shown.clear();
    counts.clear();
    engine->Scan(0, 80000, nullptr, nullptr, &when);
    EXPECT_THAT(shown, ElementsAre(std::pair<std::int64_t, bool>{1, false}, std::pair<std::int64_t, bool>{0, true}));
    EXPECT_EQ(engine->UnreadableSectors, 0);

    // Stopped before the second pass: the failure met stays shown; none is confirmed.
    shown.clear();
    counts.clear();
    pump.onPump = [this, first = pump.calls](int call) {
        if (call == first + 10)
            engine->StopScan();
    };
    engine->Scan(0, 80000, nullptr, nullptr, &when);
    EXPECT_THAT(shown, ElementsAre(std::pair<std::int64_t, bool>{1, false}));
    EXPECT_EQ(engine->UnreadableSectors, 0);
    pump.onPump = nullptr;
}

// One bad sector costs that sector: at a block's start or inside a block, every other file is
// found and exactly one sector is counted.
TEST_F(ScanTest, OneBadSectorLosesNoOtherFileAndCountsOneError) {
    std::vector<std::pair<std::size_t, const char*>> tags;
    for (std::size_t s = 7; s < 40000; s += 613)
        if (s != 3000 && s != 5500)
            tags.push_back({s, "HIT!"});
    tags.push_back({2999, "HIT!"});
    tags.push_back({3001, "HIT!"});
    tags.push_back({5501, "HIT!"});
    OpenImage(40000, tags);
    std::vector<std::int64_t> all;
    engine->Scan(0, 40000, nullptr, nullptr, nullptr);
    ASSERT_EQ(engine->UnreadableSectors, 0);
    all = Starts();
    ASSERT_EQ(all.size(), tags.size());

    for (const std::set<std::uint64_t>& bad :
         {std::set<std::uint64_t>{3000}, std::set<std::uint64_t>{5500}, std::set<std::uint64_t>{3000, 5500}}) {
        badSectors = bad;
        errors.values.clear();
        engine->Scan(0, 40000, nullptr, nullptr, &errors);
        EXPECT_EQ(Starts(), all) << *bad.begin();
        EXPECT_EQ(engine->UnreadableSectors, static_cast<std::int64_t>(bad.size())) << *bad.begin();
        ASSERT_FALSE(errors.values.empty());
        EXPECT_EQ(errors.values.back(), static_cast<std::int64_t>(bad.size()));
    }
    // A file that runs into the bad sector is measured as far as the data read allows.
    badSectors = {5500};
    engine->Scan(0, 40000, nullptr, nullptr, nullptr);
    for (const TFoundFile& f : engine->FoundFiles)
        if (f.StartSector == 5501) {
            EXPECT_EQ(f.Length, (6000 - 5501) * 512);
        }
}

TEST_F(ScanTest, StopEndsTheSecondPassAtOnce) {
    OpenImage(40000, {{20000, "HIT!"}});
    failReadAt.insert(0);
    pump.onPump = [this](int call) {
        if (call == 45) // the first pass pumps once for each of its 40 blocks
            engine->StopScan();
    };
    engine->Scan(0, 40000, &found, &sectors, &errors);
    EXPECT_LT(reads.size(), 20u);
    EXPECT_TRUE(engine->FoundFiles.empty());
    EXPECT_FALSE(engine->Busy);
    EXPECT_FALSE(engine->StopRequested);
    EXPECT_EQ(bar.positions.back(), 0);
}

// A card whose size is no whole number of blocks, with a failed block: the sector counter
// still ends at the card's size after the sector-by-sector pass, not at the last block's end.
TEST_F(ScanTest, AfterAFailedBlockTheSectorCounterEndsAtTheCardsEnd) {
    OpenImage(40500, {{1000, "HIT!"}});
    failReadAt.insert(2000);
    engine->Scan(0, 40500, &found, &sectors, &errors);
    EXPECT_EQ(engine->UnreadableSectors, 1);
    ASSERT_FALSE(sectors.values.empty());
    EXPECT_TRUE(std::is_sorted(sectors.values.begin(), sectors.values.end()));
    EXPECT_EQ(sectors.values.back(), 40500);
}

TEST_F(ScanTest, EverySectorIsExaminedAndFilesInsideFilesAreFound) {
    OpenImage(7000, {{5007, "HIT!"}, {5010, "HIT!"}, {999, "HIT!"}, {6999, "HIT!"}});
    engine->Scan(0, 7000, &found, nullptr, nullptr);
    EXPECT_THAT(Starts(), ElementsAre(999, 5007, 5010, 6999));
    // The data handed over runs to the end of the block read.
    EXPECT_EQ(engine->FoundFiles[1].Length, (1000 - 7) * 512);
    EXPECT_EQ(engine->FoundFiles[3].Length, 512);
    EXPECT_EQ(found.values.back(), 4);
    // 5010 lies inside 5007's extent, and nothing in 5007 names it: every record is listed
    // and counted.
    EXPECT_EQ(engine->FoundFiles[2].NestedIn, -1);
    EXPECT_EQ(GeneralCounts[kFormatJpeg], 4);
}

TEST_F(ScanTest, StopFromThePumpEndsTheScanBeforeTheNextReadAndStillCounts) {
    std::vector<std::pair<std::size_t, const char*>> tags;
    for (std::size_t b = 0; b < 10; ++b)
        tags.push_back({b * 1000 + 3, "HIT!"});
    OpenImage(10000, tags);
    pump.onPump = [this](int call) {
        if (call == 4)
            engine->StopScan();
    };
    engine->Scan(0, 10000, &found, &sectors, &errors);
    // Blocks 0 to 3 were examined. The blocks after them may have been read ahead, but no
    // more than the read-ahead holds, and none was examined.
    std::sort(reads.begin(), reads.end());
    ASSERT_GE(reads.size(), 4u);
    EXPECT_THAT(std::vector<std::uint64_t>(reads.begin(), reads.begin() + 4), ElementsAre(0u, 1000u, 2000u, 3000u));
    EXPECT_LE(reads.size(), 4u + TReadAhead::kAhead);
    EXPECT_EQ(engine->FoundFiles.size(), 4u);
    EXPECT_EQ(GeneralCounts[kFormatJpeg], 4);
    EXPECT_EQ(bar.positions.back(), 0);
    EXPECT_FALSE(engine->Busy);
    EXPECT_FALSE(engine->StopRequested);
}

TEST_F(ScanTest, AnErrorInsideOneSectorAbandonsOnlyThatSector) {
    OpenImage(1000, {{2, "BAD!"}, {3, "HIT!"}});
    engine->Scan(0, 1000, nullptr, nullptr, nullptr);
    EXPECT_THAT(Starts(), ElementsAre(3));
    // Offered to the second recogniser: every sector but the thrower's and the hit.
    EXPECT_EQ(offeredToSecond, 998);
}

TEST_F(ScanTest, ASecondScanWhileBusyReturnsAtOnce) {
    OpenImage(3000, {{10, "HIT!"}, {2500, "HIT!"}});
    pump.onPump = [this](int call) {
        if (call == 2) {
            EXPECT_TRUE(engine->Busy);
            engine->Scan(0, 3000, nullptr, nullptr, nullptr); // must not clear or rescan
            EXPECT_EQ(engine->FoundFiles.size(), 1u);
        }
    };
    engine->Scan(0, 3000, nullptr, nullptr, nullptr);
    EXPECT_THAT(Starts(), ElementsAre(10, 2500));
    EXPECT_EQ(reads.size(), 3u);
}

TEST_F(ScanTest, AClosedDriveCountsEverySectorAsUnreadable) {
    engine->OpenDrive(77);
    engine->Scan(0, 62000, &found, &sectors, &errors);
    ASSERT_FALSE(errors.values.empty());
    EXPECT_EQ(errors.values.back(), 62000);
    EXPECT_TRUE(engine->FoundFiles.empty());
}

TEST(EngineRecords, AddFoundFileKeepsA64BitStartAndACopy) {
    auto engine = std::make_unique<TScanEngine>();
    TFoundFile rec;
    rec.Ext = "CR2";
    rec.Make = "Canon";
    engine->AddFoundFile(rec, (std::int64_t{1} << 32) + 5);
    rec.Make = "changed";
    ASSERT_EQ(engine->FoundFiles.size(), 1u);
    EXPECT_EQ(engine->FoundFiles[0].StartSector, (std::int64_t{1} << 32) + 5);
    EXPECT_EQ(rec.StartSector, (std::int64_t{1} << 32) + 5);
    EXPECT_EQ(engine->FoundFiles[0].Make, "Canon");
    EXPECT_FALSE(engine->OpenDrive(99));
    EXPECT_TRUE(engine->FoundFiles.empty()) << "opening a device empties the list, also when it fails";
}

TEST(FileTypes, CountByTypeCountsBothTablesAndTheRowsKeepTheirTexts) {
    TFoundFileList files(3);
    files[0].FormatIndex = 1, files[0].MakerIndex = kNoIndex;
    files[1].FormatIndex = 4, files[1].MakerIndex = 7;
    files[2].FormatIndex = kNoIndex, files[2].MakerIndex = 0;
    CountByType(files);
    EXPECT_THAT(GeneralCounts, ElementsAre(0, 1, 0, 0, 1, 0, 0, 0, 0, 0));
    EXPECT_THAT(MakerCounts, ElementsAre(1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0));
    files.push_back(files[0]);
    files[3].FormatIndex = 200; // no such row: ignored, never written past the table
    CountByType(files);
    EXPECT_EQ(GeneralCounts[1], 1);
    CountByType({});
    EXPECT_THAT(MakerCounts, ::testing::Each(0));

    EXPECT_EQ(MakerTypes()[2].Name, "Leica DC RAW ");
    EXPECT_EQ(MakerTypes()[6].Name, "Panasonic DC RAW ");
    EXPECT_EQ(MakerTypes()[11].Name, "Minolta DC RAW ");
    EXPECT_EQ(GeneralTypes()[9].Name, "CoralDraw CDR");
    EXPECT_EQ(MakerTypes()[12].MakerCaption, "FUJI");
}

TEST(EngineSettings, DefaultSizeFallsBackTo1024UnlessAValidIntegerIsStored) {
    TTempDir dir;
    const std::string path = dir / "conf/Lumivore.xml";
    setenv("LUMIVORE_CONFIG", path.c_str(), 1);
    EXPECT_EQ(TScanEngine().DefaultSize, 1024) << "no settings file";
    EXPECT_FALSE(std::ifstream(path).good()) << "reading the settings creates nothing";

    TSettingsStore store(path);
    for (auto [stored, expected] : std::vector<std::pair<std::int32_t, std::int32_t>>{
             {0, 0}, {102400, 102400}, {500, 500}, {102401, 1024}, {-1, 1024}}) {
        ASSERT_TRUE(store.WriteInteger("DefaultSize", stored));
        EXPECT_EQ(TScanEngine().DefaultSize, expected) << stored;
    }
    std::ofstream(path) << "<settings><value name=\"DefaultSize\" type=\"string\">12</value></settings>";
    EXPECT_EQ(TScanEngine().DefaultSize, 1024) << "a value of another type";
    std::ofstream(path) << "<settings><value name=\"DefaultSize\" type=\"integer\">12abc</value></settings>";
    EXPECT_EQ(TScanEngine().DefaultSize, 1024);
    std::ofstream(path) << "not xml at all <<<";
    EXPECT_EQ(TScanEngine().DefaultSize, 1024);
    std::ofstream(path, std::ios::trunc).flush();
    EXPECT_EQ(TScanEngine().DefaultSize, 1024) << "an empty file";
    ASSERT_TRUE(store.WriteInteger("DefaultSize", 64)) << "the next write repairs the file";
    ASSERT_TRUE(store.WriteInteger("FilesOnce", 3));
    EXPECT_EQ(TScanEngine().DefaultSize, 64);
    EXPECT_EQ(store.ReadInteger("FilesOnce"), 3);
    EXPECT_EQ(store.ReadInteger("Missing"), std::nullopt);
}

TEST(ScanRange, MegabytesBecomeSectorsCutAtTheDevicesEnd) {
    TScanRange r;
    EXPECT_EQ(DeviceMegabytes(4097), 3);
    EXPECT_EQ(ValidateRange(10000, 0, 3, r), TRangeResult::Ok);
    EXPECT_EQ(r.Start, 0u);
    EXPECT_EQ(r.Length, 6144u);
    EXPECT_EQ(ValidateRange(10000, 5, 1, r), TRangeResult::Ok) << "start above end is swapped";
    EXPECT_EQ(r.Start, 2048u);
    EXPECT_EQ(r.Length, 10000u - 2048u) << "cut at the device's end";
    EXPECT_EQ(ValidateRange(10000, 5, 9, r), TRangeResult::BeyondDevice);
    EXPECT_EQ(ValidateRange(10000, 2, 2, r), TRangeResult::Ok);
    EXPECT_EQ(r.Length, 0u);
    EXPECT_EQ(ValidateRange(10000, std::nullopt, std::nullopt, r), TRangeResult::Ok);
    EXPECT_EQ(r.Length, 0u);
    EXPECT_EQ(ValidateRange(10000, -1, 3, r), TRangeResult::OutOfRange);
    EXPECT_EQ(ValidateRange(10000, 3, -1, r), TRangeResult::OutOfRange);
    // Any figure past the device, however large, means its end; it is never wrapped.
    for (const std::int64_t end : {std::int64_t{1048576}, std::int64_t{1} << 40, INT64_MAX}) {
        EXPECT_EQ(ValidateRange(10000, 0, end, r), TRangeResult::Ok) << end;
        EXPECT_EQ(r.Start, 0u);
        EXPECT_EQ(r.Length, 10000u);
    }
    EXPECT_EQ(ValidateRange(10000, INT64_MAX, INT64_MAX, r), TRangeResult::BeyondDevice);
}

// ---- files measured across blocks, with the real recognisers --------------------------------

namespace {

TByteVector Filler(std::size_t n, std::uint8_t seed) {
    TByteVector v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>((i * 131 + seed) % 251); // never 0xFF
    return v;
}

TByteVector BigJpeg(std::size_t entropyBytes) { return testkit::TJpegBuilder().Jfif().FakeScan(entropyBytes).Build(); }

// A raw whose directories lie in three blocks: the first at its start, a sub-directory after a
// preview strip, and the chained thumbnail directory after the raw strips.
TByteVector SpreadRaw() {
    testkit::TTiffBuilder b;
    const auto ifd0 = b.AddDirectory();
    b.Ascii(ifd0, 0x010F, "NIKON CORPORATION");
    const auto preview = b.AddData(Filler(600'000, 1));
    b.Strips(ifd0, {preview});
    const auto sub = b.AddDirectory();
    b.SubDirectory(ifd0, sub); // the EXIF directory, past the preview
    const auto raw1 = b.AddData(Filler(400'000, 2));
    const auto raw2 = b.AddData(Filler(300'001, 3));
    b.Strips(sub, {raw1, raw2});
    const auto ifd1 = b.AddDirectory();
    b.Chain(ifd0, ifd1);
    b.JpegThumbnail(ifd1, BigJpeg(5000));
    return b.Build();
}

class ScanMeasureTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir / "settings.xml").c_str(), 1);
        TDeviceCatalogue::Instance().Clear();
        engine = std::make_unique<TScanEngine>();
        engine->MessagePump = &pump;
        SetReadFault([this](std::uint64_t first, std::uint16_t count) {
            const auto bad = badSectors.lower_bound(first);
            return bad != badSectors.end() && *bad < std::uint64_t{first} + count;
        });
    }
    void TearDown() override {
        SetReadFault(nullptr);
        TDeviceCatalogue::Instance().Clear();
    }
    void Place(std::size_t sector, const TByteVector& bytes) {
        if (image.size() < sector * 512 + bytes.size())
            image.resize(sector * 512 + bytes.size());
        std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(sector * 512));
    }
    void Scan(std::size_t sectors) {
        image.resize(sectors * 512);
        const std::string path = dir / "card.img";
        ASSERT_TRUE(testkit::WriteFile(path, image));
        const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(path);
        ASSERT_TRUE(engine->OpenDrive(code));
        engine->Scan(0, sectors, nullptr, nullptr, nullptr);
        EXPECT_EQ(engine->OpenMeasures(), 0u) << "nothing stays open after a scan";
    }
    std::int64_t LengthAt(std::int64_t sector) const {
        for (const TFoundFile& f : engine->FoundFiles)
            if (f.StartSector == sector)
                return f.Length;
        return -2;
    }

    TTempDir dir;
    std::unique_ptr<TScanEngine> engine;
    TPump pump;
    std::set<std::uint64_t> badSectors;
    TByteVector image;
};

} // namespace

TEST_F(ScanMeasureTest, AJpegAPngAndARawSpanningThreeBlocksAreMeasuredExactly) {
    const TByteVector jpeg = BigJpeg(1'200'000);
    const TByteVector png = testkit::TPngBuilder()
                                .Chunk("IHDR", Filler(13, 0))
                                .Chunk("IDAT", Filler(500'000, 4))
                                .Chunk("IDAT", Filler(500'000, 5))
                                .Chunk("IEND", {})
                                .Build();
    const TByteVector raw = SpreadRaw();
    Place(500, jpeg);
    Place(3200, png);
    Place(6700, raw);
    Scan(12000);
    EXPECT_EQ(LengthAt(500), static_cast<std::int64_t>(jpeg.size()));
    EXPECT_EQ(LengthAt(3200), static_cast<std::int64_t>(png.size()));
    EXPECT_EQ(LengthAt(6700), static_cast<std::int64_t>(raw.size()));
}

TEST_F(ScanMeasureTest, AFileStartingInTheLastSectorOfABlockIsMeasuredOverTheNext) {
    // The PNG's second chunk header straddles the block's end.
    const TByteVector png = testkit::TPngBuilder()
                                .Chunk("IHDR", Filler(13, 0))
                                .Chunk("tEXt", Filler(463, 1))
                                .Chunk("IDAT", Filler(300'000, 2))
                                .Chunk("IEND", {})
                                .Build();
    const TByteVector jpeg = BigJpeg(600'000);
    Place(999, jpeg);
    Place(2999, png);
    Scan(5000);
    EXPECT_EQ(LengthAt(999), static_cast<std::int64_t>(jpeg.size()));
    EXPECT_EQ(LengthAt(2999), static_cast<std::int64_t>(png.size()));
}

TEST_F(ScanMeasureTest, TwoFilesOpenAtOnceOneInsideTheOther) {
    // A JPEG that lies inside the pixel data of a PNG, both running past the first block.
    const TByteVector png = testkit::TPngBuilder()
                                .Chunk("IHDR", Filler(13, 0))
                                .Chunk("IDAT", Filler(1'200'000, 3))
                                .Chunk("IEND", {})
                                .Build();
    const TByteVector jpeg = BigJpeg(700'000);
    Place(100, png);
    Place(300, jpeg);
    std::vector<std::size_t> open;
    pump.onPump = [&](int) { open.push_back(engine->OpenMeasures()); };
    Scan(4000);
    EXPECT_EQ(open.at(1), 2u) << "both files are open after the first block";
    EXPECT_EQ(LengthAt(100), static_cast<std::int64_t>(png.size()));
    EXPECT_EQ(LengthAt(300), static_cast<std::int64_t>(jpeg.size()));
    ASSERT_EQ(engine->FoundFiles.size(), 2u);
    // The PNG's chunks do not name it: lying in its extent, the photo is a file of its own.
    EXPECT_EQ(engine->FoundFiles[1].NestedIn, -1);
}

TEST_F(ScanMeasureTest, BrokenStructureGivesUpAndHoldsNoState) {
    // The segment after five large APP segments has lost its marker, in the second block.
    testkit::TJpegBuilder builder;
    builder.Jfif();
    for (int k = 0; k < 5; ++k)
        builder.Segment(0xE1, Filler(60'000, 9));
    TByteVector jpeg = builder.FakeScan(10'000).Build();
    jpeg[2 + 18 + 5 * 60'004] = 0x00;
    Place(500, jpeg);
    const TByteVector good = BigJpeg(200'000);
    Place(3500, good);
    std::vector<std::size_t> open;
    pump.onPump = [&](int) { open.push_back(engine->OpenMeasures()); };
    Scan(5000);
    EXPECT_EQ(open.at(1), 1u);
    EXPECT_EQ(open.at(2), 0u) << "the broken file is let go in the block that broke it";
    EXPECT_EQ(LengthAt(500), kUnknownLength);
    EXPECT_EQ(LengthAt(3500), static_cast<std::int64_t>(good.size()));
}

TEST_F(ScanMeasureTest, AStopInTheMiddleLeavesTheOpenFileUnknownAndTheNextScanWhole) {
    const TByteVector jpeg = BigJpeg(1'500'000);
    Place(10, jpeg);
    pump.onPump = [&](int call) {
        if (call == 2)
            engine->StopScan();
    };
    Scan(6000);
    ASSERT_EQ(engine->FoundFiles.size(), 1u);
    EXPECT_EQ(LengthAt(10), kUnknownLength);

    pump.onPump = nullptr;
    engine->Scan(0, 6000, nullptr, nullptr, nullptr);
    EXPECT_EQ(LengthAt(10), static_cast<std::int64_t>(jpeg.size()));
}

// A bad sector inside a file leaves it unknown; a file that ends before the bad sector is still
// measured when the failing block is read again sector by sector.
TEST_F(ScanMeasureTest, AnUnreadableSectorIsNeverMeasuredOver) {
    const TByteVector across = BigJpeg(700'000);   // sectors 500 to about 1870
    const TByteVector after = BigJpeg(300'000);    // found in the second pass, ends past it
    const TByteVector later = BigJpeg(600'000);    // in a block after the skipped ones
    Place(500, across);
    Place(1960, after);
    Place(40'100, later);
    badSectors = {1950};
    Scan(45'000);
    EXPECT_EQ(engine->UnreadableSectors, 1);
    EXPECT_EQ(LengthAt(500), static_cast<std::int64_t>(across.size()));
    EXPECT_EQ(LengthAt(1960), static_cast<std::int64_t>(after.size()));
    EXPECT_EQ(LengthAt(40'100), static_cast<std::int64_t>(later.size()));

    badSectors = {1200};
    Scan(45'000);
    EXPECT_EQ(LengthAt(500), kUnknownLength) << "its bytes past the bad sector were never seen";
    EXPECT_EQ(LengthAt(1960), static_cast<std::int64_t>(after.size()));
    EXPECT_EQ(LengthAt(40'100), static_cast<std::int64_t>(later.size()));
}
