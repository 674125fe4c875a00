// lumivore-cli thumbs: thumbnails of the found files as PNG files and a contact sheet.
#include "cli/ThumbsCommand.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
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
#include "engine/FileTypes.h"
#include "engine/Recovery.h"
#include "engine/ScanEngine.h"
#include "preview/Bitmap.h"
#include "preview/MediaDecoders.h"
#include "preview/MediaModule.h"
#include "preview/Thumbnails.h"
#include "support/OutputDir.h"
#include "support/SafeText.h"

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

// PNG bytes gathered in memory, so that the output component writes each file whole.
struct TPngBuffer {
    std::uint8_t* Data = nullptr;
    std::size_t Size = 0, Capacity = 0;
    bool Failed = false;
};

void PngAppend(png_structp png, png_bytep data, png_size_t length) {
    auto* buffer = static_cast<TPngBuffer*>(png_get_io_ptr(png));
    if (buffer->Capacity - buffer->Size < length) {
        std::size_t capacity = std::max<std::size_t>(buffer->Capacity * 2, 64 * 1024);
        while (capacity - buffer->Size < length)
            capacity *= 2;
        auto* grown = static_cast<std::uint8_t*>(std::realloc(buffer->Data, capacity));
        if (grown == nullptr) {
            buffer->Failed = true;
            png_error(png, "out of memory");
        }
        buffer->Data = grown;
        buffer->Capacity = capacity;
    }
    std::memcpy(buffer->Data + buffer->Size, data, length);
    buffer->Size += length;
}

void PngFlush(png_structp) {}

// Encodes the rows through libpng into buffer; owns no C++ objects, so libpng's error jump
// skips nothing.
bool EncodePngRows(TPngBuffer* buffer, png_bytepp rows, png_uint_32 width, png_uint_32 height) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, PngWriteError, PngWriteWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_set_write_fn(png, buffer, PngAppend, PngFlush);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return !buffer->Failed;
}

