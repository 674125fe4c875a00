#pragma once
// Sectors of the examined device kept on the destination drive instead of in memory: what the
// scan's window of recent sectors lets go of while a file that needs it still waits to be
// written. A file longer than the window is thus read from the device once, and memory stays
// at the window's size whatever the files' lengths.
//
// The sectors go to an unnamed file in the destination folder (one with no name at all where
// the file system allows it, else one unlinked as soon as it is made), so nothing is left
// behind, even when the program ends abruptly. Runs no file needs any more are given back to
// the file system; the file is emptied when none is left.

#include <cstddef>
#include <cstdint>
#include <map>

namespace lumivore {

// Makes a file with no name in the folder open as folderFd (where the file system has no such
// files, one named ".lumivore-" + what + ..., unlinked as soon as it is made) and gives its
// descriptor, or -1 when none can be made. Nothing of it is left behind however the program
// ends.
int OpenUnnamedFile(int folderFd, const char* what);
// Writes the n bytes at data to fd at byte offset at; false when not all could be written.
bool WriteAllAt(int fd, const std::uint8_t* data, std::size_t n, std::uint64_t at);
// Reads up to n bytes from fd at byte offset at into out: how many it read before the file's end
// or a failure.
std::size_t ReadAt(int fd, std::uint8_t* out, std::size_t n, std::uint64_t at);

class TSectorSpill {
public:
    // At most limitBytes are kept at once; past that, sectors are not kept (they are read
    // from the device again when needed).
    explicit TSectorSpill(std::uint64_t limitBytes) : limit_(limitBytes) {}
    ~TSectorSpill();
    TSectorSpill(const TSectorSpill&) = delete;
    TSectorSpill& operator=(const TSectorSpill&) = delete;

    // Makes the unnamed file inside the folder open as folderFd; false when it cannot be made,
    // and the spill then keeps nothing. The limit comes down to a quarter of the space free
    // there: the files being recovered need the rest.
    bool Open(int folderFd);
    bool IsOpen() const { return fd_ >= 0; }

    // Keeps count sectors from first. A sector kept already is not kept twice. False when
    // they could not be kept (the limit, a full or failing destination: the spill then stops
    // keeping anything new, and what it has is still read).
    bool Keep(std::uint64_t first, std::uint64_t count, const std::uint8_t* data);
    // Copies sectors [first, first + count) into dest when all of them are kept.
    bool Copy(std::uint64_t first, std::uint64_t count, std::uint8_t* dest) const;
    // Whether sector is kept.
    bool Holds(std::uint64_t sector) const;

    // Lets go of every run for which needed(first, end) is false.
    template <typename TNeeded>
    void Forget(const TNeeded& needed) {
        for (auto it = runs_.begin(); it != runs_.end();) {
            if (needed(it->first, it->first + it->second.Sectors)) {
                ++it;
                continue;
            }
            Release(it->second);
            it = runs_.erase(it);
        }
        if (runs_.empty())
            Empty();
    }

    // Lets go of everything and keeps nothing more: the destination needs its space.
    void Stop() {
        Forget([](std::uint64_t, std::uint64_t) { return false; });
        failed_ = true;
    }

    // Bytes of sectors kept now.
    std::uint64_t HeldBytes() const { return held_; }
    // Bytes written to the file over its life, for measures.
    std::uint64_t WrittenBytes() const { return written_; }

private:
    struct TRun {
        std::uint64_t Sectors = 0;
        std::uint64_t At = 0; // byte offset in the file
    };
    void Release(const TRun& run);
    void Empty();

    int fd_ = -1;
    bool failed_ = false;
    std::uint64_t limit_;
    std::map<std::uint64_t, TRun> runs_; // by first sector; no two overlap
    std::uint64_t end_ = 0;              // bytes of the file in use, at its end
    std::uint64_t held_ = 0;
    std::uint64_t written_ = 0;
};

} // namespace lumivore
