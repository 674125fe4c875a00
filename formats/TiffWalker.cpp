#include "formats/TiffWalker.h"

#include <algorithm>
#include <limits>

namespace lumivore {

namespace {

constexpr std::uint16_t kPanasonicMarker = 0x55;
constexpr std::uint16_t kMaxEntries = 100;
constexpr std::uint8_t kLastChainDepth = 10;
constexpr std::int64_t kLargestLength = std::numeric_limits<std::int32_t>::max();

// Guards against hostile structures. Real files nest sub-directories two or three levels deep
// and hold a few hundred entries in all; a structure that needs more is not a camera file.
constexpr int kMaxNesting = 8;
constexpr std::size_t kMaxPath = kLastChainDepth + 1 + kMaxNesting + 1;
constexpr std::uint32_t kWorkBudget = 200000; // directories and entries examined per walk

// Tags the walker reads.
enum : std::uint16_t {
    kTagSensorWidth = 0x0006, kTagSensorHeight = 0x0007, kTagSensorIso = 0x0017,
    kTagImageWidth = 0x0100, kTagImageLength = 0x0101, kTagBitsPerSample = 0x0102,
    kTagCompression = 0x0103, kTagPhotometric = 0x0106, kTagMake = 0x010F, kTagModel = 0x0110,
    kTagJpegFormat = 0x0201, kTagJpegLength = 0x0202, kTagExposureTime = 0x829A,
    kTagFNumber = 0x829D, kTagIsoSpeed = 0x8827, kTagDateTimeOriginal = 0x9003,
    kTagFocalLength = 0x920A, kTagMakerNote = 0x927C, kTagPixelXDimension = 0xA002,
    kTagPixelYDimension = 0xA003, kTagDngVersion = 0xC612,
};

std::uint16_t Decode16(const std::uint8_t* p) {
    return BigEndian ? static_cast<std::uint16_t>((p[0] << 8) | p[1])
                     : static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Decode32(const std::uint8_t* p) {
    const std::uint32_t b0 = p[0], b1 = p[1], b2 = p[2], b3 = p[3];
    return BigEndian ? (b0 << 24) | (b1 << 16) | (b2 << 8) | b3 : b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
}

// Value of the given width (1, 2 or 4 bytes) at pos of bytes that are known to hold it.
std::uint32_t DecodeWidth(TBytes bytes, std::size_t pos, std::uint8_t width) {
    if (width == 1)
        return bytes[pos];
    if (width == 2)
        return Decode16(bytes.data() + pos);
    return Decode32(bytes.data() + pos);
}

std::uint64_t ValueSize(const TTiffEntry& entry) {
    return static_cast<std::uint64_t>(EntryCount(entry)) * TypeSize(entry);
}

// Raises a running length to end. A negative length is unknown and stays so; an end that a
// signed 32-bit length cannot hold makes it unknown.
void RaiseLength(std::int32_t& length, std::uint64_t end) {
    if (length < 0)
        return;
    if (end > static_cast<std::uint64_t>(kLargestLength)) {
        length = kUnknownLength;
        return;
    }
    if (static_cast<std::uint64_t>(length) < end)
        length = static_cast<std::int32_t>(end);
}

// The text of a value: up to the first zero byte, without leading and trailing blanks and
// control characters.
std::string_view ValueText(TBytes value) {
    std::size_t end = 0;
    while (end < value.size() && value[end] != 0)
        ++end;
    std::size_t begin = 0;
    while (begin < end && value[begin] <= 32)
        ++begin;
    while (end > begin && value[end - 1] <= 32)
        --end;
    return {reinterpret_cast<const char*>(value.data()) + begin, end - begin};
}

// FindTag with a share of the walk's work budget; kTagAbsent also when the budget runs out,
// with exhausted set.
int FindTagCounted(TBytes data, std::uint64_t dirOffset, std::uint16_t tag, TTiffEntry& entry,
                   std::uint32_t& work, bool& exhausted) {
    std::uint16_t n = 0;
    if (!Fits(data.size(), dirOffset, 2))
        return kTagTruncated;
    n = Decode16(data.data() + dirOffset);
    std::uint64_t pos = dirOffset + 2;
    for (std::uint32_t i = 0; i < n; ++i, pos += 12) {
        if (work == 0) {
            exhausted = true;
            return kTagAbsent;
        }
        --work;
        if (!Fits(data.size(), pos, 12))
            return kTagTruncated;
        const std::uint8_t* p = data.data() + pos;
        if (Decode16(p) == tag) {
            std::copy(p, p + 12, entry.begin());
            return kTagFound;
        }
    }
    return kTagAbsent;
}

// Scratch values of one directory.
struct TDirScratch {
    std::uint16_t width16 = 0, height16 = 0, iso16 = 0, bits16 = 0;
    std::uint32_t width32 = 0, height32 = 0, iso32 = 0, bits32 = 0;
    std::uint16_t compression = 0;
    std::uint16_t photometric = 0;
    bool pending = false;
    std::uint32_t pendingOffset = 0;

    std::uint32_t Width() const { return std::max<std::uint32_t>(width16, width32); }
    std::uint32_t Height() const { return std::max<std::uint32_t>(height16, height32); }
    std::uint32_t Iso() const { return std::max<std::uint32_t>(iso16, iso32); }
    std::uint32_t Bits() const { return std::max<std::uint32_t>(bits16, bits32); }
};

// Loads the first element of a value into the 16-bit or 32-bit slot by its element size.
void FirstElement(const TTiffEntry& entry, TBytes value, std::uint16_t& slot16, std::uint32_t& slot32) {
    const std::uint8_t size = TypeSize(entry);
    if (size == 2 && value.size() >= 2)
        slot16 = Decode16(value.data());
    else if (size == 4 && value.size() >= 4)
        slot32 = Decode32(value.data());
}

// State of one top-level walk: the data, the record, and the guards against loops and
// runaway structures.
class TWalker {
public:
    TWalker(std::uint16_t marker, TBytes data, TFoundFile& rec) : marker_(marker), data_(data), rec_(rec) {}

    int Walk(std::uint8_t depth, std::uint32_t dirOffset);

private:
    bool Spend() {
        if (work_ == 0) {
            exhausted_ = true;
            return false;
        }
        --work_;
        return true;
    }
    int Find(std::uint64_t dirOffset, std::uint16_t tag, TTiffEntry& entry) {
        return FindTagCounted(data_, dirOffset, tag, entry, work_, exhausted_);
    }
    bool OnPath(std::uint32_t dirOffset) const {
        return std::find(path_.begin(), path_.begin() + static_cast<std::ptrdiff_t>(pathLen_), dirOffset) !=
               path_.begin() + static_cast<std::ptrdiff_t>(pathLen_);
    }

    int WalkEntries(std::uint8_t depth, std::uint32_t dirOffset, std::uint16_t n);
    void HandleTag(std::uint8_t depth, TDirScratch& dir, const TTiffEntry& entry);
    void HandleMakerNote(const TDirScratch& dir, const TTiffEntry& entry);
    int HandleClass(std::uint8_t depth, std::uint32_t dirOffset, TDirScratch& dir, const TTiffEntry& entry);
    void OfferData(TDirScratch& dir, std::uint16_t tag, std::uint32_t count);

    std::uint16_t marker_;
    TBytes data_;
    TFoundFile& rec_;
    std::array<std::uint32_t, kMaxPath> path_{};
    std::size_t pathLen_ = 0;
    int nesting_ = 0;
    std::uint32_t work_ = kWorkBudget;
    bool exhausted_ = false;
};

int TWalker::Walk(std::uint8_t depth, std::uint32_t dirOffset) {
    const std::size_t size = data_.size();
    if (dirOffset >= size)
        return kWalkUnusable;
    if (depth > kLastChainDepth && depth != kSubDirectoryDepth)
        return kWalkUnusable;
    // A directory that is its own ancestor would be walked without end; too deep a nesting
    // or too much work is no camera file either.
    const bool sub = depth == kSubDirectoryDepth;
    if (OnPath(dirOffset) || (sub && nesting_ >= kMaxNesting) || pathLen_ >= kMaxPath || !Spend())
        return kWalkUnusable;
    if (!Fits(size, dirOffset, 2))
        return kWalkTruncated;
    const std::uint16_t n = Decode16(data_.data() + dirOffset);
    if (n == 0 || n > kMaxEntries)
        return kWalkUnusable;
    RaiseLength(rec_.Length, static_cast<std::uint64_t>(dirOffset) + 2 + 12u * n);

    path_[pathLen_++] = dirOffset;
    if (sub)
        ++nesting_;
    const int result = WalkEntries(depth, dirOffset, n);
    if (sub)
        --nesting_;
    --pathLen_;
    return result;
}

int TWalker::WalkEntries(std::uint8_t depth, std::uint32_t dirOffset, std::uint16_t n) {
    const std::size_t size = data_.size();
    TDirScratch dir;
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint64_t pos = static_cast<std::uint64_t>(dirOffset) + 2 + 12u * i;
        if (!Fits(size, pos, 12))
            continue;
        if (!Spend())
            return kWalkUnusable;
        TTiffEntry entry;
        std::copy_n(data_.data() + pos, 12, entry.begin());
        HandleTag(depth, dir, entry);
        const int result = HandleClass(depth, dirOffset, dir, entry);
        if (exhausted_)
            return kWalkUnusable;
        if (result != kWalkComplete)
            return result;
    }
    if (depth == kSubDirectoryDepth)
        return kWalkComplete;

    const std::uint64_t nextPos = static_cast<std::uint64_t>(dirOffset) + 2 + 12u * n;
    if (!Fits(size, nextPos, 4))
        return kWalkTruncated;
    const std::uint32_t next = Decode32(data_.data() + nextPos);
    if (next == 0)
        return kWalkComplete;
    if (!Fits(size, next, 14))
        return kWalkTruncated;
    const int result = Walk(static_cast<std::uint8_t>(depth + 1), next);
    return result == kWalkUnusable || result == kWalkTruncated ? result : kWalkComplete;
}

void TWalker::HandleTag(std::uint8_t depth, TDirScratch& dir, const TTiffEntry& entry) {
    const std::uint16_t tag = EntryTag(entry);
    const bool sensorTags = marker_ == kPanasonicMarker && depth == 0;
    TBytes value;
    switch (tag) {
    case kTagSensorWidth:
    case kTagSensorHeight:
    case kTagSensorIso:
        if (!sensorTags || !ReadEntryValue(data_, entry, value))
            return;
        if (tag == kTagSensorWidth) {
            FirstElement(entry, value, dir.width16, dir.width32);
            rec_.Width = static_cast<std::int32_t>(dir.Width());
        } else if (tag == kTagSensorHeight) {
            FirstElement(entry, value, dir.height16, dir.height32);
            rec_.Height = static_cast<std::int32_t>(dir.Height());
        } else {
            FirstElement(entry, value, dir.iso16, dir.iso32);
            rec_.ISO = static_cast<std::int32_t>(dir.Iso());
        }
        return;
    case kTagImageWidth:
    case kTagPixelXDimension:
        if (!ReadEntryValue(data_, entry, value))
            return;
        FirstElement(entry, value, dir.width16, dir.width32);
        if (rec_.Width == 0 || static_cast<std::int64_t>(rec_.Width) < static_cast<std::int64_t>(dir.Width()))
            rec_.Width = static_cast<std::int32_t>(dir.Width());
        return;
    case kTagImageLength:
    case kTagPixelYDimension:
        if (!ReadEntryValue(data_, entry, value))
            return;
        FirstElement(entry, value, dir.height16, dir.height32);
        if (rec_.Height == 0 || static_cast<std::int64_t>(rec_.Height) < static_cast<std::int64_t>(dir.Height()))
            rec_.Height = static_cast<std::int32_t>(dir.Height());
        return;
    case kTagBitsPerSample:
        if (ReadEntryValue(data_, entry, value))
            FirstElement(entry, value, dir.bits16, dir.bits32);
        return;
    case kTagCompression:
        if (ReadEntryValue(data_, entry, value) && value.size() >= 2)
            dir.compression = Decode16(value.data());
        return;
    case kTagPhotometric:
        if (ReadEntryValue(data_, entry, value) && value.size() >= 2)
            dir.photometric = Decode16(value.data());
        return;
    case kTagMake:
        if (ReadEntryValue(data_, entry, value))
            rec_.Make = ValueText(value);
        return;
    case kTagModel:
        if (ReadEntryValue(data_, entry, value))
            rec_.Model = ValueText(value);
        return;
    case kTagExposureTime:
    case kTagFNumber:
    case kTagFocalLength: {
        const std::uint32_t at = EntryValue(entry);
        if (TypeSize(entry) != 8 || !Fits(data_.size(), at, 8))
            return;
        const std::uint32_t num = Decode32(data_.data() + at);
        const std::uint32_t den = Decode32(data_.data() + at + 4);
        if (tag == kTagExposureTime) {
            rec_.ExposureNum = num;
            rec_.ExposureDen = den;
        } else if (tag == kTagFNumber) {
            rec_.FNumberNum = num;
            rec_.FNumberDen = den;
        } else {
            rec_.FocalNum = num;
            rec_.FocalDen = den;
        }
        return;
    }
    case kTagIsoSpeed:
        if (!ReadEntryValue(data_, entry, value))
            return;
        FirstElement(entry, value, dir.iso16, dir.iso32);
        rec_.ISO = static_cast<std::int32_t>(dir.Iso());
        return;
    case kTagDateTimeOriginal:
        if (ReadEntryValue(data_, entry, value))
            rec_.DateTaken = ValueText(value);
        return;
    case kTagMakerNote:
        HandleMakerNote(dir, entry);
        return;
    default:
        return;
    }
}

// Maker notes are not walked; three makers' notes name the thumbnail or the raw data's end
// in a directory at a fixed place inside them.
void TWalker::HandleMakerNote(const TDirScratch& dir, const TTiffEntry& entry) {
    const std::uint64_t note = EntryValue(entry);
    TTiffEntry found;
    if (ContainsNoCase(rec_.Make, "olympus")) {
        if (Find(note + 8, kTagImageWidth, found) != kTagFound)
            return;
        if (rec_.ThumbLength == 0 || EntryCount(found) < rec_.ThumbLength) {
            rec_.ThumbOffset = EntryValue(found);
            rec_.ThumbLength = EntryCount(found);
            rec_.ThumbKind = kThumbJpeg;
            rec_.ThumbBitsPerSample = 0;
            rec_.ThumbWidth = static_cast<std::uint16_t>(dir.Width());
            rec_.ThumbHeight = static_cast<std::uint16_t>(dir.Height());
        }
    } else if (ContainsNoCase(rec_.Make, "minolta")) {
        if (Find(note, 0x0081, found) == kTagFound)
            rec_.ThumbOffset = EntryValue(found);
        else if (Find(note, 0x0088, found) == kTagFound)
            rec_.ThumbOffset = EntryValue(found);
        if (Find(note, 0x0089, found) == kTagFound) {
            rec_.ThumbLength = EntryValue(found);
            rec_.ThumbKind = kThumbJpeg;
        }
    } else if (SonyRawDirOffset != 0) {
        if (Find(note + 12, 0xB028, found) != kTagFound)
            return;
        const std::uint32_t rawDir = EntryValue(found);
        if (Find(rawDir, 0x0040, found) != kTagFound)
            return;
        const std::uint64_t end = static_cast<std::uint64_t>(EntryValue(found)) + SonyRawDirOffset;
        rec_.Length = end > static_cast<std::uint64_t>(kLargestLength) ? kUnknownLength : static_cast<std::int32_t>(end);
    }
}

int TWalker::HandleClass(std::uint8_t depth, std::uint32_t dirOffset, TDirScratch& dir, const TTiffEntry& entry) {
    const std::uint8_t tagClass = TagClass(entry);
    if (tagClass == kTagOrdinary) {
        ExtendLength(entry, rec_.Length);
        return kWalkComplete;
    }
    if (tagClass == kTagSubDirectory) {
        const std::uint32_t sub = EntryValue(entry);
        if (!Fits(data_.size(), sub, 14))
            return kWalkTruncated;
        return Walk(kSubDirectoryDepth, sub);
    }

    if (tagClass == kTagSubDirList && depth == 0 && ContainsNoCase(rec_.Make, "sony")) {
        TTiffEntry found;
        bool isArw = false;
        if (Find(dirOffset, kTagDngVersion, found) != kTagFound)
            isArw = Find(dirOffset, kTagImageWidth, found) == kTagFound;
        if (exhausted_)
            return kWalkUnusable;
        if (isArw) {
            SonyRawDirOffset = EntryValue(entry);
            return kWalkComplete;
        }
    }

    TBytes value;
    if (!ReadEntryValue(data_, entry, value))
        return kWalkTruncated;
    const std::uint8_t elemSize = TypeSize(entry);
    const std::uint32_t count = EntryCount(entry);

    if (tagClass == kTagSubDirList) {
        // Each element names one sub-directory; an element too narrow to hold a 32-bit
        // offset ends the list where its 4 bytes would leave the value.
        if (elemSize == 0)
            return kWalkComplete;
        for (std::uint32_t k = 0; k < count; ++k) {
            const std::uint64_t at = static_cast<std::uint64_t>(k) * elemSize;
            if (!Fits(value.size(), at, 4))
                break;
            const int result = Walk(kSubDirectoryDepth, Decode32(value.data() + at));
            if (result != kWalkComplete)
                return result;
        }
        return kWalkComplete;
    }

    // Offsets and counts: the last element, in its own width. Elements of 8 bytes (or of an
    // unknown type) hold no usable 32-bit offset or count.
    const bool usable = count > 0 && (elemSize == 1 || elemSize == 2 || elemSize == 4);
    const std::uint32_t last = usable ? DecodeWidth(value, static_cast<std::size_t>(count - 1) * elemSize, elemSize) : 0;
    if (tagClass == kTagDataOffsets) {
        dir.pending = usable;
        dir.pendingOffset = last;
        return kWalkComplete;
    }
    if (!dir.pending)
        return kWalkComplete;
    if (usable)
        OfferData(dir, EntryTag(entry), last);
    dir.pending = false;
    return kWalkComplete;
}

// A pair of data offset and byte count: a thumbnail candidate, and an end of the file.
void TWalker::OfferData(TDirScratch& dir, std::uint16_t tag, std::uint32_t count) {
    const std::uint32_t offset = dir.pendingOffset;
    bool take = false;
    std::uint8_t kind = kThumbNone;
    if (tag == kTagJpegLength || dir.compression == 6) {
        take = rec_.ThumbLength == 0 || rec_.ThumbLength > count;
        kind = kThumbJpeg;
    } else if (dir.compression == 1 && dir.photometric == 2) {
        // A 48-bit strip is only a last resort: it never displaces an earlier candidate.
        take = dir.bits16 == 48 ? rec_.ThumbLength == 0 : rec_.ThumbLength == 0 || rec_.ThumbLength > count;
        kind = kThumbRgb;
    }
    if (take) {
        rec_.ThumbOffset = offset;
        rec_.ThumbLength = count;
        rec_.ThumbKind = kind;
        rec_.ThumbBitsPerSample = kind == kThumbJpeg ? 0 : static_cast<std::uint16_t>(dir.Bits());
        rec_.ThumbWidth = static_cast<std::uint16_t>(dir.Width());
        rec_.ThumbHeight = static_cast<std::uint16_t>(dir.Height());
    }
    RaiseLength(rec_.Length, static_cast<std::uint64_t>(offset) + count);
}

} // namespace

std::uint16_t EntryTag(const TTiffEntry& entry) { return Decode16(entry.data()); }
std::uint16_t EntryType(const TTiffEntry& entry) { return Decode16(entry.data() + 2); }
std::uint32_t EntryCount(const TTiffEntry& entry) { return Decode32(entry.data() + 4); }
std::uint32_t EntryValue(const TTiffEntry& entry) { return Decode32(entry.data() + 8); }

std::uint8_t TypeSize(const TTiffEntry& entry) {
    switch (EntryType(entry)) {
    case 1: case 2: case 6: case 7:
        return 1;
    case 3: case 8:
        return 2;
    case 4: case 9: case 11:
        return 4;
    case 5: case 10: case 12:
        return 8;
    default:
        return 0;
    }
}

std::uint8_t TagClass(const TTiffEntry& entry) {
    switch (EntryTag(entry)) {
    case 0x0190: case 0x8769:
        return kTagSubDirectory;
    case 0x014A: case 0x888A:
        return kTagSubDirList;
    case 0x0111: case 0x0120: case 0x0144: case 0x0201:
        return kTagDataOffsets;
    case 0x0117: case 0x0121: case 0x0145: case 0x0202:
        return kTagDataCounts;
    default:
        return kTagOrdinary;
    }
}

bool ReadEntryValue(TBytes data, const TTiffEntry& entry, TBytes& value) {
    const std::uint64_t size = ValueSize(entry);
    if (size <= 4) {
        value = TBytes(entry.data() + 8, static_cast<std::size_t>(size));
        return true;
    }
    const std::uint32_t offset = EntryValue(entry);
    if (!Fits(data.size(), offset, size))
        return false;
    value = data.subspan(offset, static_cast<std::size_t>(size));
    return true;
}

void ExtendLength(const TTiffEntry& entry, std::int32_t& length) {
    const std::uint64_t size = ValueSize(entry);
    if (size > 4)
        RaiseLength(length, EntryValue(entry) + size);
}

int FindTag(TBytes data, std::uint64_t dirOffset, std::uint16_t tag, TTiffEntry& entry) {
    std::uint32_t work = std::numeric_limits<std::uint32_t>::max();
    bool exhausted = false;
    return FindTagCounted(data, dirOffset, tag, entry, work, exhausted);
}

int WalkDirectory(std::uint16_t marker, TBytes data, std::uint8_t depth, TFoundFile& rec, std::uint32_t dirOffset) {
    TWalker walker(marker, data, rec);
    return walker.Walk(depth, dirOffset);
}

std::string_view DngOrPef(TBytes data, std::uint32_t dirOffset) {
    TTiffEntry entry;
    return FindTag(data, dirOffset, kTagDngVersion, entry) == kTagFound ? "DNG" : "PEF";
}

std::string_view SonyRawKind(TBytes data, std::uint32_t dirOffset) {
    TTiffEntry entry;
    if (FindTag(data, dirOffset, kTagDngVersion, entry) == kTagFound)
        return "DNG";
    return FindTag(data, dirOffset, kTagImageWidth, entry) == kTagFound ? "ARW" : "SR2";
}

bool SizeWithinLimit(std::string_view name, std::uint64_t size) {
    if (name == "BM")
        return size <= 10485760u;
    if (name == "MRW" || name == "RAF")
        return size <= 104857600u;
    return false;
}

bool ContainsNoCase(std::string_view text, std::string_view word) {
    if (word.size() > text.size())
        return false;
    for (std::size_t i = 0; i + word.size() <= text.size(); ++i) {
        std::size_t k = 0;
        while (k < word.size()) {
            char c = text[i + k];
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
            if (c != word[k])
                break;
            ++k;
        }
        if (k == word.size())
            return true;
    }
    return false;
}

} // namespace lumivore
