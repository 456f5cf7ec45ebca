// The consistency file: the record's bytes typed from the layout, the
// worked example of a one-member archive (offsets, sizes, count, the
// temporary file and its index entry), reading the archive's copy back and
// its failures, the comparison rules, the full check with its offset test,
// and the temporary file's safe creation and name limits.

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velk_Consistency.h"
#include "velk_Globals.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_Memory.h"
#include "velk_Run.h"
#include "velk_TarHeader.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"
#include "velk_unit_fixture.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes fromHex(const std::string &hex)
{
    Bytes out;
    std::string digits;
    for (char c : hex)
        if (isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes bytesOf(const hif_consistency_t &r)
{
    const auto *p = reinterpret_cast<const unsigned char *>(&r);
    return Bytes(p, p + sizeof r);
}

class ConsistencyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        velk_function = VOP_CREATE;
        velk_filetype = VELK_LOCAL_FILE;
        velk_archive = archiveName_.data();
        velk_index_filename = indexName_.data();
    }

    // The create sequence for the members at paths: temporary index with a
    // placeholder header, one entry per member, the consistency record and
    // file, its entry, the closing block and the final header.  Returns the
    // entries written (the consistency file's last).
    std::vector<hif_entry_t> layOut(const std::vector<std::string> &paths)
    {
        std::vector<hif_entry_t> out;
        EXPECT_EQ(velk_CreateTmpIndexFile(), 0);
        EXPECT_EQ(velk_WriteIndexHeader(velk_tmpIndexFD, VELK_LOCAL_FILE, velk_tmpIndexFile, &velk_index_hdr), 0);
        for (const std::string &p : paths) {
            struct stat st;
            EXPECT_EQ(lstat(p.c_str(), &st), 0);
            velk_FileSpec_t member;
            memset(&member, 0, sizeof member);
            member.haveStatInfo = 1;
            member.filename = const_cast<char *>(p.c_str());
            member.objectType = VTO_FILE;
            member.size = static_cast<uint64_t>(st.st_size);
            member.mode = st.st_mode & 07777;
            hif_entry_t e;
            EXPECT_EQ(velk_IndexFromFileSpec(static_cast<int64_t>(out.size()), &member, &e), 0);
            EXPECT_EQ(write(velk_tmpIndexFD, &e, sizeof e), static_cast<ssize_t>(sizeof e));
            velk_archive_blocks += velk_Get32(e.hent_blocks);
            out.push_back(e);
        }
        velk_index_entries = static_cast<int64_t>(out.size());
        uint64_t cfSize = 0;
        uint32_t cfBlocks = 0;
        velk_GetCfSizes(&cfSize, &cfBlocks);
        EXPECT_EQ(cfSize, 256u);
        EXPECT_EQ(cfBlocks, 2u);
        velk_index_entries += 1;
        velk_archive_blocks += cfBlocks + 1;
        EXPECT_EQ(velk_BuildConsistencyHeader(), 2);
        EXPECT_EQ(velk_WriteConsistencyFile(), 0);
        velk_index_entries -= 1;
        velk_archive_blocks -= cfBlocks + 1;
        EXPECT_EQ(velk_WriteConsFileIndexEntry(velk_tmpIndexFD), 0);
        velk_archive_blocks += 1;
        velk_BuildIndexHeader();
        EXPECT_EQ(velk_WriteIndexHeader(velk_tmpIndexFD, VELK_LOCAL_FILE, velk_tmpIndexFile, &velk_index_hdr), 0);
        hif_entry_t cf;
        EXPECT_EQ(pread(velk_tmpIndexFD, &cf, sizeof cf, static_cast<off_t>(288 + 512 * out.size())),
                  static_cast<ssize_t>(sizeof cf));
        out.push_back(cf);
        return out;
    }

    // Writes the archive the entries describe, block by block: headers from
    // the entries, member data from the files (the consistency file's
    // included), zero padding and one closing zero block.
    void writeArchive(const std::vector<hif_entry_t> &entries, const std::string &path)
    {
        Bytes archive;
        for (const hif_entry_t &e : entries) {
            Bytes block(512);
            velk_BuildPosixHeader(&e, block.data());
            archive.insert(archive.end(), block.begin(), block.end());
            char name[VELK_PATH_BUFSIZE];
            velk_FormIxEntryPathname(&e, name, sizeof name);
            std::string data = velktest::readFile(name);
            data.resize((velk_Get32(e.hent_blocks) - 1) * 512, '\0');
            archive.insert(archive.end(), data.begin(), data.end());
        }
        archive.resize(archive.size() + 512, 0);
        velktest::writeFile(path, std::string(archive.begin(), archive.end()));
    }

    velkunit::RunGlobals globals_;
    velkunit::InScratchDir dir_;
    std::string archiveName_ = "one.tar";
    std::string indexName_ = "one.tar.idx";
};

