// velk -X on local archives (-E) against a real kylgwd: the index of an
// archive velk made comes back as create wrote it; ustar archives of GNU
// tar and bsdtar are indexed, then listed and extracted as tar does; cut and
// damaged archives, the member limit and the overwrite question.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "velk_IndexFormat.h"
#include "velk_gwsession.h"

namespace fs = std::filesystem;

namespace {

using Members = std::vector<std::pair<std::string, uint64_t>>; // path, header block

const auto *bytes(const std::string &s) { return reinterpret_cast<const unsigned char *>(s.data()); }

// The entries of index file bytes idx (and its header into *hdr).
std::vector<hif_entry_t> entriesOf(const std::string &idx, hif_hdr_t *hdr = nullptr)
{
    std::vector<hif_entry_t> out;
    hif_hdr_t h;
    EXPECT_EQ(velk_DecodeIndexHeader(bytes(idx), idx.size(), hdr != nullptr ? hdr : &h), 0);
    for (size_t off = HIF_HDR_SIZE; off + HIF_ENTRY_SIZE <= idx.size(); off += HIF_ENTRY_SIZE)
        EXPECT_EQ(velk_DecodeIndexEntry(bytes(idx) + off, HIF_ENTRY_SIZE, &out.emplace_back()), 0);
    return out;
}

Members membersOf(const std::string &idx)
{
    Members m;
    for (const hif_entry_t &e : entriesOf(idx)) {
        char p[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(&e, p, sizeof p);
        m.emplace_back(p, velk_Get64(e.hent_offset));
    }
    return m;
}

// Listing lines with runs of blanks made one, without velk's prefix and
// tar's hard-link type letter (velk shows '-'), and none but member lines.
std::vector<std::string> normalized(const std::string &text)
{
    std::vector<std::string> out;
    for (const std::string &line : velktest::lines(text)) {
        std::istringstream in(line);
        std::string word, joined;
        while (in >> word)
            if (!(joined.empty() && word == "VELK:"))
                joined += (joined.empty() ? "" : " ") + word;
        if (joined.starts_with("VELK") || joined.find("Listing complete") != std::string::npos)
            continue;
        if (joined.starts_with("h"))
            joined[0] = '-';
        out.push_back(joined);
    }
    return out;
}

ino_t inodeOf(const std::string &path)
{
    struct stat st{};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_ino;
}

class VelkBuildIndex : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        umask(022);
        velktest::VelkGatewayTest::SetUp();
    }
    // base/t: empty, small, a 3 MiB file, a symbolic link, a hard link and
    // a path too long for the name field alone.
    void makeTree(const std::string &base)
    {
        std::string deep = base + "/t/" + std::string(60, 'p') + "/" + std::string(50, 'q');
        fs::create_directories(deep);
        velktest::writeFile(base + "/t/empty", "");
        velktest::writeFile(base + "/t/small", "hello");
        velktest::writeFile(base + "/t/big", velktest::bytesOf(3 * 1048576, 7));
        velktest::writeFile(deep + "/file.txt", "deep");
        ASSERT_EQ(symlink("../small", (base + "/t/" + std::string(60, 'p') + "/ln").c_str()), 0);
        ASSERT_EQ(link((base + "/t/small").c_str(), (base + "/t/hard").c_str()), 0);
    }
    velktest::RunResult rebuild(std::vector<std::string> extra = {})
    {
        extra.insert(extra.begin(), {"-X", "-E", "-f", "a.tar"});
        return velk(extra);
    }
    std::string index() { return velktest::exists(dir / "a.tar.idx") ? velktest::readFile(dir / "a.tar.idx") : ""; }
};

} // namespace

