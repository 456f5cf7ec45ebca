// The address record on the wire.

#include "quor_sockaddr.h"

#include <cstring>
#include <netinet/in.h>

bool kyl_xdr_quor_sockaddr(kyl_xdr_t *x, quor_sockaddr_t *a)
{
    if (x->op == KYL_XDR_FREE)
        return true;
    uint32_t fam = QUOR_ADDR_NONE;
    uint16_t port = 0;
    if (x->op == KYL_XDR_ENCODE) {
        if (a->hs_addr.ss_family == AF_INET) {
            auto *in = reinterpret_cast<struct sockaddr_in *>(&a->hs_addr);
            fam = QUOR_ADDR_IPV4;
            port = ntohs(in->sin_port);
            return kyl_xdr_u32(x, &fam) &&
                   kyl_xdr_fixed_opaque(x, reinterpret_cast<unsigned char *>(&in->sin_addr.s_addr), 4) &&
                   kyl_xdr_u16(x, &port);
        }
        if (a->hs_addr.ss_family == AF_INET6) {
            auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(&a->hs_addr);
            fam = QUOR_ADDR_IPV6;
            port = ntohs(in6->sin6_port);
            return kyl_xdr_u32(x, &fam) && kyl_xdr_fixed_opaque(x, in6->sin6_addr.s6_addr, 16) && kyl_xdr_u16(x, &port);
        }
        return kyl_xdr_u32(x, &fam);
    }
    if (!kyl_xdr_u32(x, &fam))
        return false;
    memset(a, 0, sizeof *a);
    if (fam == QUOR_ADDR_NONE)
        return true;
    if (fam == QUOR_ADDR_IPV4) {
        auto *in = reinterpret_cast<struct sockaddr_in *>(&a->hs_addr);
        if (!kyl_xdr_fixed_opaque(x, reinterpret_cast<unsigned char *>(&in->sin_addr.s_addr), 4) ||
            !kyl_xdr_u16(x, &port))
            return false;
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        a->hs_addrlen = sizeof(struct sockaddr_in);
        return true;
    }
    if (fam == QUOR_ADDR_IPV6) {
        auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(&a->hs_addr);
        if (!kyl_xdr_fixed_opaque(x, in6->sin6_addr.s6_addr, 16) || !kyl_xdr_u16(x, &port))
            return false;
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        a->hs_addrlen = sizeof(struct sockaddr_in6);
        return true;
    }
    return false;
}
