// Arbitrary bytes as the data of one sector offered to the MRW recogniser, which walks the
// container's blocks and the TIFF block inside.
#include <cstddef>
#include <cstdint>

#include "formats/LengthPolicy.h"
#include "formats/Recognisers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumivore::TFoundFile rec;
    if (lumivore::RecogniseMrw(lumivore::TBytes(data, size), rec) && (rec.Length < 8 || rec.Length > lumivore::kLargeRawLengthLimit))
        __builtin_trap();
    return 0;
}
