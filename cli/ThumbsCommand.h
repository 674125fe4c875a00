#pragma once
// lumivore-cli thumbs SOURCE --to DIR [--sheet FILE.png]: scans, then writes every found
// file's framed 95 x 95 thumbnail as a PNG file, and optionally one contact sheet of them all.

#include <CLI/CLI.hpp>

#include "cli/Commands.h"

namespace lumivore::cli {

TCommand AddThumbsCommand(CLI::App& app);

} // namespace lumivore::cli
