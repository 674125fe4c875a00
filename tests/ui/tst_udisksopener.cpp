// The udisks2 client against a stand-in service on a private bus that this test starts: the
// descriptor handed over reads the device's bytes, the request goes to the device's block
// object with interactive authorisation allowed, and refusals are told apart.
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "device/DeviceOpener.h"
#include "ui/UDisksOpener.h"

using namespace lumivore;

class TestUDisksOpener : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QProcess daemon_;
    QProcess service_;
    QString address_;
    QByteArray imageBytes_;

    QString python_;

    void StartService(const QStringList& extra) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), address_);
        service_.setProcessEnvironment(env);
        service_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        service_.start(python_, QStringList{QStringLiteral(LUMIVORE_SOURCE_DIR "/tests/ui/udisks_standin.py"),
                                            dir_.filePath(QStringLiteral("card.img")),
                                            dir_.filePath(QStringLiteral("calls.log"))} + extra);
        QVERIFY(service_.waitForStarted());
    }

    QDBusConnection Bus() const { return QDBusConnection(QStringLiteral("standin")); }

    QStringList LoggedCalls() const {
        QFile log(dir_.filePath(QStringLiteral("calls.log")));
        if (!log.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private Q_SLOTS:
    void initTestCase() {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        // Debian's interpreter, which has python3-dbus, whatever else stands first on PATH.
        const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"), {QStringLiteral("/usr/bin")});
        if (daemon.isEmpty() || python.isEmpty())
            QSKIP("dbus-daemon or /usr/bin/python3 missing");
        if (QProcess::execute(python, {QStringLiteral("-c"), QStringLiteral("import dbus, gi")}) != 0)
            QSKIP("python3-dbus or python3-gi missing");
        QVERIFY(dir_.isValid());

        daemon_.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                               QStringLiteral("--print-address=1")});
        QVERIFY(daemon_.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(daemon_.canReadLine() || daemon_.waitForReadyRead(100), 10000);
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        QVERIFY(!address_.isEmpty());

        for (int i = 0; i < 64 * 512; ++i)
            imageBytes_.append(static_cast<char>((i / 512) * 13 + i % 241));
        QFile image(dir_.filePath(QStringLiteral("card.img")));
        QVERIFY(image.open(QIODevice::WriteOnly));
        image.write(imageBytes_);
        image.close();

        python_ = python;
        StartService({});

        QDBusConnection bus = QDBusConnection::connectToBus(address_, QStringLiteral("standin"));
        QVERIFY2(bus.isConnected(), qPrintable(bus.lastError().message()));
        QTRY_VERIFY_WITH_TIMEOUT(bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.UDisks2")), 15000);
    }

    void cleanupTestCase() {
        SetDeviceOpener(nullptr);
        QDBusConnection::disconnectFromBus(QStringLiteral("standin"));
        for (QProcess* process : {&service_, &daemon_}) {
            if (process->state() != QProcess::NotRunning) {
                process->terminate();
                if (!process->waitForFinished(5000))
                    process->kill();
                process->waitForFinished(5000);
            }
        }
    }

    void handsOverAReadOnlyDescriptorOfTheRightDevice() {
        TUDisksOpener opener(Bus());
        const int fd = opener.Open("/dev/standin-card");
        QVERIFY2(fd >= 0, qPrintable(opener.LastError()));
        QCOMPARE(opener.LastFailure(), TUDisksFailure::None);
        QCOMPARE(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
        QVERIFY(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
        QByteArray read(imageBytes_.size() + 512, '\0');
        QCOMPARE(::pread(fd, read.data(), read.size(), 0), static_cast<ssize_t>(imageBytes_.size()));
        read.truncate(imageBytes_.size());
        QCOMPARE(read, imageBytes_);
        ::close(fd);
        // Opened again at once, as choosing a device does: no second request.
        const int again = opener.Open("/dev/standin-card");
        QVERIFY(again >= 0);
        QCOMPARE(::fcntl(again, F_GETFL) & O_ACCMODE, O_RDONLY);
        ::close(again);

        const QStringList calls = LoggedCalls();
        QVERIFY(calls.contains(QStringLiteral("ResolveDevice|/org/freedesktop/UDisks2/Manager|/dev/standin-card")));
        QVERIFY2(calls.contains(QStringLiteral("OpenForBackup|/org/freedesktop/UDisks2/block_devices/standin_2dcard|{}|True")),
                 qPrintable(calls.join(QLatin1Char('\n'))));
        QCOMPARE(calls.filter(QStringLiteral("OpenForBackup|")).size(), 1);
    }

    void cancelledAuthorisationIsReportedAsARefusal() {
        TUDisksOpener opener(Bus());
        errno = 0;
        QCOMPARE(opener.Open("/dev/standin-locked"), -1);
        // The device layer's reason stays "no rights", so the windows show the rights sentence.
        QCOMPARE(errno, EACCES);
        QCOMPARE(opener.LastFailure(), TUDisksFailure::NotAuthorized);
        QVERIFY(opener.LastError().startsWith(QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorizedDismissed")));

        // A later request succeeds again: nothing is left over from the refusal.
        const int fd = opener.Open("/dev/standin-card");
        QVERIFY(fd >= 0);
        QCOMPARE(opener.LastFailure(), TUDisksFailure::None);
        QVERIFY(opener.LastError().isEmpty());
        ::close(fd);
    }

    void aWritableDescriptorIsRefusedByTheDeviceLayer() {
        InstallUDisksOpener(Bus());
        QVERIFY(HasDeviceOpener());
        QVERIFY(InstalledUDisksOpener() != nullptr);
        errno = 0;
        QCOMPARE(OpenWithDeviceOpener("/dev/standin-writable"), -1);
        QCOMPARE(errno, EPERM);
        const int fd = OpenWithDeviceOpener("/dev/standin-card");
        QVERIFY(fd >= 0);
        ::close(fd);
        SetDeviceOpener(nullptr);
    }

    void anUnknownDeviceOrAnAbsentServiceIsReportedAsUnavailable() {
        TUDisksOpener opener(Bus());
        QCOMPARE(opener.Open("/dev/standin-missing"), -1);
        QCOMPARE(errno, EACCES);
        QCOMPARE(opener.LastFailure(), TUDisksFailure::Unavailable);

        service_.terminate();
        QVERIFY(service_.waitForFinished(5000));
        QTRY_VERIFY(!Bus().interface()->isServiceRegistered(QStringLiteral("org.freedesktop.UDisks2")));
        QCOMPARE(opener.Open("/dev/standin-card"), -1);
        QCOMPARE(errno, EACCES);
        QCOMPARE(opener.LastFailure(), TUDisksFailure::Unavailable);
    }

    void anOlderServiceWithoutResolveDeviceIsFoundByTheBlockObjectsName() {
        QFile::remove(dir_.filePath(QStringLiteral("calls.log")));
        StartService({QStringLiteral("--without-resolve")});
        QTRY_VERIFY_WITH_TIMEOUT(Bus().interface()->isServiceRegistered(QStringLiteral("org.freedesktop.UDisks2")), 15000);
        TUDisksOpener opener(Bus());
        const int fd = opener.Open("/dev/standin-card");
        QVERIFY2(fd >= 0, qPrintable(opener.LastError()));
        ::close(fd);
        const QStringList calls = LoggedCalls();
        QCOMPARE(calls.filter(QStringLiteral("OpenForBackup|/org/freedesktop/UDisks2/block_devices/standin_2dcard|")).size(), 1);
        QVERIFY(calls.filter(QStringLiteral("ResolveDevice|")).isEmpty());
    }
};

QTEST_MAIN(TestUDisksOpener)
#include "tst_udisksopener.moc"
