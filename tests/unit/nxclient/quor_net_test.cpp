// The network address layer: the QUOR_NET_FAMILY policy choosing the
// address family, universal addresses, errno kept by socket calls, the
// IPv6-only socket option and link-local scope ids.  Expected addresses are
// built with inet_pton, not through the code under test.

#include "kyl_fd.h"
#include "quor_net.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace {

// Every test sets QUOR_NET_FAMILY itself and leaves it as it found it.
class QuorNet : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char *v = getenv("QUOR_NET_FAMILY"))
            saved_ = v;
        unsetenv("QUOR_NET_FAMILY");
    }
    void TearDown() override
    {
        if (saved_)
            setenv("QUOR_NET_FAMILY", saved_->c_str(), 1);
        else
            unsetenv("QUOR_NET_FAMILY");
    }
    static void family(const char *value) { setenv("QUOR_NET_FAMILY", value, 1); }

private:
    std::optional<std::string> saved_;
};

quor_sockaddr_t addr(const char *text, uint16_t port)
{
    quor_sockaddr_t a;
    memset(&a, 0, sizeof a);
    if (strchr(text, ':') != nullptr) {
        auto *in = reinterpret_cast<sockaddr_in6 *>(&a.hs_addr);
        in->sin6_family = AF_INET6;
        in->sin6_port = htons(port);
        EXPECT_EQ(inet_pton(AF_INET6, text, &in->sin6_addr), 1) << text;
        a.hs_addrlen = sizeof *in;
    } else {
        auto *in = reinterpret_cast<sockaddr_in *>(&a.hs_addr);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        EXPECT_EQ(inet_pton(AF_INET, text, &in->sin_addr), 1) << text;
        a.hs_addrlen = sizeof *in;
    }
    return a;
}

// The address of a record as text, "" for another family.
std::string numeric(const quor_sockaddr_t &a)
{
    char buf[INET6_ADDRSTRLEN] = "";
    if (a.hs_addr.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(&a.hs_addr)->sin_addr, buf, sizeof buf);
    else if (a.hs_addr.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6 *>(&a.hs_addr)->sin6_addr, buf, sizeof buf);
    return buf;
}

TEST_F(QuorNet, FamilyPolicyChoosesTheAddress)
{
    struct Case {
        const char *policy;  // nullptr: unset
        const char *host;    // nullptr: the passive wildcard
        const char *want;    // nullptr: refused, the record untouched
    };
    const Case cases[] = {
        {nullptr, "127.0.0.1", nullptr},      {"IPv4_ONLY", "127.0.0.1", nullptr},
        {"ipv4_only", "192.0.2.1", "192.0.2.1"}, {"ipv4_only", "::1", nullptr},
        {"ipv4_only", nullptr, "0.0.0.0"},    {"ipv6", "::1", "::1"},
        {"ipv6", "127.0.0.1", "127.0.0.1"},   {"ipv6", nullptr, "::"},
        {"ipv6_only", "::1", "::1"},          {"ipv6_only", "127.0.0.1", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.policy ? c.policy : "unset") + " " + (c.host ? c.host : "passive"));
        if (c.policy != nullptr)
            family(c.policy);
        else
            unsetenv("QUOR_NET_FAMILY");
        quor_sockaddr_t a = addr("10.9.8.7", 1);
        const quor_sockaddr_t before = a;
        char err[512] = "";
        int rc = quor_net_getaddrinfo(c.host, c.host ? "1217" : "0", c.host ? AI_NUMERICHOST : 0, IPPROTO_TCP, &a,
                                      err, sizeof err);
        if (c.want == nullptr) {
            EXPECT_LT(rc, 0);
            EXPECT_EQ(memcmp(&a, &before, sizeof a), 0);
            continue;
        }
        ASSERT_EQ(rc, 0) << err;
        EXPECT_EQ(numeric(a), c.want);
        EXPECT_EQ(a.hs_addrlen, a.hs_addr.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        if (c.host != nullptr) {
            EXPECT_EQ(quor_net_getport(&a, err, sizeof err), 1217);
        }
    }
    // Bad arguments: a protocol that is not TCP, UDP or 0, and no record.
    family("ipv4_only");
    quor_sockaddr_t a;
    EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1217", 0, 1, &a, nullptr, 0), -E2BIG);
    EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1217", 0, IPPROTO_TCP, nullptr, nullptr, 0), -EAGAIN);
    EXPECT_EQ(quor_net_getaddrinfo("x", "1", AI_NUMERICHOST, 0, &a, nullptr, 0),
              EAI_NONAME < 0 ? EAI_NONAME : -EAI_NONAME);
    // Refused sockets without a policy.
    unsetenv("QUOR_NET_FAMILY");
    quor_sockaddr_t lo = addr("127.0.0.1", 0);
    errno = 0;
    EXPECT_EQ(quor_net_socket(&lo, SOCK_STREAM, 0, nullptr, 0), -ENXIO);
    EXPECT_EQ(errno, ENXIO);
}

