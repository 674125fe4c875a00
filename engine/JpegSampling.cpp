// The sample test that decides which photos the pieces pass decodes: the first sectors of each
// cluster of a photo's coded data (kSamplesPerCluster), looked at for bytes that coded data
// cannot hold, taken either while the scan streams past the photo or from the device afterwards.
#include "engine/Fragments.h"

#include <algorithm>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "engine/ScanEngine.h"
#include "formats/Mpf.h"

namespace lumivore {

namespace {
constexpr std::uint64_t kSector = kSectorSize;
} // namespace

// Every sample of every photo's extent passes through here: the counts are taken 16 bytes at a
// time where the processor has SSE2 (every x86-64 does), the rest byte by byte.
bool PlausibleScanSector(TBytes s) {
    const std::size_t n = s.size();
    if (n == 0)
        return true;
    // Marker bytes followed by a byte that coded data never puts after one, zero bytes, and zero
    // bytes that are the stuffing after a marker byte; the pair at i is (s[i - 1], s[i]).
    std::uint32_t badMarkers = 0, stuffedZeros = 0, zeros = s[0] == 0x00;
    std::size_t i = 1;
#if defined(__SSE2__)
    const __m128i ff = _mm_set1_epi8(static_cast<char>(0xFF));
    const __m128i zero = _mm_setzero_si128();
    const __m128i end = _mm_set1_epi8(static_cast<char>(0xD9));
    const __m128i restart = _mm_set1_epi8(static_cast<char>(0xD0));
    const __m128i seven = _mm_set1_epi8(7);
    // Per-lane counts (each lane counts down by one per hit, as a compare gives -1), summed
    // before a lane could wrap.
    __m128i zeroLanes = zero, stuffedLanes = zero;
    std::size_t lanesUsed = 0;
    auto sumLanes = [&] {
        const auto sum = [&](__m128i lanes) {
            const __m128i counts = _mm_sad_epu8(_mm_sub_epi8(zero, lanes), zero);
            return static_cast<std::uint32_t>(_mm_cvtsi128_si32(counts) + _mm_extract_epi16(counts, 4));
        };
        zeros += sum(zeroLanes);
        stuffedZeros += sum(stuffedLanes);
        zeroLanes = stuffedLanes = zero;
        lanesUsed = 0;
    };
    for (; i + 16 <= n; i += 16) {
        const __m128i cur = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i));
        const __m128i prev = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + i - 1));
        const __m128i marker = _mm_cmpeq_epi8(prev, ff);
        const __m128i isZero = _mm_cmpeq_epi8(cur, zero);
        const __m128i fromRestart = _mm_sub_epi8(cur, restart);
        const __m128i isRestart = _mm_cmpeq_epi8(_mm_min_epu8(fromRestart, seven), fromRestart);
        const __m128i allowed =
            _mm_or_si128(_mm_or_si128(isZero, _mm_cmpeq_epi8(cur, ff)), _mm_or_si128(_mm_cmpeq_epi8(cur, end), isRestart));
        badMarkers |= static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_andnot_si128(allowed, marker)));
        zeroLanes = _mm_add_epi8(zeroLanes, isZero);
        stuffedLanes = _mm_add_epi8(stuffedLanes, _mm_and_si128(marker, isZero));
        if (++lanesUsed == 255)
            sumLanes();
    }
    sumLanes();
#endif
    for (; i < n; ++i) {
        const std::uint8_t before = s[i - 1], b = s[i];
        const std::uint32_t marker = before == 0xFF;
        const std::uint32_t allowed = (b == 0x00) | (b == 0xFF) | (b == 0xD9) | (static_cast<std::uint8_t>(b - 0xD0) < 8);
        badMarkers += marker & (allowed ^ 1u);
        stuffedZeros += marker & (b == 0x00);
        zeros += b == 0x00;
    }
    if (badMarkers != 0 || zeros - stuffedZeros >= 160)
        return false;
    // A run of 64 equal bytes covers a whole aligned 32-byte stretch: only when one stretch is all
    // one value are the runs measured.
    bool uniformStretch = n < 64;
    for (std::size_t at = 0; at + 32 <= n && !uniformStretch; at += 32) {
#if defined(__SSE2__)
        const __m128i first = _mm_set1_epi8(static_cast<char>(s[at]));
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + at));
        const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.data() + at + 16));
        uniformStretch = _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(low, first), _mm_cmpeq_epi8(high, first))) == 0xFFFF;
