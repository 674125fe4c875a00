#include <gtest/gtest.h>

// The cases name only the fields that matter to them; the rest keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

#include "formats/FsEntries.h"
#include "testkit/FsBuilder.h"

namespace lumivore {
namespace {

using testkit::TByteVector;

TByteVector Padded(TByteVector bytes, std::size_t size = 512) {
    bytes.resize(std::max(bytes.size(), size), 0);
    return bytes;
}

TEST(FsEntriesFat, LongNamesStandOnlyWhereTheirPiecesAndChecksumHoldTogether) {
    testkit::TFatEntry good{.ShortName = "IMG_2~1.JPG", .LongName = "Wedding dinner 2.jpg", .FirstCluster = 40, .Size = 5000};
    testkit::TFatEntry bad = good;
    bad.ShortName = "IMG_3~1.JPG";
    bad.LongName = "Someone else's.jpg";
    bad.FirstCluster = 50;
    bad.BadChecksum = true;
    const TByteVector cluster = testkit::FatFolderCluster(7, 3, {good, bad}, 512);
    ASSERT_TRUE(FatSectorPlausible(cluster.data()));
    const TFatFolderBytes p = ParseFatFolder(cluster);
    ASSERT_TRUE(p.DotEntries);
    EXPECT_EQ(p.Self, 7u);
    EXPECT_EQ(p.Parent, 3u);
    ASSERT_EQ(p.Entries.size(), 2u);
    EXPECT_EQ(p.Entries[0].Name, "Wedding dinner 2.jpg");
    EXPECT_EQ(p.Entries[0].FirstCluster, 40u);
    EXPECT_EQ(p.Entries[0].Size, 5000u);
    // Pieces whose checksum is not the short name's belong to no entry here: the short name stands.
    EXPECT_EQ(p.Entries[1].Name, "IMG_3~1.JPG");
    EXPECT_FALSE(p.Entries[1].LongName);
    EXPECT_TRUE(p.Ended);
}

TEST(FsEntriesFat, DeletedEntriesKeepTheirNameWhereTheEvidenceGivesTheLostFirstCharacter) {
    // The long name's checksum decides the short name's lost first byte; it must agree with the
    // long name and the short name's shape.
    testkit::TFatEntry longNamed{.ShortName = "SUNSET~1.JPG", .LongName = "Sunset at sea.jpg", .FirstCluster = 9, .Size = 100, .Deleted = true};
    // No long name: a sibling that agrees in the next three characters gives it...
    testkit::TFatEntry live{.ShortName = "DSC_0001.JPG", .FirstCluster = 20, .Size = 10};
    testkit::TFatEntry sibling{.ShortName = "DSC_0002.JPG", .FirstCluster = 21, .Size = 10, .Deleted = true};
    // ...and without one, it is a guess.
    testkit::TFatEntry alone{.ShortName = "NOTES.TXT", .FirstCluster = 22, .Size = 10, .Deleted = true};
    const TByteVector bytes = Padded([&] {
        TByteVector b;
        for (const auto& e : {longNamed, live, sibling, alone})
            testkit::Append(b, testkit::FatEntries(e));
        return b;
    }());
    TFatFolderBytes p = ParseFatFolder(bytes);
    ASSERT_EQ(p.Entries.size(), 4u);
    EXPECT_EQ(p.Entries[0].Name, "Sunset at sea.jpg");
    EXPECT_TRUE(p.Entries[0].Deleted);
    EXPECT_FALSE(p.Entries[0].FirstGuessed);
    EXPECT_EQ(p.Entries[2].Name, "DSC_0002.JPG");
    EXPECT_TRUE(p.Entries[2].FirstGuessed);
    EXPECT_EQ(p.Entries[3].Name, "_OTES.TXT");
    EXPECT_TRUE(p.Entries[3].FirstGuessed);

    // Deleted pieces lost their order: a run that begins where the bytes begin may lack its
    // first pieces, and is taken only when it shows the name's end.
    TByteVector cut = testkit::FatEntries(testkit::TFatEntry{
        .ShortName = "LONGNA~1.JPG", .LongName = "A long name of thirty chars.jpg", .FirstCluster = 5, .Size = 1, .Deleted = true});
    cut.erase(cut.begin(), cut.begin() + 32); // the piece with the name's end lies elsewhere
    p = ParseFatFolder(Padded(cut));
    ASSERT_EQ(p.Entries.size(), 1u);
    EXPECT_FALSE(p.Entries[0].LongName);
}

TEST(FsEntriesFat, SectorsOfOtherDataAreNotTakenForFolders) {
    TByteVector text(512, 'a');
    EXPECT_FALSE(FatSectorPlausible(text.data()));
    TByteVector zeros(512, 0);
    EXPECT_FALSE(FatSectorPlausible(zeros.data()));
    TByteVector cluster = testkit::FatFolderCluster(3, 0, {{.ShortName = "A.JPG", .FirstCluster = 4, .Size = 1}}, 512);
    cluster[32 * 2 + 11] = 0xC0; // one entry with an attribute no folder holds
    EXPECT_FALSE(FatSectorPlausible(cluster.data()));
}

TEST(FsEntriesExFat, EntrySetsAreTakenLiveOrDeletedWhenTheirChecksumHolds) {
    TByteVector bytes = testkit::ExFatEntrySet({.Name = "IMG_20240101_120000.jpg", .FirstCluster = 77, .Size = 123456});
    testkit::Append(bytes, testkit::ExFatEntrySet({.Name = "gone.mp4", .FirstCluster = 90, .Size = 999, .Deleted = true, .Contiguous = false}));
    TByteVector spoilt = testkit::ExFatEntrySet({.Name = "spoilt.jpg", .FirstCluster = 95, .Size = 5});
    spoilt[32 + 20] ^= 1; // its first cluster changed after the checksum was made
    testkit::Append(bytes, spoilt);
    bytes = Padded(bytes);
    ASSERT_TRUE(ExFatSectorPlausible(bytes.data()));
    const TExFatFolderBytes p = ParseExFatFolder(bytes);
    ASSERT_EQ(p.Entries.size(), 2u);
    EXPECT_EQ(p.Entries[0].Name, "IMG_20240101_120000.jpg");
    EXPECT_EQ(p.Entries[0].FirstCluster, 77u);
    EXPECT_EQ(p.Entries[0].Size, 123456u);
    EXPECT_TRUE(p.Entries[0].Contiguous);
    EXPECT_FALSE(p.Entries[0].Deleted);
    EXPECT_NE(p.Entries[0].Modified, 0);
    EXPECT_EQ(p.Entries[1].Name, "gone.mp4");
    EXPECT_TRUE(p.Entries[1].Deleted);
    EXPECT_FALSE(p.Entries[1].Contiguous);
}

TEST(FsEntriesNtfs, RecordsGiveNameParentSizeAndRunsUnlessTheirUpdateSequenceIsBroken) {
    testkit::TNtfsFile file{.Record = 70, .Parent = 66, .Name = "IMG_0042.JPG", .Size = 10000,
                            .Runs = {{1000, 2}, {500, 1}}, .InUse = false};
    TFsEntry e;
    ASSERT_TRUE(ParseNtfsRecord(testkit::NtfsFileRecord(file), e));
    EXPECT_EQ(e.Name, "IMG_0042.JPG");
    EXPECT_EQ(e.Record, 70u);
    EXPECT_EQ(e.Parent, 66u);
    EXPECT_EQ(e.Size, 10000u);
    EXPECT_TRUE(e.Deleted);
    EXPECT_EQ(e.FirstCluster, 1000u);
    EXPECT_EQ(e.Runs, (std::vector<TClusterRun>{{1000, 2}, {500, 1}}));
    EXPECT_NE(e.Modified, 0);

    file.TornSecondSector = true;
    EXPECT_FALSE(ParseNtfsRecord(testkit::NtfsFileRecord(file), e));

    // Run lists that run off their bytes or below cluster 0 are refused.
    std::vector<TClusterRun> runs;
    const std::uint8_t below[] = {0x11, 0x01, 0x05, 0x11, 0x01, 0xF0, 0x00};
    EXPECT_FALSE(DecodeRunList(below, runs));
    const std::uint8_t cut[] = {0x44, 0x01, 0x00};
    EXPECT_FALSE(DecodeRunList(cut, runs));
    const std::uint8_t sparse[] = {0x11, 0x02, 0x10, 0x01, 0x03, 0x00};
    ASSERT_TRUE(DecodeRunList(sparse, runs));
    EXPECT_EQ(runs, (std::vector<TClusterRun>{{16, 2}, {-1, 3}}));
}

TEST(FsEntriesBoot, VolumesAreReadFromTheirBootSectors) {
    TFsVolume v;
    ASSERT_TRUE(ReadFsBoot(testkit::Fat32BootSector(8, 32, 64, 80000), 1024 * 512, v));
    EXPECT_EQ(v.Kind, TFsKind::Fat);
    EXPECT_EQ(v.ClusterBytes, 4096u);
    EXPECT_EQ(v.ByteOf(2), (1024u + 32 + 128) * 512);
    EXPECT_EQ(v.RootCluster, 2u);
    TByteVector broken = testkit::Fat32BootSector(8, 32, 64, 80000);
    broken[13] = 3; // not a power of two
    EXPECT_FALSE(ReadFsBoot(broken, 0, v));
}

} // namespace
} // namespace lumivore
