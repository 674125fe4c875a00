#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <random>

#include "device/DskLib.h"
#include "engine/EngineHooks.h"
#include "engine/Fragments.h"
#include "engine/ScanEngine.h"
#include "formats/JpegEntropy.h"
#include "testkit/TempFiles.h"
#include "testkit/UsedCard.h"

namespace lumivore::testing {
namespace {

using testkit::TByteVector;
using testkit::TCardPiece;
using Runs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// A card of 4 KiB clusters full of old random data, with files laid over chosen clusters.
class FragmentsOnCard : public ::testing::Test {
protected:
    static constexpr std::uint64_t kSectors = 24000;

    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir_ / "settings.xml").c_str(), 1);
        TDeviceCatalogue::Instance().Clear();
        engine_ = std::make_unique<TScanEngine>();
        // The pass is run here by hand, on what the scan alone found.
        engine_->ReassembleAfterScan = false;
        card_.Noise(0, card_.Clusters(), 99);
    }
    void TearDown() override {
        engine_.reset();
        TDeviceCatalogue::Instance().Clear();
    }

    std::vector<TCardPiece> Lay(const TByteVector& bytes, const Runs& runs) { return card_.Split(bytes, runs); }
    std::uint64_t ClustersOf(const TByteVector& bytes) const {
        return (bytes.size() + card_.ClusterBytes() - 1) / card_.ClusterBytes();
    }

    // Scans the card's image, cut to imageBytes where that is less than the card (an image of a
    // card read only in part).
    void Scan(std::uint64_t imageBytes = kSectors * 512) {
        const std::string path = dir_ / "card.img";
        EXPECT_TRUE(card_.Write(path));
        if (imageBytes < kSectors * 512)
            std::filesystem::resize_file(path, imageBytes);
        const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(path);
        EXPECT_NE(code, 0);
        EXPECT_TRUE(engine_->OpenDrive(code));
        engine_->Scan(0, static_cast<std::int64_t>(imageBytes / 512), nullptr, nullptr, nullptr);
        scanned_ = engine_->FoundFiles;
    }
    TFragmentStats ScanAndReassemble(const TFragmentOptions& options = {}) {
        Scan();
        return ReassembleFragments(*engine_, options);
    }

    const TFoundFile* At(std::uint64_t offset) const {
        for (const TFoundFile& f : engine_->FoundFiles)
            if (static_cast<std::uint64_t>(f.StartSector) * 512 == offset)
                return &f;
        return nullptr;
    }
    // The record's bytes as recovery would read them through its pieces.
    TByteVector ReadBack(const TFoundFile& f) {
        TPieceReader reader(engine_->Drive, TPieceReader::PiecesOf(f, 0));
        TByteVector out(static_cast<std::size_t>(reader.Size()));
        EXPECT_TRUE(reader.ReadAt(0, out.data(), out.size()));
        return out;
    }
    // The photo at pieces[0] came back whole through exactly these pieces.
    void ExpectReassembled(const std::vector<TCardPiece>& pieces, const TByteVector& bytes) {
        const TFoundFile* f = At(pieces.front().Offset);
        ASSERT_NE(f, nullptr);
        EXPECT_TRUE(f->Reassembled());
        EXPECT_FALSE(f->Incomplete);
        ASSERT_EQ(f->Pieces.size(), pieces.size());
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            EXPECT_EQ(static_cast<std::uint64_t>(f->Pieces[i].Offset), pieces[i].Offset) << i;
            EXPECT_EQ(static_cast<std::uint64_t>(f->Pieces[i].Length), pieces[i].Length) << i;
        }
        EXPECT_EQ(f->Length, static_cast<std::int64_t>(bytes.size()));
        EXPECT_TRUE(ReadBack(*f) == bytes);
        // Its thumbnail is the whole picture, read through the same pieces.
        EXPECT_EQ(f->ThumbKind, kThumbJpeg);
        EXPECT_EQ(f->ThumbOffset, 0u);
        EXPECT_EQ(f->ThumbLength, bytes.size());
    }
    // A record the pass must not have touched.
    void ExpectAsScanned(std::uint64_t offset) {
        const TFoundFile* f = At(offset);
        ASSERT_NE(f, nullptr);
        for (const TFoundFile& s : scanned_) {
            if (s.StartSector == f->StartSector) {
                EXPECT_TRUE(s == *f);
            }
        }
    }

    testkit::TTempDir dir_;
    testkit::TClusterCard card_{kSectors, 8};
    std::unique_ptr<TScanEngine> engine_;
    TFoundFileList scanned_;
};

// Two pieces with a gap of noise of 1, 100 and 2,000 clusters, with and without restart
// markers: the gap search must reach that far and the cluster arithmetic hold at each size.
class TwoPieces : public FragmentsOnCard, public ::testing::WithParamInterface<std::tuple<std::uint64_t, int>> {};

TEST_P(TwoPieces, AcrossAGapOfNoise) {
    const auto [gap, restarts] = GetParam();
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 5, restarts);
    const std::uint64_t n = ClustersOf(photo);
    ASSERT_GE(n, 6u);
    const auto pieces = Lay(photo, {{10, n / 2}, {10 + n / 2 + gap, n}});
    const TFragmentStats stats = ScanAndReassemble();
    ExpectReassembled(pieces, photo);
    EXPECT_EQ(stats.Reassembled, 1u);
    EXPECT_EQ(stats.ByPieces[2], 1u);
    EXPECT_EQ(stats.Incomplete, 0u);
}

