// Connections and sessions of the client library: one-time initialisation
// (logging, host names, the server list), the connection table and the
// current connection, opening a connection (greeting, site information,
// protocol check, authentication, with the down and retry-later loops),
// per-thread contexts, and listening sockets bound within the restricted
// data port range.  Any thread calls it.  nxapi_connection_lock guards the
// table, threadlist_lock the thread list, libinit_lock the one-time
// initialisation; a connection's openMutex serialises its opening.

#include "nxapi_private.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "quor_api.h"
#include "quor_net.h"
#include "quorcfgx_netopt.h"
#include "quorcfgx_nic.h"

kyl_mutex_t nxapi_connection_lock;
kyl_mutex_t nxapi_FileLock; // the file-operation descriptor tables

// Written only by the first nx_LibInit (under libinit_lock), read after it.
int nxapi_init_server_handle = -1;
int nxapi_min_socket_port = 0;
int nxapi_max_socket_port = 0;
quor_sockaddr_t nxapi_tcp_data_host = {};
quor_sockaddr_t nxapi_tcp_ctl_host = {};

namespace {

constexpr size_t kHostNameMax = 64;
constexpr int kDest = NXAPI_LOG_SYSLOG | NXAPI_LOG_STDERR | NXAPI_LOG_FILE;
constexpr int kDownRetrySeconds = 60;
constexpr int64_t kRetryLaterMin = 1;
constexpr int64_t kRetryLaterMax = 3600;
constexpr const char *kDefaultServerList = "localhost";

#define CONNLOG(level, fn, ...) nxapi_logf(level, fn, kDest, __FILE__, __LINE__, __VA_ARGS__)

kyl_mutex_t libinit_lock; // the one-time initialisation and its result
bool libinit_done KYL_GUARDED_BY(libinit_lock) = false;
int libinit_result KYL_GUARDED_BY(libinit_lock) = 0;

char nxapi_API_Hostname[kHostNameMax + 1];    // written by the first nx_LibInit
char nxapi_API_CtlHostname[kHostNameMax + 1]; // written by the first nx_LibInit

quor_connection_t *nxapi_connection_list KYL_GUARDED_BY(nxapi_connection_lock) = nullptr;
int nxapi_connection_count KYL_GUARDED_BY(nxapi_connection_lock) = 0;
quor_connection_t *nxapi_cur_connection KYL_GUARDED_BY(nxapi_connection_lock) = nullptr;

kyl_mutex_t threadlist_lock; // thread_list
nxapi_tcontext_t *thread_list KYL_GUARDED_BY(threadlist_lock) = nullptr;

kyl_mutex_t nic_rr_lock; // nic_rr_inx of every connection

// The site's restricted data port range (1024..65535 unless the
// environment names one).
void getRestrictedPorts(int *minPort, int *maxPort)
{
    quorcfgx_GetRestrictedPorts(minPort, maxPort);
}

// Seconds between connection attempts while the storage system is down.
// Only tests shorten it, through QUOR_TESTONLY_DOWN_RETRY_SECONDS (0..60).
unsigned downRetrySeconds()
{
    const char *v = getenv("QUOR_TESTONLY_DOWN_RETRY_SECONDS");
    if (v == nullptr || *v == '\0')
        return kDownRetrySeconds;
    char *end = nullptr;
    long n = strtol(v, &end, 10);
    if (*end != '\0' || n < 0 || n > kDownRetrySeconds)
        return kDownRetrySeconds;
    return static_cast<unsigned>(n);
}

// Seconds one connection attempt may take from its connect through the
// site information: QUOR_CONNECT_TIMEOUT when it holds a whole number from 1
// to NXAPI_CONNECT_TIMEOUT_MAX, else the default.
int connectTimeoutSeconds()
{
    const char *v = getenv("QUOR_CONNECT_TIMEOUT");
    if (v == nullptr || *v == '\0')
        return NXAPI_CONNECT_TIMEOUT_SECS;
    char *end = nullptr;
    errno = 0;
    long n = strtol(v, &end, 10);
    if (errno != 0 || *end != '\0' || n < 1 || n > NXAPI_CONNECT_TIMEOUT_MAX)
        return NXAPI_CONNECT_TIMEOUT_SECS;
    return static_cast<int>(n);
}

// The time limit of one connection attempt.
struct SetupLimit {
    int seconds;
    struct timespec until; // CLOCK_MONOTONIC
};

SetupLimit startSetupLimit()
{
    SetupLimit l;
    l.seconds = connectTimeoutSeconds();
    clock_gettime(CLOCK_MONOTONIC, &l.until);
    l.until.tv_sec += l.seconds;
    return l;
}

// Milliseconds left before the limit; at least 1, so that a passed limit
// still times out at once instead of meaning "no limit".
int64_t msLeft(const SetupLimit &l)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t ms = (static_cast<int64_t>(l.until.tv_sec) - now.tv_sec) * 1000 + (l.until.tv_nsec - now.tv_nsec) / 1000000;
    return ms > 0 ? ms : 1;
}

// Bounds every blocking connect, send and receive on fd to ms milliseconds
// (0: no bound).  0 or -errno.
int setIoTimeout(int fd, int64_t ms)
{
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0)
        return -errno;
    return 0;
}

// Waits until fd has something to read (or an error to report) within the
// limit.  True when it has, false when the time ran out.
bool awaitReadable(int fd, const SetupLimit &l)
{
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int rc = poll(&p, 1, static_cast<int>(msLeft(l)));
        if (rc > 0)
            return true;
        if (rc == 0)
            return false;
        if (errno != EINTR)
            return true; // the read that follows reports the problem
    }
}

void freeConnection(quor_connection_t *conn)
{
    free(conn->service_name);
    free(conn->auth_user);
    free(conn->relogin_context.user_msg_buf);
    free(conn->relogin_context.reconnect_packet);
    free(conn->relogin_context.reconnect_hmac_packet);
    free(conn->nic_list);
    free(conn->public_key);
    if (conn->session_key != nullptr)
        explicit_bzero(conn->session_key, static_cast<size_t>(conn->sess_key_len));
    free(conn->session_key);
    delete conn;
}

// Closed connection records are kept (with their session key zeroed)
// instead of freed: a thread in the middle of a message on a connection
// that another thread closes after a failure holds no reference, and must
// find the record still there.  One record per close, so the cost is small.
quor_connection_t *g_retired KYL_GUARDED_BY(nxapi_connection_lock) = nullptr;

