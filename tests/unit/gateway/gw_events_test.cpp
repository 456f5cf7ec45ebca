// Event-log lines: JSON escaping of texts that may come from peers.

#include "gw_events.h"

#include "velk_testsupport.h"

#include <gtest/gtest.h>

TEST(GwEvent, BuildsOneObjectWithTypedFields)
{
    std::string line = gw_event("session_open").num("session", 42).num("neg", -7).str("peer", "127.0.0.1:5").text();
    ASSERT_EQ(line.rfind("{\"ts\":", 0), 0u) << line;
    EXPECT_NE(line.find(",\"event\":\"session_open\",\"session\":42,\"neg\":-7,\"peer\":\"127.0.0.1:5\"}"),
              std::string::npos)
        << line;
}

TEST(GwEvent, EscapesQuotesBackslashesAndControlCharacters)
{
    std::string text = gw_event("e").str("v", std::string("a\"b\\c\nd\te\x01\x7f", 11)).text();
    EXPECT_NE(text.find("\"v\":\"a\\\"b\\\\c\\nd\\te\\u0001\\u007f\"}"), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
}

TEST(GwEvent, EmitAppendsLinesToTheOpenFile)
{
    velktest::ScratchDir scratch;
    std::string path = scratch / "events";
    gw_event("dropped").emit(); // nothing open yet
    ASSERT_EQ(gw_EventsOpen(path.c_str()), 0);
    gw_event("one").num("n", 1).emit();
    gw_event("two").str("s", "x\ny").emit();
    gw_EventsClose();
    gw_event("after").emit();

    auto lines = velktest::lines(velktest::readFile(path));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\"event\":\"one\",\"n\":1}"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("\"event\":\"two\",\"s\":\"x\\ny\"}"), std::string::npos) << lines[1];
    EXPECT_EQ(gw_EventsOpen((scratch / "nodir/events").c_str()), -ENOENT);
}
