// Thumbnails and full-size previews of found files.
#include "preview/Thumbnails.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "engine/FileTypes.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "preview/Decoders.h"
#include "preview/PhonePictures.h"

namespace lumivore {

TRect FitToBox(std::uint32_t w, std::uint32_t h) {
    std::uint32_t width = w, height = h;
    if (w <= kThumbPictureSide && h <= kThumbPictureSide) {
        // Small pictures are never enlarged.
    } else if (h > w) {
        height = kThumbPictureSide;
        width = static_cast<std::uint32_t>(static_cast<std::uint64_t>(w) * kThumbPictureSide / h);
    } else {
        width = kThumbPictureSide;
        height = static_cast<std::uint32_t>(static_cast<std::uint64_t>(h) * kThumbPictureSide / w);
    }
    TRect box;
    box.Width = static_cast<int>(width);
    box.Height = static_cast<int>(height);
    box.Left = (kThumbPictureSide - box.Width) / 2 + 1;
    box.Top = (kThumbPictureSide - box.Height) / 2 + 1;
    return box;
}

std::unique_ptr<TBitmap> FramePicture(const TBitmap& picture, std::uint32_t w, std::uint32_t h) {
    auto thumb = std::make_unique<TBitmap>(kThumbSize, kThumbSize);
    thumb->FrameRect({0, 0, kThumbSize, kThumbSize}, kFramePen);
    thumb->DrawScaled(picture, FitToBox(w, h));
    return thumb;
}

std::uint8_t SampleToByte(std::uint16_t sample) {
    std::uint32_t root = static_cast<std::uint32_t>(std::sqrt(static_cast<double>(sample)));
    while (root * root > sample)
        --root;
    while ((root + 1) * (root + 1) <= sample)
        ++root;
    return static_cast<std::uint8_t>(root);
}

std::uint8_t Brighten(std::uint8_t c, std::uint32_t factor) {
    const std::uint64_t added = (static_cast<std::uint64_t>(c) * factor + 254) / 255;
    return static_cast<std::uint8_t>(std::min<std::uint64_t>(255, c + added));
}

bool ConvertRgbStrip(TBytes range, std::uint16_t width, std::uint16_t height, std::uint16_t bitsPerSample,
                     TBitmap& target) {
    if (bitsPerSample != 8 && bitsPerSample != 16)
        return false;
    const std::size_t bytesPerSample = bitsPerSample / 8;
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3 * bytesPerSample;
    if (static_cast<std::uint64_t>(rowBytes) * height > range.size())
        return false;
    target.SetSize(width, height);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = range.data() + static_cast<std::size_t>(y) * rowBytes;
        std::uint8_t* out = target.Line(y);
        for (int x = 0; x < width; ++x, out += 3) {
            if (bitsPerSample == 8) {
                out[0] = in[0];
                out[1] = in[1];
                out[2] = in[2];
                in += 3;
            } else {
                const auto sample = [&](int i) {
                    return SampleToByte(static_cast<std::uint16_t>((in[2 * i] << 8) | in[2 * i + 1]));
                };
                out[0] = Brighten(sample(0), 2000);
                out[1] = Brighten(sample(1), 1500);
                out[2] = Brighten(sample(2), 1500);
                in += 6;
            }
        }
    }
    return true;
}

