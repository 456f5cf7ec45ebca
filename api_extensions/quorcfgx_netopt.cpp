// Network options and the restricted port range (see quorcfgx_netopt.h).
// netopt_Mutex guards the one build of the options table, ports_Mutex the
// one reading of the port range; both are read-only afterwards.  The
// "warn once" flags of socket buffer sizes are atomics.

#include "quorcfgx_netopt.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "kyl_mutex.h"
#include "quorcfgx_conf.h"
#include "quorex_size.h"
#include "quorex_msg.h"

namespace {

constexpr const char *kSection = "Network Options";

kyl_mutex_t netopt_Mutex;
bool netopt_Built KYL_GUARDED_BY(netopt_Mutex) = false;
netopt_entry_t *netopt_Table KYL_GUARDED_BY(netopt_Mutex) = nullptr;
int netopt_NumEntries KYL_GUARDED_BY(netopt_Mutex) = 0;
size_t netopt_DefaultNetWriteSize KYL_GUARDED_BY(netopt_Mutex) = QUORCFGX_DEFAULT_WRITE_SIZE;

kyl_mutex_t ports_Mutex;
bool ports_Read KYL_GUARDED_BY(ports_Mutex) = false;
int ports_Low KYL_GUARDED_BY(ports_Mutex) = QUORCFGX_PORT_MIN;
int ports_High KYL_GUARDED_BY(ports_Mutex) = QUORCFGX_PORT_MAX;

std::atomic<bool> warnedSend{false};
std::atomic<bool> warnedRecv{false};

const unsigned char *inAddr(const quor_sockaddr_t *a, int *family, size_t *len)
{
    if (a == nullptr)
        return nullptr;
    *family = a->hs_addr.ss_family;
    if (*family == AF_INET) {
        *len = 4;
        return reinterpret_cast<const unsigned char *>(&reinterpret_cast<const sockaddr_in *>(&a->hs_addr)->sin_addr);
    }
    if (*family == AF_INET6) {
        *len = 16;
        return reinterpret_cast<const unsigned char *>(&reinterpret_cast<const sockaddr_in6 *>(&a->hs_addr)->sin6_addr);
    }
    return nullptr;
}

// A record of a's family whose address bytes are all ones.
quor_sockaddr_t hostMask(const quor_sockaddr_t &a)
{
    quor_sockaddr_t m = a;
    int fam = 0;
    size_t len = 0;
    auto *bytes = const_cast<unsigned char *>(inAddr(&m, &fam, &len));
    if (bytes != nullptr)
        memset(bytes, 0xff, len);
    return m;
}

// A byte size stanza value that fits in 32 bits; false otherwise.
bool byteSize(const char *text, uint64_t limit, uint64_t *out)
{
    int64_t n = 0;
    if (text == nullptr || quorex_ParseByteSizeChecked(text, &n) != 0 || n < 0 || static_cast<uint64_t>(n) > limit)
        return false;
    *out = static_cast<uint64_t>(n);
    return true;
}

// A decimal int stanza value; false otherwise.
bool intValue(const char *text, int *out)
{
    char *end = nullptr;
    errno = 0;
    long n = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || n < INT32_MIN || n > INT32_MAX)
        return false;
    *out = static_cast<int>(n);
    return true;
}

struct Defaults {
    uint32_t send = 0, recv = 0;
    size_t write = QUORCFGX_DEFAULT_WRITE_SIZE;
};

// Applies one "Default ..." simple stanza of the section; false when s is
// not one.
bool takeDefault(const quor_cfg_stanza_t *s, Defaults *d)
{
    uint64_t v = 0;
    const char *k = s->KeyString;
    bool known = strcasecmp(k, "Default Receive Size") == 0 || strcasecmp(k, "Default Send Size") == 0 ||
                 strcasecmp(k, "Default Write Size") == 0;
    if (!known)
        return false;
    if (!byteSize(s->KeyValue, UINT32_MAX, &v)) {
        quorex_Print("*** Warning: Unrecognized key=value: %s=%s in QUOR.conf\n", k, s->KeyValue);
        return true;
    }
    if (strcasecmp(k, "Default Receive Size") == 0)
        d->recv = static_cast<uint32_t>(v);
    else if (strcasecmp(k, "Default Send Size") == 0)
        d->send = static_cast<uint32_t>(v);
    else
        d->write = static_cast<size_t>(v);
    return true;
}

