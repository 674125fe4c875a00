#pragma once
// Encoded test pictures the photo builders do not make (uncompressed RGB TIFF, RGB strips as
// cameras embed them), and a disk image with files laid at chosen sectors.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "testkit/PhotoBuilder.h"

namespace lumivore::testkit {

// An uncompressed 8-bit RGB TIFF of the picture in one strip per rowsPerStrip rows (0: one
// strip), strips first, then the directory. Width and height are SHORT entries.
TByteVector EncodeTiffRgb(const TRgbImage& image, bool bigEndian = false, int rowsPerStrip = 0);

// The picture as an RGB strip: rows top first, red-green-blue, 8 bits per sample, or 16 bits
// most significant byte first holding value * 256 + value.
TByteVector RgbStrip(const TRgbImage& image, int bitsPerSample);

// A disk image of the given number of sectors, zero except where files are placed.
class TDiskImage {
public:
    explicit TDiskImage(std::uint64_t sectors) : sectors_(sectors) {}
    // Places bytes starting at the first byte of sector.
    TDiskImage& Place(std::uint64_t sector, const TByteVector& bytes);
    // Writes the image to path (a sparse file where nothing was placed); true on success.
    bool Write(const std::string& path) const;

private:
    std::uint64_t sectors_;
    std::vector<std::pair<std::uint64_t, TByteVector>> files_;
};

} // namespace lumivore::testkit
