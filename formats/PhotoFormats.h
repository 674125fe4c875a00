#pragma once
// Length measures of the photo formats whose end is found by walking their structure (JPEG,
// GIF, PNG), and the limits they and the bitmap recogniser apply. The recognisers themselves
// are declared in formats/Recognisers.h.
//
// Every measure returns a byte length, or -1 when the file's end lies beyond the data given
// (or cannot be found in it). The ceilings are parameters so that a caller measuring over a
// larger window can raise them; the defaults are the values the scan and the preview use.

#include <cstdint>

#include "engine/FoundFile.h"
#include "formats/ByteOrder.h"
#include "formats/JpegTrailers.h"
#include "formats/LengthPolicy.h"

namespace lumivore {

// The ceilings of these measures (kJpegScanCeiling, ...) live with the other length limits in
// formats/LengthPolicy.h.
// Largest width and height a bitmap header may declare.
inline constexpr std::uint32_t kBmpMaxDimension = 10'000;

// Length of the JPEG picture at the start of data: the position after its EOI marker, -1 when
// a marker or the EOI lies beyond the data (or a marker position holds no 0xFF), or scanCeiling
// when the EOI search passes it. Each APP1 segment's TIFF block is read into rec (the last one
// with an accepted TIFF header wins), with the thumbnail offset made relative to data's start;
// when motion is given, an XMP segment's motion-photo values are read into it.
std::int32_t MeasureJpegPicture(TBytes data, TFoundFile& rec, std::uint32_t scanCeiling = kJpegScanCeiling,
                                TMotionPhoto* motion = nullptr);

// True when the APP1 segment whose marker stands at pos of data carries XMP; payload is then
// its text, as far as it lies inside data.
bool JpegXmpPayload(TBytes data, std::uint64_t pos, std::uint16_t segmentLength, TBytes& payload);

// Where a JPEG file's picture ends, and where the file ends with what follows the picture and
// belongs to it (formats/JpegTrailers.h); File is -1 when either end lies beyond the data.
struct TJpegExtent {
    std::int32_t Picture = kUnknownLength;
    std::int32_t File = kUnknownLength;
};
TJpegExtent MeasureJpegExtent(TBytes data, TFoundFile& rec, std::uint32_t scanCeiling = kJpegScanCeiling);

// Length of the JPEG file at the start of data: MeasureJpegExtent's File.
std::int32_t MeasureJpeg(TBytes data, TFoundFile& rec, std::uint32_t scanCeiling = kJpegScanCeiling);

// Length of the GIF at the start of data: the position after its trailer, the position of the
// first unexpected byte, or -1 when a block lies beyond the data.
std::int32_t MeasureGif(TBytes data, std::uint32_t extensionCeiling = kGifExtensionCeiling);

// Length of the PNG at the start of data: the position after IEND, 8 bytes past a chunk whose
// type is not four letters or whose size reaches chunkCeiling, walkCeiling when the walk passes
// it, or -1 when the next chunk would start beyond the data.
std::int32_t MeasurePng(TBytes data, std::uint32_t walkCeiling = kPngWalkCeiling,
                        std::uint32_t chunkCeiling = kPngChunkCeiling);

} // namespace lumivore
