// The index file: entries from member-table records (path splitting at its
// boundaries, link targets, size limits, the worked 10-byte example) and
// from tar headers, the header image, opening local index files with every
// size check, the buffered reader's end of file, positioned and random
// reads, the temporary index, the adjustment pass and entry selection.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <fnmatch.h>
#include <pwd.h>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velk_Globals.h"
#include "velk_IndexAccess.h"
#include "velk_IndexFile.h"
#include "velk_MemberStatus.h"
#include "velk_Memory.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"
#include "velk_unit_fixture.h"

namespace {

// Copies text into a fixed field the way the formats store it: zero-filled,
// not NUL-terminated when the text fills the field.
template <size_t N>
void copyField(char (&dst)[N], const char *src)
{
    memset(dst, 0, N);
    memcpy(dst, src, strnlen(src, N));
}

using Bytes = std::vector<unsigned char>;

velk_FileSpec_t specOf(uint32_t type, const std::string &name, uint64_t size = 0)
{
    velk_FileSpec_t s;
    memset(&s, 0, sizeof s);
    s.haveStatInfo = 1;
    s.filename = strdup(name.c_str());
    s.objectType = type;
    s.size = size;
    s.mode = 0644;
    return s;
}

struct Member {
    velk_FileSpec_t s;
    Member(uint32_t type, const std::string &name, uint64_t size = 0) : s(specOf(type, name, size)) {}
    ~Member() { free(s.filename); }
};

std::string field(const char *p, size_t n) { return std::string(p, strnlen(p, n)); }
std::string nameOf(const hif_entry_t &e) { return field(e.hent_name, sizeof e.hent_name); }
std::string prefixOf(const hif_entry_t &e) { return field(e.hent_prefix, sizeof e.hent_prefix); }

class IndexFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        velk_annotation_offset = 0;
        velk_SetIndexHooks(nullptr);
    }
    void TearDown() override { velk_SetIndexHooks(nullptr); }
    velkunit::RunGlobals globals_;
};

// ---------------------------------------------------------------------------
// Entries from member-table records.
// ---------------------------------------------------------------------------

TEST_F(IndexFileTest, EntryFromRecordMatchesTypedBytesWithSplitPath)
{
    // 5 + 110 + 1 + 60 characters: split at the '/' at position 115.
    std::string prefix = "dir1/" + std::string(110, 'p');
    std::string name(60, 'n');
    Member sp(VTO_FILE, prefix + "/" + name, 10);
    sp.s.mode = 0100644;  // type bits are not stored
    sp.s.ctime = 0x11223344;
    sp.s.mtime = 0x1055667788ull;  // kept to 32 bits
    sp.s.uid = 0;
    sp.s.gid = 0;
    velk_archive_blocks = 0x0000000100000002ull;
    hif_entry_t e;
    ASSERT_EQ(velk_IndexFromFileSpec(7, &sp.s, &e), 0);

    Bytes want(512, 0);
    auto put = [&](size_t off, const std::string &b) { memcpy(want.data() + off, b.data(), b.size()); };
    put(0, "VELK_IDX");
    put(12, std::string("\0\0\0\x02", 4));                          // blocks
    put(16, std::string("\0\0\0\x01", 4));                          // type FILE
    put(24, std::string("\0\0\0\x01", 4));                          // version
    put(28, std::string("\0\0\0\x01\0\0\0\x02", 8));                // offset
    put(36, std::string("\0\0\0\0\0\0\0\x0a", 8));                  // size
    put(56, name);
    put(156, prefix);
    put(412, std::string("\0\0\x01\xa4", 4));                       // mode 0644
    put(416, "\x11\x22\x33\x44");
    put(420, "\x55\x66\x77\x88");
    struct passwd *pw = getpwuid(0);
    struct group *gr = getgrgid(0);
    ASSERT_NE(pw, nullptr);
    ASSERT_NE(gr, nullptr);
    put(432, std::string(pw->pw_name).substr(0, 31));
    put(464, std::string(gr->gr_name).substr(0, 31));
    const auto *got = reinterpret_cast<const unsigned char *>(&e);
    for (size_t i = 0; i < 512; i++)
        ASSERT_EQ(got[i], want[i]) << "byte " << i;
}

TEST_F(IndexFileTest, WorkedExampleOfOneTenByteFile)
{
    // One 10-byte member at block 0 (2 blocks), the 256-byte consistency
    // member at block 2 (2 blocks), one trailing zero block: 5 blocks.
    Member member(VTO_FILE, "ten.txt", 10);
    Member cf(VTO_FILE, "/tmp/VELK_CF_CHK_1_2", 256);
    hif_entry_t e0, e1;
    ASSERT_EQ(velk_IndexFromFileSpec(0, &member.s, &e0), 0);
    velk_archive_blocks += velk_Get32(e0.hent_blocks);
    ASSERT_EQ(velk_IndexFromFileSpec(-1, &cf.s, &e1), 0);
    velk_archive_blocks += velk_Get32(e1.hent_blocks);
    EXPECT_EQ(velk_Get64(e0.hent_offset), 0u);
    EXPECT_EQ(velk_Get32(e0.hent_blocks), 2u);
    EXPECT_EQ(velk_Get64(e1.hent_offset), 2u);
    EXPECT_EQ(velk_Get32(e1.hent_blocks), 2u);
    uint64_t total = velk_archive_blocks + 1;
    EXPECT_EQ(total, 5u);
    EXPECT_EQ(total * 512, 2560u);
    EXPECT_EQ(velk_Get64(e1.hent_offset) + 3, total);
}

