// The status FIFO: immediate and pending lines, heartbeats, the line length
// cut, the status option and a reader that goes away.  The status thread is
// process-wide, so every scenario runs in a forked child writing into a real
// FIFO; a control pipe tells the child when to go on.

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>

#include "kyl_fd.h"
#include "velk_StatusFifo.h"
#include "velk_unit_fixture.h"

namespace {

std::string line(pid_t pid, const std::string &phase, const std::string &text)
{
    return std::to_string(pid) + " " + phase + " " + text + "\n";
}

class StatusFifo : public ::testing::Test {
protected:
    // The read end is opened before the child starts, so that the child's
    // non-blocking open for writing finds a reader.
    void SetUp() override
    {
        ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
        fd_.reset(open(path_.c_str(), O_RDONLY | O_NONBLOCK));
        ASSERT_TRUE(fd_.valid());
    }
    // In the child: the state the run sequence leaves with -N (descriptor
    // open as the parser opens it, flag set, a one-second interval).
    bool childSetup(int phase)
    {
        fd_.reset();
        velk_status_pipefd = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
        velk_option_flags |= VELK_OPT_STATUS_FIFO;
        velk_SetProgramPhase(phase);
        return velk_status_pipefd >= 0 && velk_InitStatusFifo() == 0;
    }
    bool childWait() { return ctl_.receive(std::chrono::seconds(30)) >= 0; }
    void go() { EXPECT_TRUE(ctl_.send('g')); }
    // Reads until n more NUL-ended records arrived (returned without the
    // NUL), the writer is gone, or the time is up.
    std::vector<std::string> records(size_t n)
    {
        std::vector<std::string> got;
        auto deadline = velktest::Clock::now() + velktest::kGenerousWait;
        for (bool eof = false;;) {
            for (size_t nul; got.size() < n && (nul = pending_.find('\0')) != std::string::npos;
                 pending_.erase(0, nul + 1))
                got.push_back(pending_.substr(0, nul));
            if (got.size() >= n || eof || velktest::msLeft(deadline) == 0)
                return got;
            struct pollfd p = {fd_.get(), POLLIN, 0};
            char buf[4096];
            ssize_t r = poll(&p, 1, velktest::msLeft(deadline)) > 0 ? read(fd_.get(), buf, sizeof buf) : -1;
            if (r > 0)
                pending_.append(buf, static_cast<size_t>(r));
            eof = r == 0;
        }
    }
    velktest::ScratchDir dir_;
    std::string path_ = dir_ / "status", pending_;
    kyl_fd fd_;
    velktest::BytePipe ctl_;
};

TEST_F(StatusFifo, ImmediateAndPendingLinesAndHeartbeats)
{
    velktest::ForkedChild child([&] {
        if (!childSetup(VTP_EXTRACT_OPEN_FILES))
            return 10;
        // An immediate line is written at once and drops what was pending,
        // so the thread's first turn writes a heartbeat.
        velk_StatusMsg(0, "Reading %ld index entries", 12L);
        velk_StatusMsg(1, "Open logging");
        if (!childWait() || velk_StartStatusThread(1) != 0 || !childWait())
            return 11;
        // A later pending line replaces an earlier one, in another phase.
        velk_SetProgramPhase(VTP_CREATE_WRITEARCHIVE);
        velk_StatusMsg(0, "superseded");
        velk_StatusMsg(0, "Bytes: %lu  Index Entries: %ld", 1048576UL, 3L);
        return childWait() ? 0 : 11;
    });
    auto got = records(1);  // before the status thread exists
    go();
    auto beats = records(2);
    got.insert(got.end(), beats.begin(), beats.end());
    go();
    for (int i = 0; i < 3 && (got.size() < 4 || velkunit::contains(got.back(), "HEARTBEAT")); i++)
        got.push_back(records(1).at(0));
    go();
    ASSERT_TRUE(velktest::exitsWith(child, 0));
    std::string pid = std::to_string(child.pid());
    EXPECT_EQ(std::vector<std::string>(got.begin(), got.begin() + 3),
              (std::vector<std::string>{pid + " EXTRACT-OPEN_FILES Open logging\n",
                                        pid + " EXTRACT-OPEN_FILES HEARTBEAT\n", pid + " EXTRACT-OPEN_FILES HEARTBEAT\n"}));
    EXPECT_EQ(got.back(), pid + " CREATE-WRITE_ARCHIVE Bytes: 1048576  Index Entries: 3\n");
}

TEST_F(StatusFifo, LongTextIsCutAndNothingIsSentWithoutTheOptionOrAfterClose)
{
    auto limit = [](pid_t pid) { return 1024 - std::to_string(pid).size() - strlen("CREATE-WRITE_ARCHIVE") - 5; };
    velktest::ForkedChild child([&] {
        if (!childSetup(VTP_CREATE_WRITEARCHIVE))
            return 10;
        velk_StatusMsg(1, "%s", std::string(limit(getpid()), 'e').c_str());
        velk_StatusMsg(1, "%s", std::string(limit(getpid()) + 1, 'o').c_str());
        velk_option_flags &= ~VELK_OPT_STATUS_FIFO;
        velk_StatusMsg(1, "not sent");
        velk_option_flags |= VELK_OPT_STATUS_FIFO;
        velk_SetProgramPhase(VTP_SHUTDOWN);
        velk_StatusMsg(1, "SHUTTING DOWN");
        velk_CloseStatusFifo();
        velk_StatusMsg(1, "after close");
        return velk_status_pipefd == -1 ? 0 : 1;
    });
    // The child's only write end is gone after the close: the reader sees
    // the end of the stream with everything written before it.
    auto got = records(10);
    EXPECT_TRUE(velktest::exitsWith(child, 0));
    size_t n = limit(child.pid());
    std::vector<std::string> want = {line(child.pid(), "CREATE-WRITE_ARCHIVE", std::string(n, 'e')),
                                     line(child.pid(), "CREATE-WRITE_ARCHIVE", std::string(n, 'o')),
                                     line(child.pid(), "SHUTDOWN", "SHUTTING DOWN")};
    EXPECT_EQ(want, got);
    EXPECT_LE(got.at(1).size(), static_cast<size_t>(VELK_STATUS_LINE_MAX));
    EXPECT_EQ("", pending_);
}

TEST_F(StatusFifo, ReaderThatGoesAwayDoesNotEndTheProcess)
{
    velktest::ForkedChild child([&] {
        // SIGPIPE keeps its default action: the unit itself must make sure
        // a write to an abandoned FIFO cannot end the process.
        signal(SIGPIPE, SIG_DFL);
        if (!childSetup(VTP_EXTRACT_READARCHIVE) || velk_StartStatusThread(1) != 0)
            return 10;
        if (!childWait())
            return 11;
        for (int i = 0; i < 3; i++)
            velk_StatusMsg(1, "ERROR_RECOVERY");
        sleep(2);  // the status thread takes at least one more turn
        velk_StatusMsg(1, "still here");
        return 0;
    });
    auto first = records(1);
    EXPECT_EQ(first, std::vector<std::string>{line(child.pid(), "EXTRACT-READ_ARCHIVE", "HEARTBEAT")});
    fd_.reset();
    go();
    EXPECT_TRUE(velktest::exitsWith(child, 0));  // a SIGPIPE would show as signal 13
}

} // namespace
