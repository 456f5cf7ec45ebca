// Member records and member addressing end to end (local archives, against
// a real kylgwd): the success and exceptions lists of extract and create and
// a run resumed from the exceptions list with -L, -J ordinals shown by list
// and accepted by list, verify, soft delete and undelete, and an archive
// read from standard input (-f - with -I) by list and extract.

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "velk_gwsession.h"

namespace {

using velktest::exists;
using velktest::readFile;
using velktest::writeFile;

// A member name with a newline inside and a blank at the end: its record
// must bring it back through -L unchanged.
const std::string kOdd = "d/odd\nlink ";

class VelkMembers : public velktest::VelkGatewayTest {
protected:
    // a.tar from d (directory), d/a, d/b and the symbolic link kOdd -> a:
    // ordinals 0 to 3, the consistency file 4.  The sources are moved to
    // orig so that extraction starts from nothing.
    void SetUp() override
    {
        velktest::VelkGatewayTest::SetUp();
        ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
        writeFile(dir / "d/a", "alpha\n");
        writeFile(dir / "d/b", velktest::bytesOf(3000, 5));
        ASSERT_EQ(symlink("a", (dir / kOdd).c_str()), 0);
        auto r = velk({"-c", "-E", "-f", "a.tar", "d"});
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(rename((dir / "d").c_str(), (dir / "orig").c_str()), 0);
    }
};

TEST_F(VelkMembers, ExtractRecordsEveryMemberAndResumesFromTheExceptions)
{
    // A directory where the link must go makes that one member fail.
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / kOdd).c_str(), 0755), 0);
    auto r = velk({"-x", "-E", "-f", "a.tar", "-H", "okfile=ok:exfile=ex", "d", "nosuch"});
    EXPECT_EQ(r.status, 72) << r.err;
    EXPECT_EQ(readFile(dir / "ok"), "d\nd/a\nd/b\n");
    EXPECT_EQ(readFile(dir / "ex"), "nosuch\tnot found in archive\nd/odd\\\nlink\\ \tsymlink not created\n");

    // The exceptions list as the input list: the name comes back whole, the
    // reasons are remarks; "nosuch" is still not there.
    ASSERT_EQ(rmdir((dir / kOdd).c_str()), 0);
    r = velk({"-x", "-E", "-f", "a.tar", "-H", "okfile=ok2:exfile=ex2", "-L", "ex"});
    EXPECT_EQ(r.status, 72) << r.err;
    EXPECT_EQ(readFile(dir / "ok2"), "d/odd\\\nlink\\ \n");
    EXPECT_EQ(readFile(dir / "ex2"), "nosuch\tnot found in archive\n");
    char target[16] = {};
    EXPECT_EQ(readlink((dir / kOdd).c_str(), target, sizeof target - 1), 1);
    EXPECT_STREQ(target, "a");

    // A run stopped by a member that cannot be made lists the members it
    // never reached.
    ASSERT_EQ(unlink((dir / "d/a").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "d/a").c_str(), 0755), 0);
    writeFile(dir / "d/a/keep", "");
    r = velk({"-x", "-E", "-f", "a.tar", "-H", "okfile=ok3:exfile=ex3"});
    EXPECT_EQ(r.status, 72) << r.err;
    EXPECT_EQ(readFile(dir / "ok3"), "d\n");
    EXPECT_EQ(readFile(dir / "ex3"), "d/a\tcould not be created\nd/b\tnot extracted\nd/odd\\\nlink\\ \tnot extracted\n");
}

