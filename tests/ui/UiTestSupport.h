#pragma once
// What the widget tests share: a program folder of their own with a copy of the shipped
// translations (so that choosing a language never rewrites the build's file) and help pages,
// English as the starting language, a fixed number format, and recorders in place of message
// boxes, questions and the desktop's link opener.

#include <algorithm>

#include <QAbstractButton>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QRegularExpression>
#include <QStyleOptionComboBox>
#include <QStyleOptionGroupBox>
#include <QTabBar>
#include <QTreeWidget>
#include <QLocale>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include "device/DskLib.h"
#include "i18n/MultiLanguage.h"
#include "support/AppInfo.h"
#include "ui/UiSupport.h"

namespace lumivore::testing {

class TUiTestEnvironment {
public:
    TUiTestEnvironment() {
        QDir().mkpath(dir_.path() + QStringLiteral("/data"));
        QFile::copy(QStringLiteral(LUMIVORE_SOURCE_DIR "/data/translations.xml"),
                    dir_.path() + QStringLiteral("/data/translations.xml"));
        QFile::setPermissions(dir_.path() + QStringLiteral("/data/translations.xml"),
                              QFile::ReadOwner | QFile::WriteOwner);
        const QDir help(QStringLiteral(LUMIVORE_SOURCE_DIR "/data/help"));
        QStringList folders = help.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        folders << QString(); // the English pages themselves
        for (const QString& sub : folders) {
            const QString from = help.filePath(sub), to = dir_.path() + QStringLiteral("/data/help/") + sub;
            QDir().mkpath(to);
            for (const QString& page : QDir(from).entryList(QDir::Files))
                QFile::copy(from + QLatin1Char('/') + page, to + QLatin1Char('/') + page);
        }
        SetAppDir((dir_.path() + QLatin1Char('/')).toStdString());
        InitialiseLanguage();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        TDeviceCatalogue::Instance().Clear();
        PhysicalDrives().clear();
        UiHooks().Message = [this](QMessageBox::Icon, const QString& text) { Messages << text; };
        UiHooks().Question = [this](const QString& text) {
            Questions << text;
            return Answer;
        };
        UiHooks().Url = [this](const QUrl& url) {
            Urls << url;
            return true;
        };
    }
    ~TUiTestEnvironment() {
        UiHooks() = TUiHooks{};
        FinaliseLanguage();
    }

    // Back to English with the shipped file, between test functions.
    void Reset() {
        QFile::remove(dir_.path() + QStringLiteral("/data/translations.xml"));
        QFile::copy(QStringLiteral(LUMIVORE_SOURCE_DIR "/data/translations.xml"),
                    dir_.path() + QStringLiteral("/data/translations.xml"));
        QFile::setPermissions(dir_.path() + QStringLiteral("/data/translations.xml"),
                              QFile::ReadOwner | QFile::WriteOwner);
        InitialiseLanguage();
        Messages.clear();
        Questions.clear();
        Urls.clear();
        Answer = false;
    }

    QString Path() const { return dir_.path(); }