// Fills e from a host's compound stanza; false on an error in it.
bool takeHost(const quor_cfg_stanza_t *s, netopt_entry_t *e)
{
    if (strcasecmp(s->KeyString, "Default") == 0) {
        e->IsDefault = 1;
    } else if (quorcfgx_ParseAddress(s->KeyString, &e->IPAddr) != 0) {
        quorex_Print("*** Bad IP address in QUOR.conf file: [%s] \n", s->KeyString);
        return false;
    } else {
        e->NetMask = hostMask(e->IPAddr);
    }
    for (const quor_cfg_stanza_t *o = s->substanzaList; o != nullptr; o = o->next) {
        if (o->type != CFG_SIMPLE_TYPE)
            continue;
        const char *k = o->KeyString, *v = o->KeyValue;
        uint64_t n = 0;
        int flag = 0;
        if (strcasecmp(k, "NetMask") == 0 && quorcfgx_ParseAddress(v, &e->NetMask) == 0)
            continue;
        if (strcasecmp(k, "RFC1323") == 0 && intValue(v, &flag)) {
            e->RFC1323 = flag;
            continue;
        }
        if (strcasecmp(k, "TcpNoDelay") == 0 && intValue(v, &flag)) {
            e->TcpNodelay = flag;
            continue;
        }
        if (strcasecmp(k, "SendSpace") == 0 && byteSize(v, UINT32_MAX, &n)) {
            e->SendSpace = static_cast<uint32_t>(n);
            continue;
        }
        if (strcasecmp(k, "RecvSpace") == 0 && byteSize(v, UINT32_MAX, &n)) {
            e->RecvSpace = static_cast<uint32_t>(n);
            continue;
        }
        if (strcasecmp(k, "WriteSize") == 0 && byteSize(v, SIZE_MAX, &n)) {
            e->WriteSize = static_cast<size_t>(n);
            continue;
        }
        quorex_Print("*** Warning: Unrecognized key=value: %s=%s for IP address %s in QUOR.conf\n", k, v, s->KeyString);
    }
    return true;
}

void buildOnce() KYL_REQUIRES(netopt_Mutex)
{
    if (netopt_Built)
        return;
    netopt_Built = true;
    if (const char *ws = getenv("QUOR_TCP_WRITESIZE"); ws != nullptr) {
        int64_t n = 0;
        if (quorex_ParseByteSizeChecked(ws, &n) == 0 && n > 0)
            netopt_DefaultNetWriteSize = static_cast<size_t>(n);
    }
    quor_cfg_stanza_t *tree = quorcfgx_ConfParse(nullptr);
    if (tree == nullptr)
        return; // no site file: no options, and nothing to report
    quor_cfg_stanza_t *section = quorcfgx_CfgFindKey(kSection, tree, 1);
    int n = quorcfgx_NetoptBuildTable(section, netopt_DefaultNetWriteSize, &netopt_Table);
    netopt_NumEntries = n > 0 ? n : 0;
}

} // namespace

int quorcfgx_ParseAddress(const char *text, quor_sockaddr_t *out)
{
    if (text == nullptr || *text == '\0')
        return -EINVAL;
    struct addrinfo hints = {}, *res = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(text, nullptr, &hints, &res) != 0 || res == nullptr)
        return -EINVAL;
    memset(out, 0, sizeof *out);
    memcpy(&out->hs_addr, res->ai_addr, res->ai_addrlen);
    out->hs_addrlen = res->ai_addrlen;
    freeaddrinfo(res);
    return 0;
}

