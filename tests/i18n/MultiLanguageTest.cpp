#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include <sys/wait.h>
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

// "1 file recovered", "2 files recovered"; French says "0 fichier récupéré" too.
TEST(PluralForms, SingularIsOneAloneExceptFrenchWhereZeroIsToo) {
    for (const char* language : {"en", "de", "es", "it", "xx", ""}) {
        SCOPED_TRACE(language);
        EXPECT_TRUE(PluralIsOne(language, 1));
        EXPECT_FALSE(PluralIsOne(language, 0));
        EXPECT_FALSE(PluralIsOne(language, 2));
        EXPECT_FALSE(PluralIsOne(language, 11));
        EXPECT_FALSE(PluralIsOne(language, -1));
    }
    for (const char* language : {"fr", "fr-CA", "fr_BE"}) {
        SCOPED_TRACE(language);
        EXPECT_TRUE(PluralIsOne(language, 0));
        EXPECT_TRUE(PluralIsOne(language, 1));
        EXPECT_FALSE(PluralIsOne(language, 2));
    }
    EXPECT_FALSE(PluralIsOne("fry", 0)); // another language whose code starts alike
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
      <text id="phone_mp4"><t lang="de">MP4-Video</t></text>
    )");
    InitialiseLanguage();
    EXPECT_EQ(CurrentLanguage(), "de");
    ASSERT_EQ(Languages().size(), 3u);
    EXPECT_EQ(Languages()[2].Name, "Français");
    EXPECT_EQ(MakerTypes()[kMakerFuji].MakerCaption, "Fujifilm");
    EXPECT_EQ(MakerTypes()[kMakerCanon].MakerCaption, "Canon");
    // The phone and video rows are translated the same way, by their own keys.
    EXPECT_EQ(PhoneTypes()[kPhoneMp4].MakerCaption, "MP4-Video");
    EXPECT_EQ(PhoneTypes()[kPhoneMov].MakerCaption, "QuickTime video");
    EXPECT_FALSE(TranslationsOpen());

    // With nothing translated every caption is its maker's name; row 12 stays "FUJI".
    WriteTranslations("");
    InitialiseLanguage();
    for (const TSupportedFileType& row : MakerTypes())
        EXPECT_EQ(row.MakerCaption, row.Maker);
    EXPECT_EQ(MakerTypes()[12].MakerCaption, "FUJI");
    for (const TSupportedFileType& row : PhoneTypes())
        EXPECT_EQ(row.MakerCaption, row.Name);
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

// Runs `work` as someone who cannot write the shipped file: the user nobody in a child process
// when the tests run as root (root writes through any permission), else the test's own user with
// the data folder made read-only. True when `work` returned true.
bool RunWithoutWriteRights(const std::filesystem::path& root, const std::function<bool()>& work) {
    namespace fs = std::filesystem;
    const fs::perms readable = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(root, readable);
    if (::geteuid() != 0) {
        fs::permissions(root / "data", fs::perms::owner_read | fs::perms::owner_exec);
        const bool result = work();
        fs::permissions(root / "data", fs::perms::owner_all);
        return result;
    }
    constexpr uid_t kNobody = 65534;
    fs::permissions(root / "data", readable);
    fs::create_directories(root / "config");
    if (::chown((root / "config").c_str(), kNobody, kNobody) != 0)
        return false;
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(2);
        ::_exit(work() ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(Translations, ChoiceOfAUserWhoCannotWriteTheShippedFileIsKeptInTheirOwnCopy) {
    WriteTranslations(kThreeLanguages);
    const std::string shipped = ReadFile(TranslationsPath());

    ASSERT_TRUE(RunWithoutWriteRights(root_, [] {
        TTranslationsSession session;
        return session.Loaded() && SetDefaultLanguage("fr") && GetDefaultLanguage() == "fr";
    }));
    EXPECT_EQ(ReadFile(TranslationsPath()), shipped) << "the shipped file was changed";
    const std::string copy = ReadFile(UserTranslationsPath());
    EXPECT_EQ(std::filesystem::path(UserTranslationsPath()).parent_path(), root_ / "config");
    EXPECT_NE(copy.find("\"fr\""), std::string::npos);
    EXPECT_EQ(copy.find("Hallo"), std::string::npos) << "the user's copy must not keep texts";

    InitialiseLanguage();
    EXPECT_EQ(CurrentLanguage(), "fr");
    EXPECT_EQ(Languages().size(), 3u);

    // An upgrade brings a French text and a new language: both are seen, the choice stays.
    WriteTranslations(R"(
      <language id="en" name="English"/>
      <language id="de" name="Deutsch" default="true"/>
      <language id="fr" name="Français"/>
      <language id="it" name="Italiano"/>
      <text id="greeting"><t lang="fr">Bonjour</t><t lang="it">Ciao</t></text>)");
    {
        TTranslationsSession session;
        EXPECT_EQ(GetDefaultLanguage(), "fr");
        EXPECT_EQ(Translate("fr", "greeting", "Hello"), "Bonjour");
        TLanguageList list;
        GetLanguageList(list);
        EXPECT_EQ(list.size(), 4u);
    }

    // A later shipped file without French: its own default language applies.
    WriteTranslations(R"(<language id="en" name="English"/><language id="de" name="Deutsch" default="true"/>)");
    {
        TTranslationsSession session;
        EXPECT_EQ(GetDefaultLanguage(), "de");
    }

    // Someone who can write the shipped file chooses: it carries the choice and the old copy
    // goes, or it would override that choice for this user.
    {
        TTranslationsSession session;
        ASSERT_TRUE(SetDefaultLanguage("en"));
    }
    EXPECT_FALSE(std::filesystem::exists(UserTranslationsPath()));
    TTranslationsSession session;
    EXPECT_EQ(GetDefaultLanguage(), "en");
}

TEST_F(Translations, ChoosingALanguageReportsThatNeitherFileCanBeWritten) {
    WriteTranslations(kThreeLanguages);

    // The folder vanishes while the document is open (the drive was unplugged): the choice
    // still reaches the user's copy.
    {
        TTranslationsSession session;
        std::filesystem::remove_all(root_ / "data");
        EXPECT_TRUE(SetDefaultLanguage("fr"));
    }
    EXPECT_FALSE(std::filesystem::exists(root_ / "data"));
    EXPECT_NE(ReadFile(UserTranslationsPath()).find("\"fr\""), std::string::npos);

    // And when the settings folder cannot be made either (a file stands in its place), the
    // caller is told; nothing is left behind.
    std::filesystem::create_directories(root_ / "data");
    WriteTranslations(kThreeLanguages);
    std::ofstream(root_ / "blocker") << "not a folder";
    ::setenv("LUMIVORE_CONFIG", (root_ / "blocker" / "Lumivore.xml").c_str(), 1);
    {
        TTranslationsSession session;
        std::filesystem::remove_all(root_ / "data");
        EXPECT_FALSE(SetDefaultLanguage("fr"));
    }
    EXPECT_EQ(ReadFile((root_ / "blocker").string()), "not a folder");
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
