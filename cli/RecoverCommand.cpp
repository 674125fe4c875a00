// lumivore-cli recover SOURCE --to DIR: scans the device and writes the found files of the
// chosen types into DIR as the scan passes them, with a report beside them.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/CliCommon.h"
#include "cli/Commands.h"
#include "cli/ScanSupport.h"
#include "engine/FileTypes.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "support/Settings.h"

namespace lumivore::cli {

namespace {

struct TOptions {
    std::string Source;
    std::string To;
    std::vector<std::string> Types;
    std::optional<std::int32_t> DefaultSize;
    std::optional<std::int64_t> StartMb, EndMb;
    bool Quiet = false;
    bool IgnoreRemnants = false; // leave the file system's remnants unread: the scan as it was without them
    bool Nested = false;
    bool TwoPass = false; // scan first, then recover: what the windows do
    bool Names = false;   // original names and folders from the card's file system
};

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::vector<std::string> SplitList(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : s + sep) {
        if (c == sep) {
            const auto b = cur.find_first_not_of(' '), e = cur.find_last_not_of(' ');
            if (b != std::string::npos)
                out.push_back(cur.substr(b, e - b + 1));
            cur.clear();
        } else {
            cur += c;
        }
    }
    return out;
}

// What --types asks for: type extensions (exactly those files), camera makers (their rows) and
// general type names (their rows).
struct TTypeFilter {
    std::set<std::string> Exts;
    std::array<bool, kGeneralTypeCount> General{};
    std::array<bool, kMakerTypeCount> Makers{};
};

// Whether a found file is one to recover: every file of every table when no types were given
// (as the windows' "all types"), else one whose extension or row was named. A file inside
// another is part of it unless nested files were asked for. The one-pass and the two-step
// paths choose by this one rule.
bool Chosen(const TFoundFile& f, const TTypeFilter& filter, bool byTypes, bool nested) {
    if (f.Nested() && !nested)
        return false;
    const bool general = f.FormatIndex < kGeneralTypeCount, maker = f.MakerIndex < kMakerTypeCount;
    if (!byTypes)
        return general || maker || f.PhoneIndex < kPhoneTypeCount;
    return filter.Exts.count(f.Ext) != 0 || (general && filter.General[f.FormatIndex]) ||
           (maker && filter.Makers[f.MakerIndex]);
}

bool ParseTypes(const std::vector<std::string>& tokens, TTypeFilter& filter, std::string& unknown) {
    std::set<std::string> knownExts;
    for (const auto& t : GeneralTypes())
        for (const std::string& e : SplitList(t.Extensions, ','))
            knownExts.insert(Upper(e));
    for (const auto& t : MakerTypes())
        for (const std::string& e : SplitList(t.Extensions, ','))
            knownExts.insert(Upper(e));
    for (const auto& t : PhoneTypes())
        for (const std::string& e : SplitList(t.Extensions, ','))
            knownExts.insert(Upper(e));
    for (const std::string& token : tokens) {
        const std::string u = Upper(token);
        bool matched = false;
        if (knownExts.count(u) != 0) {
            filter.Exts.insert(u);
            matched = true;
        }
        for (std::size_t i = 0; i < kMakerTypeCount; ++i)
            if (Upper(MakerTypes()[i].Maker) == u || (u == "FUJIFILM" && i == kMakerFuji)) {
                filter.Makers[i] = true;
                matched = true;
            }
        for (std::size_t i = 0; i < kGeneralTypeCount; ++i)
            if (Upper(GeneralTypes()[i].Name) == u) {
                filter.General[i] = true;
                matched = true;
            }
        if (!matched) {
            unknown = token;
            return false;
        }
    }
    return true;
}

std::string KnownTypesText() {
    std::set<std::string> exts;
    for (const auto& t : GeneralTypes())
        for (const std::string& e : SplitList(t.Extensions, ','))
            exts.insert(e);
    for (const auto& t : MakerTypes())
        for (const std::string& e : SplitList(t.Extensions, ','))
            exts.insert(e);
    for (const auto& t : PhoneTypes())
        for (const std::string& e : SplitList(t.Extensions, ','))
            exts.insert(e);
    std::string text;
    for (const std::string& e : exts)
        text += (text.empty() ? "" : ",") + e;
    text += "; or a camera maker:";
    for (const auto& t : MakerTypes())
        text += " " + t.Maker;
    return text;
}

// Progress of the recovery on stderr, and its message pump, where Ctrl+C becomes Stop.
class TRecoverProgress : public TMessagePump, public TProgressBar {
public:
    TRecoverProgress(TScanEngine& engine, bool quiet, std::size_t total)
        : engine_(engine), quiet_(quiet), tty_(::isatty(STDERR_FILENO) != 0), total_(total) {}
    void ProcessMessages() override {
        if (InterruptRequested())
            engine_.StopScan();
        Draw(false);
    }
    void SetPosition(int position) override {
        position_ = position;
        Draw(false);
    }
    void Finish() {
        if (quiet_ || !tty_)
            return;
        Draw(true);
        std::fputc('\n', stderr);
    }

