// Box-structured files: the "ftyp" signature and brands, the length as the sum of the
// top-level boxes, and the metadata of pictures (HEIF items), videos (movie and track headers,
// user data) and Canon CR3 raws (TIFF blocks in Canon's own box).
//
// Every box is read through the bounds-checked reader over the data given, and a box is
// believed only inside its parent: a child whose size would take it past its parent's end
// ends the walk of that parent. The walks follow fixed paths (moov/trak/mdia/hdlr, meta/iprp/
// ipco and the like), never a recursion, so nesting is bounded by the paths themselves.
#include "formats/IsoMedia.h"

#include <algorithm>
#include <array>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/FileTypes.h"
#include "formats/LengthPolicy.h"
#include "formats/TiffWalker.h"

namespace lumivore {

namespace {

constexpr std::uint32_t Type(const char (&t)[5]) {
    return (static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[3]));
}

// The smallest "ftyp" holds the major brand and the minor version; real ones list up to a
// dozen compatible brands. 4096 bytes is far beyond any writer and keeps the box's size within
// its first two bytes being zero, which the scan's cheap start test relies on.
constexpr std::uint32_t kMinFtyp = 16;
constexpr std::uint32_t kMaxFtyp = 4096;
// A movie that starts with its index instead of "ftyp" (older QuickTime writers): the scan
// offers it only when the box size's first byte is zero, that is below 16 MiB.
constexpr std::uint32_t kMaxLeadingMoov = 0x01000000;

// Bounds against hostile data. A fragmented recording holds a "moof" and an "mdat" per
// fragment, a few thousand in an hour; 65536 top-level boxes end the walk with the length
// unknown long before that is a cost. Inside a box, the largest real lists are the items of a
// tiled picture (a few hundred) and the entries of an "ilst"; 4096 children, items or
// properties cover them and cap the work any one box can cause.
constexpr std::uint32_t kMaxTopLevelBoxes = 65536;
constexpr std::uint32_t kMaxChildren = 4096;
constexpr std::uint32_t kMaxItems = 4096;
// Texts read from user data (maker and model names) are short; longer ones are cut.
constexpr std::size_t kMaxText = 255;

constexpr std::uint8_t kCanonUuid[16] = {0x85, 0xC0, 0xB6, 0x87, 0x82, 0x0F, 0x11, 0xE0,
                                         0x81, 0x11, 0xF4, 0xCE, 0x46, 0x2B, 0x6A, 0x48};
constexpr std::uint8_t kCanonPreviewUuid[16] = {0xEA, 0xF4, 0x2B, 0x5E, 0x1C, 0x98, 0x4B, 0x88,
                                                0xB9, 0xFB, 0xB7, 0xDC, 0x40, 0x6E, 0x4D, 0x16};

// One box: where its header starts, where its contents start (after a 64-bit size and a uuid
// type's 16 bytes) and where it ends.
struct TBox {
    std::uint32_t type = 0;
    std::uint64_t start = 0;
    std::uint64_t payload = 0;
    std::uint64_t end = 0;
    bool toEnd = false; // size 0: the box runs to the end of its container
};

enum class THeader { Ok, Beyond, Bad };

// The header of the box at pos. Beyond when the header does not lie inside the data; Bad when
// its size cannot be a box's. A size-0 box gets end = limit.
THeader ReadHeader(const TByteReader& r, std::uint64_t pos, std::uint64_t limit, TBox& box) {
    std::uint32_t size32 = 0;
    if (!r.U32BE(pos, size32) || !r.Has(pos, 8))
        return THeader::Beyond;
    box = TBox{};
    box.start = pos;
    r.U32BE(pos + 4, box.type);
    std::uint64_t size = size32;
    std::uint64_t header = 8;
    if (size32 == 1) {
        std::uint32_t high = 0, low = 0;
        if (!r.U32BE(pos + 8, high) || !r.U32BE(pos + 12, low))
            return THeader::Beyond;
        size = (static_cast<std::uint64_t>(high) << 32) | low;
        header = 16;
        if (size < header)
            return THeader::Bad;
    } else if (size32 == 0) {
        box.toEnd = true;
    } else if (size32 < 8) {
        return THeader::Bad;
    }
    if (box.type == Type("uuid")) {
        header += 16;
        if (!box.toEnd && size < header)
            return THeader::Bad;
        if (!r.Has(pos, header))
            return THeader::Beyond;
    }
    box.payload = pos + header;
    if (box.toEnd) {
        if (limit < box.payload)
            return THeader::Bad;
        box.end = limit;
    } else {
        if (size > std::numeric_limits<std::uint64_t>::max() - pos)
            return THeader::Bad;
        box.end = pos + size;
    }
    return THeader::Ok;
}

// Calls visit for each child box of parent whose header lies inside the data, in order, until
// visit returns false, a child would leave its parent, a header is damaged or kMaxChildren
// have been seen. skip is the number of content bytes before the first child (4 for the
// version and flags of a full box).
template <typename F>
void ForEachChild(const TByteReader& r, const TBox& parent, std::uint64_t skip, F&& visit) {
    if (parent.end < parent.payload || parent.end - parent.payload < skip)
        return;
    std::uint64_t pos = parent.payload + skip;
    for (std::uint32_t n = 0; n < kMaxChildren && parent.end - pos >= 8; ++n) {
        TBox child;
        if (ReadHeader(r, pos, parent.end, child) != THeader::Ok || child.end > parent.end)
            return;
        if (!visit(child))
            return;
        pos = child.end;
    }
}

// The first child of the given type, or false.
bool FindChild(const TByteReader& r, const TBox& parent, std::uint64_t skip, std::uint32_t type, TBox& found) {
    bool seen = false;
    ForEachChild(r, parent, skip, [&](const TBox& child) {
        if (child.type != type)
            return true;
        found = child;
        seen = true;
        return false;
    });
    return seen;
}

// Whether a box's contents lie inside the data; the readers below work only on such boxes.
bool Whole(const TByteReader& r, const TBox& box) { return box.end >= box.payload && box.end <= r.size(); }

// Text from bytes: up to the first zero, without leading and trailing blanks and control
// characters, at most kMaxText bytes.
std::string Text(const TByteReader& r, std::uint64_t at, std::uint64_t n) {
    TBytes bytes;
    if (!r.Sub(at, std::min<std::uint64_t>(n, kMaxText), bytes))
        return {};
    std::size_t end = 0;
    while (end < bytes.size() && bytes[end] != 0)
        ++end;
    std::size_t begin = 0;
    while (begin < end && bytes[begin] <= 32)
        ++begin;
    while (end > begin && bytes[end - 1] <= 32)
        --end;
    return {reinterpret_cast<const char*>(bytes.data()) + begin, end - begin};
}

// ---------------------------------------------------------------------------------------------
// Brands

struct TKind {
    const char* ext;
    std::uint8_t phone;
};

bool IsHeicBrand(std::uint32_t b) {
    return b == Type("heic") || b == Type("heix") || b == Type("heim") || b == Type("heis") ||
           b == Type("hevc") || b == Type("hevx");
}
bool IsAvifBrand(std::uint32_t b) { return b == Type("avif") || b == Type("avis"); }

// The kind of file the brands of a "ftyp" name. A general HEIF brand takes the more specific
// kind a compatible brand names.
bool KindOfBrands(const TByteReader& r, const TBox& ftyp, TKind& kind) {
    std::uint32_t major = 0;
    if (!r.U32BE(ftyp.payload, major))
        return false;
    const std::uint32_t first3 = major & 0xFFFFFF00u;
    if (IsHeicBrand(major))
        kind = {"HEIC", kPhoneHeic};
    else if (IsAvifBrand(major))
        kind = {"AVIF", kPhoneAvif};
    else if (major == Type("crx "))
        kind = {"CR3", kPhoneCr3};
    else if (major == Type("qt  "))
        kind = {"MOV", kPhoneMov};
    else if (first3 == (Type("3gp ") & 0xFFFFFF00u))
        kind = {"3GP", kPhone3gp};
    else if (first3 == (Type("3g2 ") & 0xFFFFFF00u))
        kind = {"3G2", kPhone3gp};
    else if (major == Type("M4V ") || major == Type("M4VH") || major == Type("M4VP"))
        kind = {"M4V", kPhoneMp4};
    else if (major == Type("mif1") || major == Type("msf1")) {
        kind = {"HEIF", kPhoneHeic};
        // Compatible brands follow the minor version.
        for (std::uint64_t at = ftyp.payload + 8; at + 4 <= ftyp.end; at += 4) {
            std::uint32_t brand = 0;
            if (!r.U32BE(at, brand))
                break;
            if (IsHeicBrand(brand)) {
                kind = {"HEIC", kPhoneHeic};
                break;
            }
            if (IsAvifBrand(brand)) {
                kind = {"AVIF", kPhoneAvif};
                break;
            }
        }
    } else {
        static constexpr std::uint32_t kMp4Brands[] = {
            Type("isom"), Type("iso2"), Type("iso3"), Type("iso4"), Type("iso5"), Type("iso6"),
            Type("iso7"), Type("iso8"), Type("iso9"), Type("mp41"), Type("mp42"), Type("mp71"),
            Type("avc1"), Type("dash"), Type("mmp4"), Type("MSNV"), Type("XAVC"), Type("NDAS"),
            Type("f4v "), Type("kddi"), Type("caqv")};
        if (std::find(std::begin(kMp4Brands), std::end(kMp4Brands), major) == std::end(kMp4Brands))
            return false;
        kind = {"MP4", kPhoneMp4};
    }
    return true;
}

// Box types that stand at the top level of the files of the family. A walk that meets any
// other type has left the file.
bool IsTopLevel(std::uint32_t t) {
    static constexpr std::uint32_t kTypes[] = {
        Type("ftyp"), Type("moov"), Type("mdat"), Type("free"), Type("skip"), Type("wide"),
        Type("uuid"), Type("meta"), Type("pdin"), Type("moof"), Type("mfra"), Type("styp"),
        Type("sidx"), Type("ssix"), Type("prft"), Type("emsg"), Type("pnot"), Type("PICT"),
        Type("junk"), Type("udta"), Type("meco"), Type("bloc")};
    return std::find(std::begin(kTypes), std::end(kTypes), t) != std::end(kTypes);
}

// ---------------------------------------------------------------------------------------------
// Dates

// "YYYY:MM:DD HH:MM:SS" for a count of seconds since 1904-01-01 00:00:00, the epoch of the
// movie header, written like the date of an EXIF block. Empty for 0 (not set) and for dates
// past the year 9999.
std::string DateSince1904(std::uint64_t seconds) {
    if (seconds == 0)
        return {};
    constexpr std::uint64_t kDaysTo1970 = 24107;
    const std::uint64_t days = seconds / 86400;
    const std::uint64_t inDay = seconds % 86400;
    if (days > 3'000'000) // beyond year 9999 either way
        return {};
    // Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
    const std::int64_t z = static_cast<std::int64_t>(days) - static_cast<std::int64_t>(kDaysTo1970) + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    if (year > 9999)
        return {};
    char text[20];
    const auto put = [&text](int at, std::int64_t value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10)
            text[at + i] = static_cast<char>('0' + value % 10);
    };
    put(0, year, 4);
    text[4] = ':';
    put(5, month, 2);
    text[7] = ':';
    put(8, day, 2);
    text[10] = ' ';
    put(11, static_cast<std::int64_t>(inDay / 3600), 2);
    text[13] = ':';
    put(14, static_cast<std::int64_t>(inDay / 60 % 60), 2);
    text[16] = ':';
    put(17, static_cast<std::int64_t>(inDay % 60), 2);
    return {text, 19};
}

