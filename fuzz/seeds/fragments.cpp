// Seeds for the pass that puts photos in pieces back together: small FAT32 cards of old random
// data with a photo split over three runs of clusters, another photo between its first two,
// at one, two and four sectors a cluster; the first byte sets the pass's options.
#include <vector>

#include "SeedRegistry.h"
#include "testkit/UsedCard.h"

namespace {

namespace tk = lumivore::testkit;

lumivore::fuzzseeds::TRegisterSeeds fragments("fuzz_fragments", [] {
    std::vector<std::vector<std::uint8_t>> seeds;
    const std::uint8_t options[] = {0x07, 0x01, 0x0b};
    unsigned seed = 1;
    for (std::uint32_t perCluster : {1u, 2u, 4u}) {
        tk::TClusterCard card(512, perCluster);
        card.Noise(0, card.Clusters(), seed);
        const tk::TByteVector photo = tk::GrainyPhoto(160, 120, seed, perCluster == 2 ? 2 : 0, 90);
        const tk::TByteVector other = tk::GrainyPhoto(32, 32, seed + 10, 0, 80);
        const std::uint64_t c = card.ClusterBytes();
        const std::uint64_t first = (photo.size() / 3 + c - 1) / c, between = (other.size() + c - 1) / c;
        card.Split(photo, {{4, first}, {4 + first + between + 3, first}, {4 + 2 * first + between + 9, 1}});
        card.Split(other, {{4 + first + 1, between}});
        std::vector<std::uint8_t> bytes{options[seed % 3]};
        bytes.insert(bytes.end(), card.Bytes().begin(), card.Bytes().end());
        seeds.push_back(bytes);
        ++seed;
    }
    return seeds;
});

} // namespace
