#pragma once
// Photos that a used card split into pieces. A card that was used before holds new photos in
// the holes that deleted files left, and a photo larger than its hole goes on in the next free
// cluster. After a scan, this pass takes every JPEG whose data does not decode to its end in
// one run, finds the cluster where it breaks, and looks for the cluster where it goes on:
// first past the whole found files that follow the break, then cluster by cluster within a
// bounded gap, keeping a candidate only while the data keeps decoding, for files of up to eight
// pieces (a camera that fills a card's small holes one after another splits a photo in five and
// more). Only a complete decode to the end-of-image marker, over pieces that belong to no
// other file, is taken as proof.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/ClusterGeometry.h"
#include "engine/FoundFile.h"
#include "formats/JpegEntropy.h"

namespace lumivore {

class TDrive;
class TScanEngine;
class TCounterLabel;

// A found file's bytes read through its pieces: Pieces when the record was reassembled, else
// the run from its start sector of the given size. Reads go through a cache of 8 KiB lines
// keyed by device position, so the same reader can be given other pieces without reading
// again; the pass, which decodes the same first pieces many times over, keeps many lines.
class TPieceReader {
public:
    TPieceReader(TDrive& drive, std::vector<TPiece> pieces, std::size_t cacheLines = 1);
    // The pieces that hold a record's bytes: its Pieces when reassembled, else one run from its
    // start sector of its length (or of fallbackSize when the length is unknown).
    static std::vector<TPiece> PiecesOf(const TFoundFile& file, std::uint64_t fallbackSize);

    void SetPieces(std::vector<TPiece> pieces);
    const std::vector<TPiece>& Pieces() const { return pieces_; }
    // Bytes in all pieces together.
    std::uint64_t Size() const { return size_; }
    // Copies n bytes from the file offset into out; false when any lies past Size() or could
    // not be read.
    bool ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t n);
    // The bytes from offset to the end of what the cache holds of the same piece; empty when
    // offset lies past Size() or nothing could be read. Valid until the next call.
    TBytes Span(std::uint64_t offset);
    // The device offset of a file offset; false past Size().
    bool DeviceOffset(std::uint64_t offset, std::uint64_t& device) const;
    // Device bytes read; what the held sectors gave is not counted.
    std::uint64_t BytesRead() const { return bytesRead_; }
    // Sectors already in memory, asked before the device (see TFragmentOptions::HeldSectors).
    void SetHeld(std::function<bool(std::uint64_t sector, std::uint32_t count, std::uint8_t* out)> held) {
        held_ = std::move(held);
    }
    // Once two lines in a row are missing from the cache (a decode going through a piece in
    // order), the lines after them are taken in one request of the held sectors, or of the
    // device where nothing is held: as many as were read in order so far, up to this many,
    // within what is left of the piece. 1, the default, reads line by line.
    void SetReadAhead(std::size_t lines) { readAhead_ = std::clamp<std::size_t>(lines, 1, kMaxReadAhead); }
    // A line read by itself from the device is read only as far as the piece goes within it
    // (a sector looked at), and a line reached out of order (a candidate's first cluster) only
    // as far as the sector after the one asked for; the rest of the line is read when it is
    // asked for. Most candidates fail within their first sectors, and most clusters looked at
    // far from a break are judged by one sector: the pass reads little more than it examines.
    // Off, the default, a line is read whole.
    void SetShortFirstReads(bool on) { shortFirst_ = on; }

private:
    static constexpr std::uint32_t kCacheSectors = 16; // 8 KiB: a failed candidate reads little
    static constexpr std::size_t kMaxReadAhead = 256;   // 2 MiB, well within one device request
    static constexpr std::uint64_t kLineBytes = std::uint64_t{kCacheSectors} * 512;
    // One line of the cache: the device line it holds and how many of its bytes were read.
    struct TLine {
        std::uint64_t Device = UINT64_MAX; // device offset of its first byte; none yet
        std::uint64_t Bytes = 0;
        bool Short = false; // read short on purpose: its rest is read when asked for
    };
    TDrive& drive_;
    std::vector<TPiece> pieces_;
    std::uint64_t size_ = 0;
    std::vector<TLine> lines_;         // line k of the device goes to slot k % lines_.size()
    // Allocated on first use and never cleared: a line's bytes are used only once read.
    std::unique_ptr<std::uint8_t[]> cache_;
    std::uint64_t bytesRead_ = 0;
    std::function<bool(std::uint64_t, std::uint32_t, std::uint8_t*)> held_;
    std::size_t readAhead_ = 1;
    bool shortFirst_ = false;
    std::uint64_t nextLine_ = UINT64_MAX; // the device line just past the last one read
    std::uint64_t runLines_ = 0;          // lines read in order up to it
};