void retireConnection(quor_connection_t *conn)
{
    if (conn->session_key != nullptr)
        explicit_bzero(conn->session_key, static_cast<size_t>(conn->sess_key_len));
    kyl_lock_guard g(nxapi_connection_lock);
    conn->next = g_retired;
    g_retired = conn;
}

// Finds handle in the table and takes a reference that keeps the record
// alive while the caller waits on its openMutex.
quor_connection_t *holdConnection(int handle)
{
    kyl_lock_guard g(nxapi_connection_lock);
    quor_connection_t *c = nx_LookupConnectionLocked(handle);
    if (c != nullptr)
        c->refs++;
    return c;
}

void releaseConnection(quor_connection_t *conn)
{
    bool last = false;
    {
        kyl_lock_guard g(nxapi_connection_lock);
        conn->refs--;
        last = conn->unlinked && conn->refs == 0;
    }
    if (last)
        retireConnection(conn);
}

bool isUnlinked(quor_connection_t *conn)
{
    kyl_lock_guard g(nxapi_connection_lock);
    return conn->unlinked;
}

// Numeric address of the server ("127.0.0.1").
void numericServer(const quor_connection_t *conn, char *out, size_t size)
{
    if (quor_net_getnameinfo(&conn->server_addr, out, size, nullptr, 0, NI_NUMERICHOST, nullptr, 0) != 0)
        snprintf(out, size, "%s", "???");
}

// The server as messages name it: its host name, else its numeric address.
void serverText(const quor_connection_t *conn, char *out, size_t size)
{
    if (conn->server_host[0] != '\0')
        snprintf(out, size, "%s", conn->server_host);
    else
        numericServer(conn, out, size);
}

nxapi_tcontext_t *findOrCreateContext()
{
    pthread_t self = pthread_self();
    nxapi_tcontext_t *ctx = nxapi_LookupThreadstate(&self);
    return ctx != nullptr ? ctx : nx_InitNewThreadContext();
}

// Trims blanks at both ends of [b, e).
std::string trimmed(const char *b, const char *e)
{
    while (b < e && (*b == ' ' || *b == '\t'))
        b++;
    while (e > b && (e[-1] == ' ' || e[-1] == '\t'))
        e--;
    return std::string(b, static_cast<size_t>(e - b));
}

int setupConnection(const char *host, const char *serviceName, int port, int minDataPort, int maxDataPort, int *handle);

// Sets up one connection per entry of list ("host[,service][/port];...").
// Returns the number set up, or KYLGW_E_NOSERVERS when the list names none;
// stops at the first entry that fails.
int setupServerList(const char *list)
{
    int entries = 0, made = 0;
    const char *p = list;
    while (*p != '\0') {
        const char *semi = strchr(p, ';');
        const char *end = semi ? semi : p + strlen(p);
        const char *comma = static_cast<const char *>(memchr(p, ',', static_cast<size_t>(end - p)));
        const char *slash = static_cast<const char *>(memchr(p, '/', static_cast<size_t>(end - p)));
        const char *hostEnd = comma ? comma : (slash ? slash : end);
        std::string host = trimmed(p, hostEnd);
        std::string service = comma ? trimmed(comma + 1, slash && slash > comma ? slash : end) : std::string();
        std::string portText = slash ? trimmed(slash + 1, end) : std::string();
        p = semi ? semi + 1 : end;
        if (host.empty())
            continue;
        entries++;
        int port = -1;
        if (!portText.empty()) {
            char *stop = nullptr;
            long v = strtol(portText.c_str(), &stop, 10);
            if (*stop != '\0' || v < 1 || v > 65535) {
                nxapi_Print("*** %s: invalid port '%s' for server %s\n", "nx_LibInit", portText.c_str(), host.c_str());
                break;
            }
            port = static_cast<int>(v);
        }
        int handle = -1;
        if (setupConnection(host.c_str(), service.empty() ? nullptr : service.c_str(), port, nxapi_min_socket_port,
                            nxapi_max_socket_port, &handle) != 0)
            break;
        made++;
    }
    if (entries == 0)
        return KYLGW_E_NOSERVERS;
    return made;
}

int libInitOnce()
{
    nxapi_logging_init();
    if (nx_create_locks() != 0)
        return -1;
    srandom(static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(time(nullptr)));
    getRestrictedPorts(&nxapi_min_socket_port, &nxapi_max_socket_port);
    if (getenv("QUOR_NET_FAMILY") == nullptr)
        setenv("QUOR_NET_FAMILY", "ipv4_only", 1);

    char err[256];
    if (const char *h = getenv("QUOR_HOSTNAME")) {
        snprintf(nxapi_API_Hostname, sizeof nxapi_API_Hostname, "%.64s", h);
    } else {
        int rc;
        while ((rc = gethostname(nxapi_API_Hostname, sizeof nxapi_API_Hostname)) != 0 &&
               (errno == EINTR || errno == EAGAIN || errno == EBUSY)) {
        }
        if (rc != 0) {
            int e = errno;
            CONNLOG(3, "nx_LibInit", "%s: Error %d on gethostname() call", "nx_LibInit", e);
            return -e;
        }
        nxapi_API_Hostname[kHostNameMax] = '\0';
    }
    int rc = quor_net_getaddrinfo(nxapi_API_Hostname, nullptr, AI_PASSIVE, IPPROTO_TCP, &nxapi_tcp_data_host, err,
                                  sizeof err);
    if (rc != 0) {
        nxapi_Print("*** %s: Error %d getting address for local host '%s' %s\n", "nx_LibInit", rc, nxapi_API_Hostname,
                    err);
        return rc < 0 ? rc : -rc;
    }
    if (const char *c = getenv("QUOR_CTL_HOSTNAME")) {
        snprintf(nxapi_API_CtlHostname, sizeof nxapi_API_CtlHostname, "%.64s", c);
        rc = quor_net_getaddrinfo(nxapi_API_CtlHostname, nullptr, AI_PASSIVE, IPPROTO_TCP, &nxapi_tcp_ctl_host, err,
                                  sizeof err);
        if (rc != 0) {
            nxapi_Print("*** %s: Error %d getting address for QUOR_CTL_HOSTNAME '%s' %s\n", "nx_LibInit", rc,
                        nxapi_API_CtlHostname, err);
            return rc < 0 ? rc : -rc;
        }
    } else {
        memcpy(nxapi_API_CtlHostname, nxapi_API_Hostname, sizeof nxapi_API_CtlHostname);
        nxapi_tcp_ctl_host = nxapi_tcp_data_host;
    }

    bool empty;
    {
        kyl_lock_guard g(nxapi_connection_lock);
        empty = nxapi_connection_list == nullptr;
    }
    if (empty) {
        const char *list = getenv("QUOR_SERVER_HOST");
        setupServerList(list != nullptr ? list : kDefaultServerList);
    }

    int count = 0;
    int chosen = -1;
    {
        kyl_lock_guard g(nxapi_connection_lock);
        for (quor_connection_t *c = nxapi_connection_list; c != nullptr; c = c->next)
            count++;
        if (count > 0) {
            int pick = static_cast<int>(time(nullptr) % count);
            quor_connection_t *c = nxapi_connection_list;
            while (pick-- > 0)
                c = c->next;
            chosen = c->handle;
        }
    }
    if (count == 0) {
        nxapi_Print("*** nx_LibInit: unable to setup connection to any server\n");
        return -1;
    }
    if (nxapi_SetCurConnection(chosen, nullptr) != 0) {
        nxapi_Print("*** nx_LibInit: error setting current connect to %d\n", chosen);
        return -1;
    }
    nxapi_init_server_handle = chosen;
    return 0;
}

