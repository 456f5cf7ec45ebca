// The storage-system archive reader.  The calling thread issues one
// list-read request after another; a listen thread accepts the movers'
// control connections, each served by a transfer thread of its own that
// runs the client library's mover exchange (nxapi_mover.h) with this
// unit's hooks: a mover's initiator is granted the piece of the window's
// buffer covering the address asked for, the block arrives on its one data
// connection straight into that buffer and is accounted for; one
// local-file write thread hands complete buffers to the callback in
// archive order and re-arms them at the next stretch of the range.
//
// Queues (under bufQueueLock, announced on bufQueueCondition): the ready
// queue holds the armed buffers waiting for data, the delivery queue
// (bufEmptyQueue) the buffers to hand to the callback; both sorted by
// fileOffset.  The window is [lowest armed offset, armOffset): an address
// below armOffset that no armed buffer covers was delivered already.  A
// buffer's ioCount and dataLength change under its bufLock.  Any failure
// aborts the whole read: the abort count is raised, every waiter woken and
// every mover socket shut down (each socket is closed only by the thread
// that owns it).

#include "velk_QuorArchiveReader.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <new>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <string>
#include <utility>
#include <vector>

#include "kylgw_errors.h"
#include "kylgw_mvrio.h"
#include "nxapi_mover.h"
#include "velk_GatewayRename.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_MoverDisplay.h"
#include "velk_TarHeader.h"
#include "velk_XferRecovery.h"

namespace {

constexpr uint64_t kMaxRequestBytes = 2147483648ull;
constexpr int kListenSliceMs = 250;
// The longest wait between looks at a transfer thread that is still
// ending.
constexpr long kThreadPollMs = 20;
// A piece that failed because its connection broke: the request's result
// decides what happens to the read.
constexpr int kConnectionLost = -2;
// I/O errors in a row at one archive offset that are retried.
constexpr int kMaxEioRetries = 5;

// One read, shared by all its threads.
struct quor_reader_t {
    velk_xfer_ctl_t *ctl = nullptr;
    velk_bufCallback_t callback = nullptr;
    void *callbackArg = nullptr;
    uint64_t rangeEnd = 0;
    int timeout = 60;
    quor_sockaddr_t gateway{}; // the gateway's address, an admitted mover peer
    bool haveGateway = false;
    uint64_t rangeStart = 0;            // for progress
    std::atomic<uint64_t> xferId{0};    // of the current request, set before its movers connect
    std::atomic<uint64_t> ticket{0};    // its movers' SecurityTicket, set with xferId
    std::atomic<int> ticketRc{-ENOKEY}; // 0 when ticket is set

    // Under ctl->ring.bufQueueLock.
    uint64_t expected = 0;  // next archive offset the callback gets
    uint64_t armOffset = 0; // where the next re-armed buffer starts
    uint64_t reqBase = 0;   // archive offset of the current request's byte 0
    uint64_t reqEnd = 0;
    bool requestOpen = false; // movers of the current request may ask for data
    bool recovering = false;  // a failed request is being undone: broken connections are expected
    bool transferDone = false;
    bool localActive = false;
    std::vector<mover_ranges_t> grants; // per bufID: archive ranges given to movers

    // A positioned reader's: a request that fails because the gateway
    // session is gone ends the read quietly (sessionLost), for the caller
    // to reopen the archive in a new session and read again.
    bool recoverLost = false;
    bool sessionLost = false;

    std::atomic<uint64_t> requestReceived{0}; // bytes whose completion arrived
    std::atomic<bool> listenStop{false};
    std::atomic<bool> connected{false};
    std::atomic<double> firstConnection{0.0};
    int listenFd = -1;
    std::vector<bool> joinable; // per connection entry; listen thread, then caller

    kyl_mutex_t sockLock;
    std::vector<int> sockets KYL_GUARDED_BY(sockLock); // open mover sockets
};

// Whether the read must stop: it was aborted (or, the same for a read,
// ended: an abort also marks it no longer active).  A signalled shutdown is
// turned into an abort by the listen thread first, so that every thread of
// the read fails the way an abort makes it fail.
bool isAborted(quor_reader_t *r)
{
    const int why = velk_XferStopReason(r->ctl);
    return why == VELK_XFER_ABORTED || why == VELK_XFER_ENDED;
}

// The peer's address as text, for messages.
std::string peerText(const quor_sockaddr_t &peer)
{
    char text[INET6_ADDRSTRLEN] = "?";
    const auto *sa = reinterpret_cast<const sockaddr *>(&peer.hs_addr);
    if (sa->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, text, sizeof text);
    else if (sa->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr, text, sizeof text);
    return text;
}

// Wakes every waiter of the read and shuts down every mover socket, so
// that each of its threads sees the read ended.
void wakeAndShutDown(quor_reader_t *r)
{
    r->ctl->ring.bufQueueLock.lock();
    r->ctl->ring.bufQueueCondition.broadcast();
    r->ctl->ring.bufQueueLock.unlock();
    kyl_lock_guard g(r->sockLock);
    for (int s : r->sockets)
        shutdown(s, SHUT_RDWR);
}

// Aborts the read: raises the abort count (the first abort logs its
// caller), wakes every waiter and shuts down every mover socket.
void abortRead(quor_reader_t *r, const char *function, int line)
{
    r->ctl->controlLock.lock();
    bool first = r->ctl->abortSignalled == 0;
    r->ctl->abortSignalled++;
    r->ctl->transfer_active = 0;
    r->ctl->controlLock.unlock();
    if (first) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "velk_SetXferAborted called [function %s,line %d,file %s]",
                    function, line, __FILE__);
        velk_SetExitCode(VELK_EXIT_IOERR);
    }
    wakeAndShutDown(r);
}

#define ABORT_READ(r) abortRead((r), __func__, __LINE__)

// Ends the read after its gateway session was lost, when the caller
// recovers from that (no message, no exit status): stops every thread of
// the read as an abort does.
void abandonRead(quor_reader_t *r)
{
    r->sessionLost = true;
    r->ctl->controlLock.lock();
    r->ctl->abortSignalled++;
    r->ctl->transfer_active = 0;
    r->ctl->controlLock.unlock();
    wakeAndShutDown(r);
}

