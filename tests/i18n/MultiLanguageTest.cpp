#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include <pugixml.hpp>

#include "engine/FileTypes.h"
#include "i18n/MultiLanguage.h"
#include "i18n/TranslationsFixture.h"

namespace lumivore {
namespace {

using Translations = testing::TTranslationsFixture;

const char* const kThreeLanguages = R"(
  <languages>
    <language id="en" name="English" default="false"/>
    <language id="de" name="Deutsch" default="true"/>
    <language id="fr" name="Français"/>
  </languages>
  <text id="greeting"><t lang="en">Hello</t><t lang="de">Hallo  </t></text>
  <!-- a comment the translator wrote -->
)";

TEST_F(Translations, EscapesTurnSlashRIntoLineBreakBeforeDoubleSlash) {
    EXPECT_EQ(ReplaceEscapes("one/rtwo"), "one\rtwo");
    EXPECT_EQ(ReplaceEscapes("and//or"), "and/or");
    EXPECT_EQ(ReplaceEscapes("a//rb"), "a/\rb"); // "/r" first: the second slash and r break the line
    EXPECT_EQ(ReplaceEscapes("/r/r////"), "\r\r//");
    EXPECT_EQ(ReplaceEscapes("a/b/"), "a/b/");

    WriteTranslations(R"(<text id="k"><t lang="en">Line/rTwo//Three</t></text>)");
    TTranslationsSession session;
    EXPECT_EQ(Translate("en", "k", "x"), "Line\rTwo/Three");
}

TEST_F(Translations, LookupFallsBackToDefaultWithoutAnEntryForTheLanguage) {
    WriteTranslations(R"(
      <group><deeper>
        <text id="only_de"><t lang="de">Nur Deutsch</t></text>
      </deeper></group>
      <text id="empty"><t lang="en"></t><t lang="de">Leer</t></text>
      <text id="case"><t lang="EN">Upper</t></text>
      <text><t lang="en">No id</t></text>
      <text id="odd">stray text<!-- c --><t>no lang</t><t lang="en">Found</t><t lang="en">Second</t></text>
    )");
    TTranslationsSession session;
    ASSERT_TRUE(session.Loaded());
    EXPECT_EQ(Translate("de", "only_de", "Default"), "Nur Deutsch"); // found wherever it stands
    EXPECT_EQ(Translate("fr", "only_de", "Default"), "Default");
    EXPECT_EQ(Translate("fr", "only_de", ""), "");
    EXPECT_EQ(Translate("en", "empty", "Default"), "Default");      // empty counts as missing
    EXPECT_EQ(Translate("en", "case", "Default"), "Default");       // languages compare exactly
    EXPECT_EQ(Translate("en", "ONLY_DE", "Default"), "Default");    // keys compare exactly
    EXPECT_EQ(Translate("en", "odd", "Default"), "Found");          // first child with the language
    EXPECT_EQ(Translate("en", "missing", "Default"), "Default");
}

TEST_F(Translations, LastTextElementWithTheLanguageWins) {
    WriteTranslations(R"(
      <text id="k"><t lang="en">First</t><t lang="de">Erste</t></text>
      <text id="k"><t lang="en">Second</t></text>
      <text id="k"><t lang="fr">Troisième</t></text>
      <text id="blank"><t lang="en">Shown before</t></text>
      <text id="blank"><t lang="en"></t></text>
      <text id="mixed"><t lang="en">A<![CDATA[<B>]]><b>C</b></t></text>
    )");
    TTranslationsSession session;
    EXPECT_EQ(Translate("en", "k", ""), "Second");
    EXPECT_EQ(Translate("de", "k", ""), "Erste");
    EXPECT_EQ(Translate("en", "blank", "Default"), "Default"); // a later empty entry clears an earlier one
    EXPECT_EQ(Translate("en", "mixed", ""), "A<B>C");           // the whole text content
}

TEST_F(Translations, DefaultLanguageIsTheFirstMarkedExactlyTrue) {
    WriteTranslations(R"(
      <language id="it" name="Italiano" default="True"/>
      <language name="Nameless" default="true"/>
      <language id="es" name="Español" default="true"/>
      <language id="fr" name="Français" default="true"/>
    )");
    {
        TTranslationsSession session;
        EXPECT_EQ(GetDefaultLanguage(), "es");
    }
    WriteTranslations(R"(<language id="it" name="Italiano" default="True"/><language id="de" default="TRUE"/>)");
    TTranslationsSession session;
    EXPECT_EQ(GetDefaultLanguage(), "en");
}

TEST_F(Translations, LanguageListSkipsElementsWithoutIdOrName) {
    WriteTranslations(R"(
      <language id="en" name="English"/>
      <language id="xx"/>
      <language name="No code"/>
      <nested><language id="de" name="Deutsch"/></nested>
    )");
    TTranslationsSession session;
    TLanguageList list{{"keep", "Kept"}};
    GetLanguageList(list);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].Id, "keep"); // appends to what the caller had
    EXPECT_EQ(list[1].Id, "en");
    EXPECT_EQ(list[1].Name, "English");
    EXPECT_EQ(list[2].Id, "de");
}

