// Disks beyond 2 TiB: a sparse 3 TiB image (no disk space used) with photos planted before
// and after the 2^32nd sector, scanned in narrow ranges, recovered, and read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include <unistd.h>

#include "device/DskLib.h"
#include "engine/DeviceReader.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "engine/ScanRange.h"
#include "support/MemoryStream.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
using testkit::TByteVector;

namespace {

constexpr std::uint64_t kTiB = std::uint64_t{1} << 40;
constexpr std::uint64_t kDeviceBytes = 3 * kTiB;
constexpr std::uint64_t kDeviceSectors = kDeviceBytes / kSectorSize;
// Sector 2^32 + 12345: its number does not fit 32 bits, and cut to 32 bits it would name a
// sector near the start of the device.
constexpr std::uint64_t kBeyondSector = (std::uint64_t{1} << 32) + 12345;
// Past 1 TiB, below 2 TiB: where a signed 32-bit sector number already turns negative.
constexpr std::uint64_t kBeforeSector = (std::uint64_t{1} << 31) + 777;
// The last whole megabyte of the device holds the third photo.
constexpr std::uint64_t kNearEndSector = kDeviceSectors - 2048;

TByteVector Photo(std::size_t scanBytes) { return testkit::TJpegBuilder().Jfif().FakeScan(scanBytes).Build(); }

class LargeDisk : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir_ / "settings.xml").c_str(), 1);
        TDeviceCatalogue::Instance().Clear();
        path_ = dir_ / "3tib.img";
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        bool ok = ::ftruncate(fd, static_cast<off_t>(kDeviceBytes)) == 0;
        for (const auto& [sector, bytes] : {std::pair{kBeforeSector, &before_}, std::pair{kBeyondSector, &beyond_},
                                            std::pair{kNearEndSector, &nearEnd_}})
            ok = ok && ::pwrite(fd, bytes->data(), bytes->size(), static_cast<off_t>(sector * kSectorSize)) ==
                           static_cast<ssize_t>(bytes->size());
        ::close(fd);
        if (!ok)
            GTEST_SKIP() << "this file system cannot hold a sparse 3 TiB file";
        engine_ = std::make_unique<TScanEngine>();
        const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(path_);
        ASSERT_NE(code, 0);
        ASSERT_TRUE(engine_->OpenDrive(code));
        ASSERT_EQ(engine_->Drive.Info.TotalSectors, static_cast<std::int64_t>(kDeviceSectors));
    }
    void TearDown() override {
        SetReadFault(nullptr);
        engine_.reset();
        TDeviceCatalogue::Instance().Clear();
    }

    // Scans the megabytes [startMb, endMb) through the same validation the windows and the
    // command line use.
    void ScanMegabytes(std::int64_t startMb, std::int64_t endMb) {
        TScanRange range;
        ASSERT_EQ(ValidateRange(engine_->Drive.Info.TotalSectors, startMb, endMb, range), TRangeResult::Ok);
        engine_->Scan(range.Start, range.Length, nullptr, nullptr, nullptr);
    }

    testkit::TTempDir dir_;
    std::string path_;
    const TByteVector before_ = Photo(300000);
    // Longer than what follows it in its scan block: its length is measured again from the
    // device when it is read back and recovered.
    const TByteVector beyond_ = Photo(700000);
    const TByteVector nearEnd_ = Photo(100000);
    std::unique_ptr<TScanEngine> engine_;
};

TEST_F(LargeDisk, TheWholeDeviceIsTheRangeAndItsLastMegabyteCanBeChosen) {
    EXPECT_EQ(DeviceMegabytes(static_cast<std::int64_t>(kDeviceSectors)), 3 * 1024 * 1024);
    TScanRange range;
    ASSERT_EQ(ValidateRange(static_cast<std::int64_t>(kDeviceSectors), std::nullopt,
                            DeviceMegabytes(static_cast<std::int64_t>(kDeviceSectors)), range),
              TRangeResult::Ok);
    EXPECT_EQ(range.Start, 0u);
    EXPECT_EQ(range.Length, kDeviceSectors);
    // An end far past the device is cut at its end; a start there alone is beyond it.
    ASSERT_EQ(ValidateRange(static_cast<std::int64_t>(kDeviceSectors), 3 * 1024 * 1024 - 1,
                            std::int64_t{1} << 50, range),
              TRangeResult::Ok);
    EXPECT_EQ(range.Start, kDeviceSectors - 2048);
    EXPECT_EQ(range.Length, 2048u);
    EXPECT_EQ(ValidateRange(static_cast<std::int64_t>(kDeviceSectors), 3 * 1024 * 1024,
                            std::numeric_limits<std::int64_t>::max(), range),
              TRangeResult::BeyondDevice);
}

TEST_F(LargeDisk, PhotosOnEitherSideOfTwoTebibytesAreFoundAtTheirOwnSectors) {
    const std::int64_t beyondMb = static_cast<std::int64_t>(kBeyondSector / kSectorsPerMegabyte);
    const std::int64_t beforeMb = static_cast<std::int64_t>(kBeforeSector / kSectorsPerMegabyte);
    ScanMegabytes(beyondMb - 1, beyondMb + 3);
    ASSERT_EQ(engine_->FoundFiles.size(), 1u);
    EXPECT_EQ(engine_->FoundFiles[0].StartSector, static_cast<std::int64_t>(kBeyondSector));

    ScanMegabytes(beforeMb, beforeMb + 2);
    ASSERT_EQ(engine_->FoundFiles.size(), 1u);
    EXPECT_EQ(engine_->FoundFiles[0].StartSector, static_cast<std::int64_t>(kBeforeSector));

    // The range that reaches the device's end finds the photo in its last megabyte.
    ScanMegabytes(3 * 1024 * 1024 - 4, 3 * 1024 * 1024);
    ASSERT_EQ(engine_->FoundFiles.size(), 1u);
    EXPECT_EQ(engine_->FoundFiles[0].StartSector, static_cast<std::int64_t>(kNearEndSector));
}

