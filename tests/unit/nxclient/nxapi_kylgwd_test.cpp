// The client's message layer against the real kylgwd: the reply to the
// first of two requests on one connection is held back by the server, so the
// second reply overtakes it; each thread must still get its own reply.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "kylgw_msg.h"
#include "kylgwd_fixture.h"
#include "nxapi_private.h"
#include "velk_testsupport.h"

namespace {

int connectTo(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

TEST(MessageLayerWithKylgwd, HeldBackReplyIsOvertakenAndBothReachTheirOwners)
{
    velktest::ScratchDir dir;
    velktest::writeFile(dir / "faults", "delay_reply=256/1,500\n");
    velktest::KylgwdProcess gw(dir.path());
    ASSERT_TRUE(gw.start({"--faults", dir / "faults"}));

    int fd = connectTo(gw.port());
    ASSERT_GE(fd, 0);
    auto *conn = new quor_connection_t;
    conn->handle = 1;
    ASSERT_EQ(nx_OpenStreams(conn, fd), 0);

    // The greeting comes first, with request id 0.
    nxapi_tcontext_t greeter;
    api_msghdr_t hdr = {};
    api_server_state_rply_t greeting = {};
    ASSERT_EQ(nxapi_get_msg(&greeter, &hdr, &greeting,
                            KYL_XDRPROC(api_server_state_rply_t, xdr_api_server_state_rply_t), conn),
              0);
    EXPECT_EQ(greeting.sv_prot_major, 67u);

    std::atomic<int> siteSent{0};
    int siteRc = -99, logRc = -99;
    api_msghdr_t siteHdr = {}, logHdr = {};
    quor_site_info_t site = {};
    uint32_t siteId = 0, logId = 0;

    std::thread siteThread([&] {
        nxapi_tcontext_t ctx;
        api_site_info_req_t req = {67, 2};
        if (nxapi_send_msg(CAT_CONNECTION, FN_SITE_INFO, &req, KYL_XDRPROC(api_site_info_req_t, xdr_api_site_info_req_t),
                           0, 0, conn, &ctx) != 0)
            return;
        siteId = ctx.msgRequestID;
        siteSent = 1;
        siteRc = nxapi_get_msg(&ctx, &siteHdr, &site, KYL_XDRPROC(api_site_info_rply_t, xdr_api_site_info_rply_t),
                               conn);
    });
    std::thread logThread([&] {
        while (siteSent.load() == 0 && siteRc == -99)
            std::this_thread::yield();
        nxapi_tcontext_t ctx;
        api_openlog_t req = {};
        req.flags = 0x60000;
        strcpy(req.subsys, "velk");
        if (nxapi_send_msg(CAT_LOG, FN_OPENLOG, &req, KYL_XDRPROC(api_openlog_t, xdr_api_openlog_t), 0, 0, conn,
                           &ctx) != 0)
            return;
        logId = ctx.msgRequestID;
        logRc = nxapi_get_msg(&ctx, &logHdr, nullptr, nullptr, conn);
    });
    siteThread.join();
    logThread.join();

    EXPECT_EQ(siteRc, 0);
    EXPECT_EQ(logRc, 0);
    EXPECT_EQ(siteHdr.msgRequestID, siteId);
    EXPECT_EQ(siteHdr.category, CAT_CONNECTION);
    EXPECT_EQ(site.sv_prot_major, 67u);
    EXPECT_EQ(logHdr.msgRequestID, logId);
    EXPECT_EQ(logHdr.category, CAT_LOG);
    EXPECT_EQ(logHdr.errorcode, 0);

    // The server really answered out of order: the held reply went last.
    std::string events = velktest::readFile(gw.logPath());
    EXPECT_NE(events.find("fault delay_reply fired"), std::string::npos) << events;

    nx_CloseStreams(conn, NXAPI_E_NOSESSION);
    delete conn;
    EXPECT_EQ(gw.stop(), 0);
}
