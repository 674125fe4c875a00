// The continuing measures: PNG chunks, GIF blocks, RealMedia chunks, Sigma X3F directories,
// classic TIFF directories and AVI chunks; the JPEG's is in formats/JpegMeasure.cpp.
#include "formats/StreamMeasure.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "formats/ByteSearch.h"
#include "formats/IsoMeasure.h"
#include "formats/JpegMeasure.h"
#include "formats/MediaFormats.h"
#include "formats/PhotoFormats.h"
#include "formats/TiffWalker.h"

namespace lumivore {

bool TStreamWindow::Get(std::uint64_t at, std::size_t n, std::uint8_t* out) const {
    if (!Has(at, n))
        return false;
    std::size_t done = 0;
    if (at < chunkStart_) {
        const std::size_t from = static_cast<std::size_t>(at - Start());
        const std::size_t take = std::min(n, carry_.size() - from);
        std::memcpy(out, carry_.data() + from, take);
        done = take;
    }
    if (done < n) {
        const std::size_t from = static_cast<std::size_t>(at + done - chunkStart_);
        std::memcpy(out + done, chunk_.data() + from, n - done);
    }
    return true;
}

TBytes TStreamWindow::ChunkFrom(std::uint64_t at) const {
    if (at < chunkStart_ || at >= End())
        return {};
    return chunk_.subspan(static_cast<std::size_t>(at - chunkStart_));
}

TMeasureStatus TStreamMeasure::Feed(TBytes chunk) {
    if (status_ != TMeasureStatus::Open)
        return status_;
    const TStreamWindow window(fed_, TBytes(carry_, carryLength_), chunk);
    status_ = Step(window);
    fed_ += chunk.size();
    if (status_ == TMeasureStatus::Open && fed_ > reach_)
        status_ = TMeasureStatus::Failed; // no file accepted here is that long
    if (status_ != TMeasureStatus::Open) {
        carryLength_ = 0;
        return status_;
    }
    std::uint8_t kept[kCarryBytes];
    const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(kCarryBytes, window.End() - window.Start()));
    window.Get(window.End() - keep, keep, kept);
    std::memcpy(carry_, kept, keep);
    carryLength_ = static_cast<std::uint8_t>(keep);
    return status_;
}

void TStreamMeasure::Abandon() {
    if (status_ == TMeasureStatus::Open)
        status_ = Abandoned();
    carryLength_ = 0;
}

TMeasureStatus TStreamMeasure::Finish() {
    if (status_ == TMeasureStatus::Open)
        status_ = Finished();
    carryLength_ = 0;
    return status_;
}

TMeasureStatus TStreamMeasure::End(std::uint64_t length) {
    if (length < 1 || length > static_cast<std::uint64_t>(largestLength_))
        return TMeasureStatus::Failed;
    length_ = static_cast<std::int64_t>(length);
    return TMeasureStatus::Ended;
}

