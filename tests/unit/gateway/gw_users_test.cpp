// The users section of kylgwd's configuration, PAM scripts, refusal texts
// and password hashes, including the --hash-password command of the real
// binary.

#include <gtest/gtest.h>

#include <ostream>

#include "gw_config.h"
#include "gw_users.h"
#include "velk_testsupport.h"

#include <crypt.h>
#include <string>
#include <sys/stat.h>

namespace {

// A hash of "s3cret" made with crypt(3) directly (sha512-crypt, fixed salt).
std::string hashOf(const char *password)
{
    struct crypt_data cd {};
    const char *h = crypt_r(password, "$6$saltsaltsalt$", &cd);
    return h != nullptr ? h : "";
}

struct UsersFile {
    velktest::ScratchDir dir;
    gw_config_t cfg{};
    std::string err;

    UsersFile() { gw_ConfigDefaults(&cfg, 1); }
    ~UsersFile() { gw_ConfigFree(&cfg); }

    int load(const std::string &text) { return gw_ConfigLoadText("users.conf", text, &cfg, &err); }
};

TEST(GwUsers, FullEntryIsRead)
{
    UsersFile f;
    velktest::writeFile(f.dir / "alice.kt", "KEYTAB-BYTES");
    velktest::writeFile(f.dir / "alice.pam", "1 Password: \nsesame\n4 Welcome\n\n2 Colour? \nblue\n");
    const std::string pw = hashOf("s3cret");
    ASSERT_EQ(f.load("Site = {\n  umask = 027\n}\nUsers = {\n  alice = {\n    password = " + pw +
                     "\n    uid = 1000\n    gid = 100\n    groups = 100, 27 4\n    home = /home/alice\n"
                     "    default_account = 2\n    accounts = 1:alpha 2:beta\n    keytab = " +
                     (f.dir / "alice.kt") + "\n    pam_script = " + (f.dir / "alice.pam") +
                     "\n    token_code = " + pw +
                     "\n    refuse = -50512,stop,Per-host limit\n    retry_later = 2,Come back soon\n  }\n"
                     "  bob = {\n    uid = 7\n    gid = 8\n    home = /b\n  }\n}\n"),
              0)
        << f.err;
    EXPECT_EQ(f.cfg.site.umask, 027u);
    ASSERT_NE(f.cfg.users, nullptr);
    ASSERT_EQ(f.cfg.users->users.size(), 2u);
    const gw_user_t *a = gw_UserFind(f.cfg.users, "alice");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->passwordHash, pw);
    EXPECT_EQ(a->uid, 1000u);
    EXPECT_EQ(a->gid, 100u);
    EXPECT_EQ(a->groups, (std::vector<uint32_t>{100, 27, 4}));
    EXPECT_EQ(a->home, "/home/alice");
    EXPECT_EQ(a->defaultAccount, 2u);
    ASSERT_EQ(a->accounts.size(), 2u);
    EXPECT_EQ(a->accounts[1].code, 2u);
    EXPECT_EQ(a->accounts[1].name, "beta");
    EXPECT_EQ(a->keytabPath, f.dir / "alice.kt");
    ASSERT_EQ(a->pam.size(), 2u);
    ASSERT_EQ(a->pam[0].size(), 2u);
    EXPECT_EQ(a->pam[0][0].text, "Password: ");
    EXPECT_EQ(a->pam[0][0].answer, "sesame");
    EXPECT_EQ(a->pam[1][0].style, 2u);
    EXPECT_EQ(a->tokenCodeHash, pw);
    EXPECT_TRUE(a->refuse.set);
    EXPECT_EQ(a->refuse.code, -50512);
    EXPECT_TRUE(a->refuse.stop);
    EXPECT_EQ(a->refuse.text, "Per-host limit");
    EXPECT_TRUE(a->retryLater.set);
    EXPECT_EQ(a->retryLater.seconds, 2u);
    EXPECT_EQ(a->retryLater.text, "Come back soon");

