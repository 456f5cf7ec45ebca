// The member path rules of extract: leading slashes and ".." components.

#include "velk_Extract.h"
#include "velk_unit_fixture.h"

namespace {

TEST(ExtractPaths, LeadingSlashesAndDotDotComponents)
{
    struct Case {
        const char *in;
        int rc;
        const char *out;
        int stripped;
    } cases[] = {
        {"a/b", VELK_XPATH_OK, "a/b", 0},          {"/etc/x", VELK_XPATH_OK, "etc/x", 1},
        {"///etc//x", VELK_XPATH_OK, "etc//x", 1}, {"/", VELK_XPATH_ROOT_ONLY, nullptr, 1},
        {"////", VELK_XPATH_ROOT_ONLY, nullptr, 1}, {"..", VELK_XPATH_DOTDOT, nullptr, 0},
        {"../a", VELK_XPATH_DOTDOT, nullptr, 0},   {"/../a", VELK_XPATH_DOTDOT, nullptr, 1},
        {"a/../b", VELK_XPATH_DOTDOT, nullptr, 0}, {"a/..", VELK_XPATH_DOTDOT, nullptr, 0},
        {"a/../", VELK_XPATH_DOTDOT, nullptr, 0},  {"a//..//b", VELK_XPATH_DOTDOT, nullptr, 0},
        {"..a/b..", VELK_XPATH_OK, "..a/b..", 0},  {"a/.../b", VELK_XPATH_OK, "a/.../b", 0},
        {"./a/.", VELK_XPATH_OK, "./a/.", 0},      {"dir/", VELK_XPATH_OK, "dir/", 0},
    };
    for (const auto &c : cases) {
        char out[64];
        memset(out, 'X', sizeof out);
        int stripped = -1;
        EXPECT_EQ(velk_ExtractFormPath(c.in, out, sizeof out, &stripped), c.rc) << c.in;
        EXPECT_EQ(stripped, c.stripped) << c.in;
        if (c.out != nullptr) {
            EXPECT_STREQ(out, c.out) << c.in;
        }
    }
    char small[4];
    EXPECT_EQ(velk_ExtractFormPath("/abcd", small, sizeof small, nullptr), VELK_XPATH_TOO_LONG);
    EXPECT_EQ(velk_ExtractFormPath("abc", small, sizeof small, nullptr), VELK_XPATH_OK);
    EXPECT_STREQ(small, "abc");
}

} // namespace
