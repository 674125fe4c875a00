#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

#include "engine/FileTypes.h"
#include "formats/IsoMedia.h"
#include "formats/Recognisers.h"
#include "testkit/IsoBuilder.h"

using namespace lumivore;

namespace {

std::vector<std::string> SplitExtensions(const std::string& list) {
    std::vector<std::string> out;
    std::stringstream in(list);
    for (std::string ext; std::getline(in, ext, ',');)
        out.push_back(ext);
    return out;
}

bool Lists(const std::string& list, const char* ext) {
    for (const std::string& e : SplitExtensions(list))
        if (e == ext)
            return true;
    return false;
}

} // namespace

TEST(FileTypeTraits, EachRowIsItsTypeAndEachExtensionNamesOneType) {
    const std::vector<TFileTypeTraits>& rows = FileTypeTraits();
    std::set<std::string> exts;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].Ext);
        EXPECT_EQ(static_cast<std::size_t>(rows[i].Type), i) << "rows follow the enum's order";
        EXPECT_EQ(&TraitsOf(rows[i].Type), &rows[i]);
        EXPECT_TRUE(exts.insert(rows[i].Ext).second) << "an extension names one type";
        EXPECT_EQ(FileTypeOf(rows[i].Ext), rows[i].Type);
    }
    // Texts no recogniser writes are no type: the record's text is matched as it is stored.
    EXPECT_EQ(FileTypeOf("jpg"), TFileType::Unknown);
    EXPECT_EQ(FileTypeOf("JPEG"), TFileType::Unknown);
    EXPECT_EQ(FileTypeOf(""), TFileType::Unknown);
    EXPECT_EQ(TFoundFile{}.Type(), TFileType::Unknown);
    const TFileTypeTraits& unknown = TraitsOf(static_cast<TFileType>(250));
    EXPECT_EQ(unknown.Type, TFileType::Unknown) << "a value outside the enum reads as Unknown";
    EXPECT_EQ(unknown.Decoder, TPictureDecoder::None);
}

// The check list's rows and the traits must tell the same story: a type the table places in
// a row is listed there, and every extension a row lists is a type the table knows, so that
// nothing the user can tick is measured or shown as an unknown type.
TEST(FileTypeTraits, TheCheckListRowsAndTheTraitsAgree) {
    for (const TFileTypeTraits& t : FileTypeTraits()) {
        SCOPED_TRACE(t.Ext);
        if (t.GeneralRow != kNoIndex) {
            ASSERT_LT(t.GeneralRow, kGeneralTypeCount);
            EXPECT_TRUE(Lists(GeneralTypes()[t.GeneralRow].Extensions, t.Ext));
        }
        if (t.PhoneRow != kNoIndex) {
            ASSERT_LT(t.PhoneRow, kPhoneTypeCount);
            EXPECT_TRUE(Lists(PhoneTypes()[t.PhoneRow].Extensions, t.Ext));
        } else if (t.CameraRow != kNoIndex) {
            ASSERT_LT(t.CameraRow, kMakerTypeCount);
            EXPECT_TRUE(Lists(MakerTypes()[t.CameraRow].Extensions, t.Ext));
        }
    }
    auto known = [](const auto& table) {
        for (const TSupportedFileType& row : table)
            for (const std::string& ext : SplitExtensions(row.Extensions))
                EXPECT_NE(FileTypeOf(ext), TFileType::Unknown) << row.Name << ": " << ext;
    };
    known(GeneralTypes());
    known(MakerTypes());
    known(PhoneTypes());
}

// What the phone recognisers write must be a type whose traits send it to the right decoder:
// a brand mapped to a text the table lacks would leave the file without a picture.
TEST(FileTypeTraits, RecognisedPhoneFilesReachTheirDecoders) {
    struct TCase {
        testkit::TByteVector bytes;
        TPictureDecoder decoder;
    };
    testkit::THeifRecipe heic;
    testkit::THeifRecipe avif;
    avif.major = "avif";
    avif.compatible = {"avif", "mif1"};
    testkit::TMovieRecipe mp4;
    testkit::TMovieRecipe mov;
    mov.major = "qt  ";
    mov.compatible = {"qt  "};
    testkit::TMovieRecipe threeGp;
    threeGp.major = "3gp5";
    threeGp.compatible = {"3gp5", "isom"};
    const TCase cases[] = {
        {testkit::BuildHeif(heic), TPictureDecoder::Heif},
        {testkit::BuildHeif(avif), TPictureDecoder::Heif},
        {testkit::BuildMovie(mp4), TPictureDecoder::VideoFrame},
        {testkit::BuildMovie(mov), TPictureDecoder::VideoFrame},
        {testkit::BuildMovie(threeGp), TPictureDecoder::VideoFrame},
        {testkit::BuildCr3({}), TPictureDecoder::EmbeddedJpeg},
        {testkit::BuildWebP("VP8L", 64, 48), TPictureDecoder::WebP},
    };
    for (const TCase& c : cases) {
        TFoundFile rec;
        const TBytes data(c.bytes.data(), c.bytes.size());
        ASSERT_TRUE(RecogniseIsoMedia(data, rec) || RecogniseRiff(data, rec));
        SCOPED_TRACE(rec.Ext);
        const TFileTypeTraits& t = TraitsOf(rec.Type());
        EXPECT_EQ(t.Decoder, c.decoder);
        EXPECT_EQ(t.PhoneRow, rec.PhoneIndex);
        if (t.CameraRow != kNoIndex) {
            EXPECT_EQ(t.CameraRow, rec.MakerIndex);
        }
    }
}
