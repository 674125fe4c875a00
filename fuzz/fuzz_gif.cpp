// Arbitrary bytes as the data of one sector offered to the GIF recogniser.
#include <cstddef>
#include <cstdint>

#include "formats/Recognisers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumivore::TFoundFile rec;
    lumivore::RecogniseGif(lumivore::TBytes(data, size), rec);
    return 0;
}
