// The client's mover exchange admits only the transfer's movers: this test
// plays a mover on a loopback control connection and a stranger beside it.
// A stranger's initiator gets no answer, and a stranger that reaches the
// data port first is closed unread while the mover's block lands.

#include "kyl_fd.h"
#include "kylgw_mvrio.h"
#include "kylgw_mvrprot.h"
#include "nxapi_mover.h"
#include "quor_api.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace {

constexpr uint64_t kTicket = 0x5ec0de5ec0de0001ull;
constexpr uint64_t kXfer = 77;
constexpr size_t kLen = 4000;

// A connected loopback TCP pair: *a the client's end, *b the mover's.
void loopbackPair(kyl_fd *a, kyl_fd *b)
{
    kyl_fd l(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t al = sizeof at;
    ASSERT_EQ(bind(l.get(), reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    ASSERT_EQ(listen(l.get(), 1), 0);
    ASSERT_EQ(getsockname(l.get(), reinterpret_cast<sockaddr *>(&at), &al), 0);
    b->reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(connect(b->get(), reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    a->reset(accept4(l.get(), nullptr, nullptr, SOCK_CLOEXEC));
    ASSERT_GE(a->get(), 0);
}

// Connects to the data address of an address message and sends a block
// header with ticket, then the bytes.  A stranger's send may fail once the
// client has closed its connection: only a mover's must go through.
kyl_fd sendBlock(const initiator_ipaddr_t &ia, uint64_t ticket, char fill, bool mustSend)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = reinterpret_cast<const sockaddr_in &>(ia.IpAddr.SockAddr.hs_addr).sin_port;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    kyl_fd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (connect(s.get(), reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
        return kyl_fd();
    pdata_hdr_t h{};
    h.XferID = kXfer;
    h.Length = kLen;
    h.SecurityTicket = ticket;
    const std::string data(kLen, fill);
    if (pdata_send_hdr_and_data_timeout(s.get(), &h, data.data(), kLen, 5) < 0 && mustSend)
        return kyl_fd();
    return s;
}

// Whether anything but the end of the connection arrives on s within two
// seconds.
bool receivesBytes(int s)
{
    pollfd p{s, POLLIN, 0};
    char b;
    return poll(&p, 1, 2000) == 1 && recv(s, &b, 1, 0) > 0;
}

TEST(MoverExchange, OnlyTheTransfersMoverIsServed)
{
    // Listening sockets need an address family; the one found is put back.
    const char *was = getenv("QUOR_NET_FAMILY");
    const std::string family = was != nullptr ? was : "";
    setenv("QUOR_NET_FAMILY", "ipv4_only", 1);
    struct Row {
        const char *what;
        uint64_t initiatorTicket;
        bool strangerOnDataPort;
    };
    const Row rows[] = {
        {"a stranger's initiator", kTicket ^ 1, false},
        {"a stranger first on the data port", kTicket, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        std::string buf(kLen, '\0');
        quor_moverxfer_t x;
        x.xferId = kXfer;
        x.buffer = reinterpret_cast<unsigned char *>(buf.data());
        x.length = kLen;
        x.timeout = 10;
        x.ticket = kTicket;
        x.ticketRc = 0;
        kyl_fd client, mover;
        loopbackPair(&client, &mover);
        int served = -1;
        std::thread exchange([&] { served = quor_MoverServeControl(&x, client.release()); });
        initiator_msg_t im{};
        im.Flags = MVRPROT_COMP_REPLY;
        im.Type = MVRPROT_TYPE_TCP;
        im.Length = im.BlockSize = im.TotalLength = kLen;
        im.StripeWidth = 1;
        im.SecurityTicket = row.initiatorTicket;
        // The mover's side; on any failure the mover's connection closes
        // below, which ends the exchange.
        bool strangerGotBytes = true;
        auto play = [&] {
            if (mvrprot_send_initmsg_timeout(mover.get(), &im, 5) != 0)
                return 1;
            if (row.initiatorTicket != kTicket) {
                // Closed without an answer: nothing granted.
                strangerGotBytes = receivesBytes(mover.get());
                return 0;
            }
            initiator_msg_t reply{};
            initiator_ipaddr_t ia{};
            if (mvrprot_recv_initmsg_timeout(mover.get(), &reply, 5) != 0 ||
                mvrprot_recv_ipaddr_timeout(mover.get(), &ia, 5) != 0)
                return 2;
            kyl_fd stranger = sendBlock(ia, kTicket ^ 2, 'X', false);
            kyl_fd data = sendBlock(ia, kTicket, 'R', true);
            if (stranger.get() < 0 || data.get() < 0)
                return 3;
            completion_msg_t cm{};
            cm.BytesMoved = kLen;
            cm.SecurityTicket = kTicket;
            if (mvrprot_send_compmsg_timeout(mover.get(), &cm, 5) != 0)
                return 4;
            strangerGotBytes = receivesBytes(stranger.get());
            return 0;
        };
        const int step = play();
        mover.reset();
        exchange.join();
        EXPECT_EQ(step, 0);
        EXPECT_FALSE(strangerGotBytes);
        EXPECT_EQ(served, 0);
        EXPECT_EQ(x.status.load(), 0);
        const bool granted = row.initiatorTicket == kTicket;
        EXPECT_EQ(x.moved.load(), granted ? kLen : 0u);
        EXPECT_EQ(buf, std::string(kLen, granted ? 'R' : '\0'));
    }
    if (was != nullptr)
        setenv("QUOR_NET_FAMILY", family.c_str(), 1);
    else
        unsetenv("QUOR_NET_FAMILY");
}

} // namespace
