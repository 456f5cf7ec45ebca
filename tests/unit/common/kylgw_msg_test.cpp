// Golden bytes of the message header, the connection bodies and the XDR
// primitives.  Every expected byte string below is typed from the wire
// layouts, not produced by the codec: the client and kylgwd share these
// routines, so a symmetric encoding fault would pass any round trip.

#include "codec_testutil.h"
#include "kyl_xdr.h"
#include "kylgw_msg.h"
#include "quor_sockaddr.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace codectest;

// Typed wrappers so that primitives with extra arguments fit the helpers.
struct Str8 {
    char buf[9];
};
bool xdrStr8(kyl_xdr_t *x, Str8 *s)
{
    return kyl_xdr_counted_string(x, s->buf, 8);
}

struct User257 {
    unsigned char name[257];
};
bool xdrUser257(kyl_xdr_t *x, User257 *u)
{
    return kyl_xdr_fixed_opaque(x, u->name, sizeof u->name);
}

struct Var8 {
    unsigned char *buf;
    uint32_t len;
};
bool xdrVar8(kyl_xdr_t *x, Var8 *v)
{
    return kyl_xdr_varbuf(x, &v->buf, &v->len, 8);
}

struct Path {
    char buf[KYLGW_MAX_PATH + 2];
};
bool xdrPath(kyl_xdr_t *x, Path *p)
{
    return kyl_xdr_string(x, p->buf, sizeof p->buf, KYLGW_MAX_PATH);
}

bool xdrMode(kyl_xdr_t *x, uint32_t *m)
{
    return kyl_xdr_mode(x, m);
}

// ---------------------------------------------------------------------------
// Header

const char *const kHeaderHex = "41 50 49 5f 4d 53 47 48"  // "API_MSGH"
                               "01 02 03 04"              // msgRequestID
                               "80 00 00 02"              // msgFlags
                               "5f 5e 0f f0"              // msgTime
                               "0a 0b 0c 0d"              // threadID
                               "00 00 05 00"              // category 1280
                               "00 00 12 07"              // function 4615
                               "ff ff ff ea";             // errorcode -22

TEST(MsgHeader, EncodesThirtySixBytesInFieldOrder)
{
    api_msghdr_t h;
    kylgw_BuildMsgHdr(&h, 0x01020304, MSGF_BODY | MSGF_TOKEN_NEXT, 0x5f5e0ff0, 0x0a0b0c0d, CAT_FILESYS, 4615, -22);
    Bytes b = encodeOk(nx_xdr_api_msghdr_t, &h);
    ASSERT_EQ(b.size(), KYLGW_MSGHDR_SIZE);
    EXPECT_EQ(b, hex(kHeaderHex));
}

TEST(MsgHeader, DecodesEveryFieldAndRejectsCutsAndWideShorts)
{
    Bytes b = hex(kHeaderHex);
    api_msghdr_t h{};
    ASSERT_TRUE(decodeAll(nx_xdr_api_msghdr_t, b, &h));
    EXPECT_TRUE(kylgw_MsgHdrSane(&h));
    EXPECT_EQ(h.msgRequestID, 0x01020304u);
    EXPECT_EQ(h.msgFlags, 0x80000002u);
    EXPECT_EQ(h.msgTime, 0x5f5e0ff0u);
    EXPECT_EQ(h.threadID, 0x0a0b0c0du);
    EXPECT_EQ(h.category, 1280);
    EXPECT_EQ(h.function, 4615);
    EXPECT_EQ(h.errorcode, -22);
    expectEveryCutFails(nx_xdr_api_msghdr_t, b);

    // A 16-bit field whose 4-byte unit has a nonzero upper half is not a
    // valid category or function.
    for (size_t at : {size_t{24}, size_t{28}}) {
        Bytes bad = b;
        bad[at + 1] = 0x01;
        api_msghdr_t g{};
        EXPECT_FALSE(decodeAll(nx_xdr_api_msghdr_t, bad, &g)) << "offset " << at;
    }
}

