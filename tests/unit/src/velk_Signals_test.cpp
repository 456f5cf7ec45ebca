// SIGUSR2 state dumps by state file setting, and the forced shutdown's
// grace period.  The signal thread and the signal mask are process-wide and
// a forced shutdown ends the process, so every scenario runs in a forked
// child that the parent signals from outside, as an operator would.

#include <chrono>
#include <csignal>
#include <functional>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "velk_ReadConfig.h"
#include "velk_Signals.h"
#include "velk_StatusFifo.h"
#include "velk_unit_fixture.h"

namespace {

using velktest::BytePipe;

size_t countOf(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1))
        n++;
    return n;
}

// Polls a file until pred accepts its contents or the time is up; returns
// the last contents read.
std::string waitUntil(const std::string &path, const std::function<bool(const std::string &)> &pred)
{
    auto deadline = velktest::Clock::now() + velktest::kGenerousWait;
    std::string text;
    for (;;) {
        if (access(path.c_str(), F_OK) == 0)
            text = velktest::readFile(path);
        if (pred(text) || velktest::msLeft(deadline) == 0)
            return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TEST(Signals, StateDumpGoesWhereTheStateFileSettingSays)
{
    const std::string caught = "velk_SignalThread: caught signal SIGUSR2\n", rule(37, '+');
    static const std::regex when(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9]\.[0-9]{3})"
                                 R"( State Dump Action=EXTRACT)");
    struct Case {
        const char *setting;  // null: no state file configured
        std::string where;    // "out", "err", "file", or "" for nowhere
    } cases[] = {
        {"<file>", "file"}, {"STDERR", "err"}, {"StdErr", "err"}, {"stdout", "out"}, {"STDOUT", "out"},
        {nullptr, ""},      {"NULL", ""},      {"nUlL", ""},      {"", ""},          {"<unopenable>", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.setting ? c.setting : "(none)");
        velktest::ScratchDir dir;
        const std::string out = dir / "stdout", err = dir / "stderr", state = dir / "state";
        std::string setting = c.setting ? c.setting : "";
        if (setting == "<file>")
            setting = state;
        if (setting == "<unopenable>")
            setting = dir / "missing/state";
        velktest::writeFile(state, "earlier contents\n");
        BytePipe ready, done;
        velktest::ForkedChild child([&] {
            if (!velktest::redirectOutputToFiles(out, err))
                return 10;
            velk_config_opts.Statefile = c.setting ? strdup(setting.c_str()) : nullptr;
            velk_function = VOP_EXTRACT;
            velk_debug_level = 1;
            velk_SetProgramPhase(VTP_EXTRACT_PASS1);
            if (velk_SigInit() != 0 || !ready.send('r'))
                return 10;
            return done.receive(std::chrono::seconds(30)) >= 0 ? 0 : 11;
        });
        ASSERT_EQ('r', ready.receive());
        // The signal thread prints the debug line before each dump; a dump
        // is three lines, appended to what the destination holds.
        std::string dest = c.where == "file" ? state : c.where == "out" ? out : err;
        for (size_t k = 1; k <= 2; k++) {
            ASSERT_EQ(0, kill(child.pid(), SIGUSR2));
            waitUntil(err, [&](const std::string &t) { return countOf(t, caught) >= k; });
            size_t lines = 3 * k + (c.where == "file" ? 1 : c.where == "err" ? k : 0);
            if (!c.where.empty())
                waitUntil(dest, [&](const std::string &t) { return countOf(t, "\n") >= lines; });
        }
        EXPECT_TRUE(done.send('d'));
        ASSERT_TRUE(velktest::exitsWith(child, 0));

        auto lines = velktest::lines(velktest::readFile(dest));
        size_t dumps = 0;
        for (size_t i = 0; i + 2 < lines.size(); i++)
            dumps += lines[i] == rule && std::regex_match(lines[i + 1], when) &&
                     lines[i + 2] == "Current program phase ........... EXTRACT-PASS1 (10)";
        EXPECT_EQ(dumps, c.where.empty() ? 0u : 2u);
        EXPECT_EQ(countOf(velktest::readFile(err), caught), 2u);
        if (c.where != "err") {
            EXPECT_EQ(velktest::readFile(err), caught + caught);
        }
        if (c.where != "out") {
            EXPECT_EQ(velktest::readFile(out), "");
        }
        EXPECT_EQ(lines.size(), c.where == "file" ? 7u : c.where == "out" ? 6u : c.where == "err" ? 8u : 2u);
        EXPECT_EQ(velktest::readFile(state).rfind("earlier contents\n", 0), 0u);
        if (c.where != "file") {
            EXPECT_EQ(velktest::readFile(state), "earlier contents\n");
        }
        EXPECT_NE(0, access((dir / "missing/state").c_str(), F_OK));
    }
}

TEST(Signals, ShutdownGraceTakesWholeSecondsUpTo30FromTheEnvironment)
{
    struct Case {
        const char *env;  // null: variable unset
        int preset, want;
    } cases[] = {{nullptr, 30, 30}, {nullptr, 4, 4}, {"0", 30, 0},  {"7", 30, 7},   {"30", 30, 30},
                 {"31", 30, 30},    {"-1", 30, 30},  {"abc", 30, 30}, {"5s", 30, 30}, {"", 30, 30}};
    for (const Case &c : cases) {
        velktest::ForkedChild child([&] {
            if (c.env)
                setenv("VELK_TESTONLY_SHUTDOWN_GRACE", c.env, 1);
            else
                unsetenv("VELK_TESTONLY_SHUTDOWN_GRACE");
            velk_shutdown_grace_seconds = c.preset;
            return velk_SigInit() != 0 ? 100 : velk_shutdown_grace_seconds;
        });
        EXPECT_TRUE(velktest::exitsWith(child, c.want)) << (c.env ? c.env : "(unset)");
    }

    // The grace period ends the process even when no status FIFO is set up.
    BytePipe ready, report;
    velktest::ForkedChild child([&] {
        velk_shutdown_grace_seconds = 2;
        unsetenv("VELK_TESTONLY_SHUTDOWN_GRACE");
        if (velk_SigInit() != 0 || !ready.send('r'))
            return 10;
        while (!velk_shutdown_signalled.load())
            usleep(10000);
        report.send('f');
        for (int i = 0; i < 60; i++)
            sleep(1);
        return 0;
    });
    ASSERT_EQ('r', ready.receive());
    ASSERT_EQ(0, kill(child.pid(), SIGUSR1));
    EXPECT_EQ('f', report.receive());
    int status = 0;
    ASSERT_TRUE(child.wait(&status, std::chrono::seconds(30))) << "the grace period never ended";
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGKILL, WTERMSIG(status));
}

} // namespace
