#pragma once
// Random access to the bytes of one found file on the examined device. Reads go through a
// small sector-aligned cache, so that a measure or a decoder can follow a file's structure
// (directories, chunk headers, boxes) across gigabytes without reading the file whole, and
// the bytes it does read are counted.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace lumivore {

class TDrive;

class TDeviceReader {
public:
    // The file that begins at startSector; no byte at or past size is ever read (the file's
    // length when it is known, otherwise a ceiling). Offsets are from the file's first byte.
    TDeviceReader(TDrive& drive, std::int64_t startSector,
                  std::uint64_t size = std::numeric_limits<std::uint64_t>::max());

    // Copies n bytes from offset into out. False, with out's contents unspecified, when any of
    // them lies at or past Size(), past the device's end, or could not be read.
    bool ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t n);

    std::uint64_t Size() const { return size_; }
    // Device bytes read so far.
    std::uint64_t BytesRead() const { return bytesRead_; }

private:
    // Makes the cache hold the sector run that starts at the cache-aligned sector holding
    // offset. False when nothing of it could be read.
    bool Fill(std::uint64_t offset);

    static constexpr std::uint32_t kCacheSectors = 64; // 32 KiB
    TDrive& drive_;
    std::uint64_t firstSector_ = 0;
    std::uint64_t size_ = 0;
    std::vector<std::uint8_t> cache_;
    std::uint64_t cacheOffset_ = 0; // file offset of the cache's first byte
    std::uint64_t cacheBytes_ = 0;  // bytes the cache holds; 0 = empty
    std::uint64_t bytesRead_ = 0;
};

} // namespace lumivore
