#pragma once
// How long a found file may be, and whether a record's length counts as known. Every part of
// the system that measures, reads back or writes a file takes its limits from here, so that
// the scan, the previews and recovery agree on which lengths are real.

#include <cstdint>

namespace lumivore {

// Lengths are bytes; -1 (kUnknownLength, engine/FoundFile.h) means the structure did not say.
//
// The general limit, exclusive: 50 MiB. A photo, a sound or a drawing of the kinds found here is
// far shorter, so a measure that arrives beyond it has followed damaged or foreign data and
// is not trusted; the same bound caps what is read back to measure a file whose length the
// scan could not tell.
inline constexpr std::int64_t kFileLengthLimit = 52'428'800;

// Whether a record's length is a measured one that can be read and written as it stands.
inline constexpr bool LengthKnown(std::int64_t length) { return length >= 1 && length < kFileLengthLimit; }

// The scan measures a file whose end lies past the block it starts in as the following blocks
// stream past (formats/StreamMeasure.h). Such a measure gives up once the file would reach
// kFileLengthLimit: past it no length would count as known, so reading on is wasted.

// Ceilings of the one-shot measures of JPEG, GIF and PNG over a window of bytes, with which the
// read-back measures a picture the scan left unknown. Each bounds a search or a walk over data
// that may not be a picture any more, so that damage costs a bounded read:
//
// The end-of-image search of a JPEG gives up past this position and reports it as the length:
// 5 MiB holds the pictures of the cameras this search was tuned for whole, and a longer one is
// measured by the scan, which searches on up to kFileLengthLimit.
inline constexpr std::uint32_t kJpegScanCeiling = 5'242'880;
// The sub-blocks of a GIF's leading extensions (comments, application data) are skipped no
// further than this: real extensions are a few kilobytes; 5 MiB of them is no GIF header.
inline constexpr std::uint32_t kGifExtensionCeiling = 5'242'880;
// A PNG chunk of this size or more ends the walk 8 bytes past its start: encoders split their
// pixel data into chunks far smaller (8 KiB to 1 MiB), so such a size is damage.
inline constexpr std::uint32_t kPngChunkCeiling = 5'242'880;
// The one-shot PNG walk reports this length once it passes it; the scan's measure walks on.
inline constexpr std::uint32_t kPngWalkCeiling = 10'485'760;

} // namespace lumivore
