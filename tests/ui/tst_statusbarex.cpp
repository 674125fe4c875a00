// The status bar carries its progress bar hidden, and the Qt hooks drive bar and label.
#include <QLabel>
#include <QProgressBar>
#include <QtTest>

#include "ui/QtHooks.h"
#include "ui/StatusBarEx.h"

using namespace lumivore;

class TestStatusBarEx : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void progressBarIsAChildAndHiddenUntilShown() {
        TStatusBarEx bar;
        bar.show();
        QVERIFY(bar.ProgressBar() != nullptr);
        QCOMPARE(bar.ProgressBar()->parentWidget(), &bar);
        QVERIFY(!bar.ProgressBar()->isVisible());
        bar.ProgressBar()->show();
        QVERIFY(bar.ProgressBar()->isVisible());
    }

    void hooksMoveTheBarAndCountAndOutliveTheirWidgets() {
        auto* bar = new QProgressBar;
        auto* label = new QLabel;
        TQtProgressBar progress(bar);
        TQtCounterLabel counter(label);
        progress.SetPosition(42);
        counter.SetCount(12345678901LL);
        QCOMPARE(bar->value(), 42);
        QCOMPARE(label->text(), QStringLiteral("12345678901"));
        delete bar;
        delete label;
        progress.SetPosition(7); // the widgets are gone: nothing happens
        counter.SetCount(1);
    }
};

QTEST_MAIN(TestStatusBarEx)
#include "tst_statusbarex.moc"
