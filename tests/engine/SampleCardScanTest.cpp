#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>

#include "device/DskLib.h"
#include "engine/FileTypes.h"
#include "engine/ScanEngine.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"

using namespace lumivore;

namespace {

// One card for the whole suite: building it encodes several large photos.
class SampleCardScan : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new testkit::TTempDir;
        setenv("LUMIVORE_CONFIG", (*dir / "settings.xml").c_str(), 1);
        card = new testkit::TSampleCard;
        testkit::TSampleCardOptions options;
        options.SizeBytes = 48ull << 20;
        ASSERT_TRUE(testkit::WriteSampleCard(*dir / "card.img", options, *card));
        engine = new TScanEngine;
        const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(*dir / "card.img");
        ASSERT_TRUE(engine->OpenDrive(code));
        engine->Scan(0, static_cast<std::uint64_t>(engine->Drive.Info.TotalSectors), nullptr, nullptr, nullptr);
    }
    static void TearDownTestSuite() {
        delete engine;
        delete card;
        delete dir;
        TDeviceCatalogue::Instance().Clear();
    }
    static testkit::TTempDir* dir;
    static testkit::TSampleCard* card;
    static TScanEngine* engine;
};
testkit::TTempDir* SampleCardScan::dir = nullptr;
testkit::TSampleCard* SampleCardScan::card = nullptr;
TScanEngine* SampleCardScan::engine = nullptr;

} // namespace

TEST_F(SampleCardScan, TheCardIsSeenAsAFat32VolumeOfItsWholeSize) {
    EXPECT_EQ(engine->Drive.Info.TotalSectors, static_cast<std::int64_t>(card->TotalSectors));
    EXPECT_GE(card->Files.size(), 30u) << "every kind of file is laid at least twice";
}

TEST_F(SampleCardScan, EveryFileIsFoundAtItsSectorWithItsTypeAndMeasuredLength) {
    std::map<std::int64_t, const TFoundFile*> found;
    for (const TFoundFile& f : engine->FoundFiles)
        found[f.StartSector] = &f;
    for (const testkit::TCardFile& f : card->Files) {
        SCOPED_TRACE(f.Description + " at sector " + std::to_string(f.StartSector));
        const auto it = found.find(static_cast<std::int64_t>(f.StartSector));
        ASSERT_NE(it, found.end());
        const TFoundFile& rec = *it->second;
        EXPECT_EQ(rec.Ext, f.Ext);
        EXPECT_EQ(rec.FormatIndex, f.FormatIndex);
        EXPECT_EQ(rec.MakerIndex, f.MakerIndex);
        // A length the scan states must be the true one, also for a file that runs on past the
        // block it starts in; -1 is allowed only for a type whose length cannot be measured.
        if (rec.Length != -1 || f.Measurable) {
            EXPECT_EQ(rec.Length, static_cast<std::int64_t>(f.Size));
        }
    }
}

// Recovery, read-back and thumbnails decide by a record's type: every record the scan writes
// must be a type the traits table knows, in the rows the table gives that type.
TEST_F(SampleCardScan, EveryRecordIsATypeWhoseTraitsAgreeWithItsRows) {
    ASSERT_FALSE(engine->FoundFiles.empty());
    for (const TFoundFile& f : engine->FoundFiles) {
        SCOPED_TRACE(f.Ext + " at sector " + std::to_string(f.StartSector));
        ASSERT_NE(f.Type(), TFileType::Unknown);
        const TFileTypeTraits& t = TraitsOf(f.Type());
        if (t.GeneralRow != kNoIndex) {
            EXPECT_EQ(f.FormatIndex, t.GeneralRow);
        }
        if (t.CameraRow != kNoIndex) {
            EXPECT_EQ(f.MakerIndex, t.CameraRow);
        }
        EXPECT_EQ(f.PhoneIndex, t.PhoneRow);
    }
}

TEST_F(SampleCardScan, CameraMetadataAndCountsComeThrough) {
    int canonJpegs = 0;
    for (const TFoundFile& f : engine->FoundFiles) {
        if (f.Ext == "JPG" && f.Make == "Canon") {
            ++canonJpegs;
            EXPECT_EQ(f.Model, "Canon EOS 80D");
            EXPECT_EQ(f.DateTaken, "2024:05:17 14:03:22");
            EXPECT_EQ(f.ISO, 200);
            EXPECT_EQ(f.Width, 1024);
            EXPECT_EQ(f.Height, 768);
            EXPECT_EQ(f.ThumbKind, kThumbJpeg);
            EXPECT_GT(f.ThumbLength, 0u);
        }
    }
    EXPECT_GE(canonJpegs, 2);
    int dngs = 0;
    for (const testkit::TCardFile& f : card->Files)
        dngs += f.Ext == "DNG";
    // A Pentax DNG counts in both tables.
    EXPECT_EQ(GeneralCounts[kFormatDng], dngs);
    EXPECT_GE(MakerCounts[kMakerPentax], dngs);
}