// Missing, malformed and empty files all leave the program on its built-in English.
TEST_F(Translations, UnusableFileGivesEnglishNoLanguagesAndDefaults) {
    const char* const files[] = {
        nullptr, // no file at all
        "<translations><language id=\"de\" name=\"Deutsch\" default=\"true\"/><text id=\"k\">",
        "not xml at all",
        "",
        "<translations><text id=\"maker_fuji\"><t lang=\"en\">Fuji</t></text></translations>",
    };
    for (const char* content : files) {
        SCOPED_TRACE(content ? content : "(missing)");
        std::filesystem::remove(TranslationsPath());
        if (content)
            WriteFile(content);
        MakerTypes()[kMakerFuji].MakerCaption = "stale";
        InitialiseLanguage();
        EXPECT_EQ(CurrentLanguage(), "en");
        EXPECT_TRUE(Languages().empty());
        TTranslationsSession session;
        EXPECT_EQ(Translate(CurrentLanguage(), "k", "Default"), "Default");
        TLanguageList list;
        GetLanguageList(list);
        EXPECT_TRUE(list.empty());
    }
    // The last file has no languages but does carry a maker entry for English.
    EXPECT_EQ(MakerTypes()[kMakerFuji].MakerCaption, "Fuji");
}

TEST_F(Translations, StartUpReadsLanguageAndListAndTranslatesMakers) {
    WriteTranslations(std::string(kThreeLanguages) + R"(
      <text id="maker_fuji"><t lang="de">Fujifilm</t></text>
      <text id="maker_FUJI"><t lang="de">Wrong key</t></text>
      <text id="maker_canon"><t lang="de"></t></text>
    )");
    InitialiseLanguage();
    EXPECT_EQ(CurrentLanguage(), "de");
    ASSERT_EQ(Languages().size(), 3u);
    EXPECT_EQ(Languages()[2].Name, "Français");
    EXPECT_EQ(MakerTypes()[kMakerFuji].MakerCaption, "Fujifilm");
    EXPECT_EQ(MakerTypes()[kMakerCanon].MakerCaption, "Canon");
    EXPECT_FALSE(TranslationsOpen());

    // With nothing translated every caption is its maker's name; row 12 stays "FUJI".
    WriteTranslations("");
    InitialiseLanguage();
    for (const TSupportedFileType& row : MakerTypes())
        EXPECT_EQ(row.MakerCaption, row.Maker);
    EXPECT_EQ(MakerTypes()[12].MakerCaption, "FUJI");
}

