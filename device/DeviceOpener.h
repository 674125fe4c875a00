#pragma once
// The seam through which a device that the program may not open itself is opened by someone
// who may: on a desktop, the windows install an opener that asks udisks2 for a descriptor. The
// device layer calls it only when its own read-only open fails for lack of rights, and reads
// through what it returns exactly as through its own descriptor.

#include <functional>
#include <string>

namespace lumivore {

// Given a device path, returns an open descriptor or -1 with errno set.
using TDeviceOpener = std::function<int(const std::string& path)>;

// Installs the opener (an empty one removes it); returns the one installed before.
TDeviceOpener SetDeviceOpener(TDeviceOpener opener);

// True when an opener is installed and not paused.
bool HasDeviceOpener();

// Opens `path` through the installed opener. The descriptor is accepted only when its access
// mode is read-only (fcntl F_GETFL): one open for writing is closed and refused with EPERM, so
// that the examined device can never be written through it. -1 with errno ENOSYS when no opener
// is installed (or it is paused), or with the opener's errno when it fails. The result is close-on-exec.
int OpenWithDeviceOpener(const std::string& path);

// While one exists, the installed opener is not asked. Listing every disk at start-up must not
// ask udisks2 (and so the user's password) for each disk the user cannot read; only a device the
// user chooses is worth the question.
class TDeviceOpenerPause {
public:
    TDeviceOpenerPause();
    ~TDeviceOpenerPause();
    TDeviceOpenerPause(const TDeviceOpenerPause&) = delete;
    TDeviceOpenerPause& operator=(const TDeviceOpenerPause&) = delete;
};

} // namespace lumivore