TEST_F(IndexFileTest, NameAndPrefixBoundaries)
{
    hif_entry_t e;
    {
        Member s(VTO_FILE, std::string(99, 'a'));
        ASSERT_EQ(velk_IndexFromFileSpec(0, &s.s, &e), 0);
        EXPECT_EQ(nameOf(e), std::string(99, 'a'));
        EXPECT_EQ(prefixOf(e), "");
    }
    {
        // 100 characters must be split.
        Member s(VTO_FILE, std::string(50, 'a') + "/" + std::string(49, 'b'));
        ASSERT_EQ(velk_IndexFromFileSpec(0, &s.s, &e), 0);
        EXPECT_EQ(prefixOf(e), std::string(50, 'a'));
        EXPECT_EQ(nameOf(e), std::string(49, 'b'));
    }
    {
        // The prefix may hold 154 characters ...
        Member s(VTO_FILE, std::string(154, 'a') + "/" + std::string(20, 'b'));
        ASSERT_EQ(velk_IndexFromFileSpec(0, &s.s, &e), 0);
        EXPECT_EQ(prefixOf(e), std::string(154, 'a'));
        EXPECT_EQ(nameOf(e), std::string(20, 'b'));
    }
    // ... not 155; a 100-character name without '/'; a last component of
    // more than 99 characters after short parts; a path whose only '/' is
    // its first character.
    const std::string omitted[] = {
        std::string(155, 'a') + "/" + std::string(20, 'b'),
        std::string(100, 'c'),
        "x/y/" + std::string(100, 'z'),
        "/" + std::string(99, 'd'),
    };
    for (const std::string &path : omitted) {
        velk_exit_code.store(0);
        Member s(VTO_FILE, path);
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_IndexFromFileSpec(0, &s.s, &e), -1) << path.size();
        EXPECT_EQ(cap.err(), "\nWARNING: name too long for tar archive- file omitted\n  [" + path + "]\n");
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_SOFTWARE);
    }
}

TEST_F(IndexFileTest, TrailingSlashIsDroppedBeforeSplitting)
{
    hif_entry_t e;
    Member dir(VTO_DIRECTORY, "some/dir//", 4096);
    ASSERT_EQ(velk_IndexFromFileSpec(0, &dir.s, &e), 0);
    EXPECT_EQ(nameOf(e), "some/dir");
    EXPECT_EQ(dir.s.size, 0u);  // directories carry no size
    EXPECT_EQ(velk_Get32(e.hent_blocks), 1u);

    // 99 characters and a '/': fits the name field once the slash is gone.
    std::string d99 = std::string(40, 'a') + "/" + std::string(58, 'b');
    Member slash(VTO_DIRECTORY, d99 + "/");
    ASSERT_EQ(velk_IndexFromFileSpec(0, &slash.s, &e), 0);
    EXPECT_EQ(nameOf(e), d99);
    EXPECT_EQ(prefixOf(e), "");

    // A long one splits before its last component, never leaving it empty.
    std::string longDir = std::string(80, 'a') + "/" + std::string(30, 'b');
    Member longSlash(VTO_DIRECTORY, longDir + "/");
    ASSERT_EQ(velk_IndexFromFileSpec(0, &longSlash.s, &e), 0);
    EXPECT_EQ(prefixOf(e), std::string(80, 'a'));
    EXPECT_EQ(nameOf(e), std::string(30, 'b'));
}

TEST_F(IndexFileTest, SymlinkTargetsOf99AndOf100Characters)
{
    velktest::ScratchDir dir;
    std::string t99(99, 't'), t100(100, 't');
    ASSERT_EQ(symlink(t99.c_str(), (dir / "l99").c_str()), 0);
    ASSERT_EQ(symlink(t100.c_str(), (dir / "l100").c_str()), 0);
    hif_entry_t e;
    Member ok(VTO_SYMLINK, dir / "l99", 99);
    ASSERT_EQ(velk_IndexFromFileSpec(0, &ok.s, &e), 0);
    EXPECT_EQ(field(e.hent_linkname, 100), t99);
    EXPECT_EQ(velk_Get64(e.hent_fsize), 0u);
    EXPECT_EQ(ok.s.size, 0u);
    EXPECT_EQ(velk_Get32(e.hent_type), static_cast<uint32_t>(VTO_SYMLINK));

    Member tooLong(VTO_SYMLINK, dir / "l100", 100);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_IndexFromFileSpec(0, &tooLong.s, &e), -1);
        EXPECT_EQ(cap.out(), "INFO: symlink " + (dir / "l100") +
                                 ": pointed-to name too long to store in archive\nINFO: [" + t100 + "]\n");
    }
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_SOFTWARE);

    velk_exit_code.store(0);
    Member missing(VTO_SYMLINK, dir / "nothere");
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_IndexFromFileSpec(0, &missing.s, &e), -1);
    EXPECT_NE(cap.err().find("ERROR: Error 2 reading symlink contents for "), std::string::npos);
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_SOFTWARE);
}

