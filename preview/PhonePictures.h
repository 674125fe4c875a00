#pragma once
// Thumbnails and full-size previews of the files of today's phones and cameras (the rows of
// PhoneTypes()): HEIC/HEIF and AVIF stills, WebP, a frame of an MP4, QuickTime or 3GP video,
// and the embedded JPEG preview of a Canon CR3. TScanEngine::MakeThumbnail and LoadPreview hand
// every such record here.

#include <cstdint>
#include <memory>

#include "engine/FoundFile.h"
#include "preview/Bitmap.h"

namespace lumivore {

class TScanEngine;

// The bytes a found file may span on the engine's device: its length when the scan measured
// one, otherwise up to the device's end.
std::uint64_t ReadableExtent(const TScanEngine& engine, const TFoundFile& file);

// A framed 95 x 95 thumbnail, or null when the record is no phone or video file or its picture
// cannot be decoded. Stores the picture's size into a record that has none.
std::unique_ptr<TBitmap> MakePhoneThumbnail(TScanEngine& engine, TFoundFile& file);
// The full picture into target; false when it cannot be decoded.
bool LoadPhonePreview(TScanEngine& engine, TFoundFile& file, TBitmap& target);

} // namespace lumivore
