// The client open-file table and the operations on open files: open (plain
// and with a gateway data stream), close, seek, set-offset, status and
// preallocation; also the request-and-reply exchange every remote file
// operation shares.  A client descriptor is an index into the 250-entry
// table; the server's descriptor is kept in the entry.  nxapi_FileLock is
// held only while an entry is taken, freed or looked up; each entry's
// fileLock guards its busy mark, so different files are used from
// different threads at once and one file by one position-changing
// operation at a time.

#include "quor_api.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "nxapi_fileops.h"
#include "nxapi_mover.h"
#include "quorex_crypto.h"
#include "quor_net.h"

// nxapi_FileLock is defined with the library's other named locks (nxapi_conn.cpp).
nxapi_file_t nxapi_FileTable[NXAPI_MAX_OPEN_FILES];

namespace {

const kyl_xdrproc_t kOpenReq = KYL_XDRPROC(api_quor_Open_req_t, xdr_api_quor_Open_req_t);
const kyl_xdrproc_t kOpenRply = KYL_XDRPROC(api_quor_Open_rply_t, xdr_api_quor_Open_rply_t);
const kyl_xdrproc_t kOpenXReq = KYL_XDRPROC(api_quor_OpenX_req_t, xdr_api_quor_OpenX_req_t);
const kyl_xdrproc_t kOpenXRply = KYL_XDRPROC(api_quor_OpenX_rply_t, xdr_api_quor_OpenX_rply_t);
const kyl_xdrproc_t kFildesReq = KYL_XDRPROC(api_quor_fildes_req_t, xdr_api_quor_fildes_req_t);
const kyl_xdrproc_t kLseekReq = KYL_XDRPROC(api_quor_Lseek_req_t, xdr_api_quor_Lseek_req_t);
const kyl_xdrproc_t kLseekRply = KYL_XDRPROC(api_quor_Lseek_rply_t, xdr_api_quor_Lseek_rply_t);
const kyl_xdrproc_t kSetOffReq = KYL_XDRPROC(api_quor_SetFileOffset_req_t, xdr_api_quor_SetFileOffset_req_t);
const kyl_xdrproc_t kSetOffRply = KYL_XDRPROC(api_quor_SetFileOffset_rply_t, xdr_api_quor_SetFileOffset_rply_t);
const kyl_xdrproc_t kStatRply = KYL_XDRPROC(quor_stat_t, xdr_quor_stat_t);
const kyl_xdrproc_t kPreallocReq = KYL_XDRPROC(api_quor_Fpreallocate_req_t, xdr_api_quor_Fpreallocate_req_t);

// Takes the lowest free entry and marks it open.  Returns its index or -24.
int takeEntry()
{
    kyl_lock_guard g(nxapi_FileLock);
    for (int i = 0; i < NXAPI_MAX_OPEN_FILES; i++) {
        nxapi_file_t &f = nxapi_FileTable[i];
        if (f.state == NXAPI_FILE_FREE) {
            f.state = NXAPI_FILE_OPENING;
            // The entry's mutex is statically initialised; it exists from
            // the first use on.
            f.fileLockCreated = 1;
            return i;
        }
    }
    return -EMFILE;
}

// Frees entry fd (taken by this thread, or being closed).
void freeEntry(int fd)
{
    kyl_lock_guard g(nxapi_FileLock);
    nxapi_FileTable[fd].state = NXAPI_FILE_FREE;
}

// Records what an open established in entry fd.
void recordOpen(int fd, nxapi_tcontext_t *ctx, uint32_t xopenFlags, uint32_t xioFlags, int serverFd, int sockFd)
{
    nxapi_file_t &f = nxapi_FileTable[fd];
    {
        kyl_lock_guard fg(f.fileLock);
        f.activeFlag = NXFILE_IDLE;
        f.lockingThread = nullptr;
        f.xio_in_progress = 0;
    }
    // The fields are written under the table lock, which every later user
    // of the entry takes to find it open.
    kyl_lock_guard g(nxapi_FileLock);
    f.connection = ctx->connection;
    f.xopenFlags = xopenFlags;
    f.xioFlags = xioFlags;
    f.quorFiledes = serverFd;
    f.sockFiledes = sockFd;
    f.aborted = 0;
    f.state = NXAPI_FILE_OPEN;
}

// Sends, as the first bytes of the data connection fd, the proof that it
// is this session's: the stream's transfer secret for the gateway's
// descriptor serverFd and data port, which only the two parties of the
// session can compute.  The gateway takes no other connection and sends
// nothing before the proof, so a failure here (no session key, a send
// error) shows as the control byte never coming.
void proveDataConnection(int fd, quor_connection_t *conn, int32_t serverFd, uint16_t port)
{
    unsigned char proof[TRANSFER_SECRET_SIZE];
    if (nxapi_ConnTransferSecret(conn, TRANSFER_SECRET_STREAM, transfer_stream_id(serverFd, port), proof) != 0)
        return;
    size_t sent = 0;
    while (sent < sizeof proof) {
        ssize_t n = send(fd, proof + sent, sizeof proof - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    quorex_Wipe(proof, sizeof proof);
}

// Connects the data socket of a gateway data stream to addr, proves it
// (proveDataConnection; port is addr's, in host order) and reads the control byte the gateway sends
// first.  Returns the socket, or -errno of the socket, connect or read call
// (-ECONNRESET when the stream ends before the control byte).
int openDataConnection(const quor_sockaddr_t *addr, quor_connection_t *conn, int32_t serverFd, uint16_t port)
{
    int fd = socket(addr->hs_addr.ss_family, SOCK_STREAM, 0);
    if (fd < 0)
        return -errno;
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<const sockaddr *>(&addr->hs_addr), addr->hs_addrlen);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        int e = errno;
        nxapi_logf(1, "quor_OpenX", NXAPI_LOG_STDERR, __FILE__, __LINE__,
                   "*** %s: Data connect call failed - errno=%d [%s]\n", "quor_OpenX", e, strerror(e));
        close(fd);
        return -e;
    }
    // Keep-alive notices a gateway that vanished mid-stream; a socket
    // without it still works, so a failure only goes to the log.
    char err[256];
    if (int krc = quor_net_keepalive(fd, err, sizeof err); krc != 0)
        nxapi_logf(3, "quor_OpenX", NXAPI_LOG_FILE, __FILE__, __LINE__, "*** %s: %s\n", "quor_OpenX", err);
    proveDataConnection(fd, conn, serverFd, port);
    unsigned char ctl = 0;
    ssize_t got;
    do {
        got = read(fd, &ctl, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1) {
        int e = got < 0 ? errno : 0;
        nxapi_logf(1, "quor_OpenX", NXAPI_LOG_STDERR, __FILE__, __LINE__,
                   "*** (quor_OpenX) Error %d reading control flag from server\n", e);
        close(fd);
        return e != 0 ? -e : -ECONNRESET;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        (void)fcntl(fd, F_SETFL, fl | O_NONBLOCK);
    return fd;
}

// True when a reply's data address names no host (all zeros or no family).
bool addressUnspecified(const quor_sockaddr_t *a)
{
    if (a->hs_addr.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&a->hs_addr);
        return in->sin_addr.s_addr == 0;
    }
    if (a->hs_addr.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&a->hs_addr);
        return IN6_IS_ADDR_UNSPECIFIED(&in6->sin6_addr);
    }
    return true;
}

// Fills the fields quor_Open's and quor_OpenX's requests share: the wire
// open flags, the mode and the class-of-service hints (when given).
template <typename Req>
void setOpenFields(Req *req, uint32_t wireFlags, mode_t mode, const quor_cos_hints_t *hintsIn,
                   const quor_cos_priorities_t *hintsPri)
{
    req->Oflag = wireFlags;
    req->Mode = static_cast<uint32_t>(mode);
    if (hintsIn != nullptr)
        req->HintsIn = *hintsIn;
    if (hintsPri != nullptr)
        req->HintsPri = *hintsPri;
}

void setPort(quor_sockaddr_t *a, uint16_t netPort)
{
    if (a->hs_addr.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&a->hs_addr)->sin_port = netPort;
    else if (a->hs_addr.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6 *>(&a->hs_addr)->sin6_port = netPort;
}

} // namespace

// ---- Shared helpers -------------------------------------------------------------

int nxapi_CopyReplyDir(const char *field, size_t fieldSize, char *buf, int size)
{
    size_t n = strnlen(field, fieldSize - 1);
    if (n >= static_cast<size_t>(size))
        return -ERANGE;
    memcpy(buf, field, n);
    buf[n] = '\0';
    return 0;
}

int nxapi_CopyPathArg(char *field, size_t size, const char *path)
{
    if (path == nullptr)
        return -EFAULT;
    if (path[0] == '\0')
        return -ENOENT;
    size_t n = strlen(path);
    if (n >= size)
        return -ENAMETOOLONG;
    memcpy(field, path, n + 1);
    return 0;
}

int nxapi_StartPathCall(nxapi_tcontext_t **tcontext, char *field, size_t size, const char *path)
{
    int rc = nxapi_init(tcontext);
    if (rc != 0)
        return rc;
    return nxapi_CopyPathArg(field, size, path);
}

int nxapi_PathCall(uint16_t cat, uint16_t fn, char *field, size_t size, const char *path, void *req,
                   kyl_xdrproc_t reqCodec)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_StartPathCall(&ctx, field, size, path);
    if (rc != 0)
        return rc;
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, cat, fn, req, reqCodec, nullptr, nullptr, &result);
    return rc != 0 ? rc : result;
}

