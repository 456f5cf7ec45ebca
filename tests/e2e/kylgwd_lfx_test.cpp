// Local-file transfers against the real kylgwd, driven by the client
// library's message layer in a forked child (a fresh logged-in session per
// child): inline sends and receives, transfers over a data connection the
// gateway opens to the child, reuse of that connection from the pool, and
// a connection the child closes early.
#include "nxapi_fileops.h"
#include "nxapi_mover.h"
#include "nxapi_private.h"
#include "velk_gwsession.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <kyl_fd.h>
#include <kylgw_mvrio.h>
#include <kylgw_xdr_lfx.h>
#include <kylgw_xdr_xfer.h>
#include <netinet/in.h>
#include <poll.h>
#include <quor_api.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using velktest::readFile;

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * 131 + seed * 7 + i / 4099) & 0xff);
    return s;
}

struct Lfx {
    kylgw_lfx_xfer_init_req_t req{};
    kyl_sockaddr_info_t addr{};
    kylgw_lfx_xfer_init_rply_t rply{};
    kylgw_lfx_xfer_reply_t done{};
    int32_t result = 0;
    int32_t doneResult = 0;
    nxapi_tcontext_t *ctx = nullptr;

    Lfx(const std::string &path, uint8_t op, uint32_t flags, uint64_t len)
    {
        req.filedes = -1;
        req.info.flags = flags;
        req.info.xferOperation = op;
        snprintf(req.info.pathName, sizeof req.info.pathName, "%s", path.c_str());
        req.info.xferLength = len;
        req.info.mode = 0644;
    }
    ~Lfx()
    {
        kyl_xdr_free(KYL_XDRPROC(kylgw_lfx_xfer_init_rply_t, xdr_kylgw_lfx_xfer_init_rply_t), &rply);
    }
    void viaPool(const quor_sockaddr_t &a, uint32_t pool, bool pooled)
    {
        addr.addressType = LFX_ADDR_LISTEN;
        addr.preConnected = pooled ? 1 : 0;
        addr.poolID = pool;
        addr.socketAddr = a;
        req.info.addressCount = 1;
        req.info.addressList = &addr;
    }
    // Sends the request and takes the first reply: 0 or the call failure.
    int start()
    {
        int rc = nxapi_init(&ctx);
        return rc != 0 ? rc
                       : nxapi_Exchange(ctx, CAT_LFX, FN_LFX_INIT, &req,
                                        KYL_XDRPROC(kylgw_lfx_xfer_init_req_t, xdr_kylgw_lfx_xfer_init_req_t), &rply,
                                        KYL_XDRPROC(kylgw_lfx_xfer_init_rply_t, xdr_kylgw_lfx_xfer_init_rply_t), &result);
    }
    // Takes the completion: 0 or the call failure.
    int finish()
    {
        api_msghdr_t h{};
        int rc = nxapi_get_msg(ctx, &h, &done, KYL_XDRPROC(kylgw_lfx_xfer_reply_t, xdr_kylgw_lfx_xfer_reply_t), nullptr);
        doneResult = h.errorcode;
        return rc != 0 ? rc : h.function == FN_LFX_XFER_REPLY ? 0 : -1;
    }
};

// Accepts the gateway's data connection within 30 s: the socket or -1.
// Accepts the gateway's data connection for pool id poolId on lfd and
// takes the proof it opens with: the socket, or -1 when the proof is not
// the session's transfer secret for the entry.
int acceptData(int lfd, uint32_t poolId)
{
    pollfd p{lfd, POLLIN, 0};
    sockaddr_in at{};
    socklen_t al = sizeof at;
    unsigned char want[TRANSFER_SECRET_SIZE], got[TRANSFER_SECRET_SIZE];
    if (poll(&p, 1, 30000) != 1 || getsockname(lfd, reinterpret_cast<sockaddr *>(&at), &al) != 0 ||
        quor_TransferSecret(-1, TRANSFER_SECRET_LFX, transfer_lfx_id(poolId, ntohs(at.sin_port)), want) != 0)
        return -1;
    kyl_fd s(accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC));
    if (s.get() < 0 || quor_recv_data_timeout(s.get(), got, sizeof got, 30) != static_cast<ssize_t>(sizeof got) ||
        memcmp(got, want, sizeof got) != 0)
        return -1;
    return s.release();
}

