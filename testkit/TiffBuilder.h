#pragma once
// Builders that lay out TIFF structures in memory, in either byte order, and the headers of
// the raw containers that are not TIFF structures (X3F, MRW with its TIFF block, RAF).
//
// A TTiffBuilder holds items: directories and data blocks. Entries of a directory may point
// at other items (sub-directories, strips, thumbnails, maker notes); Build() lays the items
// out in the order they were added, right after the header, and resolves every pointer.
// Entries are written in the order they were added: add them in ascending tag order for a
// well-formed file, or out of order on purpose to test a reader.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumivore::testkit {

using TByteVector = std::vector<std::uint8_t>;

// TIFF field types.
enum TTiffType : std::uint16_t {
    kTiffByte = 1, kTiffAscii = 2, kTiffShort = 3, kTiffLong = 4, kTiffRational = 5,
    kTiffUndefined = 7, kTiffSRational = 10, kTiffLong8 = 16, kTiffIfd8 = 18,
};

// The header marker of a BigTIFF. A builder made with it lays out 64-bit entry counts, 20-byte
// entries and 64-bit offsets (positions still stay below 4 GiB).
inline constexpr std::uint16_t kBigTiffMarker = 43;

class TTiffBuilder {
public:
    using TItem = std::size_t;

    explicit TTiffBuilder(bool bigEndian = false, std::uint16_t marker = 42);

    bool BigEndian() const { return bigEndian_; }

    // Bytes written right after the 8-byte header (a CR2 writes "CR" and its version here).
    void SetHeaderExtra(TByteVector bytes) { headerExtra_ = std::move(bytes); }
    // The first directory; by default the first directory added.
    void SetFirst(TItem dir) { first_ = dir; hasFirst_ = true; }
    // A raw first-directory offset in the header instead of a directory's position.
    void SetFirstOffset(std::uint32_t offset) { firstOffset_ = offset; hasFirstOffset_ = true; }

    // A directory, optionally preceded by prefix bytes (a maker note's own header); the
    // directory's position is after the prefix. Values that do not fit in an entry follow it.
    TItem AddDirectory(TByteVector prefix = {});
    // A block of data, aligned to an even position, or to the given alignment.
    TItem AddData(TByteVector bytes, std::uint32_t alignment = 2);
    // Zero bytes up to an absolute position (no-op when already past it): the next item
    // starts there, provided it needs no further alignment.
    TItem PadTo(std::uint32_t position);

    // The directory chained after dir.
    void Chain(TItem dir, TItem next);
    // A raw next-directory offset for dir.
    void SetNextOffset(TItem dir, std::uint32_t offset);

    // Entries.
    void Short(TItem dir, std::uint16_t tag, std::vector<std::uint16_t> values);
    void Long(TItem dir, std::uint16_t tag, std::vector<std::uint32_t> values);
    void Ascii(TItem dir, std::uint16_t tag, const std::string& text); // adds the zero byte
    void Rational(TItem dir, std::uint16_t tag, std::uint32_t num, std::uint32_t den);
    // Value bytes as given (already in the builder's byte order), in the entry when they fit.
    void Raw(TItem dir, std::uint16_t tag, std::uint16_t type, std::uint32_t count, TByteVector bytes);
    // An entry with its value field exactly as given, whatever the type and count say.
    void Fixed(TItem dir, std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t valueField);
    // A LONG (or SHORT) entry whose value is the position of target.
    void Pointer(TItem dir, std::uint16_t tag, TItem target, std::uint16_t type = kTiffLong);
    // A list of positions of targets (SubIFDs, offsets of strips or tiles).
    void Pointers(TItem dir, std::uint16_t tag, std::vector<TItem> targets, std::uint16_t type = kTiffLong);
    // A list of the byte sizes of data items (StripByteCounts, TileByteCounts).
    void Sizes(TItem dir, std::uint16_t tag, std::vector<TItem> blocks, std::uint16_t type = kTiffLong);

    // Common groups of entries.
    void SubDirectory(TItem dir, TItem sub, std::uint16_t tag = 0x8769) { Pointer(dir, tag, sub); }
    void SubDirectories(TItem dir, std::vector<TItem> subs, std::uint16_t tag = 0x014A) { Pointers(dir, tag, std::move(subs)); }
    // StripOffsets and StripByteCounts of the given data blocks.
    void Strips(TItem dir, std::vector<TItem> strips, std::uint16_t type = kTiffLong);
    // TileOffsets and TileByteCounts.
    void Tiles(TItem dir, std::vector<TItem> tiles, std::uint16_t type = kTiffLong);
    // JPEGInterchangeFormat and its length for the given JPEG stream; returns the stream.
    TItem JpegThumbnail(TItem dir, TByteVector jpeg);
    // A MakerNote (UNDEFINED) entry covering note, a directory added with its prefix.
    void MakerNote(TItem dir, TItem note);

    // The laid-out structure. Positions of items are known after it.
    TByteVector Build();
    // Position of an item (of a directory: after its prefix) in the last Build().
    std::uint32_t Position(TItem item) const;
    std::uint32_t Size(TItem item) const;

