// Recovery in the same pass as the scan: the window of the sectors the scan read last, and the
// session that writes each chosen file from it once the scan has passed the file's end.
#include "engine/Recovery.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <set>

#include "engine/ByStartSector.h"
#include "engine/ClusterGeometry.h"
#include "engine/Fragments.h"
#include "engine/Nesting.h"
#include "engine/RecoveryEntries.h"
#include "engine/RecoveryRun.h"
#include "engine/ScanEngine.h"
#include "formats/JpegEntropy.h"

namespace lumivore {

using detail::kMeasureCeiling;
using detail::kSpillLimit;
using detail::kWriteBlock;
using detail::PrepareDestination;
using detail::ReadZeroFilling;
using detail::TRecoveryEntries;
using detail::TFileOutcome;
using detail::TRecoveryRun;
using detail::TUnreadableSectors;
using detail::WriteReport;

TScanWindow::TScanWindow(std::uint64_t sectors)
    : ring_(new std::uint8_t[static_cast<std::size_t>(sectors) * kSectorSize]), capacity_(sectors) {}

void TScanWindow::Evict(std::uint64_t first, std::uint64_t count) {
    // In runs that do not cross the ring's wrap, so each is one stretch of memory.
    while (count > 0) {
        const std::uint64_t slot = first % capacity_;
        const std::uint64_t n = std::min(count, capacity_ - slot);
        Evicted(first, n, ring_.get() + static_cast<std::size_t>(slot) * kSectorSize);
        first += n;
        count -= n;
    }
}

void TScanWindow::Append(std::uint64_t firstSector, const std::uint8_t* data, std::uint64_t sectors) {
    if (capacity_ == 0 || sectors == 0)
        return;
    if (held_ > 0 && firstSector != end_) {
        // Not the next block: what was held is no neighbour of it.
        if (Evicted)
            Evict(end_ - held_, held_);
        held_ = 0;
    }
    if (Evicted) {
        // What the block pushes out of the ring, oldest first; a block longer than the ring
        // pushes out its own first sectors too.
        const std::uint64_t room = capacity_ - held_;
        if (sectors > room)
            Evict(end_ - held_, std::min(held_, sectors - room));
        if (sectors > capacity_)
            Evicted(firstSector, sectors - capacity_, data);
    }
    if (sectors > capacity_) {
        data += static_cast<std::size_t>(sectors - capacity_) * kSectorSize;
        firstSector += sectors - capacity_;
        sectors = capacity_;
    }
    for (std::uint64_t k = 0; k < sectors;) {
        const std::uint64_t sector = firstSector + k;
        const std::uint64_t slot = sector % capacity_;
        const std::uint64_t n = std::min(sectors - k, capacity_ - slot);
        std::memcpy(ring_.get() + static_cast<std::size_t>(slot) * kSectorSize, data + static_cast<std::size_t>(k) * kSectorSize,
                    static_cast<std::size_t>(n) * kSectorSize);
        k += n;
    }
    end_ = firstSector + sectors;
    held_ = std::min(capacity_, held_ + sectors);
}

bool TScanWindow::CopyHeld(std::uint64_t first, std::uint64_t count, std::uint8_t* dest) const {
    if (held_ == 0 || first < end_ - held_ || first > end_ || count > end_ - first)
        return false;
    for (std::uint64_t k = 0; k < count;) {
        const std::uint64_t slot = (first + k) % capacity_;
        const std::uint64_t n = std::min(count - k, capacity_ - slot);
        std::memcpy(dest + static_cast<std::size_t>(k) * kSectorSize, ring_.get() + static_cast<std::size_t>(slot) * kSectorSize,
                    static_cast<std::size_t>(n) * kSectorSize);
        k += n;
    }
    return true;
}

bool TScanWindow::Copy(std::uint64_t first, std::uint64_t count, std::uint8_t* dest) const {
    if (CopyHeld(first, count, dest))
        return true;
    if (Spill == nullptr)
        return false;
    if (Spill->Copy(first, count, dest))
        return true;
    // The older part let go of and kept on the destination, the newer part still in memory.
    const std::uint64_t start = held_ > 0 ? end_ - held_ : end_;
    if (held_ == 0 || first >= start || first + count <= start)
        return false;
    const std::uint64_t older = start - first;
    return Spill->Copy(first, older, dest) &&
           CopyHeld(start, count - older, dest + static_cast<std::size_t>(older) * kSectorSize);
}

TBytes TScanWindow::BytesAt(std::uint64_t offset) const {
    const std::uint64_t sector = offset / kSectorSize;
    if (held_ == 0 || sector < end_ - held_ || sector >= end_)
        return {};
    const std::uint64_t slot = sector % capacity_;
    const std::uint64_t sectors = std::min(end_ - sector, capacity_ - slot);
    const std::size_t skip = static_cast<std::size_t>(offset % kSectorSize);
    return TBytes(ring_.get() + static_cast<std::size_t>(slot) * kSectorSize + skip,
                  static_cast<std::size_t>(sectors) * kSectorSize - skip);
}

namespace {

// The scan window of recovery during a scan: the last 8 MiB the scan read. A file is written
// about a block after the scan has passed its end, so a photo of up to about 7 MB is written
// from memory; what a longer file, or one that waits for another (one of unknown length, one
// still measured, a photo held for the pieces pass), needs of the sectors the window lets go
// of is kept on the destination drive meanwhile (engine/SectorSpill.h). Either way the device
// is read once, and memory stays the same whatever the files' lengths. A larger window only
// spares the destination some writes (12 MiB wrote up to 4% less there on cards of camera
// photos) at a cost in memory that every run pays.
constexpr std::uint64_t kWindowSectors = (8u << 20) / kSectorSize;
// How far past a file of unknown length's start the scan must be before it is written: as far
// as measuring it may read, and one more megabyte for what follows its end.
constexpr std::uint64_t kUnknownReadySectors = (kMeasureCeiling + (1u << 20)) / kSectorSize;

// A photo's bytes as the scan's window (and what it let go of to the spill) holds them, else
// as the device does.
class TWindowJpegSource : public TJpegSource {
public:
    TWindowJpegSource(const TScanWindow& window, TDrive& drive, std::uint64_t start, std::uint64_t length)
        : window_(window), drive_(drive), start_(start), length_(length) {}
    TBytes At(std::uint64_t offset) override {
        if (offset >= length_)
            return {};
        const std::uint64_t at = start_ + offset;
        const TBytes held = window_.BytesAt(at);
        if (!held.empty())
            return held.first(static_cast<std::size_t>(std::min<std::uint64_t>(held.size(), length_ - offset)));
        const std::uint64_t sector = at / kSectorSize;
        const std::uint64_t last = (start_ + length_ - 1) / kSectorSize;
        const std::uint64_t n = std::min<std::uint64_t>(kRunSectors, last - sector + 1);
        run_.resize(static_cast<std::size_t>(kRunSectors) * kSectorSize);
        if (!window_.Copy(sector, n, run_.data()) &&
            drive_.Read(sector, static_cast<std::uint16_t>(n), run_.data()) < n * kSectorSize)
            return {};
        const std::size_t skip = static_cast<std::size_t>(at % kSectorSize);
        return TBytes(run_.data() + skip,
                      static_cast<std::size_t>(std::min<std::uint64_t>(n * kSectorSize - skip, length_ - offset)));
    }

private:
    static constexpr std::uint64_t kRunSectors = 128;
    const TScanWindow& window_;
    TDrive& drive_;
    std::uint64_t start_, length_;
    std::vector<std::uint8_t> run_;
};

} // namespace

struct TRecoveryDuringScan::TImpl {
    TScanEngine& Engine;
    TRecoveryRequest Request;
    std::function<bool(const TFoundFile&)> Chosen;
    TOutputDir Dest;
    TRecoveryResult Result;
    // The entry of each file handled, on the destination: Result.Files stays empty.
    TRecoveryEntries Entries;
    TScanWindow Window{kWindowSectors};
    TSectorSpill Spill{kSpillLimit};
    std::unique_ptr<TRecoveryRun> Run;
    // The chosen files not written yet, by start sector: their records stay in FoundFiles, where
    // the scan settles their lengths and nesting (files of unknown length wait 50 MiB, so a card
    // of many may have tens of thousands waiting).
    std::vector<std::int64_t> Waiting;
    // What is known of each found file, by start sector: where it sits in FoundFiles (the scan
    // only appends while it runs; kNowhere when it is not there), whether it was looked at,
    // whether it was written or given up. One entry of 16 bytes a found file: a card of many
    // small files holds as many of them.
    static constexpr std::uint32_t kNowhere = UINT32_MAX;
    struct TLook {
        std::uint32_t Index = kNowhere;
        bool Seen = false;
        bool Handled = false;
    };
    TByStartSector<TLook> Looks;
    // Found files whose length the scan is still measuring as the blocks stream past, by
    // index: a file that one of them may turn out to hold waits until its length is known.
    std::vector<std::size_t> Open;
    std::size_t Looked = 0;           // FoundFiles looked at while the scan appends to it
    bool Ended = false;               // a full destination or a changed device ended the run
    std::string EndReason;
    // Photos the pass at the end of the scan may find in pieces wait for it (engine/Fragments.h):
    // written before it, they would be written as the scan saw them. Decided by the pass's own
    // test, with the card's cluster size from its boot sector, or every sector when it has none
    // (a test of more sectors holds back more photos, never fewer).
    bool HoldPhotos = false;
    TClusterGeometry Geometry;
    // The photos held back, by start sector: their records stay in FoundFiles, where the pass
    // changes them.
    std::vector<std::int64_t> Held;

