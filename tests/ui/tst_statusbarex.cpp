// The status bar carries its progress bar hidden, and the Qt hooks drive bar and label.
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QScopeGuard>
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
        // A locale that groups digits, so that a count shown unformatted is caught.
        const QLocale before;
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const auto restore = qScopeGuard([&] { QLocale::setDefault(before); });
        auto* bar = new QProgressBar;
        auto* label = new QLabel;
        TQtProgressBar progress(bar);
        TQtCounterLabel counter(label);
        progress.SetPosition(42);
        counter.SetCount(12345678901LL);
        QCOMPARE(bar->value(), 42);
        // Grouped as the user's locale writes numbers, and read back by it.
        QCOMPARE(label->text(), QLocale().toString(12345678901LL));
        QCOMPARE(QLocale().toLongLong(label->text()), 12345678901LL);
        delete bar;
        delete label;
        progress.SetPosition(7); // the widgets are gone: nothing happens
        counter.SetCount(1);
    }

    // A scan sets its counters once a block; the label is drawn at most every few tens of
    // milliseconds, but the last value always reaches it.
    void countersShowTheirLastValueHoweverFastTheyAreSet() {
        QLabel label;
        {
            TQtCounterLabel counter(&label);
            for (int i = 1; i <= 5000; ++i)
                counter.SetCount(i);
            QVERIFY(QLocale().toInt(label.text()) < 5000); // the last ones came too soon after a drawing
            counter.Flush();
            QCOMPARE(label.text(), QLocale().toString(5000));
            counter.SetCount(5001);
        }
        QCOMPARE(label.text(), QLocale().toString(5001)); // shown when the operation's counter ends
    }

    // The pump lets events through on its first call after a reset, then at most every
    // kHookIntervalMs.
    void thePumpRunsEventsFirstThenAtIntervals() {
        TQtMessagePump pump;
        int ran = 0;
        QTimer::singleShot(0, [&] { ++ran; });
        QElapsedTimer since;
        since.start();
        pump.ProcessMessages();
        QCOMPARE(ran, 1);
        QTimer::singleShot(0, [&] { ++ran; });
        pump.ProcessMessages();
        if (since.elapsed() < kHookIntervalMs)
            QCOMPARE(ran, 1); // too soon
        pump.Reset();
        pump.ProcessMessages();
        QCOMPARE(ran, 2);
    }
};

QTEST_MAIN(TestStatusBarEx)
#include "tst_statusbarex.moc"
