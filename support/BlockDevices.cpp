// The block devices behind a path (mount table, btrfs members, overlay layers, loop backing
// files) and behind a device number (partitions and stacked devices).
#include "support/BlockDevices.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace lumivore {

namespace fs = std::filesystem;

namespace {

// Levels of stacked devices followed (a partition under LVM under RAID is three).
constexpr int kMaxStackDepth = 8;
// Levels of mounts followed from a path: an overlay whose layer lies on a loop device whose
// backing file lies on another overlay is four; anything deeper is a loop in the tables.
constexpr int kMaxMountDepth = 8;
// Lines of the mount table read; a container host has a few thousand at most.
constexpr std::size_t kMaxMountLines = 100'000;

struct TMount {
    dev_t Device{};
    std::string MountPoint;
    std::string FsType;
    std::string Source;
    std::string SuperOptions;
};

// "major:minor", as sysfs and the mount table write a device number.
bool ParseDeviceNumber(const std::string& text, dev_t& out) {
    std::istringstream in(text);
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (!(in >> maj >> colon >> min) || colon != ':')
        return false;
    out = makedev(maj, min);
    return true;
}

// A sysfs "dev" file.
bool ReadDevFile(const fs::path& file, dev_t& out) {
    std::ifstream in(file);
    std::string line;
    return std::getline(in, line) && ParseDeviceNumber(line, out);
}

// The mount table writes space, tab, newline and backslash in names as \ooo.
std::string Unescape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && s.size() - i > 3 && s[i + 1] >= '0' && s[i + 1] <= '3' && s[i + 2] >= '0' && s[i + 2] <= '7' && s[i + 3] >= '0' &&
            s[i + 3] <= '7') {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Lines of /proc/self/mountinfo: "id parent major:minor root mountpoint options [optional...] -
// fstype source superoptions". A line that does not parse is skipped.
std::vector<TMount> ReadMountInfo(const std::string& path) {
    std::vector<TMount> mounts;
    std::ifstream in(path);
    std::string line;
    while (mounts.size() < kMaxMountLines && std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string word; fields >> word;)
            f.push_back(word);
        const auto dash = std::find(f.begin(), f.end(), "-");
        const auto at = static_cast<std::size_t>(dash - f.begin());
        if (dash == f.end() || at < 6 || f.size() < at + 3)
            continue;
        TMount m;
        if (!ParseDeviceNumber(f[2], m.Device))
            continue;
        m.MountPoint = Unescape(f[4]);
        m.FsType = f[at + 1];
        m.Source = Unescape(f[at + 2]);
        m.SuperOptions = f.size() > at + 3 ? Unescape(f[at + 3]) : std::string();
        mounts.push_back(std::move(m));
    }
    return mounts;
}