TEST_F(IndexFileTest, LargestMemberSizeAcceptedNextRefused)
{
    hif_entry_t e;
    Member big(VTO_FILE, "big", (uint64_t{1} << 36) - 1);
    ASSERT_EQ(velk_IndexFromFileSpec(0, &big.s, &e), 0);
    EXPECT_EQ(velk_Get64(e.hent_fsize), 68719476735u);
    EXPECT_EQ(velk_Get32(e.hent_blocks), 134217729u);

    Member tooBig(VTO_HARDLINK, "huge", uint64_t{1} << 36);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_IndexFromFileSpec(0, &tooBig.s, &e), -1);
    EXPECT_EQ(cap.out(), "INFO: File too large for velk to handle: huge (68719476736 bytes)\n");
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_SOFTWARE);
}

// ---------------------------------------------------------------------------
// Entries from tar headers.
// ---------------------------------------------------------------------------

hif_entry_t plainEntry(uint32_t type, uint64_t size)
{
    hif_entry_t e;
    memset(&e, 0, sizeof e);
    memcpy(e.hent_sanity, "VELK_IDX", 8);
    velk_Put32(e.hent_type, type);
    velk_Put64(e.hent_fsize, size);
    velk_Put32(e.hent_mode, 0640);
    velk_Put32(e.hent_uid, 1234);
    velk_Put32(e.hent_gid, 56);
    velk_Put32(e.hent_mtime, 0xFEDCBA98u);
    return e;
}

TEST_F(IndexFileTest, EntryFromTarHeader)
{
    hif_entry_t src = plainEntry(VTO_FILE, 513);
    memset(src.hent_name, 'n', 100);  // fills the field, no NUL
    memcpy(src.hent_prefix, "pre/fix", 7);
    strcpy(src.hent_uname, "owner");
    unsigned char block[512];
    velk_BuildPosixHeader(&src, block);
    posix_header_t h;
    ASSERT_EQ(velk_GetTarHeader(block, &h), 0);

    hif_entry_t e;
    uint32_t blocks = 0;
    uint64_t size = 0;
    ASSERT_EQ(velk_IndexFromTarHdr(77, &h, &e, &blocks, &size), 0);
    EXPECT_EQ(blocks, 3u);
    EXPECT_EQ(size, 513u);
    EXPECT_EQ(velk_Get64(e.hent_offset), 77u);
    EXPECT_EQ(velk_Get32(e.hent_type), static_cast<uint32_t>(VTO_FILE));
    EXPECT_EQ(velk_Get32(e.hent_version), 0u);
    EXPECT_EQ(velk_Get32(e.hent_mode), 0640u);
    EXPECT_EQ(velk_Get32(e.hent_uid), 1234u);
    EXPECT_EQ(velk_Get32(e.hent_gid), 56u);
    EXPECT_EQ(velk_Get32(e.hent_mtime), 0xFEDCBA98u);
    EXPECT_EQ(memcmp(e.hent_name, src.hent_name, 100), 0);
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(&e, path, sizeof path);
    EXPECT_EQ(std::string(path), "pre/fix/" + std::string(100, 'n'));
    EXPECT_EQ(field(e.hent_uname, 32), "owner");

    // Hard links and symbolic links keep the header's size; directories 0.
    h.thb_typeflag = '1';
    ASSERT_EQ(velk_IndexFromTarHdr(0, &h, &e, &blocks, &size), 0);
    EXPECT_EQ(velk_Get32(e.hent_type), static_cast<uint32_t>(VTO_HARDLINK));
    EXPECT_EQ(size, 513u);
    h.thb_typeflag = '5';
    ASSERT_EQ(velk_IndexFromTarHdr(0, &h, &e, &blocks, &size), 0);
    EXPECT_EQ(velk_Get32(e.hent_type), static_cast<uint32_t>(VTO_DIRECTORY));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(blocks, 1u);

    for (char t : {'3', '4', '6', '7', 'x'}) {
        h.thb_typeflag = t;
        EXPECT_EQ(velk_IndexFromTarHdr(0, &h, &e, &blocks, &size), -1) << t;
        hif_entry_t zero;
        memset(&zero, 0, sizeof zero);
        EXPECT_EQ(memcmp(&e, &zero, sizeof e), 0);
    }

    // An old header without the ustar magic marks a directory by its '/'.
    memset(&h, 0, sizeof h);
    strcpy(h.thb_name, "olddir/");
    memcpy(h.thb_size, "00000001000", 11);
    ASSERT_EQ(velk_IndexFromTarHdr(0, &h, &e, &blocks, &size), 0);
    EXPECT_EQ(velk_Get32(e.hent_type), static_cast<uint32_t>(VTO_DIRECTORY));
    memcpy(h.thb_magic, "ustar", 6);
    ASSERT_EQ(velk_IndexFromTarHdr(0, &h, &e, &blocks, &size), 0);
    EXPECT_EQ(velk_Get32(e.hent_type), static_cast<uint32_t>(VTO_FILE));
    EXPECT_EQ(size, 512u);
}

