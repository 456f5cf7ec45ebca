// The file tree of a mounted archive, built from its index entries: paths
// are normalised and checked as an extract would check them, the
// directories they imply are made up, every node is linked into its parent
// and every directory's children are sorted by name for binary search.
// Built by one thread before the mount serves requests; read-only after.

#include "velk_MountTree.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <functional>

namespace {

constexpr uint32_t kNoNode = UINT32_MAX;
// The pool's offsets are 32 bits.
constexpr size_t kPoolMax = UINT32_MAX - 1024;

// Normalises the member path raw into out (room for raw.size() bytes): ""
// and "." components dropped, one "/" between components.  Its length (0
// for the root itself), or -1 for a name velk would not extract (absolute,
// or holding "..").
int normalisePath(std::string_view raw, char *out)
{
    if (!raw.empty() && raw[0] == '/')
        return -1;
    size_t len = 0;
    size_t at = 0;
    while (at <= raw.size()) {
        size_t end = raw.find('/', at);
        if (end == std::string_view::npos)
            end = raw.size();
        std::string_view part = raw.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..")
            return -1;
        if (len > 0)
            out[len++] = '/';
        memcpy(out + len, part.data(), part.size());
        len += part.size();
    }
    return static_cast<int>(len);
}

// Appends text and a NUL to the pool; its offset, or kNoNode when the pool
// is full.
uint32_t poolAdd(velk_mount_tree_t *tree, std::string_view text)
{
    if (tree->pool.size() + text.size() + 1 > kPoolMax)
        return kNoNode;
    auto off = static_cast<uint32_t>(tree->pool.size());
    tree->pool.insert(tree->pool.end(), text.begin(), text.end());
    tree->pool.push_back('\0');
    return off;
}

std::string_view pathOf(const velk_mount_tree_t *tree, const velk_mount_node_t &n)
{
    return std::string_view(tree->pool.data() + n.pathOff, n.pathLen);
}

uint32_t fileTypeBits(uint32_t type)
{
    switch (type) {
    case VTO_DIRECTORY: return S_IFDIR;
    case VTO_SYMLINK: return S_IFLNK;
    default: return S_IFREG;
    }
}

// Adds a node for a directory made up from the first len bytes of node
// from's path.  Its index.
uint32_t addMadeDirectory(velk_mount_tree_t *tree, uint32_t from, uint32_t len)
{
    velk_mount_node_t d{};
    d.pathOff = tree->nodes[from].pathOff;
    d.pathLen = len;
    std::string_view path = pathOf(tree, d);
    size_t slash = path.rfind('/');
    d.nameLen = static_cast<uint32_t>(slash == std::string_view::npos ? len : len - slash - 1);
    d.type = VTO_DIRECTORY;
    d.mode = S_IFDIR | 0755;
    d.uid = tree->uid;
    d.gid = tree->gid;
    d.mtime = d.ctime = tree->madeTime;
    d.linkOff = kNoNode;
    d.target = kNoNode;
    d.nlink = 2;
    tree->nodes.push_back(d);
    return static_cast<uint32_t>(tree->nodes.size() - 1);
}

// The node of every shown path while the tree is built: open addressing
// with linear probing, each slot a node number and 32 bits of its path's
// hash, the paths themselves in the tree's pool.  A million members cost
// one cache miss per look-up here, where a node-based map costs several.
class PathTable {
public:
    explicit PathTable(const velk_mount_tree_t *tree) : tree_(tree) { grow(tree->nodes.size() * 2); }
    // The node of path, or kNoNode.
    uint32_t find(std::string_view path) const
    {
        uint64_t h = hashOf(path);
        for (size_t at = h & mask_;; at = (at + 1) & mask_) {
            uint64_t slot = slots_[at];
            if (slot == kEmpty)
                return kNoNode;
            auto node = static_cast<uint32_t>(slot);
            if ((slot >> 32) == (h >> 32) && pathOf(tree_, tree_->nodes[node]) == path)
                return node;
        }
    }
    // Makes node the one of its path; the node it replaced, or kNoNode.
    uint32_t put(uint32_t node) { return put(node, hashOf(pathOf(tree_, tree_->nodes[node]))); }
    // put with the hash of node's path given.
    uint32_t put(uint32_t node, uint64_t h)
    {
        if ((used_ + 1) * 2 > slots_.size())
            grow(slots_.size() * 2);
        std::string_view path = pathOf(tree_, tree_->nodes[node]);
        for (size_t at = h & mask_;; at = (at + 1) & mask_) {
            uint64_t slot = slots_[at];
            if (slot == kEmpty) {
                slots_[at] = (h & 0xffffffff00000000ull) | node;
                ++used_;
                return kNoNode;
            }
            auto old = static_cast<uint32_t>(slot);
            if ((slot >> 32) == (h >> 32) && pathOf(tree_, tree_->nodes[old]) == path) {
                slots_[at] = (h & 0xffffffff00000000ull) | node;
                return old;
            }
        }
    }

