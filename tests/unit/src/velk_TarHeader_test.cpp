// The ustar member header: blocks built from index entries against bytes
// typed from the field table, header validation (both checksum forms, end
// of archive, refused type flags), octal text in both directions, headers
// written by GNU tar, the sequential read loop's error rules and the storage
// layout derivation.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "velk_Globals.h"
#include "velk_IndexFormat.h"
#include "velk_TarHeader.h"
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

using Block = std::vector<unsigned char>;

// A block of zeros with the given texts placed at literal offsets.
struct Field {
    size_t offset;
    std::string text;  // may hold NULs
};
Block blockOf(const std::vector<Field> &fields)
{
    Block b(512, 0);
    for (const Field &f : fields)
        memcpy(b.data() + f.offset, f.text.data(), f.text.size());
    return b;
}
std::string S(const char *p, size_t n) { return std::string(p, n); }

// Fields every header velk writes carries: magic, version, device numbers.
std::vector<Field> withCommon(std::vector<Field> f)
{
    f.push_back({257, S("ustar\0", 6)});
    f.push_back({263, "00"});
    f.push_back({329, S("0000000\0", 8)});
    f.push_back({337, S("0000000\0", 8)});
    return f;
}

// Index entry with the fields a header is built from.
hif_entry_t entryOf(uint32_t type, const char *name, const char *prefix, const char *link, uint32_t mode, uint32_t uid,
                    uint32_t gid, uint64_t size, uint32_t mtime, const char *uname, const char *gname)
{
    hif_entry_t e;
    memset(&e, 0, sizeof e);
    memcpy(e.hent_sanity, "VELK_IDX", 8);
    velk_Put32(e.hent_type, type);
    copyField(e.hent_name, name);
    copyField(e.hent_prefix, prefix);
    copyField(e.hent_linkname, link);
    velk_Put32(e.hent_mode, mode);
    velk_Put32(e.hent_uid, uid);
    velk_Put32(e.hent_gid, gid);
    velk_Put64(e.hent_fsize, size);
    velk_Put32(e.hent_mtime, mtime);
    copyField(e.hent_uname, uname);
    copyField(e.hent_gname, gname);
    return e;
}

Block built(const hif_entry_t &e)
{
    Block b(512, 0xAA);  // garbage, so that a byte left unwritten shows
    velk_BuildPosixHeader(&e, b.data());
    return b;
}

::testing::AssertionResult sameBlock(const Block &got, const Block &want)
{
    for (size_t i = 0; i < 512; i++)
        if (got[i] != want[i])
            return ::testing::AssertionFailure() << "first difference at byte " << i << ": got " << int(got[i])
                                                 << " want " << int(want[i]);
    return ::testing::AssertionSuccess();
}

class TarHeaderTest : public ::testing::Test {
protected:
    velkunit::RunGlobals globals_;
};

// ---------------------------------------------------------------------------
// Building headers.
// ---------------------------------------------------------------------------

TEST_F(TarHeaderTest, FileHeaderMatchesTypedBytes)
{
    // 1600000000 = octal 13727410000; checksum 5779 = octal 13223.
    Block want = blockOf(withCommon({{0, "hello.txt"},
                                     {100, S("0000644\0", 8)},
                                     {108, S("0001750\0", 8)},
                                     {116, S("0000144\0", 8)},
                                     {124, "000000000012"},
                                     {136, S("13727410000\0", 12)},
                                     {148, S(" 13223\0 ", 8)},
                                     {156, "0"},
                                     {265, "alice"},
                                     {297, "staff"}}));
    hif_entry_t e = entryOf(VTO_FILE, "hello.txt", "", "", 0644, 1000, 100, 10, 1600000000u, "alice", "staff");
    EXPECT_TRUE(sameBlock(built(e), want));
}

