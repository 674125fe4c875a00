#include "engine/ScanEngine.h"

#include <algorithm>
#include <cstring>

#include "device/ReadAhead.h"
#include "engine/DeviceMeasure.h"
#include "engine/FileTypes.h"
#include "engine/Nesting.h"
#include "formats/Measure.h"
#include "formats/Recognisers.h"
#include "support/Settings.h"

namespace lumivore {

namespace {

// 100 x k / r rounded to the nearest integer, halves to even.
int ProgressPosition(std::uint64_t k, std::uint64_t r) {
    const std::uint64_t num = 100 * k;
    std::uint64_t q = num / r;
    const std::uint64_t rem = num % r;
    if (2 * rem > r || (2 * rem == r && (q & 1) != 0))
        ++q;
    return static_cast<int>(q);
}

} // namespace

TScanEngine::TScanEngine() {
    const TSettingsStore store;
    DefaultSize = ReadDefaultSize(store);
    SetRecognisers(kRecognisers);
}

void TScanEngine::SetRecognisers(std::span<const TRecogniserEntry> recognisers) {
    recognisers_ = recognisers;
    startMask_.assign(65536 / 64, 0);
    boxTags_.clear();
    for (const TRecogniserEntry& r : recognisers) {
        if (r.TagCount > 0) {
            boxTags_.insert(boxTags_.end(), r.Tags, r.Tags + std::min<std::uint8_t>(r.TagCount, 2));
            continue;
        }
        if (r.StartCount == 0) {
            startMask_.assign(65536 / 64, ~std::uint64_t{0});
            return;
        }
        for (std::uint8_t i = 0; i < r.StartCount && i < 2; ++i)
            startMask_[r.Starts[i] / 64] |= std::uint64_t{1} << (r.Starts[i] % 64);
    }
}

TScanEngine::~TScanEngine() = default;

bool TScanEngine::OpenDrive(std::uint8_t code) {
    Drive.Open(code);
    const bool opened = code != 0 && Drive.DriveCode == code;
    ClearFoundFiles();
    return opened;
}

void TScanEngine::AddFoundFile(TFoundFile& rec, std::int64_t startSector) {
    rec.StartSector = startSector;
    FoundFiles.push_back(rec);
    nesting_.Added(FoundFiles, FoundFiles.size() - 1);
}

void TScanEngine::CountByType() const { lumivore::CountByType(FoundFiles); }

void TScanEngine::Scan(std::uint64_t firstSector, std::uint64_t sectorCount, TCounterLabel* foundLabel,
                       TCounterLabel* sectorLabel, TCounterLabel* errorLabel) {
    if (Busy)
        return;
    // No device holds a sector beyond the largest byte offset: a range is cut there, which
    // also keeps every sum and percentage below from overflowing.
    firstSector = std::min(firstSector, kLargestSectorNumber);
    sectorCount = std::min(sectorCount, kLargestSectorNumber - firstSector);
    ClearFoundFiles();
    UnreadableSectors = 0;
    failedFirstPass_.clear();
    shownErrors_ = 0;
    // A scan is a run of its own: a sector that failed before is tried again, once.
    Drive.ForgetFailures();
    Busy = true;
    StopRequested = false;
    SetProgress(0);
    // With the card's cluster size from its boot sector, photos are sampled for the pass after
    // the scan from the blocks as they come (an inferred size is known only after the scan).
    sampled_.clear();
    openSamples_.clear();
    sampling_ = ReassembleAfterScan && FragmentOptions.SampleMeasuredJpegs && GeometryFromDevice(Drive, sampleGeometry_);

    // Busy, the stop request and the bar are reset on every way out, also when an error
    // escapes from the loop.
    struct TResetOnExit {
        TScanEngine& engine;
        ~TResetOnExit() {
            engine.openMeasures_.clear();
            engine.sampled_.clear();
            engine.openSamples_.clear();
            engine.sampling_ = false;
            engine.rescanning_ = false;
            engine.holdSeam_ = false;
            engine.seamHeld_ = 0;
            engine.seam_ = {};
            engine.Busy = false;
            engine.StopRequested = false;
            engine.SetProgress(0);
        }
    } reset{*this};

    const std::uint64_t rangeEnd = firstSector + sectorCount;
    const std::uint64_t deviceEnd = Drive.Info.TotalSectors > 0 ? static_cast<std::uint64_t>(Drive.Info.TotalSectors) : 0;
    std::vector<TPendingRange> pending;
    std::uint64_t outstanding = 0; // sectors of the pending ranges
    // Marks [first, end) of the asked range as not examined yet.
    auto remember = [&](std::uint64_t first, std::uint64_t end) {
        end = std::min(end, rangeEnd);
        if (first >= end)
            return;
        pending.push_back({first, end - first});
        outstanding += end - first;
    };

    std::uint32_t skip = 0;
    std::uint64_t current = firstSector;
    const std::uint64_t steps = (sectorCount + kBlockSectors - 1) / kBlockSectors;
    // Sectors handled: the blocks walked so far less those still to be read again.
    auto handled = [&] { return current - firstSector - outstanding; };
    // What the sector counter shows: the same, but never sectors past the device's end, which a
    // last whole block would otherwise count (17,000 sectors on a card of 16,384).
    auto shown = [&] {
        const std::uint64_t walked = (deviceEnd > 0 ? std::min(current, std::max(deviceEnd, firstSector)) : current) - firstSector;
        return walked > outstanding ? walked - outstanding : 0;
    };

    // Its buffers are given back once the device has been walked, before the work after the
    // scan (the pieces pass, the names) takes memory of its own.
    auto readAheadOwner = std::make_unique<TReadAhead>(Drive, kBlockSectors);
    TReadAhead& readAhead = *readAheadOwner;
    holdSeam_ = true;
    for (std::uint64_t k = 0; k < steps; ++k) {
        PumpMessages();
        if (sectorCount > 0)
            SetProgress(ProgressPosition(std::min<std::uint64_t>(handled(), sectorCount), sectorCount));
        if (StopRequested)
            break;
        if (skip > 0) {
            // The first pass leaves a failing area alone; the block is read again at the end.
            --skip;
            remember(current, current + kBlockSectors);
            current += kBlockSectors;
            continue;
        }
        const std::uint8_t* data = nullptr;
        const std::uint32_t n = readAhead.Read(current, kBlockSectors, data, [this] { PumpMessages(); });
        const std::uint64_t got = n / kSectorSize;
        // What the drive could deliver: a whole block, or up to the device's end.
        const std::uint64_t expected = current < deviceEnd ? std::min<std::uint64_t>(kBlockSectors, deviceEnd - current)
                                                           : std::uint64_t{kBlockSectors};
        // The next blocks are read while this one is examined. After a short read they are not:
        // the blocks after a failing area are left alone.
        for (std::uint64_t j = 1; got == expected && j <= TReadAhead::kAhead && k + j < steps; ++j) {
            const std::uint64_t next = current + j * kBlockSectors;
            if (next >= deviceEnd)
                break;
            readAhead.Prefetch(next, kBlockSectors);
        }
        if (got > 0) {
            ScanBytes(data, static_cast<std::uint16_t>(got), static_cast<std::int64_t>(current));
            if (BlockObserver)
                BlockObserver->BlockScanned(current, data, got);
        }
        if (got < expected) {
            // A failed read, or a short one that stopped at a bad sector: the rest of the
            // block waits for the sector-by-sector pass, and so do the next blocks.
            remember(current + got, current + kBlockSectors);
            // Sectors held back from the block before are examined with what they have.
            FlushSeam();
            ParkMeasures((current + got) * kSectorSize);
            skip = kSkipBlocksAfterError;
            // The sector the read stopped at failed: counted now, settled when it is read again.
            if (current + got < rangeEnd && failedFirstPass_.insert(current + got).second)
                ShowErrors(errorLabel);
        }
        current += kBlockSectors;
        if (foundLabel)
            foundLabel->SetCount(static_cast<std::int64_t>(FoundFiles.size()));
        if (sectorLabel)
            sectorLabel->SetCount(static_cast<std::int64_t>(shown()));
    }
    // The last block's held-back sectors: nothing follows them in this walk.
    holdSeam_ = false;
    FlushSeam();
    if (foundLabel)
        foundLabel->SetCount(static_cast<std::int64_t>(FoundFiles.size()));
    // A block read ahead of a stop is not wanted.
    readAhead.Cancel();
    if (!pending.empty() && !StopRequested) {
        // Counted as the first pass shows it: never sectors past the device's end.
        std::uint64_t done = shown();
        rescanning_ = true;
        RescanPending(readAhead, pending, sectorCount, done, foundLabel, sectorLabel, errorLabel);
    }
    readAheadOwner.reset();
    // A file still open ends with the scan: with the range, or with a stop, its end was not seen.
    CloseMeasures();
    if (!chainsToFollow_.empty()) {
        TChainMemo chains;
        for (std::size_t record : chainsToFollow_)
            if (record < FoundFiles.size())
                FoundFiles[record].Length = ContinuedLength(Drive, FoundFiles[record], &chains);
        chainsToFollow_.clear();
    }
    // Files found when a failing area was read again come after the others: restore the
    // order of the device.
    if (!pending.empty()) {
        // The samplers name their photos by place in the list, which is about to change; the
        // pass samples those photos itself.
        sampled_.clear();
        openSamples_.clear();
        std::stable_sort(FoundFiles.begin(), FoundFiles.end(),
                         [](const TFoundFile& a, const TFoundFile& b) { return a.StartSector < b.StartSector; });
    }
    MarkNestedFiles(FoundFiles);
    FragmentStats = {};
    if (ReassembleAfterScan && !StopRequested) {
        // Photos whose samples all passed while the scan held their blocks are not read again.
        TFragmentOptions options = FragmentOptions;
        for (std::int64_t start : SampledCleanPhotos())
            options.SampledClean.insert(start);
        FragmentStats = ReassembleFragments(*this, options);
    }
    RemnantStats = {};
    if (NamesFromRemnants)
        RemnantStats = remnants_.Apply(FoundFiles, [this](const TFoundFile& f, const std::vector<TPiece>& pieces,
                                                          std::uint64_t size) {
            return PiecesReadAsType(Drive, f, pieces, size, FragmentOptions.HeldSectors);
        });
    remnants_.Clear();
    CountByType();
}

void TScanEngine::RescanPending(TReadAhead& reader, const std::vector<TPendingRange>& pending,
                                std::uint64_t sectorCount, std::uint64_t& done, TCounterLabel* foundLabel,
                                TCounterLabel* sectorLabel, TCounterLabel* errorLabel) {
    int position = -1;
    auto showProgress = [&] {
        if (sectorCount == 0)
            return;
        const int p = ProgressPosition(std::min(done, sectorCount), sectorCount);
        if (p != position)
            SetProgress(position = p);
    };
    // Examines the run of sectors gathered in SectorBuffer, which starts at runStart.
    auto flush = [&](std::uint64_t runStart, std::uint32_t& filled) {
        if (filled > 0)
            ScanBlock(static_cast<std::uint16_t>(filled), static_cast<std::int64_t>(runStart));
        filled = 0;
        if (foundLabel)
            foundLabel->SetCount(static_cast<std::int64_t>(FoundFiles.size()));
        if (sectorLabel)
            sectorLabel->SetCount(static_cast<std::int64_t>(done));
    };
    // Each range lies within one block of the first pass, so the runs examined here end where
    // that pass's blocks ended and a file is measured over the same data it would have had.
    for (const TPendingRange& range : pending) {
        std::uint64_t runStart = range.First;
        std::uint32_t filled = 0;
        // A range that a failed read left behind starts with the sector counted as it failed;
        // the count stands for the first sector of the range that fails now, or is taken back
        // when the whole range reads.
        bool counted = failedFirstPass_.count(range.First) > 0;
        for (std::uint64_t s = range.First; s < range.First + range.Count; ++s) {
            PumpMessages();
            if (StopRequested)
                return;
            // Through the read-ahead, which reads nothing ahead here: a failing sector may take
            // the drive a long while, and the window stays alive meanwhile.
            const std::uint8_t* sector = nullptr;
            const std::uint32_t n = reader.Read(s, 1, sector, [this] { PumpMessages(); });
            ++done;
            if (n == kSectorSize) {
                std::memcpy(SectorBuffer.data() + std::size_t{filled} * kSectorSize, sector, kSectorSize);
                ++filled;
            } else {
                flush(runStart, filled);
                ++UnreadableSectors;
                if (counted) {
                    failedFirstPass_.erase(range.First);
                    counted = false;
                }
                ShowErrors(errorLabel);
                runStart = s + 1;
            }
            showProgress();
        }
        flush(runStart, filled);
        if (counted) {
            failedFirstPass_.erase(range.First);
            ShowErrors(errorLabel);
        }
    }
}

void TScanEngine::ShowErrors(TCounterLabel* errorLabel) {
    const std::int64_t errors = UnreadableSectors + static_cast<std::int64_t>(failedFirstPass_.size());
    if (errorLabel && errors != shownErrors_)
        errorLabel->SetCount(errors);
    shownErrors_ = errors;
}

void TScanEngine::CloseMeasures() {
    // A measure that may end with the bytes it has (a JPEG whose picture's end went by, a video
    // whose last chunk list ended) gives its length; any other leaves the record as it was.
    for (TOpenMeasure& open : openMeasures_) {
        open.Measure->Abandon();
        TakeMeasure(open);
        if (open.Measure->Status() != TMeasureStatus::Ended && open.Record < FoundFiles.size() &&
            TraitsOf(FoundFiles[open.Record].Type()).ChunkChain)
            chainsToFollow_.push_back(open.Record);
    }
    openMeasures_.clear();
}

bool TScanEngine::Measuring(std::size_t record) const {
    return std::any_of(openMeasures_.begin(), openMeasures_.end(),
                       [record](const TOpenMeasure& open) { return open.Record == record; });
}

void TScanEngine::TakeMeasure(TOpenMeasure& open) {
    if (open.Record >= FoundFiles.size())
        return;
    TFoundFile& rec = FoundFiles[open.Record];
    const TStreamMeasure& measure = *open.Measure;
    if (measure.Embedded().size() != open.Noted || measure.Status() == TMeasureStatus::Ended) {
        TakeMeasured(rec, measure);
        open.Noted = measure.Embedded().size();
    }
    if (measure.Status() == TMeasureStatus::Ended) {
        const std::int64_t length = measure.Length();
        if (rec.Length > 0 && length < rec.Length && rec.ClaimedLength < 0)
            rec.ClaimedLength = rec.Length;
        rec.Length = length;
        measure.Complete(rec);
    }
    nesting_.Changed(FoundFiles, open.Record);
}

void TScanEngine::ContinueMeasures(TBytes block, std::uint64_t blockByte) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < openMeasures_.size(); ++i) {
        TOpenMeasure& open = openMeasures_[i];
        TMeasureStatus status = TMeasureStatus::Failed;
        const std::uint64_t blockEnd = blockByte + block.size();
        const bool fed = open.Next >= blockByte && open.Next < blockEnd;
        if (open.Next >= blockEnd || (open.Parked && !rescanning_)) {
            status = TMeasureStatus::Open; // its bytes come later
        } else if (fed) {
            try {
                status = open.Measure->Feed(block.subspan(static_cast<std::size_t>(open.Next - blockByte)));
            } catch (...) {
                // A measure that fails on its data gives up; the file keeps an unknown length.
            }
        }
        TakeMeasure(open);
        if (status != TMeasureStatus::Open)
            continue;
        if (fed) {
            open.Next = blockEnd;
            open.Parked = false;
        }
        if (kept != i)
            openMeasures_[kept] = std::move(open);
        ++kept;
    }
    openMeasures_.resize(kept);
}

