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

// A string whose buffer is smaller than its wire cap.
struct Str4 {
    char buf[4];
};
bool xdrStr4(kyl_xdr_t *x, Str4 *p)
{
    return kyl_xdr_string(x, p->buf, sizeof p->buf, 8);
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

TEST(MsgHeader, ThirtySixBytesInFieldOrder)
{
    api_msghdr_t h;
    kylgw_BuildMsgHdr(&h, 0x01020304, MSGF_BODY | MSGF_TOKEN_NEXT, 0x5f5e0ff0, 0x0a0b0c0d, CAT_FILESYS, 4615, -22);
    Bytes b = hex(kHeaderHex);
    ASSERT_EQ(b.size(), KYLGW_MSGHDR_SIZE);
    expectGolden(kylgw_xdr_api_msghdr_t, &h, b);
    api_msghdr_t d{};
    ASSERT_TRUE(decodeAll(kylgw_xdr_api_msghdr_t, b, &d));
    EXPECT_TRUE(kylgw_MsgHdrSane(&d));

    // A 16-bit field whose 4-byte unit has a nonzero upper half is not a
    // valid category or function.
    for (size_t at : {size_t{24}, size_t{28}}) {
        Bytes bad = b;
        bad[at + 1] = 0x01;
        api_msghdr_t g{};
        EXPECT_FALSE(decodeAll(kylgw_xdr_api_msghdr_t, bad, &g)) << "offset " << at;
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

TEST(ConnectionBodies, GreetingSiteInfoRequestAndLogMessage)
{
    api_server_state_rply_t g{67, 2, 7, 8, 9, 1};
    expectGolden(xdr_api_server_state_rply_t, &g,
                 hex("00 00 00 43 00 00 00 02 00 00 00 07 00 00 00 08 00 00 00 09 00 00 00 01"));
    api_site_info_req_t r{KYLGW_PROT_MAJOR, KYLGW_PROT_MINOR};
    expectGolden(xdr_api_site_info_req_t, &r, hex("00 00 00 43 00 00 00 02"));
    api_log_message_t m{};
    m.flags = 0x60000;
    m.priority = 0x2000000;
    strcpy(m.msgtext, "hello");
    expectGolden(xdr_api_log_message_t, &m, hex("00 06 00 00 02 00 00 00 00 00 00 05 68 65 6c 6c 6f 00 00 00"));
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

// Each field gets its own value (0x101, 0x102, ...) so that two swapped
// fields show; max_bg_stages is signed and gets -2.  The record is 34
// 32-bit words in field order.
TEST(ConnectionBodies, SiteInfoReplyIs34WordsWithSignedStageCount)
{
    uint32_t words[34];
    for (uint32_t i = 0; i < 34; i++)
        words[i] = 0x101 + i;
    words[21] = static_cast<uint32_t>(-2);
    static_assert(sizeof(api_site_info_rply_t) == sizeof words);
    api_site_info_rply_t r;
    memcpy(&r, words, sizeof r);
    expectGolden(xdr_api_site_info_rply_t, &r, hex(kSiteInfoHex));
}

// ---------------------------------------------------------------------------
// Primitives

TEST(XdrPrimitives, StringsAndBytesAtTheirCapsAndOneOver)
{
    // A counted string's length includes its NUL, up to the buffer size.
    Str8 s{};
    strcpy(s.buf, "abcdefg");
    expectGolden(xdrStr8, &s, hex("00 00 00 08 61 62 63 64 65 66 67 00"));
    strcpy(s.buf, "abcd");
    expectGolden(xdrStr8, &s, hex("00 00 00 05 61 62 63 64 00 00 00 00"));
    strcpy(s.buf, "abcdefgh");  // the NUL does not fit in 8
    EXPECT_FALSE(encodes(xdrStr8, &s));
    for (const char *bad : {"00 00 00 09 61 62 63 64 65 66 67 68 00 00 00 00", "00 00 00 00", "ff ff ff fc 61 62 63 00"})
        EXPECT_FALSE(decodes(xdrStr8, hex(bad))) << bad;
    Str8 d{};
    ASSERT_TRUE(decodeAll(xdrStr8, hex("00 00 00 03 61 62 63 00"), &d));
    EXPECT_STREQ(d.buf, "ab");  // the last byte is NUL whatever the peer sent

    // A 257-byte opaque field is padded to 260.
    User257 u;
    for (size_t i = 0; i < sizeof u.name; i++)
        u.name[i] = static_cast<unsigned char>(i * 7 + 1);
    expectGolden(xdrUser257, &u, Bytes(u.name, u.name + sizeof u.name) + Bytes(3, 0));

    // A variable buffer: length, bytes, padding; none for zero; the cap.
    unsigned char data[5] = {1, 2, 3, 4, 5};
    Var8 v{data, 5};
    expectGolden(xdrVar8, &v, hex("00 00 00 05 01 02 03 04 05 00 00 00"));
    Var8 z{};
    ASSERT_TRUE(decodeAll(xdrVar8, hex("00 00 00 00"), &z));
    EXPECT_EQ(z.buf, nullptr);
    EXPECT_FALSE(decodes(xdrVar8, hex("00 00 00 09 01 02 03 04 05 06 07 08 09 00 00 00")));
    unsigned char nine[9] = {};
    Var8 big{nine, 9};
    EXPECT_FALSE(encodes(xdrVar8, &big));

    // A path: at most 1024 bytes, sent without NUL.
    Path p{};
    strcpy(p.buf, "/ab");
    expectGolden(xdrPath, &p, hex("00 00 00 03 2f 61 62 00"));
    memset(p.buf, 'a', KYLGW_MAX_PATH);
    p.buf[KYLGW_MAX_PATH] = '\0';
    EXPECT_TRUE(decodes(xdrPath, hex("00 00 04 00") + Bytes(KYLGW_MAX_PATH, 'a')));
    EXPECT_TRUE(encodes(xdrPath, &p));
    p.buf[KYLGW_MAX_PATH] = 'a';
    p.buf[KYLGW_MAX_PATH + 1] = '\0';
    EXPECT_FALSE(encodes(xdrPath, &p));
    size_t left = 0;
    Path over{};
    EXPECT_FALSE(decodeAll(xdrPath, hex("00 00 04 01") + Bytes(1028, 'a'), &over, &left));
    EXPECT_EQ(left, 1028u);  // refused at the length word
    // The buffer, not only the cap, bounds a decoded string with its NUL.
    EXPECT_TRUE(decodes(xdrStr4, hex("00 00 00 03 61 62 63 00")));
    EXPECT_FALSE(decodes(xdrStr4, hex("00 00 00 04 61 62 63 64")));
}

TEST(XdrPrimitives, ModesTravelInInterchangeForm)
{
    const struct {
        uint32_t posix, interchange;
    } table[] = {
        {0100644, 0x20000 | 0644},   {0040755, 0x10000 | 0755},   {0060600, 0x8000 | 0600},
        {0020620, 0x4000 | 0620},    {0010644, 0x2000 | 0644},    {0120777, 0x1000 | 0777},
        {0104755, 0x20000 | 0x9ed},  {0102711, 0x20000 | 0x5c9},  {0041777, 0x10000 | 0x3ff},
        {0000000, 0},
    };
    for (const auto &m : table) {
        EXPECT_EQ(kyl_mode_to_interchange(m.posix), m.interchange) << std::oct << m.posix;
        EXPECT_EQ(kyl_mode_from_interchange(m.interchange), m.posix) << std::hex << m.interchange;
    }
    EXPECT_EQ(kyl_mode_to_interchange(0140755), 0755u);  // a socket: only its permission bits travel
    uint32_t mode = 0100644;
    expectGolden(xdrMode, &mode, hex("00 02 01 a4"));
}

TEST(XdrPrimitives, SocketAddressesUuidAndObjectHandle)
{
    // The control-address form: family code, address, port; 0 for none.
    quor_sockaddr_t a{};
    auto *in = reinterpret_cast<sockaddr_in *>(&a.hs_addr);
    in->sin_family = AF_INET;
    in->sin_port = htons(1217);
    ASSERT_EQ(inet_pton(AF_INET, "192.0.2.1", &in->sin_addr), 1);
    a.hs_addrlen = sizeof(sockaddr_in);
    expectGolden(kyl_xdr_quor_sockaddr, &a, hex("00 00 00 01 c0 00 02 01 00 00 04 c1"));
    quor_sockaddr_t a6{};
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&a6.hs_addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(8080);
    ASSERT_EQ(inet_pton(AF_INET6, "2001:db8::1", &in6->sin6_addr), 1);
    a6.hs_addrlen = sizeof(sockaddr_in6);
    expectGolden(kyl_xdr_quor_sockaddr, &a6, hex("00 00 00 03 20 01 0d b8 00 00 00 00 00 00 00 00 00 00 00 01 00 00 1f 90"));
    quor_sockaddr_t none{};
    expectGolden(kyl_xdr_quor_sockaddr, &none, hex("00 00 00 00"));
    quor_sockaddr_t stale = a6;  // decoding "none" clears a used record
    ASSERT_TRUE(decodeAll(kyl_xdr_quor_sockaddr, hex("00 00 00 00"), &stale));
    EXPECT_EQ(memcmp(&stale, &none, sizeof none), 0);
    EXPECT_FALSE(decodes(kyl_xdr_quor_sockaddr, hex("00 00 00 02 c0 00 02 01 00 00 04 c1")));
    EXPECT_FALSE(decodes(kyl_xdr_quor_sockaddr, hex("00 00 00 01 c0 00 02 01 00 01 04 c1")));  // a wide port

    kyl_uuid_t u{0x01234567, 0x89ab, 0xcdef, 0x81, 0x42, {1, 2, 3, 4, 5, 6}};
    expectGolden(kyl_xdr_uuid, &u,
                 hex("01 23 45 67 00 00 89 ab 00 00 cd ef 00 00 00 81 00 00 00 42 01 02 03 04 05 06 00 00"));
    // An 8-bit field's word must hold nothing above its byte.
    EXPECT_FALSE(decodes(kyl_xdr_uuid,
                         hex("01 23 45 67 00 00 89 ab 00 00 cd ef 00 00 01 81 00 00 00 42 01 02 03 04 05 06 00 00")));
    ns_ObjHandle_t h{0x0102030405060708ull, 0x1112, 0x2122232425262728ull, 0x3132, 0x81, 0x02,
                     0x4142434445464748ull, 0x51525354};
    expectGolden(kyl_xdr_objhandle, &h,
                 hex("01 02 03 04 05 06 07 08"   // ObjId
                     "00 00 11 12"               // ObjNsHash
                     "21 22 23 24 25 26 27 28"   // FileId
                     "00 00 31 32"               // FileNsHash
                     "00 00 00 81 00 00 00 02"   // Type, Flags
                     "41 42 43 44 45 46 47 48"   // Generation
                     "51 52 53 54"));            // CoreServerId
}

} // namespace
