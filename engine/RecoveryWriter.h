#pragma once
// The destination side of recovery: checking the folder before anything is written, and
// writing one file so that it appears under its final name only when it is whole on disk.

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

#include "engine/Recovery.h"
#include "formats/ByteOrder.h"

namespace lumivore {

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

class TRecoveryDestination {
public:
    explicit TRecoveryDestination(std::string folder) : folder_(std::move(folder)) {}

    // Refuses a folder whose file system lives on one of the examined devices, then creates the
    // folder when it is missing and checks that it can be written. Nothing is created when the
    // answer is no. examined lists the device numbers of the examined device.
    bool Prepare(const std::function<std::optional<dev_t>(const std::string&)>& fileSystemDevice,
                 const std::vector<dev_t>& examined, std::string& message);

    // Writes data under the first free name that nameFor gives (suffix 0, 1, 2, ...): into a
    // temporary file first, flushed to disk, given the modification time when one is set, then
    // renamed without replacing anything that exists.
    TWriteResult Write(const std::function<std::string(int suffix)>& nameFor, TBytes data,
                       std::optional<std::time_t> modified);

    // Flushes the folder itself, so that the renames are on disk.
    void SyncFolder() const;

    const std::string& Folder() const { return folder_; }

private:
    std::string folder_;
    std::uint64_t tempCounter_ = 0;
};

} // namespace lumivore
