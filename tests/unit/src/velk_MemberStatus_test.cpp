// Member transfer status: the CRC-32 against published check values and
// across buffer splits, outcomes and their overrides, the missing list
// (duplicates, growth past one step, failed on every query), unreported
// members and their limited messages, ordinals outside the tables, reports
// from several threads, and the removal of local files after a create with
// and without the paranoid checks.

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_MemberStatus.h"
#include "velk_RemoveLocal.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"
#include "velk_unit_fixture.h"

namespace {

size_t countOf(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        n++;
    return n;
}

class MemberStatusTest : public ::testing::Test {
protected:
    velkunit::RunGlobals globals_;
};

// ---------------------------------------------------------------------------
// CRC-32.
// ---------------------------------------------------------------------------

uint32_t crcOf(const std::string &s)
{
    uint32_t crc;
    velk_ChecksumInit(&crc);
    velk_ChecksumBuffer(s.data(), s.size(), &crc);
    return velk_ChecksumFinalize(&crc);
}

TEST(ChecksumTest, PublishedCheckValues)
{
    EXPECT_EQ(crcOf(""), 0u);
    EXPECT_EQ(crcOf("abc"), 0x352441C2u);
    EXPECT_EQ(crcOf("123456789"), 0xCBF43926u);
    EXPECT_EQ(crcOf("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
    EXPECT_EQ(crcOf(std::string(1, '\0')), 0xD202EF8Du);
}

TEST(ChecksumTest, AnySplitIntoBuffersGivesTheSameValue)
{
    const std::string text = "The quick brown fox jumps over the lazy dog";
    for (size_t cut = 0; cut <= text.size(); cut++) {
        uint32_t crc;
        velk_ChecksumInit(&crc);
        velk_ChecksumBuffer(text.data(), cut, &crc);
        velk_ChecksumBuffer(text.data() + cut, text.size() - cut, &crc);
        EXPECT_EQ(velk_ChecksumFinalize(&crc), 0x414FA339u) << "cut at " << cut;
    }
    uint32_t crc;
    velk_ChecksumInit(&crc);
    for (char c : text)
        velk_ChecksumBuffer(&c, 1, &crc);
    EXPECT_EQ(velk_ChecksumFinalize(&crc), 0x414FA339u);

    // A large buffer in uneven pieces, the way transfer buffers arrive.
    std::vector<unsigned char> big(3 * 1024 * 1024 + 17);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
    uint32_t whole;
    velk_ChecksumInit(&whole);
    velk_ChecksumBuffer(big.data(), big.size(), &whole);
    uint32_t pieces;
    velk_ChecksumInit(&pieces);
    size_t done = 0, step = 1;
    while (done < big.size()) {
        size_t n = std::min(step, big.size() - done);
        velk_ChecksumBuffer(big.data() + done, n, &pieces);
        done += n;
        step = step * 3 + 7;
    }
    EXPECT_EQ(velk_ChecksumFinalize(&pieces), velk_ChecksumFinalize(&whole));
    EXPECT_NE(whole, 0u);
}

// ---------------------------------------------------------------------------
// Outcomes.
// ---------------------------------------------------------------------------

TEST_F(MemberStatusTest, InitRefusesARangeWithoutMembers)
{
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_InitMemberFileLists(4, 5), -1);
    EXPECT_NE(cap.err().find("ERROR: Internal error - max file entries (5) <= base index offset (5)"),
              std::string::npos)
        << cap.err();
    EXPECT_EQ(velk_exit_code.load(), 64);
}

TEST_F(MemberStatusTest, LaterReportsOverrideAndEveryReportCounts)
{
    ASSERT_EQ(velk_InitMemberFileLists(3, 0), 0);
    ASSERT_EQ(velk_SetMemberFileXferSuccess(0, 0), 0);
    ASSERT_EQ(velk_SetMemberFileXferSuccess(0, 1), 0);
    ASSERT_EQ(velk_SetMemberFileXferSuccess(1, 1), 0);
    ASSERT_EQ(velk_SetMemberFileXferSuccess(1, 0), 0);
    ASSERT_EQ(velk_SetMemberFileXferSuccess(3, 1), 0);  // the consistency file's ordinal
    velk_FinalizeMemberLists();
    EXPECT_EQ(velk_GetMemberFileXferSuccess(0), 0);
    EXPECT_EQ(velk_GetMemberFileXferSuccess(1), 1);
    EXPECT_EQ(velk_GetMemberFileXferSuccess(3), 0);
    int64_t ok = -1, failed = -1;
    velk_GetMemberFileXferSummary(&ok, &failed);
    EXPECT_EQ(ok, 3);
    EXPECT_EQ(failed, 2);
    EXPECT_EQ(velk_exit_code.load(), 0);

    // A new init starts from nothing.
    ASSERT_EQ(velk_InitMemberFileLists(3, 0), 0);
    velk_GetMemberFileXferSummary(&ok, &failed);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(failed, 0);
}

TEST_F(MemberStatusTest, CrcTableExistsOnlyWithCrcOption)
{
    ASSERT_EQ(velk_InitMemberFileLists(2, 0), 0);
    EXPECT_EQ(velk_SetMemberFileXferCRC(1, 0xCBF43926u), 0);
    EXPECT_EQ(velk_GetMemberFileXferCRC(1), 0u);

    velk_option_flags = VELK_OPT_CRC;
    ASSERT_EQ(velk_InitMemberFileLists(2, 0), 0);
    EXPECT_EQ(velk_SetMemberFileXferCRC(1, 0xCBF43926u), 0);
    EXPECT_EQ(velk_SetMemberFileXferCRC(2, 0x352441C2u), 0);
    EXPECT_EQ(velk_GetMemberFileXferCRC(0), 0u);
    EXPECT_EQ(velk_GetMemberFileXferCRC(1), 0xCBF43926u);
    EXPECT_EQ(velk_GetMemberFileXferCRC(2), 0x352441C2u);
}

TEST_F(MemberStatusTest, MissingMembersFailOnEveryQueryInAnyOrder)
{
    ASSERT_EQ(velk_InitMemberFileLists(200, 0), 0);
    // Reported in descending order, each twice, interleaved with outcomes:
    // 130 entries make the list grow past its first steps of 50.
    for (int64_t i = 199; i >= 70; i--) {
        ASSERT_EQ(velk_SetMissingMemberFile(i), 0);
        ASSERT_EQ(velk_SetMemberFileXferSuccess(i, 0), 0);
    }
    {
        velk_debug_level = 2;
        velktest::OutputCapture cap;
        ASSERT_EQ(velk_SetMissingMemberFile(150), 0);
        ASSERT_EQ(velk_SetMissingMemberFile(5), 0);
        velk_debug_level = 0;
        EXPECT_NE(cap.err().find("/debug/found existing index entry 150 in <missing file> list at inx=49\n"),
                  std::string::npos)
            << cap.err();
        EXPECT_NE(cap.err().find("/debug/adding index entry 5 to <missing file> list at table inx=130\n"),
                  std::string::npos)
            << cap.err();
    }
    for (int64_t i = 0; i < 70; i++)
        ASSERT_EQ(velk_SetMemberFileXferSuccess(i, 1), 0);
    // A success reported after the member was listed missing does not make
    // its zero-filled data good.
    ASSERT_EQ(velk_SetMemberFileXferSuccess(5, 1), 0);
    ASSERT_EQ(velk_SetMemberFileXferSuccess(180, 1), 0);

    // Before and after the list is sorted, forwards, backwards, twice.
    for (int pass = 0; pass < 2; pass++) {
        for (int64_t i = 0; i < 200; i++)
            EXPECT_EQ(velk_GetMemberFileXferSuccess(i), (i == 5 || i >= 70) ? 1 : 0) << i << " pass " << pass;
        for (int64_t i = 199; i >= 0; i--)
            EXPECT_EQ(velk_GetMemberFileXferSuccess(i), (i == 5 || i >= 70) ? 1 : 0) << i << " pass " << pass;
        velk_FinalizeMemberLists();
    }
    EXPECT_EQ(velk_exit_code.load(), 0);
}

TEST_F(MemberStatusTest, UnreportedMembersAreFailedWithLimitedMessages)
{
    ASSERT_EQ(velk_InitMemberFileLists(60, 0), 0);
    ASSERT_EQ(velk_SetMemberFileXferSuccess(10, 1), 0);
    velk_FinalizeMemberLists();
    velktest::OutputCapture cap;
    for (int64_t i = 0; i <= 60; i++)
        EXPECT_EQ(velk_GetMemberFileXferSuccess(i), i == 10 ? 0 : 1) << i;
    // A second pass answers the same and stays silent.
    for (int64_t i = 0; i <= 60; i++)
        EXPECT_EQ(velk_GetMemberFileXferSuccess(i), i == 10 ? 0 : 1) << i;
    std::string out = cap.out();
    EXPECT_EQ(countOf(out, "xfer status not set!"), 49u);
    EXPECT_NE(out.find("INFO: velk_GetMemberFileXferSuccess: internal error - index entry 0 - xfer status not set!"),
              std::string::npos);
    EXPECT_NE(out.find("index entry 49 - xfer status not set!"), std::string::npos);
    EXPECT_EQ(out.find("index entry 50 - xfer status not set!"), std::string::npos);
    EXPECT_EQ(countOf(out, "too many errors"), 1u);
    EXPECT_NE(out.find("INFO: velk_GetMemberFileXferSuccess:  too many errors - "
                       "errors after index entry 50 not listed"),
              std::string::npos)
        << out;
}

TEST_F(MemberStatusTest, OrdinalsOutsideTheTablesFailWithoutEndingTheRun)
{
    velk_option_flags = VELK_OPT_CRC;
    ASSERT_EQ(velk_InitMemberFileLists(10, 5), 0);  // ordinals 5 .. 10
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_SetMemberFileXferSuccess(11, 1), -1);
    EXPECT_EQ(velk_SetMemberFileXferSuccess(4, 1), -1);
    EXPECT_EQ(velk_SetMissingMemberFile(11), -EINVAL);
    EXPECT_EQ(velk_SetMemberFileXferCRC(-1, 7), -1);
    EXPECT_EQ(velk_GetMemberFileXferSuccess(4), 1);
    EXPECT_EQ(velk_GetMemberFileXferCRC(11), 0u);
    std::string out = cap.out();
    EXPECT_NE(out.find("Bad index value 11 [min: 5,max: 11"), std::string::npos) << out;
    EXPECT_NE(out.find("Bad index value 4 [min: 5,max: 11"), std::string::npos) << out;
    EXPECT_NE(out.find("Bad index value -1 [min: 5,max: 11"), std::string::npos) << out;
    EXPECT_EQ(countOf(out, "internal error at line"), 6u);
    EXPECT_EQ(velk_exit_code.load(), 1);
    // Nothing was recorded by the refused calls; the covered ordinals work.
    int64_t ok = -1, failed = -1;
    velk_GetMemberFileXferSummary(&ok, &failed);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(velk_SetMemberFileXferSuccess(5, 1), 0);
    EXPECT_EQ(velk_SetMemberFileXferSuccess(10, 1), 0);
    EXPECT_EQ(velk_GetMemberFileXferSuccess(5), 0);
    EXPECT_EQ(velk_GetMemberFileXferSuccess(10), 0);

    // Without tables every ordinal is outside them.
    velk_ReleaseMemberFileLists();
    velktest::OutputCapture cap2;
    EXPECT_EQ(velk_GetMemberFileXferSuccess(0), 1);
    EXPECT_NE(cap2.out().find("Bad index value 0 [min: 0,max: 0"), std::string::npos);
}

TEST_F(MemberStatusTest, ReportsFromSeveralThreads)
{
    constexpr int kThreads = 8;
    constexpr int64_t kMembers = 4000;
    velk_option_flags = VELK_OPT_CRC;
    ASSERT_EQ(velk_InitMemberFileLists(kMembers, 0), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++) {
        threads.emplace_back([t] {
            for (int64_t i = t; i < kMembers; i += kThreads) {
                if (i % 5 == 0) {
                    (void)velk_SetMissingMemberFile(i);
                    (void)velk_SetMemberFileXferSuccess(i, 0);
                } else if (i % 5 == 1) {
                    (void)velk_SetMemberFileXferSuccess(i, 0);
                } else {
                    (void)velk_SetMemberFileXferCRC(i, static_cast<uint32_t>(i * 7));
                    (void)velk_SetMemberFileXferSuccess(i, 1);
                }
            }
        });
    }
    // The initial thread reads while the reports come in.
    for (int k = 0; k < 100; k++) {
        int64_t ok = 0, failed = 0;
        velk_GetMemberFileXferSummary(&ok, &failed);
        EXPECT_LE(ok + failed, kMembers);
    }
    for (auto &th : threads)
        th.join();
    velk_FinalizeMemberLists();
    int64_t ok = 0, failed = 0;
    velk_GetMemberFileXferSummary(&ok, &failed);
    EXPECT_EQ(ok, kMembers * 3 / 5);
    EXPECT_EQ(failed, kMembers * 2 / 5);
    for (int64_t i = 0; i < kMembers; i++) {
        ASSERT_EQ(velk_GetMemberFileXferSuccess(i), i % 5 <= 1 ? 1 : 0) << i;
        if (i % 5 > 1) {
            ASSERT_EQ(velk_GetMemberFileXferCRC(i), static_cast<uint32_t>(i * 7)) << i;
        }
    }
}

// ---------------------------------------------------------------------------
// Removing local files.
// ---------------------------------------------------------------------------

// A scratch tree of member files, an index of them made by the index
// routines, and the outcomes recorded for them.  The test runs inside the
// tree so that the stored paths are short and relative.
class RemoveMemberFilesTest : public MemberStatusTest {
protected:
    void TearDown() override
    {
        if (indexFd_ >= 0)
            close(indexFd_);
    }