INSTANTIATE_TEST_SUITE_P(Gaps, TwoPieces,
                         ::testing::Combine(::testing::Values(1u, 100u, 2000u), ::testing::Values(0, 4)));

TEST_F(FragmentsOnCard, StepsOverAGapOfWholeFiles) {
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 6);
    const TByteVector other = testkit::GrainyPhoto(200, 150, 7);
    const TByteVector png = testkit::EncodePng(testkit::TRgbImage::Pattern(90, 60, 2));
    const std::uint64_t n = ClustersOf(photo), o = ClustersOf(other), p = ClustersOf(png);
    // The photo, then a whole JPEG, a whole PNG and two clusters of noise, then the photo's rest.
    const std::uint64_t gapStart = 20 + n / 3;
    Lay(other, {{gapStart, o}});
    Lay(png, {{gapStart + o, p}});
    const auto pieces = Lay(photo, {{20, n / 3}, {gapStart + o + p + 2, n}});
    ScanAndReassemble();
    ExpectReassembled(pieces, photo);
    // The files in the gap stay files of their own, whole and unchanged.
    ExpectAsScanned(card_.ClusterOffset(gapStart + o));
    const TFoundFile* inGap = At(card_.ClusterOffset(gapStart));
    ASSERT_NE(inGap, nullptr);
    EXPECT_FALSE(inGap->Nested());
    EXPECT_TRUE(inGap->Pieces.empty());
    EXPECT_EQ(inGap->Length, static_cast<std::int64_t>(other.size()));
}

TEST_F(FragmentsOnCard, AGapOfZeroedErasedNoiseAndAWholeFile) {
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 22, 2);
    const TByteVector bmp = testkit::EncodeBmp(testkit::TRgbImage::Pattern(60, 40, 1), 24);
    const std::uint64_t n = ClustersOf(photo), b = ClustersOf(bmp);
    const std::uint64_t gap = 30 + n / 2;
    // Zeroed clusters, erased ones, a whole bitmap, noise, in that order.
    card_.Place(card_.ClusterOffset(gap), TByteVector(4 * card_.ClusterBytes(), 0x00));
    card_.Place(card_.ClusterOffset(gap + 4), TByteVector(3 * card_.ClusterBytes(), 0xFF));
    Lay(bmp, {{gap + 7, b}});
    const auto pieces = Lay(photo, {{30, n / 2}, {gap + 7 + b + 2, n}});
    ScanAndReassemble();
    ExpectReassembled(pieces, photo);
    // The bitmap is a file of its own again even where the scan took it to lie inside the
    // photo's run.
    const TFoundFile* inGap = At(card_.ClusterOffset(gap + 7));
    ASSERT_NE(inGap, nullptr);
    EXPECT_FALSE(inGap->Nested());
    EXPECT_TRUE(inGap->Pieces.empty());
    EXPECT_EQ(inGap->Length, static_cast<std::int64_t>(bmp.size()));
}

TEST_F(FragmentsOnCard, WithoutABootSectorTheClusterIsInferredFromWherePhotosStart) {
    std::fill_n(card_.Bytes().begin(), 512, 0); // the boot sector wiped
    for (std::uint64_t k = 0; k < 9; ++k)
        Lay(testkit::GrainyPhoto(48, 32, static_cast<unsigned>(40 + k)), {{100 + 3 * k, 1}});
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 25);
    const std::uint64_t n = ClustersOf(photo);
    const auto pieces = Lay(photo, {{10, n / 2}, {10 + n / 2 + 5, n}});
    Scan();
    const TClusterGeometry g = FindClusterGeometry(engine_->Drive, engine_->FoundFiles);
    EXPECT_EQ(g.Source, TClusterSource::Inferred);
    EXPECT_EQ(g.ClusterBytes, card_.ClusterBytes());
    ReassembleFragments(*engine_);
    ExpectReassembled(pieces, photo);
}