namespace {

using TThumb = std::unique_ptr<TBitmap>;

TThumb RenderJpegThumbnail(TScanEngine& engine, TFoundFile& file) {
    TMemoryStream stream;
    if (!engine.ReadThumbnailRange(file, stream))
        return nullptr;
    const TFileTypeTraits& traits = TraitsOf(file.Type());
    // Minolta's embedded preview lacks the first byte of its start marker.
    if (traits.PreviewLacksMarkerByte && stream.Size() > 0)
        stream.Memory()[0] = 0xFF;
    // Decoding at a reduced scale keeps a page of large photos cheap; the scale still covers
    // every pixel of the box the picture is drawn into.
    TDecodedPicture picture = DecodeJpeg(stream.Bytes(), kThumbPictureSide, kThumbPictureSide);
    // A JPG's own size is known from its range only when the range is the whole photo: an EXIF
    // thumbnail of a photo measured later is still 160 x 120 and must not become the photo's size.
    const bool wholePhoto = traits.Decoder == TPictureDecoder::Jpeg && file.Length > 0 &&
                            static_cast<std::uint32_t>(file.Length) == file.ThumbLength;
    if (traits.SizeFromPreview || wholePhoto) {
        file.Width = static_cast<std::int32_t>(picture.Width);
        file.Height = static_cast<std::int32_t>(picture.Height);
    }
    return FramePicture(picture.Bitmap, picture.Width, picture.Height);
}

TThumb RenderRgbThumbnail(TScanEngine& engine, const TFoundFile& file) {
    TMemoryStream stream;
    if (!engine.ReadThumbnailRange(file, stream))
        return nullptr;
    TBitmap strip;
    if (!ConvertRgbStrip(stream.Bytes(), file.ThumbWidth, file.ThumbHeight, file.ThumbBitsPerSample, strip))
        return nullptr;
    return FramePicture(strip, file.ThumbWidth, file.ThumbHeight);
}

// The whole file as the thumbnail range. A length that is not a usable file length would
// make the range read reach far beyond the file (or allocate gigabytes): nothing is read.
bool ReadWholeFileRange(TScanEngine& engine, TFoundFile& file, TMemoryStream& stream) {
    if (file.Length < 1 || file.Length >= kFileLengthLimit)
        return false;
    file.ThumbLength = static_cast<std::uint32_t>(file.Length);
    return engine.ReadThumbnailRange(file, stream);
}

// The bit count of a BMP information header: only the depths the decoder draws pass.
bool BmpBitCountAccepted(TBytes data) {
    std::uint16_t bitCount = 0;
    if (!TByteReader(data).U16LE(28, bitCount))
        return false;
    return bitCount == 1 || bitCount == 4 || bitCount == 8 || bitCount == 16 || bitCount == 24 || bitCount == 32;
}

TThumb RenderBmpThumbnail(TScanEngine& engine, TFoundFile& file) {
    TMemoryStream stream;
    // A short read is not refused here: the bit-count test and the decoder judge what arrived.
    ReadWholeFileRange(engine, file, stream);
    if (!BmpBitCountAccepted(stream.Bytes()))
        return nullptr;
    TDecodedPicture picture = DecodeBmp(stream.Bytes());
    return FramePicture(picture.Bitmap, picture.Width, picture.Height);
}

template <typename TDecode>
TThumb RenderWholeFile(TScanEngine& engine, TFoundFile& file, TDecode decode, bool storeSize) {
    TMemoryStream stream;
    if (!ReadWholeFileRange(engine, file, stream))
        return nullptr;
    TDecodedPicture picture = decode(stream.Bytes());
    if (storeSize) {
        file.Width = static_cast<std::int32_t>(picture.Width);
        file.Height = static_cast<std::int32_t>(picture.Height);
    }
    return FramePicture(picture.Bitmap, picture.Width, picture.Height);
}

// A picture that ran past the scan's block has no length yet and, without an embedded
// thumbnail, nothing else to show: read it back once, which measures it, and decode what was
// read. A JPEG is decoded at a reduced scale and afterwards carries the whole file as its
// thumbnail range, as one the scan measured does. A JPEG whose end lies beyond the read-back
// window is still drawn from the part that was read.
TThumb RenderMeasuredFile(TScanEngine& engine, TFoundFile& file) {
    const TPictureDecoder decoder = TraitsOf(file.Type()).Decoder;
    const bool jpeg = decoder == TPictureDecoder::Jpeg;
    if (!jpeg && decoder != TPictureDecoder::Gif && decoder != TPictureDecoder::Png && decoder != TPictureDecoder::Tiff)
        return nullptr;
    TMemoryStream stream;
    const bool measured = engine.LoadFoundFile(file, stream);
    if (!measured && !(jpeg && stream.Size() > 0))
        return nullptr;
    // The decoder refuses data that stops inside the picture; an end marker after the window
    // makes it draw the rows the window holds and leave the rest plain.
    if (!measured) {
        stream.Vector().push_back(0xFF);
        stream.Vector().push_back(0xD9);
    }
    TDecodedPicture picture;
    if (jpeg) {
        picture = DecodeJpeg(stream.Bytes(), kThumbPictureSide, kThumbPictureSide);
        if (measured) {
            file.ThumbKind = kThumbJpeg;
            file.ThumbOffset = 0;
            file.ThumbLength = static_cast<std::uint32_t>(file.Length);
            file.Width = static_cast<std::int32_t>(picture.Width);
            file.Height = static_cast<std::int32_t>(picture.Height);
        }
    } else {
        if (decoder == TPictureDecoder::Gif) {
            picture = DecodeGif(stream.Bytes());
        } else {
            picture = decoder == TPictureDecoder::Png ? DecodePng(stream.Bytes()) : DecodeTiff(stream.Bytes());
            file.Width = static_cast<std::int32_t>(picture.Width);
            file.Height = static_cast<std::int32_t>(picture.Height);
        }
        file.ThumbLength = static_cast<std::uint32_t>(file.Length);
    }
    return FramePicture(picture.Bitmap, picture.Width, picture.Height);
}

// A picture whose end lies beyond the read-back window (a JPEG of more than 5 MB whose length
// the scan could not see) is measured again over windows that grow up to the file length
// limit, as recovery measures it. Only the full-size preview of one file does this: a page of
// thumbnails would read 50 MiB for every damaged file.
bool LoadLongFile(TScanEngine& engine, TFoundFile& file, TMemoryStream& stream) {
    const TPictureDecoder decoder = TraitsOf(file.Type()).Decoder;
    if (engine.Busy ||
        (decoder != TPictureDecoder::Jpeg && decoder != TPictureDecoder::Gif && decoder != TPictureDecoder::Png))
        return false;
    struct TBusy {
        bool& Flag;
        ~TBusy() { Flag = false; }
    } busy{engine.Busy};
    engine.Busy = true;
    constexpr std::uint32_t kWindows[] = {32768, kFileLengthLimit / kSectorSize}; // 16 MiB, 50 MiB
    for (std::uint32_t sectors : kWindows) {
        stream.Vector().assign(static_cast<std::size_t>(sectors) * kSectorSize, 0);
        engine.ReadSectors(stream.Memory(), sectors, file.StartSector);
        const std::int64_t length = MeasureForRecovery(file.Ext, stream.Bytes());
        if (length > 0 && length < kFileLengthLimit) {
            file.Length = static_cast<std::int64_t>(length);
            stream.SetSize(static_cast<std::size_t>(length));
            stream.SetPosition(0);
            return true;
        }
    }
    return false;
}

// A file too long to read whole (a raw of a high-resolution camera, a video) is shown by its
// embedded preview at full size: only that range is read from the device.
bool LoadEmbeddedPreview(TScanEngine& engine, const TFoundFile& file, TBitmap& target) {
    if (file.ThumbLength == 0 || (file.ThumbKind != kThumbJpeg && file.ThumbKind != kThumbRgb))
        return false;
    TMemoryStream stream;
    if (!engine.ReadThumbnailRange(file, stream))
        return false;
    if (file.ThumbKind == kThumbRgb)
        return ConvertRgbStrip(stream.Bytes(), file.ThumbWidth, file.ThumbHeight, file.ThumbBitsPerSample, target);
    if (TraitsOf(file.Type()).PreviewLacksMarkerByte && stream.Size() > 0)
        stream.Memory()[0] = 0xFF; // as for the thumbnail: the start marker lacks its first byte
    TDecodedPicture picture = DecodeJpeg(stream.Bytes());
    if (picture.Bitmap.Empty())
        return false;
    target.SetSize(picture.Bitmap.Width(), picture.Bitmap.Height());
    target.Draw(picture.Bitmap, 0, 0);
    return true;
}

} // namespace

