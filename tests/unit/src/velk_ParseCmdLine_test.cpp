// The command-line parser, run in a forked child per case so that the run
// state starts from its defaults every time.  The child reports the parsed
// values as "key=value" lines on a pipe; the parent checks them together
// with what the parser printed and the exit status it left.

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "velk_Globals.h"
#include "velk_ParseCmdLine.h"
#include "velk_ReadConfig.h"
#include "velk_Run.h"
#include "velk_StatusFifo.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

// Exit code of a parser child that could not redirect its output.
constexpr int kChildSetupFailed = 10;

struct Parsed {
    int rc = 0;           // result of velk_ParseCmdLine
    int exitCode = 0;     // velk_exit_code afterwards
    std::string out, err;
    std::map<std::string, std::string> v;
};

Parsed parse(const std::vector<std::string> &args)
{
    velktest::ScratchDir dir;
    std::string outPath = dir / "out", errPath = dir / "err", resPath = dir / "res";
    velktest::ForkedChild child([&] {
        if (!velktest::redirectOutputToFiles(outPath, errPath))
            return kChildSetupFailed;
        setDefaultOptions();
        std::vector<std::string> copy{"velk"};
        copy.insert(copy.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &s : copy)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        int rc = velk_ParseCmdLine(static_cast<int>(copy.size()), argv.data());
        fflush(stdout);
        fflush(stderr);
        FILE *res = fopen(resPath.c_str(), "w");
        fprintf(res, "rc=%d\nexit=%d\nfunction=%d\nflags=%u\noptind=%d\n", rc, velk_exit_code.load(), velk_function,
                velk_option_flags.load(), velk_optind);
        fprintf(res, "archive=%s\nindex=%s\n", velk_archive ? velk_archive : "(null)",
                velk_index_filename ? velk_index_filename : "(null)");
        fprintf(res, "debug=%d\niobufsize=%d\nthreads=%d\ntss=%d\nmaxfiles=%ld\ntime=%ld\n", velk_debug_level,
                velk_iobufsize, velk_max_threads, velk_thread_stacksize, velk_max_files, velk_time_opt);
        fprintf(res, "umask=%d\narchcos=%d\nidxcos=%d\nafam=%d\nifam=%d\ncopies=%d\nverify=%d\ninterval=%d\n",
                velk_umask, velk_archive_cosID, velk_index_cosID, velk_archive_familyid, velk_index_familyid,
                copyCount, velk_verify_flags, velk_status_interval);
        const char *server = getenv("QUOR_SERVER_HOST");
        const char *principal = getenv("QUOR_PRINCIPAL");
        fprintf(res, "server=%s\nprincipal=%s\nacctid=%u\nacctname=%s\nexcludes=%d\npipefd=%d\n",
                server ? server : "(null)", principal ? principal : "(null)", initAcctId,
                initAcctName ? initAcctName : "(null)", velk_exclude_opt_count, velk_status_pipefd);
        fclose(res);
        return 0;
    });
    int status = 0;
    EXPECT_TRUE(child.wait(&status)) << "parser child did not end";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "parser child status " << status;
    Parsed p;
    p.out = velktest::readFile(outPath);
    p.err = velktest::readFile(errPath);
    for (const auto &line : velktest::lines(velktest::readFile(resPath))) {
        auto eq = line.find('=');
        p.v[line.substr(0, eq)] = line.substr(eq + 1);
    }
    p.rc = std::stoi(p.v["rc"]);
    p.exitCode = std::stoi(p.v["exit"]);
    return p;
}

bool contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST(ParseGroups, LettersOfFirstArgumentWithoutDash)
{
    auto p = parse({"cvf", "a.tar", "dir"});
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.v["function"], std::to_string(VOP_CREATE));
    EXPECT_EQ(p.v["archive"], "a.tar");
    EXPECT_EQ(std::stoul(p.v["flags"]) & VELK_OPT_VERBOSE, VELK_OPT_VERBOSE);
    EXPECT_EQ(p.v["optind"], "3");  // "dir"
}

TEST(ParseGroups, ArgumentAttachedOrSeparateAndDashInsideGroup)
{
    auto a = parse({"-tfa.tar"});
    auto b = parse({"-t-f", "a.tar", "--", "-x"});
    EXPECT_EQ(a.v["archive"], "a.tar");
    EXPECT_EQ(b.v["archive"], "a.tar");
    EXPECT_EQ(b.v["optind"], "4");  // after "--", "-x" is an operand
    EXPECT_EQ(b.v["function"], std::to_string(VOP_LIST));
}

