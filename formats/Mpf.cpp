// Reads the multi-picture index of a JPEG to find where its appended images end.
#include "formats/Mpf.h"

#include <algorithm>

namespace lumivore {

namespace {

constexpr std::uint16_t kTagMpEntry = 0xB002;
constexpr std::uint16_t kTypeUndefined = 7;
constexpr std::uint32_t kMpEntrySize = 16;

// The index inside an "MPF\0" payload: tiff holds the bytes from the TIFF header to the
// segment's end, tiffPos is the header's position in the JPEG. Every image entry ends at its
// offset (from the TIFF header) plus its size; an offset of 0 stands for the JPEG's own start.
std::int64_t IndexExtent(TBytes tiff, std::uint64_t tiffPos, std::uint64_t* primarySize = nullptr,
                         std::vector<TPiece>* images = nullptr) {
    TByteReader reader(tiff);
    if (reader.Matches(0, "MM"))
        reader.setBigEndian(true);
    else if (!reader.Matches(0, "II"))
        return -1;
    std::uint16_t magic = 0, entryCount = 0;
    std::uint32_t directory = 0;
    if (!reader.U16(2, magic) || magic != 42 || !reader.U32(4, directory) || !reader.U16(directory, entryCount))
        return -1;
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        const std::uint64_t entry = static_cast<std::uint64_t>(directory) + 2 + 12ull * i;
        std::uint16_t tag = 0, type = 0;
        std::uint32_t count = 0, valueOffset = 0;
        if (!reader.U16(entry, tag) || !reader.U16(entry + 2, type) || !reader.U32(entry + 4, count) ||
            !reader.U32(entry + 8, valueOffset))
            return -1;
        if (tag != kTagMpEntry)
            continue;
        if (type != kTypeUndefined || count == 0 || count % kMpEntrySize != 0 || !reader.Has(valueOffset, count))
            return -1;
        std::int64_t extent = -1;
        for (std::uint32_t k = 0; k < count / kMpEntrySize; ++k) {
            const std::uint64_t at = static_cast<std::uint64_t>(valueOffset) + k * kMpEntrySize;
            std::uint32_t imageSize = 0, imageOffset = 0;
            reader.U32(at + 4, imageSize);
            reader.U32(at + 8, imageOffset);
            if (imageSize == 0)
                continue; // names no image
            if (imageOffset == 0 && primarySize != nullptr)
                *primarySize = imageSize;
            const std::uint64_t end =
                imageOffset == 0 ? imageSize : tiffPos + imageOffset + static_cast<std::uint64_t>(imageSize);
            if (end > static_cast<std::uint64_t>(kFileLengthLimit))
                return -1;
            if (imageOffset != 0 && images != nullptr)
                images->push_back({static_cast<std::int64_t>(tiffPos + imageOffset), static_cast<std::int64_t>(imageSize)});
            extent = std::max(extent, static_cast<std::int64_t>(end));
        }
        return extent;
    }
    return -1;
}

} // namespace

bool IsMpfSegment(TBytes segment) {
    const TByteReader reader(segment, true);
    return reader.Has(0, 8) && segment[0] == 0xFF && segment[1] == 0xE2 && reader.Matches(4, "MPF") &&
           segment[7] == 0;
}

std::int64_t MpfSegmentExtent(TBytes segment, std::uint64_t pos, std::uint64_t* primarySize,
                              std::vector<TPiece>* images) {
    const TByteReader reader(segment, true);
    std::uint16_t segmentLength = 0;
    TBytes index;
    if (!IsMpfSegment(segment) || !reader.U16BE(2, segmentLength) || segmentLength < 6 ||
        !reader.Sub(8, segmentLength - 6u, index))
        return -1;
    return IndexExtent(index, pos + 8, primarySize, images);
}

std::int64_t MpfExtent(TBytes jpeg, std::vector<TPiece>* images) {
    const std::uint64_t size = jpeg.size();
    if (size < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return -1;
    const TByteReader reader(jpeg, true);
    std::uint64_t pos = 2;
    // Every step advances pos by at least one byte, so the walk ends within the data.
    for (;;) {
        if (pos + 2 > size || jpeg[pos] != 0xFF)
            return -1;
        const std::uint8_t m = jpeg[pos + 1];
        if (m == 0xD9 || m == 0xDA)
            return -1; // the index stands before the scan or not at all
        if (m == 0xFF) {
            pos += 1;
            continue;
        }
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {
            pos += 2;
            continue;
        }
        std::uint16_t segmentLength = 0;
        if (!reader.U16BE(pos + 2, segmentLength) || segmentLength < 2)
            return -1;
        if (IsMpfSegment(jpeg.subspan(static_cast<std::size_t>(pos))))
            return MpfSegmentExtent(jpeg.subspan(static_cast<std::size_t>(pos)), pos, nullptr, images);
        pos += static_cast<std::uint64_t>(segmentLength) + 2;
    }
}

} // namespace lumivore
