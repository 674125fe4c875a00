// In-memory layouts of RIFF and RealMedia files for tests, fuzz seeds and sample images.
#include "testkit/ByteWriter.h"
#include "testkit/MediaBuilder.h"

#include <stdexcept>
#include <string>

namespace lumivore::testkit {

namespace {

void PutId(TByteVector& out, const char* id) { out.insert(out.end(), id, id + 4); }

TByteVector Filler(std::size_t n, std::uint8_t seed) {
    TByteVector out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(seed + i * 7);
    return out;
}

} // namespace

TByteVector RiffChunk(const char (&id)[5], std::span<const std::uint8_t> data) {
    TByteVector out;
    PutId(out, id);
    PutLE32(out, static_cast<std::uint32_t>(data.size()));
    Append(out, data);
    if (data.size() % 2 != 0)
        out.push_back(0);
    return out;
}

TByteVector RiffList(const char (&listType)[5], std::span<const TByteVector> chunks) {
    TByteVector body;
    PutId(body, listType);
    for (const TByteVector& chunk : chunks)
        Append(body, chunk);
    return RiffChunk("LIST", body);
}

TByteVector Riff(const char (&formType)[5], std::span<const TByteVector> chunks) {
    TByteVector out;
    PutId(out, "RIFF");
    PutLE32(out, 0);
    PutId(out, formType);
    for (const TByteVector& chunk : chunks)
        Append(out, chunk);
    return WithRiffSize(std::move(out), 0);
}

TByteVector WithRiffSize(TByteVector riff, std::uint32_t riffSize) {
    if (riff.size() < 12)
        throw std::invalid_argument("not a RIFF file");
    const std::uint32_t size = riffSize != 0 ? riffSize : static_cast<std::uint32_t>(riff.size() - 8);
    for (int i = 0; i < 4; ++i)
        riff[4 + i] = static_cast<std::uint8_t>(size >> (8 * i));
    return riff;
}

TByteVector MakeWave(std::uint32_t sampleRate, std::uint16_t channels, std::uint16_t bitsPerSample,
                     std::uint32_t frames) {
    const std::uint32_t blockAlign = channels * ((bitsPerSample + 7u) / 8u);
    TByteVector format;
    PutLE16(format, 1); // PCM
    PutLE16(format, channels);
    PutLE32(format, sampleRate);
    PutLE32(format, sampleRate * blockAlign);
    PutLE16(format, blockAlign);
    PutLE16(format, bitsPerSample);
    TByteVector samples(static_cast<std::size_t>(frames) * blockAlign);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<std::uint8_t>((i * 5) & 0xFF);
    const TByteVector chunks[] = {RiffChunk("fmt ", format), RiffChunk("data", samples)};
    return Riff("WAVE", chunks);
}

TByteVector MakeAvi(std::uint32_t width, std::uint32_t height, std::uint32_t frameCount, std::uint32_t frameBytes) {
    TByteVector mainHeader;
    for (std::uint32_t v : {33333u, frameBytes * 30u, 0u, 0x10u, frameCount, 0u, 1u, frameBytes, width, height, 0u, 0u,
                            0u, 0u})
        PutLE32(mainHeader, v);
    TByteVector streamHeader;
    PutId(streamHeader, "vids");
    PutId(streamHeader, "MJPG");
    for (std::uint32_t v : {0u, 0u, 0u, 1u, 30u, 0u, frameCount, frameBytes, 0xFFFFFFFFu, 0u})
        PutLE32(streamHeader, v);
    PutLE16(streamHeader, 0), PutLE16(streamHeader, 0), PutLE16(streamHeader, width), PutLE16(streamHeader, height);
    TByteVector streamFormat;
    for (std::uint32_t v : {40u, width, height})
        PutLE32(streamFormat, v);
    PutLE16(streamFormat, 1), PutLE16(streamFormat, 24);
    PutId(streamFormat, "MJPG");
    for (std::uint32_t v : {width * height * 3, 0u, 0u, 0u, 0u})
        PutLE32(streamFormat, v);
    const TByteVector streamChunks[] = {RiffChunk("strh", streamHeader), RiffChunk("strf", streamFormat)};
    const TByteVector headerChunks[] = {RiffChunk("avih", mainHeader), RiffList("strl", streamChunks)};
    std::vector<TByteVector> frames;
    TByteVector index;
    std::uint32_t offset = 4;
    for (std::uint32_t i = 0; i < frameCount; ++i) {
        frames.push_back(RiffChunk("00dc", Filler(frameBytes, static_cast<std::uint8_t>(i))));
        PutId(index, "00dc");
        PutLE32(index, 0x10);
        PutLE32(index, offset);
        PutLE32(index, frameBytes);
        offset += static_cast<std::uint32_t>(frames.back().size());
    }
    const TByteVector chunks[] = {RiffList("hdrl", headerChunks), RiffList("movi", frames), RiffChunk("idx1", index)};
    return Riff("AVI ", chunks);
}

TByteVector MakeCdr(char version, std::size_t payloadBytes) {
    TByteVector versionData;
    PutLE16(versionData, 0x0400 + static_cast<std::uint8_t>(version));
    const TByteVector pageChunks[] = {RiffChunk("page", Filler(payloadBytes, 3))};
    const TByteVector chunks[] = {RiffChunk("vrsn", versionData), RiffList("page", pageChunks)};
    const char form[5] = {'C', 'D', 'R', version, 0};
    return Riff(form, chunks);
}

TRealMediaBuilder& TRealMediaBuilder::Chunk(const char (&id)[5], std::span<const std::uint8_t> payload) {
    PutId(bytes_, id);
    PutBE32(bytes_, static_cast<std::uint32_t>(payload.size() + 8));
    Append(bytes_, payload);
    return *this;
}

TRealMediaBuilder& TRealMediaBuilder::SizedChunk(const char (&id)[5], std::uint32_t totalSize) {
    if (totalSize < 8)
        throw std::invalid_argument("a chunk holds at least its header");
    return Chunk(id, Filler(totalSize - 8, 0x21));
}

TRealMediaBuilder& TRealMediaBuilder::Header(const char (&id)[5], std::uint32_t statedSize) {
    PutId(bytes_, id);
    PutBE32(bytes_, statedSize);
    return *this;
}

TRealMediaBuilder& TRealMediaBuilder::Bytes(std::span<const std::uint8_t> raw) {
    Append(bytes_, raw);
    return *this;
}

TByteVector MakeRealMedia(std::uint32_t packetCount, std::uint32_t packetBytes) {
    TByteVector fileHeader; // object version, file version, number of headers
    PutBE16(fileHeader, 0);
    PutBE32(fileHeader, 0);
    PutBE32(fileHeader, 4);
    TByteVector properties; // 42 bytes of payload: a 50-byte PROP chunk
    PutBE16(properties, 0);
    for (std::uint32_t v : {64000u, 32000u, packetBytes, packetBytes, packetCount, 5000u, 0u, 0u, 0u})
        PutBE32(properties, v);
    PutBE16(properties, 1); // streams
    PutBE16(properties, 0); // flags
    TByteVector content;
    PutBE16(content, 0);
    for (const std::string& text : {std::string("Title"), std::string("Author"), std::string(""), std::string("")}) {
        PutBE16(content, static_cast<std::uint32_t>(text.size()));
        content.insert(content.end(), text.begin(), text.end());
    }
    TByteVector mediaProperties;
    PutBE16(mediaProperties, 0);
    PutBE16(mediaProperties, 0); // stream number
    for (std::uint32_t v : {64000u, 32000u, packetBytes, packetBytes, 0u, 0u, 5000u})
        PutBE32(mediaProperties, v);
    mediaProperties.push_back(5);
    mediaProperties.insert(mediaProperties.end(), {'a', 'u', 'd', 'i', 'o'});
    mediaProperties.push_back(0);
    PutBE32(mediaProperties, 0);
    TByteVector data;
    PutBE16(data, 0);
    PutBE32(data, packetCount);
    PutBE32(data, 0);
    for (std::uint32_t i = 0; i < packetCount; ++i) {
        PutBE16(data, 0);
        PutBE16(data, packetBytes);
        PutBE16(data, 0);
        PutBE32(data, i * 100);
        data.push_back(0);
        data.push_back(2);
        const TByteVector body = Filler(packetBytes > 12 ? packetBytes - 12 : 0, static_cast<std::uint8_t>(i));
        Append(data, body);
    }
    TByteVector index;
    PutBE16(index, 0);
    PutBE32(index, packetCount);
    PutBE16(index, 0);
    PutBE32(index, 0);
    for (std::uint32_t i = 0; i < packetCount; ++i) {
        PutBE16(index, 0);
        PutBE32(index, i * 100);
        PutBE32(index, i * packetBytes);
        PutBE32(index, i);
    }
    TRealMediaBuilder builder;
    builder.Chunk(".RMF", fileHeader).Chunk("PROP", properties).Chunk("CONT", content).Chunk("MDPR", mediaProperties);
    builder.Chunk("DATA", data).Chunk("INDX", index);
    const std::uint8_t end[8] = {};
    return builder.Bytes(end).Build();
}

} // namespace lumivore::testkit
