// The storage-system archive writer.  The initial thread sets up the
// transfer (locks, reader pool, buffers, listening socket), starts the local
// file manager and the listen thread, and then issues one list-write
// request after another; each request is served by transfer threads, one
// per mover control connection, that run the client library's mover
// exchange (nxapi_mover.h) with this unit's hooks, sending the bytes the
// movers ask for out of the ready buffers.  A request counts only when the gateway, the
// transfer threads and the bytes that actually left agree.  A request that
// fails with an I/O error, end of media or no space is followed by a
// restart of the stream at the last whole block it moved; anything else
// ends the create.  Locks: controlLock (abort and active flags, connection
// entries and their sockets, progress), bufQueueLock then a bufLock or
// reqLock, and grantLock (the current request) taken alone.

#include "velk_QuorArchiveWriter.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "kylgw_errors.h"
#include "kylgw_mvrio.h"
#include "nxapi_mover.h"
#include "quor_api.h"
#include "velk_ArchiveFile.h"
#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LocalFileMgr.h"
#include "velk_LogMsg.h"
#include "velk_MoverDisplay.h"
#include "velk_Memory.h"
#include "velk_ReaderPool.h"
#include "velk_TarHeader.h"
#include "velk_Xfer.h"
#include "velk_XferRecovery.h"

namespace {

constexpr uint32_t MSG = VELK_LOGCLASS_MSG;
// Largest list-write request.
constexpr uint64_t kMaxRequestBytes = 0x80000000ull;
// Slice of every wait that must notice an abort.
constexpr int kSliceMs = 250;

// The request being served, the bytes granted to movers in it (IOD
// offsets, sorted, disjoint, adjacent ranges merged) and what the transfer
// threads made of it.
struct RequestState {
    kyl_mutex_t grantLock;
    uint64_t xferId KYL_GUARDED_BY(grantLock) = 0;
    uint64_t ticket KYL_GUARDED_BY(grantLock) = 0;    // its movers' SecurityTicket
    int ticketRc KYL_GUARDED_BY(grantLock) = -ENOKEY; // 0 when ticket is set
    uint64_t srcAddr KYL_GUARDED_BY(grantLock) = 0;   // archive address of IOD offset 0
    uint64_t length KYL_GUARDED_BY(grantLock) = 0;
    mover_ranges_t granted KYL_GUARDED_BY(grantLock);
    uint64_t sent KYL_GUARDED_BY(grantLock) = 0; // bytes whose completion arrived
    int threadError KYL_GUARDED_BY(grantLock) = 0;
};

// The threads and resources of one run of the writer.
struct WriterRun {
    velk_xfer_ctl_t *ctl = nullptr;
    RequestState request;
    // Entries whose thread is still to be joined; used by the listen
    // thread and, once that is joined, by the initial thread.
    std::vector<char> joinPending;
    // The gateway's address, when known: movers connecting from it are
    // accepted like the ones the site allows.
    quor_sockaddr_t gateway{};
    bool haveGateway = false;
    // The reader pool that fills the transfer's buffers.
    velk_reader_pool_t pool;
    bool poolStarted = false;
    bool managerStarted = false;
    bool listenStarted = false;
    pthread_t manager{};
    pthread_t listener{};
    // Failed requests: the archive offset of the last failure, the I/O
    // errors in a row there, and the wait for space.
    bool failedBefore = false;
    uint64_t lastFailAt = 0;
    int eioRetries = 0;
    velk_nospace_t noSpace;
};

// The writer that runs ctl's transfer: the control's owner, set before its
// threads start.
WriterRun *writerOf(velk_xfer_ctl_t *ctl)
{
    return static_cast<WriterRun *>(ctl->owner);
}

const quor_sockaddr_t *gatewayOf(velk_xfer_ctl_t *ctl)
{
    WriterRun *run = writerOf(ctl);
    return run->haveGateway ? &run->gateway : nullptr;
}

// Whether a transfer thread must give up its mover: the transfer must stop
// (velk_XferShouldStop) or is recovering.  *quiet (may be null) tells
// whether a failure that led here is expected and goes unreported: broken
// connections are expected once the transfer was aborted, ended or began
// a recovery, not when a shutdown is the only reason.
bool stopping(velk_xfer_ctl_t *ctl, bool *quiet)
{
    const int why = velk_XferStopReason(ctl);
    const bool recovering = velk_XferRecovering(ctl);
    if (quiet != nullptr)
        *quiet = recovering || (why != VELK_XFER_GO_ON && why != VELK_XFER_SHUTDOWN);
    return recovering || why != VELK_XFER_GO_ON;
}

// Wakes every thread of the transfer that may be blocked: sockets of the
// active connections are shut down (their owners close them) and waiting
// transfer threads and the pool are signalled.
void wakeAll(velk_xfer_ctl_t *ctl)
{
    velk_WakeTransfer(ctl);
    velk_LfwBroadcastCondition(ctl->pool);
}

// Aborts the transfer and wakes its threads.
void writerAbort(velk_xfer_ctl_t *ctl, const char *function, int line)
{
    velk_SetXferAborted(ctl, function, "velk_QuorArchiveWriter", line);
    wakeAll(ctl);
}

// Records the first failure of a transfer thread in the request.  A
// broken connection only ends its thread: the mover then fails, and the
// request's result decides whether the transfer recovers.
void noteThreadError(velk_xfer_ctl_t *ctl, int rc)
{
    RequestState *rq = &writerOf(ctl)->request;
    kyl_lock_guard g(rq->grantLock);
    if (rq->threadError == 0)
        rq->threadError = rc < 0 ? rc : -EIO;
}

// Records the failure and aborts: the mover broke the protocol.
void threadFailed(velk_xfer_ctl_t *ctl, int rc, const char *function, int line)
{
    noteThreadError(ctl, rc);
    writerAbort(ctl, function, line);
}

// Sets one of the connection's socket fields under controlLock, so that
// wakeAll never shuts down a descriptor that was closed and reused.
void setSocket(velk_xfer_ctl_t *ctl, int *field, int fd)
{
    kyl_lock_guard g(ctl->controlLock);
    *field = fd;
}

void closeOwnSocket(velk_xfer_ctl_t *ctl, int *field)
{
    kyl_lock_guard g(ctl->controlLock);
    if (*field >= 0)
        close(*field);
    *field = -1;
}

// Unlinks req from the request queue if it is there.  Caller holds
// bufQueueLock.
void unlinkRequest(velk_xfer_ctl_t *ctl, io_bufreq_t *req) KYL_REQUIRES(ctl->ring.bufQueueLock)
{
    for (io_bufreq_t **link = &ctl->ring.requestQueue; *link != nullptr; link = &(*link)->next) {
        if (*link == req) {
            *link = req->next;
            req->next = nullptr;
            return;
        }
    }
}

// Stops a wait of the transfer (ctl): -ECANCELED once it stops.
int transferStopped(void *ctl)
{
    return stopping(static_cast<velk_xfer_ctl_t *>(ctl), nullptr) ? -ECANCELED : 0;
}

// Waits for and accepts the one data connection of a control connection,
// at most the mover wait.  Returns the socket, or a negative code
// (-ECANCELED when the transfer stopped, -ETIMEDOUT after the message).
int acceptDataConnection(velk_xfer_ctl_t *ctl, connection_info_t *con)
{
    for (;;) {
        int events = quor_MoverWaitReadable(con->listenSocket, kSliceMs, velk_MoverWaitSeconds(), transferStopped, ctl);
        if (events == -ECANCELED)
            return events;
        if (events == -ETIMEDOUT) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "*** %s: no data connection from the mover\n", "velk_TransferThread");
            return events;
        }
        if (events < 0) {
            if (velk_debug_level >= 1)
                velk_ErrPrintf("/debug/error %d on poll() - exiting accept loop\n", -events);
            return events;
        }
        if ((events & POLLIN) == 0)
            return -ECONNABORTED;
        char text[128] = "";
        int s = -1;
        int rc =
            quor_MoverAcceptPeer(con->listenSocket, gatewayOf(ctl), &con->remoteTransferAddr, &s, text, sizeof text);
        if (rc == -EINTR || rc == -EAGAIN || rc == -ECONNABORTED)
            continue;
        if (rc < 0) {
            velk_ErrPrintf("*** %s: quor_net_accept error %d listen sock=%d [%s]\n", "velk_TransferThread", -rc,
                           con->listenSocket, text);
            return rc;
        }
        if (rc > 0) {
            if (velk_debug_level >= 1)
                velk_ErrPrintf("/debug/mover connection from %s disallowed - closing connection\n", "peer");
            continue;
        }
        int flags = fcntl(s, F_GETFL);
        if (flags >= 0)
            (void)fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
        return s;
    }
}

