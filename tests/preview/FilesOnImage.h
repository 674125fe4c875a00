#pragma once
// Files laid one after another on a disk image, each followed by random bytes or by the next
// file, and scanned: the records found at their starts.

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/preview/EngineOnImage.h"
#include "testkit/ByteWriter.h"

namespace lumivore::testing {

using testkit::TByteVector;
using testkit::TDiskImage;

inline constexpr std::uint64_t kSector = 512;

inline std::uint64_t Sectors(std::uint64_t bytes) { return (bytes + kSector - 1) / kSector; }

// Bytes that belong to no file: a deleted file's leftovers.
inline TByteVector Random(std::size_t n, std::uint32_t seed) {
    TByteVector out(n);
    std::uint32_t x = seed | 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x >> 11);
    }
    return out;
}

// The file followed, inside its last sector and after it, by random bytes.
inline TByteVector Slack(TByteVector file, std::size_t sectorsAfter, std::uint32_t seed) {
    const std::size_t end = Sectors(file.size()) * kSector + sectorsAfter * kSector;
    const TByteVector noise = Random(end - file.size(), seed);
    file.insert(file.end(), noise.begin(), noise.end());
    return file;
}

class FilesOnImage : public EngineOnImage {
protected:
    // Lays the files one after the other from sector 3, each followed by the given sectors of
    // random bytes (0: the next file starts at the very next sector), scans, and returns the
    // records found at the files' starts.
    TFoundFileList ScanFiles(const std::vector<TByteVector>& files, std::size_t gap, std::uint64_t extra = 0) {
        std::uint64_t sector = 3;
        std::vector<std::uint64_t> starts;
        std::vector<std::pair<std::uint64_t, TByteVector>> placed;
        for (std::size_t i = 0; i < files.size(); ++i) {
            starts.push_back(sector);
            placed.emplace_back(sector, Slack(files[i], gap, static_cast<std::uint32_t>(i + 7)));
            sector += Sectors(placed.back().second.size());
        }
        TDiskImage image(sector + extra);
        for (const auto& [at, bytes] : placed)
            image.Place(at, bytes);
        Open(image);
        Engine().Scan(0, sector + extra, nullptr, nullptr, nullptr);
        TFoundFileList found;
        for (std::uint64_t start : starts) {
            TFoundFile rec;
            for (const TFoundFile& f : Engine().FoundFiles)
                if (f.StartSector == static_cast<std::int64_t>(start))
                    rec = f;
            found.push_back(rec);
        }
        return found;
    }
};

} // namespace lumivore::testing
