// Authentication message bodies.  See kylgw_xdr_auth.h.  Each record with
// allocated fields is coded by a body routine wrapped in a guard that, on
// decode, nulls the record's pointers first (so a failure part-way never
// leaves a stale pointer behind) and releases what was allocated when the
// body fails.

#include "kylgw_xdr_auth.h"

#include <cstdlib>

#include "kylgw_catalogue.h"
#include "kylgw_msg.h"

namespace {

// Runs body; on decode, clear(r) first and a free pass over r when the body
// fails, so that a failed decode owns nothing.
template <typename T>
bool guarded(kyl_xdr_t *x, T *r, bool (*body)(kyl_xdr_t *, T *), void (*clear)(T *))
{
    if (x->op == KYL_XDR_DECODE)
        clear(r);
    if (body(x, r))
        return true;
    if (x->op == KYL_XDR_DECODE) {
        kyl_xdr_t f;
        kyl_xdr_create_free(&f);
        body(&f, r);
    }
    return false;
}

// A variable byte field whose length word is a signed 32-bit value; a
// negative length is refused both ways.
bool varbuf_i32(kyl_xdr_t *x, unsigned char **buf, int32_t *len, uint32_t cap)
{
    uint32_t u = 0;
    if (x->op == KYL_XDR_ENCODE) {
        if (*len < 0)
            return false;
        u = static_cast<uint32_t>(*len);
    }
    if (!kyl_xdr_varbuf(x, buf, &u, cap))
        return false;
    if (x->op == KYL_XDR_DECODE)
        *len = static_cast<int32_t>(u); // u <= cap <= INT32_MAX
    return true;
}

// The length word of a byte field whose bytes come later in the record:
// checked against cap both ways, so a decoder refuses it before it reads
// (or allocates) anything else.
bool length_word(kyl_xdr_t *x, uint32_t *len, uint32_t cap)
{
    if (x->op == KYL_XDR_ENCODE && *len > cap)
        return false;
    if (!kyl_xdr_u32(x, len))
        return false;
    return x->op != KYL_XDR_DECODE || *len <= cap;
}

// len bytes (already decoded and checked) and their padding; decoding
// allocates *buf when len is not zero.
bool late_bytes(kyl_xdr_t *x, unsigned char **buf, uint32_t len)
{
    switch (x->op) {
    case KYL_XDR_FREE:
        free(*buf);
        *buf = nullptr;
        return true;
    case KYL_XDR_ENCODE:
        if (len == 0)
            return true;
        return *buf != nullptr && kyl_xdr_fixed_opaque(x, *buf, len);
    case KYL_XDR_DECODE: {
        *buf = nullptr;
        if (len == 0)
            return true;
        auto *p = static_cast<unsigned char *>(malloc(len));
        if (p == nullptr)
            return false;
        if (!kyl_xdr_fixed_opaque(x, p, len)) {
            free(p);
            return false;
        }
        *buf = p;
        return true;
    }
    }
    return false;
}

bool dh_params_body(kyl_xdr_t *x, api_get_dh_params_rply_t *r)
{
    return varbuf_i32(x, &r->bn_p, &r->bn_p_len, KYLGW_MAX_DH_BYTES) &&
           varbuf_i32(x, &r->bn_g, &r->bn_g_len, KYLGW_MAX_DH_BYTES);
}
void dh_params_clear(api_get_dh_params_rply_t *r)
{
    r->bn_p = r->bn_g = nullptr;
}

bool pubkey_body(kyl_xdr_t *x, api_exchg_pubkey_t *r)
{
    return varbuf_i32(x, &r->bn_pubkey, &r->pubkey_len, KYLGW_MAX_DH_BYTES);
}
void pubkey_clear(api_exchg_pubkey_t *r)
{
    r->bn_pubkey = nullptr;
}

bool login_pam_body(kyl_xdr_t *x, api_login_pam_t *r)
{
    return kyl_xdr_u32(x, &r->prot_ver_major) && kyl_xdr_u32(x, &r->prot_ver_minor) && kyl_xdr_u32(x, &r->client_pid) &&
           kyl_xdr_u32(x, &r->cipher_types) && kyl_xdr_u32(x, &r->enc_cipher_type) && kyl_xdr_i32(x, &r->max_retries) &&
           kyl_xdr_varbuf(x, &r->enc_username, &r->enc_username_size, KYLGW_MAX_ENC_USERNAME);
}
void login_pam_clear(api_login_pam_t *r)
{
    r->enc_username = nullptr;
}

bool login_keytab_body(kyl_xdr_t *x, api_login_keytab_t *r)
{
    return kyl_xdr_u32(x, &r->prot_ver_major) && kyl_xdr_u32(x, &r->prot_ver_minor) && kyl_xdr_u32(x, &r->client_pid) &&
           kyl_xdr_u32(x, &r->flags) && kyl_xdr_u32(x, &r->cipher_type) &&
           kyl_xdr_fixed_opaque(x, r->principal, sizeof r->principal) &&
           length_word(x, &r->keytab_size, KYLGW_MAX_KEYTAB) && kyl_xdr_u32(x, &r->key_version) &&
           late_bytes(x, &r->keytab, r->keytab_size);
}
void login_keytab_clear(api_login_keytab_t *r)
{
    r->keytab = nullptr;
}

bool login_reconnect_body(kyl_xdr_t *x, api_login_reconnect_t *r)
{
    return kyl_xdr_u32(x, &r->prot_ver_major) && kyl_xdr_u32(x, &r->prot_ver_minor) && kyl_xdr_u32(x, &r->client_pid) &&
           kyl_xdr_varbuf(x, &r->retry_packet, &r->retry_packet_len, KYLGW_MAX_RETRY_PACKET) &&
           kyl_xdr_varbuf(x, &r->hmac_packet, &r->hmac_len, KYLGW_MAX_HMAC);
}
void login_reconnect_clear(api_login_reconnect_t *r)
{
    r->retry_packet = r->hmac_packet = nullptr;
}

bool login_rply_body(kyl_xdr_t *x, api_login_rply_t *r)
{
    return kyl_xdr_u32(x, &r->flags) && kyl_xdr_u32(x, &r->brx_plugin_flags) && kyl_xdr_i32(x, &r->error_code) &&
           kyl_xdr_i32(x, &r->retry_count) && kyl_xdr_u64(x, &r->retry_time) && kyl_xdr_u32(x, &r->expire_time) &&
           kyl_xdr_u32(x, &r->cipher_types) && kyl_xdr_u32(x, &r->cipher_to_use) &&
           kyl_xdr_varbuf(x, &r->challenge, &r->challenge_size, KYLGW_MAX_CHALLENGE) &&
           kyl_xdr_varbuf(x, &r->user_msg_buf, &r->user_msg_len, KYLGW_MAX_USER_MSG) &&
           kyl_xdr_varbuf(x, &r->retry_packet, &r->retry_packet_len, KYLGW_MAX_RETRY_PACKET) &&
           kyl_xdr_varbuf(x, &r->hmac_packet, &r->hmac_len, KYLGW_MAX_HMAC);
}
void login_rply_clear(api_login_rply_t *r)
{
    r->challenge = r->user_msg_buf = r->retry_packet = r->hmac_packet = nullptr;
}

bool challenge_req_body(kyl_xdr_t *x, api_auth_challenge_rsp_req_t *r)
{
    return kyl_xdr_varbuf(x, &r->response, &r->response_size, KYLGW_MAX_CHALLENGE_RSP);
}
void challenge_req_clear(api_auth_challenge_rsp_req_t *r)
{
    r->response = nullptr;
}

bool salt_length(kyl_xdr_t *x, int32_t *len)
{
    auto fits = [](int32_t n) { return n >= 0 && static_cast<size_t>(n) <= KYLGW_AUTH_SALT_SIZE; };
    if (x->op == KYL_XDR_ENCODE && !fits(*len))
        return false;
    if (!kyl_xdr_i32(x, len))
        return false;
    return x->op != KYL_XDR_DECODE || fits(*len);
}

bool challenge_rply_body(kyl_xdr_t *x, api_auth_challenge_rsp_rply_t *r)
{
    return kyl_xdr_i32(x, &r->retries) && kyl_xdr_u32(x, &r->expire_time) &&
           length_word(x, &r->challenge_size, KYLGW_MAX_CHALLENGE) && salt_length(x, &r->salt_len) &&
           kyl_xdr_fixed_opaque(x, r->salt, sizeof r->salt) && late_bytes(x, &r->challenge, r->challenge_size);
}
void challenge_rply_clear(api_auth_challenge_rsp_rply_t *r)
{
    r->challenge = nullptr;
}

bool pam_conv_req_body(kyl_xdr_t *x, api_pam_conv_req_t *r)
{
    return kyl_xdr_i32(x, &r->msg_count) &&
           kyl_xdr_varbuf(x, &r->enc_conv_req_msg, &r->enc_conv_req_msglen, KYLGW_MAX_PAM_CONV);
}
void pam_conv_req_clear(api_pam_conv_req_t *r)
{
    r->enc_conv_req_msg = nullptr;
}

bool pam_conv_rply_body(kyl_xdr_t *x, api_pam_conv_rply_t *r)
{
    return kyl_xdr_i32(x, &r->reply_count) &&
           kyl_xdr_varbuf(x, &r->enc_conv_reply_msg, &r->enc_conv_reply_msglen, KYLGW_MAX_PAM_CONV);
}
void pam_conv_rply_clear(api_pam_conv_rply_t *r)
{
    r->enc_conv_reply_msg = nullptr;
}

} // namespace