// ---------------------------------------------------------------------------
// The record.
// ---------------------------------------------------------------------------

TEST_F(ConsistencyTest, RecordBytesMatchTheLayout)
{
    hif_consistency_t rec;
    memset(&rec, 0, sizeof rec);
    velk_FillConsistencyRecord(&rec, 0x65A1B2C3, "hostA", 2560, 2, true);
    const std::string zeros10 = "00 00 00 00 00 00 00 00 00 00 ";
    const std::string zeros45 = zeros10 + zeros10 + zeros10 + zeros10 + "00 00 00 00 00 ";
    std::string hex = "56 45 4C 4B 5F 49 4E 58 "  // VELK_INX
                      "00 00 00 01 "              // version
                      "65 A1 B2 C3 "              // rewrite time
                      "65 A1 B2 C3 "              // creation time
                      "65 A1 B2 C3 "              // update time
                      "68 6F 73 74 41 " +         // creating host "hostA"
                      zeros45 +
                      "68 6F 73 74 41 " +         // modifying host "hostA"
                      zeros45 +
                      "00 00 00 00 00 00 0A 00 "  // archive size 2560
                      "00 00 00 00 00 00 00 02 "  // members 2
                      "00 00 00 00 "              // soft deletes
                      "00 00 00 00 ";             // hard deletes
    for (int i = 0; i < 108; i++)
        hex += "00 ";
    Bytes expected = fromHex(hex);
    ASSERT_EQ(expected.size(), 256u);
    EXPECT_EQ(bytesOf(rec), expected);

    // An update keeps the record's origin and changes only the update time,
    // the modifying host, the size and the count.  Host names are cut to 49
    // characters and a NUL.
    std::string longHost(60, 'h');
    velk_FillConsistencyRecord(&rec, 0x65A1B2D0, longHost.c_str(), 3072, 3, false);
    Bytes updated = bytesOf(rec);
    Bytes want = expected;
    want[20] = 0x65, want[21] = 0xA1, want[22] = 0xB2, want[23] = 0xD0;
    for (int i = 0; i < 50; i++)
        want[74 + i] = i < 49 ? 'h' : 0;
    want[124 + 6] = 0x0C, want[124 + 7] = 0x00;
    want[132 + 7] = 0x03;
    EXPECT_EQ(updated, want);
}

TEST_F(ConsistencyTest, OnlyMarkVersionRewriteTimeSizeAndCountDecide)
{
    hif_consistency_t a, b;
    memset(&a, 0, sizeof a);
    velk_FillConsistencyRecord(&a, 1000, "alpha", 2560, 2, true);
    b = a;
    // Hosts, creation and update times, delete counts: not compared.
    velk_FillConsistencyRecord(&b, 5000, "beta", 2560, 2, false);
    velk_Put32(b.hif_create_time, 7);
    memcpy(b.hif_chost, "gamma", 6);
    velk_Put32(b.hif_soft_deletes, 3);
    EXPECT_EQ(velk_CheckConsistency(&a, &b), 1);

    velk_debug_level = 1;
    struct Case {
        const char *what;
        void (*change)(hif_consistency_t *);
        const char *message;
    };
    const Case cases[] = {
        {"mark", [](hif_consistency_t *r) { r->hif_inx_sanity[7] = 'Y'; },
         "velk_CheckConsistency: consistency check failed (sanity string=[VELK_INX](index),[VELK_INY](archive)])\n"},
        {"version", [](hif_consistency_t *r) { velk_Put32(r->hif_cf_version, 2); },
         "consistency check failed (version=[0x00000001](index),[0x00000002](archive)])\n"},
        {"rewrite time", [](hif_consistency_t *r) { velk_Put32(r->hif_cf_rewrite_time, 1001); },
         "consistency check failed (CF RewriteTime=[0x000003e8](index),[0x000003e9](archive)])\n"},
        {"size", [](hif_consistency_t *r) { velk_Put64(r->hif_tarsize, 3072); },
         "consistency check failed ArchiveSize=[2560] (from index) [3072](from archive)\n"},
        {"count", [](hif_consistency_t *r) { velk_Put64(r->hif_velk_filecount, 3); },
         "consistency check failed Archive Object Count=[2] (from index) 3](from archive)\n"},
    };
    for (const Case &c : cases) {
        hif_consistency_t changed = a;
        c.change(&changed);
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_CheckConsistency(&a, &changed), 0) << c.what;
        EXPECT_NE(cap.err().find(c.message), std::string::npos) << c.what << ": " << cap.err();
    }
}

