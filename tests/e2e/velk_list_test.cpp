// The list action end to end: velk -t on a local archive (-E) whose index a
// fixture lays out with the index routines, against a real kylgwd.  Checks
// the exact lines of -t, -tv, -tvB and -H crc, member selection, and the
// failures: an archive whose size disagrees with the index, a truncated or
// foreign index, a damaged entry, a piped archive, a missing archive.

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sys/stat.h>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "velk_IndexFormat.h"
#include "velk_gwsession.h"
#include "velk_indexbytes.h"

using velktest::failedEnding;

namespace {

// 2024-03-05 14:07:00 UTC.
constexpr uint32_t kMtime = 1709647620;

struct Member {
    uint32_t type;
    std::string prefix;
    std::string name;
    uint64_t size;
    uint32_t mode;
    std::string link = "";
    uint32_t flags = 0;
    uint32_t crc = 0;
};

// Writes index bytes for members (offsets laid out in order) and returns the
// archive size in bytes the index records.
uint64_t writeIndex(const std::string &path, const std::vector<Member> &members)
{
    std::vector<hif_entry_t> entries;
    uint64_t block = 0;
    for (const auto &m : members) {
        hif_entry_t e;
        memset(&e, 0, sizeof e);
        memcpy(e.hent_sanity, HENT_SANITY, 8);
        velk_Put32(e.hent_flags, m.flags);
        velk_Put32(e.hent_type, m.type);
        velk_Put32(e.hent_version, 1);
        velk_Put64(e.hent_offset, block);
        velk_Put64(e.hent_fsize, m.size);
        velk_Put32(e.hent_blocks, static_cast<uint32_t>(m.type == VTO_FILE ? velk_MemberBlocks(m.size) : 1));
        velk_Put32(e.hent_crc32, m.crc);
        memcpy(e.hent_name, m.name.data(), std::min(m.name.size(), sizeof e.hent_name));
        memcpy(e.hent_prefix, m.prefix.data(), std::min(m.prefix.size(), sizeof e.hent_prefix));
        memcpy(e.hent_linkname, m.link.data(), std::min(m.link.size(), sizeof e.hent_linkname));
        velk_Put32(e.hent_mode, m.mode);
        velk_Put32(e.hent_mtime, kMtime);
        velk_Put32(e.hent_ctime, kMtime);
        velk_Put32(e.hent_uid, 1000);
        velk_Put32(e.hent_gid, 100);
        memcpy(e.hent_uname, "user1", 5);
        memcpy(e.hent_gname, "users", 5);
        entries.push_back(e);
        block += velk_Get32(e.hent_blocks);
    }
    velktest::writeFile(path, indexFileBytes(entries, (block + 1) * 512));
    return (block + 1) * 512;
}

const std::vector<Member> kMembers = {
    {VTO_DIRECTORY, "", "dir", 0, 0755},
    {VTO_FILE, "", "dir/a.txt", 1234, 0644},
    {VTO_SYMLINK, "", "dir/ln", 0, 0777, "a.txt"},
    {VTO_FILE, "", "dir/gone.txt", 99, 0600, "", HIF_FLAG_PHANTOM | HIF_FLAG_DELETED},
    {VTO_FILE, "", "dir/old.txt", 10, 0640, "", HIF_FLAG_DELETED},
    {VTO_DIRECTORY, "", "top/", 0, 0700},
    {VTO_FILE, std::string(120, 'p'), "deep.bin", 513, 04755, "", HIF_FLAG_CRC, 0xCBF43926},
    {VTO_FILE, "", "/tmp/VELK_CF_CHK_1_2", 256, 0600},
};

// Messages name the archive and index as given on the command line.
const std::string kArchive = "a.tar", kIndex = "a.tar.idx";

class VelkList : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        velktest::VelkGatewayTest::SetUp();
        uint64_t size = writeIndex(dir / kIndex, kMembers);
        velktest::writeFile(dir / kArchive, std::string(size, '\0'));
    }
};

const std::string kDeepPath = std::string(120, 'p') + "/deep.bin";
// The lines of -t for kMembers (the phantom is not shown), without "VELK: ".
const std::vector<std::string> kLines = {
    "drwxr-xr-x  user1/users          0 2024-03-05 14:07  dir/",
    "-rw-r--r--  user1/users       1234 2024-03-05 14:07  dir/a.txt",
    "lrwxrwxrwx  user1/users          0 2024-03-05 14:07  dir/ln -> a.txt",
    "-rw-r----- D user1/users         10 2024-03-05 14:07  dir/old.txt",
    "drwx------  user1/users          0 2024-03-05 14:07  top/",
    "-rwxr-xr-x  user1/users        513 2024-03-05 14:07  " + kDeepPath,
    "-rw-------  user1/users        256 2024-03-05 14:07  /tmp/VELK_CF_CHK_1_2",
};

