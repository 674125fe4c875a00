// Arbitrary bytes as the data of one sector offered to the JPEG recogniser.
#include <cstddef>
#include <cstdint>

#include "formats/Recognisers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumivore::TFoundFile rec;
    if (lumivore::RecogniseJpeg(lumivore::TBytes(data, size), rec) && rec.Length > 0 &&
        static_cast<std::size_t>(rec.Length) > size)
        __builtin_trap(); // a measured end always lies inside the data (the ceiling is far above)
    return 0;
}
