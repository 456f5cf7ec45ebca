// The file-system side of a mount, on libfuse's low-level interface: inode
// numbers are tree nodes plus one (the root is 1), directory listings come
// from the sorted children, file bytes from the block cache.  A file read
// whole and in order is checked against its stored CRC-32.  One thread
// runs the session loop and answers every request, so nothing here takes a
// lock; the loop waits on the device at most a quarter second at a time so
// that a shutdown is seen.

#define FUSE_USE_VERSION 34
#include "velk_MountFs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <cstdlib>
#include <fuse_lowlevel.h>
#include <memory>
#include <new>
#include <poll.h>
#include <string>
#include <sys/statvfs.h>

#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_MemberStatus.h"

namespace {

constexpr uint32_t MSG = VELK_LOGCLASS_MSG;
// The kernel may keep names and attributes as long as it likes: nothing
// changes while the archive is mounted.
constexpr double kCacheSeconds = 86400.0;
// The longest wait on the device before the shutdown flag is looked at.
constexpr int kPollMillis = 250;

// One open file.
struct OpenFile {
    uint32_t node;
    velk_mount_stream_t stream;
    uint64_t crcNext; // offset the in-order CRC has reached
    uint32_t crc;
    bool crcOn;  // still read whole and in order from the start
    bool crcBad; // the whole read failed its CRC: every later read fails too
};

velk_mount_ctx_t *ctxOf(fuse_req_t req)
{
    return static_cast<velk_mount_ctx_t *>(fuse_req_userdata(req));
}

// The node of inode ino, or -1 for a number that names none.
int64_t nodeOf(const velk_mount_ctx_t *ctx, fuse_ino_t ino)
{
    if (ino < 1 || ino > ctx->tree.nodes.size() || ctx->tree.nodes[ino - 1].type == VTO_UNKNOWN)
        return -1;
    return static_cast<int64_t>(ino - 1);
}

const char *memberPath(const velk_mount_ctx_t *ctx, uint32_t node)
{
    return ctx->tree.pool.data() + ctx->tree.nodes[node].pathOff;
}

void fsLookup(fuse_req_t req, fuse_ino_t parent, const char *name)
{
    velk_mount_ctx_t *ctx = ctxOf(req);
    int64_t dir = nodeOf(ctx, parent);
    int64_t node = dir < 0 ? -1 : velk_MountTreeLookup(&ctx->tree, static_cast<uint32_t>(dir), name);
    if (node < 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    fuse_entry_param e;
    memset(&e, 0, sizeof e);
    velk_MountTreeStat(&ctx->tree, static_cast<uint32_t>(node), &e.attr);
    e.ino = e.attr.st_ino;
    e.attr_timeout = kCacheSeconds;
    e.entry_timeout = kCacheSeconds;
    fuse_reply_entry(req, &e);
}

void fsGetattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info * /*fi*/)
{
    velk_mount_ctx_t *ctx = ctxOf(req);
    int64_t node = nodeOf(ctx, ino);
    if (node < 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    struct stat st;
    velk_MountTreeStat(&ctx->tree, static_cast<uint32_t>(node), &st);
    fuse_reply_attr(req, &st, kCacheSeconds);
}

void fsReadlink(fuse_req_t req, fuse_ino_t ino)
{
    velk_mount_ctx_t *ctx = ctxOf(req);
    int64_t node = nodeOf(ctx, ino);
    if (node < 0 || ctx->tree.nodes[node].type != VTO_SYMLINK) {
        fuse_reply_err(req, EINVAL);
        return;
    }
    fuse_reply_readlink(req, ctx->tree.pool.data() + ctx->tree.nodes[node].linkOff);
}

void fsOpendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
    velk_mount_ctx_t *ctx = ctxOf(req);
    int64_t node = nodeOf(ctx, ino);
    if (node < 0)
        fuse_reply_err(req, ENOENT);
    else if (ctx->tree.nodes[node].type != VTO_DIRECTORY)
        fuse_reply_err(req, ENOTDIR);
    else if ((fi->flags & O_ACCMODE) != O_RDONLY)
        fuse_reply_err(req, EROFS);
    else
        fuse_reply_open(req, fi);
}

// Directory offsets: 0 and 1 are "." and "..", 2 + i the i-th child.
void fsReaddir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info * /*fi*/)
{
    velk_mount_ctx_t *ctx = ctxOf(req);
    int64_t node = nodeOf(ctx, ino);
    if (node < 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    const velk_mount_tree_t &tree = ctx->tree;
    const velk_mount_node_t &dir = tree.nodes[node];
    std::string buf(size, '\0');
    size_t used = 0;
    std::string childName; // NUL-terminated copy of a child's name
    for (auto at = static_cast<uint64_t>(off); at < 2ull + dir.childCount; ++at) {
        struct stat st;
        uint32_t child = static_cast<uint32_t>(node);
        const char *name = ".";
        if (at == 1) {
            name = "..";
            child = dir.parent;
        } else if (at >= 2) {
            child = tree.children[dir.firstChild + at - 2];
            std::string_view view = velk_MountTreeName(&tree, child);
            childName.assign(view.data(), view.size());
            name = childName.c_str();
        }
        velk_MountTreeStat(&tree, child, &st);
        size_t n = fuse_add_direntry(req, buf.data() + used, size - used, name, &st, static_cast<off_t>(at + 1));
        if (n > size - used)
            break;
        used += n;
    }
    fuse_reply_buf(req, buf.data(), used);
}

void fsOpen(fuse_req_t req, fuse_ino_t ino, fuse_file_info *fi)
{
    velk_mount_ctx_t *ctx = ctxOf(req);
    int64_t node = nodeOf(ctx, ino);
    if (node < 0) {
        fuse_reply_err(req, ENOENT);
        return;
    }
    if ((fi->flags & O_ACCMODE) != O_RDONLY || (fi->flags & O_TRUNC) != 0) {
        fuse_reply_err(req, EROFS);
        return;
    }
    if (ctx->tree.nodes[node].type != VTO_FILE) {
        fuse_reply_err(req, ctx->tree.nodes[node].type == VTO_DIRECTORY ? EISDIR : EINVAL);
        return;
    }
    auto *of = new (std::nothrow) OpenFile{static_cast<uint32_t>(node), {}, 0, 0, true, false};
    if (of == nullptr) {
        fuse_reply_err(req, ENOMEM);
        return;
    }
    velk_ChecksumInit(&of->crc);
    fi->fh = reinterpret_cast<uint64_t>(of);
    // Each open reads the archive again, so a whole read is always checked.
    fi->keep_cache = 0;
    if (fuse_reply_open(req, fi) != 0)
        delete of;
}

// Carries the in-order CRC of of over len bytes at off.  false when this
// read completed the file and its CRC is not the stored one.
bool crcHolds(velk_mount_ctx_t *ctx, OpenFile *of, uint64_t off, const unsigned char *data, size_t len)
{
    const velk_mount_node_t &n = ctx->tree.nodes[of->node];
    if (!n.hasCrc || !of->crcOn)
        return true;
    if (off != of->crcNext) {
        of->crcOn = false; // not read in order: nothing to check
        return true;
    }
    velk_ChecksumBuffer(data, len, &of->crc);
    of->crcNext += len;
    if (of->crcNext < n.size)
        return true;
    of->crcOn = false;
    uint32_t crc = velk_ChecksumFinalize(&of->crc);
    if (crc == n.crc)
        return true;
    velk_LogFmt(VELK_MSG_ERROR, MSG, "CRC error on %s. Index CRC=%8.8x Archive member CRC=%8.8x\n",
                memberPath(ctx, of->node), n.crc, crc);
    velk_NoteFailure("CRC mismatch");
    velk_SetExitCode(VELK_EXIT_MISMATCH);
    ++ctx->crcMismatches;
    of->crcBad = true;
    return false;
}

void fsRead(fuse_req_t req, fuse_ino_t /*ino*/, size_t size, off_t off, fuse_file_info *fi)
{
    velk_mount_ctx_t *ctx = ctxOf(req);
    auto *of = reinterpret_cast<OpenFile *>(fi->fh);
    const velk_mount_node_t &n = ctx->tree.nodes[of->node];
    auto at = static_cast<uint64_t>(off);
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/read %s: %zu bytes at %lld\n", memberPath(ctx, of->node), size,
                       static_cast<long long>(off));
    // The kernel reads again, page by page, what failed in a read-ahead, so
    // a file whose CRC failed keeps failing on this descriptor.
    if (of->crcBad) {
        fuse_reply_err(req, EIO);
        return;
    }
    if (off < 0 || at >= n.size) {
        fuse_reply_buf(req, nullptr, 0);
        return;
    }
    size_t len = static_cast<size_t>(std::min<uint64_t>(size, n.size - at));
    // One buffer for every read, kept: a fresh one of this size would be
    // mapped and faulted in page by page for each request.
    if (ctx->readBuf.size() < len) {
        try {
            ctx->readBuf.resize(len);
        } catch (const std::bad_alloc &) {
            fuse_reply_err(req, ENOMEM);
            return;
        }
    }
    unsigned char *buf = ctx->readBuf.data();
    if (velk_MountCacheRead(&ctx->cache, &of->stream, n.dataOffset + at, buf, len) < 0) {
        int err = errno;
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error %d reading %s from Archive file %s\n", err, memberPath(ctx, of->node),
                    velk_archive);
        velk_NoteFailure("read error");
        velk_SetExitCode(VELK_EXIT_IOERR);
        ++ctx->readFailures;
        fuse_reply_err(req, EIO);
        return;
    }
    if (!crcHolds(ctx, of, at, buf, len)) {
        fuse_reply_err(req, EIO);
        return;
    }
    fuse_reply_buf(req, reinterpret_cast<const char *>(buf), len);
}