void TScanEngine::ParkMeasures(std::uint64_t byte) {
    for (TOpenMeasure& open : openMeasures_)
        if (open.Next == byte)
            open.Parked = true;
}

void TScanEngine::StartMeasure(TBytes data, std::uint64_t firstByte) {
    const std::size_t record = FoundFiles.size() - 1;
    // The recogniser's measure, fed this block already, goes on; a kind whose recogniser does
    // not measure starts one here.
    std::unique_ptr<TStreamMeasure> measure = TakeOpenMeasure(FoundFiles[record], data);
    if (openMeasures_.size() >= kMaxOpenMeasures) {
        if (TraitsOf(FoundFiles[record].Type()).ChunkChain)
            chainsToFollow_.push_back(record);
        return;
    }
    TMeasureStatus status = TMeasureStatus::Open;
    if (!measure) {
        measure = StartStreamMeasure(FoundFiles[record]);
        if (!measure)
            return;
        status = measure->Feed(data);
    }
    TOpenMeasure open{record, firstByte + data.size(), std::move(measure)};
    TakeMeasure(open);
    if (status == TMeasureStatus::Open)
        openMeasures_.push_back(std::move(open));
}

void TScanEngine::StartSampling(TBytes data, std::uint64_t firstByte) {
    if (openSamples_.size() >= kMaxOpenMeasures)
        return;
    TSampledPhoto photo;
    photo.Record = FoundFiles.size() - 1;
    if (!photo.Sampler.Begin(firstByte, data, sampleGeometry_))
        return;
    const TFoundFile& f = FoundFiles[photo.Record];
    const std::uint64_t end = LengthKnown(f.Length) ? firstByte + static_cast<std::uint64_t>(f.Length) : 0;
    if (photo.Sampler.Feed(data, firstByte, end))
        openSamples_.push_back(sampled_.size());
    sampled_.push_back(std::move(photo));
}

