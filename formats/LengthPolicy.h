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

// The box-structured files of phones and cameras (HEIC, AVIF, MP4, MOV, 3GP, CR3) state sizes of
// up to 64 bits, and a video runs to gigabytes, so the photo limit above does not fit them.
// Their own limit, exclusive: 64 GiB, more than any one recording on a camera's or a phone's
// card; a sum of boxes beyond it has followed damaged or foreign data and is not trusted.
inline constexpr std::int64_t kMediaLengthLimit = std::int64_t{64} << 30;

} // namespace lumivore