int setupConnection(const char *host, const char *serviceName, int port, int minDataPort, int maxDataPort, int *handle)
{
    if (handle != nullptr)
        *handle = -1;
    auto *conn = new (std::nothrow) quor_connection_t;
    char *svc = strdup(serviceName != nullptr ? serviceName : "quor_nxapi");
    if (conn == nullptr || svc == nullptr) {
        delete conn;
        free(svc);
        CONNLOG(3, "quorex_SetupConnection", "%s", "malloc error creating new connection entry");
        return -ENOMEM;
    }
    conn->service_name = svc;
    conn->min_data_port = minDataPort;
    conn->max_data_port = maxDataPort;
    conn->auth_type = NXAPI_AUTH_COMBO;

    if (port < 1) {
        port = NXAPI_DEFAULT_PORT;
        if (serviceName != nullptr) {
            struct servent se, *found = nullptr;
            char buf[1024];
            if (getservbyname_r(serviceName, "tcp", &se, buf, sizeof buf, &found) == 0 && found != nullptr)
                port = ntohs(static_cast<uint16_t>(found->s_port));
        }
    }
    conn->server_port = static_cast<short>(port);
    // "[v6 address]:port" keeps the port apart from the address's colons.
    snprintf(conn->peer_text, sizeof conn->peer_text, strchr(host, ':') != nullptr ? "[%s]:%d" : "%s:%d", host, port);

    char portText[16], err[256];
    snprintf(portText, sizeof portText, "%d", port);
    int rc = quor_net_getaddrinfo(host, portText, 0, IPPROTO_TCP, &conn->server_addr, err, sizeof err);
    if (rc != 0) {
        nxapi_Print("*** %s: error %d looking up hostname %s [%s]\n", "quorex_SetupConnection", rc, host, err);
        nxapi_logf(3, "quorex_SetupConnection", NXAPI_LOG_SYSLOG | NXAPI_LOG_FILE, __FILE__, __LINE__,
                   "*** %s: error %d looking up hostname %s [%s]\n", "quorex_SetupConnection", rc, host, err);
        freeConnection(conn);
        return KYLGW_E_HOSTLOOKUP;
    }
    rc = quor_net_getnameinfo(&conn->server_addr, conn->server_host, sizeof conn->server_host, nullptr, 0, NI_NAMEREQD,
                              err, sizeof err);
    if (rc != 0) {
        conn->server_host[0] = '\0';
        CONNLOG(3, "quorex_SetupConnection",
                "*** WARNING %s: quor_net_getnameinfo returned error %d for hostname %s [%s]\n",
                "quorex_SetupConnection", rc, host, err);
    }

    kyl_lock_guard g(nxapi_connection_lock);
    quor_connection_t **tail = &nxapi_connection_list;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = conn;
    nxapi_connection_count++;
    conn->handle = nxapi_connection_count;
    if (handle != nullptr)
        *handle = conn->handle;
    return 0;
}

// Local time of t as the C time text's first 20 characters.
void timeText20(time_t t, char *out, size_t size)
{
    struct tm tmv;
    char text[32];
    if (localtime_r(&t, &tmv) == nullptr || asctime_r(&tmv, text) == nullptr)
        snprintf(out, size, "%20s", "");
    else
        snprintf(out, size, "%.20s", text);
}

// Ends a failed open: the connection leaves the table (its socket closed)
// and the previous current connection comes back.
void failOpen(quor_connection_t *conn, nxapi_tcontext_t *ctx, int previous)
{
    nxapi_CloseConnection(conn->handle);
    if (previous != -1 && previous != conn->handle)
        nxapi_SetCurConnection(previous, nullptr);
    ctx->connection = previous != -1 ? nx_LookupConnection(previous) : nullptr;
}

