// Photos in pieces. A used card (filled, thinned, written again so that photos split over the
// holes, then formatted) against a card of the same size written once, with no split file:
// scan alone, and scan followed by the reassembly pass. The ratios of interest are the pass's
// share of the time on each card (on the card with no split photo it should be next to
// nothing), decode attempts per reassembled photo, and how many of the used card's split
// photos come back byte-identical, by number of pieces (counters back2/of2 and so on).
// Also the check of one photo's coded data against a full decode of it with libjpeg.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "device/DskLib.h"
#include "engine/Fragments.h"
#include "engine/ScanEngine.h"
#include "formats/JpegEntropy.h"
#include "preview/Decoders.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"
#include "testkit/UsedCard.h"

namespace {

using namespace lumivore;

struct TCard {
    testkit::TUsedCard Layout;
    std::string Path;
};

testkit::TTempDir& Dir() {
    static testkit::TTempDir dir;
    return dir;
}

const TCard& Card(bool used) {
    static std::map<bool, TCard> cards;
    auto it = cards.find(used);
    if (it != cards.end())
        return it->second;
    setenv("LUMIVORE_CONFIG", (Dir() / "settings.xml").c_str(), 1);
    testkit::TUsedCardOptions options;
    options.SizeBytes = 48ull << 20;
    options.Used = used;
    TCard card;
    card.Path = Dir() / (used ? "used.img" : "formatted.img");
    if (!testkit::WriteUsedCard(card.Path, options, card.Layout))
        std::abort();
    return cards.emplace(used, std::move(card)).first->second;
}

// measured: the photos' lengths as a scan that measures across its blocks states them, so that
// the pass only samples them (set from the card's layout after the scan, outside the timing).
void ScanCard(benchmark::State& state, bool used, bool reassemble, bool measured = false) {
    const TCard& card = Card(used);
    TScanEngine engine;
    if (!engine.OpenDrive(TDeviceCatalogue::Instance().RegisterImage(card.Path)))
        std::abort();
    engine.ReassembleAfterScan = false; // the pass is timed on its own below
    std::map<std::int64_t, std::uint64_t> sizes;
    for (const testkit::TUsedFile& f : card.Layout.Files)
        if (f.Live && f.Pieces.size() == 1)
            sizes[static_cast<std::int64_t>(f.Pieces.front().Offset / 512)] = f.Size;
    TFragmentStats stats;
    for (auto _ : state) {
        engine.Scan(0, card.Layout.TotalSectors, nullptr, nullptr, nullptr);
        if (measured) {
            state.PauseTiming();
            for (TFoundFile& f : engine.FoundFiles) {
                auto it = sizes.find(f.StartSector);
                if (f.Ext == "JPG" && it != sizes.end())
                    f.Length = static_cast<std::int64_t>(it->second);
            }
            state.ResumeTiming();
        }
        if (reassemble)
            stats = ReassembleFragments(engine);
        benchmark::DoNotOptimize(engine.FoundFiles.size());
    }
    if (!reassemble)
        return;
    state.counters["checked"] = static_cast<double>(stats.Checked);
    state.counters["reassembled"] = static_cast<double>(stats.Reassembled);
    state.counters["incomplete"] = static_cast<double>(stats.Incomplete);
    state.counters["attempts_per_reassembled"] =
        stats.Reassembled ? static_cast<double>(stats.Attempts) / static_cast<double>(stats.Reassembled) : 0.0;
    state.counters["pass_read_MiB"] = static_cast<double>(stats.BytesRead) / (1 << 20);
    state.counters["pass_decoded_MiB"] = static_cast<double>(stats.BytesDecoded) / (1 << 20);
    // Split photos of the card that come back byte-identical through their pieces, by count.
    std::map<std::uint64_t, const testkit::TUsedFile*> byStart;
    for (const testkit::TUsedFile& f : card.Layout.Files)
        if (f.Live && f.Ext == "JPG")
            byStart[f.Pieces.front().Offset] = &f;
    std::map<std::size_t, int> of, back;
    for (const testkit::TUsedFile& f : card.Layout.Files)
        if (f.Live && f.Ext == "JPG" && f.Pieces.size() > 1)
            ++of[std::min<std::size_t>(f.Pieces.size(), 5)];
    for (const TFoundFile& f : engine.FoundFiles) {
        auto it = byStart.find(static_cast<std::uint64_t>(f.StartSector) * 512);
        if (it == byStart.end() || it->second->Pieces.size() < 2 || !f.Reassembled())
            continue;
        TPieceReader reader(engine.Drive, f.Pieces);
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(reader.Size()));
        if (reader.ReadAt(0, bytes.data(), bytes.size()) &&
            testkit::Fnv1a64(bytes.data(), bytes.size()) == it->second->Hash)
            ++back[std::min<std::size_t>(it->second->Pieces.size(), 5)];
    }
    for (const auto& [pieces, n] : of) {
        const std::string suffix = pieces == 5 ? "more" : std::to_string(pieces);
        state.counters["of" + suffix] = n;
        state.counters["back" + suffix] = back[pieces];
    }
}

