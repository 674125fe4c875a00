#include "ui/AboutBox.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "support/AppInfo.h"
#include "ui/LinkLabel.h"
#include "ui/UiSupport.h"

// The addresses are set when the program is built; none is set while the product has no web
// site and no mail address, and the box then shows no link at all.
#ifndef LUMIVORE_PRODUCT_URL
#define LUMIVORE_PRODUCT_URL ""
#endif
#ifndef LUMIVORE_SUPPORT_MAIL
#define LUMIVORE_SUPPORT_MAIL ""
#endif
#ifndef LUMIVORE_SALES_MAIL
#define LUMIVORE_SALES_MAIL ""
#endif

namespace lumivore {

QString ProductAddress() { return QStringLiteral(LUMIVORE_PRODUCT_URL); }
QString SupportMailAddress() { return QStringLiteral(LUMIVORE_SUPPORT_MAIL); }
QString SalesMailAddress() { return QStringLiteral(LUMIVORE_SALES_MAIL); }

namespace {

QUrl MailLink(const QString& address, const char* format) {
    // The subject is percent-encoded by QUrl; the address stays as it is.
    return QUrl(QString::fromLatin1(format).arg(address, QStringLiteral("Lumivore")));
}

} // namespace

Tfrm_about::Tfrm_about(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frm_about"));
    setWindowTitle(QStringLiteral("About Lumivore"));
    setSizeGripEnabled(false);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 12, 12);
    auto* picture = new QLabel(this);
    picture->setObjectName(QStringLiteral("Image2"));
    picture->setPixmap(SvgPixmap(QStringLiteral(":/art/about.svg"), QSize(166, 220)));
    picture->setAlignment(Qt::AlignTop);
    layout->addWidget(picture);

    auto* texts = new QVBoxLayout;
    texts->setContentsMargins(6, 16, 0, 0);
    const auto label = [this, texts](const char* name, const QString& text) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QLatin1String(name));
        texts->addWidget(l);
        return l;
    };
    label("Label8", QStringLiteral("Orvandel"));
    // The product's name; its version stands once, on the line below.
    QLabel* product = label("Label1", QStringLiteral("Lumivore"));
    QFont bold = product->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.3);
    product->setFont(bold);
    label("Label2", FillFormat(Tr("lbl_version"), QString::fromStdString(AppFileVersion())));
    texts->addSpacing(8);
    QLabel* licence = label("lbl_licence", QString());
    licence->setWordWrap(true);
    texts->addSpacing(8);
    const auto link = [this, texts](const char* name, const QString& text, void (Tfrm_about::*slot)()) {
        if (text.isEmpty())
            return;
        auto* l = new TLinkLabel(this);
        l->setObjectName(QLatin1String(name));
        l->setText(text);
        connect(l, &TLinkLabel::Clicked, this, slot);
        texts->addWidget(l);
    };
    link("Label4", ProductAddress(), &Tfrm_about::Label4Click);
    link("Label5", SupportMailAddress(), &Tfrm_about::Label5Click);
    link("Label6", SalesMailAddress(), &Tfrm_about::Label6Click);
    texts->addStretch(1);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("btn_aboutok"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    texts->addWidget(ok, 0, Qt::AlignRight);
    layout->addLayout(texts, 1);

    TranslateWidget(this, objectName());
    FitFixedSize(this, QSize(372, 221));
}

void Tfrm_about::Label4Click() { OpenUrlOrSay(this, QUrl(ProductAddress())); }

void Tfrm_about::Label5Click() {
    OpenUrlOrSay(this, MailLink(SupportMailAddress(), "mailto:%1?subject=%2 technique help request"));
}

void Tfrm_about::Label6Click() {
    OpenUrlOrSay(this, MailLink(SalesMailAddress(), "mailto:%1?subject=%2 purchase help request"));
}

void Tfrm_about::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

} // namespace lumivore
