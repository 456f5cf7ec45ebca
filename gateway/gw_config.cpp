// kylgwd's configuration file (see gw_config.h).  The stanza parser builds
// the tree; this unit checks every key against the table of known site
// values and converts the numbers.  Main thread, start-up only; no locks.

#include "gw_config.h"

#include "gw_options.h"

#include <quorcfgx_stanza.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kSiteSection = "Site";
constexpr const char *kUsersSection = "Users";
constexpr const char *kCosSection = "COS";
constexpr const char *kMoversSection = "Movers";
constexpr const char *kMoverKeyKey = "mover_key";

// Known site keys and where each is stored; a yes/no key stores 1 or 0.
struct SiteKey {
    const char *name;
    uint32_t gw_site_t::*field;
    bool yesNo = false;
};

constexpr SiteKey kSiteKeys[] = {
    {"server_runmode", &gw_site_t::server_runmode},
    {"auth_crypto_card", &gw_site_t::auth_crypto_card},
    {"max_mbytes_per_iod", &gw_site_t::max_mbytes_per_iod},
    {"app_copies", &gw_site_t::app_copies},
    {"umask", &gw_site_t::umask},
    {"startupCOS", &gw_site_t::startupCOS},
    {"sv_prot_major", &gw_site_t::sv_prot_major},
    {"sv_prot_minor", &gw_site_t::sv_prot_minor},
    {"sv_major", &gw_site_t::sv_major},
    {"sv_minor", &gw_site_t::sv_minor},
    {"sv_patch", &gw_site_t::sv_patch},
    {"max_log_bytes_per_session", &gw_site_t::max_log_bytes_per_session},
    {"max_log_bytes_per_user", &gw_site_t::max_log_bytes_per_user},
    {"log_interval", &gw_site_t::log_interval},
    {"allow_weak_keytab", &gw_site_t::allow_weak_keytab, true},
    {"login_timeout", &gw_site_t::login_timeout},
    {"max_preauth_per_peer", &gw_site_t::max_preauth_per_peer},
    {"max_sessions", &gw_site_t::max_sessions},
    {"max_lfx_pool_per_session", &gw_site_t::max_lfx_pool_per_session},
};

// Parses an unsigned 32-bit number: decimal, 0x hexadecimal or 0 octal.
bool parseU32(const char *text, uint32_t *out)
{
    if (text == nullptr || *text < '0' || *text > '9')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v > UINT32_MAX)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

std::string where(const char *name, const quor_cfg_stanza_t *s)
{
    return std::string(name) + ":" + std::to_string(s->LineNum) + ": ";
}

// A problem found while reading: with a list to collect into (a check of
// the whole file), it is kept and the reader goes on; otherwise it ends
// the read.  Returns 0 to go on, -1 to stop.
int problem(std::vector<std::string> *all, const std::string &err)
{
    if (all == nullptr)
        return -1;
    all->push_back(err);
    return 0;
}

int loadSite(const char *name, const quor_cfg_stanza_t *sect, gw_config_t *cfg, std::string *err,
             std::vector<std::string> *all)
{
    gw_site_t *site = &cfg->site;
    for (const quor_cfg_stanza_t *s = sect->substanzaList; s != nullptr; s = s->next) {
        if (strcmp(s->KeyString, kMoverKeyKey) == 0) {
            if (s->type != CFG_SIMPLE_TYPE || s->KeyValue == nullptr || s->KeyValue[0] != '/') {
                *err = where(name, s) + "'" + kMoverKeyKey + "' needs the absolute path of the key file";
                if (problem(all, *err) != 0)
                    return -1;
                continue;
            }
            cfg->moverKey = s->KeyValue;
            continue;
        }
        const SiteKey *key = nullptr;
        for (const SiteKey &k : kSiteKeys)
            if (strcmp(k.name, s->KeyString) == 0)
                key = &k;
        if (key == nullptr) {
            *err = where(name, s) + "unknown key '" + s->KeyString + "' in section " + kSiteSection;
            if (problem(all, *err) != 0)
                return -1;
            continue;
        }
        uint32_t v = 0;
        if (key->yesNo) {
            const bool yes = s->type == CFG_SIMPLE_TYPE && strcmp(s->KeyValue, "yes") == 0;
            if (!yes && (s->type != CFG_SIMPLE_TYPE || strcmp(s->KeyValue, "no") != 0)) {
                *err = where(name, s) + "'" + s->KeyString + "' needs yes or no";
                if (problem(all, *err) != 0)
                    return -1;
                continue;
            }
            v = yes ? 1 : 0;
        } else if (s->type != CFG_SIMPLE_TYPE || !parseU32(s->KeyValue, &v)) {
            *err = where(name, s) + "'" + s->KeyString + "' needs a number (decimal, 0x hex or 0 octal)";
            if (problem(all, *err) != 0)
                return -1;
            continue;
        }
        site->*(key->field) = v;
    }
    return 0;
}

