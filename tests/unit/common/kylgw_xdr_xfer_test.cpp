// I/O descriptor and reply codecs: golden bytes typed from the wire layout
// of the IOD and IOR and of the address forms in use, truncation, and the caps on
// descriptor and reply counts.

#include "codec_testutil.h"
#include "kyl_xdr.h"
#include "kylgw_xdr_xfer.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace codectest;

const char *const kUuidHex = "01 23 45 67 00 00 89 ab 00 00 cd ef 00 00 00 81 00 00 00 42 01 02 03 04 05 06 00 00";

kyl_uuid_t testUuid()
{
    return kyl_uuid_t{0x01234567, 0x89ab, 0xcdef, 0x81, 0x42, {1, 2, 3, 4, 5, 6}};
}

// A list read of 4 GiB: the source is server descriptor 7 at offset 0x200,
// the sink the client's listening socket 0.0.0.0:40000.
struct ReadListFixture {
    iod_srcsinkdesc_t src{};
    iod_srcsinkdesc_t sink{};
    api_quor_ReadList_req_t req{};

    ReadListFixture()
    {
        src.Flags = 0;
        src.Offset = 0x1000;
        src.Length = 0x100000000ull;
        src.SrcSinkAddr.Type = IOD_ADDR_CLIENTFILE;
        src.SrcSinkAddr.Addr.ClientFileAddr.FileDes = 7;
        src.SrcSinkAddr.Addr.ClientFileAddr.FileOffset = 0x200;

        sink.Flags = IOD_DESC_CLIENT_NET | IOD_DESC_MOVER_PROTOCOL;
        sink.Offset = 0;
        sink.Length = 0x100000000ull;
        sink.SrcSinkAddr.Type = IOD_ADDR_NET;
        netaddress_t &n = sink.SrcSinkAddr.Addr.NetAddr;
        n.SockTransferID = 0x1122334455667788ull;
        auto *in = reinterpret_cast<sockaddr_in *>(&n.SockAddr.hs_addr);
        in->sin_family = AF_INET;
        in->sin_port = htons(40000);
        in->sin_addr.s_addr = htonl(INADDR_ANY);
        n.SockAddr.hs_addrlen = sizeof(sockaddr_in);
        n.SockOffset = 0;

        req.Flags = 0;
        req.IOD.RequestID = testUuid();
        req.IOD.Function = IOD_FUNC_READ;
        req.IOD.Flags = 0;
        req.IOD.SrcDescLength = 1;
        req.IOD.SinkDescLength = 1;
        req.IOD.SrcDescList = &src;
        req.IOD.SinkDescList = &sink;
    }
};

const Bytes &readListHex()
{
    static const Bytes b = hex("00 00 00 00")  // request Flags
                           + hex(kUuidHex)     // RequestID
                           + hex("00 00 00 01"   // Function: read
                                 "00 00 00 00"   // IOD Flags
                                 "00 00 00 00"   // no ReqSpecInfo
                                 "00 00 00 01"   // SrcDescLength
                                 "00 00 00 01"   // SinkDescLength
                                 // source descriptor
                                 "00 00 00 00"                // Flags
                                 "00 00 00 00 00 00 10 00"    // Offset
                                 "00 00 00 01 00 00 00 00"    // Length
                                 "00 00 00 0b"                // Type 11: client file
                                 "00 00 00 07"                // FileDes
                                 "00 00 00 00 00 00 02 00"    // FileOffset
                                 // sink descriptor
                                 "00 00 00 28"                // Flags
                                 "00 00 00 00 00 00 00 00"    // Offset
                                 "00 00 00 01 00 00 00 00"    // Length
                                 "00 00 00 01"                // Type 1: network
                                 "11 22 33 44 55 66 77 88"    // SockTransferID
                                 "00 00 00 01 00 00 00 00 00 00 9c 40"  // IPv4 0.0.0.0 port 40000
                                 "00 00 00 00 00 00 00 00");  // SockOffset
    return b;
}

