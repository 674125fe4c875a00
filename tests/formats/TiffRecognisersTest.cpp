#include <gtest/gtest.h>

#include "engine/FileTypes.h"
#include "formats/Recognisers.h"
#include "formats/TiffWalker.h"
#include "testkit/TiffBuilder.h"

using namespace lumivore;
using namespace lumivore::testkit;

namespace {

TByteVector FakeJpeg(std::size_t size) {
    TByteVector j(size, 0x11);
    j[0] = 0xFF, j[1] = 0xD8, j[size - 2] = 0xFF, j[size - 1] = 0xD9;
    return j;
}

// A one-directory structure with a Make and, optionally, DNGVersion and ImageWidth.
TByteVector MakerTiff(const std::string& make, bool dng, bool width, bool bigEndian = false) {
    TTiffBuilder b(bigEndian);
    const auto dir = b.AddDirectory();
    if (width)
        b.Short(dir, 0x0100, {640});
    b.Ascii(dir, 0x010F, make);
    if (dng)
        b.Raw(dir, 0xC612, kTiffByte, 4, {1, 4, 0, 0});
    return b.Build();
}

struct TExpectedType {
    std::string ext;
    std::uint8_t format;
    std::uint8_t maker;
};

TExpectedType Classify(const TByteVector& data) {
    TFoundFile rec;
    if (!RecogniseTiff(data, rec))
        return {"rejected", 0, 0};
    return {rec.Ext, rec.FormatIndex, rec.MakerIndex};
}

void ExpectType(const TByteVector& data, const std::string& ext, std::uint8_t format, std::uint8_t maker) {
    const TExpectedType t = Classify(data);
    EXPECT_EQ(t.ext, ext);
    EXPECT_EQ(t.format, format) << ext;
    EXPECT_EQ(t.maker, maker) << ext;
}

} // namespace

TEST(RecogniseTiffHeader, SignatureAndFirstDirectoryLimit) {
    TFoundFile rec;
    EXPECT_FALSE(RecogniseTiff(TByteVector{'I', 'M', 42, 0, 8, 0, 0, 0}, rec));
    EXPECT_FALSE(RecogniseTiff(TByteVector{'I', 'I', 42}, rec));
    EXPECT_FALSE(RecogniseTiff(TByteVector{}, rec));

    // An offset of 15,728,640 is walked; one more is rejected before any walk.
    TTiffBuilder b;
    b.PadTo(15728640);
    const auto dir = b.AddDirectory();
    b.Ascii(dir, 0x010F, "Nikon");
    const TByteVector far = b.Build();
    ASSERT_EQ(b.Position(dir), 15728640u);
    ASSERT_TRUE(RecogniseTiff(far, rec));
    EXPECT_EQ(rec.Ext, "NEF");
    TByteVector beyond = far;
    beyond[4] = 1; // 15,728,641
    EXPECT_FALSE(RecogniseTiff(beyond, rec));

    // The record is cleared before the walk.
    rec.Reset();
    rec.Model = "from before";
    rec.ISO = 99;
    ASSERT_TRUE(RecogniseTiff(MakerTiff("Leica", false, false, true), rec));
    EXPECT_EQ(rec.Model, "");
    EXPECT_EQ(rec.ISO, 0);
}

TEST(RecogniseTiffHeader, LengthLimitAndTruncation) {
    auto withEnd = [](std::uint32_t end) {
        TTiffBuilder b;
        const auto dir = b.AddDirectory();
        b.Fixed(dir, 0xC000, kTiffUndefined, 100, end - 100);
        return b.Build();
    };
    // A structure read whole is measured up to 1 GiB, past the 50 MiB that lost large raws;
    // a value that ends beyond it is refused.
    TFoundFile rec;
    ASSERT_TRUE(RecogniseTiff(withEnd(52428801), rec));
    EXPECT_EQ(rec.Length, 52428801);
    ASSERT_TRUE(RecogniseTiff(withEnd(1073741824), rec));
    EXPECT_EQ(rec.Length, 1073741824);
    EXPECT_FALSE(RecogniseTiff(withEnd(1073741825), rec));

    // A structure that runs past the data is accepted with its length unknown.
    TCameraTiff camera;
    camera.make = "Canon";
    camera.jpegThumbnail = FakeJpeg(3000);
    TByteVector data = BuildCameraTiff(camera);
    data.resize(data.size() - 3000 + 10);
    data.resize(100);
    ASSERT_TRUE(RecogniseTiff(data, rec));
    EXPECT_EQ(rec.Length, -1);
}

