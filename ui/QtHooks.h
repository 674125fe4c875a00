#pragma once
// The engine's hooks on Qt: pending events run through processEvents (where Stop buttons are
// noticed), progress goes to a QProgressBar and counters to a QLabel that repaints at once.

#include <QPointer>

#include "engine/EngineHooks.h"

class QLabel;
class QProgressBar;

namespace lumivore {

class TQtMessagePump final : public TMessagePump {
public:
    void ProcessMessages() override;
};

class TQtProgressBar final : public TProgressBar {
public:
    explicit TQtProgressBar(QProgressBar* bar) : bar_(bar) {}
    void SetPosition(int position) override;

private:
    QPointer<QProgressBar> bar_;
};

class TQtCounterLabel final : public TCounterLabel {
public:
    explicit TQtCounterLabel(QLabel* label) : label_(label) {}
    void SetCount(std::int64_t value) override;

private:
    QPointer<QLabel> label_;
};

} // namespace lumivore
