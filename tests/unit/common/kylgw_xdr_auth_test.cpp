// Authentication bodies: golden bytes typed from the wire layouts of the
// logins, their reply, the challenge response, the Diffie-Hellman numbers
// and the PAM conversation; lengths past their caps refused before the
// bytes are read.

#include "codec_testutil.h"
#include "kyl_xdr.h"
#include "kylgw_msg.h"
#include "kylgw_xdr_auth.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using namespace codectest;

// The scrambled 257-byte name field holding "alice": 5 bytes, 252 zero
// bytes of the field and 3 of padding.
Bytes aliceField()
{
    return hex("61 6c 69 63 65") + Bytes(252 + 3, 0);
}

// A keytab login up to its keytab size.
Bytes keytabHead()
{
    return hex("00 00 00 43 00 00 00 02 00 00 00 63 00 00 00 00 00 00 00 02") + aliceField();
}

// A retry-later refusal: code -43000, user text "hello", a 3-byte retry
// packet, no challenge and no signature.
const char *const kLoginReplyHex = "40 00 00 00"               // flags: retry later
                                   "00 00 00 00"               // brx_plugin_flags
                                   "ff ff 58 08"               // error_code -43000
                                   "00 00 00 03"               // retry_count
                                   "00 00 00 01 00 00 00 02"   // retry_time, high word first
                                   "00 00 70 80"               // expire_time 28800
                                   "00 00 00 02"               // cipher_types
                                   "00 00 00 02"               // cipher_to_use
                                   "00 00 00 00"               // challenge_size
                                   "00 00 00 05 68 65 6c 6c 6f 00 00 00"  // user text
                                   "00 00 00 03 aa bb cc 00"   // retry packet
                                   "00 00 00 00";              // hmac_len

