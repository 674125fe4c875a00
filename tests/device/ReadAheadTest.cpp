#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "device/DskLib.h"
#include "device/ReadAhead.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
using ::testing::ElementsAre;
using ::testing::Each;
using ::testing::Le;

namespace {

constexpr std::uint32_t kBlock = 8; // sectors per block
constexpr std::uint64_t kBlocks = 24;

// Reads of an image whose every sector starts with its own number, through a drive opened on
// it; the read fault seam records which blocks are read and can fail or slow one down.
// The ways the blocks are read: by the worker alone (from a device), by the worker and the
// caller (from an image), by the caller alone (when no thread can be had).
enum class TReaders { Worker, Both, Caller };

class ReadAheadTest : public ::testing::TestWithParam<TReaders> {
protected:
    void SetUp() override {
        TDeviceCatalogue::Instance().Clear();
        std::vector<std::uint8_t> bytes(kBlocks * kBlock * 512, 0);
        for (std::uint64_t s = 0; s < kBlocks * kBlock; ++s)
            bytes[s * 512] = static_cast<std::uint8_t>(s);
        const std::string path = dir / "card.img";
        ASSERT_TRUE(testkit::WriteFile(path, bytes));
        drive.Open(TDeviceCatalogue::Instance().RegisterImage(path));
        ASSERT_NE(drive.Handle, kInvalidHandle);
        SetReadFault([this](std::uint64_t first, std::uint16_t) {
            reads.push_back(first / kBlock);
            if (slowBlock && *slowBlock == first / kBlock) {
                slowStarted = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(slowMs));
                slowDone = true;
            }
            return failBlock && *failBlock == first / kBlock;
        });
    }
    void TearDown() override {
        SetReadFault(nullptr);
        TDeviceCatalogue::Instance().Clear();
    }
    // Reads blocks from..to in order as the scan does: after a whole block, the next ones are
    // asked for ahead. Returns how many bytes each block delivered.
    std::vector<std::uint32_t> ReadInOrder(TReadAhead& ahead, std::uint64_t from, std::uint64_t to) {
        std::vector<std::uint32_t> delivered;
        for (std::uint64_t b = from; b < to; ++b) {
            const std::uint8_t* data = nullptr;
            const std::uint32_t n = ahead.Read(b * kBlock, kBlock, data);
            delivered.push_back(n);
            for (std::uint32_t s = 0; s < n / 512; ++s)
                EXPECT_EQ(data[s * 512], static_cast<std::uint8_t>(b * kBlock + s)) << "block " << b;
            for (std::uint64_t j = 1; n == kBlock * 512 && j <= TReadAhead::kAhead && b + j < to; ++j)
                ahead.Prefetch((b + j) * kBlock, kBlock);
        }
        return delivered;
    }
    void Configure(TReadAhead& ahead) {
        ahead.CallerReads = GetParam() == TReaders::Both;
        ahead.CallerReadsAlone = GetParam() == TReaders::Caller;
    }
    std::vector<std::uint64_t> Reads() {
        std::vector<std::uint64_t> r = reads;
        std::sort(r.begin(), r.end());
        return r;
    }

    testkit::TTempDir dir;
    TDrive drive;
    std::vector<std::uint64_t> reads; // written under the seam's lock
    std::optional<std::uint64_t> failBlock, slowBlock;
    int slowMs = 0;
    std::atomic<bool> slowStarted{false}, slowDone{false};
};

TEST_P(ReadAheadTest, EveryBlockArrivesWholeInOrderAndIsReadOnce) {
    TReadAhead ahead(drive, kBlock);
    Configure(ahead);
    const std::vector<std::uint32_t> delivered = ReadInOrder(ahead, 0, kBlocks);
    EXPECT_THAT(delivered, Each(kBlock * 512));
    std::vector<std::uint64_t> expected(kBlocks);
    for (std::uint64_t b = 0; b < kBlocks; ++b)
        expected[b] = b;
    EXPECT_EQ(Reads(), expected);
    // A block asked for that was not read ahead, and one past the device's end.
    const std::uint8_t* data = nullptr;
    EXPECT_EQ(ahead.Read(3 * kBlock, kBlock, data), kBlock * 512);
    EXPECT_EQ(data[0], 3 * kBlock);
    EXPECT_EQ(ahead.Read(kBlocks * kBlock, kBlock, data), 0u);
}

