#include "formats/FsEntries.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>

namespace lumivore {

namespace {

constexpr std::size_t kEntry = 32;
constexpr std::uint8_t kDeletedMark = 0xE5;
constexpr std::uint8_t kAttrLongName = 0x0F;
constexpr std::uint8_t kAttrDirectory = 0x10;
constexpr std::uint8_t kAttrVolume = 0x08;
// A long name has at most 255 characters: 20 pieces of 13.
constexpr std::size_t kMaxLfnPieces = 20;


void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A character that may stand in an 8.3 name as stored.
bool ShortNameByte(std::uint8_t c) {
    if (c < 0x20 || c == 0x7F)
        return false;
    return std::strchr("\"*+,./:;<=>?[\\]|", c) == nullptr;
}

// Seconds since the epoch of a calendar time; local when utcOffsetMinutes is unset.
std::int64_t CalendarTime(int year, int month, int day, int hour, int minute, int second, bool utc,
                          int utcOffsetMinutes) {
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
        return 0;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    if (utc) {
        const std::time_t t = ::timegm(&tm);
        return t == static_cast<std::time_t>(-1) ? 0 : static_cast<std::int64_t>(t) - std::int64_t{utcOffsetMinutes} * 60;
    }
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    return t == static_cast<std::time_t>(-1) ? 0 : static_cast<std::int64_t>(t);
}

// One 32-byte entry of a FAT folder: an end, a long-name piece, or a short entry.
bool FatEntryPlausible(const std::uint8_t* e, bool& used) {
    used = false;
    if (e[0] == 0)
        return true;
    const std::uint8_t attr = e[11];
    if (attr == kAttrLongName) {
        // Type 0, first cluster 0, an order of 1 to 20 (with the last-piece bit) or deleted.
        const std::uint8_t order = e[0];
        if (e[12] != 0 || e[26] != 0 || e[27] != 0)
            return false;
        if (order != kDeletedMark && ((order & 0xA0) != 0 || (order & 0x1F) == 0 || (order & 0x1F) > kMaxLfnPieces))
            return false;
        used = true;
        return true;
    }
    if ((attr & 0xC0) != 0)
        return false;
    if (e[0] == '.') {
        // "." or "..", padded with blanks.
        const bool dot = e[1] == ' ' || (e[1] == '.' && e[2] == ' ');
        if (!dot)
            return false;
        for (int i = 2; i < 11; ++i)
            if (e[i] != ' ' && !(i == 1 && e[i] == '.'))
                return false;
        used = true;
        return true;
    }
    if (e[0] == ' ')
        return false;
    for (int i = 0; i < 11; ++i)
        if (!(i == 0 && (e[0] == kDeletedMark || e[0] == 0x05)) && !ShortNameByte(e[i]))
            return false;
    // A date, where set, is a calendar date.
    const std::uint16_t date = Le16(e + 24);
    if (date != 0) {
        const int month = (date >> 5) & 0x0F, day = date & 0x1F;
        if (month < 1 || month > 12 || day < 1)
            return false;
    }
    used = true;
    return true;
}

// The 8.3 name as text: blanks trimmed, the dot put in, lower case where the NT flags ask.
std::string ShortNameText(const std::uint8_t* e, std::uint8_t first, std::uint8_t flags) {
    const auto part = [&](int from, int to, bool lower) {
        std::string s;
        for (int i = from; i < to; ++i) {
            std::uint8_t c = i == 0 ? first : e[i];
            if (c >= 0x80)
                c = '_'; // a code-page character this program cannot place
            if (lower && c >= 'A' && c <= 'Z')
                c = static_cast<std::uint8_t>(c - 'A' + 'a');
            s += static_cast<char>(c);
        }
        while (!s.empty() && s.back() == ' ')
            s.pop_back();
        return s;
    };
    std::string name = part(0, 8, (flags & 0x08) != 0);
    const std::string ext = part(8, 11, (flags & 0x10) != 0);
    if (!ext.empty())
        name += "." + ext;
    return name;
}

TLfnPiece PieceOf(const std::uint8_t* e) {
    TLfnPiece p;
    p.Order = e[0];
    p.Checksum = e[13];
    for (int off : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30})
        p.Text += static_cast<char16_t>(Le16(e + off));
    return p;
}

// The first character of a deleted short name: the one the long name's checksum requires (the
// checksum is a bijection of the first byte, so exactly one byte fits) when it agrees with the
// long name's first character; else nothing.
bool FirstFromChecksum(const std::uint8_t* e, std::uint8_t checksum, const std::string& longName, std::uint8_t& first) {
    std::uint8_t name[11];
    std::memcpy(name, e, 11);
    for (int c = 0; c < 256; ++c) {
        name[0] = static_cast<std::uint8_t>(c);
        if (ShortNameChecksum(name) != checksum)
            continue;
        if (longName.empty())
            return false;
        std::uint8_t want = static_cast<std::uint8_t>(longName[0]);
        if (want >= 'a' && want <= 'z')
            want = static_cast<std::uint8_t>(want - 'a' + 'A');
        // A character that cannot stand in a short name is stored as '_'.
        if (want >= 0x80 || !ShortNameByte(want) || want == ' ')
            want = '_';
        if (static_cast<std::uint8_t>(c) != want)
            return false;
        first = want;
        return true;
    }
    return false;
}

// A guess at a deleted short name's first character, with no long name to tell it: the first
// character of another name in the folder that agrees in the next three (cameras number their
// photos under one prefix: "IMG_0001", "IMG_0002"), else the usual camera prefixes, else '_'.
std::uint8_t GuessFirst(const std::uint8_t* e, const std::vector<std::array<std::uint8_t, 11>>& liveNames) {
    for (const auto& n : liveNames)
        if (std::memcmp(n.data() + 1, e + 1, 3) == 0 && n[0] != kDeletedMark && ShortNameByte(n[0]))
            return n[0];
    static const char* const kPrefixes[] = {"IMG_", "DSC_", "DSCF", "DSCN", "IMGP", "PICT", "MVI_", "MOV_", "SAM_"};
    for (const char* p : kPrefixes)
        if (std::memcmp(p + 1, e + 1, 3) == 0)
            return static_cast<std::uint8_t>(p[0]);
    return '_';
}

} // namespace

