#include "ui/QtHooks.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>

namespace lumivore {

void TQtMessagePump::ProcessMessages() {
    if (last_.isValid() && last_.elapsed() < kHookIntervalMs)
        return;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    last_.start();
}

void TQtProgressBar::SetPosition(int position) {
    if (bar_ && bar_->value() != position)
        bar_->setValue(position);
}

void TQtCounterLabel::SetCount(std::int64_t value) {
    pending_ = value;
    dirty_ = true;
    if (shown_.isValid() && shown_.elapsed() < kHookIntervalMs)
        return;
    Flush();
    shown_.start();
}

void TQtCounterLabel::Flush() {
    if (!dirty_ || !label_)
        return;
    dirty_ = false;
    // In the user's number format: a card's sector count runs to eight digits and more.
    const QString text = QLocale().toString(pending_);
    if (label_->text() != text) {
        label_->setText(text);
        label_->repaint();
    }
}

} // namespace lumivore
