// WebP pictures through the RIFF recogniser: the three kinds of first chunk, the length from
// the RIFF size, EXIF from its chunk, and the headers that are refused.
#include "formats/WebP.h"

#include <gtest/gtest.h>

#include "engine/FileTypes.h"
#include "formats/Recognisers.h"
#include "testkit/ByteWriter.h"
#include "testkit/IsoBuilder.h"

using namespace lumivore;
using namespace lumivore::testkit;

namespace {

TByteVector Padded(TByteVector file) {
    file.resize(file.size() + 600, 0x5C);
    return file;
}

TEST(WebP, EachFirstChunkGivesThePixelSize) {
    struct TCase {
        const char* kind;
        std::uint32_t width, height;
    };
    for (const TCase& c : {TCase{"VP8 ", 1024, 768}, TCase{"VP8L", 16383, 1}, TCase{"VP8X", 16777216, 3}}) {
        const TByteVector file = BuildWebP(c.kind, c.width, c.height);
        TFoundFile rec;
        ASSERT_TRUE(RecogniseRiff(Padded(file), rec)) << c.kind;
        EXPECT_EQ(rec.Ext, "WEBP");
        EXPECT_EQ(rec.PhoneIndex, kPhoneWebp);
        EXPECT_EQ(rec.FormatIndex, kNoIndex);
        EXPECT_EQ(rec.MakerIndex, kNoIndex);
        EXPECT_EQ(rec.Length, static_cast<std::int64_t>(file.size())) << c.kind;
        EXPECT_EQ(rec.Width, static_cast<std::int32_t>(c.width)) << c.kind;
        EXPECT_EQ(rec.Height, static_cast<std::int32_t>(c.height)) << c.kind;
    }
}

TEST(WebP, ExifChunkWithOrWithoutItsJpegPrefix) {
    TExifRecipe recipe;
    recipe.make = "Google";
    recipe.model = "Pixel 8";
    const TByteVector tiff = BuildExifTiff(recipe);
    TByteVector prefixed;
    Append(prefixed, "Exif\0\0", 6);
    Append(prefixed, tiff);
    for (const TByteVector& exif : {tiff, prefixed}) {
        TFoundFile rec;
        ASSERT_TRUE(RecogniseRiff(Padded(BuildWebP("VP8X", 800, 600, exif)), rec));
        EXPECT_EQ(rec.Make, "Google");
        EXPECT_EQ(rec.Model, "Pixel 8");
        EXPECT_EQ(rec.DateTaken, "2023:07:01 09:15:00");
        EXPECT_EQ(rec.ISO, 400);
        EXPECT_EQ(rec.Width, 800); // the canvas, not the EXIF's
    }
    // An EXIF chunk past the RIFF size belongs to something else and is not read.
    TByteVector file = BuildWebP("VP8X", 800, 600, tiff);
    const std::uint32_t withoutExif = static_cast<std::uint32_t>(file.size() - 8 - 8 - tiff.size() - tiff.size() % 2);
    PutLE32(file, 4, withoutExif);
    TFoundFile rec;
    ASSERT_TRUE(RecogniseRiff(Padded(file), rec));
    EXPECT_EQ(rec.Length, std::int64_t{withoutExif} + 8);
    EXPECT_EQ(rec.Make, "");
}

TEST(WebP, HeadersThatAreRefused) {
    TFoundFile rec;
    // A RIFF size too small for a chunk, and one at the length limit.
    TByteVector small = BuildWebP("VP8L", 10, 10);
    PutLE32(small, 4, 8);
    EXPECT_FALSE(RecogniseWebP(Padded(small), rec));
    TByteVector large = BuildWebP("VP8L", 10, 10);
    PutLE32(large, 4, 52428800 - 8);
    EXPECT_FALSE(RecogniseWebP(Padded(large), rec));
    // A first chunk of another kind, a lossy chunk without its start code, a lossless one
    // without its signature.
    TByteVector other = BuildWebP("VP8L", 10, 10);
    other[12] = 'A', other[13] = 'L', other[14] = 'P', other[15] = 'H';
    EXPECT_FALSE(RecogniseWebP(Padded(other), rec));
    TByteVector lossy = BuildWebP("VP8 ", 10, 10);
    lossy[24] = 0;
    EXPECT_FALSE(RecogniseWebP(Padded(lossy), rec));
    TByteVector lossless = BuildWebP("VP8L", 10, 10);
    lossless[20] = 0;
    EXPECT_FALSE(RecogniseWebP(Padded(lossless), rec));
    // A lossy frame of no height (found by fuzzing).
    TByteVector flat = BuildWebP("VP8 ", 64, 10);
    PutLE16(flat, 28, 0);
    EXPECT_FALSE(RecogniseWebP(Padded(flat), rec));
    // Cut inside the first chunk's header.
    const TByteVector cut(lossless.begin(), lossless.begin() + 22);
    EXPECT_FALSE(RecogniseWebP(cut, rec));
}

} // namespace
