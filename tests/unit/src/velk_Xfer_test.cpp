// Transfer context: buffer sizes and counts, the memory-type setting, the
// queue order rules, teardown of partial set-ups, the abort count under
// concurrent callers and the waits for transfer threads.

#include <gtest/gtest.h>

#include "velk_unit_fixture.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "velk_Globals.h"
#include "velk_ParseCmdLine.h"
#include "velk_TarHeader.h"
#include "velk_Xfer.h"
#include "velk_testproc.h"

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

TEST_F(XferTest, BufferSizeIsWholeBlocksOfTheIoBufferSize)
{
    // -S 100k is raised to the parser's minimum, 524288 bytes.
    velk_iobufsize = VELK_MIN_IOBUFSIZE;
    io_buffer_t buf;
    memset(static_cast<void *>(&buf), 0, sizeof buf);
    ASSERT_EQ(velk_InitRwBuf(&buf, VELK_MEMTYPE_LOCAL), 0);
    EXPECT_EQ(buf.bufSize, 524288);
    EXPECT_EQ(buf.bufSizeBlocks, 1024);
    EXPECT_EQ(buf.state, IOB_STATE_READING);
    EXPECT_EQ(buf.bufFlags, IOB_FLAG_LOCK_CREATED | IOB_FLAG_COND_CREATED);
    ASSERT_NE(buf.buffer, nullptr);

    // A size that is not a block multiple is rounded up to whole blocks;
    // the record's storage is released before it is set up again.
    velk_iobufsize = 600000;
    {
        velktest::OutputCapture cap;
        ASSERT_EQ(velk_InitRwBuf(&buf, VELK_MEMTYPE_LOCAL), 0);
        EXPECT_EQ(cap.err(), "ERROR: [Internal error] non-null buffer in velk_InitRwBuf - reallocating\n");
    }
    EXPECT_EQ(buf.bufSizeBlocks, 1172);
    EXPECT_EQ(buf.bufSize, 600064);
    buf.buffer[buf.bufSize - 1] = 0x5a;  // the whole capacity is usable

    EXPECT_EQ(velk_CleanIoBuf(&buf), 0);
    EXPECT_EQ(buf.buffer, nullptr);
    EXPECT_EQ(buf.bufFlags, 0u);
}

TEST_F(XferTest, TwoBuffersPerStripeOnTheEmptyQueueInAllocationOrder)
{
    velk_iobufsize = 524288;
    const struct {
        int stripes;
        int buffers;
    } cases[] = {{4, 8}, {1, 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.stripes);
        memset(static_cast<void *>(&ctl_), 0, sizeof ctl_);
        velk_archive_stripewidth = c.stripes;
        ASSERT_EQ(velk_AllocateIoBuffers(&ctl_), 0);
        EXPECT_EQ(ctl_.bufCount, c.buffers);
        int n = 0;
        for (io_buffer_t *b = ctl_.bufEmptyQueue; b != nullptr; b = b->next, ++n) {
            EXPECT_EQ(b->bufID, n);
            EXPECT_EQ(b->bufSize, 524288);
            EXPECT_EQ(b->state, IOB_STATE_READING);
            EXPECT_EQ(b->memType, VELK_MEMTYPE_LOCAL);
        }
        EXPECT_EQ(n, c.buffers);
        velk_CleanupIoBuffers(&ctl_);
        EXPECT_EQ(ctl_.bufEmptyQueue, nullptr);
    }
}

TEST_F(XferTest, SharedMemoryTypeMakesAllocationFail)
{
    velk_iobufsize = 524288;
    velk_archive_stripewidth = 2;
    setenv("QUOR_IO_MEMTYPE", "shared", 1);
    velktest::OutputCapture cap;
    EXPECT_EQ(velk_AllocateIoBuffers(&ctl_), -1);
    cap.stop();
    EXPECT_EQ(cap.err(), "ERROR: Internal error in velk_InitRwBuf - invalid memory type!\n");
    EXPECT_EQ(ctl_.bufEmptyQueue, nullptr);
    EXPECT_EQ(velk_io_memtype.load(), VELK_MEMTYPE_SHARED);

    // The choice is made once per process: a later change of the variable
    // is not seen until the choice is reset.
    setenv("QUOR_IO_MEMTYPE", "local", 1);
    {
        velktest::OutputCapture again;
        EXPECT_EQ(velk_AllocateIoBuffers(&ctl_), -1);
    }
    velk_io_memtype.store(-1);
    EXPECT_EQ(velk_AllocateIoBuffers(&ctl_), 0);
    EXPECT_EQ(ctl_.bufCount, 4);
}