// One mover daemon: address = HOST:PORT (required), weight = N.
int loadMover(const char *name, const quor_cfg_stanza_t *m, gw_moverdef_t *out, std::string *err)
{
    out->name = m->KeyString;
    if (m->type != CFG_COMPOUND_TYPE) {
        *err = where(name, m) + "mover daemon '" + out->name + "' must be a section: NAME = { address = HOST:PORT }";
        return -1;
    }
    bool haveAddress = false;
    for (const quor_cfg_stanza_t *s = m->substanzaList; s != nullptr; s = s->next) {
        const bool isAddress = strcmp(s->KeyString, "address") == 0;
        if (!isAddress && strcmp(s->KeyString, "weight") != 0) {
            *err = where(name, s) + "unknown key '" + s->KeyString + "' in mover daemon '" + out->name + "'";
            return -1;
        }
        if (s->type != CFG_SIMPLE_TYPE) {
            *err = where(name, s) + "'" + s->KeyString + "' needs a value";
            return -1;
        }
        std::string perr;
        if (isAddress) {
            if (gw_ParseListen(s->KeyValue, &out->host, &out->port, &perr) != 0 || out->port == 0) {
                *err = where(name, s) + "mover daemon '" + out->name + "': address needs HOST:PORT with a port";
                return -1;
            }
            haveAddress = true;
        } else if (!parseU32(s->KeyValue, &out->weight) || out->weight == 0 || out->weight > GW_MOVER_WEIGHT_MAX) {
            *err = where(name, s) + "mover daemon '" + out->name + "': weight needs a number from 1 to " +
                   std::to_string(GW_MOVER_WEIGHT_MAX);
            return -1;
        }
    }
    if (!haveAddress) {
        *err = where(name, m) + "mover daemon '" + out->name + "' has no address";
        return -1;
    }
    return 0;
}

int loadMovers(const char *name, const quor_cfg_stanza_t *sect, std::vector<gw_moverdef_t> *out, std::string *err)
{
    std::vector<gw_moverdef_t> list;
    for (const quor_cfg_stanza_t *m = sect->substanzaList; m != nullptr; m = m->next) {
        gw_moverdef_t d;
        if (loadMover(name, m, &d, err) != 0)
            return -1;
        for (const gw_moverdef_t &o : list)
            if (o.name == d.name) {
                *err = where(name, m) + "mover daemon '" + d.name + "' named twice";
                return -1;
            }
        if (list.size() == GW_MOVER_DAEMONS_MAX) {
            *err = where(name, m) + "more than " + std::to_string(GW_MOVER_DAEMONS_MAX) + " mover daemons";
            return -1;
        }
        list.push_back(d);
    }
    if (list.empty()) {
        *err = where(name, sect) + "section " + kMoversSection + " names no mover daemon";
        return -1;
    }
    *out = list;
    return 0;
}

// Reads the sections of list into *cfg.  With all, every problem is kept
// there and the reader goes on to the next key or section (within Users,
// COS and Movers the first problem ends that section); *cfg is changed only
// when there was none.
int loadTree(const char *name, const quor_cfg_stanza_t *list, gw_config_t *cfg, std::string *err,
             std::vector<std::string> *all = nullptr)
{
    gw_config_t next = *cfg;
    gw_userlist_t *users = nullptr; // a Users section read here, owned until handed over
    gw_costable_t *cos = nullptr;   // a COS section read here, owned until handed over
    const size_t before = all != nullptr ? all->size() : 0;
    auto fail = [&users, &cos] {
        gw_UsersFree(users);
        gw_CosFree(cos);
        return -1;
    };
    // A problem with one section: stops the read, or is kept and the
    // reader goes on with the next section.
    auto sectionProblem = [&all, &err] { return problem(all, *err); };
    for (const quor_cfg_stanza_t *s = list; s != nullptr; s = s->next) {
        const bool isSite = strcmp(s->KeyString, kSiteSection) == 0;
        const bool isUsers = strcmp(s->KeyString, kUsersSection) == 0;
        const bool isCos = strcmp(s->KeyString, kCosSection) == 0;
        const bool isMovers = strcmp(s->KeyString, kMoversSection) == 0;
        if (!isSite && !isUsers && !isCos && !isMovers) {
            *err = where(name, s) + "unknown section '" + s->KeyString + "'";
            if (sectionProblem() != 0)
                return fail();
            continue;
        }
        if (s->type != CFG_COMPOUND_TYPE) {
            *err = where(name, s) + "'" + s->KeyString + "' must be a section: " + s->KeyString + " = { ... }";
            if (sectionProblem() != 0)
                return fail();
            continue;
        }
        if ((isUsers && users != nullptr) || (isCos && cos != nullptr) || (isMovers && !next.movers.empty())) {
            *err = where(name, s) + "a second '" + s->KeyString + "' section";
            if (sectionProblem() != 0)
                return fail();
            continue;
        }
        int rc = isSite     ? loadSite(name, s, &next, err, all)
                 : isUsers  ? gw_UsersLoad(name, s, &users, err)
                 : isMovers ? loadMovers(name, s, &next.movers, err)
                            : gw_CosLoad(name, s, &cos, err);
        if (rc != 0 && sectionProblem() != 0)
            return fail();
    }
    if (all != nullptr && all->size() > before)
        return fail();
    if (users != nullptr) {
        gw_UsersFree(next.users);
        next.users = users;
    }
    if (cos != nullptr) {
        gw_CosFree(next.cos);
        next.cos = cos;
    }
    *cfg = next;
    return 0;
}

