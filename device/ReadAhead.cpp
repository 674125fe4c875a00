#include "device/ReadAhead.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <system_error>

#include <sys/stat.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace lumivore {

namespace {

constexpr std::size_t kSector = 512;
constexpr std::align_val_t kAlignment{4096}; // the kernel copies into a page-aligned buffer faster

// Each side waits this long before it sleeps: a block copied from the page cache takes some
// tens of microseconds, and a sleep and a wake cost as much.
constexpr auto kSpin = std::chrono::microseconds(100);

// True once ready() holds, looking for up to kSpin. The look gives the processor away between
// short spins: when both sides share one core, the other side runs instead of the spin.
template <class TReady>
bool SpinUntil(const TReady& ready) {
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (;;) {
        for (int i = 0; i < 16; ++i) {
            if (ready())
                return true;
#if defined(__x86_64__) || defined(__i386__)
            _mm_pause();
#endif
        }
        std::this_thread::yield();
        if (std::chrono::steady_clock::now() >= until)
            return ready();
    }
}

} // namespace

void TReadAhead::TAlignedDelete::operator()(std::uint8_t* p) const { ::operator delete(p, kAlignment); }

TReadAhead::TReadAhead(TDrive& drive, std::uint32_t blockSectors)
    : drive_(drive), blockSectors_(std::clamp<std::uint32_t>(blockSectors, 1, 0xFFFF)) {
    struct stat st{};
    CallerReads = drive_.Handle != kInvalidHandle && ::fstat(drive_.Handle, &st) == 0 && S_ISREG(st.st_mode);
    for (auto& buffer : buffers_)
        buffer.reset(static_cast<std::uint8_t*>(::operator new(std::size_t{blockSectors_} * kSector, kAlignment)));
}

TReadAhead::~TReadAhead() {
    DropFrom(0);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_.store(true, std::memory_order_release);
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool TReadAhead::ClaimNext(std::uint64_t& seq) {
    std::uint64_t next = claimed_.load(std::memory_order_relaxed);
    while (next < posted_.load(std::memory_order_acquire))
        if (claimed_.compare_exchange_weak(next, next + 1, std::memory_order_acq_rel)) {
            seq = next;
            return true;
        }
    return false;
}

void TReadAhead::ReadSlot(std::uint64_t seq) {
    TSlot& slot = slots_[seq % kSlots];
    if (seq >= dropFrom_.load(std::memory_order_acquire)) {
        slot.Delivered = kDropped;
    } else {
        std::uint32_t n = 0;
        try {
            n = drive_.Read(slot.First, static_cast<std::uint16_t>(slot.Count), buffers_[seq % kSlots].get());
        } catch (...) {
            n = 0; // a read that fails in any way delivers nothing
        }
        slot.Delivered = n;
        if (n < slot.Count * kSector)
            DropFrom(seq + 1);
    }
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        slot.Done.store(true, std::memory_order_release);
    }
    changed_.notify_all();
}

void TReadAhead::DropFrom(std::uint64_t seq) {
    std::uint64_t now = dropFrom_.load(std::memory_order_relaxed);
    while (seq < now && !dropFrom_.compare_exchange_weak(now, seq, std::memory_order_acq_rel)) {
    }
}

void TReadAhead::Worker() {
    const auto asked = [this] {
        return quit_.load(std::memory_order_acquire) ||
               claimed_.load(std::memory_order_acquire) < posted_.load(std::memory_order_acquire);
    };
    for (;;) {
        if (!SpinUntil(asked)) {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, asked);
        }
        if (quit_.load(std::memory_order_acquire))
            return;
        std::uint64_t seq = 0;
        if (ClaimNext(seq))
            ReadSlot(seq);
    }
}

