// Member transfer status: the CRC-32, outcomes and their overrides, and the
// removal of local files after a create, with and without paranoid checks.

#include <fcntl.h>

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

// Removal of archived local files: a scratch tree, an index of it made by
// the index routines, the outcomes recorded, and changes after indexing.
TEST_F(MemberStatusTest, RemovesOnlyWhatWasArchivedWholeAndUnchangedWithParanoid)
{
    velkunit::InScratchDir dir;
    struct File {
        const char *name;
        bool gone, goneParanoid;
    } files[] = {
        {"good", true, true},      {"failed", false, false},  {"missing", false, false},
        {"phantom", false, false}, {"nowdir", false, false},  {"touched", true, false},
        {"grown", true, false},    {"chmodded", true, false}, {"link", true, true},
        {"nowlink", true, false},  {"subdir", false, false},  {"unreported", false, false},
        {"target", false, false},  // the link's target
    };
    for (bool paranoid : {false, true}) {
        SCOPED_TRACE(paranoid ? "paranoid" : "plain");
        for (const File &f : files)
            if (strcmp(f.name, "link") != 0 && strcmp(f.name, "subdir") != 0)
                velktest::writeFile(f.name, f.name);
        ASSERT_EQ(symlink("target", "link"), 0);
        ASSERT_EQ(mkdir("subdir", 0755), 0);
        std::vector<hif_entry_t> entries(12);
        for (size_t i = 0; i < entries.size(); i++) {
            const std::string name = files[i].name;  // the member points at it
            velk_FileSpec_t member = velkunit::memberFromLstat(name);
            ASSERT_EQ(velk_IndexFromFileSpec(static_cast<int64_t>(i), &member, &entries[i]), 0);
        }
        velk_Put32(entries[3].hent_flags, HIF_FLAG_PHANTOM | HIF_FLAG_DELETED);
        // The entry was made before the status change: an earlier ctime.
        velk_Put32(entries[7].hent_ctime, velk_Get32(entries[7].hent_ctime) - 100);
        int fd = open("members.idx", O_RDWR | O_CREAT | O_TRUNC, 0600);
        velk_index_entries = 12;
        velk_BuildIndexHeader();
        ASSERT_EQ(velk_WriteIndexHeader(fd, VELK_LOCAL_FILE, "members.idx", &velk_index_hdr), 0);
        ASSERT_EQ(write(fd, entries.data(), 12 * 512), 12 * 512);
        ASSERT_EQ(velk_InitMemberFileLists(12, 0), 0);
        for (int64_t i = 0; i <= 10; i++)
            ASSERT_EQ(velk_SetMemberFileXferSuccess(i, i == 1 ? 0 : 1), 0);
        ASSERT_EQ(velk_SetMissingMemberFile(2), 0);
        velk_FinalizeMemberLists();

        // Changes after the archive was written.
        ASSERT_EQ(unlink("nowdir"), 0);
        ASSERT_EQ(mkdir("nowdir", 0755), 0);
        struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 1000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, "touched", later, 0), 0);
        struct stat st;
        ASSERT_EQ(stat("grown", &st), 0);
        velktest::writeFile("grown", "grows later, by a few bytes");
        struct timespec keep[2] = {{0, UTIME_OMIT}, st.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, "grown", keep, 0), 0);  // only the size tells
        ASSERT_EQ(chmod("chmodded", 0600), 0);
        ASSERT_EQ(unlink("nowlink"), 0);
        ASSERT_EQ(symlink("target", "nowlink"), 0);

        velk_verify_flags = paranoid ? VELK_VERIFY_PARANOID : 0;
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_RemoveMemberFiles(fd, VELK_LOCAL_FILE), 0);
        close(fd);
        for (const File &f : files) {  // checked, then removed for the next round
            struct stat ls = {};
            EXPECT_EQ(lstat(f.name, &ls) == 0, !(paranoid ? f.goneParanoid : f.gone)) << f.name;
            (void)(S_ISDIR(ls.st_mode) ? rmdir(f.name) : unlink(f.name));
        }
    }
}

} // namespace
