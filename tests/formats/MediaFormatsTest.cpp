// RIFF (WAV, AVI, CorelDraw) and RealMedia recognisers.
#include <gtest/gtest.h>

#include "formats/MediaFormats.h"
#include "formats/Recognisers.h"
#include "testkit/MediaBuilder.h"

namespace lumivore {
namespace {

using testkit::TByteVector;

TByteVector RiffHeader(std::uint32_t size, const char (&form)[5]) {
    TByteVector h = {'R', 'I', 'F', 'F'};
    for (int i = 0; i < 4; ++i)
        h.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    h.insert(h.end(), form, form + 4);
    h.resize(512, 0);
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
    ASSERT_TRUE(RecogniseRiff(RiffHeader(77, "AVI "), rec));
    EXPECT_EQ(rec.Ext, "AVI");
    EXPECT_EQ(rec.FormatIndex, 8);
    // "AVIX" is neither AVI nor a drawing; other forms are refused too.
    EXPECT_FALSE(RecogniseRiff(RiffHeader(77, "AVIX"), rec));
    EXPECT_FALSE(RecogniseRiff(RiffHeader(77, "cdr9"), rec));
    EXPECT_FALSE(RecogniseRiff(RiffHeader(77, "WEBP"), rec));
}

TEST(RiffRecognise, SizeLimitIsExclusive) {
    TFoundFile rec;
    for (const char* form : {"WAVE", "AVI ", "CDR9"}) {
        const char f[5] = {form[0], form[1], form[2], form[3], 0};
        const TByteVector below = RiffHeader(52'428'799, "XXXX");
        TByteVector ok = below;
        std::copy(f, f + 4, ok.begin() + 8);
        ASSERT_TRUE(RecogniseRiff(ok, rec)) << form;
        EXPECT_EQ(rec.Length, 52'428'807);
        ok[4] = 0x00, ok[5] = 0x00, ok[6] = 0x20, ok[7] = 0x03; // 52,428,800
        EXPECT_FALSE(RecogniseRiff(ok, rec)) << form;
    }
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

TEST(RealMediaMeasure, HugeUnknownChunkDoesNotWrap) {
    testkit::TRealMediaBuilder b;
    b.SizedChunk(".RMF", 18).Header("JUNK", 0xFFFFFFF0u);
    EXPECT_EQ(MeasureRealMedia(b.Build()), -1); // an end beyond 2,147,483,647 is unknown
    testkit::TRealMediaBuilder fits;
    fits.SizedChunk(".RMF", 18).Header("JUNK", 0x7FFFFFFFu - 18);
    EXPECT_EQ(MeasureRealMedia(fits.Build()), 0x7FFFFFFF);
}

TEST(RealMediaMeasure, BuiltFileAndEveryTruncation) {
    const TByteVector file = testkit::MakeRealMedia(3, 120);
    EXPECT_EQ(MeasureRealMedia(file), static_cast<std::int32_t>(file.size() - 8));
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
