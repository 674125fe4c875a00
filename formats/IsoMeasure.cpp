// The continuing measure of box-structured files: the chain of top-level boxes, followed as
// the bytes go by, and the index boxes that lie past what the recogniser saw.
#include "formats/IsoMeasure.h"

#include <algorithm>
#include <vector>

#include "formats/IsoMedia.h"
#include "formats/LengthPolicy.h"

namespace lumivore {

namespace {

constexpr std::uint32_t Tag(const char (&t)[5]) {
    return (static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[3]));
}

std::uint32_t Be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// A fragmented recording holds a "moof" and an "mdat" per fragment, a few thousand in an hour;
// more top-level boxes than this are no file's.
constexpr std::uint32_t kMaxTopLevelBoxes = 65536;

// One run of the file's bytes, copied as the bytes go by.
class TGather {
public:
    bool Active() const { return to_ > from_; }
    void Begin(std::uint64_t from, std::uint64_t to) {
        Clear();
        from_ = from;
        to_ = to;
    }
    // Copies what the window holds of the run; true once the run is whole. A run whose bytes
    // went by unseen is let go of.
    bool Take(const TStreamWindow& w) {
        const std::uint64_t next = from_ + bytes_.size();
        if (next >= to_)
            return true;
        if (next < w.Start()) {
            Clear();
            return false;
        }
        if (next >= w.End())
            return false;
        const std::uint64_t n = std::min(to_, w.End()) - next;
        const std::size_t had = bytes_.size();
        bytes_.resize(had + static_cast<std::size_t>(n));
        w.Get(next, static_cast<std::size_t>(n), bytes_.data() + had);
        return from_ + bytes_.size() == to_;
    }
    TBytes Bytes() const { return bytes_; }
    void Clear() {
        from_ = to_ = 0;
        std::vector<std::uint8_t>().swap(bytes_);
    }

private:
    std::uint64_t from_ = 0, to_ = 0;
    std::vector<std::uint8_t> bytes_;
};

class TIsoMediaMeasure final : public TStreamMeasure {
public:
    explicit TIsoMediaMeasure(TFileType type)
        : TStreamMeasure(kMediaLengthLimit - 1, static_cast<std::uint64_t>(kMediaLengthLimit)),
          picture_(type == TFileType::Heic || type == TFileType::Heif || type == TFileType::Avif),
          cr3_(type == TFileType::Cr3) {}

    void Complete(TFoundFile& rec) const override {
        const TFoundFile& f = found_;
        if (!f.Make.empty())
            rec.Make = f.Make;
        if (!f.Model.empty())
            rec.Model = f.Model;
        if (!f.DateTaken.empty())
            rec.DateTaken = f.DateTaken;
        if (f.Width > 0 && f.Height > 0) {
            rec.Width = f.Width;
            rec.Height = f.Height;
        }
        TakeShotFacts(rec, f);
        for (const TPiece& run : f.Embedded)
            rec.NoteEmbedded(static_cast<std::uint64_t>(run.Offset), static_cast<std::uint64_t>(run.Length));
    }

protected:
    TMeasureStatus Step(const TStreamWindow& w) override {
        if (w.ChunkStart() == 0)
            firstEnd_ = w.End();
        Gather(w);
        for (;;) {
            std::uint8_t h[16];
            if (!w.Get(pos_, 8, h))
                return pos_ < w.Start() ? TMeasureStatus::Failed : TMeasureStatus::Open;
            const std::uint32_t size32 = Be32(h), type = Be32(h + 4);
            if (pos_ == 0) {
                if (type != Tag("ftyp") && type != Tag("moov"))
                    return TMeasureStatus::Failed;
                start_ = true;
            } else if ((!IsIsoTopLevelType(type) && !IsPlausibleBoxType(type)) ||
                       (type == Tag("ftyp") && pos_ % 512 == 0)) {
                // No box, or the next file (a file holds one "ftyp", except a video appended
                // to a motion photo, which does not start at a sector of its own).
                return ChainEnds();
            }
            std::uint64_t size = size32, header = 8;
            if (size32 == 1) {
                if (!w.Get(pos_, 16, h))
                    return TMeasureStatus::Open;
                size = (std::uint64_t{Be32(h + 8)} << 32) | Be32(h + 12);
                header = 16;
            } else if (size32 == 0) {
                return TMeasureStatus::Failed; // it runs to an end that nothing states
            }
            if (type == Tag("uuid"))
                header += 16;
            // A size that does not fit ends the chain before the box.
            const std::uint64_t room = static_cast<std::uint64_t>(kMediaLengthLimit - 1) - pos_;
            if (size < header || size > room ||
                (!IsIsoTopLevelType(type) && size > kForeignBoxCeiling))
                return ChainEnds();
            if (++boxes_ > kMaxTopLevelBoxes)
                return TMeasureStatus::Failed;
            const std::uint64_t end = pos_ + size;
            if (type == Tag("moov") || type == Tag("meta"))
                index_ = true;
            else if (type == Tag("mdat"))
                media_ = true;
            else if (type == Tag("mpvd"))
                found_.NoteEmbedded(pos_ + header, size - header); // a motion photo's video
            Consider(w, type, end, size);
            pos_ = end;
            Gather(w);
        }
    }

