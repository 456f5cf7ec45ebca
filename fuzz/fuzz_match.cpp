// libFuzzer target: the wildcard and brace matcher.  The input is a name,
// a newline and a pattern.  Both matchers must answer one of their results,
// and the member matcher must descend exactly when it says it did; a
// pattern without special characters must match exactly its own text; the
// brace expansion of the pattern's first "{" must call back as many times
// as it reports, never with a combined pattern over its limit.  A broken
// invariant aborts; brace lists past the try budget show up as timeouts.
// The corpus replay test includes this file with VELK_FUZZ_NO_ENTRY
// defined.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quorcfgx_match.h"

inline bool fuzz_MatchLiteral(const std::string &s)
{
    return s.find_first_of("*?[{\\/") == std::string::npos;
}

inline void fuzz_MatchCountDescent(void *ctx, const char *)
{
    ++*static_cast<int *>(ctx);
}

struct fuzz_expansion_t {
    int calls;
    size_t maxLen;
};

inline int fuzz_MatchAlternative(void *ctx, const char *combined)
{
    auto *e = static_cast<fuzz_expansion_t *>(ctx);
    if (strlen(combined) > e->maxLen)
        abort();
    e->calls++;
    return 0;
}

// Returns what the pattern matcher answers for the name.
inline int fuzz_MatchOne(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    text = text.substr(0, text.find('\0'));
    size_t nl = text.find('\n');
    std::string name = text.substr(0, nl), pattern = nl == std::string::npos ? "" : text.substr(nl + 1);
    int errors = 0;
    int r = quorcfgx_PatternMatch(name.c_str(), pattern.c_str(), &errors);
    if ((r != 0 && r != 1) || errors < 0 || (errors > 0 && r != 0))
        abort();
    int descents = 0;
    int m = quorcfgx_MemberMatch(name.c_str(), pattern.c_str(), fuzz_MatchCountDescent, &descents);
    if (m < QUORCFGX_MATCH_NONE || m > QUORCFGX_MATCH_DESCENDED || descents != (m == QUORCFGX_MATCH_DESCENDED))
        abort();
    if (fuzz_MatchLiteral(pattern)) {
        bool same = name == pattern;
        bool dots = name == "." || name == "..";
        if (r != same || (!dots && (m == QUORCFGX_MATCH_YES) != same))
            abort();
    }
    if (fuzz_MatchLiteral(name) && quorcfgx_PatternMatch(name.c_str(), name.c_str(), nullptr) != 1)
        abort();
    size_t open = pattern.find('{');
    if (open != std::string::npos) {
        fuzz_expansion_t e = {0, QUORCFGX_BRACE_PATTERN_MAX};
        int skipped = 0;
        int n = quorcfgx_BraceAlternatives(pattern.c_str(), open, e.maxLen, fuzz_MatchAlternative, &e, &skipped);
        if ((n >= 0 && n != e.calls) || (n < 0 && (e.calls != 0 || n < QUORCFGX_E_NOMEM)) || skipped < 0)
            abort();
    }
    return r;
}

#ifndef VELK_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_MatchOne(data, size);
    return 0;
}
#endif