    class TLabel : public TCounterLabel {
    public:
        explicit TLabel(std::int64_t& target) : target_(target) {}
        void SetCount(std::int64_t value) override { target_ = value; }

    private:
        std::int64_t& target_;
    };
    std::int64_t Recovered = 0, Failed = 0;

private:
    void Draw(bool force) {
        if (quiet_)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (tty_) {
            if (!force && now - lastDraw_ < std::chrono::milliseconds(100))
                return;
            std::fprintf(stderr, "\rrecover %3d%%  recovered %lld  failed %lld  of %zu   ", position_,
                         static_cast<long long>(Recovered), static_cast<long long>(Failed), total_);
        } else {
            const int decile = position_ / 10;
            if (!force && decile == lastDecile_)
                return;
            lastDecile_ = decile;
            std::fprintf(stderr, "recover %3d%%  recovered %lld  failed %lld  of %zu\n", position_,
                         static_cast<long long>(Recovered), static_cast<long long>(Failed), total_);
        }
        lastDraw_ = now;
    }
    TScanEngine& engine_;
    bool quiet_, tty_;
    std::size_t total_;
    int position_ = 0;
    int lastDecile_ = -1;
    std::chrono::steady_clock::time_point lastDraw_{};
};

// What the summary tells of the chosen files, counted over their entries.
struct TWrittenCounts {
    std::size_t Chosen = 0, Reassembled = 0, Incomplete = 0, Named = 0, Original = 0, EntrySized = 0;
    void Add(const TRecoveryEntry& e, const TFoundFile& f) {
        ++Chosen;
        Reassembled += e.Status == TRecoveryStatus::Recovered && f.Reassembled();
        Incomplete += e.Status == TRecoveryStatus::Recovered && f.Incomplete;
        Named += !f.OriginalName.empty();
        Original += e.NamedOriginally;
        EntrySized += e.Source == TLengthSource::Entry;
    }
};

// Prints what recovery did and gives the exit status.
int Summary(const TRecoveryResult& result, const TWrittenCounts& counts, double seconds, const TScanOutcome& scan,
            const TOptions& opt) {
    if (!result.Started) {
        std::fprintf(stderr, "lumivore-cli: %s\n", result.Message.c_str());
        return kExitFailed;
    }
    const double mb = static_cast<double>(result.BytesWritten) / 1048576.0;
    std::printf("recovered %d, failed %d, abandoned %d, not written %d; %llu bytes written to %s\n", result.Recovered,
                result.Failed, result.Abandoned, result.NotWritten,
                static_cast<unsigned long long>(result.BytesWritten), opt.To.c_str());
    std::printf("recovery took %.2f s (%.1f MB/s)\n", seconds, seconds > 0 ? mb / seconds : 0.0);
    if (counts.Reassembled > 0 || counts.Incomplete > 0)
        std::printf("%zu photo(s) put back together from pieces, %zu incomplete (their rest was not found)\n",
                    counts.Reassembled, counts.Incomplete);
    if (counts.Named > 0)
        std::printf("%zu file(s) named by the card's file system%s; %zu written at the size its entry gives\n",
                    counts.Named,
                    opt.Names ? (", " + std::to_string(counts.Original) + " written under that name").c_str()
                              : " (--names writes them so)",
                    counts.EntrySized);
    if (!result.ReportPath.empty())
        std::printf("report: %s\n", result.ReportPath.c_str());
    if (counts.Chosen == 0)
        std::printf("no found file is of the chosen types\n");
    if (scan.ReadErrors > 0)
        std::printf("%lld unreadable sector(s) on the source\n", static_cast<long long>(scan.ReadErrors));
    std::fflush(stdout);
    if (!result.Message.empty()) {
        // The destination failed mid-run (full, or a write error): the work failed.
        std::fprintf(stderr, "lumivore-cli: %s\n", result.Message.c_str());
        return kExitFailed;
    }
    if (result.Stopped)
        std::printf("recovery stopped before every file was written\n");
    std::fflush(stdout);
    // Files given up for an unknown length with a default size of 0 were handled as asked.
    return FinishStatus(result.Stopped || InterruptRequested(), scan.ReadErrors, result.Failed + result.NotWritten);
}

// Recovery in the same pass as the scan: each chosen file is written as the scan streams past
// it, so the device is read once.
int RunOnePass(TScanEngine& engine, TRecoveryRequest request, const TScanRange& range, const TTypeFilter& filter,
               bool byTypes, const TOptions& opt) {
    auto chosen = [&](const TFoundFile& f) { return Chosen(f, filter, byTypes, opt.Nested); };
    std::int64_t recovered = 0, failed = 0;
    TRecoverProgress::TLabel recoveredLabel(recovered), failedLabel(failed);
    request.RecoveredLabel = &recoveredLabel;
    request.FailedLabel = &failedLabel;
    TRecoveryDuringScan session(engine, request, chosen);
    std::string message;
    if (!session.Start(message)) {
        std::fprintf(stderr, "lumivore-cli: %s\n", message.c_str());
        return kExitFailed;
    }
    const auto started = std::chrono::steady_clock::now();
    engine.BlockObserver = &session;
    const TScanOutcome scan = RunScan(engine, range, opt.Quiet);
    engine.BlockObserver = nullptr;
    // The files still waiting after the last block; Ctrl+C still stops them.
    TRecoverProgress pump(engine, true, 0);
    engine.MessagePump = &pump;
    TRecoveryResult result = session.Finish(scan.Stopped);
    engine.MessagePump = nullptr;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    TWrittenCounts counts;
    try {
        session.ForEachEntry([&counts](const TRecoveryEntry& e, const TFoundFile& f) { counts.Add(e, f); });
    } catch (const std::exception& ex) {
        result.Message += (result.Message.empty() ? "" : " ") + std::string(ex.what());
    }
    return Summary(result, counts, seconds, scan, opt);
}

int Run(const TOptions& opt) {
    // A file-size limit must turn into a write error that stops the run cleanly, not a signal.
    std::signal(SIGXFSZ, SIG_IGN);
    // From the first folder created on, a signal stops the run cleanly.
    InstallInterruptHandler();
    TTypeFilter filter;
    std::vector<std::string> tokens;
    for (const std::string& t : opt.Types)
        for (const std::string& s : SplitList(t, ','))
            tokens.push_back(s);
    std::string unknown;
    if (!ParseTypes(tokens, filter, unknown)) {
        std::fprintf(stderr, "lumivore-cli: unknown type '%s' (known: %s)\n", unknown.c_str(), KnownTypesText().c_str());
        return kExitUsage;
    }

    auto engine = std::make_unique<TScanEngine>();
    engine->NamesFromRemnants = !opt.IgnoreRemnants;
    if (opt.DefaultSize)
        engine->DefaultSize = *opt.DefaultSize;
    if (!OpenSource(*engine, opt.Source))
        return kExitFailed;
    TRecoveryRequest request;
    request.Destination = opt.To;
    request.OriginalNames = opt.Names;
    // The destination is refused before the scan, so that a long scan is not wasted.
    std::string message;
    if (!CheckRecoveryDestination(*engine, request, message)) {
        std::fprintf(stderr, "lumivore-cli: %s\n", message.c_str());
        return kExitFailed;
    }
    TScanRange range;
    if (!ResolveRange(*engine, opt.StartMb, opt.EndMb, range))
        return kExitFailed;
    if (!opt.TwoPass)
        return RunOnePass(*engine, request, range, filter, !tokens.empty(), opt);
    const TScanOutcome scan = RunScan(*engine, range, opt.Quiet);
    if (scan.Stopped) {
        std::printf("scan stopped: nothing was recovered\n");
        std::fflush(stdout);
        return FinishStatus(true, scan.ReadErrors, 0);
    }

    if (tokens.empty()) {
        request.Selection = TRecoverySelection::AllTypes();
        request.Selection.IncludeNested = opt.Nested;
    } else {
        std::vector<std::size_t> chosen;
        for (std::size_t i = 0; i < engine->FoundFiles.size(); ++i) {
            if (Chosen(engine->FoundFiles[i], filter, true, opt.Nested))
                chosen.push_back(i);
        }
        request.Selection = TRecoverySelection::Files(std::move(chosen));
    }

    InstallInterruptHandler();
    const std::size_t total =
        request.Selection.ByRecords ? request.Selection.Records.size() : engine->FoundFiles.size();
    TRecoverProgress progress(*engine, opt.Quiet, total);
    TRecoverProgress::TLabel recoveredLabel(progress.Recovered), failedLabel(progress.Failed);
    request.Progress = &progress;
    request.RecoveredLabel = &recoveredLabel;
    request.FailedLabel = &failedLabel;
    engine->MessagePump = &progress;
    const auto started = std::chrono::steady_clock::now();
    const TRecoveryResult result = Recover(*engine, request);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    engine->MessagePump = nullptr;
    progress.Finish();

    TWrittenCounts counts;
    for (const TRecoveryEntry& e : result.Files)
        counts.Add(e, result.FileOf(e));
    return Summary(result, counts, seconds, scan, opt);
}

} // namespace

