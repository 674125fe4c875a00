// Box-structured files: brands to types, lengths from the top-level boxes (32-bit, 64-bit,
// size 0, cut by the end of the data, followed by noise), the metadata of pictures, movies and
// CR3 raws, and the limits that hold against hostile boxes.
#include "formats/IsoMedia.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "engine/FileTypes.h"
#include "testkit/ByteWriter.h"
#include "testkit/IsoBuilder.h"
#include "testkit/PhotoBuilder.h"

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
        // The least a file holds: its signature, an index and media data.
        const TFoundFile rec = Recognise(WithNoise(
            Join({Box("ftyp", p), Box("meta", TByteVector(16, 0)), Box("mdat", TByteVector(16, 0))})));
        EXPECT_EQ(rec.Ext, c.ext) << c.major;
        EXPECT_EQ(rec.PhoneIndex, c.phone) << c.major;
        EXPECT_EQ(rec.FormatIndex, kNoIndex) << c.major;
        EXPECT_EQ(rec.MakerIndex, c.phone == kPhoneCr3 ? std::uint8_t{kMakerCanon} : kNoIndex) << c.major;
        EXPECT_EQ(rec.Length, 8 + static_cast<std::int64_t>(p.size()) + 48) << c.major;
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
    // A second "ftyp" at the sector right after the file is the start of the next one.
    TMovieRecipe sectors;
    sectors.mdatBytes = 4000 + (5120 - BuildMovie(TMovieRecipe{}).size());
    const TByteVector one = BuildMovie(sectors);
    ASSERT_EQ(one.size(), 5120u);
    EXPECT_EQ(Recognise(Join({one, one})).Length, static_cast<std::int64_t>(one.size()));
    // Inside a sector it is a video appended to the file (a motion photo), measured with it.
    const TByteVector odd = BuildMovie(TMovieRecipe{});
    EXPECT_EQ(Recognise(WithNoise(Join({odd, odd}))).Length, static_cast<std::int64_t>(2 * odd.size()));
    // A uuid box is measured with the rest.
    const TByteVector withUuid =
        Join({Ftyp("isom", {"isom"}), UuidBox({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, TByteVector(30, 1)),
              BuildMovieBox(recipe), Box("mdat", TByteVector(50, 2))});
    EXPECT_EQ(Recognise(WithNoise(withUuid)).Length, static_cast<std::int64_t>(withUuid.size()));
}

