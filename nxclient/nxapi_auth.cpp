// Authentication of a gateway connection: the method list, the user name
// and password sources (program, environment, netrc, terminal), the
// Diffie-Hellman session key of a connection, and the combo, keytab, PAM
// and reconnect logins.  Called by the thread that opens a connection
// (nxapi_conn.cpp), before other threads use it; the setters may be called
// from any thread.  auth_lock guards the process-wide settings and is held
// only to copy them, never across network or terminal I/O.  Passwords,
// keytab bytes, session keys and deciphered conversation data are wiped
// after use and never handed to the log.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "kylgw_xdr_auth.h"
#include "nxapi_private.h"
#include "nxapi_prompt.h"
#include "quor_api.h"
#include "quorex_crypto.h"
#include "quorex_netrc.h"

namespace {

constexpr int kDest = NXAPI_LOG_SYSLOG | NXAPI_LOG_STDERR | NXAPI_LOG_FILE;
#define AUTHLOG(level, fn, ...) nxapi_logf(level, fn, kDest, __FILE__, __LINE__, __VA_ARGS__)

// Challenge results that let the combo login try again, and the demand
// for the next token code.
constexpr int kChallengeRetryAuth = KYLGW_E_AUTHFAILED;
constexpr int kChallengeRetryCred = KYLGW_E_CHALLENGE_CRED;
constexpr int kChallengeRetryBad1 = KYLGW_E_CHALLENGE_BAD;
constexpr int kChallengeRetryBad2 = KYLGW_E_CHALLENGE_BAD2;
constexpr int kChallengeNextToken = KYLGW_E_NEXT_TOKEN;

// A combo login never makes more attempts than this, whatever the server
// answers (each next-token demand adds one).
constexpr int kComboAttemptsCap = 16;
constexpr int kComboAttemptsPrompted = 3;
constexpr size_t kPasswordField = 513; // NUL-padded password buffer that is enciphered
constexpr size_t kUserLineMax = 256;   // a user name typed at the terminal
constexpr int kPamMsgCountMax = 32;
constexpr uint32_t kPamTextMax = 4096; // one conversation text, NUL included
constexpr size_t kPamEntryHeader = 8;
constexpr int kPamMaxRetries = 3;
constexpr int kMethodListMax = 8;

constexpr const char *kPasscodeWord = "Enter PASSCODE";
constexpr const char *kPasswordWord = "Password";
constexpr const char *kWrongPassword = "\rWrong password or passcode; try again.\n";
constexpr const char *kPrincipalPrompt = "\rPrincipal: ";

kyl_mutex_t auth_lock; // the method list and index, combo user/password, keytab settings
int auth_list[kMethodListMax] KYL_GUARDED_BY(auth_lock) = {QUOR_AUTH_COMBO, QUOR_AUTH_KEYTAB, QUOR_AUTH_PAM};
int auth_count KYL_GUARDED_BY(auth_lock) = 3;
int auth_index KYL_GUARDED_BY(auth_lock) = 0;
bool auth_list_set KYL_GUARDED_BY(auth_lock) = false;
char *combo_user KYL_GUARDED_BY(auth_lock) = nullptr;
char *combo_password KYL_GUARDED_BY(auth_lock) = nullptr;
char keytab_path[PATH_MAX] KYL_GUARDED_BY(auth_lock) = {};
off_t keytab_size KYL_GUARDED_BY(auth_lock) = 0;
int keytab_version KYL_GUARDED_BY(auth_lock) = 0;

// ---- Small helpers ------------------------------------------------------------

// A malloc'd secret text, wiped and freed at scope end.
struct SecretText {
    char *p = nullptr;
    ~SecretText() { reset(); }
    void reset()
    {
        if (p != nullptr) {
            quorex_Wipe(p, strlen(p));
            free(p);
            p = nullptr;
        }
    }
};

// A malloc'd secret buffer of known size, wiped and freed at scope end.
struct SecretBuf {
    unsigned char *p = nullptr;
    size_t n = 0;
    ~SecretBuf() { reset(); }
    bool alloc(size_t size)
    {
        reset();
        p = static_cast<unsigned char *>(calloc(1, size != 0 ? size : 1));
        n = p != nullptr ? size : 0;
        return p != nullptr;
    }
    void reset()
    {
        if (p != nullptr) {
            quorex_Wipe(p, n);
            free(p);
        }
        p = nullptr;
        n = 0;
    }
};

// A decoded record released with its codec at scope end.
template <typename T>
struct Decoded {
    T rec = {};
    kyl_xdrproc_t proc;
    explicit Decoded(kyl_xdrproc_t p) : proc(p) {}
    ~Decoded() { kyl_xdr_free(proc, &rec); }
};

const kyl_xdrproc_t kSecReqCodec = KYL_XDRPROC(api_exchg_sec_params_req_t, xdr_api_exchg_sec_params_req_t);
const kyl_xdrproc_t kSecRplyCodec = KYL_XDRPROC(api_exchg_sec_params_rply_t, xdr_api_exchg_sec_params_rply_t);
const kyl_xdrproc_t kDhCodec = KYL_XDRPROC(api_get_dh_params_rply_t, xdr_api_get_dh_params_rply_t);
const kyl_xdrproc_t kPubkeyCodec = KYL_XDRPROC(api_exchg_pubkey_t, xdr_api_exchg_pubkey_t);
const kyl_xdrproc_t kComboCodec = KYL_XDRPROC(api_login_combo_t, xdr_api_login_combo_t);
const kyl_xdrproc_t kPamCodec = KYL_XDRPROC(api_login_pam_t, xdr_api_login_pam_t);
const kyl_xdrproc_t kKeytabCodec = KYL_XDRPROC(api_login_keytab_t, xdr_api_login_keytab_t);
const kyl_xdrproc_t kReconnectCodec = KYL_XDRPROC(api_login_reconnect_t, xdr_api_login_reconnect_t);
const kyl_xdrproc_t kLoginRplyCodec = KYL_XDRPROC(api_login_rply_t, xdr_api_login_rply_t);
const kyl_xdrproc_t kChallengeReqCodec = KYL_XDRPROC(api_auth_challenge_rsp_req_t, xdr_api_auth_challenge_rsp_req_t);
const kyl_xdrproc_t kChallengeRplyCodec = KYL_XDRPROC(api_auth_challenge_rsp_rply_t, xdr_api_auth_challenge_rsp_rply_t);
const kyl_xdrproc_t kConvReqCodec = KYL_XDRPROC(api_pam_conv_req_t, xdr_api_pam_conv_req_t);
const kyl_xdrproc_t kConvRplyCodec = KYL_XDRPROC(api_pam_conv_rply_t, xdr_api_pam_conv_rply_t);

char *copyUser()
{
    {
        kyl_lock_guard g(auth_lock);
        if (combo_user != nullptr)
            return strdup(combo_user);
    }
    const char *env = getenv("QUOR_PRINCIPAL");
    return env != nullptr && *env != '\0' ? strdup(env) : nullptr;
}

char *copyPassword()
{
    kyl_lock_guard g(auth_lock);
    return combo_password != nullptr ? strdup(combo_password) : nullptr;
}

bool havePassword()
{
    kyl_lock_guard g(auth_lock);
    return combo_password != nullptr;
}

// The password is forgotten after its first use.
void forgetPassword()
{
    kyl_lock_guard g(auth_lock);
    if (combo_password != nullptr) {
        quorex_Wipe(combo_password, strlen(combo_password));
        free(combo_password);
        combo_password = nullptr;
    }
}

// Copies src into a fixed NUL-padded field of size bytes.
void fillField(unsigned char *field, size_t size, const char *src)
{
    memset(field, 0, size);
    size_t n = strlen(src);
    if (n > size - 1)
        n = size - 1;
    memcpy(field, src, n);
}

uint32_t clientPid()
{
    return static_cast<uint32_t>(getpid());
}

// ---- Relogin context ------------------------------------------------------------

void clearRelogin(login_reconnect_t *rl)
{
    free(rl->user_msg_buf);
    free(rl->reconnect_packet);
    free(rl->reconnect_hmac_packet);
    *rl = login_reconnect_t();
}

unsigned char *copyBytes(const unsigned char *src, uint32_t n)
{
    if (n == 0 || src == nullptr)
        return nullptr;
    auto *p = static_cast<unsigned char *>(malloc(n));
    if (p != nullptr)
        memcpy(p, src, n);
    return p;
}

} // namespace

