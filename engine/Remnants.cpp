#include "engine/Remnants.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>

#include "device/DskLib.h"
#include "engine/FatFolderClusters.h"
#include "engine/FileTypes.h"
#include "engine/Fragments.h"
#include "formats/JpegEntropy.h"
#include "formats/LengthPolicy.h"
#include "formats/Measure.h"
#include "formats/StreamMeasure.h"

namespace lumivore {

namespace {

constexpr std::uint64_t kSector = 512;
// Folder levels followed up to the root: deeper paths are loops or damage.
constexpr std::size_t kMaxDepth = 32;
// The largest cluster of these file systems that a card uses (exFAT allows more, cards do not).
constexpr std::uint64_t kLargestCluster = std::uint64_t{2} << 20;
// Boot sectors kept over a scan: a disk holds a few volumes, each with a backup.
constexpr std::size_t kMaxBoots = 64;
// The root folder's number in the folder maps below.
constexpr std::uint64_t kRoot = 0;

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The extensions each type's files carry, and the families whose members stand for each other.
const std::vector<std::string>& ExtensionsOf(TFileType type) {
    static const std::vector<std::string> none;
    static const std::map<TFileType, std::vector<std::string>> table = {
        {TFileType::Bmp, {"BMP", "DIB"}},
        {TFileType::Jpeg, {"JPG", "JPEG", "JPE", "JFIF", "JFI", "THM", "MPO"}},
        {TFileType::Gif, {"GIF"}},
        {TFileType::Png, {"PNG"}},
        {TFileType::RealMedia, {"RM", "RA", "RAM", "RMVB"}},
        {TFileType::Wav, {"WAV"}},
        {TFileType::Avi, {"AVI"}},
        {TFileType::Cdr, {"CDR"}},
        {TFileType::Crw, {"CRW"}},
        {TFileType::X3f, {"X3F"}},
        {TFileType::Mrw, {"MRW"}},
        {TFileType::Raf, {"RAF"}},
        {TFileType::Webp, {"WEBP"}},
    };
    const auto it = table.find(type);
    return it == table.end() ? none : it->second;
}

const std::vector<std::string> kTiffFamily = {"TIF", "TIFF", "DNG", "CR2", "NEF", "NRW", "ORF", "PEF", "ARW", "SR2",
                                              "SRF", "DCR", "KDC", "MEF", "RAW", "RW2", "RWL", "3FR", "ERF", "MOS",
                                              "IIQ", "SRW"};
const std::vector<std::string> kBoxFamily = {"HEIC", "HEIF", "HIF", "AVIF", "MP4", "M4V", "MOV", "QT", "3GP", "3G2", "CR3"};

bool IsDcfFolderName(const std::string& name) {
    // Three digits from 100 and five letters, digits or underscores: "100CANON".
    if (name.size() != 8 || name[0] < '1' || name[0] > '9' || !std::isdigit(static_cast<unsigned char>(name[1])) ||
        !std::isdigit(static_cast<unsigned char>(name[2])))
        return false;
    return std::all_of(name.begin() + 3, name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
}

// A folder as the entries describe it: its name (from its parent's entry), its parent, and
// whether that name had to be guessed.
struct TFolder {
    std::string Name;
    bool NameKnown = false;
    bool NameLive = false;
    bool Guessed = false;
    std::uint64_t Parent = 0;
    bool ParentKnown = false;
    bool HoldsDcf = false; // holds a folder named as cameras name theirs
};

// A file entry with where it was found: its volume and its folder.
struct TPlaced {
    TFsEntry Entry;
    std::size_t Volume = 0;
    std::uint64_t Folder = 0;
    bool FolderKnown = false;
};

class TFolderTree {
public:
    std::map<std::uint64_t, TFolder> Folders;

    void Name(std::uint64_t id, const TFsEntry& e) {
        if (id == kRoot)
            return;
        TFolder& f = Folders[id];
        // A live entry's name before a deleted one's, a long one before a guessed one.
        const bool better = !f.NameKnown || (!e.Deleted && !f.NameLive) || (f.Guessed && !e.FirstGuessed);
        if (!better)
            return;
        f.Name = e.Name;
        f.NameKnown = true;
        f.NameLive = !e.Deleted;
        f.Guessed = e.FirstGuessed;
    }
    void Parent(std::uint64_t id, std::uint64_t parent) {
        if (id == kRoot || id == parent)
            return;
        TFolder& f = Folders[id];
        if (f.ParentKnown)
            return;
        f.Parent = parent;
        f.ParentKnown = true;
    }

    // The path of a folder from the root; false when its chain breaks before the root.
    bool Path(std::uint64_t id, std::vector<std::string>& out) const {
        out.clear();
        std::set<std::uint64_t> seen;
        while (id != kRoot) {
            if (out.size() >= kMaxDepth || !seen.insert(id).second)
                return false;
            const auto it = Folders.find(id);
            if (it == Folders.end() || !it->second.ParentKnown)
                return false;
            out.push_back(FolderName(id, it->second));
            id = it->second.Parent;
        }
        std::reverse(out.begin(), out.end());
        return true;
    }

private:
    static std::string FolderName(std::uint64_t id, const TFolder& f) {
        // A camera's folders stand in "DCIM" at the root; a format loses the root's entries, a
        // deletion the name's first character.
        const bool dcimLike = f.Guessed && f.Name.size() == 4 && Upper(f.Name.substr(1)) == "CIM";
        if (f.ParentKnown && f.Parent == kRoot && f.HoldsDcf && (!f.NameKnown || dcimLike))
            return "DCIM";
        if (f.NameKnown) {
            if (f.Guessed && f.Name.size() == 8 && f.Name[0] == '_' && IsDcfFolderName("1" + f.Name.substr(1)))
                return "1" + f.Name.substr(1);
            return f.Name;
        }
        return "folder-" + std::to_string(id);
    }
};

void MarkDcf(TFolderTree& tree) {
    for (auto& [id, f] : tree.Folders) {
        std::string name = f.Name;
        if (f.Guessed && name.size() == 8)
            name[0] = '1';
        if (f.NameKnown && f.ParentKnown && IsDcfFolderName(Upper(name))) {
            const auto parent = tree.Folders.find(f.Parent);
            if (parent != tree.Folders.end())
                parent->second.HoldsDcf = true;
        }
    }
}

} // namespace

const char* RemnantKindText(std::uint8_t kind) {
    switch (static_cast<TFsKind>(kind)) {
    case TFsKind::Fat: return "fat";
    case TFsKind::ExFat: return "exfat";
    case TFsKind::Ntfs: return "ntfs";
    case TFsKind::None: break;
    }
    return "";
}

std::string OriginalFolderText(const TFoundFile& f) {
    if (f.OriginalName.empty())
        return {};
    if (!f.FolderKnown)
        return "?";
    std::string text;
    for (const std::string& part : f.OriginalFolder)
        text += (text.empty() ? "" : "/") + part;
    return text;
}

std::string OriginalPathText(const TFoundFile& f) {
    if (f.OriginalName.empty())
        return {};
    const std::string folder = f.FolderKnown ? OriginalFolderText(f) : std::string();
    return folder.empty() ? f.OriginalName : folder + "/" + f.OriginalName;
}

bool ExtensionAgrees(const std::string& name, const std::string& ext) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot + 1 >= name.size())
        return false;
    const std::string have = Upper(name.substr(dot + 1));
    const TFileType type = FileTypeOf(ext);
    const auto in = [&](const std::vector<std::string>& list) {
        return std::find(list.begin(), list.end(), have) != list.end();
    };
    if (have == Upper(ext))
        return true;
    switch (TraitsOf(type).Measure) {
    case TLengthMeasure::Tiff: return in(kTiffFamily);
    case TLengthMeasure::IsoMedia: return in(kBoxFamily);
    default: break;
    }
    return in(ExtensionsOf(type));
}

