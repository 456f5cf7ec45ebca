// Console messages (prefixes, streams, the length cut, texts that look like
// formats), the transfer record layout and the debug trace line.  Logging to
// the gateway stays disabled: without a gateway session only the console
// copy exists.

#include "velk_LogMsg.h"
#include "velk_MoverDisplay.h"
#include "velk_unit_fixture.h"

namespace {

TEST(LogMsgConsole, PrefixesStreamsAndTheLengthCut)
{
    struct Case {
        int level;
        std::string text;  // "<null>" for a null text
        std::string out, err;
    } cases[] = {
        {VELK_MSG_ERROR, "disk on fire", "", "ERROR: disk on fire\n"},
        {VELK_MSG_WARNING, "smoke seen\n", "", "WARNING: smoke seen\n"},
        {VELK_MSG_INFO, "3 members", "INFO: 3 members\n", ""},
        {VELK_MSG_VELK, "a.tar: VELK SUCCESSFUL\n", "VELK: a.tar: VELK SUCCESSFUL\n", ""},
        {VELK_MSG_LOGONLY, "log only", "", ""},
        {5, "beyond the table", "", ""},
        {-1, "before the table", "", ""},
        {VELK_MSG_ERROR, "", "", "ERROR: \n"},
        {VELK_MSG_WARNING, "<null>", "", "WARNING: \n"},
        {VELK_MSG_ERROR, "bad name %s%n%x", "", "ERROR: bad name %s%n%x\n"},
        // "ERROR: " and 2,038 characters and the newline fill the 2,046;
        // one more character is given up for the newline.
        {VELK_MSG_ERROR, std::string(2038, 'a'), "", "ERROR: " + std::string(2038, 'a') + "\n"},
        {VELK_MSG_ERROR, std::string(2039, 'b'), "", "ERROR: " + std::string(2038, 'b') + "\n"},
        {VELK_MSG_ERROR, std::string(2038, 'c') + "\n", "", "ERROR: " + std::string(2038, 'c') + "\n"},
    };
    for (const Case &c : cases) {
        velktest::OutputCapture cap;
        EXPECT_EQ(velk_LogMsg(c.level, VELK_LOGCLASS_MSG, c.text == "<null>" ? nullptr : c.text.c_str()), 0);
        EXPECT_EQ(cap.out(), c.out) << c.level << " " << c.text.substr(0, 20);
        EXPECT_EQ(cap.err(), c.err) << c.level << " " << c.text.substr(0, 20);
    }
    velktest::OutputCapture cap;
    velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: %d files skipped", "velk_Create", 4);
    velk_ErrPrintf("/debug/%s=%d\n", "files", 12);
    EXPECT_EQ(cap.err(), "WARNING: velk_Create: 4 files skipped\n/debug/files=12\n");
    EXPECT_EQ(cap.out(), "");
}

TEST(LogMsgTransferRecord, FieldsAndKindLetters)
{
    int savedCos = velk_archive_cosID;
    velk_archive_cosID = 17;
    struct Case {
        int action, archiveKind, memberKind;
        uint64_t bytes;
        double seconds;
        int result;
        std::string want;  // tab-separated
    } cases[] = {
        {VOP_EXTRACT, VELK_QUOR_FILE, VELK_LOCAL_MEMBER_FILE, 2000000, 4.0, -5,
         "4242\textract\tQL\t-5\t2000000\t4.00\t500.0\t/home/u/a.tar\t\t17\t4021"},
        // Create puts the member letter first; other actions repeat the archive's.
        {VOP_CREATE, VELK_REMOTE_FILE, VELK_LOCAL_MEMBER_FILE, 1536, 0.5, 0,
         "4242\tcreate\tLR\t0\t1536\t0.50\t3.1\t/home/u/a.tar\t\t17\t4021"},
        {VOP_LIST, VELK_QUOR_FILE, VELK_LOCAL_MEMBER_FILE, 10, 1.0, 0,
         "4242\tunknown\tQQ\t0\t10\t1.00\t0.0\t/home/u/a.tar\t\t17\t4021"},
        {VOP_EXTRACT, VELK_PIPE, 7, 0, 1.0, 0, "4242\textract\t??\t0\t0\t1.00\t0.0\t/home/u/a.tar\t\t17\t4021"},
        // No rate at tiny elapsed times; just above, 1e6 bytes / 0.0002 s.
        {VOP_CREATE, VELK_QUOR_FILE, VELK_LOCAL_MEMBER_FILE, 1000000, 0.0001, 0,
         "4242\tcreate\tLQ\t0\t1000000\t0.00\t0.0\t/home/u/a.tar\t\t17\t4021"},
        {VOP_CREATE, VELK_QUOR_FILE, VELK_LOCAL_MEMBER_FILE, 1000000, 0.0002, 0,
         "4242\tcreate\tLQ\t0\t1000000\t0.00\t5000000.0\t/home/u/a.tar\t\t17\t4021"},
        {VOP_EXTRACT, VELK_QUOR_FILE, VELK_LOCAL_MEMBER_FILE, 10000000000ull, 10.0, 0,
         "4242\textract\tQL\t0\t10000000000\t10.00\t1000000.0\t/home/u/a.tar\t\t17\t4021"},
    };
    for (const Case &c : cases) {
        char buf[4096];
        int n = velk_FormatTransferRecord(buf, sizeof buf, 4242, "/home/u/a.tar", c.action, c.result, c.archiveKind,
                                          c.memberKind, c.bytes, c.seconds, 4021);
        EXPECT_EQ(std::string(buf), c.want);
        EXPECT_EQ(n, static_cast<int>(c.want.size()));
    }
    velk_archive_cosID = savedCos;
}

} // namespace