// Whether request result rc means the gateway session is gone: the
// connection broke, or a new session no longer knows the descriptor.
bool sessionGone(const quor_reader_t *r, int rc)
{
    return r->recoverLost && (velk_ConnectionLost(rc) || rc == -EBADF);
}

void track(quor_reader_t *r, int fd)
{
    kyl_lock_guard g(r->sockLock);
    r->sockets.push_back(fd);
    if (isAborted(r))
        shutdown(fd, SHUT_RDWR);
}

void untrackClose(quor_reader_t *r, int *fd)
{
    if (*fd < 0)
        return;
    kyl_lock_guard g(r->sockLock);
    r->sockets.erase(std::remove(r->sockets.begin(), r->sockets.end(), *fd), r->sockets.end());
    close(*fd);
    *fd = -1;
}

void readerError(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void readerError(const char *fmt, ...)
{
    char text[VELK_MSG_BUFSIZE];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, text);
}

// Inserts b into the queue at *head before the first buffer with an equal
// or larger fileOffset.
void insertSorted(io_buffer_t **head, io_buffer_t *b)
{
    while (*head != nullptr && (*head)->fileOffset < b->fileOffset)
        head = &(*head)->next;
    b->next = *head;
    *head = b;
}

bool unlink(io_buffer_t **head, io_buffer_t *b)
{
    for (; *head != nullptr; head = &(*head)->next) {
        if (*head == b) {
            *head = b->next;
            b->next = nullptr;
            return true;
        }
    }
    return false;
}

int queueLength(const io_buffer_t *b)
{
    int n = 0;
    for (; b != nullptr; b = b->next)
        n++;
    return n;
}

// Whether the given ranges cover exactly [from, from + length).
bool coversPrefix(const mover_ranges_t &ranges, uint64_t from, uint64_t length)
{
    // Touching ranges are joined: the cover is one range or none.
    if (ranges.filled.empty())
        return length == 0;
    return ranges.filled.size() == 1 && ranges.filled[0].first == from && ranges.filled[0].second == from + length;
}

// Finds the armed buffer holding the archive address of the mover's
// initiator (reqBase + Offset), waiting while it lies beyond the window.
// Grants the mover the bytes from there to the end of the buffer or of the
// request, whichever comes first, at most what it asked for; *pos is their
// place in the buffer.  Refuses (-1, after the message) an address outside
// the request, one that was delivered or given out already, and any request
// once the read is aborted or the request ended.
int find_BufferForData(quor_reader_t *r, const initiator_msg_t *im, io_buffer_t **theBuffer, uint64_t *pos,
                       uint64_t *len)
{
    velk_xfer_ctl_t *ctl = r->ctl;
    kyl_lock_guard g(ctl->ring.bufQueueLock);
    for (;;) {
        if (isAborted(r) || r->recovering)
            return -1;
        if (!r->requestOpen) {
            readerError("find_BufferForData: mover asked for data after its request ended\n");
            return -1;
        }
        if (im->Length == 0 || im->Offset >= r->reqEnd - r->reqBase) {
            readerError("find_BufferForData: mover asked for %lu bytes at request offset %lu, outside the request\n",
                        static_cast<unsigned long>(im->Length), static_cast<unsigned long>(im->Offset));
            return -1;
        }
        const uint64_t addr = r->reqBase + im->Offset;
        io_buffer_t *b = ctl->ring.bufReadyQueue;
        while (b != nullptr && !(b->fileOffset <= addr && addr < b->fileOffset + static_cast<uint64_t>(b->bufSize)))
            b = b->next;
        if (b != nullptr) {
            const uint64_t end = std::min({addr + im->Length, b->fileOffset + b->bufSize, r->reqEnd});
            mover_ranges_t &given = r->grants[static_cast<size_t>(b->bufID)];
            if (mover_ranges_overlap(&given, addr, end)) {
                readerError("find_BufferForData: mover asked again for data at file address %lu\n",
                            static_cast<unsigned long>(addr));
                return -1;
            }
            mover_ranges_add(&given, addr, end);
            b->bufLock.lock();
            b->ioCount++;
            b->iodOffset = b->fileOffset - r->reqBase;
            b->bufLock.unlock();
            if (velk_debug_level >= 3)
                velk_ErrPrintf("/debug/buffer@%p: converted file address %lu to IOD offset %lu\n",
                               static_cast<void *>(b), static_cast<unsigned long>(addr),
                               static_cast<unsigned long>(im->Offset));
            *theBuffer = b;
            *pos = addr - b->fileOffset;
            *len = end - addr;
            return 0;
        }
        if (addr < r->armOffset) {
            readerError("find_BufferForData: detected request for earlier buffer data\n");
            return -1;
        }
        ctl->ring.bufQueueCondition.wait(ctl->ring.bufQueueLock);
    }
}

// Accounts bytesMoved received bytes of theBuffer; a buffer that is
// complete (full, or holding the end of the range) with no piece in flight
// moves to the delivery queue.  0, or -1 after the message.
int update_BufXferred(quor_reader_t *r, uint64_t bytesMoved, io_buffer_t *theBuffer)
{
    io_buffer_t *b = theBuffer;
    b->bufLock.lock();
    if (velk_debug_level >= 3)
        velk_ErrPrintf("update_BufXferred: buffer @%p bytesMoved=%d\n", static_cast<void *>(b),
                       static_cast<int>(bytesMoved));
    b->ioCount--;
    const int inFlight = b->ioCount;
    const uint64_t have = b->dataLength + bytesMoved;
    if (have <= static_cast<uint64_t>(b->bufSize))
        b->dataLength = static_cast<uint32_t>(have);
    const uint64_t want = std::min<uint64_t>(static_cast<uint64_t>(b->bufSize), r->rangeEnd - b->fileOffset);
    b->bufLock.unlock();
    if (inFlight < 0) {
        readerError("Internal error (negative I/O count) detected in update_BufXferred\n");
        return -1;
    }
    if (have > want) {
        readerError("Internal error (buffer overflow) detected in update_BufXferred\n");
        return -1;
    }
    if (inFlight > 0 || have < want)
        return 0;
    kyl_lock_guard g(r->ctl->ring.bufQueueLock);
    if (!unlink(&r->ctl->ring.bufReadyQueue, b)) {
        readerError("Internal error (cant find buffer) detected in update_BufXferred\n");
        return -1;
    }
    if (b->fileOffset + have == r->rangeEnd) {
        b->bufFlags |= IOB_FLAG_LAST_DATA;
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/update_BufXferred setting EOF in buffer. Cur offset=%lus\n",
                           static_cast<unsigned long>(b->fileOffset));
    }
    insertSorted(&r->ctl->ring.bufEmptyQueue, b);
    r->ctl->ring.bufQueueCondition.broadcast();
    return 0;
}

