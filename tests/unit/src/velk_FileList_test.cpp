// Member table: operands, input lists and directory walks over real trees
// in a scratch directory; the table limits, the -n window, norecurse, -h
// with a link to an ancestor, unreadable directories and the table order.

#include "velk_FileList.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "velk_Globals.h"
#include "velk_IndexFormat.h"
#include "velk_ListFile.h"
#include "velk_ParseCmdLine.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

using velktest::OutputCapture;
using velktest::ScratchDir;

void mkdirOrFail(const std::string &p)
{
    ASSERT_EQ(mkdir(p.c_str(), 0755), 0) << p << ": " << strerror(errno);
}

void fileOfSize(const std::string &p, off_t size)
{
    int fd = open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << p;
    ASSERT_EQ(ftruncate(fd, size), 0) << p << ": " << strerror(errno);
    close(fd);
}

void setMtime(const std::string &p, time_t when)
{
    struct timespec ts[2];
    ts[0].tv_sec = when;
    ts[0].tv_nsec = 0;
    ts[1] = ts[0];
    ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << p;
}

struct Entry {
    std::string name;
    uint32_t type;
    uint64_t size;
};

std::vector<Entry> table()
{
    std::vector<Entry> v;
    for (int64_t i = 0; i < velk_FileListEntries; i++)
        v.push_back({velk_FileList[i].filename, velk_FileList[i].objectType, velk_FileList[i].size});
    return v;
}

std::vector<std::string> names()
{
    std::vector<std::string> v;
    for (const Entry &e : table())
        v.push_back(e.name);
    return v;
}

class FileListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedFlags_ = velk_option_flags;
        savedFunction_ = velk_function;
        savedMax_ = velk_max_files;
        savedWindow_ = velk_time_opt;
        savedArgc_ = velk_argc;
        savedArgv_ = velk_argv;
        savedOptind_ = velk_optind;
        savedList_ = velk_input_list_name;
        char buf[4096];
        ASSERT_NE(getcwd(buf, sizeof buf), nullptr);
        cwd_ = buf;
        velk_function = VOP_CREATE;
        velk_option_flags = 0;
        velk_input_list_name = nullptr;
        velk_exit_code.store(0);
        velk_FileListRelease();
    }
    void TearDown() override
    {
        velk_FileListRelease();
        velk_SetFileListHooks(nullptr);
        velk_option_flags = savedFlags_;
        velk_function = savedFunction_;
        velk_max_files = savedMax_;
        velk_time_opt = savedWindow_;
        velk_argc = savedArgc_;
        velk_argv = savedArgv_;
        velk_optind = savedOptind_;
        velk_input_list_name = savedList_;
        velk_exit_code.store(0);
        EXPECT_EQ(chdir(cwd_.c_str()), 0);
    }

    // Runs generation over the operands, capturing its messages.
    int gen(const std::vector<std::string> &operands)
    {
        args_ = operands;
        argv_.clear();
        for (std::string &a : args_)
            argv_.push_back(&a[0]);
        argv_.push_back(nullptr);
        velk_argc = static_cast<int>(args_.size());
        velk_argv = argv_.data();
        velk_optind = 0;
        OutputCapture cap;
        int r = velk_GenFilelist();
        out_ = cap.out();
        err_ = cap.err();
        return r;
    }

    std::string out_, err_;
    ScratchDir dir_;

private:
    uint32_t savedFlags_ = 0;
    int savedFunction_ = 0;
    long savedMax_ = 0;
    long savedWindow_ = 0;
    int savedArgc_ = 0;
    char **savedArgv_ = nullptr;
    int savedOptind_ = 0;
    char *savedList_ = nullptr;
    std::string cwd_;
    std::vector<std::string> args_;
    std::vector<char *> argv_;
};

