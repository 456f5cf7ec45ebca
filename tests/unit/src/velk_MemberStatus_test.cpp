// Member transfer status: the CRC-32, outcomes and their overrides, and the
// removal of local files after a create, with and without paranoid checks.

#include <fcntl.h>
#include <sys/stat.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "velk_MemberFile.h"
#include "velk_MemberPrefetch.h"
#include "velk_unit_fixture.h"

namespace {

TEST(Checksum, PublishedCheckValuesInAnySplit)
{
    const std::string fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(velkunit::crcOf(""), 0u);
    EXPECT_EQ(velkunit::crcOf("abc"), 0x352441C2u);
    EXPECT_EQ(velkunit::crcOf("123456789"), 0xCBF43926u);
    EXPECT_EQ(velkunit::crcOf(std::string(1, '\0')), 0xD202EF8Du);
    for (size_t cut = 0; cut <= fox.size(); cut++) {
        uint32_t crc;
        velk_ChecksumInit(&crc);
        velk_ChecksumBuffer(fox.data(), cut, &crc);
        velk_ChecksumBuffer(fox.data() + cut, fox.size() - cut, &crc);
        EXPECT_EQ(velk_ChecksumFinalize(&crc), 0x414FA339u) << "cut at " << cut;
    }
}

class MemberStatusTest : public ::testing::Test {
protected:
    velkunit::RunGlobals globals_;
};

TEST_F(MemberStatusTest, OutcomesOverridesAndTheCrcTable)
{
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_InitMemberFileLists(4, 5), -1);  // no members in the range
        EXPECT_EQ(velk_exit_code.load(), 64);
    }
    velk_exit_code.store(0);
    ASSERT_EQ(velk_InitMemberFileLists(3, 0), 0);
    const std::pair<int64_t, int> reports[] = {{0, 0}, {0, 1}, {1, 1}, {1, 0}, {3, 1}};  // 3: the consistency file
    for (auto [ordinal, success] : reports)
        ASSERT_EQ(velk_SetMemberFileXferSuccess(ordinal, success), 0);
    EXPECT_EQ(velk_SetMemberFileXferCRC(1, 0xCBF43926u), 0);
    velk_FinalizeMemberLists();
    EXPECT_EQ(velk_GetMemberFileXferSuccess(0), 0);  // 0: transferred
    EXPECT_EQ(velk_GetMemberFileXferSuccess(1), 1);
    EXPECT_EQ(velk_GetMemberFileXferSuccess(3), 0);
    {
        velktest::OutputCapture cap;  // unreported: failed
        EXPECT_EQ(velk_GetMemberFileXferSuccess(2), 1);
    }
    EXPECT_EQ(velk_GetMemberFileXferCRC(1), 0u);  // no table without -H crc
    int64_t ok = -1, failed = -1;
    velk_GetMemberFileXferSummary(&ok, &failed);
    EXPECT_EQ(ok, 3);  // every report counts
    EXPECT_EQ(failed, 2);
    EXPECT_EQ(velk_exit_code.load(), 0);

    velk_option_flags = VELK_OPT_CRC;
    ASSERT_EQ(velk_InitMemberFileLists(2, 0), 0);  // starts from nothing
    velk_GetMemberFileXferSummary(&ok, &failed);
    EXPECT_EQ(ok + failed, 0);
    EXPECT_EQ(velk_SetMemberFileXferCRC(1, 0xCBF43926u), 0);
    EXPECT_EQ(velk_SetMemberFileXferCRC(2, 0x352441C2u), 0);
    EXPECT_EQ(velk_GetMemberFileXferCRC(0), 0u);
    EXPECT_EQ(velk_GetMemberFileXferCRC(1), 0xCBF43926u);
    EXPECT_EQ(velk_GetMemberFileXferCRC(2), 0x352441C2u);
}