std::string Utf16ToUtf8(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        AppendUtf8(out, cp);
    }
    return out;
}

std::uint8_t ShortNameChecksum(const std::uint8_t* name11) {
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
    return sum;
}

std::int64_t FatTime(std::uint16_t date, std::uint16_t time) {
    if (date == 0)
        return 0;
    return CalendarTime(1980 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F, time >> 11, (time >> 5) & 0x3F,
                        (time & 0x1F) * 2, false, 0);
}

bool FatSectorPlausible(const std::uint8_t* sector) {
    // Most sectors fail at the first entry's attribute or first byte.
    if (sector[0] == 0 || ((sector[11] & 0xC0) != 0 && sector[11] != kAttrLongName))
        return false;
    bool any = false;
    for (std::size_t i = 0; i < 512; i += kEntry) {
        bool used = false;
        if (!FatEntryPlausible(sector + i, used))
            return false;
        any |= used;
    }
    return any;
}

std::string LongNameText(const std::vector<TLfnPiece>& pieces) {
    // The pieces are stored last part first; the name ends at a zero, which only the last part
    // may hold.
    std::u16string text;
    bool ended = false;
    for (std::size_t k = pieces.size(); k-- > 0 && !ended;) {
        for (char16_t c : pieces[k].Text) {
            if (c == 0) {
                if (k != 0)
                    return {};
                ended = true;
                break;
            }
            text += c;
        }
    }
    if (text.empty() || text.size() > 255)
        return {};
    return Utf16ToUtf8(text);
}

