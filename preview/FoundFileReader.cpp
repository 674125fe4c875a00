// Reading found files back from the device: whole files (measured again over a larger window
// when the scan could not tell their length) and byte ranges such as embedded thumbnails.
#include <algorithm>

#include "engine/FileTypes.h"
#include "engine/Fragments.h"
#include "engine/ScanEngine.h"
#include "formats/Measure.h"
#include "formats/Recognisers.h"

namespace lumivore {

namespace {

// Windows read from a file's first sector when its length is unknown.
constexpr std::uint32_t kPictureWindowSectors = 10000;  // 5,120,000 bytes
constexpr std::uint32_t kTiffWindowSectors = 40000;     // 20,480,000 bytes

// The most read back for one thumbnail or preview: the file length limit (50 MiB). No file the
// scan measures is that long (longer lengths count as unknown), so no part of one can be
// either; a range that claims more is damaged or forged, and reading it would only cost
// memory and time.
constexpr std::uint64_t kReadBackCeiling = static_cast<std::uint64_t>(kFileLengthLimit);

std::uint32_t SectorsFor(std::uint64_t bytes) {
    return static_cast<std::uint32_t>((bytes + kSectorSize - 1) / kSectorSize);
}

// Sets Busy for the lifetime of the guard, also when an error leaves early.
struct TBusyGuard {
    bool& Busy;
    explicit TBusyGuard(bool& busy) : Busy(busy) { Busy = true; }
    ~TBusyGuard() { Busy = false; }
};

// Reads [offset, offset + n) of a photo put back together from its pieces, through them, into
// the stream; false when the range leaves the pieces or a sector cannot be read.
bool ReadThroughPieces(TDrive& drive, const TFoundFile& file, std::uint64_t offset, std::uint64_t n,
                       TMemoryStream& stream) {
    TPieceReader reader(drive, file.Pieces);
    if (offset > reader.Size() || n > reader.Size() - offset || n > kReadBackCeiling)
        return false;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(n));
    if (!reader.ReadAt(offset, bytes.data(), bytes.size()))
        return false;
    stream.Write(bytes.data(), bytes.size());
    return true;
}

} // namespace

void TScanEngine::ReadSectors(std::uint8_t* destination, std::uint32_t sectorCount, std::int64_t startSector) {
    try {
        std::uint32_t done = 0;
        if (startSector < 0)
            return;
        std::uint64_t sector = static_cast<std::uint64_t>(startSector);
        do {
            PumpMessages();
            const std::uint32_t n = std::min(sectorCount - done, kBlockSectors);
            Drive.Read(sector, static_cast<std::uint16_t>(n), destination + static_cast<std::size_t>(done) * kSectorSize);
            done += n;
            sector += n;
        } while (done < sectorCount);
    } catch (...) {
        // A failing message handler ends the read; the bytes not read keep what they held.
    }
}

