// The transfer control's buffer ring, locks, thread bookkeeping and stop
// check.  Buffers are made and released by the thread that starts a
// transfer; the queue helpers and the stop and abort accessors are called by
// every thread of the transfer under the locks (the ring's bufQueueLock for
// the queues, the control's controlLock for the abort count and the active
// and recovery flags).  Waiting for transfer threads polls their connection
// entries under controlLock.

#include "velk_Xfer.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/time.h>
#include <time.h>
#include <sys/socket.h>
#include <unistd.h>

#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"
#include "velk_TarHeader.h"

// How long the waits for transfer threads sleep between looks.
static constexpr long kThreadPollNs = 20L * 1000 * 1000;
static constexpr int kBlock = 512;

static const char *memTypeName(int memType)
{
    switch (memType) {
    case VELK_MEMTYPE_LOCAL: return "LOCAL";
    case VELK_MEMTYPE_SHARED: return "SHARED MEMORY";
    default: return "????";
    }
}

static void sleepPoll()
{
    struct timespec ts = {0, kThreadPollNs};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// ---------------------------------------------------------------------------
// Buffers.
// ---------------------------------------------------------------------------

// Runs before the transfer's threads exist (its locks may not be made yet),
// so the empty queue is filled without bufQueueLock.
int velk_AllocateIoBuffers(velk_buf_ring_t *ring, const velk_xfer_settings_t *xs) KYL_NO_THREAD_SAFETY_ANALYSIS
{
    VELK_TRACE_ENTRY();
    int memType = xs->sharedBuffers ? VELK_MEMTYPE_SHARED : VELK_MEMTYPE_LOCAL;
    int stripes = velk_archive_stripewidth > 0 ? velk_archive_stripewidth : 1;
    ring->bufCount = 2 * stripes;
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/allocating %d buffers for xfer\n", ring->bufCount);

    io_buffer_t *tail = ring->bufEmptyQueue;
    while (tail != nullptr && tail->next != nullptr)
        tail = tail->next;
    for (int i = 0; i < ring->bufCount; ++i) {
        auto *buf = static_cast<io_buffer_t *>(VELK_CALLOC(1, sizeof(io_buffer_t)));
        if (buf == nullptr)
            return -1; // reported by the allocation wrapper
        if (velk_InitRwBuf(buf, memType, xs->iobufsize) != 0) {
            velk_CleanIoBuf(buf);
            VELK_FREE(buf);
            return -1;
        }
        buf->bufID = i;
        if (tail == nullptr)
            ring->bufEmptyQueue = buf;
        else
            tail->next = buf;
        tail = buf;
    }
    return 0;
}

int velk_InitRwBuf(io_buffer_t *theBuf, int memType, int size)
{
    if (theBuf->buffer != nullptr) {
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "[Internal error] non-null buffer in velk_InitRwBuf - reallocating\n");
        velk_CleanIoBuf(theBuf);
    }
    *theBuf = io_buffer_t{};
    theBuf->memType = memType;
    if (size <= 0 || size > INT32_MAX - kBlock) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] allocation error (%d bytes), type=%s\n", __func__, size,
                    memTypeName(memType));
        return -1;
    }
    theBuf->bufSizeBlocks = size / kBlock + (size % kBlock != 0 ? 1 : 0);
    theBuf->bufSize = theBuf->bufSizeBlocks * kBlock;

    if (memType != VELK_MEMTYPE_LOCAL) {
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Internal error in velk_InitRwBuf - invalid memory type!\n");
        return -1;
    }
    theBuf->buffer = static_cast<unsigned char *>(VELK_MALLOC(static_cast<size_t>(theBuf->bufSize)));
    if (theBuf->buffer == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] allocation error (%d bytes), type=%s\n", __func__,
                    theBuf->bufSize, memTypeName(memType));
        return -1;
    }
    theBuf->state = IOB_STATE_READING;
    int rc = theBuf->bufLock.init();
    if (rc != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] pthread_mutex_init error %d\n", __func__, rc);
        return -1;
    }
    theBuf->bufFlags |= IOB_FLAG_LOCK_CREATED;
    rc = theBuf->bufCond.init();
    if (rc != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] pthread_cond_init error %d\n", __func__, rc);
        return -1;
    }
    theBuf->bufFlags |= IOB_FLAG_COND_CREATED;
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/allocated I/O buffer. Type=%s size=%d addr=@%p\n", memTypeName(memType), theBuf->bufSize,
                       static_cast<void *>(theBuf->buffer));
    return 0;
}