TEST_F(FileListTest, WalkedEntriesFollowTheOperandInByteOrderOfFullPaths)
{
    std::string d = dir_ / "dir";
    mkdirOrFail(d);
    mkdirOrFail(d + "/a");
    velktest::writeFile(d + "/b", "b");
    velktest::writeFile(d + "/a/x", "x");
    velktest::writeFile(d + "/a-b", "ab");
    ASSERT_EQ(gen({d + "//"}), 0) << out_ << err_;
    std::vector<std::string> want = {d, d + "/a", d + "/a-b", d + "/a/x", d + "/b"};
    EXPECT_EQ(names(), want);
    auto t = table();
    EXPECT_EQ(t[0].type, static_cast<uint32_t>(VTO_DIRECTORY));
    EXPECT_EQ(t[2].type, static_cast<uint32_t>(VTO_FILE));
    EXPECT_EQ(t[2].size, 2u);
    EXPECT_EQ(velk_exit_code.load(), 0);
    EXPECT_EQ(velk_DirsScanned(), 2);
}

TEST_F(FileListTest, RecordsRelativeNamesAtHeaderBoundariesAndSmallSizesAfterChangingDirectory)
{
    std::string top = dir_ / "t";
    mkdirOrFail(top);
    // Recorded names are "t/<leaf>"; leaves fill them to 99, 100, 154 and
    // 155 characters.
    std::vector<std::string> leaves;
    for (size_t len : {99u, 100u, 154u, 155u})
        leaves.push_back(std::string(len - 2, static_cast<char>('a' + leaves.size())));
    for (const std::string &l : leaves)
        fileOfSize(top + "/" + l, 7);
    const off_t sizes[] = {0, 1, 512, 513};
    for (off_t s : sizes)
        fileOfSize(top + "/size" + std::to_string(s), s);
    ASSERT_EQ(chmod((top + "/size1").c_str(), 04751), 0);
    ASSERT_EQ(chmod((top + "/size0").c_str(), 0600), 0);

    ASSERT_EQ(gen({"-C", dir_.path(), "t/"}), 0) << out_ << err_;
    std::vector<std::string> want = {"t"};
    for (const std::string &l : leaves)
        want.push_back("t/" + l);
    for (const char *s : {"size0", "size1", "size512", "size513"})
        want.push_back(std::string("t/") + s);
    ASSERT_EQ(names(), want);
    EXPECT_EQ(strlen(velk_FileList[1].filename), 99u);
    EXPECT_EQ(strlen(velk_FileList[2].filename), 100u);
    EXPECT_EQ(strlen(velk_FileList[3].filename), 154u);
    EXPECT_EQ(strlen(velk_FileList[4].filename), 155u);
    for (int i = 0; i < 4; i++) {
        const velk_FileSpec_t &e = velk_FileList[5 + i];
        EXPECT_EQ(e.size, static_cast<uint64_t>(sizes[i])) << e.filename;
        EXPECT_EQ(e.haveStatInfo, 1u);
        EXPECT_EQ(e.objectType, static_cast<uint32_t>(VTO_FILE));
        EXPECT_EQ(e.nlink, 1u);
        EXPECT_EQ(e.uid, static_cast<uint64_t>(getuid()));
    }
    EXPECT_EQ(velk_FileList[6].mode, 04751u);  // set-ID bits kept, type bits dropped
    EXPECT_EQ(velk_FileList[5].mode, 0600u);
}