// ---------------------------------------------------------------------------------------------
// Movies: MP4, M4V, MOV, 3GP

// Make or model from a user-data entry: either a QuickTime text (16-bit length, 16-bit
// language, text) or an item holding a "data" box.
std::string UserDataText(const TByteReader& r, const TBox& entry) {
    TBox data;
    if (FindChild(r, entry, 0, Type("data"), data)) {
        // Type indicator and locale, then the value.
        if (data.end - data.payload < 8)
            return {};
        return Text(r, data.payload + 8, data.end - data.payload - 8);
    }
    std::uint16_t length = 0;
    if (!r.U16BE(entry.payload, length) || entry.end - entry.payload < 4 ||
        length > entry.end - entry.payload - 4)
        return {};
    return Text(r, entry.payload + 4, length);
}

// A "meta" box comes as a full box (version and flags before the children) or, in QuickTime
// movies, as a plain one; the handler box as first child tells which.
std::uint64_t MetaSkip(const TByteReader& r, const TBox& meta) {
    std::uint32_t type = 0;
    return r.U32BE(meta.payload + 4, type) && type == Type("hdlr") ? 0 : 4;
}

bool KeyIsMake(std::string_view key) {
    return key == "make" || key == "com.apple.quicktime.make";
}
bool KeyIsModel(std::string_view key) {
    return key == "model" || key == "com.apple.quicktime.model";
}