    TImpl(TScanEngine& engine, const TRecoveryRequest& request, std::function<bool(const TFoundFile&)> chosen)
        : Engine(engine), Request(request), Chosen(std::move(chosen)) {}

    // Where the found file that starts at start sits in FoundFiles; kNowhere when not known.
    std::uint32_t IndexOf(std::int64_t start) const {
        const auto it = Looks.find(start);
        return it == Looks.end() ? kNowhere : it->second.Index;
    }
    bool Handled(std::int64_t start) const {
        const auto it = Looks.find(start);
        return it != Looks.end() && it->second.Handled;
    }

    // Looks at the files found since the last block: follows an AVI's further chunks, judges
    // nesting with what is found so far, and keeps the chosen ones waiting.
    void TakeNewFiles(bool everything) {
        bool added = false;
        for (std::size_t i = everything ? 0 : Looked; i < Engine.FoundFiles.size(); ++i) {
            TFoundFile& f = Engine.FoundFiles[i];
            TLook& look = Looks[f.StartSector];
            if (look.Seen)
                continue;
            look.Index = static_cast<std::uint32_t>(i);
            if (!LengthKnownFor(f.Ext, f.Length) || Engine.Measuring(i))
                Open.push_back(i);
            added = true;
        }
        if (!added)
            return;
        // The scan keeps each record's nesting as it finds files and their runs.
        for (std::size_t i = everything ? 0 : Looked; i < Engine.FoundFiles.size(); ++i) {
            const TFoundFile& f = Engine.FoundFiles[i];
            TLook& look = Looks[f.StartSector];
            if (!look.Seen && Chosen(f))
                Waiting.push_back(f.StartSector);
            look.Seen = true;
        }
        Looked = Engine.FoundFiles.size();
        std::sort(Waiting.begin(), Waiting.end());
    }