namespace {

constexpr std::uint64_t kLimit = static_cast<std::uint64_t>(kFileLengthLimit);

std::uint32_t Be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// ---- PNG -----------------------------------------------------------------------------------

class TPngMeasure final : public TStreamMeasure {
public:
    TPngMeasure() : TStreamMeasure(kFileLengthLimit - 1) {}

protected:
    // Each chunk is a 32-bit length, a type of four letters, the data and a CRC; the walk ends
    // after IEND, 8 bytes past a chunk whose type or size is no PNG's, and gives up at the
    // file length limit instead of reporting a length it did not measure.
    TMeasureStatus Step(const TStreamWindow& w) override {
        for (;;) {
            if (pos_ < w.Start() || pos_ >= kLimit)
                return TMeasureStatus::Failed;
            std::uint8_t h[8];
            if (!w.Get(pos_, 8, h))
                return TMeasureStatus::Open;
            const std::uint32_t chunkLength = Be32(h);
            for (int i = 4; i < 8; ++i) {
                const std::uint8_t c = h[i];
                if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
                    return End(pos_ + 8);
            }
            if (std::memcmp(h + 4, "IEND", 4) == 0)
                return End(pos_ + 12);
            if (chunkLength >= kPngChunkCeiling)
                return End(pos_ + 8);
            pos_ += std::uint64_t{chunkLength} + 12;
        }
    }

private:
    std::uint64_t pos_ = 8;
};

// ---- GIF -----------------------------------------------------------------------------------

std::uint64_t GifColourTable(std::uint8_t flags) { return (flags & 0x80) ? 3u * (2u << (flags & 7)) : 0u; }
bool GifExtensionLabel(std::uint8_t label) { return label == 0x01 || label == 0xF9 || label == 0xFE || label == 0xFF; }
std::uint64_t GifWholeExtension(std::uint8_t label, std::uint8_t firstBlock) {
    return firstBlock + (label == 0xFF ? 8u : 4u);
}

// The blocks of a GIF, one step at a time: the screen descriptor and its colour table, leading
// extensions sub-block by sub-block, images with their data sub-blocks and at most one
// extension after each, then the trailer, perhaps after further extensions.
class TGifMeasure final : public TStreamMeasure {
public:
    TGifMeasure() : TStreamMeasure(kFileLengthLimit - 1) {}

protected:
    TMeasureStatus Step(const TStreamWindow& w) override {
        for (;;) {
            if (pos_ < w.Start() || pos_ >= kLimit)
                return TMeasureStatus::Failed;
            std::uint8_t b[11];
            switch (phase_) {
            case TPhase::Header:
                if (!w.Get(0, 11, b))
                    return TMeasureStatus::Open;
                v89a_ = std::memcmp(b + 3, "89a", 3) == 0;
                pos_ = 13 + GifColourTable(b[10]);
                phase_ = v89a_ ? TPhase::LeadingExtension : TPhase::Image;
                break;
            case TPhase::LeadingExtension:
                if (!w.Get(pos_, 3, b))
                    return TMeasureStatus::Open;
                if (b[0] != 0x21 || !GifExtensionLabel(b[1])) {
                    phase_ = TPhase::Image;
                    break;
                }
                pos_ += 3 + std::uint64_t{b[2]};
                phase_ = TPhase::LeadingSubBlock;
                break;
            case TPhase::LeadingSubBlock:
                if (!w.Get(pos_, 1, b))
                    return TMeasureStatus::Open;
                pos_ += 1 + std::uint64_t{b[0]};
                if (b[0] == 0 || pos_ > kGifExtensionCeiling)
                    phase_ = TPhase::LeadingExtension;
                break;
            case TPhase::Image:
                if (!w.Get(pos_, 1, b))
                    return TMeasureStatus::Open;
                if (b[0] != 0x2C) {
                    phase_ = TPhase::Trailer;
                    break;
                }
                if (!w.Get(pos_, 11, b))
                    return TMeasureStatus::Open;
                pos_ += 11 + GifColourTable(b[9]);
                phase_ = TPhase::ImageSubBlock;
                break;
            case TPhase::ImageSubBlock:
                if (!w.Get(pos_, 1, b))
                    return TMeasureStatus::Open;
                pos_ += 1 + std::uint64_t{b[0]};
                if (b[0] == 0)
                    phase_ = v89a_ ? TPhase::AfterImage : TPhase::Image;
                break;
            case TPhase::AfterImage: {
                // At most one extension after an image, skipped as a whole.
                if (!w.Get(pos_, 1, b))
                    return TMeasureStatus::Open;
                if (b[0] == 0x21) {
                    if (!w.Get(pos_, 2, b))
                        return TMeasureStatus::Open;
                    if (GifExtensionLabel(b[1])) {
                        if (!w.Get(pos_, 3, b))
                            return TMeasureStatus::Open;
                        pos_ += GifWholeExtension(b[1], b[2]);
                    }
                }
                phase_ = TPhase::Image;
                break;
            }
            case TPhase::Trailer:
                if (!w.Get(pos_, 1, b))
                    return TMeasureStatus::Open;
                if (b[0] == 0x3B)
                    return End(pos_ + 1);
                if (b[0] != 0x21 || !v89a_)
                    return End(pos_);
                phase_ = TPhase::TrailingExtension;
                break;
            case TPhase::TrailingExtension:
                if (!w.Get(pos_, 3, b))
                    return TMeasureStatus::Open;
                if (b[0] != 0x21 || !GifExtensionLabel(b[1]))
                    return End(pos_ + 1);
                pos_ += GifWholeExtension(b[1], b[2]);
                break;
            }
        }
    }

private:
    enum class TPhase : std::uint8_t {
        Header, LeadingExtension, LeadingSubBlock, Image, ImageSubBlock, AfterImage, Trailer, TrailingExtension
    };
    TPhase phase_ = TPhase::Header;
    bool v89a_ = false;
    std::uint64_t pos_ = 0;
};

// ---- RealMedia -----------------------------------------------------------------------------

class TRealMediaMeasure final : public TStreamMeasure {
public:
    TRealMediaMeasure() : TStreamMeasure(LargestLengthFor("RM")) {}

protected:
    TMeasureStatus Step(const TStreamWindow& w) override {
        static constexpr char kKnown[][5] = {".RMF", "PROP", "CONT", "MDPR", "DATA", "INDX"};
        for (;;) {
            if (pos_ < w.Start() || pos_ >= kLimit)
                return TMeasureStatus::Failed;
            std::uint8_t h[8];
            if (!w.Get(pos_, 8, h))
                return TMeasureStatus::Open;
            const std::uint32_t chunkSize = Be32(h + 4);
            const bool known = std::any_of(std::begin(kKnown), std::end(kKnown),
                                           [&](const char* id) { return std::memcmp(h, id, 4) == 0; });
            if (!known)
                return End(pos_ + chunkSize); // an unknown chunk ends the file, counted whole
            if (chunkSize > kRealMediaChunkCeiling)
                return TMeasureStatus::Failed;
            if (chunkSize == 0)
                return End(pos_);
            pos_ += chunkSize;
        }
    }

private:
    std::uint64_t pos_ = 0;
};

// ---- Sigma X3F -----------------------------------------------------------------------------

// An X3F file's sections follow its header; their directory ("SECd", a version, a count and
// entries of offset, length and type) comes last, and the file's last four bytes give the
// directory's offset. Nothing at the start tells where that is: the measure looks for the
// directory as the bytes go by and takes one whose entries all lie before it and whose
// closing offset names it. A file with no section right after its header is a header alone,
// or not an X3F: it is given up at once rather than followed to the limit.
class TX3fMeasure final : public TStreamMeasure {
public:
    TX3fMeasure() : TStreamMeasure(LargestLengthFor("X3F")) {}

protected:
    TMeasureStatus Step(const TStreamWindow& w) override {
        for (;;) {
            if (!sectionSeen_) {
                // The first section lies within the first kFirstSectionReach bytes, on a 4-byte
                // boundary past the 40 bytes every version's header holds.
                for (; firstSection_ + 4 <= kFirstSectionReach; firstSection_ += 4) {
                    std::uint8_t id[4];
                    if (!w.Get(firstSection_, 4, id))
                        return firstSection_ < w.Start() ? TMeasureStatus::Failed : TMeasureStatus::Open;
                    if (std::memcmp(id, "SEC", 3) == 0) {
                        sectionSeen_ = true;
                        search_ = firstSection_ + 4;
                        break;
                    }
                }
                if (!sectionSeen_)
                    return TMeasureStatus::Failed;
            }
            if (candidate_ != kNone) {
                // Gathers the candidate directory, then judges it.
                const std::uint64_t have = candidate_ + directory_.size();
                if (have < w.End() && directory_.size() < need_) {
                    if (have < w.Start())
                        return TMeasureStatus::Failed; // its bytes went by unseen
                    const std::size_t take = static_cast<std::size_t>(
                        std::min<std::uint64_t>(need_ - directory_.size(), w.End() - have));
                    const std::size_t at = directory_.size();
                    directory_.resize(at + take);
                    if (!w.Get(have, take, directory_.data() + at))
                        return TMeasureStatus::Failed;
                }
                if (directory_.size() < need_)
                    return TMeasureStatus::Open;
                if (need_ == kDirectoryHead) {
                    const std::uint32_t version = Le32(directory_.data() + 4);
                    const std::uint32_t entries = Le32(directory_.data() + 8);
                    if (version >= 0x00020000 && version < 0x00050000 && entries >= 1 && entries <= kMaxEntries) {
                        need_ = kDirectoryHead + 12 * std::size_t{entries} + 4;
                        continue;
                    }
                } else if (DirectoryHolds(candidate_, directory_)) {
                    NoteImages();
                    return End(candidate_ + need_);
                }
                Reject();
                continue;
            }
            // Looks for the next "SECd" from search_ on: first where the carried bytes meet the
            // chunk, then in the chunk. (A rejected candidate's own bytes were searched already.)
            search_ = std::max(search_, w.Start());
            for (; search_ < w.ChunkStart() && search_ + 4 <= w.End(); ++search_) {
                std::uint8_t id[4];
                if (w.Get(search_, 4, id) && std::memcmp(id, "SECd", 4) == 0)
                    break;
            }
            if (search_ + 4 > w.End())
                return TMeasureStatus::Open;
            if (search_ >= w.ChunkStart()) {
                const TBytes rest = w.ChunkFrom(search_);
                const void* hit = rest.size() >= 4 ? ::memmem(rest.data(), rest.size(), "SECd", 4) : nullptr;
                if (hit == nullptr) {
                    search_ = w.End() - std::min<std::uint64_t>(3, w.End());
                    return TMeasureStatus::Open;
                }
                search_ += static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - rest.data());
            }
            if (search_ > UINT32_MAX)
                return TMeasureStatus::Failed; // no file offset of 32 bits can name it
            candidate_ = search_;
            need_ = kDirectoryHead;
            directory_.clear();
        }
    }

private:
    static constexpr std::uint64_t kNone = UINT64_MAX;
    static constexpr std::uint64_t kFirstSectionReach = 1024;
    static constexpr std::size_t kDirectoryHead = 12;
    static constexpr std::uint32_t kMaxEntries = 64;

