// lumivore-cli and files found inside other found files: marked in the JSON lines, left out of
// recover and thumbs unless --nested asks for them.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>

#include "testkit/ImageBuilder.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TempFiles.h"
#include "testkit/TiffBuilder.h"

namespace {

namespace fs = std::filesystem;
using lumivore::testkit::TByteVector;

std::string CliOut(const std::string& args, int& status) {
    const std::string cmd = std::string(LUMIVORE_BINARY_DIR) + "/lumivore-cli " + args + " 2>/dev/null";
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    const int st = pclose(p);
    status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

} // namespace

TEST(CliNested, EmbeddedPreviewIsMarkedAndWrittenOnlyWhenAsked) {
    lumivore::testkit::TTempDir dir;
    setenv("LUMIVORE_CONFIG", (dir / "settings.xml").c_str(), 1);
    // A raw file whose preview starts on its third sector.
    lumivore::testkit::TTiffBuilder b;
    const auto ifd0 = b.AddDirectory();
    b.Ascii(ifd0, 0x010F, "NIKON CORPORATION");
    b.PadTo(1024);
    const auto jpeg = b.AddData(lumivore::testkit::EncodeJpeg(lumivore::testkit::TRgbImage::Pattern(64, 48, 1)));
    b.Pointer(ifd0, 0x0201, jpeg);
    b.Sizes(ifd0, 0x0202, {jpeg});
    lumivore::testkit::TDiskImage image(4000);
    image.Place(100, b.Build());
    ASSERT_TRUE(image.Write(dir / "card.img"));

    int status = -1;
    const std::string json = CliOut("scan --quiet --json " + dir / "card.img", status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(json.find("\"StartSector\":100,"), std::string::npos) << json;
    EXPECT_NE(json.find("\"NestedIn\":-1}"), std::string::npos) << json;
    EXPECT_NE(json.find("\"NestedIn\":100}"), std::string::npos) << json;

    CliOut("recover --quiet " + dir / "card.img" + " --to " + dir / "plain", status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fs::exists(dir / "plain/f0000000100.nef"));
    EXPECT_FALSE(fs::exists(dir / "plain/f0000000102.jpg"));
    CliOut("recover --quiet --nested " + dir / "card.img" + " --to " + dir / "all", status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fs::exists(dir / "all/f0000000102.jpg"));
    CliOut("recover --quiet --nested " + dir / "card.img" + " --to " + dir / "jpg --types JPG", status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fs::exists(dir / "jpg/f0000000102.jpg"));
    CliOut("recover --quiet " + dir / "card.img" + " --to " + dir / "jpgonly --types JPG", status);
    EXPECT_FALSE(fs::exists(dir / "jpgonly/f0000000102.jpg"));

    const std::string thumbs = CliOut("thumbs --quiet " + dir / "card.img" + " --to " + dir / "thumbs", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(thumbs.find(".jpg"), std::string::npos) << thumbs;
    EXPECT_EQ(thumbs.find("JPG"), std::string::npos) << thumbs;
}
