// JPEG, GIF, PNG and bitmap recognisers and their length measures.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "formats/Measure.h"
#include "formats/PhotoFormats.h"
#include "formats/Recognisers.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TiffBuilder.h"

#include <zlib.h>

namespace lumivore {
namespace {

using testkit::TByteVector;

// The length the measure of that kind finds over data.
std::int64_t Measured(const char* ext, TBytes data) {
    TFoundFile rec;
    rec.Ext = ext;
    return MeasureLength(rec, data);
}

TByteVector Padded(TByteVector bytes, std::size_t total, std::uint8_t fill = 0) {
    bytes.resize(std::max(bytes.size(), total), fill);
    return bytes;
}

// A little-endian TIFF block whose first directory names Make and a JPEG thumbnail of
// thumbLength bytes at thumbOffset (the thumbnail bytes themselves are placed when they fit).
TByteVector ExifTiff(std::uint32_t thumbOffset, std::uint32_t thumbLength, const char* make = "Testcam") {
    TByteVector t = {'I', 'I', 42, 0, 8, 0, 0, 0};
    auto put16 = [&](std::uint32_t v) { t.push_back(v & 0xFF), t.push_back((v >> 8) & 0xFF); };
    auto put32 = [&](std::uint32_t v) { put16(v & 0xFFFF), put16(v >> 16); };
    const std::uint32_t makeLength = static_cast<std::uint32_t>(std::strlen(make)) + 1;
    const std::uint32_t makeOffset = 8 + 2 + 3 * 12 + 4;
    put16(3);
    put16(0x010F), put16(2), put32(makeLength), put32(makeOffset);
    put16(0x0201), put16(4), put32(1), put32(thumbOffset);
    put16(0x0202), put16(4), put32(1), put32(thumbLength);
    put32(0);
    t.insert(t.end(), make, make + makeLength);
    if (thumbOffset < 0x10000) {
        t.resize(std::max<std::size_t>(t.size(), thumbOffset), 0);
        for (std::uint32_t i = 0; i < thumbLength && i < 0x10000; ++i)
            t.push_back(static_cast<std::uint8_t>(i & 0x7F));
    }
    return t;
}

// Runs fn on every proper prefix of bytes, each in its own allocation of exactly that size so
// that the sanitizer sees any read past it.
template <typename Fn>
void ForEveryPrefix(const TByteVector& bytes, Fn fn) {
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        const TByteVector prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        fn(TBytes(prefix), n);
    }
}

// ---- JPEG ----------------------------------------------------------------------------------

TEST(JpegRecognise, SignatureNeedsThirdFfAndNoSecondSoi) {
    TFoundFile rec;
    const TByteVector soiTwice = Padded({0xFF, 0xD8, 0xFF, 0xD8}, 512);
    EXPECT_FALSE(RecogniseJpeg(soiTwice, rec));
    const TByteVector app0 = Padded({0xFF, 0xD8, 0xFF, 0xE0}, 512);
    EXPECT_TRUE(RecogniseJpeg(app0, rec));
    EXPECT_EQ(rec.Ext, "JPG");
    EXPECT_EQ(rec.FormatIndex, 1);
    EXPECT_EQ(rec.MakerIndex, kNoIndex);
    const TByteVector noThirdFf = Padded({0xFF, 0xD8, 0x00, 0xE0}, 512);
    EXPECT_FALSE(RecogniseJpeg(noThirdFf, rec));
}

TEST(JpegRecognise, CompleteFileIsItsOwnThumbnail) {
    testkit::TJpegBuilder b;
    b.Jfif();
    const std::size_t scanStart = b.Size();
    b.FakeScan(300'000 - scanStart - 10 - 2);
    const TByteVector data = Padded(b.Build(), 512'000, 0x55);
    ASSERT_EQ(b.Size(), 300'000u);
    TFoundFile rec;
    ASSERT_TRUE(RecogniseJpeg(data, rec));
    EXPECT_EQ(rec.Length, 300'000);
    EXPECT_EQ(rec.ThumbKind, kThumbJpeg);
    EXPECT_EQ(rec.ThumbOffset, 0u);
    EXPECT_EQ(rec.ThumbLength, 300'000u);
}

TEST(JpegRecognise, RealEncodedPictureMeasuresToItsEnd) {
    const TByteVector jpeg = testkit::EncodeJpeg(testkit::TRgbImage::Pattern(320, 240, 3));
    const TByteVector data = Padded(jpeg, jpeg.size() + 4096, 0xFF); // 0xFF after the file
    TFoundFile rec;
    EXPECT_EQ(Measured("JPG", data), static_cast<std::int64_t>(jpeg.size()));
    EXPECT_EQ(Measured("JPG", jpeg), static_cast<std::int64_t>(jpeg.size()));
}

TEST(JpegExif, ThumbnailOffsetCountsFromFileStartWhenEoiIsBeyondData) {
    testkit::TJpegBuilder b;
    b.Exif(ExifTiff(0x200, 100)).FakeScan(5000, false);
    const TByteVector data = b.Build();
    TFoundFile rec;
    ASSERT_TRUE(RecogniseJpeg(data, rec));
    EXPECT_EQ(rec.Length, -1);
    EXPECT_EQ(rec.Make, "Testcam");
    EXPECT_EQ(rec.ThumbKind, kThumbJpeg);
    EXPECT_EQ(rec.ThumbOffset, 0x200u + 12);
    EXPECT_EQ(rec.ThumbLength, 100u);
    EXPECT_EQ(rec.Ext, "JPG"); // the TIFF block's own values are overwritten
}

TEST(JpegExif, NonTiffSecondApp1DoesNotShiftThumbnailAgain) {
    testkit::TJpegBuilder b;
    const TByteVector notTiff = {'h', 't', 't', 'p', ':', '/', '/', 'x', 'x', 'x'};
    b.Exif(ExifTiff(0x200, 100)).Segment(0xE1, notTiff).FakeScan(100, false);
    TFoundFile rec;
    ASSERT_TRUE(RecogniseJpeg(b.Build(), rec));
    EXPECT_EQ(rec.ThumbOffset, 0x200u + 12);
    EXPECT_EQ(rec.Make, "Testcam");
}

TEST(JpegExif, LastAcceptedTiffBlockWins) {
    testkit::TJpegBuilder b;
    b.Exif(ExifTiff(0x200, 100, "First"));
    const std::size_t second = b.Size();
    b.Exif(ExifTiff(0x40, 50, "Second")).FakeScan(100, false);
    TFoundFile rec;
    ASSERT_TRUE(RecogniseJpeg(b.Build(), rec));
    EXPECT_EQ(rec.Make, "Second");
    EXPECT_EQ(rec.ThumbOffset, 0x40u + second + 10);
    EXPECT_EQ(rec.ThumbLength, 50u);
}

TEST(JpegExif, UnaddressableThumbnailIsDropped) {
    testkit::TJpegBuilder b;
    b.Exif(ExifTiff(0xFFFFFFF8u, 4)).FakeScan(100, false);
    TFoundFile rec;
    ASSERT_TRUE(RecogniseJpeg(b.Build(), rec));
    EXPECT_EQ(rec.Make, "Testcam");
    EXPECT_EQ(rec.ThumbLength, 0u);
    EXPECT_EQ(rec.ThumbKind, kThumbNone);
}

TEST(JpegMeasure, MarkerWalkRules) {
    TFoundFile rec;
    // A fill byte between two segments moves the walk by one byte.
    testkit::TJpegBuilder fill;
    const std::uint8_t ff[] = {0xFF};
    fill.Jfif().Bytes(ff).FakeScan(50);
    EXPECT_EQ(Measured("JPG", Padded(fill.Build(), 512)), static_cast<std::int64_t>(fill.Size()));
    // EOI before any SOS ends the measure at once.
    const std::uint8_t eoi[] = {0xFF, 0xD9};
    testkit::TJpegBuilder early;
    early.Jfif().Bytes(eoi).FakeScan(50);
    EXPECT_EQ(Measured("JPG", Padded(early.Build(), 512)), 22);
    // Standalone markers (RSTn, TEM) carry no length.
    const std::uint8_t standalone[] = {0xFF, 0xD0, 0xFF, 0x01};
    testkit::TJpegBuilder rst;
    rst.Bytes(standalone).FakeScan(10);
    EXPECT_EQ(Measured("JPG", Padded(rst.Build(), 512)), static_cast<std::int64_t>(rst.Size()));
    // A byte other than 0xFF where a marker must stand: the length is unknown.
    testkit::TJpegBuilder lost;
    const std::uint8_t junk[] = {0x12, 0x34};
    lost.Jfif().Bytes(junk).FakeScan(10);
    EXPECT_EQ(Measured("JPG", Padded(lost.Build(), 512)), -1);
}

TEST(JpegMeasure, SegmentLengthAtDataEndIsNotRead) {
    TFoundFile rec;
    // Marker at size - 2 and size - 3: its length bytes lie (partly) outside the data.
    const TByteVector atEnd2 = {0xFF, 0xD8, 0xFF, 0xE0};
    EXPECT_EQ(Measured("JPG", atEnd2), -1);
    const TByteVector atEnd3 = {0xFF, 0xD8, 0xFF, 0xE0, 0x00};
    EXPECT_EQ(Measured("JPG", atEnd3), -1);
    const TByteVector tooShort = {0xFF, 0xD8};
    EXPECT_EQ(Measured("JPG", tooShort), -1);
}

// The end-marker search goes on as far as the data does: a file whose end the data does not
// reach has no length, never the place where a search gave up.
TEST(JpegMeasure, AnEndMarkerBeyondTheDataLeavesTheLengthUnknown) {
    testkit::TJpegBuilder b;
    b.FakeScan(3000);
    const TByteVector file = b.Build();
    EXPECT_EQ(Measured("JPG", file), static_cast<std::int64_t>(file.size()));
    for (std::size_t n : {std::size_t{900}, file.size() - 1}) {
        const TByteVector cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_EQ(Measured("JPG", cut), -1) << n;
    }
}

TEST(JpegMeasure, EveryTruncationIsUnknownOrShorter) {
    testkit::TJpegBuilder b;
    b.Exif(ExifTiff(0x80, 16)).Picture(testkit::EncodeJpeg(testkit::TRgbImage::Pattern(16, 16)));
    const TByteVector file = b.Build();
    ForEveryPrefix(file, [](TBytes prefix, std::size_t n) {
        TFoundFile rec;
        const bool accepted = RecogniseJpeg(prefix, rec);
        EXPECT_EQ(accepted, n >= 4);
        if (accepted) {
            EXPECT_EQ(rec.Length, -1) << n;
        }
    });
}

// ---- GIF -----------------------------------------------------------------------------------

TEST(GifMeasure, Version87aStopsAtByteAfterLastImage) {
    testkit::TGifBuilder b(false, 4, 4, 1);
    b.RawImage(4, 4, 0, {10});
    const std::size_t after = b.Size();
    const std::uint8_t extension[] = {0x21, 0xF9, 0x04, 0, 0, 0, 0, 0, 0x3B};
    const TByteVector data = Padded(b.Bytes(extension).Build(), 512);
    TFoundFile rec;
    ASSERT_TRUE(RecogniseGif(data, rec));
    EXPECT_EQ(rec.Length, static_cast<std::int64_t>(after));
    EXPECT_EQ(rec.Width, 4);
    EXPECT_EQ(rec.Ext, "GIF");
    EXPECT_EQ(rec.FormatIndex, 2);
}

TEST(GifMeasure, Version89aImageThenGraphicControlThenTrailer) {
    testkit::TGifBuilder b(true, 4, 4, 1);
    b.RawImage(4, 4, 0, {10, 3}).GraphicControl();
    const std::size_t trailer = b.Size();
    const TByteVector data = Padded(b.Trailer().Build(), 512);
    EXPECT_EQ(Measured("GIF", data), static_cast<std::int64_t>(trailer + 1));
}

TEST(GifMeasure, GlobalColourTableOf256Entries) {
    testkit::TGifBuilder b(false, 2, 2, 8);
    const TByteVector header = b.Build();
    ASSERT_EQ(header[10], 0xF7);
    ASSERT_EQ(header.size(), 13u + 768);
    b.RawImage(2, 2, 0, {4}).Trailer();
    // Image descriptor 10 + code size 1 + block 5 + terminator 1 + trailer 1.
    EXPECT_EQ(Measured("GIF", Padded(b.Build(), 1024)), 13 + 768 + 18);
}

TEST(GifMeasure, LeadingExtensionsAndEncodedPictures) {
    testkit::TGifBuilder b(true, 40, 30, 8);
    b.Looping().Comment(std::string(600, 'c')).GraphicControl(5);
    testkit::TGifImage image;
    image.Width = 40;
    image.Height = 30;
    image.LocalTableBits = 4;
    b.Image(image).Trailer();
    const TByteVector file = b.Build();
    EXPECT_EQ(Measured("GIF", Padded(file, file.size() + 512)), static_cast<std::int64_t>(file.size()));
    const TByteVector encoded = testkit::EncodeGif(testkit::TRgbImage::Pattern(100, 80));
    EXPECT_EQ(Measured("GIF", Padded(encoded, encoded.size() + 512)), static_cast<std::int64_t>(encoded.size()));
}

TEST(GifMeasure, LeadingExtensionSubBlocksAreSkipped) {
    testkit::TGifBuilder b(true, 1, 1, 0);
    const TByteVector block(10, 'x');
    b.Extension(0xFE, {block, block, block}); // first sub-block at 15, then 26, 37, terminator 48
    const TByteVector data = Padded(b.Build(), 512);
    EXPECT_EQ(Measured("GIF", data), 49); // after the terminator, byte 0 is no image: its position
}

TEST(GifMeasure, StructuresRunningPastTheDataAreUnknown) {
    testkit::TGifBuilder b(true, 1, 1, 0);
    b.Extension(0xFE, {TByteVector(200, 'y'), TByteVector(200, 'z')});
    const TByteVector leading = b.Build(); // ends exactly with the terminator
    EXPECT_EQ(Measured("GIF", TByteVector(leading.begin(), leading.end() - 1)), -1);
    testkit::TGifBuilder img(true, 1, 1, 0);
    img.RawImage(1, 1, 0, {200, 200}).Trailer();
    const TByteVector whole = img.Build();
    ForEveryPrefix(whole, [](TBytes prefix, std::size_t n) {
        TFoundFile rec;
        if (RecogniseGif(prefix, rec)) {
            EXPECT_EQ(rec.Length, -1) << n;
        }
    });
}

TEST(GifRecognise, SignatureAndVersion) {
    TFoundFile rec;
    TByteVector data = Padded(testkit::TGifBuilder(true, 320, 200).Trailer().Build(), 1024);
    ASSERT_TRUE(RecogniseGif(data, rec));
    EXPECT_EQ(rec.Width, 320);
    EXPECT_EQ(rec.Height, 200);
    data[4] = '8';
    EXPECT_FALSE(RecogniseGif(data, rec)); // "88a"
}

// ---- PNG -----------------------------------------------------------------------------------

TEST(PngMeasure, ChunkWalkLengths) {
    testkit::TPngBuilder b;
    b.Chunk("IHDR", TByteVector(13)).Chunk("IDAT", TByteVector(1000)).Chunk("IEND", {});
    const TByteVector file = b.Build();
    EXPECT_EQ(file.size(), 1057u);
    EXPECT_EQ(Measured("PNG", file), 1057);
    TFoundFile rec;
    ASSERT_TRUE(RecognisePng(file, rec));
    EXPECT_EQ(rec.Length, 1057);
    EXPECT_EQ(rec.Ext, "PNG");
    EXPECT_EQ(rec.FormatIndex, 3);
    EXPECT_EQ(rec.Width, 0);
}

TEST(PngMeasure, TypeWithDigitEndsWalk) {
    testkit::TPngBuilder b;
    b.Chunk("IHDR", TByteVector(13));
    const std::size_t at = b.Size();
    b.Chunk("ID4T", TByteVector(20)).Chunk("IEND", {});
    EXPECT_EQ(Measured("PNG", b.Build()), static_cast<std::int64_t>(at + 8));
}

TEST(PngMeasure, ChunkSizeCeiling) {
    testkit::TPngBuilder big;
    big.Chunk("IHDR", TByteVector(13)).Header(5'242'880, "IDAT");
    const TByteVector data = Padded(big.Build(), 4096);
    EXPECT_EQ(Measured("PNG", data), 33 + 8);
    testkit::TPngBuilder below;
    below.Chunk("IHDR", TByteVector(13)).Header(5'242'879, "IDAT");
    EXPECT_EQ(Measured("PNG", Padded(below.Build(), 4096)), -1); // walked on, past the data
}

TEST(PngMeasure, ManyChunksAreWalkedToIend) {
    testkit::TPngBuilder b;
    b.Chunk("IHDR", TByteVector(13));
    for (int i = 0; i < 10; ++i)
        b.Chunk("IDAT", TByteVector(200));
    b.Chunk("IEND", {});
    const TByteVector file = b.Build();
    EXPECT_EQ(Measured("PNG", file), static_cast<std::int64_t>(file.size()));
    EXPECT_EQ(Measured("PNG", TByteVector(file.begin(), file.end() - 12)), -1); // IEND is not reached
}

TEST(PngMeasure, EncodedPictureAndEveryTruncation) {
    const TByteVector file = testkit::EncodePng(testkit::TRgbImage::Pattern(64, 48), 300);
    EXPECT_EQ(Measured("PNG", file), static_cast<std::int64_t>(file.size()));
    ForEveryPrefix(file, [&](TBytes prefix, std::size_t n) {
        TFoundFile rec;
        const bool accepted = RecognisePng(prefix, rec);
        EXPECT_EQ(accepted, n >= 8);
        // Only the last 4 bytes (IEND's CRC) may be missing for the end to be known.
        if (accepted && n < file.size() - 4) {
            EXPECT_EQ(rec.Length, -1) << n;
        }
    });
}

// ---- BMP -----------------------------------------------------------------------------------

TEST(BmpRecognise, EveryBitCountAndOrientation) {
    const testkit::TRgbImage image = testkit::TRgbImage::Pattern(37, 23);
    for (int bits : {1, 4, 8, 16, 24, 32}) {
        const TByteVector bottomUp = testkit::EncodeBmp(image, bits);
        TFoundFile rec;
        ASSERT_TRUE(RecogniseBmp(TBytes(bottomUp).first(std::min<std::size_t>(512, bottomUp.size())), rec)) << bits;
        EXPECT_EQ(rec.Length, static_cast<std::int64_t>(bottomUp.size())) << bits;
        EXPECT_EQ(rec.Width, 37);
        EXPECT_EQ(rec.Height, 23);
        EXPECT_EQ(rec.Ext, "BMP");
        EXPECT_EQ(rec.FormatIndex, 0);
        // A top-down bitmap stores a negative height, which the recogniser refuses.
        const TByteVector topDown = testkit::EncodeBmp(image, bits, true);
        EXPECT_FALSE(RecogniseBmp(topDown, rec)) << bits;
    }
}

TEST(BmpRecognise, SizeAndDimensionLimits) {
    TByteVector header = testkit::EncodeBmp(testkit::TRgbImage::Pattern(2, 2), 24);
    header.resize(54);
    auto set32 = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            header[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    TFoundFile rec;
    set32(18, 10'000);
    EXPECT_TRUE(RecogniseBmp(header, rec));
    set32(18, 10'001);
    EXPECT_FALSE(RecogniseBmp(header, rec));
    set32(18, 2);
    set32(22, 10'000);
    EXPECT_TRUE(RecogniseBmp(header, rec));
    set32(22, 10'001);
    EXPECT_FALSE(RecogniseBmp(header, rec));
    set32(22, 2);
    set32(2, 10'485'760);
    EXPECT_TRUE(RecogniseBmp(header, rec));
    EXPECT_EQ(rec.Length, 10'485'760);
    set32(2, 10'485'761);
    EXPECT_FALSE(RecogniseBmp(header, rec));
    set32(2, 100);
    EXPECT_FALSE(RecogniseBmp(TBytes(header).first(25), rec)); // header cut short
}

// ---- EXIF where it is not the first thing in the file ---------------------------------------

TByteVector CameraExif() {
    testkit::TCameraTiff camera;
    camera.make = "FUJIFILM";
    camera.model = "X-T5";
    camera.dateTaken = "2025:07:01 12:00:00";
    camera.iso = 320;
    camera.exposureNum = 1, camera.exposureDen = 500;
    camera.fNumberNum = 56, camera.fNumberDen = 10;
    camera.width = 7728, camera.height = 5152;
    return testkit::BuildCameraTiff(camera);
}

void ExpectCameraExif(const TFoundFile& rec) {
    EXPECT_EQ(rec.Make, "FUJIFILM");
    EXPECT_EQ(rec.Model, "X-T5");
    EXPECT_EQ(rec.DateTaken, "2025:07:01 12:00:00");
    EXPECT_EQ(rec.ISO, 320);
    EXPECT_EQ(rec.ExposureDen, 500u);
    EXPECT_EQ(rec.FNumberNum, 56u);
    EXPECT_EQ(rec.Width, 7728);
    EXPECT_EQ(rec.Height, 5152);
}

TEST(JpegExif, App1AfterJfifAdobeAndIccSegments) {
    const TByteVector icc(600, 0x42);
    const std::uint8_t adobe[] = {'A', 'd', 'o', 'b', 'e', 0, 100, 0, 0, 0, 0, 1};
    const TByteVector file =
        testkit::TJpegBuilder().Jfif().Segment(0xEE, adobe).Segment(0xE2, icc).Exif(CameraExif()).FakeScan(500).Build();
    TFoundFile rec;
    ASSERT_TRUE(RecogniseJpeg(Padded(file, file.size() + 512), rec));
    EXPECT_EQ(rec.Length, static_cast<std::int64_t>(file.size()));
    ExpectCameraExif(rec);
}

// A PNG with the given metadata chunk before its image data.
TByteVector PngWith(const char (&type)[5], const TByteVector& chunk) {
    const TByteVector picture = testkit::EncodePng(testkit::TRgbImage::Pattern(40, 30, 2));
    testkit::TPngBuilder b;
    // The encoded picture's chunks after its signature, with ours inserted after IHDR (8 + 25).
    b.Bytes(std::span(picture).subspan(8, 25));
    b.Chunk(type, chunk);
    b.Bytes(std::span(picture).subspan(33));
    return b.Build();
}

// "Raw profile type exif": a line with the name, one with the length, the bytes in hex.
TByteVector RawProfileText(const TByteVector& exif) {
    std::string text = "\nexif\n" + std::to_string(exif.size() + 6) + "\n";
    static const char kHex[] = "0123456789abcdef";
    TByteVector block = {'E', 'x', 'i', 'f', 0, 0};
    block.insert(block.end(), exif.begin(), exif.end());
    for (std::size_t i = 0; i < block.size(); ++i) {
        text += kHex[block[i] >> 4];
        text += kHex[block[i] & 15];
        if (i % 36 == 35)
            text += '\n';
    }
    const std::string keyword = "Raw profile type exif";
    TByteVector out(keyword.begin(), keyword.end());
    out.push_back(0);
    out.insert(out.end(), text.begin(), text.end());
    return out;
}

TEST(PngExif, ExifChunkAndRawProfileTextInEveryForm) {
    const TByteVector exif = CameraExif();
    const TByteVector text = RawProfileText(exif);
    // zTXt: the keyword, a zero, method 0, the zlib-compressed text.
    const std::size_t keyword = 22; // "Raw profile type exif" and its zero byte
    TByteVector ztxt(text.begin(), text.begin() + keyword);
    ztxt.push_back(0);
    uLongf packedSize = compressBound(static_cast<uLong>(text.size() - keyword));
    TByteVector packed(packedSize);
    ASSERT_EQ(compress(packed.data(), &packedSize, text.data() + keyword, static_cast<uLong>(text.size() - keyword)), Z_OK);
    ztxt.insert(ztxt.end(), packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(packedSize));

    const TByteVector files[] = {PngWith("eXIf", exif), PngWith("tEXt", text), PngWith("zTXt", ztxt)};
    for (const TByteVector& png : files) {
        TFoundFile rec;
        ASSERT_TRUE(RecognisePng(png, rec));
        EXPECT_EQ(rec.Length, static_cast<std::int64_t>(png.size()));
        ExpectCameraExif(rec);
    }

    // Damage reads nothing and breaks nothing: a hex text cut short, a chunk past the data.
    TByteVector cut = text;
    cut.resize(text.size() - 40);
    TFoundFile rec;
    ASSERT_TRUE(RecognisePng(PngWith("tEXt", cut), rec));
    EXPECT_EQ(rec.Make, "");
    const TByteVector whole = PngWith("eXIf", exif);
    ASSERT_TRUE(RecognisePng(TBytes(whole).first(60), rec));
    EXPECT_EQ(rec.Length, kUnknownLength);
    EXPECT_EQ(rec.Make, "");
}

} // namespace
} // namespace lumivore
