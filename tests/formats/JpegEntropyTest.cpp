#include <gtest/gtest.h>

#include <cstdlib>
#include <jpeglib.h>

#include "formats/JpegEntropy.h"
#include "testkit/UsedCard.h"

namespace lumivore {
namespace {

using testkit::TByteVector;
using testkit::TRgbImage;

TByteVector Photo(int restartInterval, unsigned seed = 3) {
    return testkit::EncodeJpegRestarts(TRgbImage::Pattern(320, 240, seed), 90, restartInterval);
}

// First offset of a restart marker in the scan data, or 0.
std::size_t FirstRestart(const TByteVector& j) {
    for (std::size_t i = 2; i + 1 < j.size(); ++i)
        if (j[i] == 0xFF && j[i + 1] >= 0xD0 && j[i + 1] <= 0xD7)
            return i;
    return 0;
}

TEST(JpegEntropy, RealPhotosDecodeToTheirEndMarker) {
    for (int restarts : {0, 1, 7, 40}) {
        const TByteVector j = Photo(restarts);
        std::uint64_t end = 0;
        EXPECT_EQ(CheckJpeg(j, &end), TJpegCheck::Clean) << restarts;
        EXPECT_EQ(end, j.size()) << restarts;
        // What follows the end marker is not the photo's business.
        TByteVector tail = j;
        tail.insert(tail.end(), 4096, 0x5A);
        EXPECT_EQ(CheckJpeg(tail, &end), TJpegCheck::Clean);
        EXPECT_EQ(end, j.size());
    }
}

TEST(JpegEntropy, FedInPiecesDecodesAsWhole) {
    for (int restarts : {0, 5}) {
        const TByteVector j = Photo(restarts);
        TMemoryJpegSource source(j);
        TJpegEntropyDecoder d;
        TJpegCheck r = TJpegCheck::NeedMore;
        std::uint64_t limit = 0, lastResume = 0;
        while (r == TJpegCheck::NeedMore && limit < j.size() + 512) {
            limit += 512;
            r = d.Run(source, std::min<std::uint64_t>(limit, j.size()));
            if (r == TJpegCheck::NeedMore) {
                // The place to go on from never moves back and never passes what was given.
                EXPECT_GE(d.Resume(), lastResume);
                EXPECT_LE(d.Resume(), limit);
                lastResume = d.Resume();
            }
        }
        EXPECT_EQ(r, TJpegCheck::Clean) << restarts;
        EXPECT_EQ(d.EndOffset(), j.size());
        // A decoder taken back for more bytes leaves no trace: what it measured of the
        // picture is what one run over the whole file measures.
        TJpegEntropyDecoder once;
        TMemoryJpegSource all(j);
        ASSERT_EQ(once.Run(all, j.size()), TJpegCheck::Clean);
        EXPECT_EQ(d.UnitsDecoded(), once.UnitsDecoded());
        EXPECT_EQ(d.VerticalPairs(), once.VerticalPairs());
        EXPECT_EQ(d.VerticalDifferenceSum(), once.VerticalDifferenceSum());
        EXPECT_GT(once.VerticalPairs(), 0u);
    }
}

TEST(JpegEntropy, ACopyGoesOnOverAnotherContinuation) {
    const TByteVector j = Photo(0);
    const std::uint64_t cut = j.size() / 2;
    TMemoryJpegSource source(j);
    TJpegEntropyDecoder d;
    ASSERT_EQ(d.Run(source, cut), TJpegCheck::NeedMore);
    // A wrong continuation: the prefix, then noise.
    TByteVector wrong(j.begin(), j.begin() + static_cast<std::ptrdiff_t>(cut));
    std::srand(7);
    for (int i = 0; i < 8192; ++i)
        wrong.push_back(static_cast<std::uint8_t>(std::rand()));
    TJpegEntropyDecoder tryWrong = d;
    TMemoryJpegSource wrongSource(wrong);
    EXPECT_EQ(tryWrong.Run(wrongSource, wrong.size()), TJpegCheck::Corrupt);
    EXPECT_GE(tryWrong.FailOffset(), cut - 64);
    EXPECT_LT(tryWrong.FailOffset(), cut + 4096);
    // The saved decoder is untouched by the failed try and finishes over the right bytes.
    TJpegEntropyDecoder tryRight = d;
    EXPECT_EQ(tryRight.Run(source, j.size()), TJpegCheck::Clean);
}

TEST(JpegEntropy, DamageIsNoticedNearWhereItBegins) {
    const TByteVector j = Photo(0, 9);
    for (std::size_t at : {j.size() / 3, j.size() / 2, j.size() * 3 / 4}) {
        TByteVector bad = j;
        bad.insert(bad.begin() + static_cast<std::ptrdiff_t>(at), {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x10});
        TMemoryJpegSource source(bad);
        TJpegEntropyDecoder d;
        EXPECT_EQ(d.Run(source, bad.size()), TJpegCheck::Corrupt) << at;
        EXPECT_GE(d.FailOffset() + 16, at);
        EXPECT_LE(d.FailOffset(), at + 16);
    }
}

TEST(JpegEntropy, MarkersOutOfOrderOrTooMuchDataAreCorrupt) {
    // A restart marker with the wrong number.
    TByteVector j = Photo(2);
    const std::size_t rst = FirstRestart(j);
    ASSERT_NE(rst, 0u);
    TByteVector wrongNumber = j;
    wrongNumber[rst + 1] = 0xD3;
    EXPECT_EQ(CheckJpeg(wrongNumber), TJpegCheck::Corrupt);
    // A restart marker left out: data goes on where the marker belongs.
    TByteVector missing = j;
    missing.erase(missing.begin() + static_cast<std::ptrdiff_t>(rst), missing.begin() + static_cast<std::ptrdiff_t>(rst) + 2);
    EXPECT_EQ(CheckJpeg(missing), TJpegCheck::Corrupt);
    // Bytes between the last block and the end marker.
    TByteVector extra = Photo(0);
    extra.insert(extra.end() - 2, {0x12, 0x34, 0x56});
    EXPECT_EQ(CheckJpeg(extra), TJpegCheck::Corrupt);
    // The end marker too early: blocks are missing.
    TByteVector early = Photo(0);
    early.resize(early.size() / 2);
    early.push_back(0xFF);
    early.push_back(0xD9);
    EXPECT_EQ(CheckJpeg(early), TJpegCheck::Corrupt);
}

TEST(JpegEntropy, ProgressiveIsNotFollowed) {
    const TRgbImage image = TRgbImage::Pattern(64, 48, 1);
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = 64;
    cinfo.image_height = 48;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.Pixel(0, static_cast<int>(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    const TByteVector j(buffer, buffer + size);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    EXPECT_EQ(CheckJpeg(j), TJpegCheck::Unsupported);
}

TEST(JpegEntropy, HostileHeadersNeverReadPastTheirBytes) {
    const TByteVector j = Photo(0);
    // Every cut of the header and the first scan bytes: a clean "need more", never a read
    // past the end (the sanitizer build watches).
    for (std::size_t n = 0; n < std::min<std::size_t>(j.size(), 800); ++n) {
        const TByteVector cut(j.begin(), j.begin() + static_cast<std::ptrdiff_t>(n));
        const TJpegCheck r = CheckJpeg(cut);
        EXPECT_EQ(r, TJpegCheck::NeedMore) << n;
    }
    // Damage anywhere: whatever the bytes, feeding them in pieces must end as decoding them
    // whole does, at the same place.
    std::srand(11);
    for (int trial = 0; trial < 300; ++trial) {
        TByteVector bad = j;
        const std::size_t at = 2 + static_cast<std::size_t>(std::rand()) % (bad.size() - 2);
        bad[at] = static_cast<std::uint8_t>(std::rand());
        TMemoryJpegSource source(bad);
        TJpegEntropyDecoder whole, fed;
        const TJpegCheck once = whole.Run(source, bad.size());
        TJpegCheck r = TJpegCheck::NeedMore;
        for (std::uint64_t limit = 0; r == TJpegCheck::NeedMore && limit < bad.size();) {
            limit = std::min<std::uint64_t>(limit + 1 + static_cast<std::uint64_t>(std::rand()) % 700, bad.size());
            r = fed.Run(source, limit);
        }
        ASSERT_EQ(r, once) << "byte " << at;
        if (r == TJpegCheck::Corrupt) {
            EXPECT_EQ(fed.FailOffset(), whole.FailOffset()) << "byte " << at;
        }
        if (r == TJpegCheck::Clean) {
            EXPECT_EQ(fed.EndOffset(), whole.EndOffset());
        }
    }
    // A Huffman table with more codes of one bit than one bit can hold.
    TByteVector overfull = j;
    for (std::size_t i = 2; i + 6 < overfull.size(); ++i)
        if (overfull[i] == 0xFF && overfull[i + 1] == 0xC4) {
            overfull[i + 5] = 3;
            break;
        }
    EXPECT_EQ(CheckJpeg(overfull), TJpegCheck::Corrupt);
    const TByteVector notJpeg = {0x00, 0x01, 0x02};
    EXPECT_EQ(CheckJpeg(notJpeg), TJpegCheck::Corrupt);
}

} // namespace
} // namespace lumivore

namespace lumivore {
namespace {

TJpegCheck LookAtMarkers(const testkit::TByteVector& j, std::uint64_t* end = nullptr) {
    TMemoryJpegSource source(j);
    const TMarkerScan look = ScanJpegMarkers(source, j.size());
    if (end != nullptr)
        *end = look.End;
    return look.Result;
}

TEST(JpegMarkerScan, AgreesWithTheDecodeOnWholeAndDamagedPhotos) {
    for (int restarts : {0, 3}) {
        testkit::TByteVector j = testkit::EncodeJpegRestarts(testkit::TRgbImage::Pattern(200, 150, 4), 85, restarts);
        std::uint64_t end = 0;
        EXPECT_EQ(LookAtMarkers(j, &end), TJpegCheck::Clean);
        EXPECT_EQ(end, j.size());
        // Cut short: not known yet.
        EXPECT_EQ(LookAtMarkers(testkit::TByteVector(j.begin(), j.begin() + static_cast<std::ptrdiff_t>(j.size() / 2))),
                  TJpegCheck::NeedMore);
        // Another file's start in the coded data.
        testkit::TByteVector foreign = j;
        foreign.insert(foreign.begin() + static_cast<std::ptrdiff_t>(j.size() / 2), {0xFF, 0xD8, 0xFF, 0xE0});
        EXPECT_EQ(LookAtMarkers(foreign), TJpegCheck::Corrupt);
    }
    // Restart markers out of their order.
    testkit::TByteVector r = testkit::EncodeJpegRestarts(testkit::TRgbImage::Pattern(200, 150, 4), 85, 2);
    for (std::size_t i = 600; i + 1 < r.size(); ++i)
        if (r[i] == 0xFF && r[i + 1] == 0xD1) {
            r[i + 1] = 0xD5;
            break;
        }
    EXPECT_EQ(LookAtMarkers(r), TJpegCheck::Corrupt);
}

} // namespace
} // namespace lumivore

namespace lumivore {
namespace {

// Zeroed and erased space would decode as endless runs of small values; it must stop the data
// where it begins, not where the block count finally runs out.
TEST(JpegEntropy, ZeroedOrErasedSpaceEndsTheDataWhereItBegins) {
    const testkit::TByteVector j = testkit::GrainyPhoto(320, 240, 21);
    const std::size_t cut = j.size() / 2;
    for (std::uint8_t fill : {0x00, 0xFF}) {
        testkit::TByteVector blank(j.begin(), j.begin() + static_cast<std::ptrdiff_t>(cut));
        blank.insert(blank.end(), 64 * 1024, fill);
        TMemoryJpegSource source(blank);
        TJpegEntropyDecoder d;
        EXPECT_EQ(d.Run(source, blank.size()), TJpegCheck::Corrupt) << int(fill);
        EXPECT_GE(d.FailOffset() + 16, cut) << int(fill);
        EXPECT_LE(d.FailOffset(), cut + 16) << int(fill);
    }
}

} // namespace
} // namespace lumivore
