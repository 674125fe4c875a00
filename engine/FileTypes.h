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
    None,      // the header states it (BMP, RIFF), or nothing can measure it (X3F, CRW)
    Jpeg,      // markers and entropy data to the end-of-image marker
    Gif,       // blocks to the trailer
    Png,       // chunks to IEND
    Tiff,      // directories, strips and tiles
    RealMedia, // chunks
    Mrw,       // the header's block sizes
    Raf,       // the header's offsets
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

struct TFileTypeTraits {
    TFileType Type;
    const char* Ext;          // the record's Ext, upper case
    std::uint8_t GeneralRow;  // FormatIndex always given to this type, or kNoIndex
    std::uint8_t CameraRow;   // MakerIndex always given to it; kNoIndex when none or the make decides
    std::uint8_t PhoneRow;    // PhoneIndex, or kNoIndex
    TLengthMeasure Measure;
    TPictureDecoder Decoder;
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

// The table, one row per TFileType in the enum's order (Unknown first).
const std::vector<TFileTypeTraits>& FileTypeTraits();
const TFileTypeTraits& TraitsOf(TFileType type);
// The type whose Ext is the given text; Unknown for any other text.
TFileType FileTypeOf(std::string_view ext);
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
void CountByType(const std::vector<TFoundFile>& files);

} // namespace lumivore