// ---------------------------------------------------------------------------
// The worked example: one 10-byte member.
// ---------------------------------------------------------------------------

TEST_F(ConsistencyTest, OneTenByteMemberLaysOutFiveBlocks)
{
    velktest::writeFile("ten.dat", "0123456789");
    std::vector<hif_entry_t> entries = layOut({"ten.dat"});
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(velk_Get64(entries[0].hent_offset), 0u);
    EXPECT_EQ(velk_Get32(entries[0].hent_blocks), 2u);
    EXPECT_EQ(velk_Get64(entries[1].hent_offset), 2u);
    EXPECT_EQ(velk_Get32(entries[1].hent_blocks), 2u);
    EXPECT_EQ(velk_Get64(entries[1].hent_fsize), 256u);
    EXPECT_EQ(velk_archive_blocks, 5u);
    EXPECT_EQ(velk_index_entries, 2);
    EXPECT_EQ(velk_Get64(entries[1].hent_offset) + 3, velk_archive_blocks);

    const hif_consistency_t &rec = velk_index_hdr.hif_cfinfo;
    EXPECT_EQ(memcmp(rec.hif_inx_sanity, "VELK_INX", 8), 0);
    EXPECT_EQ(velk_Get32(rec.hif_cf_version), 1u);
    EXPECT_EQ(velk_Get64(rec.hif_tarsize), 2560u);
    EXPECT_EQ(velk_Get64(rec.hif_velk_filecount), 2u);
    EXPECT_EQ(velk_Get32(rec.hif_cf_rewrite_time), velk_Get32(rec.hif_create_time));
    EXPECT_EQ(velk_Get32(rec.hif_update_time), velk_Get32(rec.hif_create_time));
    EXPECT_EQ(memcmp(rec.hif_chost, rec.hif_mhost, sizeof rec.hif_chost), 0);
    char host[64] = {};
    ASSERT_EQ(gethostname(host, sizeof host), 0);
    EXPECT_EQ(std::string(rec.hif_mhost), std::string(host).substr(0, 49));

    // The temporary file: in TMPDIR, named for this process, mode 0600,
    // holding the record; the end of the run removes it.
    std::string cfName = velk_cf_filename;
    std::string prefix = dir_.path() + "/VELK_CF_CHK_" + std::to_string(getpid()) + "_";
    EXPECT_EQ(cfName.rfind(prefix, 0), 0u) << cfName;
    EXPECT_EQ(velk_cf_file_created, 1);
    EXPECT_EQ(velk_local_cfile_name, velk_cf_filename);
    struct stat st;
    ASSERT_EQ(lstat(cfName.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string body = velktest::readFile(cfName);
    EXPECT_EQ(Bytes(body.begin(), body.end()), bytesOf(rec));
    char entryName[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(&entries[1], entryName, sizeof entryName);
    EXPECT_EQ(std::string(entryName), cfName);

    // The archive the layout describes agrees with its index.
    writeArchive(entries, archiveName_);
    struct stat ast;
    ASSERT_EQ(stat(archiveName_.c_str(), &ast), 0);
    EXPECT_EQ(ast.st_size, 2560);
    int afd = open(archiveName_.c_str(), O_RDONLY);
    ASSERT_GE(afd, 0);
    hif_consistency_t fromArchive;
    ASSERT_EQ(velk_ReadArchiveCF(afd, VELK_LOCAL_FILE, 1024, &fromArchive), 0);
    EXPECT_EQ(bytesOf(fromArchive), bytesOf(rec));

    std::string tmpIndex = velk_tmpIndexFile;
    int ifd = velk_OpenIndexFile(tmpIndex.c_str(), O_RDONLY, VELK_LOCAL_FILE);
    ASSERT_GE(ifd, 0);
    velk_archive_blocks = static_cast<uint64_t>(ast.st_size) / 512;
    ASSERT_EQ(velk_IndexReadInit(), 0);
    EXPECT_EQ(velk_VerifyConsistencyFile(afd, VELK_LOCAL_FILE, ifd, VELK_LOCAL_FILE), 0);
    // The index is left at entry 0.
    hif_entry_t *first = nullptr;
    int eof = 0;
    ASSERT_EQ(velk_IndexFileRead(ifd, VELK_LOCAL_FILE, 0, &first, &eof), 0);
    ASSERT_EQ(eof, 0);
    EXPECT_EQ(std::string(first->hent_name), "ten.dat");

    // An index whose record was rewritten at another time does not belong.
    velk_Put32(velk_index_hdr.hif_cfinfo.hif_cf_rewrite_time,
               velk_Get32(velk_index_hdr.hif_cfinfo.hif_cf_rewrite_time) + 1);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_VerifyConsistencyFile(afd, VELK_LOCAL_FILE, ifd, VELK_LOCAL_FILE), -1);
        EXPECT_NE(cap.err().find("ERROR: Fatal: Index file one.tar.idx is inconsistent with Archive File one.tar\n"),
                  std::string::npos)
            << cap.err();
    }
    EXPECT_EQ(velk_exit_code.load(), 0);  // the caller decides the status

    // An index whose last entry is one block off is refused before the
    // archive is read: descriptor 1000 is not open, and reading it would
    // give another message.
    velk_archive_blocks = 6;
    ASSERT_EQ(fcntl(1000, F_GETFD), -1);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_VerifyConsistencyFile(1000, VELK_LOCAL_FILE, ifd, VELK_LOCAL_FILE), -1);
        EXPECT_NE(cap.err().find("ERROR: Incorrect Consistency File offset (2) in Index entry 1. Should be 3\n"),
                  std::string::npos)
            << cap.err();
        EXPECT_EQ(cap.err().find("Error fetching"), std::string::npos) << cap.err();
    }
    velk_archive_blocks = 2;  // too small to hold any consistency member
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_VerifyConsistencyFile(1000, VELK_LOCAL_FILE, ifd, VELK_LOCAL_FILE), -1);
        EXPECT_NE(cap.err().find("Incorrect Consistency File offset (2) in Index entry 1. Should be 0\n"),
                  std::string::npos);
    }
    close(ifd);
    close(afd);
}