    // Drops from Open the files whose length the scan has found or whose measuring window has
    // passed.
    void SettleOpen(std::uint64_t scanned) {
        std::vector<std::size_t> still;
        for (std::size_t i : Open) {
            if (i >= Engine.FoundFiles.size())
                continue;
            const TFoundFile& f = Engine.FoundFiles[i];
            // A file still measured may change its length; one of unknown length waits until
            // the scan has passed as far as measuring it may read.
            if (Engine.Measuring(i) || (!LengthKnownFor(f.Ext, f.Length) && !Ready(f, scanned)))
                still.push_back(i);
        }
        Open.swap(still);
    }

    // A file whose length rests on its header's claim is cut short where a file of its own
    // begins inside the claimed body (engine/Nesting.h), judged over the files found so far:
    // by the time the scan has passed the claimed end, every such file there has been found.
    void CutClaim(TFoundFile& f) {
        if (f.ClaimFrom < 0)
            return;
        lumivore::CutClaim(f, [&](std::int64_t first, std::int64_t end) -> const TFoundFile* {
            for (auto it = Looks.lower_bound(first); it != Looks.end() && it->first < end; ++it) {
                if (it->second.Index >= Engine.FoundFiles.size())
                    continue;
                const TFoundFile& g = Engine.FoundFiles[it->second.Index];
                if (g.StartSector == it->first && !g.Nested() && WalkedWhole(g))
                    return &g;
            }
            return nullptr;
        });
    }

    // The earliest start of a file still being measured, or the largest sector number.
    std::int64_t EarliestOpen() const {
        std::int64_t earliest = std::numeric_limits<std::int64_t>::max();
        for (std::size_t i : Open)
            if (i < Engine.FoundFiles.size())
                earliest = std::min(earliest, Engine.FoundFiles[i].StartSector);
        return earliest;
    }

