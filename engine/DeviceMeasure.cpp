#include "engine/DeviceMeasure.h"

#include "engine/DeviceReader.h"
#include "engine/FileTypes.h"
#include "formats/MediaFormats.h"

namespace lumivore {

namespace {

bool Continues(const TFoundFile& file) { return TraitsOf(file.Type()).ChunkChain && file.Length > 0; }

std::int64_t ContinuedLength(TDeviceReader& reader, const TFoundFile& file) {
    return MeasureAviChain(
        [&reader](std::uint64_t offset, std::uint8_t* out, std::size_t n) { return reader.ReadAt(offset, out, n); },
        file.Length);
}

} // namespace

std::int64_t ContinuedLength(TDrive& drive, const TFoundFile& file) {
    if (!Continues(file))
        return file.Length;
    TDeviceReader reader(drive, file.StartSector);
    return ContinuedLength(reader, file);
}

std::uint64_t MeasureContinuedFiles(TDrive& drive, std::vector<TFoundFile>& files) {
    std::uint64_t bytes = 0;
    for (TFoundFile& file : files) {
        if (!Continues(file))
            continue;
        TDeviceReader reader(drive, file.StartSector);
        file.Length = ContinuedLength(reader, file);
        bytes += reader.BytesRead();
    }
    return bytes;
}

} // namespace lumivore
