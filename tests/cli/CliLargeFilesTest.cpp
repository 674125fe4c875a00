// Lengths beyond 32 bits as the command line prints them: a long OpenDML video in a sparse image.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "cli/CliRun.h"
#include "testkit/LargeFiles.h"
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