bool EntrySizeAgrees(const TFoundFile& f, std::uint64_t size, std::uint64_t nextStart, bool& useEntry) {
    useEntry = false;
    if (size == 0 || f.StartSector < 0 || size > static_cast<std::uint64_t>(LargestLengthFor(f.Ext)))
        return false;
    const std::uint64_t start = static_cast<std::uint64_t>(f.StartSector) * kSector;
    // A file of its own that begins inside the entry's extent says the entry is not this file's.
    const bool clear = nextStart == UINT64_MAX || (nextStart > start && size <= nextStart - start);
    if (f.Reassembled())
        return f.Length >= 0 && size == static_cast<std::uint64_t>(f.Length);
    const bool known = LengthKnownFor(f.Ext, f.Length);
    if (known && size == static_cast<std::uint64_t>(f.Length))
        return true;
    const bool guessed = !known || f.ClaimFrom >= 0 || f.ClaimedLength >= 0 || TraitsOf(f.Type()).GuessedLength ||
                         f.Incomplete;
    if (!clear)
        return false;
    if (guessed || size > static_cast<std::uint64_t>(f.Length)) {
        // Longer than a walked measure: what follows the end marker (a trailer, padding) and
        // belongs to the file; or the length was never walked: the entry settles it.
        useEntry = true;
        return true;
    }
    return false; // shorter than a walked structure: the entry describes another file
}

