#include "ui/StatusBarEx.h"

#include <QProgressBar>

namespace lumivore {

TStatusBarEx::TStatusBarEx(QWidget* parent) : QStatusBar(parent), progressBar_(new QProgressBar(this)) {
    progressBar_->setObjectName(QStringLiteral("ProgressBar1"));
    progressBar_->setRange(0, 100);
    progressBar_->setTextVisible(false);
    progressBar_->setMaximumWidth(200);
    addPermanentWidget(progressBar_);
    progressBar_->hide();
}

} // namespace lumivore
