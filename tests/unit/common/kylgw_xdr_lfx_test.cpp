// Local-file transfer codecs: golden bytes typed from the wire order of the
// transfer request, reply and completion and of the small operations, the
// optional parts (checksum, addresses, inline data), truncation and caps.

#include "codec_testutil.h"
#include "kyl_xdr.h"
#include "kylgw_catalogue.h"
#include "kylgw_xdr_lfx.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace codectest;

const char *const kReservedTen = "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                                 "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

// An inline send of "hello" to /tmp/x at offset 0x200.
const Bytes &inlineSendHex()
{
    static const Bytes b = hex(std::string("00 00 00 00"                           // request flags
                                           "ff ff ff ff"                           // filedes -1
                                           "80 00 00 00"                           // flags: inline send
                                           "00 00 00 00"                           // xferOperation: send
                                           "00 00 00 00"                           // drive
                                           "00 00 00 07 2f 74 6d 70 2f 78 00 00"   // "/tmp/x" + NUL
                                           "00 00 00 00 00 00 00 05"               // fileSize
                                           "00 00 00 00 00 00 00 00"               // srcOffset
                                           "00 00 00 00 00 00 02 00"               // sinkOffset
                                           "00 00 00 00 00 00 00 05"               // xferLength
                                           "00 00 00 00"                           // bufSize
                                           "00 00 81 a4"                           // mode 0100644
                                           "00 00 03 e8 00 00 00 64"               // uid, gid
                                           "00 00 00 00") +                        // addressCount
                               kReservedTen + "68 65 6c 6c 6f 00 00 00");          // data
    return b;
}

kylgw_lfx_xfer_init_req_t *inlineSendRequest(unsigned char *data)
{
    auto *r = new kylgw_lfx_xfer_init_req_t{};
    r->filedes = -1;
    r->info.flags = LFX_INLINE_SEND;
    r->info.xferOperation = LFX_OP_SEND;
    strcpy(r->info.pathName, "/tmp/x");
    r->info.fileSize = 5;
    r->info.sinkOffset = 0x200;
    r->info.xferLength = 5;
    r->info.mode = 0100644;
    r->info.uid = 1000;
    r->info.gid = 100;
    r->info.fileData = data;
    return r;
}

TEST(LfxInitRequest, InlineSendGoldenBytesBothWays)
{
    unsigned char hello[] = {'h', 'e', 'l', 'l', 'o'};
    kylgw_lfx_xfer_init_req_t *r = inlineSendRequest(hello);
    bool ok = false;
    EXPECT_EQ(encode(xdr_kylgw_lfx_xfer_init_req_t, r, &ok), inlineSendHex());
    EXPECT_TRUE(ok);
    delete r;

    auto *d = new kylgw_lfx_xfer_init_req_t{};
    size_t left = 1;
    ASSERT_TRUE(decode(xdr_kylgw_lfx_xfer_init_req_t, inlineSendHex(), d, &left));
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(d->filedes, -1);
    EXPECT_STREQ(d->info.pathName, "/tmp/x");
    EXPECT_EQ(d->info.sinkOffset, 0x200u);
    EXPECT_EQ(d->info.mode, 0100644u);
    EXPECT_EQ(d->info.addressList, nullptr);
    ASSERT_NE(d->info.fileData, nullptr);
    EXPECT_EQ(memcmp(d->info.fileData, "hello", 5), 0);
    release(xdr_kylgw_lfx_xfer_init_req_t, d);
    EXPECT_EQ(d->info.fileData, nullptr);
    delete d;

    expectEveryCutFails(xdr_kylgw_lfx_xfer_init_req_t, inlineSendHex());
}

// A receive over a data connection: checksum record and one listening socket.
const Bytes &connectionReceiveHex()
{
    static const Bytes b = hex(std::string("00 00 00 00 00 00 00 03"                  // request flags, filedes 3
                                           "00 00 00 20 00 00 00 01 00 00 00 00"      // flags: cksum; receive; drive
                                           "00 00 00 03 2f 61 00 00"                  // "/a"
                                           "00 00 00 00 00 00 00 00"                  // fileSize
                                           "00 00 00 00 00 00 04 00"                  // srcOffset
                                           "00 00 00 00 00 00 00 00"                  // sinkOffset
                                           "00 00 00 00 00 80 00 00"                  // xferLength
                                           "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"  // bufSize..gid
                                           "00 00 00 01 00 00 00 04 de ad be ef"      // checksum record
                                           "00 00 00 01"                              // addressCount
                                           "00 00 00 02 00 00 00 00 00 00 00 03 00 00 00 09"  // type, pre, pool, fd
                                           "00 00 00 01 00 00 00 00 00 00 9c 41") +   // 0.0.0.0:40001
                               kReservedTen);
    return b;
}

