// The connection and session layer against an in-process gateway on
// loopback that speaks the greeting and the site information exchange:
// the server list, the down-flag retry, the protocol check, a site
// information error, the authentication refusal path, the refusal texts,
// and binding within a restricted port range.  Library initialisation is
// once per process, so every scenario runs in a forked child whose output
// goes to files in the test's scratch directory.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "nxapi_private.h"
#include "quor_api.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

using velktest::Clock;

struct ChildRun {
    int code = -1;
    std::string out;
    std::string err;
};

// Runs scenario in a forked child with stdout and stderr in files; its
// result is the child's exit code (0 when every check in it held).
ChildRun inChild(const velktest::ScratchDir &dir, const std::function<int()> &scenario)
{
    std::string outPath = dir / "out", errPath = dir / "err";
    ChildRun r;
    {
        velktest::ForkedChild child([&] {
            if (!velktest::redirectOutputToFiles(outPath, errPath))
                return 120;
            int rc = scenario();
            fflush(nullptr);
            return rc;
        });
        int status = 0;
        if (child.wait(&status) && WIFEXITED(status))
            r.code = WEXITSTATUS(status);
    }
    r.out = velktest::readFile(outPath);
    r.err = velktest::readFile(errPath);
    return r;
}

bool readAll(int fd, unsigned char *p, size_t n)
{
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

struct FdSource : kyl_xdr_source {
    explicit FdSource(int f) : fd(f) {}
    bool get(unsigned char *buf, size_t n) override { return readAll(fd, buf, n); }
    int fd;
};

bool sendMsg(int fd, api_msghdr_t h, kyl_xdrproc_t proc, void *body)
{
    kyl_xdr_outbuf out;
    kyl_xdr_t x;
    kyl_xdr_create_encode(&x, &out);
    if (body != nullptr)
        h.msgFlags |= MSGF_BODY;
    bool ok = nx_xdr_api_msghdr_t(&x, &h) && (body == nullptr || proc(&x, body));
    const unsigned char *p = out.data;
    size_t n = out.len;
    while (ok && n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            ok = false;
        else {
            p += w;
            n -= static_cast<size_t>(w);
        }
    }
    kyl_xdr_outbuf_free(&out);
    return ok;
}

// A gateway on 127.0.0.1 that greets every connection and answers one site
// information request, then waits for the client to close.
class FakeGateway {
public:
    int downConnections = 0;  // greet this many connections with the down flag
    uint32_t protMinor = KYLGW_PROT_MINOR;
    int32_t siteError = 0;

    std::atomic<int> accepted{0};
    std::atomic<int> siteRequests{0};  // well-formed 256/1 requests with {67, 2}
    std::atomic<int> badRequests{0};

    bool start()
    {
        lfd_ = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (lfd_ < 0 || bind(lfd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(lfd_, 8) != 0 ||
            getsockname(lfd_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return false;
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
        return true;
    }
    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        if (lfd_ >= 0)
            close(lfd_);
    }
    ~FakeGateway() { stop(); }

    int port = 0;

private:
    void serve()
    {
        while (!stop_) {
            struct pollfd p = {lfd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int fd = accept(lfd_, nullptr, nullptr);
            if (fd < 0)
                continue;
            int n = ++accepted;
            session(fd, n <= downConnections);
            close(fd);
        }
    }

    void session(int fd, bool down)
    {
        api_msghdr_t g;
        kylgw_BuildMsgHdr(&g, 0, 0, 0, 0, CAT_CONNECTION, FN_GREETING, 0);
        api_server_state_rply_t greet = {KYLGW_PROT_MAJOR, KYLGW_PROT_MINOR, 1, 2, 3, down ? 1u : 0u};
        if (!sendMsg(fd, g, KYL_XDRPROC(api_server_state_rply_t, xdr_api_server_state_rply_t), &greet) || down)
            return;
        FdSource src(fd);
        kyl_xdr_t x;
        kyl_xdr_create_decode(&x, &src);
        api_msghdr_t h = {};
        api_site_info_req_t req = {};
        if (!nx_xdr_api_msghdr_t(&x, &h) || !kylgw_MsgHdrSane(&h) || (h.msgFlags & MSGF_BODY) == 0 ||
            !xdr_api_site_info_req_t(&x, &req)) {
            badRequests++;
            return;
        }
        if (h.category == CAT_CONNECTION && h.function == FN_SITE_INFO && req.cv_major == 67 && req.cv_minor == 2)
            siteRequests++;
        else
            badRequests++;
        api_msghdr_t r;
        kylgw_BuildMsgHdr(&r, h.msgRequestID, 0, 0, 0, CAT_CONNECTION, FN_SITE_INFO, siteError);
        quor_site_info_t site = {};
        site.server_runmode = 1;
        site.sv_prot_major = KYLGW_PROT_MAJOR;
        site.sv_prot_minor = protMinor;
        site.startupCOS = 11;
        if (!sendMsg(fd, r, KYL_XDRPROC(api_site_info_rply_t, xdr_api_site_info_rply_t),
                     siteError == 0 ? &site : nullptr))
            return;
        // Nothing else is expected: wait for the client to close.
        unsigned char b;
        struct pollfd p = {fd, POLLIN, 0};
        auto deadline = Clock::now() + velktest::kGenerousWait;
        while (!stop_ && poll(&p, 1, velktest::msLeft(deadline)) > 0) {
            ssize_t got = read(fd, &b, 1);
            if (got == 0)
                return;
            if (got > 0)
                badRequests++;  // the client sent something after the site information
        }
    }

    int lfd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

void clientEnv(int port)
{
    setenv("QUOR_HOSTNAME", "127.0.0.1", 1);
    setenv("QUOR_SERVER_HOST", ("127.0.0.1/" + std::to_string(port)).c_str(), 1);
    unsetenv("QUOR_CTL_HOSTNAME");
    unsetenv("QUOR_API_DEBUG_PATH");
    unsetenv("QUOR_NET_FAMILY");
    // The in-process gateway speaks no login: with combo and no credentials
    // the login gives up without sending anything, so the refusal path is
    // reached with the remembered result -10003.
    setenv("QUOR_AUTH_METHOD", "combo", 1);
    unsetenv("QUOR_USE_NETRC_FILE");
    unsetenv("QUOR_PRINCIPAL");
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

TEST(ConnectionSetup, ThreeServersGetHandlesOneToThree)
{
    velktest::ScratchDir dir;
    ChildRun r = inChild(dir, [] {
        setenv("QUOR_HOSTNAME", "127.0.0.1", 1);
        setenv("QUOR_SERVER_HOST", "localhost;127.0.0.1; localhost ", 1);
        time_t before = time(nullptr);
        if (nx_LibInit() != 0)
            return 1;
        time_t after = time(nullptr);
        for (int h = 1; h <= 3; h++)
            if (nx_LookupConnection(h) == nullptr || nx_LookupConnection(h)->handle != h)
                return 2;
        if (nx_LookupConnection(4) != nullptr)
            return 3;
        quor_connection_t *cur = nxapi_getCurConnection();
        if (cur == nullptr || cur->handle != init_server_handle)
            return 4;
        if (before == after && init_server_handle != static_cast<int>(before % 3) + 1)
            return 5;
        for (int h = 1; h <= 3; h++) {
            quor_connection_t *c = nx_LookupConnection(h);
            if (kylgw_SockGetPort(&c->server_addr) != NXAPI_DEFAULT_PORT || strcmp(c->service_name, "quor_nxapi") != 0 ||
                c->state.load() != CONNECTION_CLOSED || c->auth_type != 16)
                return 6;
        }
        // Initialisation happens once: the table is not built again.
        if (nx_LibInit() != 0 || nx_LookupConnection(4) != nullptr)
            return 7;
        // The default address family policy was set for the address layer.
        const char *fam = getenv("QUOR_NET_FAMILY");
        return fam != nullptr && strcmp(fam, "ipv4_only") == 0 ? 0 : 8;
    });
    EXPECT_EQ(r.code, 0) << r.err;
}

TEST(ConnectionSetup, EntryWithServiceAndPortAllowsBlanks)
{
    velktest::ScratchDir dir;
    ChildRun r = inChild(dir, [] {
        setenv("QUOR_HOSTNAME", "127.0.0.1", 1);
        setenv("QUOR_SERVER_HOST", "localhost , svc / 2000", 1);
        if (nx_LibInit() != 0)
            return 1;
        quor_connection_t *c = nx_LookupConnection(1);
        if (c == nullptr || nx_LookupConnection(2) != nullptr)
            return 2;
        if (strcmp(c->service_name, "svc") != 0)
            return 3;
        if (kylgw_SockGetPort(&c->server_addr) != 2000 || c->server_port != 2000)
            return 4;
        return init_server_handle == 1 ? 0 : 5;
    });
    EXPECT_EQ(r.code, 0) << r.err;
}

TEST(ConnectionSetup, BlankServerListFailsInitialisationForGood)
{
    velktest::ScratchDir dir;
    ChildRun r = inChild(dir, [] {
        setenv("QUOR_HOSTNAME", "127.0.0.1", 1);
        setenv("QUOR_SERVER_HOST", "   ", 1);
        if (nx_LibInit() != -1)
            return 1;
        if (nx_LibInit() != -1)  // the first result is kept
            return 2;
        nxapi_tcontext_t *ctx = nullptr;
        return nxapi_init(&ctx) == NXAPI_E_NOSESSION && ctx == nullptr ? 0 : 3;
    });
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "*** nx_LibInit: unable to setup connection to any server\n");
}

// Every open in this build ends in the refusal path, because no login method
// is available: the exact lines, a closed socket, and no second attempt.
TEST(ConnectionOpen, AuthenticationRefusalClosesTheConnection)
{
    velktest::ScratchDir dir;
    ChildRun r = inChild(dir, [] {
        FakeGateway g;
        if (!g.start())
            return 1;
        clientEnv(g.port);
        nxapi_tcontext_t *ctx = nullptr;
        if (nxapi_init(&ctx) != NXAPI_E_NOSESSION || ctx != nullptr)
            return 2;
        if (nxapi_getCurConnection() != nullptr || nx_LookupConnection(init_server_handle) != nullptr)
            return 3;
        // Later calls fail the same way without connecting again.
        if (quor_Openlog(0, "velk") != NXAPI_E_NOSESSION)
            return 4;
        quor_site_info_t site;
        if (quorex_GetSiteInfo(&site) != -ENOENT || quorex_GetSiteInfo(nullptr) != -EFAULT)
            return 5;
        g.stop();
        if (g.accepted.load() != 1 || g.siteRequests.load() != 1 || g.badRequests.load() != 0)
            return 6;
        return 0;
    });
    EXPECT_EQ(r.code, 0) << r.err;
    std::regex expected("result = -10003, errno = -?[0-9]+\n"
                        "\\*\\*\\* quorex_OpenConnection: Unable to authenticate user with remote gateway at "
                        "127\\.0\\.0\\.1\n"
                        "result = -10003, errno = -?[0-9]+\n"
                        "Unable to setup communication to QUOR\\.\\.\\.\n"
                        "result = -2, errno = -?[0-9]+\n"
                        "Unable to setup communication to QUOR\\.\\.\\.\n$");
    // The combo login's own diagnostic may come first.
    EXPECT_TRUE(std::regex_search(r.err, expected)) << r.err;
}

TEST(ConnectionOpen, DownServerIsRetriedUntilItIsUp)
{
    velktest::ScratchDir dir;
    ChildRun r = inChild(dir, [] {
        FakeGateway g;
        g.downConnections = 1;
        if (!g.start())
            return 1;
        clientEnv(g.port);
        setenv("QUOR_TESTONLY_DOWN_RETRY_SECONDS", "1", 1);
        if (nx_LibInit() != 0)
            return 2;
        if (quorex_OpenConnection(init_server_handle) != KYLGW_E_AUTHFAILED)
            return 3;
        g.stop();
        return g.accepted.load() == 2 && g.siteRequests.load() == 1 && g.badRequests.load() == 0 ? 0 : 4;
    });
    EXPECT_EQ(r.code, 0) << r.err;
    std::regex down("\\*\\*\\* [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2}  QUOR is down\\.  "
                    "Delaying/retrying until it is back up\\. \n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m, down)) << r.err;
    EXPECT_EQ(m.position(0), 0) << r.err;
    EXPECT_TRUE(contains(r.err, "Unable to authenticate user with remote gateway at 127.0.0.1\n")) << r.err;
}

TEST(ConnectionOpen, OlderProtocolLevelIsRefused)
{
    velktest::ScratchDir dir;
    ChildRun r = inChild(dir, [] {
        FakeGateway g;
        g.protMinor = 1;
        if (!g.start())
            return 1;
        clientEnv(g.port);
        if (nx_LibInit() != 0)
            return 2;
        int handle = init_server_handle;
        if (quorex_OpenConnection(handle) != KYLGW_E_PROTOCOL_LEVEL)
            return 3;
        // The failed open left nothing behind.
        if (nx_LookupConnection(handle) != nullptr || nxapi_getCurConnection() != nullptr)
            return 4;
        if (quorex_OpenConnection(handle) != -2)
            return 5;
        g.stop();
        return g.accepted.load() == 1 ? 0 : 6;
    });
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "client and server are at different protocol levels\n"
                     "*** quorex_OpenConnection: Unable to authenticate user with remote gateway at 127.0.0.1\n");
}

TEST(ConnectionOpen, SiteInformationErrorIsReturned)
{
    velktest::ScratchDir dir;
    ChildRun r = inChild(dir, [] {
        FakeGateway g;
        g.siteError = -5;
        if (!g.start())
            return 1;
        clientEnv(g.port);
        if (nx_LibInit() != 0)
            return 2;
        int handle = init_server_handle;
        if (quorex_OpenConnection(handle) != -5)
            return 3;
        return nx_LookupConnection(handle) == nullptr ? 0 : 4;
    });
    EXPECT_EQ(r.code, 0) << r.err;
    std::regex expected("\\*\\*\\* quorex_OpenConnection: unable to obtain remote site info\\. server=[^\n]+\n");
    EXPECT_TRUE(std::regex_match(r.err, expected)) << r.err;
}

TEST(ConnectionOpen, NoListenerGivesTheConnectError)
{
    velktest::ScratchDir dir;
    ChildRun r = inChild(dir, [] {
        // A port that was free a moment ago and has no listener now.
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
            return 1;
        clientEnv(ntohs(a.sin_port));
        close(fd);
        if (nx_LibInit() != 0)
            return 2;
        int handle = init_server_handle;
        if (quorex_OpenConnection(handle) != -ECONNREFUSED)
            return 3;
        // A connect failure keeps the connection in the table, closed.
        quor_connection_t *c = nx_LookupConnection(handle);
        return c != nullptr && c->state.load() == CONNECTION_CLOSED ? 0 : 4;
    });
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "connect: ")) << r.err;
}

TEST(ConnectionRefusal, EveryCodeHasItsText)
{
    struct Row {
        int code;
        const char *text;
    };
    const Row rows[] = {
        {-41000, "server doesn't support authentication function (response=-41000)\n"},
        {-41001, "server doesn't support authentication function (response=-41001)\n"},
        {-42002, "client and server are at different protocol levels\n"},
        {-42005, "server does not support authentication method\n"},
        {-42006, "server reports problem with kerberos authentication\n"},
        {-43000, "server is shutting down - please retry later\n"},
        {-43001, "server is in periods-processing mode - please retry later\n"},
        {-43002, "Service not available - maximum number of sessions exceeded\n"},
        {-50001, "BRX memory allocation problem\n"},
        {-50100, "KYLGWD <--> BRX communication problem\n"},
        {-50102, "KYLGWD IPC initialization error\n"},
        {-50103, "KYLGWD IPC communication error\n"},
        {-50104, "KYLGWD<-->BRX buffer error\n"},
        {-50200, "QUOR is -down-\n"},
        {-50201, "QUOR is in system maintenance mode\n"},
        {-50202, "QUOR is approaching system maintenance time\n"},
        {-50220, "Client user is locked\n"},
        {-50221, "Client group is locked\n"},
        {-50222, "Client host or cluster is locked\n"},
        {-50500, "Default per-user session limit exceeded\n"},
        {-50501, "Default per-group session limit exceeded\n"},
        {-50502, "Default per-host session limit exceeded\n"},
        {-50510, "Per-user session limit exceeded\n"},
        {-50511, "Per-group session limit exceeded\n"},
        {-50512, "Per-host session limit exceeded\n"},
        {-51000, "BRX HMAC generation problem\n"},
        {-51010, "BRX encryption problem\n"},
        {-51011, "BRX decryption problem\n"},
        {-51020, "BRX signature length problem\n"},
        {-51021, "BRX signature problem\n"},
        {-51030, "BRX retry certificate invalid\n"},
        {-51035, "BRX retry before certificate start time\n"},
        {-51040, "BRX retry certificate expired\n"},
    };
    for (const Row &row : rows) {
        velktest::StreamCapture err(STDERR_FILENO);
        nx_PrintRefusal(row.code);
        EXPECT_EQ(err.text(), row.text) << row.code;
    }
    velktest::StreamCapture err(STDERR_FILENO);
    errno = EPIPE;
    nx_PrintRefusal(-10003);
    EXPECT_EQ(err.text(), "result = -10003, errno = " + std::to_string(EPIPE) + "\n");
}

// Binds count listening sockets to consecutive loopback ports from some
// base; returns the base, or -1 when no free run was found.
int occupyPorts(int count, std::vector<int> *fds)
{
    for (int base = 20000 + (getpid() % 2000) * 10; base < 60000; base += 97) {
        std::vector<int> got;
        for (int p = base; p < base + count; p++) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            struct sockaddr_in a = {};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(p));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 1) != 0) {
                if (fd >= 0)
                    close(fd);
                break;
            }
            got.push_back(fd);
        }
        if (static_cast<int>(got.size()) == count) {
            *fds = got;
            return base;
        }
        for (int fd : got)
            close(fd);
    }
    return -1;
}

