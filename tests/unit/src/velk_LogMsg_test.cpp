// Console messages (prefixes, streams, the length cut, texts that look like
// formats), the transfer record layout and the debug trace line.  Logging to
// the gateway stays disabled here: without a gateway session only the
// console copy exists.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_testproc.h"

namespace {

std::vector<std::string> splitTabs(const std::string &s)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = s.find('\t', start);
        fields.push_back(s.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

// Sets whether standard error counts as a terminal and the option flags for
// the life of the object, then puts the earlier values back.
class ConsoleSettings {
public:
    ConsoleSettings(int tty, uint32_t flags) : savedTty_(isatty2), savedFlags_(velk_option_flags)
    {
        isatty2 = tty;
        velk_option_flags = flags;
    }
    ~ConsoleSettings()
    {
        isatty2 = savedTty_;
        velk_option_flags = savedFlags_;
    }
    ConsoleSettings(const ConsoleSettings &) = delete;
    ConsoleSettings &operator=(const ConsoleSettings &) = delete;

private:
    int savedTty_;
    uint32_t savedFlags_;
};

} // namespace

// ---- velk_LogMsg on the console ------------------------------------------------

TEST(LogMsgConsole, ErrorAndWarningGoToStandardErrorWithTheirPrefixes)
{
    velktest::OutputCapture cap;
    EXPECT_EQ(0, velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "disk on fire"));
    EXPECT_EQ(0, velk_LogMsg(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "smoke seen\n"));
    EXPECT_EQ("ERROR: disk on fire\nWARNING: smoke seen\n", cap.err());
    EXPECT_EQ("", cap.out());
}

TEST(LogMsgConsole, InfoAndVelkGoToStandardOutputWithTheirPrefixes)
{
    velktest::OutputCapture cap;
    velk_LogMsg(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "3 members");
    velk_LogMsg(VELK_MSG_VELK, VELK_LOGCLASS_MSG, "a.tar: VELK SUCCESSFUL\n");
    EXPECT_EQ("INFO: 3 members\nVELK: a.tar: VELK SUCCESSFUL\n", cap.out());
    EXPECT_EQ("", cap.err());
}

TEST(LogMsgConsole, LevelFourAndUnknownLevelsPrintNothing)
{
    velktest::OutputCapture cap;
    EXPECT_EQ(0, velk_LogMsg(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, "log only"));
    velk_LogMsg(5, VELK_LOGCLASS_MSG, "beyond the table");
    velk_LogMsg(-1, VELK_LOGCLASS_MSG, "before the table");
    EXPECT_EQ("", cap.out());
    EXPECT_EQ("", cap.err());
}

TEST(LogMsgConsole, EmptyAndNullTextsStillGiveALine)
{
    velktest::OutputCapture cap;
    velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "");
    velk_LogMsg(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, nullptr);
    EXPECT_EQ("ERROR: \nWARNING: \n", cap.err());
}

TEST(LogMsgConsole, FormatDirectivesInTheTextArePrintedLiterally)
{
    velktest::OutputCapture cap;
    velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "bad name %s%n%x");
    velk_LogMsg(VELK_MSG_INFO, VELK_LOGCLASS_MSG, "100% done %n");
    EXPECT_EQ("ERROR: bad name %s%n%x\n", cap.err());
    EXPECT_EQ("INFO: 100% done %n\n", cap.out());
}

TEST(LogMsgConsole, LongMessageIsCutTo2046CharactersEndingInNewline)
{
    std::string text(3000, 'x');
    velktest::OutputCapture cap;
    velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, text.c_str());
    const std::string &got = cap.err();
    ASSERT_EQ(static_cast<size_t>(VELK_MSG_MAX), got.size());
    EXPECT_EQ("ERROR: " + std::string(VELK_MSG_MAX - 8, 'x') + "\n", got);
}

TEST(LogMsgConsole, CutStartsExactlyAtTheLimit)
{
    // "ERROR: " is 7 characters: 2,038 text characters plus the added newline
    // fill the 2,046 exactly; one more character is given up for the newline.
    std::string fits(2038, 'a');
    std::string over(2039, 'b');
    std::string endsInNewline = std::string(2038, 'c') + "\n";
    velktest::OutputCapture cap;
    velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, fits.c_str());
    velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, over.c_str());
    velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, endsInNewline.c_str());
    EXPECT_EQ("ERROR: " + fits + "\n" + "ERROR: " + std::string(2038, 'b') + "\n" + "ERROR: " + endsInNewline,
              cap.err());
}