std::unique_ptr<TBitmap> TScanEngine::MakeThumbnail(TFoundFile& file) {
    const TPictureDecoder decoder = TraitsOf(file.Type()).Decoder;
    // Phone and video files have decoders of their own; a CR3 shows its JPEG preview below.
    if (MediaDecoded(decoder))
        return MakePhoneThumbnail(*this, file);
    try {
        if (file.ThumbKind == kThumbJpeg)
            return RenderJpegThumbnail(*this, file);
        if (file.ThumbKind == kThumbRgb)
            return RenderRgbThumbnail(*this, file);
        if (file.Length == kUnknownLength)
            return RenderMeasuredFile(*this, file);
        switch (decoder) {
        case TPictureDecoder::Bmp: return RenderBmpThumbnail(*this, file);
        case TPictureDecoder::Gif:
            return RenderWholeFile(*this, file, [](TBytes d) { return DecodeGif(d); }, false);
        case TPictureDecoder::Png:
            return RenderWholeFile(*this, file, [](TBytes d) { return DecodePng(d); }, true);
        case TPictureDecoder::Tiff:
            return RenderWholeFile(*this, file, [](TBytes d) { return DecodeTiff(d); }, true);
        default: return nullptr;
        }
    } catch (...) {
        return nullptr;
    }
}

bool TScanEngine::LoadPreview(TFoundFile& file, TBitmap& target) {
    const TPictureDecoder decoder = TraitsOf(file.Type()).Decoder;
    // Phone and video files are read through their own decoders, never whole; a CR3 shows its
    // JPEG preview in full.
    if (MediaDecoded(decoder) || decoder == TPictureDecoder::EmbeddedJpeg)
        return LoadPhonePreview(*this, file, target);
    try {
        if (!LengthKnown(file.Length) && LengthKnownFor(file.Ext, file.Length))
            return LoadEmbeddedPreview(*this, file, target);
        TMemoryStream stream;
        if (!LoadFoundFile(file, stream) && !LoadLongFile(*this, file, stream))
            return false;
        const TBytes data = stream.Bytes();
        TDecodedPicture picture;
        switch (decoder) {
        case TPictureDecoder::Bmp:
            if (!BmpBitCountAccepted(data))
                return false;
            picture = DecodeBmp(data);
            break;
        case TPictureDecoder::Gif: picture = DecodeGif(data); break;
        case TPictureDecoder::Png: picture = DecodePng(data); break;
        case TPictureDecoder::Tiff: picture = DecodeTiff(data); break;
        case TPictureDecoder::Jpeg: picture = DecodeJpeg(data); break;
        default: return true;
        }
        target.SetSize(picture.Bitmap.Width(), picture.Bitmap.Height());
        target.Draw(picture.Bitmap, 0, 0);
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace lumivore
