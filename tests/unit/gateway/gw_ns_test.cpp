// Resolution of namespace paths inside the served tree: lexical
// normalisation against a cwd, and the ways out of the tree (".." above the
// root, absolute symbolic links, a link to "/", a relative link that
// climbs out) refused with -EACCES by both the kernel path and the walk,
// while links that stay inside keep working, and no open waits on a FIFO.
// Also the text form of the metadata sidecars kept beside the tree, which
// must refuse what it did not write.

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "gw_meta.h"
#include "kyl_fd.h"
#include "gw_ns.h"
#include "velk_testsupport.h"

namespace {

TEST(GwNs, NormalizeJoinsFoldsAndRefusesTheWayUp)
{
    const struct {
        const char *cwd, *path;
        int rc;
        const char *out;
    } cases[] = {
        {"/home/alice", "a/./b//c/", 0, "/home/alice/a/b/c"},
        {"/home/alice", "../bob/x", 0, "/home/bob/x"},
        {"/home/alice", "/abs/../y", 0, "/y"},
        {"/", ".", 0, "/"},
        {"/home", "../../etc/passwd", -EACCES, ""},
        {"/", "/..", -EACCES, ""},
        {"/", "", -ENOENT, ""},
    };
    for (const auto &c : cases) {
        std::string out;
        EXPECT_EQ(gw_NsNormalize(c.cwd, c.path, &out), c.rc) << c.path;
        if (c.rc == 0) {
            EXPECT_EQ(out, c.out) << c.path;
        }
    }
    std::string out;
    // The joined path may be GW_NS_PATH_MAX characters long, not one more.
    EXPECT_EQ(gw_NsNormalize("/", ("/" + std::string(GW_NS_PATH_MAX - 1, 'a')).c_str(), &out), 0);
    EXPECT_EQ(gw_NsNormalize("/", ("/" + std::string(GW_NS_PATH_MAX, 'a')).c_str(), &out), -ENAMETOOLONG);
}

TEST(GwMeta, ParsesEveryFieldAndRefusesBadText)
{
    gw_meta_t m;
    ASSERT_EQ(gw_MetaParse("COSId=4\nFamilyId=2\nSubSystemId=1\nAccount=9\nUID=5\nGID=6\nTimeCreated=77\n"
                           "Expiration=18446744073709551615\nObjId=42\n",
                           &m),
              0);
    const uint64_t got[] = {m.COSId, m.FamilyId, m.SubSystemId, m.Account, m.UID, m.GID, m.TimeCreated, m.ObjId};
    EXPECT_EQ(std::vector<uint64_t>(got, got + 8), (std::vector<uint64_t>{4, 2, 1, 9, 5, 6, 77, 42}));
    EXPECT_EQ(m.Expiration, UINT64_MAX);
    for (const char *bad : {"COSId=4294967296\n", "Colour=4\n", "COSId\n", "COSId=-1\n", "COSId=1x\n"})
        EXPECT_EQ(gw_MetaParse(bad, &m), -EINVAL) << bad;
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
        velktest::writeFile(scratch / "outside/secret", "secret");
        ASSERT_EQ(mkdir((root + "/d").c_str(), 0755), 0);
        velktest::writeFile(root + "/d/f", "inside");
        ASSERT_EQ(symlink("d/f", (root + "/in").c_str()), 0);
        ASSERT_EQ(symlink("/etc", (root + "/abs").c_str()), 0);
        ASSERT_EQ(symlink("/", (root + "/slash").c_str()), 0);
        ASSERT_EQ(symlink("../outside/secret", (root + "/up").c_str()), 0);
        ASSERT_EQ(symlink("d/../../outside", (root + "/dup").c_str()), 0);
        rootDir.reset(rootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        ASSERT_GE(rootFd, 0);
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
    kyl_fd rootDir; // owns rootFd
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

TEST_F(GwNsTree, WaysOutAreRefusedByTheKernelPathAndTheWalk)
{
    expectConfined(rootFd, gw_NsOpen, "openat2");
    expectConfined(rootFd, gw_NsOpenWalk, "walk");
    struct stat st {};
    EXPECT_NE(lstat((scratch / "outside/new").c_str(), &st), 0);
}

TEST_F(GwNsTree, LinksInsideTheTreeWorkAndParentsOpen)
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

    // The parent of the last component.
    std::string leaf;
    int d = gw_NsOpenParent(rootFd, "/d/f", &leaf);
    ASSERT_GE(d, 0);
    EXPECT_EQ(leaf, "f");
    EXPECT_EQ(fstatat(d, leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    close(d);
    EXPECT_EQ(gw_NsOpenParent(rootFd, "/slash/etc", &leaf), -EACCES);
    EXPECT_EQ(gw_NsOpenParent(rootFd, "/", &leaf), -EBUSY);
}

// A FIFO in the tree: no open waits for a peer, by the kernel path or the walk.
TEST_F(GwNsTree, OpensOfAFifoDoNotBlock)
{
    ASSERT_EQ(mkfifo((root + "/d/p").c_str(), 0600), 0);
    for (OpenFn fn : {static_cast<OpenFn>(gw_NsOpen), static_cast<OpenFn>(gw_NsOpenWalk)}) {
        EXPECT_EQ(fn(rootFd, "/d/p", O_WRONLY, 0, true), -ENXIO);
        int fd = fn(rootFd, "/d/p", O_RDONLY, 0, true);
        ASSERT_GE(fd, 0);
        EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
        close(fd);
    }
}

} // namespace
