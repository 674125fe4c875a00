// A quick look at a JPEG's markers, without decoding its coded data (formats/JpegEntropy.h).
#include <algorithm>
#include <cstring>

#include "formats/JpegEntropy.h"
#include "formats/JpegMarkers.h"

namespace lumivore {

namespace {

using namespace jpeg_markers;

// Bytes of a source by offset, for the marker scan.
class TSourceBytes {
public:
    TSourceBytes(TJpegSource& source, std::uint64_t limit) : source_(source), limit_(limit) {}
    bool At(std::uint64_t offset, std::uint8_t& out) {
        const TBytes s = Span(offset);
        if (s.empty())
            return false;
        out = s[0];
        return true;
    }
    // The bytes from offset on that the current window holds, clipped at the limit.
    TBytes Span(std::uint64_t offset) {
        if (offset >= limit_)
            return {};
        if (offset < start_ || offset - start_ >= window_.size()) {
            window_ = source_.At(offset);
            start_ = offset;
        }
        if (window_.empty())
            return {};
        const TBytes rest = window_.subspan(static_cast<std::size_t>(offset - start_));
        return rest.first(static_cast<std::size_t>(std::min<std::uint64_t>(rest.size(), limit_ - offset)));
    }

private:
    TJpegSource& source_;
    std::uint64_t limit_;
    TBytes window_{};
    std::uint64_t start_ = 0;
};

// Markers that may stand between the scans of a sequential or progressive picture.
bool BetweenScans(std::uint8_t m) { return m == kDht || m == 0xDB || m == kDri || m == kSos || m == 0xFE || m == 0xCC; }

} // namespace

TMarkerScan ScanJpegMarkers(TJpegSource& source, std::uint64_t limit) {
    TSourceBytes bytes(source, limit);
    TMarkerScan out;
    auto corrupt = [&](std::uint64_t at) {
        out.Result = TJpegCheck::Corrupt;
        out.FailOffset = at;
        return out;
    };
    std::uint8_t b0 = 0, b1 = 0;
    if (!bytes.At(0, b0) || !bytes.At(1, b1))
        return out;
    if (b0 != 0xFF || b1 != kSoi)
        return corrupt(0);
    std::uint64_t pos = 2;
    bool inScan = false, sawScan = false;
    std::uint8_t nextRestart = 0;
    for (;;) {
        if (inScan) {
            const TBytes s = bytes.Span(pos);
            if (s.empty())
                return out;
            const void* hit = std::memchr(s.data(), 0xFF, s.size());
            if (hit == nullptr) {
                pos += s.size();
                continue;
            }
            pos += static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - s.data());
            std::uint8_t m = 0;
            if (!bytes.At(pos + 1, m))
                return out;
            if (m == 0x00) {
                pos += 2;
            } else if (m == 0xFF) {
                pos += 1;
            } else if (IsRestart(m)) {
                if (m != 0xD0 + nextRestart)
                    return corrupt(pos);
                nextRestart = static_cast<std::uint8_t>((nextRestart + 1) & 7);
                pos += 2;
            } else if (m == kEoi) {
                out.Result = TJpegCheck::Clean;
                out.End = pos + 2;
                return out;
            } else if (BetweenScans(m)) {
                inScan = false;
            } else {
                return corrupt(pos);
            }
            continue;
        }
        // A marker segment.
        std::uint8_t ff = 0, m = 0;
        if (!bytes.At(pos, ff))
            return out;
        if (ff != 0xFF)
            return corrupt(pos);
        if (!bytes.At(pos + 1, m))
            return out;
        if (m == 0xFF) {
            ++pos;
            continue;
        }
        if (m == kEoi) {
            if (!sawScan)
                return corrupt(pos);
            out.Result = TJpegCheck::Clean;
            out.End = pos + 2;
            return out;
        }
        // Reserved markers are written by no coder.
        if (m == kSoi || m <= 0xBF || IsRestart(m))
            return corrupt(pos);
        std::uint8_t hi = 0, lo = 0;
        if (!bytes.At(pos + 2, hi) || !bytes.At(pos + 3, lo))
            return out;
        const std::uint32_t length = static_cast<std::uint32_t>(hi << 8 | lo);
        if (length < 2)
            return corrupt(pos);
        pos += 2 + length;
        if (m == kSos) {
            inScan = sawScan = true;
            nextRestart = 0;
        }
    }
}

} // namespace lumivore
