// Arbitrary bytes as a small card whose photos may lie in pieces: the scan finds what it can on
// it, and the pass looks for the rest of every photo that breaks off. Cluster sizes, lengths,
// found files in the way and candidate clusters all come from the bytes; every piece the pass
// gives a file, whole or incomplete, must lie on the card, and the pass must end.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "device/DskLib.h"
#include "engine/Fragments.h"
#include "engine/ScanEngine.h"

namespace {

// The card lives in memory, behind a file descriptor the device layer opens by its path.
struct TMemoryCard {
    int Fd = -1;
    std::uint8_t Code = 0;
    std::unique_ptr<lumivore::TScanEngine> Engine;
};

TMemoryCard& Card() {
    static TMemoryCard card = [] {
        TMemoryCard c;
        char folder[] = "/tmp/lumivore-fuzz-XXXXXX";
        if (mkdtemp(folder) != nullptr)
            setenv("LUMIVORE_CONFIG", (std::string(folder) + "/settings.xml").c_str(), 1);
        c.Fd = memfd_create("card", 0);
        if (c.Fd >= 0)
            c.Code = lumivore::TDeviceCatalogue::Instance().RegisterImage("/proc/self/fd/" + std::to_string(c.Fd));
        c.Engine = std::make_unique<lumivore::TScanEngine>();
        c.Engine->ReassembleAfterScan = false;
        return c;
    }();
    return card;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumivore;
    // The first byte chooses the pass's options; the rest, cut to whole sectors, is the card.
    constexpr std::size_t kMaxCard = 1u << 20;
    if (size < 1 + 2 * kSectorSize)
        return 0;
    TMemoryCard& card = Card();
    if (card.Fd < 0 || card.Code == 0)
        __builtin_trap(); // the harness itself cannot run
    const std::size_t cardBytes = std::min((size - 1) / kSectorSize * kSectorSize, kMaxCard);
    if (ftruncate(card.Fd, 0) != 0 || pwrite(card.Fd, data + 1, cardBytes, 0) != static_cast<ssize_t>(cardBytes))
        __builtin_trap();
    TScanEngine& engine = *card.Engine;
    if (!engine.OpenDrive(card.Code))
        return 0;
    engine.Scan(0, static_cast<std::int64_t>(cardBytes / kSectorSize), nullptr, nullptr, nullptr);

    TFragmentOptions options;
    options.SearchFar = (data[0] & 1) != 0;
    options.SampleMeasuredJpegs = (data[0] & 2) != 0;
    options.CheckAhead = (data[0] & 4) != 0;
    options.BackoffClusters = (data[0] >> 3) & 3;
    // Fewer tries than a real card allows keep each input quick; the bounds are the same code.
    options.MaxAttemptsPerFile = 3000;
    options.MaxFarClusters = 2000;
    ReassembleFragments(engine, options);

    // Every piece lies on the card, and a photo put back together is as long as its pieces.
    for (const TFoundFile& f : engine.FoundFiles) {
        std::uint64_t total = 0;
        for (const TPiece& p : f.Pieces) {
            if (p.Offset < 0 || p.Length < 0 || static_cast<std::uint64_t>(p.Offset) >= cardBytes)
                __builtin_trap();
            const auto end = static_cast<std::uint64_t>(p.Offset) + static_cast<std::uint64_t>(p.Length);
            if (end > cardBytes)
                __builtin_trap();
            total += static_cast<std::uint64_t>(p.Length);
        }
        if (f.Reassembled() && f.Length != static_cast<std::int64_t>(total))
            __builtin_trap();
    }
    return 0;
}
