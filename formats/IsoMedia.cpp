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
#include "formats/Measure.h"
#include "formats/TiffWalker.h"

namespace lumivore {

void TakeShotFacts(TFoundFile& rec, const TFoundFile& from) {
    if (from.ISO != 0)
        rec.ISO = from.ISO;
    if (from.ExposureDen != 0) {
        rec.ExposureNum = from.ExposureNum;
        rec.ExposureDen = from.ExposureDen;
    }
    if (from.FNumberDen != 0) {
        rec.FNumberNum = from.FNumberNum;
        rec.FNumberDen = from.FNumberDen;
    }
    if (from.FocalDen != 0) {
        rec.FocalNum = from.FocalNum;
        rec.FocalDen = from.FocalDen;
    }
}

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

bool IsTopLevel(std::uint32_t t) { return IsIsoTopLevelType(t); }

// Whether a top-level box may follow the ones before it in a chain: a type the family uses,
// or one a writer could have named its own box with.
bool MayFollow(std::uint32_t t) { return IsIsoTopLevelType(t) || IsPlausibleBoxType(t); }

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

void ReadCanonBox(const TByteReader& r, const TBox& box, bool placed, TFoundFile& rec);
bool UuidIs(const TByteReader& r, const TBox& box, const std::uint8_t (&uuid)[16]);

// Where a movie's date taken may come from, best first: the camera's own EXIF-like records
// (the moment in the camera's time), the metadata keys and the user data (local time, as
// the camera wrote it), and last the movie header (UTC by the format's rule).
struct TMovieDates {
    std::string Camera, Keys, UserData, Header;
    const std::string& Best() const {
        return !Camera.empty() ? Camera : !Keys.empty() ? Keys : !UserData.empty() ? UserData : Header;
    }
};

// "YYYY:MM:DD HH:MM:SS" from a text date as movies store it: ISO 8601 ("2023-06-01T12:34:56",
// perhaps with fractions and a zone after it) or already in the EXIF form. The time of day
// is taken as written, without its zone; a date alone gets midnight. Empty for anything else.
std::string DateFromText(std::string_view text) {
    const auto digits = [&text](std::size_t at, std::size_t n) {
        if (at + n > text.size())
            return false;
        for (std::size_t i = at; i < at + n; ++i)
            if (text[i] < '0' || text[i] > '9')
                return false;
        return true;
    };
    const auto separator = [&text](std::size_t at, std::string_view allowed) {
        return at < text.size() && allowed.find(text[at]) != std::string_view::npos;
    };
    if (!digits(0, 4) || !separator(4, "-:") || !digits(5, 2) || !separator(7, "-:") || !digits(8, 2))
        return {};
    std::string out(text.substr(0, 10));
    out[4] = out[7] = ':';
    if (separator(10, "T ") && digits(11, 2) && separator(13, ":") && digits(14, 2) && separator(16, ":") &&
        digits(17, 2)) {
        out += ' ';
        out += text.substr(11, 8);
    } else {
        out += " 00:00:00";
    }
    return out.substr(0, 5) == "0000:" ? std::string() : out;
}

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

// A text stored bare in a box (a camera maker's own names).
std::string PlainText(const TByteReader& r, const TBox& entry) {
    return Text(r, entry.payload, entry.end - entry.payload);
}

// A "meta" box comes as a full box (version and flags before the children) or, in QuickTime
// movies, as a plain one; the handler box as first child tells which.
std::uint64_t MetaSkip(const TByteReader& r, const TBox& meta) {
    std::uint32_t type = 0;
    return r.U32BE(meta.payload + 4, type) && type == Type("hdlr") ? 0 : 4;
}

enum : std::uint8_t { kKeyNone, kKeyMake, kKeyModel, kKeyDate };

std::uint8_t KeyKind(std::string_view key) {
    if (key == "make" || key == "com.apple.quicktime.make" || key == "com.android.manufacturer")
        return kKeyMake;
    if (key == "model" || key == "com.apple.quicktime.model" || key == "com.android.model")
        return kKeyModel;
    if (key == "creationdate" || key == "com.apple.quicktime.creationdate")
        return kKeyDate;
    return kKeyNone;
}

// Make, model and date from a "meta" box: the item list, with items named by "keys" (index
// from 1) or by their own four-character type.
void ReadMovieMeta(const TByteReader& r, const TBox& meta, TFoundFile& rec, TMovieDates& dates) {
    const std::uint64_t skip = MetaSkip(r, meta);
    std::array<std::uint8_t, 256> keys{};
    TBox keysBox;
    if (FindChild(r, meta, skip, Type("keys"), keysBox)) {
        std::uint32_t index = 0;
        ForEachChild(r, keysBox, 8, [&](const TBox& key) {
            if (++index >= keys.size())
                return false;
            // A key entry is a box whose type is the key's namespace and whose contents name it.
            keys[index] = KeyKind(Text(r, key.payload, key.end - key.payload));
            return true;
        });
    }
    TBox list;
    if (!FindChild(r, meta, skip, Type("ilst"), list))
        return;
    ForEachChild(r, list, 0, [&](const TBox& item) {
        std::uint8_t what = kKeyNone;
        if (item.type == Type("\xA9mak"))
            what = kKeyMake;
        else if (item.type == Type("\xA9mod"))
            what = kKeyModel;
        else if (item.type == Type("\xA9" "day"))
            what = kKeyDate;
        else if (item.type < keys.size())
            what = keys[item.type];
        if (what == kKeyMake && rec.Make.empty())
            rec.Make = UserDataText(r, item);
        else if (what == kKeyModel && rec.Model.empty())
            rec.Model = UserDataText(r, item);
        else if (what == kKeyDate && dates.Keys.empty())
            dates.Keys = DateFromText(UserDataText(r, item));
        return true;
    });
}

// A maker's record of fixed fields ("TAGS" of several makers): the make in its first 24
// bytes, the model after it (at 22 for Kodak, whose make is 21 letters long).
void ReadMakerTags(const TByteReader& r, const TBox& entry, TFoundFile& rec) {
    const std::string make = Text(r, entry.payload, std::min<std::uint64_t>(24, entry.end - entry.payload));
    if (make.size() < 2 || !std::all_of(make.begin(), make.end(), [](char c) { return c >= 32 && c < 127; }))
        return;
    if (rec.Make.empty())
        rec.Make = make;
    const std::uint64_t modelAt = make.find("KODAK") != std::string::npos ? 22 : 24;
    if (entry.end - entry.payload <= modelAt)
        return;
    const std::string model = Text(r, entry.payload + modelAt, std::min<std::uint64_t>(24, entry.end - entry.payload - modelAt));
    if (rec.Model.empty() && model.size() >= 2 &&
        std::all_of(model.begin(), model.end(), [](char c) { return c >= 32 && c < 127; }))
        rec.Model = model;
}

// Nikon's tag records: a 32-bit tag, a 16-bit type, a 16-bit count, then the value. Make (1),
// model (2) and the moment taken (0x12) are texts (type 2).
void ReadNikonTags(const TByteReader& r, const TBox& tags, TFoundFile& rec, TMovieDates& dates) {
    std::uint64_t pos = tags.payload;
    for (std::uint32_t n = 0; n < kMaxChildren && tags.end >= pos && tags.end - pos >= 8; ++n) {
        std::uint32_t tag = 0;
        std::uint16_t type = 0, count = 0;
        r.U32BE(pos, tag);
        r.U16BE(pos + 4, type);
        r.U16BE(pos + 6, count);
        static constexpr std::uint8_t kSizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
        if (type == 0 || type >= std::size(kSizes))
            return;
        const std::uint64_t bytes = std::uint64_t{kSizes[type]} * count;
        if (bytes > tags.end - pos - 8)
            return;
        if (type == 2) {
            const std::string text = Text(r, pos + 8, bytes);
            if (tag == 1 && rec.Make.empty())
                rec.Make = text;
            else if (tag == 2 && rec.Model.empty())
                rec.Model = text;
            else if (tag == 0x12 && dates.Camera.empty())
                dates.Camera = DateFromText(text);
        }
        pos += 8 + bytes;
    }
}

// A JPEG carried whole in a box (Canon's thumbnail file): the EXIF of its first APP1 segment.
void ReadJpegExif(const TByteReader& r, std::uint64_t at, std::uint64_t end, TFoundFile& rec) {
    std::uint16_t marker = 0;
    if (!r.U16BE(at, marker) || marker != 0xFFD8)
        return;
    std::uint64_t pos = at + 2;
    for (int n = 0; n < 32 && pos <= end && end - pos >= 4; ++n) {
        std::uint16_t m = 0, length = 0;
        if (!r.U16BE(pos, m) || !r.U16BE(pos + 2, length) || (m >> 8) != 0xFF || m == 0xFFDA || length < 2 ||
            length > end - pos - 2)
            return;
        TBytes segment;
        if (m == 0xFFE1 && length >= 8 && r.Sub(pos + 4, length - 2u, segment) && segment.size() >= 6 &&
            std::equal(segment.begin(), segment.begin() + 6, "Exif\0\0")) {
            ReadEmbeddedTiff(segment.subspan(6), rec);
            return;
        }
        pos += 2u + length;
    }
}

void ReadUserData(const TByteReader& r, const TBox& udta, TFoundFile& rec, TMovieDates& dates) {
    ForEachChild(r, udta, 0, [&](const TBox& entry) {
        switch (entry.type) {
        case Type("\xA9mak"):
        case Type("@mak"):
            if (rec.Make.empty())
                rec.Make = UserDataText(r, entry);
            break;
        case Type("\xA9mod"):
        case Type("\xA9mdl"):
        case Type("@mod"):
            if (rec.Model.empty())
                rec.Model = UserDataText(r, entry);
            break;
        case Type("\xA9" "day"):
        case Type("@day"):
            if (dates.UserData.empty())
                dates.UserData = DateFromText(UserDataText(r, entry));
            break;
        case Type("manu"):
            if (rec.Make.empty())
                rec.Make = UserDataText(r, entry);
            break;
        case Type("modl"):
        case Type("cmnm"):
            if (rec.Model.empty())
                rec.Model = UserDataText(r, entry);
            break;
        case Type("date"):
        case Type("IDIT"):
            if (dates.Camera.empty())
                dates.Camera = DateFromText(PlainText(r, entry));
            break;
        case Type("CNMN"):
            // Canon names its model here and its make nowhere else in the user data.
            if (rec.Model.empty())
                rec.Model = PlainText(r, entry);
            if (rec.Make.empty() && !rec.Model.empty())
                rec.Make = "Canon";
            break;
        case Type("CNTH"): {
            // Canon's thumbnail file, whose EXIF names the camera and the moment.
            TBox jpeg;
            if (FindChild(r, entry, 0, Type("CNDA"), jpeg)) {
                TFoundFile scratch;
                ReadJpegExif(r, jpeg.payload, jpeg.end, scratch);
                if (rec.Make.empty())
                    rec.Make = scratch.Make;
                if (rec.Model.empty())
                    rec.Model = scratch.Model;
                if (dates.Camera.empty())
                    dates.Camera = scratch.DateTaken;
            }
            break;
        }
        case Type("NCDT"): {
            TBox tags;
            if (FindChild(r, entry, 0, Type("NCTG"), tags))
                ReadNikonTags(r, tags, rec, dates);
            break;
        }
        case Type("TAGS"):
            ReadMakerTags(r, entry, rec);
            break;
        case Type("meta"):
            ReadMovieMeta(r, entry, rec, dates);
            break;
        default:
            break;
        }
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

// Pixel size from the first entry of a video track's sample descriptions, for a track whose
// header states none: 16-bit width and height at 24 and 26 of the entry's contents.
bool SampleEntrySize(const TByteReader& r, const TBox& trak, std::uint32_t& width, std::uint32_t& height) {
    TBox mdia, minf, stbl, stsd;
    if (!FindChild(r, trak, 0, Type("mdia"), mdia) || !FindChild(r, mdia, 0, Type("minf"), minf) ||
        !FindChild(r, minf, 0, Type("stbl"), stbl) || !FindChild(r, stbl, 0, Type("stsd"), stsd))
        return false;
    bool found = false;
    ForEachChild(r, stsd, 8, [&](const TBox& entry) {
        std::uint16_t w = 0, h = 0;
        if (entry.end - entry.payload >= 28 && r.U16BE(entry.payload + 24, w) && r.U16BE(entry.payload + 26, h)) {
            width = w;
            height = h;
            found = w > 0 && h > 0;
        }
        return false;
    });
    return found;
}

// The chunk offsets of a track ("stco" or "co64"): where its samples' runs begin in the file,
// noted as embedded runs (a camera's preview or a raw's picture in a CR3, a video's frames).
// Only the first entries are looked at: a record keeps a few dozen runs at most.
void NoteTrackChunks(const TByteReader& r, const TBox& trak, TFoundFile& rec) {
    TBox mdia, minf, stbl;
    if (!FindChild(r, trak, 0, Type("mdia"), mdia) || !FindChild(r, mdia, 0, Type("minf"), minf) ||
        !FindChild(r, minf, 0, Type("stbl"), stbl))
        return;
    // One sample size for the track's samples, or each sample's, from "stsz".
    std::uint32_t fixedSize = 0, sizeCount = 0;
    TBox stsz;
    const bool sized = FindChild(r, stbl, 0, Type("stsz"), stsz) && r.U32BE(stsz.payload + 4, fixedSize) &&
                       r.U32BE(stsz.payload + 8, sizeCount);
    ForEachChild(r, stbl, 0, [&](const TBox& table) {
        const bool wide = table.type == Type("co64");
        if (!wide && table.type != Type("stco"))
            return true;
        std::uint32_t count = 0;
        if (!r.U32BE(table.payload + 4, count))
            return false;
        constexpr std::uint32_t kLooked = 1024;
        for (std::uint32_t i = 0; i < count && i < kLooked; ++i) {
            std::uint64_t offset = 0;
            const std::uint64_t at = table.payload + 8 + std::uint64_t{i} * (wide ? 8 : 4);
            std::uint32_t high = 0, low = 0;
            if (at + (wide ? 8 : 4) > table.end)
                break;
            if (wide) {
                if (!r.U32BE(at, high) || !r.U32BE(at + 4, low))
                    break;
                offset = (std::uint64_t{high} << 32) | low;
            } else {
                if (!r.U32BE(at, low))
                    break;
                offset = low;
            }
            // A track of one sample per chunk states the run's length.
            std::uint32_t length = 0;
            if (sized && sizeCount == count) {
                if (fixedSize != 0)
                    length = fixedSize;
                else
                    r.U32BE(stsz.payload + 12 + std::uint64_t{i} * 4, length);
            }
            rec.NoteEmbedded(offset, length);
        }
        return false;
    });
}

// The movie: date, pixel size from the first video track, make and model from its user data,
// its metadata keys or a camera maker's own boxes. placed: the reader's positions are the
// file's (the box lies where the file has it), so places in the file can be noted.
void ReadMovie(const TByteReader& r, const TBox& moov, bool placed, TFoundFile& rec) {
    bool sized = false;
    TMovieDates dates;
    TFoundFile camera; // what a maker's EXIF blocks state
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
            dates.Header = DateSince1904(created);
        } else if (child.type == Type("trak")) {
            const std::uint32_t handler = TrackHandler(r, child);
            if (placed)
                NoteTrackChunks(r, child, rec);
            TBox tkhd;
            std::uint32_t width = 0, height = 0;
            const bool video = handler == Type("vide");
            if (!sized && video &&
                ((FindChild(r, child, 0, Type("tkhd"), tkhd) && TrackSize(r, tkhd, width, height) && width > 0 &&
                  height > 0) ||
                 SampleEntrySize(r, child, width, height)) &&
                width <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max()) &&
                height <= static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
                rec.Width = static_cast<std::int32_t>(width);
                rec.Height = static_cast<std::int32_t>(height);
                sized = true;
            }
        } else if (child.type == Type("udta")) {
            ReadUserData(r, child, rec, dates);
        } else if (child.type == Type("meta")) {
            ReadMovieMeta(r, child, rec, dates);
        } else if (UuidIs(r, child, kCanonUuid)) {
            ReadCanonBox(r, child, placed, camera);
        }
        return true;
    });
    if (!camera.Make.empty())
        rec.Make = camera.Make;
    if (!camera.Model.empty())
        rec.Model = camera.Model;
    if (!camera.DateTaken.empty())
        dates.Camera = camera.DateTaken;
    TakeShotFacts(rec, camera);
    for (const TPiece& run : camera.Embedded)
        rec.NoteEmbedded(static_cast<std::uint64_t>(run.Offset), static_cast<std::uint64_t>(run.Length));
    if (camera.ThumbLength != 0) {
        rec.ThumbOffset = camera.ThumbOffset;
        rec.ThumbLength = camera.ThumbLength;
        rec.ThumbKind = camera.ThumbKind;
        rec.ThumbWidth = camera.ThumbWidth;
        rec.ThumbHeight = camera.ThumbHeight;
        rec.ThumbBitsPerSample = 0;
    }
    rec.DateTaken = dates.Best();
}

