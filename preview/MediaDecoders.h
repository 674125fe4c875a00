#pragma once
// Decoders for the pictures of today's phones and cameras: HEIC/HEIF and AVIF stills, WebP,
// and one frame of an MP4, QuickTime or 3GP video. They follow the rules of the other
// decoders (preview/Decoders.h): a failure throws TDecodeError, a picture above the pixel
// budget is refused before it is allocated, nothing is printed and no other exception leaves.
//
// HEIF files and videos are read through a random-access source rather than from one block
// in memory: a video runs to gigabytes, and its decoder reads only the boxes and the samples
// it needs.
//
// The decoders themselves live in the media module (preview/MediaModule.h), loaded the first
// time one of them is called; when it cannot be loaded, every one of them throws TDecodeError
// and the rest of the program works as before.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

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

struct TMediaModuleTable;

// One loaded media module. The decoders above use Shared(); a module of its own path is for
// checking an installation (and the tests).
class TMediaModule {
public:
    // Loads the module from path, which must be absolute. Nothing is printed when it cannot be
    // loaded, lacks the entry, or is of another version: Loaded() is then false and Failure()
    // says why.
    explicit TMediaModule(const std::string& path);
    // A loaded module stays in the process: the codec libraries it holds are not made to be
    // unloaded.
    ~TMediaModule() = default;
    TMediaModule(const TMediaModule&) = delete;
    TMediaModule& operator=(const TMediaModule&) = delete;

    bool Loaded() const { return table_ != nullptr; }
    const std::string& Path() const { return path_; }
    const std::string& Failure() const { return failure_; }

    // The decoders, as the free functions above; TDecodeError when the module is not loaded.
    TDecodedPicture DecodeHeif(TByteSource& source, THeifPicture which, std::uint64_t maxPixels) const;
    TDecodedPicture DecodeWebp(TBytes data, std::uint64_t maxPixels) const;
    TDecodedPicture DecodeVideoFrame(TByteSource& source, std::uint64_t maxPixels) const;

    // The module the decoders use: the first of MediaModuleCandidates() that loads, loaded
    // when it is first asked for (a scan that decodes nothing never asks).
    static const TMediaModule& Shared();

private:
    TMediaModule() = default;

    std::string path_;
    std::string failure_;
    const TMediaModuleTable* table_ = nullptr;
};

// Where the media module is looked for, in order: beside the program (the build tree), then
// in the library folder of an installation, relative to the program's folder so that a moved
// or unpacked installation still finds it. Absolute paths only; empty when the program's own
// folder is unknown.
std::vector<std::string> MediaModuleCandidates();

} // namespace lumivore