// One mover control connection: the hooks' argument.
struct WriterConn {
    velk_xfer_ctl_t *ctl;
    connection_info_t *con;
    char label[48];
};

// The hooks of the mover exchange.  A piece ends with 0, -EPROTO when the
// mover broke the protocol (the transfer is aborted), -ECANCELED when the
// transfer stopped or the failure is already recorded, or another negative
// code (the piece failed; already logged).

int writerStopped(void *arg)
{
    return transferStopped(static_cast<WriterConn *>(arg)->ctl);
}

void writerReceived(void *arg, int rc, const initiator_msg_t *im)
{
    const connection_info_t *con = static_cast<WriterConn *>(arg)->con;
    if (velk_debug_level >= 3) {
        velk_ErrPrintf("/debug/Connection ID: %d mvrprot_recv_initmsg returned %d\n", con->conInx, rc);
        if (rc == 0)
            velk_DisplayInitiatorMessage(0, con->conInx, im);
    }
}

// Grants the piece im asks for out of the ready buffer that holds it: at
// most up to the end of the buffer's data, never bytes granted before.
int writerGrant(void *arg, const initiator_msg_t *im, quor_moverpiece_t *piece)
{
    auto *w = static_cast<WriterConn *>(arg);
    RequestState *rq = &writerOf(w->ctl)->request;
    uint64_t xferId;
    uint64_t requestLength;
    {
        kyl_lock_guard g(rq->grantLock);
        xferId = rq->xferId;
        requestLength = rq->length;
    }
    if (im->Length == 0 || im->Offset >= requestLength || im->Length > requestLength - im->Offset) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "parallel write - internal buffer/IOD offset error\n");
        return -EPROTO;
    }
    {
        // Bytes already handed out are gone from the buffers: a mover that
        // asks for them again would wait for ever.
        kyl_lock_guard g(rq->grantLock);
        if (mover_ranges_overlap(&rq->granted, im->Offset, im->Offset + 1)) {
            velk_LogFmt(VELK_MSG_ERROR, MSG,
                        "*** %s: mover asked again for request offset %" PRIu64 " - transfer aborted\n", w->label,
                        im->Offset);
            return -EPROTO;
        }
    }
    io_buffer_t *buf = nullptr;
    int rc = velk_FindBufferData(w->con, im, &buf);
    if (rc != 0) {
        bool quiet = false;
        if (!stopping(w->ctl, &quiet) || !quiet)
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: find I/O buffer result=%d\n", w->label, rc);
        return -ECANCELED;
    }
    uint64_t srcAddr;
    {
        kyl_lock_guard g(rq->grantLock);
        srcAddr = rq->srcAddr;
    }
    const uint64_t addr = srcAddr + im->Offset;
    uint64_t fileOffset;
    uint32_t dataLength;
    {
        kyl_lock_guard g(buf->bufLock);
        fileOffset = buf->fileOffset;
        dataLength = buf->dataLength;
    }
    if (addr < fileOffset || addr >= fileOffset + dataLength) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "parallel write - internal buffer/IOD offset error\n");
        return -EPROTO;
    }
    const uint64_t length = std::min<uint64_t>(im->Length, fileOffset + dataLength - addr);
    {
        kyl_lock_guard g(rq->grantLock);
        if (mover_ranges_overlap(&rq->granted, im->Offset, im->Offset + length)) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Internal error in velk_FindBufferData at line %d\n", __LINE__);
            return -EPROTO;
        }
        mover_ranges_add(&rq->granted, im->Offset, im->Offset + length);
    }
    piece->xferId = xferId;
    piece->bytes = buf->buffer + (addr - fileOffset);
    piece->length = length;
    piece->buffer = buf;
    return 0;
}