TEST_F(XferTest, ReadyQueueIsSortedAndEqualOffsetsGoFirst)
{
    io_buffer_t b[5];
    memset(static_cast<void *>(b), 0, sizeof b);
    const uint64_t offs[] = {300, 100, 500, 200, 100};
    for (int i = 0; i < 5; ++i) {
        b[i].fileOffset = offs[i];
        velk_InsertReadyBuffer(&ctl_, &b[i]);
    }
    EXPECT_EQ(offsets(ctl_.bufReadyQueue), (std::vector<uint64_t>{100, 100, 200, 300, 500}));
    // The later buffer with an equal offset stands before the earlier one.
    EXPECT_EQ(ctl_.bufReadyQueue, &b[4]);
    EXPECT_EQ(ctl_.bufReadyQueue->next, &b[1]);
    ctl_.bufReadyQueue = nullptr;  // stack records: not for CleanupIoBuffers
}

TEST_F(XferTest, EmptyQueueTakesFromAndReturnsToTheHead)
{
    io_buffer_t b[3];
    memset(static_cast<void *>(b), 0, sizeof b);
    for (int i = 2; i >= 0; --i) {
        b[i].fileOffset = static_cast<uint64_t>(i);
        velk_ReturnEmptyBuffer(&ctl_, &b[i]);
    }
    EXPECT_EQ(offsets(ctl_.bufEmptyQueue), (std::vector<uint64_t>{0, 1, 2}));
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

TEST_F(XferTest, MoveBuffersToEmptyQueueAppendsReadyThenFillAndResetsCounters)
{
    ASSERT_EQ(velk_InitXferLocks(&ctl_), 0);
    io_buffer_t b[5];
    memset(static_cast<void *>(b), 0, sizeof b);
    for (int i = 0; i < 5; ++i) {
        b[i].fileOffset = static_cast<uint64_t>(10 * (i + 1));
        b[i].bufFlags = IOB_FLAG_LOCK_CREATED | IOB_FLAG_COND_CREATED | IOB_FLAG_NEW_OFFSET | IOB_FLAG_LAST_DATA;
        b[i].bufBlocksFilled = 3;
        b[i].bufBlocksAllocated = 4;
        b[i].ioCount = 2;
        b[i].dataRemaining = 5;
        b[i].dataMoved = 6;
        b[i].dataLength = 7;
        b[i].newFileOffset = 99;
    }
    // empty: 10; ready: 30, 20 (as linked); fill: 50, 40.
    ctl_.bufEmptyQueue = &b[0];
    ctl_.bufReadyQueue = &b[2];
    b[2].next = &b[1];
    ctl_.bufFillQueue = &b[4];
    b[4].next = &b[3];
    ctl_.bufFillQueueTail = &b[3];

    velk_MoveBuffersToEmptyQueue(&ctl_);
    EXPECT_EQ(offsets(ctl_.bufEmptyQueue), (std::vector<uint64_t>{10, 30, 20, 50, 40}));
    EXPECT_EQ(ctl_.bufReadyQueue, nullptr);
    EXPECT_EQ(ctl_.bufFillQueue, nullptr);
    EXPECT_EQ(ctl_.bufFillQueueTail, nullptr);
    for (const io_buffer_t &x : b) {
        EXPECT_EQ(x.bufFlags, IOB_FLAG_LOCK_CREATED | IOB_FLAG_COND_CREATED);
        EXPECT_EQ(x.bufBlocksFilled, 0);
        EXPECT_EQ(x.bufBlocksAllocated, 0);
        EXPECT_EQ(x.ioCount, 0);
        EXPECT_EQ(x.dataRemaining, 0u);
        EXPECT_EQ(x.dataMoved, 0u);
        EXPECT_EQ(x.dataLength, 0u);
        EXPECT_EQ(x.newFileOffset, 99u);  // not a counter
    }
    ctl_.bufEmptyQueue = nullptr;  // stack records
}

TEST_F(XferTest, CleanupReleasesBothQueuesAndUnlinksRequests)
{
    velk_CleanupIoBuffers(nullptr);  // accepted, does nothing

    velk_iobufsize = 524288;
    velk_archive_stripewidth = 2;
    ASSERT_EQ(velk_InitXferLocks(&ctl_), 0);
    ASSERT_EQ(velk_AllocateIoBuffers(&ctl_), 0);
    // Two of the four buffers move to the ready queue; the records are
    // heap-allocated and freed by the cleanup (the sanitizer build sees a
    // leak or a double free).
    io_buffer_t *a = velk_TakeEmptyBuffer(&ctl_);
    io_buffer_t *b = velk_TakeEmptyBuffer(&ctl_);
    velk_InsertReadyBuffer(&ctl_, a);
    velk_InsertReadyBuffer(&ctl_, b);
    io_bufreq_t r1, r2;
    ASSERT_EQ(velk_InitConReqEntry(&r1), 0);
    ASSERT_EQ(velk_InitConReqEntry(&r2), 0);
    r1.next = &r2;
    ctl_.requestQueue = &r1;

    velk_CleanupIoBuffers(&ctl_);
    EXPECT_EQ(ctl_.bufEmptyQueue, nullptr);
    EXPECT_EQ(ctl_.bufReadyQueue, nullptr);
    EXPECT_EQ(ctl_.requestQueue, nullptr);
    EXPECT_EQ(r1.next, nullptr);
    EXPECT_EQ(r1.reqLockCreated, 1);  // entries survive
    velk_FreeConReqEntry(&r1);
    velk_FreeConReqEntry(&r2);
    EXPECT_EQ(r1.reqLockCreated, 0);
    EXPECT_EQ(r1.reqCondCreated, 0);
}

TEST_F(XferTest, LocksAreFreedExactlyAsCreated)
{
    ASSERT_EQ(velk_InitXferLocks(&ctl_), 0);
    EXPECT_EQ(ctl_.localFileCondCreated, 1);
    EXPECT_EQ(ctl_.ctlMutexCreated, 1);
    EXPECT_EQ(ctl_.bufQueueLockCreated, 1);
    EXPECT_EQ(ctl_.bufQueueCondCreated, 1);
    EXPECT_EQ(ctl_.waitIOCondCreated, 1);
    velk_FreeXferLocks(&ctl_);
    EXPECT_EQ(ctl_.localFileCondCreated + ctl_.ctlMutexCreated + ctl_.bufQueueLockCreated +
                  ctl_.bufQueueCondCreated + ctl_.waitIOCondCreated,
              0);

    // A set-up that stopped after the control lock: only that lock and the
    // condition before it are destroyed.
    memset(static_cast<void *>(&ctl_), 0, sizeof ctl_);
    ASSERT_EQ(ctl_.localFileCond.init(), 0);
    ctl_.localFileCondCreated = 1;
    ASSERT_EQ(ctl_.controlLock.init(), 0);
    ctl_.ctlMutexCreated = 1;
    velk_FreeXferLocks(&ctl_);
    EXPECT_EQ(ctl_.localFileCondCreated, 0);
    EXPECT_EQ(ctl_.ctlMutexCreated, 0);
    velk_FreeXferLocks(nullptr);
}

TEST_F(XferTest, AbortCountAddsUpFromSeveralThreads)
{
    EXPECT_EQ(velk_GetXferAborted(), 0);  // nothing published
    EXPECT_EQ(velk_GetXferActive(), 0);

    ASSERT_EQ(velk_InitXferLocks(&ctl_), 0);
    ctl_.transfer_active = 1;
    xfer_ctl.store(&ctl_);
    EXPECT_EQ(velk_GetXferActive(), 1);

    constexpr int kThreads = 4;
    constexpr int kEach = 25;
    std::atomic<int> seenAborted{0};
    {
        velktest::OutputCapture cap;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&seenAborted] {
                for (int i = 0; i < kEach; ++i) {
                    velk_SetXferAborted("worker", "velk_Xfer_test", 42);
                    if (velk_GetXferAborted() > 0 && velk_GetXferActive() == 1)
                        seenAborted.fetch_add(1);
                }
            });
        for (auto &th : threads)
            th.join();
        cap.stop();
        std::string err = cap.err();
        const std::string line = "ERROR: velk_SetXferAborted called [function worker,line 42,file velk_Xfer_test]\n";
        ASSERT_GE(err.size(), line.size());
        EXPECT_EQ(err.substr(0, line.size()), line);
    }
    EXPECT_EQ(velk_GetXferAborted(), kThreads * kEach);
    EXPECT_EQ(seenAborted.load(), kThreads * kEach);
}