// Whether path lies at or below the folder mountPoint, comparing whole components.
bool PathUnder(const std::string& path, const std::string& mountPoint) {
    if (mountPoint == "/")
        return !path.empty() && path[0] == '/';
    return path.compare(0, mountPoint.size(), mountPoint) == 0 &&
           (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

// The mount a path lives on. Every mount of one file system shows the same device number, so
// a known number decides; otherwise the deepest mount point above the path, the one mounted
// last when several share it.
std::optional<std::size_t> MountOf(const std::vector<TMount>& mounts, const std::string& path,
                                   std::optional<dev_t> device) {
    std::optional<std::size_t> byDevice, byPath;
    for (std::size_t i = 0; i < mounts.size(); ++i) {
        const TMount& m = mounts[i];
        const bool under = PathUnder(path, m.MountPoint);
        if (device && m.Device == *device && (!byDevice || under))
            byDevice = i;
        if (under && (!byPath || m.MountPoint.size() >= mounts[*byPath].MountPoint.size()))
            byPath = i;
    }
    return byDevice ? byDevice : byPath;
}

// Overlay layers named in the super options: upperdir, workdir and every lowerdir (a list
// separated by colons, "\:" standing for a colon inside a name; newer kernels also repeat
// "lowerdir+=" and "datadir+=").
std::vector<std::string> OverlayLayers(const std::string& options) {
    std::vector<std::string> layers;
    std::string option;
    std::istringstream in(options);
    while (std::getline(in, option, ',')) {
        const std::size_t eq = option.find('=');
        if (eq == std::string::npos)
            continue;
        const std::string key = option.substr(0, eq), value = option.substr(eq + 1);
        if (key == "upperdir" || key == "workdir" || key == "lowerdir+" || key == "datadir+") {
            layers.push_back(value);
        } else if (key == "lowerdir") {
            std::string layer;
            for (std::size_t i = 0; i < value.size(); ++i) {
                if (value[i] == '\\' && i + 1 < value.size()) {
                    layer += value[++i];
                } else if (value[i] == ':') {
                    layers.push_back(layer);
                    layer.clear();
                } else {
                    layer += value[i];
                }
            }
            layers.push_back(layer);
        }
    }
    layers.erase(std::remove(layers.begin(), layers.end(), std::string()), layers.end());
    return layers;
}

// The first line of a small sysfs file; empty when it cannot be read.
std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// The backing file a loop device names in sysfs; empty for another device. A file deleted
// since is named with " (deleted)" after it, and is no file any more.
std::string BackingFileName(const std::string& sysRoot, dev_t device) {
    std::ifstream in(fs::path(sysRoot) / "dev/block" / DeviceNumberText(device) / "loop/backing_file");
    std::string backing;
    if (!std::getline(in, backing))
        return {};
    return backing;
}

// Walks the tables from a path to every block device it can write to.
class TFinder {
public:
    explicit TFinder(const TSystemTables& tables) : tables_(tables), mounts_(ReadMountInfo(tables.MountInfo)) {}

    void Collect(const std::string& path, std::optional<dev_t> device, int depth) {
        if (depth > kMaxMountDepth)
            return;
        if (!device) {
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0)
                device = st.st_dev;
        }
        if (device)
            Add(*device, depth);
        std::error_code ec;
        fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
        if (ec)
            p = fs::path(path).lexically_normal();
        const std::optional<std::size_t> at = MountOf(mounts_, p.string(), device);
        if (!at || !visitedMounts_.insert(*at).second)
            return;
        const TMount m = mounts_[*at];
        Add(m.Device, depth);
        if (!m.Source.empty() && m.Source[0] == '/') {
            std::string name;
            if (const std::optional<dev_t> d = BlockDeviceOf(m.Source, name)) {
                Add(*d, depth);
                if (m.FsType == "btrfs")
                    AddBtrfsMembers(name, depth);
            } else if (const std::optional<TFileId> file = RegularFileId(m.Source)) {
                // A file system served from a file without a loop device (ntfs-3g or another
                // FUSE driver given an image): a write there lands in that file.
                AddFile(*file, m.Source, depth);
            }
        }
        if (m.FsType == "overlay")
            for (const std::string& layer : OverlayLayers(m.SuperOptions))
                Collect(layer, std::nullopt, depth + 1);
    }

    TPathStorage Found() const { return found_; }

private:
    void Add(dev_t d, int depth) {
        if (std::find(found_.Devices.begin(), found_.Devices.end(), d) != found_.Devices.end())
            return;
        found_.Devices.push_back(d);
        // A loop device writes into its backing file, which lives on devices of its own.
        const std::string backing = BackingFileName(tables_.SysRoot, d);
        if (backing.empty())
            return;
        if (const std::optional<TFileId> file = RegularFileId(backing))
            AddFile(*file, backing, depth);
        else
            Collect(backing, std::nullopt, depth + 1);
    }

    void AddFile(const TFileId& file, const std::string& path, int depth) {
        if (std::find(found_.Files.begin(), found_.Files.end(), file) != found_.Files.end())
            return;
        found_.Files.push_back(file);
        Collect(path, std::nullopt, depth + 1);
    }

    // The number of the block device a mount source names, and its kernel name: looked up in
    // sysfs by the source's name, then by the name it resolves to (/dev/mapper/x is dm-N),
    // then from the device node itself.
    std::optional<dev_t> BlockDeviceOf(const std::string& source, std::string& name) {
        const fs::path classBlock = fs::path(tables_.SysRoot) / "class/block";
        dev_t d{};
        name = fs::path(source).filename().string();
        if (!name.empty() && ReadDevFile(classBlock / name / "dev", d))
            return d;
        std::error_code ec;
        const fs::path real = fs::canonical(source, ec);
        if (!ec) {
            name = real.filename().string();
            if (ReadDevFile(classBlock / name / "dev", d))
                return d;
        }
        struct stat st {};
        if (::stat(source.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            return st.st_rdev;
        return std::nullopt;
    }

    // Every device of the btrfs file system that has this device among its members.
    void AddBtrfsMembers(const std::string& name, int depth) {
        std::error_code ec;
        for (const fs::directory_entry& fsDir : fs::directory_iterator(fs::path(tables_.SysRoot) / "fs/btrfs", ec)) {
            const fs::path devices = fsDir.path() / "devices";
            std::error_code e2;
            if (!fs::exists(devices / name, e2))
                continue;
            for (const fs::directory_entry& member : fs::directory_iterator(devices, e2)) {
                dev_t d{};
                if (ReadDevFile(member.path() / "dev", d))
                    Add(d, depth);
            }
        }
    }

    const TSystemTables& tables_;
    std::vector<TMount> mounts_;
    std::set<std::size_t> visitedMounts_;
    TPathStorage found_;
};

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

} // namespace

std::string DeviceNumberText(dev_t device) {
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::optional<TFileId> RegularFileId(const std::string& path) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    return TFileId{st.st_dev, st.st_ino};
}

std::optional<TFileId> LoopBackingFile(const std::string& sysRoot, dev_t device) {
    if (std::optional<TFileId> file = RegularFileId(BackingFileName(sysRoot, device)))
        return file;
    // A partition of a loop device: the file of the device it is part of.
    std::error_code ec;
    const fs::path dir = fs::canonical(fs::path(sysRoot) / "dev/block" / DeviceNumberText(device), ec);
    if (ec || !fs::exists(dir / "partition", ec))
        return std::nullopt;
    std::ifstream in(dir.parent_path() / "loop/backing_file");
    std::string backing;
    return std::getline(in, backing) ? RegularFileId(backing) : std::nullopt;
}

namespace {

// The device, its partitions and the devices stacked on them, added to out.
void AddDeviceAndParts(const std::string& sysRoot, dev_t device, std::vector<dev_t>& out) {
    out.push_back(device);
    std::error_code ec;
    const fs::path dir = fs::canonical(fs::path(sysRoot) / "dev" / "block" / DeviceNumberText(device), ec);
    if (ec)
        return;
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
}

} // namespace

std::vector<dev_t> RelatedBlockDevices(const std::string& sysRoot, dev_t device) {
    std::vector<dev_t> out;
    AddDeviceAndParts(sysRoot, device, out);
    // Another loop device set up on the same file reaches the same blocks: the whole device, or
    // for a partition the partition that starts where it does.
    const std::optional<TFileId> backing = LoopBackingFile(sysRoot, device);
    if (!backing)
        return out;
    std::error_code ec;
    const fs::path dir = fs::canonical(fs::path(sysRoot) / "dev/block" / DeviceNumberText(device), ec);
    const bool partition = !ec && fs::exists(dir / "partition", ec);
    const std::string start = partition ? FirstLine(dir / "start") : std::string();
    for (const fs::directory_entry& e : fs::directory_iterator(fs::path(sysRoot) / "block", ec)) {
        dev_t other{};
        if (!ReadDevFile(e.path() / "dev", other) || other == device ||
            RegularFileId(BackingFileName(sysRoot, other)) != backing)
            continue;
        if (!partition) {
            AddDeviceAndParts(sysRoot, other, out);
            continue;
        }
        std::error_code e2;
        for (const fs::directory_entry& part : fs::directory_iterator(e.path(), e2)) {
            dev_t d{};
            if (fs::exists(part.path() / "partition", e2) && !start.empty() &&
                FirstLine(part.path() / "start") == start && ReadDevFile(part.path() / "dev", d))
                AddDeviceAndParts(sysRoot, d, out);
        }
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

TPathStorage StorageOfPath(const std::string& path, std::optional<dev_t> fileSystemDevice,
                           const TSystemTables& tables) {
    TFinder finder(tables);
    finder.Collect(path, fileSystemDevice, 0);
    return finder.Found();
}

std::vector<dev_t> BlockDevicesOfPath(const std::string& path, std::optional<dev_t> fileSystemDevice,
                                      const TSystemTables& tables) {
    return StorageOfPath(path, fileSystemDevice, tables).Devices;
}

} // namespace lumivore
