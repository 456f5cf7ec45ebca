// The gateway-mover link: the key proof between the two sides (a wrong key
// or a peer without the link's greeting is refused, and the key never
// crosses the wire), the job and report bodies with their bounds, and the
// weighted round that spreads stripes over the daemons.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <future>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "gw_mvlink.h"
#include "gw_mvremote.h"

namespace {

std::vector<unsigned char> keyOf(const std::string &s)
{
    return std::vector<unsigned char>(s.begin(), s.end());
}

// Both sides of the proof on a socket pair, with their results.
struct Proof {
    int gateway = 0, mover = 0;
};

Proof prove(const std::string &gatewayKey, const std::string &moverKey)
{
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    auto m = std::async(std::launch::async, [&] { return gw_MvProveMover(sv[1], keyOf(moverKey)); });
    Proof p;
    p.gateway = gw_MvProveGateway(sv[0], keyOf(gatewayKey));
    if (p.gateway != 0)
        close(sv[0]); // a refusing gateway hangs up
    p.mover = m.get();
    if (p.gateway == 0)
        close(sv[0]);
    close(sv[1]);
    return p;
}

TEST(GwMvLink, KeyProofAcceptsTheSameKeyOnlyAndRefusesOtherPeers)
{
    const std::string k = "0123456789abcdef-shared";
    Proof same = prove(k, k);
    EXPECT_EQ(same.gateway, 0);
    EXPECT_EQ(same.mover, 0);
    // A daemon with another key is refused by the gateway, which then sends
    // no proof of its own: the daemon sees no gateway either.
    Proof other = prove(k, "another key of 16+ bytes");
    EXPECT_EQ(other.gateway, -EACCES);
    EXPECT_EQ(other.mover, -EACCES);

    // A peer that speaks something else is refused on its first bytes, and
    // one that knows the greeting but not the key on its proof.
    const std::string greeting = std::string("KYLMVLK1") + std::string(32, 'n');
    struct Row {
        std::string sent;
    } rows[] = {{std::string("API_MSGH") + std::string(32, '\0')}, {greeting + std::string(32, '\0')}};
    for (const Row &r : rows) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        ASSERT_EQ(write(sv[0], r.sent.data(), r.sent.size()), static_cast<ssize_t>(r.sent.size()));
        EXPECT_EQ(gw_MvProveMover(sv[1], keyOf(k)), -EACCES);
        // The daemon's answer (if any) never holds the key.
        std::string answer(200, '\0');
        shutdown(sv[1], SHUT_WR);
        ssize_t n = read(sv[0], answer.data(), answer.size());
        answer.resize(n > 0 ? static_cast<size_t>(n) : 0);
        EXPECT_EQ(answer.find(k), std::string::npos);
        close(sv[0]);
        close(sv[1]);
    }
}

TEST(GwMvLink, JobAndReportRoundTripAndOutOfBoundsJobsAreRefused)
{
    gw_mvjob_t j;
    j.session = 7;
    j.request = 9;
    j.write = true;
    j.uid = 1000;
    j.gid = 100;
    j.groups = {100, 4};
    j.path = "/home/demo/a.tar";
    j.fileOffset = 1u << 20;
    j.total = 5u << 20;
    j.block = 1u << 20;
    j.width = 4;
    j.xferId = 0x1122334455667788ull;
    j.ticket = 42;
    for (quor_sockaddr_t *a : {&j.control, &j.clientIp}) {
        auto &in = reinterpret_cast<sockaddr_in &>(a->hs_addr);
        in.sin_family = AF_INET;
        in.sin_port = htons(4000);
        inet_pton(AF_INET, "127.0.0.1", &in.sin_addr);
    }
    j.stripes = {1, 3};
    std::vector<unsigned char> b;
    gw_MvEncodeJob(j, &b);
    gw_mvjob_t back;
    ASSERT_EQ(gw_MvDecodeJob(b, &back), 0);
    EXPECT_EQ(back.path, j.path);
    EXPECT_EQ(back.groups, j.groups);
    EXPECT_EQ(back.stripes, j.stripes);
    EXPECT_TRUE(back.write);
    EXPECT_EQ(back.xferId, j.xferId);
    EXPECT_EQ(back.fileOffset + back.total, 6u << 20);
    EXPECT_EQ(ntohs(reinterpret_cast<const sockaddr_in &>(back.control.hs_addr).sin_port), 4000);

    struct Bad {
        const char *what;
        void (*spoil)(gw_mvjob_t *);
    } bad[] = {
        {"stripe past the width", [](gw_mvjob_t *x) { x->stripes = {4}; }},
        {"width 0", [](gw_mvjob_t *x) { x->width = 0; }},
        {"block 0", [](gw_mvjob_t *x) { x->block = 0; }},
        {"too many blocks", [](gw_mvjob_t *x) { x->block = 1; }},
        {"longer than a request", [](gw_mvjob_t *x) { x->total = (1ull << 31) + 1; }},
        {"relative path", [](gw_mvjob_t *x) { x->path = "a.tar"; }},
        {"NUL in the path", [](gw_mvjob_t *x) { x->path = std::string("/a\0b", 4); }},
    };
    for (const Bad &c : bad) {
        SCOPED_TRACE(c.what);
        gw_mvjob_t x = j;
        c.spoil(&x);
        gw_MvEncodeJob(x, &b);
        EXPECT_EQ(gw_MvDecodeJob(b, &back), -EPROTO);
    }
    gw_MvEncodeJob(j, &b);
    b.pop_back(); // cut short
    EXPECT_EQ(gw_MvDecodeJob(b, &back), -EPROTO);

    gw_mvreport_t r;
    r.status = -5;
    r.stripes.push_back({3, -5, 2, 1, 1000, {1u << 20, 0}});
    gw_MvEncodeReport(r, &b);
    gw_mvreport_t rb;
    ASSERT_EQ(gw_MvDecodeReport(b, &rb), 0);
    ASSERT_EQ(rb.stripes.size(), 1u);
    EXPECT_EQ(rb.stripes[0].done, r.stripes[0].done);
    EXPECT_EQ(rb.stripes[0].bytes, 1000u);
    EXPECT_EQ(rb.status, -5);
    // Stripe k's blocks: 6 blocks at width 4 give stripes of 2, 2, 1, 1.
    EXPECT_EQ(gw_MvStripeBlocks(6, 1, 4, 1), 2u);
    EXPECT_EQ(gw_MvStripeBlocks(6, 1, 4, 3), 1u);
    EXPECT_EQ(gw_MvStripeBlocks(2, 1, 4, 3), 0u);
}

TEST(GwMvRemote, TheRoundGivesEachDaemonItsWeightInterleaved)
{
    const struct {
        std::vector<uint32_t> weights;
        std::vector<size_t> round;
    } rows[] = {
        {{1, 1}, {0, 1}},
        {{2, 1}, {0, 1, 0}},
        {{1, 3, 2}, {0, 1, 2, 1, 2, 1}},
        {{1}, {0}},
    };
    for (const auto &r : rows)
        EXPECT_EQ(gw_RemoteRound(r.weights), r.round);
}

} // namespace
