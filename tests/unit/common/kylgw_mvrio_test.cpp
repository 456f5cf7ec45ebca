// Mover socket I/O over a socketpair: blocks received into place, refused
// headers, a peer that stops mid-block or mid-message, the header timeout,
// requested blocks served from a buffer, and the grant ranges.

#include "kyl_fd.h"
#include "kylgw_errors.h"
#include "kylgw_mvrio.h"

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

constexpr uint64_t kXfer = 0x1122334455667788ull;
constexpr uint64_t kBase = 0x10000; // window [kBase, kBase + kLen)
constexpr uint64_t kLen = 4096;

unsigned char pattern(uint64_t pos)
{
    return static_cast<unsigned char>(pos * 7 + 1);
}

struct Pair {
    kyl_fd us, peer;
    explicit Pair(int type = SOCK_STREAM)
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, type, 0, sv), 0);
        us.reset(sv[0]);
        peer.reset(sv[1]);
    }
};

struct Block {
    uint64_t offset, length;
    size_t sendBytes = SIZE_MAX; // data bytes actually sent (short: then the peer closes)
    uint64_t xfer = kXfer;
};

// The peer sends each block's header and its bytes of the pattern.
void sendBlocks(int fd, const std::vector<Block> &blocks)
{
    for (const Block &b : blocks) {
        pdata_hdr_t h{0, b.xfer, b.offset, b.length, 7, 0};
        ASSERT_EQ(pdata_send_hdr(fd, &h), 48);
        std::vector<unsigned char> data(std::min<uint64_t>(b.length, b.sendBytes));
        for (size_t i = 0; i < data.size(); i++)
            data[i] = pattern(b.offset - kBase + i);
        ASSERT_EQ(quor_send_data(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    }
}

// Every row sends its blocks, closes the peer when asked and receives with
// count blocks; the buffer must hold the pattern exactly in the filled
// window ranges and zeros elsewhere.
TEST(MoverRecvData, BlocksLandInPlaceOrAreRefused)
{
    using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;
    struct Row {
        const char *name;
        std::vector<Block> blocks;
        bool close;
        int count;
        ssize_t rc;
        uint64_t received;
        Ranges filled;
    } rows[] = {
        {"out of order", {{kBase + 2048, 2048}, {kBase, 1024}, {kBase + 1024, 1024}}, false, 3, 4096, 4096, {{0, 4096}}},
        {"until end of input", {{kBase + 1024, 512}, {kBase, 1024}}, true, -1, 0, 1536, {{0, 1536}}},
        {"duplicate", {{kBase, 1024}, {kBase, 1024}}, false, 2, -EINVAL, 1024, {{0, 1024}}},
        {"overlap", {{kBase + 1024, 1024}, {kBase + 512, 1024}}, false, 2, -EINVAL, 1024, {{1024, 2048}}},
        {"before the window", {{kBase - 512, 1024}}, false, 1, -EINVAL, 0, {}},
        {"past the window", {{kBase + 3584, 1024}}, false, 1, -EINVAL, 0, {}},
        {"wrapping offset", {{0xffffffffffffff00ull, 0x200, 0}}, false, 1, -EINVAL, 0, {}},
        {"other transfer", {{kBase, 512, SIZE_MAX, kXfer + (1ull << 32)}}, false, 1, -EINVAL, 0, {}},
        {"peer closes mid-block", {{kBase, 1024}, {kBase + 1024, 1024, 100}}, true, 2, -EIO, 1024, {{0, 1124}}},
        {"no header in time", {}, false, 1, -ETIMEDOUT, 0, {}},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        Pair p;
        sendBlocks(p.peer.get(), r.blocks);
        if (r.close)
            p.peer.reset();
        std::vector<unsigned char> buf(kLen, 0);
        uint64_t received = 0;
        EXPECT_EQ(mover_socket_recv_data_timeout(p.us.get(), kXfer, kBase, buf.data(), kLen, &received, r.count, 1),
                  r.rc);
        EXPECT_EQ(received, r.received);
        std::vector<unsigned char> want(kLen, 0);
        for (auto [begin, end] : r.filled)
            for (uint64_t i = begin; i < end; i++)
                want[i] = pattern(i);
        EXPECT_EQ(buf, want);
    }
}

// Ranges kept across calls refuse a block that an earlier call received.
TEST(MoverRecvData, RangesAcrossCalls)
{
    Pair p;
    sendBlocks(p.peer.get(), {{kBase, 2048}, {kBase + 1024, 512}});
    std::vector<unsigned char> buf(kLen);
    uint64_t received = 0;
    mover_ranges_t ranges;
    int fd = p.us.get();
    EXPECT_EQ(mover_socket_recv_data_ranges(fd, kXfer, kBase, buf.data(), kLen, &received, 1, 0, &ranges), 2048);
    EXPECT_EQ(mover_socket_recv_data_ranges(fd, kXfer, kBase, buf.data(), kLen, &received, 1, 0, &ranges), -EINVAL);
    EXPECT_EQ(received, 2048u);
}

// The grants of a mover exchange: a range overlaps only when it shares a
// byte; touching ranges are joined, so a contiguous cover is one range.
TEST(MoverRanges, OverlapSharesAByteAndTouchingRangesJoin)
{
    mover_ranges_t r;
    mover_ranges_add(&r, 100, 200);
    mover_ranges_add(&r, 300, 400);
    const struct {
        uint64_t begin, end;
        bool overlaps;
    } cases[] = {
        {0, 100, false}, {99, 101, true},  {150, 160, true}, {199, 200, true},  {200, 300, false},
        {250, 301, true}, {0, 1000, true}, {400, 401, false}, {399, 400, true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(mover_ranges_overlap(&r, c.begin, c.end), c.overlaps) << c.begin << "-" << c.end;
    mover_ranges_add(&r, 200, 300);
    using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;
    EXPECT_EQ(r.filled, (Ranges{{100, 400}}));
    mover_ranges_add(&r, 50, 100);
    mover_ranges_add(&r, 500, 600);
    EXPECT_EQ(r.filled, (Ranges{{50, 400}, {500, 600}}));
}

// A requested block is answered with its header and the buffer's bytes at
// its place; a request outside the buffer is refused.
TEST(MoverSendRequested, AnswersRequests)
{
    Pair p;
    std::vector<unsigned char> buf(kLen);
    for (uint64_t i = 0; i < kLen; i++)
        buf[i] = pattern(i);
    sendBlocks(p.peer.get(), {{kBase + 1000, 700, 0}, {kBase + 4000, 200, 0}});
    uint64_t sent = 0;
    EXPECT_EQ(mover_socket_send_requested_data_ws(p.us.get(), kXfer, kBase, buf.data(), kLen, &sent, 2, 0, 64),
              -EINVAL);
    EXPECT_EQ(sent, 700u);
    pdata_hdr_t h{};
    ASSERT_EQ(pdata_recv_hdr(p.peer.get(), &h), 48);
    EXPECT_EQ(h.XferID, kXfer);
    EXPECT_EQ(h.Offset, kBase + 1000);
    EXPECT_EQ(h.Length, 700u);
    std::vector<unsigned char> got(700);
    ASSERT_EQ(quor_recv_data(p.peer.get(), got.data(), got.size()), 700);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), buf.begin() + 1000));
}

// The write size cuts the answer into sends of at most that many bytes (a
// record socket keeps each send's size).
TEST(MoverSendRequested, SendsAreCutToTheWriteSize)
{
    Pair p(SOCK_SEQPACKET);
    std::vector<unsigned char> buf(kLen, 1);
    sendBlocks(p.peer.get(), {{kBase + 1000, 700, 0}});
    uint64_t sent = 0;
    EXPECT_EQ(mover_socket_send_requested_data_ws(p.us.get(), kXfer, kBase, buf.data(), kLen, &sent, 1, 0, 64), 700);
    pdata_hdr_t h{};
    ASSERT_EQ(pdata_recv_hdr(p.peer.get(), &h), 48);
    std::vector<ssize_t> sizes;
    for (ssize_t total = 0; total < 700;) {
        unsigned char b[1024];
        ssize_t n = recv(p.peer.get(), b, sizeof b, 0);
        ASSERT_GT(n, 0);
        sizes.push_back(n);
        total += n;
    }
    std::vector<ssize_t> want(10, 64);
    want.push_back(60);
    EXPECT_EQ(sizes, want);
}

// A control message cut short by the peer's close is -50; a whole one
// arrives as sent.
TEST(MoverControl, RoundTripAndPeerClosedMidMessage)
{
    initiator_msg_t m{0, MVRPROT_COMP_REPLY, MVRPROT_TYPE_TCP, 0x200, 0x1000, 0x400000, 1, 0x1000, 0, 0, 0, 42, 0};
    Pair p;
    ASSERT_EQ(mvrprot_send_initmsg(p.peer.get(), &m), 0);
    initiator_msg_t got{};
    ASSERT_EQ(mvrprot_recv_initmsg(p.us.get(), &got), 0);
    EXPECT_EQ(m.Delimiter, MVRPROT_DELIMITER);
    EXPECT_EQ(got.Length, m.Length);
    EXPECT_EQ(got.CheckSum, m.CheckSum);
    unsigned char part[40] = {};
    ASSERT_EQ(quor_send_data(p.peer.get(), part, sizeof part), 40);
    p.peer.reset();
    EXPECT_EQ(mvrprot_recv_initmsg(p.us.get(), &got), NXAPI_E_NOSESSION);
}

// A data header goes out only with as many bytes as it announces.
TEST(MoverSendData, HeaderLengthIsTheBytesSent)
{
    Pair p;
    pdata_hdr_t h{0, kXfer, kBase, 10, 7, 0};
    unsigned char data[10] = {};
    EXPECT_EQ(pdata_send_hdr_and_data(p.us.get(), &h, data, 5), -EINVAL);
    EXPECT_GT(pdata_send_hdr_and_data(p.us.get(), &h, data, 10), 0);
}

} // namespace
