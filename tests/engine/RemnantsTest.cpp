#include <gtest/gtest.h>

// The cases name only the fields that matter to them; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include <atomic>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

#include "engine/Remnants.h"
#include "EngineOnCard.h"
#include "OnePassResult.h"
#include "formats/FsEntries.h"
#include "testkit/FsBuilder.h"
#include "testkit/PhotoBuilder.h"

namespace lumivore::testing {
namespace {

using testkit::TByteVector;
namespace fs = std::filesystem;

// A FAT32 card of 4 KiB clusters after a quick format: a fresh boot sector, the root folder
// wiped, the folders DCIM (cluster 3) and DCIM/100CANON (cluster 4) as they were.
constexpr std::uint64_t kClusterSectors = 8;
constexpr std::uint64_t kCluster2 = 32 + 2 * 64;
std::uint64_t SectorOf(std::uint32_t cluster) { return kCluster2 + (cluster - 2) * kClusterSectors; }

class RemnantsOnCard : public EngineOnCard {
protected:
    void SetUp() override {
        EngineOnCard::SetUp();
        first_ = testkit::EncodeJpeg(testkit::TRgbImage::Pattern(64, 48, 1));
        second_ = testkit::EncodeJpeg(testkit::TRgbImage::Pattern(80, 60, 2));
        // A camera that pads its photos after the end marker: the entry's size holds the padding.
        padded_ = testkit::EncodeJpeg(testkit::TRgbImage::Pattern(48, 48, 3));
        padded_.resize(padded_.size() + 1500, 0);
        third_ = testkit::EncodeJpeg(testkit::TRgbImage::Pattern(32, 32, 4));
        const auto size = [](const TByteVector& b) { return static_cast<std::uint32_t>(b.size()); };
        Place(0, testkit::Fat32BootSector(kClusterSectors, 32, 64, static_cast<std::uint32_t>(kCardSectors)));
        Place(SectorOf(3), testkit::FatFolderCluster(3, 0, {{.ShortName = "100CANON", .FirstCluster = 4, .Directory = true}}, 4096));
        Place(SectorOf(4), testkit::FatFolderCluster(4, 3,
                                                     {
                                                         {.ShortName = "IMG_0001.JPG", .FirstCluster = 10, .Size = size(first_)},
                                                         {.ShortName = "IMG_0002.JPG", .FirstCluster = 20, .Size = size(padded_)},
                                                         // The first cluster of a photo, but named as a video.
                                                         {.ShortName = "MVI_0003.AVI", .FirstCluster = 30, .Size = size(second_)},
                                                         // Text from the card that would climb out of the destination.
                                                         {.ShortName = "___EVI~1.JPG", .LongName = "..\x01/../evil.jpg",
                                                          .FirstCluster = 40, .Size = size(third_)},
                                                     },
                                                     4096));
        Place(SectorOf(10), first_);
        Place(SectorOf(20), padded_);
        Place(SectorOf(30), second_);
        Place(SectorOf(40), third_);
    }

    TRecoveryResult RecoverNamed(bool onePass) {
        TRecoveryRequest r;
        r.Destination = Out();
        r.OriginalNames = true;
        if (!onePass) {
            r.Selection = TRecoverySelection::AllTypes();
            return lumivore::Recover(*engine_, r);
        }
        TRecoveryDuringScan session(*engine_, r, [](const TFoundFile& f) { return !f.Nested(); });
        std::string message;
        EXPECT_TRUE(session.Start(message)) << message;
        engine_->BlockObserver = &session;
        engine_->Scan(0, kCardSectors, nullptr, nullptr, nullptr);
        engine_->BlockObserver = nullptr;
        return Finished(session, false);
    }

    TByteVector first_, second_, padded_, third_;
};

TEST_F(RemnantsOnCard, EntriesNameTheFilesTheyAgreeWithAndNoOther) {
    OpenAndScan();
    const TFoundFile* first = At(static_cast<std::int64_t>(SectorOf(10)));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->OriginalName, "IMG_0001.JPG");
    EXPECT_TRUE(first->FolderKnown);
    EXPECT_EQ(first->OriginalFolder, (std::vector<std::string>{"DCIM", "100CANON"}));
    EXPECT_EQ(first->NameSource, static_cast<std::uint8_t>(TFsKind::Fat));
    EXPECT_FALSE(first->UseEntrySize);
    EXPECT_EQ(first->EntryModified, FatTime((45 << 9) | (6 << 5) | 14, (10 << 11) | (30 << 5)));

