// libFuzzer target: the inbound message header decoder.

#include "fuzz_decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_DecodeMsgHdr(data, size);
    return 0;
}
