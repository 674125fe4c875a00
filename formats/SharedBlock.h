#pragma once
// Bytes of the block a scan walks, shared by the measures that keep parts of it. A measure that
// must gather bytes to read them later in one piece (a JPEG's, after its picture, while a
// trailer may follow) keeps the ones that lie in the block shared now by sharing one copy of
// it; only the rest it copies. The photos of a card whose gathered bytes overlap thus hold one
// copy of each block between them, however many they are.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/ByteOrder.h"

namespace lumivore {

// A block of bytes that the measures fed from it may keep parts of: copied by the first measure
// that keeps some of it, and shared by all that do.
class TSharedBlock {
public:
    explicit TSharedBlock(TBytes bytes) : bytes_(bytes) {}
    TSharedBlock(const TSharedBlock&) = delete;
    TSharedBlock& operator=(const TSharedBlock&) = delete;
    TBytes Bytes() const { return bytes_; }
    // A copy of the block from byte from (or from before it) to its end, made on the first call
    // that needs it: the measures are fed in the order their files start, so the first copy
    // usually serves all, and a second one is of the whole block. base is where the copy starts
    // in the block.
    std::shared_ptr<const std::vector<std::uint8_t>> Copy(std::size_t from, std::size_t& base);

private:
    TBytes bytes_;
    std::shared_ptr<const std::vector<std::uint8_t>> copy_;
    std::size_t copyFrom_ = 0;
};

// Makes block the one whose chunks measures share while this lives (the scan's walk over a
// block); the one set before comes back after it. Chunks that lie elsewhere are copied.
class TSharedBlockScope {
public:
    explicit TSharedBlockScope(TSharedBlock* block);
    ~TSharedBlockScope();
    TSharedBlockScope(const TSharedBlockScope&) = delete;
    TSharedBlockScope& operator=(const TSharedBlockScope&) = delete;

private:
    TSharedBlock* before_;
};

// Bytes gathered to be read later in one piece, in order: runs of a shared block where the
// bytes lie in the block shared now, else copies of their own.
class TGatheredBytes {
public:
    std::size_t Size() const { return size_; }
    // Adds bytes after those gathered so far.
    void Add(TBytes bytes);
    // All of them in one piece, until the next change or Release.
    TBytes Whole();
    // Lets go of the piece Whole made.
    void Release() { std::vector<std::uint8_t>().swap(whole_); }
    void Clear();

private:
    struct TRun {
        std::shared_ptr<const std::vector<std::uint8_t>> Shared; // null for a copy of its own
        std::vector<std::uint8_t> Own;
        std::size_t From = 0; // in Shared
        std::size_t Length = 0;
    };
    static TBytes RunBytes(const TRun& run);
    void AddOwn(TBytes bytes);

    std::vector<TRun> runs_;
    std::size_t size_ = 0;
    std::vector<std::uint8_t> whole_;
};

} // namespace lumivore
