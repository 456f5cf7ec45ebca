// The rule list under a large load: two pattern files of 100,000 rules each
// keep their order and first-match semantics, dropping the deeper file's
// rules leaves exactly the shallower ones, and a rule taken off the list
// cannot be taken off twice.

#include <string>
#include <vector>

#include "velk_Exclude.h"
#include "velk_unit_fixture.h"

namespace {

constexpr int kRules = 100000;

std::string ruleFile(const std::string &path, char letter, const char *extra)
{
    std::string text;
    for (int i = 0; i < kRules; ++i)
        text += letter + std::to_string(i) + "\n";
    text += extra;
    velktest::writeFile(path, text);
    return path;
}

// The patterns from head to tail; fails the test when walking back from
// the tail does not meet the same rules.
std::vector<std::string> patterns(const velk_exclude_rules_t &rules)
{
    std::vector<std::string> v;
    for (const velk_exclude_t *r = rules.head; r != nullptr; r = r->next)
        v.emplace_back(r->pattern);
    size_t back = v.size();
    for (const velk_exclude_t *r = rules.tail; r != nullptr; r = r->prev)
        if (back == 0 || v[--back] != r->pattern)
            ADD_FAILURE() << "backward walk disagrees at " << back;
    EXPECT_EQ(back, 0u);
    return v;
}

// The pattern that excludes name at level, or "" when none does.
std::string excludedBy(velk_exclude_rules_t &rules, const char *name, int level)
{
    char reason[512];
    if (velk_ExcludeCheckName(&rules, name, level, reason, sizeof reason) != 1)
        return "";
    std::string r = reason;
    size_t open = r.find('\''), close = r.find('\'', open + 1);
    return r.substr(open + 1, close - open - 1);
}

TEST(Exclude, LargeRuleFilesLoadAndUnloadInOrder)
{
    velkunit::RunGlobals globals;
    velk_function = VOP_CREATE;
    velktest::ScratchDir dir;
    velk_exclude_rules_t rules{};
    ASSERT_EQ(velk_ExcludesAddFromFile(&rules, ruleFile(dir / "a", 'a', "").c_str(), 1, VELK_EXC_SHELL, 1), 0);
    const int mark = velk_ExcludeMark(&rules);
    ASSERT_EQ(mark, kRules);
    ASSERT_EQ(velk_ExcludesAddFromFile(&rules, ruleFile(dir / "b", 'b', "a5*\n").c_str(), 1, VELK_EXC_SHELL, 2), 0);
    ASSERT_EQ(velk_ExcludeMark(&rules), 2 * kRules + 1);

    std::vector<std::string> want;
    for (char letter : {'a', 'b'})
        for (int i = 0; i < kRules; ++i)
            want.push_back(letter + std::to_string(i));
    want.push_back("a5*");
    EXPECT_EQ(patterns(rules), want);
    // The first rule in list order names the reason.
    struct Case {
        const char *name;
        std::string before, after; // excluding rule with both files, with the first only
    } cases[] = {
        {"a5", "a5", "a5"},
        {"a5x", "a5*", ""},
        {"b77777", "b77777", ""},
        {"a99999", "a99999", "a99999"},
        {"c1", "", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(excludedBy(rules, c.name, 2), c.before) << c.name;

    velk_ExcludeUnlinkSince(&rules, mark);
    EXPECT_EQ(velk_ExcludeMark(&rules), kRules);
    want.resize(kRules);
    EXPECT_EQ(patterns(rules), want);
    for (const Case &c : cases)
        EXPECT_EQ(excludedBy(rules, c.name, 2), c.after) << c.name;

    // A rule from the middle, then the same rule again: the second time is
    // an internal error that leaves the list alone.
    velk_exclude_t *mid = rules.head;
    for (int i = 0; i < 500; ++i)
        mid = mid->next;
    ASSERT_STREQ(mid->pattern, "a500");
    EXPECT_EQ(velk_ExcludeListUnlink(&rules, mid), 0);
    EXPECT_EQ(excludedBy(rules, "a500", 2), "");
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_ExcludeListUnlink(&rules, mid), -1);
        EXPECT_NE((cap.out() + cap.err()).find("Fatal internal error trying to unlink exclude entry for pattern 'a500'"),
                  std::string::npos);
    }
    EXPECT_EQ(velk_exit_code.load(), VELK_EXIT_SOFTWARE);
    EXPECT_EQ(velk_ExcludeMark(&rules), kRules - 1);
    want.erase(want.begin() + 500);
    EXPECT_EQ(patterns(rules), want);
    VELK_FREE(mid->pattern);
    VELK_FREE(mid);

    velk_ExcludeUnlinkSince(&rules, 0);
    EXPECT_EQ(rules.head, nullptr);
    EXPECT_EQ(rules.tail, nullptr);
    EXPECT_EQ(velk_ExcludeMark(&rules), 0);
    velk_ExcludeReset(&rules);
}

} // namespace
