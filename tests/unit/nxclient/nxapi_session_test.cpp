// Session-level calls over an open connection: the gateway-log requests go
// out with their bodies on category 1792 and return the reply's result, and
// the site information is copied from the connection.  The library is
// initialised in a forked child and the current connection is given a
// socketpair whose other end a peer thread answers.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "nxapi_private.h"
#include "peer_testutil.h"
#include "quor_api.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

using peertest::FdSource;
using peertest::peerSend;
using peertest::replyHeader;

// What the peer saw of the three log requests.
struct Seen {
    bool ok = false;
    api_msghdr_t hdr[3] = {};
    api_openlog_t open = {};
    api_log_message_t msg = {};
    api_closelog_t close = {};
};

// Answers the three log requests with results -1, -2, -3.
void peer(int fd, Seen *seen)
{
    FdSource src(fd);
    kyl_xdr_t in;
    kyl_xdr_create_decode(&in, &src);
    void *bodies[3] = {&seen->open, &seen->msg, &seen->close};
    kyl_xdrproc_t codecs[3] = {KYL_XDRPROC(api_openlog_t, xdr_api_openlog_t),
                               KYL_XDRPROC(api_log_message_t, xdr_api_log_message_t),
                               KYL_XDRPROC(api_closelog_t, xdr_api_closelog_t)};
    for (int i = 0; i < 3; i++) {
        if (!nx_xdr_api_msghdr_t(&in, &seen->hdr[i]) || (seen->hdr[i].msgFlags & MSGF_BODY) == 0 ||
            !codecs[i](&in, bodies[i]))
            return;
        const api_msghdr_t &q = seen->hdr[i];
        if (!peerSend(fd, replyHeader(q.msgRequestID, q.category, q.function, -(i + 1)), nullptr, nullptr))
            return;
    }
    seen->ok = true;
}

TEST(SessionCalls, GatewayLogRequestsCarryTheirBodiesAndReturnTheReplyResult)
{
    velktest::ScratchDir dir;
    std::string out = dir / "out", err = dir / "err";
    velktest::ForkedChild child([&] {
        if (!velktest::redirectOutputToFiles(out, err))
            return 120;
        setenv("QUOR_HOSTNAME", "127.0.0.1", 1);
        setenv("QUOR_SERVER_HOST", "127.0.0.1", 1);
        if (nx_LibInit() != 0)
            return 1;
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
            return 2;
        if (nx_OpenStreams(nxapi_getCurConnection(), sv[0]) != 0)
            return 3;
        Seen seen;
        std::thread t(peer, sv[1], &seen);
        int rcOpen = quor_Openlog(5, "velk");
        int rcMsg = quor_Logmsg(6, 7, "a line\n");
        int rcClose = quor_Closelog(8);
        t.join();
        if (!seen.ok)
            return 4;
        if (rcOpen != -1 || rcMsg != -2 || rcClose != -3)
            return 5;
        for (int i = 0; i < 3; i++)
            if (seen.hdr[i].category != CAT_LOG || seen.hdr[i].function != FN_OPENLOG + i ||
                seen.hdr[i].errorcode != 0 || seen.hdr[i].threadID != 0)
                return 6;
        if (seen.open.flags != 5 || strcmp(seen.open.subsys, "velk") != 0)
            return 7;
        if (seen.msg.flags != 6 || seen.msg.priority != 7 || strcmp(seen.msg.msgtext, "a line\n") != 0)
            return 8;
        if (seen.close.flags != 8)
            return 9;
        quor_site_info_t site;
        return quorex_GetSiteInfo(&site) == 0 ? 0 : 11;
    });
    EXPECT_TRUE(velktest::exitsWith(child, 0)) << velktest::readFile(err);
}

} // namespace
