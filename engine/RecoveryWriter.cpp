// Destination checks, whole-or-nothing file writes, recovered file names, the EXIF date as a
// file time, the block devices behind a device number, and CSV fields.
#include "engine/RecoveryWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "support/SafeText.h"

namespace lumivore {

namespace fs = std::filesystem;

namespace {

// Room kept free beyond a file's own bytes before it is started: its metadata and the report.
constexpr std::uint64_t kSpaceMargin = 64 * 1024;
// Names tried for one file before giving up: f...jpg, f...-1.jpg, ..., f...-9999.jpg.
constexpr int kMaxNameSuffix = 9999;
// Levels of stacked devices followed (a partition under LVM under RAID is three).
constexpr int kMaxStackDepth = 8;

std::string ErrnoText(int err) { return std::strerror(err); }

bool IsSpaceError(int err) { return err == ENOSPC || err == EFBIG || err == EDQUOT; }

// The nearest folder of path (or path itself) that exists; empty when none does.
fs::path NearestExisting(const fs::path& path) {
    std::error_code ec;
    fs::path p = fs::absolute(path, ec);
    if (ec)
        p = path;
    for (int guard = 0; guard < 4096 && !p.empty(); ++guard) {
        if (fs::exists(p, ec))
            return p;
        const fs::path parent = p.parent_path();
        if (parent == p)
            break;
        p = parent;
    }
    return {};
}

std::string DeviceName(dev_t d) {
    return std::to_string(major(d)) + ":" + std::to_string(minor(d));
}

bool ReadDevFile(const fs::path& file, dev_t& out) {
    std::ifstream in(file);
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (!(in >> maj >> colon >> min) || colon != ':')
        return false;
    out = makedev(maj, min);
    return true;
}

// Adds the devices stacked on the block device whose sysfs folder is dir (its holders), and
// theirs, to out.
void AddHolders(const fs::path& dir, int depth, std::set<std::string>& seen, std::vector<dev_t>& out) {
    if (depth > kMaxStackDepth)
        return;
    std::error_code ec;
    for (const fs::directory_entry& h : fs::directory_iterator(dir / "holders", ec)) {
        const fs::path real = fs::canonical(h.path(), ec);
        if (ec || !seen.insert(real.string()).second)
            continue;
        dev_t d{};
        if (ReadDevFile(real / "dev", d))
            out.push_back(d);
        AddHolders(real, depth + 1, seen, out);
    }
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

// Gives tmp the name final unless final exists. 0, EEXIST, or another errno.
int LinkNoReplace(const std::string& tmp, const std::string& final) {
    if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, final.c_str(), RENAME_NOREPLACE) == 0)
        return 0;
    if (errno == EEXIST)
        return EEXIST;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP)
        return errno;
    // File systems without an atomic no-replace rename: a hard link fails when the name exists.
    if (::link(tmp.c_str(), final.c_str()) == 0) {
        ::unlink(tmp.c_str());
        return 0;
    }
    if (errno == EEXIST)
        return EEXIST;
    // Without hard links either (FAT): look, then rename; nothing else writes this folder.
    struct stat st {};
    if (::lstat(final.c_str(), &st) == 0)
        return EEXIST;
    if (::rename(tmp.c_str(), final.c_str()) == 0)
        return 0;
    return errno;
}

} // namespace

