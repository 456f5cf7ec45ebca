// The debugger pause marker: only a regular file of the running user's own,
// writable by nobody else, pauses a run.

#include <sys/stat.h>
#include <unistd.h>

#include "velk_Run.h"
#include "velk_unit_fixture.h"

namespace {

TEST(Run, DebugPauseMarkerMustBeTheUsersOwn)
{
    velktest::ScratchDir dir;
    const uid_t me = getuid();
    struct Case {
        const char *what;
        mode_t mode; // 0: no file at all
        bool link;   // a symbolic link to such a file
        uid_t uid;   // the user asking
        bool want;
    } cases[] = {
        {"own file", 0644, false, me, true},
        {"own file, read-only", 0400, false, me, true},
        {"missing", 0, false, me, false},
        {"another user's file", 0644, false, me + 1, false},
        {"writable by others", 0646, false, me, false},
        {"writable by the group", 0664, false, me, false},
        {"link to an own file", 0644, true, me, false},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string target = dir / ("f" + std::to_string(n++));
        std::string marker = target;
        if (c.mode != 0) {
            velktest::writeFile(target, "");
            ASSERT_EQ(chmod(target.c_str(), c.mode), 0);
        }
        if (c.link) {
            marker = target + ".link";
            ASSERT_EQ(symlink(target.c_str(), marker.c_str()), 0);
        }
        EXPECT_EQ(velk_DebugPauseWanted(marker.c_str(), c.uid), c.want) << c.what;
    }
}

} // namespace
