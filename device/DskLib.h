#pragma once
// Raw device access: device codes, the catalogue that maps them to Linux paths, read-only
// opening, drive information, positioned sector reads clipped at the device's end, and the
// drive object that the engine keeps open. Nothing here ever opens a device for writing.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace lumivore {

// Device codes: 1 to 26 are logical drives A to Z (partitions and opened disk images), 27 to
// 127 further logical drives once the letters are used up (shown by name), 128 + n is whole
// disk n.
inline constexpr std::uint8_t kFirstPhysicalCode = 128;
inline constexpr std::uint8_t kLastLetterCode = 26;
inline constexpr std::uint8_t kLastLogicalCode = 127;
inline bool IsPhysicalCode(std::uint8_t code) { return (code & 0x80) != 0; }
inline bool HasDriveLetter(std::uint8_t code) { return code >= 1 && code <= kLastLetterCode; }

// Device kinds.
enum : std::uint16_t { kKindUnknown = 0, kKindFloppy = 1, kKindRemovable = 2, kKindFixed = 3, kKindCdRom = 4 };

// File systems told apart by DetectFileSystem.
enum : std::uint8_t { kFsFat12 = 0, kFsFat16 = 1, kFsFat32 = 2, kFsNtfs = 3, kFsNone = 255 };

struct TDriveInfo {
    std::uint16_t Kind = 0;
    std::uint16_t Removable = 0;
    std::uint32_t Cylinders = 0;
    std::uint32_t TracksPerCylinder = 0;
    std::uint32_t SectorsPerTrack = 0;
    std::uint32_t BytesPerSector = 0;
    std::int64_t TotalSectors = 0;
};

// One entry of the device catalogue.
struct TDeviceEntry {
    std::uint8_t Code = 0;
    std::string Path;     // "/dev/sdb", "/dev/sdb1" or an image file
    std::string Name;     // "sdb", "sdb1" or the image's file name
    bool IsImage = false; // a disk image registered by the user
    std::uint16_t Kind = kKindUnknown;
    // The size the kernel states in sysfs; known without opening the device, so that a
    // device that cannot be opened for lack of rights still shows its size. 0 for an image.
    std::uint64_t SysfsBytes = 0;
};

// The catalogue from device code to path. Built from a sysfs root and a dev root, which tests
// point at a fake tree; whole disks get 128 + n in natural name order, partitions A to Z in
// the same order, and disk images the next free letter when they are registered.
class TDeviceCatalogue {
public:
    static TDeviceCatalogue& Instance();

    // Re-reads the block devices below sysRoot ("/sys") whose nodes lie in devRoot ("/dev").
    // Registered images keep their codes when they still fit.
    void Rebuild(const std::string& sysRoot = "/sys", const std::string& devRoot = "/dev");

    // Registers a disk image (or a block device the catalogue does not list) under the next
    // free logical code; returns its code, or 0 when the file cannot be read or every logical
    // code is taken. The same path registered twice keeps its first code.
    std::uint8_t RegisterImage(const std::string& path);

    // Path of the device behind a code; empty when the code names nothing.
    std::string PathFor(std::uint8_t code) const;
    const TDeviceEntry* Find(std::uint8_t code) const;
    // Code of a device or image path (as given, or resolved); 0 when not in the catalogue.
    std::uint8_t CodeForPath(const std::string& path) const;
    const std::vector<TDeviceEntry>& Entries() const { return entries_; }
    const std::string& SysRoot() const { return sysRoot_; }

    // Forgets everything (tests).
    void Clear();

private:
    std::vector<TDeviceEntry> entries_;
    std::string sysRoot_ = "/sys";
    std::string devRoot_ = "/dev";
};

// A device handle: a file descriptor opened read-only, or kInvalidHandle.
using TDeviceHandle = int;
inline constexpr TDeviceHandle kInvalidHandle = -1;

// Opens the device read-only. On failure errno tells why (ENODEV for a code that names
// nothing), so that callers can say whether the device is busy, has no medium or is refused.
TDeviceHandle OpenDevice(std::uint8_t code);
void CloseDevice(TDeviceHandle handle);
// Fills info from the open device. The size is always the device's own: bytes / 512 from
// BLKGETSIZE64 or fstat, never what the boot sector says about its volume. False, with errno
// set, when it cannot be had: ENOMEDIUM for a block device of size 0 (a reader without a
// card), ENODATA for an image shorter than one sector, ENODEV for what is neither.
bool QueryDriveInfo(std::uint8_t code, TDriveInfo& info);
// Reads count sectors from firstSector into buffer (count * 512 bytes); returns the bytes the
// last attempt delivered, 0 when nothing could be read. A failing attempt is retried, so a
// read is tried retries + 1 times in all. Sector numbers are 64-bit, so that disks beyond
// 2 TiB are read to their end; a sector whose byte offset cannot be represented reads nothing.
std::uint32_t ReadDeviceSectors(TDeviceHandle handle, std::uint64_t firstSector, std::uint16_t count,
                                std::uint8_t retries, void* buffer);
