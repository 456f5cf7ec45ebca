// The fault script: every key with its value forms, operations named by
// numbers or catalogue names, and lines that are reported and ignored
// without disturbing the faults around them.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gw_faults.h"
#include "velk_testsupport.h"

namespace {

TEST(GwFaults, ReadsEveryKey)
{
    gw_faults_t f;
    std::vector<std::string> problems;
    gw_FaultsParse("# comment\n"
                   "down=2\n"
                   "proto = 67.1\n"
                   "siteinfo_err=-5\n"
                   "runmode=3\n"
                   "garbage_header\n"
                   "unsolicited\n"
                   "delay_reply=1792/257, 250\n"
                   "drop_conn=1280/3840\n"
                   "reply_nobody=256/1\n"
                   "truncate_body=quor_Logmsg\n",
                   &f, &problems);
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_EQ(f.down, 2u);
    EXPECT_TRUE(f.protoSet);
    EXPECT_EQ(f.protoMajor, 67u);
    EXPECT_EQ(f.protoMinor, 1u);
    EXPECT_TRUE(f.siteinfoErrSet);
    EXPECT_EQ(f.siteinfoErr, -5);
    EXPECT_TRUE(f.runmodeSet);
    EXPECT_EQ(f.runmode, 3u);
    EXPECT_TRUE(f.garbageHeader);
    EXPECT_TRUE(f.unsolicited);
    EXPECT_TRUE(gw_FaultOpIs(f.delayReply, 1792, 257));
    EXPECT_EQ(f.delayMs, 250u);
    EXPECT_TRUE(gw_FaultOpIs(f.dropConn, 1280, 3840));
    EXPECT_FALSE(gw_FaultOpIs(f.dropConn, 1280, 3841));
    EXPECT_TRUE(gw_FaultOpIs(f.replyNobody, 256, 1));
    // Catalogue names stand for their category and function.
    EXPECT_TRUE(gw_FaultOpIs(f.truncateBody, 1792, 257));
}

TEST(GwFaults, ReadsTheAuthenticationKeys)
{
    gw_faults_t f;
    std::vector<std::string> problems;
    gw_FaultsParse("refuse=-50512,stop,Too many sessions\n"
                   "retry_later=2,Come back later\n"
                   "reconnect=-51035\n"
                   "combo_wrong=3\n"
                   "token_next\n"
                   "retry_count=0\n"
                   "cleartext_pw\n"
                   "cipher=GARBLE\n"
                   "dh=g1\n"
                   "pam_count=33\n"
                   "pam_style=5\n",
                   &f, &problems);
    EXPECT_TRUE(problems.empty()) << problems.front();
    EXPECT_TRUE(f.refuse.set);
    EXPECT_EQ(f.refuse.code, -50512);
    EXPECT_TRUE(f.refuse.stop);
    EXPECT_EQ(f.refuse.text, "Too many sessions");
    EXPECT_TRUE(f.retryLater.set);
    EXPECT_EQ(f.retryLater.seconds, 2u);
    EXPECT_EQ(f.retryLater.text, "Come back later");
    EXPECT_TRUE(f.reconnectSet);
    EXPECT_EQ(f.reconnectResult, -51035);
    EXPECT_EQ(f.comboWrong, 3u);
    EXPECT_TRUE(f.tokenNext);
    EXPECT_TRUE(f.retryCountSet);
    EXPECT_EQ(f.retryCount, 0u);
    EXPECT_TRUE(f.cleartextPw);
    EXPECT_TRUE(f.cipherGarble);
    EXPECT_EQ(f.dh, gw_dh_fault_t::g1);
    EXPECT_EQ(f.pamCount, 33u);
    EXPECT_TRUE(f.pamStyleSet);
    EXPECT_EQ(f.pamStyle, 5u);

    gw_FaultsParse("reconnect=ok\ndh=weak\n", &f, &problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_TRUE(f.reconnectSet);
    EXPECT_EQ(f.reconnectResult, 0);
    EXPECT_EQ(f.dh, gw_dh_fault_t::weak);
    EXPECT_FALSE(f.refuse.set);

    // Each bad value is reported on its own line and changes nothing.
    gw_FaultsParse("refuse=50512\nretry_later=2\nreconnect=maybe\ncipher=AES\ndh=strong\npam_count=0\n"
                   "pam_count=65\ntoken_next=1\ncombo_wrong=x\n",
                   &f, &problems);
    EXPECT_EQ(problems.size(), 9u);
    EXPECT_FALSE(f.refuse.set);
    EXPECT_FALSE(f.retryLater.set);
    EXPECT_FALSE(f.reconnectSet);
    EXPECT_FALSE(f.cipherGarble);
    EXPECT_EQ(f.dh, gw_dh_fault_t::none);
    EXPECT_EQ(f.pamCount, 0u);
    EXPECT_FALSE(f.tokenNext);
    EXPECT_EQ(f.comboWrong, 0u);
}

TEST(GwFaults, EmptyScriptHasNoFaults)
{
    gw_faults_t f;
    f.garbageHeader = true;
    std::vector<std::string> problems;
    gw_FaultsParse("", &f, &problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(f.down, 0u);
    EXPECT_FALSE(f.garbageHeader);
    EXPECT_FALSE(f.protoSet);
    EXPECT_FALSE(f.delayReply.set);
}

TEST(GwFaults, BadLinesAreReportedAndIgnored)
{
    gw_faults_t f;
    std::vector<std::string> problems;
    gw_FaultsParse("colour=red\n"
                   "down=two\n"
                   "siteinfo_err=5\n"
                   "siteinfo_err=-0\n"
                   "proto=67\n"
                   "delay_reply=1792/257\n"
                   "delay_reply=1792/257,9999999\n"
                   "drop_conn=70000/1\n"
                   "drop_conn=no_such_call\n"
                   "garbage_header=1\n"
                   "runmode=1\n",
                   &f, &problems);
    ASSERT_EQ(problems.size(), 10u);
    EXPECT_NE(problems[0].find("line 1"), std::string::npos) << problems[0];
    EXPECT_NE(problems[0].find("colour=red"), std::string::npos) << problems[0];
    EXPECT_NE(problems[9].find("line 10"), std::string::npos) << problems[9];
    EXPECT_EQ(f.down, 0u);
    EXPECT_FALSE(f.siteinfoErrSet);
    EXPECT_FALSE(f.protoSet);
    EXPECT_FALSE(f.delayReply.set);
    EXPECT_FALSE(f.dropConn.set);
    EXPECT_FALSE(f.garbageHeader);
    // The good line after the bad ones still counts.
    EXPECT_TRUE(f.runmodeSet);
    EXPECT_EQ(f.runmode, 1u);
}

TEST(GwFaults, LoadReadsTheFileAndAMissingFileMeansNoFaults)
{
    velktest::ScratchDir dir;
    velktest::writeFile(dir / "faults", "down=5\n");
    gw_faults_t f;
    std::vector<std::string> problems;
    ASSERT_EQ(gw_FaultsLoad((dir / "faults").c_str(), &f, &problems), 0);
    EXPECT_EQ(f.down, 5u);
    ASSERT_EQ(gw_FaultsLoad((dir / "absent").c_str(), &f, &problems), 0);
    EXPECT_EQ(f.down, 0u);
    EXPECT_TRUE(problems.empty());
}

TEST(GwFaults, LoadCapsTheScriptSize)
{
    velktest::ScratchDir dir;
    std::string text = "runmode=3\n" + std::string(GW_FAULTS_MAX_BYTES, '#') + "\ndown=9\n";
    velktest::writeFile(dir / "faults", text);
    gw_faults_t f;
    std::vector<std::string> problems;
    ASSERT_EQ(gw_FaultsLoad((dir / "faults").c_str(), &f, &problems), 0);
    EXPECT_TRUE(f.runmodeSet);
    EXPECT_EQ(f.down, 0u);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("longer than"), std::string::npos) << problems[0];
}

} // namespace
