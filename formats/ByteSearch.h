#pragma once
// Searches over raw bytes that run at the speed of the memory: the scan walks the coded data
// of every photo it finds for the picture's end marker, so this loop sees most of a card.

#include <cstddef>
#include <cstdint>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace lumivore {

// The offset of the first byte pair 0xFF, second that lies wholly in [p, p + n), or n when
// there is none. A JPEG's coded data holds a 0xFF every few hundred bytes (each stuffed with
// a zero), so searching for the 0xFF alone would stop that often; pairs are compared sixteen
// at a time instead.
namespace detail {

inline std::size_t FindMarkerPairTail(const std::uint8_t* p, std::size_t n, std::uint8_t second, std::size_t i) {
    for (; i + 1 < n; ++i)
        if (p[i] == 0xFF && p[i + 1] == second)
            return i;
    return n;
}

#if defined(__x86_64__) && defined(__GNUC__)
// 64 bytes a step: most steps of coded data hold no 0xFF at all and cost two compares; only a
// step that does is searched for the pair.
__attribute__((target("avx2"))) inline std::size_t FindMarkerPairAvx2(const std::uint8_t* p, std::size_t n,
                                                                       std::uint8_t second) {
    const __m256i ff = _mm256_set1_epi8(static_cast<char>(0xFF));
    const __m256i want = _mm256_set1_epi8(static_cast<char>(second));
    std::size_t i = 0;
    for (; n >= 65 && i <= n - 65; i += 64) {
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 32));
        const __m256i f0 = _mm256_cmpeq_epi8(a0, ff);
        const __m256i f1 = _mm256_cmpeq_epi8(a1, ff);
        if (_mm256_testz_si256(_mm256_or_si256(f0, f1), _mm256_or_si256(f0, f1)))
            continue;
        const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
        const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 33));
        const auto m0 = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(f0, _mm256_cmpeq_epi8(b0, want))));
        const auto m1 = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(f1, _mm256_cmpeq_epi8(b1, want))));
        const std::uint64_t hits = (std::uint64_t{m1} << 32) | m0;
        if (hits != 0)
            return i + static_cast<std::size_t>(__builtin_ctzll(hits));
    }
    return FindMarkerPairTail(p, n, second, i);
}

inline bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

} // namespace detail

// The offset of the first byte pair 0xFF, second that lies wholly in [p, p + n), or n when
// there is none. A JPEG's coded data holds a 0xFF every few hundred bytes (each stuffed with
// a zero), so searching for the 0xFF alone would stop that often; pairs are compared many at
// a time instead.
inline std::size_t FindMarkerPair(const std::uint8_t* p, std::size_t n, std::uint8_t second) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (detail::HasAvx2())
        return detail::FindMarkerPairAvx2(p, n, second);
#endif
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i ff = _mm_set1_epi8(static_cast<char>(0xFF));
    const __m128i want = _mm_set1_epi8(static_cast<char>(second));
    for (; n >= 17 && i <= n - 17; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
        const int hits = _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, ff), _mm_cmpeq_epi8(b, want)));
        if (hits != 0)
            return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
    }
#endif
    return detail::FindMarkerPairTail(p, n, second, i);
}

} // namespace lumivore
