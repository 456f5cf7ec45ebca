// The client library's diagnostic log: prefix order and destinations chosen
// by QUOR_API_DEBUG, QUOR_API_DEBUG_FLAGS and QUOR_API_DEBUG_PATH, the
// message sink a caller may set, and the message-header trace.  The
// settings are process-wide, so each case runs in a forked child.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "nxapi_private.h"
#include "quor_api.h"
#include "velk_testproc.h"
#include "velk_testsupport.h"

namespace {

struct ChildRun {
    int code = -1;
    std::string err;
};

ChildRun inChild(const velktest::ScratchDir &dir, const std::function<int()> &scenario)
{
    std::string outPath = dir / "out", errPath = dir / "err";
    ChildRun r;
    {
        velktest::ForkedChild child([&] {
            if (!velktest::redirectOutputToFiles(outPath, errPath))
                return 120;
            unsetenv("QUOR_API_DEBUG");
            unsetenv("QUOR_API_DEBUG_FLAGS");
            unsetenv("QUOR_API_DEBUG_PATH");
            int rc = scenario();
            fflush(nullptr);
            return rc;
        });
        int status = 0;
        if (child.wait(&status) && WIFEXITED(status))
            r.code = WEXITSTATUS(status);
    }
    r.err = velktest::readFile(errPath);
    return r;
}

TEST(ClientLog, PidPrefixComesBeforeTheTime)
{
    velktest::ScratchDir dir;
    std::string path = dir / "debug.log";
    ChildRun r = inChild(dir, [&] {
        setenv("QUOR_API_DEBUG_FLAGS", "tp", 1);
        setenv("QUOR_API_DEBUG_PATH", path.c_str(), 1);
        nxapi_logging_init();
        nxapi_logmsg(3, "someFunction", "hello", NXAPI_LOG_FILE, "/x/y/nxapi_unit.cpp", 42);
        // A level outside the mask and a destination not configured write nothing.
        setenv("QUOR_API_DEBUG", "8", 1);
        nxapi_logging_init();
        nxapi_logmsg(4, "quiet", "not written", NXAPI_LOG_FILE, "u.cpp", 1);
        nxapi_logmsg(3, "quiet", "not written either", NXAPI_LOG_SYSLOG, "u.cpp", 1);
        printf("%d", static_cast<int>(getpid()));
        return 0;
    });
    ASSERT_EQ(r.code, 0) << r.err;
    std::string childPid = velktest::readFile(dir / "out");
    std::vector<std::string> lines = velktest::lines(velktest::readFile(path));
    ASSERT_EQ(lines.size(), 2u);
    std::regex first("\\[" + childPid +
                     "\\]  [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
                     "Function: someFunction  File: nxapi_unit  Line: 42 ");
    EXPECT_TRUE(std::regex_match(lines[0], first)) << lines[0];
    EXPECT_EQ(lines[1], "msg: hello");
    EXPECT_EQ(r.err, "");
}

TEST(ClientLog, WithoutDebugFileOnlyLevelThreeReachesStderr)
{
    velktest::ScratchDir dir;
    ChildRun r = inChild(dir, [] {
        setenv("QUOR_API_DEBUG", "255", 1);
        setenv("QUOR_API_DEBUG_FLAGS", "T", 1);
        nxapi_logging_init();
        nxapi_logmsg(0, "f0", "level zero\n", 7, "a.cpp", 1);
        nxapi_logmsg(7, "f7", "level seven\n", 7, "a.cpp", 2);
        nxapi_logmsg(3, "f3", "level three\n", 7, "dir/b.cpp", 3);
        return 0;
    });
    ASSERT_EQ(r.code, 0);
    // No time prefix ('T'), and stderr gets the lines as they are.
    EXPECT_EQ(r.err, "Function: f3  File: b  Line: 3 msg: level three\n");
}

TEST(ClientLog, MessagesGoToTheSinkWhileOneIsSetThenToStderrAgain)
{
    velktest::ScratchDir dir;
    std::string caught;
    ChildRun r = inChild(dir, [&] {
        setenv("QUOR_API_DEBUG_FLAGS", "T", 1);
        nxapi_logging_init();
        quor_SetMessageSink(
            [](const char *text, size_t len, void *arg) {
                if (text[len] == '\0')
                    static_cast<std::string *>(arg)->append(text, len);
            },
            &caught);
        // A text longer than the formatting buffer arrives whole.
        std::string longText(3000, 'x');
        nxapi_Print("%s|%d\n", longText.c_str(), 7);
        nxapi_logmsg(3, "f3", "level three\n", NXAPI_LOG_STDERR, "b.cpp", 3);
        std::string want = longText + "|7\nFunction: f3  File: b  Line: 3 msg: level three\n";
        int rc = caught == want ? 0 : 3;
        quor_SetMessageSink(nullptr, nullptr);
        nxapi_Print("back on %s\n", "stderr");
        return rc;
    });
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "back on stderr\n");
}

TEST(ClientLog, UnopenableDebugFileDisablesLogging)
{
    velktest::ScratchDir dir;
    std::string path = dir / "no-such-dir/debug.log";
    ChildRun r = inChild(dir, [&] {
        setenv("QUOR_API_DEBUG_PATH", path.c_str(), 1);
        nxapi_logging_init();
        nxapi_logmsg(3, "f3", "dropped\n", 7, "a.cpp", 1);
        return 0;
    });
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "nxapi_logging_init: unable to open debug logfile " + path + " - logging disabled\n");
}

TEST(ClientLog, HeaderTraceGoesToTheDebugFileOnly)
{
    velktest::ScratchDir dir;
    std::string path = dir / "trace.log";
    ChildRun r = inChild(dir, [&] {
        setenv("QUOR_API_DEBUG_FLAGS", "m", 1);
        setenv("QUOR_API_DEBUG_PATH", path.c_str(), 1);
        nxapi_logging_init();
        if (!nxapi_tracing())
            return 1;
        quor_connection_t conn;
        snprintf(conn.server_host, sizeof conn.server_host, "%s", "gw.example");
        api_msghdr_t h;
        kylgw_BuildMsgHdr(&h, 0x1234, MSGF_BODY, 0, 0, CAT_LOG, FN_LOGMSG, -7);
        nxapi_tracemsg_hdr(1, &conn, &h);
        nxapi_tracemsg_hdr(0, &conn, &h);
        return 0;
    });
    ASSERT_EQ(r.code, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = velktest::lines(velktest::readFile(path));
    ASSERT_EQ(lines.size(), 4u);
    std::regex head("[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3} (Outbound|Inbound) message "
                    "Request ID: 4660 \\[0x00001234\\] Connection: gw\\.example Sanity: API_MSGH");
    EXPECT_TRUE(std::regex_match(lines[0], head)) << lines[0];
    EXPECT_NE(lines[0].find(" Outbound "), std::string::npos);
    EXPECT_NE(lines[2].find(" Inbound "), std::string::npos);
    EXPECT_EQ(lines[1], "Flags:  0x80000000  Category: 1792 [0x0700]  Function: 257 [0x0101] Errorcode: -7");
}

} // namespace
