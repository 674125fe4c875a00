#include "testkit/TiffBuilder.h"

#include "testkit/ByteWriter.h"

#include <algorithm>
#include <stdexcept>

namespace lumivore::testkit {

namespace {

constexpr std::uint16_t kTagMakerNote = 0x927C;

std::uint32_t Align(std::uint32_t pos, std::uint32_t alignment) {
    if (alignment <= 1)
        return pos;
    const std::uint32_t rest = pos % alignment;
    return rest == 0 ? pos : pos + (alignment - rest);
}

void PutText(TByteVector& out, std::size_t at, const std::string& text) {
    std::copy(text.begin(), text.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
}

} // namespace

TTiffBuilder::TTiffBuilder(bool bigEndian, std::uint16_t marker)
    : bigEndian_(bigEndian), marker_(marker), big_(marker == kBigTiffMarker) {}

void TTiffBuilder::Put64(TByteVector& out, std::uint64_t v) const {
    if (bigEndian_) {
        Put32(out, static_cast<std::uint32_t>(v >> 32));
        Put32(out, static_cast<std::uint32_t>(v));
    } else {
        Put32(out, static_cast<std::uint32_t>(v));
        Put32(out, static_cast<std::uint32_t>(v >> 32));
    }
}

void TTiffBuilder::Put16(TByteVector& out, std::uint16_t v) const {
    if (bigEndian_) {
        out.push_back(static_cast<std::uint8_t>(v >> 8));
        out.push_back(static_cast<std::uint8_t>(v));
    } else {
        out.push_back(static_cast<std::uint8_t>(v));
        out.push_back(static_cast<std::uint8_t>(v >> 8));
    }
}

void TTiffBuilder::Put32(TByteVector& out, std::uint32_t v) const {
    if (bigEndian_) {
        Put16(out, static_cast<std::uint16_t>(v >> 16));
        Put16(out, static_cast<std::uint16_t>(v));
    } else {
        Put16(out, static_cast<std::uint16_t>(v));
        Put16(out, static_cast<std::uint16_t>(v >> 16));
    }
}

TTiffBuilder::TItem TTiffBuilder::AddDirectory(TByteVector prefix) {
    TItemData item;
    item.directory = true;
    item.bytes = std::move(prefix);
    items_.push_back(std::move(item));
    return items_.size() - 1;
}

TTiffBuilder::TItem TTiffBuilder::AddData(TByteVector bytes, std::uint32_t alignment) {
    TItemData item;
    item.bytes = std::move(bytes);
    item.alignment = alignment;
    items_.push_back(std::move(item));
    return items_.size() - 1;
}

TTiffBuilder::TItem TTiffBuilder::PadTo(std::uint32_t position) {
    TItemData item;
    item.padding = true;
    item.padTo = position;
    item.alignment = 1;
    items_.push_back(std::move(item));
    return items_.size() - 1;
}

void TTiffBuilder::Chain(TItem dir, TItem next) {
    items_.at(dir).hasNext = true;
    items_.at(dir).next = next;
}

void TTiffBuilder::SetNextOffset(TItem dir, std::uint32_t offset) {
    items_.at(dir).hasNextOffset = true;
    items_.at(dir).nextOffset = offset;
}

TTiffBuilder::TEntry& TTiffBuilder::AddEntry(TItem dir, std::uint16_t tag, std::uint16_t type, std::uint32_t count) {
    TItemData& item = items_.at(dir);
    if (!item.directory)
        throw std::invalid_argument("entries belong to directories");
    TEntry entry;
    entry.tag = tag;
    entry.type = type;
    entry.count = count;
    item.entries.push_back(std::move(entry));
    return item.entries.back();
}

void TTiffBuilder::Short(TItem dir, std::uint16_t tag, std::vector<std::uint16_t> values) {
    TEntry& e = AddEntry(dir, tag, kTiffShort, static_cast<std::uint32_t>(values.size()));
    for (std::uint16_t v : values)
        Put16(e.bytes, v);
}

void TTiffBuilder::Long(TItem dir, std::uint16_t tag, std::vector<std::uint32_t> values) {
    TEntry& e = AddEntry(dir, tag, kTiffLong, static_cast<std::uint32_t>(values.size()));
    for (std::uint32_t v : values)
        Put32(e.bytes, v);
}

void TTiffBuilder::Ascii(TItem dir, std::uint16_t tag, const std::string& text) {
    TEntry& e = AddEntry(dir, tag, kTiffAscii, static_cast<std::uint32_t>(text.size() + 1));
    e.bytes.assign(text.begin(), text.end());
    e.bytes.push_back(0);
}

void TTiffBuilder::Rational(TItem dir, std::uint16_t tag, std::uint32_t num, std::uint32_t den) {
    TEntry& e = AddEntry(dir, tag, kTiffRational, 1);
    Put32(e.bytes, num);
    Put32(e.bytes, den);
}

void TTiffBuilder::Raw(TItem dir, std::uint16_t tag, std::uint16_t type, std::uint32_t count, TByteVector bytes) {
    AddEntry(dir, tag, type, count).bytes = std::move(bytes);
}

void TTiffBuilder::Fixed(TItem dir, std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t valueField) {
    TEntry& e = AddEntry(dir, tag, type, count);
    e.kind = TValueKind::Fixed;
    e.valueField = valueField;
}

void TTiffBuilder::Pointer(TItem dir, std::uint16_t tag, TItem target, std::uint16_t type) {
    Pointers(dir, tag, {target}, type);
}

void TTiffBuilder::Pointers(TItem dir, std::uint16_t tag, std::vector<TItem> targets, std::uint16_t type) {
    TEntry& e = AddEntry(dir, tag, type, static_cast<std::uint32_t>(targets.size()));
    e.kind = TValueKind::Pointers;
    e.targets = std::move(targets);
}

void TTiffBuilder::Sizes(TItem dir, std::uint16_t tag, std::vector<TItem> blocks, std::uint16_t type) {
    TEntry& e = AddEntry(dir, tag, type, static_cast<std::uint32_t>(blocks.size()));
    e.kind = TValueKind::Sizes;
    e.targets = std::move(blocks);
}

void TTiffBuilder::Strips(TItem dir, std::vector<TItem> strips, std::uint16_t type) {
    Pointers(dir, 0x0111, strips, type);
    Sizes(dir, 0x0117, std::move(strips), type);
}

void TTiffBuilder::Tiles(TItem dir, std::vector<TItem> tiles, std::uint16_t type) {
    Pointers(dir, 0x0144, tiles, type);
    Sizes(dir, 0x0145, std::move(tiles), type);
}

TTiffBuilder::TItem TTiffBuilder::JpegThumbnail(TItem dir, TByteVector jpeg) {
    const TItem stream = AddData(std::move(jpeg));
    Pointer(dir, 0x0201, stream);
    Sizes(dir, 0x0202, {stream});
    return stream;
}

void TTiffBuilder::MakerNote(TItem dir, TItem note) {
    TEntry& e = AddEntry(dir, kTagMakerNote, kTiffUndefined, 0);
    e.kind = TValueKind::Note;
    e.targets = {note};
}

std::uint32_t TTiffBuilder::TypeBytes(std::uint16_t type) const {
    switch (type) {
    case 1: case 2: case 6: case 7:
        return 1;
    case 3: case 8:
        return 2;
    case 4: case 9: case 11:
        return 4;
    case 5: case 10: case 12:
    case kTiffLong8: case kTiffIfd8:
        return 8;
    default:
        return 0;
    }
}

// Bytes the entry needs outside the directory (0 when its value fits in the entry).
std::uint32_t TTiffBuilder::EntryValueSize(const TEntry& e) const {
    if (e.kind == TValueKind::Fixed || e.kind == TValueKind::Note)
        return 0;
    const std::uint32_t size = e.kind == TValueKind::Bytes ? static_cast<std::uint32_t>(e.bytes.size())
                                                           : TypeBytes(e.type) * e.count;
    return size > FieldBytes() ? size : 0;
}

TByteVector TTiffBuilder::EncodeValue(const TEntry& e) const {
    if (e.kind == TValueKind::Bytes)
        return e.bytes;
    TByteVector out;
    for (TItem target : e.targets) {
        const std::uint32_t v = e.kind == TValueKind::Pointers ? items_.at(target).position : items_.at(target).size;
        if (TypeBytes(e.type) == 2)
            Put16(out, static_cast<std::uint16_t>(v));
        else if (TypeBytes(e.type) == 8)
            Put64(out, v);
        else
            Put32(out, v);
    }
    return out;
}

TByteVector TTiffBuilder::Build() {
    // Layout.
    const std::uint32_t countBytes = big_ ? 8 : 2, entryBytes = big_ ? 20 : 12, fieldBytes = FieldBytes();
    std::uint32_t pos = (big_ ? 16 : 8) + static_cast<std::uint32_t>(headerExtra_.size());
    for (TItemData& item : items_) {
        if (item.padding) {
            item.start = item.position = pos;
            pos = std::max(pos, item.padTo);
            item.size = pos - item.start;
            continue;
        }
        pos = Align(pos, item.directory ? 2 : item.alignment);
        item.start = pos;
        if (!item.directory) {
            item.position = pos;
            item.size = static_cast<std::uint32_t>(item.bytes.size());
            pos += item.size;
            continue;
        }
        item.position = pos + static_cast<std::uint32_t>(item.bytes.size());
        std::uint32_t end = item.position + countBytes + entryBytes * static_cast<std::uint32_t>(item.entries.size()) + fieldBytes;
        for (const TEntry& e : item.entries)
            end = Align(end, 2) + EntryValueSize(e);
        item.size = end - item.start;
        pos = end;
    }

    TByteVector out(pos, 0);
    auto put16 = [&](std::size_t at, std::uint16_t v) {
        TByteVector b;
        Put16(b, v);
        std::copy(b.begin(), b.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    };
    auto put32 = [&](std::size_t at, std::uint32_t v) {
        TByteVector b;
        Put32(b, v);
        std::copy(b.begin(), b.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    };

    out[0] = out[1] = bigEndian_ ? 'M' : 'I';
    put16(2, marker_);
    std::uint32_t first = 0;
    if (hasFirstOffset_) {
        first = firstOffset_;
    } else {
        for (TItem i = 0; i < items_.size() && !hasFirst_; ++i)
            if (items_[i].directory) {
                first_ = i;
                hasFirst_ = true;
            }
        if (hasFirst_)
            first = items_.at(first_).position;
    }
    // The field at offset `at` of an entry or header: 32-bit, or 64-bit in a BigTIFF.
    auto putField = [&](std::size_t at, std::uint32_t v) {
        TByteVector b;
        if (big_)
            Put64(b, v);
        else
            Put32(b, v);
        std::copy(b.begin(), b.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    };
    if (big_) {
        put16(4, 8);
        put16(6, 0);
        putField(8, first);
    } else {
        put32(4, first);
    }
    std::copy(headerExtra_.begin(), headerExtra_.end(), out.begin() + (big_ ? 16 : 8));

    for (const TItemData& item : items_) {
        if (item.padding)
            continue;
        std::copy(item.bytes.begin(), item.bytes.end(), out.begin() + item.start);
        if (!item.directory)
            continue;
        std::size_t at = item.position;
        if (big_)
            putField(at, static_cast<std::uint32_t>(item.entries.size()));
        else
            put16(at, static_cast<std::uint16_t>(item.entries.size()));
        at += countBytes;
        std::uint32_t valuePos = item.position + countBytes + entryBytes * static_cast<std::uint32_t>(item.entries.size()) + fieldBytes;
        const std::size_t countAt = 4, fieldAt = big_ ? 12 : 8;
        for (const TEntry& e : item.entries) {
            put16(at, e.tag);
            put16(at + 2, e.type);
            if (e.kind == TValueKind::Note) {
                const TItemData& note = items_.at(e.targets.at(0));
                putField(at + countAt, note.size);
                putField(at + fieldAt, note.start);
            } else if (e.kind == TValueKind::Fixed) {
                putField(at + countAt, e.count);
                putField(at + fieldAt, e.valueField);
            } else {
                putField(at + countAt, e.count);
                const TByteVector value = EncodeValue(e);
                if (value.size() <= fieldBytes) {
                    std::copy(value.begin(), value.end(), out.begin() + static_cast<std::ptrdiff_t>(at + fieldAt));
                } else {
                    valuePos = Align(valuePos, 2);
                    putField(at + fieldAt, valuePos);
                    std::copy(value.begin(), value.end(), out.begin() + valuePos);
                    valuePos += static_cast<std::uint32_t>(value.size());
                }
            }
            at += entryBytes;
        }
        std::uint32_t next = 0;
        if (item.hasNextOffset)
            next = item.nextOffset;
        else if (item.hasNext)
            next = items_.at(item.next).position;
        putField(at, next);
    }
    return out;
}

std::uint32_t TTiffBuilder::Position(TItem item) const { return items_.at(item).position; }
std::uint32_t TTiffBuilder::Size(TItem item) const { return items_.at(item).size; }

TByteVector BuildCameraTiff(const TCameraTiff& camera, TCameraTiffLayout* layout) {
    TTiffBuilder b(camera.bigEndian, camera.marker);
    if (camera.cr2Header)
        b.SetHeaderExtra({'C', 'R', 2, 0, 0, 0, 0, 0});
    const auto ifd0 = b.AddDirectory();
    const auto exif = b.AddDirectory();
    b.Long(ifd0, 0x0100, {camera.width});
    b.Long(ifd0, 0x0101, {camera.height});
    b.Short(ifd0, 0x0103, {1});
    if (!camera.make.empty())
        b.Ascii(ifd0, 0x010F, camera.make);
    if (!camera.model.empty())
        b.Ascii(ifd0, 0x0110, camera.model);
    std::size_t raw = 0;
    const bool hasRaw = camera.rawDataSize > 0;
    if (hasRaw) {
        raw = b.AddData(TByteVector(camera.rawDataSize, 0));
        b.Strips(ifd0, {raw});
    }
    b.SubDirectory(ifd0, exif);
    if (camera.dngVersion)
        b.Raw(ifd0, 0xC612, kTiffByte, 4, {1, 4, 0, 0});

    if (camera.exposureDen != 0)
        b.Rational(exif, 0x829A, camera.exposureNum, camera.exposureDen);
    if (camera.fNumberDen != 0)
        b.Rational(exif, 0x829D, camera.fNumberNum, camera.fNumberDen);
    if (camera.iso != 0)
        b.Short(exif, 0x8827, {camera.iso});
    if (!camera.dateTaken.empty())
        b.Ascii(exif, 0x9003, camera.dateTaken);
    if (camera.focalDen != 0)
        b.Rational(exif, 0x920A, camera.focalNum, camera.focalDen);
    if (b.BigEndian())
        b.Raw(exif, 0xA001, kTiffShort, 1, {0, 1});
    else
        b.Raw(exif, 0xA001, kTiffShort, 1, {1, 0});

    std::size_t thumb = 0;
    const bool hasThumb = !camera.jpegThumbnail.empty();
    if (hasThumb) {
        const auto ifd1 = b.AddDirectory();
        b.Chain(ifd0, ifd1);
        b.Short(ifd1, 0x0100, {camera.thumbWidth});
        b.Short(ifd1, 0x0101, {camera.thumbHeight});
        b.Short(ifd1, 0x0103, {6});
        thumb = b.JpegThumbnail(ifd1, camera.jpegThumbnail);
    }
    TByteVector out = b.Build();
    if (layout) {
        layout->thumbnailOffset = hasThumb ? b.Position(thumb) : 0;
        layout->rawOffset = hasRaw ? b.Position(raw) : 0;
    }
    return out;
}

TByteVector BuildX3fHeader(std::uint32_t width, std::uint32_t height, std::size_t size) {
    TByteVector out(std::max<std::size_t>(size, 36), 0);
    PutText(out, 0, "FOVb");
    PutLE32(out, 4, 0x00020002); // format version 2.2
    PutLE32(out, 28, width);
    PutLE32(out, 32, height);
    return out;
}

TByteVector BuildX3f(std::uint32_t width, std::uint32_t height, std::size_t size, const std::vector<std::size_t>& decoys) {
    constexpr std::size_t kHeader = 232, kImageHead = 28, kProperties = 24, kDirectory = 12 + 2 * 12 + 4;
    size = std::max<std::size_t>(size, kHeader + kImageHead + kProperties + kDirectory + 4) / 4 * 4;
    TByteVector out = BuildX3fHeader(width, height, size);
    const std::size_t image = kHeader;
    const std::size_t properties = size - kDirectory - kProperties;
    const std::size_t directory = size - kDirectory;
    PutText(out, image, "SECi");
    PutLE32(out, image + 4, 0x00020000);
    PutLE32(out, image + 12, width);
    PutLE32(out, image + 16, height);
    std::uint32_t noise = 0x9E3779B9u;
    for (std::size_t i = image + kImageHead; i < properties; ++i) {
        noise = noise * 1664525u + 1013904223u;
        out[i] = static_cast<std::uint8_t>(noise >> 24);
    }
    for (const std::size_t at : decoys) {
        if (at < image + kImageHead || at + 28 > properties)
            continue;
        PutText(out, at, "SECd");
        PutLE32(out, at + 4, 0x00020000);
        PutLE32(out, at + 8, 1);
        PutLE32(out, at + 12, static_cast<std::uint32_t>(image));
        PutLE32(out, at + 16, 16);
        PutText(out, at + 20, "IMAG");
        PutLE32(out, at + 24, static_cast<std::uint32_t>(at + 1)); // names no directory
    }
    PutText(out, properties, "SECp");
    PutLE32(out, properties + 4, 0x00020000);
    PutText(out, directory, "SECd");
    PutLE32(out, directory + 4, 0x00020000);
    PutLE32(out, directory + 8, 2);
    PutLE32(out, directory + 12, static_cast<std::uint32_t>(image));
    PutLE32(out, directory + 16, static_cast<std::uint32_t>(properties - image));
    PutText(out, directory + 20, "IMAG");
    PutLE32(out, directory + 24, static_cast<std::uint32_t>(properties));
    PutLE32(out, directory + 28, kProperties);
    PutText(out, directory + 32, "PROP");
    PutLE32(out, size - 4, static_cast<std::uint32_t>(directory));
    return out;
}

TByteVector BuildRaf(const TRafLayout& layout) {
    std::size_t size = std::max<std::size_t>(layout.size, 108);
    if (!layout.preview.empty())
        size = std::max<std::size_t>(size, layout.previewOffset + layout.preview.size());
    TByteVector out(size, 0);
    PutText(out, 0, "FUJIFILMCCD-RAW ");
    PutText(out, 16, "0201FF383501");
    PutText(out, 28, "FinePix");
    PutBE32(out, 84, layout.previewOffset);
    PutBE32(out, 88, layout.previewLength);
    PutBE32(out, 100, layout.rawOffset);
    PutBE32(out, 104, layout.rawLength);
    std::copy(layout.preview.begin(), layout.preview.end(), out.begin() + layout.previewOffset);
    return out;
}

namespace {

constexpr std::uint32_t kPrdSize = 24;

std::uint64_t MrwRawSize(const TMrwLayout& layout) {
    const std::uint64_t pixels = static_cast<std::uint64_t>(layout.sensorHeight) * layout.sensorWidth;
    if (layout.dataBits != 12)
        return pixels * 2;
    const std::uint64_t triple = pixels * 3;
    std::uint64_t raw = triple / 2;
    if (triple % 2 != 0 && raw % 2 != 0)
        ++raw;
    return raw;
}

} // namespace

std::uint32_t MrwTiffPosition(const TMrwLayout& layout) {
    std::uint32_t pos = 16 + kPrdSize;
    for (const TMrwBlock& block : layout.blocksBeforeTiff)
        pos += 8 + static_cast<std::uint32_t>(block.data.size());
    return pos + 8;
}

TByteVector BuildMrw(const TMrwLayout& layout) {
    TByteVector out(16 + kPrdSize, 0);
    out[1] = 'M', out[2] = 'R', out[3] = 'M';
    out[9] = 'P', out[10] = 'R', out[11] = 'D';
    PutBE32(out, 12, kPrdSize);
    PutText(out, 16, "21810002");
    PutBE16(out, 24, layout.sensorHeight);
    PutBE16(out, 26, layout.sensorWidth);
    PutBE16(out, 28, layout.imageHeight);
    PutBE16(out, 30, layout.imageWidth);
    out[32] = layout.dataBits;
    out[33] = layout.dataBits == 12 ? 12 : 16;
    out[34] = 0x59;
    PutBE16(out, 38, 0x0001);

    auto appendBlock = [&out](const std::string& name, const TByteVector& data) {
        const std::size_t at = out.size();
        out.resize(at + 8 + data.size(), 0);
        PutText(out, at + 1, name.substr(0, 3));
        PutBE32(out, at + 4, static_cast<std::uint32_t>(data.size()));
        std::copy(data.begin(), data.end(), out.begin() + static_cast<std::ptrdiff_t>(at + 8));
    };
    for (const TMrwBlock& block : layout.blocksBeforeTiff)
        appendBlock(block.name, block.data);
    if (!layout.tiff.empty())
        appendBlock("TTW", layout.tiff);
    PutBE32(out, 4, static_cast<std::uint32_t>(out.size() - 8));

    if (layout.includeRaw)
        out.resize(out.size() + MrwRawSize(layout), 0);
    if (out.size() < layout.size)
        out.resize(layout.size, 0);
    return out;
}

} // namespace lumivore::testkit
