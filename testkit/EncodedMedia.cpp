#include "testkit/EncodedMedia.h"

#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <libheif/heif.h>
#include <webp/encode.h>
#include <webp/mux.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include "testkit/TempFiles.h"

namespace lumivore::testkit {

namespace {

void FillRgb(std::uint8_t* rows, int stride, int width, int height, TColour colour) {
    for (int y = 0; y < height; ++y) {
        std::uint8_t* p = rows + static_cast<std::ptrdiff_t>(y) * stride;
        for (int x = 0; x < width; ++x, p += 3) {
            p[0] = colour.R;
            p[1] = colour.G;
            p[2] = colour.B;
        }
    }
}

struct THeifDone {
    void operator()(heif_context* c) const { heif_context_free(c); }
    void operator()(heif_encoder* e) const { heif_encoder_release(e); }
    void operator()(heif_image* i) const { heif_image_release(i); }
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};

std::unique_ptr<heif_image, THeifDone> SolidHeifImage(int width, int height, TColour colour) {
    heif_image* image = nullptr;
    if (heif_image_create(width, height, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image).code !=
        heif_error_Ok)
        return nullptr;
    std::unique_ptr<heif_image, THeifDone> owned(image);
    if (heif_image_add_plane(image, heif_channel_interleaved, width, height, 8).code != heif_error_Ok)
        return nullptr;
    int stride = 0;
    std::uint8_t* rows = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    if (!rows)
        return nullptr;
    FillRgb(rows, stride, width, height, colour);
    return owned;
}

heif_error HeifWrite(heif_context*, const void* data, std::size_t size, void* user) {
    auto* out = static_cast<TByteVector*>(user);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out->insert(out->end(), bytes, bytes + size);
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

void QuietLibav() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        av_log_set_callback([](void*, int, const char*, std::va_list) {});
    });
}

void PutU32BE(TByteVector& bytes, std::uint64_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[at + static_cast<std::uint64_t>(i)] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

std::uint32_t GetU32BE(const TByteVector& bytes, std::uint64_t at) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value = (value << 8) | bytes[at + static_cast<std::uint64_t>(i)];
    return value;
}

} // namespace

TByteVector EncodeHeif(const THeifRecipe& recipe) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { heif_init(nullptr); });
    std::unique_ptr<heif_context, THeifDone> context(heif_context_alloc());
    if (!context)
        return {};
    heif_encoder* encoderRaw = nullptr;
    const heif_compression_format format =
        recipe.Codec == THeifCodec::Hevc ? heif_compression_HEVC : heif_compression_AV1;
    if (heif_context_get_encoder_for_format(context.get(), format, &encoderRaw).code != heif_error_Ok)
        return {};
    std::unique_ptr<heif_encoder, THeifDone> encoder(encoderRaw);
    heif_encoder_set_logging_level(encoder.get(), 0);
    heif_encoder_set_lossy_quality(encoder.get(), 60);
    if (recipe.Codec == THeifCodec::Hevc)
        heif_encoder_set_parameter(encoder.get(), "x265:log-level", "none");
    else
        heif_encoder_set_parameter(encoder.get(), "speed", "9");

    auto image = SolidHeifImage(recipe.Width, recipe.Height, recipe.Colour);
    if (!image)
        return {};
    heif_image_handle* handleRaw = nullptr;
    if (heif_context_encode_image(context.get(), image.get(), encoder.get(), nullptr, &handleRaw).code !=
        heif_error_Ok)
        return {};
    std::unique_ptr<heif_image_handle, THeifDone> handle(handleRaw);
    if (recipe.Thumbnail) {
        // The thumbnail is scaled from a picture of its own colour.
        auto source = SolidHeifImage(recipe.Width, recipe.Height, *recipe.Thumbnail);
        heif_image_handle* thumbRaw = nullptr;
        if (!source || heif_context_encode_thumbnail(context.get(), source.get(), handle.get(), encoder.get(),
                                                     nullptr, recipe.ThumbnailSide, &thumbRaw)
                               .code != heif_error_Ok)
            return {};
        heif_image_handle_release(thumbRaw);
    }
    TByteVector out;
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = HeifWrite;
    if (heif_context_write(context.get(), &writer, &out).code != heif_error_Ok)
        return {};
    return out;
}

TByteVector EncodeWebp(int width, int height, TColour colour, bool lossless) {
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    FillRgb(rgb.data(), width * 3, width, height, colour);
    std::uint8_t* encoded = nullptr;
    const std::size_t size = lossless ? WebPEncodeLosslessRGB(rgb.data(), width, height, width * 3, &encoded)
                                      : WebPEncodeRGB(rgb.data(), width, height, width * 3, 80.0f, &encoded);
    TByteVector out;
    if (size > 0 && encoded)
        out.assign(encoded, encoded + size);
    WebPFree(encoded);
    return out;
}