// Three and four pieces with old data between them; five and six as a camera that fills a
// used card's holes one after another splits a large photo, around the small files that stayed
// between the holes.
TEST_F(FragmentsOnCard, ThreeToSixPieces) {
    const TByteVector three = testkit::GrainyPhoto(320, 240, 8, 3);
    const TByteVector four = testkit::GrainyPhoto(352, 256, 9);
    const TByteVector five = testkit::GrainyPhoto(480, 360, 12);
    const TByteVector six = testkit::GrainyPhoto(512, 384, 13, 4);
    const std::uint64_t a = ClustersOf(three), b = ClustersOf(four);
    const auto p3 = Lay(three, {{10, a / 3}, {10 + a / 3 + 5, a / 3}, {10 + 2 * (a / 3) + 40, a}});
    const std::uint64_t at = 10 + a + 60;
    const auto p4 = Lay(four, {{at, b / 4}, {at + b / 4 + 1, b / 4}, {at + 2 * (b / 4) + 30, b / 4}, {at + 3 * (b / 4) + 300, b}});
    // Each piece, then a small photo in the cluster after it, the next hole at once or a
    // cluster or two of noise further on.
    auto layAround = [&](const TByteVector& photo, std::uint64_t from, std::uint64_t count, unsigned seed) {
        const std::uint64_t n = ClustersOf(photo);
        Runs runs;
        for (std::uint64_t k = 0; k < count; ++k) {
            const std::uint64_t length = k + 1 == count ? n : n / count;
            runs.emplace_back(from, length);
            if (k + 1 < count)
                Lay(testkit::GrainyPhoto(48, 32, seed + static_cast<unsigned>(k)), {{from + length, 1}});
            from += length + 1 + k % 3;
        }
        return std::make_pair(Lay(photo, runs), from);
    };
    const auto [p5, after5] = layAround(five, at + b + 400, 5, 70);
    const auto [p6, after6] = layAround(six, after5 + 20, 6, 80);
    ASSERT_LT(after6, card_.Clusters());
    const TFragmentStats stats = ScanAndReassemble();
    ExpectReassembled(p3, three);
    ExpectReassembled(p4, four);
    ExpectReassembled(p5, five);
    ExpectReassembled(p6, six);
    for (std::size_t k = 3; k <= 6; ++k)
        EXPECT_EQ(stats.ByPieces[k], 1u) << k;
}

// On a used card a camera may put a photo's rest in the next free run hundreds of megabytes on:
// past the gap a break's candidates cover (40 clusters here), with whole files and old data
// between. The search goes on there once the near one has failed, and only then, with attempts
// of its own (the near one spends all it may here); without it the photo stays incomplete.
TEST_F(FragmentsOnCard, ARestBeyondTheGapIsFoundFurtherOn) {
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 61);
    const TByteVector other = testkit::GrainyPhoto(200, 150, 62);
    const std::uint64_t n = ClustersOf(photo), o = ClustersOf(other);
    Lay(other, {{10 + n / 2 + 100, o}});
    const auto pieces = Lay(photo, {{10, n / 2}, {10 + n / 2 + 600, n}});
    TFragmentOptions near;
    near.MaxGapClusters = 40;
    near.MinGapBytes = 0;
    near.MaxAttemptsPerFile = 100;
    near.SearchFar = false;
    Scan();
    EXPECT_EQ(ReassembleFragments(*engine_, near).Incomplete, 1u);
    engine_->Scan(0, kSectors, nullptr, nullptr, nullptr);
    TFragmentOptions far = near;
    far.SearchFar = true;
    const TFragmentStats stats = ReassembleFragments(*engine_, far);
    ExpectReassembled(pieces, photo);
    EXPECT_EQ(stats.Incomplete, 0u);
    const TFoundFile* inGap = At(card_.ClusterOffset(10 + n / 2 + 100));
    ASSERT_NE(inGap, nullptr);
    EXPECT_TRUE(inGap->Pieces.empty());
    EXPECT_EQ(inGap->Length, static_cast<std::int64_t>(other.size()));
    // The clusters it may look at are bounded: with fewer than the free ones before the rest,
    // the photo stays incomplete.
    engine_->Scan(0, kSectors, nullptr, nullptr, nullptr);
    far.MaxFarClusters = 100;
    EXPECT_EQ(ReassembleFragments(*engine_, far).Incomplete, 1u);
}

// Far from the break, a whole copy of the photo lies before the photo's own rest: its clusters
// decode from the break as well as the rest does, but they belong to another found file, which
// the far search does not even decode to tell. The rest is taken, the copy stays whole.
TEST_F(FragmentsOnCard, AFarClusterOfAnotherFoundFileIsNeverTaken) {
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 63);
    const std::uint64_t n = ClustersOf(photo);
    const std::uint64_t copyAt = 10 + n / 2 + 200;
    const auto copy = Lay(photo, {{copyAt, n}});
    const auto pieces = Lay(photo, {{10, n / 2}, {copyAt + n + 300, n}});
    TFragmentOptions options;
    options.MaxGapClusters = 40;
    options.MinGapBytes = 0;
    ScanAndReassemble(options);
    ExpectReassembled(pieces, photo);
    ExpectAsScanned(copy.front().Offset);
}

// In the gap lies an older raw whose header claims megabytes of image data after it (the real
// Minolta file kept with the sources: 2,596 bytes, a claim of 12 MB); the photo's rest was
// written two clusters after the raw's header, inside that claim. A claimed body owns nothing:
// the rest is found, and the raw keeps its record.
TEST_F(FragmentsOnCard, AStaleClaimOfARawDoesNotHideAPhotosRest) {
    const TByteVector raw = testkit::ReadFile(std::string(LUMIVORE_SOURCE_DIR) + "/testkit/cards/samples/files/Minolta.mrw");
    ASSERT_GT(raw.size(), 2000u);
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 64);
    const std::uint64_t n = ClustersOf(photo);
    Lay(raw, {{10 + n / 2 + 1, ClustersOf(raw)}});
    const auto pieces = Lay(photo, {{10, n / 2}, {10 + n / 2 + 3, n}});
    Scan();
    const TFoundFile* mrw = At(card_.ClusterOffset(10 + n / 2 + 1));
    ASSERT_NE(mrw, nullptr);
    ASSERT_GE(mrw->ClaimFrom, 0);
    ASSERT_GT(static_cast<std::uint64_t>(mrw->Length), 4 * card_.ClusterBytes()) << "its claim runs over the rest";
    ReassembleFragments(*engine_, {});
    ExpectReassembled(pieces, photo);
    ExpectAsScanned(card_.ClusterOffset(10 + n / 2 + 1));
}

