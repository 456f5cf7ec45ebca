// The tree a mount shows, built from index entries: which names are shown,
// the directories made up from paths, a later entry of a path replacing an
// earlier one, hard links sharing their file's inode, and lookups.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "velk_MountTree.h"

namespace {

struct Member {
    const char *path;
    uint32_t type;
    uint32_t flags = 0;
    const char *link = "";
    uint64_t size = 0;
    uint32_t mode = 0644;
};

hif_entry_t entryOf(const Member &m, uint64_t block)
{
    hif_entry_t e;
    memset(&e, 0, sizeof e);
    memcpy(e.hent_sanity, HENT_SANITY, HENT_sanity_size);
    memcpy(e.hent_name, m.path, std::min(strlen(m.path), sizeof e.hent_name));
    memcpy(e.hent_linkname, m.link, std::min(strlen(m.link), sizeof e.hent_linkname));
    velk_Put32(e.hent_type, m.type);
    velk_Put32(e.hent_flags, m.flags);
    velk_Put64(e.hent_offset, block);
    velk_Put64(e.hent_fsize, m.size);
    velk_Put32(e.hent_mode, m.mode);
    velk_Put32(e.hent_uid, 7);
    velk_Put32(e.hent_mtime, 1700000000);
    return e;
}

void build(velk_mount_tree_t *tree, const std::vector<Member> &members)
{
    ASSERT_EQ(velk_MountTreeInit(tree, 1000, 1000, 42), 0);
    uint64_t block = 0;
    for (const auto &m : members) {
        hif_entry_t e = entryOf(m, block);
        block += velk_MemberBlocks(m.size);
        ASSERT_EQ(velk_MountTreeAdd(tree, &e), 0) << m.path;
    }
    ASSERT_EQ(velk_MountTreeFinish(tree), 0);
}

// The node at path (components separated by '/'), or -1.
int64_t find(const velk_mount_tree_t &tree, const std::string &path)
{
    int64_t node = 0;
    size_t at = 0;
    while (node >= 0 && at < path.size()) {
        size_t end = path.find('/', at);
        end = end == std::string::npos ? path.size() : end;
        node = velk_MountTreeLookup(&tree, static_cast<uint32_t>(node), path.substr(at, end - at));
        at = end + 1;
    }
    return node;
}

// Every shown path, depth first in name order.
void walk(const velk_mount_tree_t &tree, uint32_t node, const std::string &prefix, std::vector<std::string> *out)
{
    const velk_mount_node_t &n = tree.nodes[node];
    for (uint32_t i = 0; i < n.childCount; ++i) {
        uint32_t c = tree.children[n.firstChild + i];
        std::string p = prefix + std::string(velk_MountTreeName(&tree, c));
        out->push_back(p);
        if (tree.nodes[c].type == VTO_DIRECTORY)
            walk(tree, c, p + "/", out);
    }
}

TEST(VelkMountTree, ShowsWhatAnExtractWouldMakeAndNothingElse)
{
    velk_mount_tree_t tree;
    build(&tree, {
                     {"./a/b/file", VTO_FILE, 0, "", 1000},
                     {"a//c/", VTO_DIRECTORY},
                     {"/etc/passwd", VTO_FILE},
                     {"x/../../up", VTO_FILE},
                     {"..", VTO_DIRECTORY},
                     {"gone", VTO_FILE, HIF_FLAG_DELETED},
                     {"failed", VTO_FILE, HIF_FLAG_PHANTOM},
                     {"a/b/file/below", VTO_FILE},
                     {"ln", VTO_SYMLINK, 0, "a/b/file"},
                     {"dup", VTO_FILE, 0, "", 5},
                     {"dup", VTO_FILE, 0, "", 9},
                     {"a/B", VTO_FILE}, // after its siblings in the index, before them by name
                 });
    std::vector<std::string> paths;
    walk(tree, 0, "", &paths);
    EXPECT_EQ(paths, (std::vector<std::string>{"a", "a/B", "a/b", "a/b/file", "a/c", "dup", "ln"}));
    EXPECT_EQ(tree.refused, 4); // absolute, two with "..", one below a file
    EXPECT_EQ(tree.deleted, 2);

    struct stat st;
    velk_MountTreeStat(&tree, static_cast<uint32_t>(find(tree, "a/b")), &st);
    EXPECT_EQ(st.st_mode, S_IFDIR | 0755u); // made up: the mounting user's, at mount time
    EXPECT_EQ(st.st_uid, 1000u);
    EXPECT_EQ(st.st_mtime, 42);
    velk_MountTreeStat(&tree, static_cast<uint32_t>(find(tree, "a/b/file")), &st);
    EXPECT_EQ(st.st_mode, S_IFREG | 0644u);
    EXPECT_EQ(st.st_uid, 7u);
    EXPECT_EQ(st.st_size, 1000);
    EXPECT_EQ(st.st_mtime, 1700000000);
    velk_MountTreeStat(&tree, static_cast<uint32_t>(find(tree, "ln")), &st);
    EXPECT_EQ(st.st_mode, S_IFLNK | 0644u);
    EXPECT_EQ(st.st_size, 8); // the target's length
    velk_MountTreeStat(&tree, static_cast<uint32_t>(find(tree, "dup")), &st);
    EXPECT_EQ(st.st_size, 9); // the later entry
    velk_MountTreeStat(&tree, 0, &st);
    EXPECT_EQ(st.st_nlink, 3u); // "." and the subdirectory a
    EXPECT_EQ(find(tree, "a/b/nothing"), -1);
    EXPECT_EQ(find(tree, "a/b/file/x"), -1);
}

TEST(VelkMountTree, HardLinksShareTheirFilesInode)
{
    velk_mount_tree_t tree;
    build(&tree, {
                     {"d/one", VTO_FILE, 0, "", 12},
                     {"d/two", VTO_HARDLINK, 0, "d/one"},
                     {"three", VTO_HARDLINK, 0, "./d/two"},
                     {"lost", VTO_HARDLINK, 0, "nowhere"},
                 });
    struct stat one, two, three;
    velk_MountTreeStat(&tree, static_cast<uint32_t>(find(tree, "d/one")), &one);
    velk_MountTreeStat(&tree, static_cast<uint32_t>(find(tree, "d/two")), &two);
    velk_MountTreeStat(&tree, static_cast<uint32_t>(find(tree, "three")), &three);
    EXPECT_EQ(two.st_ino, one.st_ino);
    EXPECT_EQ(three.st_ino, one.st_ino);
    EXPECT_EQ(one.st_nlink, 3u);
    EXPECT_EQ(three.st_size, 12);
    EXPECT_EQ(find(tree, "lost"), -1);
    EXPECT_EQ(tree.linksLost, 1);
}

} // namespace
