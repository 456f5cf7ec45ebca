#ifndef KYL_XDR_H
#define KYL_XDR_H

// XDR encoding and decoding of gateway message bodies, shared by the client
// library and kylgwd.  One routine per type serves all three directions, as
// Sun XDR routines do: KYL_XDR_ENCODE appends to a byte buffer,
// KYL_XDR_DECODE reads from a source (a buffered socket or memory), and
// KYL_XDR_FREE releases what a decode allocated.  Every length and count
// read from a source is checked against the cap the caller names before any
// allocation or copy; a failed routine leaves the stream unusable (the
// caller drops the connection).  No locks: a handle belongs to one thread.

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>

enum kyl_xdr_op { KYL_XDR_ENCODE = 0, KYL_XDR_DECODE = 1, KYL_XDR_FREE = 2 };

// Where decoded bytes come from.  get() fills exactly n bytes or fails.
struct kyl_xdr_source {
    virtual ~kyl_xdr_source() = default;
    virtual bool get(unsigned char *buf, size_t n) = 0;
};

// A source over bytes in memory (tests, fuzzing, inline data).
struct kyl_xdr_memsource : kyl_xdr_source {
    kyl_xdr_memsource(const unsigned char *data, size_t len) : p(data), left(len) {}
    bool get(unsigned char *buf, size_t n) override;
    const unsigned char *p;
    size_t left;
};

// Growable output buffer of an encoding handle (malloc-backed so that the
// handle stays a plain structure).
struct kyl_xdr_outbuf {
    unsigned char *data = nullptr;
    size_t len = 0;
    size_t cap = 0;
};

struct kyl_xdr_t {
    kyl_xdr_op op = KYL_XDR_ENCODE;
    kyl_xdr_outbuf *out = nullptr; // encode
    kyl_xdr_source *in = nullptr;  // decode
};

// Type of a body routine as the message layer holds it.
typedef bool (*kyl_xdrproc_t)(kyl_xdr_t *, void *);

// Adapts a typed routine bool f(kyl_xdr_t *, T *) to kyl_xdrproc_t without
// calling through a mismatched function pointer type.
template <typename T, bool (*F)(kyl_xdr_t *, T *)>
bool kyl_xdr_thunk(kyl_xdr_t *x, void *p)
{
    return F(x, static_cast<T *>(p));
}
#define KYL_XDRPROC(T, fn) (&kyl_xdr_thunk<T, fn>)

void kyl_xdr_create_encode(kyl_xdr_t *x, kyl_xdr_outbuf *out);
void kyl_xdr_create_decode(kyl_xdr_t *x, kyl_xdr_source *in);
void kyl_xdr_create_free(kyl_xdr_t *x);
// Releases the buffer's memory.
void kyl_xdr_outbuf_free(kyl_xdr_outbuf *out);
// Releases what a decode of obj with proc allocated.
void kyl_xdr_free(kyl_xdrproc_t proc, void *obj);

// Integers: each takes one 4-byte unit; 64-bit values take two, high first.
bool kyl_xdr_u32(kyl_xdr_t *x, uint32_t *v);
bool kyl_xdr_i32(kyl_xdr_t *x, int32_t *v);
bool kyl_xdr_u16(kyl_xdr_t *x, uint16_t *v); // fails on decode when the upper half is not zero
bool kyl_xdr_u8(kyl_xdr_t *x, uint8_t *v);   // fails on decode when the upper bytes are not zero
bool kyl_xdr_u64(kyl_xdr_t *x, uint64_t *v);
bool kyl_xdr_i64(kyl_xdr_t *x, int64_t *v);

// Fixed-length opaque of n bytes, zero-padded to a multiple of 4.
bool kyl_xdr_fixed_opaque(kyl_xdr_t *x, unsigned char *buf, size_t n);

// A string in a fixed buffer of size max: int32 length counting the NUL
// (1..max), the bytes, padding.  Decoding forces the last byte to NUL.
bool kyl_xdr_counted_string(kyl_xdr_t *x, char *buf, size_t max);

// Variable bytes: uint32 length, the bytes, padding.  Decoding allocates
// *buf (malloc; freed by KYL_XDR_FREE) when the length is nonzero and at
// most cap; a zero length leaves *buf null.
bool kyl_xdr_varbuf(kyl_xdr_t *x, unsigned char **buf, uint32_t *len, uint32_t cap);
// Variable bytes into a caller buffer of bufsize bytes (no allocation).
bool kyl_xdr_varbuf_fixed(kyl_xdr_t *x, unsigned char *buf, uint32_t *len, uint32_t bufsize);

// A standard XDR string (uint32 length without NUL, bytes, padding) into a
// buffer of bufsize bytes; the length must be at most cap and below
// bufsize.  Encoding fails for a string longer than cap.
bool kyl_xdr_string(kyl_xdr_t *x, char *buf, size_t bufsize, uint32_t cap);

// A file mode in its interchange form.
bool kyl_xdr_mode(kyl_xdr_t *x, uint32_t *mode);
uint32_t kyl_mode_to_interchange(uint32_t mode);
uint32_t kyl_mode_from_interchange(uint32_t imode);

// A socket address: uint16 family tag (4 or 6), uint16 port (host order),
// then the IPv4 address, or the IPv6 address, flow information and scope.
bool kyl_xdr_sockaddr_storage(kyl_xdr_t *x, struct sockaddr_storage *ss);

// Request identifier of the file-system interface.
struct kyl_uuid_t {
    uint32_t time_low;
    uint16_t time_mid;
    uint16_t time_hi_and_version;
    uint8_t clock_seq_hi_and_reserved;
    uint8_t clock_seq_low;
    unsigned char node[6];
};
bool kyl_xdr_uuid(kyl_xdr_t *x, kyl_uuid_t *u);

// Object handle of the storage namespace.
struct ns_ObjHandle_t {
    uint64_t ObjId;
    uint16_t ObjNsHash;
    uint64_t FileId;
    uint16_t FileNsHash;
    uint8_t Type;
    uint8_t Flags;
    uint64_t Generation;
    uint32_t CoreServerId;
};
bool kyl_xdr_objhandle(kyl_xdr_t *x, ns_ObjHandle_t *h);

// Bytes of padding that follow n bytes of opaque data.
constexpr size_t kyl_xdr_pad(size_t n)
{
    return (4 - (n & 3)) & 3;
}

#endif
