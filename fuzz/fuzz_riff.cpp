// Arbitrary bytes as one sector offered to the RIFF recogniser, which sees 512 bytes at most.
#include <cstddef>
#include <cstdint>

#include <algorithm>

#include "formats/LengthPolicy.h"
#include "formats/Recognisers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumivore::TFoundFile rec;
    if (lumivore::RecogniseRiff(lumivore::TBytes(data, std::min<std::size_t>(size, 512)), rec) &&
        (rec.Length < 8 || rec.Length > lumivore::LargestLengthFor(rec.Ext) ||
         (rec.Ext == "CDR" && rec.Length >= lumivore::kFileLengthLimit)))
        __builtin_trap();
    return 0;
}