    // Whether the gathered directory at position at is the file's: every entry's data lies on
    // a 4-byte boundary between the header and the directory, its type is a name of letters
    // and digits, and the offset after the entries names the directory.
    static bool DirectoryHolds(std::uint64_t at, const std::vector<std::uint8_t>& d) {
        const std::uint32_t entries = Le32(d.data() + 8);
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::uint8_t* e = d.data() + kDirectoryHead + 12 * std::size_t{i};
            const std::uint64_t offset = Le32(e), length = Le32(e + 4);
            if (offset % 4 != 0 || offset < 40 || offset + length > at)
                return false;
            for (int k = 8; k < 12; ++k) {
                const std::uint8_t c = e[k];
                if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
                    return false;
            }
        }
        return Le32(d.data() + kDirectoryHead + 12 * std::size_t{entries}) == at;
    }
    // The picture sections the directory names ("IMAG", "IMA2": a preview, often a JPEG, after
    // the section's own header) are runs of the file.
    void NoteImages() {
        constexpr std::uint64_t kSectionHead = 28;
        const std::uint32_t entries = Le32(directory_.data() + 8);
        for (std::uint32_t i = 0; i < entries; ++i) {
            const std::uint8_t* e = directory_.data() + kDirectoryHead + 12 * std::size_t{i};
            const std::uint64_t offset = Le32(e), length = Le32(e + 4);
            if (std::memcmp(e + 8, "IMA", 3) == 0 && length > kSectionHead)
                NoteEmbedded(offset + kSectionHead, length - kSectionHead);
        }
    }
    // The candidate is not the directory: the search goes on after its first byte, first in
    // the bytes gathered for it, which the window may no longer hold.
    void Reject() {
        const std::uint8_t* d = directory_.data();
        for (std::size_t k = 1; k + 4 <= directory_.size(); ++k)
            if (std::memcmp(d + k, "SECd", 4) == 0) {
                candidate_ += k;
                directory_.erase(directory_.begin(), directory_.begin() + static_cast<std::ptrdiff_t>(k));
                need_ = kDirectoryHead;
                return;
            }
        search_ = candidate_ + std::max<std::size_t>(1, directory_.size() >= 3 ? directory_.size() - 3 : 1);
        candidate_ = kNone;
        directory_.clear();
    }

    bool sectionSeen_ = false;
    std::uint64_t firstSection_ = 40;
    std::uint64_t search_ = 0;
    std::uint64_t candidate_ = kNone;
    std::size_t need_ = kDirectoryHead;
    std::vector<std::uint8_t> directory_; // at most 12 + 12 * kMaxEntries + 4 bytes
};

