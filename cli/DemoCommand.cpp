// lumivore-cli demo: builds the sample card image, scans it, and shows what was found against
// what was laid on the card.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>

#include "cli/CliCommon.h"
#include "cli/Commands.h"
#include "cli/ScanSupport.h"
#include "engine/ScanEngine.h"
#include "testkit/SampleCard.h"

namespace lumivore::cli {

namespace {

struct TOptions {
    std::string To = "lumivore-demo";
    int SizeMb = 48;
    bool Quiet = false;
};

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

    auto engine = std::make_unique<TScanEngine>();
    if (!OpenSource(*engine, image))
        return kExitFailed;
    TScanRange range;
    if (!ResolveRange(*engine, std::nullopt, std::nullopt, range))
        return kExitFailed;
    RunScan(*engine, range, opt.Quiet);

    std::map<std::int64_t, const TFoundFile*> found;
    for (const TFoundFile& f : engine->FoundFiles)
        found[f.StartSector] = &f;
    std::printf("%10s  %-4s %10s  %-10s %s\n", "SECTOR", "TYPE", "BYTES", "FOUND", "WHAT");
    int missed = 0, wrongLength = 0;
    for (const testkit::TCardFile& f : card.Files) {
        auto it = found.find(static_cast<std::int64_t>(f.StartSector));
        std::string verdict;
        if (it == found.end() || it->second->Ext != f.Ext) {
            verdict = "MISSED";
            ++missed;
        } else if (it->second->Length == static_cast<std::int32_t>(f.Size)) {
            verdict = "exact";
        } else if (it->second->Length < 0) {
            verdict = "length ?";
        } else {
            verdict = f.Measurable ? "WRONG LEN" : "header";
            wrongLength += f.Measurable ? 1 : 0;
        }
        std::printf("%10llu  %-4s %10u  %-10s %s\n", static_cast<unsigned long long>(f.StartSector), f.Ext.c_str(),
                    f.Size, verdict.c_str(), f.Description.c_str());
    }
    std::printf("\n%zu files on the card, %zu found by the scan (embedded thumbnails and previews count too), "
                "%d missed, %d measured wrongly\n",
                card.Files.size(), engine->FoundFiles.size(), missed, wrongLength);
    return missed == 0 && wrongLength == 0 ? kExitOk : kExitFailed;
}

} // namespace

TCommand AddDemoCommand(CLI::App& app) {
    auto opt = std::make_shared<TOptions>();
    CLI::App* sub = app.add_subcommand("demo", "Build the sample card image, scan it and compare with what it holds");
    sub->add_option("--to", opt->To, "Folder for the card image and the results")->capture_default_str();
    sub->add_option("--size-mb", opt->SizeMb, "Size of the card image in megabytes")->check(CLI::Range(8, 4096))->capture_default_str();
    sub->add_flag("--quiet", opt->Quiet, "No progress on stderr");
    return {sub, [opt] { return Run(*opt); }};
}

} // namespace lumivore::cli
