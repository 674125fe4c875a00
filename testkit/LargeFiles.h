#pragma once
// Large files laid out sparsely: a disk image of any size whose holes cost no disk space, with
// only the pieces that matter written into it (headers, directories, chunk headers, a few
// marked places in the data), and the pieces of raws and videos longer than 50 MiB.

#include <cstdint>
#include <string>
#include <vector>

#include "testkit/PhotoBuilder.h"

namespace lumivore::testkit {

// Bytes to write at an offset of a file.
struct TPlacedBytes {
    std::uint64_t Offset = 0;
    TByteVector Bytes;
};

// Creates (or replaces) a sparse file of size bytes at path with the pieces written into it
// (ftruncate, then pwrite): false when the file system cannot hold it.
bool CreateSparseFile(const std::string& path, std::uint64_t size, const std::vector<TPlacedBytes>& pieces);

// A TIFF-structured raw of length bytes (up to 4 GiB - 1): a little-endian header and one
// directory with the camera's Make, a JPEG preview, and one raw strip that runs from
// stripOffset to the file's end. The pieces lie at offsets from the file's first byte; the
// strip is left a hole, for tests to mark with pieces of their own. directoryAt > 0 puts the
// directory there instead of right after the header.
std::vector<TPlacedBytes> LargeTiffRaw(std::uint64_t length, const std::string& make, const TByteVector& preview,
                                 std::uint32_t stripOffset = 1 << 20, std::uint32_t directoryAt = 0);

// An AVI of a first "RIFF" chunk of firstRiffSize (its header list and the start of its movi
// list at the file's first byte) followed by an "AVIX" chunk for each further size, each laid
// out where the previous chunk ends (after a pad byte when a size is odd).
std::vector<TPlacedBytes> OpenDmlAvi(std::uint32_t firstRiffSize, const std::vector<std::uint32_t>& avixSizes);

// The length of the file those pieces describe.
std::uint64_t OpenDmlAviLength(std::uint32_t firstRiffSize, const std::vector<std::uint32_t>& avixSizes);

// Pieces moved to start at a base offset (where the file is planted in an image).
std::vector<TPlacedBytes> PlacedAt(std::uint64_t base, std::vector<TPlacedBytes> pieces);

} // namespace lumivore::testkit
