#ifndef GW_USERS_H
#define GW_USERS_H

// The users kylgwd knows, from the "Users" section of its configuration
// file (stanza syntax), one sub-section per user:
//
//   Users = {
//       alice = {
//           password = $y$j9T$...
//           uid = 1000
//           gid = 1000
//           groups = 1000 27
//           home = /home/alice
//           default_account = 1
//           accounts = 1:alpha 2:beta
//           keytab = /etc/kylgwd/alice.kt
//           pam_script = /etc/kylgwd/alice.pam
//           token_code = $y$j9T$...
//           refuse = -50512,stop,Per-host limit reached
//           retry_later = 2,Come back in two seconds
//       }
//   }
//
// password and token_code are crypt(3) hashes (kylgwd --hash-password);
// a user with token_code is asked for that code after the password.
// groups are blank- or comma-separated (default: gid); home is a path in
// the storage namespace; accounts are code:name pairs.  keytab and
// pam_script are absolute paths; the keytab's contents are compared at
// each login.  refuse is CODE[,stop][,TEXT] and refuses every login;
// retry_later is SECONDS,TEXT.  A value runs to the end of its line.
// Unknown keys are errors naming the file and line.  A PAM script is a
// text file, one line per conversation message, "<style> <text>" (style 1
// and 2 prompt, 3 error text, 4 information); a prompt's line is followed by
// the line of its expected answer; rounds are separated by blank lines.
// Everything here is loaded on the main thread during start-up and is
// read-only afterwards, so session threads read it without a lock.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct quor_cfg_stanza_t;

// Caps on what a users section and a PAM script may hold.
constexpr size_t GW_USERS_MAX = 1024;       // users in one file
constexpr size_t GW_USER_NAME_MAX = 256;    // characters of a user name (the login field holds 257)
constexpr size_t GW_USER_GROUPS_MAX = 64;   // supplementary groups of one user
constexpr size_t GW_USER_ACCOUNTS_MAX = 64; // accounts of one user
constexpr size_t GW_USER_TEXT_MAX = 1024;   // refusal and retry-later texts
constexpr uint32_t GW_RETRY_LATER_MAX_SECS = 86400;
constexpr size_t GW_PAM_ROUNDS_MAX = 8; // conversation rounds of one script
constexpr size_t GW_PAM_MSGS_MAX = 32;  // messages of one round (the client takes 1..32)
constexpr size_t GW_PAM_TEXT_MAX = 510; // characters of a message text or an expected answer
constexpr size_t GW_PAM_SCRIPT_MAX_BYTES = 64 * 1024;

// PAM message styles.
constexpr uint32_t GW_PAM_PROMPT_ECHO_OFF = 1;
constexpr uint32_t GW_PAM_PROMPT_ECHO_ON = 2;
constexpr uint32_t GW_PAM_ERROR_MSG = 3;
constexpr uint32_t GW_PAM_TEXT_INFO = 4;

struct gw_account_t {
    uint32_t code;
    std::string name;
};

struct gw_pam_msg_t {
    uint32_t style;
    std::string text;
    std::string answer; // expected answer of a prompt (styles 1 and 2)
};
typedef std::vector<gw_pam_msg_t> gw_pam_round_t;

// A refusal of every login: the login reply's header code, the stop flag
// (try no further methods) and a text for the user.
struct gw_refusal_t {
    bool set = false;
    int32_t code = 0;
    bool stop = false;
    std::string text;
};

// Retry later: the client is asked to close and come back after seconds.
struct gw_retry_later_t {
    bool set = false;
    uint32_t seconds = 0;
    std::string text;
};

struct gw_user_t {
    std::string name;
    std::string passwordHash; // "" = no password login
    uint32_t uid = 0;
    uint32_t gid = 0;
    std::vector<uint32_t> groups;
    std::string home;
    uint32_t defaultAccount = 0;
    std::vector<gw_account_t> accounts;
    std::string keytabPath;          // "" = no keytab login
    std::vector<gw_pam_round_t> pam; // empty = no PAM login
    std::string tokenCodeHash;       // "" = no token-code step
    gw_refusal_t refuse;
    gw_retry_later_t retryLater;
};

struct gw_userlist_t {
    std::vector<gw_user_t> users;
};

// Builds a user list from the sub-stanzas of a "Users" section.  fileName
// names the configuration file in messages.  Returns 0 with *out set (the
// caller frees it with gw_UsersFree), or -1 with "FILE:LINE: message" in
// *err.
[[nodiscard]] int gw_UsersLoad(const char *fileName, const quor_cfg_stanza_t *section, gw_userlist_t **out,
                               std::string *err);
void gw_UsersFree(gw_userlist_t *list);

// The user called name, or null (also for a null list).
const gw_user_t *gw_UserFind(const gw_userlist_t *list, const char *name);

// Parses a PAM script.  Returns 0, or -1 with "line N: message" in *err.
[[nodiscard]] int gw_PamScriptParse(const std::string &text, std::vector<gw_pam_round_t> *out, std::string *err);

// Reads and parses the PAM script at path.  Returns 0, or -1 with a message
// in *err.
[[nodiscard]] int gw_PamScriptLoad(const char *path, std::vector<gw_pam_round_t> *out, std::string *err);

// Parses "CODE[,stop][,TEXT]" (CODE negative).  Returns 0 or -1.
[[nodiscard]] int gw_ParseRefusal(const std::string &value, gw_refusal_t *out);
// Parses "SECONDS,TEXT" (the text may be empty).  Returns 0 or -1.
[[nodiscard]] int gw_ParseRetryLater(const std::string &value, gw_retry_later_t *out);

// True when password hashes to hash under crypt(3); the hashes are compared
// in constant time.  False for an empty or unusable hash.  Any thread.
bool gw_PasswordMatches(const std::string &hash, const char *password);

// Hashes password with a fresh salt (yescrypt, or sha512-crypt when the
// library lacks it).  Returns 0 with *hash set, or -1.
[[nodiscard]] int gw_HashPassword(const char *password, std::string *hash);

// kylgwd --hash-password: reads one line from in (echo off when it is a
// terminal, with a prompt on standard error), writes its hash and a newline
// to out.  Returns the exit status: 0, or 64 for an empty password, 71 when
// hashing fails.
int gw_HashPasswordCommand(FILE *in, FILE *out);

#endif
