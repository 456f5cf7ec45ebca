// Mover control messages and data block header: golden bytes typed from the
// wire layouts (checksums summed here from the same literals), refusal of a
// flipped checksum or delimiter bit, and the transfer id of a request id.

#include "codec_testutil.h"
#include "kylgw_mvrprot.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace codectest;

Bytes be64(uint64_t v)
{
    return word(static_cast<uint32_t>(v >> 32)) + word(static_cast<uint32_t>(v));
}

const uint64_t kTicket = 0xf1f2f3f4f5f6f7f8ull;
const char *const kTicketHex = "f1 f2 f3 f4 f5 f6 f7 f8";
const uint64_t kCtl = 0x89abcdef01234567ull;

initiator_ipaddr_t addrMsg(int family, const char *text, uint16_t port)
{
    initiator_ipaddr_t m{};
    m.IpAddr.SockTransferID = 0x1122334455667788ull;
    m.IpAddr.SockOffset = 0x200;
    m.SecurityTicket = kTicket;
    auto &ss = m.IpAddr.SockAddr.hs_addr;
    if (family == AF_INET) {
        auto *a = reinterpret_cast<sockaddr_in *>(&ss);
        a->sin_family = AF_INET;
        a->sin_port = htons(port);
        inet_pton(AF_INET, text, &a->sin_addr);
    } else {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        inet_pton(AF_INET6, text, &a->sin6_addr);
    }
    return m;
}

// pack: the record packed; unpack: rc of unpacking b, and (when that
// succeeds) b packed again from the unpacked record.
struct Layout {
    const char *name;
    Bytes golden;
    std::function<Bytes()> pack;
    std::function<int(const Bytes &, Bytes *)> unpack;
};

template <typename T, size_t N>
Layout layout(const char *name, Bytes golden, T rec, void (*pack)(const T *, unsigned char *),
              int (*unpack)(const unsigned char *, T *))
{
    return {name, golden,
            [=] {
                Bytes b(N);
                pack(&rec, b.data());
                return b;
            },
            [=](const Bytes &in, Bytes *again) {
                T out{};
                int rc = unpack(in.data(), &out);
                again->assign(N, 0);
                if (rc == 0)
                    pack(&out, again->data());
                return rc;
            }};
}

void packIp(const initiator_ipaddr_t *m, unsigned char *out)
{
    ASSERT_EQ(mvrprot_pack_ipaddr(m, out), 0);
}

