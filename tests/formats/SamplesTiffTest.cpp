// Real camera files of the TIFF-based and raw kinds: each is recognised as its type, and its
// camera metadata agrees with the reference reading stored beside the files, apart from the
// listed readings where Lumivore's rules read differently. Skipped when the folder is absent.
#include <gtest/gtest.h>

#include <algorithm>
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

// The reference value of a tag: from the first directory, else the EXIF directory, else any.
std::string Reference(const TReading& reading, const std::string& tag) {
    for (const char* group : {"IFD0:", "ExifIFD:"})
        if (auto it = reading.find(group + tag); it != reading.end())
            return it->second;
    for (const auto& [key, value] : reading)
        if (key.size() > tag.size() && key.ends_with(":" + tag) && !key.starts_with("Composite:"))
            return value;
    return {};
}

// The largest width (or height) any directory or raw header states.
std::string LargestSize(const TReading& reading, const std::string& image, const std::string& exif) {
    long largest = -1;
    for (const auto& [key, value] : reading)
        if ((key.ends_with(":" + image) || key.ends_with(":" + exif)) && !key.starts_with("File:") &&
            !key.starts_with("Composite:"))
            largest = std::max(largest, std::stol(value));
    return largest < 0 ? std::string() : std::to_string(largest);
}

std::string Ratio(std::uint32_t num, std::uint32_t den) {
    if (den == 0)
        return {};
    std::ostringstream s;
    s.precision(10);
    s << static_cast<double>(num) / den;
    return s.str();
}

// Same reading: equal texts, or numbers equal to 6 significant digits.
bool Agrees(const std::string& ours, const std::string& theirs) {
    if (ours == theirs)
        return true;
    if (ours.empty() || theirs.empty())
        return false;
    char* endA = nullptr;
    char* endB = nullptr;
    const double a = std::strtod(ours.c_str(), &endA);
    const double b = std::strtod(theirs.c_str(), &endB);
    return *endA == 0 && *endB == 0 && std::fabs(a - b) <= 1e-6 * std::max(std::fabs(a), std::fabs(b));
}

const std::map<std::string, std::string> kTypeOfFormat = {
    {"tif", "TIF"}, {"dng", "DNG"}, {"cr2", "CR2"}, {"crw", "CRW"}, {"nef", "NEF"}, {"arw", "ARW"},
    {"sr2", "SR2"}, {"orf", "ORF"}, {"pef", "PEF"}, {"rw2", "RAW"}, {"raw", "RAW"}, {"dcr", "DCR"},
    {"mef", "MEF"}, {"x3f", "X3F"}, {"mrw", "MRW"}, {"raf", "RAF"},
};

// Readings where Lumivore's rules give another value than the reference: file, field, our value,
// and why.
struct TExpectedDifference {
    const char* file;
    const char* field;
    const char* ours;
    const char* why;
};
const TExpectedDifference kExpectedDifferences[] = {
    {"DNG.dng", "Type", "TIF", "a Canon Make decides before DNGVersion; without CR at bytes 8-9 it is TIF"},
    {"Panasonic.rw2", "Width", "3648", "the sensor borders give the picture's size; the EXIF names the preview's"},
    {"Panasonic.rw2", "Height", "2736", "the sensor borders give the picture's size; the EXIF names the preview's"},
    {"CanonRaw.crw", "Model", "", "a CRW heap is recognised by its signature only"},
    {"CanonRaw.crw", "DateTaken", "", "a CRW heap is recognised by its signature only"},
    {"CanonRaw.crw", "Exposure", "", "a CRW heap is recognised by its signature only"},
    {"CanonRaw.crw", "FNumber", "", "a CRW heap is recognised by its signature only"},
    {"CanonRaw.crw", "Focal", "", "a CRW heap is recognised by its signature only"},
    {"CanonRaw.crw", "Width", "0", "a CRW heap is recognised by its signature only"},
    {"CanonRaw.crw", "Height", "0", "a CRW heap is recognised by its signature only"},
    {"FujiFilm.raf", "Make", "FUJI Film", "a RAF's maker is fixed; its header alone is read"},
    {"FujiFilm.raf", "Model", "", "a RAF's header alone is read"},
    {"FujiFilm.raf", "DateTaken", "", "a RAF's header alone is read"},
    {"FujiFilm.raf", "ISO", "0", "a RAF's header alone is read"},
    {"FujiFilm.raf", "Exposure", "", "a RAF's header alone is read"},
    {"FujiFilm.raf", "FNumber", "", "a RAF's header alone is read"},
    {"FujiFilm.raf", "Focal", "", "a RAF's header alone is read"},
    {"FujiFilm.raf", "Width", "0", "a RAF's header alone is read"},
    {"FujiFilm.raf", "Height", "0", "a RAF's header alone is read"},
    {"Sigma.x3f", "Make", "Sigma", "an X3F's maker is fixed; its header gives only the size"},
    {"SigmaDP2.x3f", "Make", "Sigma", "an X3F's maker is fixed; its header gives only the size"},
    {"Sigma.x3f", "Model", "", "an X3F's header gives only the size"},
    {"Sigma.x3f", "DateTaken", "", "an X3F's header gives only the size"},
    {"Sigma.x3f", "ISO", "0", "an X3F's header gives only the size"},
    {"Sigma.x3f", "Exposure", "", "an X3F's header gives only the size"},
    {"Sigma.x3f", "FNumber", "", "an X3F's header gives only the size"},
    {"Sigma.x3f", "Focal", "", "an X3F's header gives only the size"},
    {"SigmaDP2.x3f", "Model", "", "an X3F's header gives only the size"},
    {"SigmaDP2.x3f", "DateTaken", "", "an X3F's header gives only the size"},
    {"SigmaDP2.x3f", "ISO", "0", "an X3F's header gives only the size"},
    {"SigmaDP2.x3f", "Exposure", "", "an X3F's header gives only the size"},
    {"SigmaDP2.x3f", "FNumber", "", "an X3F's header gives only the size"},
    {"SigmaDP2.x3f", "Focal", "", "an X3F's header gives only the size"},
};

} // namespace