    // Defaults: the groups are the gid, no password, keytab, PAM or refusal.
    const gw_user_t *b = gw_UserFind(f.cfg.users, "bob");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->groups, std::vector<uint32_t>{8});
    EXPECT_TRUE(b->passwordHash.empty());
    EXPECT_TRUE(b->pam.empty());
    EXPECT_FALSE(b->refuse.set);
    EXPECT_EQ(gw_UserFind(f.cfg.users, "carol"), nullptr);
    EXPECT_EQ(gw_UserFind(f.cfg.users, "alic"), nullptr);
}

TEST(GwUsers, ASecondLoadReplacesTheUsersAndAFailedOneKeepsThem)
{
    UsersFile f;
    ASSERT_EQ(f.load("Users = {\n a = {\n uid = 1\n gid = 1\n home = /a\n }\n}\n"), 0) << f.err;
    ASSERT_EQ(f.load("Users = {\n b = {\n uid = 1\n gid = 1\n home = /b\n }\n}\n"), 0) << f.err;
    EXPECT_EQ(gw_UserFind(f.cfg.users, "a"), nullptr);
    EXPECT_NE(gw_UserFind(f.cfg.users, "b"), nullptr);
    EXPECT_NE(f.load("Users = {\n c = {\n uid = 1\n gid = 1\n home = /c\n colour = red\n }\n}\n"), 0);
    EXPECT_NE(gw_UserFind(f.cfg.users, "b"), nullptr);
    EXPECT_EQ(gw_UserFind(f.cfg.users, "c"), nullptr);
}

struct BadUsers {
    const char *name;
    std::string body; // the inside of one user's section
    const char *message;
    unsigned line;
};

// Test names carry the case's name, not its bytes, so they stay the same
// from build to build.
void PrintTo(const BadUsers &c, std::ostream *os)
{
    *os << c.name;
}

class GwUsersError : public ::testing::TestWithParam<BadUsers> {};

TEST_P(GwUsersError, NamesFileLineAndProblem)
{
    UsersFile f;
    const BadUsers &b = GetParam();
    std::string text = "Users = {\n  alice = {\n    uid = 1\n    gid = 1\n    home = /h\n" + b.body + "  }\n}\n";
    EXPECT_EQ(f.load(text), -1);
    EXPECT_EQ(f.err.rfind("users.conf:" + std::to_string(b.line) + ": ", 0), 0u) << f.err;
    EXPECT_NE(f.err.find(b.message), std::string::npos) << f.err;
    EXPECT_EQ(f.cfg.users, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GwUsersError,
    ::testing::Values(BadUsers{"UnknownKey", "    shell = /bin/sh\n", "unknown key 'shell' for user alice", 6},
                      BadUsers{"PlainPassword", "    password = s3cret\n", "'password' needs a crypt(3) hash", 6},
                      BadUsers{"UidNotANumber", "    uid = root\n", "'uid' needs a decimal number", 6},
                      BadUsers{"HugeGid", "    gid = 4294967296\n", "'gid' needs a decimal number", 6},
                      BadUsers{"RelativeHome", "    home = home/a\n", "'home' needs an absolute path", 6},
                      BadUsers{"AccountWithoutName", "    accounts = 1:a 2:\n", "'accounts' needs code:name", 6},
                      BadUsers{"GroupWord", "    groups = 1 wheel\n", "'groups' needs decimal group", 6},
                      BadUsers{"RelativeKeytab", "    keytab = a.kt\n", "must be an absolute path", 6},
                      BadUsers{"MissingKeytab", "    keytab = /nonexistent/a.kt\n", "cannot be opened", 6},
                      BadUsers{"PositiveRefusal", "    refuse = 5,stop\n", "'refuse' needs CODE", 6},
                      BadUsers{"RetryWithoutText", "    retry_later = 5\n", "'retry_later' needs SECONDS,TEXT", 6},
                      BadUsers{"FlagKey", "    token_code\n", "'token_code' needs a value", 6},
                      BadUsers{"NestedSection", "    extra = {\n    }\n", "'extra' needs a value", 6}),
    [](const ::testing::TestParamInfo<BadUsers> &i) { return std::string(i.param.name); });

TEST(GwUsers, SectionLevelErrors)
{
    UsersFile f;
    EXPECT_EQ(f.load("Users = {\n  alice = 1\n}\n"), -1);
    EXPECT_EQ(f.err, "users.conf:2: 'alice' in Users must be a section: alice = { ... }");
    EXPECT_EQ(f.load("Users = {\n  a = {\n    uid = 1\n    home = /a\n  }\n}\n"), -1);
    EXPECT_EQ(f.err, "users.conf:2: user a needs uid, gid and home");
    EXPECT_EQ(f.load("Users = {\n a = {\n uid = 1\n gid = 1\n home = /a\n }\n a = {\n }\n}\n"), -1);
    EXPECT_EQ(f.err, "users.conf:7: user a is defined twice");
    EXPECT_EQ(f.load("Users = {\n}\nUsers = {\n}\n"), -1);
    EXPECT_EQ(f.err, "users.conf:3: a second 'Users' section");
    EXPECT_EQ(f.load("Users = 3\n"), -1);
    EXPECT_EQ(f.err, "users.conf:1: 'Users' must be a section: Users = { ... }");
    // A PAM script's own error names the script and its line.
    velktest::writeFile(f.dir / "bad.pam", "4 hello\n1 Password:\n");
    EXPECT_EQ(f.load("Users = {\n a = {\n uid = 1\n gid = 1\n home = /a\n pam_script = " + (f.dir / "bad.pam") +
                     "\n }\n}\n"),
              -1);
    EXPECT_NE(f.err.find("users.conf:6: user a: 'pam_script' " + (f.dir / "bad.pam") +
                         ": line 2: the prompt has no answer line"),
              std::string::npos)
        << f.err;
}

TEST(GwPamScript, RoundsPromptsAndAnswers)
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
    EXPECT_EQ(rounds[0][1].style, 2u);
    EXPECT_EQ(rounds[0][1].answer, "4 x");
    EXPECT_EQ(rounds[0][2].style, 3u);
    EXPECT_EQ(rounds[0][2].text, "Oops ");
    ASSERT_EQ(rounds[1].size(), 2u);
    EXPECT_EQ(rounds[1][0].text, "second");
    EXPECT_EQ(rounds[1][1].answer, ""); // an empty answer is an answer
}

