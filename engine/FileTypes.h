#pragma once
// The fixed tables of what Lumivore can find: ten general file types, thirteen camera makers
// whose raw formats are recognised, and the files of today's phones and cameras (ISO media
// containers and WebP), with a count per row after every scan.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
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

// Every kind of file a recogniser can report. The record keeps its type as the text of its
// extension (TFoundFile::Ext, which the JSON lines and the report carry); TFoundFile::Type()
// turns that text into this enum, and FileTypeTraits() says what each type is and how it is
// measured, recovered and shown, in one table instead of comparisons of the text spread over
// recovery, read-back and thumbnails.
enum class TFileType : std::uint8_t {
    Unknown,
    // General files.
    Bmp, Jpeg, Gif, Png, Dng, Tiff, RealMedia, Wav, Avi, Cdr,
    // Camera raws.
    Crw, Cr2, Dcr, Raw, Mef, Nef, Orf, Pef, Arw, Sr2, X3f, Mrw, Raf,
    // Files of today's phones and cameras.
    Heic, Heif, Avif, Mp4, M4v, Mov, ThreeGp, ThreeG2, Cr3, Webp,
};

// How a file's length is found when its record does not hold it: the structure walked.
enum class TLengthMeasure : std::uint8_t {
    None,      // the header states it (BMP, RIFF), or nothing can measure it (CRW)
    Jpeg,      // markers and entropy data to the end-of-image marker
    Gif,       // blocks to the trailer
    Png,       // chunks to IEND
    Tiff,      // directories, strips and tiles
    RealMedia, // chunks
    Mrw,       // the header's block sizes
    Raf,       // the header's offsets
    X3f,       // the directory at the end, found as the bytes go by
    Avi,       // chunk by chunk through its lists and the forms that continue it: the RIFF
               // size states the length, and the walk checks it against what follows
    IsoMedia,  // the chain of top-level boxes
};

// What draws a file's picture, full size or as a thumbnail when the record holds no
// thumbnail range of its own.
enum class TPictureDecoder : std::uint8_t {
    None,         // no picture of its own: only an embedded thumbnail range, if any, is shown
    Bmp, Jpeg, Gif, Png,
    Tiff,         // the file itself through the TIFF decoder (TIF and DNG only)
    EmbeddedJpeg, // its JPEG preview stands for the picture, also at full size (CR3)
    Heif,         // HEIC, HEIF, AVIF through their own decoder
    WebP,
    VideoFrame,   // the first key frame of a video
};

// Which of the length limits (formats/LengthPolicy.h) bounds a type's files.
enum class TLengthLimit : std::uint8_t {
    General,       // 50 MiB
    LargeRaw,      // TIFF-structured files, RAF and MRW: 1 GiB
    LargeKodakRaw, // a DCR: 1 GiB and the 100 KiB Kodak adds
    Riff,          // WAV: what a RIFF size can state
    RiffChain,     // AVI: a chain of RIFF chunks
    Media,         // box-structured files of phones and cameras: 64 GiB
};

struct TFileTypeTraits {
    TFileType Type;
    const char* Ext;          // the record's Ext, upper case
    std::uint8_t GeneralRow;  // FormatIndex always given to this type, or kNoIndex
    std::uint8_t CameraRow;   // MakerIndex always given to it; kNoIndex when none or the make decides
    std::uint8_t PhoneRow;    // PhoneIndex, or kNoIndex
    TLengthMeasure Measure;
    TPictureDecoder Decoder;
    TLengthLimit Limit;
    // Its length is not measured but a fixed guess: its extent cannot be said to hold other
    // files, nor to end where another file starts.
    bool GuessedLength;
    // A long file that goes on in further chunks found by their headers on the device (an
    // OpenDML AVI's "RIFF"/"AVIX" chain).
    bool ChunkChain;
    // The embedded JPEG preview lacks the first byte of its start marker (Minolta).
    bool PreviewLacksMarkerByte;
    // The embedded preview has the full picture's size: its decode gives the record's size.
    bool SizeFromPreview;
};

inline constexpr std::size_t kFileTypeCount = static_cast<std::size_t>(TFileType::Webp) + 1;

