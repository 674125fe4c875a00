#include "device/DskLib.h"
#include "device/DeviceOpener.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumivore {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kSector = 512;

TReadFault& ReadFaultSeam() {
    static TReadFault seam;
    return seam;
}

std::mutex& ReadFaultMutex() {
    static std::mutex m;
    return m;
}

TReadStop& ReadStopSeam() {
    static TReadStop seam;
    return seam;
}

// Whether the read fault set by a test fails this read. The scan reads on two threads: the
// fault is asked under a lock, so that its bookkeeping sees one read at a time.
bool SeamFails(std::uint64_t firstSector, std::uint16_t count) {
    if (!ReadFaultSeam())
        return false;
    const std::lock_guard<std::mutex> lock(ReadFaultMutex());
    return ReadFaultSeam() && ReadFaultSeam()(firstSector, count);
}

// How many sectors of this read the stop set by a test lets through.
std::uint16_t SeamDelivers(std::uint64_t firstSector, std::uint16_t count) {
    if (!ReadStopSeam())
        return count;
    const std::lock_guard<std::mutex> lock(ReadFaultMutex());
    return ReadStopSeam() ? std::min(count, ReadStopSeam()(firstSector, count)) : count;
}

// Compares names the way people count: "sdb" < "sdb2" < "sdb10", "nvme0n1" < "nvme1n1".
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
        const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size())
                return na.size() < nb.size();
            if (na != nb)
                return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::string ReadSmallFile(const fs::path& p) {
    std::ifstream in(p);
    std::string s;
    std::getline(in, s);
    return s;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// sysfs states sizes in 512-byte units whatever the device's sector size.
std::uint64_t SysfsBytes(const fs::path& sysEntry) {
    const std::string text = ReadSmallFile(sysEntry / "size");
    std::uint64_t sectors = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || sectors > (UINT64_MAX - 9) / 10 / 512)
            return 0;
        sectors = sectors * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return sectors * 512;
}

// Whether a /sys/block entry is a disk worth listing: no RAM disks, no unused loop devices.
bool IsListedDisk(const fs::path& sysDisk, const std::string& name) {
    if (StartsWith(name, "ram") || StartsWith(name, "zram"))
        return false;
    if (StartsWith(name, "loop")) {
        std::error_code ec;
        return fs::exists(sysDisk / "loop" / "backing_file", ec) && !ReadSmallFile(sysDisk / "loop" / "backing_file").empty();
    }
    return true;
}

std::uint16_t KindOfDisk(const fs::path& sysDisk, const std::string& name) {
    if (StartsWith(name, "sr"))
        return kKindCdRom;
    if (StartsWith(name, "fd"))
        return kKindFloppy;
    if (ReadSmallFile(sysDisk / "removable") == "1")
        return kKindRemovable;
    return kKindFixed;
}

std::string Canonical(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(path, ec);
    return ec ? path : p.string();
}

// Size in bytes of an open device or image, or -1 when it cannot be had.
std::int64_t DeviceBytes(int fd, bool& isBlock) {
    struct stat st {};
    if (fstat(fd, &st) != 0)
        return -1;
    isBlock = S_ISBLK(st.st_mode);
    if (isBlock) {
        std::uint64_t bytes = 0;
        if (ioctl(fd, BLKGETSIZE64, &bytes) != 0)
            return -1;
        return bytes > static_cast<std::uint64_t>(INT64_MAX) ? -1 : static_cast<std::int64_t>(bytes);
    }
    if (S_ISREG(st.st_mode))
        return st.st_size;
    return -1;
}

// Geometry of an open device: bytes per sector, heads and sectors per track. Devices that do
// not report a geometry get the usual synthetic 255 heads and 63 sectors per track.
void FillGeometry(int fd, bool isBlock, std::int64_t bytes, TDriveInfo& info) {
    info.BytesPerSector = kSector;
    info.TracksPerCylinder = 255;
    info.SectorsPerTrack = 63;
    if (isBlock) {
        int logical = 0;
        if (ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0)
            info.BytesPerSector = static_cast<std::uint32_t>(logical);
        struct hd_geometry geo {};
        if (ioctl(fd, HDIO_GETGEO, &geo) == 0 && geo.heads > 0 && geo.sectors > 0) {
            info.TracksPerCylinder = geo.heads;
            info.SectorsPerTrack = geo.sectors;
        }
    }
    const std::uint64_t perCylinder = std::uint64_t{info.TracksPerCylinder} * info.SectorsPerTrack;
    const std::uint64_t sectors = bytes > 0 ? static_cast<std::uint64_t>(bytes) / kSector : 0;
    info.Cylinders = static_cast<std::uint32_t>(sectors / perCylinder);
}

