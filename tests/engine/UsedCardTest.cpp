#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <thread>

#include "device/DskLib.h"
#include "engine/Fragments.h"
#include "engine/ScanEngine.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"
#include "testkit/UsedCard.h"

namespace lumivore::testing {
namespace {

using testkit::TByteVector;

// The used card end to end: scan, reassemble, and compare every record the pass touched with
// the manifest.
class UsedCard : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir_ / "settings.xml").c_str(), 1);
        TDeviceCatalogue::Instance().Clear();
        engine_ = std::make_unique<TScanEngine>();
        // The pass is run here by hand, on what the scan alone found.
        engine_->ReassembleAfterScan = false;
    }
    void TearDown() override {
        engine_.reset();
        TDeviceCatalogue::Instance().Clear();
    }
    TFragmentStats Run(const testkit::TUsedCardOptions& options, const TFragmentOptions& pass = {}) {
        testkit::BuildUsedCard(options, card_, image_);
        const std::string path = dir_ / "used.img";
        EXPECT_TRUE(testkit::WriteFile(path, image_));
        EXPECT_TRUE(engine_->OpenDrive(TDeviceCatalogue::Instance().RegisterImage(path)));
        engine_->Scan(0, card_.TotalSectors, nullptr, nullptr, nullptr);
        scanned_ = engine_->FoundFiles;
        return ReassembleFragments(*engine_, pass);
    }
    TByteVector ReadBack(const TFoundFile& f) {
        TPieceReader reader(engine_->Drive, TPieceReader::PiecesOf(f, 0));
        TByteVector out(static_cast<std::size_t>(reader.Size()));
        EXPECT_TRUE(reader.ReadAt(0, out.data(), out.size()));
        return out;
    }

    testkit::TTempDir dir_;
    std::unique_ptr<TScanEngine> engine_;
    testkit::TUsedCard card_;
    TByteVector image_;
    TFoundFileList scanned_;
};

class UsedCardSeeds : public UsedCard, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(UsedCardSeeds, SplitPhotosComeBackWholeAndNothingElseChanges) {
    testkit::TUsedCardOptions options;
    options.SizeBytes = 24ull << 20;
    options.Seed = GetParam();
    const TFragmentStats stats = Run(options);

    std::map<std::uint64_t, const testkit::TUsedFile*> byStart;
    std::size_t split = 0, splitBack = 0;
    for (const testkit::TUsedFile& f : card_.Files)
        if (f.Live)
            byStart[f.Pieces.front().Offset] = &f;
    for (const TFoundFile& f : engine_->FoundFiles) {
        const std::uint64_t at = static_cast<std::uint64_t>(f.StartSector) * 512;
        auto it = byStart.find(at);
        const testkit::TUsedFile* truth = it == byStart.end() ? nullptr : it->second;
        if (f.Reassembled()) {
            // Every reassembled photo is a live photo of the card, byte for byte, piece for piece.
            ASSERT_NE(truth, nullptr) << at;
            const TByteVector back = ReadBack(f);
            EXPECT_EQ(testkit::Fnv1a64(back.data(), back.size()), truth->Hash) << truth->Description;
            ASSERT_EQ(f.Pieces.size(), truth->Pieces.size()) << truth->Description;
            for (std::size_t i = 0; i < f.Pieces.size(); ++i)
                EXPECT_EQ(static_cast<std::uint64_t>(f.Pieces[i].Offset), truth->Pieces[i].Offset);
        }
        if (truth != nullptr && truth->Ext == "JPG" && truth->Pieces.size() >= 2 && truth->Pieces.size() <= 4) {
            ++split;
            splitBack += f.Reassembled();
        }
        // A whole live file is left as the scan found it.
        if (truth != nullptr && truth->Pieces.size() == 1 && f.Nested() == false) {
            for (const TFoundFile& s : scanned_) {
                if (s.StartSector == f.StartSector && !s.Nested()) {
                    EXPECT_EQ(s.Length, f.Length) << truth->Description;
                    EXPECT_TRUE(f.Pieces.empty()) << truth->Description;
                }
            }
        }
    }
    std::printf("split photos %zu, back whole %zu; checked %zu, attempts %llu\n", split, splitBack, stats.Checked,
                static_cast<unsigned long long>(stats.Attempts));
    ASSERT_GE(split, 3u);
    EXPECT_GE(splitBack * 10, split * 7);
}