// ---------------------------------------------------------------------------
// Index files on disk.
// ---------------------------------------------------------------------------

// Header image for count entries, with annotation size annot.
Bytes headerBytes(uint32_t count, uint32_t annot = 0, const char *mark = "VelkIndex")
{
    hif_hdr_t h;
    memset(&h, 0, sizeof h);
    // The mark field is not NUL-terminated when the mark fills it.
    memcpy(h.hif_hdr.hif_sanity, mark, strnlen(mark, sizeof h.hif_hdr.hif_sanity));
    velk_Put32(h.hif_hdr.hif_version, 2001);
    velk_Put32(h.hif_hdr.obj_count, count);
    velk_Put32(h.hif_hdr.annotation_size, annot);
    Bytes b(288);
    velk_EncodeIndexHeader(&h, b.data());
    return b;
}

// Entry whose CRC field carries its ordinal, so that each read can be
// checked for being the right one.
Bytes entryBytes(uint32_t ordinal)
{
    hif_entry_t e = plainEntry(VTO_FILE, ordinal);
    velk_Put32(e.hent_crc32, ordinal);
    snprintf(e.hent_name, sizeof e.hent_name, "member%u", ordinal);
    Bytes b(512);
    velk_EncodeIndexEntry(&e, b.data());
    return b;
}

std::string indexFile(const velktest::ScratchDir &dir, const char *name, uint32_t claimed, uint32_t present,
                      size_t tail = 0, uint32_t annot = 0, const char *mark = "VelkIndex")
{
    std::string s;
    Bytes h = headerBytes(claimed, annot, mark);
    s.append(h.begin(), h.end());
    s.append(annot, 'A');
    for (uint32_t i = 0; i < present; i++) {
        Bytes e = entryBytes(i);
        s.append(e.begin(), e.end());
    }
    s.append(tail, 'T');
    velktest::writeFile(dir / name, s);
    return dir / name;
}

TEST_F(IndexFileTest, OpeningDerivesEntriesFromTheSize)
{
    velktest::ScratchDir dir;
    // 288 + 512 x 3 + 100: three entries, the partial one ignored.
    std::string p = indexFile(dir, "a.idx", 3, 3, 100);
    int fd = velk_OpenIndexFile(p.c_str(), O_RDONLY, VELK_LOCAL_FILE);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(velk_index_entries, 3);
    EXPECT_EQ(velk_index_filesize, 288u + 512 * 3 + 100);
    EXPECT_TRUE(velk_IndexHeaderSane(&velk_index_hdr));
    EXPECT_EQ(velk_Get32(velk_index_hdr.hif_hdr.hif_version), 2001u);
    close(fd);

    // An annotation area is skipped: entries start after it.
    std::string q = indexFile(dir, "b.idx", 2, 2, 0, 64);
    fd = velk_OpenIndexFile(q.c_str(), O_RDONLY, VELK_LOCAL_FILE);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(velk_index_entries, 2);
    hif_entry_t e;
    ASSERT_EQ(velk_IndexReadRandomEntry(fd, VELK_LOCAL_FILE, 1, &e), 0);
    EXPECT_EQ(velk_Get32(e.hent_crc32), 1u);
    close(fd);
    EXPECT_EQ(velk_exit_code.load(), 0);
}

