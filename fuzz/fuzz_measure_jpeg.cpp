// The JPEG measure over arbitrary bytes; the first two bytes choose the EOI search ceiling.
#include <cstddef>
#include <cstdint>

#include <algorithm>

#include "formats/PhotoFormats.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::uint32_t ceiling = (static_cast<std::uint32_t>(data[0]) << 8 | data[1]) * 16u;
    const lumivore::TBytes bytes(data + 2, size - 2);
    lumivore::TFoundFile rec;
    const std::int32_t length = lumivore::MeasureJpeg(bytes, rec, ceiling);
    if (length < -1 || (length > 0 && static_cast<std::uint64_t>(length) > std::max<std::uint64_t>(bytes.size(), ceiling)))
        __builtin_trap();
    return 0;
}
