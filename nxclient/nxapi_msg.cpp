// The gateway message layer: buffered streams over a connection's socket,
// request ids, sending a header and optional body with one write, and
// receiving with reply demultiplexing between the threads that share a
// connection.  Any thread calls it.  The outbound stream's mutex is held
// for a whole send; the inbound stream's mutex while a header and its body
// are decoded; a thread waiting for its reply sleeps on its own context's
// condition.  nxapi_requestID_lock guards the request-id generator.  A
// wait for a reply ends at the request's time limit or when the stop hook
// says stop; the socket is polled without the inbound mutex (the waiting
// threads take turns at it), so no thread's limit depends on another's.

#include "nxapi_private.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "kylgw_catalogue.h"
#include "kylgw_xdr_fs.h"
#include "kylgw_xdr_xfer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

namespace {

kyl_mutex_t nxapi_requestID_lock; // the request-id generator
uint32_t lastRequestID KYL_GUARDED_BY(nxapi_requestID_lock) = 0;
bool requestIDSeeded KYL_GUARDED_BY(nxapi_requestID_lock) = false;

constexpr int kDest = NXAPI_LOG_SYSLOG | NXAPI_LOG_STDERR | NXAPI_LOG_FILE;

#define MSGLOG(level, fn, ...) nxapi_logf(level, fn, kDest, __FILE__, __LINE__, __VA_ARGS__)

// The stop hook (quor_SetStopHook), read by every waiting thread.
std::atomic<int (*)(void *)> stopHook{nullptr};
std::atomic<void *> stopArg{nullptr};

constexpr int kDefaultReplySeconds = 600;
constexpr long kMaxReplySeconds = 86400;

bool stopRequested()
{
    int (*hook)(void *) = stopHook.load();
    return hook != nullptr && hook(stopArg.load()) != 0;
}

struct timespec monotonicNow()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// The limits of a wait for the reply to the request of kind (category,
// function) that begins now.
nxapi_replywait_t beginReplyWait(uint16_t category, uint16_t function)
{
    nxapi_replywait_t w;
    w.stoppedAtStart = stopRequested();
    int seconds = nxapi_ReplyLimitSeconds(category, function);
    if (w.stoppedAtStart && (seconds == 0 || seconds > NXAPI_STOPPED_REPLY_SECS))
        seconds = NXAPI_STOPPED_REPLY_SECS;
    if (seconds > 0) {
        w.limited = true;
        w.seconds = seconds;
        w.deadline = monotonicNow();
        w.deadline.tv_sec += seconds;
    }
    return w;
}

// The name of a request kind for messages: the client call that sends it.
void requestName(uint16_t category, uint16_t function, char *out, size_t size)
{
    const kylgw_msgtype_t *row = kylgw_LookupMsgType(category, function);
    if (row != nullptr && row->name != nullptr)
        snprintf(out, size, "%s", row->name);
    else
        snprintf(out, size, "request %u/%u", category, function);
}

// Writes all n bytes; a signal does not cut the write short.  A peer that
// went away gives EPIPE, never SIGPIPE.
bool writeAll(int fd, const unsigned char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Wakes ctx with result.  Requires the inbound stream's mutex of the
// connection ctx waits on (ctx has already been unlinked).
void wakeContext(nxapi_tcontext_t *ctx, int result)
{
    kyl_lock_guard g(ctx->msginMutex);
    ctx->wakeResult = result;
    ctx->gotMessage = 1;
    pthread_cond_signal(&ctx->msginCondition);
}

// Wakes every thread waiting for a reply on conn with result and empties
// the list.
void wakeAllWaiters(quor_connection_t *conn, int result) KYL_REQUIRES(conn->msg_in.theMutex)
{
    nxapi_tcontext_t *ctx = conn->waitReplyList;
    conn->waitReplyList = nullptr;
    while (ctx != nullptr) {
        nxapi_tcontext_t *next = ctx->msgQNext;
        ctx->msgQNext = nullptr;
        wakeContext(ctx, result);
        ctx = next;
    }
    pthread_cond_broadcast(&conn->msg_in.theCondition);
}

// Empties conn's list of expected second replies: they will not come.
void dropLaterReplies(quor_connection_t *conn) KYL_REQUIRES(conn->msg_in.theMutex)
{
    while (nxapi_laterreply_t *l = conn->laterReplies) {
        conn->laterReplies = l->next;
        l->next = nullptr;
        l->state = NXAPI_LATER_NONE;
        if (l->discard)
            delete l;
    }
}

// Forgets conn's abandoned replies: they will not come.
void dropAbandoned(quor_connection_t *conn) KYL_REQUIRES(conn->msg_in.theMutex)
{
    while (nxapi_abandoned_t *a = conn->abandoned) {
        conn->abandoned = a->next;
        delete a;
    }
    conn->abandonedCount = 0;
}

// Unlinks l from conn's list of expected second replies, if it is there.
void unlinkLater(quor_connection_t *conn, nxapi_laterreply_t *l) KYL_REQUIRES(conn->msg_in.theMutex)
{
    for (nxapi_laterreply_t **pp = &conn->laterReplies; *pp != nullptr; pp = &(*pp)->next)
        if (*pp == l) {
            *pp = l->next;
            l->next = nullptr;
            return;
        }
}

// The expected second reply of request id on conn, unlinked; null if none.
nxapi_laterreply_t *takeLater(quor_connection_t *conn, uint32_t id) KYL_REQUIRES(conn->msg_in.theMutex)
{
    for (nxapi_laterreply_t *l = conn->laterReplies; l != nullptr; l = l->next)
        if (l->requestID == id) {
            unlinkLater(conn, l);
            return l;
        }
    return nullptr;
}

// Breaks conn after what arrived could not be decoded: the rest of the
// inbound bytes can no longer be framed.  Every waiter gets result; the
// streams are freed and the socket closed.
void breakConnection(quor_connection_t *conn, int result) KYL_REQUIRES(conn->msg_in.theMutex)
{
    conn->state.store(CONNECTION_CLOSED);
    wakeAllWaiters(conn, result);
    dropLaterReplies(conn);
    dropAbandoned(conn);
    int fd = conn->msg_in.fd;
    // A sender blocked on a full socket holds the outbound mutex: shut the
    // socket down first so that its write fails and it lets go.
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
    kyl_lock_guard out(conn->msg_out.theMutex);
    if (conn->msg_out.state != STREAM_CLOSED)
        nx_FreeMsgStream(&conn->msg_out);
    if (conn->msg_in.state != STREAM_CLOSED)
        nx_FreeMsgStream(&conn->msg_in);
    if (fd >= 0)
        close(fd);
    conn->ctl_fd = -1;
}

quor_connection_t *resolveConnection(quor_connection_t *conn, nxapi_tcontext_t *tcontext)
{
    if (conn != nullptr)
        return conn;
    if (tcontext != nullptr && tcontext->connection != nullptr)
        return tcontext->connection;
    return nxapi_getCurConnection();
}

} // namespace

namespace {

// Waits until fd is readable, in slices, while wait (may be null: no limit)
// goes on.  True when a read will not block for ever.
bool awaitReadable(int fd, const nxapi_replywait_t *wait)
{
    if (wait == nullptr)
        return true;
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, NXAPI_REPLY_SLICE_MS);
        if (r > 0 || (r < 0 && errno != EINTR))
            return true; // the read reports what happened
        if (nxapi_ReplyWaitEnded(wait) != 0)
            return false;
    }
}

} // namespace

