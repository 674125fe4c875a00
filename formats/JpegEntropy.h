#pragma once
// Checks that a JPEG's bytes decode: the marker segments in their order, the Huffman tables,
// the frame, and every block of every scan through its Huffman codes, restart markers and the
// end-of-image marker. Nothing is dequantised or transformed, so a check runs at the speed of
// reading the codes.
//
// The bytes come from a source that may stop anywhere (the end of a cluster, of a piece of a
// file split across a card). The decoder keeps its place at the start of the last whole unit
// it finished (a marker segment, a block group of a scan), so a copy of it taken where the
// source ran dry can be run on again over different continuations of the same bytes. That is
// what lets a search try thousands of candidate clusters after a break without decoding the
// file from its start each time.

#include <array>
#include <climits>
#include <cstdint>
#include <memory>
#include <vector>

#include "formats/ByteOrder.h"

namespace lumivore {

// The bytes of a JPEG at logical offsets from its first byte.
class TJpegSource {
public:
    virtual ~TJpegSource() = default;
    // A run of the bytes that starts at offset; shorter than the rest of the file is fine,
    // empty when offset lies past what there is. It stays valid until the next call.
    virtual TBytes At(std::uint64_t offset) = 0;
};

// A JPEG held whole in memory.
class TMemoryJpegSource : public TJpegSource {
public:
    explicit TMemoryJpegSource(TBytes data) : data_(data) {}
    TBytes At(std::uint64_t offset) override {
        return offset < data_.size() ? data_.subspan(static_cast<std::size_t>(offset)) : TBytes{};
    }

private:
    TBytes data_;
};

enum class TJpegCheck : std::uint8_t {
    NeedMore,    // the bytes up to the limit decode; more are needed to go on
    Clean,       // decoded to the end-of-image marker without a fault
    Corrupt,     // the data stops decoding (FailOffset says where it was noticed)
    Unsupported, // a kind of JPEG this check does not follow (progressive, arithmetic, 12-bit)
};

class TJpegEntropyDecoder {
public:
    // Decodes on from where the decoder stands, reading no byte at or past limit. On NeedMore
    // the decoder is back at the start of the last unit it finished (Resume() says where), so
    // it can be run again with a higher limit or, as a copy, over another source that holds
    // the same bytes up to Resume(). Corrupt, Clean and Unsupported are final.
    TJpegCheck Run(TJpegSource& source, std::uint64_t limit);

    // Where decoding would go on: no byte before it is needed again.
    std::uint64_t Resume() const { return state_.Pos; }
    // The offset at which the last Corrupt was noticed: the first byte not yet taken in.
    std::uint64_t FailOffset() const { return failOffset_; }
    // After NeedMore in a marker segment whose length was read: the offset just past that
    // segment, which the bytes must reach before decoding goes on; 0 otherwise.
    std::uint64_t PendingEnd() const { return pendingEnd_; }
    // After Clean: the offset just past the end-of-image marker.
    std::uint64_t EndOffset() const { return endOffset_; }
    // Whether the first scan has begun (the header has been read whole).
    bool InScan() const { return scansStarted_ > 0; }
    // Block groups (MCUs) decoded so far over all scans, for tests and measures.
    std::uint64_t UnitsDecoded() const { return unitsDecoded_; }
    // How alike the DC values of vertically neighbouring blocks were: the sum of their absolute
    // differences and the number of such pairs, over the blocks decoded so far (sequential scans
    // with quantisation tables only). Pictures are smooth: a true continuation of a picture
    // keeps its blocks alike those above them, while coded data from elsewhere (another picture,
    // or this one's from another place), which decodes as well, lines up blocks that are not.
    std::uint64_t VerticalDifferenceSum() const { return state_.VerticalSum; }
    std::uint64_t VerticalPairs() const { return state_.VerticalPairs; }

private:
    // The next bits of the data looked up at once: a Huffman code together with the value
    // bits that follow it, where both lie within the bits looked at. For a DC code, the
    // difference it gives; for AC codes, up to two of them in a row.
    static constexpr int kDcLookBits = 10;
    static constexpr int kAcLookBits = 12;
    struct TDcLook {
        std::uint8_t Length = 0; // bits of the code and its value; 0 = not within the look
        std::int16_t Diff = 0;
    };
    struct TAcLook {
        static constexpr std::uint8_t kEnds = 0x80; // in Advance: the last code ends the block
        std::uint8_t Length = 0;  // bits the codes take with their values
        std::uint8_t Need = 0xFF; // bits that must be held to take them all; 0xFF: none within the look
        std::uint8_t Advance = 0; // places they move on in the block (ending it: places it must have)
        // Two codes: Need is 16 more than the first one's bits, and this the places it moves
        // on alone (it never ends the block).
        std::uint8_t First = 0;
    };
    // A table is never changed once built: copies of the decoder share it.
    struct THuffman {
        // Fast path: the next 9 bits give code length (0 = longer) and symbol.
        std::array<std::uint8_t, 512> FastLength{};
        std::array<std::uint8_t, 512> FastSymbol{};
        // Canonical decode of the longer codes.
        std::array<std::int32_t, 18> MaxCode{};
        std::array<std::int32_t, 17> ValOffset{};
        std::array<std::uint8_t, 256> Symbols{};
        // One of the two, as the table's class says.
        std::array<TDcLook, 1u << kDcLookBits> DcLook{};
        std::array<TAcLook, 1u << kAcLookBits> AcLook{};
    };
    struct TComponent {
        std::uint8_t Id = 0, H = 1, V = 1, Tq = 0;
    };
    // Everything that moves while decoding: saved at the start of each unit.
    struct TState {
        std::uint64_t Pos = 0;     // next byte to take in
        std::uint64_t Bits = 0;    // taken-in bits not yet used, most significant first
        int BitCount = 0;
        bool InScanData = false;
        std::uint64_t UnitsLeft = 0;   // block groups left in this scan
        std::uint32_t RestartsLeft = 0; // block groups before the next restart marker
        std::uint8_t NextRestart = 0;
        // Each component's running DC value: a picture of 8-bit samples keeps it in range.
        std::array<std::int32_t, 4> DcPred{};
        // Zero bytes, and fill bytes, in a row so far.
        std::uint32_t ZeroRun = 0;
        std::uint32_t FillRun = 0;
        std::uint64_t VerticalSum = 0;
        std::uint64_t VerticalPairs = 0;
    };
    // Why the last primitive failed.
    enum class TFault : std::uint8_t { None, NeedMore, Corrupt };

