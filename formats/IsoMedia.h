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
// Fills Ext, PhoneIndex, Length, the metadata that the boxes inside the data carry and the
// runs they name as embedded data. The length is the continuing measure's
// (formats/IsoMeasure.h) over data: unknown while the chain of top-level boxes goes on past
// it, when the scan follows it block by block. FormatIndex is kNoIndex; MakerIndex is
// kMakerCanon for a CR3, else kNoIndex.
bool RecogniseIsoMedia(TBytes data, TFoundFile& rec);

// The length of the box file at data's start when nothing follows data (the continuing
// measure fed data, then told the bytes end there). kUnknownLength when the chain of
// top-level boxes does not end in data, or ends without what a file needs.
std::int64_t MeasureIsoMedia(TBytes data);

// Walks a TIFF block found inside another file (the EXIF of a HEIC or WebP, the metadata of a
// CR3) and copies the camera metadata it states into rec: Make (when stated), Model, date
// taken, ISO, exposure, f-number, focal length, and the pixel size when rec has none yet. The
// block's own length and thumbnail are not the file's and are left out. False when the block
// does not start with a TIFF header.
bool ReadEmbeddedTiff(TBytes tiff, TFoundFile& rec);

// ---- Shared with the continuing measure ------------------------------------------------------

// Box types that stand at the top level of the files of the family.
bool IsIsoTopLevelType(std::uint32_t type);
// A type that could name a box at all: four letters, digits or blanks (a copyright sign may
// open it), as writers name their own boxes. Random bytes rarely are one.
bool IsPlausibleBoxType(std::uint32_t type);

// A run of a file's bytes, by its offset from the file's first byte.
struct TIsoRun {
    std::uint64_t Offset = 0;
    std::uint64_t Length = 0;
};

// The metadata of a movie's (or a CR3's) "moov" box given whole, from its header on, as the
// continuing measure gathers it after the bytes its recogniser saw. Nothing that names a
// place in the file (a thumbnail range) is taken: the box is no longer where it lay.
void ReadIsoMovieBox(TBytes box, bool cr3, TFoundFile& rec);

// The metadata of a picture's "meta" box given whole, from its header on: the primary
// picture's size, its EXIF when the box keeps it, and the file runs of its items (noted as
// embedded runs). exif receives the file run of an EXIF item kept outside the box (Length 0
// when there is none), for the caller to read.
void ReadIsoPictureBox(TBytes box, TFoundFile& rec, TIsoRun& exif);

// An EXIF item's bytes: a 32-bit offset to its TIFF header past these 4 bytes, then the TIFF
// block (perhaps after "Exif\0\0"). False when no TIFF block is found there.
bool ReadIsoExifItem(TBytes item, TFoundFile& rec);

// Copies what from knows of the shot (ISO, exposure, aperture, focal length) over rec's.
void TakeShotFacts(TFoundFile& rec, const TFoundFile& from);

} // namespace lumivore
