// A JPEG decode that follows the Huffman codes and markers without forming pixels.
#include "formats/JpegEntropy.h"
#include "formats/JpegMarkers.h"

#include <cstdlib>

#include <algorithm>
#include <bit>
#include <cstring>
#include <vector>

namespace lumivore {

namespace {

using namespace jpeg_markers;

constexpr std::uint8_t kSof0 = 0xC0, kSof1 = 0xC1;
constexpr int kFastBits = 9;
// The longest run of zero bytes, or of fill bytes, that coded data may hold.
constexpr std::uint32_t kLongestRun = 64;

// Frame and coding markers of the kinds this decode does not follow: progressive, lossless,
// hierarchical, arithmetic coding and its conditioning tables.
bool IsUnsupportedCoding(std::uint8_t m) { return (m >= 0xC2 && m <= 0xCF && m != kDht) || m == 0xDE || m == 0xDF; }

std::uint64_t CeilDiv(std::uint64_t a, std::uint64_t b) { return (a + b - 1) / b; }

} // namespace

bool TJpegEntropyDecoder::ByteAt(std::uint64_t offset, std::uint8_t& out) {
    if (offset >= limit_)
        return false;
    if (offset < windowStart_ || offset - windowStart_ >= window_.size()) {
        window_ = source_->At(offset);
        windowStart_ = offset;
        if (window_.empty())
            return false;
    }
    out = window_[static_cast<std::size_t>(offset - windowStart_)];
    return true;
}

// Takes in whole bytes until 57 bits or more are held, the source runs dry, or a marker stands
// next. Stuffed zero bytes are dropped; fill bytes before a marker are skipped.
void TJpegEntropyDecoder::Fill() {
    while (state_.BitCount <= 56 && !atMarker_) {
        // Straight from the window while it holds this byte and the next one.
        if (state_.Pos >= windowStart_ && state_.Pos + 1 < limit_ && state_.Pos - windowStart_ + 1 < window_.size()) {
            const std::uint8_t* base = window_.data();
            const std::uint8_t* p = base + (state_.Pos - windowStart_);
            const std::uint64_t usable = std::min<std::uint64_t>(window_.size(), limit_ - windowStart_);
            const std::uint8_t* last = base + usable - 1; // a byte must follow each one taken
            while (state_.BitCount <= 56 && p < last) {
                const std::uint8_t b = *p;
                if (b != 0xFF) {
                    state_.Bits |= std::uint64_t{b} << (56 - state_.BitCount);
                    state_.BitCount += 8;
                    state_.ZeroRun = b == 0 ? state_.ZeroRun + 1 : 0;
                    state_.FillRun = 0;
                    ++p;
                } else if (p[1] == 0x00) {
                    state_.Bits |= std::uint64_t{0xFF} << (56 - state_.BitCount);
                    state_.BitCount += 8;
                    state_.ZeroRun = state_.FillRun = 0;
                    p += 2;
                } else if (p[1] == 0xFF) {
                    ++state_.FillRun; // a fill byte
                    ++p;
                } else {
                    atMarker_ = true;
                    break;
                }
                if (state_.ZeroRun > kLongestRun || state_.FillRun > kLongestRun) {
                    state_.Pos = windowStart_ + static_cast<std::uint64_t>(p - base);
                    StopAtRun();
                    return;
                }
            }
            state_.Pos = windowStart_ + static_cast<std::uint64_t>(p - base);
            continue;
        }
        std::uint8_t b = 0;
        if (!ByteAt(state_.Pos, b)) {
            dry_ = true;
            return;
        }
        if (b != 0xFF) {
            state_.Bits |= std::uint64_t{b} << (56 - state_.BitCount);
            state_.BitCount += 8;
            state_.ZeroRun = b == 0 ? state_.ZeroRun + 1 : 0;
            state_.FillRun = 0;
            ++state_.Pos;
        } else {
            std::uint8_t next = 0;
            if (!ByteAt(state_.Pos + 1, next)) {
                dry_ = true;
                return;
            }
            if (next == 0x00) {
                state_.Bits |= std::uint64_t{0xFF} << (56 - state_.BitCount);
                state_.BitCount += 8;
                state_.ZeroRun = state_.FillRun = 0;
                state_.Pos += 2;
            } else if (next == 0xFF) {
                ++state_.FillRun; // a fill byte
                ++state_.Pos;
            } else {
                atMarker_ = true;
            }
        }
        if (state_.ZeroRun > kLongestRun || state_.FillRun > kLongestRun) {
            StopAtRun();
            return;
        }
    }
}

// Zeroed or erased space decodes as endless runs of small values, and fill bytes may run on
// before a marker; coded picture data holds neither run this long, so it ends the data there.
void TJpegEntropyDecoder::StopAtRun() {
    const std::uint32_t run = std::max(state_.ZeroRun, state_.FillRun);
    runDamage_ = true;
    runStart_ = state_.Pos > run ? state_.Pos - run : 0;
    atMarker_ = true;
}

bool TJpegEntropyDecoder::NeedBits(int n) {
    if (state_.BitCount >= n)
        return true;
    Fill();
    if (state_.BitCount >= n)
        return true;
    // A marker where data should go on is damage; a dry source only means "not yet".
    fault_ = atMarker_ ? TFault::Corrupt : TFault::NeedMore;
    return false;
}

int TJpegEntropyDecoder::DecodeSymbol(const THuffman& table) {
    if (state_.BitCount < 16)
        Fill();
    const std::size_t fast = static_cast<std::size_t>(state_.Bits >> (64 - kFastBits));
    const int fastLength = table.FastLength[fast];
    if (fastLength != 0 && fastLength <= state_.BitCount) {
        state_.Bits <<= fastLength;
        state_.BitCount -= fastLength;
        return table.FastSymbol[fast];
    }
    std::int32_t code = 0;
    for (int length = 1; length <= 16; ++length) {
        if (length > state_.BitCount) {
            fault_ = atMarker_ || !dry_ ? TFault::Corrupt : TFault::NeedMore;
            return -1;
        }
        code = (code << 1) | static_cast<std::int32_t>((state_.Bits >> (63 - (length - 1))) & 1u);
        if (code <= table.MaxCode[static_cast<std::size_t>(length)]) {
            state_.Bits <<= length;
            state_.BitCount -= length;
            return table.Symbols[static_cast<std::size_t>(table.ValOffset[static_cast<std::size_t>(length)] + code)];
        }
    }
    fault_ = TFault::Corrupt; // no code of the table starts so
    return -1;
}

// The lookups of a table, made once: what DecodeSymbol and the value bits after it give for
// every setting of the next bits, where they fit in them. A symbol whose value cannot be a
// picture's (a DC difference over 11 bits, an AC value over 10) gets no entry: the
// step-by-step path finds it and stops there.
void TJpegEntropyDecoder::BuildLook(THuffman& t, bool dc) {
    // The symbol DecodeSymbol gives with count bits held (most significant first), and the
    // length of its code; -1 where it would fault.
    auto peek = [&t](std::uint64_t bits, int count, int& length) {
        const std::size_t fast = static_cast<std::size_t>(bits >> (64 - kFastBits));
        length = t.FastLength[fast];
        if (length != 0 && length <= count)
            return static_cast<int>(t.FastSymbol[fast]);
        std::int32_t code = 0;
        for (length = 1; length <= 16 && length <= count; ++length) {
            code = (code << 1) | static_cast<std::int32_t>((bits >> (63 - (length - 1))) & 1u);
            if (code <= t.MaxCode[static_cast<std::size_t>(length)])
                return static_cast<int>(t.Symbols[static_cast<std::size_t>(t.ValOffset[static_cast<std::size_t>(length)] + code)]);
        }
        return -1;
    };
    // An AC code with its value bits: the bits it takes and how far it moves on in the block
    // (0 at the end of the block); false when they do not fit in count bits.
    auto acStep = [&](std::uint64_t bits, int count, int& taken, int& advance) {
        int length = 0;
        const int rs = peek(bits, count, length);
        if (rs < 0 || (rs & 15) > 10 || length + (rs & 15) > count)
            return false;
        taken = length + (rs & 15);
        advance = (rs & 15) != 0 ? (rs >> 4) + 1 : rs >> 4 == 15 ? 16 : 0;
        return true;
    };
    if (dc) {
        for (std::uint32_t i = 0; i < (1u << kDcLookBits); ++i) {
            int length = 0;
            const int size = peek(std::uint64_t{i} << (64 - kDcLookBits), kDcLookBits, length);
            if (size < 0 || size > 11 || length + size > kDcLookBits)
                continue;
            TDcLook& e = t.DcLook[i];
            e.Length = static_cast<std::uint8_t>(length + size);
            if (size > 0) {
                std::int32_t diff = static_cast<std::int32_t>((i >> (kDcLookBits - length - size)) & ((1u << size) - 1));
                if (diff < (1 << (size - 1)))
                    diff -= (1 << size) - 1;
                e.Diff = static_cast<std::int16_t>(diff);
            }
        }
        return;
    }
    // A second AC code is taken with the first only where the step-by-step path would take it
    // with no byte taken in before it: with at least 16 bits held after the first.
    for (std::uint32_t i = 0; i < (1u << kAcLookBits); ++i) {
        const std::uint64_t bits = std::uint64_t{i} << (64 - kAcLookBits);
        TAcLook& e = t.AcLook[i];
        int taken = 0, advance = 0;
        if (!acStep(bits, kAcLookBits, taken, advance))
            continue;
        e.Length = e.Need = static_cast<std::uint8_t>(taken);
        e.Advance = e.First = static_cast<std::uint8_t>(advance == 0 ? TAcLook::kEnds : advance);
        int taken2 = 0, advance2 = 0;
        if (advance == 0 || !acStep(bits << taken, kAcLookBits - taken, taken2, advance2))
            continue;
        e.Length = static_cast<std::uint8_t>(taken + taken2);
        e.Need = static_cast<std::uint8_t>(16 + taken);
        // Ending the block after the first, the block must have a place left for the second.
        e.Advance = static_cast<std::uint8_t>(advance2 == 0 ? (advance + 1) | TAcLook::kEnds : advance + advance2);
    }
}

// Tops up the bits held in the caller's registers as Fill would. Most often the next bytes hold
// neither a marker byte nor a zero: then they are taken in with one load.
inline void TJpegEntropyDecoder::Refill(std::uint64_t& bits, int& count) {
    if (!atMarker_ && state_.Pos >= windowStart_) {
        const std::uint64_t at = state_.Pos - windowStart_;
        const std::uint64_t usable = std::min<std::uint64_t>(window_.size(), limit_ - windowStart_);
        if (at + 8 <= usable) {
            std::uint64_t word = 0;
            std::memcpy(&word, window_.data() + at, 8);
            if constexpr (std::endian::native == std::endian::little)
                word = __builtin_bswap64(word);
            // The bytes Fill would take: until more than 56 bits are held.
            const int n = ((56 - count) >> 3) + 1;
            const std::uint64_t taken = ~std::uint64_t{0} << (64 - 8 * n);
            constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
            // The high bit of each byte set where the byte is not zero, in word and in ~word.
            const std::uint64_t nonZero = ((word & kLow7) + kLow7) | word;
            const std::uint64_t notFF = ((~word & kLow7) + kLow7) | ~word;
            if ((~(nonZero & notFF) & ~kLow7 & taken) == 0) {
                bits |= (word & taken) >> count;
                count += 8 * n;
                state_.Pos += static_cast<std::uint64_t>(n);
                state_.ZeroRun = 0;
                state_.FillRun = 0;
                return;
            }
        }
    }
    state_.Bits = bits;
    state_.BitCount = count;
    Fill();
    bits = state_.Bits;
    count = state_.BitCount;
}

// The DC difference of a block, one step at a time.
bool TJpegEntropyDecoder::DecodeDc(const THuffman& dc, std::int32_t& dcPred, std::int32_t dcLimit) {
    const int dcSize = DecodeSymbol(dc);
    if (dcSize < 0)
        return false;
    // Eight-bit samples give DC differences of at most 11 bits and AC values of at most 10.
    if (dcSize > 11) {
        fault_ = TFault::Corrupt;
        return false;
    }
    if (dcSize > 0) {
        if (!NeedBits(dcSize))
            return false;
        std::int32_t diff = static_cast<std::int32_t>(state_.Bits >> (64 - dcSize));
        if (diff < (1 << (dcSize - 1)))
            diff -= (1 << dcSize) - 1;
        state_.Bits <<= dcSize;
        state_.BitCount -= dcSize;
        // The mean of a block of 8-bit samples lies within [-1024, 1016] once scaled: a DC value
        // beyond that comes from data that is not this picture's. Without a quantisation table
        // to scale by, nothing is summed (nor can the sum grow without bound).
        if (dcLimit != 0) {
            dcPred += diff;
            if (dcPred > dcLimit || dcPred < -dcLimit) {
                fault_ = TFault::Corrupt;
                return false;
            }
        }
    }
    return true;
}

// One AC code of a block at place k, one step at a time: -1 on a fault, 0 at the end of the
// block, 1 when the block goes on (k moved on).
int TJpegEntropyDecoder::DecodeAc(const THuffman& ac, int& k) {
    const int rs = DecodeSymbol(ac);
    if (rs < 0)
        return -1;
    const int run = rs >> 4, size = rs & 15;
    if (size == 0) {
        if (run != 15)
            return 0; // end of block
        k += 16;
        if (k > 64) {
            fault_ = TFault::Corrupt;
            return -1;
        }
        return 1;
    }
    k += run;
    if (k > 63 || size > 10) {
        fault_ = TFault::Corrupt;
        return -1;
    }
    if (!NeedBits(size))
        return -1;
    state_.Bits <<= size;
    state_.BitCount -= size;
    ++k;
    return 1;
}

// A block through the lookups with the bits in registers; a code the lookup does not give
// whole, or a fault, takes the step-by-step path from the same place, so that both end alike.
[[gnu::always_inline]] inline bool TJpegEntropyDecoder::DecodeBlock(const THuffman& dc, const THuffman& ac, std::int32_t& dcPred, std::int32_t dcLimit) {
    std::uint64_t bits = state_.Bits;
    int count = state_.BitCount;
    if (count < 16)
        Refill(bits, count);
    const TDcLook d = dc.DcLook[static_cast<std::size_t>(bits >> (64 - kDcLookBits))];
    if (d.Length != 0 && d.Length <= count) {
        bits <<= d.Length;
        count -= d.Length;
        if (d.Diff != 0 && dcLimit != 0) {
            dcPred += d.Diff;
            if (dcPred > dcLimit || dcPred < -dcLimit) {
                state_.Bits = bits;
                state_.BitCount = count;
                fault_ = TFault::Corrupt;
                return false;
            }
        }
    } else {
        state_.Bits = bits;
        state_.BitCount = count;
        if (!DecodeDc(dc, dcPred, dcLimit))
            return false;
        bits = state_.Bits;
        count = state_.BitCount;
    }
    int k = 1;
    while (k < 64) {
        if (count < 16)
            Refill(bits, count);
        const TAcLook a = ac.AcLook[static_cast<std::size_t>(bits >> (64 - kAcLookBits))];
        const int advance = a.Advance & ~TAcLook::kEnds;
        if (a.Need <= count && k + advance <= 64) {
            bits <<= a.Length;
            count -= a.Length;
            if (a.Advance & TAcLook::kEnds)
                break;
            k += advance;
            continue;
        }
        // Two codes that cannot both be taken here: the first alone.
        if (a.Need > 16 && a.Need != 0xFF && a.Need - 16 <= count && k + a.First <= 64) {
            bits <<= a.Need - 16;
            count -= a.Need - 16;
            k += a.First;
            continue;
        }
        state_.Bits = bits;
        state_.BitCount = count;
        const int step = DecodeAc(ac, k);
        if (step < 0)
            return false;
        bits = state_.Bits;
        count = state_.BitCount;
        if (step == 0)
            break;
    }
    state_.Bits = bits;
    state_.BitCount = count;
    return true;
}

TJpegCheck TJpegEntropyDecoder::Fail(TFault fault, const TState& checkpoint) {
    if (fault == TFault::NeedMore) {
        state_ = checkpoint;
        atMarker_ = dry_ = runDamage_ = false;
        return TJpegCheck::NeedMore;
    }
    // Damage noticed at a marker lies at the marker; otherwise at the first byte whose bits
    // were not used yet.
    const std::uint64_t held = atMarker_ ? 0 : static_cast<std::uint64_t>(state_.BitCount / 8);
    failOffset_ = runDamage_ ? runStart_ : state_.Pos > held ? state_.Pos - held : 0;
    return TJpegCheck::Corrupt;
}

TJpegCheck TJpegEntropyDecoder::DecodeScan() {
    TState checkpoint = state_;
    // The group's place in its row.
    std::uint64_t unitColumn = vertical_ ? (scanUnits_ - state_.UnitsLeft) % unitsPerRow_ : 0;
    while (state_.UnitsLeft > 0) {
        if (restartInterval_ != 0 && state_.RestartsLeft == 0) {
            checkpoint = state_;
            Fill();
            if (state_.BitCount >= 8)
                return Fail(TFault::Corrupt, checkpoint); // data where the restart marker belongs
            if (!atMarker_)
                return Fail(TFault::NeedMore, checkpoint);
            std::uint8_t marker = 0;
            ByteAt(state_.Pos + 1, marker); // Fill saw it
            if (marker != 0xD0 + state_.NextRestart) {
                state_.BitCount = 0;
                return Fail(TFault::Corrupt, checkpoint);
            }
            state_.Pos += 2;
            state_.Bits = 0;
            state_.BitCount = 0;
            state_.NextRestart = static_cast<std::uint8_t>((state_.NextRestart + 1) & 7);
            state_.RestartsLeft = restartInterval_;
            state_.DcPred = {};
            atMarker_ = false;
        }
        checkpoint = state_;
        fault_ = TFault::None;
        // The columns of the row above that the group's blocks meet.
        std::array<std::size_t, 10> column;
        std::array<std::int32_t, 10> dc;
        for (int b = 0; b < blocksPerUnit_; ++b) {
            const std::size_t i = static_cast<std::size_t>(b);
            std::int32_t& pred = state_.DcPred[blockComponent_[i] & 3];
            if (!DecodeBlock(*dc_[blockDc_[i]], *ac_[blockAc_[i]], pred, blockDcLimit_[i]))
                return Fail(fault_, checkpoint);
            if (vertical_) {
                column[i] = blockColumnBase_[i] + static_cast<std::size_t>(unitColumn) * blockWidth_[i] + blockH_[i];
                dc[i] = pred;
                const std::int32_t above = aboveDc_[column[i]];
                if (above != kNoDc) {
                    state_.VerticalSum += static_cast<std::uint64_t>(std::abs(static_cast<std::int64_t>(pred) - above));
                    ++state_.VerticalPairs;
                }
            }
        }
        if (vertical_)
            for (int b = 0; b < blocksPerUnit_; ++b)
                aboveDc_[column[static_cast<std::size_t>(b)]] = dc[static_cast<std::size_t>(b)];
        --state_.UnitsLeft;
        if (++unitColumn == unitsPerRow_)
            unitColumn = 0;
        if (restartInterval_ != 0)
            --state_.RestartsLeft;
        ++unitsDecoded_;
    }
    // The scan is whole: only the padding of its last byte may stand before the next marker.
    checkpoint = state_;
    Fill();
    if (state_.BitCount >= 8 || runDamage_)
        return Fail(TFault::Corrupt, checkpoint);
    if (!atMarker_)
        return Fail(TFault::NeedMore, checkpoint);
    state_.Bits = 0;
    state_.BitCount = 0;
    state_.InScanData = false;
    atMarker_ = false;
    return TJpegCheck::NeedMore; // not final: the caller goes on with the markers
}

bool TJpegEntropyDecoder::ReadTables(TBytes payload) {
    std::size_t at = 0;
    while (at < payload.size()) {
        const std::uint8_t classAndId = payload[at];
        const int tableClass = classAndId >> 4, id = classAndId & 15;
        if (tableClass > 1 || id > 3 || payload.size() - at < 17)
            return false;
        std::array<int, 17> counts{};
        int total = 0;
        for (int l = 1; l <= 16; ++l) {
            counts[static_cast<std::size_t>(l)] = payload[at + static_cast<std::size_t>(l)];
            total += counts[static_cast<std::size_t>(l)];
        }
        at += 17;
        if (total > 256 || payload.size() - at < static_cast<std::size_t>(total))
            return false;
        std::shared_ptr<const THuffman>& slot = tableClass == 0 ? dc_[static_cast<std::size_t>(id)] : ac_[static_cast<std::size_t>(id)];
        slot.reset();
        auto table = std::make_shared<THuffman>();
        THuffman& t = *table;
        std::int32_t code = 0;
        int k = 0;
        for (int l = 1; l <= 16; ++l) {
            const std::size_t li = static_cast<std::size_t>(l);
            t.ValOffset[li] = k - code;
            for (int i = 0; i < counts[li]; ++i) {
                // More codes than the length can hold: the table is damaged.
                if (code >= (1 << l))
                    return false;
                const std::uint8_t symbol = payload[at + static_cast<std::size_t>(k)];
                t.Symbols[static_cast<std::size_t>(k)] = symbol;
                if (l <= kFastBits) {
                    const int shift = kFastBits - l;
                    for (int f = code << shift, end = (code + 1) << shift; f < end; ++f) {
                        t.FastLength[static_cast<std::size_t>(f)] = static_cast<std::uint8_t>(l);
                        t.FastSymbol[static_cast<std::size_t>(f)] = symbol;
                    }
                }
                ++k;
                ++code;
            }
            t.MaxCode[li] = counts[li] > 0 ? code - 1 : -1;
            code <<= 1;
        }
        if (total > 0) {
            BuildLook(t, tableClass == 0);
            slot = std::move(table);
        }
        at += static_cast<std::size_t>(total);
    }
    return true;
}

bool TJpegEntropyDecoder::ReadFrame(TBytes payload) {
    if (frameSeen_ || payload.size() < 6)
        return false;
    const int count = payload[5];
    if (count < 1 || count > 4 || payload.size() != 6 + 3u * static_cast<std::size_t>(count))
        return false;
    height_ = static_cast<std::uint32_t>(payload[1] << 8 | payload[2]);
    width_ = static_cast<std::uint32_t>(payload[3] << 8 | payload[4]);
    if (width_ == 0 || height_ == 0)
        return false; // a height given later by a DNL marker is not followed
    componentCount_ = count;
    maxH_ = maxV_ = 1;
    for (int c = 0; c < count; ++c) {
        const std::size_t at = 6 + 3u * static_cast<std::size_t>(c);
        TComponent& comp = components_[static_cast<std::size_t>(c)];
        comp.Id = payload[at];
        comp.H = static_cast<std::uint8_t>(payload[at + 1] >> 4);
        comp.V = static_cast<std::uint8_t>(payload[at + 1] & 15);
        if (comp.H < 1 || comp.H > 4 || comp.V < 1 || comp.V > 4 || payload[at + 2] > 3)
            return false;
        comp.Tq = payload[at + 2];
        maxH_ = std::max<int>(maxH_, comp.H);
        maxV_ = std::max<int>(maxV_, comp.V);
    }
    frameSeen_ = true;
    return true;
}

bool TJpegEntropyDecoder::ReadScan(TBytes payload) {
    if (!frameSeen_ || payload.empty())
        return false;
    const int count = payload[0];
    if (count < 1 || count > componentCount_ || payload.size() != 4 + 2u * static_cast<std::size_t>(count))
        return false;
    blocksPerUnit_ = 0;
    std::uint64_t units = 0;
    for (int s = 0; s < count; ++s) {
        const std::size_t at = 1 + 2u * static_cast<std::size_t>(s);
        int index = -1;
        for (int c = 0; c < componentCount_; ++c)
            if (components_[static_cast<std::size_t>(c)].Id == payload[at])
                index = c;
        const int dcId = payload[at + 1] >> 4, acId = payload[at + 1] & 15;
        if (index < 0 || dcId > 3 || acId > 3 || !dc_[static_cast<std::size_t>(dcId)] ||
            !ac_[static_cast<std::size_t>(acId)])
            return false;
        const TComponent& comp = components_[static_cast<std::size_t>(index)];
        const int blocks = count == 1 ? 1 : comp.H * comp.V;
        if (blocksPerUnit_ + blocks > 10)
            return false;
        for (int b = 0; b < blocks; ++b) {
            const std::size_t i = static_cast<std::size_t>(blocksPerUnit_++);
            blockH_[i] = static_cast<std::uint8_t>(count == 1 ? 0 : b % comp.H);
            blockWidth_[i] = static_cast<std::uint8_t>(count == 1 ? 1 : comp.H);
            blockComponent_[i] = static_cast<std::uint8_t>(index);
            blockDc_[i] = static_cast<std::uint8_t>(dcId);
            blockAc_[i] = static_cast<std::uint8_t>(acId);
            // |DC| * step <= 1024 plus the rounding of the step, with one step to spare.
            const std::uint16_t q = dcQuant_[comp.Tq];
            blockDcLimit_[i] = q == 0 ? 0 : (1024 + q) / q + 1;
        }
        if (count == 1) {
            const std::uint64_t w = CeilDiv(std::uint64_t{width_} * comp.H, static_cast<std::uint64_t>(maxH_));
            const std::uint64_t h = CeilDiv(std::uint64_t{height_} * comp.V, static_cast<std::uint64_t>(maxV_));
            units = CeilDiv(w, 8) * CeilDiv(h, 8);
        }
    }
    std::uint64_t perRow = 0;
    if (count > 1) {
        perRow = CeilDiv(width_, 8u * static_cast<std::uint64_t>(maxH_));
        units = perRow * CeilDiv(height_, 8u * static_cast<std::uint64_t>(maxV_));
    } else {
        const TComponent& comp = components_[blockComponent_[0]];
        perRow = CeilDiv(CeilDiv(std::uint64_t{width_} * comp.H, static_cast<std::uint64_t>(maxH_)), 8);
    }
    // The columns of each block of a group, when every block's DC values are summed (a
    // quantisation table gives their scale); at most a few thousand per row.
    vertical_ = perRow > 0 && perRow <= 65535;
    std::uint32_t columns = 0;
    for (int b = 0; b < blocksPerUnit_ && vertical_; ++b) {
        const std::size_t i = static_cast<std::size_t>(b);
        vertical_ = blockDcLimit_[i] != 0;
        if (blockH_[i] == 0) {
            // The first block of a component in the group starts its columns.
            bool first = true;
            for (int k = 0; k < b; ++k)
                first = first && blockComponent_[static_cast<std::size_t>(k)] != blockComponent_[i];
            if (first) {
                blockColumnBase_[i] = columns;
                columns += static_cast<std::uint32_t>(perRow * blockWidth_[i]);
            } else {
                for (int k = 0; k < b; ++k)
                    if (blockComponent_[static_cast<std::size_t>(k)] == blockComponent_[i])
                        blockColumnBase_[i] = blockColumnBase_[static_cast<std::size_t>(k)];
            }
        } else {
            blockColumnBase_[i] = blockColumnBase_[i - 1];
        }
    }
    unitsPerRow_ = perRow;
    scanUnits_ = units;
    if (vertical_)
        aboveDc_.assign(columns, kNoDc);
    else
        aboveDc_.clear();
    const std::size_t tail = 1 + 2u * static_cast<std::size_t>(count);
    // A sequential scan covers all 64 coefficients at full precision.
    if (payload[tail] != 0 || payload[tail + 1] != 63 || payload[tail + 2] != 0)
        return false;
    state_.UnitsLeft = units;
    state_.DcPred = {};
    state_.RestartsLeft = restartInterval_;
    state_.NextRestart = 0;
    state_.Bits = 0;
    state_.BitCount = 0;
    state_.InScanData = true;
    ++scansStarted_;
    return true;
}

bool TJpegEntropyDecoder::Segment(std::uint8_t marker, TBytes payload) {
    switch (marker) {
    case kDht: return ReadTables(payload);
    case kSof0:
    case kSof1: return ReadFrame(payload);
    case kSos: return ReadScan(payload);
    case 0xDB: // quantisation tables: only the DC step of each is kept
        for (std::size_t at = 0; at < payload.size();) {
            const int precision = payload[at] >> 4, id = payload[at] & 15;
            const std::size_t size = precision == 0 ? 64 : 128;
            if (precision > 1 || id > 3 || payload.size() - at - 1 < size)
                return false;
            dcQuant_[static_cast<std::size_t>(id)] =
                precision == 0 ? payload[at + 1] : static_cast<std::uint16_t>(payload[at + 1] << 8 | payload[at + 2]);
            at += 1 + size;
        }
        return true;
    case kDri:
        if (payload.size() != 2)
            return false;
        restartInterval_ = static_cast<std::uint32_t>(payload[0] << 8 | payload[1]);
        return true;
    default: return true;
    }
}

// One marker, with its segment, at the decoder's position. True when it was taken and decoding
// goes on; false with result set otherwise.
bool TJpegEntropyDecoder::Header(TJpegCheck& result) {
    const TState checkpoint = state_;
    auto needMore = [&] {
        state_ = checkpoint;
        result = TJpegCheck::NeedMore;
        return false;
    };
    auto corrupt = [&](std::uint64_t at) {
        state_ = checkpoint;
        failOffset_ = at;
        result = TJpegCheck::Corrupt;
        return false;
    };
    std::uint64_t pos = state_.Pos;
    std::uint8_t b = 0;
    if (!ByteAt(pos, b))
        return needMore();
    if (b != 0xFF)
        return corrupt(pos);
    std::uint8_t marker = 0xFF;
    // Fill bytes may stand before any marker; a long run of them is not a JPEG's.
    for (int fill = 0; marker == 0xFF; ++fill) {
        if (fill > 64)
            return corrupt(pos);
        if (!ByteAt(pos + 1, marker))
            return needMore();
        if (marker == 0xFF)
            ++pos;
    }
    if (checkpoint.Pos == 0 ? marker != kSoi : marker == kSoi)
        return corrupt(pos);
    if (marker == kSoi) {
        state_.Pos = pos + 2;
        return true;
    }
    if (marker == kEoi) {
        if (scansStarted_ == 0)
            return corrupt(pos); // a picture without any scan
        endOffset_ = pos + 2;
        result = TJpegCheck::Clean;
        return false;
    }
    if (IsRestart(marker) && scansStarted_ > 0) {
        state_.Pos = pos + 2; // a stray restart marker after a scan's last block
        return true;
    }
    // Reserved markers are written by no coder: where a segment should stand, one is damage
    // (or bytes that only begin like a JPEG).
    if (marker <= 0xBF || IsRestart(marker))
        return corrupt(pos);
    if (IsUnsupportedCoding(marker)) {
        result = TJpegCheck::Unsupported;
        return false;
    }
    std::uint8_t hi = 0, lo = 0;
    if (!ByteAt(pos + 2, hi) || !ByteAt(pos + 3, lo))
        return needMore();
    const std::uint32_t length = static_cast<std::uint32_t>(hi << 8 | lo);
    if (length < 2)
        return corrupt(pos + 2);
    const std::uint64_t end = pos + 2 + length;
    if (marker == kDht || marker == kSof0 || marker == kSof1 || marker == kSos || marker == kDri || marker == 0xDB) {
        std::vector<std::uint8_t> payload(length - 2);
        for (std::uint32_t i = 0; i < length - 2; ++i)
            if (!ByteAt(pos + 4 + i, payload[i])) {
                pendingEnd_ = end;
                return needMore();
            }
        if ((marker == kSof0 || marker == kSof1) && !payload.empty() && payload[0] != 8) {
            result = TJpegCheck::Unsupported; // 12-bit samples
            return false;
        }
        if (!Segment(marker, payload))
            return corrupt(pos);
    } else {
        // Other segments are stepped over; their last byte must be there to step past them.
        std::uint8_t last = 0;
        if (!ByteAt(end - 1, last)) {
            pendingEnd_ = end;
            return needMore();
        }
    }
    state_.Pos = end;
    return true;
}

TJpegCheck TJpegEntropyDecoder::Run(TJpegSource& source, std::uint64_t limit) {
    source_ = &source;
    limit_ = limit;
    window_ = {};
    windowStart_ = 0;
    dry_ = atMarker_ = runDamage_ = false;
    pendingEnd_ = 0;
    for (;;) {
        if (state_.InScanData) {
            const TJpegCheck r = DecodeScan();
            if (r != TJpegCheck::NeedMore || state_.InScanData)
                return r;
            continue;
        }
        TJpegCheck result = TJpegCheck::NeedMore;
        if (!Header(result))
            return result;
    }
}

TJpegCheck CheckJpeg(TBytes data, std::uint64_t* endOffset) {
    TMemoryJpegSource source(data);
    TJpegEntropyDecoder decoder;
    const TJpegCheck r = decoder.Run(source, data.size());
    if (endOffset != nullptr)
        *endOffset = r == TJpegCheck::Clean ? decoder.EndOffset() : 0;
    return r;
}

} // namespace lumivore
