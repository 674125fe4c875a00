#pragma once
// WebP pictures: a RIFF container of form "WEBP" whose first chunk is the picture ("VP8 " lossy,
// "VP8L" lossless) or the extended header "VP8X" with the canvas size, followed by optional
// chunks such as "EXIF".

#include "engine/FoundFile.h"
#include "formats/ByteOrder.h"

namespace lumivore {

// Recognises a WebP at the first byte of data ("RIFF", size, "WEBP"): Ext "WEBP", PhoneIndex
// kPhoneWebp, Length from the RIFF size, the pixel size from the first chunk and the camera
// metadata of an "EXIF" chunk that lies inside the data.
bool RecogniseWebP(TBytes data, TFoundFile& rec);

} // namespace lumivore
