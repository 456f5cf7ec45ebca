// The gateway local-file transfer (see velk_Lfx.h).  The calling thread
// builds the request (inline data for a small file-mode transfer, else one
// listening socket or a kept connection), starts the control thread and
// sends the request; the control thread accepts the gateway's data
// connection (from the gateway's own address only) and runs a producer,
// which fills buffers from the source in order, and a consumer, which
// empties them into the sink.  The two hand buffers over through a
// private queue under the control's bufQueueLock.  When the data side
// succeeded the caller takes the gateway's completion; a connection is
// kept for the next transfer only after full success.

#include "velk_Lfx.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdarg>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kylgw_errors.h"
#include "kylgw_mvrprot.h"
#include "nxapi_mover.h"
#include "quor_api.h"
#include "quor_net.h"
#include "quorex_crypto.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"
#include "velk_ReaderPool.h"

namespace {

constexpr uint32_t MSG = VELK_LOGCLASS_MSG;
// Longest silence of a data connection, in seconds, while bytes are due.
constexpr int kIdleSeconds = 300;
constexpr int kListenTries = 100;
constexpr int kAllocTries = 50;
constexpr int kListenBacklog = 4096;
constexpr int kEioRetries = 5;
// Seconds a new data connection has to show the transfer's proof.
constexpr int kProofSeconds = 10;

// Data connections kept for the next transfer of the run.
kyl_mutex_t socketPoolLock;
kyl_sockaddr_info_t *socketPool KYL_GUARDED_BY(socketPoolLock) = nullptr;
uint32_t socketPoolId KYL_GUARDED_BY(socketPoolLock) = 0; // last pool id handed out

// One transfer beside its control.  Set by the calling thread before the
// control thread starts; handHead/handTail are guarded by the control's
// bufQueueLock; sock.socketFD is closed only by the calling thread (other
// threads may shut it down).
struct LfxRun {
    velk_xfer_ctl_t *ctl = nullptr;
    lfx_file_info_t *fi = nullptr;
    bool send = false;
    kyl_xfer_init_info_t info{};
    kyl_sockaddr_info_t addr{};
    bool inlineXfer = false;
    nw_sock_struct_t sock{0, 0, -1, {}};
    quor_sockaddr_t gateway{};
    bool haveGateway = false;
    // What the gateway's data connection opens with (see provesGateway),
    // worked out by the control thread at the first connection; proofRc is
    // 0 when the proof is known.
    unsigned char proof[TRANSFER_SECRET_SIZE] = {};
    int proofRc = -ENOKEY;
    bool proofTried = false;
    io_buffer_t *handHead = nullptr;
    io_buffer_t *handTail = nullptr;
    pthread_t ctlThread{};
};

// Sets the exit code when none is set, clears the console line and logs
// text.
void setExitResult(int exitCode, int logLevel, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
void setExitResult(int exitCode, int logLevel, const char *fmt, ...)
{
    char text[VELK_MSG_BUFSIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    velk_SetExitCode(exitCode);
    console_message("", "");
    velk_LogMsg(logLevel, MSG, text);
}

// True when the transfer must stop (aborted or shut down) or is
// recovering.  The end of the transfer is not asked: the control thread
// marks it ended only after its data threads are joined, and an inline
// transfer never marks it active.
bool stopped(velk_xfer_ctl_t *ctl)
{
    const int why = velk_XferStopReason(ctl);
    return why == VELK_XFER_ABORTED || why == VELK_XFER_SHUTDOWN || velk_XferRecovering(ctl);
}

// Aborts the transfer and wakes every thread of it: the data connection is
// shut down, the buffer queues and the buffer source's request announced.
void abortRun(LfxRun *run)
{
    velk_xfer_ctl_t *ctl = run->ctl;
    {
        kyl_lock_guard g(ctl->controlLock);
        ctl->abortSignalled++;
        if (run->sock.socketFD >= 0)
            shutdown(run->sock.socketFD, SHUT_RDWR);
    }
    {
        kyl_lock_guard g(ctl->ring.bufQueueLock);
        ctl->ring.bufQueueCondition.broadcast();
    }
    io_bufreq_t *req = &run->fi->lfxBufRequest;
    if (req->reqLockCreated && req->reqCondCreated) {
        kyl_lock_guard g(req->reqLock);
        req->reqCond.broadcast();
    }
    velk_LfwBroadcastCondition(ctl->pool);
}

// Records a thread's result (the first failure counts) and aborts on
// failure.
void recordResult(LfxRun *run, int rc, int *activeFlag)
{
    velk_xfer_ctl_t *ctl = run->ctl;
    {
        kyl_lock_guard g(ctl->controlLock);
        if (ctl->gwhost.transfer_result == 0)
            ctl->gwhost.transfer_result = rc;
        *activeFlag = 0;
    }
    if (rc != 0)
        abortRun(run);
}

// Waits until fd is ready for events, one second at a time so that an
// abort is noticed.  0, -ECANCELED when the transfer stopped, -ETIMEDOUT
// after kIdleSeconds, or -errno.
int waitSocket(LfxRun *run, int fd, short events)
{
    for (int waited = 0;; waited++) {
        if (stopped(run->ctl))
            return -ECANCELED;
        if (waited >= kIdleSeconds)
            return -ETIMEDOUT;
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, 1000);
        if (n < 0 && errno != EINTR)
            return -errno;
        if (n > 0)
            return 0;
    }
}

// Receives up to len bytes from the data connection, stopping early only
// at its end.  The count received, or negative.
ssize_t recvFull(LfxRun *run, int fd, unsigned char *buf, size_t len)
{
    size_t got = 0;
    while (got < len) {
        int rc = waitSocket(run, fd, POLLIN);
        if (rc != 0)
            return rc;
        ssize_t n = recv(fd, buf + got, len - got, MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Sends len bytes on the data connection.  0 or negative.
int sendFull(LfxRun *run, int fd, const unsigned char *buf, size_t len)
{
    size_t put = 0;
    while (put < len) {
        int rc = waitSocket(run, fd, POLLOUT);
        if (rc != 0)
            return rc;
        ssize_t n = send(fd, buf + put, len - put, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n < 0)
            return -errno;
        put += static_cast<size_t>(n);
    }
    return 0;
}

// Reads len bytes of the local file at offset (a file that ends early
// gives fewer).  The count, or -errno.
ssize_t preadFull(int fd, unsigned char *buf, size_t len, uint64_t offset)
{
    size_t got = 0;
    while (got < len) {
        ssize_t n = pread(fd, buf + got, len - got, static_cast<off_t>(offset + got));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return -errno;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Writes len bytes to the local file at offset.  ENOSPC waits 10 seconds
// and tries again; EIO is tried again up to five times, the n-th time
// after n x 10 seconds.  0, or -errno after the message.
int pwriteLocal(LfxRun *run, const unsigned char *buf, size_t len, uint64_t offset)
{
    const char *fn = "XferWriteThread";
    const char *path = run->fi->localPath != nullptr ? run->fi->localPath : "(local file)";
    char t1[32];
    int eio = 0;
    size_t put = 0;
    while (put < len) {
        ssize_t n = pwrite(run->fi->localFD, buf + put, len - put, static_cast<off_t>(offset + put));
        if (n >= 0) {
            put += static_cast<size_t>(n);
            continue;
        }
        const int e = errno;
        if (e == EINTR || e == EAGAIN)
            continue;
        if (stopped(run->ctl))
            return -ECANCELED;
        if (e == ENOSPC) {
            velk_SleepMs(10000);
            continue;
        }
        if (e == EIO && ++eio <= kEioRetries) {
            velk_LogFmt(VELK_MSG_LOGONLY, MSG, "%s: EIO error on write for %s. Retrying (pos=%s)", fn, path,
                        velk_U64Text(offset + put, t1, sizeof t1));
            velk_SleepMs(10000L * eio);
            continue;
        }
        if (e == EIO)
            setExitResult(VELK_EXIT_EXTRACT_IO, VELK_MSG_ERROR, "***%s: Fatal EIO error on write for %s at offset=%s",
                          fn, path, velk_U64Text(offset + put, t1, sizeof t1));
        else
            setExitResult(VELK_EXIT_EXTRACT_IO, VELK_MSG_ERROR,
                          "***%s: unrecovered error %d writing %d bytes at offset %s", fn, e,
                          static_cast<int>(len - put), velk_U64Text(offset + put, t1, sizeof t1));
        return -e;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// The socket pool.
// ---------------------------------------------------------------------------

// Takes a kept connection the gateway has not closed; those it closed are
// dropped.  true with *out filled, or false.
bool takePooled(nw_sock_struct_t *out)
{
    kyl_lock_guard g(socketPoolLock);
    while (kyl_sockaddr_info_t *e = socketPool) {
        socketPool = e->next;
        pollfd p{e->socketFD, POLLIN, 0};
        // A kept connection carries nothing between transfers: anything
        // readable means the gateway closed it.
        const bool closedByPeer = poll(&p, 1, 0) != 0;
        if (closedByPeer) {
            close(e->socketFD);
        } else {
            *out = nw_sock_struct_t{1, e->poolID, e->socketFD, e->socketAddr};
        }
        VELK_FREE(e);
        if (!closedByPeer)
            return true;
    }
    return false;
}

// Keeps a connection for the next transfer (or closes it when no entry can
// be made).
void addSocketToPool(const nw_sock_struct_t &s)
{
    auto *e = static_cast<kyl_sockaddr_info_t *>(VELK_CALLOC(1, sizeof(kyl_sockaddr_info_t)));
    if (e == nullptr) {
        velk_ErrPrintf("***%s: Unable to add socket to reuse pool for file descriptor %d\n", __func__, s.socketFD);
        close(s.socketFD);
        return;
    }
    e->addressType = LFX_ADDR_LISTEN;
    e->preConnected = 1;
    e->poolID = s.poolID;
    e->socketFD = s.socketFD;
    e->socketAddr = s.socketSockAddr;
    kyl_lock_guard g(socketPoolLock);
    kyl_sockaddr_info_t **tail = &socketPool;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = e;
}

// After a transfer: a connection with a pool id is kept, any other socket
// closed.
void copySocketsToPool(LfxRun *run, bool success)
{
    nw_sock_struct_t &s = run->sock;
    if (s.socketFD < 0)
        return;
    if (success && s.connected && s.poolID != 0)
        addSocketToPool(s);
    else
        close(s.socketFD);
    s.socketFD = -1;
    s.connected = 0;
}

// ---------------------------------------------------------------------------
// Request.
// ---------------------------------------------------------------------------

// The one socket of a transfer: a kept connection, else a new listening
// socket on any address (tried again while its port is taken) that listens
// at once.  0, or -1 after the message.
int createListenSockets(LfxRun *run)
{
    if (takePooled(&run->sock)) {
        run->addr.preConnected = 1;
    } else {
        int fd = -1;
        quor_sockaddr_t a{};
        int rc = -1;
        for (int i = 0; i < kListenTries; i++) {
            rc = kylgw_SockGetListenSocket(1, 1, &fd, &a);
            if (rc != -EADDRINUSE && rc != -EADDRNOTAVAIL)
                break;
            velk_SleepMs(100);
        }
        if (rc != 0) {
            velk_ErrPrintf("***%s: Unable to obtain a listen socket (error %d)- aborting transfer\n", __func__, rc);
            return -1;
        }
        char err[256];
        while ((rc = quor_net_listen(fd, kListenBacklog, err, sizeof err)) == -EINTR || rc == -EAGAIN) {
        }
        if (rc != 0) {
            close(fd);
            setExitResult(VELK_EXIT_OSERR, VELK_MSG_ERROR, "*** %s: Unrecoverable error %d on <quor_net_listen> call\n",
                          __func__, -rc);
            return -1;
        }
        uint32_t id;
        {
            kyl_lock_guard g(socketPoolLock);
            id = ++socketPoolId;
        }
        run->sock = nw_sock_struct_t{0, id, fd, a};
        run->addr.preConnected = 0;
    }
    run->addr.addressType = LFX_ADDR_LISTEN;
    run->addr.poolID = run->sock.poolID;
    run->addr.socketFD = run->sock.socketFD;
    run->addr.socketAddr = run->sock.socketSockAddr;
    run->info.addressCount = 1;
    run->info.addressList = &run->addr;
    return 0;
}

// Fills the request.  0 or a negative code.
int buildInitInfo(LfxRun *run)
{
    velk_xfer_ctl_t *ctl = run->ctl;
    lfx_file_info_t *fi = run->fi;
    kyl_xfer_init_info_t &i = run->info;
    i.xferOperation = run->send ? LFX_OP_SEND : LFX_OP_RECEIVE;
    if (fi->remoteFD >= 0)
        i.flags |= LFX_REMOTE_OPEN;
    snprintf(i.pathName, sizeof i.pathName, "%s", fi->remotePath != nullptr ? fi->remotePath : "");
    i.fileSize = run->send ? static_cast<int64_t>(fi->localSize) : 0;
    i.srcOffset = ctl->srcOffset;
    i.sinkOffset = ctl->sinkOffset;
    i.xferLength = ctl->transferLength;
    i.mode = velk_LocalModeToInterchangeMode(fi->haveStat ? fi->localStat.st_mode : 0666);
    i.uid = fi->fileUid;
    i.gid = fi->fileGid;
    run->inlineXfer = fi->ioType == RMTIO_FILE && ctl->transferLength <= ctl->settings.maxSmallFileSize;
    if (!run->inlineXfer)
        return createListenSockets(run) == 0 ? 0 : -EIO;
    if (!run->send) {
        i.flags |= LFX_INLINE_RECEIVE;
        return 0;
    }
    i.flags |= LFX_INLINE_SEND;
    const size_t len = static_cast<size_t>(ctl->transferLength);
    unsigned char *data = nullptr;
    for (int t = 0; t < kAllocTries && len > 0; t++) {
        data = static_cast<unsigned char *>(malloc(len));
        if (data != nullptr || errno != ENOMEM)
            break;
        velk_SleepMs(100);
    }
    if (data == nullptr && len > 0)
        return -ENOMEM;
    ssize_t n = len > 0 ? preadFull(fi->localFD, data, len, ctl->srcOffset) : 0;
    if (n < 0 || static_cast<size_t>(n) != len) {
        free(data);
        return n < 0 ? static_cast<int>(n) : -EIO;
    }
    i.fileData = data;
    return 0;
}

// ---------------------------------------------------------------------------
// Threads.
// ---------------------------------------------------------------------------

// Whether peer is the gateway's host (any peer when the gateway's address
// is unknown).
bool fromGateway(const LfxRun *run, const quor_sockaddr_t &peer)
{
    if (!run->haveGateway)
        return true;
    const sockaddr_storage &a = run->gateway.hs_addr;
    const sockaddr_storage &b = peer.hs_addr;
    if (a.ss_family != b.ss_family)
        return false;
    if (a.ss_family == AF_INET)
        return reinterpret_cast<const sockaddr_in &>(a).sin_addr.s_addr ==
               reinterpret_cast<const sockaddr_in &>(b).sin_addr.s_addr;
    if (a.ss_family == AF_INET6)
        return memcmp(&reinterpret_cast<const sockaddr_in6 &>(a).sin6_addr,
                      &reinterpret_cast<const sockaddr_in6 &>(b).sin6_addr, sizeof(in6_addr)) == 0;
    return false;
}

// Whether the new data connection fd opens with the transfer's proof:
// the secret that only this run's gateway session can compute.  Nothing is
// sent on fd and no data byte read before it has shown it; a stranger that
// sends anything else, closes, or stays silent for kProofSeconds fails.
bool provesGateway(LfxRun *run, int fd)
{
    if (!run->proofTried) {
        // The session is open by now: the gateway connects only after the
        // request reached it.  The secret is made for the socket entry the
        // request named: its pool id and listening port.
        const quor_sockaddr_t &a = run->sock.socketSockAddr;
        const uint16_t port =
            ntohs(a.hs_addr.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6 &>(a.hs_addr).sin6_port
                                                  : reinterpret_cast<const sockaddr_in &>(a.hs_addr).sin_port);
        run->proofRc =
            quor_TransferSecret(-1, TRANSFER_SECRET_LFX, transfer_lfx_id(run->sock.poolID, port), run->proof);
        run->proofTried = true;
    }
    if (run->proofRc != 0)
        return false; // no secret: no connection is trusted
    unsigned char got[TRANSFER_SECRET_SIZE];
    size_t have = 0;
    for (int waited = 0; have < sizeof got && waited < kProofSeconds * 10 && !stopped(run->ctl);) {
        ssize_t n = recv(fd, got + have, sizeof got - have, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return false;
        if (n > 0) {
            have += static_cast<size_t>(n);
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) == 0)
            waited++;
    }
    return have == sizeof got && quorex_ConstTimeEqual(got, run->proof, sizeof got);
}

int acceptWaits()
{
    const char *v = getenv("VELK_LFX_ACCEPT_TIMEOUT");
    int n = v != nullptr ? atoi(v) : 0;
    return n >= 1 && n <= VELK_LFX_ACCEPT_WAITS ? n : VELK_LFX_ACCEPT_WAITS;
}

// Waits for the gateway's data connection on the listening socket and puts
// it in its place.  Connections from any other host are refused and logged;
// one from the gateway's host that does not prove it is the session's
// (provesGateway) is closed and ignored, and the wait goes on.
// 0, -1 when the transfer stopped, -ETIMEDOUT, or -errno.
int acceptConnections(LfxRun *run)
{
    nw_sock_struct_t &s = run->sock;
    const int waits = acceptWaits();
    int timeouts = 0;
    while (!s.connected) {
        if (stopped(run->ctl))
            return -1;
        pollfd p{s.socketFD, POLLIN, 0};
        int n = poll(&p, 1, 1000);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0) {
            int e = errno;
            setExitResult(VELK_EXIT_OSERR, VELK_MSG_ERROR, "*** %s: error %d on poll() for %d socket descriptors\n",
                          __func__, e, 1);
            return -e;
        }
        if (n == 0) {
            if (++timeouts >= waits) {
                if (velk_debug_level >= 3)
                    velk_ErrPrintf("/debug/ timeout after %d seconds - error out of <accept>\n", timeouts);
                return -ETIMEDOUT;
            }
            continue;
        }
        quor_sockaddr_t peer{};
        socklen_t pl = sizeof peer.hs_addr;
        int c = accept4(s.socketFD, reinterpret_cast<sockaddr *>(&peer.hs_addr), &pl, SOCK_CLOEXEC);
        if (c < 0 && (errno == EINTR || errno == EAGAIN || errno == ECONNABORTED))
            continue;
        if (c < 0) {
            int e = errno;
            setExitResult(VELK_EXIT_OSERR, VELK_MSG_ERROR, "*** %s: error %d on accept for FD %d\n", __func__, e,
                          s.socketFD);
            return -e;
        }
        // The session is open by now: the gateway connects only after the
        // request reached it.
        if (!run->haveGateway)
            run->haveGateway = quorex_GetGatewayAddress(&run->gateway) == 0;
        if (!fromGateway(run, peer)) {
            char text[INET6_ADDRSTRLEN] = "?";
            const void *ip = peer.hs_addr.ss_family == AF_INET6
                                 ? static_cast<const void *>(&reinterpret_cast<sockaddr_in6 &>(peer.hs_addr).sin6_addr)
                                 : static_cast<const void *>(&reinterpret_cast<sockaddr_in &>(peer.hs_addr).sin_addr);
            inet_ntop(peer.hs_addr.ss_family, ip, text, sizeof text);
            close(c);
            velk_LogFmt(VELK_MSG_ERROR, MSG, "*** Error [pid %d function %s] - data connection refused from %s\n",
                        static_cast<int>(getpid()), __func__, text);
            continue;
        }
        if (!provesGateway(run, c)) {
            close(c);
            if (velk_debug_level >= 1)
                velk_ErrPrintf("/debug/data connection without the transfer's proof - closed and ignored\n");
            continue;
        }
        // The calling thread closes only the socket it finds in the entry.
        int listener;
        {
            kyl_lock_guard g(run->ctl->controlLock);
            listener = s.socketFD;
            s.socketFD = c;
            s.connected = 1;
        }
        close(listener);
        (void)quor_ApplySiteSocketOptions(c, &peer);
    }
    return 0;
}

// Appends a filled buffer to the consumer's queue.
void handOver(LfxRun *run, io_buffer_t *buf)
{
    velk_xfer_ctl_t *ctl = run->ctl;
    buf->state = IOB_STATE_WRITING;
    buf->next = nullptr;
    kyl_lock_guard g(ctl->ring.bufQueueLock);
    if (run->handTail == nullptr)
        run->handHead = buf;
    else
        run->handTail->next = buf;
    run->handTail = buf;
    ctl->ring.bufQueueCondition.broadcast();
}

// Gives a buffer back to the empty queue (and, for buffers of the reader
// pool, tells its manager).
void giveBack(LfxRun *run, io_buffer_t *buf)
{
    velk_xfer_ctl_t *ctl = run->ctl;
    {
        kyl_lock_guard g(ctl->ring.bufQueueLock);
        buf->state = IOB_STATE_READING;
        velk_ReturnEmptyBuffer(&ctl->ring, buf);
        ctl->ring.bufQueueCondition.broadcast();
    }
    if (run->send && run->fi->ioType == RMTIO_CALLBACK)
        velk_LfwSignalCondition(ctl->pool);
}

// An empty buffer, waiting for one; null when the transfer stopped.
io_buffer_t *takeEmpty(LfxRun *run)
{
    velk_xfer_ctl_t *ctl = run->ctl;
    kyl_lock_guard g(ctl->ring.bufQueueLock);
    for (;;) {
        io_buffer_t *b = velk_TakeEmptyBuffer(&ctl->ring);
        if (b != nullptr)
            return b;
        if (stopped(ctl))
            return nullptr;
        struct timespec until = velk_DeadlineIn(1000);
        ctl->ring.bufQueueCondition.timedwait(ctl->ring.bufQueueLock, &until);
    }
}

// The producer: fills buffers from the source in order.
void *XferReadThread(void *arg)
{
    auto *run = static_cast<LfxRun *>(arg);
    velk_xfer_ctl_t *ctl = run->ctl;
    lfx_file_info_t *fi = run->fi;
    uint64_t remaining = ctl->transferLength;
    int result = 0;
    char t1[32];
    while (remaining > 0 && result == 0) {
        io_buffer_t *buf = nullptr;
        if (run->send && fi->ioType == RMTIO_CALLBACK) {
            int rc = fi->readCallback(ctl, &buf);
            if (rc != 0 || buf == nullptr) {
                result = rc < 0 ? rc : -ECANCELED;
                break;
            }
            if (buf->dataLength == 0 || buf->dataLength > remaining) {
                velk_LogFmt(VELK_MSG_ERROR, MSG, "*** %s: buffer of %u bytes at offset %s does not fit the transfer\n",
                            __func__, buf->dataLength, velk_U64Text(buf->fileOffset, t1, sizeof t1));
                giveBack(run, buf);
                result = -EPROTO;
                break;
            }
        } else {
            buf = takeEmpty(run);
            if (buf == nullptr) {
                result = -ECANCELED;
                break;
            }
            buf->bufFlags &= ~IOB_FLAG_LAST_DATA;
            buf->bufBlocksFilled = 0;
            buf->dataMoved = 0;
            buf->dataLength = 0;
            buf->fileOffset = fi->currentFillPos;
            // Every buffer is filled whole (the buffer size is a multiple of
            // 512), so that only the last one of a range is shorter.
            const size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, static_cast<uint64_t>(buf->bufSize)));
            if (velk_debug_level >= 3)
                velk_ErrPrintf("/debug/%s: filling empty buffer ntoread=%d at xfer offset = %lu\n", __func__,
                               static_cast<int>(want), static_cast<unsigned long>(fi->currentFillPos));
            ssize_t n = run->send ? preadFull(fi->localFD, buf->buffer, want, fi->currentFillPos)
                                  : recvFull(run, run->sock.socketFD, buf->buffer, want);
            if (n < 0 || static_cast<size_t>(n) < want) {
                if (n >= 0 && velk_debug_level >= 3)
                    velk_ErrPrintf("*** %s EOF detected on input file]\n", __func__);
                if (n != -ECANCELED)
                    velk_ErrPrintf("*** %s: error %d reading %d bytes at offset %s\n", __func__,
                                   n < 0 ? static_cast<int>(-n) : EIO, static_cast<int>(want),
                                   velk_U64Text(fi->currentFillPos, t1, sizeof t1));
                giveBack(run, buf);
                result = n < 0 ? static_cast<int>(n) : run->send ? -EIO : -ECONNRESET;
                break;
            }
            buf->dataLength = static_cast<uint32_t>(n);
            buf->bufBlocksFilled = static_cast<int>((buf->dataLength + 511) / 512);
            fi->currentFillPos += static_cast<uint64_t>(n);
        }
        remaining -= buf->dataLength;
        if (remaining == 0)
            buf->bufFlags |= IOB_FLAG_LAST_DATA;
        handOver(run, buf);
    }
    recordResult(run, result, &ctl->gwhost.read_active);
    return nullptr;
}

// The consumer: empties the handed-over buffers into the sink in order.
void *XferWriteThread(void *arg)
{
    auto *run = static_cast<LfxRun *>(arg);
    velk_xfer_ctl_t *ctl = run->ctl;
    lfx_file_info_t *fi = run->fi;
    int result = 0;
    char t1[32];
    for (;;) {
        io_buffer_t *buf = nullptr;
        {
            kyl_lock_guard g(ctl->ring.bufQueueLock);
            while (run->handHead == nullptr && !stopped(ctl)) {
                struct timespec until = velk_DeadlineIn(1000);
                ctl->ring.bufQueueCondition.timedwait(ctl->ring.bufQueueLock, &until);
            }
            buf = run->handHead;
            if (buf != nullptr) {
                run->handHead = buf->next;
                if (run->handHead == nullptr)
                    run->handTail = nullptr;
                buf->next = nullptr;
            }
        }
        if (buf == nullptr || stopped(ctl)) {
            if (buf != nullptr)
                giveBack(run, buf);
            result = -ECANCELED;
            break;
        }
        if (velk_debug_level >= 3)
            velk_ErrPrintf("/debug/%s: writing full buffer datalength=%d at xfer offset = %lu\n", __func__,
                           static_cast<int>(buf->dataLength), static_cast<unsigned long>(buf->fileOffset));
        int rc;
        if (!run->send && fi->ioType == RMTIO_CALLBACK) {
            buf->dataMoved = 0;
            rc = fi->writeCallback(buf, fi->writeCallbackArg);
            if (rc != 0 && velk_debug_level >= 1)
                velk_ErrPrintf("/debug/%s: callback function returned %d -aborting xfer\n", __func__, rc);
            if (rc > 0)
                rc = -ECANCELED;
        } else if (run->send) {
            rc = sendFull(run, run->sock.socketFD, buf->buffer, buf->dataLength);
            if (rc != 0 && rc != -ECANCELED)
                setExitResult(VELK_EXIT_EXTRACT_IO, VELK_MSG_ERROR,
                              "***%s: unrecovered error %d writing %d bytes at offset %s", __func__, -rc,
                              static_cast<int>(buf->dataLength), velk_U64Text(buf->fileOffset, t1, sizeof t1));
        } else {
            rc = pwriteLocal(run, buf->buffer, buf->dataLength, ctl->sinkOffset + (buf->fileOffset - ctl->srcOffset));
        }
        const bool last = (buf->bufFlags & IOB_FLAG_LAST_DATA) != 0;
        if (rc == 0) {
            kyl_lock_guard g(ctl->controlLock);
            ctl->totalBytesMoved += buf->dataLength;
            ctl->movers.currentSrcOffset = ctl->movers.currentSrcAddr + ctl->totalBytesMoved;
        }
        giveBack(run, buf);
        if (rc != 0) {
            result = rc;
            break;
        }
        if (last)
            break;
    }
    recordResult(run, result, &ctl->gwhost.write_active);
    return nullptr;
}

// The control thread: the data connection, then the producer and the
// consumer.
void *XferCtlThread(void *arg)
{
    auto *run = static_cast<LfxRun *>(arg);
    velk_xfer_ctl_t *ctl = run->ctl;
    int rc = acceptConnections(run);
    if (rc != 0) {
        if (rc != -1)
            setExitResult(VELK_EXIT_OSERR, VELK_MSG_ERROR, "*** %s: error %d accepting %d connections from server",
                          __func__, rc, 1);
        int ignored = 0;
        recordResult(run, rc, &ignored);
    } else {
        pthread_t reader{};
        pthread_t writer{};
        {
            kyl_lock_guard g(ctl->controlLock);
            ctl->gwhost.read_active = 1;
            ctl->gwhost.write_active = 1;
        }
        int e = pthread_create(&reader, nullptr, XferReadThread, run);
        if (e != 0) {
            velk_ErrPrintf("*** %s: error %d starting read thread\n", __func__, e);
            recordResult(run, -1, &ctl->gwhost.read_active);
            kyl_lock_guard g(ctl->controlLock);
            ctl->gwhost.write_active = 0;
        } else {
            e = pthread_create(&writer, nullptr, XferWriteThread, run);
            if (e != 0) {
                velk_ErrPrintf("*** %s: error %d starting file write thread\n", __func__, e);
                recordResult(run, -1, &ctl->gwhost.write_active);
            }
            pthread_join(reader, nullptr);
            if (e == 0)
                pthread_join(writer, nullptr);
        }
    }
    kyl_lock_guard g(ctl->controlLock);
    ctl->transfer_active = 0;
    return nullptr;
}

// ---------------------------------------------------------------------------
// The transfer.
// ---------------------------------------------------------------------------

// Aborts after the request failed.
void abortLocalTransfer(LfxRun *run, int rc)
{
    abortRun(run);
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/%s: transfer request failed with %d\n", __func__, rc);
    setExitResult(VELK_EXIT_EXTRACT_IO, VELK_MSG_ERROR, "*** %s called - aborting transfer", __func__);
}

// An inline transfer: one request, one reply.
int inlineTransfer(LfxRun *run)
{
    velk_xfer_ctl_t *ctl = run->ctl;
    lfx_file_info_t *fi = run->fi;
    kyl_xfer_init_reply_t reply{};
    ctl->startTime = velk_GetTimestamp();
    int rc = kylgw_LfxInit(fi->remoteFD, &run->info, &reply);
    free(run->info.fileData);
    run->info.fileData = nullptr;
    int status = rc != 0 ? rc : reply.xferStatus;
    if (rc != 0)
        abortLocalTransfer(run, rc);
    else if (status == 0 && reply.fileSize != ctl->transferLength)
        status = -EIO;
    else if (status == 0 && !run->send && reply.fileSize > 0)
        status = reply.fileData == nullptr
                     ? -EPROTO
                     : pwriteLocal(run, reply.fileData, static_cast<size_t>(reply.fileSize), ctl->sinkOffset);
    free(reply.fileData);
    if (rc == 0 && status != 0)
        setExitResult(VELK_EXIT_EXTRACT_IO, VELK_MSG_ERROR, "*** %s: the gateway reports error %d for %s\n", __func__,
                      status, fi->remotePath != nullptr ? fi->remotePath : "");
    ctl->stopTime = velk_GetTimestamp();
    ctl->totalBytesMoved = status == 0 ? reply.fileSize : 0;
    return status;
}

// A transfer over a data connection.
int connectionTransfer(LfxRun *run)
{
    velk_xfer_ctl_t *ctl = run->ctl;
    lfx_file_info_t *fi = run->fi;
    bool ownBuffers = false;
    const bool pooledBuffers = run->send && fi->ioType == RMTIO_CALLBACK;
    bool haveBuffers;
    {
        kyl_lock_guard g(ctl->ring.bufQueueLock);
        haveBuffers = ctl->ring.bufEmptyQueue != nullptr;
    }
    if (!pooledBuffers && !haveBuffers) {
        if (velk_AllocateIoBuffers(&ctl->ring, &ctl->settings) != 0) {
            setExitResult(VELK_EXIT_OSERR, VELK_MSG_ERROR,
                          "(%s) error %d trying to init I/O buffers - xfer aborted\n\n", __func__, ENOMEM);
            velk_CleanupIoBuffers(&ctl->ring);
            copySocketsToPool(run, false);
            return -1;
        }
        ownBuffers = true;
    }
    {
        kyl_lock_guard g(ctl->controlLock);
        ctl->transfer_active = 1;
        ctl->gwhost.transfer_result = 0;
    }
    int e = pthread_create(&run->ctlThread, nullptr, XferCtlThread, run);
    if (e != 0) {
        setExitResult(VELK_EXIT_OSERR, VELK_MSG_ERROR, "(%s) Error %d trying to launch xferCtlThread!\n", __func__, e);
        if (ownBuffers)
            velk_CleanupIoBuffers(&ctl->ring);
        copySocketsToPool(run, false);
        return -1;
    }
    kyl_xfer_init_reply_t reply{};
    int rc = kylgw_LfxInit(fi->remoteFD, &run->info, &reply);
    free(reply.fileData);
    if (rc != 0)
        abortLocalTransfer(run, rc);
    ctl->startTime = velk_GetTimestamp();
    pthread_join(run->ctlThread, nullptr);
    int result;
    {
        kyl_lock_guard g(ctl->controlLock);
        result = ctl->gwhost.transfer_result;
    }
    if (rc != 0) {
        result = rc;
    } else if (result != 0) {
        // The data side failed: the gateway's completion will report the
        // broken connection; it is dropped when it comes.
        copySocketsToPool(run, false);
        kylgw_LfxForgetXferReply();
    } else {
        kyl_xfer_complete_t done{};
        int grc = kylgw_LfxGetXferReply(&done);
        if (velk_debug_level >= 1)
            velk_ErrPrintf("Got xfer response - ioresult = %d\n", grc != 0 ? grc : done.xferStatus);
        char t1[32];
        char t2[32];
        char t3[32];
        if (grc != 0 || done.xferStatus != 0) {
            result = grc != 0 ? grc : done.xferStatus;
            setExitResult(VELK_EXIT_EXTRACT_IO, VELK_MSG_ERROR, "*** %s: the gateway reports error %d for %s\n",
                          __func__, result, fi->remotePath != nullptr ? fi->remotePath : "");
        } else if (done.bytesXferred != ctl->transferLength || ctl->totalBytesMoved != ctl->transferLength) {
            result = -EIO;
            setExitResult(
                VELK_EXIT_EXTRACT_IO, VELK_MSG_ERROR, "*** %s: the gateway moved %s bytes of %s for %s, this side %s\n",
                __func__, velk_U64Text(done.bytesXferred, t1, sizeof t1),
                velk_U64Text(ctl->transferLength, t2, sizeof t2), fi->remotePath != nullptr ? fi->remotePath : "",
                velk_U64Text(ctl->totalBytesMoved, t3, sizeof t3));
        }
    }
    ctl->stopTime = velk_GetTimestamp();
    copySocketsToPool(run, result == 0);
    // Buffers still between the producer and the consumer go back.
    {
        kyl_lock_guard g(ctl->ring.bufQueueLock);
        while (io_buffer_t *b = run->handHead) {
            run->handHead = b->next;
            velk_ReturnEmptyBuffer(&ctl->ring, b);
        }
        run->handTail = nullptr;
        ctl->ring.bufQueueCondition.broadcast();
    }
    if (ownBuffers)
        velk_CleanupIoBuffers(&ctl->ring);
    return result;
}

int commonTransferFunction(LfxRun *run)
{
    velk_xfer_ctl_t *ctl = run->ctl;
    const bool ownLocks = ctl->ctlMutexCreated == 0;
    if (ownLocks && velk_InitXferLocks(ctl) != 0) {
        setExitResult(VELK_EXIT_OSERR, VELK_MSG_ERROR, "(%s) error(s) initializing control structure - xfer aborted\n",
                      __func__);
        velk_FreeXferLocks(ctl);
        return -1;
    }
    int rc = buildInitInfo(run);
    if (rc != 0) {
        setExitResult(VELK_EXIT_OSERR, VELK_MSG_ERROR, "(%s) error %d trying to setup transfer - xfer aborted\n",
                      __func__, rc);
    } else {
        rc = run->inlineXfer ? inlineTransfer(run) : connectionTransfer(run);
    }
    if (ownLocks)
        velk_FreeXferLocks(ctl);
    return rc;
}

template <typename T>
void setIfChanged(T *field, T value)
{
    if (*field != value)
        *field = value;
}

// The shared entry: fills the control's local-file side and runs the
// transfer.  The control is the caller's or one of this call's own.
int lfxEntry(bool send, int ioType, velk_xfer_ctl_t *callerCtl, const velk_xfer_settings_t *xs, int localFd,
             const char *localPath, int remoteFd, const char *remotePath, uint64_t srcOffset, uint64_t sinkOffset,
             uint64_t xferLength, velk_bufSource_t source, velk_bufCallback_t sink, void *sinkArg)
{
    const char *fn = send ? "velk_LfxSendFile" : "velk_LfxReceiveFile";
    velk_xfer_ctl_t *ctl = callerCtl;
    if (ctl == nullptr) {
        if ((ctl = static_cast<velk_xfer_ctl_t *>(VELK_CALLOC(1, sizeof(velk_xfer_ctl_t)))) == nullptr)
            return -1;
        ctl->settings = *xs;
    }
    LfxRun run;
    run.ctl = ctl;
    run.fi = &ctl->gwhost.lfxFileInfo;
    run.send = send;
    lfx_file_info_t *fi = run.fi;
    // The caller's control may already have threads reading these (the
    // reader pool of an archive write): they are written only when they
    // change.
    setIfChanged(&ctl->srcOffset, srcOffset);
    setIfChanged(&ctl->sinkOffset, sinkOffset);
    setIfChanged(&ctl->transferLength, xferLength);
    setIfChanged(&ctl->movers.currentSrcAddr, srcOffset);
    setIfChanged(&ctl->totalBytesMoved, uint64_t{0});
    setIfChanged(&ctl->gwhost.xferOperation, static_cast<int>(send ? IOP_PUT : IOP_GET));
    fi->ioType = ioType;
    fi->localFD = localFd;
    fi->fileOpen = localFd >= 0 ? 1 : 0;
    fi->remoteFD = remoteFd;
    fi->currentPos = fi->currentFillPos = srcOffset;
    fi->fileUid = static_cast<uint32_t>(ctl->settings.uid);
    fi->fileGid = static_cast<uint32_t>(ctl->settings.gid);
    fi->localPath = localPath != nullptr ? VELK_STRDUP(localPath) : nullptr;
    fi->remotePath = remotePath != nullptr ? VELK_STRDUP(remotePath) : nullptr;
    fi->haveStat = 0;
    fi->localSize = 0;
    int rc = 0;
    if (localPath != nullptr) {
        if (stat64(localPath, &fi->localStat) != 0) {
            setExitResult(VELK_EXIT_SOFTWARE, VELK_MSG_ERROR,
                          "%s: [INTERNAL ERROR] file %s is open but stat failed with error %d!\n", fn, localPath,
                          errno);
            rc = -1;
        } else {
            fi->haveStat = 1;
            fi->localSize = static_cast<uint64_t>(fi->localStat.st_size);
        }
    }
    bool reqMade = false;
    if (rc == 0 && ioType == RMTIO_CALLBACK) {
        if ((send && source == nullptr) || (!send && sink == nullptr)) {
            setExitResult(VELK_EXIT_SOFTWARE, VELK_MSG_ERROR,
                          "%s: [INTERNAL ERROR] Callback-type I/O and callback is NULL!\n", fn);
            rc = -1;
        } else if (send) {
            int e = velk_InitConReqEntry(&fi->lfxBufRequest);
            if (e != 0) {
                setExitResult(VELK_EXIT_NOMEM, VELK_MSG_ERROR,
                              "%s: velk_InitConReqEntry returned error %d at line %d\n", fn, e, __LINE__);
                rc = -1;
            }
            reqMade = true;
            fi->readCallback = source;
            fi->localSize = xferLength;
        } else {
            fi->writeCallback = sink;
            fi->writeCallbackArg = sinkArg;
            fi->localSize = xferLength;
        }
    }
    if (rc == 0 && send && ioType == RMTIO_FILE && localPath == nullptr)
        fi->localSize = xferLength;
    fi->fileSize = static_cast<double>(fi->localSize);
    if (rc == 0)
        rc = commonTransferFunction(&run);
    if (reqMade)
        velk_FreeConReqEntry(&fi->lfxBufRequest);
    VELK_FREE(fi->localPath);
    VELK_FREE(fi->remotePath);
    fi->localPath = fi->remotePath = nullptr;
    if (callerCtl == nullptr)
        VELK_FREE(ctl);
    return rc;
}

} // namespace

uint32_t velk_LocalModeToInterchangeMode(mode_t mode)
{
    const uint32_t type = static_cast<uint32_t>(mode) & 0xF000u;
    uint32_t out = 0;
    switch (type) {
    case 0x1000u:
    case 0x2000u:
    case 0x4000u:
    case 0x6000u:
    case 0x8000u:
    case 0xA000u:
    case 0xC000u: out = type; break;
    default: break;
    }
    static const uint32_t kBits[] = {04000, 02000, 01000, 0400, 0200, 0100, 040, 020, 010, 04, 02, 01};
    for (uint32_t b : kBits)
        if (static_cast<uint32_t>(mode) & b)
            out |= b;
    return out;
}

mode_t velk_InterchangeModeToLocalMode(uint32_t mode)
{
    return static_cast<mode_t>(velk_LocalModeToInterchangeMode(static_cast<mode_t>(mode)));
}

int velk_LfxSendFile(int ioType, velk_xfer_ctl_t *ctl, const velk_xfer_settings_t *xs, int localFileFd,
                     const char *localPath, const char *remotePath, uint64_t srcOffset, uint64_t sinkOffset,
                     uint64_t xferLength, velk_bufSource_t dataCallback)
{
    return lfxEntry(true, ioType, ctl, xs, localFileFd, localPath, -1, remotePath, srcOffset, sinkOffset, xferLength,
                    dataCallback, nullptr, nullptr);
}

int velk_LfxReceiveFile(int ioType, velk_xfer_ctl_t *ctl, const velk_xfer_settings_t *xs, int localFileFd,
                        const char *localPath, int remoteFd, const char *remotePath, uint64_t srcOffset,
                        uint64_t sinkOffset, uint64_t xferLength, velk_bufCallback_t dataCallback, void *callbackArg)
{
    return lfxEntry(false, ioType, ctl, xs, localFileFd, localPath, remoteFd, remotePath, srcOffset, sinkOffset,
                    xferLength, nullptr, dataCallback, callbackArg);
}

int velk_LfxPooledConnections()
{
    kyl_lock_guard g(socketPoolLock);
    int n = 0;
    for (kyl_sockaddr_info_t *e = socketPool; e != nullptr; e = e->next)
        n++;
    return n;
}

void velk_LfxCloseSocketPool()
{
    kyl_sockaddr_info_t *list;
    {
        kyl_lock_guard g(socketPoolLock);
        list = socketPool;
        socketPool = nullptr;
    }
    if (list == nullptr)
        return;
    while (kyl_sockaddr_info_t *e = list) {
        list = e->next;
        close(e->socketFD);
        VELK_FREE(e);
    }
    (void)kylgw_LfxCleanSockPool();
}
