// Seeds for the TIFF-based and raw-container fuzz targets: structures from the testkit
// builders in both byte orders, with sub-directories, maker notes, strips, tiles and
// thumbnails, and the X3F, MRW and RAF headers.
#include <vector>

#include "SeedRegistry.h"
#include "testkit/TiffBuilder.h"

namespace {

namespace tk = lumivore::testkit;
using tk::TByteVector;
using TSeeds = std::vector<std::vector<std::uint8_t>>;

TByteVector Padded(TByteVector bytes) {
    bytes.resize((bytes.size() + 511) / 512 * 512, 0);
    return bytes;
}

TByteVector Jpeg(std::size_t size) {
    TByteVector j(size, 0x22);
    j[0] = 0xFF, j[1] = 0xD8, j[size - 2] = 0xFF, j[size - 1] = 0xD9;
    return j;
}

TByteVector Camera(bool bigEndian, const char* make, bool cr2, bool dng) {
    tk::TCameraTiff c;
    c.bigEndian = bigEndian;
    c.cr2Header = cr2;
    c.dngVersion = dng;
    c.make = make;
    c.model = "Model 1";
    c.dateTaken = "2020:01:02 03:04:05";
    c.width = 4000, c.height = 3000, c.iso = 200;
    c.exposureNum = 1, c.exposureDen = 60, c.fNumberNum = 28, c.fNumberDen = 10, c.focalNum = 35, c.focalDen = 1;
    c.rawDataSize = 600;
    c.jpegThumbnail = Jpeg(300);
    return Padded(tk::BuildCameraTiff(c));
}

TByteVector WithMakerNote(bool bigEndian, const char* make, tk::TByteVector prefix, bool sony) {
    tk::TTiffBuilder b(bigEndian);
    const auto ifd0 = b.AddDirectory();
    const auto exif = b.AddDirectory();
    const auto note = b.AddDirectory(std::move(prefix));
    const auto raw = b.AddDirectory();
    b.Short(ifd0, 0x0100, {6000});
    b.Ascii(ifd0, 0x010F, make);
    if (sony)
        b.Pointers(ifd0, 0x014A, {raw});
    b.SubDirectory(ifd0, exif);
    b.Short(exif, 0xA002, {640});
    b.MakerNote(exif, note);
    b.Long(note, 0x0040, {0x1000});
    b.Fixed(note, 0x0081, 7, 100, 0x40);
    b.Fixed(note, 0x0089, 4, 1, 100);
    b.Fixed(note, 0x0100, 7, 200, 0x80);
    b.Pointer(note, 0xB028, raw);
    b.Long(raw, 0x0040, {0x2000});
    return Padded(b.Build());
}

TByteVector RgbAndTiles(bool bigEndian) {
    tk::TTiffBuilder b(bigEndian);
    const auto ifd0 = b.AddDirectory();
    const auto sub = b.AddDirectory();
    b.Short(ifd0, 0x0100, {8});
    b.Short(ifd0, 0x0101, {8});
    b.Short(ifd0, 0x0102, {8, 8, 8});
    b.Short(ifd0, 0x0103, {1});
    b.Short(ifd0, 0x0106, {2});
    b.Strips(ifd0, {b.AddData(TByteVector(96, 1)), b.AddData(TByteVector(96, 2))}, tk::kTiffShort);
    b.SubDirectories(ifd0, {sub});
    b.Raw(ifd0, 0xC612, tk::kTiffByte, 4, {1, 4, 0, 0});
    b.Short(sub, 0x0100, {256});
    b.Short(sub, 0x0102, {48, 48, 48});
    b.Short(sub, 0x0103, {7});
    b.Tiles(sub, {b.AddData(TByteVector(64, 3)), b.AddData(TByteVector(64, 4))});
    return Padded(b.Build());
}

TByteVector SensorVariant() {
    tk::TTiffBuilder b(false, 0x55);
    const auto ifd0 = b.AddDirectory();
    b.Short(ifd0, 0x0004, {8});
    b.Short(ifd0, 0x0005, {8});
    b.Short(ifd0, 0x0006, {2744});
    b.Short(ifd0, 0x0007, {3656});
    b.Short(ifd0, 0x0017, {80});
    b.Ascii(ifd0, 0x010F, "Panasonic");
    b.Strips(ifd0, {b.AddData(TByteVector(100, 0))});
    return Padded(b.Build());
}

// A BigTIFF with strips, tiles, a sub-directory and an EXIF directory.
TByteVector BigTiff(bool bigEndian) {
    tk::TTiffBuilder b(bigEndian, tk::kBigTiffMarker);
    const auto ifd0 = b.AddDirectory();
    const auto exif = b.AddDirectory();
    const auto sub = b.AddDirectory();
    const auto strip = b.AddData(TByteVector(300, 1));
    const auto tile = b.AddData(TByteVector(256, 2));
    b.Long(ifd0, 0x0100, {640});
    b.Ascii(ifd0, 0x010F, "Phase One");
    b.Pointers(ifd0, 0x0111, {strip}, tk::kTiffLong8);
    b.Sizes(ifd0, 0x0117, {strip}, tk::kTiffLong8);
    b.Pointers(ifd0, 0x014A, {sub}, tk::kTiffIfd8);
    b.Pointer(ifd0, 0x8769, exif, tk::kTiffIfd8);
    b.Rational(exif, 0x829A, 1, 125);
    b.Pointers(sub, 0x0144, {tile}, tk::kTiffLong8);
    b.Sizes(sub, 0x0145, {tile}, tk::kTiffLong8);
    return Padded(b.Build());
}

TSeeds TiffSeeds() {
    TSeeds seeds;
    for (bool big : {false, true}) {
        seeds.push_back(Camera(big, "NIKON CORPORATION", false, false));
        seeds.push_back(Camera(big, "Canon", true, false));
        seeds.push_back(Camera(big, "PENTAX", false, true));
        seeds.push_back(WithMakerNote(big, "OLYMPUS", {'O', 'L', 'Y', 'M', 'P', 0, 1, 0}, false));
        seeds.push_back(WithMakerNote(big, "Minolta", {}, false));
        seeds.push_back(WithMakerNote(big, "SONY", {'S', 'O', 'N', 'Y', ' ', 'D', 'S', 'C', ' ', 0, 0, 0}, true));
        seeds.push_back(RgbAndTiles(big));
        seeds.push_back(BigTiff(big));
    }
    seeds.push_back(SensorVariant());
    TByteVector crw(512, 0);
    const TByteVector head{'I', 'I', 26, 0, 0, 0, 'H', 'E', 'A', 'P', 'C', 'C', 'D', 'R'};
    std::copy(head.begin(), head.end(), crw.begin());
    seeds.push_back(crw);
    TByteVector cut = Camera(false, "Kodak", false, false);
    cut.resize(cut.size() / 2);
    seeds.push_back(cut);
    return seeds;
}

TSeeds MrwSeeds() {
    tk::TMrwLayout layout;
    layout.sensorHeight = 100, layout.sensorWidth = 150;
    layout.imageHeight = 96, layout.imageWidth = 144;
    layout.blocksBeforeTiff = {{"WBG", TByteVector(12, 0)}, {"RIF", TByteVector(20, 0)}};
    tk::TCameraTiff c;
    c.bigEndian = true;
    c.make = "Konica Minolta Camera, Inc.";
    c.jpegThumbnail = Jpeg(200);
    c.iso = 100;
    layout.tiff = tk::BuildCameraTiff(c);
    TSeeds seeds{Padded(tk::BuildMrw(layout))};
    layout.dataBits = 16;
    layout.tiff.clear();
    seeds.push_back(Padded(tk::BuildMrw(layout)));
    return seeds;
}

TSeeds RafSeeds() {
    tk::TRafLayout layout;
    layout.preview = Jpeg(200);
    layout.previewLength = 200;
    layout.rawOffset = 0x1000;
    layout.rawLength = 0x10000;
    return {Padded(tk::BuildRaf(layout))};
}

lumivore::fuzzseeds::TRegisterSeeds regTiff("fuzz_tiff", TiffSeeds);
lumivore::fuzzseeds::TRegisterSeeds regX3f("fuzz_x3f", [] {
    return TSeeds{tk::BuildX3fHeader(2640, 1760), tk::BuildX3f(2640, 1760, 2048, {300, 1200})};
});
lumivore::fuzzseeds::TRegisterSeeds regMrw("fuzz_mrw", MrwSeeds);
lumivore::fuzzseeds::TRegisterSeeds regRaf("fuzz_raf", RafSeeds);

} // namespace
