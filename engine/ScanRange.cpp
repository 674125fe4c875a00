#include "engine/ScanRange.h"

#include <algorithm>

#include "engine/ScanEngine.h"

namespace lumivore {

namespace {
// A figure above this many megabytes lies beyond any device a 64-bit byte offset can address;
// it is treated as this figure so that turning it into sectors cannot overflow.
constexpr std::int64_t kLargestMegabytes = static_cast<std::int64_t>(kLargestSectorNumber / kSectorsPerMegabyte);
} // namespace

std::int64_t DeviceMegabytes(std::int64_t totalSectors) {
    if (totalSectors <= 0)
        return 0;
    return totalSectors / kSectorsPerMegabyte + (totalSectors % kSectorsPerMegabyte != 0 ? 1 : 0);
}

TRangeResult ValidateRange(std::int64_t totalSectors, std::optional<std::int64_t> startMb,
                           std::optional<std::int64_t> endMb, TScanRange& range) {
    const std::int64_t a = startMb.value_or(0);
    const std::int64_t b = endMb.value_or(0);
    if (a < 0 || b < 0)
        return TRangeResult::OutOfRange;
    totalSectors = std::clamp<std::int64_t>(totalSectors, 0, static_cast<std::int64_t>(kLargestSectorNumber));
    const std::int64_t start = std::min(a, kLargestMegabytes) * kSectorsPerMegabyte;
    const std::int64_t end = std::min(b, kLargestMegabytes) * kSectorsPerMegabyte;
    if (start >= totalSectors && end >= totalSectors)
        return TRangeResult::BeyondDevice;
    const std::int64_t low = std::min(start, end);
    const std::int64_t length = std::min(std::max(start, end) - low, totalSectors - low);
    range.Start = static_cast<std::uint64_t>(low);
    range.Length = static_cast<std::uint64_t>(length);
    return TRangeResult::Ok;
}

} // namespace lumivore
