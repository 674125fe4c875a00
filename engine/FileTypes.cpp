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

const std::vector<TFileTypeTraits>& FileTypeTraits() {
    using M = TLengthMeasure;
    using D = TPictureDecoder;
    constexpr std::uint8_t no = kNoIndex;
    // Type, Ext, general row, camera row, phone row, measure, decoder, guessed length, chunk
    // chain, preview lacks its marker byte, size from the preview.
    static const std::vector<TFileTypeTraits> rows{
        {TFileType::Unknown, "", no, no, no, M::None, D::None, false, false, false, false},
        {TFileType::Bmp, "BMP", kFormatBmp, no, no, M::None, D::Bmp, false, false, false, false},
        {TFileType::Jpeg, "JPG", kFormatJpeg, no, no, M::Jpeg, D::Jpeg, false, false, false, false},
        {TFileType::Gif, "GIF", kFormatGif, no, no, M::Gif, D::Gif, false, false, false, false},
        {TFileType::Png, "PNG", kFormatPng, no, no, M::Png, D::Png, false, false, false, false},
        {TFileType::Dng, "DNG", kFormatDng, no, no, M::Tiff, D::Tiff, false, false, false, false},
        {TFileType::Tiff, "TIF", kFormatTiff, no, no, M::Tiff, D::Tiff, false, false, false, false},
        {TFileType::RealMedia, "RM", kFormatRealMedia, no, no, M::RealMedia, D::None, false, false, false, false},
        {TFileType::Wav, "WAV", kFormatWav, no, no, M::None, D::None, false, false, false, false},
        {TFileType::Avi, "AVI", kFormatAvi, no, no, M::None, D::None, false, true, false, false},
        {TFileType::Cdr, "CDR", kFormatCdr, no, no, M::None, D::None, false, false, false, false},
        {TFileType::Crw, "CRW", no, kMakerCanon, no, M::None, D::None, true, false, false, false},
        {TFileType::Cr2, "CR2", no, kMakerCanon, no, M::Tiff, D::None, false, false, false, false},
        {TFileType::Dcr, "DCR", no, kMakerKodak, no, M::Tiff, D::None, false, false, false, false},
        {TFileType::Raw, "RAW", no, no, no, M::Tiff, D::None, false, false, false, false},
        {TFileType::Mef, "MEF", no, kMakerMamiya, no, M::Tiff, D::None, false, false, false, false},
        {TFileType::Nef, "NEF", no, kMakerNikon, no, M::Tiff, D::None, false, false, false, false},
        {TFileType::Orf, "ORF", no, kMakerOlympus, no, M::Tiff, D::None, false, false, false, false},
        {TFileType::Pef, "PEF", no, kMakerPentax, no, M::Tiff, D::None, false, false, false, false},
        {TFileType::Arw, "ARW", no, kMakerSony, no, M::Tiff, D::None, false, false, false, false},
        {TFileType::Sr2, "SR2", no, kMakerSony, no, M::Tiff, D::None, false, false, false, false},
        {TFileType::X3f, "X3F", no, kMakerSigma, no, M::None, D::None, false, false, false, false},
        {TFileType::Mrw, "MRW", no, kMakerMinolta, no, M::Mrw, D::None, false, false, true, false},
        {TFileType::Raf, "RAF", no, kMakerFuji, no, M::Raf, D::None, false, false, false, true},
        {TFileType::Heic, "HEIC", no, no, kPhoneHeic, M::None, D::Heif, false, false, false, false},
        {TFileType::Heif, "HEIF", no, no, kPhoneHeic, M::None, D::Heif, false, false, false, false},
        {TFileType::Avif, "AVIF", no, no, kPhoneAvif, M::None, D::Heif, false, false, false, false},
        {TFileType::Mp4, "MP4", no, no, kPhoneMp4, M::None, D::VideoFrame, false, false, false, false},
        {TFileType::M4v, "M4V", no, no, kPhoneMp4, M::None, D::VideoFrame, false, false, false, false},
        {TFileType::Mov, "MOV", no, no, kPhoneMov, M::None, D::VideoFrame, false, false, false, false},
        {TFileType::ThreeGp, "3GP", no, no, kPhone3gp, M::None, D::VideoFrame, false, false, false, false},
        {TFileType::ThreeG2, "3G2", no, no, kPhone3gp, M::None, D::VideoFrame, false, false, false, false},
        {TFileType::Cr3, "CR3", no, kMakerCanon, kPhoneCr3, M::None, D::EmbeddedJpeg, false, false, false, false},
        {TFileType::Webp, "WEBP", no, no, kPhoneWebp, M::None, D::WebP, false, false, false, false},
    };
    return rows;
}

const TFileTypeTraits& TraitsOf(TFileType type) {
    const std::vector<TFileTypeTraits>& rows = FileTypeTraits();
    const auto i = static_cast<std::size_t>(type);
    return i < rows.size() ? rows[i] : rows.front();
}

TFileType FileTypeOf(std::string_view ext) {
    if (ext.empty())
        return TFileType::Unknown;
    for (const TFileTypeTraits& row : FileTypeTraits())
        if (ext == row.Ext)
            return row.Type;
    return TFileType::Unknown;
}

TFileType TFoundFile::Type() const { return FileTypeOf(Ext); }

void CountByType(const std::vector<TFoundFile>& files) {
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
