#include "ui/LinkLabel.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>

namespace lumivore {

TLinkLabel::TLinkLabel(QWidget* parent) : QLabel(parent) {
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    QPalette p = palette();
    p.setColor(QPalette::WindowText, QColor(74, 74, 255));
    setPalette(p);
    setCursor(Qt::PointingHandCursor);
    // Tab reaches the link; a click does not take the focus from where the user was.
    setFocusPolicy(Qt::TabFocus);
    // Room for the focus frame around the text.
    setContentsMargins(2, 1, 2, 1);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        Q_EMIT Clicked();
    QLabel::mouseReleaseEvent(event);
}

void TLinkLabel::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (event->modifiers() == Qt::NoModifier || event->modifiers() == Qt::KeypadModifier) {
            Q_EMIT Clicked();
            event->accept();
            return;
        }
        break;
    default:
        break;
    }
    QLabel::keyPressEvent(event);
}

void TLinkLabel::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    if (!hasFocus())
        return;
    QPainter painter(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.rect = contentsRect().adjusted(-2, -1, 2, 1);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
}

} // namespace lumivore
