// The program phase table and the status FIFO.  The status thread is
// detached and process-wide, so every FIFO scenario runs in a forked child
// that writes into a real FIFO; the parent reads what arrived and checks how
// the child ended.  Control pipes let the parent tell the child when to go
// on, so no scenario depends on how fast the other side is.

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velk_Globals.h"
#include "velk_StatusFifo.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

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

// Child exit codes that name what went wrong.
constexpr int kChildSetupFailed = 10;
constexpr int kChildNoGo = 11;
constexpr int kChildThreadFailed = 12;

// What every status FIFO scenario starts from: the FIFO's read end in a
// scratch directory and a control pipe to the child.
class StatusFifo : public ::testing::Test {
protected:
    velktest::ScratchDir dir_;
    FifoReader fifo{dir_ / "status"};
    ControlPipe ctl;
};

} // namespace

// ---- phase table -----------------------------------------------------------------

TEST(StatusFifoPhaseTable, EveryPhaseHasItsName)
{
    // The names status readers match on, in phase-number order from 1: the
    // number is what a state dump prints after the name, so both are part
    // of the interface and are typed here rather than taken from the header.
    const char *const expected[] = {
        "OPEN_CONNECTION", "SHUTDOWN", "FORCED_SHUTDOWN", "GEN_FILELIST",
        "CREATE-WRITE_ARCHIVE", "CREATE-VERIFY_ARCHIVE", "CREATE-COPY_INDEX", "CREATE-RM_LOCALFILES",
        "EXTRACT-OPEN_FILES", "EXTRACT-PASS1", "EXTRACT-READ_ARCHIVE",
        "LIST-OPEN_INDEX", "LIST-READ_INDEX",
        "BUILD_INDEX-OPEN_FILES", "BUILD_INDEX-READ_ARCHIVE",
        "VERIFY-PASS1", "VERIFY-PASS2",
    };
    int phase = 0;
    for (const char *name : expected) {
        phase++;
        const char *got = velk_LookupProgPhase(phase);
        ASSERT_NE(nullptr, got) << phase;
        EXPECT_STREQ(name, got) << phase;
    }
}

TEST(StatusFifoPhaseTable, NumbersOutsideTheTableHaveNoName)
{
    for (int phase : {0, 18, -1, -3, 1000})
        EXPECT_EQ(nullptr, velk_LookupProgPhase(phase)) << phase;
}

TEST(StatusFifoPhaseTable, SetPhaseIsReadBackWithItsName)
{
    int saved = velk_GetProgramPhase();
    velk_SetProgramPhase(VTP_VERIFY_PASS2);
    EXPECT_EQ(VTP_VERIFY_PASS2, velk_GetProgramPhase());
    EXPECT_STREQ("VERIFY-PASS2", velk_StatusPhaseString());
    velk_SetProgramPhase(42);
    EXPECT_EQ(42, velk_GetProgramPhase());
    EXPECT_EQ(nullptr, velk_StatusPhaseString());
    velk_SetProgramPhase(saved);
}

TEST(StatusFifoGlobalLocks, CreatedAndUsable)
{
    EXPECT_EQ(0, velk_InitGlobalLocks());
    velk_LockListingFile();
    velk_UnlockListingFile();
    velk_LockStatusFifo();
    velk_UnlockStatusFifo();
    // Checking again while nothing holds them changes nothing.
    EXPECT_EQ(0, velk_InitGlobalLocks());
}

// ---- status FIFO -----------------------------------------------------------------

TEST_F(StatusFifo, OpenLineThenAHeartbeatEveryInterval)
{
    velktest::ForkedChild child([&] {
        if (!childSetup(fifo, VTP_OPEN_CONNECTION))
            return kChildSetupFailed;
        velk_StatusMsg(1, "Open logging");
        if (velk_StartStatusThread() != 0)
            return kChildThreadFailed;
        return ctl.childWait() ? 0 : kChildNoGo;
    });

    auto got = fifo.records(4);
    ctl.go();
    ASSERT_TRUE(velktest::exitsWith(child, 0));

    ASSERT_EQ(4u, got.size());
    EXPECT_EQ(line(child.pid(), "OPEN_CONNECTION", "Open logging"), got[0]);
    for (size_t i = 1; i < got.size(); i++)
        EXPECT_EQ(line(child.pid(), "OPEN_CONNECTION", "HEARTBEAT"), got[i]) << i;
    EXPECT_EQ("", fifo.leftover());
}

