// The listening socket, accept loop and session table (see gw_listener.h).
// The main thread owns the listening socket, admits connections into
// gw_sessions (closing idle connections that wait to log in when a limit
// is reached), starts one session thread each and joins threads that have
// finished.  A session thread closes its own connection when it ends; the
// descriptor is closed and shut down only under gw_sessionsMutex, so a stop
// never shuts down a number that was already reused.  gw_sessionsMutex is a
// leaf lock: nothing else is locked and nothing blocks while it is held.

#include "gw_listener.h"

#include "gw_config.h"
#include "gw_events.h"
#include "gw_log.h"
#include "gw_session.h"

#include <kyl_mutex.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <map>
#include <string>

namespace {

struct gw_session_slot {
    bool used;        // a session occupies the slot until the main thread joins it
    bool finished;    // the session thread has closed its connection and is ending
    pthread_t thread; // valid while used
    int fd;           // the connection; -1 once closed
    uint64_t id;      // session number for the log, counts from 1
    char peer[GW_PEER_TEXT_MAX];
    char host[GW_PEER_TEXT_MAX]; // the peer's address without the port
    int64_t acceptedMs;          // gw_MonotonicMs() at accept
    // Shared with the session thread (login, last bytes before it, eviction).
    gw_session_state_t state;
};

// A connection not logged in that has been accepted or has received bytes
// within this long is busy: a client answers the greeting and each login
// reply well within it.  Every other connection not logged in is idle.
// Only idle connections count against an address's max_preauth_per_peer,
// and only idle ones are ever closed to make room, the one that has waited
// longest first; so a connection exchanging login messages is never closed
// for another, however fast others connect.
constexpr int64_t GW_PREAUTH_IDLE_MS = 2000;

// A line logged at most once per GW_REFUSAL_LOG_INTERVAL_SECS; the
// occurrences in between are counted into the next line, so that a flood of
// connections cannot fill the log.  Main thread only.
struct RateLimitedLine {
    bool logged = false;
    time_t lastSec = 0;
    uint64_t quiet = 0;

    // True when this occurrence is to be logged; *suppressed then holds the
    // occurrences counted since the last line.
    bool due(uint64_t *suppressed);
};

} // namespace

static kyl_mutex_t gw_sessionsMutex;
static gw_session_slot gw_sessions[GW_SESSION_SLOTS] KYL_GUARDED_BY(gw_sessionsMutex);

// Write end of the pipe that wakes the accept loop when a session ends.
// Written by the main thread before the first session thread starts and
// closed after the last one was joined.
static int gw_reapWakeFd = -1;

// While accept() fails for lack of descriptors, the loop stops watching the
// listening socket for this long rather than spinning on it.
constexpr int GW_ACCEPT_BACKOFF_MS = 100;

// Refused connections are logged at most once in this many seconds; the
// ones in between are counted into the next line, so that a flood of
// connections cannot fill the log.
constexpr time_t GW_REFUSAL_LOG_INTERVAL_SECS = 10;

// TCP keep-alive of every accepted connection: a client that vanished
// without closing (host down, link cut) is noticed after about three
// minutes (60 idle seconds, then 6 probes 20 seconds apart) rather than
// holding its session until the idle timeout.
constexpr int GW_KEEPIDLE_SECS = 60;
constexpr int GW_KEEPINTVL_SECS = 20;
constexpr int GW_KEEPCNT = 6;

// Turns keep-alive on for fd, and no-delay: a reply written in more than
// one piece (a header, then its body) must not wait for the client's
// delayed acknowledgement of the first.  A failure only costs the early
// notice or some latency.
static void gw_SetKeepalive(int fd)
{
    const int on = 1, idle = GW_KEEPIDLE_SECS, intvl = GW_KEEPINTVL_SECS, cnt = GW_KEEPCNT;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl) != 0 ||
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt) != 0)
        gw_Log("cannot set keep-alive on a connection: %s", strerror(errno));
}

bool RateLimitedLine::due(uint64_t *suppressed)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (logged && now.tv_sec - lastSec < GW_REFUSAL_LOG_INTERVAL_SECS) {
        quiet++;
        return false;
    }
    *suppressed = quiet;
    logged = true;
    lastSec = now.tv_sec;
    quiet = 0;
    return true;
}