// Stops a wait of the read: -1 once the read was aborted.
int readAborted(void *r)
{
    return isAborted(static_cast<quor_reader_t *>(r)) ? -1 : 0;
}

// Accepts the one data connection of a control connection on listenSock.
// Returns the socket, or -1 after the message.
int acceptData(quor_reader_t *r, int listenSock)
{
    for (;;) {
        if (quor_MoverWaitReadable(listenSock, kListenSliceMs, r->timeout, readAborted, r) <= 0) {
            readerError("*** %s: no data connection from the mover\n", "velk_TransferThread");
            return -1;
        }
        quor_sockaddr_t peer{};
        char text[256] = "";
        int s = -1;
        int rc = quor_MoverAcceptPeer(listenSock, r->haveGateway ? &r->gateway : nullptr, &peer, &s, text, sizeof text);
        if (rc == -EINTR || rc == -EAGAIN || rc == -ECONNABORTED)
            continue;
        if (rc < 0) {
            velk_ErrPrintf("*** %s: quor_net_accept error %d listen sock=%d [%s]\n", "velk_TransferThread", -rc,
                           listenSock, text);
            return -1;
        }
        if (rc > 0) {
            if (velk_debug_level >= 1)
                velk_ErrPrintf("/debug/mover connection from %s disallowed - closing connection\n",
                               peerText(peer).c_str());
            continue;
        }
        return s;
    }
}

// Whether the messages of a broken connection are to be shown.
bool connectionErrorsShown(quor_reader_t *r)
{
    if (isAborted(r))
        return false;
    kyl_lock_guard g(r->ctl->ring.bufQueueLock);
    return !r->recovering;
}

// One mover control connection: the hooks' argument.
struct thread_arg_t {
    quor_reader_t *r;
    connection_info_t *c;
};

// The hooks of the mover exchange.  A piece ends with 0, -1 after the
// message when the mover broke the protocol (the read is aborted), or
// kConnectionLost (the connection ends; the request's result tells).

int readerStopped(void *arg)
{
    return isAborted(static_cast<thread_arg_t *>(arg)->r) ? kConnectionLost : 0;
}

void readerReceived(void *arg, int rc, const initiator_msg_t *im)
{
    const connection_info_t *c = static_cast<thread_arg_t *>(arg)->c;
    if (velk_debug_level >= 3) {
        velk_ErrPrintf("XferInx: %d Connection ID: %d mvrprot_recv_initmsg returned %d\n", 0, c->conInx, rc);
        if (rc == 0)
            velk_DisplayInitiatorMessage(0, c->conInx, im);
    }
}

int readerGrant(void *arg, const initiator_msg_t *im, quor_moverpiece_t *piece)
{
    quor_reader_t *r = static_cast<thread_arg_t *>(arg)->r;
    io_buffer_t *b = nullptr;
    uint64_t pos = 0, len = 0;
    if (find_BufferForData(r, im, &b, &pos, &len) != 0) {
        if (!connectionErrorsShown(r))
            return kConnectionLost;
        readerError("%s: find I/O buffer result=%d\n", "velk_TransferThread", -1);
        return -1;
    }
    piece->xferId = r->xferId.load();
    piece->bytes = b->buffer + pos;
    piece->length = len;
    piece->buffer = b;
    return 0;
}

int readerAcceptData(void *arg, int listenFd)
{
    return acceptData(static_cast<thread_arg_t *>(arg)->r, listenFd);
}

int readerMove(void *arg, int dataFd, const initiator_msg_t *im, const quor_moverpiece_t *piece, uint64_t *moved)
{
    quor_reader_t *r = static_cast<thread_arg_t *>(arg)->r;
    uint64_t got = 0;
    ssize_t n = mover_socket_recv_data_timeout(dataFd, piece->xferId, im->Offset, piece->bytes, piece->length, &got, 1,
                                               r->timeout);
    if (n < 0 || got != piece->length) {
        if (connectionErrorsShown(r))
            readerError("*** %s: mover_socket_recv_data error: %d\n", "velk_TransferThread",
                        n < 0 ? static_cast<int>(n) : -EIO);
        // A data header that does not match the piece is the mover's fault.
        return n == -EINVAL || n == -EPROTO ? -1 : kConnectionLost;
    }
    *moved = got;
    return 0;
}

int readerComplete(void *arg, const quor_moverpiece_t *piece, const completion_msg_t *cm, uint64_t got)
{
    const char *fn = "velk_TransferThread";
    quor_reader_t *r = static_cast<thread_arg_t *>(arg)->r;
    if (cm->Status != 0 && cm->BytesMoved == 0) {
        // The mover reports its piece failed; so will the request.
        if (connectionErrorsShown(r))
            readerError("*** %s: mover completion status %d\n", fn, static_cast<int>(cm->Status));
        return kConnectionLost;
    }
    if (cm->Status != 0 || cm->BytesMoved != got) {
        readerError("*** %s: mover completion status %d, %lu bytes claimed, %lu received\n", fn,
                    static_cast<int>(cm->Status), static_cast<unsigned long>(cm->BytesMoved),
                    static_cast<unsigned long>(got));
        return -1;
    }
    if (update_BufXferred(r, got, static_cast<io_buffer_t *>(piece->buffer)) != 0)
        return -1;
    r->requestReceived.fetch_add(got);
    return 0;
}

