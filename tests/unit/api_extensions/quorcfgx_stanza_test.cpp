// The stanza parser: values, flags and compound stanzas with their lines,
// comments and the ";" cut, keys and values on separate lines, the caps on
// nesting, line length and entry count, the error codes with their lines,
// and the key and token lookups.

#include <gtest/gtest.h>

#include <ostream>

#include <string>

#include "quorcfgx_stanza.h"
#include "velk_testsupport.h"

namespace {

// Owns a parsed tree.
struct Parsed {
    quor_cfg_stanza_t *list = nullptr;
    int rc = 0;
    int error = 0;
    unsigned line = 0;
    explicit Parsed(const std::string &text)
    {
        rc = quor_CfgParseText(text.data(), text.size(), &list, &error, &line);
    }
    ~Parsed() { quor_CfgFree(list); }
    Parsed(const Parsed &) = delete;
    Parsed &operator=(const Parsed &) = delete;
};

size_t countLevel(const quor_cfg_stanza_t *s)
{
    size_t n = 0;
    for (; s != nullptr; s = s->next)
        n++;
    return n;
}

TEST(StanzaParse, SimpleFlagAndCompoundStanzasWithTheirLines)
{
    Parsed p("# site file\n"
             "Network Options = {\n"
             "    Default Send Size = 1mb\n"
             "    Default\n"
             "}\n"
             "Top = value with  blanks   \n");
    ASSERT_EQ(p.rc, 0) << p.error << " at " << p.line;
    ASSERT_EQ(countLevel(p.list), 2u);

    const quor_cfg_stanza_t *net = p.list;
    EXPECT_STREQ(net->KeyString, "Network Options");
    EXPECT_EQ(net->type, CFG_COMPOUND_TYPE);
    EXPECT_EQ(net->LineNum, 2u);
    EXPECT_EQ(net->KeyValue, nullptr);
    ASSERT_EQ(net->substanzaCount, 2u);
    EXPECT_EQ(countLevel(net->substanzaList), 2u);

    const quor_cfg_stanza_t *send = net->substanzaList;
    EXPECT_STREQ(send->KeyString, "Default Send Size");
    EXPECT_EQ(send->type, CFG_SIMPLE_TYPE);
    EXPECT_STREQ(send->KeyValue, "1mb");
    EXPECT_EQ(send->LineNum, 3u);

    const quor_cfg_stanza_t *flag = send->next;
    EXPECT_STREQ(flag->KeyString, "Default");
    EXPECT_EQ(flag->type, CFG_FLAG_TYPE);
    EXPECT_EQ(flag->KeyValue, nullptr);
    EXPECT_EQ(flag->LineNum, 4u);

    const quor_cfg_stanza_t *top = net->next;
    EXPECT_STREQ(top->KeyString, "Top");
    EXPECT_STREQ(top->KeyValue, "value with  blanks");
    EXPECT_EQ(top->LineNum, 6u);
    EXPECT_EQ(top->next, nullptr);
}

TEST(StanzaParse, CommentsAndTheSemicolonCut)
{
    Parsed p("A = Value ; note\n"
             "B = Value # note\n"
             "; whole line\n"
             "   # indented comment\n"
             "C = x;y\n"
             "D =\n"
             "  v;w\n");
    ASSERT_EQ(p.rc, 0) << p.error << " at " << p.line;
    ASSERT_EQ(countLevel(p.list), 4u);
    EXPECT_STREQ(quor_CfgFindKey("A", p.list, 0)->KeyValue, "Value");
    EXPECT_STREQ(quor_CfgFindKey("B", p.list, 0)->KeyValue, "Value # note");
    EXPECT_STREQ(quor_CfgFindKey("C", p.list, 0)->KeyValue, "x");
    // On a line of its own the value keeps its ";".
    EXPECT_STREQ(quor_CfgFindKey("D", p.list, 0)->KeyValue, "v;w");
}

TEST(StanzaParse, KeyAndValueOrBraceOnLaterLines)
{
    Parsed p("Key\n"
             "  = 5\n"
             "Sect =\n"
             "{\n"
             "  Inner = 1\n"
             "}\n"
             "Other = {\n"
             "}\n"
             "Lone\n"
             "Next = 2\n");
    ASSERT_EQ(p.rc, 0) << p.error << " at " << p.line;
    const quor_cfg_stanza_t *key = quor_CfgFindKey("Key", p.list, 0);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->type, CFG_SIMPLE_TYPE);
    EXPECT_STREQ(key->KeyValue, "5");
    EXPECT_EQ(key->LineNum, 1u);