TEST(IsoMediaLength, DataThatEndsBeforeTheFileDoes) {
    TMovieRecipe recipe;
    recipe.mdatBytes = 100000;
    // Index last: the data ends inside the "mdat", the "moov" is out of sight.
    recipe.moovFirst = false;
    const TByteVector indexLast = BuildMovie(recipe);
    EXPECT_EQ(Recognise(TByteVector(indexLast.begin(), indexLast.begin() + 20000)).Length, kUnknownLength);
    // Index first: boxes may follow the "mdat" (the scan follows the chain on), and what the
    // data holds is read.
    recipe.moovFirst = true;
    const TByteVector indexFirst = BuildMovie(recipe);
    const TFoundFile rec = Recognise(TByteVector(indexFirst.begin(), indexFirst.begin() + 20000));
    EXPECT_EQ(rec.Length, kUnknownLength);
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
    // A box whose size passes the limit after the file's media data: the chain, and the file,
    // end before it.
    TByteVector past = Join({Ftyp("isom", {"isom"}), Box("moov", {}), Box("mdat", TByteVector(40, 1))});
    const std::int64_t whole = static_cast<std::int64_t>(past.size());
    PutBE32(past, 1);
    past.insert(past.end(), {'f', 'r', 'e', 'e', 0, 0, 0, 0x10, 0, 0, 0, 0});
    EXPECT_EQ(MeasureIsoMedia(WithNoise(past)), whole);
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

TByteVector Chars(const std::string& text, std::size_t size) {
    TByteVector out(text.begin(), text.end());
    out.resize(size, 0);
    return out;
}

TEST(IsoMediaMovie, CameraMakersOwnRecordsAndTheDateTakenTheyState) {
    // Nikon's tag records: make, model and the moment taken (a text each), after a number.
    TByteVector records;
    const auto record = [&records](std::uint32_t tag, std::uint16_t type, const TByteVector& value) {
        PutBE32(records, tag);
        PutBE16(records, type);
        PutBE16(records, static_cast<std::uint16_t>(type == 3 ? value.size() / 2 : value.size()));
        Append(records, value);
    };
    record(0x13, 3, {0, 0, 0, 25});
    record(1, 2, Chars("NIKON CORPORATION", 18));
    record(2, 2, Chars("NIKON D5300", 12));
    record(0x12, 2, Chars("2021:03:04 05:06:07", 20));
    TMovieRecipe recipe;
    recipe.major = "qt  ";
    recipe.userData = Box("NCDT", Join({Box("NCHD", TByteVector(8, 1)), Box("NCTG", records)}));
    TFoundFile rec = Recognise(WithNoise(BuildMovie(recipe)));
    EXPECT_EQ(rec.Make, "NIKON CORPORATION");
    EXPECT_EQ(rec.Model, "NIKON D5300");
    EXPECT_EQ(rec.DateTaken, "2021:03:04 05:06:07"); // the camera's own moment, not the header's

    // A record of fixed fields: the make in its first 24 bytes, the model after it; a make
    // followed by numbers names no model.
    recipe.userData = Box("TAGS", Join({Chars("FUJIFILM", 24), Chars("X-T3", 16), TByteVector(40, 7)}));
    rec = Recognise(WithNoise(BuildMovie(recipe)));
    EXPECT_EQ(rec.Make, "FUJIFILM");
    EXPECT_EQ(rec.Model, "X-T3");
    recipe.userData = Box("TAGS", Join({Chars("PENTAX DIGITAL CAMERA", 24), {0, 1, 0, 10, 0, 0, 0, 0x80, 1}}));
    rec = Recognise(WithNoise(BuildMovie(recipe)));
    EXPECT_EQ(rec.Make, "PENTAX DIGITAL CAMERA");
    EXPECT_EQ(rec.Model, "");

    // Canon names the model alone; a Canon MP4 carries its EXIF in Canon's box in the movie.
    const std::string model = "Canon EOS 5D Mark II";
    recipe.userData = Box("CNMN", TByteVector(model.begin(), model.end()));
    rec = Recognise(WithNoise(BuildMovie(recipe)));
    EXPECT_EQ(rec.Make, "Canon");
    EXPECT_EQ(rec.Model, "Canon EOS 5D Mark II");
    recipe.userData.clear();
    TExifRecipe exif;
    exif.model = "Canon PowerShot SX280 HS";
    exif.dateTaken = "2014:08:09 10:11:12";
    recipe.movieBoxes = UuidBox({0x85, 0xC0, 0xB6, 0x87, 0x82, 0x0F, 0x11, 0xE0, 0x81, 0x11, 0xF4, 0xCE, 0x46, 0x2B, 0x6A, 0x48},
                                Join({Box("CMT1", BuildExifTiff(exif))}));
    rec = Recognise(WithNoise(BuildMovie(recipe)));
    EXPECT_EQ(rec.Make, "Canon");
    EXPECT_EQ(rec.Model, "Canon PowerShot SX280 HS");
    EXPECT_EQ(rec.DateTaken, "2014:08:09 10:11:12");
    EXPECT_EQ(rec.ISO, 400);
}

TEST(IsoMediaMovie, DateTakenPrefersTheCamerasLocalTimeToTheHeadersUtc) {
    TMovieRecipe recipe; // the header says 2024-05-17 10:20:30 UTC
    recipe.day = "2024-05-17T12:20:30+0200";
    EXPECT_EQ(Recognise(WithNoise(BuildMovie(recipe))).DateTaken, "2024:05:17 12:20:30");
    recipe.keysDate = "2024-05-17T03:20:30-0700";
    EXPECT_EQ(Recognise(WithNoise(BuildMovie(recipe))).DateTaken, "2024:05:17 03:20:30");
    // Texts that are no date are passed over.
    recipe.keysDate = "yesterday";
    recipe.day = "2024";
    EXPECT_EQ(Recognise(WithNoise(BuildMovie(recipe))).DateTaken, "2024:05:17 10:20:30");
}

TEST(IsoMediaEmbedded, ItemsAndAMotionPhotosVideoAreNamedAsEmbeddedRuns) {
    // A picture whose EXIF item begins at a sector: a run of its own.
    THeifRecipe recipe;
    const TByteVector plain = BuildHeif(recipe);
    recipe.exifOffsetDelta = 1024 - static_cast<std::int64_t>(plain.size() - BuildExifTiff(recipe.exif).size() - 10);
    TFoundFile rec = Recognise(WithNoise(BuildHeif(recipe), 2000));
    const TPiece exifRun{1024, static_cast<std::int64_t>(BuildExifTiff(recipe.exif).size() + 10)};
    EXPECT_NE(std::find(rec.Embedded.begin(), rec.Embedded.end(), exifRun), rec.Embedded.end());

    // A motion photo: the video in its own box right after the picture's boxes.
    recipe = THeifRecipe{};
    recipe.codedBytes += (512 - (BuildHeif(recipe).size() + 8) % 512) % 512;
    const TByteVector picture = BuildHeif(recipe);
    ASSERT_EQ((picture.size() + 8) % 512, 0u);
    const TByteVector video = BuildMovie(TMovieRecipe{});
    const TByteVector motion = Join({picture, Box("mpvd", video)});
    rec = Recognise(WithNoise(motion));
    EXPECT_EQ(rec.Length, static_cast<std::int64_t>(motion.size()));
    const TPiece run{static_cast<std::int64_t>(picture.size() + 8), static_cast<std::int64_t>(video.size())};
    EXPECT_NE(std::find(rec.Embedded.begin(), rec.Embedded.end(), run), rec.Embedded.end());
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

TEST(IsoMediaPicture, ExifItemsAsTheirWritersLayThemOut) {
    const TByteVector tiff = BuildExifTiff(TExifRecipe{});
    const TByteVector exifId = {'E', 'x', 'i', 'f', 0, 0};
    const auto offset = [](std::uint32_t n) {
        TByteVector out;
        PutBE32(out, n);
        return out;
    };
    // The offset to the TIFF header past the "Exif\0\0"; the offset to the "Exif\0\0" itself;
    // no offset at all, with and without the "Exif\0\0".
    for (const TByteVector& item : {Join({offset(6), exifId, tiff}), Join({offset(0), exifId, tiff}),
                                    Join({exifId, tiff}), tiff}) {
        TFoundFile rec;
        EXPECT_TRUE(ReadIsoExifItem(item, rec));
        EXPECT_EQ(rec.Model, "Canon EOS R6");
        EXPECT_EQ(rec.ISO, 400);
    }
    // An offset past the item, and bytes that hold no TIFF block.
    TFoundFile rec;
    EXPECT_FALSE(ReadIsoExifItem(Join({offset(0xFFFFFFF0u), exifId}), rec));
    EXPECT_FALSE(ReadIsoExifItem(TByteVector{0, 0}, rec));
    EXPECT_EQ(rec.Make, "");
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

} // namespace
