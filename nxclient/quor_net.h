#ifndef QUOR_NET_H
#define QUOR_NET_H

// The client's network address layer: every socket of the client library
// (gateway control connection, data connections, listening sockets for
// movers) is made, bound, connected and described through these calls, which
// hide IPv4 and IPv6 behind quor_sockaddr_t and apply the process-wide
// address-family policy read from QUOR_NET_FAMILY on every call:
//   "ipv4_only"  IPv4 look-ups only
//   "ipv6"       IPv6 look-ups with mapped IPv4; a real IPv6 result is
//                preferred, else the IPv4 result (returned as an IPv4 record)
//   "ipv6_only"  IPv6 look-ups only; IPV6_V6ONLY is set on every new socket
//   other/unset  look-ups and new sockets are refused
//
// No function prints.  Every function that takes errorText/errorSize leaves
// a description of a failure there (nothing when errorText is null or
// errorSize is 0), in one of the forms
//   "quor_net:<line>:<function>(): <description>"
//   "quor_net:<line>:<function>(): <description> <error number> <error text>"
// All functions may be called from any thread; they take no locks.
//
// Results: the socket-call wrappers (socket, bind, connect, listen, accept,
// getsockname, getpeername) are thin wrappers of the system calls: a
// descriptor or 0, or -errno (errno is left set as well).  The other calls
// return 0 (or the port or length their contract names) or a negative code:
// a negated errno value, the look-up's negative EAI_* code, or
// QUOR_NET_E_NOFAMILYADDR.

#include <cstddef>
#include <sys/socket.h>

#include "quor_sockaddr.h"

// Policy codes of QUOR_NET_FAMILY.
constexpr int QUOR_NET_FAMILY_REFUSED = 0;
constexpr int QUOR_NET_FAMILY_IPV4_ONLY = 1;
constexpr int QUOR_NET_FAMILY_IPV6 = 2;
constexpr int QUOR_NET_FAMILY_IPV6_ONLY = 3;

// The look-up found results, but none of the family the policy allows.
constexpr int QUOR_NET_E_NOFAMILYADDR = -6;

// The policy code of the current value of QUOR_NET_FAMILY.
int quor_net_familypolicy();

// Clears addr to all zeros and sets hs_addrlen to the size of the address
// storage (128), ready to receive an address.
void quor_net_initaddr(quor_sockaddr_t *addr);

// Resolves host and service (either may be null; a null host with the
// policy's passive flag gives the wildcard address) into *addr under the
// family policy.  The caller's AI_PASSIVE, AI_V4MAPPED and AI_ALL bits are
// replaced by the policy's; protocol is 0, IPPROTO_TCP or IPPROTO_UDP.
// Returns 0; -EAGAIN with errno EFAULT when addr is null; -ENXIO when the
// policy refuses look-ups; -E2BIG for another protocol; the system look-up's
// (negative) EAI_* code; QUOR_NET_E_NOFAMILYADDR when no result has an
// allowed family.  *addr is written only on success.
[[nodiscard]] int quor_net_getaddrinfo(const char *host, const char *service, int flags, int protocol,
                                       quor_sockaddr_t *addr, char *errorText, size_t errorSize);

// Translates addr into host and service texts (getnameinfo flags NI_*).
// Returns 0, the system look-up's (negative) EAI_* code, or -EFAULT when
// addr is null or empty.
[[nodiscard]] int quor_net_getnameinfo(const quor_sockaddr_t *addr, char *host, size_t hostSize, char *service,
                                       size_t serviceSize, int flags, char *errorText, size_t errorSize);

// Creates a socket of addr's family with the given type and protocol.
// Under "ipv6_only" IPV6_V6ONLY is set (an IPv4 address then fails).
// Returns the descriptor (owned by the caller) or -errno: -EFAULT for a
// null or empty addr, -ENXIO when the policy refuses new sockets.
[[nodiscard]] int quor_net_socket(const quor_sockaddr_t *addr, int type, int protocol, char *errorText,
                                  size_t errorSize);

