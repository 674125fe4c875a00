// lumivore-cli as a user meets it: exit statuses, one-line reasons, JSON lines.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "testkit/ImageBuilder.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/SampleCard.h"
#include "cli/CliRun.h"
#include "testkit/TempFiles.h"

namespace {

using lumivore::testing::Cli;
using lumivore::testing::Lines;
using lumivore::testing::TRun;

class CliTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("LUMIVORE_CONFIG", (dir / "settings.xml").c_str(), 1); }
    lumivore::testkit::TTempDir dir;
};

} // namespace

TEST_F(CliTest, UnusableSourcesGiveOneLineAndStatusOne) {
    lumivore::testkit::WriteFile(dir / "empty.img", {});
    for (const std::string& source : {dir / "missing.img", dir.Path(), dir / "empty.img", std::string("200")}) {
        const TRun r = Cli("scan --quiet " + source, dir);
        EXPECT_EQ(r.status, 1) << source;
        EXPECT_EQ(Lines(r.err), 1) << r.err;
        EXPECT_NE(r.err.find("lumivore-cli: "), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    EXPECT_NE(Cli("scan --quiet " + dir.Path(), dir).err.find("is a directory"), std::string::npos);
    EXPECT_NE(Cli("scan --quiet " + dir / "empty.img", dir).err.find("is empty"), std::string::npos);
}

TEST_F(CliTest, BadOptionsAreUsageErrors) {
    for (const char* args : {"", "scan", "scan --no-such-option x", "frobnicate", "scan x --start-mb -3", "scan x --start-mb abc"}) {
        const TRun r = Cli(args, dir);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_FALSE(r.err.empty()) << args;
    }
    EXPECT_EQ(Cli("--help", dir).status, 0);
}

TEST_F(CliTest, PhoneAndVideoExtensionsAreTypesToRecover) {
    lumivore::testkit::TSampleCardOptions options;
    options.SizeBytes = 4ull << 20;
    options.LargePhotos = false;
    lumivore::testkit::TSampleCard card;
    ASSERT_TRUE(lumivore::testkit::WriteSampleCard(dir / "card.img", options, card));
    const TRun ok = Cli("recover --quiet " + dir / "card.img" + " --to " + dir / "out" + " --types heic,MP4,Cr3", dir);
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_NE(ok.out.find("no found file is of the chosen types"), std::string::npos) << ok.out;
    const TRun bad = Cli("recover --quiet " + dir / "card.img" + " --to " + dir / "out" + " --types HEIX", dir);
    EXPECT_EQ(bad.status, 2);
    for (const char* ext : {"HEIC", "HEIF", "AVIF", "MP4", "M4V", "MOV", "3GP", "3G2", "CR3", "WEBP"})
        EXPECT_NE(bad.err.find(ext), std::string::npos) << ext;
    EXPECT_NE(Cli("recover --help", dir).out.find("HEIC,MP4"), std::string::npos);
}

TEST_F(CliTest, ScanPrintsJsonLinesAndRefusesARangeBeyondTheCard) {
    lumivore::testkit::TSampleCardOptions options;
    options.SizeBytes = 8ull << 20;
    options.LargePhotos = false;
    lumivore::testkit::TSampleCard card;
    ASSERT_TRUE(lumivore::testkit::WriteSampleCard(dir / "card.img", options, card));

    const TRun json = Cli("scan --quiet --json " + dir / "card.img", dir);
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_GE(Lines(json.out), static_cast<int>(card.Files.size()));
    const std::string first = "{\"StartSector\":" + std::to_string(card.Files[0].StartSector) + ",\"Ext\":\"" + card.Files[0].Ext + "\"";
    EXPECT_EQ(json.out.rfind(first, 0), 0u) << json.out.substr(0, 200);
    EXPECT_NE(json.out.find("\"ThumbBitsPerSample\":"), std::string::npos);
    // A photo of the general table is in no row of the phone and video table.
    EXPECT_NE(json.out.find("\"MakerIndex\":255,\"PhoneIndex\":255,"), std::string::npos);

    const TRun table = Cli("scan --quiet " + dir / "card.img", dir);
    EXPECT_EQ(table.status, 0);
    EXPECT_NE(table.out.find("Canon EOS 80D"), std::string::npos);
    EXPECT_NE(table.out.find("JPEG"), std::string::npos) << "counts per type";

    const TRun beyond = Cli("scan --quiet --start-mb 8 --end-mb 20 " + dir / "card.img", dir);
    EXPECT_EQ(beyond.status, 1);
    EXPECT_NE(beyond.err.find("Scan range cannot beyond drive size."), std::string::npos) << beyond.err;

    // Only the first megabyte: the files that start there.
    const TRun part = Cli("scan --quiet --json --end-mb 1 " + dir / "card.img", dir);
    EXPECT_EQ(part.status, 0);
    EXPECT_LT(Lines(part.out), Lines(json.out));
}

TEST_F(CliTest, ThumbsWritesAThumbnailForEveryPictureOnTheCard) {
    lumivore::testkit::TSampleCardOptions options;
    options.SizeBytes = 16ull << 20;
    options.LargePhotos = false;
    lumivore::testkit::TSampleCard card;
    ASSERT_TRUE(lumivore::testkit::WriteSampleCard(dir / "card.img", options, card));
    const TRun r =
        Cli("thumbs --quiet " + dir / "card.img" + " --to " + dir / "thumbs --sheet " + dir / "sheet.png", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    int pictures = 0;
    for (const auto& f : card.Files) {
        if (f.Ext == "WAV" || f.Ext == "AVI" || f.Ext == "RM" || f.Ext == "X3F")
            continue; // no picture, or a header without one
        ++pictures;
        char name[32];
        std::snprintf(name, sizeof name, "f%010llu.png", static_cast<unsigned long long>(f.StartSector));
        EXPECT_TRUE(std::filesystem::exists(dir / ("thumbs/" + std::string(name)))) << f.Description;
    }
    EXPECT_GT(pictures, 10);
    const auto sheet = lumivore::testkit::ReadFile(dir / "sheet.png");
    ASSERT_GT(sheet.size(), 8u);
    EXPECT_EQ(sheet[1], 'P');
}

namespace {

// An 8 MiB sample card with small pictures, written into dir as card.img.
void SmallCard(const lumivore::testkit::TTempDir& dir) {
    lumivore::testkit::TSampleCardOptions options;
    options.SizeBytes = 8ull << 20;
    options.LargePhotos = false;
    lumivore::testkit::TSampleCard card;
    ASSERT_TRUE(lumivore::testkit::WriteSampleCard(dir / "card.img", options, card));
}

} // namespace

TEST_F(CliTest, ThumbsNeverWritesOntoTheCardNorThroughAPlantedSymlink) {
    SmallCard(dir);
    const auto before = lumivore::testkit::ReadFile(dir / "card.img");
    std::filesystem::create_symlink(dir / "card.img", dir / "link.png");
    for (const std::string& sheet : {dir / "card.img", dir / "link.png"}) {
        const TRun r = Cli("thumbs --quiet " + dir / "card.img" + " --to " + dir / "thumbs --sheet " + sheet, dir);
        EXPECT_EQ(r.status, 1) << sheet;
        EXPECT_NE(r.err.find("is the device being examined"), std::string::npos) << r.err;
        EXPECT_EQ(Lines(r.err), 1) << r.err;
    }
    EXPECT_TRUE(lumivore::testkit::ReadFile(dir / "card.img") == before) << "the card was written to";
    EXPECT_FALSE(std::filesystem::exists(dir / "thumbs")) << "refused before anything was created";

    // A link planted under a thumbnail's name, and an existing sheet, are left as they are.
    const std::vector<std::uint8_t> keep{'k', 'e', 'e', 'p'};
    ASSERT_TRUE(lumivore::testkit::WriteFile(dir / "victim", keep));
    ASSERT_TRUE(lumivore::testkit::WriteFile(dir / "sheet.png", keep));
    const TRun first = Cli("thumbs --quiet " + dir / "card.img" + " --to " + dir / "first", dir);
    ASSERT_EQ(first.status, 0) << first.err;
    const std::string name = std::filesystem::path(first.out.substr(0, first.out.find("  "))).stem().string();
    std::filesystem::create_directory(dir / "thumbs");
    std::filesystem::create_symlink(dir / "victim", dir / ("thumbs/" + name + ".png"));
    const TRun r =
        Cli("thumbs --quiet " + dir / "card.img" + " --to " + dir / "thumbs --sheet " + dir / "sheet.png", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lumivore::testkit::ReadFile(dir / "victim"), keep);
    EXPECT_EQ(lumivore::testkit::ReadFile(dir / "sheet.png"), keep);
    EXPECT_TRUE(std::filesystem::exists(dir / ("thumbs/" + name + "-1.png"))) << r.out;
    EXPECT_TRUE(std::filesystem::exists(dir / "sheet-1.png"));
    EXPECT_NE(r.out.find("contact sheet written as"), std::string::npos) << r.out;
    EXPECT_TRUE(lumivore::testkit::ReadFile(dir / "card.img") == before);
}

namespace {

// Width and height from a PNG file's header; 0 x 0 when it is no PNG.
std::pair<std::uint32_t, std::uint32_t> PngSize(const std::string& path) {
    const auto b = lumivore::testkit::ReadFile(path);
    if (b.size() < 24 || b[1] != 'P' || b[2] != 'N' || b[3] != 'G')
        return {0, 0};
    auto be32 = [&](std::size_t o) {
        return std::uint32_t{b[o]} << 24 | std::uint32_t{b[o + 1]} << 16 | std::uint32_t{b[o + 2]} << 8 | b[o + 3];
    };
    return {be32(16), be32(20)};
}

} // namespace

// More pictures than one bitmap can show (about 5,850) come on a sheet of pages of 1,000.
TEST_F(CliTest, AContactSheetOfTenThousandPicturesComesInPages) {
    lumivore::testkit::TDiskImage image(10'200);
    const auto bmp = lumivore::testkit::EncodeBmp(lumivore::testkit::TRgbImage::Pattern(4, 4), 24);
    for (std::uint64_t s = 100; s < 10'100; ++s)
        image.Place(s, bmp);
    ASSERT_TRUE(image.Write(dir / "card.img"));
    const TRun r =
        Cli("thumbs --quiet " + dir / "card.img" + " --to " + dir / "thumbs --sheet " + dir / "sheet.png", dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    EXPECT_NE(r.out.find("10000 thumbnail(s) of 10000 found file(s)"), std::string::npos);
    EXPECT_NE(r.out.find("contact sheet in 10 pages"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "sheet.png"));
    for (int page = 1; page <= 10; ++page) {
        const std::string name = dir / ("sheet-" + std::to_string(page) + ".png");
        EXPECT_EQ(PngSize(name), (std::pair<std::uint32_t, std::uint32_t>{1016, 11206})) << name;
        EXPECT_NE(r.out.find(name + "\n"), std::string::npos) << name;
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "sheet-11.png"));
}

TEST_F(CliTest, AScanLeavesAnEmptyHomeEmpty) {
    SmallCard(dir);
    lumivore::testkit::TTempDir home;
    const std::string config = std::getenv("LUMIVORE_CONFIG");
    unsetenv("LUMIVORE_CONFIG");
    setenv("HOME", home.Path().c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");
    const TRun r = Cli("scan --quiet " + dir / "card.img", dir);
    setenv("LUMIVORE_CONFIG", config.c_str(), 1);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(home.Path()));
}

// Under sudo what is written belongs to the user in the user's folders, and stays root's in a
// folder only root may write (where a user allowed just this command must not gain a file).
TEST_F(CliTest, UnderSudoRecoveredFilesAndThumbnailsBelongToTheInvokingUserInTheirFolders) {
    if (geteuid() != 0)
        GTEST_SKIP() << "changing owners needs root";
    SmallCard(dir);
    namespace fs = std::filesystem;
    fs::permissions(dir.Path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::create_directories(dir / "out");
    ASSERT_EQ(::chown((dir / "out").c_str(), 4321, 4321), 0); // the user's own folder
    fs::create_directories(dir / "etc");                      // root's, as /etc is
    setenv("SUDO_UID", "4321", 1);
    setenv("SUDO_GID", "4322", 1);
    const TRun rec = Cli("recover --quiet " + dir / "card.img" + " --to " + dir / "out/recovered", dir);
    const TRun th = Cli("thumbs --quiet " + dir / "card.img" + " --to " + dir / "out/thumbs", dir);
    const TRun rooted = Cli("thumbs --quiet " + dir / "card.img" + " --to " + dir / "etc/thumbs --sheet " +
                                dir / "etc/sheet.png",
                            dir);
    const TRun recRooted =
        Cli("recover --quiet " + dir / "card.img" + " --to " + dir / "etc/new/recovered", dir);
    unsetenv("SUDO_UID");
    unsetenv("SUDO_GID");
    ASSERT_EQ(rec.status, 0) << rec.err;
    ASSERT_EQ(th.status, 0) << th.err;
    ASSERT_EQ(rooted.status, 0) << rooted.err;
    ASSERT_EQ(recRooted.status, 0) << recRooted.err;
    auto owners = [](const fs::path& folder, std::uint32_t uid, std::uint32_t gid) {
        int files = 0;
        for (const auto& e : fs::recursive_directory_iterator(folder)) {
            struct stat st {};
            EXPECT_EQ(::lstat(e.path().c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, uid) << e.path();
            EXPECT_EQ(st.st_gid, gid) << e.path();
            ++files;
        }
        return files;
    };
    EXPECT_GT(owners(dir / "out", 4321, 4322), 20);
    EXPECT_TRUE(fs::exists(dir / "out/recovered/recovery-report.csv"));
    EXPECT_GT(owners(dir / "etc", 0, 0), 20);
    EXPECT_TRUE(fs::exists(dir / "etc/sheet.png"));
    EXPECT_TRUE(fs::exists(dir / "etc/new/recovered/recovery-report.csv"));
}

TEST_F(CliTest, ARangeBeyondTwoTebibytesIsScannedAtItsOwnSectors) {
    // A sparse 3 TiB image with a photo at sector 2^32 + 4096 (megabyte 2,097,154).
    const std::string image = dir / "3tib.img";
    const std::uint64_t sector = (std::uint64_t{1} << 32) + 4096;
    const auto photo = lumivore::testkit::TJpegBuilder().Jfif().FakeScan(50000).Build();
    const int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    const bool sized = ::ftruncate(fd, static_cast<off_t>(std::uint64_t{3} << 40)) == 0;
    const bool planted = sized && ::pwrite(fd, photo.data(), photo.size(), static_cast<off_t>(sector * 512)) ==
                                      static_cast<ssize_t>(photo.size());
    ::close(fd);
    if (!sized)
        GTEST_SKIP() << "this file system cannot hold a sparse 3 TiB file";
    ASSERT_TRUE(planted);
    const TRun r = Cli("scan --quiet --json --start-mb 2097153 --end-mb 2097156 " + image, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out), 1) << r.out;
    EXPECT_EQ(r.out.rfind("{\"StartSector\":" + std::to_string(sector) + ",", 0), 0u) << r.out;
    // Megabytes past the old limit of 1,048,575 and up to the device's end are accepted.
    const TRun last = Cli("scan --quiet --json --start-mb 3145727 --end-mb 3145728 " + image, dir);
    EXPECT_EQ(last.status, 0) << last.err;
    const TRun past = Cli("scan --quiet --start-mb 3145728 --end-mb 4000000 " + image, dir);
    EXPECT_EQ(past.status, 1);
    EXPECT_NE(past.err.find("Scan range cannot beyond drive size."), std::string::npos) << past.err;
}
