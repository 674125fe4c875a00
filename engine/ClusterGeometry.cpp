#include "engine/ClusterGeometry.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "device/DskLib.h"
#include "engine/FileTypes.h"
#include "formats/ByteOrder.h"

namespace lumivore {

namespace {

constexpr std::uint64_t kSector = 512;
// The largest cluster any of these file systems uses: 2 MiB (NTFS and exFAT allow large
// clusters on big disks; FAT stops at 64 KiB).
constexpr std::uint64_t kLargestCluster = 2ull << 20;

bool IsPowerOfTwo(std::uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool Label(std::span<const std::uint8_t> s, std::size_t at, const char* text) {
    const std::size_t n = std::strlen(text);
    return at + n <= s.size() && std::memcmp(s.data() + at, text, n) == 0;
}

bool Finish(std::uint64_t clusterBytes, std::uint64_t dataStart, TClusterGeometry& out) {
    if (!IsPowerOfTwo(clusterBytes) || clusterBytes < kSector || clusterBytes > kLargestCluster ||
        dataStart % kSector != 0)
        return false;
    out.ClusterBytes = clusterBytes;
    out.DataStart = dataStart;
    out.Source = TClusterSource::BootSector;
    return true;
}

} // namespace

std::uint64_t TClusterGeometry::BoundaryAtOrAfter(std::uint64_t offset) const {
    if (offset <= DataStart)
        return DataStart;
    const std::uint64_t rest = (offset - DataStart) % ClusterBytes;
    return rest == 0 ? offset : offset + (ClusterBytes - rest);
}

std::uint64_t TClusterGeometry::BoundaryAtOrBefore(std::uint64_t offset) const {
    if (offset <= DataStart)
        return DataStart;
    return offset - (offset - DataStart) % ClusterBytes;
}

bool ReadBootSector(std::span<const std::uint8_t> sector, std::uint64_t partStart, TClusterGeometry& out) {
    const TByteReader r(sector);
    std::uint16_t signature = 0;
    if (!r.U16LE(510, signature) || signature != 0xAA55)
        return false;
    if (Label(sector, 3, "EXFAT   ")) {
        std::uint32_t heapOffset = 0;
        std::uint8_t sectorShift = 0, clusterShift = 0;
        if (!r.U32LE(88, heapOffset) || !r.U8(108, sectorShift) || !r.U8(109, clusterShift))
            return false;
        if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift)
            return false;
        const std::uint64_t sectorBytes = 1ull << sectorShift;
        return Finish(sectorBytes << clusterShift, partStart + heapOffset * sectorBytes, out);
    }
    std::uint16_t bytesPerSector = 0;
    std::uint8_t sectorsPerCluster = 0;
    if (!r.U16LE(11, bytesPerSector) || !r.U8(13, sectorsPerCluster))
        return false;
    if (bytesPerSector < 512 || bytesPerSector > 4096 || !IsPowerOfTwo(bytesPerSector))
        return false;
    if (Label(sector, 3, "NTFS    ")) {
        // Counts above 0x80 are negative powers: 2^(256 - value) sectors.
        std::uint64_t clusterBytes = 0;
        if (sectorsPerCluster <= 0x80)
            clusterBytes = std::uint64_t{bytesPerSector} * sectorsPerCluster;
        else if (256 - sectorsPerCluster <= 21)
            clusterBytes = 1ull << (256 - sectorsPerCluster);
        return Finish(clusterBytes, partStart, out); // NTFS numbers clusters from the volume start
    }
    if (!Label(sector, 54, "FAT") && !Label(sector, 82, "FAT32"))
        return false;
    std::uint16_t reserved = 0, rootEntries = 0, fat16 = 0;
    std::uint8_t fats = 0;
    std::uint32_t fat32 = 0;
    if (!r.U16LE(14, reserved) || !r.U8(16, fats) || !r.U16LE(17, rootEntries) || !r.U16LE(22, fat16) ||
        !r.U32LE(36, fat32))
        return false;
    if (!IsPowerOfTwo(sectorsPerCluster) || reserved == 0 || fats == 0 || fats > 4)
        return false;
    const std::uint64_t fatSectors = fat16 != 0 ? fat16 : fat32;
    if (fatSectors == 0)
        return false;
    const std::uint64_t rootSectors = (std::uint64_t{rootEntries} * 32 + bytesPerSector - 1) / bytesPerSector;
    const std::uint64_t dataSectors = reserved + fats * fatSectors + rootSectors;
    return Finish(std::uint64_t{bytesPerSector} * sectorsPerCluster, partStart + dataSectors * bytesPerSector, out);
}

bool GeometryFromDevice(TDrive& drive, TClusterGeometry& out) {
    std::array<std::uint8_t, kSector> sector{};
    if (drive.Read(0, 1, sector.data()) != kSector)
        return false;
    if (ReadBootSector(sector, 0, out))
        return true;
    // A partition table: the first entry with a type and a start.
    if (sector[510] != 0x55 || sector[511] != 0xAA)
        return false;
    const TByteReader r(sector);
    for (std::size_t e = 0; e < 4; ++e) {
        const std::size_t at = 446 + 16 * e;
        std::uint32_t first = 0;
        if (sector[at + 4] == 0 || !r.U32LE(at + 8, first) || first == 0)
            continue;
        std::array<std::uint8_t, kSector> boot{};
        if (drive.Read(first, 1, boot.data()) != kSector)
            return false;
        return ReadBootSector(boot, std::uint64_t{first} * kSector, out);
    }
    return false;
}

bool InferGeometry(const TFoundFileList& files, TClusterGeometry& out) {
    std::vector<std::uint64_t> starts;
    for (const TFoundFile& f : files)
        if (f.Type() == TFileType::Jpeg && !f.Nested() && f.StartSector >= 0)
            starts.push_back(static_cast<std::uint64_t>(f.StartSector));
    if (starts.size() < kMinAlignedStarts)
        return false;
    for (std::uint64_t cluster = 256; cluster >= 2; cluster /= 2) {
        std::array<std::size_t, 256> counts{};
        for (std::uint64_t s : starts)
            ++counts[static_cast<std::size_t>(s % cluster)];
        const auto best = std::max_element(counts.begin(), counts.begin() + static_cast<std::ptrdiff_t>(cluster));
        // Nine in ten: a stray embedded picture or two may start elsewhere.
        if (*best * 10 >= starts.size() * 9) {
            out.ClusterBytes = cluster * kSector;
            out.DataStart = static_cast<std::uint64_t>(best - counts.begin()) * kSector;
            out.Source = TClusterSource::Inferred;
            return true;
        }
    }
    return false;
}

TClusterGeometry FindClusterGeometry(TDrive& drive, const TFoundFileList& files) {
    TClusterGeometry g;
    if (GeometryFromDevice(drive, g) || InferGeometry(files, g))
        return g;
    return TClusterGeometry{};
}

} // namespace lumivore
