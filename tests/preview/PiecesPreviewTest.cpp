// The thumbnail and full-size preview of a photo that a used card split into pieces come from
// its pieces: the same pictures as the photo's own bytes give.
#include <gtest/gtest.h>

#include <memory>

#include "engine/ScanEngine.h"
#include "preview/Bitmap.h"
#include "preview/Decoders.h"
#include "preview/Thumbnails.h"
#include "support/MemoryStream.h"
#include "testkit/TempFiles.h"
#include "testkit/UsedCard.h"

namespace lumivore::testing {
namespace {

using testkit::TByteVector;

void ExpectSamePicture(const TBitmap& got, const TBitmap& want) {
    ASSERT_EQ(got.Width(), want.Width());
    ASSERT_EQ(got.Height(), want.Height());
    for (int y = 0; y < want.Height(); ++y)
        for (int x = 0; x < want.Width(); ++x)
            ASSERT_EQ(got.Pixel(x, y), want.Pixel(x, y)) << "at " << x << "," << y;
}

class PiecesPreview : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir_ / "settings.xml").c_str(), 1);
        TDeviceCatalogue::Instance().Clear();
        engine_ = std::make_unique<TScanEngine>();
    }
    void TearDown() override {
        engine_.reset();
        TDeviceCatalogue::Instance().Clear();
    }
    testkit::TTempDir dir_;
    std::unique_ptr<TScanEngine> engine_;
};

TEST_F(PiecesPreview, AReassembledPhotoIsShownFromItsPieces) {
    // The photo in three pieces, with noise and a whole photo between them.
    testkit::TClusterCard card(24000, 8);
    card.Noise(0, card.Clusters(), 21);
    const TByteVector photo = testkit::GrainyPhoto(320, 240, 8, 4);
    const TByteVector other = testkit::GrainyPhoto(160, 120, 9);
    const std::uint64_t c = card.ClusterBytes();
    const std::uint64_t n = (photo.size() + c - 1) / c, o = (other.size() + c - 1) / c;
    card.Split(other, {{30 + n / 3, o}});
    const auto pieces = card.Split(photo, {{30, n / 3}, {30 + n / 3 + o, n / 3}, {30 + n / 3 + o + n / 3 + 7, n}});
    const std::string path = dir_ / "card.img";
    ASSERT_TRUE(card.Write(path));
    ASSERT_TRUE(engine_->OpenDrive(TDeviceCatalogue::Instance().RegisterImage(path)));
    engine_->Scan(0, 24000, nullptr, nullptr, nullptr);

    TFoundFile* found = nullptr;
    for (TFoundFile& f : engine_->FoundFiles)
        if (static_cast<std::uint64_t>(f.StartSector) * 512 == pieces.front().Offset)
            found = &f;
    ASSERT_NE(found, nullptr);
    ASSERT_TRUE(found->Reassembled());
    ASSERT_EQ(found->Pieces.size(), 3u);

    // The whole file read back, as the preview reads it.
    TMemoryStream stream;
    ASSERT_TRUE(engine_->LoadFoundFile(*found, stream));
    EXPECT_TRUE(TByteVector(stream.Bytes().begin(), stream.Bytes().end()) == photo);

    TBitmap preview;
    ASSERT_TRUE(engine_->LoadPreview(*found, preview));
    const TDecodedPicture original = DecodeJpeg(photo);
    ExpectSamePicture(preview, original.Bitmap);

    const std::unique_ptr<TBitmap> thumb = engine_->MakeThumbnail(*found);
    ASSERT_NE(thumb, nullptr);
    const TDecodedPicture small = DecodeJpeg(photo, kThumbPictureSide, kThumbPictureSide);
    ExpectSamePicture(*thumb, *FramePicture(small.Bitmap, small.Width, small.Height));
    EXPECT_EQ(found->Width, 320);
    EXPECT_EQ(found->Height, 240);

    // A damaged list of pieces (a negative offset, pieces shorter than the length) reads nothing.
    TFoundFile forged = *found;
    forged.Pieces.front().Offset = -512;
    TMemoryStream none;
    EXPECT_FALSE(engine_->ReadThumbnailRange(forged, none));
    EXPECT_FALSE(engine_->LoadFoundFile(forged, none));
    forged = *found;
    forged.Pieces.pop_back();
    EXPECT_FALSE(engine_->ReadThumbnailRange(forged, none));
    EXPECT_EQ(none.Size(), 0u);
}

} // namespace
} // namespace lumivore::testing
