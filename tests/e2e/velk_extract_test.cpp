// velk -x on local archives (-E) against a real kylgwd.  Archives come from
// GNU tar or a small ustar writer of this file, indexes from their headers:
// round trips, modes, owners and times, selection, -O, CRCs, and hostile
// archives and indexes, none of which may write outside the extraction.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velk_IndexFile.h"
#include "velk_IndexFormat.h"
#include "velk_TarHeader.h"
#include "velk_gwsession.h"
#include "velk_indexbytes.h"

namespace fs = std::filesystem;

namespace {

using velktest::failedEnding;
using velktest::bytesOf;
using velktest::exists;

// 2024-03-05 14:07:00 UTC.
constexpr uint32_t kMtime = 1709647620;

// One member for the test's own ustar writer.
struct TarMember {
    char type;  // '0', '2' or '5'
    std::string name;
    std::string data = "";
    uint32_t mode = 0644;
    std::string link = "";
    uint32_t uid = 1234;
    uint32_t gid = 5678;
};

// A width-byte octal field: digits, then a NUL.
void putOctal(std::string &b, size_t off, size_t width, uint64_t v)
{
    char tmp[32];
    snprintf(tmp, sizeof tmp, "%0*llo", static_cast<int>(width - 1), static_cast<unsigned long long>(v));
    memcpy(&b[off], tmp, width - 1);
    b[off + width - 1] = '\0';
}

// A ustar header block laid out from the field table: name 0/100, mode
// 100/8, uid 108/8, gid 116/8, size 124/12, mtime 136/12, checksum 148/8,
// type 156, link 157/100, magic 257/6, version 263/2, uname 265/32, gname
// 297/32.
std::string ustarHeader(const TarMember &m)
{
    std::string b(512, '\0');
    memcpy(&b[0], m.name.data(), std::min<size_t>(m.name.size(), 100));
    putOctal(b, 100, 8, m.mode);
    putOctal(b, 108, 8, m.uid);
    putOctal(b, 116, 8, m.gid);
    putOctal(b, 124, 12, m.type == '0' ? m.data.size() : 0);
    putOctal(b, 136, 12, kMtime);
    b[156] = m.type;
    memcpy(&b[157], m.link.data(), std::min<size_t>(m.link.size(), 100));
    memcpy(&b[257], "ustar", 6);
    memcpy(&b[263], "00", 2);
    memcpy(&b[265], "user1", 5);
    memcpy(&b[297], "users", 5);
    memset(&b[148], ' ', 8);
    unsigned sum = 0;
    for (unsigned char c : b)
        sum += c;
    char ck[8];
    snprintf(ck, sizeof ck, "%06o", sum);
    memcpy(&b[148], ck, 7);  // six digits and a NUL; the space stays
    return b;
}

// The consistency file's stand-in: the last member of an archive velk wrote,
// which extract never restores.
const TarMember kCfMember{'0', "/tmp/VELK_CF_CHK_1_2", std::string(256, 'c'), 0600};

uint32_t crc32Of(const std::string &data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

// Lays out an index for the archive bytes from its headers.  foreign marks
// an archive that has no consistency file (its last member is extracted
// too).  edit may change the entries before they are written.
void writeIndexFor(const std::string &archive, const std::string &indexPath, bool foreign,
                   const std::function<void(std::vector<hif_entry_t> &)> &edit = nullptr)
{
    std::vector<hif_entry_t> entries;
    uint64_t block = 0;
    while ((block + 1) * 512 <= archive.size()) {
        const auto *blk = reinterpret_cast<const unsigned char *>(archive.data() + block * 512);
        if (std::all_of(blk, blk + 512, [](unsigned char c) { return c == 0; }))
            break;
        posix_header_t h;
        ASSERT_EQ(velk_GetTarHeader(blk, &h), 0) << "block " << block;
        hif_entry_t e;
        uint32_t blocks = 0;
        uint64_t size = 0;
        ASSERT_EQ(velk_IndexFromTarHdr(block, &h, &e, &blocks, &size), 0) << "block " << block;
        entries.push_back(e);
        block += blocks;
    }
    if (edit)
        edit(entries);
    velktest::writeFile(indexPath, indexFileBytes(entries, archive.size(), foreign ? HIF_IDX_FOREIGN_ARCHIVE : 0));
}

struct stat lstatOf(const std::string &path)
{
    struct stat st;
    memset(&st, 0, sizeof st);
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

bool contains(const std::string &text, const std::string &what) { return text.find(what) != std::string::npos; }

// Sizes around the block boundaries and one of a few MiB.
const std::vector<std::pair<std::string, size_t>> kSizes = {
    {"t/empty", 0}, {"t/one", 1}, {"t/b511", 511}, {"t/b512", 512}, {"t/b513", 513}, {"t/sub/deeper/big", 3 * 1048576 + 17},
};

class VelkExtract : public velktest::VelkGatewayTest {
protected:
    // velk inherits this umask; the modes below assume it.
    void SetUp() override
    {
        umask(022);
        velktest::VelkGatewayTest::SetUp();
    }
    // Writes a.tar (members with their data and padding, then the
    // consistency stand-in and one zero block) and its index.
    void layOut(std::vector<TarMember> members, const std::function<void(std::vector<hif_entry_t> &)> &edit = nullptr)
    {
        members.push_back(kCfMember);
        archive.clear();
        for (const auto &m : members)
            archive += ustarHeader(m) + (m.type == '0' ? m.data + std::string((512 - m.data.size() % 512) % 512, '\0') : "");
        archive.append(512, '\0');
        velktest::writeFile(dir / "a.tar", archive);
        writeIndexFor(archive, dir / "a.tar.idx", false, edit);
    }
    // Makes base/t: the files of kSizes, an empty directory and a link.
    void makeTree(const std::string &base)
    {
        fs::create_directories(base + "/t/sub/deeper");
        fs::create_directories(base + "/t/emptydir/inner");
        uint32_t seed = 1;
        for (const auto &[name, size] : kSizes)
            velktest::writeFile(base + "/" + name, bytesOf(size, seed++));
        ASSERT_EQ(symlink("one", (base + "/t/ln").c_str()), 0);
    }
    // Expects dir/t to be from/t: contents, kinds, link targets, empty directories.
    void expectSameTree(const std::string &from)
    {
        auto d = velktest::run({"/usr/bin/diff", "-r", "--no-dereference", from + "/t", dir / "t"});
        EXPECT_EQ(d.status, 0) << d.out << d.err;
    }
    velktest::RunResult extract(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"-x", "-E", "-f", "a.tar"};
        args.insert(args.end(), extra.begin(), extra.end());
        return velk(args);
    }
    std::string archive;
};

} // namespace

TEST_F(VelkExtract, GnuTarArchiveRoundTrip)
{
    makeTree(dir / "src");
    ASSERT_EQ(symlink("/nowhere/at/all", (dir / "src/t/sub/abs").c_str()), 0);
    auto tr = velktest::run({"/usr/bin/tar", "--format=ustar", "-C", dir / "src", "-cf", dir / "a.tar", "t"});
    ASSERT_EQ(tr.status, 0) << tr.err;
    writeIndexFor(velktest::readFile(dir / "a.tar"), dir / "a.tar.idx", true);

    auto r = extract();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "VELK: VELK SUCCESSFUL\n");
    EXPECT_EQ(r.err, "");
    expectSameTree(dir / "src");

