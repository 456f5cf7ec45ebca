// The local archive writer on a real tree and a temporary index made by the
// index routines: files that grew, shrank or vanished are cut or zero-filled
// and failed with the archive still aligned; a failed archive write ends the
// copy.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>
#include <fcntl.h>

#include "velk_Env.h"
#include "velk_unit_fixture.h"

namespace {

using velkunit::allZero;
using velkunit::contains;
using velkunit::field;
using velkunit::pattern;

// Archive write injection: the archive takes g_budget bytes (a write that
// crosses it is cut short there), then every write to it fails with
// g_failErrno; the writes to it are counted.
int g_archiveFd = -1, g_archiveWrites = 0, g_failErrno = EFBIG;
size_t g_budget = 0, g_taken = 0;
ssize_t failingWrite(int fd, const void *buf, size_t n)
{
    if (fd != g_archiveFd)
        return ::write(fd, buf, n);
    ++g_archiveWrites;
    if (g_taken >= g_budget) {
        errno = g_failErrno;
        return -1;
    }
    ssize_t put = ::write(fd, buf, std::min(n, g_budget - g_taken));
    if (put > 0)
        g_taken += static_cast<size_t>(put);
    return put;
}

void injectWrites(size_t budget, int err)
{
    g_archiveFd = velk_archive_fd;
    g_archiveWrites = 0;
    g_budget = budget;
    g_taken = 0;
    g_failErrno = err;
    velk_env_t env = velk_Env();
    env.localWrite = failingWrite;
    velk_SetEnv(&env);
}

// pattern() with each 512-byte block's number written at its start, so
// blocks a whole number of MiB apart differ too.
std::string numbered(size_t n, unsigned seed)
{
    std::string s = pattern(n, seed);
    for (size_t at = 0; at + 8 <= n; at += 512)
        s.replace(at, 8, std::to_string(10000000 + at / 512));
    return s;
}

// In-kernel copy injection: every copy_file_range is counted and refused as
// between two file systems, or passed on.
int g_copyRangeCalls = 0;
bool g_refuseCopyRange = false;
ssize_t countedCopyRange(int in, loff_t *offIn, int out, loff_t *offOut, size_t n, unsigned flags)
{
    ++g_copyRangeCalls;
    if (g_refuseCopyRange) {
        errno = EXDEV;
        return -1;
    }
    return ::copy_file_range(in, offIn, out, offOut, n, flags);
}

class LocalArchiveWriterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        velk_function = VOP_CREATE;
        velk_filetype = VELK_LOCAL_FILE;
        velk_archive = archiveName_.data();
        velk_index_filename = indexName_.data();
    }

    // Member status tables, the create layout and the archive opened as
    // velk_archive_fd.
    void layOut(const std::vector<std::string> &paths)
    {
        ASSERT_EQ(velk_InitMemberFileLists(static_cast<int64_t>(paths.size()), 0), 0);
        velkunit::layOutCreate(&globals_.run, paths);
        velk_archive_fd = open(archiveName_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(velk_archive_fd, 0);
    }

    int copy()
    {
        double seconds = -1;
        int threads = -1;
        int recoveries = -1;
        velk_xfer_settings_t settings{50, 0, 0, 8388608, 4194304, 0, 0, 0, false};
        int rc = velk_CopyToLocalArchive(&settings, &globals_.run.archive, &globals_.run.index, &seconds, &threads,
                                         &recoveries);
        if (rc == 0) {
            EXPECT_GE(seconds, 0.0);
            EXPECT_EQ(threads, 1);
        }
        EXPECT_EQ(velk_archive_fd, -1);
        return rc;
    }

    // After the copy and the adjustment pass: entry ordinal of the index.
    hif_entry_t adjusted(int64_t ordinal)
    {
        hif_entry_t e = {};
        EXPECT_EQ(pread(globals_.run.index.tmpFd, &e, 512, static_cast<off_t>(HIF_HDR_SIZE + 512 * ordinal)), 512);
        return e;
    }

    velkunit::RunGlobals globals_;
    velkunit::InScratchDir dir_;
    std::string archiveName_ = "out.tar", indexName_ = "out.tar.idx";
};