// A set of start sectors kept as a sorted array: 8 bytes a member where a tree takes 48 or more,
// for a set that may hold every photo of a card. Members mostly come in rising order, which
// costs no more than an append.
class TSectorSet {
public:
    void insert(std::int64_t sector) {
        if (sectors_.empty() || sectors_.back() < sector) {
            sectors_.push_back(sector);
            return;
        }
        const auto it = std::lower_bound(sectors_.begin(), sectors_.end(), sector);
        if (*it != sector)
            sectors_.insert(it, sector);
    }
    std::size_t count(std::int64_t sector) const {
        return std::binary_search(sectors_.begin(), sectors_.end(), sector) ? 1 : 0;
    }
    std::size_t size() const { return sectors_.size(); }
    bool empty() const { return sectors_.empty(); }
    void clear() { sectors_.clear(); }
    std::vector<std::int64_t>::const_iterator begin() const { return sectors_.begin(); }
    std::vector<std::int64_t>::const_iterator end() const { return sectors_.end(); }

private:
    std::vector<std::int64_t> sectors_;
};

struct TFragmentOptions {
    // Clusters past a break in which a continuation is looked for.
    std::uint32_t MaxGapClusters = 2048;
    // And at least as many bytes past it, however small the clusters: a camera writes the
    // same megabytes between the pieces of a photo whatever the card's cluster size.
    std::uint64_t MinGapBytes = 16u << 20;
    // Candidate clusters tried per file, over all its breaks: bounds the work a photo whose
    // continuation was overwritten can cost.
    std::uint32_t MaxAttemptsPerFile = 30000;
    // Pieces a reassembled photo may have.
    std::uint32_t MaxPieces = 8;
    // Clusters before the one where decoding failed that may still hold the break: damage is
    // often noticed a little after the bytes where it begins.
    std::uint32_t BackoffClusters = 1;
    // Found files stepped over after a break, one after the other.
    std::uint32_t MaxSteppedFiles = 64;
    // Bytes of coded data a photo's search may decode while following candidates that did not
    // plainly go on the picture (their blocks less alike those above them than the picture's
    // own): about two photos' worth. Where its rest was overwritten, each of them may be the
    // data of an older photo by the same camera, which decodes for megabytes.
    std::uint64_t MaxDoubtfulBytes = 16u << 20;
    // Whether a photo whose rest lies in none of the gaps above is looked for further on, to
    // the device's end, among the clusters no found file owns, within MaxAttemptsPerFile more
    // (the pieces already tried are not tried again, only followed where they went on): on a
    // used card a camera writes a photo's rest into the next free run, which may lie hundreds of
    // megabytes on.
    bool SearchFar = true;
    // Clusters that search may look at, each a read of one sector where nothing else holds it:
    // a photo whose rest was overwritten costs at most this many small reads of a card. The
    // rests found so far lay within 3,700 of them.
    std::uint32_t MaxFarClusters = 16384;
    // Whether the found photos a search may rely on are checked (decoded whole) ahead, on a
    // second core where the machine has one, while the searches run. The answers are the same;
    // only the time differs.
    bool CheckAhead = true;
    // Whether JPEGs are sampled (kSamplesPerCluster sectors a cluster of their extent) for data
    // that cannot belong to a JPEG's scan. Off, only those whose markers go wrong (looked at
    // where the scan could not measure them) or whose extent holds another found file's start
    // are decoded.
    bool SampleMeasuredJpegs = true;
    // Start sectors of JPEGs of known length already judged over the scan's own data (the scan
    // samples them as its blocks pass, recovery during the scan from the sectors it holds):
    // their samples all passed, or they decoded whole in one run. Neither is read again.
    TSectorSet SampledClean;
    TSectorSet DecodedWhole;
    // Sectors already in memory (recovery during the scan keeps the last ones the scan read):
    // copies count sectors from sector on into out when it holds them all, else false, and the
    // device is read.
    std::function<bool(std::uint64_t sector, std::uint32_t count, std::uint8_t* out)> HeldSectors;
};

struct TFragmentStats {
    std::size_t Checked = 0;      // JPEGs decoded
    std::size_t Contiguous = 0;   // of those, whole in one run
    std::size_t Reassembled = 0;
    std::size_t Incomplete = 0;
    std::size_t Unsupported = 0;  // decoded by a coding this pass does not follow
    std::size_t Claimed = 0;      // records marked as lying inside a reassembled photo
    std::size_t Released = 0;     // records no longer counted as inside a broken photo
    std::uint64_t Attempts = 0;   // candidate clusters tried
    std::uint64_t BytesRead = 0;  // device bytes the pass read
    std::uint64_t BytesDecoded = 0; // coded bytes decoded, counted each time they are
    std::uint64_t BytesDoubtful = 0; // of those, while following candidates that did not plainly go on
    std::size_t CheckedAhead = 0; // found photos' extents checked ahead on a second core
    std::size_t LookedAhead = 0;  // suspect photos looked at as they lie there, and taken
    std::array<std::size_t, 9> ByPieces{}; // reassembled photos by number of pieces (index)
};

