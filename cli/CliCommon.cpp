#include "cli/CliCommon.h"

#include "engine/Remnants.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "device/DskLib.h"
#include "engine/ScanEngine.h"
#include "support/SafeText.h"

namespace lumivore::cli {

namespace {

// The signal that asked the run to stop (SIGINT, SIGTERM or SIGHUP); 0 while none did.
volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int signal) {
    if (interrupted == 0)
        interrupted = signal;
}

bool AllDigits(const std::string& s) {
    if (s.empty() || s.size() > 3)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    return true;
}

std::string FormatDuration(double seconds) {
    if (seconds < 0 || seconds > 360000)
        return "--:--";
    const long s = static_cast<long>(seconds + 0.5);
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
    return buf;
}

} // namespace

void InstallInterruptHandler() {
    // Installed once; a signal that came before a later call is not forgotten.
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    // Ctrl+C, a polite kill (timeout, systemd, a shutdown), a closed terminal and a reader of
    // the output that went away (an SSH session that ended) all end the run the same way: the
    // file being written is finished or removed, and the report says what was done.
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE})
        sigaction(signal, &sa, nullptr);
}

bool InterruptRequested() { return interrupted != 0; }

int InterruptSignal() { return interrupted; }

std::string OpenFailureText(int error) {
    if (error == 0 || error == ENODATA)
        return "shorter than one sector, nothing to scan";
    std::string text = std::strerror(error);
    if (IsRightsError(error))
        text += " (reading raw devices needs root or membership of the 'disk' group)";
    else if (error == EACCES || error == EPERM)
        text += " (refused although running as root: a container or security policy forbids it)";
    return text;
}

bool IsRightsError(int error) { return (error == EACCES || error == EPERM) && ::geteuid() != 0; }

std::string CodeName(std::uint8_t code) {
    if (IsPhysicalCode(code))
        return std::to_string(code) + " (disk " + std::to_string(code - kFirstPhysicalCode) + ")";
    if (HasDriveLetter(code))
        return std::to_string(code) + " (" + static_cast<char>('A' + code - 1) + ":)";
    const TDeviceEntry* e = TDeviceCatalogue::Instance().Find(code);
    return std::to_string(code) + " (" + (e ? TerminalText(e->Name) : std::string("-")) + ")";
}

int FinishStatus(bool interrupted, std::int64_t unreadableSectors, std::int64_t filesNotWritten,
                 const char* notDone) {
    if (interrupted) {
        // The status a shell gives a program the signal ended: 128 + its number.
        const int signal = InterruptSignal() != 0 ? InterruptSignal() : SIGINT;
        const char* by = signal == SIGTERM   ? "SIGTERM"
                         : signal == SIGHUP  ? "SIGHUP (the terminal closed)"
                         : signal == SIGPIPE ? "SIGPIPE (the output's reader went away)"
                                             : "Ctrl+C";
        std::fprintf(stderr, "lumivore-cli: stopped by %s before the end\n", by);
        return 128 + signal;
    }
    if (unreadableSectors > 0 || filesNotWritten > 0) {
        std::string what;
        if (unreadableSectors > 0)
            what = std::to_string(unreadableSectors) + " sector(s) could not be read";
        if (filesNotWritten > 0)
            what += (what.empty() ? "" : " and ") + std::to_string(filesNotWritten) + " file(s) " + notDone;
        std::fprintf(stderr, "lumivore-cli: finished, but %s\n", what.c_str());
        return kExitIncomplete;
    }
    return kExitOk;
}