TEST(IodGolden, ListRequestsAndDataStreamRequests)
{
    ReadListFixture f;
    expectGolden(xdr_api_quor_ReadList_req_t, &f.req, readListHex());
    api_quor_WriteList_req_t w{};
    w.IOD = f.req.IOD;
    expectGolden(xdr_api_quor_WriteList_req_t, &w, readListHex());  // the same layout
    api_quor_ReadX_req_t rx{0x80000000u, 5, 0x100000002ull};
    expectGolden(xdr_api_quor_ReadX_req_t, &rx, hex("80 00 00 00 00 00 00 05 00 00 00 01 00 00 00 02"));

    // Short lists, a missing list and request-specific parts do not encode.
    quor_IOD_t iod = f.req.IOD;
    iod.SinkDescLength = 2;
    EXPECT_FALSE(encodes(xdr_quor_IOD_t, &iod));
    iod = f.req.IOD;
    iod.SrcDescList = nullptr;
    EXPECT_FALSE(encodes(xdr_quor_IOD_t, &iod));
    iod = f.req.IOD;
    iod.ReqSpecInfo = reinterpret_cast<iod_reqspec_t *>(&f);  // never dereferenced: refused first
    EXPECT_FALSE(encodes(xdr_quor_IOD_t, &iod));
    Bytes b = readListHex();
    b[4 + 28 + 11] = 1;  // a request-specific part present
    EXPECT_FALSE(decodes(xdr_api_quor_ReadList_req_t, b));
}

TEST(IodGolden, EveryAddressForm)
{
    iod_address_t a{};
    a.Type = IOD_ADDR_LOCALFILE;
    a.Addr.LocalFileAddr.Offset = 0x10;
    a.Addr.LocalFileAddr.Flags = 4;
    a.Addr.LocalFileAddr.Uid = 1000;
    a.Addr.LocalFileAddr.Gid = 100;
    a.Addr.LocalFileAddr.RealmId = 1;
    strcpy(a.Addr.LocalFileAddr.PathName, "/a/b");
    expectGolden(xdr_iod_address_t, &a,
                 hex("00 00 00 0d 00 00 00 00 00 00 00 10 00 00 00 04 00 00 03 e8 00 00 00 64"
                     "00 00 00 01 00 00 00 05 2f 61 2f 62 00 00 00 00"));

    a = iod_address_t{};
    a.Type = IOD_ADDR_NET;
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&a.Addr.NetAddr.SockAddr.hs_addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(5000);
    ASSERT_EQ(inet_pton(AF_INET6, "::1", &in6->sin6_addr), 1);
    a.Addr.NetAddr.SockAddr.hs_addrlen = sizeof(sockaddr_in6);
    a.Addr.NetAddr.SockTransferID = 9;
    a.Addr.NetAddr.SockOffset = 0x20;
    expectGolden(xdr_iod_address_t, &a,
                 hex("00 00 00 01 00 00 00 00 00 00 00 09 00 00 00 03"
                     "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 13 88"
                     "00 00 00 00 00 00 00 20"));

    a = iod_address_t{};
    a.Type = 77;  // a type without a member is the type word alone
    expectGolden(xdr_iod_address_t, &a, hex("00 00 00 4d"));
    for (int32_t type : {IOD_ADDR_STRIPE, IOD_ADDR_MEMORY}) {
        a.Type = type;
        EXPECT_FALSE(encodes(xdr_iod_address_t, &a)) << type;
        EXPECT_FALSE(decodes(xdr_iod_address_t, word(static_cast<uint32_t>(type)) + Bytes(60, 0))) << type;
    }
}

