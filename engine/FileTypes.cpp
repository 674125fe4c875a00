#include "engine/FileTypes.h"

namespace lumivore {

std::array<std::int32_t, kGeneralTypeCount> GeneralCounts{};
std::array<std::int32_t, kMakerTypeCount> MakerCounts{};
std::array<std::int32_t, kPhoneTypeCount> PhoneCounts{};

std::array<TSupportedFileType, kGeneralTypeCount>& GeneralTypes() {
    static std::array<TSupportedFileType, kGeneralTypeCount> rows{{
        {"BMP", "", "BMP", ""},
        {"JPEG", "", "JPG", ""},
        {"CompuServe GIF", "", "GIF", ""},
        {"PNG", "", "PNG", ""},
        {"DNG", "", "DNG", ""},
        {"TIFF", "", "TIF", ""},
        {"Real Audio", "", "RM", ""},
        {"Wav Audio", "", "WAV", ""},
        {"AVI Video", "", "AVI", ""},
        {"CoralDraw CDR", "", "CDR", ""},
    }};
    return rows;
}

std::array<TSupportedFileType, kMakerTypeCount>& MakerTypes() {
    // The caption starts as the maker's own name; the translation unit replaces it.
    static std::array<TSupportedFileType, kMakerTypeCount> rows{{
        {"Canon DC RAW", "Canon", "CRW,TIF,CR2", "Canon"},
        {"Kodak DC RAW", "Kodak", "DCR", "Kodak"},
        {"Leica DC RAW ", "Leica", "RAW", "Leica"},
        {"Mamiya DC RAW", "Mamiya", "MEF", "Mamiya"},
        {"Nikon DC RAW", "Nikon", "NEF", "Nikon"},
        {"Olympus DC RAW", "Olympus", "ORF", "Olympus"},
        {"Panasonic DC RAW ", "Panasonic", "RAW", "Panasonic"},
        {"Pentax DC RAW", "Pentax", "PEF,DNG", "Pentax"},
        {"Samsung DC RAW", "Samsung", "DNG", "Samsung"},
        {"Sony DC RAW", "Sony", "ARW,DNG,SR2", "Sony"},
        {"Sigma DC RAW", "Sigma", "X3F", "Sigma"},
        {"Minolta DC RAW ", "Minolta", "MRW", "Minolta"},
        {"FUJI Film DC RAW", "FUJI", "RAF", "FUJI"},
    }};
    return rows;
}

std::array<TSupportedFileType, kPhoneTypeCount>& PhoneTypes() {
    // The caption, the type's name in the current language, starts as the name; the translation
    // unit replaces it.
    static std::array<TSupportedFileType, kPhoneTypeCount> rows{{
        {"HEIC/HEIF image", "", "HEIC,HEIF", "HEIC/HEIF image"},
        {"AVIF image", "", "AVIF", "AVIF image"},
        {"MP4 video", "", "MP4,M4V", "MP4 video"},
        {"QuickTime video", "", "MOV", "QuickTime video"},
        {"3GP video", "", "3GP,3G2", "3GP video"},
        {"Canon CR3 raw", "Canon", "CR3", "Canon CR3 raw"},
        {"WebP image", "", "WEBP", "WebP image"},
    }};
    return rows;
}

// TraitsOf indexes the table by the enum's value.
static_assert([] {
    for (std::size_t i = 0; i < kFileTypeTraits.size(); ++i)
        if (static_cast<std::size_t>(kFileTypeTraits[i].Type) != i)
            return false;
    return true;
}(), "the traits table follows the order of TFileType");

TFileType TFoundFile::Type() const { return FileTypeOf(Ext); }

void CountByType(const TFoundFileList& files) {
    GeneralCounts.fill(0);
    MakerCounts.fill(0);
    PhoneCounts.fill(0);
    for (const TFoundFile& f : files) {
        // A file that lies inside another found file (an embedded preview) is part of that
        // file: it is not counted, as recovery by type and the thumbnail pages leave it out.
        if (f.Nested())
            continue;
        if (f.FormatIndex < kGeneralTypeCount)
            ++GeneralCounts[f.FormatIndex];
        if (f.MakerIndex < kMakerTypeCount)
            ++MakerCounts[f.MakerIndex];
        if (f.PhoneIndex < kPhoneTypeCount)
            ++PhoneCounts[f.PhoneIndex];
    }
}

} // namespace lumivore
