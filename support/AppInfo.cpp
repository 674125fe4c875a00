#include "support/AppInfo.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

// The data folder of an installation, relative to the folder of the executables; the build
// states it from its install directories.
#ifndef LUMIVORE_INSTALLED_DATA_DIR
#define LUMIVORE_INSTALLED_DATA_DIR "../share/lumivore/"
#endif

#ifndef LUMIVORE_VERSION
#define LUMIVORE_VERSION ""
#endif

namespace lumivore {

namespace fs = std::filesystem;

namespace {

std::string ExecutableDir() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return "./";
    std::string dir = exe.parent_path().string();
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    return dir;
}

std::string& AppDirStorage() {
    static std::string dir = ExecutableDir();
    return dir;
}

std::string HomeDir() {
    const char* home = std::getenv("HOME");
    return home ? home : "";
}

// Expands the "$HOME/..." form that user-dirs.dirs uses.
std::string ExpandHome(std::string value) {
    if (value.rfind("$HOME", 0) == 0)
        value = HomeDir() + value.substr(5);
    return value;
}

} // namespace

const std::string& AppDir() { return AppDirStorage(); }

std::string DataDir() {
    const std::string beside = AppDir() + "data/";
    std::error_code ec;
    if (fs::is_directory(beside, ec))
        return beside;
    std::string installed = AppDir() + LUMIVORE_INSTALLED_DATA_DIR;
    if (!installed.empty() && installed.back() != '/')
        installed += '/';
    if (fs::is_directory(installed, ec))
        return fs::path(installed).lexically_normal().string();
    return beside;
}

void SetAppDir(std::string dir) {
    if (!dir.empty() && dir.back() != '/')
        dir += '/';
    AppDirStorage() = std::move(dir);
}

const std::string& AppFileVersion() {
    static const std::string version = LUMIVORE_VERSION;
    return version;
}

bool IsSupportedPlatform() {
#ifdef __linux__
    std::error_code ec;
    fs::directory_iterator it("/sys/block", ec);
    return !ec;
#else
    return false;
#endif
}

std::string GetDesktopFolder() {
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const std::string config = configHome && *configHome ? configHome : HomeDir() + "/.config";
    std::ifstream in(config + "/user-dirs.dirs");
    std::string line;
    while (std::getline(in, line)) {
        const std::string key = "XDG_DESKTOP_DIR=";
        if (line.rfind(key, 0) != 0)
            continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        value = ExpandHome(value);
        std::error_code ec;
        if (!value.empty() && fs::is_directory(value, ec))
            return value;
    }
    const std::string fallback = HomeDir() + "/Desktop";
    std::error_code ec;
    if (!HomeDir().empty() && fs::is_directory(fallback, ec))
        return fallback;
    return "";
}

std::string& SystemOkCaption() {
    static std::string caption;
    return caption;
}

} // namespace lumivore