// Index entry ordinals find the records they were made from, past records
// that made no entry (a directory operand's "/" does not matter), in the
// writers' ascending order and also out of it.
TEST_F(MemberStatusTest, EntriesFindTheirRecordsPastOnesThatMadeNoEntry)
{
    const char *names[] = {"a", "omitted", "dir/", "dir/b", "omitted2", "dir/c", "listonly"};
    std::vector<velk_FileSpec_t> records(7);
    for (int i = 0; i < 7; i++) {
        records[i].filename = const_cast<char *>(names[i]);
        records[i].haveStatInfo = i != 6;
    }
    velk_SetMemberRecords(records.data(), 7);
    // Entries: a, dir, dir/b, dir/c, then one not from the table.
    // A record whose name only starts the path ("a" for "ab") is not it.
    const std::pair<int64_t, const char *> lookups[] = {{0, "a"},       {1, "dir"},      {2, "dir/b"}, {3, "dir/c"},
                                                        {4, "/tmp/cf"}, {4, "listonly"}, {1, "dir"},   {3, "dir/c"},
                                                        {0, "ab"}};
    const int want[] = {0, 2, 3, 5, -1, -1, 2, 5, -1};
    for (int k = 0; k < 9; k++) {
        const velk_FileSpec_t *rec = velk_FindMemberRecord(lookups[k].first, lookups[k].second);
        EXPECT_EQ(rec == nullptr ? -1 : static_cast<int>(rec - records.data()), want[k]) << k;
    }
}

// An identity matches only the unchanged object: a change of any one field
// it records, to the nanosecond, breaks the match.
TEST(MemberIdentity, EveryRecordedFieldMustBeUnchanged)
{
    struct stat st {};
    st.st_mode = S_IFREG | 0644;
    st.st_dev = 5;
    st.st_ino = 7;
    st.st_size = 100;
    st.st_mtim = {1000, 500};
    st.st_ctim = {2000, 600};
    velk_MemberIdentity_t id;
    velk_IdentityFromStat(&st, 0, &id);
    EXPECT_TRUE(velk_IdentityMatches(&id, &st));
    void (*changes[])(struct stat *) = {
        [](struct stat *c) { c->st_dev++; },         [](struct stat *c) { c->st_ino++; },
        [](struct stat *c) { c->st_size++; },        [](struct stat *c) { c->st_mode = S_IFLNK | 0777; },
        [](struct stat *c) { c->st_mtim.tv_sec++; }, [](struct stat *c) { c->st_mtim.tv_nsec++; },
        [](struct stat *c) { c->st_ctim.tv_sec++; }, [](struct stat *c) { c->st_ctim.tv_nsec++; },
    };
    for (size_t i = 0; i < std::size(changes); i++) {
        struct stat changed = st;
        changes[i](&changed);
        EXPECT_FALSE(velk_IdentityMatches(&id, &changed)) << "change " << i;
    }
}