bool TScanEngine::LoadFoundFile(TFoundFile& file, TMemoryStream& stream) {
    if (Busy)
        return false;
    TBusyGuard busy(Busy);
    StopRequested = false;

    // The stream is emptied and zero-filled before every read, so a short device read never
    // leaves bytes of an earlier use behind the ones the device delivered.
    // A record with a negative start sector is damaged: nothing is read for it.
    auto readWindow = [&](std::uint32_t sectors) {
        stream.Vector().assign(static_cast<std::size_t>(sectors) * kSectorSize, 0);
        stream.SetPosition(0);
        if (file.StartSector >= 0)
            ReadSectors(stream.Memory(), sectors, file.StartSector);
    };

    const TFileTypeTraits& traits = TraitsOf(file.Type());
    if (file.Reassembled()) {
        // A photo in pieces is read through them: its length is their sum.
        stream.Clear();
        const bool read = LengthKnown(file.Length) &&
                          ReadThroughPieces(Drive, file, 0, static_cast<std::uint64_t>(file.Length), stream);
        stream.SetPosition(0);
        return read;
    } else if (LengthKnown(file.Length)) {
        readWindow(SectorsFor(static_cast<std::uint64_t>(file.Length)));
    } else if (LengthKnownFor(file.Ext, file.Length)) {
        // A measured file too long to hold in memory (a raw of a high-resolution camera, a
        // video) is never read whole: its embedded preview stands for it.
        stream.Clear();
        return false;
    } else if (traits.Measure == TLengthMeasure::Jpeg || traits.Measure == TLengthMeasure::Gif ||
               traits.Measure == TLengthMeasure::Png) {
        readWindow(kPictureWindowSectors);
        file.Length = MeasureLength(file, stream.Bytes());
    } else if (traits.Decoder == TPictureDecoder::Tiff) {
        // A TIFF picture (TIF, DNG) is read back to be decoded; a camera raw's picture is its
        // embedded preview, which needs no read-back of the file.
        readWindow(kTiffWindowSectors);
        TFoundFile scratch;
        if (!RecogniseTiff(stream.Bytes(), scratch)) {
            stream.SetPosition(0);
            return false;
        }
        file.Length = scratch.Length;
        file.Width = scratch.Width;
        file.Height = scratch.Height;
        // A TIFF whose directory lay past the scanned block was found by its header alone:
        // its metadata and thumbnail come from this reading.
        if (file.Make.empty() && file.ThumbLength == 0) {
            const std::int64_t start = file.StartSector, nestedIn = file.NestedIn;
            const std::string ext = file.Ext;
            const std::uint8_t format = file.FormatIndex, maker = file.MakerIndex;
            file = scratch;
            file.StartSector = start;
            file.NestedIn = nestedIn;
            file.Ext = ext;
            file.FormatIndex = format;
            file.MakerIndex = maker;
        }
    } else {
        return false;
    }

    const bool ok = LengthKnown(file.Length);
    if (ok)
        stream.SetSize(static_cast<std::size_t>(file.Length));
    stream.SetPosition(0);
    return ok;
}

bool TScanEngine::ReadThumbnailRange(const TFoundFile& file, TMemoryStream& stream) {
    if (file.ThumbLength == 0)
        return false;
    // The range must lie inside the file: within its length when that is known, and within
    // the read-back ceiling always. A range that leaves it is refused before anything is read.
    // A long file's range may lie anywhere in it, but no range is longer than the ceiling: it is
    // read into memory.
    const std::uint64_t rangeEnd = std::uint64_t{file.ThumbOffset} + file.ThumbLength;
    const std::uint64_t extent =
        LengthKnownFor(file.Ext, file.Length) ? static_cast<std::uint64_t>(file.Length) : kReadBackCeiling;
    if (rangeEnd > extent || file.ThumbLength > kReadBackCeiling)
        return false;
    // A photo put back together from its pieces: the range is read through them.
    if (file.Reassembled())
        return ReadThroughPieces(Drive, file, file.ThumbOffset, file.ThumbLength, stream);
    const std::uint64_t firstSector = static_cast<std::uint64_t>(file.StartSector) + file.ThumbOffset / kSectorSize;
    if (file.StartSector < 0)
        return false;
    std::uint64_t sector = firstSector;
    std::uint32_t skip = file.ThumbOffset % kSectorSize;
    const std::uint64_t wanted = file.ThumbLength;
    std::uint64_t have = 0;
    while (have < wanted) {
        const std::uint64_t remaining = wanted - have;
        const std::uint32_t chunk = skip + remaining > kSectorBufferSize ? kSectorBufferSize - skip
                                                                         : static_cast<std::uint32_t>(remaining);
        const std::uint32_t sectors = SectorsFor(static_cast<std::uint64_t>(skip) + chunk);
        const std::uint32_t delivered = Drive.Read(sector, static_cast<std::uint16_t>(sectors), SectorBuffer.data());
        // Bytes the device did not deliver would be left over from an earlier read: refuse.
        if (delivered < skip + chunk)
            return false;
        stream.Write(SectorBuffer.data() + skip, chunk);
        have += chunk;
        sector += SectorsFor(chunk);
        skip = 0;
    }
    return true;
}

} // namespace lumivore