TEST(ParseGroups, SecondNonOptionArgumentEndsOptions)
{
    auto p = parse({"-t", "-f", "a.tar", "x", "-v"});
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.v["optind"], "4");
    EXPECT_EQ(std::stoul(p.v["flags"]) & VELK_OPT_VERBOSE, 0u);
}

TEST(ParseErrors, RepeatedActionLetterCountsTwice)
{
    auto p = parse({"-c", "-c", "-f", "a.tar"});
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.exitCode, 64);
    EXPECT_TRUE(contains(p.err, "ERROR: Only 1 of -c, -K, -t, -x, -X may be specified\n"));
}

TEST(ParseErrors, NoActionAndMissingArchive)
{
    auto none = parse({"-v", "-f", "a.tar"});
    EXPECT_EQ(none.rc, -1);
    EXPECT_TRUE(contains(none.err, "ERROR: No action specified (-c, -K, -t ,-x, -X).\n"));
    EXPECT_TRUE(contains(none.err, "Usage:\n"));

    auto nof = parse({"-t"});
    EXPECT_EQ(nof.rc, -1);
    EXPECT_EQ(nof.exitCode, 64);
    EXPECT_TRUE(contains(nof.err, "ERROR: (velk) -f parameter is required by velk.\n"));
    EXPECT_TRUE(contains(nof.err, "Usage:\n"));
}

TEST(ParseErrors, UnknownLetterIsCountedAndScanningGoesOn)
{
    auto p = parse({"-tzf", "a.tar"});
    EXPECT_EQ(p.rc, -1);
    EXPECT_TRUE(contains(p.err, "ERROR: Unrecognized option: 'z'\n"));
    EXPECT_EQ(p.v["archive"], "a.tar");  // the f after z was still read
}

TEST(ParseErrors, MissingArgumentAtEndFailsAtOnce)
{
    auto p = parse({"-t", "-f"});
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.err, "ERROR: Missing argument for f\n");
}

TEST(ParseErrors, ArchiveAndIndexPathsOver1024Characters)
{
    std::string longName(1025, 'a');
    auto p = parse({"-t", "-f", longName});
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.exitCode, 64);
    EXPECT_TRUE(contains(p.err, "ERROR: archive path is longer than 1024 characters\n"));
    auto ok = parse({"-t", "-f", std::string(1024, 'a')});
    EXPECT_EQ(ok.rc, 0);
    auto idx = parse({"-t", "-f", "a", "-I", longName});
    EXPECT_EQ(idx.rc, -1);
    EXPECT_TRUE(contains(idx.err, "ERROR: index path is longer than 1024 characters\n"));
}

TEST(LongOptions, WithAndWithoutEquals)
{
    auto ok = parse({"-t", "-f", "a", "--exclude=*.o", "--crc", "--umask=027"});
    EXPECT_EQ(ok.rc, 0);
    EXPECT_EQ(ok.v["excludes"], "1");
    EXPECT_EQ(ok.v["umask"], std::to_string(027));
    EXPECT_EQ(std::stoul(ok.v["flags"]) & VELK_OPT_CRC, VELK_OPT_CRC);

    auto sep = parse({"-t", "-f", "a", "--exclude", "*.o"});
    EXPECT_EQ(sep.rc, -1);
    EXPECT_EQ(sep.err, "ERROR: missing or empty argument for 'exclude'\n");

    auto extra = parse({"-t", "-f", "a", "--crc=1"});
    EXPECT_EQ(extra.rc, -1);
    EXPECT_EQ(extra.err, "ERROR: superfluous '=' argument for 'crc'\n");

    auto unknown = parse({"-t", "-f", "a", "--bogus=1"});
    EXPECT_EQ(unknown.rc, -1);
    EXPECT_EQ(unknown.err, "ERROR: Error - unrecognized option --bogus\n");

    auto handler = parse({"-t", "-f", "a", "--copies=9"});
    EXPECT_EQ(handler.rc, -1);
    EXPECT_TRUE(contains(handler.err, "ERROR: Bad value '9' for  copies\n"));
    EXPECT_TRUE(contains(handler.err, "ERROR: fatal error parsing 'copies' option\n"));
}