TEST_P(ReadAheadTest, BlocksAfterAFailingOneAreNotRead) {
    failBlock = 5;
    TReadAhead ahead(drive, kBlock);
    Configure(ahead);
    const std::vector<std::uint32_t> delivered = ReadInOrder(ahead, 0, 6);
    EXPECT_EQ(delivered.back(), 0u);
    // Blocks 6 to 11 were asked for ahead. A single reader begins none of them; with two, one
    // may have been under way beside the failing read.
    const std::vector<std::uint64_t> r = Reads();
    const auto beyond = std::count_if(r.begin(), r.end(), [](std::uint64_t b) { return b > 5; });
    EXPECT_LE(beyond, GetParam() == TReaders::Both ? 1 : 0);
    // The caller goes on past the area: the next block asked for is read.
    const std::uint8_t* data = nullptr;
    EXPECT_EQ(ahead.Read(20 * kBlock, kBlock, data), kBlock * 512);
    EXPECT_EQ(data[0], static_cast<std::uint8_t>(20 * kBlock));
}

INSTANTIATE_TEST_SUITE_P(Readers, ReadAheadTest, ::testing::Values(TReaders::Worker, TReaders::Both, TReaders::Caller),
                         [](const auto& info) {
                             return info.param == TReaders::Worker ? "WorkerAlone"
                                    : info.param == TReaders::Both ? "WorkerAndCaller"
                                                                   : "CallerAlone";
                         });

// From a device the worker alone reads: the caller waits, and can be told to stop meanwhile.
using ReadAheadWorkerTest = ReadAheadTest;

TEST_F(ReadAheadWorkerTest, ASlowReadKeepsTheCallersWindowAlive) {
    slowBlock = 0;
    slowMs = 300;
    TReadAhead ahead(drive, kBlock);
    ahead.CallerReads = false;
    int waited = 0;
    const std::uint8_t* data = nullptr;
    EXPECT_EQ(ahead.Read(0, kBlock, data, [&] { ++waited; }), kBlock * 512);
    EXPECT_GE(waited, 3);
    EXPECT_EQ(data[kBlock / 2 * 512], kBlock / 2);
}

TEST_F(ReadAheadWorkerTest, BlocksNotBegunAreDroppedAndAReadUnderWayIsAwaited) {
    slowBlock = 1;
    slowMs = 100;
    {
        TReadAhead ahead(drive, kBlock);
        ahead.CallerReads = false;
        const std::uint8_t* data = nullptr;
        ASSERT_EQ(ahead.Read(0, kBlock, data), kBlock * 512);
        for (std::uint64_t b = 1; b <= TReadAhead::kAhead; ++b)
            ahead.Prefetch(b * kBlock, kBlock);
        ahead.Cancel();
        EXPECT_THAT(Reads(), Each(Le(1u))) << "nothing after the read under way was begun";
        // Asked for again after the cancel, a block is read.
        ASSERT_EQ(ahead.Read(2 * kBlock, kBlock, data), kBlock * 512);
        EXPECT_EQ(data[0], 2 * kBlock);

        slowStarted = slowDone = false;
        slowBlock = 3;
        for (std::uint64_t b = 3; b < 3 + TReadAhead::kAhead; ++b)
            ahead.Prefetch(b * kBlock, kBlock);
        while (!slowStarted)
            std::this_thread::yield();
    }
    // The reader was gone only once the read under way had ended, and began nothing more.
    EXPECT_TRUE(slowDone);
    EXPECT_THAT(Reads(), Each(Le(3u)));
}

} // namespace