TEST(MsgHeader, SanityFailsOnAnyChangedByte)
{
    api_msghdr_t h;
    kylgw_BuildMsgHdr(&h, 1, 0, 0, 0, CAT_CONNECTION, FN_SITE_INFO, 0);
    ASSERT_TRUE(kylgw_MsgHdrSane(&h));
    for (size_t i = 0; i < sizeof h.sanity; i++) {
        api_msghdr_t g = h;
        g.sanity[i] ^= 0x01;
        EXPECT_FALSE(kylgw_MsgHdrSane(&g)) << "byte " << i;
    }
}

// ---------------------------------------------------------------------------
// Connection bodies

TEST(ConnectionBodies, GreetingIsSixWords)
{
    api_server_state_rply_t g{67, 2, 7, 8, 9, 1};
    const Bytes want = hex("00 00 00 43 00 00 00 02 00 00 00 07 00 00 00 08 00 00 00 09 00 00 00 01");
    EXPECT_EQ(encodeOk(xdr_api_server_state_rply_t, &g), want);
    api_server_state_rply_t d{};
    ASSERT_TRUE(decodeAll(xdr_api_server_state_rply_t, want, &d));
    EXPECT_EQ(d.sv_prot_major, 67u);
    EXPECT_EQ(d.sv_patch, 9u);
    EXPECT_EQ(d.quorDownFlag, 1u);
    expectEveryCutFails(xdr_api_server_state_rply_t, want);
}

TEST(ConnectionBodies, SiteInfoRequestIsProtocolLevel)
{
    api_site_info_req_t r{KYLGW_PROT_MAJOR, KYLGW_PROT_MINOR};
    const Bytes want = hex("00 00 00 43 00 00 00 02");
    EXPECT_EQ(encodeOk(xdr_api_site_info_req_t, &r), want);
    expectEveryCutFails(xdr_api_site_info_req_t, want);
}

// Each field gets its own value so that two swapped fields show.
api_site_info_rply_t numberedSiteInfo()
{
    api_site_info_rply_t r{};
    r.server_flags = 0x101;
    r.server_runmode = 0x102;
    r.sv_major = 0x103;
    r.sv_minor = 0x104;
    r.sv_patch = 0x105;
    r.sv_prot_major = 0x106;
    r.sv_prot_minor = 0x107;
    r.quor_level = 0x108;
    r.site_quor_flags = 0x109;
    r.quor_patch_flags = 0x10a;
    r.auth_flags = 0x10b;
    r.auth_crypto_card = 0x10c;
    r.encryption_methods = 0x10d;
    r.port_min = 0x10e;
    r.port_max = 0x10f;
    r.realm_id = 0x110;
    r.authz_flags = 0x111;
    r.authz_rsrved1 = 0x112;
    r.authz_rsrved2 = 0x113;
    r.accounting_style = 0x114;
    r.acct_validation_flag = 0x115;
    r.max_bg_stages = -2;
    r.max_mbytes_per_iod = 0x117;
    r.app_copies = 0x118;
    r.rootUid = 0x119;
    r.umask = 0x11a;
    r.max_bg_vvs = 0x11b;
    r.bg_stage_flags = 0x11c;
    r.startupCOS = 0x11d;
    r.future5 = 0x11e;
    r.future6 = 0x11f;
    r.future7 = 0x120;
    r.future8 = 0x121;
    r.future9 = 0x122;
    return r;
}

const char *const kSiteInfoHex = "00 00 01 01 00 00 01 02 00 00 01 03 00 00 01 04"
                                 "00 00 01 05 00 00 01 06 00 00 01 07 00 00 01 08"
                                 "00 00 01 09 00 00 01 0a 00 00 01 0b 00 00 01 0c"
                                 "00 00 01 0d 00 00 01 0e 00 00 01 0f 00 00 01 10"
                                 "00 00 01 11 00 00 01 12 00 00 01 13 00 00 01 14"
                                 "00 00 01 15 ff ff ff fe 00 00 01 17 00 00 01 18"
                                 "00 00 01 19 00 00 01 1a 00 00 01 1b 00 00 01 1c"
                                 "00 00 01 1d 00 00 01 1e 00 00 01 1f 00 00 01 20"
                                 "00 00 01 21 00 00 01 22";