class KylgwdLfx : public velktest::VelkGatewayTest {
protected:
    int inChild(const std::function<int()> &scenario) { return VelkGatewayTest::inChild(scenario, 90); }
};

TEST_F(KylgwdLfx, InlineSendThenReceiveRoundTripsAndUnknownDescriptorsFail)
{
    for (size_t n : {size_t{1}, size_t{4 << 20}, size_t{(4 << 20) + 3}}) {
        SCOPED_TRACE(n);
        const std::string data = pattern(n, static_cast<unsigned>(n));
        const std::string path = "/home/demo/in" + std::to_string(n);
        int code = inChild([&] {
            Lfx put(path, LFX_OP_SEND, LFX_INLINE_SEND, n);
            put.req.info.fileData = reinterpret_cast<unsigned char *>(const_cast<char *>(data.data()));
            if (put.start() != 0 || put.result != 0 || put.rply.reply.fileSize != n)
                return 10;
            // Asking past the end brings back what the file holds.
            Lfx get(path, LFX_OP_RECEIVE, LFX_INLINE_RECEIVE, n + 10);
            if (get.start() != 0 || get.result != 0 || get.rply.reply.fileSize != n ||
                !(get.rply.reply.flags & LFX_REPLY_INLINE))
                return 20;
            if (std::string(reinterpret_cast<char *>(get.rply.reply.fileData), n) != data)
                return 21;
            Lfx bad(path, LFX_OP_RECEIVE, LFX_INLINE_RECEIVE | LFX_REMOTE_OPEN, 1);
            bad.req.filedes = 77;
            return bad.start() == 0 && bad.result == -EBADF ? 0 : 30;
        });
        ASSERT_EQ(code, 0) << readFile(dir / "child.err") << gw.logText();
        EXPECT_TRUE(readFile(home() + "/in" + std::to_string(n)) == data);
    }
}

TEST_F(KylgwdLfx, DataConnectionIsPooledAfterSuccessAndDroppedAfterEarlyClose)
{
    const std::string data = pattern(3 * 1024 * 1024 + 11, 3);
    int code = inChild([&] {
        setenv("QUOR_NET_FAMILY", "ipv4_only", 1);
        int lfd = -1;
        quor_sockaddr_t a{};
        if (quor_MoverListen(&lfd, &a) != 0)
            return 1;
        kyl_fd listener(lfd);
        // A send over a new connection, pooled as 5.
        Lfx put("/home/demo/conn", LFX_OP_SEND, 0, data.size());
        put.viaPool(a, 5, false);
        if (put.start() != 0 || put.result != 0)
            return 10;
        kyl_fd s(acceptData(lfd, 5));
        if (s.get() < 0 || quor_send_data(s.get(), data.data(), data.size()) != static_cast<ssize_t>(data.size()))
            return 11;
        if (put.finish() != 0 || put.doneResult != 0 || put.done.complete.bytesXferred != data.size())
            return 12;
        // A receive reusing pool 5: the bytes come back on the same socket.
        Lfx get("/home/demo/conn", LFX_OP_RECEIVE, 0, data.size());
        get.viaPool(a, 5, true);
        std::string back(data.size(), '\0');
        if (get.start() != 0 || get.result != 0 ||
            quor_recv_data_timeout(s.get(), back.data(), back.size(), 30) != static_cast<ssize_t>(back.size()))
            return 20;
        if (get.finish() != 0 || get.doneResult != 0 || back != data)
            return 21;
        // A send whose connection ends early fails and is not pooled.
        Lfx cut("/home/demo/cut", LFX_OP_SEND, 0, data.size());
        cut.viaPool(a, 6, false);
        if (cut.start() != 0 || cut.result != 0)
            return 30;
        kyl_fd s2(acceptData(lfd, 6));
        if (s2.get() < 0 || quor_send_data(s2.get(), data.data(), 1000) != 1000)
            return 31;
        s2.reset();
        if (cut.finish() != 0 || cut.doneResult >= 0 || cut.done.complete.xferStatus >= 0)
            return 32;
        Lfx again("/home/demo/cut", LFX_OP_SEND, 0, 1);
        again.viaPool(a, 6, true);
        if (again.start() != 0 || again.finish() != 0 || again.doneResult != -ENOTCONN)
            return 40;
        return 0;
    });
    ASSERT_EQ(code, 0) << readFile(dir / "child.err") << gw.logText();
    EXPECT_TRUE(readFile(home() + "/conn") == data);
    // The event log shows the second transfer reused the pooled connection.
    size_t pooledOk = 0;
    for (const std::string &line : velktest::lines(readFile(dir / "events")))
        if (line.find("\"event\":\"lfx\"") != std::string::npos && line.find("\"pooled\":1") != std::string::npos &&
            line.find("\"status\":0") != std::string::npos)
            pooledOk++;
    EXPECT_EQ(pooledOk, 1u);
}

