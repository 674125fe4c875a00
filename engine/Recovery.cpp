// Recovery of chosen found files: choosing them, finding each file's length, reading it from
// the examined device, writing it whole into the destination, and the report beside them.
#include "engine/Recovery.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "device/DskLib.h"
#include "engine/ClusterGeometry.h"
#include "engine/DeviceMeasure.h"
#include "engine/Fragments.h"
#include "engine/Nesting.h"
#include "engine/Remnants.h"
#include "engine/RecoveryWriter.h"
#include "engine/ScanEngine.h"
#include "formats/JpegEntropy.h"
#include "formats/Measure.h"
#include "formats/Recognisers.h"
#include "support/SafeText.h"
#include "support/Settings.h"

namespace lumivore {

namespace {

namespace fs = std::filesystem;

// First window read to measure a file of unknown length; it doubles up to the length limit.
// The measures that need a window find what they read in the file's first 50 MiB (a TIFF
// raw's directories, a JPEG's segments), however far the strips or streams they count reach.
constexpr std::uint64_t kFirstMeasureWindow = 1u << 20;
constexpr std::uint32_t kMeasureCeiling = static_cast<std::uint32_t>(kFileLengthLimit);
// A file is written in blocks of one scan block: memory stays at one block whatever its length.
constexpr std::size_t kWriteBlock = kSectorBufferSize;
// What measuring a file keeps of its first bytes for the writing (kWriteBlock's multiple):
// a file measured longer is streamed from the device, the window or the spill when written.
constexpr std::uint64_t kKeptWhileMeasuring = 2 * std::uint64_t{kWriteBlock};
// At most this much of the device is kept on the destination at once (and never more than a
// quarter of the space free there when recovery starts).
constexpr std::uint64_t kSpillLimit = 4ull << 30;
// The most a file leaves to the next one of what it read.
constexpr std::uint64_t kSweepSectors = kKeptWhileMeasuring / kSectorSize;

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
                     std::uint32_t count, std::uint8_t* dest, TUnreadableSectors& unreadable) {
    const auto read = [&](std::uint64_t first, std::uint32_t n, std::uint8_t* out) {
        return (window != nullptr && window->Copy(first, n, out)) || (measured != nullptr && measured->Copy(first, n, out)) ||
               engine.Drive.Read(first, static_cast<std::uint16_t>(n), out) >= std::uint64_t{n} * kSectorSize;
    };
    if (read(sector, count, dest))
        return;
    for (std::uint32_t k = 0; k < count; ++k) {
        std::uint8_t* p = dest + static_cast<std::size_t>(k) * kSectorSize;
        if (!read(sector + k, 1, p)) {
            std::memset(p, 0, kSectorSize);
            unreadable.Note(sector + k);
        }
    }
}

// Reads one found file's bytes from the examined device into a buffer that grows as more of
// the file is needed, starting from what the sweep holds of it. Reads go through the engine's
// drive in runs of at most 1000 sectors, with the engine's message pump between runs. A run the
// device refuses is read again sector by sector; a sector that still cannot be read is
// zero-filled and counted.
class TFileSource {
public:
    TFileSource(TScanEngine& engine, std::int64_t startSector, std::vector<std::uint8_t>& buffer, TSweep& sweep,
                const TScanWindow* window, const TSectorSpill* measured)
        : engine_(engine), start_(startSector), buffer_(buffer), sweep_(sweep), window_(window), measured_(measured),
          code_(engine.Drive.DriveCode), handle_(engine.Drive.Handle) {
        buffer_.clear();
        const auto first = static_cast<std::uint64_t>(startSector);
        const std::uint64_t held = sweep.Bytes.size() / kSectorSize;
        if (sweep.Code != code_ || sweep.Handle != handle_ || first < sweep.FirstSector ||
            first - sweep.FirstSector >= held)
            return;
        // Taken over, not copied: the bytes before the file are dropped in place.
        const std::size_t skip = static_cast<std::size_t>(first - sweep.FirstSector) * kSectorSize;
        buffer_.swap(sweep.Bytes);
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(skip));
        haveSectors_ = buffer_.size() / kSectorSize;
        for (std::uint64_t sector : sweep.Unreadable)
            if (sector >= first && sector < first + haveSectors_)
                unreadable_.Note(sector);
    }

    // Leaves what was read last in the sweep for the next file: the last streamed run when the
    // file was streamed past its buffer, else the buffer.
    ~TFileSource() {
        try {
            KeepInSweep();
        } catch (...) {
            sweep_.Bytes.clear(); // without memory for it, the next file reads its bytes itself
            sweep_.Handle = kInvalidHandle;
        }
    }
    TFileSource(const TFileSource&) = delete;
    TFileSource& operator=(const TFileSource&) = delete;

private:
    void KeepInSweep() {
        sweep_.Bytes.clear();
        sweep_.Unreadable.clear();
        sweep_.Code = code_;
        sweep_.Handle = handle_;
        if (changed_ || engine_.Drive.DriveCode != code_ || engine_.Drive.Handle != handle_) {
            sweep_.Handle = kInvalidHandle;
            return;
        }
        std::uint64_t count = 0;
        if (lastRun_ != nullptr) {
            sweep_.FirstSector = lastRunSector_;
            count = lastRunSectors_;
            sweep_.Bytes.assign(lastRun_, lastRun_ + count * kSectorSize);
        } else {
            sweep_.FirstSector = static_cast<std::uint64_t>(start_);
            count = haveSectors_;
            sweep_.Bytes.swap(buffer_);
            sweep_.Bytes.resize(static_cast<std::size_t>(count) * kSectorSize);
            // Only the last bytes of a long buffer (a file its recogniser measured over the
            // bytes at hand): the next file most likely begins near its end.
            if (count > kSweepSectors) {
                sweep_.Bytes.erase(sweep_.Bytes.begin(),
                                   sweep_.Bytes.begin() + static_cast<std::ptrdiff_t>((count - kSweepSectors) * kSectorSize));
                sweep_.Bytes.shrink_to_fit();
                sweep_.FirstSector += count - kSweepSectors;
                count = kSweepSectors;
            }
        }
        if (buffer_.capacity() > kSweepSectors * kSectorSize)
            std::vector<std::uint8_t>().swap(buffer_);
        for (std::uint64_t sector : unreadable_.Sectors)
            if (sector >= sweep_.FirstSector && sector < sweep_.FirstSector + count)
                sweep_.Unreadable.push_back(sector);
    }

public:

