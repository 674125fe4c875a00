#include <gtest/gtest.h>

#include "EngineOnImage.h"
#include "preview/Decoders.h"
#include "preview/Thumbnails.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TiffBuilder.h"

using namespace lumivore;
using namespace lumivore::testkit;

namespace {

constexpr TRgb kPaint{200, 30, 40};

TBitmap Solid(int w, int h, TRgb colour) {
    TBitmap b(w, h);
    b.Fill(colour);
    return b;
}

// Checks a thumbnail pixel by pixel: the frame lines, the picture inside box, blank elsewhere.
void ExpectFramedBox(const TBitmap& thumb, const TRect& box, TRgb paint) {
    ASSERT_EQ(thumb.Width(), kThumbSize);
    ASSERT_EQ(thumb.Height(), kThumbSize);
    for (int y = 0; y < kThumbSize; ++y)
        for (int x = 0; x < kThumbSize; ++x) {
            const bool frame = x == 0 || y == 0 || x == kThumbSize - 1 || y == kThumbSize - 1;
            const bool inside = x >= box.Left && x < box.Right() && y >= box.Top && y < box.Bottom();
            const TRgb want = frame ? kFramePen : inside ? paint : kBlankColour;
            ASSERT_EQ(thumb.Pixel(x, y), want) << "at " << x << "," << y;
        }
}

} // namespace

TEST(Thumbnail, FitToBoxPlacesThePictureInsideTheFrame) {
    struct TCase {
        std::uint32_t W, H;
        TRect Box;
    } cases[] = {
        {200, 100, {1, 24, 93, 46}}, // drawn from (1, 24) to (94, 70)
        {100, 200, {24, 1, 46, 93}},
        {93, 93, {1, 1, 93, 93}},
        {94, 94, {1, 1, 93, 93}},
        {40, 30, {27, 32, 40, 30}}, // never enlarged
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.W << " x " << c.H);
        EXPECT_EQ(FitToBox(c.W, c.H), c.Box);
        const auto thumb = FramePicture(Solid(static_cast<int>(c.W), static_cast<int>(c.H), kPaint), c.W, c.H);
        ExpectFramedBox(*thumb, c.Box, kPaint);
    }
}

TEST(Thumbnail, PicturesOfTheBoxSizeAreCopiedAndLargerOnesAveraged) {
    const TRgbImage pattern = TRgbImage::Pattern(93, 93, 4);
    TBitmap exact(93, 93);
    for (int y = 0; y < 93; ++y)
        for (int x = 0; x < 93; ++x)
            exact.SetPixel(x, y, {pattern.Pixel(x, y)[0], pattern.Pixel(x, y)[1], pattern.Pixel(x, y)[2]});
    const auto thumb = FramePicture(exact, 93, 93);
    for (int y = 0; y < 93; ++y)
        for (int x = 0; x < 93; ++x)
            ASSERT_EQ(thumb->Pixel(x + 1, y + 1), exact.Pixel(x, y));

    // A one-pixel checkerboard shrunk to half its size is an even grey, not a sample of it.
    TBitmap board(186, 186);
    for (int y = 0; y < 186; ++y)
        for (int x = 0; x < 186; ++x)
            board.SetPixel(x, y, (x + y) % 2 ? TRgb{255, 255, 255} : TRgb{0, 0, 0});
    const auto grey = FramePicture(board, 186, 186);
    for (int y = 1; y < 94; y += 13)
        for (int x = 1; x < 94; x += 11)
            EXPECT_EQ(grey->Pixel(x, y), (TRgb{128, 128, 128})) << x << "," << y;
}

TEST(Thumbnail, SixteenBitStripsAreRootedAndBrightened) {
    EXPECT_EQ(SampleToByte(0), 0);
    EXPECT_EQ(SampleToByte(255), 15);
    EXPECT_EQ(SampleToByte(256), 16);
    EXPECT_EQ(SampleToByte(65535), 255);
    // Blue and green saturate from 37 on, red from 29 on; 0 stays 0.
    EXPECT_EQ(Brighten(0, 1500), 0);
    EXPECT_EQ(Brighten(36, 1500), 248);
    EXPECT_EQ(Brighten(37, 1500), 255);
    EXPECT_EQ(Brighten(28, 2000), 248);
    EXPECT_EQ(Brighten(29, 2000), 255);

    const std::uint8_t sample[] = {0x01, 0x00, 0x01, 0x00, 0x01, 0x00};
    TBitmap strip;
    ASSERT_TRUE(ConvertRgbStrip(sample, 1, 1, 16, strip));
    EXPECT_EQ(strip.Pixel(0, 0), (TRgb{142, 111, 111}));

    // Fewer samples than the strip's size: refused, nothing read past the range.
    EXPECT_FALSE(ConvertRgbStrip(TBytes(sample, 5), 1, 1, 16, strip));
    EXPECT_FALSE(ConvertRgbStrip(sample, 3, 1, 8, strip));
    EXPECT_FALSE(ConvertRgbStrip(sample, 1, 1, 12, strip));
}

