// Local-file transfer codecs: golden bytes typed from the wire order of the
// transfer request, reply and completion and of the small operations, the
// optional parts (checksum, addresses, inline data), and the caps.

#include "codec_testutil.h"
#include "kyl_xdr.h"
#include "kylgw_xdr_lfx.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

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

std::unique_ptr<kylgw_lfx_xfer_init_req_t> inlineSendRequest(unsigned char *data)
{
    auto r = fresh<kylgw_lfx_xfer_init_req_t>();
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

// The receive's request: checksum record and one listening socket.
struct ConnectionReceive {
    kyl_sockaddr_info_t addr{};
    std::unique_ptr<kylgw_lfx_xfer_init_req_t> r = fresh<kylgw_lfx_xfer_init_req_t>();
    ConnectionReceive()
    {
        addr.addressType = LFX_ADDR_LISTEN;
        addr.poolID = 3;
        addr.socketFD = 9;
        auto *in = reinterpret_cast<sockaddr_in *>(&addr.socketAddr.hs_addr);
        in->sin_family = AF_INET;
        in->sin_port = htons(40001);
        addr.socketAddr.hs_addrlen = sizeof(sockaddr_in);
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
    }
};

// A reply with a checksum and one pooled listening entry, status -13.
Bytes checksumReplyHex()
{
    return hex("00 00 00 00"                                      // outer flags
               "00 00 00 01 00 00 00 02"                          // flags: cksum; serial
               "00 00 00 01"                                      // addressCount
               "00 00 00 02 00 00 00 02 ca fe 00 00"              // checksum type 2, 2 bytes
               "00 00 00 02 00 00 00 01 00 00 00 05 ff ff ff ff"  // entry: pooled
               "00 00 00 00"                                      // no address
               "ff ff ff f3"                                      // xferStatus -13
               "00 00 00 00 00 00 00 00"                          // fileSize
               "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(LfxGolden, RequestsRepliesAndSmallBodies)
{
    unsigned char hello[] = {'h', 'e', 'l', 'l', 'o'};
    expectGolden(xdr_kylgw_lfx_xfer_init_req_t, inlineSendRequest(hello).get(), inlineSendHex());
    ConnectionReceive c;
    expectGolden(xdr_kylgw_lfx_xfer_init_req_t, c.r.get(), connectionReceiveHex());
    c.r->info.addressCount = 2;  // a list shorter than its count
    EXPECT_FALSE(encodes(xdr_kylgw_lfx_xfer_init_req_t, c.r.get()));

    // An inline receive reply of "abc", transfer 7.
    unsigned char abc[] = {'a', 'b', 'c'};
    auto r = fresh<kylgw_lfx_xfer_init_rply_t>();
    r->reply.flags = LFX_REPLY_INLINE;
    r->reply.xferSerialNum = 7;
    r->reply.fileSize = 3;
    r->reply.fileData = abc;
    expectGolden(xdr_kylgw_lfx_xfer_init_rply_t, r.get(),
                 hex("00 00 00 00"                  // outer flags
                     "80 00 00 00 00 00 00 07"      // flags: inline, xferSerialNum
                     "00 00 00 00"                  // addressCount
                     "00 00 00 00"                  // xferStatus
                     "00 00 00 00 00 00 00 03"      // fileSize
                     "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"  // reserved
                     "61 62 63 00"));
    r->reply.fileData = nullptr;  // declared data that is missing
    EXPECT_FALSE(encodes(xdr_kylgw_lfx_xfer_init_rply_t, r.get()));

    // A reply's address count comes before the checksum, the entries after it.
    kyl_sockaddr_info_t e{};
    e.addressType = LFX_ADDR_LISTEN;
    e.preConnected = 1;
    e.poolID = 5;
    e.socketFD = -1;
    auto q = fresh<kylgw_lfx_xfer_init_rply_t>();
    q->reply.flags = LFX_REPLY_HAS_CKSUM;
    q->reply.xferSerialNum = 2;
    q->reply.fileCksum.csumType = 2;
    q->reply.fileCksum.csumLength = 2;
    q->reply.fileCksum.cksum[0] = 0xca;
    q->reply.fileCksum.cksum[1] = 0xfe;
    q->reply.addressCount = 1;
    q->reply.addressList = &e;
    q->reply.xferStatus = -13;
    expectGolden(xdr_kylgw_lfx_xfer_init_rply_t, q.get(), checksumReplyHex());

    kylgw_lfx_xfer_reply_t done{0, {0, 7, -5, 0x100000000ull}};
    expectGolden(xdr_kylgw_lfx_xfer_reply_t, &done,
                 hex("00 00 00 00 00 00 00 00 00 00 00 07 ff ff ff fb 00 00 00 01 00 00 00 00"));
    lfx_Stat_rply_t s{0100644, 1, 1000, 100, 0x5f000000, 0x5f000001, 0x5f000002, 0x123456789ull};
    expectGolden(xdr_lfx_Stat_rply_t, &s,
                 hex("00 00 81 a4 00 00 00 01 00 00 03 e8 00 00 00 64"
                     "5f 00 00 00 5f 00 00 01 5f 00 00 02 00 00 00 01 23 45 67 89"));
    auto m = fresh<api_lfx_Mkdir_req_t>();
    strcpy(m->path, "/d");
    m->mode = 0755;
    expectGolden(xdr_api_lfx_Mkdir_req_t, m.get(), hex("00 00 00 03 2f 64 00 00 00 00 01 ed"));
    auto g = fresh<api_lfx_Getcwd_rply_t>();
    strcpy(g->path, "/home/u");
    expectGolden(xdr_api_lfx_Getcwd_rply_t, g.get(), hex("00 00 00 07 2f 68 6f 6d 65 2f 75 00"));
    memset(g->path, 'c', KYLGW_MAX_PATH + 1);  // no room for the terminator
    EXPECT_FALSE(encodes(xdr_api_lfx_Getcwd_rply_t, g.get()));
}

TEST(LfxCaps, LengthsAndCountsAreRefusedAtTheirWords)
{
    auto d = fresh<kylgw_lfx_xfer_init_req_t>();
    // Inline data one byte over the cap: refused before a read of that size.
    Bytes b = inlineSendHex();
    const size_t xferLengthAt = 4 + 4 + 4 + 4 + 4 + 12 + 8 + 8 + 8;
    putWord(b, xferLengthAt + 4, KYLGW_MAX_LFX_INLINE + 1);
    size_t largest = 0, left = 0;
    EXPECT_FALSE(decode(xdr_kylgw_lfx_xfer_init_req_t, b, d.get(), nullptr, &largest));
    EXPECT_LE(largest, 8u);
    EXPECT_EQ(d->info.fileData, nullptr);
    // Inline data is exactly the declared length: what follows is not read.
    ASSERT_TRUE(decode(xdr_kylgw_lfx_xfer_init_req_t, inlineSendHex() + hex("78 79 7a 77"), d.get(), &left));
    EXPECT_EQ(left, 4u);
    release(xdr_kylgw_lfx_xfer_init_req_t, d.get());
    // The drive letter is one signed char: -128 is one, -129 is not.
    for (auto [drive, ok] : {std::pair{0xffffff80u, true}, {0xffffff7fu, false}}) {
        Bytes v = inlineSendHex();
        putWord(v, 16, drive);
        EXPECT_EQ(decode(xdr_kylgw_lfx_xfer_init_req_t, v, d.get()), ok) << std::hex << drive;
        release(xdr_kylgw_lfx_xfer_init_req_t, d.get());
    }

    // Address counts one past the cap and negative, with entries present.
    const size_t countAt = connectionReceiveHex().size() - 40 - 28 - 4;
    for (uint32_t count : {uint32_t(KYLGW_MAX_LFX_ADDRS) + 1, 0xffffffffu}) {
        Bytes c = connectionReceiveHex();
        putWord(c, countAt, count);
        c.insert(c.begin() + static_cast<long>(countAt + 4), 28 * (KYLGW_MAX_LFX_ADDRS + 1), 0);
        EXPECT_FALSE(decode(xdr_kylgw_lfx_xfer_init_req_t, c, d.get(), &left)) << count;
        EXPECT_EQ(c.size() - left, countAt + 4) << count;
        EXPECT_EQ(d->info.addressList, nullptr);
    }
    // A checksum longer than its buffer.
    Bytes k = connectionReceiveHex();
    putWord(k, countAt - 8, 1025);
    k.insert(k.begin() + static_cast<long>(countAt - 4), 1100, 0);
    EXPECT_FALSE(decode(xdr_kylgw_lfx_xfer_init_req_t, k, d.get(), nullptr, &largest));
    EXPECT_LE(largest, 8u);
    // The path: 4096 characters and the NUL, not one more.
    d = fresh<kylgw_lfx_xfer_init_req_t>();
    memset(d->info.pathName, 'p', KYLGW_MAX_LFX_PATH);
    d->info.pathName[KYLGW_MAX_LFX_PATH] = '\0';
    bool ok = false;
    Bytes p = encode(xdr_kylgw_lfx_xfer_init_req_t, d.get(), &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(Bytes(p.begin() + 20, p.begin() + 24), hex("00 00 10 01"));
    EXPECT_TRUE(decode(xdr_kylgw_lfx_xfer_init_req_t, p, d.get()));
    p[23] = 0x02;
    p.insert(p.begin() + 24, 4, 'p');
    EXPECT_FALSE(decode(xdr_kylgw_lfx_xfer_init_req_t, p, d.get()));

    // A reply's address count past the cap is refused before its checksum.
    Bytes over = checksumReplyHex();
    putWord(over, 12, KYLGW_MAX_LFX_ADDRS + 1);
    auto r = fresh<kylgw_lfx_xfer_init_rply_t>();
    EXPECT_FALSE(decode(xdr_kylgw_lfx_xfer_init_rply_t, over, r.get(), &left));
    EXPECT_EQ(over.size() - left, 16u);
}

} // namespace