// Logs one refused connection, or counts it when a refusal was logged less
// than GW_REFUSAL_LOG_INTERVAL_SECS ago.  Main thread only.
static void gw_LogRefusal(const char *peer, const char *why, const char *eventReason)
{
    static RateLimitedLine line;
    uint64_t quiet = 0;
    if (!line.due(&quiet))
        return;
    if (quiet > 0)
        gw_Log("refusing connection from %s: %s (and %llu more connections since the last such line)", peer, why,
               static_cast<unsigned long long>(quiet));
    else
        gw_Log("refusing connection from %s: %s", peer, why);
    gw_event("refused")
        .str("peer", peer)
        .str("reason", eventReason)
        .num("suppressed", static_cast<int64_t>(quiet))
        .emit();
}

// Connections that have not logged in are logged one by one (accept and
// close) up to GW_PRELOGIN_LINES connections per GW_REFUSAL_LOG_INTERVAL_SECS;
// past that they are counted, and one line per interval gives the counts and
// the reasons their sessions ended, so that a connect-and-close loop cannot
// fill the logs.  A counted connection that logs in is logged from then on.
constexpr uint32_t GW_PRELOGIN_LINES = 20;

struct PreLoginTally {
    time_t windowStart = 0;
    uint32_t logged = 0;                            // connections logged one by one in the window
    uint64_t unlogged = 0;                          // accepted without a line
    std::map<std::string, uint64_t> closedUnlogged; // of those, ended before a login, by reason
};

static kyl_mutex_t gw_preLoginMutex;
static PreLoginTally gw_preLogin KYL_GUARDED_BY(gw_preLoginMutex);

static time_t gw_MonotonicSec()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}

// Writes the interval's summary line when the interval is over (or when
// force) and anything was counted, and starts a new interval.  Any thread.
static void gw_PreLoginFlush(bool force)
{
    std::string closed;
    uint64_t unlogged = 0, closedTotal = 0;
    time_t seconds;
    {
        kyl_lock_guard g(gw_preLoginMutex);
        PreLoginTally &t = gw_preLogin;
        const time_t now = gw_MonotonicSec();
        if (!force && now - t.windowStart < GW_REFUSAL_LOG_INTERVAL_SECS)
            return;
        seconds = now - t.windowStart;
        unlogged = t.unlogged;
        for (const auto &[reason, n] : t.closedUnlogged) {
            closed += (closed.empty() ? "" : ", ") + reason + "=" + std::to_string(n);
            closedTotal += n;
        }
        t = PreLoginTally{};
        t.windowStart = now;
    }
    if (unlogged == 0 && closedTotal == 0)
        return;
    gw_Log("connections without a login not logged one by one in the last %lld seconds: %llu accepted; ended: %s",
           static_cast<long long>(seconds), static_cast<unsigned long long>(unlogged),
           closed.empty() ? "none" : closed.c_str());
    gw_event("prelogin_summary")
        .num("seconds", static_cast<int64_t>(seconds))
        .num("accepted", static_cast<int64_t>(unlogged))
        .num("ended", static_cast<int64_t>(closedTotal))
        .emit();
}

// At an accept: true when the connection is to be logged one by one.
static bool gw_PreLoginLogAccept()
{
    gw_PreLoginFlush(false);
    kyl_lock_guard g(gw_preLoginMutex);
    if (gw_preLogin.logged < GW_PRELOGIN_LINES) {
        gw_preLogin.logged++;
        return true;
    }
    gw_preLogin.unlogged++;
    return false;
}

// Counts the end of a connection whose accept was not logged and that never
// logged in.
static void gw_PreLoginCountClose(const char *reason)
{
    kyl_lock_guard g(gw_preLoginMutex);
    gw_preLogin.closedUnlogged[reason]++;
}

// Logs one connection closed to make room for a newcomer, at most once per
// GW_REFUSAL_LOG_INTERVAL_SECS like refusals.  Main thread only.
static void gw_LogEviction(const char *victim, const char *newcomer)
{
    static RateLimitedLine line;
    uint64_t quiet = 0;
    if (!line.due(&quiet))
        return;
    if (quiet > 0)
        gw_Log("closing idle connection from %s (not logged in) to make room for %s (and %llu more since the last "
               "such line)",
               victim, newcomer, static_cast<unsigned long long>(quiet));
    else
        gw_Log("closing idle connection from %s (not logged in) to make room for %s", victim, newcomer);
    gw_event("evicted").str("peer", victim).str("for", newcomer).num("suppressed", static_cast<int64_t>(quiet)).emit();
}

