#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "EngineOnImage.h"
#include "engine/DeviceReader.h"
#include "engine/FileTypes.h"
#include "formats/WebP.h"
#include "preview/MediaDecoders.h"
#include "preview/Thumbnails.h"
#include "testkit/EncodedMedia.h"

using namespace lumivore;
using namespace lumivore::testkit;

namespace {

// Lossy codecs shift a solid colour a little.
void ExpectNear(TRgb got, TColour want, int tolerance = 14) {
    EXPECT_NEAR(got.R, want.R, tolerance);
    EXPECT_NEAR(got.G, want.G, tolerance);
    EXPECT_NEAR(got.B, want.B, tolerance);
}

constexpr TColour kPrimary{200, 40, 40};
constexpr TColour kThumbColour{30, 180, 60};

TFoundFile PhoneRecord(const char* ext, std::uint8_t phoneIndex, std::int64_t sector, std::int64_t length) {
    TFoundFile f;
    f.Ext = ext;
    f.FormatIndex = kNoIndex;
    f.MakerIndex = kNoIndex;
    f.PhoneIndex = phoneIndex;
    f.StartSector = sector;
    f.Length = length;
    return f;
}

TByteVector Heic(bool thumbnail, THeifCodec codec = THeifCodec::Hevc) {
    THeifRecipe recipe;
    recipe.Codec = codec;
    recipe.Colour = kPrimary;
    if (thumbnail)
        recipe.Thumbnail = kThumbColour;
    return EncodeHeif(recipe);
}

} // namespace

TEST(MediaDecoders, EachKindDecodesFromMemoryAtItsOwnSize) {
    const TByteVector heic = Heic(false);
    const TByteVector avif = Heic(false, THeifCodec::Av1);
    const TByteVector webp = EncodeWebp(40, 30, {20, 90, 200});
    const TByteVector lossless = EncodeWebp(7, 5, {250, 250, 10}, true);
    const TByteVector mp4 = EncodeVideo({});
    TVideoRecipe movRecipe;
    movRecipe.Container = TVideoContainer::Mov;
    movRecipe.MovieFirst = false;
    const TByteVector mov = EncodeVideo(movRecipe);
    for (const TByteVector* f : {&heic, &avif, &webp, &lossless, &mp4, &mov})
        ASSERT_FALSE(f->empty());

    TMemorySource heicSource(heic), avifSource(avif), mp4Source(mp4), movSource(mov);
    const TDecodedPicture h = DecodeHeif(heicSource);
    EXPECT_EQ(h.Width, 64u);
    EXPECT_EQ(h.Height, 48u);
    ExpectNear(h.Bitmap.Pixel(32, 24), kPrimary);
    const TDecodedPicture a = DecodeHeif(avifSource);
    EXPECT_EQ(a.Bitmap.Width(), 64);
    ExpectNear(a.Bitmap.Pixel(10, 10), kPrimary);

    const TDecodedPicture w = DecodeWebp(webp);
    EXPECT_EQ(w.Width, 40u);
    EXPECT_EQ(w.Height, 30u);
    ExpectNear(w.Bitmap.Pixel(20, 15), {20, 90, 200});
    EXPECT_EQ(DecodeWebp(lossless).Bitmap.Pixel(6, 4), (TRgb{250, 250, 10}));

    for (TMemorySource* source : {&mp4Source, &movSource}) {
        const TDecodedPicture v = DecodeVideoFrame(*source);
        EXPECT_EQ(v.Width, 64u);
        EXPECT_EQ(v.Height, 48u);
        ExpectNear(v.Bitmap.Pixel(32, 24), {40, 160, 220});
    }
}

TEST(MediaDecoders, AVideoFrameIsTurnedAsItsTrackIsViewed) {
    constexpr TColour kLeft{220, 30, 30}, kRight{30, 30, 220};
    struct TCase {
        int Rotation;
        int Width, Height;
        int LeftX, LeftY, RightX, RightY; // where the frame's left and right halves end up
    } cases[] = {
        {0, 64, 48, 10, 24, 54, 24},
        {90, 48, 64, 24, 10, 24, 54}, // the left half turns to the top
        {180, 64, 48, 54, 24, 10, 24},
        {270, 48, 64, 24, 54, 24, 10}, // and to the bottom
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Rotation);
        TVideoRecipe recipe;
        recipe.Colour = kRight;
        recipe.LeftHalf = kLeft;
        recipe.Rotation = c.Rotation;
        const TByteVector clip = EncodeVideo(recipe);
        ASSERT_FALSE(clip.empty());
        TMemorySource source(clip);
        const TDecodedPicture p = DecodeVideoFrame(source);
        EXPECT_EQ(p.Bitmap.Width(), c.Width);
        EXPECT_EQ(p.Bitmap.Height(), c.Height);
        EXPECT_EQ(p.Width, static_cast<std::uint32_t>(c.Width));
        ExpectNear(p.Bitmap.Pixel(c.LeftX, c.LeftY), kLeft, 30);
        ExpectNear(p.Bitmap.Pixel(c.RightX, c.RightY), kRight, 30);
    }
}