TEST_F(TarHeaderTest, DirectoryAndSymlinkHeadersMatchTypedBytes)
{
    Block dir = blockOf(withCommon({{0, "dir"},
                                    {100, S("0000755\0", 8)},
                                    {108, S("0000000\0", 8)},
                                    {116, S("0000000\0", 8)},
                                    {124, "000000000000"},
                                    {136, S("00000000000\0", 12)},
                                    {148, S(" 13110\0 ", 8)},
                                    {156, "5"},
                                    {265, "root"},
                                    {297, "root"},
                                    {345, "top/sub"}}));
    EXPECT_TRUE(sameBlock(built(entryOf(VTO_DIRECTORY, "dir", "top/sub", "", 0755, 0, 0, 0, 0, "root", "root")), dir));

    Block sym = blockOf(withCommon({{0, "link"},
                                    {100, S("0000777\0", 8)},
                                    {108, S("0001750\0", 8)},
                                    {116, S("0000144\0", 8)},
                                    {124, "000000000000"},
                                    {136, S("13727410000\0", 12)},
                                    {148, S(" 14373\0 ", 8)},
                                    {156, "2"},
                                    {157, "target/file"},
                                    {265, "alice"},
                                    {297, "staff"}}));
    EXPECT_TRUE(sameBlock(
        built(entryOf(VTO_SYMLINK, "link", "", "target/file", 0777, 1000, 100, 0, 1600000000u, "alice", "staff")),
        sym));
}

TEST_F(TarHeaderTest, LargestSizeFillsTwelveDigitsAndStillVerifies)
{
    // 2^36 - 1 is twelve 7s with no terminator; checksum 4147 = octal 10063.
    Block want = blockOf(withCommon({{0, "big"},
                                     {100, S("0000644\0", 8)},
                                     {108, S("0000000\0", 8)},
                                     {116, S("0000000\0", 8)},
                                     {124, "777777777777"},
                                     {136, S("00000000000\0", 12)},
                                     {148, S(" 10063\0 ", 8)},
                                     {156, "0"}}));
    Block got = built(entryOf(VTO_FILE, "big", "", "", 0644, 0, 0, (uint64_t{1} << 36) - 1, 0, "", ""));
    EXPECT_TRUE(sameBlock(got, want));
    posix_header_t h;
    ASSERT_EQ(velk_GetTarHeader(got.data(), &h), 0);
    EXPECT_EQ(velk_GetMemberFilesize(&h), 68719476735u);
}

TEST_F(TarHeaderTest, HardLinkIsWrittenAsFileAndBadTypeLeavesFlagEmpty)
{
    Block link = built(entryOf(VTO_HARDLINK, "hl", "", "", 0600, 1, 2, 5, 7, "u", "g"));
    EXPECT_EQ(link[156], '0');
    EXPECT_EQ(S(reinterpret_cast<char *>(link.data()) + 124, 12), "000000000005");

    velktest::OutputCapture cap;
    Block bad = built(entryOf(9, "odd", "pre", "", 0600, 1, 2, 5, 7, "u", "g"));
    std::string err = cap.err();
    EXPECT_EQ(bad[156], 0);
    EXPECT_NE(err.find("ERROR: Internal error [velk_BuildPosixHeader,line "), std::string::npos) << err;
    EXPECT_NE(err.find("]. Bad object type 9 for pre/odd\n"), std::string::npos) << err;
}

TEST_F(TarHeaderTest, FullWidthTextFieldsAreCopiedWhole)
{
    // A 100-character name and link target and a 155-character prefix
    // fill their fields with no NUL; the prefix's extra entry byte is not
    // copied into the header.
    std::string name(100, 'n'), link(100, 'l'), prefix(155, 'p');
    hif_entry_t e = entryOf(VTO_SYMLINK, "", "", "", 0777, 0, 0, 0, 0, "", "");
    memcpy(e.hent_name, name.data(), 100);
    memcpy(e.hent_linkname, link.data(), 100);
    memcpy(e.hent_prefix, prefix.data(), 155);
    e.hent_prefix[155] = 'X';
    Block b = built(e);
    const char *p = reinterpret_cast<const char *>(b.data());
    EXPECT_EQ(S(p + 0, 100), name);
    EXPECT_EQ(S(p + 157, 100), link);
    EXPECT_EQ(S(p + 345, 155), prefix);
    EXPECT_EQ(std::string(p + 500, 12), std::string(12, '\0'));
    posix_header_t h;
    EXPECT_EQ(velk_GetTarHeader(b.data(), &h), 0);
}

