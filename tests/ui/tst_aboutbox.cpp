// The about box: its texts, the keys that close it, and the links it opens.
#include <QLabel>
#include <QPushButton>
#include <QtTest>

#include "support/AppInfo.h"
#include "ui/AboutBox.h"
#include "ui/UiTestSupport.h"

using namespace lumivore;

class TestAboutBox : public QObject {
    Q_OBJECT
    std::unique_ptr<lumivore::testing::TUiTestEnvironment> env_;

    static QString Text(Tfrm_about& box, const char* name) { return box.findChild<QLabel*>(QLatin1String(name))->text(); }

private Q_SLOTS:
    void initTestCase() { env_ = std::make_unique<lumivore::testing::TUiTestEnvironment>(); }
    void init() { env_->Reset(); }
    void cleanupTestCase() { env_.reset(); }

    void showsMakerProductVersionLicenceAndOnlyTheAddressesThatAreSet() {
        Tfrm_about box;
        QCOMPARE(box.windowTitle(), QStringLiteral("About Lumivore"));
        QCOMPARE(Text(box, "Label8"), QStringLiteral("Orvandel"));
        // The version stands once, as the build states it.
        QCOMPARE(Text(box, "Label1"), QStringLiteral("Lumivore"));
        QVERIFY(box.findChild<QLabel*>(QStringLiteral("Label1"))->font().bold());
        QCOMPARE(Text(box, "Label2"), QStringLiteral("Version ") + QString::fromStdString(AppFileVersion()));
        QVERIFY(Text(box, "lbl_licence").contains(QStringLiteral("GPL-3.0-or-later")));
        QVERIFY(box.width() >= 372 && box.height() >= 221);
        QCOMPARE(box.minimumSize(), box.maximumSize()); // fixed frame
        // No example addresses: a link shows only for an address the build sets.
        const struct {
            const char* name;
            QString address;
        } links[] = {{"Label4", ProductAddress()}, {"Label5", SupportMailAddress()}, {"Label6", SalesMailAddress()}};
        for (const auto& link : links) {
            QLabel* label = box.findChild<QLabel*>(QLatin1String(link.name));
            QCOMPARE(label != nullptr, !link.address.isEmpty());
            if (label != nullptr)
                QCOMPARE(label->text(), link.address);
            QVERIFY(!link.address.contains(QStringLiteral("example")));
        }
    }

    void linksOpenTheBrowserAndMailWithTheirSubjects() {
        if (ProductAddress().isEmpty() || SupportMailAddress().isEmpty() || SalesMailAddress().isEmpty())
            QSKIP("this build sets no addresses");
        Tfrm_about box;
        box.show();
        for (const char* name : {"Label4", "Label5", "Label6"})
            QTest::mouseClick(box.findChild<QLabel*>(QLatin1String(name)), Qt::LeftButton);
        QCOMPARE(env_->Urls.size(), 3);
        QCOMPARE(env_->Urls[0], QUrl(ProductAddress()));
        QCOMPARE(env_->Urls[1].scheme(), QStringLiteral("mailto"));
        QCOMPARE(env_->Urls[1].path(), SupportMailAddress());
        QCOMPARE(env_->Urls[1].query(QUrl::FullyDecoded), QStringLiteral("subject=Lumivore technique help request"));
        QCOMPARE(env_->Urls[2].path(), SalesMailAddress());
        QCOMPARE(env_->Urls[2].query(QUrl::FullyDecoded), QStringLiteral("subject=Lumivore purchase help request"));
        QVERIFY(box.isVisible()); // a link leaves the box open
    }

    void escapeEnterAndOkClose() {
        for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
            Tfrm_about box;
            box.show();
            QVERIFY(QTest::qWaitForWindowExposed(&box));
            QTest::keyClick(&box, key);
            QVERIFY(!box.isVisible());
            QCOMPARE(box.result(), int{QDialog::Accepted});
        }
        Tfrm_about box;
        box.show();
        QTest::mouseClick(box.findChild<QPushButton*>(QStringLiteral("btn_aboutok")), Qt::LeftButton);
        QVERIFY(!box.isVisible());
    }

    void titleAndButtonFollowTheLanguage() {
        CurrentLanguage() = "de";
        Tfrm_about box;
        QVERIFY(box.windowTitle() != QStringLiteral("About Lumivore"));
        QCOMPARE(Text(box, "Label1"), QStringLiteral("Lumivore"));
        QVERIFY(Text(box, "lbl_licence").startsWith(QStringLiteral("Freie Software")));
        CurrentLanguage() = "en";
    }
};

QTEST_MAIN(TestAboutBox)
#include "tst_aboutbox.moc"
