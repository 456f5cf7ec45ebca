// Expiration rules (see quorex_expire.h).  The tables are written by
// quorex_ExpireInitTable at start-up, before any other thread runs, and
// only read afterwards; no lock is taken.

#include "quorex_expire.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

#include "nxapi_private.h"
#include "quor_api.h"
#include "quorcfgx_conf.h"

namespace {

constexpr const char *kFn = "quorex_ExpireInitTable";

// Written only by quorex_ExpireInitTable during start-up.
std::vector<expireTime_t> *quor_ExpireTimeList = nullptr;
std::vector<int> *quor_ExpirePrecedenceList = nullptr;

struct Section {
    const char *name;
    int type;
    const char *keyWord; // for "not \"<keyWord> = expireString\""
    const char *idWord;  // for "Unable to convert <idWord> string"
};

const Section kSections[] = {
    {"ExpirationByFamilyId", EXP_BY_FAMILY, "familyId", nullptr},
    {"ExpirationByCosId", EXP_BY_COS, "cosId", nullptr},
    {"ExpirationBySubsystemId", EXP_BY_SUBSYS, "subsysId", nullptr},
    {"ExpirationByUserId", EXP_BY_UID, "userId", "UID"},
    {"ExpirationByGroupId", EXP_BY_GID, "groupId", "GID"},
    {"ExpirationByAccountId", EXP_BY_ACCTID, "accountId", "Account ID"},
};

const struct {
    const char *name;
    int type;
} kKinds[] = {{"Family ID", EXP_BY_FAMILY}, {"COS ID", EXP_BY_COS},   {"Subsystem ID", EXP_BY_SUBSYS},
              {"User ID", EXP_BY_UID},      {"Group ID", EXP_BY_GID}, {"Account ID", EXP_BY_ACCTID}};

// Decimal digits only, fitting in 64 bits; -1 otherwise.
int convertUint64(const char *text, uint64_t *value)
{
    if (text == nullptr || *text == '\0')
        return -1;
    uint64_t v = 0;
    for (const char *p = text; *p != '\0'; p++) {
        if (*p < '0' || *p > '9')
            return -1;
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (v > (UINT64_MAX - digit) / 10)
            return -1;
        v = v * 10 + digit;
    }
    *value = v;
    return 0;
}

int convertName(const char *text, int32_t type, uint64_t *value)
{
    if (convertUint64(text, value) == 0)
        return 0;
    api_namespec_t nameEntry = {};
    nameEntry.Type = type;
    snprintf(nameEntry.Name, sizeof nameEntry.Name, "%s", text);
    if (quor_ConvertNamesToIds(1, &nameEntry) != 0 || nameEntry.Id == UINT32_MAX)
        return -1;
    *value = nameEntry.Id;
    return 0;
}

int convertUidString(const char *text, uint64_t *value)
{
    return convertName(text, QUOR_NAMESPEC_USER, value);
}

int convertGidString(const char *text, uint64_t *value)
{
    return convertName(text, QUOR_NAMESPEC_GROUP, value);
}

int convertAcctString(const char *text, uint64_t *value)
{
    if (convertUint64(text, value) == 0)
        return 0;
    uint32_t code = 0;
    if (quor_AcctNameToCode(text, 0, &code) != 0)
        return -1;
    *value = code;
    return 0;
}

// A section must be a compound stanza with sub-stanzas.
bool sectionUsable(const quor_cfg_stanza_t *s, const char *path)
{
    if (s->type != CFG_COMPOUND_TYPE) {
        nxapi_Print("*** %s: Warning-not a compound stanza type: %s line %d\n", kFn, path,
                    static_cast<int>(s->LineNum));
        return false;
    }
    if (s->substanzaList == nullptr) {
        nxapi_Print("*** %s: Warning-empty substanza list for %s: %s line %d\n", kFn, s->KeyString, path,
                    static_cast<int>(s->LineNum));
        return false;
    }
    return true;
}

void loadPrecedence(const quor_cfg_stanza_t *sec, const char *path, std::vector<int> *out)
{
    for (const quor_cfg_stanza_t *s = sec->substanzaList; s != nullptr; s = s->next) {
        const int line = static_cast<int>(s->LineNum);
        if (s->type != CFG_FLAG_TYPE) {
            nxapi_Print(
                "*** %s: Error- format error - not a simple flag value such as\"COS ID\" (%s line %d) -ignored\n", kFn,
                path, line);
            continue;
        }
        int type = -1;
        for (const auto &k : kKinds)
            if (strcasecmp(k.name, s->KeyString) == 0)
                type = k.type;
        if (type < 0) {
            nxapi_Print("*** %s: Error- format error - unrecognized precedence entry type [%s] (%s line %d) -ignored\n",
                        kFn, s->KeyString, path, line);
            continue;
        }
        out->push_back(type);
    }
}

// The ID of one rule's key; false (after its message) to skip the rule.
bool ruleId(const Section &sec, const quor_cfg_stanza_t *s, const char *path, uint64_t *id)
{
    const int line = static_cast<int>(s->LineNum);
    if (sec.idWord == nullptr) {
        // A key that is not wholly a number names no ID: skipping it keeps
        // a typo from becoming a rule for ID 0.
        if (convertUint64(s->KeyString, id) != 0 || *id > UINT32_MAX) {
            nxapi_Print("*** %s: Error- format error - not \"%s = expireString\" (%s line %d) -ignored\n", kFn,
                        sec.keyWord, path, line);
            return false;
        }
        return true;
    }
    int rc = sec.type == EXP_BY_UID   ? convertUidString(s->KeyString, id)
             : sec.type == EXP_BY_GID ? convertGidString(s->KeyString, id)
                                      : convertAcctString(s->KeyString, id);
    if (rc != 0) {
        nxapi_Print("*** %s: Unable to convert %s string '%s' (ignored): %s line %d\n", kFn, sec.idWord, s->KeyString,
                    path, line);
        return false;
    }
    return true;
}

void loadRules(const Section &sec, const quor_cfg_stanza_t *list, const char *path, std::vector<expireTime_t> *out)
{
    for (const quor_cfg_stanza_t *s = list; s != nullptr; s = s->next) {
        const int line = static_cast<int>(s->LineNum);
        if (s->type != CFG_SIMPLE_TYPE) {
            nxapi_Print("*** %s: Error- format error - not \"%s = expireString\" (%s line %d) -ignored\n", kFn,
                        sec.keyWord, path, line);
            continue;
        }
        uint64_t id = 0, seconds = 0;
        if (!ruleId(sec, s, path, &id))
            continue;
        int rc = quorex_ExpireParseDuration(s->KeyValue, &seconds);
        if (rc == -ENODATA) {
            nxapi_Print("*** %s: Error- format error on expiration time - no time value(s): %s (%s,line %d)\n", kFn,
                        s->KeyString, path, line);
            continue;
        }
        if (rc != 0) {
            nxapi_Print("*** %s: Error- format error on expiration time string: %s (%s,line %d)\n", kFn, s->KeyValue,
                        path, line);
            continue;
        }
        out->push_back(expireTime_t{sec.type, id, seconds});
    }
}

uint64_t attrOf(const quor_Attrs_t &a, int type)
{
    switch (type) {
    case EXP_BY_FAMILY: return a.FamilyId;
    case EXP_BY_COS: return a.COSId;
    case EXP_BY_SUBSYS: return a.SubSystemId;
    case EXP_BY_UID: return a.UID;
    case EXP_BY_GID: return a.GID;
    default: return a.Account;
    }
}

} // namespace