// ---------------------------------------------------------------------------
// Checking headers.
// ---------------------------------------------------------------------------

TEST_F(TarHeaderTest, ZeroBlockIsEndOfArchiveAndOneByteIsNot)
{
    Block zero(512, 0);
    posix_header_t h;
    EXPECT_EQ(velk_GetTarHeader(zero.data(), &h), VELK_TAR_EOF);
    EXPECT_EQ(velk_exit_code.load(), 0);

    zero[300] = 1;
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_GetTarHeader(zero.data(), &h), -1);
    // Stored checksum 0; calculated 1 + 256.
    EXPECT_EQ(cap.err(), "ERROR: Checksum mismatch: header value = 0, calculated value=257\n");
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
}

TEST_F(TarHeaderTest, ChecksumWithLeadingZerosOrSpacesParsesAlike)
{
    Block b = built(entryOf(VTO_FILE, "hello.txt", "", "", 0644, 1000, 100, 10, 1600000000u, "alice", "staff"));
    posix_header_t h;
    memcpy(b.data() + 148, "0013223\0", 8);
    EXPECT_EQ(velk_GetTarHeader(b.data(), &h), 0);
    memcpy(b.data() + 148, "  13223 ", 8);
    EXPECT_EQ(velk_GetTarHeader(b.data(), &h), 0);
    memcpy(b.data() + 148, " 13224\0 ", 8);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_GetTarHeader(b.data(), &h), -1);
    EXPECT_EQ(cap.err(), "ERROR: Checksum mismatch: header value = 5780, calculated value=5779\n");
}

TEST_F(TarHeaderTest, SignedByteChecksumIsAccepted)
{
    // A name with two bytes 0xE9: unsigned they add 2 x 233, signed 2 x -23.
    Block b = built(entryOf(VTO_FILE, "caf\xE9\xE9", "", "", 0644, 0, 0, 1, 0, "", ""));
    posix_header_t h;
    ASSERT_EQ(velk_GetTarHeader(b.data(), &h), 0);
    int64_t unsignedSum = velk_TarHeaderChecksum(b.data(), false);
    int64_t signedSum = velk_TarHeaderChecksum(b.data(), true);
    EXPECT_EQ(unsignedSum - signedSum, 2 * 256);

    char text[8];
    snprintf(text, sizeof text, "%6o", static_cast<unsigned>(signedSum));
    memcpy(b.data() + 148, text, 7);
    EXPECT_EQ(velk_GetTarHeader(b.data(), &h), 0);
    // Neither sum: refused.
    snprintf(text, sizeof text, "%6o", static_cast<unsigned>(signedSum + 1));
    memcpy(b.data() + 148, text, 7);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_GetTarHeader(b.data(), &h), -1);
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
}

// Rewrites the type flag and the checksum to match.
Block withType(Block b, char type)
{
    b[156] = static_cast<unsigned char>(type);
    char text[8];
    snprintf(text, sizeof text, "%6o", static_cast<unsigned>(velk_TarHeaderChecksum(b.data(), false)));
    memcpy(b.data() + 148, text, 7);
    return b;
}

