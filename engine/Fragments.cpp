#include "engine/Fragments.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "device/DskLib.h"
#include "engine/FileTypes.h"
#include "engine/ScanEngine.h"
#include "formats/LengthPolicy.h"
#include "formats/Mpf.h"

namespace lumivore {

namespace {

constexpr std::uint64_t kSector = kSectorSize;
// Lines a reader of the pass takes in one request where it decodes through the device in order
// (TPieceReader::SetReadAhead): 128 KiB.
constexpr std::size_t kReadAheadLines = 16;

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
TJpegCheck Decode(TJpegEntropyDecoder& d, TJpegSource& source, std::uint64_t limit, std::uint64_t& decoded) {
    const std::uint64_t from = d.Resume();
    const TJpegCheck r = d.Run(source, limit);
    std::uint64_t to = d.Resume();
    if (r == TJpegCheck::Corrupt)
        to = std::max(to, d.FailOffset());
    else if (r == TJpegCheck::Clean)
        to = std::max(to, d.EndOffset());
    decoded += to - std::min(to, from);
    return r;
}

std::uint64_t Total(const std::vector<TPiece>& pieces) {
    std::uint64_t n = 0;
    for (const TPiece& p : pieces)
        n += static_cast<std::uint64_t>(p.Length);
    return n;
}

} // namespace

namespace {

// ---- the search for one photo ------------------------------------------------------------------

class TSearch {
public:
    TSearch(TPieceReader& reader, const TClusterGeometry& g, TOccupied& occupied, std::uint64_t deviceBytes,
            const TFragmentOptions& options, std::uint64_t& decoded)
        : reader_(reader), g_(g), occupied_(occupied), deviceBytes_(deviceBytes), options_(options), decoded_(decoded) {}

    // Pieces of the photo starting at device offset start, or nothing. firstBreak is set to the
    // end of the longest first piece that decodes, for a photo left incomplete.
    std::optional<std::vector<TPiece>> Solve(std::uint64_t start, std::uint64_t& firstBreak) {
        firstBreak_ = 0;
        std::vector<TPiece> pieces{{static_cast<std::int64_t>(start), 0}};
        TJpegEntropyDecoder fresh;
        // The candidates at each break are followed the likeliest first (Extend), to as many
        // pieces as a photo may have: a reading of more pieces is only met where the likeliest
        // continuation of fewer went on the picture no worse.
        maxPieces_ = options_.MaxPieces;
        std::optional<std::vector<TPiece>> found = Extend(fresh, pieces);
        firstBreak = firstBreak_;
        return found;
    }
    std::uint64_t Attempts() const { return attempts_; }

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
    TLook Look(std::uint64_t start, std::uint64_t run) {
        std::vector<TPiece> pieces{{static_cast<std::int64_t>(start), 0}};
        const std::uint64_t wall = OpenEnd(start, 0);
        const bool cutAtWall = wall > start && wall <= start + run && g_.ClusterBytes != 0 && g_.BoundaryAtOrAfter(wall) == wall;
        TOpenRun atWall;
        TOpenRun whole = DecodeOpen(TJpegEntropyDecoder{}, pieces, 0, start, start + run, cutAtWall ? &atWall : nullptr, wall);
        TLook look;
        look.Result = whole.Result;
        const TJpegCheck r = whole.Result;
        if ((r == TJpegCheck::Corrupt || r == TJpegCheck::NeedMore) && whole.FailDevice < wall &&
            g_.BoundaryAtOrAfter(whole.FailDevice) <= wall)
            look.Kept = std::move(whole);
        else if (r != TJpegCheck::Clean && r != TJpegCheck::Unsupported && atWall.FailDevice == wall)
            look.Kept = std::move(atWall);
        return look;
    }
    // Takes the look at the photo at start, made by this search or by another over the same
    // walls, for the search's first step; its result.
    TJpegCheck Keep(std::uint64_t start, TLook look) {
        if (look.Kept)
            runs_.emplace(RunKey({{static_cast<std::int64_t>(start), 0}}), std::move(*look.Kept));
        return look.Result;
    }
    TJpegCheck AsItLies(std::uint64_t start, std::uint64_t run) { return Keep(start, Look(start, run)); }

private:
    // How far an open piece that starts at offset may run: to the next file start, the device's
    // end, or where the whole photo would pass the length limit.
    std::uint64_t OpenEnd(std::uint64_t offset, std::uint64_t before) {
        const std::uint64_t cap = before >= static_cast<std::uint64_t>(kFileLengthLimit)
                                      ? offset
                                      : offset + (static_cast<std::uint64_t>(kFileLengthLimit) - before);
        return occupied_.NextWall(offset, std::min(deviceBytes_, cap));
    }

    // A run of one value where coded data must stand: zeroed or erased clusters decode as
    // endless runs of small values and would pass for data for a long while.
    bool ConstantStart(std::uint64_t offset) {
        std::uint8_t s[kSector];
        reader_.SetPieces({{static_cast<std::int64_t>(offset), static_cast<std::int64_t>(kSector)}});
        if (!reader_.ReadAt(0, s, kSector))
            return true;
        return std::all_of(s, s + kSector, [&](std::uint8_t b) { return b == s[0]; });
    }

