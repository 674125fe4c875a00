#include "preview/Decoders.h"

#include <algorithm>
#include <bit>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include <gif_lib.h>
#include <jerror.h>
#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

namespace lumivore {

namespace {

// Refuses a picture size that is empty, too large for a bitmap, or above the pixel budget.
void CheckSize(std::uint64_t width, std::uint64_t height, std::uint64_t maxPixels) {
    if (width == 0 || height == 0)
        throw TDecodeError("empty picture");
    if (width > static_cast<std::uint64_t>(TBitmap::kMaxSide) || height > static_cast<std::uint64_t>(TBitmap::kMaxSide))
        throw TDecodeError("picture too large");
    if (width * height > maxPixels)
        throw TDecodeError("picture too large");
}

std::uint8_t OverWhite(std::uint32_t colour, std::uint32_t alpha) {
    return static_cast<std::uint8_t>((colour * alpha + 255 * (255 - alpha) + 127) / 255);
}

// ---------------------------------------------------------------------------------------------
// JPEG. libjpeg reports errors by calling error_exit, which must not return; ours jumps back to
// the setjmp of the one phase function that is running. Those functions own no C++ objects, so
// the jump skips no destructor.

// Progressive streams with more scans than this are refused (each scan costs a pass).
constexpr int kMaxJpegScans = 500;

struct TJpegSession {
    jpeg_decompress_struct Info;
    jpeg_error_mgr Error;
    jpeg_source_mgr Source;
    jpeg_progress_mgr Progress;
    std::jmp_buf Jump;
    bool Created;
};

TJpegSession* SessionOf(j_common_ptr info) {
    return reinterpret_cast<TJpegSession*>(reinterpret_cast<char*>(info) - offsetof(TJpegSession, Info));
}

void JpegErrorExit(j_common_ptr info) { std::longjmp(SessionOf(info)->Jump, 1); }
void JpegOutputMessage(j_common_ptr) {}
void JpegInitSource(j_decompress_ptr) {}
void JpegTermSource(j_decompress_ptr) {}

// The whole stream is handed over at once, so a request for more means the data ended early.
boolean JpegFillInput(j_decompress_ptr info) {
    ERREXIT(info, JERR_INPUT_EOF);
    return FALSE;
}

void JpegSkipInput(j_decompress_ptr info, long count) {
    if (count <= 0)
        return;
    jpeg_source_mgr* src = info->src;
    if (static_cast<unsigned long>(count) > src->bytes_in_buffer)
        ERREXIT(info, JERR_INPUT_EOF);
    src->next_input_byte += count;
    src->bytes_in_buffer -= static_cast<std::size_t>(count);
}

void JpegProgress(j_common_ptr common) {
    if (common->is_decompressor) {
        auto info = reinterpret_cast<j_decompress_ptr>(common);
        if (info->input_scan_number > kMaxJpegScans)
            ERREXIT(common, JERR_NOT_COMPILED);
    }
}

// Reads the header and chooses the output scale and colour space.
bool JpegStart(TJpegSession* s, const std::uint8_t* data, std::size_t size, std::uint32_t coverWidth,
               std::uint32_t coverHeight, std::uint64_t maxPixels) {
    if (setjmp(s->Jump))
        return false;
    jpeg_create_decompress(&s->Info);
    s->Created = true;
    s->Info.mem->max_memory_to_use = 1024L * 1024L * 1024L;
    s->Source.init_source = JpegInitSource;
    s->Source.fill_input_buffer = JpegFillInput;
    s->Source.skip_input_data = JpegSkipInput;
    s->Source.resync_to_restart = jpeg_resync_to_restart;
    s->Source.term_source = JpegTermSource;
    s->Source.next_input_byte = data;
    s->Source.bytes_in_buffer = size;
    s->Info.src = &s->Source;
    s->Progress.progress_monitor = JpegProgress;
    s->Info.progress = &s->Progress;
    if (jpeg_read_header(&s->Info, TRUE) != JPEG_HEADER_OK)
        return false;
    const std::uint64_t w = s->Info.image_width, h = s->Info.image_height;
    if (w == 0 || h == 0 || w * h > maxPixels)
        return false;
    switch (s->Info.jpeg_color_space) {
    case JCS_GRAYSCALE:
    case JCS_YCbCr:
    case JCS_RGB:
        s->Info.out_color_space = JCS_RGB;
        break;
    case JCS_CMYK:
    case JCS_YCCK:
        s->Info.out_color_space = JCS_CMYK;
        break;
    default:
        return false;
    }
    unsigned scale = 8;
    if (coverWidth > 0 && coverHeight > 0 && (w > coverWidth || h > coverHeight)) {
        // The size of the picture shrunk to fit the cover box, keeping its proportions.
        std::uint64_t fitWidth = coverWidth, fitHeight = coverHeight;
        if (h * coverWidth > w * coverHeight)
            fitWidth = w * coverHeight / h;
        else
            fitHeight = h * coverWidth / w;
        for (unsigned n = 1; n < 8; ++n) {
            if ((w * n + 7) / 8 >= fitWidth && (h * n + 7) / 8 >= fitHeight) {
                scale = n;
                break;
            }
        }
    }
    s->Info.scale_num = scale;
    s->Info.scale_denom = 8;
    jpeg_calc_output_dimensions(&s->Info);
    return true;
}

// Decodes every scan line into rows of stride bytes at pixels; CMYK lines go through cmykLine.
bool JpegReadLines(TJpegSession* s, std::uint8_t* pixels, std::size_t stride, std::uint8_t* cmykLine) {
    if (setjmp(s->Jump))
        return false;
    jpeg_start_decompress(&s->Info);
    const bool cmyk = s->Info.out_color_space == JCS_CMYK;
    const bool inverted = s->Info.saw_Adobe_marker;
    const JDIMENSION width = s->Info.output_width;
    while (s->Info.output_scanline < s->Info.output_height) {
        std::uint8_t* row = pixels + static_cast<std::size_t>(s->Info.output_scanline) * stride;
        JSAMPROW target = cmyk ? cmykLine : row;
        if (jpeg_read_scanlines(&s->Info, &target, 1) != 1)
            return false;
        if (cmyk) {
            for (JDIMENSION x = 0; x < width; ++x) {
                unsigned c = cmykLine[4 * x], m = cmykLine[4 * x + 1], y = cmykLine[4 * x + 2], k = cmykLine[4 * x + 3];
                if (!inverted) {
                    c = 255 - c;
                    m = 255 - m;
                    y = 255 - y;
                    k = 255 - k;
                }
                row[3 * x] = static_cast<std::uint8_t>(c * k / 255);
                row[3 * x + 1] = static_cast<std::uint8_t>(m * k / 255);
                row[3 * x + 2] = static_cast<std::uint8_t>(y * k / 255);
            }
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// PNG. libpng's error callback jumps to the setjmp of the running phase function, which owns
// no C++ objects.

struct TPngSession {
    png_structp Png;
    png_infop Info;
    const std::uint8_t* Data;
    std::size_t Size;
    std::size_t Pos;
    png_uint_32 Width;
    png_uint_32 Height;
};

void PngRead(png_structp png, png_bytep out, png_size_t n) {
    auto* s = static_cast<TPngSession*>(png_get_io_ptr(png));
    if (n > s->Size - s->Pos)
        png_error(png, "truncated");
    std::memcpy(out, s->Data + s->Pos, n);
    s->Pos += n;
}

void PngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngWarning(png_structp, png_const_charp) {}

// Reads the header and sets the transformations to 8-bit RGBA.
bool PngStart(TPngSession* s, std::uint64_t maxPixels) {
    if (setjmp(png_jmpbuf(s->Png)))
        return false;
    png_set_read_fn(s->Png, s, PngRead);
    png_set_user_limits(s->Png, TBitmap::kMaxSide, TBitmap::kMaxSide);
    png_read_info(s->Png, s->Info);
    s->Width = png_get_image_width(s->Png, s->Info);
    s->Height = png_get_image_height(s->Png, s->Info);
    if (s->Width == 0 || s->Height == 0 || static_cast<std::uint64_t>(s->Width) * s->Height > maxPixels)
        return false;
    const int colourType = png_get_color_type(s->Png, s->Info);
    const int depth = png_get_bit_depth(s->Png, s->Info);
    if (colourType == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(s->Png);
    if (colourType == PNG_COLOR_TYPE_GRAY && depth < 8)
        png_set_expand_gray_1_2_4_to_8(s->Png);
    if (png_get_valid(s->Png, s->Info, PNG_INFO_tRNS))
        png_set_tRNS_to_alpha(s->Png);
    if (depth == 16)
        png_set_strip_16(s->Png);
    if (colourType == PNG_COLOR_TYPE_GRAY || colourType == PNG_COLOR_TYPE_GRAY_ALPHA)
        png_set_gray_to_rgb(s->Png);
    if (!(colourType & PNG_COLOR_MASK_ALPHA) && !png_get_valid(s->Png, s->Info, PNG_INFO_tRNS))
        png_set_filler(s->Png, 0xFF, PNG_FILLER_AFTER);
    png_set_interlace_handling(s->Png);
    png_read_update_info(s->Png, s->Info);
    return png_get_rowbytes(s->Png, s->Info) == static_cast<std::size_t>(s->Width) * 4;
}

bool PngReadRows(TPngSession* s, png_bytepp rows) {
    if (setjmp(png_jmpbuf(s->Png)))
        return false;
    png_read_image(s->Png, rows);
    return true;
}

// ---------------------------------------------------------------------------------------------
// GIF. giflib reports errors by its results; it never jumps.

struct TGifSource {
    TBytes Data;
    std::size_t Pos = 0;
};

int GifRead(GifFileType* gif, GifByteType* out, int n) {
    auto* s = static_cast<TGifSource*>(gif->UserData);
    if (n <= 0)
        return 0;
    const std::size_t k = std::min(static_cast<std::size_t>(n), s->Data.size() - s->Pos);
    if (k > 0)
        std::memcpy(out, s->Data.data() + s->Pos, k);
    s->Pos += k;
    return static_cast<int>(k);
}

struct TGifCloser {
    GifFileType* Gif;
    ~TGifCloser() {
        int error = 0;
        if (Gif)
            DGifCloseFile(Gif, &error);
    }
};

// ---------------------------------------------------------------------------------------------
// TIFF. libtiff reads through these callbacks from memory; its messages go nowhere.

struct TTiffSource {
    TBytes Data;
    std::uint64_t Pos = 0;
};

tmsize_t TiffRead(thandle_t handle, void* out, tmsize_t n) {
    auto* s = static_cast<TTiffSource*>(handle);
    if (n <= 0 || s->Pos >= s->Data.size())
        return 0;
    const std::uint64_t k = std::min<std::uint64_t>(static_cast<std::uint64_t>(n), s->Data.size() - s->Pos);
    std::memcpy(out, s->Data.data() + s->Pos, static_cast<std::size_t>(k));
    s->Pos += k;
    return static_cast<tmsize_t>(k);
}

tmsize_t TiffWrite(thandle_t, void*, tmsize_t) { return 0; }

toff_t TiffSeek(thandle_t handle, toff_t offset, int whence) {
    auto* s = static_cast<TTiffSource*>(handle);
    std::uint64_t base = 0;
    if (whence == SEEK_CUR)
        base = s->Pos;
    else if (whence == SEEK_END)
        base = s->Data.size();
    else if (whence != SEEK_SET)
        return static_cast<toff_t>(-1);
    if (offset > std::numeric_limits<std::uint64_t>::max() - base)
        return static_cast<toff_t>(-1);
    s->Pos = base + offset;
    return s->Pos;
}

int TiffClose(thandle_t) { return 0; }
toff_t TiffSize(thandle_t handle) { return static_cast<TTiffSource*>(handle)->Data.size(); }
int TiffMap(thandle_t, void**, toff_t*) { return 0; }
void TiffUnmap(thandle_t, void*, toff_t) {}
int TiffQuiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TTiffCloser {
    TIFF* Tiff;
    TIFFOpenOptions* Options;
    ~TTiffCloser() {
        if (Tiff)
            TIFFClose(Tiff);
        if (Options)
            TIFFOpenOptionsFree(Options);
    }
};

// Directories looked at for a picture that can be shown.
constexpr int kMaxTiffDirectories = 64;

} // namespace

TDecodedPicture DecodeJpeg(TBytes data, std::uint32_t coverWidth, std::uint32_t coverHeight, std::uint64_t maxPixels) {
    auto session = std::make_unique<TJpegSession>();
    TJpegSession* s = session.get();
    std::memset(static_cast<void*>(s), 0, sizeof(TJpegSession));
    s->Info.err = jpeg_std_error(&s->Error);
    s->Error.error_exit = JpegErrorExit;
    s->Error.output_message = JpegOutputMessage;
    struct TDestroy {
        TJpegSession* S;
        ~TDestroy() {
            if (S->Created)
                jpeg_destroy_decompress(&S->Info);
        }
    } destroy{s};

    if (data.empty() || !JpegStart(s, data.data(), data.size(), coverWidth, coverHeight, maxPixels))
        throw TDecodeError("JPEG header not readable");
    TDecodedPicture result;
    result.Width = s->Info.image_width;
    result.Height = s->Info.image_height;
    CheckSize(result.Width, result.Height, maxPixels);
    CheckSize(s->Info.output_width, s->Info.output_height, maxPixels);
    result.Bitmap.SetSize(static_cast<int>(s->Info.output_width), static_cast<int>(s->Info.output_height));
    std::vector<std::uint8_t> cmykLine(static_cast<std::size_t>(s->Info.output_width) * 4);
    if (!JpegReadLines(s, result.Bitmap.Data(), result.Bitmap.Stride(), cmykLine.data()))
        throw TDecodeError("JPEG data not decodable");
    return result;
}

TDecodedPicture DecodePng(TBytes data, std::uint64_t maxPixels) {
    TPngSession session{};
    session.Data = data.data();
    session.Size = data.size();
    session.Png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, PngError, PngWarning);
    if (!session.Png)
        throw TDecodeError("PNG decoder not available");
    session.Info = png_create_info_struct(session.Png);
    struct TDestroy {
        TPngSession* S;
        ~TDestroy() { png_destroy_read_struct(&S->Png, S->Info ? &S->Info : nullptr, nullptr); }
    } destroy{&session};
    if (!session.Info)
        throw TDecodeError("PNG decoder not available");
    if (data.size() < 8 || png_sig_cmp(data.data(), 0, 8) != 0)
        throw TDecodeError("not a PNG");
    if (!PngStart(&session, maxPixels))
        throw TDecodeError("PNG header not readable");
    CheckSize(session.Width, session.Height, maxPixels);

    const std::size_t rowBytes = static_cast<std::size_t>(session.Width) * 4;
    std::vector<std::uint8_t> rgba(rowBytes * session.Height);
    std::vector<png_bytep> rows(session.Height);
    for (png_uint_32 y = 0; y < session.Height; ++y)
        rows[y] = rgba.data() + y * rowBytes;
    if (!PngReadRows(&session, rows.data()))
        throw TDecodeError("PNG data not decodable");

    TDecodedPicture result;
    result.Width = session.Width;
    result.Height = session.Height;
    result.Bitmap.SetSize(static_cast<int>(session.Width), static_cast<int>(session.Height));
    for (png_uint_32 y = 0; y < session.Height; ++y) {
        const std::uint8_t* in = rows[y];
        std::uint8_t* out = result.Bitmap.Line(static_cast<int>(y));
        for (png_uint_32 x = 0; x < session.Width; ++x, in += 4, out += 3) {
            out[0] = OverWhite(in[0], in[3]);
            out[1] = OverWhite(in[1], in[3]);
            out[2] = OverWhite(in[2], in[3]);
        }
    }
    return result;
}

TDecodedPicture DecodeGif(TBytes data, std::uint64_t maxPixels) {
    TGifSource source{data};
    int error = 0;
    TGifCloser closer{DGifOpen(&source, GifRead, &error)};
    GifFileType* gif = closer.Gif;
    if (!gif)
        throw TDecodeError("not a GIF");

    int transparent = -1;
    // Each record takes at least one byte, so the data size bounds this loop.
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &type) == GIF_ERROR)
            throw TDecodeError("GIF damaged");
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif, &code, &block) == GIF_ERROR)
                throw TDecodeError("GIF damaged");
            while (block) {
                if (code == GRAPHICS_EXT_FUNC_CODE && block[0] >= 4)
                    transparent = (block[1] & 1) ? block[4] : -1;
                if (DGifGetExtensionNext(gif, &block) == GIF_ERROR)
                    throw TDecodeError("GIF damaged");
            }
            continue;
        }
        if (type != IMAGE_DESC_RECORD_TYPE)
            throw TDecodeError("GIF without a picture");
        break;
    }
    if (DGifGetImageDesc(gif) == GIF_ERROR)
        throw TDecodeError("GIF damaged");
    const GifImageDesc& frame = gif->Image;
    if (frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 || frame.Top < 0)
        throw TDecodeError("GIF frame empty");
    const ColorMapObject* colours = frame.ColorMap ? frame.ColorMap : gif->SColorMap;
    if (!colours || !colours->Colors || colours->ColorCount <= 0)
        throw TDecodeError("GIF without colours");

    // The picture is the logical screen; a frame that does not fit it gives its own size.
    std::uint64_t width = static_cast<std::uint64_t>(gif->SWidth > 0 ? gif->SWidth : 0);
    std::uint64_t height = static_cast<std::uint64_t>(gif->SHeight > 0 ? gif->SHeight : 0);
    const std::uint64_t right = static_cast<std::uint64_t>(frame.Left) + static_cast<std::uint64_t>(frame.Width);
    const std::uint64_t bottom = static_cast<std::uint64_t>(frame.Top) + static_cast<std::uint64_t>(frame.Height);
    int left = frame.Left, top = frame.Top;
    if (right > width || bottom > height) {
        width = static_cast<std::uint64_t>(frame.Width);
        height = static_cast<std::uint64_t>(frame.Height);
        left = top = 0;
    }
    CheckSize(width, height, maxPixels);
    CheckSize(static_cast<std::uint64_t>(frame.Width), static_cast<std::uint64_t>(frame.Height), maxPixels);

    TDecodedPicture result;
    result.Width = static_cast<std::uint32_t>(width);
    result.Height = static_cast<std::uint32_t>(height);
    result.Bitmap.SetSize(static_cast<int>(width), static_cast<int>(height));
    std::vector<GifPixelType> line(static_cast<std::size_t>(frame.Width));
    // Interlaced rows arrive in four passes.
    static constexpr int kPassStart[] = {0, 4, 2, 1};
    static constexpr int kPassStep[] = {8, 8, 4, 2};
    int pass = 0, row = 0;
    for (int i = 0; i < frame.Height; ++i) {
        if (DGifGetLine(gif, line.data(), frame.Width) == GIF_ERROR)
            throw TDecodeError("GIF data damaged");
        int y = i;
        if (frame.Interlace) {
            while (row >= frame.Height && pass < 3) {
                ++pass;
                row = kPassStart[pass];
            }
            y = row;
            row += kPassStep[pass];
        }
        if (y >= frame.Height)
            continue;
        for (int x = 0; x < frame.Width; ++x) {
            const int index = line[static_cast<std::size_t>(x)];
            if (index == transparent)
                continue;
            TRgb colour{};
            if (index < colours->ColorCount) {
                const GifColorType& c = colours->Colors[index];
                colour = {c.Red, c.Green, c.Blue};
            }
            result.Bitmap.SetPixel(left + x, top + y, colour);
        }
    }
    return result;
}