// Turns a parser failure into a message.
std::string parseError(const char *name, int error, unsigned line)
{
    if (error == QUOR_CFG_E_OPEN)
        return std::string(name) + ": " + quorcfgx_CfgErrorText(error);
    return std::string(name) + ":" + std::to_string(line) + ": " + quorcfgx_CfgErrorText(error);
}

} // namespace

void gw_ConfigDefaults(gw_config_t *cfg, int runMode)
{
    *cfg = gw_config_t{};
    gw_site_t &s = cfg->site;
    s.server_runmode = static_cast<uint32_t>(runMode);
    s.auth_crypto_card = 0;
    s.max_mbytes_per_iod = 0;
    s.app_copies = 1;
    s.umask = 022;
    s.startupCOS = 11;
    s.sv_prot_major = 67;
    s.sv_prot_minor = 2;
    s.sv_major = GW_SV_MAJOR;
    s.sv_minor = GW_SV_MINOR;
    s.sv_patch = GW_SV_PATCH;
    s.max_log_bytes_per_session = GW_MAX_LOG_BYTES_PER_SESSION;
    s.max_log_bytes_per_user = GW_MAX_LOG_BYTES_PER_USER;
    s.log_interval = GW_LOG_INTERVAL_SECS;
    s.allow_weak_keytab = 0;
    s.login_timeout = GW_LOGIN_TIMEOUT_SECS;
    s.max_preauth_per_peer = GW_MAX_PREAUTH_PER_PEER;
    s.max_sessions = GW_MAX_SESSIONS_DEFAULT;
    s.max_lfx_pool_per_session = GW_MAX_LFX_POOL_PER_SESSION;
}

void gw_ConfigFree(gw_config_t *cfg)
{
    cfg->movers.clear();
    gw_UsersFree(cfg->users);
    cfg->users = nullptr;
    gw_CosFree(cfg->cos);
    cfg->cos = nullptr;
}

const gw_costable_t *gw_ConfigCos(const gw_config_t *cfg)
{
    return cfg->cos != nullptr ? cfg->cos : gw_CosBuiltin();
}

int gw_ConfigLoad(const char *path, gw_config_t *cfg, std::string *err)
{
    quor_cfg_stanza_t *list = nullptr;
    int error = 0;
    unsigned line = 0;
    if (quorcfgx_CfgParse(path, &list, &error, &line) != 0) {
        *err = parseError(path, error, line);
        return -1;
    }
    int rc = loadTree(path, list, cfg, err);
    quorcfgx_CfgFree(list);
    return rc;
}

int gw_ConfigLoadText(const char *name, const std::string &text, gw_config_t *cfg, std::string *err)
{
    quor_cfg_stanza_t *list = nullptr;
    int error = 0;
    unsigned line = 0;
    if (quorcfgx_CfgParseText(text.data(), text.size(), &list, &error, &line) != 0) {
        *err = parseError(name, error, line);
        return -1;
    }
    int rc = loadTree(name, list, cfg, err);
    quorcfgx_CfgFree(list);
    return rc;
}

int gw_ConfigCheck(const char *path, int runMode, std::vector<std::string> *problems)
{
    quor_cfg_stanza_t *list = nullptr;
    int error = 0;
    unsigned line = 0;
    if (quorcfgx_CfgParse(path, &list, &error, &line) != 0) {
        problems->push_back(parseError(path, error, line));
        return 1;
    }
    gw_config_t cfg;
    gw_ConfigDefaults(&cfg, runMode);
    std::string err;
    const size_t before = problems->size();
    if (loadTree(path, list, &cfg, &err, problems) == 0)
        gw_ConfigFree(&cfg);
    quorcfgx_CfgFree(list);
    return static_cast<int>(problems->size() - before);
}

// Written on the main thread during start-up only.
static const gw_config_t *gw_protoConfig = nullptr;

void gw_ProtoSetup(const gw_config_t *cfg)
{
    gw_protoConfig = cfg;
}

const gw_config_t *gw_ProtoConfig()
{
    static gw_config_t defaults = [] {
        gw_config_t d;
        gw_ConfigDefaults(&d, GW_RUNMODE_STORAGE);
        return d;
    }();
    return gw_protoConfig != nullptr ? gw_protoConfig : &defaults;
}
