// Client interface selection (see quorcfgx_nic.h).  nic_Mutex guards the
// one reading of the local interface table, read-only afterwards.

#include "quorcfgx_nic.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

#include "kyl_mutex.h"
#include "quorcfgx_conf.h"
#include "quorcfgx_match.h"
#include "quorcfgx_netopt.h"
#include "quorex_msg.h"

namespace {

constexpr const char *kSection = "DOLN Client Interfaces";
constexpr int kMaxNics = 256;

kyl_mutex_t nic_Mutex;
bool nicsRead KYL_GUARDED_BY(nic_Mutex) = false;
nic_info_t *nicTable KYL_GUARDED_BY(nic_Mutex) = nullptr;
int nicCount KYL_GUARDED_BY(nic_Mutex) = 0;

bool usable(const quor_cfg_stanza_t *s)
{
    return s != nullptr && s->type == CFG_COMPOUND_TYPE && s->substanzaList != nullptr;
}

// The words of a flag stanza's key ("\" escapes the next character).
std::vector<std::string> words(const char *key)
{
    std::vector<std::string> out;
    std::string w;
    for (const char *p = key;; p++) {
        if (*p == '\\' && p[1] != '\0') {
            w += *++p;
        } else if (*p == '\0' || *p == ' ' || *p == '\t') {
            if (!w.empty())
                out.push_back(w);
            w.clear();
            if (*p == '\0')
                return out;
        } else {
            w += *p;
        }
    }
}

// An address record of text when it is a numeric address.
bool numeric(const std::string &text, quor_sockaddr_t *a)
{
    memset(a, 0, sizeof *a);
    auto *v4 = reinterpret_cast<sockaddr_in *>(&a->hs_addr);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&a->hs_addr);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        a->hs_addrlen = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        a->hs_addrlen = sizeof *v6;
        return true;
    }
    return false;
}

// True when mtu fits the "mtu" attribute value.
bool mtuFits(const char *value, unsigned long mtu)
{
    const char *p = value;
    while (*p == ' ' || *p == '\t')
        p++;
    char sign = (*p == '+' || *p == '-') ? *p++ : '\0';
    char *end = nullptr;
    unsigned long a = strtoul(p, &end, 10), b = 0;
    if (end == p || a == 0)
        return false;
    const char *q = end;
    while (*q == ' ' || *q == '\t')
        q++;
    if (sign == '\0' && *q == '-') {
        b = strtoul(q + 1, &end, 10);
        if (b == 0)
            return false;
        if (a > b)
            std::swap(a, b);
        return mtu >= a && mtu <= b;
    }
    return sign == '+' ? mtu >= a : sign == '-' ? mtu <= a : mtu == a;
}

} // namespace

