// Archive file access on local files: the retry rules of block reads and
// writes (errors injected through the read, write and sleep hooks),
// positioning, intermediate directories, the truncation check, and the
// storage-system and gateway-host kinds that cannot move data in this build.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"
#include "velk_unit_fixture.h"

namespace {

// Scripted results of the hooks: each entry is an errno value to fail with
// (> 0), a zero-byte result (0), or "do the real call" (-1).  Once the
// script is used up every call is real.
constexpr int kReal = -1;
std::vector<int> g_script;
size_t g_calls = 0;
std::vector<unsigned> g_sleeps;

int nextScripted()
{
    size_t i = g_calls++;
    return i < g_script.size() ? g_script[i] : kReal;
}

ssize_t scriptedRead(int fd, void *buf, size_t count)
{
    int s = nextScripted();
    if (s == kReal)
        return ::read(fd, buf, count);
    if (s == 0)
        return 0;
    errno = s;
    return -1;
}

ssize_t scriptedWrite(int fd, const void *buf, size_t count)
{
    int s = nextScripted();
    if (s == kReal)
        return ::write(fd, buf, count);
    if (s == 0)
        return 0;
    errno = s;
    return -1;
}

void countingSleep(unsigned seconds)
{
    g_sleeps.push_back(seconds);
}

class FileAccessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_script.clear();
        g_calls = 0;
        g_sleeps.clear();
        velk_local_read_fn = scriptedRead;
        velk_local_write_fn = scriptedWrite;
        velk_nospace_sleep_fn = countingSleep;
        data_.resize(1024);
        for (size_t i = 0; i < data_.size(); ++i)
            data_[i] = static_cast<unsigned char>(i * 7 + 3);
        path_ = dir_ / "data";
    }
    void TearDown() override
    {
        if (fd_ >= 0)
            close(fd_);
    }

    // Opens path_ holding data_ for reading.
    void openWithData()
    {
        velktest::writeFile(path_, std::string(data_.begin(), data_.end()));
        fd_ = open(path_.c_str(), O_RDONLY);
        ASSERT_GE(fd_, 0);
    }
    // Opens an empty path_ for writing.
    void openForWrite()
    {
        fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd_, 0);
    }
    std::string written() { return velktest::readFile(path_); }
    std::string expected() { return std::string(data_.begin(), data_.end()); }

    velktest::ScratchDir dir_;
    std::string path_;
    std::vector<unsigned char> data_;
    int fd_ = -1;
    velkunit::RunGlobals globals_;
};

// ---------------------------------------------------------------------------
// Block reads.
// ---------------------------------------------------------------------------

TEST_F(FileAccessTest, ReadRecoversFromFiveEioInARow)
{
    openWithData();
    g_script = {EIO, EIO, EIO, EIO, EIO};
    std::vector<unsigned char> got(1024);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_BlockRead(fd_, "arch.tar", VELK_LOCAL_FILE, 1024, got.data()), 1024);
    cap.stop();
    EXPECT_EQ(got, data_);
    EXPECT_EQ(cap.out(), "INFO: velk_BlockRead: Recovered I/O error reading local file: arch.tar\n");
    EXPECT_EQ(cap.err(), "");
    EXPECT_EQ(velk_exit_code.load(), 0);
}

TEST_F(FileAccessTest, ReadFailsOnTheSixthEioInARow)
{
    openWithData();
    g_script = {EIO, EIO, EIO, EIO, EIO, EIO};
    std::vector<unsigned char> got(1024);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_BlockRead(fd_, "arch.tar", VELK_LOCAL_FILE, 1024, got.data()), -1);
    cap.stop();
    EXPECT_EQ(cap.err(), "ERROR: velk_BlockRead: Error 5 reading 1024 bytes from local file: arch.tar \n");
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
    EXPECT_EQ(g_calls, 6u);
}

TEST_F(FileAccessTest, ReadRetriesInterruptsAndWaitsOutEagain)
{
    openWithData();
    // A success between EIO results resets the count: four, data, four more.
    g_script = {EINTR, EAGAIN, EIO, EIO, EIO, EIO, kReal, EIO, EIO, EIO, EIO, EINTR};
    velk_local_read_fn = [](int fd, void *buf, size_t count) -> ssize_t {
        // The real calls read 100 bytes at a time so that the script's
        // second half falls inside the same request.
        return scriptedRead(fd, buf, count > 100 ? 100 : count);
    };
    std::vector<unsigned char> got(1024);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_BlockRead(fd_, "arch.tar", VELK_LOCAL_FILE, 1024, got.data()), 1024);
    cap.stop();
    EXPECT_EQ(got, data_);
    EXPECT_EQ(velk_exit_code.load(), 0);
}

