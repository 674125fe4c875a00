#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "engine/FileTypes.h"
#include "i18n/MultiLanguage.h"
#include "i18n/TranslationKeys.h"
#include "i18n/TranslationsFixture.h"

namespace lumivore {
namespace {

const char* const kShippedFile = LUMIVORE_SOURCE_DIR "/data/translations.xml";

// language -> key -> text, read straight from the shipped file.
using TTable = std::map<std::string, std::map<std::string, std::string>>;

// The printf conversions of a text, in order ("%d", "%.2f", ...); "%%" is not one.
std::vector<std::string> Placeholders(const std::string& text) {
    const std::string_view flags = "-+ #0123456789.hlLzjt";
    std::vector<std::string> found;
    for (std::size_t pos = text.find('%'); pos != std::string::npos; pos = text.find('%', pos)) {
        std::size_t end = pos + 1;
        while (end < text.size() && flags.find(text[end]) != std::string_view::npos)
            ++end;
        const std::string conversion = text.substr(pos, end + 1 - pos);
        if (conversion != "%%")
            found.push_back(conversion);
        pos = end + 1;
    }
    return found;
}

class ShippedTranslations : public ::testing::Test {
protected:
    void SetUp() override {
        const pugi::xml_parse_result result = document_.load_file(kShippedFile);
        ASSERT_TRUE(result) << kShippedFile << ": " << result.description() << " at " << result.offset;
        for (pugi::xpath_node node : document_.select_nodes("//text")) {
            const std::string key = node.node().attribute("id").value();
            ASSERT_FALSE(key.empty()) << "text element without id";
            EXPECT_TRUE(keys_.insert(key).second) << key << " appears twice; only its last entry would count";
            for (pugi::xml_node entry : node.node().children()) {
                const std::string lang = entry.attribute("lang").value();
                EXPECT_EQ(table_[lang].count(key), 0u) << key << " has two " << lang << " entries";
                table_[lang][key] = entry.text().get();
            }
        }
        for (pugi::xpath_node node : document_.select_nodes("//language"))
            languages_.push_back(node.node().attribute("id").value());
    }

    pugi::xml_document document_;
    std::vector<std::string> languages_;
    std::set<std::string> keys_;
    TTable table_;
};

TEST_F(ShippedTranslations, OffersFiveLanguagesWithEnglishInUse) {
    EXPECT_EQ(languages_, (std::vector<std::string>{"en", "de", "fr", "es", "it"}));
    for (const auto& [lang, texts] : table_)
        EXPECT_NE(std::find(languages_.begin(), languages_.end(), lang), languages_.end()) << "entries for unknown language " << lang;

}

using ShippedTranslationsAtStartUp = testing::TTranslationsFixture;

TEST_F(ShippedTranslationsAtStartUp, ReadsEnglishAndTheFiveLanguages) {
    std::filesystem::copy_file(kShippedFile, TranslationsPath());
    InitialiseLanguage();
    EXPECT_EQ(CurrentLanguage(), "en");
    ASSERT_EQ(Languages().size(), 5u);
    EXPECT_EQ(Languages()[1].Name, "Deutsch");
    TTranslationsSession session;
    EXPECT_EQ(Translate("de", "btn_next", ""), "&Weiter");
    EXPECT_EQ(Translate("fr", "range_end", ""), "&Fin (max. %d Mo)");
    EXPECT_EQ(Translate("en", "desc_step1", "").back(), ' '); // trailing blanks are kept
}

// Saving the language choice rewrites the file; every text must read the same afterwards.
TEST_F(ShippedTranslationsAtStartUp, ChoosingGermanKeepsEveryText) {
    std::filesystem::copy_file(kShippedFile, TranslationsPath());
    const auto readAll = [] {
        std::vector<std::string> texts;
        TTranslationsSession session;
        for (const auto& list : {std::span<const TTextKey>(kCaptionKeys), std::span<const TTextKey>(kCodeKeys), std::span<const TTextKey>(kWizardKeys)})
            for (const TTextKey& entry : list)
                for (const char* lang : {"en", "de", "fr", "es", "it"})
                    texts.push_back(Translate(lang, entry.Key, "(missing)"));
        return texts;
    };
    const std::vector<std::string> before = readAll();
    {
        TTranslationsSession session;
        ASSERT_TRUE(SetDefaultLanguage("de"));
    }
    EXPECT_EQ(readAll(), before);
    InitialiseLanguage();
    EXPECT_EQ(CurrentLanguage(), "de");
    EXPECT_EQ(Languages().size(), 5u);
}

TEST_F(ShippedTranslations, EveryLanguageTranslatesEveryEnglishKeyKeepingPlaceholders) {
    const auto& english = table_["en"];
    ASSERT_FALSE(english.empty());
    for (const std::string& lang : languages_) {
        for (const auto& [key, text] : english) {
            SCOPED_TRACE(lang + " " + key);
            const auto found = table_[lang].find(key);
            ASSERT_NE(found, table_[lang].end()) << "missing";
            EXPECT_FALSE(found->second.empty()) << "empty entries show the default";
            EXPECT_EQ(Placeholders(found->second), Placeholders(text));
        }
        EXPECT_EQ(table_[lang].size(), english.size()) << lang << " has keys that English lacks";
    }
}

TEST_F(ShippedTranslations, EnglishTextsAreTheBuiltInTexts) {
    for (const auto& list : {std::span<const TTextKey>(kCaptionKeys), std::span<const TTextKey>(kCodeKeys),
                            std::span<const TTextKey>(kPreviewKeys), std::span<const TTextKey>(kWizardKeys),
                            std::span<const TTextKey>(kPhoneTypeKeys)}) {
        for (const TTextKey& entry : list) {
            const auto found = table_["en"].find(std::string(entry.Key));
            ASSERT_NE(found, table_["en"].end()) << entry.Key << " has no English entry";
            EXPECT_EQ(found->second, entry.English) << entry.Key;
        }
    }
    EXPECT_EQ(Placeholders("%d of %.2f%% %s %"), (std::vector<std::string>{"%d", "%.2f", "%s", "%"}));
}

TEST_F(ShippedTranslations, NoKeyIsOrphaned) {
    for (const std::string& key : keys_)
        EXPECT_TRUE(IsLookedUpKey(key)) << key << " is not looked up by any window or code";
    // The maker keys are the ones TranslateMakerCaptions forms from the camera table.
    for (std::size_t row = 0; row < kMakerTypeCount; ++row) {
        std::string key = "maker_";
        for (char c : MakerTypes()[row].Maker)
            key += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        EXPECT_EQ(kMakerKeys[row], key);
    }
    // The phone and video captions default to the rows' own names.
    for (std::size_t row = 0; row < kPhoneTypeCount; ++row)
        EXPECT_EQ(kPhoneTypeKeys[row].English, PhoneTypes()[row].Name);
    EXPECT_FALSE(IsLookedUpKey("Label1"));
    EXPECT_EQ(DefaultText("range_hint"), "Please input %d here if you don't know how to set this value.");
}

} // namespace
} // namespace lumivore
