// The JPEG decode check and the marker look over arbitrary bytes, fed whole and in pieces whose
// size the first byte chooses, and as a copy taken where it first needed more that is run on to
// the end at once; whatever the pieces, the final answers must agree.
#include <cstddef>
#include <cstdint>
#include <optional>

#include "formats/JpegEntropy.h"

namespace {

// Where damage was noticed depends on how many bytes the decoder held when it noticed it, and a
// decode fed in short pieces holds fewer at a piece's end: that place is compared only where
// the bytes came the same way (withPlace).
bool SameAnswers(const lumivore::TJpegEntropyDecoder& a, const lumivore::TJpegEntropyDecoder& b, lumivore::TJpegCheck r,
                 bool withPlace) {
    if (withPlace && r == lumivore::TJpegCheck::Corrupt && a.FailOffset() != b.FailOffset())
        return false;
    if (r == lumivore::TJpegCheck::Clean && a.EndOffset() != b.EndOffset())
        return false;
    return a.UnitsDecoded() == b.UnitsDecoded() && a.VerticalDifferenceSum() == b.VerticalDifferenceSum() &&
           a.VerticalPairs() == b.VerticalPairs() && a.InScan() == b.InScan();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1)
        return 0;
    const std::uint64_t step = 1 + data[0] * 7u;
    const lumivore::TBytes bytes(data + 1, size - 1);
    lumivore::TMemoryJpegSource source(bytes);

    lumivore::TJpegEntropyDecoder whole;
    const lumivore::TJpegCheck once = whole.Run(source, bytes.size());
    lumivore::TJpegEntropyDecoder fed;
    std::optional<lumivore::TJpegEntropyDecoder> copy;
    lumivore::TJpegCheck r = lumivore::TJpegCheck::NeedMore;
    for (std::uint64_t limit = step; r == lumivore::TJpegCheck::NeedMore; limit += step) {
        const std::uint64_t clipped = limit < bytes.size() ? limit : bytes.size();
        r = fed.Run(source, clipped);
        if (r == lumivore::TJpegCheck::NeedMore && (fed.Resume() > clipped || clipped == bytes.size()))
            break;
        if (r == lumivore::TJpegCheck::NeedMore && !copy)
            copy = fed;
    }
    if (r != once || !SameAnswers(fed, whole, r, false) || (r == lumivore::TJpegCheck::Clean && whole.EndOffset() > bytes.size()))
        __builtin_trap();
    if (copy) {
        const lumivore::TJpegCheck c = copy->Run(source, bytes.size());
        if (c != once || !SameAnswers(*copy, whole, c, true))
            __builtin_trap();
    }

    const lumivore::TMarkerScan look = lumivore::ScanJpegMarkers(source, bytes.size());
    if (look.Result == lumivore::TJpegCheck::Clean && look.End > bytes.size())
        __builtin_trap();
    return 0;
}