void ApplyKind(std::uint16_t kind, TDriveInfo& info) {
    info.Kind = kind;
    if (kind == kKindFloppy || kind == kKindRemovable || kind == kKindCdRom)
        info.Removable = 1;
}

class THandleGuard {
public:
    explicit THandleGuard(TDeviceHandle h) : h_(h) {}
    ~THandleGuard() { CloseDevice(h_); }
    THandleGuard(const THandleGuard&) = delete;
    THandleGuard& operator=(const THandleGuard&) = delete;

private:
    TDeviceHandle h_;
};

// The 8-byte label at offset, cut at its first zero, in lower case, without surrounding
// blanks and control characters.
std::string LabelAt(std::span<const std::uint8_t> sector, std::size_t offset) {
    std::string s;
    for (std::size_t i = 0; i < 8 && offset + i < sector.size(); ++i) {
        const std::uint8_t c = sector[offset + i];
        if (c == 0)
            break;
        s += static_cast<char>(std::tolower(c));
    }
    const auto keep = [](char c) { return static_cast<unsigned char>(c) > 32; };
    const auto first = std::find_if(s.begin(), s.end(), keep);
    const auto last = std::find_if(s.rbegin(), s.rend(), keep).base();
    return first < last ? std::string(first, last) : std::string();
}

} // namespace

// ---------------------------------------------------------------- catalogue

TDeviceCatalogue& TDeviceCatalogue::Instance() {
    static TDeviceCatalogue catalogue;
    return catalogue;
}

void TDeviceCatalogue::Clear() { entries_.clear(); }

