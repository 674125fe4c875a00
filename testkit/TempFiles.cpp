#include "testkit/TempFiles.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace lumivore::testkit {

namespace fs = std::filesystem;

TTempDir::TTempDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/lumivore-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr)
        path_ = pattern;
}

TTempDir::~TTempDir() {
    if (path_.empty())
        return;
    std::error_code ec;
    // Tests may leave read-only folders behind; make them writable so they can be removed.
    for (fs::recursive_directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::error_code ec;
    const fs::path p(path);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

std::vector<std::uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace lumivore::testkit