bool TRecoveryDestination::Prepare(const std::function<std::optional<dev_t>(const std::string&)>& fileSystemDevice,
                                   const std::vector<dev_t>& examined, std::string& message) {
    if (folder_.empty()) {
        message = "No destination folder was given.";
        return false;
    }
    // Where the folder's file system lives is known before the folder exists: it is the file
    // system of its nearest existing parent.
    auto onExamined = [&](const std::string& path) {
        const std::optional<dev_t> d = fileSystemDevice(path);
        return d && std::find(examined.begin(), examined.end(), *d) != examined.end() ? d : std::nullopt;
    };
    const fs::path existing = NearestExisting(folder_);
    if (!existing.empty()) {
        if (const auto d = onExamined(existing.string())) {
            message = "The destination " + folder_ + " lies on the device being examined (block device " +
                      DeviceName(*d) + "); writing there could overwrite the lost files. Choose a folder on another drive.";
            return false;
        }
    }
    std::error_code ec;
    fs::create_directories(folder_, ec);
    if (ec) {
        message = "Cannot create the destination folder " + folder_ + ": " + ec.message() + ".";
        return false;
    }
    struct stat st {};
    if (::stat(folder_.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        message = "The destination " + folder_ + " is not a folder.";
        return false;
    }
    if (const auto d = onExamined(folder_)) {
        message = "The destination " + folder_ + " lies on the device being examined (block device " +
                  DeviceName(*d) + "); writing there could overwrite the lost files. Choose a folder on another drive.";
        return false;
    }
    struct statvfs vfs {};
    if (::statvfs(folder_.c_str(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY) != 0) {
        message = "The destination " + folder_ + " cannot be written: its file system is mounted read-only.";
        return false;
    }
    if (::access(folder_.c_str(), W_OK | X_OK) != 0) {
        message = "The destination " + folder_ + " cannot be written: " + ErrnoText(errno) + ".";
        return false;
    }
    return true;
}

TWriteResult TRecoveryDestination::Write(const std::function<std::string(int)>& nameFor, TBytes data,
                                         std::optional<std::time_t> modified) {
    TWriteResult result;
    struct statvfs vfs {};
    if (::statvfs(folder_.c_str(), &vfs) == 0) {
        const std::uint64_t avail = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
        if (avail < data.size() + kSpaceMargin) {
            result.Outcome = TWriteOutcome::NoSpace;
            result.Error = "the destination has " + std::to_string(avail) + " bytes free, too little for " +
                           std::to_string(data.size()) + " bytes";
            return result;
        }
    }

    // A fresh temporary name; created with the usual permissions (0666 less the umask).
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 1000 && fd < 0; ++attempt) {
        tmp = folder_ + "/.lumivore-" + std::to_string(::getpid()) + "-" + std::to_string(tempCounter_++) + ".partial";
        fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int err = errno;
        result.Outcome = IsSpaceError(err) ? TWriteOutcome::NoSpace : TWriteOutcome::Failed;
        result.Error = "cannot create a file in the destination: " + ErrnoText(err);
        return result;
    }
    int err = 0;
    bool ok = WriteAll(fd, data.data(), data.size(), err);
    if (ok && modified) {
        const struct timespec times[2] = {{0, UTIME_NOW}, {*modified, 0}};
        ::futimens(fd, times); // a file whose time cannot be set is still the right file
    }
    if (ok && ::fsync(fd) != 0) {
        err = errno;
        ok = false;
    }
    if (::close(fd) != 0 && ok) {
        err = errno;
        ok = err == EINTR; // the descriptor is gone either way; EINTR lost no data after fsync
    }
    if (!ok) {
        ::unlink(tmp.c_str());
        result.Outcome = IsSpaceError(err) ? TWriteOutcome::NoSpace : TWriteOutcome::Failed;
        result.Error = "writing to the destination failed: " + ErrnoText(err);
        return result;
    }
    for (int suffix = 0; suffix <= kMaxNameSuffix; ++suffix) {
        const std::string name = nameFor(suffix);
        const int r = LinkNoReplace(tmp, folder_ + "/" + name);
        if (r == 0) {
            result.Outcome = TWriteOutcome::Written;
            result.Name = name;
            return result;
        }
        if (r != EEXIST) {
            ::unlink(tmp.c_str());
            result.Outcome = IsSpaceError(r) ? TWriteOutcome::NoSpace : TWriteOutcome::Failed;
            result.Error = "cannot name the file " + name + ": " + ErrnoText(r);
            return result;
        }
    }
    ::unlink(tmp.c_str());
    result.Error = "every name for the file is taken";
    return result;
}

void TRecoveryDestination::SyncFolder() const {
    const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// ---------------------------------------------------------------- small helpers

std::string RecoveredFileName(std::int64_t startSector, const std::string& ext, int suffix) {
    char stem[40];
    std::snprintf(stem, sizeof stem, "f%010lld", static_cast<long long>(startSector));
    std::string name = stem;
    if (suffix > 0)
        name += "-" + std::to_string(suffix);
    name += '.';
    for (char c : ext)
        name += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return name;
}

std::optional<std::time_t> ParseDateTaken(const std::string& text) {
    // "YYYY:MM:DD HH:MM:SS", possibly followed by blanks or NULs as cameras pad the field.
    static constexpr char kPattern[] = "dddd:dd:dd dd:dd:dd";
    if (text.size() < 19)
        return std::nullopt;
    for (std::size_t i = 0; i < 19; ++i) {
        const char c = text[i];
        if (kPattern[i] == 'd' ? (c < '0' || c > '9') : c != kPattern[i])
            return std::nullopt;
    }
    for (std::size_t i = 19; i < text.size(); ++i)
        if (text[i] != ' ' && text[i] != '\0')
            return std::nullopt;
    auto num = [&](std::size_t at, std::size_t n) {
        int v = 0;
        for (std::size_t i = 0; i < n; ++i)
            v = v * 10 + (text[at + i] - '0');
        return v;
    };
    std::tm tm{};
    tm.tm_year = num(0, 4) - 1900;
    tm.tm_mon = num(5, 2) - 1;
    tm.tm_mday = num(8, 2);
    tm.tm_hour = num(11, 2);
    tm.tm_min = num(14, 2);
    tm.tm_sec = num(17, 2);
    if (tm.tm_year < 70 || tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 59)
        return std::nullopt;
    tm.tm_isdst = -1;
    const std::tm asGiven = tm;
    const std::time_t t = std::mktime(&tm);
    // mktime moves a day that the month lacks (February 30) into the next month: refuse it.
    if (t == static_cast<std::time_t>(-1) || tm.tm_mday != asGiven.tm_mday || tm.tm_mon != asGiven.tm_mon)
        return std::nullopt;
    return t;
}

std::vector<dev_t> RelatedBlockDevices(const std::string& sysRoot, dev_t device) {
    std::vector<dev_t> out{device};
    std::error_code ec;
    const fs::path dir = fs::canonical(fs::path(sysRoot) / "dev" / "block" / DeviceName(device), ec);
    if (ec)
        return out;
    std::set<std::string> seen{dir.string()};
    AddHolders(dir, 0, seen, out);
    for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
        if (!e.is_directory(ec) || !fs::exists(e.path() / "partition", ec))
            continue;
        dev_t d{};
        if (ReadDevFile(e.path() / "dev", d))
            out.push_back(d);
        AddHolders(e.path(), 0, seen, out);
    }
    return out;
}

std::string CsvField(const std::string& text) {
    // Device text may carry control characters or start like a formula: the cell shows it
    // visibly and inertly, whatever field it came from.
    const std::string safe = SpreadsheetText(text);
    if (safe.find_first_of(",\"\r\n") == std::string::npos)
        return safe;
    std::string out = "\"";
    for (char c : safe) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
    return out;
}

const char* StatusText(TRecoveryStatus status) {
    switch (status) {
    case TRecoveryStatus::Recovered: return "recovered";
    case TRecoveryStatus::Failed: return "failed";
    case TRecoveryStatus::Abandoned: return "abandoned";
    case TRecoveryStatus::NotWritten: return "not written";
    }
    return "";
}

} // namespace lumivore
