// Seeds for the box-file and WebP fuzz targets: pictures, movies and CR3 raws from the testkit
// builders, whole and followed by the padding a sector read would bring.
#include <vector>

#include "SeedRegistry.h"
#include "testkit/IsoBuilder.h"
#include "testkit/PhotoBuilder.h"

namespace {

using lumivore::testkit::TByteVector;
using TSeeds = std::vector<std::vector<std::uint8_t>>;
namespace tk = lumivore::testkit;

TByteVector Padded(TByteVector bytes) {
    bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
    return bytes;
}

TSeeds IsoMediaSeeds() {
    TSeeds seeds;
    tk::THeifRecipe heic;
    heic.codedBytes = 64;
    seeds.push_back(Padded(tk::BuildHeif(heic)));
    tk::THeifRecipe avif = heic;
    avif.major = "avif";
    avif.compatible = {"avif", "mif1"};
    avif.exifInIdat = true;
    avif.largeMdat = true;
    seeds.push_back(Padded(tk::BuildHeif(avif)));
    tk::THeifRecipe late = heic;
    late.mdatFirst = true;
    late.splitMdat = true;
    seeds.push_back(Padded(tk::BuildHeif(late)));
    tk::TMovieRecipe movie;
    movie.mdatBytes = 64;
    movie.make = "GoPro";
    movie.model = "HERO";
    seeds.push_back(Padded(tk::BuildMovie(movie)));
    movie.major = "qt  ";
    movie.compatible = {"qt  "};
    movie.version1 = true;
    movie.keysMake = "Apple";
    movie.keysModel = "iPhone";
    movie.moovFirst = false;
    seeds.push_back(Padded(tk::BuildMovie(movie)));
    movie.major = "";
    seeds.push_back(Padded(tk::BuildMovie(movie)));
    tk::TCr3Spec cr3;
    cr3.mdatBytes = 64;
    cr3.thumbnail = tk::EncodeJpeg(tk::TRgbImage::Pattern(16, 8), 50);
    cr3.preview = tk::EncodeJpeg(tk::TRgbImage::Pattern(24, 16), 50);
    seeds.push_back(Padded(tk::BuildCr3(cr3)));
    return seeds;
}

TSeeds WebPSeeds() {
    return {Padded(tk::BuildWebP("VP8 ", 64, 48)), Padded(tk::BuildWebP("VP8L", 5, 7)),
            Padded(tk::BuildWebP("VP8X", 640, 480, tk::BuildExifTiff(tk::TExifRecipe{})))};
}

lumivore::fuzzseeds::TRegisterSeeds isoMedia("fuzz_isomedia", IsoMediaSeeds);
lumivore::fuzzseeds::TRegisterSeeds webp("fuzz_webp", WebPSeeds);

} // namespace
