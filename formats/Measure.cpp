// Measuring a found file's length: the continuing measure of its kind, fed what is at hand.
#include "formats/Measure.h"

#include <string>

#include "formats/LengthPolicy.h"
#include "formats/Recognisers.h"
#include "formats/TiffWalker.h"

namespace lumivore {

namespace {

// The measure a recogniser left open during the scan; the recognition is single-threaded, as
// the scan is, so one place holds it until the scan takes it.
struct TLeftOpen {
    const std::uint8_t* Data = nullptr;
    std::size_t Size = 0;
    std::string Ext;
    std::unique_ptr<TStreamMeasure> Measure;
};

TLeftOpen& LeftOpen() {
    static TLeftOpen left;
    return left;
}

} // namespace

bool HasMeasure(const TFoundFile& rec) {
    return TraitsOf(FileTypeOf(rec.Ext)).Measure != TLengthMeasure::None;
}

std::int64_t MeasureLength(const TFoundFile& rec, TBytes data) {
    std::int64_t length = kUnknownLength;
    if (const auto measure = StartStreamMeasure(rec)) {
        measure->Feed(data);
        measure->Finish();
        length = measure->Length();
    } else if (HasMeasure(rec)) {
        // The header states the length, or the walk reads what the continuing measure does not:
        // the recogniser reads it again from the bytes at hand.
        TFoundFile scratch;
        bool accepted = false;
        switch (TraitsOf(FileTypeOf(rec.Ext)).Measure) {
        case TLengthMeasure::Mrw: accepted = RecogniseMrw(data, scratch); break;
        case TLengthMeasure::Raf: accepted = RecogniseRaf(data, scratch); break;
        default: accepted = RecogniseTiff(data, scratch); break;
        }
        if (accepted)
            length = scratch.Length;
    }
    return LengthKnownFor(rec.Ext, length) ? length : kUnknownLength;
}

std::int64_t MeasureJpegPictureLength(TBytes data) {
    const auto picture = StartJpegPictureMeasure();
    picture->Feed(data);
    picture->Finish();
    return picture->Length();
}

void TakeMeasured(TFoundFile& rec, const TStreamMeasure& measure) {
    for (const TPiece& run : measure.Embedded())
        rec.NoteEmbedded(static_cast<std::uint64_t>(run.Offset), static_cast<std::uint64_t>(run.Length));
    if (measure.ClaimFrom() >= 0)
        rec.ClaimFrom = measure.ClaimFrom();
}

TBlockMeasure MeasureInBlock(TFoundFile& rec, TBytes data) {
    TLeftOpen& left = LeftOpen();
    left.Measure.reset();
    TBlockMeasure result;
    auto measure = StartStreamMeasure(rec);
    if (!measure)
        return result;
    const TMeasureStatus status = measure->Feed(data);
    result.PictureEnd = measure->PictureEnd();
    TakeMeasured(rec, *measure);
    if (status == TMeasureStatus::Ended) {
        result.Length = measure->Length();
    } else if (status == TMeasureStatus::Open) {
        left.Data = data.data();
        left.Size = data.size();
        left.Ext = rec.Ext;
        left.Measure = std::move(measure);
    }
    return result;
}

std::unique_ptr<TStreamMeasure> TakeOpenMeasure(const TFoundFile& rec, TBytes data) {
    TLeftOpen& left = LeftOpen();
    std::unique_ptr<TStreamMeasure> measure = std::move(left.Measure);
    if (measure && (left.Data != data.data() || left.Size != data.size() || left.Ext != rec.Ext))
        measure.reset();
    return measure;
}

} // namespace lumivore
