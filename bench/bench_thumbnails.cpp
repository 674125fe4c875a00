// Thumbnails of large photos: MakeThumbnail of a 12-megapixel JPEG whose thumbnail range is the
// whole file (read back from a disk image, decoded at a reduced scale, shrunk into the box),
// against a full-size decode of the same file; and a page of 200 such thumbnails.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

#include "device/DskLib.h"
#include "engine/ScanEngine.h"
#include "preview/Bitmap.h"
#include "preview/Decoders.h"
#include "testkit/ImageBuilder.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TempFiles.h"

namespace {

using namespace lumivore;

struct TPhotoCard {
    testkit::TTempDir Dir;
    testkit::TByteVector Jpeg;
    std::unique_ptr<TScanEngine> Engine;
    TFoundFile Photo;

    TPhotoCard() {
        setenv("LUMIVORE_CONFIG", (Dir / "settings.xml").c_str(), 1);
        Jpeg = testkit::EncodeJpeg(testkit::TRgbImage::Pattern(4000, 3000), 90);
        const std::uint64_t start = 64;
        const std::uint64_t sectors = start + (Jpeg.size() + 511) / 512 + 64;
        const std::string path = Dir / "card.img";
        if (!testkit::TDiskImage(sectors).Place(start, Jpeg).Write(path))
            std::abort();
        Engine = std::make_unique<TScanEngine>();
        if (!Engine->OpenDrive(TDeviceCatalogue::Instance().RegisterImage(path)))
            std::abort();
        Photo.Ext = "JPG";
        Photo.StartSector = static_cast<std::int64_t>(start);
        Photo.Length = static_cast<std::int32_t>(Jpeg.size());
        Photo.ThumbKind = kThumbJpeg;
        Photo.ThumbOffset = 0;
        Photo.ThumbLength = static_cast<std::uint32_t>(Jpeg.size());
    }
};

TPhotoCard& Card() {
    static TPhotoCard card;
    return card;
}

void BM_ThumbnailOf12MpJpeg(benchmark::State& state) {
    TPhotoCard& card = Card();
    for (auto _ : state) {
        std::unique_ptr<TBitmap> thumb = card.Engine->MakeThumbnail(card.Photo);
        if (!thumb)
            state.SkipWithError("no thumbnail");
        benchmark::DoNotOptimize(thumb);
    }
}
BENCHMARK(BM_ThumbnailOf12MpJpeg)->Unit(benchmark::kMillisecond);

void BM_FullDecodeOf12MpJpeg(benchmark::State& state) {
    TPhotoCard& card = Card();
    for (auto _ : state) {
        TDecodedPicture picture = DecodeJpeg(card.Jpeg);
        benchmark::DoNotOptimize(picture.Bitmap.Data());
    }
}
BENCHMARK(BM_FullDecodeOf12MpJpeg)->Unit(benchmark::kMillisecond);

// One page of the preview window at its largest usual size: 200 thumbnails.
void BM_PageOf200Thumbnails(benchmark::State& state) {
    TPhotoCard& card = Card();
    for (auto _ : state) {
        for (int i = 0; i < 200; ++i) {
            std::unique_ptr<TBitmap> thumb = card.Engine->MakeThumbnail(card.Photo);
            benchmark::DoNotOptimize(thumb);
        }
    }
    state.counters["thumbnails/s"] = benchmark::Counter(200.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_PageOf200Thumbnails)->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

BENCHMARK_MAIN();
