// The extract action's parts that pay to test in-process: the grouping of
// selected entries into archive ranges, the member path rules (leading '/'
// and ".." components), the parent walk that never follows a symbolic link,
// the disk-full wait of the local file writer and its end at a shutdown,
// and the callback's block-length check.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velk_Extract.h"
#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

hif_entry_t entryAt(uint64_t offset, uint32_t blocks, const char *name = "m", uint32_t type = VTO_FILE,
                    uint64_t size = 0)
{
    hif_entry_t e;
    memset(&e, 0, sizeof e);
    memcpy(e.hent_sanity, HENT_SANITY, 8);
    velk_Put32(e.hent_type, type);
    velk_Put64(e.hent_offset, offset);
    velk_Put32(e.hent_blocks, blocks);
    velk_Put64(e.hent_fsize, size);
    velk_Put32(e.hent_mode, 0644);
    memcpy(e.hent_name, name, strnlen(name, sizeof e.hent_name));
    return e;
}

std::vector<ix_ListEntry_t> ranges()
{
    std::vector<ix_ListEntry_t> out;
    for (ix_ListEntry_t *r = ixListHead; r != nullptr; r = r->next)
        out.push_back(*r);
    return out;
}

class ExtractRanges : public ::testing::Test {
protected:
    void SetUp() override { velk_FreeIxList(); }
    void TearDown() override { velk_FreeIxList(); }
};

// Runs the test in a scratch directory with the extraction state prepared
// (umask 022 saved), and puts the directory and umask back afterwards.
class ExtractFiles : public ::testing::Test {
protected:
    velktest::ScratchDir dir;
    int oldCwd = -1;
    mode_t oldUmask = 0;
    velk_extract_state_t xs;

    void SetUp() override
    {
        oldCwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(oldCwd, 0);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        oldUmask = umask(022);
        velk_ExtractPrepare(&xs);
    }
    void TearDown() override
    {
        velk_ExtractRestoreUmask(&xs);
        umask(oldUmask);
        EXPECT_EQ(fchdir(oldCwd), 0);
        close(oldCwd);
        velk_local_write_fn = ::write;
        velk_shutdown_signalled.store(0);
        velk_option_flags = 0;
    }
};

} // namespace

TEST_F(ExtractRanges, ConsecutiveContiguousEntriesShareOneRange)
{
    // Members 3, 4 and 6 of an archive where member 5 (blocks 15-16) is not
    // selected: two ranges, 3-4 and 6-6.
    hif_entry_t e3 = entryAt(10, 2);
    hif_entry_t e4 = entryAt(12, 3);
    hif_entry_t e6 = entryAt(17, 4);
    ASSERT_EQ(velk_AddIxListEntry(&e3, 3, 7), 0);
    ASSERT_EQ(velk_AddIxListEntry(&e4, 4, 8), 0);
    ASSERT_EQ(velk_AddIxListEntry(&e6, 6, 9), 0);
    auto r = ranges();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(ix_ListCount, 2);
    EXPECT_EQ(r[0].ixStart, 3);
    EXPECT_EQ(r[0].ixEnd, 4);
    EXPECT_EQ(r[0].ixCount, 2);
    EXPECT_EQ(r[0].ixStartBlock, 10u);
    EXPECT_EQ(r[0].ixEndBlock, 15u);
    EXPECT_EQ(r[0].ixFsOrd, 7);
    EXPECT_EQ(r[1].ixStart, 6);
    EXPECT_EQ(r[1].ixEnd, 6);
    EXPECT_EQ(r[1].ixCount, 1);
    EXPECT_EQ(r[1].ixStartBlock, 17u);
    EXPECT_EQ(r[1].ixEndBlock, 21u);
    EXPECT_EQ(r[1].ixFsOrd, 9);
    EXPECT_EQ(ixListTail, ixListHead->next);
}

