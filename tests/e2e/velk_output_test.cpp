// Output for scripts against a real kylgwd: --json records of the listing
// (read back by a JSON parser and rebuilt into the -tv lines byte for byte)
// and of every action, standard output holding nothing but records, the
// JSON summary as the last line on standard error; --names with awkward
// names; and a signal at the password prompt ending the run with its final
// line.

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <csignal>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "velk_gwsession.h"

namespace {

using velktest::readFile;
using velktest::writeFile;

// Reads JSON Lines (argv[2]) with a real parser.  "list": rebuilds every
// record into its -tv line (argv[3] holds the -tv output, argv[4] the
// archive) and checks the offsets and CRCs.  "action": checks that the
// records (argv[3]) name the members of the listing argv[2] with the action
// argv[4] and the outcome argv[5].  Names go back to bytes by the
// surrogateescape scheme.  Prints "ok" or what differs.
const char kChecker[] = R"PY(
import json, sys, time, zlib
CF = b'/tmp/VELK_CF_CHK_'  # the consistency member: listed, not extracted
def load(p):
    return [json.loads(l) for l in open(p, 'rb').read().decode('utf-8').splitlines()]
def raw(s):
    return s.encode('utf-8', 'surrogateescape')
def esc(b):
    letters = {7: b'a', 8: b'b', 12: b'f', 10: b'n', 13: b'r', 9: b't', 11: b'v', 0x5c: b'\\'}
    out = b''
    for c in b:
        if c in letters: out += b'\\' + letters[c]
        elif c < 0x20 or c == 0x7f: out += b'\\%03o' % c
        else: out += bytes([c])
    return out
recs = load(sys.argv[2])
if sys.argv[1] == 'list':
    want = []
    arch = open(sys.argv[4], 'rb').read()
    for r in recs:
        m, t, name = r['mode'], r['type'], raw(r['name'])
        perms = {'directory': 'd', 'symlink': 'l'}.get(t, '-') + ''.join(
            'rwx'[i % 3] if m & (0o400 >> i) else '-' for i in range(9))
        line = b'VELK: ' + perms.encode() + b' ' + (b'D' if r['deleted'] else b'') + b' '
        line += ('%s/%s %10d ' % (r['user'], r['group'], r['size'])).encode()
        line += time.strftime('%Y-%m-%d %H:%M', time.gmtime(r['mtime'])).encode() + b'  ' + esc(name)
        if t == 'directory' and not name.endswith(b'/'): line += b'/'
        if t == 'symlink': line += b' -> ' + esc(raw(r['link']))
        want.append(line)
        hdr = arch[r['offset']:r['offset'] + 100]
        assert hdr.startswith(name.rstrip(b'/')), (r, hdr)
        assert ('crc' in r) == (t == 'file'), r
        if t == 'file' and not name.startswith(CF):
            assert r['crc'] == zlib.crc32(open(name, 'rb').read()), r
    got = open(sys.argv[3], 'rb').read().split(b'\n')[:len(want)]
    assert got == want, (got, want)
else:
    acted = load(sys.argv[3])
    def members(rs):
        return sorted(raw(r['name']).rstrip(b'/') for r in rs if not raw(r['name']).startswith(CF))
    assert members(acted) == members(recs), (acted, recs)
    for a in acted:
        assert a['action'] == sys.argv[4] and a['outcome'] == sys.argv[5], a
print('ok')
)PY";

class VelkOutput : public velktest::VelkGatewayTest {
protected:
    // Runs the checker with args; its verdict.
    std::string check(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {"/usr/bin/python3", "-c", kChecker};
        argv.insert(argv.end(), args.begin(), args.end());
        velktest::RunOptions o;
        o.cwd = dir.path();
        auto r = velktest::run(argv, o);
        return r.out + r.err;
    }
};

std::string summary(const char *action, int status, const char *result)
{
    return std::string("{\"action\":\"") + action + "\",\"result\":\"" + result +
           "\",\"status\":" + std::to_string(status) + ",\"failures\":0}\n";
}

std::string lastLine(const std::string &text)
{
    auto lines = velktest::lines(text);
    return lines.empty() ? "" : lines.back() + "\n";
}

