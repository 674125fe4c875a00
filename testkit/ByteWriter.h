#pragma once
// Writing 16- and 32-bit numbers in either byte order, for the builders of test files:
// appended to a byte vector, or placed at a position that already exists.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumivore::testkit {

inline void PutLE16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void PutLE32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    PutLE16(out, v & 0xFFFF);
    PutLE16(out, v >> 16);
}
inline void PutBE16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
inline void PutBE32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    PutBE16(out, v >> 16);
    PutBE16(out, v & 0xFFFF);
}

inline void PutLE16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    out.at(at) = static_cast<std::uint8_t>(v);
    out.at(at + 1) = static_cast<std::uint8_t>(v >> 8);
}
inline void PutLE32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    PutLE16(out, at, v & 0xFFFF);
    PutLE16(out, at + 2, v >> 16);
}
inline void PutBE16(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    out.at(at) = static_cast<std::uint8_t>(v >> 8);
    out.at(at + 1) = static_cast<std::uint8_t>(v);
}
inline void PutBE32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    PutBE16(out, at, v >> 16);
    PutBE16(out, at + 2, v & 0xFFFF);
}

inline void Append(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}
inline void Append(std::vector<std::uint8_t>& out, const char* text, std::size_t n) {
    out.insert(out.end(), reinterpret_cast<const std::uint8_t*>(text), reinterpret_cast<const std::uint8_t*>(text) + n);
}

} // namespace lumivore::testkit