int quorcfgx_AddrMatch(const quor_sockaddr_t *a, const quor_sockaddr_t *mask, const quor_sockaddr_t *candidate)
{
    int fa = 0, fc = 0, fm = 0;
    size_t la = 0, lc = 0, lm = 0;
    const unsigned char *x = inAddr(a, &fa, &la), *y = inAddr(candidate, &fc, &lc);
    const unsigned char *m = mask != nullptr ? inAddr(mask, &fm, &lm) : nullptr;
    if (x == nullptr || y == nullptr || fa != fc || (mask != nullptr && (m == nullptr || fm != fa)))
        return 0;
    for (size_t i = 0; i < la; i++) {
        unsigned bits = m != nullptr ? m[i] : 0xffu;
        if ((x[i] & bits) != (y[i] & bits))
            return 0;
    }
    return 1;
}

int quorcfgx_NetoptBuildTable(const quor_cfg_stanza_t *section, size_t defaultWriteSize, netopt_entry_t **table)
{
    *table = nullptr;
    if (section == nullptr) {
        quorex_Print("Warning: \"%s\" section not found in QUOR.conf file\n", kSection);
        return -ENOENT;
    }
    if (section->type != CFG_COMPOUND_TYPE || section->substanzaList == nullptr) {
        quorex_Print("Warning: \"%s\" section is empty in QUOR.conf file\n", kSection);
        return -ENOENT;
    }
    Defaults d;
    d.write = defaultWriteSize;
    size_t count = 0, cap = 0;
    netopt_entry_t *t = nullptr;
    for (const quor_cfg_stanza_t *s = section->substanzaList; s != nullptr; s = s->next) {
        if (s->type == CFG_SIMPLE_TYPE) {
            takeDefault(s, &d);
            continue;
        }
        if (s->type != CFG_COMPOUND_TYPE)
            continue;
        for (const quor_cfg_stanza_t *h = s->substanzaList; h != nullptr; h = h->next) {
            netopt_entry_t e = {};
            e.RFC1323 = 1;
            e.SendSpace = d.send;
            e.RecvSpace = d.recv;
            e.WriteSize = d.write;
            bool ok = true;
            int failure = -EINVAL;
            if (h->type == CFG_FLAG_TYPE) {
                quorex_Print("*** FLAG-type stanza [%s] found where IP address was expected\n", h->KeyString);
                ok = false;
            } else if (h->type == CFG_SIMPLE_TYPE) {
                ok = quorcfgx_ParseAddress(h->KeyValue, &e.IPAddr) == 0;
                if (!ok)
                    quorex_Print("*** Bad IP address in QUOR.conf file: [%s] \n", h->KeyValue);
                e.NetMask = hostMask(e.IPAddr);
            } else {
                ok = takeHost(h, &e);
            }
            if (ok && count == cap) {
                cap = cap == 0 ? 8 : cap * 2;
                auto *grown = static_cast<netopt_entry_t *>(realloc(t, cap * sizeof *t));
                ok = grown != nullptr;
                if (ok)
                    t = grown;
                else
                    failure = -ENOMEM;
            }
            if (!ok) {
                // One bad entry discards every option: half a policy is not
                // what the site wrote.
                free(t);
                return failure;
            }
            t[count++] = e;
        }
    }
    *table = t;
    return static_cast<int>(count);
}

int quorcfgx_NetoptFindEntry(const quor_sockaddr_t *address, netopt_entry_t *entry)
{
    kyl_lock_guard g(netopt_Mutex);
    buildOnce();
    const netopt_entry_t *def = nullptr;
    for (int i = 0; i < netopt_NumEntries; i++) {
        const netopt_entry_t &e = netopt_Table[i];
        if (e.IsDefault) {
            if (def == nullptr)
                def = &e;
        } else if (quorcfgx_AddrMatch(&e.IPAddr, &e.NetMask, address)) {
            *entry = e;
            return 0;
        }
    }
    if (def == nullptr)
        return -ENOENT;
    *entry = *def;
    return 0;
}

int quorcfgx_SetSocketOption(int socket, int level, const char *levelName, int option, const char *optionName,
                             const void *value, socklen_t length)
{
    if (setsockopt(socket, level, option, value, length) == 0)
        return 0;
    int e = errno;
    if (e == ENOBUFS && (option == SO_SNDBUF || option == SO_RCVBUF)) {
        std::atomic<bool> &warned = option == SO_SNDBUF ? warnedSend : warnedRecv;
        if (!warned.exchange(true))
            quorex_Print("Warning: unable to set socket %s buffer size.\n(this warning will only be issued once)\n",
                         option == SO_SNDBUF ? "send" : "receive");
    } else {
        quorex_Print("Cannot setsockopt(%s,%s) socket, errno %d\n", levelName, optionName, e);
    }
    return -e;
}