TEST_F(FileListTest, FilesOfTwoToThe36BytesAreOversizeAndFailGenerationAtTheEnd)
{
    std::string d = dir_ / "big";
    mkdirOrFail(d);
    int fd = open((d + "/max").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    if (ftruncate(fd, static_cast<off_t>(VELK_MAX_FILE_SIZE - 1)) != 0) {
        close(fd);
        GTEST_SKIP() << "file system refuses sparse files of 2^36 bytes";
    }
    close(fd);
    fileOfSize(d + "/over", static_cast<off_t>(VELK_MAX_FILE_SIZE));
    fileOfSize(dir_ / "over2", static_cast<off_t>(VELK_MAX_FILE_SIZE));

    EXPECT_EQ(gen({d, dir_ / "over2"}), -1);
    std::vector<std::string> want = {d, d + "/max"};
    EXPECT_EQ(names(), want);
    EXPECT_EQ(velk_FileList[1].size, VELK_MAX_FILE_SIZE - 1);
    EXPECT_NE(out_.find("File too large for velk to handle: " + d + "/over (68719476736 bytes)"), std::string::npos)
        << out_;
    EXPECT_NE(out_.find("File too large for velk to handle: " + dir_ / "over2"), std::string::npos) << out_;
    EXPECT_NE(err_.find("2 oversize member files found - please correct and retry"), std::string::npos) << err_;
    EXPECT_EQ(velk_OversizeCount(), 2);
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
}

TEST_F(FileListTest, InputListLinesAreTrimmedAndBlankLinesSkipped)
{
    velk_function = VOP_LIST;
    std::string list = dir_ / "list";
    velktest::writeFile(list, "  one \t\r\n\n   \n\x01two\x7f\nthree four  \nlast");
    velk_input_list_name = &list[0];
    ASSERT_EQ(gen({"op", "-L", list, "-Lmissing-list"}), -1);
    std::vector<std::string> want = {"one", "two", "three four", "last", "op", "one", "two", "three four", "last"};
    EXPECT_EQ(names(), want);
    EXPECT_EQ(velk_FileList[0].objectType, static_cast<uint32_t>(VTO_UNKNOWN));
    EXPECT_EQ(velk_FileList[0].haveStatInfo, 0u);
    EXPECT_NE(err_.find("Cannot open file specified by -L option: missing-list"), std::string::npos) << err_;
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
}

TEST_F(FileListTest, InputListFromStandardInput)
{
    velk_function = VOP_EXTRACT;
    std::string list = dir_ / "stdin-list";
    velktest::writeFile(list, "\n  a/b  \n*.c\n");
    int saved = dup(STDIN_FILENO);
    ASSERT_GE(saved, 0);
    int fd = open(list.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, STDIN_FILENO), STDIN_FILENO);
    close(fd);
    clearerr(stdin);
    int r = gen({"-L", "-"});
    dup2(saved, STDIN_FILENO);
    close(saved);
    clearerr(stdin);
    ASSERT_EQ(r, 0) << err_;
    std::vector<std::string> want = {"a/b", "*.c"};
    EXPECT_EQ(names(), want);
    EXPECT_EQ(velk_FileList[0].hasWildcards, 0u);
    EXPECT_EQ(velk_FileList[1].hasWildcards, 1u);
}

TEST_F(FileListTest, InputListLineLengthLimit)
{
    velk_function = VOP_LIST;
    std::string list = dir_ / "long";
    velktest::writeFile(list, std::string(4096, 'k') + "\n" + std::string(4097, 'l') + "\nafter\n");
    ASSERT_EQ(gen({"-L" + list}), -1);
    ASSERT_EQ(velk_FileListEntries, 1);
    EXPECT_EQ(strlen(velk_FileList[0].filename), 4096u);
    EXPECT_NE(err_.find("Line 2 of input list " + list + " is longer than 4096 characters"), std::string::npos)
        << err_;
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_USAGE);
}

TEST_F(FileListTest, ListReaderTrimsBothEndsAndCountsLines)
{
    char buf[] = "\t \x02 mid dle \x7f\r\n";
    EXPECT_EQ(velk_TrimListLine(buf), 7u);
    EXPECT_STREQ(buf, "mid dle");  // the inner blank stays
    char blank[] = " \t\r\n";
    EXPECT_EQ(velk_TrimListLine(blank), 0u);
    EXPECT_STREQ(blank, "");
}