int readerFailed(void *arg, quor_moverstage_t stage, int rc, const initiator_msg_t *im)
{
    const char *fn = "velk_TransferThread";
    quor_reader_t *r = static_cast<thread_arg_t *>(arg)->r;
    switch (stage) {
    case QUOR_MOVER_BAD_TYPE:
        readerError("*** %s: bad transfer type %d - transfer aborted\n", fn, static_cast<int>(im->Type));
        return -1;
    case QUOR_MOVER_LISTEN: readerError("***  %s: quor_net_listen error: %d [%s]\n", fn, -rc, strerror(-rc)); break;
    case QUOR_MOVER_ACCEPT: break;
    default:
        // The mover's side broke off; the request's result tells.
        if (!connectionErrorsShown(r))
            break;
        if (stage == QUOR_MOVER_RECV_INITIATOR)
            readerError("%s: mvrprot_recv_initmsg error %d\n", fn, rc);
        else if (stage == QUOR_MOVER_SEND_REPLY)
            readerError("%s: mvrprot_send_initmsg error: %d\n", fn, rc);
        else if (stage == QUOR_MOVER_SEND_ADDRESS)
            readerError("%s: mvrprot_send_ipaddr error: %d\n", fn, rc);
        else
            readerError("*** %s: mvrprot_recv_compmsg: %d\n", fn, rc);
        break;
    }
    return kConnectionLost;
}

void readerSetSocket(void *arg, int *field, int fd)
{
    *field = fd;
    track(static_cast<thread_arg_t *>(arg)->r, fd);
}

void readerCloseSocket(void *arg, int *field)
{
    untrackClose(static_cast<thread_arg_t *>(arg)->r, field);
}

int readerTicket(void *arg, uint64_t *expected)
{
    const quor_reader_t *r = static_cast<thread_arg_t *>(arg)->r;
    *expected = r->ticket.load();
    return r->ticketRc.load();
}

const quor_moverops_t kReaderOps = {
    false,      false,          readerStopped, readerReceived,  readerGrant,       readerAcceptData,
    readerMove, readerComplete, readerFailed,  readerSetSocket, readerCloseSocket, readerTicket,
};

// Serves one mover control connection until the mover closes it.
void *velk_TransferThread(void *arg)
{
    auto *a = static_cast<thread_arg_t *>(arg);
    quor_reader_t *r = a->r;
    connection_info_t *c = a->c;
    quor_moverconn_t mc{&kReaderOps,     a, r->timeout, &c->controlSocket, &c->listenSocket, &c->transferSocket,
                        &c->localNetAddr};
    const int rc = quor_MoverServeConnection(&mc);
    delete a;
    if (rc != 0 && rc != kConnectionLost)
        ABORT_READ(r);
    untrackClose(r, &c->transferSocket);
    untrackClose(r, &c->listenSocket);
    untrackClose(r, &c->controlSocket);
    r->ctl->controlLock.lock();
    c->isactive = 0;
    r->ctl->localFileCond.broadcast(); // for endRequest
    r->ctl->controlLock.unlock();
    return nullptr;
}

// Accepts the movers' control connections until the read ends, one
// transfer thread per connection.
void *velk_ReaderListenThread(void *arg)
{
    auto *r = static_cast<quor_reader_t *>(arg);
    velk_xfer_ctl_t *ctl = r->ctl;
    const char *fn = "velk_ReaderListenThread";
    while (!r->listenStop.load() && !isAborted(r)) {
        if (velk_XferStopReason(ctl) == VELK_XFER_SHUTDOWN) {
            ABORT_READ(r);
            break;
        }
        pollfd p{r->listenFd, POLLIN, 0};
        int n = poll(&p, 1, kListenSliceMs);
        if (n < 0 && errno != EINTR) {
            if (velk_debug_level >= 1)
                velk_ErrPrintf("/debug/error %d on poll() - exiting accept loop\n", errno);
            ABORT_READ(r);
            break;
        }
        if (n <= 0)
            continue;
        if (r->listenStop.load())
            break; // woken by the shutdown of the listening socket
        quor_sockaddr_t peer{};
        char text[256] = "";
        int s = -1;
        int rc =
            quor_MoverAcceptPeer(r->listenFd, r->haveGateway ? &r->gateway : nullptr, &peer, &s, text, sizeof text);
        if (rc == -EINTR || rc == -EAGAIN || rc == -ECONNABORTED)
            continue;
        if (rc < 0 && (r->listenStop.load() || isAborted(r)))
            break;
        if (rc < 0) {
            readerError("*** %s: quor_net_accept: errno=%d [%s]\n", fn, -rc, text);
            ABORT_READ(r);
            break;
        }
        if (rc > 0) {
            if (velk_debug_level >= 1)
                velk_ErrPrintf("/debug/mover connection from %s disallowed - closing connection\n",
                               peerText(peer).c_str());
            continue;
        }
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/mover connection from %s\n", peerText(peer).c_str());
        if (!r->connected.exchange(true))
            r->firstConnection.store(velk_GetTimestamp());
        connection_info_t *c = nullptr;
        ctl->controlLock.lock();
        for (int i = 0; i < ctl->movers.connectListSize && c == nullptr; ++i)
            if (ctl->movers.connectionList[i].isactive == 0)
                c = &ctl->movers.connectionList[i];
        if (c != nullptr)
            c->isactive = 1;
        ctl->controlLock.unlock();
        if (c == nullptr) {
            // Every entry serves a mover that may wait for this one's data:
            // waiting for a free entry could wait for ever.
            close(s);
            readerError("*** %s: more than %d mover connections at once - aborting\n", fn, ctl->movers.connectListSize);
            ABORT_READ(r);
            break;
        }
        const size_t inx = static_cast<size_t>(c->conInx);
        if (r->joinable[inx]) {
            pthread_join(c->threadId, nullptr);
            r->joinable[inx] = false;
        }
        c->controlSocket = s;
        c->listenSocket = -1;
        c->transferSocket = -1;
        c->remoteAddr = peer;
        track(r, s);
        auto *a = new thread_arg_t{r, c};
        rc = pthread_create(&c->threadId, nullptr, velk_TransferThread, a);
        if (rc != 0) {
            delete a;
            untrackClose(r, &c->controlSocket);
            ctl->controlLock.lock();
            c->isactive = 0;
            ctl->controlLock.unlock();
            readerError("Error(s) starting transfer thread: %d\n", rc);
            ABORT_READ(r);
            break;
        }
        r->joinable[inx] = true;
    }
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/%s exiting\n", fn);
    return nullptr;
}

