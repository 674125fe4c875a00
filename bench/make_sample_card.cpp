// Writes a sample card image of the given size for the benchmark scripts: the sample card, or a
// used card (photos split over the holes that deleted files left, then formatted) or the
// formatted card of the same files written once, each with its manifest beside it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "testkit/SampleCard.h"
#include "testkit/UsedCard.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: make_sample_card IMAGE SIZE_MB [SEED] [sample|used|formatted]\n");
        return 2;
    }
    const std::uint64_t size = std::strtoull(argv[2], nullptr, 10) << 20;
    const std::uint32_t seed = argc > 3 ? static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10)) : 1;
    const char* kind = argc > 4 ? argv[4] : "sample";
    if (std::strcmp(kind, "used") == 0 || std::strcmp(kind, "formatted") == 0) {
        lumivore::testkit::TUsedCardOptions options;
        options.SizeBytes = size;
        options.Seed = seed;
        options.Used = std::strcmp(kind, "used") == 0;
        lumivore::testkit::TUsedCard card;
        if (!lumivore::testkit::WriteUsedCard(argv[1], options, card)) {
            std::fprintf(stderr, "make_sample_card: cannot write %s\n", argv[1]);
            return 1;
        }
        std::ofstream(std::string(argv[1]) + ".manifest.tsv") << lumivore::testkit::UsedCardManifest(card);
        std::printf("%s: %zu files\n", argv[1], card.Files.size());
        return 0;
    }
    if (std::strcmp(kind, "sample") != 0) {
        std::fprintf(stderr, "make_sample_card: unknown kind '%s'\n", kind);
        return 2;
    }
    lumivore::testkit::TSampleCardOptions options;
    options.SizeBytes = size;
    if (argc > 3)
        options.Seed = seed;
    lumivore::testkit::TSampleCard card;
    if (!lumivore::testkit::WriteSampleCard(argv[1], options, card)) {
        std::fprintf(stderr, "make_sample_card: cannot write %s\n", argv[1]);
        return 1;
    }
    std::ofstream(std::string(argv[1]) + ".manifest.tsv") << lumivore::testkit::ManifestText(card);
    std::printf("%s: %zu files\n", argv[1], card.Files.size());
    return 0;
}
