// Box-structured files: brands to types, lengths from the top-level boxes (32-bit, 64-bit,
// size 0, cut by the end of the data, followed by noise), the metadata of pictures, movies and
// CR3 raws, and the limits that hold against hostile boxes.
#include "formats/IsoMedia.h"

#include <gtest/gtest.h>

#include <string>

#include "engine/FileTypes.h"
#include "formats/Recognisers.h"
#include "testkit/ByteWriter.h"
#include "testkit/IsoBuilder.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TempFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace lumivore;
using namespace lumivore::testkit;

namespace {

// The file at a sector start as the scan sees it: followed by bytes of a deleted file that
// belong to no box structure.
TByteVector WithNoise(TByteVector file, std::size_t noise = 700) {
    for (std::size_t i = 0; i < noise; ++i)
        file.push_back(static_cast<std::uint8_t>(0x80 + (i * 29) % 97));
    return file;
}

TFoundFile Recognise(const TByteVector& data, bool expectFound = true) {
    TFoundFile rec;
    EXPECT_EQ(RecogniseIsoMedia(data, rec), expectFound);
    return rec;
}

TEST(IsoMediaBrands, EachBrandNamesItsType) {
    struct TCase {
        const char* major;
        std::initializer_list<const char*> compatible;
        const char* ext;
        std::uint8_t phone;
    };
    const TCase cases[] = {
        {"heic", {"mif1", "heic"}, "HEIC", kPhoneHeic}, {"heix", {}, "HEIC", kPhoneHeic},
        {"hevc", {}, "HEIC", kPhoneHeic},               {"heim", {}, "HEIC", kPhoneHeic},
        {"heis", {}, "HEIC", kPhoneHeic},               {"mif1", {"mif1", "miaf"}, "HEIF", kPhoneHeic},
        {"msf1", {}, "HEIF", kPhoneHeic},               {"mif1", {"miaf", "heic"}, "HEIC", kPhoneHeic},
        {"mif1", {"avif", "mif1"}, "AVIF", kPhoneAvif}, {"avif", {"mif1"}, "AVIF", kPhoneAvif},
        {"avis", {}, "AVIF", kPhoneAvif},               {"crx ", {"crx ", "isom"}, "CR3", kPhoneCr3},
        {"qt  ", {"qt  "}, "MOV", kPhoneMov},           {"3gp4", {}, "3GP", kPhone3gp},
        {"3gp6", {"isom"}, "3GP", kPhone3gp},           {"3g2a", {}, "3G2", kPhone3gp},
        {"M4V ", {"M4V ", "mp42"}, "M4V", kPhoneMp4},   {"isom", {"isom", "avc1"}, "MP4", kPhoneMp4},
        {"mp42", {}, "MP4", kPhoneMp4},                 {"mp41", {}, "MP4", kPhoneMp4},
        {"iso6", {}, "MP4", kPhoneMp4},
    };
    for (const TCase& c : cases) {
        TByteVector p;
        p.insert(p.end(), c.major, c.major + 4);
        PutBE32(p, 0);
        for (const char* b : c.compatible)
            p.insert(p.end(), b, b + 4);
        const TFoundFile rec = Recognise(WithNoise(Join({Box("ftyp", p), Box("free", TByteVector(16, 0))})));
        EXPECT_EQ(rec.Ext, c.ext) << c.major;
        EXPECT_EQ(rec.PhoneIndex, c.phone) << c.major;
        EXPECT_EQ(rec.FormatIndex, kNoIndex) << c.major;
        EXPECT_EQ(rec.MakerIndex, c.phone == kPhoneCr3 ? std::uint8_t{kMakerCanon} : kNoIndex) << c.major;
        EXPECT_EQ(rec.Length, 8 + static_cast<std::int64_t>(p.size()) + 24) << c.major;
    }
}

TEST(IsoMediaBrands, SignaturesThatAreRefused) {
    const TByteVector free = Box("free", TByteVector(16, 0));
    // A brand of another family, an "ftyp" too small or too large or of an odd size, and a
    // box after it that belongs to no box file.
    Recognise(WithNoise(Join({Ftyp("jp2 ", {"jp2 "}), free})), false);
    Recognise(WithNoise(Join({Box("ftyp", {'i', 's', 'o', 'm'}), free})), false);
    TByteVector big;
    for (int i = 0; i < 1030; ++i)
        big.insert(big.end(), {'i', 's', 'o', 'm'});
    Recognise(WithNoise(Join({Box("ftyp", big), free})), false);
    TByteVector odd = {'i', 's', 'o', 'm', 0, 0, 0, 0, 'i', 's', 'o'};
    Recognise(WithNoise(Join({Box("ftyp", odd), free})), false);
    Recognise(WithNoise(Join({Ftyp("isom", {"isom"}), Box("zzzz", TByteVector(16, 0))})), false);
    Recognise(Join({Ftyp("isom", {"isom"}), TByteVector(512, 0)}), false);
    // A sector of zeros, and a "moov" that does not open with its movie header.
    Recognise(TByteVector(512, 0), false);
    Recognise(WithNoise(Box("moov", Box("trak", TByteVector(40, 0)))), false);

    // An older QuickTime movie that starts with its "moov" is a MOV.
    TMovieRecipe mov;
    mov.major = "";
    const TFoundFile rec = Recognise(WithNoise(BuildMovie(mov)));
    EXPECT_EQ(rec.Ext, "MOV");
    EXPECT_EQ(rec.PhoneIndex, kPhoneMov);
    EXPECT_EQ(rec.Length, static_cast<std::int64_t>(BuildMovie(mov).size()));
}

TEST(IsoMediaLength, SumOfTopLevelBoxesOfEverySizeKind) {
    TMovieRecipe recipe;
    // 32-bit boxes, index first and last, with noise after: the sum exactly.
    for (bool moovFirst : {true, false}) {
        recipe.moovFirst = moovFirst;
        const TByteVector file = BuildMovie(recipe);
        EXPECT_EQ(Recognise(WithNoise(file)).Length, static_cast<std::int64_t>(file.size())) << moovFirst;
        // Zeros after the file (a freshly formatted card) end it just as well.
        EXPECT_EQ(Recognise(Join({file, TByteVector(300, 0)})).Length, static_cast<std::int64_t>(file.size()));
    }
    // A 64-bit "mdat".
    recipe.largeMdat = true;
    const TByteVector large = BuildMovie(recipe);
    EXPECT_EQ(Recognise(WithNoise(large)).Length, static_cast<std::int64_t>(large.size()));
    // An "mdat" of size 0 runs to the end of a file whose end nothing states.
    recipe.largeMdat = false;
    recipe.mdatToEnd = true;
    EXPECT_EQ(Recognise(WithNoise(BuildMovie(recipe))).Length, kUnknownLength);
    // A second "ftyp" right after the file is the start of the next one.
    const TByteVector one = BuildMovie(TMovieRecipe{});
    EXPECT_EQ(Recognise(Join({one, one})).Length, static_cast<std::int64_t>(one.size()));
    // A uuid box is measured with the rest.
    const TByteVector withUuid =
        Join({Ftyp("isom", {"isom"}), UuidBox({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, TByteVector(30, 1)),
              Box("mdat", TByteVector(50, 2))});
    EXPECT_EQ(Recognise(WithNoise(withUuid)).Length, static_cast<std::int64_t>(withUuid.size()));
}

TEST(IsoMediaLength, DataThatEndsBeforeTheFileDoes) {
    TMovieRecipe recipe;
    recipe.mdatBytes = 100000;
    // Index last: the data ends inside the "mdat", the "moov" is out of sight.
    recipe.moovFirst = false;
    const TByteVector indexLast = BuildMovie(recipe);
    EXPECT_EQ(Recognise(TByteVector(indexLast.begin(), indexLast.begin() + 20000)).Length, kUnknownLength);
    // Index first: the "mdat" after it is the last box, and its end the file's.
    recipe.moovFirst = true;
    const TByteVector indexFirst = BuildMovie(recipe);
    const TFoundFile rec = Recognise(TByteVector(indexFirst.begin(), indexFirst.begin() + 20000));
    EXPECT_EQ(rec.Length, static_cast<std::int64_t>(indexFirst.size()));
    EXPECT_EQ(rec.Width, 1920); // the whole "moov" was inside the data
    // The data ends exactly after a box: whether more boxes follow cannot be told.
    EXPECT_EQ(Recognise(indexFirst).Length, kUnknownLength);
    // A truncated "moov": length unknown, and what lies inside the data is still read.
    const TByteVector moov = BuildMovieBox(recipe);
    const TByteVector head = Join({Ftyp("isom", {"isom"}), moov});
    const TFoundFile cut = Recognise(TByteVector(head.begin(), head.end() - 40));
    EXPECT_EQ(cut.Length, kUnknownLength);
    EXPECT_EQ(cut.DateTaken, "2024:05:17 10:20:30");
}

TEST(IsoMediaLength, HostileSizesAndCounts) {
    // A box whose 64-bit size is below its header, and sums at or past the 64 GiB limit.
    TByteVector bad = Ftyp("isom", {"isom"});
    PutBE32(bad, 1);
    bad.insert(bad.end(), {'m', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0, 8});
    EXPECT_EQ(MeasureIsoMedia(WithNoise(bad)), kUnknownLength);
    TByteVector huge = Join({Ftyp("isom", {"isom"}), Box("moov", {})});
    PutBE32(huge, 1);
    huge.insert(huge.end(), {'m', 'd', 'a', 't', 0, 0, 0, 0x10, 0, 0, 0, 0}); // 64 GiB
    EXPECT_EQ(MeasureIsoMedia(huge), kUnknownLength);
    // Just below: the index came first, so the "mdat" ends the file.
    const std::uint64_t below = (std::uint64_t{64} << 30) - 1 - 28;
    PutBE32(huge, 28 + 8, static_cast<std::uint32_t>(below >> 32));
    PutBE32(huge, 28 + 12, static_cast<std::uint32_t>(below));
    EXPECT_EQ(MeasureIsoMedia(huge), (std::int64_t{64} << 30) - 1);
    // A size of 2 to 7 is no box.
    TByteVector tiny = Ftyp("isom", {"isom"});
    tiny.insert(tiny.end(), {0, 0, 0, 4, 'f', 'r', 'e', 'e', 0, 0, 0, 0});
    EXPECT_EQ(MeasureIsoMedia(WithNoise(tiny)), kUnknownLength);
    // More top-level boxes than any file holds: the walk stops with the length unknown.
    TByteVector many = Ftyp("isom", {"isom"});
    for (int i = 0; i < 70000; ++i)
        Append(many, Box("free", {}));
    EXPECT_EQ(MeasureIsoMedia(WithNoise(many)), kUnknownLength);
}

TEST(IsoMediaMovie, DateSizeMakeAndModel) {
    TMovieRecipe recipe;
    recipe.make = "GoPro";
    recipe.model = "HERO11 Black";
    TFoundFile rec = Recognise(WithNoise(BuildMovie(recipe)));
    EXPECT_EQ(rec.Ext, "MP4");
    EXPECT_EQ(rec.Width, 1920); // the video track, not the metadata track before it
    EXPECT_EQ(rec.Height, 1080);
    EXPECT_EQ(rec.DateTaken, "2024:05:17 10:20:30");
    EXPECT_EQ(rec.Make, "GoPro");
    EXPECT_EQ(rec.Model, "HERO11 Black");
    EXPECT_EQ(rec.ThumbKind, kThumbNone);

    // An iPhone movie: 64-bit times, make and model in the metadata keys.
    recipe = TMovieRecipe{};
    recipe.major = "qt  ";
    recipe.compatible = {"qt  "};
    recipe.version1 = true;
    recipe.created = 3'000'000'000ull + 86400ull * 366; // 1999-01-24 05:20:00 + a leap year
    recipe.keysMake = "Apple";
    recipe.keysModel = "iPhone 15 Pro";
    recipe.width = 3840;
    recipe.height = 2160;
    rec = Recognise(WithNoise(BuildMovie(recipe)));
    EXPECT_EQ(rec.Ext, "MOV");
    EXPECT_EQ(rec.Make, "Apple");
    EXPECT_EQ(rec.Model, "iPhone 15 Pro");
    EXPECT_EQ(rec.Width, 3840);
    EXPECT_EQ(rec.DateTaken, "2000:01:25 05:20:00");

    // No creation time, and the epoch itself, and a leap day.
    recipe.created = 0;
    EXPECT_EQ(Recognise(WithNoise(BuildMovie(recipe))).DateTaken, "");
    recipe.created = 1;
    EXPECT_EQ(Recognise(WithNoise(BuildMovie(recipe))).DateTaken, "1904:01:01 00:00:01");
    recipe.created = 3'792'095'999ull; // 2024-02-29 23:59:59
    EXPECT_EQ(Recognise(WithNoise(BuildMovie(recipe))).DateTaken, "2024:02:29 23:59:59");
}

TEST(IsoMediaMovie, ChildBoxesAreNeverTrustedPastTheirParent) {
    TMovieRecipe recipe;
    recipe.make = "GoPro";
    TByteVector file = BuildMovie(recipe);
    // The "trak" of the video claims more than the "moov" holds: nothing from it or after it.
    const std::size_t moov = 24;
    std::size_t pos = moov + 8;
    std::uint32_t trakCount = 0;
    while (pos + 8 <= file.size()) {
        const std::uint32_t size = (file[pos] << 24) | (file[pos + 1] << 16) | (file[pos + 2] << 8) | file[pos + 3];
        if (std::string(file.begin() + static_cast<long>(pos) + 4, file.begin() + static_cast<long>(pos) + 8) == "trak" &&
            ++trakCount == 3) {
            PutBE32(file, pos, size + 100000);
            break;
        }
        pos += size;
    }
    ASSERT_EQ(trakCount, 3u);
    const TFoundFile rec = Recognise(WithNoise(file));
    EXPECT_EQ(rec.Width, 0);
    EXPECT_EQ(rec.Make, "");
    EXPECT_EQ(rec.DateTaken, "2024:05:17 10:20:30"); // the movie header came before it
    EXPECT_EQ(rec.Length, static_cast<std::int64_t>(file.size())); // the top level is intact
}

TEST(IsoMediaPicture, SizeAndExifOfHeicAndAvif) {
    THeifRecipe recipe;
    recipe.exif.width = 640; // the EXIF size loses to the primary item's
    const TByteVector heic = BuildHeif(recipe);
    TFoundFile rec = Recognise(WithNoise(heic));
    EXPECT_EQ(rec.Ext, "HEIC");
    EXPECT_EQ(rec.Length, static_cast<std::int64_t>(heic.size()));
    EXPECT_EQ(rec.Width, 4032); // the primary item's "ispe", not the first one
    EXPECT_EQ(rec.Height, 3024);
    EXPECT_EQ(rec.Make, "Canon");
    EXPECT_EQ(rec.Model, "Canon EOS R6");
    EXPECT_EQ(rec.DateTaken, "2023:07:01 09:15:00");
    EXPECT_EQ(rec.ISO, 400);
    EXPECT_EQ(rec.ExposureNum, 1u);
    EXPECT_EQ(rec.ExposureDen, 250u);
    EXPECT_EQ(rec.FNumberNum, 56u);
    EXPECT_EQ(rec.FocalNum, 35u);
    EXPECT_EQ(rec.ThumbKind, kThumbNone);

    // AVIF, big-endian EXIF kept in the "meta" box's own data, and a 64-bit "mdat".
    recipe = THeifRecipe{};
    recipe.major = "avif";
    recipe.compatible = {"avif", "mif1", "miaf"};
    recipe.exifInIdat = true;
    recipe.exif.bigEndian = true;
    recipe.exif.make = "Apple";
    recipe.largeMdat = true;
    const TByteVector avif = BuildHeif(recipe);
    rec = Recognise(WithNoise(avif));
    EXPECT_EQ(rec.Ext, "AVIF");
    EXPECT_EQ(rec.PhoneIndex, kPhoneAvif);
    EXPECT_EQ(rec.Length, static_cast<std::int64_t>(avif.size()));
    EXPECT_EQ(rec.Make, "Apple");
    EXPECT_EQ(rec.ISO, 400);
}

TEST(IsoMediaPicture, ExifItemsThatDoNotLieInTheFile) {
    THeifRecipe recipe;
    // The Exif item's extent moved past the end of the file: not read, the picture still is.
    recipe.exifOffsetDelta = 100000;
    TFoundFile rec = Recognise(WithNoise(BuildHeif(recipe), 200000));
    EXPECT_EQ(rec.Make, "");
    EXPECT_EQ(rec.Width, 4032);
    // An extent that starts inside the file and ends past it.
    recipe.exifOffsetDelta = 16; // the item is the last thing in the file
    rec = Recognise(WithNoise(BuildHeif(recipe), 200000));
    EXPECT_EQ(rec.Make, "");
    // A picture without EXIF.
    recipe = THeifRecipe{};
    recipe.withExif = false;
    rec = Recognise(WithNoise(BuildHeif(recipe)));
    EXPECT_EQ(rec.Make, "");
    EXPECT_EQ(rec.Width, 4032);
}

TEST(IsoMediaCr3, MetadataThumbnailAndPreview) {
    TCr3Spec recipe;
    recipe.thumbnail = EncodeJpeg(TRgbImage::Pattern(160, 120, 1));
    recipe.preview = EncodeJpeg(TRgbImage::Pattern(320, 212, 2));
    TCr3Layout layout;
    const TByteVector cr3 = BuildCr3(recipe, &layout);
    TFoundFile rec = Recognise(WithNoise(cr3));
    EXPECT_EQ(rec.Ext, "CR3");
    EXPECT_EQ(rec.MakerIndex, kMakerCanon);
    EXPECT_EQ(rec.PhoneIndex, kPhoneCr3);
    EXPECT_EQ(rec.Length, static_cast<std::int64_t>(cr3.size()));
    EXPECT_EQ(rec.Make, "Canon");
    EXPECT_EQ(rec.Model, "Canon EOS R6");
    EXPECT_EQ(rec.Width, 6000);
    EXPECT_EQ(rec.Height, 4000);
    EXPECT_EQ(rec.DateTaken, "2023:07:01 09:15:00"); // from the EXIF, not the movie header
    EXPECT_EQ(rec.ISO, 400);
    EXPECT_EQ(rec.FNumberNum, 56u);
    // The small JPEG is the thumbnail, as a file-relative range the JPEG thumbnail path reads.
    EXPECT_EQ(rec.ThumbKind, kThumbJpeg);
    EXPECT_EQ(rec.ThumbOffset, layout.thumbnailOffset);
    EXPECT_EQ(rec.ThumbLength, recipe.thumbnail.size());
    EXPECT_EQ(rec.ThumbWidth, 160);

    // Without the small one, the preview.
    recipe.thumbnail.clear();
    const TByteVector noThumb = BuildCr3(recipe, &layout);
    rec = Recognise(WithNoise(noThumb));
    EXPECT_EQ(rec.ThumbOffset, layout.previewOffset);
    EXPECT_EQ(rec.ThumbLength, recipe.preview.size());
    EXPECT_EQ(rec.ThumbWidth, 1620);

    // A preview whose stated length runs past its box is no thumbnail.
    TByteVector damaged = noThumb;
    PutBE32(damaged, layout.previewOffset - 4, static_cast<std::uint32_t>(recipe.preview.size() + 1000));
    rec = Recognise(WithNoise(damaged));
    EXPECT_EQ(rec.ThumbKind, kThumbNone);
    EXPECT_EQ(rec.Model, "Canon EOS R6");
}

TEST(IsoMediaScan, SparseThreeGibibyteMovieMeasuredFromItsFirstBlock) {
    TTempDir dir;
    const std::string path = dir / "clip.mp4";
    const std::uint64_t size = 3ull << 30;
    ASSERT_TRUE(WriteSparseMp4(path, size));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    ASSERT_EQ(static_cast<std::uint64_t>(st.st_size), size);
    EXPECT_LT(static_cast<std::uint64_t>(st.st_blocks) * 512, 1u << 20); // sparse on disk
    // The scan sees one block; the index before the "mdat" tells the end.
    TByteVector block(512000);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pread(fd, block.data(), block.size(), 0), static_cast<ssize_t>(block.size()));
    ::close(fd);
    TFoundFile rec;
    bool found = false;
    for (const TRecogniserEntry& r : kRecognisers) {
        rec.Reset();
        if (r.Recognise(r.SectorOnly ? TBytes(block).first(512) : TBytes(block), rec)) {
            found = true;
            break;
        }
    }
    ASSERT_TRUE(found);
    EXPECT_EQ(rec.Ext, "MP4");
    EXPECT_EQ(rec.Length, static_cast<std::int64_t>(size));
    EXPECT_EQ(rec.Width, 1920);
}

} // namespace