TEST_F(VelkBuildIndex, VelkArchiveGetsBackTheIndexCreateWrote)
{
    makeTree(dir.path());
    ASSERT_EQ(velk({"-c", "-E", "-f", "a.tar", "t"}).status, 0);
    std::string created = index();
    auto list = velk({"-t", "-E", "-f", "a.tar"});
    ASSERT_EQ(list.status, 0) << list.err;

    // No CRC is computed while indexing: -H crc must not claim one.
    for (const std::vector<std::string> &extra : {std::vector<std::string>{}, {"-H", "crc"}, {"-v"}}) {
        auto r = rebuild(extra);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out.ends_with("VELK: VELK SUCCESSFUL\n")) << r.out;
        std::string rebuilt = index();
        EXPECT_EQ(rebuilt.substr(0, HIF_HDR_SIZE), created.substr(0, HIF_HDR_SIZE));
        ASSERT_EQ(rebuilt.size(), created.size());
        // Entries made from headers carry version 0 and no change time.
        for (size_t off = HIF_HDR_SIZE; off < created.size(); off += HIF_ENTRY_SIZE) {
            std::string a = created.substr(off, HIF_ENTRY_SIZE), b = rebuilt.substr(off, HIF_ENTRY_SIZE);
            for (std::string *s : {&a, &b})
                s->replace(HENT_version_offset, 4, 4, '\0').replace(HENT_ctime_offset, 4, 4, '\0');
            EXPECT_EQ(a, b) << "entry at byte " << off;
        }
        EXPECT_EQ(velk({"-t", "-E", "-f", "a.tar"}).out, list.out);
    }
    // The same archive in the storage system: read through the movers and
    // seeked over, its index copied in beside it.
    velktest::writeFile(home() + "/a.tar", velktest::readFile(dir / "a.tar"));
    auto stored = velk({"-X", "-f", "a.tar"});
    EXPECT_EQ(stored.status, 0) << stored.err;
    EXPECT_TRUE(velktest::readFile(home() + "/a.tar.idx") == index());
    EXPECT_EQ(velk({"-t", "-f", "a.tar"}).out, list.out);

    auto v = rebuild({"-v"});
    EXPECT_NE(v.out.find("VELK: i t/small\n"), std::string::npos) << v.out;
    EXPECT_NE(v.out.find("VELK: Build Index complete for a.tar, "), std::string::npos) << v.out;

    fs::create_directories(dir / "orig");
    fs::rename(dir / "t", dir / "orig/t");
    auto x = velk({"-x", "-E", "-f", "a.tar"});
    EXPECT_EQ(x.out, "VELK: VELK SUCCESSFUL\n") << x.err;
    auto d = velktest::run({"/usr/bin/diff", "-r", "--no-dereference", dir / "orig/t", dir / "t"});
    EXPECT_EQ(d.status, 0) << d.out << d.err;
}

TEST_F(VelkBuildIndex, UstarArchivesOfOtherTarsListAndExtractAsTarDoes)
{
    makeTree(dir / "src");
    const std::vector<std::vector<std::string>> writers = {{"/usr/bin/tar", "--format=ustar", "-cf"},
                                                           {"/usr/bin/bsdtar", "--format", "ustar", "-cf"}};
    for (std::vector<std::string> w : writers) {
        SCOPED_TRACE(w[0]);
        for (const char *old : {"a.tar", "a.tar.idx", "t", "ref"})
            fs::remove_all(dir / old);
        w.insert(w.end(), {dir / "a.tar", "-C", dir / "src", "t"});
        ASSERT_EQ(velktest::run(w).status, 0);

        auto r = rebuild();
        EXPECT_EQ(r.status, 0) << r.err;
        hif_hdr_t hdr;
        entriesOf(index(), &hdr);
        EXPECT_EQ(velk_Get32(hdr.hif_hdr.hif_flags), HIF_IDX_FOREIGN_ARCHIVE);

        auto tarList = velktest::run({"/usr/bin/tar", "-tvf", dir / "a.tar"}, velkOptions({{"TZ", "UTC"}}));
        auto list = velk({"-t", "-v", "-E", "-f", "a.tar"});
        EXPECT_EQ(list.status, 0) << list.err;
        EXPECT_EQ(normalized(list.out), normalized(tarList.out)) << list.out << tarList.out;

        fs::create_directories(dir / "ref");
        ASSERT_EQ(velktest::run({"/usr/bin/tar", "-xf", dir / "a.tar", "-C", dir / "ref"}).status, 0);
        auto x = velk({"-x", "-E", "-f", "a.tar"});
        EXPECT_EQ(x.out, "VELK: VELK SUCCESSFUL\n") << x.err;
        auto d = velktest::run({"/usr/bin/diff", "-r", "--no-dereference", dir / "ref/t", dir / "t"});
        EXPECT_EQ(d.status, 0) << d.out << d.err;
        EXPECT_EQ(inodeOf(dir / "t/hard"), inodeOf(dir / "t/small"));

        // A hard link alone: its target was not extracted by this run.
        std::string linkPath;
        for (const hif_entry_t &e : entriesOf(index()))
            if (velk_Get32(e.hent_type) == VTO_HARDLINK)
                linkPath = e.hent_name;
        fs::remove_all(dir / "t");
        auto alone = velk({"-x", "-E", "-f", "a.tar", linkPath});
        EXPECT_EQ(alone.status, 72);
        EXPECT_NE(alone.err.find("not extracted by this run"), std::string::npos) << alone.err;
        EXPECT_FALSE(velktest::exists(dir / linkPath));
    }
}