TByteVector EncodeAnimatedWebp(int width, int height, const std::vector<TColour>& frames) {
    WebPAnimEncoderOptions options;
    WebPConfig config;
    if (!WebPAnimEncoderOptionsInit(&options) || !WebPConfigInit(&config))
        return {};
    config.lossless = 1;
    std::unique_ptr<WebPAnimEncoder, void (*)(WebPAnimEncoder*)> encoder(
        WebPAnimEncoderNew(width, height, &options), WebPAnimEncoderDelete);
    if (!encoder)
        return {};
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    int timestamp = 0;
    for (const TColour& colour : frames) {
        FillRgb(rgb.data(), width * 3, width, height, colour);
        WebPPicture picture;
        if (!WebPPictureInit(&picture))
            return {};
        picture.use_argb = 1;
        picture.width = width;
        picture.height = height;
        const bool added = WebPPictureImportRGB(&picture, rgb.data(), width * 3) &&
                           WebPAnimEncoderAdd(encoder.get(), &picture, timestamp, &config);
        WebPPictureFree(&picture);
        if (!added)
            return {};
        timestamp += 100;
    }
    WebPData assembled;
    WebPDataInit(&assembled);
    TByteVector out;
    if (WebPAnimEncoderAdd(encoder.get(), nullptr, timestamp, nullptr) &&
        WebPAnimEncoderAssemble(encoder.get(), &assembled))
        out.assign(assembled.bytes, assembled.bytes + assembled.size);
    WebPDataClear(&assembled);
    return out;
}

namespace {

struct TAvDone {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
    void operator()(AVFrame* f) const { av_frame_free(&f); }
    void operator()(AVPacket* p) const { av_packet_free(&p); }
    void operator()(AVFormatContext* f) const {
        if (f->pb)
            avio_closep(&f->pb);
        avformat_free_context(f);
    }
};

// Sends one frame (or the end, when frame is null) and writes every packet that comes out.
bool EncodeAndWrite(AVCodecContext* codec, AVFrame* frame, AVFormatContext* output, AVStream* stream) {
    if (avcodec_send_frame(codec, frame) < 0)
        return false;
    std::unique_ptr<AVPacket, TAvDone> packet(av_packet_alloc());
    for (;;) {
        const int got = avcodec_receive_packet(codec, packet.get());
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF)
            return true;
        if (got < 0)
            return false;
        av_packet_rescale_ts(packet.get(), codec->time_base, stream->time_base);
        packet->stream_index = stream->index;
        if (av_interleaved_write_frame(output, packet.get()) < 0)
            return false;
    }
}

} // namespace