TEST(LfxInitRequest, ConnectionReceiveWithChecksumAndAddress)
{
    kyl_sockaddr_info_t addr{};
    addr.addressType = LFX_ADDR_LISTEN;
    addr.poolID = 3;
    addr.socketFD = 9;
    auto *in = reinterpret_cast<sockaddr_in *>(&addr.socketAddr.hs_addr);
    in->sin_family = AF_INET;
    in->sin_port = htons(40001);
    addr.socketAddr.hs_addrlen = sizeof(sockaddr_in);

    auto *r = new kylgw_lfx_xfer_init_req_t{};
    r->filedes = 3;
    r->info.flags = LFX_HAS_CKSUM;
    r->info.xferOperation = LFX_OP_RECEIVE;
    strcpy(r->info.pathName, "/a");
    r->info.srcOffset = 0x400;
    r->info.xferLength = 0x800000;
    r->info.fileCksum.csumType = 1;
    r->info.fileCksum.csumLength = 4;
    memcpy(r->info.fileCksum.cksum, "\xde\xad\xbe\xef", 4);
    r->info.addressCount = 1;
    r->info.addressList = &addr;
    bool ok = false;
    EXPECT_EQ(encode(xdr_kylgw_lfx_xfer_init_req_t, r, &ok), connectionReceiveHex());
    EXPECT_TRUE(ok);

    // A list shorter than its count does not encode.
    r->info.addressCount = 2;
    encode(xdr_kylgw_lfx_xfer_init_req_t, r, &ok);
    EXPECT_FALSE(ok);
    delete r;

    auto *d = new kylgw_lfx_xfer_init_req_t{};
    ASSERT_TRUE(decode(xdr_kylgw_lfx_xfer_init_req_t, connectionReceiveHex(), d));
    EXPECT_EQ(d->info.xferOperation, LFX_OP_RECEIVE);
    EXPECT_EQ(d->info.fileCksum.csumLength, 4u);
    EXPECT_EQ(d->info.fileData, nullptr);  // no inline flag: no data on the wire
    ASSERT_NE(d->info.addressList, nullptr);
    EXPECT_EQ(d->info.addressList->next, nullptr);
    EXPECT_EQ(d->info.addressList->poolID, 3u);
    EXPECT_EQ(d->info.addressList->socketFD, 9);
    EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in *>(&d->info.addressList->socketAddr.hs_addr)->sin_port),
              40001);
    release(xdr_kylgw_lfx_xfer_init_req_t, d);
    EXPECT_EQ(d->info.addressList, nullptr);
    delete d;

    expectEveryCutFails(xdr_kylgw_lfx_xfer_init_req_t, connectionReceiveHex());
}

