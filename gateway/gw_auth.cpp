// kylgwd's side of authentication (see gw_auth.h).  Every handler runs
// under the connection's login-state mutex (a->mu) and replies through
// gw_reply, which takes the output mutex inside it; the order is always
// a->mu, then c->outMutex.  The daemon-wide reconnect signing key is made
// once (pthread_once) and read-only afterwards.

#include "gw_auth.h"

#include "gw_config.h"
#include "gw_events.h"
#include "gw_log.h"
#include "gw_users.h"

#include <kylgw_errors.h>
#include <kylgw_mvrprot.h>
#include <kylgw_xdr_auth.h>
#include <quorex_crypto.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <unistd.h>

namespace {

// Authentication methods this server offers in its security parameters.
constexpr uint32_t GW_AUTH_METHODS = 0x40u | 0x200u; // keytab, PAM (combo needs no parameter exchange)
// The generator of the published group.
constexpr unsigned char kGenerator2 = 2;
// Weak parameters for the client's checks: a prime far too small.
constexpr unsigned char kTinyPrime = 23;
constexpr unsigned char kTinyGenerator = 5;
constexpr unsigned char kOne = 1;
// The login's user name / principal field and the password buffer.
constexpr size_t GW_PASSWORD_BUFFER = 513;

// The signing key of reconnect packets, made once per daemon.
pthread_once_t gw_reconnectOnce = PTHREAD_ONCE_INIT;
unsigned char gw_reconnectKey[QUOREX_HMAC_SIZE]; // written once under gw_reconnectOnce
bool gw_reconnectKeyOk = false;                  // written once under gw_reconnectOnce

void gw_AuthGlobalInit()
{
    if (quorex_OpenSSLInit() != 0)
        return;
    gw_reconnectKeyOk = quorex_RandomBytes(gw_reconnectKey, sizeof gw_reconnectKey) == 0;
}

uint32_t nowSecs()
{
    return static_cast<uint32_t>(time(nullptr));
}

// A name from the network made safe for one log line.
std::string printable(const std::string &s)
{
    std::string out;
    for (unsigned char ch : s)
        out.push_back(ch >= 0x20 && ch < 0x7f ? static_cast<char>(ch) : '?');
    return out;
}

// The text of a fixed NUL-padded field.
std::string fieldText(const unsigned char *p, size_t n)
{
    size_t len = 0;
    while (len < n && p[len] != 0)
        len++;
    return std::string(reinterpret_cast<const char *>(p), len);
}

// Wipes a record's variable bytes that held a secret from the client.
void wipeBytes(unsigned char *p, uint32_t n)
{
    if (p != nullptr && n > 0)
        quorex_Wipe(p, n);
}

} // namespace

struct gw_auth_t {
    // Guards everything below.
    kyl_mutex_t mu;

    // Diffie-Hellman key pair and session key of the connection.
    quorex_dh_t *dh KYL_GUARDED_BY(mu) = nullptr;
    unsigned char key[QUOREX_MAX_DH_BYTES] KYL_GUARDED_BY(mu) = {};
    size_t keyLen KYL_GUARDED_BY(mu) = 0;
    // Cipher named in the last security parameter reply.
    uint32_t cipher KYL_GUARDED_BY(mu) = QUOREX_CIPHER_AES;

    // A combo login between its login message and a right response.
    bool comboActive KYL_GUARDED_BY(mu) = false;
    std::string comboName KYL_GUARDED_BY(mu);
    const gw_user_t *comboUser KYL_GUARDED_BY(mu) = nullptr;
    bool comboClear KYL_GUARDED_BY(mu) = false; // the password comes in clear
    int attemptsLeft KYL_GUARDED_BY(mu) = 0;
    bool tokenPending KYL_GUARDED_BY(mu) = false; // the next response is a token code
    bool tokenNextDone KYL_GUARDED_BY(mu) = false;
    uint32_t comboWrongUsed KYL_GUARDED_BY(mu) = 0;

    // A PAM login waiting for the answer to its conversation request.
    bool pamActive KYL_GUARDED_BY(mu) = false;
    gw_request_t pamLogin KYL_GUARDED_BY(mu); // header and start of the login; no body
    std::string pamName KYL_GUARDED_BY(mu);
    const gw_user_t *pamUser KYL_GUARDED_BY(mu) = nullptr;
    uint32_t pamTag KYL_GUARDED_BY(mu) = 0;
    size_t pamRound KYL_GUARDED_BY(mu) = 0;
    gw_pam_round_t pamSent KYL_GUARDED_BY(mu); // the messages of the round as sent
    uint32_t tagCounter KYL_GUARDED_BY(mu) = 0;
};

int gw_AuthTransferSecret(const gw_conn_t *c, uint32_t purpose, uint64_t id, unsigned char *secret)
{
    if (c->auth == nullptr)
        return -ENOKEY;
    unsigned char in[TRANSFER_SECRET_INPUT_SIZE];
    transfer_secret_input(purpose, id, in);
    kyl_lock_guard g(c->auth->mu);
    if (c->auth->keyLen == 0)
        return -ENOKEY;
    return quorex_HmacSha256(c->auth->key, c->auth->keyLen, in, sizeof in, secret) == 0 ? 0 : -EIO;
}