// Removal of archived local files: a scratch tree, an index of it made by
// the index routines, outcomes and identities recorded as the writers record
// them, then changes after the copy.
TEST_F(MemberStatusTest, RemovesOnlyWhatWasArchivedWholeAndIsUnchanged)
{
    velkunit::InScratchDir dir;
    const char *changed = "changed since archived", *viaLink = "reached through a symbolic link";
    struct File {
        const char *name;
        bool gone, goneParanoid;
        const char *why; // message of a file kept although its member succeeded
    } files[] = {
        {"good", true, true, nullptr},        {"failed", false, false, nullptr},
        {"missing", false, false, nullptr},   {"phantom", false, false, nullptr},
        {"nowdir", false, false, changed},    {"touched", false, false, changed},
        {"grown", false, false, changed},     {"chmodded", false, false, changed},
        {"link", true, true, nullptr},        {"nowlink", false, false, viaLink},
        {"sub/f", false, false, viaLink},     {"listedolder", true, false, nullptr},
        {"unrecorded", false, false, "not archived whole"}, {"unreported", false, false, nullptr},
    };
    const int n = sizeof files / sizeof files[0];
    for (bool paranoid : {false, true}) {
        SCOPED_TRACE(paranoid ? "paranoid" : "plain");
        std::string round = paranoid ? "p/" : "r/";
        for (const char *d : {"", "sub", "outside"})
            ASSERT_EQ(mkdir((round + d).c_str(), 0755), 0);
        velktest::writeFile(round + "outside/f", "not a member");
        std::vector<std::string> paths;
        for (const File &f : files) {
            paths.push_back(round + f.name);
            if (strcmp(f.name, "link") == 0)
                ASSERT_EQ(symlink("outside/f", paths.back().c_str()), 0);
            else
                velktest::writeFile(paths.back(), f.name);
        }
        std::vector<velk_FileSpec_t> records;
        std::vector<hif_entry_t> entries(n);
        for (int i = 0; i < n; i++) {
            records.push_back(velkunit::memberFromLstat(paths[i]));
            ASSERT_EQ(velk_IndexFromFileSpec(i, &records[i], &entries[i]), 0);
        }
        velk_Put32(entries[3].hent_flags, HIF_FLAG_PHANTOM | HIF_FLAG_DELETED);
        // Modified after it was listed, before its copy: only paranoid sees it.
        velk_Put32(entries[11].hent_mtime, velk_Get32(entries[11].hent_mtime) - 100);
        int fd = open((round + "members.idx").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        velk_index_entries = n;
        velk_BuildIndexHeader(&globals_.run.index);
        ASSERT_EQ(velk_WriteIndexHeader(fd, VELK_LOCAL_FILE, "members.idx", &velk_index_hdr), 0);
        ASSERT_EQ(write(fd, entries.data(), n * 512), n * 512);
        velk_option_flags = VELK_OPT_RMLOCAL;
        ASSERT_EQ(velk_InitMemberFileLists(n, 0), 0);
        for (int i = 0; i < n; i++) {
            if (i != n - 1) {
                ASSERT_EQ(velk_SetMemberFileXferSuccess(i, i == 1 ? 0 : 1), 0);
            }
            struct stat opened;
            int member = records[i].objectType == VTO_FILE ? velk_OpenMemberFile(&records[i], paths[i].c_str(), &opened) : -1;
            if (member >= 0 && i != 12)
                EXPECT_EQ(velk_MemberFileCopied(i, &records[i], paths[i].c_str(), member, &opened, records[i].size, true), 0);
            else if (member < 0)
                velk_MemberLinkCopied(i, &records[i]);
            close(member);
        }
        ASSERT_EQ(velk_SetMissingMemberFile(2), 0);
        velk_FinalizeMemberLists();

        // Changes after the copy.
        ASSERT_EQ(unlink((round + "nowdir").c_str()), 0);
        ASSERT_EQ(mkdir((round + "nowdir").c_str(), 0755), 0);
        struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 1000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (round + "touched").c_str(), later, 0), 0);
        struct stat st;
        ASSERT_EQ(stat((round + "grown").c_str(), &st), 0);
        velktest::writeFile(round + "grown", "grows later, by a few bytes");
        struct timespec keep[2] = {{0, UTIME_OMIT}, st.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, (round + "grown").c_str(), keep, 0), 0);
        ASSERT_EQ(chmod((round + "chmodded").c_str(), 0600), 0);
        ASSERT_EQ(unlink((round + "nowlink").c_str()), 0);
        ASSERT_EQ(symlink("outside/f", (round + "nowlink").c_str()), 0);
        // The member's directory becomes a link to one outside the tree that
        // holds a file of the same name.
        ASSERT_EQ(rename((round + "sub").c_str(), (round + "sub.moved").c_str()), 0);
        ASSERT_EQ(symlink("outside", (round + "sub").c_str()), 0);

        globals_.run.verifyFlags = paranoid ? VELK_VERIFY_PARANOID : 0;
        velk_exit_code.store(0);
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_RemoveMemberFiles(&globals_.run, fd, VELK_LOCAL_FILE), 0);
        close(fd);
        std::string err = cap.err();
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
        EXPECT_EQ(velktest::readFile(round + "outside/f"), "not a member");
        for (int i = 0; i < n; i++) {
            struct stat ls;
            EXPECT_EQ(lstat(paths[i].c_str(), &ls) == 0, !(paranoid ? files[i].goneParanoid : files[i].gone)) << paths[i];
            if (files[i].why != nullptr) {
                EXPECT_TRUE(velkunit::contains(err, paths[i] + ": " + files[i].why + " - not removed\n")) << err;
            }
        }
    }
}

