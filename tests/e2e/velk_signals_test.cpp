// Signals sent to a running velk.  The run is held at a well-defined point:
// the exceptions file is a FIFO, so opening it for appending waits until a
// reader comes.  By then the signal thread is running (it starts before any
// list file is opened), so SIGUSR2 and SIGUSR1 reach it.

#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

using velktest::Clock;
using velktest::kGenerousWait;

// velk started with its output in files of the scratch directory.
class HeldRun {
public:
    HeldRun(const velktest::ScratchDir &dir, const std::vector<std::string> &extraEnv)
        : outPath_(dir / "out"), errPath_(dir / "err"), exfifo_(dir / "exfifo")
    {
        if (mkfifo(exfifo_.c_str(), 0600) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            if (!velktest::redirectOutputToFiles(outPath_, errPath_) || chdir(dir.path().c_str()) != 0)
                _exit(126);
            std::vector<std::string> env{"HOME=" + dir.path(), "QUOR_CFG_FILE_PATH=" + dir.path(),
                                         "QUOR_SERVER_HOST=127.0.0.1/9", "PATH=/usr/bin:/bin"};
            env.insert(env.end(), extraEnv.begin(), extraEnv.end());
            std::vector<std::string> args{velktest::velkBinary(), "-t", "-f", "a.tar", "-H", "exfile=" + exfifo_};
            std::vector<char *> av, ev;
            for (auto &s : args)
                av.push_back(s.data());
            av.push_back(nullptr);
            for (auto &s : env)
                ev.push_back(s.data());
            ev.push_back(nullptr);
            execve(av[0], av.data(), ev.data());
            _exit(127);
        }
    }
    ~HeldRun()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    pid_t pid() const { return pid_; }

    // Waits until the process runs a second thread: the signal thread.
    bool signalThreadRunning()
    {
        auto deadline = Clock::now() + kGenerousWait;
        std::string taskDir = "/proc/" + std::to_string(pid_) + "/task";
        while (Clock::now() < deadline) {
            int tasks = 0;
            if (DIR *d = opendir(taskDir.c_str())) {
                while (struct dirent *e = readdir(d))
                    tasks += e->d_name[0] != '.';
                closedir(d);
            }
            if (tasks >= 2)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Waits until standard error holds needle.
    bool errContains(const std::string &needle)
    {
        auto deadline = Clock::now() + kGenerousWait;
        while (Clock::now() < deadline) {
            if (err().find(needle) != std::string::npos)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    // Lets the run go on past the exceptions file.
    int release() { return open(exfifo_.c_str(), O_RDONLY | O_NONBLOCK); }

    // Waits for the end of the process; false on timeout.
    bool wait(int *status)
    {
        auto deadline = Clock::now() + kGenerousWait + std::chrono::seconds(30);
        while (Clock::now() < deadline) {
            if (waitpid(pid_, status, WNOHANG) == pid_) {
                reaped_ = true;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    std::string out() const { return velktest::readFile(outPath_); }
    std::string err() const { return velktest::readFile(errPath_); }

private:
    std::string outPath_, errPath_, exfifo_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

} // namespace

TEST(RunSignals, Usr2WritesStateDumpAndRunGoesOn)
{
    velktest::ScratchDir dir;
    velktest::writeFile(dir / ".velkrc", "statefile STDERR\n");
    HeldRun run(dir, {});
    ASSERT_GT(run.pid(), 0);
    ASSERT_TRUE(run.signalThreadRunning());
    ASSERT_EQ(kill(run.pid(), SIGUSR2), 0);
    ASSERT_TRUE(run.errContains("Current program phase")) << run.err();
    int reader = run.release();
    ASSERT_GE(reader, 0);
    int status = 0;
    ASSERT_TRUE(run.wait(&status));
    close(reader);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 71);  // the run went on to the gateway step
    auto lines = velktest::lines(run.err());
    ASSERT_GE(lines.size(), 4u) << run.err();
    EXPECT_EQ(lines[0], std::string(37, '+'));
    EXPECT_NE(lines[1].find(" State Dump Action=LIST"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[1].size(), std::string("Sun Dec  6 09:14:33.123 State Dump Action=LIST").size()) << lines[1];
    EXPECT_EQ(lines[2].rfind("Current program phase ........... ", 0), 0u) << lines[2];
    EXPECT_EQ(lines.back(), "ERROR (main) unable to open remote gateway server connection");
    EXPECT_EQ(run.out(), "VELK: VELK FAILED\n");
}

TEST(RunSignals, Usr1ForcesShutdownWithinGracePeriod)
{
    velktest::ScratchDir dir;
    HeldRun run(dir, {"VELK_TESTONLY_SHUTDOWN_GRACE=1"});
    ASSERT_GT(run.pid(), 0);
    ASSERT_TRUE(run.signalThreadRunning());
    ASSERT_EQ(kill(run.pid(), SIGUSR1), 0);
    int status = 0;
    ASSERT_TRUE(run.wait(&status)) << "velk did not end after SIGUSR1";
    // Nothing stopped the held start-up, so the grace period ran out and
    // the process ended itself.
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGKILL);
    EXPECT_EQ(run.out(), "");
}