// ---- classic TIFF --------------------------------------------------------------------------

// Walks the directories of a classic TIFF structure in the order of their positions in the
// file, as the blocks bring them, and measures the file as the largest position any directory,
// value or data strip reaches, by the rules of the directory walker. What lies ahead is a short
// list of places still to read; a place that lies behind what has gone by ends the measure.
class TTiffMeasure final : public TStreamMeasure {
public:
    // A structure may reach as far as the walker accepts (the raised limit of raws), however
    // far its directories may lie: those are read as the bytes come, within kFileLengthLimit.
    explicit TTiffMeasure(bool kodak)
        : TStreamMeasure(kodak ? kLargeRawLengthLimit + kKodakAddition : kLargeRawLengthLimit), kodak_(kodak) {}

protected:
    TMeasureStatus Step(const TStreamWindow& w) override {
        if (!started_) {
            std::uint8_t h[8];
            if (!w.Get(0, 8, h))
                return TMeasureStatus::Open;
            bigEndian_ = h[0] == 'M';
            // A BigTIFF's 64-bit layout is not walked here.
            if (h[0] != h[1] || (h[0] != 'I' && h[0] != 'M') || Decode(h + 2, 2) == kBigTiff)
                return TMeasureStatus::Failed;
            started_ = true;
            if (!Directory(Decode(h + 4, 4), 0))
                return TMeasureStatus::Failed;
        }
        for (;;) {
            if (length_ < 0)
                return TMeasureStatus::Failed;
            if (targetCount_ == 0) {
                // Where the length ends with image data, that run is claimed, not walked.
                if (furthestEnd_ > 0 && furthestEnd_ == static_cast<std::uint64_t>(length_))
                    SetClaimFrom(static_cast<std::int64_t>(furthestStart_));
                return kodak_ ? End(static_cast<std::uint64_t>(length_ + kKodakAddition))
                              : End(static_cast<std::uint64_t>(length_));
            }
            ForgetDropped();
            if (targetCount_ == 0)
                continue;
            TTarget& t = targets_[Nearest()];
            if (t.At < w.Start())
                return TMeasureStatus::Failed; // it pointed back at bytes gone by
            std::uint8_t b[12];
            if (!w.Get(t.At, Need(t), b))
                return TMeasureStatus::Open;
            if (!Handle(t, b))
                return TMeasureStatus::Failed;
        }
    }

private:
    static constexpr std::uint16_t kBigTiff = 43;
    // Guards against hostile structures; real files hold a handful of directories.
    static constexpr std::uint16_t kMaxEntries = 100;            // per directory
    static constexpr std::uint8_t kLastChainDepth = 10;          // chained directories 0 to 10
    static constexpr std::uint8_t kSubDepth = 255;               // a sub-directory, not chained
    static constexpr std::size_t kMaxTargets = 48;               // places waiting to be read
    static constexpr std::size_t kMaxDirectories = 64;           // directories per file
    static constexpr std::size_t kMaxPairs = 16;                 // open offset/count pairs
    static constexpr std::uint32_t kWorkBudget = 200000;         // entries read per file

