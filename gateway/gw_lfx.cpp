// Local-file transfers (see gw_lfx.h).  Counts and offsets of the request
// are checked before any byte moves: offsets and offset + length stay
// below INT64_MAX, inline replies within KYLGW_MAX_LFX_INLINE, and exactly
// one data connection per transfer.

#include "gw_lfx.h"

#include "gw_events.h"
#include "gw_fileops.h"

#include <kyl_fd.h>
#include <kylgw_mvrio.h>
#include <kylgw_xdr_lfx.h>

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

const kyl_xdrproc_t kInitRply = KYL_XDRPROC(kylgw_lfx_xfer_init_rply_t, xdr_kylgw_lfx_xfer_init_rply_t);
const kyl_xdrproc_t kXferRply = KYL_XDRPROC(kylgw_lfx_xfer_reply_t, xdr_kylgw_lfx_xfer_reply_t);

// Takes the pooled connection of poolID out of the pool: the socket, or -1.
int poolTake(gw_conn_t *c, uint32_t poolID)
{
    kyl_lock_guard g(c->lfxPoolMutex);
    for (size_t i = 0; i < c->lfxPool.size(); i++)
        if (c->lfxPool[i].first == poolID) {
            int s = c->lfxPool[i].second;
            c->lfxPool.erase(c->lfxPool.begin() + static_cast<long>(i));
            return s;
        }
    return -1;
}

// Keeps s under poolID; a connection pooled under the same id before is
// closed.
void poolPut(gw_conn_t *c, uint32_t poolID, int s)
{
    int old = poolTake(c, poolID);
    if (old >= 0)
        close(old);
    kyl_lock_guard g(c->lfxPoolMutex);
    c->lfxPool.emplace_back(poolID, s);
}

// Connects to a (the client's own address with a's port when a is the
// wildcard) within GW_LFX_CONNECT_TIMEOUT.  Returns the socket or -errno.
int connectClient(const gw_conn_t *c, const quor_sockaddr_t &given)
{
    quor_sockaddr_t a = given;
    const int fam = a.hs_addr.ss_family;
    if (fam != AF_INET && fam != AF_INET6)
        return -EAFNOSUPPORT;
    const bool wild = fam == AF_INET
                          ? reinterpret_cast<const sockaddr_in &>(a.hs_addr).sin_addr.s_addr == htonl(INADDR_ANY)
                          : IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<const sockaddr_in6 &>(a.hs_addr).sin6_addr);
    if (wild) {
        sockaddr_storage peer{};
        socklen_t pl = sizeof peer;
        if (getpeername(c->fd, reinterpret_cast<sockaddr *>(&peer), &pl) != 0)
            return -errno;
        if (peer.ss_family != fam)
            return -EAFNOSUPPORT;
        if (fam == AF_INET)
            reinterpret_cast<sockaddr_in &>(peer).sin_port = reinterpret_cast<const sockaddr_in &>(a.hs_addr).sin_port;
        else
            reinterpret_cast<sockaddr_in6 &>(peer).sin6_port =
                reinterpret_cast<const sockaddr_in6 &>(a.hs_addr).sin6_port;
        a.hs_addr = peer;
    }
    kyl_fd s(socket(fam, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (s.get() < 0)
        return -errno;
    const socklen_t len = fam == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (connect(s.get(), reinterpret_cast<const sockaddr *>(&a.hs_addr), len) != 0 && errno != EINPROGRESS)
        return -errno;
    pollfd p{s.get(), POLLOUT, 0};
    int n;
    while ((n = poll(&p, 1, GW_LFX_CONNECT_TIMEOUT * 1000)) < 0 && errno == EINTR) {
    }
    int err = 0;
    socklen_t el = sizeof err;
    if (n == 0)
        err = ETIMEDOUT;
    else if (n < 0 || getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &el) != 0)
        err = errno;
    if (err != 0)
        return -err;
    return s.release();
}