TEST_F(LocalArchiveWriterTest, ChangedAndMissingFilesKeepTheArchiveAligned)
{
    velktest::writeFile("grow", pattern(600, 1));
    velktest::writeFile("shrink", pattern(1000, 2));
    velktest::writeFile("gone", pattern(700, 3));
    velktest::writeFile("steady", pattern(1024, 4));  // ends on a block boundary: no padding
    velk_option_flags = VELK_OPT_VERBOSE;
    layOut({"grow", "shrink", "gone", "steady"});
    ASSERT_EQ(velk_archive_blocks, 3u + 3 + 3 + 3 + 2 + 1);
    std::string grown = pattern(900, 9);
    velktest::writeFile("grow", grown);
    velktest::writeFile("shrink", pattern(300, 8));
    ASSERT_EQ(unlink("gone"), 0);

    velktest::OutputCapture cap;
    ASSERT_EQ(copy(), 0);
    std::string err = cap.err();
    EXPECT_TRUE(contains(err, "WARNING: Index size:        600\nWARNING: Current file size: 900\n")) << err;
    EXPECT_TRUE(contains(err, "WARNING: Index size:        1000\nWARNING: Current file size: 300\n")) << err;
    EXPECT_TRUE(contains(cap.out(), "VELK: [missing]  gone\n")) << cap.out();

    std::string a = velktest::readFile(archiveName_);
    ASSERT_EQ(a.size(), 15u * 512);
    EXPECT_EQ(a.substr(512, 600), grown.substr(0, 600));  // cut at the indexed size
    EXPECT_TRUE(allZero(a, 512 + 600, 424));
    EXPECT_EQ(a.substr(4 * 512, 300), pattern(300, 8));  // its bytes, then zeros to 1000 and padding
    EXPECT_TRUE(allZero(a, 4 * 512 + 300, 1024 - 300));
    // Missing: a "/dev/null" header of the indexed size and zero data.
    EXPECT_EQ(field(a.data() + 6 * 512, 100), "/dev/null");
    EXPECT_EQ(field(a.data() + 6 * 512 + 345, 155), "");
    EXPECT_EQ(a.substr(6 * 512 + 124, 12), "000000001274");  // 700 in octal
    EXPECT_TRUE(allZero(a, 7 * 512, 1024));
    EXPECT_EQ(field(a.data() + 9 * 512, 100), "steady");  // where the index says
    EXPECT_EQ(a.substr(10 * 512, 1024), pattern(1024, 4));
    EXPECT_TRUE(allZero(a, 14 * 512, 512));

    int64_t ok = -1, failed = -1;
    velk_GetMemberFileXferSummary(&ok, &failed);
    EXPECT_EQ(ok, 2);  // steady and the consistency file
    EXPECT_EQ(failed, 3);
    velk_FinalizeMemberLists();
    ASSERT_EQ(velk_CopyAndAdjustLocalIndex(&globals_.run.index), 0);
    for (int64_t i : {0, 1, 2}) {
        EXPECT_EQ(field(adjusted(i).hent_name, 100), "/dev/null") << i;
        EXPECT_EQ(velk_Get32(adjusted(i).hent_flags), HIF_FLAG_PHANTOM | HIF_FLAG_DELETED) << i;
    }
    EXPECT_EQ(field(adjusted(3).hent_name, 100), "steady");
}

TEST_F(LocalArchiveWriterTest, AnArchiveWriteErrorEndsTheWholeCopy)
{
    // An error, and a full file system once the wait for space is over
    // (at once here).
    const std::pair<int, const char *> cases[] = {
        {EFBIG, " writing tar header to Archive file out.tar\n"},
        {ENOSPC, "ERROR: No space left writing out.tar for 0 seconds - giving up\n"},
    };
    setenv("VELK_NOSPACE_WAIT", "0", 1);
    for (const auto &[err, message] : cases) {
        for (const char *f : {"a", "b", "c"})
            velktest::writeFile(f, pattern(100, 1));
        velk_SetEnv(nullptr);
        velk_archive_blocks = 0;
        layOut({"a", "b", "c"});
        // The archive takes a's blocks, then b's header fails.
        injectWrites(1024, err);
        velk_exit_code.store(0);
        velktest::OutputCapture cap;
        EXPECT_EQ(copy(), -1) << err;
        EXPECT_TRUE(contains(cap.err(), message)) << cap.err();
        EXPECT_EQ(g_archiveWrites, 2) << err; // the one cut short, the failed one, nothing after
        EXPECT_EQ(velk_exit_code.load(), 72) << err;
        EXPECT_EQ(velktest::readFile(archiveName_).size(), 1024u) << err; // no closing block
        velk_FinalizeMemberLists();
        EXPECT_EQ(velk_GetMemberFileXferSuccess(0), 0) << err;
        EXPECT_EQ(velk_GetMemberFileXferSuccess(1), 1) << err;
        EXPECT_EQ(velk_GetMemberFileXferSuccess(2), 1) << err; // never written, never reported
    }
    unsetenv("VELK_NOSPACE_WAIT");
}

