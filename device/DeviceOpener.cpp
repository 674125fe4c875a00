#include "device/DeviceOpener.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace lumivore {

namespace {

TDeviceOpener& Installed() {
    static TDeviceOpener opener;
    return opener;
}

int& Pauses() {
    static int pauses = 0;
    return pauses;
}

} // namespace

TDeviceOpener SetDeviceOpener(TDeviceOpener opener) {
    TDeviceOpener previous = std::move(Installed());
    Installed() = std::move(opener);
    return previous;
}

bool HasDeviceOpener() { return Pauses() == 0 && static_cast<bool>(Installed()); }

TDeviceOpenerPause::TDeviceOpenerPause() { ++Pauses(); }
TDeviceOpenerPause::~TDeviceOpenerPause() { --Pauses(); }

int OpenWithDeviceOpener(const std::string& path) {
    if (!HasDeviceOpener()) {
        errno = ENOSYS;
        return -1;
    }
    const int fd = Installed()(path);
    if (fd < 0) {
        if (errno == 0)
            errno = EACCES;
        return -1;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) != O_RDONLY) {
        ::close(fd);
        errno = flags < 0 ? EBADF : EPERM;
        return -1;
    }
    // The program may start helpers (a file manager, a browser for the help): they must not
    // inherit the device.
    const int fdFlags = ::fcntl(fd, F_GETFD);
    if (fdFlags >= 0 && (fdFlags & FD_CLOEXEC) == 0)
        ::fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC);
    return fd;
}

} // namespace lumivore