    // Appends the index entry of path as it is now (type from lstat).
    hif_entry_t &add(const std::string &path)
    {
        velk_FileSpec_t member = velkunit::memberFromLstat(path);
        entries_.emplace_back();
        EXPECT_EQ(velk_IndexFromFileSpec(static_cast<int64_t>(entries_.size() - 1), &member, &entries_.back()), 0);
        velk_archive_blocks += velk_Get32(entries_.back().hent_blocks);
        return entries_.back();
    }

    void writeIndex()
    {
        std::string path = dir_ / "members.idx";
        indexFd_ = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(indexFd_, 0);
        velk_index_entries = static_cast<int64_t>(entries_.size());
        memset(&velk_index_hdr, 0, sizeof velk_index_hdr);
        velk_BuildIndexHeader();
        ASSERT_EQ(velk_WriteIndexHeader(indexFd_, VELK_LOCAL_FILE, path.c_str(), &velk_index_hdr), 0);
        for (const hif_entry_t &e : entries_)
            ASSERT_EQ(write(indexFd_, &e, sizeof e), static_cast<ssize_t>(sizeof e));
    }

    static bool exists(const std::string &path)
    {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }
    static bool isDir(const std::string &path)
    {
        struct stat st;
        return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    // Builds the tree, the index and the outcomes, changes some files after
    // indexing and runs the removal.  Returns what it printed.
    std::string buildAndRemove()
    {
        velktest::writeFile("good", "good data");
        velktest::writeFile("failed", "failed data");
        velktest::writeFile("missing", "missing data");
        velktest::writeFile("phantom", "phantom data");
        velktest::writeFile("nowdir", "replaced by a directory");
        velktest::writeFile("touched", "touched later");
        velktest::writeFile("grown", "grows later");
        velktest::writeFile("chmodded", "status changes later");
        velktest::writeFile("target", "link target");
        EXPECT_EQ(symlink("target", "link"), 0);
        velktest::writeFile("nowlink", "becomes a symlink");
        EXPECT_EQ(mkdir("subdir", 0755), 0);
        velktest::writeFile("unreported", "nobody reports this one");

        add("good");                                  // 0
        add("failed");                                // 1
        add("missing");                               // 2
        hif_entry_t &ph = add("phantom");             // 3
        velk_Put32(ph.hent_flags, HIF_FLAG_PHANTOM | HIF_FLAG_DELETED);
        add("nowdir");                                // 4
        add("touched");                               // 5
        add("grown");                                 // 6
        hif_entry_t &ch = add("chmodded");            // 7
        // The entry was made before the status change: an earlier ctime.
        velk_Put32(ch.hent_ctime, velk_Get32(ch.hent_ctime) - 100);
        add("link");                                  // 8
        add("nowlink");                               // 9
        add("subdir");                                // 10
        add("unreported");                            // 11
        writeIndex();

        EXPECT_EQ(velk_InitMemberFileLists(static_cast<int64_t>(entries_.size()), 0), 0);
        for (int64_t i = 0; i <= 10; i++)
            EXPECT_EQ(velk_SetMemberFileXferSuccess(i, i == 1 ? 0 : 1), 0);
        EXPECT_EQ(velk_SetMissingMemberFile(2), 0);
        velk_FinalizeMemberLists();

        // Changes after the archive was written.
        EXPECT_EQ(unlink("nowdir"), 0);
        EXPECT_EQ(mkdir("nowdir", 0755), 0);
        struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 1000, 0}};
        EXPECT_EQ(utimensat(AT_FDCWD, "touched", later, 0), 0);
        struct stat st;
        EXPECT_EQ(stat("grown", &st), 0);
        velktest::writeFile("grown", "grows later, by a few bytes");
        struct timespec keep[2] = {{0, UTIME_OMIT}, st.st_mtim};
        EXPECT_EQ(utimensat(AT_FDCWD, "grown", keep, 0), 0);  // only the size tells
        EXPECT_EQ(chmod("chmodded", 0600), 0);
        EXPECT_EQ(unlink("nowlink"), 0);
        EXPECT_EQ(symlink("target", "nowlink"), 0);

