// The media module: the decoders of HEIC/HEIF and AVIF stills (libheif), WebP (libwebp) and one
// frame of an MP4, QuickTime or 3GP video (libavformat, libavcodec, libswscale), loaded by the
// core on first use (preview/MediaModule.h). Nothing leaves the exported functions but their
// result: every failure, an exception of ours or of the standard library included, becomes a
// return of 0 with a reason.

#include "preview/MediaModule.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <libheif/heif.h>
#include <webp/decode.h>
#include <webp/demux.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/error.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace lumivore {
namespace {

// A picture that cannot be decoded; caught where the module hands back its result.
class TModuleError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

void CheckPictureSize(std::uint64_t width, std::uint64_t height, std::uint64_t maxPixels) {
    if (width == 0 || height == 0)
        throw TModuleError("empty picture");
    if (width > static_cast<std::uint64_t>(kMediaMaxSide) || height > static_cast<std::uint64_t>(kMediaMaxSide))
        throw TModuleError("picture too large");
    if (width * height > maxPixels)
        throw TModuleError("picture too large");
}

// The rows of the decoded picture, which the core provides.
struct TRows {
    std::uint8_t* First = nullptr;
    std::size_t Stride = 0;
    std::uint8_t* Line(int y) const { return First + static_cast<std::size_t>(y) * Stride; }
};

TRows AllocateRows(TMediaPicture& picture, int width, int height) {
    TRows rows;
    rows.First = picture.Allocate(picture.User, width, height, &rows.Stride);
    if (!rows.First || rows.Stride < static_cast<std::size_t>(width) * 3)
        throw TModuleError("out of memory");
    return rows;
}

// Copies rows of red-green-blue bytes into the picture's rows.
void CopyRgbRows(const std::uint8_t* from, std::size_t stride, int width, int height, const TRows& to) {
    const std::size_t rowBytes = static_cast<std::size_t>(width) * 3;
    for (int y = 0; y < height; ++y)
        std::memcpy(to.Line(y), from + static_cast<std::size_t>(y) * stride, rowBytes);
}

// Runs one decoder and turns whatever it throws into a reason.
template <typename TDecode> int Guarded(TMediaPicture* picture, TDecode decode) noexcept {
    if (!picture)
        return 0;
    const auto fail = [picture](const char* why) {
        std::snprintf(picture->Error, sizeof picture->Error, "%s", why ? why : "cannot be decoded");
        return 0;
    };
    picture->Error[0] = '\0';
    try {
        decode(*picture);
        return 1;
    } catch (const std::bad_alloc&) {
        return fail("out of memory");
    } catch (const std::exception& e) {
        return fail(e.what());
    } catch (...) {
        return fail(nullptr);
    }
}

// Reads from the core's source; a source that cannot deliver is a failed read.
bool SourceRead(const TMediaSource& source, std::uint64_t offset, std::uint8_t* out, std::size_t n) {
    return source.ReadAt && source.ReadAt(source.User, offset, out, n) != 0;
}

// ---------------------------------------------------------------------------------------------
// HEIF. libheif reads the file through callbacks over the source, so only the boxes and the
// coded data of the picture it decodes are read.

constexpr int kMaxHeifSide = 16384;

struct THeifInput {
    const TMediaSource* Source = nullptr;
    std::uint64_t Position = 0;
};

std::int64_t HeifPosition(void* user) {
    return static_cast<std::int64_t>(static_cast<THeifInput*>(user)->Position);
}

int HeifRead(void* data, std::size_t size, void* user) {
    auto* input = static_cast<THeifInput*>(user);
    if (!SourceRead(*input->Source, input->Position, static_cast<std::uint8_t*>(data), size))
        return 1;
    input->Position += size;
    return 0;
}

int HeifSeek(std::int64_t position, void* user) {
    auto* input = static_cast<THeifInput*>(user);
    if (position < 0 || static_cast<std::uint64_t>(position) > input->Source->Size)
        return 1;
    input->Position = static_cast<std::uint64_t>(position);
    return 0;
}

heif_reader_grow_status HeifWaitForSize(std::int64_t target, void* user) {
    auto* input = static_cast<THeifInput*>(user);
    return target >= 0 && static_cast<std::uint64_t>(target) <= input->Source->Size
               ? heif_reader_grow_status_size_reached
               : heif_reader_grow_status_size_beyond_eof;
}

struct THeifFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
    void operator()(heif_image* i) const { heif_image_release(i); }
};