int writerAcceptData(void *arg, int /*listenFd*/)
{
    auto *w = static_cast<WriterConn *>(arg);
    int s = acceptDataConnection(w->ctl, w->con);
    if (s >= 0 && velk_debug_level >= 1)
        velk_ErrPrintf("/debug/ %s mover data connection accepted\n", w->label);
    return s;
}

int writerMove(void *arg, int dataFd, const initiator_msg_t *im, const quor_moverpiece_t *piece, uint64_t *moved)
{
    auto *w = static_cast<WriterConn *>(arg);
    uint64_t sent = 0;
    ssize_t n = mover_socket_send_requested_data_ws(dataFd, piece->xferId, im->Offset, piece->bytes, piece->length,
                                                    &sent, 1, velk_MoverWaitSeconds(), quor_DataWriteSize(dataFd));
    if (n < 0 || static_cast<uint64_t>(n) != piece->length) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "*** %s: mover_socket_send_requested_data error: ioresult=%d, errno=%d\n",
                    w->label, static_cast<int>(n), n < 0 ? static_cast<int>(-n) : 0);
        // A data header that does not match the piece is the mover's fault.
        return n == -EINVAL || n == -EPROTO ? -EPROTO : n < 0 ? static_cast<int>(n) : -EIO;
    }
    *moved = sent;
    return 0;
}

int writerComplete(void *arg, const quor_moverpiece_t *piece, const completion_msg_t *cm, uint64_t sent)
{
    auto *w = static_cast<WriterConn *>(arg);
    if (cm->Status != 0 || cm->BytesMoved != sent) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "*** %s: mover completion status %d, %" PRIu64 " bytes of %" PRIu64 " sent\n",
                    w->label, static_cast<int>(cm->Status), cm->BytesMoved, sent);
        return cm->Status < 0 ? cm->Status : -EPROTO;
    }
    {
        RequestState *rq = &writerOf(w->ctl)->request;
        kyl_lock_guard g(rq->grantLock);
        rq->sent += sent;
    }
    {
        kyl_lock_guard g(w->ctl->controlLock);
        w->ctl->movers.currentSrcOffset = std::max(w->ctl->movers.currentSrcOffset, piece->offset + sent);
    }
    return velk_UpdateBufXferred(w->ctl, cm, static_cast<io_buffer_t *>(piece->buffer));
}

int writerFailed(void *arg, quor_moverstage_t stage, int rc, const initiator_msg_t *im)
{
    auto *w = static_cast<WriterConn *>(arg);
    const char *label = w->label;
    switch (stage) {
    case QUOR_MOVER_RECV_INITIATOR: {
        bool quiet = false;
        if (!stopping(w->ctl, &quiet) || !quiet) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: mvrprot_recv_initmsg error %d\n", label, rc);
            noteThreadError(w->ctl, rc);
        }
        return -ECANCELED;
    }
    case QUOR_MOVER_BAD_TYPE:
        velk_LogFmt(VELK_MSG_ERROR, MSG, "*** %s: bad transfer type %d - transfer aborted\n", label,
                    static_cast<int>(im->Type));
        return -EPROTO;
    case QUOR_MOVER_SEND_REPLY:
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: mvrprot_send_initmsg error: %d\n", label, rc);
        break;
    case QUOR_MOVER_LISTEN:
        velk_LogFmt(VELK_MSG_ERROR, MSG, "*** %s: error %d getting listen socket (%s, line %d)\n", label, rc, __FILE__,
                    __LINE__);
        break;
    case QUOR_MOVER_SEND_ADDRESS:
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: mvrprot_send_ipaddr error: %d\n", label, rc);
        break;
    case QUOR_MOVER_ACCEPT: break;
    case QUOR_MOVER_RECV_COMPLETION:
        velk_LogFmt(VELK_MSG_ERROR, MSG, "*** %s: mvrprot_recv_compmsg: %d\n", label, rc);
        break;
    }
    return rc;
}

void writerSetSocket(void *arg, int *field, int fd)
{
    setSocket(static_cast<WriterConn *>(arg)->ctl, field, fd);
}

void writerCloseSocket(void *arg, int *field)
{
    closeOwnSocket(static_cast<WriterConn *>(arg)->ctl, field);
}

int writerTicket(void *arg, uint64_t *expected)
{
    RequestState *rq = &writerOf(static_cast<WriterConn *>(arg)->ctl)->request;
    kyl_lock_guard g(rq->grantLock);
    *expected = rq->ticket;
    return rq->ticketRc;
}

const quor_moverops_t kWriterOps = {
    false,      true,           writerStopped, writerReceived,  writerGrant,       writerAcceptData,
    writerMove, writerComplete, writerFailed,  writerSetSocket, writerCloseSocket, writerTicket,
};

} // namespace

