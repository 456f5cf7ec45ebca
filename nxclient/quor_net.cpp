// The client's network address layer: look-ups under the QUOR_NET_FAMILY
// policy, thin wrappers over the socket calls that fill in IPv6 link-local
// scope ids, address texts, masks and matching.  Failures are described in
// the caller's text buffer; nothing is printed.  Called from any thread
// (control, listen and transfer threads alike); no locks are taken, and the
// policy is re-read from the environment on every call.

#include "quor_net.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <memory>

namespace {

constexpr const char *kUnit = "quor_net";
constexpr const char *kFamilyVariable = "QUOR_NET_FAMILY";
constexpr const char *kNoFamilySet = "<no family set>";
constexpr const char *kInvalidAddress = "Invalid address passed to function";

// Room for one system error text inside a description.
constexpr size_t kErrTextMax = 256;
// Room for a numeric service text ("65535" and then some).
constexpr size_t kServiceTextMax = NI_MAXSERV;
// Largest port number a service text may hold.
constexpr long kPortMax = 65535;

constexpr size_t kIpv4Bytes = 4;
constexpr size_t kIpv6Bytes = 16;
// Offset of the IPv4 address inside an IPv4-mapped IPv6 address.
constexpr size_t kMappedIpv4Offset = 12;

// Writes "quor_net:<line>:<func>(): " and the formatted rest into buf.
// errno is left as it was, so wrappers can report and still return the
// system call's errno to their caller.
__attribute__((format(printf, 5, 6))) void netText(char *buf, size_t size, int line, const char *func, const char *fmt,
                                                   ...)
{
    if (buf == nullptr || size == 0)
        return;
    int savedErrno = errno;
    int n = snprintf(buf, size, "%s:%d:%s(): ", kUnit, line, func);
    if (n >= 0 && static_cast<size_t>(n) < size) {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(buf + n, size - static_cast<size_t>(n), fmt, ap);
        va_end(ap);
    }
    errno = savedErrno;
}

// "<description> <error number> <system error text>" after the prefix.
void netErrnoText(char *buf, size_t size, int line, const char *func, const char *desc, int err)
{
    char errText[kErrTextMax];
    quor_net_strerror(err, errText, sizeof(errText));
    netText(buf, size, line, func, "%s %d %s", desc, err, errText);
}

// The text of a name-service result code; EAI_SYSTEM means errno holds it.
const char *gaiText(int rc, int savedErrno, char *buf, size_t size)
{
    if (rc == EAI_SYSTEM)
        return quor_net_strerror(savedErrno, buf, size);
    return gai_strerror(rc);
}

// EAI_* codes are negative in glibc; keep the result negative anywhere.
int negativeCode(int rc)
{
    return rc < 0 ? rc : -rc;
}

void refusedPolicyText(char *buf, size_t size, int line, const char *func)
{
    const char *value = getenv(kFamilyVariable);
    netText(buf, size, line, func, "%s set to %s (expected ipv4_only, ipv6 or ipv6_only)", kFamilyVariable,
            value != nullptr ? value : kNoFamilySet);
}

// A record that can be handed to the kernel: present, with a family, and a
// length that stays inside the storage.
bool usableAddress(const quor_sockaddr_t *addr)
{
    return addr != nullptr && addr->hs_addrlen != 0 && addr->hs_addrlen <= sizeof(addr->hs_addr) &&
           addr->hs_addr.ss_family != AF_UNSPEC;
}

const sockaddr *asSockaddr(const quor_sockaddr_t *addr)
{
    return reinterpret_cast<const sockaddr *>(&addr->hs_addr);
}

sockaddr *asSockaddr(quor_sockaddr_t *addr)
{
    return reinterpret_cast<sockaddr *>(&addr->hs_addr);
}

bool isMappedIpv4(const in6_addr &a)
{
    return IN6_IS_ADDR_V4MAPPED(&a);
}

// Copies one look-up result into addr; an IPv4-mapped IPv6 result becomes a
// plain IPv4 record when asked to.
bool copyResult(const addrinfo *ai, bool unmap, quor_sockaddr_t *addr)
{
    if (ai->ai_addr == nullptr || ai->ai_addrlen == 0 || ai->ai_addrlen > sizeof(addr->hs_addr))
        return false;
    quor_net_initaddr(addr);
    if (unmap && ai->ai_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(ai->ai_addr);
        sockaddr_in in4{};
        in4.sin_family = AF_INET;
        in4.sin_port = in6->sin6_port;
        memcpy(&in4.sin_addr, in6->sin6_addr.s6_addr + kMappedIpv4Offset, kIpv4Bytes);
        memcpy(&addr->hs_addr, &in4, sizeof(in4));
        addr->hs_addrlen = sizeof(in4);
        return true;
    }
    memcpy(&addr->hs_addr, ai->ai_addr, ai->ai_addrlen);
    addr->hs_addrlen = ai->ai_addrlen;
    return true;
}

struct AddrinfoFree {
    void operator()(addrinfo *p) const { freeaddrinfo(p); }
};

struct IfaddrsFree {
    void operator()(ifaddrs *p) const { freeifaddrs(p); }
};

// Fills in the scope id of an IPv6 link-local address that has none, from
// the local interface carrying that address; other addresses are copied
// unchanged.  Returns 0, or -1 with errno set when the interfaces cannot be
// listed.
int withScope(const quor_sockaddr_t *addr, quor_sockaddr_t *out, char *errorText, size_t errorSize, const char *func)
{
    *out = *addr;
    if (out->hs_addr.ss_family != AF_INET6 || out->hs_addrlen < sizeof(sockaddr_in6))
        return 0;
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&out->hs_addr);
    if (!IN6_IS_ADDR_LINKLOCAL(&in6->sin6_addr) || in6->sin6_scope_id != 0)
        return 0;

    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        netErrnoText(errorText, errorSize, __LINE__, func, "Error returned from getifaddrs.", errno);
        return -1;
    }
    std::unique_ptr<ifaddrs, IfaddrsFree> guard(list);
    for (const ifaddrs *ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET6)
            continue;
        const auto *local = reinterpret_cast<const sockaddr_in6 *>(ifa->ifa_addr);
        if (memcmp(&local->sin6_addr, &in6->sin6_addr, sizeof(in6_addr)) != 0)
            continue;
        uint32_t scope = local->sin6_scope_id;
        if (scope == 0 && ifa->ifa_name != nullptr)
            scope = if_nametoindex(ifa->ifa_name);
        in6->sin6_scope_id = scope;
        break;
    }
    return 0;
}