using THeifContext = std::unique_ptr<heif_context, THeifFree>;
using THeifHandle = std::unique_ptr<heif_image_handle, THeifFree>;
using THeifImage = std::unique_ptr<heif_image, THeifFree>;

struct THeifOptionsFree {
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};

// The codec libraries behind libheif write complaints about damaged streams straight to the
// standard error stream, with no switch to turn them off. While a HEIF file is read and
// decoded, that stream points at /dev/null; the core runs on one thread, so no message of
// ours is lost.
class TQuietStderr {
public:
    TQuietStderr() {
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0)
            ::dup2(null, STDERR_FILENO);
        if (null >= 0)
            ::close(null);
    }
    ~TQuietStderr() {
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
    }
    TQuietStderr(const TQuietStderr&) = delete;
    TQuietStderr& operator=(const TQuietStderr&) = delete;

private:
    int saved_ = -1;
};

void HeifCheck(const heif_error& error) {
    if (error.code != heif_error_Ok)
        throw TModuleError(error.message ? error.message : "damaged HEIF file");
}

// The primary picture's first thumbnail item, or null.
THeifHandle HeifThumbnailOf(heif_image_handle* primary) {
    if (heif_image_handle_get_number_of_thumbnails(primary) < 1)
        return nullptr;
    heif_item_id id = 0;
    if (heif_image_handle_get_list_of_thumbnail_IDs(primary, &id, 1) != 1)
        return nullptr;
    heif_image_handle* thumb = nullptr;
    if (heif_image_handle_get_thumbnail(primary, id, &thumb).code != heif_error_Ok || !thumb)
        return nullptr;
    return THeifHandle(thumb);
}

void DecodeHeifInto(const TMediaSource& source, bool thumbnailWanted, std::uint64_t maxPixels,
                    TMediaPicture& picture) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { heif_init(nullptr); });
    const TQuietStderr quiet;

    THeifContext context(heif_context_alloc());
    if (!context)
        throw TModuleError("out of memory");
    // libheif checks this side limit against every picture's declared size, the canvas of a
    // tiled picture included, before it allocates; the pixel budget below is checked only against
    // the size the primary picture states, which a damaged grid may contradict by gigabytes.
    // 16384 holds the largest photos phones take (200 megapixels) and caps a canvas at 805 MB.
    heif_context_set_maximum_image_size_limit(context.get(), kMaxHeifSide);

    THeifInput input{&source, 0};
    heif_reader reader{};
    reader.reader_api_version = 1;
    reader.get_position = HeifPosition;
    reader.read = HeifRead;
    reader.seek = HeifSeek;
    reader.wait_for_file_size = HeifWaitForSize;
    HeifCheck(heif_context_read_from_reader(context.get(), &reader, &input, nullptr));

    heif_image_handle* primaryRaw = nullptr;
    HeifCheck(heif_context_get_primary_image_handle(context.get(), &primaryRaw));
    THeifHandle primary(primaryRaw);

    // The primary picture's size as it is shown, rotation applied.
    const int primaryWidth = heif_image_handle_get_width(primary.get());
    const int primaryHeight = heif_image_handle_get_height(primary.get());
    if (primaryWidth <= 0 || primaryHeight <= 0)
        throw TModuleError("empty picture");

    THeifHandle thumbnail;
    if (thumbnailWanted)
        thumbnail = HeifThumbnailOf(primary.get());
    heif_image_handle* chosen = thumbnail ? thumbnail.get() : primary.get();
    CheckPictureSize(static_cast<std::uint64_t>(std::max(0, heif_image_handle_get_width(chosen))),
                     static_cast<std::uint64_t>(std::max(0, heif_image_handle_get_height(chosen))),
                     maxPixels);

    // Pictures of more than 8 bits per sample (HDR photos) are shown at 8 bits.
    std::unique_ptr<heif_decoding_options, THeifOptionsFree> options(heif_decoding_options_alloc());
    if (!options)
        throw TModuleError("out of memory");
    options->convert_hdr_to_8bit = 1;
    heif_image* imageRaw = nullptr;
    HeifCheck(heif_decode_image(chosen, &imageRaw, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                                options.get()));
    THeifImage image(imageRaw);
    const int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    CheckPictureSize(static_cast<std::uint64_t>(std::max(0, width)),
                     static_cast<std::uint64_t>(std::max(0, height)), maxPixels);
    if (heif_image_get_bits_per_pixel_range(image.get(), heif_channel_interleaved) != 8)
        throw TModuleError("unsupported sample depth");
    int stride = 0;
    const std::uint8_t* rows = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    if (!rows || stride < width * 3)
        throw TModuleError("damaged HEIF file");
    CopyRgbRows(rows, static_cast<std::size_t>(stride), width, height, AllocateRows(picture, width, height));
    picture.Width = static_cast<std::uint32_t>(primaryWidth);
    picture.Height = static_cast<std::uint32_t>(primaryHeight);
}

