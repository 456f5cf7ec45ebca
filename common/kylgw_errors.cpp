// Meanings of the gateway result codes for people: one table from each
// named code to what it means and what to do, and strerror's text for the
// negated errno values the gateway and the client library also return.
// The table is constant; kylgw_ErrorText is safe from any thread.

#include "kylgw_errors.h"

#include <cstring>

namespace {

struct CodeText {
    int code;
    const char *meaning;
    const char *advice;
};

constexpr const char *kRetryLater = "try again later";
constexpr const char *kAskAdmin = "ask the gateway's administrator";

constexpr CodeText kCodeTexts[] = {
    {NXAPI_E_NOSESSION, "no gateway session could be set up",
     "check that kylgwd is running and that QUOR_SERVER_HOST names it"},
    {KYLGW_E_BADMSG, "the gateway's reply could not be understood",
     "check that QUOR_SERVER_HOST names a kylgwd gateway"},
    {KYLGW_E_AUTHINTERNAL, "the login could not start on this host", "check QUOR_AUTH_METHOD"},
    {KYLGW_E_AUTHFAILED, "the gateway refused the login",
     "check the user name (QUOR_PRINCIPAL) and the password, or the keytab file (QUOR_KEYTAB_PATH)"},
    {KYLGW_E_CHALLENGE_CRED, "the gateway refused the credentials", "check the user name and the password"},
    {KYLGW_E_NEXT_TOKEN, "the gateway asks for the next token code", "give the next code of the token"},
    {KYLGW_E_CHALLENGE_BAD, "the gateway refused the response", "check the password or token code"},
    {KYLGW_E_CHALLENGE_BAD2, "the gateway refused the response", "check the password or token code"},
    {KYLGW_E_HOSTLOOKUP, "the gateway's host name could not be resolved", "check QUOR_SERVER_HOST"},
    {KYLGW_E_NOSERVERS, "no gateway server is configured", "check the site configuration (QUOR_CFG_FILE_PATH)"},
    {KYLGW_E_STAGING, "the file is being staged to disk", kRetryLater},
    {KYLGW_E_MIGRATING, "the file is being migrated", kRetryLater},
    {KYLGW_E_AUTHFUNC, "the gateway does not support this login function", "check QUOR_AUTH_METHOD"},
    {KYLGW_E_AUTHFUNC2, "the gateway does not support this login function", "check QUOR_AUTH_METHOD"},
    {KYLGW_E_PROTOCOL_LEVEL, "client and gateway speak different protocol levels",
     "install matching versions of velk and kylgwd"},
    {KYLGW_E_AUTHMETHOD, "the gateway does not support this login method", "check QUOR_AUTH_METHOD"},
    {KYLGW_E_KERBEROS, "the gateway's kerberos login failed", kAskAdmin},
    {KYLGW_E_SHUTTING_DOWN, "the gateway is shutting down", kRetryLater},
    {KYLGW_E_PERIODS, "the gateway is in periods processing", kRetryLater},
    {KYLGW_E_MAX_SESSIONS, "the gateway has reached its maximum number of sessions", kRetryLater},
    {KYLGW_E_BRX_MEMORY, "the gateway's back end ran out of memory", kAskAdmin},
    {KYLGW_E_BRX_COMM, "the gateway could not talk to its back end", kAskAdmin},
    {KYLGW_E_IPC_INIT, "the gateway could not set up its IPC", kAskAdmin},
    {KYLGW_E_IPC_COMM, "the gateway's IPC failed", kAskAdmin},
    {KYLGW_E_BRX_BUFFER, "the gateway's back-end buffer failed", kAskAdmin},
    {KYLGW_E_QUOR_DOWN, "the storage system is down", kRetryLater},
    {KYLGW_E_QUOR_MAINT, "the storage system is in maintenance", kRetryLater},
    {KYLGW_E_QUOR_MAINT_SOON, "the storage system's maintenance is near", kRetryLater},
    {KYLGW_E_USER_LOCKED, "your user is locked at the gateway", kAskAdmin},
    {KYLGW_E_GROUP_LOCKED, "your group is locked at the gateway", kAskAdmin},
    {KYLGW_E_HOST_LOCKED, "this host is locked at the gateway", kAskAdmin},
    {KYLGW_E_DFLT_USER_LIMIT, "too many sessions for your user", "end another session or try again later"},
    {KYLGW_E_DFLT_GROUP_LIMIT, "too many sessions for your group", kRetryLater},
    {KYLGW_E_DFLT_HOST_LIMIT, "too many sessions from this host", kRetryLater},
    {KYLGW_E_USER_LIMIT, "too many sessions for your user", "end another session or try again later"},
    {KYLGW_E_GROUP_LIMIT, "too many sessions for your group", kRetryLater},
    {KYLGW_E_HOST_LIMIT, "too many sessions from this host", kRetryLater},
    {KYLGW_E_BRX_HMAC, "the gateway's back end failed to sign", kAskAdmin},
    {KYLGW_E_BRX_ENCRYPT, "the gateway's back end failed to encrypt", kAskAdmin},
    {KYLGW_E_BRX_DECRYPT, "the gateway's back end failed to decrypt", kAskAdmin},
    {KYLGW_E_BRX_SIGLEN, "the gateway's back end got a signature of the wrong length", kAskAdmin},
    {KYLGW_E_BRX_SIGNATURE, "the gateway's back end got a bad signature", kAskAdmin},
    {KYLGW_E_RETRY_CERT, "the gateway's retry certificate is invalid", kRetryLater},
    {KYLGW_E_RETRY_EARLY, "the retry came before the gateway allowed it", kRetryLater},
    {KYLGW_E_RETRY_EXPIRED, "the gateway's retry certificate expired", kRetryLater},
};

// errno values stay below this; anything further out is not one.
constexpr int kErrnoLimit = 4096;

} // namespace

kylgw_error_text_t kylgw_ErrorText(int code, char *buf, size_t size)
{
    for (const CodeText &t : kCodeTexts)
        if (t.code == code)
            return {t.meaning, t.advice};
    if (code == 0 || code <= -kErrnoLimit || code >= kErrnoLimit || buf == nullptr || size == 0)
        return {"unknown result code", nullptr};
    const int err = code < 0 ? -code : code;
    // The GNU strerror_r may return a static text instead of filling buf.
    const char *text = strerror_r(err, buf, size);
    return {text != nullptr ? text : "unknown result code", nullptr};
}
