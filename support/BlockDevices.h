#pragma once
// Which block devices hold a path, and which block devices make up a device: what it takes to
// know that a folder lies on the device being examined. A file system's st_dev is not enough:
// btrfs and overlayfs report anonymous device numbers, so the mount table (mount source,
// overlay layers, btrfs member devices) and sysfs (partitions, stacked devices, loop backing
// files) are read as well. Both tables can be pointed elsewhere, so that tests feed recorded
// ones.

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace lumivore {

struct TSystemTables {
    std::string MountInfo = "/proc/self/mountinfo";
    std::string SysRoot = "/sys";
};

// "major:minor".
std::string DeviceNumberText(dev_t device);

// A file as the system knows it, whatever its names: its file system's device and its inode.
struct TFileId {
    dev_t Device{};
    ino_t Inode{};
    bool operator==(const TFileId&) const = default;
};
// The file at path (links followed); nothing when it is not a regular file.
std::optional<TFileId> RegularFileId(const std::string& path);

// The file a loop device reads and writes, from sysRoot; nothing for another device, or when
// the file is gone.
std::optional<TFileId> LoopBackingFile(const std::string& sysRoot, dev_t device);

// Block devices that make up the device with this number: itself, its partitions and the
// devices stacked on any of them (device mapper, RAID), read from sysRoot ("/sys"). For a loop
// device also every other loop device that serves the same file, with theirs: a file set up
// twice is one device twice.
std::vector<dev_t> RelatedBlockDevices(const std::string& sysRoot, dev_t device);

// What a write below a path can reach.
struct TPathStorage {
    std::vector<dev_t> Devices;
    // Files that a file system on the way is served from: the backing file of a loop device,
    // the image that a FUSE file system (ntfs-3g on a file, say) was mounted from.
    std::vector<TFileId> Files;
};

// The block devices and files whose blocks a write below path can reach: the number of its
// file system (fileSystemDevice when given, else from stat), the source of its mount, the
// member devices of a btrfs file system, the layers of an overlay (each resolved to its own
// mount), for a loop device its backing file and the devices that hold it, and for a mount
// served from a file (FUSE) that file and the devices that hold it. Devices is never empty when
// fileSystemDevice is set or path exists.
TPathStorage StorageOfPath(const std::string& path, std::optional<dev_t> fileSystemDevice,
                           const TSystemTables& tables = {});
// The devices of StorageOfPath.
std::vector<dev_t> BlockDevicesOfPath(const std::string& path, std::optional<dev_t> fileSystemDevice,
                                      const TSystemTables& tables = {});

} // namespace lumivore
