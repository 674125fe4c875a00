// Real phone, camera and video files of the box-structured kinds and WebP: each is recognised
// as its type at a sector start, measured to its size on disk, and its metadata agrees with
// the reference reading stored beside the files. Skipped when the sample folder is absent.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engine/FileTypes.h"
#include "formats/SampleFiles.h"

namespace lumivore {
namespace {

using namespace samples;

struct TExpected {
    const char* File;
    const char* Ext;
    std::uint8_t Phone;
};

const TExpected kFiles[] = {
    {"CanonRaw.cr3", "CR3", kPhoneCr3},
    // Major brand "mif1" (the reference calls it HEIF) with "heic" among its compatible brands:
    // its pictures are HEVC-coded, so it is a HEIC.
    {"QuickTime.heic", "HEIC", kPhoneHeic},
    {"QuickTime.mov", "MOV", kPhoneMov},
    {"RIFF.webp", "WEBP", kPhoneWebp},
    {"generated-Canon.avif", "AVIF", kPhoneAvif},
    {"generated-Canon.heic", "HEIC", kPhoneHeic},
    {"generated-testsrc.mp4", "MP4", kPhoneMp4},
};

bool SameRational(std::uint32_t num, std::uint32_t den, const std::string& reference) {
    if (den == 0)
        return false;
    const double expected = std::stod(reference);
    return std::fabs(static_cast<double>(num) / den - expected) <= 1e-6 * std::max(1.0, std::fabs(expected));
}

class SamplesMedia : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(kSampleDir / "manifest.tsv") || !fs::exists(kSampleDir / "files" / "CanonRaw.cr3"))
            GTEST_SKIP() << "no media samples at " << kSampleDir;
        readings_ = ReadReadings(kSampleDir / "exiftool.json");
    }

    TFoundFile Scan(const char* file) {
        TFoundFile rec;
        const auto bytes = ReadSampleFile(kSampleDir / "files" / file);
        size_ = bytes.size();
        found_ = ScanAsSector(bytes, rec);
        return rec;
    }

    std::map<std::string, TReading> readings_;
    std::size_t size_ = 0;
    bool found_ = false;
};

TEST_F(SamplesMedia, EachFileIsRecognisedAndMeasured) {
    for (const TExpected& e : kFiles) {
        const TFoundFile rec = Scan(e.File);
        ASSERT_TRUE(found_) << e.File;
        EXPECT_EQ(rec.Ext, e.Ext) << e.File;
        EXPECT_EQ(rec.PhoneIndex, e.Phone) << e.File;
        EXPECT_EQ(rec.FormatIndex, kNoIndex) << e.File;
        EXPECT_EQ(rec.MakerIndex, e.Phone == kPhoneCr3 ? std::uint8_t{kMakerCanon} : kNoIndex) << e.File;
        EXPECT_EQ(rec.Length, static_cast<std::int64_t>(size_)) << e.File;
    }
}

TEST_F(SamplesMedia, PixelSizesAgreeWithReference) {
    // The size of the picture or of the first video track; for the CR3 the size its EXIF states.
    const std::pair<const char*, const char*> keys[] = {
        {"CanonRaw.cr3", "IFD0:Image"},          {"QuickTime.heic", "File:Image"},
        {"QuickTime.mov", "Track1:Image"},       {"RIFF.webp", "RIFF:Image"},
        {"generated-Canon.avif", "File:Image"},  {"generated-Canon.heic", "File:Image"},
        {"generated-testsrc.mp4", "Track1:Image"},
    };
    for (const auto& [file, key] : keys) {
        const TFoundFile rec = Scan(file);
        const TReading& ref = readings_.at(file);
        EXPECT_EQ(std::to_string(rec.Width), ref.at(std::string(key) + "Width")) << file;
        EXPECT_EQ(std::to_string(rec.Height), ref.at(std::string(key) + "Height")) << file;
    }
}

TEST_F(SamplesMedia, CameraMetadataAgreesWithReference) {
    for (const char* file : {"CanonRaw.cr3", "generated-Canon.heic", "generated-Canon.avif"}) {
        const TFoundFile rec = Scan(file);
        const TReading& ref = readings_.at(file);
        EXPECT_EQ(rec.Make, ref.at("IFD0:Make")) << file;
        EXPECT_EQ(rec.Model, ref.at("IFD0:Model")) << file;
        EXPECT_EQ(rec.DateTaken, ref.at("ExifIFD:DateTimeOriginal")) << file;
        EXPECT_EQ(std::to_string(rec.ISO), ref.at("ExifIFD:ISO")) << file;
        EXPECT_TRUE(SameRational(rec.ExposureNum, rec.ExposureDen, ref.at("ExifIFD:ExposureTime"))) << file;
        EXPECT_TRUE(SameRational(rec.FNumberNum, rec.FNumberDen, ref.at("ExifIFD:FNumber"))) << file;
        EXPECT_TRUE(SameRational(rec.FocalNum, rec.FocalDen, ref.at("ExifIFD:FocalLength"))) << file;
    }

    // The generated video names its camera in metadata keys and was made at a known time (UTC).
    const TFoundFile mp4 = Scan("generated-testsrc.mp4");
    EXPECT_EQ(mp4.Make, readings_.at("generated-testsrc.mp4").at("Keys:Make"));
    EXPECT_EQ(mp4.Model, readings_.at("generated-testsrc.mp4").at("Keys:Model"));
    EXPECT_EQ(mp4.DateTaken, "2024:05:17 10:20:30");

    // The cut-down movie's maker is only in a camera maker's own record.
    EXPECT_EQ(Scan("QuickTime.mov").Make, readings_.at("QuickTime.mov").at("Pentax:Make"));
}

} // namespace
} // namespace lumivore