TEST_F(StatusFifo, PendingMessageTakesThePlaceOfOneHeartbeat)
{
    velktest::ForkedChild child([&] {
        if (!childSetup(fifo, VTP_EXTRACT_OPEN_FILES))
            return kChildSetupFailed;
        // Queued before the thread's first turn: the later line replaces
        // the earlier one, and that turn writes it instead of a heartbeat.
        velk_StatusMsg(0, "Reading %ld index entries", 12L);
        velk_StatusMsg(0, "Opening archive file");
        if (velk_StartStatusThread() != 0)
            return kChildThreadFailed;
        return ctl.childWait() ? 0 : kChildNoGo;
    });

    auto got = fifo.records(3);
    ctl.go();
    EXPECT_TRUE(velktest::exitsWith(child, 0));

    std::vector<std::string> want = {line(child.pid(), "EXTRACT-OPEN_FILES", "Opening archive file"),
                                     line(child.pid(), "EXTRACT-OPEN_FILES", "HEARTBEAT"),
                                     line(child.pid(), "EXTRACT-OPEN_FILES", "HEARTBEAT")};
    EXPECT_EQ(want, got);
}

TEST_F(StatusFifo, MessagePostedWhileTheThreadRunsIsWrittenOnce)
{
    velktest::ForkedChild child([&] {
        if (!childSetup(fifo, VTP_GEN_FILELIST))
            return kChildSetupFailed;
        if (velk_StartStatusThread() != 0)
            return kChildThreadFailed;
        if (!ctl.childWait())
            return kChildNoGo;
        velk_SetProgramPhase(VTP_CREATE_WRITEARCHIVE);
        velk_StatusMsg(0, "Bytes: %lu  Index Entries: %ld", 1048576UL, 3L);
        return ctl.childWait() ? 0 : kChildNoGo;
    });

    auto first = fifo.records(1);
    ASSERT_EQ(1u, first.size());
    EXPECT_EQ(line(child.pid(), "GEN_FILELIST", "HEARTBEAT"), first[0]);
    ctl.go();

    // Whatever turns came between, the message comes once and the turn
    // after it is a heartbeat again.
    const std::string msg = line(child.pid(), "CREATE-WRITE_ARCHIVE", "Bytes: 1048576  Index Entries: 3");
    std::vector<std::string> seen;
    while (seen.size() < 5) {
        auto more = fifo.records(1);
        if (more.empty())
            break;
        seen.push_back(more[0]);
        if (more[0] == msg)
            break;
    }
    ASSERT_FALSE(seen.empty());
    ASSERT_EQ(msg, seen.back());
    for (size_t i = 0; i + 1 < seen.size(); i++)
        EXPECT_NE(std::string::npos, seen[i].find(" HEARTBEAT\n")) << seen[i];
    auto after = fifo.records(1);
    ctl.go();
    ASSERT_EQ(1u, after.size());
    EXPECT_EQ(line(child.pid(), "CREATE-WRITE_ARCHIVE", "HEARTBEAT"), after[0]);

    EXPECT_TRUE(velktest::exitsWith(child, 0));
}

TEST_F(StatusFifo, ImmediateMessageIsWrittenAtOnceAndNothingStaysPending)
{
    velktest::ForkedChild child([&] {
        if (!childSetup(fifo, VTP_BLDIDX_READARCHIVE))
            return kChildSetupFailed;
        velk_StatusMsg(0, "Staging archive file");
        velk_StatusMsg(1, "Copying %ld index entries to QUOR", 250L);
        // No status thread yet: the line above must already be in the FIFO.
        if (!ctl.childWait())
            return kChildNoGo;
        if (velk_StartStatusThread() != 0)
            return kChildThreadFailed;
        return ctl.childWait() ? 0 : kChildNoGo;
    });

    auto first = fifo.records(1);
    ctl.go();
    auto next = fifo.records(1);
    ctl.go();
    EXPECT_TRUE(velktest::exitsWith(child, 0));

    ASSERT_EQ(1u, first.size());
    EXPECT_EQ(line(child.pid(), "BUILD_INDEX-READ_ARCHIVE", "Copying 250 index entries to QUOR"), first[0]);
    // The immediate line replaced the pending one, so the first turn of the
    // thread has nothing pending and writes a heartbeat.
    ASSERT_EQ(1u, next.size());
    EXPECT_EQ(line(child.pid(), "BUILD_INDEX-READ_ARCHIVE", "HEARTBEAT"), next[0]);
}