// The progress line in MiB: the share, then the rate and time left once
// half a second has passed, then the member.
TEST(LogMsgProgress, RateTimeLeftAndMember)
{
    constexpr uint64_t MiB = 1024 * 1024;
    struct Case {
        uint64_t done, total;
        double seconds;
        const char *member;
        const char *want;
    } cases[] = {
        {0, 0, 0.0, "", "0.0 MiB transferred"},
        {3 * MiB, 12 * MiB, 0.2, "", "3.0 MiB transferred (25.0%)"},
        {3 * MiB, 12 * MiB, 1.5, "d/a.txt", "3.0 MiB transferred (25.0%), 2.0 MiB/s, 0:05 left  d/a.txt"},
        {10 * MiB, 250 * MiB, 10.0, nullptr, "10.0 MiB transferred (4.0%), 1.0 MiB/s, 4:00 left"},
        {12 * MiB, 12 * MiB, 4.0, "f", "12.0 MiB transferred (100.0%), 3.0 MiB/s  f"},
    };
    for (const Case &c : cases) {
        char text[VELK_PROGRESS_TEXT_MAX];
        velk_FormatXferProgress(text, sizeof text, c.done, c.total, c.seconds, c.member);
        EXPECT_STREQ(text, c.want);
    }
}

TEST(LogMsgMoverDisplay, EveryFieldOnItsLine)
{
    initiator_msg_t m{};
    m.Delimiter = MVRPROT_DELIMITER;
    m.Flags = MVRPROT_ADDR_FOLLOWS | MVRPROT_HOLD_RESOURCES;
    m.Type = 1;
    m.Offset = 4194304;
    m.Length = 1048576;
    m.StripeWidth = 4;
    m.DevCRCAlgo = 7;
    m.SecurityTicket = 0x0102030405060708ull;
    m.CheckSum = 0xfedcba9876543210ull;
    velktest::OutputCapture cap;
    velk_DisplayInitiatorMessage(3, 12, &m);
    const std::string err = cap.err();
    for (const char *line : {"Transfer Initiation Message - Transfer # 3 Connection 12\n",
                             "    Delimiter..(high).. 0x89abcdef\n", "             ..(low)..  0x01234567\n",
                             "         MVRPROT_HOLD_RESOURCES = 1\n", "         MVRPROT_ADDR_FOLLOWS = 1\n",
                             "         MVRPROT_COMP_REPLY = 0\n", "    Offset............ 4194304\n",
                             "    Length............ 1048576\n", "    StripeWidth....... 4\n",
                             "    DevCRCAlgo........ 7 (crc32)\n", "    SecurityTicket.... 0x0102030405060708\n",
                             "    CheckSum...(high).. 0xfedcba98\n", "             ..(low)..  0x76543210\n"})
        EXPECT_NE(err.find(line), std::string::npos) << line << err;
}