    // Candidate starts of the next piece after a break at device offset e, cheapest first:
    // past each found file that follows, then each free cluster in the gap.
    std::vector<std::uint64_t> Candidates(std::uint64_t e) {
        std::vector<std::uint64_t> out;
        const std::uint64_t c = g_.ClusterBytes;
        std::uint64_t at = e;
        for (std::uint32_t n = 0; n < options_.MaxSteppedFiles; ++n) {
            const std::uint64_t end = occupied_.Holder(at);
            const std::uint64_t next = end != 0 ? end : occupied_.FirstExtentIn(at, at + c);
            if (next == at + c)
                break;
            const std::uint64_t extentEnd = end != 0 ? end : occupied_.Holder(next);
            if (extentEnd == 0)
                break;
            at = g_.BoundaryAtOrAfter(extentEnd);
            if (at >= deviceBytes_)
                break;
            if (occupied_.Holder(at) == 0)
                out.push_back(at);
        }
        const std::size_t stepped = out.size();
        const std::uint64_t reach = std::max<std::uint64_t>(options_.MaxGapClusters, options_.MinGapBytes / c);
        for (std::uint64_t k = 1; k <= reach; ++k) {
            const std::uint64_t cand = e + k * c;
            if (cand >= deviceBytes_)
                break;
            if (occupied_.Holder(cand) != 0 || occupied_.NextWall(cand - 1, cand + 1) == cand)
                continue;
            if (std::find(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(stepped), cand) ==
                out.begin() + static_cast<std::ptrdiff_t>(stepped))
                out.push_back(cand);
        }
        return out;
    }

    // Whether a candidate cluster that decodes from the state at the break (after) holds coded
    // data of another place: another picture, or this one's from elsewhere. Such data decodes as
    // well as the true continuation, often for megabytes, as the codes of one camera resume
    // their step after a few bits; what gives it away at once is the picture itself. A true
    // continuation keeps the blocks as alike those above them as the picture was so far, while
    // blocks from elsewhere line up with the row above by chance: their DC values differ from
    // those above several times as much. Judged only where both sides hold enough pairs; a
    // generous margin keeps every true continuation seen on cards (within 1.2 times the
    // picture's own) far from the threshold (foreign data ran at 5 times and more).
    static bool Foreign(const TJpegEntropyDecoder& atBreak, const TJpegEntropyDecoder& after) {
        constexpr std::uint64_t kPicturePairs = 256, kCandidatePairs = 64;
        const std::uint64_t basePairs = atBreak.VerticalPairs();
        const std::uint64_t pairs = after.VerticalPairs() - basePairs;
        if (basePairs < kPicturePairs || pairs < kCandidatePairs)
            return false;
        const std::uint64_t baseSum = atBreak.VerticalDifferenceSum();
        const double mean = static_cast<double>(after.VerticalDifferenceSum() - baseSum) / static_cast<double>(pairs);
        const double baseMean = static_cast<double>(baseSum) / static_cast<double>(basePairs);
        return mean > 3 * baseMean + 4;
    }

    // How unlike the blocks above them the blocks a candidate decoded are, against the
    // picture's own: near 1 for a true continuation; 1 where nothing can be said.
    static double Unlikeness(const TJpegEntropyDecoder& atBreak, const TJpegEntropyDecoder& after) {
        const std::uint64_t basePairs = atBreak.VerticalPairs();
        const std::uint64_t pairs = after.VerticalPairs() - basePairs;
        if (basePairs == 0 || pairs == 0 || atBreak.VerticalDifferenceSum() == 0)
            return 1.0;
        const double mean = static_cast<double>(after.VerticalDifferenceSum() - atBreak.VerticalDifferenceSum()) /
                            static_cast<double>(pairs);
        return mean / (static_cast<double>(atBreak.VerticalDifferenceSum()) / static_cast<double>(basePairs));
    }

    // Whether a candidate plainly goes on the picture: enough blocks on both sides to judge, and
    // its blocks as alike those above them as the picture's own (true continuations on cards
    // stay within 1.2 times, data from elsewhere runs at 5 times and more).
    static bool Continues(const TJpegEntropyDecoder& atBreak, const TJpegEntropyDecoder& after, double unlike) {
        constexpr std::uint64_t kPicturePairs = 256, kCandidatePairs = 64;
        return atBreak.VerticalPairs() >= kPicturePairs &&
               after.VerticalPairs() - atBreak.VerticalPairs() >= kCandidatePairs && unlike <= 1.5;
    }

    // A cluster too small to hold enough blocks to judge a candidate by (small clusters, dense
    // pictures): the decode after it (t, over trial) goes on over the clusters that follow, up
    // to 8 in all, until enough blocks are decoded, so that data from elsewhere is told apart
    // before it is followed. Where the data stops decoding first (a short true piece may end
    // there), t stays as it was after the first cluster.
    void Judgeable(const TJpegEntropyDecoder& atBreak, TJpegEntropyDecoder& t, std::vector<TPiece> trial,
                   std::uint64_t openEnd) {
        constexpr std::uint64_t kCandidatePairs = 64, kMaxClusters = 8;
        TJpegEntropyDecoder longer = t;
        for (std::uint64_t k = 2; k <= kMaxClusters; ++k) {
            if (longer.VerticalPairs() - atBreak.VerticalPairs() >= kCandidatePairs) {
                t = longer;
                return;
            }
            const std::uint64_t cand = static_cast<std::uint64_t>(trial.back().Offset);
            const std::uint64_t limit = std::min(openEnd, cand + k * g_.ClusterBytes);
            if (limit <= cand + static_cast<std::uint64_t>(trial.back().Length))
                return;
            trial.back().Length = static_cast<std::int64_t>(limit - cand);
            if (RunOver(longer, trial) != TJpegCheck::NeedMore)
                return;
        }
        if (longer.VerticalPairs() - atBreak.VerticalPairs() >= kCandidatePairs)
            t = longer;
    }

    TJpegCheck RunOver(TJpegEntropyDecoder& d, const std::vector<TPiece>& pieces) {
        reader_.SetPieces(pieces);
        TPieceSource source(reader_);
        return Decode(d, source, Total(pieces), decoded_);
    }


    // The closed pieces and the open one's start decide the open piece's decode (its length is
    // still 0 when it is looked up).
    static std::uint64_t RunKey(const std::vector<TPiece>& pieces) {
        std::uint64_t key = 0xCBF29CE484222325ull;
        for (const TPiece& p : pieces)
            key = (key ^ static_cast<std::uint64_t>(p.Offset) ^ (static_cast<std::uint64_t>(p.Length) << 1)) * 0x100000001B3ull;
        return key;
    }