// A session keeps at most max_lfx_pool_per_session data connections: a
// third one closes the oldest, which can no longer be reused.
class KylgwdLfxPoolCap : public KylgwdLfx {
protected:
    void SetUp() override { ASSERT_TRUE(startGateway("Site = {\n  max_lfx_pool_per_session = 2\n}\n")); }
};

TEST_F(KylgwdLfxPoolCap, OldestKeptConnectionIsClosedPastTheCap)
{
    int code = inChild([&] {
        setenv("QUOR_NET_FAMILY", "ipv4_only", 1);
        int lfd = -1;
        quor_sockaddr_t a{};
        if (quor_MoverListen(&lfd, &a) != 0)
            return 1;
        kyl_fd listener(lfd);
        std::vector<kyl_fd> kept;
        for (uint32_t pool = 1; pool <= 3; pool++) {
            Lfx put("/home/demo/p" + std::to_string(pool), LFX_OP_SEND, 0, 3);
            put.viaPool(a, pool, false);
            if (put.start() != 0 || put.result != 0)
                return 10;
            kept.emplace_back(acceptData(lfd, pool));
            if (kept.back().get() < 0 || quor_send_data(kept.back().get(), "abc", 3) != 3)
                return 11;
            if (put.finish() != 0 || put.doneResult != 0)
                return 12;
        }
        // Pool 1 was closed for pool 3; pools 2 and 3 are still there.
        for (const auto &[pool, want] : {std::pair{1u, -ENOTCONN}, {3u, 0}, {2u, 0}}) {
            Lfx get("/home/demo/p3", LFX_OP_RECEIVE, 0, 3);
            get.viaPool(a, pool, true);
            char back[3];
            if (get.start() != 0 || get.result != 0)
                return 20;
            if (want == 0 && quor_recv_data_timeout(kept[pool - 1].get(), back, 3, 30) != 3)
                return 21;
            if (get.finish() != 0 || get.doneResult != want)
                return 22 + static_cast<int>(pool);
        }
        return 0;
    });
    ASSERT_EQ(code, 0) << readFile(dir / "child.err") << gw.logText();
}

