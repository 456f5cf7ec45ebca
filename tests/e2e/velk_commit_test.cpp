// Putting a new archive and index, or a changed index, under their names
// when the gateway connection is lost with a rename's reply (kylgwd's
// drop_conn fault: the rename is done, or refused by fail_rename, and the
// reply never sent).  velk looks at both names in a new session and either
// finishes with a matching pair under the archive's names or fails with the
// old pair intact; -t and -x then read what stands.  Also how -I values
// name the index.

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "velk_gwsession.h"

namespace {

using velktest::readFile;
using velktest::writeFile;

const char kLost[] = "WARNING: Connection to the gateway lost renaming ";

class VelkLostReply : public velktest::VelkGatewayTest {
protected:
    struct Case {
        const char *what;
        std::vector<std::string> args; // after the action's -f a.tar
        const char *faults;
        int status;
        const char *member; // the one member -t lists afterwards
        bool marked;        // listed as soft-deleted
    };

    // Makes the old pair a.tar/a.tar.idx in demo's home holding d/old.txt.
    void makeOld()
    {
        writeFile(dir / "faults", "");
        std::filesystem::remove_all(dir / "d");
        std::filesystem::create_directories(dir / "d");
        writeFile(dir / "d/old.txt", "old member\n");
        auto r = velk({"-c", "-f", "a.tar", "d/old.txt"});
        ASSERT_EQ(r.status, 0) << r.err;
        writeFile(dir / "d/new.txt", velktest::bytesOf(70000, 5));
    }

    // Names in demo's home other than the archive and its index.
    std::vector<std::string> leftovers() const
    {
        return homeNames([](const std::string &n) { return n != "a.tar" && n != "a.tar.idx"; });
    }

    void runCases(const std::vector<Case> &cases)
    {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.what);
            makeOld();
            const std::string want = readFile(dir / c.member);
            if (c.args[0] == "-U") {
                ASSERT_EQ(velk({"-D", "-f", "a.tar", c.member}).status, 0);
            }
            writeFile(dir / "faults", c.faults);
            std::vector<std::string> args = c.args;
            args.insert(args.begin() + 1, {"-f", "a.tar"});
            auto r = velk(args);
            writeFile(dir / "faults", "");
            EXPECT_EQ(r.status, c.status) << r.err;
            EXPECT_NE(r.err.find(kLost), std::string::npos) << r.err;
            EXPECT_TRUE(r.out.ends_with(c.status == 0 ? "VELK: VELK SUCCESSFUL\n" : "VELK: VELK FAILED\n")) << r.out;
            EXPECT_EQ(leftovers(), std::vector<std::string>{});

            // The pair under the archive's names matches: its one member is
            // listed and extracted with its bytes.
            auto t = velk({"-tv", "-f", "a.tar"});
            EXPECT_EQ(t.status, 0) << t.err;
            auto names = velktest::lines(t.out);
            ASSERT_EQ(names.size(), 4u) << t.out; // and the consistency member, two closing lines
            EXPECT_TRUE(names[0].ends_with(c.member)) << t.out;
            EXPECT_EQ(names[0].find(" D ") != std::string::npos, c.marked) << t.out;
            std::filesystem::remove_all(dir / "d");
            auto x = velk({"-x", "-f", "a.tar"});
            EXPECT_EQ(x.status, 0) << x.err;
            EXPECT_EQ(velktest::exists(dir / c.member), !c.marked);
            if (!c.marked) {
                EXPECT_EQ(readFile(dir / c.member), want);
            }
        }
    }

    // Create, soft delete and undelete with the reply of one rename lost.
    std::vector<Case> cases() const
    {
        const std::vector<std::string> create = {"-c", "d/new.txt"};
        return {
            {"create: archive renamed", create, "drop_conn=quor_Rename,1\n", 0, "d/new.txt", false},
            {"create: index renamed", create, "drop_conn=quor_Rename,2\n", 0, "d/new.txt", false},
            // Not renamed: asked again in the new session, which refuses
            // its first rename too (the old pair stays) or not (done).
            {"create: archive not renamed", create, "fail_rename=1\ndrop_conn=quor_Rename,1\n", 72, "d/old.txt",
             false},
            {"create: index not renamed", create, "fail_rename=2\ndrop_conn=quor_Rename,2\n", 0, "d/new.txt", false},
            {"-D: renamed", {"-D", "d/old.txt"}, "drop_conn=quor_Rename,1\n", 0, "d/old.txt", true},
            {"-U: renamed", {"-U", "d/old.txt"}, "drop_conn=quor_Rename,1\n", 0, "d/old.txt", false},
            {"-D: not renamed", {"-D", "d/old.txt"}, "fail_rename=1\ndrop_conn=quor_Rename,1\n", 72, "d/old.txt",
             false},
        };
    }
};

