// The velk binary's command line as a user meets it: failure lines, the
// usage text after them, and exit statuses.  No gateway is listening on the port these
// runs are pointed at, so every run that gets past the command line ends at
// the gateway session with status 71.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "velk_testsupport.h"

using velktest::failedEnding;
using velktest::lines;
using velktest::runVelk;
using velktest::RunOptions;

namespace {

// The client library reports why the gateway could not be reached before
// velk's own line, which is what these tests look for.
const char kGatewayFailure[] = "ERROR (main) unable to open remote gateway server connection\n";

// Options that point velk at a scratch HOME and at a port nobody serves.
RunOptions isolated(const velktest::ScratchDir &dir)
{
    RunOptions o;
    o.env["HOME"] = dir.path();
    o.env["TMPDIR"] = dir.path();
    o.env["QUOR_CFG_FILE_PATH"] = dir.path();
    o.env["QUOR_SERVER_HOST"] = "127.0.0.1/9";
    o.cwd = dir.path();
    return o;
}

} // namespace

TEST(CmdLineHelp, QuestionMarkWithActionPrintsHelpThenRuns)
{
    velktest::ScratchDir dir;
    auto r = runVelk({"-?", "-t", "-f", "a.tar"}, isolated(dir));
    EXPECT_EQ(r.status, 71);
    EXPECT_EQ(lines(r.err).front(), "Usage");
    EXPECT_TRUE(r.err.ends_with(kGatewayFailure)) << r.err;
    EXPECT_EQ(r.out, failedEnding(r.status));
}

TEST(CmdLineHelp, HelpAndVersionPrintOnStandardOutputAndEndTheRun)
{
    velktest::ScratchDir dir;
    const std::string help = runVelk({"-?"}, isolated(dir)).err;
    // The long options are listed after the option letters.
    const size_t letters = help.find("\n-Y      auto");
    for (const char *opt : {"\n--json ", "\n--names ", "\n--no-gateway\n", "\n-C DIR, --directory=DIR\n"}) {
        const size_t at = help.find(opt);
        EXPECT_TRUE(at != std::string::npos && letters != std::string::npos && at > letters) << opt;
    }
    auto version = runVelk({"--version"}, isolated(dir));
    EXPECT_TRUE(version.status == 0 && version.err.empty()) << version.err;
    EXPECT_TRUE(std::regex_match(version.out, std::regex(R"(velk \d+\.\d+\.\d+ \(built \d{4}-\d\d-\d\d\)\n)")))
        << version.out;
    // The full help, then the exit statuses; an action given too does not run.
    for (const std::vector<std::string> &args : {std::vector<std::string>{"--help"}, {"-t", "-f", "a.tar", "--help"}}) {
        auto r = runVelk(args, isolated(dir));
        EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.err;
        EXPECT_TRUE(r.out.starts_with(help + "\nExit status\n  0 ")) << r.out;
    }
}

// The exit statuses --help lists are exactly the values of the named
// statuses the program's sources use (the help's own table aside).
TEST(CmdLineHelp, HelpListsEveryExitStatusTheProgramUses)
{
    namespace fs = std::filesystem;
    const fs::path src = fs::path(VELK_TEST_DATA).parent_path().parent_path() / "src";
    std::map<std::string, int> value;
    const std::string globals = velktest::readFile(src / "base/velk_Globals.h");
    const std::regex def(R"(constexpr int (VELK_EXIT_\w+) = (\d+);)"), name(R"(VELK_EXIT_\w+)");
    for (std::sregex_iterator it(globals.begin(), globals.end(), def), end; it != end; ++it)
        value[(*it)[1]] = std::stoi((*it)[2]);
    std::set<int> used{0}, listed;
    for (const auto &e : fs::recursive_directory_iterator(src)) {
        if (e.path().extension() != ".cpp" || e.path().filename() == "velk_Usage.cpp")
            continue;
        const std::string text = velktest::readFile(e.path());
        for (std::sregex_iterator it(text.begin(), text.end(), name), end; it != end; ++it)
                used.insert(value.at(it->str()));
    }
    velktest::ScratchDir dir;
    const std::string out = runVelk({"--help"}, isolated(dir)).out;
    const std::string table = out.substr(out.find("\nExit status\n"));
    const std::regex row(R"(\n  (\d+) +\S)");
    for (std::sregex_iterator it(table.begin(), table.end(), row), end; it != end; ++it)
        listed.insert(std::stoi((*it)[1]));
    EXPECT_GT(value.size(), 5u);
    EXPECT_EQ(listed, used);
}

TEST(CmdLineErrors, ParseErrorEndsWithUsageFailureLineAnd64)
{
    velktest::ScratchDir dir;
    auto r = runVelk({"-t", "-f", "a.tar", "-H", "crc:bogus:norecurse"}, isolated(dir));
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.out, failedEnding(r.status));
    // The failure line, then the short usage text.
    EXPECT_TRUE(r.err.starts_with("ERROR: Unrecognized option: -Hbogus\nUsage:\n\nvelk  -{c|D|K|t|U|x|X} -f Archive"))
        << r.err;
}

