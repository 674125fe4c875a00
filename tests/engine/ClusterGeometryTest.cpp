#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "device/DskLib.h"
#include "engine/ClusterGeometry.h"
#include "testkit/ByteWriter.h"
#include "testkit/ImageBuilder.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"

namespace lumivore {
namespace {

using testkit::TByteVector;

TByteVector Fat16Boot(std::uint8_t sectorsPerCluster) {
    TByteVector s(512, 0);
    testkit::PutLE16(s, 11, 512);
    s[13] = sectorsPerCluster;
    testkit::PutLE16(s, 14, 4);  // reserved
    s[16] = 2;                   // FATs
    testkit::PutLE16(s, 17, 512); // root entries: 32 sectors
    testkit::PutLE16(s, 22, 100); // sectors per FAT
    std::memcpy(s.data() + 54, "FAT16   ", 8);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

TEST(ClusterGeometry, BootSectorsOfEachFileSystem) {
    TClusterGeometry g;
    // FAT32 as a fresh format writes it: data after the reserved sectors and both FATs.
    ASSERT_TRUE(ReadBootSector(testkit::Fat32BootSector(1'000'000, 64, 32, 7800, 1), 0, g));
    EXPECT_EQ(g.ClusterBytes, 64u * 512);
    EXPECT_EQ(g.DataStart, (32u + 2 * 7800) * 512);
    EXPECT_EQ(g.Source, TClusterSource::BootSector);
    // FAT16: the fixed root folder lies before the data area.
    ASSERT_TRUE(ReadBootSector(Fat16Boot(4), 0, g));
    EXPECT_EQ(g.ClusterBytes, 2048u);
    EXPECT_EQ(g.DataStart, (4u + 200 + 32) * 512);
    // exFAT: the cluster heap offset, shifts for sector and cluster size; a partition's start
    // moves everything.
    TByteVector ex(512, 0);
    std::memcpy(ex.data() + 3, "EXFAT   ", 8);
    testkit::PutLE32(ex, 88, 6144);
    ex[108] = 9;
    ex[109] = 8; // 128 KiB clusters
    ex[510] = 0x55;
    ex[511] = 0xAA;
    ASSERT_TRUE(ReadBootSector(ex, 2048 * 512, g));
    EXPECT_EQ(g.ClusterBytes, 128u * 1024);
    EXPECT_EQ(g.DataStart, (2048u + 6144) * 512);
    // NTFS: a count above 0x80 is a negative power of two.
    TByteVector nt(512, 0);
    std::memcpy(nt.data() + 3, "NTFS    ", 8);
    testkit::PutLE16(nt, 11, 512);
    nt[13] = 0xF4; // 2^12
    nt[510] = 0x55;
    nt[511] = 0xAA;
    ASSERT_TRUE(ReadBootSector(nt, 4096, g));
    EXPECT_EQ(g.ClusterBytes, 4096u);
    EXPECT_EQ(g.DataStart, 4096u);
}

TEST(ClusterGeometry, DamagedBootSectorsAreRefused) {
    TClusterGeometry g;
    TByteVector noSignature = Fat16Boot(4);
    noSignature[510] = 0;
    EXPECT_FALSE(ReadBootSector(noSignature, 0, g));
    EXPECT_FALSE(ReadBootSector(Fat16Boot(0), 0, g));
    EXPECT_FALSE(ReadBootSector(Fat16Boot(3), 0, g));
    TByteVector noFats = Fat16Boot(4);
    noFats[16] = 0;
    EXPECT_FALSE(ReadBootSector(noFats, 0, g));
    TByteVector oddSector = Fat16Boot(4);
    testkit::PutLE16(oddSector, 11, 520);
    EXPECT_FALSE(ReadBootSector(oddSector, 0, g));
    TByteVector hugeExfat(512, 0);
    std::memcpy(hugeExfat.data() + 3, "EXFAT   ", 8);
    hugeExfat[108] = 9;
    hugeExfat[109] = 30;
    hugeExfat[510] = 0x55;
    hugeExfat[511] = 0xAA;
    EXPECT_FALSE(ReadBootSector(hugeExfat, 0, g));
    EXPECT_FALSE(ReadBootSector(TByteVector(100, 0x55), 0, g)); // short
}

TEST(ClusterGeometry, ThePartitionTablesFirstPartition) {
    setenv("LUMIVORE_CONFIG", "/dev/null", 1);
    testkit::TTempDir dir;
    TByteVector mbr(512, 0);
    mbr[446 + 4] = 0x0C; // FAT32 LBA
    testkit::PutLE32(mbr, 446 + 8, 2048);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    testkit::TDiskImage image(4096);
    image.Place(0, mbr);
    image.Place(2048, testkit::Fat32BootSector(2048, 16, 32, 8, 1));
    ASSERT_TRUE(image.Write(dir / "disk.img"));
    TDeviceCatalogue::Instance().Clear();
    TDrive drive;
    drive.Open(TDeviceCatalogue::Instance().RegisterImage(dir / "disk.img"));
    TClusterGeometry g;
    ASSERT_TRUE(GeometryFromDevice(drive, g));
    EXPECT_EQ(g.ClusterBytes, 16u * 512);
    EXPECT_EQ(g.DataStart, (2048u + 32 + 16) * 512);
    // Without a boot sector or photos to go by, the unit is the sector.
    testkit::TDiskImage blank(4096);
    ASSERT_TRUE(blank.Write(dir / "blank.img"));
    TDrive other;
    other.Open(TDeviceCatalogue::Instance().RegisterImage(dir / "blank.img"));
    EXPECT_EQ(FindClusterGeometry(other, {}), TClusterGeometry{});
    TDeviceCatalogue::Instance().Clear();
}

TFoundFileList JpegsAt(const std::vector<std::int64_t>& sectors) {
    TFoundFileList files;
    for (std::int64_t s : sectors) {
        TFoundFile f;
        f.Ext = "JPG";
        f.StartSector = s;
        files.push_back(f);
    }
    return files;
}

TEST(ClusterGeometry, InferredFromWherePhotosStart) {
    std::vector<std::int64_t> starts;
    for (std::int64_t k = 0; k < 12; ++k)
        starts.push_back(100 + 64 * (3 * k + 1));
    TClusterGeometry g;
    ASSERT_TRUE(InferGeometry(JpegsAt(starts), g));
    EXPECT_EQ(g.ClusterBytes, 64u * 512);
    EXPECT_EQ(g.DataStart % g.ClusterBytes, (100u * 512) % g.ClusterBytes);
    EXPECT_EQ(g.Source, TClusterSource::Inferred);
    // One stray start in twelve does not spoil it; a nested picture is not counted.
    TFoundFileList withStray = JpegsAt(starts);
    withStray.push_back(JpegsAt({777}).front());
    withStray.push_back(JpegsAt({779}).front());
    withStray.back().NestedIn = 100;
    ASSERT_TRUE(InferGeometry(withStray, g));
    EXPECT_EQ(g.ClusterBytes, 64u * 512);
    // Too few photos, or starts with no common alignment, say nothing.
    EXPECT_FALSE(InferGeometry(JpegsAt({100, 164, 228}), g));
    EXPECT_FALSE(InferGeometry(JpegsAt({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), g));
}

TEST(ClusterGeometry, Boundaries) {
    TClusterGeometry g;
    g.ClusterBytes = 4096;
    g.DataStart = 1024;
    EXPECT_EQ(g.BoundaryAtOrAfter(0), 1024u);
    EXPECT_EQ(g.BoundaryAtOrAfter(1024), 1024u);
    EXPECT_EQ(g.BoundaryAtOrAfter(1025), 5120u);
    EXPECT_EQ(g.BoundaryAtOrBefore(5119), 1024u);
    EXPECT_EQ(g.BoundaryAtOrBefore(5120), 5120u);
    EXPECT_EQ(g.BoundaryAtOrBefore(10), 1024u);
}

} // namespace
} // namespace lumivore
