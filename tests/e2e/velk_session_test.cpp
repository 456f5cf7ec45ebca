// velk's start-up against a real kylgwd on loopback: the greeting, the site
// information exchange and what the user sees when the gateway is down,
// speaks another protocol level, cannot give site information, or when the
// run has no credentials for any login method.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "velk_gwsession.h"

namespace {

const char kGatewayFailure[] = "ERROR (main) unable to open remote gateway server connection\n";
const char kNoLogin[] = "*** quorex_OpenConnection: Unable to authenticate user with remote gateway at 127.0.0.1\n";

// The gateway is started by each test with its own fault script; velk runs
// without any credentials and retries a down gateway after one second.
class GatewaySession : public velktest::VelkGatewayTest {
protected:
    void SetUp() override {}
    velktest::RunResult velk()
    {
        return VelkGatewayTest::velk({"-t", "-E", "-f", "a.tar"},
                                     {{"TZ", ""},
                                      {"QUOR_AUTH_METHOD", ""},
                                      {"QUOR_PRINCIPAL", ""},
                                      {"QUOR_KEYTAB_PATH", ""},
                                      {"QUOR_TESTONLY_DOWN_RETRY_SECONDS", "1"}});
    }
};

bool endsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

size_t count(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
        n++;
    return n;
}

} // namespace

TEST_F(GatewaySession, GreetingAndSiteInformationThenNoCredentials)
{
    ASSERT_TRUE(startGateway("", ""));
    auto r = velk();
    EXPECT_EQ(r.status, 71);
    EXPECT_EQ(r.out, "VELK: VELK FAILED\n");
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
    EXPECT_EQ(r.err.compare(line + 1, strlen(kNoLogin), kNoLogin), 0) << r.err;
    EXPECT_TRUE(endsWith(r.err, std::string("Unable to setup communication to QUOR...\n") + kGatewayFailure))
        << r.err;
    // The server saw one session that reached the login step: security
    // parameters, Diffie-Hellman parameters and the public key exchange,
    // and no login request.
    EXPECT_EQ(gw.stop(), 0);
    std::string log = gw.logText();
    EXPECT_EQ(count(log, "accepted connection"), 1u) << log;
    std::string events = velktest::readFile(dir / "events");
    EXPECT_EQ(count(events, "\"function\":16,"), 1u) << events;
    EXPECT_EQ(count(events, "\"function\":18,"), 1u) << events;
    EXPECT_EQ(count(events, "\"function\":20,"), 1u) << events;
    EXPECT_EQ(count(events, "\"function\":256,"), 0u) << events;
    EXPECT_EQ(count(events, "\"function\":259,"), 0u) << events;
    EXPECT_EQ(count(events, "\"function\":260,"), 0u) << events;
}

TEST_F(GatewaySession, DownGatewayIsRetriedUntilItIsUp)
{
    ASSERT_TRUE(startGateway("", "down=1\n"));
    auto r = velk();
    EXPECT_EQ(r.status, 71);
    EXPECT_NE(r.err.find(" QUOR is down.  Delaying/retrying until it is back up. \n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(kNoLogin), std::string::npos) << r.err;  // the second connection got further
    EXPECT_EQ(gw.stop(), 0);
    EXPECT_EQ(count(gw.logText(), "accepted connection"), 2u) << gw.logText();
}

TEST_F(GatewaySession, OtherProtocolLevelIsRefused)
{
    ASSERT_TRUE(startGateway("", "proto=67.1\n"));
    auto r = velk();
    EXPECT_EQ(r.status, 71);
    EXPECT_NE(r.err.find(std::string("client and server are at different protocol levels\n") + kNoLogin),
              std::string::npos)
        << r.err;
    EXPECT_TRUE(endsWith(r.err, kGatewayFailure)) << r.err;
    EXPECT_EQ(gw.stop(), 0);
}

TEST_F(GatewaySession, SiteInformationErrorEndsTheRun)
{
    ASSERT_TRUE(startGateway("", "siteinfo_err=-5\n"));
    auto r = velk();
    EXPECT_EQ(r.status, 71);
    EXPECT_NE(r.err.find("*** quorex_OpenConnection: unable to obtain remote site info. server="), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find(kNoLogin), std::string::npos) << r.err;
    EXPECT_TRUE(endsWith(r.err, kGatewayFailure)) << r.err;
    EXPECT_EQ(gw.stop(), 0);
}
