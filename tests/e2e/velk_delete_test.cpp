// Soft delete and undelete end to end, on a local archive (-E) and on the
// same archive in kylgwd's storage system: the marks show in the listing and
// keep members from being extracted, undelete restores the index byte for
// byte, entries that may not change are reported and left alone, a stale
// index is refused, and a storage-system index whose replacement cannot be
// renamed into place stays usable under its own name.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <sys/stat.h>
#include <string>
#include <vector>

#include "velk_gwsession.h"

using velktest::readFile;
using velktest::writeFile;

namespace {

class VelkDelete : public velktest::VelkGatewayTest {
protected:
    std::string index0; // the index create wrote

    void SetUp() override
    {
        velktest::VelkGatewayTest::SetUp();
        ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((dir / "d/sub").c_str(), 0755), 0);
        writeFile(dir / "d/a.txt", "alpha\n");
        writeFile(dir / "d/b.txt", velktest::bytesOf(70000, 3));
        ASSERT_EQ(symlink("a.txt", (dir / "d/ln").c_str()), 0);
        auto r = velk({"-c", "-E", "-f", "a.tar", "d"});
        ASSERT_EQ(r.status, 0) << r.err;
        index0 = readFile(dir / "a.tar.idx");
    }

    // velk with args, -E added for the local archive.
    velktest::RunResult run(bool stored, std::vector<std::string> args)
    {
        if (!stored)
            args.insert(args.begin() + 1, "-E");
        return velk(args);
    }
    std::string indexPath(bool stored) const { return stored ? home() + "/a.tar.idx" : std::string(dir / "a.tar.idx"); }
    void place(bool stored)
    {
        writeFile(dir / "a.tar.idx", index0);
        if (stored)
            for (const char *f : {"a.tar", "a.tar.idx"})
                writeFile(home() + "/" + f, readFile(dir / f));
    }
    // Names in demo's home other than the archive and its index.
    std::vector<std::string> leftovers() const
    {
        return homeNames([](const std::string &n) { return n != "a.tar" && n != "a.tar.idx"; });
    }
};

TEST_F(VelkDelete, DeleteHidesAndUndeleteRestoresTheIndexExactly)
{
    for (bool stored : {false, true}) {
        SCOPED_TRACE(stored ? "storage system" : "local");
        place(stored);
        // The directory named cannot change: the others do, and the run fails.
        auto del = run(stored, {"-D", "-v", "-f", "a.tar", "d/a.txt", "d/sub", "d/ln"});
        ASSERT_EQ(del.status, 64) << del.err;
        EXPECT_TRUE(del.out.ends_with("VELK: failures: 1 cannot change; exit status 64\nVELK: VELK FAILED\n"))
            << del.out;
        EXPECT_NE(del.out.find("VELK: d  d/a.txt\n"), std::string::npos) << del.out;
        EXPECT_NE(del.out.find("VELK: d  d/ln\n"), std::string::npos) << del.out;
        EXPECT_NE(del.err.find("WARNING: Cannot Delete directory 'd/sub'\n"), std::string::npos) << del.err;
        EXPECT_NE(del.out.find("Delete complete. total index entries: 6 entries modified: 2 "), std::string::npos);
        EXPECT_NE(readFile(indexPath(stored)), index0);

        // Listed with the mark; not extracted.
        auto list = run(stored, {"-tv", "-f", "a.tar"});
        for (const std::string &line : velktest::lines(list.out)) {
            if (line.find("d/a.txt") != std::string::npos || line.find("d/b.txt") != std::string::npos) {
                EXPECT_EQ(line.find(" D ") != std::string::npos, line.find("a.txt") != std::string::npos) << line;
            }
        }
        ASSERT_EQ(rename((dir / "d").c_str(), (dir / "d.orig").c_str()), 0);
        auto x = run(stored, {"-x", "-f", "a.tar"});
        EXPECT_EQ(x.status, 0) << x.err;
        EXPECT_FALSE(velktest::exists(dir / "d/a.txt"));
        EXPECT_TRUE(readFile(dir / "d/b.txt") == readFile(dir / "d.orig/b.txt"));
        ASSERT_EQ(system(("rm -rf '" + std::string(dir / "d") + "'").c_str()), 0);
        ASSERT_EQ(rename((dir / "d.orig").c_str(), (dir / "d").c_str()), 0);

        auto undel = run(stored, {"-U", "-f", "a.tar", "d/a.txt", "d/ln"});
        ASSERT_EQ(undel.status, 0) << undel.err;
        EXPECT_NE(undel.out.find("VELK: u  d/a.txt\n"), std::string::npos);
        EXPECT_EQ(readFile(indexPath(stored)), index0);
        EXPECT_TRUE(!stored || leftovers().empty());
    }
}

} // namespace

namespace {

TEST_F(VelkDelete, RefusedRunsLeaveTheIndexAsItWas)
{
    struct Case {
        bool stored;
        std::string faults;
        std::vector<std::string> args;
        std::string error; // in the standard error
    };
    const Case cases[] = {
        {false, "", {"-D", "-f", "a.tar", "d/nothere"}, "d/nothere: Not found in archive"},
        {true, "fail_rename=1\n", {"-D", "-f", "a.tar", "d/a.txt"}, "attempting to rename new index file"},
        {false, "", {"-D", "-f", "a.tar", "d/a.txt"}, "Fatal: Archive file a.tar size = "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.error);
        place(c.stored);
        writeFile(dir / "faults", c.faults);
        const bool stale = c.error.find("size =") != std::string::npos;
        if (stale)
            writeFile(dir / "a.tar", readFile(dir / "a.tar") + std::string(512, '\0'));
        auto r = run(c.stored, c.args);
        EXPECT_NE(r.status, 0);
        EXPECT_TRUE(r.out.ends_with("VELK: VELK FAILED\n")) << r.out;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        EXPECT_EQ(readFile(indexPath(c.stored)), index0);
        EXPECT_TRUE(!c.stored || leftovers().empty());
        if (stale) {
            // The consistency check can be waived.
            auto forced = run(false, {"-D", "-H", "nocfchk", "-f", "a.tar", "d/a.txt"});
            EXPECT_EQ(forced.status, 0) << forced.err;
            EXPECT_NE(readFile(indexPath(false)), index0);
        }
    }
}

} // namespace