gw_auth_t *gw_AuthNew()
{
    pthread_once(&gw_reconnectOnce, gw_AuthGlobalInit);
    return new (std::nothrow) gw_auth_t;
}

void gw_AuthFree(gw_auth_t *a)
{
    if (a == nullptr)
        return;
    {
        kyl_lock_guard g(a->mu);
        quorex_DHFree(a->dh);
        a->dh = nullptr;
        quorex_Wipe(a->key, sizeof a->key);
        a->keyLen = 0;
        for (gw_pam_msg_t &m : a->pamSent)
            quorex_Wipe(m.answer.data(), m.answer.size());
    }
    delete a;
}

bool gw_AuthCategoryOpen(uint16_t category)
{
    return category == CAT_CONNECTION || category == CAT_AUTH;
}

// ---------------------------------------------------------------------------
// Reconnect packets

namespace {

// Writes the low n bytes of v big-endian at p; returns p + n.
unsigned char *putBE(unsigned char *p, uint64_t v, size_t n)
{
    for (size_t i = 0; i < n; i++)
        p[i] = static_cast<unsigned char>(v >> (8 * (n - 1 - i)));
    return p + n;
}

void putU32(std::vector<unsigned char> *out, uint32_t v)
{
    unsigned char b[4];
    putBE(b, v, sizeof b);
    out->insert(out->end(), b, b + sizeof b);
}

uint64_t getBE(const unsigned char *p, size_t n)
{
    uint64_t v = 0;
    for (size_t i = 0; i < n; i++)
        v = (v << 8) | p[i];
    return v;
}

} // namespace

int gw_ReconnectPacketBuild(const std::string &user, uint64_t issued, uint64_t notBefore,
                            std::vector<unsigned char> *packet, std::vector<unsigned char> *mac)
{
    pthread_once(&gw_reconnectOnce, gw_AuthGlobalInit);
    if (!gw_reconnectKeyOk || user.empty() || user.size() > GW_USER_NAME_MAX)
        return KYLGW_E_BRX_HMAC;
    // Name length, name, issue time, earliest reconnect time, nonce; sized
    // up front and filled in place.
    std::vector<unsigned char> p(4 + user.size() + 8 + 8 + GW_RECONNECT_NONCE);
    unsigned char *w = putBE(p.data(), user.size(), 4);
    memcpy(w, user.data(), user.size());
    w = putBE(w + user.size(), issued, 8);
    w = putBE(w, notBefore, 8);
    if (quorex_RandomBytes(w, GW_RECONNECT_NONCE) != 0)
        return KYLGW_E_BRX_HMAC;
    std::vector<unsigned char> m(QUOREX_HMAC_SIZE);
    if (quorex_HmacSha256(gw_reconnectKey, sizeof gw_reconnectKey, p.data(), p.size(), m.data()) != 0)
        return KYLGW_E_BRX_HMAC;
    *packet = std::move(p);
    *mac = std::move(m);
    return 0;
}

int gw_ReconnectPacketCheck(const unsigned char *packet, size_t len, const unsigned char *mac, size_t maclen,
                            uint64_t now, std::string *user)
{
    pthread_once(&gw_reconnectOnce, gw_AuthGlobalInit);
    if (!gw_reconnectKeyOk)
        return KYLGW_E_BRX_HMAC;
    unsigned char want[QUOREX_HMAC_SIZE];
    if (packet == nullptr || mac == nullptr || maclen != sizeof want ||
        quorex_HmacSha256(gw_reconnectKey, sizeof gw_reconnectKey, packet, len, want) != 0 ||
        !quorex_ConstTimeEqual(want, mac, sizeof want))
        return KYLGW_E_BRX_SIGNATURE;
    // Signed by us, so well formed unless the format changed; check anyway.
    if (len < 4)
        return KYLGW_E_RETRY_CERT;
    const uint64_t nameLen = getBE(packet, 4);
    if (nameLen == 0 || nameLen > GW_USER_NAME_MAX || len != 4 + nameLen + 16 + GW_RECONNECT_NONCE)
        return KYLGW_E_RETRY_CERT;
    const unsigned char *p = packet + 4 + nameLen;
    const uint64_t notBefore = getBE(p + 8, 8);
    if (now < notBefore)
        return KYLGW_E_RETRY_EARLY;
    if (now > notBefore + GW_RECONNECT_WINDOW_SECS)
        return KYLGW_E_RETRY_EXPIRED;
    user->assign(reinterpret_cast<const char *>(packet + 4), static_cast<size_t>(nameLen));
    return 0;
}

// ---------------------------------------------------------------------------
// Replies

