// The GIF measure over arbitrary bytes; the first two bytes choose the extension ceiling.
#include <cstddef>
#include <cstdint>

#include "formats/PhotoFormats.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::uint32_t ceiling = (static_cast<std::uint32_t>(data[0]) << 8 | data[1]) * 16u;
    const lumivore::TBytes bytes(data + 2, size - 2);
    const std::int32_t length = lumivore::MeasureGif(bytes, ceiling);
    if (length < -1 || (length > 0 && static_cast<std::size_t>(length) > bytes.size()))
        __builtin_trap();
    return 0;
}
