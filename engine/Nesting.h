#pragma once
// Found files that are part of other found files, and found files whose claimed length other
// files cut short.
//
// The scan records every sector where a file seems to begin, so the embedded preview of a raw,
// the thumbnail of a photo or a frame of a video is found as a file of its own. Such a record
// is nested: it comes back as part of the file that holds it, so recovery by type, the counts
// and the thumbnail pages leave it out unless asked. A record is nested only where the holder's
// own structure points at it (TFoundFile::Embedded: a run that begins at the record's first
// byte, with a length that agrees with the record's). A record that merely lies inside another
// file's claimed extent is a file of its own: the header of an old video or raw often survives
// while newer photos were written over its body, and a stale header must never cost them.
//
// Where a file's length rests on a header's claim (TFoundFile::ClaimFrom), a file of its own
// that begins inside the claimed body and whose own structure was walked whole shows that the
// body was written over there: the claim is cut short at that file's start.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

#include "engine/ByStartSector.h"
#include "engine/FoundFile.h"

namespace lumivore {

// Whether a found file's length agrees with the length of the run its holder names at the
// file's start: the run states none, the file's own length is unknown, or the file fills the
// run (a sector of slack either way, and never less than half of it: a run twice as long as
// the file names something else that lay there once).
bool LengthAgrees(std::int64_t runLength, const TFoundFile& f);

// Whether a file's own structure says where it ends: its length was walked to an end marker or
// a directory, not claimed by a header or guessed.
bool WalkedWhole(const TFoundFile& f);

// Sets NestedIn of every record by the runs the others name (the holder nearest before it wins
// where several name it), then cuts the claims (CutClaims). O(n log n + runs) for n records;
// the records are not reordered.
void MarkNestedFiles(TFoundFileList& files);

// Cuts the claimed length of every file whose claimed body holds the start of a file that is
// nested in nothing and was walked whole: its Length becomes the distance to that start and
// ClaimedLength keeps the claim. A claim cut before is judged afresh from ClaimedLength.
void CutClaims(TFoundFileList& files);

// The same for one file, with the files found so far: firstCutter(first, end) gives the first
// of them that starts in sectors [first, end), is nested in nothing and was walked whole, or
// null.
using TFirstCutter = std::function<const TFoundFile*(std::int64_t first, std::int64_t end)>;
void CutClaim(TFoundFile& f, const TFirstCutter& firstCutter);

// The nesting of the records of a list that grows, kept as they come: the scan tells it of each
// record appended and of each record whose runs or length changed, and NestedIn is set then, as
// MarkNestedFiles would set it over the records so far.
class TNestingIndex {
public:
    void Clear();
    // files[index] was appended.
    void Added(TFoundFileList& files, std::size_t index);
    // files[index] noted more embedded runs, or learned its length.
    void Changed(TFoundFileList& files, std::size_t index);

private:
    struct TReference {
        std::int64_t Holder = 0; // the holder's start sector
        std::int64_t Length = 0; // the run's length as its holder states it
    };
    // Sets NestedIn of the file by the references to its start.
    void Judge(TFoundFile& f) const;
    std::unordered_multimap<std::int64_t, TReference> references_; // by the sector the run begins at
    TByStartSector<std::size_t> bySector_;                          // found files by start sector
    std::vector<std::size_t> indexed_;                              // runs of each record taken in
};

} // namespace lumivore
