#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <vector>

#include "device/DskLib.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
using lumivore::testkit::TTempDir;
namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> BootSector() { return std::vector<std::uint8_t>(512, 0); }

void PutText(std::vector<std::uint8_t>& s, std::size_t offset, const char* text) {
    std::memcpy(s.data() + offset, text, std::strlen(text));
}
void Put16(std::vector<std::uint8_t>& s, std::size_t o, std::uint16_t v) {
    s[o] = static_cast<std::uint8_t>(v);
    s[o + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& s, std::size_t o, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[o + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// An image file of the given number of sectors whose first sector is boot.
std::string MakeImage(const TTempDir& dir, const std::string& name, std::vector<std::uint8_t> boot, std::size_t sectors) {
    boot.resize(sectors * 512, 0);
    for (std::size_t s = 1; s < sectors; ++s)
        boot[s * 512] = static_cast<std::uint8_t>(s); // each sector tells its number
    const std::string path = dir / name;
    EXPECT_TRUE(testkit::WriteFile(path, boot));
    return path;
}

int OpenDescriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override { TDeviceCatalogue::Instance().Clear(); }
    void TearDown() override {
        TDeviceCatalogue::Instance().Clear();
        SetReadFault(nullptr);
        SetReadStop(nullptr);
    }
    TTempDir dir;
};

// A fake /sys and /dev: disks sda (fixed, partitions 1, 2 and 10), sdb (removable, 1 partition),
// sr0, ram0, a loop device with a backing file and one without.
void MakeFakeTree(const TTempDir& dir, bool withSdbNode = true) {
    auto mk = [&](const std::string& p) { fs::create_directories(dir / p); };
    auto put = [&](const std::string& p, const std::string& text) { std::ofstream(dir / p) << text << "\n"; };
    for (const char* d : {"sys/block/sda", "sys/block/sdb", "sys/block/sr0", "sys/block/ram0", "sys/block/loop0/loop", "sys/block/loop1"})
        mk(d);
    put("sys/block/loop0/loop/backing_file", "/images/card.img");
    put("sys/block/sda/removable", "0");
    put("sys/block/sdb/removable", "1");
    for (const char* p : {"sys/block/sda/sda1", "sys/block/sda/sda2", "sys/block/sda/sda10", "sys/block/sdb/sdb1"}) {
        mk(p);
        put(std::string(p) + "/partition", "1");
    }
    mk("sys/block/sda/queue"); // not a partition
    put("sys/block/sda/size", "31116288");
    put("sys/block/sda/sda2/size", "2048");
    mk("dev");
    for (const char* n : {"sda", "sr0", "loop0", "sda1", "sda2", "sda10", "sdb1"})
        testkit::WriteFile(dir / ("dev/" + std::string(n)), std::vector<std::uint8_t>(4096, 0));
    if (withSdbNode)
        testkit::WriteFile(dir / "dev/sdb", std::vector<std::uint8_t>(4096, 0));
}

} // namespace

TEST_F(DeviceTest, CatalogueGivesDisksAndPartitionsTheirCodesInNaturalOrder) {
    MakeFakeTree(dir);
    TDeviceCatalogue& cat = TDeviceCatalogue::Instance();
    cat.Rebuild(dir / "sys", dir / "dev");
    // Whole disks: loop0 (backed), sda, sdb, sr0; ram0 and the unused loop1 are left out.
    EXPECT_EQ(cat.PathFor(128), dir / "dev/loop0");
    EXPECT_EQ(cat.PathFor(129), dir / "dev/sda");
    EXPECT_EQ(cat.PathFor(130), dir / "dev/sdb");
    EXPECT_EQ(cat.PathFor(131), dir / "dev/sr0");
    EXPECT_EQ(cat.PathFor(132), "");
    // Partitions A to Z in natural order: sda1, sda2, sda10, sdb1.
    EXPECT_EQ(cat.PathFor(1), dir / "dev/sda1");
    EXPECT_EQ(cat.PathFor(2), dir / "dev/sda2");
    EXPECT_EQ(cat.PathFor(3), dir / "dev/sda10");
    EXPECT_EQ(cat.PathFor(4), dir / "dev/sdb1");
    EXPECT_EQ(cat.Find(4)->Kind, kKindRemovable);
    EXPECT_EQ(cat.Find(131)->Kind, kKindCdRom);
    EXPECT_EQ(cat.Find(129)->Kind, kKindFixed);
    EXPECT_EQ(cat.PathFor(0), "");
    EXPECT_EQ(cat.PathFor(27), "");
    EXPECT_EQ(cat.CodeForPath(dir / "dev/sda2"), 2);
    // Sizes as the kernel states them, in 512-byte units, known without opening the device.
    EXPECT_EQ(cat.Find(129)->SysfsBytes, 31116288ull * 512);
    EXPECT_EQ(cat.Find(2)->SysfsBytes, 2048ull * 512);
    EXPECT_EQ(cat.Find(130)->SysfsBytes, 0u) << "no size file";
}

// Partitions and images beyond the 26th letter are listed under codes 27 and up, never
// dropped and never mistaken for whole disks.
TEST_F(DeviceTest, PartitionsAndImagesBeyondTheLettersTakeTheCodesAbove) {
    auto mk = [&](const std::string& p) { fs::create_directories(dir / p); };
    mk("dev");
    for (int n = 1; n <= 30; ++n) {
        const std::string name = "sdc" + std::to_string(n);
        mk("sys/block/sdc/" + name);
        std::ofstream(dir / ("sys/block/sdc/" + name + "/partition")) << n << "\n";
        testkit::WriteFile(dir / ("dev/" + name), std::vector<std::uint8_t>(4096, 0));
    }
    testkit::WriteFile(dir / "dev/sdc", std::vector<std::uint8_t>(4096, 0));
    TDeviceCatalogue& cat = TDeviceCatalogue::Instance();
    cat.Rebuild(dir / "sys", dir / "dev");
    EXPECT_EQ(cat.PathFor(26), dir / "dev/sdc26");
    EXPECT_EQ(cat.PathFor(27), dir / "dev/sdc27");
    EXPECT_EQ(cat.PathFor(30), dir / "dev/sdc30");
    EXPECT_FALSE(IsPhysicalCode(30));
    EXPECT_FALSE(HasDriveLetter(27));
    EXPECT_EQ(cat.PathFor(128), dir / "dev/sdc");
    const std::uint8_t image = cat.RegisterImage(MakeImage(dir, "card.img", BootSector(), 8));
    EXPECT_EQ(image, 31);
    TDriveInfo info{};
    EXPECT_TRUE(QueryDriveInfo(image, info));
    EXPECT_EQ(info.TotalSectors, 8);
    cat.Rebuild(dir / "sys", dir / "dev");
    EXPECT_EQ(cat.PathFor(31), dir / "card.img") << "the image keeps its code";
}

TEST_F(DeviceTest, ImagesTakeTheNextFreeLetterAndKeepItAcrossRebuilds) {
    MakeFakeTree(dir);
    TDeviceCatalogue& cat = TDeviceCatalogue::Instance();
    const std::string image = MakeImage(dir, "card.img", BootSector(), 8);
    const std::uint8_t code = cat.RegisterImage(image);
    EXPECT_EQ(code, 1);
    EXPECT_EQ(cat.RegisterImage(image), 1) << "the same image registered twice keeps its letter";
    cat.Rebuild(dir / "sys", dir / "dev");
    EXPECT_EQ(cat.Find(1)->IsImage, true);
    EXPECT_EQ(cat.PathFor(2), dir / "dev/sda1") << "partitions skip the image's letter";
    EXPECT_EQ(cat.RegisterImage(dir / "missing.img"), 0);
    EXPECT_EQ(cat.RegisterImage(dir.Path()), 0) << "a folder is no disk image";
}

TEST_F(DeviceTest, PhysicalDrivesListsOnlyDisksThatAnswer) {
    MakeFakeTree(dir, /*withSdbNode=*/false);
    TDeviceCatalogue::Instance().Rebuild(dir / "sys", dir / "dev");
    EnumeratePhysicalDrives();
    // loop0 (128) and sda (129) answer, sdb (130) has no node, sr0 (131) answers.
    EXPECT_EQ(PhysicalDrives(), (std::vector<std::uint8_t>{128, 129, 131}));

    fs::remove(dir / "dev/sda");
    TDeviceCatalogue::Instance().Rebuild(dir / "sys", dir / "dev");
    EnumeratePhysicalDrives();
    EXPECT_EQ(PhysicalDrives(), (std::vector<std::uint8_t>{128, 131}));
}

TEST(DetectFileSystem, LabelsAreMatchedTrimmedAndCaseInsensitiveAtTheirOwnOffsets) {
    auto s = BootSector();
    PutText(s, 54, "FAT12   ");
    EXPECT_EQ(DetectFileSystem(s), kFsFat12);
    s = BootSector();
    PutText(s, 54, " fat16\t");
    EXPECT_EQ(DetectFileSystem(s), kFsFat16);
    s = BootSector();
    PutText(s, 82, "FAT32   ");
    EXPECT_EQ(DetectFileSystem(s), kFsFat32);
    s = BootSector();
    PutText(s, 54, "FAT32   ");
    EXPECT_EQ(DetectFileSystem(s), kFsNone) << "a FAT32 label counts only at offset 82";
    s = BootSector();
    PutText(s, 3, "NTFS    ");
    EXPECT_EQ(DetectFileSystem(s), kFsNtfs);
    s = BootSector();
    PutText(s, 54, "FAT1");
    s[58] = 0;
    s[59] = '2'; // text after the zero byte does not count
    EXPECT_EQ(DetectFileSystem(s), kFsNone);
    s = BootSector();
    PutText(s, 3, "EXFAT   ");
    EXPECT_EQ(DetectFileSystem(s), kFsNone);
    EXPECT_EQ(DetectFileSystem(std::span<const std::uint8_t>(s.data(), 100)), kFsNone) << "short input";
}

// The scan range is the image's own size whatever its boot sector claims: damaged, zero,
// counted in 4096-byte sectors, or larger than the image. The file system is still told apart.
TEST_F(DeviceTest, LogicalDriveSizeIsTheDevicesOwnWhateverTheBootSectorSays) {
    TDeviceCatalogue& cat = TDeviceCatalogue::Instance();
    struct TCase {
        const char* name;
        std::vector<std::uint8_t> boot;
        std::uint8_t fs;
    };
    std::vector<TCase> cases;
    {
        auto s = BootSector();
        PutText(s, 54, "FAT12   ");
        Put16(s, 19, 4); // a small volume: would cut the scan after 4 sectors
        cases.push_back({"fat12-small", s, kFsFat12});
    }
    {
        auto s = BootSector();
        PutText(s, 54, "FAT16   ");
        cases.push_back({"fat16-both-zero", s, kFsFat16});
    }
    {
        auto s = BootSector();
        PutText(s, 82, "FAT32   ");
        Put16(s, 11, 4096);
        Put32(s, 32, 6); // six 4096-byte sectors: 48 of 512 bytes
        cases.push_back({"fat32-4096", s, kFsFat32});
    }
    {
        auto s = BootSector();
        PutText(s, 3, "NTFS    ");
        Put32(s, 40, 0x00000010);
        Put32(s, 44, 0x00000001); // 2^32 + 16 sectors: far beyond the image
        cases.push_back({"ntfs-larger", s, kFsNtfs});
    }
    cases.push_back({"unformatted", BootSector(), kFsNone});
    for (const TCase& c : cases) {
        const std::string path = MakeImage(dir, std::string(c.name) + ".img", c.boot, 100);
        fs::resize_file(path, 100 * 512 + 300); // a partial last sector is not scanned
        const std::uint8_t code = cat.RegisterImage(path);
        TDriveInfo info{};
        ASSERT_TRUE(QueryDriveInfo(code, info)) << c.name;
        EXPECT_EQ(info.TotalSectors, 100) << c.name;
        EXPECT_EQ(info.Kind, kKindFixed) << c.name;
        EXPECT_EQ(info.BytesPerSector, 512u) << c.name;
        EXPECT_EQ(DetectFileSystem(std::span<const std::uint8_t>(c.boot.data(), 512)), c.fs) << c.name;
        TDrive drive;
        drive.Open(code);
        std::vector<std::uint8_t> last(512);
        ASSERT_EQ(drive.Read(99, 1, last.data()), 512u) << c.name;
        EXPECT_EQ(last[0], 99) << c.name;
    }
}

TEST_F(DeviceTest, UnreadableDevicesGiveFalseNotACrash) {
    TDeviceCatalogue& cat = TDeviceCatalogue::Instance();
    TDriveInfo info{};
    EXPECT_FALSE(QueryDriveInfo(5, info)) << "a code with no device";
    EXPECT_FALSE(QueryDriveInfo(200, info));
    EXPECT_EQ(OpenDevice(5), kInvalidHandle);

    const std::string shortImage = dir / "short.img";
    testkit::WriteFile(shortImage, std::vector<std::uint8_t>(100, 0));
    const std::uint8_t code = cat.RegisterImage(shortImage);
    ASSERT_NE(code, 0);
    EXPECT_FALSE(QueryDriveInfo(code, info)) << "an image shorter than one sector";

    TDrive drive;
    drive.Open(code);
    EXPECT_EQ(drive.DriveCode, 0);
    EXPECT_FALSE(drive.IsReady());
    std::vector<std::uint8_t> buf(512 * 4);
    EXPECT_EQ(drive.Read(0, 1, buf.data()), 0u);

    // A device that vanishes after it was opened reads nothing more than it had.
    const std::string gone = MakeImage(dir, "gone.img", BootSector(), 4);
    const std::uint8_t goneCode = cat.RegisterImage(gone);
    fs::remove(gone);
    drive.Open(goneCode);
    EXPECT_EQ(drive.DriveCode, 0);
}

// A device that does not open says why, so that "no medium" or "gone" is not reported as a
// lack of rights.
TEST_F(DeviceTest, FailedOpensKeepTheirReason) {
    TDeviceCatalogue& cat = TDeviceCatalogue::Instance();
    errno = 0;
    EXPECT_EQ(OpenDevice(5), kInvalidHandle);
    EXPECT_EQ(errno, ENODEV) << "a code that names nothing";

    TDrive drive;
    const std::string path = MakeImage(dir, "card.img", BootSector(), 8);
    const std::uint8_t code = cat.RegisterImage(path);
    drive.Open(code);
    ASSERT_EQ(drive.DriveCode, code);
    EXPECT_EQ(drive.OpenError, 0);

    fs::remove(path);
    drive.Open(code);
    EXPECT_EQ(drive.DriveCode, 0);
    EXPECT_EQ(drive.OpenError, ENOENT);

    testkit::WriteFile(path, std::vector<std::uint8_t>(100, 0));
    drive.Open(code);
    EXPECT_EQ(drive.OpenError, ENODATA) << "shorter than one sector";

    fs::remove(path);
    fs::create_directory(path);
    drive.Open(code);
    EXPECT_EQ(drive.OpenError, ENODEV) << "neither a disk nor an image";

    // A regular file the user may not read (checked only when not running as root, who may).
    fs::remove(path);
    MakeImage(dir, "card.img", BootSector(), 8);
    fs::permissions(path, fs::perms::none);
    drive.Open(code);
    if (geteuid() != 0) {
        EXPECT_EQ(drive.OpenError, EACCES);
    }
    drive.Open(99);
    EXPECT_EQ(drive.OpenError, ENODEV);
}

TEST_F(DeviceTest, ReadsAreClippedAtTheDevicesEnd) {
    const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(MakeImage(dir, "disk.img", BootSector(), 2000));
    TDrive drive;
    drive.Open(code);
    ASSERT_EQ(drive.DriveCode, code);
    ASSERT_EQ(drive.Info.TotalSectors, 2000);
    std::vector<std::uint8_t> buf(1000 * 512);
    EXPECT_EQ(drive.Read(1999, 1000, buf.data()), 512u);
    EXPECT_EQ(buf[0], static_cast<std::uint8_t>(1999));
    EXPECT_EQ(drive.Read(2000, 1000, buf.data()), 0u);
    EXPECT_EQ(drive.Read(0xFFFFFFFFu, 1000, buf.data()), 0u);
    EXPECT_EQ(drive.Read(1001, 1000, buf.data()), 999u * 512);
    EXPECT_EQ(buf[998 * 512], static_cast<std::uint8_t>(1999));
    EXPECT_EQ(drive.Read(5, 3, buf.data()), 3u * 512);
    EXPECT_EQ(buf[512], 6);
    EXPECT_TRUE(drive.IsReady());
}

TEST_F(DeviceTest, AFailingReadIsTriedRetriesPlusOneTimes) {
    const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(MakeImage(dir, "disk.img", BootSector(), 100));
    const TDeviceHandle h = OpenDevice(code);
    ASSERT_NE(h, kInvalidHandle);
    std::vector<std::uint8_t> buf(10 * 512);
    int attempts = 0;
    SetReadFault([&](std::uint64_t first, std::uint16_t count) {
        ++attempts;
        return first <= 50 && 50 < first + count; // sector 50 is bad
    });
    EXPECT_EQ(ReadDeviceSectors(h, 45, 10, 0, buf.data()), 0u);
    EXPECT_EQ(attempts, 1);
    attempts = 0;
    EXPECT_EQ(ReadDeviceSectors(h, 45, 10, 1, buf.data()), 0u);
    EXPECT_EQ(attempts, 2);
    attempts = 0;
    EXPECT_EQ(ReadDeviceSectors(h, 60, 10, 3, buf.data()), 10u * 512) << "a good read is made once";
    EXPECT_EQ(attempts, 1);
    // Succeeds on the second attempt.
    attempts = 0;
    SetReadFault([&](std::uint64_t, std::uint16_t) { return ++attempts == 1; });
    EXPECT_EQ(ReadDeviceSectors(h, 0, 2, 1, buf.data()), 2u * 512);
    EXPECT_EQ(ReadDeviceSectors(kInvalidHandle, 0, 2, 1, buf.data()), 0u);
    CloseDevice(h);
}

// The drive remembers where the device failed: a read stops short before a known bad sector,
// sectors a failed read left in doubt are settled one at a time, and no sector is asked for
// more than twice (once within the read that met it, once alone) until the drive is opened
// again or told to forget.
TEST_F(DeviceTest, TheDriveAsksForAFailingSectorAtMostTwice) {
    const std::uint8_t code =
        TDeviceCatalogue::Instance().RegisterImage(MakeImage(dir, "disk.img", BootSector(), 400));
    TDrive drive;
    drive.Open(code);
    std::vector<std::uint8_t> buf(200 * 512);
    std::vector<std::pair<std::uint64_t, std::uint16_t>> attempts;
    int asked = 0; // attempts that reached sector 150
    auto reaches = [&](std::uint64_t first, std::uint16_t count) { return first <= 150 && 150 < first + count; };

    // A drive whose whole request fails: which of 100 sectors failed is not known at first.
    SetReadFault([&](std::uint64_t first, std::uint16_t count) {
        attempts.emplace_back(first, count);
        asked += reaches(first, count);
        return reaches(first, count);
    });
    EXPECT_EQ(drive.Read(100, 100, buf.data()), 0u);
    EXPECT_FALSE(drive.KnownBad(150));
    // The sectors in doubt are read one by one up to the bad one, which ends the read.
    attempts.clear();
    EXPECT_EQ(drive.Read(90, 100, buf.data()), 60u * 512);
    EXPECT_EQ(attempts.front(), (std::pair<std::uint64_t, std::uint16_t>{90, 10}));
    EXPECT_EQ(attempts.size(), 1u + 51u);
    EXPECT_EQ(buf[59 * 512], 149);
    EXPECT_TRUE(drive.KnownBad(150));
    EXPECT_EQ(asked, 2);
    // From here on the device is not asked for it: reads stop before it or deliver nothing.
    attempts.clear();
    EXPECT_EQ(drive.Read(120, 100, buf.data()), 30u * 512);
    EXPECT_EQ(attempts, (std::vector<std::pair<std::uint64_t, std::uint16_t>>{{120, 30}}));
    EXPECT_EQ(drive.Read(150, 1, buf.data()), 0u);
    EXPECT_EQ(drive.Read(150, 50, buf.data()), 0u);
    // The rest of the doubtful run is read a sector at a time, once; then as usual again.
    EXPECT_EQ(drive.Read(151, 60, buf.data()), 60u * 512);
    EXPECT_EQ(buf[48 * 512], 199);
    attempts.clear();
    EXPECT_EQ(drive.Read(151, 60, buf.data()), 60u * 512);
    EXPECT_EQ(attempts.size(), 1u);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(drive.KnownBadCount(), 1u);

    // With a retry, each of the two reads is tried twice.
    drive.ForgetFailures();
    drive.ReadRetries = 1;
    asked = 0;
    EXPECT_EQ(drive.Read(140, 20, buf.data()), 0u);
    EXPECT_EQ(drive.Read(140, 20, buf.data()), 10u * 512);
    EXPECT_EQ(drive.Read(140, 20, buf.data()), 10u * 512);
    EXPECT_EQ(asked, 4);
    drive.ReadRetries = 0;

    // A drive that stops short: the read delivers up to the bad sector, which is then asked
    // for alone once. Opening the device again forgets what was learnt.
    SetReadFault(nullptr);
    SetReadStop([&](std::uint64_t first, std::uint16_t count) {
        asked += reaches(first, count);
        return reaches(first, count) ? static_cast<std::uint16_t>(150 - first) : count;
    });
    drive.Open(code);
    EXPECT_FALSE(drive.KnownBad(150));
    asked = 0;
    EXPECT_EQ(drive.Read(0, 200, buf.data()), 150u * 512);
    EXPECT_EQ(drive.Read(150, 1, buf.data()), 0u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(drive.Read(100, 100, buf.data()), 50u * 512);
        EXPECT_EQ(drive.Read(150, 16, buf.data()), 0u);
    }
    EXPECT_EQ(drive.Read(151, 49, buf.data()), 49u * 512);
    EXPECT_EQ(asked, 2);
    SetReadStop(nullptr);
}

// Bad sectors found one by one across a dead area join into one run, so that a card whose
// second half is dead costs a few entries, not one per sector.
TEST(SectorRuns, TouchingRunsJoinAndSettlingASectorSplitsTheRun) {
    TSectorRuns runs;
    for (std::uint64_t s = 1000; s < 2000; ++s)
        runs.Add(s, s + 1);
    runs.Add(500, 600);
    runs.Add(590, 1000); // touches both
    EXPECT_EQ(runs.Count(), 1500u);
    EXPECT_EQ(runs.NextFrom(0), 500u);
    EXPECT_EQ(runs.NextFrom(1999), 1999u);
    EXPECT_EQ(runs.NextFrom(2000), UINT64_MAX);
    runs.Remove(700);
    EXPECT_FALSE(runs.Contains(700));
    EXPECT_TRUE(runs.Contains(699));
    EXPECT_TRUE(runs.Contains(701));
    EXPECT_EQ(runs.NextFrom(700), 701u);
    EXPECT_EQ(runs.Count(), 1499u);
    runs.Remove(5000); // not held: nothing changes
    EXPECT_EQ(runs.Count(), 1499u);
}

TEST_F(DeviceTest, ReopeningClosesTheOldHandle) {
    const std::uint8_t a = TDeviceCatalogue::Instance().RegisterImage(MakeImage(dir, "a.img", BootSector(), 10));
    const std::uint8_t b = TDeviceCatalogue::Instance().RegisterImage(MakeImage(dir, "b.img", BootSector(), 20));
    const int before = OpenDescriptors();
    {
        TDrive drive;
        for (int i = 0; i < 20; ++i) {
            drive.Open(i % 2 ? a : b);
            ASSERT_NE(drive.Handle, kInvalidHandle);
        }
        EXPECT_EQ(OpenDescriptors(), before + 1);
        drive.Open(9); // no such device: closed state
        EXPECT_EQ(drive.DriveCode, 0);
        EXPECT_EQ(drive.Handle, kInvalidHandle);
        EXPECT_EQ(OpenDescriptors(), before);
        drive.Open(a);
        EXPECT_EQ(drive.Info.TotalSectors, 10);
    }
    EXPECT_EQ(OpenDescriptors(), before) << "the destructor closes the device";
}

TEST_F(DeviceTest, WholeDiskSizeIsExactNotWholeCylinders) {
    MakeFakeTree(dir);
    // sda's node: 16065 sectors (one 255 x 63 cylinder) plus 100, so a cylinder product would drop 100.
    testkit::WriteFile(dir / "dev/sda", std::vector<std::uint8_t>((255 * 63 + 100) * 512, 0));
    TDeviceCatalogue::Instance().Rebuild(dir / "sys", dir / "dev");
    TDriveInfo info{};
    ASSERT_TRUE(QueryDriveInfo(129, info));
    EXPECT_EQ(info.TotalSectors, 255 * 63 + 100);
    EXPECT_EQ(info.Cylinders, 1u);
    EXPECT_EQ(info.TracksPerCylinder, 255u);
    EXPECT_EQ(info.SectorsPerTrack, 63u);
    EXPECT_EQ(info.Kind, kKindFixed);
    EXPECT_EQ(info.Removable, 0);
    // A removable disk's partition reports removable.
    TDriveInfo part{};
    ASSERT_TRUE(QueryDriveInfo(4, part));
    EXPECT_EQ(part.Kind, kKindRemovable);
    EXPECT_EQ(part.Removable, 1);
}