std::uint8_t ResolveSource(const std::string& source, std::string& reason) {
    TDeviceCatalogue& catalogue = TDeviceCatalogue::Instance();
    catalogue.Rebuild();
    struct stat st {};
    // A file that exists is that file, also when its name is a number.
    if (::stat(source.c_str(), &st) != 0) {
        const int err = errno;
        if (AllDigits(source)) {
            const int code = std::stoi(source);
            if (code < 1 || code > 255 || catalogue.Find(static_cast<std::uint8_t>(code)) == nullptr) {
                reason = "no device has the code " + source;
                return 0;
            }
            return static_cast<std::uint8_t>(code);
        }
        reason = "cannot open " + source + ": " + std::strerror(err);
        return 0;
    }
    if (S_ISDIR(st.st_mode)) {
        reason = source + " is a directory, not a device or disk image";
        return 0;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        reason = source + " is neither a block device nor a disk image file";
        return 0;
    }
    if (S_ISREG(st.st_mode) && st.st_size == 0) {
        reason = source + " is empty";
        return 0;
    }
    const int fd = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        reason = "cannot open " + source + ": " + OpenFailureText(errno);
        return 0;
    }
    ::close(fd);
    if (const std::uint8_t code = catalogue.CodeForPath(source); code != 0)
        return code;
    const std::uint8_t code = catalogue.RegisterImage(source);
    if (code == 0)
        reason = "cannot register " + source + ": every drive code is taken";
    return code;
}

