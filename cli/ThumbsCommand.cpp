// lumivore-cli thumbs: thumbnails of the found files as PNG files and a contact sheet.
#include "cli/ThumbsCommand.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <png.h>
#include <unistd.h>

#include "cli/CliCommon.h"
#include "cli/ScanSupport.h"
#include "engine/ScanEngine.h"
#include "preview/Bitmap.h"
#include "preview/Thumbnails.h"

namespace lumivore::cli {

namespace {

struct TOptions {
    std::string Source;
    std::string To;
    std::string Sheet;
    std::optional<std::int64_t> StartMb, EndMb;
    bool Quiet = false;
};

// ---- PNG output ------------------------------------------------------------------------------

void PngWriteError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void PngWriteWarning(png_structp, png_const_charp) {}

// Writes the rows through libpng; owns no C++ objects, so libpng's error jump skips nothing.
bool WritePngRows(std::FILE* file, png_bytepp rows, png_uint_32 width, png_uint_32 height) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngWriteError, PngWriteWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

bool WritePng(const TBitmap& bitmap, const std::string& path) {
    if (bitmap.Empty())
        return false;
    std::vector<png_bytep> rows(static_cast<std::size_t>(bitmap.Height()));
    for (int y = 0; y < bitmap.Height(); ++y)
        rows[static_cast<std::size_t>(y)] = const_cast<png_bytep>(bitmap.Line(y));
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool written = WritePngRows(file, rows.data(), static_cast<png_uint_32>(bitmap.Width()),
                                      static_cast<png_uint_32>(bitmap.Height()));
    return std::fclose(file) == 0 && written;
}

// ---- Contact sheet ---------------------------------------------------------------------------

// A 5 x 7 font of the characters type names use: each glyph is 7 rows of 5 bits, high bit left.
struct TGlyph {
    char Ch;
    std::uint8_t Rows[7];
};

constexpr TGlyph kFont[] = {
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}}, {'D', {0x1E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1E}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}}, {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}}, {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}}, {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}}, {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}}, {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}}, {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}}, {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}}, {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}}, {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
};

constexpr int kGlyphWidth = 5, kGlyphHeight = 7, kGlyphAdvance = 6;
constexpr int kSheetColumns = 10;
constexpr int kCellGap = 6;
constexpr int kLabelHeight = kGlyphHeight + 4;
constexpr TRgb kInk{40, 40, 40};

// Draws text in the tiny font; characters it lacks are left as spaces.
void DrawLabel(TBitmap& target, int x, int y, const std::string& text) {
    for (char ch : text) {
        for (const TGlyph& g : kFont) {
            if (g.Ch != ch)
                continue;
            for (int row = 0; row < kGlyphHeight; ++row)
                for (int col = 0; col < kGlyphWidth; ++col)
                    if (g.Rows[row] & (0x10 >> col))
                        target.SetPixel(x + col, y + row, kInk);
        }
        x += kGlyphAdvance;
    }
}

struct TSheetEntry {
    std::unique_ptr<TBitmap> Thumb;
    std::string Label;
};

TBitmap ContactSheet(const std::vector<TSheetEntry>& entries) {
    const int count = static_cast<int>(entries.size());
    const int columns = std::min(count, kSheetColumns);
    const int rows = (count + kSheetColumns - 1) / kSheetColumns;
    const int cellWidth = kThumbSize + kCellGap, cellHeight = kThumbSize + kLabelHeight + kCellGap;
    TBitmap sheet(kCellGap + columns * cellWidth, kCellGap + rows * cellHeight);
    for (int i = 0; i < count; ++i) {
        const int x = kCellGap + (i % kSheetColumns) * cellWidth;
        const int y = kCellGap + (i / kSheetColumns) * cellHeight;
        sheet.Draw(*entries[static_cast<std::size_t>(i)].Thumb, x, y);
        DrawLabel(sheet, x + 1, y + kThumbSize + 3, entries[static_cast<std::size_t>(i)].Label);
    }
    return sheet;
}

