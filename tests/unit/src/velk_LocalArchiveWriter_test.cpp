// The local archive writer on a real tree with a temporary index made by the
// index routines: member layout byte by byte, padding, the one closing zero
// block, CRCs, files that grew, shrank, vanished or could not be read
// (cut or zero-filled, failed, the archive still aligned), a failed archive
// write ending the whole copy, a short index, the buffer size limit, the
// in-kernel copy giving the same bytes as the buffered one, and GNU tar
// reading what the writer made.

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velk_Consistency.h"
#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LocalArchiveWriter.h"
#include "velk_MemberStatus.h"
#include "velk_Memory.h"
#include "velk_Run.h"
#include "velk_TarHeader.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"
#include "velk_unit_fixture.h"

namespace {

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>('A' + (i * 7 + seed) % 26);
    return s;
}

bool allZero(const std::string &s, size_t from, size_t n)
{
    for (size_t i = from; i < from + n; i++)
        if (s.at(i) != '\0')
            return false;
    return true;
}

std::string field(const std::string &block, size_t offset, size_t width)
{
    std::string f = block.substr(offset, width);
    return f.substr(0, f.find('\0'));
}

// Archive write injection: the write call fails with EFBIG from the
// failAt-th write to the archive descriptor on, and every write to it is
// counted.
int g_archiveFd = -1;
int g_archiveWrites = 0;
int g_failAt = 0;
ssize_t failingWrite(int fd, const void *buf, size_t n)
{
    if (fd == g_archiveFd && ++g_archiveWrites >= g_failAt) {
        errno = EFBIG;
        return -1;
    }
    return ::write(fd, buf, n);
}