[[maybe_unused]] const char *pickStrerror(int rc, char *buf)
{
    return rc == 0 ? buf : "Unknown error";
}

[[maybe_unused]] const char *pickStrerror(const char *msg, char *)
{
    return msg;
}

} // namespace

int quor_net_familypolicy()
{
    const char *value = getenv(kFamilyVariable);
    if (value == nullptr)
        return QUOR_NET_FAMILY_REFUSED;
    if (strcmp(value, "ipv4_only") == 0)
        return QUOR_NET_FAMILY_IPV4_ONLY;
    if (strcmp(value, "ipv6") == 0)
        return QUOR_NET_FAMILY_IPV6;
    if (strcmp(value, "ipv6_only") == 0)
        return QUOR_NET_FAMILY_IPV6_ONLY;
    return QUOR_NET_FAMILY_REFUSED;
}

void quor_net_initaddr(quor_sockaddr_t *addr)
{
    if (addr == nullptr)
        return;
    memset(addr, 0, sizeof(*addr));
    addr->hs_addrlen = sizeof(addr->hs_addr);
}

int quor_net_getaddrinfo(const char *host, const char *service, int flags, int protocol, quor_sockaddr_t *addr,
                         char *errorText, size_t errorSize)
{
    if (addr == nullptr) {
        netText(errorText, errorSize, __LINE__, __func__, "%s", kInvalidAddress);
        errno = EFAULT;
        return -EAGAIN;
    }
    int policy = quor_net_familypolicy();
    if (policy == QUOR_NET_FAMILY_REFUSED) {
        refusedPolicyText(errorText, errorSize, __LINE__, __func__);
        return -ENXIO;
    }
    if (protocol != 0 && protocol != IPPROTO_TCP && protocol != IPPROTO_UDP) {
        netText(errorText, errorSize, __LINE__, __func__, "Invalid protocol used (%d)", protocol);
        return -E2BIG;
    }

    addrinfo hints{};
    hints.ai_flags = flags & ~(AI_PASSIVE | AI_V4MAPPED | AI_ALL);
    switch (policy) {
    case QUOR_NET_FAMILY_IPV4_ONLY:
        hints.ai_family = AF_INET;
        hints.ai_flags |= AI_PASSIVE;
        break;
    case QUOR_NET_FAMILY_IPV6:
        hints.ai_family = AF_INET6;
        hints.ai_flags |= AI_PASSIVE | AI_V4MAPPED | AI_ALL;
        break;
    default:
        hints.ai_family = AF_INET6;
        hints.ai_flags |= AI_PASSIVE;
        break;
    }
    hints.ai_protocol = protocol;
    if (protocol == IPPROTO_TCP)
        hints.ai_socktype = SOCK_STREAM;
    else if (protocol == IPPROTO_UDP)
        hints.ai_socktype = SOCK_DGRAM;

    addrinfo *results = nullptr;
    int rc = getaddrinfo(host, service, &hints, &results);
    if (rc != 0) {
        int savedErrno = errno;
        char errText[kErrTextMax];
        netText(errorText, errorSize, __LINE__, __func__, "host %s service %s: %s %d %s",
                host != nullptr ? host : "<none>", service != nullptr ? service : "<none>",
                "Error returned from getaddrinfo. ", rc, gaiText(rc, savedErrno, errText, sizeof(errText)));
        return negativeCode(rc);
    }
    std::unique_ptr<addrinfo, AddrinfoFree> guard(results);

    // Under "ipv6" a real IPv6 result wins; failing that, the first IPv4
    // result (plain, or mapped into IPv6 by the look-up) is taken as IPv4.
    const addrinfo *chosen = nullptr;
    bool unmap = false;
    const addrinfo *firstIpv4 = nullptr;
    for (const addrinfo *ai = results; ai != nullptr && chosen == nullptr; ai = ai->ai_next) {
        if (ai->ai_addr == nullptr)
            continue;
        switch (policy) {
        case QUOR_NET_FAMILY_IPV4_ONLY:
            if (ai->ai_family == AF_INET)
                chosen = ai;
            break;
        case QUOR_NET_FAMILY_IPV6_ONLY:
            if (ai->ai_family == AF_INET6)
                chosen = ai;
            break;
        default:
            if (ai->ai_family == AF_INET6 &&
                !isMappedIpv4(reinterpret_cast<const sockaddr_in6 *>(ai->ai_addr)->sin6_addr))
                chosen = ai;
            else if (firstIpv4 == nullptr && (ai->ai_family == AF_INET || ai->ai_family == AF_INET6))
                firstIpv4 = ai;
            break;
        }
    }
    if (chosen == nullptr && firstIpv4 != nullptr) {
        chosen = firstIpv4;
        unmap = firstIpv4->ai_family == AF_INET6;
    }
    if (chosen == nullptr || !copyResult(chosen, unmap, addr)) {
        netText(errorText, errorSize, __LINE__, __func__, "%s", "No address found for family");
        return QUOR_NET_E_NOFAMILYADDR;
    }
    return 0;
}

