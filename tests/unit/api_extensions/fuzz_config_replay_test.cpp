// Replays the saved corpora of the matcher and site configuration fuzz
// targets through the functions the targets run, so that every test build
// (and the sanitizer builds) exercises them.

#define VELK_FUZZ_NO_ENTRY 1
#include "../../../fuzz/fuzz_match.cpp"
#include "../../../fuzz/fuzz_siteconf.cpp"

#include "velk_fuzzreplay.h"

namespace {

TEST(FuzzConfigReplay, MatcherAndSiteConfiguration)
{
    velktest::replayFuzzCorpus("fuzz_match", fuzz_MatchOne);
    velktest::replayFuzzCorpus("fuzz_siteconf", fuzz_SiteConfOne);
}

} // namespace