// Whether an 8.3 name can be the one a system made for a long name: the extension's first
// three characters, and the base or the part of it before "~", as the long name gives them in
// upper case with blanks left out and other characters short names cannot hold made '_'.
// A long name with characters beyond ASCII is checked by its extension alone (they become
// code-page characters in the short name).
bool ShortAgreesWithLong(const std::uint8_t* shortName, const std::string& longName) {
    std::string base, ext;
    const std::size_t dot = longName.rfind('.');
    const bool ascii = std::all_of(longName.begin(), longName.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const auto convert = [](const std::string& text, std::size_t from, std::size_t to) {
        std::string out;
        for (std::size_t i = from; i < to && i < text.size(); ++i) {
            auto c = static_cast<std::uint8_t>(text[i]);
            if (c == ' ' || c == '.')
                continue;
            if (c >= 'a' && c <= 'z')
                c = static_cast<std::uint8_t>(c - 'a' + 'A');
            out += static_cast<char>(c >= 0x80 || !ShortNameByte(c) ? '_' : c);
        }
        return out;
    };
    if (dot != std::string::npos && dot > 0) {
        base = convert(longName, 0, dot);
        ext = convert(longName, dot + 1, longName.size());
    } else {
        base = convert(longName, 0, longName.size());
    }
    const auto trimmed = [&](int from, int to) {
        std::string t(reinterpret_cast<const char*>(shortName) + from, static_cast<std::size_t>(to - from));
        while (!t.empty() && t.back() == ' ')
            t.pop_back();
        return t;
    };
    const std::string shortBase = trimmed(0, 8), shortExt = trimmed(8, 11);
    if (ascii && shortExt != ext.substr(0, 3))
        return false;
    if (!ascii)
        return shortExt.empty() == ext.empty();
    const std::size_t tilde = shortBase.find('~');
    const std::string prefix = tilde == std::string::npos ? shortBase : shortBase.substr(0, tilde);
    if (prefix.empty())
        return tilde != std::string::npos; // "~1" alone: the system hashed the name
    if (tilde == std::string::npos)
        return base == prefix;
    if (base.compare(0, prefix.size(), prefix) == 0)
        return true;
    // After many names of one prefix, systems keep two of its characters and add four hex
    // digits of a hash: "WE1A2B~1".
    const auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
    return prefix.size() == 6 && base.compare(0, 2, prefix, 0, 2) == 0 && std::all_of(prefix.begin() + 2, prefix.end(), hex);
}

bool TakeLongName(TFsEntry& entry, const std::vector<TLfnPiece>& pieces, bool whole) {
    if (pieces.empty() || entry.Kind != TFsKind::Fat)
        return false;
    const std::uint8_t checksum = pieces.front().Checksum;
    for (std::size_t k = 0; k < pieces.size(); ++k) {
        const TLfnPiece& p = pieces[k];
        if (p.Checksum != checksum)
            return false;
        // Live pieces carry their order (the last part marked); deleted ones lost it.
        const bool ordered = entry.Deleted ? p.Order == kDeletedMark
                                           : (p.Order & 0x1F) == pieces.size() - k && ((p.Order & 0x40) != 0) == (k == 0);
        if (!ordered)
            return false;
    }
    const std::string longName = LongNameText(pieces);
    if (longName.empty())
        return false;
    // Deleted pieces lost their order, so a name whose first pieces lie elsewhere would pass
    // for a whole one: unless the run began after another entry, the last part (stored first)
    // must show the name's end.
    if (entry.Deleted && !whole && std::find(pieces.front().Text.begin(), pieces.front().Text.end(), u'\0') == pieces.front().Text.end())
        return false;
    std::array<std::uint8_t, 11> shortName = entry.Short;
    if (entry.Deleted) {
        if (!FirstFromChecksum(entry.Short.data(), checksum, longName, shortName[0]))
            return false;
    } else if (checksum != entry.ShortChecksum) {
        return false; // pieces of another entry's name
    }
    // A live name's ordered pieces that carry its checksum are the file system's own proof; a
    // deleted one's first character was chosen to fit the checksum, so its short name must also
    // read as one made from the long name.
    if (entry.Deleted && !ShortAgreesWithLong(shortName.data(), longName))
        return false;
    entry.Short = shortName;
    entry.ShortChecksum = checksum;
    entry.Name = longName;
    entry.LongName = true;
    entry.FirstGuessed = false;
    return true;
}

void GuessFirstFromSiblings(const std::vector<TFsEntry*>& entries) {
    for (TFsEntry* e : entries) {
        if (e->Kind != TFsKind::Fat || !e->FirstGuessed || e->LongName)
            continue;
        for (const TFsEntry* g : entries) {
            if (g == e || g->Kind != TFsKind::Fat || g->FirstGuessed || !ShortNameByte(g->Short[0]) ||
                std::memcmp(g->Short.data() + 1, e->Short.data() + 1, 3) != 0)
                continue;
            e->Name = ShortNameText(e->Short.data(), g->Short[0], e->ShortFlags);
            break;
        }
    }
}

TFatFolderBytes ParseFatFolder(TBytes bytes) {
    TFatFolderBytes out;
    const std::size_t count = bytes.size() / kEntry;
    // The live short names, for guessing the first character of deleted ones.
    std::vector<std::array<std::uint8_t, 11>> names;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* e = bytes.data() + i * kEntry;
        if (e[0] == 0)
            break;
        if (e[11] != kAttrLongName && e[0] != kDeletedMark && e[0] != '.') {
            std::array<std::uint8_t, 11> n{};
            std::memcpy(n.data(), e, 11);
            names.push_back(n);
        }
    }
    std::vector<TLfnPiece> pending;
    bool seenShort = false;
    bool pendingWhole = false;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* e = bytes.data() + i * kEntry;
        bool used = false;
        if (e[0] == 0) {
            out.Ended = true;
            break;
        }
        if (!FatEntryPlausible(e, used)) {
            pending.clear();
            continue;
        }
        if (e[11] == kAttrLongName) {
            if (pending.empty())
                pendingWhole = seenShort; // the run begins after an entry, not where the bytes do
            if (pending.size() >= kMaxLfnPieces) {
                pending.erase(pending.begin());
                pendingWhole = false;
            }
            pending.push_back(PieceOf(e));
            continue;
        }
        if (!seenShort) {
            out.Leading = pending;
            out.LeadingShort = true;
        }
        if (e[0] == '.') {
            const std::uint64_t cluster = (std::uint64_t{Le16(e + 20)} << 16) | Le16(e + 26);
            if (i == 0 && e[1] == ' ') {
                out.DotEntries = true;
                out.Self = cluster;
            } else if (i == 1 && out.DotEntries && e[1] == '.') {
                out.Parent = cluster;
            }
            pending.clear();
            seenShort = true;
            continue;
        }
        seenShort = true;
        const std::uint8_t attr = e[11];
        if ((attr & kAttrVolume) != 0) {
            pending.clear();
            continue;
        }
        TFsEntry entry;
        entry.Kind = TFsKind::Fat;
        entry.Deleted = e[0] == kDeletedMark;
        entry.Directory = (attr & kAttrDirectory) != 0;
        entry.FirstCluster = (std::uint64_t{Le16(e + 20)} << 16) | Le16(e + 26);
        entry.Size = Le32(e + 28);
        entry.Modified = FatTime(Le16(e + 24), Le16(e + 22));
        entry.Created = FatTime(Le16(e + 16), Le16(e + 14));
        entry.ShortChecksum = ShortNameChecksum(e);
        std::memcpy(entry.Short.data(), e, 11);
        entry.ShortFlags = e[12];
        if (e[0] == 0x05)
            entry.Short[0] = kDeletedMark;
        if (!TakeLongName(entry, pending, pendingWhole)) {
            std::uint8_t first = entry.Short[0];
            if (entry.Deleted) {
                first = GuessFirst(e, names);
                entry.FirstGuessed = true;
            }
            entry.Name = ShortNameText(entry.Short.data(), first, entry.ShortFlags);
        }
        pending.clear();
        if (!entry.Name.empty())
            out.Entries.push_back(std::move(entry));
    }
    if (!seenShort) {
        out.Leading = pending;
        out.LeadingShort = false;
    } else {
        out.Trailing = pending;
    }
    return out;
}

