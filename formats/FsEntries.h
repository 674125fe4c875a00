#pragma once
// What FAT, exFAT and NTFS leave on a card about its files, read from raw sectors: FAT folder
// entries (short names and the long names spread over the entries before them), exFAT entry
// sets (file, stream extension and name entries), NTFS file records (with their update
// sequence applied: names, times, size and the runs of clusters that hold the data), and the
// boot sectors that say where a volume's clusters lie. Live and deleted entries alike; none is
// trusted: every field is read bounds-checked, and what does not hold together is dropped.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/ByteOrder.h"

namespace lumivore {

enum class TFsKind : std::uint8_t { None = 0, Fat = 1, ExFat = 2, Ntfs = 3 };

// A run of clusters of an NTFS file: Lcn < 0 for a sparse run (no clusters on the device).
struct TClusterRun {
    std::int64_t Lcn = 0;
    std::uint64_t Count = 0;
    bool operator==(const TClusterRun&) const = default;
};

// One file or folder as an entry or record describes it.
struct TFsEntry {
    TFsKind Kind = TFsKind::None;
    std::string Name;           // UTF-8; the long name where one agrees, else the short name
    bool Directory = false;
    bool Deleted = false;
    bool LongName = false;      // the name came from long-name entries (FAT) or is the only one
    bool FirstGuessed = false;  // FAT: a deleted short name's lost first character was guessed
    std::uint64_t FirstCluster = 0;
    std::uint64_t Size = 0;
    bool Contiguous = false;    // exFAT: the data lies in consecutive clusters (no FAT chain)
    std::int64_t Modified = 0;  // seconds since the epoch; 0 = unknown
    std::int64_t Created = 0;
    // NTFS: the record's number, its parent folder's record number, and the runs of the
    // unnamed data stream (empty when the data is resident or its runs are not all here).
    std::uint64_t Record = 0;
    std::uint64_t Parent = 0;
    std::vector<TClusterRun> Runs;
    // FAT: the 8.3 name's checksum, which the long-name entries before it repeat, the name as
    // stored (first byte restored where it could be) and its case flags.
    std::uint8_t ShortChecksum = 0;
    std::array<std::uint8_t, 11> Short{};
    std::uint8_t ShortFlags = 0;
};

// ---- FAT -----------------------------------------------------------------------------------

// Whether the 512 bytes hold sixteen entries that a FAT folder could hold (each a short entry,
// a long-name piece, or the end), at least one of them in use or deleted.
bool FatSectorPlausible(const std::uint8_t* sector);

// A long-name piece (attribute 0x0F) left unfinished where bytes ended: a folder's cluster that
// ends in the middle of a name goes on in another cluster.
struct TLfnPiece {
    std::uint8_t Order = 0;     // the sequence byte (0xE5 when deleted)
    std::uint8_t Checksum = 0;
    std::u16string Text;        // its 13 characters
};

struct TFatFolderBytes {
    std::vector<TFsEntry> Entries;     // files and folders, in order, without "." and ".."
    bool DotEntries = false;           // the bytes begin with "." and ".." (a folder's first cluster)
    std::uint64_t Self = 0;            // the "." entry's cluster
    std::uint64_t Parent = 0;          // the ".." entry's cluster (0: the root)
    std::vector<TLfnPiece> Leading;    // long-name pieces before the first short entry (the
                                       // bytes may begin in the middle of a name)...
    bool LeadingShort = false;         // ...and whether a short entry follows them at once
    std::vector<TLfnPiece> Trailing;   // long-name pieces after the last short entry
    bool Ended = false;                // an end entry (first byte 0) was met
};

// Parses the entries of consecutive folder bytes (a whole number of 32-byte entries). A long
// name is taken only when its pieces are in order and their checksum is that of the short name
// that follows them; otherwise the short name stands. For a deleted entry, whose short name lost
// its first character, that character is the one the long name's checksum requires when it
// agrees with the long name; with no long name it is guessed from the folder's other names.
TFatFolderBytes ParseFatFolder(TBytes bytes);

// Gives a short entry the long name of the pieces stored before it (last part first): for a
// live entry when the pieces are in order and carry its checksum; for a deleted one, whose
// first character was lost, when the one first character that makes the checksum agree is the
// long name's. False, and the entry unchanged, otherwise.
// whole tells that the pieces began right after another entry, so that none of the name's is
// missing; for deleted pieces, which lost their order, a run that may have lost its first
// pieces must show the name's end instead.
bool TakeLongName(TFsEntry& entry, const std::vector<TLfnPiece>& pieces, bool whole = true);

// For the deleted short names among the entries of one folder whose first character was
// guessed, a better guess: the first character of a name whose next three characters are the
// same (cameras number their photos under one prefix).
void GuessFirstFromSiblings(const std::vector<TFsEntry*>& entries);

// The checksum of an 8.3 name as long-name pieces repeat it.
std::uint8_t ShortNameChecksum(const std::uint8_t* name11);

// The text of long-name pieces in the order they are stored (last piece first), up to the
// terminating zero; empty when the pieces do not hold together.
std::string LongNameText(const std::vector<TLfnPiece>& pieces);

// A FAT date and time (local time, as FAT stores it) as seconds since the epoch; 0 when invalid.
std::int64_t FatTime(std::uint16_t date, std::uint16_t time);

// ---- exFAT ---------------------------------------------------------------------------------

// Whether the 512 bytes hold entries an exFAT folder could hold, at least one of a file's set.
bool ExFatSectorPlausible(const std::uint8_t* sector);

struct TExFatFolderBytes {
    std::vector<TFsEntry> Entries;
    bool RootEntries = false; // holds the allocation bitmap or up-case table entry: the root
};

// Parses the entry sets of consecutive folder bytes; a set whose checksum fails (computed with
// the in-use bits set, so that deleted sets count) is dropped.
TExFatFolderBytes ParseExFatFolder(TBytes bytes);

// ---- NTFS ----------------------------------------------------------------------------------

// The size of the "FILE" record at the start of bytes from its header (a multiple of 512 up to
// 4096), or 0 when it is none.
std::uint32_t NtfsRecordSize(TBytes bytes);

// Parses one file record: applies its update sequence (false when a sector's check value does
// not match), then reads its flags, number, $STANDARD_INFORMATION times, $FILE_NAME (the
// long form in preference to the DOS one) and the unnamed $DATA size and runs. False for a
// record that is broken, an extension of another, or names nothing.
bool ParseNtfsRecord(TBytes bytes, TFsEntry& out);

// The runs of an NTFS run list; false when it is broken or has more than maxRuns runs.
bool DecodeRunList(TBytes list, std::vector<TClusterRun>& runs, std::size_t maxRuns = 4096);

// ---- boot sectors --------------------------------------------------------------------------

// Where a volume's clusters lie: cluster c starts at device byte Base + c * ClusterBytes.
struct TFsVolume {
    TFsKind Kind = TFsKind::None;
    std::uint64_t Start = 0;        // device byte of the boot sector
    std::uint64_t Base = 0;
    std::uint64_t ClusterBytes = 0;
    std::uint64_t RootCluster = 0;  // FAT32 and exFAT: the root folder's first cluster
    std::uint64_t RootStart = 0, RootEnd = 0; // FAT12/16: the root folder's fixed bytes
    std::uint64_t End = 0;          // device byte past the volume, 0 unknown
    bool FromBoot = false;
    std::uint64_t ByteOf(std::uint64_t cluster) const { return Base + cluster * ClusterBytes; }
    bool operator==(const TFsVolume&) const = default;
};

// Reads a FAT12/16/32, exFAT or NTFS boot sector that lies at device byte at.
bool ReadFsBoot(TBytes sector, std::uint64_t at, TFsVolume& out);

// UTF-16 (little-endian code units) as UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);

} // namespace lumivore
