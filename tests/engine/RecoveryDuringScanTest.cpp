// Recovery in the same pass as the scan: the scan's window of recent sectors, the same files
// and report as recovery after the scan with the device read once, and a stop part-way.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "device/DskLib.h"
#include "engine/Recovery.h"
#include "OnePassResult.h"
#include "engine/ScanEngine.h"
#include "engine/SectorSpill.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> Sectors(std::uint64_t first, std::uint64_t count) {
    std::vector<std::uint8_t> bytes(count * kSectorSize);
    for (std::uint64_t k = 0; k < count; ++k)
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(k * kSectorSize), kSectorSize,
                    static_cast<std::uint8_t>(first + k));
    return bytes;
}

TEST(ScanWindow, HoldsTheLastSectorsAcrossTheRingsWrapAndForgetsOnAGap) {
    TScanWindow window(4);
    std::vector<std::uint8_t> out(4 * kSectorSize);
    EXPECT_FALSE(window.Copy(0, 1, out.data()));
    window.Append(10, Sectors(10, 3).data(), 3);
    ASSERT_TRUE(window.Copy(10, 3, out.data()));
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 3 * kSectorSize), Sectors(10, 3));
    window.Append(13, Sectors(13, 3).data(), 3); // 16 sectors in a ring of 4: 12 to 15 stay
    EXPECT_EQ(window.End(), 16u);
    EXPECT_FALSE(window.Copy(11, 2, out.data()));
    ASSERT_TRUE(window.Copy(12, 4, out.data()));
    EXPECT_EQ(out, Sectors(12, 4));
    EXPECT_FALSE(window.Copy(15, 2, out.data())); // past what was read
    // A block that does not follow (the scan skipped a failing area) starts the window afresh.
    window.Append(100, Sectors(100, 1).data(), 1);
    EXPECT_FALSE(window.Copy(15, 1, out.data()));
    ASSERT_TRUE(window.Copy(100, 1, out.data()));
    EXPECT_EQ(out[0], 100);
}

// What the ring lets go of is handed on, oldest first and with its own bytes, whether pushed
// out by the next block, by a block that does not follow, or by a block longer than the ring;
// kept in the spill, it is read back with what the ring still holds.
TEST(ScanWindow, HandsOnWhatItLetsGoOfAndReadsItBackFromTheSpill) {
    testkit::TTempDir dir;
    const int folder = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    TSectorSpill spill(1u << 20);
    ASSERT_TRUE(spill.Open(folder));
    TScanWindow window(4);
    std::vector<std::uint64_t> evicted;
    window.Evicted = [&](std::uint64_t first, std::uint64_t count, const std::uint8_t* data) {
        for (std::uint64_t k = 0; k < count; ++k) {
            evicted.push_back(first + k);
            EXPECT_EQ(data[k * kSectorSize], static_cast<std::uint8_t>(first + k));
        }
        spill.Keep(first, count, data);
    };
    window.Spill = &spill;
    window.Append(10, Sectors(10, 3).data(), 3);
    window.Append(13, Sectors(13, 3).data(), 3);
    EXPECT_EQ(evicted, (std::vector<std::uint64_t>{10, 11}));
    std::vector<std::uint8_t> out(20 * kSectorSize);
    ASSERT_TRUE(window.Copy(10, 6, out.data())); // two from the spill, four from the ring
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 6 * kSectorSize, Sectors(10, 6).begin()));
    window.Append(16, Sectors(16, 6).data(), 6); // longer than the ring
    EXPECT_EQ(evicted, (std::vector<std::uint64_t>{10, 11, 12, 13, 14, 15, 16, 17}));
    window.Append(40, Sectors(40, 1).data(), 1); // not the next block
    EXPECT_EQ(evicted.size(), 12u);
    EXPECT_EQ(evicted.back(), 21u);
    ASSERT_TRUE(window.Copy(12, 10, out.data()));
    EXPECT_FALSE(window.Copy(21, 20, out.data())); // 22 to 39 were never read
    // The bytes of the ring itself, as a decode reads them without a copy.
    const TBytes held = window.BytesAt(40 * kSectorSize + 7);
    ASSERT_EQ(held.size(), kSectorSize - 7);
    EXPECT_EQ(held[0], 40);
    EXPECT_TRUE(window.BytesAt(39 * kSectorSize).empty());
    ::close(folder);
}

