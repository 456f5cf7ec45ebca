// libFuzzer target: any 512 bytes as an archive header block.  An accepted
// header must give an index entry, and the header rebuilt from that entry
// must be accepted again with the same size (the writer and the reader
// agree on every header the reader accepts).  The corpus replay test
// includes this file with VELK_FUZZ_NO_ENTRY defined to run the same check.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "velk_IndexEntry.h"
#include "velk_IndexFormat.h"
#include "velk_TarHeader.h"

// Returns 1 when the block is an accepted header, 0 otherwise; aborts when
// an invariant breaks.  Inputs shorter than 512 bytes are padded with zeros,
// longer ones cut.
inline int fuzz_TarHeaderOne(const uint8_t *data, size_t len)
{
    unsigned char block[VELK_BLOCKSIZE];
    memset(block, 0, sizeof block);
    memcpy(block, data, len < sizeof block ? len : sizeof block);
    posix_header_t h;
    if (velk_GetTarHeader(block, &h) != 0)
        return 0;

    hif_entry_t e;
    uint32_t blocks = 0;
    uint64_t size = 0; // the member's
    if (velk_IndexFromTarHdr(7, &h, &e, &blocks, &size) != 0)
        abort(); // every accepted type flag gives an entry
    if (blocks != velk_MemberBlocks(size) || size > VELK_MAX_MEMBER_SIZE)
        abort();

    unsigned char again[VELK_BLOCKSIZE];
    velk_BuildPosixHeader(&e, again);
    posix_header_t h2;
    if (velk_GetTarHeader(again, &h2) != 0 || velk_GetMemberFilesize(&h2) != size)
        abort();
    char path[VELK_PATH_BUFSIZE];
    if (velk_FormIxEntryPathname(&e, path, sizeof path) >= sizeof path || strlen(path) >= sizeof path)
        abort();
    return 1;
}

#ifndef VELK_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_TarHeaderOne(data, size);
    return 0;
}
#endif
