// The search for one photo's pieces (engine/FragmentSearch.h).
#include "engine/FragmentSearch.h"

#include <algorithm>

#include "engine/FileTypes.h"
#include "formats/LengthPolicy.h"
#include "formats/Mpf.h"

namespace lumivore::detail {

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

std::optional<std::vector<TPiece>> TSearch::Solve(std::uint64_t start, std::uint64_t& firstBreak) {
    firstBreak_ = 0;
    far_ = false;
    plainRuns_.clear();
    std::vector<TPiece> pieces{{static_cast<std::int64_t>(start), 0}};
    TJpegEntropyDecoder fresh;
    // The candidates at each break are followed the likeliest first (Extend), to as many
    // pieces as a photo may have: a reading of more pieces is only met where the likeliest
    // continuation of fewer went on the picture no worse.
    maxPieces_ = options_.MaxPieces;
    std::optional<std::vector<TPiece>> found = Extend(fresh, pieces);
    // Then once more, going past the gaps where the search near every break fails: what the
    // first round decoded and rejected is known, and not paid for again.
    // It has attempts of its own: the first round may have spent its own on candidates that
    // decoded a while (the clusters of the true rest after its first one among them).
    if (!found && options_.SearchFar && g_.ClusterBytes != 0) {
        far_ = true;
        spent_ += attempts_;
        attempts_ = 0;
        found = Extend(fresh, pieces);
    }
    firstBreak = firstBreak_;
    return found;
}

TSearch::TLook TSearch::Look(std::uint64_t start, std::uint64_t run) {
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

TJpegCheck TSearch::Keep(std::uint64_t start, TLook look) {
    if (look.Kept)
        runs_.emplace(RunKey({{static_cast<std::int64_t>(start), 0}}), std::move(*look.Kept));
    return look.Result;
}

std::uint64_t TSearch::OpenEnd(std::uint64_t offset, std::uint64_t before) {
    const std::uint64_t cap = before >= static_cast<std::uint64_t>(kFileLengthLimit)
                                  ? offset
                                  : offset + (static_cast<std::uint64_t>(kFileLengthLimit) - before);
    return occupied_.NextWall(offset, std::min(deviceBytes_, cap));
}

bool TSearch::ReadSector(std::uint64_t offset, std::uint8_t* s) {
    reader_.SetPieces({{static_cast<std::int64_t>(offset), static_cast<std::int64_t>(kSector)}});
    return reader_.ReadAt(0, s, kSector);
}

bool TSearch::OneValue(const std::uint8_t* s) {
    return std::all_of(s, s + kSector, [&](std::uint8_t b) { return b == s[0]; });
}

bool TSearch::ConstantStart(std::uint64_t offset) {
    std::uint8_t s[kSector];
    return !ReadSector(offset, s) || OneValue(s);
}

std::vector<std::uint64_t> TSearch::Candidates(std::uint64_t e) {
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

bool TSearch::Foreign(const TJpegEntropyDecoder& atBreak, const TJpegEntropyDecoder& after) {
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

double TSearch::Unlikeness(const TJpegEntropyDecoder& atBreak, const TJpegEntropyDecoder& after) {
    const std::uint64_t basePairs = atBreak.VerticalPairs();
    const std::uint64_t pairs = after.VerticalPairs() - basePairs;
    if (basePairs == 0 || pairs == 0 || atBreak.VerticalDifferenceSum() == 0)
        return 1.0;
    const double mean = static_cast<double>(after.VerticalDifferenceSum() - atBreak.VerticalDifferenceSum()) /
                        static_cast<double>(pairs);
    return mean / (static_cast<double>(atBreak.VerticalDifferenceSum()) / static_cast<double>(basePairs));
}

bool TSearch::Continues(const TJpegEntropyDecoder& atBreak, const TJpegEntropyDecoder& after, double unlike) {
    constexpr std::uint64_t kPicturePairs = 256, kCandidatePairs = 64;
    return atBreak.VerticalPairs() >= kPicturePairs &&
           after.VerticalPairs() - atBreak.VerticalPairs() >= kCandidatePairs && unlike <= 1.5;
}

void TSearch::Judgeable(const TJpegEntropyDecoder& atBreak, TJpegEntropyDecoder& t, std::vector<TPiece> trial,
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

TJpegCheck TSearch::RunOver(TJpegEntropyDecoder& d, const std::vector<TPiece>& pieces) {
    reader_.SetPieces(pieces);
    TPieceSource source(reader_);
    return Decode(d, source, Total(pieces), decoded_);
}

std::uint64_t TSearch::RunKey(const std::vector<TPiece>& pieces) {
    std::uint64_t key = 0xCBF29CE484222325ull;
    for (const TPiece& p : pieces)
        key = (key ^ static_cast<std::uint64_t>(p.Offset) ^ (static_cast<std::uint64_t>(p.Length) << 1)) * 0x100000001B3ull;
    return key;
}

TSearch::TOpenRun TSearch::DecodeOpen(const TJpegEntropyDecoder& atStart, std::vector<TPiece> pieces, std::uint64_t before,
                    std::uint64_t openStart, std::uint64_t openEnd, TOpenRun* atCut,
                    std::uint64_t cut) {
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

void TSearch::TakeSnapshots(TOpenRun& run, const TJpegEntropyDecoder& atStart, std::vector<TPiece> pieces,
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

std::optional<std::vector<TPiece>> TSearch::Extend(const TJpegEntropyDecoder& atStart, std::vector<TPiece> pieces,
                                                   std::pair<std::uint64_t, std::uint64_t>* ran) {
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
    } else if (DoubtSpent()) {
        return std::nullopt;
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
    if (ran != nullptr && !snapshots.empty() && snapshots.front().first >= openStart + g_.ClusterBytes)
        *ran = {openStart, snapshots.front().first};

    // The latest end that decodes is the likeliest break; earlier ones after it.
    for (auto it = snapshots.rbegin(); it != snapshots.rend(); ++it) {
        const std::uint64_t e = it->first;
        std::vector<TPiece> trial = pieces;
        trial.back().Length = static_cast<std::int64_t>(e - openStart);
        const std::uint64_t logicalEnd = Total(trial);
        if (SegmentOutrunsCluster(it->second, logicalEnd))
            continue;
        const std::uint64_t prefix = RunKey(trial);
        // Every candidate is tried over one cluster first; those that decode and go on the
        // picture are followed as the next piece, the one that goes on it best first: on a
        // used card other photos by the same camera decode from the break too, but the true
        // continuation keeps the picture's blocks most alike those above them.
        std::vector<std::pair<double, std::uint64_t>> followed; // by how unlike, and candidate
        for (std::uint64_t cand : Candidates(e)) {
            if (attempts_ >= options_.MaxAttemptsPerFile || DoubtSpent())
                break;
            if (SkipInFirstRound(cand))
                continue;
            // A candidate that failed after the same pieces fails again: a deeper search
            // does not pay for it twice; one that went on keeps its measure.
            const std::uint64_t key = CandidateKey(prefix, cand);
            if (rejected_.count(key) != 0)
                continue;
            if (const auto known = alike_.find(key); known != alike_.end()) {
                // The second round goes down the plain ones again, to look past the gaps
                // after them.
                if (far_ && known->second.Plain) {
                    trial.push_back({static_cast<std::int64_t>(cand), 0});
                    if (auto found = Extend(it->second, trial))
                        return found;
                    trial.pop_back();
                    continue;
                }
                followed.emplace_back(known->second.Unlike, cand);
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
                const bool plain = Continues(it->second, t, unlike);
                alike_.emplace(key, TAlike{unlike, plain});
                if (plain) {
                    // Plainly the picture going on: followed at once, so that a photo whose
                    // rest lies near the break costs no look at every cluster further on.
                    trial.push_back({static_cast<std::int64_t>(cand), 0});
                    std::pair<std::uint64_t, std::uint64_t> run{};
                    if (auto found = Extend(it->second, trial, &run))
                        return found;
                    if (run.second > run.first)
                        NotePlainRun(run.first, run.second);
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
            if (SkipInFirstRound(cand))
                continue;
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
    if (far_) {
        for (auto it = snapshots.rbegin(); it != snapshots.rend() && attempts_ < options_.MaxAttemptsPerFile; ++it) {
            std::vector<TPiece> trial = pieces;
            trial.back().Length = static_cast<std::int64_t>(it->first - openStart);
            if (auto found = ExtendFar(it->second, std::move(trial)))
                return found;
        }
    }
    return std::nullopt;
}

void TSearch::NotePlainRun(std::uint64_t from, std::uint64_t to) {
    // Merged with the runs it meets, so that they stay apart and in order.
    auto it = plainRuns_.upper_bound(from);
    if (it != plainRuns_.begin() && std::prev(it)->second >= from)
        --it;
    while (it != plainRuns_.end() && it->first <= to) {
        from = std::min(from, it->first);
        to = std::max(to, it->second);
        it = plainRuns_.erase(it);
    }
    plainRuns_.emplace(from, to);
}

bool TSearch::SkipInFirstRound(std::uint64_t cand) const {
    if (far_ || !options_.SearchFar || g_.ClusterBytes == 0)
        return false;
    auto it = plainRuns_.upper_bound(cand);
    return it != plainRuns_.begin() && cand < std::prev(it)->second;
}

bool TSearch::CodedDataStart(std::uint64_t offset) {
    std::uint8_t s[kSector];
    return ReadSector(offset, s) && !OneValue(s) && PlausibleScanSector(TBytes(s, kSector));
}

std::optional<std::vector<TPiece>> TSearch::ExtendFar(const TJpegEntropyDecoder& atBreak, std::vector<TPiece> trial) {
    const std::uint64_t c = g_.ClusterBytes;
    const std::uint64_t e = static_cast<std::uint64_t>(trial.back().Offset + trial.back().Length);
    const std::uint64_t logicalEnd = Total(trial);
    if (SegmentOutrunsCluster(atBreak, logicalEnd))
        return std::nullopt;
    const std::uint64_t prefix = RunKey(trial);
    // The near search tried every cluster up to reach clusters past the break.
    const std::uint64_t reach = std::max<std::uint64_t>(options_.MaxGapClusters, options_.MinGapBytes / c);
    if (e >= deviceBytes_ || reach >= (deviceBytes_ - e) / c)
        return std::nullopt;
    std::uint64_t next = g_.BoundaryAtOrAfter(e) + (reach + 1) * c;
    while (next < deviceBytes_ && attempts_ < options_.MaxAttemptsPerFile) {
        const std::uint64_t cand = next;
        next += c;
        if (const std::uint64_t end = occupied_.AnyHolder(cand); end != 0) {
            next = std::max(next, g_.BoundaryAtOrAfter(end));
            continue;
        }
        if (occupied_.NextWall(cand - 1, cand + 1) == cand)
            continue;
        // A candidate the first round tried after the same pieces (one a found file's end
        // brought it to) is not tried again.
        const std::uint64_t key = CandidateKey(prefix, cand);
        if (rejected_.count(key) != 0 || alike_.count(key) != 0)
            continue;
        if (farLooks_ >= options_.MaxFarClusters)
            break;
        ++farLooks_;
        if (!CodedDataStart(cand))
            continue;
        ++attempts_;
        const std::uint64_t limit = std::min(OpenEnd(cand, logicalEnd), cand + c);
        if (limit <= cand)
            continue;
        trial.push_back({static_cast<std::int64_t>(cand), static_cast<std::int64_t>(limit - cand)});
        TJpegEntropyDecoder t = atBreak;
        const TJpegCheck tr = RunOver(t, trial);
        if (tr == TJpegCheck::Clean) {
            trial.back().Length = static_cast<std::int64_t>(t.EndOffset() - logicalEnd);
            return trial;
        }
        bool plain = false;
        if (tr == TJpegCheck::NeedMore && t.Resume() >= logicalEnd) {
            Judgeable(atBreak, t, trial, OpenEnd(cand, logicalEnd));
            plain = !Foreign(atBreak, t) && Continues(atBreak, t, Unlikeness(atBreak, t));
        }
        trial.pop_back();
        if (plain) {
            trial.push_back({static_cast<std::int64_t>(cand), 0});
            if (auto found = Extend(atBreak, trial))
                return found;
            trial.pop_back();
        }
    }
    return std::nullopt;
}

void AppendIndexedImages(TSearch& search, TOccupied& walls, TPieceReader& reader, std::uint64_t deviceBytes,
                         std::vector<TPiece>& pieces) {
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
    // The preview's own pieces, when the search finds them and they hold all the index names.
    std::uint64_t firstBreak = 0;
    const std::optional<std::vector<TPiece>> preview = search.Solve(lastEnd, firstBreak);
    if (preview && !preview->empty() && static_cast<std::uint64_t>(preview->front().Offset) == lastEnd &&
        Total(*preview) == extra) {
        pieces.back().Length += preview->front().Length;
        pieces.insert(pieces.end(), preview->begin() + 1, preview->end());
        return;
    }
    if (walls.NextWall(lastEnd, lastEnd + extra) < lastEnd + extra)
        return;
    pieces = std::move(longer);
}

std::optional<std::vector<TPiece>> AppendedImageInPieces(TSearch& search, TPieceReader& reader, std::uint64_t deviceBytes,
                                                         std::uint64_t start) {
    constexpr std::uint64_t kHeaderBytes = 128u << 10;
    if (start >= deviceBytes)
        return std::nullopt;
    const std::uint64_t room = deviceBytes - start;
    reader.SetPieces({{static_cast<std::int64_t>(start), static_cast<std::int64_t>(std::min(room, kHeaderBytes))}});
    std::vector<std::uint8_t> header(static_cast<std::size_t>(std::min(room, kHeaderBytes)));
    if (!reader.ReadAt(0, header.data(), header.size()))
        return std::nullopt;
    std::vector<TPiece> images;
    if (MpfExtent(header, &images) <= 0 || images.empty())
        return std::nullopt;
    const std::uint64_t first = static_cast<std::uint64_t>(images.front().Offset);
    if (first == 0 || first >= room)
        return std::nullopt;
    // The preview is a JPEG of its own: searched for as a photo is, from where it starts when
    // the photo lies in one run that far.
    std::uint64_t firstBreak = 0;
    std::optional<std::vector<TPiece>> pieces = search.Solve(start + first, firstBreak);
    if (!pieces || pieces->size() < 2)
        return std::nullopt;
    // The photo's first piece runs from its start through the preview's first one.
    TPiece& head = pieces->front();
    head.Length += static_cast<std::int64_t>(first);
    head.Offset = static_cast<std::int64_t>(start);
    return pieces;
}

bool IsJpeg(const TFoundFile& f) { return f.Type() == TFileType::Jpeg && f.StartSector >= 0; }

bool DecodesWhole(TPieceReader& reader, std::uint64_t start, std::uint64_t bytes, std::uint64_t& decoded) {
    TJpegEntropyDecoder d;
    reader.SetPieces({{static_cast<std::int64_t>(start), static_cast<std::int64_t>(bytes)}});
    TPieceSource source(reader);
    const TJpegCheck r = Decode(d, source, bytes, decoded);
    return r == TJpegCheck::Clean || r == TJpegCheck::Unsupported;
}

} // namespace lumivore::detail