    // Makes the first `bytes` bytes of the file available, as far as the device holds them;
    // returns how many are (whole sectors read, cut to `bytes`).
    std::uint64_t Ensure(std::uint64_t bytes) {
        const std::uint64_t wantSectors = (bytes + kSectorSize - 1) / kSectorSize;
        const std::int64_t total = engine_.Drive.Info.TotalSectors;
        while (haveSectors_ < wantSectors && !end_ && !changed_) {
            if (engine_.MessagePump)
                engine_.MessagePump->ProcessMessages();
            if (engine_.Drive.DriveCode != code_ || engine_.Drive.Handle != handle_) {
                changed_ = true; // another device was opened meanwhile: its bytes are not this file's
                break;
            }
            const std::uint64_t sector = static_cast<std::uint64_t>(start_) + haveSectors_;
            if (sector >= static_cast<std::uint64_t>(std::max<std::int64_t>(total, 0))) {
                end_ = true;
                break;
            }
            std::uint64_t n = std::min<std::uint64_t>(wantSectors - haveSectors_, kBlockSectors);
            n = std::min<std::uint64_t>(n, static_cast<std::uint64_t>(total) - sector);
            const std::size_t at = static_cast<std::size_t>(haveSectors_) * kSectorSize;
            // Room for all that is wanted at once: a buffer grown block by block would be
            // copied at each doubling, holding the old and the new copy together.
            if (buffer_.capacity() < static_cast<std::size_t>(wantSectors) * kSectorSize)
                buffer_.reserve(static_cast<std::size_t>(wantSectors) * kSectorSize);
            buffer_.resize(at + static_cast<std::size_t>(n) * kSectorSize);
            std::uint8_t* dest = buffer_.data() + at;
            ReadZeroFilling(engine_, window_, measured_, sector, static_cast<std::uint32_t>(n), dest, unreadable_);
            haveSectors_ += n;
        }
        return std::min<std::uint64_t>(bytes, haveSectors_ * kSectorSize);
    }

    // Bytes of the file already held in the buffer (whole sectors, as far as they were read).
    std::uint64_t Buffered() const { return buffer_.size(); }

    // Reads the n bytes at a sector-aligned file offset into dest, which has room for them
    // rounded up to whole sectors, without keeping them: how a file longer than any buffer is
    // streamed. Sectors past the device's end are not read; the caller keeps within it.
    bool ReadRun(std::uint64_t offset, std::size_t n, std::uint8_t* dest) {
        if (engine_.MessagePump)
            engine_.MessagePump->ProcessMessages();
        if (engine_.Drive.DriveCode != code_ || engine_.Drive.Handle != handle_) {
            changed_ = true;
            return false;
        }
        const std::uint64_t sector = static_cast<std::uint64_t>(start_) + offset / kSectorSize;
        const auto count = static_cast<std::uint32_t>((n + kSectorSize - 1) / kSectorSize);
        ReadZeroFilling(engine_, window_, measured_, sector, count, dest, unreadable_);
        lastRun_ = dest;
        lastRunSector_ = sector;
        lastRunSectors_ = count;
        return true;
    }

    TBytes Bytes(std::uint64_t n) const {
        return TBytes(buffer_.data(), static_cast<std::size_t>(std::min<std::uint64_t>(n, buffer_.size())));
    }
    std::uint32_t Unreadable() const { return unreadable_.Count; }
    std::int64_t FirstUnreadable() const { return unreadable_.First; }
    bool DeviceChanged() const { return changed_; }

private:
    TScanEngine& engine_;
    std::int64_t start_;
    std::vector<std::uint8_t>& buffer_;
    TSweep& sweep_;
    const TScanWindow* window_;
    const TSectorSpill* measured_;
    std::uint8_t code_;
    TDeviceHandle handle_;
    std::uint64_t haveSectors_ = 0;
    bool end_ = false;
    bool changed_ = false;
    TUnreadableSectors unreadable_;
    const std::uint8_t* lastRun_ = nullptr; // the last run ReadRun read, for the sweep
    std::uint64_t lastRunSector_ = 0;
    std::uint64_t lastRunSectors_ = 0;
};

// Reads a reassembled file's bytes through its pieces on the device, in order: from the scan's
// window when it still holds them, else from the engine's drive in runs of at most one block,
// with the message pump between runs. A run the device refuses is read again sector by sector;
// a sector that still cannot be read is zero-filled and counted. It leaves the sweep of nearby
// files alone: the pieces lie apart, and the next file reads its own bytes.
class TPieceStream {
public:
    TPieceStream(TScanEngine& engine, const std::vector<TPiece>& pieces, const TScanWindow* window)
        : engine_(engine), pieces_(pieces), window_(window), code_(engine.Drive.DriveCode),
          handle_(engine.Drive.Handle), run_(std::size_t{kBlockSectors + 1} * kSectorSize) {}

    // Whether every piece is sound and lies on the device; total is set to their sum.
    bool OnDevice(std::uint64_t& total) const {
        total = 0;
        const std::uint64_t deviceBytes =
            static_cast<std::uint64_t>(std::max<std::int64_t>(engine_.Drive.Info.TotalSectors, 0)) * kSectorSize;
        for (const TPiece& p : pieces_) {
            if (p.Offset < 0 || p.Length <= 0)
                return false;
            const auto at = static_cast<std::uint64_t>(p.Offset), n = static_cast<std::uint64_t>(p.Length);
            if (at > deviceBytes || n > deviceBytes - at || n > static_cast<std::uint64_t>(INT64_MAX) - total)
                return false;
            total += n;
        }
        return !pieces_.empty();
    }

    // Copies the n bytes at file offset into dest; false when they lie past the pieces or
    // another device was opened meanwhile.
    bool Read(std::uint64_t offset, std::size_t n, std::uint8_t* dest) {
        std::size_t piece = 0;
        while (n > 0) {
            while (piece < pieces_.size() && offset >= static_cast<std::uint64_t>(pieces_[piece].Length)) {
                offset -= static_cast<std::uint64_t>(pieces_[piece].Length);
                ++piece;
            }
            if (piece == pieces_.size())
                return false;
            const std::uint64_t device = static_cast<std::uint64_t>(pieces_[piece].Offset) + offset;
            const std::uint64_t inPiece = static_cast<std::uint64_t>(pieces_[piece].Length) - offset;
            // One run: within the piece, and at most a block of whole sectors around it.
            const std::uint64_t skip = device % kSectorSize;
            const std::size_t take = static_cast<std::size_t>(
                std::min<std::uint64_t>({std::uint64_t{n}, inPiece, std::uint64_t{kBlockSectors} * kSectorSize - skip}));
            const std::uint64_t sector = device / kSectorSize;
            const auto count = static_cast<std::uint32_t>((skip + take + kSectorSize - 1) / kSectorSize);
            if (!ReadSectors(sector, count))
                return false;
            std::memcpy(dest, run_.data() + skip, take);
            dest += take;
            offset += take;
            n -= take;
        }
        return true;
    }

    std::uint32_t Unreadable() const { return unreadable_.Count; }
    std::int64_t FirstUnreadable() const { return unreadable_.First; }
    bool DeviceChanged() const { return changed_; }

private:
    bool ReadSectors(std::uint64_t sector, std::uint32_t count) {
        if (engine_.MessagePump)
            engine_.MessagePump->ProcessMessages();
        if (engine_.Drive.DriveCode != code_ || engine_.Drive.Handle != handle_) {
            changed_ = true;
            return false;
        }
        ReadZeroFilling(engine_, window_, nullptr, sector, count, run_.data(), unreadable_);
        return true;
    }

    TScanEngine& engine_;
    const std::vector<TPiece>& pieces_;
    const TScanWindow* window_;
    std::uint8_t code_;
    TDeviceHandle handle_;
    std::vector<std::uint8_t> run_;
    TUnreadableSectors unreadable_;
    bool changed_ = false;
};

