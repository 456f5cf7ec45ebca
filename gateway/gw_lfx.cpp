// Local-file transfers (see gw_lfx.h).  Counts and offsets of the request
// are checked before any byte moves: offsets and offset + length stay
// below INT64_MAX, inline replies within KYLGW_MAX_LFX_INLINE, and exactly
// one data connection per transfer.

#include "gw_lfx.h"
#include "gw_auth.h"
#include "gw_config.h"

#include "gw_events.h"
#include "gw_fileops.h"
#include "gw_log.h"

#include <kyl_fd.h>
#include <kylgw_mvrio.h>
#include <kylgw_mvrprot.h>
#include <kylgw_xdr_lfx.h>
#include <quorex_crypto.h>

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
// closed, and so are the oldest ones past the site's
// max_lfx_pool_per_session, so that one session cannot hold every
// descriptor of the daemon.
void poolPut(gw_conn_t *c, uint32_t poolID, int s)
{
    int old = poolTake(c, poolID);
    if (old >= 0)
        close(old);
    const uint32_t cap = gw_ProtoConfig()->site.max_lfx_pool_per_session;
    kyl_lock_guard g(c->lfxPoolMutex);
    c->lfxPool.emplace_back(poolID, s);
    while (cap > 0 && c->lfxPool.size() > cap) {
        close(c->lfxPool.front().second);
        c->lfxPool.erase(c->lfxPool.begin());
    }
}

// Waits until s is ready for events, a second at a time, at most seconds;
// a session that closes meanwhile ends the wait (and the socket's use).
// 0, -ETIMEDOUT, -ECONNABORTED (session closing) or -errno.
int waitReady(const gw_conn_t *c, int s, short events, int seconds)
{
    for (int waited = 0; waited < seconds;) {
        if (c->closing.load()) {
            shutdown(s, SHUT_RDWR);
            return -ECONNABORTED;
        }
        pollfd p{s, events, 0};
        int n = poll(&p, 1, 1000);
        if (n < 0 && errno != EINTR)
            return -errno;
        if (n > 0)
            return 0;
        if (n == 0)
            waited++;
    }
    return -ETIMEDOUT;
}

