#pragma once
// Decoders for the pictures of today's phones and cameras: HEIC/HEIF and AVIF stills, WebP,
// and one frame of an MP4, QuickTime or 3GP video. They follow the rules of the other
// decoders (preview/Decoders.h): a failure throws TDecodeError, a picture above the pixel
// budget is refused before it is allocated, nothing is printed and no other exception leaves.
//
// HEIF files and videos are read through a random-access source rather than from one block
// in memory: a video runs to gigabytes, and its decoder reads only the boxes and the samples
// it needs.

#include <cstddef>
#include <cstdint>

#include "formats/ByteOrder.h"
#include "preview/Decoders.h"

namespace lumivore {

class TDeviceReader;

// The bytes of one file, readable at any offset below Size().
class TByteSource {
public:
    virtual ~TByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Copies n bytes from offset into out; false when any of them cannot be read.
    virtual bool ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t n) = 0;
};

// A file held in memory.
class TMemorySource final : public TByteSource {
public:
    explicit TMemorySource(TBytes data) : data_(data) {}
    std::uint64_t Size() const override { return data_.size(); }
    bool ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t n) override;

private:
    TBytes data_;
};

// A found file on the examined device.
class TDeviceSource final : public TByteSource {
public:
    explicit TDeviceSource(TDeviceReader& reader) : reader_(reader) {}
    std::uint64_t Size() const override;
    bool ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t n) override;

private:
    TDeviceReader& reader_;
};

// Which picture of a HEIF file to decode.
enum class THeifPicture : std::uint8_t {
    Thumbnail, // the primary picture's own thumbnail item when it has one, else the primary picture
    Primary    // the primary picture
};

// A HEIC/HEIF or AVIF still, with the rotation and mirroring the file asks for applied.
// Width and Height of the result are those of the primary picture, even when its thumbnail
// item was decoded.
TDecodedPicture DecodeHeif(TByteSource& source, THeifPicture which = THeifPicture::Primary,
                           std::uint64_t maxPixels = kMaxDecodePixels);

// A WebP picture (lossy, lossless, with or without alpha; the first frame of an animation);
// transparency is laid over white.
TDecodedPicture DecodeWebp(TBytes data, std::uint64_t maxPixels = kMaxDecodePixels);

// The first key frame of the first video track of an MP4, QuickTime or 3GP file, turned as the
// track's display matrix says it is viewed (a clip filmed upright on a phone).
TDecodedPicture DecodeVideoFrame(TByteSource& source, std::uint64_t maxPixels = kMaxDecodePixels);

} // namespace lumivore
