// The network address layer: the QUOR_NET_FAMILY policy, look-ups and their
// error codes and texts, address texts, masks and matching, IPv6 link-local
// scope ids, and a real socket round trip on loopback.  Expected addresses
// are built by hand with inet_pton, not through the code under test.

#include "quor_net.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace {

constexpr const char *kFamilyVar = "QUOR_NET_FAMILY";

// Every test starts with QUOR_NET_FAMILY as the test sets it and leaves the
// process environment as it found it.  The test program is single-threaded.
class QuorNet : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *v = getenv(kFamilyVar);
        if (v != nullptr)
            saved_ = v;
        unsetenv(kFamilyVar);
    }
    void TearDown() override
    {
        if (saved_)
            setenv(kFamilyVar, saved_->c_str(), 1);
        else
            unsetenv(kFamilyVar);
    }
    static void family(const char *value) { ASSERT_EQ(setenv(kFamilyVar, value, 1), 0); }

private:
    std::optional<std::string> saved_;
};

// Closes a descriptor at the end of a scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
};

quor_sockaddr_t ipv4(const char *text, uint16_t port)
{
    quor_sockaddr_t a;
    memset(&a, 0, sizeof(a));
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET, text, &in.sin_addr), 1) << text;
    memcpy(&a.hs_addr, &in, sizeof(in));
    a.hs_addrlen = sizeof(in);
    return a;
}

quor_sockaddr_t ipv6(const char *text, uint16_t port)
{
    quor_sockaddr_t a;
    memset(&a, 0, sizeof(a));
    sockaddr_in6 in{};
    in.sin6_family = AF_INET6;
    in.sin6_port = htons(port);
    EXPECT_EQ(inet_pton(AF_INET6, text, &in.sin6_addr), 1) << text;
    memcpy(&a.hs_addr, &in, sizeof(in));
    a.hs_addrlen = sizeof(in);
    return a;
}

const sockaddr_in &in4(const quor_sockaddr_t &a)
{
    return *reinterpret_cast<const sockaddr_in *>(&a.hs_addr);
}

const sockaddr_in6 &in6(const quor_sockaddr_t &a)
{
    return *reinterpret_cast<const sockaddr_in6 *>(&a.hs_addr);
}

std::string numeric(const quor_sockaddr_t &a)
{
    char buf[INET6_ADDRSTRLEN] = "";
    if (a.hs_addr.ss_family == AF_INET)
        inet_ntop(AF_INET, &in4(a).sin_addr, buf, sizeof(buf));
    else if (a.hs_addr.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &in6(a).sin6_addr, buf, sizeof(buf));
    return buf;
}

bool ipv6SocketsWork()
{
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

// "quor_net:<line>:<function>(): " at the start of an error text.
::testing::AssertionResult hasPrefix(const char *text, const char *function)
{
    std::string t(text);
    std::string head = "quor_net:";
    if (t.compare(0, head.size(), head) != 0)
        return ::testing::AssertionFailure() << "no unit prefix: " << t;
    size_t i = head.size();
    size_t digits = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') {
        i++;
        digits++;
    }
    std::string rest = std::string(":") + function + "(): ";
    if (digits == 0 || t.compare(i, rest.size(), rest) != 0)
        return ::testing::AssertionFailure() << "bad line or function part: " << t;
    return ::testing::AssertionSuccess();
}

} // namespace

