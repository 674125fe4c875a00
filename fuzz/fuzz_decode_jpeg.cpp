// Arbitrary bytes as a JPEG stream, decoded in full and at a reduced scale. The decoder either returns a picture whose bitmap
// matches its stated size or refuses with TDecodeError; anything else is a finding.
#include <cstddef>
#include <cstdint>

#include "preview/Decoders.h"

namespace {

// A small pixel budget keeps each run's memory and time low.
constexpr std::uint64_t kFuzzPixels = 4'000'000;

void Check(const lumivore::TDecodedPicture& picture) {
    if (picture.Bitmap.Empty() || picture.Width == 0 || picture.Height == 0 ||
        static_cast<std::uint64_t>(picture.Bitmap.Width()) * static_cast<std::uint64_t>(picture.Bitmap.Height()) > kFuzzPixels)
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lumivore::TBytes bytes(data, size);
    try {
        Check(lumivore::DecodeJpeg(bytes, 0, 0, kFuzzPixels));
        Check(lumivore::DecodeJpeg(bytes, 93, 93, kFuzzPixels));
    } catch (const lumivore::TDecodeError&) {
    }
    return 0;
}