TEST_F(FileAccessTest, ReadEndsEarlyAtEndOfFile)
{
    data_.resize(100);
    openWithData();
    std::vector<unsigned char> got(512);
    EXPECT_EQ(velk_BlockRead(fd_, "arch.tar", VELK_LOCAL_FILE, 512, got.data()), 100);
    EXPECT_TRUE(std::equal(data_.begin(), data_.end(), got.begin()));
    EXPECT_EQ(velk_exit_code.load(), 0);
}

TEST_F(FileAccessTest, ShutdownStopsAnEndlessRetry)
{
    openWithData();
    g_script.assign(1000, EINTR);
    velk_shutdown_signalled.store(1);
    std::vector<unsigned char> got(1024);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_BlockRead(fd_, "arch.tar", VELK_LOCAL_FILE, 1024, got.data()), -1);
    EXPECT_EQ(velk_BlockWrite(fd_, "arch.tar", VELK_LOCAL_FILE, 1024, got.data()), -1);
    EXPECT_LT(g_calls, 2u);
}

TEST_F(FileAccessTest, WriteWaitsOnNoSpaceUntilShutdown)
{
    openForWrite();
    // Without a shutdown the waits go on without limit; the hook raises
    // the flag on the tenth wait.
    g_script.assign(1000, ENOSPC);
    velk_nospace_sleep_fn = [](unsigned seconds) {
        countingSleep(seconds);
        if (g_sleeps.size() == 10)
            velk_shutdown_signalled.store(1);
    };
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_BlockWrite(fd_, "arch.tar", VELK_LOCAL_FILE, 1024, data_.data()), -1);
    EXPECT_EQ(g_sleeps.size(), 10u);
}

TEST_F(FileAccessTest, StorageAndGatewayHostDataTransferIsNotAvailable)
{
    std::vector<unsigned char> buf(512);
    const struct {
        int kind;
        bool write;
        const char *line;
    } cases[] = {
        {VELK_QUOR_FILE, false, "ERROR: velk_BlockRead: QUOR-resident file data transfer is not available in this build: /q/a.tar\n"},
        {VELK_REMOTE_FILE, false, "ERROR: velk_BlockRead: remote-resident file data transfer is not available in this build: /q/a.tar\n"},
        {VELK_QUOR_FILE, true, "ERROR: velk_BlockWrite: QUOR-resident file data transfer is not available in this build: /q/a.tar\n"},
        {VELK_REMOTE_FILE, true, "ERROR: velk_BlockWrite: REMOTE file data transfer is not available in this build: /q/a.tar\n"},
    };
    for (const auto &c : cases) {
        velk_exit_code.store(0);
        velktest::OutputCapture cap;
        int rc = c.write ? velk_BlockWrite(3, "/q/a.tar", c.kind, 512, buf.data())
                         : velk_BlockRead(3, "/q/a.tar", c.kind, 512, buf.data());
        cap.stop();
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(cap.err(), c.line);
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
    }
    EXPECT_EQ(g_calls, 0u);
}

// ---------------------------------------------------------------------------
// Block writes.
// ---------------------------------------------------------------------------

TEST_F(FileAccessTest, WriteRecoversFromFiveEioAndFailsOnSix)
{
    openForWrite();
    g_script = {EIO, EIO, EIO, EIO, EIO};
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_BlockWrite(fd_, "arch.tar", VELK_LOCAL_FILE, 1024, data_.data()), 1024);
        cap.stop();
        EXPECT_EQ(cap.out(), "INFO: velk_BlockWrite: Recovered I/O error writing local file: arch.tar\n");
    }
    EXPECT_EQ(written(), expected());

    g_script = {EIO, EIO, EIO, EIO, EIO, EIO};
    g_calls = 0;
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_BlockWrite(fd_, "arch.tar", VELK_LOCAL_FILE, 1024, data_.data()), -1);
    cap.stop();
    EXPECT_EQ(cap.err(), "ERROR: velk_BlockWrite: Error 5 writing 1024 bytes to local file: arch.tar \n");
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
}

TEST_F(FileAccessTest, ZeroByteWritesAreRetriedFiveTimesThenFail)
{
    openForWrite();
    g_script = {0, 0, 0, 0, 0, EINTR, EAGAIN};
    EXPECT_EQ(velk_BlockWrite(fd_, "arch.tar", VELK_LOCAL_FILE, 1024, data_.data()), 1024);
    EXPECT_EQ(written(), expected());
    EXPECT_EQ(velk_exit_code.load(), 0);

    g_script.assign(100, 0);
    g_calls = 0;
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_BlockWrite(fd_, "arch.tar", VELK_LOCAL_FILE, 1024, data_.data()), -1);
    cap.stop();
    EXPECT_EQ(g_calls, 6u);
    EXPECT_EQ(cap.err(), "ERROR: velk_BlockWrite: Error 5 writing 1024 bytes to local file: arch.tar \n");
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
}

