#include "preview/Bitmap.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace lumivore {

void TBitmap::SetSize(int width, int height) {
    width = std::max(width, 0);
    height = std::max(height, 0);
    if (width > kMaxSide || height > kMaxSide)
        throw std::length_error("bitmap too large");
    width_ = width;
    height_ = height;
    stride_ = (static_cast<std::size_t>(width) * 3 + 3) & ~static_cast<std::size_t>(3);
    pixels_.assign(stride_ * static_cast<std::size_t>(height), 0);
    Fill(kBlankColour);
}

TRgb TBitmap::Pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return {};
    const std::uint8_t* p = Line(y) + static_cast<std::size_t>(x) * 3;
    return {p[0], p[1], p[2]};
}

void TBitmap::SetPixel(int x, int y, TRgb colour) {
    if (x < 0 || y < 0 || x >= width_ || y >= height_)
        return;
    std::uint8_t* p = Line(y) + static_cast<std::size_t>(x) * 3;
    p[0] = colour.R;
    p[1] = colour.G;
    p[2] = colour.B;
}

void TBitmap::Fill(TRgb colour) {
    for (int y = 0; y < height_; ++y) {
        std::uint8_t* p = Line(y);
        for (int x = 0; x < width_; ++x, p += 3) {
            p[0] = colour.R;
            p[1] = colour.G;
            p[2] = colour.B;
        }
    }
}

void TBitmap::FrameRect(const TRect& rect, TRgb pen) {
    if (rect.Width <= 0 || rect.Height <= 0)
        return;
    const int right = rect.Right() - 1;
    const int bottom = rect.Bottom() - 1;
    for (int x = rect.Left; x <= right; ++x) {
        SetPixel(x, rect.Top, pen);
        SetPixel(x, bottom, pen);
    }
    for (int y = rect.Top; y <= bottom; ++y) {
        SetPixel(rect.Left, y, pen);
        SetPixel(right, y, pen);
    }
}

namespace {

// The source pixels that make up one target pixel along one axis, with their weights.
struct TTaps {
    int First = 0;
    std::vector<float> Weights;
};

std::vector<TTaps> MakeTaps(int sourceSize, int targetSize) {
    std::vector<TTaps> taps(static_cast<std::size_t>(targetSize));
    const double ratio = static_cast<double>(sourceSize) / targetSize;
    for (int i = 0; i < targetSize; ++i) {
        TTaps& t = taps[static_cast<std::size_t>(i)];
        if (sourceSize >= targetSize) {
            // Area average: the target pixel covers [lo, hi) of the source axis.
            const double lo = i * ratio;
            const double hi = std::min((i + 1) * ratio, static_cast<double>(sourceSize));
            const int first = static_cast<int>(std::floor(lo));
            const int last = std::min(static_cast<int>(std::ceil(hi)) - 1, sourceSize - 1);
            t.First = first;
            double total = 0;
            for (int j = first; j <= last; ++j) {
                const double w = std::min<double>(j + 1, hi) - std::max<double>(j, lo);
                t.Weights.push_back(static_cast<float>(std::max(w, 0.0)));
                total += std::max(w, 0.0);
            }
            if (total > 0)
                for (float& w : t.Weights)
                    w = static_cast<float>(w / total);
        } else {
            // Linear interpolation between the two nearest source pixel centres.
            double pos = (i + 0.5) * ratio - 0.5;
            pos = std::clamp(pos, 0.0, static_cast<double>(sourceSize - 1));
            const int first = static_cast<int>(std::floor(pos));
            const float frac = static_cast<float>(pos - first);
            t.First = first;
            if (first + 1 < sourceSize && frac > 0) {
                t.Weights = {1.0f - frac, frac};
            } else {
                t.Weights = {1.0f};
            }
        }
    }
    return taps;
}

std::uint8_t ToByte(float v) {
    return static_cast<std::uint8_t>(std::clamp(static_cast<int>(v + 0.5f), 0, 255));
}

} // namespace

void TBitmap::DrawScaled(const TBitmap& source, const TRect& dest) {
    if (source.Empty() || dest.Width <= 0 || dest.Height <= 0)
        return;
    // The part of dest that lies inside this picture.
    const int x0 = std::max(dest.Left, 0), x1 = std::min(dest.Right(), width_);
    const int y0 = std::max(dest.Top, 0), y1 = std::min(dest.Bottom(), height_);
    if (x0 >= x1 || y0 >= y1)
        return;
    if (source.width_ == dest.Width && source.height_ == dest.Height) {
        Draw(source, dest.Left, dest.Top);
        return;
    }
    const std::vector<TTaps> xTaps = MakeTaps(source.width_, dest.Width);
    const std::vector<TTaps> yTaps = MakeTaps(source.height_, dest.Height);

    // Source rows needed by the visible target rows.
    const int rowFirst = yTaps[static_cast<std::size_t>(y0 - dest.Top)].First;
    const TTaps& lastTaps = yTaps[static_cast<std::size_t>(y1 - 1 - dest.Top)];
    const int rowLast = lastTaps.First + static_cast<int>(lastTaps.Weights.size()) - 1;
    const int columns = x1 - x0;

    // Horizontal pass: every needed source row resampled to the visible target columns.
    std::vector<float> rows(static_cast<std::size_t>(rowLast - rowFirst + 1) * columns * 3);
    for (int sy = rowFirst; sy <= rowLast; ++sy) {
        const std::uint8_t* line = source.Line(sy);
        float* out = rows.data() + static_cast<std::size_t>(sy - rowFirst) * columns * 3;
        for (int x = x0; x < x1; ++x, out += 3) {
            const TTaps& t = xTaps[static_cast<std::size_t>(x - dest.Left)];
            float r = 0, g = 0, b = 0;
            const std::uint8_t* p = line + static_cast<std::size_t>(t.First) * 3;
            for (float w : t.Weights) {
                r += w * p[0];
                g += w * p[1];
                b += w * p[2];
                p += 3;
            }
            out[0] = r;
            out[1] = g;
            out[2] = b;
        }
    }
    // Vertical pass into this picture.
    for (int y = y0; y < y1; ++y) {
        const TTaps& t = yTaps[static_cast<std::size_t>(y - dest.Top)];
        std::uint8_t* out = Line(y) + static_cast<std::size_t>(x0) * 3;
        for (int c = 0; c < columns * 3; ++c) {
            float v = 0;
            const float* in = rows.data() + static_cast<std::size_t>(t.First - rowFirst) * columns * 3 + c;
            for (float w : t.Weights) {
                v += w * *in;
                in += static_cast<std::size_t>(columns) * 3;
            }
            out[c] = ToByte(v);
        }
    }
}

void TBitmap::Draw(const TBitmap& source, int x, int y) {
    // Sums in 64 bits: a far-off position must clip, not wrap.
    const int x0 = std::max(x, 0), x1 = static_cast<int>(std::min<long long>(static_cast<long long>(x) + source.width_, width_));
    const int y0 = std::max(y, 0), y1 = static_cast<int>(std::min<long long>(static_cast<long long>(y) + source.height_, height_));
    if (x0 >= x1 || y0 >= y1)
        return;
    for (int row = y0; row < y1; ++row) {
        const std::uint8_t* in = source.Line(row - y) + static_cast<std::size_t>(x0 - x) * 3;
        std::copy(in, in + static_cast<std::size_t>(x1 - x0) * 3, Line(row) + static_cast<std::size_t>(x0) * 3);
    }
}

} // namespace lumivore