// Delivers complete buffers to the callback in archive order and re-arms
// each at the next stretch of the range.
void *velk_LocalFileWriteThread(void *arg)
{
    auto *r = static_cast<quor_reader_t *>(arg);
    velk_xfer_ctl_t *ctl = r->ctl;
    ctl->ring.bufQueueLock.lock();
    for (;;) {
        if (isAborted(r))
            break;
        io_buffer_t *head = ctl->ring.bufEmptyQueue;
        if (head != nullptr && head->dataLength > 0 && head->fileOffset < r->expected) {
            readerError("Fatal error detected in local file thread - offset in buffer < current file offset\n");
            readerError("  Expected offset: %lu  buffer offset: %lu\n", static_cast<unsigned long>(r->expected),
                        static_cast<unsigned long>(head->fileOffset));
            ctl->ring.bufQueueLock.unlock();
            ABORT_READ(r);
            ctl->ring.bufQueueLock.lock();
            break;
        }
        if (head == nullptr || head->fileOffset != r->expected) {
            if (r->transferDone)
                break;
            ctl->ring.bufQueueCondition.wait(ctl->ring.bufQueueLock);
            continue;
        }
        ctl->ring.bufEmptyQueue = head->next;
        head->next = nullptr;
        ctl->ring.bufQueueLock.unlock();
        head->dataMoved = 0;
        int rc = 0;
        if (head->dataLength > 0) {
            if (velk_debug_level >= 3)
                velk_ErrPrintf("local file thread: buffer@ %p, writing %d bytes to local file\n",
                               static_cast<void *>(head), static_cast<int>(head->dataLength));
            rc = r->callback(head, r->callbackArg);
        }
        if (rc < 0) {
            readerError("%s: fatal error unpacking buffer\n", "velk_LocalFileWriteThread");
            ABORT_READ(r);
        }
        ctl->ring.bufQueueLock.lock();
        if (rc >= 0) {
            r->expected += head->dataLength;
            velk_DisplayXferProgress(r->expected - r->rangeStart, r->rangeEnd - r->rangeStart);
        }
        // Re-armed at the next stretch (beyond the range it just waits).
        head->fileOffset = r->armOffset;
        r->armOffset += static_cast<uint64_t>(head->bufSize);
        head->dataLength = 0;
        head->bufFlags &= ~(IOB_FLAG_LAST_DATA | IOB_FLAG_NEW_OFFSET);
        r->grants[static_cast<size_t>(head->bufID)].filled.clear();
        insertSorted(&ctl->ring.bufReadyQueue, head);
        ctl->ring.bufQueueCondition.broadcast();
        if (rc < 0 || r->expected == r->rangeEnd)
            break;
    }
    r->localActive = false;
    ctl->ring.bufQueueCondition.broadcast();
    ctl->ring.bufQueueLock.unlock();
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/%s exiting\n", "velk_LocalFileWriteThread");
    return nullptr;
}

// Starts a request of requested bytes at archive offset base: buffers that
// hold the end of the previous request are delivered first, then the whole
// window is armed at consecutive ranges from base.  Call with no transfer
// thread running.  0, or -1 (aborted, or the delivery did not reach base).
int velk_MoveReadyBufsToEmptyQueue(quor_reader_t *r, uint64_t base, uint64_t requested)
{
    velk_xfer_ctl_t *ctl = r->ctl;
    kyl_lock_guard g(ctl->ring.bufQueueLock);
    for (io_buffer_t *b = ctl->ring.bufReadyQueue, *next = nullptr; b != nullptr; b = next) {
        next = b->next;
        if (b->dataLength == 0)
            continue;
        if (!coversPrefix(r->grants[static_cast<size_t>(b->bufID)], b->fileOffset, b->dataLength)) {
            readerError("Internal error (data not contiguous) detected in %s\n", "velk_MoveReadyBufsToEmptyQueue");
            return -1;
        }
        unlink(&ctl->ring.bufReadyQueue, b);
        insertSorted(&ctl->ring.bufEmptyQueue, b);
    }
    ctl->ring.bufQueueCondition.broadcast();
    while (r->localActive &&
           (ctl->ring.bufEmptyQueue != nullptr || queueLength(ctl->ring.bufReadyQueue) != ctl->ring.bufCount)) {
        if (isAborted(r))
            return -1;
        ctl->ring.bufQueueCondition.wait(ctl->ring.bufQueueLock);
    }
    if (isAborted(r) || !r->localActive || r->expected != base)
        return -1;
    uint64_t at = base;
    for (io_buffer_t *b = ctl->ring.bufReadyQueue; b != nullptr; b = b->next) {
        b->fileOffset = at;
        b->dataLength = 0;
        b->ioCount = 0;
        b->bufFlags &= ~(IOB_FLAG_LAST_DATA | IOB_FLAG_NEW_OFFSET);
        r->grants[static_cast<size_t>(b->bufID)].filled.clear();
        at += static_cast<uint64_t>(b->bufSize);
    }
    r->armOffset = at;
    r->reqBase = base;
    r->reqEnd = base + requested;
    r->requestOpen = true;
    r->requestReceived.store(0);
    ctl->ring.bufQueueCondition.broadcast();
    return 0;
}

// Ends the current request for the movers and waits until every transfer
// thread has ended.
void endRequest(quor_reader_t *r)
{
    velk_xfer_ctl_t *ctl = r->ctl;
    ctl->ring.bufQueueLock.lock();
    r->requestOpen = false;
    ctl->ring.bufQueueCondition.broadcast();
    ctl->ring.bufQueueLock.unlock();
    for (int i = 0; i < ctl->movers.connectListSize; ++i) {
        connection_info_t *c = &ctl->movers.connectionList[i];
        bool announced = false;
        kyl_lock_guard g(ctl->controlLock);
        while (c->isactive) {
            if (!announced && velk_debug_level >= 2) {
                velk_ErrPrintf("/debug/ - waiting on thread entry %d to complete...\n", i);
                announced = true;
            }
            // The thread announces its end; the time limit only bounds a
            // wait that missed it.
            struct timespec until = velk_DeadlineIn(kThreadPollMs);
            (void)ctl->localFileCond.timedwait(ctl->controlLock, &until);
        }
    }
}

