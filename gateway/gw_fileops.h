#ifndef GW_FILEOPS_H
#define GW_FILEOPS_H

// The file operations kylgwd serves on the served tree: category 1280
// (open, close, seek, status, attributes, directories, rename, unlink,
// accounts, umask, cwd), the user lookups (1536), class-of-service
// selection (2048), the expiration attribute (5888) and the small local-file
// operations (5632: getcwd, stat, mkdir, unlink).  Each session has its own
// state (cwd, umask, accounts, file and directory tables) guarded by the
// state's mutex, which a request holds while it is served.  When kylgwd runs
// as root, each request runs with the authenticated user's file-system uid,
// gid and groups on the serving thread; sidecar metadata is written with
// the daemon's own identity.  Data transfers (Read, Write, list,
// gateway-stream and local-file transfers) are served elsewhere with the
// descriptors these calls hand out.  Opens never
// block, and only regular files are opened as data files: a FIFO, socket
// or device in the tree is refused with -EINVAL (-22), a directory with
// -EISDIR.

#include "gw_reply.h"

#include <kylgw_xdr_fs.h>

#include <cstdint>
#include <string>
#include <vector>

// Entries of a session's file and directory tables.
constexpr int GW_FS_MAX_FILES = 250;
constexpr int GW_FS_MAX_DIRS = 64;
// Entries one directory listing holds.
constexpr size_t GW_FS_MAX_DIR_NAMES = 65536;

struct gw_fs_t;

// Opens the served tree and records where sidecars go.  Main thread,
// start-up, before the first session.  Returns 0 or -errno.
[[nodiscard]] int gw_FsSetup(const char *root, const char *meta, int runMode);

// A session's state; freed (closing every open file) by gw_FsFree.
gw_fs_t *gw_FsNew();
void gw_FsFree(gw_fs_t *fs);

// True for the operations gw_FsServe answers (none before gw_FsSetup).
bool gw_FsServes(uint16_t category, uint16_t function);

// Serves req for the authenticated session c (c->fs set) and sends the
// reply.  Returns what gw_SendReply returned.
int gw_FsServe(gw_conn_t *c, const gw_request_t *req);
// What a data transfer takes of an open file: a descriptor of its own (a
// duplicate sharing the table entry's position; the caller closes it), and
// the stripe width and block size of the file's class of service (the
// default class when the file has none that exists).
struct gw_fsxfer_t {
    int fd;
    uint32_t width;
    uint64_t block;
    std::string path; // the file's namespace path (for a mover daemon)
};
// Takes server descriptor fildes of session c (its lock held only here)
// for a transfer that reads it (forWrite false) or writes it.  Returns 0,
// -EBADF when it is not open or not open for that access, or -errno.
[[nodiscard]] int gw_FsTransferFile(gw_conn_t *c, int32_t fildes, bool forWrite, gw_fsxfer_t *out);
// Opens path (against the session's cwd, inside the served tree, with the
// user's identity) as the file of a local-file transfer: for writing
// O_WRONLY|O_CREAT without truncation, created with mode's permission bits
// less the session umask; for reading O_RDONLY.  Only a regular file is
// taken.  Returns the descriptor (the caller closes it) or -errno.
// OpenX: opens the request's file as Open does.  Returns the descriptor
// (hintsOut filled) or -errno.
[[nodiscard]] int gw_FsOpenX(gw_conn_t *c, const gw_request_t *req, quor_cos_hints_t *hintsOut);
// Gives descriptor fildes its data connection sock (owned from here on,
// closed by Close; closed at once when fildes is not open or has one).
// Returns 0 or -EBADF.
int gw_FsSetStream(gw_conn_t *c, int32_t fildes, int sock);
// Closes descriptor fildes (an OpenX whose data connection never came).
void gw_FsCloseFile(gw_conn_t *c, int32_t fildes);
// As gw_FsTransferFile, for a descriptor with a data connection: *file and
// *sock are duplicates the caller closes (the file's position is shared
// with the table entry).  Returns 0, -EBADF (not open for that access, or
// no data connection) or -errno.
[[nodiscard]] int gw_FsTransferStream(gw_conn_t *c, int32_t fildes, bool forWrite, int *file, int *sock);
// Opens namespace path nsPath of the served tree for a mover daemon's
// transfer (O_WRONLY without creating or truncating for a write, O_RDONLY
// for a read) as uid, gid and groups when the daemon runs as root.  Only a
// regular file is taken.  Returns the descriptor (blocking) or -errno.
[[nodiscard]] int gw_FsOpenForMover(const std::string &nsPath, bool forWrite, uint32_t uid, uint32_t gid,
                                    const std::vector<uint32_t> &groups);
[[nodiscard]] int gw_FsLfxOpen(gw_conn_t *c, const char *path, bool forWrite, uint32_t mode);

#endif
