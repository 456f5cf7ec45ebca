// Waits of velk that must end, against a real kylgwd: a reply the gateway
// never sends ends at QUOR_REPLY_TIMEOUT with a message naming the request;
// a mover that stalls a create ends at VELK_MOVER_TIMEOUT; SIGTERM in
// either wait ends the run at once with its final line and no temporary
// file left; and a create removes the temporary files that creates killed
// earlier left beside the archive, never another file.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <dirent.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "velk_gwsession.h"
#include "velk_testproc.h"

namespace {

using velktest::readFile;
using velktest::writeFile;

constexpr const char *kArchive = "/home/demo/a.tar";
// A run that ends on its own or on a signal ends within this; a wait that
// does not end on time is cut off by it.
constexpr int kDeadlineSeconds = 20;

class VelkWaits : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        velktest::VelkGatewayTest::SetUp();
        for (const char *d : {"tmp", "tree", "out"})
            ASSERT_EQ(mkdir((dir / d).c_str(), 0755), 0);
        writeFile(dir / "tree/big", velktest::bytesOf(3000001, 1));
        writeFile(dir / "tree/small", "small\n");
    }

    velktest::RunOptions options(std::map<std::string, std::string> env = {})
    {
        env["TMPDIR"] = dir / "tmp";
        auto o = velkOptions(env);
        o.timeoutSeconds = kDeadlineSeconds;
        return o;
    }

    // The arguments and working directory of an action on the archive.
    std::vector<std::string> args(bool create) const
    {
        if (create)
            return {"-c", "-Y", "4", "-f", kArchive, "tree"};
        return {"-x", "-f", kArchive};
    }
    std::string cwdOf(bool create) const { return create ? dir.path() : dir / "out"; }

    void makeArchive()
    {
        auto r = velktest::runVelk(args(true), options());
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // Temporary files left in the served home directory and in TMPDIR.
    std::vector<std::string> leftovers() const
    {
        std::vector<std::string> found;
        for (const std::string &d : {home(), dir / "tmp"})
            if (DIR *h = opendir(d.c_str())) {
                while (dirent *e = readdir(h)) {
                    const std::string name = e->d_name;
                    if (name != "." && name != ".." && (d != home() || name.find(".velk-") != std::string::npos))
                        found.push_back(name);
                }
                closedir(h);
            }
        return found;
    }

    bool fired(const std::string &fault) const
    {
        return readFile(dir / "events").find("\"fault\":\"" + fault + "\"") != std::string::npos;
    }
};

// A stalled reply or a stalled mover, as a fault script and the fault that
// fires.
struct Stall {
    const char *what;
    const char *script;
    const char *fault;
};
const Stall kReplyStall = {"silent reply", "pause_until=quor_Open,/nonexistent/never\n", "pause_until"};
const Stall kMoverStall = {"stalled mover", "mover_stall=60\n", "mover_stall"};

std::string lastLine(const std::string &out)
{
    const auto ls = velktest::lines(out);
    return ls.empty() ? "" : ls.back();
}

} // namespace

TEST_F(VelkWaits, ASilentReplyOrAStalledMoverEndsAtItsLimit)
{
    makeArchive();
    struct Row {
        bool create;
        Stall stall;
        std::map<std::string, std::string> env;
        std::string message; // in standard error
    };
    const Row rows[] = {
        {true, kReplyStall, {{"QUOR_REPLY_TIMEOUT", "2"}}, "*** quor_Open: no reply from the gateway within 2 seconds"},
        {false, kReplyStall, {{"QUOR_REPLY_TIMEOUT", "2"}}, "*** quor_Open: no reply from the gateway within 2 seconds"},
        {true, kMoverStall, {{"VELK_MOVER_TIMEOUT", "2"}}, "*** velk_TransferThread: no data connection from the mover"},
    };
    for (const Row &row : rows) {
        const std::string what = std::string(row.create ? "create, " : "extract, ") + row.stall.what;
        writeFile(dir / "faults", row.stall.script);
        auto o = options(row.env);
        o.cwd = cwdOf(row.create);
        const auto start = velktest::Clock::now();
        const auto r = velktest::runVelk(args(row.create), o);
        const auto took = std::chrono::duration_cast<std::chrono::seconds>(velktest::Clock::now() - start);
        EXPECT_FALSE(r.timedOut) << what << "\n" << r.err;
        EXPECT_LT(took.count(), kDeadlineSeconds - 5) << what;
        EXPECT_EQ(r.status, 72) << what << "\n" << r.err;
        EXPECT_EQ(lastLine(r.out), "VELK: VELK FAILED") << what;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << what << "\n" << r.err;
        EXPECT_TRUE(fired(row.stall.fault)) << what;
        EXPECT_EQ(leftovers(), std::vector<std::string>{}) << what;
    }
}