int velk_FindBufferData(connection_info_t *conInfo, const initiator_msg_t *initMessage, io_buffer_t **theBuffer)
{
    velk_xfer_ctl_t *ctl = conInfo->ctl;
    io_bufreq_t *req = &conInfo->ioRequest;
    RequestState *rq = &writerOf(ctl)->request;
    uint64_t srcAddr;
    {
        kyl_lock_guard g(rq->grantLock);
        srcAddr = rq->srcAddr;
    }
    const uint64_t address = initMessage->Offset + srcAddr;
    for (;;) {
        if (stopping(ctl, nullptr)) {
            ctl->ring.bufQueueLock.lock();
            unlinkRequest(ctl, req);
            ctl->ring.bufQueueLock.unlock();
            return -1;
        }
        ctl->ring.bufQueueLock.lock();
        unlinkRequest(ctl, req);
        for (io_buffer_t *b = ctl->ring.bufReadyQueue; b != nullptr && b->fileOffset <= address; b = b->next) {
            if (address < b->fileOffset + b->dataLength) {
                b->bufLock.lock();
                b->iodOffset = b->fileOffset - srcAddr; // may wrap for a buffer begun in an earlier request
                b->ioCount++;
                b->bufLock.unlock();
                ctl->ring.bufQueueLock.unlock();
                if (velk_debug_level >= 3)
                    velk_ErrPrintf("/debug/buffer@%p: converted file address %" PRIu64 " to IOD offset %" PRIu64 "\n",
                                   static_cast<void *>(b), address, initMessage->Offset);
                *theBuffer = b;
                return 0;
            }
        }
        // Not filled yet: wait on the connection's request entry, queued
        // in address order, until the pool readies a buffer holding it.
        io_bufreq_t **link = &ctl->ring.requestQueue;
        while (*link != nullptr && (*link)->dataAddress < address)
            link = &(*link)->next;
        if (*link != nullptr && (*link)->dataAddress == address) {
            ctl->ring.bufQueueLock.unlock();
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Internal error in velk_FindBufferData at line %d\n", __LINE__);
            velk_LogFmt(VELK_MSG_ERROR, MSG, "fileAddress=%d,%d\n", static_cast<int>(address >> 32),
                        static_cast<int>(address & 0xffffffffu));
            writerAbort(ctl, __func__, __LINE__);
            return -1;
        }
        req->waitingThread = pthread_self();
        req->iodOffset = initMessage->Offset;
        req->dataAddress = address;
        req->requestLength = initMessage->Length;
        req->next = *link;
        *link = req;
        req->reqLock.lock();
        ctl->ring.bufQueueLock.unlock();
        struct timespec until = velk_DeadlineIn(kSliceMs);
        req->reqCond.timedwait(req->reqLock, &until);
        req->reqLock.unlock();
    }
}

int velk_UpdateBufXferred(velk_xfer_ctl_t *ctl, const completion_msg_t *completionMsg, io_buffer_t *theBuffer)
{
    if (completionMsg->BytesMoved > 0xffffffffull) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Malformed completion_msg_t detected in velk_UpdateBufXferred\n");
        writerAbort(ctl, __func__, __LINE__);
        return -1;
    }
    theBuffer->bufLock.lock();
    theBuffer->ioCount--;
    theBuffer->dataMoved += static_cast<uint32_t>(completionMsg->BytesMoved);
    const int ioCount = theBuffer->ioCount;
    const bool overflow = theBuffer->dataMoved > theBuffer->dataLength;
    const bool empty = ioCount == 0 && theBuffer->dataMoved == theBuffer->dataLength;
    theBuffer->bufLock.unlock();
    if (ioCount < 0 || overflow) {
        velk_LogFmt(VELK_MSG_ERROR, MSG,
                    ioCount < 0 ? "Internal error (negative I/O count) detected in velk_UpdateBufXferred\n"
                                : "Internal error (buffer overflow) detected in velk_UpdateBufXferred\n");
        writerAbort(ctl, __func__, __LINE__);
        return -1;
    }
    if (!empty)
        return 0;
    if (velk_debug_level >= 3)
        velk_ErrPrintf("/debug/buffer @%p is empty - linking it back onto empty queue\n",
                       static_cast<void *>(theBuffer));
    ctl->ring.bufQueueLock.lock();
    io_buffer_t **link = &ctl->ring.bufReadyQueue;
    while (*link != nullptr && *link != theBuffer)
        link = &(*link)->next;
    if (*link == nullptr) {
        ctl->ring.bufQueueLock.unlock();
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Internal error (cannot find buffer) detected in velk_UpdateBufXferred\n");
        writerAbort(ctl, __func__, __LINE__);
        return -1;
    }
    *link = theBuffer->next;
    theBuffer->bufLock.lock();
    theBuffer->dataMoved = 0;
    theBuffer->dataLength = 0;
    theBuffer->bufBlocksAllocated = theBuffer->bufBlocksFilled = 0;
    theBuffer->bufFlags &= ~(IOB_FLAG_NEW_OFFSET | IOB_FLAG_LAST_DATA);
    theBuffer->bufLock.unlock();
    velk_ReturnEmptyBuffer(&ctl->ring, theBuffer);
    ctl->ring.bufQueueCondition.broadcast();
    ctl->ring.bufQueueLock.unlock();
    velk_LfwSignalCondition(ctl->pool);
    return 0;
}

void *velk_TransferThread(void *theConnection)
{
    auto *con = static_cast<connection_info_t *>(theConnection);
    velk_xfer_ctl_t *ctl = con->ctl;
    WriterConn w{ctl, con, ""};
    snprintf(w.label, sizeof w.label, "velk_TransferThread[%d]", con->conInx);
    quor_moverconn_t mc{
        &kWriterOps,       &w, velk_MoverWaitSeconds(), &con->controlSocket, &con->listenSocket, &con->transferSocket,
        &con->localNetAddr};
    const int rc = quor_MoverServeConnection(&mc);
    if (rc == -EPROTO)
        threadFailed(ctl, rc, __func__, __LINE__);
    else if (rc != 0 && rc != -ECANCELED)
        noteThreadError(ctl, rc);
    closeOwnSocket(ctl, &con->transferSocket);
    closeOwnSocket(ctl, &con->listenSocket);
    closeOwnSocket(ctl, &con->controlSocket);
    kyl_lock_guard g(ctl->controlLock);
    con->isactive = 0;
    return nullptr;
}