TEST(HLists, UnknownOrSuperfluousSubOptionSkipsRestOfList)
{
    auto p = parse({"-t", "-f", "a", "-H", "crc:bogus:norecurse"});
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.exitCode, 64);
    EXPECT_TRUE(contains(p.err, "ERROR: Unrecognized option: -Hbogus\n"));
    auto flags = std::stoul(p.v["flags"]);
    EXPECT_EQ(flags & VELK_OPT_CRC, VELK_OPT_CRC);
    EXPECT_EQ(flags & VELK_OPT_NORECURSE, 0u);

    auto q = parse({"-t", "-f", "a", "-H", "noglob=1:crc"});
    EXPECT_EQ(q.rc, -1);
    EXPECT_TRUE(contains(q.err, "ERROR: superfluous '=' argument for '-Hnoglob'\n"));
    EXPECT_EQ(std::stoul(q.v["flags"]) & (VELK_OPT_NOGLOB | VELK_OPT_CRC), 0u);

    auto r = parse({"-t", "-f", "a", "-H", "umask:crc"});
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.err, "ERROR: missing or empty argument for '-Humask'\n");
}

TEST(HLists, VerifyListOrderMatters)
{
    auto a = parse({"-t", "-f", "a", "-H", "verify=paranoid,all"});
    auto b = parse({"-t", "-f", "a", "-H", "verify=all,paranoid"});
    int all = VELK_VERIFY_INFO | VELK_VERIFY_CRC | VELK_VERIFY_COMPARE;
    EXPECT_EQ(std::stoi(a.v["verify"]), all);
    EXPECT_EQ(std::stoi(b.v["verify"]), all | VELK_VERIFY_PARANOID);
    auto c = parse({"-t", "-f", "a", "-H", "verify=2,nocompare"});
    EXPECT_EQ(std::stoi(c.v["verify"]), VELK_VERIFY_INFO | VELK_VERIFY_CRC);
    auto bad = parse({"-t", "-f", "a", "-H", "verify=info,most"});
    EXPECT_EQ(bad.rc, -1);
    EXPECT_TRUE(contains(bad.err, "ERROR: Bad value for-H verify option: most\n"));
}

TEST(HLists, FamilyCopiesIntervalAcct)
{
    auto p = parse({"-t", "-f", "a", "-H", "family=3,4:copies=5:msg_interval=3600:acct=42"});
    EXPECT_EQ(p.rc, 0);
    EXPECT_EQ(p.v["afam"], "3");
    EXPECT_EQ(p.v["ifam"], "4");
    EXPECT_EQ(p.v["copies"], "5");
    EXPECT_EQ(p.v["interval"], "3600");
    EXPECT_EQ(p.v["acctid"], "42");
    auto n = parse({"-t", "-f", "a", "-H", "acct=science"});
    EXPECT_EQ(n.v["acctname"], "science");
    auto f = parse({"-t", "-f", "a", "-H", "family=x"});
    EXPECT_TRUE(contains(f.err, "ERROR: bad archive family ID: x.\n"));
    auto g = parse({"-t", "-f", "a", "-H", "family=1,-2"});
    EXPECT_TRUE(contains(g.err, "ERROR: bad index family ID: -2.\n"));
    auto m = parse({"-t", "-f", "a", "-H", "msg_interval=3601"});
    EXPECT_TRUE(contains(m.err, "ERROR: Bad value '3601' for msg_interval\n"));
}

TEST(HLists, PortBoundaryAndServerEnvironment)
{
    auto ok = parse({"-t", "-f", "a", "-H", "server=gw.example:port=65525"});
    EXPECT_EQ(ok.rc, 0);
    EXPECT_EQ(ok.v["server"], "gw.example/65525");
    auto noport = parse({"-t", "-f", "a", "-H", "server=gw.example:port=0"});
    EXPECT_EQ(noport.v["server"], "gw.example");
    auto bad = parse({"-t", "-f", "a", "-H", "port=65526"});
    EXPECT_EQ(bad.rc, -1);
    EXPECT_TRUE(contains(bad.err, "ERROR: Bad value for port option: 65526\n"));
}

TEST(HLists, ThreadStackSizeBounds)
{
    EXPECT_EQ(parse({"-t", "-f", "a", "-H", "tss=100mb"}).v["tss"], "104857600");
    auto over = parse({"-t", "-f", "a", "-H", "tss=104857601"});
    EXPECT_EQ(over.rc, -1);
    EXPECT_TRUE(contains(over.err, "ERROR: Bad value for tss option: 104857601\n"));
    EXPECT_EQ(over.v["tss"], "0");
    EXPECT_EQ(parse({"-t", "-f", "a", "-H", "tss=3g"}).rc, -1);
    EXPECT_EQ(parse({"-t", "-f", "a", "-H", "tss=abc"}).rc, -1);
    // Nonzero stacks below the system minimum are raised to it.
    EXPECT_EQ(parse({"-t", "-f", "a", "-H", "tss=1"}).v["tss"], std::to_string(PTHREAD_STACK_MIN));
    EXPECT_EQ(parse({"-t", "-f", "a", "-H", "tss=0"}).v["tss"], "0");
}

