#include "engine/DeviceMeasure.h"

#include <cstring>

#include "device/DskLib.h"
#include "engine/FileTypes.h"
#include "formats/MediaFormats.h"

namespace lumivore {

std::int64_t ContinuedLength(TDrive& drive, const TFoundFile& file, TChainMemo* memo) {
    constexpr std::uint64_t kSector = 512;
    if (!TraitsOf(file.Type()).ChunkChain || file.Length <= 0 || file.StartSector < 0 ||
        static_cast<std::uint64_t>(file.StartSector) > UINT64_MAX / kSector / 2)
        return file.Length;
    const std::uint64_t base = static_cast<std::uint64_t>(file.StartSector) * kSector;
    // A chunk header is 12 bytes: at most two sectors hold it.
    const TReadAt read = [&](std::uint64_t offset, std::uint8_t* out, std::size_t n) {
        if (n > kSector || offset > UINT64_MAX - base || (memo != nullptr && memo->HeadersLeft == 0))
            return false;
        if (memo != nullptr)
            --memo->HeadersLeft;
        const std::uint64_t at = base + offset;
        std::uint8_t sectors[2 * kSector];
        const std::uint64_t first = at / kSector;
        const std::uint32_t count = (at % kSector) + n > kSector ? 2 : 1;
        if (drive.Read(first, static_cast<std::uint16_t>(count), sectors) != count * kSector)
            return false;
        std::memcpy(out, sectors + at % kSector, n);
        return true;
    };
    return MeasureAviChain(read, file.Length, base, memo != nullptr ? &memo->Ends : nullptr);
}

} // namespace lumivore