namespace {

class EngineThumbnail : public lumivore::testing::EngineOnImage {
protected:
    // A record of a file at sector 8 whose thumbnail range is the given bytes at offset 1536.
    TFoundFile WithThumbnail(const char* ext, const TByteVector& thumbnail, std::uint8_t kind) {
        Open(TDiskImage(4000).Place(11, thumbnail));
        TFoundFile rec;
        rec.Ext = ext;
        rec.StartSector = 8;
        rec.ThumbOffset = 1536;
        rec.ThumbLength = static_cast<std::uint32_t>(thumbnail.size());
        rec.ThumbKind = kind;
        return rec;
    }
    // A record of a whole file at sector 20.
    TFoundFile WholeFile(const char* ext, const TByteVector& file) {
        Open(TDiskImage(4000).Place(20, file));
        TFoundFile rec;
        rec.Ext = ext;
        rec.StartSector = 20;
        rec.Length = static_cast<std::int32_t>(file.size());
        return rec;
    }
};

} // namespace

TEST_F(EngineThumbnail, JpegThumbnailRanges) {
    const TByteVector jpeg = EncodeJpeg(TRgbImage::Pattern(160, 120));
    // A JPG of unknown length still shows its EXIF thumbnail and keeps its recorded size.
    TFoundFile rec = WithThumbnail("JPG", jpeg, kThumbJpeg);
    rec.Length = -1;
    rec.Width = 4000;
    rec.Height = 3000;
    ASSERT_NE(Engine().MakeThumbnail(rec), nullptr);
    EXPECT_EQ(rec.Width, 4000);
    EXPECT_EQ(rec.Height, 3000);
    // A photo measured after the scan (its range still the EXIF thumbnail) keeps its size.
    rec.Length = 5'000'000;
    ASSERT_NE(Engine().MakeThumbnail(rec), nullptr);
    EXPECT_EQ(rec.Width, 4000);
    EXPECT_EQ(rec.Height, 3000);
    // When the range is the whole photo (a JPG the scan measured), the photo's size is recorded.
    rec = WholeFile("JPG", jpeg);
    rec.ThumbKind = kThumbJpeg;
    rec.ThumbLength = static_cast<std::uint32_t>(jpeg.size());
    rec.Width = 4000;
    const auto thumb = Engine().MakeThumbnail(rec);
    ASSERT_NE(thumb, nullptr);
    EXPECT_EQ(rec.Width, 160);
    EXPECT_EQ(rec.Height, 120);
    EXPECT_EQ(thumb->Pixel(0, 0), kFramePen);
    EXPECT_EQ(thumb->Pixel(47, 10), kBlankColour); // 160 x 120 fills rows 12 to 81
    EXPECT_NE(thumb->Pixel(47, 47), kBlankColour);

    // A Minolta preview lacks its first byte; it decodes only because that byte is restored.
    TByteVector damaged = jpeg;
    damaged[0] = 0x00;
    TFoundFile mrw = WithThumbnail("MRW", damaged, kThumbJpeg);
    EXPECT_NE(Engine().MakeThumbnail(mrw), nullptr);
    mrw.Ext = "ORF";
    EXPECT_EQ(Engine().MakeThumbnail(mrw), nullptr);
    // A RAF records its preview's size even with an unknown length.
    mrw.Ext = "RAF";
    mrw.Length = -1;
    Engine().MakeThumbnail(mrw);
    EXPECT_EQ(mrw.Width, 0);
    TFoundFile raf = WithThumbnail("RAF", jpeg, kThumbJpeg);
    raf.Length = -1;
    ASSERT_NE(Engine().MakeThumbnail(raf), nullptr);
    EXPECT_EQ(raf.Width, 160);
}

