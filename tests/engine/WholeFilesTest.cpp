// Files whose end the scan cannot see come back whole and byte-identical from a card image:
// a TIFF written by libtiff (directory last, larger than a scan block), a motion photo with
// its video, a JPEG whose records end past the scanned block. And a file that starts in a
// block's last sectors is seen as it is in a block's middle.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tiffio.h>

#include "device/DskLib.h"

#include "engine/EngineOnCard.h"
#include "engine/FileTypes.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TrailerBuilder.h"

using namespace lumivore;
using lumivore::testkit::TByteVector;

namespace {

// An RGB TIFF written by libtiff, which puts the directory after the image data.
TByteVector LibtiffRgb(const std::string& path, std::uint32_t width, std::uint32_t height) {
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (tif == nullptr)
        return {};
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 16);
    TIFFSetField(tif, TIFFTAG_MAKE, "Flatbed Scanner");
    const testkit::TRgbImage image = testkit::TRgbImage::Pattern(static_cast<int>(width), static_cast<int>(height), 9);
    std::vector<std::uint8_t> row(width * 3);
    for (std::uint32_t y = 0; y < height; ++y) {
        std::copy_n(image.Pixel(0, static_cast<int>(y)), row.size(), row.begin());
        TIFFWriteScanline(tif, row.data(), y, 0);
    }
    TIFFClose(tif);
    return testkit::ReadFile(path);
}

} // namespace

class WholeFiles : public lumivore::testing::EngineOnCard {};

TEST_F(WholeFiles, ALibtiffTiffWithItsDirectoryPastTheScanBlock) {
    const TByteVector tiff = LibtiffRgb(dir_ / "scan.tif", 600, 400); // 720,000 bytes of pixels
    ASSERT_GT(tiff.size(), 512000u);
    std::uint32_t firstDir = 0;
    std::memcpy(&firstDir, tiff.data() + 4, 4);
    ASSERT_GT(firstDir, 512000u) << "libtiff wrote the directory last";
    Place(1000, tiff);  // at a block start: the directory lies in the next block
    Place(3950, tiff);  // near a block's end
    OpenAndScan();
    for (std::int64_t sector : {1000, 3950}) {
        const TFoundFile* f = At(sector);
        ASSERT_NE(f, nullptr) << sector;
        EXPECT_EQ(f->Ext, "TIF");
        EXPECT_EQ(f->Length, kUnknownLength);
    }
    const TRecoveryResult r = Recover(TRecoverySelection::AllTypes());
    ASSERT_EQ(r.Recovered, 2) << r.Message;
    EXPECT_EQ(Written("f0000001000.tif"), tiff);
    EXPECT_EQ(Written("f0000003950.tif"), tiff);
    EXPECT_EQ(r.Files[0].Source, TLengthSource::Measured);

    // Read back, the file gives its size and camera maker.
    TFoundFile f = *At(1000);
    TMemoryStream stream;
    ASSERT_TRUE(engine_->LoadFoundFile(f, stream));
    EXPECT_EQ(f.Length, static_cast<std::int32_t>(tiff.size()));
    EXPECT_EQ(f.Width, 600);
    EXPECT_EQ(f.Height, 400);
    EXPECT_EQ(f.Make, "Flatbed Scanner");
    EXPECT_EQ(f.StartSector, 1000);
}