    // -v names every member; -V adds the statistics line.
    fs::remove_all(dir / "t");
    auto v = extract({"-v", "-V"});
    EXPECT_EQ(v.status, 0) << v.err;
    EXPECT_TRUE(contains(v.out, "VELK: x t/\n")) << v.out;
    EXPECT_TRUE(contains(v.out, "VELK: x t/b513, 513 bytes, 3 media blocks\n")) << v.out;
    EXPECT_TRUE(contains(v.out, "VELK: x t/empty, 0 bytes, 1 media blocks\n")) << v.out;
    EXPECT_TRUE(contains(v.out, "VELK: x t/ln is a symbolic link to one\n")) << v.out;
    EXPECT_TRUE(contains(v.out, "VELK: Extract complete for a.tar, 8 files. total bytes read: ")) << v.out;
}

TEST_F(VelkExtract, ArchiveMadeByCreateRoundTripsWithItsCrcs)
{
    makeTree(dir.path());
    ASSERT_EQ(chmod((dir / "t/b511").c_str(), 0640), 0);
    struct timespec old[2] = {{kMtime, 0}, {kMtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (dir / "t/b513").c_str(), old, 0), 0);
    auto c = velk({"-c", "-E", "-H", "crc", "-f", "c.tar", "t"});
    ASSERT_EQ(c.status, 0) << c.err;
    fs::create_directories(dir / "orig");
    fs::rename(dir / "t", dir / "orig/t");

    auto x = velk({"-x", "-E", "-H", "crc", "-f", "c.tar"});
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(x.out, "VELK: VELK SUCCESSFUL\n");
    EXPECT_EQ(x.err, "");
    expectSameTree(dir / "orig");
    EXPECT_EQ(lstatOf(dir / "t/b511").st_mode & 07777, 0640u);
    EXPECT_EQ(lstatOf(dir / "t/b513").st_mtime, static_cast<time_t>(kMtime));
    // The consistency file is not among what was restored.
    EXPECT_FALSE(exists(dir / "tmp"));
}

