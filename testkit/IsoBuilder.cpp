// Box-structured files and WebP pictures laid out in memory for tests, fuzz seeds and benchmarks.
#include "testkit/IsoBuilder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "testkit/ByteWriter.h"

namespace lumivore::testkit {

namespace {

void PutType(TByteVector& out, const char* type) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(type[i]));
}

void PutBE64(TByteVector& out, std::uint64_t v) {
    PutBE32(out, static_cast<std::uint32_t>(v >> 32));
    PutBE32(out, static_cast<std::uint32_t>(v));
}

TByteVector RawBox(const char* type, const TByteVector& payload) {
    TByteVector out;
    PutBE32(out, static_cast<std::uint32_t>(8 + payload.size()));
    PutType(out, type);
    Append(out, payload);
    return out;
}

// A box whose type is a number (the items of an "ilst" named by key index).
TByteVector NumberedBox(std::uint32_t type, const TByteVector& payload) {
    TByteVector out;
    PutBE32(out, static_cast<std::uint32_t>(8 + payload.size()));
    PutBE32(out, type);
    Append(out, payload);
    return out;
}

TByteVector Bytes(std::size_t n, std::uint8_t seed) {
    TByteVector out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(seed + i * 13);
    return out;
}

TByteVector Text(const std::string& text) { return TByteVector(text.begin(), text.end()); }

// A handler box: pre-defined, handler type, reserved, empty name.
TByteVector Handler(const char (&type)[5]) {
    TByteVector p(4, 0);
    PutType(p, type);
    p.resize(p.size() + 12 + 1, 0);
    return FullBox("hdlr", 0, 0, p);
}

const std::uint8_t kIdentity[36] = {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0,
                                    0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0};

TByteVector MovieHeader(std::uint64_t created, bool version1) {
    TByteVector p;
    if (version1) {
        PutBE64(p, created);
        PutBE64(p, created);
        PutBE32(p, 1000);
        PutBE64(p, 5000);
    } else {
        PutBE32(p, static_cast<std::uint32_t>(created));
        PutBE32(p, static_cast<std::uint32_t>(created));
        PutBE32(p, 1000);
        PutBE32(p, 5000);
    }
    PutBE32(p, 0x00010000);
    PutBE16(p, 0x0100);
    p.resize(p.size() + 10, 0);
    p.insert(p.end(), std::begin(kIdentity), std::end(kIdentity));
    p.resize(p.size() + 24, 0);
    PutBE32(p, 3);
    return FullBox("mvhd", version1 ? 1 : 0, 0, p);
}

TByteVector TrackHeader(std::uint32_t id, std::uint32_t width, std::uint32_t height, bool version1) {
    TByteVector p;
    if (version1) {
        PutBE64(p, 0);
        PutBE64(p, 0);
        PutBE32(p, id);
        PutBE32(p, 0);
        PutBE64(p, 5000);
    } else {
        PutBE32(p, 0);
        PutBE32(p, 0);
        PutBE32(p, id);
        PutBE32(p, 0);
        PutBE32(p, 5000);
    }
    p.resize(p.size() + 8 + 2 + 2, 0);
    PutBE16(p, width == 0 ? 0x0100 : 0); // sound tracks have a volume
    PutBE16(p, 0);
    p.insert(p.end(), std::begin(kIdentity), std::end(kIdentity));
    PutBE32(p, width << 16);
    PutBE32(p, height << 16);
    return FullBox("tkhd", version1 ? 1 : 0, 3, p);
}

TByteVector Track(std::uint32_t id, const char (&handler)[5], std::uint32_t width, std::uint32_t height,
                  bool version1) {
    const TByteVector mdhd = FullBox("mdhd", 0, 0, TByteVector(20, 0));
    const TByteVector minf = Box("minf", Box("dinf", FullBox("dref", 0, 0, {0, 0, 0, 0})));
    return Box("trak", Join({TrackHeader(id, width, height, version1), Box("mdia", Join({mdhd, Handler(handler), minf}))}));
}

// A QuickTime text entry of user data: length, language, text.
TByteVector UserText(const char* type, const std::string& text) {
    TByteVector p;
    PutBE16(p, static_cast<std::uint32_t>(text.size()));
    PutBE16(p, 0x55C4);
    Append(p, Text(text));
    return RawBox(type, p);
}