    // The bytes end here for good: the chain ends with them.
    TMeasureStatus Finished() override { return pos_ <= Fed() ? ChainEnds() : TMeasureStatus::Failed; }

private:
    TMeasureStatus ChainEnds() { return start_ && index_ && media_ ? End(pos_) : TMeasureStatus::Failed; }

    // Whether the box at pos_ is an index whose metadata the recogniser did not read whole:
    // then it is gathered. A picture's index read whole in the first bytes may name an EXIF
    // item past them: that is gathered instead.
    void Consider(const TStreamWindow& w, std::uint32_t type, std::uint64_t end, std::uint64_t size) {
        const bool index = picture_ ? type == Tag("meta") : type == Tag("moov");
        if (!index || index_gather_.Active())
            return;
        if (end > firstEnd_) {
            if (size <= kIsoGatherLimit)
                index_gather_.Begin(pos_, end);
            return;
        }
        if (!picture_ || w.ChunkStart() != 0 || exif_.Active())
            return;
        const TBytes box = w.ChunkFrom(pos_).first(static_cast<std::size_t>(size));
        TFoundFile scratch;
        TIsoRun run;
        ReadIsoPictureBox(box, scratch, run);
        WantExif(run);
    }

    void WantExif(const TIsoRun& run) {
        if (run.Length > 0 && run.Length <= kIsoGatherLimit && run.Offset <= UINT64_MAX - run.Length &&
            run.Offset + run.Length > firstEnd_)
            exif_.Begin(run.Offset, run.Offset + run.Length);
    }

    void Gather(const TStreamWindow& w) {
        if (index_gather_.Active() && index_gather_.Take(w)) {
            if (picture_) {
                TIsoRun run;
                ReadIsoPictureBox(index_gather_.Bytes(), found_, run);
                WantExif(run);
            } else {
                ReadIsoMovieBox(index_gather_.Bytes(), cr3_, found_);
            }
            index_gather_.Clear();
        }
        if (exif_.Active() && exif_.Take(w)) {
            ReadIsoExifItem(exif_.Bytes(), found_);
            exif_.Clear();
        }
    }

    const bool picture_, cr3_;
    std::uint64_t pos_ = 0;      // where the next top-level box starts
    std::uint64_t firstEnd_ = 0; // the end of the bytes the first call was fed
    std::uint32_t boxes_ = 0;
    bool start_ = false, index_ = false, media_ = false;
    TGather index_gather_, exif_;
    TFoundFile found_; // what the gathered boxes state
};

} // namespace

std::unique_ptr<TStreamMeasure> StartIsoMediaMeasure(TFileType type) {
    return std::make_unique<TIsoMediaMeasure>(type);
}

} // namespace lumivore
