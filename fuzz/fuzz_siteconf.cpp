// libFuzzer target: the site configuration stanza parser over text in
// memory, the "Network Options" section built from what it parsed, and the
// port range reader on the first line.  A parsed tree must keep the
// parser's own caps (nesting, entry count), have trimmed non-empty keys,
// values exactly on simple stanzas and sub-stanza counts that match their
// lists; a port range read must lie inside 1024..65535 in order.  A broken
// invariant aborts.  Host names are never looked up: the section is built
// only when every address in it is numeric.  The corpus replay test
// includes this file with VELK_FUZZ_NO_ENTRY defined.

#include <arpa/inet.h>
#include <strings.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "quorcfgx_netopt.h"
#include "quorcfgx_stanza.h"

// Keys and values are trimmed of blanks and tabs.
inline bool fuzz_CfgTrimmed(const char *s)
{
    size_t n = strlen(s);
    return n > 0 && s[0] != ' ' && s[0] != '\t' && s[n - 1] != ' ' && s[n - 1] != '\t';
}

// Checks one level of a parsed tree and counts its stanzas into *entries.
inline void fuzz_CfgCheckTree(const quor_cfg_stanza_t *list, int depth, size_t *entries)
{
    if (list != nullptr && depth > QUOR_CFG_MAX_OPEN) // stanzas inside more compounds than may be open
        abort();
    for (const quor_cfg_stanza_t *s = list; s != nullptr; s = s->next) {
        ++*entries;
        if (s->KeyString == nullptr || !fuzz_CfgTrimmed(s->KeyString) || s->LineNum < 1)
            abort();
        if ((s->type == CFG_SIMPLE_TYPE) != (s->KeyValue != nullptr))
            abort();
        size_t subs = 0;
        for (const quor_cfg_stanza_t *c = s->substanzaList; c != nullptr; c = c->next)
            subs++;
        if (subs != s->substanzaCount || (s->type != CFG_COMPOUND_TYPE && subs != 0))
            abort();
        fuzz_CfgCheckTree(s->substanzaList, depth + 1, entries);
    }
}

inline bool fuzz_NumericAddress(const char *text)
{
    unsigned char buf[16];
    return text != nullptr && (inet_pton(AF_INET, text, buf) == 1 || inet_pton(AF_INET6, text, buf) == 1);
}

// True when building the section would hand only numeric addresses to the
// address reader (so that no name service is asked).
inline bool fuzz_NetoptNumericOnly(const quor_cfg_stanza_t *section)
{
    for (const quor_cfg_stanza_t *g = section->substanzaList; g != nullptr; g = g->next) {
        for (const quor_cfg_stanza_t *h = g->type == CFG_COMPOUND_TYPE ? g->substanzaList : nullptr; h != nullptr;
             h = h->next) {
            if (h->type == CFG_SIMPLE_TYPE && !fuzz_NumericAddress(h->KeyValue))
                return false;
            if (h->type != CFG_COMPOUND_TYPE)
                continue;
            if (strcasecmp(h->KeyString, "Default") != 0 && !fuzz_NumericAddress(h->KeyString))
                return false;
            for (const quor_cfg_stanza_t *o = h->substanzaList; o != nullptr; o = o->next)
                if (strcasecmp(o->KeyString, "NetMask") == 0 && o->type == CFG_SIMPLE_TYPE &&
                    !fuzz_NumericAddress(o->KeyValue))
                    return false;
        }
    }
    return true;
}

inline void fuzz_PortRange(const uint8_t *data, size_t size)
{
    std::string first(reinterpret_cast<const char *>(data), size);
    first = first.substr(0, first.find_first_of(std::string("\n\0", 2)));
    int low = -1, high = -1;
    if (quorcfgx_ParsePortRange(first.c_str(), &low, &high) == 0 &&
        (low < QUORCFGX_PORT_MIN || high > QUORCFGX_PORT_MAX || low > high))
        abort();
}

// Returns 1 when the text parses, 0 otherwise.
inline int fuzz_SiteConfOne(const uint8_t *data, size_t size)
{
    fuzz_PortRange(data, size);
    quor_cfg_stanza_t *list = nullptr;
    int error = 0;
    unsigned line = 0;
    int rc = quorcfgx_CfgParseText(reinterpret_cast<const char *>(data), size, &list, &error, &line);
    if (rc != 0) {
        if (rc != error || rc > QUOR_CFG_E_OPEN || rc < QUOR_CFG_E_NOKEY || list != nullptr)
            abort();
        return 0;
    }
    size_t entries = 0;
    fuzz_CfgCheckTree(list, 0, &entries);
    if (entries > QUOR_CFG_MAX_ENTRIES)
        abort();
    if (list != nullptr && quorcfgx_CfgFindKey(list->KeyString, list, 0) != list)
        abort();
    const quor_cfg_stanza_t *section = quorcfgx_CfgFindKey("Network Options", list, 1);
    if (section != nullptr && fuzz_NetoptNumericOnly(section)) {
        netopt_entry_t *table = nullptr;
        int n = quorcfgx_NetoptBuildTable(section, QUORCFGX_DEFAULT_WRITE_SIZE, &table);
        if ((n > 0) != (table != nullptr))
            abort();
        free(table);
    }
    quorcfgx_CfgFree(list);
    return 1;
}

#ifndef VELK_FUZZ_NO_ENTRY
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_SiteConfOne(data, size);
    return 0;
}
#endif
