// The client library's file operations against the real kylgwd, checked on
// the server's side: files on disk with their modes, owners, sizes and
// inodes, the sidecar metadata kylgwd keeps, the daemon's open descriptors
// and its event log.  Grouped by object: files and the open-file table,
// the umask, directories, names, attributes, and the ways out of the
// served tree.

#include "nxclient_gateway.h"

#include "quor_api.h"
#include "velk_testsupport.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using nxtest::gateway;
using nxtest::NxClientTest;

constexpr uint32_t kRequired = 30;

// Hints asking for class cos.
void askForClass(uint32_t cos, quor_cos_hints_t *h, quor_cos_priorities_t *p)
{
    *h = quor_cos_hints_t{};
    *p = quor_cos_priorities_t{};
    h->COSId = cos;
    p->COSIdPriority = kRequired;
}

struct stat diskStat(const std::string &path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
    return st;
}

// Descriptors of process pid that refer to path.
int openCount(pid_t pid, const std::string &path)
{
    std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(fdDir.c_str());
    if (d == nullptr) {
        ADD_FAILURE() << fdDir << ": " << strerror(errno);
        return -1;
    }
    int n = 0;
    while (struct dirent *e = readdir(d)) {
        char target[PATH_MAX + 1];
        ssize_t len = readlinkat(dirfd(d), e->d_name, target, PATH_MAX);
        if (len > 0 && std::string(target, static_cast<size_t>(len)) == path)
            n++;
    }
    closedir(d);
    return n;
}

class NxFiles : public NxClientTest {};

TEST_F(NxFiles, CreateWithClassHintsReportsAndRecordsTheClassUsed)
{
    quor_cos_hints_t hin, hout;
    quor_cos_priorities_t pri;

    // A class that exists is used.
    askForClass(4, &hin, &pri);
    int fd = quor_Open(ns("wide").c_str(), O_RDWR | O_CREAT | O_EXCL, 0640, &hin, &pri, &hout);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(hout.COSId, 4u);
    EXPECT_STREQ(hout.COSName, "wide");
    EXPECT_EQ(hout.StripeWidth, 4u);
    EXPECT_EQ(hout.StripeLength, 4 * nxtest::kMiB);
    struct stat st = diskStat(disk("wide"));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, gateway().ivanUid());
    EXPECT_EQ(st.st_gid, gateway().ivanGid());
    auto meta = sidecar("wide");
    EXPECT_EQ(meta["COSId"], "4");
    EXPECT_EQ(meta["Account"], std::to_string(nxtest::kIvanDefaultAcct));
    EXPECT_EQ(meta["UID"], std::to_string(gateway().ivanUid()));
    EXPECT_EQ(meta["ObjId"], std::to_string(st.st_ino));

    // Create and exclusive on an existing file: the server's code, and the
    // client's table is as it was (the next open gets the next entry).
    EXPECT_EQ(quor_Open(ns("wide").c_str(), O_RDWR | O_CREAT | O_EXCL, 0640, &hin, &pri, &hout), -17);

    // An unknown class gives the default, reported back.
    askForClass(99, &hin, &pri);
    int fdUnknown = quor_Open(ns("unknown").c_str(), O_WRONLY | O_CREAT, 0600, &hin, &pri, &hout);
    ASSERT_GE(fdUnknown, 0);
    EXPECT_EQ(fdUnknown, fd + 1);
    EXPECT_EQ(hout.COSId, nxtest::kDefaultCos);
    EXPECT_STREQ(hout.COSName, "house");
    EXPECT_EQ(hout.StripeWidth, 3u);
    EXPECT_EQ(sidecar("unknown")["COSId"], std::to_string(nxtest::kDefaultCos));

    // Class 11 asked for by id.
    askForClass(11, &hin, &pri);
    int fd11 = quor_Open(ns("eleven").c_str(), O_WRONLY | O_CREAT, 0600, &hin, &pri, &hout);
    ASSERT_GE(fd11, 0);
    EXPECT_EQ(hout.COSId, 11u);
    EXPECT_EQ(hout.StripeWidth, 2u);
    EXPECT_EQ(sidecar("eleven")["COSId"], "11");

    // No class asked for: chosen by the size hint.
    hin = quor_cos_hints_t{};
    pri = quor_cos_priorities_t{};
    hin.MaxFileSize = 2 * nxtest::kGiB;
    pri.MaxFileSizePriority = 20;
    int fdSized = quor_Open(ns("sized").c_str(), O_WRONLY | O_CREAT, 0600, &hin, &pri, &hout);
    ASSERT_GE(fdSized, 0);
    EXPECT_EQ(hout.COSId, 8u);
    EXPECT_EQ(sidecar("sized")["COSId"], "8");

    // No hints at all: the default class.
    int fdPlain = quor_Open(ns("plain").c_str(), O_WRONLY | O_CREAT, 0600, nullptr, nullptr, &hout);
    ASSERT_GE(fdPlain, 0);
    EXPECT_EQ(hout.COSId, nxtest::kDefaultCos);

    // Reopening reports the class the file was created in, whatever is asked.
    askForClass(8, &hin, &pri);
    int fdAgain = quor_Open(ns("wide").c_str(), O_RDONLY, 0, &hin, &pri, &hout);
    ASSERT_GE(fdAgain, 0);
    EXPECT_EQ(hout.COSId, 4u);
    EXPECT_EQ(sidecar("wide")["COSId"], "4");

    for (int d : {fd, fdUnknown, fd11, fdSized, fdPlain, fdAgain})
        EXPECT_EQ(quor_Close(d), 0);
}

