// JPEG, GIF, PNG and Windows bitmap: signatures, record values and length measures.
#include "formats/PhotoFormats.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "formats/JpegTrailers.h"
#include "formats/Recognisers.h"
#include "formats/TiffWalker.h"

namespace lumivore {

namespace {

constexpr std::uint64_t kLargestLength = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());

// A file end as a record length: an end that does not fit the signed 32-bit field is unknown.
std::int32_t AsLength(std::uint64_t end) {
    return end > kLargestLength ? kUnknownLength : static_cast<std::int32_t>(end);
}

// ---- JPEG ----------------------------------------------------------------------------------

// Reads the TIFF block of the APP1 segment whose marker stands at pos into rec. The block is
// taken to start 10 bytes in (marker, length, six identifier bytes) and to run to the end of the
// data. The TIFF reader clears the record once it accepts a TIFF header; a thumbnail kind that no
// walk can leave behind tells whether it did, and only then is the thumbnail offset moved from
// the TIFF block's start to the JPEG's start.
void ReadExifSegment(TBytes data, std::uint64_t pos, TFoundFile& rec) {
    const std::uint64_t tiffStart = pos + 10;
    if (tiffStart >= data.size())
        return;
    constexpr std::uint8_t kNotWalked = 0xFF;
    const std::uint8_t keptKind = rec.ThumbKind;
    rec.ThumbKind = kNotWalked;
    ReadTiffStructure(data.subspan(static_cast<std::size_t>(tiffStart)), rec, false);
    if (rec.ThumbKind == kNotWalked) {
        rec.ThumbKind = keptKind;
        return;
    }
    if (rec.ThumbLength == 0)
        return;
    const std::uint64_t offset = static_cast<std::uint64_t>(rec.ThumbOffset) + tiffStart;
    if (offset > std::numeric_limits<std::uint32_t>::max()) {
        // A thumbnail that cannot be addressed from the file's start is no thumbnail.
        rec.ThumbOffset = 0;
        rec.ThumbLength = 0;
        rec.ThumbKind = kThumbNone;
        return;
    }
    rec.ThumbOffset = static_cast<std::uint32_t>(offset);
}

// True when the APP1 segment whose marker stands at pos carries XMP; payload is then its text.
bool XmpSegment(TBytes data, std::uint64_t pos, std::uint16_t segmentLength, TBytes& payload) {
    static constexpr char kXmpId[] = "http://ns.adobe.com/xap/1.0/";
    constexpr std::uint64_t kIdBytes = sizeof kXmpId; // with its terminating zero
    const TByteReader reader(data);
    if (segmentLength < 2 + kIdBytes || !reader.Matches(pos + 4, kXmpId) || !reader.Has(pos + 4 + kIdBytes - 1, 1) ||
        data[pos + 4 + kIdBytes - 1] != 0)
        return false;
    const std::uint64_t start = pos + 4 + kIdBytes;
    const std::uint64_t size = std::min<std::uint64_t>(segmentLength - 2u - kIdBytes, data.size() - std::min<std::uint64_t>(start, data.size()));
    return reader.Sub(start, size, payload);
}

bool IsMarkerWithoutLength(std::uint8_t m) { return m == 0x01 || (m >= 0xD0 && m <= 0xD7); }

// ---- GIF -----------------------------------------------------------------------------------

// Bytes of the colour table that the flags byte of a screen or image descriptor announces.
std::uint64_t ColourTableSize(std::uint8_t flags) {
    return (flags & 0x80) ? 3u * (2u << (flags & 7)) : 0u;
}

bool IsExtensionLabel(std::uint8_t label) { return label == 0x01 || label == 0xF9 || label == 0xFE || label == 0xFF; }

// The byte after an extension skipped as a whole: its first sub-block and one terminator, and
// for an application extension (0xFF) a further 3-byte sub-block.
std::uint64_t WholeExtensionSize(std::uint8_t label, std::uint8_t firstBlock) {
    return firstBlock + (label == 0xFF ? 8u : 4u);
}

} // namespace