// Member read injection: reads of descriptors other than the index fail.
int g_indexFd = -1;
ssize_t failingRead(int fd, void *buf, size_t n)
{
    if (fd != g_indexFd) {
        errno = EBADF;
        return -1;
    }
    return ::read(fd, buf, n);
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

    // The create sequence up to the copy: member status tables, the
    // temporary index with one entry per path (kind from lstat), the
    // consistency file and its entry, the final header, and the archive
    // opened as velk_archive_fd.
    void layOut(const std::vector<std::string> &paths)
    {
        ASSERT_EQ(velk_InitMemberFileLists(static_cast<int64_t>(paths.size()), 0), 0);
        ASSERT_EQ(velk_CreateTmpIndexFile(), 0);
        ASSERT_EQ(velk_WriteIndexHeader(velk_tmpIndexFD, VELK_LOCAL_FILE, velk_tmpIndexFile, &velk_index_hdr), 0);
        for (const std::string &p : paths) {
            velk_FileSpec_t member = velkunit::memberFromLstat(p);
            hif_entry_t e;
            ASSERT_EQ(velk_IndexFromFileSpec(velk_index_entries, &member, &e), 0);
            ASSERT_EQ(write(velk_tmpIndexFD, &e, sizeof e), static_cast<ssize_t>(sizeof e));
            velk_archive_blocks += velk_Get32(e.hent_blocks);
            velk_index_entries++;
        }
        velk_index_entries += 1;
        velk_archive_blocks += VELK_CF_BLOCKS + 1;
        velk_BuildConsistencyHeader();
        ASSERT_EQ(velk_WriteConsistencyFile(), 0);
        velk_index_entries -= 1;
        velk_archive_blocks -= VELK_CF_BLOCKS + 1;
        ASSERT_EQ(velk_WriteConsFileIndexEntry(velk_tmpIndexFD), 0);
        velk_archive_blocks += 1;
        velk_BuildIndexHeader();
        ASSERT_EQ(velk_WriteIndexHeader(velk_tmpIndexFD, VELK_LOCAL_FILE, velk_tmpIndexFile, &velk_index_hdr), 0);
        velk_archive_fd = open(archiveName_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(velk_archive_fd, 0);
    }

    int copy()
    {
        double seconds = -1;
        int threads = -1;
        int rc = velk_CopyToLocalArchive(&seconds, &threads);
        if (rc == 0) {
            EXPECT_GE(seconds, 0.0);
            EXPECT_EQ(threads, 1);
        }
        EXPECT_EQ(velk_archive_fd, -1);
        return rc;
    }

    // After the copy: the adjustment pass, then entry ordinal of the result.
    hif_entry_t adjusted(int64_t ordinal)
    {
        hif_entry_t e;
        memset(&e, 0, sizeof e);
        EXPECT_EQ(pread(velk_tmpIndexFD, &e, sizeof e, static_cast<off_t>(288 + 512 * ordinal)),
                  static_cast<ssize_t>(sizeof e));
        return e;
    }
    void adjust()
    {
        velk_FinalizeMemberLists();
        ASSERT_EQ(velk_CopyAndAdjustLocalIndex(), 0);
    }

    velkunit::RunGlobals globals_;
    velkunit::InScratchDir dir_;
    std::string archiveName_ = "out.tar";
    std::string indexName_ = "out.tar.idx";
};

TEST_F(LocalArchiveWriterTest, MembersAreLaidOutAsIndexedAndEndWithOneZeroBlock)
{
    std::string k1000 = pattern(1000, 1);
    velktest::writeFile("k1000", k1000);
    ASSERT_EQ(mkdir("dir", 0755), 0);
    velktest::writeFile("dir/check", "123456789");
    ASSERT_EQ(symlink("k1000", "link"), 0);
    velk_option_flags = VELK_OPT_CRC | VELK_OPT_VERBOSE;
    layOut({"k1000", "dir", "dir/check", "link"});
    // 3 + 1 + 2 + 1 blocks of members, 2 of the consistency member, 1 zero.
    ASSERT_EQ(velk_archive_blocks, 10u);

    velktest::OutputCapture cap;
    ASSERT_EQ(copy(), 0);
    std::string out = cap.out();
    EXPECT_NE(out.find("VELK: a  k1000\n"), std::string::npos) << out;
    EXPECT_NE(out.find("VELK: a  dir/\n"), std::string::npos) << out;
    EXPECT_NE(out.find("VELK: a  link\n"), std::string::npos) << out;
    EXPECT_EQ(cap.err(), "");
    EXPECT_EQ(velk_exit_code.load(), 0);

    std::string a = velktest::readFile(archiveName_);
    ASSERT_EQ(a.size(), 5120u);
    // The 1000-byte member: header, 1000 data bytes, 24 zeros.
    std::string h0 = a.substr(0, 512);
    EXPECT_EQ(field(h0, 0, 100), "k1000");
    EXPECT_EQ(h0.substr(124, 12), "000000001750");  // 1000 in octal, 12 digits
    EXPECT_EQ(h0[156], '0');
    EXPECT_EQ(a.substr(512, 1000), k1000);
    EXPECT_TRUE(allZero(a, 1512, 24));
    // The directory: one header block.
    EXPECT_EQ(a[3 * 512 + 156], '5');
    // The 9-byte member and its padding.
    EXPECT_EQ(field(a, 4 * 512, 100), "dir/check");
    EXPECT_EQ(a.substr(5 * 512, 9), "123456789");
    EXPECT_TRUE(allZero(a, 5 * 512 + 9, 503));
    // The link: a header naming its target.
    EXPECT_EQ(a[6 * 512 + 156], '2');
    EXPECT_EQ(field(a, 6 * 512 + 157, 100), "k1000");
    // The consistency member holds the index header's record, then exactly
    // one zero block ends the archive.
    std::string cfName = velk_cf_filename;
    EXPECT_EQ(a.substr(8 * 512, 256),
              std::string(reinterpret_cast<const char *>(&velk_index_hdr.hif_cfinfo), 256));
    EXPECT_TRUE(allZero(a, 8 * 512 + 256, 256));
    EXPECT_TRUE(allZero(a, 9 * 512, 512));
    EXPECT_FALSE(allZero(a, 8 * 512, 512));

    int64_t ok = -1, failed = -1;
    velk_GetMemberFileXferSummary(&ok, &failed);
    EXPECT_EQ(ok, 4);  // k1000, dir/check, link and the consistency file
    EXPECT_EQ(failed, 0);
    adjust();
    hif_entry_t check = adjusted(2);
    EXPECT_EQ(velk_Get32(check.hent_flags), HIF_FLAG_CRC);
    EXPECT_EQ(velk_Get32(check.hent_crc32), 0xCBF43926u);

    // The index and the archive belong together.
    int afd = open(archiveName_.c_str(), O_RDONLY);
    ASSERT_GE(afd, 0);
    velk_archive_blocks = 10;
    EXPECT_EQ(velk_VerifyConsistencyFile(afd, VELK_LOCAL_FILE, velk_tmpIndexFD, VELK_LOCAL_FILE), 0);
    close(afd);
}

TEST_F(LocalArchiveWriterTest, GnuTarReadsTheArchive)
{
    // A buffer of two blocks makes the larger member move in many chunks.
    velk_iobufsize = 1024;
    std::string big = pattern(5000, 3);
    velktest::writeFile("big", big);
    ASSERT_EQ(mkdir("sub", 0750), 0);
    velktest::writeFile("sub/empty", "");
    velktest::writeFile("sub/full", pattern(1024, 5));
    ASSERT_EQ(symlink("big", "sub/tobig"), 0);
    layOut({"big", "sub", "sub/empty", "sub/full", "sub/tobig"});
    ASSERT_EQ(copy(), 0);

    // run() executes a path, not a name looked up in PATH.
    std::string tar = "/usr/bin/tar";
    if (access(tar.c_str(), X_OK) != 0)
        tar = "/bin/tar";
    ASSERT_EQ(access(tar.c_str(), X_OK), 0) << "GNU tar is needed";
    velktest::RunResult list = velktest::run({tar, "-tvf", dir_ / archiveName_});
    ASSERT_EQ(list.status, 0) << list.err;
    std::vector<std::string> lines = velktest::lines(list.out);
    ASSERT_EQ(lines.size(), 6u) << list.out;
    EXPECT_NE(lines[0].find(" 5000 "), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].substr(lines[0].size() - 4), " big");
    EXPECT_EQ(lines[1][0], 'd');
    EXPECT_EQ(lines[1].substr(lines[1].size() - 4), " sub");
    EXPECT_EQ(lines[2].substr(lines[2].size() - 9), "sub/empty");
    EXPECT_EQ(lines[3].substr(lines[3].size() - 8), "sub/full");
    EXPECT_EQ(lines[4].substr(lines[4].size() - 16), "sub/tobig -> big");
    EXPECT_NE(lines[5].find("VELK_CF_CHK_"), std::string::npos);

    ASSERT_EQ(mkdir("x", 0755), 0);
    velktest::RunResult extract = velktest::run({tar, "-xf", dir_ / archiveName_, "-C", dir_ / "x"});
    ASSERT_EQ(extract.status, 0) << extract.err;
    EXPECT_EQ(velktest::readFile(dir_ / "x/big"), big);
    EXPECT_EQ(velktest::readFile(dir_ / "x/sub/empty"), "");
    EXPECT_EQ(velktest::readFile(dir_ / "x/sub/full"), pattern(1024, 5));
    char target[16] = {};
    ASSERT_EQ(readlink((dir_ / "x/sub/tobig").c_str(), target, sizeof target - 1), 3);
    EXPECT_STREQ(target, "big");
}

