#include "testkit/LargeFiles.h"

#include <fcntl.h>
#include <unistd.h>

#include "testkit/MediaBuilder.h"
#include "testkit/TiffBuilder.h"

namespace lumivore::testkit {

namespace {

void PutLE32At(TByteVector& out, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

TByteVector ChunkHeader(const char (&id)[5], std::uint32_t size, const char (&form)[5]) {
    TByteVector h(id, id + 4);
    h.resize(12);
    PutLE32At(h, 4, size);
    std::copy(form, form + 4, h.begin() + 8);
    return h;
}

} // namespace

bool CreateSparseFile(const std::string& path, std::uint64_t size, const std::vector<TPlacedBytes>& pieces) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
    for (const TPlacedBytes& p : pieces)
        ok = ok && ::pwrite(fd, p.Bytes.data(), p.Bytes.size(), static_cast<off_t>(p.Offset)) ==
                       static_cast<ssize_t>(p.Bytes.size());
    return ::close(fd) == 0 && ok;
}

std::vector<TPlacedBytes> LargeTiffRaw(std::uint64_t length, const std::string& make, const TByteVector& preview,
                                 std::uint32_t stripOffset, std::uint32_t directoryAt) {
    TTiffBuilder b;
    if (directoryAt > 0)
        b.PadTo(directoryAt);
    const auto dir = b.AddDirectory();
    b.Ascii(dir, 0x010F, make);
    b.Ascii(dir, 0x0110, "Large Sensor 100");
    b.Long(dir, 0x0100, {11648});
    b.Long(dir, 0x0101, {8736});
    b.JpegThumbnail(dir, preview);
    b.Long(dir, 0x0111, {stripOffset});
    b.Long(dir, 0x0117, {static_cast<std::uint32_t>(length - stripOffset)});
    return {{0, b.Build()}};
}

std::vector<TPlacedBytes> OpenDmlAvi(std::uint32_t firstRiffSize, const std::vector<std::uint32_t>& avixSizes) {
    // The first chunk: a small AVI's header list, movi list and index, with the RIFF size of the
    // long one, and a "JUNK" chunk that fills the rest of it.
    TByteVector head = WithRiffSize(MakeAvi(320, 240, 2, 1000), firstRiffSize);
    const std::uint32_t junk = firstRiffSize + 8 - static_cast<std::uint32_t>(head.size()) - 8;
    const TByteVector filler = {'J', 'U', 'N', 'K', static_cast<std::uint8_t>(junk), static_cast<std::uint8_t>(junk >> 8),
                                static_cast<std::uint8_t>(junk >> 16), static_cast<std::uint8_t>(junk >> 24)};
    head.insert(head.end(), filler.begin(), filler.end());
    std::vector<TPlacedBytes> pieces{{0, head}};
    std::uint64_t end = std::uint64_t{firstRiffSize} + 8;
    for (std::uint32_t size : avixSizes) {
        end += end % 2;
        // Each further chunk: its movi list, holding one frame chunk as long as the list.
        TByteVector h = ChunkHeader("RIFF", size, "AVIX");
        const TByteVector movi = ChunkHeader("LIST", size - 12, "movi");
        h.insert(h.end(), movi.begin(), movi.end());
        const std::uint32_t frame = size - 24;
        const TByteVector chunk = {'0', '0', 'd', 'c', static_cast<std::uint8_t>(frame), static_cast<std::uint8_t>(frame >> 8),
                                   static_cast<std::uint8_t>(frame >> 16), static_cast<std::uint8_t>(frame >> 24)};
        h.insert(h.end(), chunk.begin(), chunk.end());
        pieces.push_back({end, h});
        end += std::uint64_t{size} + 8;
    }
    return pieces;
}

std::uint64_t OpenDmlAviLength(std::uint32_t firstRiffSize, const std::vector<std::uint32_t>& avixSizes) {
    std::uint64_t end = std::uint64_t{firstRiffSize} + 8;
    for (std::uint32_t size : avixSizes)
        end += end % 2 + std::uint64_t{size} + 8;
    return end;
}

std::vector<TPlacedBytes> PlacedAt(std::uint64_t base, std::vector<TPlacedBytes> pieces) {
    for (TPlacedBytes& p : pieces)
        p.Offset += base;
    return pieces;
}

} // namespace lumivore::testkit
