// The output component: no write follows a symlink, a folder swapped mid-run keeps its files,
// the examined device is refused, and what is created under sudo or pkexec belongs to the user.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <tuple>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "support/OutputDir.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes kPhoto(3000, 0xAB);
const Bytes kVictim{'k', 'e', 'e', 'p'};

TWriteResult WriteAs(TOutputDir& dir, const std::string& name, const Bytes& data = kPhoto) {
    return dir.Write(
        [&](int suffix) { return suffix == 0 ? name : name + "-" + std::to_string(suffix); }, data.data(),
        data.size());
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct stat Lstat(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

// Sets an environment variable for one scope.
class TEnv {
public:
    TEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~TEnv() {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

} // namespace

TEST(OutputDir, PlantedSymlinksAreNeverFollowedAndNothingIsOverwritten) {
    testkit::TTempDir dir;
    ASSERT_TRUE(testkit::WriteFile(dir / "victim", kVictim));
    fs::create_directory(dir / "out");
    fs::create_symlink(dir / "victim", dir / "out/f1.jpg");
    // The temporary names of the next writes, guessed and planted as well.
    for (int i = 0; i < 3; ++i)
        fs::create_symlink(dir / "victim", dir / ("out/.lumivore-" + std::to_string(getpid()) + "-" + std::to_string(i) + ".partial"));
    ASSERT_TRUE(testkit::WriteFile(dir / "out/f2.jpg", kVictim));

    TOutputDir out;
    std::string message;
    ASSERT_TRUE(out.Open(dir / "out", {}, message)) << message;
    TWriteResult w = WriteAs(out, "f1.jpg");
    ASSERT_EQ(w.Outcome, TWriteOutcome::Written) << w.Error;
    EXPECT_EQ(w.Name, "f1.jpg-1");
    w = WriteAs(out, "f2.jpg");
    EXPECT_EQ(w.Name, "f2.jpg-1");
    EXPECT_EQ(testkit::ReadFile(dir / "victim"), kVictim);
    EXPECT_EQ(testkit::ReadFile(dir / "out/f2.jpg"), kVictim);
    EXPECT_TRUE(S_ISLNK(Lstat(dir / "out/f1.jpg").st_mode));
    EXPECT_EQ(testkit::ReadFile(dir / "out/f1.jpg-1"), kPhoto);

    // Replacing (the settings file) replaces a planted link itself, never the file behind it.
    fs::create_symlink(dir / "victim", dir / "out/settings.xml");
    ASSERT_EQ(out.Replace("settings.xml", kPhoto.data(), kPhoto.size()).Outcome, TWriteOutcome::Written);
    EXPECT_EQ(testkit::ReadFile(dir / "victim"), kVictim);
    EXPECT_TRUE(S_ISREG(Lstat(dir / "out/settings.xml").st_mode));
    EXPECT_NE(WriteAs(out, "../escape").Outcome, TWriteOutcome::Written);
    EXPECT_FALSE(fs::exists(dir / "escape"));

    // Removing a file to write it again takes a name in the folder, never a path out of it, and
    // removes a planted link itself, never the file behind it.
    EXPECT_TRUE(out.Remove("f1.jpg"));
    EXPECT_EQ(testkit::ReadFile(dir / "victim"), kVictim);
    EXPECT_FALSE(out.Remove("../victim"));
    EXPECT_TRUE(fs::exists(dir / "victim"));
    EXPECT_TRUE(out.Remove("f1.jpg-1"));
    EXPECT_FALSE(fs::exists(dir / "out/f1.jpg-1"));
    EXPECT_FALSE(out.Remove("f1.jpg-1"));
}

TEST(OutputDir, AFolderSwappedForASymlinkMidRunKeepsReceivingTheFiles) {
    testkit::TTempDir dir;
    fs::create_directory(dir / "elsewhere");
    TOutputDir out;
    std::string message;
    ASSERT_TRUE(out.Open(dir / "out/new", {}, message)) << message;
    ASSERT_EQ(WriteAs(out, "a.jpg").Outcome, TWriteOutcome::Written);
    fs::rename(dir / "out/new", dir / "moved");
    fs::create_directory_symlink(dir / "elsewhere", dir / "out/new");
    ASSERT_EQ(WriteAs(out, "b.jpg").Outcome, TWriteOutcome::Written);
    EXPECT_TRUE(Names(dir / "elsewhere").empty());
    EXPECT_EQ(Names(dir / "moved"), (std::vector<std::string>{"a.jpg", "b.jpg"}));

    // A folder path that is a file, or runs through one, is refused.
    ASSERT_TRUE(testkit::WriteFile(dir / "plain", kVictim));
    EXPECT_FALSE(out.Open(dir / "plain", {}, message));
    EXPECT_FALSE(out.Open(dir / "plain/sub", {}, message));
    EXPECT_NE(message.find("plain/sub"), std::string::npos) << message;
}

TEST(OutputDir, AFolderOrFileOnTheExaminedDeviceIsRefusedBeforeAnythingIsCreated) {
    testkit::TTempDir dir;
    ASSERT_TRUE(testkit::WriteFile(dir / "card.img", kVictim));
    struct stat img = Lstat(dir / "card.img");
    TExaminedSource examined;
    examined.ImageDevice = img.st_dev;
    examined.ImageInode = img.st_ino;
    examined.Devices = {makedev(8, 17)};
    // The folder's file system reports an anonymous number, as btrfs does; the mount table
    // says it comes from sdb1, the examined device.
    ASSERT_TRUE(testkit::WriteFile(dir / "mountinfo", {}));
    std::ofstream(dir / "mountinfo") << "29 1 0:45 / " << dir.Path() << " rw - btrfs /dev/sdb1 rw\n";
    fs::create_directories(dir / "sys/class/block/sdb1");
    std::ofstream(dir / "sys/class/block/sdb1/dev") << "8:17\n";
    examined.Tables = {dir / "mountinfo", dir / "sys"};
    examined.FileSystemDevice = [](const std::string&) { return std::optional<dev_t>(makedev(0, 45)); };

    TOutputDir out;
    std::string message;
    EXPECT_FALSE(out.Open(dir / "thumbs/a", examined, message));
    EXPECT_NE(message.find("device being examined (block device 8:17)"), std::string::npos) << message;
    EXPECT_FALSE(fs::exists(dir / "thumbs"));

    // The same folder is fine when another device is examined; the image itself, or a link to
    // it, is still refused as a file to write.
    examined.Devices = {makedev(8, 32)};
    ASSERT_TRUE(out.Open(dir.Path(), examined, message)) << message;
    fs::create_symlink(dir / "card.img", dir / "sheet.png");
    for (const char* name : {"card.img", "sheet.png"}) {
        EXPECT_FALSE(out.CheckTarget(name, message)) << name;
        EXPECT_NE(message.find("is the device being examined"), std::string::npos) << message;
    }
    EXPECT_TRUE(out.CheckTarget("other.png", message)) << message;
    EXPECT_EQ(testkit::ReadFile(dir / "card.img"), kVictim);

    // The examined device's own node, or any other, given as a file name (when this system
    // lets us make one).
    if (::mknod((dir / "sdc").c_str(), S_IFBLK | 0600, makedev(8, 32)) == 0) {
        EXPECT_FALSE(out.CheckTarget("sdc", message));
        EXPECT_NE(message.find("is the device being examined"), std::string::npos) << message;
    }
    if (::mknod((dir / "sdd").c_str(), S_IFBLK | 0600, makedev(8, 48)) == 0) {
        EXPECT_FALSE(out.CheckTarget("sdd", message));
        EXPECT_NE(message.find("is a device"), std::string::npos) << message;
    }
}

// The image set up on two loop devices (loop0 mounted, loop1 examined), and mounted through FUSE
// without a loop device (ntfs-3g given the file): as a recorded mount table and sysfs show them.
// Writing below either mount writes into the examined image.
TEST(OutputDir, AMountOfTheExaminedImageThroughASecondLoopDeviceOrFuseIsRefused) {
    testkit::TTempDir dir;
    ASSERT_TRUE(testkit::WriteFile(dir / "card.img", kVictim));
    ASSERT_TRUE(testkit::WriteFile(dir / "other.img", kVictim));
    auto put = [&](const std::string& rel, const std::string& text) {
        fs::create_directories((dir / ("sys/" + rel)).substr(0, (dir / ("sys/" + rel)).rfind('/')));
        std::ofstream(dir / ("sys/" + rel)) << text << "\n";
    };
    auto link = [&](const std::string& number, const std::string& target) {
        fs::create_directories(dir / "sys/dev/block");
        fs::create_directory_symlink(dir / ("sys/block/" + target), dir / ("sys/dev/block/" + number));
    };
    // loop0 and loop1 serve card.img (each with a partition from sector 2048), loop2 other.img.
    for (const auto& [name, number, part, image] :
         {std::tuple{"loop0", "7:0", "259:0", "card.img"}, {"loop1", "7:1", "259:1", "card.img"},
          {"loop2", "7:2", "259:2", "other.img"}}) {
        const std::string loop = name;
        put("block/" + loop + "/dev", number);
        put("block/" + loop + "/loop/backing_file", dir / image);
        put("block/" + loop + "/" + loop + "p1/dev", part);
        put("block/" + loop + "/" + loop + "p1/partition", "1");
        put("block/" + loop + "/" + loop + "p1/start", "2048");
        put("class/block/" + loop + "/dev", number);
        put("class/block/" + loop + "p1/dev", part);
        link(number, loop);
        link(part, loop + "/" + loop + "p1");
    }
    std::ofstream(dir / "mountinfo") << "40 1 7:0 / " << dir / "loop0" << " rw - vfat /dev/loop0 rw\n"
                                     << "41 1 259:0 / " << dir / "loop0p1" << " rw - ext4 /dev/loop0p1 rw\n"
                                     << "42 1 0:55 / " << dir / "fuse" << " rw - fuseblk " << dir / "card.img"
                                     << " rw,user_id=0,group_id=0,allow_other\n"
                                     << "43 1 0:56 / " << dir / "fuse-other" << " rw - fuse " << dir / "other.img"
                                     << " rw,user_id=0\n";
    const std::map<std::string, dev_t> mounted{{"loop0", makedev(7, 0)},
                                               {"loop0p1", makedev(259, 0)},
                                               {"fuse", makedev(0, 55)},
                                               {"fuse-other", makedev(0, 56)}};
    for (const auto& [folder, number] : mounted)
        fs::create_directory(dir / folder); // the mount points
    TExaminedSource examined;
    examined.Tables = {dir / "mountinfo", dir / "sys"};
    examined.FileSystemDevice = [&](const std::string& path) -> std::optional<dev_t> {
        for (const auto& [folder, number] : mounted)
            if (path.rfind(dir / folder + "/", 0) == 0 || path == dir / folder)
                return number;
        return std::nullopt;
    };
    auto refused = [&](const std::string& folder, const std::string& how) {
        TOutputDir out;
        std::string message;
        const bool opened = out.Open(dir / (folder + "/out"), examined, message);
        EXPECT_FALSE(opened) << folder;
        EXPECT_NE(message.find("lies on the device being examined (" + how + ")"), std::string::npos)
            << folder << ": " << message;
        EXPECT_FALSE(fs::exists(dir / (folder + "/out"))) << folder << ": refused before anything was created";
    };
    auto allowed = [&](const std::string& folder) {
        TOutputDir out;
        std::string message;
        EXPECT_TRUE(out.Open(dir / (folder + "/out"), examined, message)) << folder << ": " << message;
        fs::remove_all(dir / (folder + "/out"));
    };

    // Examining loop1: loop0 serves the same file.
    examined.Devices = RelatedBlockDevices(dir / "sys", makedev(7, 1));
    refused("loop0", "block device 7:0");
    refused("loop0p1", "block device 259:0");
    refused("fuse", "a file system served from the examined image file");
    allowed("fuse-other");
    // Examining its partition: the same partition of loop0, not the whole of it.
    examined.Devices = RelatedBlockDevices(dir / "sys", makedev(259, 1));
    refused("loop0p1", "block device 259:0");
    refused("fuse", "a file system served from the examined image file");
    // Examining the image itself, with no list of the loop devices that serve it: the FUSE
    // mount of it, and the loop device's backing file, are the image.
    const struct stat img = Lstat(dir / "card.img");
    examined.Devices.clear();
    examined.ImageDevice = img.st_dev;
    examined.ImageInode = img.st_ino;
    refused("fuse", "a file system served from the examined image file");
    refused("loop0", "a file system served from the examined image file");
    allowed("fuse-other");
    // Examining loop2: none of card.img's mounts is in the way.
    examined.ImageDevice.reset();
    examined.Devices = RelatedBlockDevices(dir / "sys", makedev(7, 2));
    EXPECT_EQ(examined.Devices, (std::vector<dev_t>{makedev(7, 2), makedev(259, 2)}));
    for (const char* folder : {"loop0", "loop0p1", "fuse"})
        allowed(folder);
    EXPECT_EQ(testkit::ReadFile(dir / "card.img"), kVictim);
}

TEST(OutputDir, UnderSudoOrPkexecWhatIsCreatedBelongsToTheInvokingUserWhereTheyCouldHaveCreatedIt) {
    if (geteuid() != 0)
        GTEST_SKIP() << "changing owners needs root";
    testkit::TTempDir dir;
    fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    auto folder = [&](const std::string& name, uid_t uid, gid_t gid, fs::perms perms) {
        fs::create_directory(dir / name);
        EXPECT_EQ(::chown((dir / name).c_str(), uid, gid), 0);
        fs::permissions(dir / name, perms);
    };
    const fs::perms rwxr_xr_x = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec;
    folder("home", 4321, 4321, rwxr_xr_x);                             // the user's own
    folder("shared", 0, 4322, rwxr_xr_x | fs::perms::group_write);     // the user's group may write
    folder("tmp", 0, 0, fs::perms::all | fs::perms::sticky_bit);       // anyone may write
    folder("etc", 0, 0, rwxr_xr_x);                                    // only root may write
    folder("locked", 0, 0, fs::perms::owner_all);                      // the user cannot pass
    folder("locked/open", 0, 0, fs::perms::all);
    {
        TEnv uid("SUDO_UID", "4321"), gid("SUDO_GID", "4322"), pk("PKEXEC_UID", nullptr);
        for (const char* base : {"home", "shared", "tmp"}) {
            SCOPED_TRACE(base);
            TOutputDir out;
            std::string message;
            ASSERT_TRUE(out.Open(dir / (std::string(base) + "/a/b"), {}, message)) << message;
            ASSERT_EQ(WriteAs(out, "f.jpg").Outcome, TWriteOutcome::Written);
            for (const char* made : {"/a", "/a/b", "/a/b/f.jpg"}) {
                const struct stat st = Lstat(dir / (base + std::string(made)));
                EXPECT_EQ(st.st_uid, 4321u) << made;
                EXPECT_EQ(st.st_gid, 4322u) << made;
            }
        }
        EXPECT_EQ(Lstat(dir / "shared").st_uid, 0u) << "a folder that was there keeps its owner";
        // Where only root may write, what is made stays root's: a user allowed this one command
        // under sudo must not come to own a folder or file below /etc.
        for (const char* base : {"etc", "locked/open"}) {
            SCOPED_TRACE(base);
            TOutputDir out;
            std::string message;
            ASSERT_TRUE(out.Open(dir / (std::string(base) + "/a/b"), {}, message)) << message;
            ASSERT_EQ(WriteAs(out, "f.jpg").Outcome, TWriteOutcome::Written);
            TOutputDir existing;
            ASSERT_TRUE(existing.Open(dir / base, {}, message)) << message;
            ASSERT_EQ(WriteAs(existing, "sheet.png").Outcome, TWriteOutcome::Written);
            for (const char* made : {"/a", "/a/b", "/a/b/f.jpg", "/sheet.png"})
                EXPECT_EQ(Lstat(dir / (base + std::string(made))).st_uid, 0u) << made;
        }
        EXPECT_FALSE(UserMayWriteIn("relative/path", {4321, 4322}));
    }
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody != nullptr) {
        TEnv uid("SUDO_UID", nullptr), pk("PKEXEC_UID", std::to_string(nobody->pw_uid).c_str());
        folder("nobody", nobody->pw_uid, nobody->pw_gid, rwxr_xr_x);
        TOutputDir out;
        std::string message;
        ASSERT_TRUE(out.Open(dir / "nobody/pk", {}, message)) << message;
        ASSERT_EQ(WriteAs(out, "f.jpg").Outcome, TWriteOutcome::Written);
        EXPECT_EQ(Lstat(dir / "nobody/pk/f.jpg").st_uid, nobody->pw_uid);
        EXPECT_EQ(Lstat(dir / "nobody/pk/f.jpg").st_gid, nobody->pw_gid);
        EXPECT_EQ(Lstat(dir / "nobody/pk").st_uid, nobody->pw_uid);
    }
    // Nonsense in the variables is ignored rather than guessed at.
    TEnv uid("SUDO_UID", "12ab"), pk("PKEXEC_UID", "-1");
    EXPECT_FALSE(InvokingUser().has_value());
}

TEST(OutputDir, AStreamedFileArrivesWholeOrNotAtAll) {
    testkit::TTempDir tmp;
    TOutputDir dir;
    std::string message;
    ASSERT_TRUE(dir.Open(tmp / "out", {}, message)) << message;
    // Blocks of 1000 bytes, each filled with its number; the last one short.
    Bytes block(1000);
    std::vector<std::uint64_t> asked;
    auto source = [&](std::uint64_t offset, std::size_t n, const std::uint8_t*& out) {
        asked.push_back(offset);
        std::fill(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(n),
                  static_cast<std::uint8_t>(offset / 1000));
        out = block.data();
        return true;
    };
    auto nameFor = [](int suffix) { return "clip" + std::to_string(suffix) + ".avi"; };
    const TWriteResult w = dir.WriteStream(nameFor, 3500, 1000, source);
    ASSERT_EQ(w.Outcome, TWriteOutcome::Written) << w.Error;
    EXPECT_EQ(asked, (std::vector<std::uint64_t>{0, 1000, 2000, 3000}));
    std::ifstream in(tmp / ("out/" + w.Name), std::ios::binary);
    const Bytes written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(written.size(), 3500u);
    EXPECT_EQ(written[999], 0);
    EXPECT_EQ(written[1000], 1);
    EXPECT_EQ(written[3499], 3);

    // A source that gives up part-way, and a file larger than the free space, leave nothing.
    int calls = 0;
    auto givesUp = [&](std::uint64_t, std::size_t, const std::uint8_t*& out) {
        out = block.data();
        return ++calls < 3;
    };
    const TWriteResult stopped = dir.WriteStream(nameFor, 3500, 1000, givesUp);
    EXPECT_EQ(stopped.Outcome, TWriteOutcome::Failed);
    EXPECT_EQ(stopped.Error, "the file's bytes could not be supplied");
    const TWriteResult huge = dir.WriteStream(nameFor, std::uint64_t{1} << 62, 1000, source);
    EXPECT_EQ(huge.Outcome, TWriteOutcome::NoSpace);
    EXPECT_EQ(Names(tmp / "out"), (std::vector<std::string>{w.Name}));
}

namespace lumivore {
namespace {

TEST(OutputDirMoveInto, FilesGoIntoSubfoldersWithoutReplacingAnythingOrFollowingLinks) {
    testkit::TTempDir dir;
    const std::string out = dir / "out";
    TOutputDir dest;
    std::string message;
    ASSERT_TRUE(dest.Open(out, TExaminedSource{}, message)) << message;
    const std::uint8_t bytes[] = {1, 2, 3, 4};
    const auto fixed = [](std::string name) { return [name](int) { return name; }; };
    TWriteResult w = dest.Write(fixed("a.tmp"), bytes, sizeof bytes);
    ASSERT_EQ(w.Outcome, TWriteOutcome::Written);
    // A name taken gets the next suffix.
    ASSERT_TRUE(testkit::WriteFile(out + "/keep.jpg", {9}));
    const auto suffixed = [](int suffix) { return suffix == 0 ? std::string("keep.jpg") : "keep-" + std::to_string(suffix) + ".jpg"; };
    w = dest.MoveInto("a.tmp", {}, suffixed);
    ASSERT_EQ(w.Outcome, TWriteOutcome::Written);
    EXPECT_EQ(w.Name, "keep-1.jpg");
    EXPECT_EQ(testkit::ReadFile(out + "/keep.jpg"), std::vector<std::uint8_t>{9});
    // Into folders that are made on the way.
    w = dest.MoveInto("keep-1.jpg", {"DCIM", "100CANON"}, fixed("IMG_0001.JPG"), std::time_t{1000000000});
    ASSERT_EQ(w.Outcome, TWriteOutcome::Written);
    EXPECT_EQ(w.Name, "DCIM/100CANON/IMG_0001.JPG");
    struct stat st {};
    ASSERT_EQ(::stat((out + "/DCIM/100CANON/IMG_0001.JPG").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
    // A folder that is a symlink planted in the destination is not followed, and a component
    // that is not a plain name is refused; the file stays where it was.
    const std::string elsewhere = dir / "elsewhere";
    std::filesystem::create_directories(elsewhere);
    std::filesystem::create_directory_symlink(elsewhere, out + "/link");
    w = dest.Write(fixed("b.tmp"), bytes, sizeof bytes);
    ASSERT_EQ(w.Outcome, TWriteOutcome::Written);
    EXPECT_NE(dest.MoveInto("b.tmp", {"link"}, fixed("b.jpg")).Outcome, TWriteOutcome::Written);
    EXPECT_NE(dest.MoveInto("b.tmp", {".."}, fixed("b.jpg")).Outcome, TWriteOutcome::Written);
    EXPECT_NE(dest.MoveInto("b.tmp", {"x"}, fixed("../b.jpg")).Outcome, TWriteOutcome::Written);
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
    EXPECT_TRUE(std::filesystem::exists(out + "/b.tmp"));
    // Cut to a shorter length, never lengthened.
    EXPECT_TRUE(dest.Truncate("b.tmp", 2));
    EXPECT_EQ(testkit::ReadFile(out + "/b.tmp"), (std::vector<std::uint8_t>{1, 2}));
    EXPECT_TRUE(dest.Truncate("b.tmp", 10));
    EXPECT_EQ(std::filesystem::file_size(out + "/b.tmp"), 2u);
}

} // namespace
} // namespace lumivore