int quorcfgx_LocalNics(const nic_info_t **table)
{
    kyl_lock_guard g(nic_Mutex);
    if (!nicsRead) {
        nicsRead = true;
        struct ifaddrs *list = nullptr;
        int sock = socket(AF_INET, SOCK_DGRAM, 0);
        if (getifaddrs(&list) == 0) {
            nicTable = static_cast<nic_info_t *>(calloc(kMaxNics, sizeof(nic_info_t)));
            for (struct ifaddrs *i = list; i != nullptr && nicTable != nullptr && nicCount < kMaxNics;
                 i = i->ifa_next) {
                if (i->ifa_addr == nullptr || (i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0)
                    continue;
                const int fam = i->ifa_addr->sa_family;
                if (fam != AF_INET && fam != AF_INET6)
                    continue;
                nic_info_t &n = nicTable[nicCount++];
                snprintf(n.ifName, sizeof n.ifName, "%s", i->ifa_name);
                n.ifAddress.hs_addrlen = fam == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
                memcpy(&n.ifAddress.hs_addr, i->ifa_addr, n.ifAddress.hs_addrlen);
                const void *bytes =
                    fam == AF_INET
                        ? static_cast<const void *>(&reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr)
                        : static_cast<const void *>(&reinterpret_cast<sockaddr_in6 *>(i->ifa_addr)->sin6_addr);
                inet_ntop(fam, bytes, n.dotAddress, sizeof n.dotAddress);
                n.ifFlags = i->ifa_flags;
                struct ifreq req = {};
                snprintf(req.ifr_name, sizeof req.ifr_name, "%s", i->ifa_name);
                n.mtu = sock >= 0 && ioctl(sock, SIOCGIFMTU, &req) == 0 ? static_cast<unsigned long>(req.ifr_mtu) : 0;
            }
            freeifaddrs(list);
        }
        if (sock >= 0)
            close(sock);
    }
    *table = nicTable;
    return nicCount;
}

int quorcfgx_SelectClientInterfaces(const quor_cfg_stanza_t *section, const char *client, const char *localHost,
                                    const char *server, const nic_info_t *nics, int nicTotal, int *count,
                                    quor_sockaddr_t **addresses, char ***names)
{
    const char *fn = "quorcfgx_ConfGetClientInterfaces";
    if (count == nullptr)
        return -EFAULT;
    *count = 0;
    if (section == nullptr)
        return QUORCFGX_NIC_NONE;
    if (!usable(section)) {
        quorex_Print("(%s) WARNING: QUOR.conf error. \"%s\" section is %s\n", fn, kSection,
                     section->type != CFG_COMPOUND_TYPE ? "not a compound-type stanza" : "empty");
        return QUORCFGX_NIC_NONE;
    }
    const char *who = client != nullptr ? client : localHost;
    quor_cfg_stanza_t *list = section->substanzaList;
    const quor_cfg_stanza_t *c = quorcfgx_LookupHostName(list, who, 1);
    if (c == nullptr)
        c = quorcfgx_CfgFindKey("Default", list, 1);
    if (c == nullptr)
        return QUORCFGX_NIC_NONE;
    if (!usable(c)) {
        if (c->type != CFG_COMPOUND_TYPE)
            quorex_Print("(%s) WARNING: QUOR.conf error. \"%s\" client section is not a compound-type stanza\n", fn,
                         c->KeyString);
        else
            quorex_Print("(%s) WARNING: QUOR.conf - empty local client interface section for \"%s\"\n", fn,
                         c->KeyString);
        return QUORCFGX_NIC_NONE;
    }
    const quor_cfg_stanza_t *s = quorcfgx_LookupHostName(c->substanzaList, server, 1);
    if (s == nullptr)
        s = quorcfgx_CfgFindKey("Default", c->substanzaList, 1);
    if (s == nullptr)
        return QUORCFGX_NIC_NONE;
    if (!usable(s)) {
        if (s->type != CFG_COMPOUND_TYPE)
            quorex_Print("(%s) WARNING: QUOR.conf error. client \"%s\", server \"%s\" section is not a "
                         "compound-type stanza\n",
                         fn, c->KeyString, s->KeyString);
        else
            quorex_Print("(%s) WARNING: QUOR.conf - empty local server interface section for client \"%s\".server "
                         "\"%s\"\n",
                         fn, c->KeyString, s->KeyString);
        return QUORCFGX_NIC_NONE;
    }
    std::vector<int> picked;
    // Another host's entry names that host's interfaces, not ours.
    const bool local = client == nullptr || (localHost != nullptr && strcmp(client, localHost) == 0);
    for (const quor_cfg_stanza_t *e = s->substanzaList; local && e != nullptr; e = e->next) {
        if (e->type == CFG_COMPOUND_TYPE && strcasecmp(e->KeyString, "attr") == 0) {
            for (const quor_cfg_stanza_t *a = e->substanzaList; a != nullptr; a = a->next)
                if (a->type == CFG_SIMPLE_TYPE && strcasecmp(a->KeyString, "mtu") == 0)
                    for (int i = 0; i < nicTotal; i++)
                        if (mtuFits(a->KeyValue, nics[i].mtu))
                            picked.push_back(i);
            continue;
        }
        if (e->type != CFG_FLAG_TYPE)
            continue;
        for (const std::string &w : words(e->KeyString)) {
            const size_t slash = w.find('/');
            quor_sockaddr_t a, mask;
            if (numeric(w.substr(0, slash), &a)) {
                mask = a;
                bool haveMask = slash != std::string::npos && numeric(w.substr(slash + 1), &mask);
                if (slash != std::string::npos && !haveMask) {
                    quorex_Print("Warning (%s): QUOR.conf %s section, client %s,server %s,line %d: bad netmask: %s\n",
                                 fn, kSection, c->KeyString, s->KeyString, static_cast<int>(e->LineNum), w.c_str());
                }
                bool found = false;
                for (int i = 0; i < nicTotal; i++)
                    if (quorcfgx_AddrMatch(&a, haveMask ? &mask : nullptr, &nics[i].ifAddress)) {
                        picked.push_back(i);
                        found = true;
                        break;
                    }
                if (!found)
                    quorex_Print("Warning (%s): QUOR.conf %s section, client %s,server %s, no such local NIC: %s\n", fn,
                                 kSection, c->KeyString, s->KeyString, w.c_str());
                continue;
            }
            for (int i = 0; i < nicTotal; i++)
                if (quorcfgx_PatternMatch(nics[i].ifName, w.c_str(), nullptr) == 1)
                    picked.push_back(i);
        }
    }
    const size_t n = picked.size();
    quor_sockaddr_t *addrs = n > 0 ? static_cast<quor_sockaddr_t *>(calloc(n, sizeof *addrs)) : nullptr;
    char **nameList = n > 0 ? static_cast<char **>(calloc(n, sizeof(char *))) : nullptr;
    if (n > 0 && (addrs == nullptr || nameList == nullptr)) {
        free(addrs);
        free(nameList);
        return -ENOMEM;
    }
    for (size_t i = 0; i < n; i++) {
        addrs[i] = nics[picked[i]].ifAddress;
        nameList[i] = strdup(nics[picked[i]].ifName);
    }
    if (addresses != nullptr)
        *addresses = addrs;
    else
        free(addrs);
    if (names != nullptr) {
        *names = nameList;
    } else {
        for (size_t i = 0; i < n; i++)
            free(nameList[i]);
        free(nameList);
    }
    *count = static_cast<int>(n);
    return 0;
}

int quorcfgx_ConfGetClientInterfaces(const char *client, const char *server, int *count, quor_sockaddr_t **addresses,
                                     char ***names)
{
    if (count == nullptr)
        return -EFAULT;
    const int savedErrno = errno;
    quor_cfg_stanza_t *section = quorcfgx_CfgFindKey(kSection, quorcfgx_ConfParse(nullptr), 1);
    char host[256] = "";
    if (client == nullptr && gethostname(host, sizeof host - 1) != 0)
        quorex_Print("*** [%s]Error %d getting local hostname\n", "quorcfgx_ConfGetClientInterfaces", errno);
    const nic_info_t *nics = nullptr;
    int total = section != nullptr ? quorcfgx_LocalNics(&nics) : 0;
    int rc = quorcfgx_SelectClientInterfaces(section, client, host, server, nics, total, count, addresses, names);
    errno = savedErrno;
    return rc;
}