bool xdr_api_exchg_sec_params_req_t(kyl_xdr_t *x, api_exchg_sec_params_req_t *r)
{
    return kyl_xdr_u32(x, &r->auth_types) && kyl_xdr_u32(x, &r->cipher_types) && kyl_xdr_u32(x, &r->res1) &&
           kyl_xdr_u32(x, &r->res2) && kyl_xdr_u32(x, &r->res3) && kyl_xdr_u32(x, &r->res4);
}

bool xdr_api_exchg_sec_params_rply_t(kyl_xdr_t *x, api_exchg_sec_params_rply_t *r)
{
    return kyl_xdr_u32(x, &r->auth_type) && kyl_xdr_u32(x, &r->cipher) && kyl_xdr_u32(x, &r->res1) &&
           kyl_xdr_u32(x, &r->res2) && kyl_xdr_u32(x, &r->res3) && kyl_xdr_u32(x, &r->res4);
}

bool xdr_api_get_dh_params_rply_t(kyl_xdr_t *x, api_get_dh_params_rply_t *r)
{
    return guarded(x, r, dh_params_body, dh_params_clear);
}

bool xdr_api_exchg_pubkey_t(kyl_xdr_t *x, api_exchg_pubkey_t *r)
{
    return guarded(x, r, pubkey_body, pubkey_clear);
}

