// Every sector of a 512,000-byte block offered to the recognisers, on three kinds of data:
// random bytes, the entropy-coded data of a JPEG photo, and a block where every sector starts
// with "II" or "MM" (the worst case for the TIFF recogniser, which must look further).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "engine/FoundFile.h"
#include "engine/ScanEngine.h"
#include "formats/Recognisers.h"
#include "testkit/PhotoBuilder.h"

using namespace lumivore;

namespace {

constexpr std::size_t kBlock = 512000;

std::vector<std::uint8_t> RandomBlock() {
    std::vector<std::uint8_t> b(kBlock);
    std::mt19937_64 rng(42);
    for (auto& x : b)
        x = static_cast<std::uint8_t>(rng());
    return b;
}

std::vector<std::uint8_t> JpegEntropyBlock() {
    testkit::TRgbImage img = testkit::TRgbImage::Pattern(2400, 1800, 3);
    std::mt19937 rng(7);
    for (auto& p : img.Pixels)
        p = static_cast<std::uint8_t>(std::clamp<int>(p + static_cast<int>(rng() % 61) - 30, 0, 255));
    const auto jpeg = testkit::EncodeJpeg(img, 92);
    std::vector<std::uint8_t> b(kBlock);
    // Skip the headers: take the middle of the scan data, repeated if the file is short.
    const std::size_t from = std::min<std::size_t>(jpeg.size() / 4, jpeg.size() - 1);
    for (std::size_t i = 0; i < kBlock; ++i)
        b[i] = jpeg[from + i % (jpeg.size() - from - 2)];
    return b;
}

std::vector<std::uint8_t> TiffDenseBlock() {
    std::vector<std::uint8_t> b = RandomBlock();
    for (std::size_t s = 0; s < kBlock / 512; ++s) {
        std::uint8_t* p = b.data() + s * 512;
        const bool big = s % 2;
        p[0] = p[1] = big ? 'M' : 'I';
        p[2] = big ? 0 : 42;
        p[3] = big ? 42 : 0;
        // A first directory inside the block, so that the walk starts and then fails.
        p[4 + (big ? 3 : 0)] = 8;
    }
    return b;
}

const std::vector<std::uint8_t>& Data(int kind) {
    static const auto random = RandomBlock();
    static const auto entropy = JpegEntropyBlock();
    static const auto tiff = TiffDenseBlock();
    return kind == 0 ? random : kind == 1 ? entropy : tiff;
}

const char* KindName(int kind) { return kind == 0 ? "random" : kind == 1 ? "jpeg-entropy" : "II/MM-dense"; }

// One recogniser over every sector of the block.
void BM_Recogniser(benchmark::State& state) {
    const TRecogniserEntry& r = kRecognisers[state.range(0)];
    const auto& block = Data(static_cast<int>(state.range(1)));
    TFoundFile rec;
    for (auto _ : state) {
        int hits = 0;
        for (std::size_t s = 0; s < kBlock / 512; ++s) {
            rec.Reset();
            TBytes data(block.data() + s * 512, kBlock - s * 512);
            if (r.SectorOnly)
                data = data.first(512);
            hits += r.Recognise(data, rec);
        }
        benchmark::DoNotOptimize(hits);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
    state.SetLabel(std::string(r.Name) + " " + KindName(static_cast<int>(state.range(1))));
}

// The whole chain as the scan runs it (with its first-bytes filter).
void BM_ScanBlock(benchmark::State& state) {
    auto engine = std::make_unique<TScanEngine>();
    const auto& block = Data(static_cast<int>(state.range(0)));
    std::memcpy(engine->SectorBuffer.data(), block.data(), kBlock);
    for (auto _ : state) {
        engine->FoundFiles.clear();
        engine->ScanBlock(1000, 0);
        benchmark::DoNotOptimize(engine->FoundFiles.size());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlock));
    state.SetLabel(KindName(static_cast<int>(state.range(0))));
}

} // namespace

BENCHMARK(BM_Recogniser)->ArgsProduct({benchmark::CreateDenseRange(0, 9, 1), {0, 1, 2}});
BENCHMARK(BM_ScanBlock)->DenseRange(0, 2, 1);

BENCHMARK_MAIN();