void TScanEngine::SampleBlock(TBytes block, std::uint64_t blockByte) {
    std::erase_if(openSamples_, [&](std::size_t place) {
        TSampledPhoto& photo = sampled_[place];
        const TFoundFile& f = FoundFiles[photo.Record];
        const std::uint64_t start = static_cast<std::uint64_t>(f.StartSector) * kSectorSize;
        const std::uint64_t end = LengthKnown(f.Length) ? start + static_cast<std::uint64_t>(f.Length) : 0;
        return !photo.Sampler.Feed(block, blockByte, end);
    });
}

TSectorSet TScanEngine::SampledCleanPhotos() const {
    TSectorSet clean;
    for (const TSampledPhoto& photo : sampled_) {
        if (photo.Record >= FoundFiles.size())
            continue;
        const TFoundFile& f = FoundFiles[photo.Record];
        if (!LengthKnown(f.Length) || f.StartSector < 0)
            continue;
        const std::uint64_t start = static_cast<std::uint64_t>(f.StartSector) * kSectorSize;
        if (photo.Sampler.Clean(start + static_cast<std::uint64_t>(f.Length)))
            clean.insert(f.StartSector);
    }
    return clean;
}

std::size_t TScanEngine::NextCandidate(TBytes block, std::size_t i) const {
    const std::size_t sectors = block.size() / kSectorSize;
    const std::uint8_t* const data = block.data();
    const std::uint64_t* const mask = startMask_.data();
    const std::uint32_t* const tags = boxTags_.data();
    const std::size_t tagCount = boxTags_.size();
    for (; i < sectors; ++i) {
        const std::uint8_t* const s = data + i * kSectorSize;
        // Decided without a branch on the data: whether a sector starts with a zero byte is as
        // good as random on a card, and a mispredicted branch costs more than the tests.
        const unsigned start = (unsigned{s[0]} << 8) | s[1];
        const std::uint32_t tag = (std::uint32_t{s[4]} << 24) | (std::uint32_t{s[5]} << 16) |
                                  (std::uint32_t{s[6]} << 8) | s[7];
        bool boxed = false;
        for (std::size_t k = 0; k < tagCount; ++k)
            boxed |= tags[k] == tag;
        const bool starts = ((mask[start / 64] >> (start % 64)) & 1) != 0;
        if (starts | (boxed & (s[0] == 0)))
            return i;
    }
    return sectors;
}

