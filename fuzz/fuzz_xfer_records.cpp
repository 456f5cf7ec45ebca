// libFuzzer target: the local-file transfer records and the list read and
// write request and reply records.  The first byte picks a codec; the rest
// is decoded with it.  What decodes must encode, and its encoding must
// decode again to a record that encodes to the same bytes (a codec that
// reads back something other than it wrote would break that); a difference
// aborts.  The corpus replay test includes this file with VELK_FUZZ_NO_ENTRY
// defined.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kyl_xdr.h"
#include "kylgw_xdr_lfx.h"
#include "kylgw_xdr_xfer.h"

struct fuzz_codec_t {
    kyl_xdrproc_t proc;
    size_t size;
};

#define FUZZ_CODEC(T)                                                                                                  \
    {                                                                                                                  \
        KYL_XDRPROC(T, xdr_##T), sizeof(T)                                                                             \
    }
inline const fuzz_codec_t fuzz_kXferCodecs[] = {
    FUZZ_CODEC(kylgw_lfx_xfer_init_req_t),
    FUZZ_CODEC(kylgw_lfx_xfer_init_rply_t),
    FUZZ_CODEC(kylgw_lfx_xfer_reply_t),
    FUZZ_CODEC(lfx_Stat_req_t),
    FUZZ_CODEC(lfx_Unlink_req_t),
    FUZZ_CODEC(api_lfx_Mkdir_req_t),
    FUZZ_CODEC(api_lfx_Getcwd_rply_t),
    FUZZ_CODEC(lfx_Stat_rply_t),
    FUZZ_CODEC(quor_IOD_t),
    FUZZ_CODEC(quor_IOR_t),
    FUZZ_CODEC(api_quor_ReadList_req_t),
    FUZZ_CODEC(api_quor_WriteList_req_t),
    FUZZ_CODEC(api_quor_ReadX_req_t),
    FUZZ_CODEC(api_quor_WriteX_req_t),
};
#undef FUZZ_CODEC

// Decodes size bytes into a fresh record and, when that works, encodes it
// into *out (which the caller frees).  Returns 1 when both worked.
inline int fuzz_XferDecodeEncode(const fuzz_codec_t &c, const uint8_t *data, size_t size, kyl_xdr_outbuf *out)
{
    void *rec = calloc(1, c.size);
    if (rec == nullptr)
        abort();
    kyl_xdr_memsource src(data, size);
    kyl_xdr_t x;
    kyl_xdr_create_decode(&x, &src);
    int ok = c.proc(&x, rec) ? 1 : 0;
    if (ok) {
        kyl_xdr_t e;
        kyl_xdr_create_encode(&e, out);
        ok = c.proc(&e, rec) ? 1 : 0;
    }
    kyl_xdr_free(c.proc, rec);
    free(rec);
    return ok;
}

// Returns 1 when the input decoded with its codec, 0 otherwise.
inline int fuzz_XferRecordOne(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const fuzz_codec_t &c = fuzz_kXferCodecs[data[0] % (sizeof fuzz_kXferCodecs / sizeof fuzz_kXferCodecs[0])];
    kyl_xdr_outbuf first, second;
    int ok = fuzz_XferDecodeEncode(c, data + 1, size - 1, &first);
    if (ok) {
        bool same = fuzz_XferDecodeEncode(c, first.data, first.len, &second) == 1 && second.len == first.len &&
                    memcmp(first.data, second.data, first.len) == 0;
        if (!same)
            abort();
    }
    kyl_xdr_outbuf_free(&first);
    kyl_xdr_outbuf_free(&second);
    return ok;
}

#ifndef VELK_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_XferRecordOne(data, size);
    return 0;
}
#endif