// A camera's preview, named by the photo's multi-picture index, follows the main image's end
// in the last piece: the photo put back holds it too.
TEST_F(FragmentsOnCard, APreviewAppendedAfterTheMainImageComesBackWithIt) {
    const TByteVector photo = testkit::JpegWithPreview(testkit::GrainyPhoto(320, 240, 50), testkit::GrainyPhoto(96, 64, 51));
    const std::uint64_t n = ClustersOf(photo);
    const auto pieces = Lay(photo, {{10, n / 2}, {10 + n / 2 + 6, n}});
    const TFragmentStats stats = ScanAndReassemble();
    ExpectReassembled(pieces, photo);
    EXPECT_EQ(stats.Reassembled, 1u);
}

// The card split the photo in its main image and again in the preview appended after it, with
// another photo in the clusters between the preview's pieces: the preview's pieces join the
// photo's, and the photo between stays a file of its own instead of being lost inside it.
TEST_F(FragmentsOnCard, APreviewSplitAroundAnotherPhotoComesBackWithoutSwallowingIt) {
    const TByteVector preview = testkit::GrainyPhoto(320, 240, 53);
    const TByteVector photo = testkit::JpegWithPreview(testkit::GrainyPhoto(640, 480, 52), preview);
    const TByteVector other = testkit::GrainyPhoto(96, 64, 54);
    const std::uint64_t n = ClustersOf(photo), m = ClustersOf(other);
    // The photo's clusters up to the one where its preview starts, then the other photo.
    const std::uint64_t throughPreviewStart = (photo.size() - preview.size()) / card_.ClusterBytes() + 1;
    ASSERT_LT(n / 2, throughPreviewStart);
    ASSERT_LT(throughPreviewStart, n);
    const std::uint64_t second = 10 + n / 2 + 4;
    const std::uint64_t otherAt = second + (throughPreviewStart - n / 2);
    const auto otherPieces = Lay(other, {{otherAt, m}});
    const auto pieces = Lay(photo, {{10, n / 2}, {second, throughPreviewStart - n / 2}, {otherAt + m, n}});
    const TFragmentStats stats = ScanAndReassemble();
    ExpectReassembled(pieces, photo);
    EXPECT_EQ(stats.Reassembled, 1u);
    const TFoundFile* between = At(otherPieces.front().Offset);
    ASSERT_NE(between, nullptr);
    EXPECT_FALSE(between->Nested());
    EXPECT_EQ(between->Length, static_cast<std::int64_t>(other.size()));
}

TEST_F(FragmentsOnCard, ADecoyThatDecodesForAWhileIsNotTaken) {
    // Right after the break lie clusters of another photo's coded data made with the same
    // tables: they decode as a continuation for a while, then stop fitting.
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 10);
    const TByteVector decoySource = testkit::GrainyPhoto(320, 240, 11);
    const std::uint64_t n = ClustersOf(photo);
    const std::uint64_t cb = card_.ClusterBytes();
    const TByteVector decoy(decoySource.begin() + static_cast<std::ptrdiff_t>(2 * cb),
                            decoySource.begin() + static_cast<std::ptrdiff_t>(5 * cb));
    Lay(decoy, {{10 + n / 2, 3}});
    const auto pieces = Lay(photo, {{10, n / 2}, {10 + n / 2 + 3 + 4, n}});
    const TFragmentStats stats = ScanAndReassemble();
    ExpectReassembled(pieces, photo);
    EXPECT_GT(stats.Attempts, 1u);
}

// The break lies where another photo starts, as on a camera card where the next picture took
// the cluster after the hole: the photo's data is noticed as broken a little past that start.
// Its first piece is decoded once, by the look at the photo as it lies, and not again by the
// search; the other photo, stepped over, is decoded once to trust its extent.
TEST_F(FragmentsOnCard, APhotoBrokenAtAnotherPhotosStartIsDecodedAboutOnce) {
    const TByteVector photo = testkit::GrainyPhoto(640, 480, 50);
    const TByteVector next = testkit::GrainyPhoto(320, 240, 51);
    const std::uint64_t n = ClustersOf(photo);
    const std::uint64_t m = ClustersOf(next);
    Lay(next, {{10 + n / 2, m}});
    const auto pieces = Lay(photo, {{10, n / 2}, {10 + n / 2 + m, n}});
    const TFragmentStats stats = ScanAndReassemble();
    ExpectReassembled(pieces, photo);
    const std::uint64_t cb = card_.ClusterBytes();
    EXPECT_LT(stats.BytesDecoded, photo.size() + next.size() + (stats.Attempts + 4) * cb)
        << "attempts " << stats.Attempts;
}

