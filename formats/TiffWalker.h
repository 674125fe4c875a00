#pragma once
// Reading TIFF-structured data: the 12-byte directory entry readers, the lookup of one tag,
// and the directory walker that gathers camera metadata, picks an embedded thumbnail and
// measures a file as the largest byte position any of its structures reaches.
//
// Every offset is relative to the first byte of the block handed in (the TIFF header). No
// reader leaves that block: a structure that runs past it is reported, never followed.

#include <array>
#include <cstdint>
#include <string_view>

#include "engine/FoundFile.h"
#include "formats/ByteOrder.h"

namespace lumivore {

// A TIFF block as the walker reads it: the bytes from the header to the end of what was read,
// in the byte order the header states (true for "MM"), and what one walk learns on its way
// that a later rule needs. Each walk carries its own, so a TIFF block inside another file (the
// EXIF of a JPEG or a HEIC, the metadata blocks of a CR3) is walked without touching any state
// that another walk relies on.
class TTiffReader : public TByteReader {
public:
    using TByteReader::TByteReader;

    // Position of the raw data directory of a Sony ARW, found in its first directory and used
    // by the maker-note rule to measure the file. 0 until the walk finds it.
    std::uint32_t SonyRawDirOffset = 0;
    // Where the TIFF header stands in the file being recognised (the EXIF block of a JPEG
    // starts a few bytes in): the runs of data the walk notes as embedded are moved by it, so
    // that they count from the file's first byte.
    std::uint64_t FilePosition = 0;
    // The data run (strip, tile, JPEG stream) that reaches furthest, from the TIFF header on:
    // where it starts and ends. Image data is claimed by its directory, not walked.
    std::uint64_t FurthestRunStart = 0;
    std::uint64_t FurthestRunEnd = 0;
};

// The reader for a block that starts with a TIFF header: its byte order taken from "II" or
// "MM". False, with the reader unchanged, when the block starts otherwise.
bool OpenTiffBlock(TBytes data, TTiffReader& reader);

// One directory entry exactly as stored: tag, type, count, value field.
using TTiffEntry = std::array<std::uint8_t, 12>;

// Structural classes of tags.
enum : std::uint8_t {
    kTagOrdinary = 0,     // an ordinary field
    kTagSubDirectory = 1, // the value is the offset of one sub-directory
    kTagSubDirList = 2,   // the value is a list of sub-directory offsets
    kTagDataOffsets = 3,  // a list of data offsets (strips, tiles, JPEG stream)
    kTagDataCounts = 4,   // the matching list of byte counts
};

// Results of WalkDirectory.
inline constexpr int kWalkUnusable = -1; // not a usable TIFF structure
inline constexpr int kWalkComplete = 0;
inline constexpr int kWalkTruncated = 1; // the structure runs past the data

// Results of FindTag.
inline constexpr int kTagFound = 0;
inline constexpr int kTagTruncated = 1; // the directory runs past the data before the tag
inline constexpr int kTagAbsent = 2;

// Depth of a sub-directory; chained directories count 0 to 10.
inline constexpr std::uint8_t kSubDirectoryDepth = 255;

// Entry readers, in the given byte order (true for "MM").
std::uint16_t EntryTag(const TTiffEntry& entry, bool bigEndian);
std::uint16_t EntryType(const TTiffEntry& entry, bool bigEndian);
std::uint32_t EntryCount(const TTiffEntry& entry, bool bigEndian);
std::uint32_t EntryValue(const TTiffEntry& entry, bool bigEndian);

// Bytes per element of the entry's field type: 1, 2, 4 or 8, or 0 for an unknown type.
std::uint8_t TypeSize(const TTiffEntry& entry, bool bigEndian);

// Structural class (kTag...) of the entry's tag.
std::uint8_t TagClass(const TTiffEntry& entry, bool bigEndian);

// The entry's value bytes, undecoded: inside the entry itself when they fit in 4 bytes,
// else at the value offset in data. False when the value does not lie inside the data. The
// view refers to entry or data and is valid as long as both are.
bool ReadEntryValue(const TTiffReader& reader, const TTiffEntry& entry, TBytes& value);

// Raises a running length to the end of the entry's out-of-line value (which need not lie
// inside the data). A negative running length means an earlier end could not be represented;
// it stays unknown, and an end beyond the largest signed 32-bit number makes it unknown (-1).
void ExtendLength(const TTiffEntry& entry, bool bigEndian, std::int64_t& length);

// Looks for a tag in the directory at dirOffset; on kTagFound, entry holds its 12 bytes.
int FindTag(const TTiffReader& reader, std::uint64_t dirOffset, std::uint16_t tag, TTiffEntry& entry);

// Walks the directory at dirOffset into rec: its entries, its sub-directories and, unless
// depth is kSubDirectoryDepth, the directories chained after it. Every data run a directory
// names (strips, tiles, a JPEG stream, a maker note's preview) is noted in rec.Embedded. Returns kWalkUnusable,
// kWalkComplete or kWalkTruncated. marker is the 16-bit number at bytes 2-3 of the header.
// A marker of 43 is a BigTIFF: 64-bit entry counts and offsets and 20-byte entries, walked by
// the same rules within the same limits.
// The walk reads in the reader's byte order and may set its SonyRawDirOffset.
int WalkDirectory(std::uint16_t marker, TTiffReader& reader, std::uint8_t depth, TFoundFile& rec,
                  std::uint64_t dirOffset);

// True when the directory at dirOffset, laid out as the marker says, holds the tag.
bool HasTag(const TTiffReader& reader, std::uint16_t marker, std::uint64_t dirOffset, std::uint16_t tag);

// "DNG" when the directory carries a DNGVersion tag, else "PEF".
std::string_view DngOrPef(const TTiffReader& reader, std::uint64_t dirOffset, std::uint16_t marker = 42);

// "DNG" with a DNGVersion tag, else "ARW" with an ImageWidth tag, else "SR2".
std::string_view SonyRawKind(const TTiffReader& reader, std::uint64_t dirOffset, std::uint16_t marker = 42);

// True when a declared file size is within the largest size accepted for the type name
// ("BM", "MRW" or "RAF"); false for any other name.
bool SizeWithinLimit(std::string_view name, std::uint64_t size);

// Recognises the TIFF structure at the start of data into rec, as RecogniseTiff does. With
// acceptLateDirectory, a plain TIFF or BigTIFF header whose first directory lies past the data
// is taken as a TIFF of unknown length; without it (the EXIF block of a JPEG, which lies whole
// inside its segment) such a header is refused.
// filePosition is where data starts in the file being recognised (TTiffReader::FilePosition).
bool ReadTiffStructure(TBytes data, TFoundFile& rec, bool acceptLateDirectory, std::uint64_t filePosition = 0);

// True when text contains word, ignoring the case of ASCII letters. word is lower case.
bool ContainsNoCase(std::string_view text, std::string_view word);

} // namespace lumivore
