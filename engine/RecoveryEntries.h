#pragma once
// Internal to the recovery files: the entries of recovery in the same pass as the scan, kept on
// the destination drive instead of in memory. A run over a card of many thousand small files
// has an entry for each (its names, what became of it, what its record said when it was
// written: a couple of hundred bytes); here only its place in the file is held, 16 bytes by
// the file's start sector.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/ByStartSector.h"
#include "engine/Recovery.h"

namespace lumivore::detail {

// An entry as bytes, and back: the whole entry, in a form of this program's own. Unpack is
// false when the bytes do not hold a whole entry.
void PackEntry(const TRecoveryEntry& e, std::string& out);
bool UnpackEntry(const std::uint8_t* data, std::size_t size, TRecoveryEntry& e);

class TRecoveryEntries {
public:
    TRecoveryEntries() = default;
    ~TRecoveryEntries();
    TRecoveryEntries(const TRecoveryEntries&) = delete;
    TRecoveryEntries& operator=(const TRecoveryEntries&) = delete;

    // Keeps the entries in an unnamed file in the folder open as folderFd. Without one, or once
    // writing there fails (a full destination), they are kept in memory in the same packed form:
    // an entry is never lost.
    void Open(int folderFd);

    // Keeps e as the entry of the file that starts at e.StartSector, in place of one kept before.
    void Put(const TRecoveryEntry& e);
    std::size_t Size() const { return places_.size(); }
    // The k-th entry by start sector. Throws when what was kept cannot be read back.
    TRecoveryEntry At(std::size_t k) const;

    // What a pass over the entries made of one.
    enum class TAfter : std::uint8_t { Same, Changed, Removed };
    // Calls each(entry) for every entry by start sector; what it changes is kept, and an entry
    // it removes is gone after the pass.
    template <typename TEach>
    void Update(const TEach& each) {
        bool removed = false;
        for (auto& [start, place] : places_) {
            if (place == kRemoved)
                continue;
            TRecoveryEntry e = Read(place);
            switch (each(e)) {
            case TAfter::Same: break;
            case TAfter::Changed: place = Keep(e); break;
            case TAfter::Removed:
                place = kRemoved;
                removed = true;
                break;
            }
        }
        if (removed)
            Compact();
    }

    // Bytes the entries took on the destination, for measures.
    std::uint64_t FileBytes() const { return fileEnd_; }

private:
    // Where an entry is: a byte offset in the file, or with kInMemory set, in memory_.
    static constexpr std::uint64_t kInMemory = 1ull << 63;
    static constexpr std::uint64_t kRemoved = UINT64_MAX;

    std::uint64_t Keep(const TRecoveryEntry& e);
    TRecoveryEntry Read(std::uint64_t place) const;
    void Compact();

    int fd_ = -1;
    bool writeFailed_ = false;
    std::uint64_t fileEnd_ = 0;
    std::string memory_;
    std::string packed_; // the entry being kept, reused
    TByStartSector<std::uint64_t> places_;
};

} // namespace lumivore::detail