// A stand-in transfer thread: sleeps on its request condition until woken
// while the transfer is no longer active, then clears its entry.
struct FakeTransferThread {
    transfer_t *ctl;
    connection_info_t *entry;
    std::atomic<int> wakeups{0};

    void run()
    {
        for (;;) {
            entry->ioRequest.reqLock.lock();
            entry->ioRequest.reqCond.wait(entry->ioRequest.reqLock);
            entry->ioRequest.reqLock.unlock();
            wakeups.fetch_add(1);
            if (velk_GetXferActive() == 0)
                break;
        }
        ctl->controlLock.lock();
        entry->isactive = 0;
        ctl->controlLock.unlock();
    }
};

TEST_F(XferTest, ShutdownTransferThreadsWakesAndWaitsForActiveEntries)
{
    ASSERT_EQ(velk_InitXferLocks(&ctl_), 0);
    connection_info_t list[3];
    memset(static_cast<void *>(list), 0, sizeof list);
    for (int i = 0; i < 3; ++i) {
        list[i].conInx = i;
        ASSERT_EQ(velk_InitConReqEntry(&list[i].ioRequest), 0);
    }
    ctl_.connectionList = list;
    ctl_.connectListSize = 3;
    ctl_.transfer_active = 1;
    xfer_ctl.store(&ctl_);
    list[1].isactive = 1;

    FakeTransferThread fake{&ctl_, &list[1]};
    std::thread th([&fake] { fake.run(); });
    ctl_.controlLock.lock();
    ctl_.transfer_active = 0;
    ctl_.controlLock.unlock();

    velk_debug_level = 2;
    velktest::OutputCapture cap;
    velk_ShutdownTransferThreads(&ctl_);
    cap.stop();
    ctl_.controlLock.lock();
    EXPECT_EQ(list[1].isactive, 0);
    ctl_.controlLock.unlock();
    th.join();
    EXPECT_GE(fake.wakeups.load(), 1);
    // At most one line, for the entry that was waited on.
    std::string err = cap.err();
    EXPECT_TRUE(err.empty() || err == "/debug/ - waiting on transfer thread entry 1 to complete...\n") << err;
    for (auto &e : list)
        velk_FreeConReqEntry(&e.ioRequest);
}