// Make and model from a "meta" box: the item list, with items named by "keys" (index from 1)
// or by their own four-character type.
void ReadMovieMeta(const TByteReader& r, const TBox& meta, TFoundFile& rec) {
    const std::uint64_t skip = MetaSkip(r, meta);
    // Key names, by index; 0 = not a key we read, 1 = make, 2 = model.
    std::array<std::uint8_t, 256> keys{};
    TBox keysBox;
    if (FindChild(r, meta, skip, Type("keys"), keysBox)) {
        std::uint32_t index = 0;
        ForEachChild(r, keysBox, 8, [&](const TBox& key) {
            if (++index >= keys.size())
                return false;
            // A key entry is a box whose type is the key's namespace and whose contents name it.
            const std::string name = Text(r, key.payload, key.end - key.payload);
            keys[index] = KeyIsMake(name) ? 1 : KeyIsModel(name) ? 2 : 0;
            return true;
        });
    }
    TBox list;
    if (!FindChild(r, meta, skip, Type("ilst"), list))
        return;
    ForEachChild(r, list, 0, [&](const TBox& item) {
        std::uint8_t what = 0;
        if (item.type == Type("\xA9mak"))
            what = 1;
        else if (item.type == Type("\xA9mod"))
            what = 2;
        else if (item.type < keys.size())
            what = keys[item.type];
        if (what == 1 && rec.Make.empty())
            rec.Make = UserDataText(r, item);
        else if (what == 2 && rec.Model.empty())
            rec.Model = UserDataText(r, item);
        return true;
    });
}

