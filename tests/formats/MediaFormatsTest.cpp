// RIFF (WAV, AVI, CorelDraw) and RealMedia recognisers.
#include <gtest/gtest.h>

#include <map>

#include "formats/Measure.h"
#include "formats/MediaFormats.h"
#include "formats/Recognisers.h"
#include "testkit/MediaBuilder.h"

namespace lumivore {
namespace {

using testkit::TByteVector;

// The length the RealMedia measure finds over data.
std::int64_t MeasureRealMedia(TBytes data) {
    TFoundFile rec;
    rec.Ext = "RM";
    return MeasureLength(rec, data);
}

TByteVector RiffHeader(std::uint32_t size, const char (&form)[5]) {
    TByteVector h = {'R', 'I', 'F', 'F'};
    for (int i = 0; i < 4; ++i)
        h.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    h.insert(h.end(), form, form + 4);
    h.resize(512, 0);
    return h;
}

// A sector that starts a RIFF file of the given size and form, with the "hdrl" list an AVI
// carries right after the form type.
TByteVector AviHeader(std::uint32_t size) {
    TByteVector h = RiffHeader(size, "AVI ");
    const std::uint8_t list[] = {'L', 'I', 'S', 'T', 200, 0, 0, 0, 'h', 'd', 'r', 'l'};
    std::copy(std::begin(list), std::end(list), h.begin() + 12);
    return h;
}

TEST(RiffRecognise, FormTypesAndLengths) {
    TFoundFile rec;
    ASSERT_TRUE(RecogniseRiff(RiffHeader(1000, "WAVE"), rec));
    EXPECT_EQ(rec.Ext, "WAV");
    EXPECT_EQ(rec.FormatIndex, 7);
    EXPECT_EQ(rec.MakerIndex, kNoIndex);
    EXPECT_EQ(rec.Length, 1008);
    ASSERT_TRUE(RecogniseRiff(RiffHeader(5000, "CDRA"), rec));
    EXPECT_EQ(rec.Ext, "CDR");
    EXPECT_EQ(rec.FormatIndex, 9);
    EXPECT_EQ(rec.Length, 5008);
    ASSERT_TRUE(RecogniseRiff(AviHeader(777), rec));
    EXPECT_EQ(rec.Ext, "AVI");
    EXPECT_EQ(rec.FormatIndex, 8);
    EXPECT_EQ(rec.Length, 785);
    // "AVIX" is neither AVI nor a drawing; other forms are refused too.
    EXPECT_FALSE(RecogniseRiff(RiffHeader(77, "AVIX"), rec));
    EXPECT_FALSE(RecogniseRiff(RiffHeader(77, "cdr9"), rec));
    EXPECT_FALSE(RecogniseRiff(RiffHeader(77, "WEBP"), rec));
}

TEST(RiffRecognise, AnAviNeedsItsHeaderListWhereTheFormatPutsIt) {
    TFoundFile rec;
    EXPECT_FALSE(RecogniseRiff(RiffHeader(777, "AVI "), rec)); // nothing after the form type
    TByteVector wrongType = AviHeader(777);
    wrongType[23] = 'x'; // "hdrx"
    EXPECT_FALSE(RecogniseRiff(wrongType, rec));
    TByteVector listTooLong = AviHeader(777);
    listTooLong[16] = 0xFF, listTooLong[17] = 0x0F; // a list larger than the RIFF that holds it
    EXPECT_FALSE(RecogniseRiff(listTooLong, rec));
}

TEST(RiffRecognise, SoundAndVideoTakeTheWholeRiffSizeDrawingsKeepTheGeneralLimit) {
    TFoundFile rec;
    // A video of 4 GiB - 1 plus its header: the largest the RIFF size can state.
    ASSERT_TRUE(RecogniseRiff(AviHeader(0xFFFFFFFFu), rec));
    EXPECT_EQ(rec.Length, 0xFFFFFFFFll + 8);
    ASSERT_TRUE(RecogniseRiff(AviHeader(300'000'000), rec));
    EXPECT_EQ(rec.Length, 300'000'008);

    // A long WAV shows a chunk where its first chunk belongs; a short one is taken as always.
    TByteVector wave = RiffHeader(300'000'000, "WAVE");
    const std::uint8_t fmt[] = {'f', 'm', 't', ' ', 16, 0, 0, 0};
    std::copy(std::begin(fmt), std::end(fmt), wave.begin() + 12);
    ASSERT_TRUE(RecogniseRiff(wave, rec));
    EXPECT_EQ(rec.Length, 300'000'008);

    // A "RIFF" with a huge size and no structure after the form type is nothing.
    EXPECT_FALSE(RecogniseRiff(RiffHeader(300'000'000, "WAVE"), rec));
    EXPECT_FALSE(RecogniseRiff(RiffHeader(300'000'000, "AVI "), rec));
    EXPECT_FALSE(RecogniseRiff(RiffHeader(0xFFFFFFFFu, "AVI "), rec));

    // Drawings keep the general limit, exclusive, on the whole file's length: a RIFF size just
    // below the limit would give a length at or past it, which no reader counts as known.
    ASSERT_TRUE(RecogniseRiff(RiffHeader(52'428'791, "CDR9"), rec));
    EXPECT_EQ(rec.Length, 52'428'799);
    EXPECT_FALSE(RecogniseRiff(RiffHeader(52'428'792, "CDR9"), rec));
    EXPECT_FALSE(RecogniseRiff(RiffHeader(52'428'799, "CDR9"), rec));
    TByteVector drawing = RiffHeader(300'000'000, "CDR9");
    std::copy(std::begin(fmt), std::end(fmt), drawing.begin() + 12);
    EXPECT_FALSE(RecogniseRiff(drawing, rec));
}

// A file of RIFF chunks laid out sparsely: chunk headers at their offsets, nothing between.
struct TSparseChunks {
    std::map<std::uint64_t, TByteVector> Headers;
    void Chunk(std::uint64_t at, std::uint32_t size, const char (&form)[5]) {
        TByteVector h = RiffHeader(size, form);
        h.resize(12);
        Headers[at] = h;
    }
    TReadAt Reader() const {
        return [this](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
            const auto it = Headers.find(offset);
            if (it == Headers.end() || n > it->second.size())
                return false;
            std::copy_n(it->second.begin(), n, out);
            return true;
        };
    }
};

TEST(AviChain, FollowsAvixChunksToTheEndOfTheLast) {
    TSparseChunks file;
    const std::uint32_t first = 1'000'000'000, second = 700'000'000, third = 12'345;
    file.Chunk(0, first, "AVI ");
    file.Chunk(first + 8ull, second, "AVIX");
    file.Chunk(first + 8ull + second + 8, third, "AVIX");
    const std::int64_t firstLength = first + 8ll;
    EXPECT_EQ(MeasureAviChain(file.Reader(), firstLength), firstLength + second + 8 + third + 8);

    // A further RIFF of another form, or none, ends the chain where it stands.
    TSparseChunks plain;
    plain.Chunk(0, first, "AVI ");
    plain.Chunk(first + 8ull, second, "AVI ");
    EXPECT_EQ(MeasureAviChain(plain.Reader(), firstLength), firstLength);
    EXPECT_EQ(MeasureAviChain(TSparseChunks{}.Reader(), firstLength), firstLength);

    // An odd chunk size is followed by its pad byte.
    TSparseChunks odd;
    odd.Chunk(1001 + 8 + 1, 500, "AVIX");
    EXPECT_EQ(MeasureAviChain(odd.Reader(), 1001 + 8), 1001 + 8 + 1 + 508);
}

TEST(AviChain, RepeatedChunkHeadersStopAtTheChunkCeiling) {
    // Every offset answers with an AVIX header: the walk ends after the chunk ceiling.
    const TReadAt always = [](std::uint64_t, std::uint8_t* out, std::size_t n) {
        TByteVector h = RiffHeader(1000, "AVIX");
        std::copy_n(h.begin(), n, out);
        return true;
    };
    EXPECT_EQ(MeasureAviChain(always, 1008), 1008 * static_cast<std::int64_t>(kLargestRiffChunkCount));
}

TEST(RiffRecognise, BuiltFilesAndShortData) {
    TFoundFile rec;
    for (const TByteVector& file : {testkit::MakeWave(8000, 1, 16, 300), testkit::MakeAvi(64, 48, 3, 500),
                                    testkit::MakeCdr('9', 77)}) {
        ASSERT_TRUE(RecogniseRiff(file, rec));
        EXPECT_EQ(rec.Length, static_cast<std::int32_t>(file.size()));
        for (std::size_t n = 0; n < 12; ++n)
            EXPECT_FALSE(RecogniseRiff(TByteVector(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n)), rec));
    }
}

TEST(RealMediaMeasure, KnownChunksThenZeroSize) {
    testkit::TRealMediaBuilder b;
    b.SizedChunk(".RMF", 18).SizedChunk("PROP", 50).SizedChunk("DATA", 1000).SizedChunk("INDX", 100);
    const TByteVector chunks = b.Build();
    TByteVector zeros = chunks;
    zeros.resize(chunks.size() + 8, 0);
    TFoundFile rec;
    ASSERT_TRUE(RecogniseRealMedia(zeros, rec));
    EXPECT_EQ(rec.Length, 1168);
    EXPECT_EQ(rec.Ext, "RM");
    EXPECT_EQ(rec.FormatIndex, 6);
    // An unknown identifier ends the walk, counted with the size it states.
    testkit::TRealMediaBuilder unknown = b;
    unknown.Header("JUNK", 4096);
    EXPECT_EQ(MeasureRealMedia(unknown.Build()), 5264);
}

TEST(RealMediaMeasure, ChunkCeilingAndDataEnd) {
    testkit::TRealMediaBuilder over;
    over.SizedChunk(".RMF", 18).Header("DATA", 10'485'761);
    EXPECT_EQ(MeasureRealMedia(over.Build()), -1);
    testkit::TRealMediaBuilder at;
    at.SizedChunk(".RMF", 18).Header("DATA", 10'485'760);
    TByteVector walked = at.Build();
    walked.resize(18 + 10'485'760 + 8, 0);
    EXPECT_EQ(MeasureRealMedia(walked), 18 + 10'485'760);
    // The next chunk header would start beyond size - 8.
    testkit::TRealMediaBuilder shortData;
    shortData.SizedChunk(".RMF", 18).SizedChunk("PROP", 50);
    TByteVector data = shortData.Build();
    data.resize(data.size() + 7, 0);
    EXPECT_EQ(MeasureRealMedia(data), -1);
    data.push_back(0);
    EXPECT_EQ(MeasureRealMedia(data), 68);
}

// An unknown chunk is counted whole, but no further than a RealMedia file may reach: the
// general file length limit, as for every other kind without a raised one.
TEST(RealMediaMeasure, AnUnknownChunkEndsTheFileWithinTheLengthLimit) {
    testkit::TRealMediaBuilder b;
    b.SizedChunk(".RMF", 18).Header("JUNK", 0xFFFFFFF0u);
    EXPECT_EQ(MeasureRealMedia(b.Build()), -1);
    testkit::TRealMediaBuilder beyond;
    beyond.SizedChunk(".RMF", 18).Header("JUNK", static_cast<std::uint32_t>(kFileLengthLimit) - 18);
    EXPECT_EQ(MeasureRealMedia(beyond.Build()), -1);
    testkit::TRealMediaBuilder fits;
    fits.SizedChunk(".RMF", 18).Header("JUNK", static_cast<std::uint32_t>(kFileLengthLimit) - 19);
    EXPECT_EQ(MeasureRealMedia(fits.Build()), kFileLengthLimit - 1);
}

TEST(RealMediaMeasure, BuiltFileAndEveryTruncation) {
    const TByteVector file = testkit::MakeRealMedia(3, 120);
    EXPECT_EQ(MeasureRealMedia(file), static_cast<std::int64_t>(file.size() - 8));
    for (std::size_t n = 0; n + 8 < file.size(); ++n) {
        const TByteVector prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
        TFoundFile rec;
        const bool accepted = RecogniseRealMedia(prefix, rec);
        EXPECT_EQ(accepted, n >= 4);
        if (accepted) {
            EXPECT_EQ(rec.Length, -1) << n;
        }
    }
}

} // namespace
} // namespace lumivore
