#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "device/DeviceOpener.h"
#include "device/DskLib.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
using lumivore::testkit::TTempDir;

namespace {

constexpr std::size_t kSectors = 64;

std::vector<std::uint8_t> NumberedSectors() {
    std::vector<std::uint8_t> bytes(kSectors * 512);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>((i / 512) * 7 + i % 251);
    return bytes;
}

bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) >= 0 || errno != EBADF; }

// Runs `work` as someone who may not open the image: the user nobody in a child process when
// the tests run as root (root opens through any permission), else this user after the image
// was made unreadable. `work` returns 0 on success or the number of the check that failed.
int RunWithoutReadRights(const std::string& image, const std::function<int()>& work) {
    ::chmod(image.c_str(), 0600);
    if (::geteuid() != 0) {
        ::chmod(image.c_str(), 0);
        return work();
    }
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(99);
        ::_exit(work());
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return 98;
    return WEXITSTATUS(status);
}

class DeviceOpenerTest : public ::testing::Test {
protected:
    void SetUp() override {
        TDeviceCatalogue::Instance().Clear();
        image = dir / "card.img";
        ASSERT_TRUE(testkit::WriteFile(image, NumberedSectors()));
        code = TDeviceCatalogue::Instance().RegisterImage(image);
        ASSERT_NE(code, 0);
    }
    void TearDown() override {
        SetDeviceOpener(nullptr);
        TDeviceCatalogue::Instance().Clear();
    }
    TTempDir dir;
    std::string image;
    std::uint8_t code = 0;
};

} // namespace