bool nxapi_sockreader_t::get(unsigned char *dst, size_t n)
{
    while (n > 0) {
        if (start == end) {
            if (!awaitReadable(fd, wait))
                return false;
            if (n >= NXAPI_STREAM_BUFSIZE) {
                // A large body goes straight into its destination.
                ssize_t r = read(fd, dst, n);
                if (r < 0 && errno == EINTR)
                    continue;
                if (r <= 0)
                    return false;
                dst += r;
                n -= static_cast<size_t>(r);
                continue;
            }
            ssize_t r = read(fd, buf, NXAPI_STREAM_BUFSIZE);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            start = 0;
            end = static_cast<size_t>(r);
        }
        size_t take = end - start < n ? end - start : n;
        memcpy(dst, buf + start, take);
        start += take;
        dst += take;
        n -= take;
    }
    return true;
}

int nx_BuildMsgStream(int fd, quor_msgstream_t *stream, int forWriting)
{
    kyl_lock_guard g(stream->theMutex);
    if (stream->state != STREAM_CLOSED) {
        MSGLOG(3, "nx_BuildMsgStream", "Called for non-closed stream (state=%d)!", static_cast<int>(stream->state));
        return -EBADF;
    }
    if (fd < 0) {
        MSGLOG(3, "nx_BuildMsgStream", "%s", "Error on fdopen call connecting to server!\n");
        return -EBADF;
    }
    auto *io = new (std::nothrow) nxapi_streamio_t;
    if (io == nullptr)
        return -ENOMEM;
    io->forWriting = forWriting != 0;
    if (io->forWriting) {
        io->out.data = static_cast<unsigned char *>(malloc(NXAPI_STREAM_BUFSIZE));
        io->out.cap = NXAPI_STREAM_BUFSIZE;
        if (io->out.data == nullptr) {
            delete io;
            return -ENOMEM;
        }
        kyl_xdr_create_encode(&stream->theXdr, &io->out);
    } else {
        io->reader.fd = fd;
        io->reader.buf = static_cast<unsigned char *>(malloc(NXAPI_STREAM_BUFSIZE));
        if (io->reader.buf == nullptr) {
            delete io;
            return -ENOMEM;
        }
        kyl_xdr_create_decode(&stream->theXdr, &io->reader);
    }
    stream->file = io;
    stream->fd = fd;
    stream->msgSequence = 0;
    stream->errors = 0;
    memset(&stream->messageHdr, 0, sizeof stream->messageHdr);
    stream->messageInState = READING_MSG_HDR;
    stream->state = STREAM_IDLE;
    return 0;
}

