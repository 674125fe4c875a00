#pragma once
// The one way Lumivore writes files: recovered files, the recovery report, thumbnails, the
// contact sheet and the settings file all go through a TOutputDir.
//
// The folder is held open as a directory descriptor for the whole run and every file is
// created relative to it with O_EXCL | O_NOFOLLOW under a temporary name, then renamed into
// place without replacing anything, so neither a symlink planted in the folder nor the folder's
// path swapped for a symlink mid-run can redirect a write. A folder that lies on the device being
// examined is refused before anything is created. Under sudo or pkexec, what it creates belongs
// to the user who asked for it, not to root, wherever that user could have created it; in a
// place only root may write it stays root's.

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/BlockDevices.h"

namespace lumivore {

// What is being examined, so that no write lands on it.
struct TExaminedSource {
    std::vector<dev_t> Devices;        // block devices that make up the examined device
    std::optional<dev_t> ImageDevice;  // for a disk image: the file's st_dev and st_ino
    ino_t ImageInode = 0;
    TSystemTables Tables;              // where mounts and sysfs are read
    // Where a path's file system lives; empty means stat. Tests substitute their own.
    std::function<std::optional<dev_t>(const std::string& path)> FileSystemDevice;
};

// The user files belong to: the invoking user under sudo (SUDO_UID, SUDO_GID) or pkexec
// (PKEXEC_UID with the primary group of that user); nothing when not running as root or not
// started through either.
struct TFileOwner {
    uid_t Uid = 0;
    gid_t Gid = static_cast<gid_t>(-1); // -1 leaves the group as it is
};
std::optional<TFileOwner> InvokingUser();

// Whether the user could create a file in folder (an absolute path whose links are resolved)
// on their own: every folder above it lets them pass and the folder itself lets them write, as
// its owner, group and mode say. Root's own rights do not count.
bool UserMayWriteIn(const std::string& folder, const TFileOwner& user);

enum class TWriteOutcome : std::uint8_t {
    Written,
    NoSpace, // the destination is full or refuses a file this large; nothing was left behind
    Failed,  // any other failure of the destination; nothing was left behind
};

struct TWriteResult {
    TWriteOutcome Outcome = TWriteOutcome::Failed;
    std::string Name;  // final file name inside the folder, when written
    std::string Error; // what went wrong, when not written
};

class TOutputDir {
public:
    TOutputDir() = default;
    ~TOutputDir();
    TOutputDir(const TOutputDir&) = delete;
    TOutputDir& operator=(const TOutputDir&) = delete;

    // Refuses a folder that lies on the examined device, creates the folder and its missing
    // parents, opens it and checks that it can be written. Nothing is created when the answer
    // is no; message says why.
    bool Open(const std::string& folder, const TExaminedSource& examined, std::string& message);

    // Refuses a file name in the folder that is the examined device or image itself (or a
    // link to it), e.g. a contact sheet named after the card's device node, and any other
    // device node: a file the user names must be a file.
    bool CheckTarget(const std::string& name, std::string& message) const;

    // Writes data under the first free name that nameFor gives (suffix 0, 1, 2, ...): into a
    // temporary file first, flushed to disk when durable, given the modification time when one
    // is set, then renamed without replacing anything that exists.
    TWriteResult Write(const std::function<std::string(int suffix)>& nameFor, const std::uint8_t* data,
                       std::size_t size, std::optional<std::time_t> modified = std::nullopt, bool durable = true);

    // Supplies the bytes of a file that is written block by block: points block at the n bytes
    // that start at offset (n is the block size, less for the last block). False abandons the
    // file; nothing is left behind.
    using TBlockSource = std::function<bool(std::uint64_t offset, std::size_t n, const std::uint8_t*& block)>;

