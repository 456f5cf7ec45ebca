// The in-place progress line: shown only when standard error is a terminal
// and -q is not given.  velk runs on a pseudo-terminal here.

#include <gtest/gtest.h>

#include <cerrno>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "velk_testsupport.h"

namespace {

struct PtyRun {
    std::string text;  // everything velk wrote to the terminal
    int status = -1;
};

PtyRun runOnPty(const std::vector<std::string> &args, const std::string &home)
{
    PtyRun r;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        std::vector<std::string> argv{velktest::velkBinary()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char *> av;
        for (auto &s : argv)
            av.push_back(s.data());
        av.push_back(nullptr);
        std::string homeEnv = "HOME=" + home, cfg = "QUOR_CFG_FILE_PATH=" + home;
        char *envp[] = {homeEnv.data(), cfg.data(), const_cast<char *>("QUOR_SERVER_HOST=127.0.0.1/9"), nullptr};
        if (chdir(home.c_str()) != 0)
            _exit(126);
        execve(av[0], av.data(), envp);
        _exit(127);
    }
    if (pid < 0)
        return r;
    for (;;) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0)
            break;
        char buf[4096];
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;  // EIO once the child has closed the terminal
        r.text.append(buf, static_cast<size_t>(n));
    }
    close(master);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

} // namespace

TEST(TerminalProgress, ShownOnTerminalAndClearedBeforeMessages)
{
    velktest::ScratchDir dir;
    auto r = runOnPty({"-t", "-f", "a.tar"}, dir.path());
    EXPECT_EQ(r.status, 71);
    // The terminal turns "\n" into "\r\n".
    auto shown = r.text.find("\rOpening QUOR server connection \r");
    ASSERT_NE(shown, std::string::npos) << r.text;
    // The line was first "Opening server connection", then the longer text
    // overwrote it; before the error message it is blanked out.
    EXPECT_LT(r.text.find("\rOpening server connection \r"), shown);
    auto error = r.text.find("ERROR (main) unable to open remote gateway server connection");
    ASSERT_NE(error, std::string::npos);
    std::string blank = "\r" + std::string(std::string("Opening QUOR server connection ").size(), ' ') + "\r";
    auto cleared = r.text.find(blank, shown);
    ASSERT_NE(cleared, std::string::npos) << r.text;
    EXPECT_LT(cleared, error);
}

TEST(TerminalProgress, QuietAndLocalArchivesShowOnlyWhatApplies)
{
    velktest::ScratchDir dir;
    auto quiet = runOnPty({"-t", "-q", "-f", "a.tar"}, dir.path());
    EXPECT_EQ(quiet.status, 71);
    EXPECT_EQ(quiet.text.find("Opening"), std::string::npos) << quiet.text;
    EXPECT_NE(quiet.text.find("VELK: VELK FAILED"), std::string::npos);

    // A local archive skips the storage-system line but still opens a session.
    auto local = runOnPty({"-t", "-E", "-f", "a.tar"}, dir.path());
    EXPECT_EQ(local.text.find("\rOpening server connection"), std::string::npos) << local.text;
    EXPECT_NE(local.text.find("\rOpening QUOR server connection \r"), std::string::npos) << local.text;
}