TEST(GwPamScript, ErrorsNameTheLine)
{
    std::vector<gw_pam_round_t> rounds;
    std::string err;
    EXPECT_EQ(gw_PamScriptParse("4 a\n5 b\n", &rounds, &err), -1);
    EXPECT_EQ(err, "line 2: a message is \"<style 1-4> <text>\"");
    EXPECT_EQ(gw_PamScriptParse("4a\n", &rounds, &err), -1);
    EXPECT_EQ(err, "line 1: a message is \"<style 1-4> <text>\"");
    EXPECT_EQ(gw_PamScriptParse("\n# nothing\n\n", &rounds, &err), -1);
    EXPECT_EQ(err, "the script holds no message");
    EXPECT_EQ(gw_PamScriptParse("1 p\n" + std::string(GW_PAM_TEXT_MAX + 1, 'a') + "\n", &rounds, &err), -1);
    EXPECT_EQ(err, "line 2: answer longer than 510 characters");
    EXPECT_EQ(gw_PamScriptParse("4 " + std::string(GW_PAM_TEXT_MAX + 1, 'a') + "\n", &rounds, &err), -1);
    EXPECT_EQ(err, "line 1: text longer than 510 characters");
    EXPECT_EQ(gw_PamScriptParse(std::string("4 a\0b\n", 6), &rounds, &err), -1);
    EXPECT_EQ(err, "line 1: holds a NUL byte");

    std::string full;
    for (size_t i = 0; i < GW_PAM_MSGS_MAX; i++)
        full += "4 m\n";
    EXPECT_EQ(gw_PamScriptParse(full, &rounds, &err), 0) << err;
    EXPECT_EQ(rounds[0].size(), GW_PAM_MSGS_MAX);
    EXPECT_EQ(gw_PamScriptParse(full + "4 one too many\n", &rounds, &err), -1);
    EXPECT_EQ(err, "line 33: more than 32 messages in one round");

    std::string many;
    for (size_t i = 0; i <= GW_PAM_ROUNDS_MAX; i++)
        many += "4 r\n\n";
    EXPECT_EQ(gw_PamScriptParse(many, &rounds, &err), -1);
    EXPECT_EQ(err, "line 18: more than 8 rounds");
}

