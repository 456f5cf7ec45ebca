// Name matching: both flavours on one table (classes, escapes, braces and
// their bounds, "/" and the descent, "." and ".."), and a star-heavy pattern
// on a long name, which must not backtrack exponentially.

#include <gtest/gtest.h>

#include <string>

#include "quorcfgx_match.h"

namespace {

void noteDescent(void *ctx, const char *rest)
{
    *static_cast<std::string *>(ctx) += std::string("[") + rest + "]";
}

std::string repeat(const std::string &s, int n)
{
    std::string r;
    while (n-- > 0)
        r += s;
    return r;
}

TEST(NameMatch, PatternAndMemberFlavours)
{
    const std::string longAlt(1020, 'x');
    const struct {
        std::string name, pattern;
        int pattern_;      // quorcfgx_PatternMatch
        int errors;        // errors it counted
        int member;        // quorcfgx_MemberMatch
        const char *descent; // what the member matcher's descent saw
    } cases[] = {
        {"a.c", "*.c", 1, 0, 1, ""},
        {"dir/sub/y.o", "*.o", 1, 0, 1, ""}, // "*" crosses a "/" of the name
        {"dir", "dir/*.o", 0, 0, 2, "[*.o]"},
        {"abc", "a?c", 1, 0, 1, ""},
        {"ac", "a?c", 0, 0, 0, ""},
        {"bx", "[a-c]x", 1, 0, 1, ""},
        {"dx", "[a-c]x", 0, 0, 0, ""},
        {"!x", "[!a]x", 1, 0, 1, ""}, // no negation: "!" is a member
        {"bx", "[!a]x", 0, 0, 0, ""},
        {"-x", "[a\\-]x", 1, 0, 1, ""},
        {"[ab", "[ab", 0, 1, 1, ""}, // unclosed class: an error, or a literal "["
        {"a*b", "a\\*b", 1, 0, 1, ""},
        {"axb", "a\\*b", 0, 0, 0, ""},
        {"{arch}", "\\{arch\\}", 1, 0, 1, ""},
        {"x.h", "x.{c,h}", 1, 0, 1, ""},
        {"x.o", "x.{c,h}", 0, 0, 0, ""},
        {"ab1", "a{b{1,2},c}", 1, 0, 1, ""},
        {"a,", "a{\\,,x}", 1, 0, 1, ""},
        {"ax", "a{[,]x,x}", 1, 0, 1, ""},
        {"ab", "a{b", 0, 1, 0, ""},
        {"x" + longAlt, "x{" + longAlt + ",y}", 1, 0, 1, ""},
        {"x" + longAlt + "zzzzz", "x{" + longAlt + "zzzzz,y}", 0, 0, 1, ""}, // over 1,024: skipped
        {std::string(1030, 'p') + "a", std::string(1030, 'p') + "{a,b}", 0, 1, 1, ""}, // prefix over 1,023
        {"a", std::string(40, '{') + "a" + std::string(40, '}'), 0, 1, 0, ""}, // nested too deep
        {"y", repeat("{,}", 30) + "x", 0, 1, 0, ""}, // 2^30 ways: stopped at the tries budget
        {"y", "*" + repeat("{,}", 30) + "y", 1, 0, 1, ""}, // the first way matches
        {"src", "s*/Makefile", 0, 0, 2, "[Makefile]"},
        {"src", "src/", 0, 0, 2, "[]"},
        {"srcx", "src/", 0, 0, 0, ""},
        {"bb", "*b*/x", 0, 0, 2, "[x]"}, // one descent, however many ways the stars fit
        {".", "*", 1, 0, 0, ""},
        {"..", ".*", 1, 0, 0, ""},
        {"..", "../x", 0, 0, 2, "[x]"},
        {".profile", "*", 1, 0, 1, ""},
        {"", "*", 1, 0, 1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name.substr(0, 40) + " ~ " + c.pattern.substr(0, 40));
        int errors = 0;
        EXPECT_EQ(quorcfgx_PatternMatch(c.name.c_str(), c.pattern.c_str(), &errors), c.pattern_);
        EXPECT_EQ(errors, c.errors);
        std::string seen;
        EXPECT_EQ(quorcfgx_MemberMatch(c.name.c_str(), c.pattern.c_str(), noteDescent, &seen), c.member);
        EXPECT_EQ(seen, c.descent);
    }
}

TEST(NameMatch, ManyStarsOnALongNameStayLinear)
{
    // With a backtrack point per star this would take far beyond the test's
    // timeout; with one it is a few million steps.
    std::string name(100000, 'a');
    EXPECT_EQ(quorcfgx_PatternMatch(name.c_str(), "*a*a*a*a*a*a*a*a*b", nullptr), 0);
    EXPECT_EQ(quorcfgx_MemberMatch((name + "b").c_str(), "*a*a*a*a*a*a*a*a*b", nullptr, nullptr), 1);
}

} // namespace