// ---------------------------------------------------------------------------------------------
// WebP.

struct TAnimDecoderDone {
    void operator()(WebPAnimDecoder* d) const { WebPAnimDecoderDelete(d); }
};

// An animated WebP shows its first frame, composed on the animation's canvas as a viewer
// shows it before playing. Returns the canvas's RGBA rows (stride width * 4), owned by the
// decoder, which must outlive their use.
const std::uint8_t* FirstAnimationFrame(const std::uint8_t* data, std::size_t size, std::uint64_t maxPixels,
                                        std::unique_ptr<WebPAnimDecoder, TAnimDecoderDone>& decoder, int& width,
                                        int& height) {
    WebPAnimDecoderOptions options;
    if (!WebPAnimDecoderOptionsInit(&options))
        throw TModuleError("WebP decoder unavailable");
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    const WebPData whole{data, size};
    decoder.reset(WebPAnimDecoderNew(&whole, &options));
    WebPAnimInfo info{};
    if (!decoder || !WebPAnimDecoderGetInfo(decoder.get(), &info) || info.frame_count == 0)
        throw TModuleError("damaged WebP file");
    // The canvas is checked before the decoder allocates a frame of it.
    CheckPictureSize(info.canvas_width, info.canvas_height, maxPixels);
    std::uint8_t* frame = nullptr;
    int timestamp = 0;
    if (!WebPAnimDecoderGetNext(decoder.get(), &frame, &timestamp) || !frame)
        throw TModuleError("damaged WebP file");
    width = static_cast<int>(info.canvas_width);
    height = static_cast<int>(info.canvas_height);
    return frame;
}

void DecodeWebpInto(const std::uint8_t* data, std::size_t size, std::uint64_t maxPixels, TMediaPicture& picture) {
    WebPBitstreamFeatures features{};
    if (!data || size == 0 || WebPGetFeatures(data, size, &features) != VP8_STATUS_OK)
        throw TModuleError("damaged WebP file");
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> still;
    std::unique_ptr<WebPAnimDecoder, TAnimDecoderDone> animation;
    const std::uint8_t* rgba = nullptr;
    if (features.has_animation) {
        // The demuxer allocates the whole canvas as it is created: its size is checked first.
        CheckPictureSize(static_cast<std::uint64_t>(std::max(0, features.width)),
                         static_cast<std::uint64_t>(std::max(0, features.height)), maxPixels);
        rgba = FirstAnimationFrame(data, size, maxPixels, animation, width, height);
    } else {
        CheckPictureSize(static_cast<std::uint64_t>(std::max(0, features.width)),
                         static_cast<std::uint64_t>(std::max(0, features.height)), maxPixels);
        width = features.width;
        height = features.height;
        const std::size_t stillStride = static_cast<std::size_t>(width) * 4;
        still.resize(stillStride * static_cast<std::size_t>(height));
        if (!WebPDecodeRGBAInto(data, size, still.data(), still.size(), static_cast<int>(stillStride)))
            throw TModuleError("damaged WebP file");
        rgba = still.data();
    }
    const std::size_t stride = static_cast<std::size_t>(width) * 4;

    // Transparency is laid over white.
    const TRows rows = AllocateRows(picture, width, height);
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* in = rgba + static_cast<std::size_t>(y) * stride;
        std::uint8_t* out = rows.Line(y);
        for (int x = 0; x < width; ++x, in += 4, out += 3) {
            const std::uint32_t alpha = in[3];
            for (int c = 0; c < 3; ++c)
                out[c] = static_cast<std::uint8_t>((in[c] * alpha + 255 * (255 - alpha) + 127) / 255);
        }
    }
    picture.Width = static_cast<std::uint32_t>(width);
    picture.Height = static_cast<std::uint32_t>(height);
}

