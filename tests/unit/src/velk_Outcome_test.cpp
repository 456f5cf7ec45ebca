// Success and exceptions records: the exact lines, and every awkward name
// read back by the input-list reader and normalised as an operand is the
// name that was written.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "velk_FileList.h"
#include "velk_ListFile.h"
#include "velk_Outcome.h"

namespace {

using Names = std::vector<std::string>;

int collect(const char *name, long, void *arg)
{
    std::string copy(name);
    std::vector<char> out(copy.size() + 1);
    copyPathname(copy.c_str(), out.data());
    static_cast<Names *>(arg)->push_back(out.data());
    return 0;
}

std::string contents(FILE *fp)
{
    std::string s;
    rewind(fp);
    for (int c; (c = getc(fp)) != EOF;)
        s += static_cast<char>(c);
    return s;
}

TEST(Outcome, RecordsReadBackAsTheNamesWritten)
{
    const Names names = {"plain/name", " lead", "trail ", "tab\there", "new\nline", "back\\slash",
                         "\x01" "ctl\x7f", "both\n", "\t", "a\\"};
    FILE *ok = tmpfile();
    FILE *ex = tmpfile();
    ASSERT_NE(ok, nullptr);
    ASSERT_NE(ex, nullptr);
    const velk_outcome_t o{ok, ex};
    for (const std::string &n : names) {
        EXPECT_EQ(velk_OutcomeOk(&o, n.c_str()), 0);
        EXPECT_EQ(velk_OutcomeFailed(&o, n.c_str(), "not extracted"), 0);
    }
    const velk_outcome_t none{};
    EXPECT_EQ(velk_OutcomeOk(&none, "x"), 1);
    EXPECT_EQ(velk_OutcomeFailed(&none, "x", "why"), 1);

    const std::string okHead = "plain/name\n\\ lead\ntrail\\ \ntab\\\there\nnew\\\nline\n";
    const std::string exHead = "plain/name\tnot extracted\n\\ lead\tnot extracted\n";
    EXPECT_EQ(contents(ok).substr(0, okHead.size()), okHead);
    EXPECT_EQ(contents(ex).substr(0, exHead.size()), exHead);
    for (FILE *fp : {ok, ex}) {
        Names back;
        rewind(fp);
        EXPECT_EQ(velk_ReadListStream(fp, "records", collect, &back), static_cast<int>(names.size()));
        EXPECT_EQ(back, names);
        fclose(fp);
    }
}

TEST(Outcome, ListLinesKeepEscapesAndDropRemarks)
{
    struct {
        const char *line, *name;
    } rows[] = {
        {"name\treason given", "name"},    {"na\\\tme\tr", "na\\\tme"}, {"x\\ ", "x\\ "},
        {"x \t ", "x"},                    {"\t\tlead", "lead"},        {"two\\\\ ", "two\\\\"},
        {"\treason only", "reason only"}, {"   ", ""},
    };
    for (const auto &row : rows) {
        std::string line = row.line;
        size_t n = velk_ListLineName(&line[0]);
        EXPECT_STREQ(line.c_str(), row.name) << row.line;
        EXPECT_EQ(n, strlen(row.name));
    }
}

} // namespace
