// The message sink a caller may set for the client library's messages.
// The sink is process-wide, so the case runs in a forked child.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

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


} // namespace