int nx_FreeMsgStream(quor_msgstream_t *stream)
{
    if (stream->state == STREAM_CLOSED) {
        MSGLOG(3, "nx_FreeMsgStream", "nx_FreeMsgStream called for non-open stream (state=%d)!",
               static_cast<int>(stream->state));
        return -EBADF;
    }
    nxapi_streamio_t *io = stream->file;
    if (io != nullptr) {
        kyl_xdr_outbuf_free(&io->out);
        free(io->reader.buf);
        delete io;
    }
    stream->file = nullptr;
    stream->theXdr = kyl_xdr_t{};
    stream->fd = -1;
    stream->messageInState = READING_MSG_HDR;
    stream->state = STREAM_CLOSED;
    return 0;
}

int nx_OpenStreams(quor_connection_t *conn, int fd)
{
    int rc = nx_BuildMsgStream(fd, &conn->msg_in, 0);
    if (rc == 0) {
        rc = nx_BuildMsgStream(fd, &conn->msg_out, 1);
        if (rc != 0) {
            kyl_lock_guard g(conn->msg_in.theMutex);
            nx_FreeMsgStream(&conn->msg_in);
        }
    }
    if (rc != 0) {
        close(fd);
        return rc;
    }
    // A new socket is a new session at the server: a session key agreed
    // on an earlier one (before a lost connection) means nothing there.
    if (conn->session_key != nullptr) {
        explicit_bzero(conn->session_key, static_cast<size_t>(conn->sess_key_len));
        free(conn->session_key);
        conn->session_key = nullptr;
        conn->sess_key_len = 0;
    }
    conn->ctl_fd = fd;
    conn->state.store(CONNECTION_OPEN);
    return 0;
}

void nx_CloseStreams(quor_connection_t *conn, int result)
{
    kyl_lock_guard in(conn->msg_in.theMutex);
    conn->state.store(CONNECTION_CLOSED);
    wakeAllWaiters(conn, result);
    dropLaterReplies(conn);
    dropAbandoned(conn);
    int fd = conn->msg_in.fd;
    if (fd < 0) {
        kyl_lock_guard out(conn->msg_out.theMutex);
        fd = conn->msg_out.fd;
    }
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
    kyl_lock_guard out(conn->msg_out.theMutex);
    if (conn->msg_out.state != STREAM_CLOSED)
        nx_FreeMsgStream(&conn->msg_out);
    if (conn->msg_in.state != STREAM_CLOSED)
        nx_FreeMsgStream(&conn->msg_in);
    if (fd >= 0)
        close(fd);
    conn->ctl_fd = -1;
}

uint32_t nxapi_getRequestID()
{
    kyl_lock_guard g(nxapi_requestID_lock);
    if (!requestIDSeeded) {
        lastRequestID = (static_cast<uint32_t>(getpid()) ^ static_cast<uint32_t>(time(nullptr))) + 1;
        requestIDSeeded = true;
    }
    lastRequestID = (lastRequestID * 1103515245u + 12345u) & 0x7fffffffu;
    return lastRequestID;
}

