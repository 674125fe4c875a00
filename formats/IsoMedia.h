#pragma once
// The files of today's phones and cameras that are built of boxes: HEIC/HEIF and AVIF
// pictures, MP4, M4V, MOV and 3GP/3G2 videos and Canon CR3 raws. A box is a 32-bit big-endian
// size (1: a 64-bit size follows the type; 0: the box runs to the end of the file), a
// four-character type, and its contents; a file is a run of top-level boxes that begins with
// "ftyp", whose brand names the kind of file.

#include <cstdint>

#include "engine/FoundFile.h"
#include "formats/ByteOrder.h"

namespace lumivore {

// Recognises a file of the family at the first byte of data: a "ftyp" box of 16 to 4096 bytes
// with a brand it knows, or (an older QuickTime movie) a "moov" box that opens with its "mvhd".
// Fills Ext, PhoneIndex, Length (MeasureIsoMedia) and the metadata that the boxes inside the
// data carry. FormatIndex is kNoIndex; MakerIndex is kMakerCanon for a CR3, else kNoIndex.
bool RecogniseIsoMedia(TBytes data, TFoundFile& rec);

// The length of the box file at data's start: the sum of its top-level boxes, walked until a
// box whose type is not a top-level one (where the file has ended). kUnknownLength when the
// walk reaches the end of data first (later boxes are out of sight), meets a box that runs to
// the end of the file (size 0) or a damaged size, or the sum reaches kMediaLengthLimit.
// One exception: an "mdat" that runs past the data after a "moov" or "meta" has been seen is
// the last box, as writers that put the index first lay their files out; its end is the file's.
std::int64_t MeasureIsoMedia(TBytes data);

// Walks a TIFF block found inside another file (the EXIF of a HEIC or WebP, the metadata of a
// CR3) and copies the camera metadata it states into rec: Make (when stated), Model, date
// taken, ISO, exposure, f-number, focal length, and the pixel size when rec has none yet. The
// block's own length and thumbnail are not the file's and are left out. False when the block
// does not start with a TIFF header.
bool ReadEmbeddedTiff(TBytes tiff, TFoundFile& rec);

} // namespace lumivore