TEST_F(IndexFileTest, TruncatedOrForeignFilesAreRefused)
{
    velktest::ScratchDir dir;
    velktest::writeFile(dir / "empty.idx", "");
    velktest::writeFile(dir / "short.idx", std::string(287, 'x'));
    Bytes h = headerBytes(0);
    velktest::writeFile(dir / "half.idx", std::string(h.begin(), h.begin() + 200));
    // An annotation area of 11 bytes with only 10 bytes after the header.
    Bytes a = headerBytes(0, 11);
    velktest::writeFile(dir / "annot.idx", std::string(a.begin(), a.end()) + std::string(10, 'A'));
    const std::string bad[] = {
        dir / "empty.idx",
        dir / "short.idx",
        dir / "half.idx",
        indexFile(dir, "foreign.idx", 1, 1, 0, 0, "NotAnIndex"),
        indexFile(dir, "marklong.idx", 1, 1, 0, 0, "VelkIndexes"),
        dir / "annot.idx",
        indexFile(dir, "count.idx", 4, 3, 511),     // claims more than present
    };
    for (const std::string &p : bad) {
        velk_exit_code.store(0);
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_OpenIndexFile(p.c_str(), O_RDONLY, VELK_LOCAL_FILE), -1) << p;
        EXPECT_EQ(cap.err(), "ERROR: Oops - " + p + " doesn't look like an VELK index file\n");
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR) << p;
    }

    velk_exit_code.store(0);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_OpenIndexFile((dir / "none.idx").c_str(), O_RDONLY, VELK_LOCAL_FILE), -1);
    EXPECT_EQ(cap.err(), "ERROR: FATAL: error 2 getting attributes for local index file " + (dir / "none.idx") + "\n");
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
}

TEST_F(IndexFileTest, PlacingIndexRemotelyIsNotAvailable)
{
    // Opening a storage-system or gateway-host index goes through the
    // gateway; the end-to-end list tests cover it.
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_CopyIndexToQuor(), -1);
    EXPECT_EQ(velk_CopyIndexToRemote(), -1);
    std::string out = cap.out();
    EXPECT_NE(out.find("INFO:     A \"rebuild_index\" run will be needed to (re)create the\n"), std::string::npos);
    EXPECT_NE(out.find("INFO:     Index File for this velk file. See the man page for details\n"), std::string::npos);
}

TEST_F(IndexFileTest, HeaderWriteAndReadBack)
{
    velktest::ScratchDir dir;
    int fd = open((dir / "w.idx").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    velk_index_entries = 5;
    velk_index_flags = HIF_IDX_FOREIGN_ARCHIVE;
    memset(&velk_index_hdr, 0, sizeof velk_index_hdr);
    velk_BuildIndexHeader();
    ASSERT_EQ(velk_WriteIndexHeader(fd, VELK_LOCAL_FILE, "w.idx", &velk_index_hdr), 0);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 288);
    unsigned char raw[32];
    ASSERT_EQ(pread(fd, raw, 32, 0), 32);
    const unsigned char want[32] = {'V', 'e', 'l', 'k', 'I', 'n', 'd', 'e', 'x', 0, 0, 0, 0, 0, 0x07, 0xD1,
                                    0x80, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(memcmp(raw, want, 32), 0);
    hif_hdr_t back;
    ASSERT_EQ(velk_ReadIndexHeader(fd, VELK_LOCAL_FILE, "w.idx", &back), 0);
    EXPECT_EQ(memcmp(&back, &velk_index_hdr, sizeof back), 0);
    close(fd);

    // A file too short for a header fails the read.
    fd = open((dir / "w.idx").c_str(), O_RDWR | O_TRUNC);
    ASSERT_GE(fd, 0);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_ReadIndexHeader(fd, VELK_LOCAL_FILE, "w.idx", &back), -1);
    EXPECT_NE(cap.err().find("velk_ReadIndexHeader: Error 5 reading local index file header: w.idx"),
              std::string::npos);
    close(fd);
}

// ---------------------------------------------------------------------------
// Reading.
// ---------------------------------------------------------------------------

TEST_F(IndexFileTest, SequentialReadAcrossBufferFillsEndsAtEof)
{
    velktest::ScratchDir dir;
    const uint32_t n = 8192 + 3;  // one full buffer and a little more
    std::string p = indexFile(dir, "big.idx", n, n);
    int fd = velk_OpenIndexFile(p.c_str(), O_RDONLY, VELK_LOCAL_FILE);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(velk_IndexReadInit(), 0);
    uint32_t seen = 0;
    for (;;) {
        hif_entry_t *e = nullptr;
        int eof = 0;
        ASSERT_EQ(velk_IndexFileRead(fd, VELK_LOCAL_FILE, 0, &e, &eof), 0);
        if (eof)
            break;
        ASSERT_NE(e, nullptr);
        ASSERT_EQ(velk_Get32(e->hent_crc32), seen) << "entry out of order";
        seen++;
    }
    EXPECT_EQ(seen, n);
    // Further reads stay at end of file.
    hif_entry_t *e = nullptr;
    int eof = 0;
    ASSERT_EQ(velk_IndexFileRead(fd, VELK_LOCAL_FILE, 0, &e, &eof), 0);
    EXPECT_EQ(eof, 1);

    // Positioning restarts the reader at an ordinal; maxEntries limits a fill
    // without changing what is read.
    ASSERT_EQ(velk_IndexFilePosition(fd, VELK_LOCAL_FILE, 8190), 0);
    for (uint32_t want = 8190; want < n; want++) {
        ASSERT_EQ(velk_IndexFileRead(fd, VELK_LOCAL_FILE, 2, &e, &eof), 0);
        ASSERT_EQ(eof, 0);
        EXPECT_EQ(velk_Get32(e->hent_crc32), want);
    }
    ASSERT_EQ(velk_IndexFileRewind(fd, VELK_LOCAL_FILE), 0);
    ASSERT_EQ(velk_IndexFileRead(fd, VELK_LOCAL_FILE, 0, &e, &eof), 0);
    EXPECT_EQ(velk_Get32(e->hent_crc32), 0u);
    close(fd);
}