TEST_F(VelkMembers, CreateRecordsOmittedMembersAndArchivesNotMade)
{
    const std::string longName = "c/" + std::string(120, 'n');
    ASSERT_EQ(mkdir((dir / "c").c_str(), 0755), 0);
    writeFile(dir / "c/ok", "fine\n");
    writeFile(dir / longName, "too long a name\n");
    struct Row {
        const char *archive;
        std::string ok, ex;
    } rows[] = {
        {"c.tar", "c\nc/ok\n", longName + "\tomitted from the archive\n"},
        {"nodir/c.tar", "",
         "c\tarchive not created\n" + longName + "\tarchive not created\nc/ok\tarchive not created\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.archive);
        unlink((dir / "ok").c_str());
        unlink((dir / "ex").c_str());
        auto r = velk({"-c", "-E", "-f", row.archive, "-H", "okfile=ok:exfile=ex", "c"});
        EXPECT_NE(r.status, 0) << r.out;
        EXPECT_EQ(readFile(dir / "ok"), row.ok);
        EXPECT_EQ(readFile(dir / "ex"), row.ex);
    }
}

TEST_F(VelkMembers, OrdinalsAreShownByListAndSelectForEveryAction)
{
    using Prefixes = std::vector<std::string>;
    struct Row {
        std::vector<std::string> args;
        int status;
        Prefixes lines; // the member lines, by their beginnings
    } rows[] = {
        {{"-t", "-J"}, 0, {"VELK: #0 d", "VELK: #1 -", "VELK: #2 -", "VELK: #3 l", "VELK: #4 -"}},
        {{"-t", "-J", "3", "1"}, 0, {"VELK: #1 -", "VELK: #3 l"}},
        {{"-t", "-J", "-B", "2"}, 0, {"VELK: #2 [3] -"}},
        {{"-D", "-J", "2"}, 0, {"VELK: d  d/b"}},
        {{"-t", "-J", "2"}, 0, {"VELK: #2 -rw-r--r-- D"}},
        {{"-U", "-J", "2"}, 0, {"VELK: u  d/b"}},
        {{"-K", "-J", "1", "2"}, 0, {}},
        {{"-t", "-J", "5"}, 64, {}},
        {{"-K", "-J", "x"}, 64, {}},
    };
    for (const Row &row : rows) {
        std::vector<std::string> args = {row.args[0], "-E", "-f", "a.tar"};
        args.insert(args.end(), row.args.begin() + 1, row.args.end());
        SCOPED_TRACE(row.args[0] + " " + row.args.back());
        auto r = velk(args);
        EXPECT_EQ(r.status, row.status) << r.err;
        Prefixes got;
        for (const std::string &l : velktest::lines(r.out))
            if (l.rfind("VELK: #", 0) == 0 || l.rfind("VELK: d  ", 0) == 0 || l.rfind("VELK: u  ", 0) == 0)
                got.push_back(l);
        ASSERT_EQ(got.size(), row.lines.size()) << r.out;
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i].rfind(row.lines[i], 0), 0u) << got[i];
    }
    auto r = velk({"-t", "-E", "-f", "a.tar", "-J", "5"});
    EXPECT_NE(r.err.find("Specified index entry: 5 is > number of index entries in the archive (5)"), std::string::npos)
        << r.err;
}

TEST_F(VelkMembers, PipedArchiveIsListedAndExtractedInOnePass)
{
    const std::string archive = readFile(dir / "a.tar");
    auto plain = velk({"-t", "-E", "-f", "a.tar"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    auto listed = velk({"-t", "-f", "-", "-I", "a.tar.idx"}, {}, archive);
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out, plain.out);

    auto r = velk({"-x", "-f", "-", "-I", "a.tar.idx", "d/b"}, {}, archive);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(readFile(dir / "d/b") == readFile(dir / "orig/b"));
    EXPECT_FALSE(exists(dir / "d/a"));

    // A pipe shorter or longer than its index says does not match it.
    for (const std::string &input : {archive.substr(0, archive.size() - 512), archive + std::string(512, '\0')}) {
        for (const char *action : {"-t", "-x"}) {
            SCOPED_TRACE(std::string(action) + " " + std::to_string(input.size()));
            r = velk({action, "-f", "-", "-I", "a.tar.idx", "d/a"}, {}, input);
            EXPECT_EQ(r.status, 72) << r.err;
            EXPECT_NE(r.err.find("Archive file"), std::string::npos) << r.err;
        }
    }
    r = velk({"-x", "-f", "-", "-I", "a.tar.idx", "-L", "-"}, {}, archive);
    EXPECT_EQ(r.status, 64) << r.err;
}

} // namespace
