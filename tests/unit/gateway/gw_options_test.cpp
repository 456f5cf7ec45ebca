// Command-line parsing and path checks of kylgwd.

#include "gw_options.h"

#include "velk_testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

struct Parsed {
    gw_parse_t result;
    gw_options_t opts;
    std::string err;
};

Parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "kylgwd");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Parsed p;
    p.result = gw_ParseOptions(static_cast<int>(args.size()), argv.data(), &p.opts, &p.err);
    return p;
}

} // namespace

TEST(GwParseOptions, DefaultsBothSpellingsAndHelp)
{
    auto d = parse({"--root", "/srv"});
    ASSERT_EQ(d.result, gw_parse_t::run) << d.err;
    EXPECT_EQ(d.opts.listenHost, "127.0.0.1");
    EXPECT_EQ(d.opts.listenPort, 1217);
    EXPECT_EQ(d.opts.runMode, 1);
    EXPECT_FALSE(d.opts.foreground);
    // Both spellings: "--opt value" and "--opt=value".
    auto p = parse({"--listen", "[::1]:0", "--portfile=/p", "--root=/r", "--meta", "/m", "--runmode=2",
                    "--foreground"});
    ASSERT_EQ(p.result, gw_parse_t::run) << p.err;
    EXPECT_EQ(p.opts.listenHost, "::1");
    EXPECT_EQ(p.opts.listenPort, 0);
    EXPECT_EQ(p.opts.portFile + p.opts.root + p.opts.meta, "/p/r/m");
    EXPECT_EQ(p.opts.runMode, 2);
    EXPECT_TRUE(p.opts.foreground);
    // --help wins over a missing --root, not over a broken option before it.
    EXPECT_EQ(parse({"--runmode", "1", "--help"}).result, gw_parse_t::help);
    EXPECT_EQ(parse({"--bogus", "--help"}).result, gw_parse_t::usage);
}

TEST(GwParseOptions, RejectsMalformedCommandLines)
{
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{}, "--root DIR is required"},
        {{"--root", "/r", "--bogus"}, "unknown option '--bogus'"},
        {{"--root", "/r", "-x"}, "unknown option '-x'"},
        {{"--root", "/r", "extra"}, "unexpected argument 'extra'"},
        {{"--root", "/r", "--root", "/s"}, "--root given more than once"},
        {{"--root", "/r", "--log"}, "--log needs a value"},
        {{"--root", "/r", "--log="}, "--log needs a non-empty value"},
        {{"--root", "/r", "--foreground=yes"}, "--foreground takes no value"},
        {{"--root", "/r", "--runmode", "0"}, "--runmode '0': must be 1"},
        {{"--root", "/r", "--runmode", "1x"}, "--runmode '1x': must be 1"},
        {{"--root", "/r", "--syslog", "--log", "/l"}, "--syslog and --log exclude each other"},
    };
    for (const auto &c : cases) {
        auto p = parse(c.args);
        EXPECT_EQ(p.result, gw_parse_t::usage) << c.message;
        EXPECT_NE(p.err.find(c.message), std::string::npos) << p.err;
        EXPECT_EQ(p.err.find('\n'), std::string::npos) << c.message;
    }
}

TEST(GwParseListen, HostPortBracketedIpv6AndBadAddresses)
{
    const std::tuple<const char *, const char *, int> good[] = {
        {"127.0.0.1:0", "127.0.0.1", 0}, {"localhost:65535", "localhost", 65535}, {"[fe80::1]:1217", "fe80::1", 1217}};
    for (const auto &[text, wantHost, wantPort] : good) {
        std::string host, err;
        int port = -1;
        ASSERT_EQ(gw_ParseListen(text, &host, &port, &err), 0) << err;
        EXPECT_EQ(host, wantHost);
        EXPECT_EQ(port, wantPort);
    }

    for (const char *bad : {"127.0.0.1", "127.0.0.1:", ":1217", "127.0.0.1:65536", "127.0.0.1:-1",
                            "127.0.0.1:12a", "127.0.0.1:99999999999", "::1:80", "[::1]", "[::1]80", "[::1:80",
                            "[]:80"}) {
        std::string host = "unchanged", err;
        int port = 7;
        EXPECT_EQ(gw_ParseListen(bad, &host, &port, &err), -1) << bad;
        EXPECT_FALSE(err.empty()) << bad;
        EXPECT_EQ(host, "unchanged") << bad;
        EXPECT_EQ(port, 7) << bad;
    }
}

