// The folder chooser: the Directory property's separator and dummy file name, where it opens,
// what confirming and cancelling give, and that it cannot be resized.
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include "ui/DirDialog.h"
#include "ui/UiTestSupport.h"

using namespace lumivore;

class TestDirDialog : public QObject {
    Q_OBJECT
    std::unique_ptr<lumivore::testing::TUiTestEnvironment> env_;

    // Runs the chooser and, once it shows, lets the callback act on it as the user would.
    static bool RunWith(TOpenDirDlg& chooser, const std::function<void(QFileDialog*)>& act) {
        QTimer::singleShot(0, &chooser, [&chooser, act] {
            QTRY_VERIFY(chooser.isVisible());
            act(&chooser);
        });
        return chooser.Execute();
    }

private Q_SLOTS:
    void initTestCase() { env_ = std::make_unique<lumivore::testing::TUiTestEnvironment>(); }
    void cleanupTestCase() { env_.reset(); }

    void directoryAlwaysEndsWithASeparatorAndCarriesTheDummyName() {
        TOpenDirDlg chooser;
        QCOMPARE(chooser.FileName(), QStringLiteral("Dummy.dat"));
        chooser.SetDirectory(QStringLiteral("/media/Photos"));
        QCOMPARE(chooser.Directory(), QStringLiteral("/media/Photos/"));
        QCOMPARE(chooser.FileName(), QStringLiteral("/media/Photos/Dummy.dat"));
        chooser.SetDirectory(QStringLiteral("/media/Photos/"));
        QCOMPARE(chooser.Directory(), QStringLiteral("/media/Photos/"));
        chooser.SetDirectory(QStringLiteral("/"));
        QCOMPARE(chooser.Directory(), QStringLiteral("/"));
        QCOMPARE(chooser.FileName(), QStringLiteral("/Dummy.dat"));
    }

    void confirmingGivesTheFolderShownAndCancellingKeepsTheOld() {
        QTemporaryDir root;
        QVERIFY(QDir(root.path()).mkpath(QStringLiteral("card/DCIM")));
        const QString first = root.path() + QStringLiteral("/card");
        TOpenDirDlg chooser;
        chooser.SetTitle(QStringLiteral("Select directory:"));
        chooser.SetDirectory(first);
        QString openedIn;
        bool resizable = true;
        QVERIFY(RunWith(chooser, [&](QFileDialog* dialog) {
            openedIn = dialog->directory().absolutePath();
            resizable = dialog->isSizeGripEnabled() || dialog->minimumSize() != dialog->maximumSize();
            dialog->setDirectory(first + QStringLiteral("/DCIM"));
            QMetaObject::invokeMethod(dialog, "accept");
        }));
        QCOMPARE(openedIn, first);
        QVERIFY(!resizable);
        QCOMPARE(chooser.windowTitle(), QStringLiteral("Select directory:"));
        QCOMPARE(chooser.Directory(), first + QStringLiteral("/DCIM/"));

        // The next showing opens in the folder last confirmed; cancelling changes nothing.
        QVERIFY(!RunWith(chooser, [&](QFileDialog* dialog) {
            openedIn = dialog->directory().absolutePath();
            dialog->setDirectory(root.path());
            dialog->reject();
        }));
        QCOMPARE(openedIn, first + QStringLiteral("/DCIM"));
        QCOMPARE(chooser.Directory(), first + QStringLiteral("/DCIM/"));
    }

    void evenAResizableRequestStaysFixed() {
        TOpenDirDlg chooser;
        chooser.setSizeGripEnabled(true);
        chooser.SetDirectory(QDir::tempPath());
        bool fixed = false;
        RunWith(chooser, [&](QFileDialog* dialog) {
            fixed = !dialog->isSizeGripEnabled() && dialog->minimumSize() == dialog->maximumSize();
            dialog->reject();
        });
        QVERIFY(fixed);
    }
};

QTEST_MAIN(TestDirDialog)
#include "tst_dirdialog.moc"