// ---------------------------------------------------------------------------------------------
// Video. The demuxer reads the file through a custom I/O context over the source; it follows
// the boxes and seeks to the samples it needs, so a file of gigabytes costs a few reads.

// The most bytes one frame may make the demuxer read: a key frame of a 4K clip is a few MB,
// and a damaged sample table that names a sample of gigabytes must not be read whole.
constexpr std::uint64_t kMaxVideoBytesRead = 128ull << 20;
// The most packets of the video track read before a picture must have come out: the first
// key frame, and the frames a decoder holds back before it gives out the first picture.
constexpr int kMaxVideoPackets = 300;
constexpr int kVideoIoBufferSize = 32768;

struct TVideoInput {
    const TMediaSource* Source = nullptr;
    std::uint64_t Position = 0;
    std::uint64_t BytesRead = 0;
};

int VideoRead(void* opaque, std::uint8_t* buffer, int size) {
    auto* input = static_cast<TVideoInput*>(opaque);
    const std::uint64_t total = input->Source->Size;
    if (size <= 0 || input->Position >= total)
        return AVERROR_EOF;
    const std::uint64_t n = std::min<std::uint64_t>(static_cast<std::uint64_t>(size), total - input->Position);
    if (input->BytesRead + n > kMaxVideoBytesRead)
        return AVERROR(EIO);
    if (!SourceRead(*input->Source, input->Position, buffer, static_cast<std::size_t>(n)))
        return AVERROR(EIO);
    input->Position += n;
    input->BytesRead += n;
    return static_cast<int>(n);
}

std::int64_t VideoSeek(void* opaque, std::int64_t offset, int whence) {
    auto* input = static_cast<TVideoInput*>(opaque);
    const std::uint64_t total = input->Source->Size;
    if (total > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
        return AVERROR(EINVAL);
    const auto size = static_cast<std::int64_t>(total);
    if (whence & AVSEEK_SIZE)
        return size;
    whence &= ~AVSEEK_FORCE;
    std::int64_t base = 0;
    if (whence == SEEK_CUR)
        base = static_cast<std::int64_t>(input->Position);
    else if (whence == SEEK_END)
        base = size;
    else if (whence != SEEK_SET)
        return AVERROR(EINVAL);
    if ((offset > 0 && base > size - offset) || base + offset < 0)
        return AVERROR(EINVAL);
    input->Position = static_cast<std::uint64_t>(base + offset);
    return base + offset;
}

// libav writes its warnings to stderr unless told otherwise.
void VideoLogNothing(void*, int, const char*, std::va_list) {}

void SilenceLibav() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        av_log_set_callback(VideoLogNothing);
    });
}