int velk_CleanIoBuf(io_buffer_t *theBuf)
{
    if (theBuf == nullptr)
        return 0;
    if ((theBuf->bufFlags & IOB_FLAG_COND_CREATED) != 0) {
        theBuf->bufCond.destroy();
        theBuf->bufFlags &= ~IOB_FLAG_COND_CREATED;
    }
    if ((theBuf->bufFlags & IOB_FLAG_LOCK_CREATED) != 0) {
        theBuf->bufLock.destroy();
        theBuf->bufFlags &= ~IOB_FLAG_LOCK_CREATED;
    }
    if (theBuf->buffer == nullptr)
        return 0;
    if (theBuf->memType != VELK_MEMTYPE_LOCAL) {
        velk_LogMsg(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Internal error in velk_CleanIoBuf - invalid memory type!\n");
        return -1;
    }
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/deallocated I/O buffer. Type=%s size=%d addr=@%p\n", memTypeName(theBuf->memType),
                       theBuf->bufSize, static_cast<void *>(theBuf->buffer));
    VELK_FREE(theBuf->buffer);
    theBuf->buffer = nullptr;
    return 0;
}

// Cleans and frees every buffer of a queue.
static void freeQueue(io_buffer_t *head)
{
    while (head != nullptr) {
        io_buffer_t *next = head->next;
        velk_CleanIoBuf(head);
        VELK_FREE(head);
        head = next;
    }
}

// Takes bufQueueLock when it exists: a ring whose locks were never made
// (or a failed set-up) is still released by its only thread.  The lock
// analysis cannot follow a lock taken on a condition, so the two routines
// that use these pairs are exempt from it.
static void lockQueue(velk_buf_ring_t *ring) KYL_NO_THREAD_SAFETY_ANALYSIS
{
    if (ring->bufQueueLockCreated)
        ring->bufQueueLock.lock();
}

static void unlockQueue(velk_buf_ring_t *ring) KYL_NO_THREAD_SAFETY_ANALYSIS
{
    if (ring->bufQueueLockCreated)
        ring->bufQueueLock.unlock();
}

void velk_CleanupIoBuffers(velk_buf_ring_t *ring) KYL_NO_THREAD_SAFETY_ANALYSIS
{
    if (ring == nullptr)
        return;
    lockQueue(ring);
    freeQueue(ring->bufEmptyQueue);
    ring->bufEmptyQueue = nullptr;
    freeQueue(ring->bufReadyQueue);
    ring->bufReadyQueue = nullptr;
    // The request entries belong to connection entries: unlink only.
    io_bufreq_t *req = ring->requestQueue;
    while (req != nullptr) {
        io_bufreq_t *next = req->next;
        req->next = nullptr;
        req = next;
    }
    ring->requestQueue = nullptr;
    unlockQueue(ring);
}

void velk_MoveBuffersToEmptyQueue(velk_buf_ring_t *ring) KYL_NO_THREAD_SAFETY_ANALYSIS
{
    lockQueue(ring);
    io_buffer_t **tail = &ring->bufEmptyQueue;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = ring->bufReadyQueue;
    while (*tail != nullptr)
        tail = &(*tail)->next;
    *tail = ring->bufFillQueue;
    ring->bufReadyQueue = nullptr;
    ring->bufFillQueue = nullptr;
    ring->bufFillQueueTail = nullptr;
    for (io_buffer_t *b = ring->bufEmptyQueue; b != nullptr; b = b->next) {
        b->bufFlags &= ~(IOB_FLAG_NEW_OFFSET | IOB_FLAG_LAST_DATA);
        b->bufBlocksFilled = 0;
        b->bufBlocksAllocated = 0;
        b->ioCount = 0;
        b->dataRemaining = 0;
        b->dataMoved = 0;
        b->dataLength = 0;
    }
    unlockQueue(ring);
}

io_buffer_t *velk_TakeEmptyBuffer(velk_buf_ring_t *ring)
{
    io_buffer_t *buf = ring->bufEmptyQueue;
    if (buf != nullptr) {
        ring->bufEmptyQueue = buf->next;
        buf->next = nullptr;
    }
    return buf;
}

void velk_ReturnEmptyBuffer(velk_buf_ring_t *ring, io_buffer_t *theBuf)
{
    theBuf->next = ring->bufEmptyQueue;
    ring->bufEmptyQueue = theBuf;
}

void velk_InsertReadyBuffer(velk_buf_ring_t *ring, io_buffer_t *theBuf)
{
    io_buffer_t **link = &ring->bufReadyQueue;
    while (*link != nullptr && (*link)->fileOffset < theBuf->fileOffset)
        link = &(*link)->next;
    theBuf->next = *link;
    *link = theBuf;
}

