#ifndef VELK_MOUNTTREE_H
#define VELK_MOUNTTREE_H

// The file tree a mounted archive shows, built once from its index: one
// node per shown member plus the directories their paths imply, children
// sorted by name for lookups, hard links resolved to the node of the file
// they name.  Entries are added in index order (a later entry of the same
// path replaces an earlier one, as an extract would), then the tree is
// finished; after that it is read-only and may be read by any thread.
// Node numbers are the inode numbers less one: node 0 is the root.

#include <cstdint>
#include <ctime>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "velk_IndexFormat.h"

// Longest chain of hard links to links followed to find a file.
constexpr int VELK_MOUNT_LINK_DEPTH = 16;

// One node: about 70 bytes, its path (and a link's target) in the pool.
struct velk_mount_node_t {
    uint64_t dataOffset; // archive byte offset of the member's data
    uint64_t size;       // bytes (0 for directories)
    uint32_t pathOff;    // the path from the root in the pool (the root: empty)
    uint32_t pathLen;
    uint32_t nameLen; // the last component: the last nameLen bytes of the path
    uint32_t linkOff; // symbolic-link target or hard-link name in the pool (NUL-ended)
    uint32_t parent;
    uint32_t target;     // a hard link: the file node it shares an inode with
    uint32_t firstChild; // index into velk_mount_tree_t::children
    uint32_t childCount;
    uint32_t nlink;
    uint32_t mode; // permission bits and the file type bits (S_IFREG, ...)
    uint32_t uid;
    uint32_t gid;
    uint32_t mtime;
    uint32_t ctime;
    uint32_t crc;
    uint8_t type;   // VELK_OBJECT_TYPE; VTO_UNKNOWN for a replaced entry
    uint8_t hasCrc; // crc holds the member's stored CRC-32
};

struct velk_mount_tree_t {
    std::vector<velk_mount_node_t> nodes;
    std::vector<uint32_t> children;
    std::vector<char> pool;
    // Owner and time of the directories made up from paths.
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t madeTime = 0;
    long refused = 0;   // members not shown: ".." or absolute names, a file where a directory is
    long deleted = 0;   // soft-deleted or failed members, not shown
    long linksLost = 0; // hard links whose file is not shown
};

// Empties tree and makes its root, a directory owned by uid:gid with time
// now.  0, or -1 when memory runs out.
[[nodiscard]] int velk_MountTreeInit(velk_mount_tree_t *tree, uint32_t uid, uint32_t gid, uint32_t now);

// Makes room for entries more members, so that the arrays grow in one step.
// 0, or -1 when memory runs out.
[[nodiscard]] int velk_MountTreeReserve(velk_mount_tree_t *tree, int64_t entries);

// Adds one index entry (sane, in index order).  Soft-deleted and failed
// members are counted in tree->deleted, names velk would not extract in
// tree->refused; neither is shown.  0, or -1 when memory runs out or the
// pool would pass 4 GiB.
[[nodiscard]] int velk_MountTreeAdd(velk_mount_tree_t *tree, const hif_entry_t *entry);

// Makes the directories the paths imply, links every node into its parent,
// resolves hard links and sorts every directory.  0, or -1 when memory runs
// out.
[[nodiscard]] int velk_MountTreeFinish(velk_mount_tree_t *tree);

// The node called name in directory dir, or -1 when there is none.
[[nodiscard]] int64_t velk_MountTreeLookup(const velk_mount_tree_t *tree, uint32_t dir, std::string_view name);

// The last path component of node (empty for the root).
std::string_view velk_MountTreeName(const velk_mount_tree_t *tree, uint32_t node);

// The status of node as the mount shows it (a hard link shows its file's).
void velk_MountTreeStat(const velk_mount_tree_t *tree, uint32_t node, struct stat *st);

#endif
