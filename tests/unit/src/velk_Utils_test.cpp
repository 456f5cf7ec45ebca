// Path templates: every template letter, given values, other sequences, and
// the cut at the cap.

#include <pwd.h>

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

} // namespace
