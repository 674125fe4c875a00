// Writes a sample card image of the given size for the benchmark scripts.
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "testkit/SampleCard.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: make_sample_card IMAGE SIZE_MB [SEED]\n");
        return 2;
    }
    lumivore::testkit::TSampleCardOptions options;
    options.SizeBytes = std::strtoull(argv[2], nullptr, 10) << 20;
    if (argc > 3)
        options.Seed = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
    lumivore::testkit::TSampleCard card;
    if (!lumivore::testkit::WriteSampleCard(argv[1], options, card)) {
        std::fprintf(stderr, "make_sample_card: cannot write %s\n", argv[1]);
        return 1;
    }
    std::ofstream(std::string(argv[1]) + ".manifest.tsv") << lumivore::testkit::ManifestText(card);
    std::printf("%s: %zu files\n", argv[1], card.Files.size());
    return 0;
}