// Moves len bytes between the data connection s and the file fd at off:
// from the connection into the file for a send, else from the file to the
// connection, stopping early at the end of the file.  *moved counts what
// moved.  Returns 0 or a negative code (a connection that ends early:
// NXAPI_E_NOSESSION from the receive).
int moveBytes(int s, int fd, bool send, uint64_t off, uint64_t len, uint64_t *moved)
{
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[GW_LFX_CHUNK]);
    if (!buf)
        return -ENOMEM;
    while (*moved < len) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(GW_LFX_CHUNK, len - *moved));
        const off_t at = static_cast<off_t>(off + *moved);
        if (send) {
            ssize_t n = quor_recv_data_timeout(s, buf.get(), want, GW_LFX_IO_TIMEOUT);
            if (n < 0)
                return static_cast<int>(n);
            for (size_t put = 0; put < want;) {
                ssize_t w = pwrite(fd, buf.get() + put, want - put, at + static_cast<off_t>(put));
                if (w < 0 && errno == EINTR)
                    continue;
                if (w < 0)
                    return -errno;
                put += static_cast<size_t>(w);
            }
            *moved += want;
            continue;
        }
        ssize_t r = pread(fd, buf.get(), want, at);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -errno;
        if (r == 0)
            return 0; // end of the file: fewer bytes than asked
        ssize_t n = quor_send_data_timeout(s, buf.get(), static_cast<size_t>(r), GW_LFX_IO_TIMEOUT);
        if (n < 0)
            return static_cast<int>(n);
        *moved += static_cast<uint64_t>(r);
    }
    return 0;
}

void lfxEvent(const gw_conn_t *c, const char *how, const kyl_xfer_init_info_t &info, int pooled, uint64_t moved,
              int status)
{
    gw_event("lfx")
        .num("session", static_cast<int64_t>(c->id))
        .str("mode", how)
        .num("op", info.xferOperation)
        .num("pooled", pooled)
        .num("pool", info.addressList != nullptr ? info.addressList->poolID : 0)
        .num("bytes", static_cast<int64_t>(moved))
        .num("status", status)
        .emit();
}

// The inline transfers: one reply carrying the result (and the data read).
int serveInline(gw_conn_t *c, const gw_request_t *req, const kyl_xfer_init_info_t &info, int fd)
{
    kylgw_lfx_xfer_init_rply_t r{};
    std::vector<unsigned char> data;
    int status = 0;
    uint64_t moved = 0;
    if (info.flags & LFX_INLINE_SEND) {
        for (; moved < info.xferLength;) {
            ssize_t w =
                pwrite(fd, info.fileData + moved, info.xferLength - moved, static_cast<off_t>(info.sinkOffset + moved));
            if (w < 0 && errno == EINTR)
                continue;
            if (w < 0) {
                status = -errno;
                break;
            }
            moved += static_cast<uint64_t>(w);
        }
    } else {
        data.resize(info.xferLength);
        while (moved < info.xferLength) {
            ssize_t n =
                pread(fd, data.data() + moved, info.xferLength - moved, static_cast<off_t>(info.srcOffset + moved));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                status = n < 0 ? -errno : 0;
                break;
            }
            moved += static_cast<uint64_t>(n);
        }
        if (status == 0) {
            r.reply.flags = LFX_REPLY_INLINE;
            r.reply.fileData = data.data();
        }
    }
    r.reply.xferStatus = status;
    r.reply.fileSize = status == 0 ? moved : 0;
    lfxEvent(c, "inline", info, 0, moved, status);
    return gw_SendReplyBody(c, req, status, kInitRply, &r);
}

