#pragma once
// The fixed tables of what Lumivore can find: ten general file types, thirteen camera makers
// whose raw formats are recognised, and the files of today's phones and cameras (ISO media
// containers and WebP), with a count per row after every scan.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/FoundFile.h"

namespace lumivore {

struct TSupportedFileType {
    std::string Name;
    std::string Maker;        // empty in the general table
    std::string Extensions;   // comma-separated for a maker
    std::string MakerCaption; // the maker's name in the current language
};

inline constexpr std::size_t kGeneralTypeCount = 10;
inline constexpr std::size_t kMakerTypeCount = 13;
inline constexpr std::size_t kPhoneTypeCount = 7;

// General rows (FormatIndex).
enum : std::uint8_t {
    kFormatBmp = 0, kFormatJpeg = 1, kFormatGif = 2, kFormatPng = 3, kFormatDng = 4,
    kFormatTiff = 5, kFormatRealMedia = 6, kFormatWav = 7, kFormatAvi = 8, kFormatCdr = 9
};

// Camera rows (MakerIndex).
enum : std::uint8_t {
    kMakerCanon = 0, kMakerKodak = 1, kMakerLeica = 2, kMakerMamiya = 3, kMakerNikon = 4,
    kMakerOlympus = 5, kMakerPanasonic = 6, kMakerPentax = 7, kMakerSamsung = 8, kMakerSony = 9,
    kMakerSigma = 10, kMakerMinolta = 11, kMakerFuji = 12
};

// Rows of the phone and video group (PhoneIndex). A CR3 also counts under Canon.
enum : std::uint8_t {
    kPhoneHeic = 0, kPhoneAvif = 1, kPhoneMp4 = 2, kPhoneMov = 3, kPhone3gp = 4, kPhoneCr3 = 5, kPhoneWebp = 6
};

// Process-wide tables, filled on first use.
std::array<TSupportedFileType, kGeneralTypeCount>& GeneralTypes();
std::array<TSupportedFileType, kMakerTypeCount>& MakerTypes();
std::array<TSupportedFileType, kPhoneTypeCount>& PhoneTypes();

// Counts per row, recomputed by CountByType at the end of every scan.
extern std::array<std::int32_t, kGeneralTypeCount> GeneralCounts;
extern std::array<std::int32_t, kMakerTypeCount> MakerCounts;
extern std::array<std::int32_t, kPhoneTypeCount> PhoneCounts;

// Recounts the given records into GeneralCounts, MakerCounts and PhoneCounts. A file with
// several indexes set (a Pentax DNG, a Canon CR3) counts in each of those tables.
void CountByType(const std::vector<TFoundFile>& files);

} // namespace lumivore
