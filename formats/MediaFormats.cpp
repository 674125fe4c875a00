// RIFF containers (WAV audio, AVI video, CorelDraw drawings) and RealMedia files.
#include "formats/MediaFormats.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "formats/Measure.h"
#include "formats/Recognisers.h"
#include "formats/WebP.h"

namespace lumivore {

namespace {

bool SetRiff(TFoundFile& rec, const char* ext, std::uint8_t formatIndex, std::uint32_t riffSize) {
    rec.Ext = ext;
    rec.FormatIndex = formatIndex;
    rec.MakerIndex = kNoIndex;
    rec.Length = std::int64_t{riffSize} + 8;
    return true;
}

// Whether the whole file (the RIFF size and the eight bytes before it) stays below the general
// length limit, as every RIFF form always had to: a length at the limit would not count as known.
bool RiffBelowGeneralLimit(std::uint32_t riffSize) { return std::int64_t{riffSize} + 8 < kFileLengthLimit; }

// Whether the first chunk of a RIFF form (at 12) has a chunk id of four printable characters
// and lies inside the RIFF size: how a WAV longer than the general limit shows it is one.
bool FirstChunkPlausible(const TByteReader& reader, std::uint32_t riffSize) {
    std::uint32_t chunkSize = 0;
    if (!reader.Has(12, 4) || !reader.U32LE(16, chunkSize))
        return false;
    for (std::uint64_t i = 12; i < 16; ++i) {
        std::uint8_t c = 0;
        if (!reader.U8(i, c) || c < 0x20 || c > 0x7E)
            return false;
    }
    // The form type (4 bytes) and the chunk's 8-byte header come before its data.
    return std::uint64_t{chunkSize} + 12 <= riffSize;
}

// Whether an AVI carries its header list where the format puts it: a "LIST" chunk of type
// "hdrl" right after the form type, inside the RIFF size.
bool HeaderListPresent(const TByteReader& reader, std::uint32_t riffSize) {
    std::uint32_t listSize = 0;
    return reader.Matches(12, "LIST") && reader.U32LE(16, listSize) && reader.Matches(20, "hdrl") && listSize >= 4 &&
           std::uint64_t{listSize} + 12 <= riffSize;
}

} // namespace

bool RecogniseRiff(TBytes sector, TFoundFile& rec) {
    const TByteReader reader(sector);
    std::uint32_t riffSize = 0;
    if (!reader.Matches(0, "RIFF") || !reader.U32LE(4, riffSize) || !reader.Has(8, 4))
        return false;
    if (reader.Matches(8, "WEBP"))
        return RecogniseWebP(sector, rec);
    const bool small = RiffBelowGeneralLimit(riffSize);
    // Sound and video may fill the whole 32-bit RIFF size; a long WAV must begin with a chunk,
    // and an AVI of any length with its header list, so that chance "RIFF" bytes followed by a
    // large number are not taken for a gigabyte file.
    if (reader.Matches(8, "WAVE") && (small || FirstChunkPlausible(reader, riffSize))) {
        // Its samples are claimed by the RIFF size alone: nothing in them can be walked.
        rec.ClaimFrom = 12;
        return SetRiff(rec, "WAV", 7, riffSize);
    }
    if (reader.Matches(8, "AVI ") && HeaderListPresent(reader, riffSize))
        return SetRiff(rec, "AVI", 8, riffSize);
    if (reader.Matches(8, "CD") && small)
        return SetRiff(rec, "CDR", 9, riffSize);
    return false;
}

std::int64_t MeasureAviChain(const TReadAt& read, std::int64_t firstLength, std::uint64_t base,
                             std::unordered_map<std::uint64_t, std::uint64_t>* memo) {
    if (firstLength < 12 || firstLength > kLargestRiffLength || !read)
        return firstLength;
    std::uint64_t end = static_cast<std::uint64_t>(firstLength);
    std::uint64_t links[kLargestRiffChunkCount];
    std::uint32_t linkCount = 0;
    for (std::uint32_t chunk = 1; chunk < kLargestRiffChunkCount; ++chunk) {
        // Chunks are word-aligned: an odd end is followed by a pad byte.
        const std::uint64_t at = end + (end % 2);
        if (memo != nullptr && at <= UINT64_MAX - base) {
            const auto known = memo->find(base + at);
            if (known != memo->end()) {
                // Followed before from here: its end, where it lies within this file's reach.
                if (known->second >= base + at && known->second - base <= static_cast<std::uint64_t>(kLargestRiffChainLength))
                    end = std::max(end, known->second - base);
                break;
            }
        }
        std::uint8_t header[12];
        if (!read(at, header, sizeof header))
            break;
        links[linkCount++] = at;
        const TByteReader reader(TBytes(header, sizeof header));
        std::uint32_t size = 0;
        if (!reader.Matches(0, "RIFF") || !reader.U32LE(4, size) || !reader.Matches(8, "AVIX") || size < 4)
            break;
        const std::uint64_t next = at + 8 + size;
        if (next > static_cast<std::uint64_t>(kLargestRiffChainLength))
            break;
        end = next;
    }
    if (memo != nullptr)
        for (std::uint32_t k = 0; k < linkCount; ++k)
            if (links[k] <= UINT64_MAX - base && end <= UINT64_MAX - base)
                memo->emplace(base + links[k], base + end);
    return static_cast<std::int64_t>(end);
}

bool RecogniseRealMedia(TBytes data, TFoundFile& rec) {
    if (!TByteReader(data).Matches(0, ".RMF"))
        return false;
    rec.Ext = "RM";
    rec.FormatIndex = 6;
    rec.MakerIndex = kNoIndex;
    rec.Length = MeasureInBlock(rec, data).Length;
    return true;
}

} // namespace lumivore
