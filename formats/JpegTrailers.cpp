// Measures what follows a JPEG's end-of-image marker. Every trailer is taken only when its
// own structure ties its end back to where it starts; nothing here extends a file on a guess.
#include "formats/JpegTrailers.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

#include "engine/FoundFile.h"
#include "formats/StreamMeasure.h"

namespace lumivore {

namespace {

// Result of one trailer rule at a position.
struct TStep {
    enum TKind { None, Ends, PastData } Kind = None;
    std::uint64_t End = 0;
};

TStep Ends(std::uint64_t end) { return {TStep::Ends, end}; }
TStep PastData() { return {TStep::PastData, 0}; }

// A file is followed by at most a handful of these; more is a structure made to loop.
constexpr int kMaxTrailers = 16;
// A record directory of more entries than this is no real trailer.
constexpr std::uint32_t kMaxDirectoryEntries = 64;

// The file length limit as the unsigned offsets of this file compare it.
constexpr std::uint64_t kJpegFileLimit = static_cast<std::uint64_t>(kFileLengthLimit);

// The data handed to these rules may begin inside the file: base is the file position of its
// first byte. Positions inside the data are indexes; checks against the file's start or the
// length limit add base.
std::uint64_t Limit(TBytes data, std::uint64_t base) {
    return std::min<std::uint64_t>(data.size(), kJpegFileLimit - std::min(base, kJpegFileLimit));
}

// Position of the first occurrence of needle at or after from, below the end; or npos.
constexpr std::uint64_t kNotFound = ~std::uint64_t{0};
std::uint64_t Find(TBytes data, std::uint64_t from, std::uint64_t end, std::string_view needle) {
    if (from >= end || end - from < needle.size())
        return kNotFound;
    const auto* first = reinterpret_cast<const char*>(data.data());
    const std::string_view hay(first + from, static_cast<std::size_t>(end - from));
    const std::size_t at = hay.find(needle);
    return at == std::string_view::npos ? kNotFound : from + at;
}

// ---- a second JPEG right after the first ---------------------------------------------------

TStep AppendedJpeg(TBytes data, std::uint64_t base, std::uint64_t pos) {
    const TByteReader reader(data, true);
    if (!reader.Has(pos, 4) || data[pos] != 0xFF || data[pos + 1] != 0xD8 || data[pos + 2] != 0xFF)
        return {};
    // A JPEG that starts on a sector boundary may as well be the next file written to the card:
    // the scan finds it on its own, and joining it would hide it. Previews a camera appends at
    // such a place are named by the multi-picture index, which recovery reads.
    if ((base + pos) % 512 == 0)
        return {};
    // Its picture is measured as the main one is; an end it does not reach in the data is
    // further on.
    const auto picture = StartJpegPictureMeasure();
    picture->Feed(data.subspan(static_cast<std::size_t>(pos)));
    if (picture->Finish() != TMeasureStatus::Ended)
        return PastData();
    return Ends(pos + static_cast<std::uint64_t>(picture->Length()));
}

// ---- AFCP: "AXS!" header, a directory of records, "AXS!" footer naming the header ----------

TStep Afcp(TBytes data, std::uint64_t base, std::uint64_t pos) {
    const TByteReader reader(data, true);
    if (!reader.Matches(pos, "AXS!"))
        return {};
    std::uint16_t count = 0;
    if (!reader.U16(pos + 6, count))
        return PastData();
    if (count == 0 || count > kMaxDirectoryEntries)
        return {};
    const std::uint64_t recordsStart = base + pos + 12 + 12ull * count; // in the file
    std::uint64_t end = recordsStart;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t entry = pos + 12 + 12ull * i;
        std::uint32_t size = 0, offset = 0;
        if (!reader.U32(entry + 4, size) || !reader.U32(entry + 8, offset))
            return PastData();
        // Records are placed after the directory, by their offset from the file's start.
        if (offset < recordsStart)
            return {};
        end = std::max<std::uint64_t>(end, std::uint64_t{offset} + size);
    }
    std::uint32_t start = 0;
    if (end + 12 > kJpegFileLimit)
        return {};
    const std::uint64_t footer = end - base; // end >= recordsStart > base
    if (!reader.Has(footer, 12))
        return PastData();
    if (!reader.Matches(footer, "AXS!") || !reader.U32(footer + 4, start) || start != base + pos)
        return {};
    return Ends(footer + 12);
}

// ---- Samsung: data blocks, a "SEFH" directory of them, its size and "SEFT" -----------------

TStep Samsung(TBytes data, std::uint64_t base, std::uint64_t pos) {
    const TByteReader reader(data, false);
    const std::uint64_t limit = Limit(data, base);
    for (std::uint64_t at = Find(data, pos, limit, "SEFT"); at != kNotFound; at = Find(data, at + 1, limit, "SEFT")) {
        std::uint32_t dirSize = 0, count = 0;
        if (at < pos + 4 || !reader.U32LE(at - 4, dirSize) || dirSize > at - 4 - pos)
            continue;
        const std::uint64_t dir = at - 4 - dirSize;
        if (!reader.Matches(dir, "SEFH") || !reader.U32LE(dir + 8, count) || count == 0 ||
            count > kMaxDirectoryEntries || 12 + 12ull * count > dirSize)
            continue;
        // Each entry names a block by its distance back from the directory and its length;
        // the blocks lie between the picture's end and the directory, the first right at it.
        std::uint64_t first = dir;
        bool sound = true;
        for (std::uint32_t i = 0; i < count && sound; ++i) {
            std::uint32_t back = 0, length = 0;
            reader.U32LE(dir + 12 + 12ull * i + 4, back);
            reader.U32LE(dir + 12 + 12ull * i + 8, length);
            sound = back <= dir - pos && length <= back;
            if (sound)
                first = std::min<std::uint64_t>(first, dir - back);
        }
        if (sound && first == pos)
            return Ends(at + 4);
    }
    return {};
}

// ---- records of picture-database programs, which begin with IPTC data (0x1C) ---------------

// Position of the first IPTC byte at or after pos, past at most three zero bytes of padding;
// kNotFound when the bytes there are something else.
std::uint64_t IptcStart(TBytes data, std::uint64_t pos) {
    for (std::uint64_t p = pos; p < pos + 4 && p < data.size(); ++p) {
        if (data[p] == 0x1C)
            return p;
        if (data[p] != 0)
            return kNotFound;
    }
    return kNotFound;
}

// Photo Mechanic: the records, their size as a 32-bit number and "cbipcbbl".
TStep PhotoMechanic(TBytes data, std::uint64_t base, std::uint64_t pos) {
    if (pos >= data.size() || data[pos] != 0x1C)
        return {};
    const TByteReader reader(data, true);
    const std::uint64_t limit = Limit(data, base);
    for (std::uint64_t at = Find(data, pos, limit, "cbipcbbl"); at != kNotFound;
         at = Find(data, at + 1, limit, "cbipcbbl")) {
        std::uint32_t size = 0;
        if (at >= pos + 4 && reader.U32(at - 4, size) && at - 4 - pos == size && base + at + 8 <= kJpegFileLimit)
            return Ends(at + 8);
    }
    return {};
}

// FotoStation: records that each end with a type, their own size and 0xA1B2C3D4; the first
// record follows the picture (after up to three zero bytes), each further one the last.
TStep FotoStation(TBytes data, std::uint64_t base, std::uint64_t pos) {
    const std::uint64_t first = IptcStart(data, pos);
    if (first == kNotFound)
        return {};
    static constexpr char kMagic[] = {'\xA1', '\xB2', '\xC3', '\xD4'};
    const std::string_view magic(kMagic, 4);
    const TByteReader reader(data, true);
    const std::uint64_t limit = Limit(data, base);
    std::uint64_t recordStart = first;
    std::uint64_t end = 0;
    for (int records = 0; records < kMaxTrailers; ++records) {
        bool found = false;
        for (std::uint64_t at = Find(data, recordStart, limit, magic); at != kNotFound;
             at = Find(data, at + 1, limit, magic)) {
            std::uint32_t size = 0;
            if (at >= recordStart + 6 && reader.U32(at - 4, size) && at + 4 - recordStart == size) {
                end = at + 4;
                found = true;
                break;
            }
        }
        if (!found)
            break;
        recordStart = end;
    }
    if (end == 0)
        return {};
    return Ends(end);
}

// ---- motion photos: the XMP names the appended media's length ------------------------------

bool IsMp4At(TBytes data, std::uint64_t pos) { return TByteReader(data).Matches(pos + 4, "ftyp"); }

TStep MotionPhotoDirectory(TBytes data, std::uint64_t base, std::uint64_t pos, const TMotionPhoto& motion) {
    if (motion.DirectoryBytes == 0 || motion.FirstItemKind == 0)
        return {};
    if (motion.DirectoryBytes > kJpegFileLimit - std::min(base + pos, kJpegFileLimit))
        return {};
    // The first item must begin where the padding ends; that is the directory's own check.
    const std::uint64_t first = pos + motion.PrimaryPadding;
    if (first + 8 > data.size())
        return PastData();
    const bool jpeg = data[first] == 0xFF && data[first + 1] == 0xD8 && data[first + 2] == 0xFF;
    if ((motion.FirstItemKind == 1 && jpeg) || (motion.FirstItemKind == 2 && IsMp4At(data, first)))
        return Ends(pos + motion.DirectoryBytes);
    return {};
}

TStep MotionPhotoVideo(TBytes data, std::uint64_t base, std::uint64_t pos, const TMotionPhoto& motion) {
    if (motion.VideoBytes == 0)
        return {};
    if (pos + 8 > data.size())
        return PastData();
    if (!IsMp4At(data, pos) || motion.VideoBytes > kJpegFileLimit - std::min(base + pos, kJpegFileLimit))
        return {};
    return Ends(pos + motion.VideoBytes);
}

// ---- XMP text ------------------------------------------------------------------------------

// The decimal number that the attribute or element named at `at` holds: name="123" or
// <name>123</name>. False when there is none.
bool NumberAfter(std::string_view text, std::size_t at, std::string_view name, std::uint64_t& value) {
    std::size_t p = at + name.size();
    while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\n' || text[p] == '\r'))
        ++p;
    if (p < text.size() && text[p] == '=') {
        ++p;
        while (p < text.size() && text[p] == ' ')
            ++p;
        if (p >= text.size() || (text[p] != '"' && text[p] != '\''))
            return false;
        ++p;
    } else if (p < text.size() && text[p] == '>') {
        ++p;
    } else {
        return false;
    }
    const char* first = text.data() + p;
    const char* last = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(first, last, value);
    return ec == std::errc() && ptr != first;
}

// The value of an attribute (name="text") inside one item's text.
std::string_view TextAttribute(std::string_view item, std::string_view name) {
    const std::size_t at = item.find(name);
    if (at == std::string_view::npos)
        return {};
    std::size_t p = at + name.size();
    if (p + 1 >= item.size() || item[p] != '=' || (item[p + 1] != '"' && item[p + 1] != '\''))
        return {};
    const char quote = item[p + 1];
    p += 2;
    const std::size_t close = item.find(quote, p);
    return close == std::string_view::npos ? std::string_view{} : item.substr(p, close - p);
}

std::uint8_t ItemKind(std::string_view mime) {
    if (mime == "image/jpeg")
        return 1;
    if (mime == "video/mp4" || mime == "video/quicktime")
        return 2;
    return 0;
}

// The Container:Directory's items: the primary one first, then those appended after it.
void ReadContainerDirectory(std::string_view text, TMotionPhoto& motion) {
    constexpr std::string_view kDirectory = "Container:Directory";
    constexpr std::string_view kItem = "Container:Item";
    const std::size_t dir = text.find(kDirectory);
    if (dir == std::string_view::npos)
        return;
    const std::size_t dirEnd = std::min(text.find("</" + std::string(kDirectory), dir), text.size());
    std::uint64_t total = 0, primaryPadding = 0;
    std::uint8_t firstKind = 0;
    int items = 0;
    for (std::size_t at = text.find(kItem, dir); at < dirEnd; at = text.find(kItem, at + kItem.size())) {
        if (at > 0 && text[at - 1] == '/')
            continue; // a closing tag
        const std::size_t next = std::min(text.find(kItem, at + kItem.size()), dirEnd);
        const std::string_view item = text.substr(at, next - at);
        std::uint64_t length = 0, padding = 0;
        const std::size_t lengthAt = item.find("Item:Length");
        const bool hasLength = lengthAt != std::string_view::npos && NumberAfter(item, lengthAt, "Item:Length", length);
        const std::size_t paddingAt = item.find("Item:Padding");
        if (paddingAt != std::string_view::npos && !NumberAfter(item, paddingAt, "Item:Padding", padding))
            return;
        if (items == 0) {
            total = primaryPadding = padding; // the primary picture: only its padding follows its end
            if (padding > kJpegFileLimit)
                return;
        } else {
            if (!hasLength || length == 0 || length > kJpegFileLimit)
                return; // an item of unknown length leaves the end unknown
            if (items == 1)
                firstKind = ItemKind(TextAttribute(item, "Item:Mime"));
            total += length + padding;
            if (total > kJpegFileLimit)
                return;
        }
        ++items;
    }
    if (items >= 2 && total > 0) {
        motion.DirectoryBytes = total;
        motion.PrimaryPadding = primaryPadding;
        motion.FirstItemKind = firstKind;
    }
}

} // namespace

