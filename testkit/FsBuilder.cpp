#include "testkit/FsBuilder.h"

#include <algorithm>
#include <cstring>

namespace lumivore::testkit {

namespace {

std::uint8_t Checksum11(const std::string& name11) {
    std::uint8_t sum = 0;
    for (char c : name11)
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<std::uint8_t>(c));
    return sum;
}

TByteVector ShortEntry(const std::string& name11, std::uint8_t attr, std::uint32_t cluster, std::uint32_t size,
                       std::uint16_t date, std::uint16_t time) {
    TByteVector e(name11.begin(), name11.end());
    e.resize(32, 0);
    e[11] = attr;
    PutLE16(e, 14, time);
    PutLE16(e, 16, date);
    PutLE16(e, 18, date);
    PutLE16(e, 20, cluster >> 16);
    PutLE16(e, 22, time);
    PutLE16(e, 24, date);
    PutLE16(e, 26, cluster & 0xFFFF);
    PutLE32(e, 28, size);
    return e;
}

} // namespace

std::string ShortName11(const std::string& name) {
    std::string out(11, ' ');
    if (name == "." || name == "..") {
        std::copy(name.begin(), name.end(), out.begin());
        return out;
    }
    const std::size_t dot = name.rfind('.');
    const std::string base = name.substr(0, std::min<std::size_t>(dot, 8));
    std::copy(base.begin(), base.end(), out.begin());
    if (dot != std::string::npos) {
        const std::string ext = name.substr(dot + 1, 3);
        std::copy(ext.begin(), ext.end(), out.begin() + 8);
    }
    return out;
}

TByteVector FatEntries(const TFatEntry& entry) {
    const std::string name11 = ShortName11(entry.ShortName);
    TByteVector out;
    if (!entry.LongName.empty()) {
        std::u16string text(entry.LongName.begin(), entry.LongName.end()); // ASCII names
        const std::size_t pieces = (text.size() + 12) / 13;
        if (text.size() % 13 != 0)
            text += u'\0';
        text.resize(pieces * 13, u'\xFFFF');
        const std::uint8_t checksum = static_cast<std::uint8_t>(Checksum11(name11) + (entry.BadChecksum ? 1 : 0));
        for (std::size_t k = pieces; k-- > 0;) {
            TByteVector e(32, 0);
            e[0] = static_cast<std::uint8_t>((k + 1) | (k + 1 == pieces ? 0x40 : 0));
            if (entry.Deleted)
                e[0] = 0xE5;
            e[11] = 0x0F;
            e[13] = checksum;
            const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
            for (int c = 0; c < 13; ++c)
                PutLE16(e, static_cast<std::size_t>(offsets[c]), text[k * 13 + static_cast<std::size_t>(c)]);
            Append(out, e);
        }
    }
    TByteVector s = ShortEntry(name11, entry.Directory ? 0x10 : 0x20, entry.FirstCluster, entry.Size, entry.Date, entry.Time);
    if (entry.Deleted)
        s[0] = 0xE5;
    Append(out, s);
    return out;
}

TByteVector FatFolderCluster(std::uint32_t self, std::uint32_t parent, const std::vector<TFatEntry>& entries,
                             std::size_t clusterBytes) {
    TByteVector out = ShortEntry(ShortName11("."), 0x10, self, 0, 0, 0);
    Append(out, ShortEntry(ShortName11(".."), 0x10, parent, 0, 0, 0));
    for (const TFatEntry& e : entries)
        Append(out, FatEntries(e));
    out.resize(std::max(out.size(), clusterBytes), 0);
    return out;
}

TByteVector Fat32BootSector(std::uint8_t sectorsPerCluster, std::uint16_t reserved, std::uint32_t fatSectors,
                            std::uint32_t totalSectors) {
    TByteVector s(512, 0);
    s[0] = 0xEB;
    s[1] = 0x58;
    s[2] = 0x90;
    std::memcpy(s.data() + 3, "MSWIN4.1", 8);
    PutLE16(s, 11, 512);
    s[13] = sectorsPerCluster;
    PutLE16(s, 14, reserved);
    s[16] = 2;
    PutLE32(s, 32, totalSectors);
    PutLE32(s, 36, fatSectors);
    PutLE32(s, 44, 2);
    std::memcpy(s.data() + 82, "FAT32   ", 8);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

TByteVector ExFatEntrySet(const TExFatEntry& entry) {
    const std::size_t nameEntries = (entry.Name.size() + 14) / 15;
    TByteVector out((2 + nameEntries) * 32, 0);
    out[0] = 0x85;
    out[1] = static_cast<std::uint8_t>(1 + nameEntries);
    PutLE16(out, 4, entry.Directory ? 0x10 : 0x20);
    const std::uint32_t stamp = (45u << 25) | (6u << 21) | (14u << 16) | (10u << 11) | (30u << 5);
    PutLE32(out, 8, stamp);
    PutLE32(out, 12, stamp);
    out[32] = 0xC0;
    out[33] = static_cast<std::uint8_t>(0x01 | (entry.Contiguous ? 0x02 : 0));
    out[35] = static_cast<std::uint8_t>(entry.Name.size());
    PutLE32(out, 32 + 8, static_cast<std::uint32_t>(entry.Size));
    PutLE32(out, 32 + 12, static_cast<std::uint32_t>(entry.Size >> 32));
    PutLE32(out, 32 + 20, entry.FirstCluster);
    PutLE32(out, 32 + 24, static_cast<std::uint32_t>(entry.Size));
    PutLE32(out, 32 + 28, static_cast<std::uint32_t>(entry.Size >> 32));
    for (std::size_t k = 0; k < nameEntries; ++k) {
        out[(2 + k) * 32] = 0xC1;
        for (std::size_t c = 0; c < 15 && k * 15 + c < entry.Name.size(); ++c)
            PutLE16(out, (2 + k) * 32 + 2 + c * 2, static_cast<std::uint8_t>(entry.Name[k * 15 + c]));
    }
    std::uint16_t sum = 0;
    for (std::size_t b = 0; b < out.size(); ++b)
        if (b != 2 && b != 3)
            sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + out[b]);
    PutLE16(out, 2, sum);
    if (entry.Deleted)
        for (std::size_t k = 0; k < out.size(); k += 32)
            out[k] &= 0x7F;
    return out;
}