namespace {

// Gives an accepted mover control connection a free entry and a transfer
// thread.  Returns 0, or -1 (the socket is closed, the transfer aborted).
int startTransferThread(velk_xfer_ctl_t *ctl, int s, const quor_sockaddr_t &peer)
{
    connection_info_t *entry = nullptr;
    {
        kyl_lock_guard g(ctl->controlLock);
        for (int i = 0; i < ctl->movers.connectListSize && entry == nullptr; i++) {
            if (!ctl->movers.connectionList[i].isactive) {
                entry = &ctl->movers.connectionList[i];
                entry->isactive = 1;
            }
        }
    }
    if (entry == nullptr) {
        // Every entry serves a mover that keeps its connection for the
        // whole request; waiting for one to end could wait for ever.
        velk_LogFmt(VELK_MSG_ERROR, MSG, "more than %d mover connections at once - transfer aborted\n",
                    ctl->movers.connectListSize);
        close(s);
        writerAbort(ctl, __func__, __LINE__);
        return -1;
    }
    std::vector<char> &joinPending = writerOf(ctl)->joinPending;
    if (joinPending[entry->conInx]) {
        pthread_join(entry->threadId, nullptr);
        joinPending[entry->conInx] = 0;
    }
    int flags = fcntl(s, F_GETFL);
    if (flags >= 0)
        (void)fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
    {
        kyl_lock_guard g(ctl->controlLock);
        entry->controlSocket = s;
        entry->listenSocket = -1;
        entry->transferSocket = -1;
    }
    entry->remoteAddr = peer;
    int e = kylgw_ThreadCreate(&entry->threadId, nullptr, velk_TransferThread, entry);
    if (e != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error(s) starting transfer thread: %d\n", e);
        closeOwnSocket(ctl, &entry->controlSocket);
        {
            kyl_lock_guard g(ctl->controlLock);
            entry->isactive = 0;
        }
        writerAbort(ctl, __func__, __LINE__);
        return -1;
    }
    joinPending[entry->conInx] = 1;
    return 0;
}

} // namespace

void *velk_WriterListenThread(void *arg)
{
    auto *ctl = static_cast<velk_xfer_ctl_t *>(arg);
    uint64_t shown = 0;
    bool first = true;
    while (!velk_XferShouldStop(ctl)) {
        struct pollfd p = {ctl->movers.listenSockFD, POLLIN, 0};
        int n = poll(&p, 1, kSliceMs);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (velk_debug_level >= 1)
                velk_ErrPrintf("/debug/error %d on poll() - exiting accept loop\n", errno);
            break;
        }
        if (n > 0 && velk_XferShouldStop(ctl))
            break; // woken by the shutdown of the listening socket
        if (n == 0) {
            uint64_t done;
            uint64_t total;
            {
                kyl_lock_guard g(ctl->controlLock);
                done = ctl->totalBytesMoved + ctl->movers.currentSrcOffset;
                total = ctl->srcOffset + ctl->transferLength;
            }
            if (done != shown) {
                velk_DisplayXferProgress(done, total);
                shown = done;
            }
            continue;
        }
        quor_sockaddr_t peer;
        memset(&peer, 0, sizeof peer);
        char text[128] = "";
        int s = -1;
        int rc = quor_MoverAcceptPeer(ctl->movers.listenSockFD, gatewayOf(ctl), &peer, &s, text, sizeof text);
        if (rc == -EINTR || rc == -ECONNABORTED)
            continue;
        if (rc == -EAGAIN) {
            velk_SleepMs(20);
            continue;
        }
        if (rc < 0) {
            if (rc != -EBADF && rc != -EPIPE) {
                velk_LogFmt(VELK_MSG_ERROR, MSG, "*** %s: quor_net_accept: errno=%d [%s]\n", __func__, -rc, text);
                writerAbort(ctl, __func__, __LINE__);
            }
            break;
        }
        if (rc > 0) {
            if (velk_debug_level >= 1)
                velk_ErrPrintf("/debug/mover connection from %s disallowed - closing connection\n", "peer");
            continue;
        }
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/mover connection accepted\n");
        if (first) {
            kyl_lock_guard g(ctl->controlLock);
            ctl->startTime = velk_GetTimestamp();
            first = false;
        }
        if (startTransferThread(ctl, s, peer) != 0)
            break;
    }
    velk_ReqQueueSignalAll(ctl->movers.connectionList, ctl->movers.connectListSize);
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/velk_WriterListenThread exiting\n");
    return nullptr;
}

