// Messages out of kylgwd (see gw_reply.h).  Called from the session thread
// and from worker threads.  Takes c->outMutex around each write (and the
// one-shot fault flags) and c->jobsMutex only to wake waiting jobs; never
// both at once.

#include "gw_reply.h"

#include "gw_events.h"
#include "gw_log.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>

namespace {

// Replies counted by drop_conn=OP,N across the daemon's sessions: the
// client reconnects after the drop, and its new session must not count
// from 1 again.  A session whose script counts no drop starts the count
// afresh.  Atomic: every session thread and worker adds to it.
std::atomic<uint32_t> dropConnSeen{0};

// True when the reply to rq is the one the session's drop_conn fault
// closes the connection on.
bool dropConnFires(const gw_faults_t &f, const api_msghdr_t &rq)
{
    if (!gw_FaultOpIs(f.dropConn, rq.category, rq.function))
        return false;
    return f.dropConnNth == 0 || dropConnSeen.fetch_add(1) + 1 == f.dropConnNth;
}

} // namespace

void gw_RequestFree(gw_request_t *req)
{
    if (req->body != nullptr) {
        if (req->row != nullptr && req->row->request != nullptr)
            kyl_xdr_free(req->row->request, req->body);
        free(req->body);
        req->body = nullptr;
    }
}

void gw_FaultsSessionStart(const gw_faults_t &f)
{
    if (f.dropConnNth == 0)
        dropConnSeen.store(0);
}

void gw_ConnShutdown(gw_conn_t *c, const char *reason)
{
    const char *none = nullptr;
    if (reason != nullptr)
        c->closeReason.compare_exchange_strong(none, reason);
    c->closing.store(true);
    shutdown(c->fd, SHUT_RDWR);
    kyl_lock_guard g(c->jobsMutex);
    pthread_cond_broadcast(&c->jobsCond);
}

int gw_WriteAll(gw_conn_t *c, const unsigned char *data, size_t len)
{
    size_t off = 0;
    while (off < len) {
        ssize_t w = send(c->fd, data + off, len - off, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w > 0) {
            off += static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            struct pollfd pfd = {c->fd, POLLOUT, 0};
            int rc = poll(&pfd, 1, GW_WRITE_TIMEOUT_MS);
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc == 0)
                return -ETIMEDOUT;
            if (rc < 0)
                return -errno;
            continue;
        }
        return w < 0 ? -errno : -EPIPE;
    }
    return 0;
}

