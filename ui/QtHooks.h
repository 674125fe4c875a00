#pragma once
// The engine's hooks on Qt: pending events run through processEvents (where Stop buttons are
// noticed), progress goes to a QProgressBar and counters to a QLabel.
//
// The engine calls every hook once a block, thousands of times a second on a disk image. Each
// pass through the event loop and each repaint of a label costs far more than examining the
// block (shaping and drawing the text, sending it to the display server), so the hooks act at
// most every few tens of milliseconds: the window stays as lively as a person can see, and the
// scan runs as fast as on the command line. A counter keeps the value it was last given and
// shows it at once when Flush is called, so the end of an operation is never lost.

#include <cstdint>

#include <QElapsedTimer>
#include <QPointer>

#include "engine/EngineHooks.h"

class QLabel;
class QProgressBar;

namespace lumivore {

// How often the hooks let the window catch up, in milliseconds.
inline constexpr int kHookIntervalMs = 40;

class TQtMessagePump final : public TMessagePump {
public:
    // Runs pending events, unless that was done less than kHookIntervalMs ago.
    void ProcessMessages() override;
    // The next ProcessMessages runs the events whatever the time.
    void Reset() { last_.invalidate(); }

private:
    QElapsedTimer last_;
};

class TQtProgressBar final : public TProgressBar {
public:
    explicit TQtProgressBar(QProgressBar* bar) : bar_(bar) {}
    // The bar is set only when the position changes: at most a hundred repaints an operation.
    void SetPosition(int position) override;

private:
    QPointer<QProgressBar> bar_;
};

class TQtCounterLabel final : public TCounterLabel {
public:
    explicit TQtCounterLabel(QLabel* label) : label_(label) {}
    ~TQtCounterLabel() override { Flush(); }
    TQtCounterLabel(const TQtCounterLabel&) = delete;
    TQtCounterLabel& operator=(const TQtCounterLabel&) = delete;

    // Shows the value at once, unless the label was drawn less than kHookIntervalMs ago; the
    // value is then shown by the next call or by Flush.
    void SetCount(std::int64_t value) override;
    // Shows the last value given, now, in the user's number format.
    void Flush();
    // The last value given.
    std::int64_t Value() const { return pending_; }

private:
    QPointer<QLabel> label_;
    QElapsedTimer shown_;
    std::int64_t pending_ = 0;
    bool dirty_ = false;
};

} // namespace lumivore
