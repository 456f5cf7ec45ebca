// Member selection end to end (local archives, against a real kylgwd):
// wildcard operands of create, list and extract (stars, classes, brace
// lists, "." and "..", -H noglob), and every exclusion option on one tree,
// where the members velk archives are compared with what GNU tar archives
// from the same tree with the same option.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "velk_gwsession.h"

namespace {

using Names = std::vector<std::string>;
using velktest::writeFile;

class VelkSelect : public velktest::VelkGatewayTest {
protected:
    // dir/tree: sources, backups, version-control folders, ignore files, a
    // cache directory (and one whose tag is not a real one), a tagged one.
    void makeTree()
    {
        for (const char *d : {"tree", "tree/sub", "tree/sub/deep", "tree/cache", "tree/fake", "tree/tagged",
                              "tree/tagged/in", "tree/.git", "tree/.svn", "tree/CVS", "tree/ign", "tree/ign/deep"})
            ASSERT_EQ(mkdir((dir / d).c_str(), 0755), 0) << d;
        for (const char *f : {"tree/a.c", "tree/b.c", "tree/b.h", "tree/x.o", "tree/notes~", "tree/.#lock",
                              "tree/#auto#", "tree/.hidden", "tree/sub/y.c", "tree/sub/y.o", "tree/sub/deep/z.o",
                              "tree/cache/blob", "tree/fake/blob", "tree/tagged/KEEPOUT", "tree/tagged/t.c",
                              "tree/tagged/in/u.c", "tree/.git/HEAD", "tree/.svn/entries", "tree/CVS/Root",
                              "tree/ign/a.log", "tree/ign/b.txt", "tree/ign/deep/c.log", "tree/ign/deep/d.txt"})
            writeFile(dir / f, std::string(f) + "\n");
        writeFile(dir / "tree/cache/CACHEDIR.TAG", "Signature: 8a477f597d28d172789f06886806bc55\n# a cache\n");
        writeFile(dir / "tree/fake/CACHEDIR.TAG", "Signature: 0a477f597d28d172789f06886806bc55\n");
        writeFile(dir / "tree/ign/.gitignore", "# logs\n*.log\n");
        // Mercurial's switch to regular expressions; Bazaar's comments and
        // its "RE:" lines.
        writeFile(dir / "tree/ign/.hgignore", "syntax: glob\n*.g1\nsyntax: regexp\n\\.tmp$\n");
        writeFile(dir / "tree/ign/.bzrignore", "# c.bak\nRE:^.*\\.rx$\n");
        for (const char *f : {"tree/ign/x.tmp", "tree/ign/y.rx", "tree/ign/# c.bak", "tree/ign/a.g1"})
            writeFile(dir / f, "");
        writeFile(dir / "tree/sub/.skip", "*.o\n");
        // The long line matches nothing; read in pieces, its tail "*.h"
        // would exclude tree/b.h.
        writeFile(dir / "pats", "*.c\n\n" + std::string(4096, '?') + "*.h\n*~\n");
    }