TEST(RecogniseTiffMakers, MakerTableInOrder) {
    TTiffBuilder cr2;
    cr2.SetHeaderExtra({'C', 'R', 2, 0, 0, 0, 0, 0});
    cr2.Ascii(cr2.AddDirectory(), 0x010F, "Canon");
    ExpectType(cr2.Build(), "CR2", kNoIndex, kMakerCanon);
    ExpectType(MakerTiff("Canon", true, false), "TIF", kFormatTiff, kMakerCanon);
    ExpectType(MakerTiff("EASTMAN KODAK COMPANY", false, false), "DCR", kNoIndex, kMakerKodak);
    ExpectType(MakerTiff("Leica Camera AG", false, false), "RAW", kNoIndex, kMakerLeica);
    ExpectType(MakerTiff("Mamiya-OP Co.,Ltd.", false, false), "MEF", kNoIndex, kMakerMamiya);
    ExpectType(MakerTiff("NIKON CORPORATION", false, false), "NEF", kNoIndex, kMakerNikon);
    ExpectType(MakerTiff("OLYMPUS IMAGING CORP.", false, false), "ORF", kNoIndex, kMakerOlympus);
    ExpectType(MakerTiff("Panasonic", false, false), "RAW", kNoIndex, kMakerPanasonic);
    ExpectType(MakerTiff("PENTAX Corporation", true, false), "DNG", kFormatDng, kMakerPentax);
    ExpectType(MakerTiff("PENTAX Corporation", false, false), "PEF", kNoIndex, kMakerPentax);
    ExpectType(MakerTiff("SAMSUNG", false, false), "DNG", kFormatDng, kMakerSamsung);
    ExpectType(MakerTiff("SONY", true, true), "DNG", kFormatDng, kMakerSony);
    ExpectType(MakerTiff("SONY", false, true), "ARW", kNoIndex, kMakerSony);
    ExpectType(MakerTiff("SONY", false, false), "SR2", kNoIndex, kMakerSony);
    ExpectType(MakerTiff("Hasselblad", true, false), "DNG", kFormatDng, kNoIndex);
    ExpectType(MakerTiff("Hasselblad", false, false), "TIF", kFormatTiff, kNoIndex);
    // The first matching row decides: a Make naming two makers is the earlier one's.
    ExpectType(MakerTiff("Leica by Panasonic", false, false), "RAW", kNoIndex, kMakerLeica);
}

TEST(RecogniseTiffMakers, KodakAddition) {
    TFoundFile rec;
    TCameraTiff camera;
    camera.make = "Kodak";
    camera.rawDataSize = 5000;
    const TByteVector data = BuildCameraTiff(camera);
    ASSERT_TRUE(RecogniseTiff(data, rec));
    EXPECT_EQ(rec.Length, static_cast<std::int32_t>(data.size()) + 102400);

    camera.jpegThumbnail = FakeJpeg(2000);
    TByteVector cut = BuildCameraTiff(camera);
    cut.resize(cut.size() - 2100);
    ASSERT_TRUE(RecogniseTiff(cut, rec));
    EXPECT_EQ(rec.Length, -1);
}

TEST(RecogniseTiffCrw, HeapSignature) {
    TByteVector crw(512, 0);
    const TByteVector head{'I', 'I', 26, 0, 0, 0, 'H', 'E', 'A', 'P', 'C', 'C', 'D', 'R'};
    std::copy(head.begin(), head.end(), crw.begin());
    TFoundFile rec;
    ASSERT_TRUE(RecogniseTiff(crw, rec));
    EXPECT_EQ(rec.Ext, "CRW");
    EXPECT_EQ(rec.Make, "Canon");
    EXPECT_EQ(rec.Length, 15728640);
    EXPECT_EQ(rec.MakerIndex, kMakerCanon);
    EXPECT_EQ(rec.FormatIndex, kNoIndex);
}