TEST_F(ExtractRanges, ConsecutiveOrdinalsApartInTheArchiveStartANewRange)
{
    hif_entry_t a = entryAt(0, 2);
    hif_entry_t b = entryAt(5, 1);  // ordinal follows, but the member does not
    ASSERT_EQ(velk_AddIxListEntry(&a, 0, 0), 0);
    ASSERT_EQ(velk_AddIxListEntry(&b, 1, 1), 0);
    auto r = ranges();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].ixEndBlock, 2u);
    EXPECT_EQ(r[1].ixStartBlock, 5u);
}

TEST_F(ExtractRanges, OrdinalsMustIncrease)
{
    hif_entry_t a = entryAt(0, 1);
    hif_entry_t b = entryAt(1, 1);
    ASSERT_EQ(velk_AddIxListEntry(&a, 5, 0), 0);
    velktest::StreamCapture err(STDERR_FILENO);
    EXPECT_EQ(velk_AddIxListEntry(&b, 5, 1), -1);
    EXPECT_EQ(velk_AddIxListEntry(&b, 2, 1), -1);
    std::string text = err.text();
    EXPECT_NE(text.find("ERROR: velk_AddIxListEntry: fatal internal error adding index entry.\n"
                        "ERROR:      Attempted to add entry 5; previous end of list=5\n"),
              std::string::npos)
        << text;
    auto r = ranges();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].ixCount, 1);
    velk_FreeIxList();
    EXPECT_EQ(ixListHead, nullptr);
    EXPECT_EQ(ixListTail, nullptr);
    EXPECT_EQ(ix_ListCount, 0);
}

TEST(ExtractPaths, LeadingSlashesAndDotDotComponents)
{
    struct Case {
        const char *in;
        int rc;
        const char *out;
        int stripped;
    } cases[] = {
        {"a/b", VELK_XPATH_OK, "a/b", 0},
        {"/etc/x", VELK_XPATH_OK, "etc/x", 1},
        {"///etc//x", VELK_XPATH_OK, "etc//x", 1},
        {"/", VELK_XPATH_ROOT_ONLY, nullptr, 1},
        {"////", VELK_XPATH_ROOT_ONLY, nullptr, 1},
        {"..", VELK_XPATH_DOTDOT, nullptr, 0},
        {"../a", VELK_XPATH_DOTDOT, nullptr, 0},
        {"/../a", VELK_XPATH_DOTDOT, nullptr, 1},
        {"a/../b", VELK_XPATH_DOTDOT, nullptr, 0},
        {"a/..", VELK_XPATH_DOTDOT, nullptr, 0},
        {"a/../", VELK_XPATH_DOTDOT, nullptr, 0},
        {"a//..//b", VELK_XPATH_DOTDOT, nullptr, 0},
        {"..a/b..", VELK_XPATH_OK, "..a/b..", 0},
        {"a/.../b", VELK_XPATH_OK, "a/.../b", 0},
        {"./a/.", VELK_XPATH_OK, "./a/.", 0},
        {"dir/", VELK_XPATH_OK, "dir/", 0},
    };
    for (const auto &c : cases) {
        char out[64];
        memset(out, 'X', sizeof out);
        int stripped = -1;
        EXPECT_EQ(velk_ExtractFormPath(c.in, out, sizeof out, &stripped), c.rc) << c.in;
        EXPECT_EQ(stripped, c.stripped) << c.in;
        if (c.out != nullptr) {
            EXPECT_STREQ(out, c.out) << c.in;
        }
    }
    char small[4];
    EXPECT_EQ(velk_ExtractFormPath("/abcd", small, sizeof small, nullptr), VELK_XPATH_TOO_LONG);
    EXPECT_EQ(velk_ExtractFormPath("abc", small, sizeof small, nullptr), VELK_XPATH_OK);
    EXPECT_STREQ(small, "abc");
}

