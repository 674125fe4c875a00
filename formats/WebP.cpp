// WebP pictures inside a RIFF container.
#include "formats/WebP.h"

#include "engine/FileTypes.h"
#include "formats/IsoMedia.h"
#include "formats/LengthPolicy.h"

namespace lumivore {

namespace {

// A picture's chunks are few (the image, an alpha plane, a colour profile, EXIF, XMP, or the
// frames of an animation); the walk for the EXIF chunk looks at no more than this many.
constexpr std::uint32_t kMaxChunks = 1024;
// The least a RIFF size can be for a WebP: the form type and one chunk header.
constexpr std::uint32_t kMinRiffSize = 4 + 8;

// Pixel size from the first chunk. False when the chunk is not one of the three picture
// chunks or does not carry a size.
bool FirstChunkSize(const TByteReader& r, std::uint32_t& width, std::uint32_t& height) {
    if (r.Matches(12, "VP8 ")) {
        // Frame tag (3 bytes), start code 9D 01 2A, then 14-bit width and height.
        std::uint8_t a = 0, b = 0, c = 0;
        std::uint16_t w = 0, h = 0;
        if (!r.U8(23, a) || !r.U8(24, b) || !r.U8(25, c) || a != 0x9D || b != 0x01 || c != 0x2A ||
            !r.U16LE(26, w) || !r.U16LE(28, h))
            return false;
        width = w & 0x3FFF;
        height = h & 0x3FFF;
        return width > 0 && height > 0; // a frame of no pixels is no picture
    } else if (r.Matches(12, "VP8L")) {
        // Signature 0x2F, then width - 1 and height - 1 in 14 bits each.
        std::uint8_t signature = 0;
        std::uint32_t bits = 0;
        if (!r.U8(20, signature) || signature != 0x2F || !r.U32LE(21, bits))
            return false;
        width = (bits & 0x3FFF) + 1;
        height = ((bits >> 14) & 0x3FFF) + 1;
    } else if (r.Matches(12, "VP8X")) {
        // Flags and 3 reserved bytes, then canvas width - 1 and height - 1 in 24 bits each.
        std::uint8_t p[6] = {};
        for (int i = 0; i < 6; ++i)
            if (!r.U8(24 + static_cast<std::uint64_t>(i), p[i]))
                return false;
        width = (p[0] | (p[1] << 8) | (static_cast<std::uint32_t>(p[2]) << 16)) + 1;
        height = (p[3] | (p[4] << 8) | (static_cast<std::uint32_t>(p[5]) << 16)) + 1;
    } else {
        return false;
    }
    return true;
}

// The "EXIF" chunk among the chunks that lie inside the data and the file, read into rec.
void ReadExifChunk(const TByteReader& r, std::uint64_t fileEnd, TFoundFile& rec) {
    std::uint64_t pos = 12;
    for (std::uint32_t n = 0; n < kMaxChunks; ++n) {
        std::uint32_t size = 0;
        if (!r.U32LE(pos + 4, size) || pos + 8 > fileEnd || size > fileEnd - pos - 8)
            return;
        if (r.Matches(pos, "EXIF")) {
            TBytes exif;
            if (!r.Sub(pos + 8, size, exif))
                return;
            // Some writers keep the "Exif\0\0" that opens a JPEG's EXIF segment.
            const TByteReader e(exif);
            if (e.Matches(0, "Exif") && e.Has(0, 6))
                exif = exif.subspan(6);
            ReadEmbeddedTiff(exif, rec);
            return;
        }
        pos += 8 + static_cast<std::uint64_t>(size) + (size & 1); // chunks are padded to even sizes
    }
}

} // namespace

bool RecogniseWebP(TBytes data, TFoundFile& rec) {
    const TByteReader r(data);
    std::uint32_t riffSize = 0;
    if (!r.Matches(0, "RIFF") || !r.U32LE(4, riffSize) || !r.Matches(8, "WEBP") || riffSize < kMinRiffSize ||
        riffSize >= kFileLengthLimit - 8)
        return false;
    std::uint32_t width = 0, height = 0;
    if (!FirstChunkSize(r, width, height))
        return false;
    rec.Ext = "WEBP";
    rec.FormatIndex = kNoIndex;
    rec.MakerIndex = kNoIndex;
    rec.PhoneIndex = kPhoneWebp;
    rec.Length = std::int64_t{riffSize} + 8;
    rec.Width = static_cast<std::int32_t>(width);
    rec.Height = static_cast<std::int32_t>(height);
    ReadExifChunk(r, static_cast<std::uint64_t>(rec.Length), rec);
    return true;
}

} // namespace lumivore