TByteVector EncodeVideo(const TVideoRecipe& recipe) {
    QuietLibav();
    TTempDir dir;
    static constexpr const char* kFormats[] = {"mp4", "mov", "3gp"};
    const char* format = kFormats[static_cast<int>(recipe.Container)];
    const std::string path = dir / (std::string("clip.") + format);

    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    if (!codec)
        return {};
    AVFormatContext* outputRaw = nullptr;
    if (avformat_alloc_output_context2(&outputRaw, nullptr, format, path.c_str()) < 0 ||
        !outputRaw)
        return {};
    std::unique_ptr<AVFormatContext, TAvDone> output(outputRaw);
    std::unique_ptr<AVCodecContext, TAvDone> encoder(avcodec_alloc_context3(codec));
    if (!encoder)
        return {};
    encoder->width = recipe.Width;
    encoder->height = recipe.Height;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = AVRational{1, 25};
    encoder->framerate = AVRational{25, 1};
    encoder->gop_size = recipe.Noise ? 1 : 12;
    encoder->bit_rate = 400000;
    if (recipe.Noise) {
        encoder->flags |= AV_CODEC_FLAG_QSCALE;
        encoder->global_quality = FF_QP2LAMBDA * 2;
    }
    if (output->oformat->flags & AVFMT_GLOBALHEADER)
        encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(encoder.get(), codec, nullptr) < 0)
        return {};
    AVStream* stream = avformat_new_stream(output.get(), nullptr);
    if (!stream || avcodec_parameters_from_context(stream->codecpar, encoder.get()) < 0)
        return {};
    stream->time_base = encoder->time_base;
    if (recipe.Rotation != 0) {
        auto* matrix = reinterpret_cast<std::int32_t*>(
            av_stream_new_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t)));
        if (!matrix)
            return {};
        // For 90 this writes the matrix a phone held upright writes (0 1 / -1 0): libavutil's
        // setter takes the angle the other way round from its getter.
        av_display_rotation_set(matrix, recipe.Rotation);
    }
    if (avio_open(&output->pb, path.c_str(), AVIO_FLAG_WRITE) < 0)
        return {};
    if (!recipe.Make.empty())
        av_dict_set(&output->metadata, "make", recipe.Make.c_str(), 0);
    if (!recipe.Model.empty())
        av_dict_set(&output->metadata, "model", recipe.Model.c_str(), 0);
    if (!recipe.CreationTime.empty())
        av_dict_set(&output->metadata, "creation_time", recipe.CreationTime.c_str(), 0);
    AVDictionary* options = nullptr;
    std::string flags = recipe.MovieFirst ? "+faststart" : "";
    if (recipe.Keys)
        flags += "+use_metadata_tags";
    if (!flags.empty())
        av_dict_set(&options, "movflags", flags.c_str(), 0);
    const int header = avformat_write_header(output.get(), &options);
    av_dict_free(&options);
    if (header < 0)
        return {};

    std::unique_ptr<AVFrame, TAvDone> frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = recipe.Width;
    frame->height = recipe.Height;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        return {};
    // Colours in limited-range BT.601, as the decoder's conversion expects them.
    struct TYuv {
        std::uint8_t Y, U, V;
    };
    const auto yuv = [](TColour c) {
        const double r = c.R, g = c.G, b = c.B;
        const auto clamp = [](double v) {
            return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v + 0.5);
        };
        return TYuv{clamp(16 + 0.257 * r + 0.504 * g + 0.098 * b),
                    clamp(128 - 0.148 * r - 0.291 * g + 0.439 * b),
                    clamp(128 + 0.439 * r - 0.368 * g - 0.071 * b)};
    };
    const TYuv right = yuv(recipe.Colour);
    const TYuv left = yuv(recipe.LeftHalf.value_or(recipe.Colour));
    std::uint32_t noise = recipe.NoiseSeed | 1;
    const auto next = [&noise] {
        noise ^= noise << 13;
        noise ^= noise >> 17;
        noise ^= noise << 5;
        return static_cast<std::uint8_t>(noise);
    };
    for (int i = 0; i < recipe.Frames; ++i) {
        if (av_frame_make_writable(frame.get()) < 0)
            return {};
        if (recipe.Noise) {
            for (int plane = 0; plane < 3; ++plane) {
                const int rows = plane == 0 ? recipe.Height : (recipe.Height + 1) / 2;
                const int columns = plane == 0 ? recipe.Width : (recipe.Width + 1) / 2;
                for (int row = 0; row < rows; ++row)
                    for (int x = 0; x < columns; ++x)
                        frame->data[plane][row * frame->linesize[plane] + x] = next();
            }
            frame->pts = i;
            frame->quality = encoder->global_quality;
            if (!EncodeAndWrite(encoder.get(), frame.get(), output.get(), stream))
                return {};
            continue;
        }
        for (int row = 0; row < recipe.Height; ++row)
            for (int x = 0; x < recipe.Width; ++x)
                frame->data[0][row * frame->linesize[0] + x] = x < recipe.Width / 2 ? left.Y : right.Y;
        for (int row = 0; row < (recipe.Height + 1) / 2; ++row)
            for (int x = 0; x < (recipe.Width + 1) / 2; ++x) {
                const TYuv& c = x < recipe.Width / 4 ? left : right;
                frame->data[1][row * frame->linesize[1] + x] = c.U;
                frame->data[2][row * frame->linesize[2] + x] = c.V;
            }
        frame->pts = i;
        if (!EncodeAndWrite(encoder.get(), frame.get(), output.get(), stream))
            return {};
    }
    if (!EncodeAndWrite(encoder.get(), nullptr, output.get(), stream) || av_write_trailer(output.get()) < 0)
        return {};
    avio_closep(&output->pb);
    return ReadFile(path);
}

std::optional<std::uint64_t> FindTopLevelBox(const TByteVector& file, const char (&type)[5]) {
    std::uint64_t at = 0;
    while (at + 8 <= file.size()) {
        std::uint64_t size = GetU32BE(file, at);
        if (std::memcmp(file.data() + at + 4, type, 4) == 0)
            return at;
        if (size == 1 && at + 16 <= file.size()) {
            size = (std::uint64_t{GetU32BE(file, at + 8)} << 32) | GetU32BE(file, at + 12);
        }
        if (size < 8)
            return std::nullopt;
        at += size;
    }
    return std::nullopt;
}

TByteVector WithMediaDataReaching(TByteVector file, std::uint64_t totalLength) {
    const std::optional<std::uint64_t> mdat = FindTopLevelBox(file, "mdat");
    if (!mdat || totalLength - *mdat > 0xFFFFFFFFu || GetU32BE(file, *mdat) == 1)
        return {};
    PutU32BE(file, *mdat, static_cast<std::uint32_t>(totalLength - *mdat));
    return file;
}

} // namespace lumivore::testkit