// Members opened one after another keep their directory open: each is still
// the file of its own directory, and a directory that becomes a link after
// it was walked never leads outside the tree.
TEST_F(MemberStatusTest, MembersOfOneDirectoryShareItsWalk)
{
    velkunit::InScratchDir dir;
    for (const char *d : {"a", "b", "outside"})
        ASSERT_EQ(mkdir(d, 0755), 0);
    const std::vector<std::string> paths = {"a/f", "a/g", "b/f", "a/f", "outside/g"};
    for (const std::string &p : paths)
        velktest::writeFile(p, "content of " + p);
    std::vector<velk_FileSpec_t> records;
    for (const std::string &p : paths)
        records.push_back(velkunit::memberFromLstat(p));
    velk_member_dir_t dirs;
    velk_MemberDirInit(&dirs);
    auto opened = [&](size_t i) {
        struct stat st;
        int fd = velk_OpenMemberFileIn(&dirs, &records[i], paths[i].c_str(), &st);
        if (fd < 0)
            return std::string("error");
        char buf[64] = {};
        ssize_t n = read(fd, buf, sizeof buf - 1);
        close(fd);
        return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
    };
    for (size_t i = 0; i < 4; i++)
        EXPECT_EQ(opened(i), "content of " + paths[i]) << paths[i];
    // "a" is walked last; it moves away and a link to "outside" takes its name.
    ASSERT_EQ(rename("a", "a.moved"), 0);
    ASSERT_EQ(symlink("outside", "a"), 0);
    velk_FileSpec_t outsider = records[4];
    outsider.filename = const_cast<char *>("a/g");
    records.push_back(outsider);
    velktest::OutputCapture cap;
    struct stat st;
    int fd = velk_OpenMemberFileIn(&dirs, &records[5], "a/g", &st);
    EXPECT_EQ(fd, VELK_MEMBER_CHANGED); // the walked directory has no such file
    EXPECT_EQ(opened(1), "content of a/g"); // the listed file, where it was walked
    velk_MemberDirClose(&dirs);
    EXPECT_EQ(opened(1), "error"); // walked anew: the link is refused
    EXPECT_EQ(dirs.fd, -1);
}

// The look-ahead asks for a file's data only when they are not in memory,
// and never opens what is not a regular file with data.
TEST(MemberPrefetch, ProbeAsksOnlyForFilesNotInMemory)
{
    velkunit::InScratchDir dir;
    velktest::writeFile("data", std::string(20000, 'x'));
    velktest::writeFile("empty", "");
    ASSERT_EQ(symlink("data", "link"), 0);
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    for (const char *name : {"empty", "link", "fifo", "missing"})
        EXPECT_EQ(velk_MemberPrefetchProbe(name), VELK_PREFETCH_NONE) << name;
    EXPECT_EQ(velk_MemberPrefetchProbe("data"), VELK_PREFETCH_RESIDENT); // just written
    int fd = open("data", O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fsync(fd), 0);
    ASSERT_EQ(posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED), 0);
    close(fd);
    struct statfs fs;
    ASSERT_EQ(statfs(".", &fs), 0);
    if (fs.f_type != TMPFS_MAGIC) { // a memory file system keeps its files
        EXPECT_EQ(velk_MemberPrefetchProbe("data"), VELK_PREFETCH_ASKED);
    }
}

} // namespace