    // The engine's record of the found file that starts at start as it stands now: its length
    // and nesting may have been settled since it was first seen. Null when it is not in
    // FoundFiles any more.
    const TFoundFile* Current(std::int64_t start) const { return RecordStartingAt(Engine.FoundFiles, IndexOf(start), start); }

    // The sectors from a file's start that writing it may need: its own and the one after
    // it, or as far as measuring it may read.
    static std::uint64_t NeedSectors(const TFoundFile& f) {
        return LengthKnownFor(f.Ext, f.Length) ? (static_cast<std::uint64_t>(f.Length) + kSectorSize - 1) / kSectorSize + 1
                                               : kUnknownReadySectors;
    }

    // Whether the scan has read all that writing the file may need.
    static bool Ready(const TFoundFile& f, std::uint64_t scanned) {
        const auto start = static_cast<std::uint64_t>(f.StartSector);
        return scanned >= start && scanned - start >= NeedSectors(f);
    }

    // The stretches of sectors that files still to be written need, by first sector, joined
    // where they meet: what the window lets go of within them is kept on the destination.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> Needed() const {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
        const auto add = [&](const TFoundFile& f, std::uint64_t further) {
            if (f.StartSector < 0)
                return;
            const auto start = static_cast<std::uint64_t>(f.StartSector);
            spans.emplace_back(start, start + NeedSectors(f) + further);
        };
        for (const std::int64_t start : Waiting)
            if (const TFoundFile* f = Current(start))
                add(*f, 0);
        // A photo held back for the pass: its rest is looked for among the sectors after it, as
        // far as the pass reaches past a break (engine/Fragments.h), and as far again for a
        // second break; what a search reaches further is read from the device.
        const TFragmentOptions& options = Engine.FragmentOptions;
        const std::uint64_t reach =
            std::max<std::uint64_t>(std::uint64_t{options.MaxGapClusters} * Geometry.ClusterBytes, options.MinGapBytes) /
            kSectorSize * 2;
        for (const std::int64_t start : Held)
            if (const TFoundFile* f = Current(start))
                add(*f, reach);
        std::sort(spans.begin(), spans.end());
        std::vector<std::pair<std::uint64_t, std::uint64_t>> joined;
        for (const auto& span : spans) {
            if (!joined.empty() && span.first <= joined.back().second)
                joined.back().second = std::max(joined.back().second, span.second);
            else
                joined.push_back(span);
        }
        return joined;
    }

    // Keeps on the destination what the window lets go of that a file still to be written needs.
    void KeepEvicted(std::uint64_t first, std::uint64_t count, const std::uint8_t* data) {
        if (!Spill.IsOpen())
            return;
        const std::uint64_t end = first + count;
        for (const auto& [from, to] : Needed()) {
            const std::uint64_t a = std::max(first, from), b = std::min(end, to);
            if (a < b)
                Spill.Keep(a, b - a, data + static_cast<std::size_t>(a - first) * kSectorSize);
        }
    }

    // Gives back what no file still to be written needs.
    void ForgetSpilled() {
        if (Spill.HeldBytes() == 0)
            return;
        const auto needed = Needed();
        Spill.Forget([&](std::uint64_t first, std::uint64_t end) {
            auto it = std::upper_bound(needed.begin(), needed.end(), std::make_pair(first, UINT64_MAX));
            if (it != needed.end() && it->first < end)
                return true;
            return it != needed.begin() && std::prev(it)->second > first;
        });
    }

