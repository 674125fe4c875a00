#include "preview/PhonePictures.h"

#include <vector>

#include "engine/DeviceReader.h"
#include "engine/FileTypes.h"
#include "engine/ScanEngine.h"
#include "preview/MediaDecoders.h"
#include "preview/Thumbnails.h"

namespace lumivore {

std::uint64_t ReadableExtent(const TScanEngine& engine, const TFoundFile& file) {
    if (file.StartSector < 0)
        return 0;
    if (file.Length >= 1)
        return static_cast<std::uint64_t>(file.Length);
    const std::int64_t total = engine.Drive.Info.TotalSectors;
    if (total <= file.StartSector)
        return 0;
    return static_cast<std::uint64_t>(total - file.StartSector) * kSectorSize;
}

namespace {

// A WebP is read whole, which its RIFF size allows: one that claims more than the file
// length limit is not decoded.
std::vector<std::uint8_t> ReadWholeWebp(TScanEngine& engine, const TFoundFile& file) {
    if (!LengthKnown(file.Length))
        throw TDecodeError("WebP length unknown");
    TDeviceReader reader(engine.Drive, file.StartSector, static_cast<std::uint64_t>(file.Length));
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(file.Length));
    if (!reader.ReadAt(0, bytes.data(), bytes.size()))
        throw TDecodeError("WebP cannot be read");
    return bytes;
}

// The picture a phone or video record shows, decoded for a thumbnail or in full.
TDecodedPicture DecodePhonePicture(TScanEngine& engine, const TFoundFile& file, bool thumbnail) {
    TDeviceReader reader(engine.Drive, file.StartSector, ReadableExtent(engine, file));
    TDeviceSource source(reader);
    switch (TraitsOf(file.Type()).Decoder) {
    case TPictureDecoder::Heif:
        return DecodeHeif(source, thumbnail ? THeifPicture::Thumbnail : THeifPicture::Primary);
    case TPictureDecoder::VideoFrame:
        return DecodeVideoFrame(source);
    case TPictureDecoder::WebP: {
        const std::vector<std::uint8_t> bytes = ReadWholeWebp(engine, file);
        return DecodeWebp(bytes);
    }
    case TPictureDecoder::EmbeddedJpeg: {
        // A CR3's picture is its embedded JPEG preview.
        TMemoryStream stream;
        if (file.ThumbKind != kThumbJpeg || !engine.ReadThumbnailRange(file, stream))
            throw TDecodeError("no preview");
        return thumbnail ? DecodeJpeg(stream.Bytes(), kThumbPictureSide, kThumbPictureSide)
                         : DecodeJpeg(stream.Bytes());
    }
    default:
        throw TDecodeError("not a phone or video file");
    }
}

} // namespace

std::unique_ptr<TBitmap> MakePhoneThumbnail(TScanEngine& engine, TFoundFile& file) {
    try {
        TDecodedPicture picture = DecodePhonePicture(engine, file, true);
        // A CR3's preview is smaller than its raw picture: its size is not the file's.
        if (TraitsOf(file.Type()).Decoder != TPictureDecoder::EmbeddedJpeg && (file.Width <= 0 || file.Height <= 0)) {
            file.Width = static_cast<std::int32_t>(picture.Width);
            file.Height = static_cast<std::int32_t>(picture.Height);
        }
        return FramePicture(picture.Bitmap, picture.Width, picture.Height);
    } catch (...) {
        return nullptr;
    }
}

bool LoadPhonePreview(TScanEngine& engine, TFoundFile& file, TBitmap& target) {
    try {
        TDecodedPicture picture = DecodePhonePicture(engine, file, false);
        target.SetSize(picture.Bitmap.Width(), picture.Bitmap.Height());
        target.Draw(picture.Bitmap, 0, 0);
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace lumivore
