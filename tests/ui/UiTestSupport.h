#pragma once
// What the widget tests share: a program folder of their own with a copy of the shipped
// translations (so that choosing a language never rewrites the build's file), English as the
// starting language, a fixed number format, and recorders in place of message boxes, questions
// and the desktop's link opener.

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

#include "device/DskLib.h"
#include "i18n/MultiLanguage.h"
#include "support/AppInfo.h"
#include "ui/UiSupport.h"

namespace lumivore::testing {

class TUiTestEnvironment {
public:
    TUiTestEnvironment() {
        QDir().mkpath(dir_.path() + QStringLiteral("/data"));
        QFile::copy(QStringLiteral(LUMIVORE_SOURCE_DIR "/data/translations.xml"),
                    dir_.path() + QStringLiteral("/data/translations.xml"));
        QFile::setPermissions(dir_.path() + QStringLiteral("/data/translations.xml"),
                              QFile::ReadOwner | QFile::WriteOwner);
        SetAppDir((dir_.path() + QLatin1Char('/')).toStdString());
        InitialiseLanguage();
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        TDeviceCatalogue::Instance().Clear();
        PhysicalDrives().clear();
        UiHooks().Message = [this](QMessageBox::Icon, const QString& text) { Messages << text; };
        UiHooks().Question = [this](const QString& text) {
            Questions << text;
            return Answer;
        };
        UiHooks().Url = [this](const QUrl& url) {
            Urls << url;
            return true;
        };
    }
    ~TUiTestEnvironment() {
        UiHooks() = TUiHooks{};
        FinaliseLanguage();
    }

    // Back to English with the shipped file, between test functions.
    void Reset() {
        QFile::remove(dir_.path() + QStringLiteral("/data/translations.xml"));
        QFile::copy(QStringLiteral(LUMIVORE_SOURCE_DIR "/data/translations.xml"),
                    dir_.path() + QStringLiteral("/data/translations.xml"));
        QFile::setPermissions(dir_.path() + QStringLiteral("/data/translations.xml"),
                              QFile::ReadOwner | QFile::WriteOwner);
        InitialiseLanguage();
        Messages.clear();
        Questions.clear();
        Urls.clear();
        Answer = false;
    }

    QString Path() const { return dir_.path(); }

    QStringList Messages;
    QStringList Questions;
    QList<QUrl> Urls;
    bool Answer = false;

private:
    QTemporaryDir dir_;
};

// A sparse image file of that many bytes; empty string on failure.
inline QString MakeSparseImage(const QString& path, qint64 bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || !file.resize(bytes))
        return {};
    return path;
}

} // namespace lumivore::testing
