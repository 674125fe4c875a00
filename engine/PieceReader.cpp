// A found file's bytes read through its pieces, with a cache of lines keyed by device position
// (see engine/Fragments.h).
#include "engine/Fragments.h"

#include <algorithm>
#include <cstring>

#include "device/DskLib.h"
#include "engine/ScanEngine.h"
#include "formats/LengthPolicy.h"

namespace lumivore {

namespace {

constexpr std::uint64_t kSector = kSectorSize;

} // namespace

TPieceReader::TPieceReader(TDrive& drive, std::vector<TPiece> pieces, std::size_t cacheLines)
    : drive_(drive), lines_(std::max<std::size_t>(cacheLines, 1)) {
    SetPieces(std::move(pieces));
}

std::vector<TPiece> TPieceReader::PiecesOf(const TFoundFile& file, std::uint64_t fallbackSize) {
    if (file.Reassembled())
        return file.Pieces;
    if (file.StartSector < 0 || static_cast<std::uint64_t>(file.StartSector) > kLargestSectorNumber)
        return {};
    const std::int64_t length = LengthKnown(file.Length) ? file.Length : static_cast<std::int64_t>(
                                                                             std::min<std::uint64_t>(fallbackSize, INT64_MAX));
    return {{file.StartSector * static_cast<std::int64_t>(kSector), length}};
}

void TPieceReader::SetPieces(std::vector<TPiece> pieces) {
    pieces_ = std::move(pieces);
    size_ = 0;
    for (const TPiece& p : pieces_) {
        // A damaged list (negative numbers, a total past what 63 bits hold) reads nothing.
        if (p.Offset < 0 || p.Length < 0 || static_cast<std::uint64_t>(p.Length) > static_cast<std::uint64_t>(INT64_MAX) - size_) {
            pieces_.clear();
            size_ = 0;
            return;
        }
        size_ += static_cast<std::uint64_t>(p.Length);
    }
}

bool TPieceReader::DeviceOffset(std::uint64_t offset, std::uint64_t& device) const {
    for (const TPiece& p : pieces_) {
        const std::uint64_t len = static_cast<std::uint64_t>(p.Length);
        if (offset < len) {
            device = static_cast<std::uint64_t>(p.Offset) + offset;
            return true;
        }
        offset -= len;
    }
    return false;
}

TBytes TPieceReader::Span(std::uint64_t offset) {
    std::uint64_t rest = offset;
    for (const TPiece& p : pieces_) {
        const std::uint64_t len = static_cast<std::uint64_t>(p.Length);
        if (rest >= len) {
            rest -= len;
            continue;
        }
        const std::uint64_t device = static_cast<std::uint64_t>(p.Offset) + rest;
        const std::uint64_t pieceLeft = len - rest;
        const std::uint64_t lineStart = device - device % kLineBytes;
        const std::size_t slot = static_cast<std::size_t>((device / kLineBytes) % lines_.size());
        TLine& line = lines_[slot];
        if (!cache_)
            cache_.reset(new std::uint8_t[lines_.size() * kLineBytes]);
        std::uint8_t* bytes = cache_.get() + slot * kLineBytes;
        if (line.Device == lineStart && line.Short && device >= lineStart + line.Bytes) {
            // The rest of a line read short on purpose, now that it is asked for.
            line.Short = false;
            const std::uint64_t from = lineStart + line.Bytes;
            const auto sectors = static_cast<std::uint32_t>((kLineBytes - line.Bytes) / kSector);
            std::uint64_t got = 0;
            if (held_ && held_(from / kSector, sectors, bytes + line.Bytes)) {
                got = kLineBytes - line.Bytes;
            } else {
                got = drive_.Read(from / kSector, static_cast<std::uint16_t>(sectors), bytes + line.Bytes);
                bytesRead_ += got;
            }
            line.Bytes += std::min<std::uint64_t>(got, kLineBytes - line.Bytes);
            if (device >= lineStart + line.Bytes) {
                line.Device = UINT64_MAX; // read again next time, as a line the device ended inside
                return {};
            }
        } else if (line.Device != lineStart || device >= lineStart + line.Bytes) {
            // A line the device ended inside is read again next time: it may be a passing fault.
            line.Device = UINT64_MAX;
            line.Short = false;
            // Where the reader goes through the piece in order, the lines that follow are taken
            // in the same request: as many as it has gone through in order so far (a decode
            // that stops soon wastes little), as far as the piece goes, while the cache's slots
            // run on without wrapping round and it does not hold them already.
            std::uint64_t n = 1;
            runLines_ = lineStart == nextLine_ ? runLines_ : 0;
            if (readAhead_ > 1 && runLines_ > 0) {
                const std::uint64_t pieceLines = (device + pieceLeft - 1) / kLineBytes - lineStart / kLineBytes + 1;
                n = std::min<std::uint64_t>({readAhead_, runLines_, pieceLines, lines_.size() - slot});
                for (std::uint64_t k = 1; k < n; ++k) {
                    const TLine& next = lines_[slot + static_cast<std::size_t>(k)];
                    if (next.Device == lineStart + k * kLineBytes && next.Bytes == kLineBytes) {
                        n = k;
                        break;
                    }
                }
            }
            std::uint64_t got = 0;
            if (held_ && held_(lineStart / kSector, static_cast<std::uint32_t>(n * kCacheSectors), bytes)) {
                got = n * kLineBytes;
            } else if (held_ && n > 1 && held_(lineStart / kSector, kCacheSectors, bytes)) {
                n = 1;
                got = kLineBytes;
            } else {
                // What is held elsewhere is not read from the device: with sectors held, the
                // device is read a line at a time.
                if (held_)
                    n = 1;
                std::uint64_t want = n * kLineBytes;
                if (shortFirst_ && n == 1) {
                    // As far as the piece goes within the line; out of order, as far as the
                    // sector after the one asked for.
                    const std::uint64_t pieceEnd = device - lineStart + pieceLeft;
                    want = pieceEnd < kLineBytes ? (pieceEnd + kSector - 1) / kSector * kSector : kLineBytes;
                    if (runLines_ == 0)
                        want = std::min(want, (device - lineStart) / kSector * kSector + 2 * kSector);
                }
                got = drive_.Read(lineStart / kSector, static_cast<std::uint16_t>(want / kSector), bytes);
                bytesRead_ += got;
                line.Short = want < kLineBytes && got == want;
            }
            for (std::uint64_t k = 1; k < n; ++k) {
                TLine& ahead = lines_[slot + static_cast<std::size_t>(k)];
                const std::uint64_t before = k * kLineBytes;
                ahead.Device = got > before ? lineStart + before : UINT64_MAX;
                ahead.Bytes = got > before ? std::min<std::uint64_t>(got - before, kLineBytes) : 0;
                ahead.Short = false;
            }
            nextLine_ = lineStart + n * kLineBytes;
            runLines_ += n;
            line.Device = lineStart;
            line.Bytes = std::min<std::uint64_t>(got, kLineBytes);
            if (device >= lineStart + line.Bytes)
                return {};
        }
        const std::uint64_t at = device - lineStart;
        const std::uint64_t n = std::min(line.Bytes - at, pieceLeft);
        return TBytes(bytes + at, static_cast<std::size_t>(n));
    }
    return {};
}

bool TPieceReader::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    if (offset > size_ || n > size_ - offset)
        return false;
    while (n > 0) {
        const TBytes s = Span(offset);
        if (s.empty())
            return false;
        const std::size_t take = std::min(n, s.size());
        std::memcpy(out, s.data(), take);
        out += take;
        offset += take;
        n -= take;
    }
    return true;
}

} // namespace lumivore