// A "data" box holding UTF-8 text.
TByteVector DataText(const std::string& text) {
    TByteVector p;
    PutBE32(p, 1);
    PutBE32(p, 0);
    Append(p, Text(text));
    return Box("data", p);
}

std::size_t Find(const TByteVector& haystack, const TByteVector& needle) {
    const auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end());
    return static_cast<std::size_t>(it - haystack.begin());
}

constexpr std::uint8_t kCanonUuid[16] = {0x85, 0xC0, 0xB6, 0x87, 0x82, 0x0F, 0x11, 0xE0,
                                         0x81, 0x11, 0xF4, 0xCE, 0x46, 0x2B, 0x6A, 0x48};
constexpr std::uint8_t kCanonPreviewUuid[16] = {0xEA, 0xF4, 0x2B, 0x5E, 0x1C, 0x98, 0x4B, 0x88,
                                                0xB9, 0xFB, 0xB7, 0xDC, 0x40, 0x6E, 0x4D, 0x16};

} // namespace

TByteVector Box(const char (&type)[5], const TByteVector& payload) { return RawBox(type, payload); }

TByteVector FullBox(const char (&type)[5], std::uint8_t version, std::uint32_t flags, const TByteVector& payload) {
    TByteVector p;
    PutBE32(p, (static_cast<std::uint32_t>(version) << 24) | (flags & 0xFFFFFF));
    Append(p, payload);
    return RawBox(type, p);
}

TByteVector LargeBox(const char (&type)[5], const TByteVector& payload) {
    TByteVector out;
    PutBE32(out, 1);
    PutType(out, type);
    PutBE64(out, 16 + payload.size());
    Append(out, payload);
    return out;
}

TByteVector ToEndBox(const char (&type)[5], const TByteVector& payload) {
    TByteVector out;
    PutBE32(out, 0);
    PutType(out, type);
    Append(out, payload);
    return out;
}

TByteVector UuidBox(const std::uint8_t (&uuid)[16], const TByteVector& payload) {
    TByteVector p(std::begin(uuid), std::end(uuid));
    Append(p, payload);
    return RawBox("uuid", p);
}

TByteVector Ftyp(const char (&major)[5], std::initializer_list<const char*> compatible) {
    TByteVector p;
    PutType(p, major);
    PutBE32(p, 0);
    for (const char* brand : compatible)
        PutType(p, brand);
    return Box("ftyp", p);
}

TByteVector Join(std::initializer_list<TByteVector> parts) {
    TByteVector out;
    for (const TByteVector& part : parts)
        Append(out, part);
    return out;
}

TByteVector BuildExifTiff(const TExifRecipe& recipe) {
    TTiffBuilder b(recipe.bigEndian);
    const auto ifd0 = b.AddDirectory();
    const auto exif = b.AddDirectory();
    b.Ascii(ifd0, 0x010F, recipe.make);
    b.Ascii(ifd0, 0x0110, recipe.model);
    b.SubDirectory(ifd0, exif);
    b.Rational(exif, 0x829A, recipe.exposureNum, recipe.exposureDen);
    b.Rational(exif, 0x829D, recipe.fNumberNum, recipe.fNumberDen);
    b.Short(exif, 0x8827, {recipe.iso});
    b.Ascii(exif, 0x9003, recipe.dateTaken);
    b.Rational(exif, 0x920A, recipe.focalNum, recipe.focalDen);
    if (recipe.width != 0) {
        b.Long(exif, 0xA002, {recipe.width});
        b.Long(exif, 0xA003, {recipe.height});
    }
    return b.Build();
}