int quor_net_getnameinfo(const quor_sockaddr_t *addr, char *host, size_t hostSize, char *service, size_t serviceSize,
                         int flags, char *errorText, size_t errorSize)
{
    if (!usableAddress(addr)) {
        netText(errorText, errorSize, __LINE__, __func__, "%s", kInvalidAddress);
        return -EFAULT;
    }
    int rc = getnameinfo(asSockaddr(addr), addr->hs_addrlen, host, static_cast<socklen_t>(hostSize), service,
                         static_cast<socklen_t>(serviceSize), flags);
    if (rc != 0) {
        int savedErrno = errno;
        char errText[kErrTextMax];
        netText(errorText, errorSize, __LINE__, __func__, "%s %d %s", "Error returned from getnameinfo. ", rc,
                gaiText(rc, savedErrno, errText, sizeof(errText)));
        return negativeCode(rc);
    }
    return 0;
}

int quor_net_socket(const quor_sockaddr_t *addr, int type, int protocol, char *errorText, size_t errorSize)
{
    if (!usableAddress(addr)) {
        netText(errorText, errorSize, __LINE__, __func__, "%s", kInvalidAddress);
        errno = EFAULT;
        return -errno;
    }
    int policy = quor_net_familypolicy();
    if (policy == QUOR_NET_FAMILY_REFUSED) {
        refusedPolicyText(errorText, errorSize, __LINE__, __func__);
        errno = ENXIO;
        return -errno;
    }
    int fd = socket(addr->hs_addr.ss_family, type, protocol);
    if (fd < 0) {
        netErrnoText(errorText, errorSize, __LINE__, __func__, "Error returned from socket. ", errno);
        return -errno;
    }
    if (policy == QUOR_NET_FAMILY_IPV6_ONLY) {
        int on = 1;
        if (setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) != 0) {
            int err = errno;
            netErrnoText(errorText, errorSize, __LINE__, __func__, "Could not ensure IPv6 only", err);
            close(fd);
            errno = err;
            return -errno;
        }
    }
    return fd;
}

