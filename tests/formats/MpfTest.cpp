// The multi-picture index: where a JPEG with appended previews really ends.
#include <gtest/gtest.h>

#include "formats/Measure.h"
#include "formats/Mpf.h"
#include "testkit/PhotoBuilder.h"

namespace lumivore {
namespace {

using testkit::TByteVector;

TByteVector MainJpeg() {
    testkit::TJpegBuilder b;
    b.Jfif().Picture(testkit::EncodeJpeg(testkit::TRgbImage::Pattern(64, 48, 1)));
    return b.Build();
}

TByteVector Preview() { return testkit::EncodeJpeg(testkit::TRgbImage::Pattern(160, 120, 2)); }

// A JPEG whose APP2 multi-picture segment carries the given payload, at position 2.
TByteVector WithIndexPayload(const TByteVector& payload, std::size_t scanBytes = 100) {
    testkit::TJpegBuilder b;
    b.Segment(0xE2, payload).FakeScan(scanBytes);
    return b.Build();
}

TEST(MpfExtent, PreviewAfterMainImageInBothByteOrders) {
    const TByteVector main = MainJpeg(), preview = Preview();
    for (bool bigEndian : {false, true}) {
        const TByteVector file = testkit::JpegWithPreview(main, preview, bigEndian);
        EXPECT_EQ(MpfExtent(file), static_cast<std::int64_t>(file.size())) << bigEndian;
        // The picture ends at the main image's EOI; the file with the preview appended to it.
        TFoundFile rec;
        rec.Ext = "JPG";
        EXPECT_EQ(MeasureJpegPictureLength(file), static_cast<std::int64_t>(file.size() - preview.size()));
        EXPECT_EQ(MeasureLength(rec, file), static_cast<std::int64_t>(file.size()));
        // Only the index is needed, not the appended image itself.
        const TByteVector head(file.begin(), file.begin() + 200);
        EXPECT_EQ(MpfExtent(head), static_cast<std::int64_t>(file.size()));
    }
}

TEST(MpfExtent, EntryEndsFromTiffHeaderOrFileStart) {
    // Segment at 2: the TIFF header stands at 2 + 8 = 10.
    const testkit::TMpfImage images[] = {{0, 5000, 0}, {0, 700, 6000}, {0, 300, 100}};
    EXPECT_EQ(MpfExtent(WithIndexPayload(testkit::MpfPayload(images))), 10 + 6000 + 700);
    const testkit::TMpfImage firstOnly[] = {{0, 5000, 0}};
    EXPECT_EQ(MpfExtent(WithIndexPayload(testkit::MpfPayload(firstOnly, true))), 5000);
    const testkit::TMpfImage emptyEntries[] = {{0, 0, 0}, {0, 0, 400}};
    EXPECT_EQ(MpfExtent(WithIndexPayload(testkit::MpfPayload(emptyEntries))), -1);
}

TEST(MpfExtent, NoIndexOrIndexAfterScan) {
    EXPECT_EQ(MpfExtent(MainJpeg()), -1);
    testkit::TJpegBuilder b;
    const testkit::TMpfImage images[] = {{0, 5000, 0}};
    b.FakeScan(10).Segment(0xE2, testkit::MpfPayload(images));
    EXPECT_EQ(MpfExtent(b.Build()), -1);
    const TByteVector notJpeg = {0x00, 0xD8, 0xFF, 0xE2};
    EXPECT_EQ(MpfExtent(notJpeg), -1);
    // An APP2 segment of another kind (an ICC profile) is passed over.
    testkit::TJpegBuilder icc;
    const TByteVector profile = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0, 1, 1};
    icc.Segment(0xE2, profile).Segment(0xE2, testkit::MpfPayload(images)).FakeScan(10);
    EXPECT_EQ(MpfExtent(icc.Build()), 5000);
}

TEST(MpfExtent, MalformedIndexes) {
    const testkit::TMpfImage images[] = {{0, 5000, 0}, {0, 700, 6000}};
    const TByteVector good = testkit::MpfPayload(images);
    ASSERT_EQ(MpfExtent(WithIndexPayload(good)), 6710);
    auto damaged = [&](std::size_t at, std::uint8_t value) {
        TByteVector payload = good;
        payload[at] = value;
        return MpfExtent(WithIndexPayload(payload));
    };
    // Payload layout: "MPF\0" 0-3, TIFF header 4-11, directory at 12: count, then entries of
    // 12 bytes (version, number of images, image entries at 12 + 2 + 24).
    EXPECT_EQ(damaged(4, 'X'), -1);                // byte order
    EXPECT_EQ(damaged(6, 43), -1);                 // magic number
    EXPECT_EQ(damaged(8, 0xF0), -1);               // directory outside the segment
    EXPECT_EQ(damaged(12 + 2 + 24 + 2, 3), -1);    // entry list not UNDEFINED
    EXPECT_EQ(damaged(12 + 2 + 24 + 4, 33), -1);   // count not a multiple of 16
    EXPECT_EQ(damaged(12 + 2 + 24 + 4, 0), -1);    // no entries
    EXPECT_EQ(damaged(12 + 2 + 24 + 8, 0xFF), -1); // entries outside the segment
    EXPECT_EQ(damaged(12 + 2 + 24, 0x05), -1);     // no entry list at all (tag changed)
    // An extent beyond 52,428,800 is refused; exactly at it is accepted.
    const testkit::TMpfImage huge[] = {{0, 5000, 0}, {0, 52'428'800 - 10 - 6000 + 1, 6000}};
    EXPECT_EQ(MpfExtent(WithIndexPayload(testkit::MpfPayload(huge))), -1);
    const testkit::TMpfImage atLimit[] = {{0, 5000, 0}, {0, 52'428'800 - 10 - 6000, 6000}};
    EXPECT_EQ(MpfExtent(WithIndexPayload(testkit::MpfPayload(atLimit))), 52'428'800);
    const testkit::TMpfImage wraps[] = {{0, 0xFFFFFFFFu, 0xFFFFFFFFu}};
    EXPECT_EQ(MpfExtent(WithIndexPayload(testkit::MpfPayload(wraps))), -1);
}

TEST(MpfExtent, SegmentLongerThanDataAndEveryTruncation) {
    const TByteVector file = testkit::JpegWithPreview(MainJpeg(), Preview());
    std::size_t indexEnd = 0;
    for (std::size_t n = 0; n < 400; ++n) {
        const TByteVector prefix(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
        const std::int64_t extent = MpfExtent(prefix);
        EXPECT_TRUE(extent == -1 || extent == static_cast<std::int64_t>(file.size())) << n;
        if (extent != -1 && indexEnd == 0)
            indexEnd = n;
    }
    // Known only once the whole segment is inside the data.
    EXPECT_GT(indexEnd, 20u + 8 + 50);
}

} // namespace
} // namespace lumivore
