// velk --mount against a real kylgwd: a local, a storage-system and a
// gateway-host archive of one tree are mounted and read through the
// kernel (diff -r, stat fields against an extract -p, random reads of a
// 40 MB member); hard links share an inode, soft-deleted members and
// names velk would not extract are absent, every change fails EROFS, a
// flipped data byte fails a whole read with EIO, both fusermount3 -u
// and SIGTERM end the run with its final line, and a storage-system mount
// reads on in a new session when the gateway drops its session.  Needs /dev/fuse and
// fusermount3 (skipped, with the reason, without them).

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "velk_gwsession.h"
#include "velk_indexbytes.h"
#include "velk_testproc.h"

namespace fs = std::filesystem;

namespace {

using velktest::readFile;
using velktest::writeFile;

// The big member: large enough for many read-ahead windows and cache
// evictions (the 300 MB is cut to 40 MB to keep the test fast).
constexpr size_t kBigSize = (40u << 20) + 1234;

bool fuseMissing(std::string *why)
{
    if (access("/dev/fuse", R_OK | W_OK) != 0)
        *why = "/dev/fuse is not usable here";
    else if (access("/usr/bin/fusermount3", X_OK) != 0)
        *why = "fusermount3 is not installed (Debian package fuse3)";
    return !why->empty();
}

bool isMounted(const std::string &path)
{
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line))
        if (line.find(" " + path + " ") != std::string::npos)
            return true;
    return false;
}

// One velk --mount run in the background.
struct MountRun {
    std::string mnt, out, err;
    std::unique_ptr<velktest::ForkedChild> child;

    ~MountRun()
    {
        // A failed test must not leave a dead mount in its scratch directory.
        if (isMounted(mnt))
            velktest::run({"/usr/bin/fusermount3", "-u", "-z", mnt});
    }
    // Waits until the file system is there (or velk ended).
    ::testing::AssertionResult waitMounted()
    {
        auto deadline = velktest::Clock::now() + velktest::kGenerousWait;
        while (velktest::Clock::now() < deadline) {
            if (isMounted(mnt))
                return ::testing::AssertionSuccess();
            int status = 0;
            if (waitpid(child->pid(), &status, WNOHANG) == child->pid())
                return ::testing::AssertionFailure() << "velk ended: " << readFile(out) << readFile(err);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return ::testing::AssertionFailure() << "not mounted: " << readFile(out) << readFile(err);
    }
    // Unmounts (by fusermount3 -u, or by signal sig) and checks velk's exit
    // status and that it is no longer mounted.
    void end(int sig, int status)
    {
        if (sig == 0)
            ASSERT_EQ(velktest::run({"/usr/bin/fusermount3", "-u", mnt}).status, 0);
        else
            kill(child->pid(), sig);
        EXPECT_TRUE(velktest::exitsWith(*child, status)) << readFile(err);
        EXPECT_FALSE(isMounted(mnt));
    }
};

enum class Kind { Local, Quor, GatewayHost };

class VelkMount : public velktest::VelkGatewayTest, public ::testing::WithParamInterface<Kind> {
protected:
    std::string skipReason;

    void SetUp() override
    {
        if (fuseMissing(&skipReason))
            GTEST_SKIP() << skipReason;
        bool host = GetParam() == Kind::GatewayHost;
        ASSERT_TRUE(startGateway(host ? "Site = {\n  server_runmode = 2\n}\n" : ""));
        fs::create_directories(dir / "src/sub/deep");
        writeFile(dir / "src/big", velktest::bytesOf(kBigSize, 1));
        writeFile(dir / "src/sub/mid", velktest::bytesOf(600001, 2));
        writeFile(dir / "src/sub/deep/small", "small\n");
        writeFile(dir / "src/empty", "");
        fs::create_symlink("sub/deep/small", dir / "src/link");
        const std::pair<const char *, mode_t> modes[] = {
            {"src/big", 0640}, {"src/sub/mid", 0751}, {"src/sub/deep/small", 0600}, {"src/empty", 0444},
            {"src/sub", 0750}};
        for (const auto &[p, m] : modes)
            chmod((dir / p).c_str(), m);
        for (const char *p : {"src/big", "src/sub/mid", "src/sub/deep/small", "src/empty", "src/link", "src/sub/deep",
                              "src/sub", "src"}) {
            const struct timespec t[2] = {{1700000000, 0}, {1709647620, 0}};
            utimensat(AT_FDCWD, (dir / p).c_str(), t, AT_SYMLINK_NOFOLLOW);
        }
    }

