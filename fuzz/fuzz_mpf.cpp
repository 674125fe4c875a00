// The multi-picture index reader over arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "formats/Mpf.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::int64_t extent = lumivore::MpfExtent(lumivore::TBytes(data, size));
    if (extent < -1 || extent == 0 || extent > lumivore::kFileLengthLimit)
        __builtin_trap();
    return 0;
}
