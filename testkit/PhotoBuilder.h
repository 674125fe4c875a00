#pragma once
// Builders that lay out JPEG, GIF, PNG and BMP files in memory: real encoded pictures for the
// decoders, and segment- or block-exact layouts for the length measures. Used by the tests, the
// fuzz seeds and the sample card image.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace lumivore::testkit {

using TByteVector = std::vector<std::uint8_t>;

// An RGB picture, 3 bytes per pixel, rows top to bottom.
struct TRgbImage {
    int Width = 0;
    int Height = 0;
    std::vector<std::uint8_t> Pixels;

    // A deterministic picture of colour gradients and a few bars; seed varies it.
    static TRgbImage Pattern(int width, int height, unsigned seed = 0);
    const std::uint8_t* Pixel(int x, int y) const { return Pixels.data() + (static_cast<std::size_t>(y) * Width + x) * 3; }
};

// ---- JPEG ----------------------------------------------------------------------------------

// A baseline JFIF stream of the picture, encoded with libjpeg; a restart interval above 0 puts
// a restart marker after every that many MCUs.
TByteVector EncodeJpeg(const TRgbImage& image, int quality = 85, int restartInterval = 0);

// Lays out a JPEG part by part after its SOI: marker segments, raw bytes, then a scan.
class TJpegBuilder {
public:
    TJpegBuilder();
    // A marker segment: FF marker, big-endian length (payload + 2), payload.
    TJpegBuilder& Segment(std::uint8_t marker, std::span<const std::uint8_t> payload);
    // An APP0 JFIF segment.
    TJpegBuilder& Jfif();
    // An APP1 segment "Exif\0\0" followed by the given TIFF block.
    TJpegBuilder& Exif(std::span<const std::uint8_t> tiff);
    // Bytes placed as they are (fill bytes, standalone markers, damage).
    TJpegBuilder& Bytes(std::span<const std::uint8_t> raw);
    // The tables, frame, scan and EOI of an encoded JPEG; its own APPn and COM segments are left
    // out so that the builder's segments stand in their place.
    TJpegBuilder& Picture(const TByteVector& encoded);
    // An SOS segment and entropyBytes bytes of made-up scan data that contain no marker, then EOI
    // unless withEoi is false. The result measures correctly but does not decode.
    TJpegBuilder& FakeScan(std::size_t entropyBytes, bool withEoi = true);

    // Bytes so far, counting the SOI: the position of the next part.
    std::size_t Size() const { return bytes_.size(); }
    TByteVector Build() const { return bytes_; }

private:
    TByteVector bytes_;
};

// One image entry of a multi-picture index.
struct TMpfImage {
    std::uint32_t Attributes = 0;
    std::uint32_t Size = 0;
    std::uint32_t Offset = 0; // from the index's TIFF header; 0 for the first image
};

// The payload of an APP2 multi-picture segment: "MPF\0", a TIFF header and one directory with
// the version, the number of images and the image entries.
TByteVector MpfPayload(std::span<const TMpfImage> images, bool bigEndian = false);

// The main JPEG with an APP2 multi-picture index inserted after its leading APP0/APP1 segments
// and the preview JPEG appended after it; the index names both images.
TByteVector JpegWithPreview(const TByteVector& mainJpeg, const TByteVector& preview, bool bigEndian = false);

// ---- GIF -----------------------------------------------------------------------------------

struct TGifImage {
    std::uint16_t Left = 0, Top = 0, Width = 1, Height = 1;
    int LocalTableBits = 0;               // 0: no local colour table, else 1..8
    std::vector<std::uint8_t> Indices;    // colour indices, Width x Height; empty: a pattern
};

class TGifBuilder {
public:
    // Header and logical screen; globalTableBits 0 means no global colour table.
    TGifBuilder(bool version89a, std::uint16_t width, std::uint16_t height, int globalTableBits = 8);

    // An extension: 0x21, label, the given sub-blocks, a zero terminator.
    TGifBuilder& Extension(std::uint8_t label, const std::vector<TByteVector>& subBlocks);
    TGifBuilder& GraphicControl(std::uint16_t delay = 0);
    TGifBuilder& Comment(const std::string& text);
    TGifBuilder& Looping(std::uint16_t loops = 0); // NETSCAPE2.0 application extension
    // An image descriptor and its LZW-coded pixel data in sub-blocks of up to 255 bytes.
    TGifBuilder& Image(const TGifImage& image);
    // An image descriptor and data sub-blocks of exactly the given sizes (contents made up).
    TGifBuilder& RawImage(std::uint16_t width, std::uint16_t height, std::uint8_t flags,
                          const std::vector<std::uint8_t>& blockSizes);
    TGifBuilder& Bytes(std::span<const std::uint8_t> raw);
    TGifBuilder& Trailer();

    std::size_t Size() const { return bytes_.size(); }
    TByteVector Build() const { return bytes_; }

private:
    TByteVector bytes_;
    int globalBits_ = 0;
};

// A GIF89a of the picture's size with one image (colours reduced to a 256-entry palette).
TByteVector EncodeGif(const TRgbImage& image);

// ---- PNG -----------------------------------------------------------------------------------

// A chunk with its length and CRC.
TByteVector PngChunk(const char (&type)[5], std::span<const std::uint8_t> data);

class TPngBuilder {
public:
    TPngBuilder(); // starts with the signature
    TPngBuilder& Chunk(const char (&type)[5], std::span<const std::uint8_t> data);
    // A chunk header stating the given data length and type, followed by no data at all.
    TPngBuilder& Header(std::uint32_t length, const char (&type)[5]);
    TPngBuilder& Bytes(std::span<const std::uint8_t> raw);
    std::size_t Size() const { return bytes_.size(); }
    TByteVector Build() const { return bytes_; }

private:
    TByteVector bytes_;
};

// An 8-bit RGB PNG of the picture, deflated with zlib; the compressed data is split over IDAT
// chunks of at most idatChunk bytes (0: one chunk).
TByteVector EncodePng(const TRgbImage& image, std::size_t idatChunk = 0);

// ---- BMP -----------------------------------------------------------------------------------

// A Windows bitmap (BITMAPINFOHEADER, uncompressed) of bit count 1, 4, 8 (grey palettes),
// 16 (5-5-5), 24 or 32; rows bottom-up unless topDown (then the height is stored negative).
TByteVector EncodeBmp(const TRgbImage& image, int bitCount, bool topDown = false);

} // namespace lumivore::testkit