TEST(SamplesTiff, RecognisedWithTheReferenceMetadata) {
    const fs::path manifestPath = kSampleDir / "manifest.tsv";
    if (!fs::exists(manifestPath))
        GTEST_SKIP() << "no sample files at " << kSampleDir;
    const auto readings = ReadReadings(kSampleDir / "exiftool.json");

    std::set<std::pair<std::string, std::string>> expectedLeft;
    for (const TExpectedDifference& d : kExpectedDifferences)
        expectedLeft.insert({d.file, d.field});

    std::ifstream manifest(manifestPath);
    std::string line;
    int checked = 0;
    while (std::getline(manifest, line)) {
        std::istringstream fields(line);
        std::string name, size, hash, format;
        std::getline(fields, name, '\t');
        std::getline(fields, size, '\t');
        std::getline(fields, hash, '\t');
        std::getline(fields, format, '\t');
        const auto type = kTypeOfFormat.find(format);
        if (type == kTypeOfFormat.end())
            continue;
        std::ifstream in(kSampleDir / "files" / name, std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        TFoundFile rec;
        const bool found = ScanAsSector(bytes, rec);
        ++checked;
        EXPECT_TRUE(found) << name;
        const TReading& ref = readings.at(name);

        const std::vector<std::tuple<std::string, std::string, std::string>> compared = {
            {"Type", rec.Ext, type->second},
            {"Make", rec.Make, Reference(ref, "Make")},
            {"Model", rec.Model, Reference(ref, "Model")},
            {"DateTaken", rec.DateTaken, Reference(ref, "DateTimeOriginal")},
            {"ISO", std::to_string(rec.ISO), Reference(ref, "ISO")},
            {"Exposure", Ratio(rec.ExposureNum, rec.ExposureDen), Reference(ref, "ExposureTime")},
            {"FNumber", Ratio(rec.FNumberNum, rec.FNumberDen), Reference(ref, "FNumber")},
            {"Focal", Ratio(rec.FocalNum, rec.FocalDen), Reference(ref, "FocalLength")},
            {"Width", std::to_string(rec.Width), LargestSize(ref, "ImageWidth", "ExifImageWidth")},
            {"Height", std::to_string(rec.Height), LargestSize(ref, "ImageHeight", "ExifImageHeight")},
        };
        for (const auto& [field, ours, theirs] : compared) {
            if (theirs.empty() && (ours.empty() || ours == "0"))
                continue;
            const auto expected = std::find_if(std::begin(kExpectedDifferences), std::end(kExpectedDifferences),
                                               [&](const TExpectedDifference& d) { return d.file == name && d.field == field; });
            if (expected != std::end(kExpectedDifferences)) {
                expectedLeft.erase({name, field});
                EXPECT_EQ(ours, expected->ours) << name << " " << field << ": " << expected->why;
                EXPECT_FALSE(Agrees(ours, theirs)) << name << " " << field << " now agrees";
                continue;
            }
            EXPECT_TRUE(Agrees(ours, theirs)) << name << " " << field << ": ours " << ours << ", reference " << theirs;
        }
    }
    EXPECT_GE(checked, 10);
    for (const auto& [file, field] : expectedLeft)
        ADD_FAILURE() << "expected difference not met: " << file << " " << field;
}

TEST(SamplesTiff, LengthsOfCompleteFiles) {
    // Files whose structure lies wholly inside them measure to at most their size.
    for (const char* name : {"CanonRaw.cr2", "DNG.dng", "ExifTool.tif", "GeoTiff.tif", "Nikon.nef"}) {
        const fs::path path = kSampleDir / "files" / name;
        if (!fs::exists(path))
            GTEST_SKIP() << "no sample files at " << kSampleDir;
        std::ifstream in(path, std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        TFoundFile rec;
        ASSERT_TRUE(ScanAsSector(bytes, rec)) << name;
        EXPECT_GT(rec.Length, 0) << name;
        EXPECT_LE(rec.Length, static_cast<std::int32_t>(bytes.size())) << name;
    }
}

} // namespace lumivore
