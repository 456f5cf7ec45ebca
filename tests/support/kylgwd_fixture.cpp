// A kylgwd process for end-to-end tests; see kylgwd_fixture.h.

#include "kylgwd_fixture.h"

#include "kyl_fd.h"
#include "velk_testsupport.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace velktest {

namespace {

using Clock = std::chrono::steady_clock;

// Interval between looks at a file or a child's state while waiting.
constexpr auto kPollInterval = std::chrono::milliseconds(10);

Clock::time_point deadlineAfter(double seconds)
{
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

bool hasOption(const std::vector<std::string> &args, const std::string &name)
{
    for (const auto &a : args)
        if (a == name || a.rfind(name + "=", 0) == 0)
            return true;
    return false;
}

int decodeStatus(int wstatus)
{
    if (WIFEXITED(wstatus))
        return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus))
        return 128 + WTERMSIG(wstatus);
    return -1;
}

} // namespace

std::string hashPassword(const std::string &password)
{
    RunOptions o;
    o.input = password + "\n";
    auto r = run({kylgwdBinary(), "--hash-password"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out.empty() ? std::string() : r.out.substr(0, r.out.size() - 1);
}

size_t countOccurrences(const std::string &text, const std::string &needle)
{
    if (needle.empty())
        return 0;
    size_t n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + needle.size()))
        n++;
    return n;
}

KylgwdProcess::KylgwdProcess(std::string dir) : dir_(std::move(dir)), logPath_(dir_ + "/kylgwd.log") {}

KylgwdProcess::~KylgwdProcess()
{
    if (pid_ <= 0)
        return;
    int st = stop();
    if (st != 0)
        ADD_FAILURE() << "kylgwd ended with status " << st << "\nstandard error:\n"
                      << stderrText() << "\nlog:\n"
                      << logText();
}

std::string KylgwdProcess::logText() const
{
    return readFile(logPath_);
}

std::string KylgwdProcess::stderrText() const
{
    return readFile(dir_ + "/kylgwd.stderr");
}

::testing::AssertionResult KylgwdProcess::start(const std::vector<std::string> &extraArgs, double timeoutSeconds)
{
    if (pid_ > 0)
        return ::testing::AssertionFailure() << "kylgwd already running as pid " << pid_;
    unlink(portFilePath().c_str());

    std::vector<std::string> argv{kylgwdBinary(), "--foreground", "--listen", listen_,
                                  "--portfile", portFilePath(), "--log", logPath_};
    if (!hasOption(extraArgs, "--root")) {
        mkdir(rootPath().c_str(), 0755);
        argv.insert(argv.end(), {"--root", rootPath()});
    }
    if (!hasOption(extraArgs, "--meta")) {
        std::string meta = dir_ + "/meta";
        mkdir(meta.c_str(), 0755);
        argv.insert(argv.end(), {"--meta", meta});
    }
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char *> args;
    for (auto &a : argv)
        args.push_back(a.data());
    args.push_back(nullptr);

    std::string errPath = dir_ + "/kylgwd.stderr";
    kyl_fd errFd(open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    kyl_fd nullFd(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!errFd.valid() || !nullFd.valid())
        return ::testing::AssertionFailure() << "cannot open " << errPath << " or /dev/null: " << strerror(errno);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0)
        return ::testing::AssertionFailure() << "fork: " << strerror(errno);
    if (pid == 0) {
        // A test that dies (or times out) must not leave a daemon behind.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        dup2(nullFd.get(), STDIN_FILENO);
        dup2(errFd.get(), STDOUT_FILENO);
        dup2(errFd.get(), STDERR_FILENO);
        execve(args[0], args.data(), environ);
        _exit(127);
    }
    pid_ = pid;
    status_ = -1;

    auto deadline = deadlineAfter(timeoutSeconds);
    for (;;) {
        std::string text = readFile(portFilePath());
        // The daemon writes the file whole through a rename, so any content
        // is final.
        if (!text.empty()) {
            char *end = nullptr;
            long p = strtol(text.c_str(), &end, 10);
            if (p <= 0 || p > 65535 || *end != '\n')
                return ::testing::AssertionFailure() << "kylgwd wrote a bad port file: '" << text << "'";
            port_ = static_cast<int>(p);
            return ::testing::AssertionSuccess();
        }
        int wstatus = 0;
        if (waitpid(pid_, &wstatus, WNOHANG) == pid_) {
            pid_ = -1;
            status_ = decodeStatus(wstatus);
            return ::testing::AssertionFailure() << "kylgwd ended with status " << status_
                                                 << " before writing its port file\nstandard error:\n"
                                                 << stderrText() << "\nlog:\n"
                                                 << logText();
        }
        if (Clock::now() > deadline) {
            stop(5);
            return ::testing::AssertionFailure() << "kylgwd wrote no port file within " << timeoutSeconds
                                                 << " s\nstandard error:\n"
                                                 << stderrText() << "\nlog:\n"
                                                 << logText();
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

int KylgwdProcess::stop(double timeoutSeconds)
{
    if (pid_ <= 0)
        return status_;
    kill(pid_, SIGTERM);
    auto deadline = deadlineAfter(timeoutSeconds);
    int wstatus = 0;
    for (;;) {
        pid_t r = waitpid(pid_, &wstatus, WNOHANG);
        if (r == pid_)
            break;
        if (r < 0 && errno != EINTR) {
            ADD_FAILURE() << "waitpid for kylgwd: " << strerror(errno);
            pid_ = -1;
            return status_ = -1;
        }
        if (Clock::now() > deadline) {
            ADD_FAILURE() << "kylgwd did not stop within " << timeoutSeconds << " s of SIGTERM; killing it";
            kill(pid_, SIGKILL);
            while (waitpid(pid_, &wstatus, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
    pid_ = -1;
    status_ = decodeStatus(wstatus);
    return status_;
}

bool KylgwdProcess::waitForLog(const std::string &needle, size_t count, double timeoutSeconds) const
{
    return waitForFileText(logPath_, needle, count, timeoutSeconds);
}

bool waitForFileText(const std::string &path, const std::string &needle, size_t count, double timeoutSeconds)
{
    auto deadline = deadlineAfter(timeoutSeconds);
    for (;;) {
        if (countOccurrences(readFile(path), needle) >= count)
            return true;
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(kPollInterval);
    }
}

} // namespace velktest
