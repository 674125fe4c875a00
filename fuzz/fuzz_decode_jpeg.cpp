// Arbitrary bytes as a JPEG stream, decoded in full and at the reduced scale of a thumbnail.
#include "DecodeFuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumivore;
    fuzz::FuzzDecoder(data, size, [](TBytes bytes) { return DecodeJpeg(bytes, 0, 0, fuzz::kFuzzPixels); });
    return fuzz::FuzzDecoder(data, size, [](TBytes bytes) { return DecodeJpeg(bytes, 93, 93, fuzz::kFuzzPixels); });
}
