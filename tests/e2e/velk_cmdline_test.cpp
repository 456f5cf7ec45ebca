// The velk binary's command line as a user meets it: failure lines, the
// usage text after them, and exit statuses.  No gateway is listening on the port these
// runs are pointed at, so every run that gets past the command line ends at
// the gateway session with status 71.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "velk_testsupport.h"

using velktest::failedEnding;
using velktest::lines;
using velktest::runVelk;
using velktest::RunOptions;

namespace {

const std::vector<std::string> kShortUsage = {
    "Usage:",
    "",
    "velk  -{c|D|K|t|U|x|X} -f Archive [-?] [-B] [-E] [-h] [-H opt[:opt...]",
    "     [-d debuglevel] [--exclude, etc. opts] [-I {IndexFile | .suffix}] [-L inputlist] ",
    "     [-M maxfiles] [-m] [-n days[:hours]] [-O] [-o] [-p] [-q]",
    "     [-v] [-V [-w  [-Y auto | [Archive COS ID][:Index File COS ID]]",
    "     [-S Bufsize] [-T Max Threads] [Filespec | Directory ...]",
};

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

// The client library reports why the gateway could not be reached before
// velk's own line; velk's line is what these tests are about.
bool endsWithGatewayFailure(const std::string &err)
{
    std::string tail = kGatewayFailure;
    return err.size() >= tail.size() && err.compare(err.size() - tail.size(), tail.size(), tail) == 0;
}

bool startsWith(const std::string &text, const std::string &head)
{
    return text.rfind(head, 0) == 0;
}

bool endsWithLines(const std::string &text, const std::vector<std::string> &tail)
{
    auto all = lines(text);
    if (all.size() < tail.size())
        return false;
    return std::equal(tail.begin(), tail.end(), all.end() - static_cast<long>(tail.size()));
}

} // namespace

TEST(CmdLineHelp, QuestionMarkWithActionPrintsHelpThenRuns)
{
    velktest::ScratchDir dir;
    auto r = runVelk({"-?", "-t", "-f", "a.tar"}, isolated(dir));
    EXPECT_EQ(r.status, 71);
    EXPECT_EQ(lines(r.err).front(), "Usage");
    EXPECT_TRUE(endsWithLines(r.err, {"ERROR (main) unable to open remote gateway server connection"}));
    EXPECT_EQ(r.out, failedEnding(r.status));
}

TEST(CmdLineErrors, ParseErrorEndsWithUsageFailureLineAnd64)
{
    velktest::ScratchDir dir;
    auto r = runVelk({"-t", "-f", "a.tar", "-H", "crc:bogus:norecurse"}, isolated(dir));
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.out, failedEnding(r.status));
    std::vector<std::string> expected{"ERROR: Unrecognized option: -Hbogus"};
    expected.insert(expected.end(), kShortUsage.begin(), kShortUsage.end());
    EXPECT_EQ(lines(r.err), expected);
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
    EXPECT_TRUE(endsWithLines(nof.err, kShortUsage));
    EXPECT_EQ(nof.out, failedEnding(nof.status));
}

TEST(CmdLineErrors, LongOptionNeedsEqualsForItsValue)
{
    velktest::ScratchDir dir;
    auto r = runVelk({"-c", "-f", "a.tar", "--exclude", "*.o", "dir"}, isolated(dir));
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.err, "ERROR: missing or empty argument for 'exclude'\n");
    auto ok = runVelk({"-c", "-f", "a.tar", "--umask=027", "dir"}, isolated(dir));
    EXPECT_EQ(ok.status, 71);  // parsed; the gateway is what is missing
    EXPECT_TRUE(endsWithGatewayFailure(ok.err)) << ok.err;
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

TEST(CmdLineErrors, GatewayUnreachableEndsWith71)
{
    velktest::ScratchDir dir;
    auto r = runVelk({"tvf", "a.tar"}, isolated(dir));
    EXPECT_EQ(r.status, 71);
    EXPECT_TRUE(endsWithGatewayFailure(r.err)) << r.err;
    EXPECT_EQ(r.out, failedEnding(r.status));
}

TEST(CmdLineStatusFifo, UnusableFifoWarnsAndRunGoesOn)
{
    velktest::ScratchDir dir;
    std::string plain = dir / "plain";
    velktest::writeFile(plain, "");
    auto a = runVelk({"-t", "-f", "a.tar", "-N", plain}, isolated(dir));
    EXPECT_EQ(a.status, 71);
    EXPECT_TRUE(startsWith(a.err, "WARNING: Not a FIFO-type file: '" + plain + "'.  -N option disabled\n")) << a.err;
    EXPECT_TRUE(endsWithGatewayFailure(a.err)) << a.err;

    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto b = runVelk({"-t", "-f", "a.tar", "-N", fifo}, isolated(dir));
    EXPECT_EQ(b.status, 71);
    EXPECT_TRUE(startsWith(b.err, "WARNING: Cannot open FIFO '" + fifo +
                                      "' for writing (no process is reading it). -N option disabled\n"))
        << b.err;
    EXPECT_TRUE(endsWithGatewayFailure(b.err)) << b.err;
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
    // "<pid> <phase> <text>\n" and a NUL byte per line; the status thread
    // may add heartbeats between the open and the shutdown lines.
    ASSERT_FALSE(got.empty());
    ASSERT_EQ(got.back(), '\0');
    std::vector<std::string> records;
    size_t start = 0, nul;
    while ((nul = got.find('\0', start)) != std::string::npos) {
        records.push_back(got.substr(start, nul - start));
        start = nul + 1;
    }
    ASSERT_GE(records.size(), 2u);
    auto pid = records.front().substr(0, records.front().find(' '));
    EXPECT_EQ(pid, std::to_string(std::stol(pid)));
    EXPECT_EQ(records.front(), pid + " OPEN_CONNECTION Open logging\n");
    EXPECT_EQ(records.back(), pid + " SHUTDOWN SHUTTING DOWN\n");
    for (size_t k = 1; k + 1 < records.size(); k++)
        EXPECT_EQ(records[k], pid + " OPEN_CONNECTION HEARTBEAT\n");
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
