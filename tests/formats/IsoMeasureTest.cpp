// The continuing measure of box-structured files fed piece by piece, as the scan feeds it:
// where the chain of top-level boxes ends, what a file must hold to end there, and the index
// boxes and EXIF items it gathers past the first piece.
#include "formats/IsoMeasure.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "formats/IsoMedia.h"
#include "testkit/ByteWriter.h"
#include "testkit/IsoBuilder.h"

using namespace lumivore;
using namespace lumivore::testkit;

namespace {

TByteVector Noise(std::size_t n) {
    TByteVector out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(0x80 + (i * 29) % 97);
    return out;
}

struct TFed {
    TMeasureStatus status;
    std::int64_t length;
    TFoundFile rec;
};

// Feeds data in pieces of the given size (the first piece may differ), then tells the bytes
// ended there when finish is set.
TFed Feed(TFileType type, const TByteVector& data, std::size_t piece, std::size_t first = 0, bool finish = true) {
    auto measure = StartIsoMediaMeasure(type);
    std::size_t at = 0;
    while (at < data.size() && measure->Status() == TMeasureStatus::Open) {
        const std::size_t n = std::min(at == 0 && first > 0 ? first : piece, data.size() - at);
        measure->Feed(TBytes(data).subspan(at, n));
        at += n;
    }
    if (finish)
        measure->Finish();
    TFed out{measure->Status(), measure->Length(), {}};
    if (out.status == TMeasureStatus::Ended)
        measure->Complete(out.rec);
    return out;
}

TEST(IsoMeasure, ACameraClipIsFollowedAcrossPiecesOfAnySizeAndItsIndexReadAfterTheFirst) {
    TMovieRecipe recipe;
    recipe.moovFirst = false; // media data, then the index
    recipe.mdatBytes = 100'000;
    recipe.make = "Lumivore";
    recipe.model = "Field Camera 2";
    const TByteVector clip = BuildMovie(recipe);
    const TByteVector data = Join({clip, Noise(3000)});
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{512}, std::size_t{4096}, std::size_t{512000}}) {
        const TFed fed = Feed(TFileType::Mp4, data, piece, 4096);
        EXPECT_EQ(fed.status, TMeasureStatus::Ended) << piece;
        EXPECT_EQ(fed.length, static_cast<std::int64_t>(clip.size())) << piece;
        // The index lay past the first 4096 bytes: the measure read it.
        EXPECT_EQ(fed.rec.Make, "Lumivore") << piece;
        EXPECT_EQ(fed.rec.Model, "Field Camera 2") << piece;
        EXPECT_EQ(fed.rec.Width, 1920) << piece;
        EXPECT_EQ(fed.rec.DateTaken, "2024:05:17 10:20:30") << piece;
    }
    // Without the end of the bytes being told, a chain that ends at the end of what was fed
    // may go on: the measure waits.
    EXPECT_EQ(Feed(TFileType::Mp4, clip, 4096, 0, false).status, TMeasureStatus::Open);
    EXPECT_EQ(Feed(TFileType::Mp4, clip, 4096).length, static_cast<std::int64_t>(clip.size()));
}