void fsRelease(fuse_req_t req, fuse_ino_t /*ino*/, fuse_file_info *fi)
{
    delete reinterpret_cast<OpenFile *>(fi->fh);
    fuse_reply_err(req, 0);
}

void fsStatfs(fuse_req_t req, fuse_ino_t /*ino*/)
{
    velk_mount_ctx_t *ctx = ctxOf(req);
    struct statvfs sv;
    memset(&sv, 0, sizeof sv);
    sv.f_bsize = VELK_BLOCKSIZE;
    sv.f_frsize = VELK_BLOCKSIZE;
    sv.f_blocks = ctx->archiveBytes / VELK_BLOCKSIZE;
    sv.f_files = ctx->tree.nodes.size();
    sv.f_namemax = 255;
    sv.f_flag = ST_RDONLY;
    fuse_reply_statfs(req, &sv);
}

// Every request that would change the tree.
void refuseNamed(fuse_req_t req, fuse_ino_t, const char *)
{
    fuse_reply_err(req, EROFS);
}
void refuseMknod(fuse_req_t req, fuse_ino_t, const char *, mode_t, dev_t)
{
    fuse_reply_err(req, EROFS);
}
void refuseMkdir(fuse_req_t req, fuse_ino_t, const char *, mode_t)
{
    fuse_reply_err(req, EROFS);
}
void refuseSymlink(fuse_req_t req, const char *, fuse_ino_t, const char *)
{
    fuse_reply_err(req, EROFS);
}
void refuseRename(fuse_req_t req, fuse_ino_t, const char *, fuse_ino_t, const char *, unsigned int)
{
    fuse_reply_err(req, EROFS);
}
void refuseLink(fuse_req_t req, fuse_ino_t, fuse_ino_t, const char *)
{
    fuse_reply_err(req, EROFS);
}
void refuseSetattr(fuse_req_t req, fuse_ino_t, struct stat *, int, fuse_file_info *)
{
    fuse_reply_err(req, EROFS);
}
void refuseWrite(fuse_req_t req, fuse_ino_t, const char *, size_t, off_t, fuse_file_info *)
{
    fuse_reply_err(req, EROFS);
}
void refuseCreate(fuse_req_t req, fuse_ino_t, const char *, mode_t, fuse_file_info *)
{
    fuse_reply_err(req, EROFS);
}
void refuseSetxattr(fuse_req_t req, fuse_ino_t, const char *, const char *, size_t, int)
{
    fuse_reply_err(req, EROFS);
}
void refuseFallocate(fuse_req_t req, fuse_ino_t, int, off_t, off_t, fuse_file_info *)
{
    fuse_reply_err(req, EROFS);
}