    // Whether the pass may change this photo: the test it makes, over the scan's window, and
    // where that test finds something wrong, a decode of the photo from the window. What is
    // judged here is handed to the pass, which does not read it again. A photo that decodes
    // whole is final; one whose samples passed is written, but pending: the pass decodes it
    // when a search relies on its extent, and may find it in pieces after all; any other waits.
    enum class TPhotoVerdict : std::uint8_t { Final, Pending, Hold };
    TPhotoVerdict MayBeInPieces(const TFoundFile& f) {
        if (!HoldPhotos || f.Type() != TFileType::Jpeg || f.Nested() || f.StartSector < 0)
            return TPhotoVerdict::Final;
        if (!LengthKnown(f.Length))
            return TPhotoVerdict::Hold;
        TFragmentOptions& judged = Engine.FragmentOptions;
        const std::uint64_t start = static_cast<std::uint64_t>(f.StartSector) * kSectorSize;
        const auto length = static_cast<std::uint64_t>(f.Length);
        // The next file that is not part of this one, as the pass itself judges it.
        auto next = Looks.upper_bound(f.StartSector);
        while (next != Looks.end() && (next->second.Index == kNowhere ||
                                       (next->second.Index < Engine.FoundFiles.size() &&
                                        Engine.FoundFiles[next->second.Index].NestedIn == f.StartSector)))
            ++next;
        const std::uint64_t nextStart =
            next == Looks.end() ? UINT64_MAX : static_cast<std::uint64_t>(next->first) * kSectorSize;
        if (!JpegExtentLooksBroken(start, start + length, nextStart, Geometry, judged.SampleMeasuredJpegs,
                                   [&](std::uint64_t at, std::uint8_t* sector) {
                                       return Window.Copy(at / kSectorSize, 1, sector) ||
                                              Engine.Drive.Read(at / kSectorSize, 1, sector) == kSectorSize;
                                   })) {
            judged.SampledClean.insert(f.StartSector);
            return TPhotoVerdict::Pending;
        }
        // Decoded where the window and the spill hold it (the spill may have been full).
        TWindowJpegSource source(Window, Engine.Drive, start, length);
        TJpegEntropyDecoder decoder;
        const TJpegCheck check = decoder.Run(source, length);
        if (check != TJpegCheck::Clean && check != TJpegCheck::Unsupported)
            return TPhotoVerdict::Hold;
        // The main image is whole, but what follows it in the extent that looked broken (a
        // preview the camera appended) may lie elsewhere: the pass decides.
        if (check == TJpegCheck::Clean && decoder.EndOffset() < length)
            return TPhotoVerdict::Hold;
        judged.DecodedWhole.insert(f.StartSector);
        return TPhotoVerdict::Final;
    }

    // The judgements above, and the window the pass may read from, belong to one scan.
    void ForgetJudged() {
        Engine.FragmentOptions.SampledClean.clear();
        Engine.FragmentOptions.DecodedWhole.clear();
        Engine.FragmentOptions.HeldSectors = nullptr;
    }

    // The record of an entry's file as it stands now; an empty one when FoundFiles has none.
    const TFoundFile& RecordOf(const TRecoveryEntry& e) const {
        const TFoundFile* f = Current(e.StartSector);
        return f != nullptr ? *f : Result.FileOf(e);
    }

    // An entry read back after the scan, with where its record now sits and, for a nested
    // file, what holds it.
    TRecoveryEntry Completed(TRecoveryEntry e) const {
        if (const std::uint32_t i = IndexOf(e.StartSector); i != kNowhere)
            e.Index = i;
        if (const TFoundFile& f = RecordOf(e); f.Nested())
            e.Enclosing = detail::EnclosingName(Current(f.NestedIn), f.NestedIn);
        return e;
    }

    // A new entry for the file f records, as the scan has found it so far.
    TRecoveryEntry EntryFor(const TFoundFile& f) const {
        TRecoveryEntry e;
        e.StartSector = f.StartSector;
        if (const std::uint32_t i = IndexOf(f.StartSector); i != kNowhere)
            e.Index = i;
        e.WrittenAs = TRecoveryEntry::TWrittenAs::Of(f);
        return e;
    }

    void Write(const TFoundFile& f, bool pending = false) {
        Looks[f.StartSector].Handled = true;
        TRecoveryEntry e = EntryFor(f);
        if (Ended || Engine.StopRequested) {
            e.Status = TRecoveryStatus::NotWritten;
            e.Detail = Ended ? EndReason : "not written: recovery was stopped";
            Entries.Put(e);
            ++Result.NotWritten;
            return;
        }
        TFileOutcome outcome = Run->HandleOne(e, f, pending);
        if (outcome.NoSpace && Spill.HeldBytes() > 0) {
            // The destination filled while sectors waited there: they are given up, and the
            // file is tried again with what it needs of them read from the device.
            Run->Uncount(e);
            Spill.Stop();
            e = EntryFor(f);
            outcome = Run->HandleOne(e, f, pending);
        }
        Entries.Put(e);
        if (outcome.Stop) {
            Result.Stopped = true;
        } else if (outcome.Fatal) {
            Ended = true;
            Result.Stopped = true;
            Result.Message = outcome.Message;
            EndReason = "not written: recovery ended early";
        }
    }

