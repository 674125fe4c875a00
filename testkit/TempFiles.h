#pragma once
// Temporary folders and files for tests, benchmarks and the demo.

#include <cstdint>
#include <string>
#include <vector>

namespace lumivore::testkit {

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it when destroyed.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes the bytes to path, creating parent folders; true on success.
bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadFile(const std::string& path);

} // namespace lumivore::testkit
