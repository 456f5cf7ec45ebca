// libFuzzer target: the fixed layouts a data mover exchanges with the client
// (initiator, address and completion messages, data block headers) and the
// SecurityTicket helpers.  The first byte picks the layout; the bytes after
// it, zero-padded to the layout's size, are unpacked.  A layout that
// unpacks must pack back to the very bytes it came from (the address
// message, whose IPv4 form leaves bytes unused, must at least pack to a
// fixed point); a difference aborts.  The corpus replay test includes this
// file with VELK_FUZZ_NO_ENTRY defined.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "kylgw_mvrprot.h"

// Unpacks in as layout kind (0..3) and checks the round trip; returns 1
// when it unpacked.
inline int fuzz_MvrprotLayout(unsigned kind, const unsigned char *in)
{
    unsigned char out[MVRPROT_INITMSG_SIZE] = {}, again[MVRPROT_INITMSG_SIZE] = {};
    size_t size = 0;
    int rc = -1;
    if (kind == 0) {
        initiator_msg_t m;
        if ((rc = mvrprot_unpack_initmsg(in, &m)) == 0)
            mvrprot_pack_initmsg(&m, out);
        size = MVRPROT_INITMSG_SIZE;
    } else if (kind == 1) {
        completion_msg_t m;
        if ((rc = mvrprot_unpack_compmsg(in, &m)) == 0)
            mvrprot_pack_compmsg(&m, out);
        size = MVRPROT_COMPMSG_SIZE;
    } else if (kind == 2) {
        pdata_hdr_t h;
        if ((rc = pdata_unpack_hdr(in, &h)) == 0)
            pdata_pack_hdr(&h, out);
        size = PDATA_HDR_SIZE;
    } else {
        initiator_ipaddr_t m, back;
        if ((rc = mvrprot_unpack_ipaddr(in, &m)) != 0)
            return 0;
        if (mvrprot_pack_ipaddr(&m, out) != 0 || mvrprot_unpack_ipaddr(out, &back) != 0 ||
            mvrprot_pack_ipaddr(&back, again) != 0 || memcmp(out, again, MVRPROT_IPADDR_SIZE) != 0)
            abort();
        return 1;
    }
    if (rc != 0)
        return 0;
    if (memcmp(out, in, size) != 0)
        abort();
    return 1;
}

// The transfer secret input holds purpose then id, big-endian; the ticket
// of a secret is its first 8 bytes read big-endian.
inline void fuzz_MvrprotSecret(const unsigned char *in)
{
    unsigned char input[TRANSFER_SECRET_INPUT_SIZE];
    transfer_secret_input(quor_decode_32(in, 0), quor_decode_64(in, 4), input);
    if (memcmp(input, in, sizeof input) != 0)
        abort();
    uint64_t want = 0;
    for (size_t i = 0; i < 8; i++)
        want = want << 8 | in[i];
    if (transfer_secret_ticket(in) != want)
        abort();
}

// Returns 1 when the selected layout unpacked, 0 otherwise.
inline int fuzz_MvrprotOne(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    unsigned char in[MVRPROT_INITMSG_SIZE] = {}; // the largest layout
    memcpy(in, data + 1, size - 1 < sizeof in ? size - 1 : sizeof in);
    fuzz_MvrprotSecret(in);
    return fuzz_MvrprotLayout(data[0] % 4u, in);
}

#ifndef VELK_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_MvrprotOne(data, size);
    return 0;
}
#endif