// The pieces as the report lists them: "offset+length" each, device bytes, separated by
// blanks.
std::string PiecesText(const std::vector<TPiece>& pieces) {
    std::string text;
    for (const TPiece& p : pieces)
        text += (text.empty() ? "" : " ") + std::to_string(p.Offset) + "+" + std::to_string(p.Length);
    return text;
}

std::vector<std::size_t> ChooseFiles(const std::vector<TFoundFile>& files, const TRecoverySelection& sel) {
    std::vector<std::size_t> chosen;
    if (sel.ByRecords) {
        std::set<std::size_t> seen;
        for (std::size_t i : sel.Records)
            if (i < files.size() && seen.insert(i).second)
                chosen.push_back(i);
    } else {
        for (std::size_t i = 0; i < files.size(); ++i) {
            const TFoundFile& f = files[i];
            if (f.Nested() && !sel.IncludeNested)
                continue;
            if ((f.FormatIndex < kGeneralTypeCount && sel.General[f.FormatIndex]) ||
                (f.MakerIndex < kMakerTypeCount && sel.Makers[f.MakerIndex]) ||
                (f.PhoneIndex < kPhoneTypeCount && sel.Phones[f.PhoneIndex]))
                chosen.push_back(i);
        }
    }
    // Ascending start sector: the device is read front to back.
    std::stable_sort(chosen.begin(), chosen.end(),
                     [&](std::size_t a, std::size_t b) { return files[a].StartSector < files[b].StartSector; });
    return chosen;
}

// For each chosen nested file, the name under which the file holding it is recovered.
void NameEnclosingFiles(const std::vector<TFoundFile>& files, std::vector<TRecoveryEntry>& entries) {
    std::map<std::int64_t, const TFoundFile*> byStart;
    for (const TRecoveryEntry& e : entries)
        if (e.File.Nested())
            byStart.emplace(e.File.NestedIn, nullptr);
    if (byStart.empty())
        return;
    for (const TFoundFile& f : files) {
        const auto it = byStart.find(f.StartSector);
        if (it != byStart.end())
            it->second = &f;
    }
    for (TRecoveryEntry& e : entries) {
        if (!e.File.Nested())
            continue;
        const TFoundFile* holder = byStart[e.File.NestedIn];
        e.Enclosing = holder != nullptr ? RecoveredFileName(holder->StartSector, holder->Ext)
                                        : "sector " + std::to_string(e.File.NestedIn);
    }
}

// Text from the device made safe for the report: control bytes become '?', and a leading
// character that spreadsheets take for a formula is preceded by an apostrophe.
std::string ReportText(const std::string& s) {
    std::string out;
    out.reserve(s.size() + 1);
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        out += u < 0x20 || u == 0x7F ? '?' : c;
    }
    if (!out.empty() && (out[0] == '=' || out[0] == '+' || out[0] == '-' || out[0] == '@'))
        out.insert(out.begin(), '\'');
    return out;
}

