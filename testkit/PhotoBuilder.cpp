// In-memory layouts of JPEG, GIF, PNG and BMP files for tests, fuzz seeds and sample images.
#include "testkit/ByteWriter.h"
#include "testkit/PhotoBuilder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <jpeglib.h>
#include <zlib.h>

namespace lumivore::testkit {

namespace {

void Put16(TByteVector& out, std::uint32_t v, bool bigEndian) { bigEndian ? PutBE16(out, v) : PutLE16(out, v); }
void Put32(TByteVector& out, std::uint32_t v, bool bigEndian) { bigEndian ? PutBE32(out, v) : PutLE32(out, v); }
std::uint8_t Luma(const std::uint8_t* rgb) { return static_cast<std::uint8_t>((rgb[0] * 77 + rgb[1] * 150 + rgb[2] * 29) >> 8); }

} // namespace

TRgbImage TRgbImage::Pattern(int width, int height, unsigned seed) {
    TRgbImage image;
    image.Width = width;
    image.Height = height;
    image.Pixels.resize(static_cast<std::size_t>(width) * height * 3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = image.Pixels.data() + (static_cast<std::size_t>(y) * width + x) * 3;
            const bool bar = ((x + static_cast<int>(seed) * 7) / 16) % 5 == 0;
            p[0] = static_cast<std::uint8_t>(width > 1 ? x * 255 / (width - 1) : 128);
            p[1] = static_cast<std::uint8_t>(height > 1 ? y * 255 / (height - 1) : 128);
            p[2] = bar ? 255 : static_cast<std::uint8_t>((x + y + seed * 37) & 0xFF);
        }
    return image;
}

// ---- JPEG ----------------------------------------------------------------------------------

TByteVector EncodeJpeg(const TRgbImage& image, int quality, int restartInterval) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long bufferSize = 0;
    jpeg_mem_dest(&cinfo, &buffer, &bufferSize);
    cinfo.image_width = static_cast<JDIMENSION>(image.Width);
    cinfo.image_height = static_cast<JDIMENSION>(image.Height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    cinfo.restart_interval = static_cast<unsigned>(restartInterval);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(image.Pixel(0, static_cast<int>(cinfo.next_scanline)));
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    TByteVector out(buffer, buffer + bufferSize);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return out;
}

TJpegBuilder::TJpegBuilder() {
    bytes_.push_back(0xFF);
    bytes_.push_back(0xD8);
}

TJpegBuilder& TJpegBuilder::Segment(std::uint8_t marker, std::span<const std::uint8_t> payload) {
    if (payload.size() > 65533)
        throw std::length_error("JPEG segment payload too large");
    bytes_.push_back(0xFF);
    bytes_.push_back(marker);
    PutBE16(bytes_, static_cast<std::uint32_t>(payload.size() + 2));
    Append(bytes_, payload);
    return *this;
}

TJpegBuilder& TJpegBuilder::Jfif() {
    static constexpr std::uint8_t kJfif[] = {'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
    return Segment(0xE0, kJfif);
}

TJpegBuilder& TJpegBuilder::Exif(std::span<const std::uint8_t> tiff) {
    TByteVector payload{'E', 'x', 'i', 'f', 0, 0};
    Append(payload, tiff);
    return Segment(0xE1, payload);
}

TJpegBuilder& TJpegBuilder::Bytes(std::span<const std::uint8_t> raw) {
    Append(bytes_, raw);
    return *this;
}

TJpegBuilder& TJpegBuilder::Picture(const TByteVector& encoded) {
    std::size_t pos = 2;
    while (pos + 4 <= encoded.size() && encoded[pos] == 0xFF) {
        const std::uint8_t marker = encoded[pos + 1];
        const std::size_t length = (static_cast<std::size_t>(encoded[pos + 2]) << 8) | encoded[pos + 3];
        if (marker == 0xDA) {
            // The scan runs to the end of the stream, EOI included.
            bytes_.insert(bytes_.end(), encoded.begin() + static_cast<std::ptrdiff_t>(pos), encoded.end());
            return *this;
        }
        const bool application = (marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE;
        if (!application)
            bytes_.insert(bytes_.end(), encoded.begin() + static_cast<std::ptrdiff_t>(pos),
                          encoded.begin() + static_cast<std::ptrdiff_t>(std::min(encoded.size(), pos + 2 + length)));
        pos += 2 + length;
    }
    throw std::invalid_argument("not an encoded JPEG with a scan");
}

TJpegBuilder& TJpegBuilder::FakeScan(std::size_t entropyBytes, bool withEoi) {
    static constexpr std::uint8_t kSos[] = {1, 1, 0, 0, 63, 0};
    Segment(0xDA, kSos);
    for (std::size_t i = 0; i < entropyBytes; ++i)
        bytes_.push_back(static_cast<std::uint8_t>((i * 131 + 17) % 0xFF)); // never 0xFF
    if (withEoi) {
        bytes_.push_back(0xFF);
        bytes_.push_back(0xD9);
    }
    return *this;
}

TByteVector MpfPayload(std::span<const TMpfImage> images, bool bigEndian) {
    TByteVector out{'M', 'P', 'F', 0};
    const std::size_t tiff = out.size();
    out.push_back(bigEndian ? 'M' : 'I');
    out.push_back(bigEndian ? 'M' : 'I');
    Put16(out, 42, bigEndian);
    Put32(out, 8, bigEndian);
    // Directory of three entries: version, number of images, image entries.
    const std::uint32_t entriesOffset = 8 + 2 + 3 * 12 + 4;
    Put16(out, 3, bigEndian);
    Put16(out, 0xB000, bigEndian), Put16(out, 7, bigEndian), Put32(out, 4, bigEndian);
    Append(out, "0100", 4);
    Put16(out, 0xB001, bigEndian), Put16(out, 4, bigEndian), Put32(out, 1, bigEndian);
    Put32(out, static_cast<std::uint32_t>(images.size()), bigEndian);
    Put16(out, 0xB002, bigEndian), Put16(out, 7, bigEndian);
    Put32(out, static_cast<std::uint32_t>(16 * images.size()), bigEndian);
    Put32(out, entriesOffset, bigEndian);
    Put32(out, 0, bigEndian); // no next directory
    if (out.size() - tiff != entriesOffset)
        throw std::logic_error("multi-picture layout");
    for (const TMpfImage& image : images) {
        Put32(out, image.Attributes, bigEndian);
        Put32(out, image.Size, bigEndian);
        Put32(out, image.Offset, bigEndian);
        Put32(out, 0, bigEndian); // no dependent images
    }
    return out;
}

TByteVector JpegWithPreview(const TByteVector& mainJpeg, const TByteVector& preview, bool bigEndian) {
    // The index goes after the leading APP0/APP1 segments, where cameras put it.
    std::size_t insertAt = 2;
    while (insertAt + 4 <= mainJpeg.size() && mainJpeg[insertAt] == 0xFF &&
           (mainJpeg[insertAt + 1] == 0xE0 || mainJpeg[insertAt + 1] == 0xE1))
        insertAt += 2 + ((static_cast<std::size_t>(mainJpeg[insertAt + 2]) << 8) | mainJpeg[insertAt + 3]);
    const std::size_t tiffPos = insertAt + 8;
    const std::size_t segmentSize = 4 + MpfPayload(std::vector<TMpfImage>(2), bigEndian).size();
    const std::size_t mainSize = mainJpeg.size() + segmentSize;
    const TMpfImage images[2] = {
        {0x20030000, static_cast<std::uint32_t>(mainSize), 0},
        {0x00010002, static_cast<std::uint32_t>(preview.size()), static_cast<std::uint32_t>(mainSize - tiffPos)},
    };
    TByteVector out(mainJpeg.begin(), mainJpeg.begin() + static_cast<std::ptrdiff_t>(insertAt));
    TJpegBuilder segment;
    segment.Segment(0xE2, MpfPayload(images, bigEndian));
    const TByteVector built = segment.Build();
    out.insert(out.end(), built.begin() + 2, built.end());
    out.insert(out.end(), mainJpeg.begin() + static_cast<std::ptrdiff_t>(insertAt), mainJpeg.end());
    Append(out, preview);
    return out;
}

// ---- GIF -----------------------------------------------------------------------------------

namespace {

// Colour table of 2^bits entries: a colour ramp.
void PutColourTable(TByteVector& out, int bits) {
    const int entries = 1 << bits;
    for (int i = 0; i < entries; ++i) {
        const int level = entries > 1 ? i * 255 / (entries - 1) : 0;
        out.push_back(static_cast<std::uint8_t>(level));
        out.push_back(static_cast<std::uint8_t>((level * 3) & 0xFF));
        out.push_back(static_cast<std::uint8_t>(255 - level));
    }
}

std::uint8_t TableFlags(int bits) { return bits > 0 ? static_cast<std::uint8_t>(0x80 | (bits - 1)) : 0; }

// LZW data that any decoder reads: one code per pixel, with a clear code often enough that the
// code width never grows.
TByteVector LzwEncode(const std::vector<std::uint8_t>& indices, int minCodeSize) {
    const std::uint32_t clear = 1u << minCodeSize, end = clear + 1;
    const int width = minCodeSize + 1;
    const std::size_t perClear = (1u << minCodeSize) - 3;
    TByteVector out;
    std::uint32_t acc = 0;
    int bits = 0;
    auto emit = [&](std::uint32_t code) {
        acc |= code << bits;
        bits += width;
        while (bits >= 8) {
            out.push_back(static_cast<std::uint8_t>(acc));
            acc >>= 8;
            bits -= 8;
        }
    };
    for (std::size_t i = 0; i < indices.size(); ++i) {
        if (i % perClear == 0)
            emit(clear);
        emit(indices[i]);
    }
    emit(end);
    if (bits > 0)
        out.push_back(static_cast<std::uint8_t>(acc));
    return out;
}

} // namespace

TGifBuilder::TGifBuilder(bool version89a, std::uint16_t width, std::uint16_t height, int globalTableBits)
    : globalBits_(globalTableBits) {
    Append(bytes_, version89a ? "GIF89a" : "GIF87a", 6);
    PutLE16(bytes_, width);
    PutLE16(bytes_, height);
    bytes_.push_back(static_cast<std::uint8_t>(TableFlags(globalTableBits) | (globalTableBits > 0 ? 0x70 : 0)));
    bytes_.push_back(0); // background colour
    bytes_.push_back(0); // aspect ratio
    if (globalTableBits > 0)
        PutColourTable(bytes_, globalTableBits);
}

TGifBuilder& TGifBuilder::Extension(std::uint8_t label, const std::vector<TByteVector>& subBlocks) {
    bytes_.push_back(0x21);
    bytes_.push_back(label);
    for (const TByteVector& block : subBlocks) {
        bytes_.push_back(static_cast<std::uint8_t>(block.size()));
        Append(bytes_, block);
    }
    bytes_.push_back(0);
    return *this;
}

TGifBuilder& TGifBuilder::GraphicControl(std::uint16_t delay) {
    TByteVector block{0x04};
    PutLE16(block, delay);
    block.push_back(0);
    return Extension(0xF9, {block});
}

TGifBuilder& TGifBuilder::Comment(const std::string& text) {
    std::vector<TByteVector> blocks;
    for (std::size_t at = 0; at < text.size(); at += 255) {
        const std::string part = text.substr(at, 255);
        blocks.emplace_back(part.begin(), part.end());
    }
    return Extension(0xFE, blocks);
}

TGifBuilder& TGifBuilder::Looping(std::uint16_t loops) {
    TByteVector id;
    Append(id, "NETSCAPE2.0", 11);
    TByteVector data{0x01};
    PutLE16(data, loops);
    return Extension(0xFF, {id, data});
}

TGifBuilder& TGifBuilder::Image(const TGifImage& image) {
    bytes_.push_back(0x2C);
    PutLE16(bytes_, image.Left);
    PutLE16(bytes_, image.Top);
    PutLE16(bytes_, image.Width);
    PutLE16(bytes_, image.Height);
    bytes_.push_back(TableFlags(image.LocalTableBits));
    if (image.LocalTableBits > 0)
        PutColourTable(bytes_, image.LocalTableBits);
    const int tableBits = image.LocalTableBits > 0 ? image.LocalTableBits : std::max(globalBits_, 1);
    const int minCodeSize = std::max(2, tableBits);
    std::vector<std::uint8_t> indices = image.Indices;
    const std::size_t pixels = static_cast<std::size_t>(image.Width) * image.Height;
    if (indices.size() != pixels) {
        indices.resize(pixels);
        for (std::size_t i = 0; i < pixels; ++i)
            indices[i] = static_cast<std::uint8_t>((i % image.Width + i / image.Width) % (1u << tableBits));
    }
    bytes_.push_back(static_cast<std::uint8_t>(minCodeSize));
    const TByteVector data = LzwEncode(indices, minCodeSize);
    for (std::size_t at = 0; at < data.size(); at += 255) {
        const std::size_t n = std::min<std::size_t>(255, data.size() - at);
        bytes_.push_back(static_cast<std::uint8_t>(n));
        bytes_.insert(bytes_.end(), data.begin() + static_cast<std::ptrdiff_t>(at),
                      data.begin() + static_cast<std::ptrdiff_t>(at + n));
    }
    bytes_.push_back(0);
    return *this;
}

TGifBuilder& TGifBuilder::RawImage(std::uint16_t width, std::uint16_t height, std::uint8_t flags,
                                   const std::vector<std::uint8_t>& blockSizes) {
    bytes_.push_back(0x2C);
    PutLE16(bytes_, 0);
    PutLE16(bytes_, 0);
    PutLE16(bytes_, width);
    PutLE16(bytes_, height);
    bytes_.push_back(flags);
    if (flags & 0x80)
        PutColourTable(bytes_, (flags & 7) + 1);
    bytes_.push_back(8); // minimum code size
    for (std::uint8_t n : blockSizes) {
        bytes_.push_back(n);
        for (std::uint8_t i = 0; i < n; ++i)
            bytes_.push_back(static_cast<std::uint8_t>(0x40 + i % 32));
    }
    bytes_.push_back(0);
    return *this;
}

TGifBuilder& TGifBuilder::Bytes(std::span<const std::uint8_t> raw) {
    Append(bytes_, raw);
    return *this;
}

TGifBuilder& TGifBuilder::Trailer() {
    bytes_.push_back(0x3B);
    return *this;
}

TByteVector EncodeGif(const TRgbImage& image) {
    TGifImage gifImage;
    gifImage.Width = static_cast<std::uint16_t>(image.Width);
    gifImage.Height = static_cast<std::uint16_t>(image.Height);
    gifImage.Indices.resize(static_cast<std::size_t>(image.Width) * image.Height);
    // Colours reduced to 3 bits of red, 3 of green and 2 of blue: index rrrgggbb.
    for (int y = 0; y < image.Height; ++y)
        for (int x = 0; x < image.Width; ++x) {
            const std::uint8_t* p = image.Pixel(x, y);
            gifImage.Indices[static_cast<std::size_t>(y) * image.Width + x] =
                static_cast<std::uint8_t>((p[0] & 0xE0) | ((p[1] >> 3) & 0x1C) | (p[2] >> 6));
        }
    TByteVector gif = TGifBuilder(true, gifImage.Width, gifImage.Height, 8).GraphicControl().Image(gifImage).Trailer().Build();
    // The global colour table (after the 13-byte header) as the matching 3-3-2 palette.
    for (unsigned i = 0; i < 256; ++i) {
        gif[13 + i * 3] = static_cast<std::uint8_t>((i >> 5) * 255 / 7);
        gif[13 + i * 3 + 1] = static_cast<std::uint8_t>(((i >> 2) & 7) * 255 / 7);
        gif[13 + i * 3 + 2] = static_cast<std::uint8_t>((i & 3) * 255 / 3);
    }
    return gif;
}

// ---- PNG -----------------------------------------------------------------------------------

TByteVector PngChunk(const char (&type)[5], std::span<const std::uint8_t> data) {
    TByteVector out;
    PutBE32(out, static_cast<std::uint32_t>(data.size()));
    Append(out, type, 4);
    Append(out, data);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    if (!data.empty())
        crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
    PutBE32(out, static_cast<std::uint32_t>(crc));
    return out;
}

TPngBuilder::TPngBuilder() {
    static constexpr std::uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    bytes_.assign(kSignature, kSignature + 8);
}

TPngBuilder& TPngBuilder::Chunk(const char (&type)[5], std::span<const std::uint8_t> data) {
    Append(bytes_, PngChunk(type, data));
    return *this;
}

TPngBuilder& TPngBuilder::Header(std::uint32_t length, const char (&type)[5]) {
    PutBE32(bytes_, length);
    Append(bytes_, type, 4);
    return *this;
}

TPngBuilder& TPngBuilder::Bytes(std::span<const std::uint8_t> raw) {
    Append(bytes_, raw);
    return *this;
}

TByteVector EncodePng(const TRgbImage& image, std::size_t idatChunk) {
    TByteVector header;
    PutBE32(header, static_cast<std::uint32_t>(image.Width));
    PutBE32(header, static_cast<std::uint32_t>(image.Height));
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8-bit RGB, deflate, no filter, no interlace
    TByteVector raw;
    const std::size_t rowBytes = static_cast<std::size_t>(image.Width) * 3;
    for (int y = 0; y < image.Height; ++y) {
        raw.push_back(0); // filter type none
        raw.insert(raw.end(), image.Pixel(0, y), image.Pixel(0, y) + rowBytes);
    }
    uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
    TByteVector packed(packedSize);
    if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK)
        throw std::runtime_error("zlib compression failed");
    packed.resize(packedSize);
    TPngBuilder png;
    png.Chunk("IHDR", header);
    const std::size_t step = idatChunk == 0 ? packed.size() : idatChunk;
    for (std::size_t at = 0; at < packed.size(); at += step)
        png.Chunk("IDAT", std::span<const std::uint8_t>(packed).subspan(at, std::min(step, packed.size() - at)));
    png.Chunk("IEND", {});
    return png.Build();
}

// ---- BMP -----------------------------------------------------------------------------------

TByteVector EncodeBmp(const TRgbImage& image, int bitCount, bool topDown) {
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 && bitCount != 32)
        throw std::invalid_argument("unsupported bit count");
    const std::uint32_t paletteEntries = bitCount <= 8 ? (1u << bitCount) : 0;
    const std::size_t stride = ((static_cast<std::size_t>(image.Width) * bitCount + 31) / 32) * 4;
    const std::uint32_t dataOffset = 14 + 40 + paletteEntries * 4;
    const std::uint32_t imageSize = static_cast<std::uint32_t>(stride * image.Height);
    TByteVector out;
    out.push_back('B');
    out.push_back('M');
    PutLE32(out, dataOffset + imageSize);
    PutLE32(out, 0);
    PutLE32(out, dataOffset);
    PutLE32(out, 40);
    PutLE32(out, static_cast<std::uint32_t>(image.Width));
    PutLE32(out, static_cast<std::uint32_t>(topDown ? -image.Height : image.Height));
    PutLE16(out, 1);
    PutLE16(out, static_cast<std::uint32_t>(bitCount));
    PutLE32(out, 0); // uncompressed
    PutLE32(out, imageSize);
    PutLE32(out, 2835);
    PutLE32(out, 2835);
    PutLE32(out, paletteEntries);
    PutLE32(out, 0);
    for (std::uint32_t i = 0; i < paletteEntries; ++i) {
        const auto level = static_cast<std::uint8_t>(paletteEntries > 1 ? i * 255 / (paletteEntries - 1) : 0);
        out.insert(out.end(), {level, level, level, 0});
    }
    for (int row = 0; row < image.Height; ++row) {
        const int y = topDown ? row : image.Height - 1 - row;
        TByteVector line(stride, 0);
        for (int x = 0; x < image.Width; ++x) {
            const std::uint8_t* p = image.Pixel(x, y);
            switch (bitCount) {
            case 1:
            case 4:
            case 8: {
                const unsigned index = Luma(p) >> (8 - bitCount);
                const std::size_t bit = static_cast<std::size_t>(x) * bitCount;
                line[bit / 8] |= static_cast<std::uint8_t>(index << (8 - bitCount - bit % 8));
                break;
            }
            case 16: {
                const unsigned v = ((p[0] >> 3) << 10) | ((p[1] >> 3) << 5) | (p[2] >> 3);
                line[x * 2] = static_cast<std::uint8_t>(v);
                line[x * 2 + 1] = static_cast<std::uint8_t>(v >> 8);
                break;
            }
            default: {
                const std::size_t at = static_cast<std::size_t>(x) * (bitCount / 8);
                line[at] = p[2];
                line[at + 1] = p[1];
                line[at + 2] = p[0];
                break;
            }
            }
        }
        Append(out, line);
    }
    return out;
}

} // namespace lumivore::testkit