TEST(IsoMeasure, WhatFollowsTheLastBoxDecidesWhereTheFileEnds) {
    const TByteVector file = BuildMovie(TMovieRecipe{});
    const auto length = [&](const TByteVector& after) { return Feed(TFileType::Mp4, Join({file, after}), 700).length; };
    const std::int64_t whole = static_cast<std::int64_t>(file.size());
    // Not a box: zeros, random bytes, a size below a header, a type no writer uses.
    EXPECT_EQ(length(TByteVector(600, 0)), whole);
    EXPECT_EQ(length(Noise(600)), whole);
    EXPECT_EQ(length(Join({{0, 0, 0, 4, 'f', 'r', 'e', 'e'}, Noise(600)})), whole);
    EXPECT_EQ(length(Join({{0, 0, 0, 16, 'a', 0x01, 'c', 'd'}, Noise(600)})), whole);
    // A box of a type of the family's or a writer's own, of a size that fits: part of the file.
    const TByteVector maker = Box("sefd", TByteVector(3823, 5));
    EXPECT_EQ(length(Join({maker, Noise(600)})), whole + 3831);
    EXPECT_EQ(length(Join({Box("free", TByteVector(40, 0)), Box("\xA9xyz", TByteVector(8, 1)), Noise(600)})), whole + 64);
    // A writer's own box stating more than such boxes hold, and any box whose 64-bit size
    // passes the largest file: the file ends before it.
    TByteVector huge = {0, 0, 0, 1, 'a', 'b', 'c', 'd', 0, 0, 0, 0, 0x10, 0, 0, 0};
    EXPECT_EQ(length(Join({huge, Noise(600)})), whole);
    huge = {0, 0, 0, 1, 'f', 'r', 'e', 'e', 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0};
    EXPECT_EQ(length(Join({huge, Noise(600)})), whole);
    // A box that runs to the end of a file whose end nothing states: no length.
    EXPECT_EQ(length(Join({{0, 0, 0, 0, 'f', 'r', 'e', 'e'}, Noise(600)})), kUnknownLength);
}

TEST(IsoMeasure, AChainThatEndsWithoutWhatAFileNeedsGivesNoLength) {
    const TByteVector ftyp = Ftyp("isom", {"isom"});
    const TByteVector moov = BuildMovieBox(TMovieRecipe{});
    const TByteVector mdat = Box("mdat", TByteVector(5000, 3));
    EXPECT_EQ(Feed(TFileType::Mp4, Join({ftyp, mdat, Noise(600)}), 512).length, kUnknownLength); // no index
    EXPECT_EQ(Feed(TFileType::Mp4, Join({ftyp, moov, Noise(600)}), 512).length, kUnknownLength); // no media
    EXPECT_EQ(Feed(TFileType::Mp4, Join({ftyp, moov, mdat, Noise(600)}), 512).length,
              static_cast<std::int64_t>(ftyp.size() + moov.size() + mdat.size()));
    // Bytes that start no file of the family.
    EXPECT_EQ(Feed(TFileType::Mp4, Join({Box("free", {}), moov, mdat}), 512).status, TMeasureStatus::Failed);
}

TEST(IsoMeasure, APicturesExifItemPastTheFirstPieceIsGatheredAndLargeIndexesAreNot) {
    THeifRecipe recipe;
    recipe.codedBytes = 20'000; // the EXIF item lies after the picture's data
    const TByteVector heic = BuildHeif(recipe);
    TFed fed = Feed(TFileType::Heic, Join({heic, Noise(600)}), 1000, 2048);
    EXPECT_EQ(fed.length, static_cast<std::int64_t>(heic.size()));
    EXPECT_EQ(fed.rec.Make, "Canon");
    EXPECT_EQ(fed.rec.ISO, 400);
    EXPECT_EQ(fed.rec.Width, 0); // the index itself lay in the first piece, which the recogniser reads

    // Media data first: the index is gathered after it.
    recipe.mdatFirst = true;
    recipe.splitMdat = true;
    const TByteVector late = BuildHeif(recipe);
    fed = Feed(TFileType::Heic, Join({late, Noise(600)}), 1000, 2048);
    EXPECT_EQ(fed.length, static_cast<std::int64_t>(late.size()));
    EXPECT_EQ(fed.rec.Width, 4032);

    // An index larger than the measure gathers: the length still, the metadata not.
    TMovieRecipe movie;
    movie.moovFirst = false;
    movie.make = "Lumivore";
    const TByteVector moov = BuildMovieBox(movie);
    const TByteVector padded =
        Join({Ftyp("isom", {"isom"}), Box("mdat", TByteVector(100, 0)),
              Box("moov", Join({TByteVector(moov.begin() + 8, moov.end()),
                                Box("free", TByteVector(kIsoGatherLimit, 0))}))});
    fed = Feed(TFileType::Mp4, Join({padded, Noise(600)}), 65536);
    EXPECT_EQ(fed.length, static_cast<std::int64_t>(padded.size()));
    EXPECT_EQ(fed.rec.Make, "");
}

} // namespace