#else
        std::uint8_t differs = 0;
        for (std::size_t k = 1; k < 32; ++k)
            differs |= static_cast<std::uint8_t>(s[at + k] ^ s[at]);
        uniformStretch = differs == 0;
#endif
    }
    if (!uniformStretch)
        return true;
    std::size_t same = 1, longest = 1;
    for (std::size_t k = 1; k < n; ++k) {
        same = s[k] == s[k - 1] ? same + 1 : 1;
        longest = std::max(longest, same);
    }
    return longest < 64;
}

namespace {

// Where a JPEG's coded data begins: past its marker segments up to and with the first
// start-of-scan. The segments are walked by their lengths, so only the sectors where one
// begins are read. 0 when they cannot be followed within the extent. mainEnd, when given,
// receives where the main image ends by the size its multi-picture index states (pictures
// appended after it follow), or 0 when it has no index.
std::uint64_t CodedDataStart(std::uint64_t start, std::uint64_t end,
                             const std::function<bool(std::uint64_t, std::uint8_t*)>& readSector,
                             std::uint64_t* sampledBytes, std::uint64_t* mainEnd = nullptr) {
    std::uint8_t s[2 * kSector];
    std::uint64_t held = UINT64_MAX; // device offset of s's first byte
    // The 4 bytes at a device offset, from the two sectors that hold them.
    auto bytesAt = [&](std::uint64_t at, std::uint8_t* out) {
        const std::uint64_t first = at - at % kSector;
        if (held != first) {
            if (!readSector(first, s) || !readSector(first + kSector, s + kSector))
                return false;
            if (sampledBytes != nullptr)
                *sampledBytes += 2 * kSector;
            held = first;
        }
        std::memcpy(out, s + (at - first), 4);
        return true;
    };
    std::uint64_t at = start + 2; // past the start-of-image marker
    // Segments before the scan: a few dozen at the most (tables, application data).
    for (int segments = 0; segments < 64 && at + 4 <= end; ++segments) {
        std::uint8_t m[4];
        if (!bytesAt(at, m) || m[0] != 0xFF)
            return 0;
        if (m[1] == 0xFF) { // a fill byte before the marker
            ++at;
            continue;
        }
        const std::uint64_t length = (std::uint64_t{m[2]} << 8) | m[3];
        if (length < 2)
            return 0;
        // A multi-picture index is a short APP2 segment: read whole, it says the main image's size.
        if (mainEnd != nullptr && m[1] == 0xE2 && length <= 4 * kSector - 2 && at + 2 + length <= end) {
            const std::uint64_t first = at - at % kSector;
            const std::uint64_t last = at + 2 + length;
            std::vector<std::uint8_t> sectors(static_cast<std::size_t>(((last - first + kSector - 1) / kSector) * kSector));
            bool read = true;
            for (std::uint64_t k = 0; read && k < sectors.size(); k += kSector)
                read = readSector(first + k, sectors.data() + k);
            std::uint64_t primary = 0;
            if (read) {
                const TBytes segment(sectors.data() + (at - first), static_cast<std::size_t>(2 + length));
                if (IsMpfSegment(segment) && MpfSegmentExtent(segment, at - start, &primary) > 0 && primary > 0)
                    *mainEnd = start + primary;
            }
        }
        at += 2 + length;
        if (m[1] == 0xDA)
            return at <= end ? at - start : 0;
    }
    return 0;
}

bool ContainsImageStart(TBytes s) {
    for (std::size_t i = 0; i + 2 < s.size(); ++i)
        if (s[i] == 0xFF && s[i + 1] == 0xD8 && s[i + 2] == 0xFF)
            return true;
    return false;
}

} // namespace

std::uint64_t TJpegSampler::SampledEnd(std::uint64_t end) const {
    return mainEnd_ > coded_ && (end == 0 || mainEnd_ < end) ? mainEnd_ : end;
}

