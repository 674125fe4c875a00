#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "formats/Measure.h"
#include "formats/MediaFormats.h"
#include "formats/PhotoFormats.h"
#include "formats/Recognisers.h"
#include "formats/StreamMeasure.h"
#include "formats/ByteSearch.h"
#include "testkit/MediaBuilder.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TiffBuilder.h"
#include "testkit/TrailerBuilder.h"

using namespace lumivore;
using testkit::TByteVector;

namespace {

TFoundFile Kind(const char* ext, const char* make = "") {
    TFoundFile rec;
    rec.Ext = ext;
    rec.Make = make;
    rec.Width = 1; // found with its directory, not by its header alone
    return rec;
}

// Feeds the file, followed by the zero bytes that follow it on a card, in pieces of the given
// size, where the card ends; the length once the measure stops, or kUnknownLength. Shared: each
// piece is fed as the scan feeds a block, shared from a buffer that the next piece overwrites.
std::int64_t Streamed(const TFoundFile& rec, TByteVector bytes, std::size_t piece, bool shared = false) {
    bytes.resize(bytes.size() + 4096, 0);
    auto measure = StartStreamMeasure(rec);
    if (!measure)
        return kUnknownLength;
    TByteVector block;
    for (std::size_t at = 0; at < bytes.size() && measure->Status() == TMeasureStatus::Open; at += piece) {
        const TBytes part = TBytes(bytes).subspan(at, std::min(piece, bytes.size() - at));
        if (!shared) {
            measure->Feed(part);
            continue;
        }
        block.assign(part.begin(), part.end());
        TSharedBlock sharing(block);
        const TSharedBlockScope scope(&sharing);
        measure->Feed(block);
        std::fill(block.begin(), block.end(), 0xAB);
    }
    measure->Finish();
    return measure->Length();
}

TByteVector Filler(std::size_t n, std::uint8_t seed) {
    TByteVector v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>((i * 131 + seed) % 251); // never 0xFF
    return v;
}

// A raw whose structure lies all over the file: IFD0 with a preview strip, a sub-directory of
// two raw strips after the preview, and a chained directory with the thumbnail at the end.
TByteVector SpreadRaw(bool bigEndian) {
    testkit::TTiffBuilder b(bigEndian);
    const auto ifd0 = b.AddDirectory();
    b.Ascii(ifd0, 0x010F, "NIKON CORPORATION");
    b.Ascii(ifd0, 0x0110, "NIKON D90");
    const auto preview = b.AddData(Filler(600'000, 1));
    b.Strips(ifd0, {preview});
    const auto sub = b.AddDirectory();
    b.SubDirectory(ifd0, sub); // the EXIF directory, past the preview
    b.Short(sub, 0x0100, {3000});
    const auto raw1 = b.AddData(Filler(400'000, 2));
    const auto raw2 = b.AddData(Filler(300'001, 3));
    b.Strips(sub, {raw1, raw2});
    const auto ifd1 = b.AddDirectory();
    b.Chain(ifd0, ifd1);
    b.JpegThumbnail(ifd1, testkit::TJpegBuilder().Jfif().FakeScan(5000).Build());
    return b.Build();
}

std::int64_t WholeTiffLength(const TByteVector& bytes) {
    TFoundFile rec;
    return RecogniseTiff(bytes, rec) ? rec.Length : -2;
}

} // namespace

// Whatever the block edges, a measure fed piece by piece finds the file's true length.
TEST(StreamMeasure, EveryFormatMeasuresItsTrueLengthWhateverTheBlockEdges) {
    const TByteVector photo = testkit::EncodeJpeg(testkit::TRgbImage::Pattern(160, 120));
    const TByteVector bigJpeg = testkit::TJpegBuilder().Jfif().FakeScan(1'100'000).Build();
    const TByteVector withPreview = testkit::JpegWithPreview(bigJpeg, photo);
    const TByteVector png = testkit::TPngBuilder()
                                .Chunk("IHDR", Filler(13, 0))
                                .Chunk("IDAT", Filler(300'000, 4))
                                .Chunk("IDAT", Filler(70'000, 5))
                                .Chunk("IEND", {})
                                .Build();
    const TByteVector gif87 = testkit::TGifBuilder(false, 40, 30).RawImage(40, 30, 0, {255, 255, 10}).Trailer().Build();
    const TByteVector gifEncoded = testkit::EncodeGif(testkit::TRgbImage::Pattern(90, 70));
    const TByteVector gif89 = testkit::TGifBuilder(true, 40, 30)
                                  .Comment("made here")
                                  .Looping()
                                  .GraphicControl(5)
                                  .RawImage(40, 30, 0, std::vector<std::uint8_t>(300, 255))
                                  .GraphicControl(5)
                                  .RawImage(40, 30, 0x81, {200, 7})
                                  .Comment("end")
                                  .Trailer()
                                  .Build();
    const TByteVector rm = testkit::MakeRealMedia(300, 1000);
    const TByteVector rmFile(rm.begin(), rm.end() - 8); // the eight zero bytes are no part of it
    const TByteVector raw = SpreadRaw(false);
    const TByteVector rawMm = SpreadRaw(true);

    struct TCase {
        std::string name;
        TFoundFile kind;
        const TByteVector& bytes;
    };
    const TCase cases[] = {
        {"jpeg", Kind("JPG"), photo},
        {"large jpeg", Kind("JPG"), bigJpeg},
        {"jpeg with an appended preview", Kind("JPG"), withPreview},
        {"png", Kind("PNG"), png},
        {"gif87a", Kind("GIF"), gif87},
        {"gif89a", Kind("GIF"), gif89},
        {"encoded gif", Kind("GIF"), gifEncoded},
        {"realmedia", Kind("RM"), rmFile},
        {"raw", Kind("NEF", "NIKON CORPORATION"), raw},
        {"raw, big-endian", Kind("NEF", "NIKON CORPORATION"), rawMm},
    };
    for (const TCase& c : cases) {
        const auto size = static_cast<std::int64_t>(c.bytes.size());
        for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{512}, std::size_t{65536},
                                  std::size_t{512000}, c.bytes.size() + 4096})
            EXPECT_EQ(Streamed(c.kind, c.bytes, piece), size) << c.name << " in pieces of " << piece;
    }
}

// What follows a picture is measured on across the edge as well: a motion photo's video, and
// the records of a picture database whose footer comes in the next block.
TEST(StreamMeasure, TrailersAfterThePictureCountWhenTheirEndLiesInALaterBlock) {
    const TByteVector video = testkit::MinimalMp4(700'000);
    TByteVector motion = testkit::TJpegBuilder().Jfif().Segment(0xE1, testkit::MotionPhotoXmp(video.size())).FakeScan(30'000).Build();
    motion.insert(motion.end(), video.begin(), video.end());
    for (const bool shared : {false, true}) {
        EXPECT_EQ(Streamed(Kind("JPG"), motion, 512000, shared), static_cast<std::int64_t>(motion.size()));
        EXPECT_EQ(Streamed(Kind("JPG"), motion, 4096, shared), static_cast<std::int64_t>(motion.size()));
    }

    // A picture that ends with a trailer in the same block but runs past its first one.
    TByteVector tagged = testkit::TJpegBuilder().Jfif().FakeScan(600'000).Build();
    const TByteVector records = testkit::PhotoMechanicTrailer(testkit::IptcRecords({"a caption"}));
    tagged.insert(tagged.end(), records.begin(), records.end());
    EXPECT_EQ(Streamed(Kind("JPG"), tagged, 512000), static_cast<std::int64_t>(tagged.size()));
    EXPECT_EQ(Streamed(Kind("JPG"), tagged, 512000, true), static_cast<std::int64_t>(tagged.size()));
}

// A measure that meets broken structure stops at once, keeps nothing and ignores what follows.
TEST(StreamMeasure, BrokenStructureEndsTheMeasureWithoutALength) {
    // A JPEG whose segment chain is lost in the second piece.
    TByteVector jpeg = testkit::TJpegBuilder().Jfif().Segment(0xE1, Filler(60'000, 9)).FakeScan(10'000).Build();
    const std::size_t sosAt = 2 + 18 + 60'004;
    jpeg[sosAt] = 0x00;
    auto measure = StartStreamMeasure(Kind("JPG"));
    EXPECT_EQ(measure->Feed(TBytes(jpeg).first(40'000)), TMeasureStatus::Open);
    EXPECT_EQ(measure->Feed(TBytes(jpeg).subspan(40'000)), TMeasureStatus::Failed);
    EXPECT_EQ(measure->Feed(TBytes(jpeg)), TMeasureStatus::Failed);
    EXPECT_EQ(measure->Fed(), jpeg.size()) << "bytes after the failure are not taken";
    EXPECT_EQ(measure->Length(), kUnknownLength);

    // A TIFF directory that points back at bytes already gone by cannot be read any more.
    testkit::TTiffBuilder b;
    const auto ifd0 = b.AddDirectory();
    b.Ascii(ifd0, 0x010F, "NIKON");
    const auto data = b.AddData(Filler(100'000, 1));
    b.Strips(ifd0, {data});
    const auto ifd1 = b.AddDirectory();
    b.Chain(ifd0, ifd1);
    b.SetNextOffset(ifd1, 8); // back to the first directory's place
    b.Short(ifd1, 0x0100, {1});
    TByteVector tiff = b.Build();
    // The directory was read already; the loop back to it is not followed again. The last
    // directory's next offset is no part of the measured structure.
    const std::int64_t structureEnd = static_cast<std::int64_t>(tiff.size()) - 4;
    EXPECT_EQ(Streamed(Kind("NEF", "NIKON"), tiff, 4096), structureEnd);
    b.SetNextOffset(ifd1, 40); // into the bytes before it, which are gone
    tiff = b.Build();
    EXPECT_EQ(Streamed(Kind("NEF", "NIKON"), tiff, 4096), kUnknownLength);
    // A directory of no entries is no directory.
    b.SetNextOffset(ifd1, 0);
    tiff = b.Build();
    ASSERT_EQ(WholeTiffLength(tiff), structureEnd);
    EXPECT_EQ(Streamed(Kind("NEF", "NIKON"), tiff, 512000), structureEnd);
    tiff[b.Position(ifd1)] = 0;
    tiff[b.Position(ifd1) + 1] = 0;
    EXPECT_EQ(Streamed(Kind("NEF", "NIKON"), tiff, 512000), kUnknownLength);

    // A RealMedia chunk above its ceiling.
    TByteVector rm = testkit::MakeRealMedia(3, 100);
    rm[18 + 50 + 4] = 0x7F; // the size of the chunk after PROP
    EXPECT_EQ(Streamed(Kind("RM"), rm, 512), kUnknownLength);
}

TEST(StreamMeasure, AMeasureThatIsCutOffOrRunsPastTheLimitHasNoLength) {
    const TByteVector jpeg = testkit::TJpegBuilder().Jfif().FakeScan(900'000).Build();
    auto measure = StartStreamMeasure(Kind("JPG"));
    EXPECT_EQ(measure->Feed(TBytes(jpeg).first(512'000)), TMeasureStatus::Open);
    measure->Abandon();
    EXPECT_EQ(measure->Status(), TMeasureStatus::Failed);
    EXPECT_EQ(measure->Length(), kUnknownLength);

    // Entropy data without an end: given up once the file would pass the length limit.
    const TByteVector head = testkit::TJpegBuilder().Jfif().FakeScan(10, false).Build();
    const TByteVector endless(1 << 20, 0x12);
    measure = StartStreamMeasure(Kind("JPG"));
    measure->Feed(head);
    while (measure->Status() == TMeasureStatus::Open && measure->Fed() < 2 * static_cast<std::uint64_t>(kFileLengthLimit))
        measure->Feed(endless);
    EXPECT_EQ(measure->Status(), TMeasureStatus::Failed);
    EXPECT_LE(measure->Fed(), static_cast<std::uint64_t>(kFileLengthLimit) + endless.size());
}

// Feeds bytes in two parts cut at cut, then finishes; the length found.
std::int64_t MeasuredInTwo(const TFoundFile& kind, const TByteVector& bytes, std::size_t cut) {
    auto measure = StartStreamMeasure(kind);
    measure->Feed(TBytes(bytes).first(cut));
    if (measure->Status() == TMeasureStatus::Open)
        measure->Feed(TBytes(bytes).subspan(cut));
    measure->Finish();
    return measure->Length();
}

// An X3F ends at the directory its last four bytes name, found however the bytes come and
// past directories that name none; without a section after the header, or without a
// directory that holds, it has no length.
TEST(StreamMeasure, AnX3fEndsAtTheDirectoryItsClosingOffsetNames) {
    constexpr std::size_t kSize = 600'000;
    // Decoys early, overlapping, across a scan block's edge and right before the properties.
    const TByteVector x3f = testkit::BuildX3f(4000, 3000, kSize, {1000, 1010, 511'990, kSize - 100});
    TByteVector onCard = x3f;
    onCard.resize(kSize + 4096, 0);
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4093}, std::size_t{512'000}}) {
        auto measure = StartStreamMeasure(Kind("X3F"));
        for (std::size_t at = 0; at < onCard.size() && measure->Status() == TMeasureStatus::Open; at += piece)
            measure->Feed(TBytes(onCard).subspan(at, std::min(piece, onCard.size() - at)));
        EXPECT_EQ(measure->Length(), static_cast<std::int64_t>(kSize)) << "pieces of " << piece;
    }
    // The directory and the decoy before the properties cut at every byte.
    for (std::size_t cut = kSize - 110; cut <= kSize; ++cut)
        EXPECT_EQ(MeasuredInTwo(Kind("X3F"), onCard, cut), static_cast<std::int64_t>(kSize)) << "cut at " << cut;

    // A header alone is given up within its first kilobyte, not followed to the limit.
    TByteVector header = testkit::BuildX3fHeader(4000, 3000, 4096);
    auto measure = StartStreamMeasure(Kind("X3F"));
    EXPECT_EQ(measure->Feed(TBytes(header).first(2048)), TMeasureStatus::Failed);

    // Cut before its closing offset, or with an entry reaching past the directory, or with a
    // closing offset that names another place, the file has no length.
    EXPECT_EQ(MeasuredInTwo(Kind("X3F"), TByteVector(x3f.begin(), x3f.end() - 4), 1000), kUnknownLength);
    TByteVector reaching = x3f;
    reaching[kSize - 40 + 16] = 0xFF; // the image entry's length
    EXPECT_EQ(MeasuredInTwo(Kind("X3F"), reaching, 1000), kUnknownLength);
    TByteVector elsewhere = x3f;
    elsewhere[kSize - 4] ^= 0x04;
    EXPECT_EQ(MeasuredInTwo(Kind("X3F"), elsewhere, 1000), kUnknownLength);
}

TEST(StreamMeasure, KindsWhoseLengthIsStatedOrNotWalkedGetNoMeasure) {
    EXPECT_EQ(StartStreamMeasure(Kind("WAV")), nullptr);
    EXPECT_EQ(StartStreamMeasure(Kind("ARW", "SONY")), nullptr);
    TFoundFile headerOnly;
    headerOnly.Ext = "TIF";
    EXPECT_EQ(StartStreamMeasure(headerOnly), nullptr);
    EXPECT_NE(StartStreamMeasure(Kind("TIF")), nullptr);
}

// The end-marker search compares sixteen pairs at a time: a pair found at every position of a
// lane and across lanes, at the very end, never one whose second byte lies past the data, and
// stuffed or restart bytes after 0xFF are passed over.
TEST(StreamMeasure, TheEndMarkerSearchFindsThePairAtEveryPosition) {
    for (std::size_t n : {0u, 1u, 2u, 16u, 17u, 18u, 33u, 100u}) {
        std::vector<std::uint8_t> data(n, 0x11);
        for (std::size_t i = 0; i < n; i += 7)
            data[i] = 0xFF; // followed by 0x11 or by the next 0xFF: never the pair
        EXPECT_EQ(FindMarkerPair(data.data(), n, 0xD9), n) << n;
        for (std::size_t at = 0; at + 1 < n; ++at) {
            std::vector<std::uint8_t> with = data;
            with[at] = 0xFF;
            with[at + 1] = 0xD9;
            const std::size_t found = FindMarkerPair(with.data(), n, 0xD9);
            // An earlier 0xFF may now stand before the planted 0xD9 only at at - 1 + 1 = at.
            EXPECT_EQ(found, at) << n << " " << at;
        }
        if (n > 0) {
            std::vector<std::uint8_t> last = data;
            last[n - 1] = 0xFF; // its partner would lie past the data
            EXPECT_EQ(FindMarkerPair(last.data(), n, 0xD9), n);
        }
    }
    const std::uint8_t coded[] = {0xFF, 0x00, 0xFF, 0xD0, 0xFF, 0xFF, 0xD9, 0x00};
    EXPECT_EQ(FindMarkerPair(coded, sizeof coded, 0xD9), 5u);
}

namespace {

// A JFIF picture of exactly `size` bytes (at least 200), with the given segments before its
// scan.
TByteVector PictureOfSize(std::size_t size, std::span<const std::uint8_t> app1 = {}) {
    auto build = [&](std::size_t scan) {
        testkit::TJpegBuilder b;
        b.Jfif();
        if (!app1.empty())
            b.Segment(0xE1, app1);
        return b.FakeScan(scan).Build();
    };
    const std::size_t base = build(100).size();
    return build(100 + size - base);
}

// What follows a picture is measured wherever the edge between two blocks falls: inside the end
// marker, inside the bytes looked at to tell whether a trailer follows, or inside the trailer's
// first bytes. The blocks here are 4 KiB; the scan's are larger, with the same edges.
TEST(StreamMeasure, WhatFollowsAPictureIsMeasuredWhereverTheBlockEdgeFalls) {
    constexpr std::size_t kBlock = 4096;
    const TByteVector records = testkit::PhotoMechanicTrailer(testkit::IptcRecords({"a caption", "a credit"}));
    const TByteVector video = testkit::MinimalMp4(3000);
    const TByteVector xmp = testkit::MotionPhotoXmp(video.size());
    for (std::size_t end = kBlock - 40; end <= kBlock + 8; ++end) {
        for (const bool shared : {false, true}) {
            TByteVector tagged = PictureOfSize(end);
            tagged.insert(tagged.end(), records.begin(), records.end());
            EXPECT_EQ(Streamed(Kind("JPG"), tagged, kBlock, shared), static_cast<std::int64_t>(tagged.size()))
                << "records after a picture ending at " << end << (shared ? ", shared" : "");
            TByteVector motion = PictureOfSize(end, xmp);
            motion.insert(motion.end(), video.begin(), video.end());
            EXPECT_EQ(Streamed(Kind("JPG"), motion, kBlock, shared), static_cast<std::int64_t>(motion.size()))
                << "a video after a picture ending at " << end << (shared ? ", shared" : "");
            const TByteVector plain = PictureOfSize(end);
            EXPECT_EQ(Streamed(Kind("JPG"), plain, kBlock, shared), static_cast<std::int64_t>(plain.size()))
                << "nothing after a picture ending at " << end << (shared ? ", shared" : "");
        }
    }
}

// Small photos close together, each followed by what may begin a trailer: every measure gathers
// the bytes after its picture, up to the trailer's reach. Those of a shared block are held once
// for all of them; a copy each would hold some tens of megabytes.
TEST(StreamMeasure, PhotosGatheringTheSameBlocksAfterTheirPicturesHoldOneCopyOfEach) {
    constexpr std::size_t kBlock = 512'000, kStep = 8192, kPhotos = 60;
    const TByteVector photo = PictureOfSize(2000);
    TByteVector first(kBlock, 0);
    for (std::size_t k = 0; k < kPhotos; ++k) {
        std::copy(photo.begin(), photo.end(), first.begin() + static_cast<std::ptrdiff_t>(k * kStep));
        const char* axs = "AXS!";
        std::copy(axs, axs + 4, first.begin() + static_cast<std::ptrdiff_t>(k * kStep + photo.size()));
    }
    const TByteVector second(kBlock, 0x11);
    // In use on the heap, large blocks (mapped on their own) included.
    const auto inUse = [] {
        const auto info = mallinfo2();
        return info.uordblks + info.hblkhd;
    };
    const std::size_t before = inUse();
    std::vector<std::unique_ptr<TStreamMeasure>> measures;
    {
        TSharedBlock sharing(first);
        const TSharedBlockScope scope(&sharing);
        // Started last to first: each needs bytes before those kept so far.
        for (std::size_t k = kPhotos; k-- > 0;) {
            measures.push_back(StartStreamMeasure(Kind("JPG")));
            measures.back()->Feed(TBytes(first).subspan(k * kStep));
        }
    }
    {
        TSharedBlock sharing(second);
        const TSharedBlockScope scope(&sharing);
        for (auto& measure : measures)
            EXPECT_EQ(measure->Feed(second), TMeasureStatus::Open);
    }
    const std::size_t held = inUse() - before;
    EXPECT_LT(held, 3 * kBlock + 256 * 1024) << "bytes held by " << kPhotos << " measures";
    for (auto& measure : measures) {
        measure->Finish();
        EXPECT_EQ(measure->Length(), static_cast<std::int64_t>(photo.size()));
    }
}

// A JPEG whose multi-picture index, in its first segments, names a preview that lies after a
// gap, on a sector boundary, where nothing but the index ties it to the picture.
TByteVector WithDistantPreview(const TByteVector& preview, std::int64_t primaryError) {
    constexpr std::size_t kTiffAt = 20 + 8; // after SOI and JFIF: marker, length and "MPF\0"
    auto build = [&](std::uint32_t mainSize, std::uint32_t previewAt) {
        const testkit::TMpfImage images[] = {
            {0x20030000, static_cast<std::uint32_t>(mainSize + primaryError), 0},
            {0x00010002, static_cast<std::uint32_t>(preview.size()), static_cast<std::uint32_t>(previewAt - kTiffAt)}};
        return testkit::TJpegBuilder().Jfif().Segment(0xE2, testkit::MpfPayload(images)).FakeScan(30'000).Build();
    };
    const std::size_t mainSize = build(0, 1000).size();
    const std::size_t previewAt = (mainSize + 511) / 512 * 512 + 2048;
    TByteVector file = build(static_cast<std::uint32_t>(mainSize), static_cast<std::uint32_t>(previewAt));
    file.resize(previewAt, 0);
    file.insert(file.end(), preview.begin(), preview.end());
    return file;
}

TEST(StreamMeasure, AMultiPictureIndexCarriesTheFileToTheLastImageItNames) {
    const TByteVector preview = testkit::TJpegBuilder().Jfif().FakeScan(20'000).Build();
    const TByteVector file = WithDistantPreview(preview, 0);
    TFoundFile jpeg;
    jpeg.Ext = "JPG";
    EXPECT_EQ(MeasureLength(jpeg, file), static_cast<std::int64_t>(file.size()));
    for (std::size_t piece : {std::size_t{1}, std::size_t{61}, std::size_t{4096}, std::size_t{512000}})
        EXPECT_EQ(Streamed(jpeg, file, piece), static_cast<std::int64_t>(file.size())) << piece;
    // The recogniser sees the first block: the picture is its thumbnail, the file goes on.
    TFoundFile rec;
    ASSERT_TRUE(RecogniseJpeg(TBytes(file).first(40'000), rec));
    EXPECT_EQ(rec.Length, kUnknownLength);
    EXPECT_EQ(rec.ThumbLength, static_cast<std::uint32_t>(MeasureJpegPictureLength(file)));
    // The images named past the data's end leave the length unknown.
    EXPECT_EQ(MeasureLength(jpeg, TBytes(file).first(file.size() - 1)), kUnknownLength);

    // An index whose primary image is not this picture (copied from another file along with its
    // segments) names nothing here: the file ends with its picture.
    const TByteVector copied = WithDistantPreview(preview, 1);
    EXPECT_EQ(MeasureLength(jpeg, copied), MeasureJpegPictureLength(copied));
    EXPECT_EQ(Streamed(jpeg, copied, 4096), MeasureJpegPictureLength(copied));
}

} // namespace
