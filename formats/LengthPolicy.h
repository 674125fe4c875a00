#pragma once
// How long a found file may be, and whether a record's length counts as known. Every part of
// the system that measures, reads back or writes a file takes its limits from here, so that
// the scan, the previews and recovery agree on which lengths are real.

#include <cstdint>
#include <string_view>

#include "engine/FileTypes.h"

namespace lumivore {

// Lengths are bytes; -1 (kUnknownLength, engine/FoundFile.h) means the structure did not say.
//
// The general limit, exclusive: 50 MiB. A photo, a sound or a drawing of the kinds found here is
// far shorter, so a measure that arrives beyond it has followed damaged or foreign data and
// is not trusted; the same bound caps what is read back whole into memory (a preview, or the
// window over which a file whose length the scan could not tell is measured).
inline constexpr std::int64_t kFileLengthLimit = 52'428'800;

// TIFF-structured files (TIFF, DNG and the TIFF-based raws), RAF and MRW, inclusive: 1 GiB.
// Uncompressed raws of 45 to 100-megapixel cameras run from 50 to 250 MB, so the general limit
// lost them; a length up to this one is taken only from a structure that was read whole
// (every directory walked, every strip or tile inside the length).
inline constexpr std::int64_t kLargeRawLengthLimit = 1'073'741'824;

// A Kodak DCR carries 100 KiB after what its directories describe.
inline constexpr std::int64_t kKodakAddition = 102'400;

// WAV and AVI: the RIFF size field counts everything after the first eight bytes and is a
// 32-bit number, so any value it can hold (up to 4 GiB - 1) is a file a camera or recorder
// could have written; the AVI's own "hdrl" list is what keeps random "RIFF" bytes out.
inline constexpr std::int64_t kLargestRiffLength = 0xFFFF'FFFFll + 8;

// An AVI that goes on in further "RIFF"/"AVIX" chunks: at most this many chunks are followed
// (each below 4 GiB, so files of up to a terabyte), which bounds the chain walk over chunk
// headers that happen to repeat on a damaged device.
inline constexpr std::uint32_t kLargestRiffChunkCount = 256;
inline constexpr std::int64_t kLargestRiffChainLength = 1'099'511'627'776; // 1 TiB

// The box-structured files of phones and cameras (HEIC, AVIF, MP4, MOV, 3GP, CR3) state sizes of
// up to 64 bits, and a video runs to gigabytes, so the photo limit above does not fit them.
// Their own limit, exclusive: 64 GiB, more than any one recording on a camera's or a phone's
// card; a sum of boxes beyond it has followed damaged or foreign data and is not trusted.
inline constexpr std::int64_t kMediaLengthLimit = std::int64_t{64} << 30;

// Whether a record's length is a measured one that is small enough to be read back whole into
// memory (a preview, a decoder's input).
inline constexpr bool LengthKnown(std::int64_t length) { return length >= 1 && length < kFileLengthLimit; }

// The largest length a file of this type (its Ext) may have: the raised limits above for the
// types whose traits (engine/FileTypes.h) name them, the general limit for every other.
inline constexpr std::int64_t LargestLengthFor(std::string_view ext) {
    switch (TraitsOf(FileTypeOf(ext)).Limit) {
    case TLengthLimit::LargeRaw: return kLargeRawLengthLimit;
    case TLengthLimit::LargeKodakRaw: return kLargeRawLengthLimit + kKodakAddition;
    case TLengthLimit::Riff: return kLargestRiffLength;
    case TLengthLimit::RiffChain: return kLargestRiffChainLength;
    case TLengthLimit::Media: return kMediaLengthLimit - 1;
    case TLengthLimit::General: break;
    }
    return kFileLengthLimit - 1;
}

// Whether a record's length is a measured one that recovery can write as it stands.
inline constexpr bool LengthKnownFor(std::string_view ext, std::int64_t length) {
    return length >= 1 && length <= LargestLengthFor(ext);
}

// Every length is measured one way (formats/Measure.h): by a measure that walks the file's
// structure from its first byte as its bytes come, whether the scan feeds it block by block or
// read-back and recovery feed it what they read. The measure reads no further than
// kFileLengthLimit into a file: the structures that say where a file ends (a JPEG's segments
// and end marker, PNG chunks, a raw's directories) lie within it, however far a raw's strips
// reach. Box-structured files are the exception: their chain of boxes goes on past their media
// data, so their measure is fed up to kMediaLengthLimit, passing over what it does not read.

// After a JPEG's picture, bytes that may start a trailer (records of picture-database programs,
// a motion photo's video) are gathered up to this many and the trailer is measured over them:
// such records run to tens of kilobytes, and a trailer that names its own end (a video) is
// measured from its first bytes, whatever its length. Gathering stops there so that a measure
// holds at most this much.
inline constexpr std::uint32_t kJpegTrailerReach = 1u << 20;

// Guards of the walks over data that may not be a picture any more, so that damage costs a
// bounded read:
//
// The sub-blocks of a GIF's leading extensions (comments, application data) are skipped no
// further than this: real extensions are a few kilobytes; 5 MiB of them is no GIF header.
inline constexpr std::uint32_t kGifExtensionCeiling = 5'242'880;
// A PNG chunk of this size or more ends the walk 8 bytes past its start: encoders split their
// pixel data into chunks far smaller (8 KiB to 1 MiB), so such a size is damage.
inline constexpr std::uint32_t kPngChunkCeiling = 5'242'880;

} // namespace lumivore
