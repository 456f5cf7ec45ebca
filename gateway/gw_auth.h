#ifndef GW_AUTH_H
#define GW_AUTH_H

// kylgwd's side of authentication (category 512): security parameters,
// the Diffie-Hellman exchange that gives each connection its session key,
// the combo login with its challenge responses, the keytab login, the PAM
// login whose conversation a user's PAM script drives, the reconnect login,
// and the refusal and retry-later replies.  Each connection has its own
// login state (gw_auth_t); a successful login sets the connection's user.
// Served on the session thread (or a worker when a fault holds a reply
// back); every call takes the state's own mutex, then the connection's
// output mutex to reply.  Secrets (passwords, keytab contents, session
// keys, deciphered data) are wiped after use and never logged.

#include "gw_reply.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How long a login's credentials last (the login reply's expire_time).
constexpr uint32_t GW_CRED_LIFETIME_SECS = 8 * 3600;
// Attempts a combo login allows before its state is dropped.
constexpr int GW_COMBO_ATTEMPTS = 3;
// How long after its earliest time a reconnect packet stays valid.
constexpr uint64_t GW_RECONNECT_WINDOW_SECS = 600;
// Size of the random nonce in a reconnect packet.
constexpr size_t GW_RECONNECT_NONCE = 16;
// Largest keytab file compared at login.
constexpr size_t GW_KEYTAB_FILE_MAX = 64 * 1024;

// Method names used in the log and the event log.
constexpr const char *GW_METHOD_COMBO = "combo";
constexpr const char *GW_METHOD_KEYTAB = "keytab";
constexpr const char *GW_METHOD_PAM = "pam";
constexpr const char *GW_METHOD_RECONNECT = "reconnect";

// New login state for a connection, or null when memory runs out.
gw_auth_t *gw_AuthNew();
// Wipes the keys and frees the state.  Null is allowed.  Call once no
// thread serves the connection any more.
void gw_AuthFree(gw_auth_t *a);

// True for the categories a session may use before it authenticated
// (connection, authentication).
bool gw_AuthCategoryOpen(uint16_t category);

// Serves an authentication request and sends its reply (and, for PAM, the
// conversation request).  Returns what the send returned.
int gw_AuthServe(gw_conn_t *c, const gw_request_t *req);

// Hands a task message (512/33, the client's answer to a conversation
// request) to the PAM login waiting for it.  Returns true when a login took
// it (and has replied), false when none waits for it.
bool gw_AuthTaskMessage(gw_conn_t *c, const gw_request_t *req);

// The transfer secret of purpose and id (kylgw_mvrprot.h) under the session
// key of connection c, for the movers' SecurityTicket and the proof on a
// local-file data connection.  0 with secret filled, -ENOKEY when the
// connection has no session key (then nothing is sent that a client could
// trust), -EIO.  Any thread while the session lives.
int gw_AuthTransferSecret(const gw_conn_t *c, uint32_t purpose, uint64_t id, unsigned char *secret);

// The reconnect packet: user, issue time, earliest reconnect time and a
// random nonce, signed with HMAC-SHA256 under a secret of this daemon.
// Builds it into *packet and *mac.  Returns 0, or -51000 when the signing
// key or the random bytes are unavailable.
int gw_ReconnectPacketBuild(const std::string &user, uint64_t issued, uint64_t notBefore,
                            std::vector<unsigned char> *packet, std::vector<unsigned char> *mac);
// Checks a packet and its signature at time now.  Returns 0 with *user
// set, or -51021 (bad signature), -51030 (not a packet of ours), -51035
// (before its earliest time), -51040 (expired).
int gw_ReconnectPacketCheck(const unsigned char *packet, size_t len, const unsigned char *mac, size_t maclen,
                            uint64_t now, std::string *user);

#endif