std::int32_t MeasureJpegPicture(TBytes data, TFoundFile& rec, std::uint32_t scanCeiling, TMotionPhoto* motion) {
    const std::uint64_t size = data.size();
    const TByteReader reader(data, true);
    std::uint64_t pos = 2;

    // Marker walk up to the start of scan.
    for (;;) {
        if (pos + 2 > size)
            return kUnknownLength;
        if (data[pos] != 0xFF)
            return kUnknownLength; // the walk has lost the segment structure
        const std::uint8_t m = data[pos + 1];
        if (m == 0xD9)
            return AsLength(pos + 2);
        if (IsMarkerWithoutLength(m)) {
            pos += 2;
            continue;
        }
        if (m == 0xFF) {
            pos += 1; // fill byte
            continue;
        }
        std::uint16_t segmentLength = 0;
        if (!reader.U16BE(pos + 2, segmentLength))
            return kUnknownLength;
        if (m == 0xE1) {
            TBytes xmp;
            if (motion != nullptr && XmpSegment(data, pos, segmentLength, xmp))
                ReadMotionPhotoXmp(xmp, *motion);
            else
                ReadExifSegment(data, pos, rec);
        }
        pos += static_cast<std::uint64_t>(segmentLength) + 2;
        if (m == 0xDA)
            break;
    }

    // EOI search: the first FF D9 at or after pos. Positions up to the ceiling are searched while
    // a whole marker fits in the data; passing the ceiling gives the ceiling, running out of data
    // first gives -1.
    if (pos > scanCeiling)
        return AsLength(scanCeiling);
    if (size < 2 || pos > size - 2)
        return kUnknownLength;
    const std::uint64_t last = std::min<std::uint64_t>(scanCeiling, size - 2); // last pair start
    const std::uint8_t* base = data.data();
    std::uint64_t at = pos;
    while (at <= last) {
        const void* hit = std::memchr(base + at, 0xFF, static_cast<std::size_t>(last - at + 1));
        if (hit == nullptr)
            break;
        at = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - base);
        if (base[at + 1] == 0xD9)
            return AsLength(at + 2);
        ++at;
    }
    return last == scanCeiling ? AsLength(scanCeiling) : kUnknownLength;
}

TJpegExtent MeasureJpegExtent(TBytes data, TFoundFile& rec, std::uint32_t scanCeiling) {
    TMotionPhoto motion;
    TJpegExtent extent;
    extent.Picture = MeasureJpegPicture(data, rec, scanCeiling, &motion);
    extent.File = extent.Picture;
    // A picture whose end the search gave up on has no known end to measure on from.
    if (extent.Picture <= 0 || static_cast<std::uint32_t>(extent.Picture) >= scanCeiling)
        return extent;
    const std::int64_t end = MeasureJpegTrailers(data, static_cast<std::uint64_t>(extent.Picture), motion, scanCeiling);
    extent.File = end < 0 ? kUnknownLength : AsLength(static_cast<std::uint64_t>(end));
    return extent;
}

std::int32_t MeasureJpeg(TBytes data, TFoundFile& rec, std::uint32_t scanCeiling) {
    return MeasureJpegExtent(data, rec, scanCeiling).File;
}

bool RecogniseJpeg(TBytes data, TFoundFile& rec) {
    if (data.size() < 4 || data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF || data[3] == 0xD8)
        return false;
    const TJpegExtent extent = MeasureJpegExtent(data, rec);
    rec.Length = extent.File;
    rec.Ext = "JPG";
    rec.FormatIndex = 1;
    rec.MakerIndex = kNoIndex;
    if (extent.Picture > 0) {
        // The picture itself serves as its own thumbnail; what follows it (a video, records)
        // is no picture.
        rec.ThumbKind = kThumbJpeg;
        rec.ThumbOffset = 0;
        rec.ThumbLength = static_cast<std::uint32_t>(extent.Picture);
    }
    return true;
}

