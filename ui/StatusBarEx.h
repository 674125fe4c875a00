#pragma once
// A status bar that carries child controls over its panels, such as the progress bar a window
// shows while a long operation runs and hides afterwards.

#include <QStatusBar>

class QProgressBar;

namespace lumivore {

class TStatusBarEx : public QStatusBar {
    Q_OBJECT
public:
    explicit TStatusBarEx(QWidget* parent = nullptr);

    // The progress bar placed on the bar, hidden until a window shows it.
    QProgressBar* ProgressBar() const { return progressBar_; }

private:
    QProgressBar* progressBar_;
};

} // namespace lumivore