    // Encodes numbers in the builder's byte order.
    void Put16(TByteVector& out, std::uint16_t v) const;
    void Put32(TByteVector& out, std::uint32_t v) const;
    void Put64(TByteVector& out, std::uint64_t v) const;

private:
    enum class TValueKind { Bytes, Fixed, Pointers, Sizes, Note };
    struct TEntry {
        std::uint16_t tag = 0;
        std::uint16_t type = 0;
        std::uint32_t count = 0;
        TValueKind kind = TValueKind::Bytes;
        TByteVector bytes;
        std::uint32_t valueField = 0;
        std::vector<TItem> targets;
    };
    struct TItemData {
        bool directory = false;
        TByteVector bytes;            // data item contents, or a directory's prefix
        std::uint32_t alignment = 2;
        std::uint32_t padTo = 0;      // for padding items
        bool padding = false;
        std::vector<TEntry> entries;
        bool hasNext = false;
        TItem next = 0;
        bool hasNextOffset = false;
        std::uint32_t nextOffset = 0;
        // Layout results.
        std::uint32_t start = 0;      // of the prefix
        std::uint32_t position = 0;   // of the directory or data
        std::uint32_t size = 0;       // prefix + directory + out-of-line values, or data size
    };

    TEntry& AddEntry(TItem dir, std::uint16_t tag, std::uint16_t type, std::uint32_t count);
    std::uint32_t TypeBytes(std::uint16_t type) const;
    std::uint32_t FieldBytes() const { return big_ ? 8 : 4; }
    std::uint32_t EntryValueSize(const TEntry& e) const;
    TByteVector EncodeValue(const TEntry& e) const;

    bool bigEndian_;
    std::uint16_t marker_;
    bool big_;
    TByteVector headerExtra_;
    std::vector<TItemData> items_;
    TItem first_ = 0;
    bool hasFirst_ = false;
    std::uint32_t firstOffset_ = 0;
    bool hasFirstOffset_ = false;
};

// A camera's TIFF-structured raw file as most makers lay it out: a first directory with the
// maker, model, main image size and (optionally) the raw data as one strip, an EXIF
// directory with the shooting data, and a second chained directory with a JPEG thumbnail.
struct TCameraTiff {
    bool bigEndian = false;
    std::uint16_t marker = 42;
    bool cr2Header = false;   // "CR" and version 2.0 after the header, as a CR2 carries
    bool dngVersion = false;  // a DNGVersion tag in the first directory
    std::string make, model, dateTaken;
    std::uint32_t width = 0, height = 0;
    std::uint16_t iso = 0;
    std::uint32_t exposureNum = 0, exposureDen = 0;
    std::uint32_t fNumberNum = 0, fNumberDen = 0;
    std::uint32_t focalNum = 0, focalDen = 0;
    std::uint32_t rawDataSize = 0;     // zero bytes of raw data, as one strip; none when 0
    TByteVector jpegThumbnail;         // none when empty
    std::uint16_t thumbWidth = 160, thumbHeight = 120;
};
struct TCameraTiffLayout {
    std::uint32_t thumbnailOffset = 0; // of the JPEG thumbnail, when there is one
    std::uint32_t rawOffset = 0;       // of the raw strip, when there is one
};
TByteVector BuildCameraTiff(const TCameraTiff& camera, TCameraTiffLayout* layout = nullptr);

// Sigma X3F header: "FOVb", then width and height at 28 and 32, padded to size bytes.
TByteVector BuildX3fHeader(std::uint32_t width, std::uint32_t height, std::size_t size = 512);
// A whole Sigma X3F file of size bytes (a multiple of 4, at least 328): the version 2.2
// header, an image section of noise, a property section, and the directory, whose offset the
// last four bytes give. Each decoy offset puts a "SECd" into the image data there, with a
// version, a count and an entry, but no closing offset that names it.
TByteVector BuildX3f(std::uint32_t width, std::uint32_t height, std::size_t size,
                     const std::vector<std::size_t>& decoys = {});

// Fuji RAF: the 16-byte signature and the preview and raw-data pointers. The JPEG preview,
// when given, is placed at previewOffset; the file is at least size bytes long.
struct TRafLayout {
    std::uint32_t previewOffset = 148;
    std::uint32_t previewLength = 0;
    std::uint32_t rawOffset = 0;
    std::uint32_t rawLength = 0;
    TByteVector preview;       // placed at previewOffset when not empty
    std::size_t size = 512;
};
TByteVector BuildRaf(const TRafLayout& layout);

// Minolta MRW: the MRM block holding a PRD block, optional further blocks, and a TTW block
// with a TIFF structure; the raw data follows the MRM block when includeRaw is set.
struct TMrwBlock {
    std::string name; // three letters, written after a zero byte
    TByteVector data;
};
struct TMrwLayout {
    std::uint16_t sensorHeight = 0, sensorWidth = 0;
    std::uint16_t imageHeight = 0, imageWidth = 0;
    std::uint8_t dataBits = 12;
    std::vector<TMrwBlock> blocksBeforeTiff; // e.g. a WBG block
    TByteVector tiff;                        // the TTW block's data; none when empty
    bool includeRaw = false;
    std::size_t size = 0;                    // pad the result to at least this many bytes
};
TByteVector BuildMrw(const TMrwLayout& layout);
// Position of the TTW block's data (the TIFF header) in a file built from layout.
std::uint32_t MrwTiffPosition(const TMrwLayout& layout);

} // namespace lumivore::testkit
