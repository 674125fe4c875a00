#pragma once
// Recovery: writes chosen found files from the examined device into a destination folder,
// whole and byte-exact. One operation serves both windows: the main window hands it the
// checked type rows, the preview window the selected records.
//
// Each file's length is the one the scan measured when it is known (an AVI that goes on in
// further RIFF chunks is followed through their headers on the device); otherwise it is
// measured again from the device as far as 50 MiB from its start, keeping only its first
// megabyte in memory (what it read past that is kept on the destination drive for the
// writing), and only a file whose end still cannot be found is written with DefaultSize
// kilobytes (or abandoned when DefaultSize is 0). Files stream from the device in blocks, so a
// file of gigabytes takes no more memory than a block; the bar moves and Stop is noticed
// within it.
// A JPEG whose multi-picture index names appended preview images is written up to the end of
// the last of them. Files are written under a temporary name, flushed and renamed, so a stop,
// a full disk or a crash never leaves a half-written file under a final name; nothing already
// in the destination is overwritten, and the examined device is only ever read.

#include <array>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <deque>
#include <vector>

#include "engine/EngineHooks.h"
#include "engine/FileTypes.h"
#include "engine/FoundFile.h"
#include "engine/SectorSpill.h"
#include "formats/ByteOrder.h"
#include "formats/LengthPolicy.h"
#include "support/BlockDevices.h"
#include "support/OutputDir.h"

namespace lumivore {

class TScanEngine;

// Which found files to write: by type (general rows by FormatIndex, camera rows by MakerIndex
// and phone and video rows by PhoneIndex, as the main window's check list gives them; a file
// that counts in several tables is chosen when any of its rows is checked, and written once) or by record (indexes into FoundFiles,
// as the preview window's selection gives them).
struct TRecoverySelection {
    std::array<bool, kGeneralTypeCount> General{};
    std::array<bool, kMakerTypeCount> Makers{};
    std::array<bool, kPhoneTypeCount> Phones{};
    std::vector<std::size_t> Records;
    bool ByRecords = false;
    // By type, files that lie inside another found file (FoundFile's NestedIn) are left out
    // unless this is set; records chosen one by one are always written.
    bool IncludeNested = false;