// Checks a request's reply: every byte asked for moved, no gap, and the
// bytes the movers delivered agree.  0, or -1 after the message.
int checkReply(quor_reader_t *r, const quor_IOR_t &ior, uint64_t requested, uint64_t fileOffset)
{
    char t1[32], t2[32], t3[32], t4[32];
    if ((ior.Flags & IOR_GAP_DETECTED) != 0 && ior.ReqSpecReply != nullptr && ior.ReqSpecReply->Gap.Length != 0) {
        readerError("Fatal: quor_ReadList - GAP hit at offset %s",
                    velk_U64Text(ior.ReqSpecReply->Gap.Offset, t1, sizeof t1));
        readerError(" length=%s\n", velk_U64Text(ior.ReqSpecReply->Gap.Length, t1, sizeof t1));
        return -1;
    }
    const uint64_t moved = ior.SinkReplyLength > 0 && ior.SinkReplyList != nullptr ? ior.SinkReplyList->BytesMoved : 0;
    const uint64_t received = r->requestReceived.load();
    if (moved != requested || received != moved) {
        readerError("quor_ReadList moved %s of %s bytes (%s received), file offset %s - aborting\n",
                    velk_U64Text(moved, t1, sizeof t1), velk_U64Text(requested, t2, sizeof t2),
                    velk_U64Text(received, t3, sizeof t3), velk_U64Text(fileOffset, t4, sizeof t4));
        return -1;
    }
    return 0;
}

// After a list-read that failed with an I/O error: ends the request's
// transfer threads, lets the local-file write thread deliver the complete
// buffers that continue the data it already delivered, and throws away
// everything else the movers brought, so that the next request starts at
// the first byte not yet delivered.  Returns that byte's offset, or -1
// when the read was aborted meanwhile.
int64_t velk_ReadErrorResync_MainThread(quor_reader_t *r)
{
    velk_xfer_ctl_t *ctl = r->ctl;
    if (velk_debug_level >= 1)
        velk_ErrPrintf("%s: synchronizing with local file thread\n", __func__);
    {
        kyl_lock_guard g(ctl->ring.bufQueueLock);
        r->recovering = true;
        ctl->ring.bufQueueCondition.broadcast();
    }
    {
        kyl_lock_guard g(r->sockLock);
        for (int s : r->sockets)
            shutdown(s, SHUT_RDWR);
    }
    endRequest(r);
    kyl_lock_guard g(ctl->ring.bufQueueLock);
    // Every buffer is on a queue once the local-file write thread is not
    // inside the callback; it stops at a head that does not continue its
    // data.
    while (r->localActive && !isAborted(r) &&
           (queueLength(ctl->ring.bufReadyQueue) + queueLength(ctl->ring.bufEmptyQueue) != ctl->ring.bufCount ||
            (ctl->ring.bufEmptyQueue != nullptr && ctl->ring.bufEmptyQueue->fileOffset == r->expected)))
        ctl->ring.bufQueueCondition.wait(ctl->ring.bufQueueLock);
    while (io_buffer_t *b = ctl->ring.bufEmptyQueue) {
        ctl->ring.bufEmptyQueue = b->next;
        b->next = nullptr;
        insertSorted(&ctl->ring.bufReadyQueue, b);
    }
    for (io_buffer_t *b = ctl->ring.bufReadyQueue; b != nullptr; b = b->next) {
        b->dataLength = 0;
        b->ioCount = 0;
        b->bufFlags &= ~(IOB_FLAG_LAST_DATA | IOB_FLAG_NEW_OFFSET);
        r->grants[static_cast<size_t>(b->bufID)].filled.clear();
    }
    r->recovering = false;
    if (velk_debug_level >= 1)
        velk_ErrPrintf("%s: synchronization completed - abortFlag = %d\n", __func__, velk_GetXferAborted(r->ctl));
    if (isAborted(r) || !r->localActive)
        return -1;
    return static_cast<int64_t>(r->expected);
}

// Issues the list-read requests of the range; a request that fails with an
// I/O error is issued again from the first byte not yet delivered, unless
// that happens more than five times in a row at one offset.  0, or -1
// after the message.
int readRequests(quor_reader_t *r, int archiveFd, uint64_t startAddr, uint64_t bytesToRead)
{
    char t1[32], t2[32], t3[32];
    const uint32_t mbytes = r->ctl->settings.maxMbytesPerIod;
    const uint64_t perIod = mbytes != 0 ? uint64_t{mbytes} << 20 : kMaxRequestBytes;
    const uint64_t maxRequest = std::min(kMaxRequestBytes, perIod);
    uint64_t total = 0;
    bool failedBefore = false;
    uint64_t lastFailAt = 0;
    int eioRetries = 0;
    while (total < bytesToRead && !isAborted(r)) {
        const uint64_t at = startAddr + total;
        const uint64_t requested = std::min(maxRequest, bytesToRead - total);
        quor_reqid_t id = quor_GetUniqueRequestID();
        const quor_reqid_t zero{};
        if (memcmp(&id, &zero, sizeof id) == 0) {
            if (r->recoverLost) {
                abandonRead(r); // the session that should give the id is gone
                return -1;
            }
            readerError("%s: no request id from the storage system - aborting\n", "velk_CopyFromQUORArchive");
            return -1;
        }
        r->xferId.store(quor_RequestIDtoU64(&id));
        uint64_t ticket = 0;
        r->ticketRc.store(quor_MoverTicket(archiveFd, r->xferId.load(), &ticket));
        r->ticket.store(ticket);
        if (velk_MoveReadyBufsToEmptyQueue(r, at, requested) != 0)
            return -1;
        iod_srcsinkdesc_t src{};
        src.Length = requested;
        src.SrcSinkAddr.Type = IOD_ADDR_CLIENTFILE;
        src.SrcSinkAddr.Addr.ClientFileAddr.FileDes = archiveFd;
        src.SrcSinkAddr.Addr.ClientFileAddr.FileOffset = at;
        iod_srcsinkdesc_t sink{};
        sink.Flags = IOD_DESC_CLIENT_NET | IOD_DESC_MOVER_PROTOCOL;
        sink.Length = requested;
        sink.SrcSinkAddr.Type = IOD_ADDR_NET;
        sink.SrcSinkAddr.Addr.NetAddr.SockTransferID = r->xferId.load();
        sink.SrcSinkAddr.Addr.NetAddr.SockAddr = r->ctl->movers.listenSockAddr;
        quor_IOD_t iod{};
        iod.RequestID = id;
        iod.Function = IOD_FUNC_READ;
        iod.SrcDescLength = 1;
        iod.SinkDescLength = 1;
        iod.SrcDescList = &src;
        iod.SinkDescList = &sink;
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/issuing quor_ReadList call for %s bytes.\n       offset: %s  total bytes moved so "
                           "far: %s Gap: 0\n",
                           velk_U64Text(requested, t1, sizeof t1), velk_U64Text(at, t2, sizeof t2),
                           velk_U64Text(total, t3, sizeof t3));
        quor_IOR_t ior{};
        int rc = quor_ReadList(&iod, 1, &ior);
        if (rc == -EIO && !isAborted(r)) {
            const uint64_t moved =
                ior.SinkReplyLength > 0 && ior.SinkReplyList != nullptr ? ior.SinkReplyList->BytesMoved : 0;
            free_quor_ior_mem(&ior);
            const uint64_t failAt = at + std::min(moved, requested);
            if (failedBefore && failAt == lastFailAt) {
                if (++eioRetries > kMaxEioRetries) {
                    readerError("quor_ReadList error %d, file offset %s - aborting", rc,
                                velk_U64Text(failAt, t1, sizeof t1));
                    ABORT_READ(r);
                    endRequest(r);
                    return -1;
                }
            } else {
                velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG,
                            "I/O error occurred after %s bytes successfully transferred\n",
                            velk_U64Text(total + moved, t1, sizeof t1));
                eioRetries = 1;
            }
            failedBefore = true;
            lastFailAt = failAt;
            int64_t resume = velk_ReadErrorResync_MainThread(r);
            if (resume < 0)
                return -1;
            total = static_cast<uint64_t>(resume) - startAddr;
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Repositioning source file to address %s\n",
                        velk_U64Text(static_cast<uint64_t>(resume), t1, sizeof t1));
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Adjusting total bytes xferred to %s\n",
                        velk_U64Text(total, t1, sizeof t1));
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Retrying after I/O error at archive file offset %s\n",
                        velk_U64Text(failAt, t1, sizeof t1));
            r->ctl->recoveries++;
            continue;
        }
        if (rc < 0 && sessionGone(r, rc)) {
            abandonRead(r);
        } else if (rc < 0) {
            readerError("quor_ReadList error %d, file offset %s - aborting", rc, velk_U64Text(at, t1, sizeof t1));
            ABORT_READ(r);
        }
        endRequest(r);
        if (rc >= 0 && (isAborted(r) || checkReply(r, ior, requested, at) != 0))
            rc = -1;
        free_quor_ior_mem(&ior);
        if (rc < 0)
            return -1;
        if (failedBefore)
            velk_LogFmt(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "Recovered I/O error at archive file offset %s\n",
                        velk_U64Text(lastFailAt, t1, sizeof t1));
        failedBefore = false;
        eioRetries = 0;
        total += requested;
    }
    return isAborted(r) ? -1 : 0;
}

