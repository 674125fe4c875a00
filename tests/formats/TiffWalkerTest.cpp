#include "formats/TiffWalker.h"

#include <gtest/gtest.h>

#include "testkit/TiffBuilder.h"

using namespace lumivore;
using testkit::TByteVector;
using testkit::TTiffBuilder;
using namespace lumivore::testkit;

namespace {

// Walks a built structure from its header, as the recognisers do.
// sonyRawDir, when given, receives the Sony raw directory position the walk found.
int WalkBuilt(const TByteVector& data, TFoundFile& rec, std::uint32_t* sonyRawDir = nullptr) {
    TTiffReader reader;
    if (!OpenTiffBlock(data, reader))
        return kWalkUnusable;
    std::uint16_t marker = 0;
    std::uint32_t first = 0;
    reader.U16(2, marker);
    reader.U32(4, first);
    const int result = WalkDirectory(marker, reader, 0, rec, first);
    if (sonyRawDir != nullptr)
        *sonyRawDir = reader.SonyRawDirOffset;
    return result;
}

TTiffEntry MakeEntry(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
    TTiffEntry e{};
    e[0] = static_cast<std::uint8_t>(tag), e[1] = static_cast<std::uint8_t>(tag >> 8);
    e[2] = static_cast<std::uint8_t>(type), e[3] = static_cast<std::uint8_t>(type >> 8);
    for (int i = 0; i < 4; ++i) {
        e[4 + i] = static_cast<std::uint8_t>(count >> (8 * i));
        e[8 + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return e;
}

TByteVector FakeJpeg(std::size_t size) {
    TByteVector j(size, 0x55);
    j[0] = 0xFF, j[1] = 0xD8, j[size - 2] = 0xFF, j[size - 1] = 0xD9;
    return j;
}

} // namespace

TEST(TiffEntryReaders, ElementSizesValuesAndLengths) {
    EXPECT_EQ(TypeSize(MakeEntry(1, 2, 0, 0), false), 1);
    EXPECT_EQ(TypeSize(MakeEntry(1, 8, 0, 0), false), 2);
    EXPECT_EQ(TypeSize(MakeEntry(1, 11, 0, 0), false), 4);
    EXPECT_EQ(TypeSize(MakeEntry(1, 12, 0, 0), false), 8);
    EXPECT_EQ(TypeSize(MakeEntry(1, 0, 0, 0), false), 0);

    const TByteVector data(64, 7);
    TBytes value;
    // Type 13 has no element size: an empty value, and no length.
    const TTiffEntry unknown = MakeEntry(0x1234, 13, 1000, 40);
    ASSERT_TRUE(ReadEntryValue(TTiffReader(data), unknown, value));
    EXPECT_TRUE(value.empty());
    std::int64_t length = 10;
    ExtendLength(unknown, false, length);
    EXPECT_EQ(length, 10);

    // Out-of-line values must lie inside the data; ExtendLength does not care.
    ASSERT_TRUE(ReadEntryValue(TTiffReader(data), MakeEntry(1, 4, 2, 56), value));
    EXPECT_EQ(value.size(), 8u);
    EXPECT_FALSE(ReadEntryValue(TTiffReader(data), MakeEntry(1, 4, 2, 57), value));
    EXPECT_FALSE(ReadEntryValue(TTiffReader(data), MakeEntry(1, 5, 0x40000000, 0), value)); // count x 8 wraps 32 bits
    ExtendLength(MakeEntry(1, 4, 2, 1000), false, length);
    EXPECT_EQ(length, 1008);
    ExtendLength(MakeEntry(1, 4, 1, 5000), false, length); // fits in the entry
    EXPECT_EQ(length, 1008);

    // An end beyond the signed 32-bit range makes the length unknown, and it stays so.
    ExtendLength(MakeEntry(1, 7, 0x100, 0x7FFFFF80), false, length);
    EXPECT_EQ(length, -1);
    ExtendLength(MakeEntry(1, 4, 2, 2000), false, length);
    EXPECT_EQ(length, -1);

    EXPECT_EQ(TagClass(MakeEntry(0x8769, 4, 1, 0), false), kTagSubDirectory);
    EXPECT_EQ(TagClass(MakeEntry(0x888A, 4, 1, 0), false), kTagSubDirList);
    EXPECT_EQ(TagClass(MakeEntry(0x0201, 4, 1, 0), false), kTagDataOffsets);
    EXPECT_EQ(TagClass(MakeEntry(0x0145, 4, 1, 0), false), kTagDataCounts);
}

TEST(TiffFindTag, FoundAbsentAndTruncated) {
    TTiffBuilder b(true);
    const auto dir = b.AddDirectory();
    b.Short(dir, 0x0100, {640});
    b.Short(dir, 0x0101, {480});
    const TByteVector data = b.Build();
    const TTiffReader whole(data, true);
    TTiffEntry e;
    ASSERT_EQ(FindTag(whole, b.Position(dir), 0x0101, e), kTagFound);
    EXPECT_EQ(EntryValue(e, true) >> 16, 480u);
    EXPECT_EQ(FindTag(whole, b.Position(dir), 0x0102, e), kTagAbsent);
    // The reader's byte order decides: read as "II", the same bytes name other tags.
    ASSERT_EQ(FindTag(whole, b.Position(dir), 0x0100, e), kTagFound);
    EXPECT_NE(FindTag(TTiffReader(data, false), b.Position(dir), 0x0100, e), kTagFound);
    // The second entry does not fit; the count itself at the last byte cannot be read.
    const TByteVector cutBytes(data.begin(), data.begin() + b.Position(dir) + 2 + 12 + 6);
    const TTiffReader cut(cutBytes, true);
    EXPECT_EQ(FindTag(cut, b.Position(dir), 0x0101, e), kTagTruncated);
    EXPECT_EQ(FindTag(cut, cut.size() - 1, 0x0101, e), kTagTruncated);
    EXPECT_EQ(FindTag(cut, 0xFFFFFFFFull, 0x0101, e), kTagTruncated);
}

TEST(TiffWalkStructure, EntryCountsAndChainDepth) {
    for (std::uint16_t n : {0, 1, 100, 101}) {
        TTiffBuilder b;
        const auto dir = b.AddDirectory();
        for (std::uint16_t i = 0; i < n; ++i)
            b.Short(dir, static_cast<std::uint16_t>(0x1000 + i), {i});
        TFoundFile rec;
        EXPECT_EQ(WalkBuilt(b.Build(), rec), n == 0 || n > 100 ? kWalkUnusable : kWalkComplete) << n;
    }
    for (int dirs : {11, 12}) {
        TTiffBuilder b;
        std::size_t prev = 0;
        for (int i = 0; i < dirs; ++i) {
            const auto dir = b.AddDirectory();
            b.Short(dir, 0x0100, {static_cast<std::uint16_t>(i)});
            if (i > 0)
                b.Chain(prev, dir);
            prev = dir;
        }
        TFoundFile rec;
        EXPECT_EQ(WalkBuilt(b.Build(), rec), dirs == 11 ? kWalkComplete : kWalkUnusable) << dirs;
    }
}

TEST(TiffWalkStructure, RunsPastTheData) {
    TTiffBuilder b;
    const auto ifd0 = b.AddDirectory();
    b.Ascii(ifd0, 0x010F, "NIKON");
    b.Fixed(ifd0, 0x8769, kTiffLong, 1, 0);
    const TByteVector built = b.Build();
    // EXIF pointer whose offset + 14 exceeds the data: 1, with what was read kept.
    TByteVector data = built;
    data[8 + 2 + 12 + 8] = static_cast<std::uint8_t>(data.size() - 13);
    TFoundFile rec;
    EXPECT_EQ(WalkBuilt(data, rec), kWalkTruncated);
    EXPECT_EQ(rec.Make, "NIKON");
    // Next-directory offset that cannot be read, or a count at the very last byte.
    TTiffBuilder c;
    const auto dir = c.AddDirectory();
    c.Short(dir, 0x0100, {1});
    c.Short(dir, 0x0101, {1});
    const TByteVector whole = c.Build();
    const TByteVector cut(whole.begin(), whole.begin() + 8 + 2 + 24 + 2);
    rec.Reset();
    EXPECT_EQ(WalkBuilt(cut, rec), kWalkTruncated);
    rec.Reset();
    TTiffReader cutReader(cut);
    EXPECT_EQ(WalkDirectory(42, cutReader, 0, rec, static_cast<std::uint32_t>(cut.size() - 1)), kWalkTruncated);
    EXPECT_EQ(WalkDirectory(42, cutReader, 0, rec, static_cast<std::uint32_t>(cut.size())), kWalkUnusable);
}

TEST(TiffWalkStructure, LoopsAndNestingEndTheWalk) {
    {   // A sub-directory that points at itself.
        TTiffBuilder b;
        const auto ifd0 = b.AddDirectory();
        const auto exif = b.AddDirectory();
        b.SubDirectory(ifd0, exif);
        b.SubDirectory(exif, exif);
        TFoundFile rec;
        EXPECT_EQ(WalkBuilt(b.Build(), rec), kWalkUnusable);
    }
    {   // A sub-directory list that names the first directory again.
        TTiffBuilder b;
        const auto ifd0 = b.AddDirectory();
        const auto sub = b.AddDirectory();
        b.SubDirectories(ifd0, {sub});
        b.SubDirectories(sub, {ifd0});
        TFoundFile rec;
        EXPECT_EQ(WalkBuilt(b.Build(), rec), kWalkUnusable);
    }
    {   // Twenty nested sub-directories, each distinct.
        TTiffBuilder b;
        auto parent = b.AddDirectory();
        for (int i = 0; i < 20; ++i) {
            const auto child = b.AddDirectory();
            b.SubDirectory(parent, child);
            parent = child;
        }
        b.Short(parent, 0x0100, {1});
        TFoundFile rec;
        EXPECT_EQ(WalkBuilt(b.Build(), rec), kWalkUnusable);
    }
    {   // Three levels are fine, and a directory listed twice is walked twice.
        TTiffBuilder b;
        const auto ifd0 = b.AddDirectory();
        const auto a = b.AddDirectory();
        const auto c = b.AddDirectory();
        b.SubDirectories(ifd0, {a, a});
        b.SubDirectory(a, c);
        b.Short(c, 0x0100, {321});
        TFoundFile rec;
        EXPECT_EQ(WalkBuilt(b.Build(), rec), kWalkComplete);
        EXPECT_EQ(rec.Width, 321);
    }
}

TEST(TiffWalkStructure, HostileListsStayInsideTheData) {
    {   // A SubIFDs list of SHORTs: its offsets never read past the value.
        TTiffBuilder b;
        const auto ifd0 = b.AddDirectory();
        b.Raw(ifd0, 0x014A, kTiffShort, 3, {0x20, 0, 0, 0, 0, 0});
        TFoundFile rec;
        EXPECT_NE(WalkBuilt(b.Build(), rec), kWalkTruncated);
    }
    {   // A list element beyond the data gives -1; a single sub-directory there gives 1.
        TTiffBuilder b;
        const auto ifd0 = b.AddDirectory();
        b.Fixed(ifd0, 0x014A, kTiffLong, 1, 0x7FFFFFF0);
        TFoundFile rec;
        EXPECT_EQ(WalkBuilt(b.Build(), rec), kWalkUnusable);
    }
    {   // Each level lists the next a thousand times: a billion walks unless the work is bounded.
        TTiffBuilder b;
        const auto ifd0 = b.AddDirectory();
        const auto a = b.AddDirectory();
        const auto c = b.AddDirectory();
        const auto d = b.AddDirectory();
        b.SubDirectories(ifd0, std::vector<std::size_t>(1000, a));
        b.SubDirectories(a, std::vector<std::size_t>(1000, c));
        b.SubDirectories(c, std::vector<std::size_t>(1000, d));
        b.Short(d, 0x0100, {5});
        TFoundFile rec;
        EXPECT_EQ(WalkBuilt(b.Build(), rec), kWalkUnusable);
    }
    {   // Offsets and counts of 8-byte elements name no strip.
        TTiffBuilder b;
        const auto ifd0 = b.AddDirectory();
        b.Raw(ifd0, 0x0111, kTiffRational, 1, {0, 0, 0, 0, 0x10, 0, 0, 0});
        b.Raw(ifd0, 0x0117, kTiffRational, 1, {0, 0, 0, 0, 0x10, 0, 0, 0});
        const TByteVector data = b.Build();
        TFoundFile rec;
        EXPECT_EQ(WalkBuilt(data, rec), kWalkComplete);
        EXPECT_EQ(rec.Length, 8 + 2 + 24);
        EXPECT_EQ(rec.ThumbLength, 0u);
    }
}

TEST(TiffWalkMetadata, SizesTextsAndRationals) {
    TTiffBuilder b;
    const auto ifd0 = b.AddDirectory();
    const auto exif = b.AddDirectory();
    const auto ifd1 = b.AddDirectory();
    b.Short(ifd0, 0x0100, {4000});
    b.Long(ifd0, 0x0101, {3000});
    b.Ascii(ifd0, 0x010F, "  Canon ");
    b.Ascii(ifd0, 0x0110, "     ");
    b.SubDirectory(ifd0, exif);
    b.Chain(ifd0, ifd1);
    b.Rational(exif, 0x829A, 1, 250);
    b.Rational(exif, 0x829D, 28, 10);
    b.Short(exif, 0x8827, {400});
    b.Ascii(exif, 0x9003, "2024:05:06 07:08:09");
    b.Rational(exif, 0x920A, 50, 1);
    b.Short(ifd1, 0x0100, {160});
    b.Short(ifd1, 0x0101, {120});
    TFoundFile rec;
    rec.Model = "stale";
    ASSERT_EQ(WalkBuilt(b.Build(), rec), kWalkComplete);
    EXPECT_EQ(rec.Width, 4000);
    EXPECT_EQ(rec.Height, 3000);
    EXPECT_EQ(rec.Make, "Canon");
    EXPECT_EQ(rec.Model, "");
    EXPECT_EQ(rec.ExposureNum, 1u);
    EXPECT_EQ(rec.ExposureDen, 250u);
    EXPECT_EQ(rec.FNumberNum, 28u);
    EXPECT_EQ(rec.FocalNum, 50u);
    EXPECT_EQ(rec.ISO, 400);
    EXPECT_EQ(rec.DateTaken, "2024:05:06 07:08:09");
    EXPECT_GE(rec.Length, static_cast<std::int32_t>(b.Position(ifd0) + 2 + 12 * 6));

    // A rational whose 8 bytes leave the data is not read.
    TTiffBuilder c;
    const auto dir = c.AddDirectory();
    c.Fixed(dir, 0x829D, kTiffRational, 1, 30);
    const TByteVector small = c.Build();
    rec.Reset();
    ASSERT_EQ(WalkBuilt(small, rec), kWalkComplete);
    EXPECT_EQ(rec.FNumberDen, 0u);
}

// The 0x55 raw variant states the sensor's borders (top, left, bottom, right); the picture's
// size is what lies between them, not the borders themselves.
TEST(TiffWalkMetadata, SensorBordersOfTheRawVariantGiveThePixelSize) {
    auto build = [](std::uint16_t marker, bool inSub, std::uint16_t top, std::uint16_t left) {
        TTiffBuilder b(false, marker);
        const auto ifd0 = b.AddDirectory();
        const auto exif = b.AddDirectory();
        b.Short(ifd0, 0x0100, {1920});
        const auto target = inSub ? exif : ifd0;
        b.Short(target, 0x0004, {top});
        b.Short(target, 0x0005, {left});
        b.Short(target, 0x0006, {static_cast<std::uint16_t>(top + 2736)});
        b.Short(target, 0x0007, {static_cast<std::uint16_t>(left + 3648)});
        b.Short(target, 0x0017, {125});
        b.SubDirectory(ifd0, exif);
        b.Short(exif, 0xA002, {1920});
        return b.Build();
    };
    TFoundFile rec;
    for (std::uint16_t border : {0, 8}) {
        rec.Reset();
        ASSERT_EQ(WalkBuilt(build(0x55, false, border, border), rec), kWalkComplete);
        EXPECT_EQ(rec.Width, 3648) << border;
        EXPECT_EQ(rec.Height, 2736) << border;
        EXPECT_EQ(rec.ISO, 125);
    }

    // A bottom border above the top one names no picture: the size stays as the other tags say.
    TTiffBuilder b(false, 0x55);
    const auto ifd0 = b.AddDirectory();
    b.Short(ifd0, 0x0004, {500});
    b.Short(ifd0, 0x0006, {400});
    b.Short(ifd0, 0x0101, {1440});
    rec.Reset();
    ASSERT_EQ(WalkBuilt(b.Build(), rec), kWalkComplete);
    EXPECT_EQ(rec.Height, 1440);

    // Under marker 42, or in a sub-directory, the tags are ordinary fields.
    for (auto data : {build(42, false, 8, 8), build(0x55, true, 8, 8)}) {
        rec.Reset();
        ASSERT_EQ(WalkBuilt(data, rec), kWalkComplete);
        EXPECT_EQ(rec.Width, 1920);
        EXPECT_EQ(rec.Height, 0);
        EXPECT_EQ(rec.ISO, 0);
    }
}

TEST(TiffWalkThumbnail, SmallestCandidateWins) {
    for (bool smallFirst : {false, true}) {
        TTiffBuilder b;
        const auto ifd0 = b.AddDirectory();
        const auto ifd1 = b.AddDirectory();
        b.Chain(ifd0, ifd1);
        b.Short(ifd0, 0x0100, {320});
        const auto first = b.JpegThumbnail(ifd0, FakeJpeg(smallFirst ? 8000 : 12000));
        b.Short(ifd1, 0x0100, {160});
        const auto second = b.JpegThumbnail(ifd1, FakeJpeg(smallFirst ? 12000 : 8000));
        const TByteVector data = b.Build();
        TFoundFile rec;
        ASSERT_EQ(WalkBuilt(data, rec), kWalkComplete);
        EXPECT_EQ(rec.ThumbLength, 8000u);
        EXPECT_EQ(rec.ThumbOffset, b.Position(smallFirst ? first : second));
        EXPECT_EQ(rec.ThumbKind, kThumbJpeg);
        EXPECT_EQ(rec.ThumbWidth, smallFirst ? 320 : 160);
        EXPECT_EQ(rec.Length, static_cast<std::int32_t>(data.size()));
    }
}

TEST(TiffWalkThumbnail, RgbStripsAnd48BitRule) {
    auto rgbDir = [](TTiffBuilder& b, std::uint16_t bits, std::size_t bytes) {
        const auto dir = b.AddDirectory();
        b.Short(dir, 0x0100, {16});
        b.Short(dir, 0x0101, {12});
        b.Short(dir, 0x0102, {bits, bits, bits});
        b.Short(dir, 0x0103, {1});
        b.Short(dir, 0x0106, {2});
        b.Strips(dir, {b.AddData(TByteVector(bytes, 1))});
        return dir;
    };
    {   // A 48-bit strip after a JPEG leaves the JPEG in place even though it is smaller.
        TTiffBuilder b;
        const auto ifd0 = b.AddDirectory();
        b.JpegThumbnail(ifd0, FakeJpeg(8000));
        b.Chain(ifd0, rgbDir(b, 48, 500));
        TFoundFile rec;
        ASSERT_EQ(WalkBuilt(b.Build(), rec), kWalkComplete);
        EXPECT_EQ(rec.ThumbKind, kThumbJpeg);
        EXPECT_EQ(rec.ThumbLength, 8000u);
    }
    {   // As the first candidate it is taken; an 8-bit strip replaces a larger JPEG.
        for (std::uint16_t bits : {48, 8}) {
            TTiffBuilder b;
            const auto first = rgbDir(b, bits, 500);
            TFoundFile rec;
            ASSERT_EQ(WalkBuilt(b.Build(), rec), kWalkComplete);
            EXPECT_EQ(rec.ThumbKind, kThumbRgb);
            EXPECT_EQ(rec.ThumbLength, 500u);
            EXPECT_EQ(rec.ThumbBitsPerSample, bits);
            EXPECT_EQ(rec.ThumbWidth, 16);
            EXPECT_EQ(rec.ThumbHeight, 12);
            (void)first;
        }
    }
    {   // Byte counts without offsets before them change nothing.
        TTiffBuilder b;
        const auto ifd0 = b.AddDirectory();
        const auto strip = b.AddData(TByteVector(900, 0));
        b.Short(ifd0, 0x0103, {6});
        b.Sizes(ifd0, 0x0117, {strip});
        b.Pointers(ifd0, 0x0111, {strip});
        TFoundFile rec;
        ASSERT_EQ(WalkBuilt(b.Build(), rec), kWalkComplete);
        EXPECT_EQ(rec.ThumbLength, 0u);
        EXPECT_EQ(rec.Length, 8 + 2 + 36);
    }
}

TEST(TiffWalkThumbnail, BigEndianShortStripOffsets) {
    TTiffBuilder b(true);
    const auto ifd0 = b.AddDirectory();
    b.Short(ifd0, 0x0100, {0x0102});
    b.Short(ifd0, 0x0103, {6}); // old-style JPEG strips
    std::vector<std::size_t> strips;
    for (std::size_t size : {300, 400, 0x123})
        strips.push_back(b.AddData(TByteVector(size, 3)));
    b.Strips(ifd0, strips, kTiffShort);
    const TByteVector data = b.Build();
    TFoundFile rec;
    ASSERT_EQ(WalkBuilt(data, rec), kWalkComplete);
    EXPECT_EQ(rec.Width, 0x0102);
    EXPECT_EQ(rec.ThumbOffset, b.Position(strips.back()));
    EXPECT_EQ(rec.ThumbLength, 0x123u);
    EXPECT_EQ(rec.Length, static_cast<std::int32_t>(data.size()));
}

TEST(TiffWalkLength, StripEndsBeyondTheSignedRangeAreUnknown) {
    TTiffBuilder b;
    const auto ifd0 = b.AddDirectory();
    b.Long(ifd0, 0x0111, {0xFFFFFFFF});
    b.Long(ifd0, 0x0117, {0x100});
    b.Raw(ifd0, 0x1234, kTiffUndefined, 8, TByteVector(8, 0));
    TFoundFile rec;
    EXPECT_EQ(WalkBuilt(b.Build(), rec), kWalkComplete);
    EXPECT_EQ(rec.Length, -1);
}

TEST(TiffWalkMakerNotes, OlympusMinoltaAndSony) {
    auto withNote = [](const std::string& make, TByteVector prefix, auto fillNote) {
        TTiffBuilder b;
        const auto ifd0 = b.AddDirectory();
        const auto exif = b.AddDirectory();
        const auto note = b.AddDirectory(std::move(prefix));
        b.Ascii(ifd0, 0x010F, make);
        b.SubDirectory(ifd0, exif);
        b.Short(exif, 0xA002, {640});
        b.MakerNote(exif, note);
        fillNote(b, note);
        return b.Build();
    };
    TFoundFile rec;
    const TByteVector olympus = withNote("OLYMPUS IMAGING CORP.", TByteVector{'O', 'L', 'Y', 'M', 'P', 0, 1, 0},
                                         [](TTiffBuilder& b, std::size_t note) { b.Fixed(note, 0x0100, kTiffUndefined, 5000, 0x400); });
    ASSERT_EQ(WalkBuilt(olympus, rec), kWalkComplete);
    EXPECT_EQ(rec.ThumbOffset, 0x400u);
    EXPECT_EQ(rec.ThumbLength, 5000u);
    EXPECT_EQ(rec.ThumbKind, kThumbJpeg);
    EXPECT_EQ(rec.ThumbWidth, 640);

    // Minolta: the offset is kept even without a length.
    rec.Reset();
    const TByteVector minolta = withNote("Minolta Co., Ltd.", {},
                                         [](TTiffBuilder& b, std::size_t note) { b.Fixed(note, 0x0088, kTiffLong, 1, 0x1234); });
    ASSERT_EQ(WalkBuilt(minolta, rec), kWalkComplete);
    EXPECT_EQ(rec.ThumbOffset, 0x1234u);
    EXPECT_EQ(rec.ThumbLength, 0u);
    EXPECT_EQ(rec.ThumbKind, kThumbNone);

    // Sony: the ARW raw-data directory sets the length through the maker note.
    TTiffBuilder b;
    const auto ifd0 = b.AddDirectory();
    const auto exif = b.AddDirectory();
    const auto note = b.AddDirectory(TByteVector{'S', 'O', 'N', 'Y', ' ', 'D', 'S', 'C', ' ', 0, 0, 0});
    const auto rawDir = b.AddDirectory();
    b.Short(ifd0, 0x0100, {6000});
    b.Ascii(ifd0, 0x010F, "SONY");
    b.Fixed(ifd0, 0x014A, kTiffLong, 1, 0x100000);
    b.SubDirectory(ifd0, exif);
    b.MakerNote(exif, note);
    b.Pointer(note, 0xB028, rawDir);
    b.Long(rawDir, 0x0040, {0x200000});
    rec.Reset();
    std::uint32_t sonyRawDir = 0;
    ASSERT_EQ(WalkBuilt(b.Build(), rec, &sonyRawDir), kWalkComplete);
    EXPECT_EQ(sonyRawDir, 0x100000u);
    EXPECT_EQ(rec.Length, 0x300000);
}

TEST(TiffSizeLimits, InclusiveLimitsPerName) {
    EXPECT_TRUE(SizeWithinLimit("BM", 10485760));
    EXPECT_FALSE(SizeWithinLimit("BM", 10485761));
    EXPECT_TRUE(SizeWithinLimit("MRW", 1073741824));
    EXPECT_FALSE(SizeWithinLimit("MRW", 1073741825));
    EXPECT_TRUE(SizeWithinLimit("RAF", 1073741824));
    EXPECT_FALSE(SizeWithinLimit("RAF", 1073741825));
    EXPECT_FALSE(SizeWithinLimit("XYZ", 1));
}