TEST_F(VelkOutput, JsonRecordsOfTheListingAndOfEveryAction)
{
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0750), 0);
    writeFile(dir / "d/a.txt", velktest::bytesOf(1500, 1));
    writeFile(dir / "d/we\nird \"q\" \\", "x");
    writeFile(dir / "d/caf\xe9", "latin-1 name");
    writeFile(dir / "d/caf\xc3\xa9", "utf-8 name");
    ASSERT_EQ(symlink("a.txt", (dir / "d/ln").c_str()), 0);
    ASSERT_EQ(velk({"-c", "-E", "-H", "crc", "-f", "a.tar", "d"}).status, 0);

    auto tv = velk({"-tv", "-E", "-f", "a.tar"});
    auto list = velk({"-t", "--json", "-E", "-f", "a.tar"});
    ASSERT_EQ(list.status, 0) << list.err;
    writeFile(dir / "tv.out", tv.out);
    writeFile(dir / "list.json", list.out);
    EXPECT_EQ(check({"list", "list.json", "tv.out", "a.tar"}), "ok\n") << list.out;
    // Nothing but the records: the six members and the consistency member.
    EXPECT_EQ(velktest::lines(list.out).size(), 7u) << list.out;
    EXPECT_NE(list.err.find("VELK: VELK SUCCESSFUL\n"), std::string::npos) << list.err;
    EXPECT_EQ(lastLine(list.err), summary("list", 0, "VELK SUCCESSFUL"));

    ASSERT_EQ(mkdir((dir / "out").c_str(), 0700), 0);
    struct Row {
        std::vector<std::string> args;
        const char *action, *outcome;
        std::string members; // the listing whose names are acted on
        std::string cwd;
    } rows[] = {
        {{"-x", "-I", dir / "a.tar.idx"}, "extract", "ok", "list.json", dir / "out"},
        {{"-K"}, "verify", "ok", "list.json", dir.path()},
        {{"-X", "-I", "rebuilt.idx"}, "buildindex", "indexed", "list.json", dir.path()},
        {{"-D"}, "delete", "deleted", "a.json", dir.path()},
        {{"-U"}, "undelete", "undeleted", "a.json", dir.path()},
    };
    writeFile(dir / "a.json", "{\"name\":\"d/a.txt\"}\n");
    for (const Row &row : rows) {
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"--json", "-E", "-f", dir / "a.tar"});
        if (row.members == "a.json")
            args.push_back("d/a.txt");
        velktest::RunOptions o = velkOptions();
        o.cwd = row.cwd;
        auto r = velktest::runVelk(args, o);
        EXPECT_EQ(r.status, 0) << row.action << r.err;
        writeFile(dir / "acted.json", r.out);
        EXPECT_EQ(check({"action", row.members, "acted.json", row.action, row.outcome}), "ok\n") << r.out;
        EXPECT_EQ(lastLine(r.err), summary(row.action, 0, "VELK SUCCESSFUL")) << r.err;
    }
    EXPECT_EQ(readFile(dir / "out/d/a.txt"), velktest::bytesOf(1500, 1));
}