    // Decodes the open piece as far as it goes, a cluster at a time, keeping the decoder's
    // state at the last few cluster boundaries it passed: the break candidates lie among them.
    // When the decode passes the cluster boundary cut, atCut is given what a decode of the
    // piece ending there would have told (its FailDevice is cut only then).
    TOpenRun DecodeOpen(const TJpegEntropyDecoder& atStart, std::vector<TPiece> pieces, std::uint64_t before,
                        std::uint64_t openStart, std::uint64_t openEnd, TOpenRun* atCut = nullptr,
                        std::uint64_t cut = 0) {
        TOpenRun run;
        TJpegEntropyDecoder d = atStart;
        pieces.back().Length = static_cast<std::int64_t>(openEnd - openStart);
        reader_.SetPieces(pieces);
        TPieceSource source(reader_);
        const std::size_t keep = std::size_t{options_.BackoffClusters} + 2;
        std::uint64_t stop = g_.ClusterBytes != 0 ? std::min(g_.BoundaryAtOrAfter(openStart + 1), openEnd) : openEnd;
        for (;;) {
            run.Result = Decode(d, source, before + (stop - openStart), decoded_);
            if (run.Result != TJpegCheck::NeedMore)
                break;
            if (run.Passed.size() == keep + 1)
                run.Passed.erase(run.Passed.begin());
            run.Passed.emplace_back(stop, d);
            if (atCut != nullptr && stop == cut) {
                *atCut = run;
                atCut->EndOffset = d.EndOffset();
                atCut->FailDevice = cut;
            }
            if (stop == openEnd)
                break;
            stop = std::min(stop + g_.ClusterBytes, openEnd);
        }
        if (run.Result == TJpegCheck::Clean)
            run.Passed.clear();
        if (doubtful_ > 0)
            doubtfulBytes_ += d.Resume() - std::min(d.Resume(), before);
        run.EndOffset = d.EndOffset();
        run.FailDevice = openEnd;
        if (run.Result == TJpegCheck::Corrupt) {
            const std::uint64_t fail = std::max(d.FailOffset(), before);
            run.FailDevice = openStart + std::min(fail - before, openEnd - openStart);
        }
        return run;
    }

    // The decoder's state at each break candidate of a run, decoding on from the piece's start
    // to one after the other: once, when the search first needs them.
    void TakeSnapshots(TOpenRun& run, const TJpegEntropyDecoder& atStart, std::vector<TPiece> pieces,
                       std::uint64_t openStart, std::uint64_t openEnd) {
        if (run.Snapshotted)
            return;
        run.Snapshotted = true;
        // Break candidates: the cluster boundary at or before the failure, a few before it, and
        // the start of a found file before the failure.
        std::vector<std::uint64_t> ends;
        const std::uint64_t after = g_.BoundaryAtOrAfter(run.FailDevice);
        if (after > openStart && after <= openEnd)
            ends.push_back(after);
        const std::uint64_t e0 = g_.BoundaryAtOrBefore(run.FailDevice);
        for (std::uint64_t k = 0; k <= options_.BackoffClusters; ++k) {
            if (e0 < k * g_.ClusterBytes)
                break;
            const std::uint64_t e = e0 - k * g_.ClusterBytes;
            if (e <= openStart)
                break;
            ends.push_back(e);
        }
        const std::uint64_t wall = occupied_.NextWall(openStart, run.FailDevice + 1);
        if (wall <= run.FailDevice && wall > openStart)
            ends.push_back(wall);
        std::sort(ends.begin(), ends.end());
        ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
        // Those the decode passed are at hand; a run to an end past where it stopped fails as
        // it did. Only an end it did not keep is decoded again, from the piece's start.
        const bool kept = std::all_of(ends.begin(), ends.end(), [&](std::uint64_t e) {
            return (e > run.FailDevice && run.Result != TJpegCheck::NeedMore) ||
                   std::any_of(run.Passed.begin(), run.Passed.end(), [e](const auto& p) { return p.first == e; });
        });
        if (kept) {
            for (std::uint64_t e : ends) {
                const auto at = std::find_if(run.Passed.begin(), run.Passed.end(), [e](const auto& p) { return p.first == e; });
                if (at == run.Passed.end())
                    break;
                run.Snapshots.push_back(*at);
            }
            run.Passed.clear();
            return;
        }
        run.Passed.clear();
        TJpegEntropyDecoder s = atStart;
        for (std::uint64_t e : ends) {
            pieces.back().Length = static_cast<std::int64_t>(e - openStart);
            if (RunOver(s, pieces) != TJpegCheck::NeedMore)
                break;
            run.Snapshots.emplace_back(e, s);
        }
    }

