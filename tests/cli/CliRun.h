#pragma once
// Runs lumivore-cli as a user would, through the shell, and keeps what it said and how it ended.

#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

#include "testkit/TempFiles.h"

namespace lumivore::testing {

struct TRun {
    int status = -1;
    std::string out, err;
};

// Runs lumivore-cli with the arguments, capturing both streams (stderr through a file in dir);
// prefix comes first on the shell's line (variables, a change of folder).
inline TRun Cli(const std::string& args, const lumivore::testkit::TTempDir& dir, const std::string& prefix = "") {
    const std::string errFile = dir / "stderr.txt";
    const std::string cmd = prefix + " " + std::string(LUMIVORE_BINARY_DIR) + "/lumivore-cli " + args + " 2>" + errFile;
    TRun r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return r;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        r.out.append(buf.data(), n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    const auto bytes = lumivore::testkit::ReadFile(errFile);
    r.err.assign(bytes.begin(), bytes.end());
    return r;
}

inline int Lines(const std::string& s) {
    int n = 0;
    for (char c : s)
        n += c == '\n';
    return n;
}

} // namespace lumivore::testing
