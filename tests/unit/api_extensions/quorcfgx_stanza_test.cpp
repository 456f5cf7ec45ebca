// The stanza parser: values, flags and compound stanzas with their lines,
// comments and the ";" cut, keys and values on separate lines, the caps on
// nesting, line length and entry count, and the error codes with their
// lines.

#include <gtest/gtest.h>

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
        rc = quorcfgx_CfgParseText(text.data(), text.size(), &list, &error, &line);
    }
    ~Parsed() { quorcfgx_CfgFree(list); }
    Parsed(const Parsed &) = delete;
    Parsed &operator=(const Parsed &) = delete;
};

// The tree as text: "key=value@line" for a simple stanza, "key@line" for a
// flag, "key{...}@line" for a compound one, siblings separated by "|".  A
// compound stanza's count of sub-stanzas must match its list.
std::string dump(const quor_cfg_stanza_t *s)
{
    std::string out;
    for (; s != nullptr; s = s->next) {
        if (!out.empty())
            out += "|";
        out += s->KeyString;
        if (s->type == CFG_SIMPLE_TYPE)
            out += std::string("=") + s->KeyValue;
        if (s->type == CFG_COMPOUND_TYPE) {
            size_t n = 0;
            for (const quor_cfg_stanza_t *c = s->substanzaList; c != nullptr; c = c->next)
                n++;
            out += "{" + dump(s->substanzaList) + "}" + (n == s->substanzaCount ? "" : "!count");
            if (s->KeyValue != nullptr)
                out += "!value";
        }
        out += "@" + std::to_string(s->LineNum);
    }
    return out;
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

struct ParseCase {
    std::string text;
    std::string tree;  // when the parse succeeds
    int error;         // 0: succeeds
    unsigned line;
};

TEST(StanzaParse, Texts)
{
    std::string deep = "L0{L1{L2{L3{L4{L5{L6{L7{L8{leaf=1@10}@9}@8}@7}@6}@5}@4}@3}@2}@1";
    const ParseCase cases[] = {
        {"# site file\nNetwork Options = {\n    Default Send Size = 1mb\n    Default\n}\n"
         "Top = value with  blanks   \n",
         "Network Options{Default Send Size=1mb@3|Default@4}@2|Top=value with  blanks@6", 0, 0},
        // Comments; ";" cuts a value on the key's line only.
        {"A = Value ; note\nB = Value # note\n; whole line\n   # indented comment\nC = x;y\nD =\n  v;w\n",
         "A=Value@1|B=Value # note@2|C=x@5|D=v;w@6", 0, 0},
        // Key and value or brace on later lines; a key alone stays a flag.
        {"Key\n  = 5\nSect =\n{\n  Inner = 1\n}\nOther = {\n}\nLone\nNext = 2\n",
         "Key=5@1|Sect{Inner=1@5}@3|Other{}@7|Lone@9|Next=2@10", 0, 0},
        {"S = { a = 1\n  f\n} T = { } U = 3\n", "S{a=1@1|f@2}@1|T{}@3|U=3@3", 0, 0},
        {"A = 1\r\nB = { C = 2\r\n}\r\n", "A=1@1|B{C=2@2}@2", 0, 0},
        {"", "", 0, 0},
        {"# a\n; b\n\n   \n", "", 0, 0},
        {nested(QUOR_CFG_MAX_OPEN), deep, 0, 0},
        {"k = " + std::string(QUOR_CFG_LINE_MAX - 4, 'v') + "\n", "k=" + std::string(QUOR_CFG_LINE_MAX - 4, 'v') + "@1",
         0, 0},
        // Refusals with their codes and lines.
        {nested(QUOR_CFG_MAX_OPEN + 1), "", QUOR_CFG_E_DEPTH, 10},
        {"S = { a = 1 }\n", "", QUOR_CFG_E_BRACE, 1},  // a value runs to the end of its line
        {"a = 1\n}\n", "", QUOR_CFG_E_CLOSE, 2},
        {"a = 1\nS = {\n b = 2\n", "", QUOR_CFG_E_BRACE, 2},
        {"x = 1\nKey {\n}\n", "", QUOR_CFG_E_BRACE, 2},
        {"Key\n{\n", "", QUOR_CFG_E_BRACE, 2},
        {"a = 1\nb =\n", "", QUOR_CFG_E_BRACE, 2},
        {"a = 1\n\n = 3\n", "", QUOR_CFG_E_NOKEY, 3},
        {"a = 1\nk = " + std::string(QUOR_CFG_LINE_MAX - 3, 'v') + "\n", "", QUOR_CFG_E_LINELEN, 2},
        {std::string("a = 1\nb = x\0y\n", 14), "", QUOR_CFG_E_LINELEN, 2},
    };
    for (const ParseCase &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        Parsed p(c.text);
        if (c.error == 0) {
            ASSERT_EQ(p.rc, 0) << p.error << " at " << p.line;
            EXPECT_EQ(dump(p.list), c.tree);
        } else {
            EXPECT_EQ(p.rc, c.error);
            EXPECT_EQ(p.error, c.error);
            EXPECT_EQ(p.line, c.line);
            EXPECT_EQ(p.list, nullptr);
        }
    }
}

TEST(StanzaParse, EntryCountCapAndMissingFile)
{
    std::string text;
    for (size_t i = 0; i < QUOR_CFG_MAX_ENTRIES; i++)
        text += "k\n";
    Parsed atCap(text);
    EXPECT_EQ(atCap.rc, 0);
    Parsed over(text + "one more\n");
    EXPECT_EQ(over.rc, QUOR_CFG_E_ENTRIES);
    EXPECT_EQ(over.error, QUOR_CFG_E_ENTRIES);
    EXPECT_EQ(over.line, QUOR_CFG_MAX_ENTRIES + 1);

    velktest::ScratchDir dir;
    quor_cfg_stanza_t *list = nullptr;
    int error = 0;
    unsigned line = 99;
    EXPECT_EQ(quorcfgx_CfgParse((dir / "absent.conf").c_str(), &list, &error, &line), QUOR_CFG_E_OPEN);
    EXPECT_EQ(error, QUOR_CFG_E_OPEN);
    EXPECT_EQ(line, 0u);
    EXPECT_EQ(list, nullptr);
}

} // namespace