TEST(AuthGolden, EveryRecordInWireOrder)
{
    api_exchg_sec_params_req_t q{0x250, 2, 0, 0, 0, 0};
    expectGolden(xdr_api_exchg_sec_params_req_t, &q,
                 hex("00 00 02 50 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"), true);
    api_exchg_sec_params_rply_t sr{0x200, 2, 10, 11, 12, 13};
    expectGolden(xdr_api_exchg_sec_params_rply_t, &sr,
                 hex("00 00 02 00 00 00 00 02 00 00 00 0a 00 00 00 0b 00 00 00 0c 00 00 00 0d"), true);

    // Diffie-Hellman numbers and the public key: length-prefixed, padded.
    unsigned char p[] = {0xff, 0xff, 0xff, 0xff, 0xfb}, g[] = {2}, key[] = {0x7f, 0x01, 0x02};
    api_get_dh_params_rply_t dh{5, p, 1, g};
    expectGolden(xdr_api_get_dh_params_rply_t, &dh, hex("00 00 00 05 ff ff ff ff fb 00 00 00 00 00 00 01 02 00 00 00"),
                 true);
    api_exchg_pubkey_req_t k{3, key};
    expectGolden(xdr_api_exchg_pubkey_t, &k, hex("00 00 00 03 7f 01 02 00"), true);

    // Logins: the scrambled 257-byte name field is padded to 260 bytes.
    api_login_combo_t c{};
    c.prot_ver_major = KYLGW_PROT_MAJOR;
    c.prot_ver_minor = KYLGW_PROT_MINOR;
    c.client_pid = 0x1234;
    c.cipher_types = 2;
    c.max_retries = 3;
    memcpy(c.username, "alice", 5);
    expectGolden(xdr_api_login_combo_t, &c,
                 hex("00 00 00 43 00 00 00 02 00 00 12 34 00 00 00 02 00 00 00 03") + aliceField(), true);

    unsigned char keytab[] = {0xde, 0xad, 0xbe, 0xef, 0x01};
    api_login_keytab_t kt{};
    kt.prot_ver_major = 67;
    kt.prot_ver_minor = 2;
    kt.client_pid = 99;
    kt.cipher_type = 2;
    memcpy(kt.principal, "alice", 5);
    kt.keytab_size = sizeof keytab;
    kt.key_version = 7;
    kt.keytab = keytab;
    expectGolden(xdr_api_login_keytab_t, &kt,
                 keytabHead() + hex("00 00 00 05"                 // keytab_size
                                    "00 00 00 07"                 // key_version
                                    "de ad be ef 01 00 00 00"),   // the keytab, padded
                 true);

    unsigned char name[] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    api_login_pam_t pam{67, 2, 0x0a0b, 2, 2, 3, sizeof name, name};
    expectGolden(xdr_api_login_pam_t, &pam,
                 hex("00 00 00 43 00 00 00 02 00 00 0a 0b 00 00 00 02 00 00 00 02 00 00 00 03"
                     "00 00 00 06 10 20 30 40 50 60 00 00"),
                 true);

    unsigned char packet[] = {1, 2, 3, 4}, hmac[] = {0xee, 0xdd};
    api_login_reconnect_t rc{67, 2, 5, sizeof packet, packet, sizeof hmac, hmac};
    expectGolden(xdr_api_login_reconnect_t, &rc,
                 hex("00 00 00 43 00 00 00 02 00 00 00 05 00 00 00 04 01 02 03 04 00 00 00 02 ee dd 00 00"), true);

    // The login reply: a retry-later refusal with user text and retry packet.
    unsigned char hello[] = {'h', 'e', 'l', 'l', 'o'}, retry[] = {0xaa, 0xbb, 0xcc};
    api_login_rply_t lr{};
    lr.flags = KYLGW_LOGINF_RETRY_LATER;
    lr.error_code = -43000;
    lr.retry_count = 3;
    lr.retry_time = 0x0000000100000002ull;
    lr.expire_time = 28800;
    lr.cipher_types = 2;
    lr.cipher_to_use = 2;
    lr.user_msg_len = sizeof hello;
    lr.user_msg_buf = hello;
    lr.retry_packet_len = sizeof retry;
    lr.retry_packet = retry;
    expectGolden(xdr_api_login_rply_t, &lr, hex(kLoginReplyHex), true);

    // Challenge response; the reply's challenge bytes come after the salt.
    unsigned char resp[] = {'p', 'w', 0}, chal[] = {0xc1, 0xc2, 0xc3};
    api_auth_challenge_rsp_req_t cq{sizeof resp, resp};
    expectGolden(xdr_api_auth_challenge_rsp_req_t, &cq, hex("00 00 00 03 70 77 00 00"), true);
    api_auth_challenge_rsp_rply_t cr{2, 256, 3, 8, {1, 2, 3, 4, 5, 6, 7, 8}, chal};
    expectGolden(xdr_api_auth_challenge_rsp_rply_t, &cr,
                 hex("00 00 00 02"                // retries
                     "00 00 01 00"                // expire_time
                     "00 00 00 03"                // challenge_size
                     "00 00 00 08"                // salt_len
                     "01 02 03 04 05 06 07 08"    // salt
                     "c1 c2 c3 00"),              // challenge, padded
                 true);
    api_auth_challenge_rsp_rply_t none{0, 0, 0, 0, {}, nullptr};
    expectGolden(xdr_api_auth_challenge_rsp_rply_t, &none, Bytes(24, 0), true);

    // The PAM conversation; its message count is the client's to judge.
    unsigned char conv[] = {1, 2, 3, 4, 5};
    api_pam_conv_req_t pr{2, sizeof conv, conv};
    expectGolden(xdr_api_pam_conv_req_t, &pr, hex("00 00 00 02 00 00 00 05 01 02 03 04 05 00 00 00"), true);
    EXPECT_TRUE(decodes(xdr_api_pam_conv_req_t, hex("00 00 00 21 00 00 00 00")));
    unsigned char packed[12] = {0, 0, 0, 4, 0, 0, 0, 0, 'a', 'b', 'c', 0};
    api_pam_conv_rply_t pa{1, 12, packed};
    expectGolden(xdr_api_pam_conv_rply_t, &pa, hex("00 00 00 01 00 00 00 0c 00 00 00 04 00 00 00 00 61 62 63 00"),
                 true);
}

// The login reply up to its user text: the fixed part and an empty challenge.
Bytes loginReplyHead()
{
    Bytes b = hex(kLoginReplyHex);
    b.resize(40);
    return b;
}