TEST_F(LocalArchiveWriterTest, KernelCopyAndBufferCopyWriteTheSameArchiveAndCrcs)
{
    // Sizes around the block and around one in-kernel copy call (8 MiB) and
    // the I/O buffer, which is smaller than the big member.
    velk_iobufsize = 3 << 20;
    velk_option_flags = VELK_OPT_CRC;
    std::vector<std::string> paths;
    std::vector<size_t> sizes{0, 1, 511, 512, 513, (8u << 20) + 7, 4096, 100000};
    for (size_t i = 0; i < sizes.size(); ++i) {
        paths.push_back("m" + std::to_string(i));
        velktest::writeFile(paths.back(), pattern(sizes[i], static_cast<unsigned>(i)));
    }
    auto crcsNow = [&] {
        std::vector<uint32_t> crcs;
        for (size_t i = 0; i < sizes.size(); ++i)
            crcs.push_back(velk_GetMemberFileXferCRC(static_cast<int64_t>(i)));
        return crcs;
    };
    auto copyAgain = [&](int flags) {
        velk_archive_fd = open(archiveName_.c_str(), flags | O_TRUNC);
        EXPECT_GE(velk_archive_fd, 0);
        EXPECT_EQ(copy(), 0);
        return velktest::readFile(archiveName_);
    };

    // Through the buffer: the archive descriptor cannot be read back.
    layOut(paths);
    ASSERT_EQ(copy(), 0);
    std::string buffered = velktest::readFile(archiveName_);
    std::vector<uint32_t> bufferedCrcs = crcsNow();
    // Inside the kernel, the CRCs read back from the archive.
    std::string inKernel = copyAgain(O_RDWR);
    EXPECT_TRUE(inKernel == buffered) << "the two ways wrote different archives";
    EXPECT_EQ(crcsNow(), bufferedCrcs);
    // Inside the kernel without CRCs.
    velk_option_flags = 0;
    EXPECT_TRUE(copyAgain(O_WRONLY) == buffered);

    // Every member's data at its place, then zeros to the block boundary,
    // and its CRC.
    ASSERT_EQ(inKernel.size(), static_cast<size_t>(velk_archive_blocks) * 512);
    size_t at = 0;
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::string data = pattern(sizes[i], static_cast<unsigned>(i));
        EXPECT_EQ(field(inKernel, at, 100), paths[i]);
        at += 512;
        EXPECT_TRUE(inKernel.compare(at, sizes[i], data) == 0) << paths[i];
        size_t padded = (sizes[i] + 511) / 512 * 512;
        EXPECT_TRUE(allZero(inKernel, at + sizes[i], padded - sizes[i])) << paths[i];
        at += padded;
        uint32_t crc;
        velk_ChecksumInit(&crc);
        velk_ChecksumBuffer(data.data(), data.size(), &crc);
        EXPECT_EQ(bufferedCrcs[i], velk_ChecksumFinalize(&crc)) << paths[i];
    }
    int64_t ok = -1, failed = -1;
    velk_GetMemberFileXferSummary(&ok, &failed);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(velk_exit_code.load(), 0);
}