TByteVector BuildHeif(const THeifRecipe& recipe) {
    TByteVector exifItem;
    if (recipe.withExif) {
        PutBE32(exifItem, 6);
        Append(exifItem, "Exif\0\0", 6);
        Append(exifItem, BuildExifTiff(recipe.exif));
    }
    const TByteVector coded = Bytes(recipe.codedBytes, 0x21);
    const TByteVector thumbCoded = Bytes(300, 0x45);
    const TByteVector ftyp = [&] {
        TByteVector p;
        PutType(p, recipe.major);
        PutBE32(p, 0);
        for (const std::string& brand : recipe.compatible)
            PutType(p, brand.c_str());
        return Box("ftyp", p);
    }();

    // The item boxes; item locations depend on where "mdat" starts, so the "meta" box is built
    // twice: its size does not depend on the offsets it holds.
    auto buildMeta = [&](std::uint64_t codedAt, std::uint64_t thumbAt, std::uint64_t exifAt) {
        auto infe = [](std::uint16_t id, const char (&type)[5]) {
            TByteVector p;
            PutBE16(p, id);
            PutBE16(p, 0);
            PutType(p, type);
            p.push_back(0);
            return FullBox("infe", 2, 0, p);
        };
        TByteVector iinfPayload;
        PutBE16(iinfPayload, recipe.withExif ? 3 : 2);
        Append(iinfPayload, infe(1, "hvc1"));
        Append(iinfPayload, infe(2, "hvc1"));
        if (recipe.withExif)
            Append(iinfPayload, infe(3, "Exif"));

        TByteVector ilocPayload;
        ilocPayload.push_back(0x44); // 4-byte offsets and lengths
        ilocPayload.push_back(0x00); // no base offset, no extent index
        PutBE16(ilocPayload, recipe.withExif ? 3 : 2);
        auto item = [&](std::uint16_t id, std::uint16_t method, std::uint64_t offset, std::size_t length) {
            PutBE16(ilocPayload, id);
            PutBE16(ilocPayload, method);
            PutBE16(ilocPayload, 0);
            PutBE16(ilocPayload, 1);
            PutBE32(ilocPayload, static_cast<std::uint32_t>(offset));
            PutBE32(ilocPayload, static_cast<std::uint32_t>(length));
        };
        item(1, 0, codedAt, coded.size());
        item(2, 0, thumbAt, thumbCoded.size());
        if (recipe.withExif) {
            const std::uint64_t at = recipe.exifInIdat ? 0 : exifAt;
            item(3, recipe.exifInIdat ? 1 : 0, static_cast<std::uint64_t>(static_cast<std::int64_t>(at) + recipe.exifOffsetDelta),
                 exifItem.size());
        }

        auto ispe = [](std::uint32_t w, std::uint32_t h) {
            TByteVector p;
            PutBE32(p, w);
            PutBE32(p, h);
            return FullBox("ispe", 0, 0, p);
        };
        // Property 1 is the thumbnail's size, 2 the picture's: the primary item's is the one
        // that "ipma" names, not the first.
        const TByteVector ipco = Box("ipco", Join({ispe(recipe.thumbWidth, recipe.thumbHeight), ispe(recipe.width, recipe.height)}));
        TByteVector ipmaPayload;
        PutBE32(ipmaPayload, 2);
        PutBE16(ipmaPayload, 1);
        ipmaPayload.push_back(1);
        ipmaPayload.push_back(0x82);
        PutBE16(ipmaPayload, 2);
        ipmaPayload.push_back(1);
        ipmaPayload.push_back(0x81);
        TByteVector pitm;
        PutBE16(pitm, 1);

        TByteVector children = Join({Handler("pict"), FullBox("pitm", 0, 0, pitm), FullBox("iinf", 0, 0, iinfPayload),
                                     FullBox("iloc", 1, 0, ilocPayload),
                                     Box("iprp", Join({ipco, FullBox("ipma", 0, 0, ipmaPayload)}))});
        if (recipe.exifInIdat)
            Append(children, Box("idat", exifItem));
        return FullBox("meta", 0, 0, children);
    };
    // The media data in one box, or the picture's in one and the rest in a second.
    TByteVector rest = thumbCoded;
    if (recipe.withExif && !recipe.exifInIdat)
        Append(rest, exifItem);
    const auto mdat = [&](const TByteVector& payload) {
        return recipe.largeMdat ? LargeBox("mdat", payload) : Box("mdat", payload);
    };
    const TByteVector mdats = recipe.splitMdat ? Join({mdat(coded), mdat(rest)}) : mdat(Join({coded, rest}));
    const std::size_t header = recipe.largeMdat ? 16 : 8;
    const std::size_t metaSize = buildMeta(0, 0, 0).size();
    const std::uint64_t codedAt = ftyp.size() + (recipe.mdatFirst ? 0 : metaSize) + header;
    const std::uint64_t thumbAt = codedAt + coded.size() + (recipe.splitMdat ? header : 0);
    const TByteVector meta = buildMeta(codedAt, thumbAt, thumbAt + thumbCoded.size());
    return recipe.mdatFirst ? Join({ftyp, mdats, meta}) : Join({ftyp, meta, mdats});
}