namespace {

const gw_userlist_t *configUsers()
{
    return gw_ProtoConfig()->users;
}

// A login reply with the usual fields: credentials for eight hours, AES.
api_login_rply_t loginReply(uint32_t flags)
{
    api_login_rply_t r{};
    r.flags = flags;
    r.retry_count = GW_COMBO_ATTEMPTS;
    r.expire_time = nowSecs() + GW_CRED_LIFETIME_SECS;
    r.cipher_types = QUOREX_CIPHER_AES;
    r.cipher_to_use = QUOREX_CIPHER_AES;
    return r;
}

int sendLogin(gw_conn_t *c, const gw_request_t *req, int32_t errorcode, api_login_rply_t *r)
{
    return gw_SendReplyBody(c, req, errorcode, KYL_XDRPROC(api_login_rply_t, xdr_api_login_rply_t), r);
}

void loginEvent(const gw_conn_t *c, const std::string &user, const char *method, int32_t result)
{
    gw_event("login")
        .num("session", static_cast<int64_t>(c->id))
        .str("user", user)
        .str("method", method)
        .num("result", result)
        .emit();
}

// The login of user succeeded: the session acts as that user from now on.
void authenticated(gw_conn_t *c, const gw_user_t *u, const char *method)
{
    c->user.store(u);
    gw_Log("session %llu: user %s authenticated by %s", static_cast<unsigned long long>(c->id),
           printable(u->name).c_str(), method);
    loginEvent(c, u->name, method, 0);
}

void loginFailed(gw_conn_t *c, const std::string &name, const char *method, int32_t result, const char *why)
{
    gw_Log("session %llu: %s login of %s refused (%d): %s", static_cast<unsigned long long>(c->id), method,
           printable(name).c_str(), static_cast<int>(result), why);
    loginEvent(c, name, method, result);
}

// Sends the refusal or retry-later reply that the fault script or the
// user's entry asks for.  Returns true when it replied (*rc then holds what
// the send returned).  extraFlags go into the reply (the final flag of a
// PAM login).
bool refuseIfAsked(gw_conn_t *c, const gw_request_t *req, const gw_user_t *u, const std::string &name,
                   const char *method, uint32_t extraFlags, int *rc)
{
    const gw_faults_t &f = c->faults;
    const gw_refusal_t *refuse = f.refuse.set ? &f.refuse : u != nullptr && u->refuse.set ? &u->refuse : nullptr;
    const gw_retry_later_t *later = f.retryLater.set                    ? &f.retryLater
                                    : u != nullptr && u->retryLater.set ? &u->retryLater
                                                                        : nullptr;
    if (refuse != nullptr) {
        if (refuse == &f.refuse)
            gw_FaultFired(c, "refuse", &req->hdr);
        api_login_rply_t r = loginReply(extraFlags | (refuse->stop ? KYLGW_LOGINF_STOP : 0));
        r.error_code = refuse->code;
        r.user_msg_len = static_cast<uint32_t>(refuse->text.size());
        r.user_msg_buf = reinterpret_cast<unsigned char *>(const_cast<char *>(refuse->text.data()));
        loginFailed(c, name, method, refuse->code, "refused by the configuration");
        *rc = sendLogin(c, req, refuse->code, &r);
        return true;
    }
    if (later != nullptr) {
        if (later == &f.retryLater)
            gw_FaultFired(c, "retry_later", &req->hdr);
        const uint64_t now = static_cast<uint64_t>(time(nullptr));
        std::vector<unsigned char> packet, mac;
        int32_t code = KYLGW_E_SHUTTING_DOWN;
        api_login_rply_t r = loginReply(extraFlags | KYLGW_LOGINF_RETRY_LATER);
        if (gw_ReconnectPacketBuild(name, now, now + later->seconds, &packet, &mac) != 0) {
            // Without a packet the client cannot come back: refuse plainly.
            code = KYLGW_E_BRX_HMAC;
            r.flags = extraFlags;
        } else {
            r.retry_time = now + later->seconds;
            r.retry_packet_len = static_cast<uint32_t>(packet.size());
            r.retry_packet = packet.data();
            r.hmac_len = static_cast<uint32_t>(mac.size());
            r.hmac_packet = mac.data();
        }
        r.error_code = code;
        r.user_msg_len = static_cast<uint32_t>(later->text.size());
        r.user_msg_buf = reinterpret_cast<unsigned char *>(const_cast<char *>(later->text.data()));
        gw_Log("session %llu: %s login of %s: asking the client to retry in %u seconds",
               static_cast<unsigned long long>(c->id), method, printable(name).c_str(), later->seconds);
        loginEvent(c, name, method, code);
        *rc = sendLogin(c, req, code, &r);
        return true;
    }
    return false;
}

// Deciphers in with the connection's session key into out (which is
// resized).  Returns 0 or a negative code.
int decipher(gw_auth_t *a, const unsigned char *in, size_t len, std::vector<unsigned char> *out) KYL_REQUIRES(a->mu)
{
    if (a->keyLen < QUOREX_AES_KEY)
        return -EPERM;
    if (len == 0 || len % QUOREX_AES_BLOCK != 0)
        return -EINVAL;
    out->assign(len + 2 * QUOREX_AES_BLOCK, 0);
    size_t n = 0;
    int rc = quorex_Decrypt(QUOREX_CIPHER_AES, a->keyLen, a->key, len, in, &n, out->data());
    if (rc != 0 || n > out->size()) {
        quorex_Wipe(out->data(), out->size());
        out->clear();
        return rc != 0 ? rc : -EPROTO;
    }
    quorex_Wipe(out->data() + n, out->size() - n);
    out->resize(n);
    return 0;
}

void wipeVector(std::vector<unsigned char> *v)
{
    if (!v->empty())
        quorex_Wipe(v->data(), v->size());
    v->clear();
}

// ---------------------------------------------------------------------------
// 512/16, 512/18, 512/20

int serveSecParams(gw_conn_t *c, gw_auth_t *a, const gw_request_t *req) KYL_REQUIRES(a->mu)
{
    const auto *rq = static_cast<const api_exchg_sec_params_req_t *>(req->body);
    api_exchg_sec_params_rply_t r{};
    r.auth_type = rq->auth_types & GW_AUTH_METHODS;
    if (r.auth_type == 0 || (rq->cipher_types & QUOREX_CIPHER_AES) == 0)
        return gw_SendReply(c, req, KYLGW_E_AUTHMETHOD, nullptr, nullptr);
    r.cipher = QUOREX_CIPHER_AES;
    if (c->faults.cipherGarble) {
        gw_FaultFired(c, "cipher", &req->hdr);
        r.cipher = QUOREX_CIPHER_GARBLE;
    }
    a->cipher = r.cipher;
    return gw_SendReply(c, req, 0, KYL_XDRPROC(api_exchg_sec_params_rply_t, xdr_api_exchg_sec_params_rply_t), &r);
}

int serveDhParams(gw_conn_t *c, const gw_request_t *req)
{
    size_t plen = 0;
    const unsigned char *p = quorex_DHGroup14Prime(&plen);
    unsigned char g = kGenerator2;
    if (c->faults.dh == gw_dh_fault_t::weak) {
        gw_FaultFired(c, "dh=weak", &req->hdr);
        p = &kTinyPrime;
        plen = 1;
        g = kTinyGenerator;
    } else if (c->faults.dh == gw_dh_fault_t::g1) {
        gw_FaultFired(c, "dh=g1", &req->hdr);
        g = kOne;
    }
    api_get_dh_params_rply_t r{};
    r.bn_p_len = static_cast<int32_t>(plen);
    r.bn_p = const_cast<unsigned char *>(p);
    r.bn_g_len = 1;
    r.bn_g = &g;
    return gw_SendReply(c, req, 0, KYL_XDRPROC(api_get_dh_params_rply_t, xdr_api_get_dh_params_rply_t), &r);
}

int servePubkey(gw_conn_t *c, gw_auth_t *a, const gw_request_t *req) KYL_REQUIRES(a->mu)
{
    const auto *rq = static_cast<const api_exchg_pubkey_t *>(req->body);
    if (a->dh == nullptr) {
        size_t plen = 0;
        const unsigned char *p = quorex_DHGroup14Prime(&plen);
        int rc = quorex_DHNew(p, plen, &kGenerator2, 1, &a->dh);
        if (rc != 0) {
            gw_Log("session %llu: cannot make a Diffie-Hellman key pair (%d)", static_cast<unsigned long long>(c->id),
                   rc);
            return gw_SendReply(c, req, rc, nullptr, nullptr);
        }
    }
    quorex_Wipe(a->key, sizeof a->key);
    a->keyLen = 0;
    if (rq->pubkey_len <= 0 || rq->bn_pubkey == nullptr)
        return gw_SendReply(c, req, -EINVAL, nullptr, nullptr);
    int n = quorex_DHSharedSecret(a->dh, rq->bn_pubkey, static_cast<size_t>(rq->pubkey_len), a->key, sizeof a->key);
    if (n < 0) {
        gw_Log("session %llu: the client's public key is unusable (%d)", static_cast<unsigned long long>(c->id), n);
        return gw_SendReply(c, req, n, nullptr, nullptr);
    }
    a->keyLen = static_cast<size_t>(n);

    unsigned char pub[QUOREX_MAX_DH_BYTES];
    int plen = quorex_DHPublicKey(a->dh, pub, sizeof pub);
    if (plen <= 0) {
        quorex_Wipe(a->key, sizeof a->key);
        a->keyLen = 0;
        return gw_SendReply(c, req, plen < 0 ? plen : -EPROTO, nullptr, nullptr);
    }
    api_exchg_pubkey_t r{};
    r.pubkey_len = plen;
    r.bn_pubkey = pub;
    if (c->faults.dh == gw_dh_fault_t::pubkey1) {
        gw_FaultFired(c, "dh=pubkey1", &req->hdr);
        pub[0] = kOne;
        r.pubkey_len = 1;
    }
    return gw_SendReply(c, req, 0, KYL_XDRPROC(api_exchg_pubkey_t, xdr_api_exchg_pubkey_t), &r);
}

// ---------------------------------------------------------------------------
// Combo: 512/260 and 512/304

int serveCombo(gw_conn_t *c, gw_auth_t *a, const gw_request_t *req) KYL_REQUIRES(a->mu)
{
    const auto *rq = static_cast<const api_login_combo_t *>(req->body);
    unsigned char field[KYLGW_AUTH_NAME_SIZE];
    memcpy(field, rq->username, sizeof field);
    quorex_Garble(field, sizeof field, req->hdr.msgTime);
    const std::string name = fieldText(field, sizeof field);
    const gw_user_t *u = gw_UserFind(configUsers(), name.c_str());

    a->comboActive = false;
    int rc = 0;
    if (refuseIfAsked(c, req, u, name, GW_METHOD_COMBO, 0, &rc))
        return rc;

    const gw_faults_t &f = c->faults;
    a->comboActive = true;
    a->comboName = name;
    a->comboUser = u;
    a->comboClear = f.cleartextPw;
    a->attemptsLeft = GW_COMBO_ATTEMPTS;
    a->tokenPending = false;
    api_login_rply_t r = loginReply(KYLGW_LOGINF_SESSION_KEY);
    if (f.cleartextPw) {
        gw_FaultFired(c, "cleartext_pw", &req->hdr);
        r.flags = KYLGW_LOGINF_CLEAR_PASSWORD;
    }
    if (f.retryCountSet) {
        gw_FaultFired(c, "retry_count", &req->hdr);
        r.retry_count = static_cast<int32_t>(f.retryCount);
    }
    gw_Log("session %llu: combo login of %s%s", static_cast<unsigned long long>(c->id), printable(name).c_str(),
           u == nullptr ? " (not a known user)" : "");
    return sendLogin(c, req, 0, &r);
}

// Checks a response against a crypt hash; the text is the response up to
// its first NUL.
bool responseMatches(const std::string &hash, const std::vector<unsigned char> &text)
{
    std::vector<char> z(text.size() + 1, '\0');
    size_t n = 0;
    while (n < text.size() && text[n] != 0) {
        z[n] = static_cast<char>(text[n]);
        n++;
    }
    bool ok = gw_PasswordMatches(hash, z.data());
    quorex_Wipe(z.data(), z.size());
    return ok;
}

int serveChallenge(gw_conn_t *c, gw_auth_t *a, const gw_request_t *req) KYL_REQUIRES(a->mu)
{
    auto *rq = static_cast<api_auth_challenge_rsp_req_t *>(req->body);
    gw_event("challenge")
        .num("session", static_cast<int64_t>(c->id))
        .num("id", req->hdr.msgRequestID)
        .num("flags", req->hdr.msgFlags & ~MSGF_BODY)
        .str("expect", a->tokenPending ? "token" : "password")
        .emit();

    api_auth_challenge_rsp_rply_t r{};
    r.expire_time = nowSecs() + GW_CRED_LIFETIME_SECS;
    r.retries = a->attemptsLeft;
    auto reply = [&](int32_t code) {
        return gw_SendReplyBody(c, req, code,
                                KYL_XDRPROC(api_auth_challenge_rsp_rply_t, xdr_api_auth_challenge_rsp_rply_t), &r);
    };
    if (!a->comboActive) {
        wipeBytes(rq->response, rq->response_size);
        gw_Log("session %llu: challenge response without a combo login", static_cast<unsigned long long>(c->id));
        return reply(KYLGW_E_AUTHFAILED);
    }

    // The response: the password in clear with its NUL, or the enciphered
    // 513-byte password buffer.
    std::vector<unsigned char> text;
    if (a->comboClear) {
        text.assign(rq->response, rq->response + rq->response_size);
    } else {
        int rc = decipher(a, rq->response, rq->response_size, &text);
        if (rc != 0) {
            gw_Log("session %llu: challenge response cannot be deciphered (%d)", static_cast<unsigned long long>(c->id),
                   rc);
            text.clear();
        }
    }
    wipeBytes(rq->response, rq->response_size);
    if (text.size() > GW_PASSWORD_BUFFER)
        text.resize(GW_PASSWORD_BUFFER);

    const gw_faults_t &f = c->faults;
    const gw_user_t *u = a->comboUser;
    int32_t result = KYLGW_E_AUTHFAILED;
    if (a->comboWrongUsed < f.comboWrong) {
        a->comboWrongUsed++;
        gw_FaultFired(c, "combo_wrong", &req->hdr);
    } else if (u != nullptr && !text.empty()) {
        if (a->tokenPending) {
            const std::string &hash = u->tokenCodeHash.empty() ? u->passwordHash : u->tokenCodeHash;
            if (responseMatches(hash, text))
                result = 0;
        } else if (responseMatches(u->passwordHash, text)) {
            result = 0;
            const bool faultToken = f.tokenNext && !a->tokenNextDone;
            if (!u->tokenCodeHash.empty() || faultToken) {
                if (faultToken)
                    gw_FaultFired(c, "token_next", &req->hdr);
                a->tokenNextDone = true;
                a->tokenPending = true;
                result = KYLGW_E_NEXT_TOKEN;
            }
        }
    }
    wipeVector(&text);

    if (result == 0) {
        a->comboActive = false;
        a->tokenPending = false;
        authenticated(c, u, GW_METHOD_COMBO);
        return reply(0);
    }
    if (result == KYLGW_E_NEXT_TOKEN) {
        gw_Log("session %llu: combo login of %s: asking for the next token code",
               static_cast<unsigned long long>(c->id), printable(a->comboName).c_str());
        return reply(result);
    }
    a->attemptsLeft--;
    r.retries = a->attemptsLeft;
    loginFailed(c, a->comboName, GW_METHOD_COMBO, result, "wrong password");
    if (a->attemptsLeft <= 0)
        a->comboActive = false;
    return reply(result);
}

// ---------------------------------------------------------------------------
// Keytab: 512/259

// Reads the keytab file into *out.  0 or -errno.
int readKeytab(const std::string &path, std::vector<unsigned char> *out)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return -errno;
    out->clear();
    unsigned char buf[4096];
    int rc = 0;
    for (;;) {
        ssize_t got = read(fd, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            rc = -errno;
            break;
        }
        if (got == 0)
            break;
        if (out->size() + static_cast<size_t>(got) > GW_KEYTAB_FILE_MAX) {
            rc = -EFBIG;
            break;
        }
        out->insert(out->end(), buf, buf + got);
    }
    quorex_Wipe(buf, sizeof buf);
    close(fd);
    if (rc != 0)
        wipeVector(out);
    return rc;
}

