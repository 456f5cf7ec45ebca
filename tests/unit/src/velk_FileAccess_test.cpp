// Archive file access on local files: the retry rules of block reads and
// writes, with errors injected through the read, write and sleep hooks.

#include <cerrno>
#include <fcntl.h>

#include "velk_Env.h"
#include "velk_ArchiveKind.h"
#include "velk_unit_fixture.h"

namespace {

// Scripted results of the hooks: an errno value to fail with (> 0), a
// zero-byte result (0), or the real call (kReal).  Once the script is used
// up every call is real; real calls move at most g_chunk bytes.
constexpr int kReal = -1;
std::vector<int> g_script;
size_t g_calls = 0, g_chunk = 0;
std::vector<unsigned> g_sleeps;

int nextScripted()
{
    size_t i = g_calls++;
    return i < g_script.size() ? g_script[i] : kReal;
}
size_t chunk(size_t count) { return g_chunk != 0 && count > g_chunk ? g_chunk : count; }

ssize_t scriptedRead(int fd, void *buf, size_t count)
{
    int s = nextScripted();
    if (s == kReal)
        return ::read(fd, buf, chunk(count));
    errno = s;
    return s == 0 ? 0 : -1;
}

ssize_t scriptedWrite(int fd, const void *buf, size_t count)
{
    int s = nextScripted();
    if (s == kReal)
        return ::write(fd, buf, chunk(count));
    errno = s;
    return s == 0 ? 0 : -1;
}

void countingSleep(unsigned seconds) { g_sleeps.push_back(seconds); }

class FileAccessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        velk_env_t env = velk_Env();
        env.localRead = scriptedRead;
        env.localWrite = scriptedWrite;
        env.nospaceSleep = countingSleep;
        velk_SetEnv(&env);
        data_ = velkunit::pattern(1024, 3);
        path_ = dir_ / "data";
    }
    void reset(const std::vector<int> &script)
    {
        g_script = script;
        g_calls = g_chunk = 0;
        g_sleeps.clear();
        velk_exit_code.store(0);
    }
    int open(int flags)
    {
        if (flags == O_RDONLY)
            velktest::writeFile(path_, data_);
        int fd = ::open(path_.c_str(), flags | O_CREAT | (flags == O_RDONLY ? 0 : O_TRUNC), 0600);
        EXPECT_GE(fd, 0);
        return fd;
    }

    velktest::ScratchDir dir_;
    std::string path_, data_;
    velkunit::RunGlobals globals_;
};

TEST_F(FileAccessTest, BlockReadAndWriteRetryRules)
{
    // The number, then what it means.
    const std::string eioText = "ERROR: arch.tar: Input/output error\n";
    const std::string readErr =
        "ERROR: velk_BlockRead: Error 5 reading 1024 bytes from local file: arch.tar \n" + eioText;
    const std::string writeErr =
        "ERROR: velk_BlockWrite: Error 5 writing 1024 bytes to local file: arch.tar \n" + eioText;
    const std::string noSpace = "ERROR: velk_BlockWrite: NO SPACE writing to local file: arch.tar -delaying/retrying\n";
    std::vector<int> eio5(5, EIO), eio6(6, EIO);
    struct Case {
        const char *what;
        bool write;
        std::vector<int> script;
        size_t chunk;
        int64_t rc;
        size_t calls;  // 0: not checked
        std::string out, err;
        size_t sleeps;
    } cases[] = {
        {"read: five EIO recovered", false, eio5, 0, 1024, 6,
         "INFO: velk_BlockRead: Recovered I/O error reading local file: arch.tar\n", "", 0},
        {"read: the sixth EIO fails", false, eio6, 0, -1, 6, "", readErr, 0},
        // A success between EIO results resets the count: four, data, four more.
        {"read: interrupts, EAGAIN, EIO runs", false, {EINTR, EAGAIN, EIO, EIO, EIO, EIO, kReal, EIO, EIO, EIO, EIO, EINTR},
         100, 1024, 0, "INFO: velk_BlockRead: Recovered I/O error reading local file: arch.tar\n", "", 0},
        {"write: five EIO recovered", true, eio5, 0, 1024, 6,
         "INFO: velk_BlockWrite: Recovered I/O error writing local file: arch.tar\n", "", 0},
        {"write: the sixth EIO fails", true, eio6, 0, -1, 6, "", writeErr, 0},
        {"write: five zero-byte writes", true, {0, 0, 0, 0, 0, EINTR, EAGAIN}, 0, 1024, 0, "", "", 0},
        {"write: the sixth zero-byte write fails", true, std::vector<int>(100, 0), 0, -1, 6, "", writeErr, 0},
        {"write: no space waits 30 s each time", true, std::vector<int>(7, ENOSPC), 0, 1024, 8, "",
         noSpace + noSpace + noSpace + noSpace + noSpace + noSpace + noSpace, 7},
        {"write: the error names the bytes still to move", true, {kReal, EBADF}, 24, -1, 2, "",
         "ERROR: velk_BlockWrite: Error 9 writing 1000 bytes to local file: arch.tar \nERROR: arch.tar: Bad file "
         "descriptor\n",
         0},
    };
    for (const Case &c : cases) {
        int fd = open(c.write ? O_WRONLY : O_RDONLY);
        reset(c.script);
        g_chunk = c.chunk;
        std::string got(1024, '\0');
        velktest::OutputCapture cap;
        int64_t rc = c.write ? velk_BlockWrite(fd, "arch.tar", VELK_LOCAL_FILE, 1024, data_.data())
                             : velk_BlockRead(fd, "arch.tar", VELK_LOCAL_FILE, 1024, got.data());
        cap.stop();
        close(fd);
        EXPECT_EQ(rc, c.rc) << c.what;
        if (c.calls != 0) {
            EXPECT_EQ(g_calls, c.calls) << c.what;
        }
        EXPECT_EQ(cap.out(), c.out) << c.what;
        EXPECT_EQ(cap.err(), c.err) << c.what;
        EXPECT_EQ(g_sleeps, std::vector<unsigned>(c.sleeps, 30u)) << c.what;
        EXPECT_EQ(velk_exit_code.load(), c.rc < 0 ? VELK_EXIT_IOERR : 0) << c.what;
        if (c.rc == 1024) {
            EXPECT_EQ(c.write ? velktest::readFile(path_) : got, data_) << c.what;
        }
    }

    // End of file ends a read early.
    data_.resize(100);
    int fd = open(O_RDONLY);
    reset({});
    std::string got(512, '\0');
    EXPECT_EQ(velk_BlockRead(fd, "arch.tar", VELK_LOCAL_FILE, 512, got.data()), 100);
    EXPECT_EQ(got.substr(0, 100), data_);
    close(fd);
}