TEST_F(ExtractFiles, ParentWalkCreatesMissingDirectoriesWithTheSavedUmask)
{
    hif_entry_t e = entryAt(0, 1, "a/b/c/leaf");
    int fd = -1;
    const char *leaf = nullptr;
    const char *path = "a/b/c/leaf";
    ASSERT_EQ(velk_OpenMemberParent(&xs, path, 1, &e, &fd, &leaf), 0);
    EXPECT_STREQ(leaf, "leaf");
    EXPECT_EQ(leaf, path + 6);
    // The descriptor is the deepest parent: a name made through it lands there.
    ASSERT_EQ(mkdirat(fd, "probe", 0700), 0);
    close(fd);
    struct stat st;
    ASSERT_EQ(stat("a/b/c/probe", &st), 0);
    for (const char *d : {"a", "a/b", "a/b/c"}) {
        ASSERT_EQ(lstat(d, &st), 0) << d;
        EXPECT_EQ(st.st_mode & 07777, 0755u) << d;
    }
    // A path without '/' has the current directory as parent.
    ASSERT_EQ(velk_OpenMemberParent(&xs, "plain", 0, nullptr, &fd, &leaf), 0);
    EXPECT_STREQ(leaf, "plain");
    close(fd);
    // Without create a missing parent fails.
    velktest::StreamCapture err(STDERR_FILENO);
    EXPECT_EQ(velk_OpenMemberParent(&xs, "missing/x", 0, nullptr, &fd, &leaf), -1);
    EXPECT_NE(err.text().find("ERROR: Error 2 trying to create subdirectory missing\n"), std::string::npos);
}

TEST_F(ExtractFiles, ParentWalkRefusesSymbolicLinksAndFiles)
{
    ASSERT_EQ(mkdir("elsewhere", 0755), 0);
    ASSERT_EQ(mkdir("real", 0755), 0);
    ASSERT_EQ(symlink("../elsewhere", "real/ln"), 0);
    ASSERT_EQ(symlink("elsewhere", "top"), 0);
    velktest::writeFile(dir / "file", "x");
    hif_entry_t e = entryAt(0, 1);
    struct Case {
        const char *path;
        const char *message;
    } cases[] = {
        {"real/ln/new/leaf", "ERROR: Refusing to extract real/ln/new/leaf: real/ln is a symbolic link\n"},
        {"top/leaf", "ERROR: Refusing to extract top/leaf: top is a symbolic link\n"},
        {"file/leaf", "ERROR: Refusing to extract file/leaf: file is not a directory\n"},
    };
    for (const auto &c : cases) {
        velk_exit_code.store(0);
        int fd = -1;
        const char *leaf = nullptr;
        velktest::StreamCapture err(STDERR_FILENO);
        EXPECT_EQ(velk_OpenMemberParent(&xs, c.path, 1, &e, &fd, &leaf), -2) << c.path;
        std::string text = err.text();
        EXPECT_NE(text.find(c.message), std::string::npos) << text;
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR) << c.path;
    }
    velk_exit_code.store(0);
    struct stat st;
    EXPECT_NE(lstat("elsewhere/new", &st), 0);
    // A directory member below a link is refused the same way.
    velktest::StreamCapture err(STDERR_FILENO);
    EXPECT_EQ(velk_Mkdir(&xs, &e, "real/ln/made"), -2);
    err.stop();
    EXPECT_NE(lstat("elsewhere/made", &st), 0);
    velk_exit_code.store(0);
}

namespace {

int sleeps = 0;
int enospcLeft = 0;

ssize_t fullDisk(int, const void *, size_t)
{
    errno = ENOSPC;
    return -1;
}
ssize_t fullThenFree(int fd, const void *buf, size_t n)
{
    if (enospcLeft > 0) {
        --enospcLeft;
        errno = ENOSPC;
        return -1;
    }
    return ::write(fd, buf, n);
}
void countSleep(unsigned) { ++sleeps; }
void sleepUntilShutdown(unsigned)
{
    ++sleeps;
    velk_shutdown_signalled.store(1);
}

} // namespace