int serveKeytab(gw_conn_t *c, gw_auth_t *a, const gw_request_t *req) KYL_REQUIRES(a->mu)
{
    auto *rq = static_cast<api_login_keytab_t *>(req->body);
    unsigned char field[KYLGW_AUTH_NAME_SIZE];
    memcpy(field, rq->principal, sizeof field);
    quorex_Garble(field, sizeof field, req->hdr.msgTime);
    const std::string name = fieldText(field, sizeof field);
    const gw_user_t *u = gw_UserFind(configUsers(), name.c_str());

    int rc = 0;
    if (refuseIfAsked(c, req, u, name, GW_METHOD_KEYTAB, 0, &rc)) {
        wipeBytes(rq->keytab, rq->keytab_size);
        return rc;
    }

    // The scrambler has no key: a keytab sent through it is as good as
    // sent in clear, so it is taken only where the site allows it.
    if (rq->cipher_type == QUOREX_CIPHER_GARBLE && gw_ProtoConfig()->site.allow_weak_keytab == 0) {
        wipeBytes(rq->keytab, rq->keytab_size);
        loginFailed(c, name, GW_METHOD_KEYTAB, KYLGW_E_AUTHMETHOD,
                    "the keytab came without a session key (allow_weak_keytab is off)");
        api_login_rply_t r = loginReply(0);
        r.error_code = KYLGW_E_AUTHMETHOD;
        return sendLogin(c, req, KYLGW_E_AUTHMETHOD, &r);
    }

    // The keytab as sent: scrambled with the login's time, or enciphered.
    std::vector<unsigned char> sent;
    const char *why = nullptr;
    if (rq->cipher_type == QUOREX_CIPHER_GARBLE) {
        sent.assign(rq->keytab, rq->keytab + rq->keytab_size);
        if (!sent.empty())
            quorex_Garble(sent.data(), sent.size(), req->hdr.msgTime);
    } else if (rq->cipher_type == QUOREX_CIPHER_AES) {
        if (decipher(a, rq->keytab, rq->keytab_size, &sent) != 0)
            why = "the keytab cannot be deciphered";
    } else {
        why = "unknown cipher";
    }
    wipeBytes(rq->keytab, rq->keytab_size);

    std::vector<unsigned char> stored;
    if (why == nullptr && (u == nullptr || u->keytabPath.empty()))
        why = "no keytab for this user";
    if (why == nullptr && readKeytab(u->keytabPath, &stored) != 0)
        why = "the stored keytab cannot be read";
    if (why == nullptr && (stored.size() != sent.size() || stored.empty() ||
                           !quorex_ConstTimeEqual(stored.data(), sent.data(), stored.size())))
        why = "the keytab does not match";
    wipeVector(&sent);
    wipeVector(&stored);

    if (why != nullptr) {
        loginFailed(c, name, GW_METHOD_KEYTAB, KYLGW_E_AUTHFAILED, why);
        api_login_rply_t r = loginReply(0);
        r.error_code = KYLGW_E_AUTHFAILED;
        return sendLogin(c, req, KYLGW_E_AUTHFAILED, &r);
    }
    authenticated(c, u, GW_METHOD_KEYTAB);
    api_login_rply_t r = loginReply(0);
    return sendLogin(c, req, 0, &r);
}

