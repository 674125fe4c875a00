// Files longer than 50 MiB: a raw of a high-resolution camera and a long OpenDML video, laid
// out sparsely in disk images, found with their whole length, streamed to the destination
// byte-exact, stopped or refused cleanly when the destination fills.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "device/DskLib.h"
#include "engine/FileTypes.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "preview/Bitmap.h"
#include "support/MemoryStream.h"
#include "testkit/LargeFiles.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
using testkit::TByteVector;
using testkit::TPlacedBytes;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
constexpr std::int64_t kRawSector = 4096;             // 2 MiB into the image
constexpr std::uint64_t kRawLength = 120'000'000;     // a 100-megapixel camera's raw
constexpr std::uint64_t kRawImageBytes = 130 * kMiB;

struct TPump : TMessagePump {
    std::function<void()> OnPump;
    int Calls = 0;
    void ProcessMessages() override {
        ++Calls;
        if (OnPump)
            OnPump();
    }
};

struct TBar : TProgressBar {
    std::vector<int> Positions;
    void SetPosition(int p) override { Positions.push_back(p); }
};

class LargeFiles : public ::testing::Test {
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

    // Creates the sparse image and opens it; skips the test where the file system cannot.
    bool OpenImage(std::uint64_t size, const std::vector<TPlacedBytes>& pieces) {
        image_ = dir_ / "card.img";
        if (!testkit::CreateSparseFile(image_, size, pieces))
            return false;
        const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(image_);
        return code != 0 && engine_->OpenDrive(code);
    }

    void ScanAll() { engine_->Scan(0, static_cast<std::uint64_t>(engine_->Drive.Info.TotalSectors), nullptr, nullptr, nullptr); }

    const TFoundFile* FoundAt(std::int64_t sector) const {
        for (const TFoundFile& f : engine_->FoundFiles)
            if (f.StartSector == sector)
                return &f;
        return nullptr;
    }