int nxapi_SaveLoginReconnect(quor_connection_t *conn, const api_login_rply_t *reply)
{
    if (conn == nullptr || reply == nullptr)
        return -EFAULT;
    login_reconnect_t &rl = conn->relogin_context;
    clearRelogin(&rl);
    rl.reconnect_time = reply->retry_time;
    if (reply->user_msg_len != 0 && reply->user_msg_buf != nullptr) {
        rl.user_msg_buf = static_cast<char *>(malloc(reply->user_msg_len + 1));
        if (rl.user_msg_buf == nullptr)
            return -ENOMEM;
        memcpy(rl.user_msg_buf, reply->user_msg_buf, reply->user_msg_len);
        rl.user_msg_buf[reply->user_msg_len] = '\0';
        rl.user_msg_len = reply->user_msg_len;
    }
    if (reply->retry_packet_len != 0) {
        rl.reconnect_packet = copyBytes(reply->retry_packet, reply->retry_packet_len);
        if (rl.reconnect_packet == nullptr)
            return -ENOMEM;
        rl.reconnect_packet_len = reply->retry_packet_len;
    }
    if (reply->hmac_len != 0) {
        rl.reconnect_hmac_packet = copyBytes(reply->hmac_packet, reply->hmac_len);
        if (rl.reconnect_hmac_packet == nullptr)
            return -ENOMEM;
        rl.reconnect_hmac_len = reply->hmac_len;
    }
    return 0;
}