TEST_F(WholeFiles, AMotionPhotoWithItsVideo) {
    const TByteVector video = testkit::MinimalMp4(900'000);
    auto pictureOf = [&](std::size_t scanBytes) {
        return testkit::TJpegBuilder().Jfif().Segment(0xE1, testkit::MotionPhotoXmp(video.size())).FakeScan(scanBytes).Build();
    };
    // A picture that ends 4 bytes before a sector boundary.
    const std::size_t base = pictureOf(40'000).size();
    const TByteVector picture = pictureOf(40'000 + (1020 - base % 512) % 512);
    ASSERT_EQ(picture.size() % 512, 508u);
    TByteVector photo = picture;
    photo.insert(photo.end(), video.begin(), video.end());
    Place(4000, photo); // the video runs past the scan block
    // Its picture ends 4 bytes before the block's end: the video starts in the next block, and
    // the bytes that tell it is there straddle the edge.
    const std::uint64_t nearEnd = 1000 - (picture.size() + 511) / 512;
    Place(nearEnd, photo);
    OpenAndScan();
    ASSERT_NE(At(static_cast<std::int64_t>(nearEnd)), nullptr);
    EXPECT_EQ(At(static_cast<std::int64_t>(nearEnd))->Length, static_cast<std::int64_t>(photo.size()));
    const TFoundFile* f = At(4000);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->Length, static_cast<std::int32_t>(photo.size()));
    EXPECT_EQ(f->ThumbLength, picture.size());

    const TRecoveryResult r = Recover(TRecoverySelection::AllTypes());
    EXPECT_EQ(r.Failed, 0);
    EXPECT_EQ(Written("f0000004000.jpg"), photo);
    EXPECT_EQ(Written(RecoveredFileName(static_cast<std::int64_t>(nearEnd), "JPG")), photo);
}

TEST_F(WholeFiles, AJpegWhoseRecordsEndPastTheScanBlock) {
    const TByteVector picture = testkit::TJpegBuilder().Jfif().FakeScan(1900).Build();
    std::vector<std::string> captions(400, std::string(40, 'c'));
    const TByteVector records = testkit::PhotoMechanicTrailer(testkit::IptcRecords(captions));
    TByteVector file = picture;
    file.insert(file.end(), records.begin(), records.end());
    Place(996, file); // the picture ends inside the block, its records cross into the next
    OpenAndScan();
    const TFoundFile* f = At(996);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->Length, static_cast<std::int64_t>(file.size())) << "the scan follows the records into the next block";
    EXPECT_EQ(f->ThumbLength, picture.size());
    const TRecoveryResult r = Recover(TRecoverySelection::AllTypes());
    ASSERT_EQ(r.Recovered, 1);
    EXPECT_EQ(Written("f0000000996.jpg"), file);
}

namespace {

// What a scan learned of a file, but for where it lies and what lies after it: a header's claim
// that the next file cut short counts as the claim.
std::string Seen(const TFoundFile& f) {
    std::ostringstream o;
    o << f.Ext << ' ' << (f.ClaimedLength >= 0 ? f.ClaimedLength : f.Length) << ' ' << f.Width << 'x' << f.Height << ' ' << f.Make << '|' << f.Model << '|'
      << f.DateTaken << ' ' << f.ISO << ' ' << int{f.ThumbKind} << ' ' << f.ThumbOffset << '+' << f.ThumbLength << ' '
      << f.ThumbWidth << 'x' << f.ThumbHeight << ' ' << f.Embedded.size() << ' ' << f.ClaimFrom;
    return o.str();
}

// The real camera files kept with the sources, by name.
std::vector<std::pair<std::string, TByteVector>> CameraFiles() {
    const std::filesystem::path dir = std::filesystem::path(LUMIVORE_SOURCE_DIR) / "testkit/cards/samples";
    std::ifstream manifest(dir / "manifest.tsv");
    std::vector<std::pair<std::string, TByteVector>> out;
    std::string line;
    std::getline(manifest, line); // header
    while (std::getline(manifest, line)) {
        const std::string name = line.substr(0, line.find('\t'));
        out.emplace_back(name, testkit::ReadFile(dir / "files" / name));
    }
    return out;
}

} // namespace

// Every camera file, laid once in a block's middle and once so that it starts 1, 8 or 40
// sectors before a block's end: the scan must find it the same at both places. Judged on the
// sectors left in its block alone, a DNG was not found at all, a NEF neither, and JPEGs lost
// their pixel size and thumbnail.
TEST_F(WholeFiles, ACameraFileNearABlocksEndIsSeenAsInTheMiddle) {
    const auto files = CameraFiles();
    ASSERT_GE(files.size(), 60u) << "no camera files beside the sources";
    for (const std::uint64_t fromEnd : {1, 8, 40}) {
        image_ = testkit::TDiskImage{kCardSectors};
        engine_ = std::make_unique<TScanEngine>();
        // Block k: the file at its sector 300, and again fromEnd sectors before its end.
        ASSERT_LT(files.size() * 1000, kCardSectors);
        for (std::size_t k = 0; k < files.size(); ++k) {
            ASSERT_LT(files[k].second.size(), 250u * 512) << files[k].first;
            Place(1000 * k + 300, files[k].second);
            Place(1000 * k + 1000 - fromEnd, files[k].second);
        }
        OpenAndScan();
        for (std::size_t k = 0; k < files.size(); ++k) {
            const TFoundFile* middle = At(static_cast<std::int64_t>(1000 * k + 300));
            const TFoundFile* nearEnd = At(static_cast<std::int64_t>(1000 * k + 1000 - fromEnd));
            if (middle == nullptr) {
                EXPECT_EQ(nearEnd, nullptr) << files[k].first << ", " << fromEnd << " sectors before the end";
                continue;
            }
            ASSERT_NE(nearEnd, nullptr) << files[k].first << ", " << fromEnd << " sectors before the end";
            EXPECT_EQ(Seen(*nearEnd), Seen(*middle)) << files[k].first << ", " << fromEnd << " sectors before the end";
        }
    }
}

// A photo longer than what a held-back sector is shown: the scan measures it on from there, with
// the rest of the next block and the blocks after it, and it comes back whole.
TEST_F(WholeFiles, APhotoStartingAtABlocksEndIsMeasuredAcrossTheBlocks) {
    const TByteVector photo = testkit::TJpegBuilder().Jfif().FakeScan(700'000).Build();
    Place(997, photo);
    Place(10'000, photo);
    OpenAndScan();
    for (std::int64_t sector : {997, 10'000}) {
        const TFoundFile* f = At(sector);
        ASSERT_NE(f, nullptr) << sector;
        EXPECT_EQ(f->Length, static_cast<std::int64_t>(photo.size())) << sector;
    }
    const TRecoveryResult r = Recover(TRecoverySelection::AllTypes());
    ASSERT_EQ(r.Recovered, 2) << r.Message;
    EXPECT_EQ(Written("f0000000997.jpg"), photo);
    EXPECT_EQ(Written("f0000010000.jpg"), photo);
}

// Held-back sectors whose next block cannot be read are examined with what they have, before
// the failing area is left for the sector-by-sector pass: the photo there is found, and its
// measure waits for that pass, which reads the rest of it.
TEST_F(WholeFiles, AFileHeldAtABlocksEndBeforeAnUnreadableBlock) {
    const TByteVector photo = testkit::TJpegBuilder().Jfif().FakeScan(20'000).Build();
    Place(1990, photo);
    const std::uint64_t bad = 2500; // in the block after the photo's start
    const TReadFault before = SetReadFault([bad](std::uint64_t first, std::uint16_t count) {
        return first <= bad && bad < first + count;
    });
    OpenAndScan();
    SetReadFault(before);
    const TFoundFile* f = At(1990);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->Ext, "JPG");
    EXPECT_EQ(f->Length, static_cast<std::int64_t>(photo.size()));
    EXPECT_EQ(engine_->UnreadableSectors, 1);
}
