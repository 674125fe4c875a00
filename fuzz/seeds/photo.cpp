// Seeds for the photo and media fuzz targets: well-formed files from the testkit builders, some
// followed by the padding a sector read would bring.
#include <vector>

#include "SeedRegistry.h"
#include "testkit/IsoBuilder.h"
#include "testkit/MediaBuilder.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TiffBuilder.h"
#include "testkit/TrailerBuilder.h"

namespace {

using lumivore::testkit::TByteVector;
using TSeeds = std::vector<std::vector<std::uint8_t>>;
namespace tk = lumivore::testkit;

TByteVector Padded(TByteVector bytes, std::size_t multiple = 512) {
    bytes.resize((bytes.size() + multiple - 1) / multiple * multiple, 0);
    return bytes;
}

TByteVector SmallTiff() {
    // One directory: Make, JPEG thumbnail offset and length.
    return {'I', 'I', 42, 0, 8, 0, 0, 0, 3, 0,
            0x0F, 0x01, 2, 0, 4, 0, 0, 0, 'C', 'a', 'm', 0,
            0x01, 0x02, 4, 0, 1, 0, 0, 0, 60, 0, 0, 0,
            0x02, 0x02, 4, 0, 1, 0, 0, 0, 8, 0, 0, 0,
            0, 0, 0, 0, 0xFF, 0xD8, 0xFF, 0xD9, 0, 0, 0, 0, 0, 0, 0, 0};
}

TSeeds JpegSeeds() {
    const TByteVector picture = tk::EncodeJpeg(tk::TRgbImage::Pattern(24, 16), 70);
    TSeeds seeds;
    seeds.push_back(picture);
    tk::TJpegBuilder exif;
    exif.Exif(SmallTiff()).Picture(picture);
    seeds.push_back(Padded(exif.Build()));
    tk::TJpegBuilder fill;
    const std::uint8_t bytes[] = {0xFF, 0xFF, 0xD0};
    fill.Jfif().Bytes(bytes).FakeScan(64);
    seeds.push_back(fill.Build());
    seeds.push_back(tk::JpegWithPreview(picture, tk::EncodeJpeg(tk::TRgbImage::Pattern(8, 8), 50)));
    // What may follow the end marker: records of every kind, a second picture, a motion photo.
    const TByteVector iptc = tk::IptcRecords({"Caption", "Credit"});
    for (const TByteVector& trailer :
         {tk::AfcpTrailer(picture.size(), {iptc}), tk::PhotoMechanicTrailer(iptc), tk::FotoStationTrailer({iptc}, 1),
          tk::SamsungTrailer({TByteVector(40, 1), tk::MinimalMp4(60)}), picture}) {
        TByteVector file = picture;
        file.insert(file.end(), trailer.begin(), trailer.end());
        seeds.push_back(Padded(file));
    }
    const TByteVector video = tk::MinimalMp4(200);
    for (const TByteVector& xmp : {tk::MotionPhotoXmp(video.size()), tk::MotionPhotoXmp(0, 0, {{"video/mp4", video.size()}})}) {
        tk::TJpegBuilder motion;
        motion.Jfif().Segment(0xE1, xmp).FakeScan(64);
        TByteVector file = motion.Build();
        file.insert(file.end(), video.begin(), video.end());
        seeds.push_back(Padded(file));
    }
    return seeds;
}

TSeeds GifSeeds() {
    tk::TGifBuilder full(true, 20, 10, 4);
    tk::TGifImage image;
    image.Width = 20;
    image.Height = 10;
    full.Looping().Comment("seed").GraphicControl().Image(image).GraphicControl(3).Image(image).Trailer();
    tk::TGifBuilder old(false, 8, 8, 1);
    old.RawImage(8, 8, 0x81, {20, 5}).Trailer();
    return {Padded(full.Build()), old.Build(), tk::EncodeGif(tk::TRgbImage::Pattern(12, 9))};
}

TSeeds PngSeeds() {
    tk::TPngBuilder odd;
    odd.Chunk("IHDR", TByteVector(13)).Chunk("tEXt", TByteVector(30, 'a')).Chunk("IEND", {});
    tk::TPngBuilder exif;
    exif.Chunk("IHDR", TByteVector(13)).Chunk("eXIf", SmallTiff()).Chunk("IEND", {});
    const std::string profile = std::string("Raw profile type exif") + '\0' + "\nexif\n      8\n4d4d002a00000008\n";
    tk::TPngBuilder text;
    text.Chunk("IHDR", TByteVector(13)).Chunk("tEXt", TByteVector(profile.begin(), profile.end())).Chunk("IEND", {});
    return {tk::EncodePng(tk::TRgbImage::Pattern(16, 12), 40), odd.Build(), exif.Build(), text.Build()};
}

TSeeds BmpSeeds() {
    TSeeds seeds;
    for (int bits : {1, 4, 8, 16, 24, 32})
        seeds.push_back(TByteVector(tk::EncodeBmp(tk::TRgbImage::Pattern(5, 3), bits)));
    return seeds;
}

TSeeds RiffSeeds() {
    return {tk::MakeWave(8000, 2, 16, 20), tk::MakeAvi(16, 16, 2, 40), tk::MakeCdr('9', 30)};
}

TSeeds RealMediaSeeds() {
    tk::TRealMediaBuilder unknown;
    unknown.SizedChunk(".RMF", 18).SizedChunk("PROP", 50).Header("JUNK", 64);
    return {tk::MakeRealMedia(2, 40), unknown.Build()};
}

lumivore::fuzzseeds::TRegisterSeeds jpeg("fuzz_jpeg", JpegSeeds);
lumivore::fuzzseeds::TRegisterSeeds gif("fuzz_gif", GifSeeds);
lumivore::fuzzseeds::TRegisterSeeds png("fuzz_png", PngSeeds);
lumivore::fuzzseeds::TRegisterSeeds bmp("fuzz_bmp", BmpSeeds);
lumivore::fuzzseeds::TRegisterSeeds riff("fuzz_riff", RiffSeeds);
lumivore::fuzzseeds::TRegisterSeeds realMedia("fuzz_realmedia", RealMediaSeeds);
// The kind (its place in the fuzzer's list) and the size of the pieces come first.
lumivore::fuzzseeds::TRegisterSeeds streamMeasure("fuzz_stream_measure", [] {
    TSeeds seeds;
    auto add = [&](std::uint8_t kind, const TSeeds& files) {
        for (const TByteVector& file : files) {
            TByteVector seed = {kind, 9};
            seed.insert(seed.end(), file.begin(), file.end());
            seeds.push_back(std::move(seed));
        }
    };
    add(0, JpegSeeds());
    add(1, PngSeeds());
    add(2, GifSeeds());
    add(3, RealMediaSeeds());
    add(7, {tk::BuildX3f(640, 480, 1024, {300, 310, 700})});
    tk::TMovieRecipe clip; // media data before the index, as cameras write it
    clip.moovFirst = false;
    clip.mdatBytes = 64;
    add(8, {tk::BuildMovie(clip)});
    tk::THeifRecipe heic;
    heic.codedBytes = 64;
    heic.splitMdat = true;
    add(9, {tk::BuildHeif(heic)});
    return seeds;
});
lumivore::fuzzseeds::TRegisterSeeds mpf("fuzz_mpf", [] {
    const TByteVector main = tk::EncodeJpeg(tk::TRgbImage::Pattern(8, 8), 50);
    return TSeeds{tk::JpegWithPreview(main, main), tk::JpegWithPreview(main, main, true)};
});

} // namespace
