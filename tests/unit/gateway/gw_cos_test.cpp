// Classes of service: the COS section read into a table, each of its
// errors with file and line, automatic selection by size, and the hints a
// class reports.

#include <gtest/gtest.h>

#include <string>

#include "gw_config.h"
#include "gw_cos.h"

namespace {

const char *kTable = "COS = {\n"
                     "  1 = {\n"
                     "    name = small\n"
                     "    width = 1\n"
                     "    block = 65536\n"
                     "    min = 0\n"
                     "    max = 1000\n"
                     "  }\n"
                     "  8 = {\n"
                     "    name = big\n"
                     "    width = 8\n"
                     "    block = 786432\n"
                     "    min = 1001\n"
                     "    max = 0\n"
                     "    tape = yes\n"
                     "  }\n"
                     "  11 = {\n"
                     "    name = fallback\n"
                     "    width = 2\n"
                     "    block = 0x100000\n"
                     "    default = yes\n"
                     "  }\n"
                     "}\n";

struct Loaded {
    gw_config_t cfg;
    Loaded() { gw_ConfigDefaults(&cfg, 1); }
    ~Loaded() { gw_ConfigFree(&cfg); }
    int load(const std::string &text, std::string *err) { return gw_ConfigLoadText("c.conf", text, &cfg, err); }
};

TEST(GwCos, SectionIsReadAndSelectedBySize)
{
    Loaded l;
    std::string err;
    ASSERT_EQ(l.load(kTable, &err), 0) << err;
    const gw_costable_t *t = gw_ConfigCos(&l.cfg);
    ASSERT_EQ(t->count, 3u);
    const gw_cos_t *big = gw_CosFind(t, 8);
    ASSERT_NE(big, nullptr);
    EXPECT_STREQ(big->name, "big");
    EXPECT_EQ(big->width, 8u);
    EXPECT_EQ(big->block, 786432u);
    EXPECT_TRUE(big->tape);
    EXPECT_EQ(gw_CosFind(t, 4), nullptr);
    ASSERT_NE(gw_CosDefault(t), nullptr);
    EXPECT_EQ(gw_CosDefault(t)->id, 11u);
    EXPECT_EQ(gw_CosForSize(t, 0)->id, 1u);
    EXPECT_EQ(gw_CosForSize(t, 1000)->id, 1u);
    EXPECT_EQ(gw_CosForSize(t, 1001)->id, 8u);
    EXPECT_EQ(gw_CosForSize(t, UINT64_MAX)->id, 8u);

    quor_cos_hints_t h{};
    h.FamilyId = 5;
    gw_CosToHints(gw_CosFind(t, 11), &h);
    EXPECT_EQ(h.COSId, 11u);
    EXPECT_STREQ(h.COSName, "fallback");
    EXPECT_EQ(h.StripeWidth, 2u);
    EXPECT_EQ(h.StripeLength, 2u * 1048576u);
    EXPECT_EQ(h.OptimumAccessSize, 2u * 1048576u);
    EXPECT_EQ(h.FamilyId, 5u);
}

TEST(GwCos, BuiltInTableWithoutASection)
{
    Loaded l;
    const gw_costable_t *t = gw_ConfigCos(&l.cfg);
    ASSERT_NE(gw_CosFind(t, 11), nullptr);
    EXPECT_TRUE(gw_CosFind(t, 11)->isDefault);
    ASSERT_NE(gw_CosFind(t, 8), nullptr);
    EXPECT_EQ(gw_CosFind(t, 8)->block, 768u * 1024u);
    ASSERT_NE(gw_CosFind(t, 65), nullptr);
    EXPECT_EQ(gw_CosFind(t, 65)->width, 65u);
    EXPECT_EQ(gw_CosForSize(t, 10)->id, 1u);
    EXPECT_EQ(gw_CosForSize(t, 100ull << 20)->id, 2u);
    EXPECT_EQ(gw_CosForSize(t, 2ull << 30)->id, 4u);
    EXPECT_EQ(gw_CosForSize(t, 100ull << 30)->id, 8u);
}

TEST(GwCos, SectionErrorsNameFileAndLine)
{
    struct Case {
        const char *text;
        const char *expect;
    } cases[] = {
        {"COS = {\n 1 = {\n name = a\n default = yes\n }\n}\n", "c.conf:1: the COS section must hold class 11"},
        {"COS = {\n 11 = {\n name = a\n }\n}\n", "c.conf:1: the COS section names no default class"},
        {"COS = {\n 11 = {\n name = a\n colour = red\n }\n}\n", "c.conf:4: unknown key 'colour' in class 11"},
        {"COS = {\n 11 = {\n name = a\n width = 0\n }\n}\n", "c.conf:4: bad value for 'width' in class 11"},
        {"COS = {\n 11 = {\n name = a\n width = 257\n }\n}\n", "c.conf:4: bad value for 'width' in class 11"},
        {"COS = {\n 11 = {\n name = a\n tape = maybe\n }\n}\n", "c.conf:4: bad value for 'tape' in class 11"},
        {"COS = {\n 11 = {\n name = a\n min = 9\n max = 3\n }\n}\n", "c.conf:2: class 11: max is below min"},
        {"COS = {\n 11 = {\n width = 2\n }\n}\n", "c.conf:2: class 11 has no name"},
        {"COS = {\n x = {\n name = a\n }\n}\n", "c.conf:2: class id 'x' is not a number above 0"},
        {"COS = {\n 11 = 4\n}\n", "c.conf:2: class 11 must be a section"},
        {"COS = {\n 11 = {\n name = a\n default = yes\n }\n 11 = {\n name = b\n }\n}\n",
         "c.conf:6: class 11 given twice"},
        {"COS = {\n 11 = {\n name = a\n default = yes\n }\n 2 = {\n name = b\n default = yes\n }\n}\n",
         "c.conf:6: a second default class (2)"},
        {"COS = {\n 11 = {\n name = a\n default = yes\n }\n}\nCOS = {\n}\n", "c.conf:7: a second 'COS' section"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        Loaded l;
        std::string err;
        EXPECT_EQ(l.load(c.text, &err), -1);
        EXPECT_EQ(err.rfind(c.expect, 0), 0u) << err;
        // A refused file leaves the built-in classes in place.
        EXPECT_EQ(gw_ConfigCos(&l.cfg), gw_CosBuiltin());
    }
}

} // namespace
