#pragma once
// Builders of box-structured files (HEIC/AVIF pictures, MP4/MOV videos, Canon CR3 raws) and of
// WebP pictures, written box by box in code: the boxes a reader needs, in the layout phones
// and cameras use, with the sizes and offsets resolved.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "testkit/TiffBuilder.h"

namespace lumivore::testkit {

// A box: 32-bit size, type, contents.
TByteVector Box(const char (&type)[5], const TByteVector& payload);
// A full box: version and 24-bit flags before the contents.
TByteVector FullBox(const char (&type)[5], std::uint8_t version, std::uint32_t flags, const TByteVector& payload);
// A box with size 1 and the 64-bit size after its type.
TByteVector LargeBox(const char (&type)[5], const TByteVector& payload);
// A box with size 0: it runs to the end of the file.
TByteVector ToEndBox(const char (&type)[5], const TByteVector& payload);
// A "uuid" box of the given 16-byte type.
TByteVector UuidBox(const std::uint8_t (&uuid)[16], const TByteVector& payload);
// A "ftyp" box: major brand, minor version 0, compatible brands.
TByteVector Ftyp(const char (&major)[5], std::initializer_list<const char*> compatible = {});
// The pieces one after the other.
TByteVector Join(std::initializer_list<TByteVector> parts);

// A TIFF block with camera metadata (make, model, date, ISO, exposure, f-number, focal length,
// pixel size), as an EXIF item or chunk carries it.
struct TExifRecipe {
    std::string make = "Canon", model = "Canon EOS R6", dateTaken = "2023:07:01 09:15:00";
    std::uint16_t iso = 400;
    std::uint32_t exposureNum = 1, exposureDen = 250;
    std::uint32_t fNumberNum = 56, fNumberDen = 10;
    std::uint32_t focalNum = 35, focalDen = 1;
    std::uint32_t width = 0, height = 0; // PixelXDimension/PixelYDimension, none when 0
    bool bigEndian = false;
};
TByteVector BuildExifTiff(const TExifRecipe& recipe);

// A HEIF picture: "ftyp", then "meta" (handler, primary item, item infos, item locations,
// properties with the primary's "ispe" and a smaller thumbnail's), then "mdat" with the coded
// picture bytes and the "Exif" item (4-byte header offset, "Exif\0\0", the TIFF block).
struct THeifRecipe {
    const char* major = "heic";
    std::vector<std::string> compatible = {"mif1", "heic"};
    std::uint32_t width = 4032, height = 3024;
    std::uint32_t thumbWidth = 320, thumbHeight = 240;
    bool withExif = true;
    TExifRecipe exif;
    bool exifInIdat = false;       // the Exif item in the "meta" box's "idat" instead of "mdat"
    std::uint32_t codedBytes = 2000; // bytes of the picture's coded data
    std::int64_t exifOffsetDelta = 0; // added to the Exif item's extent offset (for damage)
    bool largeMdat = false;        // "mdat" with a 64-bit size
    bool splitMdat = false;        // the picture's data in one "mdat", the rest in a second
    bool mdatFirst = false;        // the media data before the "meta" box
};
TByteVector BuildHeif(const THeifRecipe& recipe);

// A movie: "ftyp" (unless major is empty: then the movie starts with "moov"), "moov" with a
// movie header, a video track and a sound track, user data and metadata keys, and an "mdat".
struct TMovieRecipe {
    const char* major = "isom";
    std::vector<std::string> compatible = {"isom", "mp42"};
    bool moovFirst = true;            // "moov" before "mdat", or after it
    std::uint32_t width = 1920, height = 1080;
    std::uint64_t created = 3798786030; // seconds since 1904 (2024-05-17 10:20:30)
    bool version1 = false;             // 64-bit times in the movie and track headers
    std::string make, model;           // in "udta" as QuickTime texts
    std::string keysMake, keysModel;   // in "meta" keys (com.apple.quicktime.make/.model)
    std::string keysDate;              // com.apple.quicktime.creationdate in the keys
    std::string day;                   // "\xA9day" in "udta"
    TByteVector userData;              // further entries of "udta" (a maker's own boxes)
    TByteVector movieBoxes;            // further children of "moov"
    std::uint64_t mdatBytes = 4000;
    bool largeMdat = false;
    bool mdatToEnd = false;            // the "mdat" has size 0
};
TByteVector BuildMovie(const TMovieRecipe& recipe);
// The "moov" box alone, as BuildMovie writes it.
TByteVector BuildMovieBox(const TMovieRecipe& recipe);

// A Canon CR3: "ftyp" crx, "moov" with Canon's box (CMT1 with IFD0, CMT2 with the EXIF
// directory, THMB with the small JPEG), the preview box with PRVW, and an "mdat".
struct TCr3Spec {
    TExifRecipe exif;
    std::uint32_t width = 6000, height = 4000;
    TByteVector thumbnail;  // THMB's JPEG; none when empty
    TByteVector preview;    // PRVW's JPEG; none when empty
    std::uint32_t mdatBytes = 10000;
};
struct TCr3Layout {
    std::uint32_t thumbnailOffset = 0, previewOffset = 0;
};
TByteVector BuildCr3(const TCr3Spec& recipe, TCr3Layout* layout = nullptr);

// A WebP: "RIFF" size "WEBP", the first chunk of the kind given ("VP8 ", "VP8L" or "VP8X"),
// a picture chunk after a "VP8X", and an "EXIF" chunk when exif is not empty.
TByteVector BuildWebP(const std::string& kind, std::uint32_t width, std::uint32_t height, const TByteVector& exif = {});

// A sparse MP4 of the given size at path: "ftyp", "moov" (a 1920 x 1080 video track) and an
// "mdat" with a 64-bit size that fills the rest, written with ftruncate and pwrite so that
// only a few kilobytes take space on disk. True on success.
bool WriteSparseMp4(const std::string& path, std::uint64_t size);

} // namespace lumivore::testkit