TEST(ConnectionBodies, SiteInfoReplyIs34WordsWithSignedStageCount)
{
    api_site_info_rply_t r = numberedSiteInfo();
    Bytes b = encodeOk(xdr_api_site_info_rply_t, &r);
    ASSERT_EQ(b.size(), 136u);
    EXPECT_EQ(b, hex(kSiteInfoHex));

    api_site_info_rply_t d{};
    ASSERT_TRUE(decodeAll(xdr_api_site_info_rply_t, hex(kSiteInfoHex), &d));
    EXPECT_EQ(d.max_bg_stages, -2);
    EXPECT_EQ(d.server_runmode, 0x102u);
    EXPECT_EQ(d.max_mbytes_per_iod, 0x117u);
    EXPECT_EQ(d.startupCOS, 0x11du);
    EXPECT_EQ(d.future9, 0x122u);
    EXPECT_EQ(memcmp(&d, &r, sizeof d), 0);
    expectEveryCutFails(xdr_api_site_info_rply_t, hex(kSiteInfoHex));
}

// ---------------------------------------------------------------------------
// Primitives

TEST(XdrCountedString, LengthCountsTheNulUpToTheBufferSize)
{
    Str8 s{};
    strcpy(s.buf, "abcdefg");  // 7 characters + NUL = 8 = max
    const Bytes atMax = hex("00 00 00 08 61 62 63 64 65 66 67 00");
    EXPECT_EQ(encodeOk(xdrStr8, &s), atMax);

    strcpy(s.buf, "abcd");  // 5 bytes, 3 of padding
    const Bytes padded = hex("00 00 00 05 61 62 63 64 00 00 00 00");
    EXPECT_EQ(encodeOk(xdrStr8, &s), padded);

    strcpy(s.buf, "abcdefgh");  // the NUL does not fit in 8
    bool ok = true;
    encode(xdrStr8, &s, &ok);
    EXPECT_FALSE(ok);

    Str8 d{};
    ASSERT_TRUE(decodeAll(xdrStr8, atMax, &d));
    EXPECT_STREQ(d.buf, "abcdefg");
    expectEveryCutFails(xdrStr8, atMax);

    // One over the buffer, a zero length and a negative length fail.
    EXPECT_FALSE(decodeAll(xdrStr8, hex("00 00 00 09 61 62 63 64 65 66 67 68 00 00 00 00"), &d));
    EXPECT_FALSE(decodeAll(xdrStr8, hex("00 00 00 00"), &d));
    EXPECT_FALSE(decodeAll(xdrStr8, hex("ff ff ff fc 61 62 63 00"), &d));

    // The last byte is forced to NUL whatever the peer sent.
    ASSERT_TRUE(decodeAll(xdrStr8, hex("00 00 00 03 61 62 63 00"), &d));
    EXPECT_STREQ(d.buf, "ab");
}

TEST(XdrFixedOpaque, A257ByteFieldIsPaddedTo260)
{
    User257 u;
    for (size_t i = 0; i < sizeof u.name; i++)
        u.name[i] = static_cast<unsigned char>(i * 7 + 1);
    Bytes b = encodeOk(xdrUser257, &u);
    ASSERT_EQ(b.size(), 260u);
    EXPECT_EQ(b[0], 0x01);
    EXPECT_EQ(b[255], static_cast<unsigned char>(255 * 7 + 1));
    EXPECT_EQ(b[256], static_cast<unsigned char>(256 * 7 + 1));
    EXPECT_EQ(b[257], 0);
    EXPECT_EQ(b[258], 0);
    EXPECT_EQ(b[259], 0);

    User257 d{};
    ASSERT_TRUE(decodeAll(xdrUser257, b, &d));
    EXPECT_EQ(memcmp(d.name, u.name, sizeof u.name), 0);
    expectEveryCutFails(xdrUser257, b);
}

