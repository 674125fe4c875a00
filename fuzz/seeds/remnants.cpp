// Seeds for the file-system remnants: a few sectors of a FAT32 card after a format (boot
// sector, a camera folder with long and deleted names), an exFAT entry set and an NTFS record.
#include "SeedRegistry.h"
#include "testkit/FsBuilder.h"

namespace lumivore::fuzzseeds {

namespace {

std::vector<std::uint8_t> Card() {
    // Files at sectors 40, 48 and 56; the card's bytes follow the 16 bytes that say so.
    std::vector<std::uint8_t> out{40, 0, 48, 0, 56, 0, 10, 20, 30, 0, 1, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> card(64 * 512, 0);
    const auto put = [&](std::size_t sector, const std::vector<std::uint8_t>& bytes) {
        std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), card.size() - sector * 512)),
                  card.begin() + static_cast<std::ptrdiff_t>(sector * 512));
    };
    // One sector a cluster, cluster 2 at sector 6.
    put(0, testkit::Fat32BootSector(1, 2, 2, 64));
    const auto entry = [](const char* shortName, const char* longName, std::uint32_t cluster, std::uint32_t size) {
        testkit::TFatEntry e;
        e.ShortName = shortName;
        e.LongName = longName;
        e.FirstCluster = cluster;
        e.Size = size;
        return e;
    };
    testkit::TFatEntry folder = entry("100CANON", "", 4, 0);
    folder.Directory = true;
    testkit::TFatEntry deleted = entry("MVI_0003.MP4", "", 52, 21000);
    deleted.Deleted = true;
    put(7, testkit::FatFolderCluster(3, 0, {folder}, 512));
    put(8, testkit::FatFolderCluster(4, 3, {entry("IMG_0001.JPG", "", 36, 7000), entry("DSC_00~1.CR2", "DSC_0002 long name.cr2", 44, 14000), deleted}, 1024));
    testkit::TExFatEntry set;
    set.Name = "clip.mp4";
    set.FirstCluster = 52;
    set.Size = 21000;
    put(12, testkit::ExFatEntrySet(set));
    testkit::TNtfsFile record;
    record.Name = "split.jpg";
    record.Size = 7000;
    record.Runs = {{36, 4}, {60, 4}};
    put(14, testkit::NtfsFileRecord(record));
    out.insert(out.end(), card.begin(), card.end());
    return out;
}

const TRegisterSeeds kRemnants("fuzz_remnants", [] { return std::vector<std::vector<std::uint8_t>>{Card()}; });

} // namespace

} // namespace lumivore::fuzzseeds