quor_sockaddr_t loopback()
{
    quor_sockaddr_t a = {};
    auto *in = reinterpret_cast<struct sockaddr_in *>(&a.hs_addr);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.hs_addrlen = sizeof(struct sockaddr_in);
    return a;
}

TEST(RestrictedPorts, OnePortRangeBindsThatPort)
{
    velktest::ScratchDir dir;
    ChildRun r = inChild(dir, [] {
        setenv("QUOR_NET_FAMILY", "ipv4_only", 1);
        std::vector<int> held;
        int port = occupyPorts(1, &held);
        if (port < 0)
            return 1;
        close(held[0]);
        min_socket_port = max_socket_port = port;
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        quor_sockaddr_t a = loopback(), bound = {};
        if (kylgw_SockBindToRestrictedPort(fd, &a, &bound) != 0)
            return 2;
        if (kylgw_SockGetPort(&bound) != port)
            return 3;
        // The same single port, now busy: one attempt, then -1.
        int fd2 = socket(AF_INET, SOCK_STREAM, 0);
        if (listen(fd, 1) != 0 || kylgw_SockBindToRestrictedPort(fd2, &a, &bound) != -1)
            return 4;
        return 0;
    });
    EXPECT_EQ(r.code, 0) << r.err;
}

TEST(RestrictedPorts, EveryPortBusyFails)
{
    velktest::ScratchDir dir;
    ChildRun r = inChild(dir, [] {
        setenv("QUOR_NET_FAMILY", "ipv4_only", 1);
        std::vector<int> held;
        int base = occupyPorts(11, &held);
        if (base < 0)
            return 1;
        min_socket_port = base;
        max_socket_port = base + 10;
        quor_sockaddr_t a = loopback(), bound = {};
        for (int i = 0; i < 20; i++) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            int rc = kylgw_SockBindToRestrictedPort(fd, &a, &bound);
            close(fd);
            if (rc != -1)
                return 2;
        }
        // One port freed: a bind may land only there.
        close(held[5]);
        for (int i = 0; i < 50; i++) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            int rc = kylgw_SockBindToRestrictedPort(fd, &a, &bound);
            close(fd);
            if (rc == 0 && kylgw_SockGetPort(&bound) != base + 5)
                return 3;
            if (rc != 0 && rc != -1)
                return 4;
        }
        return 0;
    });
    EXPECT_EQ(r.code, 0) << r.err;
}

