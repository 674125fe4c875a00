#pragma once
// The continuing measure of the box-structured files (HEIC/HEIF, AVIF, MP4, M4V, MOV, 3GP,
// CR3): it follows the chain of top-level boxes block by block, checking each box's size, and
// passes over a box's contents without reading them, however long (a video's media data runs
// to gigabytes). The chain ends at the first header that is no box: a type that could not
// name one, a size that does not fit, a second "ftyp" at a sector start (the next file), or
// the end of the bytes. The file ends there when the chain held what a file needs: its start
// ("ftyp", or a movie that opens with "moov"), an index ("moov" or "meta") and media data
// ("mdat"); a chain that ends without them gives no length.
//
// Cameras write the index after the media data, where the recogniser does not see it: the
// measure gathers an index box that lies past the bytes its first call was fed (up to
// kIsoGatherLimit), and a picture's EXIF item that lies there, and reads their metadata when
// they have come, into the record through Complete.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/FileTypes.h"
#include "formats/StreamMeasure.h"

namespace lumivore {

// The largest index box or EXIF item gathered: a camera's or phone's "moov" holds a few
// kilobytes of headers and user data and its sample tables, which reach 1 MiB after a quarter
// of an hour or so; the metadata of a longer clip whose index comes last is not read. The scan
// keeps at most kMaxOpenMeasures measures open, so this bounds what damaged or hostile data can
// make them hold, as the JPEG measure's trailer reach does.
inline constexpr std::size_t kIsoGatherLimit = 1u << 20;

// A box not of the family's own types ends the chain when it states more than this: such
// boxes (a maker's records, a motion photo's trailer) are far smaller, and random bytes that
// look like a type rarely also state a size below it.
inline constexpr std::uint64_t kForeignBoxCeiling = 64u << 20;

// The measure for a file of the given type (one of the box-structured types).
std::unique_ptr<TStreamMeasure> StartIsoMediaMeasure(TFileType type);

} // namespace lumivore
