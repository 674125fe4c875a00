// The report of a recovery: its entries in order of start sector however they were handled,
// and written a block at a time, the same bytes as a line at a time.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "engine/RecoveryRun.h"
#include "support/OutputDir.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
using detail::SortByStartSector;
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

TEST(RecoveryReportOrder, EntriesGoInOrderOfStartSectorKeepingTheOrderOfEqualOnes) {
    std::mt19937 random(7);
    for (const std::size_t count : {0u, 1u, 2u, 17u, 3000u}) {
        std::deque<TRecoveryEntry> entries;
        // Few distinct start sectors: many entries share one (a file taken back and written
        // again, a nested file at its holder's start), and their order must hold.
        for (std::size_t i = 0; i < count; ++i)
            entries.push_back(Entry(static_cast<std::int64_t>(random() % (count / 4 + 1)), static_cast<int>(i)));
        std::deque<TRecoveryEntry> expected = entries;
        std::stable_sort(expected.begin(), expected.end(), [](const TRecoveryEntry& a, const TRecoveryEntry& b) {
            return a.StartSector < b.StartSector;
        });
        SortByStartSector(entries);
        ASSERT_EQ(entries.size(), expected.size());
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(entries[i].Name, expected[i].Name) << count << " entries, place " << i;
            EXPECT_EQ(entries[i].StartSector, expected[i].StartSector);
        }
    }
    // Already in order, and in reverse order: a cycle of every entry.
    std::deque<TRecoveryEntry> entries;
    for (int i = 0; i < 1000; ++i)
        entries.push_back(Entry(1000 - i, i));
    SortByStartSector(entries);
    for (int i = 0; i < 1000; ++i)
        EXPECT_EQ(entries[static_cast<std::size_t>(i)].StartSector, i + 1);
    SortByStartSector(entries);
    EXPECT_EQ(entries.front().Name, "f999.jpg");
    EXPECT_EQ(entries.back().Name, "f0.jpg");
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
