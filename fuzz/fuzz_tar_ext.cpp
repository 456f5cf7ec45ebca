// libFuzzer target: any bytes as a run of 512-byte archive blocks fed to the
// extension-record reader (long names, pax headers), as -X and extract feed
// it.  Every member header it gives back must carry a sound checksum and a
// name and directory part an index entry holds; a refusal must say why.
// The corpus replay test includes this file with VELK_FUZZ_NO_ENTRY defined.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "velk_IndexFormat.h"
#include "velk_TarExtHeader.h"
#include "velk_TarHeader.h"

// Returns 1 when at least one member header was given back, 0 otherwise;
// aborts when an invariant breaks.  A short last block is padded with zeros.
inline int fuzz_TarExtOne(const uint8_t *data, size_t len)
{
    velk_tar_ext_reader_t r{};
    int members = 0;
    for (size_t off = 0; off < len; off += VELK_BLOCKSIZE) {
        unsigned char block[VELK_BLOCKSIZE] = {};
        memcpy(block, data + off, len - off < VELK_BLOCKSIZE ? len - off : VELK_BLOCKSIZE);
        unsigned char out[VELK_BLOCKSIZE];
        int rc = velk_TarExtFeed(&r, block, out);
        if (r.blocks > VELK_TAREXT_MAX_BLOCKS + 1)
            abort();
        if ((rc == VELK_TAREXT_MALFORMED || rc == VELK_TAREXT_UNREPRESENTABLE) && r.why == nullptr)
            abort();
        if (rc != 0)
            continue;
        uint32_t stored = 0;
        (void)OctalToUint32_t(&stored, USTAR_checksum_size, reinterpret_cast<const char *>(out) + USTAR_checksum_offset,
                              "");
        if (stored != velk_TarHeaderChecksum(out, false) && stored != velk_TarHeaderChecksum(out, true))
            abort();
        posix_header_t h;
        memcpy(&h, out, sizeof h);
        if (velk_GetMemberFilesize(&h) > VELK_MAX_MEMBER_SIZE)
            abort();
        ++members;
    }
    velk_TarExtFree(&r);
    return members > 0 ? 1 : 0;
}

#ifndef VELK_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_TarExtOne(data, size);
    return 0;
}
#endif
