#pragma once
// What the photo recognisers read besides their signatures (a JPEG's EXIF and XMP segments),
// and the limits of the bitmap recogniser. The recognisers themselves are declared in
// formats/Recognisers.h; the lengths of JPEG, GIF and PNG files are measured by
// formats/Measure.h.

#include <cstdint>

#include "engine/FoundFile.h"
#include "formats/ByteOrder.h"
#include "formats/LengthPolicy.h"

namespace lumivore {

// Largest width and height a bitmap header may declare.
inline constexpr std::uint32_t kBmpMaxDimension = 10'000;

// Reads the EXIF block of each APP1 segment before the start of scan into rec (the last one with
// an accepted TIFF header wins), with the thumbnail offset made relative to data's start.
void ReadJpegExif(TBytes data, TFoundFile& rec);

// True when the APP1 segment whose marker stands at pos of data carries XMP; payload is then
// its text, as far as it lies inside data.
bool JpegXmpPayload(TBytes data, std::uint64_t pos, std::uint16_t segmentLength, TBytes& payload);

} // namespace lumivore