namespace {

// Binds or connects (call, named by what in the error text) fd to addr,
// after the checks both make: a usable address, and the scope of a
// link-local IPv6 one.  func names the caller in the error text.  0 or
// -errno.
int withAddress(int fd, const quor_sockaddr_t *addr, int (*call)(int, const sockaddr *, socklen_t), const char *what,
                const char *func, char *errorText, size_t errorSize)
{
    if (!usableAddress(addr)) {
        netText(errorText, errorSize, __LINE__, func, "%s", kInvalidAddress);
        errno = EFAULT;
        return -errno;
    }
    quor_sockaddr_t scoped;
    if (withScope(addr, &scoped, errorText, errorSize, func) != 0)
        return -errno;
    if (call(fd, asSockaddr(&scoped), scoped.hs_addrlen) != 0) {
        netErrnoText(errorText, errorSize, __LINE__, func, what, errno);
        return -errno;
    }
    return 0;
}

} // namespace

int quor_net_bind(int fd, const quor_sockaddr_t *addr, char *errorText, size_t errorSize)
{
    return withAddress(fd, addr, ::bind, "Error returned from bind. ", __func__, errorText, errorSize);
}

int quor_net_connect(int fd, const quor_sockaddr_t *addr, char *errorText, size_t errorSize)
{
    return withAddress(fd, addr, ::connect, "Error returned from connect. ", __func__, errorText, errorSize);
}

int quor_net_listen(int fd, int backlog, char *errorText, size_t errorSize)
{
    if (listen(fd, backlog) != 0) {
        netErrnoText(errorText, errorSize, __LINE__, __func__, "Error returned from listen. ", errno);
        return -errno;
    }
    return 0;
}

