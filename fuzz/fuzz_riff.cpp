// Arbitrary bytes as one sector offered to the RIFF recogniser, which sees 512 bytes at most.
#include <cstddef>
#include <cstdint>

#include <algorithm>

#include "formats/Recognisers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumivore::TFoundFile rec;
    if (lumivore::RecogniseRiff(lumivore::TBytes(data, std::min<std::size_t>(size, 512)), rec) &&
        (rec.Length < 8 || rec.Length >= 52428808))
        __builtin_trap();
    return 0;
}
