// Recovery of photos that a used card split into pieces: after the scan and in the same pass
// as it, byte-identical with what was written to the card, the other files unchanged, the
// card read about once, and photos whose rest was lost written as found and named incomplete.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "device/DskLib.h"
#include "engine/Recovery.h"
#include "OnePassResult.h"
#include "engine/ScanEngine.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"
#include "testkit/UsedCard.h"

namespace lumivore::testing {
namespace {

namespace fs = std::filesystem;
using testkit::TByteVector;

std::string ReadText(const std::string& path) {
    const TByteVector bytes = testkit::ReadFile(path);
    return {bytes.begin(), bytes.end()};
}

class PiecesRecovery : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir_ / "settings.xml").c_str(), 1);
        TDeviceCatalogue::Instance().Clear();
        engine_ = std::make_unique<TScanEngine>();
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
    void Open(const std::string& path) {
        ASSERT_TRUE(engine_->OpenDrive(TDeviceCatalogue::Instance().RegisterImage(path)));
    }

    static bool AnyType(const TFoundFile& f) {
        return !f.Nested() && (f.FormatIndex < kGeneralTypeCount || f.MakerIndex < kMakerTypeCount);
    }
    TRecoveryResult OnePass(const std::string& to, std::uint64_t sectors) {
        TRecoveryRequest req;
        req.Destination = to;
        TRecoveryDuringScan session(*engine_, req, &AnyType);
        std::string message;
        EXPECT_TRUE(session.Start(message)) << message;
        engine_->BlockObserver = &session;
        engine_->Scan(0, sectors, nullptr, nullptr, nullptr);
        engine_->BlockObserver = nullptr;
        return Finished(session, false);
    }
    TRecoveryResult TwoSteps(const std::string& to, std::uint64_t sectors) {
        engine_->Scan(0, sectors, nullptr, nullptr, nullptr);
        TRecoveryRequest req;
        req.Selection = TRecoverySelection::AllTypes();
        req.Destination = to;
        return Recover(*engine_, req);
    }

    testkit::TTempDir dir_;
    std::unique_ptr<TScanEngine> engine_;
    std::uint64_t sectorsRead_ = 0;
};

// The used card, recovered both ways: every photo the pass put back together is written
// byte-identical with the photo the card was given, every whole file as it lay, both runs
// write the same files and report, and recovery during the scan reads the card about once.
TEST_F(PiecesRecovery, AUsedCardInOnePassAndInTwoStepsGivesTheCardsOwnFiles) {
    testkit::TUsedCardOptions options;
    options.SizeBytes = 32ull << 20;
    options.Seed = 2;
    testkit::TUsedCard card;
    const std::string image = dir_ / "used.img";
    ASSERT_TRUE(testkit::WriteUsedCard(image, options, card));
    Open(image);

    const TRecoveryResult one = OnePass(dir_ / "one", card.TotalSectors);
    const std::uint64_t onePassSectors = sectorsRead_;
    ASSERT_TRUE(one.Started);
    ASSERT_FALSE(one.Stopped) << one.Message;
    const TRecoveryResult two = TwoSteps(dir_ / "two", card.TotalSectors);
    ASSERT_FALSE(two.Stopped) << two.Message;

    ASSERT_EQ(one.Files.size(), two.Files.size());
    for (std::size_t i = 0; i < one.Files.size(); ++i) {
        ASSERT_EQ(one.Files[i].Name, two.Files[i].Name);
        EXPECT_EQ(one.Files[i].Status, two.Files[i].Status) << one.Files[i].Name;
        EXPECT_EQ(one.Files[i].StartSector, two.Files[i].StartSector) << one.Files[i].Name;
        EXPECT_TRUE(testkit::ReadFile(dir_ / "one" + "/" + one.Files[i].Name) ==
                    testkit::ReadFile(dir_ / "two" + "/" + two.Files[i].Name))
            << one.Files[i].Name;
    }
    EXPECT_EQ(ReadText(one.ReportPath), ReadText(two.ReportPath));

    std::map<std::int64_t, const testkit::TUsedFile*> live;
    for (const testkit::TUsedFile& f : card.Files)
        if (f.Live)
            live[static_cast<std::int64_t>(f.Pieces.front().Offset / 512)] = &f;
    std::size_t reassembled = 0, whole = 0;
    const std::string report = ReadText(two.ReportPath);
    for (const TRecoveryEntry& e : two.Files) {
        const auto it = live.find(e.StartSector);
        if (it == live.end() || e.Status != TRecoveryStatus::Recovered)
            continue;
        const testkit::TUsedFile& truth = *it->second;
        const TByteVector written = testkit::ReadFile(dir_ / "two" + "/" + e.Name);
        if (two.FileOf(e).Reassembled()) {
            ++reassembled;
            EXPECT_EQ(testkit::Fnv1a64(written.data(), written.size()), truth.Hash) << truth.Description;
            EXPECT_EQ(e.Detail, "reassembled from " + std::to_string(truth.Pieces.size()) + " pieces");
            // The report row names its pieces on the device.
            std::string pieces;
            for (const testkit::TCardPiece& p : truth.Pieces)
                pieces += (pieces.empty() ? "" : " ") + std::to_string(p.Offset) + "+" + std::to_string(p.Length);
            EXPECT_NE(report.find("," + pieces + ",,,,,,,\n"), std::string::npos) << pieces;
        } else if (truth.Pieces.size() == 1 && truth.Ext == "JPG") {
            // A whole photo comes back exactly as before the pass existed.
            ++whole;
            EXPECT_TRUE(two.FileOf(e).Pieces.empty()) << truth.Description;
            EXPECT_EQ(testkit::Fnv1a64(written.data(), written.size()), truth.Hash) << truth.Description;
        }
    }
    EXPECT_GE(reassembled, 3u);
    EXPECT_GE(whole, 10u);
    // Once through the card: what the pass and the photos it held back read again stays small.
    const double ratio = static_cast<double>(onePassSectors) / static_cast<double>(card.TotalSectors);
    std::printf("one pass read %.3f of the used card; %zu photos reassembled\n", ratio, reassembled);
    EXPECT_LE(ratio, 1.05);
}