// A photo that looks whole: its data runs on into the body of an older photo, whose end marker
// ends its measure, and no file starts inside it. Only decoding it shows that it breaks; that
// happens when the search for the broken photo before it steps over it. It is then searched
// itself, whichever core checked it.
TEST_F(FragmentsOnCard, APhotoThatOnlyLooksWholeIsSearchedOnceACheckFindsItBroken) {
    const TByteVector first = testkit::GrainyPhoto(1024, 768, 60);
    const TByteVector second = testkit::GrainyPhoto(320, 240, 61);
    const TByteVector old = testkit::GrainyPhoto(320, 240, 62);
    const std::uint64_t cb = card_.ClusterBytes();
    const std::uint64_t n = ClustersOf(first), m = ClustersOf(second), k = ClustersOf(old);
    // The first photo's first half, then the second photo's first half, then an older photo's
    // body without its first cluster; each rest a little further on.
    const std::uint64_t secondAt = 10 + n / 2, oldAt = secondAt + m / 2;
    const TByteVector body(old.begin() + static_cast<std::ptrdiff_t>(cb), old.end());
    Lay(body, {{oldAt, k - 1}});
    const std::uint64_t secondRest = oldAt + k - 1 + 3;
    const auto secondPieces = Lay(second, {{secondAt, m / 2}, {secondRest, m}});
    const auto firstPieces = Lay(first, {{10, n / 2}, {secondRest + (m - m / 2) + 2, n}});
    Scan();
    const TFoundFile* looksWhole = At(card_.ClusterOffset(secondAt));
    ASSERT_NE(looksWhole, nullptr);
    ASSERT_GT(looksWhole->Length, static_cast<std::int64_t>(m / 2 * cb)) << "measured into the older body";
    for (const bool ahead : {true, false}) {
        engine_->FoundFiles = scanned_;
        TFragmentOptions options;
        options.CheckAhead = ahead;
        const TFragmentStats stats = ReassembleFragments(*engine_, options);
        ExpectReassembled(firstPieces, first);
        ExpectReassembled(secondPieces, second);
        EXPECT_EQ(stats.Reassembled, 2u) << "ahead " << ahead;
    }
}

// A photo whose first piece is followed by a cluster of another file's data looks whole where
// its measure finds an end marker in that data. With no other photo near it, no check decodes
// it: only a sample that falls on data that cannot be coded data sends it to the search. Here
// the cluster's first sector could be coded data (it holds no marker byte) and the next could
// not. Both the pass's own samples and those the scan takes as it streams past must find it.
TEST_F(FragmentsOnCard, APhotoThatLooksWholeOverAnotherFilesDataIsStillSearched) {
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 63);
    const std::uint64_t cb = card_.ClusterBytes();
    const std::uint64_t n = ClustersOf(photo);
    TByteVector other(cb);
    std::mt19937 rng(5);
    for (std::uint8_t& b : other)
        b = static_cast<std::uint8_t>(rng());
    for (std::size_t i = 0; i < 512; ++i)
        other[i] = other[i] == 0xFF ? 0x7F : other[i];
    for (std::size_t i = 0; i + 1 < other.size(); ++i)
        other[i + 1] = other[i] == 0xFF && other[i + 1] == 0xD9 ? 0x12 : other[i + 1];
    other[600] = 0xFF; // no coder puts 41 after a marker byte
    other[601] = 0x41;
    other[1124] = 0xFF; // where the photo's measure stops
    other[1125] = 0xD9;
    const std::uint64_t at = 10 + n / 2;
    card_.Place(card_.ClusterOffset(at), other);
    const auto pieces = Lay(photo, {{10, n / 2}, {at + 1, n}});
    Scan();
    const TFoundFile* looksWhole = At(pieces.front().Offset);
    ASSERT_NE(looksWhole, nullptr);
    ASSERT_EQ(looksWhole->Length, static_cast<std::int64_t>(n / 2 * cb + 1126)) << "measured into the other data";
    const TFragmentStats stats = ReassembleFragments(*engine_);
    ExpectReassembled(pieces, photo);
    EXPECT_EQ(stats.Reassembled, 1u);

    // The same through the scan's own samples, which the pass then trusts.
    engine_->ReassembleAfterScan = true;
    Scan();
    ExpectReassembled(pieces, photo);
    EXPECT_EQ(engine_->FragmentStats.Reassembled, 1u);
}

// A used card holds the bodies of older photos by the same camera: their clusters decode from
// the break as well as the true rest does, often for many clusters. The rest is found among
// them, and the search does not follow each one to its end.
TEST_F(FragmentsOnCard, AmongManyBodiesOfOlderPhotosTheTrueRestIsFoundCheaply) {
    const TByteVector photo = testkit::GrainyPhoto(1024, 768, 30);
    const std::uint64_t n = ClustersOf(photo);
    const std::uint64_t cb = card_.ClusterBytes();
    // Two clusters of noise after the break, then six older photos whose first cluster (and
    // header) was written over: only their coded data remains, between the break and the rest.
    std::uint64_t at = 10 + n / 2 + 2;
    for (unsigned k = 0; k < 6; ++k) {
        const TByteVector old = testkit::GrainyPhoto(1024, 768, 31 + k);
        const std::uint64_t m = ClustersOf(old);
        const TByteVector body(old.begin() + static_cast<std::ptrdiff_t>(cb), old.end());
        Lay(body, {{at, m - 1}});
        at += m - 1;
    }
    const auto pieces = Lay(photo, {{10, n / 2}, {at + 2, n}});
    const TFragmentStats stats = ScanAndReassemble();
    ExpectReassembled(pieces, photo);
    // Each candidate is read over about a cluster; the photo itself about once.
    EXPECT_LT(stats.BytesRead, 3 * photo.size() + 2 * (stats.Attempts + 8) * cb);
}

