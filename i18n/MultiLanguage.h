#pragma once
// The interface language: the translations file beside the program, the language in use, the
// languages the file offers, lookups by key with an English default, the translated camera-maker
// captions, and the user's choice of language, which is kept in the file itself.
//
// Where the user cannot write that file (an installed copy under /usr/share belongs to root),
// the choice goes to a user's copy, translations.xml in the settings folder (beside the settings
// file: $XDG_CONFIG_HOME/Orvandel/). The copy has the same format but keeps only the `language`
// elements with their `default` marks, never texts; its choice counts over the shipped file's
// marks when the shipped file still offers that language. Texts therefore always come from the
// shipped file, so an upgrade's new texts are never hidden by an old copy. A choice saved into
// the shipped file removes the user's copy, whose older choice would otherwise win.
//
// The file is DataDir() + "translations.xml". Its `language` elements (attributes `id`,
// `name`, `default`) and `text` elements (attribute `id`, with one child element per language
// carrying a `lang` attribute and the text) are found by tag name wherever they stand.
//
// Lookups need the document to be open. A group of lookups is bracketed by OpenTranslations and
// CloseTranslations, best through a TTranslationsSession, so that the document is released on
// every path out. The file is parsed afresh for each group, so an edited file takes effect at the
// next group. Groups may nest: only the outermost one loads and releases the document.
//
// Without an open document, or with a missing or malformed file, every lookup gives its default,
// the default language is "en" and the file offers no languages. Nothing here throws or prints.

#include <string>
#include <string_view>
#include <vector>

namespace lumivore {

struct TLanguage {
    std::string Id;   // the code that `lang` attributes refer to ("en")
    std::string Name; // the display name the options dialog shows ("English")
};

using TLanguageList = std::vector<TLanguage>;

// The code of the language in use; every caller passes it to the lookups.
std::string& CurrentLanguage();

// The languages the file offers, in document order, as read at start-up.
TLanguageList& Languages();

// DataDir() + "translations.xml": beside the program in a build tree, in share/lumivore/ when installed.
std::string TranslationsPath();

// The user's copy: translations.xml in the folder of the settings file.
std::string UserTranslationsPath();

// Loads the translations file completely, then applies the user's copy's choice of language. A missing or malformed file leaves the document empty;
// the result says whether the file was read (the group is open either way).
bool OpenTranslations();

// Ends a group of lookups; the outermost close releases the document.
void CloseTranslations();

// True between an OpenTranslations and its CloseTranslations.
bool TranslationsOpen();

// Opens a group of lookups for its lifetime.
class TTranslationsSession {
public:
    TTranslationsSession() : loaded_(OpenTranslations()) {}
    ~TTranslationsSession() { CloseTranslations(); }
    TTranslationsSession(const TTranslationsSession&) = delete;
    TTranslationsSession& operator=(const TTranslationsSession&) = delete;

    bool Loaded() const { return loaded_; }

private:
    bool loaded_;
};

// Replaces "/r" by a carriage return (13) and then "//" by "/", every occurrence of each.
std::string ReplaceEscapes(std::string_view text);

// The text of `key` in `language`, escapes replaced; `defaultText` when there is no entry or the
// entry is empty. With several `text` elements for one key, the last entry for the language wins.
std::string Translate(std::string_view language, std::string_view key, std::string_view defaultText);

// Whether a count takes the singular form ("_one" keys) in that language: 1 alone in English,
// German, Spanish, Italian and most others; 0 and 1 in French.
bool PluralIsOne(std::string_view language, long long count);

// The `id` of the first `language` element whose `default` is exactly "true", else "en".
std::string GetDefaultLanguage();

// Appends every `language` element that has both an `id` and a `name`, in document order.
void GetLanguageList(TLanguageList& list);

// Marks `code` as the default language ("true" on it, "false" on every other `language`
// element) and saves the file, or the user's copy when the file cannot be written. False when
// the document was not read from the file (saving it would overwrite the file with nothing) or
// when neither can be written; the files on disk are then unchanged.
bool SetDefaultLanguage(std::string_view code);

// Recomputes MakerCaption of the camera rows of MakerTypes() for CurrentLanguage(): the text of
// "maker_" + the lower-case maker name, or the maker name itself; and of the rows of
// PhoneTypes(): the text of their key in kPhoneTypeKeys, or the row's name.
void TranslateMakerCaptions();

// Start-up: reads the current language and the language list from the file, then translates the
// camera-maker captions; each in its own group of lookups.
void InitialiseLanguage();

// Shut-down: empties Languages and CurrentLanguage.
void FinaliseLanguage();

} // namespace lumivore