int nxapi_GetcwdCall(uint16_t cat, uint16_t fn, void *rply, kyl_xdrproc_t rplyCodec, const char *field,
                     size_t fieldSize, char *buf, int size)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (buf == nullptr || size <= 0)
        return -EFAULT;
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, cat, fn, nullptr, nullptr, rply, rplyCodec, &result);
    if (rc != 0)
        return rc;
    if (result != 0)
        return result;
    return nxapi_CopyReplyDir(field, fieldSize, buf, size);
}

int nxapi_Exchange(nxapi_tcontext_t *tcontext, uint16_t cat, uint16_t fn, void *req, kyl_xdrproc_t reqCodec, void *rply,
                   kyl_xdrproc_t rplyCodec, int32_t *errorcode)
{
    int rc = nxapi_send_msg(cat, fn, req, reqCodec, 0, 0, nullptr, tcontext);
    if (rc != 0)
        return rc;
    api_msghdr_t hdr;
    rc = nxapi_get_msg(tcontext, &hdr, rply, rplyCodec, nullptr);
    if (rc != 0)
        return rc;
    *errorcode = hdr.errorcode;
    return 0;
}

int nxapi_SimpleCall(uint16_t cat, uint16_t fn, void *req, kyl_xdrproc_t reqCodec, void *rply, kyl_xdrproc_t rplyCodec)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, cat, fn, req, reqCodec, rply, rplyCodec, &result);
    return rc != 0 ? rc : result;
}

