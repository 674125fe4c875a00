#pragma once
// The sample card: a memory card image as a camera leaves it after a quick format. A fresh
// FAT32 boot sector and empty FATs, and in the data area, at sector boundaries between runs of
// other bytes, the photos and media files that were on it. Built in code, deterministic from a
// seed; the tests, the benchmarks and `lumivore-cli demo` use it.

#include <cstdint>
#include <string>
#include <vector>

namespace lumivore::testkit {

// One file laid on the card.
struct TCardFile {
    std::uint64_t StartSector = 0;
    std::string Ext;            // the type the scan must report
    std::uint8_t FormatIndex = 255;
    std::uint8_t MakerIndex = 255;
    std::uint32_t Size = 0;     // true length in bytes
    bool Measurable = true;     // whether the recognisers can state the whole length
    std::string Description;
    std::uint64_t Hash = 0;     // FNV-1a 64 of the file's bytes
};

struct TSampleCardOptions {
    std::uint64_t SizeBytes = 48ull << 20; // rounded down to whole sectors
    std::uint32_t Seed = 1;
    bool LargePhotos = true;  // include the multi-megabyte JPEGs
};

struct TSampleCard {
    std::vector<TCardFile> Files;
    std::uint64_t TotalSectors = 0;
};

// Writes the card image to path; the same options always give the same bytes. Files are laid
// again and again until the card is full. Returns false when the file cannot be written.
bool WriteSampleCard(const std::string& path, const TSampleCardOptions& options, TSampleCard& card);

// The bytes of every distinct file the card carries, in the order of the first round of the
// card's layout (tests compare recovered files with them).
struct TCardSource {
    std::string Ext;
    std::uint8_t FormatIndex = 255;
    std::uint8_t MakerIndex = 255;
    bool Measurable = true;
    std::string Description;
    std::vector<std::uint8_t> Bytes;
    std::uint32_t Length = 0; // the file's true length; Bytes may carry what follows it on the card
};
const std::vector<TCardSource>& SampleCardSources(bool largePhotos);

// A FAT32 boot sector (512 bytes, signature included) for a card of totalSectors sectors with
// the given cluster size, reserved sectors and sectors per FAT (two FATs), as a fresh format
// writes it; seed varies the volume serial number.
std::vector<std::uint8_t> Fat32BootSector(std::uint64_t totalSectors, std::uint32_t sectorsPerCluster,
                                          std::uint32_t reserved, std::uint32_t fatSectors, std::uint32_t seed);

std::uint64_t Fnv1a64(const std::uint8_t* data, std::size_t size);

// The manifest as tab-separated text: sector, type, size, measurable, hash, description.
std::string ManifestText(const TSampleCard& card);

} // namespace lumivore::testkit