bool PiecesReadAsType(TDrive& drive, const TFoundFile& f, const std::vector<TPiece>& pieces, std::uint64_t size,
                      const std::function<bool(std::uint64_t, std::uint32_t, std::uint8_t*)>& held) {
    if (pieces.empty() || size == 0)
        return false;
    TPieceReader reader(drive, pieces, 64);
    if (held)
        reader.SetHeld(held);
    if (reader.Size() != size)
        return false;
    if (f.Type() == TFileType::Jpeg) {
        if (size >= static_cast<std::uint64_t>(kFileLengthLimit))
            return false;
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
        if (!reader.ReadAt(0, bytes.data(), bytes.size()))
            return false;
        const TJpegCheck check = CheckJpeg(TBytes(bytes.data(), bytes.size()));
        return check == TJpegCheck::Clean;
    }
    std::unique_ptr<TStreamMeasure> measure = StartStreamMeasure(f);
    if (!measure)
        return false;
    std::uint64_t at = 0;
    while (at < size && measure->Status() == TMeasureStatus::Open) {
        const TBytes span = reader.Span(at);
        if (span.empty())
            return false;
        measure->Feed(span);
        at += span.size();
    }
    if (measure->Status() == TMeasureStatus::Open)
        measure->Finish();
    const std::int64_t length = measure->Length();
    return measure->Status() == TMeasureStatus::Ended && length > 0 && static_cast<std::uint64_t>(length) <= size;
}

void TRemnants::Clear() {
    arena_.clear();
    arena_.shrink_to_fit();
    kept_.clear();
    boots_.clear();
    partial_.clear();
    partialSize_ = 0;
}

void TRemnants::Keep(std::uint64_t byte, TFsKind kind, const std::uint8_t* data, std::size_t size) {
    if (arena_.size() + size > kMaxKeptBytes)
        return;
    kept_.push_back({byte, kind, arena_.size(), static_cast<std::uint32_t>(size)});
    arena_.insert(arena_.end(), data, data + size);
}

void TRemnants::Block(TBytes block, std::uint64_t blockByte) {
    const std::size_t sectors = block.size() / kSector;
    std::size_t i = 0;
    // The rest of a record the last block began.
    if (partialSize_ > 0) {
        const std::size_t missing = partialSize_ - partial_.size();
        if (blockByte == partialByte_ + partial_.size() && block.size() >= missing) {
            partial_.insert(partial_.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(missing));
            Keep(partialByte_, TFsKind::Ntfs, partial_.data(), partial_.size());
            i = missing / kSector;
        }
        partial_.clear();
        partialSize_ = 0;
    }
    for (; i < sectors; ++i) {
        const std::uint8_t* s = block.data() + i * kSector;
        const std::uint64_t byte = blockByte + i * kSector;
        if (s[0] == 'F' && s[1] == 'I' && s[2] == 'L' && s[3] == 'E') {
            const TBytes rest = block.subspan(i * kSector);
            const std::uint32_t size = NtfsRecordSize(rest.first(std::min<std::size_t>(rest.size(), 512)));
            if (size == 0)
                continue;
            if (rest.size() >= size) {
                Keep(byte, TFsKind::Ntfs, s, size);
                i += size / kSector - 1;
            } else {
                partial_.assign(rest.begin(), rest.end());
                partialByte_ = byte;
                partialSize_ = size;
                break;
            }
            continue;
        }
        if (s[510] == 0x55 && s[511] == 0xAA) {
            TFsVolume v;
            if (boots_.size() < kMaxBoots && ReadFsBoot(TBytes(s, kSector), byte, v) &&
                std::find(boots_.begin(), boots_.end(), v) == boots_.end()) {
                boots_.push_back(v);
                continue;
            }
        }
        if (FatSectorPlausible(s))
            Keep(byte, TFsKind::Fat, s, kSector);
        else if (ExFatSectorPlausible(s))
            Keep(byte, TFsKind::ExFat, s, kSector);
    }
}

