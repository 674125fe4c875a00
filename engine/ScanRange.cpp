#include "engine/ScanRange.h"

#include <algorithm>

#include "engine/ScanEngine.h"

namespace lumivore {

namespace {
// Scan positions are 32-bit sector numbers, kept below 2^31: a figure of 1,048,576 MB or more
// is refused rather than wrapped.
constexpr std::int64_t kLargestMegabytes = (std::int64_t{1} << 31) / kSectorsPerMegabyte; // 1,048,576
} // namespace

std::int64_t DeviceMegabytes(std::int64_t totalSectors) {
    if (totalSectors <= 0)
        return 0;
    return (totalSectors + kSectorsPerMegabyte - 1) / kSectorsPerMegabyte;
}

TRangeResult ValidateRange(std::int64_t totalSectors, std::optional<std::int64_t> startMb,
                           std::optional<std::int64_t> endMb, TScanRange& range) {
    const std::int64_t a = startMb.value_or(0);
    const std::int64_t b = endMb.value_or(0);
    if (a < 0 || b < 0 || a >= kLargestMegabytes || b >= kLargestMegabytes)
        return TRangeResult::OutOfRange;
    const std::int64_t start = a * kSectorsPerMegabyte;
    const std::int64_t end = b * kSectorsPerMegabyte;
    if (start >= totalSectors && end >= totalSectors)
        return TRangeResult::BeyondDevice;
    const std::int64_t low = std::min(start, end);
    std::int64_t length = std::max(start, end) - low;
    length = std::min(length, totalSectors - low);
    // Sector numbers above 2^32 - 1 cannot be read.
    length = std::min<std::int64_t>(length, std::int64_t{0xFFFFFFFF} - low);
    range.Start = static_cast<std::uint32_t>(low);
    range.Length = static_cast<std::uint32_t>(length);
    return TRangeResult::Ok;
}

} // namespace lumivore