TByteVector NtfsFileRecord(const TNtfsFile& file) {
    TByteVector r(1024, 0);
    std::memcpy(r.data(), "FILE", 4);
    PutLE16(r, 4, 0x30);  // update sequence array
    PutLE16(r, 6, 3);     // check value and two sectors
    PutLE16(r, 0x14, 0x38); // first attribute
    PutLE16(r, 0x16, (file.InUse ? 1 : 0) | (file.Directory ? 2 : 0));
    PutLE32(r, 0x1C, 1024);
    PutLE32(r, 0x2C, file.Record);
    std::size_t at = 0x38;
    const auto attribute = [&](std::uint32_t type, const TByteVector& body) {
        PutLE32(r, at, type);
        PutLE32(r, at + 4, static_cast<std::uint32_t>(body.size()));
        std::copy(body.begin() + 8, body.end(), r.begin() + static_cast<std::ptrdiff_t>(at + 8));
        at += body.size();
    };
    const std::uint64_t filetime = 133000000000000000ull; // in 2022
    // $STANDARD_INFORMATION, resident: four times.
    {
        TByteVector a(24 + 48, 0);
        PutLE32(a, 16, 48);
        PutLE16(a, 20, 24);
        for (int k = 0; k < 4; ++k) {
            PutLE32(a, 24 + 8 * static_cast<std::size_t>(k), static_cast<std::uint32_t>(filetime));
            PutLE32(a, 28 + 8 * static_cast<std::size_t>(k), static_cast<std::uint32_t>(filetime >> 32));
        }
        attribute(0x10, a);
    }
    // $FILE_NAME, resident, in the Win32 namespace.
    {
        const std::size_t valueLength = 66 + file.Name.size() * 2;
        TByteVector a(24 + ((valueLength + 7) / 8) * 8, 0);
        PutLE32(a, 16, static_cast<std::uint32_t>(valueLength));
        PutLE16(a, 20, 24);
        PutLE32(a, 24, static_cast<std::uint32_t>(file.Parent));
        PutLE16(a, 28, static_cast<std::uint32_t>(file.Parent >> 32));
        PutLE32(a, 24 + 48, static_cast<std::uint32_t>(file.Size));
        a[24 + 64] = static_cast<std::uint8_t>(file.Name.size());
        a[24 + 65] = 1;
        for (std::size_t c = 0; c < file.Name.size(); ++c)
            PutLE16(a, 24 + 66 + c * 2, static_cast<std::uint8_t>(file.Name[c]));
        attribute(0x30, a);
    }
    // $DATA, non-resident, with its run list.
    {
        TByteVector list;
        std::int64_t last = 0;
        std::uint64_t clusters = 0;
        for (const TNtfsRun& run : file.Runs) {
            const std::int64_t delta = run.Lcn - last;
            last = run.Lcn;
            clusters += run.Count;
            list.push_back(0x44); // four bytes of length, four of offset
            PutLE32(list, static_cast<std::uint32_t>(run.Count));
            PutLE32(list, static_cast<std::uint32_t>(delta));
        }
        list.push_back(0);
        TByteVector a(64 + ((list.size() + 7) / 8) * 8, 0);
        a[8] = 1; // non-resident
        PutLE32(a, 24, static_cast<std::uint32_t>(clusters == 0 ? 0 : clusters - 1));
        PutLE16(a, 32, 64);
        PutLE32(a, 40, static_cast<std::uint32_t>(clusters * 4096));
        PutLE32(a, 48, static_cast<std::uint32_t>(file.Size));
        PutLE32(a, 56, static_cast<std::uint32_t>(file.Size));
        std::copy(list.begin(), list.end(), a.begin() + 64);
        attribute(0x80, a);
    }
    PutLE32(r, at, 0xFFFFFFFFu);
    PutLE32(r, 0x18, static_cast<std::uint32_t>(at + 8));
    // The update sequence: each sector's last two bytes go to the array, the check value there.
    const std::uint16_t check = 0x0001;
    PutLE16(r, 0x30, check);
    for (std::size_t s = 0; s < 2; ++s) {
        const std::size_t tail = (s + 1) * 512 - 2;
        r[0x32 + s * 2] = r[tail];
        r[0x33 + s * 2] = r[tail + 1];
        PutLE16(r, tail, check);
    }
    if (file.TornSecondSector)
        PutLE16(r, 1022, 0x0002);
    return r;
}

} // namespace lumivore::testkit