// Of a photo only its first cluster is left: too few blocks to judge a candidate by, so every
// one is doubtful. After it lies the body of an older photo, itself in runs of a few clusters:
// once followed, each run goes on the one before plainly. Below a doubtful candidate the search
// decodes no more than its budget, plain continuations or not.
TEST_F(FragmentsOnCard, BelowADoubtfulCandidateTheSearchStaysWithinItsBudget) {
    const TByteVector photo = testkit::GrainyPhoto(1024, 768, 30);
    const TByteVector old = testkit::GrainyPhoto(1024, 768, 31);
    const std::uint64_t cb = card_.ClusterBytes();
    const TByteVector first(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(cb));
    const TByteVector body(old.begin() + static_cast<std::ptrdiff_t>(cb), old.end());
    constexpr std::uint64_t kRun = 6;
    Runs runs;
    for (std::uint64_t at = 13, left = ClustersOf(body); left > 0; at += kRun + 1, left -= std::min(left, kRun))
        runs.push_back({at, std::min(left, kRun)});
    Lay(body, runs);
    Lay(first, {{10, 1}});
    TFragmentOptions options;
    options.MaxDoubtfulBytes = 8 * cb;
    options.SearchFar = false;
    const TFragmentStats stats = ScanAndReassemble(options);
    EXPECT_EQ(stats.Incomplete, 1u);
    // The budget, and at most the one run that was decoding when it ran out.
    EXPECT_LE(stats.BytesDoubtful, options.MaxDoubtfulBytes + (kRun + 1) * cb);
    EXPECT_GT(stats.BytesDoubtful, 0u);
}

// A photo in four pieces, as a used card leaves one: the second and the long third each a few
// clusters after the break before, the fourth far past the gap a break's candidates cover. The
// picture is even grain all over, so that from each break the clusters inside the later pieces
// (its data from elsewhere) go on the picture as well as the true next piece does. Followed,
// each would decode on through the rest of its piece to the same break, where the near search
// has already failed: once a piece has been followed there, its clusters are not followed
// again, from any break, and the far search finds the rest as before.
TEST_F(FragmentsOnCard, TheClustersOfAPieceFollowedAreNotFollowedAgain) {
    testkit::TRgbImage grain{1024, 768, {}};
    std::mt19937 rng(65);
    grain.Pixels.resize(1024 * 768 * 3);
    for (std::uint8_t& v : grain.Pixels)
        v = static_cast<std::uint8_t>(100 + rng() % 56);
    const TByteVector photo = testkit::EncodeJpeg(grain, 90);
    const std::uint64_t n = ClustersOf(photo), h = n / 2;
    ASSERT_GT(h, 30u);
    ASSERT_LT(h + n + 1300, card_.Clusters());
    const auto pieces = Lay(photo, {{10, 6}, {19, 6}, {28, h}, {28 + h + 1200, n}});
    TFragmentOptions options;
    options.MaxGapClusters = h + 30;
    options.MinGapBytes = 0;
    const TFragmentStats stats = ScanAndReassemble(options);
    ExpectReassembled(pieces, photo);
    // The photo decoded about once, and nearly nothing while following doubtful candidates
    // (followed again, the later pieces' clusters cost several times the photo).
    EXPECT_LT(stats.BytesDecoded, 2 * photo.size());
    EXPECT_LT(stats.BytesDoubtful, 2 * card_.ClusterBytes());
}

// A whole copy of the photo lies elsewhere as a file of its own; the photo's own rest is gone.
// The copy's clusters decode from the break perfectly, but they belong to another found file:
// the photo stays incomplete and the copy stays whole.
TEST_F(FragmentsOnCard, AClusterOfAnotherFoundFileIsNeverTakenAsAPiece) {
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 40);
    const std::uint64_t n = ClustersOf(photo);
    const TByteVector half(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(n / 2 * card_.ClusterBytes()));
    Lay(half, {{10, n / 2}});
    const auto copy = Lay(photo, {{10 + n / 2 + 6, n}});
    ScanAndReassemble();
    const TFoundFile* f = At(card_.ClusterOffset(10));
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->Incomplete);
    EXPECT_FALSE(f->Reassembled());
    for (const TPiece& p : f->Pieces) {
        const std::uint64_t end = static_cast<std::uint64_t>(p.Offset + p.Length);
        EXPECT_TRUE(end <= copy.front().Offset || static_cast<std::uint64_t>(p.Offset) >= copy.front().Offset + photo.size());
    }
    ExpectAsScanned(copy.front().Offset);
}

