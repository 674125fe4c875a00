// The media libraries (libheif, libwebp, libav) come with a module that lumivore-cli loads only
// when it decodes a phone picture: a scan, or asking the version, never maps them, and without
// the module the phone pictures go without thumbnails while everything else works.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>

#include "cli/CliRun.h"
#include "testkit/EncodedMedia.h"
#include "testkit/ImageBuilder.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TempFiles.h"

namespace {

using lumivore::testing::Cli;
using lumivore::testing::TRun;
namespace tk = lumivore::testkit;

constexpr std::uint64_t kJpegSector = 100;
constexpr std::uint64_t kWebpSector = 300;

class CliMediaModule : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LUMIVORE_CONFIG", (dir / "settings.xml").c_str(), 1);
        const tk::TByteVector webp = tk::EncodeWebp(40, 30, {20, 90, 200});
        ASSERT_FALSE(webp.empty());
        tk::TDiskImage image(600);
        image.Place(kJpegSector, tk::EncodeJpeg(tk::TRgbImage::Pattern(64, 48)));
        image.Place(kWebpSector, webp);
        ASSERT_TRUE(image.Write(dir / "card.img"));
    }

    std::string Thumb(const std::string& folder, std::uint64_t sector) const {
        char name[32];
        std::snprintf(name, sizeof name, "/f%010llu.png", static_cast<unsigned long long>(sector));
        return dir / (folder + name);
    }

    tk::TTempDir dir;
};

// The dynamic loader names on stderr every shared object it maps, at start and later.
const char* const kTraceLoads = "LD_DEBUG=files";

} // namespace

TEST_F(CliMediaModule, AScanOrTheVersionNeverMapsTheMediaLibraries) {
    for (const std::string& args : {std::string("--version"), "scan --quiet --json " + dir / "card.img"}) {
        SCOPED_TRACE(args);
        const TRun r = Cli(args, dir, kTraceLoads);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_NE(r.err.find("libc.so"), std::string::npos) << "the loader traced nothing: " << r.err;
        // (libwebp is not among them: libtiff needs it.)
        for (const char* library : {"libavcodec", "libavformat", "libswscale", "libheif", "lumivore-media"})
            EXPECT_EQ(r.err.find(library), std::string::npos) << library;
    }
    // The scan still finds the WebP it did not decode.
    const TRun scan = Cli("scan --quiet --json " + dir / "card.img", dir);
    EXPECT_NE(scan.out.find("\"StartSector\":" + std::to_string(kWebpSector)), std::string::npos) << scan.out;
}

TEST_F(CliMediaModule, AThumbnailOfAPhonePictureLoadsTheModuleWhenFirstNeeded) {
    const TRun r = Cli("thumbs --quiet " + dir / "card.img" + " --to " + dir / "thumbs", dir, kTraceLoads);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("lumivore-media.so"), std::string::npos);
    EXPECT_NE(r.err.find("libavcodec"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(Thumb("thumbs", kJpegSector)));
    EXPECT_TRUE(std::filesystem::exists(Thumb("thumbs", kWebpSector)));
}

namespace {

// Runs the copy of lumivore-cli in dir/alone/bin: thumbs of the card into dir/<folder>.
int RunAlone(const tk::TTempDir& dir, const std::string& folder, std::string& err) {
    const std::string cmd = dir / "alone/bin/lumivore-cli" + " thumbs --quiet " + dir / "card.img" + " --to " +
                            dir / folder + " >" + dir / "out.txt" + " 2>" + dir / "err.txt";
    const int status = std::system(cmd.c_str());
    const auto bytes = tk::ReadFile(dir / "err.txt");
    err.assign(bytes.begin(), bytes.end());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST_F(CliMediaModule, WithoutTheModuleOnlyThePhonePicturesLackThumbnailsAndThatIsSaid) {
    // The program alone in a folder of its own, with no module beside it nor installed near it.
    std::filesystem::create_directories(dir / "alone/bin");
    std::filesystem::copy_file(std::string(LUMIVORE_BINARY_DIR) + "/lumivore-cli", dir / "alone/bin/lumivore-cli");
    // A second phone picture: the missing module is still said once.
    tk::TDiskImage image(600);
    image.Place(kJpegSector, tk::EncodeJpeg(tk::TRgbImage::Pattern(64, 48)));
    image.Place(kWebpSector, tk::EncodeWebp(40, 30, {20, 90, 200}));
    image.Place(kWebpSector + 100, tk::EncodeWebp(20, 10, {200, 90, 20}));
    ASSERT_TRUE(image.Write(dir / "card.img"));
    std::string err;
    EXPECT_EQ(RunAlone(dir, "without", err), 3) << err;
    const std::string said = "the media decoders (lumivore-media.so) cannot be loaded";
    ASSERT_NE(err.find(said), std::string::npos) << err;
    EXPECT_EQ(err.find(said, err.find(said) + 1), std::string::npos) << err;
    EXPECT_NE(err.find("lumivore-cli: finished, but 2 file(s) got no thumbnail (the media decoders are missing)"),
              std::string::npos)
        << err;
    const auto out = tk::ReadFile(dir / "out.txt");
    EXPECT_NE(std::string(out.begin(), out.end()).find("2 phone or video file(s) without a thumbnail"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(Thumb("without", kJpegSector)));
    EXPECT_FALSE(std::filesystem::exists(Thumb("without", kWebpSector)));

    // Moved together as an installation is (dpkg -x), the program finds the module in the
    // library folder relative to its own.
    const std::string installed = dir / ("alone/bin/" LUMIVORE_INSTALLED_MODULE_DIR);
    std::filesystem::create_directories(installed);
    std::filesystem::copy_file(std::string(LUMIVORE_BINARY_DIR) + "/lumivore-media.so", installed + "/lumivore-media.so");
    EXPECT_EQ(RunAlone(dir, "installed", err), 0) << err;
    EXPECT_TRUE(err.empty()) << err;
    EXPECT_TRUE(std::filesystem::exists(Thumb("installed", kJpegSector)));
    EXPECT_TRUE(std::filesystem::exists(Thumb("installed", kWebpSector)));
}

// Without --types every file of every table is recovered, a phone's picture as much as a
// camera's photo, whether the files are written during the scan or after it.
TEST_F(CliMediaModule, RecoverWithoutTypesBringsBackPhoneFilesInOnePassAndInTwoSteps) {
    const tk::TByteVector webp = tk::EncodeWebp(40, 30, {20, 90, 200});
    for (const std::string& mode : {std::string(""), std::string(" --two-pass")}) {
        SCOPED_TRACE(mode.empty() ? "one pass" : "two steps");
        const std::string out = dir / (mode.empty() ? "one" : "two");
        const TRun r = Cli("recover --quiet " + dir / "card.img" + " --to " + out + mode, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        std::size_t webps = 0, jpegs = 0;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(out)) {
            const std::string ext = entry.path().extension().string();
            if (ext == ".webp") {
                ++webps;
                EXPECT_EQ(tk::ReadFile(entry.path().string()), webp);
            }
            jpegs += ext == ".jpg";
        }
        std::string listing;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(out))
            listing += entry.path().string() + "\n";
        EXPECT_EQ(webps, 1u) << listing << r.out;
        EXPECT_EQ(jpegs, 1u);
    }
}