    // A 120 MB raw with its preview and marks at the strip's start, middle and last bytes.
    std::vector<TPlacedBytes> MarkedRaw() const {
        const std::uint64_t base = kRawSector * kSectorSize;
        std::vector<TPlacedBytes> pieces =
            testkit::PlacedAt(base, testkit::LargeTiffRaw(kRawLength, "NIKON CORPORATION", Preview()));
        pieces.push_back({base + kMiB, TByteVector(4096, 0xA5)});
        pieces.push_back({base + 60'000'017, TByteVector(700'000, 0x3C)});
        pieces.push_back({base + kRawLength - 7, {'T', 'H', 'E', '-', 'E', 'N', 'D'}});
        pieces.push_back({base + kRawLength, TByteVector(512, 0xEE)}); // not the raw's any more
        return pieces;
    }
    static TByteVector Preview() { return testkit::EncodeJpeg(testkit::TRgbImage::Pattern(160, 120)); }

    TRecoveryResult RecoverAll(TProgressBar* bar = nullptr) {
        TRecoveryRequest req;
        req.Selection = TRecoverySelection::AllTypes();
        req.Destination = Out();
        req.Progress = bar;
        return Recover(*engine_, req);
    }
    std::string Out() const { return dir_ / "out"; }

    // Names in the destination that are neither the report nor hidden.
    std::vector<std::string> RecoveredNames() const {
        std::vector<std::string> names;
        if (!fs::exists(Out()))
            return names;
        for (const auto& e : fs::directory_iterator(Out())) {
            const std::string name = e.path().filename().string();
            if (name.rfind("recovery-report", 0) != 0)
                names.push_back(name);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // Whether the file at path holds the bytes of the image from offset on, compared a
    // megabyte at a time.
    bool SameAsImage(const std::string& path, std::uint64_t offset, std::uint64_t length) const {
        std::ifstream a(path, std::ios::binary), b(image_, std::ios::binary);
        b.seekg(static_cast<std::streamoff>(offset));
        std::vector<char> x(kMiB), y(kMiB);
        for (std::uint64_t done = 0; done < length;) {
            const auto n = static_cast<std::streamsize>(std::min<std::uint64_t>(kMiB, length - done));
            if (!a.read(x.data(), n) || !b.read(y.data(), n) || !std::equal(x.begin(), x.begin() + n, y.begin()))
                return false;
            done += static_cast<std::uint64_t>(n);
        }
        return a.peek() == std::char_traits<char>::eof();
    }

    testkit::TTempDir dir_;
    std::string image_;
    std::unique_ptr<TScanEngine> engine_;
};

TEST_F(LargeFiles, ARawOf120MbIsFoundWithItsLengthAndRecoveredByteIdentical) {
    if (!OpenImage(kRawImageBytes, MarkedRaw()))
        GTEST_SKIP() << "this file system cannot hold a sparse image";
    ScanAll();
    const TFoundFile* raw = FoundAt(kRawSector);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->Ext, "NEF");
    EXPECT_EQ(raw->Length, static_cast<std::int64_t>(kRawLength));
    EXPECT_EQ(raw->ThumbKind, kThumbJpeg);

    TBar bar;
    const TRecoveryResult r = RecoverAll(&bar);
    ASSERT_TRUE(r.Started) << r.Message;
    const auto entry = std::find_if(r.Files.begin(), r.Files.end(),
                                    [](const TRecoveryEntry& e) { return e.StartSector == kRawSector; });
    ASSERT_NE(entry, r.Files.end());
    EXPECT_EQ(entry->Status, TRecoveryStatus::Recovered) << entry->Detail;
    EXPECT_EQ(entry->BytesWritten, kRawLength);
    EXPECT_TRUE(SameAsImage(Out() + "/" + entry->Name, kRawSector * kSectorSize, kRawLength));
    // The bar moved while the one long file was written, not only when it was done.
    const auto within = std::count_if(bar.Positions.begin(), bar.Positions.end(), [](int p) { return p > 0 && p < 100; });
    EXPECT_GE(within, 5);
    EXPECT_TRUE(std::is_sorted(bar.Positions.begin(), bar.Positions.end()));
}

TEST_F(LargeFiles, ARawWhoseDirectoryTheScanCouldNotSeeIsMeasuredAtRecoveryFromItsHead) {
    // The raw starts on the last sector of a scan block and its directory lies further in than
    // the sectors the scan shows a sector there: the scan knows only its header. Recovery reads
    // the head, walks it and streams the rest.
    constexpr std::int64_t kSector = 999;
    const std::uint64_t base = kSector * kSectorSize;
    constexpr std::uint32_t kDirectoryAt = (kSeamSectors + 100) * kSectorSize;
    std::vector<TPlacedBytes> pieces =
        testkit::PlacedAt(base, testkit::LargeTiffRaw(kRawLength, "NIKON", Preview(), 1 << 20, kDirectoryAt));
    pieces.push_back({base + kRawLength - 3, {'E', 'N', 'D'}});
    if (!OpenImage(kRawImageBytes, pieces))
        GTEST_SKIP() << "this file system cannot hold a sparse image";
    ScanAll();
    const TFoundFile* raw = FoundAt(kSector);
    ASSERT_NE(raw, nullptr);
    ASSERT_EQ(raw->Length, kUnknownLength);
    engine_->DefaultSize = 0; // a length that is not measured would abandon the file
    const TRecoveryResult r = RecoverAll();
    const auto entry = std::find_if(r.Files.begin(), r.Files.end(),
                                    [](const TRecoveryEntry& e) { return e.StartSector == kSector; });
    ASSERT_NE(entry, r.Files.end());
    EXPECT_EQ(entry->Status, TRecoveryStatus::Recovered) << entry->Detail;
    EXPECT_EQ(entry->Source, TLengthSource::Measured);
    EXPECT_EQ(entry->Length, static_cast<std::int64_t>(kRawLength));
    EXPECT_TRUE(SameAsImage(Out() + "/" + entry->Name, base, kRawLength));
}

TEST_F(LargeFiles, ARawWhoseStripRunsPastTheRawLimitIsRefused) {
    std::vector<TPlacedBytes> pieces = testkit::LargeTiffRaw(std::uint64_t{1} << 30, "NIKON", Preview());
    std::vector<TPlacedBytes> beyond = testkit::PlacedAt(kMiB, testkit::LargeTiffRaw((std::uint64_t{1} << 30) + 1, "NIKON", Preview()));
    pieces.insert(pieces.end(), beyond.begin(), beyond.end());
    ASSERT_TRUE(OpenImage(4 * kMiB, pieces));
    ScanAll();
    const TFoundFile* atLimit = FoundAt(0);
    ASSERT_NE(atLimit, nullptr);
    EXPECT_EQ(atLimit->Ext, "NEF");
    EXPECT_EQ(atLimit->Length, std::int64_t{1} << 30);
    const TFoundFile* past = FoundAt(kMiB / kSectorSize);
    EXPECT_TRUE(past == nullptr || past->Ext != "NEF");
}

TEST_F(LargeFiles, AnOpenDmlAviIsMeasuredToItsLastChunkAndChanceRiffBytesAreNothing) {
    const std::uint32_t first = 800'000'000, second = 450'000'001; // odd: a pad byte follows
    const std::int64_t aviSector = 2048;
    std::vector<TPlacedBytes> pieces = testkit::PlacedAt(aviSector * kSectorSize, testkit::OpenDmlAvi(first, {second}));
    const std::uint64_t aviLength = testkit::OpenDmlAviLength(first, {second});
    ASSERT_GT(aviLength, std::uint64_t{1} << 30);
    // After it, "RIFF" with a huge size and the AVI form type but no header list.
    const std::uint64_t chanceAt = aviSector * kSectorSize + aviLength + 2 * kMiB - (aviLength % kSectorSize);
    TByteVector chance = {'R', 'I', 'F', 'F', 0x00, 0x00, 0x00, 0xF0, 'A', 'V', 'I', ' '};
    chance.resize(512, 0);
    pieces.push_back({chanceAt, chance});
    if (!OpenImage(chanceAt + 4 * kMiB, pieces))
        GTEST_SKIP() << "this file system cannot hold a sparse image";
    ScanAll();
    const TFoundFile* avi = FoundAt(aviSector);
    ASSERT_NE(avi, nullptr);
    EXPECT_EQ(avi->Ext, "AVI");
    EXPECT_EQ(avi->Length, static_cast<std::int64_t>(aviLength));
    EXPECT_EQ(FoundAt(static_cast<std::int64_t>(chanceAt / kSectorSize)), nullptr);
    for (const TFoundFile& f : engine_->FoundFiles)
        EXPECT_EQ(f.StartSector, aviSector) << f.Ext << " at " << f.StartSector;
}

TEST_F(LargeFiles, ADestinationThatFillsDuringALargeFileLeavesNoFileUnderAFinalName) {
    if (!OpenImage(kRawImageBytes, MarkedRaw()))
        GTEST_SKIP() << "this file system cannot hold a sparse image";
    ScanAll();
    ASSERT_NE(FoundAt(kRawSector), nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Files may grow to 16 MiB: the raw fails with EFBIG part-way, as on a full disk, after
        // the free-space check passed.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{16 * kMiB, 16 * kMiB};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
            _exit(3);
        TRecoveryRequest req;
        req.Selection = TRecoverySelection::Files({0});
        for (std::size_t i = 0; i < engine_->FoundFiles.size(); ++i)
            if (engine_->FoundFiles[i].StartSector == kRawSector)
                req.Selection = TRecoverySelection::Files({i});
        req.Destination = Out();
        const TRecoveryResult r = Recover(*engine_, req);
        const bool ok = r.Started && r.Stopped && r.Recovered == 0 && r.NotWritten == 1 &&
                        r.Message.find("is full") != std::string::npos;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(RecoveredNames().empty()); // neither the raw nor a temporary file
}

TEST_F(LargeFiles, StopWithinALongFileEndsItWithNothingLeftBehind) {
    if (!OpenImage(kRawImageBytes, MarkedRaw()))
        GTEST_SKIP() << "this file system cannot hold a sparse image";
    ScanAll();
    TPump pump;
    engine_->MessagePump = &pump;
    pump.OnPump = [&] {
        if (pump.Calls == 40) // about 20 MB into the raw
            engine_->StopScan();
    };
    TRecoveryRequest req;
    for (std::size_t i = 0; i < engine_->FoundFiles.size(); ++i)
        if (engine_->FoundFiles[i].StartSector == kRawSector)
            req.Selection = TRecoverySelection::Files({i});
    req.Destination = Out();
    const TRecoveryResult r = Recover(*engine_, req);
    ASSERT_TRUE(r.Started) << r.Message;
    EXPECT_TRUE(r.Stopped);
    ASSERT_EQ(r.Files.size(), 1u);
    EXPECT_EQ(r.Files[0].Status, TRecoveryStatus::NotWritten);
    EXPECT_EQ(r.Files[0].Detail, "not written: recovery was stopped");
    EXPECT_LT(pump.Calls, 60); // it did not read on to the file's end
    EXPECT_TRUE(RecoveredNames().empty());
    EXPECT_FALSE(engine_->Busy);
}

TEST_F(LargeFiles, TheFullPreviewOfALargeRawReadsOnlyItsEmbeddedPreview) {
    if (!OpenImage(kRawImageBytes, MarkedRaw()))
        GTEST_SKIP() << "this file system cannot hold a sparse image";
    ScanAll();
    TFoundFile raw = *FoundAt(kRawSector);
    std::uint64_t sectorsRead = 0;
    SetReadFault([&](std::uint64_t, std::uint16_t count) {
        sectorsRead += count;
        return false;
    });
    TMemoryStream stream;
    EXPECT_FALSE(engine_->LoadFoundFile(raw, stream)); // never read whole into memory
    EXPECT_EQ(sectorsRead, 0u);
    TBitmap picture;
    ASSERT_TRUE(engine_->LoadPreview(raw, picture));
    EXPECT_EQ(picture.Width(), 160);
    EXPECT_EQ(picture.Height(), 120);
    EXPECT_NE(engine_->MakeThumbnail(raw), nullptr);
    // Two reads of the preview's few sectors; far from the file's 234,375 sectors.
    EXPECT_LT(sectorsRead, 200u);
}

} // namespace