TEST(Values, TimeWindow)
{
    auto p = parse({"-t", "-f", "a", "-n", "2:6"});
    EXPECT_EQ(p.v["time"], "194400");
    EXPECT_EQ(std::stoul(p.v["flags"]) & VELK_OPT_TIME_WINDOW, VELK_OPT_TIME_WINDOW);
    EXPECT_EQ(parse({"-t", "-f", "a", "-n", ":5"}).v["time"], "18000");
    auto zero = parse({"-t", "-f", "a", "-n", ":0"});
    EXPECT_EQ(zero.rc, -1);
    EXPECT_TRUE(contains(zero.err, "ERROR: -n :0 is invalid. A non-zero value must be entered\n"));
    auto bad = parse({"-t", "-f", "a", "-n", "1:2:3"});
    EXPECT_TRUE(contains(bad.err,
                         "ERROR: -n 1:2:3 is invalid. Expecting \"days\",\"days:hours\",or \":hours\"\n"));
    // 24,856 days pass 2^31-1 seconds: refused instead of wrapping.
    EXPECT_EQ(parse({"-t", "-f", "a", "-n", "24855"}).rc, 0);
    auto wide = parse({"-t", "-f", "a", "-n", "24856"});
    EXPECT_EQ(wide.rc, -1);
    EXPECT_TRUE(contains(wide.err, "-n 24856 is invalid. Expecting"));
}

TEST(Values, MaxFiles)
{
    auto neg = parse({"-t", "-f", "a", "-M", "-1"});
    EXPECT_EQ(neg.rc, 0);
    EXPECT_EQ(neg.v["maxfiles"], "5000000");
    EXPECT_EQ(neg.err, "ERROR: (-M option). This site does not allow an unrestricted number of files in an archive. "
                       "5000000 will be used\n");
    auto big = parse({"-t", "-f", "a", "-M", "7000000"});
    EXPECT_EQ(big.v["maxfiles"], "5000000");
    EXPECT_EQ(big.err, "ERROR: -M 7000000 exceeds max value allowed. -M 5000000 will be used\n");
    auto zero = parse({"-t", "-f", "a", "-M", "0"});
    EXPECT_EQ(zero.rc, 0);
    EXPECT_EQ(zero.v["maxfiles"], "1000000");
    EXPECT_EQ(zero.err, "ERROR: Illegal value (0) for -M option ignored.\n");
    EXPECT_EQ(parse({"-t", "-f", "a", "-M", "12"}).v["maxfiles"], "12");
}

TEST(Values, BufferSize)
{
    auto small = parse({"-t", "-f", "a", "-S", "100k"});
    EXPECT_EQ(small.rc, 0);
    EXPECT_EQ(small.v["iobufsize"], "524288");
    EXPECT_EQ(small.out, "INFO: Warning: minimum buffer size is 524288. -S  100k ignored - minimum buffer sized used\n");
    EXPECT_EQ(parse({"-t", "-f", "a", "-S", "16mb"}).v["iobufsize"], "16777216");
    EXPECT_EQ(parse({"-t", "-f", "a", "-S", "2047m"}).v["iobufsize"], std::to_string(2047L << 20));
    auto huge = parse({"-t", "-f", "a", "-S", "2g"});
    EXPECT_EQ(huge.rc, -1);
    EXPECT_EQ(huge.exitCode, 64);
    EXPECT_TRUE(contains(huge.err, "ERROR: Bad value for -S option: 2g\n"));
}