    QStringList Messages;
    QStringList Questions;
    QList<QUrl> Urls;
    bool Answer = false;

private:
    QTemporaryDir dir_;
};

// Every text of a window that the user cannot read whole, as "name: text": a label, button,
// check box, group box title, tab or drop-down entry whose text needs more room than the
// control has, and every row of a tree or list whose columns are narrower than their texts.
// Only what is shown counts (controls on a hidden page are left out).
inline QStringList ClippedTexts(QWidget* window) {
    QStringList clipped;
    const auto shown = [window](QWidget* w) { return w == window || w->isVisibleTo(window); };
    const auto note = [&clipped](QWidget* w, const QString& text, QSize need, QSize have) {
        clipped << QStringLiteral("%1 \"%2\": needs %3x%4, has %5x%6")
                       .arg(w->objectName(), text)
                       .arg(need.width())
                       .arg(need.height())
                       .arg(have.width())
                       .arg(have.height());
    };
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (!shown(label) || label->text().isEmpty() || !label->pixmap().isNull())
            continue;
        if (label->wordWrap()) {
            const int need = label->heightForWidth(label->width());
            // A wrapped text also needs its longest word on one line.
            QString longest;
            for (const QString& word : label->text().split(QRegularExpression(QStringLiteral("\\s+"))))
                if (word.size() > longest.size())
                    longest = word;
            const int wordWidth = label->fontMetrics().horizontalAdvance(longest) + 2 * label->margin() +
                                  label->contentsMargins().left() + label->contentsMargins().right();
            if (need > label->height() || wordWidth > label->width())
                note(label, label->text(), QSize(wordWidth, need), label->size());
        } else {
            const QSize need = label->sizeHint();
            if (need.width() > label->width() || need.height() > label->height())
                note(label, label->text(), need, label->size());
        }
    }
    for (QAbstractButton* button : window->findChildren<QAbstractButton*>()) {
        if (!shown(button) || button->text().isEmpty() || button->objectName().startsWith(QLatin1String("qt_")))
            continue;
        const QSize need = button->sizeHint();
        if (need.width() > button->width() || need.height() > button->height())
            note(button, button->text(), need, button->size());
    }
    for (QGroupBox* box : window->findChildren<QGroupBox*>()) {
        if (!shown(box) || box->title().isEmpty())
            continue;
        QStyleOptionGroupBox option;
        option.initFrom(box);
        option.text = box->title();
        option.subControls = QStyle::SC_GroupBoxLabel;
        option.lineWidth = 1;
        const QRect title = box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
        const int need = box->fontMetrics().horizontalAdvance(QString(box->title()).remove(QLatin1Char('&')));
        if (title.width() < need || title.right() > box->width())
            note(box, box->title(), QSize(need, title.height()), QSize(std::min(title.width(), box->width()), title.height()));
    }
    for (QTabBar* tabs : window->findChildren<QTabBar*>()) {
        if (!shown(tabs))
            continue;
        const int space = tabs->style()->pixelMetric(QStyle::PM_TabBarTabHSpace, nullptr, tabs);
        for (int i = 0; i < tabs->count(); ++i) {
            const int need = tabs->fontMetrics().horizontalAdvance(QString(tabs->tabText(i)).remove(QLatin1Char('&'))) + space;
            if (need > tabs->tabRect(i).width() || tabs->tabRect(i).right() > tabs->width())
                note(tabs, tabs->tabText(i), QSize(need, 0), tabs->tabRect(i).size());
        }
    }
    for (QComboBox* combo : window->findChildren<QComboBox*>()) {
        if (!shown(combo) || combo->currentText().isEmpty())
            continue;
        QStyleOptionComboBox option;
        option.initFrom(combo);
        option.currentText = combo->currentText();
        option.currentIcon = combo->itemIcon(combo->currentIndex());
        option.iconSize = combo->iconSize();
        const QRect field = combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
        const int icon = option.currentIcon.isNull() ? 0 : option.iconSize.width() + 4;
        const int need = combo->fontMetrics().horizontalAdvance(combo->currentText()) + icon;
        if (need > field.width())
            note(combo, combo->currentText(), QSize(need, field.height()), field.size());
    }
    for (QTreeWidget* tree : window->findChildren<QTreeWidget*>()) {
        if (!shown(tree) || tree->objectName() == QLatin1String("TreeView1"))
            continue; // the preview's type tree scrolls sideways by design
        const int viewport = tree->viewport()->width();
        int used = 0;
        for (int column = 0; column < tree->columnCount(); ++column) {
            const int width = column + 1 == tree->columnCount() ? viewport - used : tree->columnWidth(column);
            for (int row = 0; row < tree->topLevelItemCount(); ++row) {
                QTreeWidgetItem* item = tree->topLevelItem(row);
                const bool spanned = item->isFirstColumnSpanned();
                if (spanned && column > 0)
                    continue;
                const int need = tree->sizeHintForIndex(tree->model()->index(row, column)).width();
                if (need > (spanned ? viewport : width))
                    note(tree, item->text(column), QSize(need, 0), QSize(spanned ? viewport : width, 0));
            }
            used += tree->columnWidth(column);
        }
    }
    return clipped;
}

// A sparse image file of that many bytes; empty string on failure.
inline QString MakeSparseImage(const QString& path, qint64 bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !file.resize(bytes))
        return {};
    return path;
}

} // namespace lumivore::testing