bool TJpegSampler::Begin(std::uint64_t start, TBytes data, const TClusterGeometry& geometry) {
    std::uint64_t mainEnd = 0;
    start_ = start;
    cluster_ = geometry.ClusterBytes;
    lost_ = true;
    bad_ = UINT64_MAX;
    if (cluster_ == 0)
        return false;
    const std::uint64_t coded = CodedDataStart(
        start, start + data.size(),
        [&](std::uint64_t at, std::uint8_t* out) {
            if (at < start || at - start + kSector > data.size())
                return false;
            std::memcpy(out, data.data() + (at - start), kSector);
            return true;
        },
        nullptr, &mainEnd);
    if (coded == 0)
        return false;
    coded_ = start + coded;
    mainEnd_ = mainEnd;
    next_ = clusterAt_ = geometry.BoundaryAtOrAfter(coded_);
    lost_ = false;
    return true;
}

bool TJpegSampler::Feed(TBytes block, std::uint64_t blockByte, std::uint64_t end) {
    if (lost_ || bad_ != UINT64_MAX)
        return false;
    end = SampledEnd(end);
    const std::uint64_t blockEnd = blockByte + block.size();
    for (;;) {
        if (end != 0 && next_ + kSector >= end)
            return false; // every sample inside the extent is taken
        if (end == 0 && next_ - start_ >= static_cast<std::uint64_t>(kFileLengthLimit)) {
            lost_ = true; // no end within the length a photo may have: the pass decides
            return false;
        }
        if (next_ < blockByte) {
            lost_ = true; // its sector lay in a block that did not come
            return false;
        }
        if (next_ + kSector > blockEnd)
            return true;
        const TBytes sector = block.subspan(static_cast<std::size_t>(next_ - blockByte), kSector);
        if (!PlausibleScanSector(sector)) {
            bad_ = next_;
            badIsPicture_ = ContainsImageStart(sector);
            return false;
        }
        next_ += kSector;
        if (next_ >= clusterAt_ + std::min(kSamplesPerCluster * kSector, cluster_))
            next_ = clusterAt_ += cluster_;
    }
}

bool TJpegSampler::Clean(std::uint64_t end) const {
    if (lost_ || end < coded_)
        return false;
    end = SampledEnd(end);
    // The first sample that cannot be coded data, inside the extent: the photo breaks there,
    // unless a picture appended to it begins there.
    if (bad_ != UINT64_MAX && bad_ + kSector < end)
        return badIsPicture_;
    // Otherwise every sample inside the extent was taken and passed.
    return bad_ != UINT64_MAX || next_ + kSector >= end;
}

bool JpegExtentLooksBroken(std::uint64_t start, std::uint64_t end, std::uint64_t nextStart,
                           const TClusterGeometry& geometry, bool sample,
                           const std::function<bool(std::uint64_t, std::uint8_t*)>& readSector,
                           std::uint64_t* sampledBytes) {
    if (end <= start || (nextStart > start && nextStart < end))
        return true;
    if (!sample)
        return false;
    // The samples lie in the coded data: the header's tables and an embedded thumbnail are no
    // coded data of the photo's own, and would look wrong.
    std::uint64_t mainEnd = 0;
    const std::uint64_t coded = CodedDataStart(start, end, readSector, sampledBytes, &mainEnd);
    if (coded == 0)
        return true;
    // Pictures appended after the main image are no coded data of its own: they are not sampled.
    if (mainEnd > start + coded && mainEnd < end)
        end = mainEnd;
    std::uint8_t s[kSector];
    const std::uint64_t perCluster = std::min(kSamplesPerCluster * kSector, geometry.ClusterBytes);
    for (std::uint64_t cluster = geometry.BoundaryAtOrAfter(start + coded); cluster + kSector < end;
         cluster += geometry.ClusterBytes) {
        for (std::uint64_t at = cluster; at < cluster + perCluster && at + kSector < end; at += kSector) {
            const bool read = readSector(at, s);
            if (sampledBytes != nullptr && read)
                *sampledBytes += kSector;
            if (!read)
                return true;
            if (!PlausibleScanSector(TBytes(s, kSector))) {
                // A picture appended after the photo (a preview its multi-picture index names)
                // begins here: what follows is that picture, not the photo's coded data.
                return !ContainsImageStart(TBytes(s, kSector));
            }
        }
    }
    return false;
}

} // namespace lumivore
