#include "testkit/SampleCard.h"

#include "testkit/ByteWriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

#include "engine/FileTypes.h"
#include "testkit/MediaBuilder.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TiffBuilder.h"

namespace lumivore::testkit {

std::vector<std::uint8_t> Fat32BootSector(std::uint64_t totalSectors, std::uint32_t sectorsPerCluster,
                                          std::uint32_t reserved, std::uint32_t fatSectors, std::uint32_t seed) {
    std::vector<std::uint8_t> boot(512, 0);
    const std::uint8_t jump[] = {0xEB, 0x58, 0x90};
    std::memcpy(boot.data(), jump, 3);
    std::memcpy(boot.data() + 3, "MSWIN4.1", 8);
    PutLE16(boot, 11, 512);
    boot[13] = static_cast<std::uint8_t>(sectorsPerCluster);
    PutLE16(boot, 14, reserved);
    boot[16] = 2;
    boot[21] = 0xF8;
    PutLE16(boot, 24, 63);
    PutLE16(boot, 26, 255);
    PutLE32(boot, 32, static_cast<std::uint32_t>(totalSectors));
    PutLE32(boot, 36, fatSectors);
    PutLE32(boot, 44, 2);
    PutLE16(boot, 48, 1);
    PutLE16(boot, 50, 6);
    boot[64] = 0x80;
    boot[66] = 0x29;
    PutLE32(boot, 67, 0x4C550000u ^ seed);
    std::memcpy(boot.data() + 71, "NO NAME    ", 11);
    std::memcpy(boot.data() + 82, "FAT32   ", 8);
    boot[510] = 0x55;
    boot[511] = 0xAA;
    return boot;
}

namespace {

constexpr std::uint64_t kSector = 512;

// splitmix64: a small generator whose output is the same on every platform.
class TRandom {
public:
    explicit TRandom(std::uint64_t seed) : state_(seed) {}
    std::uint64_t Next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }
    void Fill(std::uint8_t* p, std::size_t n) {
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            const std::uint64_t v = Next();
            std::memcpy(p + i, &v, 8);
        }
        for (; i < n; ++i)
            p[i] = static_cast<std::uint8_t>(Next());
    }

private:
    std::uint64_t state_;
};

// A photo with noise, so that it compresses to the size a camera's JPEG has.
TRgbImage NoisyPhoto(int width, int height, unsigned seed, int noise) {
    TRgbImage image = TRgbImage::Pattern(width, height, seed);
    TRandom rnd(seed * 7919u + 1);
    for (std::uint8_t& p : image.Pixels) {
        const int v = p + static_cast<int>(rnd.Below(static_cast<std::uint32_t>(2 * noise + 1))) - noise;
        p = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
    }
    return image;
}

struct TExif {
    std::string make, model, date;
    std::uint16_t iso = 100;
    std::uint32_t expNum = 1, expDen = 125, fNum = 56, fDen = 10, focalNum = 50, focalDen = 1;
};

// A camera JPEG: APP1 EXIF block with the shooting data and a 160 x 120 thumbnail, then the picture.
TByteVector CameraJpeg(const TRgbImage& picture, const TExif& e, int quality) {
    TCameraTiff t;
    t.make = e.make;
    t.model = e.model;
    t.dateTaken = e.date;
    t.width = static_cast<std::uint32_t>(picture.Width);
    t.height = static_cast<std::uint32_t>(picture.Height);
    t.iso = e.iso;
    t.exposureNum = e.expNum, t.exposureDen = e.expDen;
    t.fNumberNum = e.fNum, t.fNumberDen = e.fDen;
    t.focalNum = e.focalNum, t.focalDen = e.focalDen;
    t.jpegThumbnail = EncodeJpeg(TRgbImage::Pattern(160, 120, static_cast<unsigned>(picture.Width)), 80);
    const TByteVector tiff = BuildCameraTiff(t);
    return TJpegBuilder().Exif(tiff).Picture(EncodeJpeg(picture, quality)).Build();
}