fuse_lowlevel_ops makeOps()
{
    fuse_lowlevel_ops ops;
    memset(&ops, 0, sizeof ops);
    ops.lookup = fsLookup;
    ops.getattr = fsGetattr;
    ops.readlink = fsReadlink;
    ops.opendir = fsOpendir;
    ops.readdir = fsReaddir;
    ops.open = fsOpen;
    ops.read = fsRead;
    ops.release = fsRelease;
    ops.statfs = fsStatfs;
    ops.setattr = refuseSetattr;
    ops.mknod = refuseMknod;
    ops.mkdir = refuseMkdir;
    ops.unlink = refuseNamed;
    ops.rmdir = refuseNamed;
    ops.removexattr = refuseNamed;
    ops.symlink = refuseSymlink;
    ops.rename = refuseRename;
    ops.link = refuseLink;
    ops.write = refuseWrite;
    ops.create = refuseCreate;
    ops.setxattr = refuseSetxattr;
    ops.fallocate = refuseFallocate;
    return ops;
}

// Answers requests until the file system is unmounted (0), the device
// fails (-1) or a shutdown is signalled (0).
int serveLoop(fuse_session *se)
{
    fuse_buf buf;
    memset(&buf, 0, sizeof buf);
    int rc = 0;
    pollfd pfd{fuse_session_fd(se), POLLIN, 0};
    while (!fuse_session_exited(se) && velk_shutdown_signalled.load() == 0) {
        pfd.revents = 0;
        int ready = poll(&pfd, 1, kPollMillis);
        if (ready < 0 && errno != EINTR) {
            rc = -1;
            break;
        }
        if (ready <= 0)
            continue;
        int n = fuse_session_receive_buf(se, &buf);
        if (n == -EINTR || n == -EAGAIN)
            continue;
        if (n <= 0) {
            // 0: unmounted (the session has ended itself).
            rc = n < 0 ? -1 : 0;
            break;
        }
        fuse_session_process_buf(se, &buf);
    }
    free(buf.mem);
    return rc;
}

} // namespace

