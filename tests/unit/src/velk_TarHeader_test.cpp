// The ustar member header: blocks built from index entries against typed
// bytes, validation (both checksum forms, end of archive, type flags), octal
// text both ways and the sequential read loop's retry rules.

#include <cerrno>
#include <fcntl.h>

#include "velk_Env.h"
#include "velk_unit_fixture.h"

namespace {

using velkunit::entryOf;
using Block = std::vector<unsigned char>;
std::string S(const char *p, size_t n) { return std::string(p, n); }

// A block of zeros with texts at literal offsets, plus the magic, version
// and device fields every header velk writes carries.
Block golden(std::vector<std::pair<size_t, std::string>> fields)
{
    fields.insert(fields.end(), {{257, S("ustar\0", 6)}, {263, "00"}, {329, S("0000000\0", 8)},
                                 {337, S("0000000\0", 8)}});
    Block b(512, 0);
    for (const auto &[offset, text] : fields)
        memcpy(b.data() + offset, text.data(), text.size());
    return b;
}

hif_entry_t owned(hif_entry_t e, uint32_t mode, uint32_t uid, uint32_t gid, uint32_t mtime, const char *user,
                  const char *group, const char *prefix = "", const char *link = "")
{
    velk_Put32(e.hent_mode, mode);
    velk_Put32(e.hent_uid, uid);
    velk_Put32(e.hent_gid, gid);
    velk_Put32(e.hent_mtime, mtime);
    memcpy(e.hent_uname, user, strlen(user));
    memcpy(e.hent_gname, group, strlen(group));
    memcpy(e.hent_prefix, prefix, strlen(prefix));
    memcpy(e.hent_linkname, link, strlen(link));
    return e;
}

Block built(const hif_entry_t &e)
{
    Block b(512, 0xAA);  // garbage, so that a byte left unwritten shows
    velk_BuildPosixHeader(&e, b.data());
    return b;
}

class TarHeaderTest : public ::testing::Test {
protected:
    velkunit::RunGlobals globals_;
};

TEST_F(TarHeaderTest, BuiltHeadersMatchTypedBytes)
{
    struct Case {
        const char *what;
        hif_entry_t entry;
        Block want;
    } cases[] = {
        // 1600000000 = octal 13727410000; checksum 5779 = octal 13223.
        {"file", owned(entryOf(VTO_FILE, "hello.txt", 10), 0644, 1000, 100, 1600000000u, "alice", "staff"),
         golden({{0, "hello.txt"}, {100, S("0000644\0", 8)}, {108, S("0001750\0", 8)}, {116, S("0000144\0", 8)},
                 {124, "000000000012"}, {136, S("13727410000\0", 12)}, {148, S(" 13223\0 ", 8)}, {156, "0"},
                 {265, "alice"}, {297, "staff"}})},
        {"directory", owned(entryOf(VTO_DIRECTORY, "dir"), 0755, 0, 0, 0, "root", "root", "top/sub"),
         golden({{0, "dir"}, {100, S("0000755\0", 8)}, {108, S("0000000\0", 8)}, {116, S("0000000\0", 8)},
                 {124, "000000000000"}, {136, S("00000000000\0", 12)}, {148, S(" 13110\0 ", 8)}, {156, "5"},
                 {265, "root"}, {297, "root"}, {345, "top/sub"}})},
        {"symlink", owned(entryOf(VTO_SYMLINK, "link"), 0777, 1000, 100, 1600000000u, "alice", "staff", "", "target/file"),
         golden({{0, "link"}, {100, S("0000777\0", 8)}, {108, S("0001750\0", 8)}, {116, S("0000144\0", 8)},
                 {124, "000000000000"}, {136, S("13727410000\0", 12)}, {148, S(" 14373\0 ", 8)}, {156, "2"},
                 {157, "target/file"}, {265, "alice"}, {297, "staff"}})},
        // 2^36 - 1 is twelve 7s with no terminator; checksum 4147 = octal 10063.
        {"largest size", entryOf(VTO_FILE, "big", (uint64_t{1} << 36) - 1),
         golden({{0, "big"}, {100, S("0000644\0", 8)}, {108, S("0000000\0", 8)}, {116, S("0000000\0", 8)},
                 {124, "777777777777"}, {136, S("00000000000\0", 12)}, {148, S(" 10063\0 ", 8)}, {156, "0"}})},
    };
    for (const Case &c : cases) {
        Block got = built(c.entry);
        for (size_t i = 0; i < 512; i++)
            ASSERT_EQ(got[i], c.want[i]) << c.what << ": byte " << i;
        posix_header_t h;
        EXPECT_EQ(velk_GetTarHeader(got.data(), &h), 0) << c.what;
    }

    // Hard links are written as files; an unknown kind leaves the flag empty.
    EXPECT_EQ(built(entryOf(VTO_HARDLINK, "hl", 5))[156], '0');
    velktest::OutputCapture cap;
    EXPECT_EQ(built(entryOf(9, "odd"))[156], 0);
    EXPECT_TRUE(velkunit::contains(cap.err(), "Bad object type 9")) << cap.err();
}

// Rewrites the checksum field with text.
Block withChecksum(Block b, const std::string &text)
{
    std::copy(text.begin(), text.end(), b.begin() + 148);
    return b;
}

TEST_F(TarHeaderTest, HeaderChecks)
{
    Block file = built(owned(entryOf(VTO_FILE, "hello.txt", 10), 0644, 1000, 100, 1600000000u, "alice", "staff"));
    Block zero(512, 0), oneByte(512, 0);
    oneByte[300] = 1;
    // A name with two bytes 0xE9: unsigned they add 2 x 233, signed 2 x -23.
    Block accented = built(entryOf(VTO_FILE, "caf\xE9\xE9", 1));
    int64_t signedSum = velk_TarHeaderChecksum(accented.data(), true);
    EXPECT_EQ(velk_TarHeaderChecksum(accented.data(), false) - signedSum, 2 * 256);
    char sum[8], sumPlus1[8];
    snprintf(sum, sizeof sum, "%6o", static_cast<unsigned>(signedSum));
    snprintf(sumPlus1, sizeof sumPlus1, "%6o", static_cast<unsigned>(signedSum + 1));
    struct Case {
        const char *what;
        Block block;
        int rc;
        const char *err;  // the line on standard error, null when none
    } cases[] = {
        {"zero block", zero, VELK_TAR_EOF, nullptr},
        {"one byte", oneByte, -1, "ERROR: Checksum mismatch: header value = 0, calculated value=257\n"},
        {"leading zeros", withChecksum(file, S("0013223\0", 8)), 0, nullptr},
        {"leading spaces", withChecksum(file, "  13223 "), 0, nullptr},
        {"off by one", withChecksum(file, S(" 13224\0 ", 8)), -1,
         "ERROR: Checksum mismatch: header value = 5780, calculated value=5779\n"},
        {"signed sum", withChecksum(accented, S(sum, 7)), 0, nullptr},
        {"neither sum", withChecksum(accented, S(sumPlus1, 7)), -1, nullptr},
    };
    for (const Case &c : cases) {
        velk_exit_code.store(0);
        posix_header_t h;
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_GetTarHeader(c.block.data(), &h), c.rc) << c.what;
        if (c.err != nullptr) {
            EXPECT_EQ(cap.err(), c.err) << c.what;
        }
        EXPECT_EQ(velk_exit_code.load(), c.rc == -1 ? VELK_EXIT_IOERR : 0) << c.what;
    }

