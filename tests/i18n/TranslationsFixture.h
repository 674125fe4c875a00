#pragma once
// A translations file of the test's own in a temporary program folder: AppDir points there for
// the test's lifetime, so nothing touches the source tree's data/ folder.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "engine/FileTypes.h"
#include "i18n/MultiLanguage.h"
#include "support/AppInfo.h"

namespace lumivore::testing {

class TTranslationsFixture : public ::testing::Test {
protected:
    void SetUp() override {
        savedAppDir_ = AppDir();
        std::string pattern = (std::filesystem::temp_directory_path() / "lumivore-i18n-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        std::filesystem::create_directories(root_ / "data");
        SetAppDir(root_.string());
        // The user's copy of the translations lies beside the settings file: keep it here too.
        const char* config = std::getenv("LUMIVORE_CONFIG");
        savedConfig_ = config ? std::optional<std::string>(config) : std::nullopt;
        ::setenv("LUMIVORE_CONFIG", (root_ / "config" / "Lumivore.xml").c_str(), 1);
    }

    void TearDown() override {
        EXPECT_FALSE(TranslationsOpen()) << "a group of lookups was left open";
        while (TranslationsOpen())
            CloseTranslations();
        SetAppDir(savedAppDir_);
        if (savedConfig_)
            ::setenv("LUMIVORE_CONFIG", savedConfig_->c_str(), 1);
        else
            ::unsetenv("LUMIVORE_CONFIG");
        FinaliseLanguage();
        for (TSupportedFileType& row : MakerTypes())
            row.MakerCaption = row.Maker;
        std::error_code ec;
        std::filesystem::permissions(root_ / "data", std::filesystem::perms::owner_all, ec);
        std::filesystem::remove_all(root_, ec);
    }

    void WriteFile(const std::string& xml) const {
        std::ofstream(TranslationsPath(), std::ios::binary | std::ios::trunc) << xml;
    }

    // A document with the given languages and texts inside a root element.
    void WriteTranslations(const std::string& body) const {
        WriteFile("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<translations>\n" + body + "\n</translations>\n");
    }

    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::filesystem::path root_;

private:
    std::string savedAppDir_;
    std::optional<std::string> savedConfig_;
};

} // namespace lumivore::testing
