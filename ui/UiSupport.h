#pragma once
// What every window shares: translated texts by key, the form translation of a whole widget
// tree, error and question boxes, and opening links in the desktop's programs. Boxes and links
// go through replaceable hooks so that widget tests can record them instead of blocking on a
// modal box or starting a browser.

#include <functional>

#include <QMessageBox>
#include <QString>
#include <QUrl>

class QWidget;

namespace lumivore {

// The text of a key in the current language; the built-in English text when the file has none.
// Opens its own group of lookups.
QString Tr(const char* key);

// Applies the form translation of the current language to widget and all its named children;
// the widget's title takes the text of windowName.
void TranslateWidget(QWidget* widget, const QString& windowName);

// An error box with the caption "Lumivore", the error icon and an OK button.
void ShowError(QWidget* parent, const QString& text);
// A box with the caption "Lumivore" asking yes or no; true for yes.
bool AskYesNo(QWidget* parent, const QString& text);
// Opens a web address, mail link or local file with the desktop's program; false on failure.
bool OpenUrl(const QUrl& url);

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

// An SVG picture of the resources drawn at that size (device pixel ratio of the screen).
QPixmap SvgPixmap(const QString& resource, const QSize& size);

} // namespace lumivore