// Makes the TCP connection to conn's server (socket, keep-alive, connect
// within the limit, no delay) and hands the descriptor on in *fdOut; every
// send and receive on it stays bounded by the limit until the caller lifts
// it.  0, or -errno after the message (-ETIMEDOUT when the connect ran out
// of time); a failed connect is recorded in ctx for nxapi_init's hint, and
// ctx is back on the previous connection.
int connectServer(quor_connection_t *conn, nxapi_tcontext_t *ctx, int previous, const char *server, const char *numeric,
                  const SetupLimit &limit, int *fdOut)
{
    char err[256], sys[128];
    int fd = quor_net_socket(&conn->server_addr, SOCK_STREAM, 0, err, sizeof err);
    if (fd < 0) {
        int e = -fd;
        nxapi_Print("socket: %s\n", quor_net_strerror(e, sys, sizeof sys));
        CONNLOG(3, "quorex_OpenConnection", "*** %s: quor_net_socket call failed - errno = %d [%s] server=%s\n",
                "quorex_OpenConnection", e, err, server);
        return -e;
    }
    CONNLOG(7, "quorex_OpenConnection", "Connecting to %s (%s)\n", numeric,
            conn->server_host[0] ? conn->server_host : "???");
    if (int krc = quor_net_keepalive(fd, err, sizeof err); krc != 0)
        CONNLOG(3, "quorex_OpenConnection", "*** %s: error %d setting SO_KEEPALIVE on socket %d [%s]\n",
                "quorex_OpenConnection", -krc, fd, err);
    if (int trc = setIoTimeout(fd, msLeft(limit)); trc != 0)
        CONNLOG(3, "quorex_OpenConnection", "*** %s: error %d bounding the connection setup on socket %d\n",
                "quorex_OpenConnection", -trc, fd);
    (void)quorcfgx_NetoptSetSock(fd, &conn->server_addr);
    if (int crc = quor_net_connect(fd, &conn->server_addr, err, sizeof err); crc != 0) {
        int e = -crc;
        // A connect cut short by the send time limit reports EINPROGRESS.
        if (e == EINPROGRESS)
            e = ETIMEDOUT;
        ctx->unreachableErrno = e;
        snprintf(ctx->unreachableAt, sizeof ctx->unreachableAt, "%s", conn->peer_text);
        nxapi_Print("connect: %s\n", quor_net_strerror(e, sys, sizeof sys));
        CONNLOG(3, "quorex_OpenConnection", "*** %s: quor_net_connect call failed - errno = %d server=%s [%s]\n",
                "quorex_OpenConnection", e, server, err);
        close(fd);
        ctx->connection = previous != -1 ? nx_LookupConnection(previous) : nullptr;
        return -e;
    }
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    *fdOut = fd;
    return 0;
}

// True when the peer on fd has closed (or reset) the connection without
// sending a byte; fd is known to be readable.
bool closedUnread(int fd)
{
    char b;
    ssize_t n = recv(fd, &b, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && (errno == ECONNRESET || errno == EPIPE));
}

// Starts conn's message streams on fd, makes conn current and reads the
// server's greeting, which must begin within the limit.  0 with *down set
// when the server says it is down, or with *closed set when it closed the
// connection before its greeting (the streams are closed again then);
// otherwise the code (-ETIMEDOUT when nothing came in time), after failOpen.
int takeGreeting(quor_connection_t *conn, nxapi_tcontext_t *ctx, int previous, int fd, const SetupLimit &limit,
                 bool *down, bool *closed)
{
    int rc = nx_OpenStreams(conn, fd);
    if (rc != 0) {
        failOpen(conn, ctx, previous);
        return rc;
    }
    nxapi_SetCurConnection(conn->handle, nullptr);

    api_msghdr_t hdr;
    api_server_state_rply_t greeting = {};
    ctx->msgRequestID = 0; // the greeting carries request id 0
    // A peer that accepts and never speaks (not a gateway, or a gateway
    // that hangs) must not hold the run forever.
    if (!awaitReadable(fd, limit)) {
        nxapi_Print("*** %s: unable to receive initial connection response - fatal\n", "quorex_OpenConnection");
        nxapi_Print("*** %s: no greeting from the gateway at %s within %d second%s\n", "quorex_OpenConnection",
                    conn->peer_text, limit.seconds, limit.seconds == 1 ? "" : "s");
        failOpen(conn, ctx, previous);
        return -ETIMEDOUT;
    }
    *closed = closedUnread(fd);
    if (*closed) {
        nx_CloseStreams(conn, NXAPI_E_NOSESSION);
        ctx->msgRequestID = 0;
        return 0;
    }
    rc = nxapi_get_msg(ctx, &hdr, &greeting, KYL_XDRPROC(api_server_state_rply_t, xdr_api_server_state_rply_t), conn);
    if (rc != 0) {
        nxapi_Print("*** %s: unable to receive initial connection response - fatal\n", "quorex_OpenConnection");
        failOpen(conn, ctx, previous);
        return rc;
    }
    *down = greeting.quorDownFlag != 0;
    if (*down) {
        nx_CloseStreams(conn, NXAPI_E_NOSESSION);
        ctx->msgRequestID = 0;
    }
    return 0;
}

// Asks the server for its site information and keeps it in conn.  0, or
// the code (transport or server) after failOpen.
int fetchSiteInfo(quor_connection_t *conn, nxapi_tcontext_t *ctx, int previous, const char *server)
{
    api_msghdr_t hdr;
    api_site_info_req_t req = {KYLGW_PROT_MAJOR, KYLGW_PROT_MINOR};
    quor_site_info_t site = {};
    int rc = nxapi_send_msg(CAT_CONNECTION, FN_SITE_INFO, &req,
                            KYL_XDRPROC(api_site_info_req_t, xdr_api_site_info_req_t), 0, 0, conn, ctx);
    if (rc == 0)
        rc = nxapi_get_msg(ctx, &hdr, &site, KYL_XDRPROC(api_site_info_rply_t, xdr_api_site_info_rply_t), conn);
    if (rc == 0)
        rc = hdr.errorcode;
    if (rc != 0) {
        nxapi_Print("*** %s: unable to obtain remote site info. server=%s\n", "quorex_OpenConnection", server);
        failOpen(conn, ctx, previous);
        return rc;
    }
    conn->site_info = site;
    return 0;
}

// What the retry-later waits of one open have shown so far: the server's
// text is shown again only when it changes.
struct RetryNotice {
    bool first = true;
    bool shownText = false;
    unsigned char lastXor = 0;
};