// ---------------------------------------------------------------------------------------------
// HEIF pictures: HEIC, HEIF, AVIF

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

// One extent of an item as its location entry states it.
struct TItemExtent {
    std::uint32_t item = 0;
    std::uint16_t extents = 0; // how many extents the item has
    std::uint8_t method = 0;   // 0: offset in the file, 1: offset in the "idat" box, 2: another item
    std::uint64_t offset = 0;  // base offset + the extent's offset
    std::uint64_t length = 0;
};

// Calls visit for each extent of each item in an "iloc" box, in order, until visit returns
// false or the box is damaged. The number of extents looked at is bounded apart from the
// items, since extents of no size do not move through the box.
template <typename F>
void ForEachItemExtent(const TByteReader& r, const TBox& iloc, F&& visit) {
    std::uint8_t version = 0, sizes1 = 0, sizes2 = 0;
    if (!Whole(r, iloc) || !r.U8(iloc.payload, version) || version > 2 || !r.U8(iloc.payload + 4, sizes1) ||
        !r.U8(iloc.payload + 5, sizes2))
        return;
    const std::uint8_t offsetSize = sizes1 >> 4, lengthSize = sizes1 & 15, baseSize = sizes2 >> 4;
    const std::uint8_t indexSize = version == 0 ? 0 : (sizes2 & 15);
    std::uint64_t pos = iloc.payload + 6;
    std::uint32_t count = 0;
    if (!ItemNumber(r, pos, version >= 2, count))
        return;
    std::uint32_t extentsSeen = 0;
    for (std::uint32_t i = 0; i < count && i < kMaxItems; ++i) {
        TItemExtent e;
        if (!ItemNumber(r, pos, version >= 2, e.item))
            return;
        std::uint16_t method = 0;
        if (version >= 1) {
            if (!r.U16BE(pos, method))
                return;
            pos += 2;
        }
        e.method = static_cast<std::uint8_t>(method & 15);
        pos += 2; // data reference index
        std::uint64_t base = 0;
        if (!SizedNumber(r, pos, baseSize, base) || !r.U16BE(pos, e.extents))
            return;
        pos += 2;
        for (std::uint16_t x = 0; x < e.extents; ++x) {
            if (++extentsSeen > kMaxItems)
                return;
            std::uint64_t index = 0, offset = 0;
            if (!SizedNumber(r, pos, indexSize, index) || !SizedNumber(r, pos, offsetSize, offset) ||
                !SizedNumber(r, pos, lengthSize, e.length) || pos > iloc.end)
                return;
            if (offset > std::numeric_limits<std::uint64_t>::max() - base)
                continue;
            e.offset = base + offset;
            if (!visit(e))
                return;
        }
    }
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

// The picture's "meta": pixel size of the primary item, its EXIF when the box keeps it in its
// "idat", and the runs its items lie in, noted as embedded runs. exifRun receives the file
// run of an EXIF item kept in the file outside the box (Length 0 when there is none).
void ReadPictureMeta(const TByteReader& r, const TBox& meta, TFoundFile& rec, TIsoRun& exifRun) {
    exifRun = {};
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
    if (!FindChild(r, meta, 4, Type("iloc"), iloc))
        return;
    std::uint32_t exifId = 0;
    const bool hasExif = FindChild(r, meta, 4, Type("iinf"), iinf) && FindItemOfType(r, iinf, Type("Exif"), exifId);
    TItemExtent exif;
    bool exifPlaced = false;
    ForEachItemExtent(r, iloc, [&](const TItemExtent& e) {
        if (e.method == 0)
            rec.NoteEmbedded(e.offset, e.length);
        // A picture's metadata is written whole, in one extent.
        if (hasExif && e.item == exifId && e.extents == 1 && e.length > 0 && !exifPlaced) {
            exif = e;
            exifPlaced = true;
        }
        return true;
    });
    if (!exifPlaced)
        return;
    if (exif.method == 0) {
        exifRun = {exif.offset, exif.length};
        return;
    }
    TBox idat;
    TBytes item;
    if (exif.method == 1 && FindChild(r, meta, 4, Type("idat"), idat) && exif.offset <= idat.end - idat.payload &&
        exif.length <= idat.end - idat.payload - exif.offset && r.Sub(idat.payload + exif.offset, exif.length, item))
        ReadIsoExifItem(item, rec);
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

// Canon's box inside "moov" (of a CR3, or of an MP4 from a Canon camera): the IFD0 and EXIF
// TIFF blocks, and the small JPEG thumbnail, whose place is taken only when the reader's
// positions are the file's (placed).
void ReadCanonBox(const TByteReader& r, const TBox& box, bool placed, TFoundFile& rec) {
    ForEachChild(r, box, 0, [&](const TBox& child) {
        TBytes tiff;
        const bool metadata = child.type == Type("CMT1") || child.type == Type("CMT2") ||
                              child.type == Type("CMT3") || child.type == Type("CMT4");
        // Each of the four is a TIFF block of its own, which the scan may find on its own.
        if (metadata && placed)
            rec.NoteEmbedded(child.payload, child.end - child.payload);
        if ((child.type == Type("CMT1") || child.type == Type("CMT2")) &&
            r.Sub(child.payload, child.end - child.payload, tiff)) {
            ReadEmbeddedTiff(tiff, rec);
        } else if (child.type == Type("THMB")) {
            // Version and flags, width, height, JPEG length, 4 more bytes, then the JPEG.
            std::uint16_t w = 0, h = 0;
            std::uint32_t length = 0;
            const std::uint64_t at = child.payload + 16;
            if (placed && r.U16BE(child.payload + 4, w) && r.U16BE(child.payload + 6, h) &&
                r.U32BE(child.payload + 8, length) && JpegInside(r, child, at, length)) {
                SetThumbnail(rec, at, length, w, h);
                rec.NoteEmbedded(at, length);
            }
        }
        return true;
    });
}

// Canon's preview box at the top level: 8 bytes, then "PRVW" with the larger JPEG preview,
// an embedded run, and the thumbnail when the small one is not usable.
void ReadCanonPreview(const TByteReader& r, const TBox& box, TFoundFile& rec) {
    ForEachChild(r, box, 8, [&](const TBox& child) {
        if (child.type != Type("PRVW"))
            return true;
        // 4 bytes, 2 bytes, width, height, 2 bytes, JPEG length, then the JPEG.
        std::uint16_t w = 0, h = 0;
        std::uint32_t length = 0;
        const std::uint64_t at = child.payload + 16;
        if (r.U16BE(child.payload + 6, w) && r.U16BE(child.payload + 8, h) && r.U32BE(child.payload + 12, length) &&
            JpegInside(r, child, at, length)) {
            rec.NoteEmbedded(at, length);
            if (rec.ThumbLength == 0)
                SetThumbnail(rec, at, length, w, h);
        }
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
    TakeShotFacts(rec, scratch);
    if (rec.Width == 0 && rec.Height == 0 && scratch.Width > 0 && scratch.Height > 0) {
        rec.Width = scratch.Width;
        rec.Height = scratch.Height;
    }
    return true;
}

bool IsIsoTopLevelType(std::uint32_t t) {
    static constexpr std::uint32_t kTypes[] = {
        Type("ftyp"), Type("moov"), Type("mdat"), Type("free"), Type("skip"), Type("wide"),
        Type("uuid"), Type("meta"), Type("pdin"), Type("moof"), Type("mfra"), Type("styp"),
        Type("sidx"), Type("ssix"), Type("prft"), Type("emsg"), Type("pnot"), Type("PICT"),
        Type("junk"), Type("udta"), Type("meco"), Type("bloc"), Type("mpvd")};
    return std::find(std::begin(kTypes), std::end(kTypes), t) != std::end(kTypes);
}

bool IsPlausibleBoxType(std::uint32_t t) {
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<std::uint8_t>(t >> (24 - 8 * i));
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
                        (i == 0 && c == 0xA9);
        if (!ok)
            return false;
    }
    return t != Type("    ");
}

void ReadIsoMovieBox(TBytes data, bool cr3, TFoundFile& rec) {
    const TByteReader r(data, true);
    TBox moov;
    if (ReadHeader(r, 0, data.size(), moov) != THeader::Ok || moov.type != Type("moov") || moov.end > data.size())
        return;
    if (!cr3) {
        ReadMovie(r, moov, false, rec);
        return;
    }
    ForEachChild(r, moov, 0, [&](const TBox& child) {
        if (UuidIs(r, child, kCanonUuid))
            ReadCanonBox(r, child, false, rec);
        return true;
    });
}

void ReadIsoPictureBox(TBytes data, TFoundFile& rec, TIsoRun& exif) {
    exif = {};
    const TByteReader r(data, true);
    TBox meta;
    if (ReadHeader(r, 0, data.size(), meta) != THeader::Ok || meta.type != Type("meta") || meta.end > data.size())
        return;
    ReadPictureMeta(r, meta, rec, exif);
}

bool ReadIsoExifItem(TBytes item, TFoundFile& rec) {
    // The item opens with the offset of the TIFF header past its own 4 bytes; some writers
    // count it to the "Exif\0\0" before the header instead, and a few leave the offset out.
    constexpr std::uint8_t kExifId[6] = {'E', 'x', 'i', 'f', 0, 0};
    const auto read = [&rec, &kExifId](TBytes tiff) {
        if (tiff.size() >= 6 && std::equal(tiff.begin(), tiff.begin() + 6, kExifId))
            tiff = tiff.subspan(6);
        return ReadEmbeddedTiff(tiff, rec);
    };
    const TByteReader reader(item, true);
    std::uint32_t headerOffset = 0;
    if (reader.U32BE(0, headerOffset) && headerOffset <= item.size() - 4 &&
        read(item.subspan(4 + static_cast<std::size_t>(headerOffset))))
        return true;
    return read(item);
}

std::int64_t MeasureIsoMedia(TBytes data) {
    TFoundFile rec;
    rec.Ext = "MP4";
    return MeasureLength(rec, data);
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
    // The chain of boxes is followed past the data by the scan when it goes on there.
    rec.Length = MeasureInBlock(rec, data).Length;
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
        if (ReadHeader(r, pos, end, box) != THeader::Ok || !MayFollow(box.type) ||
            (pos > 0 && box.type == Type("ftyp") && pos % 512 == 0))
            break;
        if (box.type == Type("moov")) {
            if (cr3) {
                // A CR3's movie header and tracks describe its raw and preview streams, whose
                // runs are embedded data; its EXIF tells the date and the picture's size.
                ForEachChild(r, box, 0, [&](const TBox& child) {
                    if (UuidIs(r, child, kCanonUuid))
                        ReadCanonBox(r, child, true, rec);
                    else if (child.type == Type("trak"))
                        NoteTrackChunks(r, child, rec);
                    return true;
                });
            } else if (!picture) {
                ReadMovie(r, box, true, rec);
            }
        } else if (box.type == Type("meta") && picture) {
            TIsoRun exif;
            ReadPictureMeta(r, box, rec, exif);
            // The EXIF item must lie inside the file, as far as its length is known, and inside
            // the data; one past the data is read by the continuing measure.
            TBytes item;
            if (exif.Length > 0 && (rec.Length < 0 || Fits(static_cast<std::uint64_t>(rec.Length), exif.Offset, exif.Length)) &&
                r.Sub(exif.Offset, exif.Length, item))
                ReadIsoExifItem(item, rec);
        } else if (cr3 && UuidIs(r, box, kCanonPreviewUuid)) {
            ReadCanonPreview(r, box, rec);
        } else if (box.type == Type("mpvd") && !box.toEnd) {
            // A motion photo's video, kept in a box of its own after the picture.
            rec.NoteEmbedded(box.payload, box.end - box.payload);
        }
        // A box cut by the end of the data is read as far as it goes, and is the last.
        pos = box.end;
    }
    return true;
}

} // namespace lumivore