int nxapi_FileMarkBusy(int fd, nxapi_tcontext_t *tcontext, nxapi_file_t **entry)
{
    if (fd < 0 || fd >= NXAPI_MAX_OPEN_FILES)
        return -ENOENT;
    nxapi_file_t &f = nxapi_FileTable[fd];
    kyl_lock_guard g(nxapi_FileLock);
    if (f.state != NXAPI_FILE_OPEN)
        return -ENOENT;
    kyl_lock_guard fg(f.fileLock);
    if (f.activeFlag != NXFILE_IDLE)
        return -ENOENT;
    f.activeFlag = NXFILE_BUSY;
    f.lockingThread = tcontext;
    *entry = &f;
    return 0;
}

void nxapi_FileMarkIdle(nxapi_file_t *entry)
{
    kyl_lock_guard g(entry->fileLock);
    entry->activeFlag = NXFILE_IDLE;
    entry->lockingThread = nullptr;
}

int nxapi_FileServerDes(int fd, int notOpen, int *serverFd)
{
    if (fd < 0 || fd >= NXAPI_MAX_OPEN_FILES)
        return notOpen;
    kyl_lock_guard g(nxapi_FileLock);
    if (nxapi_FileTable[fd].state != NXAPI_FILE_OPEN)
        return notOpen;
    *serverFd = nxapi_FileTable[fd].quorFiledes;
    return 0;
}

