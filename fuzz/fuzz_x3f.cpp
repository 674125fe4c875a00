// Arbitrary bytes as the data of one sector offered to the X3F recogniser.
#include <cstddef>
#include <cstdint>

#include "formats/Recognisers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumivore::TFoundFile rec;
    if (lumivore::RecogniseX3f(lumivore::TBytes(data, size), rec) && rec.Length != -1)
        __builtin_trap();
    return 0;
}