TEST_F(QuorNet, UniversalAddress)
{
    char err[256], text[64];
    quor_sockaddr_t a = addr("192.0.2.1", 1217), b = addr("2001:db8::5", 80);
    EXPECT_EQ(quor_net_getuniversaladdress(&a, text, sizeof text, err, sizeof err), 14);
    EXPECT_STREQ(text, "192.0.2.1.1217");
    EXPECT_EQ(quor_net_getuniversaladdress(&b, text, sizeof text, err, sizeof err), 14);
    EXPECT_STREQ(text, "2001:db8::5.80");
    char fit[15], shortBuf[14];
    EXPECT_EQ(quor_net_getuniversaladdress(&a, fit, sizeof fit, err, sizeof err), 14);
    EXPECT_EQ(quor_net_getuniversaladdress(&a, shortBuf, sizeof shortBuf, err, sizeof err), -1);
    EXPECT_EQ(shortBuf[0], '\0');
    quor_sockaddr_t none;
    quor_net_initaddr(&none);
    EXPECT_EQ(quor_net_getuniversaladdress(&none, text, sizeof text, err, sizeof err), -22);

}

TEST_F(QuorNet, SocketCallsKeepErrno)
{
    // A bound socket that does not listen refuses; errno is kept.
    family("ipv4_only");
    char err[512] = "";
    quor_sockaddr_t lo = addr("127.0.0.1", 0), target;
    kyl_fd idle(quor_net_socket(&lo, SOCK_STREAM, 0, err, sizeof err));
    ASSERT_EQ(quor_net_bind(idle.get(), &lo, err, sizeof err), 0) << err;
    ASSERT_EQ(quor_net_getsockname(idle.get(), &target, err, sizeof err), 0);
    EXPECT_GT(quor_net_getport(&target, err, sizeof err), 0);
    kyl_fd refused(quor_net_socket(&target, SOCK_STREAM, 0, err, sizeof err));
    errno = 0;
    EXPECT_EQ(quor_net_connect(refused.get(), &target, err, sizeof err), -ECONNREFUSED);
    EXPECT_EQ(errno, ECONNREFUSED);
    errno = 0;
    EXPECT_EQ(quor_net_bind(idle.get(), nullptr, err, sizeof err), -EFAULT);
    EXPECT_EQ(errno, EFAULT);
}

