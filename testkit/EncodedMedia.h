#pragma once
// Real pictures and videos of today's phones, encoded in code with the same libraries that
// decode them: HEIC and AVIF (libheif), WebP (libwebp), and MP4 or QuickTime clips with MPEG-4
// frames (libavcodec, muxed by libavformat). Each picture is one solid colour, so that a test
// can tell which picture it got back.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumivore::testkit {

using TByteVector = std::vector<std::uint8_t>;

struct TColour {
    std::uint8_t R = 0, G = 0, B = 0;
};

enum class THeifCodec : std::uint8_t { Hevc, Av1 };

struct THeifRecipe {
    THeifCodec Codec = THeifCodec::Hevc;
    int Width = 64;
    int Height = 48;
    TColour Colour{200, 40, 40};
    // A thumbnail item of this colour (different from the primary's, so that a test sees which
    // was decoded), its longer side ThumbnailSide.
    std::optional<TColour> Thumbnail;
    int ThumbnailSide = 32;
};

// A HEIC (HEVC) or AVIF (AV1) file; empty when the encoder is missing or fails.
TByteVector EncodeHeif(const THeifRecipe& recipe);

// A lossy WebP file (or lossless); empty on failure.
TByteVector EncodeWebp(int width, int height, TColour colour, bool lossless = false);
// An animated WebP: one frame of each colour, 100 ms apart, lossless; empty on failure.
TByteVector EncodeAnimatedWebp(int width, int height, const std::vector<TColour>& frames);

enum class TVideoContainer : std::uint8_t { Mp4, Mov, ThreeGp };

struct TVideoRecipe {
    TVideoContainer Container = TVideoContainer::Mp4;
    int Width = 64;
    int Height = 48;
    int Frames = 5;
    TColour Colour{40, 160, 220};
    // The movie box before the media data (as a streaming upload writes it), else after it
    // (as a camera writes it while it records).
    bool MovieFirst = true;
    // Degrees clockwise (0, 90, 180, 270) the track's display matrix asks a player to turn the
    // frames, as a phone held upright records them.
    int Rotation = 0;
    // The left half of every frame in this colour, when set, so a test can see a turn.
    std::optional<TColour> LeftHalf;
    // Frames of seeded noise instead of a colour, each a key frame at high quality, so that a
    // clip of a few dozen frames runs past a scan block as a camera's clip does.
    bool Noise = false;
    std::uint32_t NoiseSeed = 1;
    // The camera's make and model and the moment of recording ("2024-05-17T10:20:30Z"), as
    // the muxer writes them: user data in a MOV, metadata keys in an MP4 when Keys is set.
    std::string Make, Model, CreationTime;
    bool Keys = false;
};

// A clip of MPEG-4 Part 2 frames, the first a key frame; empty on failure.
TByteVector EncodeVideo(const TVideoRecipe& recipe);

// The offset of the first top-level box of the given type, or nothing.
std::optional<std::uint64_t> FindTopLevelBox(const TByteVector& file, const char (&type)[5]);

// The clip's media data box restated to reach totalLength bytes from the file's start, for a
// sparse file of gigabytes: write the returned bytes at the file's start and leave the rest a
// hole. The media data must be the last box and totalLength must fit its 32-bit size.
TByteVector WithMediaDataReaching(TByteVector file, std::uint64_t totalLength);

} // namespace lumivore::testkit
