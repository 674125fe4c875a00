#pragma once
// A label that works as a link: underlined, in link blue, with a hand cursor; a press of the
// left mouse button emits Clicked.

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
};

} // namespace lumivore
