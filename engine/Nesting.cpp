#include "engine/Nesting.h"

#include <algorithm>
#include <cstdint>
#include <numeric>

#include "engine/FileTypes.h"

namespace lumivore {

namespace {

constexpr std::int64_t kSector = 512;

// The byte extent a record is known to cover, or false when its length is unknown. A length
// that is a fixed allowance rather than a measure (a CRW's) names no extent.
bool KnownEnd(const TFoundFile& f, std::int64_t& end) {
    if (f.Length <= 0 || f.StartSector < 0 || TraitsOf(f.Type()).GuessedLength)
        return false;
    end = f.StartSector * kSector + f.Length;
    return true;
}

} // namespace

void MarkNestedFiles(std::vector<TFoundFile>& files) {
    std::vector<std::size_t> order(files.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return files[a].StartSector < files[b].StartSector; });

    // Sweeping by start, the file that reaches furthest among those started so far is the one
    // to test against: any file holding this record's start and end, that one holds too.
    bool haveReach = false;
    std::int64_t reach = 0;         // end of the furthest-reaching file so far
    std::size_t reacher = 0;        // that file
    for (std::size_t i : order) {
        TFoundFile& f = files[i];
        f.NestedIn = -1;
        const std::int64_t start = f.StartSector * kSector;
        std::int64_t end = 0;
        const bool known = KnownEnd(f, end);
        if (haveReach && files[reacher].StartSector < f.StartSector && start < reach && (!known || end <= reach))
            f.NestedIn = files[reacher].StartSector;
        if (known && (!haveReach || end > reach)) {
            haveReach = true;
            reach = end;
            reacher = i;
        }
    }
}

} // namespace lumivore