    static TRecoverySelection Types(const std::array<bool, kGeneralTypeCount>& general,
                                    const std::array<bool, kMakerTypeCount>& makers,
                                    const std::array<bool, kPhoneTypeCount>& phones = {});
    static TRecoverySelection AllTypes();
    static TRecoverySelection Files(std::vector<std::size_t> indexes);
};

// Where a path's file system lives, which block devices make up the examined device (the
// device itself, its partitions and anything stacked on them), and where the mount table and
// sysfs are read. Empty members use the real system; tests substitute their own.
struct TDeviceProbe {
    std::function<std::optional<dev_t>(const std::string& path)> FileSystemDevice;
    std::function<std::vector<dev_t>()> ExaminedDevices;
    TSystemTables Tables;
};

// What the engine's open device is, for refusing a destination that lies on it: its block
// devices (for a disk image, the loop devices that serve it) and, for an image, the file.
TExaminedSource ExaminedSourceOf(const TScanEngine& engine, const TDeviceProbe& probe = {});

struct TRecoveryRequest {
    TRecoverySelection Selection;
    std::string Destination;
    TProgressBar* Progress = nullptr;        // positions 0 to 100, by files done; may be null
    TCounterLabel* RecoveredLabel = nullptr; // files written whole; may be null
    TCounterLabel* FailedLabel = nullptr;    // files failed or abandoned; may be null
    TDeviceProbe Probe;
    // Files that an entry of the card's file system named (TFoundFile::OriginalName) are written
    // under that name inside its folder below the destination (their folder unknown: at the
    // top), made safe (SafePathComponent); a name taken gets a suffix, nothing is overwritten.
    // The others keep the sector name.
    bool OriginalNames = false;
};

enum class TRecoveryStatus : std::uint8_t { Recovered, Failed, Abandoned, NotWritten };

// How the written length was found.
// Entry: the size a folder entry or file record of the card's file system states
// (TFoundFile::UseEntrySize).
enum class TLengthSource : std::uint8_t { Known, Measured, DefaultSize, None, Entry };

struct TRecoveryEntry {
    std::size_t Index = 0;   // into FoundFiles (TRecoveryResult::Records)
    std::int64_t StartSector = -1; // the file's start sector, which tells its record
    TRecoveryStatus Status = TRecoveryStatus::NotWritten;
    TLengthSource Source = TLengthSource::None;
    bool NamedOriginally = false; // Name is the file's original name (TRecoveryRequest::OriginalNames)
    bool Damaged = false;    // written with sectors that could not be read as zeros
    std::string Name;        // file name in the destination (a path below it when the file got
                             // its original name and folder); empty when nothing was written
    std::string Detail;      // why it failed, was abandoned or not written, or how it was measured
    std::string Enclosing;   // for a nested file, the name the file holding it is recovered under
    // Recovery in the same pass as the scan: a photo that the check for pieces after the scan
    // may still change is written under this temporary name, and given its final one (Name)
    // once that check has left it as it was. Empty otherwise.
    std::string Temporary;
    std::int64_t Length = -1;       // the file's length as determined, -1 when unknown
    std::uint64_t BytesWritten = 0;
    // Recovery in the same pass as the scan: what the record said of the file's extent when it
    // was written, so that a change the pass after the scan makes to it is seen.
    struct TWrittenAs {
        std::int64_t Length = -1;
        std::int64_t NestedIn = -1;
        bool Incomplete = false;
        std::vector<TPiece> Pieces;
        static TWrittenAs Of(const TFoundFile& f) { return {f.Length, f.NestedIn, f.Incomplete, f.Pieces}; }
        bool operator==(const TWrittenAs&) const = default;
    } WrittenAs;
};

struct TRecoveryResult {
    int Recovered = 0;
    int Failed = 0;
    int Abandoned = 0;
    int NotWritten = 0;
    std::uint64_t BytesWritten = 0;
    bool Started = false;  // false when the run was refused before anything was written
    bool Stopped = false;  // ended before every chosen file was handled (Stop, or Message)
    std::string Message;   // why the run was refused or stopped early; empty otherwise
    std::string ReportPath; // the report written beside the files; empty when none
    // Every chosen file, in the order they were handled; empty after recovery in the same pass
    // as the scan, which keeps them on the destination (TRecoveryDuringScan::ForEachEntry).
    std::deque<TRecoveryEntry> Files;
    // The found files the entries were chosen from: the engine's FoundFiles. An entry does not
    // copy its record (a card of many thousand files would hold each one twice); the records
    // stay valid while the engine's list is unchanged, until the next scan.
    const TFoundFileList* Records = nullptr;

    // The record of an entry's file: the one at its Index, else the one that starts where it
    // does; an empty record when the list holds neither.
    const TFoundFile& FileOf(const TRecoveryEntry& e) const;
};

// Writes the chosen files of engine.FoundFiles into request.Destination. Refuses to start (with
// a message and nothing written) while the engine is Busy, when no device is open, and when the
// destination is unusable or lies on the examined device. Sets Busy while it runs, lets the
// engine's MessagePump run between files and during long reads, and ends after the current file
// once StopRequested is set. Never throws, never prints.
TRecoveryResult Recover(TScanEngine& engine, const TRecoveryRequest& request);

// The checks Recover makes before it writes anything, on their own, for a caller that wants to
// refuse a destination before a long scan: creates the folder when it is missing. True when the
// destination can be used; otherwise message says why.
bool CheckRecoveryDestination(const TScanEngine& engine, const TRecoveryRequest& request, std::string& message);

// The sectors a scan read last, kept in memory so that files can be written as the scan streams
// past them without reading the device again. A circular buffer of a fixed number of sectors;
// a block that does not follow the last one starts it afresh. The sectors it lets go of are
// handed to Evicted first, when set, so that what a waiting file still needs can be kept
// elsewhere; Copy reads those from Spill.
class TScanWindow {
public:
    explicit TScanWindow(std::uint64_t sectors);
    void Append(std::uint64_t firstSector, const std::uint8_t* data, std::uint64_t sectors);
    // Copies sectors [first, first + count) into dest when the window, or the spill for the
    // sectors it let go of, holds them all.
    bool Copy(std::uint64_t first, std::uint64_t count, std::uint8_t* dest) const;
    // The bytes held in memory from device byte offset on, up to the ring's wrap or the last
    // sector read: empty when the window does not hold that byte. Valid until the next Append.
    TBytes BytesAt(std::uint64_t offset) const;
    // The sector after the last one held; 0 when empty.
    std::uint64_t End() const { return end_; }

