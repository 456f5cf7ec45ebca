// velk's logins against a real kylgwd (every other end-to-end test logs in
// by keytab): combo from a .netrc and the permission rules of .netrc and
// keytab files, refusals, the token code, PAM on a pseudo-terminal,
// retry-later and the reconnect login, and no secret in any log.  The tests
// look for kylgwd's log line of the login and for no refusal from velk.

#include <gtest/gtest.h>

#include "velk_gwsession.h"

#include <cstdlib>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

const char kPassword[] = "Pa55-secret-word";
const char kKeytab[] = "KEYTAB-SECRET-7f3a\x01\x02\x03";
const char kNoLogin[] = "Unable to authenticate user with remote gateway";
// A run that logged in goes on through its start-up to the list action,
// which fails on the index of an archive that does not exist.
const char kPastLogin[] = "Fatal error opening index file: ";
constexpr int kPastLoginStatus = 72;

class VelkAuth : public velktest::VelkGatewayTest {
protected:
    void SetUp() override {}
    // Users besides demo: alice (password, keytab, PAM script), tok
    // (password and token code), barred (refused by the users file).
    void start(const std::string &faults = "")
    {
        const std::string pw = velktest::hashPassword(kPassword);
        velktest::writeFile(dir / "alice.kt", kKeytab);
        ASSERT_EQ(chmod((dir / "alice.kt").c_str(), 0600), 0);
        velktest::writeFile(dir / "alice.pam",
                            "4 Welcome to kylgwd\n1 Password: \nsesame-pam\n2 Favourite colour? \nblue\n");
        const std::string ids = "    uid = " + std::to_string(getuid()) + "\n    gid = " + std::to_string(getgid()) +
                                "\n    home = /home\n";
        ASSERT_TRUE(startGateway("", faults,
                                 "  alice = {\n    password = " + pw + "\n" + ids + "    keytab = " + (dir / "alice.kt") +
                                     "\n    pam_script = " + (dir / "alice.pam") + "\n  }\n  tok = {\n    password = " +
                                     velktest::hashPassword("pin-7") + "\n" + ids + "    token_code = " +
                                     velktest::hashPassword("123456") + "\n  }\n  barred = {\n    password = " + pw +
                                     "\n" + ids + "    refuse = -50512,stop,Too many sessions from your host\n  }\n"));
    }

    // Without demo's keytab login unless extra asks for one.
    static std::map<std::string, std::string> env(std::map<std::string, std::string> extra)
    {
        for (const char *k : {"QUOR_AUTH_METHOD", "QUOR_PRINCIPAL", "QUOR_KEYTAB_PATH"})
            extra.emplace(k, ""); // "" unsets it
        return extra;
    }

    velktest::RunResult velk(const std::map<std::string, std::string> &extra, std::vector<std::string> args = {})
    {
        args.insert(args.end(), {"-t", "-E", "-f", "a.tar"});
        return VelkGatewayTest::velk(args, env(extra));
    }

    velktest::PtyResult velkOnPty(const std::map<std::string, std::string> &extra,
                                  const std::vector<std::pair<std::string, std::string>> &dialogue)
    {
        std::map<std::string, std::string> e = wholeEnv(env(extra));
        e["TERM"] = "dumb";
        return velktest::runOnPty({velktest::velkBinary(), "-t", "-E", "-f", "a.tar"}, e, dir.path(), dialogue);
    }

    void netrc(const std::string &text, mode_t mode)
    {
        velktest::writeFile(dir / ".netrc", text);
        ASSERT_EQ(chmod((dir / ".netrc").c_str(), mode), 0);
    }

    std::string stopAndLog()
    {
        EXPECT_EQ(gw.stop(), 0);
        return gw.logText();
    }

    // A run velk was refused in: status 71, velk's refusal, no login in
    // kylgwd's log (returned).
    std::string refused(const std::string &text, int status)
    {
        EXPECT_EQ(status, 71) << text;
        EXPECT_NE(text.find(kNoLogin), std::string::npos) << text;
        std::string log = stopAndLog();
        EXPECT_EQ(log.find("authenticated by"), std::string::npos) << log;
        return log;
    }

    // A run that logged in: past the login, no refusal, login in kylgwd's log.
    std::string loggedIn(const std::string &text, int status, const std::string &login)
    {
        EXPECT_EQ(status, kPastLoginStatus) << text;
        EXPECT_NE(text.find(kPastLogin), std::string::npos) << text;
        EXPECT_EQ(text.find(kNoLogin), std::string::npos) << text;
        std::string log = stopAndLog();
        EXPECT_NE(log.find(login), std::string::npos) << log;
        return log;
    }
};