    for (char t : {'\0', '0', '1', '2', '5', '3', '4', '6', '7', 'L', 'K', 'x', 'g'}) {
        bool accepted = strchr("0125", t) != nullptr;  // the NUL matches too
        velk_exit_code.store(0);
        Block typed = file; // the type flag, and the checksum to match
        typed[156] = static_cast<unsigned char>(t);
        char typeSum[8];
        snprintf(typeSum, sizeof typeSum, "%6o", static_cast<unsigned>(velk_TarHeaderChecksum(typed.data(), false)));
        posix_header_t h;
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_GetTarHeader(withChecksum(typed, S(typeSum, 7)).data(), &h), accepted ? 0 : -1) << "type " << int(t);
        EXPECT_EQ(velk_exit_code.load(), accepted ? 0 : VELK_EXIT_IOERR) << "type " << int(t);
        if (!accepted) {
            EXPECT_EQ(cap.out(), std::string("INFO: Tar Entry type '") + t + "' not currently supported by VELK\n");
        }
    }
}

TEST_F(TarHeaderTest, OctalTextBothWays)
{
    struct Write {
        uint64_t value;
        int width, terminate;
        std::string want;
        bool overflow;
    } writes[] = {
        {0644, 8, 1, S("0000644\0", 8), false},
        {0, 8, 0, "00000000", false},
        {1u << 21, 8, 1, S("0000000\0", 8), true},  // eight digits; seven fit
        {(uint64_t{1} << 36) - 1, 12, 0, "777777777777", false},
        {uint64_t{1} << 36, 12, 0, "000000000000", true},  // the low twelve digits, reported
    };
    for (const Write &w : writes) {
        char f[12];
        memset(f, 'z', sizeof f);
        velktest::OutputCapture cap;
        if (w.width == 8)
            Uint32_tToOctal(static_cast<uint32_t>(w.value), f, 8, w.terminate, "thb_uid");
        else
            Uint64_tToOctal(w.value, f, 12, w.terminate, "thb_size");
        EXPECT_EQ(S(f, static_cast<size_t>(w.width)), w.want) << w.value;
        EXPECT_EQ(velkunit::contains(cap.err(), "overflow - width=" + std::to_string(w.width) + " value=" +
                                                    std::to_string(w.value) + "\n"),
                  w.overflow)
            << cap.err();
    }

    struct Read {
        const char *text;
        int width;
        bool wide;
        int rc;
        uint64_t value;
    } reads[] = {
        {"  1234 \0", 8, false, 0, 01234}, {"0001234\0", 8, false, 0, 01234}, {"1x345670", 8, false, -1, 1},
        {"12 45670", 8, false, 0, 012},    {"12345670", 3, false, 0, 0123},  // the width bounds the scan
        {"77777777777\0", 12, false, -1, 0},                                 // more than 32 bits
        {"0 7\0", 4, false, 0, 7},         {"0 7\0", 4, true, 0, 0},          // the widths differ here
        {"777777777777", 12, true, 0, 68719476735u}, {"12-4", 12, true, -1, 012},
    };
    for (const Read &r : reads) {
        uint32_t v32 = 99;
        uint64_t v64 = 99;
        int rc = r.wide ? OctalToUint64_t(&v64, r.width, r.text, "f") : OctalToUint32_t(&v32, r.width, r.text, "f");
        EXPECT_EQ(rc, r.rc) << r.text;
        if (r.value != 0 || r.rc == 0) {
            EXPECT_EQ(r.wide ? v64 : v32, r.value) << r.text;
        }
    }
}

