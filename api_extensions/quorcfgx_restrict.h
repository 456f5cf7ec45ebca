#ifndef QUORCFGX_RESTRICT_H
#define QUORCFGX_RESTRICT_H

// The peer addresses from which incoming data connections are accepted:
// the "Restricted Addresses" section of QUOR.conf, entry of this host (or
// "Default").  Read once per process under restrict_Mutex and read-only
// afterwards, so any thread may check a peer.  A missing section, or one
// without an entry for this host, restricts nothing; a section that is
// present but unusable refuses every peer, since the site meant to restrict.
//
// Results: 0 or an entry count on success, else a negated errno value named
// QUORCFGX_RESTRICT_*; the peer checks answer 1 (admitted) or 0.

#include <cerrno>
#include <cstdint>

#include "quor_sockaddr.h"
#include "quorcfgx_stanza.h"

struct quor_restricted_addr_t {
    int addrType;             // AF_INET or AF_INET6
    int ra_prefix_len;        // leading bits that must agree
    uint32_t ra_ipv4_netmask; // network order
    unsigned char ra_ipv6_netmask[16];
    unsigned char ra_addr[16]; // the IPv4 (first 4 bytes) or IPv6 address
};

// Results of quorcfgx_RestrictBuildTable and quorcfgx_GetRestrictedConnList.
constexpr int QUORCFGX_RESTRICT_UNUSABLE = -EINVAL; // refuse every peer
constexpr int QUORCFGX_RESTRICT_NOMEM = -ENOMEM;    // refuse every peer

// Builds the table from a "Restricted Addresses" section (null: missing)
// for the host named host.  Returns the entry count (0: no restriction)
// with *table malloc'd (the caller frees it; null for 0), or
// QUORCFGX_RESTRICT_UNUSABLE / QUORCFGX_RESTRICT_NOMEM after a message to
// the message sink.  routine tags the messages.
int quorcfgx_RestrictBuildTable(const quor_cfg_stanza_t *section, const char *host, const char *routine,
                                quor_restricted_addr_t **table);

// The process's table, read from QUOR.conf on first use: 0 with *count
// (0: no restriction) and *table (read-only, kept by the library), or a
// QUORCFGX_RESTRICT_* code (refuse every peer).  Null outputs are allowed.
int quorcfgx_GetRestrictedConnList(int *count, const quor_restricted_addr_t **table);

// 1 when some entry of peer's family matches it, else 0.
int quorcfgx_RestrictMatch(const quor_restricted_addr_t *table, int count, const quor_sockaddr_t *peer);

// 1 when the process's policy admits peer, else 0 (no message).
int quorcfgx_RestrictAllows(const quor_sockaddr_t *peer);

#endif
