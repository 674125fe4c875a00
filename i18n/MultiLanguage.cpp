#include "i18n/MultiLanguage.h"

#include <cstdio>
#include <filesystem>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

#include <pugixml.hpp>

#include "engine/FileTypes.h"
#include "i18n/TranslationKeys.h"
#include "support/AppInfo.h"
#include "support/Settings.h"

namespace lumivore {

namespace {

// Comments, processing instructions and the declaration are kept so that saving the file
// after a change of language writes back what the translator wrote.
constexpr unsigned kParseOptions = pugi::parse_full;

struct TTranslationsState {
    std::unique_ptr<pugi::xml_document> Document; // present while a group is open
    bool ReadFromFile = false;                     // the document holds the file's contents
    int Depth = 0;                                 // nesting of open groups
};

TTranslationsState& State() {
    static TTranslationsState state;
    return state;
}

const pugi::xml_document* OpenDocument() {
    return State().Document.get();
}

// Next node after `node` in document order within `root`'s subtree, without recursion.
pugi::xml_node NextInDocumentOrder(pugi::xml_node node, pugi::xml_node root) {
    if (pugi::xml_node child = node.first_child())
        return child;
    while (node && node != root) {
        if (pugi::xml_node sibling = node.next_sibling())
            return sibling;
        node = node.parent();
    }
    return {};
}

// Calls `visit` for every element named `tag`, in document order, wherever it stands.
template <typename TVisit>
void ForEachElement(const pugi::xml_node& root, const char* tag, TVisit visit) {
    for (pugi::xml_node node = root.first_child(); node; node = NextInDocumentOrder(node, root)) {
        if (node.type() == pugi::node_element && std::string_view(node.name()) == tag)
            visit(node);
    }
}

// All character data below `element`, concatenated in document order (comments excluded).
std::string TextContent(const pugi::xml_node& element) {
    std::string text;
    for (pugi::xml_node node = element.first_child(); node; node = NextInDocumentOrder(node, element)) {
        if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata)
            text += node.value();
    }
    return text;
}

// An attribute's text, or nothing when the element does not carry it.
bool AttributeText(const pugi::xml_node& element, const char* name, std::string_view& value) {
    pugi::xml_attribute attribute = element.attribute(name);
    if (!attribute)
        return false;
    value = attribute.value();
    return true;
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
    std::size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

// Writes the document beside the file and moves it over the file, so that a failed write
// (full disk, lost device) never leaves a truncated translations file behind.
bool SaveOver(const pugi::xml_document& document, const std::string& path) {
    struct stat original {};
    const bool exists = ::stat(path.c_str(), &original) == 0;
    if (exists && ::access(path.c_str(), W_OK) != 0)
        return false;
    const std::string temporary = path + ".saving";
    if (!document.save_file(temporary.c_str(), "  ", pugi::format_default, pugi::encoding_utf8)) {
        std::remove(temporary.c_str());
        return false;
    }
    if (exists)
        ::chmod(temporary.c_str(), original.st_mode & 07777);
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

// The user's copy keeps only the `language` elements, each with its `default` mark; the texts
// always come from the shipped file. So an upgrade that brings new or corrected texts is seen
// at once, and the only thing the copy can hide is the choice of language, which is its purpose.
pugi::xml_document UserCopyOf(const pugi::xml_document& shipped) {
    pugi::xml_document copy;
    pugi::xml_node declaration = copy.append_child(pugi::node_declaration);
    declaration.append_attribute("version").set_value("1.0");
    declaration.append_attribute("encoding").set_value("UTF-8");
    pugi::xml_node root = copy.append_child("translations");
    ForEachElement(shipped, "language", [&](const pugi::xml_node& language) {
        pugi::xml_node kept = root.append_child("language");
        for (pugi::xml_attribute attribute : language.attributes())
            kept.append_attribute(attribute.name()).set_value(attribute.value());
    });
    return copy;
}

// The language the user's copy marks "true" (the first such element), or nothing.
bool UserChoice(std::string& code) {
    pugi::xml_document copy;
    if (!copy.load_file(UserTranslationsPath().c_str(), kParseOptions))
        return false;
    bool found = false;
    ForEachElement(copy, "language", [&](const pugi::xml_node& language) {
        std::string_view mark, id;
        if (found || !AttributeText(language, "default", mark) || mark != "true" ||
            !AttributeText(language, "id", id) || id.empty())
            return;
        code = id;
        found = true;
    });
    return found;
}

bool OffersLanguage(const pugi::xml_document& document, std::string_view code) {
    bool offered = false;
    ForEachElement(document, "language", [&](const pugi::xml_node& language) {
        std::string_view id;
        offered = offered || (AttributeText(language, "id", id) && id == code);
    });
    return offered;
}

// Marks `code` "true" and every other language "false" in the document.
void MarkDefault(pugi::xml_document& document, std::string_view code) {
    ForEachElement(document, "language", [&](pugi::xml_node language) {
        std::string_view id;
        const bool chosen = AttributeText(language, "id", id) && id == code;
        pugi::xml_attribute mark = language.attribute("default");
        if (!mark)
            mark = language.append_attribute("default");
        mark.set_value(chosen ? "true" : "false");
    });
}

} // namespace

std::string UserTranslationsPath() {
    return (std::filesystem::path(TSettingsStore::DefaultPath()).parent_path() / "translations.xml").string();
}

std::string& CurrentLanguage() {
    static std::string language;
    return language;
}

TLanguageList& Languages() {
    static TLanguageList languages;
    return languages;
}

std::string TranslationsPath() {
    return DataDir() + "translations.xml";
}

bool OpenTranslations() {
    TTranslationsState& state = State();
    if (state.Depth++ > 0)
        return state.ReadFromFile;
    state.Document = std::make_unique<pugi::xml_document>();
    const pugi::xml_parse_result result = state.Document->load_file(TranslationsPath().c_str(), kParseOptions);
    state.ReadFromFile = static_cast<bool>(result);
    if (!state.ReadFromFile) {
        state.Document->reset(); // a partly parsed file counts as no file
        return false;
    }
    // The user's own choice, kept where the shipped file could not be written, counts over the
    // shipped marks, as long as the shipped file still offers that language.
    std::string chosen;
    if (UserChoice(chosen) && OffersLanguage(*state.Document, chosen))
        MarkDefault(*state.Document, chosen);
    return true;
}

void CloseTranslations() {
    TTranslationsState& state = State();
    if (state.Depth == 0)
        return;
    if (--state.Depth == 0) {
        state.Document.reset();
        state.ReadFromFile = false;
    }
}

bool TranslationsOpen() {
    return State().Depth > 0;
}

std::string ReplaceEscapes(std::string_view text) {
    std::string result(text);
    ReplaceAll(result, "/r", "\r");
    ReplaceAll(result, "//", "/");
    return result;
}

std::string Translate(std::string_view language, std::string_view key, std::string_view defaultText) {
    std::string result;
    if (const pugi::xml_document* document = OpenDocument()) {
        ForEachElement(*document, "text", [&](const pugi::xml_node& text) {
            std::string_view id;
            if (!AttributeText(text, "id", id) || id != key)
                return;
            for (pugi::xml_node child = text.first_child(); child; child = child.next_sibling()) {
                std::string_view lang;
                if (child.type() == pugi::node_element && AttributeText(child, "lang", lang) && lang == language) {
                    result = ReplaceEscapes(TextContent(child));
                    break;
                }
            }
        });
    }
    if (result.empty())
        result = defaultText;
    return result;
}

bool PluralIsOne(std::string_view language, long long count) {
    // Languages named by a region ("fr-CA", "fr_BE") count as the language.
    const std::string_view base = language.substr(0, language.find_first_of("-_"));
    if (base == "fr")
        return count == 0 || count == 1;
    return count == 1;
}

std::string GetDefaultLanguage() {
    std::string result = "en";
    const pugi::xml_document* document = OpenDocument();
    if (!document)
        return result;
    bool found = false;
    ForEachElement(*document, "language", [&](const pugi::xml_node& language) {
        std::string_view mark, id;
        // An element marked default but naming no language cannot be the one in use.
        if (found || !AttributeText(language, "default", mark) || mark != "true" ||
            !AttributeText(language, "id", id) || id.empty())
            return;
        result = id;
        found = true;
    });
    return result;
}

void GetLanguageList(TLanguageList& list) {
    const pugi::xml_document* document = OpenDocument();
    if (!document)
        return;
    ForEachElement(*document, "language", [&](const pugi::xml_node& language) {
        std::string_view id, name;
        if (AttributeText(language, "id", id) && AttributeText(language, "name", name))
            list.push_back({std::string(id), std::string(name)});
    });
}

bool SetDefaultLanguage(std::string_view code) {
    TTranslationsState& state = State();
    if (!state.Document || !state.ReadFromFile)
        return false;
    MarkDefault(*state.Document, code);
    const std::string userPath = UserTranslationsPath();
    if (SaveOver(*state.Document, TranslationsPath())) {
        // The shipped file now carries this user's choice; an older copy would override it.
        std::remove(userPath.c_str());
        return true;
    }
    // An installed file belongs to root: keep the choice in the user's own copy instead.
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(userPath).parent_path(), ec);
    return SaveOver(UserCopyOf(*state.Document), userPath);
}

void TranslateMakerCaptions() {
    for (TSupportedFileType& row : MakerTypes()) {
        std::string key = "maker_";
        for (char c : row.Maker)
            key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        row.MakerCaption = Translate(CurrentLanguage(), key, row.Maker);
    }
    // The phone and video rows carry their type names in the same field.
    static_assert(kPhoneTypeKeys.size() == kPhoneTypeCount);
    for (std::size_t i = 0; i < kPhoneTypeCount; ++i)
        PhoneTypes()[i].MakerCaption = Translate(CurrentLanguage(), kPhoneTypeKeys[i].Key, PhoneTypes()[i].Name);
}

void InitialiseLanguage() {
    {
        TTranslationsSession session;
        CurrentLanguage() = GetDefaultLanguage();
        TLanguageList languages;
        GetLanguageList(languages);
        Languages() = std::move(languages);
    }
    TTranslationsSession session;
    TranslateMakerCaptions();
}

void FinaliseLanguage() {
    Languages().clear();
    CurrentLanguage().clear();
}

} // namespace lumivore
