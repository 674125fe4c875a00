#pragma once
// Facts about the program and the machine it runs on: where the executable lies, its version,
// whether raw device access is possible here, and the user's desktop folder.

#include <string>

namespace lumivore {

// The folder of the running executable, ending with '/'. Data files lie beside it
// (AppDir() + "data/translations.xml").
const std::string& AppDir();

// The folder of the program's data files (translations.xml, help/), ending with '/': "data/"
// beside the executable in a build tree, else the installed share folder relative to the
// executable ("../share/lumivore/" from bin/). When neither exists, the build-tree folder, so
// that the caller's "file missing" path names a sensible place.
std::string DataDir();

// Replaces the application folder, for tests that lay out data files of their own.
void SetAppDir(std::string dir);

// The program's version as the build states it ("0.1.0").
const std::string& AppFileVersion();

// True on Linux with a readable /sys/block (where raw disks can be listed).
bool IsSupportedPlatform();

// XDG_DESKTOP_DIR from the user's user-dirs.dirs, else ~/Desktop if it exists, else empty.
std::string GetDesktopFolder();

// The toolkit's localised OK caption; empty in the core. The windows may set it.
std::string& SystemOkCaption();

} // namespace lumivore
