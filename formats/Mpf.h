#pragma once
// The multi-picture index that many cameras write into an APP2 segment ("MPF\0" followed by a
// TIFF header) to point at preview JPEGs appended after the main image. The index stands near
// the file's start; the images it names lie after the main image's end, and the last of them
// ends the file.

#include <cstdint>
#include <vector>

#include "engine/FoundFile.h"
#include "formats/ByteOrder.h"
#include "formats/LengthPolicy.h"

namespace lumivore {

// End of the last image that the JPEG's multi-picture index names, counted from the JPEG's
// first byte, or -1 when the JPEG has no index before its scan, or the index is malformed,
// does not lie inside the data, or names an end at or beyond kFileLengthLimit.
// When images is given, it receives every image the index names after the primary one, as
// MpfSegmentExtent gives them.
std::int64_t MpfExtent(TBytes jpeg, std::vector<TPiece>* images = nullptr);

// Whether segment (the bytes from a segment's marker on) is an APP2 segment holding a
// multi-picture index.
bool IsMpfSegment(TBytes segment);

// The same end, from the index segment alone: segment holds the whole segment from its marker
// on, pos is the marker's position in the JPEG. -1 as above. When primarySize is given, it
// receives the size the index states for the primary image (the entry at offset 0), or stays
// as it was when the index names none.
// When images is given, it receives every image the index names after the primary one: its
// offset from the JPEG's first byte and its size.
std::int64_t MpfSegmentExtent(TBytes segment, std::uint64_t pos, std::uint64_t* primarySize = nullptr,
                              std::vector<TPiece>* images = nullptr);

} // namespace lumivore
