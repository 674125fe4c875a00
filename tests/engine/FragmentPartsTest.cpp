// The parts the pieces pass stands on: the reader that follows a photo's pieces on the device,
// the sample test that tells which photos need decoding, and the set of photos already judged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>

#include "device/DskLib.h"
#include "engine/Fragments.h"
#include "engine/ScanEngine.h"
#include "testkit/TempFiles.h"
#include "testkit/UsedCard.h"

namespace lumivore::testing {
namespace {

using testkit::TByteVector;

// A reader that goes through a piece in order takes the lines ahead in one request: it gives
// the same bytes as one that reads line by line, never reads past the piece, and still stops
// where a sector that cannot be read lies.
// A disk image of 4 MiB of random bytes, opened by an engine of its own, whose reads stop at
// the sector bad (none at first) and are counted in requests.
class PieceReaderOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir / "settings.xml").c_str(), 1);
        TDeviceCatalogue::Instance().Clear();
        std::uint32_t x = 12345;
        for (std::uint8_t& b : image) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<std::uint8_t>(x >> 24);
        }
        ASSERT_TRUE(testkit::WriteFile(dir / "disk.img", image));
        ASSERT_TRUE(engine.OpenDrive(TDeviceCatalogue::Instance().RegisterImage(dir / "disk.img")));
        SetReadStop([this](std::uint64_t first, std::uint16_t count) {
            ++requests;
            return bad >= first && bad < first + count ? static_cast<std::uint16_t>(bad - first) : count;
        });
    }
    void TearDown() override {
        SetReadStop(nullptr);
        TDeviceCatalogue::Instance().Clear();
    }

    testkit::TTempDir dir;
    TByteVector image = TByteVector(4u << 20);
    TScanEngine engine;
    int requests = 0;
    std::uint64_t bad = UINT64_MAX;
};

TEST_F(PieceReaderOnDisk, ReadsAheadWithinThePieceAndStopsAtABadSector) {
    // A piece that starts and ends inside lines of 8 KiB.
    const TPiece piece{1000 * 512 + 100, (1 << 20) + 40000};
    const std::uint64_t firstLine = static_cast<std::uint64_t>(piece.Offset) / 8192;
    const std::uint64_t lines = static_cast<std::uint64_t>(piece.Offset + piece.Length - 1) / 8192 - firstLine + 1;
    // Reads the piece in order through Span: the bytes, up to where it stopped.
    auto readThrough = [&](TPieceReader& reader) {
        TByteVector got;
        for (;;) {
            const TBytes s = reader.Span(got.size());
            if (s.empty())
                return got;
            got.insert(got.end(), s.begin(), s.end());
        }
    };
    const TByteVector whole(image.begin() + piece.Offset, image.begin() + piece.Offset + piece.Length);
    for (const std::size_t ahead : {std::size_t{1}, std::size_t{16}}) {
        TPieceReader reader(engine.Drive, {piece}, 256);
        reader.SetReadAhead(ahead);
        requests = 0;
        EXPECT_TRUE(readThrough(reader) == whole) << ahead;
        EXPECT_LE(reader.BytesRead(), lines * 8192) << ahead;
        if (ahead == 1)
            EXPECT_EQ(requests, static_cast<int>(lines));
        else
            EXPECT_LE(requests, static_cast<int>(lines / ahead + 6)); // the first requests grow to the full size
    }

    // A bad sector in the middle of the piece: every byte before it, and none after.
    bad = (static_cast<std::uint64_t>(piece.Offset) + 600000) / 512;
    TPieceReader reader(engine.Drive, {piece}, 256);
    reader.SetReadAhead(16);
    const TByteVector before = readThrough(reader);
    EXPECT_EQ(before.size(), bad * 512 - static_cast<std::uint64_t>(piece.Offset));
    EXPECT_TRUE(std::equal(before.begin(), before.end(), whole.begin()));
}

// The pass reads candidate clusters and single sectors all over a card: with short first reads,
// a sector looked at costs a sector and a cluster tried costs what its decode takes, each byte
// is read once however the line was begun, and a sector that cannot be read in the rest of a
// line still stops the bytes there.
TEST_F(PieceReaderOnDisk, ShortFirstReadsTakeEachByteOnceAndNoMoreThanAsked) {
    TPieceReader reader(engine.Drive, {}, 64);
    reader.SetReadAhead(16);
    reader.SetShortFirstReads(true);
    const auto bytesAt = [&](std::uint64_t offset, std::size_t n) {
        return TByteVector(image.begin() + static_cast<std::ptrdiff_t>(offset),
                           image.begin() + static_cast<std::ptrdiff_t>(offset + n));
    };
    // One sector, in the middle of a line: that sector alone.
    TByteVector sector(512);
    reader.SetPieces({{16 * 8192 + 1024, 512}});
    ASSERT_TRUE(reader.ReadAt(0, sector.data(), sector.size()));
    EXPECT_TRUE(sector == bytesAt(16 * 8192 + 1024, 512));
    EXPECT_EQ(reader.BytesRead(), 1536u); // from the line's start, as the cache keeps lines
    // A cluster of two lines tried far from the last read: its first sectors, then as much as
    // is asked for, never a byte twice.
    const std::uint64_t cluster = 40 * 8192;
    reader.SetPieces({{static_cast<std::int64_t>(cluster), 16384}});
    std::uint64_t before = reader.BytesRead();
    TBytes first = reader.Span(0);
    EXPECT_EQ(first.size(), 1024u);
    EXPECT_EQ(reader.BytesRead() - before, 1024u);
    TByteVector all(16384);
    ASSERT_TRUE(reader.ReadAt(0, all.data(), all.size()));
    EXPECT_TRUE(all == bytesAt(cluster, 16384));
    EXPECT_EQ(reader.BytesRead() - before, 16384u);
    // The sector looked at before, now read on from: the rest of its line, once.
    reader.SetPieces({{16 * 8192, 8192}});
    before = reader.BytesRead();
    TByteVector line(8192);
    ASSERT_TRUE(reader.ReadAt(0, line.data(), line.size()));
    EXPECT_TRUE(line == bytesAt(16 * 8192, 8192));
    EXPECT_EQ(reader.BytesRead() - before, 8192u - 1536u);
    // A sector that cannot be read in the rest of a line begun short: the bytes stop there.
    const std::uint64_t damaged = 80 * 8192;
    bad = (damaged + 3072) / 512;
    reader.SetPieces({{static_cast<std::int64_t>(damaged), 8192}});
    TByteVector got;
    for (;;) {
        const TBytes s = reader.Span(got.size());
        if (s.empty())
            break;
        got.insert(got.end(), s.begin(), s.end());
    }
    EXPECT_EQ(got.size(), 3072u);
    EXPECT_TRUE(got == bytesAt(damaged, 3072));
}