// Seconds since the epoch as "YYYY-MM-DD HH:MM:SS" local time; empty for 0.
std::string TimeText(std::int64_t seconds) {
    if (seconds == 0)
        return {};
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (::localtime_r(&t, &tm) == nullptr)
        return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string Fraction(std::uint32_t num, std::uint32_t den) {
    return den == 0 ? std::string() : std::to_string(num) + "/" + std::to_string(den);
}

std::string ReportCsv(const TRecoveryResult& result) {
    std::string csv = "file,status,detail,start_sector,type,length,width,height,make,model,date_taken,iso,"
                      "exposure,f_number,focal_length,inside,pieces,incomplete,claimed_length,original_name,"
                      "original_folder,name_source,entry_size,entry_modified\n";
    for (const TRecoveryEntry& e : result.Files) {
        const TFoundFile& f = e.File;
        const std::string fields[] = {
            e.Name,
            StatusText(e.Status),
            e.Detail,
            std::to_string(f.StartSector),
            ReportText(f.Ext),
            e.Length >= 0 ? std::to_string(e.Length) : std::string(),
            f.Width > 0 ? std::to_string(f.Width) : std::string(),
            f.Height > 0 ? std::to_string(f.Height) : std::string(),
            ReportText(f.Make),
            ReportText(f.Model),
            ReportText(f.DateTaken),
            f.ISO > 0 ? std::to_string(f.ISO) : std::string(),
            Fraction(f.ExposureNum, f.ExposureDen),
            Fraction(f.FNumberNum, f.FNumberDen),
            Fraction(f.FocalNum, f.FocalDen),
            e.Enclosing,
            // A photo put back together from the pieces a used card split it into, or one whose
            // data stops where no continuation was found: where its pieces lie on the device.
            f.Pieces.empty() ? std::string() : PiecesText(f.Pieces),
            f.Incomplete ? std::string("incomplete") : std::string(),
            // What the file's header claimed, where other files or its own chunks cut it short.
            f.ClaimedLength >= 0 ? std::to_string(f.ClaimedLength) : std::string(),
            // What the card's file system left of the file: its name and folder as the card
            // stores them (a deleted entry's is marked), the entry's size and modification time.
            ReportText(f.OriginalName),
            ReportText(OriginalFolderText(f)),
            f.OriginalName.empty() ? std::string()
                                   : std::string(RemnantKindText(f.NameSource)) + (f.NameDeleted ? " (deleted)" : ""),
            f.EntrySize >= 0 ? std::to_string(f.EntrySize) : std::string(),
            TimeText(f.EntryModified),
        };
        bool first = true;
        for (const std::string& field : fields) {
            if (!first)
                csv += ',';
            csv += CsvField(field);
            first = false;
        }
        csv += '\n';
    }
    return csv;
}

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

    void Run() {
        const std::size_t total = result_.Files.size();
        SetProgress(0, total);
        std::string stopReason = "not written: recovery was stopped";
        std::size_t done = 0;
        for (; done < total; ++done) {
            if (engine_.MessagePump)
                engine_.MessagePump->ProcessMessages();
            if (engine_.StopRequested) {
                result_.Stopped = true;
                break;
            }
            current_ = done;
            const TFileOutcome outcome = RecoverOne(result_.Files[done]);
            Count(result_.Files[done]);
            SetProgress(done + 1, total);
            if (outcome.Stop) {
                result_.Stopped = true;
                ++done;
                break;
            }
            if (outcome.Fatal) {
                result_.Stopped = true;
                result_.Message = outcome.Message;
                stopReason = "not written: recovery ended early";
                ++done;
                break;
            }
        }
        for (; done < total; ++done) {
            TRecoveryEntry& e = result_.Files[done];
            e.Status = TRecoveryStatus::NotWritten;
            e.Detail = stopReason;
            ++result_.NotWritten;
        }
    }

private:
    void SetProgress(std::size_t done, std::size_t total) {
        if (request_.Progress && total > 0)
            Show(static_cast<int>((done * 100 + total / 2) / total));
    }

    // Moves the bar within the current file as its bytes are written: a long video is not a
    // frozen bar.
    void SetProgressWithin(std::uint64_t part, std::uint64_t whole) {
        const std::uint64_t total = result_.Files.size();
        if (request_.Progress == nullptr || total == 0 || whole == 0)
            return;
        const std::uint64_t permille = std::min<std::uint64_t>(part, whole) * 1000 / whole;
        Show(static_cast<int>((current_ * 1000 + permille) * 100 / (total * 1000)));
    }

    void Show(int position) {
        if (position != shown_) {
            shown_ = position;
            request_.Progress->SetPosition(position);
        }
    }

    void Count(const TRecoveryEntry& e) { Tally(e, 1); }

public:
    // Takes a file handled before out of the counts, to be handled again or left unwritten, and
    // counts it again once its status changed.
    void Uncount(const TRecoveryEntry& e) { Tally(e, -1); }
    void Recount(const TRecoveryEntry& e) { Tally(e, 1); }

private:
    void Tally(const TRecoveryEntry& e, int step) {
        switch (e.Status) {
        case TRecoveryStatus::Recovered: result_.Recovered += step; break;
        case TRecoveryStatus::Failed: result_.Failed += step; break;
        case TRecoveryStatus::Abandoned: result_.Abandoned += step; break;
        case TRecoveryStatus::NotWritten: result_.NotWritten += step; break;
        }
        if (step > 0)
            result_.BytesWritten += e.BytesWritten;
        else
            result_.BytesWritten -= std::min(result_.BytesWritten, e.BytesWritten);
        if (request_.RecoveredLabel)
            request_.RecoveredLabel->SetCount(result_.Recovered);
        if (request_.FailedLabel)
            request_.FailedLabel->SetCount(result_.Failed + result_.Abandoned);
    }

    static TFileOutcome Changed(TRecoveryEntry& e) {
        e.Status = TRecoveryStatus::NotWritten;
        e.Detail = "not written: the examined device was changed";
        return {true, "Recovery stopped: another device was opened while it ran."};
    }

    // Measures the file as its bytes are read from the device: its kind's measure takes each
    // byte once. The first kKeptWhileMeasuring bytes are kept for the writing; past them the
    // measure is fed a block at a time and nothing is kept,
    // so memory stays bounded however far a measure reads. A kind measured by its recogniser
    // over the bytes at hand has them kept, up to the length limit. -1 when its end is not
    // found within the length limit or the device.
    std::int64_t MeasureFromDevice(const TFoundFile& f, TFileSource& src) {
        std::unique_ptr<TStreamMeasure> measure = StartStreamMeasure(f, true);
        if (!measure) {
            for (std::uint64_t window = kFirstMeasureWindow;; window = std::min<std::uint64_t>(window * 2, kMeasureCeiling)) {
                const std::uint64_t avail = src.Ensure(window);
                if (src.DeviceChanged())
                    return -1;
                // A length its header states: read again from the first bytes.
                const std::int64_t length = MeasureLength(f, src.Bytes(avail));
                if (length > 0 || avail < window || window >= kMeasureCeiling)
                    return length > 0 ? length : -1;
            }
        }
        // The first bytes, kept for the writing.
        const std::uint64_t avail = src.Ensure(kKeptWhileMeasuring);
        if (src.DeviceChanged())
            return -1;
        bool deviceEnds = avail < kKeptWhileMeasuring;
        std::uint64_t fed = avail;
        if (avail > 0)
            measure->Feed(src.Bytes(avail));
        // Past them, a block at a time, as far as the device and the length limit go.
        const auto total = static_cast<std::uint64_t>(std::max<std::int64_t>(engine_.Drive.Info.TotalSectors, 0));
        const auto start = static_cast<std::uint64_t>(f.StartSector);
        const std::uint64_t onDevice = start < total ? (total - start) * kSectorSize : 0;
        measureRun_.resize(kWriteBlock);
        while (measure->Status() == TMeasureStatus::Open && !deviceEnds && fed < kMeasureCeiling) {
            const std::uint64_t n = std::min<std::uint64_t>({kWriteBlock, kMeasureCeiling - fed, onDevice - std::min(onDevice, fed)});
            if (n == 0) {
                deviceEnds = true;
                break;
            }
            if (!src.ReadRun(fed, static_cast<std::size_t>(n), measureRun_.data()))
                return -1;
            // Without the scan's window, what is read here is kept on the destination for the
            // writing, which then reads the device no more (sectors that could not be read are
            // noted by src already, and the file is named damaged all the same).
            if (window_ == nullptr && (measured_.IsOpen() || measured_.Open(dest_.Descriptor())))
                measured_.Keep(static_cast<std::uint64_t>(f.StartSector) + fed / kSectorSize, n / kSectorSize, measureRun_.data());
            measure->Feed(TBytes(measureRun_.data(), static_cast<std::size_t>(n)));
            fed += n;
        }
        if (measure->Status() == TMeasureStatus::Open) {
            if (deviceEnds || fed < kMeasureCeiling)
                measure->Finish();
            else
                measure->Abandon(); // the file would be too long
        }
        const std::int64_t length = measure->Length();
        return LengthKnownFor(f.Ext, length) ? length : -1;
    }

    // The length of the file whose first bytes src reads, or -1; says how it was found.
    std::int64_t DetermineLength(const TFoundFile& f, TFileSource& src, TLengthSource& source) {
        std::int64_t length = -1;
        if (LengthKnownFor(f.Ext, f.Length)) {
            length = f.Length;
            source = TLengthSource::Known;
            // A long AVI may go on past the length the record holds: its further RIFF chunks
            // are found by their headers on the device.
            const std::int64_t continued = ContinuedLength(engine_.Drive, f, &chains_);
            if (continued > length) {
                length = continued;
                source = TLengthSource::Measured;
            }
        } else if (TraitsOf(f.Type()).Measure != TLengthMeasure::None) {
            length = MeasureFromDevice(f, src);
            if (length > 0)
                source = TLengthSource::Measured;
        }
        if (src.DeviceChanged())
            return -1;
        return length;
    }

    TFileOutcome RecoverOne(TRecoveryEntry& e) {
        const TFoundFile& f = e.File;
        if (f.StartSector < 0 || f.StartSector >= engine_.Drive.Info.TotalSectors) {
            e.Status = TRecoveryStatus::Failed;
            e.Detail = "failed: the file starts outside the sectors that can be read";
            return {};
        }
        // A photo put back together from its pieces is read through them alone: its length is
        // their sum, and nothing past its last piece belongs to it.
        const bool reassembled = f.Reassembled();
        TPieceStream pieces(engine_, f.Pieces, window_);
        std::uint64_t piecesLength = 0;
        if (reassembled && !pieces.OnDevice(piecesLength)) {
            e.Status = TRecoveryStatus::Failed;
            e.Detail = "failed: a piece of the file lies outside the sectors that can be read";
            return {};
        }
        // What measuring the files before this one kept is of no use past its start: files are
        // handled by start sector.
        measured_.Forget([&](std::uint64_t, std::uint64_t end) { return end > static_cast<std::uint64_t>(f.StartSector); });
        TFileSource src(engine_, f.StartSector, buffer_, sweep_, window_, &measured_);
        TLengthSource source = TLengthSource::None;
        std::int64_t length = -1;
        if (reassembled) {
            length = static_cast<std::int64_t>(piecesLength);
            source = TLengthSource::Known;
        } else if (f.UseEntrySize && f.EntrySize > 0 && !f.Incomplete) {
            // The file system's entry states the size that makes the file whole (a trailer or
            // padding after its end marker, or a length its structure did not give).
            length = f.EntrySize;
            source = TLengthSource::Entry;
        } else if (f.Incomplete && !f.Pieces.empty() && !LengthKnownFor(f.Ext, f.Length) && f.Pieces.front().Length > 0) {
            // The scan did not see its end, and its data stops decoding where its first piece
            // ends: that much is the photo, and no guess is made past it.
            length = f.Pieces.front().Length;
            source = TLengthSource::Measured;
        } else {
            length = DetermineLength(f, src, source);
        }
        if (src.DeviceChanged())
            return Changed(e);
        std::string detail;
        if (reassembled) {
            detail = "reassembled from " + std::to_string(f.Pieces.size()) + " pieces";
        } else if (length < 0) {
            const std::int32_t kb = std::min(engine_.DefaultSize, kDefaultSizeMax);
            if (kb <= 0) {
                e.Status = TRecoveryStatus::Abandoned;
                e.Detail = "abandoned: the length cannot be determined and the default size is 0";
                return {};
            }
            length = std::int64_t{kb} * 1024;
            source = TLengthSource::DefaultSize;
            detail = "length unknown: the default size of " + std::to_string(kb) + " KB was written";
        } else if (source == TLengthSource::Measured) {
            detail = "length measured from the device";
        } else if (source == TLengthSource::Entry) {
            detail = "length from the file system's entry (" + std::to_string(f.EntrySize) + " bytes; its structure gives " +
                     (LengthKnownFor(f.Ext, f.Length) ? std::to_string(f.Length) + " bytes" : std::string("no length")) + ")";
        }

        if (f.ClaimedLength > length && length > 0) {
            // Its header claimed more than what followed it on the device could be: a file of its
            // own begins inside the claimed body, or the chain of its chunks breaks off there.
            detail = "cut short: its header claims " + std::to_string(f.ClaimedLength) +
                     " bytes, but its data ends after " + std::to_string(length) + (detail.empty() ? "" : "; " + detail);
        }
        if (f.Incomplete && !f.Pieces.empty()) {
            // Its data stops decoding where its first piece ends and no continuation was found:
            // it is written as it lies, from that piece on, and named incomplete.
            detail = "incomplete: the photo's data stops after " + std::to_string(f.Pieces.front().Length) +
                     " bytes and no continuation was found" + (detail.empty() ? "" : "; " + detail);
        }
        e.Source = source;
        e.Length = length;

        // What the device holds of the file, from its first sector to the device's end.
        const std::uint64_t avail =
            (static_cast<std::uint64_t>(engine_.Drive.Info.TotalSectors) - static_cast<std::uint64_t>(f.StartSector)) *
            kSectorSize;
        // A file that runs past the device's end is written as far as the device holds it: for
        // a length its header claims or a default size, that is all there is to the file; for a
        // walked one, the rest is lost and the file is named as failed.
        bool pastEnd = false;
        if (!reassembled && avail < static_cast<std::uint64_t>(length)) {
            if (avail == 0) {
                e.Status = TRecoveryStatus::Failed;
                e.Detail = "failed: the file runs past the end of the device (0 of " + std::to_string(length) +
                           " bytes are on it)";
                return {};
            }
            const bool claimed = source == TLengthSource::DefaultSize || source == TLengthSource::Entry ||
                                 f.ClaimFrom >= 0 || f.ClaimedLength >= 0 ||
                                 TraitsOf(f.Type()).Measure == TLengthMeasure::None ||
                                 TraitsOf(f.Type()).Measure == TLengthMeasure::Avi;
            pastEnd = !claimed;
            detail += std::string(detail.empty() ? "" : ", ") + "cut at the end of the device (" + std::to_string(avail) +
                      " of " + std::to_string(length) + " bytes are on it)";
            length = static_cast<std::int64_t>(avail);
            e.Length = length;
        }

        const auto unreadable = [&] { return reassembled ? pieces.Unreadable() : src.Unreadable(); };
        const auto deviceChanged = [&] { return src.DeviceChanged() || pieces.DeviceChanged(); };
        auto nameFor = [&](int suffix) { return FinalName(f, unreadable() > 0, suffix); };
        // The file streams from the device block by block; what measuring it already read is
        // not read again.
        block_.resize(kWriteBlock);
        bool stopped = false;
        const auto size = static_cast<std::uint64_t>(length);
        auto supply = [&](std::uint64_t offset, std::size_t n, const std::uint8_t*& out) {
            const std::uint64_t have = reassembled ? 0 : src.Buffered();
            if (reassembled) {
                if (!pieces.Read(offset, n, block_.data()))
                    return false;
                out = block_.data();
            } else if (offset + n <= have) {
                out = src.Bytes(offset + n).data() + offset;
            } else {
                const std::size_t fromBuffer = offset < have ? static_cast<std::size_t>(have - offset) : 0;
                if (fromBuffer > 0)
                    std::memcpy(block_.data(), src.Bytes(have).data() + offset, fromBuffer);
                if (!src.ReadRun(offset + fromBuffer, n - fromBuffer, block_.data() + fromBuffer))
                    return false;
                out = block_.data();
            }
            if (engine_.StopRequested) {
                stopped = true;
                return false;
            }
            SetProgressWithin(offset + n, size);
            return true;
        };
        const bool original = !pending_ && request_.OriginalNames && !f.OriginalName.empty();
        TWriteResult w = pending_ || original ? dest_.WriteStreamPending(size, kWriteBlock, supply, RecoveredFileTime(f))
                                              : dest_.WriteStream(nameFor, size, kWriteBlock, supply, RecoveredFileTime(f));
        if (original && w.Outcome == TWriteOutcome::Written) {
            // Into its original folder under its original name; where that cannot be, the
            // sector name at the top, as without names.
            const std::string tmp = w.Name;
            w = MoveOriginal(tmp, f, unreadable() > 0);
            if (w.Outcome == TWriteOutcome::Written)
                e.NamedOriginally = true;
            else
                w = dest_.NamePending(tmp, nameFor);
        }
        if (deviceChanged())
            return Changed(e);
        if (stopped) {
            e.Status = TRecoveryStatus::NotWritten;
            e.Detail = "not written: recovery was stopped";
            TFileOutcome outcome;
            outcome.Stop = true;
            return outcome;
        }
        const bool damaged = unreadable() > 0;
        switch (w.Outcome) {
        case TWriteOutcome::Written:
            (pending_ ? e.Temporary : e.Name) = w.Name;
            e.Damaged = damaged;
            e.BytesWritten = static_cast<std::uint64_t>(length);
            if (damaged) {
                e.Status = TRecoveryStatus::Failed;
                e.Detail = "failed: " + std::to_string(unreadable()) + " sector(s) from sector " +
                           std::to_string(reassembled ? pieces.FirstUnreadable() : src.FirstUnreadable()) +
                           " could not be read and were written as zeros";
            } else if (pastEnd) {
                e.Status = TRecoveryStatus::Failed;
                e.Detail = "failed: the file runs past the end of the device; " + detail;
            } else {
                e.Status = TRecoveryStatus::Recovered;
                e.Detail = detail;
            }
            return {};
        case TWriteOutcome::NoSpace:
            e.Status = TRecoveryStatus::NotWritten;
            e.Detail = "not written: " + w.Error;
            return {true,
                    "The destination " + dest_.Folder() + " is full (" + w.Error +
                        "). Recovery stopped; the files already written are kept.",
                    false, true};
        case TWriteOutcome::Failed:
            break;
        }
        e.Status = TRecoveryStatus::NotWritten;
        e.Detail = "not written: " + w.Error;
        return {true, "Writing to the destination " + dest_.Folder() + " failed (" + w.Error +
                          "). Recovery stopped; the files already written are kept."};
    }

public:
    // Where recently scanned sectors are read from instead of the device; may be null.
    void SetWindow(const TScanWindow* window) { window_ = window; }

    // Handles one chosen file on its own (recovery during a scan), counting it. A pending file
    // is written under a temporary name (TRecoveryEntry::Temporary) until NamePending.
    TFileOutcome HandleOne(TRecoveryEntry& e, bool pending = false) {
        pending_ = pending;
        const TFileOutcome outcome = RecoverOne(e);
        pending_ = false;
        Count(e);
        return outcome;
    }

    // Gives a file written pending its final name. A failure to name it ends the run as a
    // failing destination would.
    TFileOutcome NamePending(TRecoveryEntry& e) {
        if (e.Temporary.empty())
            return {};
        const TRecoveryEntry& entry = e;
        const TWriteResult w = dest_.NamePending(e.Temporary, [&](int suffix) { return FinalName(entry.File, entry.Damaged, suffix); });
        e.Temporary.clear();
        if (w.Outcome == TWriteOutcome::Written) {
            e.Name = w.Name;
            return {};
        }
        Uncount(e);
        e.Status = TRecoveryStatus::NotWritten;
        e.Detail = "not written: " + w.Error;
        Count(e);
        return {true, "Naming a file in the destination " + dest_.Folder() + " failed (" + w.Error +
                          "). Recovery stopped; the files already written are kept."};
    }

    // Moves a file written under a plain name to its original folder and name.
    TWriteResult MoveOriginal(const std::string& from, const TFoundFile& f, bool damaged) {
        std::vector<std::string> folder;
        std::string name;
        if (!OriginalFilePath(f, damaged, 0, folder, name))
            return {};
        return dest_.MoveInto(
            from, folder,
            [&](int suffix) {
                std::vector<std::string> same;
                std::string next;
                OriginalFilePath(f, damaged, suffix, same, next);
                return next;
            },
            RecoveredFileTime(f));
    }

    TOutputDir& Dest() { return dest_; }

private:
    // The name a recovered file is given: with a suffix when the first is taken, and marked when
    // sectors of it could not be read.
    static std::string FinalName(const TFoundFile& f, bool damaged, int suffix) {
        std::string name = RecoveredFileName(f.StartSector, f.Ext, suffix);
        if (damaged)
            name.insert(name.rfind('.'), "-damaged");
        return name;
    }

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

// Writes the report beside the files; a failure is added to the result's message.
void WriteReport(TOutputDir& dest, TRecoveryResult& result) {
    const std::string csv = ReportCsv(result);
    const TWriteResult w = dest.Write(
        [](int suffix) {
            return suffix == 0 ? std::string("recovery-report.csv")
                               : "recovery-report-" + std::to_string(suffix) + ".csv";
        },
        reinterpret_cast<const std::uint8_t*>(csv.data()), csv.size());
    if (w.Outcome == TWriteOutcome::Written) {
        result.ReportPath = (fs::path(dest.Folder()) / w.Name).string();
    } else {
        if (!result.Message.empty())
            result.Message += ' ';
        result.Message += "The report could not be written (" + w.Error + ").";
    }
}

bool PrepareDestination(const TScanEngine& engine, const TRecoveryRequest& request, TOutputDir& dest,
                        std::string& message) {
    return dest.Open(request.Destination, ExaminedSourceOf(engine, request.Probe), message);
}

} // namespace

