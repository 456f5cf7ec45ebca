// Configuration files: defaults, which files are read and in which order,
// the line syntax (quotes, "=", comments, extra tokens, long lines), each
// value syntax and every message, with standard output and error captured.
// Each test points QUOR_CFG_FILE_PATH and HOME into its own scratch
// directory and restores them afterwards.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "velk_Globals.h"
#include "velk_ReadConfig.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

using velktest::OutputCapture;

// Sets an environment variable for the life of the object.
class EnvSetting {
public:
    EnvSetting(const char *name, const std::optional<std::string> &value) : name_(name)
    {
        if (const char *old = getenv(name))
            old_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~EnvSetting()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char *name_;
    std::optional<std::string> old_;
};

const char *const DEFAULT_READ_MSG = "Read operations disabled until further notice - see site wiki for more info\n";
const char *const DEFAULT_WRITE_MSG =
    "Write operations disabled until further notice - see site wiki for more info\n";

std::string str(const char *s) { return s ? s : "<null>"; }

class ReadConfigTest : public ::testing::Test {
protected:
    ReadConfigTest()
        : global_(scratch_ / "etc"), home_(scratch_ / "home"), pathEnv_("QUOR_CFG_FILE_PATH", global_),
          homeEnv_("HOME", home_)
    {
        mkdir(global_.c_str(), 0755);
        mkdir(home_.c_str(), 0755);
    }
    void SetUp() override
    {
        savedDebug_ = velk_debug_level;
        velk_debug_level = 0;
        setDefaultOptions();
    }
    void TearDown() override
    {
        velk_debug_level = savedDebug_;
        setDefaultOptions();
    }

    std::string globalFile(const std::string &text)
    {
        velktest::writeFile(global_ + "/velkrc", text);
        return global_ + "/velkrc";
    }
    std::string privateFile(const std::string &text)
    {
        velktest::writeFile(home_ + "/.velkrc", text);
        return home_ + "/.velkrc";
    }
    // Writes text to a file of its own and reads it with readRcFile.
    int readText(const std::string &text, OutputCapture *cap = nullptr)
    {
        path_ = scratch_ / "one.rc";
        velktest::writeFile(path_, text);
        if (cap != nullptr)
            return readRcFile(path_.c_str());
        OutputCapture quiet;
        return readRcFile(path_.c_str());
    }

