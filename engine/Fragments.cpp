#include "engine/Fragments.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "device/DskLib.h"
#include "engine/FileTypes.h"
#include "engine/FragmentSearch.h"
#include "engine/ScanEngine.h"
#include "formats/LengthPolicy.h"

namespace lumivore {

using detail::AppendIndexedImages;
using detail::DecodesWhole;
using detail::IsJpeg;
using detail::kSector;
using detail::TOccupied;
using detail::Total;
using detail::TPieceSource;
using detail::TSearch;

namespace {

// Lines a reader of the pass takes in one request where it decodes through the device in order
// (TPieceReader::SetReadAhead): 128 KiB.
constexpr std::size_t kReadAheadLines = 16;

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
        reader_.SetShortFirstReads(true);
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

// Records inside a reassembled photo's clusters are parts of it; records the scan took to be
// inside a photo that breaks before them are files of their own.
void SettleNesting(TFoundFileList& files, const TClusterGeometry& geometry, TFragmentStats& stats) {
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
}

} // namespace

// ---- the pass ----------------------------------------------------------------------------------

TFragmentStats ReassembleFragments(TDrive& drive, std::uint64_t deviceBytes, const TClusterGeometry& geometry,
                                   TFoundFileList& files, const TFragmentOptions& options,
                                   const std::function<bool(std::size_t, std::size_t)>& progress) {
    TFragmentStats stats;
    // 2 MiB of cache: a photo's data is decoded once (the search keeps the decoder's state at
    // the breaks it may try), so the cache serves the candidates tried again around a break.
    // Where the sectors are held in memory or beside it (recovery during the scan), what the
    // cache lets go of is read back from there, not from the device, and a quarter will do.
    TPieceReader reader(drive, {}, options.HeldSectors ? 64 : 256);
    reader.SetHeld(options.HeldSectors);
    reader.SetReadAhead(kReadAheadLines);
    reader.SetShortFirstReads(true);

    // Which JPEGs to decode. Those of unknown length, and those whose measured extent holds the
    // start of another found file, are suspect at once; the others are sampled at the start of
    // each cluster unless told not to. A photo that decodes whole costs nothing more.
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
        // A sector at a time: a sample is meant to cost its sectors, not a cache line.
        if (JpegExtentLooksBroken(start, end, nextStart, geometry, options.SampleMeasuredJpegs && !sampledClean,
                                  [&](std::uint64_t at, std::uint8_t* s) {
                                      return (options.HeldSectors && options.HeldSectors(at / kSector, 1, s)) ||
                                             drive.Read(at / kSector, 1, s) == kSector;
                                  },
                                  &sampledBytes))
            suspect[i] = 1;
    }

    // Without a photo to search, nothing of the search is built: on a card without split photos
    // the pass costs its samples, and holds nothing more for each found file.
    if (std::none_of(suspect.begin(), suspect.end(), [](char s) { return s != 0; })) {
        SettleNesting(files, geometry, stats);
        stats.BytesRead += reader.BytesRead() + sampledBytes;
        return stats;
    }

    // What pieces may not enter: the extents of the files that are not suspect (those inside a
    // suspect photo only seem inside it), and the starts of files. A photo's extent is checked
    // by decoding it the first time a search would rely on it.
    TOccupied occupied;
    // Each start sector with the first file that starts there, sorted: a card of many files
    // holds one pair a file.
    std::vector<std::pair<std::int64_t, std::size_t>> bySector;
    bySector.reserve(files.size());
    for (std::size_t i = 0; i < files.size(); ++i)
        bySector.emplace_back(files[i].StartSector, i);
    std::sort(bySector.begin(), bySector.end());
    auto parentSuspect = [&](const TFoundFile& f) {
        const auto it = std::lower_bound(bySector.begin(), bySector.end(), std::make_pair(f.NestedIn, std::size_t{0}));
        return it != bySector.end() && it->first == f.NestedIn && suspect[it->second];
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
            // A length that rests on a header's claim owns no more than the header: the body it
            // claims is unverified, and on a used card a stale claim (a raw's or a sound's from
            // an older file) runs over the clusters a later photo was written into.
            const std::uint64_t owned =
                f.ClaimFrom >= 0 ? std::min(extent[i], static_cast<std::uint64_t>(f.ClaimFrom)) : extent[i];
            occupied.Add(start, start + owned, photo ? i : TOccupied::kNoOwner, !photo);
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
        if (r == TJpegCheck::Unsupported) {
            ++stats.Unsupported;
            continue;
        }
        std::uint64_t firstBreak = 0;
        std::optional<std::vector<TPiece>> found;
        if (r == TJpegCheck::Clean) {
            // The main image is whole as it lies; a preview the camera appended after it may not
            // be: the card may have split the photo there.
            found = AppendedImageInPieces(search, reader, deviceBytes, start);
            stats.Attempts += search.Attempts();
            stats.BytesDoubtful += search.DoubtfulBytes();
            if (!found) {
                ++stats.Contiguous;
                continue;
            }
        } else {
            found = search.Solve(start, firstBreak);
            stats.Attempts += search.Attempts();
            stats.BytesDoubtful += search.DoubtfulBytes();
        }
        if (found && found->size() > 1) {
            AppendIndexedImages(search, occupied, reader, deviceBytes, *found);
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
            // Its one piece runs to the break, or to the end of its first cluster; where the device
            // ends before that (an image of a card read only in part, or a cluster size from a
            // damaged boot sector), it ends with the device.
            const std::uint64_t end = std::max(
                start, std::min(firstBreak > start ? firstBreak : geometry.BoundaryAtOrAfter(start + 1), deviceBytes));
            f.Pieces = {{static_cast<std::int64_t>(start), static_cast<std::int64_t>(end - start)}};
            ++stats.Incomplete;
        }
    }

    SettleNesting(files, geometry, stats);
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