// ---- exFAT ---------------------------------------------------------------------------------

namespace {

bool ExFatType(std::uint8_t t) {
    switch (t) {
    case 0x00:
    case 0x81: case 0x82: case 0x83: case 0x03: case 0xA0: case 0x20: case 0xA1: case 0x21: case 0xA2: case 0x22:
    case 0x85: case 0x05: case 0xC0: case 0x40: case 0xC1: case 0x41:
    case 0xE0: case 0x60: case 0xE1: case 0x61:
        return true;
    default:
        return false;
    }
}

std::int64_t ExFatTime(std::uint32_t stamp, std::uint8_t tenMs, std::uint8_t utcOffset) {
    const int year = 1980 + static_cast<int>(stamp >> 25), month = (stamp >> 21) & 0x0F, day = (stamp >> 16) & 0x1F;
    const int hour = (stamp >> 11) & 0x1F, minute = (stamp >> 5) & 0x3F;
    const int second = static_cast<int>((stamp & 0x1F) * 2 + tenMs / 100);
    if (stamp == 0)
        return 0;
    if ((utcOffset & 0x80) != 0) {
        // Seven bits, signed, in quarters of an hour.
        int quarters = utcOffset & 0x7F;
        if (quarters >= 0x40)
            quarters -= 0x80;
        return CalendarTime(year, month, day, hour, minute, std::min(second, 59), true, quarters * 15);
    }
    return CalendarTime(year, month, day, hour, minute, std::min(second, 59), false, 0);
}

} // namespace

