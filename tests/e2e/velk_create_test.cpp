// velk -c with local archives (-E) against a real kylgwd: archive and index
// sizes, GNU tar and bsdtar reading them, statistics, an empty member list,
// -H crc, -H rmlocal, -P, failed creates, a piped archive and an unreadable
// member.  (Stopped and refused creates: velk_recreate_test.)

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "velk_gwsession.h"

namespace {

using velktest::failedEnding;
using velktest::bytesOf;
using velktest::exists;
using velktest::readFile;
using velktest::writeFile;

// One member of the sample tree: a file (with contents), a directory or a
// symbolic link (with its target).
struct Node {
    char kind;  // 'f', 'd' or 'l'
    std::string path;
    std::string data;
};

std::vector<Node> sampleTree()
{
    std::string deep = "tree/" + std::string(60, 'd') + "/" + std::string(60, 'e');
    return {
        {'d', "tree", ""},
        {'f', "tree/empty", ""},
        {'f', "tree/one", "x"},
        {'f', "tree/b511", bytesOf(511, 1)},
        {'f', "tree/b512", bytesOf(512, 2)},
        {'f', "tree/b513", bytesOf(513, 3)},
        {'f', "tree/big.bin", bytesOf(300000, 4)},
        {'f', "tree/check.txt", "123456789"},
        {'d', "tree/sub", ""},
        {'d', "tree/sub/emptydir", ""},
        {'f', "tree/sub/with space.txt", "spaced\n"},
        {'l', "tree/sub/link", "../one"},
        {'d', deep.substr(0, 66), ""},
        {'d', deep, ""},
        {'f', deep + "/long-name-file.txt", "far down\n"},
    };
}

class VelkCreate : public velktest::VelkGatewayTest {
protected:
    std::vector<Node> nodes = sampleTree();

    void SetUp() override
    {
        velktest::VelkGatewayTest::SetUp();
        for (const auto &n : nodes) {
            std::string p = dir / n.path;
            if (n.kind == 'd')
                ASSERT_EQ(mkdir(p.c_str(), 0755), 0) << p;
            else if (n.kind == 'l')
                ASSERT_EQ(symlink(n.data.c_str(), p.c_str()), 0) << p;
            else
                writeFile(p, n.data);
        }
    }

    uint64_t expectedArchiveSize() const
    {
        // A header per member, then its data rounded up to whole blocks; the
        // consistency member (header and one data block) and one end block.
        uint64_t blocks = 0;
        for (const auto &n : nodes)
            blocks += 1 + (n.kind == 'f' ? (n.data.size() + 511) / 512 : 0);
        return (blocks + 2 + 1) * 512;
    }

    // Compares an extracted copy under base with the sample tree: contents,
    // kinds, link targets and empty directories.
    void expectSameTree(const std::string &base, const std::string &what)
    {
        auto d = velktest::run({"/usr/bin/diff", "-r", "--no-dereference", dir / "tree", base + "/tree"});
        EXPECT_EQ(d.status, 0) << what << "\n" << d.out << d.err;
    }
};

} // namespace