namespace {

// Results of a list-write after which the stream restarts where it broke.
constexpr int kEndOfMedia = -9000;
bool recoverableResult(int rc)
{
    return rc == -EIO || rc == kEndOfMedia || rc == -ENOSPC;
}
// I/O errors in a row at one archive offset that are retried.
constexpr int kMaxEioRetries = 5;

void setupFailed(velk_xfer_ctl_t *ctl, const char *text, int code)
{
    if (*text != '\0')
        velk_LogMsg(VELK_MSG_ERROR, MSG, text);
    velk_SetExitCode(code);
    if (ctl->ctlMutexCreated) {
        kyl_lock_guard g(ctl->controlLock);
        ctl->abortSignalled++;
    }
}

// Sets up the control, pool, buffers, socket and threads.  0 or -1.
int setUp(WriterRun *run)
{
    velk_xfer_ctl_t *ctl = run->ctl;
    ctl->archive_fd = velk_archive_fd;
    ctl->movers.listenSockFD = -1;
    ctl->movers.connectListSize = std::max(VELK_MAX_CONNECTIONS, velk_archive_stripewidth);
    ctl->movers.connectionList = static_cast<connection_info_t *>(
        VELK_CALLOC(static_cast<size_t>(ctl->movers.connectListSize), sizeof(connection_info_t)));
    if (ctl->movers.connectionList == nullptr)
        return -1;
    run->joinPending.assign(static_cast<size_t>(ctl->movers.connectListSize), 0);
    for (int i = 0; i < ctl->movers.connectListSize; i++) {
        connection_info_t *c = &ctl->movers.connectionList[i];
        c->conInx = i;
        c->ctl = ctl;
        c->controlSocket = c->listenSocket = c->transferSocket = -1;
        if (velk_InitConReqEntry(&c->ioRequest) != 0) {
            velk_LogMsg(VELK_MSG_ERROR, MSG, "Error(s) initializing connection locks\n");
            velk_SetExitCode(VELK_EXIT_NOMEM);
            return -1;
        }
    }
    if (velk_InitXferLocks(ctl) != 0) {
        setupFailed(ctl, "Error(s) initializing transfer locks\n", VELK_EXIT_OSERR);
        return -1;
    }
    {
        kyl_lock_guard g(ctl->controlLock);
        ctl->transfer_active = 1;
    }
    if (velk_InitThreadPool(&run->pool, ctl) != 0) {
        run->poolStarted = true;
        setupFailed(ctl, "Error(s) initializing thread pool\n", VELK_EXIT_OSERR);
        return -1;
    }
    run->poolStarted = true;
    int rc = quor_MoverListen(&ctl->movers.listenSockFD, &ctl->movers.listenSockAddr);
    if (rc != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error(s) creating listen socket (%s)\n", strerror(-rc));
        setupFailed(ctl, "", VELK_EXIT_OSERR);
        return -1;
    }
    if (velk_AllocateIoBuffers(&ctl->ring, &ctl->settings) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error(s) creating I/O buffers (%s)\n", strerror(ENOMEM));
        setupFailed(ctl, "", VELK_EXIT_NOMEM);
        return -1;
    }
    if (velk_IndexFileRewind(ctl->index, ctl->index->tmpFd, VELK_LOCAL_FILE) != 0) {
        setupFailed(ctl, "", VELK_EXIT_IOERR);
        return -1;
    }
    ctl->startTime = velk_GetTimestamp();
    if ((rc = pthread_create(&run->manager, nullptr, velk_LocalFileMgrThread, ctl)) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error(s) starting local file thread: %d\n", rc);
        setupFailed(ctl, "", VELK_EXIT_OSERR);
        return -1;
    }
    run->managerStarted = true;
    if ((rc = pthread_create(&run->listener, nullptr, velk_WriterListenThread, ctl)) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "Error(s) starting listen thread: %d", rc);
        setupFailed(ctl, "", VELK_EXIT_OSERR);
        return -1;
    }
    run->listenStarted = true;
    return 0;
}

// Fills the list-write request of length bytes at the current addresses.
void buildIod(velk_xfer_ctl_t *ctl, uint64_t xferId, iod_srcsinkdesc_t *src, iod_srcsinkdesc_t *sink, quor_IOD_t *iod)
{
    memset(src, 0, sizeof *src);
    memset(sink, 0, sizeof *sink);
    memset(iod, 0, sizeof *iod);
    src->Flags = IOD_DESC_MOVER_PROTOCOL | IOD_DESC_CLIENT_NET;
    src->Length = ctl->movers.requestedBytes;
    src->SrcSinkAddr.Type = IOD_ADDR_NET;
    src->SrcSinkAddr.Addr.NetAddr.SockTransferID = xferId;
    src->SrcSinkAddr.Addr.NetAddr.SockAddr = ctl->movers.listenSockAddr;
    sink->Length = ctl->movers.requestedBytes;
    sink->SrcSinkAddr.Type = IOD_ADDR_CLIENTFILE;
    sink->SrcSinkAddr.Addr.ClientFileAddr.FileDes = ctl->archive_fd;
    sink->SrcSinkAddr.Addr.ClientFileAddr.FileOffset = ctl->movers.currentFileAddr;
    iod->RequestID = ctl->movers.requestId;
    iod->Function = IOD_FUNC_WRITE;
    iod->Flags = IOD_FLAG_LIST_WRITE;
    iod->SrcDescLength = 1;
    iod->SinkDescLength = 1;
    iod->SrcDescList = src;
    iod->SinkDescList = sink;
}

// Ends the transfer after a request that cannot be retried.  Returns -1.
int requestFatal(velk_xfer_ctl_t *ctl, int rc, uint64_t offset)
{
    char t1[32];
    velk_LogFmt(VELK_MSG_ERROR, MSG, "quor_WriteList error %d, file offset %s - aborting\n", rc,
                velk_U64Text(offset, t1, sizeof t1));
    velk_SetExitCode(VELK_EXIT_IOERR);
    {
        kyl_lock_guard g(ctl->controlLock);
        ctl->transfer_active = 0;
        ctl->abortSignalled++;
    }
    wakeAll(ctl);
    velk_CleanupTransferThreads(ctl);
    return -1;
}

