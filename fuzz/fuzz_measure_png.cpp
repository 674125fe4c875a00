// The PNG measure over arbitrary bytes; the first four bytes choose its two ceilings.
#include <cstddef>
#include <cstdint>

#include <algorithm>

#include "formats/PhotoFormats.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4)
        return 0;
    const std::uint32_t walkCeiling = (static_cast<std::uint32_t>(data[0]) << 8 | data[1]) * 16u;
    const std::uint32_t chunkCeiling = (static_cast<std::uint32_t>(data[2]) << 8 | data[3]) * 16u;
    const lumivore::TBytes bytes(data + 4, size - 4);
    const std::int32_t length = lumivore::MeasurePng(bytes, walkCeiling, chunkCeiling);
    // IEND may end 4 bytes past the data (its CRC cut off); the walk ceiling may lie beyond it.
    if (length < -1 || (length > 0 && static_cast<std::uint64_t>(length) > std::max<std::uint64_t>(bytes.size() + 4, walkCeiling)))
        __builtin_trap();
    return 0;
}
