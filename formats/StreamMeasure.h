#pragma once
// Length measures that continue across blocks. A recogniser sees a file's bytes only up to the
// end of the block the scan read; a file that runs on past it would otherwise stay "length
// unknown". A stream measure walks the file's structure from its first byte as the blocks go
// by, one call of Feed per block, and stops as soon as the structure says where the file ends,
// or gives up when the structure is broken or a limit is reached.
//
// A measure keeps no file data beyond the last kCarryBytes bytes of what it was fed, enough to
// read a header that straddles a block edge; everything else is a few positions and counters.
// Only a JPEG's measure holds more, for a while: a segment it reads whole (a multi-picture
// index, XMP; at most 64 KiB) until it has come, and the bytes after its picture while a
// trailer may follow (at most kJpegTrailerReach; those of a block the scan shares, by sharing
// it: TSharedBlock). A measure that has ended or failed holds nothing more and ignores further
// bytes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/FoundFile.h"
#include "formats/ByteOrder.h"
#include "formats/LengthPolicy.h"
#include "formats/SharedBlock.h"

namespace lumivore {

enum class TMeasureStatus : std::uint8_t {
    Open,   // the end lies further on: feed the following bytes
    Ended,  // the end is known: Length()
    Failed, // the structure is broken, passes a limit, or the bytes stopped coming
};

// Bytes kept from one call of Feed to the next: the largest header a measure reads in one
// piece (a TIFF entry, a JPEG marker with its length, a PNG chunk's length and type) fits.
inline constexpr std::size_t kCarryBytes = 32;

// What a measure sees of the file during one call of Feed: the bytes carried over from the
// previous call followed by the new chunk, addressed by their position in the file.
class TStreamWindow {
public:
    TStreamWindow(std::uint64_t chunkStart, TBytes carry, TBytes chunk)
        : chunkStart_(chunkStart), carry_(carry), chunk_(chunk) {}

    // File position of the first byte still at hand, and of the byte after the last.
    std::uint64_t Start() const { return chunkStart_ - carry_.size(); }
    std::uint64_t End() const { return chunkStart_ + chunk_.size(); }
    std::uint64_t ChunkStart() const { return chunkStart_; }
    // Whether the n bytes at file position at are at hand.
    bool Has(std::uint64_t at, std::uint64_t n) const {
        return at >= Start() && at <= End() && n <= End() - at;
    }
    // Copies the n bytes at file position at into out; false when they are not all at hand.
    bool Get(std::uint64_t at, std::size_t n, std::uint8_t* out) const;
    // The chunk's bytes from file position at on; empty when at lies outside the chunk.
    TBytes ChunkFrom(std::uint64_t at) const;

private:
    std::uint64_t chunkStart_;
    TBytes carry_;
    TBytes chunk_;
};

class TStreamMeasure {
public:
    virtual ~TStreamMeasure() = default;

    // Feeds the file's next bytes: the first call its first bytes, every further call the
    // bytes right after those fed before. Returns the status after them.
    TMeasureStatus Feed(TBytes chunk);
    // The bytes stopped: the scan ended, was stopped, or met data it could not read. A measure
    // still open fails, its file's end not seen; only a JPEG whose picture's end went by ends
    // there, with what it gathered after it, as Finish ends it.
    void Abandon();
    // The bytes end here for good: the device or the data in memory ends. A measure that only
    // waited to see whether more belongs to the file (a JPEG's trailers) ends with what it has;
    // any other still open fails.
    TMeasureStatus Finish();

    TMeasureStatus Status() const { return status_; }
    // The file's length once Ended, else kUnknownLength.
    std::int64_t Length() const { return status_ == TMeasureStatus::Ended ? length_ : kUnknownLength; }
    // Bytes of the file fed so far.
    std::uint64_t Fed() const { return fed_; }
    // Where the file's first picture ends, for a JPEG once its end marker went by; else 0.
    virtual std::uint64_t PictureEnd() const { return 0; }
    // The runs inside the file that its structure named as embedded data so far (a JPEG's
    // multi-picture previews, a raw's strips, a video's frames), as TFoundFile::Embedded keeps
    // them.
    const std::vector<TPiece>& Embedded() const { return embedded_; }
    // Where the measured length rests on a header's claim (TFoundFile::ClaimFrom), or -1.
    std::int64_t ClaimFrom() const { return claimFrom_; }
    // Once Ended: adds to the record of the file what the measure read past the bytes its
    // recogniser saw (the metadata of a video whose index comes after its media data, the runs
    // it names as embedded data). Most measures read nothing of the kind.
    virtual void Complete(TFoundFile&) const {}

protected:
    // A measure takes no length above its kind's largest (formats/LengthPolicy.h), and is fed
    // no further than reach bytes into the file: the structures that say where a file ends lie
    // within the general length limit, except a box-structured file's, which follow its media.
    explicit TStreamMeasure(std::int64_t largestLength, std::uint64_t reach = kFileLengthLimit)
        : largestLength_(largestLength), reach_(reach) {}
    // Walks as far as the window allows. Returns Open to wait for more bytes, Ended after
    // calling End, or Failed.
    virtual TMeasureStatus Step(const TStreamWindow& window) = 0;
    // Called by Finish while Open: Ended after calling End, or Failed.
    virtual TMeasureStatus Finished() { return TMeasureStatus::Failed; }
    // Called by Abandon while Open: the same, for a measure that may end there.
    virtual TMeasureStatus Abandoned() { return TMeasureStatus::Failed; }
    TMeasureStatus End(std::uint64_t length);
    void NoteEmbedded(std::uint64_t offset, std::uint64_t length) { NoteEmbeddedRun(embedded_, offset, length); }
    void SetClaimFrom(std::int64_t offset) { claimFrom_ = offset; }

private:
    std::vector<TPiece> embedded_;
    std::int64_t claimFrom_ = -1;
    std::int64_t largestLength_;
    std::uint64_t reach_;
    TMeasureStatus status_ = TMeasureStatus::Open;
    std::int64_t length_ = kUnknownLength;
    std::uint64_t fed_ = 0;
    std::uint8_t carry_[kCarryBytes] = {};
    std::uint8_t carryLength_ = 0;
};

// A continuing measure for the file the record describes, or null when its kind has none (its
// length is stated in its header, or its structure is not walked). The record is the one a
// recogniser filled for the file's first sector. With lengthOnly, a TIFF found by its header
// alone is measured too (its metadata, which this measure does not gather, is not wanted).
std::unique_ptr<TStreamMeasure> StartStreamMeasure(const TFoundFile& rec, bool lengthOnly = false);

// A measure of the JPEG picture alone: it ends at the picture's end marker and follows neither
// the multi-picture index nor what comes after the picture.
std::unique_ptr<TStreamMeasure> StartJpegPictureMeasure();

} // namespace lumivore
