// SIGUSR2 state dumps and the SIGUSR1 forced shutdown.  The signal thread
// and the signal mask are process-wide and a forced shutdown ends the
// process, so every scenario runs in a forked child that the parent signals
// from outside, as an operator would.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "velk_Globals.h"
#include "velk_ReadConfig.h"
#include "velk_Signals.h"
#include "velk_StatusFifo.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

using velktest::BytePipe;
using velktest::Clock;
using velktest::kGenerousWait;
using velktest::msLeft;

// Polls a file until pred accepts its contents or the time is up; returns
// the last contents read.
std::string waitForFile(const std::string &path, const std::function<bool(const std::string &)> &pred,
                        std::chrono::seconds timeout = kGenerousWait)
{
    auto deadline = Clock::now() + timeout;
    std::string text;
    for (;;) {
        if (access(path.c_str(), F_OK) == 0)
            text = velktest::readFile(path);
        if (pred(text) || msLeft(deadline) == 0)
            return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

size_t countOf(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
        n++;
    return n;
}

std::function<bool(const std::string &)> hasLines(size_t n)
{
    return [n](const std::string &t) { return countOf(t, "\n") >= n; };
}

// Checks one three-line dump starting at lines[at].
void expectDump(const std::vector<std::string> &lines, size_t at, const std::string &action,
                const std::string &phase)
{
    ASSERT_GE(lines.size(), at + 3);
    EXPECT_EQ(std::string(37, '+'), lines[at]);
    // ctime's first 19 characters ("Wed Jun 30 21:49:08"), then milliseconds.
    static const std::regex when(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\.[0-9]{3})"
                                 R"( State Dump Action=(.*))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[at + 1], m, when)) << lines[at + 1];
    EXPECT_EQ(action, m[1].str());
    EXPECT_EQ("Current program phase ........... " + phase, lines[at + 2]);
}

constexpr int kChildSetupFailed = 10;
constexpr int kChildNoGo = 11;
constexpr int kChildNoFlag = 12;

// Child side: after velk_SigInit, reports readiness and waits for the
// parent's word to end.
int readyThenWait(const BytePipe &ready, const BytePipe &done)
{
    if (!ready.send('r'))
        return kChildSetupFailed;
    return done.receive(std::chrono::seconds(30)) >= 0 ? 0 : kChildNoGo;
}

// Child side, as a running action meets a forced shutdown: polls the
// shutdown flag, sends what() once it is up, then stays busy so that only
// the end of the grace period can end the process.  Returns kChildNoFlag
// when the flag never came up.
int reportFlagThenStayBusy(const BytePipe &report, const std::function<char()> &what)
{
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!velk_shutdown_signalled.load()) {
        if (Clock::now() > deadline)
            return kChildNoFlag;
        usleep(10000);
    }
    report.send(what());
    for (int i = 0; i < 60; i++)
        sleep(1);
    return 0;
}

} // namespace

// ---- state dump ------------------------------------------------------------------

TEST(SignalsStateDump, SignalAppendsThreeLinesToTheStateFileAndTheRunGoesOn)
{
    velktest::ScratchDir dir;
    const std::string state = dir / "state";
    velktest::writeFile(state, "earlier contents\n");
    BytePipe ready, done;
    velktest::ForkedChild child([&] {
        velk_config_opts.Statefile = strdup(state.c_str());
        velk_function = VOP_CREATE;
        velk_SetProgramPhase(VTP_GEN_FILELIST);
        if (velk_SigInit() != 0)
            return kChildSetupFailed;
        return readyThenWait(ready, done);
    });
    ASSERT_EQ('r', ready.receive());

    ASSERT_EQ(0, kill(child.pid(), SIGUSR2));
    std::string text = waitForFile(state, hasLines(4));
    // A second dump goes to the same file, after the first.
    ASSERT_EQ(0, kill(child.pid(), SIGUSR2));
    text = waitForFile(state, hasLines(7));
    EXPECT_TRUE(done.send('d'));

    ASSERT_TRUE(velktest::exitsWith(child, 0));

    auto lines = velktest::lines(text);
    ASSERT_EQ(7u, lines.size()) << text;
    EXPECT_EQ("earlier contents", lines[0]);
    expectDump(lines, 1, "CREATE", "GEN_FILELIST (4)");
    expectDump(lines, 4, "CREATE", "GEN_FILELIST (4)");
}

struct StreamCase {
    const char *name;  // test name suffix
    const char *setting;
    bool toStderr;
};
void PrintTo(const StreamCase &c, std::ostream *os)
{
    *os << (c.setting ? c.setting : "(none)");
}


class SignalsStateDumpStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(SignalsStateDumpStream, StandardStreamsAreChosenInAnyCase)
{
    velktest::ScratchDir dir;
    const std::string out = dir / "stdout", err = dir / "stderr";
    BytePipe ready, done;
    velktest::ForkedChild child([&] {
        if (!velktest::redirectOutputToFiles(out, err))
            return kChildSetupFailed;
        velk_config_opts.Statefile = strdup(GetParam().setting);
        velk_function = VOP_EXTRACT;
        velk_SetProgramPhase(VTP_EXTRACT_PASS1);
        if (velk_SigInit() != 0)
            return kChildSetupFailed;
        return readyThenWait(ready, done);
    });
    ASSERT_EQ('r', ready.receive());
    ASSERT_EQ(0, kill(child.pid(), SIGUSR2));
    std::string text = waitForFile(GetParam().toStderr ? err : out, hasLines(3));
    EXPECT_TRUE(done.send('d'));

    EXPECT_TRUE(velktest::exitsWith(child, 0));
    auto lines = velktest::lines(text);
    ASSERT_EQ(3u, lines.size()) << text;
    expectDump(lines, 0, "EXTRACT", "EXTRACT-PASS1 (10)");
    EXPECT_EQ("", velktest::readFile(GetParam().toStderr ? out : err));
}