void TDeviceCatalogue::Rebuild(const std::string& sysRoot, const std::string& devRoot) {
    sysRoot_ = sysRoot;
    devRoot_ = devRoot;
    std::vector<TDeviceEntry> images;
    for (const TDeviceEntry& e : entries_)
        if (e.IsImage)
            images.push_back(e);
    entries_ = images;

    std::vector<std::string> disks;
    std::error_code ec;
    const fs::path blockDir = fs::path(sysRoot) / "block";
    for (fs::directory_iterator it(blockDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (IsListedDisk(it->path(), name))
            disks.push_back(name);
    }
    std::sort(disks.begin(), disks.end(), NaturalLess);

    struct TPartition {
        std::string name;
        std::uint16_t kind;
        std::uint64_t bytes;
    };
    std::vector<TPartition> partitions;
    for (std::size_t n = 0; n < disks.size(); ++n) {
        const fs::path sysDisk = blockDir / disks[n];
        const std::uint16_t kind = KindOfDisk(sysDisk, disks[n]);
        if (n < 128)
            entries_.push_back({static_cast<std::uint8_t>(kFirstPhysicalCode + n), devRoot + "/" + disks[n], disks[n],
                                false, kind, SysfsBytes(sysDisk)});
        std::vector<std::string> parts;
        for (fs::directory_iterator it(sysDisk, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code ec2;
            if (fs::exists(it->path() / "partition", ec2))
                parts.push_back(it->path().filename().string());
        }
        std::sort(parts.begin(), parts.end(), NaturalLess);
        for (const std::string& p : parts)
            partitions.push_back({p, kind, SysfsBytes(sysDisk / p)});
    }

    // Letters first; partitions beyond the 26th take the logical codes above them.
    std::uint8_t code = 1;
    for (const TPartition& part : partitions) {
        while (code <= kLastLogicalCode && Find(code) != nullptr)
            ++code;
        if (code > kLastLogicalCode)
            break;
        entries_.push_back({code, devRoot + "/" + part.name, part.name, false, part.kind, part.bytes});
    }
    std::sort(entries_.begin(), entries_.end(), [](const TDeviceEntry& a, const TDeviceEntry& b) { return a.Code < b.Code; });
}

std::uint8_t TDeviceCatalogue::RegisterImage(const std::string& path) {
    const std::string canonical = Canonical(path);
    for (const TDeviceEntry& e : entries_)
        if (e.IsImage && e.Path == canonical)
            return e.Code;
    const int fd = ::open(canonical.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    struct stat st {};
    const bool regular = fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
    ::close(fd);
    if (!regular)
        return 0;
    for (std::uint8_t code = 1; code <= kLastLogicalCode; ++code) {
        if (Find(code) == nullptr) {
            entries_.push_back({code, canonical, fs::path(canonical).filename().string(), true, kKindFixed});
            std::sort(entries_.begin(), entries_.end(), [](const TDeviceEntry& a, const TDeviceEntry& b) { return a.Code < b.Code; });
            return code;
        }
    }
    return 0;
}

const TDeviceEntry* TDeviceCatalogue::Find(std::uint8_t code) const {
    for (const TDeviceEntry& e : entries_)
        if (e.Code == code)
            return &e;
    return nullptr;
}

std::string TDeviceCatalogue::PathFor(std::uint8_t code) const {
    const TDeviceEntry* e = Find(code);
    return e ? e->Path : std::string();
}

std::uint8_t TDeviceCatalogue::CodeForPath(const std::string& path) const {
    const std::string canonical = Canonical(path);
    for (const TDeviceEntry& e : entries_)
        if (e.Path == path || e.Path == canonical || Canonical(e.Path) == canonical)
            return e.Code;
    return 0;
}

// ---------------------------------------------------------------- raw access

TReadFault SetReadFault(TReadFault fault) {
    const std::lock_guard<std::mutex> lock(ReadFaultMutex());
    TReadFault previous = std::move(ReadFaultSeam());
    ReadFaultSeam() = std::move(fault);
    return previous;
}

TReadStop SetReadStop(TReadStop stop) {
    const std::lock_guard<std::mutex> lock(ReadFaultMutex());
    TReadStop previous = std::move(ReadStopSeam());
    ReadStopSeam() = std::move(stop);
    return previous;
}

TDeviceHandle OpenDevice(std::uint8_t code) {
    const std::string path = TDeviceCatalogue::Instance().PathFor(code);
    if (path.empty()) {
        errno = ENODEV;
        return kInvalidHandle;
    }
    // Read-only, always: the examined device is never written.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 && (errno == EACCES || errno == EPERM) && HasDeviceOpener())
        fd = OpenWithDeviceOpener(path); // a read-only descriptor from whoever may open it
    // errno stays as open (or the opener) left it: the caller reports the reason.
    return fd < 0 ? kInvalidHandle : fd;
}

void CloseDevice(TDeviceHandle handle) {
    if (handle != kInvalidHandle)
        ::close(handle);
}

bool QueryDriveInfo(std::uint8_t code, TDriveInfo& info) {
    const TDeviceHandle fd = OpenDevice(code);
    if (fd == kInvalidHandle)
        return false;
    THandleGuard guard(fd);
    const TDeviceEntry* entry = TDeviceCatalogue::Instance().Find(code);
    const std::uint16_t kind = entry ? entry->Kind : std::uint16_t{kKindUnknown};

    if (!IsPhysicalCode(code) && kind == kKindCdRom) {
        info = TDriveInfo{};
        info.Kind = kKindCdRom;
        info.Removable = 1;
        info.BytesPerSector = 2048;
        return true;
    }

    errno = 0;
    bool isBlock = false;
    const std::int64_t bytes = DeviceBytes(fd, isBlock);
    if (bytes < 0) {
        if (errno == 0)
            errno = ENODEV; // neither a block device nor a regular file
        return false;
    }
    // A card reader without a card answers with size 0; an image shorter than one sector
    // holds nothing to scan.
    if (bytes < static_cast<std::int64_t>(kSector)) {
        errno = isBlock ? ENOMEDIUM : ENODATA;
        return false;
    }
    info.Removable = 0;
    FillGeometry(fd, isBlock, bytes, info);
    // The scan range is the device's own size, for partitions and images as for whole disks.
    // A boot sector's total-sector fields describe a volume, which may be damaged, left over
    // from an earlier format, counted in larger sectors or larger than the device: trusting
    // them would leave readable sectors unscanned. The exact size also keeps the last partial
    // cylinder of a synthetic geometry.
    info.TotalSectors = bytes / kSector;
    ApplyKind(kind, info);
    return true;
}

std::uint32_t ReadDeviceSectors(TDeviceHandle handle, std::uint64_t firstSector, std::uint16_t count,
                                std::uint8_t retries, void* buffer) {
    if (handle == kInvalidHandle || buffer == nullptr)
        return 0;
    const std::size_t wanted = std::size_t{count} * kSector;
    // The last byte read must still be a valid file offset.
    constexpr std::uint64_t kLargestOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (firstSector > (kLargestOffset - wanted) / kSector)
        return 0;
    const off_t offset = static_cast<off_t>(firstSector * kSector);
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint32_t delivered = 0;
    for (unsigned attempt = 0; attempt <= retries; ++attempt) {
        delivered = 0;
        if (SeamFails(firstSector, count))
            continue;
        const std::uint16_t let = SeamDelivers(firstSector, count);
        const std::size_t allowed = std::size_t{let} * kSector;
        bool failed = let == 0 && count > 0;
        std::size_t total = 0;
        while (total < allowed) {
            const ssize_t n =
                ::pread(handle, out + total, allowed - total, offset + static_cast<off_t>(total));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                failed = total == 0;
                break;
            }
            if (n == 0)
                break;
            total += static_cast<std::size_t>(n);
        }
        delivered = static_cast<std::uint32_t>(total);
        if (!failed)
            return delivered;
    }
    return delivered;
}

bool CheckDeviceReady(TDeviceHandle handle) {
    if (handle == kInvalidHandle)
        return false;
    bool isBlock = false;
    const std::int64_t bytes = DeviceBytes(handle, isBlock);
    if (isBlock)
        return bytes > 0;
    std::uint8_t probe = 0;
    return bytes > 0 && ::pread(handle, &probe, 1, 0) == 1;
}

std::uint8_t DetectFileSystem(std::span<const std::uint8_t> sector) {
    if (sector.size() < kSector)
        return kFsNone;
    if (LabelAt(sector, 54) == "fat12")
        return kFsFat12;
    if (LabelAt(sector, 54) == "fat16")
        return kFsFat16;
    if (LabelAt(sector, 82) == "fat32")
        return kFsFat32;
    if (LabelAt(sector, 3) == "ntfs")
        return kFsNtfs;
    return kFsNone;
}

// ---------------------------------------------------------------- drive object

TDrive::~TDrive() { Close(); }

void TDrive::ForgetFailures() {
    const std::lock_guard<std::mutex> lock(failedMutex_);
    bad_.Clear();
    doubtful_.Clear();
    anyFailed_ = false;
}

void TDrive::Close() {
    ForgetFailures();
    CloseDevice(Handle);
    Handle = kInvalidHandle;
    DriveCode = 0;
    Info = TDriveInfo{};
}

void TDrive::Open(std::uint8_t code) {
    ForgetFailures();
    DriveCode = 0;
    Info = TDriveInfo{};
    OpenError = 0;
    CloseDevice(Handle);
    Handle = kInvalidHandle;
    if (!QueryDriveInfo(code, Info)) {
        OpenError = errno != 0 ? errno : ENODEV;
        Info = TDriveInfo{};
        return;
    }
    Handle = OpenDevice(code);
    if (Handle == kInvalidHandle) {
        OpenError = errno != 0 ? errno : ENODEV;
        Info = TDriveInfo{};
        return;
    }
    DriveCode = code;
}

// ---- runs of sectors

bool TSectorRuns::Contains(std::uint64_t sector) const {
    auto it = runs_.upper_bound(sector);
    return it != runs_.begin() && std::prev(it)->second > sector;
}

std::uint64_t TSectorRuns::NextFrom(std::uint64_t sector) const {
    if (Contains(sector))
        return sector;
    auto it = runs_.upper_bound(sector);
    return it != runs_.end() ? it->first : UINT64_MAX;
}

void TSectorRuns::Add(std::uint64_t first, std::uint64_t end) {
    if (first >= end)
        return;
    // Joins every run it touches, so that runs never touch.
    auto next = runs_.lower_bound(first);
    if (next != runs_.begin() && std::prev(next)->second >= first) {
        const auto before = std::prev(next);
        first = before->first;
        end = std::max(end, before->second);
        runs_.erase(before);
    }
    while (next != runs_.end() && next->first <= end) {
        end = std::max(end, next->second);
        next = runs_.erase(next);
    }
    runs_.emplace(first, end);
}

void TSectorRuns::Remove(std::uint64_t sector) {
    auto it = runs_.upper_bound(sector);
    if (it == runs_.begin() || std::prev(it)->second <= sector)
        return;
    --it;
    const std::uint64_t first = it->first, end = it->second;
    runs_.erase(it);
    if (first < sector)
        runs_.emplace(first, sector);
    if (sector + 1 < end)
        runs_.emplace(sector + 1, end);
}

std::uint64_t TSectorRuns::Count() const {
    std::uint64_t n = 0;
    for (const auto& [first, end] : runs_)
        n += end - first;
    return n;
}

// ---- reads that remember

std::uint64_t TDrive::Attempt(std::uint64_t first, std::uint16_t count, std::uint8_t* out) {
    const std::uint64_t got = ReadDeviceSectors(Handle, first, count, ReadRetries, out) / kSector;
    if (got == count && (count > 1 || !anyFailed_.load()))
        return got; // nothing learnt: a healthy device costs no lock
    const std::lock_guard<std::mutex> lock(failedMutex_);
    if (count == 1) {
        // A sector read alone is settled either way.
        doubtful_.Remove(first);
        if (got == 0) {
            bad_.Add(first, first + 1);
            anyFailed_ = true;
        }
    } else if (got < count) {
        // One of the sectors not delivered failed; which one, only reads of them alone can tell.
        doubtful_.Add(first + got, first + count);
        anyFailed_ = true;
    }
    return got;
}

std::uint32_t TDrive::Read(std::uint64_t firstSector, std::uint16_t count, void* buffer) {
    const std::uint64_t total = Info.TotalSectors > 0 ? static_cast<std::uint64_t>(Info.TotalSectors) : 0;
    if (firstSector >= total)
        return 0;
    if (total - firstSector < count)
        count = static_cast<std::uint16_t>(total - firstSector);
    if (count == 0 || Handle == kInvalidHandle || buffer == nullptr)
        return 0;
    auto* out = static_cast<std::uint8_t*>(buffer);
    if (!anyFailed_.load())
        return static_cast<std::uint32_t>(Attempt(firstSector, count, out) * kSector);
    // The device has failed before: the read goes on in parts that each avoid what is known.
    const std::uint64_t end = firstSector + count;
    std::uint64_t at = firstSector;
    while (at < end) {
        std::uint64_t stop = end;
        {
            const std::lock_guard<std::mutex> lock(failedMutex_);
            const std::uint64_t bad = bad_.NextFrom(at);
            if (bad == at)
                break;
            const std::uint64_t doubt = doubtful_.NextFrom(at);
            // A sector in doubt is asked for alone; known ones end the part before them.
            stop = doubt == at ? at + 1 : std::min({stop, bad, doubt});
        }
        const auto n = static_cast<std::uint16_t>(stop - at);
        const std::uint64_t got = Attempt(at, n, out + (at - firstSector) * kSector);
        at += got;
        if (got < n)
            break;
    }
    return static_cast<std::uint32_t>((at - firstSector) * kSector);
}

bool TDrive::KnownBad(std::uint64_t sector) const {
    const std::lock_guard<std::mutex> lock(failedMutex_);
    return bad_.Contains(sector);
}

std::uint64_t TDrive::KnownBadCount() const {
    const std::lock_guard<std::mutex> lock(failedMutex_);
    return bad_.Count();
}

bool TDrive::IsReady() const { return CheckDeviceReady(Handle); }

std::vector<std::uint8_t>& PhysicalDrives() {
    static std::vector<std::uint8_t> drives;
    return drives;
}

void EnumeratePhysicalDrives() {
    std::vector<std::uint8_t>& drives = PhysicalDrives();
    drives.clear();
    const TDeviceOpenerPause noPasswordPerDisk; // only a chosen device may ask for rights
    for (const TDeviceEntry& e : TDeviceCatalogue::Instance().Entries()) {
        if (!IsPhysicalCode(e.Code))
            continue;
        TDriveInfo scratch{};
        if (QueryDriveInfo(e.Code, scratch))
            drives.push_back(e.Code);
    }
}

} // namespace lumivore