int nxapi_CommonSendMsg(quor_connection_t *conn, nxapi_tcontext_t *tcontext, int assignRequestId, api_msghdr_t *header,
                        void *body, kyl_xdrproc_t bodyXdr)
{
    conn = resolveConnection(conn, tcontext);
    if (conn == nullptr || tcontext == nullptr) {
        MSGLOG(7, "nxapi_sendmsg", "%s", "called for closed connection");
        return NXAPI_E_NOSESSION;
    }
    quor_msgstream_t *s = &conn->msg_out;
    kyl_lock_guard g(s->theMutex);
    if (conn->state.load() != CONNECTION_OPEN || s->state == STREAM_CLOSED) {
        MSGLOG(7, "nxapi_sendmsg", "%s", "called for closed connection");
        return NXAPI_E_NOSESSION;
    }
    s->file->out.len = 0; // rewind
    tcontext->msgOutCount++;
    s->messageHdr = *header;
    if (assignRequestId)
        s->messageHdr.msgRequestID = nxapi_getRequestID();
    if (body != nullptr) {
        s->messageHdr.msgFlags |= MSGF_BODY;
        if (bodyXdr == nullptr) {
            MSGLOG(0, "nxapi_sendmsg", "%s", "data passed, but Xdrproc is NULL!");
            return KYLGW_E_BADMSG;
        }
    }
    if (!kylgw_xdr_api_msghdr_t(&s->theXdr, &s->messageHdr)) {
        MSGLOG(3, "nxapi_sendmsg", "kylgw_xdr_api_msghdr_t failed for category %d function %d!", s->messageHdr.category,
               s->messageHdr.function);
        return KYLGW_E_BADMSG;
    }
    if (body != nullptr && !bodyXdr(&s->theXdr, body)) {
        MSGLOG(3, "nxapi_sendmsg", "caller's XDR function for category %d function %d returned FALSE!",
               s->messageHdr.category, s->messageHdr.function);
        return -1;
    }
    if (nxapi_tracing())
        nxapi_tracemsg_hdr(1, conn, &s->messageHdr);
    if (!writeAll(s->fd, s->file->out.data, s->file->out.len)) {
        MSGLOG(3, "nxapi_sendmsg", "error %d trying to flush XDR stream", errno);
        s->errors++;
        return -1;
    }
    s->msgSequence++;
    *header = s->messageHdr;
    if ((s->messageHdr.msgFlags & (MSGF_TASK | MSGF_NOWAIT)) == 0) {
        tcontext->msgRequestID = s->messageHdr.msgRequestID;
        tcontext->msgCategory = s->messageHdr.category;
        tcontext->msgFunction = s->messageHdr.function;
    }
    return 0;
}

int nxapi_send_msg(uint16_t category, uint16_t function, void *body, kyl_xdrproc_t bodyXdr, uint32_t flags,
                   uint32_t time, quor_connection_t *conn, nxapi_tcontext_t *tcontext)
{
    api_msghdr_t h;
    kylgw_BuildMsgHdr(&h, 0, flags, time != 0 ? time : static_cast<uint32_t>(::time(nullptr)), 0, category, function,
                      0);
    return nxapi_CommonSendMsg(conn, tcontext, 1, &h, body, bodyXdr);
}

int kylgw_sendTaskMsg(uint32_t threadID, uint32_t requestID, uint16_t category, uint16_t function, void *body,
                      kyl_xdrproc_t bodyXdr, uint32_t flags, uint32_t time, int32_t errorcode, quor_connection_t *conn,
                      nxapi_tcontext_t *tcontext)
{
    api_msghdr_t h;
    kylgw_BuildMsgHdr(&h, requestID, flags | MSGF_TASK, time != 0 ? time : static_cast<uint32_t>(::time(nullptr)),
                      threadID, category, function, errorcode);
    return nxapi_CommonSendMsg(conn, tcontext, 0, &h, body, bodyXdr);
}