TEST_F(LocalArchiveWriterTest, ChangedMissingAndUnreadableFilesKeepTheArchiveAligned)
{
    velktest::writeFile("grow", pattern(600, 1));
    velktest::writeFile("shrink", pattern(1000, 2));
    velktest::writeFile("gone", pattern(700, 3));
    velktest::writeFile("steady", pattern(513, 4));
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
    std::string out = cap.out();
    EXPECT_NE(err.find("WARNING: copyLocalFile: (line "), std::string::npos) << err;
    EXPECT_NE(err.find(") file size changed for grow\n"), std::string::npos) << err;
    EXPECT_NE(err.find("WARNING: Index size:        600\nWARNING: Current file size: 900\n"), std::string::npos) << err;
    EXPECT_NE(err.find(") file size changed for shrink\n"), std::string::npos) << err;
    EXPECT_NE(err.find("WARNING: Index size:        1000\nWARNING: Current file size: 300\n"), std::string::npos)
        << err;
    EXPECT_NE(err.find("WARNING: Local file gone was missing or inaccessible and could not be copied to the archive\n"),
              std::string::npos)
        << err;
    EXPECT_NE(out.find("VELK: [missing]  gone\n"), std::string::npos) << out;

    std::string a = velktest::readFile(archiveName_);
    ASSERT_EQ(a.size(), 15u * 512);
    // Grown: cut at the indexed 600 bytes.
    EXPECT_EQ(a.substr(512, 600), grown.substr(0, 600));
    EXPECT_TRUE(allZero(a, 512 + 600, 424));
    // Shrunk: its 300 bytes, then zeros up to 1000 and the padding.
    EXPECT_EQ(a.substr(3 * 512 + 512, 300), pattern(300, 8));
    EXPECT_TRUE(allZero(a, 4 * 512 + 300, 1024 - 300));
    // Missing: a "/dev/null" header of the indexed size and zero data.
    std::string h = a.substr(6 * 512, 512);
    EXPECT_EQ(field(h, 0, 100), "/dev/null");
    EXPECT_EQ(field(h, 345, 155), "");
    EXPECT_EQ(h.substr(124, 12), "000000001274");  // 700 in octal
    EXPECT_TRUE(allZero(a, 7 * 512, 1024));
    // The member after them is where the index says.
    EXPECT_EQ(field(a, 9 * 512, 100), "steady");
    EXPECT_EQ(a.substr(10 * 512, 513), pattern(513, 4));
    EXPECT_TRUE(allZero(a, 14 * 512, 512));

    int64_t ok = -1, failed = -1;
    velk_GetMemberFileXferSummary(&ok, &failed);
    EXPECT_EQ(ok, 2);  // steady and the consistency file
    EXPECT_EQ(failed, 3);
    adjust();
    for (int64_t i : {0, 1, 2}) {
        hif_entry_t e = adjusted(i);
        EXPECT_EQ(std::string(e.hent_name), "/dev/null") << i;
        EXPECT_EQ(velk_Get32(e.hent_flags), HIF_FLAG_PHANTOM | HIF_FLAG_DELETED) << i;
    }
    EXPECT_EQ(std::string(adjusted(3).hent_name), "steady");
    EXPECT_EQ(velk_GetMemberFileXferSuccess(2), 1);
}