bool ExFatSectorPlausible(const std::uint8_t* sector) {
    if (!ExFatType(sector[0]) || sector[0] == 0)
        return false;
    bool any = false;
    for (std::size_t i = 0; i < 512; i += kEntry) {
        const std::uint8_t t = sector[i];
        if (!ExFatType(t))
            return false;
        any |= (t & 0x7F) == 0x05 || (t & 0x7F) == 0x40 || (t & 0x7F) == 0x41;
    }
    return any;
}

TExFatFolderBytes ParseExFatFolder(TBytes bytes) {
    TExFatFolderBytes out;
    const std::size_t count = bytes.size() / kEntry;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t* e = bytes.data() + i * kEntry;
        const std::uint8_t type = e[0];
        if (type == 0x81 || type == 0x82)
            out.RootEntries = true;
        if ((type & 0x7F) != 0x05)
            continue;
        const std::size_t secondary = e[1];
        if (secondary < 2 || secondary > 18 || i + secondary >= count)
            continue;
        const bool deleted = (type & 0x80) == 0;
        // Every entry of the set in use, or every one deleted, in the order file, stream, names.
        const std::uint8_t* stream = e + kEntry;
        if ((stream[0] & 0x7F) != 0x40 || ((stream[0] & 0x80) == 0) != deleted)
            continue;
        const std::size_t nameLength = stream[3];
        const std::size_t nameEntries = (nameLength + 14) / 15;
        if (nameLength == 0 || nameEntries + 1 > secondary)
            continue;
        bool ok = true;
        for (std::size_t k = 0; k < nameEntries && ok; ++k) {
            const std::uint8_t t = e[(2 + k) * kEntry];
            ok = (t & 0x7F) == 0x41 && ((t & 0x80) == 0) == deleted;
        }
        if (!ok)
            continue;
        // The set's checksum, over every byte but its own two, with the in-use bits set.
        std::uint16_t sum = 0;
        for (std::size_t b = 0; b < (secondary + 1) * kEntry; ++b) {
            if (b == 2 || b == 3)
                continue;
            std::uint8_t v = e[b];
            if (b % kEntry == 0)
                v |= 0x80;
            sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + v);
        }
        if (sum != Le16(e + 2))
            continue;
        std::u16string name;
        for (std::size_t k = 0; k < nameEntries; ++k)
            for (std::size_t c = 0; c < 15 && name.size() < nameLength; ++c)
                name += static_cast<char16_t>(Le16(e + (2 + k) * kEntry + 2 + c * 2));
        TFsEntry entry;
        entry.Kind = TFsKind::ExFat;
        entry.Deleted = deleted;
        entry.LongName = true;
        entry.Directory = (Le16(e + 4) & 0x10) != 0;
        entry.Created = ExFatTime(Le32(e + 8), e[20], e[22]);
        entry.Modified = ExFatTime(Le32(e + 12), e[21], e[23]);
        entry.Contiguous = (stream[1] & 0x02) != 0;
        entry.FirstCluster = Le32(stream + 20);
        entry.Size = Le64(stream + 24);
        entry.Name = Utf16ToUtf8(name);
        out.Entries.push_back(std::move(entry));
        i += secondary;
    }
    return out;
}