    velktest::ScratchDir scratch_;
    std::string global_, home_, path_;
    EnvSetting pathEnv_, homeEnv_;
    int savedDebug_ = 0;
};

TEST_F(ReadConfigTest, DefaultsWhenNoFileExists)
{
    OutputCapture cap;
    EXPECT_EQ(velk_ReadConfig(), 0);
    const velk_rc_t &o = velk_config_opts;
    EXPECT_EQ(o.AbortOnOversizeArchive, 0);
    EXPECT_EQ(o.AbortOnOversizeFile, 1);
    EXPECT_EQ(o.AbortOnLongPathnames, 1);
    EXPECT_EQ(o.AbortOnMemberFileMissing, 0);
    EXPECT_EQ(o.AbortOnMemberFileReadError, 1);
    EXPECT_EQ(o.AbortOnMemberFileWriteError, 1);
    EXPECT_EQ(o.DisplayExcludedObjects, 1);
    EXPECT_EQ(o.Okfile, nullptr);
    EXPECT_EQ(o.Exfile, nullptr);
    EXPECT_EQ(o.Statefile, nullptr);
    EXPECT_EQ(o.MaxSmallFileSize, 4194304u);
    EXPECT_EQ(o.DisableGets, 0);
    EXPECT_EQ(str(o.DisableGetsMsg), DEFAULT_READ_MSG);
    EXPECT_EQ(o.DisablePuts, 0);
    EXPECT_EQ(str(o.DisablePutsMsg), DEFAULT_WRITE_MSG);
    EXPECT_EQ(o.EnableFileExpiration, 0);
    EXPECT_EQ(o.ExpireCfgFile, nullptr);
    EXPECT_EQ(o.MaxMembersPerArchive, 0u);
    EXPECT_EQ(o.MaxArchiveSize, 0u);
    EXPECT_EQ(o.MaxFamilyMembers, 0u);
    // Missing files are skipped silently.
    EXPECT_EQ(cap.out(), "");
    EXPECT_EQ(cap.err(), "");
}

TEST_F(ReadConfigTest, KeyTableOrderAndCaseInsensitiveKeys)
{
    ASSERT_STREQ(rc_option_list[0].optionName, "AbortOnOversizeFile");
    for (int i = 0; i < 19; i++)
        EXPECT_EQ(rc_option_list[i].optionValue, static_cast<VELK_RC_OPTS>(i)) << rc_option_list[i].optionName;
    EXPECT_EQ(readText("DISPLAYEXCLUDEDOBJECTS off\nOkFile /tmp/x\n"), 0);
    EXPECT_EQ(velk_config_opts.DisplayExcludedObjects, 0);
    EXPECT_EQ(str(velk_config_opts.Okfile), "/tmp/x");
}

TEST_F(ReadConfigTest, PrivateFileOverridesGlobal)
{
    globalFile("DisplayExcludedObjects no\nexfile /global/ex\n");
    privateFile("DisplayExcludedObjects yes\n");
    OutputCapture cap;
    EXPECT_EQ(velk_ReadConfig(), 0);
    EXPECT_EQ(velk_config_opts.DisplayExcludedObjects, 1);
    // What the private file does not set keeps the global value.
    EXPECT_EQ(str(velk_config_opts.Exfile), "/global/ex");
}

TEST_F(ReadConfigTest, GlobalFileAloneIsRead)
{
    globalFile("DisplayExcludedObjects no\n");
    OutputCapture cap;
    velk_ReadConfig();
    EXPECT_EQ(velk_config_opts.DisplayExcludedObjects, 0);
}

TEST_F(ReadConfigTest, OnlyTheFirstGlobalFileOnTheSearchPathIsRead)
{
    std::string first = scratch_ / "first", second = scratch_ / "second", missing = scratch_ / "missing";
    mkdir(first.c_str(), 0755);
    mkdir(second.c_str(), 0755);
    velktest::writeFile(first + "/velkrc", "exfile /first/ex\n");
    velktest::writeFile(second + "/velkrc", "exfile /second/ex\nokfile /second/ok\n");
    {
        EnvSetting path("QUOR_CFG_FILE_PATH", missing + "::" + first + ":" + second);
        OutputCapture cap;
        velk_ReadConfig();
        EXPECT_EQ(str(velk_config_opts.Exfile), "/first/ex");
        EXPECT_EQ(velk_config_opts.Okfile, nullptr) << "second directory must not be read";
        EXPECT_EQ(cap.err(), "");
    }
    {
        // A directory without the file is passed over.
        EnvSetting path("QUOR_CFG_FILE_PATH", missing + ":" + second);
        OutputCapture cap;
        velk_ReadConfig();
        EXPECT_EQ(str(velk_config_opts.Exfile), "/second/ex");
    }
}

TEST_F(ReadConfigTest, UnopenableFileIsReportedAndTheSearchGoesOn)
{
    std::string bad = scratch_ / "bad", good = scratch_ / "good";
    mkdir(bad.c_str(), 0755);
    mkdir(good.c_str(), 0755);
    // A directory where the file should be exists but cannot be read.
    mkdir((bad + "/velkrc").c_str(), 0755);
    velktest::writeFile(good + "/velkrc", "okfile /good/ok\n");
    EnvSetting path("QUOR_CFG_FILE_PATH", bad + ":" + good);
    OutputCapture cap;
    EXPECT_EQ(readRcFile((bad + "/velkrc").c_str()), -EISDIR);
    velk_ReadConfig();
    EXPECT_EQ(str(velk_config_opts.Okfile), "/good/ok");
    std::string msg = "VELK: error " + std::to_string(EISDIR) + " opening rc file " + bad + "/velkrc\n";
    EXPECT_EQ(cap.err(), msg + msg);
    EXPECT_EQ(cap.out(), "");
}

TEST_F(ReadConfigTest, MissingFileGivesEnoentSilently)
{
    OutputCapture cap;
    EXPECT_EQ(readRcFile((scratch_ / "nope/velkrc").c_str()), -ENOENT);
    EXPECT_EQ(readRcFile((scratch_ / "nope.rc").c_str()), -ENOENT);
    EXPECT_EQ(cap.out() + cap.err(), "");
}

TEST_F(ReadConfigTest, PathTemplatesAreExpanded)
{
    std::string pid = std::to_string(getpid());
    EXPECT_EQ(readText("okfile = /tmp/ok.%P\nexfile /tmp/ex.%x\nexpire_cfg_path /etc/exp.%P\n"), 0);
    EXPECT_EQ(str(velk_config_opts.Okfile), "/tmp/ok." + pid);
    EXPECT_EQ(str(velk_config_opts.Exfile), "/tmp/ex.%x");
    EXPECT_EQ(str(velk_config_opts.ExpireCfgFile), "/etc/exp." + pid);
    // A later line replaces the earlier value.
    EXPECT_EQ(readText("okfile /tmp/second\n"), 0);
    EXPECT_EQ(str(velk_config_opts.Okfile), "/tmp/second");
}

TEST_F(ReadConfigTest, StatefileKeepsItsSpecialWords)
{
    EXPECT_EQ(readText("statefile STDERR\n"), 0);
    EXPECT_EQ(str(velk_config_opts.Statefile), "STDERR");
    EXPECT_EQ(readText("statefile NULL\n"), 0);
    EXPECT_EQ(str(velk_config_opts.Statefile), "NULL");
}

TEST_F(ReadConfigTest, KeyAndValueGluedByEqualsIsAMissingValue)
{
    OutputCapture cap;
    EXPECT_EQ(readText("okfile=/tmp/ok\nexfile\nstatefile =\nDisplayExcludedObjects no\n", &cap), 0);
    EXPECT_EQ(velk_config_opts.Okfile, nullptr);
    EXPECT_EQ(velk_config_opts.Exfile, nullptr);
    EXPECT_EQ(velk_config_opts.Statefile, nullptr);
    // Reading goes on after each.
    EXPECT_EQ(velk_config_opts.DisplayExcludedObjects, 0);
    EXPECT_EQ(cap.out(), "INFO: (readRcFile) missing value for <okfile=/tmp/ok> option on line 1 of " + path_ +
                             "\n"
                             "INFO: (readRcFile) missing value for <exfile> option on line 2 of " +
                             path_ +
                             "\n"
                             "INFO: (readRcFile) missing value for <statefile> option on line 3 of " +
                             path_ + "\n");
    EXPECT_EQ(cap.err(), "");
}

TEST_F(ReadConfigTest, DisableMessages)
{
    EXPECT_EQ(readText("read_disable_msg \"Reads are off = see the wiki\"\n"
                       "write_disable_msg = Writes off  for now\n"),
              0);
    EXPECT_EQ(str(velk_config_opts.DisableGetsMsg), "Reads are off = see the wiki");
    // Unquoted: the rest of the line, inner blanks, "=" and newline kept.
    EXPECT_EQ(str(velk_config_opts.DisablePutsMsg), "Writes off  for now\n");

    EXPECT_EQ(readText("read_disable_msg='glued'\n"), 0);
    EXPECT_EQ(str(velk_config_opts.DisableGetsMsg), "Reads are off = see the wiki")
        << "a key glued to its value has no value";
    EXPECT_EQ(readText("read_disable_msg = 'single \"quoted\"' \nwrite_disable_msg a=b"), 0);
    EXPECT_EQ(str(velk_config_opts.DisableGetsMsg), "single \"quoted\"");
    // The last line of a file without a newline keeps none.
    EXPECT_EQ(str(velk_config_opts.DisablePutsMsg), "a=b");
    EXPECT_EQ(readText("disable_gets yes\ndisable_puts on\n"), 0);
    EXPECT_EQ(velk_config_opts.DisableGets, 1);
    EXPECT_EQ(velk_config_opts.DisablePuts, 1);
}

TEST_F(ReadConfigTest, ZeroSmallFileSizeStopsReadingAtThatLine)
{
    OutputCapture cap;
    EXPECT_EQ(readText("okfile /tmp/before\nmax_small_file_size 1m\nmax_small_file_size 0\n"
                       "DisplayExcludedObjects no\n",
                       &cap),
              -1);
    EXPECT_EQ(str(velk_config_opts.Okfile), "/tmp/before");
    EXPECT_EQ(velk_config_opts.MaxSmallFileSize, 1048576u);
    EXPECT_EQ(velk_config_opts.DisplayExcludedObjects, 1) << "lines after the bad one must not be read";
    EXPECT_EQ(cap.err(), "ERROR: (readRcFile) problem converting max_small_file_size [0] (file " + path_ +
                             ", line 3)\n");
    EXPECT_EQ(cap.out(), "");
}

TEST_F(ReadConfigTest, StoppedGlobalFileStillLetsThePrivateOneRun)
{
    globalFile("max_archive_size junk\nokfile /never\n");
    privateFile("exfile /private/ex\n");
    OutputCapture cap;
    EXPECT_EQ(velk_ReadConfig(), 0);
    EXPECT_EQ(velk_config_opts.Okfile, nullptr);
    EXPECT_EQ(str(velk_config_opts.Exfile), "/private/ex");
    EXPECT_EQ(cap.err(), "ERROR: (readRcFile) problem converting max_archive_size [junk] (file " + global_ +
                             "/velkrc, line 1)\n");
}

TEST_F(ReadConfigTest, SizesAndCounts)
{
    EXPECT_EQ(readText("max_small_file_size 64kb\nmax_archive_size 2GB\nmax_family_members 7\n"), 0);
    EXPECT_EQ(velk_config_opts.MaxSmallFileSize, 65536u);
    EXPECT_EQ(velk_config_opts.MaxArchiveSize, 2147483648u);
    EXPECT_EQ(velk_config_opts.MaxFamilyMembers, 7u);
    // max_member_files is another name for the family limit.
    EXPECT_EQ(readText("max_member_files 1k\n"), 0);
    EXPECT_EQ(velk_config_opts.MaxFamilyMembers, 1024u);
    EXPECT_EQ(velk_config_opts.MaxMembersPerArchive, 0u);
    // A count of 0 is allowed.
    EXPECT_EQ(readText("max_family_members 0\n"), 0);
    EXPECT_EQ(velk_config_opts.MaxFamilyMembers, 0u);

    for (const char *bad : {"max_small_file_size -1m", "max_archive_size 5q", "max_archive_size 0"}) {
        setDefaultOptions();
        EXPECT_EQ(readText(std::string(bad) + "\n"), -1) << bad;
    }
    EXPECT_EQ(velk_config_opts.MaxArchiveSize, 0u);
}

TEST_F(ReadConfigTest, NegativeOrHugeCountStopsReading)
{
    {
        OutputCapture cap;
        EXPECT_EQ(readText("max_family_members -3\nokfile /never\n", &cap), -1);
        EXPECT_EQ(cap.err(), "ERROR: (readRcFile) problem converting max_family_members [-3] (file " + path_ +
                                 ", line 1)\n");
    }
    EXPECT_EQ(velk_config_opts.Okfile, nullptr);
    {
        OutputCapture cap;
        EXPECT_EQ(readText("# counts\nmax_member_files 5g\n", &cap), -1);
        EXPECT_EQ(cap.err(), "ERROR: (readRcFile) problem converting max_member_files [5g] (file " + path_ +
                                 ", line 2)\n");
    }
    EXPECT_EQ(velk_config_opts.MaxFamilyMembers, 0u);
}

TEST_F(ReadConfigTest, UnknownKeyIsReportedAndSkipped)
{
    OutputCapture cap;
    EXPECT_EQ(readText("colour blue\nokfile /tmp/after\n", &cap), 0);
    EXPECT_EQ(str(velk_config_opts.Okfile), "/tmp/after");
    EXPECT_EQ(cap.out(), "INFO: (readRcFile) unrecognized option colour on line 1 of " + path_ + "\n");
}

TEST_F(ReadConfigTest, YesNoWords)
{
    struct Case {
        const char *word;
        int value;  // -1: refused
    } cases[] = {{"y", 1},     {"YES", 1}, {"t", 1},   {"True", 1}, {"on", 1},  {"n", 0},
                 {"No", 0},    {"f", 0},   {"FALSE", 0}, {"off", 0}, {"1", -1}, {"yess", -1},
                 {"", -1},     {"of", -1}};
    for (const auto &c : cases) {
        int field = 7;
        EXPECT_EQ(getYesNo(c.word, &field), c.value < 0 ? -1 : 0) << c.word;
        EXPECT_EQ(field, c.value < 0 ? 7 : c.value) << c.word;
    }
}

TEST_F(ReadConfigTest, BadYesNoKeepsTheValue)
{
    OutputCapture cap;
    EXPECT_EQ(readText("AbortOnMemberFileMissing yes\nAbortOnMemberFileMissing perhaps\nenable_expiration on\n",
                       &cap),
              0);
    EXPECT_EQ(velk_config_opts.AbortOnMemberFileMissing, 1);
    EXPECT_EQ(velk_config_opts.EnableFileExpiration, 1);
    EXPECT_EQ(cap.out(), "INFO: (readRcFile) bad value [perhaps] for AbortOnMemberFileMissing (file " + path_ +
                             " line 2) ignored\n");
}

TEST_F(ReadConfigTest, ExtraTokensAreReportedAndIgnored)
{
    OutputCapture cap;
    EXPECT_EQ(readText("okfile /tmp/a /tmp/b\nexfile /tmp/c # where exceptions go\nstatefile STDOUT ;x\n"
                       "AbortOnLongPathnames no = really\n",
                       &cap),
              0);
    EXPECT_EQ(str(velk_config_opts.Okfile), "/tmp/a");
    EXPECT_EQ(str(velk_config_opts.Exfile), "/tmp/c");
    EXPECT_EQ(str(velk_config_opts.Statefile), "STDOUT");
    EXPECT_EQ(velk_config_opts.AbortOnLongPathnames, 0);
    EXPECT_EQ(cap.err(), "WARNING: (readRcFile) extra token(s) on line 1 of file " + path_ +
                             " ignored\n"
                             "WARNING: (readRcFile) extra token(s) on line 4 of file " +
                             path_ + " ignored\n");
    EXPECT_EQ(cap.out(), "");
}

TEST_F(ReadConfigTest, CommentsBlankLinesAndIndentation)
{
    OutputCapture cap;
    EXPECT_EQ(readText("# comment okfile /no\n; another\n\n   \n\t  okfile\t/tmp/indented  \n   # okfile /no\n",
                       &cap),
              0);
    EXPECT_EQ(str(velk_config_opts.Okfile), "/tmp/indented");
    EXPECT_EQ(cap.out() + cap.err(), "");
}

TEST_F(ReadConfigTest, OverlongLinesAreRefusedAndSkipped)
{
    // 511 characters are accepted; 512 are not.
    std::string fits = "okfile /" + std::string(511 - 8, 'f');
    ASSERT_EQ(fits.size(), 511u);
    std::string tooLong = "exfile /" + std::string(512 - 8, 'x');
    OutputCapture cap;
    EXPECT_EQ(readText(fits + "\n" + tooLong + "\nstatefile STDERR\n" + tooLong, &cap), 0);
    EXPECT_EQ(str(velk_config_opts.Okfile), fits.substr(7));
    EXPECT_EQ(velk_config_opts.Exfile, nullptr);
    EXPECT_EQ(str(velk_config_opts.Statefile), "STDERR") << "the line after a long one must be read";
    std::string msg2 = "WARNING: (readRcFile) line 2 of " + path_ + " is longer than 511 characters - ignored\n";
    std::string msg4 = "WARNING: (readRcFile) line 4 of " + path_ + " is longer than 511 characters - ignored\n";
    EXPECT_EQ(cap.err(), msg2 + msg4);
}

TEST_F(ReadConfigTest, DebugLevelOneEchoesTheFile)
{
    velk_debug_level = 1;
    OutputCapture cap;
    EXPECT_EQ(readText("# hello\nstatefile NULL\n", &cap), 0);
    velk_debug_level = 0;
    std::string err = cap.err();
    EXPECT_EQ(err.rfind("/debug/reading config file '" + path_ + "'\n000001  # hello\n000002  statefile NULL\n", 0),
              0u)
        << err;
}

} // namespace