void ReadMotionPhotoXmp(TBytes xmp, TMotionPhoto& motion) {
    const std::string_view text(reinterpret_cast<const char*>(xmp.data()), xmp.size());
    constexpr std::string_view kVideoOffset = "GCamera:MicroVideoOffset";
    const std::size_t at = text.find(kVideoOffset);
    std::uint64_t value = 0;
    if (at != std::string_view::npos && NumberAfter(text, at, kVideoOffset, value) && value > 0 &&
        value <= kJpegFileLimit)
        motion.VideoBytes = value;
    ReadContainerDirectory(text, motion);
}

std::int64_t MeasureJpegTrailersAt(TBytes data, std::uint64_t base, std::uint64_t pictureEnd,
                                   const TMotionPhoto& motion) {
    if (pictureEnd > data.size() || base > kJpegFileLimit)
        return -1;
    // The container directory counts everything after the primary picture: it ends the file.
    const TStep directory = MotionPhotoDirectory(data, base, pictureEnd, motion);
    if (directory.Kind == TStep::PastData)
        return -1;
    if (directory.Kind == TStep::Ends)
        return static_cast<std::int64_t>(base + directory.End);

    std::uint64_t pos = pictureEnd;
    bool videoSeen = false;
    for (int n = 0; n < kMaxTrailers && base + pos < kJpegFileLimit; ++n) {
        TStep step;
        if (!videoSeen) {
            step = MotionPhotoVideo(data, base, pos, motion);
            videoSeen = step.Kind == TStep::Ends;
        }
        if (step.Kind == TStep::None && pos >= data.size())
            break; // nothing more to see here; what lies beyond is for a larger window
        if (step.Kind == TStep::None)
            step = AppendedJpeg(data, base, pos);
        if (step.Kind == TStep::None)
            step = Afcp(data, base, pos);
        if (step.Kind == TStep::None)
            step = PhotoMechanic(data, base, pos);
        if (step.Kind == TStep::None)
            step = FotoStation(data, base, pos);
        if (step.Kind == TStep::None)
            step = Samsung(data, base, pos);

        if (step.Kind == TStep::PastData)
            return -1;
        if (step.Kind == TStep::None || step.End <= pos || base + step.End > kJpegFileLimit)
            break;
        pos = step.End;
    }
    return static_cast<std::int64_t>(base + pos);
}

std::int64_t MeasureJpegTrailers(TBytes data, std::uint64_t pictureEnd, const TMotionPhoto& motion) {
    return MeasureJpegTrailersAt(data, 0, pictureEnd, motion);
}

bool JpegTrailerMayFollow(TBytes data, std::uint64_t end) {
    const TByteReader reader(data);
    if (end + 4 > data.size())
        return true; // nothing seen yet
    return (data[end] == 0xFF && data[end + 1] == 0xD8 && data[end + 2] == 0xFF) || reader.Matches(end, "AXS!") ||
           IptcStart(data, end) != kNotFound || reader.Matches(end + 4, "ftyp");
}

} // namespace lumivore
