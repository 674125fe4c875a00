#pragma once
// What every window shares: translated texts by key, the form translation of a whole widget
// tree, error and question boxes, and opening links in the desktop's programs. Boxes and links
// go through replaceable hooks so that widget tests can record them instead of blocking on a
// modal box or starting a browser.

#include <functional>
#include <string>

#include <QMessageBox>
#include <QString>
#include <QUrl>

class QWidget;

namespace lumivore {

struct TRecoveryResult;

// A text of the translations file as the toolkit shows it: the line breaks that "/r" stands for
// (carriage returns, which a label would show as blanks) become line feeds.
QString DisplayText(const std::string& text);

// The text of a key in the current language; the built-in English text when the file has none.
// Opens its own group of lookups.
QString Tr(const char* key);

// A count with its words, in the plural form the current language uses for it: the text of
// key + "_one" or key + "_other", its "%d" filled with the count in the user's number format.
QString CountText(const std::string& key, long long count);

// What a recovery's summary adds to its counts, a line each: how many of the written photos were
// put back together from pieces and how many are incomplete, and where the report says why
// files failed. Empty when there is nothing to add.
QString RecoveryNotes(const TRecoveryResult& result);

// Applies the form translation of the current language to widget and all its named children;
// the widget's title takes the text of windowName. A caption the file does not translate takes
// the program's built-in English text, so the windows are never blank without the file.
void TranslateWidget(QWidget* widget, const QString& windowName);

// An error box with the caption "Lumivore", the error icon and an OK button.
void ShowError(QWidget* parent, const QString& text);
// A box with the caption "Lumivore" asking yes or no; true for yes.
bool AskYesNo(QWidget* parent, const QString& text);
// Opens a web address, mail link or local file with the desktop's program; false on failure.
bool OpenUrl(const QUrl& url);
// The same, telling the user in an error box when the desktop has no program for it.
bool OpenUrlOrSay(QWidget* parent, const QUrl& url);

// "Lumivore 0.1.0": the product with the version the build states, wherever the windows name it.
QString ProductTitle();

// The help page of that name in the current language (data/help/<language>/), or the English
// page (data/help/) when the language has none.
QString HelpPage(const QString& name);

// Test hooks: when set, they stand in for the boxes and the desktop.
struct TUiHooks {
    std::function<void(QMessageBox::Icon icon, const QString& text)> Message;
    std::function<bool(const QString& text)> Question;
    std::function<bool(const QUrl& url)> Url;
};
TUiHooks& UiHooks();

} // namespace lumivore

class QPixmap;
class QSize;

namespace lumivore {

// The format with its first "%d" or "%s" replaced by value. Formats come from the translations
// file, so they are never handed to printf.
QString FillFormat(QString format, const QString& value);
QString FillFormat(QString format, long long value);

// Loads the toolkit's own texts (standard buttons, file dialogs) in the current language.
void LoadToolkitTranslations();

// Gives a window of fixed size the size its layout needs for the texts it shows now, and at least
// `least`: word-wrapped texts count at the width the window gets. Called again after a change of
// language.
void FitFixedSize(QWidget* window, const QSize& least);

// An SVG picture of the resources drawn at that size (device pixel ratio of the screen).
QPixmap SvgPixmap(const QString& resource, const QSize& size);

} // namespace lumivore
