// The JPEG decode check and the marker look over arbitrary bytes, fed whole and in pieces whose
// size the first byte chooses; whatever the pieces, the final answers must agree.
#include <cstddef>
#include <cstdint>

#include "formats/JpegEntropy.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::uint64_t step = 1 + data[0] * 7u;
    const lumivore::TBytes bytes(data + 1, size - 1);
    lumivore::TMemoryJpegSource source(bytes);

    lumivore::TJpegEntropyDecoder whole;
    const lumivore::TJpegCheck once = whole.Run(source, bytes.size());
    lumivore::TJpegEntropyDecoder fed;
    lumivore::TJpegCheck r = lumivore::TJpegCheck::NeedMore;
    for (std::uint64_t limit = step; r == lumivore::TJpegCheck::NeedMore; limit += step) {
        const std::uint64_t clipped = limit < bytes.size() ? limit : bytes.size();
        r = fed.Run(source, clipped);
        if (r == lumivore::TJpegCheck::NeedMore && (fed.Resume() > clipped || clipped == bytes.size()))
            break;
    }
    if (r != once || (r == lumivore::TJpegCheck::Clean && (fed.EndOffset() != whole.EndOffset() || whole.EndOffset() > bytes.size())))
        __builtin_trap();

    const lumivore::TMarkerScan look = lumivore::ScanJpegMarkers(source, bytes.size());
    if (look.Result == lumivore::TJpegCheck::Clean && look.End > bytes.size())
        __builtin_trap();
    return 0;
}