TEST_F(VelkLostReply, StorageSystemEndsWithAMatchingPair)
{
    runCases(cases());
}

class VelkLostReplyGatewayHost : public VelkLostReply {
protected:
    void SetUp() override { ASSERT_TRUE(startGateway("Site = {\n  server_runmode = 2\n}\n")); }
};

TEST_F(VelkLostReplyGatewayHost, GatewayHostEndsWithAMatchingPair)
{
    runCases(cases());
}

// An index refused its name after the archive took its own is kept and
// named with an -I value that reads the new archive.
TEST_F(VelkLostReply, IndexRefusedAfterTheArchiveIsKeptAndNamed)
{
    makeOld();
    writeFile(dir / "faults", "fail_rename=2\n");
    auto r = velk({"-c", "-f", "a.tar", "d/new.txt"});
    writeFile(dir / "faults", "");
    EXPECT_EQ(r.status, 72);
    const std::string said = "ERROR: Index file of archive a.tar was kept as .a.tar.idx.velk-";
    size_t at = r.err.find(said);
    ASSERT_NE(at, std::string::npos) << r.err;
    at = r.err.find("(read the archive with -I ", at);
    ASSERT_NE(at, std::string::npos) << r.err;
    at += 26;
    std::string option = r.err.substr(at, r.err.find(')', at) - at);
    EXPECT_TRUE(option.starts_with("./.a.tar.idx.velk-")) << option;
    auto t = velk({"-t", "-f", "a.tar", "-I", option});
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_NE(t.out.find(" d/new.txt\n"), std::string::npos) << t.out;
}

// -I: a value with a "/" is a path as it stands (relative to the current
// directory), another one starting with "." a suffix, any other a name in
// the archive's directory.
TEST_F(VelkLostReply, IndexOptionNamesTheIndex)
{
    struct Row {
        const char *cwd;
        const char *option;
        const char *index; // where it lands, below dir
    };
    const Row rows[] = {
        {"w", "./rel.idx", "w/rel.idx"},
        {"w", "../x.idx", "x.idx"},
        {"w", ".i", "w/sub/a.tar.i"},
        {"w", "b.idx", "w/sub/b.idx"},
    };
    std::filesystem::create_directories(dir / "w/sub");
    writeFile(dir / "w/m.txt", "member\n");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.option);
        auto o = velkOptions();
        o.cwd = dir / row.cwd;
        auto c = velktest::runVelk({"-c", "-E", "-f", "sub/a.tar", "-I", row.option, "m.txt"}, o);
        EXPECT_EQ(c.status, 0) << c.err;
        EXPECT_TRUE(velktest::exists(dir / row.index));
        auto t = velktest::runVelk({"-t", "-E", "-f", "sub/a.tar", "-I", row.option}, o);
        EXPECT_EQ(t.status, 0) << t.err;
        EXPECT_TRUE(t.out.starts_with("VELK: -rw-r--r--") && t.out.find(" m.txt\n") != std::string::npos) << t.out;
    }
}

} // namespace
