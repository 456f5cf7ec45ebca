// Terminal prompts on a real pseudo-terminal: a child made with forkpty()
// has it as its controlling terminal ("/dev/tty"), the test types at the
// master side and looks at the terminal's settings through the slave.
// Also the results when there is no usable terminal.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "nxapi_prompt.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

using velktest::Clock;
using velktest::kGenerousWait;

// A child on a new pseudo-terminal, with the slave kept open by the parent
// so that the terminal's settings can be read after the child is gone.
class PtyChild {
public:
    template <typename F>
    explicit PtyChild(F body)
    {
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            // Signals take their default course whatever the runner set.
            for (int sig : {SIGINT, SIGQUIT, SIGHUP})
                signal(sig, SIG_DFL);
            _exit(nxapi_SetTerminalPath(nullptr) != 0 ? 99 : body());
        }
        if (pid_ > 0)
            slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
    }
    ~PtyChild()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(slave_);
        close(master_);
    }
    bool ok() const { return pid_ > 0 && slave_ >= 0; }
    pid_t pid() const { return pid_; }
    // Reads what the terminal shows until text appears.
    bool waitFor(const std::string &text)
    {
        auto deadline = Clock::now() + kGenerousWait;
        while (shown_.find(text) == std::string::npos)
            if (!pump(velktest::msLeft(deadline)))
                return false;
        return true;
    }
    void type(const std::string &s) { ASSERT_EQ(write(master_, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
    // The echo bits of the terminal's local modes.
    tcflag_t echo() const
    {
        struct termios t {};
        EXPECT_EQ(tcgetattr(slave_, &t), 0);
        return t.c_lflag & (ECHO | ECHOE | ECHOK | ECHONL);
    }
    // Waits for the child to end, keeping its output flowing; its wait
    // status, or -1.
    int wait()
    {
        auto deadline = Clock::now() + kGenerousWait;
        int status = 0;
        for (;;) {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                reaped_ = true;
                return status;
            }
            if (r < 0 || Clock::now() > deadline)
                return -1;
            pump(10);
        }
    }
    const std::string &shown() const { return shown_; }

private:
    bool pump(int ms)
    {
        struct pollfd p = {master_, POLLIN, 0};
        char buf[256];
        ssize_t n = poll(&p, 1, ms) > 0 ? read(master_, buf, sizeof buf) : 0;
        if (n > 0)
            shown_.append(buf, static_cast<size_t>(n));
        return n > 0;
    }

    pid_t pid_ = -1;
    int master_ = -1, slave_ = -1;
    bool reaped_ = false;
    std::string shown_;
};

// Echo is off while a password or hidden answer is read and on again
// afterwards: after the answer, and when SIGINT or SIGQUIT ends the process
// in the middle of the prompt (it still dies of the signal).
TEST(Prompt, EchoIsOffWhileHiddenAnswersAreRead)
{
    struct Case {
        bool pam;
        int sig;  // 0: the answer is typed
    };
    for (Case c : {Case{false, 0}, Case{false, SIGINT}, Case{true, SIGQUIT}}) {
        SCOPED_TRACE(std::to_string(c.pam) + " " + std::to_string(c.sig));
        PtyChild child([c] {
            if (c.pam) {
                char *r = nullptr;
                int rc = nxapi_PamGetResponse(1, "PIN: ", &r);
                return rc == 0 && strcmp(r, "hidden") == 0 ? 0 : 3;
            }
            char buf[64];
            int n = nxapi_GetPassword("Password", "bob", buf, sizeof buf);
            return n == 6 && strcmp(buf, "hidden") == 0 ? 0 : 3;
        });
        ASSERT_TRUE(child.ok());
        ASSERT_TRUE(child.waitFor(c.pam ? "\rPIN: " : "[bob]Password: ")) << child.shown();
        EXPECT_EQ(child.echo(), 0u);
        if (c.sig != 0) {
            ASSERT_EQ(kill(child.pid(), c.sig), 0);
        } else {
            child.type("hidden\n");
        }
        int status = child.wait();
        if (c.sig != 0) {
            ASSERT_TRUE(WIFSIGNALED(status)) << status;
            EXPECT_EQ(WTERMSIG(status), c.sig);
        } else {
            ASSERT_TRUE(WIFEXITED(status)) << status;
            EXPECT_EQ(WEXITSTATUS(status), 0);
            EXPECT_EQ(child.shown().find("hidden"), std::string::npos) << child.shown();
        }
        EXPECT_NE(child.echo() & ECHO, 0u);
    }
}

TEST(Prompt, EmptyAnswerIsAskedOnceMore)
{
    PtyChild c([] {
        char buf[5]; // the answer fills it to its last byte
        int n = nxapi_GetPassword("Enter PASSCODE", nullptr, buf, sizeof buf);
        return n == 4 && strcmp(buf, "1234") == 0 ? 0 : 1;
    });
    ASSERT_TRUE(c.ok());
    ASSERT_TRUE(c.waitFor("\rEnter PASSCODE: "));
    c.type("\n");
    ASSERT_TRUE(c.waitFor("Enter PASSCODE: \r"));  // cleared line of the second try
    c.type("1234\n");
    int status = c.wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Prompt, NoUsableTerminal)
{
    velktest::ScratchDir dir;
    velktest::writeFile(dir / "plain", "data\n");
    char buf[16];
    char *r = nullptr;
    // A terminal that is missing, and a file that is not a terminal.
    for (const char *name : {"missing", "plain"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(nxapi_SetTerminalPath((dir / name).c_str()), 0);
        velktest::StreamCapture cap(STDERR_FILENO);
        EXPECT_EQ(nxapi_GetPassword("Password", nullptr, buf, sizeof buf), -1);
        EXPECT_EQ(nxapi_PamGetResponse(1, "x", &r), -6);
        EXPECT_EQ(r, nullptr);
        EXPECT_FALSE(nxapi_TerminalIsInteractive());
        EXPECT_EQ(nxapi_PromptLine("x", buf, sizeof buf), -1);
    }
    EXPECT_EQ(nxapi_SetTerminalPath(std::string(NXAPI_TTY_PATH_MAX, 'x').c_str()), -36);
    ASSERT_EQ(nxapi_SetTerminalPath(nullptr), 0);
}

} // namespace