INSTANTIATE_TEST_SUITE_P(Settings, SignalsStateDumpStream,
                         ::testing::Values(StreamCase{"Stderr", "STDERR", true},
                                           StreamCase{"StderrMixedCase", "StdErr", true},
                                           StreamCase{"StdoutLowerCase", "stdout", false},
                                           StreamCase{"Stdout", "STDOUT", false}),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

struct NoDumpCase {
    const char *name;     // test name suffix
    const char *setting;  // null: no state file configured
};
void PrintTo(const NoDumpCase &c, std::ostream *os)
{
    *os << (c.setting ? c.setting : "(none)");
}


class SignalsStateDumpNone : public ::testing::TestWithParam<NoDumpCase> {};

TEST_P(SignalsStateDumpNone, NothingIsWrittenAndTheRunGoesOn)
{
    velktest::ScratchDir dir;
    const std::string out = dir / "stdout", err = dir / "stderr";
    // A state file that can't be opened: its directory does not exist.
    const std::string unopenable = dir / "missing/state";
    const char *param = GetParam().setting;
    std::string setting = param ? param : "";
    if (setting == "<unopenable>")
        setting = unopenable;
    BytePipe ready, done;
    velktest::ForkedChild child([&] {
        if (!velktest::redirectOutputToFiles(out, err))
            return kChildSetupFailed;
        velk_config_opts.Statefile = param ? strdup(setting.c_str()) : nullptr;
        velk_function = VOP_LIST;
        velk_debug_level = 1;
        if (velk_SigInit() != 0)
            return kChildSetupFailed;
        return readyThenWait(ready, done);
    });
    ASSERT_EQ('r', ready.receive());

    // The signal thread prints the debug line before each dump and handles
    // one signal at a time: once the second line is there, the first dump
    // is over.
    const std::string caught = "velk_SignalThread: caught signal SIGUSR2\n";
    ASSERT_EQ(0, kill(child.pid(), SIGUSR2));
    waitForFile(err, [&](const std::string &t) { return countOf(t, caught) >= 1; });
    ASSERT_EQ(0, kill(child.pid(), SIGUSR2));
    std::string errText = waitForFile(err, [&](const std::string &t) { return countOf(t, caught) >= 2; });
    EXPECT_TRUE(done.send('d'));

    EXPECT_TRUE(velktest::exitsWith(child, 0));
    EXPECT_EQ(caught + caught, errText);
    EXPECT_EQ("", velktest::readFile(out));
    EXPECT_NE(0, access(unopenable.c_str(), F_OK));
}

INSTANTIATE_TEST_SUITE_P(Settings, SignalsStateDumpNone,
                         ::testing::Values(NoDumpCase{"Unset", nullptr}, NoDumpCase{"Null", "NULL"},
                                           NoDumpCase{"NullMixedCase", "nUlL"}, NoDumpCase{"Empty", ""},
                                           NoDumpCase{"Unopenable", "<unopenable>"}),
                         [](const auto &param_info) { return std::string(param_info.param.name); });

// ---- forced shutdown -------------------------------------------------------------

TEST(SignalsForcedShutdown, FlagIsRaisedStatusIsSentAndTheProcessIsKilled)
{
    velktest::ScratchDir dir;
    const std::string fifoPath = dir / "status", err = dir / "stderr";
    ASSERT_EQ(0, mkfifo(fifoPath.c_str(), 0600));
    int reader = open(fifoPath.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    BytePipe ready, report;
    velktest::ForkedChild child([&] {
        close(reader);
        if (!velktest::redirectOutputToFiles(dir / "stdout", err))
            return kChildSetupFailed;
        setenv("VELK_TESTONLY_SHUTDOWN_GRACE", "3", 1);
        velk_status_pipefd = open(fifoPath.c_str(), O_WRONLY | O_NONBLOCK);
        velk_option_flags |= VELK_OPT_STATUS_FIFO;
        velk_debug_level = 1;
        if (velk_status_pipefd < 0 || velk_InitStatusFifo() != 0)
            return kChildSetupFailed;
        velk_SetProgramPhase(VTP_CREATE_WRITEARCHIVE);
        if (velk_SigInit() != 0 || !ready.send('r'))
            return kChildSetupFailed;
        // The phase is read only once the flag is up.
        return reportFlagThenStayBusy(report, [] { return static_cast<char>(velk_GetProgramPhase()); });
    });
    ASSERT_EQ('r', ready.receive());
    ASSERT_EQ(0, kill(child.pid(), SIGUSR1));

    EXPECT_EQ(VTP_FORCED_SHUTDOWN, report.receive());
    int status = 0;
    ASSERT_TRUE(child.wait(&status, std::chrono::seconds(30))) << "the grace period never ended";
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
    EXPECT_EQ(SIGKILL, WTERMSIG(status));

    char buf[256];
    ssize_t n = read(reader, buf, sizeof buf);
    close(reader);
    ASSERT_GT(n, 0);
    std::string want = std::to_string(child.pid()) + " FORCED_SHUTDOWN SHUTDOWN initiated\n";
    want.push_back('\0');
    EXPECT_EQ(want, std::string(buf, static_cast<size_t>(n)));
    EXPECT_EQ("velk_SignalThread: caught signal SIGUSR1\n", velktest::readFile(err));
}

TEST(SignalsForcedShutdown, GraceSetBeforeSigInitAndNoStatusFifo)
{
    BytePipe ready, report;
    velktest::ForkedChild child([&] {
        unsetenv("VELK_TESTONLY_SHUTDOWN_GRACE");
        velk_shutdown_grace_seconds = 3;
        if (velk_SigInit() != 0 || !ready.send('r'))
            return kChildSetupFailed;
        return reportFlagThenStayBusy(report, [] { return 'f'; });
    });
    ASSERT_EQ('r', ready.receive());
    ASSERT_EQ(0, kill(child.pid(), SIGUSR1));
    EXPECT_EQ('f', report.receive());
    int status = 0;
    ASSERT_TRUE(child.wait(&status, std::chrono::seconds(30))) << "the grace period never ended";
    ASSERT_TRUE(WIFSIGNALED(status)) << "child exited with " << WEXITSTATUS(status);
    EXPECT_EQ(SIGKILL, WTERMSIG(status));
}

struct GraceCase {
    const char *name;  // test name suffix
    const char *env;  // null: variable unset
    int preset;       // value before velk_SigInit
    int want;
};
void PrintTo(const GraceCase &c, std::ostream *os)
{
    *os << (c.env ? c.env : "(none)");
}


class SignalsShutdownGrace : public ::testing::TestWithParam<GraceCase> {};

TEST_P(SignalsShutdownGrace, EnvironmentOverrideAcceptsWholeSecondsUpTo30)
{
    const GraceCase c = GetParam();
    velktest::ForkedChild child([&] {
        if (c.env)
            setenv("VELK_TESTONLY_SHUTDOWN_GRACE", c.env, 1);
        else
            unsetenv("VELK_TESTONLY_SHUTDOWN_GRACE");
        velk_shutdown_grace_seconds = c.preset;
        if (velk_SigInit() != 0)
            return 100;
        return velk_shutdown_grace_seconds;
    });
    EXPECT_TRUE(velktest::exitsWith(child, c.want)) << (c.env ? c.env : "(unset)");
}

INSTANTIATE_TEST_SUITE_P(Values, SignalsShutdownGrace,
                         ::testing::Values(GraceCase{"UnsetKeepsDefault", nullptr, 30, 30},
                                           GraceCase{"UnsetKeepsPreset", nullptr, 4, 4},
                                           GraceCase{"Zero", "0", 30, 0}, GraceCase{"Seven", "7", 30, 7},
                                           GraceCase{"Thirty", "30", 30, 30},
                                           GraceCase{"ThirtyOneIgnored", "31", 30, 30},
                                           GraceCase{"NegativeIgnored", "-1", 30, 30},
                                           GraceCase{"WordIgnored", "abc", 30, 30},
                                           GraceCase{"TrailingTextIgnored", "5s", 30, 30},
                                           GraceCase{"EmptyIgnored", "", 30, 30}),
                         [](const auto &param_info) { return std::string(param_info.param.name); });
