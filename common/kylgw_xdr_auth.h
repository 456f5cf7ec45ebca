#ifndef KYLGW_XDR_AUTH_H
#define KYLGW_XDR_AUTH_H

// Bodies of the authentication messages (category 512), shared by the
// client library and kylgwd: security parameters, Diffie-Hellman
// parameters and public keys, the four logins and their common reply, the
// challenge response and the PAM conversation.  Every variable byte field is
// a length word and the bytes; a decoder refuses a length above the field's
// cap before allocating, allocates the bytes with malloc and releases them
// under KYL_XDR_FREE.  A failed decode releases what it allocated and leaves
// every pointer of the record null.  The category's catalogue rows are
// kylgw_auth_msgtable (kylgw_catalogue.h).  No locks: a record belongs to
// one thread.
//
// Results: every codec (xdr_*) returns true when the record was encoded,
// decoded or freed whole and false otherwise; the other calls say theirs.

#include <cstdint>

#include "kyl_xdr.h"

// Function codes of the authentication category (CAT_AUTH).
constexpr uint16_t FN_AUTH_SEC_PARAMS = 16;    // security parameter exchange
constexpr uint16_t FN_AUTH_DH_PARAMS = 18;     // Diffie-Hellman parameters (no request body)
constexpr uint16_t FN_AUTH_PUBKEY = 20;        // public key exchange
constexpr uint16_t FN_AUTH_PAM_CONV_REQ = 32;  // server-originated PAM conversation request
constexpr uint16_t FN_AUTH_PAM_CONV_RPLY = 33; // client's task reply to a conversation request
constexpr uint16_t FN_AUTH_LOGIN_RECONNECT = 128;
constexpr uint16_t FN_AUTH_LOGIN_PAM = 256;
constexpr uint16_t FN_AUTH_LOGIN_KEYTAB = 259;
constexpr uint16_t FN_AUTH_LOGIN_COMBO = 260;
constexpr uint16_t FN_AUTH_CHALLENGE_RSP = 304;

// Fixed fields.
constexpr size_t KYLGW_AUTH_NAME_SIZE = 257; // scrambled user name / principal field (260 on the wire)
constexpr size_t KYLGW_AUTH_SALT_SIZE = 8;   // salt of a challenge response reply

// Caps on variable fields, checked by encoder and decoder alike.
constexpr uint32_t KYLGW_MAX_DH_BYTES = 1024;      // a Diffie-Hellman number (prime, generator, key)
constexpr uint32_t KYLGW_MAX_ENC_USERNAME = 1024;  // enciphered user name of a PAM login
constexpr uint32_t KYLGW_MAX_KEYTAB = 64 * 1024;   // keytab contents as sent
constexpr uint32_t KYLGW_MAX_USER_MSG = 4096;      // user text of a login reply
constexpr uint32_t KYLGW_MAX_RETRY_PACKET = 1024;  // reconnect packet
constexpr uint32_t KYLGW_MAX_HMAC = 1024;          // signature of the reconnect packet
constexpr uint32_t KYLGW_MAX_CHALLENGE = 4096;     // challenge bytes of a reply
constexpr uint32_t KYLGW_MAX_CHALLENGE_RSP = 4096; // response of a challenge response request
constexpr uint32_t KYLGW_MAX_PAM_CONV = 64 * 1024; // enciphered PAM conversation data

// Bits of api_login_rply_t.flags.
constexpr uint32_t KYLGW_LOGINF_SESSION_KEY = 0x1u;        // the client must establish a session key
constexpr uint32_t KYLGW_LOGINF_CLEAR_PASSWORD = 0x2u;     // the combo password goes in clear
constexpr uint32_t KYLGW_LOGINF_PAM_CONV = 0x20u;          // a PAM conversation request follows
constexpr uint32_t KYLGW_LOGINF_PAM_FINAL = 0x80000000u;   // final reply of a PAM login
constexpr uint32_t KYLGW_LOGINF_RETRY_LATER = 0x40000000u; // close, wait until retry_time, reconnect
constexpr uint32_t KYLGW_LOGINF_STOP = 0x20000000u;        // try no further methods

// 16: six words each way.
struct api_exchg_sec_params_req_t {
    uint32_t auth_types;
    uint32_t cipher_types;
    uint32_t res1, res2, res3, res4;
};
bool xdr_api_exchg_sec_params_req_t(kyl_xdr_t *x, api_exchg_sec_params_req_t *r);

struct api_exchg_sec_params_rply_t {
    uint32_t auth_type;
    uint32_t cipher;
    uint32_t res1, res2, res3, res4;
};
bool xdr_api_exchg_sec_params_rply_t(kyl_xdr_t *x, api_exchg_sec_params_rply_t *r);

// 18 reply: prime and generator as big-endian numbers of at most
// KYLGW_MAX_DH_BYTES each.
struct api_get_dh_params_rply_t {
    int32_t bn_p_len;
    unsigned char *bn_p;
    int32_t bn_g_len;
    unsigned char *bn_g;
};
bool xdr_api_get_dh_params_rply_t(kyl_xdr_t *x, api_get_dh_params_rply_t *r);

