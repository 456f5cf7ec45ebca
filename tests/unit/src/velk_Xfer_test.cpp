// Transfer buffers: whole blocks of the -S size.

#include "velk_ParseCmdLine.h"
#include "velk_Xfer.h"
#include "velk_unit_fixture.h"

namespace {

TEST(Xfer, BuffersAreWholeBlocks)
{
    velkunit::RunGlobals globals;
    velk_io_memtype.store(-1);
    unsetenv("QUOR_IO_MEMTYPE");
    velk_iobufsize = VELK_MIN_IOBUFSIZE;
    io_buffer_t buf;
    memset(static_cast<void *>(&buf), 0, sizeof buf);
    ASSERT_EQ(velk_InitRwBuf(&buf, VELK_MEMTYPE_LOCAL), 0);
    EXPECT_EQ(buf.bufSize, 524288);
    EXPECT_EQ(buf.bufSizeBlocks, 1024);
    EXPECT_EQ(buf.state, IOB_STATE_READING);
    EXPECT_EQ(buf.bufFlags, IOB_FLAG_LOCK_CREATED | IOB_FLAG_COND_CREATED);
    // Another size is rounded up to whole blocks; the old storage goes first.
    velk_iobufsize = 600000;
    {
        velktest::OutputCapture cap;
        ASSERT_EQ(velk_InitRwBuf(&buf, VELK_MEMTYPE_LOCAL), 0);
    }
    EXPECT_EQ(buf.bufSizeBlocks, 1172);
    EXPECT_EQ(buf.bufSize, 600064);
    buf.buffer[buf.bufSize - 1] = 0x5a;  // the whole capacity is usable
    EXPECT_EQ(velk_CleanIoBuf(&buf), 0);
    EXPECT_EQ(buf.buffer, nullptr);
    EXPECT_EQ(buf.bufFlags, 0u);
    velk_io_memtype.store(-1);
}

} // namespace