bool OpenSource(TScanEngine& engine, const std::string& source) {
    std::string reason;
    const std::uint8_t code = ResolveSource(source, reason);
    if (code == 0) {
        std::fprintf(stderr, "lumivore-cli: %s\n", reason.c_str());
        return false;
    }
    if (!engine.OpenDrive(code)) {
        std::fprintf(stderr, "lumivore-cli: cannot read %s: %s\n", source.c_str(),
                     OpenFailureText(engine.Drive.OpenError).c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- progress

TCliProgress::TCliProgress(TScanEngine& engine, bool quiet, std::string what, std::uint64_t totalBytes)
    : engine_(engine), quiet_(quiet), tty_(::isatty(STDERR_FILENO) != 0), what_(std::move(what)),
      totalBytes_(totalBytes) {}

void TCliProgress::ProcessMessages() {
    if (InterruptRequested())
        engine_.StopScan();
    Draw(false);
}

void TCliProgress::SetPosition(int position) { position_ = position; }

void TCliProgress::TLabel::SetCount(std::int64_t value) {
    switch (k_) {
    case Found: p_.found_ = value; break;
    case Sectors: p_.doneBytes_ = static_cast<std::uint64_t>(value) * kSectorSize; break;
    case Errors: p_.errors_ = value; break;
    }
}

void TCliProgress::Draw(bool force) {
    if (quiet_)
        return;
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const std::uint64_t done = std::min(doneBytes_, totalBytes_);
    const double percent = totalBytes_ ? 100.0 * static_cast<double>(done) / static_cast<double>(totalBytes_) : 0.0;
    const double mb = static_cast<double>(done) / 1048576.0;
    const double rate = elapsed > 0.001 && done > 0 ? mb / elapsed : 0.0;
    const double left = rate > 0 ? (static_cast<double>(totalBytes_ - done) / 1048576.0) / rate : -1;
    char line[256];
    std::snprintf(line, sizeof line, "%s %5.1f%%  %9.1f MB  %7.1f MB/s  found %lld  read errors %lld  left %s",
                  what_.c_str(), percent, mb, rate, static_cast<long long>(found_), static_cast<long long>(errors_),
                  FormatDuration(left).c_str());
    if (tty_) {
        if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(100))
            return;
        std::fprintf(stderr, "\r%s\x1b[K", line);
    } else {
        const int decile = static_cast<int>(percent / 10);
        if (!force && decile == lastPlainDecile_)
            return;
        lastPlainDecile_ = decile;
        std::fprintf(stderr, "%s\n", line);
    }
    std::fflush(stderr);
    drawn_ = true;
    lastDraw_ = now;
}

void TCliProgress::Finish() {
    if (quiet_)
        return;
    Draw(true);
    if (tty_)
        std::fprintf(stderr, "\n");
}

// ---------------------------------------------------------------- records as text

std::string JsonEscape(const std::string& s) { return JsonText(s); }

std::string FoundFileJson(const TFoundFile& f) {
    std::string j = "{";
    auto num = [&](const char* k, long long v) { j += "\"" + std::string(k) + "\":" + std::to_string(v) + ","; };
    auto str = [&](const char* k, const std::string& v) { j += "\"" + std::string(k) + "\":\"" + JsonEscape(v) + "\","; };
    num("StartSector", f.StartSector);
    str("Ext", f.Ext);
    num("FormatIndex", f.FormatIndex);
    num("MakerIndex", f.MakerIndex);
    num("PhoneIndex", f.PhoneIndex);
    num("Length", f.Length);
    num("Width", f.Width);
    num("Height", f.Height);
    str("Make", f.Make);
    str("Model", f.Model);
    str("DateTaken", f.DateTaken);
    num("ISO", f.ISO);
    num("ExposureNum", f.ExposureNum);
    num("ExposureDen", f.ExposureDen);
    num("FNumberNum", f.FNumberNum);
    num("FNumberDen", f.FNumberDen);
    num("FocalNum", f.FocalNum);
    num("FocalDen", f.FocalDen);
    num("ThumbKind", f.ThumbKind);
    num("ThumbOffset", f.ThumbOffset);
    num("ThumbLength", f.ThumbLength);
    num("ThumbWidth", f.ThumbWidth);
    num("ThumbHeight", f.ThumbHeight);
    num("ThumbBitsPerSample", f.ThumbBitsPerSample);
    num("NestedIn", f.NestedIn);
    // Only for a photo that a used card split: where its pieces lie, device offset and length.
    if (!f.Pieces.empty()) {
        j += "\"Pieces\":[";
        for (const TPiece& p : f.Pieces)
            j += "[" + std::to_string(p.Offset) + "," + std::to_string(p.Length) + "],";
        j.back() = ']';
        j += ',';
    }
    if (f.Incomplete)
        j += "\"Incomplete\":true,";
    // Only for a file cut short: the length its header claimed.
    if (f.ClaimedLength >= 0)
        num("ClaimedLength", f.ClaimedLength);
    // Only for a file that an entry of the card's file system named: the name and folder as the
    // card stores them, the entry's size and times.
    if (!f.OriginalName.empty()) {
        str("OriginalName", f.OriginalName);
        if (f.FolderKnown)
            str("OriginalFolder", OriginalFolderText(f));
        str("NameSource", RemnantKindText(f.NameSource));
        if (f.NameDeleted)
            j += "\"NameDeleted\":true,";
        num("EntrySize", f.EntrySize);
        if (f.UseEntrySize)
            j += "\"UseEntrySize\":true,";
        if (f.EntryModified != 0)
            num("EntryModified", f.EntryModified);
        if (f.EntryCreated != 0)
            num("EntryCreated", f.EntryCreated);
    }
    j.back() = '}';
    return j;
}

std::string PiecesLine(const TFoundFile& f) {
    if (f.Pieces.empty())
        return "";
    std::string line = f.Incomplete ? "incomplete, stops after" : "in " + std::to_string(f.Pieces.size()) + " pieces:";
    for (const TPiece& p : f.Pieces)
        line += " " + std::to_string(p.Offset) + "+" + std::to_string(p.Length);
    return line;
}

std::string PixelSize(const TFoundFile& f) {
    if (f.Width <= 0 || f.Height <= 0)
        return "";
    return std::to_string(f.Width) + " x " + std::to_string(f.Height);
}

std::string CameraName(const TFoundFile& f) {
    if (f.Make.empty())
        return f.Model;
    if (f.Model.empty())
        return f.Make;
    // Many cameras repeat the maker in the model ("Canon" / "Canon EOS 5D").
    std::string make = f.Make, model = f.Model;
    for (auto& c : make) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (auto& c : model) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string firstWord = make.substr(0, make.find(' '));
    if (!firstWord.empty() && model.rfind(firstWord, 0) == 0)
        return f.Model;
    return f.Make + " " + f.Model;
}

} // namespace lumivore::cli
