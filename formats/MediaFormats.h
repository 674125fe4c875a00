#pragma once
// RIFF (WAV, AVI, CorelDraw) and RealMedia: limits and the RealMedia length measure. The
// recognisers are declared in formats/Recognisers.h.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "formats/ByteOrder.h"
#include "formats/LengthPolicy.h"

namespace lumivore {

// A known RealMedia chunk larger than this makes the length unknown.
inline constexpr std::uint32_t kRealMediaChunkCeiling = 10'485'760;

// Length of the RealMedia file at the start of data: the end of the chunk walk, or -1 when the
// walk would continue beyond the data or meets a known chunk above the ceiling.
std::int32_t MeasureRealMedia(TBytes data);

// Copies n bytes from a file offset into out; false when they cannot all be read.
using TReadAt = std::function<bool(std::uint64_t offset, std::uint8_t* out, std::size_t n)>;

// The length of an AVI whose first RIFF chunk is firstLength bytes long, followed through the
// "RIFF"/"AVIX" chunks that continue a long video, each read at its offset: the end of the last
// such chunk, or firstLength when none follows. At most kLargestRiffChunkCount chunks and
// kLargestRiffChainLength bytes are followed.
std::int64_t MeasureAviChain(const TReadAt& read, std::int64_t firstLength);

} // namespace lumivore