TDecodedPicture DecodeTiff(TBytes data, std::uint64_t maxPixels) {
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
    });
    TTiffSource source{data};
    TTiffCloser closer{nullptr, TIFFOpenOptionsAlloc()};
    if (!closer.Options)
        throw TDecodeError("TIFF decoder not available");
    TIFFOpenOptionsSetErrorHandlerExtR(closer.Options, TiffQuiet, nullptr);
    TIFFOpenOptionsSetWarningHandlerExtR(closer.Options, TiffQuiet, nullptr);
    const std::uint64_t budget = std::max<std::uint64_t>(maxPixels * 4, 64u << 20);
    TIFFOpenOptionsSetMaxSingleMemAlloc(closer.Options, static_cast<tmsize_t>(std::min<std::uint64_t>(budget, 1u << 30)));
    closer.Tiff = TIFFClientOpenExt("memory", "rm", &source, TiffRead, TiffWrite, TiffSeek, TiffClose, TiffSize,
                                    TiffMap, TiffUnmap, closer.Options);
    TIFF* tiff = closer.Tiff;
    if (!tiff)
        throw TDecodeError("not a TIFF");

    for (int directory = 0; directory < kMaxTiffDirectories; ++directory) {
        if (directory > 0 && !TIFFReadDirectory(tiff))
            break;
        char message[1024] = {};
        if (!TIFFRGBAImageOK(tiff, message))
            continue;
        std::uint32_t width = 0, height = 0;
        TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width);
        TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height);
        if (width == 0 || height == 0 || width > static_cast<std::uint32_t>(TBitmap::kMaxSide) ||
            height > static_cast<std::uint32_t>(TBitmap::kMaxSide) || static_cast<std::uint64_t>(width) * height > maxPixels)
            continue;
        TIFFRGBAImage image;
        if (!TIFFRGBAImageBegin(&image, tiff, 1, message))
            continue;
        image.req_orientation = ORIENTATION_TOPLEFT;
        std::vector<std::uint32_t> raster;
        bool ok = false;
        try {
            raster.resize(static_cast<std::size_t>(width) * height);
            ok = TIFFRGBAImageGet(&image, raster.data(), width, height) != 0;
        } catch (...) {
            TIFFRGBAImageEnd(&image);
            throw;
        }
        TIFFRGBAImageEnd(&image);
        if (!ok)
            continue;
        TDecodedPicture result;
        result.Width = width;
        result.Height = height;
        result.Bitmap.SetSize(static_cast<int>(width), static_cast<int>(height));
        // The raster holds colours already multiplied by their alpha.
        for (std::uint32_t y = 0; y < height; ++y) {
            const std::uint32_t* in = raster.data() + static_cast<std::size_t>(y) * width;
            std::uint8_t* out = result.Bitmap.Line(static_cast<int>(y));
            for (std::uint32_t x = 0; x < width; ++x, out += 3) {
                const std::uint32_t p = in[x];
                const std::uint32_t rest = 255 - TIFFGetA(p);
                out[0] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, TIFFGetR(p) + rest));
                out[1] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, TIFFGetG(p) + rest));
                out[2] = static_cast<std::uint8_t>(std::min<std::uint32_t>(255, TIFFGetB(p) + rest));
            }
        }
        return result;
    }
    throw TDecodeError("TIFF without a picture that can be shown");
}