// The spill keeps each sector once, gives back what no file needs, never grows past its limit,
// and leaves no name behind in the destination.
TEST(SectorSpill, KeepsEachSectorOnceWithinItsLimitAndLeavesNothingBehind) {
    testkit::TTempDir dir;
    const int folder = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    TSectorSpill spill(8 * kSectorSize);
    EXPECT_FALSE(spill.Copy(0, 1, nullptr));
    ASSERT_TRUE(spill.Open(folder));
    EXPECT_TRUE(fs::is_empty(dir.Path()));
    ASSERT_TRUE(spill.Keep(100, 4, Sectors(100, 4).data()));
    ASSERT_TRUE(spill.Keep(102, 4, Sectors(102, 4).data())); // 102 and 103 are kept already
    EXPECT_EQ(spill.WrittenBytes(), 6 * kSectorSize);
    std::vector<std::uint8_t> out(6 * kSectorSize);
    ASSERT_TRUE(spill.Copy(100, 6, out.data()));
    EXPECT_EQ(out, Sectors(100, 6));
    EXPECT_FALSE(spill.Copy(99, 2, out.data()));
    EXPECT_FALSE(spill.Keep(200, 3, Sectors(200, 3).data())); // 9 sectors: past the limit
    EXPECT_FALSE(spill.Holds(200));
    // Only runs that a file still needs stay.
    spill.Forget([](std::uint64_t first, std::uint64_t) { return first >= 104; });
    EXPECT_FALSE(spill.Holds(103));
    EXPECT_TRUE(spill.Copy(104, 2, out.data()));
    EXPECT_TRUE(spill.Keep(200, 3, Sectors(200, 3).data())); // room again
    // Stopped when the destination fills: everything is given back, and nothing more kept.
    spill.Stop();
    EXPECT_EQ(spill.HeldBytes(), 0u);
    EXPECT_FALSE(spill.Copy(200, 1, out.data()));
    EXPECT_FALSE(spill.Keep(300, 1, Sectors(300, 1).data()));
    EXPECT_TRUE(fs::is_empty(dir.Path()));
    ::close(folder);
}

