#ifndef KYLGW_ERRORS_H
#define KYLGW_ERRORS_H

#include <cstddef>

// Named result codes of the gateway client library and of the gateway that
// are not negated errno values, each with its meaning.  Together with the
// negated errno values (-ENOENT, -EACCES, ...) they are the gateway codes:
// client operations return 0 (or a count/descriptor) on success and a
// negative gateway code on failure, and kylgwd replies with the same codes.

// A failure the client library reports without a more precise code (a
// message that could not be encoded or written, no server set up, no free
// port); the same value as -EPERM, which callers have always seen.
constexpr int NXAPI_E_FAILED = -1;
// No open gateway connection: no session could be set up, or a send or
// receive was called for a connection that is closed (or was broken).
constexpr int NXAPI_E_NOSESSION = -50;
// A message could not be framed: garbage or unsolicited header, header
// encoding failed, or a body without a codec.
constexpr int KYLGW_E_BADMSG = -5000;
// Authentication could not start (crypto initialisation, bad method).
constexpr int KYLGW_E_AUTHINTERNAL = -5006;
// Authentication failed (also the result when no method succeeded); as an
// answer to a challenge response, the login may try again.
constexpr int KYLGW_E_AUTHFAILED = -10003;
// Further answers to a challenge response.
constexpr int KYLGW_E_CHALLENGE_CRED = -11000; // the credentials were refused: try again
constexpr int KYLGW_E_NEXT_TOKEN = -42009;     // give the next token code (one more attempt)
constexpr int KYLGW_E_CHALLENGE_BAD = -42010;  // the response was refused: try again
constexpr int KYLGW_E_CHALLENGE_BAD2 = -42011; // same, second form
// The gateway host name or service could not be resolved.
constexpr int KYLGW_E_HOSTLOOKUP = -10008;
// The server list names no server.
constexpr int KYLGW_E_NOSERVERS = -20000;

// Busy answers to an open: the call may be repeated later (as -EAGAIN).
constexpr int KYLGW_E_STAGING = -6005;   // the file is being staged to disk
constexpr int KYLGW_E_MIGRATING = -1411; // the file is being migrated

// Refusals at connect and login.
constexpr int KYLGW_E_AUTHFUNC = -41000;         // server doesn't support the authentication function
constexpr int KYLGW_E_AUTHFUNC2 = -41001;        // same, second form
constexpr int KYLGW_E_PROTOCOL_LEVEL = -42002;   // client and server protocol levels differ
constexpr int KYLGW_E_AUTHMETHOD = -42005;       // server does not support the method
constexpr int KYLGW_E_KERBEROS = -42006;         // server's kerberos authentication failed
constexpr int KYLGW_E_SHUTTING_DOWN = -43000;    // server is shutting down
constexpr int KYLGW_E_PERIODS = -43001;          // server is in periods-processing mode
constexpr int KYLGW_E_MAX_SESSIONS = -43002;     // maximum number of sessions exceeded
constexpr int KYLGW_E_BRX_MEMORY = -50001;       // gateway back end out of memory
constexpr int KYLGW_E_BRX_COMM = -50100;         // gateway <-> back end communication
constexpr int KYLGW_E_IPC_INIT = -50102;         // gateway IPC initialisation
constexpr int KYLGW_E_IPC_COMM = -50103;         // gateway IPC communication
constexpr int KYLGW_E_BRX_BUFFER = -50104;       // gateway <-> back end buffer
constexpr int KYLGW_E_QUOR_DOWN = -50200;        // storage system is down
constexpr int KYLGW_E_QUOR_MAINT = -50201;       // storage system in maintenance mode
constexpr int KYLGW_E_QUOR_MAINT_SOON = -50202;  // storage system maintenance approaching
constexpr int KYLGW_E_USER_LOCKED = -50220;      // client user is locked
constexpr int KYLGW_E_GROUP_LOCKED = -50221;     // client group is locked
constexpr int KYLGW_E_HOST_LOCKED = -50222;      // client host or cluster is locked
constexpr int KYLGW_E_DFLT_USER_LIMIT = -50500;  // default per-user session limit
constexpr int KYLGW_E_DFLT_GROUP_LIMIT = -50501; // default per-group session limit
constexpr int KYLGW_E_DFLT_HOST_LIMIT = -50502;  // default per-host session limit
constexpr int KYLGW_E_USER_LIMIT = -50510;       // per-user session limit
constexpr int KYLGW_E_GROUP_LIMIT = -50511;      // per-group session limit
constexpr int KYLGW_E_HOST_LIMIT = -50512;       // per-host session limit
constexpr int KYLGW_E_BRX_HMAC = -51000;         // back end HMAC generation
constexpr int KYLGW_E_BRX_ENCRYPT = -51010;      // back end encryption
constexpr int KYLGW_E_BRX_DECRYPT = -51011;      // back end decryption
constexpr int KYLGW_E_BRX_SIGLEN = -51020;       // back end signature length
constexpr int KYLGW_E_BRX_SIGNATURE = -51021;    // back end signature
constexpr int KYLGW_E_RETRY_CERT = -51030;       // retry certificate invalid
constexpr int KYLGW_E_RETRY_EARLY = -51035;      // retry before the certificate's start time
constexpr int KYLGW_E_RETRY_EXPIRED = -51040;    // retry certificate expired

// What a result code means to a person, and what that person can do about
// it, for the follow-up line under an error that shows only the number.
// meaning is never null; advice is null when nothing helps but retrying or
// asking the gateway's administrator.
struct kylgw_error_text_t {
    const char *meaning;
    const char *advice;
};

// The text of code: a named gateway code above from its table, any other
// negative value as a negated errno value and a positive one as an errno
// value (strerror's text, kept in buf of size bytes).  A value that is
// neither gets "unknown result code".  Safe from any thread.
kylgw_error_text_t kylgw_ErrorText(int code, char *buf, size_t size);

#endif
