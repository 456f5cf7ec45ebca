// List transfers (see quor_api.h): the list calls, which run on the
// caller's thread with the file's connection, the list transfer through
// movers served by the mover exchange (nxapi_mover.h) on threads of their
// own, and the sequential transfers whose movers bring one block per
// connection.  Every wait on a socket is a poll() bounded by the
// transfer's timeout.

#include "nxapi_fileops.h"
#include "nxapi_mover.h"
#include "nxapi_private.h"
#include "quor_api.h"

#include <kyl_xdr.h>
#include <kylgw_mvrio.h>
#include <kylgw_mvrprot.h>

#include <algorithm>
#include <climits>
#include <sched.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const kyl_xdrproc_t kReadListReq = KYL_XDRPROC(api_quor_ReadList_req_t, xdr_api_quor_ReadList_req_t);
const kyl_xdrproc_t kWriteListReq = KYL_XDRPROC(api_quor_WriteList_req_t, xdr_api_quor_WriteList_req_t);
const kyl_xdrproc_t kIor = KYL_XDRPROC(quor_IOR_t, xdr_quor_IOR_t);

// Bad address type in an IOD.
constexpr int NXAPI_E_BADADDRTYPE = -64;

// Checks one descriptor list; *cfa gets its client file address (if any).
int checkList(const iod_srcsinkdesc_t *list, int32_t count, bool fileAllowed, clientfileaddress_t **cfa)
{
    if (list == nullptr || count <= 0)
        return -EINVAL;
    const iod_srcsinkdesc_t *d = list;
    for (int32_t i = 0; i < count; i++, d = d->Next) {
        if (d == nullptr)
            return -ERANGE;
        switch (d->SrcSinkAddr.Type) {
        case IOD_ADDR_NET:
        case IOD_ADDR_STRIPE:
        case IOD_ADDR_MEMORY:
        case IOD_ADDR_SHM: break;
        case IOD_ADDR_CLIENTFILE:
            if (!fileAllowed)
                return -EINVAL;
            if (*cfa != nullptr)
                return -EBUSY;
            *cfa = const_cast<clientfileaddress_t *>(&d->SrcSinkAddr.Addr.ClientFileAddr);
            break;
        default: return NXAPI_E_BADADDRTYPE;
        }
    }
    return 0;
}

int listCall(uint16_t fn, quor_IOD_t *iod, uint32_t flags, quor_IOR_t *ior)
{
    if (iod == nullptr || ior == nullptr)
        return -EFAULT;
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    quor_connection_t *conn = nullptr;
    clientfileaddress_t *cfa = nullptr;
    if ((rc = nxapi_validate_IOD(iod, flags, &conn, &cfa)) != 0)
        return rc;
    const int clientFd = cfa->FileDes;
    int serverFd = -1;
    if ((rc = nxapi_FileServerDes(clientFd, -EBADF, &serverFd)) != 0)
        return rc;
    ctx->connection = conn;
    memset(ior, 0, sizeof *ior);
    int32_t result = 0;
    // The message names the server's descriptor; the caller's IOD keeps its own.
    cfa->FileDes = serverFd;
    if (fn == FN_FS_READLIST) {
        api_quor_ReadList_req_t req{*iod, flags};
        rc = nxapi_Exchange(ctx, CAT_FILESYS, fn, &req, kReadListReq, ior, kIor, &result);
    } else {
        api_quor_WriteList_req_t req{*iod, flags};
        rc = nxapi_Exchange(ctx, CAT_FILESYS, fn, &req, kWriteListReq, ior, kIor, &result);
    }
    cfa->FileDes = clientFd;
    if (rc != 0) {
        free_quor_ior_mem(ior);
        return rc;
    }
    return result;
}

// The list call of quor_ListTransfer, on a thread of its own.
struct CallArgs {
    quor_IOD_t *iod;
    uint32_t flags;
    quor_IOR_t ior;
    int rc;
    std::atomic<bool> replied{false};
};

