// Joins the clusters of a FAT folder that a format or a deletion left without a chain.
#include "engine/FatFolderClusters.h"

#include <limits>
#include <set>
#include <utility>
#include <vector>

namespace lumivore::detail {

namespace {

using TPairs = std::vector<std::pair<std::uint64_t, std::uint64_t>>; // (cluster, the one it goes on in)

// The pairs whose two clusters stand in no other pair: only those are linked.
TPairs OnlyOneEachSide(const TPairs& pairs) {
    std::map<std::uint64_t, int> fromCount, toCount;
    for (const auto& [x, y] : pairs) {
        ++fromCount[x];
        ++toCount[y];
    }
    TPairs out;
    for (const auto& [x, y] : pairs)
        if (fromCount[x] == 1 && toCount[y] == 1)
            out.emplace_back(x, y);
    return out;
}

} // namespace

void JoinFolderClusters(std::map<std::uint64_t, TFatCluster>& clusters, std::uint64_t clusterBytes) {
    // A folder's cluster that ends in the middle of a long name goes on in the cluster that
    // begins with the rest of it: a short entry whose checksum the pieces carry. Linked only
    // where exactly one cluster fits on either side.
    std::map<std::uint64_t, std::uint64_t> links; // cluster -> the cluster its folder goes on in
    {
        // Heads by the checksum their name's pieces must carry; a deleted short entry with
        // no piece before it could carry any.
        std::multimap<int, std::uint64_t> heads;
        for (auto& [y, py] : clusters) {
            if (py.Known || py.Folder.DotEntries || !py.Folder.LeadingShort || py.Folder.Entries.empty())
                continue;
            const TFsEntry& first = py.Folder.Entries.front();
            const int key = !py.Folder.Leading.empty() ? py.Folder.Leading.front().Checksum
                            : first.Deleted             ? -1
                                                        : first.ShortChecksum;
            heads.emplace(key, y);
        }
        TPairs pairs; // (open cluster, head cluster)
        for (auto& [x, px] : clusters) {
            if (!px.Whole || px.Folder.Ended || px.Folder.Trailing.empty())
                continue;
            for (int key : {static_cast<int>(px.Folder.Trailing.front().Checksum), -1}) {
                const auto [from, to] = heads.equal_range(key);
                for (auto it = from; it != to; ++it) {
                    const TFatCluster& py = clusters[it->second];
                    std::vector<TLfnPiece> pieces = px.Folder.Trailing;
                    pieces.insert(pieces.end(), py.Folder.Leading.begin(), py.Folder.Leading.end());
                    TFsEntry trial = py.Folder.Entries.front();
                    if (it->second != x && TakeLongName(trial, pieces))
                        pairs.emplace_back(x, it->second);
                }
            }
        }
        for (const auto& [x, y] : OnlyOneEachSide(pairs)) {
            TFatCluster& px = clusters[x];
            TFatCluster& py = clusters[y];
            std::vector<TLfnPiece> pieces = px.Folder.Trailing;
            pieces.insert(pieces.end(), py.Folder.Leading.begin(), py.Folder.Leading.end());
            TakeLongName(py.Folder.Entries.front(), pieces);
            links[x] = y;
        }
    }
    // Camera names are short, so no long name spans two clusters of a folder, and a
    // deletion or a format leaves no chain between them. But a folder that fills its
    // cluster is given its next one when a file's entry is added: most writers make the
    // entry first, and the folder's new cluster is the next free one after the data of the
    // last file the full cluster names, with the new entry's file right after it; some take
    // the file's first cluster first, and the folder's comes next. On a used card the
    // folder's cluster may go into a hole elsewhere, while the file's data still follows
    // the last file's. A full cluster goes on in the cluster of entries, not yet placed,
    // that lies so; linked only where exactly one cluster fits on either side.
    {
        std::set<std::uint64_t> targets;
        for (const auto& [x, y] : links)
            targets.insert(y);
        // The first cluster past the data of each full cluster's last file.
        std::map<std::uint64_t, std::vector<std::uint64_t>> byNext;
        for (const auto& [x, px] : clusters) {
            if (clusterBytes == 0 || !px.Whole || px.Folder.Ended || px.Folder.Entries.empty() || links.count(x) != 0)
                continue;
            const TFsEntry& last = px.Folder.Entries.back();
            if (last.FirstCluster < 2 || (!last.Directory && last.Size == 0))
                continue;
            const std::uint64_t used = last.Directory ? 1 : (last.Size + clusterBytes - 1) / clusterBytes;
            if (used >= std::numeric_limits<std::uint64_t>::max() - last.FirstCluster)
                continue;
            byNext[last.FirstCluster + used].push_back(x);
        }
        TPairs pairs; // (full cluster, next cluster)
        for (const auto& [y, py] : clusters) {
            if (py.Known || py.Folder.DotEntries || py.Folder.Entries.empty() || targets.count(y) != 0)
                continue;
            // Where the full cluster's last file may end: right before this cluster, or
            // right before this cluster's first file (or one cluster more, where the folder's
            // own cluster took that one), wherever the folder's cluster went.
            const std::uint64_t firstFile = py.Folder.Entries.front().FirstCluster;
            std::set<std::uint64_t> ends{y};
            if (firstFile >= 3)
                ends.insert({firstFile, firstFile - 1});
            for (const std::uint64_t next : ends)
                if (const auto it = byNext.find(next); it != byNext.end())
                    for (const std::uint64_t x : it->second)
                        if (x != y)
                            pairs.emplace_back(x, y);
        }
        for (const auto& [x, y] : OnlyOneEachSide(pairs))
            links[x] = y;
    }
    // A linked cluster belongs to the folder of the one before it.
    for (auto& [cluster, p] : clusters) {
        if (!p.Known)
            continue;
        std::set<std::uint64_t> seen{cluster};
        for (auto it = links.find(cluster); it != links.end() && seen.insert(it->second).second; it = links.find(it->second)) {
            TFatCluster& next = clusters[it->second];
            if (next.Known)
                break;
            next.Known = true;
            next.Id = p.Id;
        }
    }
}

} // namespace lumivore::detail