// The table, one row per TFileType in the enum's order (Unknown first). It is a constant of
// this header so that the format readers, which the engine is built on, decide by it too.
inline constexpr std::array<TFileTypeTraits, kFileTypeCount> kFileTypeTraits = [] {
    using M = TLengthMeasure;
    using D = TPictureDecoder;
    using L = TLengthLimit;
    constexpr std::uint8_t no = kNoIndex;
    // Type, Ext, general row, camera row, phone row, measure, decoder, limit, guessed length,
    // chunk chain, preview lacks its marker byte, size from the preview.
    return std::array<TFileTypeTraits, kFileTypeCount>{{
        {TFileType::Unknown, "", no, no, no, M::None, D::None, L::General, false, false, false, false},
        {TFileType::Bmp, "BMP", kFormatBmp, no, no, M::None, D::Bmp, L::General, false, false, false, false},
        {TFileType::Jpeg, "JPG", kFormatJpeg, no, no, M::Jpeg, D::Jpeg, L::General, false, false, false, false},
        {TFileType::Gif, "GIF", kFormatGif, no, no, M::Gif, D::Gif, L::General, false, false, false, false},
        {TFileType::Png, "PNG", kFormatPng, no, no, M::Png, D::Png, L::General, false, false, false, false},
        {TFileType::Dng, "DNG", kFormatDng, no, no, M::Tiff, D::Tiff, L::LargeRaw, false, false, false, false},
        {TFileType::Tiff, "TIF", kFormatTiff, no, no, M::Tiff, D::Tiff, L::LargeRaw, false, false, false, false},
        {TFileType::RealMedia, "RM", kFormatRealMedia, no, no, M::RealMedia, D::None, L::General, false, false, false, false},
        {TFileType::Wav, "WAV", kFormatWav, no, no, M::None, D::None, L::Riff, false, false, false, false},
        {TFileType::Avi, "AVI", kFormatAvi, no, no, M::Avi, D::None, L::RiffChain, false, true, false, false},
        {TFileType::Cdr, "CDR", kFormatCdr, no, no, M::None, D::None, L::General, false, false, false, false},
        {TFileType::Crw, "CRW", no, kMakerCanon, no, M::None, D::None, L::General, true, false, false, false},
        {TFileType::Cr2, "CR2", no, kMakerCanon, no, M::Tiff, D::None, L::LargeRaw, false, false, false, false},
        {TFileType::Dcr, "DCR", no, kMakerKodak, no, M::Tiff, D::None, L::LargeKodakRaw, false, false, false, false},
        {TFileType::Raw, "RAW", no, no, no, M::Tiff, D::None, L::LargeRaw, false, false, false, false},
        {TFileType::Mef, "MEF", no, kMakerMamiya, no, M::Tiff, D::None, L::LargeRaw, false, false, false, false},
        {TFileType::Nef, "NEF", no, kMakerNikon, no, M::Tiff, D::None, L::LargeRaw, false, false, false, false},
        {TFileType::Orf, "ORF", no, kMakerOlympus, no, M::Tiff, D::None, L::LargeRaw, false, false, false, false},
        {TFileType::Pef, "PEF", no, kMakerPentax, no, M::Tiff, D::None, L::LargeRaw, false, false, false, false},
        {TFileType::Arw, "ARW", no, kMakerSony, no, M::Tiff, D::None, L::LargeRaw, false, false, false, false},
        {TFileType::Sr2, "SR2", no, kMakerSony, no, M::Tiff, D::None, L::LargeRaw, false, false, false, false},
        {TFileType::X3f, "X3F", no, kMakerSigma, no, M::X3f, D::None, L::LargeRaw, false, false, false, false},
        {TFileType::Mrw, "MRW", no, kMakerMinolta, no, M::Mrw, D::None, L::LargeRaw, false, false, true, false},
        {TFileType::Raf, "RAF", no, kMakerFuji, no, M::Raf, D::None, L::LargeRaw, false, false, false, true},
        {TFileType::Heic, "HEIC", no, no, kPhoneHeic, M::IsoMedia, D::Heif, L::Media, false, false, false, false},
        {TFileType::Heif, "HEIF", no, no, kPhoneHeic, M::IsoMedia, D::Heif, L::Media, false, false, false, false},
        {TFileType::Avif, "AVIF", no, no, kPhoneAvif, M::IsoMedia, D::Heif, L::Media, false, false, false, false},
        {TFileType::Mp4, "MP4", no, no, kPhoneMp4, M::IsoMedia, D::VideoFrame, L::Media, false, false, false, false},
        {TFileType::M4v, "M4V", no, no, kPhoneMp4, M::IsoMedia, D::VideoFrame, L::Media, false, false, false, false},
        {TFileType::Mov, "MOV", no, no, kPhoneMov, M::IsoMedia, D::VideoFrame, L::Media, false, false, false, false},
        {TFileType::ThreeGp, "3GP", no, no, kPhone3gp, M::IsoMedia, D::VideoFrame, L::Media, false, false, false, false},
        {TFileType::ThreeG2, "3G2", no, no, kPhone3gp, M::IsoMedia, D::VideoFrame, L::Media, false, false, false, false},
        {TFileType::Cr3, "CR3", no, kMakerCanon, kPhoneCr3, M::IsoMedia, D::EmbeddedJpeg, L::Media, false, false, false, false},
        {TFileType::Webp, "WEBP", no, no, kPhoneWebp, M::None, D::WebP, L::General, false, false, false, false},
    }};
}();

inline constexpr const std::array<TFileTypeTraits, kFileTypeCount>& FileTypeTraits() { return kFileTypeTraits; }

inline constexpr const TFileTypeTraits& TraitsOf(TFileType type) {
    const auto i = static_cast<std::size_t>(type);
    return i < kFileTypeTraits.size() ? kFileTypeTraits[i] : kFileTypeTraits.front();
}

// The type whose Ext is the given text; Unknown for any other text.
inline constexpr TFileType FileTypeOf(std::string_view ext) {
    if (ext.empty())
        return TFileType::Unknown;
    for (const TFileTypeTraits& row : kFileTypeTraits)
        if (ext == row.Ext)
            return row.Type;
    return TFileType::Unknown;
}
// Whether the type's picture is drawn by one of the phone and video decoders.
inline bool MediaDecoded(TPictureDecoder d) {
    return d == TPictureDecoder::Heif || d == TPictureDecoder::WebP || d == TPictureDecoder::VideoFrame;
}

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
void CountByType(const TFoundFileList& files);

} // namespace lumivore
