// The extract action's parts that pay to test in-process: the grouping of
// selected entries into archive ranges, the member path rules (leading '/'
// and ".." components), the disk-full wait of the local file writer and its
// end at a shutdown, and the callback's block-length check.

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "velk_Extract.h"
#include "velk_unit_fixture.h"

namespace {

using velkunit::entryOf;

TEST(ExtractRanges, ContiguousEntriesWithRisingOrdinalsShareARange)
{
    velk_FreeIxList();
    // Members 3, 4 and 6 where member 5 (blocks 15-16) is not selected, then
    // ordinal 7 whose member lies apart: three ranges.
    const struct {
        uint64_t offset;
        uint32_t blocks;
        int64_t ordinal, fsOrd;
    } adds[] = {{10, 2, 3, 7}, {12, 3, 4, 8}, {17, 4, 6, 9}, {30, 1, 7, 10}};
    for (const auto &a : adds) {
        hif_entry_t e = entryOf(VTO_FILE, "m", 0, a.offset, a.blocks);
        ASSERT_EQ(velk_AddIxListEntry(&e, a.ordinal, a.fsOrd), 0);
    }
    // Ordinals must rise: a repeated or lower one is refused.
    hif_entry_t late = entryOf(VTO_FILE, "m", 0, 31, 1);
    {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_AddIxListEntry(&late, 7, 11), -1);
        EXPECT_EQ(velk_AddIxListEntry(&late, 2, 11), -1);
    }
    struct Range {
        int64_t start, end, count;
        uint64_t startBlock, endBlock;
        int64_t fsOrd;
    };
    std::vector<Range> want = {{3, 4, 2, 10, 15, 7}, {6, 6, 1, 17, 21, 9}, {7, 7, 1, 30, 31, 10}};
    size_t i = 0;
    for (ix_ListEntry_t *r = ixListHead; r != nullptr; r = r->next, i++) {
        ASSERT_LT(i, want.size());
        EXPECT_EQ(r->ixStart, want[i].start) << i;
        EXPECT_EQ(r->ixEnd, want[i].end) << i;
        EXPECT_EQ(r->ixCount, want[i].count) << i;
        EXPECT_EQ(r->ixStartBlock, want[i].startBlock) << i;
        EXPECT_EQ(r->ixEndBlock, want[i].endBlock) << i;
        EXPECT_EQ(r->ixFsOrd, want[i].fsOrd) << i;
        if (r->next == nullptr) {
            EXPECT_EQ(ixListTail, r);
        }
    }
    EXPECT_EQ(i, want.size());
    EXPECT_EQ(ix_ListCount, 3);
    velk_FreeIxList();
    EXPECT_EQ(ixListHead, nullptr);
    EXPECT_EQ(ixListTail, nullptr);
    EXPECT_EQ(ix_ListCount, 0);
}

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
