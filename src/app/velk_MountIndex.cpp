// Reading a mounted archive's index into its tree: the local way (large
// sequential reads of a local index, or of the local copy of a gateway
// host's) and the storage-system way (the index streamed through the
// movers, its entries added as the buffers arrive).  Both feed the same
// checks: header, archive size, entry sanity, archive order.

#include "velk_MountIndex.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "quor_api.h"
#include "velk_ArchiveKind.h"
#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_IndexOrder.h"
#include "velk_LogMsg.h"
#include "velk_Utils.h"

namespace {

constexpr uint32_t MSG = VELK_LOGCLASS_MSG;

// Adds index entries, in index order, to a tree with every check.
struct EntryFeed {
    velk_mount_tree_t *tree = nullptr;
    velk_index_order_t order;
    int64_t ordinal = 0;
    int64_t consistency = -1; // the consistency member's ordinal, or -1
};

void interrupted()
{
    velk_LogMsg(VELK_MSG_ERROR, MSG, "Mount interrupted by a forced shutdown\n");
    velk_NoteFailure("interrupted");
}

// Makes the tree empty and ready for the entries of the current index.
// 0, or -1 after the message.
int feedStart(EntryFeed *f, velk_mount_tree_t *tree)
{
    f->tree = tree;
    // The last entry of an archive velk wrote is its consistency member, no
    // member of the tree.
    bool foreign = (velk_Get32(velk_index_hdr.hif_hdr.hif_flags) & HIF_IDX_FOREIGN_ARCHIVE) != 0;
    f->consistency = foreign ? -1 : velk_index_entries - 1;
    if (velk_MountTreeInit(tree, static_cast<uint32_t>(getuid()), static_cast<uint32_t>(getgid()),
                           static_cast<uint32_t>(time(nullptr))) != 0 ||
        velk_MountTreeReserve(tree, velk_index_entries) != 0) {
        velk_LogMsg(VELK_MSG_ERROR, MSG, "velk_Mount: out of memory building the file tree\n");
        velk_SetExitCode(VELK_EXIT_NOMEM);
        return -1;
    }
    return 0;
}

// Adds the next entry.  0, or -1 after the message.
int feedEntry(EntryFeed *f, const hif_entry_t *entry)
{
    if (velk_IndexEntryAccept(&f->order, entry, f->ordinal) != 0)
        return -1;
    if (f->ordinal++ != f->consistency && velk_MountTreeAdd(f->tree, entry) != 0) {
        velk_LogMsg(VELK_MSG_ERROR, MSG, "velk_Mount: out of memory building the file tree\n");
        velk_SetExitCode(VELK_EXIT_NOMEM);
        return -1;
    }
    return 0;
}

// Checks that the archive has the size the current index recorded; sets
// *actual.  0, or -1 after the message.
int archiveSizeMatches(uint64_t *actual)
{
    if (velk_CurrentArchiveKind()->actual_size(actual) != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (*actual != velk_Get64(velk_index_hdr.hif_cfinfo.hif_tarsize)) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "[FATAL] Inconsistent actual/index files sizes for Archive file %s\n",
                    velk_archive);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}

// Reads every entry of the open local index fd into f, from entry 0 on.
// 0, or -1 after the message.
int readLocalEntries(velk_index_t *index, int fd, EntryFeed *f)
{
    if (velk_IndexReadInit(index) != 0 || velk_IndexFileRewind(index, fd, VELK_LOCAL_FILE) != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    for (;;) {
        // Checked once per read of the index, not per entry.
        if (index->cursor.buffered == 0 && velk_shutdown_signalled.load() != 0) {
            interrupted();
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        hif_entry_t *entry = nullptr;
        int eof = 0;
        if (velk_IndexFileRead(index, fd, VELK_LOCAL_FILE, 0, &entry, &eof) != 0) {
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        if (eof != 0)
            return 0;
        if (feedEntry(f, entry) != 0)
            return -1;
    }
}

// The tree from a local index, or from the local copy the kind makes of
// a remote one.  0, or -1 after the message.
int loadLocal(const velk_xfer_settings_t *xs, velk_index_t *index, velk_mount_tree_t *tree, uint64_t *archiveBytes)
{
    int kind = velk_filetype;
    int fd = velk_OpenIndexFile(xs, index, velk_index_filename, O_RDONLY, kind);
    if (fd < 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Fatal error opening index file: %s", velk_index_filename);
        return -1;
    }
    EntryFeed feed;
    int rc =
        archiveSizeMatches(archiveBytes) == 0 && feedStart(&feed, tree) == 0 && readLocalEntries(index, fd, &feed) == 0
            ? 0
            : -1;
    (void)velk_ArchiveKindOps(velk_ArchiveKindOps(kind)->index_fd_kind)->close(fd);
    return rc;
}

// A storage-system index streamed into the tree: the bytes from entry 0
// (at first) to the end of the last entry (end) arrive in order, in
// buffers that need not hold whole entries.
struct IndexStream {
    EntryFeed feed;
    uint64_t pos = 0; // stream offset of the next byte the callback gets
    uint64_t first = 0;
    uint64_t end = 0;
    unsigned char carry[HIF_ENTRY_SIZE]; // the start of an entry split between buffers
    size_t carried = 0;
    bool stopped = false; // the callback ended the stream (its message given)
};

// The reader's data callback: adds the whole entries the buffer completes
// and keeps a split one.  0, or -1 to stop the stream.
int streamEntries(io_buffer_t *buf, void *arg)
{
    auto *s = static_cast<IndexStream *>(arg);
    if (velk_shutdown_signalled.load() != 0) {
        interrupted();
        s->stopped = true;
        return -1;
    }
    const unsigned char *p = buf->buffer;
    uint64_t len = buf->dataLength;
    uint64_t at = s->pos;
    s->pos += len;
    // Only the entries count: the header was read before.
    uint64_t skip = at < s->first ? std::min(len, s->first - at) : 0;
    p += skip;
    at += skip;
    len = at >= s->end ? 0 : std::min(len - skip, s->end - at);
    if (s->carried > 0 && len > 0) {
        size_t take = std::min<uint64_t>(len, HIF_ENTRY_SIZE - s->carried);
        memcpy(s->carry + s->carried, p, take);
        s->carried += take;
        p += take;
        len -= take;
        if (s->carried == HIF_ENTRY_SIZE) {
            s->carried = 0;
            if (feedEntry(&s->feed, reinterpret_cast<const hif_entry_t *>(s->carry)) != 0) {
                s->stopped = true;
                return -1;
            }
        }
    }
    for (; len >= HIF_ENTRY_SIZE; p += HIF_ENTRY_SIZE, len -= HIF_ENTRY_SIZE)
        if (feedEntry(&s->feed, reinterpret_cast<const hif_entry_t *>(p)) != 0) {
            s->stopped = true;
            return -1;
        }
    memcpy(s->carry + s->carried, p, len);
    s->carried += len;
    return 0;
}

// Opens storage-system file path for reading; while the gateway says it is
// busy, waits 10 seconds (less when a shutdown is signalled) and tries
// again.  The descriptor, or a negative code.
int openQuorIndex(const char *path)
{
    for (;;) {
        int fd = quor_Open(path, O_RDONLY, 0666, nullptr, nullptr, nullptr);
        if (fd != -EAGAIN && fd != -6005 && fd != -1411)
            return fd;
        for (int i = 0; i < 100; ++i) {
            if (velk_shutdown_signalled.load() != 0)
                return fd;
            usleep(100000);
        }
    }
}

// Reads and checks the header of the open storage-system index qfd (size
// bytes), making it the current index.  0, or -1 after the message.
int acceptQuorHeader(velk_index_t *index, int qfd, const char *path, uint64_t size)
{
    unsigned char image[HIF_HDR_SIZE];
    hif_hdr_t hdr;
    bool read = size >= HIF_HDR_SIZE;
    if (read && velk_BlockRead(qfd, path, VELK_QUOR_FILE, static_cast<int>(HIF_HDR_SIZE), image) !=
                    static_cast<int>(HIF_HDR_SIZE)) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "FATAL: error %d reading %d bytes from index file %s\n", EIO,
                    static_cast<int>(HIF_HDR_SIZE), path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    if (read && velk_DecodeIndexHeader(image, sizeof image, &hdr) != 0)
        read = false;
    return velk_IndexHeaderAccept(index, read ? &hdr : nullptr, size, path);
}

// Streams the entries of the open storage-system index qfd into the tree.
// 0, or -1 after the message.
int streamQuorEntries(const velk_xfer_settings_t *xs, const velk_index_t *index, int qfd, IndexStream *s)
{
    s->first = HIF_HDR_SIZE + index->annotationSize;
    s->end = s->first + static_cast<uint64_t>(velk_index_entries) * HIF_ENTRY_SIZE;
    if (velk_index_entries == 0)
        return 0;
    int rc = velk_ArchiveKindOps(VELK_QUOR_FILE)->copy_from(xs, qfd, 0, s->end, streamEntries, s, nullptr);
    if (rc == 0 && (s->feed.ordinal != velk_index_entries || s->carried != 0)) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "FATAL: error %d reading %d bytes from index file %s\n", EIO,
                    static_cast<int>(HIF_ENTRY_SIZE), velk_index_filename);
        rc = -1;
    }
    if (rc != 0)
        velk_SetExitCode(VELK_EXIT_IOERR);
    return rc;
}

// The tree from a storage-system index, streamed.  0, or -1 after the
// message.
int loadQuor(const velk_xfer_settings_t *xs, velk_index_t *index, velk_mount_tree_t *tree, uint64_t *archiveBytes)
{
    const char *path = velk_index_filename;
    uint64_t size = 0;
    if (velk_ArchiveKindOps(VELK_QUOR_FILE)->index_size(path, &size) != 0)
        return -1;
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/velk_Mount: Index File %s is %lu bytes in length, streamed into the tree\n", path,
                       static_cast<unsigned long>(size));
    int qfd = openQuorIndex(path);
    if (qfd < 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error %d opening %s index file: %s\n", qfd,
                    velk_IndexKindName(VELK_QUOR_FILE), path);
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Fatal error opening index file: %s", path);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    IndexStream s;
    int rc = acceptQuorHeader(index, qfd, path, size) == 0 && archiveSizeMatches(archiveBytes) == 0 &&
                     feedStart(&s.feed, tree) == 0 && streamQuorEntries(xs, index, qfd, &s) == 0
                 ? 0
                 : -1;
    (void)quor_Close(qfd);
    return rc;
}

} // namespace

int velk_MountLoadTree(const velk_xfer_settings_t *xs, velk_index_t *index, velk_mount_tree_t *tree,
                       uint64_t *archiveBytes)
{
    double start = velk_GetTimestamp();
    int rc = velk_filetype == VELK_QUOR_FILE ? loadQuor(xs, index, tree, archiveBytes)
                                             : loadLocal(xs, index, tree, archiveBytes);
    double read = velk_GetTimestamp();
    if (rc == 0 && velk_MountTreeFinish(tree) != 0) {
        velk_LogMsg(VELK_MSG_ERROR, MSG, "velk_Mount: out of memory building the file tree\n");
        velk_SetExitCode(VELK_EXIT_NOMEM);
        rc = -1;
    }
    if (rc == 0 && velk_debug_level >= 1)
        velk_ErrPrintf("/debug/velk_Mount: %ld index entries read in %.3f s, tree of %lu nodes finished in %.3f s\n",
                       static_cast<long>(velk_index_entries), read - start,
                       static_cast<unsigned long>(tree->nodes.size()), velk_GetTimestamp() - read);
    return rc;
}
