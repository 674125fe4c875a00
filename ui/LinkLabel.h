#pragma once
// A label that works as a link: underlined, in link blue, with a hand cursor. A press of the left
// mouse button emits Clicked, and so do Space and Enter when the link has the keyboard focus,
// which Tab gives it like any control; it then shows a focus frame.

#include <QLabel>

namespace lumivore {

class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    explicit TLinkLabel(QWidget* parent = nullptr);

Q_SIGNALS:
    void Clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
};

} // namespace lumivore