TEST(RecogniseTiffCamera, FullStructureBothByteOrders) {
    for (bool big : {false, true}) {
        TCameraTiff camera;
        camera.bigEndian = big;
        camera.make = "NIKON CORPORATION";
        camera.model = "NIKON D70";
        camera.dateTaken = "2004:06:09 16:02:35";
        camera.width = 3008;
        camera.height = 2000;
        camera.iso = 200;
        camera.exposureNum = 1, camera.exposureDen = 125;
        camera.fNumberNum = 56, camera.fNumberDen = 10;
        camera.focalNum = 18, camera.focalDen = 1;
        camera.rawDataSize = 20000;
        camera.jpegThumbnail = FakeJpeg(4000);
        TCameraTiffLayout layout;
        const TByteVector data = BuildCameraTiff(camera, &layout);
        TFoundFile rec;
        ASSERT_TRUE(RecogniseTiff(data, rec));
        EXPECT_EQ(rec.Ext, "NEF");
        EXPECT_EQ(rec.Length, static_cast<std::int32_t>(data.size()));
        EXPECT_EQ(rec.Width, 3008);
        EXPECT_EQ(rec.Height, 2000);
        EXPECT_EQ(rec.Model, "NIKON D70");
        EXPECT_EQ(rec.DateTaken, "2004:06:09 16:02:35");
        EXPECT_EQ(rec.ISO, 200);
        EXPECT_EQ(rec.ExposureDen, 125u);
        EXPECT_EQ(rec.FNumberNum, 56u);
        EXPECT_EQ(rec.FocalNum, 18u);
        EXPECT_EQ(rec.ThumbOffset, layout.thumbnailOffset);
        EXPECT_EQ(rec.ThumbLength, 4000u);
        EXPECT_EQ(rec.ThumbWidth, 160);
    }
}

TEST(RecogniseX3f, HeaderOnly) {
    TFoundFile rec;
    ASSERT_TRUE(RecogniseX3f(BuildX3fHeader(2268, 1512), rec));
    EXPECT_EQ(rec.Ext, "X3F");
    EXPECT_EQ(rec.Make, "Sigma");
    EXPECT_EQ(rec.MakerIndex, kMakerSigma);
    EXPECT_EQ(rec.Length, -1);
    EXPECT_EQ(rec.Width, 2268);
    EXPECT_EQ(rec.Height, 1512);
    TByteVector wrong = BuildX3fHeader(1, 1);
    wrong[3] = 'B';
    EXPECT_FALSE(RecogniseX3f(wrong, rec));
    EXPECT_FALSE(RecogniseX3f(TByteVector{'F', 'O', 'V', 'b'}, rec));
}

TEST(RecogniseRaf, LengthLimitAndPreview) {
    TRafLayout layout;
    layout.previewLength = 12000;
    layout.rawOffset = 100000;
    layout.rawLength = 104857600 - 100000;
    TFoundFile rec;
    ASSERT_TRUE(RecogniseRaf(BuildRaf(layout), rec));
    EXPECT_EQ(rec.Length, 104857600);
    EXPECT_EQ(rec.Make, "FUJI Film");
    EXPECT_EQ(rec.MakerIndex, kMakerFuji);
    EXPECT_EQ(rec.ThumbKind, kThumbJpeg);
    EXPECT_EQ(rec.ThumbOffset, 148u);
    EXPECT_EQ(rec.ThumbLength, 12000u);
    EXPECT_EQ(rec.Width, 0);
    // Up to 1 GiB when the header describes a whole file; beyond, refused.
    layout.rawLength = 1073741824 - 100000;
    ASSERT_TRUE(RecogniseRaf(BuildRaf(layout), rec));
    EXPECT_EQ(rec.Length, 1073741824);
    layout.rawLength += 1;
    EXPECT_FALSE(RecogniseRaf(BuildRaf(layout), rec));
    // Above the length RAF files always had, a preview that leaves the file or raw data that
    // starts inside the header is a header that does not describe a whole file.
    layout.rawLength = 200'000'000;
    layout.previewLength = 300'000'000;
    EXPECT_FALSE(RecogniseRaf(BuildRaf(layout), rec));
    layout.previewLength = 12000;
    layout.rawOffset = 100;
    EXPECT_FALSE(RecogniseRaf(BuildRaf(layout), rec));
    // Offset and length that wrap 32 bits are still far too large.
    layout.rawOffset = 0xFFFFFF00;
    layout.rawLength = 0x200;
    EXPECT_FALSE(RecogniseRaf(BuildRaf(layout), rec));
}

