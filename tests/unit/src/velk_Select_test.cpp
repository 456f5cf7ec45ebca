// Which index entries a run selects: by member name (a directory with what
// lies below it unless -n, a pattern by its components, exactly for the
// actions that name members one by one) and by ordinal (-J).

#include "velk_MemberNames.h"
#include "velk_Ordinals.h"
#include "velk_unit_fixture.h"

namespace {

TEST(Select, ByName)
{
    velkunit::RunGlobals globals;
    struct Case {
        const char *name; // nullptr: no names given
        bool exact;       // as the actions naming members one by one select
        bool norecurse;   // -n
        const char *path;
        int selected;
    } cases[] = {
        {"a", false, false, "a", 1},        {"a", false, false, "ab", 0},      {"a", false, false, "a/b", 1},
        {"a", false, true, "a/b", 0},       {"a", true, false, "a/b", 0},      {"a/*", false, false, "a/b/c", 1},
        {"a/*", false, true, "a/b/c", 0},   {"a/*", true, false, "a/b/c", 0},  {"a/*", false, false, "a", 0},
        {"a/*", true, false, "a/b", 1},     {"*.c", false, false, "d/x.c", 0}, {nullptr, false, true, "top", 1},
        {nullptr, false, true, "top/b", 0}, {nullptr, false, false, "top/b", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name != nullptr ? c.name : "(none)") + " " + c.path);
        velk_option_flags = c.norecurse ? VELK_OPT_NORECURSE : 0;
        velk_FileSpec_t rec{};
        rec.filename = const_cast<char *>(c.name);
        rec.hasWildcards = c.name != nullptr && strchr(c.name, '*') != nullptr;
        hif_entry_t e{};
        snprintf(e.hent_name, sizeof e.hent_name, "%s", c.path);
        const int count = c.name != nullptr ? 1 : 0;
        EXPECT_EQ(c.exact ? velk_IndexEntryNamed(&e, &rec, count) : velk_IndexEntryWasSelected(&e, &rec, count),
                  c.selected);
    }
}

TEST(Select, ByOrdinal)
{
    velkunit::RunGlobals globals;
    const struct {
        const char *text;
        int rc;
        int64_t ordinal;
    } cases[] = {{"0", 0, 0},       {"42", 0, 42},  {"12x", -1, 0}, {"9223372036854775808", -1, 0},
                 {"-1", -1, 0},     {"", -1, 0},    {"+5", -1, 0},  {"9223372036854775807", 0, INT64_MAX}};
    for (const auto &c : cases) {
        int64_t got = 0;
        EXPECT_EQ(velk_ParseOrdinal(c.text, &got), c.rc) << c.text;
        EXPECT_EQ(got, c.ordinal) << c.text;
    }
    // The highest ordinal asked for must be below the number of entries.
    velk_ordinals_t o;
    o.active = true;
    o.ordinals = static_cast<int64_t *>(VELK_CALLOC(2, sizeof(int64_t)));
    ASSERT_NE(o.ordinals, nullptr);
    o.ordinals[0] = 3;
    o.ordinals[1] = 7;
    o.count = 2;
    EXPECT_EQ(velk_OrdinalsCheck(&o, 8), 0);
    EXPECT_EQ(velk_OrdinalsCheck(&o, 7), -1);
}

} // namespace
