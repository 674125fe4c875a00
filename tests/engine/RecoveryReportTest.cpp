// The report of a recovery: each entry with its own record, written a block at a time, the same
// bytes as a line at a time.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/RecoveryRun.h"
#include "support/OutputDir.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
using detail::WriteReport;

namespace {

namespace fs = std::filesystem;

TRecoveryEntry Entry(std::int64_t start, int place) {
    TRecoveryEntry e;
    e.StartSector = start;
    e.Name = "f" + std::to_string(place) + ".jpg";
    e.Status = TRecoveryStatus::Recovered;
    return e;
}

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// An entry names its record by place and start sector; the scan may move records after the
// entry was made (the files of re-read failing areas go to the list's end), and the entry must
// still give its own file's record, never the one now at its old place.
TEST(RecoveryReport, AnEntryFindsItsOwnRecordWhereverTheListMovedIt) {
    TFoundFileList records(4);
    for (std::size_t i = 0; i < records.size(); ++i) {
        records[i].StartSector = static_cast<std::int64_t>(100 * (i + 1));
        records[i].Ext = i == 2 ? "CR2" : "JPG";
    }
    TRecoveryResult result;
    TRecoveryEntry e = Entry(300, 0);
    e.Index = 2;
    EXPECT_EQ(result.FileOf(e).StartSector, -1); // no list: no record
    result.Records = &records;
    EXPECT_EQ(&result.FileOf(e), &records[2]);
    std::rotate(records.begin(), records.begin() + 3, records.end()); // 400 100 200 300
    EXPECT_EQ(result.FileOf(e).StartSector, 300);
    EXPECT_EQ(result.FileOf(e).Ext, "CR2");
    e.StartSector = 250; // in no record
    EXPECT_EQ(result.FileOf(e).StartSector, -1);
    EXPECT_TRUE(result.FileOf(e).Ext.empty());
}

TEST(RecoveryReport, AReportOfManyBlocksHoldsEveryLineOnceAndWhole) {
    testkit::TTempDir dir;
    TOutputDir dest;
    std::string message;
    ASSERT_TRUE(dest.Open(dir / "out", TExaminedSource{}, message)) << message;
    // Enough files, with texts long and awkward enough (quotes, commas, line breaks, a
    // formula's sign, control bytes), that the report spans several of its blocks and lines
    // straddle their borders.
    TRecoveryResult all;
    TFoundFileList records(900);
    all.Records = &records;
    for (int i = 0; i < 900; ++i) {
        TRecoveryEntry e = Entry(1000 + 64 * i, i);
        e.Index = static_cast<std::size_t>(i);
        e.Detail = std::string(static_cast<std::size_t>(40 + i % 170), 'x') + ", \"quoted\"\nand more";
        TFoundFile& f = records[e.Index];
        f.StartSector = e.StartSector;
        f.Ext = "JPG";
        f.Make = i % 3 == 0 ? "=SUM(A1)" : "Maker \x01 " + std::to_string(i);
        f.Model = "Model, " + std::to_string(i);
        f.Pieces = {{i * 4096, 512}, {i * 8192, 1024}};
        e.Length = 1536;
        all.Files.push_back(e);
    }
    WriteReport(dest, all);
    ASSERT_FALSE(all.ReportPath.empty()) << all.Message;
    const std::string report = Contents(all.ReportPath);
    ASSERT_GT(report.size(), 3u * 64 * 1024);

    // Each entry's own report: the same header and its one line. Together, in order, they
    // must make the long report byte for byte.
    std::string header, lines;
    for (std::size_t i = 0; i < all.Files.size(); ++i) {
        TRecoveryResult one;
        one.Records = &records;
        one.Files.push_back(all.Files[i]);
        TOutputDir alone;
        ASSERT_TRUE(alone.Open(dir / ("one" + std::to_string(i % 2)), TExaminedSource{}, message)) << message;
        WriteReport(alone, one);
        ASSERT_FALSE(one.ReportPath.empty()) << one.Message;
        const std::string text = Contents(one.ReportPath);
        fs::remove(one.ReportPath);
        const std::size_t headerEnd = text.find('\n') + 1;
        if (header.empty())
            header = text.substr(0, headerEnd);
        EXPECT_EQ(text.substr(0, headerEnd), header);
        lines += text.substr(headerEnd);
    }
    EXPECT_EQ(report, header + lines);
}

} // namespace