// A retry-later answer: closes the streams, shows the server's text (on a
// terminal, when it changed), waits until the server's reconnect time
// within bounds, and switches the next login to the reconnect method.
void waitToRetry(quor_connection_t *conn, nxapi_tcontext_t *ctx, RetryNotice *notice)
{
    const login_reconnect_t &rl = conn->relogin_context;
    nx_CloseStreams(conn, NXAPI_E_NOSESSION);
    ctx->msgRequestID = 0;
    unsigned char x = 0;
    for (uint32_t i = 0; i < rl.user_msg_len && rl.user_msg_buf != nullptr; i++)
        x ^= static_cast<unsigned char>(rl.user_msg_buf[i]);
    if (notice->first || x != notice->lastXor) {
        if (notice->shownText)
            nxapi_Print("\n");
        if (isatty(STDERR_FILENO) && rl.user_msg_len != 0 && rl.user_msg_buf != nullptr) {
            nxapi_Print("%.*s", static_cast<int>(rl.user_msg_len), rl.user_msg_buf);
            notice->shownText = true;
        }
    }
    notice->first = false;
    notice->lastXor = x;
    // Computed in 64 bits: a far-off or past time must not wrap, and a
    // bad time neither spins nor waits for days.
    int64_t delay = static_cast<int64_t>(rl.reconnect_time) - static_cast<int64_t>(time(nullptr));
    if (rl.reconnect_time > static_cast<uint64_t>(INT64_MAX))
        delay = kRetryLaterMax;
    if (delay < kRetryLaterMin)
        delay = kRetryLaterMin;
    if (delay > kRetryLaterMax)
        delay = kRetryLaterMax;
    char at[32];
    timeText20(static_cast<time_t>(time(nullptr) + delay), at, sizeof at);
    nxapi_Print("\r*** Retrying in %d seconds at %20.20s \r", static_cast<int>(delay), at);
    kylgw_ThreadSleep(static_cast<unsigned>(delay), 0);
    quor_SetAuthType(NXAPI_AUTH_RECONNECT);
}

// Retries of a connection the gateway closed before its greeting (it was
// full, or making room): waits grow from kFirstCloseRetryMs, doubling to
// kMaxCloseRetryMs, each drawn at random between half and all of its
// length so that many clients turned away together do not return together.
constexpr int64_t kFirstCloseRetryMs = 50;
constexpr int64_t kMaxCloseRetryMs = 2000;

struct CloseRetry {
    struct timespec until; // CLOCK_MONOTONIC end of the retries
    int seconds;           // QUOR_CONNECT_TIMEOUT
    int64_t nextMs = kFirstCloseRetryMs;
    bool told = false;
    unsigned seed;
};

CloseRetry startCloseRetry()
{
    CloseRetry r;
    r.seconds = connectTimeoutSeconds();
    clock_gettime(CLOCK_MONOTONIC, &r.until);
    r.until.tv_sec += r.seconds;
    r.seed = static_cast<unsigned>(getpid()) ^ static_cast<unsigned>(r.until.tv_nsec);
    return r;
}

// After the gateway at server closed the connection before its greeting:
// waits the next back-off and returns true to try again, saying so once;
// false when the wait would end past the run's connect time limit (the
// messages of a failed greeting then follow, as without retries).
bool waitCloseRetry(CloseRetry *r, const char *server)
{
    int64_t half = r->nextMs / 2;
    int64_t wait = half + static_cast<int64_t>(rand_r(&r->seed) % static_cast<unsigned>(half + 1));
    SetupLimit left = {r->seconds, r->until};
    if (msLeft(left) <= wait)
        return false;
    if (!r->told) {
        nxapi_Print("*** %s: the gateway at %s closed the connection before its greeting; retrying for up to %d "
                    "second%s\n",
                    "quorex_OpenConnection", server, r->seconds, r->seconds == 1 ? "" : "s");
        r->told = true;
    }
    kylgw_ThreadSleep(static_cast<unsigned>(wait / 1000), static_cast<unsigned>(wait % 1000) * 1000);
    r->nextMs = r->nextMs * 2 > kMaxCloseRetryMs ? kMaxCloseRetryMs : r->nextMs * 2;
    return true;
}

// Opens conn; requires its openMutex and a reference on it.  Connects,
// takes the greeting (waiting while the server is down), fetches the site
// information and authenticates (waiting and reconnecting on retry-later).
int openLocked(quor_connection_t *conn, nxapi_tcontext_t *ctx)
{
    ctx->connection = conn;
    int previous = -1;
    {
        kyl_lock_guard g(nxapi_connection_lock);
        if (nxapi_cur_connection != nullptr)
            previous = nxapi_cur_connection->handle;
    }
    char server[NXAPI_SERVER_HOST_MAX], numeric[INET6_ADDRSTRLEN + 8];
    serverText(conn, server, sizeof server);
    numericServer(conn, numeric, sizeof numeric);

    int rc = 0;
    RetryNotice notice;
    CloseRetry closeRetry = startCloseRetry();
    for (;;) {
        int fd = -1;
        const SetupLimit limit = startSetupLimit();
        rc = connectServer(conn, ctx, previous, server, numeric, limit, &fd);
        if (rc != 0)
            return rc;
        bool down = false, closed = false;
        rc = takeGreeting(conn, ctx, previous, fd, limit, &down, &closed);
        if (rc != 0)
            return rc;
        if (closed) {
            if (waitCloseRetry(&closeRetry, numeric))
                continue;
            nxapi_Print("*** %s: unable to receive initial connection response - fatal\n", "quorex_OpenConnection");
            failOpen(conn, ctx, previous);
            return -ECONNRESET;
        }
        if (down) {
            char now[32];
            timeText20(time(nullptr), now, sizeof now);
            nxapi_Print("*** %20.20s QUOR is down.  Delaying/retrying until it is back up. \n", now);
            kylgw_ThreadSleep(downRetrySeconds(), 0);
            continue;
        }
        (void)setIoTimeout(fd, msLeft(limit));
        rc = fetchSiteInfo(conn, ctx, previous, server);
        if (rc != 0)
            return rc;
        // The login may wait for a person at a prompt, and later requests
        // may wait for hours while data is staged: no limit from here on.
        if (int trc = setIoTimeout(fd, 0); trc != 0)
            CONNLOG(3, "quorex_OpenConnection", "*** %s: error %d lifting the setup time limit on socket %d\n",
                    "quorex_OpenConnection", -trc, fd);
        const quor_site_info_t &site = conn->site_info;
        if (site.sv_prot_major != KYLGW_PROT_MAJOR || site.sv_prot_minor < KYLGW_PROT_MINOR) {
            rc = KYLGW_E_PROTOCOL_LEVEL;
            break;
        }
        // The site's client interfaces toward this server; without any,
        // data connections use the local data address.
        free(conn->nic_list);
        conn->nic_list = nullptr;
        conn->nic_count = 0;
        conn->nic_rr_inx = 0;
        if (quorcfgx_ConfGetClientInterfaces(nullptr, server, &conn->nic_count, &conn->nic_list, nullptr) != 0)
            conn->nic_count = 0;

        int retryLater = 0, stop = 0;
        rc = nxapi_authenticate(conn, ctx, &retryLater, &stop);
        if (rc == 0)
            return 0;
        if (!retryLater) {
            const login_reconnect_t &rl = conn->relogin_context;
            if (rl.user_msg_len != 0 && rl.user_msg_buf != nullptr)
                nxapi_Print("%.*s", static_cast<int>(rl.user_msg_len), rl.user_msg_buf);
            break;
        }
        waitToRetry(conn, ctx, &notice);
    }

    nx_PrintRefusal(ctx, rc);
    nxapi_Print("*** %s: Unable to authenticate user with remote gateway at %s\n", "quorex_OpenConnection", numeric);
    failOpen(conn, ctx, previous);
    return rc;
}