TEST_F(StatusFifo, MessagesAreDroppedWithoutTheStatusOption)
{
    velktest::ForkedChild child([&] {
        if (!childSetup(fifo, VTP_SHUTDOWN))
            return kChildSetupFailed;
        velk_option_flags &= ~VELK_OPT_STATUS_FIFO;
        velk_StatusMsg(1, "not sent");
        velk_option_flags |= VELK_OPT_STATUS_FIFO;
        velk_StatusMsg(1, "SHUTTING DOWN");
        velk_CloseStatusFifo();
        velk_StatusMsg(1, "after close");
        return velk_status_pipefd == -1 ? 0 : 1;
    });

    // The child's only write end is gone after the close, so the reader sees
    // the end of the stream with everything that was written before it.
    auto got = fifo.records(10);
    EXPECT_TRUE(velktest::exitsWith(child, 0));
    std::vector<std::string> want = {line(child.pid(), "SHUTDOWN", "SHUTTING DOWN")};
    EXPECT_EQ(want, got);
    EXPECT_EQ("", fifo.leftover());
}

TEST_F(StatusFifo, LongTextIsCutToFitTheLine)
{
    velktest::ForkedChild child([&] {
        if (!childSetup(fifo, VTP_CREATE_WRITEARCHIVE))
            return kChildSetupFailed;
        size_t limit = 1024 - std::to_string(getpid()).size() - strlen("CREATE-WRITE_ARCHIVE") - 5;
        std::string exact(limit, 'e');
        std::string oneOver(limit + 1, 'o');
        std::string huge(3000, 'h');
        velk_StatusMsg(1, "%s", exact.c_str());
        velk_StatusMsg(1, "%s", oneOver.c_str());
        velk_StatusMsg(1, "%s", huge.c_str());
        return 0;
    });

    auto got = fifo.records(3);
    EXPECT_TRUE(velktest::exitsWith(child, 0));

    size_t limit = 1024 - std::to_string(child.pid()).size() - strlen("CREATE-WRITE_ARCHIVE") - 5;
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ(line(child.pid(), "CREATE-WRITE_ARCHIVE", std::string(limit, 'e')), got[0]);
    EXPECT_EQ(line(child.pid(), "CREATE-WRITE_ARCHIVE", std::string(limit, 'o')), got[1]);
    EXPECT_EQ(line(child.pid(), "CREATE-WRITE_ARCHIVE", std::string(limit, 'h')), got[2]);
    EXPECT_LE(got[2].size(), static_cast<size_t>(VELK_STATUS_LINE_MAX));
}

TEST_F(StatusFifo, ReaderThatGoesAwayDoesNotEndTheProcess)
{
    velktest::ForkedChild child([&] {
        // SIGPIPE keeps its default action here: the unit itself must make
        // sure a write to an abandoned FIFO can't end the process.
        signal(SIGPIPE, SIG_DFL);
        if (!childSetup(fifo, VTP_EXTRACT_READARCHIVE))
            return kChildSetupFailed;
        if (velk_StartStatusThread() != 0)
            return kChildThreadFailed;
        if (!ctl.childWait())
            return kChildNoGo;
        for (int i = 0; i < 3; i++)
            velk_StatusMsg(1, "ERROR_RECOVERY");
        // Let the status thread take at least one more turn into the
        // abandoned FIFO.
        sleep(2);
        velk_StatusMsg(1, "still here");
        return 0;
    });

    auto first = fifo.records(1);
    ASSERT_EQ(1u, first.size());
    EXPECT_EQ(line(child.pid(), "EXTRACT-READ_ARCHIVE", "HEARTBEAT"), first[0]);
    fifo.closeReader();
    ctl.go();

    // A SIGPIPE would show as "ended by signal 13".
    EXPECT_TRUE(velktest::exitsWith(child, 0));
}
