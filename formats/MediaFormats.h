#pragma once
// RIFF (WAV, AVI, CorelDraw) and RealMedia: limits and the RealMedia length measure. The
// recognisers are declared in formats/Recognisers.h.

#include <cstdint>

#include "formats/ByteOrder.h"
#include "formats/LengthPolicy.h"

namespace lumivore {

// A RIFF size of this or more is refused for every form type.
// A known RealMedia chunk larger than this makes the length unknown.
inline constexpr std::uint32_t kRealMediaChunkCeiling = 10'485'760;

// Length of the RealMedia file at the start of data: the end of the chunk walk, or -1 when the
// walk would continue beyond the data or meets a known chunk above the ceiling.
std::int32_t MeasureRealMedia(TBytes data);

} // namespace lumivore