TEST_F(XferTest, CleanupTransferThreadsClosesSocketsOfAnAbortedTransfer)
{
    ASSERT_EQ(velk_InitXferLocks(&ctl_), 0);
    connection_info_t list[2];
    memset(static_cast<void *>(list), 0, sizeof list);
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    for (int i = 0; i < 2; ++i) {
        list[i].conInx = i;
        list[i].controlSocket = list[i].listenSocket = list[i].transferSocket = -1;
        ASSERT_EQ(velk_InitConReqEntry(&list[i].ioRequest), 0);
    }
    list[0].isactive = 1;
    list[0].controlSocket = sv[0];
    ctl_.connectionList = list;
    ctl_.connectListSize = 2;
    ctl_.abortSignalled = 1;

    // The stand-in thread ends once its socket was closed, as a thread
    // blocked on the socket would.
    std::atomic<bool> sawClose{false};
    std::thread th([this, &list, &sawClose] {
        auto deadline = velktest::Clock::now() + velktest::kGenerousWait;
        for (;;) {
            ctl_.controlLock.lock();
            bool closed = list[0].controlSocket == -1;
            bool timeUp = velktest::Clock::now() > deadline;
            if (closed || timeUp) {
                sawClose.store(closed);
                list[0].isactive = 0;
                ctl_.controlLock.unlock();
                return;
            }
            ctl_.controlLock.unlock();
            sched_yield();
        }
    });
    velk_CleanupTransferThreads(&ctl_);
    th.join();
    EXPECT_TRUE(sawClose.load());
    // The peer sees the end of the stream: the descriptor was closed.
    char c;
    EXPECT_EQ(read(sv[1], &c, 1), 0);
    close(sv[1]);
    EXPECT_EQ(list[1].controlSocket, -1);
    for (auto &e : list)
        velk_FreeConReqEntry(&e.ioRequest);
}

TEST_F(XferTest, TimestampFollowsTheWallClock)
{
    double t = velk_GetTimestamp();
    time_t now = time(nullptr);
    EXPECT_GE(t, static_cast<double>(now) - 2.0);
    EXPECT_LE(t, static_cast<double>(now) + 2.0);
}

}  // namespace
