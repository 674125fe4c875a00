#pragma once
// Builders of what cameras, phones and picture-database programs append after a JPEG's
// end-of-image marker, and of the XMP and MP4 a motion photo carries, for the length tests.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lumivore::testkit {

using TByteVector = std::vector<std::uint8_t>;

// A run of IPTC datasets (record 2), each 0x1C, record, dataset, 16-bit length and text.
TByteVector IptcRecords(const std::vector<std::string>& texts);

// An AFCP trailer placed at trailerStart of the file: "AXS!" header, one directory entry per
// record (offsets from the file's start), the records, and the footer naming trailerStart.
TByteVector AfcpTrailer(std::size_t trailerStart, const std::vector<TByteVector>& records);

// A Photo Mechanic trailer: the records, their size and "cbipcbbl".
TByteVector PhotoMechanicTrailer(const TByteVector& records);

// A FotoStation trailer: zero padding, then each record followed by its type, its size (data
// and these 10 bytes) and 0xA1B2C3D4.
TByteVector FotoStationTrailer(const std::vector<TByteVector>& records, std::size_t padding = 0);

// A Samsung trailer: the blocks, a "SEFH" directory naming each by its distance back from the
// directory, the directory's size and "SEFT".
TByteVector SamsungTrailer(const std::vector<TByteVector>& blocks);

// A minimal MP4: an "ftyp" box and an "mdat" box of mdatBytes bytes of data.
TByteVector MinimalMp4(std::size_t mdatBytes);

// The payload of an XMP APP1 segment (identifier and packet) of a motion photo: with
// GCamera:MicroVideoOffset when videoBytes > 0, and with a Container:Directory of the primary
// picture (with its padding) and one item per given length and mime type when items is not empty.
struct TContainerItem {
    std::string Mime;
    std::uint64_t Length = 0;
};
TByteVector MotionPhotoXmp(std::uint64_t videoBytes, std::uint64_t primaryPadding = 0,
                           const std::vector<TContainerItem>& items = {});

} // namespace lumivore::testkit
