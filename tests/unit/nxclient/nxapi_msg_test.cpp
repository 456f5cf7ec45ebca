// The message layer over a socketpair with an in-process peer: the bytes of
// a request as they reach the socket, replies demultiplexed between many
// threads answered in random order, and the failures that break a
// connection (garbage or unsolicited header, a body that does not decode)
// waking every waiting thread.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "kylgw_catalogue.h"
#include "kylgw_xdr_fs.h"
#include "kylgw_xdr_xfer.h"
#include "nxapi_private.h"
#include "peer_testutil.h"
#include "velk_testproc.h"

namespace {

using velktest::Clock;
using velktest::kGenerousWait;

using peertest::FdSource;
using peertest::peerSend;
using peertest::replyHeader;
using peertest::writeAllBytes;

const kyl_xdrproc_t kLogCodec = KYL_XDRPROC(api_log_message_t, xdr_api_log_message_t);
const kyl_xdrproc_t kSiteCodec = KYL_XDRPROC(api_site_info_rply_t, xdr_api_site_info_rply_t);

// A request as the peer decodes it, through the catalogue's codec.
struct PeerRequest {
    api_msghdr_t hdr;
    api_log_message_t body;
};

bool peerReadRequest(FdSource &src, PeerRequest *req)
{
    kyl_xdr_t x;
    kyl_xdr_create_decode(&x, &src);
    memset(req, 0, sizeof *req);
    if (!kylgw_xdr_api_msghdr_t(&x, &req->hdr) || !kylgw_MsgHdrSane(&req->hdr))
        return false;
    if ((req->hdr.msgFlags & MSGF_BODY) == 0)
        return true;
    const kylgw_msgtype_t *row = kylgw_LookupMsgType(req->hdr.category, req->hdr.function);
    if (row == nullptr || row->request != kLogCodec)
        return false;
    return row->request(&x, &req->body);
}

// A connection whose streams run over one end of a socketpair; the test is
// the peer on the other end.
class MessageLayer : public ::testing::Test {
protected:
    void SetUp() override
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0) << strerror(errno);
        peer = sv[1];
        conn = new quor_connection_t;
        conn->handle = 1;
        ASSERT_EQ(nx_OpenStreams(conn, sv[0]), 0);
    }
    void TearDown() override
    {
        nx_CloseStreams(conn, NXAPI_E_NOSESSION);
        delete conn;
        if (peer >= 0)
            close(peer);
    }

    int sendLog(nxapi_tcontext_t *ctx, uint32_t flags, uint32_t priority, const char *text)
    {
        api_log_message_t m = {};
        m.flags = flags;
        m.priority = priority;
        snprintf(m.msgtext, sizeof m.msgtext, "%s", text);
        return nxapi_send_msg(CAT_LOG, FN_LOGMSG, &m, kLogCodec, 0, 0x01020304, conn, ctx);
    }

    int waitingCount()
    {
        kyl_lock_guard g(conn->msg_in.theMutex);
        int n = 0;
        for (nxapi_tcontext_t *t = conn->waitReplyList; t != nullptr; t = t->msgQNext)
            n++;
        return n;
    }

    // Waits until n threads wait on the connection's reply list.
    bool waitForWaiters(int n)
    {
        auto deadline = Clock::now() + kGenerousWait;
        while (waitingCount() != n) {
            if (Clock::now() > deadline)
                return false;
            std::this_thread::yield();
        }
        return true;
    }

    // The peer's end sees end of input once the client closed its socket.
    bool peerSeesClose()
    {
        struct pollfd p = {peer, POLLIN, 0};
        auto deadline = Clock::now() + kGenerousWait;
        for (;;) {
            int r = poll(&p, 1, velktest::msLeft(deadline));
            if (r <= 0)
                return false;
            unsigned char b[256];
            ssize_t got = read(peer, b, sizeof b);
            if (got == 0)
                return true;
            if (got < 0 && errno != EINTR)
                return false;
        }
    }

    quor_connection_t *conn = nullptr;
    int peer = -1;
};