namespace {

// Everything Apply works on, kept together.
class TResolver {
public:
    TResolver(std::vector<TFsVolume> boots, TFoundFileList& files) : boots_(std::move(boots)), files_(files) {
        for (std::size_t i = 0; i < files_.size(); ++i)
            if (files_[i].StartSector >= 0 && !files_[i].Nested())
                byStart_.emplace(static_cast<std::uint64_t>(files_[i].StartSector) * kSector, i);
        // Where each file's own extent must end at the latest: the next start that is no part
        // of it.
        std::vector<std::pair<std::uint64_t, std::int64_t>> starts;
        for (const TFoundFile& f : files_)
            if (f.StartSector >= 0)
                starts.emplace_back(static_cast<std::uint64_t>(f.StartSector) * kSector, f.NestedIn);
        std::sort(starts.begin(), starts.end());
        next_.assign(files_.size(), UINT64_MAX);
        for (std::size_t i = 0; i < files_.size(); ++i) {
            const TFoundFile& f = files_[i];
            if (f.StartSector < 0)
                continue;
            const std::uint64_t start = static_cast<std::uint64_t>(f.StartSector) * kSector;
            auto it = std::upper_bound(starts.begin(), starts.end(), std::make_pair(start, INT64_MAX));
            while (it != starts.end() && it->second == f.StartSector)
                ++it;
            if (it != starts.end())
                next_[i] = it->first;
        }
    }

    struct TSector {
        std::uint64_t Byte;
        TFsKind Kind;
        const std::uint8_t* Data;
        std::uint32_t Size;
    };
    std::vector<TSector> Sectors;
    std::vector<TPlaced> Placed;
    std::vector<TFsVolume> Volumes;
    std::vector<TFolderTree> Trees; // by volume

    // The found file an entry's first cluster maps to under a volume, whose type agrees.
    const TFoundFile* FileAt(const TFsVolume& v, const TFsEntry& e, std::size_t* index = nullptr) const {
        if (e.FirstCluster == 0 || e.Directory || e.FirstCluster > (UINT64_MAX - v.Base) / v.ClusterBytes)
            return nullptr;
        const auto it = byStart_.find(v.ByteOf(e.FirstCluster));
        if (it == byStart_.end() || !ExtensionAgrees(e.Name, files_[it->second].Ext))
            return nullptr;
        if (index)
            *index = it->second;
        return &files_[it->second];
    }

