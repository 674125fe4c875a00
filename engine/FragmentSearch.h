#pragma once
// Internal to the pieces pass (engine/Fragments.cpp), not part of the engine's interface
// (engine/Fragments.h): the extents a piece may not enter, and the search for one photo's
// pieces, which the pass and the work it does ahead on a second core share.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/ClusterGeometry.h"
#include "engine/FoundFile.h"
#include "engine/Fragments.h"
#include "engine/ScanEngine.h"
#include "formats/JpegEntropy.h"

namespace lumivore::detail {

inline constexpr std::uint64_t kSector = kSectorSize;

// ---- the device extents that a piece may not enter ------------------------------------------

// Byte extents on the device that belong to known files, and the starts of files that a piece
// may not run into. A photo's measured extent is only trusted once it has been seen to decode
// whole; it is checked the first time a search needs it, and dropped when it does not hold.
class TOccupied {
public:
    static constexpr std::size_t kNoOwner = static_cast<std::size_t>(-1);
    // Called for an extent whose owner is not yet trusted; false drops the extent.
    std::function<bool(std::size_t owner)> Verify;

    void Add(std::uint64_t start, std::uint64_t end, std::size_t owner = kNoOwner, bool trusted = true) {
        if (end <= start)
            return;
        auto it = extents_.find(start);
        if (it != extents_.end() && it->second.End >= end)
            return;
        extents_[start] = {end, owner, trusted};
    }
    void AddWall(std::uint64_t start) {
        walls_.push_back(start);
        sorted_ = false;
    }

    // The end of an extent that holds offset, or 0 when none does.
    std::uint64_t Holder(std::uint64_t offset) {
        for (;;) {
            auto it = extents_.upper_bound(offset);
            // Extents seldom overlap; a few steps back find any that holds the offset.
            bool dropped = false;
            for (int back = 0; back < 8 && it != extents_.begin() && !dropped; ++back) {
                --it;
                if (it->second.End > offset) {
                    if (Trust(it))
                        return it->second.End;
                    dropped = true; // the map changed: look again
                }
            }
            if (!dropped)
                return 0;
        }
    }
    // The end of an extent that holds offset, trusted or not and without checking any: 0 when
    // none does. For a search far from the break, which takes no cluster a found file may own.
    std::uint64_t AnyHolder(std::uint64_t offset) const {
        auto it = extents_.upper_bound(offset);
        for (int back = 0; back < 8 && it != extents_.begin(); ++back) {
            --it;
            if (it->second.End > offset)
                return it->second.End;
        }
        return 0;
    }
    // The first extent that starts in [from, to): its start, or to when none.
    std::uint64_t FirstExtentIn(std::uint64_t from, std::uint64_t to) {
        for (;;) {
            auto it = extents_.lower_bound(from);
            if (it == extents_.end() || it->first >= to)
                return to;
            if (Trust(it))
                return it->first;
        }
    }
    // The walls alone, for a search on another thread that only asks where a piece must stop.
    TOccupied WallsOnly() {
        NextWall(0, 0); // sorted here, once
        TOccupied walls;
        walls.walls_ = walls_;
        return walls;
    }
    // The first file start in (after, limit), or limit.
    std::uint64_t NextWall(std::uint64_t after, std::uint64_t limit) {
        if (!sorted_) {
            std::sort(walls_.begin(), walls_.end());
            walls_.erase(std::unique(walls_.begin(), walls_.end()), walls_.end());
            sorted_ = true;
        }
        auto it = std::upper_bound(walls_.begin(), walls_.end(), after);
        return it != walls_.end() && *it < limit ? *it : limit;
    }

private:
    struct TExtent {
        std::uint64_t End = 0;
        std::size_t Owner = kNoOwner;
        bool Trusted = true;
    };
    // Whether the extent stands; an untrusted one is checked once, and erased when it fails.
    bool Trust(std::map<std::uint64_t, TExtent>::iterator it) {
        if (it->second.Trusted)
            return true;
        if (Verify && Verify(it->second.Owner)) {
            it->second.Trusted = true;
            return true;
        }
        extents_.erase(it);
        return false;
    }
    std::map<std::uint64_t, TExtent> extents_;
    std::vector<std::uint64_t> walls_;
    bool sorted_ = true;
};

// ---- a JPEG source over pieces ----------------------------------------------------------------

class TPieceSource : public TJpegSource {
public:
    explicit TPieceSource(TPieceReader& reader) : reader_(reader) {}
    TBytes At(std::uint64_t offset) override { return reader_.Span(offset); }

private:
    TPieceReader& reader_;
};

// Runs d over source up to limit, adding to decoded the bytes it went through.
TJpegCheck Decode(TJpegEntropyDecoder& d, TJpegSource& source, std::uint64_t limit, std::uint64_t& decoded);
std::uint64_t Total(const std::vector<TPiece>& pieces);

// ---- the search for one photo ------------------------------------------------------------------

class TSearch {
public:
    TSearch(TPieceReader& reader, const TClusterGeometry& g, TOccupied& occupied, std::uint64_t deviceBytes,
            const TFragmentOptions& options, std::uint64_t& decoded)
        : reader_(reader), g_(g), occupied_(occupied), deviceBytes_(deviceBytes), options_(options), decoded_(decoded) {}

