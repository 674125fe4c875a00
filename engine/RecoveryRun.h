#pragma once
// Internal to the recovery files (engine/Recovery*.cpp), not part of the engine's interface
// (engine/Recovery.h): the run that writes chosen files one at a time, which recovery after the
// scan and recovery during it share, and the helpers both of them use.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "device/DskLib.h"
#include "engine/DeviceMeasure.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "engine/SectorSpill.h"
#include "formats/LengthPolicy.h"
#include "support/OutputDir.h"

namespace lumivore::detail {

// First window read to measure a file of unknown length; it doubles up to the length limit.
// The measures that need a window find what they read in the file's first 50 MiB (a TIFF
// raw's directories, a JPEG's segments), however far the strips or streams they count reach.
inline constexpr std::uint64_t kFirstMeasureWindow = 1u << 20;
inline constexpr std::uint32_t kMeasureCeiling = static_cast<std::uint32_t>(kFileLengthLimit);
// A file is written in blocks of one scan block: memory stays at one block whatever its length.
inline constexpr std::size_t kWriteBlock = kSectorBufferSize;
// At most this much of the device is kept on the destination at once (and never more than a
// quarter of the space free there when recovery starts).
inline constexpr std::uint64_t kSpillLimit = 4ull << 30;

// Device bytes that one file's recovery read and the next one may use: files are handled in
// start-sector order, so what measuring a file read past its end, or the last block it
// streamed, is often where the next file begins. Nearby files are thus read in one sweep.
struct TSweep {
    std::vector<std::uint8_t> Bytes;       // whole sectors from FirstSector on
    std::uint64_t FirstSector = 0;
    std::vector<std::uint64_t> Unreadable; // sectors among them that were zero-filled
    std::uint8_t Code = 0;                 // the device they came from
    TDeviceHandle Handle = kInvalidHandle;
};

// Sectors that could not be read while a file was read for writing: how many, the first, and
// which.
struct TUnreadableSectors {
    std::uint32_t Count = 0;
    std::int64_t First = -1;
    std::vector<std::uint64_t> Sectors;
    void Note(std::uint64_t sector) {
        Sectors.push_back(sector);
        if (Count++ == 0 || static_cast<std::int64_t>(sector) < First)
            First = static_cast<std::int64_t>(sector);
    }
};

// Reads count sectors from sector into dest: from the scan's window when it still holds them,
// or from the sectors a measure kept, else from the engine's drive. A run the device refuses is
// read again sector by sector; a sector that still cannot be read is zero-filled and noted.
void ReadZeroFilling(TScanEngine& engine, const TScanWindow* window, const TSectorSpill* measured, std::uint64_t sector,
                     std::uint32_t count, std::uint8_t* dest, TUnreadableSectors& unreadable);

// Reads one found file's bytes for the run (engine/RecoveryRun.cpp).
class TFileSource;

// What happened to one file, and whether the run must end because of it.
struct TFileOutcome {
    bool Fatal = false;
    std::string Message;
    bool Stop = false; // Stop was asked for in the middle of the file
    bool NoSpace = false; // the destination is full
};

class TRecoveryRun {
public:
    TRecoveryRun(TScanEngine& engine, const TRecoveryRequest& request, TOutputDir& dest,
                 TRecoveryResult& result)
        : engine_(engine), request_(request), dest_(dest), result_(result) {}

    void Run();

private:
    void SetProgress(std::size_t done, std::size_t total);

    // Moves the bar within the current file as its bytes are written: a long video is not a
    // frozen bar.
    void SetProgressWithin(std::uint64_t part, std::uint64_t whole);

    void Show(int position);

    void Count(const TRecoveryEntry& e) { Tally(e, 1); }

public:
    // Takes a file handled before out of the counts, to be handled again or left unwritten, and
    // counts it again once its status changed.
    void Uncount(const TRecoveryEntry& e) { Tally(e, -1); }
    void Recount(const TRecoveryEntry& e) { Tally(e, 1); }

private:
    void Tally(const TRecoveryEntry& e, int step);

