// The preview window's rules that need no window: pages, their order, the metadata pane's
// values and where a picture goes in the pane.
#include "ui/PreviewRules.h"

#include <algorithm>
#include <cstdio>

namespace lumivore {

std::uint16_t PageSizeFromFilesOnce(std::optional<std::int32_t> filesOnce) {
    static constexpr std::uint16_t kSizes[] = {100, 200, 300, 400, 500, 600, 800, 1000};
    if (!filesOnce)
        return 200;
    const auto index = static_cast<std::uint32_t>(*filesOnce) & 0xFF;
    return index < std::size(kSizes) ? kSizes[index] : 200;
}

std::vector<std::string> PageRangeCaptions(std::int32_t count, std::uint16_t pageSize) {
    std::vector<std::string> captions;
    if (pageSize == 0 || count <= pageSize)
        return captions;
    const std::int64_t pages = (static_cast<std::int64_t>(count) + pageSize - 1) / pageSize;
    for (std::int64_t f = 0; f < pages; ++f) {
        const std::int64_t first = f * pageSize;
        const std::int64_t last = first + std::min<std::int64_t>(count - 1 - first, pageSize - 1);
        // Counted from 1, as people count files.
        captions.push_back(std::to_string(first + 1) + "-" + std::to_string(last + 1));
    }
    return captions;
}

bool OnPagesOf(const TFoundFile& f, TTreeRoot root, std::uint8_t typeIndex) {
    const std::uint8_t key = root == TTreeRoot::General ? f.FormatIndex
                             : root == TTreeRoot::Raw   ? f.MakerIndex
                                                        : f.PhoneIndex;
    return key == typeIndex && !f.Nested();
}

int CompareForPage(const TFoundFile& a, const TFoundFile& b, bool generalRoot, std::uint8_t typeIndex) {
    return CompareForPage(a, b, generalRoot ? TTreeRoot::General : TTreeRoot::Raw, typeIndex);
}

int CompareForPage(const TFoundFile& a, const TFoundFile& b, TTreeRoot root, std::uint8_t typeIndex) {
    const bool ina = OnPagesOf(a, root, typeIndex);
    const bool inb = OnPagesOf(b, root, typeIndex);
    if (ina && !inb)
        return -1;
    if (inb && !ina)
        return 1;
    return a.StartSector < b.StartSector ? -1 : (a.StartSector > b.StartSector ? 1 : 0);
}

std::string Printable(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = ' ';
    return out;
}

namespace {

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : Printable(text); }

std::string NumberOrDash(std::int64_t value) { return value <= 0 ? "-" : std::to_string(value); }

} // namespace

std::string ExposureText(std::uint32_t numerator, std::uint32_t denominator) {
    if (denominator == 0 || numerator == 0)
        return "-";
    if (numerator >= denominator) {
        std::string seconds = Format("%.1f", static_cast<double>(numerator) / denominator);
        if (seconds.size() > 2 && seconds.compare(seconds.size() - 2, 2, ".0") == 0)
            seconds.resize(seconds.size() - 2);
        return seconds + "s";
    }
    return Format("1/%.0f", static_cast<double>(denominator) / numerator);
}

std::array<std::string, kMetadataLines> MetadataValues(const TFoundFile& file) {
    return {
        Printable(file.Ext),
        NumberOrDash(file.Length),
        NumberOrDash(file.Width),
        NumberOrDash(file.Height),
        OrDash(file.Make),
        OrDash(file.Model),
        OrDash(file.DateTaken),
        NumberOrDash(file.ISO),
        ExposureText(file.ExposureNum, file.ExposureDen),
        file.FNumberDen == 0 ? "-" : Format("%.1f", static_cast<double>(file.FNumberNum) / file.FNumberDen),
        file.FocalDen == 0 ? "-" : Format("%.1fmm", static_cast<double>(file.FocalNum) / file.FocalDen),
    };
}

TPreviewPlacement FitPreviewImage(int w, int h, int availableWidth, int availableHeight) {
    TPreviewPlacement p;
    if (w <= 0 || h <= 0)
        return p;
    // A pane collapsed to nothing still gets a picture of at least one pixel.
    const std::int64_t a = std::max(availableWidth, 1), b = std::max(availableHeight, 1);
    if (a < w || h > b) {
        // Scaled by the larger of w / a and h / b; computed in integers so that the side that
        // decides the scale comes out exactly as large as the area.
        if (static_cast<std::int64_t>(h) * a > static_cast<std::int64_t>(w) * b) {
            p.Height = static_cast<int>(b);
            p.Width = static_cast<int>(static_cast<std::int64_t>(w) * b / h);
        } else {
            p.Width = static_cast<int>(a);
            p.Height = static_cast<int>(static_cast<std::int64_t>(h) * a / w);
        }
        p.Stretch = true;
    } else {
        p.Width = w;
        p.Height = h;
    }
    p.Left = static_cast<int>(std::max<std::int64_t>(0, (a - p.Width) / 2));
    p.Top = static_cast<int>(std::max<std::int64_t>(0, (b - p.Height) / 2));
    return p;
}

} // namespace lumivore
