// Serves one client connection on its session thread (see gw_session.h).
// The session thread is the only reader of the socket: it decodes each
// request whole (header, then the body with the catalogue's codec, whose
// caps bound every allocation) before anything is served.  Replies go out
// through gw_reply under the connection's output mutex, from this thread or
// from workers.  Locks: c.jobsMutex around the count of running jobs.

#include "gw_session.h"

#include "gw_auth.h"
#include "gw_config.h"
#include "gw_events.h"
#include "gw_faults.h"
#include "gw_fileops.h"
#include "gw_lfx.h"
#include "gw_log.h"
#include "gw_proto.h"
#include "gw_reply.h"
#include "gw_workers.h"

#include <kylgw_catalogue.h>
#include <kylgw_errors.h>
#include <kylgw_msg.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <vector>

// Written on the main thread during start-up only.
static const char *gw_faultsPath = nullptr;

void gw_SessionSetup(const char *faultsPath)
{
    gw_faultsPath = faultsPath;
}

namespace {

// Milliseconds from now until t (CLOCK_MONOTONIC), 0 once it has passed.
int64_t msUntil(const struct timespec &t)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t ms = (static_cast<int64_t>(t.tv_sec) - now.tv_sec) * 1000 + (t.tv_nsec - now.tv_nsec) / 1000000;
    return ms > 0 ? ms : 0;
}

// Buffered reader of the connection, the decode source of every message.
// A message that has begun must go on arriving within GW_READ_TIMEOUT_MS.
// Until the connection has logged in, every wait also ends at the login
// deadline.
struct SockSource : kyl_xdr_source {
    explicit SockSource(int sock) : fd(sock), buf(GW_READ_BUFFER) {}

    int fd;
    std::vector<unsigned char> buf;
    size_t pos = 0, len = 0;
    bool eof = false;                    // the peer closed its side
    int err = 0;                         // -errno of a failed read, -ETIMEDOUT after a timeout
    const gw_conn_t *conn = nullptr;     // whose login lifts the deadline
    gw_session_state_t *state = nullptr; // told when bytes arrive before the login
    bool hasDeadline = false;
    struct timespec loginDeadline {}; // CLOCK_MONOTONIC, while hasDeadline
    bool loginExpired = false;        // a wait ended at the login deadline

    // True (and noted) once the login deadline has passed without a login
    // (which a worker may have served while this thread waited).
    bool pastLoginDeadline()
    {
        if (hasDeadline && conn != nullptr && conn->user.load() != nullptr)
            hasDeadline = false;
        if (hasDeadline && !loginExpired && msUntil(loginDeadline) == 0) {
            loginExpired = true;
            err = -ETIMEDOUT;
        }
        return loginExpired;
    }

    // Reads more bytes, waiting at most timeoutMs.  False at end of input,
    // on an error or a timeout (eof or err tells which).
    bool fill(int timeoutMs)
    {
        if (eof || err != 0)
            return false;
        for (;;) {
            ssize_t got = recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
            if (got > 0) {
                pos = 0;
                len = static_cast<size_t>(got);
                if (state != nullptr && !state->loggedIn.load(std::memory_order_relaxed))
                    state->lastRecvMs.store(gw_MonotonicMs(), std::memory_order_relaxed);
                return true;
            }
            if (got == 0) {
                eof = true;
                return false;
            }
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                err = -errno;
                return false;
            }
            if (pastLoginDeadline())
                return false;
            int waitMs = timeoutMs;
            if (hasDeadline && msUntil(loginDeadline) < waitMs)
                waitMs = static_cast<int>(msUntil(loginDeadline)) + 1; // wake just past it
            struct pollfd pfd = {fd, POLLIN, 0};
            int rc = poll(&pfd, 1, waitMs);
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc == 0) {
                if (!pastLoginDeadline())
                    err = -ETIMEDOUT;
                return false;
            }
            if (rc < 0) {
                err = -errno;
                return false;
            }
        }
    }

    bool get(unsigned char *out, size_t n) override
    {
        while (n > 0) {
            if (pos == len && !fill(GW_READ_TIMEOUT_MS))
                return false;
            size_t take = len - pos < n ? len - pos : n;
            memcpy(out, buf.data() + pos, take);
            pos += take;
            out += take;
            n -= take;
        }
        return true;
    }

    // Waits for the first byte of the next message: 1 when it is there, 0
    // at end of input, negative on an error or when the session was idle
    // for GW_IDLE_TIMEOUT_MS.
    int waitMessage()
    {
        if (pos < len)
            return 1;
        if (fill(GW_IDLE_TIMEOUT_MS))
            return 1;
        return eof ? 0 : err;
    }

    // Why reading a begun message failed, for the log.
    const char *midMessageReason() const
    {
        if (loginExpired)
            return GW_LOGIN_TIMEOUT_REASON;
        if (eof)
            return "connection closed in the middle of a message";
        if (err == -ETIMEDOUT)
            return "timed out in the middle of a message";
        if (err == -ECONNRESET)
            return "connection reset in the middle of a message";
        if (err != 0)
            return "read failed in the middle of a message";
        return nullptr;
    }
};