bool OriginalFilePath(const TFoundFile& f, bool damaged, int suffix, std::vector<std::string>& folder, std::string& name) {
    folder.clear();
    name.clear();
    if (f.OriginalName.empty())
        return false;
    if (f.FolderKnown)
        for (const std::string& part : f.OriginalFolder)
            folder.push_back(SafePathComponent(part));
    name = SafePathComponent(f.OriginalName);
    std::string mark;
    if (suffix > 0)
        mark += "-" + std::to_string(suffix);
    if (damaged)
        mark += "-damaged";
    if (!mark.empty()) {
        const std::size_t dot = name.rfind('.');
        name.insert(dot == std::string::npos || dot == 0 ? name.size() : dot, mark);
    }
    return true;
}

std::optional<std::time_t> RecoveredFileTime(const TFoundFile& f) {
    if (const auto taken = ParseDateTaken(f.DateTaken))
        return taken;
    if (f.EntryModified != 0)
        return static_cast<std::time_t>(f.EntryModified);
    return std::nullopt;
}

TExaminedSource ExaminedSourceOf(const TScanEngine& engine, const TDeviceProbe& probe) {
    TExaminedSource examined;
    examined.Tables = probe.Tables;
    examined.FileSystemDevice = probe.FileSystemDevice;
    const TDeviceCatalogue& catalogue = TDeviceCatalogue::Instance();
    const TDeviceEntry* entry = catalogue.Find(engine.Drive.DriveCode);
    struct stat st {};
    const bool known = entry != nullptr && ::stat(entry->Path.c_str(), &st) == 0;
    if (known && S_ISREG(st.st_mode)) {
        examined.ImageDevice = st.st_dev;
        examined.ImageInode = st.st_ino;
    }
    if (probe.ExaminedDevices) {
        examined.Devices = probe.ExaminedDevices();
        return examined;
    }
    if (!known)
        return examined;
    if (S_ISBLK(st.st_mode)) {
        examined.Devices = RelatedBlockDevices(catalogue.SysRoot(), st.st_rdev);
        return examined;
    }
    // An image file: the loop devices that serve it (a file system mounted from the image
    // lives there).
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(fs::path(catalogue.SysRoot()) / "block", ec)) {
        std::ifstream in(e.path() / "loop" / "backing_file");
        std::string backing;
        if (!std::getline(in, backing))
            continue;
        struct stat bs {};
        if (::stat(backing.c_str(), &bs) != 0 || bs.st_dev != st.st_dev || bs.st_ino != st.st_ino)
            continue;
        std::ifstream devFile(e.path() / "dev");
        unsigned maj = 0, min = 0;
        char colon = 0;
        if (devFile >> maj >> colon >> min && colon == ':') {
            const std::vector<dev_t> related = RelatedBlockDevices(catalogue.SysRoot(), makedev(maj, min));
            examined.Devices.insert(examined.Devices.end(), related.begin(), related.end());
        }
    }
    return examined;
}