TEST_F(IndexFileTest, ShortFileEndsReadingWithoutStaleEntries)
{
    velktest::ScratchDir dir;
    std::string p = indexFile(dir, "t.idx", 3, 3);
    int fd = velk_OpenIndexFile(p.c_str(), O_RDONLY, VELK_LOCAL_FILE);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(velk_IndexReadInit(), 0);
    // The file shrinks to two entries and half of the third after opening,
    // and the count still says three.
    ASSERT_EQ(truncate(p.c_str(), 288 + 512 * 2 + 256), 0);
    std::vector<uint32_t> got;
    for (int guard = 0; guard < 10; guard++) {
        hif_entry_t *e = nullptr;
        int eof = 0;
        ASSERT_EQ(velk_IndexFileRead(fd, VELK_LOCAL_FILE, 0, &e, &eof), 0);
        if (eof)
            break;
        got.push_back(velk_Get32(e->hent_crc32));
    }
    EXPECT_EQ(got, (std::vector<uint32_t>{0, 1}));
    close(fd);
}

TEST_F(IndexFileTest, RandomReadsCheckRangeAndSanity)
{
    velktest::ScratchDir dir;
    std::string p = indexFile(dir, "r.idx", 4, 4);
    int fd = velk_OpenIndexFile(p.c_str(), O_RDWR, VELK_LOCAL_FILE);
    ASSERT_GE(fd, 0);
    hif_entry_t e;
    ASSERT_EQ(velk_IndexReadRandomEntry(fd, VELK_LOCAL_FILE, 3, &e), 0);
    EXPECT_EQ(velk_Get32(e.hent_crc32), 3u);
    ASSERT_EQ(velk_IndexReadRandomEntry(fd, VELK_LOCAL_FILE, 0, &e), 0);
    EXPECT_EQ(velk_Get32(e.hent_crc32), 0u);

    for (int64_t ord : {int64_t{4}, int64_t{1000}, int64_t{-1}}) {
        velk_exit_code.store(0);
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_IndexReadRandomEntry(fd, VELK_LOCAL_FILE, ord, &e), -1) << ord;
        EXPECT_NE(cap.err().find("is beyond the end of index file"), std::string::npos);
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
    }

    // The file loses its last entry after opening: reading it fails at once.
    ASSERT_EQ(ftruncate(fd, 288 + 512 * 3), 0);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_IndexReadRandomEntry(fd, VELK_LOCAL_FILE, 3, &e), -1);
        EXPECT_NE(cap.err().find("FATAL: error 5 reading 512 bytes from index file"), std::string::npos);
    }
    // A damaged entry is refused.
    ASSERT_EQ(pwrite(fd, "XELK", 4, 288 + 512), 4);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_IndexReadRandomEntry(fd, VELK_LOCAL_FILE, 1, &e), -1);
    EXPECT_EQ(cap.err(), "ERROR: [velk_IndexReadRandomEntry] Bad Index Header detected (sanity string mismatch)\n");
    close(fd);
}

// ---------------------------------------------------------------------------
// The temporary index and the adjustment pass.
// ---------------------------------------------------------------------------