// A request handed to a worker.
struct SessionJob {
    gw_conn_t *c;
    gw_request_t req;
    uint32_t delayMs;
    bool pause; // held until the fault's file exists
};

// Holds a reply back for ms milliseconds, or until the connection closes.
void holdBack(gw_conn_t *c, uint32_t ms)
{
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += ms / 1000;
    until.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec++;
        until.tv_nsec -= 1000000000L;
    }
    kyl_lock_guard g(c->jobsMutex);
    while (!c->closing.load()) {
        int rc = pthread_cond_clockwait(&c->jobsCond, c->jobsMutex.native(), CLOCK_MONOTONIC, &until);
        if (rc == ETIMEDOUT)
            break;
    }
}

// Holds a reply back until path exists, the connection closes or the
// longest stall passes.
void holdUntil(gw_conn_t *c, const std::string &path)
{
    struct stat st;
    for (uint32_t waited = 0; waited < GW_FAULTS_MAX_STALL * 50 && stat(path.c_str(), &st) != 0; waited++) {
        if (c->closing.load())
            return;
        holdBack(c, 20);
    }
}

// Runs one job: the held-back wait, if any, then the request.  Frees the
// job and, as its very last step, tells the session it has ended.
void runJob(void *arg)
{
    auto *job = static_cast<SessionJob *>(arg);
    gw_conn_t *c = job->c;
    if (job->delayMs > 0) {
        gw_FaultFired(c, "delay_reply", &job->req.hdr);
        holdBack(c, job->delayMs);
    }
    struct stat st;
    if (job->pause && stat(c->faults.pausePath.c_str(), &st) != 0) {
        gw_FaultFired(c, "pause_until", &job->req.hdr);
        holdUntil(c, c->faults.pausePath);
    }
    if (c->closing.load())
        gw_RequestEvent(c, &job->req, 0, "closed");
    else
        (void)gw_ServeRequest(c, &job->req);
    gw_RequestFree(&job->req);
    delete job;
    kyl_lock_guard g(c->jobsMutex);
    c->jobs--;
    pthread_cond_broadcast(&c->jobsCond);
}

// Hands req to a worker (or runs it here when the pool is full).  Takes
// ownership of req's body.
void startJob(gw_conn_t *c, gw_request_t *req, uint32_t delayMs, bool pause = false)
{
    auto *job = new (std::nothrow) SessionJob{c, *req, delayMs, pause};
    if (job == nullptr) {
        (void)gw_ServeRequest(c, req);
        gw_RequestFree(req);
        return;
    }
    req->body = nullptr;
    {
        kyl_lock_guard g(c->jobsMutex);
        c->jobs++;
    }
    if (gw_WorkersSubmit(runJob, job) != 0)
        runJob(job);
}

// Logs the end of a session caused by one request, with the request's event
// line, and returns reason.
const char *closeOn(gw_conn_t *c, const gw_request_t *req, const char *reason)
{
    const api_msghdr_t &h = req->hdr;
    gw_Log("session %llu: request %u/%u id %u flags 0x%x: %s; closing the connection",
           static_cast<unsigned long long>(c->id), h.category, h.function, h.msgRequestID, h.msgFlags, reason);
    gw_RequestEvent(c, req, 0, "closed");
    return reason;
}

