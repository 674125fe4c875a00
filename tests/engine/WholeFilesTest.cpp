// Files whose end the scan cannot see come back whole and byte-identical from a card image:
// a TIFF written by libtiff (directory last, larger than a scan block), a motion photo with
// its video, a JPEG whose records end past the scanned block.
#include <gtest/gtest.h>

#include <cstring>
#include <tiffio.h>

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