bool CheckDeviceReady(TDeviceHandle handle);
std::uint8_t DetectFileSystem(std::span<const std::uint8_t> sector);

// Test seam: when set, it is asked before every read attempt and a true answer makes that
// attempt fail as a device error would. It is asked under a lock, one read at a time, also
// when two threads read. Returns the previous seam.
using TReadFault = std::function<bool(std::uint64_t firstSector, std::uint16_t count)>;
TReadFault SetReadFault(TReadFault fault);
// Test seam for a drive that stops at a bad sector: asked (under the same lock) before every
// read attempt that the fault above lets through, it answers how many sectors the attempt
// delivers before it stops; count for a whole read, 0 for one that fails outright.
using TReadStop = std::function<std::uint16_t(std::uint64_t firstSector, std::uint16_t count)>;
TReadStop SetReadStop(TReadStop stop);

// Runs of sectors, [first, end) each, kept apart and merged where they touch: a whole dead
// area of a card is one entry, however many sectors it holds.
class TSectorRuns {
public:
    bool Contains(std::uint64_t sector) const;
    // The first sector held at or after sector; UINT64_MAX when there is none.
    std::uint64_t NextFrom(std::uint64_t sector) const;
    void Add(std::uint64_t first, std::uint64_t end);
    void Remove(std::uint64_t sector);
    // Sectors held.
    std::uint64_t Count() const;
    void Clear() { runs_.clear(); }

private:
    std::map<std::uint64_t, std::uint64_t> runs_; // first -> end
};

// The one open device of the engine. Every read of the examined device goes through Read,
// which remembers where the device failed while it stays open: a dying card is not asked for a
// bad sector again, however many readers (the scan, the pieces pass, recovery, thumbnails)
// want the file around it.
class TDrive {
public:
    TDrive() = default;
    ~TDrive();
    TDrive(const TDrive&) = delete;
    TDrive& operator=(const TDrive&) = delete;

    // Opens the device; what earlier reads learnt about failing sectors is forgotten.
    void Open(std::uint8_t code);
    // Reads count sectors from firstSector, clipped at the device's end, and returns the bytes
    // of the whole sectors delivered. A read stops short before a sector known to be bad, as the
    // failing drive itself would, and delivers nothing when it starts on one. Sectors that a
    // failed read left in doubt (a read of many sectors tells only that one of them failed) are
    // asked for one at a time when a read reaches them; each such read settles one of them.
    // So a failing sector is asked for at most twice in a run (ReadRetries + 1 attempts each):
    // within the read that first met it, and alone. May be called from two threads.
    std::uint32_t Read(std::uint64_t firstSector, std::uint16_t count, void* buffer);
    bool IsReady() const;
    void Close();

    // Whether a read alone of this sector failed since the device was opened or the failures
    // were last forgotten.
    bool KnownBad(std::uint64_t sector) const;
    // How many sectors are known to be bad.
    std::uint64_t KnownBadCount() const;
    // Forgets where the device failed: a new scan gives every sector a fresh chance.
    void ForgetFailures();

    TDriveInfo Info{};
    // errno of the last Open that failed, 0 after one that succeeded.
    int OpenError = 0;
    std::uint8_t ReadRetries = 0;
    TDeviceHandle Handle = kInvalidHandle;
    std::uint8_t DriveCode = 0;

private:
    // One request to the device, with what its outcome teaches noted down; whole sectors.
    std::uint64_t Attempt(std::uint64_t first, std::uint16_t count, std::uint8_t* out);

    mutable std::mutex failedMutex_;
    std::atomic<bool> anyFailed_{false}; // lets reads skip the lock while the device is healthy
    TSectorRuns bad_;                    // sectors whose read alone failed
    TSectorRuns doubtful_;               // sectors a read of many failed in, not yet read alone
};

// Codes (128 to 255) of the whole disks that answered when they were last listed.
std::vector<std::uint8_t>& PhysicalDrives();
// Lists the whole disks again: every catalogue code from 128 up whose QueryDriveInfo succeeds.
void EnumeratePhysicalDrives();

} // namespace lumivore