void TReadAhead::Post(std::uint64_t first, std::uint32_t count) {
    const std::uint64_t seq = posted_.load(std::memory_order_relaxed);
    TSlot& slot = slots_[seq % kSlots];
    slot.First = first;
    slot.Count = std::min(count, blockSectors_);
    slot.Delivered = 0;
    slot.Done.store(false, std::memory_order_relaxed);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        posted_.store(seq + 1, std::memory_order_release);
    }
    changed_.notify_all();
    if (!thread_.joinable() && !CallerReadsAlone) {
        try {
            thread_ = std::thread([this] { Worker(); });
        } catch (const std::system_error&) {
            // No thread to be had: the caller reads every block itself, as it waits for it.
            CallerReads = CallerReadsAlone = true;
        }
    }
}

void TReadAhead::WaitCompleted(std::uint64_t seq, const std::function<void()>& waiting) {
    const TSlot& slot = slots_[seq % kSlots];
    const auto finished = [&] { return slot.Done.load(std::memory_order_acquire); };
    const auto claimable = [&] {
        return (CallerReads || CallerReadsAlone) &&
               claimed_.load(std::memory_order_acquire) < posted_.load(std::memory_order_acquire);
    };
    for (;;) {
        std::uint64_t own = 0;
        if ((CallerReads || CallerReadsAlone) && ClaimNext(own)) {
            ReadSlot(own); // this one or one after it, which would otherwise wait for the worker
            continue;
        }
        if (SpinUntil([&] { return finished() || claimable(); })) {
            if (finished())
                return;
            continue;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        while (!finished() && !claimable()) {
            if (!waiting) {
                changed_.wait(lock, [&] { return finished() || claimable(); });
            } else if (!changed_.wait_for(lock, std::chrono::milliseconds(50),
                                          [&] { return finished() || claimable(); })) {
                lock.unlock();
                waiting();
                lock.lock();
            }
        }
        if (finished())
            return;
    }
}

void TReadAhead::Cancel() {
    const std::uint64_t posted = posted_.load(std::memory_order_relaxed);
    DropFrom(taken_);
    for (std::uint64_t seq = taken_; seq < posted; ++seq)
        WaitCompleted(seq, {});
    taken_ = posted;
    // Nothing is asked for or under way: the next request is read.
    dropFrom_.store(UINT64_MAX, std::memory_order_release);
}

std::uint32_t TReadAhead::Read(std::uint64_t first, std::uint32_t count, const std::uint8_t*& data,
                               const std::function<void()>& waiting) {
    count = std::min(count, blockSectors_);
    const auto hand = [&](std::uint64_t seq) {
        const TSlot& slot = slots_[seq % kSlots];
        data = buffers_[seq % kSlots].get();
        const std::uint32_t delivered = slot.Delivered;
        // After a short read the blocks asked beyond it are dropped.
        if (delivered < slot.Count * kSector)
            Cancel();
        return delivered;
    };
    while (taken_ < posted_.load(std::memory_order_relaxed)) {
        const std::uint64_t seq = taken_++;
        const TSlot& slot = slots_[seq % kSlots];
        if (slot.First == first && slot.Count == count) {
            WaitCompleted(seq, waiting);
            if (slot.Delivered != kDropped)
                return hand(seq);
        } else {
            // Read ahead but not asked for now: not read if not begun.
            DropFrom(seq);
            WaitCompleted(seq, {});
        }
    }
    dropFrom_.store(UINT64_MAX, std::memory_order_release); // everything handed over is done
    Post(first, count);
    const std::uint64_t seq = taken_++;
    WaitCompleted(seq, waiting);
    return hand(seq);
}

void TReadAhead::Prefetch(std::uint64_t first, std::uint32_t count) {
    count = std::min(count, blockSectors_);
    const std::uint64_t posted = posted_.load(std::memory_order_relaxed);
    if (posted - taken_ >= kAhead)
        return;
    for (std::uint64_t seq = taken_; seq < posted; ++seq)
        if (slots_[seq % kSlots].First == first && slots_[seq % kSlots].Count == count)
            return;
    Post(first, count);
}


} // namespace lumivore