    const quor_cfg_stanza_t *sect = quor_CfgFindKey("Sect", p.list, 0);
    const quor_cfg_stanza_t *other = quor_CfgFindKey("Other", p.list, 0);
    ASSERT_NE(sect, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(sect->type, CFG_COMPOUND_TYPE);
    EXPECT_EQ(sect->substanzaCount, 1u);
    EXPECT_STREQ(sect->substanzaList->KeyValue, "1");
    EXPECT_EQ(other->type, CFG_COMPOUND_TYPE);
    EXPECT_EQ(other->substanzaCount, 0u);

    // A key alone followed by another key stays a flag.
    const quor_cfg_stanza_t *lone = quor_CfgFindKey("Lone", p.list, 0);
    ASSERT_NE(lone, nullptr);
    EXPECT_EQ(lone->type, CFG_FLAG_TYPE);
    EXPECT_STREQ(quor_CfgFindKey("Next", p.list, 0)->KeyValue, "2");
    EXPECT_EQ(countLevel(p.list), 5u);
}

TEST(StanzaParse, FlagBeforeClosingBraceAndSeveralTokensOnOneLine)
{
    // A value runs to the end of its line, "}" included.
    Parsed inValue("S = { a = 1 }\n");
    EXPECT_EQ(inValue.rc, -1);
    EXPECT_EQ(inValue.error, QUOR_CFG_E_BRACE);

    Parsed p("S = { a = 1\n"
             "  f\n"
             "} T = { } U = 3\n");
    ASSERT_EQ(p.rc, 0) << p.error << " at " << p.line;
    ASSERT_EQ(countLevel(p.list), 3u);
    const quor_cfg_stanza_t *s = p.list;
    ASSERT_EQ(s->substanzaCount, 2u);
    EXPECT_STREQ(s->substanzaList->KeyValue, "1");
    EXPECT_EQ(s->substanzaList->next->type, CFG_FLAG_TYPE);
    EXPECT_STREQ(s->next->KeyString, "T");
    EXPECT_EQ(s->next->type, CFG_COMPOUND_TYPE);
    EXPECT_STREQ(s->next->next->KeyValue, "3");
}

std::string nested(int levels)
{
    std::string text;
    for (int i = 0; i < levels; i++)
        text += "L" + std::to_string(i) + " = {\n";
    text += "leaf = 1\n";
    for (int i = 0; i < levels; i++)
        text += "}\n";
    return text;
}

TEST(StanzaParse, NestingIsCappedAtNineOpenStanzas)
{
    Parsed nine(nested(QUOR_CFG_MAX_OPEN));
    ASSERT_EQ(nine.rc, 0) << nine.error << " at " << nine.line;
    const quor_cfg_stanza_t *s = nine.list;
    for (int i = 0; i < QUOR_CFG_MAX_OPEN; i++) {
        ASSERT_NE(s, nullptr);
        ASSERT_EQ(s->type, CFG_COMPOUND_TYPE) << "level " << i;
        s = s->substanzaList;
    }
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->KeyString, "leaf");

    Parsed ten(nested(QUOR_CFG_MAX_OPEN + 1));
    EXPECT_EQ(ten.rc, -1);
    EXPECT_EQ(ten.error, QUOR_CFG_E_DEPTH);
    EXPECT_EQ(ten.line, 10u);
    EXPECT_EQ(ten.list, nullptr);
}

struct ErrorCase {
    const char *name;
    const char *text;
    int error;
    unsigned line;
};


