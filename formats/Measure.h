#pragma once
// The one way a found file's length is measured. Each kind whose end its structure tells has
// one continuing measure (formats/StreamMeasure.h); the scan feeds it block by block, and the
// recognisers, read-back and recovery feed it the bytes they have. The kinds whose header
// states their length (MRW, RAF) and the TIFF structures the continuing measure does not walk
// (Sony raws, a TIFF found by its header alone) are measured by their recogniser over the bytes
// given.

#include <cstdint>
#include <memory>

#include "engine/FoundFile.h"
#include "formats/ByteOrder.h"
#include "formats/StreamMeasure.h"

namespace lumivore {

// Whether MeasureLength can find a length for the record's kind.
bool HasMeasure(const TFoundFile& rec);

// The length of the file rec describes, measured over data: its bytes from its first on, after
// which nothing more comes (the read ended there). kUnknownLength when its end does not lie in
// data, its structure is broken, or the length passes its kind's limit (formats/LengthPolicy.h).
std::int64_t MeasureLength(const TFoundFile& rec, TBytes data);

// The end of the JPEG picture at the start of data (after its end marker), without what may
// follow it; kUnknownLength when the end marker does not lie in data.
std::int64_t MeasureJpegPictureLength(TBytes data);

// What a recogniser learns of its file's length from the bytes of the block it sees.
struct TBlockMeasure {
    std::int64_t Length = kUnknownLength; // kUnknownLength while the end lies further on
    std::uint64_t PictureEnd = 0;         // a JPEG's first picture's end once seen, else 0
};

// The record's measure fed data, the bytes of the scan's block from the file's first on. When
// the end lies past them the measure is left open for the scan to continue: TakeOpenMeasure
// hands it over, so the block is not walked twice. The runs the structure named as embedded
// so far are noted in the record (TakeMeasured).
TBlockMeasure MeasureInBlock(TFoundFile& rec, TBytes data);

// Notes in the record what a measure learned besides the length: the embedded runs its
// structure named and where its length rests on a claim.
void TakeMeasured(TFoundFile& rec, const TStreamMeasure& measure);

// The measure MeasureInBlock left open over exactly these bytes for a file of this kind, or
// null. Whatever was left open is let go of either way.
std::unique_ptr<TStreamMeasure> TakeOpenMeasure(const TFoundFile& rec, TBytes data);

} // namespace lumivore