TEST_F(QuorNet, UnsetOrUnknownFamilyRefusesLookupsAndSockets)
{
    char err[512] = "";
    quor_sockaddr_t a;
    quor_net_initaddr(&a);
    EXPECT_EQ(quor_net_familypolicy(), QUOR_NET_FAMILY_REFUSED);
    EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1217", 0, IPPROTO_TCP, &a, err, sizeof(err)), -ENXIO);
    EXPECT_TRUE(hasPrefix(err, "quor_net_getaddrinfo"));
    EXPECT_NE(strstr(err, "QUOR_NET_FAMILY set to"), nullptr) << err;
    EXPECT_NE(strstr(err, "<no family set>"), nullptr) << err;
    EXPECT_EQ(a.hs_addr.ss_family, AF_UNSPEC) << "a refused look-up must not fill the record";

    family("IPv4_ONLY");
    EXPECT_EQ(quor_net_familypolicy(), QUOR_NET_FAMILY_REFUSED);
    err[0] = '\0';
    EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1217", 0, IPPROTO_TCP, &a, err, sizeof(err)), -ENXIO);
    EXPECT_NE(strstr(err, "QUOR_NET_FAMILY set to IPv4_ONLY"), nullptr) << err;

    quor_sockaddr_t lo = ipv4("127.0.0.1", 0);
    errno = 0;
    err[0] = '\0';
    EXPECT_EQ(quor_net_socket(&lo, SOCK_STREAM, 0, err, sizeof(err)), -ENXIO);
    EXPECT_EQ(errno, ENXIO);
    EXPECT_TRUE(hasPrefix(err, "quor_net_socket"));
    EXPECT_NE(strstr(err, "QUOR_NET_FAMILY set to"), nullptr) << err;
}

TEST_F(QuorNet, PolicyNamesAreReadOnEveryCall)
{
    family("ipv4_only");
    EXPECT_EQ(quor_net_familypolicy(), QUOR_NET_FAMILY_IPV4_ONLY);
    family("ipv6");
    EXPECT_EQ(quor_net_familypolicy(), QUOR_NET_FAMILY_IPV6);
    family("ipv6_only");
    EXPECT_EQ(quor_net_familypolicy(), QUOR_NET_FAMILY_IPV6_ONLY);

    // The same look-up changes family as soon as the variable changes.
    quor_sockaddr_t a;
    char err[512] = "";
    EXPECT_EQ(quor_net_getaddrinfo("::1", "7", AI_NUMERICHOST, 0, &a, err, sizeof(err)), 0) << err;
    EXPECT_EQ(a.hs_addr.ss_family, AF_INET6);
    family("ipv4_only");
    EXPECT_LT(quor_net_getaddrinfo("::1", "7", AI_NUMERICHOST, 0, &a, err, sizeof(err)), 0);
    EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "7", AI_NUMERICHOST, 0, &a, err, sizeof(err)), 0) << err;
    EXPECT_EQ(a.hs_addr.ss_family, AF_INET);
}

