#pragma once
// Scan ranges as people give them: in megabytes of 2048 sectors, validated against the device.

#include <cstdint>
#include <optional>

namespace lumivore {

inline constexpr const char* kMsgExceed = "Scan range cannot beyond drive size.";

enum class TRangeResult {
    Ok,
    BeyondDevice, // the whole range lies at or beyond the device's end
    OutOfRange,   // a negative figure
};

// Sector numbers and counts are 64-bit: a disk of any size is scanned to its end.
struct TScanRange {
    std::uint64_t Start = 0;  // first sector
    std::uint64_t Length = 0; // sectors; 0 = nothing to scan
};

// Megabytes a device of this size spans, rounded up (the sliders' maximum).
std::int64_t DeviceMegabytes(std::int64_t totalSectors);

// Turns a start and end in megabytes (missing = 0) into a sector range: the lower of the two is
// the start, the range is cut at the device's end. Any figure from 0 up is accepted; one past
// the device's end simply means the end.
TRangeResult ValidateRange(std::int64_t totalSectors, std::optional<std::int64_t> startMb,
                           std::optional<std::int64_t> endMb, TScanRange& range);

} // namespace lumivore