// The descriptor a helper hands over is read exactly as the device layer's own.
TEST_F(DeviceOpenerTest, ADescriptorFromTheOpenerReadsExactlyAsADirectOpen) {
    TDrive direct;
    direct.Open(code);
    ASSERT_EQ(direct.DriveCode, code);
    std::vector<std::uint8_t> expected(kSectors * 512);
    ASSERT_EQ(direct.Read(0, kSectors, expected.data()), expected.size());
    const TDriveInfo directInfo = direct.Info;
    direct.Close();

    // Handed over the way udisks2 does it: opened by someone with the rights, before this
    // process needs it.
    const int held = ::open(image.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    const int result = RunWithoutReadRights(image, [&] {
        if (OpenDevice(code) != kInvalidHandle)
            return 1; // the premise: this user cannot open the image itself
        std::vector<std::string> asked;
        SetDeviceOpener([&](const std::string& path) {
            asked.push_back(path);
            return ::dup(held);
        });
        TDrive drive;
        drive.Open(code);
        if (drive.DriveCode != code || drive.Handle == kInvalidHandle)
            return 2;
        if (drive.Info.TotalSectors != directInfo.TotalSectors || drive.Info.Kind != directInfo.Kind)
            return 3;
        std::vector<std::uint8_t> read(kSectors * 512);
        if (drive.Read(0, kSectors, read.data()) != read.size() || read != expected)
            return 4;
        if (drive.Read(kSectors - 2, 10, read.data()) != 2 * 512 ||
            std::memcmp(read.data(), expected.data() + (kSectors - 2) * 512, 1024) != 0)
            return 5; // clipped at the end like any device
        if (asked.empty() || asked.front() != image)
            return 6;
        if ((::fcntl(drive.Handle, F_GETFD) & FD_CLOEXEC) == 0)
            return 7;
        return 0;
    });
    ::close(held);
    EXPECT_EQ(result, 0) << "check " << result << " failed";
}

TEST_F(DeviceOpenerTest, AWritableDescriptorIsRefusedAndClosed) {
    // The opener asked directly.
    for (const int mode : {O_RDWR, O_WRONLY}) {
        int handedOver = -1;
        SetDeviceOpener([&](const std::string& path) { return handedOver = ::open(path.c_str(), mode); });
        errno = 0;
        EXPECT_EQ(OpenWithDeviceOpener(image), -1);
        EXPECT_EQ(errno, EPERM);
        ASSERT_GE(handedOver, 0);
        EXPECT_FALSE(IsOpen(handedOver)) << "a refused descriptor must be closed";
    }

    // And through the device layer, as a user who cannot open the image.
    const int writable = ::open(image.c_str(), O_RDWR);
    ASSERT_GE(writable, 0);
    const int throughLayer = RunWithoutReadRights(image, [&] {
        int handedOver = -1;
        SetDeviceOpener([&](const std::string&) { return handedOver = ::dup(writable); });
        TDrive drive;
        drive.Open(code);
        if (drive.DriveCode != 0 || drive.Handle != kInvalidHandle)
            return 1;
        return handedOver >= 0 && !IsOpen(handedOver) ? 0 : 2;
    });
    ::close(writable);
    EXPECT_EQ(throughLayer, 0) << "check " << throughLayer << " failed";
}

TEST_F(DeviceOpenerTest, TheOpenerIsAskedOnlyWhenRightsAreLacking) {
    int calls = 0;
    SetDeviceOpener([&](const std::string& path) {
        ++calls;
        return ::open(path.c_str(), O_RDONLY);
    });
    // Readable by this user (root in the tests, or the owner): opened directly.
    ::chmod(image.c_str(), 0644);
    const TDeviceHandle h = OpenDevice(code);
    EXPECT_NE(h, kInvalidHandle);
    CloseDevice(h);
    // A device that is gone is not a question of rights.
    ::unlink(image.c_str());
    EXPECT_EQ(OpenDevice(code), kInvalidHandle);
    EXPECT_EQ(calls, 0);

    // A failing opener and no opener both leave the device unopened, with a reason.
    SetDeviceOpener([](const std::string&) {
        errno = EACCES; // the user dismissed the password dialog
        return -1;
    });
    EXPECT_EQ(OpenWithDeviceOpener(image), -1);
    EXPECT_EQ(errno, EACCES);
    SetDeviceOpener(nullptr);
    EXPECT_FALSE(HasDeviceOpener());
    EXPECT_EQ(OpenWithDeviceOpener(image), -1);
    EXPECT_EQ(errno, ENOSYS);
}

// Listing the disks at start-up must not ask for rights disk by disk; choosing one may.
TEST_F(DeviceOpenerTest, ListingDisksNeverAsksTheOpenerButChoosingOneDoes) {
    namespace fs = std::filesystem;
    fs::create_directories(dir / "sys/block/sdz");
    std::ofstream(dir / "sys/block/sdz/removable") << "1\n";
    fs::create_directories(dir / "dev");
    const std::string disk = dir / "dev/sdz";
    ASSERT_TRUE(testkit::WriteFile(disk, NumberedSectors()));
    TDeviceCatalogue::Instance().Rebuild(dir / "sys", dir / "dev");
    const std::uint8_t diskCode = TDeviceCatalogue::Instance().CodeForPath(disk);
    ASSERT_EQ(diskCode, kFirstPhysicalCode);

    const int held = ::open(disk.c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    const int result = RunWithoutReadRights(disk, [&] {
        int calls = 0;
        SetDeviceOpener([&](const std::string&) {
            ++calls;
            return ::dup(held);
        });
        EnumeratePhysicalDrives();
        if (calls != 0)
            return 1;
        {
            TDeviceOpenerPause pause;
            if (HasDeviceOpener() || OpenDevice(diskCode) != kInvalidHandle || calls != 0)
                return 2;
        }
        TDrive drive;
        drive.Open(diskCode);
        if (drive.DriveCode != diskCode || drive.Info.TotalSectors != static_cast<std::int64_t>(kSectors))
            return 3;
        return calls > 0 ? 0 : 4;
    });
    ::close(held);
    EXPECT_EQ(result, 0) << "check " << result << " failed";
}