TEST_F(QuorNet, LookupArgumentChecks)
{
    family("ipv4_only");
    char err[512] = "";
    quor_sockaddr_t a;
    EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1217", 0, 1, &a, err, sizeof(err)), -E2BIG);
    EXPECT_TRUE(hasPrefix(err, "quor_net_getaddrinfo"));
    EXPECT_NE(strstr(err, "Invalid protocol used (1)"), nullptr) << err;
    EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1217", 0, 255, &a, err, sizeof(err)), -E2BIG);

    for (int proto : {0, static_cast<int>(IPPROTO_TCP), static_cast<int>(IPPROTO_UDP)}) {
        quor_net_initaddr(&a);
        EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1217", AI_NUMERICHOST, proto, &a, err, sizeof(err)), 0)
            << "protocol " << proto << ": " << err;
        EXPECT_EQ(a.hs_addr.ss_family, AF_INET);
        EXPECT_EQ(ntohs(in4(a).sin_port), 1217);
    }

    errno = 0;
    err[0] = '\0';
    EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1217", 0, IPPROTO_TCP, nullptr, err, sizeof(err)), -EAGAIN);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_NE(strstr(err, "Invalid address passed to function"), nullptr) << err;

    // A failing system look-up returns its own (negative) code, and the text
    // names host, service, code and the look-up's message.
    err[0] = '\0';
    int rc = quor_net_getaddrinfo("not-a-number", "1217", AI_NUMERICHOST, IPPROTO_TCP, &a, err, sizeof(err));
    EXPECT_EQ(rc, EAI_NONAME < 0 ? EAI_NONAME : -EAI_NONAME);
    EXPECT_TRUE(hasPrefix(err, "quor_net_getaddrinfo"));
    std::string expect = std::string("host not-a-number service 1217: Error returned from getaddrinfo.  ") +
                         std::to_string(EAI_NONAME) + " " + gai_strerror(EAI_NONAME);
    EXPECT_NE(strstr(err, expect.c_str()), nullptr) << err;

    // No buffer: still the code, nothing written anywhere.
    EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1217", 0, 1, &a, nullptr, 0), -E2BIG);
    char tiny[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(quor_net_getaddrinfo("127.0.0.1", "1217", 0, 1, &a, tiny, sizeof(tiny)), -E2BIG);
    EXPECT_EQ(std::string(tiny), "quo");
}

TEST_F(QuorNet, FamilyPolicyChoosesTheAddress)
{
    char err[512] = "";
    quor_sockaddr_t a;

    family("ipv4_only");
    ASSERT_EQ(quor_net_getaddrinfo("192.0.2.1", "1217", AI_NUMERICHOST, IPPROTO_TCP, &a, err, sizeof(err)), 0)
        << err;
    EXPECT_EQ(a.hs_addr.ss_family, AF_INET);
    EXPECT_EQ(a.hs_addrlen, sizeof(sockaddr_in));
    EXPECT_EQ(numeric(a), "192.0.2.1");
    EXPECT_EQ(ntohs(in4(a).sin_port), 1217);

    // No host: the passive wildcard address of the policy's family.
    ASSERT_EQ(quor_net_getaddrinfo(nullptr, "0", 0, IPPROTO_TCP, &a, err, sizeof(err)), 0) << err;
    EXPECT_EQ(numeric(a), "0.0.0.0");

    // "ipv6": a host with an IPv6 address gets it; a host with only an IPv4
    // address gets that one, as an IPv4 record.
    family("ipv6");
    ASSERT_EQ(quor_net_getaddrinfo("::1", "1217", AI_NUMERICHOST, IPPROTO_TCP, &a, err, sizeof(err)), 0) << err;
    EXPECT_EQ(a.hs_addr.ss_family, AF_INET6);
    EXPECT_EQ(numeric(a), "::1");
    EXPECT_EQ(ntohs(in6(a).sin6_port), 1217);
    ASSERT_EQ(quor_net_getaddrinfo("127.0.0.1", "1217", AI_NUMERICHOST, IPPROTO_TCP, &a, err, sizeof(err)), 0)
        << err;
    EXPECT_EQ(a.hs_addr.ss_family, AF_INET);
    EXPECT_EQ(a.hs_addrlen, sizeof(sockaddr_in));
    EXPECT_EQ(numeric(a), "127.0.0.1");
    EXPECT_EQ(ntohs(in4(a).sin_port), 1217);
    ASSERT_EQ(quor_net_getaddrinfo(nullptr, "0", 0, IPPROTO_TCP, &a, err, sizeof(err)), 0) << err;
    EXPECT_EQ(numeric(a), "::");

    family("ipv6_only");
    ASSERT_EQ(quor_net_getaddrinfo("::1", "1217", AI_NUMERICHOST, IPPROTO_TCP, &a, err, sizeof(err)), 0) << err;
    EXPECT_EQ(a.hs_addr.ss_family, AF_INET6);
    EXPECT_EQ(a.hs_addrlen, sizeof(sockaddr_in6));
    quor_sockaddr_t before = a;
    EXPECT_LT(quor_net_getaddrinfo("127.0.0.1", "1217", AI_NUMERICHOST, IPPROTO_TCP, &a, err, sizeof(err)), 0);
    EXPECT_EQ(memcmp(&before, &a, sizeof(a)), 0) << "a failed look-up must not touch the record";
}

TEST_F(QuorNet, NameInfoAndPorts)
{
    char err[512] = "";
    char host[NI_MAXHOST] = "";
    char serv[NI_MAXSERV] = "";
    quor_sockaddr_t a = ipv4("192.0.2.1", 1217);
    ASSERT_EQ(quor_net_getnameinfo(&a, host, sizeof(host), serv, sizeof(serv), NI_NUMERICHOST | NI_NUMERICSERV, err,
                                   sizeof(err)),
              0)
        << err;
    EXPECT_STREQ(host, "192.0.2.1");
    EXPECT_STREQ(serv, "1217");
    EXPECT_EQ(quor_net_getnameinfo(nullptr, host, sizeof(host), serv, sizeof(serv), 0, err, sizeof(err)), -EFAULT);

    EXPECT_EQ(quor_net_getport(&a, err, sizeof(err)), 1217);
    quor_sockaddr_t b = ipv6("2001:db8::5", 65535);
    EXPECT_EQ(quor_net_getport(&b, err, sizeof(err)), 65535);
    quor_sockaddr_t z = ipv4("10.1.2.3", 0);
    EXPECT_EQ(quor_net_getport(&z, err, sizeof(err)), 0);

    // A record of a family the look-up does not know fails with its code.
    quor_sockaddr_t u;
    quor_net_initaddr(&u);
    u.hs_addr.ss_family = AF_UNIX;
    u.hs_addrlen = sizeof(sockaddr_un);
    EXPECT_LT(quor_net_getport(&u, err, sizeof(err)), 0);
    quor_net_initaddr(&u);
    EXPECT_LT(quor_net_getport(&u, err, sizeof(err)), 0);

    // Service texts that are not a number in 0..65535.
    EXPECT_EQ(quor_net_portfromtext("1217", err, sizeof(err)), 1217);
    EXPECT_EQ(quor_net_portfromtext("0", err, sizeof(err)), 0);
    EXPECT_EQ(quor_net_portfromtext("65535", err, sizeof(err)), 65535);
    for (const char *bad : {"65536", "-1", "12a", "http", "", " 80", "99999999999999999999999"}) {
        err[0] = '\0';
        EXPECT_EQ(quor_net_portfromtext(bad, err, sizeof(err)), -34) << "'" << bad << "'";
        EXPECT_TRUE(hasPrefix(err, "quor_net_portfromtext")) << "'" << bad << "'";
    }
    EXPECT_EQ(quor_net_portfromtext(nullptr, err, sizeof(err)), -34);
}

TEST_F(QuorNet, InaddrAndUniversalAddress)
{
    char err[512] = "";
    char text[64];
    quor_sockaddr_t a = ipv4("192.0.2.1", 1217);

    int fam = -1;
    size_t len = 0;
    const unsigned char *bytes = quor_net_getinaddr(&a, &fam, &len);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(fam, AF_INET);
    ASSERT_EQ(len, 4u);
    const unsigned char want4[4] = {192, 0, 2, 1};
    EXPECT_EQ(memcmp(bytes, want4, 4), 0);

    quor_sockaddr_t b = ipv6("2001:db8::5", 80);
    bytes = quor_net_getinaddr(&b, &fam, &len);
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(fam, AF_INET6);
    ASSERT_EQ(len, 16u);
    const unsigned char want6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
    EXPECT_EQ(memcmp(bytes, want6, 16), 0);

    quor_sockaddr_t none;
    quor_net_initaddr(&none);
    EXPECT_EQ(none.hs_addrlen, 128u);
    fam = -7;
    len = 99;
    EXPECT_EQ(quor_net_getinaddr(&none, &fam, &len), nullptr);
    EXPECT_EQ(fam, -7);
    EXPECT_EQ(len, 99u);

    EXPECT_EQ(quor_net_getuniversaladdress(&a, text, sizeof(text), err, sizeof(err)), 14);
    EXPECT_STREQ(text, "192.0.2.1.1217");
    EXPECT_EQ(quor_net_getuniversaladdress(&b, text, sizeof(text), err, sizeof(err)), 14);
    EXPECT_STREQ(text, "2001:db8::5.80");

    // Exactly room for the text and its NUL, then one byte short.
    char fit[15];
    EXPECT_EQ(quor_net_getuniversaladdress(&a, fit, sizeof(fit), err, sizeof(err)), 14);
    EXPECT_STREQ(fit, "192.0.2.1.1217");
    char shortBuf[14];
    memset(shortBuf, 'x', sizeof(shortBuf));
    err[0] = '\0';
    EXPECT_EQ(quor_net_getuniversaladdress(&a, shortBuf, sizeof(shortBuf), err, sizeof(err)), -1);
    EXPECT_EQ(shortBuf[0], '\0');
    EXPECT_TRUE(hasPrefix(err, "quor_net_getuniversaladdress"));
    EXPECT_NE(strstr(err, "Buffer was truncated."), nullptr) << err;
    EXPECT_EQ(quor_net_getuniversaladdress(&a, nullptr, 0, err, sizeof(err)), -1);

    err[0] = '\0';
    EXPECT_EQ(quor_net_getuniversaladdress(&none, text, sizeof(text), err, sizeof(err)), -22);
    EXPECT_NE(strstr(err, "Unexpected family."), nullptr) << err;
    EXPECT_EQ(quor_net_getuniversaladdress(nullptr, text, sizeof(text), err, sizeof(err)), -22);
}

TEST_F(QuorNet, MasksAndMatching)
{
    quor_sockaddr_t net = ipv4("192.0.2.1", 1217);
    quor_sockaddr_t mask;
    ASSERT_EQ(quor_net_generatemask(&net, &mask, 20), 0);
    EXPECT_EQ(mask.hs_addr.ss_family, AF_INET);
    const unsigned char want20[4] = {255, 255, 240, 0};
    EXPECT_EQ(memcmp(&in4(mask).sin_addr, want20, 4), 0);
    EXPECT_EQ(in4(mask).sin_port, 0);

    ASSERT_EQ(quor_net_generatemask(&net, &mask, 0), 0);
    const unsigned char all4[4] = {255, 255, 255, 255};
    EXPECT_EQ(memcmp(&in4(mask).sin_addr, all4, 4), 0);
    ASSERT_EQ(quor_net_generatemask(&net, &mask, 1), 0);
    const unsigned char one4[4] = {128, 0, 0, 0};
    EXPECT_EQ(memcmp(&in4(mask).sin_addr, one4, 4), 0);
    EXPECT_EQ(quor_net_generatemask(&net, &mask, 33), -EINVAL);
    EXPECT_EQ(quor_net_generatemask(&net, &mask, -1), -EINVAL);

    quor_sockaddr_t net6 = ipv6("fe80::1", 0);
    quor_sockaddr_t mask6;
    ASSERT_EQ(quor_net_generatemask(&net6, &mask6, 10), 0);
    EXPECT_EQ(mask6.hs_addr.ss_family, AF_INET6);
    const unsigned char want10[16] = {0xff, 0xc0};
    EXPECT_EQ(memcmp(in6(mask6).sin6_addr.s6_addr, want10, 16), 0);
    ASSERT_EQ(quor_net_generatemask(&net6, &mask6, 128), 0);
    unsigned char all6[16];
    memset(all6, 0xff, sizeof(all6));
    EXPECT_EQ(memcmp(in6(mask6).sin6_addr.s6_addr, all6, 16), 0);
    EXPECT_EQ(quor_net_generatemask(&net6, &mask6, 129), -EINVAL);
    quor_sockaddr_t none;
    quor_net_initaddr(&none);
    EXPECT_EQ(quor_net_generatemask(&none, &mask, 8), -EINVAL);

    // Under a /20 mask: 192.0.0.0 - 192.0.15.255 share the network.
    ASSERT_EQ(quor_net_generatemask(&net, &mask, 20), 0);
    quor_sockaddr_t inside = ipv4("192.0.15.254", 9);
    quor_sockaddr_t outside = ipv4("192.0.16.1", 9);
    EXPECT_EQ(quor_net_addrmatch(&net, &mask, &inside), 1);
    EXPECT_EQ(quor_net_addrmatch(&net, &mask, &outside), 0);

    // Without a mask every bit counts; ports never do.
    quor_sockaddr_t same = ipv4("192.0.2.1", 80);
    EXPECT_EQ(quor_net_addrmatch(&net, nullptr, &same), 1);
    EXPECT_EQ(quor_net_addrmatch(&net, nullptr, &inside), 0);

    // Families must agree: address, candidate and mask.
    quor_sockaddr_t mapped = ipv6("::ffff:192.0.2.1", 1217);
    EXPECT_EQ(quor_net_addrmatch(&net, nullptr, &mapped), 0);
    quor_sockaddr_t link = ipv6("fe80::abcd:1", 0);
    quor_sockaddr_t site = ipv6("fec0::1", 0);
    ASSERT_EQ(quor_net_generatemask(&net6, &mask6, 10), 0);
    // The /10 IPv6 mask's first bytes (ff c0) would pass these IPv4 addresses.
    EXPECT_EQ(quor_net_addrmatch(&net, &mask6, &inside), 0);
    EXPECT_EQ(quor_net_addrmatch(&net6, &mask6, &link), 1);
    EXPECT_EQ(quor_net_addrmatch(&net6, &mask6, &site), 0);
    EXPECT_EQ(quor_net_addrmatch(&net6, nullptr, &link), 0);
    EXPECT_EQ(quor_net_addrmatch(&none, nullptr, &none), 0);
}

TEST_F(QuorNet, LoopbackRoundTripUnderIpv4Only)
{
    family("ipv4_only");
    char err[512] = "";
    quor_sockaddr_t where;
    ASSERT_EQ(quor_net_getaddrinfo("127.0.0.1", "0", AI_NUMERICHOST, IPPROTO_TCP, &where, err, sizeof(err)), 0)
        << err;

    Fd listener(quor_net_socket(&where, SOCK_STREAM, IPPROTO_TCP, err, sizeof(err)));
    ASSERT_GE(listener.fd, 0) << err;
    ASSERT_EQ(quor_net_bind(listener.fd, &where, err, sizeof(err)), 0) << err;
    ASSERT_EQ(quor_net_listen(listener.fd, 4, err, sizeof(err)), 0) << err;
    quor_sockaddr_t bound;
    ASSERT_EQ(quor_net_getsockname(listener.fd, &bound, err, sizeof(err)), 0) << err;
    EXPECT_EQ(bound.hs_addr.ss_family, AF_INET);
    EXPECT_EQ(numeric(bound), "127.0.0.1");
    int port = quor_net_getport(&bound, err, sizeof(err));
    ASSERT_GT(port, 0) << err;
    EXPECT_EQ(port, ntohs(in4(bound).sin_port));

    Fd client(quor_net_socket(&bound, SOCK_STREAM, IPPROTO_TCP, err, sizeof(err)));
    ASSERT_GE(client.fd, 0) << err;
    ASSERT_EQ(quor_net_connect(client.fd, &bound, err, sizeof(err)), 0) << err;

    quor_sockaddr_t peer;
    memset(&peer, 0x5a, sizeof(peer));
    Fd served(quor_net_accept(listener.fd, &peer, err, sizeof(err)));
    ASSERT_GE(served.fd, 0) << err;
    quor_sockaddr_t clientLocal;
    ASSERT_EQ(quor_net_getsockname(client.fd, &clientLocal, err, sizeof(err)), 0) << err;
    EXPECT_EQ(peer.hs_addrlen, sizeof(sockaddr_in));
    EXPECT_EQ(quor_net_addrmatch(&peer, nullptr, &clientLocal), 1);
    EXPECT_EQ(quor_net_getport(&peer, err, sizeof(err)), quor_net_getport(&clientLocal, err, sizeof(err)));

    quor_sockaddr_t clientPeer;
    ASSERT_EQ(quor_net_getpeername(client.fd, &clientPeer, err, sizeof(err)), 0) << err;
    EXPECT_EQ(quor_net_addrmatch(&clientPeer, nullptr, &bound), 1);
    EXPECT_EQ(quor_net_getport(&clientPeer, err, sizeof(err)), port);

    char text[64];
    ASSERT_GT(quor_net_getuniversaladdress(&bound, text, sizeof(text), err, sizeof(err)), 0) << err;
    EXPECT_EQ(std::string(text), "127.0.0.1." + std::to_string(port));

    // The connection carries bytes both ways.
    ASSERT_EQ(write(client.fd, "q", 1), 1);
    char c = 0;
    ASSERT_EQ(read(served.fd, &c, 1), 1);
    EXPECT_EQ(c, 'q');
    ASSERT_EQ(write(served.fd, "r", 1), 1);
    ASSERT_EQ(read(client.fd, &c, 1), 1);
    EXPECT_EQ(c, 'r');

    // Accept without a record for the peer.
    Fd second(quor_net_socket(&bound, SOCK_STREAM, IPPROTO_TCP, err, sizeof(err)));
    ASSERT_GE(second.fd, 0) << err;
    ASSERT_EQ(quor_net_connect(second.fd, &bound, err, sizeof(err)), 0) << err;
    Fd secondServed(quor_net_accept(listener.fd, nullptr, err, sizeof(err)));
    EXPECT_GE(secondServed.fd, 0) << err;
}

TEST_F(QuorNet, SocketCallFailuresKeepErrnoAndDescribeIt)
{
    family("ipv4_only");
    char err[512] = "";

    // A bound socket that is not listening refuses connections.
    quor_sockaddr_t lo = ipv4("127.0.0.1", 0);
    Fd idle(quor_net_socket(&lo, SOCK_STREAM, 0, err, sizeof(err)));
    ASSERT_GE(idle.fd, 0) << err;
    ASSERT_EQ(quor_net_bind(idle.fd, &lo, err, sizeof(err)), 0) << err;
    quor_sockaddr_t target;
    ASSERT_EQ(quor_net_getsockname(idle.fd, &target, err, sizeof(err)), 0) << err;
    Fd client(quor_net_socket(&target, SOCK_STREAM, 0, err, sizeof(err)));
    ASSERT_GE(client.fd, 0) << err;
    err[0] = '\0';
    errno = 0;
    EXPECT_EQ(quor_net_connect(client.fd, &target, err, sizeof(err)), -ECONNREFUSED);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_TRUE(hasPrefix(err, "quor_net_connect"));
    std::string expect = std::string("Error returned from connect.  ") + std::to_string(ECONNREFUSED) + " " +
                         strerror(ECONNREFUSED);
    EXPECT_NE(strstr(err, expect.c_str()), nullptr) << err;

    // Missing or empty records.
    quor_sockaddr_t empty;
    quor_net_initaddr(&empty);
    for (const quor_sockaddr_t *bad : {static_cast<const quor_sockaddr_t *>(nullptr),
                                       static_cast<const quor_sockaddr_t *>(&empty)}) {
        errno = 0;
        err[0] = '\0';
        EXPECT_EQ(quor_net_bind(idle.fd, bad, err, sizeof(err)), -EFAULT);
        EXPECT_EQ(errno, EFAULT);
        EXPECT_NE(strstr(err, "Invalid address passed to function"), nullptr) << err;
        errno = 0;
        EXPECT_EQ(quor_net_connect(client.fd, bad, err, sizeof(err)), -EFAULT);
        EXPECT_EQ(errno, EFAULT);
        errno = 0;
        EXPECT_EQ(quor_net_socket(bad, SOCK_STREAM, 0, err, sizeof(err)), -EFAULT);
        EXPECT_EQ(errno, EFAULT);
    }
    errno = 0;
    EXPECT_EQ(quor_net_getsockname(idle.fd, nullptr, err, sizeof(err)), -EFAULT);
    EXPECT_EQ(errno, EFAULT);
    errno = 0;
    EXPECT_EQ(quor_net_getpeername(idle.fd, nullptr, err, sizeof(err)), -EFAULT);
    EXPECT_EQ(errno, EFAULT);

    // Calls on a descriptor that is not open.
    errno = 0;
    err[0] = '\0';
    EXPECT_EQ(quor_net_listen(-1, 4, err, sizeof(err)), -EBADF);
    EXPECT_EQ(errno, EBADF);
    EXPECT_TRUE(hasPrefix(err, "quor_net_listen"));
    errno = 0;
    EXPECT_EQ(quor_net_accept(-1, &empty, err, sizeof(err)), -EBADF);
    EXPECT_EQ(errno, EBADF);
    quor_sockaddr_t out;
    errno = 0;
    EXPECT_EQ(quor_net_getpeername(idle.fd, &out, err, sizeof(err)), -ENOTCONN);
    EXPECT_EQ(errno, ENOTCONN);
    EXPECT_TRUE(hasPrefix(err, "quor_net_getpeername"));
}

TEST_F(QuorNet, Ipv6OnlySetsTheSocketOption)
{
    if (!ipv6SocketsWork())
        GTEST_SKIP() << "this host has no IPv6 sockets";
    char err[512] = "";
    family("ipv6_only");
    quor_sockaddr_t any6 = ipv6("::", 0);
    Fd s(quor_net_socket(&any6, SOCK_STREAM, 0, err, sizeof(err)));
    ASSERT_GE(s.fd, 0) << err;
    int on = 0;
    socklen_t len = sizeof(on);
    ASSERT_EQ(getsockopt(s.fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, &len), 0);
    EXPECT_EQ(on, 1);

    // An IPv4 socket cannot be held to IPv6 only.
    quor_sockaddr_t lo4 = ipv4("127.0.0.1", 0);
    err[0] = '\0';
    int rc = quor_net_socket(&lo4, SOCK_STREAM, 0, err, sizeof(err));
    int e = errno;
    EXPECT_LT(rc, 0);
    EXPECT_EQ(rc, -e);
    EXPECT_TRUE(hasPrefix(err, "quor_net_socket"));
    EXPECT_NE(strstr(err, "Could not ensure IPv6 only"), nullptr) << err;

    // Under "ipv6" the same address gives a socket that also takes IPv4.
    family("ipv6");
    Fd dual(quor_net_socket(&lo4, SOCK_STREAM, 0, err, sizeof(err)));
    EXPECT_GE(dual.fd, 0) << err;
}

TEST_F(QuorNet, LinkLocalAddressGetsItsInterfaceScope)
{
    if (!ipv6SocketsWork())
        GTEST_SKIP() << "this host has no IPv6 sockets";
    // Find a link-local address of this host and its interface index.
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
    memset(&a, 0, sizeof(a));
    sockaddr_in6 noScope = *local;
    noScope.sin6_scope_id = 0;
    noScope.sin6_port = 0;
    memcpy(&a.hs_addr, &noScope, sizeof(noScope));
    a.hs_addrlen = sizeof(noScope);
    quor_sockaddr_t copy = a;

    char err[512] = "";
    Fd s(quor_net_socket(&a, SOCK_STREAM, 0, err, sizeof(err)));
    ASSERT_GE(s.fd, 0) << err;
    ASSERT_EQ(quor_net_bind(s.fd, &a, err, sizeof(err)), 0) << err;
    EXPECT_EQ(memcmp(&copy, &a, sizeof(a)), 0) << "the caller's record is left as it was";
    quor_sockaddr_t bound;
    ASSERT_EQ(quor_net_getsockname(s.fd, &bound, err, sizeof(err)), 0) << err;
    EXPECT_EQ(in6(bound).sin6_scope_id, index);
    EXPECT_EQ(quor_net_addrmatch(&bound, nullptr, &a), 1);
}

TEST_F(QuorNet, StrerrorFillsTheCallersBuffer)
{
    char buf[128];
    EXPECT_EQ(quor_net_strerror(ECONNREFUSED, buf, sizeof(buf)), buf);
    EXPECT_STREQ(buf, strerror(ECONNREFUSED));
    char small[5];
    memset(small, 'x', sizeof(small));
    quor_net_strerror(ECONNREFUSED, small, sizeof(small));
    EXPECT_EQ(std::string(small), std::string(strerror(ECONNREFUSED)).substr(0, 4));
    quor_net_strerror(123456, buf, sizeof(buf));
    EXPECT_NE(strstr(buf, "123456"), nullptr) << buf;
}
