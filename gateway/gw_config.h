#ifndef GW_CONFIG_H
#define GW_CONFIG_H

// kylgwd's configuration file (--config), in the stanza syntax of the site
// configuration file: the site values that the greeting and the site
// information reply report, the login limits, and the users (gw_users.h):
//
//   Site = {
//       server_runmode = 1
//       umask = 022          # numbers: decimal, 0x hexadecimal, 0 octal
//       login_timeout = 30   # seconds a connection has to log in
//       max_preauth_per_peer = 256
//       max_sessions = 1024
//   }
//   Users = {
//       alice = { ... }
//   }
//   COS = {
//       11 = { ... }         # classes of service (gw_cos.h)
//   }
//   Movers = {               # mover daemons on other hosts (gw_mvremote.h)
//       m1 = {
//           address = 10.0.0.2:1218
//           weight = 2       # stripes per round (default 1)
//       }
//   }
//
// The Site section's mover_key = PATH names the key file that a gateway and
// its mover daemons share (both configurations name one with the same
// contents).
//
// Unknown sections and keys are errors naming the file and line.  Loaded on
// the main thread during start-up; read-only afterwards, so session threads
// read it without a lock.

#include "gw_cos.h"
#include "gw_users.h"

#include <cstdint>
#include <string>
#include <vector>

// Values reported to clients in the greeting and the site information,
// and the daemon's own site policies (at the end).
struct gw_site_t {
    uint32_t server_runmode;
    uint32_t auth_crypto_card;
    uint32_t max_mbytes_per_iod; // 0: the client uses 2048
    uint32_t app_copies;
    uint32_t umask;
    uint32_t startupCOS;
    uint32_t sv_prot_major;
    uint32_t sv_prot_minor;
    uint32_t sv_major;
    uint32_t sv_minor;
    uint32_t sv_patch;
    // Bytes of gateway log lines written for one session; the rest of its
    // messages are dropped (0: none is written).
    uint32_t max_log_bytes_per_session;
    // Bytes of gateway log lines written for one user in log_interval
    // seconds over all their sessions; the rest are dropped (0: no limit).
    uint32_t max_log_bytes_per_user;
    uint32_t log_interval;
    // 1: a keytab may come through the keyless scrambler instead of under
    // the session key (yes/no in the file).
    uint32_t allow_weak_keytab;
    // Not reported to clients: how long a connection may take to log in
    // (seconds, 0: no limit), how many connections from one address may be
    // waiting to log in at once (0: no limit), and how many sessions may be
    // open at once (0 or more than GW_SESSION_SLOTS: GW_SESSION_SLOTS).
    uint32_t login_timeout;
    uint32_t max_preauth_per_peer;
    uint32_t max_sessions;
    // Data connections of local-file transfers one session keeps for reuse;
    // past it the oldest is closed (0: no limit).
    uint32_t max_lfx_pool_per_session;
};

// Defaults of max_log_bytes_per_session, max_log_bytes_per_user and
// log_interval.
constexpr uint32_t GW_MAX_LOG_BYTES_PER_SESSION = 1024 * 1024;
constexpr uint32_t GW_MAX_LOG_BYTES_PER_USER = 8 * 1024 * 1024;
constexpr uint32_t GW_LOG_INTERVAL_SECS = 60;

// One mover daemon of the Movers section.
struct gw_moverdef_t {
    std::string name;
    std::string host; // numeric address or host name
    int port = 0;
    uint32_t weight = 1; // 1..GW_MOVER_WEIGHT_MAX
};
// Largest weight of a mover daemon.
constexpr uint32_t GW_MOVER_WEIGHT_MAX = 64;
// Most mover daemons a Movers section names.
constexpr size_t GW_MOVER_DAEMONS_MAX = 64;

// A plain record: copying it shares the user list, which the
// configuration owns (gw_ConfigFree).
struct gw_config_t {
    gw_site_t site;
    gw_userlist_t *users; // null: no users, every login fails
    gw_costable_t *cos;   // null: the built-in classes (gw_CosBuiltin)
    std::string moverKey; // Site's mover_key: the shared key file ("" = none)
    // The Movers section; empty: the gateway's own movers move the data.
    std::vector<gw_moverdef_t> movers;
};

// The classes of service of cfg: its COS section, or the built-in table.
const gw_costable_t *gw_ConfigCos(const gw_config_t *cfg);

// Server version reported when the configuration names none.
constexpr uint32_t GW_SV_MAJOR = 1;
constexpr uint32_t GW_SV_MINOR = 0;
constexpr uint32_t GW_SV_PATCH = 0;
// Login limits when the configuration names none.
constexpr uint32_t GW_LOGIN_TIMEOUT_SECS = 30;
constexpr uint32_t GW_MAX_PREAUTH_PER_PEER = 256;
constexpr uint32_t GW_MAX_SESSIONS_DEFAULT = 1024;
constexpr uint32_t GW_MAX_LFX_POOL_PER_SESSION = 64;

// Fills *cfg with the built-in defaults; runMode is the --runmode value.
void gw_ConfigDefaults(gw_config_t *cfg, int runMode);

// Reads path over the values already in *cfg; a Users section replaces
// the user list (the old one is freed).  Returns 0, or -1 with a one-line
// message naming the file and line in *err (*cfg is then left as it was).
[[nodiscard]] int gw_ConfigLoad(const char *path, gw_config_t *cfg, std::string *err);

// Reads path as gw_ConfigLoad would, but goes on after a problem to find
// the others: appends one message naming the file and line per problem to
// *problems and returns their count (0: the file is valid).  A syntax error
// ends the reading, so it is the last problem reported.
[[nodiscard]] int gw_ConfigCheck(const char *path, int runMode, std::vector<std::string> *problems);

// Frees the user list and the classes of *cfg and leaves them null.
void gw_ConfigFree(gw_config_t *cfg);

// Makes the configuration known to the sessions.  Main thread, start-up,
// before the first session; cfg must stay valid until the daemon stops.
void gw_ProtoSetup(const gw_config_t *cfg);

// The configuration in use (built-in defaults until gw_ProtoSetup).
const gw_config_t *gw_ProtoConfig();

// As gw_ConfigLoad over text in memory; name stands for the file in messages.
[[nodiscard]] int gw_ConfigLoadText(const char *name, const std::string &text, gw_config_t *cfg, std::string *err);

#endif