TEST_F(FragmentsOnCard, TwoPhotosWhosePiecesInterleave) {
    const TByteVector a = testkit::GrainyPhoto(320, 240, 12);
    const TByteVector b = testkit::GrainyPhoto(320, 240, 13, 6);
    const std::uint64_t na = ClustersOf(a), nb = ClustersOf(b);
    const std::uint64_t ha = na / 2, hb = nb / 2;
    // a1 b1 a2 b2, each right after the other.
    const auto pa = Lay(a, {{10, ha}, {10 + ha + hb, na}});
    const auto pb = Lay(b, {{10 + ha, hb}, {10 + na + hb, nb}});
    const TFragmentStats stats = ScanAndReassemble();
    ExpectReassembled(pa, a);
    ExpectReassembled(pb, b);
    EXPECT_EQ(stats.Reassembled, 2u);
}

TEST_F(FragmentsOnCard, ATruncatedPhotoIsIncompleteAndNotMergedWithAStranger) {
    // The photo's first half, then noise, then another whole photo: its rest exists nowhere.
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 14);
    const TByteVector stranger = testkit::GrainyPhoto(320, 240, 15);
    const std::uint64_t n = ClustersOf(photo);
    const TByteVector half(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(n / 2 * card_.ClusterBytes()));
    Lay(half, {{10, n / 2}});
    const auto strangerAt = Lay(stranger, {{10 + n / 2 + 3, ClustersOf(stranger)}});
    const TFragmentStats stats = ScanAndReassemble();
    const TFoundFile* f = At(card_.ClusterOffset(10));
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->Incomplete);
    EXPECT_FALSE(f->Reassembled());
    ASSERT_EQ(f->Pieces.size(), 1u);
    EXPECT_EQ(static_cast<std::uint64_t>(f->Pieces[0].Length), half.size());
    // What recovery writes for it stays as the scan measured.
    const TFoundFile* before = nullptr;
    for (const TFoundFile& s : scanned_)
        if (s.StartSector == f->StartSector)
            before = &s;
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(f->Length, before->Length);
    EXPECT_EQ(stats.Incomplete, 1u);
    EXPECT_EQ(stats.Reassembled, 0u);
    // The stranger is its own file, whole.
    const TFoundFile* s = At(strangerAt.front().Offset);
    ASSERT_NE(s, nullptr);
    EXPECT_FALSE(s->Nested());
    EXPECT_TRUE(s->Pieces.empty());
    EXPECT_EQ(s->Length, static_cast<std::int64_t>(stranger.size()));
}

// An image of a card read only in part ends inside a cluster, with a photo cut off there: the
// photo is incomplete, and its piece ends with the image, not at a cluster boundary beyond it.
TEST_F(FragmentsOnCard, APhotoCutOffByTheImagesEndEndsThere) {
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 17);
    const std::uint64_t first = card_.Clusters() - 4;
    const std::uint64_t start = card_.ClusterOffset(first);
    const TByteVector head(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(4 * card_.ClusterBytes()));
    Lay(head, {{first, 4}});
    for (const std::uint64_t into : {std::uint64_t{3}, std::uint64_t{6}}) {
        SCOPED_TRACE(into);
        const std::uint64_t imageBytes = start + into * 512; // inside the photo's first cluster
        TDeviceCatalogue::Instance().Clear();
        Scan(imageBytes);
        const TFragmentStats stats = ReassembleFragments(*engine_);
        const TFoundFile* f = At(start);
        ASSERT_NE(f, nullptr);
        EXPECT_TRUE(f->Incomplete);
        EXPECT_EQ(stats.Incomplete, 1u);
        ASSERT_EQ(f->Pieces.size(), 1u);
        EXPECT_EQ(static_cast<std::uint64_t>(f->Pieces[0].Offset), start);
        EXPECT_EQ(static_cast<std::uint64_t>(f->Pieces[0].Offset + f->Pieces[0].Length), imageBytes);
    }
}

TEST_F(FragmentsOnCard, ContiguousFilesAreLeftExactlyAsScanned) {
    const TByteVector whole = testkit::GrainyPhoto(320, 240, 16, 8);
    const TByteVector small = testkit::GrainyPhoto(64, 48, 17);
    const TByteVector png = testkit::EncodePng(testkit::TRgbImage::Pattern(90, 60, 3));
    const TByteVector split = testkit::GrainyPhoto(320, 240, 18);
    const auto w = Lay(whole, {{10, ClustersOf(whole)}});
    const auto s = Lay(small, {{200, 1}});
    const auto p = Lay(png, {{300, ClustersOf(png)}});
    const std::uint64_t n = ClustersOf(split);
    const auto f = Lay(split, {{400, n / 2}, {400 + n / 2 + 7, n}});
    const TFragmentStats stats = ScanAndReassemble();
    ExpectAsScanned(w.front().Offset);
    ExpectAsScanned(s.front().Offset);
    ExpectAsScanned(p.front().Offset);
    ExpectReassembled(f, split);
    // The whole photos were not even decoded: sampling found nothing wrong in them.
    EXPECT_EQ(stats.Checked, 1u);
}

