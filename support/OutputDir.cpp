// Writing into a destination folder held open as a descriptor: safe folder creation, the
// examined-device refusal, whole-or-nothing files, and ownership under sudo or pkexec.
#include "support/OutputDir.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace lumivore {

namespace fs = std::filesystem;

namespace {

// Room kept free beyond a file's own bytes before it is started: its metadata and the report.
constexpr std::uint64_t kSpaceMargin = 64 * 1024;
// Names tried for one file before giving up: f...jpg, f...-1.jpg, ..., f...-9999.jpg.
constexpr int kMaxNameSuffix = 9999;
// Subfolders a recovered file's original folder may have below the destination.
constexpr std::size_t kMaxFolderDepth = 32;
// Folders walked or created on the way to a destination; a deeper path is not a real one.
constexpr std::size_t kMaxPathComponents = 4096;

std::string ErrnoText(int err) { return std::strerror(err); }

bool IsSpaceError(int err) { return err == ENOSPC || err == EFBIG || err == EDQUOT; }

// A user or group id from the environment: decimal digits only, and not root's.
std::optional<std::uint32_t> IdFromEnvironment(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    std::uint64_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(*p - '0');
        if (value >= 0xFFFFFFFFu) // (uid_t)-1 means "no change" to chown: never a user
            return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

bool ValidName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n, int& err) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, std::min<std::size_t>(n, 1u << 30));
        if (w < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            return false;
        }
        if (w == 0) {
            err = ENOSPC;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Gives tmp in the folder dir the name final inside the folder toDir unless final exists. 0,
// EEXIST, or an errno.
int RenameNoReplace(int dir, const std::string& tmp, int toDir, const std::string& final) {
    if (::renameat2(dir, tmp.c_str(), toDir, final.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno == EEXIST)
        return EEXIST;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    // File systems without an atomic no-replace rename: a hard link fails when the name exists.
    if (::linkat(dir, tmp.c_str(), toDir, final.c_str(), 0) == 0) {
        ::unlinkat(dir, tmp.c_str(), 0);
        return 0;
    }
    if (errno == EEXIST)
        return EEXIST;
    // Without hard links either (FAT): look, then rename; nothing else writes this folder.
    struct stat st {};
    if (::fstatat(toDir, final.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return EEXIST;
    if (::renameat(dir, tmp.c_str(), toDir, final.c_str()) == 0)
        return 0;
    return errno;
}

int RenameNoReplace(int dir, const std::string& tmp, const std::string& final) {
    return RenameNoReplace(dir, tmp, dir, final);
}

std::string OnExaminedMessage(const std::string& what, const std::string& how) {
    return "The destination " + what + " lies on the device being examined (" + how +
           "); writing there could overwrite the lost files. Choose a folder on another drive.";
}

// The files whose blocks are examined: the image, and the files behind examined loop devices.
std::vector<TFileId> ExaminedFiles(const TExaminedSource& examined) {
    std::vector<TFileId> files;
    if (examined.ImageDevice)
        files.push_back({*examined.ImageDevice, examined.ImageInode});
    for (dev_t d : examined.Devices)
        if (const std::optional<TFileId> file = LoopBackingFile(examined.Tables.SysRoot, d))
            if (std::find(files.begin(), files.end(), *file) == files.end())
                files.push_back(*file);
    return files;
}

// How a write below path would reach the examined device ("block device 8:17"); nothing when
// it would not.
std::optional<std::string> OnExamined(const std::string& path, std::optional<dev_t> knownDevice,
                                      const TExaminedSource& examined,
                                      const std::vector<TFileId>& examinedFiles) {
    if (examined.Devices.empty() && examinedFiles.empty())
        return std::nullopt;
    std::optional<dev_t> device = knownDevice;
    if (examined.FileSystemDevice)
        device = examined.FileSystemDevice(path);
    const TPathStorage storage = StorageOfPath(path, device, examined.Tables);
    for (dev_t d : storage.Devices)
        if (std::find(examined.Devices.begin(), examined.Devices.end(), d) != examined.Devices.end())
            return "block device " + DeviceNumberText(d);
    for (const TFileId& f : storage.Files)
        if (std::find(examinedFiles.begin(), examinedFiles.end(), f) != examinedFiles.end())
            return std::string("a file system served from the examined image file");
    return std::nullopt;
}

bool IsExamined(const struct stat& st, const TExaminedSource& examined, const std::vector<TFileId>& files) {
    if (S_ISBLK(st.st_mode) &&
        std::find(examined.Devices.begin(), examined.Devices.end(), st.st_rdev) != examined.Devices.end())
        return true;
    const TFileId id{st.st_dev, st.st_ino};
    return S_ISREG(st.st_mode) && std::find(files.begin(), files.end(), id) != files.end();
}

class TFd {
public:
    explicit TFd(int fd = -1) : fd_(fd) {}
    ~TFd() { Reset(-1); }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    void Reset(int fd) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    int Get() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

// The groups a user belongs to: the given primary group and those the group database lists.
std::vector<gid_t> GroupsOf(const TFileOwner& user) {
    std::vector<gid_t> groups;
    if (user.Gid != static_cast<gid_t>(-1))
        groups.push_back(user.Gid);
    const passwd* pw = ::getpwuid(user.Uid);
    if (pw == nullptr)
        return groups;
    const std::string name = pw->pw_name;
    const gid_t primary = pw->pw_gid;
    int count = 64;
    std::vector<gid_t> listed(static_cast<std::size_t>(count));
    if (::getgrouplist(name.c_str(), primary, listed.data(), &count) < 0 && count > 0 && count <= 65536) {
        listed.resize(static_cast<std::size_t>(count));
        if (::getgrouplist(name.c_str(), primary, listed.data(), &count) < 0)
            count = 0;
    }
    listed.resize(static_cast<std::size_t>(std::max(count, 0)));
    groups.insert(groups.end(), listed.begin(), listed.end());
    return groups;
}

// The permission bits (read 4, write 2, search 1) that st gives the user.
unsigned BitsFor(const struct stat& st, const TFileOwner& user, const std::vector<gid_t>& groups) {
    if (st.st_uid == user.Uid)
        return (st.st_mode >> 6) & 7u;
    if (std::find(groups.begin(), groups.end(), st.st_gid) != groups.end())
        return (st.st_mode >> 3) & 7u;
    return st.st_mode & 7u;
}

} // namespace

bool UserMayWriteIn(const std::string& folder, const TFileOwner& user) {
    const fs::path path(folder);
    if (!path.is_absolute())
        return false;
    const std::vector<gid_t> groups = GroupsOf(user);
    // Every folder on the way must let the user pass, the folder itself also write.
    fs::path at = path.root_path();
    std::vector<fs::path> steps{at};
    for (const fs::path& part : path.relative_path()) {
        if (part.empty())
            continue;
        at /= part;
        steps.push_back(at);
    }
    for (std::size_t i = 0; i < steps.size(); ++i) {
        struct stat st {};
        if (::lstat(steps[i].c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
        const unsigned need = i + 1 == steps.size() ? 3u : 1u;
        if ((BitsFor(st, user, groups) & need) != need)
            return false;
    }
    return true;
}

std::optional<TFileOwner> InvokingUser() {
    if (::geteuid() != 0)
        return std::nullopt;
    TFileOwner owner;
    if (const auto uid = IdFromEnvironment("SUDO_UID"); uid && *uid != 0) {
        owner.Uid = *uid;
        if (const auto gid = IdFromEnvironment("SUDO_GID"))
            owner.Gid = *gid;
        else if (const passwd* pw = ::getpwuid(owner.Uid))
            owner.Gid = pw->pw_gid;
        return owner;
    }
    if (const auto uid = IdFromEnvironment("PKEXEC_UID"); uid && *uid != 0) {
        owner.Uid = *uid;
        if (const passwd* pw = ::getpwuid(owner.Uid))
            owner.Gid = pw->pw_gid;
        return owner;
    }
    return std::nullopt;
}

TOutputDir::~TOutputDir() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool TOutputDir::Open(const std::string& folder, const TExaminedSource& examined, std::string& message) {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    folder_ = folder;
    examined_ = examined;
    owner_ = InvokingUser();
    if (folder_.empty()) {
        message = "No destination folder was given.";
        return false;
    }
    std::error_code ec;
    fs::path wanted = fs::absolute(folder_, ec).lexically_normal();
    if (ec) {
        message = "Cannot use the destination folder " + folder_ + ": " + ec.message() + ".";
        return false;
    }
    if (wanted.has_parent_path() && wanted.filename().empty())
        wanted = wanted.parent_path(); // "/a/b/" names "/a/b"

    // Split the path into the part that exists and the folders still to be made.
    std::vector<std::string> missing;
    fs::path existing = wanted;
    while (!fs::exists(existing, ec) && existing.has_relative_path() && missing.size() < kMaxPathComponents) {
        missing.push_back(existing.filename().string());
        existing = existing.parent_path();
    }
    const std::vector<TFileId> examinedFiles = ExaminedFiles(examined_);
    if (const auto how = OnExamined(existing.string(), std::nullopt, examined_, examinedFiles)) {
        message = OnExaminedMessage(folder_, *how);
        return false;
    }
    if (missing.empty() && !fs::is_directory(existing, ec)) {
        message = "The destination " + folder_ + " is not a folder.";
        return false;
    }

    // Walk down from the root over the existing part as the user's symlinks resolve it now;
    // from here on, every step refuses a symlink, so a path changed meanwhile is not followed.
    const fs::path real = fs::canonical(existing, ec);
    if (ec) {
        message = "Cannot create the destination folder " + folder_ + ": " + ec.message() + ".";
        return false;
    }
    TFd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    auto fail = [&](int err) {
        message = "Cannot create the destination folder " + folder_ + ": " + ErrnoText(err) + ".";
        return false;
    };
    if (dir.Get() < 0)
        return fail(errno);
    for (const fs::path& part : real.relative_path()) {
        const int next = ::openat(dir.Get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return fail(errno);
        dir.Reset(next);
    }
    fs::path made = real;
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const bool created = ::mkdirat(dir.Get(), it->c_str(), 0777) == 0;
        if (!created && errno != EEXIST)
            return fail(errno);
        const int next = ::openat(dir.Get(), it->c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0)
            return fail(errno);
        // A folder is the user's only where the user could have made it: handing over a folder
        // in a place only root may write (below /etc, say) would give the user a way in.
        if (created && owner_ && UserMayWriteIn(made.string(), *owner_))
            ::fchownat(next, "", owner_->Uid, owner_->Gid, AT_EMPTY_PATH);
        made /= *it;
        dir.Reset(next);
    }
    TFd folderFd(::openat(dir.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd.Get() < 0) {
        message = "The destination " + folder_ + " cannot be written: " + ErrnoText(errno) + ".";
        return false;
    }
    resolved_ = real.string();
    for (auto it = missing.rbegin(); it != missing.rend(); ++it)
        resolved_ = (fs::path(resolved_) / *it).string();

    struct stat st {};
    if (::fstat(folderFd.Get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        message = "The destination " + folder_ + " is not a folder.";
        return false;
    }
    if (const auto how = OnExamined(resolved_, st.st_dev, examined_, examinedFiles)) {
        message = OnExaminedMessage(folder_, *how);
        return false;
    }
    struct statvfs vfs {};
    if (::fstatvfs(folderFd.Get(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY) != 0) {
        message = "The destination " + folder_ + " cannot be written: its file system is mounted read-only.";
        return false;
    }
    if (::faccessat(folderFd.Get(), ".", W_OK | X_OK, 0) != 0) {
        message = "The destination " + folder_ + " cannot be written: " + ErrnoText(errno) + ".";
        return false;
    }
    // Files are the user's only in a folder the user could write to.
    handOver_ = owner_ && UserMayWriteIn(resolved_, *owner_);
    fd_ = folderFd.Release();
    return true;
}

bool TOutputDir::CheckTarget(const std::string& name, std::string& message) const {
    if (!ValidName(name)) {
        message = "\"" + name + "\" cannot be used as a file name.";
        return false;
    }
    struct stat st {};
    const std::vector<TFileId> files = ExaminedFiles(examined_);
    bool examined =
        ::fstatat(fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && IsExamined(st, examined_, files);
    if (!examined && S_ISLNK(st.st_mode) && ::fstatat(fd_, name.c_str(), &st, 0) == 0)
        examined = IsExamined(st, examined_, files);
    if (examined) {
        message = "The file " + (fs::path(folder_) / name).string() +
                  " is the device being examined; writing there would overwrite the lost files. "
                  "Choose a file on another drive.";
        return false;
    }
    if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) {
        message = (fs::path(folder_) / name).string() + " is a device, not a file. Choose a file on another drive.";
        return false;
    }
    return true;
}

std::string TOutputDir::WriteTemporary(std::uint64_t size, const TFileFiller& fill, std::optional<std::time_t> modified,
                                       bool durable, TWriteResult& result) {
    if (fd_ < 0) {
        result.Error = "the destination folder is not open";
        return {};
    }
    struct statvfs vfs {};
    if (::fstatvfs(fd_, &vfs) == 0) {
        const std::uint64_t avail = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
        if (avail < size + kSpaceMargin) {
            result.Outcome = TWriteOutcome::NoSpace;
            result.Error = "the destination has " + std::to_string(avail) + " bytes free, too little for " +
                           std::to_string(size) + " bytes";
            return {};
        }
    }
    // A fresh temporary name; created with the usual permissions (0666 less the umask).
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 1000 && fd < 0; ++attempt) {
        tmp = ".lumivore-" + std::to_string(::getpid()) + "-" + std::to_string(tempCounter_++) + ".partial";
        fd = ::openat(fd_, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int err = errno;
        result.Outcome = IsSpaceError(err) ? TWriteOutcome::NoSpace : TWriteOutcome::Failed;
        result.Error = "cannot create a file in the destination: " + ErrnoText(err);
        return {};
    }
    if (handOver_)
        ::fchown(fd, owner_->Uid, owner_->Gid); // a file left to root is still the right file
    int err = 0;
    bool ok = fill(fd, err);
    if (ok && modified) {
        const struct timespec times[2] = {{0, UTIME_NOW}, {*modified, 0}};
        ::futimens(fd, times); // a file whose time cannot be set is still the right file
    }
    if (ok && durable && ::fsync(fd) != 0) {
        err = errno;
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        err = errno;
        ok = err == EINTR; // the descriptor is gone either way; EINTR lost no data after fsync
    }
    if (!ok) {
        ::unlinkat(fd_, tmp.c_str(), 0);
        result.Outcome = IsSpaceError(err) ? TWriteOutcome::NoSpace : TWriteOutcome::Failed;
        result.Error = err == 0 ? "the file's bytes could not be supplied"
                                : "writing to the destination failed: " + ErrnoText(err);
        return {};
    }
    return tmp;
}

TWriteResult TOutputDir::Write(const std::function<std::string(int)>& nameFor, const std::uint8_t* data,
                               std::size_t size, std::optional<std::time_t> modified, bool durable) {
    TWriteResult result;
    const std::string tmp = WriteTemporary(
        size, [&](int fd, int& err) { return WriteAll(fd, data, size, err); }, modified, durable, result);
    return NameTemporary(tmp, nameFor, result);
}

TWriteResult TOutputDir::WriteStream(const std::function<std::string(int)>& nameFor, std::uint64_t size,
                                     std::size_t blockSize, const TBlockSource& source,
                                     std::optional<std::time_t> modified, bool durable) {
    TWriteResult result = WriteStreamPending(size, blockSize, source, modified, durable);
    if (result.Outcome != TWriteOutcome::Written)
        return result;
    const std::string tmp = result.Name;
    result = TWriteResult{};
    return NameTemporary(tmp, nameFor, result);
}

TWriteResult TOutputDir::WriteStreamPending(std::uint64_t size, std::size_t blockSize, const TBlockSource& source,
                                            std::optional<std::time_t> modified, bool durable) {
    TWriteResult result;
    if (blockSize == 0) {
        result.Error = "no block size";
        return result;
    }
    const std::string tmp = WriteTemporary(
        size,
        [&](int fd, int& err) {
            for (std::uint64_t offset = 0; offset < size;) {
                const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(blockSize, size - offset));
                const std::uint8_t* block = nullptr;
                if (!source(offset, n, block) || block == nullptr)
                    return false; // err stays 0: the source gave up, not the destination
                if (!WriteAll(fd, block, n, err))
                    return false;
                offset += n;
            }
            return true;
        },
        modified, durable, result);
    if (!tmp.empty()) {
        result.Outcome = TWriteOutcome::Written;
        result.Name = tmp;
    }
    return result;
}

TWriteResult TOutputDir::NamePending(const std::string& temporary, const std::function<std::string(int)>& nameFor) {
    TWriteResult result;
    if (fd_ < 0 || temporary.empty() || temporary.find('/') != std::string::npos || temporary == "." || temporary == "..") {
        result.Error = "no such file";
        return result;
    }
    return NameTemporary(temporary, nameFor, result);
}

TWriteResult TOutputDir::NameTemporary(const std::string& tmp, const std::function<std::string(int)>& nameFor,
                                       TWriteResult& result) {
    if (tmp.empty())
        return result;
    for (int suffix = 0; suffix <= kMaxNameSuffix; ++suffix) {
        const std::string name = nameFor(suffix);
        if (!ValidName(name)) {
            ::unlinkat(fd_, tmp.c_str(), 0);
            result.Error = "\"" + name + "\" cannot be used as a file name";
            return result;
        }
        const int r = RenameNoReplace(fd_, tmp, name);
        if (r == 0) {
            result.Outcome = TWriteOutcome::Written;
            result.Name = name;
            return result;
        }
        if (r != EEXIST) {
            ::unlinkat(fd_, tmp.c_str(), 0);
            result.Outcome = IsSpaceError(r) ? TWriteOutcome::NoSpace : TWriteOutcome::Failed;
            result.Error = "cannot name the file " + name + ": " + ErrnoText(r);
            return result;
        }
    }
    ::unlinkat(fd_, tmp.c_str(), 0);
    result.Error = "every name for the file is taken";
    return result;
}

TWriteResult TOutputDir::MoveInto(const std::string& from, const std::vector<std::string>& folder,
                                  const std::function<std::string(int)>& nameFor, std::optional<std::time_t> modified) {
    TWriteResult result;
    if (fd_ < 0 || !ValidName(from)) {
        result.Error = "no such file";
        return result;
    }
    if (folder.size() > kMaxFolderDepth) {
        result.Error = "the folder path is too deep";
        return result;
    }
    // Down the subfolders, creating what is missing, refusing symlinks at every step.
    TFd dir(::openat(fd_, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string path;
    for (const std::string& part : folder) {
        if (!ValidName(part)) {
            result.Error = "\"" + part + "\" cannot be used as a folder name";
            return result;
        }
        if (dir.Get() < 0)
            break;
        const bool created = ::mkdirat(dir.Get(), part.c_str(), 0777) == 0;
        if (!created && errno != EEXIST) {
            const int err = errno;
            result.Outcome = IsSpaceError(err) ? TWriteOutcome::NoSpace : TWriteOutcome::Failed;
            result.Error = "cannot create the folder " + path + part + ": " + ErrnoText(err);
            return result;
        }
        const int next = ::openat(dir.Get(), part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0) {
            const int err = errno;
            result.Error = "cannot open the folder " + path + part + ": " + ErrnoText(err);
            return result;
        }
        // Below a destination the user could write, as the files written there.
        if (created && handOver_)
            ::fchownat(next, "", owner_->Uid, owner_->Gid, AT_EMPTY_PATH);
        dir.Reset(next);
        path += part + "/";
    }
    if (dir.Get() < 0) {
        result.Error = "cannot open the destination folder";
        return result;
    }
    // O_PATH descriptors serve as the directory of *at calls.
    for (int suffix = 0; suffix <= kMaxNameSuffix; ++suffix) {
        const std::string name = nameFor(suffix);
        if (!ValidName(name)) {
            result.Error = "\"" + name + "\" cannot be used as a file name";
            return result;
        }
        const int r = RenameNoReplace(fd_, from, dir.Get(), name);
        if (r == 0) {
            if (modified) {
                const struct timespec times[2] = {{0, UTIME_NOW}, {*modified, 0}};
                ::utimensat(dir.Get(), name.c_str(), times, AT_SYMLINK_NOFOLLOW);
            }
            result.Outcome = TWriteOutcome::Written;
            result.Name = path + name;
            return result;
        }
        if (r != EEXIST) {
            result.Outcome = IsSpaceError(r) ? TWriteOutcome::NoSpace : TWriteOutcome::Failed;
            result.Error = "cannot name the file " + path + name + ": " + ErrnoText(r);
            return result;
        }
    }
    result.Error = "every name for the file is taken";
    return result;
}

bool TOutputDir::Truncate(const std::string& name, std::uint64_t size) const {
    if (fd_ < 0 || !ValidName(name))
        return false;
    TFd fd(::openat(fd_, name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (static_cast<std::uint64_t>(st.st_size) <= size)
        return true;
    return ::ftruncate(fd.Get(), static_cast<off_t>(size)) == 0 && ::fsync(fd.Get()) == 0;
}

bool TOutputDir::Extend(const std::string& name, std::uint64_t at, const std::uint8_t* data, std::size_t size) const {
    if (fd_ < 0 || !ValidName(name))
        return false;
    TFd fd(::openat(fd_, name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (fd.Get() < 0 || ::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<std::uint64_t>(st.st_size) != at)
        return false;
    for (std::size_t done = 0; done < size;) {
        const ssize_t w = ::pwrite(fd.Get(), data + done, size - done, static_cast<off_t>(at + done));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            // A full or failing destination: the file is left as it was.
            (void)::ftruncate(fd.Get(), static_cast<off_t>(at));
            return false;
        }
        done += static_cast<std::size_t>(w);
    }
    return ::fsync(fd.Get()) == 0;
}

bool TOutputDir::Remove(const std::string& name) const {
    if (fd_ < 0 || name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return false;
    return ::unlinkat(fd_, name.c_str(), 0) == 0;
}

TWriteResult TOutputDir::Replace(const std::string& name, const std::uint8_t* data, std::size_t size) {
    TWriteResult result;
    if (!ValidName(name)) {
        result.Error = "\"" + name + "\" cannot be used as a file name";
        return result;
    }
    const std::string tmp = WriteTemporary(
        size, [&](int fd, int& err) { return WriteAll(fd, data, size, err); }, std::nullopt, true, result);
    if (tmp.empty())
        return result;
    if (::renameat(fd_, tmp.c_str(), fd_, name.c_str()) != 0) {
        const int err = errno;
        ::unlinkat(fd_, tmp.c_str(), 0);
        result.Outcome = IsSpaceError(err) ? TWriteOutcome::NoSpace : TWriteOutcome::Failed;
        result.Error = "cannot name the file " + name + ": " + ErrnoText(err);
        return result;
    }
    result.Outcome = TWriteOutcome::Written;
    result.Name = name;
    return result;
}

void TOutputDir::Sync(bool everything) const {
    if (fd_ < 0)
        return;
    if (everything)
        ::syncfs(fd_);
    ::fsync(fd_);
}

} // namespace lumivore