static int64_t gw_ElapsedMs(const struct timespec &start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (static_cast<int64_t>(now.tv_sec) - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
}

void gw_RequestEvent(const gw_conn_t *c, const gw_request_t *req, int32_t errorcode, const char *outcome)
{
    gw_event("request")
        .num("session", static_cast<int64_t>(c->id))
        .num("category", req->hdr.category)
        .num("function", req->hdr.function)
        .num("id", req->hdr.msgRequestID)
        .num("errorcode", errorcode)
        .num("ms", gw_ElapsedMs(req->start))
        .str("outcome", outcome)
        .emit();
}

void gw_FaultFired(const gw_conn_t *c, const char *name, const api_msghdr_t *hdr)
{
    if (hdr != nullptr) {
        gw_Log("session %llu: fault %s fired on %u/%u id %u", static_cast<unsigned long long>(c->id), name,
               hdr->category, hdr->function, hdr->msgRequestID);
        gw_event("fault")
            .num("session", static_cast<int64_t>(c->id))
            .str("fault", name)
            .num("category", hdr->category)
            .num("function", hdr->function)
            .num("id", hdr->msgRequestID)
            .emit();
    } else {
        gw_Log("session %llu: fault %s fired", static_cast<unsigned long long>(c->id), name);
        gw_event("fault").num("session", static_cast<int64_t>(c->id)).str("fault", name).emit();
    }
}

int gw_SendGreeting(gw_conn_t *c, const api_server_state_rply_t *state)
{
    api_msghdr_t h;
    kylgw_BuildMsgHdr(&h, 0, MSGF_BODY, static_cast<uint32_t>(time(nullptr)), 0, CAT_CONNECTION, FN_GREETING, 0);
    api_server_state_rply_t body = *state;
    kyl_xdr_outbuf out;
    kyl_xdr_t x;
    kyl_xdr_create_encode(&x, &out);
    int rc = -ENOMEM;
    if (kylgw_xdr_api_msghdr_t(&x, &h) && xdr_api_server_state_rply_t(&x, &body)) {
        kyl_lock_guard g(c->outMutex);
        rc = gw_WriteAll(c, out.data, out.len);
    }
    kyl_xdr_outbuf_free(&out);
    return rc;
}

int gw_SendServerRequest(gw_conn_t *c, uint32_t requestId, uint32_t threadId, uint16_t category, uint16_t function,
                         kyl_xdrproc_t proc, void *body)
{
    if (c->closing.load())
        return -ECONNABORTED;
    api_msghdr_t h;
    kylgw_BuildMsgHdr(&h, requestId, MSGF_BODY, static_cast<uint32_t>(time(nullptr)), threadId, category, function, 0);
    kyl_xdr_outbuf out;
    kyl_xdr_t x;
    kyl_xdr_create_encode(&x, &out);
    int rc = -EPROTO;
    if (kylgw_xdr_api_msghdr_t(&x, &h) && proc(&x, body)) {
        kyl_lock_guard g(c->outMutex);
        rc = gw_WriteAll(c, out.data, out.len);
    }
    kyl_xdr_outbuf_free(&out);
    if (rc != 0) {
        gw_Log("session %llu: cannot send request %u/%u id %u: %s", static_cast<unsigned long long>(c->id), category,
               function, requestId, strerror(-rc));
        gw_ConnShutdown(c, "a request could not be sent");
    }
    return rc;
}

static int gw_SendReplyImpl(gw_conn_t *c, const gw_request_t *req, int32_t errorcode, kyl_xdrproc_t proc, void *body,
                            bool bodyOnFailure)
{
    const api_msghdr_t &rq = req->hdr;
    const gw_faults_t &f = c->faults;
    if (c->closing.load()) {
        gw_RequestEvent(c, req, errorcode, "closed");
        return -ECONNABORTED;
    }
    if (dropConnFires(f, rq)) {
        gw_FaultFired(c, "drop_conn", &rq);
        gw_RequestEvent(c, req, errorcode, "dropped");
        gw_ConnShutdown(c, "closed by the drop_conn fault");
        return -ECONNABORTED;
    }

    bool withBody = proc != nullptr && body != nullptr && (errorcode >= 0 || bodyOnFailure);
    if (withBody && gw_FaultOpIs(f.replyNobody, rq.category, rq.function)) {
        gw_FaultFired(c, "reply_nobody", &rq);
        withBody = false;
    }
    bool truncate = withBody && gw_FaultOpIs(f.truncateBody, rq.category, rq.function);

    api_msghdr_t h;
    kylgw_BuildMsgHdr(&h, rq.msgRequestID, withBody ? MSGF_BODY : 0, static_cast<uint32_t>(time(nullptr)), 0,
                      rq.category, rq.function, errorcode);

    int rc = 0;
    const char *outcome = "reply";
    {
        kyl_lock_guard g(c->outMutex);
        bool garbage = c->garbagePending;
        bool unsolicited = c->unsolicitedPending;
        c->garbagePending = c->unsolicitedPending = false;
        if (unsolicited)
            h.msgFlags |= MSGF_UNSOLICITED;

        kyl_xdr_outbuf out;
        kyl_xdr_t x;
        kyl_xdr_create_encode(&x, &out);
        if (!kylgw_xdr_api_msghdr_t(&x, &h) || (withBody && !proc(&x, body))) {
            // Our own record does not encode: a bug, never the client's doing.
            gw_Log("session %llu: cannot encode the reply to %u/%u id %u", static_cast<unsigned long long>(c->id),
                   rq.category, rq.function, rq.msgRequestID);
            kyl_xdr_outbuf_free(&out);
            rc = -EPROTO;
        }
        if (rc == 0) {
            if (garbage)
                memcpy(out.data, "GARBAGE!", sizeof h.sanity);
            size_t len = out.len;
            if (truncate)
                len = KYLGW_MSGHDR_SIZE + (out.len - KYLGW_MSGHDR_SIZE) / 2;
            rc = gw_WriteAll(c, out.data, len);
            kyl_xdr_outbuf_free(&out);
        }
        if (garbage)
            outcome = "garbage_header";
        else if (unsolicited)
            outcome = "unsolicited";
        if (garbage)
            gw_FaultFired(c, "garbage_header", &rq);
        if (unsolicited)
            gw_FaultFired(c, "unsolicited", &rq);
    }
    if (rc == 0 && truncate) {
        gw_FaultFired(c, "truncate_body", &rq);
        gw_RequestEvent(c, req, errorcode, "truncated");
        gw_ConnShutdown(c, "closed by the truncate_body fault");
        return -ECONNABORTED;
    }
    if (rc == -EPROTO) {
        gw_RequestEvent(c, req, errorcode, "closed");
        gw_ConnShutdown(c, "a reply could not be encoded");
        return rc;
    }
    if (rc != 0) {
        gw_Log("session %llu: cannot send the reply to %u/%u id %u: %s", static_cast<unsigned long long>(c->id),
               rq.category, rq.function, rq.msgRequestID, strerror(-rc));
        gw_RequestEvent(c, req, errorcode, "closed");
        gw_ConnShutdown(c, "a reply could not be sent");
        return rc;
    }
    gw_RequestEvent(c, req, errorcode, outcome);
    return 0;
}

int gw_SendReply(gw_conn_t *c, const gw_request_t *req, int32_t errorcode, kyl_xdrproc_t proc, void *body)
{
    return gw_SendReplyImpl(c, req, errorcode, proc, body, false);
}

int gw_SendReplyBody(gw_conn_t *c, const gw_request_t *req, int32_t errorcode, kyl_xdrproc_t proc, void *body)
{
    return gw_SendReplyImpl(c, req, errorcode, proc, body, true);
}