TEST(XdrVarbuf, LengthBytesPaddingAndCap)
{
    unsigned char data[5] = {1, 2, 3, 4, 5};
    Var8 v{data, 5};
    const Bytes want = hex("00 00 00 05 01 02 03 04 05 00 00 00");
    EXPECT_EQ(encodeOk(xdrVar8, &v), want);

    Var8 d{};
    ASSERT_TRUE(decodeAll(xdrVar8, want, &d));
    ASSERT_NE(d.buf, nullptr);
    EXPECT_EQ(d.len, 5u);
    EXPECT_EQ(memcmp(d.buf, data, 5), 0);
    kyl_xdr_free(KYL_XDRPROC(Var8, xdrVar8), &d);
    EXPECT_EQ(d.buf, nullptr);
    expectEveryCutFails(xdrVar8, want);

    // Zero length: no bytes, no allocation.
    Var8 z{};
    ASSERT_TRUE(decodeAll(xdrVar8, hex("00 00 00 00"), &z));
    EXPECT_EQ(z.buf, nullptr);
    EXPECT_EQ(z.len, 0u);

    // Cap + 1 with all its bytes present fails: the cap, not the cut.
    Var8 over{};
    EXPECT_FALSE(decodeAll(xdrVar8, hex("00 00 00 09 01 02 03 04 05 06 07 08 09 00 00 00"), &over));
    EXPECT_EQ(over.buf, nullptr);
    unsigned char nine[9] = {};
    Var8 big{nine, 9};
    bool ok = true;
    encode(xdrVar8, &big, &ok);
    EXPECT_FALSE(ok);
}

TEST(XdrPathString, AtMost1024BytesWithoutNul)
{
    Path p{};
    strcpy(p.buf, "/ab");
    const Bytes small = hex("00 00 00 03 2f 61 62 00");
    EXPECT_EQ(encodeOk(xdrPath, &p), small);
    Path d{};
    ASSERT_TRUE(decodeAll(xdrPath, small, &d));
    EXPECT_STREQ(d.buf, "/ab");
    expectEveryCutFails(xdrPath, small);

    memset(p.buf, 'a', KYLGW_MAX_PATH);
    p.buf[KYLGW_MAX_PATH] = '\0';
    Bytes max = encodeOk(xdrPath, &p);
    ASSERT_EQ(max.size(), 4u + 1024u);
    EXPECT_EQ(Bytes(max.begin(), max.begin() + 4), hex("00 00 04 00"));
    ASSERT_TRUE(decodeAll(xdrPath, max, &d));
    EXPECT_EQ(strlen(d.buf), 1024u);

    p.buf[KYLGW_MAX_PATH] = 'a';  // 1025 characters
    p.buf[KYLGW_MAX_PATH + 1] = '\0';
    bool ok = true;
    encode(xdrPath, &p, &ok);
    EXPECT_FALSE(ok);

    Bytes over = hex("00 00 04 01");
    over.resize(4 + 1028, 'a');
    EXPECT_FALSE(decodeAll(xdrPath, over, &d));
}

struct ModePair {
    uint32_t posix;
    uint32_t interchange;
};

TEST(XdrMode, InterchangeTableBothWays)
{
    const ModePair table[] = {
        {0100644, 0x20000 | 0644},  {0040755, 0x10000 | 0755}, {0060600, 0x8000 | 0600},
        {0020620, 0x4000 | 0620},   {0010644, 0x2000 | 0644},  {0120777, 0x1000 | 0777},
        {0104755, 0x20000 | 0x9ed}, {0102711, 0x20000 | 0x5c9}, {0041777, 0x10000 | 0x3ff},
        {0000000, 0},
    };
    for (const ModePair &m : table) {
        EXPECT_EQ(kyl_mode_to_interchange(m.posix), m.interchange) << std::oct << m.posix;
        EXPECT_EQ(kyl_mode_from_interchange(m.interchange), m.posix) << std::hex << m.interchange;
    }
    // A socket has no interchange type: only its permission bits travel.
    EXPECT_EQ(kyl_mode_to_interchange(0140755), 0755u);

    uint32_t mode = 0100644;
    EXPECT_EQ(encodeOk(xdrMode, &mode), hex("00 02 01 a4"));
    uint32_t d = 0;
    ASSERT_TRUE(decodeAll(xdrMode, hex("00 01 01 ed"), &d));
    EXPECT_EQ(d, 040755u);
}