void ReadUserData(const TByteReader& r, const TBox& udta, TFoundFile& rec) {
    ForEachChild(r, udta, 0, [&](const TBox& entry) {
        if (entry.type == Type("\xA9mak") && rec.Make.empty())
            rec.Make = UserDataText(r, entry);
        else if (entry.type == Type("\xA9mod") && rec.Model.empty())
            rec.Model = UserDataText(r, entry);
        else if (entry.type == Type("meta"))
            ReadMovieMeta(r, entry, rec);
        return true;
    });
}

// Pixel size from a track header: 16.16 fixed-point width and height at its end.
bool TrackSize(const TByteReader& r, const TBox& tkhd, std::uint32_t& width, std::uint32_t& height) {
    std::uint8_t version = 0;
    if (!r.U8(tkhd.payload, version))
        return false;
    const std::uint64_t at = tkhd.payload + (version == 1 ? 88 : 76);
    if (at + 8 > tkhd.end || !r.U32BE(at, width) || !r.U32BE(at + 4, height))
        return false;
    width >>= 16;
    height >>= 16;
    return true;
}

// The handler type of a track's media ("vide" for video, "soun" for sound).
std::uint32_t TrackHandler(const TByteReader& r, const TBox& trak) {
    TBox mdia, hdlr;
    std::uint32_t handler = 0;
    if (FindChild(r, trak, 0, Type("mdia"), mdia) && FindChild(r, mdia, 0, Type("hdlr"), hdlr) &&
        hdlr.end - hdlr.payload >= 12)
        r.U32BE(hdlr.payload + 8, handler);
    return handler;
}

// The movie: date from its header, pixel size from the first video track, make and model from
// its user data or its metadata keys.
void ReadMovie(const TByteReader& r, const TBox& moov, TFoundFile& rec) {
    bool sized = false;
    ForEachChild(r, moov, 0, [&](const TBox& child) {
        if (child.type == Type("mvhd")) {
            std::uint8_t version = 0;
            std::uint32_t created32 = 0, high = 0;
            std::uint64_t created = 0;
            if (r.U8(child.payload, version) && version == 1 && child.end - child.payload >= 12 &&
                r.U32BE(child.payload + 4, high) && r.U32BE(child.payload + 8, created32))
                created = (static_cast<std::uint64_t>(high) << 32) | created32;
            else if (version == 0 && child.end - child.payload >= 8 && r.U32BE(child.payload + 4, created32))
                created = created32;
            rec.DateTaken = DateSince1904(created);
        } else if (child.type == Type("trak") && !sized) {
            TBox tkhd;
            std::uint32_t width = 0, height = 0;
            if (FindChild(r, child, 0, Type("tkhd"), tkhd) && TrackSize(r, tkhd, width, height) && width > 0 &&
                height > 0 && TrackHandler(r, child) == Type("vide") &&
                width <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()) &&
                height <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
                rec.Width = static_cast<std::int32_t>(width);
                rec.Height = static_cast<std::int32_t>(height);
                sized = true;
            }
        } else if (child.type == Type("udta")) {
            ReadUserData(r, child, rec);
        } else if (child.type == Type("meta")) {
            ReadMovieMeta(r, child, rec);
        }
        return true;
    });
}

// ---------------------------------------------------------------------------------------------
// HEIF pictures: HEIC, HEIF, AVIF

// One item's place as its location entry states it.
struct TItemPlace {
    std::uint8_t method = 0;  // 0: offset in the file, 1: offset in the "idat" box
    std::uint64_t offset = 0; // base offset + the extent's offset
    std::uint64_t length = 0;
};

// Reads an unsigned number of 0, 4 or 8 bytes at pos and moves past it.
bool SizedNumber(const TByteReader& r, std::uint64_t& pos, std::uint8_t size, std::uint64_t& out) {
    out = 0;
    if (size == 0)
        return true;
    std::uint32_t high = 0, low = 0;
    if (size == 4) {
        if (!r.U32BE(pos, low))
            return false;
        out = low;
    } else if (size == 8) {
        if (!r.U32BE(pos, high) || !r.U32BE(pos + 4, low))
            return false;
        out = (static_cast<std::uint64_t>(high) << 32) | low;
    } else {
        return false;
    }
    pos += size;
    return true;
}