uint32_t nxapi_ConvertOpenFlags(int oflag)
{
    uint32_t w = 0;
    switch (oflag & O_ACCMODE) {
    case O_WRONLY: w |= QUOR_OFLAG_WRONLY; break;
    case O_RDWR: w |= QUOR_OFLAG_RDWR; break;
    default: w |= QUOR_OFLAG_RDONLY; break;
    }
    if (oflag & O_APPEND)
        w |= QUOR_OFLAG_APPEND;
    if (oflag & O_CREAT)
        w |= QUOR_OFLAG_CREAT;
    if (oflag & O_EXCL)
        w |= QUOR_OFLAG_EXCL;
    if (oflag & O_TRUNC)
        w |= QUOR_OFLAG_TRUNC;
    if (oflag & O_NONBLOCK)
        w |= QUOR_OFLAG_NONBLOCK;
    return w;
}

// ---- Operations ---------------------------------------------------------------------

int quor_Open(const char *path, int oflag, mode_t mode, const quor_cos_hints_t *hintsIn,
              const quor_cos_priorities_t *hintsPri, quor_cos_hints_t *hintsOut)
{
    nxapi_tcontext_t *ctx = nullptr;
    api_quor_Open_req_t req = {};
    int rc = nxapi_StartPathCall(&ctx, req.Path, sizeof req.Path, path);
    if (rc != 0)
        return rc;
    int fd = takeEntry();
    if (fd < 0)
        return fd;
    setOpenFields(&req, nxapi_ConvertOpenFlags(oflag), mode, hintsIn, hintsPri);
    api_quor_Open_rply_t rply = {};
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_OPEN, &req, kOpenReq, &rply, kOpenRply, &result);
    if (rc == 0 && result < 0)
        rc = result;
    if (rc != 0) {
        freeEntry(fd);
        return rc;
    }
    if (hintsOut != nullptr)
        *hintsOut = rply.HintsOut;
    recordOpen(fd, ctx, 0, 0, result, -1);
    return fd;
}

int quor_OpenX(uint32_t xioFlags, const char *path, int oflag, mode_t mode, const quor_cos_hints_t *hintsIn,
               const quor_cos_priorities_t *hintsPri, quor_cos_hints_t *hintsOut)
{
    nxapi_tcontext_t *ctx = nullptr;
    api_quor_OpenX_req_t req = {};
    int rc = nxapi_StartPathCall(&ctx, req.Path, sizeof req.Path, path);
    if (rc != 0)
        return rc;
    int fd = takeEntry();
    if (fd < 0)
        return fd;
    // A read-only data stream carries no access bit.
    setOpenFields(&req, nxapi_ConvertOpenFlags(oflag) & ~QUOR_OFLAG_RDONLY, mode, hintsIn, hintsPri);
    req.XIOFlags = xioFlags | 0x3u;
    api_quor_OpenX_rply_t rply = {};
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_OPENX, &req, kOpenXReq, &rply, kOpenXRply, &result);
    if (rc == 0 && result < 0)
        rc = result;
    if (rc != 0) {
        freeEntry(fd);
        return rc;
    }
    quor_sockaddr_t dataAddr = rply.connectaddr;
    if (addressUnspecified(&dataAddr))
        dataAddr = ctx->connection->server_addr;
    setPort(&dataAddr, rply.dataport);
    int sock = openDataConnection(&dataAddr, ctx->connection, result, ntohs(rply.dataport));
    if (sock < 0) {
        // The server opened the file: close it there before freeing the entry.
        api_quor_fildes_req_t creq = {result};
        int32_t ignored = 0;
        (void)nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_CLOSE, &creq, kFildesReq, nullptr, nullptr, &ignored);
        freeEntry(fd);
        return sock;
    }
    if (hintsOut != nullptr)
        *hintsOut = rply.HintsOut;
    {
        kyl_lock_guard g(nxapi_FileLock);
        nxapi_FileTable[fd].dataAddr = dataAddr;
        nxapi_FileTable[fd].dataPort = ntohs(rply.dataport);
    }
    recordOpen(fd, ctx, NXAPI_XOPEN_GATEWAY_STREAM, req.XIOFlags, result, sock);
    return fd;
}