// A raw file as a camera writes it: the directories and the thumbnail first, the raw data last.
TByteVector CameraRaw(const std::string& make, const std::string& model, bool bigEndian, bool cr2, bool dng,
                      std::uint32_t rawBytes) {
    TTiffBuilder b(bigEndian);
    if (cr2)
        b.SetHeaderExtra({'C', 'R', 2, 0, 0, 0, 0, 0});
    const auto ifd0 = b.AddDirectory();
    const auto exif = b.AddDirectory();
    const auto ifd1 = b.AddDirectory();
    b.Chain(ifd0, ifd1);
    b.Long(ifd0, 0x0100, {6000});
    b.Long(ifd0, 0x0101, {4000});
    b.Short(ifd0, 0x0103, {1});
    if (!make.empty())
        b.Ascii(ifd0, 0x010F, make);
    if (!model.empty())
        b.Ascii(ifd0, 0x0110, model);
    b.SubDirectory(ifd0, exif);
    b.Rational(exif, 0x829A, 1, 250);
    b.Rational(exif, 0x829D, 8, 1);
    b.Short(exif, 0x8827, {400});
    b.Ascii(exif, 0x9003, "2024:06:01 10:11:12");
    b.Rational(exif, 0x920A, 35, 1);
    b.Short(ifd1, 0x0100, {160});
    b.Short(ifd1, 0x0101, {120});
    b.Short(ifd1, 0x0103, {6});
    b.JpegThumbnail(ifd1, EncodeJpeg(TRgbImage::Pattern(160, 120, rawBytes & 0xFF), 80));
    TByteVector raw(rawBytes);
    TRandom rnd(rawBytes);
    rnd.Fill(raw.data(), raw.size());
    b.Strips(ifd0, {b.AddData(std::move(raw))});
    if (dng)
        b.Raw(ifd0, 0xC612, kTiffByte, 4, {1, 4, 0, 0});
    return b.Build();
}

std::vector<TCardSource> MakeSources(bool largePhotos) {
    using namespace lumivore;
    std::vector<TCardSource> s;
    auto add = [&](const char* ext, std::uint8_t fmt, std::uint8_t maker, bool measurable, const char* what,
                   TByteVector bytes) {
        const auto length = static_cast<std::uint32_t>(bytes.size());
        s.push_back({ext, fmt, maker, measurable, what, std::move(bytes), length});
    };

    add("JPG", kFormatJpeg, kNoIndex, true, "JPEG photo with EXIF and thumbnail",
        CameraJpeg(NoisyPhoto(1024, 768, 1, 12), {"Canon", "Canon EOS 80D", "2024:05:17 14:03:22", 200}, 88));
    if (largePhotos) {
        add("JPG", kFormatJpeg, kNoIndex, true, "8-megapixel JPEG, larger than a scan block and than 5 MB",
            CameraJpeg(NoisyPhoto(3264, 2448, 2, 40), {"NIKON CORPORATION", "NIKON D750", "2024:05:18 09:30:00", 800}, 95));
        const TByteVector main = CameraJpeg(NoisyPhoto(2048, 1536, 3, 30), {"SONY", "ILCE-7M3", "2024:05:19 18:45:10", 1600}, 93);
        const TByteVector preview = EncodeJpeg(NoisyPhoto(1920, 1080, 4, 10), 85);
        add("JPG", kFormatJpeg, kNoIndex, true, "JPEG with a preview JPEG appended, indexed by MPF",
            JpegWithPreview(main, preview));
    }
    add("JPG", kFormatJpeg, kNoIndex, true, "small JPEG without EXIF", EncodeJpeg(TRgbImage::Pattern(320, 240, 5), 75));
    add("PNG", kFormatPng, kNoIndex, true, "PNG picture", EncodePng(TRgbImage::Pattern(400, 300, 6), 8192));
    add("GIF", kFormatGif, kNoIndex, true, "GIF picture", EncodeGif(TRgbImage::Pattern(200, 150, 7)));
    add("BMP", kFormatBmp, kNoIndex, true, "24-bit BMP picture", EncodeBmp(TRgbImage::Pattern(300, 200, 8), 24));
    add("TIF", kFormatTiff, kNoIndex, true, "TIFF with EXIF and thumbnail",
        CameraRaw("", "", false, false, false, 600 * 400 * 3));
    add("DNG", kFormatDng, kMakerPentax, true, "Pentax DNG",
        CameraRaw("PENTAX", "PENTAX K-3", false, false, true, 1200000));
    add("CR2", kNoIndex, kMakerCanon, true, "Canon CR2-like raw",
        CameraRaw("Canon", "Canon EOS 5D Mark IV", false, true, false, 1500000));
    add("NEF", kNoIndex, kMakerNikon, true, "Nikon NEF-like raw",
        CameraRaw("NIKON CORPORATION", "NIKON D850", true, false, false, 1300000));
    add("WAV", kFormatWav, kNoIndex, true, "WAV audio", MakeWave(44100, 2, 16, 44100));
    add("AVI", kFormatAvi, kNoIndex, true, "AVI video", MakeAvi(320, 240, 30, 4000));
    // A RealMedia file's walk ends at a chunk of size 0: the eight zero bytes after it are
    // what follows the file on the card, not part of it.
    add("RM", kFormatRealMedia, kNoIndex, true, "RealMedia", MakeRealMedia(40, 500));
    s.back().Length -= 8;
    add("X3F", kNoIndex, kMakerSigma, true, "Sigma X3F with its directory", BuildX3f(4704, 3136, 4096));
    {
        TMrwLayout mrw;
        mrw.sensorHeight = 2000, mrw.sensorWidth = 3000, mrw.imageHeight = 2000, mrw.imageWidth = 3000;
        TCameraTiff t;
        t.make = "KONICA MINOLTA";
        t.model = "DYNAX 7D";
        t.dateTaken = "2005:03:04 05:06:07";
        t.width = 3000, t.height = 2000, t.iso = 100;
        t.jpegThumbnail = EncodeJpeg(TRgbImage::Pattern(160, 120, 9), 80);
        mrw.tiff = BuildCameraTiff(t);
        mrw.includeRaw = true;
        add("MRW", kNoIndex, kMakerMinolta, true, "Minolta MRW with TTW block", BuildMrw(mrw));
    }
    {
        TRafLayout raf;
        raf.preview = EncodeJpeg(TRgbImage::Pattern(640, 480, 10), 85);
        raf.previewLength = static_cast<std::uint32_t>(raf.preview.size());
        raf.rawOffset = ((148 + raf.previewLength + 511) / 512) * 512;
        raf.rawLength = 200000;
        raf.size = raf.rawOffset + raf.rawLength;
        add("RAF", kNoIndex, kMakerFuji, true, "Fuji RAF with JPEG preview", BuildRaf(raf));
    }
    return s;
}