namespace {

// Decodes the next header off the inbound stream unless one is held already,
// and refuses a header the stream cannot be framed past.  Returns 0, or
// KYLGW_E_BADMSG when the connection must be broken.
int holdNextHeader(quor_connection_t *conn) KYL_REQUIRES(conn->msg_in.theMutex)
{
    if (conn->msg_in.messageInState == READING_MSG_HDR) {
        memset(&conn->msg_in.messageHdr, 0, sizeof conn->msg_in.messageHdr);
        bool ok = kylgw_xdr_api_msghdr_t(&conn->msg_in.theXdr, &conn->msg_in.messageHdr);
        if (ok && nxapi_tracing())
            nxapi_tracemsg_hdr(0, conn, &conn->msg_in.messageHdr);
        if (!ok || !kylgw_MsgHdrSane(&conn->msg_in.messageHdr)) {
            MSGLOG(0, "nxapi_getmsg", "%s", "garbage message header received!");
            return KYLGW_E_BADMSG;
        }
        conn->msg_in.messageInState = HAVE_MSG_HDR;
    }
    if (conn->msg_in.messageHdr.msgFlags & MSGF_UNSOLICITED) {
        // Its body type is unknown, so the stream cannot be framed past it.
        MSGLOG(0, "nxapi_getmsg", "%s", "<unsolicited message> header received!");
        return KYLGW_E_BADMSG;
    }
    return 0;
}

// Decodes the body of the held header, this thread's reply, when it has one.
// Returns 0, or a negative code after which the connection must be broken.
int decodeOwnBody(quor_connection_t *conn, void *body, kyl_xdrproc_t bodyXdr) KYL_REQUIRES(conn->msg_in.theMutex)
{
    if ((conn->msg_in.messageHdr.msgFlags & MSGF_BODY) == 0)
        return 0;
    if (bodyXdr == nullptr || body == nullptr) {
        MSGLOG(0, "nxapi_getmsg", "%s", "data passed, but xdrproc or parambuf is NULL!");
        return KYLGW_E_BADMSG;
    }
    if (!bodyXdr(&conn->msg_in.theXdr, body)) {
        MSGLOG(3, "nxapi_getmsg", "caller's XDR function for category %d function %d returned FALSE!",
               conn->msg_in.messageHdr.category, conn->msg_in.messageHdr.function);
        return -1;
    }
    return 0;
}

// The held header is request `held` of another thread.  An expected second
// reply is decoded into its slot at once: its owner may not be receiving
// now, and nothing behind it could be read until it is.  Returns 0, or -1
// after which the connection must be broken.
int stashLaterReply(quor_connection_t *conn, uint32_t held) KYL_REQUIRES(conn->msg_in.theMutex)
{
    nxapi_laterreply_t *l = takeLater(conn, held);
    if (l == nullptr)
        return 0;
    if ((conn->msg_in.messageHdr.msgFlags & MSGF_BODY) != 0 && !l->bodyXdr(&conn->msg_in.theXdr, l->bodyStore)) {
        MSGLOG(3, "nxapi_getmsg", "XDR function for the second reply of category %d function %d returned FALSE!",
               conn->msg_in.messageHdr.category, conn->msg_in.messageHdr.function);
        l->state = NXAPI_LATER_NONE;
        if (l->discard)
            delete l;
        return -1;
    }
    l->header = conn->msg_in.messageHdr;
    l->state = NXAPI_LATER_ARRIVED;
    conn->msg_in.messageInState = READING_MSG_HDR;
    if (l->discard) {
        kyl_xdr_free(l->bodyXdr, l->bodyStore);
        delete l;
    }
    return 0;
}

// Wakes the thread waiting for request `held`, if one waits.
void wakeOwner(quor_connection_t *conn, uint32_t held) KYL_REQUIRES(conn->msg_in.theMutex)
{
    for (nxapi_tcontext_t **pp = &conn->waitReplyList; *pp != nullptr; pp = &(*pp)->msgQNext) {
        if ((*pp)->msgRequestID == held) {
            nxapi_tcontext_t *owner = *pp;
            *pp = owner->msgQNext;
            owner->msgQNext = nullptr;
            wakeContext(owner, 0);
            break;
        }
    }
}

// Consumes the held header, this thread's reply, into *header, keeps track
// of a second reply it announces, and hands the reading role to one waiting
// thread.
void consumeReply(quor_connection_t *conn, nxapi_tcontext_t *tcontext, api_msghdr_t *header)
    KYL_REQUIRES(conn->msg_in.theMutex)
{
    conn->msg_in.messageInState = READING_MSG_HDR;
    *header = conn->msg_in.messageHdr;
    nxapi_laterreply_t *later = &tcontext->later;
    if (later->state == NXAPI_LATER_ARMED) {
        // The first reply of a request with a second one: only a request
        // that succeeded is followed by its second reply.
        later->state = NXAPI_LATER_NONE;
        if (header->errorcode == 0) {
            later->state = NXAPI_LATER_PENDING;
            later->requestID = header->msgRequestID;
            later->category = header->category;
            later->function = header->function;
            later->connection = conn;
            later->next = conn->laterReplies;
            conn->laterReplies = later;
        }
    } else if (later->state == NXAPI_LATER_PENDING && later->requestID == header->msgRequestID) {
        unlinkLater(conn, later);
        later->state = NXAPI_LATER_NONE;
    }
    tcontext->msgInCount++;
    if (nxapi_tcontext_t *next = conn->waitReplyList) {
        conn->waitReplyList = next->msgQNext;
        next->msgQNext = nullptr;
        wakeContext(next, 0);
    }
}

} // namespace