int quorcfgx_NetoptSetSock(int socket, const quor_sockaddr_t *address)
{
    quor_sockaddr_t peer = {};
    if (address == nullptr) {
        peer.hs_addrlen = sizeof peer.hs_addr;
        if (getpeername(socket, reinterpret_cast<sockaddr *>(&peer.hs_addr), &peer.hs_addrlen) != 0)
            return -errno;
        address = &peer;
    }
    netopt_entry_t e;
    const int savedErrno = errno;
    if (int rc = quorcfgx_NetoptFindEntry(address, &e); rc != 0) {
        errno = savedErrno; // no options is not a failure the caller reports
        return rc;
    }
    int send = static_cast<int>(e.SendSpace), recv = static_cast<int>(e.RecvSpace);
    int rc = 0;
    if (send > 0)
        rc = quorcfgx_SetSocketOption(socket, SOL_SOCKET, "SOL_SOCKET", SO_SNDBUF, "SO_SNDBUF", &send, sizeof send);
    if (rc == 0 && recv > 0)
        rc = quorcfgx_SetSocketOption(socket, SOL_SOCKET, "SOL_SOCKET", SO_RCVBUF, "SO_RCVBUF", &recv, sizeof recv);
    if (rc == 0 && e.TcpNodelay != 0)
        rc = quorcfgx_SetSocketOption(socket, IPPROTO_TCP, "IPPROTO_TCP", TCP_NODELAY, "TCP_NODELAY", &e.TcpNodelay,
                                      sizeof e.TcpNodelay);
    return rc;
}

int64_t quorcfgx_NetoptGetWriteSize(int socket, const quor_sockaddr_t *address)
{
    quor_sockaddr_t self = {};
    if (address == nullptr) {
        self.hs_addrlen = sizeof self.hs_addr;
        if (getsockname(socket, reinterpret_cast<sockaddr *>(&self.hs_addr), &self.hs_addrlen) != 0)
            return -errno;
        address = &self;
    }
    netopt_entry_t e;
    if (quorcfgx_NetoptFindEntry(address, &e) == 0 && e.WriteSize != 0)
        return static_cast<int64_t>(e.WriteSize);
    kyl_lock_guard g(netopt_Mutex);
    return static_cast<int64_t>(netopt_DefaultNetWriteSize);
}

int quorcfgx_ParsePortRange(const char *text, int *low, int *high)
{
    if (text == nullptr)
        return -EINVAL;
    if (const char *rpc = strstr(text, "ncacn_ip_tcp"); rpc != nullptr) {
        text = strchr(rpc, '[');
        if (text == nullptr)
            return -EINVAL;
        text++;
    }
    int lo = 0, hi = 0;
    if (sscanf(text, "%d - %d", &lo, &hi) != 2 || lo > hi)
        return -EINVAL;
    lo = lo < QUORCFGX_PORT_MIN ? QUORCFGX_PORT_MIN : lo;
    hi = hi > QUORCFGX_PORT_MAX ? QUORCFGX_PORT_MAX : hi;
    if (lo > hi)
        return -EINVAL; // wholly outside the ports a user may bind
    *low = lo;
    *high = hi;
    return 0;
}

void quorcfgx_GetRestrictedPorts(int *low, int *high)
{
    kyl_lock_guard g(ports_Mutex);
    if (!ports_Read) {
        ports_Read = true;
        for (const char *name : {"QUOR_PORT_RANGE", "QUOR_DOLNC_PORT_RANGE", "RPC_RESTRICTED_PORTS"}) {
            if (const char *v = getenv(name); v != nullptr) {
                (void)quorcfgx_ParsePortRange(v, &ports_Low, &ports_High);
                break;
            }
        }
    }
    if (low != nullptr)
        *low = ports_Low;
    if (high != nullptr)
        *high = ports_High;
}
