#include "engine/ScanEngine.h"

#include <limits>

#include "engine/FileTypes.h"
#include "engine/Nesting.h"
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
    for (const TRecogniserEntry& r : recognisers) {
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
}

void TScanEngine::CountByType() const { lumivore::CountByType(FoundFiles); }

void TScanEngine::Scan(std::uint32_t firstSector, std::uint32_t sectorCount, TCounterLabel* foundLabel,
                       TCounterLabel* sectorLabel, TCounterLabel* errorLabel) {
    if (Busy)
        return;
    ClearFoundFiles();
    Busy = true;
    StopRequested = false;
    SetProgress(0);

    // Busy, the stop request and the bar are reset on every way out, also when an error
    // escapes from the loop.
    struct TResetOnExit {
        TScanEngine& engine;
        ~TResetOnExit() {
            engine.Busy = false;
            engine.StopRequested = false;
            engine.SetProgress(0);
        }
    } reset{*this};

    std::uint32_t errors = 0;
    std::uint32_t skip = 0;
    std::uint64_t current = firstSector;
    const std::uint64_t steps = (std::uint64_t{sectorCount} + kBlockSectors - 1) / kBlockSectors;

    for (std::uint64_t k = 0; k < steps; ++k) {
        PumpMessages();
        SetProgress(ProgressPosition(k, steps));
        if (StopRequested)
            break;
        if (skip > 0) {
            --skip;
            current += kBlockSectors;
            continue;
        }
        // Sector numbers given to the drive are 32-bit: beyond them nothing can be read.
        const std::uint32_t n = current <= std::numeric_limits<std::uint32_t>::max()
                                    ? Drive.Read(static_cast<std::uint32_t>(current), kBlockSectors, SectorBuffer.data())
                                    : 0;
        if (n > 0) {
            ScanBlock(static_cast<std::uint16_t>(n / kSectorSize), static_cast<std::int64_t>(current));
        } else {
            skip = kSkipBlocksAfterError;
            ++errors;
            if (errorLabel)
                errorLabel->SetCount(errors);
        }
        current += kBlockSectors;
        if (foundLabel)
            foundLabel->SetCount(static_cast<std::int64_t>(FoundFiles.size()));
        if (sectorLabel)
            sectorLabel->SetCount(static_cast<std::int64_t>(current - firstSector));
    }
    MarkNestedFiles(FoundFiles);
    CountByType();
}

void TScanEngine::ScanBlock(std::uint16_t sectorsRead, std::int64_t blockStart) {
    TFoundFile& rec = scratch_;
    rec.Reset();
    bool recTouched = false;
    const std::size_t limit = std::min<std::size_t>(sectorsRead, kBlockSectors);
    const TBytes block(SectorBuffer.data(), limit * kSectorSize);
    for (std::size_t i = 0; i < limit; ++i) {
        try {
            // The record is reset before every sector; one that no recogniser saw is still empty.
            if (recTouched) {
                rec.Reset();
                recTouched = false;
            }
            if (StopRequested)
                return;
            const TBytes rest = block.subspan(i * kSectorSize);
            const std::uint16_t start = static_cast<std::uint16_t>((rest[0] << 8) | rest[1]);
            if ((startMask_[start / 64] & (std::uint64_t{1} << (start % 64))) == 0)
                continue;
            recTouched = true;
            for (const TRecogniserEntry& r : recognisers_) {
                const TBytes data = r.SectorOnly ? rest.first(kSectorSize) : rest;
                if (r.Recognise(data, rec)) {
                    AddFoundFile(rec, blockStart + static_cast<std::int64_t>(i));
                    break;
                }
            }
        } catch (...) {
            // A sector whose examination fails is abandoned silently; the scan goes on.
        }
    }
}

} // namespace lumivore
