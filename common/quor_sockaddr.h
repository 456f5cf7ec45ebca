#ifndef QUOR_SOCKADDR_H
#define QUOR_SOCKADDR_H

// The address record every socket of the client and of kylgwd goes
// through: an IPv4 or IPv6 socket address and its length.

#include <sys/socket.h>

#include "kyl_xdr.h"

struct quor_sockaddr_t {
    socklen_t hs_addrlen;
    struct sockaddr_storage hs_addr;
};

// Family codes of an address record on the wire.
constexpr uint32_t QUOR_ADDR_NONE = 0;
constexpr uint32_t QUOR_ADDR_IPV4 = 1;
constexpr uint32_t QUOR_ADDR_IPV6 = 3;

// uint32 family code, then (unless none) the address bytes (4 or 16) as
// opaque and the port as a 16-bit value.  Family code 0 decodes to an
// all-zero record; any other unknown code fails.
bool kyl_xdr_quor_sockaddr(kyl_xdr_t *x, quor_sockaddr_t *a);

#endif
