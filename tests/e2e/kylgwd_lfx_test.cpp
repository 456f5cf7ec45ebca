// Local-file transfers against the real kylgwd, driven by the client
// library's message layer in a forked child (a fresh logged-in session per
// child): inline sends and receives, transfers over a data connection the
// gateway opens to the child, reuse of that connection from the pool, and
// a connection the child closes early.
#include "nxapi_fileops.h"
#include "nxapi_private.h"
#include "velk_gwsession.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

#include <gtest/gtest.h>

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
int acceptData(int lfd)
{
    pollfd p{lfd, POLLIN, 0};
    return poll(&p, 1, 30000) == 1 ? accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
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
        kyl_fd s(acceptData(lfd));
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
        kyl_fd s2(acceptData(lfd));
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

// Sends ReadX or WriteX of nbyte on descriptor fd without waiting; the
// reply's result comes from streamDone.
int streamStart(nxapi_tcontext_t *ctx, uint16_t fn, int32_t fd, uint64_t nbyte)
{
    api_quor_ReadX_req_t rq{0, fd, nbyte};
    return nxapi_send_msg(CAT_FILESYS, fn, &rq, KYL_XDRPROC(api_quor_ReadX_req_t, xdr_api_quor_ReadX_req_t), 0, 0,
                          nullptr, ctx);
}
int32_t streamDone(nxapi_tcontext_t *ctx)
{
    api_msghdr_t h{};
    return nxapi_get_msg(ctx, &h, nullptr, nullptr, nullptr) == 0 ? h.errorcode : -1000;
}

TEST_F(KylgwdLfx, DataStreamReadsToEndOfFileAndWritesWholeRequests)
{
    const std::string data = pattern(2 * 1024 * 1024 + 5, 9);
    velktest::writeFile(home() + "/src", data);
    const int gwPort = gw.port();
    int code = inChild([&] {
        nxapi_tcontext_t *ctx = nullptr;
        if (nxapi_init(&ctx) != 0)
            return 1;
        // Opens path with oflag; connects its data stream and takes the
        // control byte.  The descriptor, or -1.
        auto openX = [&](const char *path, uint32_t oflag, kyl_fd *sock) {
            api_quor_OpenX_req_t rq{};
            snprintf(rq.Path, sizeof rq.Path, "%s", path);
            rq.Oflag = oflag;
            rq.Mode = 0644;
            api_quor_OpenX_rply_t r{};
            int32_t fd = -1;
            if (nxapi_Exchange(ctx, CAT_FILESYS, FN_FS_OPENX, &rq,
                               KYL_XDRPROC(api_quor_OpenX_req_t, xdr_api_quor_OpenX_req_t), &r,
                               KYL_XDRPROC(api_quor_OpenX_rply_t, xdr_api_quor_OpenX_rply_t), &fd) != 0 ||
                fd < 0 || r.connectaddr.hs_addr.ss_family != 0)
                return -1;
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = r.dataport;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            sock->reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            unsigned char ctl = 0;
            if (r.dataport == htons(static_cast<uint16_t>(gwPort)) ||
                connect(sock->get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
                quor_recv_data_timeout(sock->get(), &ctl, 1, 30) != 1 || ctl != 0x01)
                return -1;
            return static_cast<int>(fd);
        };
        kyl_fd rs;
        const int rfd = openX("src", 0, &rs);
        if (rfd < 0)
            return 10;
        const size_t half = data.size() / 2;
        std::string got(half, '\0');
        if (streamStart(ctx, FN_FS_READX, rfd, half) != 0 ||
            quor_recv_data_timeout(rs.get(), got.data(), half, 30) != static_cast<ssize_t>(half) ||
            streamDone(ctx) != 0)
            return 11;
        // Asking for more than is left ends the stream after the rest.
        if (streamStart(ctx, FN_FS_READX, rfd, data.size()) != 0)
            return 12;
        std::string rest;
        for (char b[65536];;) {
            pollfd p{rs.get(), POLLIN, 0};
            ssize_t k = poll(&p, 1, 30000) == 1 ? recv(rs.get(), b, sizeof b, 0) : -1;
            if (k <= 0) {
                if (k < 0 || streamDone(ctx) != 0 || rest != data.substr(half))
                    return 13;
                break;
            }
            rest.append(b, static_cast<size_t>(k));
        }
        kyl_fd ws;
        const int wfd = openX("dst", 2 | 16 | 64, &ws);
        if (wfd < 0)
            return 20;
        if (streamStart(ctx, FN_FS_WRITEX, wfd, data.size()) != 0 ||
            quor_send_data(ws.get(), data.data(), data.size()) != static_cast<ssize_t>(data.size()) ||
            streamDone(ctx) != 0)
            return 21;
        // A stream that ends before the request's bytes fails it.
        if (streamStart(ctx, FN_FS_WRITEX, wfd, 100) != 0 || quor_send_data(ws.get(), data.data(), 10) != 10)
            return 22;
        shutdown(ws.get(), SHUT_WR);
        if (streamDone(ctx) != -EIO)
            return 23;
        return got == data.substr(0, half) ? 0 : 30;
    });
    ASSERT_EQ(code, 0) << readFile(dir / "child.err") << gw.logText();
    EXPECT_TRUE(readFile(home() + "/dst") == data);
}

} // namespace