TEST_F(MessageLayer, RequestBytesOnTheSocketMatchTheWireLayout)
{
    nxapi_tcontext_t ctx;
    api_site_info_req_t req = {67, 2};
    ASSERT_EQ(nxapi_send_msg(CAT_CONNECTION, FN_SITE_INFO, &req,
                             KYL_XDRPROC(api_site_info_req_t, xdr_api_site_info_req_t), 0, 0x01020304, conn, &ctx),
              0);
    uint32_t id = ctx.msgRequestID;
    EXPECT_NE(id, 0u);
    EXPECT_EQ(id & 0x80000000u, 0u);

    const unsigned char expected[44] = {
        'A',  'P',  'I',  '_',  'M',  'S',  'G',  'H',                      // sanity
        static_cast<unsigned char>(id >> 24), static_cast<unsigned char>(id >> 16),
        static_cast<unsigned char>(id >> 8),  static_cast<unsigned char>(id),  // request id
        0x80, 0x00, 0x00, 0x00,                                                // flags: body follows
        0x01, 0x02, 0x03, 0x04,                                                // time
        0x00, 0x00, 0x00, 0x00,                                                // thread tag
        0x00, 0x00, 0x01, 0x00,                                                // category 256
        0x00, 0x00, 0x00, 0x01,                                                // function 1
        0x00, 0x00, 0x00, 0x00,                                                // errorcode
        0x00, 0x00, 0x00, 0x43,                                                // cv_major 67
        0x00, 0x00, 0x00, 0x02,                                                // cv_minor 2
    };
    unsigned char got[sizeof expected];
    FdSource src(peer);
    ASSERT_TRUE(src.get(got, sizeof got));
    EXPECT_EQ(0, memcmp(got, expected, sizeof expected));
    // Nothing follows the message.
    unsigned char extra;
    EXPECT_EQ(recv(peer, &extra, 1, MSG_DONTWAIT), -1);
    EXPECT_EQ(ctx.msgOutCount, 1u);
}

TEST_F(MessageLayer, GarbageHeaderFailsEveryWaiterAndBreaksTheConnection)
{
    nxapi_tcontext_t ctx[3];
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(sendLog(&ctx[i], 0, static_cast<uint32_t>(i), "x"), 0);
    FdSource src(peer);
    PeerRequest reqs[3];
    for (auto &r : reqs)
        ASSERT_TRUE(peerReadRequest(src, &r));
    // The reply of thread 2, then a header whose sanity differs in one byte.
    quor_site_info_t body = {};
    body.sv_patch = 2;
    ASSERT_TRUE(peerSend(peer, replyHeader(ctx[2].msgRequestID, CAT_LOG, FN_LOGMSG, 0), kSiteCodec, &body));
    api_msghdr_t bad = replyHeader(ctx[0].msgRequestID, CAT_LOG, FN_LOGMSG, 0);
    bad.sanity[7] = 'X';
    ASSERT_TRUE(peerSend(peer, bad, nullptr, nullptr));

    int rc[3] = {-99, -99, -99};
    quor_site_info_t got[3] = {};
    api_msghdr_t hdr[3];
    std::thread t0([&] { rc[0] = nxapi_get_msg(&ctx[0], &hdr[0], &got[0], kSiteCodec, conn); });
    ASSERT_TRUE(waitForWaiters(1));
    std::thread t1([&] { rc[1] = nxapi_get_msg(&ctx[1], &hdr[1], &got[1], kSiteCodec, conn); });
    ASSERT_TRUE(waitForWaiters(2));
    // Thread 2 takes its reply and hands the reading role on: the next
    // reader meets the garbage header.
    std::thread t2([&] { rc[2] = nxapi_get_msg(&ctx[2], &hdr[2], &got[2], kSiteCodec, conn); });
    t0.join();
    t1.join();
    t2.join();

    EXPECT_EQ(rc[2], 0);
    EXPECT_EQ(got[2].sv_patch, 2u);
    EXPECT_EQ(rc[0], KYLGW_E_BADMSG);
    EXPECT_EQ(rc[1], KYLGW_E_BADMSG);
    EXPECT_TRUE(peerSeesClose());
    EXPECT_EQ(sendLog(&ctx[0], 0, 0, "again"), NXAPI_E_NOSESSION);
    api_msghdr_t h;
    EXPECT_EQ(nxapi_get_msg(&ctx[1], &h, nullptr, nullptr, conn), NXAPI_E_NOSESSION);
}

