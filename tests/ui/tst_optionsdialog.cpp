// The options dialog on the settings store: what it shows for stored values, when Apply is
// offered, which sizes it refuses, and how the language choice is kept.
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include "engine/ScanEngine.h"
#include "support/Settings.h"
#include "ui/OptionsDialog.h"
#include "ui/UiTestSupport.h"

using namespace lumivore;

class TestOptionsDialog : public QObject {
    Q_OBJECT
    std::unique_ptr<lumivore::testing::TUiTestEnvironment> env_;
    std::unique_ptr<TScanEngine> engine_;
    int refreshed_ = 0;

    std::unique_ptr<Tfrm_Options> Dialog() {
        auto dialog = std::make_unique<Tfrm_Options>(*engine_, [this] { ++refreshed_; });
        dialog->setObjectName(QStringLiteral("frm_options"));
        dialog->show();
        return dialog;
    }
    static QLineEdit* Size(Tfrm_Options& d) { return d.findChild<QLineEdit*>(QStringLiteral("Edit1")); }
    static QComboBox* Combo(Tfrm_Options& d, const char* name) { return d.findChild<QComboBox*>(QLatin1String(name)); }
    static QPushButton* Button(Tfrm_Options& d, const char* name) { return d.findChild<QPushButton*>(QLatin1String(name)); }

private Q_SLOTS:
    void initTestCase() { env_ = std::make_unique<lumivore::testing::TUiTestEnvironment>(); }
    void init() {
        env_->Reset();
        QFile::remove(QString::fromStdString(TSettingsStore::DefaultPath()));
        engine_ = std::make_unique<TScanEngine>();
        refreshed_ = 0;
    }
    void cleanupTestCase() {
        engine_.reset();
        env_.reset();
    }

    void storedThumbnailCountsAndTheirFallback() {
        const struct {
            int stored;
            const char* shown;
        } cases[] = {{9, "200"}, {-1, "200"}, {7, "1000"}, {6, "800"}, {0, "100"}};
        for (const auto& c : cases) {
            TSettingsStore().WriteInteger("FilesOnce", c.stored);
            auto dialog = Dialog();
            QCOMPARE(Combo(*dialog, "cbox_numberoffiles")->currentText(), QLatin1String(c.shown));
        }
        QFile::remove(QString::fromStdString(TSettingsStore::DefaultPath()));
        QCOMPARE(Combo(*Dialog(), "cbox_numberoffiles")->currentText(), QStringLiteral("200"));
    }

    void applyIsOfferedOnlyAfterAChangeAndCloseKeepsNothing() {
        engine_->DefaultSize = 512;
        auto dialog = Dialog();
        QCOMPARE(Size(*dialog)->text(), QStringLiteral("512"));
        QCOMPARE(Combo(*dialog, "cbox_language")->currentText(), QStringLiteral("English"));
        QVERIFY(!Button(*dialog, "btn_optionapply")->isEnabled());
        QVERIFY(!Button(*dialog, "btn_optionapplyclose")->isEnabled());
        QCOMPARE(dialog->windowTitle(), QStringLiteral("Options"));
        QTest::keyClicks(Size(*dialog), QStringLiteral("0"));
        QVERIFY(Button(*dialog, "btn_optionapply")->isEnabled());
        QTest::mouseClick(Button(*dialog, "btn_optionclose"), Qt::LeftButton);
        QVERIFY(!dialog->isVisible());
        QCOMPARE(engine_->DefaultSize, 512);
        QVERIFY(!TSettingsStore().ReadInteger("DefaultSize").has_value());
        QCOMPARE(refreshed_, 0);
        // The field takes digits only.
        auto again = Dialog();
        Size(*again)->clear();
        QTest::keyClicks(Size(*again), QStringLiteral("-1x2"));
        QCOMPARE(Size(*again)->text(), QStringLiteral("12"));
    }

    void sizeLimitsAndWhatIsWritten() {
        auto dialog = Dialog();
        Size(*dialog)->setText(QStringLiteral("102400"));
        Combo(*dialog, "cbox_numberoffiles")->setCurrentIndex(7);
        QVERIFY(dialog->Apply());
        QVERIFY(env_->Messages.isEmpty());
        QCOMPARE(engine_->DefaultSize, 102400);
        QCOMPARE(TSettingsStore().ReadInteger("DefaultSize").value_or(-1), 102400);
        QCOMPARE(TSettingsStore().ReadInteger("FilesOnce").value_or(-1), 7);
        QCOMPARE(refreshed_, 1);

        const struct {
            const char* text;
            const char* message;
        } refused[] = {
            {"102401", "Default file size exceeded the maximum value."},
            {"", "The default file size is not a valid number."},
            {"-5", "The default file size is not a valid number."}, // pasted past the digit filter
            {"99999999999", "The default file size is not a valid number."},
        };
        for (const auto& r : refused) {
            env_->Messages.clear();
            Size(*dialog)->setText(QLatin1String(r.text));
            Combo(*dialog, "cbox_numberoffiles")->setCurrentIndex(2);
            QVERIFY(!dialog->Apply());
            QCOMPARE(env_->Messages, QStringList{QLatin1String(r.message)});
            QCOMPARE(engine_->DefaultSize, 102400);
            QCOMPARE(TSettingsStore().ReadInteger("DefaultSize").value_or(-1), 102400);
            QCOMPARE(TSettingsStore().ReadInteger("FilesOnce").value_or(-1), 7);
        }
        // 0 means abandon, and is kept.
        Size(*dialog)->setText(QStringLiteral("0"));
        QVERIFY(dialog->Apply());
        QCOMPARE(engine_->DefaultSize, 0);
        QCOMPARE(TSettingsStore().ReadInteger("DefaultSize").value_or(-1), 0);
        // Apply and Close closes even when the size is refused.
        Size(*dialog)->setText(QStringLiteral("102401"));
        QTest::mouseClick(Button(*dialog, "btn_optionapplyclose"), Qt::LeftButton);
        QVERIFY(!dialog->isVisible());
    }

    void languageAppliesEvenWhenTheSizeIsRefused() {
        auto dialog = Dialog();
        Combo(*dialog, "cbox_language")->setCurrentText(QStringLiteral("Deutsch"));
        Size(*dialog)->clear();
        QVERIFY(!dialog->Apply());
        QCOMPARE(env_->Messages.size(), 1);
        QCOMPARE(CurrentLanguage(), std::string("de"));
        QCOMPARE(refreshed_, 1);
        QCOMPARE(Button(*dialog, "btn_optionclose")->text(), QStringLiteral("S&chließen"));
        {
            TTranslationsSession session;
            QCOMPARE(GetDefaultLanguage(), std::string("de")); // kept in the file for the next start
        }
        // The message itself comes in the new language.
        QVERIFY(env_->Messages[0] != QStringLiteral("The default file size is not a valid number."));
    }

    void anUnlistedLanguageIsLeftAlone() {
        CurrentLanguage() = "xx";
        auto dialog = Dialog();
        QCOMPARE(Combo(*dialog, "cbox_language")->currentIndex(), -1);
        Size(*dialog)->setText(QStringLiteral("100"));
        QVERIFY(dialog->Apply());
        QCOMPARE(CurrentLanguage(), std::string("xx"));
        TTranslationsSession session;
        QCOMPARE(GetDefaultLanguage(), std::string("en")); // the file still marks a language
    }
};

QTEST_MAIN(TestOptionsDialog)
#include "tst_optionsdialog.moc"