// ---------------------------------------------------------------------------
// Locks and request entries.
// ---------------------------------------------------------------------------

// Reports a failed lock or condition creation of velk_InitXferLocks.
static int xferLockFailed(int err, int line)
{
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] pthread_mutex_init/pthread_cond_init error %d at line %d\n",
                "velk_InitXferLocks", err, line);
    velk_SetExitCode(VELK_EXIT_OSERR);
    return -1;
}

int velk_InitXferLocks(velk_xfer_ctl_t *theCtl)
{
    int rc = theCtl->localFileCond.init();
    if (rc != 0)
        return xferLockFailed(rc, __LINE__);
    theCtl->localFileCondCreated = 1;
    rc = theCtl->controlLock.init();
    if (rc != 0)
        return xferLockFailed(rc, __LINE__);
    theCtl->ctlMutexCreated = 1;
    velk_buf_ring_t *ring = &theCtl->ring;
    rc = ring->bufQueueLock.init();
    if (rc != 0)
        return xferLockFailed(rc, __LINE__);
    ring->bufQueueLockCreated = 1;
    rc = ring->bufQueueCondition.init();
    if (rc != 0)
        return xferLockFailed(rc, __LINE__);
    ring->bufQueueCondCreated = 1;
    return 0;
}

void velk_FreeXferLocks(velk_xfer_ctl_t *theCtl)
{
    if (theCtl == nullptr)
        return;
    velk_buf_ring_t *ring = &theCtl->ring;
    if (ring->bufQueueCondCreated) {
        ring->bufQueueCondition.destroy();
        ring->bufQueueCondCreated = 0;
    }
    if (ring->bufQueueLockCreated) {
        ring->bufQueueLock.destroy();
        ring->bufQueueLockCreated = 0;
    }
    if (theCtl->ctlMutexCreated) {
        theCtl->controlLock.destroy();
        theCtl->ctlMutexCreated = 0;
    }
    if (theCtl->localFileCondCreated) {
        theCtl->localFileCond.destroy();
        theCtl->localFileCondCreated = 0;
    }
}

int velk_InitConReqEntry(io_bufreq_t *reqEntry)
{
    *reqEntry = io_bufreq_t{};
    int rc = reqEntry->reqLock.init();
    int line = __LINE__ - 1;
    if (rc == 0) {
        reqEntry->reqLockCreated = 1;
        rc = reqEntry->reqCond.init();
        line = __LINE__ - 1;
        if (rc == 0) {
            reqEntry->reqCondCreated = 1;
            return 0;
        }
    }
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                "[velk_InitConReqEntry] pthread_mutex_init/pthread_cond_init error %d at line %d\n", rc, line);
    velk_SetExitCode(VELK_EXIT_NOMEM);
    return -1;
}

void velk_FreeConReqEntry(io_bufreq_t *reqEntry)
{
    if (reqEntry == nullptr)
        return;
    if (reqEntry->reqCondCreated) {
        reqEntry->reqCond.destroy();
        reqEntry->reqCondCreated = 0;
    }
    if (reqEntry->reqLockCreated) {
        reqEntry->reqLock.destroy();
        reqEntry->reqLockCreated = 0;
    }
}

// Wakes the thread that may wait on req's condition.
static void signalRequest(io_bufreq_t *req)
{
    if (!req->reqLockCreated || !req->reqCondCreated)
        return;
    req->reqLock.lock();
    req->reqCond.signal();
    req->reqLock.unlock();
}

void velk_ReqQueueSignalAll(connection_info_t *connectionList, int connectCount)
{
    if (connectionList == nullptr)
        return;
    for (int i = 0; i < connectCount; ++i)
        signalRequest(&connectionList[i].ioRequest);
}

// ---------------------------------------------------------------------------
// Transfer threads.
// ---------------------------------------------------------------------------

// Wakes a thread blocked on fd; its owner still closes it.
static void shutdownSocket(int fd)
{
    if (fd >= 0)
        shutdown(fd, SHUT_RDWR);
}