TEST(XdrSockaddrStorage, Ipv4AndIpv6Forms)
{
    sockaddr_storage ss{};
    auto *in = reinterpret_cast<sockaddr_in *>(&ss);
    in->sin_family = AF_INET;
    in->sin_port = htons(1217);
    ASSERT_EQ(inet_pton(AF_INET, "192.0.2.1", &in->sin_addr), 1);
    const Bytes v4 = hex("00 00 00 04 00 00 04 c1 c0 00 02 01");
    EXPECT_EQ(encodeOk(kyl_xdr_sockaddr_storage, &ss), v4);
    sockaddr_storage d{};
    ASSERT_TRUE(decodeAll(kyl_xdr_sockaddr_storage, v4, &d));
    EXPECT_EQ(memcmp(&d, &ss, sizeof(sockaddr_in)), 0);
    expectEveryCutFails(kyl_xdr_sockaddr_storage, v4);

    sockaddr_storage s6{};
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&s6);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(8080);
    in6->sin6_flowinfo = htonl(0x12345);
    in6->sin6_scope_id = 3;
    ASSERT_EQ(inet_pton(AF_INET6, "2001:db8::1", &in6->sin6_addr), 1);
    const Bytes v6 = hex("00 00 00 06 00 00 1f 90"
                         "20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 01"
                         "00 01 23 45 00 00 00 03");
    EXPECT_EQ(encodeOk(kyl_xdr_sockaddr_storage, &s6), v6);
    ASSERT_TRUE(decodeAll(kyl_xdr_sockaddr_storage, v6, &d));
    EXPECT_EQ(memcmp(&d, &s6, sizeof(sockaddr_in6)), 0);
    expectEveryCutFails(kyl_xdr_sockaddr_storage, v6);

    sockaddr_storage un{};
    un.ss_family = AF_UNIX;
    bool ok = true;
    encode(kyl_xdr_sockaddr_storage, &un, &ok);
    EXPECT_FALSE(ok);
    EXPECT_FALSE(decodeAll(kyl_xdr_sockaddr_storage, hex("00 00 00 05 00 00 04 c1 c0 00 02 01"), &d));
}

TEST(XdrQuorSockaddr, Ipv4Ipv6AndNone)
{
    quor_sockaddr_t a{};
    auto *in = reinterpret_cast<sockaddr_in *>(&a.hs_addr);
    in->sin_family = AF_INET;
    in->sin_port = htons(1217);
    ASSERT_EQ(inet_pton(AF_INET, "192.0.2.1", &in->sin_addr), 1);
    a.hs_addrlen = sizeof(sockaddr_in);
    const Bytes v4 = hex("00 00 00 01 c0 00 02 01 00 00 04 c1");
    EXPECT_EQ(encodeOk(kyl_xdr_quor_sockaddr, &a), v4);
    quor_sockaddr_t d{};
    ASSERT_TRUE(decodeAll(kyl_xdr_quor_sockaddr, v4, &d));
    EXPECT_EQ(d.hs_addrlen, sizeof(sockaddr_in));
    EXPECT_EQ(memcmp(&d.hs_addr, &a.hs_addr, sizeof(sockaddr_in)), 0);
    expectEveryCutFails(kyl_xdr_quor_sockaddr, v4);

    quor_sockaddr_t a6{};
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&a6.hs_addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(8080);
    ASSERT_EQ(inet_pton(AF_INET6, "2001:db8::1", &in6->sin6_addr), 1);
    a6.hs_addrlen = sizeof(sockaddr_in6);
    const Bytes v6 = hex("00 00 00 03 20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 01 00 00 1f 90");
    EXPECT_EQ(encodeOk(kyl_xdr_quor_sockaddr, &a6), v6);
    ASSERT_TRUE(decodeAll(kyl_xdr_quor_sockaddr, v6, &d));
    EXPECT_EQ(d.hs_addrlen, sizeof(sockaddr_in6));
    EXPECT_EQ(memcmp(&d.hs_addr, &a6.hs_addr, sizeof(sockaddr_in6)), 0);
    expectEveryCutFails(kyl_xdr_quor_sockaddr, v6);

    quor_sockaddr_t none{};
    EXPECT_EQ(encodeOk(kyl_xdr_quor_sockaddr, &none), hex("00 00 00 00"));
    quor_sockaddr_t stale = a6;  // decoding "none" clears a used record
    ASSERT_TRUE(decodeAll(kyl_xdr_quor_sockaddr, hex("00 00 00 00"), &stale));
    quor_sockaddr_t zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&stale, &zero, sizeof zero), 0);

    EXPECT_FALSE(decodeAll(kyl_xdr_quor_sockaddr, hex("00 00 00 02 c0 00 02 01 00 00 04 c1"), &d));
    // The port is a 16-bit value: a wide unit is refused.
    EXPECT_FALSE(decodeAll(kyl_xdr_quor_sockaddr, hex("00 00 00 01 c0 00 02 01 00 01 04 c1"), &d));
}

