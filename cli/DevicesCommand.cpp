// lumivore-cli devices: every device of the catalogue with its code, path, kind, size and state.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cli/CliCommon.h"
#include "cli/Commands.h"
#include "device/DskLib.h"
#include "engine/ScanEngine.h"
#include "support/SafeText.h"

namespace lumivore::cli {

namespace {

const char* KindName(std::uint16_t kind) {
    switch (kind) {
    case kKindFloppy: return "floppy";
    case kKindRemovable: return "removable";
    case kKindFixed: return "fixed";
    case kKindCdRom: return "cd-rom";
    default: return "unknown";
    }
}

const char* FileSystemName(std::uint8_t fs) {
    switch (fs) {
    case kFsFat12: return "FAT12";
    case kFsFat16: return "FAT16";
    case kFsFat32: return "FAT32";
    case kFsNtfs: return "NTFS";
    default: return "-";
    }
}

struct TOptions {
    std::string Image;
    bool Quiet = false;
};

int Run(const TOptions& opt) {
    TDeviceCatalogue& catalogue = TDeviceCatalogue::Instance();
    catalogue.Rebuild();
    if (!opt.Image.empty()) {
        std::string reason;
        if (ResolveSource(opt.Image, reason) == 0) {
            std::fprintf(stderr, "lumivore-cli: %s\n", reason.c_str());
            return kExitFailed;
        }
    }
    std::printf("%-14s %-28s %-10s %16s %8s  %-6s %s\n", "CODE", "PATH", "KIND", "BYTES", "SIZE", "FS", "STATE");
    int denied = 0;
    for (const TDeviceEntry& e : catalogue.Entries()) {
        if (!opt.Image.empty() && !e.IsImage)
            continue;
        TDrive drive;
        drive.Open(e.Code);
        const bool opened = drive.DriveCode == e.Code;
        std::string state;
        std::uint8_t fs = kFsNone;
        if (!opened) {
            // Why it did not open: busy, no medium, refused, gone...
            const int err = drive.OpenError;
            state = err == ENODATA ? "shorter than one sector" : err != 0 ? std::strerror(err) : "not ready";
            if (IsRightsError(err))
                ++denied;
        } else {
            state = drive.IsReady() ? "ready" : "not ready";
            std::uint8_t sector[512];
            if (drive.Read(0, 1, sector) == 512)
                fs = DetectFileSystem(sector);
        }
        // A device that cannot be opened still shows the size the kernel states for it.
        const std::int64_t bytes =
            opened ? drive.Info.TotalSectors * 512 : static_cast<std::int64_t>(e.SysfsBytes);
        char size[32];
        const double mb = static_cast<double>(bytes) / 1048576.0;
        if (mb >= 1000.0)
            std::snprintf(size, sizeof size, "%.2f GB", mb / 1024.0);
        else
            std::snprintf(size, sizeof size, "%.2f MB", mb);
        std::printf("%-14s %-28s %-10s %16lld %8s  %-6s %s\n", CodeName(e.Code).c_str(), TerminalText(e.Path).c_str(),
                    e.IsImage ? "image" : KindName(e.Kind), static_cast<long long>(bytes), size, FileSystemName(fs),
                    state.c_str());
    }
    if (denied > 0)
        std::fprintf(stderr,
                     "lumivore-cli: %d device(s) could not be opened for lack of rights; run as root or join the "
                     "'disk' group to read raw devices.\n",
                     denied);
    return kExitOk;
}

} // namespace

TCommand AddDevicesCommand(CLI::App& app) {
    auto opt = std::make_shared<TOptions>();
    CLI::App* sub = app.add_subcommand("devices", "List the disks, partitions and disk images that can be scanned");
    sub->add_option("--image", opt->Image, "Show how a disk image file is seen as a drive");
    sub->add_flag("--quiet", opt->Quiet, "Accepted for symmetry; devices prints no progress");
    return {sub, [opt] { return Run(*opt); }};
}

} // namespace lumivore::cli