bool xdr_api_login_combo_t(kyl_xdr_t *x, api_login_combo_t *r)
{
    return kyl_xdr_u32(x, &r->prot_ver_major) && kyl_xdr_u32(x, &r->prot_ver_minor) && kyl_xdr_u32(x, &r->client_pid) &&
           kyl_xdr_u32(x, &r->cipher_types) && kyl_xdr_i32(x, &r->max_retries) &&
           kyl_xdr_fixed_opaque(x, r->username, sizeof r->username);
}

bool xdr_api_login_pam_t(kyl_xdr_t *x, api_login_pam_t *r)
{
    return guarded(x, r, login_pam_body, login_pam_clear);
}

bool xdr_api_login_keytab_t(kyl_xdr_t *x, api_login_keytab_t *r)
{
    return guarded(x, r, login_keytab_body, login_keytab_clear);
}

bool xdr_api_login_reconnect_t(kyl_xdr_t *x, api_login_reconnect_t *r)
{
    return guarded(x, r, login_reconnect_body, login_reconnect_clear);
}

bool xdr_api_login_rply_t(kyl_xdr_t *x, api_login_rply_t *r)
{
    return guarded(x, r, login_rply_body, login_rply_clear);
}

bool xdr_api_auth_challenge_rsp_req_t(kyl_xdr_t *x, api_auth_challenge_rsp_req_t *r)
{
    return guarded(x, r, challenge_req_body, challenge_req_clear);
}

