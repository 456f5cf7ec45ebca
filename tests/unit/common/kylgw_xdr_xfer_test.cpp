// I/O descriptor and reply codecs: golden bytes typed from the wire layout
// of the IOD and IOR, round trips of every address form, truncation, and the
// caps on descriptor counts.

#include "codec_testutil.h"
#include "kyl_xdr.h"
#include "kylgw_catalogue.h"
#include "kylgw_xdr_xfer.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace codectest;

// a followed by b, for golden bytes built from parts.
Bytes operator+(Bytes a, const Bytes &b)
{
    return cat(std::move(a), b);
}

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

TEST(IodCodec, ReadListRequestGoldenBytes)
{
    ReadListFixture f;
    bool ok = false;
    Bytes b = encode(xdr_api_quor_ReadList_req_t, &f.req, &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(b, readListHex());
}

TEST(IodCodec, ReadListRequestDecodesAndFrees)
{
    api_quor_ReadList_req_t r{};
    size_t left = 99;
    ASSERT_TRUE(decode(xdr_api_quor_ReadList_req_t, readListHex(), &r, &left));
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(r.IOD.Function, IOD_FUNC_READ);
    EXPECT_EQ(r.IOD.RequestID.time_low, 0x01234567u);
    EXPECT_EQ(r.IOD.ReqSpecInfo, nullptr);
    ASSERT_NE(r.IOD.SrcDescList, nullptr);
    ASSERT_NE(r.IOD.SinkDescList, nullptr);
    EXPECT_EQ(r.IOD.SrcDescList->Next, nullptr);
    EXPECT_EQ(r.IOD.SinkDescList->Next, nullptr);

    const iod_srcsinkdesc_t &s = *r.IOD.SrcDescList;
    EXPECT_EQ(s.Offset, 0x1000u);
    EXPECT_EQ(s.Length, 0x100000000ull);
    ASSERT_EQ(s.SrcSinkAddr.Type, IOD_ADDR_CLIENTFILE);
    EXPECT_EQ(s.SrcSinkAddr.Addr.ClientFileAddr.FileDes, 7);
    EXPECT_EQ(s.SrcSinkAddr.Addr.ClientFileAddr.FileOffset, 0x200u);

    const iod_srcsinkdesc_t &k = *r.IOD.SinkDescList;
    EXPECT_EQ(k.Flags, 0x28u);
    ASSERT_EQ(k.SrcSinkAddr.Type, IOD_ADDR_NET);
    EXPECT_EQ(k.SrcSinkAddr.Addr.NetAddr.SockTransferID, 0x1122334455667788ull);
    const auto *in = reinterpret_cast<const sockaddr_in *>(&k.SrcSinkAddr.Addr.NetAddr.SockAddr.hs_addr);
    EXPECT_EQ(in->sin_family, AF_INET);
    EXPECT_EQ(ntohs(in->sin_port), 40000);

    release(xdr_api_quor_ReadList_req_t, &r);
    EXPECT_EQ(r.IOD.SrcDescList, nullptr);
    EXPECT_EQ(r.IOD.SinkDescList, nullptr);
}

TEST(IodCodec, WriteListRequestHasTheSameLayout)
{
    ReadListFixture f;
    api_quor_WriteList_req_t w{};
    w.IOD = f.req.IOD;
    w.Flags = f.req.Flags;
    bool ok = false;
    EXPECT_EQ(encode(xdr_api_quor_WriteList_req_t, &w, &ok), readListHex());
    EXPECT_TRUE(ok);
}

TEST(IodCodec, EveryCutFailsAndLeavesNothingAllocated)
{
    const Bytes &b = readListHex();
    for (size_t cut = 0; cut < b.size(); cut++) {
        api_quor_ReadList_req_t r{};
        Bytes part(b.begin(), b.begin() + static_cast<long>(cut));
        EXPECT_FALSE(decode(xdr_api_quor_ReadList_req_t, part, &r)) << cut;
        EXPECT_EQ(r.IOD.SrcDescList, nullptr) << cut;
        EXPECT_EQ(r.IOD.SinkDescList, nullptr) << cut;
    }
}

// An IOD whose counts are given, followed by n copies of a minimal
// descriptor (type 0: nothing after the type).
Bytes iodWithCounts(int32_t srcCount, int32_t sinkCount, size_t descriptors)
{
    auto word = [](int32_t v) {
        uint32_t u = static_cast<uint32_t>(v);
        return Bytes{static_cast<unsigned char>(u >> 24), static_cast<unsigned char>(u >> 16),
                     static_cast<unsigned char>(u >> 8), static_cast<unsigned char>(u)};
    };
    Bytes b = hex(kUuidHex) + hex("00 00 00 02 00 00 00 00 00 00 00 00") + word(srcCount) + word(sinkCount);
    const Bytes desc = hex("00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    for (size_t i = 0; i < descriptors; i++)
        b = b + desc;
    return b;
}

constexpr size_t kIodCountsEnd = 28 + 5 * 4;

TEST(IodCodec, CountsPastTheCapAreRefusedAtTheCountWord)
{
    const int32_t cap = KYLGW_MAX_IOD_DESC;
    struct Case {
        int32_t src, sink;
    } const refused[] = {{cap + 1, 1}, {1, cap + 1}, {-1, 1}, {1, -1}, {INT32_MAX, 1}, {INT32_MIN, 0}};
    for (const Case &c : refused) {
        // Enough descriptors follow that only the cap can stop the decoder.
        Bytes b = iodWithCounts(c.src, c.sink, 2 * cap + 2);
        quor_IOD_t iod{};
        size_t left = 0;
        EXPECT_FALSE(decode(xdr_quor_IOD_t, b, &iod, &left)) << c.src << "/" << c.sink;
        EXPECT_EQ(b.size() - left, kIodCountsEnd) << "read past the counts for " << c.src << "/" << c.sink;
        EXPECT_EQ(iod.SrcDescList, nullptr);
        EXPECT_EQ(iod.SinkDescList, nullptr);
    }

    // Exactly the cap on both sides is accepted.
    Bytes b = iodWithCounts(cap, cap, 2 * cap);
    quor_IOD_t iod{};
    size_t left = 1;
    ASSERT_TRUE(decode(xdr_quor_IOD_t, b, &iod, &left));
    EXPECT_EQ(left, 0u);
    int n = 0;
    for (const iod_srcsinkdesc_t *d = iod.SinkDescList; d != nullptr; d = d->Next)
        n++;
    EXPECT_EQ(n, cap);
    release(xdr_quor_IOD_t, &iod);
    EXPECT_EQ(iod.SrcDescList, nullptr);

    // Encoding refuses a count past the cap as well.
    iod_srcsinkdesc_t one{};
    quor_IOD_t big{};
    big.SrcDescLength = cap + 1;
    big.SrcDescList = &one;
    EXPECT_FALSE(encodes(xdr_quor_IOD_t, &big));
}

TEST(IodCodec, EncodingRefusesShortListsAndUnsupportedParts)
{
    ReadListFixture f;
    quor_IOD_t iod = f.req.IOD;
    iod.SinkDescLength = 2;  // only one sink in the list
    EXPECT_FALSE(encodes(xdr_quor_IOD_t, &iod));

    iod = f.req.IOD;
    iod.SrcDescList = nullptr;
    EXPECT_FALSE(encodes(xdr_quor_IOD_t, &iod));

    iod = f.req.IOD;
    iod.ReqSpecInfo = reinterpret_cast<iod_reqspec_t *>(&f);  // never dereferenced: refused first
    EXPECT_FALSE(encodes(xdr_quor_IOD_t, &iod));

    for (int32_t type : {IOD_ADDR_STRIPE, IOD_ADDR_MEMORY}) {
        iod_address_t a{};
        a.Type = type;
        EXPECT_FALSE(encodes(xdr_iod_address_t, &a)) << type;
        iod_address_t d{};
        Bytes b = hex("00 00 00 00");
        b[3] = static_cast<unsigned char>(type);
        b.resize(64, 0);
        EXPECT_FALSE(decode(xdr_iod_address_t, b, &d)) << type;
    }

    // A present request-specific part is refused on decoding.
    Bytes b = readListHex();
    b[4 + 28 + 11] = 1;
    api_quor_ReadList_req_t r{};
    EXPECT_FALSE(decode(xdr_api_quor_ReadList_req_t, b, &r));
    EXPECT_EQ(r.IOD.SrcDescList, nullptr);
}

// Round trip of one address; returns the decoded form.
iod_address_t roundTrip(iod_address_t a, Bytes *wire)
{
    bool ok = false;
    *wire = encode(xdr_iod_address_t, &a, &ok);
    EXPECT_TRUE(ok);
    iod_address_t d;
    memset(&d, 0xa5, sizeof d);
    size_t left = 1;
    EXPECT_TRUE(decode(xdr_iod_address_t, *wire, &d, &left));
    EXPECT_EQ(left, 0u);
    return d;
}

TEST(IodAddress, EveryEncodableFormRoundTrips)
{
    Bytes wire;
    iod_address_t a{};

    a.Type = IOD_ADDR_SHM;
    a.Addr.ShmAddr = shmaddress_t{1, 2, 3};
    iod_address_t d = roundTrip(a, &wire);
    EXPECT_EQ(wire, hex("00 00 00 0c 00 00 00 01 00 00 00 02 00 00 00 03"));
    EXPECT_EQ(d.Addr.ShmAddr.ShmOffset, 3u);

    memset(&a, 0, sizeof a);
    a.Type = IOD_ADDR_LOCALFILE;
    lftaddress_t &l = a.Addr.LocalFileAddr;
    l.Offset = 0x10;
    l.Flags = 4;
    l.Uid = 1000;
    l.Gid = 100;
    l.RealmId = 1;
    strcpy(l.PathName, "/a/b");
    d = roundTrip(a, &wire);
    EXPECT_EQ(wire, hex("00 00 00 0d 00 00 00 00 00 00 00 10 00 00 00 04 00 00 03 e8 00 00 00 64"
                        "00 00 00 01 00 00 00 05 2f 61 2f 62 00 00 00 00"));
    EXPECT_STREQ(d.Addr.LocalFileAddr.PathName, "/a/b");
    EXPECT_EQ(d.Addr.LocalFileAddr.Uid, 1000u);

    memset(&a, 0, sizeof a);
    a.Type = IOD_ADDR_SAN3P;
    a.Addr.San3pAddr.SAN3PTransferID = 0x0102030405060708ull;
    for (size_t i = 0; i < IOD_SAN3P_TOKEN_SIZE; i++)
        a.Addr.San3pAddr.SecurityToken[i] = static_cast<unsigned char>(0xf0 + i);
    d = roundTrip(a, &wire);
    ASSERT_EQ(wire.size(), 4u + 8u + 32u);
    EXPECT_EQ(wire[12], 0xf0);
    EXPECT_EQ(memcmp(d.Addr.San3pAddr.SecurityToken, a.Addr.San3pAddr.SecurityToken, IOD_SAN3P_TOKEN_SIZE), 0);

    memset(&a, 0, sizeof a);
    a.Type = IOD_ADDR_NET;
    auto *in6 = reinterpret_cast<sockaddr_in6 *>(&a.Addr.NetAddr.SockAddr.hs_addr);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(5000);
    ASSERT_EQ(inet_pton(AF_INET6, "::1", &in6->sin6_addr), 1);
    a.Addr.NetAddr.SockAddr.hs_addrlen = sizeof(sockaddr_in6);
    a.Addr.NetAddr.SockTransferID = 9;
    a.Addr.NetAddr.SockOffset = 0x20;
    d = roundTrip(a, &wire);
    EXPECT_EQ(wire, hex("00 00 00 01 00 00 00 00 00 00 00 09 00 00 00 03"
                        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 13 88"
                        "00 00 00 00 00 00 00 20"));
    EXPECT_EQ(d.Addr.NetAddr.SockAddr.hs_addr.ss_family, AF_INET6);
    EXPECT_EQ(d.Addr.NetAddr.SockOffset, 0x20u);

    // A type without a member is the type word alone.
    memset(&a, 0, sizeof a);
    a.Type = 77;
    d = roundTrip(a, &wire);
    EXPECT_EQ(wire, hex("00 00 00 4d"));
    EXPECT_EQ(d.Type, 77);
}

// An IOR that met a gap: 0x1000 bytes moved, then a hole of 0x1000 at 0x2000.
const Bytes &gapIorHex()
{
    static const Bytes b = hex(kUuidHex) + hex("00 00 00 20"                  // Flags: gap
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
    return b;
}

TEST(IorCodec, GapReplyGoldenBytesBothWays)
{
    iod_reqspecreply_t entry{};
    entry.CountProcessed = 1;
    entry.ReqReplyType = IOD_REQREPLY_GAP;
    entry.Gap = iod_gap_t{0x2000, 0x1000};
    iod_srcsinkreply_t src{0, 0, 0x1000, nullptr};
    iod_srcsinkreply_t sink{0, -5, 0x1000, nullptr};
    quor_IOR_t ior{testUuid(), IOR_GAP_DETECTED, 0, &entry, 1, 1, &src, &sink};
    bool ok = false;
    EXPECT_EQ(encode(xdr_quor_IOR_t, &ior, &ok), gapIorHex());
    EXPECT_TRUE(ok);

    quor_IOR_t d{};
    size_t left = 1;
    ASSERT_TRUE(decode(xdr_quor_IOR_t, gapIorHex(), &d, &left));
    EXPECT_EQ(left, 0u);
    EXPECT_EQ(d.Flags, IOR_GAP_DETECTED);
    ASSERT_NE(d.ReqSpecReply, nullptr);
    EXPECT_EQ(d.ReqSpecReply->ReqReplyType, IOD_REQREPLY_GAP);
    EXPECT_EQ(d.ReqSpecReply->Gap.Offset, 0x2000u);
    EXPECT_EQ(d.ReqSpecReply->Gap.Length, 0x1000u);
    ASSERT_NE(d.SinkReplyList, nullptr);
    EXPECT_EQ(d.SinkReplyList->Status, -5);
    EXPECT_EQ(d.SinkReplyList->BytesMoved, 0x1000u);
    EXPECT_EQ(d.SinkReplyList->Next, nullptr);
    release(xdr_quor_IOR_t, &d);
    EXPECT_EQ(d.ReqSpecReply, nullptr);
    EXPECT_EQ(d.SrcReplyList, nullptr);
    EXPECT_EQ(d.SinkReplyList, nullptr);
}

TEST(IorCodec, EveryCutFailsAndLeavesNothingAllocated)
{
    const Bytes &b = gapIorHex();
    for (size_t cut = 0; cut < b.size(); cut++) {
        quor_IOR_t d{};
        Bytes part(b.begin(), b.begin() + static_cast<long>(cut));
        EXPECT_FALSE(decode(xdr_quor_IOR_t, part, &d)) << cut;
        EXPECT_EQ(d.ReqSpecReply, nullptr) << cut;
        EXPECT_EQ(d.SrcReplyList, nullptr) << cut;
        EXPECT_EQ(d.SinkReplyList, nullptr) << cut;
    }
}

TEST(IorCodec, ReplyCountsAndUnknownSpecTypesAreRefused)
{
    // No request-specific reply; counts then zero-filled replies.
    auto ior = [](const char *counts, size_t replies) {
        Bytes b = hex(kUuidHex) + hex("00 00 00 00 00 00 00 00 00 00 00 00") + hex(counts);
        b.resize(b.size() + replies * 16, 0);
        return b;
    };
    const size_t countsEnd = 28 + 5 * 4;
    for (const char *counts : {"00 00 01 01 00 00 00 01", "00 00 00 01 00 00 01 01", "ff ff ff ff 00 00 00 00",
                               "7f ff ff ff 00 00 00 00"}) {
        Bytes b = ior(counts, 600);
        quor_IOR_t d{};
        size_t left = 0;
        EXPECT_FALSE(decode(xdr_quor_IOR_t, b, &d, &left)) << counts;
        EXPECT_EQ(b.size() - left, countsEnd) << counts;
        EXPECT_EQ(d.SrcReplyList, nullptr);
    }
    Bytes atCap = ior("00 00 01 00 00 00 01 00", 512);
    quor_IOR_t d{};
    ASSERT_TRUE(decode(xdr_quor_IOR_t, atCap, &d));
    release(xdr_quor_IOR_t, &d);

    // A request-specific reply of an unknown type cannot be skipped.
    Bytes entry = hex(kUuidHex) + hex("00 00 00 00 00 00 00 00 00 00 00 01"
                                     "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 03"
                                     "00 00 00 00 00 00 00 00");
    quor_IOR_t s{};
    EXPECT_FALSE(decode(xdr_quor_IOR_t, entry, &s));
    EXPECT_EQ(s.ReqSpecReply, nullptr);

    // A value reply and a descriptor-list reply decode.
    Bytes value = hex(kUuidHex) + hex("00 00 00 00 00 00 00 00 00 00 00 01"
                                      "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01"
                                      "ff ff ff fe 00 00 00 00 00 00 00 00");
    ASSERT_TRUE(decode(xdr_quor_IOR_t, value, &s));
    ASSERT_NE(s.ReqSpecReply, nullptr);
    EXPECT_EQ(s.ReqSpecReply->Value, -2);
    release(xdr_quor_IOR_t, &s);

    Bytes list = hex(kUuidHex) + hex("00 00 00 00 00 00 00 00 00 00 00 01"
                                     "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 02 00 00 00 02") +
                 Bytes(2 * 24, 0) + hex("00 00 00 00 00 00 00 00");
    ASSERT_TRUE(decode(xdr_quor_IOR_t, list, &s));
    ASSERT_NE(s.ReqSpecReply, nullptr);
    ASSERT_NE(s.ReqSpecReply->ReqList, nullptr);
    ASSERT_NE(s.ReqSpecReply->ReqList->Next, nullptr);
    EXPECT_EQ(s.ReqSpecReply->ReqList->Next->Next, nullptr);
    release(xdr_quor_IOR_t, &s);
    EXPECT_EQ(s.ReqSpecReply, nullptr);
}

TEST(DataStreamRequests, ReadXAndWriteXGoldenBytes)
{
    api_quor_ReadX_req_t r{0x80000000u, 5, 0x100000002ull};
    const Bytes want = hex("80 00 00 00 00 00 00 05 00 00 00 01 00 00 00 02");
    bool ok = false;
    EXPECT_EQ(encode(xdr_api_quor_ReadX_req_t, &r, &ok), want);
    EXPECT_TRUE(ok);
    api_quor_WriteX_req_t w{};
    ASSERT_TRUE(decode(xdr_api_quor_WriteX_req_t, want, &w));
    EXPECT_EQ(w.XIOFlags, 0x80000000u);
    EXPECT_EQ(w.Fildes, 5);
    EXPECT_EQ(w.Nbyte, 0x100000002ull);
    for (size_t cut = 0; cut < want.size(); cut++)
        EXPECT_FALSE(decode(xdr_api_quor_WriteX_req_t, Bytes(want.begin(), want.begin() + static_cast<long>(cut)),
                            &w));
}

TEST(XferCatalogue, RowsReachTheCodecs)
{
    const kylgw_msgtype_t *rl = kylgw_LookupMsgType(CAT_FILESYS, FN_FS_READLIST);
    ASSERT_NE(rl, nullptr);
    EXPECT_STREQ(rl->name, "quor_ReadList");
    ASSERT_NE(rl->request, nullptr);
    ASSERT_NE(rl->reply, nullptr);
    EXPECT_EQ(rl->requestSize, sizeof(api_quor_ReadList_req_t));
    EXPECT_EQ(rl->replySize, sizeof(quor_IOR_t));

    api_quor_ReadList_req_t r{};
    kyl_xdr_memsource src(readListHex().data(), readListHex().size());
    kyl_xdr_t x;
    kyl_xdr_create_decode(&x, &src);
    ASSERT_TRUE(rl->request(&x, &r));
    EXPECT_EQ(r.IOD.SinkDescList->SrcSinkAddr.Type, IOD_ADDR_NET);
    kyl_xdr_free(rl->request, &r);
    EXPECT_EQ(r.IOD.SinkDescList, nullptr);

    const kylgw_msgtype_t *wl = kylgw_LookupMsgType(CAT_FILESYS, FN_FS_WRITELIST);
    ASSERT_NE(wl, nullptr);
    EXPECT_STREQ(wl->name, "quor_WriteList");
    EXPECT_NE(wl->reply, nullptr);
    for (uint16_t fn : {FN_FS_READX, FN_FS_WRITEX}) {
        const kylgw_msgtype_t *row = kylgw_LookupMsgType(CAT_FILESYS, fn);
        ASSERT_NE(row, nullptr) << fn;
        EXPECT_NE(row->request, nullptr);
        EXPECT_EQ(row->reply, nullptr);  // the reply is a header alone
    }
}

} // namespace
