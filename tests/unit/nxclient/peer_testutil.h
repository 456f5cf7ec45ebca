#ifndef PEER_TESTUTIL_H
#define PEER_TESTUTIL_H

// The in-process gateway peer of the client library tests: a blocking
// source over the peer's end of a socketpair, and writing reply headers
// (with an optional body) back to the library.  Header-only; each helper is
// used by the one thread that plays the peer and takes no locks.

#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "nxapi_private.h"

namespace peertest {

// Blocking source over the peer's end of the socket: a read fails only at
// end of stream or on an error other than EINTR.
struct FdSource : kyl_xdr_source {
    explicit FdSource(int f) : fd(f) {}
    bool get(unsigned char *buf, size_t n) override
    {
        while (n > 0) {
            ssize_t r = read(fd, buf, n);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            buf += r;
            n -= static_cast<size_t>(r);
        }
        return true;
    }
    int fd;
};

// Writes all n bytes at p to fd.  Returns false when the socket fails or is
// closed; MSG_NOSIGNAL keeps a closed peer from raising SIGPIPE.
inline bool writeAllBytes(int fd, const unsigned char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Writes header h and, when body is not null, the body after it encoded by
// proc (h gets the body flag).  Returns true when everything was encoded
// and written.
inline bool peerSend(int fd, api_msghdr_t h, kyl_xdrproc_t proc, void *body)
{
    kyl_xdr_outbuf out;
    kyl_xdr_t x;
    kyl_xdr_create_encode(&x, &out);
    if (body != nullptr)
        h.msgFlags |= MSGF_BODY;
    bool ok = kylgw_xdr_api_msghdr_t(&x, &h) && (body == nullptr || proc(&x, body)) &&
              writeAllBytes(fd, out.data, out.len);
    kyl_xdr_outbuf_free(&out);
    return ok;
}

// The header of a reply to request id on category cat and function fn,
// carrying result errorcode.
inline api_msghdr_t replyHeader(uint32_t id, uint16_t cat, uint16_t fn, int32_t errorcode)
{
    api_msghdr_t h;
    kylgw_BuildMsgHdr(&h, id, 0, 0, 0, cat, fn, errorcode);
    return h;
}

} // namespace peertest

#endif