// "f" and the start sector with ten digits: the name sorts in the order of the card.
std::string ThumbName(std::int64_t startSector) {
    char name[40];
    std::snprintf(name, sizeof name, "f%010lld.png", static_cast<long long>(startSector));
    return name;
}

int Run(const TOptions& opt) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::create_directories(opt.To, error);
    if (!fs::is_directory(opt.To, error)) {
        std::fprintf(stderr, "lumivore-cli: cannot use %s as the destination directory\n", opt.To.c_str());
        return kExitFailed;
    }
    auto engine = std::make_unique<TScanEngine>();
    if (!OpenSource(*engine, opt.Source))
        return kExitFailed;
    TScanRange range;
    if (!ResolveRange(*engine, opt.StartMb, opt.EndMb, range))
        return kExitFailed;
    const TScanOutcome outcome = RunScan(*engine, range, opt.Quiet);

    const std::size_t total = engine->FoundFiles.size();
    const bool live = !opt.Quiet && ::isatty(STDERR_FILENO) != 0;
    auto report = [&](std::size_t done, bool last) {
        // A live counter on a terminal; plain lines every 100 files otherwise.
        if (opt.Quiet)
            return;
        if (live)
            std::fprintf(stderr, "\rthumbnails %zu / %zu%s", done, total, last ? "\n" : "");
        else if (last || done % 100 == 0)
            std::fprintf(stderr, "thumbnails %zu / %zu\n", done, total);
    };
    std::vector<TSheetEntry> sheet;
    std::size_t written = 0, done = 0;
    for (TFoundFile& file : engine->FoundFiles) {
        if (InterruptRequested())
            break;
        if (file.Nested()) {
            report(++done, false); // part of another found file: its thumbnail is that file's
            continue;
        }
        // A picture that ran past the scan's block has no length yet and no embedded
        // thumbnail to fall back on: read it back once, which measures it again.
        if (file.Length == kUnknownLength && file.ThumbKind == kThumbNone &&
            (file.Ext == "GIF" || file.Ext == "PNG" || file.Ext == "TIF" || file.Ext == "DNG")) {
            TMemoryStream whole;
            engine->LoadFoundFile(file, whole);
        }
        std::unique_ptr<TBitmap> thumb = engine->MakeThumbnail(file);
        report(++done, false);
        if (!thumb)
            continue;
        const std::string path = (fs::path(opt.To) / ThumbName(file.StartSector)).string();
        if (!WritePng(*thumb, path)) {
            report(done, true);
            std::fprintf(stderr, "lumivore-cli: cannot write %s\n", path.c_str());
            return kExitFailed;
        }
        ++written;
        std::printf("%s  %s\n", path.c_str(), file.Ext.c_str());
        if (!opt.Sheet.empty())
            sheet.push_back({std::move(thumb), file.Ext});
    }
    report(done, true);
    if (!opt.Sheet.empty() && !sheet.empty() && !WritePng(ContactSheet(sheet), opt.Sheet)) {
        std::fprintf(stderr, "lumivore-cli: cannot write %s\n", opt.Sheet.c_str());
        return kExitFailed;
    }
    std::printf("%zu thumbnail(s) of %zu found file(s)\n", written, engine->FoundFiles.size());
    if (outcome.Stopped || InterruptRequested())
        std::printf("stopped before the end\n");
    return kExitOk;
}

} // namespace

TCommand AddThumbsCommand(CLI::App& app) {
    auto opt = std::make_shared<TOptions>();
    CLI::App* sub = app.add_subcommand("thumbs", "Scan, then write the 95 x 95 thumbnails of the found files as PNG");
    sub->add_option("SOURCE", opt->Source, "Device path, disk image file, or device code")->required();
    sub->add_option("--to", opt->To, "Directory for the thumbnails (created when missing)")->required();
    sub->add_option("--sheet", opt->Sheet, "Also write a contact sheet of all thumbnails to this PNG file");
    AddRangeOptions(*sub, opt->StartMb, opt->EndMb);
    sub->add_flag("--quiet", opt->Quiet, "No progress on stderr");
    return {sub, [opt] { return Run(*opt); }};
}

} // namespace lumivore::cli
