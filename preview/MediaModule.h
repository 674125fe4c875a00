#pragma once
// The boundary between the core and the media module (lumivore-media.so), which holds the
// decoders that need libheif, libwebp and the libav libraries. Those libraries (with the codecs
// and the TLS stack they pull in) take tens of milliseconds to load, so the programs do not
// link them: the core loads the module the first time a phone picture or video frame is
// decoded (preview/MediaDecoders.h), and a scan that decodes nothing never pays for them.
//
// Only plain structs, integers and C function pointers cross the boundary; no exception, no
// C++ object and no memory ownership crosses it. The module allocates nothing the core frees:
// it asks the core for the picture's rows through TMediaPicture::Allocate and writes into them.

#include <cstddef>
#include <cstdint>

namespace lumivore {

// Raised whenever a struct below or the meaning of a field changes: a module of another
// version is not used.
inline constexpr std::uint32_t kMediaModuleAbi = 1;
// The name of the module's file, and of the one symbol it exports.
inline constexpr const char* kMediaModuleFile = "lumivore-media.so";
inline constexpr const char* kMediaModuleEntry = "LumivoreMediaModule";
// The largest side of a picture the core can hold (TBitmap::kMaxSide).
inline constexpr std::int32_t kMediaMaxSide = 1 << 16;

// The bytes of one file, read through the core.
struct TMediaSource {
    void* User;
    std::uint64_t Size;
    // Copies n bytes from offset into out: 1 when all of them were read, else 0.
    int (*ReadAt)(void* user, std::uint64_t offset, std::uint8_t* out, std::size_t n);
};

// Where a decoded picture goes.
struct TMediaPicture {
    void* User;
    // Makes room for width x height pixels of red, green and blue bytes, rows top first; returns
    // the first row and stores the bytes from one row to the next in *stride, or null when
    // the room cannot be had. Called at most once per decode.
    std::uint8_t* (*Allocate)(void* user, std::int32_t width, std::int32_t height, std::size_t* stride);
    // Set by the decoder: the picture's own size (which the allocated rows may be smaller than,
    // when a HEIF file's thumbnail item was decoded).
    std::uint32_t Width;
    std::uint32_t Height;
    // Why the decode failed, ending with a zero byte.
    char Error[128];
};

// Which picture of a HEIF file a decode takes (THeifPicture).
inline constexpr std::int32_t kMediaHeifThumbnail = 0;
inline constexpr std::int32_t kMediaHeifPrimary = 1;

// The decoders; each returns 1 when the picture was decoded into picture, else 0 with
// picture->Error set. A picture of more than maxPixels pixels is refused before it is
// allocated.
struct TMediaModuleTable {
    std::uint32_t Abi;  // kMediaModuleAbi
    std::uint32_t Size; // sizeof(TMediaModuleTable)
    int (*DecodeHeif)(const TMediaSource* source, std::int32_t which, std::uint64_t maxPixels, TMediaPicture* picture);
    int (*DecodeWebp)(const std::uint8_t* data, std::size_t size, std::uint64_t maxPixels, TMediaPicture* picture);
    int (*DecodeVideoFrame)(const TMediaSource* source, std::uint64_t maxPixels, TMediaPicture* picture);
};

// The module's entry (named kMediaModuleEntry): its table, which lives as long as the module.
using TMediaModuleEntry = const TMediaModuleTable* (*)();

} // namespace lumivore
