#include <gtest/gtest.h>

#include <stdexcept>

#include "EngineOnImage.h"
#include "testkit/PhotoBuilder.h"

using namespace lumivore;
using namespace lumivore::testkit;
using Call = std::pair<std::uint64_t, std::uint16_t>;

namespace {

// Bytes whose value tells their position, so a misplaced copy shows.
TByteVector Numbered(std::size_t n, std::size_t start = 0) {
    TByteVector out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(((start + i) * 7 + (start + i) / 251) & 0xFF);
    return out;
}

class CountingPump : public TMessagePump {
public:
    void ProcessMessages() override {
        ++Count;
        if (ThrowAt != 0 && Count == ThrowAt)
            throw std::runtime_error("handler failed");
    }
    int Count = 0;
    int ThrowAt = 0;
};

class FoundFileReader : public lumivore::testing::EngineOnImage {};

} // namespace

TEST_F(FoundFileReader, ThumbnailRangeChunksFollowTheSectorBuffer) {
    const std::uint64_t start = 5000;
    const TByteVector file = Numbered(1'100'000);
    Open(TDiskImage(8000).Place(start, file));
    TFoundFile rec;
    rec.StartSector = start;
    struct TCase {
        std::uint32_t Offset, Length;
        std::vector<Call> Expected;
    } cases[] = {
        {1000, 100, {{5001, 2}}},
        {0, 1'000'000, {{5000, 1000}, {6000, 954}}},
        {300, 600'000, {{5000, 1000}, {6000, 173}}},
    };
    for (const TCase& c : cases) {
        rec.ThumbOffset = c.Offset;
        rec.ThumbLength = c.Length;
        TMemoryStream stream;
        Calls.clear();
        ASSERT_TRUE(Engine().ReadThumbnailRange(rec, stream)) << c.Offset;
        EXPECT_EQ(Calls, c.Expected) << c.Offset;
        ASSERT_EQ(stream.Size(), c.Length);
        EXPECT_TRUE(std::equal(stream.Bytes().begin(), stream.Bytes().end(), file.begin() + c.Offset)) << c.Offset;
    }
}

TEST_F(FoundFileReader, ThumbnailRangeRefusesEmptyAndShortReads) {
    Open(TDiskImage(100).Place(90, Numbered(5120)));
    TFoundFile rec;
    rec.StartSector = 90;
    TMemoryStream stream;
    EXPECT_FALSE(Engine().ReadThumbnailRange(rec, stream)); // no range
    EXPECT_TRUE(Calls.empty());

    // The range runs past the device's end: the buffer would hold an earlier read's bytes.
    Engine().SectorBuffer.fill(0xAB);
    rec.ThumbOffset = 4000;
    rec.ThumbLength = 2000;
    EXPECT_FALSE(Engine().ReadThumbnailRange(rec, stream));
    rec.ThumbLength = 1120; // exactly to the device's end
    TMemoryStream whole;
    EXPECT_TRUE(Engine().ReadThumbnailRange(rec, whole));
    EXPECT_EQ(whole.Size(), 1120u);
}

TEST_F(FoundFileReader, LoadsKnownLengthsInRunsOfAThousandSectors) {
    const TByteVector head = Numbered(2048);
    Open(TDiskImage(110'000).Place(10, head));
    CountingPump pump;
    Engine().MessagePump = &pump;

    TFoundFile rec;
    rec.Ext = "JPG";
    rec.StartSector = 10;
    rec.Length = 1;
    TMemoryStream stream;
    ASSERT_TRUE(Engine().LoadFoundFile(rec, stream));
    EXPECT_EQ(Calls, (std::vector<Call>{{10, 1}}));
    ASSERT_EQ(stream.Size(), 1u);
    EXPECT_EQ(stream.Memory()[0], head[0]);
    EXPECT_EQ(stream.Position(), 0u);

    rec.Length = 52'428'799;
    Calls.clear();
    pump.Count = 0;
    TMemoryStream big;
    ASSERT_TRUE(Engine().LoadFoundFile(rec, big));
    ASSERT_EQ(Calls.size(), 103u); // 102 runs of 1000 sectors and one of 400
    EXPECT_EQ(Calls[0], (Call{10, 1000}));
    EXPECT_EQ(Calls[101], (Call{101'010, 1000}));
    EXPECT_EQ(Calls[102], (Call{102'010, 400}));
    EXPECT_EQ(pump.Count, 103);
    EXPECT_EQ(big.Size(), 52'428'799u);
    EXPECT_TRUE(std::equal(head.begin(), head.end(), big.Bytes().begin()));
    EXPECT_FALSE(Engine().Busy);
}

TEST_F(FoundFileReader, UnknownJpegLengthIsMeasuredOverItsWindow) {
    const TByteVector jpeg = EncodeJpeg(TRgbImage::Pattern(300, 200));
    Open(TDiskImage(20'000).Place(64, jpeg));
    TFoundFile rec;
    rec.Ext = "JPG";
    rec.StartSector = 64;
    rec.Length = 52'428'800; // at the limit: treated as unknown
    TMemoryStream stream;
    ASSERT_TRUE(Engine().LoadFoundFile(rec, stream));
    EXPECT_EQ(Calls.size(), 10u); // the 10,000-sector window
    EXPECT_EQ(rec.Length, static_cast<std::int32_t>(jpeg.size()));
    EXPECT_EQ(stream.Vector(), jpeg);
}

TEST_F(FoundFileReader, UnknownTiffLengthIsMeasuredFromItsWindow) {
    const TByteVector tiff = EncodeTiffRgb(TRgbImage::Pattern(400, 500), false, 64);
    ASSERT_GT(tiff.size(), kSectorBufferSize); // longer than a scan block
    Open(TDiskImage(42'000).Place(100, tiff));
    TFoundFile rec;
    rec.Ext = "TIF";
    rec.StartSector = 100;
    rec.Length = -1;
    TMemoryStream stream;
    ASSERT_TRUE(Engine().LoadFoundFile(rec, stream));
    EXPECT_EQ(Calls.size(), 40u); // the 40,000-sector window
    // The measure ends at the last structure it walked: here the directory, whose
    // next-directory link the builder writes last.
    EXPECT_GE(rec.Length, static_cast<std::int32_t>(tiff.size()) - 4);
    EXPECT_LE(rec.Length, static_cast<std::int32_t>(tiff.size()));
    EXPECT_EQ(rec.Width, 400);
    EXPECT_EQ(rec.Height, 500);
    ASSERT_EQ(stream.Size(), static_cast<std::size_t>(rec.Length));
    EXPECT_TRUE(std::equal(stream.Bytes().begin(), stream.Bytes().end(), tiff.begin()));

    // A window that holds no TIFF structure is refused; the stream keeps the window.
    TFoundFile empty = rec;
    empty.StartSector = 30'000;
    empty.Length = -1;
    TMemoryStream window;
    EXPECT_FALSE(Engine().LoadFoundFile(empty, window));
    EXPECT_EQ(window.Size(), 20'480'000u);
    EXPECT_FALSE(Engine().Busy);
}

TEST_F(FoundFileReader, RefusesWithoutReading) {
    Open(TDiskImage(100));
    TFoundFile rec;
    rec.StartSector = 1;
    rec.Length = -1;
    for (const char* ext : {"CDR", "WAV"}) {
        rec.Ext = ext;
        TMemoryStream stream;
        EXPECT_FALSE(Engine().LoadFoundFile(rec, stream)) << ext;
        EXPECT_EQ(rec.Length, -1);
    }
    EXPECT_TRUE(Calls.empty());

    // While a scan runs nothing starts, and the scan's stop request is left alone.
    rec.Ext = "JPG";
    rec.Length = 100;
    Engine().Busy = true;
    Engine().StopRequested = true;
    TMemoryStream stream;
    EXPECT_FALSE(Engine().LoadFoundFile(rec, stream));
    EXPECT_TRUE(Engine().StopRequested);
    EXPECT_TRUE(Engine().Busy);
    EXPECT_EQ(stream.Size(), 0u);
    EXPECT_TRUE(Calls.empty());
}

TEST_F(FoundFileReader, UnreadBytesAreZeroNotLeftOvers) {
    // A file that runs past the device's end, and a message handler that fails mid-read.
    Open(TDiskImage(2000).Place(1990, Numbered(5120)));
    TFoundFile rec;
    rec.Ext = "JPG";
    rec.StartSector = 1990;
    rec.Length = 10'000;
    TMemoryStream stream;
    stream.Write(Numbered(20'000).data(), 20'000); // an earlier use's bytes
    ASSERT_TRUE(Engine().LoadFoundFile(rec, stream));
    EXPECT_EQ(stream.Memory()[5119], Numbered(5120)[5119]);
    for (std::size_t i = 5120; i < 10'000; ++i)
        ASSERT_EQ(stream.Memory()[i], 0) << i;

    CountingPump pump;
    pump.ThrowAt = 2;
    Engine().MessagePump = &pump;
    rec.StartSector = 0;
    rec.Length = 1'000'000;
    TMemoryStream partial;
    EXPECT_TRUE(Engine().LoadFoundFile(rec, partial)); // the read ends quietly
    EXPECT_EQ(Calls.size(), 2u);                         // the first run only
    EXPECT_FALSE(Engine().Busy);
    Engine().MessagePump = nullptr;
}
