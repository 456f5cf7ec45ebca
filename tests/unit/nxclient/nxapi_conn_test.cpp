// Connection set-up that needs no gateway: the server list read from
// QUOR_SERVER_HOST and binding within a restricted port range.  Library
// initialisation is once per process, so every case runs in a forked child.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "nxapi_private.h"
#include "quor_api.h"
#include "velk_testproc.h"

namespace {

using velktest::childExitsWith;

struct ServerListCase {
    const char *value;
    int servers;          // connections set up; 0: initialisation fails
    const char *service;  // of the first entry
    int port;             // of the first entry
};

TEST(ConnectionSetup, ServerListEntries)
{
    const ServerListCase cases[] = {
        {"localhost;127.0.0.1; localhost ", 3, "quor_nxapi", NXAPI_DEFAULT_PORT},
        {"localhost , svc / 2000", 1, "svc", 2000},
        {"127.0.0.1/3000", 1, "quor_nxapi", 3000},
        {"   ", 0, "", 0},
    };
    for (const ServerListCase &c : cases) {
        SCOPED_TRACE(c.value);
        EXPECT_TRUE(childExitsWith(0, [&c] {
            setenv("QUOR_HOSTNAME", "127.0.0.1", 1);
            setenv("QUOR_SERVER_HOST", c.value, 1);
            if (c.servers == 0) {
                nxapi_tcontext_t *ctx = nullptr;
                // The first result is kept, and no call gets a session.
                return nx_LibInit() == -1 && nx_LibInit() == -1 && nxapi_init(&ctx) == NXAPI_E_NOSESSION ? 0 : 1;
            }
            if (nx_LibInit() != 0 || nx_LibInit() != 0)
                return 2;
            for (int h = 1; h <= c.servers; h++) {
                quor_connection_t *conn = nx_LookupConnection(h);
                if (conn == nullptr || conn->handle != h || conn->state.load() != CONNECTION_CLOSED)
                    return 3;
            }
            if (nx_LookupConnection(c.servers + 1) != nullptr)
                return 4;
            if (nxapi_init_server_handle < 1 || nxapi_init_server_handle > c.servers)
                return 5;
            quor_connection_t *first = nx_LookupConnection(1);
            if (strcmp(first->service_name, c.service) != 0 || kylgw_SockGetPort(&first->server_addr) != c.port)
                return 6;
            // The default address family policy was set for the address layer.
            const char *fam = getenv("QUOR_NET_FAMILY");
            return fam != nullptr && strcmp(fam, "ipv4_only") == 0 ? 0 : 7;
        }));
    }
}

// Binds count listening sockets to consecutive loopback ports; returns the
// first port, or -1 when no free run was found.
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

TEST(RestrictedPorts, BindsOnlyWithinTheRangeAndFailsWhenAllAreBusy)
{
    EXPECT_TRUE(childExitsWith(0, [] {
        setenv("QUOR_NET_FAMILY", "ipv4_only", 1);
        std::vector<int> held;
        int base = occupyPorts(11, &held);
        if (base < 0)
            return 1;
        nxapi_min_socket_port = base;
        nxapi_max_socket_port = base + 10;
        quor_sockaddr_t a = {}, bound = {};
        auto *in = reinterpret_cast<struct sockaddr_in *>(&a.hs_addr);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.hs_addrlen = sizeof(struct sockaddr_in);
        for (int i = 0; i < 20; i++) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            int rc = kylgw_SockBindToRestrictedPort(fd, &a, &bound);
            close(fd);
            if (rc != -EADDRINUSE)
                return 2;
        }
        // One port freed: every bind finds it, wherever its search starts.
        close(held[5]);
        for (int i = 0; i < 20; i++) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            int rc = kylgw_SockBindToRestrictedPort(fd, &a, &bound);
            close(fd);
            if (rc != 0 || kylgw_SockGetPort(&bound) != base + 5)
                return 3;
        }
        // A range of that one port binds it at the first attempt.
        nxapi_min_socket_port = nxapi_max_socket_port = base + 5;
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (kylgw_SockBindToRestrictedPort(fd, &a, &bound) != 0 || kylgw_SockGetPort(&bound) != base + 5)
            return 4;
        return 0;
    }));
}

} // namespace