TEST_F(FileListTest, TimeWindowSkipsOldFilesAndOldDirectoriesButWalksThem)
{
    std::string d = dir_ / "w";
    mkdirOrFail(d);
    mkdirOrFail(d + "/olddir");
    velktest::writeFile(d + "/olddir/new", "n");
    velktest::writeFile(d + "/olddir/old", "o");
    velktest::writeFile(d + "/new", "n");
    velktest::writeFile(d + "/old", "o");
    ASSERT_EQ(symlink("new", (d + "/oldlink").c_str()), 0);
    time_t weekAgo = time(nullptr) - 7 * 86400;
    for (const char *p : {"/olddir/old", "/old", "/oldlink", "/olddir"})
        setMtime(d + p, weekAgo);
    velk_option_flags |= VELK_OPT_TIME_WINDOW;
    velk_time_opt = 86400;
    ASSERT_EQ(gen({d}), 0) << out_ << err_;
    std::vector<std::string> want = {d, d + "/new", d + "/olddir/new"};
    EXPECT_EQ(names(), want);
}

TEST_F(FileListTest, TableLimitStopsGenerationWithOverrideAdvice)
{
    std::string d = dir_ / "m";
    mkdirOrFail(d);
    for (const char *f : {"f1", "f2", "f3", "f4"})
        velktest::writeFile(d + "/" + f, f);
    velk_max_files = 3;
    EXPECT_EQ(gen({d + "/f1", d + "/f2", d + "/f3", d + "/f4"}), -1);
    EXPECT_EQ(velk_FileListEntries, 3);
    EXPECT_NE(err_.find("Maximum number of file entries reached (3)"), std::string::npos) << err_;
    EXPECT_NE(err_.find("Override up to 5000000 using the -M option"), std::string::npos) << err_;
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_NOMEM);
}

TEST_F(FileListTest, LargeTablesGrowInSteps)
{
    velk_function = VOP_LIST;
    velk_max_files = velk_abs_max_files;
    std::vector<std::string> ops;
    for (int i = 0; i < 250; i++)
        ops.push_back("n" + std::to_string(1000 + i));
    ASSERT_EQ(gen(ops), 0);
    ASSERT_EQ(velk_FileListEntries, 250);
    for (int i = 0; i < 250; i++)
        ASSERT_EQ(std::string(velk_FileList[i].filename), ops[static_cast<size_t>(i)]);
}

TEST_F(FileListTest, NoRecurseAddsTheDirectoryAlone)
{
    std::string d = dir_ / "nr";
    mkdirOrFail(d);
    velktest::writeFile(d + "/inner", "i");
    velk_option_flags |= VELK_OPT_NORECURSE;
    ASSERT_EQ(gen({d}), 0);
    std::vector<std::string> want = {d};
    EXPECT_EQ(names(), want);
    EXPECT_EQ(velk_DirsScanned(), 0);
}

TEST_F(FileListTest, FollowedLinkToAnAncestorIsSkippedNotWalked)
{
    std::string d = dir_ / "loop";
    mkdirOrFail(d);
    mkdirOrFail(d + "/sub");
    velktest::writeFile(d + "/sub/file", "f");
    ASSERT_EQ(symlink("..", (d + "/sub/up").c_str()), 0);

    ASSERT_EQ(gen({d}), 0) << out_;
    std::vector<std::string> plain = {d, d + "/sub", d + "/sub/file", d + "/sub/up"};
    EXPECT_EQ(names(), plain);
    EXPECT_EQ(velk_FileList[3].objectType, static_cast<uint32_t>(VTO_SYMLINK));
    velk_FileListRelease();

    velk_option_flags |= VELK_OPT_FOLLOW_LINKS;
    ASSERT_EQ(gen({d}), 0) << out_ << err_;
    std::vector<std::string> followed = {d, d + "/sub", d + "/sub/file"};
    EXPECT_EQ(names(), followed);
    EXPECT_NE(out_.find("Link to a directory being scanned - skipped " + d + "/sub/up"), std::string::npos) << out_;
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_IOERR);
}

