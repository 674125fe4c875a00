// lumivore-cli and photos that a used card split into pieces: the JSON lines and the table name
// their pieces and the incomplete ones, and recover writes them whole.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "cli/CliRun.h"
#include "testkit/TempFiles.h"
#include "testkit/UsedCard.h"

namespace lumivore::testing {
namespace {

using testkit::TByteVector;

std::string LineWith(const std::string& text, const std::string& part) {
    const std::size_t at = text.find(part);
    if (at == std::string::npos)
        return "";
    const std::size_t begin = text.rfind('\n', at) == std::string::npos ? 0 : text.rfind('\n', at) + 1;
    return text.substr(begin, text.find('\n', at) - begin);
}

std::string PiecesText(const std::vector<testkit::TCardPiece>& pieces, const char* open, const char* sep,
                       const char* close, const char* between) {
    std::string s;
    for (const testkit::TCardPiece& p : pieces)
        s += (s.empty() ? "" : between) + std::string(open) + std::to_string(p.Offset) + sep + std::to_string(p.Length) +
             close;
    return s;
}

TEST(CliPieces, ScanNamesThePiecesAndRecoverWritesThePhotoWhole) {
    testkit::TTempDir dir;
    setenv("LUMIVORE_CONFIG", (dir / "settings.xml").c_str(), 1);
    testkit::TClusterCard card(24000, 8);
    card.Noise(0, card.Clusters(), 31);
    // A photo in two pieces, a photo whose rest was overwritten, and a whole one.
    const TByteVector split = testkit::GrainyPhoto(320, 240, 41);
    const TByteVector cut = testkit::GrainyPhoto(320, 240, 42);
    const TByteVector whole = testkit::GrainyPhoto(200, 150, 43);
    const std::uint64_t c = card.ClusterBytes();
    const std::uint64_t n = (split.size() + c - 1) / c, m = (cut.size() + c - 1) / c;
    const auto pieces = card.Split(split, {{20, n / 2}, {20 + n / 2 + 40, n}});
    const TByteVector half(cut.begin(), cut.begin() + static_cast<std::ptrdiff_t>(m / 2 * c));
    const auto cutAt = card.Split(half, {{400, m / 2}});
    const auto wholeAt = card.Split(whole, {{900, (whole.size() + c - 1) / c}});
    ASSERT_TRUE(card.Write(dir / "card.img"));

    const TRun json = Cli("scan --quiet --json " + dir / "card.img", dir);
    ASSERT_EQ(json.status, 0) << json.err;
    const std::string splitLine = LineWith(json.out, "\"StartSector\":" + std::to_string(pieces[0].Offset / 512) + ",");
    EXPECT_NE(splitLine.find(",\"Pieces\":[" + PiecesText(pieces, "[", ",", "]", ",") + "]}"), std::string::npos)
        << splitLine;
    EXPECT_EQ(splitLine.find("Incomplete"), std::string::npos) << splitLine;
    const std::string cutLine = LineWith(json.out, "\"StartSector\":" + std::to_string(cutAt[0].Offset / 512) + ",");
    EXPECT_NE(cutLine.find(",\"Pieces\":[[" + std::to_string(cutAt[0].Offset) + "," + std::to_string(half.size()) +
                           "]],\"Incomplete\":true}"),
              std::string::npos)
        << cutLine;
    // A whole photo's line keeps exactly the keys it always had.
    const std::string wholeLine = LineWith(json.out, "\"StartSector\":" + std::to_string(wholeAt[0].Offset / 512) + ",");
    ASSERT_FALSE(wholeLine.empty());
    EXPECT_EQ(wholeLine.find("Pieces"), std::string::npos) << wholeLine;
    EXPECT_NE(wholeLine.find("\"NestedIn\":-1}"), std::string::npos) << wholeLine;

    const TRun table = Cli("scan --quiet " + dir / "card.img", dir);
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_NE(table.out.find("in 2 pieces: " + PiecesText(pieces, "", "+", "", " ") + "\n"), std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("incomplete, stops after " + std::to_string(cutAt[0].Offset) + "+" +
                             std::to_string(half.size()) + "\n"),
              std::string::npos)
        << table.out;
    EXPECT_NE(table.out.find("1 photo(s) put back together from pieces, 1 incomplete\n"), std::string::npos)
        << table.out;

    // Recovered in one pass, the split photo is the photo itself.
    const TRun rec = Cli("recover --quiet " + dir / "card.img" + " --to " + dir / "out", dir);
    ASSERT_EQ(rec.status, 0) << rec.err << rec.out;
    EXPECT_NE(rec.out.find("1 photo(s) put back together from pieces, 1 incomplete"), std::string::npos) << rec.out;
    char name[32];
    std::snprintf(name, sizeof name, "/f%010llu.jpg", static_cast<unsigned long long>(pieces[0].Offset / 512));
    EXPECT_TRUE(testkit::ReadFile(dir / "out" + name) == split);
    const TByteVector report = testkit::ReadFile(dir / "out/recovery-report.csv");
    const std::string csv(report.begin(), report.end());
    EXPECT_NE(csv.find(",reassembled from 2 pieces," + std::to_string(pieces[0].Offset / 512) + ","), std::string::npos)
        << csv;
    EXPECT_NE(csv.find("," + PiecesText(pieces, "", "+", "", " ") + ",,,,,,,\n"), std::string::npos) << csv;
}

} // namespace
} // namespace lumivore::testing
