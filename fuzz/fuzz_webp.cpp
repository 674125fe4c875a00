// Arbitrary bytes as the data of one sector offered to the WebP recogniser, which reads the
// first chunk's picture size and walks the chunks for EXIF.
#include <cstddef>
#include <cstdint>

#include "formats/LengthPolicy.h"
#include "formats/WebP.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumivore::TFoundFile rec;
    if (lumivore::RecogniseWebP(lumivore::TBytes(data, size), rec) &&
        (rec.Length < 20 || rec.Length >= lumivore::kFileLengthLimit || rec.Width <= 0 || rec.Height <= 0))
        __builtin_trap();
    return 0;
}