TByteVector BuildMovieBox(const TMovieRecipe& recipe) {
    TByteVector children = MovieHeader(recipe.created, recipe.version1);
    // A timed-metadata track with a size of its own comes first: the video track is the one
    // whose handler says so.
    Append(children, Track(1, "meta", 640, 480, recipe.version1));
    Append(children, Track(2, "soun", 0, 0, recipe.version1));
    Append(children, Track(3, "vide", recipe.width, recipe.height, recipe.version1));
    TByteVector udta;
    if (!recipe.make.empty())
        Append(udta, UserText("\xA9mak", recipe.make));
    if (!recipe.model.empty())
        Append(udta, UserText("\xA9mod", recipe.model));
    if (!recipe.day.empty())
        Append(udta, UserText("\xA9" "day", recipe.day));
    Append(udta, recipe.userData);
    if (!udta.empty())
        Append(children, Box("udta", udta));
    if (!recipe.keysMake.empty() || !recipe.keysModel.empty() || !recipe.keysDate.empty()) {
        TByteVector keys;
        PutBE32(keys, 4);
        for (const char* name : {"com.apple.quicktime.software", "com.apple.quicktime.make", "com.apple.quicktime.model",
                                 "com.apple.quicktime.creationdate"})
            Append(keys, Box("mdta", Text(name)));
        TByteVector ilst = NumberedBox(1, DataText("17.1"));
        if (!recipe.keysMake.empty())
            Append(ilst, NumberedBox(2, DataText(recipe.keysMake)));
        if (!recipe.keysModel.empty())
            Append(ilst, NumberedBox(3, DataText(recipe.keysModel)));
        if (!recipe.keysDate.empty())
            Append(ilst, NumberedBox(4, DataText(recipe.keysDate)));
        // QuickTime writes this "meta" without version and flags.
        Append(children, Box("meta", Join({Handler("mdta"), FullBox("keys", 0, 0, keys), Box("ilst", ilst)})));
    }
    Append(children, recipe.movieBoxes);
    return Box("moov", children);
}

TByteVector BuildMovie(const TMovieRecipe& recipe) {
    const TByteVector moov = BuildMovieBox(recipe);
    const TByteVector data = Bytes(static_cast<std::size_t>(recipe.mdatBytes), 0x37);
    const TByteVector mdat = recipe.mdatToEnd ? ToEndBox("mdat", data) : recipe.largeMdat ? LargeBox("mdat", data) : Box("mdat", data);
    TByteVector out;
    if (recipe.major[0] != 0) {
        TByteVector p;
        PutType(p, recipe.major);
        PutBE32(p, 0);
        for (const std::string& brand : recipe.compatible)
            PutType(p, brand.c_str());
        Append(out, Box("ftyp", p));
    }
    if (recipe.moovFirst || recipe.mdatToEnd) {
        Append(out, moov);
        Append(out, Box("free", TByteVector(8, 0)));
        Append(out, mdat);
    } else {
        Append(out, Box("wide", {}));
        Append(out, mdat);
        Append(out, moov);
    }
    return out;
}