// 20 request and reply: a public key, at most KYLGW_MAX_DH_BYTES.
struct api_exchg_pubkey_t {
    int32_t pubkey_len;
    unsigned char *bn_pubkey;
};
typedef api_exchg_pubkey_t api_exchg_pubkey_req_t;
typedef api_exchg_pubkey_t api_exchg_pubkey_rply_t;
bool xdr_api_exchg_pubkey_t(kyl_xdr_t *x, api_exchg_pubkey_t *r);

// 260: combo login; username is the scrambled 257-byte field.
struct api_login_combo_t {
    uint32_t prot_ver_major;
    uint32_t prot_ver_minor;
    uint32_t client_pid;
    uint32_t cipher_types;
    int32_t max_retries;
    unsigned char username[KYLGW_AUTH_NAME_SIZE];
};
bool xdr_api_login_combo_t(kyl_xdr_t *x, api_login_combo_t *r);

// 256: PAM login; the enciphered user name is a length word and its bytes.
struct api_login_pam_t {
    uint32_t prot_ver_major;
    uint32_t prot_ver_minor;
    uint32_t client_pid;
    uint32_t cipher_types;
    uint32_t enc_cipher_type;
    int32_t max_retries;
    uint32_t enc_username_size;
    unsigned char *enc_username;
};
bool xdr_api_login_pam_t(kyl_xdr_t *x, api_login_pam_t *r);

// 259: keytab login.  The keytab bytes follow key_version, not their length
// word: keytab_size, key_version, then keytab_size bytes.
struct api_login_keytab_t {
    uint32_t prot_ver_major;
    uint32_t prot_ver_minor;
    uint32_t client_pid;
    uint32_t flags;
    uint32_t cipher_type;
    unsigned char principal[KYLGW_AUTH_NAME_SIZE];
    uint32_t keytab_size;
    uint32_t key_version;
    unsigned char *keytab;
};
bool xdr_api_login_keytab_t(kyl_xdr_t *x, api_login_keytab_t *r);

// 128: reconnect login with the retry packet and its signature saved from
// an earlier login reply.
struct api_login_reconnect_t {
    uint32_t prot_ver_major;
    uint32_t prot_ver_minor;
    uint32_t client_pid;
    uint32_t retry_packet_len;
    unsigned char *retry_packet;
    uint32_t hmac_len;
    unsigned char *hmac_packet;
};
bool xdr_api_login_reconnect_t(kyl_xdr_t *x, api_login_reconnect_t *r);

// Reply of every login.  salt_len and salt are kept in memory only (not on
// the wire); the codec leaves them alone.
struct api_login_rply_t {
    uint32_t flags;
    uint32_t brx_plugin_flags;
    int32_t error_code;
    int32_t retry_count;
    uint64_t retry_time;
    uint32_t expire_time;
    uint32_t cipher_types;
    uint32_t cipher_to_use;
    uint32_t challenge_size;
    unsigned char *challenge;
    uint32_t user_msg_len;
    unsigned char *user_msg_buf; // the bytes as sent, not NUL-terminated
    uint32_t retry_packet_len;
    unsigned char *retry_packet;
    uint32_t hmac_len;
    unsigned char *hmac_packet;
    int32_t salt_len;
    unsigned char salt[KYLGW_AUTH_SALT_SIZE];
};
bool xdr_api_login_rply_t(kyl_xdr_t *x, api_login_rply_t *r);

// 304 request: the (usually enciphered) password response.
struct api_auth_challenge_rsp_req_t {
    uint32_t response_size;
    unsigned char *response;
};
bool xdr_api_auth_challenge_rsp_req_t(kyl_xdr_t *x, api_auth_challenge_rsp_req_t *r);

// 304 reply.  The challenge bytes follow the salt, not their length word;
// salt_len counts the meaningful salt bytes (0..8) and is checked as such.
struct api_auth_challenge_rsp_rply_t {
    int32_t retries;
    uint32_t expire_time;
    uint32_t challenge_size;
    int32_t salt_len;
    unsigned char salt[KYLGW_AUTH_SALT_SIZE];
    unsigned char *challenge;
};
bool xdr_api_auth_challenge_rsp_rply_t(kyl_xdr_t *x, api_auth_challenge_rsp_rply_t *r);

// 32 (server to client): msg_count is passed through unchecked, the client
// judges it after deciphering the data.
struct api_pam_conv_req_t {
    int32_t msg_count;
    uint32_t enc_conv_req_msglen;
    unsigned char *enc_conv_req_msg;
};
bool xdr_api_pam_conv_req_t(kyl_xdr_t *x, api_pam_conv_req_t *r);

// 33 (client to server, task message).
struct api_pam_conv_rply_t {
    int32_t reply_count;
    uint32_t enc_conv_reply_msglen;
    unsigned char *enc_conv_reply_msg;
};
bool xdr_api_pam_conv_rply_t(kyl_xdr_t *x, api_pam_conv_rply_t *r);

#endif
