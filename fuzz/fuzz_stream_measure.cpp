// The continuing measures over arbitrary bytes, fed in pieces. The first byte chooses the kind,
// the second the size of the pieces; the rest is the file.
#include <cstddef>
#include <cstdint>

#include <algorithm>
#include <vector>

#include "formats/Measure.h"
#include "formats/StreamMeasure.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    static const char* const kKinds[] = {"JPG", "PNG", "GIF", "RM", "TIF", "NEF", "DCR", "X3F", "MP4", "HEIC", "CR3"};
    lumivore::TFoundFile rec;
    rec.Ext = kKinds[data[0] % (sizeof kKinds / sizeof kKinds[0])];
    rec.Width = 1;
    const std::size_t piece = std::size_t{data[1]} * 7 + 1;
    const lumivore::TBytes bytes(data + 2, size - 2);
    auto measure = lumivore::StartStreamMeasure(rec);
    if (!measure)
        __builtin_trap();
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        measure->Feed(bytes.subspan(at, std::min(piece, bytes.size() - at)));
    measure->Finish();
    // A measure that ended states a length that counts as known for its kind; any other none.
    const std::int64_t length = measure->Length();
    const bool ended = measure->Status() == lumivore::TMeasureStatus::Ended;
    if (ended != lumivore::LengthKnownFor(rec.Ext, length) || (!ended && length != lumivore::kUnknownLength))
        __builtin_trap();
    // The walks that only go forward give the same length whatever the pieces: fed whole, as
    // read-back and recovery feed them, and fed piece by piece, as the scan does.
    const bool forward = rec.Ext == "PNG" || rec.Ext == "GIF" || rec.Ext == "RM" || rec.Ext == "X3F" ||
                         rec.Ext == "MP4" || rec.Ext == "HEIC" || rec.Ext == "CR3";
    if (forward && lumivore::MeasureLength(rec, bytes) != length)
        __builtin_trap();
    // Fed as the scan feeds its blocks, each piece shared from a buffer the next one overwrites:
    // what a measure keeps of them by sharing gives the same length as what it copies.
    auto shared = lumivore::StartStreamMeasure(rec);
    std::vector<std::uint8_t> block;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const lumivore::TBytes part = bytes.subspan(at, std::min(piece, bytes.size() - at));
        block.assign(part.begin(), part.end());
        lumivore::TSharedBlock sharing(block);
        const lumivore::TSharedBlockScope scope(&sharing);
        shared->Feed(block);
        std::fill(block.begin(), block.end(), 0xAB);
    }
    shared->Finish();
    if (shared->Length() != length)
        __builtin_trap();
    return 0;
}
