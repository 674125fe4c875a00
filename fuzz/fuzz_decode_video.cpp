// Arbitrary bytes as an MP4, QuickTime or 3GP file whose first key frame is decoded.
#include "DecodeFuzz.h"
#include "preview/MediaDecoders.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumivore;
    return fuzz::FuzzDecoder(data, size, [](TBytes bytes) {
        TMemorySource source(bytes);
        return DecodeVideoFrame(source, fuzz::kFuzzPixels);
    });
}
