// The consistency file: the record's bytes typed from the layout, which
// fields the comparison looks at, the layout of a one-member archive with the
// temporary file and its entry, reading the archive's copy back and the full
// check with its offset test, and the temporary file's safe creation.

#include <ctime>
#include <fcntl.h>
#include <iterator>

#include "velk_unit_fixture.h"

namespace {

using Bytes = std::vector<unsigned char>;
using velkunit::contains;

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

    velkunit::RunGlobals globals_;
    velkunit::InScratchDir dir_;
    std::string archiveName_ = "one.tar", indexName_ = "one.tar.idx";
};

TEST_F(ConsistencyTest, RecordBytesMatchTheLayout)
{
    hif_consistency_t rec;
    memset(&rec, 0, sizeof rec);
    velk_FillConsistencyRecord(&rec, 0x65A1B2C3, "hostA", 2560, 2, true);
    Bytes want(256, 0);
    auto put = [&](size_t off, const std::string &b) { memcpy(want.data() + off, b.data(), b.size()); };
    put(0, "VELK_INX");
    put(8, std::string("\0\0\0\x01", 4));                // version
    put(12, "\x65\xA1\xB2\xC3\x65\xA1\xB2\xC3\x65\xA1\xB2\xC3");  // rewrite, creation, update times
    put(24, "hostA");                                     // creating host
    put(74, "hostA");                                     // modifying host
    put(124, std::string("\0\0\0\0\0\0\x0A\0", 8));      // archive size 2560
    put(132, std::string("\0\0\0\0\0\0\0\x02", 8));      // members 2
    EXPECT_EQ(bytesOf(rec), want);

    // An update keeps the origin and changes only the update time, the
    // modifying host (cut to 49 characters and a NUL), the size and count.
    velk_FillConsistencyRecord(&rec, 0x65A1B2D0, std::string(60, 'h').c_str(), 3072, 3, false);
    put(20, "\x65\xA1\xB2\xD0");
    put(74, std::string(49, 'h'));
    put(124, std::string("\0\0\0\0\0\0\x0C\0", 8));
    put(132, std::string("\0\0\0\0\0\0\0\x03", 8));
    EXPECT_EQ(bytesOf(rec), want);
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

    void (*changes[])(hif_consistency_t *) = {
        [](hif_consistency_t *r) { r->hif_inx_sanity[7] = 'Y'; },
        [](hif_consistency_t *r) { velk_Put32(r->hif_cf_version, 2); },
        [](hif_consistency_t *r) { velk_Put32(r->hif_cf_rewrite_time, 1001); },
        [](hif_consistency_t *r) { velk_Put64(r->hif_tarsize, 3072); },
        [](hif_consistency_t *r) { velk_Put64(r->hif_velk_filecount, 3); },
    };
    // The verdict is the same at every debug level; only the reason is
    // printed at level 1 and above.
    for (int level : {0, 1}) {
        velk_debug_level = level;
        for (size_t i = 0; i < std::size(changes); i++) {
            hif_consistency_t changed = a;
            changes[i](&changed);
            velktest::OutputCapture cap;
            EXPECT_EQ(velk_CheckConsistency(&a, &changed), 0) << i << " at level " << level;
            EXPECT_EQ(contains(cap.err(), "consistency check failed"), level == 1) << i;
        }
    }
}