TEST(LfxInitRequest, LengthsAndCountsPastTheirCapsAreRefusedAtTheirWords)
{
    // Inline data one byte over the cap: refused before any read of that size.
    Bytes b = inlineSendHex();
    const size_t xferLengthAt = 4 + 4 + 4 + 4 + 4 + 12 + 8 + 8 + 8;
    uint64_t over = uint64_t{KYLGW_MAX_LFX_INLINE} + 1;
    for (int i = 0; i < 8; i++)
        b[xferLengthAt + static_cast<size_t>(i)] = static_cast<unsigned char>(over >> (56 - 8 * i));
    auto *d = new kylgw_lfx_xfer_init_req_t{};
    size_t largest = 0;
    EXPECT_FALSE(decode(xdr_kylgw_lfx_xfer_init_req_t, b, d, nullptr, &largest));
    EXPECT_LE(largest, 8u);
    EXPECT_EQ(d->info.fileData, nullptr);

    // Inline data is exactly the declared length: what follows is not read.
    Bytes extra = inlineSendHex();
    extra.insert(extra.end(), {'x', 'y', 'z', 'w'});
    size_t left = 0;
    ASSERT_TRUE(decode(xdr_kylgw_lfx_xfer_init_req_t, extra, d, &left));
    EXPECT_EQ(left, 4u);
    release(xdr_kylgw_lfx_xfer_init_req_t, d);

    // Address counts: one past the cap and negative, with entries present.
    const size_t countAt = connectionReceiveHex().size() - 40 - 28 - 4;
    for (uint32_t count : {uint32_t(KYLGW_MAX_LFX_ADDRS) + 1, 0xffffffffu}) {
        Bytes c = connectionReceiveHex();
        for (int i = 0; i < 4; i++)
            c[countAt + static_cast<size_t>(i)] = static_cast<unsigned char>(count >> (24 - 8 * i));
        for (int i = 0; i < KYLGW_MAX_LFX_ADDRS + 1; i++)
            c.insert(c.begin() + static_cast<long>(countAt + 4), 28, 0);
        left = 0;
        EXPECT_FALSE(decode(xdr_kylgw_lfx_xfer_init_req_t, c, d, &left)) << count;
        EXPECT_EQ(c.size() - left, countAt + 4) << count;
        EXPECT_EQ(d->info.addressList, nullptr);
    }

    // Checksums longer than their buffer.
    Bytes k = connectionReceiveHex();
    const size_t csumLengthAt = countAt - 8;
    k[csumLengthAt + 2] = 0x04;
    k[csumLengthAt + 3] = 0x01;  // 1025
    k.insert(k.begin() + static_cast<long>(csumLengthAt + 4), 1100, 0);
    EXPECT_FALSE(decode(xdr_kylgw_lfx_xfer_init_req_t, k, d, nullptr, &largest));
    EXPECT_LE(largest, 8u);
    delete d;
}

TEST(LfxInitRequest, PathAtTheCapAndOneOver)
{
    auto *r = new kylgw_lfx_xfer_init_req_t{};
    memset(r->info.pathName, 'p', KYLGW_MAX_LFX_PATH);
    r->info.pathName[KYLGW_MAX_LFX_PATH] = '\0';
    bool ok = false;
    Bytes b = encode(xdr_kylgw_lfx_xfer_init_req_t, r, &ok);
    ASSERT_TRUE(ok);
    // request flags, filedes, flags, operation, drive, then the length word
    EXPECT_EQ(Bytes(b.begin() + 20, b.begin() + 24), hex("00 00 10 01"));

    auto *d = new kylgw_lfx_xfer_init_req_t{};
    ASSERT_TRUE(decode(xdr_kylgw_lfx_xfer_init_req_t, b, d));
    EXPECT_EQ(strlen(d->info.pathName), size_t{KYLGW_MAX_LFX_PATH});

    // 4097 characters do not fit, neither to send nor to receive.
    b[23] = 0x02;
    b.insert(b.begin() + 24, 4, 'p');
    EXPECT_FALSE(decode(xdr_kylgw_lfx_xfer_init_req_t, b, d));
    delete d;
    delete r;
}

// An inline receive reply: "abc", transfer 7.
const Bytes &inlineReplyHex()
{
    static const Bytes b = hex("00 00 00 00"                  // outer flags
                               "80 00 00 00 00 00 00 07"      // flags: inline, xferSerialNum
                               "00 00 00 00"                  // addressCount
                               "00 00 00 00"                  // xferStatus
                               "00 00 00 00 00 00 00 03"      // fileSize
                               "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"  // reserved
                               "61 62 63 00");
    return b;
}

TEST(LfxInitReply, InlineReplyGoldenBytesBothWays)
{
    unsigned char abc[] = {'a', 'b', 'c'};
    auto *r = new kylgw_lfx_xfer_init_rply_t{};
    r->reply.flags = LFX_REPLY_INLINE;
    r->reply.xferSerialNum = 7;
    r->reply.fileSize = 3;
    r->reply.fileData = abc;
    bool ok = false;
    EXPECT_EQ(encode(xdr_kylgw_lfx_xfer_init_rply_t, r, &ok), inlineReplyHex());
    EXPECT_TRUE(ok);
    r->reply.fileData = nullptr;  // declared data that is missing does not encode
    encode(xdr_kylgw_lfx_xfer_init_rply_t, r, &ok);
    EXPECT_FALSE(ok);
    delete r;

    auto *d = new kylgw_lfx_xfer_init_rply_t{};
    ASSERT_TRUE(decode(xdr_kylgw_lfx_xfer_init_rply_t, inlineReplyHex(), d));
    EXPECT_EQ(d->reply.xferSerialNum, 7u);
    EXPECT_EQ(d->reply.fileSize, 3u);
    ASSERT_NE(d->reply.fileData, nullptr);
    EXPECT_EQ(memcmp(d->reply.fileData, "abc", 3), 0);
    release(xdr_kylgw_lfx_xfer_init_rply_t, d);
    EXPECT_EQ(d->reply.fileData, nullptr);
    delete d;
    expectEveryCutFails(xdr_kylgw_lfx_xfer_init_rply_t, inlineReplyHex());
}