int quorex_ExpireParseDuration(const char *text, uint64_t *seconds)
{
    uint64_t total = 0;
    int terms = 0;
    const char *p = text != nullptr ? text : "";
    for (;;) {
        while (*p == ' ' || *p == '\t')
            p++;
        if (*p == '\0')
            break;
        uint64_t n = 0;
        const char *digits = p;
        while (*p >= '0' && *p <= '9') {
            n = n * 10 + static_cast<uint64_t>(*p - '0');
            if (n > QUOREX_EXPIRE_MAX_SECONDS)
                return -EINVAL;
            p++;
        }
        if (p == digits)
            return -EINVAL;
        uint64_t unit = 0;
        switch (*p) {
        case 'y':
        case 'Y': unit = 31536000; break;
        case 'd':
        case 'D': unit = 86400; break;
        case 'h':
        case 'H': unit = 3600; break;
        case 'm':
        case 'M': unit = 60; break;
        case 's':
        case 'S': unit = 1; break;
        default: return -EINVAL;
        }
        while (*p != '\0' && *p != ' ' && *p != '\t')
            p++; // "5days": only the first letter counts
        // Both n and unit are below 2^31, so the product fits in 64 bits.
        if (n * unit > QUOREX_EXPIRE_MAX_SECONDS || total + n * unit > QUOREX_EXPIRE_MAX_SECONDS)
            return -EINVAL;
        total += n * unit;
        terms++;
    }
    if (terms == 0)
        return -ENODATA;
    *seconds = total;
    return 0;
}

