#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/AppInfo.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
namespace fs = std::filesystem;

TEST(AppInfo, AppDirIsTheExecutablesFolderWithATrailingSlash) {
    const std::string dir = AppDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(fs::exists(dir + "test_support"));
    SetAppDir("/opt/lumivore");
    EXPECT_EQ(AppDir(), "/opt/lumivore/");
    SetAppDir(dir);
    EXPECT_FALSE(AppFileVersion().empty());
}

TEST(AppInfo, DesktopFolderComesFromUserDirsThenTheUsualFolder) {
    testkit::TTempDir home;
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    setenv("HOME", home.Path().c_str(), 1);
    unsetenv("XDG_CONFIG_HOME");

    EXPECT_EQ(GetDesktopFolder(), "") << "no desktop at all";
    fs::create_directories(home / "Desktop");
    EXPECT_EQ(GetDesktopFolder(), home / "Desktop");
    fs::create_directories(home / "Schreibtisch");
    fs::create_directories(home / ".config");
    std::ofstream(home / ".config/user-dirs.dirs") << "# comment\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n"
                                                  << "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n";
    EXPECT_EQ(GetDesktopFolder(), home / "Schreibtisch");
    // A folder named there that does not exist falls back to ~/Desktop.
    std::ofstream(home / ".config/user-dirs.dirs") << "XDG_DESKTOP_DIR=\"$HOME/Gone\"\n";
    EXPECT_EQ(GetDesktopFolder(), home / "Desktop");

    setenv("HOME", oldHome.c_str(), 1);
    if (oldXdg)
        setenv("XDG_CONFIG_HOME", savedXdg.c_str(), 1);
}

// The data folder in each layout the program can be found in: the build tree (data/ beside the
// executable) and an installation (share/lumivore/ beside bin/).
TEST(AppInfo, DataDirIsBesideTheProgramOrInTheInstalledShareFolder) {
    const std::string saved = AppDir();
    EXPECT_EQ(DataDir(), saved + "data/") << "the build tree keeps its data beside the programs";
    EXPECT_TRUE(fs::exists(DataDir() + "translations.xml"));

    testkit::TTempDir prefix;
    fs::create_directories(prefix / "bin");
    SetAppDir(prefix / "bin");
    EXPECT_EQ(DataDir(), prefix / "bin/data/") << "nothing installed: the build-tree place";

    fs::create_directories(prefix / "share/lumivore");
    EXPECT_EQ(DataDir(), prefix / "share/lumivore/") << "an installed prefix, without ../ in it";

    fs::create_directories(prefix / "bin/data");
    EXPECT_EQ(DataDir(), prefix / "bin/data/") << "data beside the program wins";
    SetAppDir(saved);
}