// After a request failed with an I/O error, end of media or no space:
// counts the bytes it moved and restarts the stream at the last whole
// block they reached.  An I/O error more than five times in a row at one
// offset, a wait for space that gives up or a failed restart end the
// transfer.  Returns 0 to go on, or -1.
int recoverRequest(WriterRun *run, int rc)
{
    velk_xfer_ctl_t *ctl = run->ctl;
    char t1[32];
    const uint64_t failAt = ctl->movers.currentFileAddr + ctl->movers.bytesMoved;
    {
        kyl_lock_guard g(ctl->controlLock);
        ctl->totalBytesMoved += ctl->movers.bytesMoved;
        ctl->movers.currentSrcOffset = 0;
    }
    if (rc == -EIO) {
        velk_LogXferError(rc, ctl);
        if (run->failedBefore && failAt == run->lastFailAt) {
            if (++run->eioRetries > kMaxEioRetries)
                return requestFatal(ctl, rc, failAt);
        } else {
            velk_LogFmt(VELK_MSG_INFO, MSG, "I/O error occurred after %s bytes successfully transferred\n",
                        velk_U64Text(ctl->totalBytesMoved, t1, sizeof t1));
            run->eioRetries = 1;
        }
    } else if (rc == kEndOfMedia) {
        velk_LogFmt(VELK_MSG_INFO, MSG, "end-of-media detected at archive offset %s\n",
                    velk_U64Text(failAt, t1, sizeof t1));
    } else {
        velk_LogMsg(VELK_MSG_WARNING, MSG, "OUT OF SPACE writing QUOR archive - delaying/retrying\n");
        if (ctl->movers.bytesMoved > 0)
            velk_NoSpaceProgress(&run->noSpace);
        if (velk_NoSpaceWait(&run->noSpace, velk_archive) != 0)
            return requestFatal(ctl, rc, failAt);
    }
    run->failedBefore = true;
    run->lastFailAt = failAt;
    // Also after a request that moved nothing: the buffers that held its
    // bytes may already hold later ones.
    if (velk_ResyncAfterQUORWriteError(ctl) != 0)
        return requestFatal(ctl, rc, failAt);
    if (rc == -EIO)
        velk_LogFmt(VELK_MSG_INFO, MSG, "Retrying after I/O error at archive file offset %s\n",
                    velk_U64Text(failAt, t1, sizeof t1));
    return 0;
}

// One list-write request from the current position.  Returns 0 when every
// byte of it moved or, after an I/O error, end of media or no space, the
// stream was restarted where the request broke; else -1 after the message
// (the transfer aborted).
int oneRequest(WriterRun *run, uint64_t maxRequest)
{
    velk_xfer_ctl_t *ctl = run->ctl;
    const uint64_t end = ctl->srcOffset + ctl->transferLength;
    ctl->movers.requestId = quor_GetUniqueRequestID();
    const uint64_t xferId = quor_RequestIDtoU64(&ctl->movers.requestId);
    ctl->movers.currentSrcAddr = ctl->srcOffset + ctl->totalBytesMoved;
    ctl->movers.currentFileAddr = ctl->sinkOffset + ctl->totalBytesMoved;
    ctl->movers.requestedBytes = std::min(end - ctl->movers.currentSrcAddr, maxRequest);
    {
        kyl_lock_guard g(ctl->controlLock);
        ctl->movers.currentSrcOffset = 0;
    }
    ctl->movers.currentSinkOffset = 0;
    ctl->movers.bytesMoved = 0;
    uint64_t ticket = 0;
    const int ticketRc = quor_MoverTicket(ctl->archive_fd, xferId, &ticket);
    {
        kyl_lock_guard g(run->request.grantLock);
        run->request.xferId = xferId;
        run->request.ticket = ticket;
        run->request.ticketRc = ticketRc;
        run->request.srcAddr = ctl->movers.currentSrcAddr;
        run->request.length = ctl->movers.requestedBytes;
        run->request.granted.filled.clear();
        run->request.sent = 0;
        run->request.threadError = 0;
    }
    char t1[32];
    char t2[32];
    char t3[32];
    if (velk_debug_level >= 1) {
        velk_ErrPrintf("/debug/issuing quor_WriteList call for %s bytes.\n",
                       velk_U64Text(ctl->movers.requestedBytes, t1, sizeof t1));
        velk_ErrPrintf("       offset: %s   bytes moved so far: %s\n",
                       velk_U64Text(ctl->movers.currentFileAddr, t1, sizeof t1),
                       velk_U64Text(ctl->totalBytesMoved, t2, sizeof t2));
        velk_ErrPrintf("[WRITE IOD] Request ID: %s\n", velk_U64Text(xferId, t1, sizeof t1));
    }
    iod_srcsinkdesc_t src;
    iod_srcsinkdesc_t sink;
    quor_IOD_t iod;
    buildIod(ctl, xferId, &src, &sink, &iod);
    quor_IOR_t ior;
    memset(&ior, 0, sizeof ior);
    int rc = quor_WriteList(&iod, 0, &ior);
    const bool haveSink = ior.SinkReplyLength >= 1 && ior.SinkReplyList != nullptr;
    uint64_t moved = haveSink ? ior.SinkReplyList->BytesMoved : 0;
    free_quor_ior_mem(&ior);
    // A failed request's count stands as the gateway gives it, never taken
    // from the file's size (a striped write leaves the file longer than its
    // contiguous prefix, and the hole would hold zeros): with 0 the request
    // is sent again from its first byte.
    if (rc < 0)
        moved = std::min(moved, ctl->movers.requestedBytes);
    ctl->movers.bytesMoved = moved;
    // A mover given up for its silence is not waited for again, as a read
    // does not: the request fails whatever the gateway made of it.
    bool moverSilent;
    {
        kyl_lock_guard g(run->request.grantLock);
        moverSilent = run->request.threadError == -ETIMEDOUT;
    }
    if (rc < 0 && recoverableResult(rc) && !moverSilent && !velk_XferShouldStop(ctl))
        return recoverRequest(run, rc);

    // The movers of a finished request have closed their connections: wait
    // for their threads.  After a failure they are woken first.
    if (rc < 0 || velk_GetXferAborted(ctl) != 0)
        writerAbort(ctl, __func__, __LINE__);
    velk_CleanupTransferThreads(ctl);
    uint64_t sent;
    int threadError;
    {
        kyl_lock_guard g(run->request.grantLock);
        sent = run->request.sent;
        threadError = run->request.threadError;
    }
    if (rc >= 0 && threadError != 0)
        rc = threadError;
    if (rc >= 0 && (!haveSink || moved != ctl->movers.requestedBytes || sent != moved)) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "quor_WriteList reported %s bytes moved of %s requested, %s sent\n",
                    velk_U64Text(moved, t1, sizeof t1), velk_U64Text(ctl->movers.requestedBytes, t2, sizeof t2),
                    velk_U64Text(sent, t3, sizeof t3));
        rc = -EPROTO;
    }
    if (rc < 0)
        return requestFatal(ctl, rc, ctl->movers.currentFileAddr + moved);
    run->failedBefore = false;
    run->eioRetries = 0;
    velk_NoSpaceProgress(&run->noSpace);
    kyl_lock_guard g(ctl->controlLock);
    ctl->totalBytesMoved += moved;
    ctl->movers.currentSrcOffset = 0;
    return 0;
}

