#include "ui/UiSupport.h"

#include <string>
#include <vector>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>
#include <QWidget>

#include "i18n/FormTranslation.h"
#include "i18n/MultiLanguage.h"
#include "i18n/TranslationKeys.h"

namespace lumivore {

TUiHooks& UiHooks() {
    static TUiHooks hooks;
    return hooks;
}

QString Tr(const char* key) {
    TTranslationsSession session;
    return QString::fromStdString(Translate(CurrentLanguage(), key, DefaultText(key)));
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
    TTranslationsSession session;
    TranslateForm(
        CurrentLanguage(), window, components,
        [&](std::size_t index, const std::string& caption) { SetCaption(widgets[index], QString::fromStdString(caption)); },
        [&](const std::string& title) { widget->setWindowTitle(QString::fromStdString(title)); });
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

} // namespace lumivore

#include <QCoreApplication>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QTranslator>
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