TEST_F(VelkWaits, SigtermInAnyWaitEndsTheRunWithItsFinalLine)
{
    makeArchive();
    for (const bool create : {true, false}) {
        for (const Stall &stall : {kReplyStall, kMoverStall}) {
            const std::string what = std::string(create ? "create, " : "extract, ") + stall.what;
            writeFile(dir / "faults", stall.script);
            const std::string event = "\"fault\":\"" + std::string(stall.fault) + "\"";
            size_t seen = 0;
            for (const std::string &line : velktest::lines(readFile(dir / "events")))
                seen += line.find(event) != std::string::npos ? 1 : 0;
            auto o = options();
            o.cwd = cwdOf(create);
            auto child = velktest::startVelk(args(create), o, dir / "run.out", dir / "run.err");
            ASSERT_TRUE(child) << what;
            ASSERT_TRUE(velktest::waitForFileText(dir / "events", event, seen + 1)) << what << readFile(dir / "run.err");
            ASSERT_EQ(kill(child->pid(), SIGTERM), 0);
            int st = 0;
            ASSERT_TRUE(child->wait(&st, std::chrono::seconds(10))) << what << " did not end in time";
            ASSERT_TRUE(WIFEXITED(st)) << what << " ended by signal " << WTERMSIG(st);
            EXPECT_EQ(WEXITSTATUS(st), 72) << what << "\n" << readFile(dir / "run.err");
            EXPECT_EQ(lastLine(readFile(dir / "run.out")),
                      create ? "VELK: VELK FAILED DUE TO FORCED SHUTDOWN" : "VELK: VELK FAILED")
                << what;
            EXPECT_EQ(leftovers(), std::vector<std::string>{}) << what;
        }
    }
}

TEST_F(VelkWaits, ACreateRemovesOnlyTheTemporaryFilesOfEndedProcesses)
{
    // A process id that is no longer in use.
    const pid_t dead = fork();
    if (dead == 0)
        _exit(0);
    ASSERT_GT(dead, 0);
    ASSERT_EQ(waitpid(dead, nullptr, 0), dead);
    const std::string d = std::to_string(dead);
    const std::string live = std::to_string(getpid());
    struct Row {
        const char *what;
        std::string where; // directory of the archive, as velk sees it and on disk
        std::string onDisk;
        std::vector<std::string> extraArgs;
        std::vector<std::string> stale; // removed
    };
    const Row rows[] = {
        {"storage system", "/home/demo/", home() + "/", {}, {".a.tar.velk-" + d + ".tmp", ".a.tar.idx.velk-" + d + ".tmp"}},
        {"local", "", dir.path() + "/", {"-E"}, {".a.tar.velk-" + d + ".tmp"}},
    };
    // Names that are kept: a live process's, and names that only look alike.
    const std::vector<std::string> kept = {".a.tar.velk-" + live + ".tmp", ".a.tar.velk-0" + d + ".tmp",
                                           ".a.tar.velk-" + d + ".tmpx",   ".b.tar.velk-" + d + ".tmp",
                                           "a.tar.velk-" + d + ".tmp",     ".a.tar.velk-" + d + "x.tmp"};
    for (const Row &row : rows) {
        for (const auto &names : {row.stale, kept})
            for (const std::string &n : names)
                writeFile(row.onDisk + n, "left behind\n");
        std::vector<std::string> a = {"-c", "-f", row.where + "a.tar", "tree"};
        a.insert(a.begin() + 1, row.extraArgs.begin(), row.extraArgs.end());
        const auto r = velktest::runVelk(a, options());
        EXPECT_EQ(r.status, 0) << row.what << "\n" << r.err;
        std::string messages;
        for (const std::string &n : row.stale) {
            EXPECT_FALSE(velktest::exists(row.onDisk + n)) << row.what << " " << n;
            messages += "INFO: removed temporary file " + row.where + n + " left by ended process " + d + "\n";
        }
        std::string got;
        for (const std::string &line : velktest::lines(r.out + r.err))
            if (line.find("temporary file") != std::string::npos)
                got += line + "\n";
        EXPECT_EQ(got, messages) << row.what;
        for (const std::string &n : kept) {
            EXPECT_TRUE(velktest::exists(row.onDisk + n)) << row.what << " " << n;
            unlink((row.onDisk + n).c_str());
        }
    }
}