    // Pieces of the photo starting at device offset start, or nothing. firstBreak is set to the
    // end of the longest first piece that decodes, for a photo left incomplete.
    std::optional<std::vector<TPiece>> Solve(std::uint64_t start, std::uint64_t& firstBreak);
    std::uint64_t Attempts() const { return spent_ + attempts_; }
    // Bytes decoded while following candidates that did not plainly go on the picture.
    std::uint64_t DoubtfulBytes() const { return doubtfulBytes_; }

    // What decoding the open piece tells, once per set of closed pieces and open start however
    // often the search comes back to it: how it ended, where the data stopped, and the
    // decoder's state at each break candidate before that.
    struct TOpenRun {
        TJpegCheck Result = TJpegCheck::NeedMore;
        std::uint64_t EndOffset = 0;  // after Clean
        std::uint64_t FailDevice = 0; // where the data stopped: the failing byte, or the run's end
        std::vector<std::pair<std::uint64_t, TJpegEntropyDecoder>> Snapshots; // by break, ascending
        bool Snapshotted = false;
        // The decoder's state at the last cluster boundaries it passed, and at the run's end
        // when the data went on to it: kept while decoding, so that the break candidates need
        // no second decode of the piece.
        std::vector<std::pair<std::uint64_t, TJpegEntropyDecoder>> Passed; // ascending
    };

    // The photo at device offset start decoded as it lies, in one run of run bytes whatever
    // file starts inside them: Clean when it is whole so. Where the data stops before the next
    // file's start, the search's own first step would decode just the same, and Kept holds that
    // decode for it. Where the data goes on past that start (most often it is noticed a few
    // bytes after it), the first step stops there: what this decode held at that cluster
    // boundary is what the step would find, and Kept holds that instead.
    struct TLook {
        TJpegCheck Result = TJpegCheck::NeedMore;
        std::optional<TOpenRun> Kept;
    };
    TLook Look(std::uint64_t start, std::uint64_t run);
    // Takes the look at the photo at start, made by this search or by another over the same
    // walls, for the search's first step; its result.
    TJpegCheck Keep(std::uint64_t start, TLook look);
    TJpegCheck AsItLies(std::uint64_t start, std::uint64_t run) { return Keep(start, Look(start, run)); }

private:
    // How far an open piece that starts at offset may run: to the next file start, the device's
    // end, or where the whole photo would pass the length limit.
    std::uint64_t OpenEnd(std::uint64_t offset, std::uint64_t before);

    // A run of one value where coded data must stand: zeroed or erased clusters decode as
    // endless runs of small values and would pass for data for a long while.
    bool ConstantStart(std::uint64_t offset);
    // The sector at device offset into s (kSector bytes); false when it cannot be read.
    bool ReadSector(std::uint64_t offset, std::uint8_t* s);
    // Whether the sector s holds one value throughout.
    static bool OneValue(const std::uint8_t* s);

    // Candidate starts of the next piece after a break at device offset e, cheapest first:
    // past each found file that follows, then each free cluster in the gap.
    std::vector<std::uint64_t> Candidates(std::uint64_t e);