TEST(LogMsgConsole, LogFmtFormatsBeforePrinting)
{
    velktest::OutputCapture cap;
    velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: %d files skipped", "velk_Create", 4);
    EXPECT_EQ("WARNING: velk_Create: 4 files skipped\n", cap.err());
}

TEST(LogMsgConsole, ErrPrintfWritesToStandardErrorOnly)
{
    velktest::OutputCapture cap;
    velk_ErrPrintf("/debug/%s=%d\n", "files", 12);
    EXPECT_EQ("/debug/files=12\n", cap.err());
    EXPECT_EQ("", cap.out());
}

// ---- transfer record -----------------------------------------------------------

class LogMsgTransferRecord : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedCos_ = velk_archive_cosID;
        savedAcct_ = curAcctId;
        velk_archive_cosID = 17;
        curAcctId = 4021;
    }
    void TearDown() override
    {
        velk_archive_cosID = savedCos_;
        curAcctId = savedAcct_;
    }

    static std::vector<std::string> record(int action, int archiveKind, int memberKind, uint64_t bytes,
                                           double seconds, int result = 0)
    {
        char buf[4096];
        int n = velk_FormatTransferRecord(buf, sizeof buf, 4242, "/home/u/a.tar", action, result, archiveKind,
                                          memberKind, bytes, seconds);
        EXPECT_EQ(static_cast<int>(strlen(buf)), n);
        return splitTabs(buf);
    }

private:
    int savedCos_ = 0;
    uint32_t savedAcct_ = 0;
};

TEST_F(LogMsgTransferRecord, ExtractHasElevenFieldsArchiveLetterFirst)
{
    auto f = record(VOP_EXTRACT, VELK_QUOR_FILE, VELK_LOCAL_MEMBER_FILE, 2000000, 4.0, -5);
    std::vector<std::string> want = {"4242", "extract", "QL", "-5", "2000000", "4.00", "500.0", "/home/u/a.tar",
                                     "",     "17",      "4021"};
    EXPECT_EQ(want, f);
}

TEST_F(LogMsgTransferRecord, CreatePutsTheMemberLetterFirst)
{
    auto f = record(VOP_CREATE, VELK_REMOTE_FILE, VELK_LOCAL_MEMBER_FILE, 1536, 0.5);
    ASSERT_EQ(11u, f.size());
    EXPECT_EQ("create", f[1]);
    EXPECT_EQ("LR", f[2]);
    EXPECT_EQ("0.50", f[5]);
    EXPECT_EQ("3.1", f[6]);
}

TEST_F(LogMsgTransferRecord, CopyAndOtherActionsRepeatTheArchiveLetter)
{
    auto copy = record(VOP_COPY, VELK_LOCAL_FILE, VELK_QUOR_MEMBER_FILE, 10, 1.0);
    ASSERT_EQ(11u, copy.size());
    EXPECT_EQ("copy", copy[1]);
    EXPECT_EQ("LL", copy[2]);

    auto list = record(VOP_LIST, VELK_QUOR_FILE, VELK_LOCAL_MEMBER_FILE, 10, 1.0);
    ASSERT_EQ(11u, list.size());
    EXPECT_EQ("unknown", list[1]);
    EXPECT_EQ("QQ", list[2]);
}

TEST_F(LogMsgTransferRecord, PipesAndUnknownKindsShowQuestionMarks)
{
    EXPECT_EQ("??", record(VOP_EXTRACT, VELK_PIPE, 7, 0, 1.0)[2]);
    EXPECT_EQ("R?", record(VOP_CREATE, VELK_PIPE, VELK_REMOTE_MEMBER_FILE, 0, 1.0)[2]);
    EXPECT_EQ("Q?", record(VOP_EXTRACT, VELK_QUOR_FILE, -1, 0, 1.0)[2]);
}

