// Sectors kept in an unnamed file on the destination drive.
#include "engine/SectorSpill.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "engine/ScanEngine.h"

namespace lumivore {

int OpenUnnamedFile(int folderFd, const char* what) {
    if (folderFd < 0)
        return -1;
    int fd = -1;
#ifdef O_TMPFILE
    fd = ::openat(folderFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    // A file system without unnamed files (FAT, exFAT): a name of its own, unlinked at once;
    // the open descriptor keeps the file until it is closed.
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        const std::string name =
            std::string(".lumivore-") + what + "-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        fd = ::openat(folderFd, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0 && ::unlinkat(folderFd, name.c_str(), 0) != 0) {
            ::close(fd);
            return -1; // it would stay behind under that name
        }
        if (fd < 0 && errno != EEXIST)
            return -1;
    }
    return fd;
}

bool WriteAllAt(int fd, const std::uint8_t* data, std::size_t n, std::uint64_t at) {
    for (std::size_t done = 0; done < n;) {
        const ssize_t w = ::pwrite(fd, data + done, n - done, static_cast<off_t>(at + done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        done += static_cast<std::size_t>(w);
    }
    return true;
}

std::size_t ReadAt(int fd, std::uint8_t* out, std::size_t n, std::uint64_t at) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::pread(fd, out + done, n - done, static_cast<off_t>(at + done));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        done += static_cast<std::size_t>(r);
    }
    return done;
}

TSectorSpill::~TSectorSpill() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool TSectorSpill::Open(int folderFd) {
    if (fd_ >= 0)
        return true;
    if (folderFd < 0)
        return false;
    struct statvfs vfs {};
    if (::fstatvfs(folderFd, &vfs) != 0)
        return false;
    limit_ = std::min<std::uint64_t>(limit_, std::uint64_t{vfs.f_bavail} * vfs.f_frsize / 4);
    fd_ = OpenUnnamedFile(folderFd, "spill");
    return fd_ >= 0;
}

bool TSectorSpill::Holds(std::uint64_t sector) const {
    auto it = runs_.upper_bound(sector);
    if (it == runs_.begin())
        return false;
    --it;
    return sector < it->first + it->second.Sectors;
}

bool TSectorSpill::Keep(std::uint64_t first, std::uint64_t count, const std::uint8_t* data) {
    if (fd_ < 0 || failed_)
        return false;
    // Only the sectors not kept already, as one or more runs.
    std::uint64_t k = 0;
    while (k < count) {
        if (Holds(first + k)) {
            ++k;
            continue;
        }
        std::uint64_t n = 1;
        while (k + n < count && !Holds(first + k + n))
            ++n;
        const std::uint64_t bytes = n * kSectorSize;
        if (held_ + bytes > limit_)
            return false; // read from the device again when needed
        if (!WriteAllAt(fd_, data + k * kSectorSize, static_cast<std::size_t>(bytes), end_)) {
            failed_ = true; // a full or failing destination: what is not kept is read again
            return false;
        }
        runs_[first + k] = TRun{n, end_};
        end_ += bytes;
        held_ += bytes;
        written_ += bytes;
        k += n;
    }
    return true;
}

bool TSectorSpill::Copy(std::uint64_t first, std::uint64_t count, std::uint8_t* dest) const {
    if (fd_ < 0 || count == 0)
        return false;
    std::uint64_t k = 0;
    while (k < count) {
        const std::uint64_t sector = first + k;
        auto it = runs_.upper_bound(sector);
        if (it == runs_.begin())
            return false;
        --it;
        if (sector >= it->first + it->second.Sectors)
            return false;
        const std::uint64_t n = std::min(count - k, it->first + it->second.Sectors - sector);
        const std::uint64_t bytes = n * kSectorSize;
        const std::uint64_t at = it->second.At + (sector - it->first) * kSectorSize;
        if (ReadAt(fd_, dest + k * kSectorSize, static_cast<std::size_t>(bytes), at) != bytes)
            return false;
        k += n;
    }
    return true;
}

void TSectorSpill::Release(const TRun& run) {
    const std::uint64_t bytes = run.Sectors * kSectorSize;
    held_ -= std::min(held_, bytes);
#ifdef FALLOC_FL_PUNCH_HOLE
    // The file system takes the run's space back where it can; where it cannot, the space is
    // freed when the file is emptied.
    ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(run.At), static_cast<off_t>(bytes));
#endif
}

void TSectorSpill::Empty() {
    if (fd_ >= 0 && end_ > 0 && ::ftruncate(fd_, 0) == 0)
        end_ = 0;
    held_ = 0;
}

} // namespace lumivore