TEST_F(VelkBuildIndex, CutAndDamagedArchivesAndTheMemberLimit)
{
    // Five members of 2, 4, 2, 3 and 2 blocks at blocks 0, 2, 6, 8, 11.
    const Members all = {{"a", 0}, {"b", 2}, {"c", 6}, {"d", 8}, {"e", 11}};
    const std::vector<size_t> sizes = {100, 1500, 10, 600, 20};
    for (size_t i = 0; i < all.size(); ++i)
        velktest::writeFile(dir / all[i].first, std::string(sizes[i], static_cast<char>('a' + i)));
    ASSERT_EQ(velktest::run({"/usr/bin/tar", "--format=ustar", "-C", dir.path(), "-cf", dir / "orig.tar", "a", "b",
                             "c", "d", "e"})
                  .status,
              0);
    const std::string orig = velktest::readFile(dir / "orig.tar");
    auto damage = [&](size_t block) { return orig.substr(0, block * 512) + 'X' + orig.substr(block * 512 + 1); };
    struct Case {
        const char *name;
        std::string archive;
        std::vector<std::string> extra;
        int status;
        Members indexed; // empty: no index is placed
        const char *message;
    } cases[] = {
        {"cut in d's data", orig.substr(0, 9 * 512 + 100), {}, 72, {all[0], all[1], all[2]}, "seems to be truncated"},
        {"c's header damaged", damage(6), {}, 72, {all[0], all[1], all[3], all[4]}, "Checksum mismatch"},
        {"b's header damaged", damage(2), {}, 72, {}, "a.tar does not appear to be a POSIX-compliant tar file"},
        {"-M 4", orig, {"-M", "4"}, 0, all, ""},
        {"-M 3", orig, {"-M", "3"}, 66, {}, "too many member files found on archive file a.tar. Current limit is 3"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(dir / "a.tar.idx");
        velktest::writeFile(dir / "a.tar", c.archive);
        auto r = rebuild(c.extra);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(c.indexed.empty() ? Members{} : membersOf(index()), c.indexed);
        EXPECT_EQ(velktest::exists(dir / "a.tar.idx"), !c.indexed.empty());
    }
}

TEST_F(VelkBuildIndex, OnATerminalAnExistingIndexIsReplacedOnlyWhenTheAnswerIsYes)
{
    velktest::writeFile(dir / "f", "data");
    ASSERT_EQ(velktest::run({"/usr/bin/tar", "--format=ustar", "-C", dir.path(), "-cf", dir / "a.tar", "f"}).status, 0);
    velktest::writeFile(dir / "a.tar.idx", "old index");
    std::map<std::string, std::string> env = wholeEnv();
    const std::string question = "[build index] Overwrite existing index file 'a.tar.idx'?";
    for (const auto &[answer, replaced] : {std::pair{"n", false}, std::pair{"y", true}}) {
        auto r = velktest::runOnPty({velktest::velkBinary(), "-X", "-E", "-f", "a.tar"}, env, dir.path(),
                                    {{question, answer}});
        EXPECT_EQ(r.status, replaced ? 0 : 72) << r.text;
        EXPECT_EQ(index() == "old index", !replaced);
    }
    // A new index that cannot take the old one's name leaves the old one.
    fs::remove(dir / "a.tar.idx");
    fs::create_directories(dir / "a.tar.idx/keep");
    auto r = rebuild();
    EXPECT_EQ(r.status, 72);
    EXPECT_NE(r.err.find("on rename attempt of local index file"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_directory(dir / "a.tar.idx/keep"));
}

// GNU tar (gnu and pax formats) and bsdtar archives with names past 100
// characters: long-name records and pax headers give -X the true names, -t
// lists them as tar does and -x (with -p, link times too) makes tar's tree.
// What an index entry cannot hold is refused with no index placed; FIFOs
// are named and left out.
TEST_F(VelkBuildIndex, LongNamesOfOtherTarsAreIndexedWholeOrRefused)
{
    const std::string d = "t/" + std::string(70, 'd'), e = d + "/" + std::string(80, 'e');
    const std::string n150 = d + "/" + std::string(77, 'f'), n250 = e + "/" + std::string(96, 'g');
    ASSERT_EQ(n150.size(), 150u);
    ASSERT_EQ(n250.size(), 250u);
    const std::vector<std::vector<std::string>> writers = {{"/usr/bin/tar", "--format=gnu", "-cf"},
                                                           {"/usr/bin/tar", "--format=pax", "-cf"},
                                                           {"/usr/bin/bsdtar", "-cf"}};
    struct Case {
        const char *name;
        const char *extra;    // one more member: "fifo", "longlink", "longname" or ""
        int status;           // of -X
        const char *message;  // in -X's standard error
        bool indexed;         // an index is placed
    } cases[] = {
        {"long names", "", 0, "", true},
        {"a FIFO", "fifo", 72, "t/fifo (archive block ", true},
        {"a link target of 120", "longlink", 72, "its link target is longer than 100 bytes", false},
        {"a name part of 120", "longname", 72, "its name does not fit an index entry", false},
    };
    for (const std::vector<std::string> &w : writers) {
        for (const Case &c : cases) {
            SCOPED_TRACE(w[1] + " " + c.name);
            for (const char *old : {"src", "ref", "t", "a.tar", "a.tar.idx"})
                fs::remove_all(dir / old);
            fs::create_directories(dir / ("src/" + e));
            velktest::writeFile(dir / ("src/" + n150), "one fifty");
            velktest::writeFile(dir / ("src/" + n250), "two fifty");
            const std::string link = dir / "src/t/link100";
            ASSERT_EQ(symlink(std::string(100, 'u').c_str(), link.c_str()), 0);
            const struct timespec linkTime[2] = {{1000000000, 0}, {1000000000, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, link.c_str(), linkTime, AT_SYMLINK_NOFOLLOW), 0);
            std::string extra = c.extra;
            if (extra == "fifo") {
                ASSERT_EQ(mkfifo((dir / "src/t/fifo").c_str(), 0644), 0);
            } else if (extra == "longlink") {
                ASSERT_EQ(symlink(std::string(120, 'v').c_str(), (dir / "src/t/ll").c_str()), 0);
            } else if (extra == "longname") {
                velktest::writeFile(dir / ("src/" + d + "/" + std::string(120, 'h')), "x");
            }
            std::vector<std::string> cmd = w;
            cmd.insert(cmd.end(), {dir / "a.tar", "-C", dir / "src", "t"});
            ASSERT_EQ(velktest::run(cmd).status, 0);
            if (!c.indexed)
                velktest::writeFile(dir / "a.tar.idx", "old index");

            auto r = rebuild();
            EXPECT_EQ(r.status, c.status) << r.out << r.err;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
            if (!c.indexed) {
                EXPECT_NE(r.err.find("No index written for a.tar"), std::string::npos) << r.err;
                EXPECT_EQ(index(), "old index");
                continue;
            }
            auto tarList = velktest::run({"/usr/bin/tar", "-tvf", dir / "a.tar"}, velkOptions({{"TZ", "UTC"}}));
            std::vector<std::string> want = normalized(tarList.out);
            std::erase_if(want, [](const std::string &l) { return l.ends_with("t/fifo"); });
            auto list = velk({"-t", "-v", "-E", "-f", "a.tar"});
            EXPECT_EQ(list.status, 0) << list.err;
            EXPECT_EQ(normalized(list.out), want) << list.out << tarList.out;

            fs::create_directories(dir / "ref");
            ASSERT_EQ(velktest::run({"/usr/bin/tar", "-xpf", dir / "a.tar", "-C", dir / "ref"}).status, 0);
            fs::remove(dir / "ref/t/fifo");
            auto x = velk({"-x", "-p", "-E", "-f", "a.tar"});
            EXPECT_EQ(x.out, "VELK: VELK SUCCESSFUL\n") << x.err;
            // GNU tar leaves the times of bsdtar's long-named directories at
            // the moment of extraction: there the source tree is the
            // reference (its FIFO gone, its times kept).
            if (w[0] != "/usr/bin/bsdtar") {
                EXPECT_EQ(velktest::treeOf(dir / "t"), velktest::treeOf(dir / "ref/t"));
            } else {
                struct stat top{};
                ASSERT_EQ(stat((dir / "src/t").c_str(), &top), 0);
                fs::remove(dir / "src/t/fifo");
                const struct timespec kept[2] = {top.st_atim, top.st_mtim};
                ASSERT_EQ(utimensat(AT_FDCWD, (dir / "src/t").c_str(), kept, 0), 0);
                EXPECT_EQ(velktest::treeOf(dir / "t"), velktest::treeOf(dir / "src/t"));
            }
            struct stat st{};
            ASSERT_EQ(lstat((dir / "t/link100").c_str(), &st), 0);
            EXPECT_EQ(st.st_mtime, 1000000000);
            auto k = velk({"-K", "-E", "-f", "a.tar"});
            EXPECT_EQ(k.status, 0) << k.out << k.err;
        }
    }
}
