// The forced shutdown's grace period: whole seconds up to 30 from the
// environment, read when the signal thread starts (in a child per case, as
// the signal set-up is process-wide).  The signals themselves are exercised
// end to end.

#include "velk_Signals.h"
#include "velk_unit_fixture.h"

namespace {

TEST(Signals, ShutdownGraceTakesWholeSecondsUpTo30FromTheEnvironment)
{
    struct Case {
        const char *env;  // null: variable unset
        int preset, want;
    } cases[] = {{nullptr, 30, 30}, {nullptr, 4, 4}, {"0", 30, 0},    {"7", 30, 7},   {"30", 30, 30},
                 {"31", 30, 30},    {"-1", 30, 30},  {"abc", 30, 30}, {"5s", 30, 30}, {"", 30, 30}};
    for (const Case &c : cases) {
        velktest::ForkedChild child([&] {
            if (c.env)
                setenv("VELK_TESTONLY_SHUTDOWN_GRACE", c.env, 1);
            else
                unsetenv("VELK_TESTONLY_SHUTDOWN_GRACE");
            velk_shutdown_grace_seconds = c.preset;
            return velk_SigInit() != 0 ? 100 : velk_shutdown_grace_seconds;
        });
        EXPECT_TRUE(velktest::exitsWith(child, c.want)) << (c.env ? c.env : "(unset)");
    }
}

} // namespace
