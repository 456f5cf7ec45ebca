// The netrc reader: entries matched by label, host name and default, the
// known user and password rules, quoting and escapes, macro definitions and
// their limits, the permission rule with its messages and the anonymous
// exception.  Every case writes its own file into a scratch HOME.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "quorex_netrc.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

using velktest::StreamCapture;

class Netrc : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *h = getenv("HOME");
        hadHome_ = h != nullptr;
        if (hadHome_)
            savedHome_ = h;
        setenv("HOME", dir_.path().c_str(), 1);
        memset(&server_, 0, sizeof server_);
        auto *sin = reinterpret_cast<sockaddr_in *>(&server_.hs_addr);
        sin->sin_family = AF_INET;
        sin->sin_port = htons(1217);
        sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server_.hs_addrlen = sizeof(sockaddr_in);
        ASSERT_EQ(quorex_SetNetrcLabel("gwlabel", QUOREX_NETRC_LABEL_PLAIN), 0);
    }
    void TearDown() override
    {
        if (hadHome_)
            setenv("HOME", savedHome_.c_str(), 1);
        else
            unsetenv("HOME");
        free(user_);
        free(pass_);
    }

    void write(const std::string &text, mode_t mode = 0600)
    {
        velktest::writeFile(dir_ / ".netrc", text);
        ASSERT_EQ(chmod((dir_ / ".netrc").c_str(), mode), 0);
    }

    // Reads the file; stderr is captured into err_.
    int read()
    {
        StreamCapture cap(STDERR_FILENO);
        int rc = quorex_ReadNetrc(&server_, &user_, &pass_);
        err_ = cap.text();
        return rc;
    }

    std::string user() const { return user_ != nullptr ? user_ : "<null>"; }
    std::string pass() const { return pass_ != nullptr ? pass_ : "<null>"; }

    velktest::ScratchDir dir_;
    quor_sockaddr_t server_;
    char *user_ = nullptr;
    char *pass_ = nullptr;
    std::string err_;
    bool hadHome_ = false;
    std::string savedHome_;
};

struct NetrcCase {
    std::string text;
    mode_t mode;
    const char *knownUser, *knownPass;  // nullptr: not known before
    int rc;
    const char *user, *pass;  // nullptr: none handed out
};

TEST_F(Netrc, Entries)
{
    std::string sixteen;
    for (int i = 0; i < 16; i++)
        sixteen += "macdef m" + std::to_string(i) + "\nx\n\n";
    const std::string entry = "machine gwlabel login u password pw\n", longpw(120, 'z');
    const NetrcCase cases[] = {
        // By label (any case), before the default.
        {"machine other login wrong password nope\nmachine GWLABEL login alice password secret1\n"
         "default login dflt password dpass\n",
         0600, nullptr, nullptr, 0, "alice", "secret1"},
        // 127.0.0.1 reads back as localhost; the default when nothing matches.
        {"machine localhost login bob password hostpw\n", 0600, nullptr, nullptr, 0, "bob", "hostpw"},
        {"machine elsewhere login x password y\n\ndefault\tlogin,carol password dpw\n", 0600, nullptr, nullptr, 0,
         "carol", "dpw"},
        // A known user passes over other logins; a known password stays.
        {"machine gwlabel login mallory password evil\nmachine gwlabel login alice password alicepw\n", 0600,
         "alice", nullptr, 0, "alice", "alicepw"},
        {"machine gwlabel login alice password other\n", 0600, "alice", "given", 0, "alice", "given"},
        // Quotes, backslashes, long tokens cut to 99 bytes.
        {"machine gwlabel login \"al ice,x\" password pa\\ ss\\\"w\nmachine other password " + longpw + "\n", 0600,
         nullptr, nullptr, 0, "al ice,x", "pa ss\"w"},
        {"machine gwlabel login u password " + longpw + "\n", 0600, nullptr, nullptr, 0, "u",
         "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz"},
        // Values that look like keywords stay values; unknown keywords are skipped.
        {"machine other password machine gwlabel\nmachine gwlabel login real password realpw\n", 0600, nullptr,
         nullptr, 0, "real", "realpw"},
        {"machine gwlabel login u frobnicate password pw\n", 0600, nullptr, nullptr, 0, "u", "pw"},
        {"machine gwlabel login u password pw passwd second\n", 0600, nullptr, nullptr, 0, "u", "pw"},
        // Macro bodies are not read as entries; sixteen macros at most, and
        // every macro ends with an empty line within 4 KiB.
        {"macdef init\ncd /tmp\nmachine evil login x password y\n\n" + entry, 0600, nullptr, nullptr, 0, "u", "pw"},
        {sixteen + entry, 0600, nullptr, nullptr, 0, "u", "pw"},
        {entry + sixteen + "macdef one_too_many\nx\n\n", 0600, nullptr, nullptr, -1, nullptr, nullptr},
        {entry + "macdef\nbody\n\n", 0600, nullptr, nullptr, -1, nullptr, nullptr},
        {entry + "macdef empty\n", 0600, nullptr, nullptr, -1, nullptr, nullptr},
        {entry + "macdef body\nline one\nline two\n", 0600, nullptr, nullptr, -1, nullptr, nullptr},
        {entry + "macdef full\n" + std::string(4095, 'a') + "\n\n", 0600, nullptr, nullptr, 0, "u", "pw"},
        {entry + "macdef big\n" + std::string(4096, 'a') + "\n\n", 0600, nullptr, nullptr, -1, nullptr, nullptr},
        // A password or account others (or the group) may read is refused,
        // except an anonymous password; an account is never handed out.
        {entry, 0644, nullptr, nullptr, -1, nullptr, nullptr},
        {entry, 0640, nullptr, nullptr, -1, nullptr, nullptr},
        {"machine gwlabel login anonymous password me@host\n", 0644, nullptr, nullptr, 0, "anonymous", "me@host"},
        {"machine gwlabel login anonymous account acct1\n", 0644, nullptr, nullptr, -1, nullptr, nullptr},
        {"machine gwlabel login u account acct1 password pw\n", 0600, nullptr, nullptr, 0, "u", "pw"},
    };
    for (const NetrcCase &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        free(user_);
        free(pass_);
        user_ = c.knownUser ? strdup(c.knownUser) : nullptr;
        pass_ = c.knownPass ? strdup(c.knownPass) : nullptr;
        write(c.text, c.mode);
        EXPECT_EQ(read(), c.rc) << err_;
        EXPECT_EQ(user(), c.user ? c.user : "<null>");
        EXPECT_EQ(pass(), c.pass ? c.pass : "<null>");
    }
}