    // pieces: the closed pieces and an open last one (its start set). atStart has decoded the
    // closed pieces and stands where the open piece's bytes are needed.
    std::optional<std::vector<TPiece>> Extend(const TJpegEntropyDecoder& atStart, std::vector<TPiece> pieces) {
        const std::size_t depth = pieces.size();
        const std::uint64_t before = Total(pieces) - static_cast<std::uint64_t>(pieces.back().Length);
        const std::uint64_t openStart = static_cast<std::uint64_t>(pieces.back().Offset);
        const std::uint64_t openEnd = OpenEnd(openStart, before);
        if (openEnd <= openStart)
            return std::nullopt;
        const std::uint64_t key = RunKey(pieces);
        TOpenRun uncached;
        TOpenRun* found = nullptr;
        if (const auto cached = runs_.find(key); cached != runs_.end()) {
            found = &cached->second;
        } else if (runs_.size() < kCachedRuns) {
            // A bounded cache (its entries stay where they are while deeper calls add more): the
            // search comes back to the first pieces most, once for each number of pieces.
            found = &runs_.emplace(key, DecodeOpen(atStart, pieces, before, openStart, openEnd)).first->second;
        } else {
            uncached = DecodeOpen(atStart, pieces, before, openStart, openEnd);
            found = &uncached;
        }
        TOpenRun& run = *found;
        if (run.Result == TJpegCheck::Clean) {
            pieces.back().Length = static_cast<std::int64_t>(run.EndOffset - before);
            return pieces;
        }
        if (run.Result == TJpegCheck::Unsupported || depth >= maxPieces_ || attempts_ >= options_.MaxAttemptsPerFile)
            return std::nullopt;
        TakeSnapshots(run, atStart, pieces, openStart, openEnd);
        const std::vector<std::pair<std::uint64_t, TJpegEntropyDecoder>>& snapshots = run.Snapshots;
        if (depth == 1 && !snapshots.empty())
            firstBreak_ = snapshots.back().first;

        // The latest end that decodes is the likeliest break; earlier ones after it.
        for (auto it = snapshots.rbegin(); it != snapshots.rend(); ++it) {
            const std::uint64_t e = it->first;
            std::vector<TPiece> trial = pieces;
            trial.back().Length = static_cast<std::int64_t>(e - openStart);
            const std::uint64_t logicalEnd = Total(trial);
            std::uint64_t prefix = 0xCBF29CE484222325ull;
            for (const TPiece& p : trial)
                prefix = (prefix ^ static_cast<std::uint64_t>(p.Offset) ^ (static_cast<std::uint64_t>(p.Length) << 1)) * 0x100000001B3ull;
            // Every candidate is tried over one cluster first; those that decode and go on the
            // picture are followed as the next piece, the one that goes on it best first: on a
            // used card other photos by the same camera decode from the break too, but the true
            // continuation keeps the picture's blocks most alike those above them.
            std::vector<std::pair<double, std::uint64_t>> followed; // by how unlike, and candidate
            for (std::uint64_t cand : Candidates(e)) {
                if (attempts_ >= options_.MaxAttemptsPerFile)
                    break;
                // A candidate that failed after the same pieces fails again: a deeper search
                // does not pay for it twice; one that went on keeps its measure.
                const std::uint64_t key = (prefix ^ cand) * 0x9E3779B97F4A7C15ull;
                if (rejected_.count(key) != 0)
                    continue;
                if (const auto known = alike_.find(key); known != alike_.end()) {
                    followed.emplace_back(known->second, cand);
                    continue;
                }
                if (ConstantStart(cand)) {
                    rejected_.insert(key);
                    continue;
                }
                ++attempts_;
                const std::uint64_t limit = std::min(OpenEnd(cand, logicalEnd), cand + g_.ClusterBytes);
                if (limit <= cand)
                    continue;
                trial.push_back({static_cast<std::int64_t>(cand), static_cast<std::int64_t>(limit - cand)});
                TJpegEntropyDecoder t = it->second;
                const TJpegCheck tr = RunOver(t, trial);
                if (tr == TJpegCheck::Clean) {
                    trial.back().Length = static_cast<std::int64_t>(t.EndOffset() - logicalEnd);
                    return trial;
                }
                if (tr == TJpegCheck::NeedMore && t.Resume() >= logicalEnd)
                    Judgeable(it->second, t, trial, OpenEnd(cand, logicalEnd));
                trial.pop_back();
                if (tr == TJpegCheck::NeedMore && t.Resume() >= logicalEnd && !Foreign(it->second, t)) {
                    const double unlike = Unlikeness(it->second, t);
                    alike_.emplace(key, unlike);
                    if (Continues(it->second, t, unlike)) {
                        // Plainly the picture going on: followed at once, so that a photo whose
                        // rest lies near the break costs no look at every cluster further on.
                        trial.push_back({static_cast<std::int64_t>(cand), 0});
                        if (auto found = Extend(it->second, trial))
                            return found;
                        trial.pop_back();
                        continue; // not followed again below
                    }
                    followed.emplace_back(unlike, cand);
                } else {
                    rejected_.insert(key);
                }
            }
            std::stable_sort(followed.begin(), followed.end(),
                             [](const auto& x, const auto& y) { return x.first < y.first; });
            // Those that did not plainly go on the picture are followed within a budget of
            // decoding per photo: where its rest was overwritten, every one of them may be
            // another picture's data that decodes for megabytes.
            for (const auto& [unlike, cand] : followed) {
                if (doubtfulBytes_ >= options_.MaxDoubtfulBytes)
                    break;
                trial.push_back({static_cast<std::int64_t>(cand), 0});
                ++doubtful_;
                auto found = Extend(it->second, trial);
                --doubtful_;
                if (found)
                    return found;
                trial.pop_back();
            }
            if (attempts_ >= options_.MaxAttemptsPerFile)
                return std::nullopt;
        }
        return std::nullopt;
    }