class RecoveryDuringScan : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir_ / "settings.xml").c_str(), 1);
        TDeviceCatalogue::Instance().Clear();
        testkit::TSampleCardOptions options;
        options.SizeBytes = 24ull << 20;
        ASSERT_TRUE(testkit::WriteSampleCard(dir_ / "card.img", options, card_));
        engine_ = std::make_unique<TScanEngine>();
        ASSERT_TRUE(engine_->OpenDrive(TDeviceCatalogue::Instance().RegisterImage(dir_ / "card.img")));
        SetReadFault([this](std::uint64_t, std::uint16_t count) {
            sectorsRead_ += count;
            return false;
        });
    }
    void TearDown() override {
        SetReadFault(nullptr);
        engine_.reset();
        TDeviceCatalogue::Instance().Clear();
    }

    static bool AnyType(const TFoundFile& f) {
        return !f.Nested() && (f.FormatIndex < kGeneralTypeCount || f.MakerIndex < kMakerTypeCount);
    }

    TRecoveryResult OnePass(const std::string& to, TMessagePump* pump = nullptr) {
        TRecoveryRequest req;
        req.Destination = to;
        TRecoveryDuringScan session(*engine_, req, &AnyType);
        std::string message;
        EXPECT_TRUE(session.Start(message)) << message;
        engine_->BlockObserver = &session;
        engine_->MessagePump = pump;
        engine_->Scan(0, card_.TotalSectors, nullptr, nullptr, nullptr);
        engine_->BlockObserver = nullptr;
        engine_->MessagePump = nullptr;
        // A pump is given here only to stop the scan part-way.
        return lumivore::testing::Finished(session, pump != nullptr);
    }

    static std::vector<char> Contents(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    // Scans the card again, recovers every file after the scan into "two", and expects the
    // files, their contents and the report of one, the run in the same pass, to be the same.
    void ExpectAsAfterTheScan(const TRecoveryResult& one) {
        engine_->Scan(0, card_.TotalSectors, nullptr, nullptr, nullptr);
        TRecoveryRequest req;
        req.Selection = TRecoverySelection::AllTypes();
        req.Destination = dir_ / "two";
        const TRecoveryResult two = Recover(*engine_, req);
        ASSERT_EQ(one.Files.size(), two.Files.size());
        for (std::size_t i = 0; i < one.Files.size(); ++i) {
            EXPECT_EQ(one.Files[i].Name, two.Files[i].Name);
            EXPECT_EQ(one.Files[i].Status, two.Files[i].Status) << one.Files[i].Name;
            if (!one.Files[i].Name.empty()) {
                EXPECT_EQ(Contents(fs::path(dir_ / "one") / one.Files[i].Name),
                          Contents(fs::path(dir_ / "two") / two.Files[i].Name))
                    << one.Files[i].Name;
            }
        }
        EXPECT_EQ(Contents(one.ReportPath), Contents(two.ReportPath));
    }

    testkit::TTempDir dir_;
    testkit::TSampleCard card_;
    std::unique_ptr<TScanEngine> engine_;
    std::uint64_t sectorsRead_ = 0;
};

TEST_F(RecoveryDuringScan, WritesWhatRecoveryAfterTheScanWritesReadingTheCardOnce) {
    const std::vector<char> cardBefore = Contents(dir_ / "card.img");
    const TRecoveryResult one = OnePass(dir_ / "one");
    const std::uint64_t onePassSectors = sectorsRead_;
    ASSERT_TRUE(one.Started);
    EXPECT_FALSE(one.Stopped) << one.Message;
    ASSERT_GT(one.Recovered, 10);

    // The same card, scanned and then recovered.
    sectorsRead_ = 0;
    ExpectAsAfterTheScan(one);
    // Once through the card, where scanning and recovering after read it about twice.
    EXPECT_LE(onePassSectors, card_.TotalSectors + card_.TotalSectors / 50);
    EXPECT_GT(sectorsRead_, onePassSectors);
    EXPECT_EQ(Contents(dir_ / "card.img"), cardBefore);
}

// A bad sector near the card's start: the scan leaves the blocks after it for the end and
// goes on beyond them, so the files there are found after files that lie further on. Each is
// still written, once, as recovery after the scan writes it.
TEST_F(RecoveryDuringScan, TheFilesOfAnAreaReadAgainAtTheEndAreWrittenAsAfterTheScan) {
    std::uint64_t bad = 0;
    for (const testkit::TCardFile& f : card_.Files)
        if (bad == 0 && f.StartSector > 2048 && f.Size > 4 * kSectorSize)
            bad = f.StartSector + 2;
    ASSERT_NE(bad, 0u);
    SetReadFault([bad](std::uint64_t first, std::uint16_t count) { return first <= bad && bad < first + count; });
    const TRecoveryResult one = OnePass(dir_ / "one");
    ASSERT_TRUE(one.Started);
    // Files were written from the area read again and from beyond it, which the first walk
    // reached before.
    const auto skippedEnd = static_cast<std::int64_t>((bad / kBlockSectors + 1 + kSkipBlocksAfterError) * kBlockSectors);
    bool inArea = false, beyond = false;
    for (const TRecoveryEntry& e : one.Files) {
        inArea = inArea || (e.StartSector > static_cast<std::int64_t>(bad) && e.StartSector < skippedEnd);
        beyond = beyond || e.StartSector >= skippedEnd;
    }
    ASSERT_TRUE(inArea && beyond);
    ExpectAsAfterTheScan(one);
}

