#pragma once
// One file found on the examined device: where it starts, what it is, how long it is,
// the camera metadata it carries and where its embedded thumbnail lies.

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace lumivore {

// Row numbers of the general table and the camera table (engine/FileTypes.h); 255 = none.
inline constexpr std::uint8_t kNoIndex = 255;

// Lengths are signed 64-bit; -1 means the length could not be measured.
inline constexpr std::int64_t kUnknownLength = -1;

// Thumbnail kinds.
inline constexpr std::uint8_t kThumbNone = 0;
inline constexpr std::uint8_t kThumbJpeg = 1;
inline constexpr std::uint8_t kThumbRgb = 2;

// What kind of file a record is (engine/FileTypes.h).
enum class TFileType : std::uint8_t;

// One run of a file's bytes on the device: the byte offset of its first byte and its length.
struct TPiece {
    std::int64_t Offset = 0;
    std::int64_t Length = 0;
    bool operator==(const TPiece&) const = default;
};

// Most runs one file's structure may name as embedded data: a raw names a few previews, a
// video a frame now and then that happens to begin on a sector boundary; more is a structure
// made to grow without end.
inline constexpr std::size_t kMaxEmbeddedRuns = 1024;

// Adds the run at offset (from the file's first byte) of length bytes (0: not stated) to runs,
// when it begins on a sector boundary past the first byte and is not there yet.
inline void NoteEmbeddedRun(std::vector<TPiece>& runs, std::uint64_t offset, std::uint64_t length) {
    constexpr std::uint64_t kLargest = static_cast<std::uint64_t>(INT64_MAX);
    if (offset == 0 || offset % 512 != 0 || offset > kLargest || length > kLargest || runs.size() >= kMaxEmbeddedRuns)
        return;
    const TPiece run{static_cast<std::int64_t>(offset), static_cast<std::int64_t>(length)};
    if (std::find(runs.begin(), runs.end(), run) == runs.end())
        runs.push_back(run);
}

struct TFoundFile {
    std::string Ext;                      // "JPG", "CR2", ... in upper case
    std::uint8_t FormatIndex = 0;         // general table row, or kNoIndex
    std::uint8_t MakerIndex = 0;          // camera table row, or kNoIndex
    std::uint8_t PhoneIndex = kNoIndex;   // phone and video table row, or kNoIndex
    std::int64_t StartSector = 0;         // absolute 512-byte sector of the first byte
    std::int32_t Width = 0;               // pixels, 0 = unknown
    std::int32_t Height = 0;
    std::uint16_t ThumbWidth = 0;
    std::uint16_t ThumbHeight = 0;
    std::uint32_t ThumbOffset = 0;        // from the file's first byte
    std::uint32_t ThumbLength = 0;        // 0 = no usable thumbnail
    std::uint8_t ThumbKind = kThumbNone;
    std::uint16_t ThumbBitsPerSample = 0; // 8 or 16 for an RGB strip, 0 for JPEG
    std::string Make;
    std::string Model;
    std::int64_t Length = 0;              // bytes, -1 = unknown
    std::string DateTaken;                // as EXIF DateTimeOriginal stores it
    std::int32_t ISO = 0;
    std::uint32_t ExposureNum = 0, ExposureDen = 0;
    std::uint32_t FNumberNum = 0, FNumberDen = 0;
    std::uint32_t FocalNum = 0, FocalDen = 0;
    // Start sector of another found file whose own structure points at this one (its EXIF
    // thumbnail, a raw's preview, a multi-picture entry, a container's item): this file comes
    // back as part of that one. -1 when there is none. Set after a scan (engine/Nesting.h).
    std::int64_t NestedIn = -1;

    // Runs of bytes inside this file that its own structure names as embedded data (a
    // thumbnail, a preview, an image strip, a container's item, a motion photo's video, a
    // video's frame): Offset from the file's first byte, Length as the structure states it (0
    // when it states none). Only runs that begin on a sector boundary past the first byte are
    // kept (NoteEmbeddedRun), since only there can the scan find a file of its own.
    std::vector<TPiece> Embedded;
    void NoteEmbedded(std::uint64_t offset, std::uint64_t length) { NoteEmbeddedRun(Embedded, offset, length); }

    // Where this file's length rests on a header's claim rather than on a walk of its
    // structure: the offset from which its claimed body runs (a sound's samples, a raw's image
    // data), unverified; -1 when the whole length was walked or read from a structure that
    // states where every part lies. A file of its own that begins inside that body and whose
    // own structure is complete cuts the claim short there (engine/Nesting.h).
    std::int64_t ClaimFrom = -1;
    // The length the header claimed, when the claim was cut short; -1 when it was not.
    std::int64_t ClaimedLength = -1;

    // Where a photo that the card split into pieces lies (engine/Fragments.h). Empty for a file
    // that lies in one run from its start sector. When Incomplete is false and Pieces is not
    // empty, the pieces in order are the whole file and Length is their sum. When Incomplete is
    // true, the data stopped decoding at the end of Pieces' only piece and no continuation was
    // proven; Length keeps what the scan measured.
    std::vector<TPiece> Pieces;
    bool Incomplete = false;

    // What a file system left of this file (engine/Remnants.h): set after a scan when a folder
    // entry or file record whose first cluster, name extension and size agree with the file
    // survives. The texts are as the card stores them (converted to UTF-8), hostile data: they
    // become path components only through SafePathComponent (support/SafeText.h).
    std::string OriginalName;                // empty when no entry agreed
    std::vector<std::string> OriginalFolder; // folder path from the volume's root, outermost first
    bool FolderKnown = false;                // false when the entry's folder could not be traced
    std::uint8_t NameSource = 0;             // a TRemnantKind (engine/Remnants.h); 0 = none
    bool NameDeleted = false;                // the entry was a deleted one
    std::int64_t EntrySize = -1;             // the size the entry states; -1 when none agreed
    // Recovery writes EntrySize bytes rather than Length: the entry's size makes the file whole
    // where the structure's measure stopped at an end marker before a trailer or padding, or
    // where the length was guessed, claimed or unknown.
    bool UseEntrySize = false;
    std::int64_t EntryModified = 0;          // seconds since the epoch; 0 = unknown
    std::int64_t EntryCreated = 0;

    bool Nested() const { return NestedIn >= 0; }
    // The file type that Ext names: the type's traits (engine/FileTypes.h) decide how the file
    // is measured, recovered and shown.
    TFileType Type() const;
    bool Reassembled() const { return !Pieces.empty() && !Incomplete; }

    // Back to the empty record (all numbers 0, all texts empty), keeping the texts' storage
    // so that the per-sector reset of the scan does not allocate.
    void Reset() {
        Ext.clear();
        Make.clear();
        Model.clear();
        DateTaken.clear();
        FormatIndex = MakerIndex = 0;
        PhoneIndex = kNoIndex;
        StartSector = 0;
        Width = Height = 0;
        ThumbWidth = ThumbHeight = 0;
        ThumbOffset = ThumbLength = 0;
        ThumbKind = kThumbNone;
        ThumbBitsPerSample = 0;
        Length = 0;
        ISO = 0;
        ExposureNum = ExposureDen = FNumberNum = FNumberDen = FocalNum = FocalDen = 0;
        NestedIn = -1;
        Embedded.clear();
        ClaimFrom = ClaimedLength = -1;
        Pieces.clear();
        Incomplete = false;
        OriginalName.clear();
        OriginalFolder.clear();
        FolderKnown = false;
        NameSource = 0;
        NameDeleted = false;
        EntrySize = -1;
        UseEntrySize = false;
        EntryModified = EntryCreated = 0;
    }

    bool operator==(const TFoundFile&) const = default;
};

// The found files of a scan. A card may hold tens of thousands: a list that grows in steps of
// its own, without moving what it holds, never holds them twice while it grows (an array
// doubles by copying them all into one twice its size); and a record stays where it is as
// others are added.
using TFoundFileList = std::deque<TFoundFile>;

// The record that starts at sector start: the one at index when it does (where the list had
// it), else the first that does (the scan moves the files of failing areas read again to the
// end of the list); null when none does.
inline const TFoundFile* RecordStartingAt(const TFoundFileList& files, std::size_t index, std::int64_t start) {
    if (index < files.size() && files[index].StartSector == start)
        return &files[index];
    const auto it = std::find_if(files.begin(), files.end(), [start](const TFoundFile& f) { return f.StartSector == start; });
    return it == files.end() ? nullptr : &*it;
}

} // namespace lumivore