    TPieceReader& reader_;
    const TClusterGeometry& g_;
    TOccupied& occupied_;
    std::uint64_t deviceBytes_;
    const TFragmentOptions& options_;
    std::uint64_t& decoded_;
    std::uint64_t attempts_ = 0;
    std::uint64_t firstBreak_ = 0;
    std::uint32_t maxPieces_ = 2;
    // Bytes decoded while following candidates that did not plainly go on the picture, and
    // how deep the search is among such.
    std::uint64_t doubtfulBytes_ = 0;
    std::uint32_t doubtful_ = 0;
    std::unordered_set<std::uint64_t> rejected_;
    std::unordered_map<std::uint64_t, double> alike_; // candidates that went on the picture
    static constexpr std::size_t kCachedRuns = 64;
    std::unordered_map<std::uint64_t, TOpenRun> runs_;
};

// A photo put back together ends where its main image's coded data ends; the images its
// multi-picture index names (previews the camera appended) follow that end in its last piece,
// as the camera wrote them. The last piece is lengthened to the end the index gives when a
// picture starts right after the main image and that end lies within the device.
void AppendIndexedImages(TPieceReader& reader, std::uint64_t deviceBytes, std::vector<TPiece>& pieces) {
    constexpr std::size_t kHeaderBytes = 128u << 10;
    reader.SetPieces(pieces);
    const std::uint64_t total = reader.Size();
    std::vector<std::uint8_t> header(static_cast<std::size_t>(std::min<std::uint64_t>(total, kHeaderBytes)));
    if (header.empty() || !reader.ReadAt(0, header.data(), header.size()))
        return;
    const std::int64_t extent = MpfExtent(header);
    if (extent <= 0 || static_cast<std::uint64_t>(extent) <= total)
        return;
    TPiece& last = pieces.back();
    const std::uint64_t lastEnd = static_cast<std::uint64_t>(last.Offset + last.Length);
    const std::uint64_t extra = static_cast<std::uint64_t>(extent) - total;
    if (lastEnd > deviceBytes || extra > deviceBytes - lastEnd)
        return;
    std::vector<TPiece> longer = pieces;
    longer.back().Length += static_cast<std::int64_t>(extra);
    reader.SetPieces(longer);
    std::uint8_t soi[3] = {};
    if (!reader.ReadAt(total, soi, sizeof soi) || soi[0] != 0xFF || soi[1] != 0xD8 || soi[2] != 0xFF)
        return;
    pieces = std::move(longer);
}

bool IsJpeg(const TFoundFile& f) { return f.Type() == TFileType::Jpeg && f.StartSector >= 0; }

// Whether the photo whose extent runs bytes from device offset start decodes whole in one run.
bool DecodesWhole(TPieceReader& reader, std::uint64_t start, std::uint64_t bytes, std::uint64_t& decoded) {
    TJpegEntropyDecoder d;
    reader.SetPieces({{static_cast<std::int64_t>(start), static_cast<std::int64_t>(bytes)}});
    TPieceSource source(reader);
    const TJpegCheck r = Decode(d, source, bytes, decoded);
    return r == TJpegCheck::Clean || r == TJpegCheck::Unsupported;
}

// ---- work done ahead, on a second core ----------------------------------------------------------

// Much of the pass is decoding that depends on nothing the searches learn: the look at each
// suspect photo as it lies (to where its data stops), and the check of each found photo whose
// extent a search relies on (a search trusts it only once the photo decodes whole; on a used
// card those checks are half of what the pass decodes). The photos a search may ask about lie
// after its suspect, within its length and the gap a search looks across. A worker does this
// work ahead, with a reader of its own, in the order the searches will ask for it: each
// suspect's look, then the checks after it. What a search asks for before the worker began it,
// the search does itself, and the worker passes it by; the answers are the same either way, as
// each is the decode of the same bytes.
class TWorkAhead {
public:
    struct TJob {
        std::size_t File = 0;  // index into the found files
        bool Look = false;     // a suspect's look, else a check of its extent
        std::uint64_t Start = 0; // device offset
        std::uint64_t Bytes = 0; // the run looked at, or the extent checked
    };
    TWorkAhead(TDrive& drive, const TClusterGeometry& geometry, TOccupied walls, std::uint64_t deviceBytes,
               const TFragmentOptions& options, std::vector<TJob> jobs)
        : reader_(drive, {}, kReadAheadLines), geometry_(geometry), walls_(std::move(walls)), deviceBytes_(deviceBytes),
          options_(options), jobs_(std::move(jobs)), states_(jobs_.size(), TState::Waiting), looks_(jobs_.size()) {
        reader_.SetHeld(options.HeldSectors);
        reader_.SetReadAhead(kReadAheadLines);
        for (std::size_t k = 0; k < jobs_.size(); ++k)
            (jobs_[k].Look ? lookJob_ : checkJob_).emplace(jobs_[k].File, k);
        worker_ = std::thread([this] { Work(); });
    }
    ~TWorkAhead() { Finish(); }
    TWorkAhead(const TWorkAhead&) = delete;
    TWorkAhead& operator=(const TWorkAhead&) = delete;

    // The check of file's extent: 1 decodes whole, 2 does not, 0 when the worker was not to
    // check it or had not begun (it will not now). While the worker is checking it, the caller
    // does the next jobs the worker has not begun, with its own reader, counting what it
    // decodes in decoded: their answers are kept for when they are asked for.
    int TakeCheck(std::size_t file, TPieceReader& reader, std::uint64_t& decoded) {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::size_t k = Claim(lock, checkJob_, file, reader, decoded);
        return k == kNone ? 0 : states_[k] == TState::Whole ? 1 : 2;
    }
    // The look at the suspect file, when the worker made it (or the caller, as above).
    std::optional<TSearch::TLook> TakeLook(std::size_t file, TPieceReader& reader, std::uint64_t& decoded) {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::size_t k = Claim(lock, lookJob_, file, reader, decoded);
        if (k == kNone)
            return std::nullopt;
        ++looksTaken_;
        return std::move(looks_[k]);
    }
    // Stops the worker after the job it is doing.
    void Finish() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        if (worker_.joinable())
            worker_.join();
    }
    // What the worker decoded and read, and the extents checked ahead; read once it has finished.
    std::uint64_t Decoded() const { return decoded_; }
    std::uint64_t BytesRead() const { return reader_.BytesRead(); }
    std::size_t Checked() const { return checked_; }
    std::size_t LooksTaken() const { return looksTaken_; }

private:
    enum class TState : std::uint8_t { Waiting, Taken, Working, Whole, Broken, Looked };
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // The job for file in jobs, once it is done; kNone when there is none or the worker had
    // not begun it, which it then leaves to the caller. While the worker is doing it, the
    // caller takes the next job not begun, if any, rather than wait idle.
    std::size_t Claim(std::unique_lock<std::mutex>& lock, const std::unordered_map<std::size_t, std::size_t>& jobs,
                      std::size_t file, TPieceReader& reader, std::uint64_t& decoded) {
        const auto it = jobs.find(file);
        if (it == jobs.end())
            return kNone;
        const std::size_t k = it->second;
        if (states_[k] == TState::Waiting || states_[k] == TState::Taken) {
            states_[k] = TState::Taken;
            return kNone;
        }
        std::size_t next = k + 1;
        while (states_[k] == TState::Working) {
            while (next < jobs_.size() && states_[next] != TState::Waiting)
                ++next;
            if (next == jobs_.size()) {
                done_.wait(lock, [&] { return states_[k] != TState::Working; });
                break;
            }
            DoLocked(lock, next, reader, decoded);
        }
        return k;
    }

