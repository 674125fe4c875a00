#include "engine/Nesting.h"

#include <algorithm>
#include <numeric>

#include "engine/FileTypes.h"
#include "formats/LengthPolicy.h"

namespace lumivore {

namespace {

constexpr std::int64_t kSector = 512;

// The sector at which a holder's run begins; false when it cannot be formed.
bool RunSector(const TFoundFile& holder, const TPiece& run, std::int64_t& sector) {
    if (holder.StartSector < 0 || run.Offset <= 0 || run.Offset % kSector != 0 ||
        holder.StartSector > INT64_MAX - run.Offset / kSector)
        return false;
    sector = holder.StartSector + run.Offset / kSector;
    return true;
}

} // namespace

bool LengthAgrees(std::int64_t runLength, const TFoundFile& f) {
    if (runLength <= 0 || !LengthKnownFor(f.Ext, f.Length))
        return true;
    // Both lengths lie far below 2^62: the sums cannot overflow.
    return f.Length <= runLength + kSector && runLength <= 2 * f.Length + kSector;
}

bool WalkedWhole(const TFoundFile& f) {
    const TFileTypeTraits& traits = TraitsOf(f.Type());
    return LengthKnownFor(f.Ext, f.Length) && traits.Measure != TLengthMeasure::None &&
           traits.Measure != TLengthMeasure::Avi && !traits.GuessedLength && f.ClaimFrom < 0 && f.ClaimedLength < 0 &&
           !f.Incomplete;
}

void MarkNestedFiles(TFoundFileList& files) {
    std::unordered_map<std::int64_t, std::size_t> bySector;
    bySector.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        files[i].NestedIn = -1;
        bySector.emplace(files[i].StartSector, i);
    }
    for (const TFoundFile& holder : files) {
        for (const TPiece& run : holder.Embedded) {
            std::int64_t sector = 0;
            if (!RunSector(holder, run, sector))
                continue;
            const auto it = bySector.find(sector);
            if (it == bySector.end())
                continue;
            TFoundFile& f = files[it->second];
            if (&f != &holder && LengthAgrees(run.Length, f) && f.NestedIn < holder.StartSector)
                f.NestedIn = holder.StartSector;
        }
    }
    CutClaims(files);
}

void CutClaim(TFoundFile& f, const TFirstCutter& firstCutter) {
    if (f.ClaimFrom < 0)
        return;
    // A claim cut before is judged afresh.
    if (f.ClaimedLength >= 0) {
        f.Length = f.ClaimedLength;
        f.ClaimedLength = -1;
    }
    if (f.StartSector < 0 || f.Length <= f.ClaimFrom || f.StartSector > INT64_MAX / kSector)
        return;
    const std::int64_t start = f.StartSector * kSector;
    if (f.Length > INT64_MAX - start)
        return;
    const std::int64_t end = start + f.Length;
    // The first sector of the claimed body, and never the file's own.
    const std::int64_t body = std::max(f.StartSector + 1, start / kSector + (f.ClaimFrom + kSector - 1) / kSector);
    const TFoundFile* g = firstCutter(body, end / kSector + (end % kSector != 0 ? 1 : 0));
    if (g == nullptr)
        return;
    f.ClaimedLength = f.Length;
    f.Length = g->StartSector * kSector - start;
}

void CutClaims(TFoundFileList& files) {
    std::vector<std::size_t> order(files.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return files[a].StartSector < files[b].StartSector; });
    // For each place in the order, the first file from there on that can cut a claim. A claimed
    // file never can, so cutting one does not change this.
    std::vector<std::size_t> cutter(order.size() + 1, files.size());
    for (std::size_t k = order.size(); k-- > 0;) {
        const TFoundFile& g = files[order[k]];
        cutter[k] = !g.Nested() && WalkedWhole(g) ? order[k] : cutter[k + 1];
    }
    auto firstCutter = [&](std::int64_t first, std::int64_t end) -> const TFoundFile* {
        const auto k = static_cast<std::size_t>(
            std::lower_bound(order.begin(), order.end(), first,
                             [&](std::size_t i, std::int64_t s) { return files[i].StartSector < s; }) -
            order.begin());
        return cutter[k] < files.size() && files[cutter[k]].StartSector < end ? &files[cutter[k]] : nullptr;
    };
    for (TFoundFile& f : files)
        CutClaim(f, firstCutter);
}

void TNestingIndex::Clear() {
    references_.clear();
    bySector_.clear();
    indexed_.clear();
}

void TNestingIndex::Judge(TFoundFile& f) const {
    f.NestedIn = -1;
    const auto [first, last] = references_.equal_range(f.StartSector);
    for (auto it = first; it != last; ++it)
        if (it->second.Holder != f.StartSector && LengthAgrees(it->second.Length, f) && f.NestedIn < it->second.Holder)
            f.NestedIn = it->second.Holder;
}

void TNestingIndex::Added(TFoundFileList& files, std::size_t index) {
    if (index >= files.size())
        return;
    bySector_.Add(files[index].StartSector, index);
    Changed(files, index);
}

void TNestingIndex::Changed(TFoundFileList& files, std::size_t index) {
    if (index >= files.size())
        return;
    if (indexed_.size() < files.size())
        indexed_.resize(files.size(), 0);
    const TFoundFile& holder = files[index];
    for (std::size_t k = indexed_[index]; k < holder.Embedded.size(); ++k) {
        const TPiece& run = holder.Embedded[k];
        std::int64_t sector = 0;
        if (!RunSector(holder, run, sector))
            continue;
        references_.emplace(sector, TReference{holder.StartSector, run.Length});
        const auto it = bySector_.find(sector);
        if (it != bySector_.end() && it->second < files.size())
            Judge(files[it->second]);
    }
    indexed_[index] = holder.Embedded.size();
    // Its own length may have changed whether a holder's run agrees with it.
    Judge(files[index]);
}

} // namespace lumivore
