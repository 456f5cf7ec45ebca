// Classes of service (see gw_cos.h): the built-in table, the COS section of
// the configuration with its checks, and the choices made from a table.
// Start-up loads; lookups from any thread on the read-only table.

#include "gw_cos.h"

#include <quorcfgx_stanza.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;

constexpr gw_cos_t kBuiltin[] = {
    {1, "one-wide", 1, MiB, 0, 64 * MiB, false, false},
    {2, "two-wide", 2, MiB, 64 * MiB + 1, 1024 * MiB, false, false},
    {4, "four-wide", 4, MiB, 1024 * MiB + 1, 16384 * MiB, false, false},
    {8, "eight-wide", 8, 768 * KiB, 16384 * MiB + 1, 0, false, false},
    {11, "default", 2, MiB, 0, 0, false, true},
    {65, "very-wide", 65, MiB, 0, 0, false, false},
};
constexpr gw_costable_t kBuiltinTable = {kBuiltin, sizeof kBuiltin / sizeof kBuiltin[0]};

std::string where(const char *name, const quor_cfg_stanza_t *s)
{
    return std::string(name) + ":" + std::to_string(s->LineNum) + ": ";
}

bool parseU64(const char *text, uint64_t max, uint64_t *out)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

bool parseYesNo(const char *text, bool *out)
{
    if (text != nullptr && strcmp(text, "yes") == 0)
        *out = true;
    else if (text != nullptr && strcmp(text, "no") == 0)
        *out = false;
    else
        return false;
    return true;
}

// Reads one class sub-section.  Returns 0 or -1 with *err.
int loadClass(const char *name, const quor_cfg_stanza_t *sect, gw_cos_t *c, std::string *err)
{
    uint64_t id = 0;
    if (!parseU64(sect->KeyString, UINT32_MAX, &id) || id == 0) {
        *err = where(name, sect) + "class id '" + sect->KeyString + "' is not a number above 0";
        return -1;
    }
    if (sect->type != CFG_COMPOUND_TYPE) {
        *err = where(name, sect) + "class " + sect->KeyString + " must be a section: " + sect->KeyString + " = { ... }";
        return -1;
    }
    *c = gw_cos_t{};
    c->id = static_cast<uint32_t>(id);
    c->width = 1;
    c->block = MiB;
    bool haveName = false;
    for (const quor_cfg_stanza_t *s = sect->substanzaList; s != nullptr; s = s->next) {
        const char *k = s->KeyString;
        const char *v = s->type == CFG_SIMPLE_TYPE ? s->KeyValue : nullptr;
        uint64_t n = 0;
        bool ok = v != nullptr;
        if (strcmp(k, "name") == 0) {
            ok = ok && v[0] != '\0' && strlen(v) < sizeof c->name;
            if (ok) {
                memcpy(c->name, v, strlen(v) + 1);
                haveName = true;
            }
        } else if (strcmp(k, "width") == 0) {
            ok = ok && parseU64(v, GW_COS_WIDTH_MAX, &n) && n > 0;
            c->width = static_cast<uint32_t>(n);
        } else if (strcmp(k, "block") == 0) {
            ok = ok && parseU64(v, UINT32_MAX, &n) && n > 0;
            c->block = n;
        } else if (strcmp(k, "min") == 0) {
            ok = ok && parseU64(v, UINT64_MAX, &n);
            c->minSize = n;
        } else if (strcmp(k, "max") == 0) {
            ok = ok && parseU64(v, UINT64_MAX, &n);
            c->maxSize = n;
        } else if (strcmp(k, "tape") == 0) {
            ok = ok && parseYesNo(v, &c->tape);
        } else if (strcmp(k, "default") == 0) {
            ok = ok && parseYesNo(v, &c->isDefault);
        } else {
            *err = where(name, s) + "unknown key '" + k + "' in class " + sect->KeyString;
            return -1;
        }
        if (!ok) {
            *err = where(name, s) + "bad value for '" + k + "' in class " + sect->KeyString;
            return -1;
        }
    }
    if (!haveName) {
        *err = where(name, sect) + "class " + sect->KeyString + " has no name";
        return -1;
    }
    if (c->maxSize != 0 && c->maxSize < c->minSize) {
        *err = where(name, sect) + "class " + sect->KeyString + ": max is below min";
        return -1;
    }
    return 0;
}

} // namespace

int gw_CosLoad(const char *fileName, const quor_cfg_stanza_t *section, gw_costable_t **out, std::string *err)
{
    std::vector<gw_cos_t> list;
    const gw_cos_t *def = nullptr;
    for (const quor_cfg_stanza_t *s = section->substanzaList; s != nullptr; s = s->next) {
        if (list.size() == GW_COS_MAX) {
            *err = where(fileName, s) + "more than " + std::to_string(GW_COS_MAX) + " classes";
            return -1;
        }
        gw_cos_t c;
        if (loadClass(fileName, s, &c, err) != 0)
            return -1;
        for (const gw_cos_t &o : list)
            if (o.id == c.id) {
                *err = where(fileName, s) + "class " + s->KeyString + " given twice";
                return -1;
            }
        if (c.isDefault && def != nullptr) {
            *err = where(fileName, s) + "a second default class (" + s->KeyString + ")";
            return -1;
        }
        list.push_back(c);
        if (c.isDefault)
            def = &list.back();
    }
    bool haveFallback = false;
    bool haveDefault = false;
    for (const gw_cos_t &c : list) {
        haveFallback = haveFallback || c.id == GW_COS_FALLBACK;
        haveDefault = haveDefault || c.isDefault;
    }
    if (!haveFallback) {
        *err = where(fileName, section) + "the COS section must hold class " + std::to_string(GW_COS_FALLBACK);
        return -1;
    }
    if (!haveDefault) {
        *err = where(fileName, section) + "the COS section names no default class (default = yes)";
        return -1;
    }
    gw_cos_t *items = new gw_cos_t[list.size()];
    for (size_t i = 0; i < list.size(); i++)
        items[i] = list[i];
    *out = new gw_costable_t{items, list.size()};
    return 0;
}

void gw_CosFree(gw_costable_t *t)
{
    if (t == nullptr || t == &kBuiltinTable)
        return;
    delete[] t->items;
    delete t;
}

const gw_costable_t *gw_CosBuiltin()
{
    return &kBuiltinTable;
}

const gw_cos_t *gw_CosFind(const gw_costable_t *t, uint32_t id)
{
    for (size_t i = 0; i < t->count; i++)
        if (t->items[i].id == id)
            return &t->items[i];
    return nullptr;
}

const gw_cos_t *gw_CosDefault(const gw_costable_t *t)
{
    for (size_t i = 0; i < t->count; i++)
        if (t->items[i].isDefault)
            return &t->items[i];
    return t->count > 0 ? &t->items[0] : nullptr;
}

const gw_cos_t *gw_CosForSize(const gw_costable_t *t, uint64_t size)
{
    for (size_t i = 0; i < t->count; i++) {
        const gw_cos_t &c = t->items[i];
        if (c.isDefault)
            continue;
        if (size >= c.minSize && (c.maxSize == 0 || size <= c.maxSize))
            return &c;
    }
    return gw_CosDefault(t);
}

void gw_CosToHints(const gw_cos_t *c, quor_cos_hints_t *hints)
{
    hints->COSId = c->id;
    memset(hints->COSName, 0, sizeof hints->COSName);
    memcpy(hints->COSName, c->name, strnlen(c->name, sizeof c->name - 1));
    hints->StripeWidth = c->width;
    hints->StripeLength = c->block * c->width;
    hints->OptimumAccessSize = c->block * c->width;
}
