// Transfer buffers: whole blocks of the -S size.  The stop check of a
// transfer control and the precedence of its reasons.

#include "velk_ParseCmdLine.h"
#include "velk_Xfer.h"
#include "velk_unit_fixture.h"

namespace {

TEST(Xfer, BuffersAreWholeBlocks)
{
    velkunit::RunGlobals globals;
    unsetenv("QUOR_IO_MEMTYPE");
    io_buffer_t buf;
    memset(static_cast<void *>(&buf), 0, sizeof buf);
    ASSERT_EQ(velk_InitRwBuf(&buf, VELK_MEMTYPE_LOCAL, VELK_MIN_IOBUFSIZE), 0);
    EXPECT_EQ(buf.bufSize, 524288);
    EXPECT_EQ(buf.bufSizeBlocks, 1024);
    EXPECT_EQ(buf.state, IOB_STATE_READING);
    EXPECT_EQ(buf.bufFlags, IOB_FLAG_LOCK_CREATED | IOB_FLAG_COND_CREATED);
    // Another size is rounded up to whole blocks; the old storage goes first.
    {
        velktest::OutputCapture cap;
        ASSERT_EQ(velk_InitRwBuf(&buf, VELK_MEMTYPE_LOCAL, 600000), 0);
    }
    EXPECT_EQ(buf.bufSizeBlocks, 1172);
    EXPECT_EQ(buf.bufSize, 600064);
    buf.buffer[buf.bufSize - 1] = 0x5a;  // the whole capacity is usable
    EXPECT_EQ(velk_CleanIoBuf(&buf), 0);
    EXPECT_EQ(buf.buffer, nullptr);
    EXPECT_EQ(buf.bufFlags, 0u);
}

// Sets the state the stop check reads; no other thread uses ctl.
void setState(velk_xfer_ctl_t *ctl, int aborts, int active, int recovering) KYL_NO_THREAD_SAFETY_ANALYSIS
{
    ctl->abortSignalled = aborts;
    ctl->transfer_active = active;
    ctl->errorResyncFlag = recovering;
}

TEST(Xfer, StopCheckNamesTheFirstReasonThatHolds)
{
    velkunit::RunGlobals globals;
    struct Case {
        int aborts, active, shutdown;
        bool locks;
        int want;
    } cases[] = {
        {0, 1, 0, true, VELK_XFER_GO_ON},
        {1, 1, 0, true, VELK_XFER_ABORTED},
        {0, 0, 0, true, VELK_XFER_ENDED},
        {0, 1, 1, true, VELK_XFER_SHUTDOWN},
        {2, 0, 1, true, VELK_XFER_ABORTED}, // an abort comes first
        {0, 0, 1, true, VELK_XFER_ENDED},   // then the end of the transfer
        {1, 1, 0, false, VELK_XFER_ABORTED}, // a control without its lock yet
        {0, 1, 1, false, VELK_XFER_SHUTDOWN},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.aborts << c.active << c.shutdown << c.locks);
        velk_xfer_ctl_t ctl{};
        if (c.locks) {
            ASSERT_EQ(velk_InitXferLocks(&ctl), 0);
        }
        setState(&ctl, c.aborts, c.active, 0);
        velk_shutdown_signalled.store(static_cast<unsigned char>(c.shutdown));
        EXPECT_EQ(velk_XferStopReason(&ctl), c.want);
        EXPECT_EQ(velk_XferShouldStop(&ctl), c.want != VELK_XFER_GO_ON);
        EXPECT_EQ(velk_GetXferAborted(&ctl), c.locks ? c.aborts : 0);
        velk_FreeXferLocks(&ctl);
    }
    // Without a control only a shutdown stops; an abort of none still logs.
    EXPECT_EQ(velk_XferStopReason(nullptr), VELK_XFER_SHUTDOWN);
    velk_shutdown_signalled.store(0);
    EXPECT_EQ(velk_XferStopReason(nullptr), VELK_XFER_GO_ON);
    velk_xfer_ctl_t ctl{};
    ASSERT_EQ(velk_InitXferLocks(&ctl), 0);
    setState(&ctl, 0, 1, 0);
    {
        velktest::OutputCapture cap;
        velk_SetXferAborted(&ctl, "fn", "unit", 7);
        velk_SetXferAborted(&ctl, "fn", "unit", 8);
    }
    EXPECT_EQ(velk_GetXferAborted(&ctl), 2);
    EXPECT_EQ(velk_XferStopReason(&ctl), VELK_XFER_ABORTED);
    // A recovery is no stop.
    setState(&ctl, 0, 1, 1);
    EXPECT_TRUE(velk_XferRecovering(&ctl));
    EXPECT_FALSE(velk_XferShouldStop(&ctl));
    velk_FreeXferLocks(&ctl);
}

} // namespace