TEST_F(EngineThumbnail, RgbStripRanges) {
    const TRgbImage image = TRgbImage::Pattern(30, 20);
    TFoundFile rec = WithThumbnail("NEF", RgbStrip(image, 8), kThumbRgb);
    rec.ThumbWidth = 30;
    rec.ThumbHeight = 20;
    rec.ThumbBitsPerSample = 8;
    const auto thumb = Engine().MakeThumbnail(rec);
    ASSERT_NE(thumb, nullptr);
    const TRect box = FitToBox(30, 20);
    EXPECT_EQ(thumb->Pixel(box.Left + 5, box.Top + 7), (TRgb{image.Pixel(5, 7)[0], image.Pixel(5, 7)[1], image.Pixel(5, 7)[2]}));

    rec.ThumbLength -= 1; // one byte short of the strip
    EXPECT_EQ(Engine().MakeThumbnail(rec), nullptr);
    rec.ThumbLength += 1;
    rec.ThumbBitsPerSample = 12; // no fall-through to the type's own renderer
    EXPECT_EQ(Engine().MakeThumbnail(rec), nullptr);

    TFoundFile deep = WithThumbnail("PEF", RgbStrip(image, 16), kThumbRgb);
    deep.ThumbWidth = 30;
    deep.ThumbHeight = 20;
    deep.ThumbBitsPerSample = 16;
    EXPECT_NE(Engine().MakeThumbnail(deep), nullptr);
}

TEST_F(EngineThumbnail, WholeFileRenderersAndWhatTheyRecord) {
    const TRgbImage image = TRgbImage::Pattern(120, 80);
    TFoundFile png = WholeFile("PNG", EncodePng(image));
    ASSERT_NE(Engine().MakeThumbnail(png), nullptr);
    EXPECT_EQ(png.Width, 120);
    EXPECT_EQ(png.ThumbLength, static_cast<std::uint32_t>(png.Length));

    TFoundFile tif = WholeFile("TIF", EncodeTiffRgb(image, true));
    ASSERT_NE(Engine().MakeThumbnail(tif), nullptr);
    EXPECT_EQ(tif.Height, 80);

    TFoundFile gif = WholeFile("GIF", EncodeGif(image));
    ASSERT_NE(Engine().MakeThumbnail(gif), nullptr);
    EXPECT_EQ(gif.Width, 0); // the GIF renderer records nothing

    TByteVector bmpFile = EncodeBmp(image, 24);
    TFoundFile goodBmp = WholeFile("BMP", bmpFile);
    EXPECT_NE(Engine().MakeThumbnail(goodBmp), nullptr);
    bmpFile[28] = 2;
    TFoundFile bmp = WholeFile("BMP", bmpFile);
    EXPECT_EQ(Engine().MakeThumbnail(bmp), nullptr);

    // No picture for types without one, for unknown lengths, or for impossible lengths.
    for (const char* ext : {"CDR", "WAV"}) {
        TFoundFile other = WholeFile(ext, EncodePng(image));
        EXPECT_EQ(Engine().MakeThumbnail(other), nullptr) << ext;
    }
    png.Length = -7;
    Calls.clear();
    EXPECT_EQ(Engine().MakeThumbnail(png), nullptr);
    EXPECT_TRUE(Calls.empty());
}

TEST_F(EngineThumbnail, PreviewsAtFullSize) {
    const TRgbImage image = TRgbImage::Pattern(150, 90);
    struct TCase {
        const char* Ext;
        TByteVector File;
    } cases[] = {{"JPG", EncodeJpeg(image)}, {"PNG", EncodePng(image)},     {"GIF", EncodeGif(image)},
                 {"BMP", EncodeBmp(image, 8)}, {"DNG", EncodeTiffRgb(image)}};
    for (const TCase& c : cases) {
        TFoundFile rec = WholeFile(c.Ext, c.File);
        TBitmap target;
        ASSERT_TRUE(Engine().LoadPreview(rec, target)) << c.Ext;
        EXPECT_EQ(target.Width(), 150) << c.Ext;
        EXPECT_EQ(target.Height(), 90) << c.Ext;
    }
    TFoundFile png = WholeFile("PNG", EncodePng(image));
    TBitmap target;
    ASSERT_TRUE(Engine().LoadPreview(png, target));
    EXPECT_EQ(target, DecodePng(EncodePng(image)).Bitmap);

    TByteVector bmpFile = EncodeBmp(image, 24);
    bmpFile[28] = 2;
    TFoundFile bmp = WholeFile("BMP", bmpFile);
    EXPECT_FALSE(Engine().LoadPreview(bmp, target));
    TFoundFile broken = WholeFile("JPG", TByteVector(4000, 0x55));
    EXPECT_FALSE(Engine().LoadPreview(broken, target));
    TFoundFile wav = WholeFile("WAV", TByteVector(4000, 0x55));
    TBitmap untouched(3, 3);
    EXPECT_TRUE(Engine().LoadPreview(wav, untouched));
    EXPECT_EQ(untouched.Width(), 3);
    EXPECT_FALSE(Engine().Busy);
}