// A photo whose rest was overwritten: written as it lies from its first piece (as the scan
// measured it), and the report names it incomplete with the piece that decodes.
TEST_F(PiecesRecovery, AnIncompletePhotoIsWrittenAsFoundAndNamedIncomplete) {
    testkit::TClusterCard card(24000, 8);
    card.Noise(0, card.Clusters(), 5);
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 14);
    const std::uint64_t n = (photo.size() + card.ClusterBytes() - 1) / card.ClusterBytes();
    const TByteVector half(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(n / 2 * card.ClusterBytes()));
    card.Split(half, {{10, n / 2}});
    const std::string image = dir_ / "card.img";
    ASSERT_TRUE(card.Write(image));
    Open(image);

    const TRecoveryResult r = TwoSteps(dir_ / "out", 24000);
    const TRecoveryEntry* entry = nullptr;
    for (const TRecoveryEntry& e : r.Files)
        if (static_cast<std::uint64_t>(e.StartSector) * 512 == card.ClusterOffset(10))
            entry = &e;
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(r.FileOf(*entry).Incomplete);
    EXPECT_EQ(entry->Detail.rfind("incomplete: ", 0), 0u) << entry->Detail;
    const TByteVector written = testkit::ReadFile(dir_ / "out" + "/" + entry->Name);
    ASSERT_GE(written.size(), half.size());
    EXPECT_TRUE(std::equal(half.begin(), half.end(), written.begin())) << "its first piece comes first";
    const std::string row = std::to_string(card.ClusterOffset(10)) + "+" + std::to_string(half.size()) + ",incomplete,,,,,,\n";
    EXPECT_NE(ReadText(r.ReportPath).find(row), std::string::npos) << ReadText(r.ReportPath);

    // The same in one pass.
    const TRecoveryResult one = OnePass(dir_ / "one", 24000);
    ASSERT_EQ(one.Files.size(), r.Files.size());
    EXPECT_EQ(ReadText(one.ReportPath), ReadText(r.ReportPath));
}

// The card split a photo inside the preview the camera appended after its main image, and a
// small photo lies in the gap: the main image decodes whole as it lies, so only the preview
// tells the photo is in pieces. Written in one pass and in two steps, it comes back as the
// camera wrote it, and not as it lay (the preview's end lost for the gap's bytes).
TEST_F(PiecesRecovery, APhotoSplitInsideItsAppendedPreviewComesBackWhole) {
    testkit::TClusterCard card(24000, 8);
    card.Noise(0, card.Clusters(), 6);
    const TByteVector preview = testkit::GrainyPhoto(200, 150, 16);
    const TByteVector photo = testkit::JpegWithPreview(testkit::GrainyPhoto(320, 240, 15), preview);
    const TByteVector small = testkit::GrainyPhoto(64, 48, 17);
    const std::uint64_t c = card.ClusterBytes();
    const std::uint64_t n = (photo.size() + c - 1) / c, s = (small.size() + c - 1) / c;
    // The break: two clusters into the preview.
    const std::uint64_t k = (photo.size() - preview.size()) / c + 2;
    ASSERT_LT(k + 1, n);
    card.Split(small, {{10 + k, s}});
    const auto pieces = card.Split(photo, {{10, k}, {10 + k + s + 1, n}});
    const std::string image = dir_ / "card.img";
    ASSERT_TRUE(card.Write(image));
    Open(image);

    const auto writtenAt = [&](const TRecoveryResult& r, const std::string& to) {
        for (const TRecoveryEntry& e : r.Files)
            if (static_cast<std::uint64_t>(e.StartSector) * 512 == pieces.front().Offset)
                return testkit::ReadFile(to + "/" + e.Name);
        return TByteVector{};
    };
    const TRecoveryResult two = TwoSteps(dir_ / "two", 24000);
    const TFoundFile* f = nullptr;
    for (const TFoundFile& found : engine_->FoundFiles)
        if (static_cast<std::uint64_t>(found.StartSector) * 512 == pieces.front().Offset)
            f = &found;
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(f->Pieces.size(), 2u);
    EXPECT_EQ(static_cast<std::uint64_t>(f->Pieces[1].Offset), pieces[1].Offset);
    EXPECT_TRUE(writtenAt(two, dir_ / "two") == photo);

    const TRecoveryResult one = OnePass(dir_ / "one", 24000);
    EXPECT_TRUE(writtenAt(one, dir_ / "one") == photo);
    EXPECT_EQ(ReadText(one.ReportPath), ReadText(two.ReportPath));
}

