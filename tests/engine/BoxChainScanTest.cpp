// Box-structured files built box by box, on a card as the scan meets them: pictures with
// several media data boxes or their index after them, movies with a maker's boxes after their
// media data, chains that never complete, a clip cut by the card's end, and media data longer
// than the photo limit. Each is measured across blocks to its exact length, or left without one.
#include <gtest/gtest.h>

#include <string>

#include "tests/preview/FilesOnImage.h"
#include "testkit/IsoBuilder.h"

using namespace lumivore;
using namespace lumivore::testkit;

namespace {

using IsoMediaScan = lumivore::testing::FilesOnImage;
using lumivore::testing::Random;
using lumivore::testing::Sectors;
constexpr std::uint64_t kSector = 512;

TEST_F(IsoMediaScan, BoxesAfterTheMediaDataAndSeveralMediaBoxesAreMeasuredWithTheFile) {
    // A phone picture whose media data runs past the scan block in two boxes, the EXIF item in
    // the second: the length takes both, and the EXIF is read as it goes by.
    THeifRecipe split;
    split.codedBytes = 700'000;
    split.splitMdat = true;
    const TByteVector indexFirst = BuildHeif(split);
    // The same with its media data before its index, as some writers lay it out.
    THeifRecipe late = split;
    late.mdatFirst = true;
    const TByteVector indexLast = BuildHeif(late);
    // A movie whose index comes first, with a maker's boxes after its media data.
    TMovieRecipe movie;
    movie.mdatBytes = 800'000;
    movie.make = "Lumivore";
    const TByteVector trailed = Join({BuildMovie(movie), UuidBox({9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6}, TByteVector(200, 1)),
                                      Box("free", TByteVector(64, 0)), Box("sefd", TByteVector(3831 - 8, 2))});
    for (std::size_t gap : {std::size_t{3}, std::size_t{0}}) {
        const TFoundFileList found = ScanFiles({indexFirst, indexLast, trailed}, gap);
        EXPECT_EQ(found[0].Ext, "HEIC");
        EXPECT_EQ(found[0].Length, static_cast<std::int64_t>(indexFirst.size()));
        EXPECT_EQ(found[0].Width, 4032);
        EXPECT_EQ(found[0].Make, "Canon");
        EXPECT_EQ(found[0].DateTaken, "2023:07:01 09:15:00");
        EXPECT_EQ(found[1].Length, static_cast<std::int64_t>(indexLast.size()));
        EXPECT_EQ(found[1].Width, 4032); // from the index gathered after the block
        EXPECT_EQ(found[2].Ext, "MP4");
        EXPECT_EQ(found[2].Length, static_cast<std::int64_t>(trailed.size()));
        EXPECT_EQ(found[2].Make, "Lumivore");
    }
}

TEST_F(IsoMediaScan, ChainsThatNeverCompleteGiveNoLength) {
    TMovieRecipe recipe;
    recipe.moovFirst = false;
    recipe.mdatBytes = 800'000;
    const TByteVector whole = BuildMovie(recipe);
    // The index never comes: the media data is followed by random bytes.
    const TByteVector noIndex(whole.begin(), whole.begin() + static_cast<long>(whole.size() - BuildMovieBox(recipe).size()));
    // An index first, then media data whose 64-bit size passes any device: the chain ends before
    // it and the file holds no media data.
    TByteVector overflow = Join({Ftyp("isom", {"isom"}), BuildMovieBox(recipe)});
    PutBE32(overflow, 1);
    overflow.insert(overflow.end(), {'m', 'd', 'a', 't', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00});
    const TByteVector after = Join({overflow, Random(900'000, 3)});
    const TFoundFileList found = ScanFiles({noIndex, after, whole}, 2);
    EXPECT_EQ(found[0].Ext, "MP4");
    EXPECT_EQ(found[0].Length, kUnknownLength);
    EXPECT_EQ(found[1].Length, kUnknownLength);
    EXPECT_EQ(found[2].Length, static_cast<std::int64_t>(whole.size())); // the next file is whole
}

TEST_F(IsoMediaScan, AClipCutByTheEndOfTheCardGetsNoLengthPastIt) {
    TMovieRecipe recipe;
    recipe.moovFirst = false;
    recipe.mdatBytes = 1'500'000;
    const TByteVector clip = BuildMovie(recipe);
    // The card ends 1 MB into the clip, inside its media data.
    const std::uint64_t sectors = 3 + (1u << 20) / kSector;
    TDiskImage image(sectors);
    image.Place(3, TByteVector(clip.begin(), clip.begin() + (1 << 20)));
    Open(image);
    Engine().Scan(0, sectors, nullptr, nullptr, nullptr);
    ASSERT_FALSE(Engine().FoundFiles.empty());
    EXPECT_EQ(Engine().FoundFiles[0].StartSector, 3);
    EXPECT_EQ(Engine().FoundFiles[0].Length, kUnknownLength);
}

TEST_F(IsoMediaScan, MediaDataLongerThanThePhotoLimitIsPassedOverToTheIndexAfterIt) {
    // 80 MiB of media data, left a hole in the image, with the index after it.
    TMovieRecipe recipe;
    recipe.make = "Lumivore";
    recipe.width = 3840;
    recipe.height = 2160;
    const TByteVector ftyp = Ftyp("isom", {"isom", "mp42"});
    const TByteVector moov = BuildMovieBox(recipe);
    const std::uint64_t mdatSize = 80ull << 20;
    TByteVector head = ftyp;
    PutBE32(head, static_cast<std::uint32_t>(mdatSize));
    head.insert(head.end(), {'m', 'd', 'a', 't'});
    const std::uint64_t moovAt = ftyp.size() + mdatSize;
    const std::uint64_t length = moovAt + moov.size();
    const std::uint64_t sectors = Sectors(length) + 20;
    TDiskImage image(sectors);
    image.Place(0, head);
    // The index lies inside the sector where the media data ends: that sector is written whole.
    TByteVector tail(moovAt % kSector, 0xAB);
    tail.insert(tail.end(), moov.begin(), moov.end());
    image.Place(moovAt / kSector, tail);
    Open(image);
    Engine().Scan(0, sectors, nullptr, nullptr, nullptr);
    ASSERT_FALSE(Engine().FoundFiles.empty());
    const TFoundFile& f = Engine().FoundFiles[0];
    EXPECT_EQ(f.Ext, "MP4");
    EXPECT_EQ(f.Length, static_cast<std::int64_t>(length));
    EXPECT_EQ(f.Width, 3840);
    EXPECT_EQ(f.Make, "Lumivore");
}

} // namespace
