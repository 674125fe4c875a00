// lumivore-cli as a user meets it: exit statuses, one-line reasons, JSON lines.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/wait.h>

#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"

namespace {

struct TRun {
    int status = -1;
    std::string out, err;
};

// Runs lumivore-cli with the arguments through the shell, capturing both streams.
TRun Cli(const std::string& args, const lumivore::testkit::TTempDir& dir) {
    const std::string errFile = dir / "stderr.txt";
    const std::string cmd = std::string(LUMIVORE_BINARY_DIR) + "/lumivore-cli " + args + " 2>" + errFile;
    TRun r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return r;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    const auto bytes = lumivore::testkit::ReadFile(errFile);
    r.err.assign(bytes.begin(), bytes.end());
    return r;
}

int Lines(const std::string& s) {
    int n = 0;
    for (char c : s)
        n += c == '\n';
    return n;
}

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
    const TRun r = Cli("thumbs --quiet " + dir / "card.img" + " --to " + dir / "thumbs --sheet " + dir / "sheet.png", dir);
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