TEST_F(LocalArchiveWriterTest, MembersGoInsideTheKernelWhicheverWayTheFileSystemsAllow)
{
    // Members larger than one pipe load and one copy call, with and without
    // a remainder; copy_file_range refused (different file systems: splice
    // then carries the data, the refusal asked for once in the run) or
    // working.
    const std::pair<std::string, size_t> members[] = {
        {"big", (size_t{9} << 20) + 100}, {"even", size_t{3} << 20}, {"small", 700}, {"empty", 0}};
    for (bool refuse : {true, false}) {
        std::vector<std::string> paths;
        unsigned seed = 20;
        for (const auto &[name, size] : members) {
            velktest::writeFile(name, numbered(size, seed++));
            paths.push_back(name);
        }
        velk_archive_blocks = 0;
        layOut(paths);
        g_copyRangeCalls = 0;
        g_refuseCopyRange = refuse;
        velk_env_t env = velk_Env();
        env.copyRange = countedCopyRange;
        velk_SetEnv(&env);
        ASSERT_EQ(copy(), 0) << refuse;
        velk_SetEnv(nullptr);
        if (refuse)
            EXPECT_EQ(g_copyRangeCalls, 1);
        else
            EXPECT_GE(g_copyRangeCalls, 3); // 8 MiB per call: two for big, one for even (small is gathered)
        std::string a = velktest::readFile(archiveName_);
        size_t at = 0;
        seed = 20;
        for (const auto &[name, size] : members) {
            EXPECT_EQ(field(a.data() + at, 100), name) << refuse;
            EXPECT_TRUE(a.compare(at + 512, size, numbered(size, seed++)) == 0) << name << " " << refuse;
            size_t padded = (size + 511) / 512 * 512;
            EXPECT_TRUE(allZero(a, at + 512 + size, padded - size)) << name;
            at += 512 + padded;
        }
        // Then the consistency file and the closing block, nothing more.
        EXPECT_EQ(a.size(), at + 512 * (VELK_CF_BLOCKS + 1)) << refuse;
        int64_t ok = -1, failed = -1;
        velk_GetMemberFileXferSummary(&ok, &failed);
        EXPECT_EQ(ok, 5) << refuse; // the members and the consistency file
        EXPECT_EQ(failed, 0) << refuse;
        velk_FinalizeMemberLists();
    }
}

TEST_F(LocalArchiveWriterTest, SmallMembersGoOutTogetherAsTheyWouldOneByOne)
{
    // Small members, one too large to be gathered, one small one after it.
    std::vector<std::string> paths, data;
    for (int i = 0; i < 12; ++i) {
        paths.push_back("s" + std::to_string(i));
        data.push_back(numbered(100 + 1000 * static_cast<size_t>(i), 40 + static_cast<unsigned>(i)));
    }
    paths.push_back("large");
    data.push_back(numbered((size_t{1} << 20) + 7, 60));
    paths.push_back("last");
    data.push_back(numbered(3000, 61));
    std::vector<size_t> at; // where each member's header goes
    size_t end = 0;
    for (size_t i = 0; i < paths.size(); ++i) {
        velktest::writeFile(paths[i], data[i]);
        at.push_back(end);
        end += 512 + (data[i].size() + 511) / 512 * 512;
    }
    velk_option_flags = VELK_OPT_CRC;
    // One by one: an archive not at its start is written member by member.
    std::string archives[2];
    int writes[2];
    uint32_t crcs[2];
    for (bool gathered : {false, true}) {
        velk_archive_blocks = 0;
        layOut(paths);
        ASSERT_EQ(write(velk_archive_fd, "x", gathered ? 0 : 1), gathered ? 0 : 1);
        injectWrites(SIZE_MAX, EFBIG);
        ASSERT_EQ(copy(), 0);
        velk_SetEnv(nullptr);
        archives[gathered] = velktest::readFile(archiveName_).substr(gathered ? 0 : 1);
        writes[gathered] = g_archiveWrites;
        crcs[gathered] = velk_GetMemberFileXferCRC(5);
        velk_FinalizeMemberLists();
    }
    ASSERT_GE(archives[1].size(), end);
    EXPECT_TRUE(archives[0].compare(0, end, archives[1], 0, end) == 0);
    EXPECT_EQ(archives[1].compare(at[12] + 512, data[12].size(), data[12]), 0);
    EXPECT_EQ(crcs[0], crcs[1]);
    EXPECT_GE(writes[0], 3 * 14);
    // The small ones, large's header, data (two pieces) and padding, the
    // last ones, the closing block.
    EXPECT_LE(writes[1], 7);

    // The archive fills up in s3's header or in its padding: s0-s2 are in
    // it and done, s3 fails with the message of that write, nothing later
    // is reported.
    const std::pair<size_t, const char *> cases[] = {
        {at[3] + 100, " writing tar header to Archive file out.tar\n"},
        {at[3] + 512 + data[3].size() + 10, " writing fill bytes to Archive file out.tar\n"},
    };
    for (const auto &[budget, message] : cases) {
        velk_archive_blocks = 0;
        layOut(paths);
        injectWrites(budget, EFBIG);
        velk_exit_code.store(0);
        velktest::OutputCapture cap;
        EXPECT_EQ(copy(), -1);
        velk_SetEnv(nullptr);
        EXPECT_TRUE(contains(cap.err(), message)) << cap.err();
        EXPECT_EQ(velk_exit_code.load(), 72);
        EXPECT_EQ(velktest::readFile(archiveName_), archives[1].substr(0, budget));
        int64_t ok = -1, failed = -1;
        velk_GetMemberFileXferSummary(&ok, &failed);
        EXPECT_EQ(ok, 3) << budget;
        EXPECT_EQ(failed, 1) << budget;
        velk_FinalizeMemberLists();
        EXPECT_EQ(velk_GetMemberFileXferSuccess(3), 1);
    }
}

} // namespace
