#pragma once
// What follows a JPEG's end-of-image marker and still belongs to the file: a second JPEG
// appended right after it (a larger preview, a depth map), the records some cameras and
// picture-database programs append with their own length or end marker, and the video of a
// motion photo whose XMP says how long it is. Each is taken only when its own structure
// confirms where it ends; bytes that match none of them are not part of the file.

#include <cstdint>

#include "formats/ByteOrder.h"
#include "formats/LengthPolicy.h"

namespace lumivore {

// What a JPEG's XMP says about a motion photo's appended media.
struct TMotionPhoto {
    // Bytes from the start of the video to the file's end (GCamera:MicroVideoOffset); 0 = none.
    std::uint64_t VideoBytes = 0;
    // Bytes from the primary picture's end to the file's end by the Container:Directory: the
    // primary item's padding and the lengths of the items after it; 0 = none.
    std::uint64_t DirectoryBytes = 0;
    // Bytes between the primary picture's end and the first item after it.
    std::uint64_t PrimaryPadding = 0;
    // Kind of the first item after the primary one: 1 a JPEG, 2 an MP4 or QuickTime video,
    // 0 another kind or none.
    std::uint8_t FirstItemKind = 0;
};

// Reads the motion-photo values from the payload of an XMP APP1 segment (after its identifier).
void ReadMotionPhotoXmp(TBytes xmp, TMotionPhoto& motion);

// The end of the file whose picture ends at pictureEnd, counted from data's start (the JPEG's
// first byte): pictureEnd itself when nothing recognised follows, a larger position when
// something does, or -1 when a recognised trailer runs past the data. The JPEG measure
// (formats/StreamMeasure.h) applies these rules to the bytes it gathers after a picture.
std::int64_t MeasureJpegTrailers(TBytes data, std::uint64_t pictureEnd, const TMotionPhoto& motion);

// The same over data that begins inside the file: base is the file position of data's first
// byte, pictureEnd an index into data. The result is a file position, or -1.
std::int64_t MeasureJpegTrailersAt(TBytes data, std::uint64_t base, std::uint64_t pictureEnd,
                                   const TMotionPhoto& motion);

// True when the bytes at end could start one of the trailers above: worth reading further
// before a JPEG's length is taken as final.
bool JpegTrailerMayFollow(TBytes data, std::uint64_t end);

} // namespace lumivore
