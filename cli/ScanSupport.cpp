#include "cli/ScanSupport.h"

#include <cstdio>

#include "cli/CliCommon.h"
#include "engine/ScanEngine.h"

namespace lumivore::cli {

namespace {

// A whole number of megabytes, 0 or more; the message names the value given.
const CLI::Validator kMegabytes(
    [](std::string& text) -> std::string {
        std::int64_t value = 0;
        if (!CLI::detail::lexical_cast(text, value))
            return "'" + text + "' is not a whole number of megabytes";
        if (value < 0)
            return "'" + text + "' is negative; give 0 or more megabytes";
        return {};
    },
    "MB");

} // namespace

void AddRangeOptions(CLI::App& sub, std::optional<std::int64_t>& startMb, std::optional<std::int64_t>& endMb) {
    sub.add_option("--start-mb", startMb, "First megabyte to scan (2048 sectors a megabyte)")->check(kMegabytes);
    sub.add_option("--end-mb", endMb, "Megabyte where the scan ends (default: the device's end)")->check(kMegabytes);
}

bool ResolveRange(const TScanEngine& engine, std::optional<std::int64_t> startMb,
                  std::optional<std::int64_t> endMb, TScanRange& range) {
    const std::int64_t total = engine.Drive.Info.TotalSectors;
    if (!endMb)
        endMb = DeviceMegabytes(total);
    switch (ValidateRange(total, startMb, endMb, range)) {
    case TRangeResult::Ok:
        return true;
    case TRangeResult::BeyondDevice:
        std::fprintf(stderr, "lumivore-cli: %s\n", kMsgExceed);
        return false;
    case TRangeResult::OutOfRange:
        std::fprintf(stderr, "lumivore-cli: the scan range must be given in whole megabytes, 0 or more\n");
        return false;
    }
    return false;
}

TScanOutcome RunScan(TScanEngine& engine, const TScanRange& range, bool quiet) {
    InstallInterruptHandler();
    TCliProgress progress(engine, quiet, "scan", range.Length * kSectorSize);
    TCliProgress::TLabel found(progress, TCliProgress::TLabel::Found);
    TCliProgress::TLabel sectors(progress, TCliProgress::TLabel::Sectors);
    TCliProgress::TLabel errors(progress, TCliProgress::TLabel::Errors);
    engine.ProgressBar = &progress;
    engine.MessagePump = &progress;
    if (range.Length > 0)
        engine.Scan(range.Start, range.Length, &found, &sectors, &errors);
    progress.Finish();
    engine.ProgressBar = nullptr;
    engine.MessagePump = nullptr;
    // The engine's own count of unreadable sectors, which the label has shown as it grew.
    return {engine.UnreadableSectors, InterruptRequested()};
}

} // namespace lumivore::cli