    static uint64_t hashOf(std::string_view path)
    {
        // The low bits pick the slot, the high ones are kept in it.
        uint64_t h = std::hash<std::string_view>{}(path);
        return h == kEmpty ? 0 : h;
    }
    // Starts fetching the first slot a path of hash h would take.
    void prefetch(uint64_t h) const { __builtin_prefetch(slots_.data() + (h & mask_)); }

private:
    static constexpr uint64_t kEmpty = UINT64_MAX;
    void grow(size_t want)
    {
        size_t cap = 64;
        while (cap < want)
            cap <<= 1;
        std::vector<uint64_t> old;
        old.swap(slots_);
        slots_.assign(cap, kEmpty);
        mask_ = cap - 1;
        used_ = 0;
        for (uint64_t slot : old)
            if (slot != kEmpty)
                (void)put(static_cast<uint32_t>(slot));
    }

    const velk_mount_tree_t *tree_;
    std::vector<uint64_t> slots_;
    size_t mask_ = 0;
    size_t used_ = 0;
};

// Gives every shown node its parent, making the missing directories; a
// path below something that is not a directory is refused (the node is
// dropped).  byPath maps every shown path to its node.
void linkParents(velk_mount_tree_t *tree, PathTable *byPath)
{
    // An archive made by walking directories holds a directory's files one
    // after the other: the parent of the entry before is looked at first.
    std::string_view lastUp;
    uint32_t lastParent = 0;
    for (uint32_t i = 1; i < tree->nodes.size(); ++i) {
        if (tree->nodes[i].type == VTO_UNKNOWN)
            continue;
        uint32_t child = i;
        while (true) {
            std::string_view path = pathOf(tree, tree->nodes[child]);
            size_t slash = path.rfind('/');
            if (slash == std::string_view::npos) {
                tree->nodes[child].parent = 0;
                break;
            }
            std::string_view up = path.substr(0, slash);
            if (child == i && lastParent != 0 && up == lastUp) {
                tree->nodes[child].parent = lastParent;
                break;
            }
            if (child == i) {
                lastUp = up;
                lastParent = 0;
            }
            uint32_t found = byPath->find(up);
            if (found != kNoNode) {
                tree->nodes[child].parent = found;
                break;
            }
            uint32_t made = addMadeDirectory(tree, child, static_cast<uint32_t>(slash));
            (void)byPath->put(made);
            tree->nodes[child].parent = made;
            child = made;
        }
        if (lastParent == 0)
            lastParent = tree->nodes[i].parent;
    }
    // A member below a file or link is not shown.  Its parent may itself be
    // dropped later in this pass only if it sits below a non-directory too.
    for (uint32_t i = 1; i < tree->nodes.size(); ++i) {
        velk_mount_node_t &n = tree->nodes[i];
        if (n.type != VTO_UNKNOWN && tree->nodes[n.parent].type != VTO_DIRECTORY) {
            n.type = VTO_UNKNOWN;
            ++tree->refused;
        }
    }
}

// Points every hard link at the file it names, following links to links;
// a link whose file is not shown is dropped and counted.
void resolveHardLinks(velk_mount_tree_t *tree, const PathTable &byPath)
{
    char name[HENT_linkname_size + 1];
    for (auto &n : tree->nodes) {
        if (n.type != VTO_HARDLINK)
            continue;
        uint32_t at = kNoNode;
        int len = normalisePath(tree->pool.data() + n.linkOff, name);
        if (len > 0)
            at = byPath.find(std::string_view(name, static_cast<size_t>(len)));
        for (int depth = 0; at != kNoNode && depth < VELK_MOUNT_LINK_DEPTH; ++depth) {
            const velk_mount_node_t &t = tree->nodes[at];
            if (t.type == VTO_FILE)
                break;
            at = t.type == VTO_HARDLINK && t.target != kNoNode ? t.target : kNoNode;
        }
        if (at == kNoNode || tree->nodes[at].type != VTO_FILE) {
            n.type = VTO_UNKNOWN;
            ++tree->linksLost;
            continue;
        }
        n.target = at;
        ++tree->nodes[at].nlink;
    }
}

// Fills the children array: every shown node under its parent, sorted by
// name; directories count their subdirectories in nlink.
void fillChildren(velk_mount_tree_t *tree)
{
    auto &nodes = tree->nodes;
    for (uint32_t i = 1; i < nodes.size(); ++i)
        if (nodes[i].type != VTO_UNKNOWN) {
            ++nodes[nodes[i].parent].childCount;
            if (nodes[i].type == VTO_DIRECTORY)
                ++nodes[nodes[i].parent].nlink;
        }
    uint32_t next = 0;
    for (auto &n : nodes) {
        n.firstChild = next;
        next += n.childCount;
        n.childCount = 0;
    }
    tree->children.assign(next, 0);
    for (uint32_t i = 1; i < nodes.size(); ++i)
        if (nodes[i].type != VTO_UNKNOWN) {
            velk_mount_node_t &p = nodes[nodes[i].parent];
            tree->children[p.firstChild + p.childCount++] = i;
        }
    auto byName = [tree](uint32_t a, uint32_t b) { return velk_MountTreeName(tree, a) < velk_MountTreeName(tree, b); };
    for (const auto &n : nodes) {
        auto first = tree->children.begin() + n.firstChild;
        // An archive of a sorted walk has its directories in order already.
        if (!std::is_sorted(first, first + n.childCount, byName))
            std::sort(first, first + n.childCount, byName);
    }
}

} // namespace