    // Whether a candidate cluster that decodes from the state at the break (after) holds coded
    // data of another place: another picture, or this one's from elsewhere. Such data decodes as
    // well as the true continuation, often for megabytes, as the codes of one camera resume
    // their step after a few bits; what gives it away at once is the picture itself. A true
    // continuation keeps the blocks as alike those above them as the picture was so far, while
    // blocks from elsewhere line up with the row above by chance: their DC values differ from
    // those above several times as much. Judged only where both sides hold enough pairs; a
    // generous margin keeps every true continuation seen on cards (within 1.2 times the
    // picture's own) far from the threshold (foreign data ran at 5 times and more).
    static bool Foreign(const TJpegEntropyDecoder& atBreak, const TJpegEntropyDecoder& after);

    // How unlike the blocks above them the blocks a candidate decoded are, against the
    // picture's own: near 1 for a true continuation; 1 where nothing can be said.
    static double Unlikeness(const TJpegEntropyDecoder& atBreak, const TJpegEntropyDecoder& after);

    // Whether a candidate plainly goes on the picture: enough blocks on both sides to judge, and
    // its blocks as alike those above them as the picture's own (true continuations on cards
    // stay within 1.2 times, data from elsewhere runs at 5 times and more).
    static bool Continues(const TJpegEntropyDecoder& atBreak, const TJpegEntropyDecoder& after, double unlike);

    // A cluster too small to hold enough blocks to judge a candidate by (small clusters, dense
    // pictures): the decode after it (t, over trial) goes on over the clusters that follow, up
    // to 8 in all, until enough blocks are decoded, so that data from elsewhere is told apart
    // before it is followed. Where the data stops decoding first (a short true piece may end
    // there), t stays as it was after the first cluster.
    void Judgeable(const TJpegEntropyDecoder& atBreak, TJpegEntropyDecoder& t, std::vector<TPiece> trial,
                   std::uint64_t openEnd);

    TJpegCheck RunOver(TJpegEntropyDecoder& d, const std::vector<TPiece>& pieces);

    // Whether the break at logicalEnd cuts a marker segment of the header that runs on past a
    // whole cluster after it: a candidate, tried over one cluster, cannot complete it, and so
    // none can be judged (each would be tried, read and rejected in turn).
    bool SegmentOutrunsCluster(const TJpegEntropyDecoder& atBreak, std::uint64_t logicalEnd) const {
        return atBreak.PendingEnd() > logicalEnd && atBreak.PendingEnd() - logicalEnd > g_.ClusterBytes;
    }

    // The closed pieces and the open one's start decide the open piece's decode (its length is
    // still 0 when it is looked up).
    static std::uint64_t RunKey(const std::vector<TPiece>& pieces);
    // A candidate cluster tried after the pieces whose RunKey is prefix.
    static std::uint64_t CandidateKey(std::uint64_t prefix, std::uint64_t cand) {
        return (prefix ^ cand) * 0x9E3779B97F4A7C15ull;
    }

    // Decodes the open piece as far as it goes, a cluster at a time, keeping the decoder's
    // state at the last few cluster boundaries it passed: the break candidates lie among them.
    // When the decode passes the cluster boundary cut, atCut is given what a decode of the
    // piece ending there would have told (its FailDevice is cut only then).
    TOpenRun DecodeOpen(const TJpegEntropyDecoder& atStart, std::vector<TPiece> pieces, std::uint64_t before,
                        std::uint64_t openStart, std::uint64_t openEnd, TOpenRun* atCut = nullptr,
                        std::uint64_t cut = 0);

    // The decoder's state at each break candidate of a run, decoding on from the piece's start
    // to one after the other: once, when the search first needs them.
    void TakeSnapshots(TOpenRun& run, const TJpegEntropyDecoder& atStart, std::vector<TPiece> pieces,
                       std::uint64_t openStart, std::uint64_t openEnd);

    // pieces: the closed pieces and an open last one (its start set). atStart has decoded the
    // closed pieces and stands where the open piece's bytes are needed. When the open piece's
    // data went on for a cluster or more and the photo was not completed, ran (when given) is
    // set to where it ran through: from the open piece's start to the earliest break it may
    // have.
    std::optional<std::vector<TPiece>> Extend(const TJpegEntropyDecoder& atStart, std::vector<TPiece> pieces,
                                              std::pair<std::uint64_t, std::uint64_t>* ran = nullptr);