TEST_F(FileListTest, UnsearchableDirectoryIsReportedAndSkipped)
{
    std::string d = dir_ / "perm";
    mkdirOrFail(d);
    mkdirOrFail(d + "/closed");
    velktest::writeFile(d + "/closed/hidden", "h");
    velktest::writeFile(d + "/open", "o");
    ASSERT_EQ(chmod((d + "/closed").c_str(), 0), 0);
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    // Root passes every permission check: run the walk as nobody.
    velktest::ForkedChild child([&]() -> int {
        if (geteuid() == 0) {
            struct passwd *pw = getpwnam("nobody");
            if (pw == nullptr || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0)
                return 3;
        }
        int r = gen({d});
        if (r != 0)
            return 4;
        std::vector<std::string> want = {d, d + "/closed", d + "/open"};
        if (names() != want)
            return 5;
        if (out_.find("Not searchable: " + d + "/closed") == std::string::npos)
            return 6;
        return velk_exit_code.load() == VELK_EXIT_IOERR ? 0 : 7;
    });
    EXPECT_TRUE(velktest::exitsWith(child, 0));
    chmod((d + "/closed").c_str(), 0755);
}

TEST_F(FileListTest, FifosAreLeftOutSilently)
{
    std::string d = dir_ / "fifo";
    mkdirOrFail(d);
    ASSERT_EQ(mkfifo((d + "/p").c_str(), 0644), 0);
    velktest::writeFile(d + "/f", "f");
    ASSERT_EQ(gen({d}), 0);
    std::vector<std::string> want = {d, d + "/f"};
    EXPECT_EQ(names(), want);
    EXPECT_EQ(out_.find("/p"), std::string::npos) << out_;
    EXPECT_EQ(velk_exit_code.load(), 0);
}

TEST_F(FileListTest, WildcardOperandsNeedAnExpanderWhenFilesAreRead)
{
    velktest::writeFile(dir_ / "lit*", "l");
    EXPECT_EQ(gen({dir_ / "*"}), -1);
    EXPECT_NE(err_.find("wildcard expansion is not available for pathname: " + dir_ / "*"), std::string::npos)
        << err_;
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_USAGE);
    velk_exit_code.store(0);

    // An escaped "*" names the file itself.
    ASSERT_EQ(gen({dir_ / "lit\\*"}), 0) << err_;
    ASSERT_EQ(velk_FileListEntries, 1);
    EXPECT_EQ(std::string(velk_FileList[0].filename), dir_ / "lit*");

    velk_FileListRelease();
    velk_option_flags |= VELK_OPT_NOGLOB;
    ASSERT_EQ(gen({dir_ / "lit*"}), 0) << err_;
    EXPECT_EQ(velk_FileListEntries, 1);

    velk_FileListRelease();
    velk_function = VOP_LIST;
    ASSERT_EQ(gen({"*.c", "plain"}), 0);
    EXPECT_EQ(velk_FileList[0].hasWildcards, 1u);
    EXPECT_EQ(velk_FileList[1].hasWildcards, 0u);
}

int excludeSkipNames(const char *name, int, char *reason, size_t size)
{
    size_t len = strlen(name);
    if (len >= 4 && strcmp(name + len - 4, "skip") == 0) {
        snprintf(reason, size, "ends in skip");
        return 1;
    }
    return 0;
}

TEST_F(FileListTest, ExclusionHookLeavesOutWhatItRejects)
{
    std::string d = dir_ / "ex";
    mkdirOrFail(d);
    velktest::writeFile(d + "/keep", "k");
    velktest::writeFile(d + "/skip", "s");
    velk_FileListHooks_t h = {};
    h.excludeCheckName = excludeSkipNames;
    velk_SetFileListHooks(&h);
    ASSERT_EQ(gen({d}), 0);
    std::vector<std::string> want = {d, d + "/keep"};
    EXPECT_EQ(names(), want);
}

TEST(CopyPathname, NormalisesSlashesAndEscapes)
{
    struct {
        const char *in, *want;
    } cases[] = {
        {"a//b///", "a/b"}, {"a\\b", "ab"}, {"/", "/"}, {"///", "/"}, {"a\\//b", "a//b"}, {"\\*x", "*x"}, {"", ""},
    };
    for (const auto &c : cases) {
        char out[32];
        copyPathname(c.in, out);
        EXPECT_STREQ(out, c.want) << c.in;
    }
}

} // namespace
