// Replays the saved corpus of the expiration rules fuzz target through the
// function the target runs, so that every test build (and the sanitizer
// builds) exercises it.

#define VELK_FUZZ_NO_ENTRY 1
#include "../../../fuzz/fuzz_expire.cpp"

#include "velk_fuzzreplay.h"

namespace {

TEST(FuzzExpireReplay, ExpirationRules)
{
    velktest::replayFuzzCorpus("fuzz_expire", fuzz_ExpireOne);
    quorex_ExpireInitTable("/nonexistent/expire.conf"); // leaves no rules behind for other tests
}

} // namespace