TCommand AddRecoverCommand(CLI::App& app) {
    auto opt = std::make_shared<TOptions>();
    CLI::App* sub = app.add_subcommand("recover", "Scan a device or disk image and write the found files to a folder");
    sub->add_option("SOURCE", opt->Source, "Device path, disk image file, or device code")->required();
    sub->add_option("--to", opt->To, "Destination folder, on another drive than SOURCE")->required();
    sub->add_option("--types", opt->Types,
                    "Types to recover, comma-separated: extensions (JPG,CR2,HEIC,MP4,...) or camera makers (Canon,...); "
                    "default: all")
        ->delimiter(',');
    sub->add_option("--default-size", opt->DefaultSize,
                    "Kilobytes written for a file whose length cannot be determined (0 = abandon it); "
                    "default: the DefaultSize setting")
        ->check(CLI::Range(0, kDefaultSizeMax));
    AddRangeOptions(*sub, opt->StartMb, opt->EndMb);
    sub->add_flag("--nested", opt->Nested,
                  "Also write files found inside other found files (embedded previews and the like)");
    sub->add_flag("--names", opt->Names,
                  "Write each file that the card's file system still names under its original name and folder "
                  "(the others keep their sector name)");
    sub->add_flag("--quiet", opt->Quiet, "No progress on stderr");
    sub->add_flag("--ignore-remnants", opt->IgnoreRemnants, "Leave the file system's folder entries and records unread")
        ->group("");
    sub->add_flag("--two-pass", opt->TwoPass, "Scan the whole source first, then read each file again to write it")
        ->group("");
    return {sub, [opt] { return Run(*opt); }};
}

} // namespace lumivore::cli