void gw_FormatAddress(const void *sa, unsigned len, char *buf, size_t size)
{
    char host[NI_MAXHOST], serv[NI_MAXSERV];
    const auto *addr = static_cast<const struct sockaddr *>(sa);
    if (getnameinfo(addr, len, host, sizeof host, serv, sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        snprintf(buf, size, "(unknown address)");
        return;
    }
    if (addr->sa_family == AF_INET6)
        snprintf(buf, size, "[%s]:%s", host, serv);
    else
        snprintf(buf, size, "%s:%s", host, serv);
}

int gw_ListenOpen(const std::string &host, int port, std::string *bound, int *boundPort, std::string *err)
{
    char portText[16];
    snprintf(portText, sizeof portText, "%d", port);
    std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + portText;

    struct addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    struct addrinfo *res = nullptr;
    int gai = getaddrinfo(host.c_str(), portText, &hints, &res);
    if (gai != 0) {
        *err = "cannot listen on " + where + ": " + gai_strerror(gai);
        return -1;
    }
    int lastErr = EADDRNOTAVAIL;
    int fd = -1;
    for (struct addrinfo *ai = res; ai != nullptr; ai = ai->ai_next) {
        fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) {
            lastErr = errno;
            continue;
        }
        // Lets a restarted daemon reuse the port while old connections are
        // in TIME_WAIT; a port with a live listener still refuses the bind.
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (ai->ai_family == AF_INET6)
            setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        if (bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0)
            break;
        lastErr = errno;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(res);
    if (fd < 0) {
        *err = "cannot listen on " + where + ": " + strerror(lastErr);
        return -1;
    }

    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&ss), &len) != 0) {
        *err = "cannot listen on " + where + ": getsockname: " + strerror(errno);
        close(fd);
        return -1;
    }
    char text[GW_PEER_TEXT_MAX];
    gw_FormatAddress(&ss, len, text, sizeof text);
    *bound = text;
    *boundPort = ss.ss_family == AF_INET6 ? ntohs(reinterpret_cast<struct sockaddr_in6 *>(&ss)->sin6_port)
                                          : ntohs(reinterpret_cast<struct sockaddr_in *>(&ss)->sin_port);
    return fd;
}

// Entry point of a session thread; arg is the slot index.
static void *gw_SessionThread(void *arg)
{
    size_t slot = reinterpret_cast<uintptr_t>(arg);
    int fd;
    uint64_t id;
    char peer[GW_PEER_TEXT_MAX];
    gw_session_state_t *state; // the slot stays this session's until it is joined
    {
        kyl_lock_guard g(gw_sessionsMutex);
        state = &gw_sessions[slot].state;
        fd = gw_sessions[slot].fd;
        id = gw_sessions[slot].id;
        memcpy(peer, gw_sessions[slot].peer, sizeof peer);
    }

    const char *reason;
    try {
        reason = gw_SessionServe(fd, id, peer, state);
    } catch (...) {
        reason = "internal error in the session";
    }
    if (state->acceptUnlogged && !state->loggedIn.load()) {
        gw_PreLoginCountClose(reason);
    } else {
        gw_Log("session %llu: closing connection from %s: %s", static_cast<unsigned long long>(id), peer, reason);
        gw_event("session_close")
            .num("session", static_cast<int64_t>(id))
            .str("peer", peer)
            .str("reason", reason)
            .emit();
    }

    {
        kyl_lock_guard g(gw_sessionsMutex);
        close(gw_sessions[slot].fd);
        gw_sessions[slot].fd = -1;
        gw_sessions[slot].finished = true;
    }
    // The pipe is non-blocking: when it is full, a wake-up is pending anyway.
    char one = 1;
    ssize_t w = write(gw_reapWakeFd, &one, 1);
    (void)w;
    return nullptr;
}

// Joins every session whose thread has finished and frees its slot.
// Returns the number of sessions still open.  Main thread only.
static size_t gw_ReapSessions()
{
    pthread_t done[GW_SESSION_SLOTS];
    size_t nDone = 0, open = 0;
    {
        kyl_lock_guard g(gw_sessionsMutex);
        for (auto &s : gw_sessions) {
            if (!s.used)
                continue;
            if (s.finished) {
                done[nDone++] = s.thread;
                s.used = false;
                s.finished = false;
            } else {
                open++;
            }
        }
    }
    for (size_t i = 0; i < nDone; i++)
        pthread_join(done[i], nullptr);
    return open;
}

// What one look at the session table found for a newcomer from host.
struct AdmitScan {
    size_t freeSlot = GW_SESSION_SLOTS; // a free slot, or GW_SESSION_SLOTS
    uint32_t live = 0;                  // sessions not closing
    uint32_t idleFromHost = 0;          // idle connections from host
    // The idle connections that have waited longest: from host, and from
    // anywhere; GW_SESSION_SLOTS when none.
    size_t oldestFromHost = GW_SESSION_SLOTS, oldestAny = GW_SESSION_SLOTS;
};