// ---- NTFS ----------------------------------------------------------------------------------

namespace {

// FILETIME (100 ns since 1601) as seconds since 1970; 0 when unset or out of range.
std::int64_t NtfsTime(std::uint64_t filetime) {
    constexpr std::uint64_t kEpochDifference = 116444736000000000ull;
    if (filetime <= kEpochDifference || filetime > kEpochDifference + 253402300799ull * 10000000ull)
        return 0;
    return static_cast<std::int64_t>((filetime - kEpochDifference) / 10000000ull);
}

} // namespace

std::uint32_t NtfsRecordSize(TBytes bytes) {
    if (bytes.size() < 48 || std::memcmp(bytes.data(), "FILE", 4) != 0)
        return 0;
    const std::uint32_t size = Le32(bytes.data() + 0x1C);
    const std::uint16_t usaCount = Le16(bytes.data() + 6);
    if (size < 512 || size > 4096 || size % 512 != 0 || usaCount != size / 512 + 1)
        return 0;
    return size;
}

bool DecodeRunList(TBytes list, std::vector<TClusterRun>& runs, std::size_t maxRuns) {
    runs.clear();
    std::int64_t lcn = 0;
    std::size_t at = 0;
    while (at < list.size()) {
        const std::uint8_t head = list[at++];
        if (head == 0)
            return true;
        const std::size_t lengthBytes = head & 0x0F, offsetBytes = head >> 4;
        if (lengthBytes == 0 || lengthBytes > 8 || offsetBytes > 8 || list.size() - at < lengthBytes + offsetBytes ||
            runs.size() >= maxRuns)
            return false;
        std::uint64_t length = 0;
        for (std::size_t k = 0; k < lengthBytes; ++k)
            length |= std::uint64_t{list[at + k]} << (8 * k);
        at += lengthBytes;
        if (length == 0 || length > (std::uint64_t{1} << 48))
            return false;
        if (offsetBytes == 0) {
            runs.push_back({-1, length});
            continue;
        }
        std::uint64_t raw = 0;
        for (std::size_t k = 0; k < offsetBytes; ++k)
            raw |= std::uint64_t{list[at + k]} << (8 * k);
        at += offsetBytes;
        // Sign-extend the offset, relative to the previous run's cluster.
        std::int64_t delta = 0;
        if (offsetBytes < 8 && (raw >> (8 * offsetBytes - 1)) != 0)
            delta = static_cast<std::int64_t>(raw | (~std::uint64_t{0} << (8 * offsetBytes)));
        else
            delta = static_cast<std::int64_t>(raw);
        if ((delta > 0 && lcn > INT64_MAX - delta) || (delta < 0 && lcn < INT64_MIN - delta))
            return false;
        lcn += delta;
        if (lcn < 0)
            return false;
        runs.push_back({lcn, length});
    }
    return false; // no end mark
}

