// The status FIFO: the open line, heartbeats, pending and immediate
// messages, the line length cut, the status option and a reader that goes
// away.  The status thread is detached and process-wide, so every scenario
// runs in a forked child that writes into a real FIFO; the parent reads what
// arrived and checks how the child ended.  Control pipes let the parent tell
// the child when to go on, so no scenario depends on how fast either side is.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>

#include "velk_StatusFifo.h"
#include "velk_unit_fixture.h"

namespace {

using velktest::Clock;
using velktest::kGenerousWait;
using velktest::msLeft;

// A pipe through which the parent tells the child to go on.
class ControlPipe {
public:
    // Child side: false when the word did not come within the generous limit.
    bool childWait() const { return pipe_.receive(std::chrono::seconds(30)) >= 0; }
    void go() const { EXPECT_TRUE(pipe_.send('g')); }

private:
    velktest::BytePipe pipe_;
};

// The read end of a status FIFO in a scratch directory.  It is opened
// before the child starts so that the child's non-blocking open for writing
// finds a reader.
class FifoReader {
public:
    explicit FifoReader(const std::string &path) : path_(path)
    {
        EXPECT_EQ(0, mkfifo(path.c_str(), 0600)) << strerror(errno);
        fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK);
        EXPECT_GE(fd_, 0) << strerror(errno);
    }
    ~FifoReader() { closeReader(); }
    FifoReader(const FifoReader &) = delete;
    FifoReader &operator=(const FifoReader &) = delete;

    // In the child: drops the inherited read end and opens the FIFO the way
    // the command-line parser does (write-only, non-blocking).
    int openWriterInChild()
    {
        close(fd_);
        fd_ = -1;
        return open(path_.c_str(), O_WRONLY | O_NONBLOCK);
    }

    void closeReader()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

    // Reads until n more NUL-ended records arrived, the writer is gone, or
    // the time is up.  Each record is returned without its NUL byte.
    std::vector<std::string> records(size_t n, std::chrono::seconds timeout = kGenerousWait)
    {
        std::vector<std::string> got;
        auto deadline = Clock::now() + timeout;
        for (;;) {
            size_t nul;
            while (got.size() < n && (nul = pending_.find('\0')) != std::string::npos) {
                got.push_back(pending_.substr(0, nul));
                pending_.erase(0, nul + 1);
            }
            if (got.size() >= n || eof_ || msLeft(deadline) == 0)
                return got;
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, msLeft(deadline)) <= 0)
                continue;
            char buf[4096];
            ssize_t r = read(fd_, buf, sizeof buf);
            if (r > 0)
                pending_.append(buf, static_cast<size_t>(r));
            else if (r == 0)
                eof_ = true;
        }
    }
    // Bytes that arrived after the last whole record.
    const std::string &leftover() const { return pending_; }

private:
    std::string path_;
    int fd_ = -1;
    std::string pending_;
    bool eof_ = false;
};

// Puts the child in the state the run sequence leaves it in with -N
// (descriptor open, flag set, a one-second interval, pending line ready),
// then enters phase.
bool childSetup(FifoReader &fifo, int phase)
{
    int fd = fifo.openWriterInChild();
    if (fd < 0)
        return false;
    velk_status_pipefd = fd;
    velk_option_flags |= VELK_OPT_STATUS_FIFO;
    velk_status_interval = 1;
    if (velk_InitStatusFifo() != 0)
        return false;
    velk_SetProgramPhase(phase);
    return true;
}

std::string line(pid_t pid, const std::string &phase, const std::string &text)
{
    return std::to_string(pid) + " " + phase + " " + text + "\n";
}

// What every scenario starts from: the FIFO's read end in a scratch
// directory and a control pipe to the child.
class StatusFifo : public ::testing::Test {
protected:
    velktest::ScratchDir dir_;
    FifoReader fifo{dir_ / "status"};
    ControlPipe ctl;
};

TEST_F(StatusFifo, ImmediateAndPendingLinesAndHeartbeats)
{
    velktest::ForkedChild child([&] {
        if (!childSetup(fifo, VTP_EXTRACT_OPEN_FILES))
            return 10;
        // An immediate line is written at once and drops what was pending,
        // so the thread's first turn writes a heartbeat.
        velk_StatusMsg(0, "Reading %ld index entries", 12L);
        velk_StatusMsg(1, "Open logging");
        if (!ctl.childWait() || velk_StartStatusThread() != 0 || !ctl.childWait())
            return 11;
        // A later pending line replaces an earlier one, in another phase.
        velk_SetProgramPhase(VTP_CREATE_WRITEARCHIVE);
        velk_StatusMsg(0, "superseded");
        velk_StatusMsg(0, "Bytes: %lu  Index Entries: %ld", 1048576UL, 3L);
        return ctl.childWait() ? 0 : 11;
    });
    auto got = fifo.records(1);  // before the status thread exists
    ctl.go();
    auto beats = fifo.records(2);
    got.insert(got.end(), beats.begin(), beats.end());
    ctl.go();
    for (int i = 0; i < 3 && (got.size() < 4 || velkunit::contains(got.back(), "HEARTBEAT")); i++)
        got.push_back(fifo.records(1).at(0));
    ctl.go();
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
        if (!childSetup(fifo, VTP_CREATE_WRITEARCHIVE))
            return 10;
        velk_StatusMsg(1, "%s", std::string(limit(getpid()), 'e').c_str());
        velk_StatusMsg(1, "%s", std::string(limit(getpid()) + 1, 'o').c_str());
        velk_StatusMsg(1, "%s", std::string(3000, 'h').c_str());
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
    auto got = fifo.records(10);
    EXPECT_TRUE(velktest::exitsWith(child, 0));
    size_t n = limit(child.pid());
    std::vector<std::string> want = {line(child.pid(), "CREATE-WRITE_ARCHIVE", std::string(n, 'e')),
                                     line(child.pid(), "CREATE-WRITE_ARCHIVE", std::string(n, 'o')),
                                     line(child.pid(), "CREATE-WRITE_ARCHIVE", std::string(n, 'h')),
                                     line(child.pid(), "SHUTDOWN", "SHUTTING DOWN")};
    EXPECT_EQ(want, got);
    EXPECT_LE(got.at(2).size(), static_cast<size_t>(VELK_STATUS_LINE_MAX));
    EXPECT_EQ("", fifo.leftover());
}

TEST_F(StatusFifo, ReaderThatGoesAwayDoesNotEndTheProcess)
{
    velktest::ForkedChild child([&] {
        // SIGPIPE keeps its default action: the unit itself must make sure
        // a write to an abandoned FIFO cannot end the process.
        signal(SIGPIPE, SIG_DFL);
        if (!childSetup(fifo, VTP_EXTRACT_READARCHIVE) || velk_StartStatusThread() != 0)
            return 10;
        if (!ctl.childWait())
            return 11;
        for (int i = 0; i < 3; i++)
            velk_StatusMsg(1, "ERROR_RECOVERY");
        sleep(2);  // the status thread takes at least one more turn
        velk_StatusMsg(1, "still here");
        return 0;
    });
    auto first = fifo.records(1);
    EXPECT_EQ(first, std::vector<std::string>{line(child.pid(), "EXTRACT-READ_ARCHIVE", "HEARTBEAT")});
    fifo.closeReader();
    ctl.go();
    EXPECT_TRUE(velktest::exitsWith(child, 0));  // a SIGPIPE would show as signal 13
}

} // namespace
