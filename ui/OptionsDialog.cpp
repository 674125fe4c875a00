#include "ui/OptionsDialog.h"

#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QShowEvent>
#include <QVBoxLayout>

#include "engine/ScanEngine.h"
#include "i18n/MultiLanguage.h"
#include "support/Settings.h"
#include "ui/UiSupport.h"

namespace lumivore {

namespace {

constexpr int kFilesOnceChoices[] = {100, 200, 300, 400, 500, 600, 800, 1000};

QLabel* NamedLabel(QWidget* parent, const char* name, bool wrap = false) {
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setWordWrap(wrap);
    return label;
}

} // namespace

Tfrm_Options::Tfrm_Options(TScanEngine& engine, std::function<void()> refreshMain, QWidget* parent)
    : QDialog(parent), engine_(engine), refreshMain_(std::move(refreshMain)) {
    setObjectName(QStringLiteral("frm_Options"));
    setWindowTitle(QStringLiteral("Options"));
    setSizeGripEnabled(false);

    auto* layout = new QVBoxLayout(this);
    auto* languageRow = new QHBoxLayout;
    QLabel* languageLabel = NamedLabel(this, "lbl_language");
    languageRow->addWidget(languageLabel);
    cbox_language = new QComboBox(this);
    cbox_language->setObjectName(QStringLiteral("cbox_language"));
    languageLabel->setBuddy(cbox_language);
    languageRow->addWidget(cbox_language, 1);
    layout->addLayout(languageRow);

    auto* sizeBox = new QGroupBox(this);
    sizeBox->setObjectName(QStringLiteral("gbox_defaultsize"));
    auto* sizeLayout = new QVBoxLayout(sizeBox);
    auto* sizeRow = new QHBoxLayout;
    Edit1 = new QLineEdit(sizeBox);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setValidator(new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{0,9}")), Edit1));
    Edit1->setMaximumWidth(100);
    auto* unit = NamedLabel(sizeBox, "Label1");
    unit->setText(QStringLiteral("KB"));
    sizeRow->addWidget(Edit1);
    sizeRow->addWidget(unit);
    sizeRow->addWidget(NamedLabel(sizeBox, "lbl_abandon"), 1);
    sizeLayout->addLayout(sizeRow);
    sizeLayout->addWidget(NamedLabel(sizeBox, "lbl_defaultsize", true));
    layout->addWidget(sizeBox);

    auto* thumbBox = new QGroupBox(this);
    thumbBox->setObjectName(QStringLiteral("gbox_customizerecovery"));
    auto* thumbLayout = new QVBoxLayout(thumbBox);
    QLabel* countLabel = NamedLabel(thumbBox, "lbl_numberoffiles", true);
    thumbLayout->addWidget(countLabel);
    cbox_numberoffiles = new QComboBox(thumbBox);
    cbox_numberoffiles->setObjectName(QStringLiteral("cbox_numberoffiles"));
    countLabel->setBuddy(cbox_numberoffiles);
    for (int count : kFilesOnceChoices)
        cbox_numberoffiles->addItem(QString::number(count));
    thumbLayout->addWidget(cbox_numberoffiles, 0, Qt::AlignLeft);
    layout->addWidget(thumbBox);
    layout->addStretch(1);

    auto* buttons = new QHBoxLayout;
    btn_optionapply = new QPushButton(this);
    btn_optionapply->setObjectName(QStringLiteral("btn_optionapply"));
    btn_optionapplyclose = new QPushButton(this);
    btn_optionapplyclose->setObjectName(QStringLiteral("btn_optionapplyclose"));
    btn_optionclose = new QPushButton(this);
    btn_optionclose->setObjectName(QStringLiteral("btn_optionclose"));
    buttons->addStretch(1);
    buttons->addWidget(btn_optionapply);
    buttons->addWidget(btn_optionapplyclose);
    buttons->addWidget(btn_optionclose);
    layout->addLayout(buttons);
    btn_optionclose->setDefault(true);

    // Creation fills the two setting fields.
    Edit1->setText(QString::number(engine_.DefaultSize));
    const TSettingsStore store;
    const std::uint32_t filesOnce = static_cast<std::uint32_t>(store.ReadInteger("FilesOnce").value_or(kFilesOnceFallback));
    cbox_numberoffiles->setCurrentIndex(filesOnce >= 8 ? kFilesOnceFallback : static_cast<int>(filesOnce));

    connect(cbox_language, &QComboBox::currentIndexChanged, this, &Tfrm_Options::InputChanged);
    connect(cbox_numberoffiles, &QComboBox::currentIndexChanged, this, &Tfrm_Options::InputChanged);
    connect(Edit1, &QLineEdit::textChanged, this, &Tfrm_Options::InputChanged);
    connect(btn_optionapply, &QPushButton::clicked, this, [this] { Apply(); });
    connect(btn_optionapplyclose, &QPushButton::clicked, this, &Tfrm_Options::ApplyAndClose);
    connect(btn_optionclose, &QPushButton::clicked, this, &QDialog::reject);

    // Texts are in place before the first showing so that the size fits them.
    TranslateWidget(this, objectName());
    FitFixedSize(this, QSize(287, 328));
}

void Tfrm_Options::showEvent(QShowEvent* event) {
    {
        const QSignalBlocker block(cbox_language);
        cbox_language->clear();
        for (const TLanguage& language : Languages()) {
            cbox_language->addItem(QString::fromStdString(language.Name), QString::fromStdString(language.Id));
            if (language.Id == CurrentLanguage())
                cbox_language->setCurrentIndex(cbox_language->count() - 1);
        }
        if (cbox_language->findData(QString::fromStdString(CurrentLanguage())) < 0)
            cbox_language->setCurrentIndex(-1);
    }
    TranslateWidget(this, objectName());
    FitFixedSize(this, QSize(287, 328));
    btn_optionapply->setEnabled(false);
    btn_optionapplyclose->setEnabled(false);
    QDialog::showEvent(event);
}

void Tfrm_Options::InputChanged() {
    btn_optionapply->setEnabled(true);
    btn_optionapplyclose->setEnabled(true);
}

bool Tfrm_Options::Apply() {
    // The language: only a listed choice is saved, so the file never loses its default mark.
    const std::string chosen = cbox_language->currentData().toString().toStdString();
    bool listed = false;
    for (const TLanguage& language : Languages())
        listed = listed || (language.Id == chosen && !chosen.empty());
    if (listed) {
        CurrentLanguage() = chosen;
        TTranslationsSession session;
        SetDefaultLanguage(chosen);
        TranslateWidget(this, objectName());
        TranslateMakerCaptions();
        LoadToolkitTranslations();
        // The dialog's own texts change length with the language: it takes their size at once.
        FitFixedSize(this, QSize(287, 328));
    }
    if (refreshMain_)
        refreshMain_();

    bool ok = false;
    const int size = Edit1->text().trimmed().toInt(&ok);
    if (!ok || size < 0) {
        ShowError(this, Tr("msg_defaultsizeerror"));
        return false;
    }
    if (size > kDefaultSizeMax) {
        ShowError(this, Tr("msg_defaultsizeoverflow"));
        return false;
    }
    engine_.DefaultSize = size;
    TSettingsStore store;
    if (!store.WriteInteger("DefaultSize", size)) {
        ShowError(this, FillFormat(Tr("msg_settingswrite"), QStringLiteral("DefaultSize")));
        return false;
    }
    if (!store.WriteInteger("FilesOnce", cbox_numberoffiles->currentIndex())) {
        ShowError(this, FillFormat(Tr("msg_settingswrite"), QStringLiteral("FilesOnce")));
        return false;
    }
    return true;
}

void Tfrm_Options::ApplyAndClose() {
    Apply();
    accept();
}

} // namespace lumivore
