#pragma once
// The ten format recognisers and the length measures. Each recogniser looks at the data from
// the start of one sector to the end of what was read, decides whether a file of its kind
// begins there, and if so fills the record (at least Ext, FormatIndex, MakerIndex, Length).
// None of them reads outside the data it is given, throws for malformed data, or prints.
//
// RecogniseBmp and RecogniseRiff look only at the sector's own 512 bytes; the scan hands them
// data.first(512).

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

using TRecogniser = bool (*)(TBytes, TFoundFile&);

struct TRecogniserEntry {
    const char* Name;
    TRecogniser Recognise;
    bool SectorOnly; // looks only at the sector's own 512 bytes
};

// The recognisers in the order the scan offers them each sector; the first that accepts wins.
inline constexpr TRecogniserEntry kRecognisers[] = {
    {"TIFF", &RecogniseTiff, false},     {"BMP", &RecogniseBmp, true},
    {"JPEG", &RecogniseJpeg, false},     {"PNG", &RecognisePng, false},
    {"RIFF", &RecogniseRiff, true},      {"X3F", &RecogniseX3f, false},
    {"RAF", &RecogniseRaf, false},       {"MRW", &RecogniseMrw, false},
    {"RealMedia", &RecogniseRealMedia, false}, {"GIF", &RecogniseGif, false},
};

} // namespace lumivore