TEST_F(VelkCreate, ArchiveAndIndexHaveTheLaidOutSizesAndTarReadsThem)
{
    umask(022);  // velk inherits it
    auto r = velk({"-c", "-E", "-f", "a.tar", "tree"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "VELK: VELK SUCCESSFUL\n");
    EXPECT_EQ(std::filesystem::file_size(dir / "a.tar"), expectedArchiveSize());
    // Header, one entry per member and one for the consistency file.
    EXPECT_EQ(std::filesystem::file_size(dir / "a.tar.idx"), 288 + (nodes.size() + 1) * 512);
    // Archive and index both follow the umask.
    struct stat st;
    ASSERT_EQ(stat((dir / "a.tar").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(stat((dir / "a.tar.idx").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    // GNU tar and bsdtar list every member, the consistency file last.
    auto t = velktest::run({"/usr/bin/tar", "-tf", dir / "a.tar"});
    EXPECT_EQ(t.status, 0) << t.err;
    auto names = velktest::lines(t.out);
    ASSERT_EQ(names.size(), nodes.size() + 1) << t.out;
    EXPECT_EQ(names.back().rfind("/tmp/VELK_CF_CHK_", 0), 0u) << names.back();
    auto b = velktest::run({"/usr/bin/bsdtar", "-tf", dir / "a.tar"});
    EXPECT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(velktest::lines(b.out).size(), nodes.size() + 1) << b.out;

    // Both extract what was archived, byte for byte.
    ASSERT_EQ(mkdir((dir / "gnu").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "bsd").c_str(), 0755), 0);
    auto gx = velktest::run({"/usr/bin/tar", "-xf", dir / "a.tar", "-C", dir / "gnu"});
    EXPECT_EQ(gx.status, 0) << gx.err;
    expectSameTree(dir / "gnu", "GNU tar");
    auto bx = velktest::run({"/usr/bin/bsdtar", "-xf", dir / "a.tar", "-C", dir / "bsd"});
    EXPECT_EQ(bx.status, 0) << bx.err;
    expectSameTree(dir / "bsd", "bsdtar");

    // The listing agrees with the tree: every member once, in order.
    auto l = velk({"-t", "-E", "-f", "a.tar"});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(velktest::lines(l.out).size(), nodes.size() + 2) << l.out;
    EXPECT_NE(l.out.find(" root/root     300000 "), std::string::npos) << l.out;
    EXPECT_NE(l.out.find(" tree/sub/link -> ../one\n"), std::string::npos) << l.out;
}

TEST_F(VelkCreate, VerboseNamesMembersAndStatisticsCountThemWithoutTheConsistencyFile)
{
    auto r = velk({"-cvV", "-E", "-f", "a.tar", "tree"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("VELK: a  tree/\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("VELK: a  tree/sub/with space.txt\n"), std::string::npos) << r.out;
    std::string stats = "VELK Create complete for a.tar. " + std::to_string(expectedArchiveSize()) +
                        " bytes written for " +
                        std::to_string(std::count_if(nodes.begin(), nodes.end(), [](auto &n) { return n.kind != 'd'; })) +
                        " member files, max threads: 1 Transfer time: ";
    EXPECT_NE(r.out.find(stats), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" wallclock/user/sys: "), std::string::npos) << r.out;
    EXPECT_EQ(gw.stop(), 0);
    std::string log = gw.logText();
    EXPECT_NE(log.find(") " + stats), std::string::npos) << log;
    EXPECT_NE(log.find("class=0x6000000"), std::string::npos) << "no transfer record\n" << log;
}

TEST_F(VelkCreate, EmptyMemberListIsRefusedWithoutAnArchive)
{
    writeFile(dir / "empty.lst", "\n   \n");
    auto r = velk({"-c", "-E", "-f", "a.tar", "-L", "empty.lst"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.out, "INFO: refusing to create empty archive\n" + failedEnding(2));
    EXPECT_FALSE(exists(dir / "a.tar"));
    EXPECT_FALSE(exists(dir / "a.tar.idx"));
}

TEST_F(VelkCreate, CrcIsStoredAndRmlocalRemovesArchivedFilesOnly)
{
    // A member too large to be gathered into the writer's buffer has its CRC
    // taken from the bytes written to the archive.
    writeFile(dir / "tree/big.bin", std::string(200000, 'v'));
    auto r = velk({"-c", "-E", "-H", "crc", "-H", "rmlocal", "-f", "a.tar", "tree"});
    ASSERT_EQ(r.status, 0) << r.err;
    // Files and links are gone; directories stay.
    for (const auto &n : nodes)
        EXPECT_EQ(exists(dir / n.path), n.kind == 'd') << n.path;
    auto l = velk({"-t", "-E", "-H", "crc", "-f", "a.tar", "tree/check.txt", "tree/empty"});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_NE(l.out.find("[0xcbf43926]  root/"), std::string::npos) << l.out;
    // The CRC of no bytes is 0.
    EXPECT_NE(l.out.find("[0x00000000]  root/"), std::string::npos) << l.out;
    auto big = velk({"-t", "-E", "-H", "crc", "-f", "a.tar", "tree/big.bin"});
    EXPECT_NE(big.out.find("[0x027589c5]  root/"), std::string::npos) << big.out;
}

TEST_F(VelkCreate, MissingParentsAreMadeOnlyWithP)
{
    auto without = velk({"-c", "-E", "-f", "out/deeper/a.tar", "tree"});
    EXPECT_EQ(without.status, 72);
    // The temporary index is made beside the final one, before the archive.
    EXPECT_NE(without.err.find("Error 2 creating temporary index file out/deeper/velk_"), std::string::npos)
        << without.err;
    EXPECT_EQ(without.out, failedEnding(without.status));
    auto with = velk({"-c", "-E", "-P", "-f", "out/deeper/a.tar", "tree"});
    EXPECT_EQ(with.status, 0) << with.err;
    EXPECT_EQ(std::filesystem::file_size(dir / "out/deeper/a.tar"), expectedArchiveSize());
    EXPECT_TRUE(exists(dir / "out/deeper/a.tar.idx"));
}

TEST_F(VelkCreate, OldIndexSurvivesACreateThatCannotMakeTheArchive)
{
    writeFile(dir / "old.idx", "the previous archive's index");
    auto r = velk({"-c", "-E", "-f", "nodir/a.tar", "-I", "old.idx", "tree"});
    EXPECT_EQ(r.status, 72);
    EXPECT_EQ(readFile(dir / "old.idx"), "the previous archive's index");
    // No temporary index is left behind either.
    auto ls = velktest::run({"/bin/sh", "-c", "ls -a " + dir.path() + " | grep -c velk_ || true"});
    EXPECT_EQ(ls.out, "0\n");
}

TEST_F(VelkCreate, ArchiveOnAPipeCarriesOnlyArchiveBytes)
{
    auto r = velk({"-cv", "-f", "-", "-I", "p.idx", "tree"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.size(), expectedArchiveSize());
    // Every message and the final line went to standard error.
    EXPECT_NE(r.err.find("VELK: a  tree/b512\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("VELK: VELK SUCCESSFUL\n"), std::string::npos) << r.err;
    writeFile(dir / "piped.tar", r.out);
    auto t = velktest::run({"/usr/bin/tar", "-tf", dir / "piped.tar"});
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(velktest::lines(t.out).size(), nodes.size() + 1);
    // The index was written locally at the -I path and describes the stream.
    auto l = velk({"-t", "-E", "-f", "piped.tar", "-I", "p.idx"});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(velktest::lines(l.out).size(), nodes.size() + 2) << l.out;
}

TEST_F(VelkCreate, UnreadableMemberIsLeftOutAndReported)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to run velk as another user";
    if (!exists("/usr/bin/setpriv"))
        GTEST_SKIP() << "setpriv is not installed";
    ASSERT_EQ(chmod((dir / "tree/b512").c_str(), 0), 0);
    // The user's own files: read by the owner's bits alone.
    ASSERT_EQ(chown((dir / "tree/b511").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod((dir / "tree/b511").c_str(), 0044), 0);
    ASSERT_EQ(chown((dir / "tree/one").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod((dir / "tree/one").c_str(), 0400), 0);
    ASSERT_EQ(chown((dir / "demo.kt").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);
    auto r = velktest::run({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                            velktest::velkBinary(), "-cv", "-E", "-f", "a.tar", "tree"},
                           velkOptions());
    // The skipped member decides the status; the archive is still made.
    EXPECT_EQ(r.status, 72) << r.err;
    for (const char *name : {"tree/b512", "tree/b511"}) {
        EXPECT_NE(r.out.find(std::string("INFO: Not readable [skipped]: ") + name + "\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find(std::string("VELK: a  ") + name + "\n"), std::string::npos) << r.out;
    }
    EXPECT_NE(r.out.find("VELK: VELK FAILED\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("VELK: a  tree/one\n"), std::string::npos) << r.out;
    // Everything else is archived, laid out without them.
    EXPECT_EQ(std::filesystem::file_size(dir / "a.tar"), expectedArchiveSize() - 4 * 512);
    auto l = velk({"-t", "-E", "-f", "a.tar"});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(l.out.find("tree/b512"), std::string::npos) << l.out;
    EXPECT_EQ(l.out.find("tree/b511"), std::string::npos) << l.out;
    EXPECT_EQ(velktest::lines(l.out).size(), nodes.size()) << l.out;
}

TEST_F(VelkCreate, FifosAndSocketsAreNamedInAWarningAndLeftOut)
{
    ASSERT_EQ(mkfifo((dir / "tree/pipe").c_str(), 0644), 0);
    // Bound by a child in the socket's directory: the scratch path may be
    // longer than a socket address holds.
    const std::string sub = dir / "tree/sub";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        memcpy(sa.sun_path, "sock", 5);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        _exit(chdir(sub.c_str()) == 0 && fd >= 0 &&
                      bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0
                  ? 0
                  : 1);
    }
    int st = -1;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    ASSERT_EQ(st, 0) << "no socket";

    auto r = velk({"-c", "-E", "-f", "a.tar", "tree"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("WARNING: tree/pipe: is a FIFO, not archived\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("WARNING: tree/sub/sock: is a socket, not archived\n"), std::string::npos) << r.err;
    EXPECT_EQ(std::filesystem::file_size(dir / "a.tar"), expectedArchiveSize());
}