    enum class TKind : std::uint8_t { Count, Entry, Next, SubList, PairOffset, PairCount };
    struct TTarget {
        std::uint64_t At = 0;
        std::uint32_t Remaining = 0; // entries of a directory, elements of a list
        TKind Kind = TKind::Count;
        std::uint8_t Depth = 0;
        std::uint8_t Elem = 0;       // bytes per list element
        std::uint8_t Pair = kNone;   // the open data-offset entry of a directory's entries
    };
    // The last data offset and byte count of one directory's strips, tiles or JPEG stream.
    struct TPair {
        std::uint64_t Offset = 0, Count = 0;
        bool HasOffset = false, HasCount = false;
        bool Used = false;        // still wanted: its directory may pair it, or has
        std::uint8_t Waiting = 0; // reads still to come for it
    };
    static constexpr std::uint8_t kNone = 0xFF;

    static std::size_t Need(const TTarget& t) {
        switch (t.Kind) {
        case TKind::Count: return 2;
        case TKind::Entry: return 12;
        case TKind::Next: case TKind::SubList: return 4;
        default: return t.Elem;
        }
    }
    std::uint32_t Decode(const std::uint8_t* p, std::uint8_t width) const {
        std::uint32_t v = 0;
        for (std::uint8_t i = 0; i < width; ++i)
            v = bigEndian_ ? (v << 8) | p[i] : v | (std::uint32_t{p[i]} << (8 * i));
        return v;
    }
    std::size_t Nearest() const {
        std::size_t best = 0;
        for (std::size_t i = 1; i < targetCount_; ++i)
            if (targets_[i].At < targets_[best].At)
                best = i;
        return best;
    }
    // Reads for pairs that were dropped are not waited for.
    void ForgetDropped() {
        for (std::size_t k = 0; k < targetCount_;) {
            TTarget& t = targets_[k];
            if ((t.Kind == TKind::PairOffset || t.Kind == TKind::PairCount) && !pairs_[t.Pair].Used) {
                --pairs_[t.Pair].Waiting;
                t = targets_[--targetCount_];
            } else {
                ++k;
            }
        }
    }
    bool Add(const TTarget& t) {
        if (targetCount_ == kMaxTargets || t.At >= kLimit)
            return false;
        targets_[targetCount_++] = t;
        return true;
    }
    void Remove(const TTarget& t) {
        const std::size_t i = static_cast<std::size_t>(&t - targets_.data());
        targets_[i] = targets_[--targetCount_];
    }
    static constexpr std::uint64_t kStructureLimit = static_cast<std::uint64_t>(kLargeRawLengthLimit);
    void Raise(std::uint64_t end) {
        if (length_ >= 0 && end > static_cast<std::uint64_t>(length_))
            length_ = end > kStructureLimit ? kUnknownLength : static_cast<std::int64_t>(end);
    }
    // A directory to read at offset; one already read is not read again.
    bool Directory(std::uint64_t offset, std::uint8_t depth) {
        if (std::find(seen_.begin(), seen_.begin() + static_cast<std::ptrdiff_t>(seenCount_), offset) !=
            seen_.begin() + static_cast<std::ptrdiff_t>(seenCount_))
            return true;
        if (seenCount_ == kMaxDirectories)
            return false;
        seen_[seenCount_++] = offset;
        TTarget t;
        t.At = offset;
        t.Kind = TKind::Count;
        t.Depth = depth;
        return Add(t);
    }
    std::uint8_t NewPair() {
        for (std::size_t i = 0; i < kMaxPairs; ++i)
            if (!pairs_[i].Used && pairs_[i].Waiting == 0) {
                pairs_[i] = TPair{};
                pairs_[i].Used = true;
                return static_cast<std::uint8_t>(i);
            }
        return kNone;
    }
    // A data strip's offset and byte count, once both are known, is an end of the file.
    void Settle(std::uint8_t i) {
        TPair& p = pairs_[i];
        if (p.Used && p.HasOffset && p.HasCount) {
            const std::uint64_t end =
                p.Offset > kStructureLimit || p.Count > kStructureLimit ? kStructureLimit + 1 : p.Offset + p.Count;
            NoteEmbedded(p.Offset, p.Count);
            if (end > furthestEnd_) {
                furthestStart_ = p.Offset;
                furthestEnd_ = end;
            }
            Raise(end);
            p.Used = false;
        }
    }
    // A pair that will never be completed; a read still waiting for it is ignored.
    void Drop(std::uint8_t i) { pairs_[i].Used = false; }
    bool Read(std::uint64_t at, TKind kind, std::uint8_t elem, std::uint8_t pair) {
        TTarget t;
        t.At = at;
        t.Kind = kind;
        t.Elem = elem;
        t.Pair = pair;
        ++pairs_[pair].Waiting;
        return Add(t);
    }

