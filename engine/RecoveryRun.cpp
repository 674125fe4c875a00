// The run that writes chosen found files one at a time: finding each file's length, reading it
// from the examined device (or from the scan's window, or from what measuring it kept), and
// writing it whole into the destination.
#include "engine/RecoveryRun.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "engine/FileTypes.h"
#include "formats/Measure.h"
#include "support/Settings.h"

namespace lumivore::detail {

namespace {

// What measuring a file keeps of its first bytes for the writing (kWriteBlock's multiple):
// a file measured longer is streamed from the device, the window or the spill when written.
constexpr std::uint64_t kKeptWhileMeasuring = 2 * std::uint64_t{kWriteBlock};
// The most a file leaves to the next one of what it read.
constexpr std::uint64_t kSweepSectors = kKeptWhileMeasuring / kSectorSize;

} // namespace

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

namespace {

// Reads a reassembled file's bytes through its pieces on the device, in order: from the scan's
// window when it still holds them, else from the engine's drive in runs of at most one block,
// with the message pump between runs. A run the device refuses is read again sector by sector;
// a sector that still cannot be read is zero-filled and counted. It leaves the sweep of nearby
// files alone: the pieces lie apart, and the next file reads its own bytes.
class TPieceStream {
public:
    TPieceStream(TScanEngine& engine, const std::vector<TPiece>& pieces, const TScanWindow* window)
        : engine_(engine), pieces_(pieces), window_(window), code_(engine.Drive.DriveCode),
          handle_(engine.Drive.Handle) {}

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
        // Taken at the first read: every file is handled through a stream, few are in pieces.
        if (run_.empty())
            run_.resize(std::size_t{kBlockSectors + 1} * kSectorSize);
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

} // namespace

void TRecoveryRun::Run() {
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
        const TFileOutcome outcome = RecoverOne(result_.Files[done], result_.FileOf(result_.Files[done]));
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

void TRecoveryRun::SetProgress(std::size_t done, std::size_t total) {
    if (request_.Progress && total > 0)
        Show(static_cast<int>((done * 100 + total / 2) / total));
}

void TRecoveryRun::SetProgressWithin(std::uint64_t part, std::uint64_t whole) {
    const std::uint64_t total = result_.Files.size();
    if (request_.Progress == nullptr || total == 0 || whole == 0)
        return;
    const std::uint64_t permille = std::min<std::uint64_t>(part, whole) * 1000 / whole;
    Show(static_cast<int>((current_ * 1000 + permille) * 100 / (total * 1000)));
}

void TRecoveryRun::Show(int position) {
    if (position != shown_) {
        shown_ = position;
        request_.Progress->SetPosition(position);
    }
}

void TRecoveryRun::Tally(const TRecoveryEntry& e, int step) {
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

TFileOutcome TRecoveryRun::Changed(TRecoveryEntry& e) {
    e.Status = TRecoveryStatus::NotWritten;
    e.Detail = "not written: the examined device was changed";
    return {true, "Recovery stopped: another device was opened while it ran."};
}

std::int64_t TRecoveryRun::MeasureFromDevice(const TFoundFile& f, TFileSource& src) {
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

std::int64_t TRecoveryRun::DetermineLength(const TFoundFile& f, TFileSource& src, TLengthSource& source) {
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

TFileOutcome TRecoveryRun::RecoverOne(TRecoveryEntry& e, const TFoundFile& f) {
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

TFileOutcome TRecoveryRun::HandleOne(TRecoveryEntry& e, const TFoundFile& f, bool pending) {
    pending_ = pending;
    const TFileOutcome outcome = RecoverOne(e, f);
    pending_ = false;
    Count(e);
    return outcome;
}

TFileOutcome TRecoveryRun::NamePending(TRecoveryEntry& e, const TFoundFile& f) {
    if (e.Temporary.empty())
        return {};
    const bool damaged = e.Damaged;
    const TWriteResult w = dest_.NamePending(e.Temporary, [&](int suffix) { return FinalName(f, damaged, suffix); });
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

TWriteResult TRecoveryRun::MoveOriginal(const std::string& from, const TFoundFile& f, bool damaged) {
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

std::string TRecoveryRun::FinalName(const TFoundFile& f, bool damaged, int suffix) {
    std::string name = RecoveredFileName(f.StartSector, f.Ext, suffix);
    if (damaged)
        name.insert(name.rfind('.'), "-damaged");
    return name;
}

} // namespace lumivore::detail