    // Does job k, which is waiting, with the given reader; the lock is let go meanwhile.
    void DoLocked(std::unique_lock<std::mutex>& lock, std::size_t k, TPieceReader& reader, std::uint64_t& decoded) {
        states_[k] = TState::Working;
        lock.unlock();
        const TJob& job = jobs_[k];
        TState state = TState::Looked;
        std::optional<TSearch::TLook> look;
        if (job.Look) {
            TSearch search(reader, geometry_, walls_, deviceBytes_, options_, decoded);
            look = search.Look(job.Start, job.Bytes);
        } else {
            state = DecodesWhole(reader, job.Start, job.Bytes, decoded) ? TState::Whole : TState::Broken;
        }
        lock.lock();
        checked_ += job.Look ? 0 : 1;
        states_[k] = state;
        looks_[k] = std::move(look);
        done_.notify_all();
    }

    void Work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (std::size_t k = 0; k < jobs_.size() && !quit_; ++k)
            if (states_[k] == TState::Waiting)
                DoLocked(lock, k, reader_, decoded_);
    }

    TPieceReader reader_;
    const TClusterGeometry& geometry_;
    TOccupied walls_;
    std::uint64_t deviceBytes_;
    const TFragmentOptions& options_;
    const std::vector<TJob> jobs_;
    std::unordered_map<std::size_t, std::size_t> lookJob_, checkJob_; // file -> job
    std::uint64_t decoded_ = 0; // the worker's own until it has finished
    std::size_t checked_ = 0;   // under the lock
    std::size_t looksTaken_ = 0;
    std::mutex mutex_;
    std::condition_variable done_;
    std::vector<TState> states_;
    std::vector<std::optional<TSearch::TLook>> looks_;
    bool quit_ = false;
    std::thread worker_;
};

} // namespace

// ---- the pass ----------------------------------------------------------------------------------