TEST_F(TarHeaderTest, AcceptedAndRefusedTypeFlags)
{
    Block base = built(entryOf(VTO_FILE, "m", "", "", 0644, 0, 0, 0, 0, "", ""));
    posix_header_t h;
    for (char t : {'\0', '0', '1', '2', '5'}) {
        EXPECT_EQ(velk_GetTarHeader(withType(base, t).data(), &h), 0) << "type " << int(t);
        EXPECT_EQ(h.thb_typeflag, t);
    }
    EXPECT_EQ(velk_exit_code.load(), 0);
    for (char t : {'3', '4', '6', '7', 'L', 'K', 'x', 'g'}) {
        velk_exit_code.store(0);
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_GetTarHeader(withType(base, t).data(), &h), -1) << "type " << t;
        EXPECT_EQ(cap.out(), std::string("INFO: Tar Entry type '") + t + "' not currently supported by VELK\n");
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
    }
}

// ---------------------------------------------------------------------------
// Octal text.
// ---------------------------------------------------------------------------

TEST_F(TarHeaderTest, WritingOctalPadsTerminatesAndReportsOverflow)
{
    char f[12];
    memset(f, 'z', sizeof f);
    Uint32_tToOctal(0644, f, 8, 1, "thb_mode");
    EXPECT_EQ(S(f, 8), S("0000644\0", 8));
    Uint32_tToOctal(0, f, 8, 0, "thb_uid");
    EXPECT_EQ(S(f, 8), "00000000");

    {
        velktest::OutputCapture cap;
        // 2^21 needs eight octal digits; seven fit.
        Uint32_tToOctal(1u << 21, f, 8, 1, "thb_uid");
        EXPECT_EQ(S(f, 8), S("0000000\0", 8));
        EXPECT_EQ(cap.err(), "ERROR: [Uint32_tToOctal]Octal field [thb_uid] overflow - width=8 value=2097152\n");
    }
    {
        velktest::OutputCapture cap;
        Uint64_tToOctal((uint64_t{1} << 36) - 1, f, 12, 0, "thb_size");
        EXPECT_EQ(S(f, 12), "777777777777");
        EXPECT_EQ(cap.err(), "");
    }
    {
        // 2^36 keeps its low twelve digits (all zero) and is reported.
        velktest::OutputCapture cap;
        Uint64_tToOctal(uint64_t{1} << 36, f, 12, 0, "thb_size");
        EXPECT_EQ(S(f, 12), "000000000000");
        EXPECT_EQ(cap.err(), "ERROR: [Uint64_tToOctal]Octal field [thb_size] overflow - width=12 value=68719476736\n");
    }
    // A too-large entry size never produces a header that claims a small size
    // silently: the overflow was reported above.
}

TEST_F(TarHeaderTest, ReadingOctalSkipsBlanksAndStopsAtStrayCharacters)
{
    uint32_t v = 99;
    EXPECT_EQ(OctalToUint32_t(&v, 8, "  1234 \0", "f"), 0);
    EXPECT_EQ(v, 01234u);
    EXPECT_EQ(OctalToUint32_t(&v, 8, "0001234\0", "f"), 0);
    EXPECT_EQ(v, 01234u);
    EXPECT_EQ(OctalToUint32_t(&v, 8, "1x345670", "f"), -1);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(OctalToUint32_t(&v, 8, "12 45670", "f"), 0);
    EXPECT_EQ(v, 012u);
    // The width bounds the scan even without any terminator.
    EXPECT_EQ(OctalToUint32_t(&v, 3, "12345670", "f"), 0);
    EXPECT_EQ(v, 0123u);
    // Eleven digits are more than 32 bits.
    EXPECT_EQ(OctalToUint32_t(&v, 12, "77777777777\0", "f"), -1);

    // The two widths differ on a leading "0" followed by a blank.
    EXPECT_EQ(OctalToUint32_t(&v, 4, "0 7\0", "f"), 0);
    EXPECT_EQ(v, 7u);
    uint64_t w = 99;
    EXPECT_EQ(OctalToUint64_t(&w, 4, "0 7\0", "f"), 0);
    EXPECT_EQ(w, 0u);
    EXPECT_EQ(OctalToUint64_t(&w, 12, "777777777777", "f"), 0);
    EXPECT_EQ(w, 68719476735u);
    EXPECT_EQ(OctalToUint64_t(&w, 12, "12-4", "f"), -1);
    EXPECT_EQ(w, 012u);
}

