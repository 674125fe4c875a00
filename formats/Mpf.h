#pragma once
// The multi-picture index that many cameras write into an APP2 segment ("MPF\0" followed by a
// TIFF header) to point at preview JPEGs appended after the main image. A scan measures such a
// file only up to the main image's EOI; the index says where the last appended image ends.

#include <cstdint>

#include "formats/ByteOrder.h"
#include "formats/LengthPolicy.h"

namespace lumivore {

// Largest extent MpfExtent reports; beyond it the index is treated as malformed.

// End of the last image that the JPEG's multi-picture index names, counted from the JPEG's
// first byte, or -1 when the JPEG has no index before its scan, or the index is malformed,
// does not lie inside the data, or names an end at or beyond kFileLengthLimit.
std::int64_t MpfExtent(TBytes jpeg);

} // namespace lumivore