TEST_F(FragmentsOnCard, ARecordInsideAReassembledPhotoIsNotOfferedAgain) {
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 19);
    const std::uint64_t n = ClustersOf(photo);
    const auto pieces = Lay(photo, {{10, n / 2}, {10 + n / 2 + 9, n}});
    ScanAndReassemble();
    ExpectReassembled(pieces, photo);
    // A signature that happened to stand at a sector of the photo's second piece.
    TFoundFile ghost;
    ghost.Ext = "BMP";
    ghost.StartSector = static_cast<std::int64_t>(pieces[1].Offset / 512 + 3);
    ghost.Length = kUnknownLength;
    TFoundFileList files = scanned_;
    files.push_back(ghost);
    TClusterGeometry g;
    g.ClusterBytes = card_.ClusterBytes();
    g.DataStart = card_.DataStart();
    const TFragmentStats stats = ReassembleFragments(engine_->Drive, kSectors * 512, g, files);
    EXPECT_EQ(stats.Reassembled, 1u);
    EXPECT_EQ(stats.Claimed, 1u);
    EXPECT_EQ(files.back().NestedIn, static_cast<std::int64_t>(pieces[0].Offset / 512));
}

// The pass lets the window's events run and moves its bar once per photo, and a Stop leaves
// the photos not yet looked at as the scan left them.
TEST_F(FragmentsOnCard, ProgressAndStop) {
    struct TRecorder : TProgressBar, TMessagePump {
        TScanEngine* Engine = nullptr;
        std::vector<int> Positions;
        int Pumps = 0;
        void SetPosition(int p) override { Positions.push_back(p); }
        void ProcessMessages() override {
            if (++Pumps == 2)
                Engine->StopRequested = true; // the user presses Stop during the second photo
        }
    } recorder;
    const TByteVector a = testkit::GrainyPhoto(320, 240, 23), b = testkit::GrainyPhoto(320, 240, 24);
    const std::uint64_t na = ClustersOf(a), nb = ClustersOf(b);
    Lay(a, {{10, na / 2}, {10 + na / 2 + 3, na}});
    Lay(b, {{200, nb / 2}, {200 + nb / 2 + 3, nb}});
    Scan();
    recorder.Engine = engine_.get();
    engine_->ProgressBar = &recorder;
    engine_->MessagePump = &recorder;
    const TFragmentStats stats = ReassembleFragments(*engine_);
    engine_->ProgressBar = nullptr;
    engine_->MessagePump = nullptr;
    EXPECT_EQ(stats.Reassembled, 1u);
    EXPECT_EQ(stats.Checked, 1u);
    EXPECT_EQ(recorder.Positions.size(), 2u);
    const TFoundFile* second = At(card_.ClusterOffset(200));
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->Pieces.empty());
    EXPECT_FALSE(second->Incomplete);
}

TEST_F(FragmentsOnCard, TheWorkPerPhotoIsBounded) {
    // A truncated photo with no continuation anywhere: every candidate is tried and fails, but
    // no more of them than the bound allows in each of the search's two rounds (near the
    // break, then past the gaps).
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 20);
    const TByteVector half(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(photo.size() / 2));
    Lay(half, {{10, ClustersOf(half)}});
    TFragmentOptions options;
    options.MaxAttemptsPerFile = 50;
    const TFragmentStats stats = ScanAndReassemble(options);
    EXPECT_EQ(stats.Incomplete, 1u);
    EXPECT_LE(stats.Attempts, 2u * 50u);
    EXPECT_GT(stats.Attempts, 0u);
}

// A photo broken inside a long segment of its header (maker data of three clusters), its rest
// gone. Decoding notices nothing until the segment's end, so the break is looked for at the
// cluster boundary before that end and at the one before it. From the earlier one, no
// candidate tried over one cluster can complete the segment, so none can be judged: no
// candidate is tried there, and the search costs what one break's gap costs.
TEST_F(FragmentsOnCard, ABreakInsideALongHeaderSegmentCostsOneGap) {
    const TByteVector picture = testkit::GrainyPhoto(320, 240, 21);
    const std::uint64_t cb = card_.ClusterBytes();
    const std::size_t payload = static_cast<std::size_t>(3 * cb);
    TByteVector photo{0xFF, 0xD8, 0xFF, 0xE9, static_cast<std::uint8_t>((payload + 2) >> 8),
                      static_cast<std::uint8_t>((payload + 2) & 0xFF)};
    for (std::size_t i = 0; i < payload; ++i)
        photo.push_back(static_cast<std::uint8_t>(i * 7 + 1));
    photo.insert(photo.end(), picture.begin() + 2, picture.end());
    ASSERT_EQ(CheckJpeg(photo), TJpegCheck::Clean);
    Lay(TByteVector(photo.begin(), photo.begin() + static_cast<std::ptrdiff_t>(cb)), {{10, 1}});
    TFragmentOptions options;
    options.SearchFar = false;
    options.MinGapBytes = 0;
    options.MaxGapClusters = 100;
    const TFragmentStats stats = ScanAndReassemble(options);
    EXPECT_EQ(stats.Incomplete, 1u);
    EXPECT_GT(stats.Attempts, 0u);
    EXPECT_LE(stats.Attempts, options.MaxGapClusters + 8u);
}

} // namespace
} // namespace lumivore::testing
