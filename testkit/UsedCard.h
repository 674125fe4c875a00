#pragma once
// Cards that were used before they were formatted: photos and other files written, some
// deleted, new ones written into the holes by a file system that takes the first free cluster,
// so that photos larger than a hole go on in the next one. Built in code and deterministic;
// a manifest says where every piece of every file lies. Also the small layouts the tests of
// reassembly need: a photo split over chosen clusters, with noise or other files between.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "testkit/PhotoBuilder.h"

namespace lumivore::testkit {

// A baseline JPEG of the picture with a restart marker every restartInterval block groups
// (0: none), encoded with libjpeg.
TByteVector EncodeJpegRestarts(const TRgbImage& image, int quality, int restartInterval);

// A photo-like JPEG: the test pattern with fine grain, so that it codes to many clusters.
TByteVector GrainyPhoto(int width, int height, unsigned seed, int restartInterval = 0, int quality = 90);

// One run of a file's bytes on the card: device byte offset and length.
struct TCardPiece {
    std::uint64_t Offset = 0;
    std::uint64_t Length = 0;
    bool operator==(const TCardPiece&) const = default;
};

// A card image held in memory whose first sector is a FAT32 boot sector naming its cluster
// size; clusters are counted from 0 at the start of the data area.
class TClusterCard {
public:
    TClusterCard(std::uint64_t totalSectors, std::uint32_t sectorsPerCluster);
    std::uint64_t ClusterBytes() const { return clusterBytes_; }
    std::uint64_t DataStart() const { return dataStart_; }
    std::uint64_t Clusters() const { return (bytes_.size() - dataStart_) / clusterBytes_; }
    std::uint64_t ClusterOffset(std::uint64_t cluster) const { return dataStart_ + cluster * clusterBytes_; }

    // Writes the bytes over the runs of clusters (first cluster, cluster count) in order; the
    // last run takes what is left, however long. Returns the pieces the bytes fill.
    std::vector<TCardPiece> Split(const TByteVector& bytes, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& runs);
    // Random bytes over count clusters.
    void Noise(std::uint64_t firstCluster, std::uint64_t count, std::uint32_t seed);
    void Place(std::uint64_t offset, const TByteVector& bytes);

    const TByteVector& Bytes() const { return bytes_; }
    TByteVector& Bytes() { return bytes_; }
    bool Write(const std::string& path) const;

private:
    TByteVector bytes_;
    std::uint64_t clusterBytes_ = 0;
    std::uint64_t dataStart_ = 0;
};

// The bytes of a file read back through pieces from an image.
TByteVector Gather(const TByteVector& image, const std::vector<TCardPiece>& pieces);

// ---- the used card ---------------------------------------------------------------------------

struct TUsedCardOptions {
    std::uint64_t SizeBytes = 64ull << 20;
    std::uint32_t SectorsPerCluster = 32; // 16 KiB
    std::uint32_t Seed = 1;
    // Files of the first filling that are deleted, in percent.
    std::uint32_t DeletePercent = 45;
    // false: the same files written once each on a fresh card, so that none is split (the
    // formatted card of the same size that the benchmarks compare with).
    bool Used = true;
};

struct TUsedFile {
    std::string Ext;           // "JPG", "PNG", "BMP", "DAT" (noise nobody recognises)
    std::string Description;
    bool Restarts = false;     // a JPEG with restart markers
    bool Live = true;          // on the card when it was formatted (false: deleted before)
    std::vector<TCardPiece> Pieces;
    std::uint64_t Size = 0;
    std::uint64_t Hash = 0;    // FNV-1a 64 of the file's bytes
};

struct TUsedCard {
    std::vector<TUsedFile> Files; // every file written, live and deleted
    std::uint64_t TotalSectors = 0;
    std::uint64_t ClusterBytes = 0;
    std::uint64_t DataStart = 0;
};

// Builds the card into image; the same options always give the same bytes.
void BuildUsedCard(const TUsedCardOptions& options, TUsedCard& card, TByteVector& image);
bool WriteUsedCard(const std::string& path, const TUsedCardOptions& options, TUsedCard& card);

// The manifest as tab-separated text: type, live, bytes, hash, pieces (offset+length, ...).
std::string UsedCardManifest(const TUsedCard& card);

} // namespace lumivore::testkit