// Receives exactly n bytes (a connection that ends first gives
// -ECONNRESET) or sends n bytes on the data connection s, each wait
// bounded by GW_LFX_IO_TIMEOUT and ended by the session closing.  0 or
// negative.
int dataIo(const gw_conn_t *c, int s, unsigned char *buf, size_t n, bool receive)
{
    size_t done = 0;
    while (done < n) {
        int rc = waitReady(c, s, receive ? POLLIN : POLLOUT, GW_LFX_IO_TIMEOUT);
        if (rc != 0)
            return rc;
        ssize_t k = receive ? recv(s, buf + done, n - done, MSG_DONTWAIT)
                            : send(s, buf + done, n - done, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (k < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (k < 0)
            return -errno;
        if (k == 0)
            return -ECONNRESET;
        done += static_cast<size_t>(k);
    }
    return 0;
}

// Where the data connection for address given goes: the client's own
// address with given's port.  An address of another host is refused
// (-EACCES): data connections go back only to the client that asked, so a
// request cannot make this host reach other services.  0 with *a set, or
// a negative code.
int clientTarget(const gw_conn_t *c, const quor_sockaddr_t &given, quor_sockaddr_t *a)
{
    *a = given;
    const int fam = given.hs_addr.ss_family;
    if (fam != AF_INET && fam != AF_INET6)
        return -EAFNOSUPPORT;
    sockaddr_storage peer{};
    socklen_t pl = sizeof peer;
    if (getpeername(c->fd, reinterpret_cast<sockaddr *>(&peer), &pl) != 0)
        return -errno;
    if (peer.ss_family != fam)
        return -EAFNOSUPPORT;
    if (fam == AF_INET) {
        const in_addr_t want = reinterpret_cast<const sockaddr_in &>(given.hs_addr).sin_addr.s_addr;
        if (want != htonl(INADDR_ANY) && want != reinterpret_cast<const sockaddr_in &>(peer).sin_addr.s_addr)
            return -EACCES;
        reinterpret_cast<sockaddr_in &>(peer).sin_port = reinterpret_cast<const sockaddr_in &>(given.hs_addr).sin_port;
    } else {
        const in6_addr &want = reinterpret_cast<const sockaddr_in6 &>(given.hs_addr).sin6_addr;
        if (!IN6_IS_ADDR_UNSPECIFIED(&want) &&
            memcmp(&want, &reinterpret_cast<const sockaddr_in6 &>(peer).sin6_addr, sizeof want) != 0)
            return -EACCES;
        reinterpret_cast<sockaddr_in6 &>(peer).sin6_port =
            reinterpret_cast<const sockaddr_in6 &>(given.hs_addr).sin6_port;
    }
    a->hs_addr = peer;
    return 0;
}

// Connects to the client's data address a (see clientTarget) within
// GW_LFX_CONNECT_TIMEOUT and proves, as its first bytes, that the
// connection comes from this session: the transfer secret of the client's
// socket entry (pool id and listening port), which only the two parties of
// the session can compute.  Returns the socket or a negative code.
int connectClient(const gw_conn_t *c, const quor_sockaddr_t &given, uint32_t poolId)
{
    quor_sockaddr_t a{};
    int trc = clientTarget(c, given, &a);
    if (trc != 0)
        return trc;
    const int fam = a.hs_addr.ss_family;
    const uint16_t port = ntohs(fam == AF_INET ? reinterpret_cast<const sockaddr_in &>(a.hs_addr).sin_port
                                               : reinterpret_cast<const sockaddr_in6 &>(a.hs_addr).sin6_port);
    unsigned char proof[TRANSFER_SECRET_SIZE];
    if ((trc = gw_AuthTransferSecret(c, TRANSFER_SECRET_LFX, transfer_lfx_id(poolId, port), proof)) != 0)
        return trc; // without a session key the client trusts no connection
    kyl_fd s(socket(fam, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (s.get() < 0)
        return -errno;
    if (const std::string &src = c->faults.moverSrc; !src.empty() && fam == AF_INET) {
        sockaddr_in from{};
        from.sin_family = AF_INET;
        if (inet_pton(AF_INET, src.c_str(), &from.sin_addr) == 1 &&
            bind(s.get(), reinterpret_cast<const sockaddr *>(&from), sizeof from) == 0)
            gw_FaultFired(c, "mover_src", nullptr);
    }
    const socklen_t len = fam == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    if (connect(s.get(), reinterpret_cast<const sockaddr *>(&a.hs_addr), len) != 0 && errno != EINPROGRESS)
        return -errno;
    int rc = waitReady(c, s.get(), POLLOUT, GW_LFX_CONNECT_TIMEOUT);
    if (rc != 0)
        return rc;
    int err = 0;
    socklen_t el = sizeof err;
    if (getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &el) != 0)
        err = errno;
    if (err != 0)
        return -err;
    rc = dataIo(c, s.get(), proof, sizeof proof, false);
    quorex_Wipe(proof, sizeof proof);
    return rc != 0 ? rc : s.release();
}

// Moves len bytes between the data connection s and the file fd at off:
// from the connection into the file for a send, else from the file to the
// connection, stopping early at the end of the file.  *moved counts what
// moved.  Returns 0 or a negative code (a connection that ends early:
// -ECONNRESET from the receive).
int moveBytes(const gw_conn_t *c, int s, int fd, bool send, uint64_t off, uint64_t len, uint64_t *moved)
{
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[GW_LFX_CHUNK]);
    if (!buf)
        return -ENOMEM;
    while (*moved < len) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(GW_LFX_CHUNK, len - *moved));
        const off_t at = static_cast<off_t>(off + *moved);
        if (send) {
            int n = dataIo(c, s, buf.get(), want, true);
            if (n < 0)
                return n;
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
        int n = dataIo(c, s, buf.get(), static_cast<size_t>(r), false);
        if (n < 0)
            return n;
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

// lfx_status and lfx_bytes: the result the gateway reports.  With
// carried, *bytes is the length of data the reply carries and can only
// shrink.
void applyResultFaults(gw_conn_t *c, const gw_request_t *req, int32_t *status, uint64_t *bytes, bool carried)
{
    if (c->faults.lfxStatusSet) {
        gw_FaultFired(c, "lfx_status", &req->hdr);
        *status = c->faults.lfxStatus;
    }
    if (c->faults.lfxBytesSet) {
        gw_FaultFired(c, "lfx_bytes", &req->hdr);
        *bytes = carried ? std::min(*bytes, c->faults.lfxBytes) : c->faults.lfxBytes;
    }
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
    applyResultFaults(c, req, &r.reply.xferStatus, &r.reply.fileSize, (info.flags & LFX_INLINE_RECEIVE) != 0);
    status = r.reply.xferStatus;
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
    const gw_faults_t &f = c->faults;
    int s;
    if (a.preConnected && f.lfxPoolUnknown) {
        gw_FaultFired(c, "lfx_pool_unknown", &req->hdr);
        int kept = poolTake(c, a.poolID);
        if (kept >= 0)
            close(kept);
        s = -ENOTCONN;
    } else if (!a.preConnected && f.lfxNoconnect) {
        gw_FaultFired(c, "lfx_noconnect", &req->hdr);
        for (int waited = 0; waited < GW_LFX_CONNECT_TIMEOUT && !c->closing.load(); waited++)
            usleep(1000000);
        s = -ETIMEDOUT;
    } else {
        s = a.preConnected ? poolTake(c, a.poolID) : connectClient(c, a.socketAddr, a.poolID);
        if (a.preConnected && s < 0)
            s = -ENOTCONN;
    }
    uint64_t moved = 0;
    // lfx_close_early moves half the bytes, closes and calls it a success.
    const uint64_t len = f.lfxCloseEarly ? info.xferLength / 2 : info.xferLength;
    int status = s >= 0 ? moveBytes(c, s, fd, send, send ? info.sinkOffset : info.srcOffset, len, &moved) : s;
    if (s >= 0) {
        if (status == 0 && !f.lfxCloseEarly)
            poolPut(c, a.poolID, s);
        else
            close(s);
        if (f.lfxCloseEarly)
            gw_FaultFired(c, "lfx_close_early", &req->hdr);
    }
    lfxEvent(c, "connection", info, a.preConnected ? 1 : 0, moved, status);
    gw_request_t done = *req;
    done.hdr.function = FN_LFX_XFER_REPLY;
    kylgw_lfx_xfer_reply_t x{};
    x.complete.xferStatus = status;
    x.complete.bytesXferred = moved;
    applyResultFaults(c, req, &x.complete.xferStatus, &x.complete.bytesXferred, false);
    status = x.complete.xferStatus;
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
    // Data connections go back only to the client that asks.
    quor_sockaddr_t to{};
    const int trc = inl || info.addressList->preConnected ? 0 : clientTarget(c, info.addressList->socketAddr, &to);
    if (trc != 0) {
        gw_Log("session %llu: local-file transfer id %u: data address refused (%d)",
               static_cast<unsigned long long>(c->id), req->hdr.msgRequestID, trc);
        return gw_SendReply(c, req, trc, nullptr, nullptr);
    }
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