TEST_F(NxFiles, OpenOfWhatIsNotThereOrNotAFile)
{
    EXPECT_EQ(quor_Open(ns("absent").c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr), -2);
    EXPECT_EQ(quor_Open(ns("no/such/file").c_str(), O_WRONLY | O_CREAT, 0644, nullptr, nullptr, nullptr), -2);
    EXPECT_FALSE(exists(disk("absent")));
    EXPECT_FALSE(exists(disk("no")));
    EXPECT_EQ(quor_Open(ns().c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr), -21);
    // Checked by the client before anything is sent.
    EXPECT_EQ(quor_Open(nullptr, O_RDONLY, 0, nullptr, nullptr, nullptr), -14);
    EXPECT_EQ(quor_Open("", O_RDONLY, 0, nullptr, nullptr, nullptr), -2);
    EXPECT_EQ(quor_Open(std::string(1025, 'x').c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr), -36);
    // The directory the server opened before it saw what it was is closed.
    EXPECT_EQ(openCount(gateway().daemon().pid(), disk()), 0);
}

TEST_F(NxFiles, PathsUpToTheirLimits)
{
    makeFile("f", "12345");
    // Empty components make a path as long as wanted that names "f".
    auto padded = [&](size_t length) { return std::string(length - ns("f").size(), '/') + ns("f"); };
    quor_stat_t st = {};
    ASSERT_EQ(quor_Stat(padded(1024).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5u);
    EXPECT_EQ(quor_Stat(padded(1025).c_str(), &st), -36);
    int fd = quor_Open(padded(1024).c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(quor_Close(fd), 0);
    // Paths on the gateway host may be four times as long.
    lfx_Stat_rply_t lst = {};
    ASSERT_EQ(kylgw_LfxStat(padded(4096).c_str(), &lst), 0);
    EXPECT_EQ(lst.hst_size, 5u);
    EXPECT_EQ(kylgw_LfxStat(padded(4097).c_str(), &lst), -36);
}

TEST_F(NxFiles, TruncateAndAccessModesReachTheServer)
{
    makeFile("f", "0123456789");
    int fd = quor_Open(ns("f").c_str(), O_WRONLY | O_TRUNC, 0, nullptr, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(diskStat(disk("f")).st_size, 0);
    EXPECT_EQ(quor_Close(fd), 0);
    // A read-only file cannot be opened for writing as ivan (root would be
    // let through by the kernel, so only when ivan is not root).
    makeFile("ro", "x", 0444);
    if (gateway().ivanUid() != 0) {
        EXPECT_EQ(quor_Open(ns("ro").c_str(), O_WRONLY, 0, nullptr, nullptr, nullptr), -13);
        EXPECT_EQ(quor_Open(ns("ro").c_str(), O_RDWR, 0, nullptr, nullptr, nullptr), -13);
    }
    fd = quor_Open(ns("ro").c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    // Preallocating needs a file open for writing.
    EXPECT_EQ(quor_Fpreallocate(fd, 100), -9);
    EXPECT_EQ(diskStat(disk("ro")).st_size, 1);
    EXPECT_EQ(quor_Close(fd), 0);
}

TEST_F(NxFiles, StatFstatLstatSeekSetOffsetAndPreallocate)
{
    int fd = quor_Open(ns("data").c_str(), O_RDWR | O_CREAT, 0640, nullptr, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(quor_Fpreallocate(fd, 5000), 0);
    struct stat on = diskStat(disk("data"));
    EXPECT_EQ(on.st_size, 5000);

    quor_stat_t st = {};
    ASSERT_EQ(quor_Stat(ns("data").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 5000u);
    EXPECT_EQ(st.st_mode, static_cast<uint32_t>(S_IFREG | 0640));
    EXPECT_EQ(st.st_ino, on.st_ino);
    EXPECT_EQ(st.st_uid, gateway().ivanUid());
    EXPECT_EQ(st.st_gid, gateway().ivanGid());
    EXPECT_EQ(st.quor_st_mtime, static_cast<uint32_t>(on.st_mtime));
    quor_stat_t fst = {};
    ASSERT_EQ(quor_Fstat(fd, &fst), 0);
    EXPECT_EQ(fst.st_ino, on.st_ino);
    EXPECT_EQ(fst.st_size, 5000u);
    EXPECT_EQ(fst.st_mode, st.st_mode);

    // A relative link: stat follows it, lstat sees the link itself.
    ASSERT_EQ(symlink("data", disk("link").c_str()), 0);
    ASSERT_EQ(quor_Stat(ns("link").c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, on.st_ino);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    ASSERT_EQ(quor_Lstat(ns("link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << std::oct << st.st_mode;
    EXPECT_EQ(st.st_ino, diskStat(disk("link")).st_ino);
    EXPECT_EQ(st.st_size, 4u); // "data"
    EXPECT_EQ(quor_Stat(ns("nothing").c_str(), &st), -2);
    EXPECT_EQ(quor_Lstat(ns("nothing").c_str(), &st), -2);
    EXPECT_EQ(quor_Stat("", &st), -2);

    // Lseek from each base; every answer is the server's real position.
    EXPECT_EQ(quor_Lseek(fd, -100, SEEK_END), 4900);
    EXPECT_EQ(quor_Lseek(fd, 50, SEEK_CUR), 4950);
    EXPECT_EQ(quor_Lseek(fd, 10, SEEK_SET), 10);
    EXPECT_EQ(quor_Lseek(fd, -11, SEEK_CUR), -22);
    EXPECT_EQ(quor_Lseek(fd, 0, SEEK_CUR), 10);

    // SetFileOffset forward and backward from each base.
    uint64_t off = 0;
    ASSERT_EQ(quor_SetFileOffset(fd, 1000, SEEK_CUR, 0, &off), 0);
    EXPECT_EQ(off, 1010u);
    EXPECT_EQ(quor_Lseek(fd, 0, SEEK_CUR), 1010);
    ASSERT_EQ(quor_SetFileOffset(fd, 100, SEEK_END, 1, &off), 0);
    EXPECT_EQ(off, 4900u);
    ASSERT_EQ(quor_SetFileOffset(fd, 900, SEEK_CUR, 1, &off), 0);
    EXPECT_EQ(off, 4000u);
    ASSERT_EQ(quor_SetFileOffset(fd, 7, SEEK_SET, 0, &off), 0);
    EXPECT_EQ(off, 7u);
    // Backward past the start: refused, position kept.
    off = 12345;
    EXPECT_EQ(quor_SetFileOffset(fd, 8, SEEK_CUR, 1, &off), -22);
    EXPECT_EQ(off, 12345u);
    EXPECT_EQ(quor_Lseek(fd, 0, SEEK_CUR), 7);
    // Beyond the end is a position like any other.
    ASSERT_EQ(quor_SetFileOffset(fd, 1000, SEEK_END, 0, &off), 0);
    EXPECT_EQ(off, 6000u);
    // Checked by the client: no request goes out.
    const std::string setOffsets = "\"category\":1280,\"function\":4869,";
    const size_t sent = nxtest::settledEvents(setOffsets);
    EXPECT_EQ(quor_SetFileOffset(fd, 1, SEEK_SET, 2, &off), -22);
    EXPECT_EQ(quor_SetFileOffset(fd, 1, SEEK_SET, 0, nullptr), -14);
    EXPECT_EQ(nxtest::settledEvents(setOffsets), sent);
    EXPECT_EQ(quor_Lseek(fd, 0, SEEK_CUR), 6000);

    // Preallocating more grows the file; less leaves it as it is.
    ASSERT_EQ(quor_Fpreallocate(fd, 8192), 0);
    EXPECT_EQ(diskStat(disk("data")).st_size, 8192);
    ASSERT_EQ(quor_Fpreallocate(fd, 10), 0);
    EXPECT_EQ(diskStat(disk("data")).st_size, 8192);
    ASSERT_EQ(quor_Fstat(fd, &fst), 0);
    EXPECT_EQ(fst.st_size, 8192u);

    // Closed: the server's descriptor is gone and the client's entry free.
    EXPECT_EQ(openCount(gateway().daemon().pid(), disk("data")), 1);
    EXPECT_EQ(quor_Close(fd), 0);
    EXPECT_EQ(openCount(gateway().daemon().pid(), disk("data")), 0);
    EXPECT_EQ(quor_Close(fd), -9);
    EXPECT_EQ(quor_Fstat(fd, &fst), -9);
    EXPECT_EQ(quor_Fpreallocate(fd, 1), -9);
    EXPECT_EQ(quor_Lseek(fd, 0, SEEK_SET), -2);
    EXPECT_EQ(quor_SetFileOffset(fd, 0, SEEK_SET, 0, &off), -2);
    EXPECT_EQ(quor_Close(250), -9);
    EXPECT_EQ(quor_Close(-1), -9);
}

TEST_F(NxFiles, TableHolds250OpenFilesAndReusesEntries)
{
    constexpr int kTable = 250;
    const std::string opens = "\"category\":1280,\"function\":3840,";
    const size_t opensBefore = nxtest::settledEvents(opens);
    makeFile("f", "content");
    const pid_t daemon = gateway().daemon().pid();

    std::vector<int> fds;
    for (int i = 0; i < kTable; i++) {
        int fd = quor_Open(ns("f").c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr);
        ASSERT_GE(fd, 0) << "open " << i;
        fds.push_back(fd);
    }
    std::set<int> distinct(fds.begin(), fds.end());
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kTable));
    EXPECT_EQ(*distinct.begin(), 0);
    EXPECT_EQ(*distinct.rbegin(), kTable - 1);
    EXPECT_EQ(openCount(daemon, disk("f")), kTable);

    // The 251st is refused by the client, without asking the server.
    EXPECT_EQ(quor_Open(ns("f").c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr), -24);
    EXPECT_EQ(openCount(daemon, disk("f")), kTable);
    // The others stay usable.
    quor_stat_t st = {};
    EXPECT_EQ(quor_Fstat(fds.back(), &st), 0);
    EXPECT_EQ(st.st_size, 7u);

    // A closed entry is the lowest free one and is taken again.
    EXPECT_EQ(quor_Close(100), 0);
    EXPECT_EQ(openCount(daemon, disk("f")), kTable - 1);
    EXPECT_EQ(quor_Open(ns("f").c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr), 100);
    EXPECT_EQ(quor_Lseek(100, 3, SEEK_SET), 3);

    for (int fd : fds)
        EXPECT_EQ(quor_Close(fd), 0);
    EXPECT_EQ(openCount(daemon, disk("f")), 0);
    // The server saw every open but the refused one.
    EXPECT_EQ(nxtest::settledEvents(opens) - opensBefore, static_cast<size_t>(kTable + 1));
}

TEST_F(NxFiles, ThreadsUseTheirOwnFilesOnTheSharedSessionAtOnce)
{
    // Each thread seeks its own file to positions of its own; every reply
    // must reach the thread that asked, with that file's numbers.
    constexpr int kThreads = 4;
    constexpr int kRounds = 40;
    for (int t = 0; t < kThreads; t++)
        makeFile("t" + std::to_string(t), std::string(static_cast<size_t>(1000 * (t + 1)), 'x'));
    std::vector<std::string> paths;
    for (int t = 0; t < kThreads; t++)
        paths.push_back(ns("t" + std::to_string(t)));
    std::vector<std::vector<std::string>> faults(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t, &paths, &faults] {
            auto fail = [&](const std::string &what) { faults[static_cast<size_t>(t)].push_back(what); };
            const int64_t size = 1000 * (t + 1);
            for (int r = 0; r < kRounds; r++) {
                int fd = quor_Open(paths[static_cast<size_t>(t)].c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr);
                if (fd < 0) {
                    fail("open " + std::to_string(fd));
                    return;
                }
                int64_t want = size - r;
                int64_t got = quor_Lseek(fd, -r, SEEK_END);
                if (got != want)
                    fail("lseek " + std::to_string(got) + " != " + std::to_string(want));
                uint64_t off = 0;
                int rc = quor_SetFileOffset(fd, static_cast<uint64_t>(t), SEEK_CUR, 1, &off);
                if (rc != 0 || off != static_cast<uint64_t>(want - t))
                    fail("set offset " + std::to_string(rc) + " " + std::to_string(off));
                quor_stat_t st = {};
                rc = quor_Fstat(fd, &st);
                if (rc != 0 || st.st_size != static_cast<uint64_t>(size))
                    fail("fstat " + std::to_string(rc) + " " + std::to_string(st.st_size));
                rc = quor_Close(fd);
                if (rc != 0)
                    fail("close " + std::to_string(rc));
            }
        });
    }
    for (auto &th : threads)
        th.join();
    for (int t = 0; t < kThreads; t++)
        EXPECT_TRUE(faults[static_cast<size_t>(t)].empty())
            << "thread " << t << ": " << faults[static_cast<size_t>(t)].front();
    for (int t = 0; t < kThreads; t++)
        EXPECT_EQ(openCount(gateway().daemon().pid(), disk("t" + std::to_string(t))), 0);
}

class NxUmask : public NxClientTest {};

TEST_F(NxUmask, SessionUmaskShapesCreatedFilesAndDirectories)
{
    EXPECT_EQ(quor_Umask(027), static_cast<int>(nxtest::kSiteUmask));
    int fd = quor_Open(ns("f").c_str(), O_WRONLY | O_CREAT, 0666, nullptr, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(quor_Close(fd), 0);
    EXPECT_EQ(diskStat(disk("f")).st_mode & 07777, 0640u);
    ASSERT_EQ(quor_Mkdir(ns("d").c_str(), 0777), 0);
    struct stat d = diskStat(disk("d"));
    EXPECT_TRUE(S_ISDIR(d.st_mode));
    EXPECT_EQ(d.st_mode & 07777, 0750u);
    // Set-id and sticky bits pass the mask.
    ASSERT_EQ(quor_Mkdir(ns("sticky").c_str(), 01777), 0);
    EXPECT_EQ(diskStat(disk("sticky")).st_mode & 07777, 01750u);
    // The previous mask comes back, and the site's applies again.
    EXPECT_EQ(quor_Umask(static_cast<int>(nxtest::kSiteUmask)), 027);
    fd = quor_Open(ns("g").c_str(), O_WRONLY | O_CREAT, 0666, nullptr, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(quor_Close(fd), 0);
    EXPECT_EQ(diskStat(disk("g")).st_mode & 07777, 0644u);
}

class NxDirectories : public NxClientTest {};

TEST_F(NxDirectories, MakeDirectories)
{
    ASSERT_EQ(quor_Mkdir(ns("d").c_str(), 0751), 0);
    struct stat st = diskStat(disk("d"));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0751u & ~nxtest::kSiteUmask);
    EXPECT_EQ(st.st_uid, gateway().ivanUid());
    auto meta = sidecar("d");
    EXPECT_EQ(meta["UID"], std::to_string(gateway().ivanUid()));
    EXPECT_EQ(meta["ObjId"], std::to_string(st.st_ino));
    EXPECT_FALSE(meta["TimeCreated"].empty());

    EXPECT_EQ(quor_Mkdir(ns("d").c_str(), 0755), -17);
    EXPECT_EQ(quor_Mkdir(ns("missing/d").c_str(), 0755), -2);
    EXPECT_FALSE(exists(disk("missing")));
    makeFile("flat", "x");
    EXPECT_EQ(quor_Mkdir(ns("flat/d").c_str(), 0755), -20);
    // A relative path is taken from the session's directory, the home.
    ASSERT_EQ(quor_Mkdir((name_ + "/rel").c_str(), 0700), 0);
    EXPECT_TRUE(S_ISDIR(diskStat(disk("rel")).st_mode));
    EXPECT_EQ(quor_Mkdir("", 0755), -2);
}

TEST_F(NxDirectories, ListingPagesWithOffsetsCountsAndTheEndFlag)
{
    ASSERT_EQ(quor_Mkdir(ns("d").c_str(), 0755), 0);
    quor_cos_hints_t hin;
    quor_cos_priorities_t pri;
    askForClass(4, &hin, &pri);
    int fd = quor_Open(ns("d/a").c_str(), O_WRONLY | O_CREAT, 0600, &hin, &pri, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(quor_Close(fd), 0);
    makeFile("d/b", "bee");
    makeFile("d/c", "");
    ASSERT_EQ(symlink("b", disk("d/lnk").c_str()), 0);
    ASSERT_EQ(mkdir(disk("d/sub").c_str(), 0710), 0);
    const std::vector<std::string> names = {"a", "b", "c", "lnk", "sub"};

    int dd = quor_Opendir(ns("d").c_str());
    ASSERT_GE(dd, 0);
    std::vector<ns_DirEntry_t> e(8);
    uint32_t end = 99;
    uint64_t next = 0;
    std::vector<std::string> seen;
    std::vector<uint32_t> ends;
    // Pages of two: a b | c lnk | sub.
    for (uint64_t offset = 0; offset < names.size();) {
        int n = quor_ReadAttrs(dd, offset, 2, 1, &end, &next, e.data());
        ASSERT_GT(n, 0) << "at " << offset;
        ASSERT_LE(n, 2);
        for (int i = 0; i < n; i++) {
            seen.push_back(e[i].Name);
            EXPECT_EQ(e[i].ObjOffset, seen.size()) << e[i].Name;
        }
        EXPECT_EQ(next, offset + static_cast<uint64_t>(n));
        ends.push_back(end);
        offset = next;
    }
    EXPECT_EQ(seen, names);
    EXPECT_EQ(ends, (std::vector<uint32_t>{0, 0, 1}));

    // Everything from the second entry on in one read, with attributes.
    int n = quor_ReadAttrs(dd, 1, 8, 1, &end, &next, e.data());
    ASSERT_EQ(n, 4);
    EXPECT_EQ(end, 1u);
    EXPECT_EQ(next, 5u);
    std::map<std::string, const ns_DirEntry_t *> byName;
    for (int i = 0; i < n; i++)
        byName[e[i].Name] = &e[i];
    ASSERT_EQ(byName.size(), 4u);
    const quor_Attrs_t &b = byName["b"]->Attrs;
    EXPECT_EQ(b.Type, 129u);
    EXPECT_EQ(b.DataLength, 3u);
    EXPECT_EQ(b.UID, gateway().ivanUid());
    EXPECT_EQ(kylgw_AttrsToMode(&b), static_cast<mode_t>(S_IFREG | 0644));
    EXPECT_EQ(byName["b"]->ObjHandle.ObjId, diskStat(disk("d/b")).st_ino);
    EXPECT_EQ(byName["lnk"]->Attrs.Type, 130u);
    EXPECT_EQ(byName["sub"]->Attrs.Type, 132u);
    EXPECT_EQ(kylgw_AttrsToMode(&byName["sub"]->Attrs), static_cast<mode_t>(S_IFDIR | 0710));
    // "b" has no sidecar: the default class; "a" was made in class 4.
    EXPECT_EQ(b.COSId, nxtest::kDefaultCos);
    ASSERT_EQ(quor_ReadAttrs(dd, 0, 1, 1, &end, &next, e.data()), 1);
    EXPECT_STREQ(e[0].Name, "a");
    EXPECT_EQ(e[0].Attrs.COSId, 4u);
    EXPECT_EQ(end, 0u);

    // At and past the end: nothing, and the end flag.
    end = 0;
    EXPECT_EQ(quor_ReadAttrs(dd, 5, 2, 0, &end, &next, e.data()), 0);
    EXPECT_EQ(end, 1u);
    EXPECT_EQ(quor_ReadAttrs(dd, 1000, 2, 0, &end, &next, e.data()), 0);
    EXPECT_EQ(end, 1u);
    // Checked by the client.
    EXPECT_EQ(quor_ReadAttrs(dd, 0, 0, 0, &end, &next, e.data()), -22);
    EXPECT_EQ(quor_ReadAttrs(dd, 0, 1, 0, nullptr, &next, e.data()), -14);

    EXPECT_EQ(quor_Closedir(dd), 0);
    EXPECT_EQ(quor_Closedir(dd), -9);
    EXPECT_EQ(quor_ReadAttrs(dd, 0, 2, 0, &end, &next, e.data()), -9);

    // The listing is taken at open: an empty directory, a file, nothing.
    ASSERT_EQ(mkdir(disk("empty").c_str(), 0755), 0);
    dd = quor_Opendir(ns("empty").c_str());
    ASSERT_GE(dd, 0);
    end = 0;
    EXPECT_EQ(quor_ReadAttrs(dd, 0, 4, 1, &end, &next, e.data()), 0);
    EXPECT_EQ(end, 1u);
    EXPECT_EQ(quor_Closedir(dd), 0);
    EXPECT_EQ(quor_Opendir(ns("d/b").c_str()), -20);
    EXPECT_EQ(quor_Opendir(ns("none").c_str()), -2);
}

TEST_F(NxDirectories, FullPagesOfALargeDirectory)
{
    // 1100 entries: a page of the most one reply may carry, then the rest.
    constexpr int kEntries = 1100;
    ASSERT_EQ(mkdir(disk("big").c_str(), 0755), 0);
    std::vector<std::string> names;
    for (int i = 0; i < kEntries; i++) {
        char name[16];
        snprintf(name, sizeof name, "e%05d", i);
        names.push_back(name);
        makeFile(std::string("big/") + name, std::string(static_cast<size_t>(i % 7), 'z'));
    }
    int dd = quor_Opendir(ns("big").c_str());
    ASSERT_GE(dd, 0);
    std::vector<ns_DirEntry_t> e(KYLGW_MAX_DIRENTRIES);
    uint32_t end = 9;
    uint64_t next = 0;
    ASSERT_EQ(quor_ReadAttrs(dd, 0, KYLGW_MAX_DIRENTRIES, 1, &end, &next, e.data()),
              static_cast<int>(KYLGW_MAX_DIRENTRIES));
    EXPECT_EQ(end, 0u);
    EXPECT_EQ(next, KYLGW_MAX_DIRENTRIES);
    std::vector<std::string> seen;
    for (uint32_t i = 0; i < KYLGW_MAX_DIRENTRIES; i++) {
        seen.push_back(e[i].Name);
        EXPECT_EQ(e[i].Attrs.DataLength, i % 7) << e[i].Name;
    }
    int n = quor_ReadAttrs(dd, next, KYLGW_MAX_DIRENTRIES, 0, &end, &next, e.data());
    ASSERT_EQ(n, kEntries - static_cast<int>(KYLGW_MAX_DIRENTRIES));
    EXPECT_EQ(end, 1u);
    EXPECT_EQ(next, static_cast<uint64_t>(kEntries));
    for (int i = 0; i < n; i++)
        seen.push_back(e[static_cast<size_t>(i)].Name);
    EXPECT_EQ(seen, names);
    EXPECT_EQ(quor_ReadAttrs(dd, 0, KYLGW_MAX_DIRENTRIES + 1, 0, &end, &next, e.data()), -22);
    EXPECT_EQ(quor_Closedir(dd), 0);
}

class NxNames : public NxClientTest {};

TEST_F(NxNames, RenameCarriesTheSidecarAlong)
{
    quor_cos_hints_t hin;
    quor_cos_priorities_t pri;
    askForClass(8, &hin, &pri);
    int fd = quor_Open(ns("old").c_str(), O_WRONLY | O_CREAT, 0644, &hin, &pri, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(quor_Close(fd), 0);
    const ino_t ino = diskStat(disk("old")).st_ino;
    const std::string created = sidecar("old")["TimeCreated"];
    ASSERT_FALSE(created.empty());

    ASSERT_EQ(quor_Rename(ns("old").c_str(), ns("new").c_str()), 0);
    EXPECT_FALSE(exists(disk("old")));
    EXPECT_EQ(diskStat(disk("new")).st_ino, ino);
    EXPECT_FALSE(exists(sidecarPath("old")));
    auto meta = sidecar("new");
    EXPECT_EQ(meta["COSId"], "8");
    EXPECT_EQ(meta["TimeCreated"], created);
    quor_Attrs_t a = {};
    ASSERT_EQ(quor_GetListAttrs(ns("new").c_str(), &a), 0);
    EXPECT_EQ(a.COSId, 8u);

    // A directory takes the sidecars of what it holds along.
    ASSERT_EQ(quor_Mkdir(ns("dir").c_str(), 0755), 0);
    ASSERT_EQ(quor_Rename(ns("new").c_str(), ns("dir/inside").c_str()), 0);
    EXPECT_EQ(sidecar("dir/inside")["COSId"], "8");
    ASSERT_EQ(quor_Rename(ns("dir").c_str(), ns("moved").c_str()), 0);
    EXPECT_EQ(diskStat(disk("moved/inside")).st_ino, ino);
    EXPECT_EQ(sidecar("moved/inside")["COSId"], "8");
    EXPECT_TRUE(exists(sidecarPath("moved")));
    EXPECT_FALSE(exists(sidecarPath("dir")));
    EXPECT_FALSE(exists(gateway().metaPath() + ns("dir")));

    // Over an existing file: the renamed file's sidecar wins.
    askForClass(1, &hin, &pri);
    fd = quor_Open(ns("target").c_str(), O_WRONLY | O_CREAT, 0644, &hin, &pri, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(quor_Close(fd), 0);
    ASSERT_EQ(quor_Rename(ns("moved/inside").c_str(), ns("target").c_str()), 0);
    EXPECT_EQ(diskStat(disk("target")).st_ino, ino);
    EXPECT_EQ(sidecar("target")["COSId"], "8");

    // Onto itself: nothing changes, the sidecar stays.
    ASSERT_EQ(quor_Rename(ns("target").c_str(), ns("target").c_str()), 0);
    EXPECT_EQ(sidecar("target")["COSId"], "8");

    EXPECT_EQ(quor_Rename(ns("gone").c_str(), ns("x").c_str()), -2);
    EXPECT_FALSE(exists(disk("x")));
    EXPECT_EQ(quor_Rename(ns("target").c_str(), ns("nodir/x").c_str()), -2);
    EXPECT_TRUE(exists(disk("target")));
    EXPECT_EQ(quor_Rename(ns("target").c_str(), ""), -2);
    EXPECT_TRUE(exists(disk("target")));
}

TEST_F(NxNames, UnlinkRemovesTheSidecar)
{
    int fd = quor_Open(ns("f").c_str(), O_WRONLY | O_CREAT, 0644, nullptr, nullptr, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(quor_Close(fd), 0);
    ASSERT_TRUE(exists(sidecarPath("f")));
    ASSERT_EQ(quor_Unlink(ns("f").c_str()), 0);
    EXPECT_FALSE(exists(disk("f")));
    EXPECT_FALSE(exists(sidecarPath("f")));
    EXPECT_EQ(quor_Unlink(ns("f").c_str()), -2);

    // A link goes, its target stays.
    makeFile("target", "t");
    ASSERT_EQ(symlink("target", disk("lnk").c_str()), 0);
    ASSERT_EQ(quor_Unlink(ns("lnk").c_str()), 0);
    EXPECT_FALSE(exists(disk("lnk")));
    EXPECT_TRUE(exists(disk("target")));

    // An empty directory goes with its sidecar.
    ASSERT_EQ(quor_Mkdir(ns("d").c_str(), 0755), 0);
    ASSERT_TRUE(exists(sidecarPath("d")));
    ASSERT_EQ(quor_Unlink(ns("d").c_str()), 0);
    EXPECT_FALSE(exists(disk("d")));
    EXPECT_FALSE(exists(sidecarPath("d")));
    EXPECT_EQ(quor_Unlink(ns("nodir/f").c_str()), -2);

    // A directory that is not empty stays, and so do its sidecars.
    ASSERT_EQ(quor_Mkdir(ns("full").c_str(), 0755), 0);
    int inner = quor_Open(ns("full/inner").c_str(), O_WRONLY | O_CREAT, 0644, nullptr, nullptr, nullptr);
    ASSERT_GE(inner, 0);
    EXPECT_EQ(quor_Close(inner), 0);
    EXPECT_EQ(quor_Unlink(ns("full").c_str()), -39);
    EXPECT_TRUE(exists(disk("full/inner")));
    EXPECT_TRUE(exists(sidecarPath("full")));
    EXPECT_TRUE(exists(sidecarPath("full/inner")));
}

class NxAttributes : public NxClientTest {};

TEST_F(NxAttributes, FileAttributesAndObjectTypes)
{
    quor_cos_hints_t hin;
    quor_cos_priorities_t pri;
    askForClass(4, &hin, &pri);
    int fd = quor_Open(ns("f").c_str(), O_RDWR | O_CREAT, 04751, &hin, &pri, nullptr);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(quor_Fpreallocate(fd, 777), 0);
    EXPECT_EQ(quor_Close(fd), 0);
    struct stat on = diskStat(disk("f"));
    ASSERT_EQ(on.st_mode & 07777, 04751u & ~nxtest::kSiteUmask);

    quor_fileattr_t fa = {};
    ASSERT_EQ(quor_FileGetAttributes(ns("f").c_str(), &fa), 0);
    EXPECT_EQ(fa.ObjectHandle.ObjId, on.st_ino);
    EXPECT_EQ(fa.Attrs.Type, 129u);
    EXPECT_EQ(fa.Attrs.DataLength, 777u);
    EXPECT_EQ(fa.Attrs.COSId, 4u);
    EXPECT_EQ(fa.Attrs.Account, nxtest::kIvanDefaultAcct);
    EXPECT_EQ(fa.Attrs.UID, gateway().ivanUid());
    EXPECT_EQ(fa.Attrs.GID, gateway().ivanGid());
    EXPECT_EQ(std::to_string(fa.Attrs.TimeCreated), sidecar("f")["TimeCreated"]);
    EXPECT_EQ(kylgw_AttrsToMode(&fa.Attrs), on.st_mode);

    // Object types of GetListAttrs: a link is not followed.
    ASSERT_EQ(symlink("f", disk("lnk").c_str()), 0);
    quor_Attrs_t a = {};
    ASSERT_EQ(quor_GetListAttrs(ns("f").c_str(), &a), 0);
    EXPECT_EQ(a.Type, 129u);
    EXPECT_EQ(a.DataLength, 777u);
    ASSERT_EQ(quor_GetListAttrs(ns("lnk").c_str(), &a), 0);
    EXPECT_EQ(a.Type, 130u);
    EXPECT_EQ(kylgw_AttrsToMode(&a) & S_IFMT, static_cast<mode_t>(S_IFLNK));
    ASSERT_EQ(quor_GetListAttrs(ns().c_str(), &a), 0);
    EXPECT_EQ(a.Type, 132u);
    EXPECT_EQ(kylgw_AttrsToMode(&a), static_cast<mode_t>(S_IFDIR | 0755));
    EXPECT_EQ(quor_GetListAttrs(ns("none").c_str(), &a), -2);
    EXPECT_EQ(quor_FileGetAttributes(ns("none").c_str(), &fa), -2);
    // FileGetAttributes follows the link.
    ASSERT_EQ(quor_FileGetAttributes(ns("lnk").c_str(), &fa), 0);
    EXPECT_EQ(fa.ObjectHandle.ObjId, on.st_ino);
}

TEST_F(NxAttributes, StorageLevelsTellDiskFromTapeAndDataFromNone)
{
    quor_cos_hints_t hin;
    quor_cos_priorities_t pri;
    struct Case {
        const char *name;
        uint32_t cos;
        uint32_t width;
        uint64_t block;
        uint32_t diskFlag;
    } cases[] = {{"disk", 4, 4, nxtest::kMiB, 0x1}, {"tape", 8, 8, 768 * 1024, 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        askForClass(c.cos, &hin, &pri);
        int fd = quor_Open(ns(c.name).c_str(), O_RDWR | O_CREAT, 0644, &hin, &pri, nullptr);
        ASSERT_GE(fd, 0);
        quor_xfileattr_t xa = {};
        ASSERT_EQ(quor_FileGetXAttributes(ns(c.name).c_str(), 8, 0, &xa), 0);
        EXPECT_EQ(xa.Attrs.COSId, c.cos);
        EXPECT_EQ(xa.ObjectHandle.ObjId, diskStat(disk(c.name)).st_ino);
        const quor_levelattrs_t &l0 = xa.LevelAttrs[0];
        EXPECT_EQ(l0.Flags, c.diskFlag); // no data yet
        EXPECT_EQ(l0.BytesAtLevel, 0u);
        EXPECT_EQ(l0.StripeWidth, c.width);
        EXPECT_EQ(l0.StripeLength, c.width * c.block);
        EXPECT_EQ(l0.OptimumAccessSize, c.width * c.block);
        for (size_t i = 1; i < QUOR_MAX_LEVELS; i++) {
            EXPECT_EQ(xa.LevelAttrs[i].Flags, 0u) << i;
            EXPECT_EQ(xa.LevelAttrs[i].BytesAtLevel, 0u) << i;
            EXPECT_EQ(xa.LevelAttrs[i].NumberOfVVs, 0u) << i;
        }
        quor_FreeXAttributes(&xa);

        ASSERT_EQ(quor_Fpreallocate(fd, 4096), 0);
        ASSERT_EQ(quor_FileGetXAttributes(ns(c.name).c_str(), 8, 0, &xa), 0);
        EXPECT_EQ(xa.LevelAttrs[0].Flags, c.diskFlag | 0x4u);
        EXPECT_EQ(xa.LevelAttrs[0].BytesAtLevel, 4096u);
        EXPECT_EQ(xa.Attrs.DataLength, 4096u);
        quor_FreeXAttributes(&xa);
        EXPECT_EQ(quor_Close(fd), 0);
    }
    quor_xfileattr_t xa = {};
    EXPECT_EQ(quor_FileGetXAttributes(ns("none").c_str(), 8, 0, &xa), -2);
    quor_FreeXAttributes(&xa);
}

TEST_F(NxAttributes, SetAttributesChangesOnlyTheSelectedFamily)
{
    quor_cos_hints_t hin;
    quor_cos_priorities_t pri;
    askForClass(4, &hin, &pri);
    int fd = quor_Open(ns("f").c_str(), O_WRONLY | O_CREAT, 0644, &hin, &pri, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(quor_Close(fd), 0);
    auto before = sidecar("f");
    ASSERT_EQ(before["FamilyId"], "0");

    quor_fileattr_t in = {}, out = {};
    in.Attrs.FamilyId = 42;
    in.Attrs.COSId = 99; // not selected: stays
    in.Attrs.UID = 12345;
    ASSERT_EQ(quor_FileSetAttributes(ns("f").c_str(), QUOR_ATTRSEL_FAMILYID, &in, &out), 0);
    EXPECT_EQ(out.Attrs.FamilyId, 42u);
    EXPECT_EQ(out.Attrs.COSId, 4u);
    EXPECT_EQ(out.Attrs.UID, gateway().ivanUid());
    EXPECT_EQ(out.ObjectHandle.ObjId, diskStat(disk("f")).st_ino);
    auto after = sidecar("f");
    EXPECT_EQ(after["FamilyId"], "42");
    after["FamilyId"] = before["FamilyId"];
    EXPECT_EQ(after, before); // nothing else changed

    quor_Attrs_t a = {};
    ASSERT_EQ(quor_GetListAttrs(ns("f").c_str(), &a), 0);
    EXPECT_EQ(a.FamilyId, 42u);
    // A file with no sidecar gets one.
    makeFile("bare", "");
    ASSERT_FALSE(exists(sidecarPath("bare")));
    in.Attrs.FamilyId = 7;
    ASSERT_EQ(quor_FileSetAttributes(ns("bare").c_str(), QUOR_ATTRSEL_FAMILYID, &in, nullptr), 0);
    EXPECT_EQ(sidecar("bare")["FamilyId"], "7");
    EXPECT_EQ(sidecar("bare")["COSId"], std::to_string(nxtest::kDefaultCos));
    EXPECT_EQ(quor_FileSetAttributes(ns("none").c_str(), QUOR_ATTRSEL_FAMILYID, &in, &out), -2);
    EXPECT_FALSE(exists(sidecarPath("none")));
}

class NxConfinement : public NxClientTest {};

TEST_F(NxConfinement, DotDotAndSymlinksOutOfTheTreeAreRefused)
{
    const std::string outside = gateway().dir() + "/outside_" + name_;
    ASSERT_EQ(mkdir(outside.c_str(), 0777), 0);
    velktest::writeFile(outside + "/secret", "s");
    ASSERT_EQ(chmod((outside + "/secret").c_str(), 0666), 0);
    ASSERT_EQ(symlink(outside.c_str(), disk("abs").c_str()), 0);
    ASSERT_EQ(symlink("/", disk("slash").c_str()), 0);
    makeFile("f", "f");
    const std::string upAndOut = ns() + "/../../../../outside_" + name_;

    quor_stat_t st = {};
    // ".." above the root.
    EXPECT_EQ(quor_Stat((upAndOut + "/secret").c_str(), &st), -13);
    EXPECT_EQ(quor_Stat("/..", &st), -13);
    EXPECT_EQ(quor_Stat("../../../..", &st), -13);
    // An absolute link, and a link to "/" (which would be the tree's root
    // if followed as a chroot does, and the host's root otherwise).
    EXPECT_EQ(quor_Stat(ns("abs/secret").c_str(), &st), -13);
    EXPECT_EQ(quor_Stat(ns("abs").c_str(), &st), -13);
    EXPECT_EQ(quor_Stat(ns("slash/etc/passwd").c_str(), &st), -13);
    EXPECT_EQ(quor_Stat(ns("slash").c_str(), &st), -13);
    EXPECT_EQ(quor_Opendir(ns("slash").c_str()), -13);
    EXPECT_EQ(quor_Open(ns("abs/secret").c_str(), O_RDONLY, 0, nullptr, nullptr, nullptr), -13);
    lfx_Stat_rply_t lst = {};
    EXPECT_EQ(kylgw_LfxStat(ns("slash/etc/passwd").c_str(), &lst), -13);
    quor_Attrs_t a = {};
    EXPECT_EQ(quor_GetListAttrs(ns("abs/secret").c_str(), &a), -13);

    // Nothing is made, changed or removed outside.
    EXPECT_EQ(quor_Open(ns("abs/new").c_str(), O_WRONLY | O_CREAT, 0644, nullptr, nullptr, nullptr), -13);
    EXPECT_EQ(quor_Open((upAndOut + "/new2").c_str(), O_WRONLY | O_CREAT, 0644, nullptr, nullptr, nullptr), -13);
    EXPECT_EQ(quor_Mkdir(ns("slash/tmp/made").c_str(), 0755), -13);
    EXPECT_EQ(quor_Mkdir(ns("abs/made").c_str(), 0755), -13);
    EXPECT_EQ(kylgw_LfxMkdir(ns("abs/lfxmade").c_str(), 0755), -13);
    EXPECT_EQ(quor_Rename(ns("f").c_str(), ns("abs/f").c_str()), -13);
    EXPECT_EQ(quor_Rename(ns("abs/secret").c_str(), ns("stolen").c_str()), -13);
    EXPECT_EQ(quor_Unlink(ns("abs/secret").c_str()), -13);
    EXPECT_EQ(kylgw_LfxUnlink(ns("abs/secret").c_str()), -13);
    EXPECT_EQ(kylgw_UdaSetExpiration(ns("abs/secret").c_str(), 1), -13);
    quor_fileattr_t fa = {};
    EXPECT_EQ(quor_FileSetAttributes(ns("abs/secret").c_str(), QUOR_ATTRSEL_FAMILYID, &fa, nullptr), -13);
    EXPECT_EQ(velktest::readFile(outside + "/secret"), "s");
    std::vector<std::string> left;
    DIR *d = opendir(outside.c_str());
    ASSERT_NE(d, nullptr);
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            left.push_back(e->d_name);
    closedir(d);
    EXPECT_EQ(left, std::vector<std::string>{"secret"});
    EXPECT_TRUE(exists(disk("f")));
    EXPECT_FALSE(exists(disk("stolen")));

    // The links themselves can be looked at, and ".." inside the tree is fine.
    ASSERT_EQ(quor_Lstat(ns("slash").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(quor_Stat((ns("abs") + "/../f").c_str(), &st), 0);
    EXPECT_EQ(st.st_ino, diskStat(disk("f")).st_ino);
    ASSERT_EQ(quor_Stat("/home/ivan/../ivan/../../home/ivan", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

} // namespace