// Once the connection has logged in, lifts the login deadline and tells the
// listener, which no longer counts it as waiting to log in.
void noteLogin(const gw_conn_t *c, SockSource *src)
{
    if (c->user.load() == nullptr)
        return;
    src->hasDeadline = false;
    if (src->state == nullptr || src->state->loggedIn.load())
        return;
    if (src->state->acceptUnlogged) {
        gw_Log("session %llu: accepted connection from %s", static_cast<unsigned long long>(c->id), c->peer);
        gw_event("session_open").num("session", static_cast<int64_t>(c->id)).str("peer", c->peer).emit();
    }
    src->state->loggedIn.store(true);
}

// Reads and serves requests until the connection ends; returns why.
const char *serveRequests(gw_conn_t *c, SockSource *src)
{
    for (;;) {
        noteLogin(c, src);
        // Checked before every request too: a client that keeps talking
        // without logging in is still held to the deadline.
        if (src->pastLoginDeadline())
            return GW_LOGIN_TIMEOUT_REASON;
        int w = src->waitMessage();
        if (w == 0)
            return "client closed the connection";
        if (w < 0)
            return src->loginExpired ? GW_LOGIN_TIMEOUT_REASON : w == -ETIMEDOUT ? "idle timeout" : "read failed";
        if (c->closing.load())
            return "connection closed";

        gw_request_t req;
        kyl_xdr_t x;
        kyl_xdr_create_decode(&x, src);
        if (!kylgw_xdr_api_msghdr_t(&x, &req.hdr)) {
            const char *why = src->midMessageReason();
            if (why == nullptr)
                why = "garbage message header"; // a 16-bit field with its upper half set
            gw_Log("session %llu: %s (in a message header); closing the connection",
                   static_cast<unsigned long long>(c->id), why);
            return why;
        }
        clock_gettime(CLOCK_MONOTONIC, &req.start);
        const api_msghdr_t &h = req.hdr;
        if (!kylgw_MsgHdrSane(&h)) {
            char hex[8 * 2 + 1];
            for (size_t i = 0; i < sizeof h.sanity; i++)
                snprintf(hex + 2 * i, 3, "%02x", static_cast<unsigned char>(h.sanity[i]));
            gw_Log("session %llu: garbage message header (sanity bytes %s); closing the connection",
                   static_cast<unsigned long long>(c->id), hex);
            gw_RequestEvent(c, &req, 0, "closed");
            return "garbage message header";
        }

        const bool hasBody = (h.msgFlags & MSGF_BODY) != 0;
        const bool isTask = (h.msgFlags & MSGF_TASK) != 0;
        req.row = kylgw_LookupMsgType(h.category, h.function);
        if (hasBody && (req.row == nullptr || req.row->request == nullptr))
            return closeOn(c, &req, "a body of unknown type cannot be skipped");

        if (req.row == nullptr || (req.row->request != nullptr && !hasBody)) {
            if (isTask) {
                gw_Log("session %llu: task message %u/%u id %u without a body: dropped",
                       static_cast<unsigned long long>(c->id), h.category, h.function, h.msgRequestID);
                gw_RequestEvent(c, &req, 0, "dropped");
                continue;
            }
            int32_t code = req.row == nullptr && h.category == CAT_AUTH ? KYLGW_E_AUTHFUNC : -EINVAL;
            gw_Log("session %llu: request %u/%u id %u: %s; replying %d", static_cast<unsigned long long>(c->id),
                   h.category, h.function, h.msgRequestID, req.row == nullptr ? "unknown function" : "body missing",
                   static_cast<int>(code));
            if (gw_SendReply(c, &req, code, nullptr, nullptr) != 0)
                return "connection closed";
            continue;
        }

        if (hasBody) {
            req.body = calloc(1, req.row->requestSize > 0 ? req.row->requestSize : 1);
            if (req.body == nullptr)
                return closeOn(c, &req, "out of memory for a request body");
            if (!req.row->request(&x, req.body)) {
                const char *why = src->midMessageReason();
                if (why == nullptr)
                    why = "request body does not decode (a count or length past its cap, or a bad value)";
                closeOn(c, &req, why);
                gw_RequestFree(&req);
                return why;
            }
        }

        if (isTask) {
            // Only a PAM conversation reply is a task message: it goes to
            // the login waiting for it.
            if (gw_AuthTaskMessage(c, &req)) {
                gw_RequestFree(&req);
                if (c->closing.load())
                    return "connection closed";
                continue;
            }
            gw_Log("session %llu: task message %u/%u id %u thread %u: no login waits for it; dropped",
                   static_cast<unsigned long long>(c->id), h.category, h.function, h.msgRequestID, h.threadID);
            gw_RequestEvent(c, &req, 0, "dropped");
            gw_RequestFree(&req);
            continue;
        }

        if (gw_FaultOpIs(c->faults.delayReply, h.category, h.function)) {
            startJob(c, &req, c->faults.delayMs);
        } else if (!c->faults.pausePath.empty() && gw_FaultOpIs(c->faults.pauseOp, h.category, h.function)) {
            startJob(c, &req, 0, true);
        } else if (gw_RequestIsSlow(h.category, h.function)) {
            startJob(c, &req, 0);
        } else {
            (void)gw_ServeRequest(c, &req);
            gw_RequestFree(&req);
        }
        if (c->closing.load())
            return "connection closed";
    }
}

} // namespace