// Read function that fails a scripted number of times with one errno, then
// reads for real.
int g_failures = 0, g_failErrno = 0, g_calls = 0;
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

TEST_F(TarHeaderTest, ReadArchiveRetryRules)
{
    velktest::ScratchDir dir;
    velktest::writeFile(dir / "data", "abcdefgh");
    velk_filetype = VELK_LOCAL_FILE;
    velk_env_t env = velk_Env();
    env.archiveRead = scriptedRead;
    velk_SetEnv(&env);
    struct Case {
        int failures, err;
        int64_t rc;
        int calls;
        const char *line;  // expected on standard output (rc 8) or error (rc -1)
    } cases[] = {
        {5, EIO, 8, 6, "INFO: velk_ReadArchive: Recovered I/O error reading archive file: "},
        {6, EIO, -1, 6, "ERROR: velk_ReadArchive: Error 5 reading 8 bytes from Archive file "},
        {50, EINTR, 8, 51, ""},
        {1, EBADF, -1, 1, "Error 9 reading 8 bytes"},
    };
    for (const Case &c : cases) {
        int fd = open((dir / "data").c_str(), O_RDONLY);
        g_failures = c.failures;
        g_failErrno = c.err;
        g_calls = 0;
        velk_exit_code.store(0);
        char buf[16] = {};
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_ReadArchive(fd, 8, buf), c.rc) << c.failures << " x " << c.err;
        EXPECT_EQ(g_calls, c.calls) << c.failures << " x " << c.err;
        EXPECT_TRUE(velkunit::contains(c.rc < 0 ? cap.err() : cap.out(), c.line)) << cap.out() << cap.err();
        EXPECT_EQ(velk_exit_code.load(), c.rc < 0 ? VELK_EXIT_IOERR : 0);
        if (c.rc == 8) {
            EXPECT_EQ(S(buf, 8), "abcdefgh");
        }
        close(fd);
    }

    // A shutdown stops the loop before any read; a gateway-host archive
    // cannot be read;
    // a header needs all 512 bytes.
    int fd = open((dir / "data").c_str(), O_RDONLY);
    char buf[512];
    g_calls = 0;
    velk_shutdown_signalled.store(1);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_ReadArchive(fd, 8, buf), -1);
    velk_shutdown_signalled.store(0);
    velk_filetype = VELK_REMOTE_FILE;
    EXPECT_EQ(velk_ReadArchive(fd, 8, buf), -1);
    EXPECT_EQ(g_calls, 0);
    velk_filetype = VELK_LOCAL_FILE;
    EXPECT_EQ(velk_ReadArchive(fd, 512, buf), 8);  // end of file: the count read
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    posix_header_t h;
    EXPECT_EQ(velk_ReadHdrBlock(fd, &h), -1);
    close(fd);
}

} // namespace