// ---------------------------------------------------------------------------
// PAM: 512/256, the conversation request 512/32 and the task message 512/33

// Forgets the expected answers of the round sent last.
void wipePamSent(gw_auth_t *a) KYL_REQUIRES(a->mu)
{
    for (gw_pam_msg_t &m : a->pamSent)
        quorex_Wipe(m.answer.data(), m.answer.size());
    a->pamSent.clear();
}

// Sends the final reply of the PAM login and ends it.
int pamFinal(gw_conn_t *c, gw_auth_t *a, int32_t code, const char *why) KYL_REQUIRES(a->mu)
{
    a->pamActive = false;
    wipePamSent(a);
    api_login_rply_t r = loginReply(KYLGW_LOGINF_PAM_FINAL);
    r.error_code = code;
    if (code == 0)
        authenticated(c, a->pamUser, GW_METHOD_PAM);
    else
        loginFailed(c, a->pamName, GW_METHOD_PAM, code, why);
    return sendLogin(c, &a->pamLogin, code, &r);
}

// Sends "a conversation follows" and the conversation request of the
// current round.
int pamSendRound(gw_conn_t *c, gw_auth_t *a) KYL_REQUIRES(a->mu)
{
    const gw_faults_t &f = c->faults;
    wipePamSent(a);
    a->pamSent = a->pamUser->pam[a->pamRound];
    if (f.pamCount > 0) {
        gw_FaultFired(c, "pam_count", &a->pamLogin.hdr);
        a->pamSent.resize(f.pamCount > a->pamSent.size() ? a->pamSent.size() : f.pamCount);
        while (a->pamSent.size() < f.pamCount)
            a->pamSent.push_back({GW_PAM_TEXT_INFO, "message " + std::to_string(a->pamSent.size() + 1), ""});
    }
    if (f.pamStyleSet) {
        gw_FaultFired(c, "pam_style", &a->pamLogin.hdr);
        a->pamSent[0].style = f.pamStyle;
    }

    // Entries: style byte, three zero bytes, text length with its NUL, text, NUL.
    std::vector<unsigned char> plain;
    for (const gw_pam_msg_t &m : a->pamSent) {
        plain.push_back(static_cast<unsigned char>(m.style));
        plain.insert(plain.end(), 3, 0);
        putU32(&plain, static_cast<uint32_t>(m.text.size() + 1));
        plain.insert(plain.end(), m.text.begin(), m.text.end());
        plain.push_back(0);
    }
    std::vector<unsigned char> enc(quorex_EncryptedLength(plain.size()));
    size_t encLen = 0;
    int rc = quorex_Encrypt(QUOREX_CIPHER_AES, a->keyLen, a->key, plain.size(), plain.data(), &encLen, enc.data());
    wipeVector(&plain);
    if (rc != 0 || encLen > KYLGW_MAX_PAM_CONV)
        return pamFinal(c, a, KYLGW_E_BRX_ENCRYPT, "the conversation cannot be enciphered");

    api_login_rply_t r = loginReply(KYLGW_LOGINF_PAM_CONV);
    rc = sendLogin(c, &a->pamLogin, 0, &r);
    if (rc != 0)
        return rc;
    a->pamTag = ++a->tagCounter | 0x70000000u; // never 0
    api_pam_conv_req_t conv{};
    conv.msg_count = static_cast<int32_t>(a->pamSent.size());
    conv.enc_conv_req_msglen = static_cast<uint32_t>(encLen);
    conv.enc_conv_req_msg = enc.data();
    gw_Log("session %llu: pam login of %s: conversation round %zu, %zu messages",
           static_cast<unsigned long long>(c->id), printable(a->pamName).c_str(), a->pamRound + 1, a->pamSent.size());
    return gw_SendServerRequest(c, a->pamLogin.hdr.msgRequestID, a->pamTag, CAT_AUTH, FN_AUTH_PAM_CONV_REQ,
                                KYL_XDRPROC(api_pam_conv_req_t, xdr_api_pam_conv_req_t), &conv);
}

