// JPEG, GIF, PNG and Windows bitmap: signatures and record values; the lengths come from the
// measures of formats/Measure.h.
#include "formats/PhotoFormats.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "formats/Measure.h"
#include "formats/Recognisers.h"
#include "formats/TiffWalker.h"

namespace lumivore {

namespace {

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
    ReadTiffStructure(data.subspan(static_cast<std::size_t>(tiffStart)), rec, false, tiffStart);
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

void ReadJpegExif(TBytes data, TFoundFile& rec) {
    const std::uint64_t size = data.size();
    const TByteReader reader(data, true);
    std::uint64_t pos = 2;
    // Every step advances pos, so the walk ends within the data.
    while (pos + 2 <= size && data[pos] == 0xFF) {
        const std::uint8_t m = data[pos + 1];
        if (m == 0xD9 || m == 0xDA)
            return;
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
            return;
        TBytes xmp;
        if (m == 0xE1 && !JpegXmpPayload(data, pos, segmentLength, xmp))
            ReadExifSegment(data, pos, rec);
        pos += static_cast<std::uint64_t>(segmentLength) + 2;
    }
}

bool RecogniseJpeg(TBytes data, TFoundFile& rec) {
    if (data.size() < 4 || data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF || data[3] == 0xD8)
        return false;
    ReadJpegExif(data, rec);
    // The EXIF block's thumbnail is a run of this file; its length is measured from its
    // markers, not claimed by a directory.
    rec.ClaimFrom = -1;
    rec.Ext = "JPG";
    rec.FormatIndex = 1;
    rec.MakerIndex = kNoIndex;
    const TBlockMeasure measure = MeasureInBlock(rec, data);
    rec.Length = measure.Length;
    if (measure.PictureEnd > 0 && measure.PictureEnd <= std::numeric_limits<std::uint32_t>::max()) {
        // The picture itself serves as its own thumbnail; what follows it (a video, records)
        // is no picture.
        rec.ThumbKind = kThumbJpeg;
        rec.ThumbOffset = 0;
        rec.ThumbLength = static_cast<std::uint32_t>(measure.PictureEnd);
    }
    return true;
}

bool RecogniseGif(TBytes data, TFoundFile& rec) {
    const TByteReader reader(data);
    if (!reader.Matches(0, "GIF") || !(reader.Matches(3, "87a") || reader.Matches(3, "89a")))
        return false;
    rec.Ext = "GIF";
    rec.FormatIndex = 2;
    rec.MakerIndex = kNoIndex;
    rec.Length = MeasureInBlock(rec, data).Length;
    std::uint16_t width = 0, height = 0;
    if (reader.U16LE(6, width))
        rec.Width = width;
    if (reader.U16LE(8, height))
        rec.Height = height;
    return true;
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
    rec.Length = MeasureInBlock(rec, data).Length;
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