struct TAvioFree {
    void operator()(AVIOContext* io) const {
        av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct TFormatFree {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct TCodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct TPacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct TFrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct TScaleFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

// The clockwise quarter turns (0 to 3) a track's display matrix asks for: a phone held upright
// records its frames sideways and says so there.
int QuarterTurnsOf(const AVStream& stream) {
    std::size_t size = 0;
    const std::uint8_t* data = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    if (!data || size < 9 * sizeof(std::int32_t))
        return 0;
    std::int32_t matrix[9];
    std::memcpy(matrix, data, sizeof matrix);
    const double counterClockwise = av_display_rotation_get(matrix);
    if (!(counterClockwise >= -360.0 && counterClockwise <= 360.0)) // NaN for a degenerate matrix
        return 0;
    const long clockwise = std::lround(-counterClockwise / 90.0);
    return static_cast<int>(((clockwise % 4) + 4) % 4);
}

// The frame converted to rows of red, green and blue bytes, in a frame of its own.
std::unique_ptr<AVFrame, TFrameFree> FrameToRgb(const AVFrame& frame, std::uint64_t maxPixels) {
    CheckPictureSize(static_cast<std::uint64_t>(std::max(0, frame.width)),
                     static_cast<std::uint64_t>(std::max(0, frame.height)), maxPixels);
    const int width = frame.width;
    const int height = frame.height;
    std::unique_ptr<SwsContext, TScaleFree> scale(sws_getContext(width, height, static_cast<AVPixelFormat>(frame.format),
                                                                 width, height, AV_PIX_FMT_RGB24, SWS_BILINEAR,
                                                                 nullptr, nullptr, nullptr));
    if (!scale)
        throw TModuleError("unsupported pixel format");
    std::unique_ptr<AVFrame, TFrameFree> rgb(av_frame_alloc());
    if (!rgb)
        throw TModuleError("out of memory");
    rgb->format = AV_PIX_FMT_RGB24;
    rgb->width = width;
    rgb->height = height;
    // The converter may write whole vectors at the ends of rows: it writes into a padded frame,
    // and the rows are copied into the picture.
    if (av_frame_get_buffer(rgb.get(), 64) < 0)
        throw TModuleError("out of memory");
    if (sws_scale(scale.get(), frame.data, frame.linesize, 0, height, rgb->data, rgb->linesize) != height)
        throw TModuleError("frame conversion failed");
    return rgb;
}

// Copies the converted frame into the picture turned clockwise by quarter turns.
void PlaceTurned(const AVFrame& rgb, int quarterTurns, TMediaPicture& picture) {
    const int w = rgb.width, h = rgb.height;
    const bool sideways = quarterTurns == 1 || quarterTurns == 3;
    const int outWidth = sideways ? h : w;
    const int outHeight = sideways ? w : h;
    const TRows rows = AllocateRows(picture, outWidth, outHeight);
    const auto stride = static_cast<std::size_t>(rgb.linesize[0]);
    if (quarterTurns == 0) {
        CopyRgbRows(rgb.data[0], stride, w, h, rows);
    } else {
        for (int y = 0; y < h; ++y) {
            const std::uint8_t* in = rgb.data[0] + static_cast<std::size_t>(y) * stride;
            for (int x = 0; x < w; ++x, in += 3) {
                int tx = x, ty = y;
                if (quarterTurns == 1) {
                    tx = h - 1 - y;
                    ty = x;
                } else if (quarterTurns == 2) {
                    tx = w - 1 - x;
                    ty = h - 1 - y;
                } else {
                    tx = y;
                    ty = w - 1 - x;
                }
                std::uint8_t* o = rows.Line(ty) + static_cast<std::size_t>(tx) * 3;
                o[0] = in[0];
                o[1] = in[1];
                o[2] = in[2];
            }
        }
    }
    picture.Width = static_cast<std::uint32_t>(outWidth);
    picture.Height = static_cast<std::uint32_t>(outHeight);
}

void DecodeVideoFrameInto(const TMediaSource& source, std::uint64_t maxPixels, TMediaPicture& picture) {
    SilenceLibav();
    TVideoInput input{&source, 0, 0};

    auto* ioBuffer = static_cast<std::uint8_t*>(av_malloc(kVideoIoBufferSize));
    if (!ioBuffer)
        throw TModuleError("out of memory");
    AVIOContext* ioRaw = avio_alloc_context(ioBuffer, kVideoIoBufferSize, 0, &input, VideoRead, nullptr, VideoSeek);
    if (!ioRaw) {
        av_free(ioBuffer);
        throw TModuleError("out of memory");
    }
    std::unique_ptr<AVIOContext, TAvioFree> io(ioRaw);

    AVFormatContext* formatRaw = avformat_alloc_context();
    if (!formatRaw)
        throw TModuleError("out of memory");
    formatRaw->pb = io.get();
    formatRaw->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Only the ISO media demuxer: the found file is known to be one, and no other demuxer gets
    // to guess at device data.
    const AVInputFormat* isoMedia = av_find_input_format("mov");
    if (!isoMedia || avformat_open_input(&formatRaw, nullptr, isoMedia, nullptr) < 0)
        throw TModuleError("damaged video file"); // the context is freed on failure
    std::unique_ptr<AVFormatContext, TFormatFree> format(formatRaw);

    const AVCodec* codec = nullptr;
    const int streamIndex = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (streamIndex < 0 || !codec)
        throw TModuleError("no video track that can be decoded");
    for (unsigned i = 0; i < format->nb_streams; ++i)
        format->streams[i]->discard = static_cast<int>(i) == streamIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    const AVCodecParameters* parameters = format->streams[streamIndex]->codecpar;
    // The track's sample description states the size; some demuxers leave it to the decoder
    // (0 here), whose own limit below then holds it.
    if (parameters->width != 0 || parameters->height != 0)
        CheckPictureSize(static_cast<std::uint64_t>(std::max(0, parameters->width)),
                         static_cast<std::uint64_t>(std::max(0, parameters->height)), maxPixels);

    std::unique_ptr<AVCodecContext, TCodecFree> decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), parameters) < 0)
        throw TModuleError("out of memory");
    decoder->thread_count = 1;
    decoder->max_pixels = static_cast<std::int64_t>(std::min<std::uint64_t>(maxPixels, INT64_MAX));
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        throw TModuleError("video codec cannot be opened");