// Opens handle under its openMutex.  With alreadyOpenIsError, an open
// connection is -16; otherwise it is success (another thread opened it).
int openHandle(int handle, bool alreadyOpenIsError)
{
    nxapi_tcontext_t *ctx = findOrCreateContext();
    if (ctx == nullptr) {
        CONNLOG(3, "quorex_OpenConnection", "%s", "Error - unable to create mew thread state!\n");
        return -ENOENT;
    }
    quor_connection_t *conn = holdConnection(handle);
    if (conn == nullptr)
        return -ENOENT;
    int rc;
    conn->openMutex.lock();
    if (isUnlinked(conn)) {
        rc = -ENOENT;
    } else if (conn->state.load() == CONNECTION_OPEN) {
        if (alreadyOpenIsError) {
            CONNLOG(3, "quorex_OpenConnection", "%s", "Error - connection already open!\n");
            rc = -EBUSY;
        } else {
            ctx->connection = conn;
            rc = 0;
        }
    } else {
        rc = openLocked(conn, ctx);
    }
    conn->openMutex.unlock();
    releaseConnection(conn);
    return rc;
}

struct RefusalText {
    int code;
    const char *text;
};

constexpr RefusalText kRefusals[] = {
    {KYLGW_E_PROTOCOL_LEVEL, "client and server are at different protocol levels\n"},
    {KYLGW_E_AUTHMETHOD, "server does not support authentication method\n"},
    {KYLGW_E_KERBEROS, "server reports problem with kerberos authentication\n"},
    {KYLGW_E_SHUTTING_DOWN, "server is shutting down - please retry later\n"},
    {KYLGW_E_PERIODS, "server is in periods-processing mode - please retry later\n"},
    {KYLGW_E_MAX_SESSIONS, "Service not available - maximum number of sessions exceeded\n"},
    {KYLGW_E_BRX_MEMORY, "BRX memory allocation problem\n"},
    {KYLGW_E_BRX_COMM, "KYLGWD <--> BRX communication problem\n"},
    {KYLGW_E_IPC_INIT, "KYLGWD IPC initialization error\n"},
    {KYLGW_E_IPC_COMM, "KYLGWD IPC communication error\n"},
    {KYLGW_E_BRX_BUFFER, "KYLGWD<-->BRX buffer error\n"},
    {KYLGW_E_QUOR_DOWN, "QUOR is -down-\n"},
    {KYLGW_E_QUOR_MAINT, "QUOR is in system maintenance mode\n"},
    {KYLGW_E_QUOR_MAINT_SOON, "QUOR is approaching system maintenance time\n"},
    {KYLGW_E_USER_LOCKED, "Client user is locked\n"},
    {KYLGW_E_GROUP_LOCKED, "Client group is locked\n"},
    {KYLGW_E_HOST_LOCKED, "Client host or cluster is locked\n"},
    {KYLGW_E_DFLT_USER_LIMIT, "Default per-user session limit exceeded\n"},
    {KYLGW_E_DFLT_GROUP_LIMIT, "Default per-group session limit exceeded\n"},
    {KYLGW_E_DFLT_HOST_LIMIT, "Default per-host session limit exceeded\n"},
    {KYLGW_E_USER_LIMIT, "Per-user session limit exceeded\n"},
    {KYLGW_E_GROUP_LIMIT, "Per-group session limit exceeded\n"},
    {KYLGW_E_HOST_LIMIT, "Per-host session limit exceeded\n"},
    {KYLGW_E_BRX_HMAC, "BRX HMAC generation problem\n"},
    {KYLGW_E_BRX_ENCRYPT, "BRX encryption problem\n"},
    {KYLGW_E_BRX_DECRYPT, "BRX decryption problem\n"},
    {KYLGW_E_BRX_SIGLEN, "BRX signature length problem\n"},
    {KYLGW_E_BRX_SIGNATURE, "BRX signature problem\n"},
    {KYLGW_E_RETRY_CERT, "BRX retry certificate invalid\n"},
    {KYLGW_E_RETRY_EARLY, "BRX retry before certificate start time\n"},
    {KYLGW_E_RETRY_EXPIRED, "BRX retry certificate expired\n"},
};

} // namespace

int nx_create_locks()
{
    // threadlist_lock, nxapi_connection_lock, nxapi_requestID_lock and
    // nxapi_FileLock are statically initialised and cannot fail.
    return 0;
}

int nx_LibInit()
{
    kyl_lock_guard g(libinit_lock);
    if (!libinit_done) {
        libinit_result = libInitOnce();
        libinit_done = true;
    }
    return libinit_result;
}

int quorex_SetupConnection(const char *host, const char *serviceName, int port, int minDataPort, int maxDataPort,
                           int *handle)
{
    if (handle != nullptr)
        *handle = -1;
    int rc = nx_LibInit();
    if (rc != 0)
        return rc;
    if (host == nullptr)
        return KYLGW_E_HOSTLOOKUP;
    return setupConnection(host, serviceName, port, minDataPort, maxDataPort, handle);
}

int quorex_OpenConnection(int handle)
{
    return openHandle(handle, true);
}

int nxapi_CloseConnection(int handle)
{
    quor_connection_t *conn = nullptr;
    bool freeNow = false;
    {
        kyl_lock_guard g(nxapi_connection_lock);
        for (quor_connection_t **pp = &nxapi_connection_list; *pp != nullptr; pp = &(*pp)->next) {
            if ((*pp)->handle == handle) {
                conn = *pp;
                *pp = conn->next;
                conn->next = nullptr;
                break;
            }
        }
        if (conn == nullptr)
            return -ENOENT;
        if (nxapi_cur_connection == conn)
            nxapi_cur_connection = nullptr;
        conn->unlinked = true;
        freeNow = conn->refs == 0;
    }
    {
        kyl_lock_guard g(threadlist_lock);
        for (nxapi_tcontext_t *t = thread_list; t != nullptr; t = t->next)
            if (t->connection == conn)
                t->connection = nullptr;
    }
    nx_CloseStreams(conn, NXAPI_E_NOSESSION);
    if (freeNow)
        retireConnection(conn);
    return 0;
}

