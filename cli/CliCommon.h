#pragma once
// What the subcommands of lumivore-cli share: turning SOURCE into an open device, the progress
// line on stderr, Ctrl+C, and the found-file record as text and JSON.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/EngineHooks.h"
#include "engine/FoundFile.h"

namespace lumivore {
class TScanEngine;
}

namespace lumivore::cli {

// Exit statuses.
inline constexpr int kExitOk = 0;         // everything asked for was done
inline constexpr int kExitFailed = 1;     // the work failed (source or destination unusable)
inline constexpr int kExitUsage = 2;      // the command line was wrong
inline constexpr int kExitIncomplete = 3; // finished, but sectors unread or files not written
inline constexpr int kExitInterrupted = 130; // stopped by Ctrl+C, as shells expect (128 + SIGINT)
// Stopped by SIGTERM (143), SIGHUP (129) or SIGPIPE (141): 128 + the signal's number.

// The status of a run that finished: 128 + the signal when Ctrl+C, SIGTERM, SIGHUP or SIGPIPE stopped
// it (130 for Ctrl+C), 3 when sectors could not be read or files not written, else 0. Unless
// the run was complete, a one-line reason ends the output on stderr.
// notDone says what happened to the files counted in filesNotWritten.
int FinishStatus(bool interrupted, std::int64_t unreadableSectors, std::int64_t filesNotWritten,
                 const char* notDone = "could not be written");

// Lists the devices and registers SOURCE (a device path, an image file, or a device code) in
// the catalogue. Returns its code, or 0 with a one-line reason.
std::uint8_t ResolveSource(const std::string& source, std::string& reason);

// Opens SOURCE in the engine; on failure prints the reason to stderr.
bool OpenSource(TScanEngine& engine, const std::string& source);

// Why a device did not open, from the errno it left: the system's text, and the advice about
// rights only when rights were the problem.
std::string OpenFailureText(int error);
// Whether joining the 'disk' group or becoming root would help: refused, and not root yet.
bool IsRightsError(int error);

// The name of a device code as users see it: "3 (C:)", "30 (sdc27)", "129 (disk 1)".
std::string CodeName(std::uint8_t code);

// Installs a handler for SIGINT, SIGTERM, SIGHUP and SIGPIPE that asks the running operation to stop
// instead of killing the process; true once one of them came.
void InstallInterruptHandler();
bool InterruptRequested();
// The first of those signals that came; 0 when none did.
int InterruptSignal();

// Progress of a long operation on stderr: a live bar on a terminal, plain lines otherwise,
// nothing when quiet. It is also the operation's message pump: there it notices Ctrl+C.
class TCliProgress : public TMessagePump, public TProgressBar {
public:
    TCliProgress(TScanEngine& engine, bool quiet, std::string what, std::uint64_t totalBytes);
    void ProcessMessages() override;
    void SetPosition(int position) override;
    // The counters that the line shows.
    void SetDone(std::uint64_t bytes) { doneBytes_ = bytes; }
    void SetFound(std::int64_t n) { found_ = n; }
    void SetErrors(std::int64_t n) { errors_ = n; }
    void Finish();

    // Labels that feed the counters.
    class TLabel : public TCounterLabel {
    public:
        enum Kind { Found, Sectors, Errors };
        TLabel(TCliProgress& p, Kind k) : p_(p), k_(k) {}
        void SetCount(std::int64_t value) override;

    private:
        TCliProgress& p_;
        Kind k_;
    };

private:
    void Draw(bool force);
    TScanEngine& engine_;
    bool quiet_;
    bool tty_;
    std::string what_;
    std::uint64_t totalBytes_;
    std::uint64_t doneBytes_ = 0;
    std::int64_t found_ = 0, errors_ = 0;
    int position_ = 0;
    int lastPlainDecile_ = -1;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point lastDraw_{};
};

// The record as one JSON object keyed by the record's field names.
std::string FoundFileJson(const TFoundFile& f);
// Where a photo split into pieces lies: "in 3 pieces: offset+length ...", or for one whose data
// stops with no continuation found "incomplete, stops after offset+length"; "" for others.
std::string PiecesLine(const TFoundFile& f);
// Text made safe for JSON strings: valid UTF-8, controls escaped.
std::string JsonEscape(const std::string& s);
// "1920 x 1080", or "" when unknown.
std::string PixelSize(const TFoundFile& f);
// Make and model without the maker repeated in the model.
std::string CameraName(const TFoundFile& f);

} // namespace lumivore::cli