// Reads an item count or item id of an "iloc" box, 16 bits before its version 2 and 32 bits
// from it, and moves past it.
bool ItemNumber(const TByteReader& r, std::uint64_t& pos, bool wide, std::uint32_t& out) {
    if (wide) {
        if (!r.U32BE(pos, out))
            return false;
        pos += 4;
        return true;
    }
    std::uint16_t narrow = 0;
    if (!r.U16BE(pos, narrow))
        return false;
    out = narrow;
    pos += 2;
    return true;
}

// The place of one item in an "iloc" box. Only items of one extent are placed: a picture's
// metadata is written whole.
bool FindItemPlace(const TByteReader& r, const TBox& iloc, std::uint32_t wanted, TItemPlace& place) {
    std::uint8_t version = 0, sizes1 = 0, sizes2 = 0;
    if (!Whole(r, iloc) || !r.U8(iloc.payload, version) || version > 2 || !r.U8(iloc.payload + 4, sizes1) ||
        !r.U8(iloc.payload + 5, sizes2))
        return false;
    const std::uint8_t offsetSize = sizes1 >> 4, lengthSize = sizes1 & 15, baseSize = sizes2 >> 4;
    const std::uint8_t indexSize = version == 0 ? 0 : (sizes2 & 15);
    std::uint64_t pos = iloc.payload + 6;
    std::uint32_t count = 0;
    if (!ItemNumber(r, pos, version >= 2, count))
        return false;
    std::uint32_t extentsSeen = 0;
    for (std::uint32_t i = 0; i < count && i < kMaxItems; ++i) {
        std::uint32_t id = 0;
        if (!ItemNumber(r, pos, version >= 2, id))
            return false;
        std::uint16_t method = 0, extents = 0;
        if (version >= 1) {
            if (!r.U16BE(pos, method))
                return false;
            method &= 15;
            pos += 2;
        }
        pos += 2; // data reference index
        std::uint64_t base = 0;
        if (!SizedNumber(r, pos, baseSize, base) || !r.U16BE(pos, extents))
            return false;
        pos += 2;
        for (std::uint16_t e = 0; e < extents; ++e) {
            // Extents of no size do not move through the box: their number is bounded apart.
            if (++extentsSeen > kMaxItems)
                return false;
            std::uint64_t index = 0, offset = 0, length = 0;
            if (!SizedNumber(r, pos, indexSize, index) || !SizedNumber(r, pos, offsetSize, offset) ||
                !SizedNumber(r, pos, lengthSize, length) || pos > iloc.end)
                return false;
            if (id == wanted && extents == 1 && method <= 1 && length > 0 &&
                offset <= std::numeric_limits<std::uint64_t>::max() - base) {
                place = {static_cast<std::uint8_t>(method), base + offset, length};
                return true;
            }
        }
        if (id == wanted)
            return false;
    }
    return false;
}

// The id of the first item of the given type in an "iinf" box.
bool FindItemOfType(const TByteReader& r, const TBox& iinf, std::uint32_t type, std::uint32_t& id) {
    std::uint8_t version = 0;
    if (!r.U8(iinf.payload, version))
        return false;
    bool found = false;
    ForEachChild(r, iinf, version == 0 ? 6 : 8, [&](const TBox& infe) {
        std::uint8_t v = 0;
        if (infe.type != Type("infe") || !r.U8(infe.payload, v) || v < 2)
            return true;
        std::uint32_t itemId = 0, itemType = 0;
        const std::uint64_t typeAt = infe.payload + (v == 2 ? 8 : 10);
        if (v == 2) {
            std::uint16_t id16 = 0;
            if (!r.U16BE(infe.payload + 4, id16))
                return true;
            itemId = id16;
        } else if (!r.U32BE(infe.payload + 4, itemId)) {
            return true;
        }
        if (typeAt + 4 > infe.end || !r.U32BE(typeAt, itemType) || itemType != type)
            return true;
        id = itemId;
        found = true;
        return false;
    });
    return found;
}