TEST_F(ExtractFiles, FullDiskIsWaitedForUntilSpaceReturns)
{
    hif_entry_t e = entryAt(0, 3, "w/full.bin", VTO_FILE, 1000);
    ASSERT_EQ(velk_ExtractBeginMember(&xs, &e, 0), 0);
    ASSERT_EQ(velk_InitLocalFile(&xs), 0);
    void (*oldSleep)(unsigned) = velk_nospace_sleep_fn;
    velk_nospace_sleep_fn = countSleep;
    velk_local_write_fn = fullThenFree;
    sleeps = 0;
    enospcLeft = 3;
    std::string data(1024, 'd');
    int blocks = 0;
    velktest::StreamCapture err(STDERR_FILENO);
    EXPECT_EQ(velk_WriteLocalFile(&xs, reinterpret_cast<const unsigned char *>(data.data()), 1024, &blocks), 0);
    std::string text = err.text();
    velk_nospace_sleep_fn = oldSleep;
    EXPECT_EQ(blocks, 2);
    EXPECT_EQ(sleeps, 3);
    // One notice per call, however long the wait.
    EXPECT_EQ(text, "Out of space in local filesystem - retrying\n");
    EXPECT_EQ(velktest::readFile(dir / "w/full.bin"), std::string(1000, 'd'));
}

TEST_F(ExtractFiles, ShutdownEndsTheWaitForSpace)
{
    hif_entry_t e = entryAt(0, 2, "stuck.bin", VTO_FILE, 10);
    ASSERT_EQ(velk_ExtractBeginMember(&xs, &e, 0), 0);
    ASSERT_EQ(velk_InitLocalFile(&xs), 0);
    void (*oldSleep)(unsigned) = velk_nospace_sleep_fn;
    velk_nospace_sleep_fn = sleepUntilShutdown;
    velk_local_write_fn = fullDisk;
    sleeps = 0;
    unsigned char data[512] = {};
    int blocks = 0;
    velktest::StreamCapture err(STDERR_FILENO);
    EXPECT_EQ(velk_WriteLocalFile(&xs, data, sizeof data, &blocks), -1);
    std::string text = err.text();
    velk_nospace_sleep_fn = oldSleep;
    EXPECT_EQ(sleeps, 1);
    EXPECT_NE(text.find("ERROR: Error 28 writing local file stuck.bin\n"), std::string::npos) << text;
}

TEST_F(ExtractFiles, ExistingLinkIsReplacedNotFollowed)
{
    velktest::writeFile(dir / "target", "keep me");
    ASSERT_EQ(symlink("target", "member"), 0);
    hif_entry_t e = entryAt(0, 2, "member", VTO_FILE, 5);
    ASSERT_EQ(velk_ExtractBeginMember(&xs, &e, 0), 0);
    ASSERT_EQ(velk_InitLocalFile(&xs), 0);
    int blocks = 0;
    unsigned char data[512];
    memset(data, 'n', sizeof data);
    ASSERT_EQ(velk_WriteLocalFile(&xs, data, sizeof data, &blocks), 0);
    EXPECT_EQ(blocks, 1);
    struct stat st;
    ASSERT_EQ(lstat("member", &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    // Mode: 0644 less the saved umask, owner-writable.
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(velktest::readFile(dir / "member"), "nnnnn");
    EXPECT_EQ(velktest::readFile(dir / "target"), "keep me");
}

TEST(ExtractCallback, DataLengthMustBeWholeBlocks)
{
    unsigned char data[700] = {};
    io_buffer_t buf;
    memset(static_cast<void *>(&buf), 0, sizeof buf);
    buf.buffer = data;
    buf.dataLength = 700;
    velk_exit_code.store(0);
    velktest::StreamCapture err(STDERR_FILENO);
    EXPECT_EQ(readCallbackCtl(&buf, nullptr), -1);
    EXPECT_NE(err.text().find("ERROR: readCallbackCtl: fatal internal error. Data length [700] not a multiple of 512\n"),
              std::string::npos);
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_MISMATCH);
    velk_exit_code.store(0);
}
