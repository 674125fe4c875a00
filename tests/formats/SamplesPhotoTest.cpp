// Real camera and media files: each is recognised as its type, measured, and for JPEGs the
// EXIF metadata agrees with the reference reading stored beside the files. Skipped when the
// sample folder is absent.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "formats/Recognisers.h"
#include "formats/SampleFiles.h"

namespace lumivore {
namespace {

namespace fs = std::filesystem;

using namespace samples;
const fs::path& kSamples = kSampleDir;

// The file offered to the recognisers as a scan sees it; found says whether one accepted it.
TFoundFile ScanAsSector(std::vector<std::uint8_t> bytes, bool& found) {
    TFoundFile rec;
    found = samples::ScanAsSector(std::move(bytes), rec);
    return rec;
}

bool SameRational(std::uint32_t num, std::uint32_t den, const std::string& reference) {
    if (den == 0)
        return false;
    const double expected = std::stod(reference);
    return std::fabs(static_cast<double>(num) / den - expected) <= 1e-6 * std::max(1.0, std::fabs(expected));
}

struct TSample {
    std::string File;
    std::string Format;
    std::uintmax_t Size = 0;
};

std::vector<TSample> Samples(const std::set<std::string>& formats) {
    std::vector<TSample> out;
    std::ifstream manifest(kSamples / "manifest.tsv");
    std::string line;
    std::getline(manifest, line); // header
    while (std::getline(manifest, line)) {
        std::istringstream fields(line);
        TSample s;
        std::string sha;
        fields >> s.File >> s.Size >> sha >> s.Format;
        if (formats.count(s.Format) != 0)
            out.push_back(s);
    }
    return out;
}

const std::map<std::string, std::string> kExtOfFormat = {{"jpg", "JPG"}, {"gif", "GIF"}, {"png", "PNG"},
                                                         {"bmp", "BMP"}, {"wav", "WAV"}, {"avi", "AVI"},
                                                         {"rm", "RM"},   {"cdr", "CDR"}};

// Files whose header contradicts their own structure, so that the scan refuses them or
// measures them differently from their size on disk.
const std::map<std::string, std::string> kKnownHeaderFaults = {
    {"Pentax.avi", "the first 1672 bytes of a 117 MB video: found with the length its header states"},
    {"RIFF.avi", "declares a RIFF size of 2.7 MB: longer than the file"},
    {"RIFF.wav", "carries 16 bytes after its RIFF chunk: shorter than the file"},
};

// JPEGs whose trailers are only partly of kinds the measure knows. ExifTool.jpg carries AFCP and
// FotoStation records, which are measured, then a camera maker's and a phone's data blocks
// whose ends nothing names: the file is measured to the end of the last known record.
const std::map<std::string, std::int32_t> kTrailerAfterEoi = {{"ExifTool.jpg", 23138}};

class SamplesPhoto : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kSamples / "manifest.tsv"))
            GTEST_SKIP() << "no sample folder at " << kSamples;
    }
};

TEST_F(SamplesPhoto, EachFileIsRecognisedAsItsType) {
    for (const TSample& s : Samples({"jpg", "gif", "png", "bmp", "wav", "avi", "rm", "cdr"})) {
        bool found = false;
        const TFoundFile rec = ScanAsSector(ReadSampleFile(kSamples / "files" / s.File), found);
        const bool faulty = kKnownHeaderFaults.count(s.File) != 0;
        if (s.File == "Pentax.avi") {
            ASSERT_TRUE(found) << s.File;
            EXPECT_EQ(rec.Length, 0x06FE3B50 + 8) << s.File;
        }
        ASSERT_TRUE(found) << s.File;
        EXPECT_EQ(rec.Ext, kExtOfFormat.at(s.Format)) << s.File;
        const auto trailer = kTrailerAfterEoi.find(s.File);
        if (trailer != kTrailerAfterEoi.end()) {
            EXPECT_EQ(rec.Length, trailer->second) << s.File;
        } else if (!faulty) {
            EXPECT_EQ(rec.Length, static_cast<std::int32_t>(s.Size)) << s.File;
        }
    }
}

TEST_F(SamplesPhoto, JpegMetadataAgreesWithReference) {
    const auto reference = ReadReadings(kSamples / "exiftool.json");
    for (const TSample& s : Samples({"jpg"})) {
        bool found = false;
        const TFoundFile rec = ScanAsSector(ReadSampleFile(kSamples / "files" / s.File), found);
        ASSERT_TRUE(found) << s.File;
        const TReading& ref = reference.at(s.File);
        auto has = [&](const char* key) { return ref.count(key) != 0; };
        if (has("IFD0:Make")) {
            EXPECT_EQ(rec.Make, ref.at("IFD0:Make")) << s.File;
        }
        if (has("IFD0:Model")) {
            EXPECT_EQ(rec.Model, ref.at("IFD0:Model")) << s.File;
        }
        if (has("ExifIFD:DateTimeOriginal")) {
            EXPECT_EQ(rec.DateTaken, ref.at("ExifIFD:DateTimeOriginal")) << s.File;
        }
        if (has("ExifIFD:ISO")) {
            EXPECT_EQ(rec.ISO, std::stoi(ref.at("ExifIFD:ISO"))) << s.File;
        }
        if (has("ExifIFD:ExposureTime")) {
            EXPECT_TRUE(SameRational(rec.ExposureNum, rec.ExposureDen, ref.at("ExifIFD:ExposureTime")))
                << s.File << " " << rec.ExposureNum << "/" << rec.ExposureDen;
        }
        if (has("ExifIFD:FNumber")) {
            EXPECT_TRUE(SameRational(rec.FNumberNum, rec.FNumberDen, ref.at("ExifIFD:FNumber")))
                << s.File << " " << rec.FNumberNum << "/" << rec.FNumberDen;
        }
        if (has("ExifIFD:FocalLength")) {
            EXPECT_TRUE(SameRational(rec.FocalNum, rec.FocalDen, ref.at("ExifIFD:FocalLength")))
                << s.File << " " << rec.FocalNum << "/" << rec.FocalDen;
        }
    }
}

} // namespace
} // namespace lumivore