TEST_F(MessageLayer, BodyThatFailsToDecodeBreaksTheConnection)
{
    nxapi_tcontext_t ctx;
    ASSERT_EQ(sendLog(&ctx, 0, 0, "x"), 0);
    // An openlog record whose string length exceeds its cap, followed by
    // bytes that would pass for a valid header if the layer went on reading.
    api_msghdr_t h = replyHeader(ctx.msgRequestID, CAT_LOG, FN_OPENLOG, 0);
    h.msgFlags = MSGF_BODY;
    kyl_xdr_outbuf out;
    kyl_xdr_t x;
    kyl_xdr_create_encode(&x, &out);
    uint32_t flags = 0, len = 0xfffffff0u;
    api_msghdr_t next = replyHeader(ctx.msgRequestID, CAT_LOG, FN_OPENLOG, 0);
    ASSERT_TRUE(kylgw_xdr_api_msghdr_t(&x, &h) && kyl_xdr_u32(&x, &flags) && kyl_xdr_u32(&x, &len) &&
                kylgw_xdr_api_msghdr_t(&x, &next));
    ASSERT_TRUE(writeAllBytes(peer, out.data, out.len));
    kyl_xdr_outbuf_free(&out);

    api_openlog_t body = {};
    api_msghdr_t got;
    EXPECT_EQ(nxapi_get_msg(&ctx, &got, &body, KYL_XDRPROC(api_openlog_t, xdr_api_openlog_t), conn), -1);
    EXPECT_EQ(nxapi_get_msg(&ctx, &got, &body, KYL_XDRPROC(api_openlog_t, xdr_api_openlog_t), conn),
              NXAPI_E_NOSESSION);
    EXPECT_TRUE(peerSeesClose());
}

TEST_F(MessageLayer, BodyWithoutCallerCodecBreaksTheConnection)
{
    nxapi_tcontext_t ctx;
    ASSERT_EQ(sendLog(&ctx, 0, 0, "x"), 0);
    quor_site_info_t body = {};
    ASSERT_TRUE(peerSend(peer, replyHeader(ctx.msgRequestID, CAT_LOG, FN_LOGMSG, 0), kSiteCodec, &body));
    api_msghdr_t got;
    EXPECT_EQ(nxapi_get_msg(&ctx, &got, nullptr, nullptr, conn), KYLGW_E_BADMSG);
    EXPECT_EQ(conn->state.load(), CONNECTION_CLOSED);
}

TEST_F(MessageLayer, AReplyThatComesTooLateIsDroppedAndTheNextOneArrives)
{
    setenv("QUOR_REPLY_TIMEOUT", "1", 1);
    nxapi_tcontext_t ctx;
    // The first request's reply kind carries a body the late reply must be
    // skipped over with.
    ASSERT_EQ(nxapi_send_msg(CAT_FILESYS, FN_FS_STAT, nullptr, nullptr, 0, 0, conn, &ctx), 0);
    const uint32_t late = ctx.msgRequestID;
    api_msghdr_t h;
    const auto start = Clock::now();
    EXPECT_EQ(nxapi_get_msg(&ctx, &h, nullptr, nullptr, conn), -ETIMEDOUT);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
    unsetenv("QUOR_REPLY_TIMEOUT");

    const kylgw_msgtype_t *row = kylgw_LookupMsgType(CAT_FILESYS, FN_FS_STAT);
    ASSERT_TRUE(row != nullptr && row->reply != nullptr);
    std::vector<unsigned char> stat(row->replySize);
    ASSERT_TRUE(peerSend(peer, replyHeader(late, CAT_FILESYS, FN_FS_STAT, 0), row->reply, stat.data()));
    ASSERT_EQ(sendLog(&ctx, 0, 0, "next"), 0);
    quor_site_info_t body = {};
    body.sv_patch = 7;
    ASSERT_TRUE(peerSend(peer, replyHeader(ctx.msgRequestID, CAT_LOG, FN_LOGMSG, 0), kSiteCodec, &body));
    quor_site_info_t got = {};
    EXPECT_EQ(nxapi_get_msg(&ctx, &h, &got, kSiteCodec, conn), 0);
    EXPECT_EQ(h.msgRequestID, ctx.msgRequestID);
    EXPECT_EQ(got.sv_patch, 7u);
    EXPECT_EQ(conn->state.load(), CONNECTION_OPEN);
}

// Many threads share one connection; the peer answers their requests in
// random order with random pauses, and every reply must reach its sender.
class MessageLayerConcurrency : public MessageLayer {};

