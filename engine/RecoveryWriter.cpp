// Recovered file names, the EXIF date as a file time, and CSV fields.
#include "engine/RecoveryWriter.h"

#include <cstdio>
#include <filesystem>
#include <string_view>

#include "support/SafeText.h"

namespace lumivore {

std::string RecoveredFileName(std::int64_t startSector, const std::string& ext, int suffix) {
    char stem[40];
    std::snprintf(stem, sizeof stem, "f%010lld", static_cast<long long>(startSector));
    std::string name = stem;
    if (suffix > 0)
        name += "-" + std::to_string(suffix);
    name += '.';
    for (char c : ext)
        name += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return name;
}

namespace {

bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

} // namespace

bool IsRecoveredFileName(const std::string& name) {
    const std::string_view n = name;
    if (n == "recovery-report.csv")
        return true;
    if (n.size() > 20 && n.substr(0, 16) == "recovery-report-" && n.substr(n.size() - 4) == ".csv")
        return AllDigits(n.substr(16, n.size() - 20));
    // "f" + at least ten digits, "-" + digits for a further copy, "." + a lower-case extension.
    const std::size_t dot = n.rfind('.');
    if (n.size() < 13 || n[0] != 'f' || dot == std::string_view::npos || dot + 1 == n.size())
        return false;
    const std::string_view ext = n.substr(dot + 1);
    if (ext.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789") != std::string_view::npos)
        return false;
    std::string_view stem = n.substr(1, dot - 1);
    if (const std::size_t dash = stem.find('-'); dash != std::string_view::npos) {
        if (!AllDigits(stem.substr(dash + 1)))
            return false;
        stem = stem.substr(0, dash);
    }
    return stem.size() >= 10 && AllDigits(stem);
}

bool HoldsRecoveredFiles(const std::string& folder) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (IsRecoveredFileName(it->path().filename().string()))
            return true;
    return false;
}

std::optional<std::time_t> ParseDateTaken(const std::string& text) {
    // "YYYY:MM:DD HH:MM:SS", possibly followed by blanks or NULs as cameras pad the field.
    static constexpr char kPattern[] = "dddd:dd:dd dd:dd:dd";
    if (text.size() < 19)
        return std::nullopt;
    for (std::size_t i = 0; i < 19; ++i) {
        const char c = text[i];
        if (kPattern[i] == 'd' ? (c < '0' || c > '9') : c != kPattern[i])
            return std::nullopt;
    }
    for (std::size_t i = 19; i < text.size(); ++i)
        if (text[i] != ' ' && text[i] != '\0')
            return std::nullopt;
    auto num = [&](std::size_t at, std::size_t n) {
        int v = 0;
        for (std::size_t i = 0; i < n; ++i)
            v = v * 10 + (text[at + i] - '0');
        return v;
    };
    std::tm tm{};
    tm.tm_year = num(0, 4) - 1900;
    tm.tm_mon = num(5, 2) - 1;
    tm.tm_mday = num(8, 2);
    tm.tm_hour = num(11, 2);
    tm.tm_min = num(14, 2);
    tm.tm_sec = num(17, 2);
    if (tm.tm_year < 70 || tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 59)
        return std::nullopt;
    tm.tm_isdst = -1;
    const std::tm asGiven = tm;
    const std::time_t t = std::mktime(&tm);
    // mktime moves a day that the month lacks (February 30) into the next month: refuse it.
    if (t == static_cast<std::time_t>(-1) || tm.tm_mday != asGiven.tm_mday || tm.tm_mon != asGiven.tm_mon)
        return std::nullopt;
    return t;
}

std::string CsvField(const std::string& text) {
    // Device text may carry control characters or start like a formula: the cell shows it
    // visibly and inertly, whatever field it came from.
    const std::string safe = SpreadsheetText(text);
    if (safe.find_first_of(",\"\r\n") == std::string::npos)
        return safe;
    std::string out = "\"";
    for (char c : safe) {
        if (c == '"')
            out += '"';
        out += c;
    }
    out += '"';
    return out;
}

const char* StatusText(TRecoveryStatus status) {
    switch (status) {
    case TRecoveryStatus::Recovered: return "recovered";
    case TRecoveryStatus::Failed: return "failed";
    case TRecoveryStatus::Abandoned: return "abandoned";
    case TRecoveryStatus::NotWritten: return "not written";
    }
    return "";
}

} // namespace lumivore
