// Arbitrary bytes as a BMP picture.
#include "DecodeFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumivore;
    return fuzz::FuzzDecoder(data, size, [](TBytes bytes) { return DecodeBmp(bytes, fuzz::kFuzzPixels); });
}