TEST_F(FileAccessTest, NoSpaceWaitsThirtySecondsAndContinues)
{
    openForWrite();
    g_script = {ENOSPC, ENOSPC, ENOSPC, ENOSPC, ENOSPC, ENOSPC, ENOSPC};
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_BlockWrite(fd_, "arch.tar", VELK_LOCAL_FILE, 1024, data_.data()), 1024);
    cap.stop();
    EXPECT_EQ(g_sleeps, (std::vector<unsigned>(7, 30u)));
    std::string line = "ERROR: velk_BlockWrite: NO SPACE writing to local file: arch.tar -delaying/retrying\n";
    std::string want;
    for (int i = 0; i < 7; ++i)
        want += line;
    EXPECT_EQ(cap.err(), want);
    EXPECT_EQ(written(), expected());
    EXPECT_EQ(velk_exit_code.load(), 0);
}

TEST_F(FileAccessTest, WriteErrorNamesTheBytesStillToMove)
{
    openForWrite();
    velk_local_write_fn = [](int fd, const void *buf, size_t count) -> ssize_t {
        if (g_calls++ == 0)
            return ::write(fd, buf, count > 24 ? 24 : count);
        errno = EBADF;
        return -1;
    };
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_BlockWrite(fd_, "arch.tar", VELK_LOCAL_FILE, 1024, data_.data()), -1);
    cap.stop();
    EXPECT_EQ(cap.err(), "ERROR: velk_BlockWrite: Error 9 writing 1000 bytes to local file: arch.tar \n");
}

// ---------------------------------------------------------------------------
// Positioning.
// ---------------------------------------------------------------------------

TEST_F(FileAccessTest, PositionLocalFile)
{
    openWithData();
    uint64_t out = 777;
    ASSERT_EQ(velk_PositionFile(fd_, VELK_LOCAL_FILE, 1000, SEEK_SET, QUOR_SET_OFFSET_FORWARD, &out), 0);
    EXPECT_EQ(out, 777u);  // left as it was for local files
    unsigned char c[2];
    ASSERT_EQ(velk_BlockRead(fd_, "data", VELK_LOCAL_FILE, 2, c), 2);
    EXPECT_EQ(c[0], data_[1000]);
    EXPECT_EQ(c[1], data_[1001]);
    ASSERT_EQ(velk_PositionFile(fd_, VELK_LOCAL_FILE, 4, SEEK_END, QUOR_SET_OFFSET_FORWARD, nullptr), 0);
    EXPECT_EQ(lseek(fd_, 0, SEEK_CUR), 1028);

    velktest::OutputCapture cap;
    EXPECT_EQ(velk_PositionFile(fd_, VELK_LOCAL_FILE, ~uint64_t{0}, SEEK_SET, 0, &out), -1);
    EXPECT_EQ(velk_PositionFile(-1, VELK_LOCAL_FILE, 512, SEEK_CUR, 0, &out), -1);
    cap.stop();
    EXPECT_EQ(cap.err(), "ERROR: Unable to convert offset [18446744073709551615] to file position on this "
                         "architecture\n"
                         "lseek: Bad file descriptor\n"
                         "ERROR: Error 9 seeking on local file. Type=SEEK_CUR Offset=512\n");
}

// ---------------------------------------------------------------------------
// Intermediate directories.
// ---------------------------------------------------------------------------

mode_t modeOf(const std::string &path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return static_cast<mode_t>(-1);
    return st.st_mode & 07777;
}

