#include "ui/PictureViewer.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

namespace lumivore {

QSize Tfrm_PictureViewer::ShownSize(const QSize& picture, const QSize& area) {
    if (picture.isEmpty() || area.isEmpty())
        return {};
    if (picture.width() <= area.width() && picture.height() <= area.height())
        return picture;
    return picture.scaled(area, Qt::KeepAspectRatio);
}

Tfrm_PictureViewer::Tfrm_PictureViewer(const QString& title, const QPixmap& picture, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("frm_PictureViewer"));
    setWindowTitle(title);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* image = new QLabel(this);
    image->setObjectName(QStringLiteral("Image1"));
    image->setAlignment(Qt::AlignCenter);
    // Most of the screen, leaving room for the desktop's panels and the title bar.
    QSize area(1024, 768);
    if (const QScreen* screen = parent != nullptr && parent->screen() != nullptr ? parent->screen()
                                                                                 : QGuiApplication::primaryScreen())
        area = screen->availableGeometry().size() * 9 / 10;
    const QSize shown = ShownSize(picture.size(), area);
    image->setPixmap(shown == picture.size() ? picture
                                             : picture.scaled(shown, Qt::KeepAspectRatio, Qt::SmoothTransformation));
    image->setMinimumSize(shown.expandedTo(QSize(160, 120)));
    layout->addWidget(image);
}

void Tfrm_PictureViewer::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

} // namespace lumivore
