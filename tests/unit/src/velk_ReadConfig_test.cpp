// Configuration files: defaults, which files are read and in which order,
// the line syntax (quotes, "=", comments, extra tokens, long lines), each
// value syntax and its messages.  Each test points QUOR_CFG_FILE_PATH and
// HOME into its own scratch directory and restores them afterwards.

#include <cerrno>
#include <map>

#include "velk_ReadConfig.h"
#include "velk_unit_fixture.h"

namespace {

using velktest::OutputCapture;

std::string str(const char *s) { return s ? s : "<null>"; }

// The record the tests read into.
velk_rc_t config{};

// The settings as text, by key.
std::map<std::string, std::string> settings()
{
    const velk_rc_t &o = config;
    return {{"AbortOnLongPathnames", std::to_string(o.AbortOnLongPathnames)},
            {"AbortOnMemberFileMissing", std::to_string(o.AbortOnMemberFileMissing)},
            {"DisplayExcludedObjects", std::to_string(o.DisplayExcludedObjects)},
            {"okfile", str(o.Okfile)},
            {"exfile", str(o.Exfile)},
            {"statefile", str(o.Statefile)},
            {"max_small_file_size", std::to_string(o.MaxSmallFileSize)},
            {"disable_gets", std::to_string(o.DisableGets)},
            {"read_disable_msg", str(o.DisableGetsMsg)},
            {"disable_puts", std::to_string(o.DisablePuts)},
            {"write_disable_msg", str(o.DisablePutsMsg)},
            {"enable_expiration", std::to_string(o.EnableFileExpiration)},
            {"expire_cfg_path", str(o.ExpireCfgFile)},
            {"max_members", std::to_string(o.MaxMembersPerArchive)},
            {"max_archive_size", std::to_string(o.MaxArchiveSize)},
            {"max_family_members", std::to_string(o.MaxFamilyMembers)}};
}

class ReadConfigTest : public ::testing::Test {
protected:
    ReadConfigTest()
    {
        for (const char *name : {"QUOR_CFG_FILE_PATH", "HOME"})
            saved_.emplace_back(name, getenv(name) ? getenv(name) : "");
        mkdir(global_.c_str(), 0755);
        mkdir(home_.c_str(), 0755);
        setenv("QUOR_CFG_FILE_PATH", global_.c_str(), 1);
        setenv("HOME", home_.c_str(), 1);
        setDefaultOptions(&config);
    }
    ~ReadConfigTest() override
    {
        for (const auto &[name, value] : saved_)
            setenv(name.c_str(), value.c_str(), 1);
        setDefaultOptions(&config);
    }
    velkunit::RunGlobals globals_;
    velktest::ScratchDir scratch_;
    std::string global_ = scratch_ / "etc", home_ = scratch_ / "home";
    std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(ReadConfigTest, WhichFilesAreReadAndInWhichOrder)
{
    std::string first = scratch_ / "first", second = scratch_ / "second", bad = scratch_ / "bad";
    for (const std::string &d : {first, second, bad})
        mkdir(d.c_str(), 0755);
    mkdir((bad + "/velkrc").c_str(), 0755);  // there, but cannot be read
    velktest::writeFile(first + "/velkrc", "exfile /first/ex\nDisplayExcludedObjects no\n");
    velktest::writeFile(second + "/velkrc", "exfile /second/ex\nokfile /second/ok\n");
    std::string isDir = "VELK: error " + std::to_string(EISDIR) + " opening rc file " + bad + "/velkrc\nWARNING: " +
                        bad + "/velkrc: Is a directory; its settings are not used\n";
    struct Case {
        std::string path, privateText;
        std::string okfile, exfile, display, err;
    } cases[] = {
        // Only the first global file on the path; a directory without one
        // is passed over; one that cannot be opened is reported.
        {scratch_ / "missing" + "::" + first + ":" + second, "", "<null>", "/first/ex", "0", ""},
        {scratch_ / "missing" + ":" + second, "", "/second/ok", "/second/ex", "1", ""},
        {bad + ":" + second, "", "/second/ok", "/second/ex", "1", isDir},
        // The private file overrides what it sets; the rest keeps the global value.
        {first, "DisplayExcludedObjects yes\n", "<null>", "/first/ex", "1", ""},
        // A global file stopped by a bad value still lets the private one run.
        {bad + "x:" + global_, "exfile /private/ex\n", "<null>", "/private/ex", "1",
         "ERROR: (readRcFile) problem converting max_archive_size [junk] (file " + global_ + "/velkrc, line 1)\n"},
    };
    velktest::writeFile(global_ + "/velkrc", "max_archive_size junk\nokfile /never\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        setDefaultOptions(&config);
        if (c.privateText.empty())
            unlink((home_ + "/.velkrc").c_str());
        else
            velktest::writeFile(home_ + "/.velkrc", c.privateText);
        setenv("QUOR_CFG_FILE_PATH", c.path.c_str(), 1);
        OutputCapture cap;
        EXPECT_EQ(velk_ReadConfig(&config), 0);
        EXPECT_EQ(str(config.Okfile), c.okfile);
        EXPECT_EQ(str(config.Exfile), c.exfile);
        EXPECT_EQ(std::to_string(config.DisplayExcludedObjects), c.display);
        EXPECT_EQ(cap.err(), c.err);
        EXPECT_EQ(cap.out(), "");
    }
    OutputCapture cap;
    EXPECT_EQ(readRcFile(&config, (bad + "/velkrc").c_str()), -EISDIR);
    EXPECT_EQ(readRcFile(&config, (scratch_ / "nope/velkrc").c_str()), -ENOENT);
    EXPECT_EQ(cap.err(), isDir);
}

TEST_F(ReadConfigTest, LineSyntaxValuesAndMessages)
{
    const std::string path = scratch_ / "one.rc", pid = std::to_string(getpid());
    auto line = [&](const std::string &what, int n) { return what + std::to_string(n) + " of " + path; };
    struct Case {
        std::string text;
        int rc;
        std::map<std::string, std::string> want;
        std::string out = {}, err = {};
    } cases[] = {
        {"DISPLAYEXCLUDEDOBJECTS off\nOkFile /tmp/x\n", 0, {{"DisplayExcludedObjects", "0"}, {"okfile", "/tmp/x"}}},
        {"okfile = /tmp/ok.%P\nexfile /tmp/ex.%x\nexpire_cfg_path /etc/exp.%P\nokfile /tmp/second\n", 0,
         {{"okfile", "/tmp/second"}, {"exfile", "/tmp/ex.%x"}, {"expire_cfg_path", "/etc/exp." + pid}}},
        // A key glued to its value by "=" has no value; reading goes on.
        {"okfile=/tmp/ok\nexfile\nstatefile =\nDisplayExcludedObjects no\n", 0,
         {{"okfile", "<null>"}, {"exfile", "<null>"}, {"statefile", "<null>"}, {"DisplayExcludedObjects", "0"}},
         "INFO: (readRcFile) missing value for <okfile=/tmp/ok> option on " + line("line ", 1) + "\n" +
             "INFO: (readRcFile) missing value for <exfile> option on " + line("line ", 2) + "\n" +
             "INFO: (readRcFile) missing value for <statefile> option on " + line("line ", 3) + "\n"},
        // Messages: quoted, or the rest of the line with inner blanks, "="
        // and newline; the last line of a file keeps no newline.
        {"read_disable_msg \"Reads are off = see the wiki\"\nwrite_disable_msg = Writes off  for now\n", 0,
         {{"read_disable_msg", "Reads are off = see the wiki"}, {"write_disable_msg", "Writes off  for now\n"}}},
        {"read_disable_msg = 'single \"quoted\"' \nwrite_disable_msg a=b", 0,
         {{"read_disable_msg", "single \"quoted\""}, {"write_disable_msg", "a=b"}}},
        {"disable_gets yes\ndisable_puts on\nenable_expiration on\n", 0,
         {{"disable_gets", "1"}, {"disable_puts", "1"}, {"enable_expiration", "1"}}},
        {"AbortOnMemberFileMissing yes\nAbortOnMemberFileMissing perhaps\n", 0, {{"AbortOnMemberFileMissing", "1"}},
         "INFO: (readRcFile) bad value [perhaps] for AbortOnMemberFileMissing (file " + path + " line 2) ignored\n"},
        // Sizes and counts; a bad one stops reading at its line.
        {"max_small_file_size 64kb\nmax_archive_size 2GB\nmax_family_members 7\n", 0,
         {{"max_small_file_size", "65536"}, {"max_archive_size", "2147483648"}, {"max_family_members", "7"}}},
        {"max_member_files 1k\n", 0, {{"max_family_members", "1024"}, {"max_members", "0"}}},
        {"okfile /tmp/before\nmax_small_file_size 1m\nmax_small_file_size 0\nDisplayExcludedObjects no\n", -1,
         {{"okfile", "/tmp/before"}, {"max_small_file_size", "1048576"}, {"DisplayExcludedObjects", "1"}}, "",
         "ERROR: (readRcFile) problem converting max_small_file_size [0] (file " + path + ", line 3)\n"},
        {"max_family_members -3\nokfile /never\n", -1, {{"okfile", "<null>"}}, "",
         "ERROR: (readRcFile) problem converting max_family_members [-3] (file " + path + ", line 1)\n"},
        {"# counts\nmax_member_files 5g\n", -1, {{"max_family_members", "0"}}, "",
         "ERROR: (readRcFile) problem converting max_member_files [5g] (file " + path + ", line 2)\n"},
        {"max_archive_size 0\n", -1, {{"max_archive_size", "0"}}, "", "max_archive_size [0]"},
        {"colour blue\nokfile /tmp/after\n", 0, {{"okfile", "/tmp/after"}},
         "INFO: (readRcFile) unrecognized option colour on " + line("line ", 1) + "\n"},
        {"okfile /tmp/a /tmp/b\nexfile /tmp/c # where exceptions go\nstatefile STDOUT ;x\n"
         "AbortOnLongPathnames no = really\n",
         0,
         {{"okfile", "/tmp/a"}, {"exfile", "/tmp/c"}, {"statefile", "STDOUT"}, {"AbortOnLongPathnames", "0"}}, "",
         "WARNING: (readRcFile) extra token(s) on line 1 of file " + path + " ignored\n" +
             "WARNING: (readRcFile) extra token(s) on line 4 of file " + path + " ignored\n"},
        {"# comment okfile /no\n; another\n\n   \n\t  okfile\t/tmp/indented  \n   # okfile /no\n", 0,
         {{"okfile", "/tmp/indented"}}},
        // 511 characters fit a line; a longer one is skipped, not the next.
        {"okfile /" + std::string(503, 'f') + "\nexfile /" + std::string(504, 'x') + "\nstatefile STDERR\n", 0,
         {{"okfile", "/" + std::string(503, 'f')}, {"exfile", "<null>"}, {"statefile", "STDERR"}}, "",
         "WARNING: (readRcFile) " + line("line ", 2) + " is longer than 511 characters - ignored\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        setDefaultOptions(&config);
        velktest::writeFile(path, c.text);
        OutputCapture cap;
        EXPECT_EQ(readRcFile(&config, path.c_str()), c.rc);
        auto got = settings();
        for (const auto &[key, value] : c.want)
            EXPECT_EQ(got.at(key), value) << key;
        EXPECT_EQ(cap.out(), c.out);
        EXPECT_TRUE(velkunit::contains(cap.err(), c.err)) << cap.err();
        if (c.err.empty()) {
            EXPECT_EQ(cap.err(), "");
        }
    }
}

} // namespace
