// Recovery reads each chosen file once: files that lie close together are read in one sweep,
// and what measuring a file of unknown length read past its end serves the file that follows.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "device/DskLib.h"
#include "engine/FileTypes.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "testkit/LargeFiles.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
using testkit::TByteVector;

namespace {

TEST(RecoverySweep, NearbyFilesOfUnknownLengthAreReadOnce) {
    testkit::TTempDir dir;
    setenv("LUMIVORE_CONFIG", (dir / "settings.xml").c_str(), 1);
    TDeviceCatalogue::Instance().Clear();
    // Eight JPEGs of 1.5 MB to 2.2 MB back to back, each starting on a sector: measuring one
    // from the device reads windows that reach into the next ones.
    std::vector<testkit::TPlacedBytes> pieces;
    std::vector<std::pair<std::int64_t, std::size_t>> files;
    std::uint64_t at = 0;
    std::uint64_t fileSectors = 0;
    for (int i = 0; i < 8; ++i) {
        const TByteVector jpeg = testkit::TJpegBuilder().Jfif().FakeScan(1'500'000 + 100'000 * i).Build();
        pieces.push_back({at, jpeg});
        files.emplace_back(static_cast<std::int64_t>(at / kSectorSize), jpeg.size());
        const std::uint64_t sectors = (jpeg.size() + kSectorSize - 1) / kSectorSize;
        fileSectors += sectors;
        at += sectors * kSectorSize;
    }
    ASSERT_TRUE(testkit::CreateSparseFile(dir / "card.img", at + (8 << 20), pieces));
    auto engine = std::make_unique<TScanEngine>();
    ASSERT_TRUE(engine->OpenDrive(TDeviceCatalogue::Instance().RegisterImage(dir / "card.img")));
    for (const auto& [sector, size] : files) {
        TFoundFile f;
        f.Ext = "JPG";
        f.FormatIndex = kFormatJpeg;
        f.MakerIndex = kNoIndex;
        f.Length = kUnknownLength;
        engine->AddFoundFile(f, sector);
    }
    std::uint64_t sectorsRead = 0;
    SetReadFault([&](std::uint64_t, std::uint16_t count) {
        sectorsRead += count;
        return false;
    });
    TRecoveryRequest req;
    req.Selection = TRecoverySelection::AllTypes();
    req.Destination = dir / "out";
    const TRecoveryResult r = Recover(*engine, req);
    SetReadFault(nullptr);
    ASSERT_EQ(r.Recovered, 8) << r.Message;
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(r.Files[i].Length, static_cast<std::int64_t>(files[i].second));
        EXPECT_EQ(r.Files[i].Source, TLengthSource::Measured);
        EXPECT_EQ(std::filesystem::file_size(dir / ("out/" + r.Files[i].Name)), files[i].second);
    }
    // Every file's sectors once, and what the last measure read past the last file (its window
    // grows to 4 MiB): not the two or three times that windows from each file's start cost.
    EXPECT_LE(sectorsRead, fileSectors + (4u << 20) / kSectorSize);
    engine.reset();
    TDeviceCatalogue::Instance().Clear();
}

} // namespace