namespace {

// The abandoned entry of request id on conn, as the link that points to
// it; null when there is none.
nxapi_abandoned_t **findAbandoned(quor_connection_t *conn, uint32_t id) KYL_REQUIRES(conn->msg_in.theMutex)
{
    for (nxapi_abandoned_t **pp = &conn->abandoned; *pp != nullptr; pp = &(*pp)->next)
        if ((*pp)->requestID == id)
            return pp;
    return nullptr;
}

// Reads and drops the reply of the held header when nobody waits for it
// any more; its body is skipped with the reply codec of its kind.  Returns
// 1 when dropped, 0 when the header is not abandoned, or KYLGW_E_BADMSG
// when its body cannot be skipped (the connection must be broken).
int dropAbandonedReply(quor_connection_t *conn) KYL_REQUIRES(conn->msg_in.theMutex)
{
    const api_msghdr_t h = conn->msg_in.messageHdr;
    nxapi_abandoned_t **pp = findAbandoned(conn, h.msgRequestID);
    if (pp == nullptr)
        return 0;
    if ((h.msgFlags & MSGF_BODY) != 0) {
        const kylgw_msgtype_t *row = kylgw_LookupMsgType(h.category, h.function);
        void *store = row != nullptr && row->reply != nullptr ? calloc(1, row->replySize) : nullptr;
        bool ok = store != nullptr && row->reply(&conn->msg_in.theXdr, store);
        if (store != nullptr) {
            kyl_xdr_free(row->reply, store);
            free(store);
        }
        if (!ok) {
            MSGLOG(3, "nxapi_getmsg", "the body of an abandoned reply (category %d function %d) cannot be skipped",
                   h.category, h.function);
            return KYLGW_E_BADMSG;
        }
    }
    conn->msg_in.messageInState = READING_MSG_HDR;
    nxapi_abandoned_t *a = *pp;
    if (a->second && h.errorcode == 0) {
        a->second = false; // the second reply follows
        return 1;
    }
    *pp = a->next;
    delete a;
    conn->abandonedCount--;
    return 1;
}

// This thread stops waiting for its reply (code -ETIMEDOUT or -ECANCELED):
// the reply, and a second one its request announced, are dropped when they
// come, and a waiting thread takes over the reading.  A connection that
// cannot keep track of one more abandoned reply is broken.  Returns code.
int abandonReply(quor_connection_t *conn, nxapi_tcontext_t *ctx, int code) KYL_REQUIRES(conn->msg_in.theMutex)
{
    nxapi_laterreply_t *own = &ctx->later;
    bool second = false;
    if (own->state == NXAPI_LATER_ARMED) {
        own->state = NXAPI_LATER_NONE;
        second = true;
    } else if (own->state == NXAPI_LATER_PENDING && own->requestID == ctx->msgRequestID) {
        unlinkLater(conn, own);
        own->state = NXAPI_LATER_NONE;
    }
    auto *a = conn->abandonedCount < NXAPI_MAX_ABANDONED ? new (std::nothrow) nxapi_abandoned_t : nullptr;
    if (a == nullptr) {
        MSGLOG(3, "nxapi_getmsg", "%s", "too many abandoned replies - closing the connection");
        breakConnection(conn, NXAPI_E_NOSESSION);
        return code;
    }
    a->requestID = ctx->msgRequestID;
    a->second = second;
    a->next = conn->abandoned;
    conn->abandoned = a;
    conn->abandonedCount++;
    if (nxapi_tcontext_t *next = conn->reading ? nullptr : conn->waitReplyList) {
        conn->waitReplyList = next->msgQNext;
        next->msgQNext = nullptr;
        wakeContext(next, 0);
    }
    return code;
}

// Points the inbound reader at this thread's limits while it decodes (null
// before the inbound mutex is let go).
void setReaderWait(quor_connection_t *conn, const nxapi_replywait_t *w) KYL_REQUIRES(conn->msg_in.theMutex)
{
    if (conn->msg_in.state != STREAM_CLOSED && conn->msg_in.file != nullptr)
        conn->msg_in.file->reader.wait = w;
}

bool inputBuffered(quor_connection_t *conn) KYL_REQUIRES(conn->msg_in.theMutex)
{
    const nxapi_sockreader_t &r = conn->msg_in.file->reader;
    return r.start != r.end;
}

// Polls the socket for one slice as the connection's reader, without the
// inbound mutex.  True when it became readable.
bool pollAsReader(quor_connection_t *conn) KYL_REQUIRES(conn->msg_in.theMutex)
{
    setReaderWait(conn, nullptr);
    struct pollfd p = {conn->msg_in.fd, POLLIN, 0};
    conn->reading = true;
    conn->msg_in.theMutex.unlock();
    int n = poll(&p, 1, NXAPI_REPLY_SLICE_MS);
    conn->msg_in.theMutex.lock();
    conn->reading = false;
    return n > 0;
}

// Waits one slice on ctx's condition, in conn's waiting list, to be handed
// this thread's reply or the reading.  Returns 0 to look again, or the
// failure that ended every waiter's receive.
int waitTurn(quor_connection_t *conn, nxapi_tcontext_t *ctx) KYL_REQUIRES(conn->msg_in.theMutex)
{
    setReaderWait(conn, nullptr);
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_nsec += NXAPI_REPLY_SLICE_MS * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    ctx->msginMutex.lock();
    ctx->gotMessage = 0;
    ctx->wakeResult = 0;
    ctx->msgQNext = conn->waitReplyList;
    conn->waitReplyList = ctx;
    conn->msg_in.theMutex.unlock();
    while (ctx->gotMessage == 0)
        if (pthread_cond_timedwait(&ctx->msginCondition, ctx->msginMutex.native(), &until) == ETIMEDOUT)
            break;
    ctx->msginMutex.unlock();
    conn->msg_in.theMutex.lock();
    // A waker unlinks whom it wakes; a thread whose slice ran out leaves.
    for (nxapi_tcontext_t **pp = &conn->waitReplyList; *pp != nullptr; pp = &(*pp)->msgQNext)
        if (*pp == ctx) {
            *pp = ctx->msgQNext;
            ctx->msgQNext = nullptr;
            break;
        }
    kyl_lock_guard g(ctx->msginMutex);
    return ctx->gotMessage != 0 ? ctx->wakeResult : 0;
}

// How a receive ended, besides with this thread's reply.
enum receive_end_t { RECEIVE_OK, RECEIVE_LATER, RECEIVE_FAILED, RECEIVE_BROKEN, RECEIVE_ABANDONED, RECEIVE_WOKEN };

// The receive loop of nxapi_get_msg: takes turns at the socket with the
// other waiting threads until this thread's reply header is held (its body
// decoded), the wait ends or the connection fails.  *rc gets the code.
receive_end_t receiveReply(quor_connection_t *conn, nxapi_tcontext_t *tcontext, void *body, kyl_xdrproc_t bodyXdr,
                           const nxapi_replywait_t *w, int *rc) KYL_REQUIRES(conn->msg_in.theMutex)
{
    bool ready = false;
    for (;;) {
        // Another thread may have read this thread's second reply already.
        const nxapi_laterreply_t *own = &tcontext->later;
        if (own->state == NXAPI_LATER_ARRIVED && own->requestID == tcontext->msgRequestID)
            return RECEIVE_LATER;
        if (conn->state.load() != CONNECTION_OPEN || conn->msg_in.state == STREAM_CLOSED) {
            MSGLOG(7, "nxapi_getmsg", "%s", "called for closed connection");
            *rc = NXAPI_E_NOSESSION;
            return RECEIVE_FAILED;
        }
        setReaderWait(conn, w);
        if (conn->msg_in.messageInState == READING_MSG_HDR) {
            if (conn->reading || (!ready && !inputBuffered(conn))) {
                if ((*rc = nxapi_ReplyWaitEnded(w)) != 0) {
                    *rc = abandonReply(conn, tcontext, *rc);
                    return RECEIVE_ABANDONED;
                }
                if (conn->reading) {
                    if ((*rc = waitTurn(conn, tcontext)) != 0)
                        return RECEIVE_WOKEN;
                } else {
                    ready = pollAsReader(conn);
                }
                continue;
            }
            ready = false;
            if ((*rc = holdNextHeader(conn)) != 0)
                return RECEIVE_BROKEN;
        }
        if (conn->msg_in.messageHdr.msgRequestID == tcontext->msgRequestID) {
            *rc = decodeOwnBody(conn, body, bodyXdr);
            return *rc != 0 ? RECEIVE_BROKEN : RECEIVE_OK;
        }

        // The held header belongs to another thread: drop it when nobody
        // waits for it, stash a second reply, wake the owner if it waits,
        // and wait to be handed the reply or the reading (or read on when
        // the header went to a later slot).
        if ((*rc = dropAbandonedReply(conn)) != 0) {
            if (*rc < 0)
                return RECEIVE_BROKEN;
            continue;
        }
        uint32_t held = conn->msg_in.messageHdr.msgRequestID;
        if ((*rc = stashLaterReply(conn, held)) != 0)
            return RECEIVE_BROKEN;
        wakeOwner(conn, held);
        if (conn->msg_in.messageInState == READING_MSG_HDR)
            continue;
        if ((*rc = nxapi_ReplyWaitEnded(w)) != 0) {
            *rc = abandonReply(conn, tcontext, *rc);
            return RECEIVE_ABANDONED;
        }
        if ((*rc = waitTurn(conn, tcontext)) != 0)
            return RECEIVE_WOKEN;
    }
}

} // namespace

