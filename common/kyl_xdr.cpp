// XDR primitives shared by the client library and kylgwd.  See kyl_xdr.h.

#include "kyl_xdr.h"

#include <cstdlib>
#include <cstring>
#include <netinet/in.h>

#include "u_signed64.h"

bool kyl_xdr_memsource::get(unsigned char *buf, size_t n)
{
    if (n > left)
        return false;
    if (n > 0)
        memcpy(buf, p, n);
    p += n;
    left -= n;
    return true;
}

void kyl_xdr_create_encode(kyl_xdr_t *x, kyl_xdr_outbuf *out)
{
    x->op = KYL_XDR_ENCODE;
    x->out = out;
    x->in = nullptr;
}

void kyl_xdr_create_decode(kyl_xdr_t *x, kyl_xdr_source *in)
{
    x->op = KYL_XDR_DECODE;
    x->in = in;
    x->out = nullptr;
}

void kyl_xdr_create_free(kyl_xdr_t *x)
{
    x->op = KYL_XDR_FREE;
    x->in = nullptr;
    x->out = nullptr;
}

void kyl_xdr_outbuf_free(kyl_xdr_outbuf *out)
{
    free(out->data);
    out->data = nullptr;
    out->len = out->cap = 0;
}

void kyl_xdr_free(kyl_xdrproc_t proc, void *obj)
{
    kyl_xdr_t x;
    kyl_xdr_create_free(&x);
    proc(&x, obj);
}

namespace {

bool put(kyl_xdr_t *x, const void *bytes, size_t n)
{
    kyl_xdr_outbuf *o = x->out;
    if (o == nullptr)
        return false;
    if (n > SIZE_MAX - o->len)
        return false;
    if (o->len + n > o->cap) {
        size_t cap = o->cap ? o->cap : 4096;
        while (cap < o->len + n) {
            if (cap > SIZE_MAX / 2)
                return false;
            cap *= 2;
        }
        auto *grown = static_cast<unsigned char *>(realloc(o->data, cap));
        if (grown == nullptr)
            return false;
        o->data = grown;
        o->cap = cap;
    }
    if (n > 0)
        memcpy(o->data + o->len, bytes, n);
    o->len += n;
    return true;
}

bool get(kyl_xdr_t *x, void *bytes, size_t n)
{
    return x->in != nullptr && x->in->get(static_cast<unsigned char *>(bytes), n);
}

// Writes or skips the zero padding after n opaque bytes.  Decoding accepts
// any padding bytes, as XDR readers commonly do.
bool pad(kyl_xdr_t *x, size_t n)
{
    static const unsigned char zeros[4] = {0, 0, 0, 0};
    unsigned char skip[4];
    size_t p = kyl_xdr_pad(n);
    if (p == 0)
        return true;
    return x->op == KYL_XDR_ENCODE ? put(x, zeros, p) : get(x, skip, p);
}

} // namespace

bool kyl_xdr_u32(kyl_xdr_t *x, uint32_t *v)
{
    unsigned char b[4];
    switch (x->op) {
    case KYL_XDR_ENCODE: u_be32_put(b, *v); return put(x, b, 4);
    case KYL_XDR_DECODE:
        if (!get(x, b, 4))
            return false;
        *v = u_be32_get(b);
        return true;
    default: return true;
    }
}

bool kyl_xdr_i32(kyl_xdr_t *x, int32_t *v)
{
    uint32_t u = static_cast<uint32_t>(*v);
    if (!kyl_xdr_u32(x, &u))
        return false;
    if (x->op == KYL_XDR_DECODE)
        *v = static_cast<int32_t>(u);
    return true;
}

bool kyl_xdr_u16(kyl_xdr_t *x, uint16_t *v)
{
    uint32_t u = *v;
    if (!kyl_xdr_u32(x, &u))
        return false;
    if (x->op == KYL_XDR_DECODE) {
        if (u > 0xffff)
            return false;
        *v = static_cast<uint16_t>(u);
    }
    return true;
}

bool kyl_xdr_u8(kyl_xdr_t *x, uint8_t *v)
{
    uint32_t u = *v;
    if (!kyl_xdr_u32(x, &u))
        return false;
    if (x->op == KYL_XDR_DECODE) {
        if (u > 0xff)
            return false;
        *v = static_cast<uint8_t>(u);
    }
    return true;
}

