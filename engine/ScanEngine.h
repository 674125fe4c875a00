#pragma once
// The scan engine: owns the open device, the list of found files and the sector buffer, and
// runs the long operations (scan, read-back, thumbnails, recovery) on the caller's thread. The
// scan has its blocks read ahead on a thread of its own (device/ReadAhead.h); everything it
// does with them happens on the caller's thread.

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <vector>

#include "device/DskLib.h"
#include "engine/EngineHooks.h"
#include "engine/FoundFile.h"
#include "engine/Fragments.h"
#include "engine/Nesting.h"
#include "engine/Remnants.h"
#include "formats/LengthPolicy.h"
#include "formats/Recognisers.h"
#include "formats/StreamMeasure.h"
#include "support/MemoryStream.h"

namespace lumivore {

class TBitmap;
class TReadAhead;

inline constexpr std::uint32_t kSectorSize = 512;
inline constexpr std::uint32_t kBlockSectors = 1000;
inline constexpr std::uint32_t kSectorBufferSize = kBlockSectors * kSectorSize; // 512,000
inline constexpr std::uint32_t kSectorsPerMegabyte = 2048;
// The highest sector number whose bytes a 64-bit file offset can reach; sector numbers and
// counts are 64-bit everywhere so that disks beyond 2 TiB are read to their end.
inline constexpr std::uint64_t kLargestSectorNumber = static_cast<std::uint64_t>(INT64_MAX) / kSectorSize;
// Blocks the first pass of a scan leaves alone after a read error (read again at the end).
inline constexpr std::uint32_t kSkipBlocksAfterError = 30;
// Files whose end the scan follows into later blocks at one time. A file inside a file makes
// two or three; more than this means the data is not what it seems, and the files found then
// keep the length their first block gave them.
inline constexpr std::size_t kMaxOpenMeasures = 64;
// The least a recogniser is shown from a sector on during a scan's walk over whole blocks:
// a sector among a block's last kSeamSectors is examined once the next block has come, with
// the next block's first kSeamSectors after it. A file that starts near a block's end is then
// judged on as much of its header as one in the block's middle (a raw's directories, a
// JPEG's frame header behind its metadata), not on the few sectors left in its block.
inline constexpr std::uint32_t kSeamSectors = 256;

class TScanEngine {
public:
    // Builds an idle engine with a closed drive; reads DefaultSize from the settings store.
    TScanEngine();
    ~TScanEngine();
    TScanEngine(const TScanEngine&) = delete;
    TScanEngine& operator=(const TScanEngine&) = delete;

    // Makes that device the engine's device and empties FoundFiles. True when it opened.
    bool OpenDrive(std::uint8_t code);
    void StopScan() { StopRequested = true; }
    void ClearFoundFiles() {
        FoundFiles.clear();
        openMeasures_.clear();
        chainsToFollow_.clear();
        nesting_.Clear();
        remnants_.Clear();
    }
    // Stores the start sector into rec, then appends a copy of it to FoundFiles.
    void AddFoundFile(TFoundFile& rec, std::int64_t startSector);
    // Recounts FoundFiles into GeneralCounts and MakerCounts.
    void CountByType() const;

    // Walks sectors [firstSector, firstSector + sectorCount) block by block and records every
    // file that begins at a sector, each judged on at least kSeamSectors sectors from it where
    // the device has them. A block that cannot be read makes the first pass skip the
    // next kSkipBlocksAfterError blocks, so that a failing area is not hammered; every range
    // skipped or cut short by a read error is read again sector by sector once the first pass
    // is over, and every sector that reads is examined. The error label counts the sectors
    // that could not be read at all. Each label may be null.
    void Scan(std::uint64_t firstSector, std::uint64_t sectorCount, TCounterLabel* foundLabel,
              TCounterLabel* sectorLabel, TCounterLabel* errorLabel);
    // Sectors of the last scan that could not be read.
    std::int64_t UnreadableSectors = 0;
    // Examines the first sectorsRead sectors of SectorBuffer, which start at blockStart. A file
    // found there whose end lies past the block stays open: the blocks handed to the following
    // calls continue its measure, as long as they follow on without a gap.
    void ScanBlock(std::uint16_t sectorsRead, std::int64_t blockStart);
    // Files whose measure is still open.
    std::size_t OpenMeasures() const { return openMeasures_.size(); }
    // Whether the scan is still measuring the file at this index of FoundFiles: its length may
    // still change.
    bool Measuring(std::size_t record) const;
    // Ends every open measure; their files keep an unknown length. Scan calls it at its end.
    void CloseMeasures();

