// The message sink a caller may set for the client library's messages.
// The sink is process-wide, so the case runs in a forked child.

#include <gtest/gtest.h>


#include <cstdlib>
#include <string>

#include "nxapi_private.h"
#include "quor_api.h"
#include "velk_testproc.h"

namespace {

TEST(ClientLog, MessagesGoToTheSinkWhileOneIsSetThenToStderrAgain)
{
    std::string caught, err;
    EXPECT_TRUE(velktest::childExitsWith(0, [&] {
        unsetenv("QUOR_API_DEBUG");
        unsetenv("QUOR_API_DEBUG_PATH");
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
    }, &err));
    EXPECT_EQ(err, "back on stderr\n");
}

} // namespace