bool CheckRecoveryDestination(const TScanEngine& engine, const TRecoveryRequest& request, std::string& message) {
    try {
        TOutputDir dest;
        return PrepareDestination(engine, request, dest, message);
    } catch (const std::exception& ex) {
        message = std::string("The destination cannot be checked: ") + ex.what();
        return false;
    }
}

TRecoverySelection TRecoverySelection::Types(const std::array<bool, kGeneralTypeCount>& general,
                                             const std::array<bool, kMakerTypeCount>& makers,
                                             const std::array<bool, kPhoneTypeCount>& phones) {
    TRecoverySelection s;
    s.General = general;
    s.Makers = makers;
    s.Phones = phones;
    return s;
}

TRecoverySelection TRecoverySelection::AllTypes() {
    TRecoverySelection s;
    s.General.fill(true);
    s.Makers.fill(true);
    s.Phones.fill(true);
    return s;
}

TRecoverySelection TRecoverySelection::Files(std::vector<std::size_t> indexes) {
    TRecoverySelection s;
    s.Records = std::move(indexes);
    s.ByRecords = true;
    return s;
}

TRecoveryResult Recover(TScanEngine& engine, const TRecoveryRequest& request) {
    TRecoveryResult result;
    try {
        if (engine.Busy) {
            result.Message = "Recovery cannot start while a scan or another recovery is running.";
            return result;
        }
        if (engine.Drive.Handle == kInvalidHandle) {
            result.Message = "No device is open to recover from.";
            return result;
        }
        TOutputDir dest;
        if (!PrepareDestination(engine, request, dest, result.Message))
            return result;
        result.Started = true;

        for (std::size_t i : ChooseFiles(engine.FoundFiles, request.Selection)) {
            TRecoveryEntry e;
            e.Index = i;
            e.File = engine.FoundFiles[i]; // a copy: the list may change while messages run
            result.Files.push_back(std::move(e));
        }
        NameEnclosingFiles(engine.FoundFiles, result.Files);
        if (result.Files.empty())
            return result;

        engine.Busy = true;
        engine.StopRequested = false;
        struct TResetOnExit {
            TScanEngine& engine;
            ~TResetOnExit() {
                engine.Busy = false;
                engine.StopRequested = false;
            }
        } reset{engine};

        TRecoveryRun(engine, request, dest, result).Run();

        WriteReport(dest, result);
        dest.Sync();
    } catch (const std::exception& ex) {
        result.Stopped = true;
        result.Message = std::string("Recovery stopped by an internal error: ") + ex.what();
    }
    return result;
}

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

