#pragma once
// The structures FAT, exFAT and NTFS leave on a card, built in code for tests: FAT folder
// entries (short and long names, live or deleted) and a folder's first cluster with its "." and
// ".." entries, a FAT32 boot sector, exFAT entry sets with their checksum, and NTFS file records
// with their update sequence applied.

#include <cstdint>
#include <string>
#include <vector>

#include "testkit/ByteWriter.h"

namespace lumivore::testkit {
using TByteVector = std::vector<std::uint8_t>;
}

namespace lumivore::testkit {

// ---- FAT -----------------------------------------------------------------------------------

// The 11 bytes of an 8.3 name ("IMG_0001.JPG" -> "IMG_0001JPG").
std::string ShortName11(const std::string& name);

struct TFatEntry {
    std::string ShortName;  // as the user sees it: "IMG_0001.JPG"
    std::string LongName;   // empty: the short name alone
    std::uint32_t FirstCluster = 0;
    std::uint32_t Size = 0;
    bool Directory = false;
    bool Deleted = false;
    std::uint16_t Date = (45 << 9) | (6 << 5) | 14; // 2025-06-14
    std::uint16_t Time = (10 << 11) | (30 << 5);    // 10:30:00
    // Breaks the long name's checksum, as pieces left by another entry would.
    bool BadChecksum = false;
};

// The entries of one file or folder as a folder stores them: long-name pieces (last part
// first), then the short entry. Deleted entries carry 0xE5 in their first byte.
TByteVector FatEntries(const TFatEntry& entry);

// A folder's first cluster: "." (self) and ".." (parent, 0 for the root), then entries, zeros to
// clusterBytes.
TByteVector FatFolderCluster(std::uint32_t self, std::uint32_t parent, const std::vector<TFatEntry>& entries,
                             std::size_t clusterBytes);

// A FAT32 boot sector: 512-byte sectors, sectorsPerCluster, reserved sectors, two FATs of
// fatSectors each, the root folder at cluster 2. Cluster 2 then starts at sector
// reserved + 2 * fatSectors.
TByteVector Fat32BootSector(std::uint8_t sectorsPerCluster, std::uint16_t reserved, std::uint32_t fatSectors,
                            std::uint32_t totalSectors);

// ---- exFAT ---------------------------------------------------------------------------------

struct TExFatEntry {
    std::string Name; // ASCII
    std::uint32_t FirstCluster = 0;
    std::uint64_t Size = 0;
    bool Directory = false;
    bool Deleted = false;
    bool Contiguous = true;
};

// A file's entry set: file, stream extension and name entries, with its checksum.
TByteVector ExFatEntrySet(const TExFatEntry& entry);

// ---- NTFS ----------------------------------------------------------------------------------

struct TNtfsRun {
    std::int64_t Lcn = 0;
    std::uint64_t Count = 0;
};

struct TNtfsFile {
    std::uint32_t Record = 64;
    std::uint64_t Parent = 5; // the root folder's record
    std::string Name;         // ASCII
    std::uint64_t Size = 0;
    std::vector<TNtfsRun> Runs;
    bool InUse = true;
    bool Directory = false;
    // Spoils the check value of the record's second sector, as a torn write leaves it.
    bool TornSecondSector = false;
};

// A 1024-byte "FILE" record with $STANDARD_INFORMATION, $FILE_NAME and a non-resident unnamed
// $DATA whose run list holds the runs, its update sequence applied.
TByteVector NtfsFileRecord(const TNtfsFile& file);

} // namespace lumivore::testkit