bool ParseNtfsRecord(TBytes input, TFsEntry& out) {
    const std::uint32_t size = NtfsRecordSize(input);
    if (size == 0 || input.size() < size)
        return false;
    std::vector<std::uint8_t> rec(input.begin(), input.begin() + size);
    std::uint8_t* r = rec.data();
    // The update sequence: the last two bytes of every sector hold the check value, and the
    // array keeps what they were. A sector whose check value differs was not written with the
    // others: the record is torn.
    const std::uint16_t usaOffset = Le16(r + 4), usaCount = Le16(r + 6);
    if (usaOffset < 0x28 || usaOffset % 2 != 0 || std::size_t{usaOffset} + std::size_t{usaCount} * 2 > size)
        return false;
    const std::uint16_t check = Le16(r + usaOffset);
    for (std::uint32_t s = 0; s + 1 < usaCount; ++s) {
        std::uint8_t* tail = r + (s + 1) * 512 - 2;
        if (Le16(tail) != check)
            return false;
        tail[0] = r[usaOffset + 2 + s * 2];
        tail[1] = r[usaOffset + 3 + s * 2];
    }
    const std::uint16_t flags = Le16(r + 0x16);
    if (Le64(r + 0x20) != 0)
        return false; // an extension record: its base record names the file
    TFsEntry entry;
    entry.Kind = TFsKind::Ntfs;
    entry.Deleted = (flags & 0x01) == 0;
    entry.Directory = (flags & 0x02) != 0;
    entry.Record = usaOffset >= 0x30 ? Le32(r + 0x2C) : 0;
    std::uint32_t at = Le16(r + 0x14);
    int bestNamespace = -1;
    bool haveData = false;
    const TByteReader reader(TBytes(rec.data(), size));
    for (int guard = 0; guard < 64; ++guard) {
        std::uint32_t type = 0, length = 0;
        if (!reader.U32LE(at, type) || type == 0xFFFFFFFFu || !reader.U32LE(at + 4, length))
            break;
        if (length < 24 || length % 8 != 0 || !reader.Has(at, length))
            return false;
        const TBytes attr = TBytes(rec.data() + at, length);
        const bool resident = attr[8] == 0;
        const std::uint8_t nameLength = attr[9];
        if (resident) {
            const std::uint32_t valueLength = Le32(attr.data() + 16);
            const std::uint16_t valueOffset = Le16(attr.data() + 20);
            if (!Fits(attr.size(), valueOffset, valueLength))
                return false;
            const TBytes value = attr.subspan(valueOffset, valueLength);
            if (type == 0x10 && value.size() >= 32) {
                entry.Created = NtfsTime(Le64(value.data()));
                entry.Modified = NtfsTime(Le64(value.data() + 8));
            } else if (type == 0x30 && value.size() >= 66) {
                const std::size_t chars = value[64];
                const int ns = value[65];
                // Long forms (POSIX 0, Win32 1, both 3) before the DOS form (2).
                const int rank = ns == 2 ? 0 : 1;
                if (std::size_t{66} + chars * 2 <= value.size() && chars > 0 && rank > bestNamespace) {
                    bestNamespace = rank;
                    std::u16string name;
                    for (std::size_t c = 0; c < chars; ++c)
                        name += static_cast<char16_t>(Le16(value.data() + 66 + c * 2));
                    entry.Name = Utf16ToUtf8(name);
                    entry.Parent = Le64(value.data()) & 0x0000FFFFFFFFFFFFull;
                }
            } else if (type == 0x80 && nameLength == 0 && !haveData) {
                haveData = true;
                entry.Size = valueLength;
            }
        } else if (type == 0x80 && nameLength == 0 && !haveData && length >= 64) {
            haveData = true;
            const std::uint64_t firstVcn = Le64(attr.data() + 16);
            const std::uint64_t lastVcn = Le64(attr.data() + 24);
            const std::uint16_t runOffset = Le16(attr.data() + 32);
            entry.Size = Le64(attr.data() + 48);
            std::vector<TClusterRun> runs;
            if (firstVcn == 0 && runOffset < length && DecodeRunList(attr.subspan(runOffset), runs)) {
                std::uint64_t clusters = 0;
                for (const TClusterRun& run : runs)
                    clusters += run.Count;
                // Only a run list that covers the whole stream: a long one goes on in another
                // record, and a part of it places nothing.
                if (clusters == lastVcn + 1)
                    entry.Runs = std::move(runs);
            }
            if (!entry.Runs.empty() && entry.Runs.front().Lcn >= 0)
                entry.FirstCluster = static_cast<std::uint64_t>(entry.Runs.front().Lcn);
        }
        at += length;
    }
    if (entry.Name.empty())
        return false;
    out = std::move(entry);
    return true;
}