    // Volumes of a kind: those its boot sectors give, those the FAT folders' "." entries give,
    // and those the entries' first clusters give against the found files' starts; each scored
    // by the entries it maps onto found files, the best first.
    void FindVolumes(TFsKind kind) {
        std::vector<TFsEntry> entries;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> dots; // (byte, self cluster)
        for (const TSector& s : Sectors) {
            if (s.Kind != kind)
                continue;
            if (kind == TFsKind::Fat) {
                const TFatFolderBytes p = ParseFatFolder(TBytes(s.Data, s.Size));
                if (p.DotEntries && p.Self >= 2)
                    dots.emplace_back(s.Byte, p.Self);
                entries.insert(entries.end(), p.Entries.begin(), p.Entries.end());
            } else if (kind == TFsKind::ExFat) {
                const TExFatFolderBytes p = ParseExFatFolder(TBytes(s.Data, s.Size));
                entries.insert(entries.end(), p.Entries.begin(), p.Entries.end());
            } else {
                TFsEntry e;
                if (ParseNtfsRecord(TBytes(s.Data, s.Size), e))
                    entries.push_back(std::move(e));
            }
        }
        if (entries.empty() && dots.empty())
            return;
        std::vector<TFsVolume> candidates;
        for (const TFsVolume& b : boots_)
            if (b.Kind == kind)
                candidates.push_back(b);
        std::map<std::pair<std::uint64_t, std::uint64_t>, std::size_t> votes; // (cluster bytes, base)
        for (std::uint64_t cb = kSector; cb <= (kind == TFsKind::Fat ? std::uint64_t{65536} : kLargestCluster); cb *= 2)
            for (const auto& [byte, self] : dots)
                if (self <= byte / cb)
                    ++votes[{cb, byte - self * cb}];
        // Entries whose size equals a found file's length, with an agreeing extension: where
        // their first cluster would put the volume's clusters.
        std::multimap<std::int64_t, std::size_t> byLength;
        for (std::size_t i = 0; i < files_.size(); ++i)
            if (files_[i].Length > 0 && !files_[i].Nested())
                byLength.emplace(files_[i].Length, i);
        for (const TFsEntry& e : entries) {
            if (e.Directory || e.FirstCluster == 0 || e.Size == 0)
                continue;
            const auto [from, to] = byLength.equal_range(static_cast<std::int64_t>(e.Size));
            std::size_t pairs = 0;
            for (auto it = from; it != to && pairs < 16; ++it, ++pairs) {
                const TFoundFile& f = files_[it->second];
                if (!ExtensionAgrees(e.Name, f.Ext))
                    continue;
                const std::uint64_t byte = static_cast<std::uint64_t>(f.StartSector) * kSector;
                for (std::uint64_t cb = kSector; cb <= kLargestCluster; cb *= 2)
                    if (e.FirstCluster <= byte / cb)
                        ++votes[{cb, byte - e.FirstCluster * cb}];
            }
        }
        for (const auto& [key, count] : votes) {
            if (count < 2)
                continue;
            TFsVolume v;
            v.Kind = kind;
            v.ClusterBytes = key.first;
            v.Base = key.second;
            candidates.push_back(v);
        }
        // Scores: entries that map onto a found file, "." entries that sit where they say.
        std::vector<std::pair<std::size_t, std::size_t>> scored; // (score, candidate)
        for (std::size_t c = 0; c < candidates.size(); ++c) {
            const TFsVolume& v = candidates[c];
            std::size_t score = 0;
            for (const TFsEntry& e : entries)
                score += FileAt(v, e) != nullptr;
            for (const auto& [byte, self] : dots)
                score += v.Base + self * v.ClusterBytes == byte;
            if (score > 0 || (v.FromBoot && entries.size() + dots.size() > 0))
                scored.emplace_back(score, c);
        }
        std::stable_sort(scored.begin(), scored.end(), [&](const auto& a, const auto& b) {
            if (a.first != b.first)
                return a.first > b.first;
            return candidates[a.second].FromBoot && !candidates[b.second].FromBoot;
        });
        // The best; then any other that scores and lies apart from those taken (another
        // partition), never two readings of the same clusters.
        std::vector<TFsVolume> taken;
        for (const auto& [score, c] : scored) {
            const TFsVolume& v = candidates[c];
            if (!taken.empty() && (score < 2 || v.End == 0))
                continue;
            const bool apart = std::all_of(taken.begin(), taken.end(), [&](const TFsVolume& t) {
                return t.End != 0 && v.End != 0 && (v.Start >= t.End || v.End <= t.Start);
            });
            if (!taken.empty() && !apart)
                continue;
            if (taken.empty() && score == 0 && !v.FromBoot)
                continue;
            taken.push_back(v);
            if (taken.size() >= 8)
                break;
        }
        for (const TFsVolume& v : taken)
            Volumes.push_back(v);
    }

