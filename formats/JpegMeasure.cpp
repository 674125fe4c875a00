// The JPEG's continuing measure: markers, entropy data, and what follows the picture.
#include "formats/JpegMeasure.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "formats/ByteSearch.h"
#include "formats/JpegTrailers.h"
#include "formats/Mpf.h"
#include "formats/PhotoFormats.h"
#include "formats/SharedBlock.h"

namespace lumivore {

namespace {

constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(kFileLengthLimit);

class TJpegMeasure final : public TStreamMeasure {
public:
    explicit TJpegMeasure(bool pictureOnly) : TStreamMeasure(kFileLengthLimit - 1), pictureOnly_(pictureOnly) {}
    std::uint64_t PictureEnd() const override { return pictureEnd_; }

protected:
    TMeasureStatus Step(const TStreamWindow& w) override {
        for (;;) {
            if (phase_ == TPhase::Trailers)
                return Trailers(w);
            if ((indexLength_ == 0 && pos_ < w.Start()) || pos_ >= kLimit)
                return TMeasureStatus::Failed;
            switch (phase_) {
            case TPhase::Markers: {
                const TMeasureStatus s = Markers(w);
                if (s != TMeasureStatus::Open || phase_ == TPhase::Markers)
                    return s;
                break;
            }
            case TPhase::Entropy:
                if (!FindEndOfImage(w))
                    return TMeasureStatus::Open;
                if (pictureEnd_ == 0)
                    pictureEnd_ = pos_;
                if (pictureOnly_)
                    return End(pos_);
                phase_ = TPhase::AfterPicture;
                break;
            case TPhase::AfterPicture: {
                const TMeasureStatus s = AfterPicture(w);
                if (s != TMeasureStatus::Open || phase_ == TPhase::AfterPicture)
                    return s;
                break;
            }
            case TPhase::Trailers:
                break;
            }
        }
    }

    // The data ended: bytes gathered after the picture are all there is to measure; a picture
    // that ended right before the data's end has nothing after it.
    TMeasureStatus Finished() override {
        if (phase_ == TPhase::Trailers)
            return MeasureTrailers();
        const bool motion = motion_.VideoBytes != 0 || motion_.DirectoryBytes != 0;
        if (phase_ == TPhase::AfterPicture && pos_ <= Fed() && !motion)
            return End(pos_); // a motion photo's video was to follow
        return TMeasureStatus::Failed;
    }
    // The picture's end went by: what follows it is optional, and its bytes stopped.
    TMeasureStatus Abandoned() override { return Finished(); }

private:
    enum class TPhase : std::uint8_t { Markers, Entropy, AfterPicture, Trailers };

    static bool WithoutLength(std::uint8_t m) { return m == 0x01 || (m >= 0xD0 && m <= 0xD7); }

    // The segments up to the start of scan. Open with phase_ unchanged means: wait for bytes.
    TMeasureStatus Markers(const TStreamWindow& w) {
        while (pos_ < kLimit) {
            if (indexLength_ != 0) {
                const TGather g = GatherIndex(w);
                if (g == TGather::Wait)
                    return TMeasureStatus::Open;
                if (g == TGather::Lost)
                    return TMeasureStatus::Failed;
                continue;
            }
            std::uint8_t b[4];
            if (!w.Get(pos_, 2, b))
                return TMeasureStatus::Open;
            if (b[0] != 0xFF)
                return TMeasureStatus::Failed; // the segment structure is lost
            const std::uint8_t m = b[1];
            if (m == 0xD9) {
                pos_ += 2;
                if (pictureEnd_ == 0)
                    pictureEnd_ = pos_;
                if (pictureOnly_)
                    return End(pos_);
                phase_ = TPhase::AfterPicture;
                return TMeasureStatus::Open;
            }
            if (WithoutLength(m)) {
                pos_ += 2;
                continue;
            }
            if (m == 0xFF) {
                pos_ += 1; // fill byte
                continue;
            }
            if (!w.Get(pos_, 4, b))
                return TMeasureStatus::Open;
            const std::uint16_t segmentLength = static_cast<std::uint16_t>((b[2] << 8) | b[3]);
            if ((m == 0xE1 || m == 0xE2) && appended_ == 0 && !pictureOnly_ && segmentLength >= 8) {
                // A multi-picture index, or XMP that may describe a motion photo's video: such a
                // segment is read once it has come whole. It is at most 64 KiB and is let go of
                // as soon as it is read.
                std::uint8_t id[8];
                if (!w.Get(pos_, 8, id))
                    return TMeasureStatus::Open;
                const bool mpf = m == 0xE2 && mpfEnd_ == 0 && IsMpfSegment(TBytes(id, 8));
                const bool xmp = m == 0xE1 && std::memcmp(id + 4, "http", 4) == 0;
                if (mpf || xmp) {
                    indexLength_ = std::size_t{segmentLength} + 2;
                    indexAt_ = pos_;
                    continue;
                }
            }
            pos_ += std::uint64_t{segmentLength} + 2;
            if (m == 0xDA) {
                phase_ = TPhase::Entropy;
                return TMeasureStatus::Open;
            }
        }
        return TMeasureStatus::Failed;
    }

