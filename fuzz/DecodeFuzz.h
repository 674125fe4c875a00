#pragma once
// The body shared by the picture decoders' fuzz targets: arbitrary bytes go to one decoder,
// which must either return a picture whose bitmap matches its stated size or refuse with
// TDecodeError; anything else (a crash, a sanitizer report, a wrong-sized picture) is a finding.

#include <cstddef>
#include <cstdint>

#include "preview/Decoders.h"

namespace lumivore::fuzz {

// A small pixel budget keeps each run's memory and time low.
inline constexpr std::uint64_t kFuzzPixels = 4'000'000;

template <typename TDecode>
int FuzzDecoder(const std::uint8_t* data, std::size_t size, TDecode decode) {
    try {
        const TDecodedPicture picture = decode(TBytes(data, size));
        if (picture.Bitmap.Empty() || picture.Width == 0 || picture.Height == 0 ||
            static_cast<std::uint64_t>(picture.Bitmap.Width()) * static_cast<std::uint64_t>(picture.Bitmap.Height()) > kFuzzPixels)
            __builtin_trap();
    } catch (const TDecodeError&) {
    }
    return 0;
}

} // namespace lumivore::fuzz