// The scan window of recovery during a scan: the last 12 MiB the scan read. A file is written
// about a block after the scan has passed its end, so a photo of up to about 11 MB (most
// cameras' JPEGs) is written from memory; what a longer file, or one that waits for another
// (one of unknown length, one still measured), needs of the sectors the window lets go of is
// kept on the destination drive meanwhile (engine/SectorSpill.h). Either way the device is read
// once, and memory stays the same whatever the files' lengths.
constexpr std::uint64_t kWindowSectors = (12u << 20) / kSectorSize;
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
    TScanWindow Window{kWindowSectors};
    TSectorSpill Spill{kSpillLimit};
    std::unique_ptr<TRecoveryRun> Run;
    std::vector<TFoundFile> Waiting;  // chosen files not written yet, by start sector
    std::set<std::int64_t> Seen;      // start sectors of the found files looked at
    // Where each found file looked at sits in FoundFiles, by start sector (the scan only
    // appends while it runs).
    std::map<std::int64_t, std::size_t> IndexOf;
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
    std::vector<TFoundFile> Held;
    std::set<std::int64_t> Handled;   // start sectors of the files written or given up

    TImpl(TScanEngine& engine, const TRecoveryRequest& request, std::function<bool(const TFoundFile&)> chosen)
        : Engine(engine), Request(request), Chosen(std::move(chosen)) {}

    // Looks at the files found since the last block: follows an AVI's further chunks, judges
    // nesting with what is found so far, and keeps the chosen ones waiting.
    void TakeNewFiles(bool everything) {
        bool added = false;
        for (std::size_t i = everything ? 0 : Looked; i < Engine.FoundFiles.size(); ++i) {
            TFoundFile& f = Engine.FoundFiles[i];
            if (Seen.count(f.StartSector) != 0)
                continue;
            IndexOf[f.StartSector] = i;
            if (!LengthKnownFor(f.Ext, f.Length) || Engine.Measuring(i))
                Open.push_back(i);
            added = true;
        }
        if (!added)
            return;
        // The scan keeps each record's nesting as it finds files and their runs.
        for (std::size_t i = everything ? 0 : Looked; i < Engine.FoundFiles.size(); ++i) {
            const TFoundFile& f = Engine.FoundFiles[i];
            if (Seen.insert(f.StartSector).second && Chosen(f))
                Waiting.push_back(f);
        }
        Looked = Engine.FoundFiles.size();
        std::stable_sort(Waiting.begin(), Waiting.end(),
                         [](const TFoundFile& a, const TFoundFile& b) { return a.StartSector < b.StartSector; });
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
            for (auto it = IndexOf.lower_bound(first); it != IndexOf.end() && it->first < end; ++it) {
                if (it->second >= Engine.FoundFiles.size())
                    continue;
                const TFoundFile& g = Engine.FoundFiles[it->second];
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

    // The engine's record of a waiting file as it stands now: its length and nesting may have
    // been settled since it was first seen. Null when it is not in FoundFiles any more.
    const TFoundFile* Current(const TFoundFile& f) const {
        const auto it = IndexOf.find(f.StartSector);
        if (it != IndexOf.end() && it->second < Engine.FoundFiles.size() &&
            Engine.FoundFiles[it->second].StartSector == f.StartSector)
            return &Engine.FoundFiles[it->second];
        // The scan puts the files of re-read failing areas in device order at its end.
        const auto found = std::find_if(Engine.FoundFiles.begin(), Engine.FoundFiles.end(),
                                        [&](const TFoundFile& g) { return g.StartSector == f.StartSector; });
        return found == Engine.FoundFiles.end() ? nullptr : &*found;
    }

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
        for (const TFoundFile& f : Waiting)
            add(f, 0);
        // A photo held back for the pass: its rest is looked for among the sectors after it, as
        // far as the pass reaches past a break (engine/Fragments.h), and as far again for a
        // second break; what a search reaches further is read from the device.
        const TFragmentOptions& options = Engine.FragmentOptions;
        const std::uint64_t reach =
            std::max<std::uint64_t>(std::uint64_t{options.MaxGapClusters} * Geometry.ClusterBytes, options.MinGapBytes) /
            kSectorSize * 2;
        for (const TFoundFile& f : Held)
            add(f, reach);
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
        auto next = IndexOf.upper_bound(f.StartSector);
        while (next != IndexOf.end() && next->second < Engine.FoundFiles.size() &&
               Engine.FoundFiles[next->second].NestedIn == f.StartSector)
            ++next;
        const std::uint64_t nextStart =
            next == IndexOf.end() ? UINT64_MAX : static_cast<std::uint64_t>(next->first) * kSectorSize;
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
        judged.DecodedWhole.insert(f.StartSector);
        return TPhotoVerdict::Final;
    }

    // The judgements above, and the window the pass may read from, belong to one scan.
    void ForgetJudged() {
        Engine.FragmentOptions.SampledClean.clear();
        Engine.FragmentOptions.DecodedWhole.clear();
        Engine.FragmentOptions.HeldSectors = nullptr;
    }

    void Write(const TFoundFile& f, bool pending = false) {
        Handled.insert(f.StartSector);
        TRecoveryEntry e;
        e.File = f;
        if (Ended || Engine.StopRequested) {
            e.Status = TRecoveryStatus::NotWritten;
            e.Detail = Ended ? EndReason : "not written: recovery was stopped";
            Result.Files.push_back(e);
            ++Result.NotWritten;
            return;
        }
        TFileOutcome outcome = Run->HandleOne(e, pending);
        if (outcome.NoSpace && Spill.HeldBytes() > 0) {
            // The destination filled while sectors waited there: they are given up, and the
            // file is tried again with what it needs of them read from the device.
            Run->Uncount(e);
            Spill.Stop();
            e = TRecoveryEntry{};
            e.File = f;
            outcome = Run->HandleOne(e, pending);
        }
        Result.Files.push_back(e);
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
        std::vector<TFoundFile> later;
        for (TFoundFile& f : Waiting) {
            // Its length and nesting may have been settled since, and after the scan the pass
            // may have found it in pieces.
            if (const TFoundFile* now = Current(f))
                f = *now;
            // A file that turned out to lie inside another is left out, as by type it would be.
            if (!Chosen(f))
                continue;
            // A file after the start of one still being measured may lie inside it: it waits,
            // and so does a file whose own length the scan is still measuring.
            const bool mayBeHeld = earliestOpen < f.StartSector;
            const auto index = IndexOf.find(f.StartSector);
            const bool measuring = index != IndexOf.end() && Engine.Measuring(index->second);
            // (After the scan the scan itself has judged every claim.)
            if (!all && index != IndexOf.end() && index->second < Engine.FoundFiles.size() &&
                Engine.FoundFiles[index->second].StartSector == f.StartSector && f.ClaimFrom >= 0) {
                CutClaim(Engine.FoundFiles[index->second]);
                f = Engine.FoundFiles[index->second];
            }
            if (all || (!mayBeHeld && !measuring && Ready(f, scanned))) {
                const TPhotoVerdict verdict = all ? TPhotoVerdict::Final : MayBeInPieces(f);
                if (verdict == TPhotoVerdict::Hold)
                    Held.push_back(f);
                else
                    Write(f, verdict == TPhotoVerdict::Pending);
            } else {
                later.push_back(f);
            }
        }
        Waiting.swap(later);
    }

    // After the scan and its pass: a file written during the scan whose record the pass changed
    // (a photo its test let through that turned out to be in pieces, a file found to lie inside
    // a photo, or outside the one it seemed part of) is taken back: what was written of it is
    // removed, and it is handled again as its record now says, as recovery after the scan would.
    void TakeBackChanged() {
        std::vector<TRecoveryEntry> kept;
        for (TRecoveryEntry& e : Result.Files) {
            const TFoundFile* now = Current(e.File);
            const bool changed = now != nullptr && (now->Pieces != e.File.Pieces || now->Incomplete != e.File.Incomplete ||
                                                    now->NestedIn != e.File.NestedIn || now->Length != e.File.Length);
            if (!changed) {
                kept.push_back(std::move(e));
                continue;
            }
            Drop(e);
            Handled.erase(e.File.StartSector);
        }
        Result.Files.swap(kept);
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
        for (TRecoveryEntry& e : Result.Files) {
            if (e.Temporary.empty())
                continue;
            if (stopped && e.Status == TRecoveryStatus::Recovered) {
                Run->Uncount(e);
                e.Status = TRecoveryStatus::Failed;
                e.Detail = "failed: written as the scan saw it, but not checked for pieces: recovery was stopped first";
                Run->Recount(e);
            }
            const TFileOutcome outcome = Run->NamePending(e);
            if (outcome.Fatal && !Ended) {
                Ended = true;
                Result.Stopped = true;
                Result.Message = outcome.Message;
                EndReason = "not written: recovery ended early";
            }
        }
    }

    // After the scan: what the card's file system said of the files. A file written while the
    // scan ran is moved to its original folder and name (a rename, never a copy); one written
    // longer than its entry's size, where its length was a guess, is cut to that size. Its bytes
    // are not read again, so a file that its entry makes longer keeps what was written, and the
    // report says so.
    void NameOriginals() {
        for (TRecoveryEntry& e : Result.Files) {
            const TFoundFile* now = Current(e.File);
            if (now == nullptr || now->OriginalName.empty())
                continue;
            TFoundFile& f = e.File;
            f.OriginalName = now->OriginalName;
            f.OriginalFolder = now->OriginalFolder;
            f.FolderKnown = now->FolderKnown;
            f.NameSource = now->NameSource;
            f.NameDeleted = now->NameDeleted;
            f.EntrySize = now->EntrySize;
            f.UseEntrySize = now->UseEntrySize;
            f.EntryModified = now->EntryModified;
            f.EntryCreated = now->EntryCreated;
            const bool written = !e.Name.empty() && !e.NamedOriginally && e.Name.find('/') == std::string::npos;
            if (!written || e.Source == TLengthSource::Entry)
                continue;
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
                } else if (entrySize > e.BytesWritten && Extend(e, entrySize)) {
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
            if (!Request.OriginalNames)
                continue;
            const TWriteResult w = Run->MoveOriginal(e.Name, f, e.Damaged);
            if (w.Outcome == TWriteOutcome::Written) {
                e.Name = w.Name;
                e.NamedOriginally = true;
            }
        }
    }

    // Adds to a file written whole while the scan ran the bytes that follow it on the device up
    // to the size its file system's entry gives (a trailer or padding after its end marker,
    // which recovery after the scan writes too). Not for a file in pieces, one written damaged,
    // or when a sector of what it adds cannot be read: it then stays as written.
    bool Extend(const TRecoveryEntry& e, std::uint64_t size) {
        const TFoundFile& f = e.File;
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
        std::set<std::int64_t> waiting;
        for (const TFoundFile& f : Waiting)
            waiting.insert(f.StartSector);
        for (const TFoundFile& f : Held)
            if (waiting.insert(f.StartSector).second)
                Waiting.push_back(f);
        Held.clear();
        for (const TFoundFile& f : Engine.FoundFiles)
            if (Handled.count(f.StartSector) == 0 && waiting.count(f.StartSector) == 0 && Chosen(f)) {
                waiting.insert(f.StartSector);
                Waiting.push_back(f);
            }
        std::stable_sort(Waiting.begin(), Waiting.end(),
                         [](const TFoundFile& a, const TFoundFile& b) { return a.StartSector < b.StartSector; });
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
        m.IndexOf.clear();
        for (std::size_t i = 0; i < m.Engine.FoundFiles.size(); ++i)
            m.IndexOf[m.Engine.FoundFiles[i].StartSector] = i;
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
        std::stable_sort(m.Result.Files.begin(), m.Result.Files.end(), [](const TRecoveryEntry& a, const TRecoveryEntry& b) {
            return a.File.StartSector < b.File.StartSector;
        });
        for (TRecoveryEntry& e : m.Result.Files)
            if (const auto it = m.IndexOf.find(e.File.StartSector); it != m.IndexOf.end())
                e.Index = it->second;
        NameEnclosingFiles(m.Engine.FoundFiles, m.Result.Files);
        WriteReport(m.Dest, m.Result);
        m.Dest.Sync();
    } catch (const std::exception& ex) {
        m.Result.Stopped = true;
        m.Result.Message = std::string("Recovery stopped by an internal error: ") + ex.what();
    }
    m.ForgetJudged();
    return std::move(m.Result);
}

} // namespace lumivore