    // The volume of a kind whose bytes hold device byte at: the one that starts last before it.
    std::size_t VolumeOf(TFsKind kind, std::uint64_t at) const {
        std::size_t best = SIZE_MAX;
        for (std::size_t v = 0; v < Volumes.size(); ++v) {
            const TFsVolume& vol = Volumes[v];
            if (vol.Kind != kind)
                continue;
            if (vol.End != 0 && (at < vol.Start || at >= vol.End))
                continue;
            if (best == SIZE_MAX || (vol.Start <= at && vol.Start > Volumes[best].Start))
                best = v;
        }
        return best;
    }

    void ReadFat(std::size_t vol) {
        const TFsVolume& v = Volumes[vol];
        TFolderTree& tree = Trees[vol];
        // Sectors by cluster (the FAT12/16 root's fixed area as cluster 0).
        std::map<std::uint64_t, std::vector<const TSector*>> clusters;
        for (const TSector& s : Sectors) {
            if (s.Kind != TFsKind::Fat || VolumeOf(TFsKind::Fat, s.Byte) != vol)
                continue;
            if (v.RootEnd > v.RootStart && s.Byte >= v.RootStart && s.Byte < v.RootEnd)
                clusters[kRoot].push_back(&s);
            else if (s.Byte >= v.Base + 2 * v.ClusterBytes)
                clusters[(s.Byte - v.Base) / v.ClusterBytes].push_back(&s);
        }
        std::map<std::uint64_t, detail::TFatCluster> parsed;
        const std::uint64_t sectorsPerCluster = v.ClusterBytes / kSector;
        for (auto& [cluster, list] : clusters) {
            std::vector<std::uint8_t> bytes;
            std::uint64_t first = list.front()->Byte;
            bool gap = false;
            for (const TSector* s : list) {
                if (s->Byte != first + bytes.size()) {
                    gap = true;
                    break; // the bytes after a gap cannot be placed in the folder's order
                }
                bytes.insert(bytes.end(), s->Data, s->Data + s->Size);
            }
            detail::TFatCluster p;
            p.Folder = ParseFatFolder(TBytes(bytes.data(), bytes.size()));
            const std::uint64_t clusterStart = cluster == kRoot && v.RootEnd > v.RootStart ? v.RootStart : v.ByteOf(cluster);
            p.Whole = !gap && first == clusterStart && list.size() == sectorsPerCluster;
            if (cluster == kRoot || cluster == v.RootCluster) {
                p.Known = true;
                p.Id = kRoot;
            } else if (p.Folder.DotEntries && p.Folder.Self == cluster && first == clusterStart) {
                p.Known = true;
                p.Id = cluster;
                tree.Parent(cluster, p.Folder.Parent == v.RootCluster ? kRoot : p.Folder.Parent);
            }
            parsed.emplace(cluster, std::move(p));
        }
        detail::JoinFolderClusters(parsed, v.ClusterBytes);
        // Deleted short names whose first character was lost, guessed again from the names of
        // the whole folder.
        std::map<std::pair<bool, std::uint64_t>, std::vector<TFsEntry*>> byFolder;
        for (auto& [cluster, p] : parsed)
            for (TFsEntry& e : p.Folder.Entries)
                byFolder[{p.Known, p.Known ? p.Id : cluster}].push_back(&e);
        for (auto& [key, list] : byFolder)
            GuessFirstFromSiblings(list);
        for (auto& [cluster, p] : parsed)
            for (TFsEntry& e : p.Folder.Entries) {
                if (e.Directory) {
                    if (e.FirstCluster != 0 && (!e.Deleted || tree.Folders.count(e.FirstCluster) != 0 ||
                                                parsed.count(e.FirstCluster) != 0))
                        tree.Name(e.FirstCluster, e);
                    continue;
                }
                Placed.push_back({std::move(e), vol, p.Id, p.Known});
            }
    }