// ---- boot sectors --------------------------------------------------------------------------

bool ReadFsBoot(TBytes sector, std::uint64_t at, TFsVolume& out) {
    if (sector.size() < 512 || sector[510] != 0x55 || sector[511] != 0xAA)
        return false;
    const std::uint8_t* s = sector.data();
    const auto isPow2 = [](std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; };
    TFsVolume v;
    v.Start = at;
    v.FromBoot = true;
    if (std::memcmp(s + 3, "EXFAT   ", 8) == 0) {
        const std::uint8_t sectorShift = s[108], clusterShift = s[109];
        if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift)
            return false;
        const std::uint64_t sectorBytes = std::uint64_t{1} << sectorShift;
        v.Kind = TFsKind::ExFat;
        v.ClusterBytes = sectorBytes << clusterShift;
        const std::uint64_t heap = at + std::uint64_t{Le32(s + 88)} * sectorBytes;
        if (heap < 2 * v.ClusterBytes)
            return false;
        v.Base = heap - 2 * v.ClusterBytes;
        v.RootCluster = Le32(s + 96);
        v.End = at + Le64(s + 72) * sectorBytes;
        out = v;
        return true;
    }
    const std::uint16_t bytesPerSector = Le16(s + 11);
    const std::uint8_t perCluster = s[13];
    if (bytesPerSector < 512 || bytesPerSector > 4096 || !isPow2(bytesPerSector))
        return false;
    if (std::memcmp(s + 3, "NTFS    ", 8) == 0) {
        std::uint64_t clusterBytes = 0;
        if (perCluster <= 0x80)
            clusterBytes = std::uint64_t{bytesPerSector} * perCluster;
        else if (256 - perCluster <= 21)
            clusterBytes = std::uint64_t{1} << (256 - perCluster);
        if (!isPow2(clusterBytes))
            return false;
        v.Kind = TFsKind::Ntfs;
        v.ClusterBytes = clusterBytes;
        v.Base = at;
        v.End = at + Le64(s + 40) * bytesPerSector;
        out = v;
        return true;
    }
    if (std::memcmp(s + 54, "FAT", 3) != 0 && std::memcmp(s + 82, "FAT32", 5) != 0)
        return false;
    const std::uint16_t reserved = Le16(s + 14), rootEntries = Le16(s + 17), fat16 = Le16(s + 22);
    const std::uint8_t fats = s[16];
    const std::uint32_t fat32 = Le32(s + 36);
    if (!isPow2(perCluster) || reserved == 0 || fats == 0 || fats > 4)
        return false;
    const std::uint64_t fatSectors = fat16 != 0 ? fat16 : fat32;
    if (fatSectors == 0)
        return false;
    const std::uint64_t rootSectors = (std::uint64_t{rootEntries} * 32 + bytesPerSector - 1) / bytesPerSector;
    const std::uint64_t rootStart = at + (reserved + fats * fatSectors) * bytesPerSector;
    const std::uint64_t dataStart = rootStart + rootSectors * bytesPerSector;
    v.Kind = TFsKind::Fat;
    v.ClusterBytes = std::uint64_t{bytesPerSector} * perCluster;
    if (dataStart < 2 * v.ClusterBytes)
        return false;
    v.Base = dataStart - 2 * v.ClusterBytes;
    if (rootEntries != 0) {
        v.RootStart = rootStart;
        v.RootEnd = dataStart;
    } else {
        v.RootCluster = Le32(s + 44);
    }
    const std::uint64_t total = Le16(s + 19) != 0 ? Le16(s + 19) : Le32(s + 32);
    v.End = at + total * bytesPerSector;
    out = v;
    return true;
}

} // namespace lumivore
