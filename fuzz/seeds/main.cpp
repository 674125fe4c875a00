// Writes every registered seed as <out>/<target>/seed-<n> so that each fuzz target starts from
// well-formed structures instead of random bytes.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "SeedRegistry.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds OUTDIR\n");
        return 2;
    }
    namespace fs = std::filesystem;
    for (const auto& [target, maker] : lumivore::fuzzseeds::Registry()) {
        fs::path dir = fs::path(argv[1]) / target;
        fs::create_directories(dir);
        int n = 0;
        for (const auto& seed : maker()) {
            std::ofstream out(dir / ("seed-" + std::to_string(n++)), std::ios::binary);
            out.write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
        }
    }
    return 0;
}