int64_t gw_MonotonicMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

const char *gw_SessionServe(int fd, uint64_t sessionId, const char *peer, gw_session_state_t *state)
{
    gw_conn_t c;
    c.fd = fd;
    c.id = sessionId;
    c.peer = peer;
    c.auth = gw_AuthNew();
    if (c.auth == nullptr) {
        gw_Log("session %llu: out of memory for the login state", static_cast<unsigned long long>(sessionId));
        return "out of memory";
    }
    c.fs = gw_FsNew();

    std::vector<std::string> problems;
    int rc = gw_FaultsLoad(gw_faultsPath, &c.faults, &problems);
    if (rc != 0)
        gw_Log("session %llu: cannot read the fault script %s: %s", static_cast<unsigned long long>(sessionId),
               gw_faultsPath, strerror(-rc));
    for (const std::string &p : problems)
        gw_Log("session %llu: fault script %s: %s", static_cast<unsigned long long>(sessionId), gw_faultsPath,
               p.c_str());
    if (!problems.empty()) {
        // A test must never run without the fault it asked for.
        gw_AuthFree(c.auth);
        gw_FsFree(c.fs);
        pthread_cond_destroy(&c.jobsCond);
        return "the fault script has unknown keys or bad values";
    }
    gw_FaultsSessionStart(c.faults);
    {
        kyl_lock_guard g(c.outMutex);
        c.garbagePending = c.faults.garbageHeader;
        c.unsolicitedPending = c.faults.unsolicited;
    }

    const char *reason;
    api_server_state_rply_t greeting;
    gw_BuildGreeting(&c, sessionId, &greeting);
    if (greeting.quorDownFlag != 0)
        gw_FaultFired(&c, "down", nullptr);
    if (gw_SendGreeting(&c, &greeting) != 0) {
        reason = "the greeting could not be sent";
    } else {
        SockSource src(fd);
        src.conn = &c;
        src.state = state;
        const uint32_t loginSecs = gw_ProtoConfig()->site.login_timeout;
        if (loginSecs > 0) {
            clock_gettime(CLOCK_MONOTONIC, &src.loginDeadline);
            src.loginDeadline.tv_sec += static_cast<time_t>(loginSecs);
            src.hasDeadline = true;
        }
        reason = serveRequests(&c, &src);
    }

    // Wake held-back jobs and wait until every job of this connection has
    // ended: they use c, which lives on this stack.
    c.closing.store(true);
    {
        kyl_lock_guard g(c.jobsMutex);
        pthread_cond_broadcast(&c.jobsCond);
        while (c.jobs > 0)
            pthread_cond_wait(&c.jobsCond, c.jobsMutex.native());
    }
    pthread_cond_destroy(&c.jobsCond);
    gw_AuthFree(c.auth);
    c.auth = nullptr;
    gw_LfxPoolClose(&c);
    gw_FsFree(c.fs);
    c.fs = nullptr;
    const char *byFault = c.closeReason.load();
    if (byFault != nullptr)
        return byFault;
    return state != nullptr && state->evicted.load() ? GW_EVICTED_REASON : reason;
}
