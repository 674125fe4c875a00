#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "preview/Decoders.h"
#include "testkit/ImageBuilder.h"
#include "testkit/PhotoBuilder.h"

using namespace lumivore;
using namespace lumivore::testkit;

namespace {

// Largest difference of any channel between the decoded bitmap and the picture.
int MaxDifference(const TBitmap& bitmap, const TRgbImage& image) {
    int worst = 0;
    for (int y = 0; y < image.Height; ++y)
        for (int x = 0; x < image.Width; ++x) {
            const TRgb got = bitmap.Pixel(x, y);
            const std::uint8_t* want = image.Pixel(x, y);
            worst = std::max({worst, std::abs(got.R - want[0]), std::abs(got.G - want[1]), std::abs(got.B - want[2])});
        }
    return worst;
}

struct TDecoderCase {
    std::string Name;
    std::function<TByteVector(const TRgbImage&)> Encode;
    std::function<TDecodedPicture(TBytes)> Decode;
    int Tolerance;         // lossy or palette-reduced encodings differ a little
    bool Palette = false;  // the encoder reduces the colours to its palette
};

std::vector<TDecoderCase> Cases() {
    return {
        {"jpeg", [](const TRgbImage& i) { return EncodeJpeg(i, 95); }, [](TBytes d) { return DecodeJpeg(d); }, 40},
        {"png", [](const TRgbImage& i) { return EncodePng(i); }, [](TBytes d) { return DecodePng(d); }, 0},
        {"gif", [](const TRgbImage& i) { return EncodeGif(i); }, [](TBytes d) { return DecodeGif(d); }, 0, true},
        {"tiff_le", [](const TRgbImage& i) { return EncodeTiffRgb(i, false, 7); }, [](TBytes d) { return DecodeTiff(d); }, 0},
        {"tiff_be", [](const TRgbImage& i) { return EncodeTiffRgb(i, true); }, [](TBytes d) { return DecodeTiff(d); }, 0},
        {"bmp24", [](const TRgbImage& i) { return EncodeBmp(i, 24); }, [](TBytes d) { return DecodeBmp(d); }, 0},
        {"bmp32_top_down", [](const TRgbImage& i) { return EncodeBmp(i, 32, true); }, [](TBytes d) { return DecodeBmp(d); }, 0},
        {"bmp16", [](const TRgbImage& i) { return EncodeBmp(i, 16); }, [](TBytes d) { return DecodeBmp(d); }, 8},
    };
}

class DecoderTest : public ::testing::TestWithParam<TDecoderCase> {};

} // namespace

TEST_P(DecoderTest, DecodesSizeAndPixels) {
    TRgbImage image = TRgbImage::Pattern(61, 37, 3);
    const TByteVector file = GetParam().Encode(image);
    if (GetParam().Palette) {
        // The GIF encoder keeps 3 bits of red, 3 of green and 2 of blue, with a matching palette.
        for (std::size_t i = 0; i < image.Pixels.size(); i += 3) {
            std::uint8_t* p = &image.Pixels[i];
            p[0] = static_cast<std::uint8_t>((p[0] >> 5) * 255 / 7);
            p[1] = static_cast<std::uint8_t>((p[1] >> 5) * 255 / 7);
            p[2] = static_cast<std::uint8_t>((p[2] >> 6) * 255 / 3);
        }
    }
    const TDecodedPicture picture = GetParam().Decode(file);
    EXPECT_EQ(picture.Width, 61u);
    EXPECT_EQ(picture.Height, 37u);
    ASSERT_EQ(picture.Bitmap.Width(), 61);
    ASSERT_EQ(picture.Bitmap.Height(), 37);
    EXPECT_LE(MaxDifference(picture.Bitmap, image), GetParam().Tolerance);
}

TEST_P(DecoderTest, TruncatedFilesGiveNoPicture) {
    const TByteVector file = GetParam().Encode(TRgbImage::Pattern(64, 48, 1));
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{9}, file.size() / 3, file.size() / 2, file.size() * 2 / 3}) {
        const TBytes part(file.data(), cut);
        EXPECT_THROW(GetParam().Decode(part), TDecodeError) << "cut at " << cut;
    }
}

TEST_P(DecoderTest, CorruptedFilesNeverCrash) {
    const TByteVector file = GetParam().Encode(TRgbImage::Pattern(40, 30, 2));
    std::srand(7);
    for (int round = 0; round < 300; ++round) {
        TByteVector damaged = file;
        const int flips = 1 + round % 4;
        for (int i = 0; i < flips; ++i) {
            // Mostly the headers, where sizes and offsets live; sometimes anywhere.
            const std::size_t span = round % 3 == 0 ? damaged.size() : std::min<std::size_t>(damaged.size(), 160);
            damaged[static_cast<std::size_t>(std::rand()) % span] ^= static_cast<std::uint8_t>(1 + std::rand() % 255);
        }
        try {
            const TDecodedPicture picture = GetParam().Decode(damaged);
            EXPECT_EQ(picture.Bitmap.Width() > 0, picture.Bitmap.Height() > 0);
        } catch (const TDecodeError&) {
        }
    }
}