int servePam(gw_conn_t *c, gw_auth_t *a, const gw_request_t *req) KYL_REQUIRES(a->mu)
{
    const auto *rq = static_cast<const api_login_pam_t *>(req->body);
    a->pamActive = false;
    a->pamLogin = gw_request_t{};
    a->pamLogin.hdr = req->hdr;
    a->pamLogin.row = req->row;
    a->pamLogin.start = req->start;
    a->pamRound = 0;
    a->pamUser = nullptr;

    std::vector<unsigned char> field;
    const int rc = decipher(a, rq->enc_username, rq->enc_username_size, &field);
    a->pamName =
        rc == 0 ? fieldText(field.data(), field.size() < KYLGW_AUTH_NAME_SIZE ? field.size() : KYLGW_AUTH_NAME_SIZE)
                : std::string();
    wipeVector(&field);
    if (rc != 0)
        return pamFinal(c, a, KYLGW_E_AUTHFAILED, "the user name cannot be deciphered (no session key?)");

    const gw_user_t *u = gw_UserFind(configUsers(), a->pamName.c_str());
    int sent = 0;
    if (refuseIfAsked(c, req, u, a->pamName, GW_METHOD_PAM, KYLGW_LOGINF_PAM_FINAL, &sent))
        return sent;
    if (u == nullptr || u->pam.empty())
        return pamFinal(c, a, KYLGW_E_AUTHFAILED, u == nullptr ? "not a known user" : "no PAM script for this user");
    a->pamUser = u;
    a->pamActive = true;
    return pamSendRound(c, a);
}