namespace {

// Bytes the engine asked of the device in the recorded reads.
std::uint64_t BytesAsked(const std::vector<std::pair<std::uint64_t, std::uint16_t>>& calls) {
    std::uint64_t bytes = 0;
    for (const auto& [first, count] : calls)
        bytes += std::uint64_t{count} * 512;
    return bytes;
}

} // namespace

// A TIFF whose embedded thumbnail claims 0xFFFFFFF0 bytes on a large card: read-back stays
// within the file's extent and the 50 MiB ceiling, so nothing of the claim is read at all,
// while an honest thumbnail of the same file still is.
TEST_F(EngineThumbnail, ThumbnailLengthBombReadsNothing) {
    const TByteVector jpeg = EncodeJpeg(TRgbImage::Pattern(64, 48));
    auto tiff = [&](std::uint32_t claimedLength) {
        TTiffBuilder b;
        const auto dir = b.AddDirectory();
        b.Long(dir, 0x0100, {64});
        b.Long(dir, 0x0101, {48});
        b.Ascii(dir, 0x010F, "Canon");
        const auto data = b.AddData(jpeg);
        b.Pointer(dir, 0x0201, data);
        b.Long(dir, 0x0202, {claimedLength});
        b.Strips(dir, {data});
        return b.Build();
    };
    constexpr std::uint64_t kCardSectors = 1ull << 20; // 512 MiB, sparse
    for (const bool honest : {false, true}) {
        const TByteVector file = tiff(honest ? static_cast<std::uint32_t>(jpeg.size()) : 0xFFFFFFF0u);
        Open(TDiskImage(kCardSectors).Place(64, file));
        Engine().Scan(0, 200, nullptr, nullptr, nullptr);
        ASSERT_EQ(Engine().FoundFiles.size(), 1u);
        TFoundFile rec = Engine().FoundFiles[0];
        ASSERT_EQ(rec.ThumbKind, kThumbJpeg);
        for (const std::int32_t length : {rec.Length, kUnknownLength}) {
            rec.Length = length;
            Calls.clear();
            const auto thumb = Engine().MakeThumbnail(rec);
            if (honest) {
                EXPECT_NE(thumb, nullptr) << length;
                EXPECT_LE(BytesAsked(Calls), 4096u) << length;
            } else {
                EXPECT_EQ(thumb, nullptr) << length;
                EXPECT_EQ(BytesAsked(Calls), 0u) << length;
            }
        }
        // A range past a known length is refused too, though the ceiling would allow it.
        rec.Length = static_cast<std::int32_t>(rec.ThumbOffset + 10);
        rec.ThumbLength = 11;
        Calls.clear();
        TMemoryStream stream;
        EXPECT_FALSE(Engine().ReadThumbnailRange(rec, stream));
        EXPECT_TRUE(Calls.empty());
        EXPECT_EQ(stream.Size(), 0u);
    }
}

