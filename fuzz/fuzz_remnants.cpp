// Arbitrary bytes as blocks of a card whose file-system remnants are read: FAT folder entries,
// exFAT entry sets, NTFS file records and boot sectors, split over two blocks as a scan may
// pass them; then the names are given to found files at sectors the bytes also choose. Folder
// chains that loop, run lists that point anywhere and names of any text must all be bounded.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/Remnants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 16)
        return 0;
    // The first bytes place three found files; the rest, cut to whole sectors, is the card.
    lumivore::TFoundFileList files(3);
    const char* const exts[] = {"JPG", "CR2", "MP4"};
    for (std::size_t i = 0; i < files.size(); ++i) {
        files[i].Ext = exts[i];
        files[i].StartSector = (data[i * 2] | (data[i * 2 + 1] << 8)) % 4096;
        files[i].Length = (data[6 + i] + 1) * 700;
    }
    const std::size_t cardBytes = (size - 16) / 512 * 512;
    std::vector<std::uint8_t> card(data + 16, data + 16 + cardBytes);
    if (card.empty())
        return 0;
    lumivore::TRemnants remnants;
    const std::size_t split = (data[9] % (card.size() / 512 + 1)) * 512;
    remnants.Block(lumivore::TBytes(card.data(), split), 0);
    remnants.Block(lumivore::TBytes(card.data() + split, card.size() - split), split);
    const auto check = [&](const lumivore::TFoundFile&, const std::vector<lumivore::TPiece>& pieces, std::uint64_t) {
        return !pieces.empty() && (data[10] & 1) != 0;
    };
    const lumivore::TRemnantStats stats = remnants.Apply(files, check);
    for (const lumivore::TFoundFile& f : files)
        if (f.OriginalName.size() > 1024 || f.OriginalFolder.size() > 256)
            __builtin_trap();
    (void)stats;
    return 0;
}
