#pragma once
// Picture decoders for the thumbnails and the full-size preview: JPEG, PNG, GIF (first frame),
// TIFF and DNG (the first image that can be shown) and BMP. Each takes the bytes of one
// picture in memory and returns it as an RGB bitmap, or throws TDecodeError when the data
// cannot be decoded. None of them prints, exits, or lets a C library jump past C++ frames.
// Every decoder refuses a picture of more than maxPixels pixels before it allocates it.

#include <cstdint>
#include <stdexcept>

#include "formats/ByteOrder.h"
#include "preview/Bitmap.h"

namespace lumivore {

class TDecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Pictures above this many pixels are refused (a 120-megapixel picture is about 360 MB).
inline constexpr std::uint64_t kMaxDecodePixels = 120'000'000;

struct TDecodedPicture {
    TBitmap Bitmap;          // the decoded pixels; smaller than the picture for a reduced JPEG
    std::uint32_t Width = 0; // the picture's own size in pixels
    std::uint32_t Height = 0;
};

// Decodes a JPEG stream. When coverWidth and coverHeight are given and the picture is larger,
// the decoder uses the smallest of libjpeg's scales n/8 (n = 1 .. 8) whose output still covers
// the picture shrunk to fit coverWidth x coverHeight; the bitmap is then smaller than
// Width x Height.
TDecodedPicture DecodeJpeg(TBytes data, std::uint32_t coverWidth = 0, std::uint32_t coverHeight = 0,
                           std::uint64_t maxPixels = kMaxDecodePixels);
// PNG, every colour type and bit depth; transparency is laid over white.
TDecodedPicture DecodePng(TBytes data, std::uint64_t maxPixels = kMaxDecodePixels);
// The first frame of a GIF on its logical screen; transparent and uncovered pixels are white.
TDecodedPicture DecodeGif(TBytes data, std::uint64_t maxPixels = kMaxDecodePixels);
// The first image of a TIFF or DNG file (directory by directory) that can be shown in colour.
TDecodedPicture DecodeTiff(TBytes data, std::uint64_t maxPixels = kMaxDecodePixels);
// Windows and OS/2 bitmaps, uncompressed or with bit fields, 1, 4, 8, 16, 24 or 32 bits per
// pixel, stored bottom-up or top-down.
TDecodedPicture DecodeBmp(TBytes data, std::uint64_t maxPixels = kMaxDecodePixels);

} // namespace lumivore