// A FAT32 boot sector of a freshly formatted card of the given size, its FSInfo sector, and
// its backup copies, and the start of the data area.
std::uint64_t WriteFat32Area(std::ofstream& out, std::uint64_t totalSectors, std::uint32_t seed) {
    constexpr std::uint32_t reserved = 32, sectorsPerCluster = 8;
    const std::uint64_t clusters = totalSectors / sectorsPerCluster;
    const std::uint32_t fatSectors = static_cast<std::uint32_t>((clusters * 4 + 511) / 512);
    std::vector<std::uint8_t> area((reserved + 2ull * fatSectors) * kSector, 0);
    const std::vector<std::uint8_t> boot = Fat32BootSector(totalSectors, sectorsPerCluster, reserved, fatSectors, seed);
    std::vector<std::uint8_t> info(kSector, 0);
    std::memcpy(info.data(), "RRaA", 4);
    std::memcpy(info.data() + 484, "rrAa", 4);
    PutLE32(info, 488, 0xFFFFFFFF);
    PutLE32(info, 492, 0xFFFFFFFF);
    info[510] = 0x55;
    info[511] = 0xAA;
    std::copy(boot.begin(), boot.end(), area.begin());
    std::copy(info.begin(), info.end(), area.begin() + kSector);
    std::copy(boot.begin(), boot.end(), area.begin() + 6 * kSector);
    std::copy(info.begin(), info.end(), area.begin() + 7 * kSector);
    // Both FATs: the media entries and an empty root folder's end-of-chain, nothing else.
    for (int f = 0; f < 2; ++f) {
        const std::size_t fat = (reserved + static_cast<std::size_t>(f) * fatSectors) * kSector;
        PutLE32(area, fat, 0x0FFFFFF8);
        PutLE32(area, fat + 4, 0x0FFFFFFF);
        PutLE32(area, fat + 8, 0x0FFFFFFF);
    }
    out.write(reinterpret_cast<const char*>(area.data()), static_cast<std::streamsize>(area.size()));
    // The root folder's cluster, empty.
    std::vector<std::uint8_t> root(sectorsPerCluster * kSector, 0);
    out.write(reinterpret_cast<const char*>(root.data()), static_cast<std::streamsize>(root.size()));
    return area.size() / kSector + sectorsPerCluster;
}

