// The scan's first look at every sector: only sectors whose first bytes some recogniser names
// (or that begin a box of a named type) are offered to the recognisers, up to the last sector
// the block holds and no further; a recogniser that takes any start sees every sector.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/ScanEngine.h"
#include "testkit/TempFiles.h"

using namespace lumivore;

namespace {

TScanEngine* current = nullptr;
std::vector<std::size_t> offered; // sectors of the block, in the order offered
std::size_t stopAt = ~std::size_t{0};

bool Record(TBytes data, TFoundFile&) {
    const std::size_t sector = (data.data() - current->SectorBuffer.data()) / kSectorSize;
    offered.push_back(sector);
    if (sector == stopAt)
        current->StopScan();
    return false;
}

const TRecogniserEntry kNamed[] = {
    {"pair", &Record, false, 2, {StartOf('Q', 'Q'), 0xFFD8}},
    {"box", &Record, true, 0, {0, 0}, 2, {TagOf("ftyp"), TagOf("moov")}},
};
const TRecogniserEntry kAnyStart[] = {
    {"any", &Record, false, 0, {0, 0}},
};

class SectorFilter : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir / "settings.xml").c_str(), 1);
        engine = std::make_unique<TScanEngine>();
        current = engine.get();
        offered.clear();
        stopAt = ~std::size_t{0};
        // Bytes no recogniser names, with zero bytes starting every third sector.
        for (std::size_t s = 0; s < kBlockSectors; ++s) {
            std::uint8_t* p = engine->SectorBuffer.data() + s * kSectorSize;
            std::memset(p, 0x5A, kSectorSize);
            if (s % 3 == 0)
                std::memset(p, 0, 8);
        }
    }
    void Place(std::size_t sector, std::initializer_list<std::uint8_t> bytes) {
        std::memcpy(engine->SectorBuffer.data() + sector * kSectorSize, bytes.begin(), bytes.size());
    }
    lumivore::testkit::TTempDir dir;
    std::unique_ptr<TScanEngine> engine;
};

} // namespace

TEST_F(SectorFilter, OnlyNamedStartsReachTheRecognisersUpToTheBlocksEnd) {
    engine->SetRecognisers(kNamed);
    Place(0, {'Q', 'Q'});
    Place(1, {0xFF, 0xD8});
    Place(2, {0xFF, 0xD9});                         // one bit off the named pair
    Place(3, {0, 0, 0, 0x20, 'm', 'o', 'o', 'v'}); // a named box
    Place(4, {1, 0, 0, 0x20, 'f', 't', 'y', 'p'}); // named type, but no box starts with 1
    Place(6, {0, 0, 0, 0x20, 'f', 't', 'y', 'q'}); // a type no entry names
    Place(499, {'Q', 'Q'});
    Place(500, {'Q', 'Q'});
    Place(998, {0, 0, 0, 0x20, 'f', 't', 'y', 'p'});
    Place(999, {0xFF, 0xD8});
    engine->ScanBlock(1000, 0);
    // Each sector that passes is offered to every recogniser in turn.
    EXPECT_EQ(offered, (std::vector<std::size_t>{0, 0, 1, 1, 3, 3, 499, 499, 500, 500, 998, 998, 999, 999}));

    // A short read: sector 500 and those after it hold bytes of an earlier block.
    offered.clear();
    engine->ScanBlock(500, 0);
    EXPECT_EQ(offered, (std::vector<std::size_t>{0, 0, 1, 1, 3, 3, 499, 499}));
}

TEST_F(SectorFilter, ARecogniserOfAnyStartSeesEverySector) {
    engine->SetRecognisers(kAnyStart);
    engine->ScanBlock(1000, 0);
    ASSERT_EQ(offered.size(), kBlockSectors);
    EXPECT_EQ(offered.front(), 0u);
    EXPECT_EQ(offered.back(), kBlockSectors - 1);
}

TEST_F(SectorFilter, AStopEndsTheBlockAtTheNextSectorOffered) {
    engine->SetRecognisers(kNamed);
    Place(10, {'Q', 'Q'});
    Place(20, {'Q', 'Q'});
    Place(30, {'Q', 'Q'});
    stopAt = 20;
    engine->ScanBlock(1000, 0);
    // Sector 20 is offered to both recognisers; the stop is seen before sector 30.
    EXPECT_EQ(offered, (std::vector<std::size_t>{10, 10, 20, 20}));
}