bool isDir(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Runs a body in the scratch directory with umask 0, putting both back.
class SubdirsTest : public FileAccessTest {
protected:
    void SetUp() override
    {
        FileAccessTest::SetUp();
        savedMask_ = umask(0);
        ASSERT_NE(getcwd(savedCwd_, sizeof savedCwd_), nullptr);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(chdir(savedCwd_), 0);
        umask(savedMask_);
        FileAccessTest::TearDown();
    }
    mode_t savedMask_ = 0;
    char savedCwd_[4096] = {};
};

TEST_F(SubdirsTest, RelativePathGetsOwnerAccessAboveAndTheModeAtTheEnd)
{
    char path[] = "a/b/c/file";
    ASSERT_EQ(velk_MakeAllSubdirs(path, 0055, VELK_LOCAL_FILE), 0);
    EXPECT_STREQ(path, "a/b/c/file");
    EXPECT_EQ(modeOf("a"), 0755u);
    EXPECT_EQ(modeOf("a/b"), 0755u);
    EXPECT_EQ(modeOf("a/b/c"), 0055u);
    EXPECT_FALSE(isDir("a/b/c/file"));
    chmod("a/b/c", 0700);
}

TEST_F(SubdirsTest, AbsolutePathCreatesOnlyWhatIsMissing)
{
    ASSERT_EQ(mkdir((dir_ / "keep").c_str(), 0711), 0);
    std::string s = dir_ / "keep/x/y/archive.tar";
    std::vector<char> path(s.begin(), s.end());
    path.push_back('\0');
    ASSERT_EQ(velk_MakeAllSubdirs(path.data(), 0750, VELK_LOCAL_FILE), 0);
    EXPECT_EQ(std::string(path.data()), s);
    EXPECT_EQ(modeOf(dir_ / "keep"), 0711u);
    EXPECT_EQ(modeOf(dir_ / "keep/x"), 0750u);
    EXPECT_EQ(modeOf(dir_ / "keep/x/y"), 0750u);

    // Everything present: nothing to do.
    ASSERT_EQ(velk_MakeAllSubdirs(path.data(), 0700, VELK_LOCAL_FILE), 0);
    EXPECT_EQ(modeOf(dir_ / "keep/x/y"), 0750u);
}

TEST_F(SubdirsTest, NonDirectoryInThePathFails)
{
    velktest::writeFile("plain", "x");
    char path[] = "plain/d/file";
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_MakeAllSubdirs(path, 0755, VELK_LOCAL_FILE), -1);
    cap.stop();
    EXPECT_STREQ(path, "plain/d/file");
    EXPECT_EQ(cap.err(),
              "ERROR: velk_MakeAllSubdirs: Error creating subdirs for local archive path. Not a directory: plain\n");
    EXPECT_FALSE(isDir("plain/d"));
}

TEST_F(SubdirsTest, PipesAndBareNamesNeedNothing)
{
    char piped[] = "p/q/file";
    EXPECT_EQ(velk_MakeAllSubdirs(piped, 0755, VELK_PIPE), 0);
    EXPECT_FALSE(isDir("p"));
    char bare[] = "file";
    EXPECT_EQ(velk_MakeAllSubdirs(bare, 0755, VELK_LOCAL_FILE), 0);
    EXPECT_STREQ(bare, "file");
    char root[] = "/file";
    EXPECT_EQ(velk_MakeAllSubdirs(root, 0755, VELK_LOCAL_FILE), 0);
    EXPECT_STREQ(root, "/file");
}

// ---------------------------------------------------------------------------
// Truncation check.
// ---------------------------------------------------------------------------

hif_entry_t entryAt(uint32_t type, uint64_t offsetBlocks, uint32_t blocks, uint64_t size)
{
    hif_entry_t e;
    memset(&e, 0, sizeof e);
    velk_Put32(e.hent_type, type);
    velk_Put64(e.hent_offset, offsetBlocks);
    velk_Put32(e.hent_blocks, blocks);
    velk_Put64(e.hent_fsize, size);
    return e;
}

TEST_F(FileAccessTest, TruncationIsAMemberEndingBeyondTheArchive)
{
    hif_entry_t file = entryAt(VTO_FILE, 10, 3, 1000);
    EXPECT_EQ(velk_CheckFileTruncated(13 * 512, &file, 4), 0);  // ends exactly at the end
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_CheckFileTruncated(12 * 512, &file, 4), -1);
        cap.stop();
        EXPECT_EQ(cap.err(), "ERROR: velk_CheckFileTruncated: detected trucated member file at index ordinal 4 "
                             "offset: 5120 filesize: 1000archive size: 6144\n");
    }
    hif_entry_t link = entryAt(VTO_HARDLINK, 10, 3, 1000);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_CheckFileTruncated(12 * 512, &link, 5), -1);
    }
    // Only files and hard links are examined.
    hif_entry_t dir = entryAt(VTO_DIRECTORY, 10, 3, 1000);
    EXPECT_EQ(velk_CheckFileTruncated(512, &dir, 6), 0);
    // An offset whose end does not fit 64 bits lies beyond any archive.
    hif_entry_t wild = entryAt(VTO_FILE, ~uint64_t{0} / 512, 3, 1000);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_CheckFileTruncated(~uint64_t{0}, &wild, 7), -1);
}

}  // namespace
