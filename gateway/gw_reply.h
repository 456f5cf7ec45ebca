#ifndef GW_REPLY_H
#define GW_REPLY_H

// One client connection as the session reader and the worker threads share
// it, and everything that goes out on it: the greeting and the replies.
// Every message is encoded whole and written under the connection's output
// mutex, so replies from several threads never interleave; replies may
// leave in any order (the client matches them by request id).  The reply
// faults of the session's script (bad sanity, unsolicited flag, no body,
// cut body, dropped connection) are applied here, and every request ends
// with one "request" line in the event log.

#include "gw_faults.h"

#include <kyl_mutex.h>
#include <kylgw_catalogue.h>
#include <kylgw_msg.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <pthread.h>
#include <utility>
#include <vector>

// Longest wait for a socket to accept more bytes of a reply.
constexpr int GW_WRITE_TIMEOUT_MS = 60000;

// Results kylgwd replies with: 0, a negated errno value (-ENOSYS for an
// operation this build does not serve, -EINVAL for an unknown function or a
// missing body, -EACCES before the session has authenticated), or a named
// KYLGW_E_* code of kylgw_errors.h.

struct gw_auth_t;
struct gw_fs_t;
struct gw_user_t;

struct gw_conn_t {
    // Constant after the session started.
    int fd = -1;
    uint64_t id = 0;
    const char *peer = "";
    gw_faults_t faults{};

    // Login state of the connection (gw_auth.h): created and used by the
    // session thread only, which serves every authentication message.
    gw_auth_t *auth = nullptr;
    // The authenticated user (an entry of the configuration, constant), or
    // null.  Set once by the session thread; workers read it.
    std::atomic<const gw_user_t *> user{nullptr};
    // File-operation state of the session (gw_fileops.h): created and
    // freed by the session thread; its own mutex guards its contents.
    gw_fs_t *fs = nullptr;

    // Guards every write to fd and the one-shot reply faults.
    kyl_mutex_t outMutex;
    bool garbagePending KYL_GUARDED_BY(outMutex) = false;
    bool unsolicitedPending KYL_GUARDED_BY(outMutex) = false;

    // Bytes of gateway log lines this session has had written, and whether
    // its log was cut at the site's max_log_bytes_per_session.
    std::atomic<uint64_t> logBytes{0};
    std::atomic<bool> logCut{false};

    // Sequential transfers failed so far by the eio_read, enospc_write and
    // seq_eio faults.
    std::atomic<uint32_t> eioReadFired{0};
    std::atomic<uint32_t> enospcWriteFired{0};
    std::atomic<uint32_t> seqEioFired{0};
    // List transfers failed so far by each fault at a file offset, and
    // whether success_zero fired.
    std::atomic<uint32_t> atFaultFired[5]{};
    std::atomic<bool> successZeroFired{false};
    // List requests whose first mover the mover_die fault has killed.
    std::atomic<uint32_t> moverDieFired{0};

    // Data connections of finished local-file transfers kept for reuse,
    // by the client's pool id (gw_lfx.h); closed when the session ends.
    kyl_mutex_t lfxPoolMutex;
    std::vector<std::pair<uint32_t, int>> lfxPool KYL_GUARDED_BY(lfxPoolMutex);

    // Set once the connection is being closed; nothing is written after.
    std::atomic<bool> closing{false};
    // Why the connection was closed from a worker (a static text), or null.
    std::atomic<const char *> closeReason{nullptr};

    // Guards jobs; jobsCond (used with jobsMutex) is signalled when a job
    // ends and when the connection starts closing.
    kyl_mutex_t jobsMutex;
    int jobs KYL_GUARDED_BY(jobsMutex) = 0;
    pthread_cond_t jobsCond = PTHREAD_COND_INITIALIZER;
};

// A decoded request.  body is a record of row->requestSize bytes decoded
// with row->request (null when the request has none); gw_RequestFree
// releases it.
struct gw_request_t {
    api_msghdr_t hdr{};
    const kylgw_msgtype_t *row = nullptr;
    void *body = nullptr;
    struct timespec start {}; // CLOCK_MONOTONIC when the header arrived
};
void gw_RequestFree(gw_request_t *req);

// Starts closing the connection from any thread: marks it closing, wakes
// waiting jobs and shuts the socket down so the session reader ends.
// reason (a static text) is kept when it is the first.
void gw_ConnShutdown(gw_conn_t *c, const char *reason);

// Called when a session has read its fault script: a script that counts no
// drop_conn=OP,N starts that count afresh for the sessions after it.
void gw_FaultsSessionStart(const gw_faults_t &f);

// Writes len bytes whole, waiting at most GW_WRITE_TIMEOUT_MS for room each
// time.  Caller holds c->outMutex.  Returns 0 or -errno (-ETIMEDOUT).
int gw_WriteAll(gw_conn_t *c, const unsigned char *data, size_t len) KYL_REQUIRES(c->outMutex);

// Sends the greeting (request id 0, category 256, function 0, body flag).
// Returns 0 or -errno.
int gw_SendGreeting(gw_conn_t *c, const api_server_state_rply_t *state);

// Sends the reply to req: same request id, category and function, thread
// id 0, errorcode, and the body encoded with proc when proc and body are
// given and errorcode is not negative.  Applies the reply faults and writes
// the request's event line.  Returns 0 when the reply went out (possibly
// altered by a fault), or a negative errno when the connection failed or a
// fault closed it.
int gw_SendReply(gw_conn_t *c, const gw_request_t *req, int32_t errorcode, kyl_xdrproc_t proc, void *body);

// As gw_SendReply, but the body goes out even with a negative errorcode
// (login replies carry their flags and texts with a refusal).
int gw_SendReplyBody(gw_conn_t *c, const gw_request_t *req, int32_t errorcode, kyl_xdrproc_t proc, void *body);

// Sends a server-originated request: header requestId, threadId, category,
// function, errorcode 0, body flag and the body encoded with proc.  No
// reply faults apply.  Returns 0 or a negative errno (the connection is
// then being closed).
int gw_SendServerRequest(gw_conn_t *c, uint32_t requestId, uint32_t threadId, uint16_t category, uint16_t function,
                         kyl_xdrproc_t proc, void *body);

// Writes the event line of a request that got no reply; outcome says why
// ("closed", "dropped").
void gw_RequestEvent(const gw_conn_t *c, const gw_request_t *req, int32_t errorcode, const char *outcome);

// Records a fault that fired, in the log and the event log.
void gw_FaultFired(const gw_conn_t *c, const char *name, const api_msghdr_t *hdr);

#endif