TEST(MediaDecoders, HeifThumbnailItemIsUsedOnlyWhenAsked) {
    const TByteVector withThumb = Heic(true);
    ASSERT_FALSE(withThumb.empty());
    TMemorySource source(withThumb);
    const TDecodedPicture thumb = DecodeHeif(source, THeifPicture::Thumbnail);
    // The thumbnail item's pixels, the primary picture's size.
    EXPECT_EQ(thumb.Bitmap.Width(), 32);
    EXPECT_EQ(thumb.Width, 64u);
    EXPECT_EQ(thumb.Height, 48u);
    ExpectNear(thumb.Bitmap.Pixel(16, 12), kThumbColour);
    const TDecodedPicture primary = DecodeHeif(source, THeifPicture::Primary);
    EXPECT_EQ(primary.Bitmap.Width(), 64);
    ExpectNear(primary.Bitmap.Pixel(32, 24), kPrimary);
    // Without a thumbnail item the primary picture stands in.
    const TByteVector plain = Heic(false);
    TMemorySource plainSource(plain);
    ExpectNear(DecodeHeif(plainSource, THeifPicture::Thumbnail).Bitmap.Pixel(32, 24), kPrimary);
}

TEST(MediaDecoders, PicturesAboveThePixelBudgetAreRefused) {
    const TByteVector heic = Heic(false);
    const TByteVector webp = EncodeWebp(40, 30, {1, 2, 3});
    const TByteVector mp4 = EncodeVideo({});
    TMemorySource heicSource(heic), mp4Source(mp4);
    EXPECT_THROW(DecodeHeif(heicSource, THeifPicture::Primary, 64 * 48 - 1), TDecodeError);
    EXPECT_THROW(DecodeWebp(webp, 40 * 30 - 1), TDecodeError);
    EXPECT_THROW(DecodeVideoFrame(mp4Source, 64 * 48 - 1), TDecodeError);
}

TEST(MediaDecoders, DamagedDataIsADecodeErrorNeverACrash) {
    const std::vector<TByteVector> files = {Heic(true), Heic(false, THeifCodec::Av1),
                                            EncodeWebp(40, 30, {9, 9, 9}), EncodeVideo({})};
    enum { kHeic, kAvif, kWebp, kVideo };
    const auto decode = [](int kind, const TByteVector& bytes) {
        TMemorySource source(bytes);
        switch (kind) {
        case kHeic:
        case kAvif:
            return DecodeHeif(source, THeifPicture::Thumbnail);
        case kWebp:
            return DecodeWebp(bytes);
        default:
            return DecodeVideoFrame(source);
        }
    };
    for (int kind = kHeic; kind <= kVideo; ++kind) {
        SCOPED_TRACE(kind);
        const TByteVector& good = files[static_cast<std::size_t>(kind)];
        ASSERT_FALSE(good.empty());
        EXPECT_THROW(decode(kind, {}), TDecodeError);
        EXPECT_THROW(decode(kind, TByteVector(good.begin(), good.begin() + 40)), TDecodeError);
        // Every byte of the structure changed in turn: any outcome but a crash or a foreign
        // exception is fine, and a picture that comes out stays within the budget.
        std::srand(7);
        for (int round = 0; round < 60; ++round) {
            TByteVector bad = good;
            for (int k = 0; k < 4; ++k)
                bad[static_cast<std::size_t>(std::rand()) % bad.size()] ^=
                    static_cast<std::uint8_t>(1 + std::rand() % 255);
            try {
                const TDecodedPicture p = decode(kind, bad);
                EXPECT_LE(static_cast<std::uint64_t>(p.Bitmap.Width()) *
                              static_cast<std::uint64_t>(p.Bitmap.Height()),
                          kMaxDecodePixels);
            } catch (const TDecodeError&) {
            }
        }
    }
}