    void ReadExFat(std::size_t vol) {
        const TFsVolume& v = Volumes[vol];
        TFolderTree& tree = Trees[vol];
        std::map<std::uint64_t, std::vector<const TSector*>> clusters;
        for (const TSector& s : Sectors)
            if (s.Kind == TFsKind::ExFat && VolumeOf(TFsKind::ExFat, s.Byte) == vol && s.Byte >= v.Base + 2 * v.ClusterBytes)
                clusters[(s.Byte - v.Base) / v.ClusterBytes].push_back(&s);
        std::map<std::uint64_t, TExFatFolderBytes> parsed;
        for (auto& [cluster, list] : clusters) {
            std::vector<std::uint8_t> bytes;
            const std::uint64_t first = list.front()->Byte;
            for (const TSector* s : list) {
                if (s->Byte != first + bytes.size())
                    break;
                bytes.insert(bytes.end(), s->Data, s->Data + s->Size);
            }
            parsed.emplace(cluster, ParseExFatFolder(TBytes(bytes.data(), bytes.size())));
        }
        // Which folder each cluster belongs to: a folder's entry names its first cluster, and
        // all its clusters when they lie in one run.
        std::map<std::uint64_t, std::uint64_t> folderOf;
        if (v.RootCluster >= 2)
            folderOf[v.RootCluster] = kRoot;
        for (const auto& [cluster, p] : parsed) {
            if (p.RootEntries)
                folderOf[cluster] = kRoot;
            for (const TFsEntry& e : p.Entries) {
                if (!e.Directory || e.FirstCluster < 2)
                    continue;
                const std::uint64_t count =
                    e.Contiguous ? std::min<std::uint64_t>((e.Size + v.ClusterBytes - 1) / v.ClusterBytes, 4096) : 1;
                for (std::uint64_t k = 0; k < std::max<std::uint64_t>(count, 1); ++k)
                    folderOf.emplace(e.FirstCluster + k, e.FirstCluster);
            }
        }
        for (auto& [cluster, p] : parsed) {
            const auto it = folderOf.find(cluster);
            const bool known = it != folderOf.end();
            const std::uint64_t id = known ? it->second : 0;
            for (TFsEntry& e : p.Entries) {
                if (e.Directory) {
                    if (e.FirstCluster >= 2) {
                        tree.Name(e.FirstCluster, e);
                        if (known)
                            tree.Parent(e.FirstCluster, id);
                    }
                    continue;
                }
                Placed.push_back({std::move(e), vol, id, known});
            }
        }
    }

    void ReadNtfs(std::size_t vol) {
        TFolderTree& tree = Trees[vol];
        // The records by number; a record in use before a deleted copy of the same number.
        std::map<std::uint64_t, TFsEntry> records;
        for (const TSector& s : Sectors) {
            if (s.Kind != TFsKind::Ntfs || VolumeOf(TFsKind::Ntfs, s.Byte) != vol)
                continue;
            TFsEntry e;
            if (!ParseNtfsRecord(TBytes(s.Data, s.Size), e))
                continue;
            auto [it, inserted] = records.emplace(e.Record, e);
            if (!inserted && it->second.Deleted && !e.Deleted)
                it->second = std::move(e);
        }
        constexpr std::uint64_t kNtfsRoot = 5;
        for (auto& [number, e] : records) {
            const std::uint64_t parent = e.Parent == kNtfsRoot ? kRoot : e.Parent;
            if (e.Directory) {
                if (number != kNtfsRoot) {
                    tree.Name(number, e);
                    tree.Parent(number, parent);
                }
                continue;
            }
            Placed.push_back({std::move(e), vol, parent, true});
        }
    }

    TFoundFileList& Files() { return files_; }
    std::uint64_t NextStart(std::size_t i) const { return next_[i]; }

private:
    std::vector<TFsVolume> boots_;
    TFoundFileList& files_;
    std::map<std::uint64_t, std::size_t> byStart_;
    std::vector<std::uint64_t> next_;
};

} // namespace