TDecodedPicture DecodeBmp(TBytes data, std::uint64_t maxPixels) {
    const TByteReader r(data);
    if (!r.Matches(0, "BM"))
        throw TDecodeError("not a BMP");
    std::uint32_t pixelOffset = 0, headerSize = 0;
    if (!r.U32LE(10, pixelOffset) || !r.U32LE(14, headerSize))
        throw TDecodeError("BMP header truncated");

    std::int64_t width = 0, height = 0;
    std::uint16_t bitCount = 0;
    std::uint32_t compression = 0, coloursUsed = 0;
    std::uint64_t paletteStart = 14 + static_cast<std::uint64_t>(headerSize);
    unsigned paletteEntry = 4;
    std::uint32_t masks[3] = {0, 0, 0};
    if (headerSize == 12) {
        std::uint16_t w = 0, h = 0;
        if (!r.U16LE(18, w) || !r.U16LE(20, h) || !r.U16LE(24, bitCount))
            throw TDecodeError("BMP header truncated");
        width = w;
        height = h;
        paletteEntry = 3;
    } else if (headerSize >= 40 && headerSize <= 1024) {
        std::uint32_t w = 0, h = 0;
        if (!r.U32LE(18, w) || !r.U32LE(22, h) || !r.U16LE(28, bitCount) || !r.U32LE(30, compression) ||
            !r.U32LE(46, coloursUsed))
            throw TDecodeError("BMP header truncated");
        width = static_cast<std::int32_t>(w);
        height = static_cast<std::int32_t>(h);
        if (compression == 3 || compression == 6) {
            // Bit fields: inside a header of 52 bytes or more, else right after it.
            const std::uint64_t at = headerSize >= 52 ? 54 : 14 + static_cast<std::uint64_t>(headerSize);
            if (!r.U32LE(at, masks[0]) || !r.U32LE(at + 4, masks[1]) || !r.U32LE(at + 8, masks[2]))
                throw TDecodeError("BMP header truncated");
            if (headerSize < 52)
                paletteStart += compression == 6 ? 16 : 12;
        }
    } else {
        throw TDecodeError("BMP header unknown");
    }

    const bool topDown = height < 0;
    if (topDown)
        height = -height;
    if (width <= 0 || height <= 0)
        throw TDecodeError("BMP empty");
    CheckSize(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(height), maxPixels);

    switch (bitCount) {
    case 1:
    case 4:
    case 8:
    case 24:
        if (compression != 0)
            throw TDecodeError("BMP compression not supported");
        break;
    case 16:
    case 32:
        if (compression != 0 && compression != 3 && compression != 6)
            throw TDecodeError("BMP compression not supported");
        break;
    default:
        throw TDecodeError("BMP bit count not supported");
    }
    if ((bitCount == 16 || bitCount == 32) && compression == 0) {
        if (bitCount == 16) {
            masks[0] = 0x7C00;
            masks[1] = 0x03E0;
            masks[2] = 0x001F;
        } else {
            masks[0] = 0x00FF0000;
            masks[1] = 0x0000FF00;
            masks[2] = 0x000000FF;
        }
    }

    std::vector<TRgb> palette;
    if (bitCount <= 8) {
        const std::uint32_t most = 1u << bitCount;
        const std::uint32_t count = (coloursUsed == 0 || coloursUsed > most) ? most : coloursUsed;
        // Short palettes are common in small files: take the entries that are present.
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint64_t at = paletteStart + static_cast<std::uint64_t>(i) * paletteEntry;
            if (!r.Has(at, paletteEntry) || (pixelOffset >= paletteStart && at + paletteEntry > pixelOffset))
                break;
            palette.push_back({data[at + 2], data[at + 1], data[at]});
        }
        if (palette.empty())
            throw TDecodeError("BMP palette missing");
    }

    // An offset that points into the headers is taken to mean "right after the palette".
    std::uint64_t pixelsAt = pixelOffset;
    if (pixelsAt < paletteStart)
        pixelsAt = paletteStart + static_cast<std::uint64_t>(palette.size()) * paletteEntry;
    const std::uint64_t stride = (static_cast<std::uint64_t>(width) * bitCount + 31) / 32 * 4;
    const std::uint64_t pixelBytes = stride * static_cast<std::uint64_t>(height);
    if (!r.Has(pixelsAt, pixelBytes))
        throw TDecodeError("BMP pixels truncated");

    // Per-channel shifts and scales of the bit fields.
    int shift[3] = {0, 0, 0};
    std::uint32_t top[3] = {0, 0, 0};
    for (int c = 0; c < 3; ++c) {
        if (masks[c] != 0) {
            shift[c] = std::countr_zero(masks[c]);
            top[c] = masks[c] >> shift[c];
        }
    }
    auto field = [&](std::uint32_t value, int c) -> std::uint8_t {
        if (top[c] == 0)
            return 0;
        const std::uint64_t v = (value & masks[c]) >> shift[c];
        return static_cast<std::uint8_t>(std::min<std::uint64_t>(255, (v * 255 + top[c] / 2) / top[c]));
    };

    TDecodedPicture result;
    result.Width = static_cast<std::uint32_t>(width);
    result.Height = static_cast<std::uint32_t>(height);
    result.Bitmap.SetSize(static_cast<int>(width), static_cast<int>(height));
    const int w = static_cast<int>(width), h = static_cast<int>(height);
    for (int row = 0; row < h; ++row) {
        const std::uint8_t* in = data.data() + pixelsAt + static_cast<std::size_t>(row) * stride;
        std::uint8_t* out = result.Bitmap.Line(topDown ? row : h - 1 - row);
        for (int x = 0; x < w; ++x, out += 3) {
            TRgb colour{};
            switch (bitCount) {
            case 1:
            case 4:
            case 8: {
                const int perByte = 8 / bitCount;
                const std::uint8_t byte = in[x / perByte];
                const int bitShift = 8 - bitCount * (x % perByte + 1);
                const std::size_t index = (byte >> bitShift) & ((1u << bitCount) - 1);
                if (index < palette.size())
                    colour = palette[index];
                break;
            }
            case 16: {
                const std::uint32_t v = in[2 * x] | (in[2 * x + 1] << 8);
                colour = {field(v, 0), field(v, 1), field(v, 2)};
                break;
            }
            case 24:
                colour = {in[3 * x + 2], in[3 * x + 1], in[3 * x]};
                break;
            case 32: {
                const std::uint32_t v = static_cast<std::uint32_t>(in[4 * x]) | (static_cast<std::uint32_t>(in[4 * x + 1]) << 8) |
                                        (static_cast<std::uint32_t>(in[4 * x + 2]) << 16) |
                                        (static_cast<std::uint32_t>(in[4 * x + 3]) << 24);
                colour = {field(v, 0), field(v, 1), field(v, 2)};
                break;
            }
            }
            out[0] = colour.R;
            out[1] = colour.G;
            out[2] = colour.B;
        }
    }
    return result;
}

} // namespace lumivore
