#ifndef QUOREX_EXPIRE_H
#define QUOREX_EXPIRE_H

// Expiration rules for files created in the storage system: a rules file
// in the site stanza syntax maps family, class-of-service, subsystem,
// user, group and account IDs to durations; the first rule that fits a
// file gives its expiration as its creation time plus the duration.  The
// rules are loaded once at start, before other threads use them, and are
// read-only afterwards.
//
// Results: 0, or a negative value as each contract says.

#include <cstdint>

#include "kylgw_xdr_fs.h"

enum EXPIRE_TYPE {
    EXP_BY_FAMILY = 0,
    EXP_BY_COS = 1,
    EXP_BY_SUBSYS = 2,
    EXP_BY_UID = 3,
    EXP_BY_GID = 4,
    EXP_BY_ACCTID = 5,
};

struct expireTime_t {
    int expireType; // EXPIRE_TYPE
    uint64_t id;    // the family, class, subsystem, user, group or account ID
    uint64_t expireSeconds;
};

// Longest duration a rule may give (a term or the sum): below 2^31 s.
constexpr uint64_t QUOREX_EXPIRE_MAX_SECONDS = 0x7fffffffu;

// Reads a duration: blank- or tab-separated terms, each decimal digits
// followed at once by a unit letter (y 365 days, d, h, m, s; any case; only
// the first letter counts).  0 with *seconds set; -ENODATA for no term;
// -EINVAL for a term without a known unit or a term or sum of 2^31 seconds
// or more.
int quorex_ExpireParseDuration(const char *text, uint64_t *seconds);

// Loads the rules file at path (replacing any rules loaded before).  0, or
// -1 after its messages to the library's message sink (standard error by
// default; no rule is kept then).  Names of users, groups and accounts are
// converted through the gateway session.
int quorex_ExpireInitTable(const char *path);

// The expiration time of a file with the given attributes: 0 with *timeOut
// = TimeCreated + the first fitting rule's duration, or -ENOENT when no
// rule fits.
int quorex_ExpireLookupTime(const quor_Attrs_t *attrs, uint64_t *timeOut);

// The loaded rules, in load order (for tests and the state dump).
int quorex_ExpireRules(const expireTime_t **rules);

#endif
