#pragma once
// The JPEG's continuing measure. It walks the segments to the start of scan, searches the
// entropy data for the end marker, walks a JPEG appended right after it the same way, and then
// looks at what follows: a trailer that belongs to the file (formats/JpegTrailers.h) is measured
// over the bytes gathered from the picture's end on (formats/SharedBlock.h). A multi-picture
// index met among the segments names previews after the picture; the file then ends no sooner
// than the last of them, and trailers are looked for after it. With pictureOnly, it ends at the
// picture's end marker and follows neither the index nor what comes after the picture.

#include <memory>

#include "formats/StreamMeasure.h"

namespace lumivore {

std::unique_ptr<TStreamMeasure> StartJpegMeasure(bool pictureOnly);

} // namespace lumivore
