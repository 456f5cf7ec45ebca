// Resolution of namespace paths inside the served tree: lexical
// normalisation against a cwd, and the ways out of the tree (".." above the
// root, absolute symbolic links, a link to "/", a relative link that
// climbs out) refused with -EACCES by both the kernel path and the walk,
// while links that stay inside keep working.

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "gw_ns.h"
#include "velk_testsupport.h"

namespace {

TEST(GwNs, NormalizeJoinsAndFolds)
{
    std::string out;
    ASSERT_EQ(gw_NsNormalize("/home/alice", "a/./b//c/", &out), 0);
    EXPECT_EQ(out, "/home/alice/a/b/c");
    ASSERT_EQ(gw_NsNormalize("/home/alice", "../bob/x", &out), 0);
    EXPECT_EQ(out, "/home/bob/x");
    ASSERT_EQ(gw_NsNormalize("/home/alice", "/abs/../y", &out), 0);
    EXPECT_EQ(out, "/y");
    ASSERT_EQ(gw_NsNormalize("/", ".", &out), 0);
    EXPECT_EQ(out, "/");
    EXPECT_EQ(gw_NsNormalize("/home", "../../etc/passwd", &out), -EACCES);
    EXPECT_EQ(gw_NsNormalize("/", "/..", &out), -EACCES);
    EXPECT_EQ(gw_NsNormalize("/", "", &out), -ENOENT);
    EXPECT_EQ(gw_NsNormalize("/", std::string(GW_NS_PATH_MAX + 1, 'a').c_str(), &out), -ENAMETOOLONG);
}

// A tree with an outside neighbour: ROOT/{d/f, in -> d/f, abs -> /etc,
// slash -> /, up -> ../outside/secret, dup -> d/../../outside} and
// OUTSIDE/secret.
class GwNsTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = scratch / "root";
        ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(mkdir((scratch / "outside").c_str(), 0755), 0);
        writeFile(scratch / "outside/secret", "secret");
        ASSERT_EQ(mkdir((root + "/d").c_str(), 0755), 0);
        writeFile(root + "/d/f", "inside");
        ASSERT_EQ(symlink("d/f", (root + "/in").c_str()), 0);
        ASSERT_EQ(symlink("/etc", (root + "/abs").c_str()), 0);
        ASSERT_EQ(symlink("/", (root + "/slash").c_str()), 0);
        ASSERT_EQ(symlink("../outside/secret", (root + "/up").c_str()), 0);
        ASSERT_EQ(symlink("d/../../outside", (root + "/dup").c_str()), 0);
        rootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(rootFd, 0);
    }
    void TearDown() override
    {
        if (rootFd >= 0)
            close(rootFd);
    }
    static void writeFile(const std::string &p, const std::string &text)
    {
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
    }
    // Reads what fd holds (a regular file opened for reading).
    static std::string slurp(int fd)
    {
        char buf[64];
        ssize_t n = read(fd, buf, sizeof buf);
        close(fd);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

    velktest::ScratchDir scratch;
    std::string root;
    int rootFd = -1;
};

using OpenFn = int (*)(int, const std::string &, int, unsigned, bool);

void expectConfined(int rootFd, OpenFn fn, const char *which)
{
    SCOPED_TRACE(which);
    EXPECT_EQ(fn(rootFd, "/abs/passwd", O_RDONLY, 0, true), -EACCES);
    EXPECT_EQ(fn(rootFd, "/abs", O_RDONLY, 0, true), -EACCES);
    EXPECT_EQ(fn(rootFd, "/slash", O_RDONLY, 0, true), -EACCES);
    EXPECT_EQ(fn(rootFd, "/slash/etc/passwd", O_RDONLY, 0, true), -EACCES);
    EXPECT_EQ(fn(rootFd, "/up", O_RDONLY, 0, true), -EACCES);
    EXPECT_EQ(fn(rootFd, "/dup/secret", O_RDONLY, 0, true), -EACCES);
    // Creating through a link that leaves the tree is refused as well, and
    // nothing appears outside.
    EXPECT_EQ(fn(rootFd, "/dup/new", O_WRONLY | O_CREAT, 0644, true), -EACCES);
    EXPECT_EQ(fn(rootFd, "/missing", O_RDONLY, 0, true), -ENOENT);
    EXPECT_EQ(fn(rootFd, "/d/f/x", O_RDONLY, 0, true), -ENOTDIR);
}

TEST_F(GwNsTree, WaysOutAreRefusedByTheKernelPath)
{
    expectConfined(rootFd, gw_NsOpen, "openat2");
    struct stat st {};
    EXPECT_NE(lstat((scratch / "outside/new").c_str(), &st), 0);
}

TEST_F(GwNsTree, WaysOutAreRefusedByTheWalk)
{
    expectConfined(rootFd, gw_NsOpenWalk, "walk");
    struct stat st {};
    EXPECT_NE(lstat((scratch / "outside/new").c_str(), &st), 0);
}

TEST_F(GwNsTree, LinksInsideTheTreeWork)
{
    for (OpenFn fn : {static_cast<OpenFn>(gw_NsOpen), static_cast<OpenFn>(gw_NsOpenWalk)}) {
        int fd = fn(rootFd, "/in", O_RDONLY, 0, true);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(slurp(fd), "inside");
        fd = fn(rootFd, "/d/f", O_RDONLY, 0, true);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(slurp(fd), "inside");
        // Not following the final link opens the link itself.
        fd = fn(rootFd, "/abs", O_RDONLY, 0, false);
        ASSERT_GE(fd, 0);
        struct stat st {};
        ASSERT_EQ(fstatat(fd, "", &st, AT_EMPTY_PATH), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        close(fd);
        fd = fn(rootFd, "/", O_RDONLY | O_DIRECTORY, 0, true);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    int fd = gw_NsOpenWalk(rootFd, "/d/new", O_WRONLY | O_CREAT | O_EXCL, 0600, true);
    ASSERT_GE(fd, 0);
    close(fd);
    struct stat st {};
    EXPECT_EQ(stat((root + "/d/new").c_str(), &st), 0);
}

TEST_F(GwNsTree, ParentOfTheLastComponent)
{
    std::string leaf;
    int d = gw_NsOpenParent(rootFd, "/d/f", &leaf);
    ASSERT_GE(d, 0);
    EXPECT_EQ(leaf, "f");
    struct stat st {};
    EXPECT_EQ(fstatat(d, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    close(d);
    EXPECT_EQ(gw_NsOpenParent(rootFd, "/slash/etc", &leaf), -EACCES);
    EXPECT_EQ(gw_NsOpenParent(rootFd, "/", &leaf), -EBUSY);
}

} // namespace