    // The members of a tar archive as GNU tar lists them, without trailing
    // "/" and without velk's consistency file, sorted.
    static Names tarMembers(const std::string &archive)
    {
        auto t = velktest::run({"/usr/bin/tar", "-tf", archive});
        EXPECT_EQ(t.status, 0) << t.err;
        Names names;
        for (std::string n : velktest::lines(t.out)) {
            if (n.rfind("/tmp/VELK_CF_CHK_", 0) == 0)
                continue;
            while (n.size() > 1 && n.back() == '/')
                n.pop_back();
            names.push_back(n);
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    // Names shown by velk -t (after the two blanks), without the final line
    // and the consistency file.
    static Names listed(const std::string &out)
    {
        Names names;
        for (const std::string &l : velktest::lines(out)) {
            size_t at = l.rfind("  ");
            if (at == std::string::npos || l.find("/tmp/VELK_CF_CHK_") != std::string::npos)
                continue;
            names.push_back(l.substr(at + 2));
        }
        return names;
    }
};

TEST_F(VelkSelect, WildcardOperandsOfCreateListAndExtract)
{
    makeTree();
    writeFile(dir / "a*", "literal\n");
    writeFile(dir / "ab", "ab\n");
    std::string thirtyLists;
    for (int i = 0; i < 30; ++i)
        thirtyLists += "{q,}";
    const struct {
        Names operands;
        Names members;
        int status = 0;
    } creates[] = {
        {{"tree/*.c"}, {"tree/a.c", "tree/b.c"}},
        {{"tree/*.{c,h}"}, {"tree/a.c", "tree/b.c", "tree/b.h"}},
        {{"tree/[a-b].?"}, {"tree/a.c", "tree/b.c", "tree/b.h"}},
        {{"tree/{sub,ign}/deep/*"}, {"tree/ign/deep/c.log", "tree/ign/deep/d.txt", "tree/sub/deep/z.o"}},
        {{"tree/*/y.?"}, {"tree/sub/y.c", "tree/sub/y.o"}},
        {{"tree/s*/"}, {"tree/sub", "tree/sub/.skip", "tree/sub/deep", "tree/sub/deep/z.o", "tree/sub/y.c",
                        "tree/sub/y.o"}},
        // ".*" names the dot files, never "." or ".." (the parent tree).
        {{"tree/sub/.*"}, {"tree/sub/.skip"}},
        {{"tree/sub/deep/../.s*"}, {"tree/sub/deep/../.skip"}},
        {{"-H", "noglob", "a*"}, {"a*"}},
        {{"a*"}, {"a*", "ab"}},
        // 2^30 expansions, the only existing one last: the operand is cut
        // short at the budget, the others are archived.
        {{"tree/a.c", "tree/" + thirtyLists + "b.?", "tree/b.h"}, {"tree/a.c", "tree/b.h"}, 64},
    };
    for (const auto &c : creates) {
        SCOPED_TRACE(c.operands.back());
        Names args = {"-c", "-E", "-f", dir / "w.tar"};
        args.insert(args.end(), c.operands.begin(), c.operands.end());
        auto r = velk(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(tarMembers(dir / "w.tar"), c.members);
    }

    ASSERT_EQ(velk({"-c", "-E", "-f", "a.tar", "tree"}).status, 0);
    const struct {
        Names patterns;
        Names members; // in archive order
        int status;
    } reads[] = {
        {{"tree/*.c"}, {"tree/a.c", "tree/b.c"}, 0},
        {{"tree/[ab].{c,h}"}, {"tree/a.c", "tree/b.c", "tree/b.h"}, 0},
        {{"tree/*/deep"}, {"tree/ign/deep/", "tree/ign/deep/c.log", "tree/ign/deep/d.txt", "tree/sub/deep/",
                           "tree/sub/deep/z.o"}, 0},
        {{"tree/c?che", "tree/*.q"}, {"tree/cache/", "tree/cache/CACHEDIR.TAG", "tree/cache/blob"}, 72},
        {{"-H", "noglob", "tree/*.c"}, {}, 72},
    };
    for (const auto &c : reads) {
        SCOPED_TRACE(c.patterns.back());
        Names args = {"-t", "-E", "-f", "a.tar"};
        args.insert(args.end(), c.patterns.begin(), c.patterns.end());
        auto r = velk(args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(listed(r.out), c.members) << r.out;
    }
    // Extract writes exactly the selected members.
    ASSERT_EQ(rename((dir / "tree").c_str(), (dir / "orig").c_str()), 0);
    auto x = velk({"-x", "-E", "-f", "a.tar", "tree/{sub,ign}/*.[co]"});
    EXPECT_EQ(x.status, 0) << x.err;
    EXPECT_EQ(velktest::readFile(dir / "tree/sub/y.o"), "tree/sub/y.o\n");
    EXPECT_TRUE(velktest::exists(dir / "tree/sub/y.c"));
    EXPECT_FALSE(velktest::exists(dir / "tree/sub/deep"));
    EXPECT_FALSE(velktest::exists(dir / "tree/ign"));
    EXPECT_FALSE(velktest::exists(dir / "tree/a.c"));
}

TEST_F(VelkSelect, EachExclusionOptionKeepsWhatGnuTarKeeps)
{
    makeTree();
    const struct {
        Names options;
        // Members both leave out (a check that the option did something).
        Names gone;
        // Members velk keeps and GNU tar leaves out.
        Names onlyOurs = {};
    } rows[] = {
        {{"--exclude=*.o"}, {"tree/x.o", "tree/sub/deep/z.o"}},
        {{"--exclude-from=pats"}, {"tree/a.c", "tree/notes~", "tree/tagged/in/u.c"}},
        {{"--exclude-backups"}, {"tree/notes~", "tree/.#lock", "tree/#auto#"}},
        {{"--exclude-caches"}, {"tree/cache/blob"}},
        {{"--exclude-caches-under"}, {"tree/cache/blob", "tree/cache/CACHEDIR.TAG"}},
        {{"--exclude-caches-all"}, {"tree/cache", "tree/cache/blob"}},
        {{"--exclude-tag=KEEPOUT"}, {"tree/tagged/t.c", "tree/tagged/in"}},
        {{"--exclude-tag-under=KEEPOUT"}, {"tree/tagged/KEEPOUT", "tree/tagged/in/u.c"}},
        {{"--exclude-tag-all=KEEPOUT"}, {"tree/tagged", "tree/tagged/KEEPOUT"}},
        {{"--exclude-vcs"}, {"tree/.git", "tree/.svn/entries", "tree/CVS", "tree/ign/.gitignore"}},
        // .gitignore rules reach below their directory, in both.
        {{"--exclude-vcs-ignores"}, {"tree/ign/a.log", "tree/ign/deep/c.log", "tree/ign/x.tmp", "tree/ign/y.rx",
                                     "tree/ign/a.g1"}},
        // A rule of a non-recursive ignore file is for its own directory's
        // entries only; GNU tar also applies it below (with "*" crossing "/").
        {{"--exclude-ignore=.skip"}, {"tree/sub/y.o"}, {"tree/sub/deep/z.o"}},
        {{"--exclude-ignore-recursive=.skip"}, {"tree/sub/y.o", "tree/sub/deep/z.o"}},
        {{"--exclude-tag=KEEPOUT", "--exclude-caches-all", "--exclude=*.h"}, {"tree/b.h", "tree/cache"}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.options.front());
        Names args = {"-c", "-E", "-f", dir / "e.tar"};
        args.insert(args.end(), row.options.begin(), row.options.end());
        args.push_back("tree");
        auto r = velk(args);
        EXPECT_EQ(r.status, 0) << r.err;
        Names tarArgs = {"/usr/bin/tar", "-C", dir.path(), "-cf", dir / "g.tar"};
        tarArgs.insert(tarArgs.end(), row.options.begin(), row.options.end());
        tarArgs.push_back("tree");
        auto g = velktest::run(tarArgs, {.cwd = dir.path()});
        EXPECT_EQ(g.status, 0) << g.err;
        Names ours = tarMembers(dir / "e.tar");
        Names theirs = tarMembers(dir / "g.tar");
        theirs.insert(theirs.end(), row.onlyOurs.begin(), row.onlyOurs.end());
        std::sort(theirs.begin(), theirs.end());
        EXPECT_EQ(ours, theirs);
        for (const auto &n : row.gone)
            EXPECT_EQ(std::count(ours.begin(), ours.end(), n), 0) << n;
        EXPECT_EQ(std::count(ours.begin(), ours.end(), "tree/ign/b.txt"), 1); // never excluded
    }
    // The rules never exclude during list or extract.
    auto t = velk({"-t", "-E", "-f", "e.tar", "--exclude=*", "tree/b.c"});
    EXPECT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(listed(t.out), Names{"tree/b.c"});
}

} // namespace
