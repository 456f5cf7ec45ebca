// The decision after a rename's reply was lost: what looking at the source
// and target names says about whether the rename was done.

#include <gtest/gtest.h>

#include <cerrno>

#include "kylgw_errors.h"
#include "velk_GatewayRename.h"

TEST(GatewayRename, BothNamesDecideWhetherALostRenameWasDone)
{
    const int lost = NXAPI_E_NOSESSION;
    struct Row {
        int fromSeen, toSeen, outcome;
    };
    const Row rows[] = {
        {-ENOENT, 0, 0},                         // source gone, target there: done
        {0, 0, lost},                            // source still there: not done
        {0, -ENOENT, lost},                      // (a first create: no target yet)
        {-ENOENT, -ENOENT, VELK_RENAME_UNKNOWN}, // both gone: someone else was here
        {lost, lost, VELK_RENAME_UNKNOWN},       // the new session failed too
        {-ENOENT, lost, VELK_RENAME_UNKNOWN},
        {-EACCES, 0, VELK_RENAME_UNKNOWN},
    };
    for (const Row &r : rows)
        EXPECT_EQ(velk_RenameOutcome(lost, r.fromSeen, r.toSeen), r.outcome) << r.fromSeen << " " << r.toSeen;
    EXPECT_TRUE(velk_ConnectionLost(NXAPI_E_NOSESSION));
    EXPECT_FALSE(velk_ConnectionLost(-EIO));
}