TEST(RecogniseMrw, RawSizeRounding) {
    TMrwLayout layout;
    layout.sensorHeight = 1000;
    layout.sensorWidth = 1001;
    layout.imageHeight = 998;
    layout.imageWidth = 999;
    layout.blocksBeforeTiff = {{"WBG", TByteVector(2000 - 8 - 24 - 8, 0)}};
    TFoundFile rec;
    TByteVector data = BuildMrw(layout);
    ASSERT_EQ(data.size(), 2008u); // an MRM block of 2000 bytes
    ASSERT_TRUE(RecogniseMrw(data, rec));
    EXPECT_EQ(rec.Length, 1503508);
    EXPECT_EQ(rec.Width, 999);
    EXPECT_EQ(rec.Height, 998);
    EXPECT_EQ(rec.Make, "Konica Minolta");
    EXPECT_EQ(rec.MakerIndex, kMakerMinolta);

    // 1 x 3 pixels of 12 bits: 4.5 bytes round to 4; 16-bit data takes 2 bytes a pixel.
    layout = {};
    layout.sensorHeight = 1, layout.sensorWidth = 3;
    data = BuildMrw(layout);
    ASSERT_TRUE(RecogniseMrw(data, rec));
    EXPECT_EQ(rec.Length, static_cast<std::int32_t>(4 + data.size()));
    layout.sensorWidth = 5; // 7.5 rounds to 8
    data = BuildMrw(layout);
    ASSERT_TRUE(RecogniseMrw(data, rec));
    EXPECT_EQ(rec.Length, static_cast<std::int32_t>(8 + data.size()));
    layout.dataBits = 16;
    data = BuildMrw(layout);
    ASSERT_TRUE(RecogniseMrw(data, rec));
    EXPECT_EQ(rec.Length, static_cast<std::int32_t>(10 + data.size()));

    // Beyond 1 GiB the file is rejected.
    layout.sensorHeight = layout.sensorWidth = 65535;
    EXPECT_FALSE(RecogniseMrw(BuildMrw(layout), rec));
    // Between 100 MiB and 1 GiB the header must describe a picture that fits on its sensor.
    layout.sensorHeight = 8000, layout.sensorWidth = 16000; // 256,000,000 bytes of 16-bit data
    layout.imageHeight = 7990, layout.imageWidth = 15990;
    data = BuildMrw(layout);
    ASSERT_TRUE(RecogniseMrw(data, rec));
    EXPECT_EQ(rec.Length, static_cast<std::int64_t>(256'000'000 + data.size()));
    layout.imageWidth = 16001;
    EXPECT_FALSE(RecogniseMrw(BuildMrw(layout), rec));
    layout.imageWidth = 0;
    EXPECT_FALSE(RecogniseMrw(BuildMrw(layout), rec));
}

TEST(RecogniseMrw, TiffBlockThumbnailAndMetadata) {
    TTiffBuilder tiff(true);
    const auto ifd0 = tiff.AddDirectory();
    const auto ifd1 = tiff.AddDirectory();
    tiff.Ascii(ifd0, 0x010F, "Konica Minolta Camera, Inc.");
    tiff.Ascii(ifd0, 0x0110, "DiMAGE A2");
    tiff.Short(ifd0, 0x0100, {9999});
    tiff.Chain(ifd0, ifd1);
    tiff.PadTo(0x1000);
    tiff.JpegThumbnail(ifd1, FakeJpeg(600));

    TMrwLayout layout;
    layout.sensorHeight = 2, layout.sensorWidth = 2;
    layout.imageHeight = 2, layout.imageWidth = 2;
    layout.blocksBeforeTiff = {{"WBG", TByteVector(80, 0)}};
    layout.tiff = tiff.Build();
    ASSERT_EQ(MrwTiffPosition(layout), 0x88u);
    const TByteVector data = BuildMrw(layout);
    TFoundFile rec;
    ASSERT_TRUE(RecogniseMrw(data, rec));
    EXPECT_EQ(rec.ThumbOffset, 0x1088u);
    EXPECT_EQ(rec.ThumbLength, 600u);
    EXPECT_EQ(rec.Make, "Konica Minolta Camera, Inc.");
    EXPECT_EQ(rec.Model, "DiMAGE A2");
    EXPECT_EQ(rec.Width, 2); // the MRW header decides the size

    // Cut inside the TTW block header or the TIFF: still an MRW with what is known.
    for (std::size_t cut : {std::size_t{0x88 - 6}, std::size_t{0x88 + 5}, std::size_t{0x88 + 40}}) {
        rec.Reset();
        const TByteVector head(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut));
        ASSERT_TRUE(RecogniseMrw(head, rec)) << cut;
        EXPECT_EQ(rec.Make, "Konica Minolta") << cut;
        EXPECT_EQ(rec.ThumbLength, 0u) << cut;
    }
    // A block size that points far away ends the block walk.
    TByteVector far = data;
    far[40 + 4] = 0x7F;
    rec.Reset();
    ASSERT_TRUE(RecogniseMrw(far, rec));
    EXPECT_EQ(rec.Model, "");
}