static AdmitScan gw_ScanSessions(const char *host) KYL_REQUIRES(gw_sessionsMutex)
{
    AdmitScan r;
    const int64_t now = gw_MonotonicMs();
    int64_t oldestHost = INT64_MAX, oldestAny = INT64_MAX;
    for (size_t i = 0; i < GW_SESSION_SLOTS; i++) {
        const gw_session_slot &s = gw_sessions[i];
        if (!s.used) {
            if (r.freeSlot == GW_SESSION_SLOTS)
                r.freeSlot = i;
            continue;
        }
        if (s.finished || s.state.evicted.load())
            continue;
        r.live++;
        if (s.state.loggedIn.load())
            continue;
        const int64_t active = std::max(s.acceptedMs, s.state.lastRecvMs.load());
        if (now - active < GW_PREAUTH_IDLE_MS)
            continue; // busy logging in
        const bool sameHost = strcmp(s.host, host) == 0;
        if (sameHost) {
            r.idleFromHost++;
            if (active < oldestHost) {
                oldestHost = active;
                r.oldestFromHost = i;
            }
        }
        if (active < oldestAny) {
            oldestAny = active;
            r.oldestAny = i;
        }
    }
    return r;
}

// Admits one accepted connection: takes a slot and starts its thread.  When
// host (the peer's address) has max_preauth_per_peer idle connections
// waiting to log in, the one of them that has waited longest is closed; when
// max_sessions sessions are open, the idle one that has waited longest from
// any address is closed to make room, and only when none is idle is the
// newcomer refused.  Takes ownership of fd.  Main thread only.
static void gw_AdmitConnection(int fd, const char *peer, const char *host, uint64_t id)
{
    const gw_site_t &site = gw_ProtoConfig()->site;
    const uint32_t preauthMax = site.max_preauth_per_peer;
    const uint32_t sessionsMax = site.max_sessions == 0 || site.max_sessions > GW_SESSION_SLOTS
                                     ? static_cast<uint32_t>(GW_SESSION_SLOTS)
                                     : site.max_sessions;
    const char *refusal = nullptr, *refusalReason = nullptr;
    char why[128] = "";
    char victimPeer[GW_PEER_TEXT_MAX] = "";
    size_t slot = GW_SESSION_SLOTS;
    {
        kyl_lock_guard g(gw_sessionsMutex);
        AdmitScan scan = gw_ScanSessions(host);
        size_t victim = GW_SESSION_SLOTS;
        if (preauthMax > 0 && scan.idleFromHost >= preauthMax)
            victim = scan.oldestFromHost;
        if (scan.live >= sessionsMax && victim == GW_SESSION_SLOTS) {
            victim = scan.oldestAny;
            if (victim == GW_SESSION_SLOTS) {
                snprintf(why, sizeof why, "%u sessions already open", scan.live);
                refusal = why;
                refusalReason = "session limit";
            }
        }
        if (refusal == nullptr && scan.freeSlot == GW_SESSION_SLOTS) {
            snprintf(why, sizeof why, "%zu sessions already open or closing", GW_SESSION_SLOTS);
            refusal = why;
            refusalReason = "session limit";
        }
        if (refusal == nullptr && victim != GW_SESSION_SLOTS) {
            gw_session_slot &v = gw_sessions[victim];
            v.state.evicted.store(true);
            // Wakes the session; its thread closes the descriptor itself.
            shutdown(v.fd, SHUT_RDWR);
            snprintf(victimPeer, sizeof victimPeer, "%s", v.peer);
        }
        if (refusal == nullptr) {
            slot = scan.freeSlot;
            gw_session_slot &s = gw_sessions[slot];
            s.used = true;
            s.finished = false;
            s.fd = fd;
            s.id = id;
            snprintf(s.peer, sizeof s.peer, "%s", peer);
            snprintf(s.host, sizeof s.host, "%s", host);
            s.acceptedMs = gw_MonotonicMs();
            s.state.loggedIn.store(false);
            s.state.lastRecvMs.store(0);
            s.state.evicted.store(false);
            s.state.acceptUnlogged = false;
        }
    }
    if (victimPeer[0] != '\0')
        gw_LogEviction(victimPeer, peer);
    if (refusal != nullptr) {
        gw_LogRefusal(peer, refusal, refusalReason);
        close(fd);
        return;
    }
    gw_SetKeepalive(fd);

    const bool logged = gw_PreLoginLogAccept();
    if (logged) {
        gw_Log("session %llu: accepted connection from %s", static_cast<unsigned long long>(id), peer);
        gw_event("session_open").num("session", static_cast<int64_t>(id)).str("peer", peer).emit();
    }
    {
        kyl_lock_guard g(gw_sessionsMutex);
        gw_sessions[slot].state.acceptUnlogged = !logged;
    }

    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, gw_SessionThread, reinterpret_cast<void *>(static_cast<uintptr_t>(slot)));
    if (rc != 0) {
        gw_Log("session %llu: closing connection from %s: cannot start a session thread: %s",
               static_cast<unsigned long long>(id), peer, strerror(rc));
        gw_event("session_close")
            .num("session", static_cast<int64_t>(id))
            .str("peer", peer)
            .str("reason", "no thread")
            .emit();
        kyl_lock_guard g(gw_sessionsMutex);
        gw_session_slot &s = gw_sessions[slot];
        close(s.fd);
        s.fd = -1;
        s.used = false;
        s.finished = false;
        return;
    }
    kyl_lock_guard g(gw_sessionsMutex);
    gw_sessions[slot].thread = tid;
}

