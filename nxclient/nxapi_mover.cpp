// The mover exchange on a control connection (see nxapi_mover.h), the
// admission of mover peers, and the library's own use of the exchange for
// list transfers (quor_moverxfer_t, see quor_api.h): one thread per mover
// control connection, sharing only the quor_moverxfer_t record (atomics,
// and its mutex around the grants and the socket list).  Every wait on a
// socket is a poll() bounded by the exchange's timeout.

#include "nxapi_mover.h"

#include "nxapi_fileops.h"
#include "nxapi_private.h"
#include "quor_api.h"
#include "quorex_crypto.h"
#include "quor_net.h"
#include "quorcfgx_netopt.h"
#include "quorcfgx_restrict.h"

#include <kylgw_mvrio.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// 1 when the mover closed the connection before the next message, 0 when
// a message is coming, or a negative code.
int endOfInput(int fd, int seconds)
{
    if (quor_poll_descriptor(fd, 0, seconds) != 0)
        return errno == EPIPE ? 1 : -(errno != 0 ? errno : EIO);
    char b;
    ssize_t n;
    while ((n = recv(fd, &b, 1, MSG_PEEK)) < 0 && (errno == EINTR || errno == EAGAIN)) {
    }
    if (n < 0)
        return -errno;
    return n == 0 ? 1 : 0;
}

// Seconds a newly accepted data connection has to show its first block
// header before it is taken for a stranger's and closed.
constexpr int kDataProofSeconds = 10;

// Logs, at debug level, a mover connection turned away for its ticket.
void logForeign(const char *what, int fd)
{
    nxapi_logf(1, "quor_MoverServeConnection", NXAPI_LOG_STDERR | NXAPI_LOG_FILE, __FILE__, __LINE__,
               "/debug/%s on socket %d without the transfer's ticket - closed and ignored\n", what, fd);
}

// Whether ticket is the current transfer's (never when it has none).
bool ticketMatches(const quor_moverconn_t *c, uint64_t ticket)
{
    uint64_t expected = 0;
    return c->ops->ticket(c->arg, &expected) == 0 && ticket == expected;
}

// Whether the data connection fd opens with a block header that carries
// the transfer's ticket, within the exchange's own wait when that is
// shorter.
bool dataConnectionProven(const quor_moverconn_t *c, int fd)
{
    uint64_t expected = 0;
    const int seconds = c->timeout > 0 && c->timeout < kDataProofSeconds ? c->timeout : kDataProofSeconds;
    return c->ops->ticket(c->arg, &expected) == 0 &&
           quor_MoverDataProven(fd, expected, seconds, c->ops->stopped, c->arg);
}

// Accepts data connections on the listening socket until one proves it
// comes from the transfer's mover: the socket, or the accept hook's
// negative result.
int acceptProvenData(quor_moverconn_t *c)
{
    for (;;) {
        int s = c->ops->acceptData(c->arg, *c->listen);
        if (s < 0 || dataConnectionProven(c, s))
            return s;
        logForeign("data connection", s);
        close(s);
    }
}

} // namespace