// Writes the bitmap as a PNG file under the first free name nameFor gives; the name written,
// or empty with error set.
std::string WritePng(const TBitmap& bitmap, TOutputDir& dir, const std::function<std::string(int)>& nameFor,
                     bool durable, std::string& error) {
    if (bitmap.Empty()) {
        error = "nothing to write";
        return {};
    }
    std::vector<png_bytep> rows(static_cast<std::size_t>(bitmap.Height()));
    for (int y = 0; y < bitmap.Height(); ++y)
        rows[static_cast<std::size_t>(y)] = const_cast<png_bytep>(bitmap.Line(y));
    TPngBuffer buffer;
    const bool encoded = EncodePngRows(&buffer, rows.data(), static_cast<png_uint_32>(bitmap.Width()),
                                       static_cast<png_uint_32>(bitmap.Height()));
    TWriteResult w;
    if (encoded)
        w = dir.Write(nameFor, buffer.Data, buffer.Size, std::nullopt, durable);
    else
        w.Error = "the picture could not be encoded";
    std::free(buffer.Data);
    error = w.Error;
    return w.Outcome == TWriteOutcome::Written ? w.Name : std::string();
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
// Rows on one page of the contact sheet: a page of 1,000 pictures is 1,016 x 11,206 pixels
// (34 MB while it is drawn), well within the largest bitmap (65,536 pixels a side, about 5,850
// pictures in one column of rows), and a card of any size is shown in pages.
constexpr int kSheetRows = 100;
constexpr std::size_t kSheetPagePictures = std::size_t{kSheetColumns} * kSheetRows;
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

// "f" and the start sector with ten digits: the name sorts in the order of the card; suffix
// n > 0 adds "-n" when that name is taken.
std::string ThumbName(std::int64_t startSector, int suffix) {
    char name[40];
    std::snprintf(name, sizeof name, "f%010lld", static_cast<long long>(startSector));
    return std::string(name) + (suffix > 0 ? "-" + std::to_string(suffix) : std::string()) + ".png";
}

// The name with "-n" before its extension.
std::string NumberedName(const std::string& name, int n) {
    const std::size_t dot = name.rfind('.');
    const std::size_t at = dot == std::string::npos || dot == 0 ? name.size() : dot;
    return name.substr(0, at) + "-" + std::to_string(n) + name.substr(at);
}

// The sheet's own name, or with "-n" before its extension when that name is taken.
std::string SheetName(const std::string& name, int suffix) {
    return suffix == 0 ? name : NumberedName(name, suffix);
}

// The contact sheet, drawn a page at a time: one file of the given name while the pictures fit
// on one page, else "name-1.png", "name-2.png", ... The pictures of a page are held until it is
// full; the first page is held, drawn, until a second is begun, which decides its name.
class TContactSheet {
public:
    TContactSheet(TOutputDir& dir, std::string name) : dir_(dir), name_(std::move(name)) {}

    // Adds a picture; false with error set when a full page could not be written.
    bool Add(std::unique_ptr<TBitmap> thumb, const std::string& label, std::string& error) {
        if (pictures_.size() == kSheetPagePictures && !EndPage(error))
            return false;
        pictures_.push_back({std::move(thumb), label});
        return true;
    }

    // Writes what is still held; false with error set when it could not be written.
    bool Finish(std::string& error) {
        if (!pictures_.empty() && !EndPage(error))
            return false;
        if (pages_ == 1 && !Write(first_, 0, error))
            return false;
        first_ = TBitmap();
        return true;
    }

    // Names of the pages written, in order.
    const std::vector<std::string>& Written() const { return written_; }
    bool Paged() const { return pages_ > 1; }

private:
    bool EndPage(std::string& error) {
        TBitmap page;
        try {
            page = ContactSheet(pictures_);
        } catch (const std::exception& e) {
            error = std::string("the sheet cannot be drawn: ") + e.what();
            return false;
        }
        pictures_.clear();
        ++pages_;
        if (pages_ == 1) {
            first_ = std::move(page);
            return true;
        }
        if (pages_ == 2) {
            if (!Write(first_, 1, error))
                return false;
            first_ = TBitmap();
        }
        return Write(page, pages_, error);
    }

    // Writes a page as name-n.png, or under the sheet's own name for page 0.
    bool Write(const TBitmap& page, int n, std::string& error) {
        const std::string base = n > 0 ? NumberedName(name_, n) : name_;
        const std::string name =
            WritePng(page, dir_, [&](int suffix) { return SheetName(base, suffix); }, true, error);
        if (name.empty())
            return false;
        written_.push_back(name);
        return true;
    }

    TOutputDir& dir_;
    std::string name_;
    std::vector<TSheetEntry> pictures_;
    TBitmap first_;
    int pages_ = 0;
    std::vector<std::string> written_;
};

int Run(const TOptions& opt) {
    namespace fs = std::filesystem;
    InstallInterruptHandler();
    auto engine = std::make_unique<TScanEngine>();
    if (!OpenSource(*engine, opt.Source))
        return kExitFailed;
    // Both destinations are checked against the examined device before the scan, so that a
    // long scan is not wasted and nothing is ever written onto the card.
    const TExaminedSource examined = ExaminedSourceOf(*engine);
    std::string message;
    TOutputDir sheetDir;
    std::string sheetName;
    if (!opt.Sheet.empty()) {
        const fs::path sheetPath(opt.Sheet);
        sheetName = sheetPath.filename().string();
        const std::string sheetFolder = sheetPath.has_parent_path() ? sheetPath.parent_path().string() : ".";
        if (!sheetDir.Open(sheetFolder, examined, message) || !sheetDir.CheckTarget(sheetName, message)) {
            std::fprintf(stderr, "lumivore-cli: %s\n", message.c_str());
            return kExitFailed;
        }
    }
    TOutputDir thumbsDir;
    if (!thumbsDir.Open(opt.To, examined, message)) {
        std::fprintf(stderr, "lumivore-cli: %s\n", message.c_str());
        return kExitFailed;
    }
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
    TContactSheet sheet(sheetDir, sheetName);
    std::size_t written = 0, done = 0, withoutDecoders = 0;
    for (TFoundFile& file : engine->FoundFiles) {
        if (InterruptRequested())
            break;
        if (file.Nested()) {
            report(++done, false); // part of another found file: its thumbnail is that file's
            continue;
        }
        // A picture of unknown length is read back and measured inside MakeThumbnail.
        std::unique_ptr<TBitmap> thumb = engine->MakeThumbnail(file);
        report(++done, false);
        if (!thumb) {
            // Without the media module no phone picture or video gets a thumbnail: that is said
            // once, and those files count as not done.
            if (MediaDecoded(TraitsOf(file.Type()).Decoder) && !TMediaModule::Shared().Loaded()) {
                if (withoutDecoders++ == 0) {
                    report(done, true);
                    std::fprintf(stderr,
                                 "lumivore-cli: the media decoders (%s) cannot be loaded: %s; HEIC, HEIF, "
                                 "AVIF, WebP and video files get no thumbnail\n",
                                 kMediaModuleFile, TerminalText(TMediaModule::Shared().Failure()).c_str());
                }
            }
            continue;
        }
        std::string error;
        const std::int64_t start = file.StartSector;
        const std::string name =
            WritePng(*thumb, thumbsDir, [start](int suffix) { return ThumbName(start, suffix); }, false, error);
        if (name.empty()) {
            report(done, true);
            std::fprintf(stderr, "lumivore-cli: cannot write %s: %s\n",
                         (fs::path(opt.To) / ThumbName(start, 0)).c_str(), error.c_str());
            return kExitFailed;
        }
        const std::string path = (fs::path(opt.To) / name).string();
        ++written;
        std::printf("%s  %s\n", TerminalText(path).c_str(), TerminalText(file.Ext).c_str());
        if (!opt.Sheet.empty() && !sheet.Add(std::move(thumb), file.Ext, error)) {
            report(done, true);
            std::fprintf(stderr, "lumivore-cli: cannot write the contact sheet %s: %s\n", opt.Sheet.c_str(),
                         error.c_str());
            return kExitFailed;
        }
    }
    report(done, true);
    // The thumbnails were written without a flush each; one flush of their file system now.
    thumbsDir.Sync(true);
    if (!opt.Sheet.empty()) {
        std::string error;
        if (!sheet.Finish(error)) {
            std::fprintf(stderr, "lumivore-cli: cannot write the contact sheet %s: %s\n", opt.Sheet.c_str(),
                         error.c_str());
            return kExitFailed;
        }
        sheetDir.Sync();
        const fs::path folder = fs::path(opt.Sheet).parent_path();
        if (sheet.Paged()) {
            std::printf("contact sheet in %zu pages of up to %zu pictures:\n", sheet.Written().size(),
                        kSheetPagePictures);
            for (const std::string& name : sheet.Written())
                std::printf("%s\n", TerminalText((folder / name).string()).c_str());
        } else if (!sheet.Written().empty() && sheet.Written().front() != sheetName) {
            // Nothing is overwritten: an existing sheet keeps its name.
            std::printf("contact sheet written as %s\n",
                        TerminalText((folder / sheet.Written().front()).string()).c_str());
        }
    }
    std::printf("%zu thumbnail(s) of %zu found file(s)\n", written, engine->FoundFiles.size());
    if (withoutDecoders > 0)
        std::printf("%zu phone or video file(s) without a thumbnail: the media decoders are missing\n",
                    withoutDecoders);
    const bool stopped = outcome.Stopped || InterruptRequested();
    if (stopped)
        std::printf("stopped before the end\n");
    std::fflush(stdout);
    return FinishStatus(stopped, outcome.ReadErrors, static_cast<std::int64_t>(withoutDecoders),
                        "got no thumbnail (the media decoders are missing)");
}

} // namespace

TCommand AddThumbsCommand(CLI::App& app) {
    auto opt = std::make_shared<TOptions>();
    CLI::App* sub = app.add_subcommand("thumbs", "Scan, then write the 95 x 95 thumbnails of the found files as PNG");
    sub->add_option("SOURCE", opt->Source, "Device path, disk image file, or device code")->required();
    sub->add_option("--to", opt->To, "Directory for the thumbnails (created when missing)")->required();
    sub->add_option("--sheet", opt->Sheet,
                    "Also write a contact sheet of all thumbnails to this PNG file (in pages of 1,000 "
                    "pictures, FILE-1.png, ..., when more are found)");
    AddRangeOptions(*sub, opt->StartMb, opt->EndMb);
    sub->add_flag("--quiet", opt->Quiet, "No progress on stderr");
    return {sub, [opt] { return Run(*opt); }};
}

} // namespace lumivore::cli