    bool Handle(TTarget& t, const std::uint8_t* b) {
        switch (t.Kind) {
        case TKind::Count: {
            const std::uint16_t n = static_cast<std::uint16_t>(Decode(b, 2));
            if (n == 0 || n > kMaxEntries)
                return false;
            Raise(t.At + 2 + 12ull * n);
            t.Kind = TKind::Entry;
            t.At += 2;
            t.Remaining = n;
            t.Pair = kNone;
            return true;
        }
        case TKind::Entry:
            if (work_ == 0)
                return false;
            --work_;
            if (!Entry(t, b))
                return false;
            t.At += 12;
            if (--t.Remaining == 0) {
                if (t.Pair != kNone)
                    Drop(t.Pair); // an offset entry without its count
                t.Pair = kNone;
                if (t.Depth == kSubDepth)
                    Remove(t);
                else
                    t.Kind = TKind::Next;
            }
            return true;
        case TKind::Next: {
            const std::uint32_t next = Decode(b, 4);
            const std::uint8_t depth = t.Depth;
            Remove(t);
            if (next == 0)
                return true;
            return depth < kLastChainDepth && Directory(next, static_cast<std::uint8_t>(depth + 1));
        }
        case TKind::SubList: {
            const std::uint32_t sub = Decode(b, 4);
            t.At += t.Elem;
            const bool last = --t.Remaining == 0;
            if (last)
                Remove(t);
            return Directory(sub, kSubDepth);
        }
        case TKind::PairOffset:
        case TKind::PairCount: {
            TPair& p = pairs_[t.Pair];
            const std::uint8_t i = t.Pair;
            --p.Waiting;
            // The list itself is part of the file: a scanner writes it after its strips, with
            // the directory, at the file's very end.
            Raise(t.At + t.Elem);
            if (t.Kind == TKind::PairOffset) {
                p.Offset = Decode(b, t.Elem);
                p.HasOffset = true;
            } else {
                p.Count = Decode(b, t.Elem);
                p.HasCount = true;
            }
            Remove(t);
            Settle(i);
            return true;
        }
        }
        return false;
    }