TEST_F(VelkAuth, KeytabReadableByTheGroupIsRefused)
{
    start();
    ASSERT_EQ(chmod((dir / "alice.kt").c_str(), 0640), 0);
    auto r = velk({{"QUOR_KEYTAB_PATH", dir / "alice.kt"}, {"QUOR_PRINCIPAL", "alice"}, {"QUOR_AUTH_METHOD", "keytab"}});
    EXPECT_NE(r.err.find("*** Keytab file has non-owner perms set: " + (dir / "alice.kt") + "\n"), std::string::npos)
        << r.err;
    refused(r.err, r.status);
}

TEST_F(VelkAuth, ComboFromAPrivateNetrc)
{
    start();
    netrc(std::string("default login alice password ") + kPassword + "\n", 0600);
    auto r = velk({{"QUOR_USE_NETRC_FILE", "1"}});
    loggedIn(r.err, r.status, "session 1: user alice authenticated by combo\n");
    // The combo login enciphered the password: one response, right at once.
    EXPECT_EQ(velktest::countOccurrences(velktest::readFile(dir / "events"), "\"event\":\"challenge\""), 1u);
}

TEST_F(VelkAuth, NetrcReadableByOthersIsRefusedWithItsTwoMessages)
{
    start();
    netrc(std::string("default login alice password ") + kPassword + "\n", 0644);
    auto r = velk({{"QUOR_USE_NETRC_FILE", "1"}});
    EXPECT_NE(r.err.find("Error: .netrc file is readable by others."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Remove password or make file unreadable by others."), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Attempting to use .netrc failed.\n"), std::string::npos) << r.err;
    std::string log = refused(r.err, r.status);
    EXPECT_EQ(log.find("combo login"), std::string::npos) << log; // nothing was sent for combo
}

// QUOR_USE_NETRC_FILE=0 or no leaves a usable .netrc unread.
TEST_F(VelkAuth, NetrcWantedOnlyByAnExplicitYes)
{
    start();
    netrc(std::string("default login alice password ") + kPassword + "\n", 0600);
    auto no = velk({{"QUOR_USE_NETRC_FILE", "no"}});
    EXPECT_EQ(no.status, 71) << no.err;
    EXPECT_NE(no.err.find(kNoLogin), std::string::npos) << no.err;
    auto zero = velk({{"QUOR_USE_NETRC_FILE", "0"}});
    std::string log = refused(zero.err, zero.status);
    EXPECT_EQ(log.find("alice"), std::string::npos) << log;
}

TEST_F(VelkAuth, WrongPasswordsAreRetriedOnTheTerminalThenRefused)
{
    start();
    auto r = velkOnPty({{"QUOR_AUTH_METHOD", "combo"}, {"QUOR_PRINCIPAL", "alice"}},
                       {{"[alice]Password: ", "guess-1"}, {"[alice]Password: ", "guess-2"},
                        {"[alice]Password: ", "guess-3"}});
    EXPECT_FALSE(r.timedOut);
    EXPECT_NE(r.text.find("result = -10003, errno = 0"), std::string::npos) << r.text;
    EXPECT_EQ(r.text.find("guess-"), std::string::npos) << r.text; // echo was off
    std::string log = refused(r.text, r.status);
    EXPECT_EQ(velktest::countOccurrences(log, "combo login of alice refused (-10003): wrong password"), 3u) << log;
}