    // The padding after the end marker is the entry's, not the measure's.
    const TFoundFile* padded = At(static_cast<std::int64_t>(SectorOf(20)));
    ASSERT_NE(padded, nullptr);
    EXPECT_EQ(padded->OriginalName, "IMG_0002.JPG");
    EXPECT_LT(padded->Length, static_cast<std::int64_t>(padded_.size()));
    EXPECT_EQ(padded->EntrySize, static_cast<std::int64_t>(padded_.size()));
    EXPECT_TRUE(padded->UseEntrySize);

    // An entry whose first cluster holds a photo but whose name says video names nothing.
    const TFoundFile* second = At(static_cast<std::int64_t>(SectorOf(30)));
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(second->OriginalName.empty());
    EXPECT_EQ(engine_->RemnantStats.Named, 3u);
}

TEST_F(RemnantsOnCard, AnEntryWhoseExtentHoldsAnotherFilesStartDoesNotSettleTheSize) {
    // A photo written where the padding would lie: the entry's longer size is someone else's.
    Place(SectorOf(20) + (padded_.size() - 1500 + 511) / 512, testkit::EncodeJpeg(testkit::TRgbImage::Pattern(16, 16, 9)));
    OpenAndScan();
    const TFoundFile* padded = At(static_cast<std::int64_t>(SectorOf(20)));
    ASSERT_NE(padded, nullptr);
    EXPECT_TRUE(padded->OriginalName.empty());
    EXPECT_FALSE(padded->UseEntrySize);
}

TEST_F(RemnantsOnCard, RecoveryWritesOriginalNamesInsideTheDestinationAndNeverOverwrites) {
    for (bool onePass : {false, true}) {
        SCOPED_TRACE(onePass ? "one pass" : "after the scan");
        fs::remove_all(Out());
        // A file of the same name already there stays as it is.
        fs::create_directories(Out() + "/DCIM/100CANON");
        std::ofstream(Out() + "/DCIM/100CANON/IMG_0001.JPG") << "mine";
        if (onePass) {
            const std::string path = dir_ / "card.img";
            ASSERT_TRUE(image_.Write(path));
            ASSERT_TRUE(engine_->OpenDrive(TDeviceCatalogue::Instance().RegisterImage(path)));
        } else {
            OpenAndScan();
        }
        const TRecoveryResult result = RecoverNamed(onePass);
        EXPECT_EQ(result.Recovered, 4);
        EXPECT_EQ(testkit::ReadFile(Out() + "/DCIM/100CANON/IMG_0001.JPG"), TByteVector({'m', 'i', 'n', 'e'}));
        EXPECT_EQ(Written("DCIM/100CANON/IMG_0001-1.JPG"), first_);
        // The file's time is its entry's, as it carries no date of its own.
        struct stat st {};
        ASSERT_EQ(::stat((Out() + "/DCIM/100CANON/IMG_0001-1.JPG").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, FatTime((45 << 9) | (6 << 5) | 14, (10 << 11) | (30 << 5)));
        // Every name from the card stays inside the destination.
        const fs::path out = fs::canonical(Out());
        std::size_t files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(out)) {
            const fs::path p = fs::canonical(entry.path());
            EXPECT_EQ(p.string().rfind(out.string(), 0), 0u) << p;
            files += entry.is_regular_file();
        }
        EXPECT_EQ(files, 6u); // four recovered, the report and the file that was there
        EXPECT_TRUE(fs::exists(Out() + "/DCIM/100CANON/__.._evil.jpg"));
        // The photo named by a video's entry keeps its sector name at the top.
        EXPECT_EQ(Written(RecoveredFileName(static_cast<std::int64_t>(SectorOf(30)), "JPG")), second_);
        // Written with the padding the entry's size holds, byte for byte: in one pass, the
        // photo written as the scan measured it is extended once the entry is read.
        EXPECT_EQ(Written("DCIM/100CANON/IMG_0002.JPG"), padded_);
        const TByteVector reportBytes = testkit::ReadFile(result.ReportPath);
        const std::string report(reportBytes.begin(), reportBytes.end());
        EXPECT_NE(report.find("DCIM/100CANON/IMG_0001-1.JPG"), std::string::npos);
        EXPECT_NE(report.find(",IMG_0001.JPG,DCIM/100CANON,fat,"), std::string::npos);
    }
}

TEST_F(RemnantsOnCard, ReadingTheRemnantsReadsNothingMoreFromTheDevice) {
    const std::string path = dir_ / "card.img";
    ASSERT_TRUE(image_.Write(path));
    ASSERT_TRUE(engine_->OpenDrive(TDeviceCatalogue::Instance().RegisterImage(path)));
    // The entries' local times load the time zone once: before counting, so only the device's
    // bytes differ between the runs.
    ::tzset();
    // Bytes read from the device (the destination's own files are read back too, and are not
    // counted).
    std::atomic<std::uint64_t> deviceBytes{0};
    SetReadFault([&deviceBytes](std::uint64_t, std::uint16_t count) {
        deviceBytes += std::uint64_t{count} * kSectorSize;
        return false;
    });
    const struct TStopCounting {
        ~TStopCounting() { SetReadFault(nullptr); }
    } stopCounting;
    std::uint64_t read[2] = {};
    for (bool names : {false, true}) {
        engine_->NamesFromRemnants = names;
        const std::uint64_t before = deviceBytes;
        engine_->Scan(0, kCardSectors, nullptr, nullptr, nullptr);
        read[names] = deviceBytes - before;
    }
    EXPECT_GT(read[0], 0u);
    EXPECT_EQ(read[1], read[0]);
    EXPECT_EQ(engine_->RemnantStats.Named, 3u);
    // Nor does recovery in the same pass that writes the named files under their names, but for
    // the padding that the padded photo's entry adds to it: the sectors after its end marker.
    for (bool names : {false, true}) {
        fs::remove_all(Out());
        engine_->NamesFromRemnants = names;
        const std::uint64_t before = deviceBytes;
        const TRecoveryResult result = RecoverNamed(true);
        read[names] = deviceBytes - before;
        EXPECT_EQ(result.Recovered, 4);
    }
    EXPECT_GE(read[1], read[0]);
    EXPECT_LE(read[1], read[0] + (1500 + 2 * 511) / 512 * 512);
    EXPECT_TRUE(fs::exists(Out() + "/DCIM/100CANON/IMG_0001.JPG"));
}

TEST(Remnants, FolderPathsFollowTheParentsAndStopWhereTheChainBreaks) {
    // Two folder clusters without a boot sector: their "." entries give the geometry.
    TFoundFileList files(2);
    const std::uint64_t base = 100 * 512; // cluster c at base + c * 2048
    files[0].Ext = "JPG";
    files[0].StartSector = static_cast<std::int64_t>((base + 9 * 2048) / 512);
    files[0].Length = 5000;
    files[1].Ext = "CR2";
    files[1].StartSector = static_cast<std::int64_t>((base + 12 * 2048) / 512);
    files[1].Length = 9000;
    TRemnants remnants;
    TByteVector card((base + 20 * 2048), 0);
    const auto put = [&](std::uint64_t at, const TByteVector& bytes) { std::copy(bytes.begin(), bytes.end(), card.begin() + static_cast<std::ptrdiff_t>(at)); };
    put(base + 5 * 2048, testkit::FatFolderCluster(5, 0, {{.ShortName = "101NIKON", .FirstCluster = 6, .Directory = true}}, 2048));
    put(base + 6 * 2048, testkit::FatFolderCluster(6, 5, {{.ShortName = "DSC_0001.JPG", .FirstCluster = 9, .Size = 5000},
                                                          // A raw that a second entry below names too.
                                                          {.ShortName = "DSC_0002.NEF", .FirstCluster = 12, .Size = 9000}},
                                                   2048));
    // The lost parent: a folder that names cluster 7 as its parent, which holds no folder.
    put(base + 8 * 2048, testkit::FatFolderCluster(8, 7, {{.ShortName = "RAW.CR2", .FirstCluster = 12, .Size = 9000}}, 2048));
    remnants.Block(card, 0);
    const TRemnantStats stats = remnants.Apply(files);
    ASSERT_EQ(stats.Volumes.size(), 1u);
    EXPECT_EQ(stats.Volumes[0].ClusterBytes, 2048u);
    EXPECT_EQ(files[0].OriginalName, "DSC_0001.JPG");
    EXPECT_TRUE(files[0].FolderKnown);
    // Its root-level folder's name was in the root, which a format wipes: a folder of camera
    // folders is DCIM.
    EXPECT_EQ(files[0].OriginalFolder, (std::vector<std::string>{"DCIM", "101NIKON"}));
    // Two entries agree with the raw; the one whose folder can be traced wins.
    EXPECT_EQ(files[1].OriginalName, "DSC_0002.NEF");
    EXPECT_TRUE(files[1].FolderKnown);
}

TEST(Remnants, ALongNameSplitAcrossClustersIsJoinedOnlyWhenItsChecksumHolds) {
    // A folder's first cluster full to its end, whose last entry's long name goes on in the next
    // cluster the folder was given (no boot sector: the "." entries give the geometry).
    const std::uint64_t base = 100 * 512; // cluster c at base + c * 2048
    const std::string longName = "Wedding dinner at the lake 01.jpg"; // three pieces
    for (bool badChecksum : {false, true}) {
        SCOPED_TRACE(badChecksum ? "bad checksum" : "good checksum");
        std::vector<testkit::TFatEntry> entries{{.ShortName = "DSC_0001.JPG", .FirstCluster = 9, .Size = 5000}};
        for (int k = 2; k <= 60; ++k)
            entries.push_back({.ShortName = "DSC_" + std::to_string(1000 + k) + ".JPG", .FirstCluster = 100u + k, .Size = 1});
        TByteVector folder = testkit::FatFolderCluster(6, 5, entries, 0);
        ASSERT_EQ(folder.size(), 62u * 32);
        testkit::Append(folder, testkit::FatEntries({.ShortName = "WEDDIN~1.JPG", .LongName = longName, .FirstCluster = 12,
                                                     .Size = 9000, .BadChecksum = badChecksum}));
        folder.resize(3 * 2048, 0); // its last entry lies in the next cluster, 7
        TByteVector card(base + 20 * 2048, 0);
        const auto put = [&](std::uint64_t at, const TByteVector& bytes) {
            std::copy(bytes.begin(), bytes.end(), card.begin() + static_cast<std::ptrdiff_t>(at));
        };
        put(base + 5 * 2048, testkit::FatFolderCluster(5, 0, {{.ShortName = "101NIKON", .FirstCluster = 6, .Directory = true}}, 2048));
        put(base + 6 * 2048, folder);
        TFoundFileList files(2);
        files[0].Ext = "JPG";
        files[0].StartSector = static_cast<std::int64_t>((base + 9 * 2048) / 512);
        files[0].Length = 5000;
        files[1].Ext = "JPG";
        files[1].StartSector = static_cast<std::int64_t>((base + 12 * 2048) / 512);
        files[1].Length = 9000;
        TRemnants remnants;
        remnants.Block(card, 0);
        remnants.Apply(files);
        EXPECT_EQ(files[0].OriginalName, "DSC_0001.JPG");
        if (!badChecksum) {
            EXPECT_EQ(files[1].OriginalName, longName);
            EXPECT_TRUE(files[1].FolderKnown);
            EXPECT_EQ(files[1].OriginalFolder, (std::vector<std::string>{"DCIM", "101NIKON"}));
        } else {
            // Pieces that do not carry the short entry's checksum are another name's: dropped.
            EXPECT_EQ(files[1].OriginalName, "WEDDIN~1.JPG");
        }
    }
}

TEST(Remnants, AFullFolderClusterGoesOnWhereItsWriterPutTheNextOne) {
    // A camera folder of short names fills its first cluster (62 photos of one cluster each, at
    // clusters 10 to 71); its 63rd entry lies in another cluster, with nothing to link the two
    // (the chain is gone with the format). A writer that makes the entry first put the folder's
    // new cluster at 72 and the photo at 73; one that takes the photo's cluster first, the
    // photo at 72 and the folder at 73. On a used card the folder's cluster may have gone into
    // a hole while the photo still follows. A cluster of entries that nothing ties is not taken.
    const std::uint64_t base = 100 * 512; // cluster c at base + c * 2048
    struct TCase {
        const char* Name;
        std::uint32_t FolderAt, PhotoAt;
        bool Placed;
    };
    for (const TCase& c : {TCase{"entry first", 72, 73, true}, TCase{"data first", 73, 72, true},
                           TCase{"folder in a hole, photo next", 90, 72, true},
                           TCase{"folder in a hole, photo a cluster on", 90, 73, true},
                           TCase{"elsewhere", 90, 91, false}}) {
        SCOPED_TRACE(c.Name);
        std::vector<testkit::TFatEntry> entries;
        for (std::uint32_t k = 1; k <= 62; ++k)
            entries.push_back({.ShortName = "DSC_" + std::to_string(1000 + k) + ".JPG", .FirstCluster = 9 + k, .Size = 1000});
        const TByteVector first = testkit::FatFolderCluster(6, 5, entries, 0);
        ASSERT_EQ(first.size(), 2048u);
        TByteVector next = testkit::FatEntries({.ShortName = "DSC_1063.JPG", .FirstCluster = c.PhotoAt, .Size = 1000});
        next.resize(2048, 0);
        TByteVector card(base + 100 * 2048, 0);
        const auto put = [&](std::uint64_t at, const TByteVector& bytes) {
            std::copy(bytes.begin(), bytes.end(), card.begin() + static_cast<std::ptrdiff_t>(at));
        };
        put(base + 5 * 2048, testkit::FatFolderCluster(5, 0, {{.ShortName = "101NIKON", .FirstCluster = 6, .Directory = true}}, 2048));
        put(base + 6 * 2048, first);
        put(base + c.FolderAt * 2048, next);
        TFoundFileList files(2);
        for (TFoundFile& f : files) {
            f.Ext = "JPG";
            f.Length = 1000;
        }
        files[0].StartSector = static_cast<std::int64_t>((base + 71 * 2048) / 512);
        files[1].StartSector = static_cast<std::int64_t>((base + c.PhotoAt * 2048) / 512);
        TRemnants remnants;
        remnants.Block(card, 0);
        remnants.Apply(files);
        EXPECT_EQ(files[0].OriginalName, "DSC_1062.JPG");
        EXPECT_EQ(files[0].OriginalFolder, (std::vector<std::string>{"DCIM", "101NIKON"}));
        EXPECT_EQ(files[1].OriginalName, "DSC_1063.JPG");
        EXPECT_EQ(files[1].FolderKnown, c.Placed);
        if (c.Placed) {
            EXPECT_EQ(files[1].OriginalFolder, (std::vector<std::string>{"DCIM", "101NIKON"}));
        }
    }
}

TEST(Remnants, NtfsRunListsPlaceAFileInPiecesOnlyWhereThePiecesReadAsItsType) {
    // An NTFS volume from device byte 0 with 4 KiB clusters: its boot sector gives it.
    TByteVector boot(512, 0);
    std::memcpy(boot.data() + 3, "NTFS    ", 8);
    testkit::PutLE16(boot, 11, 512);
    boot[13] = 8;
    testkit::PutLE32(boot, 40, 4000);
    boot[510] = 0x55;
    boot[511] = 0xAA;
    TByteVector card(4000 * 512, 0);
    std::copy(boot.begin(), boot.end(), card.begin());
    const TByteVector record = testkit::NtfsFileRecord({.Record = 80, .Parent = 5, .Name = "split.jpg", .Size = 10000, .Runs = {{100, 2}, {200, 1}}});
    std::copy(record.begin(), record.end(), card.begin() + 50 * 4096);
    TFoundFileList files(1);
    files[0].Ext = "JPG";
    files[0].StartSector = 100 * 8;
    files[0].Length = -1;
    TRemnants remnants;
    remnants.Block(card, 0);
    std::vector<std::vector<TPiece>> asked;
    bool answer = false;
    const auto check = [&](const TFoundFile&, const std::vector<TPiece>& pieces, std::uint64_t size) {
        asked.push_back(pieces);
        EXPECT_EQ(size, 10000u);
        return answer;
    };
    TRemnantStats stats = remnants.Apply(files, check);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0], (std::vector<TPiece>{{100 * 4096, 8192}, {200 * 4096, 1808}}));
    EXPECT_TRUE(files[0].Pieces.empty()); // the pieces did not read as a photo: not placed, not named
    EXPECT_TRUE(files[0].OriginalName.empty());
    answer = true;
    stats = remnants.Apply(files, check);
    EXPECT_EQ(stats.Pieces, 1u);
    EXPECT_EQ(files[0].OriginalName, "split.jpg");
    EXPECT_TRUE(files[0].FolderKnown);
    EXPECT_TRUE(files[0].OriginalFolder.empty());
    EXPECT_EQ(files[0].Pieces, asked[0]);
    EXPECT_EQ(files[0].Length, 10000);
}

TEST(Remnants, ExtensionsAgreeWithinATypeAndItsFamily) {
    EXPECT_TRUE(ExtensionAgrees("IMG_1.jpeg", "JPG"));
    EXPECT_TRUE(ExtensionAgrees("DSC_1.NEF", "TIF")); // a raw the scan took for a TIFF
    EXPECT_TRUE(ExtensionAgrees("clip.mov", "MP4"));
    EXPECT_FALSE(ExtensionAgrees("clip.avi", "JPG"));
    EXPECT_FALSE(ExtensionAgrees("photo", "JPG"));
    EXPECT_FALSE(ExtensionAgrees("photo.jpg", "PNG"));
}

} // namespace
} // namespace lumivore::testing
