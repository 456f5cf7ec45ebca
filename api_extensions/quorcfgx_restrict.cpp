// Restricted addresses (see quorcfgx_restrict.h).  restrict_Mutex guards
// the one reading of the section; the table is read-only afterwards.

#include "quorcfgx_restrict.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kyl_mutex.h"
#include "quorcfgx_conf.h"
#include "quorex_msg.h"

namespace {

constexpr const char *kSection = "Restricted Addresses";

kyl_mutex_t restrict_Mutex;
bool restrictRead KYL_GUARDED_BY(restrict_Mutex) = false;
int restrictedAddrCount KYL_GUARDED_BY(restrict_Mutex) = -1; // or a QUORCFGX_RESTRICT_* code once read
quor_restricted_addr_t *restrictedAddrTable KYL_GUARDED_BY(restrict_Mutex) = nullptr;

// Fills r from "address[/prefix]"; false when malformed.
bool parseEntry(const char *key, quor_restricted_addr_t *r)
{
    std::string text = key;
    std::string prefix;
    if (size_t slash = text.find('/'); slash != std::string::npos) {
        prefix = text.substr(slash + 1);
        text.resize(slash);
    }
    const bool v6 = text.find(':') != std::string::npos;
    const int maxBits = v6 ? 128 : 32;
    int bits = maxBits;
    if (!prefix.empty()) {
        char *end = nullptr;
        long n = strtol(prefix.c_str(), &end, 10);
        if (*end == '\0' && n >= 1 && n <= maxBits)
            bits = static_cast<int>(n);
    }
    memset(r, 0, sizeof *r);
    r->addrType = v6 ? AF_INET6 : AF_INET;
    r->ra_prefix_len = bits;
    if (inet_pton(r->addrType, text.c_str(), r->ra_addr) != 1)
        return false;
    unsigned char mask[16] = {};
    for (int i = 0; i < bits; i++)
        mask[i / 8] = static_cast<unsigned char>(mask[i / 8] | (0x80u >> (i % 8)));
    if (v6)
        memcpy(r->ra_ipv6_netmask, mask, sizeof mask);
    else
        memcpy(&r->ra_ipv4_netmask, mask, 4);
    return true;
}

} // namespace

int quorcfgx_RestrictBuildTable(const quor_cfg_stanza_t *section, const char *host, const char *routine,
                                quor_restricted_addr_t **table)
{
    *table = nullptr;
    if (section == nullptr)
        return 0;
    if (section->type != CFG_COMPOUND_TYPE || section->substanzaList == nullptr) {
        quorex_Print("(%s) WARNING: QUOR.conf error. \"%s\" section is %s - refusing every data connection\n", routine,
                     kSection, section->type != CFG_COMPOUND_TYPE ? "not a compound-type stanza" : "empty");
        return QUORCFGX_RESTRICT_UNUSABLE;
    }
    quor_cfg_stanza_t *list = section->substanzaList;
    const quor_cfg_stanza_t *h = quorcfgx_LookupHostName(list, host, 1);
    if (h == nullptr)
        h = quorcfgx_CfgFindKey("Default", list, 1);
    if (h == nullptr)
        return 0; // the site restricts other hosts, not this one
    if (h->type != CFG_COMPOUND_TYPE || h->substanzaList == nullptr) {
        quorex_Print("(%s) WARNING: QUOR.conf error, line %d. host \"%s\", section is %s - refusing every data "
                     "connection\n",
                     routine, static_cast<int>(h->LineNum), h->KeyString,
                     h->type != CFG_COMPOUND_TYPE ? "not a compound-type stanza" : "empty");
        return QUORCFGX_RESTRICT_UNUSABLE;
    }
    int count = 0;
    auto *t = static_cast<quor_restricted_addr_t *>(calloc(h->substanzaCount, sizeof(quor_restricted_addr_t)));
    if (t == nullptr) {
        quorex_Print("*** %s: memory allocation failed for table entry[%d] (%lu bytes)\n", routine, 0,
                     static_cast<unsigned long>(h->substanzaCount * sizeof(quor_restricted_addr_t)));
        return QUORCFGX_RESTRICT_NOMEM;
    }
    for (const quor_cfg_stanza_t *s = h->substanzaList; s != nullptr; s = s->next) {
        if (static_cast<size_t>(count) >= h->substanzaCount)
            break;
        if (s->type != CFG_FLAG_TYPE) {
            quorex_Print("(%s) WARNING: QUOR.conf error, line %d. '%s', is a malformed(non-flag-type) IPV4 or IPV6 "
                         "address (ignored)\n",
                         routine, static_cast<int>(s->LineNum), s->KeyString);
            continue;
        }
        if (!parseEntry(s->KeyString, &t[count])) {
            quorex_Print("(%s) WARNING: QUOR.conf error, line %d. '%s', is a malformed %s address (ignored)\n", routine,
                         static_cast<int>(s->LineNum), s->KeyString,
                         strchr(s->KeyString, ':') != nullptr ? "IPV6" : "IPV4");
            continue;
        }
        count++;
    }
    if (count == 0) {
        free(t);
        quorex_Print("(%s) WARNING: QUOR.conf - no usable address for host \"%s\" - refusing every data "
                     "connection\n",
                     routine, h->KeyString);
        return QUORCFGX_RESTRICT_UNUSABLE;
    }
    *table = t;
    return count;
}

