// velk's start-up against a real kylgwd on loopback: the greeting, the site
// information exchange and what the user sees when the gateway is down,
// speaks another protocol level, cannot give site information, never
// greets or is not there, or when the run has no credentials for any login
// method.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "velk_gwsession.h"

using velktest::failedEnding;

namespace {

// Every run here is of a local archive (-E): the failure line is followed
// by the hint that such a run needs no gateway.
const std::string kGatewayFailure = "ERROR (main) unable to open remote gateway server connection\nINFO: a local "
                                    "archive (-E) needs no gateway: add --no-gateway (or set VELK_NO_GATEWAY=1) to "
                                    "run without one\n";
const char kNoLogin[] = "*** quorex_OpenConnection: Unable to authenticate user with remote gateway at 127.0.0.1\n";

// Each test starts the gateway with its own fault script; velk runs without
// any credentials and retries a down gateway after one second.
class GatewaySession : public velktest::VelkGatewayTest {
protected:
    void SetUp() override {}
    ::testing::AssertionResult start(const std::string &faults) { return startGateway("", faults); }
    velktest::RunResult velk()
    {
        return VelkGatewayTest::velk({"-t", "-E", "-f", "a.tar"},
                                     {{"TZ", ""}, {"QUOR_AUTH_METHOD", ""}, {"QUOR_PRINCIPAL", ""},
                                      {"QUOR_KEYTAB_PATH", ""}, {"QUOR_TESTONLY_DOWN_RETRY_SECONDS", "1"}});
    }
    void expectFault(const char *faults, const char *message, bool loginTried, size_t connections);
};

} // namespace

TEST_F(GatewaySession, GreetingAndSiteInformationThenNoCredentials)
{
    ASSERT_TRUE(start(""));
    auto r = velk();
    EXPECT_EQ(r.status, 71);
    EXPECT_EQ(r.out, failedEnding(r.status));
    // Without a terminal, user or password: combo gives up before sending
    // anything, keytab finds no file, and PAM, the last method tried, sets up
    // the session key and then refuses; its result is the one reported.
    EXPECT_NE(r.err.find("Not running interactively - can't get authorization combo!"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("*** Not running interactively & username not set - PAM authentication failed\n!"),
              std::string::npos)
        << r.err;
    size_t refusal = r.err.find("result = -22, errno = ");
    ASSERT_NE(refusal, std::string::npos) << r.err;
    size_t line = r.err.find('\n', refusal);
    ASSERT_NE(line, std::string::npos) << r.err;
    // The number in words (PAM's result, not the missing keytab's), then
    // the refusal.
    const std::string next = std::string("Invalid argument\n") + kNoLogin;
    EXPECT_EQ(r.err.compare(line + 1, next.size(), next), 0) << r.err;
    EXPECT_NE(r.err.find(std::string("Unable to setup communication to QUOR...\nInvalid argument\n") + kGatewayFailure),
              std::string::npos)
        << r.err;
    // The server saw one session that reached the login step: security
    // parameters, Diffie-Hellman parameters and the public key exchange,
    // and no login request.
    EXPECT_EQ(gw.stop(), 0);
    std::string log = gw.logText();
    EXPECT_EQ(velktest::countOccurrences(log, "accepted connection"), 1u) << log;
    std::string events = velktest::readFile(dir / "events");
    for (auto [function, count] : {std::pair{16, 1u}, {18, 1u}, {20, 1u}, {256, 0u}, {259, 0u}, {260, 0u}})
        EXPECT_EQ(velktest::countOccurrences(events, "\"function\":" + std::to_string(function) + ","), count) << events;
}

// A fault of the gateway ends the run with its message, after a login was
// tried or before; the log counts the connections velk made.
void GatewaySession::expectFault(const char *faults, const char *message, bool loginTried, size_t connections)
{
    ASSERT_TRUE(start(faults));
    auto r = velk();
    EXPECT_EQ(r.status, 71);
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(kNoLogin) != std::string::npos, loginTried) << r.err;
    EXPECT_TRUE(r.err.ends_with(kGatewayFailure)) << r.err;
    EXPECT_EQ(gw.stop(), 0);
    EXPECT_EQ(velktest::countOccurrences(gw.logText(), "accepted connection"), connections) << gw.logText();
}

// The second connection gets further.
TEST_F(GatewaySession, DownGatewayIsRetriedUntilItIsUp)
{
    expectFault("down=1\n", " QUOR is down.  Delaying/retrying until it is back up. \n", true, 2);
}

TEST_F(GatewaySession, OtherProtocolLevelIsRefused)
{
    expectFault("proto=67.1\n", "client and server are at different protocol levels\n", true, 1);
}

TEST_F(GatewaySession, SiteInformationErrorEndsTheRun)
{
    expectFault("siteinfo_err=-5\n", "*** quorex_OpenConnection: unable to obtain remote site info. server=", false, 1);
}

TEST_F(GatewaySession, SilentOrAbsentGatewayEndsTheRunNamingIt)
{
    // A socket that listens but never greets, and one bound but not
    // listening (connections to it are refused); both stay open for the run.
    for (bool listens : {true, false}) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
        ASSERT_EQ(listens ? listen(fd, 4) : 0, 0);
        const std::string port = std::to_string(ntohs(a.sin_port)), at = "127.0.0.1:" + port;
        velktest::RunOptions o = velkOptions({{"QUOR_SERVER_HOST", "127.0.0.1/" + port}, {"QUOR_CONNECT_TIMEOUT", "1"}});
        o.timeoutSeconds = 30;  // a client that waits for the greeting for ever is killed and fails here
        auto r = velktest::runVelk({"-t", "-E", "-f", "a.tar"}, o);
        close(fd);
        const std::string expected =
            listens ? "initial connection response - fatal\n*** quorex_OpenConnection: no greeting from the gateway at " +
                          at + " within 1 second\n"
                    : "Unable to setup communication to QUOR...\ncannot reach the gateway at " + at +
                          " (Connection refused); is kylgwd running? QUOR_SERVER_HOST selects another\n" +
                          kGatewayFailure;
        SCOPED_TRACE(listens ? "silent" : "absent");
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.status, 71);
        EXPECT_EQ(r.out, failedEnding(r.status));
        EXPECT_NE(r.err.find(expected), std::string::npos) << r.err;
        EXPECT_TRUE(r.err.ends_with(kGatewayFailure)) << r.err;
    }
}
