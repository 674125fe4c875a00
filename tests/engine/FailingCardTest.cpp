// A dying card: every reader of the device (the scan and its sector-by-sector pass, the pieces
// pass, recovery during the scan and after it, thumbnails and previews) asks for a bad sector at
// most twice in one run, and a new scan tries it again.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>

#include "device/DskLib.h"
#include "engine/Recovery.h"
#include "OnePassResult.h"
#include "engine/ScanEngine.h"
#include "preview/Bitmap.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"

using namespace lumivore;

namespace {

// How the drive behaves at a bad sector.
enum class TFailure {
    Whole, // a read that covers it fails outright, as a whole request fails on many disks
    Short  // a read stops just before it and one that starts on it fails, as a reader's does
};

class FailingCard : public ::testing::TestWithParam<TFailure> {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir_ / "settings.xml").c_str(), 1);
        TDeviceCatalogue::Instance().Clear();
        testkit::TSampleCardOptions options;
        options.SizeBytes = 16ull << 20;
        ASSERT_TRUE(testkit::WriteSampleCard(dir_ / "card.img", options, card_));
        // One bad sector in the middle of a small photo, of a photo larger than a scan block
        // (the card's first two), of a TIFF and of a PNG.
        auto middleOf = [this](const std::string& ext, int nth) {
            for (const testkit::TCardFile& f : card_.Files)
                if (f.Ext == ext && nth-- == 0)
                    return f.StartSector + f.Size / 512 / 2;
            return std::uint64_t{0};
        };
        bad_ = {middleOf("JPG", 0), middleOf("JPG", 1), middleOf("TIF", 0), middleOf("PNG", 0)};
        ASSERT_EQ(bad_.size(), 4u);
        ASSERT_EQ(bad_.count(0), 0u);
        engine_ = std::make_unique<TScanEngine>();
        ASSERT_TRUE(engine_->OpenDrive(TDeviceCatalogue::Instance().RegisterImage(dir_ / "card.img")));
        // Every attempt that reaches a bad sector counts as asking for it.
        if (GetParam() == TFailure::Whole) {
            SetReadFault([this](std::uint64_t first, std::uint16_t count) {
                bool fails = false;
                for (auto it = bad_.lower_bound(first); it != bad_.end() && *it < first + count; ++it) {
                    ++asked_[*it];
                    fails = true;
                }
                return fails;
            });
        } else {
            SetReadStop([this](std::uint64_t first, std::uint16_t count) {
                const auto it = bad_.lower_bound(first);
                if (it == bad_.end() || *it >= first + count)
                    return count;
                ++asked_[*it];
                return static_cast<std::uint16_t>(*it - first);
            });
        }
    }
    void TearDown() override {
        SetReadFault(nullptr);
        SetReadStop(nullptr);
        engine_.reset();
        TDeviceCatalogue::Instance().Clear();
    }

    void ExpectEachAskedAtMostTwice(const char* after) {
        for (std::uint64_t sector : bad_)
            EXPECT_LE(asked_[sector], 2) << "sector " << sector << " after " << after;
    }

    testkit::TTempDir dir_;
    testkit::TSampleCard card_;
    std::set<std::uint64_t> bad_;
    std::map<std::uint64_t, int> asked_;
    std::unique_ptr<TScanEngine> engine_;
};

} // namespace

TEST_P(FailingCard, EveryReaderAsksForABadSectorAtMostTwiceInARun) {
    // Recovery as the scan passes, with the pieces pass after it.
    TRecoveryRequest request;
    request.Destination = dir_ / "one";
    TRecoveryDuringScan session(*engine_, request, [](const TFoundFile& f) { return !f.Nested(); });
    std::string message;
    ASSERT_TRUE(session.Start(message)) << message;
    engine_->BlockObserver = &session;
    engine_->Scan(0, card_.TotalSectors, nullptr, nullptr, nullptr);
    engine_->BlockObserver = nullptr;
    const TRecoveryResult one = lumivore::testing::Finished(session, false);
    ASSERT_TRUE(one.Started);
    EXPECT_EQ(engine_->UnreadableSectors, static_cast<std::int64_t>(bad_.size()));
    for (std::uint64_t sector : bad_)
        EXPECT_GT(asked_[sector], 0) << "the scan met sector " << sector;
    ExpectEachAskedAtMostTwice("the scan and recovery during it");

    // Then everything else that reads found files: recovery after the scan, thumbnails and
    // the previews, each of every file.
    request.Destination = dir_ / "two";
    request.Selection = TRecoverySelection::AllTypes();
    const TRecoveryResult two = Recover(*engine_, request);
    EXPECT_GT(two.Recovered, 5);
    // Recovery as the scan passed wrote the same files, as long, as recovery after the scan.
    const auto written = [](const TRecoveryResult& r) {
        std::map<std::int64_t, std::uint64_t> bytes;
        for (const TRecoveryEntry& e : r.Files)
            if (e.Status == TRecoveryStatus::Recovered)
                bytes[e.StartSector] = e.BytesWritten;
        return bytes;
    };
    EXPECT_EQ(written(one), written(two));
    for (TFoundFile& f : engine_->FoundFiles) {
        engine_->MakeThumbnail(f);
        TBitmap preview;
        engine_->LoadPreview(f, preview);
    }
    ExpectEachAskedAtMostTwice("recovery, thumbnails and previews");
    for (std::uint64_t sector : bad_)
        EXPECT_TRUE(engine_->Drive.KnownBad(sector)) << sector;

    // A new scan gives each sector one more chance, and no more.
    asked_.clear();
    engine_->Scan(0, card_.TotalSectors, nullptr, nullptr, nullptr);
    EXPECT_EQ(engine_->UnreadableSectors, static_cast<std::int64_t>(bad_.size()));
    ExpectEachAskedAtMostTwice("a second scan");
    for (std::uint64_t sector : bad_)
        EXPECT_GT(asked_[sector], 0) << sector;
}

INSTANTIATE_TEST_SUITE_P(Failures, FailingCard, ::testing::Values(TFailure::Whole, TFailure::Short),
                         [](const ::testing::TestParamInfo<TFailure>& info) {
                             return info.param == TFailure::Whole ? std::string("WholeRequestFails")
                                                                  : std::string("ReadStopsShort");
                         });