namespace lumivore {
namespace {

// Pictures whose length the scan could not see and that embed no thumbnail are read back once,
// measured, and drawn from what was read.
class MeasuredThumbnail : public lumivore::testing::EngineOnImage {
protected:
    TFoundFile Unmeasured(const char* ext, const TByteVector& file) {
        TByteVector placed = file;
        placed.resize(placed.size() + 3000, 0x5A); // what follows the file on the card
        Open(TDiskImage(30000).Place(40, placed));
        TFoundFile rec;
        rec.Ext = ext;
        rec.StartSector = 40;
        rec.Length = -1;
        return rec;
    }
};

TEST_F(MeasuredThumbnail, EveryDecodablePictureGetsOneAndItsLength) {
    const TRgbImage image = TRgbImage::Pattern(1600, 1200, 3);
    const TByteVector jpeg = EncodeJpeg(image, 90);
    TFoundFile rec = Unmeasured("JPG", jpeg);
    const auto thumb = Engine().MakeThumbnail(rec);
    ASSERT_NE(thumb, nullptr);
    EXPECT_EQ(rec.Length, static_cast<std::int32_t>(jpeg.size()));
    EXPECT_EQ(rec.Width, 1600);
    EXPECT_EQ(rec.Height, 1200);
    EXPECT_NE(thumb->Pixel(47, 47), kBlankColour);
    // Measured once: the record now names the whole file as its range, so the next thumbnail
    // reads just the file's sectors and not the measuring window again.
    EXPECT_EQ(rec.ThumbKind, kThumbJpeg);
    EXPECT_EQ(rec.ThumbLength, jpeg.size());
    Calls.clear();
    ASSERT_NE(Engine().MakeThumbnail(rec), nullptr);
    std::uint64_t sectors = 0;
    for (const auto& call : Calls)
        sectors += call.second;
    EXPECT_EQ(sectors, (jpeg.size() + 511) / 512);

    const TRgbImage small = TRgbImage::Pattern(120, 80);
    for (const auto& [ext, bytes] : {std::pair<const char*, TByteVector>{"PNG", EncodePng(small)},
                                     {"GIF", EncodeGif(small)},
                                     {"TIF", EncodeTiffRgb(small)}}) {
        TFoundFile other = Unmeasured(ext, bytes);
        EXPECT_NE(Engine().MakeThumbnail(other), nullptr) << ext;
        // The TIFF walk ends at the last byte its structure names, which may be short of the
        // builder's padding; what counts is that the length is now known and is the range.
        EXPECT_GT(other.Length, 0) << ext;
        EXPECT_LE(other.Length, static_cast<std::int32_t>(bytes.size())) << ext;
        EXPECT_EQ(other.ThumbLength, static_cast<std::uint32_t>(other.Length)) << ext;
    }
}

TEST_F(MeasuredThumbnail, DamagedOrUnmeasurableFilesFailQuietly) {
    // A JPEG whose end lies beyond what is read back is drawn from the part that was read:
    // noise does not compress, so this one is longer than the 5,120,000-byte window.
    TRgbImage noise;
    noise.Width = 2000;
    noise.Height = 1400;
    noise.Pixels.resize(static_cast<std::size_t>(noise.Width) * noise.Height * 3);
    std::uint32_t state = 12345;
    for (std::uint8_t& b : noise.Pixels) {
        state = state * 1664525u + 1013904223u;
        b = static_cast<std::uint8_t>(state >> 24);
    }
    const TByteVector big = EncodeJpeg(noise, 100);
    ASSERT_GT(big.size(), 5'120'000u);
    TFoundFile truncated = Unmeasured("JPG", big);
    EXPECT_NE(Engine().MakeThumbnail(truncated), nullptr);
    EXPECT_EQ(truncated.ThumbKind, kThumbNone);
    EXPECT_EQ(truncated.Length, -1);

    // Not a picture at all where the scan saw one, a type without a measure, a busy engine.
    TFoundFile junk = Unmeasured("PNG", TByteVector(4000, 0x33));
    EXPECT_EQ(Engine().MakeThumbnail(junk), nullptr);
    TFoundFile wav = Unmeasured("WAV", EncodePng(TRgbImage::Pattern(50, 50)));
    Calls.clear();
    EXPECT_EQ(Engine().MakeThumbnail(wav), nullptr);
    EXPECT_TRUE(Calls.empty());
    TFoundFile png = Unmeasured("PNG", EncodePng(TRgbImage::Pattern(50, 50)));
    Engine().Busy = true;
    EXPECT_EQ(Engine().MakeThumbnail(png), nullptr);
    EXPECT_EQ(png.Length, -1);
    Engine().Busy = false;
}

TEST_F(MeasuredThumbnail, PreviewOfAJpegLongerThanTheReadBackWindow) {
    // 5.5 MB of comment segments ahead of the picture: the end lies beyond the first window.
    TJpegBuilder builder;
    const TByteVector padding(65000, 0x20);
    for (int i = 0; i < 85; ++i)
        builder.Segment(0xFE, padding);
    const TByteVector jpeg = builder.Picture(EncodeJpeg(TRgbImage::Pattern(300, 200, 5))).Build();
    ASSERT_GT(jpeg.size(), 5'120'000u);
    TFoundFile rec = Unmeasured("JPG", jpeg);
    TBitmap picture;
    ASSERT_TRUE(Engine().LoadPreview(rec, picture));
    EXPECT_EQ(picture.Width(), 300);
    EXPECT_EQ(rec.Length, static_cast<std::int32_t>(jpeg.size()));
    EXPECT_FALSE(Engine().Busy);
    // Types without a measure are not read over the long windows.
    TFoundFile wav = Unmeasured("WAV", jpeg);
    Calls.clear();
    EXPECT_FALSE(Engine().LoadPreview(wav, picture));
    EXPECT_TRUE(Calls.empty());
}

} // namespace
} // namespace lumivore