TFragmentStats ReassembleFragments(TDrive& drive, std::uint64_t deviceBytes, const TClusterGeometry& geometry,
                                   std::vector<TFoundFile>& files, const TFragmentOptions& options,
                                   const std::function<bool(std::size_t, std::size_t)>& progress) {
    TFragmentStats stats;
    // 2 MiB of cache: a photo's data is decoded once (the search keeps the decoder's state at
    // the breaks it may try), so the cache serves the candidates tried again around a break.
    // Where the sectors are held in memory or beside it (recovery during the scan), what the
    // cache lets go of is read back from there, not from the device, and a quarter will do.
    TPieceReader reader(drive, {}, options.HeldSectors ? 64 : 256);
    reader.SetHeld(options.HeldSectors);
    reader.SetReadAhead(kReadAheadLines);

    // Which JPEGs to decode. Those of unknown length, and those whose measured extent holds the
    // start of another found file, are suspect at once; the others are sampled one sector per
    // cluster unless told not to. A photo that decodes whole costs nothing more.
    // Where found files start, each with the file its holder's structure names it part of.
    std::vector<std::pair<std::uint64_t, std::int64_t>> starts;
    for (const TFoundFile& f : files)
        if (f.StartSector >= 0)
            starts.emplace_back(static_cast<std::uint64_t>(f.StartSector) * kSector, f.NestedIn);
    std::sort(starts.begin(), starts.end());
    std::vector<char> suspect(files.size(), 0);
    std::uint64_t sampledBytes = 0;
    // The bytes each photo seems to cover: its measured length, or where the look at its markers
    // found its end marker; 0 when neither is known.
    std::vector<std::uint64_t> extent(files.size(), 0);
    for (std::size_t i = 0; i < files.size(); ++i)
        if (LengthKnown(files[i].Length))
            extent[i] = static_cast<std::uint64_t>(files[i].Length);
    std::vector<char> verdict(files.size(), 0); // 1 decodes whole, 2 does not
    for (std::size_t i = 0; i < files.size(); ++i) {
        const TFoundFile& f = files[i];
        if (!IsJpeg(f) || f.Nested())
            continue;
        // What was judged already over the scan's own data is not read again.
        if (LengthKnown(f.Length) && options.DecodedWhole.count(f.StartSector) != 0) {
            verdict[i] = 1;
            continue;
        }
        // Samples already taken over the scan's own data are not taken again; the extent is
        // still checked against the other files' starts.
        const bool sampledClean = LengthKnown(f.Length) && options.SampledClean.count(f.StartSector) != 0;
        const std::uint64_t start = static_cast<std::uint64_t>(f.StartSector) * kSector;
        std::uint64_t end = 0;
        if (LengthKnown(f.Length)) {
            end = start + static_cast<std::uint64_t>(f.Length);
        } else {
            // Where the scan could not see the end, a look at the markers up to the end marker
            // tells a photo in one run from one whose data runs into something else.
            const std::uint64_t run = std::min<std::uint64_t>(deviceBytes - std::min(deviceBytes, start),
                                                              static_cast<std::uint64_t>(kFileLengthLimit));
            reader.SetPieces({{static_cast<std::int64_t>(start), static_cast<std::int64_t>(run)}});
            TPieceSource source(reader);
            const TMarkerScan look = ScanJpegMarkers(source, run);
            if (look.Result != TJpegCheck::Clean) {
                suspect[i] = 1;
                continue;
            }
            end = start + look.End;
            extent[i] = look.End;
        }
        // The next file that is not part of this one: its own thumbnail or appended preview
        // starting on a sector of its own is no sign of another file's data.
        auto it = std::upper_bound(starts.begin(), starts.end(), std::make_pair(start, INT64_MAX));
        while (it != starts.end() && it->second == f.StartSector)
            ++it;
        const std::uint64_t nextStart = it != starts.end() ? it->first : UINT64_MAX;
        // One sector alone: the sample is meant to cost a sector, not a cache line.
        if (JpegExtentLooksBroken(start, end, nextStart, geometry, options.SampleMeasuredJpegs && !sampledClean,
                                  [&](std::uint64_t at, std::uint8_t* s) {
                                      return (options.HeldSectors && options.HeldSectors(at / kSector, 1, s)) ||
                                             drive.Read(at / kSector, 1, s) == kSector;
                                  },
                                  &sampledBytes))
            suspect[i] = 1;
    }

    // What pieces may not enter: the extents of the files that are not suspect (those inside a
    // suspect photo only seem inside it), and the starts of files. A photo's extent is checked
    // by decoding it the first time a search would rely on it.
    TOccupied occupied;
    std::map<std::int64_t, std::size_t> bySector;
    for (std::size_t i = 0; i < files.size(); ++i)
        bySector.emplace(files[i].StartSector, i);
    auto parentSuspect = [&](const TFoundFile& f) {
        auto it = bySector.find(f.NestedIn);
        return it != bySector.end() && suspect[it->second];
    };
    std::vector<std::size_t> queue;
    for (std::size_t i = 0; i < files.size(); ++i)
        if (suspect[i])
            queue.push_back(i);
    std::unique_ptr<TWorkAhead> ahead;
    occupied.Verify = [&](std::size_t owner) {
        if (owner >= files.size())
            return true;
        if (verdict[owner] == 0) {
            const int answer = ahead ? ahead->TakeCheck(owner, reader, stats.BytesDecoded) : 0;
            const bool whole = answer != 0 ? answer == 1
                                           : DecodesWhole(reader, static_cast<std::uint64_t>(files[owner].StartSector) * kSector,
                                                          extent[owner], stats.BytesDecoded);
            verdict[owner] = whole ? 1 : 2;
            if (verdict[owner] == 2 && !suspect[owner]) {
                suspect[owner] = 1;
                queue.push_back(owner);
            }
        }
        return verdict[owner] == 1;
    };
    for (std::size_t i = 0; i < files.size(); ++i) {
        const TFoundFile& f = files[i];
        if (f.StartSector < 0)
            continue;
        // A record of unknown length that is no JPEG may be a signature that happens to stand in
        // a photo's data; it does not stop a piece. A JPEG's start cannot stand inside another's
        // coded data.
        const std::uint64_t start = static_cast<std::uint64_t>(f.StartSector) * kSector;
        if (IsJpeg(f))
            occupied.AddWall(start);
        if (!suspect[i] && extent[i] > 0 && !TraitsOf(f.Type()).GuessedLength && (!f.Nested() || parentSuspect(f))) {
            occupied.AddWall(start);
            const bool photo = IsJpeg(f);
            occupied.Add(start, start + extent[i], photo ? i : TOccupied::kNoOwner, !photo);
        }
    }

    // The suspects in the order they lie; photos found broken along the way join the end.
    std::sort(queue.begin(), queue.end(), [&](std::size_t a, std::size_t b) { return files[a].StartSector < files[b].StartSector; });

    // Where a second core is free, the looks at the suspects and the checks of the photos whose
    // extents their searches may rely on are made ahead: those that start after a suspect,
    // within its length (or the gap where it is not known) and twice the gap a search looks
    // across, the span its pieces may take. The worker begins with the checks for the first
    // suspect, whose look the pass makes at once itself, and then goes on a suspect at a time:
    // its look, then the checks for it.
    auto runFrom = [&](std::uint64_t start) {
        return std::min<std::uint64_t>(deviceBytes - std::min(deviceBytes, start), static_cast<std::uint64_t>(kFileLengthLimit));
    };
    if (options.CheckAhead && !queue.empty() && std::thread::hardware_concurrency() > 1) {
        const std::uint64_t c = std::max<std::uint64_t>(geometry.ClusterBytes, kSector);
        const std::uint64_t reach = std::max<std::uint64_t>(std::uint64_t{options.MaxGapClusters} * c, options.MinGapBytes);
        std::vector<std::size_t> order(files.size());
        for (std::size_t i = 0; i < files.size(); ++i)
            order[i] = i;
        std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return files[a].StartSector < files[b].StartSector; });
        std::vector<TWorkAhead::TJob> jobs;
        std::size_t next = 0; // the first photo in order not yet given a check
        for (std::size_t q = 0; q < queue.size(); ++q) {
            const std::size_t i = queue[q];
            const std::uint64_t s = static_cast<std::uint64_t>(files[i].StartSector) * kSector;
            const std::uint64_t to = s + (extent[i] > 0 ? extent[i] : reach) + 2 * reach;
            if (q > 0)
                jobs.push_back({i, true, s, runFrom(s)});
            for (; next < order.size(); ++next) {
                const std::size_t o = order[next];
                const TFoundFile& f = files[o];
                const std::uint64_t at = static_cast<std::uint64_t>(f.StartSector) * kSector;
                if (f.StartSector >= 0 && at >= to)
                    break;
                if (f.StartSector < 0 || at <= s || suspect[o] || verdict[o] != 0 || extent[o] == 0 || !IsJpeg(f) ||
                    TraitsOf(f.Type()).GuessedLength || (f.Nested() && !parentSuspect(f)))
                    continue;
                jobs.push_back({o, false, at, extent[o]});
            }
        }
        // Without a thread to be had (a limit on them), the pass does all the work itself.
        try {
            ahead = std::make_unique<TWorkAhead>(drive, geometry, occupied.WallsOnly(), deviceBytes, options, std::move(jobs));
        } catch (const std::system_error&) {
            ahead.reset();
        }
    }
    for (std::size_t q = 0; q < queue.size(); ++q) {
        const std::size_t i = queue[q];
        if (progress && !progress(q, queue.size()))
            break;
        TFoundFile& f = files[i];
        const std::uint64_t start = static_cast<std::uint64_t>(f.StartSector) * kSector;
        ++stats.Checked;
        // First the photo as it lies: one run, as far as the length limit or the device's end.
        TSearch search(reader, geometry, occupied, deviceBytes, options, stats.BytesDecoded);
        std::optional<TSearch::TLook> look = ahead ? ahead->TakeLook(i, reader, stats.BytesDecoded) : std::nullopt;
        const TJpegCheck r = look ? search.Keep(start, std::move(*look)) : search.AsItLies(start, runFrom(start));
        if (r == TJpegCheck::Clean) {
            ++stats.Contiguous;
            continue;
        }
        if (r == TJpegCheck::Unsupported) {
            ++stats.Unsupported;
            continue;
        }
        std::uint64_t firstBreak = 0;
        std::optional<std::vector<TPiece>> found = search.Solve(start, firstBreak);
        stats.Attempts += search.Attempts();
        if (found && found->size() > 1) {
            AppendIndexedImages(reader, deviceBytes, *found);
            f.Pieces = *found;
            f.Incomplete = false;
            f.Length = static_cast<std::int64_t>(Total(*found));
            // The picture, now whole, is its own thumbnail, as the scan takes a measured one.
            f.ThumbKind = kThumbJpeg;
            f.ThumbOffset = 0;
            f.ThumbLength = static_cast<std::uint32_t>(f.Length);
            ++stats.Reassembled;
            ++stats.ByPieces[std::min<std::size_t>(found->size(), stats.ByPieces.size() - 1)];
            // Its clusters are taken: later photos may not use them.
            for (const TPiece& p : *found) {
                const std::uint64_t ps = static_cast<std::uint64_t>(p.Offset);
                occupied.Add(ps, geometry.BoundaryAtOrAfter(ps + static_cast<std::uint64_t>(p.Length)));
            }
        } else if (found) {
            // One piece after all (the run stopped at a file start, yet decodes to its end).
            f.Pieces.clear();
            ++stats.Contiguous;
        } else {
            f.Incomplete = true;
            const std::uint64_t end = firstBreak > start ? firstBreak : geometry.BoundaryAtOrAfter(start + 1);
            f.Pieces = {{static_cast<std::int64_t>(start), static_cast<std::int64_t>(end - start)}};
            ++stats.Incomplete;
        }
    }

    // Records inside a reassembled photo's clusters are parts of it; records the scan took to be
    // inside a photo that breaks before them are files of their own.
    for (TFoundFile& owner : files) {
        if (owner.Pieces.empty())
            continue;
        for (TFoundFile& f : files) {
            if (&f == &owner || f.StartSector < 0)
                continue;
            const std::uint64_t at = static_cast<std::uint64_t>(f.StartSector) * kSector;
            bool inside = false;
            for (const TPiece& p : owner.Pieces) {
                const std::uint64_t ps = static_cast<std::uint64_t>(p.Offset);
                const std::uint64_t pe = owner.Reassembled() ? geometry.BoundaryAtOrAfter(ps + static_cast<std::uint64_t>(p.Length))
                                                             : ps + static_cast<std::uint64_t>(p.Length);
                inside = inside || (at > static_cast<std::uint64_t>(owner.StartSector) * kSector && at >= ps && at < pe);
            }
            if (owner.Reassembled() && inside && f.NestedIn != owner.StartSector) {
                f.NestedIn = owner.StartSector;
                ++stats.Claimed;
            } else if (!inside && f.NestedIn == owner.StartSector) {
                f.NestedIn = -1;
                ++stats.Released;
            }
        }
    }
    if (ahead) {
        ahead->Finish();
        stats.BytesDecoded += ahead->Decoded();
        stats.BytesRead += ahead->BytesRead();
        stats.CheckedAhead = ahead->Checked();
        stats.LookedAhead = ahead->LooksTaken();
    }
    stats.BytesRead += reader.BytesRead() + sampledBytes;
    return stats;
}

