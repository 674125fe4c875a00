#pragma once
// Reads a drive's blocks ahead of the caller on a thread of its own: while the caller examines
// one block, the next ones are on their way from the device (or copied from the kernel's
// cache), so a long sequential read costs the device's time, not the device's plus the
// caller's. A few blocks ahead, not one, so that the two sides need not wait for each other
// at every block.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "device/DskLib.h"

namespace lumivore {

class TReadAhead {
public:
    // Blocks asked for ahead at most, besides the one the caller holds: enough to carry the
    // caller over a stretch of blocks that take it long to examine.
    static constexpr std::uint32_t kAhead = 7;

    // Blocks of at most blockSectors sectors from drive. The thread starts with the first read.
    TReadAhead(TDrive& drive, std::uint32_t blockSectors);
    // Waits for the reads under way: the drive is not read once this returns. Blocks asked for
    // and not begun are not read.
    ~TReadAhead();
    TReadAhead(const TReadAhead&) = delete;
    TReadAhead& operator=(const TReadAhead&) = delete;

    // Reads count sectors from first, as TDrive::Read does, and sets data to the bytes, which
    // stay valid until the next call of Read. A block read ahead with the same first and count
    // is taken as it came; blocks read ahead before it are dropped. While the read takes its
    // time, waiting (if set) is called about every 50 ms, so that the caller's window stays
    // alive during a slow read of a failing area.
    std::uint32_t Read(std::uint64_t first, std::uint32_t count, const std::uint8_t*& data,
                       const std::function<void()>& waiting = {});
    // Asks for count sectors from first to be read ahead, unless they already are or kAhead
    // blocks wait. Once a read delivers less than it asked, the blocks asked after it and not
    // begun are not read: the area after a failing one is left alone.
    void Prefetch(std::uint64_t first, std::uint32_t count);
    // Waits for the blocks asked for and drops them; those not begun are not read.
    void Cancel();

    // A disk image is copied from memory as often as read from a disk: then the caller, rather
    // than wait, reads the next block itself, and the copies run on two cores. From a device
    // the worker alone reads, and the caller's window stays alive however long a read takes.
    // Set from the drive at construction; changed only before the first read.
    bool CallerReads = false;
    // No worker is started: the caller reads every block as it waits for it. Set when the
    // system gives no thread; tests set it to run the whole path on one thread.
    bool CallerReadsAlone = false;

private:
    static constexpr std::uint32_t kSlots = kAhead + 1;
    static constexpr std::uint32_t kDropped = UINT32_MAX;
    struct TSlot {
        std::uint64_t First = 0;
        std::uint32_t Count = 0;
        std::uint32_t Delivered = 0; // bytes, or kDropped for a block not read
        std::atomic<bool> Done{false};
    };
    void Worker();
    void Post(std::uint64_t first, std::uint32_t count);
    // Takes the next request asked for and not begun; false when there is none.
    bool ClaimNext(std::uint64_t& seq);
    // Reads the request numbered seq (claimed by this thread) into its slot.
    void ReadSlot(std::uint64_t seq);
    // Waits until the request numbered seq is done.
    void WaitCompleted(std::uint64_t seq, const std::function<void()>& waiting);
    // Marks the requests from seq on that are not begun as not to be read.
    void DropFrom(std::uint64_t seq);

    TDrive& drive_;
    const std::uint32_t blockSectors_;
    struct TAlignedDelete {
        void operator()(std::uint8_t* p) const;
    };
    std::unique_ptr<std::uint8_t, TAlignedDelete> buffers_[kSlots];
    TSlot slots_[kSlots]; // request n uses slot n % kSlots

    // Requests are numbered in order and begun in order (claimed_). The caller writes a slot
    // before it counts it in posted_; the reader writes Delivered before it sets Done. Each
    // side looks at the counters on its own core for a moment, then sleeps on changed_.
    std::uint64_t taken_ = 0; // the caller's: requests handed back or dropped
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<std::uint64_t> posted_{0};
    std::atomic<std::uint64_t> claimed_{0};
    std::atomic<std::uint64_t> dropFrom_{UINT64_MAX}; // requests from this number on are not read
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

} // namespace lumivore
