#ifndef FUZZ_DECODERS_H
#define FUZZ_DECODERS_H

// What the fuzz targets do with one input, shared with the corpus replay
// test so that saved inputs run in every ordinary test build as well.
// Everything here decodes bytes from a peer: the inbound message header and
// every request and reply body of the message catalogue.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kyl_xdr.h"
#include "kylgw_catalogue.h"
#include "kylgw_msg.h"

// Decodes the first 36 bytes as a message header.  Returns 1 when they
// decode and carry "API_MSGH", 0 otherwise.  A decoded header must encode
// back to exactly the bytes it came from (no field has slack); a difference
// aborts, which the fuzzer reports as a crash.
inline int fuzz_DecodeMsgHdr(const uint8_t *data, size_t size)
{
    api_msghdr_t h;
    memset(&h, 0, sizeof h);
    kyl_xdr_memsource src(data, size);
    kyl_xdr_t x;
    kyl_xdr_create_decode(&x, &src);
    if (!kylgw_xdr_api_msghdr_t(&x, &h))
        return 0;
    kyl_xdr_outbuf out;
    kyl_xdr_t e;
    kyl_xdr_create_encode(&e, &out);
    bool same = kylgw_xdr_api_msghdr_t(&e, &h) && out.len == KYLGW_MSGHDR_SIZE && memcmp(out.data, data, out.len) == 0;
    kyl_xdr_outbuf_free(&out);
    if (!same)
        abort();
    return kylgw_MsgHdrSane(&h) ? 1 : 0;
}

// Decodes bytes with one body codec into a fresh zeroed record of size
// bytes, encodes what decoded (an encoder must cope with any decoded
// value), and always releases the record with KYL_XDR_FREE.  Returns 1
// when the decode succeeded.
inline int fuzz_DecodeBody(kyl_xdrproc_t proc, size_t recordSize, const uint8_t *data, size_t size)
{
    if (proc == nullptr || recordSize == 0)
        return 0;
    void *rec = calloc(1, recordSize);
    if (rec == nullptr)
        return 0;
    kyl_xdr_memsource src(data, size);
    kyl_xdr_t x;
    kyl_xdr_create_decode(&x, &src);
    int ok = proc(&x, rec) ? 1 : 0;
    if (ok) {
        kyl_xdr_outbuf out;
        kyl_xdr_t e;
        kyl_xdr_create_encode(&e, &out);
        (void)proc(&e, rec);
        kyl_xdr_outbuf_free(&out);
    }
    kyl_xdr_free(proc, rec);
    free(rec);
    return ok;
}

// Decodes bytes as the request body and as the reply body of one catalogue
// row (kylgwd decodes requests, the client replies).  Returns how many of
// the two decoded.
inline int fuzz_DecodeRowBodies(const kylgw_msgtype_t *row, const uint8_t *data, size_t size)
{
    return fuzz_DecodeBody(row->request, row->requestSize, data, size) +
           fuzz_DecodeBody(row->reply, row->replySize, data, size);
}

// The catalogue's rows in kylgw_ForEachMsgType order (at most 1024).
struct fuzz_rowlist_t {
    const kylgw_msgtype_t *rows[1024];
    size_t count;
};

inline void fuzz_CollectRow(const kylgw_msgtype_t *row, void *arg)
{
    auto *list = static_cast<fuzz_rowlist_t *>(arg);
    if (list->count < sizeof list->rows / sizeof list->rows[0])
        list->rows[list->count++] = row;
}

// The first byte selects a catalogue row (modulo the number of rows); the
// rest is decoded as that row's request and reply bodies.  Returns what
// fuzz_DecodeRowBodies returns, 0 for an empty input.
inline int fuzz_DecodeSelectedBodies(const uint8_t *data, size_t size)
{
    static fuzz_rowlist_t list; // trivially destructible; filled once per process
    if (list.count == 0)
        kylgw_ForEachMsgType(fuzz_CollectRow, &list);
    if (size == 0 || list.count == 0)
        return 0;
    return fuzz_DecodeRowBodies(list.rows[data[0] % list.count], data + 1, size - 1);
}

#endif
