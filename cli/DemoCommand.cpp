// lumivore-cli demo: builds the sample card image, scans it, recovers every found file, and
// shows what was found and recovered against what was laid on the card.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "cli/CliCommon.h"
#include "cli/Commands.h"
#include "cli/ScanSupport.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "testkit/SampleCard.h"
#include "testkit/TempFiles.h"

namespace lumivore::cli {

namespace {

struct TOptions {
    std::string To = "lumivore-demo";
    int SizeMb = 48;
    bool Quiet = false;
    bool CardOnly = false; // write the card image and its manifest, nothing else (benchmarks)
};

// A folder for the recovered files that does not exist yet: "recovered", "recovered-2", ...
std::string FreshFolder(const std::filesystem::path& parent) {
    std::error_code ec;
    std::filesystem::path p = parent / "recovered";
    for (int n = 2; std::filesystem::exists(p, ec); ++n)
        p = parent / ("recovered-" + std::to_string(n));
    return p.string();
}

// What became of one card file in the recovery, compared with the manifest.
std::string RecoveryVerdict(const testkit::TCardFile& f, const TRecoveryEntry* e, const std::string& folder,
                            int& identical, int& headerOnly, int& bad) {
    if (e == nullptr || e->Status != TRecoveryStatus::Recovered) {
        if (e != nullptr && e->Status == TRecoveryStatus::Abandoned && !f.Measurable) {
            ++headerOnly;
            return "abandoned";
        }
        ++bad;
        return "NOT WRITTEN";
    }
    const std::vector<std::uint8_t> bytes = testkit::ReadFile(folder + "/" + e->Name);
    if (bytes.size() == f.Size && testkit::Fnv1a64(bytes.data(), bytes.size()) == f.Hash) {
        ++identical;
        return "identical";
    }
    if (!f.Measurable && bytes.size() >= f.Size && testkit::Fnv1a64(bytes.data(), f.Size) == f.Hash) {
        ++headerOnly;
        return "header ok";
    }
    ++bad;
    return "DIFFERENT";
}

int Run(const TOptions& opt) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::create_directories(opt.To, ec);
    if (ec) {
        std::fprintf(stderr, "lumivore-cli: cannot create %s: %s\n", opt.To.c_str(), ec.message().c_str());
        return kExitFailed;
    }
    const std::string image = (fs::path(opt.To) / "sample-card.img").string();
    testkit::TSampleCardOptions cardOptions;
    cardOptions.SizeBytes = static_cast<std::uint64_t>(opt.SizeMb) << 20;
    testkit::TSampleCard card;
    if (!opt.Quiet)
        std::fprintf(stderr, "writing the sample card image %s (%d MB)\n", image.c_str(), opt.SizeMb);
    if (!testkit::WriteSampleCard(image, cardOptions, card)) {
        std::fprintf(stderr, "lumivore-cli: cannot write %s\n", image.c_str());
        return kExitFailed;
    }
    std::ofstream((fs::path(opt.To) / "sample-card.manifest.tsv").string()) << testkit::ManifestText(card);
    if (opt.CardOnly) {
        std::printf("%s\n", image.c_str());
        return kExitOk;
    }

    auto engine = std::make_unique<TScanEngine>();
    if (!OpenSource(*engine, image))
        return kExitFailed;
    TScanRange range;
    if (!ResolveRange(*engine, std::nullopt, std::nullopt, range))
        return kExitFailed;
    if (RunScan(*engine, range, opt.Quiet).Stopped)
        return FinishStatus(true, 0, 0);

    std::map<std::int64_t, const TFoundFile*> found;
    for (const TFoundFile& f : engine->FoundFiles)
        found[f.StartSector] = &f;

    // Recover everything the scan found into a fresh folder beside the card image.
    const std::string folder = FreshFolder(opt.To);
    TRecoveryRequest request;
    request.Destination = folder;
    request.Selection = TRecoverySelection::AllTypes();
    if (!opt.Quiet)
        std::fprintf(stderr, "recovering %zu files into %s\n", engine->FoundFiles.size(), folder.c_str());
    const TRecoveryResult result = Recover(*engine, request);
    if (!result.Started) {
        std::fprintf(stderr, "lumivore-cli: %s\n", result.Message.c_str());
        return kExitFailed;
    }
    std::map<std::int64_t, const TRecoveryEntry*> recovered;
    for (const TRecoveryEntry& e : result.Files)
        recovered[e.StartSector] = &e;

    std::printf("%10s  %-4s %10s  %-10s %-12s %s\n", "SECTOR", "TYPE", "BYTES", "FOUND", "RECOVERED", "WHAT");
    int missed = 0, wrongLength = 0, identical = 0, headerOnly = 0, bad = 0;
    for (const testkit::TCardFile& f : card.Files) {
        auto it = found.find(static_cast<std::int64_t>(f.StartSector));
        std::string verdict;
        if (it == found.end() || it->second->Ext != f.Ext) {
            verdict = "MISSED";
            ++missed;
        } else if (it->second->Length == static_cast<std::int64_t>(f.Size)) {
            verdict = "exact";
        } else if (it->second->Length < 0) {
            verdict = "length ?";
        } else {
            verdict = f.Measurable ? "WRONG LEN" : "header";
            wrongLength += f.Measurable ? 1 : 0;
        }
        const auto r = recovered.find(static_cast<std::int64_t>(f.StartSector));
        const std::string outcome = RecoveryVerdict(f, r == recovered.end() ? nullptr : r->second, folder, identical,
                                                    headerOnly, bad);
        std::printf("%10llu  %-4s %10u  %-10s %-12s %s\n", static_cast<unsigned long long>(f.StartSector),
                    f.Ext.c_str(), f.Size, verdict.c_str(), outcome.c_str(), f.Description.c_str());
    }
    std::printf("\nScan: %zu files on the card, %zu found (embedded thumbnails and previews count too), "
                "%d missed, %d measured wrongly.\n",
                card.Files.size(), engine->FoundFiles.size(), missed, wrongLength);
    std::printf("      \"length ?\" means the scan could not see the file's end; recovery measures it again.\n");
    std::printf("Recovery: %d files written to %s (%.1f MB): %d identical to the card's originals, "
                "%d known only by their header (written with the default size), %d wrong or missing.\n",
                result.Recovered, folder.c_str(), static_cast<double>(result.BytesWritten) / 1048576.0, identical,
                headerOnly, bad);
    if (!result.ReportPath.empty())
        std::printf("Report: %s\n", result.ReportPath.c_str());
    if (!result.Message.empty())
        std::fprintf(stderr, "lumivore-cli: %s\n", result.Message.c_str());
    return missed == 0 && wrongLength == 0 && bad == 0 && result.Message.empty() ? kExitOk : kExitFailed;
}

} // namespace

TCommand AddDemoCommand(CLI::App& app) {
    auto opt = std::make_shared<TOptions>();
    CLI::App* sub = app.add_subcommand("demo", "Build the sample card image, scan and recover it, and compare with what it holds");
    sub->add_option("--to", opt->To, "Folder for the card image and the results")->capture_default_str();
    sub->add_option("--size-mb", opt->SizeMb, "Size of the card image in megabytes")->check(CLI::Range(8, 4096))->capture_default_str();
    sub->add_flag("--quiet", opt->Quiet, "No progress on stderr");
    sub->add_flag("--card-only", opt->CardOnly, "Only write the card image and its manifest")->group("");
    return {sub, [opt] { return Run(*opt); }};
}

} // namespace lumivore::cli