namespace {

// A TIFF whose writer put the image data first and the directory last.
TByteVector DirectoryLastTiff(std::size_t dataBytes, bool bigEndian = false, std::uint16_t marker = 42) {
    TTiffBuilder b(bigEndian, marker);
    const auto strip = b.AddData(TByteVector(dataBytes, 0x5A));
    const auto dir = b.AddDirectory();
    b.Long(dir, 0x0100, {640});
    b.Long(dir, 0x0101, {480});
    b.Ascii(dir, 0x010F, "Scanner");
    b.Strips(dir, {strip});
    b.SetFirst(dir);
    return b.Build();
}

} // namespace

TEST(RecogniseTiffLateDirectory, PastTheDataIsATiffOfUnknownLength) {
    const TByteVector whole = DirectoryLastTiff(600000);
    TFoundFile rec;
    ASSERT_TRUE(RecogniseTiff(whole, rec));
    EXPECT_EQ(rec.Length, static_cast<std::int32_t>(whole.size()));
    EXPECT_EQ(rec.Make, "Scanner");

    // What a scan sees of it: the first block only.
    const TBytes seen = TBytes(whole).first(512000);
    rec.Reset();
    rec.Make = "from before";
    ASSERT_TRUE(RecogniseTiff(seen, rec));
    EXPECT_EQ(rec.Ext, "TIF");
    EXPECT_EQ(rec.FormatIndex, kFormatTiff);
    EXPECT_EQ(rec.MakerIndex, kNoIndex);
    EXPECT_EQ(rec.Length, kUnknownLength);
    EXPECT_EQ(rec.Make, "");

    // Offsets no writer produces stay refused: odd, inside the header, past the limit, or under
    // a marker other than a plain TIFF's.
    auto withOffset = [&](std::uint32_t offset, std::uint16_t marker = 42) {
        TByteVector d(seen.begin(), seen.end());
        d[2] = static_cast<std::uint8_t>(marker);
        d[3] = 0;
        d[4] = static_cast<std::uint8_t>(offset), d[5] = static_cast<std::uint8_t>(offset >> 8);
        d[6] = static_cast<std::uint8_t>(offset >> 16), d[7] = static_cast<std::uint8_t>(offset >> 24);
        TFoundFile r;
        return RecogniseTiff(d, r);
    };
    EXPECT_TRUE(withOffset(600002));
    EXPECT_TRUE(withOffset(15728640));
    EXPECT_FALSE(withOffset(600001));
    EXPECT_FALSE(withOffset(15728642));
    EXPECT_FALSE(withOffset(0x55, 0x55));
    EXPECT_FALSE(withOffset(600002, 0x55));
    EXPECT_FALSE(withOffset(600002, 0x4F52)); // "RO" of an Olympus raw

    // The EXIF block of a JPEG lies whole inside its segment: a directory past it is damage.
    rec.Reset();
    EXPECT_FALSE(ReadTiffStructure(seen, rec, false));
}