void BM_ScanUsedCard(benchmark::State& state) { ScanCard(state, true, false); }
void BM_ScanAndReassembleUsedCard(benchmark::State& state) { ScanCard(state, true, true); }
void BM_ScanFormattedCard(benchmark::State& state) { ScanCard(state, false, false); }
void BM_ScanAndReassembleFormattedCard(benchmark::State& state) { ScanCard(state, false, true); }
void BM_ScanAndReassembleFormattedCardMeasured(benchmark::State& state) { ScanCard(state, false, true, true); }
BENCHMARK(BM_ScanUsedCard)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanAndReassembleUsedCard)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanFormattedCard)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanAndReassembleFormattedCard)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanAndReassembleFormattedCardMeasured)->Unit(benchmark::kMillisecond);

// The sample card, with no split file: a scan as the engine runs it (with the pass at its end)
// against the scan alone. The pass should cost next to nothing here: pass_read_per_card is the
// device bytes it read over the card's size, checked the photos it decoded.
const std::string& SampleCard() {
    static const std::string path = [] {
        setenv("LUMIVORE_CONFIG", (Dir() / "settings.xml").c_str(), 1);
        testkit::TSampleCardOptions options;
        options.SizeBytes = 128ull << 20;
        testkit::TSampleCard card;
        const std::string p = Dir() / "sample.img";
        if (!testkit::WriteSampleCard(p, options, card))
            std::abort();
        return p;
    }();
    return path;
}

void ScanSample(benchmark::State& state, bool pass) {
    TScanEngine engine;
    if (!engine.OpenDrive(TDeviceCatalogue::Instance().RegisterImage(SampleCard())))
        std::abort();
    engine.ReassembleAfterScan = pass;
    for (auto _ : state) {
        engine.Scan(0, static_cast<std::uint64_t>(engine.Drive.Info.TotalSectors), nullptr, nullptr, nullptr);
        benchmark::DoNotOptimize(engine.FoundFiles.size());
    }
    const double card = static_cast<double>(engine.Drive.Info.TotalSectors) * 512.0;
    state.counters["pass_read_per_card"] = static_cast<double>(engine.FragmentStats.BytesRead) / card;
    state.counters["checked"] = static_cast<double>(engine.FragmentStats.Checked);
    state.counters["found"] = static_cast<double>(engine.FoundFiles.size());
}
void BM_ScanSampleCardAlone(benchmark::State& state) { ScanSample(state, false); }
void BM_ScanSampleCardWithPass(benchmark::State& state) { ScanSample(state, true); }
BENCHMARK(BM_ScanSampleCardAlone)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanSampleCardWithPass)->Unit(benchmark::kMillisecond);

// The coded-data check against libjpeg's full decode of the same 12-megapixel photo.
const testkit::TByteVector& BigPhoto() {
    static const testkit::TByteVector photo = testkit::GrainyPhoto(4000, 3000, 1, 0, 90);
    return photo;
}

void BM_CheckCodedData12Mp(benchmark::State& state) {
    for (auto _ : state)
        if (CheckJpeg(BigPhoto()) != TJpegCheck::Clean)
            state.SkipWithError("does not decode");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * BigPhoto().size()));
}
BENCHMARK(BM_CheckCodedData12Mp)->Unit(benchmark::kMillisecond);

// The search's unit of work: a copy of the decoder where a photo's first piece broke off (half
// way through the 12-megapixel photo), run on over one 32 KiB cluster.
void BM_CopyAndDecodeOneCluster(benchmark::State& state) {
    TMemoryJpegSource source(BigPhoto());
    TJpegEntropyDecoder atBreak;
    if (atBreak.Run(source, BigPhoto().size() / 2) != TJpegCheck::NeedMore)
        state.SkipWithError("does not decode");
    for (auto _ : state) {
        TJpegEntropyDecoder t = atBreak;
        benchmark::DoNotOptimize(t.Run(source, atBreak.Resume() + 32768));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * 32768));
}
BENCHMARK(BM_CopyAndDecodeOneCluster);

void BM_LibjpegDecode12Mp(benchmark::State& state) {
    for (auto _ : state) {
        TDecodedPicture picture = DecodeJpeg(BigPhoto());
        benchmark::DoNotOptimize(picture.Bitmap.Data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * BigPhoto().size()));
}
BENCHMARK(BM_LibjpegDecode12Mp)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
