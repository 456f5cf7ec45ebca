// Signals sent to a running velk.  The run is held at a well-defined point:
// the gateway it connects to accepts the connection but never greets, so
// velk waits for the greeting.  The status FIFO tells when velk got there:
// its first line is written after the signal thread was started and before
// the gateway is contacted.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "kyl_fd.h"
#include "kylgwd_fixture.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

using velktest::Clock;
using velktest::kGenerousWait;

// velk started with its output in files of the scratch directory.
class HeldRun {
public:
    HeldRun(const velktest::ScratchDir &dir, const std::map<std::string, std::string> &extraEnv)
        : outPath_(dir / "out"), errPath_(dir / "err"), fifo_(dir / "status")
    {
        // A gateway that never greets: connections wait in its backlog.
        listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        struct sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        int l = listener_.get();
        if (l < 0 || bind(l, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 || listen(l, 4) != 0 ||
            getsockname(l, reinterpret_cast<struct sockaddr *>(&sa), &len) != 0 || mkfifo(fifo_.c_str(), 0600) != 0)
            return;
        reader_.reset(open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        velktest::RunOptions o;
        o.env = {{"HOME", dir.path()}, {"QUOR_CFG_FILE_PATH", dir.path()}, {"QUOR_HOSTNAME", "127.0.0.1"},
                 {"QUOR_SERVER_HOST", "127.0.0.1/" + std::to_string(ntohs(sa.sin_port))}};
        o.env.insert(extraEnv.begin(), extraEnv.end());
        o.cwd = dir.path();
        child_ = velktest::startVelk({"-t", "-E", "-f", "a.tar", "-N", fifo_}, o, outPath_, errPath_);
    }
    pid_t pid() const { return child_ ? child_->pid() : -1; }

    // Waits until the status FIFO has delivered text (lines end in a NUL).
    bool statusContains(const std::string &text)
    {
        auto deadline = Clock::now() + kGenerousWait;
        while (status_.find(text) == std::string::npos) {
            struct pollfd p = {reader_.get(), POLLIN, 0};
            int r = poll(&p, 1, velktest::msLeft(deadline));
            if (r <= 0)
                return false;
            char buf[512];
            ssize_t n = read(reader_.get(), buf, sizeof buf);
            if (n > 0)
                status_.append(buf, static_cast<size_t>(n));
            else if (n == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));  // no writer yet
        }
        return true;
    }

    // Lets the run go on: the silent gateway goes away, so the wait for the
    // greeting fails.
    void release() { listener_.reset(); }

    // Waits for the end of the process; false on timeout.
    bool wait(int *status) { return child_->wait(status, kGenerousWait + std::chrono::seconds(30)); }

    std::string out() const { return velktest::readFile(outPath_); }
    std::string err() const { return velktest::readFile(errPath_); }

private:
    std::string outPath_, errPath_, fifo_;
    std::string status_;
    kyl_fd listener_, reader_;
    std::unique_ptr<velktest::ForkedChild> child_; // killed and reaped if it outlives the test
};

} // namespace

TEST(RunSignals, Usr2WritesStateDumpAndRunGoesOn)
{
    velktest::ScratchDir dir;
    velktest::writeFile(dir / ".velkrc", "statefile STDERR\n");
    HeldRun run(dir, {});
    ASSERT_GT(run.pid(), 0);
    ASSERT_TRUE(run.statusContains("OPEN_CONNECTION Open logging\n"));
    ASSERT_EQ(kill(run.pid(), SIGUSR2), 0);
    ASSERT_TRUE(velktest::waitForFileText(dir / "err", "Current program phase")) << run.err();
    run.release();
    int status = 0;
    ASSERT_TRUE(run.wait(&status));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 71);  // the run went on, to the gateway that went away
    auto lines = velktest::lines(run.err());
    ASSERT_GE(lines.size(), 4u) << run.err();
    EXPECT_EQ(lines[0], std::string(37, '+'));
    EXPECT_NE(lines[1].find(" State Dump Action=LIST"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[1].size(), std::string("Sun Dec  6 09:14:33.123 State Dump Action=LIST").size()) << lines[1];
    EXPECT_EQ(lines[2], "Current program phase ........... OPEN_CONNECTION (1)");
    EXPECT_EQ(lines[lines.size() - 2], "ERROR (main) unable to open remote gateway server connection");
    EXPECT_TRUE(lines.back().starts_with("INFO: a local archive (-E) needs no gateway")) << lines.back();
    EXPECT_EQ(run.out(), velktest::failedEnding(71));
}

TEST(RunSignals, Usr1ForcesShutdownWithinGracePeriod)
{
    velktest::ScratchDir dir;
    HeldRun run(dir, {{"VELK_TESTONLY_SHUTDOWN_GRACE", "1"}});
    ASSERT_GT(run.pid(), 0);
    ASSERT_TRUE(run.statusContains("OPEN_CONNECTION Open logging\n"));
    ASSERT_EQ(kill(run.pid(), SIGUSR1), 0);
    EXPECT_TRUE(run.statusContains(" FORCED_SHUTDOWN SHUTDOWN initiated\n"));
    int status = 0;
    ASSERT_TRUE(run.wait(&status)) << "velk did not end after SIGUSR1";
    // Nothing stopped the held start-up, so the grace period ran out and
    // the process ended itself.
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_EQ(run.out(), "");
}