bool kyl_xdr_u64(kyl_xdr_t *x, uint64_t *v)
{
    uint32_t hi = static_cast<uint32_t>(*v >> 32), lo = static_cast<uint32_t>(*v);
    if (!kyl_xdr_u32(x, &hi) || !kyl_xdr_u32(x, &lo))
        return false;
    if (x->op == KYL_XDR_DECODE)
        *v = (static_cast<uint64_t>(hi) << 32) | lo;
    return true;
}

bool kyl_xdr_i64(kyl_xdr_t *x, int64_t *v)
{
    uint64_t u = static_cast<uint64_t>(*v);
    if (!kyl_xdr_u64(x, &u))
        return false;
    if (x->op == KYL_XDR_DECODE)
        *v = static_cast<int64_t>(u);
    return true;
}

bool kyl_xdr_fixed_opaque(kyl_xdr_t *x, unsigned char *buf, size_t n)
{
    switch (x->op) {
    case KYL_XDR_ENCODE: return put(x, buf, n) && pad(x, n);
    case KYL_XDR_DECODE: return get(x, buf, n) && pad(x, n);
    default: return true;
    }
}

bool kyl_xdr_counted_string(kyl_xdr_t *x, char *buf, size_t max)
{
    if (x->op == KYL_XDR_FREE)
        return true;
    if (buf == nullptr || max == 0 || max > INT32_MAX)
        return false;
    if (x->op == KYL_XDR_ENCODE) {
        size_t len = strnlen(buf, max);
        if (len >= max) // the NUL must fit in the buffer
            return false;
        int32_t n = static_cast<int32_t>(len + 1);
        return kyl_xdr_i32(x, &n) && put(x, buf, len + 1) && pad(x, len + 1);
    }
    int32_t n = 0;
    if (!kyl_xdr_i32(x, &n) || n < 1 || static_cast<size_t>(n) > max)
        return false;
    if (!get(x, buf, static_cast<size_t>(n)) || !pad(x, static_cast<size_t>(n)))
        return false;
    buf[n - 1] = '\0';
    return true;
}

bool kyl_xdr_varbuf(kyl_xdr_t *x, unsigned char **buf, uint32_t *len, uint32_t cap)
{
    switch (x->op) {
    case KYL_XDR_FREE:
        free(*buf);
        *buf = nullptr;
        return true;
    case KYL_XDR_ENCODE:
        if (*len > cap || (*len > 0 && *buf == nullptr))
            return false;
        return kyl_xdr_u32(x, len) && put(x, *buf, *len) && pad(x, *len);
    case KYL_XDR_DECODE: {
        *buf = nullptr;
        if (!kyl_xdr_u32(x, len) || *len > cap)
            return false;
        if (*len == 0)
            return true;
        auto *p = static_cast<unsigned char *>(malloc(*len));
        if (p == nullptr)
            return false;
        if (!get(x, p, *len) || !pad(x, *len)) {
            free(p);
            return false;
        }
        *buf = p;
        return true;
    }
    }
    return false;
}

bool kyl_xdr_varbuf_fixed(kyl_xdr_t *x, unsigned char *buf, uint32_t *len, uint32_t bufsize)
{
    if (x->op == KYL_XDR_FREE)
        return true;
    if (x->op == KYL_XDR_ENCODE)
        return *len <= bufsize && kyl_xdr_u32(x, len) && put(x, buf, *len) && pad(x, *len);
    return kyl_xdr_u32(x, len) && *len <= bufsize && get(x, buf, *len) && pad(x, *len);
}

bool kyl_xdr_string(kyl_xdr_t *x, char *buf, size_t bufsize, uint32_t cap)
{
    if (x->op == KYL_XDR_FREE)
        return true;
    if (buf == nullptr || bufsize == 0)
        return false;
    if (x->op == KYL_XDR_ENCODE) {
        size_t len = strnlen(buf, bufsize);
        if (len >= bufsize || len > cap)
            return false;
        uint32_t n = static_cast<uint32_t>(len);
        return kyl_xdr_u32(x, &n) && put(x, buf, len) && pad(x, len);
    }
    uint32_t n = 0;
    if (!kyl_xdr_u32(x, &n) || n > cap || n >= bufsize)
        return false;
    if (!get(x, buf, n) || !pad(x, n))
        return false;
    buf[n] = '\0';
    return true;
}

