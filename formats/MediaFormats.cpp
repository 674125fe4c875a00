// RIFF containers (WAV audio, AVI video, CorelDraw drawings) and RealMedia files.
#include "formats/MediaFormats.h"

#include <cstring>
#include <limits>

#include "formats/Recognisers.h"
#include "formats/WebP.h"

namespace lumivore {

namespace {

bool IsKnownRealMediaChunk(const std::uint8_t* id) {
    static constexpr char kKnown[][5] = {".RMF", "PROP", "CONT", "MDPR", "DATA", "INDX"};
    for (const auto& known : kKnown)
        if (std::memcmp(id, known, 4) == 0)
            return true;
    return false;
}

bool SetRiff(TFoundFile& rec, const char* ext, std::uint8_t formatIndex, std::uint32_t riffSize) {
    rec.Ext = ext;
    rec.FormatIndex = formatIndex;
    rec.MakerIndex = kNoIndex;
    rec.Length = std::int64_t{riffSize} + 8;
    return true;
}

} // namespace

bool RecogniseRiff(TBytes sector, TFoundFile& rec) {
    const TByteReader reader(sector);
    std::uint32_t riffSize = 0;
    if (!reader.Matches(0, "RIFF") || !reader.U32LE(4, riffSize) || !reader.Has(8, 4))
        return false;
    if (reader.Matches(8, "WEBP"))
        return RecogniseWebP(sector, rec);
    if (riffSize >= kFileLengthLimit)
        return false;
    if (reader.Matches(8, "WAVE"))
        return SetRiff(rec, "WAV", 7, riffSize);
    if (reader.Matches(8, "AVI "))
        return SetRiff(rec, "AVI", 8, riffSize);
    if (reader.Matches(8, "CD"))
        return SetRiff(rec, "CDR", 9, riffSize);
    return false;
}

std::int32_t MeasureRealMedia(TBytes data) {
    const std::uint64_t size = data.size();
    const TByteReader reader(data, true);
    std::uint64_t pos = 0;
    for (;;) {
        std::uint32_t chunkSize = 0;
        if (!reader.U32BE(pos + 4, chunkSize))
            return kUnknownLength;
        bool done = false;
        if (IsKnownRealMediaChunk(data.data() + pos)) {
            if (chunkSize > kRealMediaChunkCeiling)
                return kUnknownLength;
            if (chunkSize == 0)
                done = true;
            else
                pos += chunkSize;
        } else {
            // An unknown chunk ends the file, counted with whatever size it states.
            done = true;
            pos += chunkSize;
        }
        if (done)
            return pos > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())
                       ? kUnknownLength
                       : static_cast<std::int32_t>(pos);
        if (pos + 8 > size)
            return kUnknownLength;
    }
}

bool RecogniseRealMedia(TBytes data, TFoundFile& rec) {
    if (!TByteReader(data).Matches(0, ".RMF"))
        return false;
    rec.Ext = "RM";
    rec.FormatIndex = 6;
    rec.MakerIndex = kNoIndex;
    rec.Length = MeasureRealMedia(data);
    return true;
}

} // namespace lumivore