        velktest::OutputCapture cap;
        EXPECT_EQ(velk_RemoveMemberFiles(indexFd_, VELK_LOCAL_FILE), 0);
        return cap.out() + cap.err();
    }

    velkunit::InScratchDir dir_;
    std::vector<hif_entry_t> entries_;
    int indexFd_ = -1;
};

TEST_F(RemoveMemberFilesTest, RemovesOnlyWhatWasArchivedWhole)
{
    velk_debug_level = 1;
    std::string out = buildAndRemove();
    EXPECT_FALSE(exists("good"));
    EXPECT_TRUE(exists("failed"));
    EXPECT_TRUE(exists("missing"));
    EXPECT_TRUE(exists("phantom"));
    EXPECT_TRUE(isDir("nowdir"));
    EXPECT_NE(out.find("INFO: velk_RemoveMemberFiles: nowdir skipped - was a regular file, but now is a directory"),
              std::string::npos)
        << out;
    // Without paranoid, later changes do not keep a file.
    EXPECT_FALSE(exists("touched"));
    EXPECT_FALSE(exists("grown"));
    EXPECT_FALSE(exists("chmodded"));
    EXPECT_FALSE(exists("nowlink"));
    // The link goes, its target stays; directories are never removed.
    EXPECT_FALSE(exists("link"));
    EXPECT_TRUE(exists("target"));
    EXPECT_TRUE(isDir("subdir"));
    EXPECT_TRUE(exists("unreported"));
    EXPECT_NE(out.find("/debug/positioning index file to entry 0\n"), std::string::npos) << out;
}