TEST_F(RecoveryDuringScan, AStopPartWayKeepsTheWholeFilesWrittenAndLeavesNoOther) {
    struct TStopper : TMessagePump {
        TScanEngine* Engine = nullptr;
        int Calls = 0;
        void ProcessMessages() override {
            if (++Calls == 50)
                Engine->StopScan();
        }
    } stopper;
    stopper.Engine = engine_.get();
    const TRecoveryResult r = OnePass(dir_ / "out", &stopper);
    ASSERT_TRUE(r.Started);
    EXPECT_TRUE(r.Stopped);
    EXPECT_GT(r.Recovered, 0);
    std::size_t written = 0;
    for (const TRecoveryEntry& e : r.Files) {
        // A photo the pass after the scan would have checked for pieces is kept as the scan saw
        // it, and the report says it was not checked.
        const bool unchecked = e.Status == TRecoveryStatus::Failed && e.Detail.find("not checked for pieces") != std::string::npos;
        if (e.Status == TRecoveryStatus::Recovered || unchecked) {
            ++written;
            EXPECT_EQ(fs::file_size(fs::path(dir_ / "out") / e.Name), static_cast<std::uintmax_t>(e.Length));
        } else {
            EXPECT_EQ(e.Status, TRecoveryStatus::NotWritten);
            EXPECT_TRUE(e.Name.empty());
        }
    }
    // The recovered files and the report; nothing half-written beside them.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir_ / "out"))
        ++entries;
    EXPECT_EQ(entries, written + 1);
    EXPECT_FALSE(engine_->Busy);
}

// A small photo lies inside a PNG whose end the scan learns only two blocks later. Nothing in
// the PNG points at it: it is a file of its own, as recovery after the scan takes it, whole.
TEST_F(RecoveryDuringScan, AFileInsideOneStillBeingMeasuredIsAFileOfItsOwn) {
    const testkit::TByteVector png = testkit::TPngBuilder()
                                         .Chunk("IHDR", testkit::TByteVector(13, 0))
                                         .Chunk("IDAT", testkit::TByteVector(1'200'000, 3))
                                         .Chunk("IEND", {})
                                         .Build();
    const testkit::TByteVector jpeg = testkit::TJpegBuilder().Jfif().FakeScan(20'000).Build();
    testkit::TByteVector image(4000 * kSectorSize, 0);
    std::copy(png.begin(), png.end(), image.begin() + 100 * kSectorSize);
    std::copy(jpeg.begin(), jpeg.end(), image.begin() + 300 * kSectorSize);
    ASSERT_TRUE(testkit::WriteFile(dir_ / "nested.img", image));
    ASSERT_TRUE(engine_->OpenDrive(TDeviceCatalogue::Instance().RegisterImage(dir_ / "nested.img")));

    TRecoveryRequest req;
    req.Destination = dir_ / "one";
    TRecoveryDuringScan session(*engine_, req, &AnyType);
    std::string message;
    ASSERT_TRUE(session.Start(message)) << message;
    engine_->BlockObserver = &session;
    engine_->Scan(0, 4000, nullptr, nullptr, nullptr);
    engine_->BlockObserver = nullptr;
    const TRecoveryResult one = lumivore::testing::Finished(session, false);
    ASSERT_EQ(one.Files.size(), 2u);
    EXPECT_EQ(one.Files[0].StartSector, 100);
    EXPECT_EQ(one.Files[0].Length, static_cast<std::int64_t>(png.size()));
    EXPECT_EQ(testkit::ReadFile(fs::path(dir_ / "one") / RecoveredFileName(300, "JPG")), jpeg);
}

} // namespace