TRemnantStats TRemnants::Apply(TFoundFileList& files, const TPieceCheck& check) const {
    TRemnantStats stats;
    stats.KeptSectors = kept_.size();
    if (kept_.empty())
        return stats;
    TResolver r(boots_, files);
    r.Sectors.reserve(kept_.size());
    for (const TKept& k : kept_)
        r.Sectors.push_back({k.Byte, k.Kind, arena_.data() + k.Offset, k.Size});
    for (TFsKind kind : {TFsKind::Fat, TFsKind::ExFat, TFsKind::Ntfs})
        r.FindVolumes(kind);
    stats.Volumes = r.Volumes;
    r.Trees.resize(r.Volumes.size());
    for (std::size_t v = 0; v < r.Volumes.size(); ++v) {
        switch (r.Volumes[v].Kind) {
        case TFsKind::Fat: r.ReadFat(v); break;
        case TFsKind::ExFat: r.ReadExFat(v); break;
        case TFsKind::Ntfs: r.ReadNtfs(v); break;
        case TFsKind::None: break;
        }
    }
    for (TFolderTree& tree : r.Trees)
        MarkDcf(tree);
    stats.Entries = r.Placed.size();

    // Each found file takes the best entry that agrees with it: one whose size is the measured
    // length before one that settles a length, a live one before a deleted one, a long name
    // before a short one.
    struct TChoice {
        int Score = -1;
        const TPlaced* Placed = nullptr;
        bool UseEntry = false;
        std::vector<TPiece> Pieces;
    };
    std::map<std::size_t, TChoice> choices;
    for (const TPlaced& p : r.Placed) {
        const TFsVolume& v = r.Volumes[p.Volume];
        std::size_t index = 0;
        if (r.FileAt(v, p.Entry, &index) == nullptr)
            continue;
        TFoundFile& f = files[index];
        if (!f.OriginalName.empty())
            continue;
        bool useEntry = false;
        std::vector<TPiece> pieces;
        // An NTFS run list of more than one run: the file lies in pieces, and the length the
        // scan measured over its first run followed by foreign data says nothing; the pieces
        // must read as a file of its type instead.
        std::uint64_t onDevice = 0;
        bool sparse = false;
        for (const TClusterRun& run : p.Entry.Runs) {
            if (run.Lcn < 0) {
                sparse = true;
                break;
            }
            const std::uint64_t at = v.ByteOf(static_cast<std::uint64_t>(run.Lcn));
            const std::uint64_t want = std::min(run.Count * v.ClusterBytes, p.Entry.Size - std::min(p.Entry.Size, onDevice));
            if (want == 0)
                break;
            pieces.push_back({static_cast<std::int64_t>(at), static_cast<std::int64_t>(want)});
            onDevice += want;
        }
        const bool inPieces = !sparse && pieces.size() > 1 && onDevice == p.Entry.Size;
        if (inPieces) {
            if (f.Reassembled() && f.Pieces != pieces)
                continue;
            if (!f.Reassembled() && (!check || !check(f, pieces, p.Entry.Size)))
                continue;
        } else {
            pieces.clear();
            if (!EntrySizeAgrees(f, p.Entry.Size, r.NextStart(index), useEntry))
                continue;
        }
        const bool exact = inPieces || static_cast<std::int64_t>(p.Entry.Size) == f.Length;
        const int score = (exact ? 8 : 0) + (!p.Entry.Deleted ? 4 : 0) + (p.FolderKnown ? 2 : 0) +
                          (p.Entry.LongName && !p.Entry.FirstGuessed ? 1 : 0);
        TChoice& c = choices[index];
        if (score > c.Score) {
            c.Score = score;
            c.Placed = &p;
            c.UseEntry = useEntry;
            c.Pieces = std::move(pieces);
        }
    }
    for (auto& [index, c] : choices) {
        TFoundFile& f = files[index];
        const TPlaced& p = *c.Placed;
        f.OriginalName = p.Entry.Name;
        f.FolderKnown = p.FolderKnown && r.Trees[p.Volume].Path(p.Folder, f.OriginalFolder);
        if (!f.FolderKnown)
            f.OriginalFolder.clear();
        f.NameSource = static_cast<std::uint8_t>(p.Entry.Kind);
        f.NameDeleted = p.Entry.Deleted;
        f.EntrySize = static_cast<std::int64_t>(p.Entry.Size);
        f.EntryModified = p.Entry.Modified;
        f.EntryCreated = p.Entry.Created;
        f.UseEntrySize = c.UseEntry;
        if (!c.Pieces.empty() && !f.Reassembled()) {
            f.Pieces = std::move(c.Pieces);
            f.Incomplete = false;
            f.Length = f.EntrySize;
            ++stats.Pieces;
        }
        ++stats.Named;
        stats.EntrySizes += f.UseEntrySize;
    }
    return stats;
}

} // namespace lumivore