class GwCheckOptionPaths : public ::testing::Test {
protected:
    velktest::ScratchDir scratch;
    gw_options_t opts;
    std::string err;

    void SetUp() override
    {
        ASSERT_EQ(mkdir((scratch / "root").c_str(), 0755), 0);
        ASSERT_EQ(mkdir((scratch / "meta").c_str(), 0755), 0);
        opts.root = scratch / "root";
    }
};

TEST_F(GwCheckOptionPaths, ResolvesDirectoriesAndMakesFilesAbsolute)
{
    ASSERT_EQ(symlink((scratch / "root").c_str(), (scratch / "link").c_str()), 0);
    velktest::writeFile(scratch / "conf", "x = 1\n");
    opts.root = scratch / "link";
    opts.meta = scratch / "meta";
    opts.configFile = scratch / "conf";
    opts.faultsFile = scratch / "faults-written-later";

    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(scratch.path().c_str()), 0);
    opts.portFile = "port";
    opts.logFile = "kylgwd.log";
    int rc = gw_CheckOptionPaths(&opts, &err);
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_EQ(rc, 0) << err;

    char real[PATH_MAX];
    ASSERT_NE(realpath(scratch.path().c_str(), real), nullptr);
    EXPECT_EQ(opts.root, std::string(real) + "/root");
    EXPECT_EQ(opts.meta, std::string(real) + "/meta");
    EXPECT_EQ(opts.portFile, scratch.path() + "/port");
    EXPECT_EQ(opts.logFile, scratch.path() + "/kylgwd.log");
    EXPECT_EQ(opts.faultsFile, scratch / "faults-written-later");
}

TEST_F(GwCheckOptionPaths, RejectsMissingAndMisplacedPathsButNotAPrefixSibling)
{
    velktest::writeFile(scratch / "file", "");
    ASSERT_EQ(mkdir((scratch / "root/m").c_str(), 0755), 0);
    const struct {
        std::string gw_options_t::*field;
        std::string path;
        const char *message;
    } cases[] = {
        {&gw_options_t::root, "missing", "No such file or directory"},
        {&gw_options_t::root, "file", "not a directory"},
        {&gw_options_t::meta, "missing", "--meta"},
        {&gw_options_t::meta, "root", "outside the served tree"},
        {&gw_options_t::meta, "root/m", "outside the served tree"},
        {&gw_options_t::configFile, "missing", "--config"},
        {&gw_options_t::configFile, "meta", "not a regular file"},
        {&gw_options_t::faultsFile, "meta", "not a regular file"},
        {&gw_options_t::portFile, "nodir/port", "does not exist"},
        {&gw_options_t::logFile, "meta", "is a directory"},
        {&gw_options_t::eventsFile, "nodir/e", "--events"},
        {&gw_options_t::pidFile, "nodir/p", "--pidfile"},
    };
    for (const auto &c : cases) {
        gw_options_t o;
        o.root = scratch / "root";
        o.*c.field = scratch / c.path;
        std::string e;
        EXPECT_EQ(gw_CheckOptionPaths(&o, &e), -1) << c.path;
        EXPECT_NE(e.find(c.message), std::string::npos) << c.path << ": " << e;
    }
    // "/x/root-meta" starts with "/x/root" but is not inside it.
    ASSERT_EQ(mkdir((scratch / "root-meta").c_str(), 0755), 0);
    opts.meta = scratch / "root-meta";
    EXPECT_EQ(gw_CheckOptionPaths(&opts, &err), 0) << err;
}
