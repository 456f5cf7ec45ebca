// Daemon log lines: timestamp and pid prefix, one line per call whatever the
// text holds, and long texts cut visibly; event-log lines escape texts that
// may come from peers.

#include "gw_events.h"
#include "gw_log.h"

#include "velk_testsupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

class GwLog : public ::testing::Test {
protected:
    velktest::ScratchDir scratch;
    std::string path = scratch / "log";
    void SetUp() override { ASSERT_EQ(gw_LogOpen(path.c_str()), 0); }
    void TearDown() override { gw_LogClose(); }
};

TEST_F(GwLog, OneLinePerCallWithUtcTimeAndPidNewlinesFoldedLongTextsCut)
{
    EXPECT_TRUE(gw_LogIsFile());
    gw_Log("hello %d %s", 5, "world");
    gw_Log("peer said %s", "x\nkylgwd[1]: stopped\r\\033");
    std::string big(2 * GW_LOG_LINE_MAX, 'a');
    gw_Log("%s", big.c_str());
    gw_Log("next");
    auto lines = velktest::lines(velktest::readFile(path));
    ASSERT_EQ(lines.size(), 4u);
    std::regex re("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z kylgwd\\[" + std::to_string(getpid()) +
                  "\\]: hello 5 world$");
    EXPECT_TRUE(std::regex_match(lines[0], re)) << lines[0];
    EXPECT_NE(lines[1].find("peer said x kylgwd[1]: stopped \\\\033"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2].size(), GW_LOG_LINE_MAX - 1);
    EXPECT_EQ(lines[2].substr(lines[2].size() - 4), "a...");
    EXPECT_NE(lines[3].find("]: next"), std::string::npos);
}

TEST_F(GwLog, OpenFailureKeepsTheCurrentLog)
{
    EXPECT_EQ(gw_LogOpen((scratch / "nodir/log").c_str()), -ENOENT);
    gw_Log("still here");
    EXPECT_NE(velktest::readFile(path).find("still here"), std::string::npos);
}

// Standard error as the journal's stream (JOURNAL_STREAM names its device
// and inode): lines carry their priority and no time or pid.
TEST_F(GwLog, OnTheJournalStreamLinesCarryPriorityOnly)
{
    std::string errPath = scratch / "journal";
    int fd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    int savedErr = dup(STDERR_FILENO);
    struct stat st;
    ASSERT_TRUE(fd >= 0 && savedErr >= 0 && fstat(fd, &st) == 0 && dup2(fd, STDERR_FILENO) == STDERR_FILENO);
    close(fd);
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
    gw_LogClose();
    ASSERT_EQ(gw_LogOpen(""), 0);
    gw_Log("hello");
    gw_LogWarning("keytab %s", "k");
    dup2(savedErr, STDERR_FILENO);
    close(savedErr);
    unsetenv("JOURNAL_STREAM");
    ASSERT_EQ(gw_LogOpen(""), 0);
    EXPECT_EQ(velktest::readFile(errPath), "<6>hello\n<4>warning: keytab k\n");
}

TEST(GwEvent, EscapesQuotesBackslashesAndControlCharacters)
{
    std::string text = gw_event("e").str("v", std::string("a\"b\\c\nd\te\x01\x7f", 11)).num("n", -7).text();
    EXPECT_NE(text.find("\"v\":\"a\\\"b\\\\c\\nd\\te\\u0001\\u007f\",\"n\":-7}"), std::string::npos) << text;
    EXPECT_EQ(text.find('\n'), std::string::npos);
}