// Found by the fuzzer: a HEIC whose primary picture states 64 x 48 pixels but is a tile grid
// that declares a canvas of 63424 x 65488; decoding it allocated 12 GB before the tiles were
// found wrong. It must be refused at once.
TEST(MediaDecoders, AGridDeclaringAGiganticCanvasIsRefusedBeforeAllocating) {
    const char* const hex =
        "000000286674797068656963000000006d696631686569636d6961666d696631686569636d696166000002db6d657461"
        "000000000000002168646c72000000000000000070696374000000000000000000000000000000000e7069746d000000"
        "000002000000186964617400000000f7c0ffd0030000000020001800000060696c6f6301000000444000040001000000"
        "000000030b0001000000000000001e000200010000000000000001000000000000000800030000000000000329000100"
        "0000000000003200040001000000000000000100000008000000080000006269696e6600000000000400000015696e66"
        "650200000100010000687663310000000015696e66650200000000020000677269640000000015696e66650200000100"
        "030000687663310000000015696e6665020000000004000067726964000000019069707270000001646970636f000000"
        "76687663430103700000000000000000001ef000fcfdf8f800000f03200001001840010c01ffff037000000300900000"
        "03000003001eba0240210001002a42010103700000030090000003000003001ea020810596eae4a6b9b8101030200000"
        "030020000003002122000100064401c173c0890000001469737065000000000000004000000040000000146973706500"
        "00000000000040000000300000001070697869000000000308080800000076687663430103700000000000000000001e"
        "f000fcfdf8f800000f03200001001840010c01ffff03030000700090000003000003001eba0240210001002a42010103"
        "700000030090000003000003001ea020810596eaae9ae6e04040c0800000030080000003008422000100064401c173c1"
        "890000001469737065000000000000004000000040000000146973706500000000000000000000201800000010706978"
        "6900000000030808080000002469706d6100000000000000040001028102000202038400030285060004020788000000"
        "3669726566000000000000000e64696d670002000100010000000e64696d670004000100030000000e74686d62000400"
        "0100020000005a6d6461740000001a2801af09e0392325bffff8d27ffff7f41e43f60a5ab563a9dcfc000000302801af"
        "09c85998d03923577ffe239fffe4e8dfffbd41ed59fc4ebfa0ec653aca439f44b193ce3bbe0c808783b85ecb70";
    TByteVector bytes;
    for (const char* p = hex; p[0] && p[1]; p += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(p, 2), nullptr, 16)));
    ASSERT_EQ(bytes.size(), 861u);
    TMemorySource source(bytes);
    EXPECT_THROW(DecodeHeif(source, THeifPicture::Primary), TDecodeError);
    EXPECT_THROW(DecodeHeif(source, THeifPicture::Thumbnail), TDecodeError);
}

// ---- through the engine, from files planted in a card image --------------------------------

// A phone's animated WebP (a sticker, a burst turned into a clip) shows its first frame on the
// animation's canvas; its size is checked before the decoder allocates it, and a cut-off
// animation is an error, not a picture of whatever was left in memory.
TEST(MediaDecoders, AnAnimatedWebpShowsItsFirstFrame) {
    const TByteVector animated = EncodeAnimatedWebp(24, 16, {{200, 30, 40}, {10, 20, 220}, {10, 200, 20}});
    ASSERT_FALSE(animated.empty());
    TFoundFile rec;
    ASSERT_TRUE(RecogniseWebP(TBytes(animated.data(), animated.size()), rec));
    EXPECT_EQ(rec.Length, static_cast<std::int64_t>(animated.size()));
    EXPECT_EQ(rec.Width, 24);
    EXPECT_EQ(rec.Height, 16);

    const TDecodedPicture first = DecodeWebp(animated);
    EXPECT_EQ(first.Width, 24u);
    EXPECT_EQ(first.Height, 16u);
    EXPECT_EQ(first.Bitmap.Pixel(0, 0), (TRgb{200, 30, 40}));
    EXPECT_EQ(first.Bitmap.Pixel(23, 15), (TRgb{200, 30, 40}));

    EXPECT_THROW(DecodeWebp(animated, 24 * 16 - 1), TDecodeError);
    const TByteVector cut(animated.begin(), animated.begin() + static_cast<std::ptrdiff_t>(animated.size() / 2));
    EXPECT_THROW(DecodeWebp(cut), TDecodeError);
}

using PhonePictures = lumivore::testing::EngineOnImage;

