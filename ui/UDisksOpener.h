#pragma once
// Reading a card as a normal desktop user: udisks2 opens the block device on the program's
// behalf (org.freedesktop.UDisks2.Block.OpenForBackup, which asks polkit for the password) and
// hands back a read-only descriptor over D-Bus. Installed as the device layer's opener, it is
// asked only when the program's own read-only open fails for lack of rights.

#include <string>

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QString>

namespace lumivore {

// Why the last request gave no descriptor.
enum class TUDisksFailure {
    None,          // a descriptor was handed over
    NotAuthorized, // polkit refused, or the user dismissed the password dialog
    Unavailable,   // no udisks2 on the bus, or it does not know the device
    Failed,        // any other error udisks2 or the bus reported
};

class TUDisksOpener {
public:
    // The client of the udisks2 service on `bus` (the system bus on a desktop).
    explicit TUDisksOpener(const QDBusConnection& bus = QDBusConnection::systemBus());
    ~TUDisksOpener();
    TUDisksOpener(const TUDisksOpener&) = delete;
    TUDisksOpener& operator=(const TUDisksOpener&) = delete;

    // A read-only descriptor of the block device at `path`, close-on-exec, owned by the
    // caller; -1 otherwise, with errno EACCES (the program still lacks the rights to read the
    // device, whatever the reason) and the reason in LastFailure and LastError.
    int Open(const std::string& path);

    TUDisksFailure LastFailure() const { return lastFailure_; }
    // The D-Bus error name and message of the last failure ("org.freedesktop.UDisks2.Error.
    // NotAuthorizedDismissed: ..."), empty after a success.
    const QString& LastError() const { return lastError_; }

    // How long a request may wait, mostly for the user to type the password.
    static constexpr int kTimeoutMs = 5 * 60 * 1000;
    // Choosing a device opens it more than once in quick succession (its size, then the drive
    // itself); a descriptor obtained this recently for the same device is handed out again, so
    // one choice costs one request and at most one password. Older ones are not: the medium in
    // a card reader may have changed since.
    static constexpr qint64 kReuseMs = 5000;

private:
    QString BlockObjectFor(const std::string& path);
    int Fail(TUDisksFailure failure, const QString& error);

    QDBusConnection bus_;
    std::string recentPath_;
    int recentFd_ = -1;
    QElapsedTimer recentAge_;
    TUDisksFailure lastFailure_ = TUDisksFailure::None;
    QString lastError_;
};

// Makes udisks2 on `bus` the device layer's opener for the rest of the run (until another
// opener is installed). The windows call it once at start-up.
void InstallUDisksOpener(const QDBusConnection& bus = QDBusConnection::systemBus());

// The opener installed by InstallUDisksOpener, or nullptr; for the windows to tell why a
// device could not be opened.
const TUDisksOpener* InstalledUDisksOpener();

} // namespace lumivore