TEST_F(VelkExtract, ParentsFollowTheUmaskAndLeadingSlashesGoOnce)
{
    // No directory members: the parents are made by extract itself.
    layOut({{'0', "u/v/w.txt", "hello"}, {'0', "/p/one", "1"}, {'0', "//p/two", "2"}, {'5', "/"}});
    auto r = extract();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "VELK: Removing leading `/' from absolute path names in the archive\n");
    EXPECT_EQ(velktest::readFile(dir / "p/one"), "1");
    EXPECT_EQ(velktest::readFile(dir / "p/two"), "2");
    EXPECT_EQ(velktest::readFile(dir / "u/v/w.txt"), "hello");
    EXPECT_FALSE(exists(dir / "tmp"));
    // The run's umask (022 here) applies to new directories, never 0.
    EXPECT_EQ(lstatOf(dir / "u").st_mode & 07777, 0755u);
    EXPECT_EQ(lstatOf(dir / "u/v").st_mode & 07777, 0755u);
    // Parents made for a member belong to the extracting user, root too.
    EXPECT_EQ(lstatOf(dir / "u").st_uid, geteuid());
}

TEST_F(VelkExtract, ModesOwnersAndTimesAsRoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "owners can only be restored by root";
    layOut({{'5', "t/", "", 0755},
            {'5', "t/sticky/", "", 01777},
            {'5', "t/ro/", "", 0555},
            {'0', "t/ro/inner", "in a read-only directory", 0644},
            {'0', "t/suid", "set-user-ID", 04755},
            {'0', "t/sgid", "set-group-ID", 02750},
            {'0', "t/zero", "", 0600},
            {'2', "t/ln", "", 0777, "suid"}});

    time_t before = time(nullptr);
    auto p = extract({"-p"});
    EXPECT_EQ(p.status, 0) << p.err;
    // -p: exact modes, set-ID bits kept although the owner changed.
    for (auto [name, mode] : {std::pair{"t/sticky", 01777u}, {"t/ro", 0555u}, {"t/suid", 04755u}, {"t/sgid", 02750u},
                              {"t/zero", 0600u}})
        EXPECT_EQ(lstatOf(dir / name).st_mode & 07777, mode) << name;
    EXPECT_EQ(velktest::readFile(dir / "t/ro/inner"), "in a read-only directory");
    for (const char *name : {"t", "t/sticky", "t/ro", "t/ro/inner", "t/suid", "t/sgid", "t/zero"}) {
        struct stat st = lstatOf(dir / name);
        EXPECT_EQ(st.st_uid, 1234u) << name;
        EXPECT_EQ(st.st_gid, 5678u) << name;
        // Directories keep the archived time although members were made in them.
        EXPECT_EQ(st.st_mtime, static_cast<time_t>(kMtime)) << name;
    }
    EXPECT_TRUE(S_ISLNK(lstatOf(dir / "t/ln").st_mode));

    // Without -p: the umask applies and the set-ID bits are not restored;
    // -o leaves directories and files to the extracting user; -m dates files now.
    fs::permissions(dir / "t/ro", fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir / "t");
    auto o = extract({"-o", "-m"});
    EXPECT_EQ(o.status, 0) << o.err;
    for (auto [name, mode] : {std::pair{"t/suid", 0755u}, {"t/sgid", 0750u}, {"t/sticky", 0755u}, {"t/ro", 0755u}})
        EXPECT_EQ(lstatOf(dir / name).st_mode & 07777, mode) << name;
    EXPECT_EQ(lstatOf(dir / "t/ro").st_uid, 0u);
    EXPECT_EQ(lstatOf(dir / "t/suid").st_uid, 0u);
    EXPECT_GE(lstatOf(dir / "t/suid").st_mtime, before);
    EXPECT_GE(lstatOf(dir / "t/zero").st_mtime, before);
    EXPECT_EQ(lstatOf(dir / "t/ro").st_mtime, static_cast<time_t>(kMtime));

    // -o -p: no set-user-ID (set-group-ID) file owned by anyone but its
    // archived owner (group).
    fs::remove_all(dir / "t");
    auto op = extract({"-o", "-p", "t/suid", "t/sgid"});
    EXPECT_EQ(op.status, 0) << op.err;
    EXPECT_EQ(lstatOf(dir / "t/suid").st_uid, 0u);
    EXPECT_EQ(lstatOf(dir / "t/suid").st_mode & 07777, 0755u);
    EXPECT_EQ(lstatOf(dir / "t/sgid").st_mode & 07777, 0750u);
}