    std::unique_ptr<AVPacket, TPacketFree> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, TFrameFree> frame(av_frame_alloc());
    if (!packet || !frame)
        throw TModuleError("out of memory");

    const auto takeFrame = [&]() -> bool {
        const int got = avcodec_receive_frame(decoder.get(), frame.get());
        if (got == 0)
            return true;
        if (got != AVERROR(EAGAIN) && got != AVERROR_EOF)
            throw TModuleError("damaged video frame");
        return false;
    };

    bool keyFrameSeen = false;
    bool haveFrame = false;
    for (int packets = 0; !haveFrame && packets < kMaxVideoPackets;) {
        const int read = av_read_frame(format.get(), packet.get());
        if (read < 0)
            break;
        const bool ours = packet->stream_index == streamIndex;
        const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        if (ours && (keyFrameSeen || key)) {
            keyFrameSeen = true;
            ++packets;
            const int sent = avcodec_send_packet(decoder.get(), packet.get());
            av_packet_unref(packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN))
                throw TModuleError("damaged video frame");
            haveFrame = takeFrame();
        } else {
            av_packet_unref(packet.get());
        }
    }
    if (!haveFrame && keyFrameSeen) {
        // The decoder may hold the first picture back until it is told that no more come.
        avcodec_send_packet(decoder.get(), nullptr);
        haveFrame = takeFrame();
    }
    if (!haveFrame)
        throw TModuleError("no video frame could be decoded");

    // The picture is shown as the track says it is viewed.
    const auto rgb = FrameToRgb(*frame, maxPixels);
    PlaceTurned(*rgb, QuarterTurnsOf(*format->streams[streamIndex]), picture);
}

// ---------------------------------------------------------------------------------------------
// The exported table.

int ModuleDecodeHeif(const TMediaSource* source, std::int32_t which, std::uint64_t maxPixels, TMediaPicture* picture) {
    return Guarded(picture, [&](TMediaPicture& p) {
        if (!source)
            throw TModuleError("no source");
        DecodeHeifInto(*source, which == kMediaHeifThumbnail, maxPixels, p);
    });
}

int ModuleDecodeWebp(const std::uint8_t* data, std::size_t size, std::uint64_t maxPixels, TMediaPicture* picture) {
    return Guarded(picture, [&](TMediaPicture& p) { DecodeWebpInto(data, size, maxPixels, p); });
}

int ModuleDecodeVideoFrame(const TMediaSource* source, std::uint64_t maxPixels, TMediaPicture* picture) {
    return Guarded(picture, [&](TMediaPicture& p) {
        if (!source)
            throw TModuleError("no source");
        DecodeVideoFrameInto(*source, maxPixels, p);
    });
}

constexpr TMediaModuleTable kTable{
    kMediaModuleAbi, sizeof(TMediaModuleTable), &ModuleDecodeHeif, &ModuleDecodeWebp, &ModuleDecodeVideoFrame,
};

} // namespace
} // namespace lumivore

// The one symbol the module exports (kMediaModuleEntry).
extern "C" __attribute__((visibility("default"))) const lumivore::TMediaModuleTable* LumivoreMediaModule() {
    return &lumivore::kTable;
}