TEST_F(VelkAuth, RefusalShowsTheServersTextAndMessage)
{
    start();
    netrc(std::string("default login barred password ") + kPassword + "\n", 0600);
    auto r = velk({{"QUOR_USE_NETRC_FILE", "1"}});
    EXPECT_NE(r.err.find("Too many sessions from your host"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Per-host session limit exceeded\n"), std::string::npos) << r.err;
    // The stop flag: no other method was tried after combo.
    std::string log = refused(r.err, r.status);
    EXPECT_NE(log.find("combo login of barred refused (-50512): refused by the configuration"), std::string::npos)
        << log;
    EXPECT_EQ(log.find("pam login"), std::string::npos) << log;
}

TEST_F(VelkAuth, TokenCodeIsAskedForAfterThePassword)
{
    start();
    netrc("default login tok password pin-7\n", 0600);
    auto r = velkOnPty({{"QUOR_USE_NETRC_FILE", "1"}, {"QUOR_AUTH_METHOD", "combo"}},
                       {{"ENTER TOKEN CODE", "123456"}});
    EXPECT_FALSE(r.timedOut);
    EXPECT_NE(r.text.find("********************** ATTENTION *************************"), std::string::npos)
        << r.text;
    EXPECT_NE(r.text.find("*  (WITHOUT YOUR PIN) in response to the password prompt *"), std::string::npos);
    loggedIn(r.text, r.status, "session 1: user tok authenticated by combo\n");
    std::string ev = velktest::readFile(dir / "events");
    EXPECT_NE(ev.find("\"flags\":0,\"expect\":\"password\""), std::string::npos) << ev;
    EXPECT_NE(ev.find("\"flags\":2,\"expect\":\"token\""), std::string::npos) << ev;
    EXPECT_NE(ev.find("\"result\":0"), std::string::npos) << ev;
}

TEST_F(VelkAuth, PamConversationOnATerminal)
{
    start();
    auto r = velkOnPty({{"QUOR_AUTH_METHOD", "pam"}, {"QUOR_PRINCIPAL", "alice"}},
                       {{"Password: ", "sesame-pam"}, {"Favourite colour? ", "blue"}});
    EXPECT_FALSE(r.timedOut);
    EXPECT_NE(r.text.find("Welcome to kylgwd"), std::string::npos) << r.text;
    EXPECT_NE(r.text.find("blue"), std::string::npos) << r.text;        // an echo-on prompt
    EXPECT_EQ(r.text.find("sesame-pam"), std::string::npos) << r.text;  // an echo-off prompt
    loggedIn(r.text, r.status, "session 1: user alice authenticated by pam\n");
}

TEST_F(VelkAuth, PamConversationOfThirtyThreeMessagesIsRefused)
{
    start("pam_count=33\n");
    netrc(std::string("default login alice password ") + kPassword + "\n", 0600);
    auto r = velk({{"QUOR_USE_NETRC_FILE", "1"}, {"QUOR_AUTH_METHOD", "pam"}});
    EXPECT_NE(r.err.find("invalid PAM message count 33 received - aborting"), std::string::npos) << r.err;
    std::string log = refused(r.err, r.status);
    EXPECT_NE(log.find("conversation round 1, 33 messages"), std::string::npos) << log;
}

TEST_F(VelkAuth, RetryLaterThenReconnectLogin)
{
    start("retry_later=2,Busy - come back in two seconds\n");
    auto r = velk({{"QUOR_KEYTAB_PATH", dir / "alice.kt"}, {"QUOR_PRINCIPAL", "alice"}, {"QUOR_AUTH_METHOD", "keytab"}});
    EXPECT_NE(r.err.find("*** Retrying in "), std::string::npos) << r.err;
    std::string log = loggedIn(r.err, r.status, "session 2: user alice authenticated by reconnect\n");
    EXPECT_NE(log.find("session 1: keytab login of alice: asking the client to retry in 2 seconds"), std::string::npos)
        << log;
}

TEST_F(VelkAuth, SecretsAppearInNoLogAtTheHighestDebugLevels)
{
    start();
    // Combo with the password from .netrc fails over to the keytab on
    // purpose: both secrets go over the wire in one run.
    netrc(std::string("default login alice password ") + kPassword + "x\n", 0600);
    auto r = velk({{"QUOR_USE_NETRC_FILE", "1"},
                   {"QUOR_AUTH_METHOD", "combo:keytab"},
                   {"QUOR_KEYTAB_PATH", dir / "alice.kt"},
                   {"QUOR_PRINCIPAL", "alice"},
                   {"QUOR_API_DEBUG", "65535"},
                   {"QUOR_API_DEBUG_PATH", dir / "api.debug"}},
                  {"-d", "5"});
    std::string log = loggedIn(r.err, r.status, "session 1: user alice authenticated by keytab\n");
    EXPECT_NE(log.find("combo login of alice refused (-10003): wrong password"), std::string::npos) << log;
    const std::string debug = velktest::readFile(dir / "api.debug");
    EXPECT_FALSE(debug.empty()); // the client's debug log was on
    const std::string texts[] = {r.out, r.err, debug, log, velktest::readFile(dir / "events")};
    for (const std::string &t : texts) {
        EXPECT_EQ(t.find(kPassword), std::string::npos);
        EXPECT_EQ(t.find("KEYTAB-SECRET"), std::string::npos);
    }
}

} // namespace

// Key agreement parameters a client must not accept: the login ends before
// any secret is sent under them.
TEST_F(VelkAuth, WeakKeyAgreementFromTheServerIsRefused)
{
    for (const char *fault : {"dh=weak\n", "dh=g1\n", "dh=pubkey1\n"}) {
        SCOPED_TRACE(fault);
        start(fault);
        netrc(std::string("default login alice password ") + kPassword + "\n", 0600);
        auto r = velk({{"QUOR_USE_NETRC_FILE", "1"}, {"QUOR_AUTH_METHOD", "combo"}});
        refused(r.err, r.status);
    }
}