    // As Write, for a file of size bytes that source supplies one block at a time, so that a
    // file of gigabytes needs no more memory than a block. The free space is checked for the
    // whole size first; a destination that fills mid-file, a failing write or a source that
    // gives up leaves no file, under a final name or a temporary one. When the source gave up,
    // the outcome is Failed and Error says the bytes could not be supplied.
    TWriteResult WriteStream(const std::function<std::string(int suffix)>& nameFor, std::uint64_t size,
                             std::size_t blockSize, const TBlockSource& source,
                             std::optional<std::time_t> modified = std::nullopt, bool durable = true);

    // As WriteStream, but the file keeps its temporary name (the result's Name) until
    // NamePending gives it its final name or Remove drops it: for a file that a decision still
    // to come may change, which must not stand under its final name before then.
    TWriteResult WriteStreamPending(std::uint64_t size, std::size_t blockSize, const TBlockSource& source,
                                    std::optional<std::time_t> modified = std::nullopt, bool durable = true);
    // Renames a file that WriteStreamPending wrote to the first free name nameFor gives, as
    // WriteStream would have named it; the temporary file is removed when no name can be used.
    TWriteResult NamePending(const std::string& temporary, const std::function<std::string(int suffix)>& nameFor);

    // Moves a file written in the folder (a plain name: a temporary one, or one already named) to
    // the first free name nameFor gives inside the subfolder path below the folder, creating the
    // subfolders that are missing; every component must be a plain name (no "/", not "." or
    // ".."), and none is followed when it is a symlink. Nothing is ever replaced. With modified,
    // the file's modification time is set. The result's Name is the path below the folder; when
    // no name can be used, the file stays where it was.
    TWriteResult MoveInto(const std::string& from, const std::vector<std::string>& folder,
                          const std::function<std::string(int suffix)>& nameFor,
                          std::optional<std::time_t> modified = std::nullopt);
    // Cuts a file this run wrote under name (a plain name in the folder) to size bytes, when it
    // is longer; false when it cannot.
    bool Truncate(const std::string& name, std::uint64_t size) const;
    // Adds size bytes at the end of a file this run wrote under name (a plain name in the
    // folder), when it is exactly at bytes long; false, with the file as it was, when it cannot.
    bool Extend(const std::string& name, std::uint64_t at, const std::uint8_t* data, std::size_t size) const;

    // Writes data under name, replacing a file of that name (never the file a symlink points
    // to): for a file Lumivore owns, such as its settings.
    TWriteResult Replace(const std::string& name, const std::uint8_t* data, std::size_t size);

    // Removes a file this run wrote under name (a plain name in the folder, never a path), to be
    // written again; false when there is no such file or it cannot be removed.
    bool Remove(const std::string& name) const;

    // Flushes the folder itself, so that the renames are on disk; with everything=true also
    // every file written without durable (one flush for a run of thumbnails).
    void Sync(bool everything = false) const;

    bool IsOpen() const { return fd_ >= 0; }
    int Descriptor() const { return fd_; }
    // The folder as it was given.
    const std::string& Folder() const { return folder_; }

private:
    // Writes a file's bytes to the open descriptor; false with err set (0 when the bytes could
    // not be supplied) on failure.
    using TFileFiller = std::function<bool(int fd, int& err)>;
    // Creates a fresh temporary file of size bytes that fill writes; the descriptor is closed.
    // Empty on failure, with result filled.
    std::string WriteTemporary(std::uint64_t size, const TFileFiller& fill, std::optional<std::time_t> modified,
                               bool durable, TWriteResult& result);
    // Renames a written temporary file to the first free name nameFor gives; removes it when
    // none can be used. Returns result with the outcome filled.
    TWriteResult NameTemporary(const std::string& tmp, const std::function<std::string(int suffix)>& nameFor,
                               TWriteResult& result);

    int fd_ = -1;
    std::string folder_;
    std::string resolved_; // the folder's absolute path when it was opened
    TExaminedSource examined_;
    std::optional<TFileOwner> owner_;
    bool handOver_ = false; // files written are given to owner_
    std::uint64_t tempCounter_ = 0;
};

} // namespace lumivore
