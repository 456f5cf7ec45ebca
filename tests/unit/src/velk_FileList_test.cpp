// Member table: operands, input lists and walks over real trees; the table
// limits, the -n window, norecurse, -h with a link to an ancestor, wildcards
// and the table order.

#include <fcntl.h>

#include "velk_ListFile.h"
#include "velk_ParseCmdLine.h"
#include "velk_unit_fixture.h"

namespace {

using velkunit::contains;
using Names = std::vector<std::string>;

Names names(const velk_run_t &run)
{
    Names v;
    for (int64_t i = 0; i < run.members.count; i++)
        v.push_back(run.members.table[i].filename);
    return v;
}

class FileListTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = velk_function;
        velk_function = VOP_CREATE;
        velk_RunInit(&run_);
    }
    void TearDown() override
    {
        velk_FileListRelease(&run_);
        velk_function = saved_;
    }

    // Runs generation over the operands from a fresh table, capturing its
    // messages.
    int gen(const Names &operands)
    {
        velk_FileListRelease(&run_);
        velk_exit_code.store(0);
        args_ = operands;
        argv_.clear();
        for (std::string &a : args_)
            argv_.push_back(&a[0]);
        argv_.push_back(nullptr);
        run_.argc = static_cast<int>(args_.size());
        run_.argv = argv_.data();
        run_.optind = 0;
        velktest::OutputCapture cap;
        int r = velk_GenFilelist(&run_);
        out_ = cap.out();
        err_ = cap.err();
        return r;
    }
    void mkdirs(std::initializer_list<const char *> dirs)
    {
        for (const char *d : dirs)
            ASSERT_EQ(mkdir((dir_ / d).c_str(), 0755), 0) << d;
    }
    void files(std::initializer_list<const char *> paths)
    {
        for (const char *p : paths)
            velktest::writeFile(dir_ / p, p);
    }

    std::string out_, err_;
    velktest::ScratchDir dir_;
    velkunit::RunGlobals globals_;
    velk_run_t run_; // the command line of gen(); the list name points into the test

private:
    int saved_;
    Names args_;
    std::vector<char *> argv_;
};

TEST_F(FileListTest, WalksInByteOrderOfFullPathsWithTheirOptions)
{
    mkdirs({"d", "d/a", "d/olddir", "d/sub"});
    files({"d/a/x", "d/a-b", "d/b", "d/old", "d/olddir/new", "d/sub/file"});
    std::string d = dir_ / "d";
    ASSERT_EQ(symlink("a-b", (d + "/oldlink").c_str()), 0);
    ASSERT_EQ(symlink("..", (d + "/sub/up").c_str()), 0);
    ASSERT_EQ(mkfifo((d + "/p").c_str(), 0644), 0);  // left out with a warning
    struct timespec weekAgo[2] = {{time(nullptr) - 7 * 86400, 0}, {time(nullptr) - 7 * 86400, 0}};
    for (const char *p : {"/old", "/oldlink", "/olddir"})
        ASSERT_EQ(utimensat(AT_FDCWD, (d + p).c_str(), weekAgo, AT_SYMLINK_NOFOLLOW), 0) << p;
    Names all;
    for (const char *p : {"", "/a", "/a-b", "/a/x", "/b", "/old", "/olddir", "/olddir/new", "/oldlink", "/sub",
                          "/sub/file", "/sub/up"})
        all.push_back(d + p);
    auto without = [&](std::initializer_list<const char *> gone) {
        Names v;
        for (const std::string &n : all)
            if (std::none_of(gone.begin(), gone.end(), [&](const char *g) { return n == d + g; }))
                v.push_back(n);
        return v;
    };
    struct Case {
        uint32_t flags;
        long maxFiles;
        int rc, exit;
        Names want;
        std::string out;
    } cases[] = {
        {0, 100, 0, 0, all, ""},
        {VELK_OPT_NORECURSE, 100, 0, 0, {d}, ""},
        // -h skips a link to a directory being scanned, and fails at the end.
        {VELK_OPT_FOLLOW_LINKS, 100, 0, VELK_EXIT_IOERR, without({"/sub/up"}),
         "Link to a directory being scanned - skipped " + d + "/sub/up"},
        // -n leaves out old files and directories but walks the latter.
        {VELK_OPT_TIME_WINDOW, 100, 0, 0, without({"/old", "/olddir", "/oldlink"}), ""},
        {0, 3, -1, VELK_EXIT_FILELIST, {}, "Maximum number of file entries reached (3)"},  // the table limit
    };
    for (const Case &c : cases) {
        velk_option_flags = c.flags;
        run_.timeWindow = 86400;
        run_.maxFiles = c.maxFiles;
        EXPECT_EQ(gen({d + "//"}), c.rc) << c.flags << out_ << err_;
        if (c.want.empty()) {
            EXPECT_EQ(run_.members.count, 3);
        } else {
            EXPECT_EQ(names(run_), c.want) << c.flags;
        }
        EXPECT_EQ(velk_exit_code.load(), c.exit) << c.flags;
        EXPECT_TRUE(contains(out_ + err_, c.out)) << out_;
    }
    velk_option_flags = 0;
    run_.maxFiles = 100;
    gen({d});
    EXPECT_EQ(run_.members.table[1].objectType, static_cast<uint32_t>(VTO_DIRECTORY));
    EXPECT_EQ(run_.members.table[2].objectType, static_cast<uint32_t>(VTO_FILE));
    EXPECT_EQ(run_.members.table[2].size, 5u);  // "d/a-b"
    EXPECT_EQ(run_.members.table[11].objectType, static_cast<uint32_t>(VTO_SYMLINK));
}

