#pragma once
// The format recognisers and the length measures. Each recogniser looks at the data from
// the start of one sector to the end of what was read, decides whether a file of its kind
// begins there, and if so fills the record (at least Ext, FormatIndex, MakerIndex, Length).
// None of them reads outside the data it is given, throws for malformed data, or prints.
//
// RecogniseBmp looks only at the sector's own 512 bytes; the scan hands it data.first(512).
// RecogniseRiff decides WAV, AVI and CorelDraw from the first 12 bytes and reads further only
// into a WebP's chunks.

#include <cstdint>

#include "engine/FoundFile.h"
#include "formats/ByteOrder.h"

namespace lumivore {

bool RecogniseTiff(TBytes data, TFoundFile& rec);
bool RecogniseBmp(TBytes sector, TFoundFile& rec);
bool RecogniseJpeg(TBytes data, TFoundFile& rec);
bool RecognisePng(TBytes data, TFoundFile& rec);
bool RecogniseRiff(TBytes sector, TFoundFile& rec);
bool RecogniseX3f(TBytes data, TFoundFile& rec);
bool RecogniseRaf(TBytes data, TFoundFile& rec);
bool RecogniseMrw(TBytes data, TFoundFile& rec);
bool RecogniseRealMedia(TBytes data, TFoundFile& rec);
bool RecogniseGif(TBytes data, TFoundFile& rec);
bool RecogniseIsoMedia(TBytes data, TFoundFile& rec); // formats/IsoMedia.h

using TRecogniser = bool (*)(TBytes, TFoundFile&);

struct TRecogniserEntry {
    const char* Name;
    TRecogniser Recognise;
    bool SectorOnly; // looks only at the sector's own 512 bytes
    // The first two bytes (first byte high) a file of this kind can start with; a recogniser
    // rejects every sector that starts otherwise. StartCount 0 means any start.
    std::uint8_t StartCount = 0;
    std::uint16_t Starts[2] = {0, 0};
    // Box-structured formats start with a big-endian box size whose first byte is 0 for every
    // size the recogniser accepts, then a four-character type at bytes 4-7 (first byte high).
    // Such a sector starts like a zero-filled one, so the scan compares the type before it
    // offers the sector to anything; StartCount and Starts are then unused. 0 for the others.
    std::uint8_t TagCount = 0;
    std::uint32_t Tags[2] = {0, 0};
};

constexpr std::uint16_t StartOf(char a, char b) {
    return static_cast<std::uint16_t>((static_cast<std::uint8_t>(a) << 8) | static_cast<std::uint8_t>(b));
}

constexpr std::uint32_t TagOf(const char (&t)[5]) {
    return (static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<std::uint8_t>(t[3]));
}

// The recognisers in the order the scan offers them each sector; the first that accepts wins.
inline constexpr TRecogniserEntry kRecognisers[] = {
    {"TIFF", &RecogniseTiff, false, 2, {StartOf('I', 'I'), StartOf('M', 'M')}},
    {"BMP", &RecogniseBmp, true, 1, {StartOf('B', 'M')}},
    {"JPEG", &RecogniseJpeg, false, 1, {0xFFD8}},
    {"PNG", &RecognisePng, false, 1, {0x8950}},
    {"RIFF", &RecogniseRiff, false, 1, {StartOf('R', 'I')}},
    {"X3F", &RecogniseX3f, false, 1, {StartOf('F', 'O')}},
    {"RAF", &RecogniseRaf, false, 1, {StartOf('F', 'U')}},
    {"MRW", &RecogniseMrw, false, 1, {StartOf('\0', 'M')}},
    {"RealMedia", &RecogniseRealMedia, false, 1, {StartOf('.', 'R')}},
    {"GIF", &RecogniseGif, false, 1, {StartOf('G', 'I')}},
    {"ISO media", &RecogniseIsoMedia, false, 0, {0, 0}, 2, {TagOf("ftyp"), TagOf("moov")}},
};

} // namespace lumivore