int nxapi_get_msg(nxapi_tcontext_t *tcontext, api_msghdr_t *header, void *body, kyl_xdrproc_t bodyXdr,
                  quor_connection_t *conn)
{
    conn = resolveConnection(conn, tcontext);
    if (conn == nullptr || tcontext == nullptr || header == nullptr) {
        MSGLOG(7, "nxapi_getmsg", "%s", "called for closed connection");
        return NXAPI_E_NOSESSION;
    }
    const nxapi_replywait_t w = beginReplyWait(tcontext->msgCategory, tcontext->msgFunction);
    conn->msg_in.theMutex.lock();
    int rc = 0;
    receive_end_t end = receiveReply(conn, tcontext, body, bodyXdr, &w, &rc);
    setReaderWait(conn, nullptr);
    if (end == RECEIVE_LATER) {
        *header = tcontext->later.header;
        tcontext->later.state = NXAPI_LATER_NONE;
    } else if (end == RECEIVE_OK) {
        consumeReply(conn, tcontext, header);
    } else if (end == RECEIVE_BROKEN) {
        breakConnection(conn, rc);
    } else if (end == RECEIVE_FAILED) {
        wakeAllWaiters(conn, rc);
    }
    conn->msg_in.theMutex.unlock();
    if (end == RECEIVE_ABANDONED && rc == -ETIMEDOUT) {
        char name[64];
        requestName(tcontext->msgCategory, tcontext->msgFunction, name, sizeof name);
        nxapi_Print("*** %s: no reply from the gateway within %d seconds - request abandoned\n", name, w.seconds);
    }
    return rc;
}