// The scan samples photos from its own blocks when the card's boot sector gives the cluster
// size, and the pass skips those whose samples all passed. The records must be exactly those
// of the pass run by hand after a scan that sampled nothing, with less read from the card.
// Both passes do all their work themselves: what a second core reads ahead, with a reader of
// its own, depends on the timing of the two.
TEST_P(UsedCardSeeds, SamplingDuringTheScanDecidesAsThePassWould) {
    testkit::TUsedCardOptions options;
    options.SizeBytes = 24ull << 20;
    options.Seed = GetParam();
    TFragmentOptions inTurn;
    inTurn.CheckAhead = false;
    const TFragmentStats byHand = Run(options, inTurn);
    const TFoundFileList expected = engine_->FoundFiles;

    TScanEngine automatic;
    automatic.FragmentOptions.CheckAhead = false;
    ASSERT_TRUE(automatic.OpenDrive(engine_->Drive.DriveCode));
    automatic.Scan(0, card_.TotalSectors, nullptr, nullptr, nullptr);
    ASSERT_EQ(automatic.FoundFiles.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(automatic.FoundFiles[i] == expected[i]) << expected[i].Ext << " at " << expected[i].StartSector;
    EXPECT_EQ(automatic.FragmentStats.Reassembled, byHand.Reassembled);
    EXPECT_LT(automatic.FragmentStats.BytesRead, byHand.BytesRead);
}

INSTANTIATE_TEST_SUITE_P(Cards, UsedCardSeeds, ::testing::Values(1u, 2u, 3u));

// Where a second core checks the photos the searches rely on ahead of them, the records are
// exactly those of the pass that checks each in turn; on this card some photos that looked
// whole are found broken by those checks, and must still be searched.
TEST_F(UsedCard, PhotosCheckedAheadGiveTheSameRecordsAsPhotosCheckedInTurn) {
    if (std::thread::hardware_concurrency() < 2)
        GTEST_SKIP() << "one core: nothing is checked ahead";
    testkit::TUsedCardOptions options;
    options.SizeBytes = 96ull << 20;
    options.Seed = 1;
    const TFragmentStats ahead = Run(options);
    const TFoundFileList expected = engine_->FoundFiles;
    EXPECT_GT(ahead.CheckedAhead, 0u);
    EXPECT_GT(ahead.LookedAhead, 0u);

    engine_->FoundFiles = scanned_;
    TFragmentOptions inTurn;
    inTurn.CheckAhead = false;
    const TFragmentStats serial = ReassembleFragments(*engine_, inTurn);
    EXPECT_EQ(serial.CheckedAhead + serial.LookedAhead, 0u);
    EXPECT_EQ(serial.Checked, ahead.Checked);
    EXPECT_EQ(serial.Reassembled, ahead.Reassembled);
    ASSERT_EQ(engine_->FoundFiles.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_TRUE(engine_->FoundFiles[i] == expected[i]) << expected[i].Ext << " at " << expected[i].StartSector;
}

// The sample card holds no split file: the pass must leave every record exactly as the scan
// made it.
TEST_F(UsedCard, OnTheSampleCardNothingChanges) {
    testkit::TSampleCard sample;
    testkit::TSampleCardOptions options;
    options.SizeBytes = 48ull << 20;
    const std::string path = dir_ / "sample.img";
    ASSERT_TRUE(testkit::WriteSampleCard(path, options, sample));
    ASSERT_TRUE(engine_->OpenDrive(TDeviceCatalogue::Instance().RegisterImage(path)));
    engine_->Scan(0, sample.TotalSectors, nullptr, nullptr, nullptr);
    const TFoundFileList scanned = engine_->FoundFiles;
    const TFragmentStats stats = ReassembleFragments(*engine_);
    EXPECT_EQ(stats.Reassembled, 0u);
    EXPECT_EQ(stats.Incomplete, 0u);
    // A preview appended after a photo and found as a file of its own is the photo's, not a
    // stranger in a gap: no photo of the card needs decoding to tell.
    EXPECT_EQ(stats.Checked, 0u);
    ASSERT_EQ(engine_->FoundFiles.size(), scanned.size());
    for (std::size_t i = 0; i < scanned.size(); ++i)
        EXPECT_TRUE(engine_->FoundFiles[i] == scanned[i]) << scanned[i].Ext << " at " << scanned[i].StartSector;
    std::printf("sample card: %zu photos decoded, %zu whole, %zu not followed, pass read %llu bytes\n", stats.Checked,
                stats.Contiguous, stats.Unsupported, static_cast<unsigned long long>(stats.BytesRead));

    // Run as part of the scan, the pass finds the same and reads little of a card with no split
    // photo: the samples were taken from the scan's own blocks.
    TScanEngine automatic;
    ASSERT_TRUE(automatic.OpenDrive(engine_->Drive.DriveCode));
    automatic.Scan(0, sample.TotalSectors, nullptr, nullptr, nullptr);
    ASSERT_EQ(automatic.FoundFiles.size(), scanned.size());
    for (std::size_t i = 0; i < scanned.size(); ++i)
        EXPECT_TRUE(automatic.FoundFiles[i] == scanned[i]) << scanned[i].Ext << " at " << scanned[i].StartSector;
    EXPECT_EQ(automatic.FragmentStats.Checked, 0u);
    EXPECT_LT(automatic.FragmentStats.BytesRead * 50, options.SizeBytes) << "at most 2% of the card";
    EXPECT_LT(automatic.FragmentStats.BytesRead, stats.BytesRead);
}

} // namespace
} // namespace lumivore::testing