void TScanEngine::ScanBlock(std::uint16_t sectorsRead, std::int64_t blockStart) {
    ScanBytes(SectorBuffer.data(), sectorsRead, blockStart);
}

void TScanEngine::ScanBytes(const std::uint8_t* bytes, std::uint16_t sectorsRead, std::int64_t blockStart) {
    const std::size_t limit = std::min<std::size_t>(sectorsRead, kBlockSectors);
    const TBytes block(bytes, limit * kSectorSize);
    const std::uint64_t blockByte = static_cast<std::uint64_t>(blockStart) * kSectorSize;
    // Photos whose measures gather the bytes after their pictures keep this block's between
    // them, one copy however many they are.
    TSharedBlock shared(block);
    const TSharedBlockScope sharing(&shared);
    // The last block's held-back sectors come first, with this block's first sectors after
    // them when it follows on: their files are found before this block continues the others.
    if (seamHeld_ > 0)
        ExamineSeam(seamSector_ + seamHeld_ == static_cast<std::uint64_t>(blockStart) ? block : TBytes{});
    if (!openMeasures_.empty())
        ContinueMeasures(block, blockByte);
    if (!openSamples_.empty())
        SampleBlock(block, blockByte);
    if (NamesFromRemnants)
        remnants_.Block(block, blockByte);
    // In the walk over whole blocks, a sector near the block's end that some recogniser may
    // accept waits for the next block, and so do the sectors after it.
    std::size_t examined = limit;
    if (holdSeam_ && limit == kBlockSectors) {
        const std::size_t held = NextCandidate(block, limit - kSeamSectors);
        if (held < limit) {
            seam_.assign(block.begin() + static_cast<std::ptrdiff_t>(held * kSectorSize), block.end());
            seamSector_ = static_cast<std::uint64_t>(blockStart) + held;
            seamHeld_ = limit - held;
            examined = held;
        }
    }
    ExamineSectors(block, examined, blockStart);
}

