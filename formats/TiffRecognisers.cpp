// Recognisers of TIFF-structured files (TIFF, DNG and the TIFF-based camera raw formats, plus
// the Canon CRW heap) and of the three raw containers that are not TIFF structures: Sigma
// X3F, Minolta MRW and Fuji RAF.

#include "formats/Recognisers.h"
#include "formats/LengthPolicy.h"

#include <string_view>

#include "engine/FileTypes.h"
#include "formats/Measure.h"
#include "formats/TiffWalker.h"

namespace lumivore {

namespace {

constexpr std::uint32_t kLargestFirstDirectory = 15728640; // 0xF00000
constexpr std::int64_t kCrwLength = 15728640;
constexpr std::uint32_t kLargestMrwTiffDirectory = 5242880; // 0x500000
constexpr std::uint16_t kTiffMarker = 42;
constexpr std::uint16_t kBigTiffMarker = 43;
// What RAF and MRW lengths were limited to before raws of 100 megapixels: above it the header
// is checked for a whole file as well.
constexpr std::uint64_t kRafMrwClassicLimit = 104'857'600;
constexpr std::uint32_t kRafHeaderSize = 108; // the fields read here end at 108

struct TMakerRow {
    std::string_view name;
    std::uint8_t makerIndex;
};

// Applies the camera maker's format to a walked TIFF structure. The first row whose name the
// recorded Make contains decides.
void ClassifyTiff(const TTiffReader& reader, std::uint16_t marker, std::uint64_t firstDir, TFoundFile& rec) {
    auto set = [&rec](std::string_view ext, std::uint8_t format, std::uint8_t maker) {
        rec.Ext = ext;
        rec.FormatIndex = format;
        rec.MakerIndex = maker;
    };
    const std::string& make = rec.Make;
    if (ContainsNoCase(make, "canon")) {
        if (reader.Matches(8, "CR"))
            set("CR2", kNoIndex, kMakerCanon);
        else
            set("TIF", kFormatTiff, kMakerCanon);
    } else if (ContainsNoCase(make, "kodak")) {
        set("DCR", kNoIndex, kMakerKodak);
        if (rec.Length != kUnknownLength)
            rec.Length += kKodakAddition;
    } else if (ContainsNoCase(make, "leica")) {
        set("RAW", kNoIndex, kMakerLeica);
    } else if (ContainsNoCase(make, "mamiya")) {
        set("MEF", kNoIndex, kMakerMamiya);
    } else if (ContainsNoCase(make, "nikon")) {
        set("NEF", kNoIndex, kMakerNikon);
    } else if (ContainsNoCase(make, "olympus")) {
        set("ORF", kNoIndex, kMakerOlympus);
    } else if (ContainsNoCase(make, "panasonic")) {
        set("RAW", kNoIndex, kMakerPanasonic);
    } else if (ContainsNoCase(make, "pentax")) {
        if (DngOrPef(reader, firstDir, marker) == "DNG")
            set("DNG", kFormatDng, kMakerPentax);
        else
            set("PEF", kNoIndex, kMakerPentax);
    } else if (ContainsNoCase(make, "samsung")) {
        set("DNG", kFormatDng, kMakerSamsung);
    } else if (ContainsNoCase(make, "sony")) {
        const std::string_view kind = SonyRawKind(reader, firstDir, marker);
        set(kind, kind == "DNG" ? std::uint8_t{kFormatDng} : kNoIndex, kMakerSony);
    } else if (DngOrPef(reader, firstDir, marker) == "DNG") {
        set("DNG", kFormatDng, kNoIndex);
    } else {
        set("TIF", kFormatTiff, kNoIndex);
    }
}

} // namespace

bool RecogniseTiff(TBytes data, TFoundFile& rec) {
    // Two bytes reject nearly every sector before anything else is called.
    if (data.size() < 2 || data[0] != data[1] || (data[0] != 'I' && data[0] != 'M'))
        return false;
    return ReadTiffStructure(data, rec, true);
}

bool ReadTiffStructure(TBytes data, TFoundFile& rec, bool acceptLateDirectory, std::uint64_t filePosition) {
    TTiffReader reader;
    if (!OpenTiffBlock(data, reader))
        return false;
    reader.FilePosition = filePosition;
    const bool bigEndian = reader.bigEndian();
    std::uint16_t marker = 0;
    std::uint64_t firstDir = 0;
    std::uint64_t headerSize = 8;
    bool heap = false;
    if (!reader.U16(2, marker))
        return false;
    if (marker == kBigTiffMarker) {
        // A BigTIFF header: offsets are 8 bytes wide (the 16-bit number at 4), then a reserved
        // zero and the 64-bit first-directory offset.
        std::uint16_t offsetSize = 0, reserved = 0;
        std::uint32_t low = 0, high = 0;
        if (!reader.U16(4, offsetSize) || !reader.U16(6, reserved) || offsetSize != 8 || reserved != 0 ||
            !reader.U32(8, bigEndian ? high : low) || !reader.U32(12, bigEndian ? low : high))
            return false;
        firstDir = (static_cast<std::uint64_t>(high) << 32) | low;
        headerSize = 16;
    } else {
        std::uint32_t offset = 0;
        if (!reader.U32(4, offset))
            return false;
        firstDir = offset;
        heap = reader.Matches(6, "HEAPCCDR");
    }
    if (!heap && firstDir > kLargestFirstDirectory)
        return false;

    // Writers that lay the image data out first put the directory after it, often past what
    // the scan sees. Only a plain TIFF header with a directory offset a writer could have
    // produced is taken; its length is measured later, from the device.
    const bool late = !heap && firstDir >= data.size();
    if (late && (!acceptLateDirectory || (marker != kTiffMarker && marker != kBigTiffMarker) || firstDir % 2 != 0 ||
                 firstDir < headerSize))
        return false;

    rec.Reset();
    if (late) {
        rec.Ext = "TIF";
        rec.FormatIndex = kFormatTiff;
        rec.MakerIndex = kNoIndex;
        rec.Length = kUnknownLength;
        return true;
    }
    const int walk = WalkDirectory(marker, reader, 0, rec, firstDir);
    if (walk == kWalkUnusable) {
        if (!heap)
            return false;
        rec.Ext = "CRW";
        rec.FormatIndex = kNoIndex;
        rec.MakerIndex = kMakerCanon;
        rec.Make = "Canon";
        rec.Length = kCrwLength;
        return true;
    }
    // A structure walked whole measures its file from the directories, strips and tiles it
    // names, whatever their bytes hold: up to the raised limit of raws. A longer one has
    // followed numbers that no camera writes.
    if (walk == kWalkTruncated)
        rec.Length = kUnknownLength;
    else if (rec.Length > kLargeRawLengthLimit)
        return false;
    // Where the length ends with image data, that run is claimed by its directory; its bytes
    // are not walked.
    if (rec.Length > 0 && static_cast<std::uint64_t>(rec.Length) == reader.FurthestRunEnd)
        rec.ClaimFrom = static_cast<std::int64_t>(reader.FurthestRunStart);
    ClassifyTiff(reader, marker, firstDir, rec);
    return true;
}

bool RecogniseX3f(TBytes data, TFoundFile& rec) {
    const TByteReader reader(data);
    std::uint32_t width = 0, height = 0;
    if (!reader.Matches(0, "FOVb") || !reader.U32LE(28, width) || !reader.U32LE(32, height))
        return false;
    rec.Ext = "X3F";
    rec.FormatIndex = kNoIndex;
    rec.MakerIndex = kMakerSigma;
    rec.Make = "Sigma";
    // Its directory comes last: found in this block for a small file, else as the scan goes on.
    rec.Length = MeasureInBlock(rec, data).Length;
    rec.Width = static_cast<std::int32_t>(width);
    rec.Height = static_cast<std::int32_t>(height);
    return true;
}

namespace {

// Copies what the TIFF block of an MRW file tells about the camera and its thumbnail; the
// MRW header itself decides the size and the length.
void ReadMrwTiffBlock(TBytes data, std::uint64_t tiffStart, TFoundFile& rec) {
    if (tiffStart >= data.size())
        return;
    const TBytes tiff = data.subspan(static_cast<std::size_t>(tiffStart));
    TTiffReader reader;
    if (!OpenTiffBlock(tiff, reader))
        return;
    std::uint32_t dir = 0;
    if (!reader.U32(4, dir) || dir > kLargestMrwTiffDirectory)
        return;
    TFoundFile scratch;
    reader.FilePosition = tiffStart;
    WalkDirectory(42, reader, 0, scratch, dir);
    rec.Embedded = scratch.Embedded;
    if (!scratch.Make.empty())
        rec.Make = scratch.Make;
    rec.Model = scratch.Model;
    rec.ThumbWidth = scratch.ThumbWidth;
    rec.ThumbHeight = scratch.ThumbHeight;
    rec.ThumbOffset = scratch.ThumbOffset;
    rec.ThumbLength = scratch.ThumbLength;
    rec.ThumbKind = scratch.ThumbKind;
    rec.ThumbBitsPerSample = scratch.ThumbBitsPerSample;
    rec.DateTaken = scratch.DateTaken;
    rec.ISO = scratch.ISO;
    rec.ExposureNum = scratch.ExposureNum;
    rec.ExposureDen = scratch.ExposureDen;
    rec.FNumberNum = scratch.FNumberNum;
    rec.FNumberDen = scratch.FNumberDen;
    rec.FocalNum = scratch.FocalNum;
    rec.FocalDen = scratch.FocalDen;
    if (rec.ThumbLength > 0) {
        const std::uint64_t offset = rec.ThumbOffset + tiffStart;
        if (offset > 0xFFFFFFFFu) {
            // A thumbnail beyond what a 32-bit offset can name is not in this file.
            rec.ThumbOffset = 0;
            rec.ThumbLength = 0;
            rec.ThumbKind = kThumbNone;
        } else {
            rec.ThumbOffset = static_cast<std::uint32_t>(offset);
        }
    }
}

} // namespace

bool RecogniseMrw(TBytes data, TFoundFile& rec) {
    const TByteReader reader(data, true);
    std::uint8_t first = 0xFF, dataBits = 0;
    if (!reader.U8(0, first) || first != 0 || !reader.Matches(1, "MRM") || !reader.Matches(9, "PRD"))
        return false;
    std::uint32_t mrmSize = 0, prdSize = 0;
    std::uint16_t sensorHeight = 0, sensorWidth = 0, imageHeight = 0, imageWidth = 0;
    if (!reader.U32(4, mrmSize) || !reader.U32(12, prdSize) || !reader.U16(24, sensorHeight) ||
        !reader.U16(26, sensorWidth) || !reader.U16(28, imageHeight) || !reader.U16(30, imageWidth) ||
        !reader.U8(32, dataBits))
        return false;

    const std::uint64_t pixels = static_cast<std::uint64_t>(sensorHeight) * sensorWidth;
    std::uint64_t raw = pixels * 2;
    if (dataBits == 12) {
        // 1.5 bytes a pixel, a half rounded to the even neighbour.
        const std::uint64_t triple = pixels * 3;
        raw = triple / 2;
        if (triple % 2 != 0 && raw % 2 != 0)
            ++raw;
    }
    const std::uint64_t length = raw + mrmSize + 8;
    if (!SizeWithinLimit("MRW", length))
        return false;
    // Beyond the length an MRW always had, the header must describe a whole picture: an image
    // that fits on the sensor it was read from.
    if (length > kRafMrwClassicLimit && (imageWidth == 0 || imageHeight == 0 || imageWidth > sensorWidth ||
                                         imageHeight > sensorHeight || mrmSize >= length))
        return false;

    rec.Ext = "MRW";
    rec.FormatIndex = kNoIndex;
    rec.MakerIndex = kMakerMinolta;
    rec.Length = static_cast<std::int64_t>(length);
    // The raw data after the header's blocks is claimed by the sizes the header states.
    rec.ClaimFrom = static_cast<std::int64_t>(mrmSize) + 8;
    rec.Make = "Konica Minolta";
    rec.Width = imageWidth;
    rec.Height = imageHeight;

    // The blocks after the PRD block; the one named TTW holds a TIFF structure. A block
    // header that does not lie inside the data ends the walk with what is known.
    std::uint64_t pos = 16 + static_cast<std::uint64_t>(prdSize);
    for (;;) {
        std::uint32_t blockSize = 0;
        if (!reader.Has(pos, 8) || !reader.U32(pos + 4, blockSize))
            break;
        if (reader.Matches(pos + 1, "TTW")) {
            ReadMrwTiffBlock(data, pos + 8, rec);
            break;
        }
        pos += 8 + static_cast<std::uint64_t>(blockSize);
        if (pos + 20 > data.size())
            break;
    }
    return true;
}

bool RecogniseRaf(TBytes data, TFoundFile& rec) {
    const TByteReader reader(data, true);
    std::uint32_t previewOffset = 0, previewLength = 0, rawOffset = 0, rawLength = 0;
    if (!reader.Matches(0, "FUJIFILMCCD-RAW ") || !reader.U32(84, previewOffset) ||
        !reader.U32(88, previewLength) || !reader.U32(100, rawOffset) || !reader.U32(104, rawLength))
        return false;
    const std::uint64_t length = static_cast<std::uint64_t>(rawOffset) + rawLength;
    if (!SizeWithinLimit("RAF", length))
        return false;
    // Beyond the length a RAF always had, the header must describe a whole file: the raw data
    // after the header, and the JPEG preview inside the file.
    if (length > kRafMrwClassicLimit &&
        (rawOffset < kRafHeaderSize || std::uint64_t{previewOffset} + previewLength > length))
        return false;
    rec.Ext = "RAF";
    rec.FormatIndex = kNoIndex;
    rec.MakerIndex = kMakerFuji;
    rec.Length = static_cast<std::int64_t>(length);
    rec.Make = "FUJI Film";
    rec.ThumbKind = kThumbJpeg;
    rec.ThumbOffset = previewOffset;
    rec.ThumbLength = previewLength;
    rec.NoteEmbedded(previewOffset, previewLength);
    rec.NoteEmbedded(rawOffset, rawLength);
    // The raw data is claimed by the header alone.
    rec.ClaimFrom = rawOffset;
    return true;
}

} // namespace lumivore