TEST(Values, ThreadsDebugAndCos)
{
    auto t = parse({"-t", "-f", "a", "-T", "0", "-v"});
    EXPECT_EQ(t.rc, -1);
    EXPECT_TRUE(contains(t.err, "ERROR: Bad value for thread count: 0\n"));
    EXPECT_EQ(std::stoul(t.v["flags"]) & VELK_OPT_VERBOSE, 0u);  // scanning stopped
    EXPECT_EQ(parse({"-t", "-f", "a", "-T", "1"}).v["threads"], "1");
    EXPECT_EQ(parse({"-t", "-f", "a", "-d", "9"}).v["debug"], "5");

    auto y = parse({"-t", "-f", "a", "-Y", ":5"});
    EXPECT_EQ(y.v["archcos"], "-1");
    EXPECT_EQ(y.v["idxcos"], "5");
    auto autoBoth = parse({"-t", "-f", "a", "-Y", "AUTO"});
    EXPECT_EQ(autoBoth.v["archcos"], "0");
    EXPECT_EQ(autoBoth.v["idxcos"], "0");
    auto mixed = parse({"-t", "-f", "a", "-Y", "7:auto"});
    EXPECT_EQ(mixed.v["archcos"], "7");
    EXPECT_EQ(mixed.v["idxcos"], "0");
    EXPECT_EQ(parse({"-t", "-f", "a", "-Y", "x"}).rc, -1);
}

TEST(Values, LoginSetsPrincipal)
{
    auto p = parse({"-t", "-f", "a", "-l", "alice"});
    EXPECT_EQ(p.v["principal"], "alice");
    EXPECT_EQ(std::stoul(p.v["flags"]) & VELK_OPT_LOGIN, VELK_OPT_LOGIN);
}

TEST(StatusFifoCheck, RegularFileAndFifoWithoutReaderDisableIt)
{
    velktest::ScratchDir dir;
    std::string file = dir / "plain";
    velktest::writeFile(file, "x");
    auto a = parse({"-t", "-f", "a", "-N", file});
    EXPECT_EQ(a.rc, 0);
    EXPECT_EQ(a.err, "WARNING: Not a FIFO-type file: '" + file + "'.  -N option disabled\n");
    EXPECT_EQ(std::stoul(a.v["flags"]) & VELK_OPT_STATUS_FIFO, 0u);

    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto b = parse({"-t", "-f", "a", "-N", fifo});
    EXPECT_EQ(b.rc, 0);
    EXPECT_EQ(b.err, "WARNING: Cannot open FIFO '" + fifo +
                         "' for writing (no process is reading it). -N option disabled\n");
    EXPECT_EQ(std::stoul(b.v["flags"]) & VELK_OPT_STATUS_FIFO, 0u);

    auto c = parse({"-t", "-f", "a", "-N", dir / "missing"});
    EXPECT_TRUE(contains(c.err, "WARNING: Error 2 trying to stat pipe file: '"));

    // With a reader the descriptor is kept for the status thread.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    auto d = parse({"-t", "-f", "a", "-N", fifo});
    EXPECT_EQ(d.err, "");
    EXPECT_NE(d.v["pipefd"], "-1");
    EXPECT_EQ(std::stoul(d.v["flags"]) & VELK_OPT_STATUS_FIFO, VELK_OPT_STATUS_FIFO);
    close(reader);
}

TEST(IndexNaming, Table)
{
    char out[1025];
    ASSERT_EQ(velk_NameIndexFile("dir/a.tar", "b.idx", VELK_LOCAL_FILE, out, sizeof out), 0);
    EXPECT_STREQ(out, "dir/b.idx");
    ASSERT_EQ(velk_NameIndexFile("a.tar", ".i", VELK_LOCAL_FILE, out, sizeof out), 0);
    EXPECT_STREQ(out, "a.tar.i");
    ASSERT_EQ(velk_NameIndexFile("a.tar", nullptr, VELK_QUOR_FILE, out, sizeof out), 0);
    EXPECT_STREQ(out, "a.tar.idx");
    ASSERT_EQ(velk_NameIndexFile("/x/a.tar", "/y/i", VELK_QUOR_FILE, out, sizeof out), 0);
    EXPECT_STREQ(out, "/y/i");
    ASSERT_EQ(velk_NameIndexFile("a.tar", "b.idx", VELK_LOCAL_FILE, out, sizeof out), 0);
    EXPECT_STREQ(out, "b.idx");
    EXPECT_EQ(velk_NameIndexFile("-", nullptr, VELK_PIPE, out, sizeof out), -1);
    ASSERT_EQ(velk_NameIndexFile("-", "/i", VELK_PIPE, out, sizeof out), 0);
    // 1,021 + ".idx" = 1,025 characters: one too many.
    std::string name(1021, 'n');
    EXPECT_EQ(velk_NameIndexFile(name.c_str(), nullptr, VELK_LOCAL_FILE, out, sizeof out), -2);
    EXPECT_EQ(velk_NameIndexFile(name.substr(1).c_str(), nullptr, VELK_LOCAL_FILE, out, sizeof out), 0);
}