TEST_F(TarHeaderTest, MemberSizeAndBlocks)
{
    posix_header_t h;
    memset(&h, 0, sizeof h);
    struct Case {
        const char *field;
        uint64_t size;
        uint64_t blocks;
    } cases[] = {
        {"000000000000", 0, 1},   {"000000000001", 1, 2},   {"000000001000", 512, 2},
        {"000000001001", 513, 3}, {"     1001   ", 513, 3}, {"777777777777", 68719476735u, 134217729u},
    };
    for (const Case &c : cases) {
        memcpy(h.thb_size, c.field, 12);
        EXPECT_EQ(velk_GetMemberFilesize(&h), c.size) << c.field;
        EXPECT_EQ(velk_MemberBlocks(c.size), c.blocks) << c.field;
    }
    // A stray character after the digit 1: the value before it, and with -v
    // a note naming it.
    memcpy(h.thb_size, "1x0000000000", 12);
    velk_option_flags = VELK_OPT_VERBOSE;
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_GetMemberFilesize(&h), 1u);
    EXPECT_EQ(cap.out(), "INFO: Warning: non-octal digit [x] found in tar filesize field\n");
}

// ---------------------------------------------------------------------------
// Headers written by GNU tar.
// ---------------------------------------------------------------------------

// GNU tar on this machine, found on PATH ("" when there is none).
std::string tarProgram()
{
    const char *path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos)
            end = dirs.size();
        std::string candidate = dirs.substr(start, end - start) + "/tar";
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

velktest::RunOptions runOpts()
{
    velktest::RunOptions o;
    o.inheritEnv = true;
    return o;
}

TEST_F(TarHeaderTest, GnuTarUstarHeadersAreAccepted)
{
    velktest::ScratchDir dir;
    std::string names[] = {"plain.txt", "caf\xC3\xA9-\xE2\x82\xAC.txt"};
    velktest::writeFile(dir / names[0], "0123456789");
    velktest::writeFile(dir / names[1], std::string(513, 'q'));
    std::string tar = tarProgram();
    ASSERT_FALSE(tar.empty()) << "GNU tar is needed for this test";
    velktest::RunResult r = velktest::run({tar, "--format=ustar", "-cf", dir / "a.tar", "-C", dir.path(), names[0],
                                           names[1]},
                                          runOpts());
    ASSERT_EQ(r.status, 0) << r.err;

    int fd = open((dir / "a.tar").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    velk_filetype = VELK_LOCAL_FILE;
    posix_header_t h;
    ASSERT_EQ(velk_ReadHdrBlock(fd, &h), 0);
    EXPECT_EQ(std::string(h.thb_name, strnlen(h.thb_name, 100)), names[0]);
    EXPECT_EQ(velk_GetMemberFilesize(&h), 10u);
    EXPECT_EQ(h.thb_typeflag, '0');
    EXPECT_EQ(strncmp(h.thb_magic, "ustar", 6), 0);
    // Skip the data block to the second header.
    ASSERT_EQ(lseek(fd, 1024, SEEK_SET), 1024);
    ASSERT_EQ(velk_ReadHdrBlock(fd, &h), 0);
    EXPECT_EQ(std::string(h.thb_name, strnlen(h.thb_name, 100)), names[1]);
    EXPECT_EQ(velk_GetMemberFilesize(&h), 513u);
    // The bytes above 127 make the signed and unsigned sums differ; GNU tar
    // stores the unsigned one.
    unsigned char raw[512];
    ASSERT_EQ(pread(fd, raw, 512, 1024), 512);
    EXPECT_NE(velk_TarHeaderChecksum(raw, false), velk_TarHeaderChecksum(raw, true));
    // The archive ends with zero blocks.
    ASSERT_EQ(lseek(fd, 1024 + 512 * 3, SEEK_SET), 1024 + 512 * 3);
    EXPECT_EQ(velk_ReadHdrBlock(fd, &h), VELK_TAR_EOF);
    close(fd);
    EXPECT_EQ(velk_exit_code.load(), 0);
}

// ---------------------------------------------------------------------------
// Sequential reads.
// ---------------------------------------------------------------------------

// Read function that fails a scripted number of times with one errno and
// then reads for real.
int g_failures = 0;
int g_failErrno = 0;
int g_calls = 0;
ssize_t scriptedRead(int fd, void *buf, size_t n)
{
    g_calls++;
    if (g_failures > 0) {
        g_failures--;
        errno = g_failErrno;
        return -1;
    }
    return ::read(fd, buf, n);
}

int tempFileWith(const velktest::ScratchDir &dir, const std::string &contents)
{
    velktest::writeFile(dir / "data", contents);
    return open((dir / "data").c_str(), O_RDONLY);
}

TEST_F(TarHeaderTest, ReadArchiveRecoversFromFiveEioAndFailsOnTheSixth)
{
    velktest::ScratchDir dir;
    velk_filetype = VELK_LOCAL_FILE;
    velk_archive_read_fn = scriptedRead;
    char buf[16];
    {
        int fd = tempFileWith(dir, "abcdefgh");
        g_failures = 5;
        g_failErrno = EIO;
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_ReadArchive(fd, 8, buf), 8);
        EXPECT_EQ(S(buf, 8), "abcdefgh");
        EXPECT_NE(cap.out().find("INFO: velk_ReadArchive: Recovered I/O error reading archive file: "),
                  std::string::npos);
        EXPECT_EQ(velk_exit_code.load(), 0);
        close(fd);
    }
    {
        int fd = tempFileWith(dir, "abcdefgh");
        g_failures = 6;
        g_calls = 0;
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_ReadArchive(fd, 8, buf), -1);
        EXPECT_EQ(g_calls, 6);
        EXPECT_NE(cap.err().find("ERROR: velk_ReadArchive: Error 5 reading 8 bytes from Archive file "),
                  std::string::npos);
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
        close(fd);
    }
}

