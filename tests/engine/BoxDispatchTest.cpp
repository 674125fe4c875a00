// The scan's start test for box-structured files: a sector that starts with a zero byte is
// offered to the recognisers only when bytes 4-7 hold a box type one of them is keyed on, so
// the zero-filled sectors of a card cost no recogniser call.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "engine/FileTypes.h"
#include "engine/ScanEngine.h"
#include "testkit/IsoBuilder.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
using namespace lumivore::testkit;

namespace {

int offers = 0;
int boxOffers = 0;
bool CountOffers(TBytes, TFoundFile&) {
    ++offers;
    return false;
}
bool CountBoxOffers(TBytes, TFoundFile&) {
    ++boxOffers;
    return false;
}
const TRecogniserEntry kCounting[] = {
    {"two bytes", &CountOffers, false, 1, {StartOf('Z', 'Z')}},
    {"box", &CountBoxOffers, false, 0, {0, 0}, 1, {TagOf("ftyp")}},
};

class BoxDispatch : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir / "settings.xml").c_str(), 1);
        engine = std::make_unique<TScanEngine>();
        offers = boxOffers = 0;
    }
    void Place(std::size_t sector, const TByteVector& bytes) {
        std::memcpy(engine->SectorBuffer.data() + sector * 512, bytes.data(), bytes.size());
    }
    TTempDir dir;
    std::unique_ptr<TScanEngine> engine;
};

TEST_F(BoxDispatch, ZeroSectorsReachNoRecogniser) {
    engine->SetRecognisers(kCounting);
    Place(5, {0, 0, 0, 0x18, 'f', 't', 'y', 'p'});
    Place(7, {0, 0, 0, 0x18, 'm', 'o', 'o', 'v'}); // a type no entry is keyed on
    Place(9, {1, 0, 0, 0x18, 'f', 't', 'y', 'p'}); // a size whose first byte is not 0
    Place(11, {'Z', 'Z', 0, 0});
    engine->ScanBlock(1000, 0);
    // Sector 5 passes on its type and sector 11 on its first two bytes; each is offered to
    // every recogniser in turn, as any sector that passes is.
    EXPECT_EQ(boxOffers, 2);
    EXPECT_EQ(offers, 2);
}

TEST_F(BoxDispatch, MoviesAndPicturesAreFoundAtTheirSectors) {
    TMovieRecipe mov;
    mov.major = ""; // starts with its "moov"
    Place(3, BuildMovie(TMovieRecipe{}));
    Place(40, BuildHeif(THeifRecipe{}));
    Place(60, BuildMovie(mov));
    engine->ScanBlock(1000, 2000);
    ASSERT_EQ(engine->FoundFiles.size(), 3u);
    EXPECT_EQ(engine->FoundFiles[0].StartSector, 2003);
    EXPECT_EQ(engine->FoundFiles[0].Ext, "MP4");
    EXPECT_EQ(engine->FoundFiles[0].Length, static_cast<std::int64_t>(BuildMovie(TMovieRecipe{}).size()));
    EXPECT_EQ(engine->FoundFiles[1].Ext, "HEIC");
    EXPECT_EQ(engine->FoundFiles[1].PhoneIndex, kPhoneHeic);
    EXPECT_EQ(engine->FoundFiles[2].StartSector, 2060);
    EXPECT_EQ(engine->FoundFiles[2].Ext, "MOV");
}

} // namespace