bool xdr_api_auth_challenge_rsp_rply_t(kyl_xdr_t *x, api_auth_challenge_rsp_rply_t *r)
{
    return guarded(x, r, challenge_rply_body, challenge_rply_clear);
}

bool xdr_api_pam_conv_req_t(kyl_xdr_t *x, api_pam_conv_req_t *r)
{
    return guarded(x, r, pam_conv_req_body, pam_conv_req_clear);
}

bool xdr_api_pam_conv_rply_t(kyl_xdr_t *x, api_pam_conv_rply_t *r)
{
    return guarded(x, r, pam_conv_rply_body, pam_conv_rply_clear);
}

namespace {

#define AUTH_ROW(fn, name, reqT, reqF, rplyT, rplyF)                                                                   \
    {                                                                                                                  \
        CAT_AUTH, fn, name, KYL_XDRPROC(reqT, reqF), sizeof(reqT), KYL_XDRPROC(rplyT, rplyF), sizeof(rplyT)            \
    }

const kylgw_msgtype_t authRows[] = {
    AUTH_ROW(FN_AUTH_SEC_PARAMS, "getSecurityParams", api_exchg_sec_params_req_t, xdr_api_exchg_sec_params_req_t,
             api_exchg_sec_params_rply_t, xdr_api_exchg_sec_params_rply_t),
    {CAT_AUTH, FN_AUTH_DH_PARAMS, "genSessionKey:dh_params", nullptr, 0,
     KYL_XDRPROC(api_get_dh_params_rply_t, xdr_api_get_dh_params_rply_t), sizeof(api_get_dh_params_rply_t)},
    AUTH_ROW(FN_AUTH_PUBKEY, "genSessionKey:pubkey", api_exchg_pubkey_req_t, xdr_api_exchg_pubkey_t,
             api_exchg_pubkey_rply_t, xdr_api_exchg_pubkey_t),
    // Sent by the server during a PAM login; the body travels in the
    // server-to-client direction, hence in the reply column.
    {CAT_AUTH, FN_AUTH_PAM_CONV_REQ, "nx_pam_auth:conv_req", nullptr, 0,
     KYL_XDRPROC(api_pam_conv_req_t, xdr_api_pam_conv_req_t), sizeof(api_pam_conv_req_t)},
    {CAT_AUTH, FN_AUTH_PAM_CONV_RPLY, "nx_pam_auth:conv_rply",
     KYL_XDRPROC(api_pam_conv_rply_t, xdr_api_pam_conv_rply_t), sizeof(api_pam_conv_rply_t), nullptr, 0},
    AUTH_ROW(FN_AUTH_LOGIN_RECONNECT, "kylgw_RetryLogin", api_login_reconnect_t, xdr_api_login_reconnect_t,
             api_login_rply_t, xdr_api_login_rply_t),
    AUTH_ROW(FN_AUTH_LOGIN_PAM, "nx_pam_auth", api_login_pam_t, xdr_api_login_pam_t, api_login_rply_t,
             xdr_api_login_rply_t),
    AUTH_ROW(FN_AUTH_LOGIN_KEYTAB, "nx_keytab_auth", api_login_keytab_t, xdr_api_login_keytab_t, api_login_rply_t,
             xdr_api_login_rply_t),
    AUTH_ROW(FN_AUTH_LOGIN_COMBO, "nx_combo_auth", api_login_combo_t, xdr_api_login_combo_t, api_login_rply_t,
             xdr_api_login_rply_t),
    AUTH_ROW(FN_AUTH_CHALLENGE_RSP, "nx_combo_auth:challenge_rsp", api_auth_challenge_rsp_req_t,
             xdr_api_auth_challenge_rsp_req_t, api_auth_challenge_rsp_rply_t, xdr_api_auth_challenge_rsp_rply_t),
};

#undef AUTH_ROW

} // namespace

const kylgw_msgtable_t kylgw_auth_msgtable = {authRows, sizeof authRows / sizeof authRows[0]};