void nxapi_ArmLaterReply(nxapi_tcontext_t *tcontext, kyl_xdrproc_t bodyXdr)
{
    nxapi_AbandonLaterReply(tcontext);
    nxapi_laterreply_t *l = &tcontext->later;
    memset(l->bodyStore, 0, sizeof l->bodyStore);
    l->header = api_msghdr_t{};
    l->bodyXdr = bodyXdr;
    l->state = NXAPI_LATER_ARMED;
}

int nxapi_GetLaterReply(nxapi_tcontext_t *tcontext, api_msghdr_t *header)
{
    nxapi_laterreply_t *l = &tcontext->later;
    quor_connection_t *conn = l->connection;
    if (conn == nullptr)
        return -EINVAL;
    tcontext->msgRequestID = l->requestID;
    tcontext->msgCategory = l->category;
    tcontext->msgFunction = l->function;
    int rc = nxapi_get_msg(tcontext, header, l->bodyStore, l->bodyXdr, conn);
    nxapi_ForgetLaterReply(tcontext);
    return rc;
}

void nxapi_ForgetLaterReply(nxapi_tcontext_t *tcontext)
{
    nxapi_laterreply_t *l = &tcontext->later;
    if (quor_connection_t *conn = l->connection) {
        kyl_lock_guard g(conn->msg_in.theMutex);
        unlinkLater(conn, l);
        l->state = NXAPI_LATER_NONE;
    }
    l->state = NXAPI_LATER_NONE;
    l->connection = nullptr;
}

void nxapi_AbandonLaterReply(nxapi_tcontext_t *tcontext)
{
    nxapi_laterreply_t *l = &tcontext->later;
    if (quor_connection_t *conn = l->connection) {
        kyl_lock_guard g(conn->msg_in.theMutex);
        if (l->state == NXAPI_LATER_PENDING) {
            // A copy takes the slot's place in the list, so that the slot can
            // serve this thread's next request.
            unlinkLater(conn, l);
            auto *copy = new (std::nothrow) nxapi_laterreply_t;
            if (copy != nullptr) {
                copy->state = NXAPI_LATER_PENDING;
                copy->requestID = l->requestID;
                copy->bodyXdr = l->bodyXdr;
                copy->discard = true;
                copy->next = conn->laterReplies;
                conn->laterReplies = copy;
            }
        } else if (l->state == NXAPI_LATER_ARRIVED) {
            kyl_xdr_free(l->bodyXdr, l->bodyStore);
        }
        l->state = NXAPI_LATER_NONE;
    }
    l->state = NXAPI_LATER_NONE;
    l->connection = nullptr;
}

void quor_SetStopHook(int (*stopped)(void *arg), void *arg)
{
    stopArg.store(arg);
    stopHook.store(stopped);
}

bool nxapi_StopRequested()
{
    return stopRequested();
}

int nxapi_ReplyWaitEnded(const nxapi_replywait_t *w)
{
    if (!w->stoppedAtStart && stopRequested())
        return -ECANCELED;
    if (!w->limited)
        return 0;
    const struct timespec now = monotonicNow();
    const bool past =
        now.tv_sec > w->deadline.tv_sec || (now.tv_sec == w->deadline.tv_sec && now.tv_nsec >= w->deadline.tv_nsec);
    return past ? -ETIMEDOUT : 0;
}

int nxapi_ReplyLimitSeconds(uint16_t category, uint16_t function)
{
    if (const char *v = getenv("QUOR_REPLY_TIMEOUT"); v != nullptr && *v != '\0') {
        char *end = nullptr;
        long n = strtol(v, &end, 10); // an overflow gives LONG_MAX, out of range
        if (end != v && *end == '\0' && n >= 0 && n <= kMaxReplySeconds)
            return static_cast<int>(n);
    }
    // Replies that may legitimately take hours: a list transfer waits for
    // its movers (and they for a mount), an open for its data to be staged.
    if (category == CAT_FILESYS && (function == FN_FS_READLIST || function == FN_FS_WRITELIST ||
                                    function == FN_FS_OPEN || function == FN_FS_OPENX))
        return 0;
    return kDefaultReplySeconds;
}