// The sample test decides which photos are decoded; it looks at sectors in vector-friendly
// passes. Its verdict must be the plain one at every edge: a run of 63 or 64 equal bytes
// wherever it lies, 159 or 160 zeros with and without stuffing, a marker byte at either end.
TEST(PlausibleScanSector, AgreesWithThePlainRuleAtEveryEdge) {
    auto plain = [](const std::vector<std::uint8_t>& s) {
        std::size_t zeros = 0, same = 1, longest = 1;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (i > 0) {
                same = s[i] == s[i - 1] ? same + 1 : 1;
                longest = std::max(longest, same);
            }
            if (s[i] == 0x00 && (i == 0 || s[i - 1] != 0xFF))
                ++zeros;
            if (s[i] == 0xFF && i + 1 < s.size()) {
                const std::uint8_t n = s[i + 1];
                if (n != 0x00 && n != 0xFF && n != 0xD9 && (n < 0xD0 || n > 0xD7))
                    return false;
            }
        }
        return zeros < 160 && longest < 64;
    };
    std::vector<std::vector<std::uint8_t>> sectors;
    std::vector<std::uint8_t> coded(512);
    for (std::size_t i = 0; i < coded.size(); ++i)
        coded[i] = static_cast<std::uint8_t>(0x11 + (i * 37) % 0xEE); // no 0x00, no 0xFF
    sectors.push_back(coded);
    for (std::size_t run : {63u, 64u, 65u})
        for (std::size_t at : {0u, 1u, 31u, 32u, 33u, 200u, 512u - 64u, 512u - 63u}) {
            if (at + run > 512)
                continue;
            auto s = coded;
            std::fill(s.begin() + static_cast<std::ptrdiff_t>(at), s.begin() + static_cast<std::ptrdiff_t>(at + run),
                      std::uint8_t{0x5A});
            sectors.push_back(s);
        }
    for (std::size_t count : {159u, 160u})
        for (bool stuffed : {false, true}) {
            auto s = coded;
            for (std::size_t k = 0; k < count; ++k)
                s[3 * k + 1] = 0x00;
            if (stuffed)
                s[0] = 0xFF; // the first zero (at 1) is a stuffed one
            sectors.push_back(s);
        }
    for (std::uint8_t next : {0x00, 0xD0, 0xD7, 0xD8, 0xD9, 0xDA, 0xFF, 0xC4})
        for (std::size_t at : {0u, 255u, 510u}) {
            auto s = coded;
            s[at] = 0xFF;
            s[at + 1] = next;
            sectors.push_back(s);
        }
    auto last = coded;
    last[511] = 0xFF; // a marker byte with nothing after it in the sector
    sectors.push_back(last);
    std::srand(7);
    for (int k = 0; k < 4000; ++k) {
        std::vector<std::uint8_t> s(512);
        static const std::uint8_t kBiased[] = {0x00, 0xFF, 0xD0, 0xD9, 0x5A, 0x00, 0xFF, 0x13};
        for (auto& b : s)
            b = std::rand() % 3 == 0 ? kBiased[std::rand() % 8] : static_cast<std::uint8_t>(std::rand());
        sectors.push_back(s);
    }
    std::size_t plausible = 0;
    for (const auto& s : sectors) {
        const bool expected = plain(s);
        plausible += expected;
        ASSERT_EQ(PlausibleScanSector(TBytes(s.data(), s.size())), expected);
    }
    EXPECT_GT(plausible, 5u);
    EXPECT_LT(plausible, sectors.size());
}

// The photos already judged are kept as a sorted array: members that come out of order (a
// failing area read again at the scan's end) or twice must be found, and no other sector.
TEST(SectorSet, HoldsEveryMemberOnceWhateverTheOrderTheyCameIn) {
    std::mt19937 random(11);
    TSectorSet set;
    std::set<std::int64_t> plain;
    for (int i = 0; i < 2000; ++i) {
        // Mostly rising, as the scan finds photos, with steps back and repeats.
        const std::int64_t sector = i % 7 == 0 ? static_cast<std::int64_t>(random() % 4000) : 2 * i;
        set.insert(sector);
        plain.insert(sector);
    }
    EXPECT_EQ(set.size(), plain.size());
    EXPECT_TRUE(std::equal(set.begin(), set.end(), plain.begin(), plain.end()));
    for (std::int64_t sector = -1; sector < 4100; ++sector)
        ASSERT_EQ(set.count(sector), plain.count(sector)) << sector;
    set.clear();
    EXPECT_TRUE(set.empty());
    EXPECT_EQ(set.count(0), 0u);
}

} // namespace
} // namespace lumivore::testing
