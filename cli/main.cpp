// lumivore-cli: the scan engine without windows, for scripts and terminals.
#include <cstdio>
#include <exception>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/CliCommon.h"
#include "cli/Commands.h"
#include "cli/ThumbsCommand.h"
#include "support/AppInfo.h"

int main(int argc, char** argv) {
    // Undocumented: the folder where this copy looks for its data files; the tests of an
    // installed copy ask it.
    if (argc == 2 && std::string_view(argv[1]) == "--data-dir") {
        std::printf("%s\n", lumivore::DataDir().c_str());
        return 0;
    }
    using namespace lumivore::cli;
    CLI::App app{"Lumivore: finds photos and media files on cards and disks and brings them back.", "lumivore-cli"};
    app.set_version_flag("--version", lumivore::AppFileVersion());
    app.require_subcommand(1);
    std::vector<TCommand> commands;
    commands.push_back(AddDevicesCommand(app));
    commands.push_back(AddScanCommand(app));
    commands.push_back(AddRecoverCommand(app));
    commands.push_back(AddThumbsCommand(app));
    commands.push_back(AddDemoCommand(app));
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "lumivore-cli: %s\n", e.what());
        std::fprintf(stderr, "Run 'lumivore-cli --help' for usage.\n");
        return kExitUsage;
    }
    for (const TCommand& c : commands) {
        if (!c.Sub->parsed())
            continue;
        // Whatever a command did not foresee (memory that ran out, a limit) ends it with a
        // reason and status 1, never with an abort.
        try {
            return c.Run();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "lumivore-cli: the %s command failed: %s\n", c.Sub->get_name().c_str(),
                         e.what());
        } catch (...) {
            std::fprintf(stderr, "lumivore-cli: the %s command failed\n", c.Sub->get_name().c_str());
        }
        return kExitFailed;
    }
    return kExitUsage;
}