// Waits until entry is no longer active.  With wake set, its request
// condition is signalled on every look; with closeIfAborted set and the
// transfer aborted, its sockets are shut down once first (the entry's
// thread closes them; it sets them under controlLock).
static void waitEntry(velk_xfer_ctl_t *theCtl, connection_info_t *entry, bool wake, bool closeIfAborted)
{
    bool announced = false;
    bool closed = false;
    theCtl->controlLock.lock();
    while (entry->isactive) {
        if (wake)
            signalRequest(&entry->ioRequest);
        if (closeIfAborted && !closed && theCtl->abortSignalled != 0) {
            shutdownSocket(entry->controlSocket);
            shutdownSocket(entry->listenSocket);
            shutdownSocket(entry->transferSocket);
            closed = true;
        }
        theCtl->controlLock.unlock();
        if (!announced && velk_debug_level >= 2) {
            if (wake)
                velk_ErrPrintf("/debug/ - waiting on transfer thread entry %d to complete...\n", entry->conInx);
            else
                velk_ErrPrintf("/debug/ - waiting on thread entry %d to complete...\n", entry->conInx);
            announced = true;
        }
        sleepPoll();
        theCtl->controlLock.lock();
    }
    theCtl->controlLock.unlock();
}

void velk_ShutdownTransferThreads(velk_xfer_ctl_t *theCtl)
{
    if (theCtl == nullptr || theCtl->movers.connectionList == nullptr || !theCtl->ctlMutexCreated)
        return;
    for (int i = 0; i < theCtl->movers.connectListSize; ++i)
        waitEntry(theCtl, &theCtl->movers.connectionList[i], true, false);
}

void velk_CleanupTransferThreads(velk_xfer_ctl_t *theCtl)
{
    if (theCtl == nullptr || theCtl->movers.connectionList == nullptr || !theCtl->ctlMutexCreated)
        return;
    for (int i = 0; i < theCtl->movers.connectListSize; ++i)
        waitEntry(theCtl, &theCtl->movers.connectionList[i], false, true);
}

// ---------------------------------------------------------------------------
// Stopping.
// ---------------------------------------------------------------------------

int velk_XferStopReasonLocked(velk_xfer_ctl_t *ctl)
{
    if (ctl->abortSignalled != 0)
        return VELK_XFER_ABORTED;
    if (ctl->transfer_active == 0)
        return VELK_XFER_ENDED;
    return velk_shutdown_signalled.load() != 0 ? VELK_XFER_SHUTDOWN : VELK_XFER_GO_ON;
}

// Before its lock exists a control has a single user, which reads it
// directly; the analysis cannot follow a lock taken on a condition.
int velk_XferStopReason(velk_xfer_ctl_t *ctl) KYL_NO_THREAD_SAFETY_ANALYSIS
{
    if (ctl == nullptr)
        return velk_shutdown_signalled.load() != 0 ? VELK_XFER_SHUTDOWN : VELK_XFER_GO_ON;
    if (!ctl->ctlMutexCreated)
        return velk_XferStopReasonLocked(ctl);
    kyl_lock_guard g(ctl->controlLock);
    return velk_XferStopReasonLocked(ctl);
}

bool velk_XferShouldStop(velk_xfer_ctl_t *ctl)
{
    return velk_XferStopReason(ctl) != VELK_XFER_GO_ON;
}

bool velk_XferRecovering(velk_xfer_ctl_t *ctl)
{
    kyl_lock_guard g(ctl->controlLock);
    return ctl->errorResyncFlag != 0;
}

int velk_GetXferAborted(velk_xfer_ctl_t *ctl)
{
    if (ctl == nullptr || !ctl->ctlMutexCreated)
        return 0;
    kyl_lock_guard g(ctl->controlLock);
    return ctl->abortSignalled;
}

void velk_SetXferAborted(velk_xfer_ctl_t *ctl, const char *function, const char *file, int line)
{
    if (ctl != nullptr && ctl->ctlMutexCreated) {
        kyl_lock_guard g(ctl->controlLock);
        ctl->abortSignalled++;
    }
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "velk_SetXferAborted called [function %s,line %d,file %s]",
                function != nullptr ? function : "", line, file != nullptr ? file : "");
}

double velk_GetTimestamp()
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1000000.0;
}

struct timespec velk_DeadlineIn(long ms)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += (ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000L;
    }
    return ts;
}

int velk_MoverWaitSeconds()
{
    const char *v = getenv("VELK_MOVER_TIMEOUT");
    if (v == nullptr)
        return 60;
    char *end = nullptr;
    long n = strtol(v, &end, 10);
    return end != v && *end == '\0' && n >= 1 && n <= 3600 ? static_cast<int>(n) : 60;
}

void velk_SleepMs(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

const char *velk_U64Text(uint64_t v, char *buf, size_t size)
{
    snprintf(buf, size, "%" PRIu64, v);
    return buf;
}
