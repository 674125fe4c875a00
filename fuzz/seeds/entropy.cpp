// Seeds for the JPEG decode check: small decodable photos with and without restart markers, the
// first byte choosing the size of the pieces they are fed in.
#include <vector>

#include "SeedRegistry.h"
#include "testkit/UsedCard.h"

namespace {

namespace tk = lumivore::testkit;

lumivore::fuzzseeds::TRegisterSeeds entropy("fuzz_jpeg_entropy", [] {
    std::vector<std::vector<std::uint8_t>> seeds;
    std::uint8_t step = 3;
    for (int restarts : {0, 1, 5}) {
        std::vector<std::uint8_t> seed{step};
        const tk::TByteVector photo = tk::GrainyPhoto(48, 32, 1, restarts, 75);
        seed.insert(seed.end(), photo.begin(), photo.end());
        seeds.push_back(seed);
        step = static_cast<std::uint8_t>(step * 5);
    }
    return seeds;
});

} // namespace
