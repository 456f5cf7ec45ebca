// Path templates: every template letter, given values, other sequences, and
// the cut at the cap.

#include <pwd.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "velk_Utils.h"
#include "velk_unit_fixture.h"

namespace {

std::string expand(const char *tmpl, const char *home = nullptr, const char *user = nullptr)
{
    char *r = velk_ExpandTemplatePath(tmpl, home, user);
    std::string s = r ? r : "<null>";
    VELK_FREE(r);
    return s;
}

TEST(Utils, ExpandTemplatePath)
{
    struct passwd *pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    std::string pid = std::to_string(getpid()), shortHost = std::string(host).substr(0, std::string(host).find('.'));
    const int cap = VELK_TEMPLATE_MAX;
    struct Case {
        std::string tmpl;
        const char *home, *user;
        std::string want;
    } cases[] = {
        {"/tmp/ok.%U.%P", nullptr, nullptr, "/tmp/ok." + std::string(pw->pw_name) + "." + pid},
        {"%H/.velk/%N-%P", nullptr, nullptr, std::string(pw->pw_dir) + "/.velk/" + shortHost + "-" + pid},
        {"%H/x/%U/%U", "/home/given", "bob", "/home/given/x/bob/bob"},  // given values win
        {"no templates at all", nullptr, nullptr, "no templates at all"},
        {"", nullptr, nullptr, ""},
        {"a%xb%%c%u%h%p%n", "/h", "u", "a%xb%%c%u%h%p%n"},  // other sequences are copied
        {"/tmp/100%", "/h", "u", "/tmp/100%"},
        {"%%U", "/h", "u", "%%U"},
        // The result is cut at the cap, also inside an expansion.
        {std::string(cap + 100, 'a'), nullptr, nullptr, std::string(cap, 'a')},
        {std::string(cap - 3, 'b') + "%H/tail", "/home/somebody", "u", std::string(cap - 3, 'b') + "/ho"},
        {std::string(cap - 1, 'c') + "%U", "/h", "z", std::string(cap - 1, 'c') + "z"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(expand(c.tmpl.c_str(), c.home, c.user), c.want) << c.tmpl.substr(0, 40);
    EXPECT_EQ(expand(nullptr), "<null>");
}

// %N is the host name up to its first dot, here on a host named with a
// domain in a namespace of its own (skipped where none can be made).
TEST(Utils, ShortHostNameDropsTheDomain)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        bool ok = (unshare(CLONE_NEWUTS) == 0 || unshare(CLONE_NEWUSER | CLONE_NEWUTS) == 0) &&
                  sethostname("node7.example.org", 17) == 0;
        std::string got = ok ? expand("%N/x") : "";
        _exit(write(fds[1], got.data(), got.size()) == static_cast<ssize_t>(got.size()) ? 0 : 1);
    }
    close(fds[1]);
    char buf[64];
    ssize_t n = read(fds[0], buf, sizeof buf);
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    if (n <= 0)
        GTEST_SKIP() << "no UTS namespace";
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "node7/x");
}

// Names shown on a terminal: C escapes for the bytes 7 to 13 and the
// backslash, three octal digits for other control bytes and DEL.
TEST(Utils, ShownNameEscapesControlBytes)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain name.txt", "plain name.txt"},
        {"a\\b\tc\rd", "a\\\\b\\tc\\rd"},
        {"\x01x\x1b\x7f", "\\001x\\033\\177"},
    };
    for (const auto &[in, want] : cases)
        EXPECT_EQ(velk_ShownName(in.c_str()), want) << want;
}

} // namespace