TEST_F(FileAccessTest, ShutdownEndsAnEndlessRetry)
{
    int fd = open(O_RDWR);
    std::string buf(1024, 'x');
    reset(std::vector<int>(1000, EINTR));
    velk_shutdown_signalled.store(1);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_BlockRead(fd, "arch.tar", VELK_LOCAL_FILE, 1024, buf.data()), -1);
        EXPECT_EQ(velk_BlockWrite(fd, "arch.tar", VELK_LOCAL_FILE, 1024, buf.data()), -1);
    }
    EXPECT_LT(g_calls, 2u);
    close(fd);
}

// Every kind number finds its own table, and the properties the callers
// branch on and the kind words of the block messages are those of the kind;
// a number that names no kind (0 before the kind is decided) is local.
TEST(ArchiveKinds, EachKindNumberFindsItsOwnTable)
{
    struct Case {
        int kind, filetype;
        bool pipe, gateway, layout, placesIndex;
        int indexKind;
        const char *name, *readName, *writeName;
    } cases[] = {
        {VELK_LOCAL_FILE, VELK_LOCAL_FILE, false, false, false, false, VELK_LOCAL_FILE, "local", "local", "local"},
        {VELK_PIPE, VELK_PIPE, true, false, false, false, VELK_LOCAL_FILE, "local", "local", "local"},
        {VELK_QUOR_FILE, VELK_QUOR_FILE, false, true, true, true, VELK_LOCAL_FILE, "QUOR", "QUOR-resident",
         "QUOR-resident"},
        {VELK_REMOTE_FILE, VELK_REMOTE_FILE, false, true, false, true, VELK_LOCAL_FILE, "remote", "remote-resident",
         "REMOTE"},
        {0, VELK_LOCAL_FILE, false, false, false, false, VELK_LOCAL_FILE, "local", "local", "local"},
    };
    for (const Case &c : cases) {
        const velk_archive_kind_t *ops = velk_ArchiveKindOps(c.kind);
        ASSERT_NE(ops, nullptr) << c.kind;
        EXPECT_EQ(ops->filetype, c.filetype) << c.kind;
        EXPECT_EQ(ops->is_pipe, c.pipe) << c.kind;
        EXPECT_EQ(ops->through_gateway, c.gateway) << c.kind;
        EXPECT_EQ(ops->has_layout, c.layout) << c.kind;
        EXPECT_EQ(ops->place_index != nullptr, c.placesIndex) << c.kind;
        EXPECT_EQ(ops->index_size != nullptr, c.gateway) << c.kind;
        EXPECT_EQ(ops->index_fd_kind, c.indexKind) << c.kind;
        EXPECT_STREQ(ops->name, c.name) << c.kind;
        EXPECT_STREQ(ops->read_name, c.readName) << c.kind;
        EXPECT_STREQ(ops->write_name, c.writeName) << c.kind;
    }
    // The kind as the index build, the listing and the verify name it in
    // their messages; every kind can measure and skip its archive.
    struct Texts {
        int kind;
        const char *seek, *indexSource, *verifyClose, *indexClose;
    } texts[] = {
        {VELK_LOCAL_FILE, "local", "?", "local", ""},
        {VELK_PIPE, "local", "?", "QUOR", ""},
        {VELK_QUOR_FILE, "QUOR", "QUOR", "QUOR", "QUOR "},
        {VELK_REMOTE_FILE, "REMOTE", "Unix gateway", "QUOR", ""},
    };
    for (const Texts &t : texts) {
        const velk_archive_kind_t *ops = velk_ArchiveKindOps(t.kind);
        EXPECT_STREQ(ops->seek_name, t.seek) << t.kind;
        EXPECT_STREQ(ops->index_source, t.indexSource) << t.kind;
        EXPECT_STREQ(ops->verify_close_name, t.verifyClose) << t.kind;
        EXPECT_STREQ(ops->index_close_text, t.indexClose) << t.kind;
        EXPECT_TRUE(ops->actual_size != nullptr && ops->skip_forward != nullptr) << t.kind;
    }
}

}  // namespace
