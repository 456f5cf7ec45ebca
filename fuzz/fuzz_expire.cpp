// libFuzzer target: expiration rules.  The first line is read as a
// duration; the whole input is loaded as a rules file.  A duration read
// must be below the longest allowed; every rule loaded must have a known
// kind and an allowed duration.  A broken invariant aborts.  Rules naming
// users, groups or accounts by name would ask the gateway, so such inputs
// are only read as durations.  The corpus replay test includes this file
// with VELK_FUZZ_NO_ENTRY defined.

#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_memfile.h"
#include "quorcfgx_conf.h"
#include "quorcfgx_stanza.h"
#include "quorex_expire.h"

// True when every rule key of the sections keyed by name is a number
// (at most 19 digits), so that loading converts no name.  Inputs with
// lines that the rules file reader skips as too long are left out, since
// the text parsed here would then differ from the rules loaded.
inline bool fuzz_ExpireNumericIds(const uint8_t *data, size_t size)
{
    size_t run = 0;
    for (size_t i = 0; i < size; i++)
        if ((run = data[i] == '\n' ? 0 : run + 1) > QUORCFGX_SITE_LINE_MAX)
            return false;
    quor_cfg_stanza_t *tree = nullptr;
    int error = 0;
    unsigned line = 0;
    if (quorcfgx_CfgParseText(reinterpret_cast<const char *>(data), size, &tree, &error, &line) != 0)
        return false;
    bool numeric = true;
    for (const char *name : {"ExpirationByUserId", "ExpirationByGroupId", "ExpirationByAccountId"}) {
        const quor_cfg_stanza_t *sec = quorcfgx_CfgFindKey(name, tree, 1);
        for (const quor_cfg_stanza_t *s = sec != nullptr ? sec->substanzaList : nullptr; s != nullptr; s = s->next) {
            size_t n = strlen(s->KeyString);
            numeric = numeric && n > 0 && n <= 19 && strspn(s->KeyString, "0123456789") == n;
        }
    }
    quorcfgx_CfgFree(tree);
    return numeric;
}

// Returns 1 when the input loads as a rules file, 0 otherwise.
inline int fuzz_ExpireOne(const uint8_t *data, size_t size)
{
    std::string first(reinterpret_cast<const char *>(data), size);
    first = first.substr(0, first.find_first_of(std::string("\n\0", 2)));
    uint64_t seconds = 0;
    if (quorex_ExpireParseDuration(first.c_str(), &seconds) == 0 && seconds > QUOREX_EXPIRE_MAX_SECONDS)
        abort();
    if (!fuzz_ExpireNumericIds(data, size))
        return 0;
    fuzz_memfile_t file(data, size);
    if (quorex_ExpireInitTable(file.path) != 0)
        return 0;
    const expireTime_t *rules = nullptr;
    int n = quorex_ExpireRules(&rules);
    for (int i = 0; i < n; i++)
        if (rules[i].expireType < EXP_BY_FAMILY || rules[i].expireType > EXP_BY_ACCTID ||
            rules[i].expireSeconds > QUOREX_EXPIRE_MAX_SECONDS)
            abort();
    return 1;
}

#ifndef VELK_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_ExpireOne(data, size);
    return 0;
}
#endif