    // One directory entry, by the class of its tag.
    bool Entry(TTarget& dir, const std::uint8_t* p) {
        TTiffEntry entry;
        std::copy_n(p, 12, entry.begin());
        const std::uint8_t tagClass = TagClass(entry, bigEndian_);
        if (tagClass == kTagOrdinary) {
            ExtendLength(entry, bigEndian_, length_);
            return true;
        }
        const std::uint32_t value = EntryValue(entry, bigEndian_);
        if (tagClass == kTagSubDirectory)
            return Directory(value, kSubDepth);
        const std::uint8_t elem = TypeSize(entry, bigEndian_);
        const std::uint64_t count = EntryCount(entry, bigEndian_);
        const std::uint64_t size = count * elem; // below 2^35: no overflow
        const bool inlineValue = size <= 4;
        if (tagClass == kTagSubDirList) {
            // Each element names a sub-directory, read as 4 bytes at its place while they lie
            // inside the value.
            if (elem == 0 || size < 4)
                return true;
            if (inlineValue)
                return Directory(value, kSubDepth);
            const std::uint64_t elements = (size - 4) / elem + 1;
            TTarget t;
            t.At = value;
            t.Kind = TKind::SubList;
            t.Elem = elem;
            t.Remaining = static_cast<std::uint32_t>(std::min<std::uint64_t>(elements, kMaxDirectories + 1));
            return Add(t);
        }
        // Offsets and counts of data: the last element of each, paired within the directory.
        const bool usable = count > 0 && (elem == 1 || elem == 2 || elem == 4);
        const std::uint64_t lastAt = usable ? (count - 1) * elem : 0;
        if (tagClass == kTagDataOffsets) {
            if (dir.Pair != kNone)
                Drop(dir.Pair); // replaced before its count came
            dir.Pair = kNone;
            if (!usable)
                return true;
            const std::uint8_t i = NewPair();
            if (i == kNone)
                return false;
            dir.Pair = i;
            if (!inlineValue)
                return Read(std::uint64_t{value} + lastAt, TKind::PairOffset, elem, i);
            pairs_[i].Offset = Decode(p + 8 + lastAt, elem);
            pairs_[i].HasOffset = true;
            return true;
        }
        // A byte count, with an offset entry before it in the same directory.
        if (dir.Pair == kNone)
            return true;
        const std::uint8_t i = dir.Pair;
        dir.Pair = kNone;
        if (!usable) {
            Drop(i);
            return true;
        }
        if (!inlineValue)
            return Read(std::uint64_t{value} + lastAt, TKind::PairCount, elem, i);
        pairs_[i].Count = Decode(p + 8 + lastAt, elem);
        pairs_[i].HasCount = true;
        Settle(i);
        return true;
    }

    bool kodak_;
    bool started_ = false;
    bool bigEndian_ = false;
    std::int64_t length_ = 0;
    std::uint32_t work_ = kWorkBudget;
    std::array<TTarget, kMaxTargets> targets_{};
    std::size_t targetCount_ = 0;
    std::array<std::uint64_t, kMaxDirectories> seen_{};
    std::size_t seenCount_ = 0;
    std::array<TPair, kMaxPairs> pairs_{};
    std::uint64_t furthestStart_ = 0, furthestEnd_ = 0; // the data run that reaches furthest
};


// ---- AVI -----------------------------------------------------------------------------------

// Walks an AVI's chunks as the blocks bring them: the chunks of its RIFF form, those of its
// "movi" list one by one (and of the "rec " lists inside it), and the "RIFF"/"AVIX" forms that
// continue an OpenDML video. Chunk data is passed over, never read. The file ends where its
// last form ends. Where the chain of chunk headers breaks before that (a name that is not four
// printable characters, or a size that runs past the list that holds it), the video's own data
// ends there: what its RIFF size claims beyond that was never written, or was written over.
class TAviMeasure final : public TStreamMeasure {
public:
    TAviMeasure()
        : TStreamMeasure(kLargestRiffChainLength, static_cast<std::uint64_t>(kLargestRiffChainLength)) {}

protected:

