// JPEG, GIF, PNG and Windows bitmap: signatures, record values and length measures.
#include "formats/PhotoFormats.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "formats/ByteSearch.h"
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

bool JpegXmpPayload(TBytes data, std::uint64_t pos, std::uint16_t segmentLength, TBytes& payload) {
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
            if (motion != nullptr && JpegXmpPayload(data, pos, segmentLength, xmp))
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
    // Pairs that start at pos .. last: the bytes pos .. last + 1.
    const std::size_t span = static_cast<std::size_t>(last - pos + 2);
    const std::size_t hit = FindMarkerPair(data.data() + pos, span, 0xD9);
    if (hit < span)
        return AsLength(pos + hit + 2);
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

namespace {

// ---- PNG metadata --------------------------------------------------------------------------

// Chunks examined for metadata in one PNG; a real file has a few dozen.
constexpr int kPngMetadataChunks = 4096;
// Largest EXIF block decoded from a text chunk: EXIF itself cannot exceed 64 KiB in a JPEG,
// and a PNG's is no larger in practice.
constexpr std::size_t kPngTextExifLimit = 1u << 20;

// Copies the camera metadata an EXIF walk found; the thumbnail only when its bytes lie in the
// file as they are (tiffStart >= 0: the TIFF block's position in the file).
void TakeExif(const TFoundFile& exif, std::int64_t tiffStart, TFoundFile& rec) {
    rec.Make = exif.Make;
    rec.Model = exif.Model;
    rec.DateTaken = exif.DateTaken;
    rec.ISO = exif.ISO;
    rec.ExposureNum = exif.ExposureNum;
    rec.ExposureDen = exif.ExposureDen;
    rec.FNumberNum = exif.FNumberNum;
    rec.FNumberDen = exif.FNumberDen;
    rec.FocalNum = exif.FocalNum;
    rec.FocalDen = exif.FocalDen;
    if (exif.Width > 0 && exif.Height > 0) {
        rec.Width = exif.Width;
        rec.Height = exif.Height;
    }
    const std::uint64_t thumb = static_cast<std::uint64_t>(tiffStart) + exif.ThumbOffset;
    if (tiffStart >= 0 && exif.ThumbLength > 0 && thumb <= std::numeric_limits<std::uint32_t>::max()) {
        rec.ThumbKind = exif.ThumbKind;
        rec.ThumbOffset = static_cast<std::uint32_t>(thumb);
        rec.ThumbLength = exif.ThumbLength;
        rec.ThumbWidth = exif.ThumbWidth;
        rec.ThumbHeight = exif.ThumbHeight;
        rec.ThumbBitsPerSample = exif.ThumbBitsPerSample;
    }
}

// Reads an EXIF block (a TIFF structure, perhaps after "Exif\0\0") into rec.
bool ReadPngExifBlock(TBytes block, std::int64_t blockStart, TFoundFile& rec) {
    std::size_t skip = 0;
    if (TByteReader(block).Matches(0, "Exif") && block.size() >= 6)
        skip = 6;
    TFoundFile exif;
    if (!ReadTiffStructure(block.subspan(skip), exif, false))
        return false;
    TakeExif(exif, blockStart < 0 ? -1 : blockStart + static_cast<std::int64_t>(skip), rec);
    return true;
}

// Inflates zlib data into out, no further than limit bytes; false when the data is damaged.
bool Inflate(TBytes in, std::vector<std::uint8_t>& out, std::size_t limit) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    out.resize(limit);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(std::min<std::size_t>(in.size(), std::numeric_limits<uInt>::max()));
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(limit);
    const int result = inflate(&z, Z_FINISH);
    out.resize(z.total_out);
    inflateEnd(&z);
    return result == Z_STREAM_END || result == Z_BUF_ERROR;
}

int HexDigit(std::uint8_t c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The EXIF block of a "Raw profile type exif" text: a line with the profile's name, a line
// with its length in bytes, then that many bytes as hex digits spread over lines.
bool DecodeRawProfile(TBytes text, std::vector<std::uint8_t>& block) {
    std::size_t p = 0;
    auto skipSpace = [&] {
        while (p < text.size() && (text[p] == '\n' || text[p] == '\r' || text[p] == ' ' || text[p] == '\t'))
            ++p;
    };
    skipSpace();
    while (p < text.size() && text[p] != '\n') // the profile's name
        ++p;
    skipSpace();
    std::uint64_t length = 0;
    bool digits = false;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9' && length <= kPngTextExifLimit) {
        length = length * 10 + (text[p++] - '0');
        digits = true;
    }
    if (!digits || length == 0 || length > kPngTextExifLimit)
        return false;
    block.clear();
    block.reserve(static_cast<std::size_t>(length));
    int high = -1;
    for (; p < text.size() && block.size() < length; ++p) {
        const int d = HexDigit(text[p]);
        if (d < 0)
            continue; // line breaks and spaces between the digits
        if (high < 0) {
            high = d;
        } else {
            block.push_back(static_cast<std::uint8_t>(high * 16 + d));
            high = -1;
        }
    }
    return block.size() == length;
}

// The text of a tEXt, zTXt or iTXt chunk whose keyword is "Raw profile type exif", decoded
// into an EXIF block; false for any other chunk.
bool RawProfileExif(std::string_view type, TBytes chunk, std::vector<std::uint8_t>& block) {
    static constexpr std::string_view kKeyword = "Raw profile type exif";
    if (chunk.size() <= kKeyword.size() ||
        std::string_view(reinterpret_cast<const char*>(chunk.data()), kKeyword.size()) != kKeyword ||
        chunk[kKeyword.size()] != 0)
        return false;
    TBytes rest = chunk.subspan(kKeyword.size() + 1);
    std::vector<std::uint8_t> inflated;
    if (type == "zTXt") {
        if (rest.empty() || rest[0] != 0 || !Inflate(rest.subspan(1), inflated, 2 * kPngTextExifLimit + 4096))
            return false;
        rest = inflated;
    } else if (type == "iTXt") {
        // Compression flag and method, then a language tag and a translated keyword, each
        // ended by a zero byte.
        if (rest.size() < 2)
            return false;
        const bool compressed = rest[0] != 0;
        std::size_t p = 2;
        for (int field = 0; field < 2; ++field) {
            while (p < rest.size() && rest[p] != 0)
                ++p;
            ++p;
        }
        if (p > rest.size())
            return false;
        rest = rest.subspan(p);
        if (compressed) {
            if (!Inflate(rest, inflated, 2 * kPngTextExifLimit + 4096))
                return false;
            rest = inflated;
        }
    } else if (type != "tEXt") {
        return false;
    }
    return DecodeRawProfile(rest, block);
}

// Camera metadata of a PNG: an eXIf chunk, or the hex-encoded EXIF that image tools keep in a
// "Raw profile type exif" text chunk. Only chunks that lie whole inside the data are read.
void ReadPngMetadata(TBytes data, TFoundFile& rec) {
    const TByteReader reader(data, true);
    std::uint64_t pos = 8;
    for (int n = 0; n < kPngMetadataChunks; ++n) {
        std::uint32_t length = 0;
        if (!reader.U32BE(pos, length) || !reader.Has(pos + 4, 4))
            return;
        const std::string_view type(reinterpret_cast<const char*>(data.data()) + pos + 4, 4);
        if (type == "IEND")
            return;
        TBytes chunk;
        if (!reader.Sub(pos + 8, length, chunk))
            return;
        std::vector<std::uint8_t> block;
        if (type == "eXIf") {
            if (ReadPngExifBlock(chunk, static_cast<std::int64_t>(pos + 8), rec))
                return;
        } else if ((type == "tEXt" || type == "zTXt" || type == "iTXt") && RawProfileExif(type, chunk, block)) {
            if (ReadPngExifBlock(block, -1, rec))
                return;
        }
        pos += std::uint64_t{length} + 12;
    }
}

} // namespace

bool RecognisePng(TBytes data, TFoundFile& rec) {
    static constexpr std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    if (data.size() < sizeof kSignature || std::memcmp(data.data(), kSignature, sizeof kSignature) != 0)
        return false;
    rec.Ext = "PNG";
    rec.FormatIndex = 3;
    rec.MakerIndex = kNoIndex;
    rec.Length = MeasurePng(data);
    ReadPngMetadata(data, rec);
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
    rec.Length = std::int64_t{fileSize};
    // A negative (top-down) height reads as a huge unsigned number and is refused with the rest.
    if (width > kBmpMaxDimension || height > kBmpMaxDimension)
        return false;
    rec.Width = static_cast<std::int32_t>(width);
    rec.Height = static_cast<std::int32_t>(height);
    return true;
}

} // namespace lumivore