int velk_MountServe(velk_mount_ctx_t *ctx, const char *mountPoint, const char *fsName, bool allowOther, bool debug)
{
    std::string opts = std::string("ro,default_permissions,subtype=velk,fsname=") + fsName;
    if (allowOther)
        opts += ",allow_other";
    std::string prog = "velk";
    std::string dashO = "-o";
    std::string dashD = "-d";
    char *argv[] = {prog.data(), dashO.data(), opts.data(), dashD.data(), nullptr};
    fuse_args args = FUSE_ARGS_INIT(debug ? 4 : 3, argv);
    fuse_lowlevel_ops ops = makeOps();
    fuse_session *se = fuse_session_new(&args, &ops, sizeof ops, ctx);
    fuse_opt_free_args(&args); // the copy libfuse made while parsing them
    if (se == nullptr || fuse_session_mount(se, mountPoint) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Unable to mount %s on %s\n", velk_archive, mountPoint);
        if (se != nullptr)
            fuse_session_destroy(se);
        velk_SetExitCode(VELK_EXIT_OSERR);
        return -1;
    }
    velk_LogFmt(VELK_MSG_VELK, MSG, "%s mounted on %s\n", velk_archive, mountPoint);
    fflush(stdout);
    int rc = serveLoop(se);
    fuse_session_unmount(se);
    fuse_session_destroy(se);
    if (rc != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error reading the file-system device of %s\n", mountPoint);
        velk_SetExitCode(VELK_EXIT_OSERR);
    }
    return 0;
}
