#pragma once
// The program's settings store: typed integer values under one key, kept in an XML file.
// The file is $LUMIVORE_CONFIG when that is set, else Orvandel/Lumivore.xml under
// $XDG_CONFIG_HOME (or ~/.config). A missing, empty or malformed file, or a value of another
// type, reads as missing; the next write repairs the file. Reading never creates or changes a
// file: a scan may run from the very disk that holds $HOME, so only an explicit save (the
// options dialog, the language choice) writes, through the output component.

#include <cstdint>
#include <optional>
#include <string>

namespace lumivore {

inline constexpr const char* kSettingsKey = "SOFTWARE\\Orvandel\\Lumivore";

class TSettingsStore {
public:
    // The store at the default path. Nothing is created until a value is written.
    TSettingsStore();
    explicit TSettingsStore(std::string path);

    static std::string DefaultPath();

    const std::string& Path() const { return path_; }

    // The integer value of that name, or nothing when missing or not a 32-bit integer.
    std::optional<std::int32_t> ReadInteger(const std::string& name) const;

    // Writes the value and saves the file, creating it and its folders when missing; false
    // when the file cannot be written.
    bool WriteInteger(const std::string& name, std::int32_t value);

private:
    std::string path_;
};

// Settings values with their fallbacks.
inline constexpr std::int32_t kDefaultSizeFallback = 1024; // kilobytes
inline constexpr std::int32_t kDefaultSizeMax = 102400;
inline constexpr std::int32_t kFilesOnceFallback = 1;

// DefaultSize in kilobytes; missing, unreadable or outside 0..102400 gives 1024.
std::int32_t ReadDefaultSize(const TSettingsStore& store);

} // namespace lumivore