TEST_F(ConsistencyTest, ArchiveCopyMustBeA256ByteMemberWithTheMark)
{
    velktest::writeFile("ten.dat", "0123456789");
    std::vector<hif_entry_t> entries = layOut({"ten.dat"});
    ASSERT_EQ(entries.size(), 2u);
    velk_debug_level = 1;

    // A last member of another size.
    std::string cfName = velk_cf_filename;
    velktest::writeFile(cfName, std::string(300, 'x'));
    velk_Put64(entries[1].hent_fsize, 300);
    writeArchive(entries, "size.tar");
    int fd = open("size.tar", O_RDONLY);
    ASSERT_GE(fd, 0);
    hif_consistency_t rec;
    memset(&rec, 0x5A, sizeof rec);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_ReadArchiveCF(fd, VELK_LOCAL_FILE, 1024, &rec), -1);
        EXPECT_NE(cap.err().find("/debug/ bad consistency file size: 300 expected 256\n"), std::string::npos)
            << cap.err();
    }
    EXPECT_EQ(static_cast<unsigned char>(rec.hif_inx_sanity[0]), 0x5A);  // untouched
    close(fd);

    // The right size without the mark.
    velktest::writeFile(cfName, std::string(256, 'y'));
    velk_Put64(entries[1].hent_fsize, 256);
    writeArchive(entries, "mark.tar");
    fd = open("mark.tar", O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_ReadArchiveCF(fd, VELK_LOCAL_FILE, 1024, &rec), -1);
        EXPECT_NE(cap.err().find("/debug/ bad consistency header: \"yyyyyyyy\" expected \"VELK_INX\"\n"),
                  std::string::npos)
            << cap.err();
    }
    // Not a header at all: the data block of the first member.
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_ReadArchiveCF(fd, VELK_LOCAL_FILE, 512, &rec), -1);
    }
    close(fd);

    // An archive that ends right after the member's header.
    std::string whole = velktest::readFile("mark.tar");
    velktest::writeFile("cut.tar", whole.substr(0, 1536));
    fd = open("cut.tar", O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_ReadArchiveCF(fd, VELK_LOCAL_FILE, 1024, &rec), -1);
        EXPECT_NE(cap.err().find("ERROR: Error reading Consistency File in archive one.tar\n"), std::string::npos)
            << cap.err();
    }
    close(fd);
}