    static TFileOutcome Changed(TRecoveryEntry& e);

    // Measures the file as its bytes are read from the device: its kind's measure takes each
    // byte once. The first kKeptWhileMeasuring bytes are kept for the writing; past them the
    // measure is fed a block at a time and nothing is kept,
    // so memory stays bounded however far a measure reads. A kind measured by its recogniser
    // over the bytes at hand has them kept, up to the length limit. -1 when its end is not
    // found within the length limit or the device.
    std::int64_t MeasureFromDevice(const TFoundFile& f, TFileSource& src);

    // The length of the file whose first bytes src reads, or -1; says how it was found.
    std::int64_t DetermineLength(const TFoundFile& f, TFileSource& src, TLengthSource& source);

    // Writes the file that f records (the entry's, as it stands now).
    TFileOutcome RecoverOne(TRecoveryEntry& e, const TFoundFile& f);

public:
    // Where recently scanned sectors are read from instead of the device; may be null.
    void SetWindow(const TScanWindow* window) { window_ = window; }

    // Handles one chosen file on its own (recovery during a scan), counting it. A pending file
    // is written under a temporary name (TRecoveryEntry::Temporary) until NamePending.
    TFileOutcome HandleOne(TRecoveryEntry& e, const TFoundFile& f, bool pending = false);

    // Gives a file written pending its final name. A failure to name it ends the run as a
    // failing destination would.
    TFileOutcome NamePending(TRecoveryEntry& e, const TFoundFile& f);

    // Moves a file written under a plain name to its original folder and name.
    TWriteResult MoveOriginal(const std::string& from, const TFoundFile& f, bool damaged);

    TOutputDir& Dest() { return dest_; }

private:
    // The name a recovered file is given: with a suffix when the first is taken, and marked when
    // sectors of it could not be read.
    static std::string FinalName(const TFoundFile& f, bool damaged, int suffix);

    bool pending_ = false;
    TChainMemo chains_; // the AVI chains followed in this run
    const TScanWindow* window_ = nullptr;
    TScanEngine& engine_;
    const TRecoveryRequest& request_;
    TOutputDir& dest_;
    TRecoveryResult& result_;
    std::vector<std::uint8_t> buffer_; // what measuring a file read of it
    std::vector<std::uint8_t> block_;  // one block of a file being streamed
    std::vector<std::uint8_t> measureRun_; // one block of a file being measured past what is kept
    TSectorSpill measured_{kSpillLimit};   // what measuring read past it, for the writing
    TSweep sweep_;                     // what the last file read, for the next
    std::size_t current_ = 0;          // the file being handled, for the bar
    int shown_ = -1;                   // the bar's last position
};

// For each chosen nested file, the name under which the file holding it is recovered.
void NameEnclosingFiles(TRecoveryResult& result);

// Opens the destination, refusing one that lies on the examined device; false with message when
// it cannot be used.
bool PrepareDestination(const TScanEngine& engine, const TRecoveryRequest& request, TOutputDir& dest,
                        std::string& message);

// Writes the report beside the files; a failure is added to the result's message.
void WriteReport(TOutputDir& dest, TRecoveryResult& result);
// The same for count files whose k-th line lineOf(k) gives (asked twice for each: once when the
// report's size is counted, once when it is written).
void WriteReport(TOutputDir& dest, TRecoveryResult& result, std::size_t count,
                 const std::function<std::string(std::size_t)>& lineOf);
// The report's line for one chosen file.
std::string ReportLine(const TRecoveryEntry& e, const TFoundFile& f);
// What the report says a nested file lies inside: the name the file holding it is recovered
// under, or its start sector when that file is not among the found ones (holder null).
std::string EnclosingName(const TFoundFile* holder, std::int64_t nestedIn);

} // namespace lumivore::detail
