#pragma once
// What the card's file system left behind, used as evidence: a quick format rewrites the FAT
// and the root folder but not the clusters of the other folders, a deletion only marks entries,
// and NTFS keeps a deleted file's record until it is reused. As the scan streams past, the
// sectors that may hold folder entries, file records or boot sectors are kept (no extra read of
// the device); after the scan the volumes' geometry is found (from a boot sector, from the
// folders' own "." entries, or from the entries' first clusters against the found files'
// starts), the entries are read, folder paths are traced through their parents, and an entry
// names a found file only when its first cluster maps to the file's start sector, its name's
// extension agrees with the file's type and its size agrees with the measured length.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/FoundFile.h"
#include "formats/ByteOrder.h"
#include "formats/FsEntries.h"

namespace lumivore {

// What TFoundFile::NameSource holds: the file system whose entry named the file.
using TRemnantKind = TFsKind;

// The kinds of the entry names (lower case, as the report and the JSON lines give them).
const char* RemnantKindText(std::uint8_t kind);

struct TRemnantStats {
    std::size_t KeptSectors = 0;  // folder and record sectors kept during the scan
    std::size_t Entries = 0;      // file entries read from them
    std::size_t Named = 0;        // found files an entry named
    std::size_t EntrySizes = 0;   // of those, files recovery writes at the entry's size
    std::size_t Pieces = 0;       // files placed in pieces by an NTFS run list
    std::vector<TFsVolume> Volumes;
};

// Whether a name's extension agrees with a found file's type (Ext): the type's own extensions,
// or for the TIFF-structured raws and the box-structured media, any of their family's (a raw
// that the scan took for a TIFF keeps its maker's extension).
bool ExtensionAgrees(const std::string& name, const std::string& ext);

// The size checks an entry must pass to name a found file: the entry's size equals the measured
// length; or is longer only by bytes the measure did not claim after its end marker (a trailer
// or padding: no file of its own begins there); or the length was unknown, guessed or claimed
// by a header and the entry's size, which no other file's start contradicts, settles it.
// nextStart is the device byte of the first found file after this one's start that is not part
// of it (UINT64_MAX when none). useEntry tells whether recovery writes the entry's size.
bool EntrySizeAgrees(const TFoundFile& f, std::uint64_t size, std::uint64_t nextStart, bool& useEntry);

// For the windows and the reports: the folder an entry placed a found file in, as the card
// stores it ("DCIM/100CANON"; "?" when the folder could not be traced; empty when no entry named
// the file), and the whole original path ("DCIM/100CANON/IMG_0001.JPG", or the bare name when
// the folder is unknown; empty when no entry named the file). Hostile text: shown through
// TerminalText or the toolkit's own text, written only through SafePathComponent.
std::string OriginalFolderText(const TFoundFile& f);
std::string OriginalPathText(const TFoundFile& f);

class TDrive;

// Reads a file through pieces and tells whether they hold a file of its type: a JPEG decodes to
// its end marker, another type's structure measures to the given size.
bool PiecesReadAsType(TDrive& drive, const TFoundFile& f, const std::vector<TPiece>& pieces, std::uint64_t size,
                      const std::function<bool(std::uint64_t, std::uint32_t, std::uint8_t*)>& held = {});

class TRemnants {
public:
    // Most bytes of sectors kept over one scan: the folders of a card hold a few kilobytes per
    // thousand files; more than this is data that only looks like folder entries.
    static constexpr std::size_t kMaxKeptBytes = std::size_t{64} << 20;

    void Clear();
    // Looks at every sector of a block the scan read (blockByte: its device offset) and keeps
    // those that may hold folder entries, file records or a boot sector.
    void Block(TBytes block, std::uint64_t blockByte);
    std::size_t KeptSectors() const { return kept_.size(); }

    // Checks pieces an NTFS run list gives for a found file (PiecesReadAsType with a drive);
    // null: no file is placed in pieces.
    using TPieceCheck = std::function<bool(const TFoundFile& f, const std::vector<TPiece>& pieces, std::uint64_t size)>;
    // After the scan: finds the volumes, reads the entries, and names the found files they agree
    // with (TFoundFile's OriginalName and the fields after it). Files already named keep theirs.
    TRemnantStats Apply(TFoundFileList& files, const TPieceCheck& check = {}) const;

private:
    struct TKept {
        std::uint64_t Byte = 0;
        TFsKind Kind = TFsKind::None;
        std::size_t Offset = 0; // into arena_
        std::uint32_t Size = 0;
    };
    void Keep(std::uint64_t byte, TFsKind kind, const std::uint8_t* data, std::size_t size);
    std::vector<std::uint8_t> arena_;
    std::vector<TKept> kept_;
    std::vector<TFsVolume> boots_;
    // An NTFS record whose first sectors ended the last block.
    std::vector<std::uint8_t> partial_;
    std::uint64_t partialByte_ = 0;
    std::uint32_t partialSize_ = 0;
};

} // namespace lumivore
