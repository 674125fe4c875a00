#pragma once
// Measures that follow a found file's structure on the device itself, reading only the headers
// they need at their offsets: an AVI that goes on in further RIFF chunks, gigabytes away from
// where the scan saw its start, when the scan could not follow it as it streamed past.

#include <cstdint>
#include <unordered_map>

#include "engine/FoundFile.h"

namespace lumivore {

class TDrive;

// The chains of "RIFF"/"AVIX" chunks followed in one run: for the device byte of a chunk
// header, the device byte where the chain from it ends, so that AVIs whose chains meet (one
// video's headers copied many times over a card) follow the shared part once; and how many
// more headers the run may read in all, so that no card can make it read without end.
struct TChainMemo {
    std::unordered_map<std::uint64_t, std::uint64_t> Ends;
    std::uint32_t HeadersLeft = 65536; // a sector or two each: 64 MiB at most
};

// The file's length with what follows its measured end on the device taken in: for an AVI, the
// "RIFF"/"AVIX" chunks that continue it, each read as one or two sectors. Any other file, and a
// file whose length is unknown, keeps its length.
std::int64_t ContinuedLength(TDrive& drive, const TFoundFile& file, TChainMemo* memo = nullptr);

} // namespace lumivore