    void WriteReady(std::uint64_t scanned, bool all) {
        if (!all)
            SettleOpen(scanned);
        const std::int64_t earliestOpen = all ? std::numeric_limits<std::int64_t>::max() : EarliestOpen();
        std::vector<std::int64_t> later;
        for (const std::int64_t start : Waiting) {
            // Its record as it stands now: its length and nesting may have been settled since,
            // and after the scan the pass may have found it in pieces. (The scan only adds
            // records, so each one is there.)
            const TFoundFile* now = Current(start);
            if (now == nullptr)
                continue;
            const TFoundFile& f = *now;
            // A file that turned out to lie inside another is left out, as by type it would be.
            if (!Chosen(f))
                continue;
            // A file after the start of one still being measured may lie inside it: it waits,
            // and so does a file whose own length the scan is still measuring.
            const bool mayBeHeld = earliestOpen < f.StartSector;
            const std::uint32_t index = IndexOf(f.StartSector);
            const bool measuring = index != kNowhere && Engine.Measuring(index);
            // (After the scan the scan itself has judged every claim.)
            if (!all && index < Engine.FoundFiles.size() && &Engine.FoundFiles[index] == now && f.ClaimFrom >= 0)
                CutClaim(Engine.FoundFiles[index]);
            if (all || (!mayBeHeld && !measuring && Ready(f, scanned))) {
                const TPhotoVerdict verdict = all ? TPhotoVerdict::Final : MayBeInPieces(f);
                if (verdict == TPhotoVerdict::Hold)
                    Held.push_back(f.StartSector);
                else
                    Write(f, verdict == TPhotoVerdict::Pending);
            } else {
                later.push_back(start);
            }
        }
        Waiting.swap(later);
    }

    // After the scan and its pass: a file written during the scan whose record the pass changed
    // (a photo its test let through that turned out to be in pieces, a file found to lie inside
    // a photo, or outside the one it seemed part of) is taken back: what was written of it is
    // removed, and it is handled again as its record now says, as recovery after the scan would.
    void TakeBackChanged() {
        Entries.Update([&](TRecoveryEntry& e) {
            const TFoundFile* now = Current(e.StartSector);
            if (now == nullptr || e.WrittenAs == TRecoveryEntry::TWrittenAs::Of(*now))
                return TRecoveryEntries::TAfter::Same;
            Drop(e);
            if (const auto it = Looks.find(e.StartSector); it != Looks.end())
                it->second.Handled = false;
            return TRecoveryEntries::TAfter::Removed;
        });
    }

    // Removes what was written of a file and takes it out of the counts.
    void Drop(TRecoveryEntry& e) {
        if (!e.Name.empty())
            Dest.Remove(e.Name);
        if (!e.Temporary.empty())
            Dest.Remove(e.Temporary);
        e.Name.clear();
        e.Temporary.clear();
        Run->Uncount(e);
    }

    // The photos written pending the pass: named once the pass has left them as they were.
    // When the run stopped before the pass, they keep what the scan saw, named, but the report
    // says they were not checked: one of them may still be a photo in pieces.
    void SettlePending(bool stopped) {
        Entries.Update([&](TRecoveryEntry& e) {
            if (e.Temporary.empty())
                return TRecoveryEntries::TAfter::Same;
            if (stopped && e.Status == TRecoveryStatus::Recovered) {
                Run->Uncount(e);
                e.Status = TRecoveryStatus::Failed;
                e.Detail = "failed: written as the scan saw it, but not checked for pieces: recovery was stopped first";
                Run->Recount(e);
            }
            const TFileOutcome outcome = Run->NamePending(e, RecordOf(e));
            if (outcome.Fatal && !Ended) {
                Ended = true;
                Result.Stopped = true;
                Result.Message = outcome.Message;
                EndReason = "not written: recovery ended early";
            }
            return TRecoveryEntries::TAfter::Changed;
        });
    }

