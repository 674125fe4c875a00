#pragma once
// Builders that lay out RIFF containers (WAV, AVI, CorelDraw) and RealMedia files in memory.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace lumivore::testkit {

using TByteVector = std::vector<std::uint8_t>;

// A RIFF chunk: four-character id, little-endian data size, data, a pad byte when odd.
TByteVector RiffChunk(const char (&id)[5], std::span<const std::uint8_t> data);
// A LIST chunk of the given list type holding the given chunks.
TByteVector RiffList(const char (&listType)[5], std::span<const TByteVector> chunks);
// "RIFF", the size of everything after the first eight bytes, the form type, the chunks.
TByteVector Riff(const char (&formType)[5], std::span<const TByteVector> chunks);
// The same file with its RIFF size field replaced (for size limit cases).
TByteVector WithRiffSize(TByteVector riff, std::uint32_t riffSize);

// PCM audio of a rising tone: fmt and data chunks.
TByteVector MakeWave(std::uint32_t sampleRate, std::uint16_t channels, std::uint16_t bitsPerSample,
                     std::uint32_t frames);
// An AVI with a main header, one video stream header and format, frameCount frames of
// frameBytes bytes each in the movi list, and an idx1 index.
TByteVector MakeAvi(std::uint32_t width, std::uint32_t height, std::uint32_t frameCount, std::uint32_t frameBytes);
// A CorelDraw drawing: form type "CDR" + version character, a vrsn chunk and a page list.
TByteVector MakeCdr(char version = 'A', std::size_t payloadBytes = 256);

// Lays out a RealMedia file chunk by chunk; each chunk's size counts its 8-byte header.
class TRealMediaBuilder {
public:
    // A chunk with the given id and payload.
    TRealMediaBuilder& Chunk(const char (&id)[5], std::span<const std::uint8_t> payload);
    // A chunk of exactly totalSize bytes (at least 8) with a made-up payload.
    TRealMediaBuilder& SizedChunk(const char (&id)[5], std::uint32_t totalSize);
    // A chunk header stating the given size, with nothing after it.
    TRealMediaBuilder& Header(const char (&id)[5], std::uint32_t statedSize);
    TRealMediaBuilder& Bytes(std::span<const std::uint8_t> raw);
    std::size_t Size() const { return bytes_.size(); }
    TByteVector Build() const { return bytes_; }

private:
    TByteVector bytes_;
};

// A plausible RealMedia file: .RMF (18 bytes), PROP (50), CONT, MDPR, DATA with packetCount
// packets of packetBytes bytes, INDX; followed by eight zero bytes that end the chunk walk.
TByteVector MakeRealMedia(std::uint32_t packetCount = 4, std::uint32_t packetBytes = 200);

} // namespace lumivore::testkit
