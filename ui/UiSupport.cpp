#include "ui/UiSupport.h"

#include <string>
#include <vector>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QRegularExpression>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QWidget>

#include "engine/Recovery.h"
#include "i18n/FormTranslation.h"
#include "i18n/MultiLanguage.h"
#include "i18n/TranslationKeys.h"
#include "support/AppInfo.h"

namespace lumivore {

TUiHooks& UiHooks() {
    static TUiHooks hooks;
    return hooks;
}

QString DisplayText(const std::string& text) {
    QString shown = QString::fromStdString(text);
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

QString Tr(const char* key) {
    TTranslationsSession session;
    return DisplayText(Translate(CurrentLanguage(), key, DefaultText(key)));
}

QString CountText(const std::string& key, long long count) {
    const std::string form = key + (PluralIsOne(CurrentLanguage(), count) ? "_one" : "_other");
    return FillFormat(Tr(form.c_str()), QLocale().toString(count));
}

QString RecoveryNotes(const TRecoveryResult& result) {
    long long reassembled = 0, incomplete = 0;
    for (const TRecoveryEntry& entry : result.Files) {
        if (entry.Status != TRecoveryStatus::Recovered)
            continue;
        const TFoundFile& f = result.FileOf(entry);
        reassembled += f.Reassembled() ? 1 : 0;
        incomplete += f.Incomplete ? 1 : 0;
    }
    QStringList lines;
    if (reassembled > 0)
        lines << CountText("scan_reassembled", reassembled);
    if (incomplete > 0)
        lines << CountText("scan_incomplete", incomplete);
    // A count of failures alone says nothing of their causes; the report beside the files does.
    if (result.Failed + result.Abandoned > 0 && !result.ReportPath.empty())
        lines << FillFormat(Tr("msg_seereport"),
                            QFileInfo(QString::fromStdString(result.ReportPath)).fileName());
    return lines.join(QLatin1Char('\n'));
}

namespace {

TComponentKind KindOf(const QWidget* w) {
    if (qobject_cast<const QCheckBox*>(w))
        return TComponentKind::CheckBox;
    if (qobject_cast<const QRadioButton*>(w))
        return TComponentKind::RadioButton;
    if (qobject_cast<const QToolButton*>(w))
        return TComponentKind::ToolButton;
    if (qobject_cast<const QAbstractButton*>(w))
        return TComponentKind::Button;
    if (qobject_cast<const QGroupBox*>(w))
        return TComponentKind::GroupBox;
    if (qobject_cast<const QLabel*>(w))
        return TComponentKind::Label;
    if (qobject_cast<const QLineEdit*>(w))
        return TComponentKind::Edit;
    if (qobject_cast<const QComboBox*>(w))
        return TComponentKind::ComboBox;
    return TComponentKind::Other;
}

void SetCaption(QWidget* w, const QString& text) {
    if (auto* button = qobject_cast<QAbstractButton*>(w))
        button->setText(text);
    else if (auto* group = qobject_cast<QGroupBox*>(w))
        group->setTitle(text);
    else if (auto* label = qobject_cast<QLabel*>(w))
        label->setText(text);
}

} // namespace

void TranslateWidget(QWidget* widget, const QString& windowName) {
    std::vector<QWidget*> widgets;
    std::vector<std::string> names; // kept alive while TranslateForm reads the views
    for (QWidget* child : widget->findChildren<QWidget*>()) {
        if (child->objectName().isEmpty() || child->objectName().startsWith(QLatin1String("qt_")))
            continue;
        widgets.push_back(child);
        names.push_back(child->objectName().toStdString());
    }
    std::vector<TFormComponent> components;
    components.reserve(widgets.size());
    for (std::size_t i = 0; i < widgets.size(); ++i)
        components.push_back({names[i], KindOf(widgets[i])});
    const std::string window = windowName.toStdString();
    std::vector<bool> translated(widgets.size(), false);
    bool titled = false;
    TTranslationsSession session;
    TranslateForm(
        CurrentLanguage(), window, components,
        [&](std::size_t index, const std::string& caption) {
            SetCaption(widgets[index], DisplayText(caption));
            translated[index] = true;
        },
        [&](const std::string& title) {
            widget->setWindowTitle(DisplayText(title));
            titled = true;
        });
    // What the file leaves out shows in English, also after a switch from another language.
    for (std::size_t i = 0; i < widgets.size(); ++i) {
        const std::string_view english = DefaultText(names[i]);
        if (!translated[i] && !english.empty() && TakesTranslatedCaption(components[i].Kind))
            SetCaption(widgets[i], QString::fromUtf8(english.data(), static_cast<qsizetype>(english.size())));
    }
    if (const std::string_view english = DefaultText(window); !titled && !english.empty())
        widget->setWindowTitle(QString::fromUtf8(english.data(), static_cast<qsizetype>(english.size())));
}

QString ProductTitle() { return QStringLiteral("Lumivore ") + QString::fromStdString(AppFileVersion()); }

QString HelpPage(const QString& name) {
    const QString help = QString::fromStdString(DataDir()) + QStringLiteral("help/");
    const QString language = QString::fromStdString(CurrentLanguage());
    // A language code names a folder: letters, digits and dashes only.
    static const QRegularExpression kCode(QStringLiteral("^[A-Za-z0-9_-]+$"));
    if (kCode.match(language).hasMatch()) {
        const QString translated = help + language + QLatin1Char('/') + name;
        if (QFileInfo::exists(translated))
            return translated;
    }
    return help + name;
}

void ShowError(QWidget* parent, const QString& text) {
    if (UiHooks().Message) {
        UiHooks().Message(QMessageBox::Critical, text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Lumivore"), text, QMessageBox::Ok, parent);
    box.exec();
}

bool AskYesNo(QWidget* parent, const QString& text) {
    if (UiHooks().Question)
        return UiHooks().Question(text);
    QMessageBox box(QMessageBox::Question, QStringLiteral("Lumivore"), text, QMessageBox::Yes | QMessageBox::No,
                    parent);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

bool OpenUrl(const QUrl& url) {
    if (UiHooks().Url)
        return UiHooks().Url(url);
    return QDesktopServices::openUrl(url);
}

bool OpenUrlOrSay(QWidget* parent, const QUrl& url) {
    if (OpenUrl(url))
        return true;
    ShowError(parent, FillFormat(Tr("msg_openfailed"), url.isLocalFile() ? url.toLocalFile() : url.toString()));
    return false;
}

} // namespace lumivore

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QTranslator>
#include <QLayout>
#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

// The artwork lives in a static library, whose resources must be registered by a call.
static void InitUiResources() {
    static const bool done = [] {
        Q_INIT_RESOURCE(ui);
        return true;
    }();
    (void)done;
}

namespace lumivore {

QString FillFormat(QString format, const QString& value) {
    qsizetype at = -1;
    for (qsizetype i = 0; i + 1 < format.size(); ++i) {
        if (format[i] == QLatin1Char('%') && (format[i + 1] == QLatin1Char('d') || format[i + 1] == QLatin1Char('s'))) {
            at = i;
            break;
        }
    }
    if (at >= 0)
        format.replace(at, 2, value);
    return format;
}

QString FillFormat(QString format, long long value) { return FillFormat(std::move(format), QString::number(value)); }

void LoadToolkitTranslations() {
    static QTranslator* translator = nullptr;
    if (translator == nullptr)
        translator = new QTranslator(QCoreApplication::instance());
    QCoreApplication::removeTranslator(translator);
    if (translator->load(QStringLiteral("qtbase_") + QString::fromStdString(CurrentLanguage()),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(translator);
}

void FitFixedSize(QWidget* window, const QSize& least) {
    QLayout* layout = window->layout();
    if (layout == nullptr) {
        window->setFixedSize(least.expandedTo(window->sizeHint()));
        return;
    }
    // Texts set since the last layout pass are not in the layouts' cached sizes yet, and hidden
    // pages never pass theirs on: every cache is dropped before the size is asked.
    for (QWidget* child : window->findChildren<QWidget*>())
        child->updateGeometry();
    for (QLayout* inner : window->findChildren<QLayout*>())
        inner->invalidate();
    layout->invalidate();
    layout->activate();
    const QSize hint = layout->totalSizeHint();
    const int width = std::max(least.width(), hint.width());
    int height = hint.height();
    if (layout->hasHeightForWidth())
        height = std::max(height, layout->totalHeightForWidth(width));
    window->setFixedSize(width, std::max(least.height(), height));
}

QPixmap SvgPixmap(const QString& resource, const QSize& size) {
    InitUiResources();
    const qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(size * ratio);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(resource);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(ratio);
    return pixmap;
}

} // namespace lumivore
