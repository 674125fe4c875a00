// Lengths beyond 32 bits as the command line prints them (a long OpenDML video in a sparse
// image), and recover in one pass against scan-then-recover.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <vector>
#include <string>

#include "cli/CliRun.h"
#include "testkit/LargeFiles.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"

namespace {

using lumivore::testing::Cli;
using lumivore::testing::TRun;

TEST(CliLargeFiles, AVideoLongerThan4GiBShowsItsWholeLengthInJsonAndTable) {
    lumivore::testkit::TTempDir dir;
    setenv("LUMIVORE_CONFIG", (dir / "settings.xml").c_str(), 1);
    // 4,000,000,008 + 1,000,000,008 bytes: the second chunk lies far past the megabyte scanned.
    const auto pieces = lumivore::testkit::OpenDmlAvi(4'000'000'000u, {1'000'000'000u});
    const std::uint64_t length = lumivore::testkit::OpenDmlAviLength(4'000'000'000u, {1'000'000'000u});
    ASSERT_EQ(length, 5'000'000'016u);
    if (!lumivore::testkit::CreateSparseFile(dir / "video.img", length + (1 << 20), pieces))
        GTEST_SKIP() << "this file system cannot hold a sparse image";

    const TRun json = Cli("scan --quiet --json --end-mb 1 " + dir / "video.img", dir);
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"Ext\":\"AVI\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"Length\":5000000016,"), std::string::npos) << json.out;

    const TRun table = Cli("scan --quiet --end-mb 1 " + dir / "video.img", dir);
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_NE(table.out.find(" 5000000016 "), std::string::npos) << table.out;
}

} // namespace

namespace {

std::vector<std::uint8_t> Bytes(const std::string& path) { return lumivore::testkit::ReadFile(path); }

TEST(CliOnePass, RecoverInOnePassWritesWhatScanThenRecoverWritesAndLeavesTheSourceAlone) {
    lumivore::testkit::TTempDir dir;
    setenv("LUMIVORE_CONFIG", (dir / "settings.xml").c_str(), 1);
    lumivore::testkit::TSampleCardOptions options;
    options.SizeBytes = 16ull << 20;
    options.LargePhotos = false;
    lumivore::testkit::TSampleCard card;
    ASSERT_TRUE(lumivore::testkit::WriteSampleCard(dir / "card.img", options, card));
    const auto source = Bytes(dir / "card.img");

    const TRun one = Cli("recover --quiet " + dir / "card.img" + " --to " + dir / "one --types JPG,CR2,WAV", dir);
    ASSERT_EQ(one.status, 0) << one.err;
    const TRun two = Cli("recover --quiet --two-pass " + dir / "card.img" + " --to " + dir / "two --types JPG,CR2,WAV", dir);
    ASSERT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(one.out.substr(0, one.out.find(';')), two.out.substr(0, two.out.find(';')));

    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir / "two"))
        names.insert(e.path().filename().string());
    std::set<std::string> oneNames;
    for (const auto& e : std::filesystem::directory_iterator(dir / "one"))
        oneNames.insert(e.path().filename().string());
    EXPECT_EQ(oneNames, names);
    EXPECT_GT(names.size(), 5u);
    for (const std::string& name : names)
        EXPECT_EQ(Bytes(dir / ("one/" + name)), Bytes(dir / ("two/" + name))) << name;
    EXPECT_EQ(Bytes(dir / "card.img"), source);
}

} // namespace
