// What follows a JPEG's end-of-image marker: each kind of trailer measured exactly, chained,
// refused when its structure does not tie its end back to its start, and left unknown when it
// runs past the data.
#include <gtest/gtest.h>

#include "formats/JpegTrailers.h"
#include "formats/Measure.h"
#include "formats/Recognisers.h"
#include "testkit/ByteWriter.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TrailerBuilder.h"

using namespace lumivore;
using namespace lumivore::testkit;

namespace {

TByteVector Picture(std::size_t scanBytes = 700, std::span<const std::uint8_t> xmp = {}) {
    TJpegBuilder b;
    b.Jfif();
    if (!xmp.empty())
        b.Segment(0xE1, xmp);
    b.FakeScan(scanBytes);
    return b.Build();
}

TByteVector Joined(TByteVector a, const TByteVector& b) {
    Append(a, b);
    return a;
}

// The measured file length, with the picture's own end checked on the way.
std::int64_t FileLength(const TByteVector& data, std::size_t pictureEnd) {
    TFoundFile rec;
    rec.Ext = "JPG";
    EXPECT_EQ(MeasureJpegPictureLength(data), static_cast<std::int64_t>(pictureEnd));
    return MeasureLength(rec, data);
}

// A tail of bytes that follow the file and belong to nothing.
const TByteVector kNextFile(300, 0x33);

} // namespace

TEST(JpegTrailers, EachKindIsMeasuredExactly) {
    const TByteVector pic = Picture();
    const std::size_t p = pic.size();
    const TByteVector iptc = IptcRecords({"Caption", "Credit"});
    const TByteVector trailers[] = {
        AfcpTrailer(p, {iptc, TByteVector(40, 0x55)}),
        PhotoMechanicTrailer(iptc),
        FotoStationTrailer({iptc, TByteVector(48, 0x66)}),
        FotoStationTrailer({iptc}, 1), // one zero byte of padding before the first record
        Picture(500), // a second JPEG right after the first
    };
    for (const TByteVector& trailer : trailers) {
        const TByteVector file = Joined(pic, trailer);
        EXPECT_EQ(FileLength(Joined(file, kNextFile), p), static_cast<std::int64_t>(file.size()))
            << "trailer of " << trailer.size() << " bytes";
    }

    // A Samsung trailer names its blocks only in a directory at its very end. The rules measure
    // it wherever it stands; a file's measure looks for one after another trailer, as a
    // camera's records are followed, but not after every picture: blocks of arbitrary bytes
    // give no sign of it, and searching the next megabyte after each picture for its closing
    // word would hold every picture's measure open that long.
    const TByteVector samsung = SamsungTrailer({TByteVector(100, 0x10), MinimalMp4(400)});
    const TByteVector withSamsung = Joined(pic, samsung);
    EXPECT_EQ(MeasureJpegTrailers(Joined(withSamsung, kNextFile), p, TMotionPhoto{}),
              static_cast<std::int64_t>(withSamsung.size()));
    const TByteVector afterRecords = Joined(Joined(pic, AfcpTrailer(p, {iptc})), samsung);
    EXPECT_EQ(FileLength(Joined(afterRecords, kNextFile), p), static_cast<std::int64_t>(afterRecords.size()));

    // Chained: a depth image, then a picture database's records after it.
    const TByteVector depth = Picture(200);
    TByteVector chain = Joined(pic, depth);
    chain = Joined(chain, AfcpTrailer(chain.size(), {iptc}));
    EXPECT_EQ(FileLength(Joined(chain, kNextFile), p), static_cast<std::int64_t>(chain.size()));

    // The scan's record: the picture alone as its thumbnail; the file's length once the bytes
    // the trailer may reach have come (here: the data ends), from the measure it left open.
    TFoundFile rec;
    const TByteVector withMechanic = Joined(pic, PhotoMechanicTrailer(iptc));
    ASSERT_TRUE(RecogniseJpeg(withMechanic, rec));
    EXPECT_EQ(rec.Length, kUnknownLength);
    EXPECT_EQ(rec.ThumbOffset, 0u);
    EXPECT_EQ(rec.ThumbLength, p);
    const auto open = TakeOpenMeasure(rec, withMechanic);
    ASSERT_NE(open, nullptr);
    EXPECT_EQ(open->Finish(), TMeasureStatus::Ended);
    EXPECT_EQ(open->Length(), static_cast<std::int64_t>(withMechanic.size()));
}

