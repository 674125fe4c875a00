#include "testkit/TrailerBuilder.h"

#include "testkit/ByteWriter.h"

namespace lumivore::testkit {

TByteVector IptcRecords(const std::vector<std::string>& texts) {
    TByteVector out;
    std::uint8_t dataset = 5;
    for (const std::string& text : texts) {
        out.push_back(0x1C);
        out.push_back(2);
        out.push_back(dataset++);
        PutBE16(out, static_cast<std::uint32_t>(text.size()));
        Append(out, text.data(), text.size());
    }
    return out;
}

TByteVector AfcpTrailer(std::size_t trailerStart, const std::vector<TByteVector>& records) {
    TByteVector out;
    Append(out, "AXS!", 4);
    PutBE16(out, 1);
    PutBE16(out, static_cast<std::uint32_t>(records.size()));
    PutBE32(out, 0);
    std::size_t offset = trailerStart + 12 + 12 * records.size();
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::string id = i == 0 ? "IPTC" : "%SCC";
        Append(out, id.data(), 4);
        PutBE32(out, static_cast<std::uint32_t>(records[i].size()));
        PutBE32(out, static_cast<std::uint32_t>(offset));
        offset += records[i].size();
    }
    for (const TByteVector& r : records)
        Append(out, r);
    Append(out, "AXS!", 4);
    PutBE32(out, static_cast<std::uint32_t>(trailerStart));
    PutBE32(out, 0);
    return out;
}

TByteVector PhotoMechanicTrailer(const TByteVector& records) {
    TByteVector out = records;
    PutBE32(out, static_cast<std::uint32_t>(records.size()));
    Append(out, "cbipcbbl", 8);
    return out;
}

TByteVector FotoStationTrailer(const std::vector<TByteVector>& records, std::size_t padding) {
    TByteVector out(padding, 0);
    std::uint16_t type = 1;
    for (const TByteVector& r : records) {
        Append(out, r);
        PutBE16(out, type++);
        PutBE32(out, static_cast<std::uint32_t>(r.size() + 10));
        Append(out, TByteVector{0xA1, 0xB2, 0xC3, 0xD4});
    }
    return out;
}

TByteVector SamsungTrailer(const std::vector<TByteVector>& blocks) {
    TByteVector out;
    std::vector<std::size_t> starts;
    for (const TByteVector& b : blocks) {
        starts.push_back(out.size());
        Append(out, b);
    }
    const std::size_t dir = out.size();
    Append(out, "SEFH", 4);
    PutLE32(out, 107);
    PutLE32(out, static_cast<std::uint32_t>(blocks.size()));
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        PutLE16(out, 0);
        PutLE16(out, static_cast<std::uint32_t>(0x0A30 + i));
        PutLE32(out, static_cast<std::uint32_t>(dir - starts[i]));
        PutLE32(out, static_cast<std::uint32_t>(blocks[i].size()));
    }
    PutLE32(out, static_cast<std::uint32_t>(out.size() - dir));
    Append(out, "SEFT", 4);
    return out;
}

TByteVector MinimalMp4(std::size_t mdatBytes) {
    TByteVector out;
    PutBE32(out, 20);
    Append(out, "ftypisom", 8);
    PutBE32(out, 0x200);
    Append(out, "isom", 4);
    PutBE32(out, static_cast<std::uint32_t>(mdatBytes + 8));
    Append(out, "mdat", 4);
    for (std::size_t i = 0; i < mdatBytes; ++i)
        out.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    return out;
}

TByteVector MotionPhotoXmp(std::uint64_t videoBytes, std::uint64_t primaryPadding,
                           const std::vector<TContainerItem>& items) {
    std::string text = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF><rdf:Description rdf:about=\"\"";
    if (videoBytes > 0)
        text += " GCamera:MicroVideo=\"1\" GCamera:MicroVideoVersion=\"1\" GCamera:MicroVideoOffset=\"" +
                std::to_string(videoBytes) + "\"";
    text += ">";
    if (!items.empty()) {
        text += "<Container:Directory><rdf:Seq>";
        text += "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Mime=\"image/jpeg\" "
                "Item:Semantic=\"Primary\" Item:Length=\"0\" Item:Padding=\"" +
                std::to_string(primaryPadding) + "\"/></rdf:li>";
        for (const TContainerItem& item : items)
            text += "<rdf:li rdf:parseType=\"Resource\"><Container:Item Item:Mime=\"" + item.Mime +
                    "\" Item:Semantic=\"MotionPhoto\" Item:Length=\"" + std::to_string(item.Length) + "\"/></rdf:li>";
        text += "</rdf:Seq></Container:Directory>";
    }
    text += "</rdf:Description></rdf:RDF></x:xmpmeta>";
    TByteVector out;
    const char id[] = "http://ns.adobe.com/xap/1.0/";
    Append(out, id, sizeof id); // with its terminating zero
    Append(out, text.data(), text.size());
    return out;
}

} // namespace lumivore::testkit
