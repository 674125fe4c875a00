#pragma once
// How long a found file may be, and whether a record's length counts as known. Every part of
// the system that measures, reads back or writes a file takes its limits from here, so that
// the scan, the previews and recovery agree on which lengths are real.

#include <cstdint>
#include <string_view>

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
// types that carry them, the general limit for every other.
inline constexpr std::int64_t LargestLengthFor(std::string_view ext) {
    constexpr std::string_view kTiffBased[] = {"TIF", "DNG", "CR2", "RAW", "MEF", "NEF",
                                               "ORF", "PEF", "SR2", "ARW", "MRW", "RAF"};
    if (ext == "DCR")
        return kLargeRawLengthLimit + kKodakAddition;
    for (std::string_view e : kTiffBased)
        if (ext == e)
            return kLargeRawLengthLimit;
    if (ext == "AVI")
        return kLargestRiffChainLength;
    if (ext == "WAV")
        return kLargestRiffLength;
    constexpr std::string_view kBoxFiles[] = {"HEIC", "HEIF", "AVIF", "MP4", "M4V", "MOV", "3GP", "3G2", "CR3"};
    for (std::string_view e : kBoxFiles)
        if (ext == e)
            return kMediaLengthLimit - 1;
    return kFileLengthLimit - 1;
}

// Whether a record's length is a measured one that recovery can write as it stands.
inline constexpr bool LengthKnownFor(std::string_view ext, std::int64_t length) {
    return length >= 1 && length <= LargestLengthFor(ext);
}

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