TEST_F(RemoveMemberFilesTest, ParanoidKeepsFilesChangedSinceTheyWereIndexed)
{
    velk_verify_flags = VELK_VERIFY_PARANOID;
    velk_debug_level = 1;
    std::string out = buildAndRemove();
    EXPECT_FALSE(exists("good"));
    EXPECT_FALSE(exists("link"));
    EXPECT_TRUE(exists("failed"));
    EXPECT_TRUE(exists("missing"));
    EXPECT_TRUE(exists("phantom"));
    EXPECT_TRUE(isDir("nowdir"));
    EXPECT_TRUE(exists("touched"));
    EXPECT_TRUE(exists("grown"));
    EXPECT_TRUE(exists("chmodded"));
    EXPECT_TRUE(exists("nowlink"));
    EXPECT_TRUE(exists("unreported"));
    EXPECT_NE(out.find("INFO: velk_RemoveMemberFiles: touched has been modified - skipped"), std::string::npos)
        << out;
    EXPECT_NE(out.find("INFO: velk_RemoveMemberFiles: grown has been modified - skipped"), std::string::npos);
    EXPECT_NE(out.find("INFO: velk_RemoveMemberFiles: chmodded has been modified - skipped"), std::string::npos);
    EXPECT_NE(out.find("INFO: velk_RemoveMemberFiles: nowlink skipped - was a regular file, but now is a symlink"),
              std::string::npos);
}

