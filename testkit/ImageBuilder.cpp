#include "testkit/ImageBuilder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace lumivore::testkit {

namespace {

struct TOrderedWriter {
    bool BigEndian;
    TByteVector& Out;
    void U16(std::uint16_t v) {
        if (BigEndian) {
            Out.push_back(static_cast<std::uint8_t>(v >> 8));
            Out.push_back(static_cast<std::uint8_t>(v));
        } else {
            Out.push_back(static_cast<std::uint8_t>(v));
            Out.push_back(static_cast<std::uint8_t>(v >> 8));
        }
    }
    void U32(std::uint32_t v) {
        if (BigEndian) {
            U16(static_cast<std::uint16_t>(v >> 16));
            U16(static_cast<std::uint16_t>(v));
        } else {
            U16(static_cast<std::uint16_t>(v));
            U16(static_cast<std::uint16_t>(v >> 16));
        }
    }
    void Entry(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
        U16(tag);
        U16(type);
        U32(count);
        if (type == 3 && count == 1) {
            U16(static_cast<std::uint16_t>(value));
            U16(0);
        } else {
            U32(value);
        }
    }
};

} // namespace

TByteVector EncodeTiffRgb(const TRgbImage& image, bool bigEndian, int rowsPerStrip) {
    if (image.Width <= 0 || image.Height <= 0 || image.Width > 65535 || image.Height > 65535)
        throw std::invalid_argument("picture size");
    if (rowsPerStrip <= 0 || rowsPerStrip > image.Height)
        rowsPerStrip = image.Height;
    const std::uint32_t rowBytes = static_cast<std::uint32_t>(image.Width) * 3;
    const std::uint32_t strips = static_cast<std::uint32_t>((image.Height + rowsPerStrip - 1) / rowsPerStrip);

    TByteVector out;
    TOrderedWriter w{bigEndian, out};
    out.push_back(bigEndian ? 'M' : 'I');
    out.push_back(bigEndian ? 'M' : 'I');
    w.U16(42);
    w.U32(0); // directory offset, patched below
    std::vector<std::uint32_t> offsets, counts;
    for (std::uint32_t s = 0; s < strips; ++s) {
        const int first = static_cast<int>(s) * rowsPerStrip;
        const int rows = std::min(rowsPerStrip, image.Height - first);
        offsets.push_back(static_cast<std::uint32_t>(out.size()));
        counts.push_back(rowBytes * static_cast<std::uint32_t>(rows));
        const auto begin = image.Pixels.begin() + static_cast<std::ptrdiff_t>(first) * rowBytes;
        out.insert(out.end(), begin, begin + static_cast<std::ptrdiff_t>(rows) * rowBytes);
    }
    if (out.size() % 2)
        out.push_back(0);
    // Out-of-line values: bits per sample, strip offsets and counts (when more than one).
    const std::uint32_t bitsAt = static_cast<std::uint32_t>(out.size());
    w.U16(8);
    w.U16(8);
    w.U16(8);
    std::uint32_t offsetsAt = offsets[0], countsAt = counts[0];
    if (strips > 1) {
        offsetsAt = static_cast<std::uint32_t>(out.size());
        for (std::uint32_t v : offsets)
            w.U32(v);
        countsAt = static_cast<std::uint32_t>(out.size());
        for (std::uint32_t v : counts)
            w.U32(v);
    }
    const std::uint32_t directory = static_cast<std::uint32_t>(out.size());
    w.U16(10);
    w.Entry(0x0100, 3, 1, static_cast<std::uint32_t>(image.Width));
    w.Entry(0x0101, 3, 1, static_cast<std::uint32_t>(image.Height));
    w.Entry(0x0102, 3, 3, bitsAt);
    w.Entry(0x0103, 3, 1, 1);  // no compression
    w.Entry(0x0106, 3, 1, 2);  // RGB
    w.Entry(0x0111, 4, strips, offsetsAt);
    w.Entry(0x0115, 3, 1, 3);  // samples per pixel
    w.Entry(0x0116, 3, 1, static_cast<std::uint32_t>(rowsPerStrip));
    w.Entry(0x0117, 4, strips, countsAt);
    w.Entry(0x011C, 3, 1, 1);  // chunky
    w.U32(0);
    TByteVector header;
    TOrderedWriter h{bigEndian, header};
    h.U32(directory);
    std::copy(header.begin(), header.end(), out.begin() + 4);
    return out;
}

TByteVector RgbStrip(const TRgbImage& image, int bitsPerSample) {
    TByteVector out;
    for (std::uint8_t v : image.Pixels) {
        out.push_back(v);
        if (bitsPerSample == 16)
            out.push_back(v);
    }
    return out;
}

TDiskImage& TDiskImage::Place(std::uint64_t sector, const TByteVector& bytes) {
    files_.emplace_back(sector, bytes);
    return *this;
}

bool TDiskImage::Write(const std::string& path) const {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    bool ok = ::ftruncate(fd, static_cast<off_t>(sectors_ * 512)) == 0;
    for (const auto& [sector, bytes] : files_) {
        std::size_t done = 0;
        while (ok && done < bytes.size()) {
            const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                       static_cast<off_t>(sector * 512 + done));
            ok = n > 0;
            if (ok)
                done += static_cast<std::size_t>(n);
        }
    }
    return ::close(fd) == 0 && ok;
}

} // namespace lumivore::testkit
