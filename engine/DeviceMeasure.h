#pragma once
// Measures that follow a found file's structure on the device itself, reading only the headers
// they need at their offsets: an AVI that goes on in further RIFF chunks, gigabytes away from
// where the scan saw its start.

#include <cstdint>
#include <vector>

#include "engine/FoundFile.h"

namespace lumivore {

class TDrive;

// The file's length with what follows its measured end on the device taken in: for an AVI, the
// "RIFF"/"AVIX" chunks that continue it. Any other file, and a file whose length is unknown,
// keeps its length.
std::int64_t ContinuedLength(TDrive& drive, const TFoundFile& file);

// ContinuedLength for every found file, stored into the records; device bytes read are
// returned (a few sectors for each AVI).
std::uint64_t MeasureContinuedFiles(TDrive& drive, std::vector<TFoundFile>& files);

} // namespace lumivore
