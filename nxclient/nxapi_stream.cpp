// The gateway data stream of files opened with quor_OpenX: the gateway
// moves the file's bytes itself over the data socket the open connected,
// one ReadX or WriteX request at a time.  A transfer is two calls: the
// first (bit 31 of the flags) sends the request without waiting for its
// reply, the second moves the bytes and then collects the reply by the
// request's id.  The entry's fileLock guards the transfer fields; the
// entry is busy for the duration of each call.

#include "quor_api.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "kylgw_xdr_xfer.h"
#include "nxapi_fileops.h"

namespace {

const kyl_xdrproc_t kReadXReq = KYL_XDRPROC(api_quor_ReadX_req_t, xdr_api_quor_ReadX_req_t);
const kyl_xdrproc_t kWriteXReq = KYL_XDRPROC(api_quor_WriteX_req_t, xdr_api_quor_WriteX_req_t);

constexpr uint32_t XIO_START = 0x80000000u;

// Milliseconds a stream waits for its data socket before giving up.
int streamTimeoutMs()
{
    static const int ms = [] {
        const char *v = getenv("NXAPI_STREAM_TIMEOUT");
        long s = v != nullptr ? strtol(v, nullptr, 10) : 0;
        return static_cast<int>(s > 0 && s <= 1500 ? s : 1500) * 1000;
    }();
    return ms;
}

// Moves up to length bytes between buf and the stream's non-blocking data
// socket.  A read ends early at end of input; a write moves everything.
// Returns the bytes moved or -EIO (wait error, time-out, socket error).
ssize_t streamIo(int sock, unsigned char *buf, uint64_t length, bool write)
{
    const char *fn = write ? "nxapi_io_write" : "nxapi_io_read";
    uint64_t done = 0;
    while (done < length) {
        pollfd p{sock, static_cast<short>(write ? POLLOUT : POLLIN), 0};
        int n = poll(&p, 1, streamTimeoutMs());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            nxapi_Print("*** %s: Error %d on select call\n", fn, errno);
            return -EIO;
        }
        if (n == 0) {
            nxapi_Print("*** %s: timeout on %s\n", fn, write ? "write" : "read");
            return -EIO;
        }
        size_t want = static_cast<size_t>(length - done);
        ssize_t got = write ? ::send(sock, buf + done, want, MSG_NOSIGNAL) : ::read(sock, buf + done, want);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (got < 0) {
            nxapi_Print("*** %s: error %d %s %d bytes %s server\n", fn, errno, write ? "writing" : "reading",
                        static_cast<int>(want), write ? "to" : "from");
            return -EIO;
        }
        if (got == 0)
            break; // the gateway sent all it had and closed its side
        done += static_cast<uint64_t>(got);
    }
    return static_cast<ssize_t>(done);
}

ssize_t streamEntry(bool write, uint32_t xioFlags, int fd, void *buffer, uint64_t length, int *done)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    nxapi_file_t *f = nullptr;
    if ((rc = nxapi_FileMarkBusy(fd, ctx, &f)) != 0)
        return rc;
    ssize_t result = nxapi_StreamCall(ctx, f, write, xioFlags, buffer, length, done);
    nxapi_FileMarkIdle(f);
    return result;
}

} // namespace

ssize_t nxapi_StreamCall(nxapi_tcontext_t *ctx, nxapi_file_t *f, bool write, uint32_t xioFlags, void *buffer,
                         uint64_t length, int *done)
{
    if ((f->xopenFlags & NXAPI_XOPEN_GATEWAY_STREAM) == 0 || f->sockFiledes < 0)
        return -EBADF;
    if (done != nullptr)
        *done = 0;
    if (length == 0)
        return 0;
    ctx->connection = f->connection;
    if (xioFlags & XIO_START) {
        {
            kyl_lock_guard g(f->fileLock);
            if (f->xio_in_progress)
                return -EBUSY;
        }
        api_quor_ReadX_req_t rreq{xioFlags, f->quorFiledes, length};
        api_quor_WriteX_req_t wreq{xioFlags, f->quorFiledes, length};
        int rc = write ? nxapi_send_msg(CAT_FILESYS, FN_FS_WRITEX, &wreq, kWriteXReq, 0, 0, nullptr, ctx)
                       : nxapi_send_msg(CAT_FILESYS, FN_FS_READX, &rreq, kReadXReq, 0, 0, nullptr, ctx);
        if (rc != 0)
            return rc;
        kyl_lock_guard g(f->fileLock);
        f->xio_in_progress = 1;
        f->xio_requested = length;
        f->xio_remaining = length;
        f->xio_requestID = ctx->msgRequestID;
        return 0;
    }
    uint64_t remaining = 0;
    uint32_t requestID = 0;
    {
        kyl_lock_guard g(f->fileLock);
        if (!f->xio_in_progress)
            return -EBUSY;
        remaining = f->xio_remaining;
        requestID = f->xio_requestID;
    }
    if (buffer == nullptr)
        return -EFAULT;
    // Never more than the request announced: the gateway sends (or takes)
    // exactly that many bytes.
    uint64_t want = length < remaining ? length : remaining;
    ssize_t moved = streamIo(f->sockFiledes, static_cast<unsigned char *>(buffer), want, write);
    bool short_ = moved >= 0 && static_cast<uint64_t>(moved) < length;
    if (done != nullptr && short_)
        *done = 1;
    bool finished = moved < 0 || short_ || static_cast<uint64_t>(moved) == remaining;
    {
        kyl_lock_guard g(f->fileLock);
        if (moved > 0)
            f->xio_remaining -= static_cast<uint64_t>(moved);
        if (finished)
            f->xio_in_progress = 0;
    }
    if (!finished)
        return moved;
    // The request's reply: collected by its own id, whatever this thread
    // sent in between.
    ctx->msgRequestID = requestID;
    ctx->msgCategory = CAT_FILESYS;
    ctx->msgFunction = write ? FN_FS_WRITEX : FN_FS_READX;
    api_msghdr_t hdr;
    int rc = nxapi_get_msg(ctx, &hdr, nullptr, nullptr, f->connection);
    if (rc != 0)
        return rc;
    if (hdr.errorcode < 0)
        return hdr.errorcode;
    return moved;
}

ssize_t quor_ReadX(uint32_t xioFlags, int fd, void *buffer, uint64_t length, int *done)
{
    return streamEntry(false, xioFlags, fd, buffer, length, done);
}

ssize_t quor_WriteX(uint32_t xioFlags, int fd, const void *buffer, uint64_t length, int *done)
{
    // Only read from when writing.
    return streamEntry(true, xioFlags, fd, const_cast<void *>(buffer), length, done);
}