TEST_F(Translations, ChoosingALanguageMarksExactlyThatOneInTheFile) {
    WriteTranslations(kThreeLanguages);
    {
        TTranslationsSession session;
        ASSERT_TRUE(SetDefaultLanguage("fr"));
        // The open document reflects the change at once.
        EXPECT_EQ(GetDefaultLanguage(), "fr");
    }
    pugi::xml_document saved;
    ASSERT_TRUE(saved.load_file(TranslationsPath().c_str(), pugi::parse_full));
    int marked = 0, unmarked = 0;
    for (pugi::xpath_node node : saved.select_nodes("//language")) {
        const std::string mark = node.node().attribute("default").value();
        (mark == "true" ? marked : unmarked)++;
        EXPECT_EQ(mark == "true", std::string(node.node().attribute("id").value()) == "fr");
    }
    EXPECT_EQ(marked, 1);
    EXPECT_EQ(unmarked, 2); // including the element that had no mark before
    // Texts, their spacing and the translator's comment survive the save.
    EXPECT_NE(ReadFile(TranslationsPath()).find("a comment the translator wrote"), std::string::npos);
    TTranslationsSession session;
    EXPECT_EQ(GetDefaultLanguage(), "fr");
    EXPECT_EQ(Translate("de", "greeting", ""), "Hallo  ");

    // A code that no language carries leaves none marked, so the next start uses English.
    ASSERT_TRUE(SetDefaultLanguage("pt"));
    EXPECT_EQ(GetDefaultLanguage(), "en");
}

TEST_F(Translations, ChoosingALanguageReportsAFileThatCannotBeWritten) {
    WriteTranslations(kThreeLanguages);
    const std::string before = ReadFile(TranslationsPath());

    if (::geteuid() != 0) { // the superuser writes through missing permissions
        std::filesystem::permissions(root_ / "data", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
        {
            TTranslationsSession session;
            ASSERT_TRUE(session.Loaded());
            EXPECT_FALSE(SetDefaultLanguage("fr"));
        }
        EXPECT_EQ(ReadFile(TranslationsPath()), before);
        std::filesystem::permissions(root_ / "data", std::filesystem::perms::owner_all);
    }

    // The folder vanishes while the document is open (the drive was unplugged).
    {
        TTranslationsSession session;
        std::filesystem::remove_all(root_ / "data");
        EXPECT_FALSE(SetDefaultLanguage("fr"));
    }
    EXPECT_FALSE(std::filesystem::exists(root_ / "data"));
}

TEST_F(Translations, ChoosingALanguageNeverOverwritesAFileThatDidNotLoad) {
    const std::string broken = "<translations><language id=\"de\" name=\"Deutsch\" default=\"true\"/>";
    WriteFile(broken);
    {
        TTranslationsSession session;
        EXPECT_FALSE(session.Loaded());
        EXPECT_FALSE(SetDefaultLanguage("de"));
    }
    EXPECT_EQ(ReadFile(TranslationsPath()), broken);
    std::filesystem::remove(TranslationsPath());
    TTranslationsSession session;
    EXPECT_FALSE(SetDefaultLanguage("en"));
    EXPECT_FALSE(std::filesystem::exists(TranslationsPath()));
}

TEST_F(Translations, GroupsNestAndEachOutermostGroupReadsTheFileAfresh) {
    WriteTranslations(kThreeLanguages);
    EXPECT_EQ(Translate("en", "greeting", "Default"), "Default"); // no group open
    {
        TTranslationsSession outer;
        {
            TTranslationsSession inner;
            EXPECT_EQ(Translate("en", "greeting", ""), "Hello");
        }
        EXPECT_TRUE(TranslationsOpen());
        EXPECT_EQ(Translate("en", "greeting", ""), "Hello"); // the inner close kept the document
        WriteTranslations(R"(<text id="greeting"><t lang="en">Edited</t></text>)");
        EXPECT_EQ(Translate("en", "greeting", ""), "Hello");
    }
    EXPECT_FALSE(TranslationsOpen());
    CloseTranslations(); // an unmatched close is harmless
    EXPECT_FALSE(TranslationsOpen());
    TTranslationsSession next;
    EXPECT_EQ(Translate("en", "greeting", ""), "Edited");
}

} // namespace
} // namespace lumivore