TEST_F(RemoveMemberFilesTest, AnIndexThatCannotBePositionedFails)
{
    velktest::writeFile("good", "data");
    add("good");
    writeIndex();
    ASSERT_EQ(velk_InitMemberFileLists(1, 0), 0);
    ASSERT_EQ(velk_SetMemberFileXferSuccess(0, 1), 0);
    // A descriptor number nothing has open (the capture below may reuse a
    // number just closed).
    int badFd = 1000;
    ASSERT_EQ(fcntl(badFd, F_GETFD), -1);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_RemoveMemberFiles(badFd, VELK_LOCAL_FILE), -1);
    EXPECT_NE(cap.err().find("Failed to remove one or more local files that were written to the Archive"),
              std::string::npos);
    EXPECT_TRUE(exists("good"));
}

// An entry named "/dev/null" whose member succeeded is never unlinked.  The
// check runs in a child with its own mount namespace and a scratch file
// mounted over /dev/null, so that a fault cannot harm the machine's device.
TEST_F(RemoveMemberFilesTest, NeverUnlinksDevNull)
{
    velktest::writeFile("stand-in", "");
    std::string standIn = dir_ / "stand-in";
    std::string errFile = dir_ / "child.err";
    hif_entry_t e;
    memset(&e, 0, sizeof e);
    memcpy(e.hent_sanity, HENT_SANITY, HENT_sanity_size);
    velk_Put32(e.hent_type, VTO_FILE);
    memcpy(e.hent_name, "/dev/null", 9);
    entries_.push_back(e);
    velktest::writeFile("kept", "kept");
    add("kept");
    writeIndex();

    velktest::ForkedChild child([&]() -> int {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(standIn.c_str(), "/dev/null", nullptr, MS_BIND, nullptr) != 0)
            return 77;
        if (!velktest::redirectOutputToFiles(dir_ / "child.out", errFile))
            return 2;
        velk_debug_level = 4;
        if (velk_InitMemberFileLists(2, 0) != 0 || velk_SetMemberFileXferSuccess(0, 1) != 0 ||
            velk_SetMemberFileXferSuccess(1, 1) != 0)
            return 3;
        return velk_RemoveMemberFiles(indexFd_, VELK_LOCAL_FILE) == 0 ? 0 : 4;
    });
    int status = 0;
    ASSERT_TRUE(child.wait(&status));
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no private mount namespace to protect /dev/null";
    ASSERT_EQ(WEXITSTATUS(status), 0);
    std::string err = velktest::readFile(errFile);
    EXPECT_EQ(err.find("unlink of /dev/null"), std::string::npos) << err;
    EXPECT_NE(err.find("/trace/unlink of kept returned 0"), std::string::npos) << err;
    EXPECT_FALSE(exists("kept"));
}

} // namespace