TEST_F(LocalArchiveWriterTest, UnreadableMemberIsZeroFilledAndFailed)
{
    velktest::writeFile("a", pattern(700, 1));
    velktest::writeFile("b", pattern(10, 2));
    layOut({"a", "b"});
    g_indexFd = velk_tmpIndexFD;
    velk_local_read_fn = failingRead;
    velktest::OutputCapture cap;
    ASSERT_EQ(copy(), 0);
    velk_local_read_fn = ::read;
    EXPECT_NE(cap.err().find("ERROR: Unrecoverable error reading local file a near offset 0\n"), std::string::npos)
        << cap.err();
    std::string a = velktest::readFile(archiveName_);
    ASSERT_EQ(a.size(), (3u + 2 + 2 + 1) * 512);
    EXPECT_TRUE(allZero(a, 512, 1024));
    EXPECT_EQ(field(a, 3 * 512, 100), "b");
    velk_FinalizeMemberLists();
    EXPECT_EQ(velk_GetMemberFileXferSuccess(0), 1);
    EXPECT_EQ(velk_GetMemberFileXferSuccess(1), 1);  // read through the same failing call
    EXPECT_EQ(velk_GetMemberFileXferSuccess(2), 1);
}

TEST_F(LocalArchiveWriterTest, AnArchiveWriteErrorEndsTheWholeCopy)
{
    velktest::writeFile("a", pattern(100, 1));
    velktest::writeFile("b", pattern(100, 2));
    velktest::writeFile("c", pattern(100, 3));
    layOut({"a", "b", "c"});
    // Writes: a's header, data and padding, then b's header fails.
    g_archiveFd = velk_archive_fd;
    g_archiveWrites = 0;
    g_failAt = 4;
    velk_local_write_fn = failingWrite;
    velktest::OutputCapture cap;
    EXPECT_EQ(copy(), -1);
    velk_local_write_fn = ::write;
    EXPECT_NE(cap.err().find(" writing tar header to Archive file out.tar\n"), std::string::npos) << cap.err();
    EXPECT_EQ(g_archiveWrites, 4);  // nothing was tried after the failure
    EXPECT_EQ(velk_exit_code.load(), 72);
    EXPECT_EQ(velktest::readFile(archiveName_).size(), 1024u);  // no closing block
    velk_FinalizeMemberLists();
    EXPECT_EQ(velk_GetMemberFileXferSuccess(0), 0);
    EXPECT_EQ(velk_GetMemberFileXferSuccess(1), 1);
    EXPECT_EQ(velk_GetMemberFileXferSuccess(2), 1);  // never written, never reported
}

TEST_F(LocalArchiveWriterTest, MissingFileWrittenDirectlyReportsMissing)
{
    velktest::writeFile("here", "x");
    layOut({"here"});
    hif_entry_t e;
    ASSERT_EQ(pread(velk_tmpIndexFD, &e, sizeof e, 288), static_cast<ssize_t>(sizeof e));
    ASSERT_EQ(unlink("here"), 0);
    int fd = open("direct.tar", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(copyLocalFile(fd, 0, &e), VELK_LCOPY_MISSING);
    }
    hif_entry_t bad = e;
    velk_Put32(bad.hent_type, 9);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(copyLocalFile(fd, 0, &bad), VELK_LCOPY_ARCHIVE_FAILED);
        EXPECT_NE(cap.err().find("ERROR: [velk_CopyFileToLocal] Unrecognized object type: 9 Index Entry 0\n"),
                  std::string::npos)
            << cap.err();
    }
    close(fd);
    std::string a = velktest::readFile("direct.tar");
    ASSERT_EQ(a.size(), 1024u);
    EXPECT_EQ(field(a, 0, 100), "/dev/null");
    EXPECT_TRUE(allZero(a, 512, 512));
    velk_FinalizeMemberLists();
    EXPECT_EQ(velk_GetMemberFileXferSuccess(0), 1);
}

TEST_F(LocalArchiveWriterTest, ShortIndexFinishesTheArchiveAndBadBufferSizeFails)
{
    velktest::writeFile("a", "data");
    layOut({"a"});
    velk_index_entries += 1;  // one more entry than the file holds
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(copy(), 0);
        EXPECT_NE(cap.err().find("ERROR: [velk_CopyToLocalArchive] Error - premature EOF found on index file\n"
                                 "ERROR:     Expected 3 index entries, but only read 2\n"),
                  std::string::npos)
            << cap.err();
    }
    EXPECT_EQ(velk_exit_code.load(), 72);
    EXPECT_EQ(velktest::readFile(archiveName_).size(), 5u * 512);

    velk_exit_code.store(0);
    velk_iobufsize = 1023;
    velk_archive_fd = open(archiveName_.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(velk_archive_fd, 0);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(copy(), -1);
        EXPECT_NE(cap.err().find("ERROR: [velk_CopyToLocalArchive] velk internal error - bad buffer size (1023)\n"),
                  std::string::npos)
            << cap.err();
    }
    EXPECT_EQ(velk_exit_code.load(), 70);
    EXPECT_EQ(velktest::readFile(archiveName_).size(), 0u);
}

} // namespace