namespace {

// ---- Session key and security parameters ---------------------------------------

// Establishes the connection's session key once; a connection that has one
// (a retry on the same connection) keeps it.  0 or negative.
int genSessionKey(quor_connection_t *conn, nxapi_tcontext_t *ctx)
{
    const char *fn = "genSessionKey";
    if (conn->session_key != nullptr && conn->sess_key_len > 0)
        return 0;
    api_msghdr_t hdr;
    int rc = nxapi_send_msg(CAT_AUTH, FN_AUTH_DH_PARAMS, nullptr, nullptr, 0, 0, conn, ctx);
    Decoded<api_get_dh_params_rply_t> params(kDhCodec);
    if (rc == 0)
        rc = nxapi_get_msg(ctx, &hdr, &params.rec, kDhCodec, conn);
    if (rc != 0)
        return rc;
    if (hdr.errorcode != 0) {
        AUTHLOG(3, fn, "%s: DH Param Exchange request returned error %d\n", fn, hdr.errorcode);
        return hdr.errorcode < 0 ? hdr.errorcode : -1;
    }
    if ((hdr.msgFlags & MSGF_BODY) == 0 || params.rec.bn_p == nullptr || params.rec.bn_g == nullptr ||
        params.rec.bn_p_len <= 0 || params.rec.bn_g_len <= 0) {
        AUTHLOG(3, fn, "%s: quorex_OpenSSLSetDHParams request returned error %d\n", fn, -EINVAL);
        return -EINVAL;
    }
    quorex_dh_t *dh = nullptr;
    rc = quorex_DHNew(params.rec.bn_p, static_cast<size_t>(params.rec.bn_p_len), params.rec.bn_g,
                      static_cast<size_t>(params.rec.bn_g_len), &dh);
    if (rc != 0) {
        AUTHLOG(3, fn, "%s: quorex_OpenSSLSetDHParams request returned error %d\n", fn, rc);
        return rc;
    }
    struct DhFree {
        quorex_dh_t *d;
        ~DhFree() { quorex_DHFree(d); }
    } dhFree{dh};

    unsigned char pub[QUOREX_MAX_DH_BYTES];
    int publen = quorex_DHPublicKey(dh, pub, sizeof pub);
    if (publen <= 0) {
        AUTHLOG(3, fn, "%s: error %lu returned from DH_generate_key=[%s]\n", fn, static_cast<unsigned long>(-publen),
                "public key");
        return publen < 0 ? publen : -1;
    }
    free(conn->public_key);
    conn->public_key = copyBytes(pub, static_cast<uint32_t>(publen));
    if (conn->public_key == nullptr)
        return -ENOMEM;
    conn->pubkey_len = publen;

    api_exchg_pubkey_t mine = {publen, pub};
    rc = nxapi_send_msg(CAT_AUTH, FN_AUTH_PUBKEY, &mine, kPubkeyCodec, 0, 0, conn, ctx);
    Decoded<api_exchg_pubkey_t> theirs(kPubkeyCodec);
    if (rc == 0)
        rc = nxapi_get_msg(ctx, &hdr, &theirs.rec, kPubkeyCodec, conn);
    if (rc != 0)
        return rc;
    if (hdr.errorcode != 0) {
        AUTHLOG(3, fn, "%s: Public Key exchange returned server error %d\n", fn, hdr.errorcode);
        return hdr.errorcode < 0 ? hdr.errorcode : -1;
    }
    if (theirs.rec.bn_pubkey == nullptr || theirs.rec.pubkey_len <= 0) {
        AUTHLOG(3, fn, "%s: error converting caller's pub key to a BIGNUM\n", fn);
        return -EINVAL;
    }
    SecretBuf secret;
    if (!secret.alloc(QUOREX_MAX_DH_BYTES))
        return -ENOMEM;
    int klen =
        quorex_DHSharedSecret(dh, theirs.rec.bn_pubkey, static_cast<size_t>(theirs.rec.pubkey_len), secret.p, secret.n);
    if (klen < 0) {
        if (klen == -EINVAL)
            AUTHLOG(3, fn, "%s: error converting caller's pub key to a BIGNUM\n", fn);
        else
            AUTHLOG(3, fn, "%s: error %lu returned from DH_compute_key=[%s]\n", fn, static_cast<unsigned long>(-klen),
                    "shared secret");
        return klen;
    }
    // Every cipher in use needs a full AES key; a shorter secret would have
    // to be stretched in a way the server does not share.
    if (static_cast<size_t>(klen) < QUOREX_AES_KEY) {
        AUTHLOG(3, fn, "%s: error %lu returned from DH_compute_key=[%s]\n", fn, static_cast<unsigned long>(EINVAL),
                "short secret");
        return -EINVAL;
    }
    unsigned char *key = copyBytes(secret.p, static_cast<uint32_t>(klen));
    if (key == nullptr)
        return -ENOMEM;
    if (conn->session_key != nullptr) {
        quorex_Wipe(conn->session_key, static_cast<size_t>(conn->sess_key_len));
        free(conn->session_key);
    }
    conn->session_key = key;
    conn->sess_key_len = klen;
    return 0;
}

// Security parameter exchange: the method and cipher the server will use.
int getSecurityParams(quor_connection_t *conn, nxapi_tcontext_t *ctx, uint32_t *authType, uint32_t *cipher)
{
    const char *fn = "getSecurityParams";
    api_exchg_sec_params_req_t req = {quorex_GetAuthMethods(), quorex_GetCipherTypes(), 0, 0, 0, 0};
    int rc = nxapi_send_msg(CAT_AUTH, FN_AUTH_SEC_PARAMS, &req, kSecReqCodec, 0, 0, conn, ctx);
    if (rc != 0) {
        AUTHLOG(3, fn, "%s: error %d sending API_AUTH_GET_SEC_PARMS_REQ msg\n", fn, rc);
        return rc;
    }
    api_msghdr_t hdr;
    api_exchg_sec_params_rply_t rply = {};
    rc = nxapi_get_msg(ctx, &hdr, &rply, kSecRplyCodec, conn);
    if (rc != 0)
        return rc;
    if (hdr.errorcode != 0) {
        AUTHLOG(3, fn, "%s: Security param exchange returned server error %d\n", fn, hdr.errorcode);
        return hdr.errorcode < 0 ? hdr.errorcode : -1;
    }
    if ((hdr.msgFlags & MSGF_BODY) == 0)
        return -1;
    *authType = rply.auth_type;
    *cipher = rply.cipher;
    return 0;
}

// Enciphers n bytes of in with the connection's session key into a new
// buffer.  0 or the cipher's code.
int encipher(const quor_connection_t *conn, uint32_t cipher, const unsigned char *in, size_t n, SecretBuf *out)
{
    if (!out->alloc(quorex_EncryptedLength(n)))
        return -ENOMEM;
    size_t outlen = 0;
    int rc = quorex_Encrypt(cipher, static_cast<size_t>(conn->sess_key_len), conn->session_key, n, in, &outlen, out->p);
    if (rc != 0)
        return rc;
    out->n = outlen;
    return 0;
}

// The retry-later and stop bits of a login reply.
void reportFlags(uint32_t flags, uint32_t *reported)
{
    *reported = flags & (KYLGW_LOGINF_RETRY_LATER | KYLGW_LOGINF_STOP);
}

// ---- COMBO ------------------------------------------------------------------------

// Reads a user name at the terminal.  0 or -1.
int promptPrincipal(char *buf, size_t size)
{
    int n = nxapi_PromptLine(kPrincipalPrompt, buf, size);
    if (n < 0) {
        AUTHLOG(3, "promptPrincipal", "%s", "Error opening /dev/tty\n");
        return -1;
    }
    return n;
}

void printTokenBox()
{
    static const char box[] = "********************** ATTENTION *************************\n"
                              "*  Wait for the token code on the SecurID card           *\n"
                              "*  to change and then enter JUST THE TOKEN CODE          *\n"
                              "*  (WITHOUT YOUR PIN) in response to the password prompt *\n"
                              "**********************************************************\n";
    nxapi_Print("%s", box);
}

// Sends the combo login request for user and reads the reply into *reply
// (the relogin context and the reply flags are kept from it).  0 when the
// server goes on to a password challenge that may be answered: AES under a
// session key, never a clear password.  Otherwise the transport's code, the
// server's negative code, or KYLGW_E_AUTHFAILED.
int startComboLogin(quor_connection_t *conn, nxapi_tcontext_t *ctx, const char *user, int attempts, uint32_t loginTime,
                    Decoded<api_login_rply_t> *reply, uint32_t *replyFlags)
{
    const char *fn = "nx_combo_auth";
    api_login_combo_t login = {};
    login.prot_ver_major = KYLGW_PROT_MAJOR;
    login.prot_ver_minor = KYLGW_PROT_MINOR;
    login.client_pid = clientPid();
    login.cipher_types = quorex_GetCipherTypes();
    login.max_retries = attempts;
    fillField(login.username, sizeof login.username, user);
    quorex_Garble(login.username, sizeof login.username, loginTime);
    int rc = nxapi_send_msg(CAT_AUTH, FN_AUTH_LOGIN_COMBO, &login, kComboCodec, 0, loginTime, conn, ctx);
    api_msghdr_t hdr;
    if (rc == 0)
        rc = nxapi_get_msg(ctx, &hdr, &reply->rec, kLoginRplyCodec, conn);
    if (rc != 0)
        return rc;
    // The relogin context is kept from every login reply, this one included,
    // so that a retry-later answer to a combo login can reconnect.
    if ((hdr.msgFlags & MSGF_BODY) != 0) {
        (void)nxapi_SaveLoginReconnect(conn, &reply->rec);
        reportFlags(reply->rec.flags, replyFlags);
    }
    if (hdr.errorcode < 0)
        return hdr.errorcode;
    if ((hdr.msgFlags & MSGF_BODY) == 0)
        return KYLGW_E_AUTHFAILED;
    // A password is never sent in clear: a server that asks for it is
    // refused rather than obeyed.
    if ((reply->rec.flags & KYLGW_LOGINF_CLEAR_PASSWORD) != 0) {
        AUTHLOG(3, fn, "%s: server asked for the password in clear - refused\n", fn);
        return KYLGW_E_AUTHFAILED;
    }
    // The password is only ever enciphered with AES under the session key:
    // the keyless scrambler would not protect it.
    if (reply->rec.cipher_to_use != QUOREX_CIPHER_AES) {
        AUTHLOG(3, fn, "%s: server asked for cipher %u - only AES carries a password\n", fn, reply->rec.cipher_to_use);
        return KYLGW_E_AUTHFAILED;
    }
    return 0;
}

// The password (or token code) for one combo attempt: the one given to the
// library, used once and forgotten, or one typed at the terminal (prompted
// with word, or for a token code in token mode).  0 with *pw set (the caller
// owns it), -1 without a terminal, or -ENOMEM.  Typed text is wiped.
int readComboPassword(bool tokenMode, const char *word, const char *shownUser, SecretText *pw)
{
    const char *fn = "nx_combo_auth";
    if (!tokenMode && havePassword()) {
        pw->p = copyPassword();
        forgetPassword();
        return pw->p == nullptr ? -ENOMEM : 0;
    }
    if (!nxapi_TerminalIsInteractive()) {
        AUTHLOG(3, fn, "%s", "Error opening /dev/tty\n");
        return -1;
    }
    if (tokenMode)
        printTokenBox();
    char typed[kPasswordField];
    int n = nxapi_GetPassword(tokenMode ? "ENTER TOKEN CODE" : word, shownUser, typed, sizeof typed);
    if (n < 0) {
        quorex_Wipe(typed, sizeof typed);
        if (n == -ECANCELED)
            return n; // the run was told to stop at the prompt
        AUTHLOG(3, fn, "%s", "Error opening /dev/tty\n");
        return -1;
    }
    pw->p = strdup(typed);
    quorex_Wipe(typed, sizeof typed);
    return pw->p == nullptr ? -ENOMEM : 0;
}

// Answers the challenge with pw enciphered under the session key (pw is
// wiped and released here, as is every copy of it) and reads the server's
// answer into *hdr.  0 or the transport's code; -1 if enciphering fails.
int answerChallenge(quor_connection_t *conn, nxapi_tcontext_t *ctx, uint32_t cipher, SecretText *pw, bool tokenMode,
                    uint32_t loginTime, api_msghdr_t *hdr)
{
    unsigned char field[kPasswordField];
    fillField(field, sizeof field, pw->p);
    pw->reset();
    SecretBuf enc;
    int rc = encipher(conn, cipher, field, sizeof field, &enc);
    quorex_Wipe(field, sizeof field);
    if (rc != 0) {
        nxapi_Print("%s: Fatal error (%d) encrypting password\n", "nx_combo_auth", rc);
        return -1;
    }
    api_auth_challenge_rsp_req_t rsp = {static_cast<uint32_t>(enc.n), enc.p};
    rc = nxapi_send_msg(CAT_AUTH, FN_AUTH_CHALLENGE_RSP, &rsp, kChallengeReqCodec, tokenMode ? MSGF_TOKEN_NEXT : 0,
                        loginTime, conn, ctx);
    enc.reset();
    if (rc != 0)
        return rc;
    Decoded<api_auth_challenge_rsp_rply_t> chal(kChallengeRplyCodec);
    return nxapi_get_msg(ctx, hdr, &chal.rec, kChallengeRplyCodec, conn);
}

// Combo login: the user name (given, or typed when interactive), the login
// request, a session key, then password (or token code) challenges up to
// the server's count (at least one, at most kComboAttemptsCap).  Every copy
// of a password is wiped on every path.  0, -1 (no user name or password to
// be had, no session key, enciphering failed), -ENOMEM, the transport's
// code, or the server's result.
int nx_combo_auth(quor_connection_t *conn, nxapi_tcontext_t *ctx, bool interactive, uint32_t *replyFlags)
{
    const char *fn = "nx_combo_auth";
    SecretText user;
    user.p = copyUser();
    if (!interactive && (user.p == nullptr || !havePassword())) {
        AUTHLOG(3, fn, "%s", "Not running interactively - can't get authorization combo!\n");
        return -1;
    }
    uint32_t card = conn->site_info.auth_crypto_card;
    const char *word = (card & 0x3u) != 0 ? kPasscodeWord : kPasswordWord;
    bool hideUser = (card & 0x1u) != 0;
    if (user.p == nullptr) {
        char line[kUserLineMax + 1];
        if (promptPrincipal(line, sizeof line) < 0)
            return -1;
        user.p = strdup(line);
        if (user.p == nullptr)
            return -ENOMEM;
    }
    int attempts = havePassword() ? 1 : kComboAttemptsPrompted;

    uint32_t loginTime = static_cast<uint32_t>(time(nullptr));
    Decoded<api_login_rply_t> reply(kLoginRplyCodec);
    int rc = startComboLogin(conn, ctx, user.p, attempts, loginTime, &reply, replyFlags);
    if (rc != 0)
        return rc;
    // The session key is established whether or not the server asked for
    // it: enciphering needs it.
    if (genSessionKey(conn, ctx) != 0)
        return -1;
    if (reply.rec.retry_count < attempts)
        attempts = reply.rec.retry_count;
    // Whatever the server's count, one attempt is made; the result stays a
    // failure until a challenge response succeeds.
    if (attempts < 1)
        attempts = 1;

    int result = KYLGW_E_AUTHFAILED;
    bool tokenMode = false;
    for (int i = 0; i < attempts && i < kComboAttemptsCap; i++) {
        SecretText pw;
        rc = readComboPassword(tokenMode, word, hideUser ? nullptr : user.p, &pw);
        if (rc != 0)
            return rc;
        api_msghdr_t hdr;
        rc = answerChallenge(conn, ctx, reply.rec.cipher_to_use, &pw, tokenMode, loginTime, &hdr);
        if (rc != 0)
            return rc;
        int code = hdr.errorcode;
        if (code == 0) {
            conn->cred_expire_time = reply.rec.expire_time;
            return 0;
        }
        result = code;
        if (code == kChallengeRetryAuth || code == kChallengeRetryCred || code == kChallengeRetryBad1 ||
            code == kChallengeRetryBad2) {
            // Whoever types again is told first that the last one was wrong.
            if (i + 1 < attempts && i + 1 < kComboAttemptsCap)
                (void)nxapi_TerminalWrite(kWrongPassword);
            tokenMode = false;
            continue;
        }
        if (code == kChallengeNextToken) {
            attempts++;
            tokenMode = true;
            continue;
        }
        AUTHLOG(3, fn, "<combo> authorization call returned error %d\n", code);
        return code;
    }
    return result;
}

// ---- KEYTAB -----------------------------------------------------------------------

// Checks a keytab file: non-empty path (-2), readable (-errno), a regular
// file (-9), no group or other permission bits (-1, with its message).
int validateKeytab(const char *path, off_t *size)
{
    if (path == nullptr || *path == '\0')
        return -ENOENT;
    if (access(path, R_OK) != 0)
        return -errno;
    struct stat st;
    if (lstat(path, &st) != 0)
        return -errno;
    if (!S_ISREG(st.st_mode))
        return -EBADF;
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        nxapi_Print("*** Keytab file has non-owner perms set: %s\n", path);
        return -EPERM;
    }
    *size = st.st_size;
    return 0;
}