    // The next piece looked for past the gap a break's candidates cover, to the device's end,
    // once the search near every break has failed: on a used card the camera may have put a
    // photo's rest in the next free run of clusters, hundreds of megabytes on. trial: the pieces
    // up to the break, atBreak the decoder's state there. Only clusters that no found file may
    // own (trusted or not, none is decoded to tell), that start no file and whose first sector
    // can be coded data are tried, and only one that plainly goes on the picture is followed.
    std::optional<std::vector<TPiece>> ExtendFar(const TJpegEntropyDecoder& atBreak, std::vector<TPiece> trial);
    // Whether the sector at offset can begin a piece of coded data (PlausibleScanSector, and not
    // one value throughout).
    bool CodedDataStart(std::uint64_t offset);
    bool far_ = false; // the search's second round, past the gaps
    // Device runs of candidates that plainly went on the picture and were followed, in the first
    // round, to where their data stopped without completing the photo: kept apart and in order,
    // start to end (the earliest break the run may have).
    std::map<std::uint64_t, std::uint64_t> plainRuns_;
    void NotePlainRun(std::uint64_t from, std::uint64_t to);
    // Whether the first round passes over a candidate: one inside such a run is the picture's
    // data in order, and from any break its data leads through the rest of the run to the same
    // break, where the search near it has failed already (for a piece of a large photo, after
    // megabytes, each time). The second round, which goes down the plain runs again and on past
    // the gaps from their breaks, tries such candidates as before once that has failed too.
    // Without a second round, none is passed over.
    bool SkipInFirstRound(std::uint64_t cand) const;
    std::uint32_t farLooks_ = 0; // clusters it looked at

    TPieceReader& reader_;
    const TClusterGeometry& g_;
    TOccupied& occupied_;
    std::uint64_t deviceBytes_;
    const TFragmentOptions& options_;
    std::uint64_t& decoded_;
    std::uint64_t attempts_ = 0; // in this round
    std::uint64_t spent_ = 0;    // in the rounds before
    std::uint64_t firstBreak_ = 0;
    std::uint32_t maxPieces_ = 2;
    // Bytes decoded while following candidates that did not plainly go on the picture, and
    // how deep the search is among such.
    std::uint64_t doubtfulBytes_ = 0;
    std::uint32_t doubtful_ = 0;
    // Whether the search stands below a doubtful candidate with that budget spent: nothing more
    // is decoded there, not even after candidates that plainly go on the picture (the clusters
    // of an older photo by the same camera go on each other plainly, and each would be decoded
    // to that photo's end).
    bool DoubtSpent() const { return doubtful_ > 0 && doubtfulBytes_ >= options_.MaxDoubtfulBytes; }
    std::unordered_set<std::uint64_t> rejected_;
    // Candidates that went on the picture: how unlike its blocks, and whether plainly.
    struct TAlike {
        double Unlike = 1.0;
        bool Plain = false;
    };
    std::unordered_map<std::uint64_t, TAlike> alike_;
    static constexpr std::size_t kCachedRuns = 64;
    std::unordered_map<std::uint64_t, TOpenRun> runs_;
};

// A photo put back together ends where its main image's coded data ends; the images its
// multi-picture index names (previews the camera appended) follow that end, as the camera wrote
// them, when a picture starts right after the main image. The preview may itself have been
// split by the card: it is searched for as a photo is (search, the photo's), and its pieces
// join the photo's, the first of them lengthening the photo's last piece. Where it is not
// found so, the last piece is lengthened to the end the index gives, within the device, but
// never over another found file's start (walls): that file would be lost inside the photo,
// and the photo is then left with its main image alone.
void AppendIndexedImages(TSearch& search, TOccupied& walls, TPieceReader& reader, std::uint64_t deviceBytes,
                         std::vector<TPiece>& pieces);

// A photo whose main image decodes whole as it lies from device offset start, and whose
// multi-picture index names a preview appended after it: the photo's pieces when the preview
// itself breaks and search (this photo's) finds where it goes on, else nothing. The first
// piece runs from start through the preview's first piece.
std::optional<std::vector<TPiece>> AppendedImageInPieces(TSearch& search, TPieceReader& reader, std::uint64_t deviceBytes,
                                                         std::uint64_t start);

bool IsJpeg(const TFoundFile& f);

// Whether the photo whose extent runs bytes from device offset start decodes whole in one run.
bool DecodesWhole(TPieceReader& reader, std::uint64_t start, std::uint64_t bytes, std::uint64_t& decoded);

} // namespace lumivore::detail