int quorex_ExpireInitTable(const char *path)
{
    delete quor_ExpireTimeList;
    delete quor_ExpirePrecedenceList;
    quor_ExpireTimeList = nullptr;
    quor_ExpirePrecedenceList = nullptr;
    const char *name = path != nullptr ? path : "";
    quor_cfg_stanza_t *tree = nullptr;
    int error = 0;
    unsigned line = 0;
    if (quorcfgx_ParseSiteFile(path, kFn, &tree, &error, &line) != 0) {
        if (error == QUOR_CFG_E_OPEN)
            nxapi_Print("*** %s: Warning- Unable to open configuration file %s\n", kFn, name);
        else if (error == QUOR_CFG_E_NOMEM)
            nxapi_Print("*** %s: Warning- Memory allocation error while parsing config file %s\n", kFn, name);
        else
            nxapi_Print("*** %s: Warning: error %d parsing ExpirationTimes config file %s\n", kFn, error, name);
        return -1;
    }
    auto rules = std::vector<expireTime_t>();
    auto order = std::vector<int>();
    int rc = 0;
    if (const quor_cfg_stanza_t *p = quorcfgx_CfgFindKey("ExpirePrecedence", tree, 1); p != nullptr) {
        if (sectionUsable(p, name))
            loadPrecedence(p, name, &order);
        else
            rc = -1;
    }
    for (const Section &sec : kSections) {
        const quor_cfg_stanza_t *s = quorcfgx_CfgFindKey(sec.name, tree, 1);
        if (rc != 0 || s == nullptr)
            continue;
        if (!sectionUsable(s, name)) {
            rc = -1;
            break;
        }
        loadRules(sec, s->substanzaList, name, &rules);
    }
    quorcfgx_CfgFree(tree);
    if (rc != 0)
        return -1; // rules never partly survive a failure
    quor_ExpireTimeList = new (std::nothrow) std::vector<expireTime_t>(std::move(rules));
    quor_ExpirePrecedenceList = new (std::nothrow) std::vector<int>(std::move(order));
    if (quor_ExpireTimeList == nullptr || quor_ExpirePrecedenceList == nullptr) {
        nxapi_Print("*** %s: malloc error for table entry %d (%s = %s) file %s,line %d\n", kFn, 0, "", "", name, 0);
        delete quor_ExpireTimeList;
        quor_ExpireTimeList = nullptr;
        return -1;
    }
    return 0;
}

int quorex_ExpireLookupTime(const quor_Attrs_t *attrs, uint64_t *timeOut)
{
    if (attrs == nullptr || quor_ExpireTimeList == nullptr)
        return -ENOENT;
    const expireTime_t *hit = nullptr;
    if (quor_ExpirePrecedenceList != nullptr && !quor_ExpirePrecedenceList->empty()) {
        for (int type : *quor_ExpirePrecedenceList) {
            for (const expireTime_t &r : *quor_ExpireTimeList)
                if (r.expireType == type && r.id == attrOf(*attrs, type)) {
                    hit = &r;
                    break;
                }
            if (hit != nullptr)
                break;
        }
    } else {
        for (const expireTime_t &r : *quor_ExpireTimeList)
            if (r.id == attrOf(*attrs, r.expireType)) {
                hit = &r;
                break;
            }
    }
    if (hit == nullptr)
        return -ENOENT;
    *timeOut = static_cast<uint64_t>(attrs->TimeCreated) + hit->expireSeconds;
    return 0;
}

int quorex_ExpireRules(const expireTime_t **rules)
{
    if (quor_ExpireTimeList == nullptr) {
        *rules = nullptr;
        return 0;
    }
    *rules = quor_ExpireTimeList->data();
    return static_cast<int>(quor_ExpireTimeList->size());
}
