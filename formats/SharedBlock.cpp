// The block a scan shares with its measures, and the bytes a measure gathers from it.
#include "formats/SharedBlock.h"

#include <algorithm>
#include <functional>

namespace lumivore {

namespace {

// The block whose chunks measures share now (TSharedBlockScope); the scan walks one block at a
// time on one thread.
thread_local TSharedBlock* sharedBlock = nullptr;

} // namespace

std::shared_ptr<const std::vector<std::uint8_t>> TSharedBlock::Copy(std::size_t from, std::size_t& base) {
    from = std::min(from, bytes_.size());
    if (!copy_ || from < copyFrom_) {
        // A second copy, for bytes before the first, takes the whole block: never more than two.
        if (copy_)
            from = 0;
        copy_ = std::make_shared<const std::vector<std::uint8_t>>(bytes_.begin() + static_cast<std::ptrdiff_t>(from),
                                                                  bytes_.end());
        copyFrom_ = from;
    }
    base = copyFrom_;
    return copy_;
}

TSharedBlockScope::TSharedBlockScope(TSharedBlock* block) : before_(sharedBlock) { sharedBlock = block; }

TSharedBlockScope::~TSharedBlockScope() { sharedBlock = before_; }

void TGatheredBytes::Add(TBytes bytes) {
    if (bytes.empty())
        return;
    const std::less<const std::uint8_t*> before;
    if (sharedBlock != nullptr) {
        const TBytes block = sharedBlock->Bytes();
        if (!before(bytes.data(), block.data()) && !before(block.data() + block.size(), bytes.data() + bytes.size())) {
            const auto at = static_cast<std::size_t>(bytes.data() - block.data());
            std::size_t base = 0;
            auto copy = sharedBlock->Copy(at, base);
            const std::size_t offset = at - base;
            if (!runs_.empty() && runs_.back().Shared == copy && runs_.back().From + runs_.back().Length == offset)
                runs_.back().Length += bytes.size();
            else
                runs_.push_back({std::move(copy), {}, offset, bytes.size()});
            size_ += bytes.size();
            return;
        }
    }
    AddOwn(bytes);
}

TBytes TGatheredBytes::Whole() {
    if (runs_.size() == 1)
        return RunBytes(runs_[0]);
    whole_.clear();
    whole_.reserve(size_);
    for (const TRun& run : runs_) {
        const TBytes bytes = RunBytes(run);
        whole_.insert(whole_.end(), bytes.begin(), bytes.end());
    }
    return whole_;
}

void TGatheredBytes::Clear() {
    std::vector<TRun>().swap(runs_);
    Release();
    size_ = 0;
}

TBytes TGatheredBytes::RunBytes(const TRun& run) {
    return run.Shared ? TBytes(run.Shared->data() + run.From, run.Length) : TBytes(run.Own);
}

void TGatheredBytes::AddOwn(TBytes bytes) {
    if (runs_.empty() || runs_.back().Shared)
        runs_.push_back({});
    TRun& run = runs_.back();
    run.Own.insert(run.Own.end(), bytes.begin(), bytes.end());
    run.Length = run.Own.size();
    size_ += bytes.size();
}

} // namespace lumivore