// Sets up r and its transfer control r->ctl to read archiveFd, with
// entries as the connection table.
void initContext(quor_reader_t *r, std::vector<connection_info_t> *entries, int archiveFd)
{
    velk_xfer_ctl_t &ctx = *r->ctl;
    r->timeout = velk_MoverWaitSeconds();
    r->haveGateway = quorex_GetGatewayAddress(&r->gateway) == 0;
    r->joinable.assign(entries->size(), false);
    ctx.archive_fd = archiveFd;
    ctx.movers.listenSockFD = -1;
    ctx.movers.connectListSize = static_cast<int>(entries->size());
    ctx.movers.connectionList = entries->data();
    for (size_t i = 0; i < entries->size(); ++i) {
        connection_info_t &e = (*entries)[i];
        e.conInx = static_cast<int>(i);
        e.ctl = &ctx;
        e.controlSocket = e.listenSocket = e.transferSocket = -1;
    }
}

// Makes r ready for the range of bytesToRead bytes at startAddr: every
// buffer back on the ready queue, unarmed, and the delivery starting at
// startAddr.  No thread of the read runs but the listen thread and the
// transfer threads, which wait for a request.
void beginRange(quor_reader_t *r, uint64_t startAddr, uint64_t bytesToRead, velk_bufCallback_t callback,
                void *callbackArg)
{
    velk_xfer_ctl_t &ctx = *r->ctl;
    kyl_lock_guard g(ctx.ring.bufQueueLock);
    while (io_buffer_t *b = ctx.ring.bufEmptyQueue) {
        ctx.ring.bufEmptyQueue = b->next;
        b->next = nullptr;
        insertSorted(&ctx.ring.bufReadyQueue, b);
    }
    for (io_buffer_t *b = ctx.ring.bufReadyQueue; b != nullptr; b = b->next) {
        b->dataLength = 0;
        b->ioCount = 0;
        b->bufFlags &= ~(IOB_FLAG_LAST_DATA | IOB_FLAG_NEW_OFFSET);
        r->grants[static_cast<size_t>(b->bufID)].filled.clear();
    }
    r->callback = callback;
    r->callbackArg = callbackArg;
    r->rangeStart = startAddr;
    r->rangeEnd = startAddr + bytesToRead;
    r->expected = startAddr;
    r->armOffset = startAddr;
    r->requestOpen = false;
    r->transferDone = false;
    r->localActive = true;
    r->connected.store(false);
    ctx.srcOffset = startAddr;
    ctx.transferLength = bytesToRead;
}

// Ends the listen thread (listenThread, null when none started) and joins
// it and every transfer thread; closes the listening socket.
void stopListening(quor_reader_t *r, const pthread_t *listenThread)
{
    // The listen thread is woken at once, not at the end of its wait.
    r->listenStop.store(true);
    if (r->listenFd >= 0)
        shutdown(r->listenFd, SHUT_RDWR);
    if (listenThread != nullptr)
        pthread_join(*listenThread, nullptr);
    for (size_t i = 0; i < r->joinable.size(); ++i)
        if (r->joinable[i])
            pthread_join(r->ctl->movers.connectionList[i].threadId, nullptr);
    if (r->listenFd >= 0)
        close(r->listenFd);
    r->listenFd = -1;
    r->ctl->movers.listenSockFD = -1;
}

} // namespace

// The state a reader keeps between its ranges.
struct velk_quor_reader_t {
    velk_xfer_ctl_t ctx{};
    std::vector<connection_info_t> entries;
    quor_reader_t reader;
    bool locks = false;
    bool buffers = false;
    bool listenStarted = false;
    bool broken = false; // a range failed: the threads are stopped
    pthread_t listenThread{};
};

