// Arbitrary bytes as one sector offered to the bitmap recogniser, which sees 512 bytes at most.
#include <cstddef>
#include <cstdint>

#include <algorithm>

#include "formats/Recognisers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumivore::TFoundFile rec;
    if (lumivore::RecogniseBmp(lumivore::TBytes(data, std::min<std::size_t>(size, 512)), rec) &&
        (rec.Width > 10000 || rec.Height > 10000 || rec.Length > 10485760))
        __builtin_trap();
    return 0;
}
