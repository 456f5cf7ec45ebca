#ifndef VELK_TESTPROC_H
#define VELK_TESTPROC_H

// Test-only helpers around processes and descriptors: capturing what the
// code under test writes to standard output or standard error, running a
// scenario in a forked child with a bounded wait, a one-byte pipe between
// parent and child, and deadlines for polling loops.  Called from the
// test's main thread (or the forked child) only.

#include <gtest/gtest.h>

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kyl_fd.h"

namespace velktest {

using Clock = std::chrono::steady_clock;

// A limit for waits on another process or thread.  It only keeps a broken
// build from hanging; no test depends on how long anything takes.
constexpr std::chrono::seconds kGenerousWait{20};

// Milliseconds until deadline, 0 once it has passed (usable as a poll()
// timeout).
int msLeft(Clock::time_point deadline);

// Sends one descriptor (STDOUT_FILENO or STDERR_FILENO) to a temporary file
// from construction until stop(), text() or destruction, so that a test sees
// exactly the bytes written to it.  All stdio streams are flushed on both
// edges, so buffered text lands on the side it was written on.  A setup
// failure is reported as a test failure and leaves the descriptor alone.
class StreamCapture {
public:
    explicit StreamCapture(int fd);
    ~StreamCapture();
    StreamCapture(const StreamCapture &) = delete;
    StreamCapture &operator=(const StreamCapture &) = delete;

    // Puts the original descriptor back; later calls do nothing.
    void stop();
    // Stops capturing and returns everything captured.  May be called again.
    std::string text();

private:
    int fd_;
    FILE *file_ = nullptr;
    int saved_ = -1;
};

// Captures standard output and standard error together.  Reading either one
// stops both, as a test reads them once the code under test is done.
class OutputCapture {
public:
    OutputCapture() = default;
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    void stop();
    std::string out();
    std::string err();

private:
    StreamCapture out_{STDOUT_FILENO};
    StreamCapture err_{STDERR_FILENO};
};

// Child side: sends standard output and standard error into the named files
// (created or truncated).  Returns false when a file can't be opened or a
// descriptor can't be moved.
[[nodiscard]] bool redirectOutputToFiles(const std::string &outPath, const std::string &errPath);

// Exit code of a ForkedChild whose scenario threw.
constexpr int kChildThrew = 125;

// Runs a scenario in a forked child, which ends with _exit(scenario()) so
// that it never returns into the test runner.  Process-wide state the
// scenario changes (signal masks, threads, globals) stays in the child.
// The destructor kills and reaps a child that was not waited for.
class ForkedChild {
public:
    explicit ForkedChild(const std::function<int()> &scenario);
    ~ForkedChild();
    ForkedChild(const ForkedChild &) = delete;
    ForkedChild &operator=(const ForkedChild &) = delete;

    // -1 when fork failed (reported as a test failure).
    pid_t pid() const { return pid_; }

    // Waits for the child to end and stores its wait status.  Returns false
    // when it did not end within timeout (it is then killed and reaped, and
    // *status tells so) or when there is no child to wait for.
    bool wait(int *status, std::chrono::seconds timeout = kGenerousWait);

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// Waits for the child and checks that it exited with code; the failure
// message says whether it hung (and was killed), died by a signal or exited
// with another code.
::testing::AssertionResult exitsWith(ForkedChild &child, int code,
                                     std::chrono::seconds timeout = kGenerousWait);

// Runs scenario in a ForkedChild whose standard output and error go to
// files of a scratch directory, and checks that it exits with code; on a
// failure the message carries the child's standard error.  *errText, when
// given, receives that text in any case.
::testing::AssertionResult childExitsWith(int code, const std::function<int()> &scenario,
                                          std::string *errText = nullptr);

struct RunOptions;
// Starts velk with args in a ForkedChild, with the environment and working
// directory run() would give it, its standard output and error going to the
// files (or FIFOs) at outPath and errPath.  inChild, when given, runs in the
// child just before velk starts.
std::unique_ptr<ForkedChild> startVelk(const std::vector<std::string> &args, const RunOptions &opts,
                                       const std::string &outPath, const std::string &errPath,
                                       const std::function<void()> &inChild = nullptr);

// A pipe over which parent and forked child pass single bytes to say "ready"
// or "go on", so that neither side depends on how fast the other is.  Both
// ends stay open in both processes; each side uses only one direction.
class BytePipe {
public:
    BytePipe();
    BytePipe(const BytePipe &) = delete;
    BytePipe &operator=(const BytePipe &) = delete;

    // Returns true when the byte was written.
    bool send(char c) const;
    // The next byte (0 to 255), or -1 when none came within timeout.
    int receive(std::chrono::milliseconds timeout = kGenerousWait) const;

private:
    kyl_fd read_, write_;
};

} // namespace velktest

#endif
