#ifndef KYLGWD_FIXTURE_H
#define KYLGWD_FIXTURE_H

// A real kylgwd process for end-to-end tests.  start() runs the binary under
// test in the foreground on a free loopback port, with its port file, log
// and standard error in a directory of the test's own, and waits for the
// port file.  The destructor stops the daemon and fails the test when it did
// not exit with status 0 (which is how sanitizer findings in the daemon
// surface).  Create, start and stop it on the test's main thread: the
// daemon is killed when the thread that started it ends.

#include <gtest/gtest.h>

#include <string>
#include <sys/types.h>
#include <vector>

namespace velktest {

class KylgwdProcess {
public:
    // dir holds the daemon's files: port, kylgwd.log, kylgwd.stderr and,
    // unless the extra arguments name their own, the served tree root/ and
    // the metadata directory meta/.  It must exist.
    explicit KylgwdProcess(std::string dir);
    ~KylgwdProcess();
    KylgwdProcess(const KylgwdProcess &) = delete;
    KylgwdProcess &operator=(const KylgwdProcess &) = delete;

    // Starts kylgwd --foreground --listen 127.0.0.1:0 --portfile DIR/port
    // --log DIR/kylgwd.log [--root DIR/root --meta DIR/meta] extraArgs...
    // and waits up to timeoutSeconds for the port file.  Fails (with the
    // daemon's standard error and log) when it exits or times out first.
    ::testing::AssertionResult start(const std::vector<std::string> &extraArgs = {}, double timeoutSeconds = 60);

    // Sends SIGTERM and waits; after timeoutSeconds sends SIGKILL.  Returns
    // the exit status, or 128 + the signal number when a signal ended it.
    // Returns the recorded status again when already stopped.
    int stop(double timeoutSeconds = 60);

    // Waits until the log contains needle at least count times.
    bool waitForLog(const std::string &needle, size_t count = 1, double timeoutSeconds = 60) const;

    // The address start() listens on ("127.0.0.1:0" unless set before).
    void setListen(const std::string &hostPort) { listen_ = hostPort; }

    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const std::string &dir() const { return dir_; }
    std::string portFilePath() const { return dir_ + "/port"; }
    std::string rootPath() const { return dir_ + "/root"; }
    std::string logText() const;
    std::string stderrText() const;

private:
    std::string dir_;
    std::string logPath_;
    std::string listen_ = "127.0.0.1:0";
    pid_t pid_ = -1;
    int port_ = 0;
    int status_ = -1;
};

// The users-file hash kylgwd --hash-password makes of password.
std::string hashPassword(const std::string &password);
// Occurrences of needle in text.
size_t countOccurrences(const std::string &text, const std::string &needle);
// Waits until the file at path holds needle at least count times.
bool waitForFileText(const std::string &path, const std::string &needle, size_t count = 1,
                     double timeoutSeconds = 60);

} // namespace velktest

#endif
