// Test-only helpers around processes and descriptors; see velk_testproc.h.
// Failures to set up (no temporary file, no fork) are reported through
// GoogleTest so that the test using the helper fails instead of checking
// output that was never captured.

#include "velk_testproc.h"
#include "velk_testsupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <thread>

namespace velktest {

int msLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// ---- StreamCapture -------------------------------------------------------------

StreamCapture::StreamCapture(int fd) : fd_(fd)
{
    // Text buffered before the capture belongs to the old destination.
    fflush(nullptr);
    file_ = tmpfile();
    if (file_ == nullptr) {
        ADD_FAILURE() << "tmpfile: " << strerror(errno);
        return;
    }
    saved_ = dup(fd);
    if (saved_ < 0) {
        ADD_FAILURE() << "dup(" << fd << "): " << strerror(errno);
        return;
    }
    if (dup2(fileno(file_), fd) < 0) {
        ADD_FAILURE() << "dup2 onto " << fd << ": " << strerror(errno);
        close(saved_);
        saved_ = -1;
    }
}

StreamCapture::~StreamCapture()
{
    stop();
    if (file_ != nullptr)
        fclose(file_);
}

void StreamCapture::stop()
{
    if (saved_ < 0)
        return;
    // Text still buffered was written while capturing: it goes to the file.
    fflush(nullptr);
    dup2(saved_, fd_);
    close(saved_);
    saved_ = -1;
}

std::string StreamCapture::text()
{
    stop();
    std::string out;
    if (file_ == nullptr)
        return out;
    // The descriptor wrote through the same open file, so the stream's own
    // position and buffer are stale; rewind() drops both.
    rewind(file_);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0)
        out.append(buf, n);
    return out;
}

// ---- OutputCapture -------------------------------------------------------------

void OutputCapture::stop()
{
    out_.stop();
    err_.stop();
}

std::string OutputCapture::out()
{
    stop();
    return out_.text();
}

std::string OutputCapture::err()
{
    stop();
    return err_.text();
}

// ---- child side redirection ----------------------------------------------------

bool redirectOutputToFiles(const std::string &outPath, const std::string &errPath)
{
    fflush(nullptr);
    int o = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int e = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    bool ok = o >= 0 && e >= 0 && dup2(o, STDOUT_FILENO) >= 0 && dup2(e, STDERR_FILENO) >= 0;
    // The opened descriptors are only the source of the copies; one of them
    // may already be a standard descriptor if that was closed before.
    for (int fd : {o, e})
        if (fd > STDERR_FILENO)
            close(fd);
    return ok;
}

// ---- ForkedChild ---------------------------------------------------------------

ForkedChild::ForkedChild(const std::function<int()> &scenario)
{
    // Flushed first, or the child would print the parent's buffered text a
    // second time when it ends.
    fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return;
    }
    if (pid_ == 0) {
        // An exception must not unwind into the test runner's copy in the
        // child, which would go on running tests.
        int code = kChildThrew;
        try {
            code = scenario();
        } catch (...) {
        }
        _exit(code);
    }
}

ForkedChild::~ForkedChild()
{
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

bool ForkedChild::wait(int *status, std::chrono::seconds timeout)
{
    if (pid_ <= 0 || reaped_)
        return false;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        pid_t r = waitpid(pid_, status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            return true;
        }
        if (r < 0 && errno != EINTR) {
            ADD_FAILURE() << "waitpid(" << pid_ << "): " << strerror(errno);
            reaped_ = true;
            return false;
        }
        if (msLeft(deadline) == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid_, SIGKILL);
    while (waitpid(pid_, status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return false;
}

::testing::AssertionResult exitsWith(ForkedChild &child, int code, std::chrono::seconds timeout)
{
    int status = 0;
    if (!child.wait(&status, timeout))
        return ::testing::AssertionFailure() << "child " << child.pid() << " did not end within " << timeout.count()
                                             << " s and was killed";
    if (WIFSIGNALED(status))
        return ::testing::AssertionFailure() << "child ended by signal " << WTERMSIG(status);
    if (!WIFEXITED(status))
        return ::testing::AssertionFailure() << "child wait status " << status;
    if (WEXITSTATUS(status) != code)
        return ::testing::AssertionFailure() << "child exited with " << WEXITSTATUS(status) << ", not " << code;
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult childExitsWith(int code, const std::function<int()> &scenario, std::string *errText)
{
    ScratchDir dir;
    const std::string out = dir / "out", err = dir / "err";
    ::testing::AssertionResult result = ::testing::AssertionSuccess();
    {
        ForkedChild child([&] {
            if (!redirectOutputToFiles(out, err))
                return 120;
            int rc = scenario();
            fflush(nullptr);
            return rc;
        });
        result = exitsWith(child, code);
    }
    const std::string text = readFile(err);
    if (errText != nullptr)
        *errText = text;
    if (!result)
        result << "\n" << text;
    return result;
}

std::unique_ptr<ForkedChild> startVelk(const std::vector<std::string> &args, const RunOptions &opts,
                                       const std::string &outPath, const std::string &errPath,
                                       const std::function<void()> &inChild)
{
    std::vector<std::string> argv{velkBinary()}, env = environmentOf(opts);
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ForkedChild>([&] {
        if (!redirectOutputToFiles(outPath, errPath) || (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0))
            return 126;
        if (inChild)
            inChild();
        std::vector<char *> av, ev;
        for (auto &a : argv)
            av.push_back(a.data());
        for (auto &e : env)
            ev.push_back(e.data());
        av.push_back(nullptr);
        ev.push_back(nullptr);
        execve(av[0], av.data(), ev.data());
        return 127;
    });
}

// ---- BytePipe ------------------------------------------------------------------

BytePipe::BytePipe()
{
    int fd[2];
    if (pipe(fd) != 0)
        ADD_FAILURE() << "pipe: " << strerror(errno);
    else
        read_.reset(fd[0]), write_.reset(fd[1]);
}

bool BytePipe::send(char c) const
{
    ssize_t n;
    do
        n = write(write_.get(), &c, 1);
    while (n < 0 && errno == EINTR);
    return n == 1;
}

int BytePipe::receive(std::chrono::milliseconds timeout) const
{
    auto deadline = Clock::now() + timeout;
    struct pollfd p = {read_.get(), POLLIN, 0};
    int ready;
    do
        ready = poll(&p, 1, msLeft(deadline));
    while (ready < 0 && errno == EINTR);
    if (ready != 1)
        return -1;
    unsigned char c;
    ssize_t n;
    do
        n = read(read_.get(), &c, 1);
    while (n < 0 && errno == EINTR);
    return n == 1 ? c : -1;
}

} // namespace velktest
