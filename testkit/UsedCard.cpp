#include "testkit/UsedCard.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>


#include "testkit/SampleCard.h"

namespace lumivore::testkit {

namespace {

constexpr std::uint64_t kSector = 512;
constexpr std::uint32_t kReserved = 32;

// splitmix64, as the sample card uses: the same numbers on every platform.
struct TRng {
    std::uint64_t State;
    std::uint64_t Next() {
        std::uint64_t z = (State += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::uint32_t Below(std::uint32_t n) { return static_cast<std::uint32_t>(Next() % n); }
};

void FillRandom(std::uint8_t* p, std::size_t n, std::uint64_t seed) {
    TRng r{seed};
    for (std::size_t i = 0; i < n; ++i)
        p[i] = static_cast<std::uint8_t>(r.Next() >> 24);
}

// A picture with fine grain over the pattern, so that it codes to a photo's size.
TRgbImage GrainyPattern(int width, int height, unsigned seed) {
    TRgbImage image = TRgbImage::Pattern(width, height, seed);
    TRng r{seed * 0x51ull + 7};
    for (std::uint8_t& v : image.Pixels)
        v = static_cast<std::uint8_t>(std::clamp<int>(v + static_cast<int>(r.Below(41)) - 20, 0, 255));
    return image;
}

std::uint32_t FatSectors(std::uint64_t totalSectors, std::uint32_t sectorsPerCluster) {
    return static_cast<std::uint32_t>((totalSectors / sectorsPerCluster * 4 + kSector - 1) / kSector);
}

} // namespace

TByteVector EncodeJpegRestarts(const TRgbImage& image, int quality, int restartInterval) {
    return EncodeJpeg(image, quality, restartInterval);
}

TByteVector GrainyPhoto(int width, int height, unsigned seed, int restartInterval, int quality) {
    return EncodeJpegRestarts(GrainyPattern(width, height, seed), quality, restartInterval);
}

TClusterCard::TClusterCard(std::uint64_t totalSectors, std::uint32_t sectorsPerCluster)
    : bytes_(totalSectors * kSector, 0), clusterBytes_(std::uint64_t{sectorsPerCluster} * kSector) {
    const std::uint32_t fat = FatSectors(totalSectors, sectorsPerCluster);
    const std::vector<std::uint8_t> boot = Fat32BootSector(totalSectors, sectorsPerCluster, kReserved, fat, 7);
    std::copy(boot.begin(), boot.end(), bytes_.begin());
    dataStart_ = (kReserved + 2ull * fat) * kSector;
}

std::vector<TCardPiece> TClusterCard::Split(const TByteVector& bytes,
                                            const std::vector<std::pair<std::uint64_t, std::uint64_t>>& runs) {
    std::vector<TCardPiece> pieces;
    std::size_t at = 0;
    for (std::size_t i = 0; i < runs.size() && at < bytes.size(); ++i) {
        const std::uint64_t room = i + 1 == runs.size() ? bytes.size() - at : runs[i].second * clusterBytes_;
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(room, bytes.size() - at));
        const std::uint64_t offset = ClusterOffset(runs[i].first);
        if (offset + n > bytes_.size())
            break;
        std::memcpy(bytes_.data() + offset, bytes.data() + at, n);
        pieces.push_back({offset, n});
        at += n;
    }
    return pieces;
}

void TClusterCard::Noise(std::uint64_t firstCluster, std::uint64_t count, std::uint32_t seed) {
    const std::uint64_t offset = ClusterOffset(firstCluster);
    const std::uint64_t n = std::min<std::uint64_t>(count * clusterBytes_, bytes_.size() - std::min<std::uint64_t>(offset, bytes_.size()));
    FillRandom(bytes_.data() + offset, static_cast<std::size_t>(n), seed);
}

void TClusterCard::Place(std::uint64_t offset, const TByteVector& bytes) {
    if (offset <= bytes_.size() && bytes.size() <= bytes_.size() - offset)
        std::copy(bytes.begin(), bytes.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(offset));
}

bool TClusterCard::Write(const std::string& path) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
    return static_cast<bool>(out);
}

TByteVector Gather(const TByteVector& image, const std::vector<TCardPiece>& pieces) {
    TByteVector out;
    for (const TCardPiece& p : pieces) {
        if (p.Offset > image.size() || p.Length > image.size() - p.Offset)
            return {};
        out.insert(out.end(), image.begin() + static_cast<std::ptrdiff_t>(p.Offset),
                   image.begin() + static_cast<std::ptrdiff_t>(p.Offset + p.Length));
    }
    return out;
}

// ---- the used card ---------------------------------------------------------------------------

namespace {

struct TSourceFile {
    std::string Ext, Description;
    bool Restarts = false;
    TByteVector Bytes;
};

// The next file of a card's life: mostly photos, some pictures of other kinds, some data that
// no recogniser knows (clips, documents).
TSourceFile MakeFile(TRng& rng, unsigned serial, bool photosOnly) {
    TSourceFile f;
    const std::uint32_t kind = photosOnly ? 0 : rng.Below(10);
    if (kind < 6) {
        const int w = 480 + 16 * static_cast<int>(rng.Below(40));
        const int h = 360 + 16 * static_cast<int>(rng.Below(30));
        f.Restarts = rng.Below(2) == 0;
        f.Ext = "JPG";
        f.Bytes = EncodeJpegRestarts(GrainyPattern(w, h, serial), 90, f.Restarts ? static_cast<int>(1 + rng.Below(40)) : 0);
        char d[96];
        std::snprintf(d, sizeof d, "photo %u, %dx%d%s", serial, w, h, f.Restarts ? ", restart markers" : "");
        f.Description = d;
    } else if (kind < 7) {
        f.Ext = "PNG";
        f.Bytes = EncodePng(GrainyPattern(160 + static_cast<int>(rng.Below(160)), 120, serial));
        f.Description = "PNG picture";
    } else if (kind < 8) {
        f.Ext = "BMP";
        f.Bytes = EncodeBmp(TRgbImage::Pattern(200 + static_cast<int>(rng.Below(200)), 150, serial), 24);
        f.Description = "bitmap";
    } else {
        f.Ext = "DAT";
        // Small ones leave small holes, which split the photos written later into more pieces.
        f.Bytes.resize(rng.Below(2) == 0 ? 4000 + rng.Below(40000) : 20000 + rng.Below(300000));
        FillRandom(f.Bytes.data(), f.Bytes.size(), serial * 0x9Dull + 3);
        f.Description = "data nobody recognises";
    }
    return f;
}

} // namespace

void BuildUsedCard(const TUsedCardOptions& options, TUsedCard& card, TByteVector& image) {
    const std::uint64_t totalSectors = options.SizeBytes / kSector;
    TClusterCard disk(totalSectors, options.SectorsPerCluster);
    card = TUsedCard{};
    card.TotalSectors = totalSectors;
    card.ClusterBytes = disk.ClusterBytes();
    card.DataStart = disk.DataStart();
    // Cluster 0 of the data area holds the root folder.
    std::vector<int> owner(static_cast<std::size_t>(disk.Clusters()), -1);
    owner[0] = -2;
    TRng rng{0x5573656443617264ull ^ options.Seed};
    unsigned serial = options.Seed * 1000;

    // Writes a file cluster by cluster into the first free clusters; false when it does not fit.
    auto write = [&](TSourceFile&& src) {
        const std::uint64_t need = (src.Bytes.size() + disk.ClusterBytes() - 1) / disk.ClusterBytes();
        std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
        std::uint64_t got = 0;
        for (std::uint64_t c = 0; c < owner.size() && got < need; ++c) {
            if (owner[c] != -1)
                continue;
            if (!runs.empty() && runs.back().first + runs.back().second == c)
                ++runs.back().second;
            else
                runs.push_back({c, 1});
            ++got;
        }
        if (got < need)
            return false;
        const int id = static_cast<int>(card.Files.size());
        for (const auto& [first, count] : runs)
            for (std::uint64_t c = first; c < first + count; ++c)
                owner[c] = id;
        TUsedFile f;
        f.Ext = src.Ext;
        f.Description = src.Description;
        f.Restarts = src.Restarts;
        f.Size = src.Bytes.size();
        f.Hash = Fnv1a64(src.Bytes.data(), src.Bytes.size());
        f.Pieces = disk.Split(src.Bytes, runs);
        card.Files.push_back(std::move(f));
        return true;
    };

    // The first filling, to about seven tenths.
    const std::uint64_t firstFill = disk.Clusters() * 7 / 10;
    std::uint64_t usedClusters = 0;
    while (usedClusters < firstFill) {
        if (!write(MakeFile(rng, ++serial, false)))
            break;
        usedClusters = static_cast<std::uint64_t>(std::count_if(owner.begin(), owner.end(), [](int o) { return o >= 0; }));
    }
    if (options.Used) {
        // Deleting: the clusters become free; their bytes stay until they are written over.
        for (TUsedFile& f : card.Files) {
            if (rng.Below(100) >= options.DeletePercent)
                continue;
            f.Live = false;
            const int id = static_cast<int>(&f - card.Files.data());
            std::replace(owner.begin(), owner.end(), id, -1);
        }
        // New photos and files into the holes, until the card is full.
        for (int misses = 0; misses < 3;) {
            if (!write(MakeFile(rng, ++serial, rng.Below(4) != 0)))
                ++misses;
        }
        // A file whose clusters were written over is gone: its pieces no longer hold it.
        for (std::size_t i = 0; i < card.Files.size(); ++i) {
            TUsedFile& f = card.Files[i];
            if (f.Live)
                continue;
            for (const TCardPiece& p : f.Pieces)
                for (std::uint64_t c = (p.Offset - card.DataStart) / card.ClusterBytes;
                     c * card.ClusterBytes + card.DataStart < p.Offset + p.Length; ++c)
                    if (owner[c] >= 0 && owner[c] != static_cast<int>(i))
                        f.Hash = 0;
        }
    }
    // The quick format: a fresh boot sector and empty FATs; the data area is left as it is.
    image = std::move(disk.Bytes());
}

bool WriteUsedCard(const std::string& path, const TUsedCardOptions& options, TUsedCard& card) {
    TByteVector image;
    BuildUsedCard(options, card, image);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    return static_cast<bool>(out);
}

std::string UsedCardManifest(const TUsedCard& card) {
    std::string text = "type\tlive\tbytes\tfnv1a64\tpieces\tdescription\n";
    char line[160];
    for (const TUsedFile& f : card.Files) {
        std::snprintf(line, sizeof line, "%s\t%s\t%llu\t%016llx\t", f.Ext.c_str(), f.Live ? "yes" : "no",
                      static_cast<unsigned long long>(f.Size), static_cast<unsigned long long>(f.Hash));
        text += line;
        for (std::size_t i = 0; i < f.Pieces.size(); ++i) {
            std::snprintf(line, sizeof line, "%s%llu+%llu", i ? "," : "", static_cast<unsigned long long>(f.Pieces[i].Offset),
                          static_cast<unsigned long long>(f.Pieces[i].Length));
            text += line;
        }
        text += "\t" + f.Description + "\n";
    }
    return text;
}

} // namespace lumivore::testkit