int nxapi_SetCurConnection(int handle, int *previousHandle)
{
    kyl_lock_guard g(nxapi_connection_lock);
    if (previousHandle != nullptr)
        *previousHandle = nxapi_cur_connection != nullptr ? nxapi_cur_connection->handle : -1;
    quor_connection_t *c = nx_LookupConnectionLocked(handle);
    if (c == nullptr)
        return -ENOENT;
    nxapi_cur_connection = c;
    return 0;
}

quor_connection_t *nx_LookupConnectionLocked(int handle)
{
    for (quor_connection_t *c = nxapi_connection_list; c != nullptr; c = c->next)
        if (c->handle == handle)
            return c;
    return nullptr;
}

quor_connection_t *nx_LookupConnection(int handle)
{
    kyl_lock_guard g(nxapi_connection_lock);
    return nx_LookupConnectionLocked(handle);
}

quor_connection_t *nxapi_getCurConnection()
{
    kyl_lock_guard g(nxapi_connection_lock);
    return nxapi_cur_connection;
}

quor_connection_t *nxapi_GetThreadConEntry(const pthread_t *threadId)
{
    nxapi_tcontext_t *ctx = nxapi_LookupThreadstate(threadId);
    return ctx != nullptr ? ctx->connection : nullptr;
}

void nxapi_CloseAllConnections() {}

nxapi_tcontext_t *nx_InitNewThreadContext()
{
    auto *ctx = new (std::nothrow) nxapi_tcontext_t;
    if (ctx == nullptr)
        return nullptr;
    ctx->threadID = pthread_self();
    ctx->connection = nxapi_getCurConnection();
    kyl_lock_guard g(threadlist_lock);
    ctx->next = thread_list;
    thread_list = ctx;
    return ctx;
}

nxapi_tcontext_t *nxapi_LookupThreadstate(const pthread_t *threadId)
{
    pthread_t who = threadId != nullptr ? *threadId : pthread_self();
    kyl_lock_guard g(threadlist_lock);
    for (nxapi_tcontext_t *t = thread_list; t != nullptr; t = t->next)
        if (pthread_equal(t->threadID, who))
            return t;
    return nullptr;
}

int nxapi_init(nxapi_tcontext_t **tcontext)
{
    if (tcontext != nullptr)
        *tcontext = nullptr;
    if (nx_LibInit() != 0)
        return NXAPI_E_NOSESSION;
    nxapi_tcontext_t *ctx = findOrCreateContext();
    if (ctx == nullptr)
        return -ENOMEM;
    quor_connection_t *conn = nxapi_getCurConnection();
    ctx->connection = conn;
    if (conn == nullptr || conn->state.load() != CONNECTION_OPEN) {
        ctx->unreachableErrno = 0;
        ctx->keytabErrno = 0;
        int rc = openHandle(nxapi_init_server_handle, false);
        if (rc != 0) {
            int e = errno;
            nxapi_Print("result = %d, errno = %d\n", rc, e);
            nxapi_Print("Unable to setup communication to QUOR...\n");
            nx_PrintHint(ctx, rc);
            return NXAPI_E_NOSESSION;
        }
    }
    if (tcontext != nullptr)
        *tcontext = ctx;
    return 0;
}

void nx_PrintHint(const nxapi_tcontext_t *ctx, int result)
{
    char sys[128];
    if (ctx != nullptr && ctx->unreachableErrno != 0) {
        nxapi_Print("cannot reach the gateway at %s (%s); is kylgwd running? QUOR_SERVER_HOST selects another\n",
                    ctx->unreachableAt, quor_net_strerror(ctx->unreachableErrno, sys, sizeof sys));
        return;
    }
    // The keytab is named only when its failure is the one reported (a
    // later login method may have failed otherwise).  A keytab open to
    // others fails with -1, which the login takes for "no particular
    // result": the general refusal then stands for it.
    const bool keytabReported =
        ctx != nullptr && ctx->keytabErrno != 0 &&
        (result == -ctx->keytabErrno || (ctx->keytabErrno == EPERM && result == KYLGW_E_AUTHFAILED));
    if (keytabReported) {
        const char *advice = ctx->keytabErrno == EPERM ? "make it readable by its owner only (chmod 600)"
                                                       : "set QUOR_KEYTAB_PATH to your readable keytab file";
        if (ctx->keytabAt[0] == '\0')
            nxapi_Print("no keytab file is given; %s\n", advice);
        else
            nxapi_Print("keytab file %s: %s; %s\n", ctx->keytabAt,
                        ctx->keytabErrno == EBADF ? "not a regular file"
                                                  : quor_net_strerror(ctx->keytabErrno, sys, sizeof sys),
                        advice);
        return;
    }
    const kylgw_error_text_t text = kylgw_ErrorText(result, sys, sizeof sys);
    nxapi_Print("%s%s%s\n", text.meaning, text.advice != nullptr ? "; " : "",
                text.advice != nullptr ? text.advice : "");
}

void nx_PrintRefusal(const nxapi_tcontext_t *ctx, int result)
{
    if (result == KYLGW_E_AUTHFUNC || result == KYLGW_E_AUTHFUNC2) {
        nxapi_Print("server doesn't support authentication function (response=%d)\n", result);
        return;
    }
    for (const RefusalText &r : kRefusals)
        if (r.code == result) {
            nxapi_Print("%s", r.text);
            return;
        }
    nxapi_Print("result = %d, errno = %d\n", result, errno);
    nx_PrintHint(ctx, result);
}

int kylgw_SockGetPort(const quor_sockaddr_t *address)
{
    if (address->hs_addr.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const struct sockaddr_in *>(&address->hs_addr)->sin_port);
    if (address->hs_addr.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const struct sockaddr_in6 *>(&address->hs_addr)->sin6_port);
    return 65535;
}