TEST_F(LogMsgTransferRecord, RateIsZeroAtTinyElapsedTimes)
{
    EXPECT_EQ("0.0", record(VOP_CREATE, VELK_QUOR_FILE, VELK_LOCAL_MEMBER_FILE, 1000000, 0.0)[6]);
    EXPECT_EQ("0.0", record(VOP_CREATE, VELK_QUOR_FILE, VELK_LOCAL_MEMBER_FILE, 1000000, 0.0001)[6]);
    EXPECT_EQ("0.00", record(VOP_CREATE, VELK_QUOR_FILE, VELK_LOCAL_MEMBER_FILE, 1000000, 0.0001)[5]);
    // Just above the threshold the rate is computed: 1e6 bytes / 0.0002 s.
    EXPECT_EQ("5000000.0", record(VOP_CREATE, VELK_QUOR_FILE, VELK_LOCAL_MEMBER_FILE, 1000000, 0.0002)[6]);
}

TEST_F(LogMsgTransferRecord, ByteCountsBeyond32BitsArePrintedWhole)
{
    auto f = record(VOP_EXTRACT, VELK_QUOR_FILE, VELK_LOCAL_MEMBER_FILE, 10000000000ull, 10.0);
    EXPECT_EQ("10000000000", f[4]);
    EXPECT_EQ("1000000.0", f[6]);
}

TEST(LogMsgTransferLog, NothingIsSentWhileLoggingIsDisabled)
{
    ASSERT_EQ(0, velk_logging_enabled.load());
    velktest::OutputCapture cap;
    EXPECT_EQ(0, velk_LogFileTransfer("/a.tar", VOP_CREATE, 0, VELK_QUOR_FILE, VELK_LOCAL_MEMBER_FILE, 1, 1.0));
    EXPECT_EQ("", cap.out());
    EXPECT_EQ("", cap.err());
}

// ---- debug trace ---------------------------------------------------------------

TEST(LogMsgFuncTrace, EntryLineNamesUnitLineAndRoutine)
{
    velktest::OutputCapture cap;
    velk_FuncTraceMessage("Entering ", "velk_Create", nullptr, 0, "/work/src/velk_Create.cpp", 42);
    EXPECT_EQ("[velk_Create.cpp,line 42] Entering  velk_Create\n", cap.err());
    EXPECT_EQ("", cap.out());
}

TEST(LogMsgFuncTrace, NamedValueIsAppended)
{
    velktest::OutputCapture cap;
    velk_FuncTraceMessage("Exiting ", "velk_List", "rc", -7L, "velk_List.cpp", 311);
    velk_FuncTraceMessage("Entering ", "velk_Extract", "count", 5000000000L, "velk_Extract.cpp", 9);
    EXPECT_EQ("[velk_List.cpp,line 311] Exiting  velk_List rc=-7\n"
              "[velk_Extract.cpp,line 9] Entering  velk_Extract count=5000000000\n",
              cap.err());
}

TEST(LogMsgFuncTrace, RoutineNamesAreNotFormats)
{
    velktest::OutputCapture cap;
    velk_FuncTraceMessage("Entering ", "%s%n", "%n", 1, "%s.cpp", 1);
    EXPECT_EQ("[%s.cpp,line 1] Entering  %s%n %n=1\n", cap.err());
}

// ---- console progress line -----------------------------------------------------

TEST(LogMsgConsoleLine, SilentWhenStandardErrorIsNotATerminal)
{
    ConsoleSettings settings(0, velk_option_flags | VELK_OPT_STATS);
    velktest::OutputCapture cap;
    console_message("Opening", "server connection");
    velk_DisplayXferProgress(5, 10);
    EXPECT_EQ("", cap.err());
    EXPECT_EQ("", cap.out());
}

TEST(LogMsgConsoleLine, ShorterTextBlanksOutTheRestOfTheLongerOne)
{
    ConsoleSettings settings(1, (velk_option_flags & ~VELK_OPT_QUIET) | VELK_OPT_STATS);
    velktest::OutputCapture cap;
    console_message("Opening", "connection");  // 18 characters shown
    console_message("Done", "");               // 5: 13 blanks follow
    velk_DisplayXferProgress(3000000, 2000000); // capped at the total
    console_message("", "");
    EXPECT_EQ("\rOpening connection\r"
              "\rDone " + std::string(13, ' ') + "\r"
              "\r2.0 MB transferred (100.0%) \r"
              "\r " + std::string(27, ' ') + "\r",
              cap.err());
}