// Checks the packed answers of a round: per message a 4-byte length, four
// zero bytes and that many bytes (a prompt's answer and its NUL).
bool pamAnswersMatch(const gw_pam_round_t &sent, int32_t count, const std::vector<unsigned char> &data)
{
    if (count < 0 || static_cast<size_t>(count) != sent.size())
        return false;
    size_t pos = 0;
    bool ok = true;
    for (const gw_pam_msg_t &m : sent) {
        if (data.size() - pos < 8)
            return false;
        const size_t len = static_cast<size_t>(getBE(&data[pos], 4));
        pos += 8;
        if (len > data.size() - pos)
            return false;
        if (m.style == GW_PAM_PROMPT_ECHO_OFF || m.style == GW_PAM_PROMPT_ECHO_ON) {
            // Compared in full whatever the outcome, so the time taken does
            // not tell how much of the answer was right.
            const bool shape = len == m.answer.size() + 1 && data[pos + len - 1] == 0;
            const bool same =
                shape && quorex_ConstTimeEqual(&data[pos], reinterpret_cast<const unsigned char *>(m.answer.data()),
                                               m.answer.size());
            ok = ok && same;
        }
        pos += len;
    }
    return ok;
}

} // namespace

bool gw_AuthTaskMessage(gw_conn_t *c, const gw_request_t *req)
{
    gw_auth_t *a = c->auth;
    if (a == nullptr || req->hdr.category != CAT_AUTH || req->hdr.function != FN_AUTH_PAM_CONV_RPLY ||
        req->body == nullptr)
        return false;
    kyl_lock_guard g(a->mu);
    if (!a->pamActive || req->hdr.msgRequestID != a->pamLogin.hdr.msgRequestID || req->hdr.threadID != a->pamTag)
        return false;
    auto *rq = static_cast<api_pam_conv_rply_t *>(req->body);
    gw_RequestEvent(c, req, 0, "task");
    std::vector<unsigned char> data;
    const int rc = decipher(a, rq->enc_conv_reply_msg, rq->enc_conv_reply_msglen, &data);
    wipeBytes(rq->enc_conv_reply_msg, rq->enc_conv_reply_msglen);
    const bool ok = rc == 0 && pamAnswersMatch(a->pamSent, rq->reply_count, data);
    wipeVector(&data);
    if (!ok)
        (void)pamFinal(c, a, KYLGW_E_AUTHFAILED, rc != 0 ? "the answers cannot be deciphered" : "wrong answers");
    else if (a->pamRound + 1 < a->pamUser->pam.size()) {
        a->pamRound++;
        (void)pamSendRound(c, a);
    } else {
        (void)pamFinal(c, a, 0, nullptr);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Reconnect: 512/128

namespace {

int serveReconnect(gw_conn_t *c, const gw_request_t *req)
{
    const auto *rq = static_cast<const api_login_reconnect_t *>(req->body);
    std::string name;
    int32_t result = gw_ReconnectPacketCheck(rq->retry_packet, rq->retry_packet_len, rq->hmac_packet, rq->hmac_len,
                                             static_cast<uint64_t>(time(nullptr)), &name);
    if (c->faults.reconnectSet) {
        gw_FaultFired(c, "reconnect", &req->hdr);
        // The outcome is forced; a packet that does not even name a user
        // cannot succeed.
        if (c->faults.reconnectResult != 0 || !name.empty())
            result = c->faults.reconnectResult;
    }
    const gw_user_t *u = result == 0 ? gw_UserFind(configUsers(), name.c_str()) : nullptr;
    if (result == 0 && u == nullptr)
        result = KYLGW_E_RETRY_CERT;
    api_login_rply_t r = loginReply(0);
    r.error_code = result;
    if (result != 0) {
        loginFailed(c, name, GW_METHOD_RECONNECT, result, "retry packet not accepted");
        return sendLogin(c, req, result, &r);
    }
    authenticated(c, u, GW_METHOD_RECONNECT);
    return sendLogin(c, req, 0, &r);
}

} // namespace

int gw_AuthServe(gw_conn_t *c, const gw_request_t *req)
{
    gw_auth_t *a = c->auth;
    const uint16_t fn = req->hdr.function;
    if (a == nullptr)
        return gw_SendReply(c, req, KYLGW_E_AUTHINTERNAL, nullptr, nullptr);
    kyl_lock_guard g(a->mu);
    if (fn == FN_AUTH_DH_PARAMS)
        return serveDhParams(c, req);
    if (req->body == nullptr)
        return gw_SendReply(c, req, -EINVAL, nullptr, nullptr);
    const bool login = fn == FN_AUTH_LOGIN_COMBO || fn == FN_AUTH_LOGIN_KEYTAB || fn == FN_AUTH_LOGIN_PAM ||
                       fn == FN_AUTH_LOGIN_RECONNECT;
    if (login && c->user.load() != nullptr) {
        // One user per connection: a second login could change who the
        // running requests act for.
        gw_Log("session %llu: login %u on a connection already authenticated: refused",
               static_cast<unsigned long long>(c->id), fn);
        api_login_rply_t r = loginReply(fn == FN_AUTH_LOGIN_PAM ? KYLGW_LOGINF_PAM_FINAL : 0);
        r.error_code = -EBUSY;
        return sendLogin(c, req, -EBUSY, &r);
    }
    switch (fn) {
    case FN_AUTH_SEC_PARAMS: return serveSecParams(c, a, req);
    case FN_AUTH_PUBKEY: return servePubkey(c, a, req);
    case FN_AUTH_LOGIN_COMBO: return serveCombo(c, a, req);
    case FN_AUTH_CHALLENGE_RSP: return serveChallenge(c, a, req);
    case FN_AUTH_LOGIN_KEYTAB: return serveKeytab(c, a, req);
    case FN_AUTH_LOGIN_PAM: return servePam(c, a, req);
    case FN_AUTH_LOGIN_RECONNECT: return serveReconnect(c, req);
    default: return gw_SendReply(c, req, KYLGW_E_AUTHFUNC, nullptr, nullptr);
    }
}
