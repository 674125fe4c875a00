#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "i18n/FormTranslation.h"
#include "i18n/TranslationsFixture.h"

namespace lumivore {
namespace {

using FormTranslation = testing::TTranslationsFixture;

struct TRecorder {
    std::vector<std::pair<std::size_t, std::string>> Captions;
    std::optional<std::string> Title;

    void Run(std::string_view language, std::string_view window, std::span<const TFormComponent> components) {
        TranslateForm(
            language, window, components,
            [this](std::size_t i, const std::string& text) { Captions.emplace_back(i, text); },
            [this](const std::string& text) { Title = text; });
    }
};

TEST_F(FormTranslation, OnlyCaptionedKindsTakeTheirTextThenTheTitle) {
    WriteTranslations(R"(
      <text id="frm_test"><t lang="de">Fenster</t></text>
      <text id="lbl_a"><t lang="de">Beschriftung</t></text>
      <text id="gbox_b"><t lang="de">Gruppe</t></text>
      <text id="btn_c"><t lang="de">Knopf</t></text>
      <text id="tbtn_d"><t lang="de">Werkzeug</t></text>
      <text id="mnu_e"><t lang="de">Menü</t></text>
      <text id="chk_f"><t lang="de">Kästchen</t></text>
      <text id="edit_g"><t lang="de">Feld</t></text>
      <text id="cbox_h"><t lang="de">Liste</t></text>
      <text id="radio_i"><t lang="de">Knopf</t></text>
      <text id="panel_j"><t lang="de">Fläche</t></text>
      <text id="btn_fr"><t lang="fr">Bouton</t></text>
      <text id="btn_empty"><t lang="de"></t></text>
    )");
    const std::array<TFormComponent, 14> components{{
        {"chk_f", TComponentKind::CheckBox},
        {"lbl_a", TComponentKind::Label},
        {"edit_g", TComponentKind::Edit},
        {"gbox_b", TComponentKind::GroupBox},
        {"btn_c", TComponentKind::Button},
        {"cbox_h", TComponentKind::ComboBox},
        {"tbtn_d", TComponentKind::ToolButton},
        {"radio_i", TComponentKind::RadioButton},
        {"mnu_e", TComponentKind::MenuItem},
        {"panel_j", TComponentKind::Other},
        {"btn_fr", TComponentKind::Button},    // only another language has it
        {"btn_empty", TComponentKind::Button}, // empty entry
        {"btn_none", TComponentKind::Button},  // no entry at all
        {"lbl_a", TComponentKind::Label},      // the same name twice gets the text twice
    }};
    TTranslationsSession session;
    TRecorder recorder;
    recorder.Run("de", "frm_test", components);
    const std::vector<std::pair<std::size_t, std::string>> expected{
        {1, "Beschriftung"}, {3, "Gruppe"}, {4, "Knopf"}, {6, "Werkzeug"}, {8, "Menü"}, {13, "Beschriftung"}};
    EXPECT_EQ(recorder.Captions, expected);
    EXPECT_EQ(recorder.Title, "Fenster");
}

TEST_F(FormTranslation, WindowWithoutTextsKeepsEverything) {
    WriteTranslations(R"(<text id="frm_test"><t lang="de">Fenster</t></text>)");
    const std::array<TFormComponent, 1> components{{{"lbl_a", TComponentKind::Label}}};
    TRecorder recorder;
    { // no document open: nothing to apply
        recorder.Run("de", "frm_test", components);
        EXPECT_TRUE(recorder.Captions.empty());
        EXPECT_FALSE(recorder.Title);
    }
    TTranslationsSession session;
    recorder.Run("fr", "frm_test", components);
    EXPECT_TRUE(recorder.Captions.empty());
    EXPECT_FALSE(recorder.Title);
    // Missing callbacks are allowed.
    TranslateForm("de", "frm_test", components, nullptr, nullptr);
}

} // namespace
} // namespace lumivore
