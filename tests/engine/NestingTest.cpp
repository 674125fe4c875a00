// Found files inside other found files: marked after a scan, left out of recovery by type
// unless asked, and named in the report with the file that holds them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "engine/EngineOnCard.h"
#include "engine/FileTypes.h"
#include "engine/Nesting.h"
#include "testkit/PhotoBuilder.h"
#include "testkit/TiffBuilder.h"

using namespace lumivore;
using lumivore::testkit::TByteVector;

namespace {

TFoundFile Record(std::int64_t sector, std::int32_t length, const char* ext = "JPG") {
    TFoundFile f;
    f.StartSector = sector;
    f.Length = length;
    f.Ext = ext;
    return f;
}

} // namespace

TEST(MarkNestedFiles, InsideAKnownExtentOnlyWhereTheOwnEndAllows) {
    std::vector<TFoundFile> files = {
        Record(100, 10 * 512, "NEF"),   // sectors 100..109
        Record(103, 512),               // inside
        Record(105, -1),                // inside, length unknown
        Record(108, 4 * 512),           // starts inside, ends past 110: not nested
        Record(110, 3 * 512),           // starts at the first one's end, ends past the second's
        Record(200, -1, "X3F"),         // unknown extent holds nothing
        Record(201, 100),
        Record(300, 15728640, "CRW"),   // a fixed allowance, not a measure: holds nothing
        Record(301, 100),
    };
    // The list is not in start order (a preview window sorts it): the marking does not care.
    std::swap(files[0], files[3]);
    MarkNestedFiles(files);
    auto nestedIn = [&](std::int64_t sector) {
        for (const TFoundFile& f : files)
            if (f.StartSector == sector)
                return f.NestedIn;
        return std::int64_t{-2};
    };
    EXPECT_EQ(nestedIn(100), -1);
    EXPECT_EQ(nestedIn(103), 100);
    EXPECT_EQ(nestedIn(105), 100);
    EXPECT_EQ(nestedIn(108), -1);
    EXPECT_EQ(nestedIn(110), -1);
    EXPECT_EQ(nestedIn(201), -1);
    EXPECT_EQ(nestedIn(301), -1);
    EXPECT_EQ(files[0].StartSector, 108); // not reordered

    // A file inside one that is itself inside another: held by the outer one, which reaches
    // furthest; marking again gives the same.
    std::vector<TFoundFile> deep = {Record(0, 100 * 512), Record(10, 20 * 512), Record(12, 512)};
    MarkNestedFiles(deep);
    MarkNestedFiles(deep);
    EXPECT_EQ(deep[1].NestedIn, 0);
    EXPECT_EQ(deep[2].NestedIn, 0);
}

TEST(MarkNestedFiles, ManyRecordsInLinearithmicTime) {
    // 200,000 records of which every other one lies inside its predecessor: a quadratic
    // marking would take minutes here.
    std::vector<TFoundFile> files;
    for (std::int64_t i = 0; i < 100000; ++i) {
        files.push_back(Record(i * 10, 8 * 512));
        files.push_back(Record(i * 10 + 2, 512));
    }
    std::shuffle(files.begin(), files.end(), std::mt19937(5));
    MarkNestedFiles(files);
    std::size_t nested = 0;
    for (const TFoundFile& f : files)
        nested += f.Nested() ? 1 : 0;
    EXPECT_EQ(nested, 100000u);
}

class Nesting : public lumivore::testing::EngineOnCard {};

TEST_F(Nesting, AScanMarksEmbeddedFilesAndRecoveryByTypeLeavesThemOut) {
    // A raw file whose embedded preview JPEG starts on a sector of its own.
    const TByteVector preview = testkit::TJpegBuilder().Jfif().FakeScan(3000).Build();
    testkit::TTiffBuilder b;
    const auto ifd0 = b.AddDirectory();
    b.Ascii(ifd0, 0x010F, "NIKON CORPORATION");
    b.PadTo(1024);
    const auto jpeg = b.AddData(preview);
    b.Pointer(ifd0, 0x0201, jpeg);
    b.Sizes(ifd0, 0x0202, {jpeg});
    b.AddData(TByteVector(20000, 0));
    const TByteVector raw = b.Build();
    ASSERT_EQ(b.Position(jpeg), 1024u);
    Place(100, raw);
    // A lone JPEG elsewhere, and a longer file that starts inside a shorter one.
    const TByteVector lone = testkit::TJpegBuilder().Jfif().FakeScan(2000).Build();
    Place(400, lone);
    const TByteVector shortOne = testkit::TJpegBuilder().Jfif().FakeScan(3000).Build(); // from sector 600
    const TByteVector bitmap = testkit::EncodeBmp(testkit::TRgbImage::Pattern(100, 60), 24);
    TByteVector overlap = shortOne;
    std::copy(bitmap.begin(), bitmap.begin() + 54, overlap.begin() + 1024); // its header at sector 602
    ASSERT_GT(1024 + bitmap.size(), shortOne.size());
    Place(600, overlap);
    OpenAndScan();

    const TFoundFile* nef = At(100);
    const TFoundFile* inner = At(102);
    const TFoundFile* starting = At(602);
    ASSERT_NE(starting, nullptr);
    EXPECT_EQ(starting->Ext, "BMP");
    ASSERT_NE(nef, nullptr);
    ASSERT_NE(inner, nullptr);
    ASSERT_NE(starting, nullptr);
    ASSERT_NE(At(600), nullptr);
    EXPECT_EQ(nef->Ext, "NEF");
    EXPECT_FALSE(nef->Nested());
    EXPECT_EQ(inner->NestedIn, 100);
    EXPECT_FALSE(At(400)->Nested());
    EXPECT_FALSE(starting->Nested()) << "a longer file starting inside a shorter one is its own";

    // By type: the nested preview is left out.
    TRecoveryResult r = Recover(TRecoverySelection::AllTypes());
    ASSERT_TRUE(r.Started) << r.Message;
    for (const TRecoveryEntry& e : r.Files)
        EXPECT_NE(e.File.StartSector, 102);
    EXPECT_EQ(r.Recovered, 4);

    // Asked for: written, and the report names the file that holds it.
    std::filesystem::remove_all(Out());
    TRecoverySelection all = TRecoverySelection::AllTypes();
    all.IncludeNested = true;
    r = Recover(all);
    ASSERT_EQ(r.Recovered, 5);
    const auto it = std::find_if(r.Files.begin(), r.Files.end(),
                                 [](const TRecoveryEntry& e) { return e.File.StartSector == 102; });
    ASSERT_NE(it, r.Files.end());
    EXPECT_EQ(it->Enclosing, "f0000000100.nef");
    EXPECT_EQ(Written(it->Name), preview);
    std::ifstream report(r.ReportPath);
    const std::string csv((std::istreambuf_iterator<char>(report)), std::istreambuf_iterator<char>());
    EXPECT_NE(csv.find(",f0000000100.nef,"), std::string::npos) << csv;

    // Chosen one by one, a nested file is written like any other.
    std::filesystem::remove_all(Out());
    const std::size_t index = static_cast<std::size_t>(inner - engine_->FoundFiles.data());
    r = Recover(TRecoverySelection::Files({index}));
    EXPECT_EQ(r.Recovered, 1);
}