// Stops and joins every thread, closes the listening socket and releases
// the buffers, locks and pool.
void tearDown(WriterRun *run)
{
    velk_xfer_ctl_t *ctl = run->ctl;
    if (ctl->ctlMutexCreated) {
        {
            kyl_lock_guard g(ctl->controlLock);
            ctl->transfer_active = 0;
        }
        wakeAll(ctl);
    }
    // The listen thread is woken at once, not at the end of its wait.
    if (run->listenStarted && ctl->movers.listenSockFD >= 0)
        shutdown(ctl->movers.listenSockFD, SHUT_RDWR);
    if (run->listenStarted)
        pthread_join(run->listener, nullptr);
    if (ctl->movers.listenSockFD >= 0)
        close(ctl->movers.listenSockFD);
    ctl->movers.listenSockFD = -1;
    if (ctl->ctlMutexCreated) {
        {
            kyl_lock_guard g(ctl->controlLock);
            if (ctl->abortSignalled == 0 && velk_shutdown_signalled.load() != 0)
                ctl->abortSignalled++;
        }
        velk_CleanupTransferThreads(ctl);
    }
    for (size_t i = 0; i < run->joinPending.size(); i++)
        if (run->joinPending[i])
            pthread_join(ctl->movers.connectionList[i].threadId, nullptr);
    if (run->managerStarted)
        pthread_join(run->manager, nullptr);
    if (run->poolStarted)
        velk_ShutdownThreadPool(&run->pool);
    if (ctl->ring.bufQueueLockCreated)
        velk_CleanupIoBuffers(&ctl->ring);
    if (ctl->movers.connectionList != nullptr)
        for (int i = 0; i < ctl->movers.connectListSize; i++)
            velk_FreeConReqEntry(&ctl->movers.connectionList[i].ioRequest);
}

} // namespace

int velk_CopyToQUORArchive(const velk_xfer_settings_t *xs, const velk_archive_t *archive, velk_index_t *index,
                           double *xferTime, int *threadsUsed, int *recoveries)
{
    VELK_TRACE_ENTRY();
    *xferTime = 0;
    *threadsUsed = 0;
    *recoveries = 0;
    auto *run = new (std::nothrow) WriterRun;
    auto *ctl = static_cast<velk_xfer_ctl_t *>(VELK_CALLOC(1, sizeof(velk_xfer_ctl_t)));
    if (run == nullptr || ctl == nullptr) {
        delete run;
        VELK_FREE(ctl);
        velk_SetExitCode(VELK_EXIT_NOMEM);
        return -1;
    }
    if (run->request.grantLock.init() != 0) {
        delete run;
        VELK_FREE(ctl);
        velk_SetExitCode(VELK_EXIT_OSERR);
        return -1;
    }
    run->ctl = ctl;
    ctl->owner = run;
    ctl->index = index;
    ctl->transferLength = archive->size;
    ctl->settings = *xs;
    run->haveGateway = quorex_GetGatewayAddress(&run->gateway) == 0;

    int rc = setUp(run);
    uint64_t maxRequest = kMaxRequestBytes;
    if (xs->maxMbytesPerIod > 0)
        maxRequest = std::min<uint64_t>(maxRequest, static_cast<uint64_t>(xs->maxMbytesPerIod) << 20);
    const uint64_t end = ctl->srcOffset + ctl->transferLength;
    while (rc == 0 && ctl->totalBytesMoved < end) {
        // An abort fails the write below all the same.
        if (velk_XferShouldStop(ctl)) {
            rc = -1;
            break;
        }
        velk_DisplayXferProgress(ctl->totalBytesMoved, end);
        rc = oneRequest(run, maxRequest);
    }
    ctl->stopTime = velk_GetTimestamp();
    tearDown(run);
    *recoveries = ctl->recoveries;
    int aborted = ctl->ctlMutexCreated ? velk_GetXferAborted(ctl) : 1;
    if (rc == 0 && aborted == 0 && ctl->totalBytesMoved == end) {
        velk_DisplayXferProgress(end, end);
        double start;
        {
            kyl_lock_guard g(ctl->controlLock);
            start = ctl->startTime;
        }
        *xferTime = ctl->stopTime - start;
        *threadsUsed = velk_LfwThreadHighWater(&run->pool) + 1;
    } else {
        rc = -1;
        velk_SetExitCode(VELK_EXIT_IOERR);
    }
    velk_FreeXferLocks(ctl);
    run->request.grantLock.destroy();
    VELK_FREE(ctl->movers.connectionList);
    VELK_FREE(ctl);
    delete run;
    return rc;
}