    std::function<void(std::uint64_t first, std::uint64_t count, const std::uint8_t* data)> Evicted;
    const TSectorSpill* Spill = nullptr;

private:
    bool CopyHeld(std::uint64_t first, std::uint64_t count, std::uint8_t* dest) const;
    void Evict(std::uint64_t first, std::uint64_t count);

    // Allocated, not filled: pages are only taken as the scan reaches them, so a small card
    // costs no more than its size.
    std::unique_ptr<std::uint8_t[]> ring_;
    std::uint64_t capacity_ = 0; // sectors
    std::uint64_t held_ = 0;     // sectors held, ending at end_
    std::uint64_t end_ = 0;
};

// Recovery in the same pass as the scan: set as the engine's BlockObserver, it keeps the last
// 8 MiB the scan read and writes each chosen file once the scan has passed its end (or, when
// its length is unknown, has moved 50 MiB past its start, as far as measuring it may read).
// What the window lets go of that a file still waiting needs (a long one, one waiting for
// another, a photo held for the pieces pass with the clusters after it) is kept on the
// destination drive meanwhile (engine/SectorSpill.h), so the device is read once and memory
// does not grow with the files' lengths: only with their number (the found file's record, what
// the pass after the scan knows of it, the place of its entry, which is kept on the destination
// too: about 0.55 KB in all, about 24,000 photos within 32 MiB). Files are chosen by a predicate
// on their records, which carry their nesting as found so far; an AVI's further RIFF chunks are
// followed as soon as it is found.
// The files, their names and the report are those that recovery after the scan would give.
class TRecoveryDuringScan : public TBlockObserver {
public:
    TRecoveryDuringScan(TScanEngine& engine, const TRecoveryRequest& request,
                        std::function<bool(const TFoundFile&)> chosen);
    ~TRecoveryDuringScan() override;
    // Opens the destination; false with message when it cannot be used.
    bool Start(std::string& message);
    void BlockScanned(std::uint64_t firstSector, const std::uint8_t* data, std::uint64_t sectors) override;
    // After the scan: writes the files still waiting (when the scan was stopped they are left
    // unwritten), then the report. Sets Busy while it runs. The result's Files is empty: the
    // entries were kept on the destination drive as the files were handled (a card of many
    // thousand files would hold them all in memory), and ForEachEntry reads them back.
    TRecoveryResult Finish(bool scanStopped);
    // After Finish: each chosen file's entry with its record, in the report's order (by start
    // sector). Throws when the entries kept on the destination cannot be read back.
    void ForEachEntry(const std::function<void(const TRecoveryEntry&, const TFoundFile&)>& each) const;

private:
    struct TImpl;
    std::unique_ptr<TImpl> impl_;
};

// ---- parts of the above, open to tests and tools -------------------------------------------

// "f" + start sector in ten digits + "." + extension in lower case; suffix n > 0 adds "-n"
// before the dot.
std::string RecoveredFileName(std::int64_t startSector, const std::string& ext, int suffix = 0);

// True for a name recovery gives: a file's (RecoveredFileName, with or without a suffix) or
// the report's ("recovery-report.csv", "recovery-report-2.csv").
bool IsRecoveredFileName(const std::string& name);
// True when the folder holds a file under such a name: a recovery wrote there before, and the
// next one would add numbered copies beside those files.
bool HoldsRecoveredFiles(const std::string& folder);

// The EXIF date "YYYY:MM:DD HH:MM:SS" as local time; nothing when it is not a valid date.
std::optional<std::time_t> ParseDateTaken(const std::string& text);

// The folder (made of safe components, empty when unknown) and the file name a file is written
// under when original names are asked for: suffix n > 0 adds "-n" before the extension, and a
// file with unreadable sectors is marked "-damaged" there. False when no entry named the file.
bool OriginalFilePath(const TFoundFile& f, bool damaged, int suffix, std::vector<std::string>& folder, std::string& name);

// The time a recovered file is given: the EXIF date when it has one, else the modification time
// of the entry that named it; nothing when neither is known.
std::optional<std::time_t> RecoveredFileTime(const TFoundFile& f);

// One CSV field: quoted when it holds a comma, quote, or line break; quotes doubled.
std::string CsvField(const std::string& text);

const char* StatusText(TRecoveryStatus status);

} // namespace lumivore
