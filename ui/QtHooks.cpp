#include "ui/QtHooks.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>

namespace lumivore {

void TQtMessagePump::ProcessMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void TQtProgressBar::SetPosition(int position) {
    if (bar_)
        bar_->setValue(position);
}

void TQtCounterLabel::SetCount(std::int64_t value) {
    if (!label_)
        return;
    label_->setText(QString::number(value));
    label_->repaint();
}

} // namespace lumivore