TEST_F(VelkExtract, SelectionByNameAndByOrdinal)
{
    // Ordinals: 0 a/, 1 a/x, 2 a/y, 3 b/, 4 b/z, 5 c.
    layOut({{'5', "a/"}, {'0', "a/x", "x"}, {'0', "a/y", "y"}, {'5', "b/"}, {'0', "b/z", "z"}, {'0', "c", "c"}});
    auto byName = extract({"a/y", "c"});
    EXPECT_EQ(byName.status, 0) << byName.err;
    EXPECT_EQ(velktest::readFile(dir / "a/y"), "y");
    EXPECT_EQ(velktest::readFile(dir / "c"), "c");
    EXPECT_FALSE(exists(dir / "a/x"));
    EXPECT_FALSE(exists(dir / "b"));

    fs::remove_all(dir / "a");
    fs::remove(dir / "c");
    // 4 and 1 out of order; 1 and 2 are one group.
    auto byOrd = extract({"-J", "4", "1", "2"});
    EXPECT_EQ(byOrd.status, 0) << byOrd.err;
    EXPECT_EQ(velktest::readFile(dir / "a/x"), "x");
    EXPECT_EQ(velktest::readFile(dir / "a/y"), "y");
    EXPECT_EQ(velktest::readFile(dir / "b/z"), "z");
    EXPECT_FALSE(exists(dir / "c"));

    // The consistency file's ordinal (6) is not selectable.
    auto tooFar = extract({"-J", "6"});
    EXPECT_EQ(tooFar.status, 64);
    EXPECT_EQ(tooFar.out, failedEnding(tooFar.status));
    EXPECT_TRUE(contains(tooFar.err, "ERROR: Specified index entry: 6 is > number of index entries in the archive (6) "
                                     "[from Index File a.tar.idx]\n"))
        << tooFar.err;
    auto notNumber = extract({"-J", "a/x"});
    EXPECT_EQ(notNumber.status, 64);
}