TEST(CmdLineErrors, RepeatedActionAndMissingArchive)
{
    velktest::ScratchDir dir;
    auto twice = runVelk({"-c", "-c", "-f", "a.tar"}, isolated(dir));
    EXPECT_EQ(twice.status, 64);
    EXPECT_EQ(twice.err, "ERROR: Only 1 of -c, -K, -t, -x, -X may be specified\n");
    EXPECT_EQ(twice.out, failedEnding(twice.status));

    auto nof = runVelk({"-x"}, isolated(dir));
    EXPECT_EQ(nof.status, 64);
    EXPECT_EQ(lines(nof.err).front(), std::string("ERROR: (") + velktest::velkBinary() +
                                          ") -f parameter is required by velk.");
    EXPECT_EQ(lines(nof.err).at(1), "Usage:");
    EXPECT_EQ(nof.out, failedEnding(nof.status));
}

// The value follows "=" or comes as the next word; a long option last on
// the line has none.
TEST(CmdLineErrors, LongOptionNeedsItsValue)
{
    velktest::ScratchDir dir;
    auto r = runVelk({"-c", "-f", "a.tar", "dir", "--exclude"}, isolated(dir));
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.err, "ERROR: missing or empty argument for 'exclude'\n");
}

TEST(CmdLineErrors, PipedArchiveWithoutIndexName)
{
    velktest::ScratchDir dir;
    auto r = runVelk({"-t", "-f", "-"}, isolated(dir));
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.err, "ERROR: [Fatal]Index file pathname must be specified for piped Archive file\n");
    EXPECT_EQ(r.out, failedEnding(r.status));
    auto withIndex = runVelk({"-t", "-f", "-", "-I", "/tmp/x.idx"}, isolated(dir));
    EXPECT_EQ(withIndex.status, 71);
}

TEST(CmdLineErrors, FirstErrorDecidesTheStatus)
{
    velktest::ScratchDir dir;
    // The exceptions file can't be opened (72); the run then ends before an
    // action ran, which would otherwise report 71.
    auto r = runVelk({"-t", "-f", "a.tar", "-H", "exfile=" + dir / "no/such/dir/ex"}, isolated(dir));
    EXPECT_EQ(r.status, 72);
    EXPECT_EQ(r.err, "ERROR (main) error 2 opening exceptions file <" + dir / "no/such/dir/ex" + ">\n");
    EXPECT_EQ(r.out, failedEnding(r.status));
}

TEST(CmdLineStatusFifo, UnusableFifoWarnsAndRunGoesOn)
{
    velktest::ScratchDir dir;
    std::string plain = dir / "plain";
    velktest::writeFile(plain, "");
    auto a = runVelk({"-t", "-f", "a.tar", "-N", plain}, isolated(dir));
    EXPECT_EQ(a.status, 71);
    EXPECT_TRUE(a.err.starts_with("WARNING: Not a FIFO-type file: '" + plain + "'.  -N option disabled\n")) << a.err;
    EXPECT_TRUE(a.err.ends_with(kGatewayFailure)) << a.err;

    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto b = runVelk({"-t", "-f", "a.tar", "-N", fifo}, isolated(dir));
    EXPECT_EQ(b.status, 71);
    EXPECT_TRUE(b.err.starts_with("WARNING: Cannot open FIFO '" + fifo +
                                      "' for writing (no process is reading it). -N option disabled\n"))
        << b.err;
    EXPECT_TRUE(b.err.ends_with(kGatewayFailure)) << b.err;
}

TEST(CmdLineStatusFifo, ReaderSeesOpenAndShutdownLines)
{
    velktest::ScratchDir dir;
    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    auto r = runVelk({"-t", "-f", "a.tar", "-N", fifo}, isolated(dir));
    EXPECT_EQ(r.status, 71);
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = read(reader, buf, sizeof buf)) > 0)
        got.append(buf, static_cast<size_t>(n));
    close(reader);
    // "<pid> <phase> <text>\n" and a NUL byte per line, the open line first
    // and the shutdown line last; heartbeats may come between them.
    std::regex records(R"(([0-9]+) OPEN_CONNECTION Open logging\n\0(\1 OPEN_CONNECTION HEARTBEAT\n\0)*)"
                       R"(\1 SHUTDOWN SHUTTING DOWN\n\0)");
    EXPECT_TRUE(std::regex_match(got, records)) << got;
}

TEST(CmdLineDebug, TraceLinesAtLevelFour)
{
    velktest::ScratchDir dir;
    auto quiet = runVelk({"-t", "-d", "3", "-f", "a.tar"}, isolated(dir));
    EXPECT_EQ(quiet.err.find("Entering "), std::string::npos);
    auto r = runVelk({"-t", "-d", "4", "-f", "a.tar"}, isolated(dir));
    EXPECT_EQ(r.status, 71);
    std::regex trace(R"(\[velk_Run\.cpp,line [0-9]+\] Entering  velk_EndRun\n)");
    EXPECT_TRUE(std::regex_search(r.err, trace)) << r.err;
}