// Pixel size of the primary item: the "ispe" property that "ipma" associates with it, or, when
// no association names one, the largest "ispe" stated.
void ReadPictureSize(const TByteReader& r, const TBox& iprp, bool hasPrimary, std::uint32_t primary,
                     TFoundFile& rec) {
    TBox ipco, ipma;
    if (!FindChild(r, iprp, 0, Type("ipco"), ipco))
        return;
    auto ispeSize = [&r](const TBox& ispe, std::uint32_t& w, std::uint32_t& h) {
        return ispe.type == Type("ispe") && ispe.end - ispe.payload >= 12 && r.U32BE(ispe.payload + 4, w) &&
               r.U32BE(ispe.payload + 8, h) && w > 0 && h > 0 &&
               w <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()) &&
               h <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max());
    };
    // The sizes the "ispe" properties state, by property index from 1 (0 x 0 for the others).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> sizes(1);
    ForEachChild(r, ipco, 0, [&](const TBox& child) {
        std::uint32_t w = 0, h = 0;
        if (!ispeSize(child, w, h))
            w = h = 0;
        sizes.emplace_back(w, h);
        return true;
    });
    // The primary item's associations; true when one names a size.
    const auto primarySize = [&]() -> bool {
        if (!hasPrimary || !FindChild(r, iprp, 0, Type("ipma"), ipma))
            return false;
        std::uint8_t version = 0, flags3 = 0;
        std::uint32_t entries = 0;
        r.U8(ipma.payload, version);
        r.U8(ipma.payload + 3, flags3);
        std::uint64_t pos = ipma.payload + 8;
        if (r.U32BE(ipma.payload + 4, entries)) {
            for (std::uint32_t e = 0; e < entries && e < kMaxItems && pos < ipma.end; ++e) {
                std::uint32_t id = 0;
                std::uint8_t count = 0;
                if (version < 1) {
                    std::uint16_t id16 = 0;
                    if (!r.U16BE(pos, id16))
                        return false;
                    id = id16;
                    pos += 2;
                } else {
                    if (!r.U32BE(pos, id))
                        return false;
                    pos += 4;
                }
                if (!r.U8(pos++, count))
                    return false;
                for (std::uint8_t a = 0; a < count; ++a) {
                    std::uint32_t index = 0;
                    if (flags3 & 1) {
                        std::uint16_t v = 0;
                        if (!r.U16BE(pos, v))
                            return false;
                        index = v & 0x7FFF;
                        pos += 2;
                    } else {
                        std::uint8_t v = 0;
                        if (!r.U8(pos, v))
                            return false;
                        index = v & 0x7F;
                        pos += 1;
                    }
                    if (id == primary && index < sizes.size() && sizes[index].first > 0) {
                        rec.Width = static_cast<std::int32_t>(sizes[index].first);
                        rec.Height = static_cast<std::int32_t>(sizes[index].second);
                        return true;
                    }
                }
            }
        }
        return false;
    };
    if (primarySize())
        return;
    for (const auto& [w, h] : sizes) {
        if (static_cast<std::uint64_t>(w) * h >
            static_cast<std::uint64_t>(rec.Width) * static_cast<std::uint64_t>(rec.Height)) {
            rec.Width = static_cast<std::int32_t>(w);
            rec.Height = static_cast<std::int32_t>(h);
        }
    }
}

// The picture's "meta": pixel size of the primary item and the EXIF of its "Exif" item.
// fileLength bounds where an item may lie (kUnknownLength: only the data bounds it).
void ReadPictureMeta(const TByteReader& r, const TBox& meta, std::int64_t fileLength, TFoundFile& rec) {
    TBox pitm, iprp, iinf, iloc;
    std::uint32_t primary = 0;
    bool hasPrimary = false;
    if (FindChild(r, meta, 4, Type("pitm"), pitm)) {
        std::uint8_t version = 0;
        std::uint16_t id16 = 0;
        if (r.U8(pitm.payload, version) && version == 0 && r.U16BE(pitm.payload + 4, id16)) {
            primary = id16;
            hasPrimary = true;
        } else if (version == 1 && r.U32BE(pitm.payload + 4, primary)) {
            hasPrimary = true;
        }
    }
    if (FindChild(r, meta, 4, Type("iprp"), iprp))
        ReadPictureSize(r, iprp, hasPrimary, primary, rec);

    std::uint32_t exifId = 0;
    TItemPlace place;
    if (!FindChild(r, meta, 4, Type("iinf"), iinf) || !FindItemOfType(r, iinf, Type("Exif"), exifId) ||
        !FindChild(r, meta, 4, Type("iloc"), iloc) || !FindItemPlace(r, iloc, exifId, place))
        return;
    std::uint64_t start = place.offset;
    if (place.method == 1) {
        TBox idat;
        if (!FindChild(r, meta, 4, Type("idat"), idat) || place.offset > idat.end - idat.payload ||
            place.length > idat.end - idat.payload - place.offset)
            return;
        start = idat.payload + place.offset;
    }
    // The extent must lie inside the file, as far as its length is known, and inside the data.
    if (fileLength >= 0 && !Fits(static_cast<std::uint64_t>(fileLength), start, place.length))
        return;
    TBytes item;
    if (!r.Sub(start, place.length, item))
        return;
    // The item opens with the offset of the TIFF header past its own 4 bytes.
    const TByteReader itemReader(item, true);
    std::uint32_t headerOffset = 0;
    if (!itemReader.U32BE(0, headerOffset) || headerOffset > item.size() - 4)
        return;
    ReadEmbeddedTiff(item.subspan(4 + static_cast<std::size_t>(headerOffset)), rec);
}

