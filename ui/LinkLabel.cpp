#include "ui/LinkLabel.h"

#include <QMouseEvent>

namespace lumivore {

TLinkLabel::TLinkLabel(QWidget* parent) : QLabel(parent) {
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    QPalette p = palette();
    p.setColor(QPalette::WindowText, QColor(74, 74, 255));
    setPalette(p);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Q_EMIT Clicked();
    QLabel::mouseReleaseEvent(event);
}

} // namespace lumivore