// A stop during the scan leaves the pass out: nothing changes from what the scan saw.
TEST_F(PiecesRecovery, AScanThatWasStoppedIsNotReassembled) {
    testkit::TClusterCard card(24000, 8);
    card.Noise(0, card.Clusters(), 6);
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 3);
    const std::uint64_t n = (photo.size() + card.ClusterBytes() - 1) / card.ClusterBytes();
    card.Split(photo, {{10, n / 2}, {10 + n / 2 + 5, n}});
    const std::string image = dir_ / "card.img";
    ASSERT_TRUE(card.Write(image));
    Open(image);
    engine_->Scan(0, 24000, nullptr, nullptr, nullptr);
    EXPECT_EQ(engine_->FragmentStats.Reassembled, 1u);

    struct TStopAtEnd : TMessagePump {
        TScanEngine* Engine = nullptr;
        int Calls = 0;
        void ProcessMessages() override {
            if (++Calls == 24)
                Engine->StopScan(); // at the scan's last block
        }
    } stopper;
    stopper.Engine = engine_.get();
    engine_->MessagePump = &stopper;
    engine_->Scan(0, 24000, nullptr, nullptr, nullptr);
    engine_->MessagePump = nullptr;
    EXPECT_EQ(engine_->FragmentStats.Checked, 0u);
    for (const TFoundFile& f : engine_->FoundFiles)
        EXPECT_TRUE(f.Pieces.empty());
}

// Recovery in the same pass as the scan: a photo whose samples passed is written while the
// scan streams past it, but the pass after the scan may still find it in pieces. Until then no
// file stands under its final name that the pass might show to be wrong (a kill mid-run leaves
// none); once the pass has left it as it was, it gets its name. A run stopped before the pass
// keeps what the scan saw and says it was not checked.
TEST_F(PiecesRecovery, APhotoThePassMayStillChangeHasNoFinalNameUntilThePassDecides) {
    testkit::TClusterCard card(24000, 8);
    card.Noise(0, card.Clusters(), 7);
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 9);
    card.Split(photo, {{10, 1000}});
    const std::string image = dir_ / "card.img";
    ASSERT_TRUE(card.Write(image));
    Open(image);
    const std::int64_t sector = static_cast<std::int64_t>(card.ClusterOffset(10) / 512);
    const std::string name = RecoveredFileName(sector, "JPG");
    for (const bool stop : {false, true}) {
        const std::string to = dir_ / (stop ? "stopped" : "whole");
        TRecoveryRequest req;
        req.Destination = to;
        TRecoveryDuringScan session(*engine_, req, &AnyType);
        std::string message;
        ASSERT_TRUE(session.Start(message)) << message;
        engine_->BlockObserver = &session;
        engine_->Scan(0, 24000, nullptr, nullptr, nullptr);
        engine_->BlockObserver = nullptr;
        // What a kill here would leave: the photo's bytes under a temporary name only.
        EXPECT_FALSE(fs::exists(fs::path(to) / name));
        std::size_t temporaries = 0;
        for (const auto& entry : fs::directory_iterator(to))
            temporaries += entry.path().extension() == ".partial" ? 1 : 0;
        EXPECT_EQ(temporaries, 1u);
        const TRecoveryResult r = Finished(session, stop);
        ASSERT_EQ(r.Files.size(), 1u);
        EXPECT_EQ(r.Files[0].Name, name);
        EXPECT_EQ(testkit::ReadFile(fs::path(to) / name), photo);
        if (stop) {
            EXPECT_EQ(r.Files[0].Status, TRecoveryStatus::Failed);
            EXPECT_NE(r.Files[0].Detail.find("not checked for pieces"), std::string::npos) << r.Files[0].Detail;
        } else {
            EXPECT_EQ(r.Files[0].Status, TRecoveryStatus::Recovered) << r.Files[0].Detail;
        }
        for (const auto& entry : fs::directory_iterator(to))
            EXPECT_NE(entry.path().extension(), ".partial");
    }
}

} // namespace
} // namespace lumivore::testing
