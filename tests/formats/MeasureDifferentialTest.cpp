// One length per file, however it is measured: every file the test kit builds for the sample
// card, and the real camera files beside the project when present, measured whole (as
// read-back and recovery measure), fed in pieces of many sizes (as the scan's blocks feed it),
// and as the recogniser of its first sector left it, all give the file's true length.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "formats/Measure.h"
#include "formats/Recognisers.h"
#include "formats/SampleFiles.h"
#include "formats/StreamMeasure.h"
#include "testkit/SampleCard.h"

namespace lumivore {
namespace {

using TByteVector = std::vector<std::uint8_t>;

// What follows a file on a card: zero bytes up to and past the next sector.
constexpr std::size_t kAfterFile = 8192;

std::int64_t FedInPieces(const TFoundFile& rec, const TByteVector& bytes, std::size_t piece) {
    auto measure = StartStreamMeasure(rec);
    if (!measure)
        return MeasureLength(rec, bytes); // a length its header states
    for (std::size_t at = 0; at < bytes.size() && measure->Status() == TMeasureStatus::Open; at += piece)
        measure->Feed(TBytes(bytes).subspan(at, std::min(piece, bytes.size() - at)));
    measure->Finish();
    const std::int64_t length = measure->Length();
    return LengthKnownFor(rec.Ext, length) ? length : kUnknownLength;
}

// Checks one file: trueLength is its length, or kUnknownLength when its structure cannot tell.
void ExpectOneLength(const std::string& name, TByteVector bytes, std::int64_t trueLength) {
    bytes.resize(bytes.size() + kAfterFile, 0);
    TFoundFile rec;
    ASSERT_TRUE(samples::ScanAsSector(bytes, rec)) << name;
    EXPECT_EQ(rec.Length, trueLength) << name << ": the recogniser's record";
    if (!HasMeasure(rec))
        return; // its header states the length, or nothing does: no measure to agree with
    EXPECT_EQ(MeasureLength(rec, bytes), trueLength) << name << ": measured whole";
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{512}, std::size_t{4093}, std::size_t{512000}}) {
        if (piece == 1 && bytes.size() > 1'000'000)
            continue; // a byte at a time through a large photo only costs time
        EXPECT_EQ(FedInPieces(rec, bytes, piece), trueLength) << name << ": fed in pieces of " << piece;
    }
}

TEST(MeasureDifferential, EverySampleCardFileHasOneLength) {
    for (const testkit::TCardSource& source : testkit::SampleCardSources(true)) {
        const TByteVector file(source.Bytes.begin(), source.Bytes.begin() + source.Length);
        ExpectOneLength(source.Description, file, source.Measurable ? source.Length : kUnknownLength);
    }
}

// The real files: their own size, except where the file carries what no structure claims
// (bytes after a JPEG's last trailer, the tail of a raw that no directory names), or where its
// kind's length is not measured; there the length every measure gives is the one below.
TEST(MeasureDifferential, EveryRealCameraFileHasOneLength) {
    if (!samples::fs::exists(samples::kSampleDir / "files"))
        GTEST_SKIP() << "no sample files beside the project";
    const std::map<std::string, std::int64_t> kStructureEnds = {
        {"ExifTool.jpg", 23138},  // a maker's optional data after the AFCP and Samsung trailers
        {"CanonRaw.cr2", 8706},   // bytes after the last strip
        {"Panasonic.rw2", kUnknownLength}, // its own TIFF marker: not walked
    };
    static const std::set<std::string> kMeasured = {"jpg", "png", "gif", "rm", "tif", "dng", "cr2", "nef", "x3f"};
    for (const auto& entry : samples::fs::directory_iterator(samples::kSampleDir / "files")) {
        const std::string name = entry.path().filename().string();
        std::string ext = entry.path().extension().string().substr(1);
        std::transform(ext.begin(), ext.end(), ext.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
        if (!kMeasured.count(ext) && !kStructureEnds.count(name))
            continue;
        const TByteVector bytes = samples::ReadSampleFile(entry.path());
        const auto known = kStructureEnds.find(name);
        ExpectOneLength(name, bytes, known != kStructureEnds.end() ? known->second : static_cast<std::int64_t>(bytes.size()));
    }
}

} // namespace
} // namespace lumivore