TEST_F(KylgwdLfx, DataStreamReadsToEndOfFileAndWritesWholeRequests)
{
    const std::string data = pattern(2 * 1024 * 1024 + 5, 9);
    velktest::writeFile(home() + "/src", data);
    int code = inChild([&] {
        // A reply left in the way shows as a request that times out.
        setenv("QUOR_REPLY_TIMEOUT", "15", 1);
        const int rfd = quor_OpenX(0, "src", O_RDONLY, 0, nullptr, nullptr, nullptr);
        if (rfd < 0)
            return 10;
        const size_t half = data.size() / 2;
        std::string got(data.size() + 100, '\0');
        int done = -1;
        // The request, a second one refused while it runs, then the bytes.
        if (quor_ReadX(0x80000000u, rfd, nullptr, half, &done) != 0 ||
            quor_ReadX(0x80000000u, rfd, nullptr, 1, &done) != -EBUSY ||
            quor_ReadX(0, rfd, got.data(), half, &done) != static_cast<ssize_t>(half) || done != 0)
            return 11;
        // Asking for more than is left ends the stream after the rest.
        if (quor_Read(rfd, got.data() + half, data.size()) != static_cast<ssize_t>(data.size() - half) ||
            got.substr(0, data.size()) != data)
            return 12;
        const int wfd = quor_OpenX(0, "dst", O_WRONLY | O_CREAT | O_TRUNC, 0644, nullptr, nullptr, nullptr);
        if (wfd < 0 || quor_Write(wfd, data.data(), data.size()) != static_cast<ssize_t>(data.size()))
            return 20;
        // A write left unfinished: closing ends it without a hang.
        if (quor_WriteX(0x80000000u, wfd, nullptr, 100, &done) != 0 ||
            quor_WriteX(0, wfd, data.data(), 10, &done) != 10 || quor_Close(wfd) != 0 || quor_Close(rfd) != 0)
            return 21;
        // The unfinished write's reply was taken by its close: once the
        // gateway has sent it, the next request still gets its own reply.
        const std::string writexReply = "\"function\":" + std::to_string(FN_FS_WRITEX) + ",";
        if (!velktest::waitForFileText(dir / "events", writexReply, 2))
            return 22;
        const int again = quor_OpenX(0, "dst", O_RDONLY, 0, nullptr, nullptr, nullptr);
        return again >= 0 && quor_Close(again) == 0 ? 0 : 23;
    });
    ASSERT_EQ(code, 0) << readFile(dir / "child.err") << gw.logText();
    EXPECT_TRUE(readFile(home() + "/dst").substr(0, data.size()) == data);

    // A gateway that never sends the control byte fails the open; one that
    // keeps the stream open at end of file fails the read at its time-out.
    const std::pair<const char *, int> faults[] = {{"openx_no_ctlbyte\n", 30}, {"readx_short_no_halfclose\n", 31}};
    for (const auto &[fault, expected] : faults) {
        gw.stop();
        ASSERT_TRUE(startGateway("", fault));
        code = inChild([&] {
            setenv("NXAPI_STREAM_TIMEOUT", "1", 1);
            const int rfd = quor_OpenX(0, "src", O_RDONLY, 0, nullptr, nullptr, nullptr);
            if (rfd < 0)
                return rfd == -ECONNRESET ? 30 : 1;
            std::string got(data.size() + 1, '\0');
            return quor_Read(rfd, got.data(), got.size()) == -EIO ? 31 : 2;
        });
        EXPECT_EQ(code, expected) << fault << readFile(dir / "child.err");
    }
}

// Data connections go back only to the client's own host: a transfer
// naming another host is refused and no file is made for it.
TEST_F(KylgwdLfx, ATransferNamingAnotherHostIsRefused)
{
    int code = inChild([] {
        quor_sockaddr_t a{};
        auto &to = reinterpret_cast<sockaddr_in &>(a.hs_addr);
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        inet_pton(AF_INET, "127.0.0.2", &to.sin_addr);
        a.hs_addrlen = sizeof to;
        Lfx put("/home/demo/elsewhere", LFX_OP_SEND, 0, 5 << 20);
        put.viaPool(a, 7, false);
        if (put.start() != 0)
            return 10;
        fprintf(stderr, "result %d\n", put.result);
        return put.result == -EACCES ? 0 : 11;
    });
    EXPECT_EQ(code, 0) << readFile(dir / "child.err") << gw.logText();
    EXPECT_FALSE(std::filesystem::exists(home() + "/elsewhere"));
}

} // namespace
