#pragma once
// The allocation unit of the card: a file system hands out space in clusters, so where a photo
// was split, each piece begins on a cluster boundary. The unit and the place where clusters
// start are taken from a boot sector when the device carries one (at its start, or at the
// start of the first partition of a partition table), else inferred from where the found
// photos begin, else the sector.

#include <cstdint>
#include <span>
#include <vector>

#include "engine/FoundFile.h"

namespace lumivore {

class TDrive;

enum class TClusterSource : std::uint8_t { Sector, BootSector, Inferred };

struct TClusterGeometry {
    std::uint64_t ClusterBytes = 512; // a power of two, at least one sector
    std::uint64_t DataStart = 0;      // device byte offset where cluster boundaries start
    TClusterSource Source = TClusterSource::Sector;

    // The first cluster boundary at or after offset.
    std::uint64_t BoundaryAtOrAfter(std::uint64_t offset) const;
    // The last cluster boundary at or before offset (DataStart at the least).
    std::uint64_t BoundaryAtOrBefore(std::uint64_t offset) const;
    bool operator==(const TClusterGeometry&) const = default;
};

// Reads the cluster size and data area of a FAT12/16/32, exFAT or NTFS boot sector. partStart
// is the byte offset of the volume on the device. False when the sector is no such boot
// sector or its numbers are not sound.
bool ReadBootSector(std::span<const std::uint8_t> sector, std::uint64_t partStart, TClusterGeometry& out);

// The boot sector's geometry from the device's first sector, or from the first partition of
// the partition table found there. False when neither holds one.
bool GeometryFromDevice(TDrive& drive, TClusterGeometry& out);

// The largest power-of-two sector count, up to 256, for which nearly all found JPEG starts
// (at least kMinAlignedStarts of them, and nine in ten) lie the same number of sectors past a
// multiple of it. False when there are too few starts or no such count above one sector.
inline constexpr std::size_t kMinAlignedStarts = 8;
bool InferGeometry(const TFoundFileList& files, TClusterGeometry& out);

// Boot sector, else inference, else the sector.
TClusterGeometry FindClusterGeometry(TDrive& drive, const TFoundFileList& files);

} // namespace lumivore
