#include "formats/TiffWalker.h"

#include <algorithm>
#include <limits>

#include "formats/LengthPolicy.h"

namespace lumivore {

namespace {

constexpr std::uint16_t kPanasonicMarker = 0x55;
constexpr std::uint16_t kBigTiffMarker = 43;
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
    kTagTopBorder = 0x0004, kTagLeftBorder = 0x0005, kTagBottomBorder = 0x0006,
    kTagRightBorder = 0x0007, kTagSensorIso = 0x0017, kTagJpegFromRaw = 0x002E,
    kTagImageWidth = 0x0100, kTagImageLength = 0x0101, kTagBitsPerSample = 0x0102,
    kTagCompression = 0x0103, kTagPhotometric = 0x0106, kTagMake = 0x010F, kTagModel = 0x0110,
    kTagJpegFormat = 0x0201, kTagJpegLength = 0x0202, kTagExposureTime = 0x829A,
    kTagFNumber = 0x829D, kTagIsoSpeed = 0x8827, kTagDateTimeOriginal = 0x9003,
    kTagFocalLength = 0x920A, kTagMakerNote = 0x927C, kTagPixelXDimension = 0xA002,
    kTagPixelYDimension = 0xA003, kTagDngVersion = 0xC612,
};

// 64-bit field types of BigTIFF: LONG8, SLONG8, IFD8.
constexpr std::uint16_t kTypeLong8 = 16, kTypeSLong8 = 17, kTypeIfd8 = 18;

std::uint16_t Decode16(const std::uint8_t* p, bool big) {
    return big ? static_cast<std::uint16_t>((p[0] << 8) | p[1])
                     : static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t Decode32(const std::uint8_t* p, bool big) {
    const std::uint32_t b0 = p[0], b1 = p[1], b2 = p[2], b3 = p[3];
    return big ? (b0 << 24) | (b1 << 16) | (b2 << 8) | b3 : b0 | (b1 << 8) | (b2 << 16) | (b3 << 24);
}

std::uint64_t Decode64(const std::uint8_t* p, bool big) {
    const std::uint64_t first = Decode32(p, big), second = Decode32(p + 4, big);
    return big ? (first << 32) | second : (second << 32) | first;
}

// Value of the given width (1, 2, 4 or 8 bytes) at pos of bytes that are known to hold it.
std::uint64_t DecodeWidth(TBytes bytes, std::size_t pos, std::uint8_t width, bool big) {
    if (width == 1)
        return bytes[pos];
    if (width == 2)
        return Decode16(bytes.data() + pos, big);
    if (width == 4)
        return Decode32(bytes.data() + pos, big);
    return Decode64(bytes.data() + pos, big);
}

// How a structure lays out its directories: a classic TIFF (16-bit entry counts, 12-byte
// entries, 32-bit offsets) or a BigTIFF (64-bit counts, 20-byte entries, 64-bit offsets). The
// walker's rules are the same for both; only these sizes differ. The layout also carries the
// structure's byte order, so every decode below reads in the order of the block being walked.
struct TLayout {
    bool big = false;
    std::uint8_t countSize = 2;  // bytes of a directory's entry count
    std::uint8_t entrySize = 12; // bytes of one entry
    std::uint8_t fieldSize = 4;  // bytes of an entry's value field, a next-directory offset
    bool bigEndian = false;      // "MM" order

    static TLayout ForMarker(std::uint16_t marker, bool bigEndian) {
        return marker == kBigTiffMarker ? TLayout{true, 8, 20, 8, bigEndian} : Classic(bigEndian);
    }
    static TLayout Classic(bool bigEndian) { return TLayout{false, 2, 12, 4, bigEndian}; }
    // Bytes from a directory's start to its first entry, and the least a directory occupies.
    std::uint64_t MinDirectory() const { return std::uint64_t{countSize} + entrySize; }
};

// One directory entry, decoded as far as the layout says: tag, type, count and the raw
// value field (which lies inside the entry, so inside the data).
struct TEntry {
    std::uint16_t tag = 0;
    std::uint16_t type = 0;
    std::uint64_t count = 0;
    TBytes field;
    bool big = false;
    bool bigEndian = false;

    // Bytes per element: the classic types, and in a BigTIFF also its 64-bit types.
    std::uint8_t ElemSize() const {
        switch (type) {
        case 1: case 2: case 6: case 7:
            return 1;
        case 3: case 8:
            return 2;
        case 4: case 9: case 11:
            return 4;
        case 5: case 10: case 12:
            return 8;
        case kTypeLong8: case kTypeSLong8: case kTypeIfd8:
            return big ? 8 : 0;
        default:
            return 0;
        }
    }
    // Size of the value in bytes, or nothing when it cannot be formed.
    bool ValueSize(std::uint64_t& size) const {
        const std::uint8_t elem = ElemSize();
        if (elem != 0 && count > std::numeric_limits<std::uint64_t>::max() / elem)
            return false;
        size = count * elem;
        return true;
    }
    // The value field read as an offset: 32-bit in a classic TIFF; in a BigTIFF the 64-bit
    // offset of an out-of-line value, or the first element of a value held in the field.
    std::uint64_t Offset() const {
        if (!big)
            return Decode32(field.data(), bigEndian);
        std::uint64_t size = 0;
        const std::uint8_t elem = ElemSize();
        if (!ValueSize(size) || size > field.size() || elem == 0)
            return Decode64(field.data(), bigEndian);
        return DecodeWidth(field, 0, elem, bigEndian);
    }
    // Integer types whose elements can name an offset or a count.
    bool IntegerElements() const {
        const std::uint8_t elem = ElemSize();
        return elem == 1 || elem == 2 || elem == 4 || (elem == 8 && (type == kTypeLong8 || type == kTypeIfd8));
    }
};

TEntry DecodeEntry(const std::uint8_t* p, const TLayout& layout) {
    TEntry e;
    e.big = layout.big;
    e.bigEndian = layout.bigEndian;
    const bool order = layout.bigEndian;
    e.tag = Decode16(p, order);
    e.type = Decode16(p + 2, order);
    if (layout.big) {
        e.count = Decode64(p + 4, order);
        e.field = TBytes(p + 12, 8);
    } else {
        e.count = Decode32(p + 4, order);
        e.field = TBytes(p + 8, 4);
    }
    return e;
}

TEntry ClassicEntry(const TTiffEntry& entry, bool bigEndian) {
    return DecodeEntry(entry.data(), TLayout::Classic(bigEndian));
}

// The value bytes: inside the field when they fit, else at the field's offset in data.
bool ReadValue(TBytes data, const TEntry& entry, TBytes& value) {
    std::uint64_t size = 0;
    if (!entry.ValueSize(size))
        return false;
    if (size <= entry.field.size()) {
        value = entry.field.first(static_cast<std::size_t>(size));
        return true;
    }
    const std::uint64_t offset = entry.big ? Decode64(entry.field.data(), entry.bigEndian)
                                        : Decode32(entry.field.data(), entry.bigEndian);
    if (!Fits(data.size(), offset, size))
        return false;
    value = data.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(size));
    return true;
}

// Raises a running length to end. A negative length is unknown and stays so; an end that a
// signed 32-bit length cannot hold makes it unknown.
void RaiseLength(std::int64_t& length, std::uint64_t end) {
    if (length < 0)
        return;
    if (end > static_cast<std::uint64_t>(kLargestLength)) {
        length = kUnknownLength;
        return;
    }
    if (static_cast<std::uint64_t>(length) < end)
        length = static_cast<std::int64_t>(end);
}

// Raises the running length to the end of the entry's out-of-line value.
void ExtendTo(const TEntry& entry, std::int64_t& length) {
    std::uint64_t size = 0;
    if (!entry.ValueSize(size)) {
        RaiseLength(length, std::numeric_limits<std::uint64_t>::max());
        return;
    }
    if (size <= entry.field.size())
        return;
    const std::uint64_t offset = entry.big ? Decode64(entry.field.data(), entry.bigEndian)
                                        : Decode32(entry.field.data(), entry.bigEndian);
    RaiseLength(length, offset > std::numeric_limits<std::uint64_t>::max() - size
                            ? std::numeric_limits<std::uint64_t>::max()
                            : offset + size);
}

// Structural class of a tag.
std::uint8_t ClassOfTag(std::uint16_t tag) {
    switch (tag) {
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

// Entry count of the directory at dirOffset; false when it does not lie inside the data.
bool DirectoryCount(TBytes data, std::uint64_t dirOffset, const TLayout& layout, std::uint64_t& n) {
    if (!Fits(data.size(), dirOffset, layout.countSize))
        return false;
    n = layout.big ? Decode64(data.data() + dirOffset, layout.bigEndian) : Decode16(data.data() + dirOffset, layout.bigEndian);
    return true;
}

// FindTag in the given layout, with a share of the walk's work budget; kTagAbsent also when
// the budget runs out, with exhausted set.
int FindTagCounted(TBytes data, std::uint64_t dirOffset, std::uint16_t tag, const TLayout& layout,
                   const std::uint8_t*& found, std::uint32_t& work, bool& exhausted) {
    std::uint64_t n = 0;
    if (!DirectoryCount(data, dirOffset, layout, n))
        return kTagTruncated;
    std::uint64_t pos = dirOffset + layout.countSize;
    for (std::uint64_t i = 0; i < n; ++i, pos += layout.entrySize) {
        if (work == 0) {
            exhausted = true;
            return kTagAbsent;
        }
        --work;
        if (!Fits(data.size(), pos, layout.entrySize))
            return kTagTruncated;
        const std::uint8_t* p = data.data() + pos;
        if (Decode16(p, layout.bigEndian) == tag) {
            found = p;
            return kTagFound;
        }
    }
    return kTagAbsent;
}

int FindClassic(const TTiffReader& reader, std::uint64_t dirOffset, std::uint16_t tag, TTiffEntry& entry,
                std::uint32_t& work, bool& exhausted) {
    const std::uint8_t* found = nullptr;
    const int result = FindTagCounted(reader.data(), dirOffset, tag, TLayout::Classic(reader.bigEndian()), found,
                                      work, exhausted);
    if (result == kTagFound)
        std::copy_n(found, 12, entry.begin());
    return result;
}

// Scratch values of one directory.
struct TDirScratch {
    std::uint16_t width16 = 0, height16 = 0, iso16 = 0, bits16 = 0;
    std::uint32_t width32 = 0, height32 = 0, iso32 = 0, bits32 = 0;
    std::uint16_t compression = 0;
    std::uint16_t photometric = 0;
    // Sensor borders of the 0x55 raw variant: top, left, bottom, right.
    std::uint32_t border[4] = {0, 0, 0, 0};
    bool pending = false;
    std::uint64_t pendingOffset = 0;

    std::uint32_t Width() const { return std::max<std::uint32_t>(width16, width32); }
    std::uint32_t Height() const { return std::max<std::uint32_t>(height16, height32); }
    std::uint32_t Iso() const { return std::max<std::uint32_t>(iso16, iso32); }
    std::uint32_t Bits() const { return std::max<std::uint32_t>(bits16, bits32); }
};

// Loads the first element of a value into the 16-bit or 32-bit slot by its element size.
void FirstElement(const TEntry& entry, TBytes value, std::uint16_t& slot16, std::uint32_t& slot32) {
    const std::uint8_t size = entry.ElemSize();
    if (size == 2 && value.size() >= 2)
        slot16 = Decode16(value.data(), entry.bigEndian);
    else if (size == 4 && value.size() >= 4)
        slot32 = Decode32(value.data(), entry.bigEndian);
}

// The first element of a 16- or 32-bit value, or 0.
std::uint32_t FirstNumber(const TEntry& entry, TBytes value) {
    std::uint16_t v16 = 0;
    std::uint32_t v32 = 0;
    FirstElement(entry, value, v16, v32);
    return std::max<std::uint32_t>(v16, v32);
}

// State of one top-level walk: the data, the record, and the guards against loops and
// runaway structures.
class TWalker {
public:
    TWalker(std::uint16_t marker, TTiffReader& reader, TFoundFile& rec)
        : marker_(marker), layout_(TLayout::ForMarker(marker, reader.bigEndian())), reader_(reader),
          data_(reader.data()), rec_(rec) {}

    int Walk(std::uint8_t depth, std::uint64_t dirOffset);

private:
    bool Spend() {
        if (work_ == 0) {
            exhausted_ = true;
            return false;
        }
        --work_;
        return true;
    }
    // Maker notes are classic directories whatever the file around them.
    int Find(std::uint64_t dirOffset, std::uint16_t tag, TTiffEntry& entry) {
        return FindClassic(reader_, dirOffset, tag, entry, work_, exhausted_);
    }
    bool Has(std::uint64_t dirOffset, std::uint16_t tag) {
        const std::uint8_t* found = nullptr;
        return FindTagCounted(data_, dirOffset, tag, layout_, found, work_, exhausted_) == kTagFound;
    }
    bool big() const { return layout_.bigEndian; }
    bool OnPath(std::uint64_t dirOffset) const {
        return std::find(path_.begin(), path_.begin() + static_cast<std::ptrdiff_t>(pathLen_), dirOffset) !=
               path_.begin() + static_cast<std::ptrdiff_t>(pathLen_);
    }

    int WalkEntries(std::uint8_t depth, std::uint64_t dirOffset, std::uint64_t n);
    void HandleTag(std::uint8_t depth, TDirScratch& dir, const TEntry& entry);
    void HandleBorder(TDirScratch& dir, const TEntry& entry, TBytes value);
    void HandleMakerNote(const TDirScratch& dir, const TEntry& entry);
    int HandleClass(std::uint8_t depth, std::uint64_t dirOffset, TDirScratch& dir, const TEntry& entry);
    void OfferData(TDirScratch& dir, std::uint16_t tag, std::uint64_t count);
    // A run of data the structure names, from the TIFF header on, noted as embedded in the file.
    void Note(std::uint64_t offset, std::uint64_t count) {
        if (offset <= std::numeric_limits<std::uint64_t>::max() - reader_.FilePosition)
            rec_.NoteEmbedded(reader_.FilePosition + offset, count);
    }

    std::uint16_t marker_;
    TLayout layout_;
    TTiffReader& reader_;
    TBytes data_;
    TFoundFile& rec_;
    std::array<std::uint64_t, kMaxPath> path_{};
    std::size_t pathLen_ = 0;
    int nesting_ = 0;
    std::uint32_t work_ = kWorkBudget;
    bool exhausted_ = false;
};

int TWalker::Walk(std::uint8_t depth, std::uint64_t dirOffset) {
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
    std::uint64_t n = 0;
    if (!DirectoryCount(data_, dirOffset, layout_, n))
        return kWalkTruncated;
    if (n == 0 || n > kMaxEntries)
        return kWalkUnusable;
    RaiseLength(rec_.Length, dirOffset + layout_.countSize + layout_.entrySize * n);

    path_[pathLen_++] = dirOffset;
    if (sub)
        ++nesting_;
    const int result = WalkEntries(depth, dirOffset, n);
    if (sub)
        --nesting_;
    --pathLen_;
    return result;
}

int TWalker::WalkEntries(std::uint8_t depth, std::uint64_t dirOffset, std::uint64_t n) {
    const std::size_t size = data_.size();
    TDirScratch dir;
    const std::uint64_t first = dirOffset + layout_.countSize;
    for (std::uint64_t i = 0; i < n; ++i) {
        const std::uint64_t pos = first + layout_.entrySize * i;
        if (!Fits(size, pos, layout_.entrySize))
            continue;
        if (!Spend())
            return kWalkUnusable;
        const TEntry entry = DecodeEntry(data_.data() + pos, layout_);
        HandleTag(depth, dir, entry);
        const int result = HandleClass(depth, dirOffset, dir, entry);
        if (exhausted_)
            return kWalkUnusable;
        if (result != kWalkComplete)
            return result;
    }
    if (depth == kSubDirectoryDepth)
        return kWalkComplete;

    const std::uint64_t nextPos = first + layout_.entrySize * n;
    if (!Fits(size, nextPos, layout_.fieldSize))
        return kWalkTruncated;
    const std::uint8_t* p = data_.data() + nextPos;
    const std::uint64_t next = layout_.big ? Decode64(p, big()) : Decode32(p, big());
    if (next == 0)
        return kWalkComplete;
    if (!Fits(size, next, layout_.MinDirectory()))
        return kWalkTruncated;
    const int result = Walk(static_cast<std::uint8_t>(depth + 1), next);
    return result == kWalkUnusable || result == kWalkTruncated ? result : kWalkComplete;
}

// The 0x55 raw variant states the sensor's borders; the picture is what lies between them.
void TWalker::HandleBorder(TDirScratch& dir, const TEntry& entry, TBytes value) {
    const std::size_t side = entry.tag - kTagTopBorder; // 0 top, 1 left, 2 bottom, 3 right
    dir.border[side] = FirstNumber(entry, value);
    if (entry.tag == kTagBottomBorder && dir.border[2] > dir.border[0])
        rec_.Height = static_cast<std::int32_t>(dir.border[2] - dir.border[0]);
    else if (entry.tag == kTagRightBorder && dir.border[3] > dir.border[1])
        rec_.Width = static_cast<std::int32_t>(dir.border[3] - dir.border[1]);
}

void TWalker::HandleTag(std::uint8_t depth, TDirScratch& dir, const TEntry& entry) {
    const std::uint16_t tag = entry.tag;
    const bool sensorTags = marker_ == kPanasonicMarker && depth == 0;
    TBytes value;
    switch (tag) {
    case kTagTopBorder:
    case kTagLeftBorder:
    case kTagBottomBorder:
    case kTagRightBorder:
        if (sensorTags && ReadValue(data_, entry, value))
            HandleBorder(dir, entry, value);
        return;
    case kTagSensorIso:
        if (!sensorTags || !ReadValue(data_, entry, value))
            return;
        FirstElement(entry, value, dir.iso16, dir.iso32);
        rec_.ISO = static_cast<std::int32_t>(dir.Iso());
        return;
    case kTagImageWidth:
    case kTagPixelXDimension:
        if (!ReadValue(data_, entry, value))
            return;
        FirstElement(entry, value, dir.width16, dir.width32);
        if (rec_.Width == 0 || static_cast<std::int64_t>(rec_.Width) < static_cast<std::int64_t>(dir.Width()))
            rec_.Width = static_cast<std::int32_t>(dir.Width());
        return;
    case kTagImageLength:
    case kTagPixelYDimension:
        if (!ReadValue(data_, entry, value))
            return;
        FirstElement(entry, value, dir.height16, dir.height32);
        if (rec_.Height == 0 || static_cast<std::int64_t>(rec_.Height) < static_cast<std::int64_t>(dir.Height()))
            rec_.Height = static_cast<std::int32_t>(dir.Height());
        return;
    case kTagBitsPerSample:
        if (ReadValue(data_, entry, value))
            FirstElement(entry, value, dir.bits16, dir.bits32);
        return;
    case kTagCompression:
        if (ReadValue(data_, entry, value) && value.size() >= 2)
            dir.compression = Decode16(value.data(), big());
        return;
    case kTagPhotometric:
        if (ReadValue(data_, entry, value) && value.size() >= 2)
            dir.photometric = Decode16(value.data(), big());
        return;
    case kTagMake:
        if (ReadValue(data_, entry, value))
            rec_.Make = ValueText(value);
        return;
    case kTagModel:
        if (ReadValue(data_, entry, value))
            rec_.Model = ValueText(value);
        return;
    case kTagExposureTime:
    case kTagFNumber:
    case kTagFocalLength: {
        // One rational: out of line in a classic TIFF, inside the entry in a BigTIFF.
        if (entry.ElemSize() != 8)
            return;
        const std::uint8_t* p = nullptr;
        std::uint64_t size = 0;
        if (entry.ValueSize(size) && size >= 8 && size <= entry.field.size()) {
            p = entry.field.data();
        } else {
            const std::uint64_t at = entry.Offset();
            if (!Fits(data_.size(), at, 8))
                return;
            p = data_.data() + at;
        }
        const std::uint32_t num = Decode32(p, big());
        const std::uint32_t den = Decode32(p + 4, big());
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
        if (!ReadValue(data_, entry, value))
            return;
        FirstElement(entry, value, dir.iso16, dir.iso32);
        rec_.ISO = static_cast<std::int32_t>(dir.Iso());
        return;
    case kTagDateTimeOriginal:
        if (ReadValue(data_, entry, value))
            rec_.DateTaken = ValueText(value);
        return;
    case kTagMakerNote:
        HandleMakerNote(dir, entry);
        return;
    case kTagJpegFromRaw:
        // The 0x55 raw variant keeps its full-size JPEG preview whole as this tag's value.
        if (sensorTags) {
            std::uint64_t size = 0;
            if (entry.ValueSize(size) && size > entry.field.size())
                Note(entry.Offset(), size);
        }
        return;
    default:
        return;
    }
}

// Maker notes are not walked; three makers' notes name the thumbnail or the raw data's end
// in a directory at a fixed place inside them.
void TWalker::HandleMakerNote(const TDirScratch& dir, const TEntry& entry) {
    const std::uint64_t note = entry.Offset();
    TTiffEntry found;
    if (ContainsNoCase(rec_.Make, "olympus")) {
        if (Find(note + 8, kTagImageWidth, found) != kTagFound)
            return;
        Note(EntryValue(found, big()), EntryCount(found, big()));
        if (rec_.ThumbLength == 0 || EntryCount(found, big()) < rec_.ThumbLength) {
            rec_.ThumbOffset = EntryValue(found, big());
            rec_.ThumbLength = EntryCount(found, big());
            rec_.ThumbKind = kThumbJpeg;
            rec_.ThumbBitsPerSample = 0;
            rec_.ThumbWidth = static_cast<std::uint16_t>(dir.Width());
            rec_.ThumbHeight = static_cast<std::uint16_t>(dir.Height());
        }
    } else if (ContainsNoCase(rec_.Make, "minolta")) {
        if (Find(note, 0x0081, found) == kTagFound)
            rec_.ThumbOffset = EntryValue(found, big());
        else if (Find(note, 0x0088, found) == kTagFound)
            rec_.ThumbOffset = EntryValue(found, big());
        if (Find(note, 0x0089, found) == kTagFound) {
            rec_.ThumbLength = EntryValue(found, big());
            rec_.ThumbKind = kThumbJpeg;
            Note(rec_.ThumbOffset, rec_.ThumbLength);
        }
    } else if (reader_.SonyRawDirOffset != 0) {
        if (Find(note + 12, 0xB028, found) != kTagFound)
            return;
        const std::uint32_t rawDir = EntryValue(found, big());
        if (Find(rawDir, 0x0040, found) != kTagFound)
            return;
        const std::uint64_t end = static_cast<std::uint64_t>(EntryValue(found, big())) + reader_.SonyRawDirOffset;
        rec_.Length = end > static_cast<std::uint64_t>(kLargestLength) ? kUnknownLength : static_cast<std::int64_t>(end);
    }
}

int TWalker::HandleClass(std::uint8_t depth, std::uint64_t dirOffset, TDirScratch& dir, const TEntry& entry) {
    const std::uint8_t tagClass = ClassOfTag(entry.tag);
    if (tagClass == kTagOrdinary) {
        ExtendTo(entry, rec_.Length);
        return kWalkComplete;
    }
    if (tagClass == kTagSubDirectory) {
        const std::uint64_t sub = entry.Offset();
        if (!Fits(data_.size(), sub, layout_.MinDirectory()))
            return kWalkTruncated;
        return Walk(kSubDirectoryDepth, sub);
    }

    if (tagClass == kTagSubDirList && depth == 0 && ContainsNoCase(rec_.Make, "sony")) {
        const bool isArw = !Has(dirOffset, kTagDngVersion) && Has(dirOffset, kTagImageWidth);
        if (exhausted_)
            return kWalkUnusable;
        const std::uint64_t rawDir = entry.Offset();
        if (isArw && rawDir <= std::numeric_limits<std::uint32_t>::max()) {
            reader_.SonyRawDirOffset = static_cast<std::uint32_t>(rawDir);
            return kWalkComplete;
        }
    }

    TBytes value;
    if (!ReadValue(data_, entry, value))
        return kWalkTruncated;
    const std::uint8_t elemSize = entry.ElemSize();
    const std::uint64_t count = entry.count;

    if (tagClass == kTagSubDirList) {
        // Each element names one sub-directory: 64-bit elements in full, any other as the
        // 32-bit number at its place; an element too narrow for that ends the list where its
        // 4 bytes would leave the value.
        if (elemSize == 0)
            return kWalkComplete;
        const std::uint8_t width = entry.IntegerElements() && elemSize == 8 ? 8 : 4;
        for (std::uint64_t k = 0; k < count; ++k) {
            const std::uint64_t at = k * elemSize;
            if (!Fits(value.size(), at, width))
                break;
            const int result = Walk(kSubDirectoryDepth, DecodeWidth(value, static_cast<std::size_t>(at), width, big()));
            if (result != kWalkComplete)
                return result;
        }
        return kWalkComplete;
    }

    // Offsets and counts: the last element, in its own width. Elements that are not integers
    // (rationals, or an unknown type) hold no usable offset or count.
    const bool usable = count > 0 && entry.IntegerElements();
    const std::uint64_t last = usable ? DecodeWidth(value, static_cast<std::size_t>((count - 1) * elemSize), elemSize, big())
                                      : 0;
    if (tagClass == kTagDataOffsets) {
        dir.pending = usable;
        dir.pendingOffset = last;
        return kWalkComplete;
    }
    if (!dir.pending)
        return kWalkComplete;
    if (usable)
        OfferData(dir, entry.tag, last);
    dir.pending = false;
    return kWalkComplete;
}

// A pair of data offset and byte count: a thumbnail candidate, and an end of the file.
void TWalker::OfferData(TDirScratch& dir, std::uint16_t tag, std::uint64_t count) {
    const std::uint64_t offset = dir.pendingOffset;
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
    // A thumbnail the record's 32-bit fields cannot name is none.
    constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
    if (take && offset <= kMax32 && count <= kMax32) {
        rec_.ThumbOffset = static_cast<std::uint32_t>(offset);
        rec_.ThumbLength = static_cast<std::uint32_t>(count);
        rec_.ThumbKind = kind;
        rec_.ThumbBitsPerSample = kind == kThumbJpeg ? 0 : static_cast<std::uint16_t>(dir.Bits());
        rec_.ThumbWidth = static_cast<std::uint16_t>(dir.Width());
        rec_.ThumbHeight = static_cast<std::uint16_t>(dir.Height());
    }
    Note(offset, count);
    const std::uint64_t end =
        offset > std::numeric_limits<std::uint64_t>::max() - count ? std::numeric_limits<std::uint64_t>::max() : offset + count;
    if (end > reader_.FurthestRunEnd) {
        reader_.FurthestRunStart = offset;
        reader_.FurthestRunEnd = end;
    }
    RaiseLength(rec_.Length, end);
}

} // namespace

bool OpenTiffBlock(TBytes data, TTiffReader& reader) {
    if (data.size() < 2 || data[0] != data[1] || (data[0] != 'I' && data[0] != 'M'))
        return false;
    reader = TTiffReader(data, data[0] == 'M');
    return true;
}

std::uint16_t EntryTag(const TTiffEntry& entry, bool bigEndian) { return Decode16(entry.data(), bigEndian); }
std::uint16_t EntryType(const TTiffEntry& entry, bool bigEndian) { return Decode16(entry.data() + 2, bigEndian); }
std::uint32_t EntryCount(const TTiffEntry& entry, bool bigEndian) { return Decode32(entry.data() + 4, bigEndian); }
std::uint32_t EntryValue(const TTiffEntry& entry, bool bigEndian) { return Decode32(entry.data() + 8, bigEndian); }

std::uint8_t TypeSize(const TTiffEntry& entry, bool bigEndian) { return ClassicEntry(entry, bigEndian).ElemSize(); }

std::uint8_t TagClass(const TTiffEntry& entry, bool bigEndian) { return ClassOfTag(EntryTag(entry, bigEndian)); }

bool ReadEntryValue(const TTiffReader& reader, const TTiffEntry& entry, TBytes& value) {
    return ReadValue(reader.data(), ClassicEntry(entry, reader.bigEndian()), value);
}

void ExtendLength(const TTiffEntry& entry, bool bigEndian, std::int64_t& length) {
    ExtendTo(ClassicEntry(entry, bigEndian), length);
}

int FindTag(const TTiffReader& reader, std::uint64_t dirOffset, std::uint16_t tag, TTiffEntry& entry) {
    std::uint32_t work = std::numeric_limits<std::uint32_t>::max();
    bool exhausted = false;
    return FindClassic(reader, dirOffset, tag, entry, work, exhausted);
}

int WalkDirectory(std::uint16_t marker, TTiffReader& reader, std::uint8_t depth, TFoundFile& rec,
                  std::uint64_t dirOffset) {
    TWalker walker(marker, reader, rec);
    return walker.Walk(depth, dirOffset);
}

bool HasTag(const TTiffReader& reader, std::uint16_t marker, std::uint64_t dirOffset, std::uint16_t tag) {
    std::uint32_t work = std::numeric_limits<std::uint32_t>::max();
    bool exhausted = false;
    const std::uint8_t* found = nullptr;
    return FindTagCounted(reader.data(), dirOffset, tag, TLayout::ForMarker(marker, reader.bigEndian()), found, work,
                          exhausted) == kTagFound;
}

std::string_view DngOrPef(const TTiffReader& reader, std::uint64_t dirOffset, std::uint16_t marker) {
    return HasTag(reader, marker, dirOffset, kTagDngVersion) ? "DNG" : "PEF";
}

std::string_view SonyRawKind(const TTiffReader& reader, std::uint64_t dirOffset, std::uint16_t marker) {
    if (HasTag(reader, marker, dirOffset, kTagDngVersion))
        return "DNG";
    return HasTag(reader, marker, dirOffset, kTagImageWidth) ? "ARW" : "SR2";
}

bool SizeWithinLimit(std::string_view name, std::uint64_t size) {
    if (name == "BM")
        return size <= 10485760u;
    // RAF and MRW files of today's cameras pass 100 MiB; up to the raised raw limit their
    // recognisers take a length when the header describes a whole file.
    if (name == "MRW" || name == "RAF")
        return size <= static_cast<std::uint64_t>(kLargeRawLengthLimit);
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