TByteVector BuildCr3(const TCr3Spec& recipe, TCr3Layout* layout) {
    TTiffBuilder ifd0b;
    const auto ifd0 = ifd0b.AddDirectory();
    ifd0b.Long(ifd0, 0x0100, {recipe.width});
    ifd0b.Long(ifd0, 0x0101, {recipe.height});
    ifd0b.Ascii(ifd0, 0x010F, recipe.exif.make);
    ifd0b.Ascii(ifd0, 0x0110, recipe.exif.model);
    TTiffBuilder exifb;
    const auto exif = exifb.AddDirectory();
    exifb.Rational(exif, 0x829A, recipe.exif.exposureNum, recipe.exif.exposureDen);
    exifb.Rational(exif, 0x829D, recipe.exif.fNumberNum, recipe.exif.fNumberDen);
    exifb.Short(exif, 0x8827, {recipe.exif.iso});
    exifb.Ascii(exif, 0x9003, recipe.exif.dateTaken);
    exifb.Rational(exif, 0x920A, recipe.exif.focalNum, recipe.exif.focalDen);

    TByteVector canon = Box("CNCV", Text("CanonCR3_001/00.09.00/00.00.00"));
    Append(canon, Box("CMT1", ifd0b.Build()));
    Append(canon, Box("CMT2", exifb.Build()));
    if (!recipe.thumbnail.empty()) {
        TByteVector p;
        PutBE16(p, 160);
        PutBE16(p, 120);
        PutBE32(p, static_cast<std::uint32_t>(recipe.thumbnail.size()));
        PutBE16(p, 1);
        PutBE16(p, 0);
        Append(p, recipe.thumbnail);
        Append(canon, FullBox("THMB", 0, 0, p));
    }
    const TByteVector moov = Box("moov", Join({UuidBox(kCanonUuid, canon), MovieHeader(3600000000u, false),
                                               Track(1, "vide", recipe.width, recipe.height, false)}));
    TByteVector preview;
    if (!recipe.preview.empty()) {
        TByteVector p;
        PutBE32(p, 0);
        PutBE16(p, 1);
        PutBE16(p, 1620);
        PutBE16(p, 1080);
        PutBE16(p, 1);
        PutBE32(p, static_cast<std::uint32_t>(recipe.preview.size()));
        Append(p, recipe.preview);
        TByteVector outer(8, 0);
        outer[7] = 1;
        Append(outer, Box("PRVW", p));
        preview = UuidBox(kCanonPreviewUuid, outer);
    }
    const TByteVector out = Join({Ftyp("crx ", {"crx ", "isom"}), moov, preview, Box("mdat", Bytes(recipe.mdatBytes, 0x5A))});
    if (layout != nullptr) {
        *layout = TCr3Layout{};
        if (!recipe.thumbnail.empty())
            layout->thumbnailOffset = static_cast<std::uint32_t>(Find(out, recipe.thumbnail));
        if (!recipe.preview.empty())
            layout->previewOffset = static_cast<std::uint32_t>(Find(out, recipe.preview));
    }
    return out;
}

TByteVector BuildWebP(const std::string& kind, std::uint32_t width, std::uint32_t height, const TByteVector& exif) {
    auto chunk = [](const char* id, const TByteVector& data) {
        TByteVector out;
        PutType(out, id);
        PutLE32(out, static_cast<std::uint32_t>(data.size()));
        Append(out, data);
        if (data.size() % 2 != 0)
            out.push_back(0);
        return out;
    };
    auto lossless = [&] {
        TByteVector d;
        d.push_back(0x2F);
        PutLE32(d, ((width - 1) & 0x3FFF) | (((height - 1) & 0x3FFF) << 14));
        Append(d, Bytes(41, 0x11));
        return chunk("VP8L", d);
    };
    TByteVector body;
    PutType(body, "WEBP");
    if (kind == "VP8 ") {
        TByteVector d = {0x50, 0x02, 0x00, 0x9D, 0x01, 0x2A};
        PutLE16(d, width & 0x3FFF);
        PutLE16(d, height & 0x3FFF);
        Append(d, Bytes(40, 0x23));
        Append(body, chunk("VP8 ", d));
    } else if (kind == "VP8L") {
        Append(body, lossless());
    } else {
        TByteVector d = {static_cast<std::uint8_t>(exif.empty() ? 0 : 0x08), 0, 0, 0};
        for (std::uint32_t v : {width - 1, height - 1}) {
            d.push_back(static_cast<std::uint8_t>(v));
            d.push_back(static_cast<std::uint8_t>(v >> 8));
            d.push_back(static_cast<std::uint8_t>(v >> 16));
        }
        Append(body, chunk("VP8X", d));
        Append(body, lossless());
    }
    if (!exif.empty())
        Append(body, chunk("EXIF", exif));
    TByteVector out;
    PutType(out, "RIFF");
    PutLE32(out, static_cast<std::uint32_t>(body.size()));
    Append(out, body);
    return out;
}

bool WriteSparseMp4(const std::string& path, std::uint64_t size) {
    TMovieRecipe recipe;
    const TByteVector head = Join({Ftyp("isom", {"isom", "mp42"}), BuildMovieBox(recipe)});
    if (size < head.size() + 16)
        return false;
    TByteVector mdat;
    PutBE32(mdat, 1);
    PutType(mdat, "mdat");
    PutBE64(mdat, size - head.size());
    const TByteVector all = Join({head, mdat});
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0 &&
              ::pwrite(fd, all.data(), all.size(), 0) == static_cast<ssize_t>(all.size());
    ok = ::close(fd) == 0 && ok;
    return ok;
}

} // namespace lumivore::testkit