    // Reading found files back (preview/FoundFileReader.cpp).
    void ReadSectors(std::uint8_t* destination, std::uint32_t sectorCount, std::int64_t startSector);
    bool LoadFoundFile(TFoundFile& file, TMemoryStream& stream);
    bool ReadThumbnailRange(const TFoundFile& file, TMemoryStream& stream);

    // Pictures (preview/Thumbnails.cpp): a framed 95 x 95 thumbnail, or null; the full picture.
    std::unique_ptr<TBitmap> MakeThumbnail(TFoundFile& file);
    bool LoadPreview(TFoundFile& file, TBitmap& target);

    TFoundFileList FoundFiles;
    TDrive Drive;
    TProgressBar* ProgressBar = nullptr; // not owned
    TMessagePump* MessagePump = nullptr; // not owned; null = nothing to pump
    TBlockObserver* BlockObserver = nullptr; // not owned; shown every block the scan reads
    // Photos that a used card split into pieces are put back together at the end of every scan
    // that was not stopped (engine/Fragments.h); off, the found files stay as the scan saw them.
    bool ReassembleAfterScan = true;
    TFragmentOptions FragmentOptions;
    TFragmentStats FragmentStats; // what the pass did after the last scan
    // Names, folders, dates and sizes from the file system's remnants (engine/Remnants.h), read
    // from the blocks as the scan passes them and given to the found files at its end.
    bool NamesFromRemnants = true;
    TRemnantStats RemnantStats; // what they gave after the last scan
    std::int32_t DefaultSize = 1024;     // kilobytes
    // Page-aligned: the kernel copies into an aligned buffer markedly faster.
    alignas(4096) std::array<std::uint8_t, kSectorBufferSize> SectorBuffer{};
    bool StopRequested = false;
    bool Busy = false;
    // The recognisers offered each sector, in order; tests substitute their own with
    // SetRecognisers.
    std::span<const TRecogniserEntry> Recognisers() const { return recognisers_; }
    void SetRecognisers(std::span<const TRecogniserEntry> recognisers);

private:
    // ScanBlock over sectorsRead sectors at bytes, which hold the block starting at blockStart.
    void ScanBytes(const std::uint8_t* bytes, std::uint16_t sectorsRead, std::int64_t blockStart);
    // Offers each of the first `sectors` sectors of data (the first one being device sector
    // firstSector) that some recogniser may accept, with the bytes of data from it to data's
    // end, to the recognisers; records what they accept.
    void ExamineSectors(TBytes data, std::size_t sectors, std::int64_t firstSector);
    // The sectors a whole block's walk held back at its end (kSeamSectors): seam_ holds them
    // from seamSector_ on, seamHeld_ of them, 0 when none wait. ExamineSeam examines them with
    // the first sectors of next after them (next is empty when the block that follows them
    // did not come: an unreadable block, the scan's end); FlushSeam, when some wait.
    bool holdSeam_ = false; // only in the scan's first walk, whose blocks follow each other
    std::vector<std::uint8_t> seam_;
    std::uint64_t seamSector_ = 0;
    std::size_t seamHeld_ = 0;
    void ExamineSeam(TBytes next);
    void FlushSeam() {
        if (seamHeld_ > 0)
            ExamineSeam({});
    }
    void PumpMessages() {
        if (MessagePump)
            MessagePump->ProcessMessages();
    }
    void SetProgress(int position) {
        if (ProgressBar)
            ProgressBar->SetPosition(position);
    }
    // Sectors [First, First + Count) that the first pass of a scan did not examine.
    struct TPendingRange {
        std::uint64_t First = 0;
        std::uint64_t Count = 0;
    };
    // The sectors at which a read of the first pass stopped, not read again yet: the error
    // label counts them at once, so that it moves as the scan meets a failing area, and the
    // sector-by-sector pass either confirms them (UnreadableSectors) or takes them back.
    std::set<std::uint64_t> failedFirstPass_;
    std::int64_t shownErrors_ = 0;
    // Shows UnreadableSectors plus the first-pass failures still to be read again, when that
    // differs from what the label shows.
    void ShowErrors(TCounterLabel* errorLabel);
    // Reads the pending ranges again one sector at a time, through reader, and examines what
    // reads. done counts the sectors handled so far, for the labels and the bar.
    void RescanPending(TReadAhead& reader, const std::vector<TPendingRange>& pending, std::uint64_t sectorCount,
                       std::uint64_t& done, TCounterLabel* foundLabel, TCounterLabel* sectorLabel,
                       TCounterLabel* errorLabel);
    // A found file whose end lies in blocks still to come: its record in FoundFiles (by index,
    // as the list grows), the device byte its measure expects next, and the measure.
    struct TOpenMeasure {
        std::size_t Record = 0;
        std::uint64_t Next = 0;
        std::unique_ptr<TStreamMeasure> Measure;
        // Its next bytes could not be read in the first pass and wait for the second.
        bool Parked = false;
        // Embedded runs of the measure already noted in the record.
        std::size_t Noted = 0;
    };
    // Videos whose chunks the scan could not follow to their end (no room for another open
    // measure, or the scan ended inside them): their further "RIFF"/"AVIX" chunks are followed
    // on the device at the scan's end, reading only their headers.
    std::vector<std::size_t> chainsToFollow_;
    // Notes in the record what its measure learned so far: the embedded runs its structure
    // named, and once it ended, the length. A length the measure finds shorter than the one the
    // header claimed cuts the claim there (an AVI whose chunks break off).
    void TakeMeasure(TOpenMeasure& open);
    // Photos sampled as the scan streams past them (see TJpegSampler), so that the pass after
    // the scan need not read those whose samples all pass: the record, and its sampler.
    struct TSampledPhoto {
        std::size_t Record = 0;
        TJpegSampler Sampler;
    };
    std::vector<TSampledPhoto> sampled_;
    // The places in sampled_ of the photos still sampled: at most kMaxOpenMeasures, where
    // sampled_ grows with the card.
    std::vector<std::size_t> openSamples_;
    TClusterGeometry sampleGeometry_;
    bool sampling_ = false;
    // Starts sampling the photo just added, from its first byte in data; takes the samples of a
    // block for every photo still sampled; after the scan, the photos whose samples all passed.
    void StartSampling(TBytes data, std::uint64_t firstByte);
    void SampleBlock(TBytes block, std::uint64_t blockByte);
    TSectorSet SampledCleanPhotos() const;
    // Hands the block to every open measure that it continues, from the byte the measure
    // expects next (a file found among held-back sectors was fed the block's first sectors
    // already). A measure that expects bytes further on waits; one whose next bytes the block
    // has passed over has lost its data and is closed, unless it is parked until the second
    // pass reads them again.
    void ContinueMeasures(TBytes block, std::uint64_t blockByte);
    // Parks the measures whose next byte is at byte: the first pass could not read it.
    void ParkMeasures(std::uint64_t byte);
    bool rescanning_ = false;
    // Starts a measure for the record just appended, whose first bytes are data.
    void StartMeasure(TBytes data, std::uint64_t firstByte);
    std::vector<TOpenMeasure> openMeasures_;
    // Nesting judged as records come and learn their runs and lengths, so that it is known
    // while the scan runs (recovery in the same pass writes by it); the scan's end judges it
    // again over the whole list.
    TNestingIndex nesting_;
    TRemnants remnants_;
    TFoundFile scratch_; // reused for every sector, so that a scan allocates only found records
    std::span<const TRecogniserEntry> recognisers_;
    // One bit per possible pair of first bytes: set when some recogniser may accept a sector
    // that starts so. Most sectors of a card start otherwise and are passed over at once.
    std::vector<std::uint64_t> startMask_;
    // Types at bytes 4-7 that let a sector starting with a zero byte through (box-structured
    // formats, TRecogniserEntry::Tags).
    std::vector<std::uint32_t> boxTags_;
    // The first sector of the block from i on that some recogniser may accept (by startMask_
    // and boxTags_), or the block's sector count. Most sectors start no file: each costs two
    // loads and a bit test, with no call, so the loads of many sectors overlap.
    std::size_t NextCandidate(TBytes block, std::size_t i) const;
};

} // namespace lumivore
