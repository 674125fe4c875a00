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

// Block devices that make up the device with this number: itself, its partitions and the
// devices stacked on any of them (device mapper, RAID), read from sysRoot ("/sys").
std::vector<dev_t> RelatedBlockDevices(const std::string& sysRoot, dev_t device);

// Block devices whose blocks a write below path can reach: the number of its file system
// (fileSystemDevice when given, else from stat), the source of its mount, the member devices
// of a btrfs file system, the layers of an overlay (each resolved to its own mount), and for a
// loop device the devices that hold its backing file. Never empty when fileSystemDevice is set
// or path exists.
std::vector<dev_t> BlockDevicesOfPath(const std::string& path, std::optional<dev_t> fileSystemDevice,
                                      const TSystemTables& tables = {});

} // namespace lumivore