// ---------------------------------------------------------------------------------------------
// Canon CR3

// A JPEG of the given length at at, inside box and the data, starting as a JPEG does.
bool JpegInside(const TByteReader& r, const TBox& box, std::uint64_t at, std::uint32_t length) {
    std::uint16_t soi = 0;
    return length >= 4 && at <= box.end && length <= box.end - at && r.Has(at, length) && r.U16BE(at, soi) &&
           soi == 0xFFD8 && at <= std::numeric_limits<std::uint32_t>::max();
}

void SetThumbnail(TFoundFile& rec, std::uint64_t at, std::uint32_t length, std::uint16_t w, std::uint16_t h) {
    rec.ThumbOffset = static_cast<std::uint32_t>(at);
    rec.ThumbLength = length;
    rec.ThumbKind = kThumbJpeg;
    rec.ThumbBitsPerSample = 0;
    rec.ThumbWidth = w;
    rec.ThumbHeight = h;
}

// Canon's box inside "moov": the IFD0 and EXIF TIFF blocks, and the small JPEG thumbnail.
void ReadCanonBox(const TByteReader& r, const TBox& box, TFoundFile& rec) {
    ForEachChild(r, box, 0, [&](const TBox& child) {
        TBytes tiff;
        if ((child.type == Type("CMT1") || child.type == Type("CMT2")) &&
            r.Sub(child.payload, child.end - child.payload, tiff)) {
            ReadEmbeddedTiff(tiff, rec);
        } else if (child.type == Type("THMB")) {
            // Version and flags, width, height, JPEG length, 4 more bytes, then the JPEG.
            std::uint16_t w = 0, h = 0;
            std::uint32_t length = 0;
            const std::uint64_t at = child.payload + 16;
            if (r.U16BE(child.payload + 4, w) && r.U16BE(child.payload + 6, h) &&
                r.U32BE(child.payload + 8, length) && JpegInside(r, child, at, length))
                SetThumbnail(rec, at, length, w, h);
        }
        return true;
    });
}

// Canon's preview box at the top level: 8 bytes, then "PRVW" with the larger JPEG preview,
// taken when the small thumbnail is not usable.
void ReadCanonPreview(const TByteReader& r, const TBox& box, TFoundFile& rec) {
    if (rec.ThumbLength != 0)
        return;
    ForEachChild(r, box, 8, [&](const TBox& child) {
        if (child.type != Type("PRVW"))
            return true;
        // 4 bytes, 2 bytes, width, height, 2 bytes, JPEG length, then the JPEG.
        std::uint16_t w = 0, h = 0;
        std::uint32_t length = 0;
        const std::uint64_t at = child.payload + 16;
        if (r.U16BE(child.payload + 6, w) && r.U16BE(child.payload + 8, h) && r.U32BE(child.payload + 12, length) &&
            JpegInside(r, child, at, length))
            SetThumbnail(rec, at, length, w, h);
        return false;
    });
}

bool UuidIs(const TByteReader& r, const TBox& box, const std::uint8_t (&uuid)[16]) {
    TBytes id;
    return box.type == Type("uuid") && r.Sub(box.payload - 16, 16, id) &&
           std::equal(id.begin(), id.end(), std::begin(uuid));
}

} // namespace

bool ReadEmbeddedTiff(TBytes tiff, TFoundFile& rec) {
    TTiffReader reader;
    std::uint16_t marker = 0;
    std::uint32_t first = 0;
    if (!OpenTiffBlock(tiff, reader) || !reader.U16(2, marker) || marker != 42 || !reader.U32(4, first))
        return false;
    TFoundFile scratch;
    WalkDirectory(marker, reader, 0, scratch, first);
    if (!scratch.Make.empty())
        rec.Make = scratch.Make;
    if (!scratch.Model.empty())
        rec.Model = scratch.Model;
    if (!scratch.DateTaken.empty())
        rec.DateTaken = scratch.DateTaken;
    if (scratch.ISO != 0)
        rec.ISO = scratch.ISO;
    if (scratch.ExposureDen != 0) {
        rec.ExposureNum = scratch.ExposureNum;
        rec.ExposureDen = scratch.ExposureDen;
    }
    if (scratch.FNumberDen != 0) {
        rec.FNumberNum = scratch.FNumberNum;
        rec.FNumberDen = scratch.FNumberDen;
    }
    if (scratch.FocalDen != 0) {
        rec.FocalNum = scratch.FocalNum;
        rec.FocalDen = scratch.FocalDen;
    }
    if (rec.Width == 0 && rec.Height == 0 && scratch.Width > 0 && scratch.Height > 0) {
        rec.Width = scratch.Width;
        rec.Height = scratch.Height;
    }
    return true;
}