// BigTIFF: 64-bit counts and offsets and 20-byte entries, with strips, tiles and a
// sub-directory, in both byte orders; measured like a classic TIFF.
TEST(RecogniseBigTiff, StripsTilesAndSubDirectoryBothByteOrders) {
    for (bool bigEndian : {false, true}) {
        TTiffBuilder b(bigEndian, kBigTiffMarker);
        const auto ifd0 = b.AddDirectory();
        const auto exif = b.AddDirectory();
        const auto sub = b.AddDirectory();
        const auto strip1 = b.AddData(TByteVector(3000, 1));
        const auto strip2 = b.AddData(TByteVector(2000, 2));
        const auto thumb = b.AddData(FakeJpeg(900));
        const auto tile1 = b.AddData(TByteVector(4096, 3));
        const auto tile2 = b.AddData(TByteVector(4096, 4));
        b.Long(ifd0, 0x0100, {6000});
        b.Long(ifd0, 0x0101, {4000});
        b.Ascii(ifd0, 0x010F, "Hasselblad");
        b.Ascii(ifd0, 0x0110, "X2D");
        b.Pointers(ifd0, 0x0111, {strip1, strip2}, kTiffLong8);
        b.Sizes(ifd0, 0x0117, {strip1, strip2}, kTiffLong8);
        b.Pointers(ifd0, 0x014A, {sub}, kTiffIfd8);
        b.Pointer(ifd0, 0x8769, exif, kTiffIfd8);
        b.Short(exif, 0x8827, {400});
        b.Rational(exif, 0x829A, 1, 250);
        b.Rational(exif, 0x829D, 28, 10);
        b.Ascii(exif, 0x9003, "2026:01:02 03:04:05");
        b.Short(sub, 0x0100, {256});
        b.Short(sub, 0x0103, {6});
        b.Pointers(sub, 0x0144, {tile1, tile2}, kTiffLong8);
        b.Sizes(sub, 0x0145, {tile1, tile2}, kTiffLong8);
        b.Pointer(sub, 0x0201, thumb, kTiffLong8);
        b.Sizes(sub, 0x0202, {thumb}, kTiffLong8);
        const TByteVector data = b.Build();

        TFoundFile rec;
        ASSERT_TRUE(RecogniseTiff(data, rec)) << bigEndian;
        EXPECT_EQ(rec.Ext, "TIF");
        EXPECT_EQ(rec.FormatIndex, kFormatTiff);
        EXPECT_EQ(rec.Length, static_cast<std::int32_t>(data.size()));
        EXPECT_EQ(rec.Width, 6000);
        EXPECT_EQ(rec.Height, 4000);
        EXPECT_EQ(rec.Make, "Hasselblad");
        EXPECT_EQ(rec.Model, "X2D");
        EXPECT_EQ(rec.ISO, 400);
        EXPECT_EQ(rec.ExposureNum, 1u);
        EXPECT_EQ(rec.ExposureDen, 250u);
        EXPECT_EQ(rec.FNumberNum, 28u);
        EXPECT_EQ(rec.DateTaken, "2026:01:02 03:04:05");
        EXPECT_EQ(rec.ThumbKind, kThumbJpeg);
        EXPECT_EQ(rec.ThumbOffset, b.Position(thumb));
        EXPECT_EQ(rec.ThumbLength, 900u);

        // Cut inside the tiles: the structure runs past the data.
        TFoundFile cut;
        ASSERT_TRUE(RecogniseTiff(TBytes(data).first(b.Position(tile1) + 10), cut));
        EXPECT_EQ(cut.Length, b.Position(tile2) + 4096);
    }
}

TEST(RecogniseBigTiff, HeaderChecksAndLoopGuards) {
    TTiffBuilder b(false, kBigTiffMarker);
    const auto dir = b.AddDirectory();
    b.Ascii(dir, 0x010F, "Leica");
    const TByteVector good = b.Build();
    TFoundFile rec;
    ASSERT_TRUE(RecogniseTiff(good, rec));
    EXPECT_EQ(rec.Ext, "RAW");

    TByteVector wrongSize = good;
    wrongSize[4] = 4; // offsets must be 8 bytes wide
    EXPECT_FALSE(RecogniseTiff(wrongSize, rec));
    TByteVector reserved = good;
    reserved[6] = 1;
    EXPECT_FALSE(RecogniseTiff(reserved, rec));
    TByteVector far = good;
    far[8] = 0x02, far[9] = 0, far[10] = 0xF0, far[11] = 0; // 15,728,642: past the limit
    EXPECT_FALSE(RecogniseTiff(far, rec));
    TByteVector high = good;
    high[12] = 1; // a 64-bit offset above 4 GiB
    EXPECT_FALSE(RecogniseTiff(high, rec));

    // A directory chained to itself, and one with 101 entries, are no structure.
    TTiffBuilder loop(true, kBigTiffMarker);
    const auto d = loop.AddDirectory();
    loop.Short(d, 0x0100, {10});
    loop.Chain(d, d);
    EXPECT_FALSE(RecogniseTiff(loop.Build(), rec));
    TTiffBuilder many(false, kBigTiffMarker);
    const auto m = many.AddDirectory();
    for (std::uint16_t t = 0; t < 101; ++t)
        many.Short(m, static_cast<std::uint16_t>(0xD000 + t), {1});
    EXPECT_FALSE(RecogniseTiff(many.Build(), rec));
    // A BigTIFF DNG is told by its DNGVersion like a classic one.
    TTiffBuilder dng(false, kBigTiffMarker);
    const auto dd = dng.AddDirectory();
    dng.Raw(dd, 0xC612, kTiffByte, 4, {1, 4, 0, 0});
    ASSERT_TRUE(RecogniseTiff(dng.Build(), rec));
    EXPECT_EQ(rec.Ext, "DNG");
}