void *callThread(void *arg)
{
    auto *a = static_cast<CallArgs *>(arg);
    a->rc = a->iod->Function == IOD_FUNC_READ ? quor_ReadList(a->iod, a->flags, &a->ior)
                                              : quor_WriteList(a->iod, a->flags, &a->ior);
    a->replied.store(true);
    return nullptr;
}

} // namespace

int nxapi_validate_IOD(quor_IOD_t *iod, uint32_t /*flags*/, quor_connection_t **conn,
                       clientfileaddress_t **clientFileAddr)
{
    if (iod == nullptr || conn == nullptr || clientFileAddr == nullptr)
        return -EFAULT;
    if (iod->Function != IOD_FUNC_READ && iod->Function != IOD_FUNC_WRITE)
        return -EINVAL;
    const bool read = iod->Function == IOD_FUNC_READ;
    clientfileaddress_t *src = nullptr, *sink = nullptr;
    int rc = checkList(iod->SrcDescList, iod->SrcDescLength, read, &src);
    if (rc == 0)
        rc = checkList(iod->SinkDescList, iod->SinkDescLength, !read, &sink);
    if (rc != 0)
        return rc;
    clientfileaddress_t *cfa = read ? src : sink;
    if (cfa == nullptr)
        return -EFAULT;
    if (cfa->FileDes < 0 || cfa->FileDes >= NXAPI_MAX_OPEN_FILES)
        return -EBADF;
    kyl_lock_guard g(nxapi_FileLock);
    const nxapi_file_t &f = nxapi_FileTable[cfa->FileDes];
    if (f.state != NXAPI_FILE_OPEN || f.connection == nullptr)
        return -EBADF;
    *conn = f.connection;
    *clientFileAddr = cfa;
    return 0;
}

int quor_ReadList(quor_IOD_t *iod, uint32_t flags, quor_IOR_t *ior)
{
    return listCall(FN_FS_READLIST, iod, flags, ior);
}

int quor_WriteList(quor_IOD_t *iod, uint32_t flags, quor_IOR_t *ior)
{
    return listCall(FN_FS_WRITELIST, iod, flags, ior);
}

void nxapi_free_srcsinkrply(int count, iod_srcsinkreply_t **list)
{
    if (list == nullptr)
        return;
    kyl_xdr_t x;
    kyl_xdr_create_free(&x);
    (void)kyl_xdr_linked_list<iod_srcsinkreply_t, xdr_iod_srcsinkreply_t, &iod_srcsinkreply_t::Next>(
        &x, count, list, KYLGW_MAX_IOD_DESC);
}

void free_quor_ior_mem(quor_IOR_t *ior)
{
    if (ior == nullptr)
        return;
    kyl_xdr_free(kIor, ior);
}

