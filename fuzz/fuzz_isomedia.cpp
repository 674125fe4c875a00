// Arbitrary bytes as the data of one sector offered to the box-file recogniser, which walks the
// top-level boxes, the movie, picture and CR3 boxes inside them and the TIFF blocks they carry.
#include <cstddef>
#include <cstdint>

#include "formats/IsoMedia.h"
#include "formats/LengthPolicy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const lumivore::TBytes bytes(data, size);
    lumivore::TFoundFile rec;
    const std::int64_t measured = lumivore::MeasureIsoMedia(bytes);
    if (measured != -1 && (measured < 8 || measured >= lumivore::kMediaLengthLimit))
        __builtin_trap();
    if (lumivore::RecogniseIsoMedia(bytes, rec)) {
        // The length is the measure's, or unknown while the chain goes on past the data (the
        // scan follows it); a thumbnail is a range the data holds whole.
        if ((rec.Length != measured && rec.Length != -1) || rec.Width < 0 || rec.Height < 0)
            __builtin_trap();
        if (rec.ThumbLength != 0 && std::uint64_t{rec.ThumbOffset} + rec.ThumbLength > size)
            __builtin_trap();
    }
    return 0;
}
