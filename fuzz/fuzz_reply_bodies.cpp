// libFuzzer target: every request and reply body decoder of the message
// catalogue.  The first input byte selects the row, the rest is the body.

#include "fuzz_decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_DecodeSelectedBodies(data, size);
    return 0;
}
