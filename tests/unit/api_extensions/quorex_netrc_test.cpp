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
#include <fstream>
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
        std::string path = dir_ / ".netrc";
        {
            std::ofstream f(path, std::ios::trunc);
            f << text;
        }
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
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

TEST_F(Netrc, EntriesMatchByLabelHostAndDefault)
{
    write("machine other login wrong password nope\n"
          "machine GWLABEL login alice password secret1\n"
          "default login dflt password dpass\n");
    ASSERT_EQ(read(), 0) << err_;
    EXPECT_EQ(user(), "alice");
    EXPECT_EQ(pass(), "secret1");
    EXPECT_EQ(err_, "");
}

TEST_F(Netrc, MatchesTheServersHostNameAndFallsBackToDefault)
{
    // 127.0.0.1 reads back as localhost.
    write("machine localhost login bob password hostpw\n");
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(user(), "bob");
    EXPECT_EQ(pass(), "hostpw");

    free(user_);
    free(pass_);
    user_ = pass_ = nullptr;
    write("machine elsewhere login x password y\n\ndefault\tlogin,carol password dpw\n");
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(user(), "carol");
    EXPECT_EQ(pass(), "dpw");
}

TEST_F(Netrc, KnownUserAndPasswordAreKept)
{
    // An entry for another login is passed over; the next matching one is
    // used; a known password is not replaced.
    write("machine gwlabel login mallory password evil\n"
          "machine gwlabel login alice password alicepw\n");
    user_ = strdup("alice");
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(user(), "alice");
    EXPECT_EQ(pass(), "alicepw");

    free(pass_);
    pass_ = strdup("given");
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(pass(), "given");
}

TEST_F(Netrc, QuotesBackslashesAndLongTokens)
{
    std::string longpw(120, 'z');
    write("machine gwlabel login \"al ice,x\" password pa\\ ss\\\"w\n"
          "machine other password " + longpw + "\n");
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(user(), "al ice,x");
    EXPECT_EQ(pass(), "pa ss\"w");

    free(user_);
    free(pass_);
    user_ = pass_ = nullptr;
    write("machine gwlabel login u password " + longpw + "\n");
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(pass(), std::string(99, 'z'));
}

TEST_F(Netrc, ValuesThatLookLikeKeywordsStayValues)
{
    // A password spelled "machine" in a skipped entry must not start an
    // entry of its own.
    write("machine other password machine gwlabel\n"
          "machine gwlabel login real password realpw\n");
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(user(), "real");
    EXPECT_EQ(pass(), "realpw");
}

TEST_F(Netrc, UnknownKeywordIsReportedAndSkipped)
{
    write("machine gwlabel login u frobnicate password pw\n");
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(err_, "Unknown .netrc keyword frobnicate\n");
    EXPECT_EQ(user(), "u");
    EXPECT_EQ(pass(), "pw");
}

TEST_F(Netrc, MacroDefinitionsAndTheirLimits)
{
    // Bodies are not tokenised: the "machine" inside does not count.
    write("macdef init\ncd /tmp\nmachine evil login x password y\n\n"
          "machine gwlabel login u password pw\n");
    ASSERT_EQ(read(), 0) << err_;
    EXPECT_EQ(user(), "u");
    EXPECT_EQ(err_, "");

    struct Bad {
        std::string text;
        const char *message;
    };
    std::string sixteen;
    for (int i = 0; i < 16; i++)
        sixteen += "macdef m" + std::to_string(i) + "\nx\n\n";
    std::string big = "macdef big\n" + std::string(4000, 'a') + "\n" + std::string(200, 'b') + "\n\n";
    const Bad bad[] = {
        {"macdef\nbody\n\n", "Missing macdef name argument\n"},
        {"macdef   \n", "Missing macdef name argument\n"},
        {sixteen + "macdef one_too_many\nx\n\n", "Limit of 16 macros have already been defined.\n"},
        {"macdef noline", "Macro name missing null line terminator.\n"},
        {"macdef empty\n", "Macro definition missing null line terminator.\n"},
        {"macdef body\nline one\nline two\n", "Macro definition <body> missing null line terminator.\n"},
        {"macdef longername12\nline\n", "Macro definition <longernam> missing null line terminator.\n"},
        {big, "4K macro buffer exceeded.\n"},
    };
    for (const Bad &b : bad) {
        free(user_);
        free(pass_);
        user_ = pass_ = nullptr;
        write("machine gwlabel login u password pw\n" + b.text);
        EXPECT_EQ(read(), -1) << b.message;
        EXPECT_EQ(err_, b.message);
        EXPECT_EQ(user_, nullptr) << b.message;
    }
    // Sixteen macros are allowed.
    write(sixteen + "machine gwlabel login u password pw\n");
    EXPECT_EQ(read(), 0) << err_;
}

TEST_F(Netrc, PasswordInAFileOthersMayReadIsRefused)
{
    write("machine gwlabel login alice password secret\n", 0644);
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(err_, "Error: .netrc file is readable by others.Remove password or make file unreadable by others.");
    EXPECT_EQ(user_, nullptr);
    EXPECT_EQ(pass_, nullptr);

    // Group bits alone are enough to refuse.
    write("machine gwlabel login alice password secret\n", 0640);
    EXPECT_EQ(read(), -1);

    // The same file readable by its owner alone supplies both.
    write("machine gwlabel login alice password secret\n", 0600);
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(user(), "alice");
    EXPECT_EQ(pass(), "secret");
}

TEST_F(Netrc, AnonymousMayHaveAReadablePasswordButNoAccount)
{
    write("machine gwlabel login anonymous password me@host\n", 0644);
    ASSERT_EQ(read(), 0) << err_;
    EXPECT_EQ(user(), "anonymous");
    EXPECT_EQ(pass(), "me@host");

    free(user_);
    free(pass_);
    user_ = pass_ = nullptr;
    write("machine gwlabel login anonymous account acct1\n", 0644);
    EXPECT_EQ(read(), -1);
    EXPECT_EQ(err_, "Error: .netrc file is readable by others.Remove account or make file unreadable by others.");

    // An account in a private file is read but not handed out.
    write("machine gwlabel login u account acct1 password pw\n", 0600);
    ASSERT_EQ(read(), 0);
    EXPECT_EQ(user(), "u");
    EXPECT_EQ(pass(), "pw");
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
