// Habits users bring from GNU tar, end to end: local archives without a
// gateway session (--no-gateway, VELK_NO_GATEWAY=1) on a machine where no
// kylgwd runs; -C for create and extract, the long options (also after
// the operands) and exclusion patterns that name a path below an operand,
// where the members and extracted trees are compared with GNU tar's and
// bsdtar's.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "velk_gwsession.h"

namespace {

using Names = std::vector<std::string>;
using velktest::writeFile;

const char kSuccess[] = "VELK: VELK SUCCESSFUL\n";
// The tar programs velk's habits are held against.
const char *const kTars[] = {"/usr/bin/tar", "/usr/bin/bsdtar"};

// tree/: files at two depths, and a second directory named "src" below
// another, so that a pattern naming a path is told from one naming a name.
void makeTree(const velktest::ScratchDir &dir)
{
    for (const char *d : {"tree", "tree/src", "tree/src/deep", "tree/doc", "tree/doc/src", "out"})
        ASSERT_EQ(mkdir((dir / d).c_str(), 0755), 0) << d;
    for (const char *f : {"tree/a.c", "tree/src/b.c", "tree/src/deep/c.c", "tree/doc/d.txt", "tree/doc/src/e.c"})
        writeFile(dir / f, std::string(f) + "\n");
}

// The members of a tar archive as GNU tar lists them, without trailing
// "/" and without velk's consistency member, sorted.
Names tarMembers(const std::string &archive)
{
    auto t = velktest::run({"/usr/bin/tar", "-tf", archive});
    EXPECT_EQ(t.status, 0) << t.err;
    Names names;
    for (std::string n : velktest::lines(t.out)) {
        if (n.find("VELK_CF_CHK_") != std::string::npos)
            continue;
        while (n.size() > 1 && n.back() == '/')
            n.pop_back();
        names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Names shown by velk -t (after the two blanks), without a trailing "/",
// the final lines and the consistency member, sorted.
Names listed(const std::string &out)
{
    Names names;
    for (const std::string &l : velktest::lines(out)) {
        size_t at = l.rfind("  ");
        if (at == std::string::npos || l.find("VELK_CF_CHK_") != std::string::npos)
            continue;
        std::string n = l.substr(at + 2);
        while (n.size() > 1 && n.back() == '/')
            n.pop_back();
        names.push_back(n);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// No gateway listens on the port these runs are pointed at: a run that
// opened a session would end with status 71.
velktest::RunOptions withoutGateway(const velktest::ScratchDir &dir, std::map<std::string, std::string> env = {})
{
    velktest::RunOptions o;
    o.env = std::move(env);
    o.env["HOME"] = dir.path();
    o.env["TMPDIR"] = dir.path();
    o.env["QUOR_CFG_FILE_PATH"] = dir.path();
    o.env["QUOR_SERVER_HOST"] = "127.0.0.1/9";
    o.cwd = dir.path();
    o.timeoutSeconds = 20;
    return o;
}

TEST(VelkNoGateway, LocalArchivesCreateListAndExtractWithoutAGateway)
{
    velktest::ScratchDir dir;
    makeTree(dir);
    auto c = velktest::runVelk({"-c", "-E", "--no-gateway", "-f", "a.tar", "tree"}, withoutGateway(dir));
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.out, kSuccess);
    EXPECT_EQ(c.err, "");
    auto t = velktest::runVelk({"-t", "-E", "-f", "a.tar"}, withoutGateway(dir, {{"VELK_NO_GATEWAY", "1"}}));
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_TRUE(t.out.ends_with(kSuccess)) << t.out;
    EXPECT_EQ(listed(t.out), tarMembers(dir / "a.tar"));
    EXPECT_EQ(listed(t.out).size(), 10u);
    auto x = velktest::runVelk({"-x", "-E", "--no-gateway", "-f", "../a.tar"},
                               [&] {
                                   auto o = withoutGateway(dir);
                                   o.cwd = dir / "out";
                                   return o;
                               }());
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(velktest::treeOf(dir / "out/tree"), velktest::treeOf(dir / "tree"));

    // Refused where the archive needs the gateway, naming what asked; a
    // local archive that found no gateway says how to go without one.
    const struct {
        Names args;
        std::map<std::string, std::string> env;
        int status;
        std::string errEnd;
    } rows[] = {
        {{"-t", "--no-gateway", "-f", "a.tar"}, {}, 64,
         "ERROR: --no-gateway works only with a local archive (-E): archive a.tar is reached through the gateway\n"},
        {{"-c", "-f", "b.tar", "tree"}, {{"VELK_NO_GATEWAY", "1"}}, 64,
         "ERROR: VELK_NO_GATEWAY=1 works only with a local archive (-E): archive b.tar is reached through the "
         "gateway\n"},
        {{"-t", "-E", "-f", "a.tar"}, {{"VELK_NO_GATEWAY", "0"}}, 71,
         "ERROR (main) unable to open remote gateway server connection\nINFO: a local archive (-E) needs no gateway: "
         "add --no-gateway (or set VELK_NO_GATEWAY=1) to run without one\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args[1]);
        auto r = velktest::runVelk(row.args, withoutGateway(dir, row.env));
        EXPECT_EQ(r.status, row.status);
        EXPECT_TRUE(r.err.ends_with(row.errEnd)) << r.err;
        EXPECT_EQ(r.out, velktest::failedEnding(row.status));
    }
    EXPECT_FALSE(velktest::exists(dir / "b.tar"));
}

// The rest runs against a real kylgwd: the default session stays as it was.
class VelkHabits : public velktest::VelkGatewayTest {
protected:
    void SetUp() override
    {
        VelkGatewayTest::SetUp();
        makeTree(dir);
    }

    // velk with args, then GNU tar and bsdtar with tarArgs (their -f
    // archive added first) in the scratch directory; the member sets must
    // be equal.
    void sameMembers(const Names &args, const Names &tarArgs)
    {
        Names ours = {"-c", "-E", "-f", dir / "v.tar"};
        ours.insert(ours.end(), args.begin(), args.end());
        auto r = velk(ours);
        EXPECT_EQ(r.status, 0) << r.err;
        for (const char *tar : kTars) {
            SCOPED_TRACE(tar);
            Names theirs = {tar, "-cf", dir / "g.tar"};
            theirs.insert(theirs.end(), tarArgs.begin(), tarArgs.end());
            auto g = velktest::run(theirs, {.cwd = dir.path()});
            EXPECT_EQ(g.status, 0) << g.err;
            EXPECT_EQ(tarMembers(dir / "v.tar"), tarMembers(dir / "g.tar"));
        }
    }
};

TEST_F(VelkHabits, ChangeDirectoryForCreateAndExtractAsGnuTar)
{
    const struct {
        Names velkArgs, tarArgs;
    } rows[] = {
        {{"-C", "tree", "."}, {"-C", "tree", "."}},
        {{"--directory=tree", "a.c", "src"}, {"--directory=tree", "a.c", "src"}},
        {{"--directory", "tree/doc", "src"}, {"-C", "tree/doc", "src"}},
        // Each is relative to the one before.
        {{"--directory=tree", "-C", "doc", "d.txt", "src"}, {"-C", "tree", "-C", "doc", "d.txt", "src"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.velkArgs[1]);
        sameMembers(row.velkArgs, row.tarArgs);
    }
    // The archive and its index stay where -f named them, relative to the
    // starting directory.
    EXPECT_TRUE(velktest::exists(dir / "v.tar.idx"));
    auto c = velk({"-c", "-E", "-f", "rel.tar", "-C", "tree", "."});
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_TRUE(velktest::exists(dir / "rel.tar") && velktest::exists(dir / "rel.tar.idx"));
    auto x = velk({"-x", "-E", "-f", "rel.tar", "-C", "out"});
    EXPECT_EQ(x.status, 0) << x.err;
    for (const char *tar : kTars) {
        SCOPED_TRACE(tar);
        const std::string into = dir / ("by-" + std::string(strrchr(tar, '/') + 1));
        ASSERT_EQ(mkdir(into.c_str(), 0755), 0);
        ASSERT_EQ(velktest::run({tar, "-cf", dir / "g.tar", "-C", dir / "tree", "."}).status, 0);
        auto g = velktest::run({tar, "-xf", dir / "g.tar", "-C", into});
        EXPECT_EQ(g.status, 0) << g.err;
        EXPECT_EQ(velktest::treeOf(dir / "out"), velktest::treeOf(into));
    }
    EXPECT_NE(velktest::treeOf(dir / "out").find("src/deep/c.c"), std::string::npos);
}

TEST_F(VelkHabits, LongOptionsAlsoAfterTheOperands)
{
    const struct {
        Names args;
        std::string outHas; // a line the run prints
    } rows[] = {
        {{"--create", "-E", "--file", "l.tar", "--verbose", "tree"}, "VELK: a  tree/src/deep/c.c\n"},
        {{"--list", "-E", "--file=l.tar", "--verbose"}, "  tree/doc/src/e.c\n"},
        {{"--extract", "-E", "--file", "l.tar", "--directory", "out", "--verbose"}, "VELK: x tree/a.c, 9 bytes"},
        // Long options after an operand apply as if given before it.
        {{"-c", "-E", "tree", "--file", "p.tar", "--exclude", "*.c", "--verbose"}, "VELK: a  tree/doc/d.txt\n"},
        {{"-c", "-E", "-f", "w.tar", "tree", "--verify"}, kSuccess},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args[0]);
        auto r = velk(row.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(row.outHas), std::string::npos) << r.out;
        EXPECT_TRUE(r.out.ends_with(kSuccess)) << r.out;
    }
    // With a gateway running, --no-gateway still opens no session: its run
    // leaves nothing in the gateway's log, where a run with a session
    // leaves its command line.
    auto n = velk({"-t", "-E", "--no-gateway", "-f", "l.tar", "tree/no-session"});
    auto s = velk({"-t", "-E", "-f", "l.tar", "tree/with-session"});
    EXPECT_EQ(gw.stop(), 0);
    EXPECT_TRUE(n.status == 72 && s.status == 72) << n.err << s.err; // the names match no member
    EXPECT_NE(n.err.find("tree/no-session: Not found in archive"), std::string::npos) << n.err;
    EXPECT_NE(gw.logText().find("tree/with-session"), std::string::npos) << gw.logText();
    EXPECT_EQ(gw.logText().find("tree/no-session"), std::string::npos) << gw.logText();
    EXPECT_EQ(velktest::treeOf(dir / "out/tree"), velktest::treeOf(dir / "tree"));
    EXPECT_EQ(tarMembers(dir / "p.tar"), (Names{"tree", "tree/doc", "tree/doc/d.txt", "tree/doc/src", "tree/src",
                                                "tree/src/deep"}));
}

TEST_F(VelkHabits, ExclusionPatternsNamingAPathAsGnuTar)
{
    const struct {
        std::string pattern;
        Names operands;
        std::string gone; // a member both leave out
    } rows[] = {
        {"tree/src", {"tree"}, "tree/src/b.c"},
        {"tree/src", {"./tree"}, "./tree/src"},
        {"src/deep", {"tree"}, "tree/src/deep/c.c"},
        {"doc/src/e.c", {"tree"}, "tree/doc/src/e.c"},
        {"tree/*/b.c", {"tree"}, "tree/src/b.c"},
        {"tree/src", {"tree/src/b.c", "tree/a.c"}, "tree/src/b.c"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.pattern + " " + row.operands[0]);
        Names args = {"--exclude=" + row.pattern};
        args.insert(args.end(), row.operands.begin(), row.operands.end());
        sameMembers(args, args);
        Names ours = tarMembers(dir / "v.tar");
        EXPECT_EQ(std::count(ours.begin(), ours.end(), row.gone), 0);
        EXPECT_GE(ours.size(), 1u);
    }
}

} // namespace
