#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <sys/stat.h>

#include "device/DskLib.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"

using namespace lumivore;

namespace {

std::uint64_t HashOfFile(const std::string& path) {
    const std::vector<std::uint8_t> bytes = testkit::ReadFile(path);
    return testkit::Fnv1a64(bytes.data(), bytes.size());
}

// The whole sample card, scanned and recovered once for the suite.
class RecoverySampleCard : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new testkit::TTempDir;
        setenv("LUMIVORE_CONFIG", (*dir / "settings.xml").c_str(), 1);
        card = new testkit::TSampleCard;
        testkit::TSampleCardOptions options;
        options.SizeBytes = 48ull << 20;
        ASSERT_TRUE(testkit::WriteSampleCard(*dir / "card.img", options, *card));
        imageHashBefore = HashOfFile(*dir / "card.img");
        engine = new TScanEngine;
        const std::uint8_t code = TDeviceCatalogue::Instance().RegisterImage(*dir / "card.img");
        ASSERT_TRUE(engine->OpenDrive(code));
        engine->Scan(0, static_cast<std::uint64_t>(engine->Drive.Info.TotalSectors), nullptr, nullptr, nullptr);
        TRecoveryRequest request;
        request.Destination = *dir / "recovered";
        request.Selection = TRecoverySelection::AllTypes();
        result = new TRecoveryResult(Recover(*engine, request));
    }
    static void TearDownTestSuite() {
        delete result;
        delete engine;
        delete card;
        delete dir;
        TDeviceCatalogue::Instance().Clear();
    }
    static const TRecoveryEntry* EntryAt(std::uint64_t sector) {
        for (const TRecoveryEntry& e : result->Files)
            if (e.StartSector == static_cast<std::int64_t>(sector))
                return &e;
        return nullptr;
    }
    static testkit::TTempDir* dir;
    static testkit::TSampleCard* card;
    static TScanEngine* engine;
    static TRecoveryResult* result;
    static std::uint64_t imageHashBefore;
};
testkit::TTempDir* RecoverySampleCard::dir = nullptr;
testkit::TSampleCard* RecoverySampleCard::card = nullptr;
TScanEngine* RecoverySampleCard::engine = nullptr;
TRecoveryResult* RecoverySampleCard::result = nullptr;
std::uint64_t RecoverySampleCard::imageHashBefore = 0;

} // namespace

TEST_F(RecoverySampleCard, EveryFileOfTheCardComesBackByteIdentical) {
    ASSERT_TRUE(result->Started) << result->Message;
    EXPECT_TRUE(result->Message.empty()) << result->Message;
    EXPECT_EQ(result->Failed, 0);
    int large = 0, multiPicture = 0;
    for (const testkit::TCardFile& f : card->Files) {
        SCOPED_TRACE(f.Description + " at sector " + std::to_string(f.StartSector));
        const TRecoveryEntry* e = EntryAt(f.StartSector);
        ASSERT_NE(e, nullptr);
        ASSERT_EQ(e->Status, TRecoveryStatus::Recovered) << e->Detail;
        const std::vector<std::uint8_t> bytes = testkit::ReadFile(*dir / ("recovered/" + e->Name));
        if (f.Measurable) {
            ASSERT_EQ(bytes.size(), f.Size);
            EXPECT_EQ(testkit::Fnv1a64(bytes.data(), bytes.size()), f.Hash);
        } else {
            // Only the header can be told: the default size is written, starting with the file.
            ASSERT_EQ(bytes.size(), 1024u * 1024u);
            EXPECT_EQ(testkit::Fnv1a64(bytes.data(), f.Size), f.Hash);
        }
        large += f.Ext == "JPG" && f.Size > 5'242'880 ? 1 : 0;
        // Measured whole from the device, or by its multi-picture index: either way byte-identical.
        multiPicture += f.Description.find("appended") != std::string::npos ? 1 : 0;
    }
    EXPECT_GE(large, 1) << "the card carries JPEGs larger than 5 MB";
    EXPECT_GE(multiPicture, 1) << "the card carries a JPEG with appended previews";
}

TEST_F(RecoverySampleCard, RecoveredFilesMatchTheSourceBytesAndCarryTheirDateTaken) {
    // The card's sources are laid in order from the first file on; compare the first round.
    const auto& sources = testkit::SampleCardSources(true);
    ASSERT_GE(card->Files.size(), sources.size());
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const testkit::TCardSource& s = sources[i];
        if (!s.Measurable)
            continue;
        const TRecoveryEntry* e = EntryAt(card->Files[i].StartSector);
        ASSERT_NE(e, nullptr);
        const std::vector<std::uint8_t> bytes = testkit::ReadFile(*dir / ("recovered/" + e->Name));
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), s.Bytes.begin(), s.Bytes.begin() + s.Length) &&
                    bytes.size() == s.Length)
            << s.Description;
        if (const auto t = ParseDateTaken(result->FileOf(*e).DateTaken)) {
            struct stat st {};
            ASSERT_EQ(::stat((*dir / ("recovered/" + e->Name)).c_str(), &st), 0);
            EXPECT_EQ(st.st_mtime, *t) << s.Description;
        }
    }
}

TEST_F(RecoverySampleCard, TheCardImageIsNotWrittenAndTheReportListsEveryFile) {
    EXPECT_EQ(HashOfFile(*dir / "card.img"), imageHashBefore);
    ASSERT_FALSE(result->ReportPath.empty());
    const std::vector<std::uint8_t> csv = testkit::ReadFile(result->ReportPath);
    EXPECT_EQ(static_cast<std::size_t>(std::count(csv.begin(), csv.end(), '\n')), engine->FoundFiles.size() + 1);
    EXPECT_EQ(result->Recovered, static_cast<int>(engine->FoundFiles.size()));
}