    TMeasureStatus Step(const TStreamWindow& w) override {
        for (;;) {
            if (pos_ < w.Start())
                return TMeasureStatus::Failed; // its bytes went by unseen
            std::uint8_t h[12];
            if (depth_ == 0) {
                // A form begins here: the video's first at 0, then each "AVIX" that continues it.
                if (!w.Get(pos_, 12, h))
                    return TMeasureStatus::Open;
                const bool first = pos_ == 0;
                const std::uint64_t size = Le32(h + 4);
                const std::uint64_t end = pos_ + 8 + size;
                if (std::memcmp(h, "RIFF", 4) != 0 || std::memcmp(h + 8, first ? "AVI " : "AVIX", 4) != 0 || size < 4 ||
                    end > static_cast<std::uint64_t>(kLargestRiffChainLength) || forms_ >= kLargestRiffChunkCount)
                    return first ? TMeasureStatus::Failed : End(formEnd_);
                ++forms_;
                ends_[depth_++] = end;
                pos_ += 12;
                continue;
            }
            const std::uint64_t end = ends_[depth_ - 1];
            if (pos_ >= end) {
                // The list ends; a chunk's pad byte may stand over its end.
                --depth_;
                if (depth_ == 0)
                    formEnd_ = end;
                pos_ = end + (end % 2);
                continue;
            }
            if (end - pos_ < 8) {
                pos_ = end; // slack too short for a chunk: the list's padding
                continue;
            }
            if (!w.Get(pos_, 8, h))
                return TMeasureStatus::Open;
            for (int k = 0; k < 4; ++k)
                if (h[k] < 0x20 || h[k] > 0x7E)
                    return End(pos_);
            const std::uint64_t size = Le32(h + 4);
            const std::uint64_t chunkEnd = pos_ + 8 + size;
            if (chunkEnd > end)
                return End(pos_);
            if (std::memcmp(h, "LIST", 4) == 0 && size >= 4 && depth_ < kDepths) {
                if (!w.Get(pos_, 12, h))
                    return TMeasureStatus::Open;
                // The stream data: "movi" in a form, "rec " groups inside it.
                if (std::memcmp(h + 8, depth_ == 1 ? "movi" : "rec ", 4) == 0) {
                    ends_[depth_++] = chunkEnd;
                    pos_ += 12;
                    continue;
                }
            }
            if (depth_ >= 2)
                NoteEmbedded(pos_ + 8, size); // a frame or a packet of sound
            pos_ = chunkEnd + (size % 2);
        }
    }

    // The data ends: a video whose last form ended right there ends with it; one cut off
    // inside a form keeps what its header claims. When the bytes merely stopped coming (the
    // scan's range ended), a further form may still follow on the device: the measure gives
    // up, and the chain is followed there by its headers.
    TMeasureStatus Finished() override { return depth_ == 0 && formEnd_ > 0 ? End(formEnd_) : TMeasureStatus::Failed; }

private:
    static constexpr std::uint8_t kDepths = 3; // the form, its "movi" list, a "rec " group
    std::array<std::uint64_t, kDepths> ends_{};
    std::uint8_t depth_ = 0;
    std::uint32_t forms_ = 0;
    std::uint64_t pos_ = 0;
    std::uint64_t formEnd_ = 0;
};

} // namespace

std::unique_ptr<TStreamMeasure> StartStreamMeasure(const TFoundFile& rec, bool lengthOnly) {
    const TFileType type = FileTypeOf(rec.Ext);
    switch (TraitsOf(type).Measure) {
    case TLengthMeasure::Jpeg: return StartJpegMeasure(false);
    case TLengthMeasure::Png: return std::make_unique<TPngMeasure>();
    case TLengthMeasure::Gif: return std::make_unique<TGifMeasure>();
    case TLengthMeasure::RealMedia: return std::make_unique<TRealMediaMeasure>();
    case TLengthMeasure::X3f: return std::make_unique<TX3fMeasure>();
    case TLengthMeasure::Avi: return std::make_unique<TAviMeasure>();
    case TLengthMeasure::IsoMedia: return StartIsoMediaMeasure(type);
    case TLengthMeasure::Tiff: break;
    default: return nullptr; // the header states the length, or the recogniser measures it
    }
    // A Sony raw is measured from a directory inside its maker note, which this walk does not
    // read: its length stays as the recogniser left it. A TIFF found by its header alone (its
    // first directory lay past the block) stays unknown too: reading it back measures it and
    // gives it the metadata and thumbnail that this walk does not gather.
    const bool headerOnly = type == TFileType::Tiff && rec.Make.empty() && rec.ThumbLength == 0 && rec.Width == 0;
    if ((headerOnly && !lengthOnly) || ContainsNoCase(rec.Make, "sony"))
        return nullptr;
    return std::make_unique<TTiffMeasure>(TraitsOf(type).Limit == TLengthLimit::LargeKodakRaw);
}

std::unique_ptr<TStreamMeasure> StartJpegPictureMeasure() { return StartJpegMeasure(true); }

} // namespace lumivore
