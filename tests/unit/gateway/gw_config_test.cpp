// kylgwd's configuration file (site values, classes of service, users with
// their PAM scripts, refusals and retry-later values) and the fault script:
// the number forms and defaults that carry logic, automatic class selection
// by size, and every error with its file and line, a failed load changing
// nothing.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gw_config.h"
#include "gw_cos.h"
#include "gw_faults.h"
#include "gw_users.h"
#include "velk_testsupport.h"

namespace {

struct Loaded {
    gw_config_t cfg{};
    std::string err;
    Loaded() { gw_ConfigDefaults(&cfg, 1); }
    ~Loaded() { gw_ConfigFree(&cfg); }
    int load(const std::string &text) { return gw_ConfigLoadText("c.conf", text, &cfg, &err); }
};

std::string userWith(const std::string &lines)
{
    return "Users = {\n  alice = {\n    uid = 1\n    gid = 1\n    home = /h\n" + lines + "  }\n}\n";
}

// before + i + after for i from 1 to n: lists one past a cap.
std::string numbered(int n, const std::string &before, const std::string &after)
{
    std::string s;
    for (int i = 1; i <= n; i++)
        s += before + std::to_string(i) + after;
    return s;
}

TEST(GwConfig, SiteValuesInDecimalHexAndOctal)
{
    Loaded l;
    EXPECT_EQ(l.cfg.site.startupCOS, 11u);
    EXPECT_EQ(l.cfg.site.umask, 022u);
    ASSERT_EQ(l.load("# site values\nSite = {\n  auth_crypto_card = 0x3\n  umask = 077\n  sv_patch = 4294967295\n"
                     "  startupCOS = 8\n}\n"),
              0)
        << l.err;
    EXPECT_EQ(l.cfg.site.auth_crypto_card, 3u);
    EXPECT_EQ(l.cfg.site.umask, 63u);
    EXPECT_EQ(l.cfg.site.sv_patch, 4294967295u);
    EXPECT_EQ(l.cfg.site.startupCOS, 8u);
    velktest::ScratchDir dir;
    EXPECT_EQ(gw_ConfigLoad((dir / "none.conf").c_str(), &l.cfg, &l.err), -1);
    EXPECT_NE(l.err.find("none.conf"), std::string::npos) << l.err;
}

TEST(GwConfig, ErrorsNameFileAndLineAndChangeNothing)
{
    const struct {
        std::string text;
        int line;
        const char *message;
    } cases[] = {
        {"Site = {\n umask = 0\n colour = red\n}\n", 3, "unknown key 'colour'"},
        {"Site = {\n umask = 0\n}\nUsers2 = {\n}\n", 4, "unknown section"},
        {"Site = {\n umask = 0\n app_copies = two\n}\n", 3, "'app_copies'"},
        {"Site = {\n umask = 0\n sv_patch = 4294967296\n}\n", 3, "'sv_patch'"},
        {"Site = {\n allow_weak_keytab = 1\n}\n", 2, "'allow_weak_keytab' needs yes or no"},
        {"Site = 1\n", 1, "'Site' must be a section"},
        {"Site = {\n umask = 0\n", 1, ""},
        {"COS = {\n 1 = {\n name = a\n default = yes\n }\n}\n", 1, "the COS section must hold class 11"},
        {"COS = {\n 11 = {\n name = a\n }\n}\n", 1, "the COS section names no default class"},
        {"COS = {\n 11 = {\n name = a\n colour = red\n }\n}\n", 4, "unknown key 'colour' in class 11"},
        {"COS = {\n 11 = {\n name = a\n width = 0\n }\n}\n", 4, "bad value for 'width' in class 11"},
        {"COS = {\n 11 = {\n name = a\n tape = maybe\n }\n}\n", 4, "bad value for 'tape' in class 11"},
        {"COS = {\n 11 = {\n name = a\n min = 9\n max = 3\n }\n}\n", 2, "class 11: max is below min"},
        {"COS = {\n 11 = {\n width = 2\n }\n}\n", 2, "class 11 has no name"},
        {"COS = {\n x = {\n name = a\n }\n}\n", 2, "class id 'x' is not a number above 0"},
        {"COS = {\n 11 = 4\n}\n", 2, "class 11 must be a section"},
        {"COS = {\n 11 = {\n name = a\n default = yes\n }\n 11 = {\n name = b\n }\n}\n", 6, "class 11 given twice"},
        {"COS = {\n 11 = {\n name = a\n default = yes\n }\n 2 = {\n name = b\n default = yes\n }\n}\n", 6,
         "a second default class (2)"},
        {"COS = {\n 11 = {\n name = a\n default = yes\n }\n}\nCOS = {\n}\n", 7, "a second 'COS' section"},
        {userWith("    shell = /bin/sh\n"), 6, "unknown key 'shell' for user alice"},
        {userWith("    password = s3cret\n"), 6, "'password' needs a crypt(3) hash"},
        {userWith("    uid = root\n"), 6, "'uid' needs a decimal number"},
        {userWith("    home = home/a\n"), 6, "'home' needs an absolute path"},
        {userWith("    accounts = 1:a 2:\n"), 6, "'accounts' needs code:name"},
        {userWith("    groups = 1 wheel\n"), 6, "'groups' needs decimal group"},
        {userWith("    keytab = a.kt\n"), 6, "must be an absolute path"},
        {userWith("    keytab = /nonexistent/a.kt\n"), 6, "cannot be opened"},
        {userWith("    refuse = 5,stop\n"), 6, "'refuse' needs CODE"},
        {userWith("    retry_later = 5\n"), 6, "'retry_later' needs SECONDS,TEXT"},
        {userWith("    token_code\n"), 6, "'token_code' needs a value"},
        {userWith("    extra = {\n    }\n"), 6, "'extra' needs a value"},
        {"Users = {\n  alice = 1\n}\n", 2, "'alice' in Users must be a section: alice = { ... }"},
        {"Users = {\n  a = {\n    uid = 1\n    home = /a\n  }\n}\n", 2, "user a needs uid, gid and home"},
        {"Users = {\n a = {\n uid = 1\n gid = 1\n home = /a\n }\n a = {\n }\n}\n", 7, "user a is defined twice"},
        {"Users = {\n}\nUsers = {\n}\n", 3, "a second 'Users' section"},
        {"Users = 3\n", 1, "'Users' must be a section: Users = { ... }"},
        {"Site = {\n mover_key = k.key\n}\n", 2, "'mover_key' needs the absolute path"},
        {"Movers = {\n}\n", 1, "section Movers names no mover daemon"},
        {"Movers = {\n m1 = 10.0.0.2:1218\n}\n", 2, "'m1' must be a section"},
        {"Movers = {\n m1 = {\n weight = 2\n }\n}\n", 2, "mover daemon 'm1' has no address"},
        {"Movers = {\n m1 = {\n address = 10.0.0.2\n }\n}\n", 3, "address needs HOST:PORT"},
        {"Movers = {\n m1 = {\n address = 10.0.0.2:0\n }\n}\n", 3, "address needs HOST:PORT"},
        {"Movers = {\n m1 = {\n address = a:1\n weight = 0\n }\n}\n", 4, "weight needs a number from 1 to 64"},
        {"Movers = {\n m1 = {\n address = a:1\n weight = 65\n }\n}\n", 4, "weight needs a number"},
        {"Movers = {\n m1 = {\n address = a:1\n port = 2\n }\n}\n", 4, "unknown key 'port'"},
        {"Movers = {\n m = {\n address = a:1\n }\n m = {\n address = b:1\n }\n}\n", 5, "named twice"},
        {"Movers = {\n m = {\n address = a:1\n }\n}\nMovers = {\n}\n", 6, "a second 'Movers' section"},
        {"Movers = {\n" + numbered(65, " m", " = {\n  address = a:1\n }\n") + "}\n", 194, "more than 64 mover daemons"},
        {"COS = {\n" + numbered(257, " ", " = {\n  name = a\n }\n") + "}\n", 770, "more than 256 classes"},
        {"COS = {\n 0 = {\n name = a\n }\n}\n", 2, "class id '0' is not a number above 0"},
        {"COS = {\n 11 = {\n name = a\n width = 257\n }\n}\n", 4, "bad value for 'width' in class 11"},
        {"COS = {\n 11 = {\n name = " + std::string(32, 'n') + "\n }\n}\n", 3, "bad value for 'name' in class 11"},
        {userWith("    groups = " + numbered(65, "", " ") + "\n"), 6, "'groups' lists more than 64 groups"},
        {userWith("    accounts = " + numbered(65, "", ":a ") + "\n"), 6, "'accounts' lists more than 64 accounts"},
        {"Users = {\n " + std::string(257, 'u') + " = {\n }\n}\n", 2, "a user name has 1 to 256 characters"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Loaded l;
        EXPECT_EQ(l.load(c.text), -1);
        EXPECT_EQ(l.err.rfind("c.conf:" + std::to_string(c.line) + ": ", 0), 0u) << l.err;
        EXPECT_NE(l.err.find(c.message), std::string::npos) << l.err;
        EXPECT_EQ(l.cfg.site.umask, 022u);
        EXPECT_EQ(gw_ConfigCos(&l.cfg), gw_CosBuiltin());
        EXPECT_EQ(l.cfg.users, nullptr);
        EXPECT_TRUE(l.cfg.movers.empty());
    }
}

TEST(GwConfig, MoversSectionAndKeyFile)
{
    Loaded l;
    EXPECT_TRUE(l.cfg.movers.empty());
    ASSERT_EQ(l.load("Site = {\n mover_key = /etc/k\n}\nMovers = {\n m1 = {\n  address = 10.0.0.2:1218\n"
                     "  weight = 3\n }\n m2 = {\n  address = [::1]:7\n }\n}\n"),
              0)
        << l.err;
    EXPECT_EQ(l.cfg.moverKey, "/etc/k");
    ASSERT_EQ(l.cfg.movers.size(), 2u);
    EXPECT_EQ(l.cfg.movers[0].name, "m1");
    EXPECT_EQ(l.cfg.movers[0].host, "10.0.0.2");
    EXPECT_EQ(l.cfg.movers[0].port, 1218);
    EXPECT_EQ(l.cfg.movers[0].weight, 3u);
    EXPECT_EQ(l.cfg.movers[1].host, "::1");
    EXPECT_EQ(l.cfg.movers[1].weight, 1u);
}

TEST(GwCos, SectionIsReadAndClassesAreSelectedBySize)
{
    Loaded l;
    ASSERT_EQ(l.load("COS = {\n  1 = {\n    name = small\n    width = 1\n    block = 65536\n    min = 0\n"
                     "    max = 1000\n  }\n  8 = {\n    name = big\n    width = 8\n    block = 786432\n    min = 1001\n"
                     "    max = 0\n    tape = yes\n  }\n  11 = {\n    name = fallback\n    width = 2\n"
                     "    block = 0x100000\n    default = yes\n  }\n}\n"),
              0)
        << l.err;
    const gw_costable_t *t = gw_ConfigCos(&l.cfg);
    ASSERT_EQ(t->count, 3u);
    EXPECT_TRUE(gw_CosFind(t, 8)->tape);
    EXPECT_EQ(gw_CosFind(t, 4), nullptr);
    EXPECT_EQ(gw_CosDefault(t)->id, 11u);
    const std::pair<uint64_t, uint32_t> loaded[] = {{0, 1}, {1000, 1}, {1001, 8}, {UINT64_MAX, 8}};
    for (const auto &[size, id] : loaded)
        EXPECT_EQ(gw_CosForSize(t, size)->id, id) << size;
}

TEST(GwUsers, GroupsDefaultToTheGidAndALoadReplacesTheUsers)
{
    Loaded l;
    ASSERT_EQ(l.load("Users = {\n  alice = {\n    uid = 1000\n    gid = 100\n    groups = 100, 27 4\n"
                     "    home = /home/alice\n  }\n  bob = {\n    uid = 7\n    gid = 8\n    home = /b\n  }\n}\n"),
              0)
        << l.err;
    EXPECT_EQ(gw_UserFind(l.cfg.users, "alice")->groups, (std::vector<uint32_t>{100, 27, 4}));
    EXPECT_EQ(gw_UserFind(l.cfg.users, "bob")->groups, std::vector<uint32_t>{8});
    EXPECT_EQ(gw_UserFind(l.cfg.users, "alic"), nullptr);
    // A second load replaces the users; a failed one keeps them.
    ASSERT_EQ(l.load("Users = {\n b = {\n uid = 1\n gid = 1\n home = /b\n }\n}\n"), 0) << l.err;
    EXPECT_EQ(gw_UserFind(l.cfg.users, "alice"), nullptr);
    EXPECT_NE(l.load(userWith("    colour = red\n")), 0);
    EXPECT_NE(gw_UserFind(l.cfg.users, "b"), nullptr);

    // A PAM script's own error names the script and its line.
    velktest::ScratchDir dir;
    velktest::writeFile(dir / "bad.pam", "4 hello\n1 Password:\n");
    EXPECT_EQ(l.load(userWith("    pam_script = " + (dir / "bad.pam") + "\n")), -1);
    EXPECT_NE(l.err.find("c.conf:6: user alice: 'pam_script' " + (dir / "bad.pam") +
                         ": line 2: the prompt has no answer line"),
              std::string::npos)
        << l.err;
}

TEST(GwPamScript, RoundsPromptsAnswersAndLimits)
{
    std::vector<gw_pam_round_t> rounds;
    std::string err;
    // An answer line is taken as it stands, even one that looks like a
    // message or a comment; blank lines (several) separate rounds.
    ASSERT_EQ(gw_PamScriptParse("# first round\n1 Password: \n# not a comment\n2 Name? \n4 x\n3 Oops \n\n\n"
                                "4 second\n1 PIN:\n\n",
                                &rounds, &err),
              0)
        << err;
    ASSERT_EQ(rounds.size(), 2u);
    ASSERT_EQ(rounds[0].size(), 3u);
    EXPECT_EQ(rounds[0][0].style, 1u);
    EXPECT_EQ(rounds[0][0].text, "Password: ");
    EXPECT_EQ(rounds[0][0].answer, "# not a comment");
    EXPECT_EQ(rounds[0][1].answer, "4 x");
    EXPECT_EQ(rounds[0][2].style, 3u);
    ASSERT_EQ(rounds[1].size(), 2u);
    EXPECT_EQ(rounds[1][1].answer, ""); // an empty answer is an answer

    std::string full, many;
    for (size_t i = 0; i < GW_PAM_MSGS_MAX; i++)
        full += "4 m\n";
    for (size_t i = 0; i <= GW_PAM_ROUNDS_MAX; i++)
        many += "4 r\n\n";
    EXPECT_EQ(gw_PamScriptParse(full, &rounds, &err), 0) << err;
    const std::pair<std::string, std::string> bad[] = {
        {"4 a\n5 b\n", "line 2: a message is \"<style 1-4> <text>\""},
        {"4a\n", "line 1: a message is \"<style 1-4> <text>\""},
        {"\n# nothing\n\n", "the script holds no message"},
        {"1 p\n" + std::string(GW_PAM_TEXT_MAX + 1, 'a') + "\n", "line 2: answer longer than 510 characters"},
        {"4 " + std::string(GW_PAM_TEXT_MAX + 1, 'a') + "\n", "line 1: text longer than 510 characters"},
        {std::string("4 a\0b\n", 6), "line 1: holds a NUL byte"},
        {full + "4 one too many\n", "line 33: more than 32 messages in one round"},
        {many, "line 18: more than 8 rounds"},
    };
    for (const auto &[text, message] : bad) {
        EXPECT_EQ(gw_PamScriptParse(text, &rounds, &err), -1) << message;
        EXPECT_EQ(err, message);
    }
}

TEST(GwUsers, RefusalRetryLaterAndPasswordValues)
{
    const struct {
        const char *value;
        int rc;
        int32_t code;
        bool stop;
        const char *text;
    } refusals[] = {
        {"-43000", 0, -43000, false, ""},       {"-50512,stop", 0, -50512, true, ""},
        {"-50512,stop,too many, really", 0, -50512, true, "too many, really"},
        {"-1,stopped", 0, -1, false, "stopped"}, {"0", -1}, {"-0", -1},
        {"-", -1},                              {"-2147483649", -1},
        {"-5x,stop", -1},
    };
    for (const auto &c : refusals) {
        gw_refusal_t r;
        ASSERT_EQ(gw_ParseRefusal(c.value, &r), c.rc) << c.value;
        if (c.rc == 0) {
            EXPECT_EQ(r.code, c.code) << c.value;
            EXPECT_EQ(r.stop, c.stop) << c.value;
            EXPECT_EQ(r.text, c.text) << c.value;
        }
    }
    gw_retry_later_t l;
    ASSERT_EQ(gw_ParseRetryLater("2,Come back", &l), 0);
    EXPECT_EQ(l.seconds, 2u);
    EXPECT_EQ(l.text, "Come back");
    ASSERT_EQ(gw_ParseRetryLater("0,", &l), 0);
    EXPECT_EQ(l.text, "");
    EXPECT_EQ(gw_ParseRetryLater("86401,x", &l), -1);
    EXPECT_EQ(gw_ParseRetryLater("-1,x", &l), -1);

    std::string h1, h2;
    ASSERT_EQ(gw_HashPassword("correct horse", &h1), 0);
    ASSERT_EQ(gw_HashPassword("correct horse", &h2), 0);
    EXPECT_NE(h1, h2); // fresh salt each time
    EXPECT_TRUE(gw_PasswordMatches(h2, "correct horse"));
    EXPECT_FALSE(gw_PasswordMatches(h1, "correct hors"));
    EXPECT_FALSE(gw_PasswordMatches(h1, ""));
    EXPECT_FALSE(gw_PasswordMatches("", "correct horse"));
    EXPECT_FALSE(gw_PasswordMatches("$6$bogus", "correct horse"));
}

// The keys the velk end-to-end tests use (down, proto, siteinfo_err,
// pam_count, retry_later) show their effect there; the others are read here.
TEST(GwFaults, EveryOtherKeyAndItsValueForms)
{
    gw_faults_t f;
    std::vector<std::string> problems;
    gw_FaultsParse("# comment\nrunmode=3\ngarbage_header\nunsolicited\ndelay_reply=1792/257, 250\n"
                   "drop_conn=1280/3840\nreply_nobody=256/1\ntruncate_body=quor_Logmsg\n"
                   "refuse=-50512,stop,Too many, really\nreconnect=-51035\ncombo_wrong=3\ntoken_next\nretry_count=0\n"
                   "cleartext_pw\ncipher=GARBLE\ndh=g1\npam_style=5\nbusy_open=1\nenospc_seek=2\nmkdir_eagain=3\n"
                   "deny=/home/a/s\nnotdir=/home/a/f\nreadattrs_count=+1\nnames_count=-1\n",
                   &f, &problems);
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_TRUE(f.runmodeSet && f.runmode == 3);
    EXPECT_TRUE(f.garbageHeader && f.unsolicited);
    EXPECT_TRUE(gw_FaultOpIs(f.dropConn, 1280, 3840));
    EXPECT_FALSE(gw_FaultOpIs(f.dropConn, 1280, 3841));
    EXPECT_TRUE(gw_FaultOpIs(f.replyNobody, 256, 1));
    EXPECT_TRUE(f.reconnectSet && f.reconnectResult == -51035);
    EXPECT_EQ(f.comboWrong, 3u);
    EXPECT_TRUE(f.tokenNext && f.retryCountSet && f.retryCount == 0 && f.cleartextPw && f.cipherGarble);
    EXPECT_TRUE(f.busyOpen == 1 && f.enospcSeek == 2 && f.mkdirEagain == 3);
    EXPECT_EQ(f.denyPrefix, "/home/a/s");
    EXPECT_EQ(f.notdirPath, "/home/a/f");
    EXPECT_TRUE(gw_FaultOpIs(f.delayReply, 1792, 257));
    EXPECT_EQ(f.delayMs, 250u);
    EXPECT_TRUE(gw_FaultOpIs(f.truncateBody, 1792, 257)); // a catalogue name
    EXPECT_TRUE(f.refuse.set && f.refuse.stop && f.refuse.code == -50512 && f.refuse.text == "Too many, really");
    EXPECT_EQ(f.dh, gw_dh_fault_t::g1);
    EXPECT_TRUE(f.pamStyleSet && f.pamStyle == 5);
    EXPECT_TRUE(f.readattrsCountPlusOne && f.namesCountMinusOne);

    // A new parse starts from no faults.
    std::vector<std::string> none;
    gw_FaultsParse("reconnect=ok\ndh=weak\n", &f, &none);
    EXPECT_TRUE(none.empty());
    EXPECT_TRUE(f.reconnectSet && f.reconnectResult == 0);
    EXPECT_EQ(f.dh, gw_dh_fault_t::weak);
    EXPECT_FALSE(f.refuse.set || f.garbageHeader || f.delayReply.set || f.runmodeSet || f.readattrsCountPlusOne);
}

TEST(GwFaults, LoadReadsTheFileCapsItsSizeAndAMissingFileMeansNoFaults)
{
    velktest::ScratchDir dir;
    velktest::writeFile(dir / "faults", "runmode=3\n" + std::string(GW_FAULTS_MAX_BYTES, '#') + "\ndown=9\n");
    gw_faults_t f;
    std::vector<std::string> problems;
    ASSERT_EQ(gw_FaultsLoad((dir / "faults").c_str(), &f, &problems), 0);
    EXPECT_TRUE(f.runmodeSet);
    EXPECT_EQ(f.down, 0u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("longer than"), std::string::npos) << problems[0];
    ASSERT_EQ(gw_FaultsLoad((dir / "absent").c_str(), &f, &problems), 0);
    EXPECT_FALSE(f.runmodeSet);
}

} // namespace