TEST_F(TarHeaderTest, ReadArchiveRetriesInterruptsAndFailsOtherErrors)
{
    velktest::ScratchDir dir;
    velk_filetype = VELK_LOCAL_FILE;
    velk_archive_read_fn = scriptedRead;
    char buf[16];
    int fd = tempFileWith(dir, "abcdefgh");
    g_failures = 50;
    g_failErrno = EINTR;
    EXPECT_EQ(velk_ReadArchive(fd, 8, buf), 8);
    close(fd);

    fd = tempFileWith(dir, "abcdefgh");
    g_failures = 1;
    g_failErrno = EBADF;
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_ReadArchive(fd, 8, buf), -1);
    EXPECT_NE(cap.err().find("Error 9 reading 8 bytes"), std::string::npos);
    close(fd);
}

// Read function for a non-blocking pipe: the first call finds it empty (the
// real read says EAGAIN) and only then puts the data in, so the loop must
// wait and read again.
int g_pipeWrite = -1;
ssize_t emptyThenFilled(int fd, void *buf, size_t n)
{
    ssize_t r = ::read(fd, buf, n);
    if (r < 0 && errno == EAGAIN && g_pipeWrite >= 0) {
        int saved = errno;
        if (write(g_pipeWrite, "late", 4) != 4)
            saved = EPIPE;
        g_pipeWrite = -1;
        errno = saved;
    }
    return r;
}

TEST_F(TarHeaderTest, ReadArchiveWaitsOnEmptyNonBlockingDescriptor)
{
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    g_pipeWrite = p[1];
    velk_filetype = VELK_LOCAL_FILE;
    velk_archive_read_fn = emptyThenFilled;
    char buf[4];
    EXPECT_EQ(velk_ReadArchive(p[0], 4, buf), 4);
    EXPECT_EQ(S(buf, 4), "late");
    EXPECT_EQ(g_pipeWrite, -1);
    close(p[0]);
    close(p[1]);
}