// A transfer over a data connection: the first reply at once, the bytes,
// then the completion as a second reply.
int serveConnection(gw_conn_t *c, const gw_request_t *req, const kyl_xfer_init_info_t &info, int fd)
{
    kylgw_lfx_xfer_init_rply_t r{};
    int rc = gw_SendReply(c, req, 0, kInitRply, &r);
    if (rc != 0)
        return rc;
    const kyl_sockaddr_info_t &a = *info.addressList;
    const bool send = info.xferOperation == LFX_OP_SEND;
    int s = a.preConnected ? poolTake(c, a.poolID) : connectClient(c, a.socketAddr);
    uint64_t moved = 0;
    int status = s >= 0 ? moveBytes(s, fd, send, send ? info.sinkOffset : info.srcOffset, info.xferLength, &moved)
                 : a.preConnected ? -ENOTCONN
                                  : s;
    if (s >= 0) {
        if (status == 0)
            poolPut(c, a.poolID, s);
        else
            close(s);
    }
    lfxEvent(c, "connection", info, a.preConnected ? 1 : 0, moved, status);
    gw_request_t done = *req;
    done.hdr.function = FN_LFX_XFER_REPLY;
    kylgw_lfx_xfer_reply_t x{};
    x.complete.xferStatus = status;
    x.complete.bytesXferred = moved;
    return gw_SendReplyBody(c, &done, status, kXferRply, &x);
}

bool offsetsOk(const kyl_xfer_init_info_t &i)
{
    const uint64_t lim = static_cast<uint64_t>(INT64_MAX);
    return i.xferLength <= lim && i.srcOffset <= lim - i.xferLength && i.sinkOffset <= lim - i.xferLength;
}

int serveInit(gw_conn_t *c, const gw_request_t *req)
{
    const auto *rq = static_cast<const kylgw_lfx_xfer_init_req_t *>(req->body);
    if (rq == nullptr)
        return gw_SendReply(c, req, -EINVAL, nullptr, nullptr);
    const kyl_xfer_init_info_t &info = rq->info;
    const bool send = info.xferOperation == LFX_OP_SEND;
    const bool inSend = (info.flags & LFX_INLINE_SEND) != 0, inRecv = (info.flags & LFX_INLINE_RECEIVE) != 0;
    const bool inl = inSend || inRecv;
    if ((info.xferOperation != LFX_OP_SEND && info.xferOperation != LFX_OP_RECEIVE) || (inSend && !send) ||
        (inRecv && send) || !offsetsOk(info) || (inRecv && info.xferLength > KYLGW_MAX_LFX_INLINE) ||
        (inSend && info.fileData == nullptr && info.xferLength > 0) ||
        (!inl && (info.addressCount != 1 || info.addressList == nullptr)))
        return gw_SendReply(c, req, -EINVAL, nullptr, nullptr);
    int fd;
    if ((info.flags & LFX_REMOTE_OPEN) || rq->filedes >= 0) {
        gw_fsxfer_t x{};
        int rc = gw_FsTransferFile(c, rq->filedes, send, &x);
        fd = rc != 0 ? rc : x.fd;
    } else {
        fd = gw_FsLfxOpen(c, info.pathName, send, info.mode);
    }
    if (fd < 0)
        return gw_SendReply(c, req, fd, nullptr, nullptr);
    kyl_fd file(fd);
    return inl ? serveInline(c, req, info, file.get()) : serveConnection(c, req, info, file.get());
}

} // namespace

bool gw_LfxServes(uint16_t category, uint16_t function)
{
    return category == CAT_LFX && (function == FN_LFX_INIT || function == FN_LFX_CLEAN_SOCK_POOL);
}

int gw_ServeLfx(gw_conn_t *c, const gw_request_t *req)
{
    if (req->hdr.function == FN_LFX_INIT)
        return serveInit(c, req);
    gw_LfxPoolClose(c);
    return gw_SendReply(c, req, 0, nullptr, nullptr);
}

void gw_LfxPoolClose(gw_conn_t *c)
{
    kyl_lock_guard g(c->lfxPoolMutex);
    for (const auto &p : c->lfxPool)
        close(p.second);
    c->lfxPool.clear();
}