// ---------------------------------------------------------------------------
// The temporary file.
// ---------------------------------------------------------------------------

TEST_F(ConsistencyTest, TakenNamesAndLinksAreNeverWrittenThrough)
{
    // Every name this second (and the next few) could produce is already a
    // link to a victim file.
    std::string victim = dir_ / "victim";
    time_t now = time(nullptr);
    for (time_t t = now; t < now + 10; t++) {
        std::string name = dir_ / ("VELK_CF_CHK_" + std::to_string(getpid()) + "_" + std::to_string(t));
        ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0);
    }
    velk_FillConsistencyRecord(&velk_index_hdr.hif_cfinfo, now, "h", 2560, 2, true);
    ASSERT_EQ(velk_WriteConsistencyFile(), 0);
    std::string name = velk_cf_filename;
    EXPECT_EQ(name.substr(name.size() - 2), "_1") << name;
    struct stat st;
    EXPECT_NE(lstat(victim.c_str(), &st), 0);  // never created through a link
    ASSERT_EQ(lstat(name.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, 256);
}

TEST_F(ConsistencyTest, TmpdirTooLongFailsBeforeAnythingIsWritten)
{
    // The directory may be 154 characters (an entry's prefix), no more.
    std::string longDir = dir_.path();
    while (longDir.size() < 155)
        longDir += "/d";
    longDir.resize(155);
    ASSERT_EQ(setenv("TMPDIR", longDir.c_str(), 1), 0);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_WriteConsistencyFile(), -1);
        EXPECT_NE(cap.err().find("ERROR: Fatal error 36 creating consistency file " + longDir), std::string::npos)
            << cap.err();
    }
    EXPECT_EQ(velk_exit_code.load(), 73);
    EXPECT_EQ(velk_cf_file_created, 0);
    EXPECT_EQ(velk_local_cfile_name, nullptr);

    std::string huge(5000, 'x');
    ASSERT_EQ(setenv("TMPDIR", ("/" + huge).c_str(), 1), 0);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_WriteConsistencyFile(), -1);
    }
    EXPECT_EQ(velk_cf_file_created, 0);

    // 154 characters: made and stored in an index entry whole.
    std::string okDir = longDir.substr(0, 154);
    std::filesystem::create_directories(okDir);
    ASSERT_EQ(setenv("TMPDIR", okDir.c_str(), 1), 0);
    velk_exit_code.store(0);
    ASSERT_EQ(velk_WriteConsistencyFile(), 0);
    ASSERT_EQ(velk_CreateTmpIndexFile(), 0);
    ASSERT_EQ(velk_WriteConsFileIndexEntry(velk_tmpIndexFD), 0);
    EXPECT_EQ(velk_index_entries, 1);
    EXPECT_EQ(velk_archive_blocks, 2u);
    hif_entry_t e;
    ASSERT_EQ(pread(velk_tmpIndexFD, &e, sizeof e, 0), static_cast<ssize_t>(sizeof e));
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(&e, path, sizeof path);
    EXPECT_EQ(std::string(path), std::string(velk_cf_filename));
    EXPECT_EQ(velk_exit_code.load(), 0);
}

TEST_F(ConsistencyTest, EntryNeedsTheWrittenFile)
{
    ASSERT_EQ(velk_CreateTmpIndexFile(), 0);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_WriteConsFileIndexEntry(velk_tmpIndexFD), -1);
    EXPECT_NE(cap.err().find("Fatal Error 2 stat-ing Consistency File"), std::string::npos) << cap.err();
    EXPECT_EQ(velk_exit_code.load(), 72);
    EXPECT_EQ(velk_index_entries, 0);
}

} // namespace