TEST_P(DecoderTest, RefusesPicturesAboveThePixelBudget) {
    const TByteVector file = GetParam().Encode(TRgbImage::Pattern(50, 40));
    const std::string name = GetParam().Name;
    auto decodeWithBudget = [&](std::uint64_t budget) {
        const TBytes d = file;
        if (name == "jpeg")
            return DecodeJpeg(d, 0, 0, budget);
        if (name == "png")
            return DecodePng(d, budget);
        if (name == "gif")
            return DecodeGif(d, budget);
        if (name.rfind("tiff", 0) == 0)
            return DecodeTiff(d, budget);
        return DecodeBmp(d, budget);
    };
    EXPECT_THROW(decodeWithBudget(1999), TDecodeError);
    EXPECT_NO_THROW(decodeWithBudget(2000));
}

INSTANTIATE_TEST_SUITE_P(Decoders, DecoderTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.Name; });

TEST(JpegDecoder, ReducedScaleCoversTheBoxAndKeepsThePictureSize) {
    const TByteVector file = EncodeJpeg(TRgbImage::Pattern(1600, 1200));
    const TDecodedPicture picture = DecodeJpeg(file, 93, 93);
    EXPECT_EQ(picture.Width, 1600u);
    EXPECT_EQ(picture.Height, 1200u);
    EXPECT_EQ(picture.Bitmap.Width(), 200); // 1/8 scale: 200 x 150 still covers 93 x 69
    EXPECT_EQ(picture.Bitmap.Height(), 150);

    // 600 x 500 fits the box as 93 x 77; 1/8 gives 75 x 63, too small; 2/8 gives 150 x 125.
    const TDecodedPicture medium = DecodeJpeg(EncodeJpeg(TRgbImage::Pattern(600, 500)), 93, 93);
    EXPECT_EQ(medium.Bitmap.Width(), 150);
    EXPECT_EQ(medium.Bitmap.Height(), 125);

    // A picture inside the box is decoded at full size.
    EXPECT_EQ(DecodeJpeg(EncodeJpeg(TRgbImage::Pattern(80, 60)), 93, 93).Bitmap.Width(), 80);
}

TEST(BmpDecoder, PaletteDepthsAndBottomUpOrder) {
    const TRgbImage image = TRgbImage::Pattern(23, 11, 5);
    const TDecodedPicture reference = DecodeBmp(EncodeBmp(image, 24));
    EXPECT_EQ(reference.Bitmap, DecodeBmp(EncodeBmp(image, 24, true)).Bitmap);
    for (int bits : {1, 4, 8}) {
        const TDecodedPicture bottomUp = DecodeBmp(EncodeBmp(image, bits));
        EXPECT_EQ(bottomUp.Width, 23u) << bits;
        EXPECT_EQ(bottomUp.Bitmap, DecodeBmp(EncodeBmp(image, bits, true)).Bitmap) << bits;
    }
}

TEST(BmpDecoder, RefusesOtherBitCountsAndCompressions) {
    TByteVector file = EncodeBmp(TRgbImage::Pattern(8, 8), 24);
    file[28] = 2;
    EXPECT_THROW(DecodeBmp(file), TDecodeError);
    file[28] = 24;
    file[30] = 1; // run-length coded
    EXPECT_THROW(DecodeBmp(file), TDecodeError);
    file[30] = 0;
    file[0] = 'X';
    EXPECT_THROW(DecodeBmp(file), TDecodeError);
}

TEST(TiffDecoder, SkipsDirectoriesThatCannotBeShown) {
    // A raw sensor directory (colour filter array, which cannot be shown), chained to a
    // proper RGB picture, as a DNG lays them out.
    TByteVector file = EncodeTiffRgb(TRgbImage::Pattern(10, 6));
    const std::uint32_t picture = file[4] | (file[5] << 8);
    const std::uint32_t first = static_cast<std::uint32_t>(file.size());
    auto put16 = [&](std::uint32_t v) {
        file.push_back(static_cast<std::uint8_t>(v));
        file.push_back(static_cast<std::uint8_t>(v >> 8));
    };
    auto put32 = [&](std::uint32_t v) {
        put16(v & 0xFFFF);
        put16(v >> 16);
    };
    const std::uint16_t entries[][3] = {{0x0100, 3, 10}, {0x0101, 3, 6},     {0x0102, 3, 8}, {0x0103, 3, 1},
                                        {0x0106, 3, 32803}, {0x0111, 4, 8}, {0x0115, 3, 1}, {0x0116, 3, 6},
                                        {0x0117, 4, 60}};
    put16(9);
    for (const auto& e : entries) {
        put16(e[0]);
        put16(e[1]);
        put32(1);
        put32(e[2]);
    }
    put32(picture);
    for (int i = 0; i < 4; ++i)
        file[4 + i] = static_cast<std::uint8_t>(first >> (8 * i));
    const TDecodedPicture decoded = DecodeTiff(file);
    EXPECT_EQ(decoded.Width, 10u);
    EXPECT_EQ(decoded.Height, 6u);
}