TEST(AuthCaps, EachLengthIsRefusedOverItsCapAtItsWord)
{
    // Each variable field decodes at its cap and is refused one byte over
    // it, with the other fields empty.
    const Bytes none = hex("00 00 00 00"), head = loginReplyHead(), fixed(head.begin(), head.begin() + 36);
    const Bytes pamHead = hex("00 00 00 43 00 00 00 02 00 00 00 01 00 00 00 02 00 00 00 02 00 00 00 03");
    const Bytes reconnectHead = hex("00 00 00 43 00 00 00 02 00 00 00 01");
    expectCap(xdr_api_get_dh_params_rply_t, Bytes(), KYLGW_MAX_DH_BYTES, none, "dh prime");
    expectCap(xdr_api_get_dh_params_rply_t, none, KYLGW_MAX_DH_BYTES, Bytes(), "dh generator");
    expectCap(xdr_api_exchg_pubkey_t, Bytes(), KYLGW_MAX_DH_BYTES, Bytes(), "public key");
    expectCap(xdr_api_login_pam_t, pamHead, KYLGW_MAX_ENC_USERNAME, Bytes(), "enciphered user name");
    expectCap(xdr_api_login_reconnect_t, reconnectHead, KYLGW_MAX_RETRY_PACKET, none, "reconnect packet");
    expectCap(xdr_api_login_reconnect_t, reconnectHead + none, KYLGW_MAX_HMAC, Bytes(), "reconnect hmac");
    expectCap(xdr_api_auth_challenge_rsp_req_t, Bytes(), KYLGW_MAX_CHALLENGE_RSP, Bytes(), "challenge response");
    expectCap(xdr_api_pam_conv_req_t, hex("00 00 00 01"), KYLGW_MAX_PAM_CONV, Bytes(), "conversation request");
    expectCap(xdr_api_pam_conv_rply_t, hex("00 00 00 01"), KYLGW_MAX_PAM_CONV, Bytes(), "conversation reply");
    expectCap(xdr_api_login_rply_t, fixed, KYLGW_MAX_CHALLENGE, none + none + none, "login challenge");
    expectCap(xdr_api_login_rply_t, fixed + none, KYLGW_MAX_USER_MSG, none + none, "login user text");
    expectCap(xdr_api_login_rply_t, fixed + none + none, KYLGW_MAX_RETRY_PACKET, none, "login packet");
    expectCap(xdr_api_login_rply_t, fixed + none + none + none, KYLGW_MAX_HMAC, Bytes(), "login hmac");

    // A huge user text length is refused right after its word.
    for (uint32_t len : {KYLGW_MAX_USER_MSG + 1, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        api_login_rply_t o{};
        size_t left = 0;
        EXPECT_FALSE(decodeAll(xdr_api_login_rply_t, loginReplyHead() + word(len) + Bytes(64, 'x'), &o, &left));
        EXPECT_EQ(left, 64u) << len;
        EXPECT_EQ(o.user_msg_buf, nullptr);
        EXPECT_TRUE(release(xdr_api_login_rply_t, &o));
    }
    // Lengths separated from their bytes are checked at their words: the
    // keytab size before key_version, the challenge size before the salt.
    api_login_keytab_t kt{};
    size_t left = 0;
    EXPECT_FALSE(decodeAll(xdr_api_login_keytab_t, keytabHead() + hex("ff ff ff f0 00 00 00 07"), &kt, &left));
    EXPECT_EQ(left, 4u);
    EXPECT_EQ(kt.keytab, nullptr);
    for (uint32_t len : {KYLGW_MAX_KEYTAB, KYLGW_MAX_KEYTAB + 1})
        EXPECT_EQ(decodes(xdr_api_login_keytab_t,
                          keytabHead() + word(len) + hex("00 00 00 01") + Bytes((len + 3) & ~3u, 0x11)),
                  len == KYLGW_MAX_KEYTAB);
    api_auth_challenge_rsp_rply_t cr{};
    EXPECT_FALSE(decodeAll(xdr_api_auth_challenge_rsp_rply_t,
                           hex("00 00 00 01 00 00 00 01 00 00 10 01 00 00 00 00 00 00 00 00 00 00 00 00"), &cr, &left));
    EXPECT_EQ(left, 12u);
    for (uint32_t len : {KYLGW_MAX_CHALLENGE, KYLGW_MAX_CHALLENGE + 1})
        EXPECT_EQ(decodes(xdr_api_auth_challenge_rsp_rply_t,
                          hex("00 00 00 01 00 00 00 01") + word(len) + none + Bytes(8, 0) + Bytes((len + 3) & ~3u, 1)),
                  len == KYLGW_MAX_CHALLENGE);
    // A salt length outside 0..8.
    for (const char *salt : {"00 00 00 09", "ff ff ff ff"})
        EXPECT_FALSE(decodes(xdr_api_auth_challenge_rsp_rply_t,
                             hex("00 00 00 01 00 00 00 01 00 00 00 00") + hex(salt) + Bytes(8, 0)))
            << salt;
}

TEST(AuthCaps, EncodingRefusesWhatTheDecoderWouldRefuse)
{
    std::vector<unsigned char> mem(KYLGW_MAX_CHALLENGE_RSP + 1, 'p');
    api_auth_challenge_rsp_req_t big{KYLGW_MAX_CHALLENGE_RSP + 1, mem.data()};
    EXPECT_FALSE(encodes(xdr_api_auth_challenge_rsp_req_t, &big));
    api_login_keytab_t kt{};
    kt.keytab_size = 4;  // a size without bytes
    EXPECT_FALSE(encodes(xdr_api_login_keytab_t, &kt));
    api_exchg_pubkey_t neg{-1, nullptr};
    EXPECT_FALSE(encodes(xdr_api_exchg_pubkey_t, &neg));
    api_auth_challenge_rsp_rply_t salt{};
    salt.salt_len = 9;
    EXPECT_FALSE(encodes(xdr_api_auth_challenge_rsp_rply_t, &salt));
}

} // namespace
