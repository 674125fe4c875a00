#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <vector>
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
    // A segment under a reserved marker, which no coder writes (bytes that only begin like a
    // JPEG), against the same segment as an application's: the decode and the marker scan agree.
    for (const std::uint8_t marker : {std::uint8_t{0x81}, std::uint8_t{0xE9}}) {
        testkit::TByteVector segment = testkit::EncodeJpeg(testkit::TRgbImage::Pattern(64, 48, 5));
        segment.insert(segment.begin() + 2, {0xFF, marker, 0x00, 0x06, 0x11, 0x22, 0x33, 0x44});
        const TJpegCheck expected = marker == 0x81 ? TJpegCheck::Corrupt : TJpegCheck::Clean;
        EXPECT_EQ(CheckJpeg(segment), expected);
        EXPECT_EQ(LookAtMarkers(segment), expected);
    }
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

namespace lumivore {
namespace {

// Pictures of each layout a camera or editor writes: a luminance block group of 2x2, 2x1 or 1x1
// blocks, greyscale, one component per scan; tables made for the picture (codes up to 16 bits)
// or the usual ones, at qualities that give values of every size, with and without restart
// markers. Grain makes the coded data run long.
struct TLayout {
    int Width, Height, Quality, Restart;
    int H, V; // the luminance's sampling; the colour components are 1x1
    bool Grey, OwnTables, ScanPerComponent;
};

testkit::TByteVector EncodeLayout(const TLayout& l, unsigned seed) {
    testkit::TRgbImage image = testkit::TRgbImage::Pattern(l.Width, l.Height, seed);
    std::uint32_t r = seed * 2654435761u + 1;
    for (std::uint8_t& v : image.Pixels) {
        r = r * 1664525u + 1013904223u;
        v = static_cast<std::uint8_t>(std::clamp<int>(v + static_cast<int>(r >> 27) - 16, 0, 255));
    }
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(l.Width);
    cinfo.image_height = static_cast<JDIMENSION>(l.Height);
    cinfo.input_components = l.Grey ? 1 : 3;
    cinfo.in_color_space = l.Grey ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, l.Quality, TRUE);
    cinfo.restart_interval = static_cast<unsigned>(l.Restart);
    cinfo.optimize_coding = l.OwnTables;
    if (!l.Grey) {
        cinfo.comp_info[0].h_samp_factor = l.H;
        cinfo.comp_info[0].v_samp_factor = l.V;
    }
    std::array<jpeg_scan_info, 3> scans{};
    if (l.ScanPerComponent && !l.Grey) {
        for (int c = 0; c < 3; ++c) {
            scans[static_cast<std::size_t>(c)].comps_in_scan = 1;
            scans[static_cast<std::size_t>(c)].component_index[0] = c;
            scans[static_cast<std::size_t>(c)].Se = 63;
        }
        cinfo.scan_info = scans.data();
        cinfo.num_scans = 3;
    }
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<std::uint8_t> row(static_cast<std::size_t>(l.Width) * 3);
    while (cinfo.next_scanline < cinfo.image_height) {
        const std::uint8_t* p = image.Pixel(0, static_cast<int>(cinfo.next_scanline));
        for (int x = 0; x < l.Width * (l.Grey ? 1 : 3); ++x)
            row[static_cast<std::size_t>(x)] = p[l.Grey ? 3 * x : x];
        JSAMPROW rows[] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    const testkit::TByteVector out(buffer, buffer + size);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return out;
}

void Fold(std::uint64_t& h, std::uint64_t v) { h = (h ^ v) * 0x100000001B3ull; }

// Every answer of a decoder after a run, folded into a running hash.
void Fold(std::uint64_t& h, const TJpegEntropyDecoder& d, TJpegCheck r) {
    for (const std::uint64_t v : {std::uint64_t{static_cast<std::uint8_t>(r)}, d.Resume(), d.FailOffset(), d.EndOffset(),
                                  d.UnitsDecoded(), d.VerticalDifferenceSum(), d.VerticalPairs(), std::uint64_t{d.InScan()}})
        Fold(h, v);
}

std::uint64_t Below(std::uint64_t& rng, std::uint64_t n) {
    rng ^= rng << 13;
    rng ^= rng >> 7;
    rng ^= rng << 17;
    return rng % n;
}

// A picture damaged as cards damage them: bytes changed, zeroed or erased, a marker or a run of
// zeros or fill bytes put in, bytes lost, the rest cut off.
testkit::TByteVector Damage(testkit::TByteVector b, std::uint64_t& rng) {
    auto next = [&rng](std::uint64_t n) { return Below(rng, n); };
    const auto at = static_cast<std::ptrdiff_t>(2 + next(b.size() - 2));
    switch (next(9)) {
    case 0: b[static_cast<std::size_t>(at)] ^= static_cast<std::uint8_t>(1 + next(255)); break;
    case 1: b[static_cast<std::size_t>(at)] = 0x00; break;
    case 2: b[static_cast<std::size_t>(at)] = 0xFF; break;
    case 3: b.insert(b.begin() + at, {0xFF, static_cast<std::uint8_t>(0xD0 + next(8))}); break;
    case 4: b.insert(b.begin() + at, 60 + next(8), 0x00); break;
    case 5: b.insert(b.begin() + at, 60 + next(8), 0xFF); break;
    case 6: b.erase(b.begin() + at, b.begin() + std::min<std::ptrdiff_t>(at + 1 + static_cast<std::ptrdiff_t>(next(40)), static_cast<std::ptrdiff_t>(b.size()))); break;
    case 7: b.resize(static_cast<std::size_t>(at)); break;
    default:
        for (std::size_t i = static_cast<std::size_t>(at); i < std::min(b.size(), static_cast<std::size_t>(at) + 48); ++i)
            b[i] = static_cast<std::uint8_t>(next(256));
    }
    return b;
}

// Fingerprints of every answer the decoder gives over damaged copies of each picture, fed whole,
// in pieces of many sizes, and as copies taken where it needed more run on over another
// continuation; taken when the decode went code by code. Looking codes up several at a time
// must not change one of them: not where damage is noticed, nor where a decode goes on from.
TEST(JpegEntropy, AnswersStayTheSameOverDamageAndPieces) {
    struct TCase {
        TLayout Layout;
        std::uint64_t PictureHash; // the picture as the JPEG library codes it
        std::uint64_t Answers;
    };
    const TCase cases[] = {
        {{120, 80, 90, 0, 2, 2, false, false, false}, 0x47C7A95B00308349ull, 0x84207D4DA41B14E8ull},
        {{123, 77, 75, 3, 2, 1, false, false, false}, 0x3CDCB7AC1B647EFAull, 0x8A466A0FF2772243ull},
        {{96, 64, 100, 0, 1, 1, false, true, false}, 0x8EC1685522D6D45Eull, 0xCB4F7E069465BC0Dull},
        {{101, 59, 85, 5, 1, 1, true, false, false}, 0x78C9EB04BFE967A8ull, 0x9F00758DA2529DACull},
        {{140, 100, 92, 7, 2, 2, false, true, true}, 0x93B38050A754D136ull, 0xA1894F71C9E4129ull},
        {{61, 33, 98, 1, 1, 2, false, true, false}, 0x1860B560D6A5C4FEull, 0x7E9336B2D5076861ull},
    };
    int compared = 0;
    for (std::size_t c = 0; c < std::size(cases); ++c) {
        const testkit::TByteVector picture = EncodeLayout(cases[c].Layout, static_cast<unsigned>(c + 1));
        std::uint64_t pictureHash = 0xCBF29CE484222325ull, h = pictureHash;
        for (const std::uint8_t b : picture)
            Fold(pictureHash, b);
        std::uint64_t rng = 0x9E3779B97F4A7C15ull + c;
        for (int trial = 0; trial < 150; ++trial) {
            const testkit::TByteVector bad = trial == 0 ? picture : Damage(picture, rng);
            const testkit::TByteVector other = trial % 2 ? picture : Damage(picture, rng);
            TMemoryJpegSource source(bad), otherSource(other);
            TJpegEntropyDecoder d;
            int copies = 0;
            // Whole, in pieces of up to 1 KiB or of up to 48 bytes; some from a cut anywhere.
            const std::uint64_t step = trial % 3 == 0 ? bad.size() : trial % 3 == 1 ? 1024 : 48;
            for (std::uint64_t limit = trial % 5 == 4 ? Below(rng, bad.size()) : 0;;) {
                limit = std::min<std::uint64_t>(limit + 1 + Below(rng, step), bad.size());
                const TJpegCheck r = d.Run(source, limit);
                Fold(h, d, r);
                if (r != TJpegCheck::NeedMore || limit == bad.size())
                    break;
                if (copies++ < 4) {
                    TJpegEntropyDecoder copy = d;
                    Fold(h, copy, copy.Run(otherSource, other.size()));
                }
            }
        }
        // Another version of the JPEG library may code the pictures otherwise: then there is
        // nothing to compare with.
        if (pictureHash != cases[c].PictureHash)
            continue;
        ++compared;
        EXPECT_EQ(h, cases[c].Answers) << "layout " << c;
    }
    if (compared == 0)
        GTEST_SKIP() << "the JPEG library codes the pictures otherwise than when the answers were taken";
}

} // namespace
} // namespace lumivore
