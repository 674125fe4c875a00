#pragma once
// The marker codes that both the coded-data decode and the quick look at a JPEG's markers
// follow; internal to formats/.

#include <cstdint>

namespace lumivore::jpeg_markers {

inline constexpr std::uint8_t kSoi = 0xD8, kEoi = 0xD9, kSos = 0xDA, kDht = 0xC4, kDri = 0xDD;

inline bool IsRestart(std::uint8_t m) { return m >= 0xD0 && m <= 0xD7; }

} // namespace lumivore::jpeg_markers
