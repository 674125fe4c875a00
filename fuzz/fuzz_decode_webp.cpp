// Arbitrary bytes as a WebP picture.
#include "DecodeFuzz.h"
#include "preview/MediaDecoders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumivore;
    return fuzz::FuzzDecoder(data, size, [](TBytes bytes) { return DecodeWebp(bytes, fuzz::kFuzzPixels); });
}