TEST_F(VelkExtract, ToStdoutWritesOnlyMemberData)
{
    layOut({{'5', "d/"}, {'0', "d/first", "hello, "}, {'0', "d/empty", ""}, {'2', "d/ln", "", 0777, "first"},
            {'0', "/abs/second", bytesOf(70000, 9)}});
    auto r = extract({"-O", "-v", "-V"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out == "hello, " + bytesOf(70000, 9)) << r.out.size();
    EXPECT_TRUE(contains(r.err, "VELK: VELK SUCCESSFUL\n")) << r.err;
    // The symbolic link counts although nothing is made with -O.
    EXPECT_TRUE(contains(r.err, "VELK: Extract complete for a.tar, 4 files.")) << r.err;
    EXPECT_FALSE(contains(r.err, "Removing leading")) << r.err;
    EXPECT_FALSE(exists(dir / "d"));
    EXPECT_FALSE(exists(dir / "abs"));
}

TEST_F(VelkExtract, DotDotMembersAreRefused)
{
    std::string escape = "escape" + std::to_string(getpid());
    layOut({{'0', "ok1", "1"},
            {'0', "../" + escape, "out"},
            {'0', "x/../../" + escape + "b", "out"},
            {'2', "/../" + escape + "c", "", 0777, "/etc/passwd"},
            {'0', "ok2", "2"},
            {'0', "..name", "dots are fine"}});
    auto r = extract();
    EXPECT_EQ(r.status, 72) << r.err;
    EXPECT_EQ(r.out, "VELK: failures: 3 unsafe path refused; exit status 72\nVELK: VELK FAILED\n");
    for (const std::string &name : {"../" + escape, "x/../../" + escape + "b", "/../" + escape + "c"})
        EXPECT_TRUE(contains(r.err, "ERROR: Refusing to extract " + name + ": the path has a \"..\" component\n"))
            << r.err;
    for (const char *suffix : {"", "b", "c"})
        EXPECT_FALSE(exists(fs::path(dir.path()).parent_path().string() + "/" + escape + suffix)) << suffix;
    EXPECT_FALSE(exists(dir / "x"));
    EXPECT_EQ(velktest::readFile(dir / "ok1"), "1");
    EXPECT_EQ(velktest::readFile(dir / "ok2"), "2");
    EXPECT_EQ(velktest::readFile(dir / "..name"), "dots are fine");
}

TEST_F(VelkExtract, NothingIsWrittenThroughSymbolicLinks)
{
    std::string victim = dir / "victim";
    fs::create_directories(victim);
    velktest::writeFile(victim + "/file", "original");
    layOut({{'2', "t/ln", "", 0777, victim},
            {'0', "t/ln/pwned", "bad"},
            {'5', "t/ln/sub/"},
            {'2', "t/ln/link", "", 0777, "/etc"},
            {'0', "t/file", "new contents"},
            {'0', "t/after", "still extracted"}});
    // A link that was there before the run is replaced, not followed.
    fs::create_directories(dir / "t");
    ASSERT_EQ(symlink((victim + "/file").c_str(), (dir / "t/file").c_str()), 0);

    auto r = extract();
    EXPECT_EQ(r.status, 72) << r.err;
    for (const std::string name : {"pwned", "sub", "link"}) {
        EXPECT_TRUE(contains(r.err, "ERROR: Refusing to extract t/ln/" + name + ": t/ln is a symbolic link\n")) << r.err;
        EXPECT_FALSE(exists(victim + "/" + name));
    }
    EXPECT_EQ(velktest::readFile(victim + "/file"), "original");
    EXPECT_TRUE(S_ISREG(lstatOf(dir / "t/file").st_mode));
    EXPECT_EQ(velktest::readFile(dir / "t/file"), "new contents");
    EXPECT_EQ(velktest::readFile(dir / "t/after"), "still extracted");
}

TEST_F(VelkExtract, IndexEntriesOutsideTheArchiveAreRefused)
{
    const std::string pastEnd = "extends past end of archive\n- must recreate index with 'velk -X' command\n";
    struct Case {
        const char *what;
        uint64_t offset;
        uint32_t blocks;
        uint64_t size;
        std::string message;
    } cases[] = {
        // An offset whose byte address wraps 64 bits.
        {"wrapping offset", uint64_t{1} << 55, 2, 5, pastEnd},
        {"past the end", 40, 2, 5, pastEnd},
        {"too many blocks", 2, 200, 200 * 512 - 1000, pastEnd},
        {"blocks that do not fit the size", 2, 1, 5, "records 1 blocks for 5 bytes\n"},
    };
    for (const auto &c : cases) {
        fs::remove_all(dir / "f");
        layOut({{'0', "f/a", "aaaaa"}, {'0', "f/b", "bbbbb"}}, [&](std::vector<hif_entry_t> &e) {
            velk_Put64(e[1].hent_offset, c.offset);
            velk_Put32(e[1].hent_blocks, c.blocks);
            velk_Put64(e[1].hent_fsize, c.size);
        });
        auto r = extract();
        EXPECT_EQ(r.status, 72) << c.what << "\n" << r.err;
        EXPECT_EQ(r.out, "VELK: failures: 1 corrupt index entry; exit status 72\nVELK: VELK FAILED\n") << c.what;
        EXPECT_TRUE(contains(r.err, "ERROR: Fatal: Index entry 1 (member file f/b) " + c.message)) << c.what << r.err;
        EXPECT_FALSE(exists(dir / "f")) << c.what;
    }
}

TEST_F(VelkExtract, HeaderAndIndexMustAgree)
{
    // The index says 300 bytes (still one data block), the header 5.
    layOut({{'0', "first", "11111"}, {'0', "second", "22222"}, {'0', "third", "33333"}},
           [](std::vector<hif_entry_t> &e) { velk_Put64(e[1].hent_fsize, 300); });
    auto r = extract();
    EXPECT_EQ(r.status, 72) << r.err;
    EXPECT_EQ(r.out, "VELK: failures: 1 header mismatch; exit status 72\nVELK: VELK FAILED\n");
    EXPECT_TRUE(contains(r.err, "ERROR: readCallbackCtl: fatal index inconsistency: archive header size 5 differs "
                                "from index size 300\n"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "ERROR: Extract aborted\n")) << r.err;
    EXPECT_EQ(velktest::readFile(dir / "first"), "11111");
    EXPECT_FALSE(exists(dir / "second"));
    EXPECT_FALSE(exists(dir / "third"));

    // A different name stops the extraction as a mismatch.
    layOut({{'0', "n1", "1"}, {'0', "n2", "2"}}, [](std::vector<hif_entry_t> &e) { e[1].hent_name[1] = '9'; });
    auto n = extract();
    EXPECT_EQ(n.status, 65) << n.err;
    EXPECT_TRUE(contains(n.err, "ERROR: readCallbackCtl: fatal pathname inconsistency detected\n"
                                "ERROR:      At Index File entry 1, Archive address 1024\n"
                                "ERROR:     Index path prefix=\"\" Archive path prefix=\"\"\n"
                                "ERROR:     Index filename=\"n9\" Archive filename=\"n2\"\n"))
        << n.err;
    EXPECT_FALSE(exists(dir / "n9"));
}

TEST_F(VelkExtract, DevNullPlaceholderIsAcceptedAndReported)
{
    layOut({{'0', "/dev/null", std::string(10, '\0')}, {'0', "kept", "kept"}},
           [](std::vector<hif_entry_t> &e) {
               memset(e[0].hent_name, 0, sizeof e[0].hent_name);
               memcpy(e[0].hent_name, "lost", 4);
           });
    auto r = extract();
    EXPECT_EQ(r.status, 65) << r.err;
    EXPECT_EQ(r.out, "VELK: failures: 1 extracted to /dev/null; exit status 65\nVELK: VELK FAILED\n");
    EXPECT_TRUE(contains(r.err, "WARNING: readCallbackCtl: At index entry 0, archive filename '/dev/null' was found -  "
                                "index filename is lost \n"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "WARNING: 1 files were extracted to /dev/null.")) << r.err;
    EXPECT_FALSE(exists(dir / "lost"));
    EXPECT_EQ(velktest::readFile(dir / "kept"), "kept");
}

TEST_F(VelkExtract, CrcMismatchIsReportedForTheExtractedMember)
{
    std::string good = bytesOf(5000, 3);
    std::string other = bytesOf(100, 4);
    auto withCrc = [&](std::vector<hif_entry_t> &e) {
        for (size_t i : {size_t{0}, size_t{1}}) {
            velk_Put32(e[i].hent_flags, HIF_FLAG_CRC);
            velk_Put32(e[i].hent_crc32, crc32Of(i == 0 ? good : other));
        }
    };
    layOut({{'0', "c/data", good}, {'0', "c/other", other}}, withCrc);
    auto clean = extract({"-H", "crc"});
    EXPECT_EQ(clean.status, 0) << clean.err;

    // One byte of c/data's second data block flipped.
    archive[512 + 512 + 7] = static_cast<char>(archive[512 + 512 + 7] ^ 0x20);
    velktest::writeFile(dir / "a.tar", archive);
    auto onlyOther = extract({"-H", "crc", "c/other"});
    EXPECT_EQ(onlyOther.status, 0) << onlyOther.err;

    // Stored CRCs are checked, -H crc or not.
    auto bad = extract();
    EXPECT_EQ(bad.status, 65) << bad.err;
    EXPECT_EQ(bad.out, "VELK: failures: 1 CRC mismatch; exit status 65\nVELK: VELK FAILED\n");
    char expected[128];
    std::string flipped = good;
    flipped[512 + 7] = static_cast<char>(flipped[512 + 7] ^ 0x20);
    snprintf(expected, sizeof expected, "ERROR: CRC error on c/data. Index CRC=%8.8x Extracted File CRC=%8.8x\n",
             crc32Of(good), crc32Of(flipped));
    EXPECT_TRUE(contains(bad.err, expected)) << bad.err;
    // The file stays, with what the archive held.
    EXPECT_TRUE(velktest::readFile(dir / "c/data") == flipped);
}

TEST_F(VelkExtract, ArchiveOfAnotherSizeIsRefusedBeforeAnything)
{
    layOut({{'0', "s", "s"}});
    velktest::writeFile(dir / "a.tar", archive + std::string(512, '\0'));
    auto r = extract();
    EXPECT_EQ(r.status, 72);
    EXPECT_EQ(r.out, failedEnding(r.status));
    EXPECT_TRUE(contains(r.err, "ERROR: [FATAL] Archive file a.tar size = " + std::to_string(archive.size() + 512) +
                                    "\nERROR:        is inconsistent with size of " + std::to_string(archive.size()) +
                                    " from Index File a.tar.idx\n"))
        << r.err;
    EXPECT_FALSE(exists(dir / "s"));
}

TEST_F(VelkExtract, PipeWithoutItsIndexOrMissingStorageSystemArchiveCannotBeRead)
{
    const struct {
        std::vector<std::string> args;
        int status;
        const char *message;
    } cases[] = {
        {{"-x", "-f", "-", "-I", "p.idx"}, 72, "ERROR: FATAL: error 2 getting attributes for local index file p.idx\n"},
        {{"-x", "-f", "a.tar"}, 72, "ERROR: [FATAL] no such QUOR archive file: a.tar\n"},
    };
    for (const auto &c : cases) {
        auto r = velk(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.out, failedEnding(r.status));
        EXPECT_TRUE(contains(r.err, c.message)) << r.err;
    }
}