// Test names carry the case's name, not its bytes, so they stay the same
// from build to build.
void PrintTo(const ErrorCase &c, std::ostream *os)
{
    *os << c.name;
}
class StanzaError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(StanzaError, ReportsCodeAndLine)
{
    Parsed p(GetParam().text);
    EXPECT_EQ(p.rc, -1);
    EXPECT_EQ(p.error, GetParam().error) << quor_CfgErrorText(p.error);
    EXPECT_EQ(p.line, GetParam().line);
    EXPECT_EQ(p.list, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StanzaError,
    ::testing::Values(ErrorCase{"CloseAtTopLevel", "a = 1\n}\n", QUOR_CFG_E_CLOSE, 2},
                      ErrorCase{"EndInsideSection", "a = 1\nS = {\n b = 2\n", QUOR_CFG_E_BRACE, 2},
                      ErrorCase{"BraceWithoutEquals", "x = 1\nKey {\n}\n", QUOR_CFG_E_BRACE, 2},
                      ErrorCase{"BraceAfterPendingKey", "Key\n{\n", QUOR_CFG_E_BRACE, 2},
                      ErrorCase{"EqualsAtEnd", "a = 1\nb =\n", QUOR_CFG_E_BRACE, 2},
                      ErrorCase{"EqualsWithoutKey", "a = 1\n\n = 3\n", QUOR_CFG_E_NOKEY, 3}),
    [](const ::testing::TestParamInfo<ErrorCase> &c) { return std::string(c.param.name); });

TEST(StanzaParse, LineLengthCap)
{
    std::string ok = "k = " + std::string(QUOR_CFG_LINE_MAX - 4, 'v') + "\n";
    Parsed fits(ok);
    ASSERT_EQ(fits.rc, 0);
    EXPECT_EQ(strlen(fits.list->KeyValue), QUOR_CFG_LINE_MAX - 4);

    Parsed tooLong("a = 1\nk = " + std::string(QUOR_CFG_LINE_MAX - 3, 'v') + "\n");
    EXPECT_EQ(tooLong.rc, -1);
    EXPECT_EQ(tooLong.error, QUOR_CFG_E_LINELEN);
    EXPECT_EQ(tooLong.line, 2u);

    Parsed withNul(std::string("a = 1\nb = x\0y\n", 14));
    EXPECT_EQ(withNul.rc, -1);
    EXPECT_EQ(withNul.error, QUOR_CFG_E_LINELEN);
    EXPECT_EQ(withNul.line, 2u);
}

TEST(StanzaParse, EntryCountCap)
{
    std::string text;
    for (size_t i = 0; i < QUOR_CFG_MAX_ENTRIES; i++)
        text += "k\n";
    Parsed atCap(text);
    ASSERT_EQ(atCap.rc, 0);
    EXPECT_EQ(countLevel(atCap.list), QUOR_CFG_MAX_ENTRIES);

    Parsed over(text + "one more\n");
    EXPECT_EQ(over.rc, -1);
    EXPECT_EQ(over.error, QUOR_CFG_E_ENTRIES);
    EXPECT_EQ(over.line, QUOR_CFG_MAX_ENTRIES + 1);
}

TEST(StanzaParse, EmptyAndCommentOnlyInputsGiveAnEmptyList)
{
    Parsed empty("");
    EXPECT_EQ(empty.rc, 0);
    EXPECT_EQ(empty.list, nullptr);
    Parsed comments("# a\n; b\n\n   \n");
    EXPECT_EQ(comments.rc, 0);
    EXPECT_EQ(comments.list, nullptr);
}

TEST(StanzaParse, FromFileAndMissingFile)
{
    velktest::ScratchDir dir;
    velktest::writeFile(dir / "c.conf", "A = 1\r\nB = { C = 2\r\n}\r\n");
    quor_cfg_stanza_t *list = nullptr;
    int error = 0;
    unsigned line = 99;
    ASSERT_EQ(quor_CfgParse((dir / "c.conf").c_str(), &list, &error, &line), 0);
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->KeyValue, "1");
    ASSERT_NE(list->next, nullptr);
    EXPECT_STREQ(list->next->substanzaList->KeyValue, "2");
    quor_CfgFree(list);

    EXPECT_EQ(quor_CfgParse((dir / "absent.conf").c_str(), &list, &error, &line), -1);
    EXPECT_EQ(error, QUOR_CFG_E_OPEN);
    EXPECT_EQ(line, 0u);
    EXPECT_EQ(list, nullptr);
}

TEST(StanzaLookup, FindKeyHonoursCaseAndLevel)
{
    Parsed p("Alpha = 1\nSect = { Beta = 2\n}\nalpha = 3\n");
    ASSERT_EQ(p.rc, 0);
    EXPECT_STREQ(quor_CfgFindKey("Alpha", p.list, 0)->KeyValue, "1");
    EXPECT_STREQ(quor_CfgFindKey("alpha", p.list, 0)->KeyValue, "3");
    EXPECT_STREQ(quor_CfgFindKey("ALPHA", p.list, 1)->KeyValue, "1");
    EXPECT_EQ(quor_CfgFindKey("ALPHA", p.list, 0), nullptr);
    // One level only.
    EXPECT_EQ(quor_CfgFindKey("Beta", p.list, 1), nullptr);
}

TEST(StanzaLookup, FindTokenMatchesWholeWordsInKeysOrValues)
{
    Parsed p("web7 db1 = hostA hostB\n"
             "Flagged hostB\n"
             "Sect = {\n"
             "  deep key = inner value\n"
             "}\n");
    ASSERT_EQ(p.rc, 0);
    EXPECT_EQ(quor_CfgFindToken("db1", p.list, 0, 0), p.list);
    EXPECT_EQ(quor_CfgFindToken("db", p.list, 0, 0), nullptr);
    EXPECT_EQ(quor_CfgFindToken("hostB", p.list, 1, 0), p.list);
    // Flag stanzas have no value to search.
    EXPECT_EQ(quor_CfgFindToken("Flagged", p.list, 1, 0), nullptr);
    EXPECT_EQ(quor_CfgFindToken("deep", p.list, 0, 0), nullptr);
    const quor_cfg_stanza_t *deep = quor_CfgFindToken("deep", p.list, 0, 1);
    ASSERT_NE(deep, nullptr);
    EXPECT_STREQ(deep->KeyValue, "inner value");
    EXPECT_EQ(quor_CfgFindToken("inner", p.list, 1, 1), deep);
}

} // namespace