int quorcfgx_GetRestrictedConnList(int *count, const quor_restricted_addr_t **table)
{
    kyl_lock_guard g(restrict_Mutex);
    if (!restrictRead) {
        restrictRead = true;
        char host[256] = "";
        if (gethostname(host, sizeof host - 1) != 0)
            host[0] = '\0';
        quor_cfg_stanza_t *section = quorcfgx_CfgFindKey(kSection, quorcfgx_ConfParse(nullptr), 1);
        restrictedAddrCount =
            quorcfgx_RestrictBuildTable(section, host, "quorex_GetRestrictedConnList", &restrictedAddrTable);
    }
    if (count != nullptr)
        *count = restrictedAddrCount > 0 ? restrictedAddrCount : 0;
    if (table != nullptr)
        *table = restrictedAddrTable;
    return restrictedAddrCount < 0 ? restrictedAddrCount : 0;
}

int quorcfgx_RestrictMatch(const quor_restricted_addr_t *table, int count, const quor_sockaddr_t *peer)
{
    if (peer == nullptr)
        return 0;
    const int fam = peer->hs_addr.ss_family;
    const unsigned char *bytes = nullptr;
    if (fam == AF_INET)
        bytes =
            reinterpret_cast<const unsigned char *>(&reinterpret_cast<const sockaddr_in *>(&peer->hs_addr)->sin_addr);
    else if (fam == AF_INET6)
        bytes =
            reinterpret_cast<const unsigned char *>(&reinterpret_cast<const sockaddr_in6 *>(&peer->hs_addr)->sin6_addr);
    else
        return 0;
    for (int i = 0; i < count; i++) {
        const quor_restricted_addr_t &r = table[i];
        if (r.addrType != fam)
            continue;
        const unsigned char *mask =
            fam == AF_INET ? reinterpret_cast<const unsigned char *>(&r.ra_ipv4_netmask) : r.ra_ipv6_netmask;
        const size_t len = fam == AF_INET ? 4 : 16;
        bool same = true;
        for (size_t b = 0; b < len && same; b++)
            same = (bytes[b] & mask[b]) == (r.ra_addr[b] & mask[b]);
        if (same)
            return 1;
    }
    return 0;
}

int quorcfgx_RestrictAllows(const quor_sockaddr_t *peer)
{
    int count = 0;
    const quor_restricted_addr_t *table = nullptr;
    if (quorcfgx_GetRestrictedConnList(&count, &table) != 0)
        return 0;
    return count == 0 ? 1 : quorcfgx_RestrictMatch(table, count, peer);
}
