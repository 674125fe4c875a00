// Arbitrary bytes as the data of one sector offered to the JPEG recogniser.
#include <cstddef>
#include <cstdint>

#include "formats/JpegTrailers.h"
#include "formats/Recognisers.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    lumivore::TFoundFile rec;
    if (!lumivore::RecogniseJpeg(lumivore::TBytes(data, size), rec) || rec.Length <= 0)
        return 0;
    const auto length = static_cast<std::uint64_t>(rec.Length);
    // Never past the file-length limit.
    if (length > static_cast<std::uint64_t>(lumivore::kFileLengthLimit))
        __builtin_trap();
    // A measured end lies inside the data. Only a motion photo's appended video, whose length
    // its XMP states and whose start was seen, may run on past it; its picture (the record's
    // thumbnail range) still lies inside.
    if (length > size && std::uint64_t{rec.ThumbOffset} + rec.ThumbLength > size)
        __builtin_trap();
    return 0;
}
