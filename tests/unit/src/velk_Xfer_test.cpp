// Transfer context: buffer sizes and the queue order rules.

#include "velk_ParseCmdLine.h"
#include "velk_Xfer.h"
#include "velk_unit_fixture.h"

// These tests look straight into the queues of a context that no other
// thread uses, which the lock analysis cannot know.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wthread-safety-analysis"
#pragma clang diagnostic ignored "-Wthread-safety-reference"
#endif

namespace {

class XferTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        velk_io_memtype.store(-1);
        unsetenv("QUOR_IO_MEMTYPE");
        memset(static_cast<void *>(&ctl_), 0, sizeof ctl_);
        velk_iobufsize = VELK_MIN_IOBUFSIZE;
    }
    void TearDown() override
    {
        velk_CleanupIoBuffers(&ctl_);
        velk_FreeXferLocks(&ctl_);
        xfer_ctl.store(nullptr);
        velk_io_memtype.store(-1);
        unsetenv("QUOR_IO_MEMTYPE");
    }
    // Offsets of the buffers of a queue, in queue order.
    static std::vector<uint64_t> offsets(const io_buffer_t *head)
    {
        std::vector<uint64_t> v;
        for (; head != nullptr; head = head->next)
            v.push_back(head->fileOffset);
        return v;
    }
    transfer_t ctl_;
    velkunit::RunGlobals globals_;
};

TEST_F(XferTest, BuffersAreWholeBlocks)
{
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

}

TEST_F(XferTest, QueueOrderRules)
{
    io_buffer_t b[5];
    memset(static_cast<void *>(b), 0, sizeof b);
    // Ready: sorted by offset, a later buffer before an earlier equal one.
    const uint64_t offs[] = {300, 100, 500, 200, 100};
    for (int i = 0; i < 5; ++i) {
        b[i].fileOffset = offs[i];
        velk_InsertReadyBuffer(&ctl_, &b[i]);
    }
    EXPECT_EQ(offsets(ctl_.bufReadyQueue), (std::vector<uint64_t>{100, 100, 200, 300, 500}));
    EXPECT_EQ(ctl_.bufReadyQueue, &b[4]);
    ctl_.bufReadyQueue = nullptr;

    // Empty: taken from and returned to the head.
    memset(static_cast<void *>(b), 0, sizeof b);
    for (int i = 2; i >= 0; --i) {
        b[i].fileOffset = static_cast<uint64_t>(i);
        velk_ReturnEmptyBuffer(&ctl_, &b[i]);
    }
    io_buffer_t *first = velk_TakeEmptyBuffer(&ctl_);
    ASSERT_EQ(first, &b[0]);
    EXPECT_EQ(first->next, nullptr);
    EXPECT_EQ(velk_TakeEmptyBuffer(&ctl_), &b[1]);
    velk_ReturnEmptyBuffer(&ctl_, first);
    EXPECT_EQ(offsets(ctl_.bufEmptyQueue), (std::vector<uint64_t>{0, 2}));
    EXPECT_EQ(velk_TakeEmptyBuffer(&ctl_), &b[0]);
    EXPECT_EQ(velk_TakeEmptyBuffer(&ctl_), &b[2]);
    EXPECT_EQ(velk_TakeEmptyBuffer(&ctl_), nullptr);
}

} // namespace
