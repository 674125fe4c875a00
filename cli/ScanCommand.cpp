// lumivore-cli scan SOURCE: walks the device and lists every file that begins at a sector.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "cli/CliCommon.h"
#include "cli/Commands.h"
#include "cli/ScanSupport.h"
#include "engine/FileTypes.h"
#include "engine/ScanEngine.h"
#include "support/SafeText.h"

namespace lumivore::cli {

namespace {

struct TOptions {
    std::string Source;
    std::optional<std::int64_t> StartMb, EndMb;
    bool Json = false;
    bool Quiet = false;
    bool IgnoreRemnants = false; // leave the file system's remnants unread: the scan as it was without them
};

void PrintTable(const TScanEngine& engine) {
    std::printf("%12s  %-4s %12s  %-13s %-28s %s\n", "SECTOR", "TYPE", "LENGTH", "PIXELS", "CAMERA", "TAKEN");
    for (const TFoundFile& f : engine.FoundFiles) {
        const std::string length = f.Length > 0 ? std::to_string(f.Length) : "unknown";
        // Camera names and dates come from the card: shown as data, never as terminal control.
        std::printf("%12lld  %-4s %12s  %-13s %-28s %s\n", static_cast<long long>(f.StartSector),
                    TerminalText(f.Ext).c_str(), length.c_str(), PixelSize(f).c_str(),
                    TerminalText(CameraName(f)).c_str(), TerminalText(f.DateTaken).c_str());
        // A photo in pieces: where they lie, on a line of its own below the file's.
        if (const std::string pieces = PiecesLine(f); !pieces.empty())
            std::printf("%12s  %s\n", "", pieces.c_str());
    }
    std::printf("\n%zu file(s) found\n", engine.FoundFiles.size());
    const TFragmentStats& pieces = engine.FragmentStats;
    if (pieces.Reassembled > 0 || pieces.Incomplete > 0)
        std::printf("%zu photo(s) put back together from pieces, %zu incomplete\n", pieces.Reassembled,
                    pieces.Incomplete);
    for (std::size_t i = 0; i < kGeneralTypeCount; ++i)
        if (GeneralCounts[i] > 0)
            std::printf("  %-20s %d\n", GeneralTypes()[i].Name.c_str(), GeneralCounts[i]);
    for (std::size_t i = 0; i < kMakerTypeCount; ++i)
        if (MakerCounts[i] > 0)
            std::printf("  %-20s %d\n", MakerTypes()[i].Name.c_str(), MakerCounts[i]);
    for (std::size_t i = 0; i < kPhoneTypeCount; ++i)
        if (PhoneCounts[i] > 0)
            std::printf("  %-20s %d\n", PhoneTypes()[i].Name.c_str(), PhoneCounts[i]);
}

int Run(const TOptions& opt) {
    auto engine = std::make_unique<TScanEngine>();
    engine->NamesFromRemnants = !opt.IgnoreRemnants;
    if (!OpenSource(*engine, opt.Source))
        return kExitFailed;
    TScanRange range;
    if (!ResolveRange(*engine, opt.StartMb, opt.EndMb, range))
        return kExitFailed;
    const TScanOutcome outcome = RunScan(*engine, range, opt.Quiet);
    if (opt.Json) {
        for (const TFoundFile& f : engine->FoundFiles)
            std::printf("%s\n", FoundFileJson(f).c_str());
    } else {
        PrintTable(*engine);
        if (outcome.ReadErrors > 0)
            std::printf("%lld unreadable sector(s)\n", static_cast<long long>(outcome.ReadErrors));
        if (outcome.Stopped)
            std::printf("scan stopped before the end of the range\n");
    }
    std::fflush(stdout);
    return FinishStatus(outcome.Stopped, outcome.ReadErrors, 0);
}

} // namespace

TCommand AddScanCommand(CLI::App& app) {
    auto opt = std::make_shared<TOptions>();
    CLI::App* sub = app.add_subcommand("scan", "Scan a device or disk image for photos and media files");
    sub->add_option("SOURCE", opt->Source, "Device path, disk image file, or device code")->required();
    AddRangeOptions(*sub, opt->StartMb, opt->EndMb);
    sub->add_flag("--json", opt->Json, "One JSON object per found file per line");
    sub->add_flag("--quiet", opt->Quiet, "No progress on stderr");
    sub->add_flag("--ignore-remnants", opt->IgnoreRemnants, "Leave the file system's folder entries and records unread")
        ->group("");
    return {sub, [opt] { return Run(*opt); }};
}

} // namespace lumivore::cli