TEST_F(ConsistencyTest, OneTenByteMemberLaysOutFiveBlocksThatVerify)
{
    velktest::writeFile("ten.dat", "0123456789");
    std::vector<hif_entry_t> entries = velkunit::layOutCreate(&globals_.run, {"ten.dat"});
    ASSERT_EQ(entries.size(), 2u);
    // The member at block 0 (2 blocks), the 256-byte consistency member at
    // block 2 (2 blocks), one closing block.
    EXPECT_EQ(velk_Get64(entries[0].hent_offset), 0u);
    EXPECT_EQ(velk_Get32(entries[0].hent_blocks), 2u);
    EXPECT_EQ(velk_Get64(entries[1].hent_offset), 2u);
    EXPECT_EQ(velk_Get32(entries[1].hent_blocks), 2u);
    EXPECT_EQ(velk_Get64(entries[1].hent_fsize), 256u);
    EXPECT_EQ(velk_archive_blocks, 5u);
    EXPECT_EQ(velk_index_entries, 2);

    const hif_consistency_t &rec = velk_index_hdr.hif_cfinfo;
    EXPECT_EQ(velk_Get64(rec.hif_tarsize), 2560u);
    EXPECT_EQ(velk_Get64(rec.hif_velk_filecount), 2u);
    // The temporary file: in TMPDIR, named for this process, mode 0600,
    // holding the record.
    std::string cfName = globals_.run.archive.cfName;
    EXPECT_EQ(cfName.rfind(dir_.path() + "/VELK_CF_CHK_" + std::to_string(getpid()) + "_", 0), 0u) << cfName;
    struct stat st;
    ASSERT_EQ(lstat(cfName.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string body = velktest::readFile(cfName);
    EXPECT_EQ(Bytes(body.begin(), body.end()), bytesOf(rec));

    // The archive the layout describes agrees with its index: headers from
    // the entries, data from the files, padding, one closing zero block.
    std::string archive;
    for (const hif_entry_t &e : entries) {
        unsigned char block[512];
        velk_BuildPosixHeader(&e, block);
        char name[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(&e, name, sizeof name);
        std::string data = velktest::readFile(name);
        data.resize((velk_Get32(e.hent_blocks) - 1) * 512, '\0');
        archive += std::string(reinterpret_cast<char *>(block), 512) + data;
    }
    velktest::writeFile(archiveName_, archive + std::string(512, '\0'));
    ASSERT_EQ(velktest::readFile(archiveName_).size(), 2560u);
    int afd = open(archiveName_.c_str(), O_RDONLY);
    ASSERT_GE(afd, 0);
    hif_consistency_t fromArchive;
    ASSERT_EQ(velk_ReadArchiveCF(afd, VELK_LOCAL_FILE, 1024, &fromArchive), 0);
    EXPECT_EQ(bytesOf(fromArchive), bytesOf(rec));
    for (size_t cut : {1536u, 1536u + 255}) {  // the record cut short by the end of the archive
        velktest::writeFile("cut.tar", velktest::readFile(archiveName_).substr(0, cut));
        int cfd = open("cut.tar", O_RDONLY);
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_ReadArchiveCF(cfd, VELK_LOCAL_FILE, 1024, &fromArchive), -1) << cut;
        close(cfd);
    }
    int ifd = velk_OpenIndexFile(&globals_.run.xfer, &globals_.run.index, globals_.run.index.tmpName, O_RDONLY,
                                 VELK_LOCAL_FILE);
    ASSERT_GE(ifd, 0);
    ASSERT_EQ(velk_IndexReadInit(&globals_.run.index), 0);
    EXPECT_EQ(velk_VerifyConsistencyFile(&globals_.run.index, afd, VELK_LOCAL_FILE, ifd, VELK_LOCAL_FILE), 0);
    hif_entry_t *first = nullptr;  // the index is left at entry 0
    int eof = 0;
    ASSERT_EQ(velk_IndexFileRead(&globals_.run.index, ifd, VELK_LOCAL_FILE, 0, &first, &eof), 0);
    ASSERT_EQ(eof, 0);
    EXPECT_EQ(std::string(first->hent_name), "ten.dat");

    // An index whose record was rewritten at another time does not belong.
    velk_Put32(velk_index_hdr.hif_cfinfo.hif_cf_rewrite_time, velk_Get32(rec.hif_cf_rewrite_time) + 1);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_VerifyConsistencyFile(&globals_.run.index, afd, VELK_LOCAL_FILE, ifd, VELK_LOCAL_FILE), -1);
        EXPECT_TRUE(contains(cap.err(), "ERROR: Fatal: Index file one.tar.idx is inconsistent with Archive File "
                                        "one.tar\n"))
            << cap.err();
    }
    EXPECT_EQ(velk_exit_code.load(), 0);  // the caller decides the status

    // A last entry one block off, or an archive too small for any
    // consistency member, is refused before the archive is read:
    // descriptor 1000 is not open.
    ASSERT_EQ(fcntl(1000, F_GETFD), -1);
    for (uint64_t blocks : {6u, 2u}) {
        velk_archive_blocks = blocks;
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_VerifyConsistencyFile(&globals_.run.index, 1000, VELK_LOCAL_FILE, ifd, VELK_LOCAL_FILE), -1);
        EXPECT_TRUE(contains(cap.err(), "Incorrect Consistency File offset (2) in Index entry 1. Should be " +
                                            std::to_string(blocks == 6 ? 3 : 0) + "\n"))
            << cap.err();
    }
    close(ifd);
    close(afd);
}

TEST_F(ConsistencyTest, TemporaryFileIsNeverWrittenThroughALink)
{
    // Every name this second (and the next few) could produce is already a
    // link to a victim file.
    std::string victim = dir_ / "victim";
    time_t now = time(nullptr);
    for (time_t t = now; t < now + 10; t++)
        ASSERT_EQ(symlink(victim.c_str(),
                          (dir_ / ("VELK_CF_CHK_" + std::to_string(getpid()) + "_" + std::to_string(t))).c_str()),
                  0);
    velk_FillConsistencyRecord(&velk_index_hdr.hif_cfinfo, now, "h", 2560, 2, true);
    ASSERT_EQ(velk_WriteConsistencyFile(&globals_.run.archive), 0);
    std::string name = globals_.run.archive.cfName;
    EXPECT_EQ(name.substr(name.size() - 2), "_1") << name;
    struct stat st;
    EXPECT_NE(lstat(victim.c_str(), &st), 0);
    ASSERT_EQ(lstat(name.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_size, 256);
}

} // namespace