TEST_F(MessageLayerConcurrency, EveryReplyReachesItsSender)
{
    constexpr int kThreads = 32;
    constexpr int kRequests = 200;
    std::atomic<int> mismatches{0}, failures{0};
    auto client = [&](int t) {
        nxapi_tcontext_t ctx;
        for (int n = 0; n < kRequests; n++) {
            char text[32];
            snprintf(text, sizeof text, "t%d-%d", t, n);
            if (sendLog(&ctx, static_cast<uint32_t>(n), static_cast<uint32_t>(t), text) != 0) {
                failures++;
                return;
            }
            uint32_t id = ctx.msgRequestID;
            quor_site_info_t body = {};
            api_msghdr_t h;
            if (nxapi_get_msg(&ctx, &h, &body, kSiteCodec, conn) != 0) {
                failures++;
                return;
            }
            if (h.msgRequestID != id || body.server_flags != id || body.sv_patch != static_cast<uint32_t>(t) ||
                body.startupCOS != static_cast<uint32_t>(n) || h.errorcode != n)
                mismatches++;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back(client, t);

    std::mt19937 rng(12345);
    FdSource src(peer);
    std::vector<PeerRequest> pending;
    int answered = 0;
    bool peerOk = true;
    while (answered < kThreads * kRequests && peerOk) {
        // Take every request that has arrived; block for one when none is
        // pending (each thread has at most one outstanding).
        for (;;) {
            struct pollfd p = {peer, POLLIN, 0};
            if (!pending.empty() && poll(&p, 1, 0) <= 0)
                break;
            PeerRequest r;
            if (!peerReadRequest(src, &r)) {
                peerOk = false;
                break;
            }
            pending.push_back(r);
        }
        if (!peerOk || pending.empty())
            break;
        size_t k = std::uniform_int_distribution<size_t>(0, pending.size() - 1)(rng);
        PeerRequest r = pending[k];
        pending.erase(pending.begin() + static_cast<long>(k));
        if (std::uniform_int_distribution<int>(0, 15)(rng) == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(1, 300)(rng)));
        quor_site_info_t body = {};
        body.server_flags = r.hdr.msgRequestID;
        body.sv_patch = r.body.priority;
        body.startupCOS = r.body.flags;
        if (!peerSend(peer, replyHeader(r.hdr.msgRequestID, CAT_LOG, FN_LOGMSG, static_cast<int32_t>(r.body.flags)),
                      kSiteCodec, &body))
            peerOk = false;
        answered++;
    }
    if (!peerOk) {
        // Unblock the clients so that they can be joined.
        nx_CloseStreams(conn, NXAPI_E_NOSESSION);
    }
    for (auto &t : threads)
        t.join();
    EXPECT_TRUE(peerOk);
    EXPECT_EQ(answered, kThreads * kRequests);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
}

// A reply's time limit: QUOR_REPLY_TIMEOUT when it is a whole number of
// seconds up to a day, else 10 minutes; none for the requests that wait
// for movers or staging.
TEST(ReplyLimit, FromTheEnvironmentOrTheKindOfRequest)
{
    const struct {
        const char *env; // nullptr: unset
        uint16_t function;
        int seconds;
    } cases[] = {
        {nullptr, FN_FS_STAT, 600}, {"7", FN_FS_STAT, 7},       {"0", FN_FS_STAT, 0},
        {"86400", FN_FS_STAT, 86400}, {"86401", FN_FS_STAT, 600}, {"5x", FN_FS_STAT, 600},
        {"-1", FN_FS_STAT, 600},    {nullptr, FN_FS_READLIST, 0}, {nullptr, FN_FS_WRITELIST, 0},
        {nullptr, FN_FS_OPEN, 0},   {nullptr, FN_FS_OPENX, 0},
    };
    for (const auto &c : cases) {
        if (c.env != nullptr)
            setenv("QUOR_REPLY_TIMEOUT", c.env, 1);
        else
            unsetenv("QUOR_REPLY_TIMEOUT");
        EXPECT_EQ(nxapi_ReplyLimitSeconds(CAT_FILESYS, c.function), c.seconds) << (c.env ? c.env : "unset");
    }
    unsetenv("QUOR_REPLY_TIMEOUT");
}

} // namespace
