#pragma once
// A small 24-bit RGB picture: rows of red, green, blue bytes, each row padded to a multiple of
// four bytes and stored top row first in one contiguous block. The same layout as a toolkit
// RGB888 image with that bytes-per-line, so the windows can show it without copying.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumivore {

struct TRgb {
    std::uint8_t R = 0, G = 0, B = 0;
    bool operator==(const TRgb&) const = default;
};

// The colour of a fresh bitmap.
inline constexpr TRgb kBlankColour{255, 255, 255};

// A rectangle given by its left and top edges and its size; the right and bottom edges
// (Left + Width, Top + Height) are exclusive.
struct TRect {
    int Left = 0, Top = 0, Width = 0, Height = 0;
    int Right() const { return Left + Width; }
    int Bottom() const { return Top + Height; }
    bool operator==(const TRect&) const = default;
};

class TBitmap {
public:
    // Largest side a bitmap may have; larger requests throw std::length_error.
    static constexpr int kMaxSide = 1 << 16;

    TBitmap() = default;
    TBitmap(int width, int height) { SetSize(width, height); }

    // Resizes and fills the whole picture with the blank colour. Negative sizes count as 0.
    void SetSize(int width, int height);

    int Width() const { return width_; }
    int Height() const { return height_; }
    // Bytes from the start of one row to the start of the next (a multiple of 4).
    std::size_t Stride() const { return stride_; }
    bool Empty() const { return width_ == 0 || height_ == 0; }

    std::uint8_t* Data() { return pixels_.data(); }
    const std::uint8_t* Data() const { return pixels_.data(); }
    std::uint8_t* Line(int y) { return pixels_.data() + static_cast<std::size_t>(y) * stride_; }
    const std::uint8_t* Line(int y) const { return pixels_.data() + static_cast<std::size_t>(y) * stride_; }

    // Pixel access; coordinates outside the picture read as black and are not written.
    TRgb Pixel(int x, int y) const;
    void SetPixel(int x, int y, TRgb colour);

    void Fill(TRgb colour);
    // Outlines a rectangle with a one-pixel pen: its first and last rows and columns, clipped
    // to the picture. The inside is left as it was.
    void FrameRect(const TRect& rect, TRgb pen);
    // Draws source scaled to fill dest. Shrinking averages every source pixel the target pixel
    // covers (weighted by the covered area); enlarging interpolates linearly. Clipped to this
    // picture.
    void DrawScaled(const TBitmap& source, const TRect& dest);
    // Copies source unscaled with its top-left corner at (x, y), clipped to this picture.
    void Draw(const TBitmap& source, int x, int y);

    bool operator==(const TBitmap&) const = default;

private:
    int width_ = 0;
    int height_ = 0;
    std::size_t stride_ = 0;
    std::vector<std::uint8_t> pixels_;
};

} // namespace lumivore
