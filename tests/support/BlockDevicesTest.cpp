// The block devices behind a folder, read from a recorded mount table and a fake sysfs.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sys/sysmacros.h>

#include "support/BlockDevices.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
namespace fs = std::filesystem;

namespace {

// A machine whose root is a container's overlay with its layers on sdc1, whose home is a btrfs
// file system spanning sda2 and sdb1, and with a card image on sdc1 loop-mounted at /mnt/card.
// The paths start with a folder no test machine has, so nothing real is consulted.
class BlockDevicesOfPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(dir_ / "mountinfo")
            << "22 1 0:60 / / rw,relatime - overlay overlay rw,lowerdir=/zz-lv/l/1:/zz-lv/l/2\\:x,"
               "upperdir=/zz-lv/up/diff,workdir=/zz-lv/up/work\n"
               "23 22 8:33 / /zz-lv rw,relatime shared:1 - ext4 /dev/sdc1 rw\n"
               "24 22 0:45 /@home /zz-home rw,relatime shared:2 - btrfs /dev/sda2 rw,subvolid=257\n"
               "25 24 0:45 /@home/u/My\\040Pictures /zz-pics rw - btrfs /dev/sda2 rw\n"
               "26 22 7:0 / /zz-mnt/card rw - vfat /dev/loop0 rw\n"
               "27 22 0:70 / /zz-tmp rw - tmpfs tmpfs rw\n"
               "not a mount line\n";
        Dev("class/block/sdc1", "8:33");
        Dev("class/block/sda2", "8:2");
        Dev("class/block/sdb1", "8:17");
        Dev("class/block/loop0", "7:0");
        Dev("fs/btrfs/1234-abcd/devices/sda2", "8:2");
        Dev("fs/btrfs/1234-abcd/devices/sdb1", "8:17");
        Dev("fs/btrfs/9999-other/devices/sdd1", "8:49");
        fs::create_directories(Sys("dev/block/7:0/loop"));
        std::ofstream(Sys("dev/block/7:0/loop/backing_file")) << "/zz-lv/images/card.img\n";
        tables_ = {dir_ / "mountinfo", dir_ / "sys"};
    }
    std::string Sys(const std::string& rel) const { return dir_ / ("sys/" + rel); }
    void Dev(const std::string& rel, const char* number) {
        fs::create_directories(Sys(rel));
        std::ofstream(Sys(rel) + "/dev") << number << "\n";
    }
    std::vector<dev_t> Found(const std::string& path, std::optional<dev_t> device) {
        std::vector<dev_t> got = BlockDevicesOfPath(path, device, tables_);
        std::sort(got.begin(), got.end());
        return got;
    }
    static std::vector<dev_t> Sorted(std::vector<dev_t> v) {
        std::sort(v.begin(), v.end());
        return v;
    }

    testkit::TTempDir dir_;
    TSystemTables tables_;
};

} // namespace

TEST_F(BlockDevicesOfPathTest, BtrfsAnonymousNumbersLeadToEveryMemberDevice) {
    const auto want = Sorted({makedev(0, 45), makedev(8, 2), makedev(8, 17)});
    EXPECT_EQ(Found("/zz-home/u/out", makedev(0, 45)), want);
    // Found by its mount point alone, and through an escaped name.
    EXPECT_EQ(Found("/zz-home/u/out", std::nullopt), want);
    EXPECT_EQ(Found("/zz-pics/2024", std::nullopt), want);
}

TEST_F(BlockDevicesOfPathTest, OverlayLayersAndLoopBackingFilesResolveToTheirOwnMounts) {
    // Every layer of the root overlay lies on sdc1.
    std::vector<dev_t> got = Found("/zz-data/out", makedev(0, 60));
    EXPECT_NE(std::find(got.begin(), got.end(), makedev(8, 33)), got.end());
    EXPECT_EQ(std::find(got.begin(), got.end(), makedev(8, 2)), got.end()) << "home is another disk";
    // The loop device writes into its backing file on sdc1.
    got = Found("/zz-mnt/card/DCIM", makedev(7, 0));
    EXPECT_NE(std::find(got.begin(), got.end(), makedev(7, 0)), got.end());
    EXPECT_NE(std::find(got.begin(), got.end(), makedev(8, 33)), got.end());
    // A mount without a block device has only its own number.
    EXPECT_EQ(Found("/zz-tmp/x", makedev(0, 70)), std::vector<dev_t>{makedev(0, 70)});
}

TEST_F(BlockDevicesOfPathTest, TablesThatLoopOrAreMissingEndTheSearch) {
    // An overlay whose upper layer lies below itself, and a loop device backed by a file on itself.
    std::ofstream(dir_ / "mountinfo") << "22 1 0:60 / / rw - overlay overlay rw,upperdir=/zz-up,lowerdir=/zz-low\n"
                                         "23 22 7:0 / /zz-up rw - ext4 /dev/loop0 rw\n";
    std::ofstream(Sys("dev/block/7:0/loop/backing_file")) << "/zz-up/self.img\n";
    const std::vector<dev_t> got = Found("/zz-x", std::nullopt);
    EXPECT_NE(std::find(got.begin(), got.end(), makedev(7, 0)), got.end());
    tables_.MountInfo = dir_ / "missing";
    EXPECT_EQ(Found("/zz-x", makedev(0, 99)), std::vector<dev_t>{makedev(0, 99)});
}