TEST_F(QuorNet, Ipv6OnlyAndLinkLocalScope)
{
    if (!kyl_fd(socket(AF_INET6, SOCK_STREAM, 0)).valid())
        GTEST_SKIP() << "this host has no IPv6 sockets";
    char err[512] = "";
    family("ipv6_only");
    quor_sockaddr_t any6 = addr("::", 0), lo4 = addr("127.0.0.1", 0);
    kyl_fd s(quor_net_socket(&any6, SOCK_STREAM, 0, err, sizeof err));
    ASSERT_GE(s.get(), 0) << err;
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(getsockopt(s.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, &len), 0);
    EXPECT_EQ(on, 1);
    EXPECT_LT(quor_net_socket(&lo4, SOCK_STREAM, 0, err, sizeof err), 0);

    // A link-local address without scope gets its interface's index.
    ifaddrs *list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    std::optional<sockaddr_in6> local;
    unsigned index = 0;
    for (ifaddrs *ifa = list; ifa != nullptr && !local; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET6)
            continue;
        const auto *a = reinterpret_cast<const sockaddr_in6 *>(ifa->ifa_addr);
        if (IN6_IS_ADDR_LINKLOCAL(&a->sin6_addr)) {
            local = *a;
            index = if_nametoindex(ifa->ifa_name);
        }
    }
    freeifaddrs(list);
    if (!local || index == 0)
        GTEST_SKIP() << "no interface with a link-local IPv6 address";
    family("ipv6");
    quor_sockaddr_t a;
    memset(&a, 0, sizeof a);
    local->sin6_scope_id = 0;
    local->sin6_port = 0;
    memcpy(&a.hs_addr, &*local, sizeof *local);
    a.hs_addrlen = sizeof *local;
    const quor_sockaddr_t copy = a;
    kyl_fd ls(quor_net_socket(&a, SOCK_STREAM, 0, err, sizeof err));
    ASSERT_EQ(quor_net_bind(ls.get(), &a, err, sizeof err), 0) << err;
    EXPECT_EQ(memcmp(&copy, &a, sizeof a), 0);
    quor_sockaddr_t bound;
    ASSERT_EQ(quor_net_getsockname(ls.get(), &bound, err, sizeof err), 0);
    EXPECT_EQ(reinterpret_cast<const sockaddr_in6 *>(&bound.hs_addr)->sin6_scope_id, index);
}

// A service text is a port only as a whole number up to 65535.
TEST(QuorNetText, PortFromText)
{
    const struct {
        const char *text;
        int port;
    } cases[] = {{"0", 0},          {"65535", 65535},          {"65536", -ERANGE}, {"", -ERANGE},
                 {"12a", -ERANGE}, {nullptr, -ERANGE}, {"99999999999999999999", -ERANGE}};
    for (const auto &c : cases) {
        char err[256] = "";
        EXPECT_EQ(quor_net_portfromtext(c.text, err, sizeof err), c.port) << (c.text ? c.text : "null");
    }
}

quor_sockaddr_t addrOf(const char *text)
{
    quor_sockaddr_t a;
    quor_net_initaddr(&a);
    const bool v6 = strchr(text, ':') != nullptr;
    if (v6) {
        auto *in6 = reinterpret_cast<sockaddr_in6 *>(&a.hs_addr);
        in6->sin6_family = AF_INET6;
        EXPECT_EQ(inet_pton(AF_INET6, text, &in6->sin6_addr), 1);
    } else {
        auto *in = reinterpret_cast<sockaddr_in *>(&a.hs_addr);
        in->sin_family = AF_INET;
        EXPECT_EQ(inet_pton(AF_INET, text, &in->sin_addr), 1);
    }
    a.hs_addrlen = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    return a;
}

// A prefix of n bits masks the high n bits of the address (0: all of
// them); a candidate matches when it agrees on the masked bits and is of
// the same family.
TEST(QuorNetText, PrefixMasksAndMatches)
{
    const struct {
        const char *addr;
        int bits;
        const char *candidate;
        int rc, match;
    } cases[] = {
        {"10.1.2.3", 20, "10.1.15.200", 0, 1}, {"10.1.2.3", 20, "10.1.16.3", 0, 0}, {"10.1.2.3", 0, "10.1.2.3", 0, 1},
        {"10.1.2.3", 0, "10.1.2.4", 0, 0},     {"10.1.2.3", 33, "10.1.2.3", -EINVAL, 0},
        {"::", 1, "::1", 0, 1},                {"0.0.0.0", 1, "::1", 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.addr) + "/" + std::to_string(c.bits) + " " + c.candidate);
        const quor_sockaddr_t a = addrOf(c.addr), cand = addrOf(c.candidate);
        quor_sockaddr_t mask;
        ASSERT_EQ(quor_net_generatemask(&a, &mask, c.bits), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(quor_net_addrmatch(&a, &mask, &cand), c.match);
        }
    }
}

} // namespace