TEST_F(PhonePictures, ThumbnailsOfEachKindComeFromTheCard) {
    const TByteVector heicThumb = Heic(true);
    const TByteVector heicPlain = Heic(false);
    const TByteVector avif = Heic(false, THeifCodec::Av1);
    const TByteVector webp = EncodeWebp(80, 40, {20, 90, 200});
    const TByteVector mp4 = EncodeVideo({});
    TDiskImage image(2000);
    image.Place(100, heicThumb).Place(300, heicPlain).Place(500, avif).Place(700, webp).Place(900, mp4);
    Open(image);

    struct TCase {
        TFoundFile File;
        TColour Colour;
        TRect Box;
    } cases[] = {
        {PhoneRecord("HEIC", kPhoneHeic, 100, static_cast<std::int64_t>(heicThumb.size())), kThumbColour,
         FitToBox(64, 48)},
        {PhoneRecord("HEIC", kPhoneHeic, 300, static_cast<std::int64_t>(heicPlain.size())), kPrimary,
         FitToBox(64, 48)},
        {PhoneRecord("AVIF", kPhoneAvif, 500, static_cast<std::int64_t>(avif.size())), kPrimary,
         FitToBox(64, 48)},
        {PhoneRecord("WEBP", kPhoneWebp, 700, static_cast<std::int64_t>(webp.size())),
         {20, 90, 200},
         FitToBox(80, 40)},
        {PhoneRecord("MP4", kPhoneMp4, 900, static_cast<std::int64_t>(mp4.size())),
         {40, 160, 220},
         FitToBox(64, 48)},
        // A video whose length is unknown is read up to the device's end.
        {PhoneRecord("MP4", kPhoneMp4, 900, kUnknownLength), {40, 160, 220}, FitToBox(64, 48)},
    };
    for (TCase& c : cases) {
        SCOPED_TRACE(c.File.Ext + " at " + std::to_string(c.File.StartSector));
        const auto thumb = Engine().MakeThumbnail(c.File);
        ASSERT_TRUE(thumb);
        EXPECT_EQ(thumb->Pixel(0, 0), kFramePen);
        ExpectNear(thumb->Pixel(c.Box.Left + c.Box.Width / 2, c.Box.Top + c.Box.Height / 2), c.Colour);
        EXPECT_EQ(thumb->Pixel(c.Box.Left + c.Box.Width / 2, c.Box.Top - 1), kBlankColour);
        // The picture's size is stored where the record had none.
        EXPECT_GT(c.File.Width, 0);

        TBitmap full;
        ASSERT_TRUE(Engine().LoadPreview(c.File, full));
        EXPECT_EQ(static_cast<std::uint32_t>(full.Width()), static_cast<std::uint32_t>(c.File.Width));
    }
}

TEST_F(PhonePictures, ARecordOverForeignBytesHasNoThumbnail) {
    const TByteVector webp = EncodeWebp(8, 8, {1, 2, 3});
    TDiskImage image(400);
    image.Place(10, webp);
    Open(image);
    // The right bytes under the wrong type, and a WebP whose length leaves the limit.
    for (TFoundFile f : {PhoneRecord("HEIC", kPhoneHeic, 10, 4096), PhoneRecord("MOV", kPhoneMov, 10, 4096),
                         PhoneRecord("WEBP", kPhoneWebp, 10, kFileLengthLimit),
                         PhoneRecord("MP4", kPhoneMp4, 390, 1 << 20)}) {
        SCOPED_TRACE(f.Ext);
        EXPECT_FALSE(Engine().MakeThumbnail(f));
        TBitmap full;
        EXPECT_FALSE(Engine().LoadPreview(f, full));
    }
}

TEST_F(PhonePictures, AThreeGigabyteVideoIsNeverReadWhole) {
    constexpr std::uint64_t kLength = 3ull << 30;
    constexpr std::uint64_t kStart = 64;
    TVideoRecipe recipe;
    recipe.MovieFirst = true;
    const TByteVector head = WithMediaDataReaching(EncodeVideo(recipe), kLength);
    ASSERT_FALSE(head.empty());
    // The image is sparse: the clip's boxes and first frames at its start, a hole after them.
    TDiskImage image(kStart + kLength / 512 + 8);
    image.Place(kStart, head);
    Open(image);

    TFoundFile video = PhoneRecord("MP4", kPhoneMp4, kStart, static_cast<std::int64_t>(kLength));
    const auto thumb = Engine().MakeThumbnail(video);
    ASSERT_TRUE(thumb);
    ExpectNear(thumb->Pixel(47, 47), {40, 160, 220});
    std::uint64_t sectorsRead = 0;
    for (const auto& [first, count] : Calls)
        sectorsRead += count;
    EXPECT_LT(sectorsRead * 512, std::uint64_t{1} << 20) << "bytes read for the thumbnail";

    // The same through a reader of our own, which counts what the decoder asked for.
    TDeviceReader reader(Engine().Drive, kStart, kLength);
    TDeviceSource source(reader);
    EXPECT_EQ(DecodeVideoFrame(source).Width, 64u);
    EXPECT_LT(reader.BytesRead(), std::uint64_t{1} << 20);
}