std::int64_t MeasureIsoMedia(TBytes data) {
    const TByteReader r(data, true);
    std::uint64_t pos = 0;
    bool sawIndex = false;
    for (std::uint32_t n = 0; n < kMaxTopLevelBoxes; ++n) {
        TBox box;
        const THeader header = ReadHeader(r, pos, std::numeric_limits<std::uint64_t>::max(), box);
        if (header == THeader::Beyond)
            return kUnknownLength; // the data ends before the file tells where it ends
        // A file holds one "ftyp": a second one is the start of the next file.
        if (!IsTopLevel(box.type) || (pos > 0 && box.type == Type("ftyp")))
            return pos > 0 ? static_cast<std::int64_t>(pos) : kUnknownLength;
        if (header == THeader::Bad || box.toEnd || box.end >= static_cast<std::uint64_t>(kMediaLengthLimit))
            return kUnknownLength;
        if (box.end > data.size())
            return box.type == Type("mdat") && sawIndex ? static_cast<std::int64_t>(box.end) : kUnknownLength;
        if (box.type == Type("moov") || box.type == Type("meta"))
            sawIndex = true;
        pos = box.end;
    }
    return kUnknownLength;
}

bool RecogniseIsoMedia(TBytes data, TFoundFile& rec) {
    const TByteReader r(data, true);
    TBox first;
    if (ReadHeader(r, 0, std::numeric_limits<std::uint64_t>::max(), first) != THeader::Ok || first.toEnd)
        return false;
    TKind kind{};
    if (first.type == Type("ftyp")) {
        if (first.end < kMinFtyp || first.end > kMaxFtyp || (first.end - kMinFtyp) % 4 != 0 ||
            first.payload != 8 || !KindOfBrands(r, first, kind))
            return false;
    } else if (first.type == Type("moov")) {
        std::uint32_t child = 0;
        if (first.payload != 8 || first.end >= kMaxLeadingMoov || !r.U32BE(12, child) || child != Type("mvhd"))
            return false;
        kind = {"MOV", kPhoneMov};
    } else {
        return false;
    }
    // The box after the signature must be one of the family's, or lie past the data.
    TBox second;
    if (first.end < data.size() &&
        (ReadHeader(r, first.end, std::numeric_limits<std::uint64_t>::max(), second) == THeader::Ok &&
         (!IsTopLevel(second.type) || second.type == Type("ftyp"))))
        return false;

    rec.Ext = kind.ext;
    rec.FormatIndex = kNoIndex;
    rec.MakerIndex = kNoIndex;
    rec.PhoneIndex = kind.phone;
    rec.Length = MeasureIsoMedia(data);
    const bool cr3 = kind.phone == kPhoneCr3;
    const bool picture = kind.phone == kPhoneHeic || kind.phone == kPhoneAvif;
    if (cr3) {
        rec.MakerIndex = kMakerCanon;
        rec.Make = "Canon";
    }

    // Metadata from the top-level boxes that lie in the data, walked as far as the length goes.
    const std::uint64_t end = rec.Length >= 0 ? static_cast<std::uint64_t>(rec.Length) : data.size();
    std::uint64_t pos = 0;
    for (std::uint32_t n = 0; n < kMaxTopLevelBoxes && pos < end; ++n) {
        TBox box;
        if (ReadHeader(r, pos, end, box) != THeader::Ok || !IsTopLevel(box.type))
            break;
        if (box.type == Type("moov")) {
            if (cr3) {
                ForEachChild(r, box, 0, [&](const TBox& child) {
                    if (UuidIs(r, child, kCanonUuid))
                        ReadCanonBox(r, child, rec);
                    return true;
                });
            }
            // A CR3's movie header and tracks describe its raw and preview streams; its EXIF
            // tells the date and the picture's size.
            if (!picture && !cr3)
                ReadMovie(r, box, rec);
        } else if (box.type == Type("meta") && picture) {
            ReadPictureMeta(r, box, rec.Length, rec);
        } else if (cr3 && UuidIs(r, box, kCanonPreviewUuid)) {
            ReadCanonPreview(r, box, rec);
        }
        // A box cut by the end of the data is read as far as it goes, and is the last.
        pos = box.end;
    }
    return true;
}

} // namespace lumivore