// Whether a sector inside a JPEG's coded data could be such data: a marker byte is only ever
// followed by a stuffed zero, a restart number, a fill byte or the end marker, and coded data
// carries fewer than 160 unstuffed zero bytes and no run of 64 equal bytes in a sector.
bool PlausibleScanSector(TBytes s);

// Sectors sampled at the start of each cluster of a photo's coded data. A photo the card split
// whose first piece is followed by another file's data often looks whole: its measure ran on to
// an end marker inside that data. A sector of random data passes PlausibleScanSector about once
// in seven (no marker byte followed by a byte coded data never puts after one), so one sample
// misses such a cluster about once in seven, two in a row about once in 45. The second sector
// lies next to the first: no further seek.
inline constexpr std::uint64_t kSamplesPerCluster = 2;

// Whether the pass decodes a JPEG whose measured extent runs from device offset start to end
// in one run: when the start of another found file (nextStart, the first start after its own)
// lies inside it, or, with sampling on, when one of the first kSamplesPerCluster sectors of a
// cluster inside it cannot be coded data. readSector copies the 512 bytes at a device offset
// and is false when it cannot, which counts as broken. A JPEG of unknown length is always
// decoded. sampledBytes, when given, grows by the bytes read.
bool JpegExtentLooksBroken(std::uint64_t start, std::uint64_t end, std::uint64_t nextStart,
                           const TClusterGeometry& geometry, bool sample,
                           const std::function<bool(std::uint64_t offset, std::uint8_t* sector)>& readSector,
                           std::uint64_t* sampledBytes = nullptr);

// The sample test of JpegExtentLooksBroken, taken while the scan streams past a photo, so that
// the pass need not read the photo again: the same samples (the first kSamplesPerCluster sectors
// of each cluster of its coded data, from the cluster boundary at or after the sector where its
// coded data begins) from the blocks the scan holds. A photo whose header does not lie in its
// first block, or whose blocks do not all come in order, is left to the pass.
class TJpegSampler {
public:
    // The photo starts at device offset start; data holds its bytes from there to the end of
    // the block. False when its coded data cannot be found there.
    bool Begin(std::uint64_t start, TBytes data, const TClusterGeometry& geometry);
    // Takes the samples that lie in the block at device offset blockByte. end is the photo's
    // end when its length is known, else 0. Returns false once no more samples are wanted.
    bool Feed(TBytes block, std::uint64_t blockByte, std::uint64_t end);
    // Whether every sample inside the photo's extent [start, end) was taken and could be coded
    // data (or the first that could not is the start of a picture appended to it).
    bool Clean(std::uint64_t end) const;

private:
    std::uint64_t start_ = 0;
    // The end of what is sampled: the photo's end, or its main image's when pictures follow it.
    std::uint64_t SampledEnd(std::uint64_t end) const;
    std::uint64_t coded_ = 0;    // device offset where its coded data begins
    std::uint64_t mainEnd_ = 0;  // where its main image ends by its multi-picture index, or 0
    std::uint64_t next_ = 0;     // device offset of the next sample
    std::uint64_t clusterAt_ = 0; // the cluster it lies in
    std::uint64_t cluster_ = 0;
    std::uint64_t bad_ = UINT64_MAX; // the first sample that cannot be coded data
    bool badIsPicture_ = false;
    bool lost_ = true;           // a sample was passed over: no verdict
};

// The pass itself over a finished scan's FoundFiles, reading the engine's open drive. For each
// JPEG proven to be in pieces: Pieces, Length (their sum), Incomplete false, and the picture
// as its own thumbnail (ThumbOffset 0, ThumbLength the whole length); for one that
// breaks with no proven continuation: Incomplete true and Pieces its first piece, Length as the
// scan measured it. A record that starts inside a reassembled photo's clusters is marked as
// nested in it (NestedIn), so that it is not offered again as a file of its own; a record the
// scan took to lie inside a photo that turned out to break before it is released. Lets the
// engine's message pump run and moves its progress bar once per photo; stops early when
// StopRequested is set; the label, when given, shows the number of reassembled photos at the
// end. Runs under the caller's Busy (right after a scan).
TFragmentStats ReassembleFragments(TScanEngine& engine, const TFragmentOptions& options = {},
                                   TCounterLabel* reassembledLabel = nullptr);

// The same over a list and a drive, with a known geometry (tests, benchmarks).
TFragmentStats ReassembleFragments(TDrive& drive, std::uint64_t deviceBytes, const TClusterGeometry& geometry,
                                   TFoundFileList& files, const TFragmentOptions& options = {},
                                   const std::function<bool(std::size_t done, std::size_t total)>& progress = {});

} // namespace lumivore