TFragmentStats ReassembleFragments(TScanEngine& engine, const TFragmentOptions& options, TCounterLabel* reassembledLabel) {
    // Without a photo there is nothing to look at, nor a reason to read the boot sector.
    if (std::none_of(engine.FoundFiles.begin(), engine.FoundFiles.end(),
                     [](const TFoundFile& f) { return IsJpeg(f) && !f.Nested(); }))
        return {};
    const std::int64_t sectors = engine.Drive.Info.TotalSectors;
    const std::uint64_t deviceBytes = sectors > 0 ? static_cast<std::uint64_t>(sectors) * kSector : 0;
    const TClusterGeometry geometry = FindClusterGeometry(engine.Drive, engine.FoundFiles);
    auto progress = [&](std::size_t done, std::size_t total) {
        if (engine.MessagePump)
            engine.MessagePump->ProcessMessages();
        if (engine.ProgressBar && total > 0)
            engine.ProgressBar->SetPosition(static_cast<int>(done * 100 / total));
        return !engine.StopRequested;
    };
    TFragmentStats stats = ReassembleFragments(engine.Drive, deviceBytes, geometry, engine.FoundFiles, options, progress);
    if (reassembledLabel)
        reassembledLabel->SetCount(static_cast<std::int64_t>(stats.Reassembled));
    return stats;
}

} // namespace lumivore