    // After the scan: what the card's file system said of the files. A file written while the
    // scan ran is moved to its original folder and name (a rename, never a copy); one written
    // longer than its entry's size, where its length was a guess, is cut to that size. Its bytes
    // are not read again, so a file that its entry makes longer keeps what was written, and the
    // report says so.
    void NameOriginals() {
        Entries.Update([&](TRecoveryEntry& e) {
            const TFoundFile* now = Current(e.StartSector);
            if (now == nullptr || now->OriginalName.empty())
                return TRecoveryEntries::TAfter::Same;
            const TFoundFile& f = *now;
            const bool written = !e.Name.empty() && !e.NamedOriginally && e.Name.find('/') == std::string::npos;
            if (!written || e.Source == TLengthSource::Entry)
                return TRecoveryEntries::TAfter::Same;
            if (f.UseEntrySize && f.EntrySize > 0 && e.BytesWritten != static_cast<std::uint64_t>(f.EntrySize)) {
                const auto entrySize = static_cast<std::uint64_t>(f.EntrySize);
                if (entrySize < e.BytesWritten && Dest.Truncate(e.Name, entrySize)) {
                    Run->Uncount(e);
                    e.BytesWritten = entrySize;
                    e.Length = f.EntrySize;
                    e.Source = TLengthSource::Entry;
                    e.Detail = "cut to the length the file system's entry gives (" + std::to_string(entrySize) + " bytes)" +
                               (e.Detail.empty() ? "" : "; " + e.Detail);
                    Run->Recount(e);
                } else if (entrySize > e.BytesWritten && Extend(e, f, entrySize)) {
                    Run->Uncount(e);
                    e.Detail = "extended to the length the file system's entry gives (" + std::to_string(entrySize) +
                               " bytes)" + (e.Detail.empty() ? "" : "; " + e.Detail);
                    e.BytesWritten = entrySize;
                    e.Length = f.EntrySize;
                    e.Source = TLengthSource::Entry;
                    Run->Recount(e);
                } else if (entrySize > e.BytesWritten) {
                    e.Detail = "the file system's entry gives " + std::to_string(entrySize) +
                               " bytes; written as measured while the scan ran" + (e.Detail.empty() ? "" : "; " + e.Detail);
                }
            }
            if (Request.OriginalNames) {
                const TWriteResult w = Run->MoveOriginal(e.Name, f, e.Damaged);
                if (w.Outcome == TWriteOutcome::Written) {
                    e.Name = w.Name;
                    e.NamedOriginally = true;
                }
            }
            return TRecoveryEntries::TAfter::Changed;
        });
    }

    // Adds to a file written whole while the scan ran the bytes that follow it on the device up
    // to the size its file system's entry gives (a trailer or padding after its end marker,
    // which recovery after the scan writes too). Not for a file in pieces, one written damaged,
    // or when a sector of what it adds cannot be read: it then stays as written.
    bool Extend(const TRecoveryEntry& e, const TFoundFile& f, std::uint64_t size) {
        if (e.Status != TRecoveryStatus::Recovered || e.Damaged || f.Reassembled() || f.Incomplete ||
            e.BytesWritten == 0 || size - e.BytesWritten > kWriteBlock || f.StartSector < 0)
            return false;
        const std::uint64_t from = static_cast<std::uint64_t>(f.StartSector) * kSectorSize + e.BytesWritten;
        const std::uint64_t to = static_cast<std::uint64_t>(f.StartSector) * kSectorSize + size;
        const std::uint64_t first = from / kSectorSize;
        const std::uint64_t sectors = (to + kSectorSize - 1) / kSectorSize - first;
        if (first + sectors > static_cast<std::uint64_t>(std::max<std::int64_t>(Engine.Drive.Info.TotalSectors, 0)))
            return false;
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(sectors * kSectorSize));
        TUnreadableSectors unreadable;
        ReadZeroFilling(Engine, &Window, nullptr, first, static_cast<std::uint32_t>(sectors), bytes.data(), unreadable);
        if (unreadable.Count > 0)
            return false;
        return Dest.Extend(e.Name, e.BytesWritten, bytes.data() + from % kSectorSize, static_cast<std::size_t>(to - from));
    }

    // After the scan and its pass: the photos held back wait with the rest, and so does a file
    // that the pass showed to lie outside the photo it seemed to be part of.
    void TakeBackHeld() {
        std::set<std::int64_t> waiting(Waiting.begin(), Waiting.end());
        for (const std::int64_t start : Held)
            if (Current(start) != nullptr && waiting.insert(start).second)
                Waiting.push_back(start);
        Held.clear();
        for (const TFoundFile& f : Engine.FoundFiles)
            if (!Handled(f.StartSector) && waiting.count(f.StartSector) == 0 && Chosen(f)) {
                waiting.insert(f.StartSector);
                Waiting.push_back(f.StartSector);
            }
        std::sort(Waiting.begin(), Waiting.end());
    }
};

TRecoveryDuringScan::TRecoveryDuringScan(TScanEngine& engine, const TRecoveryRequest& request,
                                         std::function<bool(const TFoundFile&)> chosen)
    : impl_(std::make_unique<TImpl>(engine, request, std::move(chosen))) {}

TRecoveryDuringScan::~TRecoveryDuringScan() {
    // The engine outlives the session: it must not keep reading from the session's window.
    if (impl_)
        impl_->ForgetJudged();
}