TEST_F(IndexFileTest, TemporaryIndexBesideLocalIndex)
{
    velktest::ScratchDir dir;
    std::string final = dir / "sub/final.idx";
    velk_index_filename = final.data();
    velk_filetype = VELK_LOCAL_FILE;
    velk_option_flags = VELK_OPT_MAKE_PARENTS;  // sub/ does not exist yet
    ASSERT_EQ(velk_CreateTmpIndexFile(), 0);
    ASSERT_NE(velk_tmpIndexFile, nullptr);
    std::string tmp = velk_tmpIndexFile;
    EXPECT_EQ(tmp.rfind(dir / "sub/velk_", 0), 0u) << tmp;
    EXPECT_EQ(tmp.size(), (dir / "sub/velk_").size() + 6);
    struct stat st;
    ASSERT_EQ(fstat(velk_tmpIndexFD, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(velk_unlinkTmpIndexFile, 1);
}

TEST_F(IndexFileTest, TemporaryIndexInTmpdirGetsNewNameWhenTaken)
{
    velkunit::InScratchDir dir;
    velk_filetype = VELK_QUOR_FILE;
    // Occupy the names of the coming seconds; one of them as a symbolic link
    // that creation must not follow.
    long now = static_cast<long>(time(nullptr));
    std::string base = dir / ("VELK_INX_" + std::to_string(getpid()) + "_");
    for (long t = now; t < now + 30; t++)
        ASSERT_EQ(symlink((dir / "victim").c_str(), (base + std::to_string(t)).c_str()), 0);
    ASSERT_EQ(velk_CreateTmpIndexFile(), 0);
    std::string tmp = velk_tmpIndexFile;
    EXPECT_EQ(tmp.rfind(base, 0), 0u) << tmp;
    EXPECT_EQ(tmp.substr(tmp.size() - 2), "_1") << tmp;
    struct stat st;
    EXPECT_NE(lstat((dir / "victim").c_str(), &st), 0);  // the link target was never created
    ASSERT_EQ(lstat(tmp.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// Transfer outcome used by the adjustment tests, recorded in the member
// status tables: ordinals 0 and 2 succeeded with CRCs 0xC0DE0000 + ordinal,
// ordinal 1 failed.
void recordOutcomes(int64_t members)
{
    ASSERT_EQ(velk_InitMemberFileLists(members, 0), 0);
    for (int64_t i = 0; i < members; i++) {
        ASSERT_EQ(velk_SetMemberFileXferSuccess(i, i == 1 ? 0 : 1), 0);
        ASSERT_EQ(velk_SetMemberFileXferCRC(i, 0xC0DE0000u + static_cast<uint32_t>(i)), 0);
    }
    velk_FinalizeMemberLists();
}

TEST_F(IndexFileTest, AdjustingEntriesAppliesTransferStatus)
{
    hif_entry_t src = plainEntry(VTO_FILE, 700);
    strcpy(src.hent_name, "name");
    strcpy(src.hent_prefix, "some/prefix");
    velk_Put64(src.hent_offset, 42);
    velk_Put32(src.hent_blocks, 3);
    hif_entry_t out;
    // Directories are copied as they are, whatever the status tables hold.
    hif_entry_t dirEntry = plainEntry(VTO_DIRECTORY, 0);
    ASSERT_EQ(velk_AdjustIndexEntry(1, &dirEntry, &out), 0);
    EXPECT_EQ(memcmp(&out, &dirEntry, sizeof out), 0);

    velk_option_flags = VELK_OPT_CRC;  // the CRC table exists only with -H crc
    recordOutcomes(3);
    velk_option_flags = 0;
    ASSERT_EQ(velk_AdjustIndexEntry(1, &src, &out), 0);
    EXPECT_EQ(nameOf(out), "/dev/null");
    EXPECT_EQ(prefixOf(out), "");
    EXPECT_EQ(velk_Get32(out.hent_flags), HIF_FLAG_PHANTOM | HIF_FLAG_DELETED);
    EXPECT_EQ(velk_Get64(out.hent_offset), 42u);
    EXPECT_EQ(velk_Get32(out.hent_blocks), 3u);
    EXPECT_EQ(velk_Get64(out.hent_fsize), 700u);

    ASSERT_EQ(velk_AdjustIndexEntry(2, &src, &out), 0);
    EXPECT_EQ(memcmp(&out, &src, sizeof out), 0);  // no -H crc: unchanged
    velk_option_flags = VELK_OPT_CRC;
    ASSERT_EQ(velk_AdjustIndexEntry(2, &src, &out), 0);
    EXPECT_EQ(velk_Get32(out.hent_flags), HIF_FLAG_CRC);
    EXPECT_EQ(velk_Get32(out.hent_crc32), 0xC0DE0002u);

    // An ordinal the status tables do not cover is an internal error: the
    // member is taken as failed and the run's status becomes 1.
    {
        velktest::OutputCapture cap;
        ASSERT_EQ(velk_AdjustIndexEntry(7, &src, &out), 0);
        EXPECT_NE(cap.out().find("Bad index value 7"), std::string::npos) << cap.out();
    }
    EXPECT_EQ(nameOf(out), "/dev/null");
    EXPECT_EQ(velk_exit_code.load(), 1);
    velk_ReleaseMemberFileLists();
}

TEST_F(IndexFileTest, LocalAdjustmentPassRewritesTheTemporaryIndex)
{
    velktest::ScratchDir dir;
    std::string final = dir / "x.idx";
    velk_index_filename = final.data();
    velk_filetype = VELK_LOCAL_FILE;
    ASSERT_EQ(velk_CreateTmpIndexFile(), 0);
    std::string tmp = velk_tmpIndexFile;
    velk_index_entries = 3;
    memset(&velk_index_hdr, 0, sizeof velk_index_hdr);
    velk_BuildIndexHeader();
    ASSERT_EQ(velk_WriteIndexHeader(velk_tmpIndexFD, VELK_LOCAL_FILE, tmp.c_str(), &velk_index_hdr), 0);
    for (uint32_t i = 0; i < 3; i++) {
        Bytes e = entryBytes(i);
        ASSERT_EQ(write(velk_tmpIndexFD, e.data(), e.size()), 512);
    }
    velk_option_flags = VELK_OPT_CRC;
    recordOutcomes(3);
    ASSERT_EQ(velk_CopyAndAdjustLocalIndex(), 0);
    velk_ReleaseMemberFileLists();
    EXPECT_EQ(std::string(velk_tmpIndexFile), tmp);

    int fd = velk_OpenIndexFile(tmp.c_str(), O_RDONLY, VELK_LOCAL_FILE);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(velk_index_entries, 3);
    hif_entry_t e;
    ASSERT_EQ(velk_IndexReadRandomEntry(fd, VELK_LOCAL_FILE, 0, &e), 0);
    EXPECT_EQ(velk_Get32(e.hent_flags), HIF_FLAG_CRC);
    EXPECT_EQ(velk_Get32(e.hent_crc32), 0xC0DE0000u);
    ASSERT_EQ(velk_IndexReadRandomEntry(fd, VELK_LOCAL_FILE, 1, &e), 0);
    EXPECT_EQ(nameOf(e), "/dev/null");
    EXPECT_LT(static_cast<int32_t>(velk_Get32(e.hent_flags)), 0);
    ASSERT_EQ(velk_IndexReadRandomEntry(fd, VELK_LOCAL_FILE, 2, &e), 0);
    EXPECT_EQ(nameOf(e), "member2");
    close(fd);
    // Only the renamed file is left beside the index: no second copy.
    int files = 0;
    for (const auto &f : std::filesystem::directory_iterator(dir.path())) {
        EXPECT_EQ(f.path().string(), tmp);
        files++;
    }
    EXPECT_EQ(files, 1);
}

// ---------------------------------------------------------------------------
// Selection.
// ---------------------------------------------------------------------------

hif_entry_t entryAt(const char *path)
{
    hif_entry_t e = plainEntry(VTO_FILE, 0);
    copyField(e.hent_name, path);
    return e;
}

int fnmatchComponent(const char *name, const char *pattern)
{
    return fnmatch(pattern, name, 0) == 0 ? 1 : 0;
}

TEST_F(IndexFileTest, SelectionByNamesAndPatterns)
{
    hif_entry_t ab = entryAt("a/b"), abc = entryAt("a/b/c"), abc2 = entryAt("a/bc"), top = entryAt("top");
    // No names: everything, or only top-level paths under norecurse.
    EXPECT_EQ(velk_IndexEntryWasSelected(&abc, nullptr, 0), 1);
    velk_option_flags = VELK_OPT_NORECURSE;
    EXPECT_EQ(velk_IndexEntryWasSelected(&abc, nullptr, 0), 0);
    EXPECT_EQ(velk_IndexEntryWasSelected(&top, nullptr, 0), 1);
    velk_option_flags = 0;

    Member name(VTO_UNKNOWN, "a/b");
    EXPECT_EQ(velk_IndexEntryWasSelected(&ab, &name.s, 1), 1);
    EXPECT_EQ(velk_IndexEntryWasSelected(&abc, &name.s, 1), 1);
    EXPECT_EQ(velk_IndexEntryWasSelected(&abc2, &name.s, 1), 0);
    EXPECT_EQ(velk_IndexEntryWasSelected(&top, &name.s, 1), 0);
    velk_option_flags = VELK_OPT_NORECURSE;
    EXPECT_EQ(velk_IndexEntryWasSelected(&ab, &name.s, 1), 1);
    EXPECT_EQ(velk_IndexEntryWasSelected(&abc, &name.s, 1), 0);
    velk_option_flags = 0;

    // Wildcards go through the installed matcher, component by component.
    Member table[2] = {Member(VTO_UNKNOWN, "zzz"), Member(VTO_UNKNOWN, "a/*")};
    table[1].s.hasWildcards = 1;
    velk_FileSpec_t recs[2] = {table[0].s, table[1].s};
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_IndexEntryWasSelected(&ab, recs, 2), 0);
        EXPECT_NE(cap.err().find("wildcard matching is not available"), std::string::npos);
    }
    velk_index_hooks_t hooks = {fnmatchComponent};
    velk_SetIndexHooks(&hooks);
    EXPECT_EQ(velk_IndexEntryWasSelected(&ab, recs, 2), 1);
    EXPECT_EQ(velk_IndexEntryWasSelected(&abc, recs, 2), 1);   // below a matched directory
    EXPECT_EQ(velk_IndexEntryWasSelected(&top, recs, 2), 0);
    hif_entry_t justA = entryAt("a");
    EXPECT_EQ(velk_IndexEntryWasSelected(&justA, recs, 2), 0);  // path ran out first
    velk_option_flags = VELK_OPT_NORECURSE;
    EXPECT_EQ(velk_IndexEntryWasSelected(&abc, recs, 2), 0);
    EXPECT_EQ(velk_IndexEntryWasSelected(&ab, recs, 2), 1);
}

} // namespace
