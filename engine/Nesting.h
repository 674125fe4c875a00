#pragma once
// Found files that lie inside other found files. The scan records every sector where a file
// seems to begin, so the embedded preview of a raw file, or a stream inside a video that looks
// like a picture, is found as a file of its own. After a scan each record says whether it lies
// wholly inside another found file's known extent; recovery by type and the thumbnail pages
// leave such records out unless asked.

#include <vector>

#include "engine/FoundFile.h"

namespace lumivore {

// Sets NestedIn of every record: the start sector of a found file of known length whose bytes
// hold the record's start and, when the record's own length is known, its end; -1 otherwise.
// A record whose known end lies past every enclosing file's end is not nested. Runs in
// O(n log n) for n records and does not reorder them.
void MarkNestedFiles(std::vector<TFoundFile>& files);

} // namespace lumivore