bool TRecoveryDuringScan::Start(std::string& message) {
    TImpl& m = *impl_;
    try {
        if (m.Engine.Drive.Handle == kInvalidHandle) {
            message = "No device is open to recover from.";
            return false;
        }
        if (!PrepareDestination(m.Engine, m.Request, m.Dest, message))
            return false;
    } catch (const std::exception& ex) {
        message = std::string("The destination cannot be checked: ") + ex.what();
        return false;
    }
    m.Result.Started = true;
    m.Result.Records = &m.Engine.FoundFiles;
    m.Entries.Open(m.Dest.Descriptor());
    m.HoldPhotos = m.Engine.ReassembleAfterScan;
    m.ForgetJudged();
    // The pass after the scan reads what the window still holds from it, not from the device.
    m.Engine.FragmentOptions.HeldSectors = [&m](std::uint64_t sector, std::uint32_t count, std::uint8_t* out) {
        return m.Window.Copy(sector, count, out);
    };
    if (m.HoldPhotos && !GeometryFromDevice(m.Engine.Drive, m.Geometry))
        m.Geometry = TClusterGeometry{};
    m.Request.Progress = nullptr; // the scan drives the bar
    m.Run = std::make_unique<TRecoveryRun>(m.Engine, m.Request, m.Dest, m.Result);
    m.Run->SetWindow(&m.Window);
    // Without a spill, what the window lets go of is read from the device again when needed.
    if (m.Spill.Open(m.Dest.Descriptor())) {
        m.Window.Spill = &m.Spill;
        m.Window.Evicted = [&m](std::uint64_t first, std::uint64_t count, const std::uint8_t* data) {
            m.KeepEvicted(first, count, data);
        };
    }
    return true;
}

void TRecoveryDuringScan::BlockScanned(std::uint64_t firstSector, const std::uint8_t* data, std::uint64_t sectors) {
    TImpl& m = *impl_;
    if (!m.Run)
        return;
    try {
        m.Window.Append(firstSector, data, sectors);
        m.TakeNewFiles(false);
        m.WriteReady(m.Window.End(), false);
        m.ForgetSpilled();
    } catch (const std::exception& ex) {
        m.Ended = true;
        m.Result.Stopped = true;
        m.Result.Message = std::string("Recovery stopped by an internal error: ") + ex.what();
        m.EndReason = "not written: recovery ended early";
    }
}

void TRecoveryDuringScan::ForEachEntry(const std::function<void(const TRecoveryEntry&, const TFoundFile&)>& each) const {
    const TImpl& m = *impl_;
    for (std::size_t k = 0; k < m.Entries.Size(); ++k) {
        const TRecoveryEntry e = m.Completed(m.Entries.At(k));
        each(e, m.RecordOf(e));
    }
}

TRecoveryResult TRecoveryDuringScan::Finish(bool scanStopped) {
    TImpl& m = *impl_;
    if (!m.Run)
        return std::move(m.Result);
    try {
        const bool stopped = scanStopped || m.Engine.StopRequested || m.Result.Stopped;
        m.Engine.Busy = true;
        struct TResetOnExit {
            TScanEngine& engine;
            ~TResetOnExit() {
                engine.Busy = false;
                engine.StopRequested = false;
            }
        } reset{m.Engine};
        // The scan put the files of re-read failing areas in device order at its end: where
        // each record now sits.
        for (auto& [start, look] : m.Looks)
            look.Index = TImpl::kNowhere;
        for (std::size_t i = 0; i < m.Engine.FoundFiles.size(); ++i)
            m.Looks[m.Engine.FoundFiles[i].StartSector].Index = static_cast<std::uint32_t>(i);
        // Files of the last blocks, and those found when failing areas were read again.
        m.TakeNewFiles(true);
        if (!stopped)
            m.TakeBackChanged();
        m.SettlePending(stopped);
        m.TakeBackHeld();
        if (stopped) {
            m.Result.Stopped = true;
            m.Engine.StopRequested = true; // what still waits is not written
        }
        m.WriteReady(0, true);
        m.NameOriginals();
        // The report lists the files as recovery after the scan handles them: by start sector.
        WriteReport(m.Dest, m.Result, m.Entries.Size(), [&m](std::size_t k) {
            const TRecoveryEntry e = m.Completed(m.Entries.At(k));
            return detail::ReportLine(e, m.RecordOf(e));
        });
        m.Dest.Sync();
    } catch (const std::exception& ex) {
        m.Result.Stopped = true;
        m.Result.Message = std::string("Recovery stopped by an internal error: ") + ex.what();
    }
    m.ForgetJudged();
    return std::move(m.Result);
}

} // namespace lumivore
