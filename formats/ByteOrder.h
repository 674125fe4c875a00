#pragma once
// Bounds-checked reads of 8-, 16- and 32-bit numbers from a block of device data, in either
// byte order. Every recogniser reads through these: a read that would leave the block fails
// (returns false) instead of touching memory outside it. Offsets are compared before they are
// added, so no sum can wrap.

#include <cstddef>
#include <cstdint>
#include <span>

namespace lumivore {

using TBytes = std::span<const std::uint8_t>;

inline constexpr std::uint16_t Swap16(std::uint16_t v) { return static_cast<std::uint16_t>((v >> 8) | (v << 8)); }
inline constexpr std::uint32_t Swap32(std::uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}

// Little-endian values at p, for a caller that has already checked the bytes lie in its data.
inline constexpr std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline constexpr std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
inline constexpr std::uint64_t Le64(const std::uint8_t* p) { return Le32(p) | (std::uint64_t{Le32(p + 4)} << 32); }

// True when n bytes starting at offset lie inside a block of the given size.
inline constexpr bool Fits(std::size_t size, std::uint64_t offset, std::uint64_t n) {
    return offset <= size && n <= size - offset;
}

class TByteReader {
public:
    constexpr TByteReader() = default;
    constexpr explicit TByteReader(TBytes data, bool bigEndian = false) : data_(data), bigEndian_(bigEndian) {}

    constexpr std::size_t size() const { return data_.size(); }
    constexpr TBytes data() const { return data_; }
    constexpr bool bigEndian() const { return bigEndian_; }
    constexpr void setBigEndian(bool v) { bigEndian_ = v; }
    constexpr bool Has(std::uint64_t offset, std::uint64_t n) const { return Fits(data_.size(), offset, n); }

    // The sub-block [offset, offset + n), or false when it does not lie inside.
    bool Sub(std::uint64_t offset, std::uint64_t n, TBytes& out) const {
        if (!Has(offset, n))
            return false;
        out = data_.subspan(static_cast<std::size_t>(offset), static_cast<std::size_t>(n));
        return true;
    }

    bool U8(std::uint64_t offset, std::uint8_t& out) const {
        if (!Has(offset, 1))
            return false;
        out = data_[static_cast<std::size_t>(offset)];
        return true;
    }
    bool U16(std::uint64_t offset, std::uint16_t& out) const { return bigEndian_ ? U16BE(offset, out) : U16LE(offset, out); }
    bool U32(std::uint64_t offset, std::uint32_t& out) const { return bigEndian_ ? U32BE(offset, out) : U32LE(offset, out); }

    bool U16LE(std::uint64_t offset, std::uint16_t& out) const {
        if (!Has(offset, 2))
            return false;
        const std::uint8_t* p = data_.data() + offset;
        out = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
        return true;
    }
    bool U16BE(std::uint64_t offset, std::uint16_t& out) const {
        if (!Has(offset, 2))
            return false;
        const std::uint8_t* p = data_.data() + offset;
        out = static_cast<std::uint16_t>((p[0] << 8) | p[1]);
        return true;
    }
    bool U32LE(std::uint64_t offset, std::uint32_t& out) const {
        if (!Has(offset, 4))
            return false;
        const std::uint8_t* p = data_.data() + offset;
        out = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
              (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
        return true;
    }
    bool U32BE(std::uint64_t offset, std::uint32_t& out) const {
        if (!Has(offset, 4))
            return false;
        const std::uint8_t* p = data_.data() + offset;
        out = (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
              (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
        return true;
    }
    bool U64LE(std::uint64_t offset, std::uint64_t& out) const {
        std::uint32_t lo = 0, hi = 0;
        if (!U32LE(offset, lo) || !U32LE(offset + 4, hi))
            return false;
        out = (static_cast<std::uint64_t>(hi) << 32) | lo;
        return true;
    }

    // True when the bytes at offset equal the given text (without its terminating zero).
    template <std::size_t N>
    bool Matches(std::uint64_t offset, const char (&text)[N]) const {
        if (!Has(offset, N - 1))
            return false;
        for (std::size_t i = 0; i + 1 < N; ++i)
            if (data_[static_cast<std::size_t>(offset) + i] != static_cast<std::uint8_t>(text[i]))
                return false;
        return true;
    }

private:
    TBytes data_{};
    bool bigEndian_ = false;
};

} // namespace lumivore