TEST_F(FileListTest, InputLists)
{
    velk_function = VOP_LIST;
    std::string list = dir_ / "list";
    velktest::writeFile(list, "  one \t\r\n\n   \n\x01two\x7f\nthree four  \nlast");
    run_.inputListName = &list[0];
    ASSERT_EQ(gen({"op", "-L", list, "-Lmissing-list"}), -1);
    EXPECT_EQ(names(run_), (Names{"one", "two", "three four", "last", "op", "one", "two", "three four", "last"}));
    EXPECT_EQ(run_.members.table[0].objectType, static_cast<uint32_t>(VTO_UNKNOWN));
    EXPECT_EQ(run_.members.table[0].haveStatInfo, 0u);
    EXPECT_TRUE(contains(err_, "Cannot open file specified by -L option: missing-list")) << err_;
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_FILELIST);
    run_.inputListName = nullptr;

    // 4,096 characters fit a line; one more ends the list as a usage error.
    velktest::writeFile(list, std::string(4096, 'k') + "\n" + std::string(4097, 'l') + "\nafter\n");
    ASSERT_EQ(gen({"-L" + list}), -1);
    ASSERT_EQ(run_.members.count, 1);
    EXPECT_EQ(strlen(run_.members.table[0].filename), 4096u);
    EXPECT_TRUE(contains(err_, "Line 2 of input list " + list + " is longer than 4096 characters")) << err_;
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_USAGE);

    // "-" reads standard input; wildcards are marked for extract and list.
    velk_function = VOP_EXTRACT;
    velktest::writeFile(list, "\n  a/b  \n*.c\n");
    int saved = dup(STDIN_FILENO), fd = open(list.c_str(), O_RDONLY);
    ASSERT_EQ(dup2(fd, STDIN_FILENO), STDIN_FILENO);
    close(fd);
    clearerr(stdin);
    int r = gen({"-L", "-"});
    dup2(saved, STDIN_FILENO);
    close(saved);
    clearerr(stdin);
    ASSERT_EQ(r, 0) << err_;
    EXPECT_EQ(names(run_), (Names{"a/b", "*.c"}));
    EXPECT_EQ(run_.members.table[0].hasWildcards, 0u);
    EXPECT_EQ(run_.members.table[1].hasWildcards, 1u);
}

TEST_F(FileListTest, WildcardsAndEscapes)
{
    files({"lit*"});
    // Without an installed expander an operand names itself.
    ASSERT_EQ(gen({dir_ / "lit\\*"}), 0) << err_;
    EXPECT_EQ(names(run_), (Names{dir_ / "lit*"}));
    velk_option_flags = VELK_OPT_NOGLOB;
    ASSERT_EQ(gen({dir_ / "lit*"}), 0) << err_;
    EXPECT_EQ(run_.members.count, 1);
    velk_option_flags = 0;
    velk_function = VOP_LIST;
    ASSERT_EQ(gen({"*.c", "plain"}), 0);
    EXPECT_EQ(run_.members.table[0].hasWildcards, 1u);
    EXPECT_EQ(run_.members.table[1].hasWildcards, 0u);
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
