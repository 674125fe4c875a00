#pragma once
// The subcommands of lumivore-cli. Each adds itself to the application and returns what runs
// it once the command line was parsed.

#include <functional>
#include <vector>

#include <CLI/CLI.hpp>

namespace lumivore::cli {

struct TCommand {
    CLI::App* Sub = nullptr;
    std::function<int()> Run;
};

TCommand AddDevicesCommand(CLI::App& app);
TCommand AddScanCommand(CLI::App& app);
TCommand AddDemoCommand(CLI::App& app);
TCommand AddRecoverCommand(CLI::App& app);

} // namespace lumivore::cli