int quor_net_accept(int fd, quor_sockaddr_t *addr, char *errorText, size_t errorSize)
{
    int newFd;
    if (addr != nullptr) {
        quor_net_initaddr(addr);
        newFd = accept(fd, asSockaddr(addr), &addr->hs_addrlen);
    } else {
        newFd = accept(fd, nullptr, nullptr);
    }
    if (newFd < 0) {
        netErrnoText(errorText, errorSize, __LINE__, __func__, "Error returned from accept. ", errno);
        return -errno;
    }
    // The mover exchange is short messages each waiting for an answer:
    // without this every one would wait out the peer's delayed ACK.
    int on = 1;
    (void)setsockopt(newFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return newFd;
}

int quor_net_getsockname(int fd, quor_sockaddr_t *addr, char *errorText, size_t errorSize)
{
    if (addr == nullptr) {
        netText(errorText, errorSize, __LINE__, __func__, "%s", kInvalidAddress);
        errno = EFAULT;
        return -errno;
    }
    quor_net_initaddr(addr);
    if (getsockname(fd, asSockaddr(addr), &addr->hs_addrlen) != 0) {
        netErrnoText(errorText, errorSize, __LINE__, __func__, "Error returned from getsockname. ", errno);
        return -errno;
    }
    return 0;
}

int quor_net_getpeername(int fd, quor_sockaddr_t *addr, char *errorText, size_t errorSize)
{
    if (addr == nullptr) {
        netText(errorText, errorSize, __LINE__, __func__, "%s", kInvalidAddress);
        errno = EFAULT;
        return -errno;
    }
    quor_net_initaddr(addr);
    if (getpeername(fd, asSockaddr(addr), &addr->hs_addrlen) != 0) {
        netErrnoText(errorText, errorSize, __LINE__, __func__, "Error returned from getpeername. ", errno);
        return -errno;
    }
    return 0;
}

int quor_net_portfromtext(const char *service, char *errorText, size_t errorSize)
{
    long port = -1;
    if (service != nullptr && service[0] != '\0') {
        port = 0;
        for (const char *p = service; *p != '\0'; p++) {
            if (*p < '0' || *p > '9' || port > kPortMax) {
                port = -1;
                break;
            }
            port = port * 10 + (*p - '0');
        }
    }
    if (port < 0 || port > kPortMax) {
        netText(errorText, errorSize, __LINE__, __func__, "Service is not a port number in 0..65535: %s",
                service != nullptr ? service : "<none>");
        return -ERANGE;
    }
    return static_cast<int>(port);
}

int quor_net_getport(const quor_sockaddr_t *addr, char *errorText, size_t errorSize)
{
    char service[kServiceTextMax];
    service[0] = '\0';
    int rc = quor_net_getnameinfo(addr, nullptr, 0, service, sizeof(service), NI_NUMERICHOST | NI_NUMERICSERV,
                                  errorText, errorSize);
    if (rc != 0)
        return rc;
    return quor_net_portfromtext(service, errorText, errorSize);
}

const unsigned char *quor_net_getinaddr(const quor_sockaddr_t *addr, int *family, size_t *length)
{
    if (addr == nullptr)
        return nullptr;
    const unsigned char *bytes;
    size_t count;
    if (addr->hs_addr.ss_family == AF_INET) {
        bytes =
            reinterpret_cast<const unsigned char *>(&reinterpret_cast<const sockaddr_in *>(&addr->hs_addr)->sin_addr);
        count = kIpv4Bytes;
    } else if (addr->hs_addr.ss_family == AF_INET6) {
        bytes = reinterpret_cast<const sockaddr_in6 *>(&addr->hs_addr)->sin6_addr.s6_addr;
        count = kIpv6Bytes;
    } else {
        return nullptr;
    }
    if (family != nullptr)
        *family = addr->hs_addr.ss_family;
    if (length != nullptr)
        *length = count;
    return bytes;
}

int quor_net_getuniversaladdress(const quor_sockaddr_t *addr, char *text, size_t size, char *errorText,
                                 size_t errorSize)
{
    int family = 0;
    const unsigned char *bytes = quor_net_getinaddr(addr, &family, nullptr);
    if (bytes == nullptr) {
        netText(errorText, errorSize, __LINE__, __func__, "%s", "Unexpected family.");
        return -EINVAL;
    }
    char numeric[INET6_ADDRSTRLEN];
    if (inet_ntop(family, bytes, numeric, sizeof(numeric)) == nullptr) {
        netErrnoText(errorText, errorSize, __LINE__, __func__, "Error returned from inet_ntop. ", errno);
        return -EINVAL;
    }
    unsigned port = family == AF_INET ? ntohs(reinterpret_cast<const sockaddr_in *>(&addr->hs_addr)->sin_port)
                                      : ntohs(reinterpret_cast<const sockaddr_in6 *>(&addr->hs_addr)->sin6_port);
    int n = -1;
    if (text != nullptr && size > 0)
        n = snprintf(text, size, "%s.%u", numeric, port);
    if (n < 0 || static_cast<size_t>(n) >= size) {
        // A cut address would name another host: leave nothing usable.
        if (text != nullptr && size > 0)
            text[0] = '\0';
        netText(errorText, errorSize, __LINE__, __func__, "%s", "Buffer was truncated.");
        return -1;
    }
    return n;
}

int quor_net_generatemask(const quor_sockaddr_t *addr, quor_sockaddr_t *mask, int prefixBits)
{
    int family = 0;
    size_t count = 0;
    if (mask == nullptr || quor_net_getinaddr(addr, &family, &count) == nullptr)
        return -EINVAL;
    int totalBits = static_cast<int>(count * 8);
    if (prefixBits < 0 || prefixBits > totalBits)
        return -EINVAL;
    if (prefixBits == 0)
        prefixBits = totalBits;

    quor_net_initaddr(mask);
    mask->hs_addr.ss_family = static_cast<sa_family_t>(family);
    mask->hs_addrlen = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    unsigned char *bytes = const_cast<unsigned char *>(quor_net_getinaddr(mask, nullptr, nullptr));
    for (size_t i = 0; i < count; i++) {
        int bitsHere = prefixBits - static_cast<int>(i * 8);
        if (bitsHere >= 8)
            bytes[i] = 0xff;
        else if (bitsHere > 0)
            bytes[i] = static_cast<unsigned char>(0xff << (8 - bitsHere));
        else
            bytes[i] = 0;
    }
    return 0;
}

int quor_net_addrmatch(const quor_sockaddr_t *addr, const quor_sockaddr_t *mask, const quor_sockaddr_t *candidate)
{
    int family = 0;
    int candFamily = 0;
    size_t count = 0;
    size_t candCount = 0;
    const unsigned char *a = quor_net_getinaddr(addr, &family, &count);
    const unsigned char *c = quor_net_getinaddr(candidate, &candFamily, &candCount);
    if (a == nullptr || c == nullptr || family != candFamily || count != candCount)
        return 0;
    const unsigned char *m = nullptr;
    if (mask != nullptr) {
        int maskFamily = 0;
        size_t maskCount = 0;
        m = quor_net_getinaddr(mask, &maskFamily, &maskCount);
        if (m == nullptr || maskFamily != family || maskCount != count)
            return 0;
    }
    for (size_t i = 0; i < count; i++) {
        unsigned bits = m != nullptr ? m[i] : 0xffu;
        if ((a[i] & bits) != (c[i] & bits))
            return 0;
    }
    return 1;
}

int quor_net_keepalive(int fd, char *errorText, size_t errorSize)
{
    static const struct {
        int level;
        int option;
        int value;
        const char *name;
    } options[] = {
        {SOL_SOCKET, SO_KEEPALIVE, 1, "SO_KEEPALIVE"},
        {IPPROTO_TCP, TCP_KEEPIDLE, QUOR_NET_KEEPIDLE_SECS, "TCP_KEEPIDLE"},
        {IPPROTO_TCP, TCP_KEEPINTVL, QUOR_NET_KEEPINTVL_SECS, "TCP_KEEPINTVL"},
        {IPPROTO_TCP, TCP_KEEPCNT, QUOR_NET_KEEPCNT, "TCP_KEEPCNT"},
    };
    for (const auto &o : options) {
        int rc;
        while ((rc = setsockopt(fd, o.level, o.option, &o.value, sizeof o.value)) != 0 &&
               (errno == EINTR || errno == EAGAIN)) {
        }
        if (rc != 0) {
            int e = errno;
            netErrnoText(errorText, errorSize, __LINE__, __func__, o.name, e);
            return -e;
        }
    }
    return 0;
}

char *quor_net_strerror(int errnum, char *buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return buf;
    char local[kErrTextMax];
    local[0] = '\0';
    // strerror_r is the GNU variant (returning the text) or the XSI one
    // (returning a status); the overloads accept either.
    const char *msg = pickStrerror(strerror_r(errnum, local, sizeof(local)), local);
    snprintf(buf, size, "%s", msg != nullptr ? msg : "Unknown error");
    return buf;
}
