#ifndef QUORCFGX_NIC_H
#define QUORCFGX_NIC_H

// The local network interfaces to use for data connections to a server,
// from the "DOLN Client Interfaces" section of QUOR.conf.  The local
// interface table is read once per process under nic_Mutex; selection
// itself keeps no state.
//
// Results: 0 (or the count a contract names) on success, else a negated
// errno value: QUORCFGX_NIC_NONE (-ENOENT) when the section or its entries
// are missing or unusable, -EFAULT for a null count.

#include <cerrno>
#include <cstddef>

#include "quor_sockaddr.h"
#include "quorcfgx_stanza.h"

struct nic_info_t {
    char ifName[20];
    char dotAddress[41]; // numeric address text
    quor_sockaddr_t ifAddress;
    unsigned long mtu; // 0 when it could not be read
    unsigned long ifFlags;
};

constexpr int QUORCFGX_NIC_NONE = -ENOENT;

// The interfaces that are up, not loopback, and IPv4 or IPv6.  Returns
// their count with *table (read-only, kept for the process), or 0.
int quorcfgx_LocalNics(const nic_info_t **table);

// Selects interfaces from nics as the section says for client (null: the
// local host, localHost) talking to server.  *addresses and *names (each
// may be null) are malloc'd arrays of *count entries; the caller frees
// them (each name too).  Messages go to the message sink.
int quorcfgx_SelectClientInterfaces(const quor_cfg_stanza_t *section, const char *client, const char *localHost,
                                    const char *server, const nic_info_t *nics, int nicCount, int *count,
                                    quor_sockaddr_t **addresses, char ***names);

// The same over QUOR.conf and this host's interfaces.
int quorcfgx_ConfGetClientInterfaces(const char *client, const char *server, int *count, quor_sockaddr_t **addresses,
                                     char ***names);

#endif