int quor_Close(int fd)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (fd < 0 || fd >= NXAPI_MAX_OPEN_FILES)
        return -EBADF;
    api_quor_fildes_req_t req = {};
    int sock = -1;
    uint32_t pendingStream = 0;
    quor_connection_t *conn = nullptr;
    {
        kyl_lock_guard g(nxapi_FileLock);
        nxapi_file_t &f = nxapi_FileTable[fd];
        if (f.state != NXAPI_FILE_OPEN)
            return -EBADF;
        req.Fildes = f.quorFiledes;
        sock = f.sockFiledes;
        f.sockFiledes = -1;
        conn = f.connection;
        {
            kyl_lock_guard fg(f.fileLock);
            if (f.xio_in_progress)
                pendingStream = f.xio_requestID;
            f.xio_in_progress = 0;
        }
        // The entry is free whatever the server answers.
        f.state = NXAPI_FILE_FREE;
    }
    if (sock >= 0)
        close(sock);
    if (pendingStream != 0) {
        // A stream request still has its reply out (the transfer was left
        // unfinished): collect it first, or it would stand in front of the
        // close's reply for good.  Closing the socket ended the transfer.
        ctx->msgRequestID = pendingStream;
        api_msghdr_t hdr;
        if (int grc = nxapi_get_msg(ctx, &hdr, nullptr, nullptr, conn); grc != 0)
            return grc;
    }
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_CLOSE, &req, kFildesReq, nullptr, nullptr, &result);
    return rc != 0 ? rc : result;
}

int64_t quor_Lseek(int fd, int64_t offset, int whence)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    nxapi_file_t *f = nullptr;
    rc = nxapi_FileMarkBusy(fd, ctx, &f);
    if (rc != 0)
        return rc;
    api_quor_Lseek_req_t req = {f->quorFiledes, offset, whence};
    api_quor_Lseek_rply_t rply = {};
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_LSEEK, &req, kLseekReq, &rply, kLseekRply, &result);
    nxapi_FileMarkIdle(f);
    if (rc != 0)
        return rc;
    return result != 0 ? result : rply.retval;
}

int quor_SetFileOffset(int fd, uint64_t offset, int whence, int direction, uint64_t *offsetOut)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (direction != 0 && direction != 1)
        return -EINVAL;
    if (offsetOut == nullptr)
        return -EFAULT;
    nxapi_file_t *f = nullptr;
    rc = nxapi_FileMarkBusy(fd, ctx, &f);
    if (rc != 0)
        return rc;
    api_quor_SetFileOffset_req_t req = {f->quorFiledes, offset, whence, direction};
    api_quor_SetFileOffset_rply_t rply = {};
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_SETFILEOFFSET, &req, kSetOffReq, &rply, kSetOffRply, &result);
    nxapi_FileMarkIdle(f);
    if (rc != 0)
        return rc;
    if (result == 0)
        *offsetOut = rply.OffsetOut;
    return result;
}

int quor_Fstat(int fd, quor_stat_t *st)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (st == nullptr)
        return -EFAULT;
    api_quor_fildes_req_t req = {};
    rc = nxapi_FileServerDes(fd, -EBADF, &req.Fildes);
    if (rc != 0)
        return rc;
    memset(st, 0, sizeof *st);
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_FSTAT, &req, kFildesReq, st, kStatRply, &result);
    return rc != 0 ? rc : result;
}

int quor_Fpreallocate(int fd, uint64_t length)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    api_quor_Fpreallocate_req_t req = {};
    rc = nxapi_FileServerDes(fd, -EBADF, &req.Fildes);
    if (rc != 0)
        return rc;
    req.Length = length;
    int32_t result = 0;
    rc = nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_FPREALLOCATE, &req, kPreallocReq, nullptr, nullptr, &result);
    return rc != 0 ? rc : result;
}