// Bytes between files: what a used card holds where no intact file starts: random data,
// zeros, erased flash (0xFF) or text.
void WriteFiller(std::ofstream& out, TRandom& rnd, std::uint64_t bytes) {
    std::vector<std::uint8_t> chunk(64 * 1024);
    const std::uint32_t kind = rnd.Below(4);
    while (bytes > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, chunk.size()));
        switch (kind) {
        case 0: rnd.Fill(chunk.data(), n); break;
        case 1: std::fill_n(chunk.begin(), n, 0); break;
        case 2: std::fill_n(chunk.begin(), n, 0xFF); break;
        default:
            for (std::size_t i = 0; i < n; ++i)
                chunk[i] = static_cast<std::uint8_t>("lorem ipsum dolor sit amet, "[i % 28]);
        }
        out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(n));
        bytes -= n;
    }
}

} // namespace

std::uint64_t Fnv1a64(const std::uint8_t* data, std::size_t size) {
    std::uint64_t h = 0xCBF29CE484222325ull;
    for (std::size_t i = 0; i < size; ++i) {
        h ^= data[i];
        h *= 0x100000001B3ull;
    }
    return h;
}

const std::vector<TCardSource>& SampleCardSources(bool largePhotos) {
    static std::map<bool, std::vector<TCardSource>> cache;
    auto it = cache.find(largePhotos);
    if (it == cache.end())
        it = cache.emplace(largePhotos, MakeSources(largePhotos)).first;
    return it->second;
}

bool WriteSampleCard(const std::string& path, const TSampleCardOptions& options, TSampleCard& card) {
    const std::vector<TCardSource>& sources = SampleCardSources(options.LargePhotos);
    std::vector<std::uint64_t> hashes;
    for (const TCardSource& s : sources)
        hashes.push_back(Fnv1a64(s.Bytes.data(), s.Length));

    card = TSampleCard{};
    card.TotalSectors = options.SizeBytes / kSector;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    TRandom rnd(0x4C756D69766F7265ull ^ options.Seed);
    std::uint64_t sector = WriteFat32Area(out, card.TotalSectors, options.Seed);
    if (sector >= card.TotalSectors)
        return false;

    std::size_t next = 0;
    for (;;) {
        const TCardSource& src = sources[next];
        const std::uint64_t gap = 1 + rnd.Below(64);
        const std::uint64_t fileSectors = (src.Bytes.size() + kSector - 1) / kSector;
        if (sector + gap + fileSectors > card.TotalSectors)
            break;
        WriteFiller(out, rnd, gap * kSector);
        sector += gap;
        out.write(reinterpret_cast<const char*>(src.Bytes.data()), static_cast<std::streamsize>(src.Bytes.size()));
        // The rest of the file's last sector holds whatever the card held before.
        WriteFiller(out, rnd, fileSectors * kSector - src.Bytes.size());
        card.Files.push_back({sector, src.Ext, src.FormatIndex, src.MakerIndex,
                              src.Length, src.Measurable, src.Description,
                              hashes[next]});
        sector += fileSectors;
        next = (next + 1) % sources.size();
    }
    WriteFiller(out, rnd, (card.TotalSectors - sector) * kSector);
    out.flush();
    return static_cast<bool>(out);
}

std::string ManifestText(const TSampleCard& card) {
    std::string text = "sector\ttype\tbytes\tmeasurable\tfnv1a64\tdescription\n";
    char line[512];
    for (const TCardFile& f : card.Files) {
        std::snprintf(line, sizeof line, "%llu\t%s\t%u\t%s\t%016llx\t%s\n", static_cast<unsigned long long>(f.StartSector),
                      f.Ext.c_str(), f.Size, f.Measurable ? "yes" : "no", static_cast<unsigned long long>(f.Hash),
                      f.Description.c_str());
        text += line;
    }
    return text;
}

} // namespace lumivore::testkit
