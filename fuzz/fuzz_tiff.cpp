// Arbitrary bytes as the data of one sector offered to the TIFF-based recogniser, which walks
// every directory it can reach.
#include <cstddef>
#include <cstdint>

#include "formats/LengthPolicy.h"
#include "formats/Recognisers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumivore::TFoundFile rec;
    if (lumivore::RecogniseTiff(lumivore::TBytes(data, size), rec)) {
        // A recognised structure has a length, or an unknown one; never 0 and never above the
        // raised raw length limit plus the Kodak addition.
        if (rec.Length == 0 || rec.Length < -1 || rec.Length > lumivore::kLargeRawLengthLimit + lumivore::kKodakAddition)
            __builtin_trap();
    }
    return 0;
}