// Closes every open session and joins all session threads.  Main thread
// only, after the listening socket was closed.
static void gw_CloseAllSessions()
{
    size_t open = 0;
    {
        kyl_lock_guard g(gw_sessionsMutex);
        for (auto &s : gw_sessions) {
            if (s.used && s.fd >= 0) {
                // Wakes a session blocked in read or write; the session
                // thread still closes the descriptor itself.
                shutdown(s.fd, SHUT_RDWR);
                open++;
            }
        }
    }
    if (open > 0)
        gw_Log("closing %zu open session%s", open, open == 1 ? "" : "s");
    pthread_t all[GW_SESSION_SLOTS];
    size_t n = 0;
    {
        kyl_lock_guard g(gw_sessionsMutex);
        for (auto &s : gw_sessions) {
            if (s.used) {
                all[n++] = s.thread;
                s.used = false;
                s.finished = false;
            }
        }
    }
    for (size_t i = 0; i < n; i++)
        pthread_join(all[i], nullptr);
}

int gw_ServeUntilSignal(int listenFd, int sigFd)
{
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        int e = errno;
        close(listenFd);
        return -e;
    }
    gw_reapWakeFd = wake[1];

    uint64_t nextId = 1;
    int result = 0;
    int backoffMs = -1;
    while (result == 0) {
        struct pollfd pfd[3] = {
            {sigFd, POLLIN, 0},
            {wake[0], POLLIN, 0},
            {listenFd, POLLIN, 0},
        };
        // While backing off, the listening socket is left out.  The wait
        // also ends once a second for the summary of unlogged connections.
        nfds_t n = backoffMs < 0 ? 3 : 2;
        int rc = poll(pfd, n, backoffMs < 0 ? 1000 : backoffMs);
        gw_PreLoginFlush(false);
        backoffMs = -1;
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            result = -errno;
            gw_Log("poll failed: %s", strerror(errno));
            break;
        }
        if (pfd[0].revents & POLLIN) {
            struct signalfd_siginfo si;
            ssize_t got = read(sigFd, &si, sizeof si);
            if (got == static_cast<ssize_t>(sizeof si)) {
                result = static_cast<int>(si.ssi_signo);
                const char *name = si.ssi_signo == SIGINT ? "SIGINT" : si.ssi_signo == SIGTERM ? "SIGTERM" : "a signal";
                gw_Log("received %s: stopping", name);
                break;
            }
        }
        if (pfd[1].revents & POLLIN) {
            char drain[64];
            while (read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        gw_ReapSessions();
        if (n < 3 || !(pfd[2].revents & POLLIN))
            continue;

        // Take every pending connection; the socket is non-blocking.
        for (;;) {
            struct sockaddr_storage ss;
            socklen_t len = sizeof ss;
            int fd = accept4(listenFd, reinterpret_cast<struct sockaddr *>(&ss), &len, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    gw_Log("cannot accept a connection: %s", strerror(errno));
                    backoffMs = GW_ACCEPT_BACKOFF_MS;
                }
                break;
            }
            char peer[GW_PEER_TEXT_MAX], host[GW_PEER_TEXT_MAX];
            gw_FormatAddress(&ss, len, peer, sizeof peer);
            if (getnameinfo(reinterpret_cast<struct sockaddr *>(&ss), len, host, sizeof host, nullptr, 0,
                            NI_NUMERICHOST) != 0)
                snprintf(host, sizeof host, "%s", peer);
            gw_AdmitConnection(fd, peer, host, nextId++);
        }
    }

    close(listenFd);
    gw_CloseAllSessions();
    gw_PreLoginFlush(true);
    gw_reapWakeFd = -1;
    close(wake[0]);
    close(wake[1]);
    return result;
}