namespace {

// File type bits and their interchange values.
struct ModeMap {
    uint32_t posix;
    uint32_t interchange;
};
constexpr ModeMap modeTypes[] = {
    {0100000, 0x20000}, {0040000, 0x10000}, {0060000, 0x8000}, {0020000, 0x4000}, {0010000, 0x2000}, {0120000, 0x1000},
};
constexpr uint32_t kPermBits = 07777; // set-uid, set-gid, sticky, permissions

} // namespace

uint32_t kyl_mode_to_interchange(uint32_t mode)
{
    uint32_t out = mode & kPermBits;
    for (const auto &m : modeTypes)
        if ((mode & 0170000) == m.posix)
            out |= m.interchange;
    return out;
}

uint32_t kyl_mode_from_interchange(uint32_t imode)
{
    uint32_t out = imode & kPermBits;
    for (const auto &m : modeTypes)
        if (imode & m.interchange) {
            out |= m.posix;
            break;
        }
    return out;
}

bool kyl_xdr_mode(kyl_xdr_t *x, uint32_t *mode)
{
    uint32_t w = x->op == KYL_XDR_ENCODE ? kyl_mode_to_interchange(*mode) : 0;
    if (!kyl_xdr_u32(x, &w))
        return false;
    if (x->op == KYL_XDR_DECODE)
        *mode = kyl_mode_from_interchange(w);
    return true;
}

bool kyl_xdr_sockaddr_storage(kyl_xdr_t *x, struct sockaddr_storage *ss)
{
    if (x->op == KYL_XDR_FREE)
        return true;
    uint16_t tag = 0, port = 0;
    if (x->op == KYL_XDR_ENCODE) {
        if (ss->ss_family == AF_INET) {
            auto *in = reinterpret_cast<struct sockaddr_in *>(ss);
            tag = 4;
            port = ntohs(in->sin_port);
            uint32_t addr = ntohl(in->sin_addr.s_addr);
            return kyl_xdr_u16(x, &tag) && kyl_xdr_u16(x, &port) && kyl_xdr_u32(x, &addr);
        }
        if (ss->ss_family == AF_INET6) {
            auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(ss);
            tag = 6;
            port = ntohs(in6->sin6_port);
            uint32_t flow = ntohl(in6->sin6_flowinfo), scope = in6->sin6_scope_id;
            return kyl_xdr_u16(x, &tag) && kyl_xdr_u16(x, &port) &&
                   kyl_xdr_fixed_opaque(x, in6->sin6_addr.s6_addr, 16) && kyl_xdr_u32(x, &flow) &&
                   kyl_xdr_u32(x, &scope);
        }
        return false;
    }
    if (!kyl_xdr_u16(x, &tag) || !kyl_xdr_u16(x, &port))
        return false;
    memset(ss, 0, sizeof *ss);
    if (tag == 4) {
        auto *in = reinterpret_cast<struct sockaddr_in *>(ss);
        uint32_t addr = 0;
        if (!kyl_xdr_u32(x, &addr))
            return false;
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(addr);
        return true;
    }
    if (tag == 6) {
        auto *in6 = reinterpret_cast<struct sockaddr_in6 *>(ss);
        uint32_t flow = 0, scope = 0;
        if (!kyl_xdr_fixed_opaque(x, in6->sin6_addr.s6_addr, 16) || !kyl_xdr_u32(x, &flow) || !kyl_xdr_u32(x, &scope))
            return false;
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        in6->sin6_flowinfo = htonl(flow);
        in6->sin6_scope_id = scope;
        return true;
    }
    return false;
}

bool kyl_xdr_uuid(kyl_xdr_t *x, kyl_uuid_t *u)
{
    return kyl_xdr_u32(x, &u->time_low) && kyl_xdr_u16(x, &u->time_mid) && kyl_xdr_u16(x, &u->time_hi_and_version) &&
           kyl_xdr_u8(x, &u->clock_seq_hi_and_reserved) && kyl_xdr_u8(x, &u->clock_seq_low) &&
           kyl_xdr_fixed_opaque(x, u->node, 6);
}

bool kyl_xdr_objhandle(kyl_xdr_t *x, ns_ObjHandle_t *h)
{
    return kyl_xdr_u64(x, &h->ObjId) && kyl_xdr_u16(x, &h->ObjNsHash) && kyl_xdr_u64(x, &h->FileId) &&
           kyl_xdr_u16(x, &h->FileNsHash) && kyl_xdr_u8(x, &h->Type) && kyl_xdr_u8(x, &h->Flags) &&
           kyl_xdr_u64(x, &h->Generation) && kyl_xdr_u32(x, &h->CoreServerId);
}
