// The entries of recovery in the same pass as the scan, packed into an unnamed file on the
// destination drive.
#include "engine/RecoveryEntries.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "engine/SectorSpill.h"

namespace lumivore::detail {

namespace {

// Numbers are packed as the machine stores them: the file lives as long as the run that wrote it.
template <typename T>
void PutNumber(std::string& out, T value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

void PutText(std::string& out, const std::string& text) {
    PutNumber(out, static_cast<std::uint32_t>(text.size()));
    out += text;
}

// Reads packed values in order; once one does not fit in what is left, every read fails.
class TUnpacker {
public:
    TUnpacker(const std::uint8_t* data, std::size_t size) : data_(data), left_(size) {}
    template <typename T>
    bool Number(T& value) {
        if (left_ < sizeof value)
            return false;
        std::memcpy(&value, data_, sizeof value);
        data_ += sizeof value;
        left_ -= sizeof value;
        return true;
    }
    bool Text(std::string& text) {
        std::uint32_t n = 0;
        if (!Number(n) || left_ < n)
            return false;
        text.assign(reinterpret_cast<const char*>(data_), n);
        data_ += n;
        left_ -= n;
        return true;
    }
    std::size_t Left() const { return left_; }

private:
    const std::uint8_t* data_;
    std::size_t left_;
};

// Each packed entry starts with its own size in bytes, these four included.
constexpr std::size_t kSizeBytes = sizeof(std::uint32_t);
// One read takes the whole of most entries.
constexpr std::size_t kFirstRead = 512;

} // namespace

void PackEntry(const TRecoveryEntry& e, std::string& out) {
    out.assign(kSizeBytes, '\0');
    PutNumber(out, static_cast<std::uint64_t>(e.Index));
    PutNumber(out, e.StartSector);
    PutNumber(out, static_cast<std::uint8_t>(e.Status));
    PutNumber(out, static_cast<std::uint8_t>(e.Source));
    PutNumber(out, static_cast<std::uint8_t>(e.NamedOriginally));
    PutNumber(out, static_cast<std::uint8_t>(e.Damaged));
    PutNumber(out, e.Length);
    PutNumber(out, e.BytesWritten);
    PutNumber(out, e.WrittenAs.Length);
    PutNumber(out, e.WrittenAs.NestedIn);
    PutNumber(out, static_cast<std::uint8_t>(e.WrittenAs.Incomplete));
    PutText(out, e.Name);
    PutText(out, e.Detail);
    PutText(out, e.Enclosing);
    PutText(out, e.Temporary);
    PutNumber(out, static_cast<std::uint32_t>(e.WrittenAs.Pieces.size()));
    for (const TPiece& p : e.WrittenAs.Pieces) {
        PutNumber(out, p.Offset);
        PutNumber(out, p.Length);
    }
    const auto size = static_cast<std::uint32_t>(out.size());
    std::memcpy(out.data(), &size, sizeof size);
}

bool UnpackEntry(const std::uint8_t* data, std::size_t size, TRecoveryEntry& e) {
    TUnpacker in(data, size);
    std::uint32_t packedSize = 0;
    std::uint64_t index = 0;
    std::uint8_t status = 0, source = 0, named = 0, damaged = 0, incomplete = 0;
    std::uint32_t pieces = 0;
    if (!in.Number(packedSize) || packedSize != size || !in.Number(index) || !in.Number(e.StartSector) ||
        !in.Number(status) || !in.Number(source) || !in.Number(named) || !in.Number(damaged) || !in.Number(e.Length) ||
        !in.Number(e.BytesWritten) || !in.Number(e.WrittenAs.Length) || !in.Number(e.WrittenAs.NestedIn) ||
        !in.Number(incomplete) || !in.Text(e.Name) || !in.Text(e.Detail) || !in.Text(e.Enclosing) ||
        !in.Text(e.Temporary) || !in.Number(pieces) || in.Left() != std::size_t{pieces} * 2 * sizeof(std::int64_t))
        return false;
    if (status > static_cast<std::uint8_t>(TRecoveryStatus::NotWritten) ||
        source > static_cast<std::uint8_t>(TLengthSource::Entry))
        return false;
    e.Index = static_cast<std::size_t>(index);
    e.Status = static_cast<TRecoveryStatus>(status);
    e.Source = static_cast<TLengthSource>(source);
    e.NamedOriginally = named != 0;
    e.Damaged = damaged != 0;
    e.WrittenAs.Incomplete = incomplete != 0;
    e.WrittenAs.Pieces.resize(pieces);
    for (TPiece& p : e.WrittenAs.Pieces)
        in.Number(p.Offset), in.Number(p.Length);
    return true;
}

TRecoveryEntries::~TRecoveryEntries() {
    if (fd_ >= 0)
        ::close(fd_);
}

void TRecoveryEntries::Open(int folderFd) {
    if (fd_ < 0)
        fd_ = OpenUnnamedFile(folderFd, "entries");
}

void TRecoveryEntries::Put(const TRecoveryEntry& e) {
    const std::uint64_t place = Keep(e);
    places_[e.StartSector] = place;
}

std::uint64_t TRecoveryEntries::Keep(const TRecoveryEntry& e) {
    PackEntry(e, packed_);
    if (fd_ >= 0 && !writeFailed_) {
        if (WriteAllAt(fd_, reinterpret_cast<const std::uint8_t*>(packed_.data()), packed_.size(), fileEnd_)) {
            const std::uint64_t at = fileEnd_;
            fileEnd_ += packed_.size();
            return at;
        }
        // A full or failing destination: this entry and the ones after it stay in memory.
        writeFailed_ = true;
    }
    const std::uint64_t at = memory_.size() | kInMemory;
    memory_ += packed_;
    return at;
}

TRecoveryEntry TRecoveryEntries::Read(std::uint64_t place) const {
    TRecoveryEntry e;
    if ((place & kInMemory) != 0) {
        const std::uint64_t at = place & ~kInMemory;
        std::uint32_t size = 0;
        if (at + kSizeBytes <= memory_.size())
            std::memcpy(&size, memory_.data() + at, sizeof size);
        if (size < kSizeBytes || at + size > memory_.size() ||
            !UnpackEntry(reinterpret_cast<const std::uint8_t*>(memory_.data() + at), size, e))
            throw std::runtime_error("The entry of a file handled was lost.");
        return e;
    }
    std::vector<std::uint8_t> bytes(kFirstRead);
    const std::size_t got =
        ReadAt(fd_, bytes.data(), static_cast<std::size_t>(std::min<std::uint64_t>(kFirstRead, fileEnd_ - place)), place);
    std::uint32_t size = 0;
    if (got >= kSizeBytes)
        std::memcpy(&size, bytes.data(), sizeof size);
    bool whole = size <= got;
    if (!whole && place + size <= fileEnd_) {
        bytes.resize(size);
        whole = ReadAt(fd_, bytes.data() + got, size - got, place + got) == size - got;
    }
    if (size < kSizeBytes || !whole || !UnpackEntry(bytes.data(), size, e))
        throw std::runtime_error("The list of the files handled, kept on the destination, could not be read back.");
    return e;
}

TRecoveryEntry TRecoveryEntries::At(std::size_t k) const { return Read(places_.Nth(k).second); }

void TRecoveryEntries::Compact() {
    places_.EraseIf([](const auto& entry) { return entry.second == kRemoved; });
}

} // namespace lumivore::detail
