#include "ui/UDisksOpener.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <memory>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMetaType>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QVariantMap>

#include "device/DeviceOpener.h"

namespace lumivore {

namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kManagerPath = QStringLiteral("/org/freedesktop/UDisks2/Manager");
const QString kManagerInterface = QStringLiteral("org.freedesktop.UDisks2.Manager");
const QString kBlockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kBlockDevicesPath = QStringLiteral("/org/freedesktop/UDisks2/block_devices/");

// The object path udisks2 gives a device node: the name after /dev/, with every byte other than
// a letter or a digit written as '_' and its two hexadecimal digits ("dm-0" is "dm_2d0").
QString FallbackObjectPath(const std::string& path) {
    std::string name = path;
    if (name.rfind("/dev/", 0) == 0)
        name = name.substr(5);
    static const char kHex[] = "0123456789abcdef";
    QString element;
    for (char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            element += QChar(c);
        } else {
            element += QChar('_');
            element += QChar(kHex[byte >> 4]);
            element += QChar(kHex[byte & 0x0f]);
        }
    }
    return element.isEmpty() ? QString() : kBlockDevicesPath + element;
}

bool IsAuthorisationError(const QString& name) {
    return name.startsWith(QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorized")) ||
           name == QStringLiteral("org.freedesktop.DBus.Error.AccessDenied") ||
           name == QStringLiteral("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired");
}

bool IsAbsenceError(const QString& name) {
    return name == QStringLiteral("org.freedesktop.DBus.Error.ServiceUnknown") ||
           name == QStringLiteral("org.freedesktop.DBus.Error.NameHasNoOwner") ||
           name == QStringLiteral("org.freedesktop.DBus.Error.NoServer") ||
           name == QStringLiteral("org.freedesktop.DBus.Error.Disconnected") ||
           name == QStringLiteral("org.freedesktop.DBus.Error.UnknownObject") ||
           name == QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod");
}

std::unique_ptr<TUDisksOpener>& Installed() {
    static std::unique_ptr<TUDisksOpener> opener;
    return opener;
}

} // namespace

TUDisksOpener::TUDisksOpener(const QDBusConnection& bus) : bus_(bus) {}

TUDisksOpener::~TUDisksOpener() {
    if (recentFd_ >= 0)
        ::close(recentFd_);
}

int TUDisksOpener::Fail(TUDisksFailure failure, const QString& error) {
    lastFailure_ = failure;
    lastError_ = error;
    errno = EACCES;
    return -1;
}

// The block object of a device node, as the manager resolves it; the conventional path when the
// manager cannot say (an older udisks2 without ResolveDevice).
QString TUDisksOpener::BlockObjectFor(const std::string& path) {
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kManagerPath, kManagerInterface,
                                                       QStringLiteral("ResolveDevice"));
    QVariantMap devspec;
    devspec.insert(QStringLiteral("path"), QString::fromStdString(path));
    call << devspec << QVariantMap();
    const QDBusMessage reply = bus_.call(call, QDBus::Block);
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
        const QList<QDBusObjectPath> objects = qdbus_cast<QList<QDBusObjectPath>>(reply.arguments().first());
        for (const QDBusObjectPath& object : objects)
            if (object.path().startsWith(kBlockDevicesPath))
                return object.path();
        return QString(); // the manager does not know this device
    }
    return FallbackObjectPath(path);
}

int TUDisksOpener::Open(const std::string& path) {
    lastFailure_ = TUDisksFailure::None;
    lastError_.clear();
    if (recentFd_ >= 0 && recentPath_ == path && recentAge_.isValid() && recentAge_.elapsed() < kReuseMs) {
        const int again = ::fcntl(recentFd_, F_DUPFD_CLOEXEC, 0);
        if (again >= 0)
            return again;
    }
    if (recentFd_ >= 0) {
        ::close(recentFd_);
        recentFd_ = -1;
    }
    if (!bus_.isConnected())
        return Fail(TUDisksFailure::Unavailable, QStringLiteral("no connection to the system bus"));

    const QString object = BlockObjectFor(path);
    if (object.isEmpty())
        return Fail(TUDisksFailure::Unavailable,
                    QStringLiteral("udisks2 knows no block device ") + QString::fromStdString(path));

    QDBusMessage call = QDBusMessage::createMethodCall(kService, object, kBlockInterface,
                                                       QStringLiteral("OpenForBackup"));
    call << QVariantMap();
    // Lets polkit ask the user for the password instead of refusing at once.
    call.setInteractiveAuthorizationAllowed(true);
    const QDBusMessage reply = bus_.call(call, QDBus::Block, kTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        const QString name = reply.errorName();
        const QString error = name + QStringLiteral(": ") + reply.errorMessage();
        if (IsAuthorisationError(name))
            return Fail(TUDisksFailure::NotAuthorized, error);
        return Fail(IsAbsenceError(name) ? TUDisksFailure::Unavailable : TUDisksFailure::Failed, error);
    }
    if (reply.arguments().isEmpty())
        return Fail(TUDisksFailure::Failed, QStringLiteral("udisks2 answered without a descriptor"));
    const QDBusUnixFileDescriptor handed = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().first());
    if (!handed.isValid())
        return Fail(TUDisksFailure::Failed, QStringLiteral("udisks2 answered without a descriptor"));
    // The message's copy closes with it; the caller gets its own.
    const int fd = ::fcntl(handed.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return Fail(TUDisksFailure::Failed, QStringLiteral("the descriptor could not be kept"));
    recentFd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    recentPath_ = path;
    recentAge_.start();
    return fd;
}

void InstallUDisksOpener(const QDBusConnection& bus) {
    Installed() = std::make_unique<TUDisksOpener>(bus);
    TUDisksOpener* opener = Installed().get();
    // The device layer checks the descriptor is read-only before it reads through it.
    SetDeviceOpener([opener](const std::string& path) { return opener->Open(path); });
    // The connection must not outlive the application object.
    if (QCoreApplication* app = QCoreApplication::instance())
        QObject::connect(app, &QObject::destroyed, [] {
            SetDeviceOpener(nullptr);
            Installed().reset();
        });
}

const TUDisksOpener* InstalledUDisksOpener() { return Installed().get(); }

} // namespace lumivore
