#pragma once
// RIFF (WAV, AVI, CorelDraw) and RealMedia: limits, and the chain walk of a long AVI. The
// recognisers are declared in formats/Recognisers.h; a RealMedia file is measured by its chunk
// walk in formats/StreamMeasure.cpp.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>

#include "formats/ByteOrder.h"
#include "formats/LengthPolicy.h"

namespace lumivore {

// A known RealMedia chunk larger than this makes the length unknown: the chunks of a
// RealMedia file (headers, packets of data, the index) run to a few megabytes at most.
inline constexpr std::uint32_t kRealMediaChunkCeiling = 10'485'760;

// Copies n bytes from a file offset into out; false when they cannot all be read.
using TReadAt = std::function<bool(std::uint64_t offset, std::uint8_t* out, std::size_t n)>;

// The length of an AVI whose first RIFF chunk is firstLength bytes long, followed through the
// "RIFF"/"AVIX" chunks that continue a long video, each read at its offset: the end of the last
// such chunk, or firstLength when none follows. At most kLargestRiffChunkCount chunks and
// kLargestRiffChainLength bytes are followed. With a memo, keyed by base + offset of each chunk
// header (base: the file's first byte on the device), a chain followed before from one of its
// headers is not read again, and the headers read now are added to it.
std::int64_t MeasureAviChain(const TReadAt& read, std::int64_t firstLength, std::uint64_t base = 0,
                             std::unordered_map<std::uint64_t, std::uint64_t>* memo = nullptr);

} // namespace lumivore