TEST(RestrictedPorts, ListenSocketIsBoundNonBlockingAndInRange)
{
    velktest::ScratchDir dir;
    ChildRun r = inChild(dir, [] {
        setenv("QUOR_HOSTNAME", "127.0.0.1", 1);
        setenv("QUOR_SERVER_HOST", "127.0.0.1", 1);
        if (nx_LibInit() != 0)
            return 1;
        int fd = -1;
        quor_sockaddr_t addr = {};
        if (kylgw_SockGetListenSocket(0, 1, &fd, &addr) != 0 || fd < 0)
            return 2;
        if ((fcntl(fd, F_GETFL) & O_NONBLOCK) == 0)
            return 3;
        auto *in = reinterpret_cast<struct sockaddr_in *>(&addr.hs_addr);
        if (in->sin_family != AF_INET || in->sin_addr.s_addr != htonl(INADDR_LOOPBACK) || in->sin_port == 0)
            return 4;
        int on = 0;
        socklen_t len = sizeof on;
        if (getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, &len) != 0 || on == 0)
            return 5;
        // The control address is a copy of the local data address here.
        return memcmp(kylgw_SockGetControlAddr(0), kylgw_SockGetControlAddr(1), sizeof(quor_sockaddr_t)) == 0 ? 0
                                                                                                               : 6;
    });
    EXPECT_EQ(r.code, 0) << r.err;
}

TEST(RestrictedPorts, PortOfAnUnknownFamily)
{
    quor_sockaddr_t a = {};
    EXPECT_EQ(kylgw_SockGetPort(&a), 65535);
    EXPECT_EQ(kylgw_SockSetPort(&a, 10), -1);
    a = loopback();
    EXPECT_EQ(kylgw_SockSetPort(&a, 4321), 0);
    EXPECT_EQ(kylgw_SockGetPort(&a), 4321);
}

} // namespace
