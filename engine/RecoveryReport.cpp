// The report written beside the recovered files: a CSV line for each chosen file, with what
// became of it and what the scan and the card's file system told of it.
#include "engine/RecoveryRun.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/Remnants.h"

namespace lumivore::detail {

namespace {

namespace fs = std::filesystem;

// The report is written in blocks of this many bytes.
constexpr std::size_t kReportBlock = 64 * 1024;

// The pieces as the report lists them: "offset+length" each, device bytes, separated by
// blanks.
std::string PiecesText(const std::vector<TPiece>& pieces) {
    std::string text;
    for (const TPiece& p : pieces)
        text += (text.empty() ? "" : " ") + std::to_string(p.Offset) + "+" + std::to_string(p.Length);
    return text;
}

// Text from the device made safe for the report: control bytes become '?', and a leading
// character that spreadsheets take for a formula is preceded by an apostrophe.
std::string ReportText(const std::string& s) {
    std::string out;
    out.reserve(s.size() + 1);
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        out += u < 0x20 || u == 0x7F ? '?' : c;
    }
    if (!out.empty() && (out[0] == '=' || out[0] == '+' || out[0] == '-' || out[0] == '@'))
        out.insert(out.begin(), '\'');
    return out;
}

// Seconds since the epoch as "YYYY-MM-DD HH:MM:SS" local time; empty for 0.
std::string TimeText(std::int64_t seconds) {
    if (seconds == 0)
        return {};
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (::localtime_r(&t, &tm) == nullptr)
        return {};
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

std::string Fraction(std::uint32_t num, std::uint32_t den) {
    return den == 0 ? std::string() : std::to_string(num) + "/" + std::to_string(den);
}

constexpr char kReportHeader[] =
    "file,status,detail,start_sector,type,length,width,height,make,model,date_taken,iso,"
    "exposure,f_number,focal_length,inside,pieces,incomplete,claimed_length,original_name,"
    "original_folder,name_source,entry_size,entry_modified\n";

} // namespace

std::string ReportLine(const TRecoveryEntry& e, const TFoundFile& f) {
    const std::string fields[] = {
        e.Name,
        StatusText(e.Status),
        e.Detail,
        std::to_string(f.StartSector),
        ReportText(f.Ext),
        e.Length >= 0 ? std::to_string(e.Length) : std::string(),
        f.Width > 0 ? std::to_string(f.Width) : std::string(),
        f.Height > 0 ? std::to_string(f.Height) : std::string(),
        ReportText(f.Make),
        ReportText(f.Model),
        ReportText(f.DateTaken),
        f.ISO > 0 ? std::to_string(f.ISO) : std::string(),
        Fraction(f.ExposureNum, f.ExposureDen),
        Fraction(f.FNumberNum, f.FNumberDen),
        Fraction(f.FocalNum, f.FocalDen),
        e.Enclosing,
        // A photo put back together from the pieces a used card split it into, or one whose
        // data stops where no continuation was found: where its pieces lie on the device.
        f.Pieces.empty() ? std::string() : PiecesText(f.Pieces),
        f.Incomplete ? std::string("incomplete") : std::string(),
        // What the file's header claimed, where other files or its own chunks cut it short.
        f.ClaimedLength >= 0 ? std::to_string(f.ClaimedLength) : std::string(),
        // What the card's file system left of the file: its name and folder as the card
        // stores them (a deleted entry's is marked), the entry's size and modification time.
        ReportText(f.OriginalName),
        ReportText(OriginalFolderText(f)),
        f.OriginalName.empty() ? std::string()
                               : std::string(RemnantKindText(f.NameSource)) + (f.NameDeleted ? " (deleted)" : ""),
        f.EntrySize >= 0 ? std::to_string(f.EntrySize) : std::string(),
        TimeText(f.EntryModified),
    };
    std::string line;
    for (const std::string& field : fields) {
        if (&field != &fields[0])
            line += ',';
        line += CsvField(field);
    }
    line += '\n';
    return line;
}

void WriteReport(TOutputDir& dest, TRecoveryResult& result) {
    WriteReport(dest, result, result.Files.size(),
                [&result](std::size_t k) { return ReportLine(result.Files[k], result.FileOf(result.Files[k])); });
}

void WriteReport(TOutputDir& dest, TRecoveryResult& result, std::size_t count,
                 const std::function<std::string(std::size_t)>& lineOf) {
    // The lines are made as the file is written, a block at a time, and counted once before:
    // a run of many thousand files never holds its whole report in memory.
    std::uint64_t size = sizeof kReportHeader - 1;
    for (std::size_t k = 0; k < count; ++k)
        size += lineOf(k).size();
    std::string made = kReportHeader; // lines made and not yet written
    std::size_t next = 0;              // the next entry to make a line of
    std::string block;
    const auto lines = [&](std::uint64_t, std::size_t n, const std::uint8_t*& out) {
        for (; made.size() < n && next < count; ++next)
            made += lineOf(next);
        if (made.size() < n)
            return false;
        block.assign(made, 0, n);
        made.erase(0, n);
        out = reinterpret_cast<const std::uint8_t*>(block.data());
        return true;
    };
    const TWriteResult w = dest.WriteStream(
        [](int suffix) {
            return suffix == 0 ? std::string("recovery-report.csv")
                               : "recovery-report-" + std::to_string(suffix) + ".csv";
        },
        size, kReportBlock, lines);
    if (w.Outcome == TWriteOutcome::Written) {
        result.ReportPath = (fs::path(dest.Folder()) / w.Name).string();
    } else {
        if (!result.Message.empty())
            result.Message += ' ';
        result.Message += "The report could not be written (" + w.Error + ").";
    }
}

} // namespace lumivore::detail