TEST(XdrUuid, TwentyEightBytes)
{
    kyl_uuid_t u{0x01234567, 0x89ab, 0xcdef, 0x81, 0x42, {1, 2, 3, 4, 5, 6}};
    const Bytes want = hex("01 23 45 67 00 00 89 ab 00 00 cd ef 00 00 00 81 00 00 00 42"
                           "01 02 03 04 05 06 00 00");
    Bytes b = encodeOk(kyl_xdr_uuid, &u);
    ASSERT_EQ(b.size(), 28u);
    EXPECT_EQ(b, want);
    kyl_uuid_t d{};
    ASSERT_TRUE(decodeAll(kyl_xdr_uuid, want, &d));
    EXPECT_EQ(d.time_low, u.time_low);
    EXPECT_EQ(d.time_mid, u.time_mid);
    EXPECT_EQ(d.time_hi_and_version, u.time_hi_and_version);
    EXPECT_EQ(d.clock_seq_hi_and_reserved, u.clock_seq_hi_and_reserved);
    EXPECT_EQ(d.clock_seq_low, u.clock_seq_low);
    EXPECT_EQ(memcmp(d.node, u.node, 6), 0);
    expectEveryCutFails(kyl_xdr_uuid, want);
}

TEST(XdrObjHandle, FieldsInOrder)
{
    ns_ObjHandle_t h{0x0102030405060708ull, 0x1112, 0x2122232425262728ull, 0x3132, 0x81, 0x02,
                     0x4142434445464748ull, 0x51525354};
    const Bytes want = hex("01 02 03 04 05 06 07 08"  // ObjId
                           "00 00 11 12"              // ObjNsHash
                           "21 22 23 24 25 26 27 28"  // FileId
                           "00 00 31 32"              // FileNsHash
                           "00 00 00 81"              // Type
                           "00 00 00 02"              // Flags
                           "41 42 43 44 45 46 47 48"  // Generation
                           "51 52 53 54");            // CoreServerId
    EXPECT_EQ(encodeOk(kyl_xdr_objhandle, &h), want);
    ns_ObjHandle_t d{};
    ASSERT_TRUE(decodeAll(kyl_xdr_objhandle, want, &d));
    EXPECT_EQ(d.ObjId, h.ObjId);
    EXPECT_EQ(d.ObjNsHash, h.ObjNsHash);
    EXPECT_EQ(d.FileId, h.FileId);
    EXPECT_EQ(d.FileNsHash, h.FileNsHash);
    EXPECT_EQ(d.Type, h.Type);
    EXPECT_EQ(d.Flags, h.Flags);
    EXPECT_EQ(d.Generation, h.Generation);
    EXPECT_EQ(d.CoreServerId, h.CoreServerId);
    expectEveryCutFails(kyl_xdr_objhandle, want);
}

TEST(LogBodies, LogMessageTextIsAnXdrString)
{
    api_log_message_t m{};
    m.flags = 0x60000;
    m.priority = 0x2000000;
    strcpy(m.msgtext, "hello");
    const Bytes want = hex("00 06 00 00 02 00 00 00 00 00 00 05 68 65 6c 6c 6f 00 00 00");
    EXPECT_EQ(encodeOk(xdr_api_log_message_t, &m), want);
    api_log_message_t d{};
    ASSERT_TRUE(decodeAll(xdr_api_log_message_t, want, &d));
    EXPECT_STREQ(d.msgtext, "hello");
    expectEveryCutFails(xdr_api_log_message_t, want);
}

} // namespace