TEST_F(TarHeaderTest, ReadArchiveStopsOnShutdownAndRefusesRemoteKinds)
{
    velktest::ScratchDir dir;
    int fd = tempFileWith(dir, "abcdefgh");
    char buf[8];
    velk_filetype = VELK_LOCAL_FILE;
    velk_archive_read_fn = scriptedRead;
    g_calls = 0;
    g_failures = 0;
    velk_shutdown_signalled.store(1);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_ReadArchive(fd, 8, buf), -1);
    }
    EXPECT_EQ(g_calls, 0);
    velk_shutdown_signalled.store(0);

    for (int kind : {VELK_QUOR_FILE, VELK_REMOTE_FILE}) {
        velk_filetype = kind;
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_ReadArchive(fd, 8, buf), -1);
        EXPECT_NE(cap.err().find("not available in this build"), std::string::npos);
    }
    EXPECT_EQ(g_calls, 0);
    close(fd);
}

TEST_F(TarHeaderTest, ShortOrEmptyHeaderReadFails)
{
    velktest::ScratchDir dir;
    velk_filetype = VELK_LOCAL_FILE;
    posix_header_t h;
    char buf[512];
    for (size_t len : {size_t{0}, size_t{1}, size_t{511}}) {
        velk_exit_code.store(0);
        int fd = tempFileWith(dir, std::string(len, '7'));
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_ReadHdrBlock(fd, &h), -1) << len;
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR) << len;
        EXPECT_FALSE(cap.err().empty());
        close(fd);
    }
    // End of file after some bytes: the count read, not a failure.
    int fd = tempFileWith(dir, std::string(100, 'x'));
    EXPECT_EQ(velk_ReadArchive(fd, 512, buf), 100);
    close(fd);
}

// ---------------------------------------------------------------------------
// Storage layout.
// ---------------------------------------------------------------------------

TEST_F(TarHeaderTest, StripeLayoutClampsZeroWidthAndFindsDataLevel)
{
    int savedFn = velk_function;
    velk_storage_level_t levels[3] = {
        {1048576, 0, 4194304, VELK_LEVEL_IS_DISK},        // disk, no data, width 0
        {262144, 4, 8388608, 0},                          // tape, no data, width 4
        {524288, 2, 1048576, VELK_LEVEL_HAS_DATA},        // tape with data
    };
    velk_function = VOP_LIST;
    ASSERT_EQ(velk_GetArchiveStripeInfo(1, levels, 3, "a"), 0);
    // Not a reading action: the top level, its zero width counted as 1.
    EXPECT_EQ(velk_archive_stripewidth, 1);
    EXPECT_EQ(velk_optimum_access, 1048576);
    EXPECT_EQ(velk_vv_blocksize, 4194304);
    EXPECT_TRUE(velk_archive_is_tape);

    velk_function = VOP_EXTRACT;
    ASSERT_EQ(velk_GetArchiveStripeInfo(1, levels, 3, "a"), 0);
    EXPECT_EQ(velk_archive_stripewidth, 4);  // widest seen on the way down
    EXPECT_EQ(velk_optimum_access, 524288);
    EXPECT_EQ(velk_vv_blocksize, 1048576 / 2);

    // No level holds data: a reading action fails, create uses the top.
    levels[2].flags = 0;
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_GetArchiveStripeInfo(1, levels, 3, "arch"), -1);
        EXPECT_EQ(cap.out(), "INFO: [warning] internal error - no data at any level of hierarchy for arch\n");
        EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
    }
    velk_function = VOP_CREATE;
    ASSERT_EQ(velk_GetArchiveStripeInfo(0, levels, 3, "a"), 0);
    EXPECT_EQ(velk_archive_stripewidth, 1);
    EXPECT_FALSE(velk_archive_is_tape);
    velk_function = savedFn;
}

} // namespace