TEST_F(LargeDisk, APhotoBeyondTwoTebibytesIsRecoveredAndReadBackByteIdentical) {
    const std::int64_t beyondMb = static_cast<std::int64_t>(kBeyondSector / kSectorsPerMegabyte);
    ScanMegabytes(beyondMb, beyondMb + 2);
    ASSERT_EQ(engine_->FoundFiles.size(), 1u);
    // The photo runs on past its first block; the scan measures it over the next one.
    ASSERT_EQ(engine_->FoundFiles[0].Length, static_cast<std::int64_t>(beyond_.size()));

    TMemoryStream stream;
    ASSERT_TRUE(engine_->LoadFoundFile(engine_->FoundFiles[0], stream));
    EXPECT_EQ(TByteVector(stream.Bytes().begin(), stream.Bytes().end()), beyond_);

    TRecoveryRequest request;
    request.Destination = dir_ / "out";
    request.Selection = TRecoverySelection::AllTypes();
    const TRecoveryResult result = Recover(*engine_, request);
    ASSERT_EQ(result.Recovered, 1);
    const std::string name = RecoveredFileName(static_cast<std::int64_t>(kBeyondSector), "JPG");
    EXPECT_EQ(testkit::ReadFile(request.Destination + "/" + name), beyond_);
}

TEST_F(LargeDisk, ReadFaultsAndRetriesSeeTheFullSectorNumber) {
    const std::uint64_t bad = kBeyondSector + 1000; // the photo's second block
    std::vector<std::pair<std::uint64_t, std::uint16_t>> asked;
    SetReadFault([&](std::uint64_t first, std::uint16_t count) {
        asked.emplace_back(first, count);
        return first == bad;
    });
    engine_->Drive.ReadRetries = 1;
    std::vector<std::uint8_t> buffer(kSectorSize);
    EXPECT_EQ(engine_->Drive.Read(bad, 1, buffer.data()), 0u);
    EXPECT_EQ(asked, (std::vector<std::pair<std::uint64_t, std::uint16_t>>{{bad, 1}, {bad, 1}}))
        << "one retry, at the same sector";
    EXPECT_EQ(engine_->Drive.Read(bad + 1, 1, buffer.data()), kSectorSize);

    // The failing block is read again sector by sector at its full sector numbers; only the
    // faulted sector stays unreadable, and the photo in the block before is found.
    asked.clear();
    // Only the scan's reads are looked at here (the pass after it reads the boot sector).
    engine_->ReassembleAfterScan = false;
    engine_->Scan(kBeyondSector, 4000, nullptr, nullptr, nullptr);
    EXPECT_EQ(engine_->UnreadableSectors, 1);
    ASSERT_FALSE(engine_->FoundFiles.empty());
    EXPECT_EQ(engine_->FoundFiles[0].StartSector, static_cast<std::int64_t>(kBeyondSector));
    EXPECT_NE(std::find(asked.begin(), asked.end(), std::pair<std::uint64_t, std::uint16_t>{bad + 1, 1}), asked.end());
    for (const auto& [first, count] : asked)
        EXPECT_GE(first, kBeyondSector) << "no read wrapped round below the range";

    // A sector past the device's end, or past any byte offset, reads nothing.
    EXPECT_EQ(engine_->Drive.Read(kDeviceSectors, 1, buffer.data()), 0u);
    EXPECT_EQ(ReadDeviceSectors(engine_->Drive.Handle, std::numeric_limits<std::uint64_t>::max() / 2, 1, 0,
                                buffer.data()),
              0u);
}

} // namespace

// Random access to a found file: reads that straddle the reader's cache runs come back exact,
// nothing at or past the stated size or the device's end is handed out, and only the runs
// touched are read from the device.
TEST_F(LargeDisk, ADeviceReaderReadsAFileBeyondTwoTebibytesAtAnyOffset) {
    TDeviceReader reader(engine_->Drive, static_cast<std::int64_t>(kBeyondSector), beyond_.size());
    std::vector<std::uint8_t> got(beyond_.size());
    // Backwards in odd pieces, so every piece after the first needs a fresh cache run.
    std::size_t end = got.size();
    while (end > 0) {
        const std::size_t piece = std::min<std::size_t>(end, 40'001);
        ASSERT_TRUE(reader.ReadAt(end - piece, got.data() + end - piece, piece));
        end -= piece;
    }
    EXPECT_EQ(got, beyond_);
    EXPECT_GE(reader.BytesRead(), beyond_.size());
    EXPECT_LE(reader.BytesRead(), 3 * beyond_.size());

    std::uint8_t byte = 0;
    EXPECT_FALSE(reader.ReadAt(beyond_.size(), &byte, 1));
    EXPECT_FALSE(reader.ReadAt(std::numeric_limits<std::uint64_t>::max(), &byte, 1));
    EXPECT_TRUE(reader.ReadAt(0, &byte, 0));

    // A file said to run past the device's end reads up to it and no further.
    TDeviceReader tail(engine_->Drive, static_cast<std::int64_t>(kDeviceSectors - 1));
    std::uint8_t sector[513] = {};
    EXPECT_TRUE(tail.ReadAt(0, sector, 512));
    EXPECT_FALSE(tail.ReadAt(0, sector, 513));
    TDeviceReader damaged(engine_->Drive, -5);
    EXPECT_FALSE(damaged.ReadAt(0, &byte, 1));
}