    // Copies the gathered segment's bytes as they come; once it is whole, reads it (the end of
    // the last image a multi-picture index names, a motion photo's lengths) and walks on after
    // the segment.
    enum class TGather : std::uint8_t { Wait, Lost, Done };
    TGather GatherIndex(const TStreamWindow& w) {
        const std::uint64_t have = indexAt_ + index_.size();
        if (have < w.Start())
            return TGather::Lost;
        const std::uint64_t take = std::min<std::uint64_t>(indexLength_ - index_.size(), w.End() > have ? w.End() - have : 0);
        const std::size_t from = index_.size();
        index_.resize(from + static_cast<std::size_t>(take));
        w.Get(have, static_cast<std::size_t>(take), index_.data() + from);
        if (index_.size() < indexLength_)
            return TGather::Wait;
        TBytes xmp;
        if (index_[1] == 0xE2) {
            mpfImages_.clear();
            const std::int64_t extent = MpfSegmentExtent(index_, indexAt_, &mpfPrimary_, &mpfImages_);
            if (extent > 0)
                mpfEnd_ = static_cast<std::uint64_t>(extent);
        } else if (JpegXmpPayload(index_, 0, static_cast<std::uint16_t>(index_.size() - 2), xmp)) {
            ReadMotionPhotoXmp(xmp, motion_);
        }
        pos_ = indexAt_ + indexLength_;
        indexLength_ = 0;
        std::vector<std::uint8_t>().swap(index_);
        return TGather::Done;
    }

    // The first FF D9 at or after pos_; on success pos_ is the picture's end. Without one pos_
    // moves to where the search goes on (a last FF waits for the byte after it).
    bool FindEndOfImage(const TStreamWindow& w) {
        while (pos_ < w.ChunkStart()) { // pairs that begin in the carried bytes
            std::uint8_t pair[2];
            if (!w.Get(pos_, 2, pair))
                return false;
            ++pos_;
            if (pair[0] == 0xFF && pair[1] == 0xD9) {
                ++pos_;
                return true;
            }
        }
        const TBytes rest = w.ChunkFrom(pos_);
        const std::size_t at = FindMarkerPair(rest.data(), rest.size(), 0xD9);
        if (at < rest.size()) {
            pos_ += at + 2;
            return true;
        }
        if (!rest.empty() && rest.back() == 0xFF) {
            pos_ += rest.size() - 1; // the byte after this FF comes with the next chunk
            return false;
        }
        pos_ = std::max(pos_, w.End());
        return false;
    }

    // pos_ is the picture's end: the file ends there unless something that belongs to it
    // follows. The look ahead needs a few bytes, which the carried bytes keep across an edge.
    TMeasureStatus AfterPicture(const TStreamWindow& w) {
        if (mpfEnd_ > pos_ && appended_ == 0 && pos_ == pictureEnd_ && mpfPrimary_ == pictureEnd_) {
            // The previews the index names come first; what follows the last one is looked at
            // as what follows a picture. An index whose primary image is not this picture was
            // copied from another file and names nothing here.
            pos_ = mpfEnd_;
            motion_ = TMotionPhoto{};
            for (const TPiece& image : mpfImages_)
                NoteEmbedded(static_cast<std::uint64_t>(image.Offset), static_cast<std::uint64_t>(image.Length));
        }
        std::vector<TPiece>().swap(mpfImages_);
        std::uint8_t look[kTrailerLook];
        if (!w.Get(pos_, kTrailerLook, look))
            return TMeasureStatus::Open;
        const bool motion = motion_.VideoBytes != 0 || motion_.DirectoryBytes != 0;
        // A motion photo's video right after the picture starts with an "ftyp" box, which the
        // look ahead sees; the items of a container directory may follow padding.
        const bool mediaMayFollow = motion_.DirectoryBytes != 0;
        // A second JPEG right after the picture (not on a sector boundary, where it would be a
        // file of its own) belongs to the file: its segments and entropy data are walked on as
        // the main picture's were, however many blocks it spans.
        if (!motion && look[0] == 0xFF && look[1] == 0xD8 && look[2] == 0xFF && pos_ % 512 != 0 &&
            appended_ < kMaxAppended) {
            ++appended_;
            pos_ += 2;
            phase_ = TPhase::Markers;
            return TMeasureStatus::Open;
        }
        if (!mediaMayFollow && !JpegTrailerMayFollow(TBytes(look, kTrailerLook), 0))
            return End(pos_);
        // A trailer: its bytes are gathered from here on, up to its reach, and measured then.
        phase_ = TPhase::Trailers;
        trailer_.Clear();
        measuredAt_ = 0;
        return Trailers(w);
    }

