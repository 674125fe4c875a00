// Settings are read without writing anything; only saving creates the file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "support/Settings.h"
#include "testkit/TempFiles.h"

using namespace lumivore;
namespace fs = std::filesystem;

TEST(Settings, ReadingCreatesNothingAndSavingCreatesTheFileWithItsFolders) {
    testkit::TTempDir home;
    if (geteuid() == 0) { // the user's own home, as under sudo
        EXPECT_EQ(::chown(home.Path().c_str(), 4321, 4321), 0);
    }
    const std::string oldConfig = std::getenv("LUMIVORE_CONFIG") ? std::getenv("LUMIVORE_CONFIG") : "";
    unsetenv("LUMIVORE_CONFIG");
    setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    setenv("SUDO_UID", "4321", 1);
    setenv("SUDO_GID", "4321", 1);
    const std::string path = TSettingsStore::DefaultPath();
    EXPECT_EQ(path, home / "config/Orvandel/Lumivore.xml");
    {
        const TSettingsStore store;
        EXPECT_EQ(store.ReadInteger("DefaultSize"), std::nullopt);
        EXPECT_EQ(ReadDefaultSize(store), kDefaultSizeFallback);
    }
    EXPECT_TRUE(fs::is_empty(home.Path())) << "reading the settings wrote into the home folder";

    TSettingsStore store;
    ASSERT_TRUE(store.WriteInteger("DefaultSize", 2048));
    ASSERT_TRUE(store.WriteInteger("FilesOnce", 4));
    EXPECT_EQ(ReadDefaultSize(store), 2048);
    EXPECT_EQ(store.ReadInteger("FilesOnce"), 4);
    // Saved whole: no temporary file is left beside it; under sudo it is the user's file.
    EXPECT_EQ(std::distance(fs::directory_iterator(home / "config/Orvandel"), fs::directory_iterator()), 1);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    if (geteuid() == 0) {
        EXPECT_EQ(st.st_uid, 4321u);
    }

    unsetenv("SUDO_UID");
    unsetenv("SUDO_GID");
    unsetenv("XDG_CONFIG_HOME");
    if (!oldConfig.empty())
        setenv("LUMIVORE_CONFIG", oldConfig.c_str(), 1);
}