std::int32_t MeasureGif(TBytes data, std::uint32_t extensionCeiling) {
    const std::uint64_t size = data.size();
    const TByteReader reader(data);
    std::uint8_t screenFlags = 0;
    if (!reader.U8(10, screenFlags))
        return kUnknownLength;
    const bool v89a = reader.Matches(3, "89a");
    std::uint64_t pos = 13 + ColourTableSize(screenFlags);

    // Leading extensions, skipped sub-block by sub-block.
    if (v89a) {
        for (;;) {
            if (pos + 3 > size)
                return kUnknownLength;
            if (data[pos] != 0x21 || !IsExtensionLabel(data[pos + 1]))
                break;
            pos += 3 + static_cast<std::uint64_t>(data[pos + 2]);
            do {
                std::uint8_t blockSize = 0;
                if (!reader.U8(pos, blockSize))
                    return kUnknownLength;
                pos += 1 + static_cast<std::uint64_t>(blockSize);
                if (blockSize == 0)
                    break;
            } while (pos <= extensionCeiling);
        }
    }

    // Images, each with its data sub-blocks and at most one extension after it.
    for (;;) {
        if (pos + 11 > size)
            return kUnknownLength;
        if (data[pos] != 0x2C)
            break;
        pos += 11 + ColourTableSize(data[pos + 9]);
        for (;;) {
            std::uint8_t blockSize = 0;
            if (!reader.U8(pos, blockSize))
                return kUnknownLength;
            pos += static_cast<std::uint64_t>(blockSize) + 1;
            if (blockSize == 0)
                break;
            if (pos + blockSize > size)
                return kUnknownLength;
        }
        if (v89a) {
            std::uint8_t introducer = 0, label = 0, firstBlock = 0;
            if (!reader.U8(pos, introducer))
                return kUnknownLength;
            if (introducer == 0x21) {
                if (!reader.U8(pos + 1, label))
                    return kUnknownLength;
                if (IsExtensionLabel(label)) {
                    if (!reader.U8(pos + 2, firstBlock))
                        return kUnknownLength;
                    pos += WholeExtensionSize(label, firstBlock);
                }
            }
        }
    }

    // Trailer, possibly after further extensions.
    if (data[pos] == 0x3B)
        return AsLength(pos + 1);
    if (data[pos] != 0x21 || !v89a)
        return AsLength(pos);
    for (;;) {
        if (pos + 3 > size)
            return kUnknownLength;
        if (data[pos] != 0x21 || !IsExtensionLabel(data[pos + 1]))
            return AsLength(pos + 1);
        pos += WholeExtensionSize(data[pos + 1], data[pos + 2]);
    }
}

bool RecogniseGif(TBytes data, TFoundFile& rec) {
    const TByteReader reader(data);
    if (!reader.Matches(0, "GIF") || !(reader.Matches(3, "87a") || reader.Matches(3, "89a")))
        return false;
    rec.Ext = "GIF";
    rec.FormatIndex = 2;
    rec.MakerIndex = kNoIndex;
    rec.Length = MeasureGif(data);
    std::uint16_t width = 0, height = 0;
    if (reader.U16LE(6, width))
        rec.Width = width;
    if (reader.U16LE(8, height))
        rec.Height = height;
    return true;
}

std::int32_t MeasurePng(TBytes data, std::uint32_t walkCeiling, std::uint32_t chunkCeiling) {
    const std::uint64_t size = data.size();
    const TByteReader reader(data, true);
    std::uint64_t pos = 8;
    for (;;) {
        std::uint32_t chunkLength = 0;
        if (!reader.U32BE(pos, chunkLength) || !reader.Has(pos + 4, 4))
            return kUnknownLength;
        const std::uint8_t* type = data.data() + pos + 4;
        for (int i = 0; i < 4; ++i) {
            const std::uint8_t c = type[i];
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
                return AsLength(pos + 8);
        }
        if (std::memcmp(type, "IEND", 4) == 0)
            return AsLength(pos + 12);
        if (chunkLength >= chunkCeiling)
            return AsLength(pos + 8);
        pos += static_cast<std::uint64_t>(chunkLength) + 12;
        if (pos + 8 > size)
            return kUnknownLength;
        if (pos > walkCeiling)
            return AsLength(walkCeiling);
    }
}

bool RecognisePng(TBytes data, TFoundFile& rec) {
    static constexpr std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    if (data.size() < sizeof kSignature || std::memcmp(data.data(), kSignature, sizeof kSignature) != 0)
        return false;
    rec.Ext = "PNG";
    rec.FormatIndex = 3;
    rec.MakerIndex = kNoIndex;
    rec.Length = MeasurePng(data);
    return true;
}

bool RecogniseBmp(TBytes sector, TFoundFile& rec) {
    const TByteReader reader(sector);
    std::uint32_t fileSize = 0, width = 0, height = 0;
    if (!reader.Matches(0, "BM") || !reader.U32LE(2, fileSize) || !reader.U32LE(18, width) ||
        !reader.U32LE(22, height))
        return false;
    if (!SizeWithinLimit("BM", fileSize))
        return false;
    rec.Ext = "BMP";
    rec.FormatIndex = 0;
    rec.MakerIndex = kNoIndex;
    rec.Length = static_cast<std::int32_t>(fileSize);
    // A negative (top-down) height reads as a huge unsigned number and is refused with the rest.
    if (width > kBmpMaxDimension || height > kBmpMaxDimension)
        return false;
    rec.Width = static_cast<std::int32_t>(width);
    rec.Height = static_cast<std::int32_t>(height);
    return true;
}

} // namespace lumivore