    bool Header(TJpegCheck& result);
    bool Segment(std::uint8_t marker, TBytes payload);
    bool ReadTables(TBytes payload);
    bool ReadFrame(TBytes payload);
    bool ReadScan(TBytes payload);
    TJpegCheck DecodeScan();
    bool DecodeBlock(const THuffman& dc, const THuffman& ac, std::int32_t& dcPred, std::int32_t dcLimit);
    bool DecodeDc(const THuffman& dc, std::int32_t& dcPred, std::int32_t dcLimit);
    int DecodeAc(const THuffman& ac, int& k);
    int DecodeSymbol(const THuffman& table);
    static void BuildLook(THuffman& table, bool dc);
    void Refill(std::uint64_t& bits, int& count);
    bool NeedBits(int n);
    void Fill();
    void StopAtRun();
    TJpegCheck Fail(TFault fault, const TState& checkpoint);
    // Byte at offset through the window cache; false when it lies at or past the limit or the
    // source has no such byte.
    bool ByteAt(std::uint64_t offset, std::uint8_t& out);

    TState state_;
    // Defined tables (null: none given).
    std::array<std::shared_ptr<const THuffman>, 4> dc_{};
    std::array<std::shared_ptr<const THuffman>, 4> ac_{};
    std::array<TComponent, 4> components_{};
    int componentCount_ = 0;
    std::uint32_t width_ = 0, height_ = 0;
    int maxH_ = 1, maxV_ = 1;
    bool frameSeen_ = false;
    std::uint32_t restartInterval_ = 0;
    // The current scan: per block of a block group, which component and tables.
    std::array<std::uint8_t, 10> blockComponent_{};
    std::array<std::uint8_t, 10> blockDc_{};
    std::array<std::uint8_t, 10> blockAc_{};
    std::array<std::int32_t, 10> blockDcLimit_{}; // largest DC magnitude a block may reach; 0 = no check
    // The DC step of each quantisation table; 0 = not given.
    std::array<std::uint16_t, 4> dcQuant_{};
    int blocksPerUnit_ = 0;
    // Where each block of a block group lies across the picture, for the DC value of the block
    // above it: the index of its column among its component's (horizontal place within the
    // group), the group's columns in a row, and per column the DC value of the lowest block of
    // the last group decoded there (kNoDc before any). A group's values are kept once it has
    // decoded whole, so a group taken back for more bytes leaves nothing behind.
    static constexpr std::int32_t kNoDc = INT32_MIN;
    std::array<std::uint8_t, 10> blockH_{};
    std::array<std::uint32_t, 10> blockColumnBase_{};
    std::array<std::uint8_t, 10> blockWidth_{};
    std::uint64_t unitsPerRow_ = 0;
    std::uint64_t scanUnits_ = 0;
    bool vertical_ = false;
    std::vector<std::int32_t> aboveDc_;
    int scansStarted_ = 0;
    std::uint64_t unitsDecoded_ = 0;
    std::uint64_t failOffset_ = 0;
    std::uint64_t endOffset_ = 0;
    std::uint64_t pendingEnd_ = 0;

    // Per-run input: not part of what a copy carries on.
    TJpegSource* source_ = nullptr;
    std::uint64_t limit_ = 0;
    TBytes window_{};
    std::uint64_t windowStart_ = 0;
    bool dry_ = false;      // the last fill stopped at the limit or the source's end
    bool atMarker_ = false; // the last fill stopped at a marker, or at a run no coder writes
    bool runDamage_ = false; // it stopped at such a run, which begins at runStart_
    std::uint64_t runStart_ = 0;
    TFault fault_ = TFault::None;
};

// A quick look at a JPEG's markers without decoding, at the speed of searching for one byte
// value: marker segments are stepped over by their lengths, and in coded data a marker byte may
// only be followed by a stuffed zero, a fill byte, the next restart marker in order, or a
// marker that may stand between scans. Clean with End just past the end marker; Corrupt with
// FailOffset at the first marker that cannot belong; NeedMore when the limit comes first.
struct TMarkerScan {
    TJpegCheck Result = TJpegCheck::NeedMore;
    std::uint64_t End = 0;
    std::uint64_t FailOffset = 0;
};
TMarkerScan ScanJpegMarkers(TJpegSource& source, std::uint64_t limit);

// Convenience for whole files in memory: Clean when data decodes to its end marker.
TJpegCheck CheckJpeg(TBytes data, std::uint64_t* endOffset = nullptr);

} // namespace lumivore
