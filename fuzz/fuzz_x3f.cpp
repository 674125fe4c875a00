// Arbitrary bytes as the data of a block offered to the X3F recogniser: a length it states lies
// within the bytes it was given, where it found the directory.
#include <cstddef>
#include <cstdint>

#include "formats/Recognisers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumivore::TFoundFile rec;
    if (lumivore::RecogniseX3f(lumivore::TBytes(data, size), rec) && rec.Length != -1 &&
        (rec.Length <= 0 || static_cast<std::uint64_t>(rec.Length) > size))
        __builtin_trap();
    return 0;
}