    TMeasureStatus Trailers(const TStreamWindow& w) {
        const std::uint64_t have = pos_ + trailer_.Size();
        if (have < w.Start())
            return TMeasureStatus::Failed;
        const std::uint64_t room = kJpegTrailerReach - trailer_.Size();
        const std::uint64_t take = std::min<std::uint64_t>(room, w.End() > have ? w.End() - have : 0);
        const std::size_t before = trailer_.Size();
        Gather(w, have, static_cast<std::size_t>(take));
        if (trailer_.Size() != before + take)
            return TMeasureStatus::Failed;
        if (trailer_.Size() >= kJpegTrailerReach)
            return MeasureTrailers();
        // Trailers that end where a search finds their closing words may lie anywhere within
        // the reach, so the file's end is known once the reach is gathered. Only media whose
        // length the picture's XMP states end sooner: past what was gathered, where nothing
        // else can be seen. Measured again each time the gathered bytes have doubled.
        if (!StatesMedia() || trailer_.Size() < 2 * measuredAt_)
            return TMeasureStatus::Open;
        measuredAt_ = std::max<std::size_t>(trailer_.Size(), kTrailerLook);
        const std::int64_t end = MeasureJpegTrailersAt(trailer_.Whole(), pos_, 0, motion_);
        trailer_.Release();
        if (end < 0 || static_cast<std::uint64_t>(end) <= pos_ + trailer_.Size())
            return TMeasureStatus::Open;
        trailer_.Clear();
        return EndAfterTrailer(static_cast<std::uint64_t>(end));
    }

    // Adds to the gathered bytes the n at file position at, which w holds: those carried over
    // from the last chunk as a copy, the chunk's own as the shared block allows.
    void Gather(const TStreamWindow& w, std::uint64_t at, std::size_t n) {
        if (n > 0 && at < w.ChunkStart()) {
            std::uint8_t carried[kCarryBytes];
            const auto k = static_cast<std::size_t>(std::min<std::uint64_t>(n, w.ChunkStart() - at));
            if (k > sizeof carried || !w.Get(at, k, carried))
                return;
            trailer_.Add(TBytes(carried, k));
            at += k;
            n -= k;
        }
        const TBytes chunk = w.ChunkFrom(at);
        if (n > 0 && chunk.size() >= n)
            trailer_.Add(chunk.first(n));
    }

    bool StatesMedia() const { return motion_.VideoBytes != 0 || motion_.DirectoryBytes != 0; }

    // Measures the trailers over all the gathered bytes. A trailer that runs past them has no
    // end the measure can confirm.
    TMeasureStatus MeasureTrailers() {
        const std::int64_t end = MeasureJpegTrailersAt(trailer_.Whole(), pos_, 0, motion_);
        trailer_.Clear();
        if (end < 0)
            return TMeasureStatus::Failed;
        return EndAfterTrailer(static_cast<std::uint64_t>(end));
    }

    // The file ends at end, after what followed the picture from pos_ on: a trailer, or a
    // motion photo's video, which the scan may find as a file of its own.
    TMeasureStatus EndAfterTrailer(std::uint64_t end) {
        if (end > pos_)
            NoteEmbedded(pos_, end - pos_);
        return End(end);
    }

    // What JpegTrailerMayFollow examines.
    static constexpr std::size_t kTrailerLook = 8;
    // JPEGs appended one after another; more is a structure made to loop.
    static constexpr std::uint8_t kMaxAppended = 16;

    bool pictureOnly_;
    TPhase phase_ = TPhase::Markers;
    std::uint8_t appended_ = 0;
    std::uint64_t pos_ = 2;
    std::uint64_t pictureEnd_ = 0;
    std::uint64_t mpfEnd_ = 0;     // where the last image the multi-picture index names ends
    std::uint64_t mpfPrimary_ = 0; // the size the index states for the picture itself
    std::vector<TPiece> mpfImages_; // the images it names after the picture, until they are taken
    TMotionPhoto motion_;
    std::vector<std::uint8_t> index_; // a segment read whole, while it comes in
    std::uint64_t indexAt_ = 0;
    std::size_t indexLength_ = 0; // the whole segment's bytes; 0 when none is being read
    TGatheredBytes trailer_; // the bytes after the picture while a trailer may follow
    std::size_t measuredAt_ = 0;        // how many of them the trailers were last measured over
};

} // namespace

std::unique_ptr<TStreamMeasure> StartJpegMeasure(bool pictureOnly) { return std::make_unique<TJpegMeasure>(pictureOnly); }

} // namespace lumivore