TEST_F(VelkOutput, FailedRunsEndWithTheirSummaryAndNamesAreBare)
{
    writeFile(dir / "we\nird", "1");
    writeFile(dir / "tab\there", "2");
    writeFile(dir / "plain", "3");
    ASSERT_EQ(velk({"-c", "-E", "-f", "a.tar", "we\nird", "tab\there", "plain"}).status, 0);

    auto names = velk({"-t", "--names", "-E", "-f", "a.tar"});
    EXPECT_EQ(names.status, 0) << names.err;
    // The members, then the consistency member, as -t lists them.
    EXPECT_EQ(names.out.rfind("we\\nird\ntab\\there\nplain\n/tmp/VELK_CF_CHK_", 0), 0u) << names.out;
    EXPECT_EQ(velktest::lines(names.out).size(), 4u) << names.out;
    EXPECT_NE(names.err.find("VELK: VELK SUCCESSFUL\n"), std::string::npos) << names.err;

    // A member that is not there: its record says so, the summary too.
    auto missing = velk({"-x", "--json", "-E", "-f", "a.tar", "nosuch"});
    EXPECT_EQ(missing.status, 72);
    EXPECT_EQ(missing.out, "{\"name\":\"nosuch\",\"action\":\"extract\",\"outcome\":\"failed\",\"reason\":\"not found "
                           "in archive\"}\n");
    EXPECT_EQ(lastLine(missing.err), "{\"action\":\"extract\",\"result\":\"VELK FAILED\",\"status\":72,\"failures\":1}\n");

    // Records that cannot be written (standard output on a full device):
    // the member is still extracted, but a script would miss it, so the
    // run fails and says why on standard error.
    unlink((dir / "plain").c_str());
    auto full = velktest::run({"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full", velktest::velkBinary(), "-x",
                               "--json", "-E", "-f", "a.tar", "plain"},
                              velkOptions());
    EXPECT_EQ(full.status, 72) << full.err;
    EXPECT_TRUE(velktest::exists(dir / "plain"));
    EXPECT_NE(full.err.find("VELK: failures: 1 record not written; exit status 72\n"), std::string::npos) << full.err;
    EXPECT_EQ(lastLine(full.err), "{\"action\":\"extract\",\"result\":\"VELK FAILED\",\"status\":72,\"failures\":1}\n");

    struct Refusal {
        std::vector<std::string> args;
        const char *message;
    } refusals[] = {
        {{"-t", "--json", "--names"}, "ERROR: --json and --names cannot be used together\n"},
        {{"-x", "--names"}, "ERROR: --names works only with -t\n"},
        {{"-x", "-O", "--json"}, "ERROR: --json and --names cannot be used with -O\n"},
        {{"-c", "--json", "plain"}, "ERROR: --json works only with -t, -x, -K, -X, -D and -U\n"},
    };
    for (const Refusal &f : refusals) {
        std::vector<std::string> args = f.args;
        args.insert(args.end(), {"-E", "-f", "b.tar"});
        auto r = velk(args);
        EXPECT_EQ(r.status, 64) << f.message;
        EXPECT_NE(r.err.find(f.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << f.message;
    }
}

// A person who presses Ctrl-C, or a SIGTERM, at the password prompt: the
// run ends at once with its final line, long before the grace period's kill.
TEST_F(VelkOutput, SignalAtThePasswordPromptEndsTheRun)
{
    const std::string ids = "    uid = " + std::to_string(getuid()) + "\n    gid = " + std::to_string(getgid()) +
                            "\n    home = /home\n";
    gw.stop();
    ASSERT_TRUE(startGateway("", "", "  alice = {\n    password = " + velktest::hashPassword("pw-1") + "\n" + ids +
                                         "  }\n"));
    std::map<std::string, std::string> env = {
        {"QUOR_AUTH_METHOD", "combo"}, {"QUOR_PRINCIPAL", "alice"}, {"QUOR_KEYTAB_PATH", ""}, {"TERM", "dumb"}};
    const std::string prompt = "[alice]Password: ";
    struct Row {
        const char *what;
        std::vector<std::pair<std::string, std::string>> dialogue;
        std::pair<std::string, int> signalAt;
    } rows[] = {
        {"wrong then Ctrl-C", {{prompt, "guess"}, {prompt, "\x03"}}, {"", 0}},
        {"SIGTERM", {}, {prompt, SIGTERM}},
    };
    for (const Row &row : rows) {
        const auto start = std::chrono::steady_clock::now();
        auto r = velktest::runOnPty({velktest::velkBinary(), "-t", "-E", "-f", "a.tar"}, wholeEnv(env), dir.path(),
                                    row.dialogue, row.signalAt);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_FALSE(r.timedOut) << row.what;
        EXPECT_LT(took, std::chrono::seconds(20)) << row.what; // the grace period is 30 s
        EXPECT_NE(r.status, 0) << row.what;
        EXPECT_NE(r.text.find("VELK: VELK FAILED DUE TO FORCED SHUTDOWN"), std::string::npos) << row.what << r.text;
        EXPECT_EQ(r.text.find("guess"), std::string::npos) << r.text; // echo stayed off
        // A wrong password is called wrong before the prompt comes again.
        const size_t wrong = r.text.find("Wrong password or passcode; try again.");
        if (!row.dialogue.empty()) {
            EXPECT_LT(wrong, r.text.rfind(prompt)) << r.text;
        }
    }
}

} // namespace
