// Seeds for the picture decoders: small encoded pictures of each format and variant.
#include "SeedRegistry.h"
#include "testkit/EncodedMedia.h"
#include "testkit/ImageBuilder.h"
#include "testkit/PhotoBuilder.h"

// The HEVC encoder behind libheif keeps a small block of every picture it encodes, which the
// leak checker of the fuzz build would report when the seeds are written.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace lumivore::fuzzseeds {

namespace {

using testkit::TRgbImage;

const TRegisterSeeds kJpeg("fuzz_decode_jpeg", [] {
    return std::vector<std::vector<std::uint8_t>>{testkit::EncodeJpeg(TRgbImage::Pattern(32, 24), 80),
                                                  testkit::EncodeJpeg(TRgbImage::Pattern(200, 150, 2), 60),
                                                  testkit::EncodeJpeg(TRgbImage::Pattern(7, 5, 1), 95)};
});

const TRegisterSeeds kPng("fuzz_decode_png", [] {
    return std::vector<std::vector<std::uint8_t>>{testkit::EncodePng(TRgbImage::Pattern(32, 24)),
                                                  testkit::EncodePng(TRgbImage::Pattern(17, 9, 3), 40)};
});

const TRegisterSeeds kGif("fuzz_decode_gif", [] {
    return std::vector<std::vector<std::uint8_t>>{testkit::EncodeGif(TRgbImage::Pattern(32, 24)),
                                                  testkit::EncodeGif(TRgbImage::Pattern(5, 40, 1))};
});

const TRegisterSeeds kTiff("fuzz_decode_tiff", [] {
    return std::vector<std::vector<std::uint8_t>>{testkit::EncodeTiffRgb(TRgbImage::Pattern(32, 24)),
                                                  testkit::EncodeTiffRgb(TRgbImage::Pattern(20, 30, 2), true, 7)};
});

const TRegisterSeeds kBmp("fuzz_decode_bmp", [] {
    std::vector<std::vector<std::uint8_t>> seeds;
    for (int bits : {1, 4, 8, 16, 24, 32})
        seeds.push_back(testkit::EncodeBmp(TRgbImage::Pattern(13, 7, static_cast<unsigned>(bits)), bits, bits == 8));
    return seeds;
});

const TRegisterSeeds kHeif("fuzz_decode_heif", [] {
    testkit::THeifRecipe plain;
    testkit::THeifRecipe withThumb;
    withThumb.Thumbnail = testkit::TColour{10, 200, 30};
    testkit::THeifRecipe avif;
    avif.Codec = testkit::THeifCodec::Av1;
    avif.Width = 17;
    avif.Height = 9;
    return std::vector<std::vector<std::uint8_t>>{testkit::EncodeHeif(plain), testkit::EncodeHeif(withThumb),
                                                  testkit::EncodeHeif(avif)};
});

const TRegisterSeeds kWebp("fuzz_decode_webp", [] {
    // An animation whose canvas claims 250 x 2.3 million pixels: nothing may be allocated for it
    // (the canvas width and height less one are the 24-bit numbers at bytes 24 and 27, in the
    // VP8X chunk).
    std::vector<std::uint8_t> huge = testkit::EncodeAnimatedWebp(9, 6, {{1, 2, 3}, {200, 100, 0}});
    if (huge.size() > 30) {
        huge[24] = 0xF9;
        huge[25] = 0x00;
        huge[26] = 0x00;
        huge[27] = 0x05;
        huge[28] = 0x00;
        huge[29] = 0x23;
    }
    return std::vector<std::vector<std::uint8_t>>{testkit::EncodeWebp(32, 24, {200, 30, 40}),
                                                  testkit::EncodeWebp(7, 5, {1, 2, 3}, true),
                                                  testkit::EncodeAnimatedWebp(9, 6, {{1, 2, 3}, {200, 100, 0}}),
                                                  huge};
});

const TRegisterSeeds kVideo("fuzz_decode_video", [] {
    testkit::TVideoRecipe movieLast;
    movieLast.MovieFirst = false;
    movieLast.Container = testkit::TVideoContainer::Mov;
    movieLast.Frames = 2;
    return std::vector<std::vector<std::uint8_t>>{testkit::EncodeVideo({}), testkit::EncodeVideo(movieLast)};
});

} // namespace

} // namespace lumivore::fuzzseeds
