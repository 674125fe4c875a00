#pragma once
// Which folder each cluster of FAT folder entries found on a card belongs to. A folder's first
// cluster names itself in its "." entry; the clusters it went on in are tied to it by what
// they hold and by where the writer put them, as a format or a deletion leaves no chain.

#include <cstdint>
#include <map>

#include "formats/FsEntries.h"

namespace lumivore::detail {

// A cluster of folder entries as read from the card.
struct TFatCluster {
    TFatFolderBytes Folder;
    bool Whole = false;   // every sector of the cluster was read, in order
    bool Known = false;   // the folder it belongs to is known
    std::uint64_t Id = 0; // that folder: its first cluster, or the root's number
};

// Gives each cluster whose folder is not known the folder of the cluster it goes on from,
// where that can be told (clusters by cluster number; clusterBytes the volume's).
void JoinFolderClusters(std::map<std::uint64_t, TFatCluster>& clusters, std::uint64_t clusterBytes);

} // namespace lumivore::detail