// Reads the whole keytab into buf (size bytes).  0 or -14 for a short read.
int readKeytab(const char *path, SecretBuf *buf, size_t size)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return -errno;
    if (!buf->alloc(size)) {
        close(fd);
        return -ENOMEM;
    }
    size_t got = 0;
    while (got < size) {
        ssize_t r = read(fd, buf->p + got, size - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    close(fd);
    return got == size ? 0 : -EFAULT;
}

// Notes in ctx that the keytab at path (empty: none given) could not be
// used for the reason rc (a negated errno value), for the hint the failed
// open prints; returns rc.
int keytabFailed(nxapi_tcontext_t *ctx, const char *path, int rc)
{
    ctx->keytabErrno = -rc;
    snprintf(ctx->keytabAt, sizeof ctx->keytabAt, "%s", path);
    return rc;
}

int nx_keytab_auth(quor_connection_t *conn, nxapi_tcontext_t *ctx, bool interactive, uint32_t *replyFlags)
{
    const char *fn = "nx_keytab_auth";
    char path[PATH_MAX];
    off_t size = 0;
    int version = 0;
    {
        kyl_lock_guard g(auth_lock);
        snprintf(path, sizeof path, "%s", keytab_path);
        size = keytab_size;
        version = keytab_version;
    }
    ctx->keytabErrno = 0;
    if (path[0] == '\0') {
        const char *env = getenv("QUOR_KEYTAB_PATH");
        if (env == nullptr || *env == '\0')
            return keytabFailed(ctx, "", -ENOENT);
        snprintf(path, sizeof path, "%s", env);
    }
    // Validated again at use: the file may have changed since it was set.
    int rc = validateKeytab(path, &size);
    if (rc != 0)
        return keytabFailed(ctx, path, rc);
    if (size <= 0 || quorex_EncryptedLength(static_cast<size_t>(size)) > KYLGW_MAX_KEYTAB) {
        AUTHLOG(3, fn, "%s: keytab file size %lld is outside 1..%u bytes\n", fn, static_cast<long long>(size),
                KYLGW_MAX_KEYTAB - static_cast<uint32_t>(QUOREX_AES_BLOCK));
        return keytabFailed(ctx, path, -EFBIG);
    }

    SecretText user;
    user.p = copyUser();
    if (!interactive && user.p == nullptr) {
        AUTHLOG(3, fn, "%s", "Not running interactively - can't get principal name!\n");
        return -1;
    }
    uint32_t authType = 0;
    uint32_t cipher = 0;
    if (getSecurityParams(conn, ctx, &authType, &cipher) != 0) {
        AUTHLOG(3, fn, "%s", "Error obtaining server's security parameters\n");
        return -2;
    }
    // Keytab contents go only under AES with the session key; a server that
    // offers the keyless scrambler (or anything else) is refused.
    if (cipher != QUOREX_CIPHER_AES) {
        AUTHLOG(3, fn, "%s: server offered cipher %u - keytab contents are only sent under AES\n", fn, cipher);
        return -EINVAL;
    }
    rc = genSessionKey(conn, ctx);
    if (rc != 0) {
        nxapi_Print("%s: genSessionKey returned error %d\n", fn, rc);
        return -1;
    }
    if (user.p == nullptr) {
        char line[kUserLineMax + 1];
        if (promptPrincipal(line, sizeof line) < 0)
            return -2;
        user.p = strdup(line);
        if (user.p == nullptr)
            return -ENOMEM;
    }

    SecretBuf plain;
    rc = readKeytab(path, &plain, static_cast<size_t>(size));
    if (rc != 0)
        return keytabFailed(ctx, path, rc);
    uint32_t seed = static_cast<uint32_t>(time(nullptr));
    api_login_keytab_t login = {};
    login.prot_ver_major = KYLGW_PROT_MAJOR;
    login.prot_ver_minor = KYLGW_PROT_MINOR;
    login.client_pid = clientPid();
    login.flags = 0;
    login.cipher_type = cipher;
    fillField(login.principal, sizeof login.principal, user.p);
    quorex_Garble(login.principal, sizeof login.principal, seed);
    SecretBuf enc;
    rc = encipher(conn, cipher, plain.p, plain.n, &enc);
    plain.reset();
    if (rc != 0) {
        nxapi_Print("%s: Fatal error (%d) encrypting password\n", fn, rc);
        return -1;
    }
    login.keytab_size = static_cast<uint32_t>(enc.n);
    login.key_version = static_cast<uint32_t>(version);
    login.keytab = enc.p;
    rc = nxapi_send_msg(CAT_AUTH, FN_AUTH_LOGIN_KEYTAB, &login, kKeytabCodec, 0, seed, conn, ctx);
    enc.reset();
    if (rc != 0)
        return rc;
    api_msghdr_t hdr;
    Decoded<api_login_rply_t> reply(kLoginRplyCodec);
    rc = nxapi_get_msg(ctx, &hdr, &reply.rec, kLoginRplyCodec, conn);
    if (rc != 0)
        return rc;
    if ((hdr.msgFlags & MSGF_BODY) != 0) {
        (void)nxapi_SaveLoginReconnect(conn, &reply.rec);
        reportFlags(reply.rec.flags, replyFlags);
    }
    if (hdr.errorcode != 0) {
        AUTHLOG(3, fn, "Keytab Authorization call returned error %d\n", hdr.errorcode);
        return hdr.errorcode;
    }
    conn->cred_expire_time = reply.rec.expire_time;
    return 0;
}

// ---- PAM --------------------------------------------------------------------------

uint32_t be32(const unsigned char *p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void putBe32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

struct PamEntry {
    int style;
    const char *text; // NUL-terminated inside the deciphered data
};

// Checks the deciphered conversation data: count entries, every header and
// text inside the data, each text no longer than kPamTextMax and holding a
// NUL inside its declared length, nothing left over, styles 1..4.
// 0, or -22 with its message.
int parseConversation(const unsigned char *data, size_t len, int count, PamEntry *entries)
{
    const char *fn = "nx_pam_auth";
    size_t off = 0;
    for (int i = 0; i < count; i++) {
        if (len - off < kPamEntryHeader) {
            AUTHLOG(3, fn, "%s: PAM conversation entry %d header beyond the data - aborting\n", fn, i);
            return -EINVAL;
        }
        int style = data[off];
        uint32_t tlen = be32(data + off + 4);
        off += kPamEntryHeader;
        if (tlen == 0 || tlen > kPamTextMax || tlen > len - off) {
            AUTHLOG(3, fn, "%s: PAM conversation entry %d length %u invalid - aborting\n", fn, i, tlen);
            return -EINVAL;
        }
        if (memchr(data + off, '\0', tlen) == nullptr) {
            AUTHLOG(3, fn, "%s: PAM conversation entry %d text not terminated - aborting\n", fn, i);
            return -EINVAL;
        }
        if (style < 1 || style > 4) {
            AUTHLOG(3, fn, "Bad PAM conversation msg style received: %d Aborting PAM auth\n", style);
            return -EINVAL;
        }
        entries[i].style = style;
        entries[i].text = reinterpret_cast<const char *>(data + off);
        off += tlen;
    }
    if (off != len) {
        AUTHLOG(3, fn, "%s: %zu bytes left over after the PAM conversation entries - aborting\n", fn, len - off);
        return -EINVAL;
    }
    return 0;
}

void showText(const char *text, bool onTerminal)
{
    size_t n = strlen(text);
    bool nl = n == 0 || text[n - 1] != '\n';
    if (onTerminal && nxapi_TerminalWrite(text) == 0) {
        if (nl)
            nxapi_TerminalWrite("\n");
        return;
    }
    nxapi_Print("%s%s", text, nl ? "\n" : "");
}

// One conversation round: decipher, check, answer, pack, encipher, send as
// a task message.  0 or negative.
int pamConversation(quor_connection_t *conn, nxapi_tcontext_t *ctx, uint32_t cipher, uint32_t loginTime)
{
    const char *fn = "nx_pam_auth";
    api_msghdr_t hdr;
    Decoded<api_pam_conv_req_t> req(kConvReqCodec);
    int rc = nxapi_get_msg(ctx, &hdr, &req.rec, kConvReqCodec, conn);
    if (rc != 0)
        return rc;
    if ((hdr.msgFlags & MSGF_BODY) == 0 || req.rec.enc_conv_req_msg == nullptr || req.rec.enc_conv_req_msglen == 0) {
        AUTHLOG(3, fn, "%s: empty PAM conversation request - aborting\n", fn);
        return -EINVAL;
    }
    SecretBuf clear;
    if (!clear.alloc(static_cast<size_t>(req.rec.enc_conv_req_msglen) + 64)) {
        AUTHLOG(3, fn, "%s", "Error allocating decryption buffer for PAM conversation\n");
        return -ENOMEM;
    }
    size_t clen = 0;
    rc = quorex_Decrypt(cipher, static_cast<size_t>(conn->sess_key_len), conn->session_key, req.rec.enc_conv_req_msglen,
                        req.rec.enc_conv_req_msg, &clen, clear.p);
    if (rc != 0) {
        AUTHLOG(3, fn, "%s: error %d deciphering the PAM conversation - aborting\n", fn, rc);
        return -EINVAL;
    }
    int count = req.rec.msg_count;
    if (count < 1 || count > kPamMsgCountMax) {
        AUTHLOG(3, fn, "invalid PAM message count %d received - aborting \n", count);
        return -EINVAL;
    }
    PamEntry entries[kPamMsgCountMax];
    rc = parseConversation(clear.p, clen, count, entries);
    if (rc != 0)
        return rc;

    char *responses[kPamMsgCountMax] = {};
    struct FreeResponses {
        char **r;
        ~FreeResponses()
        {
            for (int i = 0; i < kPamMsgCountMax; i++)
                if (r[i] != nullptr) {
                    quorex_Wipe(r[i], NXAPI_PAM_RESPONSE_MAX);
                    free(r[i]);
                }
        }
    } freeResponses{responses};
    size_t packedLen = 0;
    for (int i = 0; i < count; i++) {
        switch (entries[i].style) {
        case 1:
        case 2:
            rc = nxapi_PamGetResponse(entries[i].style == 1, entries[i].text, &responses[i]);
            if (rc != 0)
                return rc;
            packedLen += kPamEntryHeader + strlen(responses[i]) + 1;
            break;
        case 3:
            showText(entries[i].text, false);
            packedLen += kPamEntryHeader;
            break;
        default:
            showText(entries[i].text, true);
            packedLen += kPamEntryHeader;
            break;
        }
    }
    clear.reset();

    SecretBuf packed;
    if (!packed.alloc(packedLen))
        return -ENOMEM;
    size_t off = 0;
    for (int i = 0; i < count; i++) {
        uint32_t rlen = responses[i] != nullptr ? static_cast<uint32_t>(strlen(responses[i]) + 1) : 0;
        putBe32(packed.p + off, rlen);
        memset(packed.p + off + 4, 0, 4);
        off += kPamEntryHeader;
        if (rlen != 0) {
            memcpy(packed.p + off, responses[i], rlen);
            off += rlen;
        }
    }
    SecretBuf enc;
    rc = encipher(conn, cipher, packed.p, packed.n, &enc);
    packed.reset();
    if (rc != 0) {
        nxapi_Print("*** Error %d encrypting PAM response\n", rc);
        return -ENOMEM;
    }
    api_pam_conv_rply_t answer = {count, static_cast<uint32_t>(enc.n), enc.p};
    rc = kylgw_sendTaskMsg(hdr.threadID, hdr.msgRequestID, CAT_AUTH, FN_AUTH_PAM_CONV_RPLY, &answer, kConvRplyCodec, 0,
                           loginTime, 0, conn, ctx);
    return rc;
}

int nx_pam_auth(quor_connection_t *conn, nxapi_tcontext_t *ctx, bool interactive, uint32_t *replyFlags)
{
    const char *fn = "nx_pam_auth";
    uint32_t authType = 0;
    uint32_t cipher = 0;
    if (getSecurityParams(conn, ctx, &authType, &cipher) != 0) {
        AUTHLOG(3, fn, "%s", "Error obtaining server's security parameters\n");
        return -EINVAL;
    }
    if ((cipher & quorex_GetCipherTypes()) == 0 || cipher != QUOREX_CIPHER_AES) {
        AUTHLOG(3, fn, "%s", "Incompatible server/client cipher types - PAM authentication failed\n");
        return -EINVAL;
    }
    int rc = genSessionKey(conn, ctx);
    if (rc != 0) {
        nxapi_Print("*** genSessionKey returned error %d - PAM authentication failed\n", rc);
        return -EINVAL;
    }
    SecretText user;
    user.p = copyUser();
    if (!interactive && (user.p == nullptr || !havePassword())) {
        nxapi_Print("*** Not running interactively & username not set - PAM authentication failed\n!");
        return -EINVAL;
    }
    while (user.p == nullptr) {
        char line[kUserLineMax + 1];
        if (promptPrincipal(line, sizeof line) < 0)
            return -EINVAL;
        if (line[0] != '\0') {
            user.p = strdup(line);
            if (user.p == nullptr)
                return -ENOMEM;
        }
    }
    unsigned char field[KYLGW_AUTH_NAME_SIZE];
    fillField(field, sizeof field, user.p);
    SecretBuf encUser;
    rc = encipher(conn, cipher, field, sizeof field, &encUser);
    if (rc != 0) {
        nxapi_Print("%s: Fatal error (%d) encrypting user name\n", fn, rc);
        return -EINVAL;
    }
    uint32_t loginTime = static_cast<uint32_t>(time(nullptr));
    api_login_pam_t login = {};
    login.prot_ver_major = KYLGW_PROT_MAJOR;
    login.prot_ver_minor = KYLGW_PROT_MINOR;
    login.client_pid = clientPid();
    login.cipher_types = quorex_GetCipherTypes();
    login.enc_cipher_type = cipher;
    login.max_retries = kPamMaxRetries;
    login.enc_username_size = static_cast<uint32_t>(encUser.n);
    login.enc_username = encUser.p;
    rc = nxapi_send_msg(CAT_AUTH, FN_AUTH_LOGIN_PAM, &login, kPamCodec, 0, loginTime, conn, ctx);
    if (rc != 0)
        return rc;
    for (;;) {
        api_msghdr_t hdr;
        Decoded<api_login_rply_t> reply(kLoginRplyCodec);
        rc = nxapi_get_msg(ctx, &hdr, &reply.rec, kLoginRplyCodec, conn);
        if (rc != 0)
            return rc;
        bool hasBody = (hdr.msgFlags & MSGF_BODY) != 0;
        if (hasBody && (reply.rec.flags & KYLGW_LOGINF_PAM_FINAL) == 0 &&
            (reply.rec.flags & KYLGW_LOGINF_PAM_CONV) != 0 && hdr.errorcode == 0) {
            rc = pamConversation(conn, ctx, cipher, loginTime);
            if (rc != 0)
                return rc;
            continue;
        }
        // The final reply (or one that neither continues the conversation
        // nor carries a body) ends the login.
        if (hasBody) {
            (void)nxapi_SaveLoginReconnect(conn, &reply.rec);
            reportFlags(reply.rec.flags, replyFlags);
        }
        if (hdr.errorcode == 0 && hasBody)
            conn->cred_expire_time = reply.rec.expire_time;
        return hdr.errorcode != 0 || hasBody ? hdr.errorcode : KYLGW_E_AUTHFAILED;
    }
}

// ---- Reconnect --------------------------------------------------------------------

int kylgw_RetryLogin(quor_connection_t *conn, nxapi_tcontext_t *ctx, uint32_t *replyFlags)
{
    const char *fn = "kylgw_RetryLogin";
    const login_reconnect_t &rl = conn->relogin_context;
    api_login_reconnect_t login = {};
    login.prot_ver_major = KYLGW_PROT_MAJOR;
    login.prot_ver_minor = KYLGW_PROT_MINOR;
    login.client_pid = clientPid();
    login.retry_packet_len = rl.reconnect_packet_len;
    login.retry_packet = rl.reconnect_packet;
    login.hmac_len = rl.reconnect_hmac_len;
    login.hmac_packet = rl.reconnect_hmac_packet;
    int rc = nxapi_send_msg(CAT_AUTH, FN_AUTH_LOGIN_RECONNECT, &login, kReconnectCodec, 0, 0, conn, ctx);
    api_msghdr_t hdr;
    Decoded<api_login_rply_t> reply(kLoginRplyCodec);
    if (rc == 0)
        rc = nxapi_get_msg(ctx, &hdr, &reply.rec, kLoginRplyCodec, conn);
    if (rc != 0 || (hdr.msgFlags & MSGF_BODY) == 0) {
        nxapi_Print("*** %s: unable to obtain login response for <reconnect>\n", fn);
        return -1;
    }
    rc = hdr.errorcode;
    if (conn->site_info.sv_prot_major != KYLGW_PROT_MAJOR || conn->site_info.sv_prot_minor < KYLGW_PROT_MINOR)
        rc = KYLGW_E_PROTOCOL_LEVEL;
    (void)nxapi_SaveLoginReconnect(conn, &reply.rec);
    reportFlags(reply.rec.flags, replyFlags);
    if (rc == 0)
        conn->cred_expire_time = reply.rec.expire_time;
    return rc;
}

// ---- Method list ------------------------------------------------------------------

struct MethodName {
    uint32_t code;
    const char *name;
};
// In the order the names are listed.
constexpr MethodName kMethodNames[] = {{QUOR_AUTH_COMBO, "COMBO"}, {QUOR_AUTH_GSI, "GSI"},
                                       {QUOR_AUTH_IDENT, "IDENT"}, {QUOR_AUTH_KERBEROS, "KERBEROS"},
                                       {QUOR_AUTH_MUNGE, "MUNGE"}, {QUOR_AUTH_KEYTAB, "KEYTAB"},
                                       {QUOR_AUTH_LOCAL, "LOCAL"}, {QUOR_AUTH_PAM, "PAM"}};
constexpr MethodName kCipherNames[] = {{QUOREX_CIPHER_GARBLE, "GARBLE"},
                                       {QUOREX_CIPHER_AES, "AES"},
                                       {QUOREX_CIPHER_BLOWFISH, "BLOWFISH"},
                                       {QUOREX_CIPHER_3DES, "3DES"}};

template <size_t N>
int namesOf(const MethodName (&table)[N], uint32_t mask, char *buf, size_t size)
{
    if (buf == nullptr || size == 0)
        return -EFAULT;
    size_t used = 0;
    buf[0] = '\0';
    for (const MethodName &m : table) {
        if ((mask & m.code) == 0)
            continue;
        int n = snprintf(buf + used, size - used, "%s ", m.name);
        if (n < 0 || static_cast<size_t>(n) >= size - used)
            return -ENAMETOOLONG;
        used += static_cast<size_t>(n);
    }
    return static_cast<int>(used);
}

bool isBuiltIn(int code)
{
    return code == QUOR_AUTH_COMBO || code == QUOR_AUTH_KEYTAB || code == QUOR_AUTH_PAM;
}

bool isKnown(int code)
{
    for (const MethodName &m : kMethodNames)
        if (static_cast<uint32_t>(code) == m.code)
            return true;
    return false;
}

// QUOR_AUTH_METHOD: names separated by ':' or ','.
void methodsFromEnvironment()
{
    const char *env = getenv("QUOR_AUTH_METHOD");
    if (env == nullptr || *env == '\0')
        return;
    {
        kyl_lock_guard g(auth_lock);
        if (auth_list_set)
            return;
    }
    char copy[512];
    snprintf(copy, sizeof copy, "%s", env);
    int list[kMethodListMax];
    int n = 0;
    char *save = nullptr;
    for (char *tok = strtok_r(copy, ":,", &save); tok != nullptr; tok = strtok_r(nullptr, ":,", &save)) {
        int code = 0;
        if (strcasecmp(tok, "combo") == 0 || strcasecmp(tok, "dce") == 0)
            code = QUOR_AUTH_COMBO;
        else if (strcasecmp(tok, "keytab") == 0)
            code = QUOR_AUTH_KEYTAB;
        else if (strcasecmp(tok, "pam") == 0)
            code = QUOR_AUTH_PAM;
        else if (strcasecmp(tok, "ident") == 0 || strcasecmp(tok, "kerberos") == 0 || strcasecmp(tok, "local") == 0 ||
                 strcasecmp(tok, "munge") == 0 || strcasecmp(tok, "gsi") == 0) {
            nxapi_Print("*** Warning: QUOR_AUTH_METHOD environment specifies '%s' method, which was not enabled at "
                        "compile time\n",
                        tok);
            continue;
        } else {
            nxapi_Print("*** Warning: QUOR_AUTH_METHOD environment specifies unrecognized method:'%s'\n", tok);
            continue;
        }
        if (n < kMethodListMax)
            list[n++] = code;
    }
    if (n == 0)
        return;
    kyl_lock_guard g(auth_lock);
    memcpy(auth_list, list, sizeof(int) * static_cast<size_t>(n));
    auth_count = n;
    auth_index = 0;
}

// QUOR_USE_NETRC_FILE=1 (yes, true): the user's netrc fills in the user name and
// password that are not already known.
void credentialsFromNetrc(quor_connection_t *conn)
{
    if (quorex_NetrcWanted() == 0)
        return;
    char *user = copyUser();
    char *pw = copyPassword();
    {
        // copyUser falls back on QUOR_PRINCIPAL; only a set user name is
        // "known" for the netrc search.
        kyl_lock_guard g(auth_lock);
        if (combo_user == nullptr) {
            free(user);
            user = nullptr;
        }
    }
    int rc = quorex_ReadNetrc(&conn->server_addr, &user, &pw);
    if (rc == 0) {
        if (quor_SetCombo(user, pw) != 0)
            rc = -ENOMEM;
    }
    if (rc != 0)
        nxapi_Print("%s: Attempting to use .netrc failed.\n", "nxapi_authenticate");
    free(user);
    if (pw != nullptr) {
        quorex_Wipe(pw, strlen(pw));
        free(pw);
    }
}

} // namespace

uint32_t quorex_GetAuthMethods()
{
    return QUOR_AUTH_COMBO | QUOR_AUTH_KEYTAB | QUOR_AUTH_PAM;
}

uint32_t quorex_GetCipherTypes()
{
    return QUOREX_CIPHER_AES;
}

int quorex_AuthTypesToString(uint32_t mask, char *buf, size_t size)
{
    return namesOf(kMethodNames, mask, buf, size);
}

int quorex_CipherTypesToString(uint32_t mask, char *buf, size_t size)
{
    return namesOf(kCipherNames, mask, buf, size);
}

int nxapi_authenticate(quor_connection_t *conn, nxapi_tcontext_t *tcontext, int *retryLater, int *stop)
{
    const char *fn = "nxapi_authenticate";
    if (retryLater != nullptr)
        *retryLater = 0;
    if (stop != nullptr)
        *stop = 0;
    if (conn == nullptr || tcontext == nullptr)
        return -EFAULT;
    bool interactive = nxapi_TerminalIsInteractive();
    methodsFromEnvironment();
    credentialsFromNetrc(conn);
    if (quorex_OpenSSLInit() != 0) {
        nxapi_Print("%s: Fatal error in OpenSSL initialization - cannot continue", fn);
        return KYLGW_E_AUTHINTERNAL;
    }
    int list[kMethodListMax];
    int count = 0;
    {
        kyl_lock_guard g(auth_lock);
        count = auth_count;
        memcpy(list, auth_list, sizeof list);
    }
    int result = KYLGW_E_AUTHFAILED;
    for (int i = 0; i < count; i++) {
        {
            kyl_lock_guard g(auth_lock);
            auth_index = i;
        }
        uint32_t flags = 0;
        int rc;
        switch (list[i]) {
        case QUOR_AUTH_RECONNECT: rc = kylgw_RetryLogin(conn, tcontext, &flags); break;
        case QUOR_AUTH_PAM: rc = nx_pam_auth(conn, tcontext, interactive, &flags); break;
        case QUOR_AUTH_COMBO: rc = nx_combo_auth(conn, tcontext, interactive, &flags); break;
        case QUOR_AUTH_KEYTAB: rc = nx_keytab_auth(conn, tcontext, interactive, &flags); break;
        default:
            nxapi_Print("%s (line %d) Internal Error - bad authentication mechanism %d defined!!\n", fn, __LINE__,
                        list[i]);
            return KYLGW_E_AUTHINTERNAL;
        }
        if (rc == 0) {
            conn->auth_type = list[i];
            return 0;
        }
        if (rc != -1)
            result = rc;
        if (rc == -ECANCELED) {
            // Stopped at a prompt: no other method, no retry.
            if (stop != nullptr)
                *stop = 1;
            break;
        }
        if (retryLater != nullptr && (flags & KYLGW_LOGINF_RETRY_LATER) != 0)
            *retryLater = 1;
        if (stop != nullptr && (flags & KYLGW_LOGINF_STOP) != 0)
            *stop = 1;
        if ((flags & (KYLGW_LOGINF_RETRY_LATER | KYLGW_LOGINF_STOP)) != 0)
            break;
        // A method that broke the connection leaves nothing for the next.
        if (conn->state.load() != CONNECTION_OPEN)
            break;
    }
    return result;
}

int quor_SetAuthType(int code)
{
    if (!isBuiltIn(code) && code != QUOR_AUTH_RECONNECT)
        return -EINVAL;
    kyl_lock_guard g(auth_lock);
    auth_list[0] = code;
    auth_count = 1;
    auth_index = 0;
    auth_list_set = true;
    return 0;
}

int quor_GetAuthType(int *count)
{
    kyl_lock_guard g(auth_lock);
    if (count != nullptr)
        *count = auth_count;
    return auth_list[auth_index < auth_count ? auth_index : 0];
}

int quor_SetAuthMethodList(int count, const int *codes)
{
    const char *fn = "quor_SetAuthMethodList";
    if (count < 0 || (count > 0 && codes == nullptr))
        return -EINVAL;
    int list[kMethodListMax];
    int n = 0;
    uint32_t missing = 0;
    for (int i = 0; i < count; i++) {
        if (!isKnown(codes[i])) {
            nxapi_Print("*** (%s) Warning: Unrecognized authmethod type '%d' (authList arg. index = '%d')\n", fn,
                        codes[i], i);
            continue;
        }
        if (!isBuiltIn(codes[i])) {
            missing |= static_cast<uint32_t>(codes[i]);
            continue;
        }
        if (n < kMethodListMax)
            list[n++] = codes[i];
    }
    if (missing != 0) {
        char names[128];
        quorex_AuthTypesToString(missing, names, sizeof names);
        nxapi_Print("*** %s: WARNING - pkg was compiled without support for requested authmethod(s): %s\n", fn, names);
    }
    kyl_lock_guard g(auth_lock);
    if (n > 0) {
        memcpy(auth_list, list, sizeof(int) * static_cast<size_t>(n));
        auth_count = n;
        auth_index = 0;
    }
    auth_list_set = true;
    return 0;
}

int quor_SetCombo(const char *user, const char *password)
{
    char *u = nullptr;
    char *p = nullptr;
    if (user != nullptr && (u = strdup(user)) == nullptr)
        return -ENOMEM;
    if (password != nullptr && (p = strdup(password)) == nullptr) {
        free(u);
        return -ENOMEM;
    }
    kyl_lock_guard g(auth_lock);
    if (u != nullptr) {
        free(combo_user);
        combo_user = u;
    }
    if (p != nullptr) {
        if (combo_password != nullptr) {
            quorex_Wipe(combo_password, strlen(combo_password));
            free(combo_password);
        }
        combo_password = p;
    }
    return 0;
}

int quor_SetKeytabInfo(const char *user, const char *path, int keyVersion)
{
    if (path == nullptr)
        return -ENOENT;
    if (strlen(path) >= PATH_MAX)
        return -ENAMETOOLONG;
    off_t size = 0;
    int rc = validateKeytab(path, &size);
    if (rc != 0)
        return rc;
    if (user != nullptr) {
        rc = quor_SetCombo(user, nullptr);
        if (rc != 0)
            return rc;
    }
    kyl_lock_guard g(auth_lock);
    snprintf(keytab_path, sizeof keytab_path, "%s", path);
    keytab_size = size;
    keytab_version = keyVersion;
    return 0;
}

void nxapi_ResetAuthState()
{
    kyl_lock_guard g(auth_lock);
    auth_list[0] = QUOR_AUTH_COMBO;
    auth_list[1] = QUOR_AUTH_KEYTAB;
    auth_list[2] = QUOR_AUTH_PAM;
    auth_count = 3;
    auth_index = 0;
    auth_list_set = false;
    free(combo_user);
    combo_user = nullptr;
    if (combo_password != nullptr) {
        quorex_Wipe(combo_password, strlen(combo_password));
        free(combo_password);
        combo_password = nullptr;
    }
    keytab_path[0] = '\0';
    keytab_size = 0;
    keytab_version = 0;
}