TEST(NetrcLabel, AtMost1024Characters)
{
    char back[QUOREX_NETRC_LABEL_MAX + 1];
    EXPECT_EQ(quorex_SetNetrcLabel(std::string(QUOREX_NETRC_LABEL_MAX + 1, 'y').c_str(), QUOREX_NETRC_LABEL_PLAIN),
              -ENAMETOOLONG);
    EXPECT_EQ(quorex_SetNetrcLabel(std::string(QUOREX_NETRC_LABEL_MAX, 'x').c_str(), QUOREX_NETRC_LABEL_PLAIN), 0);
    ASSERT_EQ(quorex_GetNetrcLabel(back, sizeof back), QUOREX_NETRC_LABEL_PLAIN);
    EXPECT_EQ(std::string(back), std::string(QUOREX_NETRC_LABEL_MAX, 'x'));
}

TEST_F(Netrc, MissingFileIsNoEntry)
{
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(user_, nullptr);
    EXPECT_EQ(pass_, nullptr);
    EXPECT_EQ(err_, "");
    EXPECT_EQ(quorex_ReadNetrc(nullptr, &user_, &pass_), -14);
}

} // namespace

// Only an explicit yes turns the netrc login on.
TEST(NetrcWanted, OnlyOneYesOrTrueTurnItOn)
{
    const struct {
        const char *value; // null: unset
        int on;
    } cases[] = {{"1", 1},  {"yes", 1},  {"YES", 1},  {"true", 1},  {"True", 1},    {nullptr, 0}, {"", 0},
                 {"0", 0},  {"no", 0},   {"NO", 0},   {"false", 0}, {"off", 0},     {"2", 0},     {"01", 0},
                 {"1 ", 0}, {"yess", 0}, {"y", 0},    {"on", 0}};
    for (const auto &c : cases)
        EXPECT_EQ(quorex_NetrcValueOn(c.value), c.on) << (c.value ? c.value : "(unset)");
    const char *saved = getenv("QUOR_USE_NETRC_FILE");
    std::string keep = saved ? saved : "";
    setenv("QUOR_USE_NETRC_FILE", "0", 1);
    EXPECT_EQ(quorex_NetrcWanted(), 0);
    setenv("QUOR_USE_NETRC_FILE", "yes", 1);
    EXPECT_EQ(quorex_NetrcWanted(), 1);
    unsetenv("QUOR_USE_NETRC_FILE");
    EXPECT_EQ(quorex_NetrcWanted(), 0);
    if (saved != nullptr)
        setenv("QUOR_USE_NETRC_FILE", keep.c_str(), 1);
}