TEST(GwUsers, RefusalAndRetryLaterValues)
{
    gw_refusal_t r;
    ASSERT_EQ(gw_ParseRefusal("-43000", &r), 0);
    EXPECT_EQ(r.code, -43000);
    EXPECT_FALSE(r.stop);
    EXPECT_EQ(r.text, "");
    ASSERT_EQ(gw_ParseRefusal("-50512,stop", &r), 0);
    EXPECT_TRUE(r.stop);
    EXPECT_EQ(r.text, "");
    ASSERT_EQ(gw_ParseRefusal("-50512,stop,too many, really", &r), 0);
    EXPECT_TRUE(r.stop);
    EXPECT_EQ(r.text, "too many, really");
    ASSERT_EQ(gw_ParseRefusal("-1,stopped", &r), 0);
    EXPECT_FALSE(r.stop);
    EXPECT_EQ(r.text, "stopped");
    EXPECT_EQ(gw_ParseRefusal("0", &r), -1);
    EXPECT_EQ(gw_ParseRefusal("-", &r), -1);
    EXPECT_EQ(gw_ParseRefusal("-2147483649", &r), -1);
    EXPECT_EQ(gw_ParseRefusal("-5x,stop", &r), -1);

    gw_retry_later_t l;
    ASSERT_EQ(gw_ParseRetryLater("2,Come back", &l), 0);
    EXPECT_EQ(l.seconds, 2u);
    EXPECT_EQ(l.text, "Come back");
    ASSERT_EQ(gw_ParseRetryLater("0,", &l), 0);
    EXPECT_EQ(l.text, "");
    EXPECT_EQ(gw_ParseRetryLater("86401,x", &l), -1);
    EXPECT_EQ(gw_ParseRetryLater("-1,x", &l), -1);
}

TEST(GwPassword, HashesVerifyAndDiffer)
{
    std::string h1, h2;
    ASSERT_EQ(gw_HashPassword("correct horse", &h1), 0);
    ASSERT_EQ(gw_HashPassword("correct horse", &h2), 0);
    EXPECT_NE(h1, h2); // fresh salt each time
    EXPECT_TRUE(gw_PasswordMatches(h1, "correct horse"));
    EXPECT_TRUE(gw_PasswordMatches(h2, "correct horse"));
    EXPECT_FALSE(gw_PasswordMatches(h1, "correct hors"));
    EXPECT_FALSE(gw_PasswordMatches(h1, ""));
    EXPECT_FALSE(gw_PasswordMatches("", "correct horse"));
    EXPECT_FALSE(gw_PasswordMatches("$6$bogus", "correct horse"));
    // A hash made elsewhere (crypt(3) itself) is accepted.
    EXPECT_TRUE(gw_PasswordMatches(hashOf("s3cret"), "s3cret"));
    EXPECT_FALSE(gw_PasswordMatches(hashOf("s3cret"), "S3cret"));
}

TEST(GwPassword, HashPasswordCommandPrintsAHashCryptVerifies)
{
    velktest::RunOptions o;
    o.input = "pa55 word\n";
    auto r = velktest::run({velktest::kylgwdBinary(), "--hash-password"}, o);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(r.out.size() > 1 ? r.out.back() : '\0', '\n') << r.out;
    const std::string hash = r.out.substr(0, r.out.size() - 1);
    EXPECT_EQ(hash.find('\n'), std::string::npos);
    EXPECT_TRUE(hash.rfind("$y$", 0) == 0 || hash.rfind("$6$", 0) == 0) << hash;
    struct crypt_data cd {};
    const char *again = crypt_r("pa55 word", hash.c_str(), &cd);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(std::string(again), hash);
    EXPECT_EQ(r.err, ""); // no prompt without a terminal
    EXPECT_EQ(r.out.find("pa55"), std::string::npos);

    o.input = "";
    r = velktest::run({velktest::kylgwdBinary(), "--hash-password"}, o);
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "kylgwd: --hash-password: no password on standard input\n");
}

} // namespace