// An IOD whose counts are given, followed by n copies of a minimal
// descriptor (type 0: nothing after the type).
Bytes iodWithCounts(int32_t srcCount, int32_t sinkCount, size_t descriptors)
{
    Bytes b = hex(kUuidHex) + hex("00 00 00 02 00 00 00 00 00 00 00 00") + word(static_cast<uint32_t>(srcCount)) +
              word(static_cast<uint32_t>(sinkCount));
    const Bytes desc = hex("00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    for (size_t i = 0; i < descriptors; i++)
        b = b + desc;
    return b;
}

constexpr size_t kIodCountsEnd = 28 + 5 * 4;

TEST(IodCaps, CountsPastTheCapAreRefusedAtTheCountWord)
{
    const int32_t cap = KYLGW_MAX_IOD_DESC;
    const std::pair<int32_t, int32_t> refused[] = {{cap + 1, 1}, {1, cap + 1}, {-1, 1}, {1, -1}, {INT32_MAX, 1},
                                                   {INT32_MIN, 0}};
    for (auto [src, sink] : refused) {
        Bytes b = iodWithCounts(src, sink, 2 * cap + 2);  // only the cap can stop the decoder
        quor_IOD_t iod{};
        size_t left = 0;
        EXPECT_FALSE(decode(xdr_quor_IOD_t, b, &iod, &left)) << src << "/" << sink;
        EXPECT_EQ(b.size() - left, kIodCountsEnd) << src << "/" << sink;
        EXPECT_EQ(iod.SrcDescList, nullptr);
    }
    EXPECT_TRUE(decodes(xdr_quor_IOD_t, iodWithCounts(cap, cap, 2 * cap)));
    iod_srcsinkdesc_t one{};
    quor_IOD_t big{};
    big.SrcDescLength = cap + 1;
    big.SrcDescList = &one;
    EXPECT_FALSE(encodes(xdr_quor_IOD_t, &big));
}

// An IOR that met a gap: 0x1000 bytes moved, then a hole of 0x1000 at 0x2000.
TEST(IorGolden, GapValueAndListReplies)
{
    const Bytes gap = hex(kUuidHex) + hex("00 00 00 20"                  // Flags: gap
                                               "00 00 00 00"                  // Status
                                               "00 00 00 01"                  // ReqSpecReply present
                                               "00 00 00 00 00 00 00 00"      // Flags, Status
                                               "00 00 00 01 00 00 00 00"      // CountProcessed, ReqListLength
                                               "00 00 00 05"                  // ReqReplyType: gap
                                               "00 00 00 00 00 00 20 00"      // gap Offset
                                               "00 00 00 00 00 00 10 00"      // gap Length
                                               "00 00 00 01 00 00 00 01"      // SrcReplyLength, SinkReplyLength
                                               "00 00 00 00 00 00 00 00 00 00 00 00 00 00 10 00"   // source
                                               "00 00 00 00 ff ff ff fb 00 00 00 00 00 00 10 00");  // sink
    iod_reqspecreply_t entry{};
    entry.CountProcessed = 1;
    entry.ReqReplyType = IOD_REQREPLY_GAP;
    entry.Gap = iod_gap_t{0x2000, 0x1000};
    iod_srcsinkreply_t src{0, 0, 0x1000, nullptr};
    iod_srcsinkreply_t sink{0, -5, 0x1000, nullptr};
    quor_IOR_t ior{testUuid(), IOR_GAP_DETECTED, 0, &entry, 1, 1, &src, &sink};
    expectGolden(xdr_quor_IOR_t, &ior, gap);

    // A value reply and a descriptor-list reply decode and encode back; an
    // unknown type cannot be skipped.
    const Bytes head = hex(kUuidHex) + hex("00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00");
    for (const Bytes &body : {head + hex("00 00 00 00 00 00 00 01 ff ff ff fe 00 00 00 00 00 00 00 00"),
                              head + hex("00 00 00 02 00 00 00 02") + Bytes(2 * 24, 0) + hex("00 00 00 00 00 00 00 00")}) {
        quor_IOR_t d{};
        ASSERT_TRUE(decodeAll(xdr_quor_IOR_t, body, &d));
        bool ok = false;
        EXPECT_EQ(encode(xdr_quor_IOR_t, &d, &ok), body);
        EXPECT_TRUE(release(xdr_quor_IOR_t, &d));
        EXPECT_EQ(d.ReqSpecReply, nullptr);
    }
    EXPECT_FALSE(decodes(xdr_quor_IOR_t, head + hex("00 00 00 00 00 00 00 03 00 00 00 00 00 00 00 00")));

    // Reply counts past the cap are refused at their words.
    auto withCounts = [](const char *counts, size_t replies) {
        return hex(kUuidHex) + hex("00 00 00 00 00 00 00 00 00 00 00 00") + hex(counts) + Bytes(replies * 16, 0);
    };
    for (const char *counts : {"00 00 01 01 00 00 00 01", "00 00 00 01 00 00 01 01", "ff ff ff ff 00 00 00 00",
                               "7f ff ff ff 00 00 00 00"}) {
        Bytes b = withCounts(counts, 600);
        quor_IOR_t d{};
        size_t left = 0;
        EXPECT_FALSE(decode(xdr_quor_IOR_t, b, &d, &left)) << counts;
        EXPECT_EQ(b.size() - left, 28u + 5 * 4) << counts;
        EXPECT_EQ(d.SrcReplyList, nullptr);
    }
    EXPECT_TRUE(decodes(xdr_quor_IOR_t, withCounts("00 00 01 00 00 00 01 00", 512)));
}

} // namespace