std::vector<Layout> layouts()
{
    initiator_msg_t init{0, 6, 1, 0x8000000000000200ull, 0x100000, 0x400000, 2, 0x800000, 0x200, 0x10, 3, kTicket, 0};
    completion_msg_t comp{0, 0, -5, 0x100000, kTicket, 0};
    pdata_hdr_t hdr{0, 0x1122334455667788ull, 0x1000, 0x200, kTicket, 0};
    return {
        layout<initiator_msg_t, MVRPROT_INITMSG_SIZE>(
            "initiator",
            hex("89 ab cd ef 01 23 45 67  00 00 00 06  00 00 00 01  80 00 00 00 00 00 02 00"
                "00 00 00 00 00 10 00 00  00 00 00 00 00 40 00 00  00 00 00 00 00 00 00 02"
                "00 00 00 00 00 80 00 00  00 00 02 00  00 00 00 10  00 00 00 03") +
                hex(kTicketHex) +
                be64(kCtl + 6 + 1 + 0x8000000000000200ull + 0x100000 + 0x400000 + 2 + 0x800000 + 0x200 + 0x10 + 3 +
                     kTicket),
            init, mvrprot_pack_initmsg, mvrprot_unpack_initmsg),
        layout<initiator_ipaddr_t, MVRPROT_IPADDR_SIZE>(
            "address IPv4",
            hex("89 ab cd ef 01 23 45 67  00 00 00 00  11 22 33 44 55 66 77 88  00 00 00 01"
                "c0 00 02 07 00 00 00 00 00 00 00 00 00 00 00 00  00 00 9c 40  00 00 00 00 00 00 02 00") +
                hex(kTicketHex) + be64(kCtl + 0 + 0x1122334455667788ull + 0xc0000207 + 40000 + 1 + 0x200 + kTicket),
            addrMsg(AF_INET, "192.0.2.7", 40000), packIp, mvrprot_unpack_ipaddr),
        layout<initiator_ipaddr_t, MVRPROT_IPADDR_SIZE>(
            "address IPv6",
            hex("89 ab cd ef 01 23 45 67  00 00 00 00  11 22 33 44 55 66 77 88  00 00 00 03"
                "20 01 0d b8 00 00 00 00 00 00 00 00 00 01 00 ff  00 00 01 bb  00 00 00 00 00 00 02 00") +
                hex(kTicketHex) +
                be64(kCtl + 0x1122334455667788ull + 0x20010db800000000ull + 0x00000000000100ffull + 443 + 3 + 0x200 +
                     kTicket),
            addrMsg(AF_INET6, "2001:db8::1:ff", 443), packIp, mvrprot_unpack_ipaddr),
        layout<completion_msg_t, MVRPROT_COMPMSG_SIZE>(
            "completion",
            hex("89 ab cd ef 01 23 45 67  00 00 00 00  ff ff ff fb  00 00 00 00 00 10 00 00") + hex(kTicketHex) +
                be64(kCtl + 0 + 0xfffffffffffffffbull + 0x100000 + kTicket),
            comp, mvrprot_pack_compmsg, mvrprot_unpack_compmsg),
        layout<pdata_hdr_t, PDATA_HDR_SIZE>(
            "data block header",
            hex("01 23 45 67 89 ab cd ef  11 22 33 44 55 66 77 88  00 00 00 00 00 00 10 00"
                "00 00 00 00 00 00 02 00") +
                hex(kTicketHex) + be64(0x0123456789abcdefull + 0x1122334455667788ull + 0x1000 + 0x200 + kTicket),
            hdr, pdata_pack_hdr, pdata_unpack_hdr),
    };
}

// Adds d to the checksum in the last 8 bytes of b.
void addToSum(Bytes &b, uint64_t d)
{
    quor_encode_64(b.data(), b.size() - 8, quor_decode_64(b.data(), b.size() - 8) + d);
}

// Each layout packs to its golden bytes and unpacks from them into a
// record that packs the same.  Refused: a flipped checksum bit, a flipped
// field bit, and a delimiter whose last bit is off even when the checksum
// agrees with it.
TEST(MoverLayouts, GoldenBytesAndRefusals)
{
    for (const Layout &l : layouts()) {
        SCOPED_TRACE(l.name);
        EXPECT_EQ(l.pack(), l.golden);
        Bytes again;
        EXPECT_EQ(l.unpack(l.golden, &again), 0);
        EXPECT_EQ(again, l.golden);
        Bytes sum = l.golden, field = l.golden, delim = l.golden;
        sum.back() ^= 1;
        field[8] ^= 1;
        delim[7] ^= 1;
        addToSum(delim, ~uint64_t{0});
        for (const Bytes &bad : {sum, field, delim})
            EXPECT_EQ(l.unpack(bad, &again), -EINVAL);
    }
}

// Family code 2 is refused even with a checksum that matches it.
TEST(MoverLayouts, AddressFamilyTwoRefused)
{
    Bytes b = layouts()[1].golden;
    putWord(b, 20, 2);
    addToSum(b, 1);
    initiator_ipaddr_t m{};
    EXPECT_EQ(mvrprot_unpack_ipaddr(b.data(), &m), -EINVAL);
}

// Node bytes 0x80, 0x90, 0xfe and 0xff count as negative.
TEST(MoverLayouts, TransferIdOfRequestId)
{
    kyl_uuid_t id{0x01234567, 0x89ab, 0xcdef, 0x81, 0x42, {0x80, 0xff, 0x02, 0x90, 0xfe, 0x03}};
    EXPECT_EQ(quor_RequestIDtoU32(&id), 0x01214766u);
    EXPECT_EQ(quor_RequestIDtoU64(&id), 0x00d108e801214766ull);
}

} // namespace
