#pragma once
// The preview window's rules that need no window (ui/CustomizeRecovery.h): the pages of a type,
// their order, the metadata pane's values and where a picture goes in the pane.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/FoundFile.h"

namespace lumivore {

// Thumbnails per page from the setting FilesOnce: its low 8 bits index 100, 200, 300, 400, 500,
// 600, 800, 1000; any other value, or none, gives 200.
std::uint16_t PageSizeFromFilesOnce(std::optional<std::int32_t> filesOnce);

// The captions of the page-range children of a type node with count files: none when the
// count fits one page, else "first-last" for every page, counted from 1.
std::vector<std::string> PageRangeCaptions(std::int32_t count, std::uint16_t pageSize);

// The roots of the tree of types, in their order: each holds the rows of one table.
enum class TTreeRoot : std::uint8_t { General, Raw, Phone };

// Sort order of a page: files whose type key (FormatIndex under the general root, MakerIndex
// under the camera root, PhoneIndex under the phone and video root) is the selected type come
// first, everything by ascending start sector. Negative, 0 or positive, as a comparison.
int CompareForPage(const TFoundFile& a, const TFoundFile& b, TTreeRoot root, std::uint8_t typeIndex);
// The same for the general root (generalRoot) or the camera root.
int CompareForPage(const TFoundFile& a, const TFoundFile& b, bool generalRoot, std::uint8_t typeIndex);
// True when the record belongs on the pages of that type; a file nested inside another found
// file is part of that file and has no page of its own.
bool OnPagesOf(const TFoundFile& f, TTreeRoot root, std::uint8_t typeIndex);

// The metadata values, "-" where absent: type, size, width, height, maker, model, date, ISO,
// exposure, aperture, focal length.
inline constexpr std::size_t kMetadataLines = 11;
std::array<std::string, kMetadataLines> MetadataValues(const TFoundFile& file);
// Exposure "1/125" for 10/1250; whole seconds or tenths ("2s", "1.5s") from one second on;
// "-" without a usable fraction.
std::string ExposureText(std::uint32_t numerator, std::uint32_t denominator);
// Text read from a card is data: control characters, which would break the lines of the pane,
// become spaces.
std::string Printable(const std::string& text);

// Where a w x h picture goes in an area of availableWidth x availableHeight: shrunk to fit by
// the larger of the two ratios (never enlarged) and centred.
struct TPreviewPlacement {
    int Left = 0, Top = 0, Width = 0, Height = 0;
    bool Stretch = false;
    bool operator==(const TPreviewPlacement&) const = default;
};
TPreviewPlacement FitPreviewImage(int w, int h, int availableWidth, int availableHeight);

} // namespace lumivore
