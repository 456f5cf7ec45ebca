// Authentication bodies: golden bytes typed from the wire layouts of the
// logins, their reply, the challenge response, the Diffie-Hellman numbers
// and the PAM conversation; round trips of every record; every truncation
// of a valid body failing without leaving memory behind; lengths past their
// caps refused before the bytes are read.  The sanitizer build checks that
// KYL_XDR_FREE releases everything a decode allocated.

#include "codec_testutil.h"
#include "kyl_xdr.h"
#include "kylgw_catalogue.h"
#include "kylgw_msg.h"
#include "kylgw_xdr_auth.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace codectest;

std::string text(const unsigned char *p, uint32_t n)
{
    return p == nullptr ? std::string() : std::string(reinterpret_cast<const char *>(p), n);
}

// The scrambled 257-byte name field holding "alice": 5 bytes, 252 zero
// bytes of the field and 3 of padding.
Bytes aliceField()
{
    return cat(hex("61 6c 69 63 65"), Bytes(252 + 3, 0));
}

// ---------------------------------------------------------------------------
// Golden bytes

TEST(AuthGolden, SecurityParamsRequestAndReplyAreSixWords)
{
    api_exchg_sec_params_req_t q{0x250, 2, 0, 0, 0, 0};
    EXPECT_EQ(encodeOk(xdr_api_exchg_sec_params_req_t, &q),
              hex("00 00 02 50 00 00 00 02 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));

    const Bytes reply = hex("00 00 02 00 00 00 00 02 00 00 00 0a 00 00 00 0b 00 00 00 0c 00 00 00 0d");
    api_exchg_sec_params_rply_t r{};
    ASSERT_TRUE(decodeAll(xdr_api_exchg_sec_params_rply_t, reply, &r));
    EXPECT_EQ(r.auth_type, 0x200u);
    EXPECT_EQ(r.cipher, 2u);
    EXPECT_EQ(r.res1, 10u);
    EXPECT_EQ(r.res4, 13u);
    expectEveryCutFails(xdr_api_exchg_sec_params_rply_t, reply, Start::stale);
}

TEST(AuthGolden, DhParamsAreTwoLengthPrefixedNumbers)
{
    const Bytes wire = hex("00 00 00 05 ff ff ff ff fb 00 00 00"  // p: 5 bytes, 3 padding
                           "00 00 00 01 02 00 00 00");            // g: 1 byte, 3 padding
    api_get_dh_params_rply_t r{};
    ASSERT_TRUE(decodeAll(xdr_api_get_dh_params_rply_t, wire, &r));
    EXPECT_EQ(r.bn_p_len, 5);
    EXPECT_EQ(text(r.bn_p, 5), std::string("\xff\xff\xff\xff\xfb", 5));
    EXPECT_EQ(r.bn_g_len, 1);
    ASSERT_NE(r.bn_g, nullptr);
    EXPECT_EQ(r.bn_g[0], 2);
    EXPECT_EQ(encodeOk(xdr_api_get_dh_params_rply_t, &r), wire);
    EXPECT_TRUE(release(xdr_api_get_dh_params_rply_t, &r));
    EXPECT_EQ(r.bn_p, nullptr);
    EXPECT_EQ(r.bn_g, nullptr);
    expectEveryCutFails(xdr_api_get_dh_params_rply_t, wire, Start::stale);
}

TEST(AuthGolden, CombologinPadsTheNameFieldTo260Bytes)
{
    api_login_combo_t c{};
    c.prot_ver_major = KYLGW_PROT_MAJOR;
    c.prot_ver_minor = KYLGW_PROT_MINOR;
    c.client_pid = 0x1234;
    c.cipher_types = 2;
    c.max_retries = 3;
    memcpy(c.username, "alice", 5);
    const Bytes want = cat(hex("00 00 00 43 00 00 00 02 00 00 12 34 00 00 00 02 00 00 00 03"), aliceField());
    Bytes got = encodeOk(xdr_api_login_combo_t, &c);
    ASSERT_EQ(got.size(), 20u + 260u);
    EXPECT_EQ(got, want);

    api_login_combo_t d{};
    ASSERT_TRUE(decodeAll(xdr_api_login_combo_t, want, &d));
    EXPECT_EQ(d.client_pid, 0x1234u);
    EXPECT_EQ(d.max_retries, 3);
    EXPECT_EQ(memcmp(d.username, c.username, sizeof c.username), 0);
    expectEveryCutFails(xdr_api_login_combo_t, want, Start::stale);
}

TEST(AuthGolden, KeytabLoginCarriesItsBytesAfterTheKeyVersion)
{
    unsigned char keytab[] = {0xde, 0xad, 0xbe, 0xef, 0x01};
    api_login_keytab_t k{};
    k.prot_ver_major = 67;
    k.prot_ver_minor = 2;
    k.client_pid = 99;
    k.flags = 0;
    k.cipher_type = 2;
    memcpy(k.principal, "alice", 5);
    k.keytab_size = sizeof keytab;
    k.key_version = 7;
    k.keytab = keytab;
    const Bytes want = cat(cat(hex("00 00 00 43 00 00 00 02 00 00 00 63 00 00 00 00 00 00 00 02"), aliceField()),
                           hex("00 00 00 05"               // keytab_size
                               "00 00 00 07"               // key_version
                               "de ad be ef 01 00 00 00"));  // the keytab, padded
    EXPECT_EQ(encodeOk(xdr_api_login_keytab_t, &k), want);

    api_login_keytab_t d{};
    ASSERT_TRUE(decodeAll(xdr_api_login_keytab_t, want, &d));
    EXPECT_EQ(d.keytab_size, 5u);
    EXPECT_EQ(d.key_version, 7u);
    EXPECT_EQ(text(d.keytab, d.keytab_size), text(keytab, sizeof keytab));
    EXPECT_TRUE(release(xdr_api_login_keytab_t, &d));
    EXPECT_EQ(d.keytab, nullptr);
    expectEveryCutFails(xdr_api_login_keytab_t, want, Start::stale);
}

TEST(AuthGolden, PamLoginEndsWithTheEncipheredName)
{
    unsigned char name[] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    api_login_pam_t p{67, 2, 0x0a0b, 2, 2, 3, sizeof name, name};
    const Bytes want = hex("00 00 00 43 00 00 00 02 00 00 0a 0b 00 00 00 02 00 00 00 02 00 00 00 03"
                           "00 00 00 06 10 20 30 40 50 60 00 00");
    EXPECT_EQ(encodeOk(xdr_api_login_pam_t, &p), want);
    expectEveryCutFails(xdr_api_login_pam_t, want, Start::stale);
}

TEST(AuthGolden, ReconnectLoginCarriesPacketAndSignature)
{
    unsigned char packet[] = {1, 2, 3, 4};
    unsigned char hmac[] = {0xee, 0xdd};
    api_login_reconnect_t r{67, 2, 5, sizeof packet, packet, sizeof hmac, hmac};
    const Bytes want = hex("00 00 00 43 00 00 00 02 00 00 00 05"
                           "00 00 00 04 01 02 03 04"
                           "00 00 00 02 ee dd 00 00");
    EXPECT_EQ(encodeOk(xdr_api_login_reconnect_t, &r), want);
    expectEveryCutFails(xdr_api_login_reconnect_t, want, Start::stale);
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

TEST(AuthGolden, LoginReplyWithUserTextAndRetryPacket)
{
    const Bytes wire = hex(kLoginReplyHex);
    api_login_rply_t r{};
    r.salt_len = 4;  // in memory only: the codec leaves it alone
    ASSERT_TRUE(decodeAll(xdr_api_login_rply_t, wire, &r));
    EXPECT_EQ(r.flags, KYLGW_LOGINF_RETRY_LATER);
    EXPECT_EQ(r.error_code, -43000);
    EXPECT_EQ(r.retry_count, 3);
    EXPECT_EQ(r.retry_time, 0x0000000100000002ull);
    EXPECT_EQ(r.expire_time, 28800u);
    EXPECT_EQ(r.challenge_size, 0u);
    EXPECT_EQ(r.challenge, nullptr);
    EXPECT_EQ(text(r.user_msg_buf, r.user_msg_len), "hello");
    EXPECT_EQ(text(r.retry_packet, r.retry_packet_len), "\xaa\xbb\xcc");
    EXPECT_EQ(r.hmac_len, 0u);
    EXPECT_EQ(r.hmac_packet, nullptr);
    EXPECT_EQ(r.salt_len, 4);
    EXPECT_EQ(encodeOk(xdr_api_login_rply_t, &r), wire);
    EXPECT_TRUE(release(xdr_api_login_rply_t, &r));
    EXPECT_EQ(r.user_msg_buf, nullptr);
    EXPECT_EQ(r.retry_packet, nullptr);
    expectEveryCutFails(xdr_api_login_rply_t, wire, Start::stale);
}

TEST(AuthGolden, ChallengeResponseRequestAndReply)
{
    unsigned char resp[] = {'p', 'w', 0};
    api_auth_challenge_rsp_req_t q{sizeof resp, resp};
    const Bytes req = hex("00 00 00 03 70 77 00 00");
    EXPECT_EQ(encodeOk(xdr_api_auth_challenge_rsp_req_t, &q), req);
    expectEveryCutFails(xdr_api_auth_challenge_rsp_req_t, req, Start::stale);

    // The challenge bytes come after the salt, away from their length word.
    const Bytes reply = hex("00 00 00 02"                 // retries
                            "00 00 01 00"                 // expire_time
                            "00 00 00 03"                 // challenge_size
                            "00 00 00 08"                 // salt_len
                            "01 02 03 04 05 06 07 08"     // salt
                            "c1 c2 c3 00");               // challenge, padded
    api_auth_challenge_rsp_rply_t r{};
    ASSERT_TRUE(decodeAll(xdr_api_auth_challenge_rsp_rply_t, reply, &r));
    EXPECT_EQ(r.retries, 2);
    EXPECT_EQ(r.expire_time, 256u);
    EXPECT_EQ(r.salt_len, 8);
    EXPECT_EQ(r.salt[0], 1);
    EXPECT_EQ(r.salt[7], 8);
    EXPECT_EQ(text(r.challenge, r.challenge_size), "\xc1\xc2\xc3");
    EXPECT_EQ(encodeOk(xdr_api_auth_challenge_rsp_rply_t, &r), reply);
    EXPECT_TRUE(release(xdr_api_auth_challenge_rsp_rply_t, &r));
    expectEveryCutFails(xdr_api_auth_challenge_rsp_rply_t, reply, Start::stale);

    // Without a challenge the reply ends after the salt.
    api_auth_challenge_rsp_rply_t none{0, 0, 0, 0, {}, nullptr};
    EXPECT_EQ(encodeOk(xdr_api_auth_challenge_rsp_rply_t, &none), Bytes(24, 0));
}

TEST(AuthGolden, PamConversationRequestAndReply)
{
    const Bytes wire = hex("00 00 00 02"                 // msg_count
                           "00 00 00 05 01 02 03 04 05 00 00 00");
    api_pam_conv_req_t r{};
    ASSERT_TRUE(decodeAll(xdr_api_pam_conv_req_t, wire, &r));
    EXPECT_EQ(r.msg_count, 2);
    EXPECT_EQ(text(r.enc_conv_req_msg, r.enc_conv_req_msglen), "\x01\x02\x03\x04\x05");
    EXPECT_TRUE(release(xdr_api_pam_conv_req_t, &r));
    EXPECT_EQ(r.enc_conv_req_msg, nullptr);
    expectEveryCutFails(xdr_api_pam_conv_req_t, wire, Start::stale);

    // The count is not the codec's to judge: 33 messages still decode, the
    // client refuses them after deciphering.
    api_pam_conv_req_t many{};
    ASSERT_TRUE(decodeAll(xdr_api_pam_conv_req_t, hex("00 00 00 21 00 00 00 00"), &many));
    EXPECT_EQ(many.msg_count, 33);

    unsigned char packed[16] = {0, 0, 0, 4, 0, 0, 0, 0, 'a', 'b', 'c', 0};
    api_pam_conv_rply_t a{1, 12, packed};
    EXPECT_EQ(encodeOk(xdr_api_pam_conv_rply_t, &a),
              hex("00 00 00 01 00 00 00 0c 00 00 00 04 00 00 00 00 61 62 63 00"));
}

TEST(AuthGolden, PublicKeyIsOneLengthPrefixedNumber)
{
    unsigned char key[] = {0x7f, 0x01, 0x02};
    api_exchg_pubkey_req_t k{3, key};
    const Bytes wire = hex("00 00 00 03 7f 01 02 00");
    EXPECT_EQ(encodeOk(xdr_api_exchg_pubkey_t, &k), wire);
    expectEveryCutFails(xdr_api_exchg_pubkey_t, wire, Start::stale);
}

// ---------------------------------------------------------------------------
// Round trips of every record

TEST(AuthRoundTrip, EveryRecordSurvivesEncodeDecodeEncode)
{
    unsigned char a[40], b[17], c[3];
    for (size_t i = 0; i < sizeof a; i++)
        a[i] = static_cast<unsigned char>(i * 7 + 1);
    memcpy(b, a, sizeof b);
    memcpy(c, a + 5, sizeof c);

    api_exchg_sec_params_req_t sq{1, 2, 3, 4, 5, 6};
    roundTrip(xdr_api_exchg_sec_params_req_t, &sq);
    api_exchg_sec_params_rply_t sr{7, 8, 9, 10, 11, 12};
    roundTrip(xdr_api_exchg_sec_params_rply_t, &sr);
    api_get_dh_params_rply_t dh{sizeof a, a, sizeof c, c};
    roundTrip(xdr_api_get_dh_params_rply_t, &dh);
    api_exchg_pubkey_t pk{sizeof b, b};
    roundTrip(xdr_api_exchg_pubkey_t, &pk);

    api_login_combo_t lc{};
    lc.prot_ver_major = 67;
    lc.max_retries = -1;
    memset(lc.username, 0x5a, sizeof lc.username);  // a scrambled field uses every byte
    roundTrip(xdr_api_login_combo_t, &lc);

    api_login_pam_t lp{67, 2, 3, 4, 5, 6, sizeof a, a};
    roundTrip(xdr_api_login_pam_t, &lp);

    api_login_keytab_t lk{};
    lk.keytab_size = sizeof b;
    lk.keytab = b;
    lk.key_version = 0xfffffffe;
    memset(lk.principal, 0xc3, sizeof lk.principal);
    roundTrip(xdr_api_login_keytab_t, &lk);

    api_login_reconnect_t lr{67, 2, 3, sizeof c, c, sizeof b, b};
    roundTrip(xdr_api_login_reconnect_t, &lr);

    api_login_rply_t rp{};
    rp.flags = KYLGW_LOGINF_PAM_FINAL | KYLGW_LOGINF_STOP;
    rp.error_code = -1;
    rp.retry_time = 0xfedcba9876543210ull;
    rp.challenge_size = sizeof c;
    rp.challenge = c;
    rp.user_msg_len = sizeof a;
    rp.user_msg_buf = a;
    rp.retry_packet_len = sizeof b;
    rp.retry_packet = b;
    rp.hmac_len = sizeof c;
    rp.hmac_packet = c;
    roundTrip(xdr_api_login_rply_t, &rp);

    api_auth_challenge_rsp_req_t cq{sizeof a, a};
    roundTrip(xdr_api_auth_challenge_rsp_req_t, &cq);
    api_auth_challenge_rsp_rply_t cr{-3, 5, sizeof b, 3, {9, 8, 7, 6, 5, 4, 3, 2}, b};
    roundTrip(xdr_api_auth_challenge_rsp_rply_t, &cr);

    api_pam_conv_req_t pq{-5, sizeof a, a};
    roundTrip(xdr_api_pam_conv_req_t, &pq);
    api_pam_conv_rply_t pr{4, sizeof c, c};
    roundTrip(xdr_api_pam_conv_rply_t, &pr);
}

// ---------------------------------------------------------------------------
// Caps

// The login reply with its user text length word replaced: the first 44
// bytes are the fixed part and the empty challenge.
Bytes loginReplyWithUserLength(uint32_t len, size_t trailing)
{
    Bytes b = hex(kLoginReplyHex);
    b.resize(40);
    b.push_back(static_cast<unsigned char>(len >> 24));
    b.push_back(static_cast<unsigned char>(len >> 16));
    b.push_back(static_cast<unsigned char>(len >> 8));
    b.push_back(static_cast<unsigned char>(len));
    b.insert(b.end(), trailing, 'x');
    return b;
}

TEST(AuthCaps, LengthsPastTheirCapsAreRefusedBeforeTheBytesAreRead)
{
    // Exactly at the cap the user text decodes (followed by empty retry
    // packet and signature); one byte more, or a huge length, is refused
    // right after the length word.
    Bytes atCap = loginReplyWithUserLength(KYLGW_MAX_USER_MSG, KYLGW_MAX_USER_MSG);
    atCap.insert(atCap.end(), 8, 0);
    api_login_rply_t r{};
    ASSERT_TRUE(decodeAll(xdr_api_login_rply_t, atCap, &r));
    EXPECT_EQ(r.user_msg_len, KYLGW_MAX_USER_MSG);
    EXPECT_TRUE(release(xdr_api_login_rply_t, &r));

    for (uint32_t len : {KYLGW_MAX_USER_MSG + 1, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        Bytes over = loginReplyWithUserLength(len, 64);
        api_login_rply_t o{};
        size_t left = 0;
        EXPECT_FALSE(decodeAll(xdr_api_login_rply_t, over, &o, &left)) << len;
        EXPECT_EQ(left, 64u) << "bytes read after a refused length " << len;
        EXPECT_EQ(o.user_msg_buf, nullptr);
        EXPECT_TRUE(release(xdr_api_login_rply_t, &o));
    }
}

TEST(AuthCaps, SeparatedLengthWordsAreCheckedBeforeTheFieldsBetween)
{
    // Keytab: the size is refused before key_version is read.
    Bytes k = cat(cat(hex("00 00 00 43 00 00 00 02 00 00 00 63 00 00 00 00 00 00 00 02"), aliceField()),
                  hex("ff ff ff f0 00 00 00 07"));
    api_login_keytab_t kt{};
    size_t left = 0;
    EXPECT_FALSE(decodeAll(xdr_api_login_keytab_t, k, &kt, &left));
    EXPECT_EQ(left, 4u);
    EXPECT_EQ(kt.keytab, nullptr);

    // Challenge reply: the challenge size is refused before the salt.
    Bytes c = hex("00 00 00 01 00 00 00 01 00 00 10 01 00 00 00 00 00 00 00 00 00 00 00 00");
    api_auth_challenge_rsp_rply_t cr{};
    EXPECT_FALSE(decodeAll(xdr_api_auth_challenge_rsp_rply_t, c, &cr, &left));
    EXPECT_EQ(left, 12u);

    // A salt length outside 0..8 is refused.
    for (const char *salt : {"00 00 00 09", "ff ff ff ff"}) {
        Bytes s = cat(cat(hex("00 00 00 01 00 00 00 01 00 00 00 00"), hex(salt)), Bytes(8, 0));
        api_auth_challenge_rsp_rply_t sr{};
        EXPECT_FALSE(decodeAll(xdr_api_auth_challenge_rsp_rply_t, s, &sr)) << salt;
    }
}

// prefix, a length word len, len bytes with padding, then suffix.
Bytes withLength(const Bytes &prefix, uint32_t len, const Bytes &suffix)
{
    Bytes b = prefix;
    b.push_back(static_cast<unsigned char>(len >> 24));
    b.push_back(static_cast<unsigned char>(len >> 16));
    b.push_back(static_cast<unsigned char>(len >> 8));
    b.push_back(static_cast<unsigned char>(len));
    b.insert(b.end(), (len + 3) & ~3u, 0x11);
    return cat(b, suffix);
}

// True when b decodes completely into a fresh record (released again).
template <typename T>
bool decodes(bool (*fn)(kyl_xdr_t *, T *), const Bytes &b)
{
    T r{};
    bool ok = decodeAll(fn, b, &r);
    EXPECT_TRUE(release(fn, &r));
    return ok;
}

// Each field decodes at its cap and is refused one byte over it.
template <typename T>
void expectCap(bool (*fn)(kyl_xdr_t *, T *), const Bytes &prefix, uint32_t cap, const Bytes &suffix,
               const char *what)
{
    EXPECT_TRUE(decodes(fn, withLength(prefix, cap, suffix))) << what;
    EXPECT_FALSE(decodes(fn, withLength(prefix, cap + 1, suffix))) << what;
}

TEST(AuthCaps, EachVariableFieldHasItsOwnCap)
{
    const Bytes none = hex("00 00 00 00");
    expectCap(xdr_api_get_dh_params_rply_t, Bytes(), KYLGW_MAX_DH_BYTES, none, "dh prime");
    expectCap(xdr_api_get_dh_params_rply_t, none, KYLGW_MAX_DH_BYTES, Bytes(), "dh generator");
    expectCap(xdr_api_exchg_pubkey_t, Bytes(), KYLGW_MAX_DH_BYTES, Bytes(), "public key");

    const Bytes pamHead = hex("00 00 00 43 00 00 00 02 00 00 00 01 00 00 00 02 00 00 00 02 00 00 00 03");
    expectCap(xdr_api_login_pam_t, pamHead, KYLGW_MAX_ENC_USERNAME, Bytes(), "enciphered user name");

    const Bytes reconnectHead = hex("00 00 00 43 00 00 00 02 00 00 00 01");
    expectCap(xdr_api_login_reconnect_t, reconnectHead, KYLGW_MAX_RETRY_PACKET, none, "reconnect packet");
    expectCap(xdr_api_login_reconnect_t, cat(reconnectHead, none), KYLGW_MAX_HMAC, Bytes(), "reconnect hmac");

    expectCap(xdr_api_auth_challenge_rsp_req_t, Bytes(), KYLGW_MAX_CHALLENGE_RSP, Bytes(), "challenge response");
    expectCap(xdr_api_pam_conv_req_t, hex("00 00 00 01"), KYLGW_MAX_PAM_CONV, Bytes(), "conversation request");
    expectCap(xdr_api_pam_conv_rply_t, hex("00 00 00 01"), KYLGW_MAX_PAM_CONV, Bytes(), "conversation reply");

    // The login reply's four byte fields, each with the others empty.
    Bytes fixed = hex(kLoginReplyHex);
    fixed.resize(36);
    expectCap(xdr_api_login_rply_t, fixed, KYLGW_MAX_CHALLENGE, cat(none, cat(none, none)), "login challenge");
    expectCap(xdr_api_login_rply_t, cat(fixed, none), KYLGW_MAX_USER_MSG, cat(none, none), "login user text");
    expectCap(xdr_api_login_rply_t, cat(fixed, cat(none, none)), KYLGW_MAX_RETRY_PACKET, none, "login packet");
    expectCap(xdr_api_login_rply_t, cat(fixed, cat(none, cat(none, none))), KYLGW_MAX_HMAC, Bytes(), "login hmac");

    // The separated fields: keytab bytes after key_version, challenge bytes
    // after the salt.
    const Bytes keytabHead = cat(hex("00 00 00 43 00 00 00 02 00 00 00 63 00 00 00 00 00 00 00 02"), aliceField());
    auto keytab = [&](uint32_t len) {
        Bytes b = withLength(keytabHead, len, Bytes());
        Bytes version = hex("00 00 00 01");
        b.insert(b.begin() + static_cast<long>(keytabHead.size() + 4), version.begin(), version.end());
        return b;
    };
    EXPECT_TRUE(decodes(xdr_api_login_keytab_t, keytab(KYLGW_MAX_KEYTAB)));
    EXPECT_FALSE(decodes(xdr_api_login_keytab_t, keytab(KYLGW_MAX_KEYTAB + 1)));
    auto challenge = [](uint32_t len) {
        Bytes b = withLength(hex("00 00 00 01 00 00 00 01"), len, Bytes());
        Bytes salt = cat(hex("00 00 00 00"), Bytes(8, 0));
        b.insert(b.begin() + 12, salt.begin(), salt.end());
        return b;
    };
    EXPECT_TRUE(decodes(xdr_api_auth_challenge_rsp_rply_t, challenge(KYLGW_MAX_CHALLENGE)));
    EXPECT_FALSE(decodes(xdr_api_auth_challenge_rsp_rply_t, challenge(KYLGW_MAX_CHALLENGE + 1)));
}

TEST(AuthCaps, EncodingRefusesWhatTheDecoderWouldRefuse)
{
    api_auth_challenge_rsp_req_t big{KYLGW_MAX_CHALLENGE_RSP + 1, nullptr};
    std::vector<unsigned char> mem(KYLGW_MAX_CHALLENGE_RSP + 1, 'p');
    big.response = mem.data();
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

// ---------------------------------------------------------------------------
// Catalogue rows

TEST(AuthCatalogue, EveryAuthenticationFunctionHasItsRow)
{
    struct Want {
        uint16_t fn;
        bool request, reply;
    };
    const Want wants[] = {
        {FN_AUTH_SEC_PARAMS, true, true},     {FN_AUTH_DH_PARAMS, false, true},
        {FN_AUTH_PUBKEY, true, true},         {FN_AUTH_PAM_CONV_REQ, false, true},
        {FN_AUTH_PAM_CONV_RPLY, true, false}, {FN_AUTH_LOGIN_RECONNECT, true, true},
        {FN_AUTH_LOGIN_PAM, true, true},      {FN_AUTH_LOGIN_KEYTAB, true, true},
        {FN_AUTH_LOGIN_COMBO, true, true},    {FN_AUTH_CHALLENGE_RSP, true, true},
    };
    EXPECT_EQ(kylgw_auth_msgtable.count, sizeof wants / sizeof wants[0]);
    for (const Want &w : wants) {
        const kylgw_msgtype_t *row = kylgw_LookupMsgType(CAT_AUTH, w.fn);
        ASSERT_NE(row, nullptr) << w.fn;
        EXPECT_EQ(row->request != nullptr, w.request) << w.fn;
        EXPECT_EQ(row->reply != nullptr, w.reply) << w.fn;
    }
    // The login rows all answer with the login reply; the conversation
    // request travels in the reply column.
    EXPECT_EQ(kylgw_LookupMsgType(CAT_AUTH, FN_AUTH_LOGIN_COMBO)->replySize, sizeof(api_login_rply_t));
    EXPECT_EQ(kylgw_LookupMsgType(CAT_AUTH, FN_AUTH_LOGIN_KEYTAB)->requestSize, sizeof(api_login_keytab_t));
    EXPECT_EQ(kylgw_LookupMsgType(CAT_AUTH, FN_AUTH_PAM_CONV_REQ)->replySize, sizeof(api_pam_conv_req_t));
    EXPECT_EQ(kylgw_LookupMsgType(CAT_AUTH, 17), nullptr);

    // The row's codec is the one for its record: the conversation request
    // row decodes the golden conversation request.
    const Bytes wire = hex("00 00 00 02 00 00 00 05 01 02 03 04 05 00 00 00");
    api_pam_conv_req_t r{};
    kyl_xdr_memsource src(wire.data(), wire.size());
    kyl_xdr_t x;
    kyl_xdr_create_decode(&x, &src);
    ASSERT_TRUE(kylgw_LookupMsgType(CAT_AUTH, FN_AUTH_PAM_CONV_REQ)->reply(&x, &r));
    EXPECT_EQ(src.left, 0u);
    EXPECT_EQ(r.enc_conv_req_msglen, 5u);
    kyl_xdr_free(kylgw_LookupMsgType(CAT_AUTH, FN_AUTH_PAM_CONV_REQ)->reply, &r);
    EXPECT_EQ(r.enc_conv_req_msg, nullptr);
}

} // namespace
