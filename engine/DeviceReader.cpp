#include "engine/DeviceReader.h"

#include <algorithm>
#include <cstring>

#include "device/DskLib.h"

namespace lumivore {

namespace {
constexpr std::uint64_t kSector = 512;
}

TDeviceReader::TDeviceReader(TDrive& drive, std::int64_t startSector, std::uint64_t size)
    : drive_(drive), size_(size), cache_(std::size_t{kCacheSectors} * kSector) {
    if (startSector < 0)
        size_ = 0; // a damaged record: nothing to read
    else
        firstSector_ = static_cast<std::uint64_t>(startSector);
}

bool TDeviceReader::Fill(std::uint64_t offset) {
    const std::uint64_t cacheSpan = std::uint64_t{kCacheSectors} * kSector;
    const std::uint64_t aligned = offset - offset % cacheSpan;
    const std::uint64_t sector = aligned / kSector;
    cacheBytes_ = 0;
    if (sector > std::numeric_limits<std::uint64_t>::max() - firstSector_)
        return false;
    const std::uint32_t got = drive_.Read(firstSector_ + sector, static_cast<std::uint16_t>(kCacheSectors), cache_.data());
    bytesRead_ += got;
    cacheOffset_ = aligned;
    cacheBytes_ = std::min<std::uint64_t>(got, cacheSpan);
    return cacheBytes_ > 0;
}

bool TDeviceReader::ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    if (offset > size_ || n > size_ - offset)
        return false;
    while (n > 0) {
        if (cacheBytes_ == 0 || offset < cacheOffset_ || offset >= cacheOffset_ + cacheBytes_) {
            if (!Fill(offset) || offset >= cacheOffset_ + cacheBytes_)
                return false;
        }
        const std::uint64_t at = offset - cacheOffset_;
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(n, cacheBytes_ - at));
        std::memcpy(out, cache_.data() + at, take);
        out += take;
        offset += take;
        n -= take;
    }
    return true;
}

} // namespace lumivore