// "VELK: " and the first n of kLines, then the final line.
std::string listing(size_t n)
{
    std::string out;
    for (size_t i = 0; i < n; i++)
        out += "VELK: " + kLines[i] + "\n";
    return out + "VELK: VELK SUCCESSFUL\n";
}

} // namespace

TEST_F(VelkList, PlainListingPrintsExactLines)
{
    auto r = velk({"-t", "-E", "-f", "a.tar"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, listing(kLines.size()));
    // Times are local: a zone five hours west moves them.
    auto ny = velk({"-t", "-E", "-f", "a.tar"}, {{"TZ", "XST+5"}});
    EXPECT_NE(ny.out.find("       1234 2024-03-05 09:07  dir/a.txt\n"), std::string::npos) << ny.out;
}

TEST_F(VelkList, VerboseAndBlockNumbersAddSummaryAndOffsets)
{
    auto v = velk({"-tv", "-E", "-f", "a.tar"});
    EXPECT_EQ(v.status, 0) << v.err;
    auto vl = velktest::lines(v.out);
    ASSERT_EQ(vl.size(), 9u) << v.out;
    // Symbolic links and files count as files, directories only as objects.
    EXPECT_EQ(vl[7], "VELK: Listing complete for " + kArchive + ", 5 files 7 total objects");
    EXPECT_EQ(vl[8], "VELK: VELK SUCCESSFUL");

    auto b = velk({"-tvB", "-E", "-f", "a.tar"});
    EXPECT_EQ(b.status, 0) << b.err;
    auto bl = velktest::lines(b.out);
    ASSERT_EQ(bl.size(), 9u) << b.out;
    // Blocks: dir 0, a.txt 1 (4 blocks), ln 5, gone 6 (2), old 8 (2), top 10, deep 11 (3), cf 14.
    const int blocks[] = {0, 1, 5, 8, 10, 11, 14};
    for (size_t i = 0; i < kLines.size(); i++)
        EXPECT_EQ(bl[i], "VELK: [" + std::to_string(blocks[i]) + "] " + kLines[i]);

    // Without -v the summary reaches the gateway log only.
    auto t = velk({"-t", "-E", "-f", "a.tar"});
    EXPECT_EQ(t.out.find("Listing complete"), std::string::npos);
    EXPECT_EQ(gw.stop(), 0);
    EXPECT_NE(gw.logText().find(") VELK: Listing complete for " + kArchive + ", 5 files 7 total objects"),
              std::string::npos)
        << gw.logText();
}

TEST_F(VelkList, CrcColumnKeepsItsWidth)
{
    auto r = velk({"-t", "-E", "-H", "crc", "-f", "a.tar"});
    EXPECT_EQ(r.status, 0) << r.err;
    auto l = velktest::lines(r.out);
    ASSERT_EQ(l.size(), 8u) << r.out;
    // The column is 13 characters wide: "[0x%8.8x] ", "[]" and 11 spaces,
    // or 13 spaces for what is not a file.
    EXPECT_EQ(l[0], "VELK: drwxr-xr-x " + std::string(13, ' ') + " user1/users          0 2024-03-05 14:07  dir/");
    EXPECT_EQ(l[1], "VELK: -rw-r--r-- []" + std::string(11, ' ') +
                        " user1/users       1234 2024-03-05 14:07  dir/a.txt");
    EXPECT_EQ(l[5], "VELK: -rwxr-xr-x [0xcbf43926]  user1/users        513 2024-03-05 14:07  " + kDeepPath);
}

TEST_F(VelkList, MemberNamesSelectWhatIsListed)
{
    auto r = velk({"-t", "-E", "-f", "a.tar", "dir"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, listing(4));
    auto one = velk({"-t", "-E", "-f", "a.tar", kDeepPath});
    EXPECT_EQ(velktest::lines(one.out).size(), 2u) << one.out;
}

TEST_F(VelkList, BrokenIndexesFailWithTheirMessage)
{
    std::string good = velktest::readFile(dir / kIndex);
    // Shorter than its header, a foreign file, more entries claimed than present.
    for (const std::string &bytes : {good.substr(0, 200), std::string(4096, 'x'), good.substr(0, good.size() - 512)}) {
        velktest::writeFile(dir / kIndex, bytes);
        auto r = velk({"-t", "-E", "-f", "a.tar"});
        EXPECT_EQ(r.status, 72) << bytes.size();
        EXPECT_EQ(r.out, failedEnding(r.status)) << bytes.size();
        EXPECT_NE(r.err.find("ERROR: Oops - " + kIndex + " doesn't look like an VELK index file\n"
                             "ERROR: Fatal error opening index file: " + kIndex + "\n"),
                  std::string::npos)
            << r.err;
    }
}

TEST_F(VelkList, DamagedEntryEndsTheListingAsFailed)
{
    std::string bytes = velktest::readFile(dir / kIndex);
    // Entry 4 (dir/old.txt) loses its mark; the entries before it are shown.
    bytes[HIF_HDR_SIZE + 4 * HIF_ENTRY_SIZE] = 'X';
    velktest::writeFile(dir / kIndex, bytes);
    auto r = velk({"-t", "-E", "-f", "a.tar"});
    EXPECT_EQ(r.status, 72);
    auto l = velktest::lines(r.out);
    ASSERT_EQ(l.size(), 5u) << r.out;
    EXPECT_EQ(l[2], "VELK: lrwxrwxrwx  user1/users          0 2024-03-05 14:07  dir/ln -> a.txt");
    EXPECT_EQ(l[4], "VELK: VELK FAILED");
    EXPECT_NE(r.err.find("Hmmm- " + kIndex + " does not appear to be a file created by velk.\n"), std::string::npos)
        << r.err;
}

TEST_F(VelkList, UnknownObjectTypeIsReportedButListed)
{
    std::vector<Member> members = {{VTO_FILE, "", "a", 1, 0644}, {9, "", "odd", 0, 0644}};
    uint64_t size = writeIndex(dir / kIndex, members);
    velktest::writeFile(dir / kArchive, std::string(size, '\0'));
    auto r = velk({"-t", "-E", "-f", "a.tar"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("VELK: -rw-r--r--  user1/users          0 2024-03-05 14:07  odd\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("ERROR: Unknown object type: 9 Index Entry 1\n"), std::string::npos) << r.err;
}

TEST_F(VelkList, ArchivesThatCannotBeReadFail)
{
    const std::string body = velktest::readFile(dir / kArchive);
    const struct {
        std::vector<std::string> args;
        std::string archive; // "": none
        int status;
        std::string message;
    } cases[] = {
        {{"-t", "-E", "-f", "a.tar"}, body + std::string(1, '\0'), 72,
         "ERROR: [FATAL] Inconsistent actual/index files sizes for Archive file a.tar\nERROR:      Archive file actual "
         "size is: " + std::to_string(body.size() + 1) + "\nERROR:      Index file (a.tar.idx) thinks size should be " +
             std::to_string(body.size()) + "\n"},
        {{"-t", "-E", "-f", "a.tar"}, "", 72, "ERROR: [FATAL] no such local archive file: a.tar\n"},
        {{"-t", "-f", "-", "-I", "p.idx"}, body, 72, "ERROR: Fatal error opening index file: p.idx"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message);
        unlink((dir / kArchive).c_str());
        if (!c.archive.empty())
            velktest::writeFile(dir / kArchive, c.archive);
        auto r = velk(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, failedEnding(r.status));
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

TEST_F(VelkList, StorageSystemIndexListsAsTheLocalOne)
{
    // A small archive made by velk, and an index over 4 MiB (9000 entries).
    velktest::writeFile(dir / "f.txt", std::string(1500, 'x'));
    ASSERT_EQ(velk({"-c", "-E", "-f", "made.tar", "f.txt"}).status, 0);
    std::vector<Member> many;
    for (int i = 0; i < 9000; i++)
        many.push_back({VTO_DIRECTORY, "", "d" + std::to_string(i) + "/", 0, 0755});
    velktest::writeFile(dir / "big.tar", std::string(writeIndex(dir / "big.tar.idx", many), '\0'));
    for (const char *name : {"made.tar", "big.tar"}) {
        SCOPED_TRACE(name);
        for (const std::string &f : {std::string(name), std::string(name) + ".idx"})
            velktest::writeFile(home() + "/" + f, velktest::readFile(dir / f));
        const size_t before = velktest::lines(velktest::readFile(dir / "events")).size();
        auto local = velk({"-tv", "-E", "-f", name});
        auto stored = velk({"-tvf", name});
        EXPECT_EQ(stored.status, 0) << stored.err;
        EXPECT_EQ(stored.out, local.out);
        EXPECT_NE(stored.out.find("VELK SUCCESSFUL"), std::string::npos);
        // Read with sequential requests: the big index takes more than one.
        const auto events = velktest::lines(velktest::readFile(dir / "events"));
        size_t reads = 0;
        for (size_t i = before; i < events.size(); i++)
            reads += events[i].find("\"event\":\"sequential\"") != std::string::npos &&
                     events[i].find("\"bytes\":0,") == std::string::npos;
        EXPECT_EQ(reads, std::string(name) == "big.tar" ? 2u : 1u);
    }
}

TEST_F(VelkList, StorageSystemIndexReadFaults)
{
    // The index is read from the storage system by sequential reads; five
    // failed reads in a row are retried, the sixth fails the run, and an
    // index that ends before its attributes say is an error, never a
    // shorter listing.
    for (const std::string &f : {kArchive, kIndex})
        velktest::writeFile(home() + "/" + f, velktest::readFile(dir / f));
    const auto local = velk({"-tv", "-E", "-f", kArchive});
    ASSERT_EQ(local.status, 0) << local.err;
    const std::string recovered = "INFO: velk_BlockRead: Recovered I/O error reading QUOR-resident file: " + kIndex + "\n";
    struct Row {
        std::string fault;
        int status;
        std::string error; // in the standard error
        size_t fired;
    };
    const Row rows[] = {
        {"eio_read=2", 0, "", 2},
        {"eio_read=6", 72, "velk_BlockRead: Error 5 reading ", 6},
        {"short_read", 72, "FATAL: error 5 reading ", 3},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.fault);
        velktest::writeFile(dir / "faults", row.fault + "\n");
        const size_t before = velktest::lines(velktest::readFile(dir / "events")).size();
        auto r = velk({"-tvf", kArchive});
        EXPECT_EQ(r.status, row.status) << r.err;
        EXPECT_EQ(r.out, row.status == 0 ? recovered + local.out : failedEnding(row.status));
        EXPECT_NE(r.err.find(row.error), std::string::npos) << r.err;
        const std::string name = row.fault.substr(0, row.fault.find('='));
        const auto events = velktest::lines(velktest::readFile(dir / "events"));
        size_t fired = 0;
        for (size_t i = before; i < events.size(); i++)
            fired += events[i].find("\"fault\":\"" + name + "\"") != std::string::npos;
        EXPECT_EQ(fired, row.fired);
    }
}

namespace {

// The member names of a verbose listing line by line: what follows the
// modification time ("YYYY-MM-DD HH:MM" and blanks), without a final "/".
std::vector<std::string> listedNames(const std::string &out)
{
    static const std::regex when(" [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2} +");
    std::vector<std::string> names;
    for (const std::string &line : velktest::lines(out)) {
        std::smatch m;
        if (!std::regex_search(line, m, when))
            continue;
        // velk marks a directory with a "/" that its stored name may lack.
        std::string name = m.suffix();
        if (name.size() > 1 && name.back() == '/')
            name.pop_back();
        names.push_back(name);
    }
    return names;
}

class VelkListNames : public velktest::VelkGatewayTest {};

} // namespace

TEST_F(VelkListNames, EveryListingEscapesControlBytesInNamesAsGnuTarDoes)
{
    std::string tree = dir / "t";
    ASSERT_EQ(mkdir(tree.c_str(), 0755), 0);
    velktest::writeFile(tree + "/e\033[31mred\nline\\back", "x");
    ASSERT_EQ(symlink("to\x7f\x01\tq", (tree + "/ln\r\b").c_str()), 0);
    velktest::writeFile(tree + "/caf\xc3\xa9", "");
    auto c = velk({"-cv", "-E", "-f", "n.tar", "t"});
    ASSERT_EQ(c.status, 0) << c.err;

    auto v = velk({"-tv", "-E", "-f", "n.tar"});
    ASSERT_EQ(v.status, 0) << v.err;
    auto mine = listedNames(v.out);
    // Every member's name, escaped, and nothing raw reaches the terminal.
    for (const char *want :
         {"t", "t/caf\xc3\xa9", "t/e\\033[31mred\\nline\\\\back", "t/ln\\r\\b -> to\\177\\001\\tq"})
        EXPECT_NE(std::find(mine.begin(), mine.end(), want), mine.end()) << want << "\n" << v.out;
    EXPECT_EQ(v.out.find('\033'), std::string::npos) << v.out;

    auto t = velktest::run({"/usr/bin/tar", "-tvf", dir / "n.tar"}, velkOptions({{"LC_ALL", "C.UTF-8"}}));
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(mine, listedNames(t.out)) << v.out << t.out;

    // The per-member lines of -cv and -xv show the same escaped names.
    ASSERT_EQ(mkdir((dir / "x").c_str(), 0755), 0);
    auto xo = velkOptions();
    xo.cwd = dir / "x";
    auto x = velktest::runVelk({"-xv", "-E", "-f", dir / "n.tar"}, xo);
    ASSERT_EQ(x.status, 0) << x.err;
    for (const std::string &out : {c.out, x.out}) {
        EXPECT_NE(out.find(" t/e\\033[31mred\\nline\\\\back"), std::string::npos) << out;
        EXPECT_NE(out.find(" t/ln\\r\\b"), std::string::npos) << out;
        EXPECT_EQ(out.find_first_of("\033\r\b"), std::string::npos) << out;
    }
    EXPECT_NE(x.out.find("t/ln\\r\\b is a symbolic link to to\\177\\001\\tq\n"), std::string::npos) << x.out;
    EXPECT_EQ(velktest::readFile(dir / "x/t/e\033[31mred\nline\\back"), "x");
}