TEST(JpegTrailers, LookAlikesDoNotExtendTheFile) {
    const TByteVector pic = Picture();
    const std::size_t p = pic.size();
    const TByteVector iptc = IptcRecords({"Caption"});

    // An AFCP footer that names another start.
    TByteVector afcp = AfcpTrailer(p, {iptc});
    PutBE32(afcp, afcp.size() - 8, static_cast<std::uint32_t>(p + 2));
    // A Photo Mechanic size that is one short.
    TByteVector mechanic = PhotoMechanicTrailer(iptc);
    PutBE32(mechanic, iptc.size(), static_cast<std::uint32_t>(iptc.size() - 1));
    // A FotoStation record whose size reaches past the picture's end.
    TByteVector station = FotoStationTrailer({iptc});
    PutBE32(station, station.size() - 8, static_cast<std::uint32_t>(iptc.size() + 11));
    // A Samsung directory whose first block does not start at the picture's end.
    TByteVector samsung(4, 0x77);
    Append(samsung, SamsungTrailer({TByteVector(64, 0x10)}));
    // Records with no end marker at all, and the magic words in plain bytes.
    TByteVector bare = iptc;
    const std::string text = std::string(64, 'A') + "cbipcbblSEFTAXS!";
    const TByteVector words(text.begin(), text.end());
    // A complete camera picture on the next sector: the next file, not a part of this one.
    TJpegBuilder camera;
    camera.Exif(TByteVector{'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0}).FakeScan(100);

    for (const TByteVector& trailer : {afcp, mechanic, station, samsung, bare, words})
        EXPECT_EQ(FileLength(Joined(Joined(pic, trailer), kNextFile), p), static_cast<std::int64_t>(p))
            << "trailer of " << trailer.size() << " bytes";

    // A picture that ends on a sector boundary, with the camera picture after it.
    const TByteVector exact = Picture(700 + (1024 - p));
    ASSERT_EQ(exact.size(), 1024u);
    const TByteVector next = camera.Build();
    EXPECT_EQ(FileLength(Joined(exact, next), 1024), 1024);
    // Off the boundary the same bytes are appended to the picture.
    EXPECT_EQ(FileLength(Joined(pic, next), p), static_cast<std::int64_t>(p + next.size()));
}

TEST(JpegTrailers, PastTheDataOrTheLimit) {
    const TByteVector pic = Picture();
    const std::size_t p = pic.size();
    const TByteVector afcp = AfcpTrailer(p, {IptcRecords({"Caption"}), TByteVector(2000, 1)});
    TByteVector cut = Joined(pic, afcp);
    cut.resize(p + 100);
    EXPECT_EQ(FileLength(cut, p), kUnknownLength);
    const TByteVector second = Picture(3000);
    cut = Joined(pic, second);
    cut.resize(p + 1000);
    EXPECT_EQ(FileLength(cut, p), kUnknownLength);

    // A record that would end past 50 MiB is no record of this file.
    TByteVector huge = AfcpTrailer(p, {IptcRecords({"Caption"})});
    PutBE32(huge, 16, 52428800u); // the first record's size
    EXPECT_EQ(FileLength(Joined(pic, huge), p), static_cast<std::int64_t>(p));

    // The bytes after the picture are what decides whether more may belong to it.
    EXPECT_TRUE(JpegTrailerMayFollow(pic, p));
    EXPECT_TRUE(JpegTrailerMayFollow(Joined(pic, afcp), p));
    EXPECT_TRUE(JpegTrailerMayFollow(Joined(pic, PhotoMechanicTrailer(IptcRecords({"x"}))), p));
    EXPECT_FALSE(JpegTrailerMayFollow(Joined(pic, kNextFile), p));
}

TEST(JpegTrailers, MotionPhotoVideoFromXmp) {
    const TByteVector video = MinimalMp4(5000);
    // GCamera:MicroVideoOffset: the video runs to the file's end.
    const TByteVector pic = Picture(700, MotionPhotoXmp(video.size()));
    TByteVector file = Joined(pic, video);
    EXPECT_EQ(FileLength(Joined(file, kNextFile), pic.size()), static_cast<std::int64_t>(file.size()));
    // The scan sees the start of the video only: the XMP still gives the whole length.
    EXPECT_EQ(FileLength(TByteVector(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(pic.size() + 64)),
                         pic.size()),
              static_cast<std::int64_t>(file.size()));
    // The data ends with the picture: the video is somewhere beyond, its end not yet known.
    EXPECT_EQ(FileLength(pic, pic.size()), kUnknownLength);
    // Something other than a video after the picture: the XMP does not extend it.
    EXPECT_EQ(FileLength(Joined(pic, kNextFile), pic.size()), static_cast<std::int64_t>(pic.size()));

    // Container:Directory: the primary picture's padding and the items after it.
    const TByteVector depth = Picture(300);
    const TByteVector dirPic =
        Picture(700, MotionPhotoXmp(0, 4, {{"image/jpeg", depth.size()}, {"video/mp4", video.size()}}));
    TByteVector dirFile = Joined(dirPic, TByteVector(4, 0));
    dirFile = Joined(Joined(dirFile, depth), video);
    EXPECT_EQ(FileLength(Joined(dirFile, kNextFile), dirPic.size()), static_cast<std::int64_t>(dirFile.size()));
    // An item of unknown length names no end.
    const TByteVector unknownPic = Picture(700, MotionPhotoXmp(0, 0, {{"video/mp4", 0}}));
    EXPECT_EQ(FileLength(Joined(Joined(unknownPic, video), kNextFile), unknownPic.size()),
              static_cast<std::int64_t>(unknownPic.size()));
}
