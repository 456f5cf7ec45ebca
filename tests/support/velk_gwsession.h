#ifndef VELK_GWSESSION_H
#define VELK_GWSESSION_H

// A test fixture for running the real velk against a real kylgwd on
// loopback: a scratch directory, a served root with the user "demo"'s home
// directory, a keytab login for demo, and a runner that gives velk the
// environment it needs to reach the gateway without typing anything.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kylgwd_fixture.h"
#include "velk_testsupport.h"

namespace velktest {

class VelkGatewayTest : public ::testing::Test {
protected:
    ScratchDir dir;
    KylgwdProcess gw{dir.path()};

    // Writes the configuration (extraUsers is added to its users, extraConfig
    // appended to it) and the fault script, creates the served tree and
    // starts kylgwd with its event log in dir/events.
    ::testing::AssertionResult startGateway(const std::string &extraConfig = "", const std::string &faults = "",
                                            const std::string &extraUsers = "");
    void SetUp() override { ASSERT_TRUE(startGateway()); }

    // The served root, and demo's home directory inside it.
    std::string root() const { return dir / "root"; }
    std::string home() const { return dir / "root/home/demo"; }

    // Runs velk in dir with the gateway environment plus env (TZ=UTC unless
    // env says otherwise) and the given standard input.
    RunResult velk(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {},
                   const std::string &input = "");
    // The options velk() runs with, for running velk through another
    // program.
    RunOptions velkOptions(const std::map<std::string, std::string> &env = {}, const std::string &input = "");
    // velkOptions' environment as the whole environment of a program run
    // another way (a pseudo-terminal): empty values dropped, a plain PATH,
    // the sanitizers' options passed on.
    std::map<std::string, std::string> wholeEnv(const std::map<std::string, std::string> &env = {});
    // The names in demo's home, "." and ".." aside, for which keep is true.
    std::vector<std::string> homeNames(const std::function<bool(const std::string &)> &keep) const;
    // Runs scenario in a forked child with the gateway environment, its
    // output in dir/child.out and dir/child.err; returns its exit code (-1
    // when it did not end within seconds, which fails the test).
    int inChild(const std::function<int()> &scenario, int seconds = 60);
};

struct PtyResult {
    int status = -1;
    bool timedOut = false;
    std::string text; // everything the program wrote to its terminal
};

// Runs argv on a new pseudo-terminal (its controlling terminal) with env
// as its whole environment.  Each time the output so far (after the
// previous match) contains dialogue[i].first, writes dialogue[i].second and
// a newline.  Fails the test when a prompt of the dialogue never came.
// When signalAt.second is not 0, once the dialogue is done and the output
// after it contains signalAt.first, sends that signal to the program.
PtyResult runOnPty(const std::vector<std::string> &argv, const std::map<std::string, std::string> &env,
                   const std::string &cwd, const std::vector<std::pair<std::string, std::string>> &dialogue = {},
                   const std::pair<std::string, int> &signalAt = {"", 0});

} // namespace velktest

#endif