namespace {

// The SecurityTicket the movers of a sequential transfer carry: rc 0 when
// value is known, else no connection is trusted.
struct SeqTicket {
    uint64_t value = 0;
    int rc = -ENOKEY;
};

// Seconds a new sequential data connection has to show its first header.
constexpr int kSeqProofSeconds = 10;

// One or more rounds of the sequential block exchange (see quor_api.h).
// wakeFd, when not -1, ends the wait with -ETIMEDOUT as soon as it is
// readable and nothing else is.  With ticket, a connection whose first
// block header does not carry the transfer's ticket is closed unread.
ssize_t waitForMovers(int listenFd, uint64_t xferId, uint64_t offset, unsigned char *buffer, uint64_t length,
                      uint64_t *count, int seconds, bool send, int wakeFd = -1, const SeqTicket *ticket = nullptr)
{
    quor_sockaddr_t gateway{};
    if (quor_connection_t *conn = nxapi_getCurConnection())
        gateway = conn->server_addr;
    std::vector<int> conns;
    auto finish = [&conns](ssize_t rc) {
        for (int c : conns)
            close(c);
        return rc;
    };
    const int dataWait = std::max(seconds, MOVER_MIN_DATA_WAIT);
    for (;;) {
        std::vector<pollfd> p{{listenFd, POLLIN, 0}};
        for (int c : conns)
            p.push_back({c, POLLIN, 0});
        if (wakeFd >= 0)
            p.push_back({wakeFd, POLLIN, 0});
        int n = poll(p.data(), p.size(), seconds > 0 ? seconds * 1000 : -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return finish(-errno);
        if (n == 0 || (wakeFd >= 0 && n == 1 && p.back().revents != 0))
            return finish(-ETIMEDOUT);
        ssize_t round = 0;
        for (size_t i = conns.size(); i-- > 0;) {
            if ((p[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
                continue;
            uint64_t moved = 0;
            ssize_t r =
                send ? mover_socket_send_requested_data_ws(conns[i], xferId, offset, buffer, length, &moved, 1,
                                                           dataWait, quor_DataWriteSize(conns[i]))
                     : mover_socket_recv_data_timeout(conns[i], xferId, offset, buffer, length, &moved, 1, dataWait);
            if (r < 0)
                return finish(r);
            if (r == 0) {
                close(conns[i]);
                conns.erase(conns.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            *count += moved;
            round += r;
        }
        if ((p[0].revents & POLLIN) != 0) {
            int s = -1;
            int rc = nxapi_MoverAcceptOne(&gateway, listenFd, &s);
            if (rc < 0)
                return finish(rc);
            if (rc == 0 && ticket != nullptr &&
                (ticket->rc != 0 || !quor_MoverDataProven(s, ticket->value, kSeqProofSeconds, nullptr, nullptr))) {
                nxapi_logf(1, "mover_waitfor_data", NXAPI_LOG_STDERR | NXAPI_LOG_FILE, __FILE__, __LINE__,
                           "/debug/data connection on socket %d without the transfer's ticket - closed and ignored\n",
                           s);
                close(s);
                rc = 1;
            }
            if (rc == 0) {
                conns.push_back(s);
                if (conns.size() > QUOR_MOVER_MAX_CONNECTIONS)
                    return finish(-EBUSY);
            }
        }
        if (round > 0)
            return finish(round);
    }
}

} // namespace

ssize_t mover_waitfor_data(int listenFd, uint64_t xferId, uint64_t offset, void *buffer, uint64_t length,
                           uint64_t *received)
{
    return mover_waitfor_data_timeout(listenFd, xferId, offset, buffer, length, received, 0);
}

ssize_t mover_waitfor_data_timeout(int listenFd, uint64_t xferId, uint64_t offset, void *buffer, uint64_t length,
                                   uint64_t *received, int seconds)
{
    if (buffer == nullptr || received == nullptr)
        return -EFAULT;
    return waitForMovers(listenFd, xferId, offset, static_cast<unsigned char *>(buffer), length, received, seconds,
                         false);
}

ssize_t mover_waitfor_requests(int listenFd, uint64_t xferId, uint64_t offset, const void *buffer, uint64_t length,
                               uint64_t *sent)
{
    return mover_waitfor_requests_timeout(listenFd, xferId, offset, buffer, length, sent, 0);
}

ssize_t mover_waitfor_requests_timeout(int listenFd, uint64_t xferId, uint64_t offset, const void *buffer,
                                       uint64_t length, uint64_t *sent, int seconds)
{
    if (buffer == nullptr || sent == nullptr)
        return -EFAULT;
    // Only read from: the send path takes the buffer as const.
    return waitForMovers(listenFd, xferId, offset, static_cast<unsigned char *>(const_cast<void *>(buffer)), length,
                         sent, seconds, true);
}

int quor_ListTransfer(int fd, int function, uint64_t fileOffset, void *buffer, uint64_t length, uint64_t window,
                      int timeout, uint64_t *bytesMoved)
{
    const char *fn = "quor_ListTransfer";
    if (buffer == nullptr || bytesMoved == nullptr)
        return -EFAULT;
    if ((function != IOD_FUNC_READ && function != IOD_FUNC_WRITE) || length > PDATA_MAX_BLOCK)
        return -EINVAL;
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    *bytesMoved = 0;
    const bool read = function == IOD_FUNC_READ;
    kyl_uuid_t reqId = quor_GetUniqueRequestID();

    quor_moverxfer_t x;
    x.function = function;
    x.xferId = quor_RequestIDtoU64(&reqId);
    x.buffer = static_cast<unsigned char *>(buffer);
    x.length = length;
    x.window = window;
    x.timeout = timeout;
    int listenFd = -1;
    quor_sockaddr_t listenAddr{};
    if ((rc = quor_MoverListen(&listenFd, &listenAddr)) != 0) {
        nxapi_Print("*** %s: no listening socket for the movers: error %d\n", fn, rc);
        return rc;
    }

    iod_srcsinkdesc_t fileDesc{}, netDesc{};
    fileDesc.Length = netDesc.Length = length;
    fileDesc.SrcSinkAddr.Type = IOD_ADDR_CLIENTFILE;
    fileDesc.SrcSinkAddr.Addr.ClientFileAddr = {fd, fileOffset};
    netDesc.Flags = IOD_DESC_MOVER_PROTOCOL | IOD_DESC_CLIENT_NET;
    netDesc.SrcSinkAddr.Type = IOD_ADDR_NET;
    netDesc.SrcSinkAddr.Addr.NetAddr = {x.xferId, listenAddr, 0};
    quor_IOD_t iod{};
    iod.RequestID = reqId;
    iod.Function = function;
    iod.Flags = read ? 0 : IOD_FLAG_LIST_WRITE;
    iod.SrcDescLength = iod.SinkDescLength = 1;
    iod.SrcDescList = read ? &fileDesc : &netDesc;
    iod.SinkDescList = read ? &netDesc : &fileDesc;
    quor_connection_t *conn = nullptr;
    clientfileaddress_t *cfa = nullptr;
    if ((rc = nxapi_validate_IOD(&iod, 0, &conn, &cfa)) != 0) {
        close(listenFd);
        return rc;
    }
    x.gateway = conn->server_addr;
    x.ticketRc = quor_MoverTicket(fd, x.xferId, &x.ticket);

    CallArgs call{&iod, 0, {}, 0};
    pthread_t caller;
    if ((rc = kylgw_ThreadCreate(&caller, nullptr, callThread, &call)) != 0) {
        close(listenFd);
        return -rc;
    }
    const int xrc = quor_MoverTransfer(&x, listenFd, &call.replied);
    // Closing the listening socket also turns away movers still queued.
    close(listenFd);
    pthread_join(caller, nullptr);

    const uint64_t moved =
        call.ior.SinkReplyLength >= 1 && call.ior.SinkReplyList != nullptr ? call.ior.SinkReplyList->BytesMoved : 0;
    const bool gap = (call.ior.Flags & IOR_GAP_DETECTED) != 0;
    const iod_gap_t gapAt = gap && call.ior.ReqSpecReply != nullptr ? call.ior.ReqSpecReply->Gap : iod_gap_t{};
    free_quor_ior_mem(&call.ior);
    if (call.rc >= 0 && xrc == 0 && gap) {
        // The bytes before the hole are good; the caller learns where it is.
        nxapi_Print("*** %s: the file has a gap of %llu bytes at offset %llu\n", fn,
                    static_cast<unsigned long long>(gapAt.Length), static_cast<unsigned long long>(gapAt.Offset));
        *bytesMoved = std::min(moved, length);
        return -ENODATA;
    }
    // A mover that the gateway stopped after a failure of its own closes
    // its connections (a block cut short shows here as -EIO): the
    // gateway's reply then tells the real cause.
    const bool closedByGateway = xrc == -50 || xrc == -ECONNRESET || xrc == -EPIPE || xrc == -ECANCELED || xrc == -EIO;
    if (xrc != 0 && !(closedByGateway && call.rc < 0)) {
        nxapi_Print("*** %s: list %s failed in the mover exchange: error %d [%s]\n", fn, read ? "read" : "write", xrc,
                    strerror(-xrc));
        return xrc;
    }
    if (call.rc < 0) {
        nxapi_Print("*** %s: list %s failed: gateway error %d\n", fn, read ? "read" : "write", call.rc);
        return call.rc;
    }
    if (moved > length || (read ? moved != x.moved.load() : moved > x.moved.load())) {
        nxapi_Print("*** %s: gateway reports %llu bytes moved of %llu requested, %llu arrived\n", fn,
                    static_cast<unsigned long long>(moved), static_cast<unsigned long long>(length),
                    static_cast<unsigned long long>(x.moved.load()));
        return -EPROTO;
    }
    *bytesMoved = moved;
    return 0;
}

namespace {

// The connection manager of one round of a sequential transfer.
struct SeqRound {
    nxapi_file_t *f;
    int listenFd;
    uint64_t xferId;
    bool write;
    uint64_t arrived; // bytes received or sent by the manager
    int rc;           // the manager's failure, or 0
    int wakeFd;       // readable once the gateway replied
    SeqTicket ticket; // the movers' SecurityTicket
};

// Serves the movers' blocks of one round until the caller's bytes moved,
// or the gateway replied and every byte it reports moved, or a failure.
void *manageIoConnections(void *arg)
{
    auto *m = static_cast<SeqRound *>(arg);
    nxapi_file_t *f = m->f;
    while (m->arrived < f->bytesToXfer && f->transferActive != 0 && f->aborted == 0) {
        uint64_t got = 0;
        ssize_t r = waitForMovers(m->listenFd, m->xferId, 0, static_cast<unsigned char *>(f->userBuffer),
                                  f->bytesToXfer, &got, 1, m->write, m->wakeFd, &m->ticket);
        m->arrived += got;
        if (r == -ETIMEDOUT) {
            kyl_lock_guard g(f->fileLock);
            if (f->iodCompleted == 0)
                continue;
            // The gateway replies only after every block's connection was
            // closed, that is after the block passed here: bytes it reports
            // that did not arrive never will.
            if (m->arrived < f->iorBytesXferred) {
                m->rc = -EPROTO;
                f->aborted = 1;
            }
            break;
        }
        if (r < 0) {
            m->rc = static_cast<int>(r);
            f->aborted = 1;
            break;
        }
    }
    return nullptr;
}

// One round: a request for what is still wanted, served by the manager
// thread.  Returns the bytes the round moved, or a negative code.
ssize_t seqRound(nxapi_file_t *f, int fd, bool write, int listenFd, const quor_sockaddr_t &listenAddr,
                 unsigned char *buf, uint64_t remaining)
{
    const char *fn = write ? "quor_Write" : "quor_Read";
    kyl_uuid_t reqId = quor_GetUniqueRequestID();
    // The reply wakes the manager at once, so that a short round (the end
    // of the file) does not wait out the manager's poll.
    int wake[2];
    if (pipe2(wake, O_CLOEXEC) != 0)
        return -errno;
    struct PipeCloser {
        int *p;
        ~PipeCloser()
        {
            close(p[0]);
            close(p[1]);
        }
    } closer{wake};
    SeqRound m{f, listenFd, quor_RequestIDtoU64(&reqId), write, 0, 0, wake[0], {}};
    m.ticket.rc = quor_MoverTicket(fd, m.xferId, &m.ticket.value);
    {
        kyl_lock_guard g(f->fileLock);
        f->userBuffer = buf;
        f->bytesToXfer = remaining;
        f->iorBytesXferred = 0;
        f->iodCompleted = 0;
    }
    f->transferActive = 1;
    f->aborted = 0;
    pthread_t manager;
    int rc = kylgw_ThreadCreate(&manager, nullptr, manageIoConnections, &m);
    if (rc != 0)
        return -rc;
    f->lthreadActive = 1;
    sched_yield();

    iod_srcsinkdesc_t fileDesc{}, netDesc{};
    fileDesc.Length = netDesc.Length = remaining;
    fileDesc.SrcSinkAddr.Type = IOD_ADDR_CLIENTFILE;
    fileDesc.SrcSinkAddr.Addr.ClientFileAddr = {fd, IOD_CURRENT_POSITION};
    netDesc.Flags = IOD_DESC_CLIENT_NET;
    netDesc.SrcSinkAddr.Type = IOD_ADDR_NET;
    netDesc.SrcSinkAddr.Addr.NetAddr = {m.xferId, listenAddr, 0};
    quor_IOD_t iod{};
    iod.RequestID = reqId;
    iod.Function = write ? IOD_FUNC_WRITE : IOD_FUNC_READ;
    iod.SrcDescLength = iod.SinkDescLength = 1;
    iod.SrcDescList = write ? &netDesc : &fileDesc;
    iod.SinkDescList = write ? &fileDesc : &netDesc;
    quor_IOR_t ior{};
    rc = listCall(write ? FN_FS_WRITELIST : FN_FS_READLIST, &iod, 1, &ior);
    const uint64_t moved = ior.SinkReplyLength >= 1 && ior.SinkReplyList != nullptr ? ior.SinkReplyList->BytesMoved : 0;
    free_quor_ior_mem(&ior);
    {
        kyl_lock_guard g(f->fileLock);
        f->iorBytesXferred = moved;
        f->iodCompleted = 1;
    }
    (void)!::write(wake[1], "", 1);
    if (rc < 0)
        f->aborted = 1;
    pthread_join(manager, nullptr);
    f->lthreadActive = 0;
    f->transferActive = 0;
    if (rc < 0)
        return rc;
    if (m.rc < 0 || moved > remaining || moved != m.arrived) {
        nxapi_Print("*** %s: gateway reports %llu bytes moved of %llu requested, %llu %s: error %d\n", fn,
                    static_cast<unsigned long long>(moved), static_cast<unsigned long long>(remaining),
                    static_cast<unsigned long long>(m.arrived), write ? "sent" : "arrived", m.rc);
        return m.rc < 0 ? m.rc : -EPROTO;
    }
    return static_cast<ssize_t>(moved);
}

ssize_t seqTransfer(int fd, unsigned char *buf, uint64_t length, bool write)
{
    nxapi_tcontext_t *ctx = nullptr;
    int rc = nxapi_init(&ctx);
    if (rc != 0)
        return rc;
    if (buf == nullptr)
        return -EFAULT;
    if (length == 0)
        return 0;
    if (length > static_cast<uint64_t>(SSIZE_MAX))
        return -EINVAL;
    nxapi_file_t *f = nullptr;
    if ((rc = nxapi_FileMarkBusy(fd, ctx, &f)) != 0)
        return rc;
    ssize_t result = 0;
    int listenFd = -1;
    quor_sockaddr_t listenAddr{};
    if (f->sockFiledes >= 0) {
        // Opened for the gateway's data stream: one request, then the bytes.
        ctx->connection = f->connection;
        result = nxapi_StreamCall(ctx, f, write, 0x80000000u, nullptr, length, nullptr);
        if (result == 0)
            result = nxapi_StreamCall(ctx, f, write, 0, buf, length, nullptr);
        nxapi_FileMarkIdle(f);
        return result;
    }
    if ((rc = quor_MoverListen(&listenFd, &listenAddr)) != 0) {
        nxapi_Print("*** %s: no listening socket for the movers: error %d\n", write ? "quor_Write" : "quor_Read", rc);
        result = rc;
    }
    ctx->connection = f->connection;
    uint64_t total = 0;
    while (listenFd >= 0 && total < length) {
        result = seqRound(f, fd, write, listenFd, listenAddr, buf + total, length - total);
        if (result <= 0)
            break;
        total += static_cast<uint64_t>(result);
    }
    if (listenFd >= 0)
        close(listenFd);
    {
        kyl_lock_guard g(f->fileLock);
        f->userBuffer = nullptr;
        f->bytesToXfer = 0;
    }
    nxapi_FileMarkIdle(f);
    return total > 0 ? static_cast<ssize_t>(total) : result;
}

} // namespace

ssize_t quor_Read(int fd, void *buffer, uint64_t length)
{
    return seqTransfer(fd, static_cast<unsigned char *>(buffer), length, false);
}

ssize_t quor_Write(int fd, const void *buffer, uint64_t length)
{
    // Only read from: the requests are served from the caller's bytes.
    return seqTransfer(fd, static_cast<unsigned char *>(const_cast<void *>(buffer)), length, true);
}
