#ifndef QUORCFGX_NETOPT_H
#define QUORCFGX_NETOPT_H

// Per-peer socket options from the "Network Options" section of QUOR.conf
// (send and receive buffer sizes, write size, no-delay) and the local port
// range for binding data sockets.  Each is built once per process under its
// own lock and read-only afterwards, so any thread may query them.
//
// Results: 0 or a count on success, else a negated errno value; the address
// comparison answers 1 or 0.

#include <cstddef>
#include <cstdint>

#include "quor_sockaddr.h"
#include "quorcfgx_stanza.h"

struct netopt_entry_t {
    quor_sockaddr_t IPAddr;
    quor_sockaddr_t NetMask;
    int RFC1323;
    uint32_t SendSpace; // bytes, 0 = leave the system's size
    uint32_t RecvSpace; // bytes, 0 = leave the system's size
    size_t WriteSize;   // bytes of one data write
    int TcpNodelay;
    int IsDefault; // 1 for the entry named "Default"
};

// Write size when nothing else says: 32 KiB, or QUOR_TCP_WRITESIZE.
constexpr size_t QUORCFGX_DEFAULT_WRITE_SIZE = 32768;
// Bounds of the local port range.
constexpr int QUORCFGX_PORT_MIN = 1024;
constexpr int QUORCFGX_PORT_MAX = 65535;

// Builds the entries of a "Network Options" section (section may be null:
// missing).  defaultWriteSize is the write size before any "Default Write
// Size".  Returns the number of entries with *table (malloc'd, the caller
// frees it) set, or (*table null, the reason sent to the message sink)
// -ENOENT for a section missing or empty, -EINVAL for one holding an error,
// -ENOMEM.
int quorcfgx_NetoptBuildTable(const quor_cfg_stanza_t *section, size_t defaultWriteSize, netopt_entry_t **table);

// The entry for a peer address: the first non-default entry whose address
// matches under its mask, else the first default entry.  0 with *entry
// filled, or -ENOENT (no table or no entry applies).  Builds the process's
// table from QUOR.conf on first use.
int quorcfgx_NetoptFindEntry(const quor_sockaddr_t *address, netopt_entry_t *entry);

// Applies the entry for address (null: the socket's peer) to socket:
// SO_SNDBUF, then SO_RCVBUF, then TCP_NODELAY, each only while the one
// before succeeded and only when set.  0; -ENOENT when no entry applies
// (errno untouched then); the negated errno of a failed getpeername or
// option.
int quorcfgx_NetoptSetSock(int socket, const quor_sockaddr_t *address);

// The write size for address (null: the socket's own local address):
// the entry's, or the process's default write size when no entry applies
// or its size is 0.  A negated errno when the local address can't be read.
int64_t quorcfgx_NetoptGetWriteSize(int socket, const quor_sockaddr_t *address);

// setsockopt with the site's warnings (ENOBUFS on a buffer size once per
// process and option) sent to the message sink.  0 or the negated errno.
int quorcfgx_SetSocketOption(int socket, int level, const char *levelName, int option, const char *optionName,
                             const void *value, socklen_t length);

// Reads a port range text ("%d - %d", or after the "[" that follows
// "ncacn_ip_tcp").  0 with the range clamped to 1024..65535 when the low end
// is at most the high end; -EINVAL (outputs untouched) otherwise.
int quorcfgx_ParsePortRange(const char *text, int *low, int *high);

// The local port range for binding data sockets, decided once per process
// from QUOR_PORT_RANGE, QUOR_DOLNC_PORT_RANGE or RPC_RESTRICTED_PORTS (the
// first that is set); 1024..65535 by default.  Null outputs are allowed.
void quorcfgx_GetRestrictedPorts(int *low, int *high);

// The address record for text (a numeric or resolvable address), port 0.
// 0, or -EINVAL for an empty text or one that does not resolve.
int quorcfgx_ParseAddress(const char *text, quor_sockaddr_t *out);

// 1 when a and candidate have the same family and agree on every address
// bit set in mask (all bits when mask is null), else 0.
int quorcfgx_AddrMatch(const quor_sockaddr_t *a, const quor_sockaddr_t *mask, const quor_sockaddr_t *candidate);

#endif