// Binds / connects fd to addr.  An IPv6 link-local address without a scope
// id is given the scope id of the local interface that has that address
// (addr itself is not changed).  Return 0, or -errno (-EFAULT for a null or
// empty addr).
[[nodiscard]] int quor_net_bind(int fd, const quor_sockaddr_t *addr, char *errorText, size_t errorSize);
[[nodiscard]] int quor_net_connect(int fd, const quor_sockaddr_t *addr, char *errorText, size_t errorSize);

// listen(2) on fd.  Returns 0 or -errno.
[[nodiscard]] int quor_net_listen(int fd, int backlog, char *errorText, size_t errorSize);

// Accepts one connection on fd.  When addr is not null it is initialised and
// receives the peer's address.  Returns the new descriptor (owned by the
// caller) or -errno.
[[nodiscard]] int quor_net_accept(int fd, quor_sockaddr_t *addr, char *errorText, size_t errorSize);

// Store the local / peer address of fd into *addr (initialised first).
// Return 0 or -errno (-EFAULT for a null addr).
[[nodiscard]] int quor_net_getsockname(int fd, quor_sockaddr_t *addr, char *errorText, size_t errorSize);
[[nodiscard]] int quor_net_getpeername(int fd, quor_sockaddr_t *addr, char *errorText, size_t errorSize);

// The port of addr (0..65535), read back through its numeric service text.
// Returns the port, the look-up's (negative) EAI_* code or -EFAULT, or
// -ERANGE when the service text is not a number in 0..65535.
[[nodiscard]] int quor_net_getport(const quor_sockaddr_t *addr, char *errorText, size_t errorSize);

// The port number written in service: all decimal digits, 0..65535.
// Returns the port or -ERANGE.
[[nodiscard]] int quor_net_portfromtext(const char *service, char *errorText, size_t errorSize);

// The address bytes inside addr: 4 for IPv4, 16 for IPv6.  Stores the
// family and the byte count (when the pointers are not null) and returns a
// pointer into *addr; returns null (family and length untouched) for a null
// record or another family.
const unsigned char *quor_net_getinaddr(const quor_sockaddr_t *addr, int *family, size_t *length);

// Writes "<numeric address>.<port>" (for example "192.0.2.1.1217") into
// text.  Returns its length; -1 ("Buffer was truncated.") when it does not
// fit in size bytes with its NUL; -EINVAL ("Unexpected family.") for a null
// record or a family other than IPv4 and IPv6.
[[nodiscard]] int quor_net_getuniversaladdress(const quor_sockaddr_t *addr, char *text, size_t size, char *errorText,
                                               size_t errorSize);

// Makes *mask a record of addr's family whose address bytes have
// prefixBits leading one bits and zeros after (0 means all ones); the port
// is 0.  Returns 0, or -EINVAL for a null record, another family, or a
// prefix below 0 or beyond the address's bit count.
[[nodiscard]] int quor_net_generatemask(const quor_sockaddr_t *addr, quor_sockaddr_t *mask, int prefixBits);

// 1 when addr and candidate have the same family (IPv4 or IPv6) and every
// address byte agrees under mask (all bits when mask is null), else 0.  A
// mask of another family matches nothing.  Ports are ignored.
int quor_net_addrmatch(const quor_sockaddr_t *addr, const quor_sockaddr_t *mask, const quor_sockaddr_t *candidate);

// TCP keep-alive timing of every client socket: after 60 idle seconds the
// system probes the peer every 20 seconds and gives up after 6 unanswered
// probes, so a peer that vanished without closing (host down, link cut) is
// noticed within three minutes rather than the system's two hours.
constexpr int QUOR_NET_KEEPIDLE_SECS = 60;
constexpr int QUOR_NET_KEEPINTVL_SECS = 20;
constexpr int QUOR_NET_KEEPCNT = 6;

// Turns TCP keep-alive on for fd with the timing above.  Every socket the
// client library connects or listens on goes through here (sockets accepted
// from a listening socket inherit the settings).  A call interrupted by a
// signal or refused with EAGAIN is retried.  Returns 0, or -errno of the
// first option that could not be set.
[[nodiscard]] int quor_net_keepalive(int fd, char *errorText, size_t errorSize);

// Copies the system's text for errnum into buf (size bytes, always
// NUL-terminated when size > 0) without touching shared state; returns buf.
char *quor_net_strerror(int errnum, char *buf, size_t size);

#endif