int velk_MountTreeInit(velk_mount_tree_t *tree, uint32_t uid, uint32_t gid, uint32_t now)
{
    try {
        tree->nodes.clear();
        tree->children.clear();
        tree->pool.clear();
        tree->uid = uid;
        tree->gid = gid;
        tree->madeTime = now;
        tree->refused = tree->deleted = tree->linksLost = 0;
        tree->pool.push_back('\0');
        velk_mount_node_t root{};
        root.type = VTO_DIRECTORY;
        root.mode = S_IFDIR | 0755;
        root.uid = uid;
        root.gid = gid;
        root.mtime = root.ctime = now;
        root.linkOff = kNoNode;
        root.target = kNoNode;
        tree->nodes.push_back(root);
        return 0;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int velk_MountTreeReserve(velk_mount_tree_t *tree, int64_t entries)
{
    if (entries <= 0)
        return 0;
    try {
        // Room for the members and a directory made up for every sixteenth;
        // names average well under 32 bytes.  Only pages written are used.
        auto n = static_cast<size_t>(entries);
        tree->nodes.reserve(tree->nodes.size() + n + n / 16 + 64);
        tree->pool.reserve(std::min(kPoolMax, tree->pool.size() + n * 32));
        return 0;
    } catch (const std::exception &) {
        return -1;
    }
}

int velk_MountTreeAdd(velk_mount_tree_t *tree, const hif_entry_t *entry)
{
    uint32_t flags = velk_Get32(entry->hent_flags);
    uint32_t type = velk_Get32(entry->hent_type);
    if ((flags & (HIF_FLAG_DELETED | HIF_FLAG_PHANTOM)) != 0) {
        ++tree->deleted;
        return 0;
    }
    if (type != VTO_FILE && type != VTO_DIRECTORY && type != VTO_SYMLINK && type != VTO_HARDLINK)
        return 0;
    char raw[VELK_PATH_BUFSIZE];
    size_t rawLen = std::min(velk_FormIxEntryPathname(entry, raw, sizeof raw), sizeof raw - 1);
    try {
        // Normalised straight into the pool: no copy of the path is made.
        size_t at = tree->pool.size();
        if (at + rawLen + 1 > kPoolMax)
            return -1;
        tree->pool.resize(at + rawLen + 1);
        int len = normalisePath(std::string_view(raw, rawLen), tree->pool.data() + at);
        tree->pool.resize(at + static_cast<size_t>(std::max(len, 0)));
        if (len < 0)
            ++tree->refused;
        if (len <= 0)
            return 0; // the root itself keeps its made-up attributes
        tree->pool.push_back('\0');
        std::string_view path(tree->pool.data() + at, static_cast<size_t>(len));
        velk_mount_node_t n{};
        n.pathOff = static_cast<uint32_t>(at);
        size_t slash = path.rfind('/');
        n.pathLen = static_cast<uint32_t>(path.size());
        n.nameLen = static_cast<uint32_t>(slash == std::string_view::npos ? path.size() : path.size() - slash - 1);
        n.linkOff = kNoNode;
        if (type == VTO_SYMLINK || type == VTO_HARDLINK)
            n.linkOff = poolAdd(
                tree, std::string_view(entry->hent_linkname, strnlen(entry->hent_linkname, HENT_linkname_size)));
        if (n.linkOff == kNoNode && (type == VTO_SYMLINK || type == VTO_HARDLINK))
            return -1;
        n.type = static_cast<uint8_t>(type);
        n.dataOffset = (velk_Get64(entry->hent_offset) + 1) * VELK_BLOCKSIZE;
        n.size = type == VTO_FILE ? velk_Get64(entry->hent_fsize) : 0;
        n.mode = (velk_Get32(entry->hent_mode) & 07777) | fileTypeBits(type);
        n.uid = velk_Get32(entry->hent_uid);
        n.gid = velk_Get32(entry->hent_gid);
        n.mtime = velk_Get32(entry->hent_mtime);
        n.ctime = velk_Get32(entry->hent_ctime);
        n.hasCrc = (flags & HIF_FLAG_CRC) != 0 ? 1 : 0;
        n.crc = velk_Get32(entry->hent_crc32);
        n.target = kNoNode;
        n.nlink = 1;
        tree->nodes.push_back(n);
        return 0;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

int velk_MountTreeFinish(velk_mount_tree_t *tree)
{
    try {
        PathTable byPath(tree);
        (void)byPath.put(0);
        // A later entry of a path replaces the earlier one.  Every path's
        // slot is a cache miss: it is fetched kAhead nodes before it is
        // needed.
        constexpr uint32_t kAhead = 16;
        uint64_t ahead[kAhead];
        const auto count = static_cast<uint32_t>(tree->nodes.size());
        auto fetch = [&](uint32_t node) {
            uint64_t h = PathTable::hashOf(pathOf(tree, tree->nodes[node]));
            byPath.prefetch(h);
            ahead[node % kAhead] = h;
        };
        for (uint32_t i = 1; i < count && i <= kAhead; ++i)
            fetch(i);
        for (uint32_t i = 1; i < count; ++i) {
            velk_mount_node_t &n = tree->nodes[i];
            n.nlink = n.type == VTO_DIRECTORY ? 2 : 1;
            uint64_t h = ahead[i % kAhead];
            if (i + kAhead < count)
                fetch(i + kAhead);
            uint32_t replaced = byPath.put(i, h);
            if (replaced != kNoNode)
                tree->nodes[replaced].type = VTO_UNKNOWN;
        }
        tree->nodes[0].nlink = 2;
        linkParents(tree, &byPath);
        resolveHardLinks(tree, byPath);
        fillChildren(tree);
        return 0;
    } catch (const std::bad_alloc &) {
        return -1;
    }
}

std::string_view velk_MountTreeName(const velk_mount_tree_t *tree, uint32_t node)
{
    const velk_mount_node_t &n = tree->nodes[node];
    return std::string_view(tree->pool.data() + n.pathOff + n.pathLen - n.nameLen, n.nameLen);
}

int64_t velk_MountTreeLookup(const velk_mount_tree_t *tree, uint32_t dir, std::string_view name)
{
    if (dir >= tree->nodes.size() || tree->nodes[dir].type != VTO_DIRECTORY)
        return -1;
    const velk_mount_node_t &d = tree->nodes[dir];
    auto first = tree->children.begin() + d.firstChild;
    auto last = first + d.childCount;
    auto it = std::lower_bound(first, last, name,
                               [tree](uint32_t a, std::string_view n) { return velk_MountTreeName(tree, a) < n; });
    if (it == last || velk_MountTreeName(tree, *it) != name)
        return -1;
    return *it;
}

void velk_MountTreeStat(const velk_mount_tree_t *tree, uint32_t node, struct stat *st)
{
    // A hard link is its file: same inode, same status.
    uint32_t id = tree->nodes[node].type == VTO_HARDLINK ? tree->nodes[node].target : node;
    const velk_mount_node_t &n = tree->nodes[id];
    memset(st, 0, sizeof *st);
    st->st_ino = id + 1;
    st->st_mode = n.mode;
    st->st_nlink = n.nlink;
    st->st_uid = n.uid;
    st->st_gid = n.gid;
    st->st_size = static_cast<off_t>(n.type == VTO_SYMLINK ? strlen(tree->pool.data() + n.linkOff) : n.size);
    st->st_blocks = static_cast<blkcnt_t>((n.size + 511) / 512);
    st->st_blksize = 65536;
    st->st_mtim.tv_sec = n.mtime;
    st->st_atim.tv_sec = n.mtime;
    st->st_ctim.tv_sec = n.ctime;
}