void velk_QuorReaderClose(velk_quor_reader_t *q)
{
    if (q == nullptr)
        return;
    quor_reader_t *r = &q->reader;
    if (q->locks)
        endRequest(r);
    stopListening(r, q->listenStarted ? &q->listenThread : nullptr);
    if (q->locks) {
        q->ctx.controlLock.lock();
        q->ctx.transfer_active = 0;
        q->ctx.controlLock.unlock();
    }
    velk_CleanupIoBuffers(&q->ctx.ring);
    velk_FreeXferLocks(&q->ctx);
    delete q;
}

int velk_QuorReaderOpen(const velk_xfer_settings_t *xs, int archiveFd, bool recoverLost, velk_quor_reader_t **out)
{
    *out = nullptr;
    auto *q = new (std::nothrow) velk_quor_reader_t;
    if (q == nullptr) {
        readerError("Error(s) creating I/O buffers (%s)\n", velk_archive);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    velk_xfer_ctl_t &ctx = q->ctx;
    quor_reader_t *r = &q->reader;
    ctx.settings = *xs;
    q->entries.resize(VELK_MAX_CONNECTIONS);
    r->ctl = &ctx;
    r->recoverLost = recoverLost;
    initContext(r, &q->entries, archiveFd);
    q->locks = velk_InitXferLocks(&ctx) == 0;
    if (!q->locks)
        readerError("Error(s) initializing transfer locks\n");
    if (q->locks) {
        ctx.controlLock.lock();
        ctx.transfer_active = 1;
        ctx.controlLock.unlock();
        q->buffers = velk_AllocateIoBuffers(&ctx.ring, xs) == 0;
        if (!q->buffers)
            readerError("Error(s) creating I/O buffers (%s)\n", velk_archive);
    }
    if (q->buffers) {
        // All buffers start on the ready queue, unarmed.
        kyl_lock_guard g(ctx.ring.bufQueueLock);
        r->grants.resize(static_cast<size_t>(ctx.ring.bufCount));
        while (io_buffer_t *b = velk_TakeEmptyBuffer(&ctx.ring))
            velk_InsertReadyBuffer(&ctx.ring, b);
        int rc = quor_MoverListen(&r->listenFd, &ctx.movers.listenSockAddr);
        if (rc != 0)
            readerError("Error(s) creating listen socket [%s]\n", strerror(-rc));
        ctx.movers.listenSockFD = r->listenFd;
    }
    if (r->listenFd >= 0) {
        int rc = pthread_create(&q->listenThread, nullptr, velk_ReaderListenThread, r);
        q->listenStarted = rc == 0;
        if (!q->listenStarted)
            readerError("Error(s) starting listen thread: %d\n", rc);
    }
    if (!q->listenStarted) {
        velk_QuorReaderClose(q);
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    *out = q;
    return 0;
}

int velk_QuorReaderRead(velk_quor_reader_t *q, uint64_t startAddr, uint64_t bytesToRead, velk_bufCallback_t callback,
                        void *callbackArg, double *xferTime)
{
    const char *fn = "velk_CopyFromQUORArchive";
    if (xferTime != nullptr)
        *xferTime = 0.0;
    if (bytesToRead == 0)
        return 0;
    if (callback == nullptr || startAddr + bytesToRead < startAddr || q->broken) {
        readerError("[%s] internal error - bad read request\n", fn);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }
    const double start = velk_GetTimestamp();
    quor_reader_t *r = &q->reader;
    velk_xfer_ctl_t &ctx = q->ctx;
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/%s: parallel xfer - stripe width = %d, bufsize = %d\n", fn, velk_archive_stripewidth,
                       ctx.settings.iobufsize);
    beginRange(r, startAddr, bytesToRead, callback, callbackArg);
    int result = -1;
    pthread_t localThread{};
    int rc = pthread_create(&localThread, nullptr, velk_LocalFileWriteThread, r);
    const bool localStarted = rc == 0;
    if (!localStarted) {
        readerError("Error(s) starting local file thread: %d\n", rc);
        kyl_lock_guard g(ctx.ring.bufQueueLock);
        r->localActive = false;
    } else {
        result = readRequests(r, ctx.archive_fd, startAddr, bytesToRead);
    }
    if (result != 0 && !r->sessionLost)
        ABORT_READ(r);

    // Every thread of the range ends: no more data will come.
    {
        kyl_lock_guard g(ctx.ring.bufQueueLock);
        r->transferDone = true;
        ctx.ring.bufQueueCondition.broadcast();
    }
    endRequest(r);
    if (localStarted)
        pthread_join(localThread, nullptr);
    const double stop = velk_GetTimestamp();

    if (result == 0 && r->expected != r->rangeEnd) {
        char t1[32], t2[32];
        readerError("%s: only %s of %s bytes of the range were delivered\n", fn,
                    velk_U64Text(r->expected - startAddr, t1, sizeof t1), velk_U64Text(bytesToRead, t2, sizeof t2));
        result = -1;
    }
    if (isAborted(r)) {
        result = -1;
        q->broken = true;
    }
    if (result != 0 && !r->sessionLost)
        velk_SetExitCode(VELK_EXIT_IOERR);
    const double from = r->connected.load() ? r->firstConnection.load() : start;
    if (xferTime != nullptr)
        *xferTime = stop - from;
    if (result != 0 && r->sessionLost)
        return VELK_QUOR_SESSION_LOST;
    return result;
}

int velk_CopyFromQUORArchive(const velk_xfer_settings_t *xs, int archiveFd, uint64_t startAddr, uint64_t bytesToRead,
                             velk_bufCallback_t callback, void *callbackArg, double *xferTime)
{
    VELK_TRACE_ENTRY();
    if (xferTime != nullptr)
        *xferTime = 0.0;
    if (bytesToRead == 0)
        return 0;
    if (callback == nullptr || startAddr + bytesToRead < startAddr) {
        readerError("[%s] internal error - bad read request\n", "velk_CopyFromQUORArchive");
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }
    velk_quor_reader_t *q = nullptr;
    if (velk_QuorReaderOpen(xs, archiveFd, false, &q) != 0)
        return -1;
    int rc = velk_QuorReaderRead(q, startAddr, bytesToRead, callback, callbackArg, xferTime);
    velk_QuorReaderClose(q);
    return rc == 0 ? 0 : -1;
}