int kylgw_SockSetPort(quor_sockaddr_t *address, int port)
{
    uint16_t p = htons(static_cast<uint16_t>(port));
    if (address->hs_addr.ss_family == AF_INET) {
        reinterpret_cast<struct sockaddr_in *>(&address->hs_addr)->sin_port = p;
        return 0;
    }
    if (address->hs_addr.ss_family == AF_INET6) {
        reinterpret_cast<struct sockaddr_in6 *>(&address->hs_addr)->sin6_port = p;
        return 0;
    }
    return -1;
}

quor_sockaddr_t *kylgw_SockGetControlAddr(int data)
{
    return data ? &nxapi_tcp_data_host : &nxapi_tcp_ctl_host;
}

int kylgw_SockBindToRestrictedPort(int fd, const quor_sockaddr_t *address, quor_sockaddr_t *boundAddress)
{
    quor_sockaddr_t a = *address;
    char err[256];
    int lo = nxapi_min_socket_port, hi = nxapi_max_socket_port;
    if (lo == 0) {
        if (kylgw_SockSetPort(&a, 0) != 0 || quor_net_bind(fd, &a, err, sizeof err) != 0)
            return NXAPI_E_FAILED;
        if (boundAddress != nullptr)
            *boundAddress = a;
        return 0;
    }
    if (hi < lo)
        hi = lo;
    // The cycle covers min..max inclusive and tries every port once, so a
    // one-port range works and the last free port of a range is found.
    int span = hi - lo + 1;
    int attempts = span;
    int port = lo + static_cast<int>(random() % span);
    for (int i = 0; i < attempts; i++) {
        if (kylgw_SockSetPort(&a, port) != 0)
            return -EAFNOSUPPORT;
        int rc = quor_net_bind(fd, &a, err, sizeof err);
        if (rc == 0) {
            if (boundAddress != nullptr)
                *boundAddress = a;
            return 0;
        }
        if (rc != -EADDRINUSE && rc != -EADDRNOTAVAIL)
            return rc;
        port = port + 1 > hi ? lo : port + 1;
    }
    // Every port of the range is taken: say so plainly, since a narrow
    // range is the usual cause (a storage-system transfer listens on one
    // port for the movers' control connections and on one more for each
    // mover's data connection at the same time).
    nxapi_Print("*** kylgw_SockBindToRestrictedPort: no free port in the restricted port range %d-%d; a "
                "storage-system transfer needs one port more than its stripe width\n",
                lo, hi);
    return -EADDRINUSE;
}

int kylgw_SockGetListenSocket(int anyAddress, int reuseAddress, int *fdOut, quor_sockaddr_t *addressOut)
{
    const char *fn = "kylgw_SockGetListenSocket";
    char err[256];
    quor_connection_t *conn = nxapi_GetThreadConEntry(nullptr);
    if (conn == nullptr)
        conn = nxapi_getCurConnection();

    quor_sockaddr_t local = {};
    if (anyAddress) {
        char portText[16];
        snprintf(portText, sizeof portText, "%d", nxapi_min_socket_port);
        int rc = quor_net_getaddrinfo(nullptr, portText, AI_PASSIVE, IPPROTO_TCP, &local, err, sizeof err);
        if (rc != 0) {
            nxapi_Print("*** %s: error %d creating INADDR_ANY socket structure [%s]\n", fn, rc, err);
            return rc < 0 ? rc : -rc;
        }
    } else if (conn != nullptr && conn->nic_count > 0 && conn->nic_list != nullptr) {
        kyl_lock_guard g(nic_rr_lock);
        local = conn->nic_list[conn->nic_rr_inx];
        conn->nic_rr_inx = conn->nic_rr_inx + 1 >= conn->nic_count ? 0 : conn->nic_rr_inx + 1;
    } else {
        local = nxapi_tcp_data_host;
    }
    return kylgw_SockGetListenSocketAt(&local, reuseAddress, fdOut, addressOut);
}

int kylgw_SockGetListenSocketAt(const quor_sockaddr_t *at, int reuseAddress, int *fdOut, quor_sockaddr_t *addressOut)
{
    const char *fn = "kylgw_SockGetListenSocket";
    char err[256];
    quor_sockaddr_t local = *at;
    int fd = quor_net_socket(&local, SOCK_STREAM, 0, err, sizeof err);
    if (fd < 0) {
        nxapi_Print("*** %s: quor_net_socket returned error %d [%s]\n", fn, -fd, err);
        return fd;
    }
    auto setOpt = [&](int opt, const char *name) {
        int on = 1;
        int rc;
        while ((rc = setsockopt(fd, SOL_SOCKET, opt, &on, sizeof on)) != 0 && (errno == EINTR || errno == EAGAIN)) {
        }
        if (rc != 0) {
            int e = errno;
            nxapi_Print("*** %s: error %d setting %s on socket %d\n", fn, e, name, fd);
            return -e;
        }
        return 0;
    };
    int rc = quor_net_keepalive(fd, err, sizeof err);
    if (rc != 0)
        nxapi_Print("*** %s: error %d setting SO_KEEPALIVE on socket %d\n", fn, -rc, fd);
    if (rc == 0 && reuseAddress)
        rc = setOpt(SO_REUSEADDR, "SO_REUSEADDR");
    quor_sockaddr_t bound = {};
    if (rc == 0) {
        rc = kylgw_SockBindToRestrictedPort(fd, &local, &bound);
        if (rc != 0)
            nxapi_Print("*** %s: error %d trying to bind to socket %d\n", fn, rc, fd);
    }
    if (rc == 0 && (rc = quor_net_getsockname(fd, &bound, err, sizeof err)) != 0) {
        nxapi_Print("*** %s: quor_net_getsockname error %d socket %d [%s] \n", fn, -rc, fd, err);
    }
    if (rc == 0) {
        int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
            rc = -errno;
    }
    // The site's socket options for the local address; the buffer sizes
    // are read for the trace.
    if (rc == 0) {
        (void)quorcfgx_NetoptSetSock(fd, &bound);
        int size = 0;
        socklen_t len = sizeof size;
        if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &len) != 0)
            CONNLOG(3, fn, "*** %s: getsockopt(SO_SNDBUF) call failed - errno=%d!", fn, errno);
        len = sizeof size;
        if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &len) != 0)
            CONNLOG(3, fn, "*** %s: getsockopt(SO_RCVBUF) call failed - errno=%d!", fn, errno);
    }
    if (rc != 0) {
        close(fd);
        return rc;
    }
    *fdOut = fd;
    if (addressOut != nullptr)
        *addressOut = bound;
    return 0;
}
