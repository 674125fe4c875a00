// A page of the preview window: 200 thumbnails of the multi-megabyte camera JPEGs of a sample
// card, as the window loads them (the list sorted for the page, then one MakeThumbnail per
// file), against the same page with thumbnails switched off, and with every photo read back
// and decoded as one without an embedded thumbnail is. The card holds a few such photos
// laid again and again; the page cycles through every one the scan found.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

#include "device/DskLib.h"
#include "engine/FileTypes.h"
#include "engine/ScanEngine.h"
#include "preview/Bitmap.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"

namespace {

using namespace lumivore;

constexpr int kPageSize = 200;
constexpr std::uint32_t kMultiMegabyte = 1'000'000;

struct TCardPage {
    testkit::TTempDir Dir;
    std::unique_ptr<TScanEngine> Engine;
    TFoundFileList Page;

    TCardPage() {
        setenv("LUMIVORE_CONFIG", (Dir / "settings.xml").c_str(), 1);
        testkit::TSampleCardOptions options;
        options.SizeBytes = 96ull << 20;
        options.LargePhotos = true;
        testkit::TSampleCard card;
        const std::string path = Dir / "card.img";
        if (!testkit::WriteSampleCard(path, options, card))
            std::abort();
        Engine = std::make_unique<TScanEngine>();
        if (!Engine->OpenDrive(TDeviceCatalogue::Instance().RegisterImage(path)))
            std::abort();
        Engine->Scan(0, static_cast<std::uint32_t>(card.TotalSectors), nullptr, nullptr, nullptr);
        TFoundFileList large;
        for (const TFoundFile& f : Engine->FoundFiles) {
            if (f.Ext != "JPG")
                continue;
            for (const testkit::TCardFile& c : card.Files)
                if (static_cast<std::int64_t>(c.StartSector) == f.StartSector && c.Size >= kMultiMegabyte)
                    large.push_back(f);
        }
        if (large.empty())
            std::abort();
        for (int i = 0; i < kPageSize; ++i)
            Page.push_back(large[static_cast<std::size_t>(i) % large.size()]);
    }

    // What the window does before the page's thumbnails: the list sorted, JPEGs first.
    void SortForPage() {
        std::sort(Engine->FoundFiles.begin(), Engine->FoundFiles.end(), [](const TFoundFile& a, const TFoundFile& b) {
            const bool aj = a.FormatIndex == kFormatJpeg, bj = b.FormatIndex == kFormatJpeg;
            return aj != bj ? aj : a.StartSector < b.StartSector;
        });
    }
};

TCardPage& Card() {
    static TCardPage card;
    return card;
}

void BM_PageOfCameraJpegThumbnails(benchmark::State& state) {
    TCardPage& card = Card();
    for (auto _ : state) {
        card.SortForPage();
        for (const TFoundFile& f : card.Page) {
            TFoundFile record = f;
            std::unique_ptr<TBitmap> thumb = card.Engine->MakeThumbnail(record);
            if (!thumb)
                state.SkipWithError("no thumbnail");
            benchmark::DoNotOptimize(thumb);
        }
    }
    state.counters["thumbnails_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kPageSize, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PageOfCameraJpegThumbnails)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same photos as if they carried no embedded thumbnail: each is read back, measured and
// decoded at a reduced scale.
void BM_PageOfCameraJpegsReadBack(benchmark::State& state) {
    TCardPage& card = Card();
    for (auto _ : state) {
        card.SortForPage();
        for (const TFoundFile& f : card.Page) {
            TFoundFile record = f;
            record.ThumbKind = kThumbNone;
            record.ThumbLength = 0;
            record.Length = kUnknownLength;
            std::unique_ptr<TBitmap> thumb = card.Engine->MakeThumbnail(record);
            if (!thumb)
                state.SkipWithError("no thumbnail");
            benchmark::DoNotOptimize(thumb);
        }
    }
    state.counters["thumbnails_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kPageSize, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PageOfCameraJpegsReadBack)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PageWithoutThumbnails(benchmark::State& state) {
    TCardPage& card = Card();
    for (auto _ : state) {
        card.SortForPage();
        for (const TFoundFile& f : card.Page) {
            TFoundFile record = f;
            benchmark::DoNotOptimize(record);
        }
    }
}
BENCHMARK(BM_PageWithoutThumbnails)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