void TScanEngine::ExamineSeam(TBytes next) {
    const std::size_t held = seamHeld_;
    seamHeld_ = 0;
    const std::size_t take = std::min<std::size_t>(next.size(), std::size_t{kSeamSectors} * kSectorSize);
    seam_.insert(seam_.end(), next.begin(), next.begin() + static_cast<std::ptrdiff_t>(take));
    ExamineSectors(TBytes(seam_.data(), seam_.size()), held, static_cast<std::int64_t>(seamSector_));
    seam_.clear();
}

void TScanEngine::ExamineSectors(TBytes data, std::size_t sectors, std::int64_t firstSector) {
    TFoundFile& rec = scratch_;
    rec.Reset();
    bool recTouched = false;
    const std::uint64_t firstByte = static_cast<std::uint64_t>(firstSector) * kSectorSize;
    // Candidates are looked for among the sectors to examine alone; each is shown data to its end.
    const TBytes examined = data.first(std::min(data.size(), sectors * kSectorSize));
    // Sectors that no recogniser may accept are passed over without touching the record.
    for (std::size_t i = NextCandidate(examined, 0); i < sectors; i = NextCandidate(examined, i + 1)) {
        try {
            // The record is reset before every sector; one that no recogniser saw is still empty.
            if (recTouched) {
                rec.Reset();
                recTouched = false;
            }
            if (StopRequested)
                return;
            const TBytes rest = data.subspan(i * kSectorSize);
            recTouched = true;
            for (const TRecogniserEntry& r : recognisers_) {
                const TBytes view = r.SectorOnly ? rest.first(kSectorSize) : rest;
                if (r.Recognise(view, rec)) {
                    AddFoundFile(rec, firstSector + static_cast<std::int64_t>(i));
                    // Its end lies past the data: measure on as the next blocks come. A
                    // video's claimed length is checked against its chunks the same way.
                    if ((rec.Length == kUnknownLength || TraitsOf(rec.Type()).Measure == TLengthMeasure::Avi) &&
                        view.size() == rest.size())
                        StartMeasure(rest, firstByte + i * kSectorSize);
                    if (sampling_ && rec.Type() == TFileType::Jpeg)
                        StartSampling(rest, firstByte + i * kSectorSize);
                    break;
                }
            }
        } catch (...) {
            // A sector whose examination fails is abandoned silently; the scan goes on.
        }
    }
}

} // namespace lumivore
