#pragma once
// The framed 95 x 95 thumbnails of found pictures: where a picture goes inside the frame, and
// the conversion of the uncompressed RGB strips that some camera files embed. The renderers
// themselves are TScanEngine::MakeThumbnail and TScanEngine::LoadPreview.

#include <cstdint>
#include <memory>

#include "formats/ByteOrder.h"
#include "preview/Bitmap.h"

namespace lumivore {

inline constexpr int kThumbSize = 95;      // the whole thumbnail, frame included
inline constexpr int kThumbPictureSide = 93; // the largest picture inside the frame
inline constexpr TRgb kFramePen{192, 220, 192};

// Where a picture of w x h pixels is drawn inside the frame: small pictures keep their size,
// larger ones shrink so that the longer side is 93, and the result is centred.
TRect FitToBox(std::uint32_t w, std::uint32_t h);

// A new thumbnail: the blank box, its frame, and picture scaled into FitToBox(w, h), where
// w x h is the picture's own size (the bitmap may hold it at a reduced scale).
std::unique_ptr<TBitmap> FramePicture(const TBitmap& picture, std::uint32_t w, std::uint32_t h);

// A 16-bit strip sample mapped to 8 bits: the integer part of its square root.
std::uint8_t SampleToByte(std::uint16_t sample);
// The strips' brightening: c + ceil(c / 255 * factor), at most 255.
std::uint8_t Brighten(std::uint8_t c, std::uint32_t factor);

// Converts an RGB strip (rows top first, red-green-blue, 8 bits per sample, or 16 bits most
// significant byte first, square-rooted and brightened) into target. False, and target
// untouched, when the range holds fewer samples than width x height x 3 or the bit depth is
// neither 8 nor 16.
bool ConvertRgbStrip(TBytes range, std::uint16_t width, std::uint16_t height, std::uint16_t bitsPerSample,
                     TBitmap& target);

} // namespace lumivore