TEST(LfxInitReply, CountComesBeforeTheChecksumAndEntriesAfterIt)
{
    const Bytes want = hex("00 00 00 00"                                      // outer flags
                           "00 00 00 01 00 00 00 02"                          // flags: cksum; serial
                           "00 00 00 01"                                      // addressCount
                           "00 00 00 02 00 00 00 02 ca fe 00 00"              // checksum type 2, 2 bytes
                           "00 00 00 02 00 00 00 01 00 00 00 05 ff ff ff ff"  // entry: pooled
                           "00 00 00 00"                                      // no address
                           "ff ff ff f3"                                      // xferStatus -13
                           "00 00 00 00 00 00 00 00"                          // fileSize
                           "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    kyl_sockaddr_info_t e{};
    e.addressType = LFX_ADDR_LISTEN;
    e.preConnected = 1;
    e.poolID = 5;
    e.socketFD = -1;
    auto *r = new kylgw_lfx_xfer_init_rply_t{};
    r->reply.flags = LFX_REPLY_HAS_CKSUM;
    r->reply.xferSerialNum = 2;
    r->reply.fileCksum.csumType = 2;
    r->reply.fileCksum.csumLength = 2;
    r->reply.fileCksum.cksum[0] = 0xca;
    r->reply.fileCksum.cksum[1] = 0xfe;
    r->reply.addressCount = 1;
    r->reply.addressList = &e;
    r->reply.xferStatus = -13;
    bool ok = false;
    EXPECT_EQ(encode(xdr_kylgw_lfx_xfer_init_rply_t, r, &ok), want);
    EXPECT_TRUE(ok);
    delete r;

    auto *d = new kylgw_lfx_xfer_init_rply_t{};
    ASSERT_TRUE(decode(xdr_kylgw_lfx_xfer_init_rply_t, want, d));
    EXPECT_EQ(d->reply.xferStatus, -13);
    ASSERT_NE(d->reply.addressList, nullptr);
    EXPECT_EQ(d->reply.addressList->preConnected, 1);
    EXPECT_EQ(d->reply.fileCksum.cksum[1], 0xfe);
    release(xdr_kylgw_lfx_xfer_init_rply_t, d);
    delete d;
    expectEveryCutFails(xdr_kylgw_lfx_xfer_init_rply_t, want);

    // A count past the cap is refused before the checksum record is read.
    Bytes over = want;
    over[15] = static_cast<unsigned char>(KYLGW_MAX_LFX_ADDRS + 1);
    d = new kylgw_lfx_xfer_init_rply_t{};
    size_t left = 0;
    EXPECT_FALSE(decode(xdr_kylgw_lfx_xfer_init_rply_t, over, d, &left));
    EXPECT_EQ(over.size() - left, 16u);
    delete d;
}

TEST(LfxSmallBodies, GoldenBytes)
{
    kylgw_lfx_xfer_reply_t c{0, {0, 7, -5, 0x100000000ull}};
    const Bytes completion = hex("00 00 00 00 00 00 00 00 00 00 00 07 ff ff ff fb 00 00 00 01 00 00 00 00");
    bool ok = false;
    EXPECT_EQ(encode(xdr_kylgw_lfx_xfer_reply_t, &c, &ok), completion);
    EXPECT_TRUE(ok);
    kylgw_lfx_xfer_reply_t cd{};
    ASSERT_TRUE(decode(xdr_kylgw_lfx_xfer_reply_t, completion, &cd));
    EXPECT_EQ(cd.complete.xferStatus, -5);
    EXPECT_EQ(cd.complete.bytesXferred, 0x100000000ull);
    expectEveryCutFails(xdr_kylgw_lfx_xfer_reply_t, completion);

    lfx_Stat_rply_t s{0100644, 1, 1000, 100, 0x5f000000, 0x5f000001, 0x5f000002, 0x123456789ull};
    const Bytes stat = hex("00 00 81 a4 00 00 00 01 00 00 03 e8 00 00 00 64"
                           "5f 00 00 00 5f 00 00 01 5f 00 00 02 00 00 00 01 23 45 67 89");
    EXPECT_EQ(encode(xdr_lfx_Stat_rply_t, &s, &ok), stat);
    lfx_Stat_rply_t sd{};
    ASSERT_TRUE(decode(xdr_lfx_Stat_rply_t, stat, &sd));
    EXPECT_EQ(sd.hst_atime, 0x5f000001u);
    EXPECT_EQ(sd.hst_size, 0x123456789ull);
    expectEveryCutFails(xdr_lfx_Stat_rply_t, stat);

    auto *m = new api_lfx_Mkdir_req_t{};
    strcpy(m->path, "/d");
    m->mode = 0755;
    const Bytes mkdir = hex("00 00 00 03 2f 64 00 00 00 00 01 ed");
    EXPECT_EQ(encode(xdr_api_lfx_Mkdir_req_t, m, &ok), mkdir);
    delete m;
    expectEveryCutFails(xdr_api_lfx_Mkdir_req_t, mkdir);

    auto *u = new lfx_Unlink_req_t{};
    strcpy(u->path, "/d/f");
    EXPECT_EQ(encode(xdr_lfx_Unlink_req_t, u, &ok), hex("00 00 00 05 2f 64 2f 66 00 00 00 00"));
    delete u;
    auto *st = new lfx_Stat_req_t{};
    ASSERT_TRUE(decode(xdr_lfx_Stat_req_t, hex("00 00 00 05 2f 64 2f 66 00 00 00 00"), st));
    EXPECT_STREQ(st->path, "/d/f");
    delete st;

    auto *g = new api_lfx_Getcwd_rply_t{};
    strcpy(g->path, "/home/u");
    const Bytes cwd = hex("00 00 00 07 2f 68 6f 6d 65 2f 75 00");
    EXPECT_EQ(encode(xdr_api_lfx_Getcwd_rply_t, g, &ok), cwd);
    EXPECT_TRUE(ok);
    memset(g->path, 'c', KYLGW_MAX_PATH + 1);  // no room for the terminator
    encode(xdr_api_lfx_Getcwd_rply_t, g, &ok);
    EXPECT_FALSE(ok);
    delete g;
    expectEveryCutFails(xdr_api_lfx_Getcwd_rply_t, cwd);
}

TEST(LfxCatalogue, EveryFunctionHasItsRow)
{
    struct Want {
        uint16_t fn;
        const char *name;
        bool request, reply;
    } const rows[] = {
        {FN_LFX_INIT, "kylgw_LfxInit", true, true},
        {FN_LFX_XFER_REPLY, "kylgw_LfxGetXferReply", false, true},
        {FN_LFX_CLEAN_SOCK_POOL, "kylgw_LfxCleanSockPool", false, false},
        {FN_LFX_GETCWD, "kylgw_LfxGetcwd", false, true},
        {FN_LFX_STAT, "kylgw_LfxStat", true, true},
        {FN_LFX_MKDIR, "kylgw_LfxMkdir", true, false},
        {FN_LFX_UNLINK, "kylgw_LfxUnlink", true, false},
    };
    for (const Want &w : rows) {
        const kylgw_msgtype_t *row = kylgw_LookupMsgType(CAT_LFX, w.fn);
        ASSERT_NE(row, nullptr) << w.fn;
        EXPECT_STREQ(row->name, w.name);
        EXPECT_EQ(row->request != nullptr, w.request) << w.name;
        EXPECT_EQ(row->reply != nullptr, w.reply) << w.name;
    }
    const kylgw_msgtype_t *init = kylgw_LookupMsgType(CAT_LFX, FN_LFX_INIT);
    ASSERT_NE(init, nullptr);
    EXPECT_EQ(init->requestSize, sizeof(kylgw_lfx_xfer_init_req_t));
    EXPECT_EQ(init->replySize, sizeof(kylgw_lfx_xfer_init_rply_t));
}

} // namespace
