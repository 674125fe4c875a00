#pragma once
// The real camera files of testkit/cards/samples, for the recognisers' sample tests: where they lie,
// exiftool's reading of each, and how a scan sees a file that starts at a sector.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "formats/Measure.h"
#include "formats/Recognisers.h"

namespace lumivore::samples {

namespace fs = std::filesystem;

inline const fs::path kSampleDir = fs::path(LUMIVORE_SOURCE_DIR "/testkit/cards/samples");

using TReading = std::map<std::string, std::string>; // "Group:Tag" -> value as written

// Reads the reference file: a list of flat objects of strings and numbers.
inline std::map<std::string, TReading> ReadReadings(const fs::path& path) {
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::map<std::string, TReading> byFile;
    TReading current;
    std::size_t i = 0;
    auto quoted = [&] {
        std::string s;
        for (++i; i < text.size() && text[i] != '"'; ++i) {
            if (text[i] == '\\' && i + 1 < text.size())
                ++i;
            s += text[i];
        }
        ++i;
        return s;
    };
    while (i < text.size()) {
        const char c = text[i];
        if (c == '{') {
            current.clear();
            ++i;
        } else if (c == '}') {
            byFile[current["SourceFile"]] = current;
            ++i;
        } else if (c == '"') {
            const std::string key = quoted();
            while (i < text.size() && (text[i] == ':' || text[i] == ' '))
                ++i;
            std::string value;
            if (i < text.size() && text[i] == '"')
                value = quoted();
            else
                while (i < text.size() && text[i] != ',' && text[i] != '}' && text[i] != '\n')
                    value += text[i++];
            current[key] = value;
        } else {
            ++i;
        }
    }
    return byFile;
}

// The file at a sector start, padded to whole sectors and followed by a zero sector, as a file
// lies on a card, offered to the recognisers in scan order.
// A measure the recogniser left open ends with the data, as it does where a card ends.
inline bool ScanAsSector(std::vector<std::uint8_t> bytes, TFoundFile& rec) {
    bytes.resize((bytes.size() + 511) / 512 * 512 + 512, 0);
    const TBytes data(bytes);
    for (const TRecogniserEntry& r : kRecognisers) {
        rec.Reset();
        const TBytes offered = r.SectorOnly ? data.first(512) : data;
        if (r.Recognise(offered, rec)) {
            if (auto open = TakeOpenMeasure(rec, offered)) {
                if (open->Finish() == TMeasureStatus::Ended)
                    open->Complete(rec);
                rec.Length = open->Length();
            }
            return true;
        }
    }
    rec.Reset();
    return false;
}

// The bytes of a file.
inline std::vector<std::uint8_t> ReadSampleFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace lumivore::samples