bool quor_MoverDataProven(int fd, uint64_t ticket, int seconds, int (*stopped)(void *), void *arg)
{
    unsigned char raw[PDATA_HDR_SIZE];
    for (int waited = 0; waited < seconds * 10; waited++) {
        ssize_t n = recv(fd, raw, sizeof raw, MSG_PEEK | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(sizeof raw)) {
            pdata_hdr_t h{};
            return pdata_unpack_hdr(raw, &h) == 0 && h.SecurityTicket == ticket;
        }
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            return false;
        if (stopped != nullptr && stopped(arg) != 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        (void)poll(&p, 1, 100);
    }
    return false;
}

int quor_MoverServePiece(quor_moverconn_t *c, const initiator_msg_t &im)
{
    const quor_moverops_t *ops = c->ops;
    if (im.Type != MVRPROT_TYPE_TCP)
        return ops->failed(c->arg, QUOR_MOVER_BAD_TYPE, -EPROTO, &im);
    quor_moverpiece_t piece;
    piece.offset = im.Offset;
    int rc = ops->grant(c->arg, &im, &piece);
    if (rc != 0)
        return rc;
    initiator_msg_t reply = im;
    reply.Flags = MVRPROT_ADDR_FOLLOWS | MVRPROT_COMP_REPLY;
    if (ops->clearDeviceFields)
        reply.DevBlkSz = reply.DevBlkOff = reply.DevCRCAlgo = 0;
    reply.Length = piece.length;
    if ((rc = mvrprot_send_initmsg_timeout(*c->control, &reply, c->timeout)) != 0)
        return ops->failed(c->arg, QUOR_MOVER_SEND_REPLY, rc, &im);
    if (*c->data < 0 && *c->listen < 0) {
        int fd = -1;
        if ((rc = quor_MoverListenBeside(*c->control, &fd, c->dataAddr)) != 0)
            return ops->failed(c->arg, QUOR_MOVER_LISTEN, rc, &im);
        ops->setSocket(c->arg, c->listen, fd);
    }
    initiator_ipaddr_t ia{};
    ia.IpAddr.SockTransferID = piece.xferId;
    ia.IpAddr.SockAddr = *c->dataAddr;
    ia.SecurityTicket = im.SecurityTicket;
    if ((rc = mvrprot_send_ipaddr_timeout(*c->control, &ia, c->timeout)) != 0)
        return ops->failed(c->arg, QUOR_MOVER_SEND_ADDRESS, rc, &im);
    if (*c->data < 0) {
        // The one data connection of this control connection.
        int s = acceptProvenData(c);
        ops->closeSocket(c->arg, c->listen);
        if (s < 0)
            return ops->failed(c->arg, QUOR_MOVER_ACCEPT, s, &im);
        ops->setSocket(c->arg, c->data, s);
    }
    uint64_t moved = 0;
    if ((rc = ops->move(c->arg, *c->data, &im, &piece, &moved)) != 0)
        return rc;
    completion_msg_t cm{};
    if ((rc = mvrprot_recv_compmsg_timeout(*c->control, &cm, c->timeout)) != 0)
        return ops->failed(c->arg, QUOR_MOVER_RECV_COMPLETION, rc, &im);
    return ops->complete(c->arg, &piece, &cm, moved);
}

int quor_MoverServeConnection(quor_moverconn_t *c)
{
    const quor_moverops_t *ops = c->ops;
    for (;;) {
        int rc = ops->stopped(c->arg);
        if (rc != 0)
            return rc;
        if (ops->peekEnd && (rc = endOfInput(*c->control, c->timeout)) != 0)
            return rc > 0 ? 0 : rc;
        initiator_msg_t im{};
        rc = mvrprot_recv_initmsg_timeout(*c->control, &im, c->timeout);
        if (rc == 0 && !ticketMatches(c, im.SecurityTicket)) {
            // Not a mover of this transfer: nothing is granted or answered.
            logForeign("mover control connection", *c->control);
            return 0;
        }
        if (ops->received != nullptr)
            ops->received(c->arg, rc, &im);
        if (rc == NXAPI_E_NOSESSION && !ops->peekEnd)
            return 0; // the mover is done with this connection
        if (rc != 0)
            return ops->failed(c->arg, QUOR_MOVER_RECV_INITIATOR, rc, &im);
        if ((rc = quor_MoverServePiece(c, im)) != 0)
            return rc;
    }
}

int quor_MoverWaitReadable(int fd, int sliceMs, int seconds, int (*stopped)(void *), void *arg)
{
    for (int64_t waited = 0; seconds <= 0 || waited < int64_t{seconds} * 1000; waited += sliceMs) {
        int rc = stopped(arg);
        if (rc != 0)
            return rc;
        pollfd p{fd, POLLIN, 0};
        int n = poll(&p, 1, sliceMs);
        if (n > 0)
            return p.revents;
        if (n < 0 && errno != EINTR)
            return -errno;
    }
    return -ETIMEDOUT;
}

int quor_MoverAcceptPeer(int listenFd, const quor_sockaddr_t *gateway, quor_sockaddr_t *peer, int *fd, char *text,
                         size_t size)
{
    int s = quor_net_accept(listenFd, peer, text, size);
    if (s < 0)
        return s;
    if (!quor_MoverPeerAllowed(gateway, peer)) {
        close(s);
        return 1;
    }
    (void)quor_ApplySiteSocketOptions(s, peer);
    *fd = s;
    return 0;
}

int nxapi_MoverAcceptOne(const quor_sockaddr_t *gateway, int listenFd, int *fd)
{
    quor_sockaddr_t peer{};
    char text[128] = "";
    int rc = quor_MoverAcceptPeer(listenFd, gateway, &peer, fd, text, sizeof text);
    if (rc == -EINTR || rc == -EAGAIN || rc == -ECONNABORTED)
        return 1;
    if (rc == 0)
        (void)fcntl(*fd, F_SETFD, FD_CLOEXEC);
    return rc;
}

int quor_TransferSecret(int fd, uint32_t purpose, uint64_t id, unsigned char secret[TRANSFER_SECRET_SIZE])
{
    quor_connection_t *conn = nullptr;
    if (fd >= 0) {
        if (fd >= NXAPI_MAX_OPEN_FILES)
            return -EBADF;
        kyl_lock_guard g(nxapi_FileLock);
        const nxapi_file_t &f = nxapi_FileTable[fd];
        if (f.state != NXAPI_FILE_OPEN || f.connection == nullptr)
            return -EBADF;
        conn = f.connection;
    } else if ((conn = nxapi_GetThreadConEntry(nullptr)) == nullptr) {
        conn = nxapi_getCurConnection();
    }
    return nxapi_ConnTransferSecret(conn, purpose, id, secret);
}

int nxapi_ConnTransferSecret(quor_connection_t *conn, uint32_t purpose, uint64_t id,
                             unsigned char secret[TRANSFER_SECRET_SIZE])
{
    if (conn == nullptr)
        return -ENOTCONN;
    unsigned char in[TRANSFER_SECRET_INPUT_SIZE];
    transfer_secret_input(purpose, id, in);
    // The login writes the key under the connection's open mutex.
    kyl_lock_guard g(conn->openMutex);
    if (conn->session_key == nullptr || conn->sess_key_len <= 0)
        return -ENOKEY;
    return quorex_HmacSha256(conn->session_key, static_cast<size_t>(conn->sess_key_len), in, sizeof in, secret) == 0
               ? 0
               : -EIO;
}

int quor_MoverTicket(int fd, uint64_t xferId, uint64_t *ticket)
{
    unsigned char secret[TRANSFER_SECRET_SIZE];
    int rc = quor_TransferSecret(fd, TRANSFER_SECRET_MOVER, xferId, secret);
    if (rc == 0)
        *ticket = transfer_secret_ticket(secret);
    quorex_Wipe(secret, sizeof secret);
    return rc;
}

int quor_MoverListen(int *fd, quor_sockaddr_t *address)
{
    quor_connection_t *conn = nxapi_GetThreadConEntry(nullptr);
    if (conn == nullptr)
        conn = nxapi_getCurConnection();
    return quor_MoverListenBeside(conn != nullptr ? conn->ctl_fd : -1, fd, address);
}

int quor_MoverListenBeside(int ctlFd, int *fd, quor_sockaddr_t *address)
{
    // The address the peer of ctlFd reached this host at, any port.
    quor_sockaddr_t at{};
    at.hs_addrlen = sizeof at.hs_addr;
    bool beside = ctlFd >= 0 && getsockname(ctlFd, reinterpret_cast<sockaddr *>(&at.hs_addr), &at.hs_addrlen) == 0 &&
                  (at.hs_addr.ss_family == AF_INET || at.hs_addr.ss_family == AF_INET6);
    if (beside && at.hs_addr.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in &>(at.hs_addr).sin_port = 0;
    else if (beside)
        reinterpret_cast<sockaddr_in6 &>(at.hs_addr).sin6_port = 0;
    for (int attempt = 0;; attempt++) {
        int s = -1;
        // Address reuse: connections of an earlier transfer that linger in
        // TIME_WAIT must not keep a port of a narrow restricted range.
        int rc =
            beside ? kylgw_SockGetListenSocketAt(&at, 1, &s, address) : kylgw_SockGetListenSocket(1, 1, &s, address);
        if (rc != 0)
            return rc;
        if (listen(s, QUOR_MOVER_BACKLOG) == 0) {
            *fd = s;
            return 0;
        }
        int e = errno;
        close(s);
        if (e != EADDRINUSE || attempt >= 100)
            return -e;
        struct timespec ts = {0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
}

int quorex_IsConnectionAllowed(const quor_sockaddr_t *peer, int log, const char *routine)
{
    if (quorcfgx_RestrictAllows(peer))
        return 1;
    if (log) {
        char text[INET6_ADDRSTRLEN] = "?";
        if (peer != nullptr && (peer->hs_addr.ss_family == AF_INET || peer->hs_addr.ss_family == AF_INET6)) {
            const void *a =
                peer->hs_addr.ss_family == AF_INET
                    ? static_cast<const void *>(&reinterpret_cast<const sockaddr_in &>(peer->hs_addr).sin_addr)
                    : static_cast<const void *>(&reinterpret_cast<const sockaddr_in6 &>(peer->hs_addr).sin6_addr);
            inet_ntop(peer->hs_addr.ss_family, a, text, sizeof text);
        }
        char line[256];
        snprintf(line, sizeof line, "*** Error [pid %d function %s] - restricted connection failed from %s\n",
                 static_cast<int>(getpid()), routine != nullptr ? routine : "?", text);
        nxapi_Print("%s", line);
        (void)quor_Logmsg(0, QUOR_LOGCLASS_RESTRICTED, line);
    }
    return 0;
}

int quor_ApplySiteSocketOptions(int fd, const quor_sockaddr_t *peer)
{
    return quorcfgx_NetoptSetSock(fd, peer);
}

size_t quor_DataWriteSize(int fd)
{
    int64_t n = quorcfgx_NetoptGetWriteSize(fd, nullptr);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

bool quor_MoverPeerAllowed(const quor_sockaddr_t *gateway, const quor_sockaddr_t *peer)
{
    (void)gateway;
    return quorex_IsConnectionAllowed(peer, 1, "quor_MoverAccept") == 1;
}

namespace {

void track(quor_moverxfer_t *x, int fd)
{
    kyl_lock_guard g(x->mu);
    x->sockets.push_back(fd);
    if (x->status.load() != 0)
        shutdown(fd, SHUT_RDWR);
}

void untrackClose(quor_moverxfer_t *x, int *fd)
{
    if (*fd < 0)
        return;
    kyl_lock_guard g(x->mu);
    x->sockets.erase(std::remove(x->sockets.begin(), x->sockets.end(), *fd), x->sockets.end());
    close(*fd);
    *fd = -1;
}

// One control connection of a list transfer.
struct ListConn {
    quor_moverxfer_t *x;
    int ctl;
    int data = -1;
    int dataListen = -1;
    quor_sockaddr_t dataAddr{};
};

int listStopped(void *arg)
{
    return static_cast<ListConn *>(arg)->x->status.load() != 0 ? -ECANCELED : 0;
}

// Grants the piece unless it lies outside the request or overlaps an
// earlier grant, cut to the window.
int listGrant(void *arg, const initiator_msg_t *im, quor_moverpiece_t *piece)
{
    quor_moverxfer_t *x = static_cast<ListConn *>(arg)->x;
    if (im->Length == 0 || im->Offset >= x->length || im->Length > x->length - im->Offset)
        return -EPROTO; // outside the request
    const uint64_t len = x->window > 0 ? std::min(im->Length, x->window) : im->Length;
    {
        kyl_lock_guard g(x->mu);
        if (mover_ranges_overlap(&x->granted, im->Offset, im->Offset + len))
            return -EPROTO; // bytes already moved or granted
        mover_ranges_add(&x->granted, im->Offset, im->Offset + len);
    }
    piece->xferId = x->xferId;
    piece->bytes = x->buffer + im->Offset;
    piece->length = len;
    return 0;
}

int listAcceptData(void *arg, int listenFd)
{
    int fd = -1;
    int rc = quor_MoverAccept(static_cast<ListConn *>(arg)->x, listenFd, &fd);
    return rc != 0 ? rc : fd;
}

// The block header must name the transfer and exactly the bytes granted.
int listMove(void *arg, int dataFd, const initiator_msg_t *im, const quor_moverpiece_t *piece, uint64_t *moved)
{
    quor_moverxfer_t *x = static_cast<ListConn *>(arg)->x;
    const int T = x->timeout;
    pdata_hdr_t h{};
    int rc = pdata_recv_hdr_timeout(dataFd, &h, T);
    if (rc != static_cast<int>(PDATA_HDR_SIZE))
        return rc < 0 ? rc : -EIO;
    if (h.XferID != x->xferId || h.Offset != im->Offset || h.Length != piece->length)
        return -EPROTO; // another transfer, or not the bytes granted
    ssize_t n = x->function == IOD_FUNC_READ
                    ? quor_recv_data_timeout(dataFd, piece->bytes, piece->length, std::max(T, MOVER_MIN_DATA_WAIT))
                    : pdata_send_hdr_and_data_timeout(dataFd, &h, piece->bytes, piece->length, T);
    if (n < 0)
        return n == NXAPI_E_NOSESSION ? -EIO : static_cast<int>(n);
    *moved = piece->length;
    return 0;
}

int listComplete(void *arg, const quor_moverpiece_t *piece, const completion_msg_t *cm, uint64_t /*moved*/)
{
    if (cm->Status != 0)
        return cm->Status < 0 ? cm->Status : -EIO;
    if (cm->BytesMoved != piece->length)
        return -EPROTO; // the mover claims another count than moved
    static_cast<ListConn *>(arg)->x->moved += piece->length;
    return 0;
}

int listFailed(void * /*arg*/, quor_moverstage_t /*stage*/, int rc, const initiator_msg_t * /*im*/)
{
    return rc;
}

void listSetSocket(void *arg, int *field, int fd)
{
    *field = fd;
    track(static_cast<ListConn *>(arg)->x, fd);
}

void listCloseSocket(void *arg, int *field)
{
    untrackClose(static_cast<ListConn *>(arg)->x, field);
}

int listTicket(void *arg, uint64_t *expected)
{
    const quor_moverxfer_t *x = static_cast<ListConn *>(arg)->x;
    *expected = x->ticket;
    return x->ticketRc;
}

const quor_moverops_t kListOps = {
    true,     false,        listStopped, nullptr,       listGrant,       listAcceptData,
    listMove, listComplete, listFailed,  listSetSocket, listCloseSocket, listTicket,
};

struct ServeArgs {
    quor_moverxfer_t *x;
    int fd;
};

void *serveThread(void *arg)
{
    auto *a = static_cast<ServeArgs *>(arg);
    (void)quor_MoverServeControl(a->x, a->fd);
    delete a;
    return nullptr;
}

} // namespace

int quor_MoverAccept(quor_moverxfer_t *x, int listenFd, int *fd)
{
    for (;;) {
        if (quor_poll_descriptor(listenFd, 0, x->timeout) != 0)
            return -(errno != 0 ? errno : EIO);
        int rc = nxapi_MoverAcceptOne(&x->gateway, listenFd, fd);
        if (rc <= 0)
            return rc;
    }
}

void quor_MoverAbort(quor_moverxfer_t *x, int rc)
{
    kyl_lock_guard g(x->mu);
    int expected = 0;
    x->status.compare_exchange_strong(expected, rc);
    for (int s : x->sockets)
        shutdown(s, SHUT_RDWR);
}

int quor_MoverServeControl(quor_moverxfer_t *x, int ctlFd)
{
    x->movers++;
    track(x, ctlFd);
    ListConn lc{x, ctlFd};
    quor_moverconn_t c{&kListOps, &lc, x->timeout, &lc.ctl, &lc.dataListen, &lc.data, &lc.dataAddr};
    int rc = quor_MoverServeConnection(&c);
    if (rc != 0 && rc != -ECANCELED)
        quor_MoverAbort(x, rc);
    untrackClose(x, &lc.dataListen);
    untrackClose(x, &lc.data);
    untrackClose(x, &lc.ctl);
    return rc;
}

int quor_MoverTransfer(quor_moverxfer_t *x, int listenFd, const std::atomic<bool> *replied)
{
    std::vector<pthread_t> threads;
    while (x->status.load() == 0 && !replied->load()) {
        // Short slices, so that the gateway's reply is noticed soon.
        pollfd p{listenFd, POLLIN, 0};
        int n = poll(&p, 1, 50);
        if (n < 0 && errno != EINTR) {
            quor_MoverAbort(x, -errno);
            break;
        }
        if (n <= 0)
            continue;
        int fd = -1;
        int rc = nxapi_MoverAcceptOne(&x->gateway, listenFd, &fd);
        if (rc > 0)
            continue;
        if (rc < 0) {
            quor_MoverAbort(x, rc);
            break;
        }
        auto *a = new (std::nothrow) ServeArgs{x, fd};
        pthread_t t;
        if (a == nullptr || kylgw_ThreadCreate(&t, nullptr, serveThread, a) != 0) {
            delete a;
            close(fd);
            quor_MoverAbort(x, -EAGAIN);
            break;
        }
        threads.push_back(t);
    }
    for (pthread_t t : threads)
        pthread_join(t, nullptr);
    return x->status.load();
}