    // Creates the archive (with extra create options) and puts a copy where
    // the kind under test finds it.  The -f arguments that name it.
    std::vector<std::string> makeArchive(const std::vector<std::string> &extra = {})
    {
        std::vector<std::string> args = {"-c", "-E", "-f", "arch.tar"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back("src");
        EXPECT_EQ(velk(args).status, 0);
        if (GetParam() == Kind::Local)
            return {"-E", "-f", dir / "arch.tar"};
        for (const std::string f : {"arch.tar", "arch.tar.idx"})
            writeFile(home() + "/" + f, readFile(dir / f));
        return {"-f", "arch.tar"};
    }

    std::unique_ptr<MountRun> mount(const std::vector<std::string> &archiveArgs,
                                    const std::vector<std::string> &extra = {})
    {
        auto m = std::make_unique<MountRun>();
        m->mnt = dir / "mnt";
        m->out = dir / "mount.out";
        m->err = dir / "mount.err";
        fs::create_directories(m->mnt);
        std::vector<std::string> args = {"--mount", m->mnt};
        args.insert(args.end(), archiveArgs.begin(), archiveArgs.end());
        args.insert(args.end(), extra.begin(), extra.end());
        m->child = velktest::startVelk(args, velkOptions(), m->out, m->err);
        return m;
    }
};

// The fields the mount must show as an extract -p made them.
void expectSameStat(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    ASSERT_EQ(lstat(a.c_str(), &sa), 0) << a;
    ASSERT_EQ(lstat(b.c_str(), &sb), 0) << b;
    EXPECT_EQ(sa.st_mode, sb.st_mode) << b;
    EXPECT_EQ(sa.st_uid, sb.st_uid) << b;
    EXPECT_EQ(sa.st_gid, sb.st_gid) << b;
    EXPECT_EQ(sa.st_mtime, sb.st_mtime) << b;
    if (!S_ISDIR(sa.st_mode)) {
        EXPECT_EQ(sa.st_size, sb.st_size) << b;
        EXPECT_EQ(sa.st_nlink, sb.st_nlink) << b;
    }
}

TEST_P(VelkMount, ShowsTheTreeAsExtractedAndReadsAnyRange)
{
    auto archive = makeArchive();
    std::vector<std::string> extract = {"-xp"};
    extract.insert(extract.end(), archive.begin(), archive.end());
    fs::create_directories(dir / "out");
    auto o = velkOptions();
    o.cwd = dir / "out";
    ASSERT_EQ(velktest::runVelk(extract, o).status, 0);

    auto m = mount(archive);
    ASSERT_TRUE(m->waitMounted());
    auto diff = velktest::run({"/usr/bin/diff", "-r", "--no-dereference", dir / "src", m->mnt + "/src"});
    EXPECT_EQ(diff.status, 0) << diff.out << diff.err;
    for (const auto &e : fs::recursive_directory_iterator(dir / "out"))
        expectSameStat(e.path(), m->mnt + "/" + e.path().lexically_relative(dir / "out").string());

    // Random offsets and lengths, some across the end, against the source.
    const std::string big = readFile(dir / "src/big");
    int fd = open((m->mnt + "/src/big").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::mt19937_64 rng(7);
    std::string buf(1 << 20, '\0');
    for (int i = 0; i < 150; ++i) {
        size_t off = rng() % (kBigSize + 10);
        size_t len = 1 + rng() % (i % 3 == 0 ? 4096 : buf.size());
        ssize_t n = pread(fd, buf.data(), len, static_cast<off_t>(off));
        size_t want = off >= kBigSize ? 0 : std::min(len, kBigSize - off);
        ASSERT_EQ(n, static_cast<ssize_t>(want)) << "at " << off;
        ASSERT_TRUE(buf.compare(0, want, big, std::min(off, kBigSize), want) == 0) << "at " << off;
    }
    close(fd);
    m->end(0, 0);
    EXPECT_NE(readFile(m->out).find("VELK: VELK SUCCESSFUL"), std::string::npos) << readFile(m->out);
}

TEST_P(VelkMount, FlippedDataByteFailsAWholeReadWithEio)
{
    auto archive = makeArchive({"-H", "crc"});
    // Flip one byte inside the data of sub/mid (unique pseudo-random bytes).
    std::string path = GetParam() == Kind::Local ? dir / "arch.tar" : home() + "/arch.tar";
    std::string bytes = readFile(path);
    size_t at = bytes.find(velktest::bytesOf(600001, 2).substr(1000, 64));
    ASSERT_NE(at, std::string::npos);
    bytes[at + 10] ^= 0x20;
    writeFile(path, bytes);

    auto m = mount(archive);
    ASSERT_TRUE(m->waitMounted());
    // Another member still reads; the damaged one fails at its end.
    EXPECT_EQ(readFile(m->mnt + "/src/sub/deep/small"), "small\n");
    auto cat = velktest::run({"/usr/bin/cat", m->mnt + "/src/sub/mid"});
    EXPECT_NE(cat.status, 0);
    EXPECT_NE(cat.err.find("Input/output error"), std::string::npos) << cat.err;
    m->end(0, 65);
    EXPECT_NE(readFile(m->err).find("CRC error on src/sub/mid."), std::string::npos) << readFile(m->err);
    EXPECT_NE(readFile(m->out).find("VELK: VELK FAILED"), std::string::npos) << readFile(m->out);
}

INSTANTIATE_TEST_SUITE_P(Kinds, VelkMount, ::testing::Values(Kind::Local, Kind::Quor, Kind::GatewayHost),
                         [](const auto &param) {
                             return param.param == Kind::Local  ? std::string("Local")
                                    : param.param == Kind::Quor ? std::string("StorageSystem")
                                                               : std::string("GatewayHost");
                         });

// The storage system alone reads through list requests and their movers.
class VelkMountQuor : public VelkMount {};

// The gateway drops the session while the mount reads (a list read's reply
// is lost): the mount opens the archive again in a new session, and random
// reads across the big member still return the source's bytes.
TEST_P(VelkMountQuor, ReadsGoOnInANewSessionWhenTheGatewayDropsIt)
{
    auto archive = makeArchive();
    // The first list read copies the index; the third is one of the mount's.
    writeFile(dir / "faults", "drop_conn=quor_ReadList,3\n");
    auto m = mount(archive);
    ASSERT_TRUE(m->waitMounted());
    const std::string big = readFile(dir / "src/big");
    int fd = open((m->mnt + "/src/big").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::mt19937_64 rng(11);
    std::string buf(4096, '\0');
    for (int i = 0; i < 300; ++i) {
        size_t off = rng() % (kBigSize - buf.size());
        ASSERT_EQ(pread(fd, buf.data(), buf.size(), static_cast<off_t>(off)), 4096) << "at " << off;
        ASSERT_TRUE(buf.compare(0, buf.size(), big, off, buf.size()) == 0) << "at " << off;
    }
    close(fd);
    EXPECT_EQ(readFile(m->mnt + "/src/sub/mid"), velktest::bytesOf(600001, 2));
    m->end(0, 0);
    EXPECT_NE(readFile(m->err).find("Connection to the gateway lost reading arch.tar"), std::string::npos)
        << readFile(m->err);
    EXPECT_NE(readFile(m->out).find("VELK: VELK SUCCESSFUL"), std::string::npos) << readFile(m->out);
}

INSTANTIATE_TEST_SUITE_P(Kinds, VelkMountQuor, ::testing::Values(Kind::Quor),
                         [](const auto &) { return std::string("StorageSystem"); });

// Cases that do not depend on where the archive lives: a local archive.
class VelkMountLocal : public velktest::VelkGatewayTest {
protected:
    std::string skipReason;
    void SetUp() override
    {
        if (fuseMissing(&skipReason))
            GTEST_SKIP() << skipReason;
        VelkGatewayTest::SetUp();
    }
    std::unique_ptr<MountRun> mount(const std::string &archive, const std::vector<std::string> &extra = {})
    {
        auto m = std::make_unique<MountRun>();
        m->mnt = dir / "mnt";
        m->out = dir / "mount.out";
        m->err = dir / "mount.err";
        fs::create_directories(m->mnt);
        std::vector<std::string> args = {"--mount", m->mnt, "-E", "-f", archive};
        args.insert(args.end(), extra.begin(), extra.end());
        m->child = velktest::startVelk(args, velkOptions(), m->out, m->err);
        return m;
    }
};

TEST_F(VelkMountLocal, LinksDeletionsRefusedNamesAndReadOnly)
{
    // GNU tar writes the hard links and the names velk would not extract;
    // velk -X indexes the archive.
    fs::create_directories(dir / "t/d");
    writeFile(dir / "t/d/one", "linked data\n");
    fs::create_hard_link(dir / "t/d/one", dir / "t/d/two");
    writeFile(dir / "t/gone", "deleted\n");
    writeFile(dir / "t/keep", "kept\n");
    auto tar = velktest::run({"/usr/bin/tar", "-C", dir / "t", "--format=ustar", "-cf", dir / "a.tar", "d", "gone", "keep"});
    ASSERT_EQ(tar.status, 0) << tar.err;
    tar = velktest::run({"/usr/bin/tar", "-C", dir / "t", "--format=ustar", "-rf", dir / "a.tar", "--transform=s,^keep,../up,",
                         "keep"});
    ASSERT_EQ(tar.status, 0) << tar.err;
    ASSERT_EQ(velk({"-X", "-E", "-f", dir / "a.tar"}).status, 0);
    ASSERT_EQ(velk({"-D", "-E", "-f", dir / "a.tar", "gone"}).status, 0);

    auto m = mount(dir / "a.tar", {"-o", "allow_other"});
    ASSERT_TRUE(m->waitMounted());
    EXPECT_NE(readFile("/proc/self/mountinfo").find(m->mnt + " ro,"), std::string::npos);
    EXPECT_NE(readFile("/proc/self/mountinfo").find("allow_other"), std::string::npos);
    struct stat one, two;
    ASSERT_EQ(stat((m->mnt + "/d/one").c_str(), &one), 0);
    ASSERT_EQ(stat((m->mnt + "/d/two").c_str(), &two), 0);
    EXPECT_EQ(one.st_ino, two.st_ino);
    EXPECT_EQ(one.st_nlink, 2u);
    EXPECT_EQ(readFile(m->mnt + "/d/two"), "linked data\n");
    EXPECT_FALSE(velktest::exists(m->mnt + "/gone"));
    EXPECT_EQ(readFile(m->mnt + "/keep"), "kept\n");
    auto ls = velktest::run({"/usr/bin/ls", "-A", m->mnt});
    EXPECT_EQ(ls.out, "d\nkeep\n");

    // Every change is refused as on a read-only file system.
    const std::string f = m->mnt + "/keep";
    const std::pair<const char *, std::function<int()>> changes[] = {
        {"open for writing", [&] { return open(f.c_str(), O_WRONLY); }},
        {"create", [&] { return open((m->mnt + "/new").c_str(), O_WRONLY | O_CREAT, 0644); }},
        {"rename", [&] { return rename(f.c_str(), (m->mnt + "/d/moved").c_str()); }},
        {"mkdir", [&] { return mkdir((m->mnt + "/nd").c_str(), 0755); }},
        {"unlink", [&] { return unlink(f.c_str()); }},
        {"chmod", [&] { return chmod(f.c_str(), 0777); }},
    };
    for (const auto &[what, change] : changes) {
        errno = 0;
        EXPECT_EQ(change(), -1) << what;
        EXPECT_EQ(errno, EROFS) << what;
    }

    m->end(SIGTERM, 0);
    EXPECT_NE(readFile(m->err).find("1 members not shown"), std::string::npos) << readFile(m->err);
    EXPECT_NE(readFile(m->out).find("VELK: VELK SUCCESSFUL"), std::string::npos) << readFile(m->out);
}

TEST_F(VelkMountLocal, RefusesAPipeAStrayOperandAndAMissingMountPoint)
{
    auto r = velk({"--mount", dir / "nowhere", "-E", "-f", dir / "x.tar"});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("Mount point " + (dir / "nowhere") + " is not a directory"), std::string::npos) << r.err;
    fs::create_directories(dir / "mnt");
    r = velk({"--mount", dir / "mnt", "-E", "-f", dir / "x.tar", "stray"});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("unexpected operand stray"), std::string::npos) << r.err;
    r = velk({"--mount", dir / "mnt", "-f", "-", "-I", dir / "x.idx"});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("a piped Archive File cannot be mounted"), std::string::npos) << r.err;
}

// A storage-system index larger than the reader's buffers (-S 512k) is
// streamed into the tree: the entries split between buffers arrive whole,
// and a damaged entry fails the mount.
TEST_F(VelkMountLocal, StreamsAStorageSystemIndexAcrossBuffers)
{
    constexpr uint32_t kMembers = 3000; // 1.5 MB of index: three buffers
    std::vector<hif_entry_t> entries(kMembers);
    for (uint32_t i = 0; i < kMembers; ++i) {
        hif_entry_t &e = entries[i];
        memset(&e, 0, sizeof e);
        memcpy(e.hent_sanity, HENT_SANITY, HENT_sanity_size);
        snprintf(e.hent_name, sizeof e.hent_name, "s/f%05u", i);
        velk_Put32(e.hent_type, VTO_FILE);
        velk_Put32(e.hent_blocks, 1);
        velk_Put64(e.hent_offset, i);
        velk_Put32(e.hent_mode, 0644);
        velk_Put32(e.hent_mtime, 1700000000 + i);
    }
    const uint64_t tarsize = (kMembers + 2) * 512ull;
    std::string index = indexFileBytes(entries, tarsize, HIF_IDX_FOREIGN_ARCHIVE);
    writeFile(home() + "/many.tar", std::string(tarsize, '\0'));
    writeFile(home() + "/many.tar.idx", index);
    auto mountMany = [&] {
        auto m = std::make_unique<MountRun>();
        m->mnt = dir / "mnt";
        m->out = dir / "mount.out";
        m->err = dir / "mount.err";
        fs::create_directories(m->mnt);
        m->child = velktest::startVelk({"--mount", m->mnt, "-f", "many.tar", "-S", "512k"}, velkOptions(), m->out,
                                       m->err);
        return m;
    };
    auto m = mountMany();
    ASSERT_TRUE(m->waitMounted());
    long listed = 0;
    for (const auto &e : fs::directory_iterator(m->mnt + "/s"))
        listed += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(listed, static_cast<long>(kMembers));
    // Entry 1023 spans the end of the first buffer; the last ends the index.
    for (uint32_t i : {0u, 1023u, 1024u, 2047u, kMembers - 1}) {
        struct stat st;
        char name[32];
        snprintf(name, sizeof name, "/s/f%05u", i);
        ASSERT_EQ(stat((m->mnt + name).c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mtime, 1700000000 + i) << name;
    }
    m->end(0, 0);

    // The split entry damaged: nothing is mounted.
    index[HIF_HDR_SIZE + 1023 * HIF_ENTRY_SIZE] ^= 0x20;
    writeFile(home() + "/many.tar.idx", index);
    m = mountMany();
    EXPECT_TRUE(velktest::exitsWith(*m->child, 72)) << readFile(m->err);
    EXPECT_NE(readFile(m->err).find("does not appear to be a file created by velk"), std::string::npos)
        << readFile(m->err);
    EXPECT_NE(readFile(m->out).find("VELK: VELK FAILED"), std::string::npos) << readFile(m->out);
}

} // namespace
