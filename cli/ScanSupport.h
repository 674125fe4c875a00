#pragma once
// The scan as the subcommands run it: range options, the range check, and the scan with its
// progress line and Ctrl+C.

#include <cstdint>
#include <optional>

#include <CLI/CLI.hpp>

#include "engine/ScanRange.h"

namespace lumivore {
class TScanEngine;
}

namespace lumivore::cli {

void AddRangeOptions(CLI::App& sub, std::optional<std::int64_t>& startMb, std::optional<std::int64_t>& endMb);

// The range to scan from the options (the whole device by default); prints the reason and
// returns false when it is refused.
bool ResolveRange(const TScanEngine& engine, std::optional<std::int64_t> startMb,
                  std::optional<std::int64_t> endMb, TScanRange& range);

struct TScanOutcome {
    std::int64_t ReadErrors = 0; // sectors that could not be read
    bool Stopped = false;
};

TScanOutcome RunScan(TScanEngine& engine, const TScanRange& range, bool quiet);

} // namespace lumivore::cli
