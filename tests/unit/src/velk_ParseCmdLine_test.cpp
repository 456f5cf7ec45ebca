// The command-line parser, run in a forked child per case so that the run
// state starts from its defaults every time.  The child reports the parsed
// values as "key=value" lines; the parent checks them with the result, the
// exit status left and what the parser printed.

#include <climits>
#include <cstdio>
#include <map>

#include "velk_Exclude.h"
#include "velk_ParseCmdLine.h"
#include "velk_ReadConfig.h"
#include "velk_StatusFifo.h"
#include "velk_unit_fixture.h"

namespace {

using Values = std::map<std::string, std::string>;

struct Parsed {
    std::string out, err;
    Values v;
};

Parsed parse(const std::vector<std::string> &args)
{
    velktest::ScratchDir dir;
    std::string outPath = dir / "out", errPath = dir / "err", resPath = dir / "res";
    velktest::ForkedChild child([&] {
        if (!velktest::redirectOutputToFiles(outPath, errPath))
            return 10;
        velk_rc_t config{};
        setDefaultOptions(&config);
        std::vector<std::string> copy{"velk"};
        copy.insert(copy.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &s : copy)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        velk_run_t run;
        velk_RunInit(&run);
        run.config = &config;
        velk_exclude_rules_t rules{};
        run.exclude = &rules;
        int rc = velk_ParseCmdLine(&run, static_cast<int>(copy.size()), argv.data());
        fflush(stdout);
        fflush(stderr);
        auto str = [](const char *s) { return s ? s : "(null)"; };
        FILE *res = fopen(resPath.c_str(), "w");
        fprintf(res, "rc=%d\nexit=%d\nfunction=%d\nflags=%u\noptind=%d\narchive=%s\nindex=%s\n", rc,
                velk_exit_code.load(), velk_function, velk_option_flags.load(), run.optind, str(velk_archive),
                str(velk_index_filename));
        fprintf(res, "debug=%d\niobufsize=%d\nthreads=%d\ntss=%d\nmaxfiles=%ld\ntime=%ld\n", velk_debug_level,
                run.xfer.iobufsize, run.xfer.maxThreads, run.xfer.threadStacksize, run.maxFiles, run.timeWindow);
        fprintf(res, "umask=%d\narchcos=%d\nidxcos=%d\nafam=%d\nifam=%d\ncopies=%d\nverify=%d\ninterval=%d\n",
                run.umask, velk_archive_cosID, run.index.cosId, run.archive.familyId, run.index.familyId,
                copyCount, run.verifyFlags, run.statusInterval);
        fprintf(res, "server=%s\nprincipal=%s\nacctid=%u\nacctname=%s\npipefd=%d\n",
                str(getenv("QUOR_SERVER_HOST")), str(getenv("QUOR_PRINCIPAL")), run.acctId, str(run.acctName),
                velk_status_pipefd);
        fclose(res);
        return 0;
    });
    EXPECT_TRUE(velktest::exitsWith(child, 0)) << "parser child";
    Parsed p{velktest::readFile(outPath), velktest::readFile(errPath), {}};
    for (const auto &line : velktest::lines(velktest::readFile(resPath)))
        p.v[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    return p;
}

std::vector<std::string> tf(std::vector<std::string> more)
{
    more.insert(more.begin(), {"-t", "-f", "a"});
    return more;
}

struct Case {
    std::vector<std::string> args;
    int rc;
    Values want;               // besides rc; "exit" too when given
    std::string err;           // a part of standard error ("" : no check)
    uint32_t set = 0, clear = 0;  // option flags that must be set / clear
    std::string out = "-";     // all of standard output ("-": no check)
};

TEST(ParseCmdLine, ValuesErrorsAndExitStatuses)
{
    const std::string V = std::to_string(VELK_OPT_VERBOSE);
    const std::string longName(1025, 'a');
    const int all = VELK_VERIFY_INFO | VELK_VERIFY_CRC | VELK_VERIFY_COMPARE;
    const Case cases[] = {
        // Letter groups: first argument without a dash, arguments attached or
        // separate, a dash inside a group, "--", the second operand ends options.
        {{"cvf", "a.tar", "dir"}, 0, {{"function", std::to_string(VOP_CREATE)}, {"archive", "a.tar"}, {"optind", "3"}},
         "", VELK_OPT_VERBOSE},
        {{"-t-f", "a.tar", "--", "-x"}, 0, {{"archive", "a.tar"}, {"optind", "4"}, {"function", std::to_string(VOP_LIST)}}, ""},
        {{"-t", "-f", "a.tar", "x", "-v"}, 0, {{"optind", "4"}}, "", 0, VELK_OPT_VERBOSE},
        {{"-v", "-f", "a.tar"}, -1, {}, "ERROR: No action specified (-c, -K, -t ,-x, -X).\n"},
        {{"-tzf", "a.tar"}, -1, {{"archive", "a.tar"}}, "ERROR: Unrecognized option: 'z'\n"},  // scanning goes on
        {{"-t", "-f", longName}, -1, {{"exit", "64"}}, "ERROR: archive path is longer than 1024 characters\n"},
        // Long options.
        {tf({"--crc", "--umask=027"}), 0, {{"umask", std::to_string(027)}}, "", VELK_OPT_CRC},
        {tf({"--exclude-from=/nonexistent/p", "--exclude-caches"}), -1, {{"exit", "64"}},
         "ERROR: velk_ExcludesAddFromFile: unable to open pattern file '/nonexistent/p' - No such file"},
        // Wildcard operands are patterns for later; parsing stops at the first operand.
        {tf({"a[1]", "-H", "noglob"}), 0, {{"optind", "4"}}, "", 0, VELK_OPT_NOGLOB},
        {tf({"-H", "noglob", "*.c"}), 0, {{"optind", "6"}}, "", VELK_OPT_NOGLOB},
        {tf({"a\\*b", "a[b", "x!"}), 0, {}, ""},  // escaped, unclosed, no wildcard
        {tf({"--crc=1"}), -1, {}, "ERROR: superfluous '=' argument for 'crc'\n"},
        {tf({"--bogus=1"}), -1, {}, "ERROR: Error - unrecognized option --bogus\n"},
        {tf({"--copies=9"}), -1, {}, "ERROR: Bad value '9' for  copies\nERROR: fatal error parsing 'copies' option\n"},
        // -H lists: a bad item skips the rest of the list.
        {tf({"-H", "crc:bogus:norecurse"}), -1, {{"exit", "64"}}, "ERROR: Unrecognized option: -Hbogus\n", VELK_OPT_CRC,
         VELK_OPT_NORECURSE},
        {tf({"-H", "noglob=1:crc"}), -1, {}, "ERROR: superfluous '=' argument for '-Hnoglob'\n", 0,
         VELK_OPT_NOGLOB | VELK_OPT_CRC},
        {tf({"-H", "verify=paranoid,all"}), 0, {{"verify", std::to_string(all)}}, ""},  // the order matters
        {tf({"-H", "verify=all,paranoid"}), 0, {{"verify", std::to_string(all | VELK_VERIFY_PARANOID)}}, ""},
        {tf({"-H", "family=3,4:copies=5:msg_interval=3600:acct=42"}), 0,
         {{"afam", "3"}, {"ifam", "4"}, {"copies", "5"}, {"interval", "3600"}, {"acctid", "42"}}, ""},
        {tf({"-H", "msg_interval=3601"}), -1, {}, "ERROR: Bad value '3601' for msg_interval\n"},
        {tf({"-H", "server=gw.example:port=65535"}), 0, {{"server", "gw.example/65535"}}, ""},
        {tf({"-H", "port=65536"}), -1, {}, "ERROR: Bad value for port option: 65536\n"},
        {tf({"-H", "tss=100mb"}), 0, {{"tss", "104857600"}}, ""},
        {tf({"-H", "tss=104857601"}), -1, {{"tss", "0"}}, "ERROR: Bad value for tss option: 104857601\n"},
        {tf({"-H", "tss=1"}), 0, {{"tss", std::to_string(PTHREAD_STACK_MIN)}}, ""},  // raised to the minimum
        // Values of the one-letter options.
        {tf({"-n", "2:6"}), 0, {{"time", "194400"}}, "", VELK_OPT_TIME_WINDOW},
        {tf({"-n", "1:2:3"}), -1, {}, "ERROR: -n 1:2:3 is invalid. Expecting \"days\",\"days:hours\",or \":hours\"\n"},
        {tf({"-n", "24855"}), 0, {}, ""},
        {tf({"-n", "24856"}), -1, {}, "-n 24856 is invalid. Expecting"},  // past 2^31-1 seconds
        {tf({"-M", "-1"}), 0, {{"maxfiles", "5000000"}},
         "ERROR: (-M option). This site does not allow an unrestricted number of files in an archive. 5000000 will "
         "be used\n"},
        {tf({"-M", "7000000"}), 0, {{"maxfiles", "5000000"}},
         "ERROR: -M 7000000 exceeds max value allowed. -M 5000000 will be used\n"},
        {tf({"-M", "0"}), 0, {{"maxfiles", "1000000"}}, "ERROR: Illegal value (0) for -M option ignored.\n"},
        {tf({"-S", "100k"}), 0, {{"iobufsize", "524288"}}, "", 0, 0,
         "INFO: Warning: minimum buffer size is 524288. -S  100k ignored - minimum buffer sized used\n"},
        {tf({"-S", "2047m"}), 0, {{"iobufsize", std::to_string(2047L << 20)}}, ""},
        {tf({"-S", "2g"}), -1, {{"exit", "64"}}, "ERROR: Bad value for -S option: 2g\n"},
        {tf({"-T", "0", "-v"}), -1, {}, "ERROR: Bad value for thread count: 0\n", 0, VELK_OPT_VERBOSE},  // stops
        {tf({"-d", "9"}), 0, {{"debug", "5"}}, ""},
        {tf({"-Y", ":5"}), 0, {{"archcos", "-1"}, {"idxcos", "5"}}, ""},
        {tf({"-l", "alice"}), 0, {{"principal", "alice"}}, "", VELK_OPT_LOGIN},
        // Tar's long options: a value in the same word or the next, long
        // options after the operands, "--verify" alone, -C's value.
        {{"--list", "--file", "a.tar", "x", "--verbose"}, 0,
         {{"function", std::to_string(VOP_LIST)}, {"archive", "a.tar"}, {"optind", "4"}}, "", VELK_OPT_VERBOSE},
        {tf({"--exclude", "--crc"}), 0, {}, "", 0, VELK_OPT_CRC},  // "--crc" is the pattern
        {tf({"x", "--verify"}), 0, {{"verify", std::to_string(all)}, {"optind", "4"}}, ""},
        {{"-xC", "d", "-f", "a.tar"}, 0, {{"function", std::to_string(VOP_EXTRACT)}, {"optind", "5"}}, ""},
        {tf({"x", "--file"}), -1, {}, "ERROR: missing or empty argument for 'file'\n"},
        {tf({"--no-gateway=1"}), -1, {}, "ERROR: superfluous '=' argument for 'no-gateway'\n"},
    };
    for (const Case &c : cases) {
        std::string name;
        for (const std::string &a : c.args)
            name += " " + a.substr(0, 20);
        SCOPED_TRACE(name);
        Parsed p = parse(c.args);
        EXPECT_EQ(p.v["rc"], std::to_string(c.rc));
        for (const auto &[key, value] : c.want)
            EXPECT_EQ(p.v[key], value) << key;
        EXPECT_TRUE(velkunit::contains(p.err, c.err)) << p.err;
        uint32_t flags = static_cast<uint32_t>(std::stoul(p.v["flags"]));
        EXPECT_EQ(flags & c.set, c.set);
        EXPECT_EQ(flags & c.clear, 0u);
        if (c.out != "-") {
            EXPECT_EQ(p.out, c.out);
        }
    }
}

} // namespace
