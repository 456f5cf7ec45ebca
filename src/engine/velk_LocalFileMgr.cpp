// The local file manager thread of an archive write: it walks the
// temporary index in archive order, carves the archive's byte stream into
// the transfer's I/O buffers and hands each reader of the pool
// (velk_ReaderPool.h) a piece; completed buffers move to the ready queue for
// the archive writer.  Only the manager thread runs this unit (its recovery
// hook, too).  It takes the pool's lock before a reader's threadMutex, and
// bufQueueLock, controlLock and reqLocks never together with a pool lock.

#include "velk_LocalFileMgr.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <unistd.h>

#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_MemberFile.h"
#include "velk_MemberStatus.h"
#include "velk_StatusFifo.h"
#include "velk_TarHeader.h"
#include "velk_Utils.h"
#include "velk_XferRecovery.h"

namespace {

constexpr int kBlock = VELK_BLOCKSIZE;
// The manager's idle sleep with no reader active.
constexpr long kIdleSleepMs = 5;
// Upper bound of every wait on a transfer condition: the abort count is
// raised without a broadcast, so waiters look at it at least this often.
constexpr long kXferWaitMs = 100;
// The largest member (header, data and padding, in blocks) the manager
// reads itself when its data are in memory: for such a member, handing it
// to a reader thread and taking the completion back costs more than the
// copy.
constexpr int kInlineBlocks = 129;
// After a member whose data were not in memory, the next members go to
// the reader threads, which wait for the disk side by side.
constexpr long kColdRun = 256;

} // namespace

// ---------------------------------------------------------------------------
// Buffers.
// ---------------------------------------------------------------------------

int fillQueueToReadyQueue(velk_xfer_ctl_t *ctl, io_buffer_t *theBuf)
{
    theBuf->state = IOB_STATE_FILLED;
    theBuf->dataLength = static_cast<uint32_t>(theBuf->bufBlocksFilled) * kBlock;

    io_buffer_t *prev = nullptr;
    io_buffer_t *cur = ctl->ring.bufFillQueue;
    while (cur != nullptr && cur != theBuf) {
        prev = cur;
        cur = cur->next;
    }
    if (cur == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "Error: Fill Buffer @%p (local addr %ld, block=%d) not in queue\n", static_cast<void *>(theBuf),
                    static_cast<long>(theBuf->fileOffset), static_cast<int>(theBuf->fileOffset / kBlock));
        return -1;
    }
    if (prev == nullptr)
        ctl->ring.bufFillQueue = theBuf->next;
    else
        prev->next = theBuf->next;
    if (ctl->ring.bufFillQueueTail == theBuf)
        ctl->ring.bufFillQueueTail = prev;
    theBuf->next = nullptr;

    if (velk_debug_level >= 2) {
        velk_ErrPrintf("/debug/%s Moving buffer @%p to Ready Queue. Buffer blocks. %d Allocated: %d Filled: %d \n",
                       __func__, static_cast<void *>(theBuf), theBuf->bufSizeBlocks, theBuf->bufBlocksAllocated,
                       theBuf->bufBlocksFilled);
        velk_ErrPrintf("/debug/   DataLength: %d FileOffset: %lu\n", static_cast<int>(theBuf->dataLength),
                       static_cast<unsigned long>(theBuf->fileOffset));
    }

    ctl->ring.bufQueueLock.lock();
    velk_InsertReadyBuffer(&ctl->ring, theBuf);
    uint64_t start = theBuf->fileOffset;
    uint64_t end = start + theBuf->dataLength;
    io_bufreq_t **link = &ctl->ring.requestQueue;
    while (*link != nullptr) {
        io_bufreq_t *req = *link;
        if (req->dataAddress >= start && req->dataAddress < end) {
            *link = req->next;
            req->next = nullptr;
            req->reqLock.lock();
            req->reqCond.signal();
            req->reqLock.unlock();
        } else {
            link = &req->next;
        }
    }
    ctl->ring.bufQueueCondition.broadcast();
    ctl->ring.bufQueueLock.unlock();
    return 0;
}

// ---------------------------------------------------------------------------
// Quiescing.
// ---------------------------------------------------------------------------

void velk_LfwQuiesceAllThreads(velk_reader_pool_t *pool)
{
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/ waiting for all LFW threads to complete\n");
    kyl_lock_guard g(pool->lock);
    for (int i = 0; i < pool->tableSize; i++) {
        lfw_ctl_t *entry = &pool->table[i];
        entry->pool->lock.assertHeld(); // the same lock: every entry points back at pool
        entry->goIdleSent = 0;
    }
    for (int i = 0; i < pool->tableSize; i++) {
        lfw_ctl_t *entry = &pool->table[i];
        entry->pool->lock.assertHeld();
        for (;;) {
            entry->threadMutex.lock();
            int state = entry->threadState;
            bool done = state == LFW_WAITING || !entry->threadStarted;
            if (!done) {
                if (state == LFW_CMD_COMPLETE && entry->goIdleSent) {
                    entry->threadState = LFW_WAITING;
                    done = true;
                } else if (state == LFW_CMD_COMPLETE || state == LFW_ASSIGNED) {
                    if (!entry->goIdleSent || state == LFW_CMD_COMPLETE) {
                        entry->task.request = LFW_GO_IDLE;
                        entry->threadState = LFW_ASSIGNED;
                        entry->goIdleSent = 1;
                    }
                    entry->threadCond.signal();
                }
                // LFW_ACTIVE: its request finishes by itself.
            }
            entry->threadMutex.unlock();
            if (done)
                break;
            struct timespec until = velk_DeadlineIn(VELK_LFW_COMPLETION_WAIT_MS);
            pool->condition.timedwait(pool->lock, &until);
        }
    }
    for (int i = 0; i < pool->tableSize; i++) {
        lfw_ctl_t *entry = &pool->table[i];
        entry->pool->lock.assertHeld();
        entry->next = nullptr;
    }
    pool->activeThreads = 0;
    pool->completedTasks = nullptr;
    pool->completionCount = 0;
}

// ---------------------------------------------------------------------------
// Recovery hook.
// ---------------------------------------------------------------------------

namespace {

// Each step of a write recovery goes to the log.
void recoveryStep(const char *text)
{
    velk_LogFmt(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, "%s: %s\n", "velk_LocalFileMgrThread", text);
}

// Fills *restart for the restart point theOffset: the entry that holds it,
// or the end-of-index marker when it is the archive's last block; the
// archive is positioned there.  Returns 0, or -1 after logging.
int locateRestart(velk_xfer_ctl_t *ctl, uint64_t theOffset, lfw_resync_t *restart)
{
    static const char *const fn = "velk_LocalFileMgrThread";
    hif_entry_t e;
    long ordinal = restart->ordinal;
    int found = velk_GetIndexEntryForOffset(ctl->index, ctl->index->tmpFd, theOffset, &ordinal, &e);
    if (found < 0)
        return -1;
    if (found > 0) {
        // Every member moved: only the end-of-archive block is left.
        if (theOffset + kBlock != ctl->transferLength) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "%s: EOF reached while searching for index entry for offset=%lu. Current index ordinal=%ld\n",
                        fn, static_cast<unsigned long>(theOffset), ordinal);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        memset(&e, 0, sizeof e);
        velk_Put32(e.hent_type, VTO_INDEXEOF);
        velk_Put32(e.hent_blocks, 1);
        velk_Put64(e.hent_offset, theOffset / kBlock);
        ordinal = static_cast<long>(velk_index_entries);
        restart->atIndexEnd = 1;
    }
    char path[VELK_PATH_BUFSIZE] = "";
    if (!restart->atIndexEnd)
        velk_FormIxEntryPathname(&e, path, sizeof path);
    velk_LogFmt(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, "%s: resyncing at index entry %ld (%s)\n", fn, ordinal, path);
    const uint64_t start = velk_Get64(e.hent_offset) * kBlock;
    const uint64_t length = static_cast<uint64_t>(velk_Get32(e.hent_blocks)) * kBlock;
    if (theOffset < start || theOffset - start >= length) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: Internal Error at line %d - for recovery offset of %lu, index entry %ld was chosen.\n", fn,
                    __LINE__, static_cast<unsigned long>(theOffset), ordinal);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "      but entry's starting offset of %lu + %d blocks is not valid for the recovery offset\n",
                    static_cast<unsigned long>(start), static_cast<int>(length / kBlock));
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }
    if ((theOffset - start) % kBlock != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: Internal Error at line %d - recovery offset of %lu is not on a 512-byte block boundary.\n", fn,
                    __LINE__, static_cast<unsigned long>(theOffset));
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }
    const uint64_t sinkAddr = ctl->sinkOffset + ctl->totalBytesMoved;
    velk_LogFmt(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, "Repositioning sink file to address %lu\n",
                static_cast<unsigned long>(sinkAddr));
    if (velk_debug_level >= 2)
        velk_ErrPrintf("Repositioning sink file to address %lu\n", static_cast<unsigned long>(sinkAddr));
    uint64_t at = 0;
    if (velk_PositionFile(ctl->archive_fd, VELK_QUOR_FILE, sinkAddr, SEEK_SET, QUOR_SET_OFFSET_FORWARD, &at) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: error(s) repositiong sink file - setting <abort>\n", fn);
        return -1;
    }
    restart->repositioned = 1;
    restart->ordinal = ordinal;
    restart->entry = e;
    restart->blocksToSkip = static_cast<int64_t>((theOffset - start) / kBlock);
    restart->logicalOffset = theOffset;
    velk_LogFmt(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, "     Logical source file reposition addr: %lu\n",
                static_cast<unsigned long>(theOffset));
    velk_LogFmt(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, "     Repos addr mapped to index entry %ld, type=%d, path=[%s]\n",
                ordinal, static_cast<int>(velk_Get32(e.hent_type)), path);
    velk_LogFmt(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, "     local file initial offset: %lu offset blocks: %d\n",
                static_cast<unsigned long>(theOffset - start), static_cast<int>(restart->blocksToSkip));
    return 0;
}

} // namespace

int velk_LfwErrorResyncHook(velk_xfer_ctl_t *ctl, lfw_resync_t *restart)
{
    recoveryStep("Error recovery initiated");
    recoveryStep("signalling any mover threads on request queue");
    if (ctl->movers.connectionList != nullptr)
        velk_ReqQueueSignalAll(ctl->movers.connectionList, ctl->movers.connectListSize);
    ctl->ring.bufQueueLock.lock();
    while (ctl->ring.requestQueue != nullptr) {
        io_bufreq_t *req = ctl->ring.requestQueue;
        ctl->ring.requestQueue = req->next;
        req->next = nullptr;
    }
    ctl->ring.bufQueueLock.unlock();
    recoveryStep("shutting down transfer threads");
    velk_ShutdownTransferThreads(ctl);
    recoveryStep("quiescing local file threads");
    velk_LfwQuiesceAllThreads(ctl->pool);
    recoveryStep("moving buffers to empty queue");
    velk_MoveBuffersToEmptyQueue(&ctl->ring);
    restart->repositioned = 0;
    restart->atIndexEnd = 0;
    int rc = locateRestart(ctl, ctl->srcOffset + ctl->totalBytesMoved, restart);
    if (rc != 0)
        velk_SetXferAborted(ctl, __func__, "velk_ReaderPool", __LINE__);
    velk_LogFmt(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, "%s: error recovery complete. abort flag=%d\n",
                "velk_LocalFileMgrThread", velk_GetXferAborted(ctl));
    kyl_lock_guard g(ctl->controlLock);
    ctl->errorResyncFlag = 0;
    ctl->localFileCond.broadcast();
    return rc == 0 && ctl->abortSignalled == 0 ? 0 : -1;
}

// ---------------------------------------------------------------------------
// The manager.
// ---------------------------------------------------------------------------

namespace {

// The manager's own state; only the manager thread touches it.
struct lfw_mgr_t {
    velk_xfer_ctl_t *ctl;
    int state;                     // IXENTRY_STATES
    hif_entry_t entry;             // current index entry
    long ordinal;                  // its ordinal, -1 before the first
    const velk_FileSpec_t *record; // the member table record of a file or link entry
    uint32_t type;                 // its object type
    uint64_t logicalOffset;        // archive offset of the next block to hand out
    io_buffer_t *fillBuf;          // current fill buffer
    lfw_ctl_t *member;             // reader of the current member
    int indexEof;                  // the end-of-index marker was met
    int64_t pendingSkip;           // skip count found by recovery
    uint64_t bytesTotal;           // member bytes handed out, for status messages
    bool lastFlushed;              // the final fill buffers went to the ready queue
    bool stop;                     // the manager must end
    lfw_ctl_t *self;               // the manager's own reader entry (not in the pool)
    velk_lfw_files_t *selfFiles;   // and what it keeps between members
    long coldUntil;                // no member before this ordinal is read by the manager
};

void mgrAbort(lfw_mgr_t *mgr, const char *function, int line)
{
    velk_SetXferAborted(mgr->ctl, function, "velk_ReaderPool", line);
    mgr->stop = true;
}

// Checks an entry read from the temporary index against the stream being
// produced: a known type, a block count that matches its size, and an
// offset at the manager's position with the member inside the archive.
bool entryFitsStream(const lfw_mgr_t *mgr, const hif_entry_t *e)
{
    if (!velk_IndexEntrySane(e))
        return false;
    uint32_t type = velk_Get32(e->hent_type);
    uint64_t blocks = velk_Get32(e->hent_blocks);
    uint64_t size = velk_Get64(e->hent_fsize);
    if (type == VTO_FILE) {
        if (size > VELK_MAX_MEMBER_SIZE || blocks != velk_MemberBlocks(size))
            return false;
    } else if (type == VTO_DIRECTORY || type == VTO_SYMLINK) {
        if (blocks != 1)
            return false;
    } else {
        return false;
    }
    if (blocks > static_cast<uint64_t>(INT_MAX))
        return false;
    uint64_t offset = velk_Get64(e->hent_offset);
    if (offset != mgr->logicalOffset / kBlock)
        return false;
    uint64_t length = mgr->ctl->transferLength;
    return mgr->logicalOffset <= length && blocks * kBlock <= length - mgr->logicalOffset;
}

// The record a file or link entry was made from; the manager looks them up
// in ascending ordinal order, as the lookup wants.
const velk_FileSpec_t *memberRecord(long ordinal, const hif_entry_t *e)
{
    uint32_t type = velk_Get32(e->hent_type);
    if (type != VTO_FILE && type != VTO_SYMLINK)
        return nullptr;
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(e, path, sizeof path);
    return velk_FindMemberRecord(ordinal, path);
}

void stepReadEntry(lfw_mgr_t *mgr)
{
    mgr->ordinal++;
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/%s - reading next Index Entry\n", "velk_LocalFileMgrThread");
    hif_entry_t *next = nullptr;
    int eof = 0;
    if (velk_IndexFileRead(mgr->ctl->index, mgr->ctl->index->tmpFd, VELK_LOCAL_FILE, 0, &next, &eof) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d reading index entry %ld - aborting\n", errno,
                    mgr->ordinal);
        mgrAbort(mgr, __func__, __LINE__);
        return;
    }
    if (eof) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/%s - EOF reached on Index File - %ld entries\n", "velk_LocalFileMgrThread",
                           mgr->ordinal);
        mgr->indexEof = 1;
        memset(&mgr->entry, 0, sizeof mgr->entry);
        velk_Put32(mgr->entry.hent_type, VTO_INDEXEOF);
        velk_Put32(mgr->entry.hent_blocks, 1);
        velk_Put64(mgr->entry.hent_offset, mgr->logicalOffset / kBlock);
        mgr->type = VTO_INDEXEOF;
        // The zero block must end the archive exactly where the writer
        // expects it to end.
        if (mgr->logicalOffset + kBlock != mgr->ctl->transferLength) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "Index file ends at archive offset %lu but the archive holds %lu bytes - aborting\n",
                        static_cast<unsigned long>(mgr->logicalOffset + kBlock),
                        static_cast<unsigned long>(mgr->ctl->transferLength));
            mgrAbort(mgr, __func__, __LINE__);
            return;
        }
    } else {
        if (!entryFitsStream(mgr, next)) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "Index entry %ld does not fit the archive stream (type %u, offset %lu, blocks %u, size %lu) - "
                        "aborting\n",
                        mgr->ordinal, velk_Get32(next->hent_type),
                        static_cast<unsigned long>(velk_Get64(next->hent_offset)), velk_Get32(next->hent_blocks),
                        static_cast<unsigned long>(velk_Get64(next->hent_fsize)));
            mgrAbort(mgr, __func__, __LINE__);
            return;
        }
        mgr->entry = *next;
        mgr->type = velk_Get32(next->hent_type);
    }
    mgr->record = memberRecord(mgr->ordinal, &mgr->entry);
    mgr->state = IX_ASSIGN_TASK;
}

// Sets task up for the current entry, no request yet.
void startTask(const lfw_mgr_t *mgr, lfw_task_t *task)
{
    task->request = LFW_IDLE;
    task->indexEntryNumber = mgr->ordinal;
    task->inxEntry = mgr->entry;
    task->record = mgr->record;
    task->totalBlocks = static_cast<int>(velk_Get32(mgr->entry.hent_blocks));
    task->blocksAssigned = 0;
    task->blocksToSkip = mgr->pendingSkip;
    task->reqBuffer = mgr->fillBuf;
    task->reqBlocks = 0;
    task->reqOffset = 0;
    task->eofHit = task->readError = task->fileNotOpened = task->fileSizeChanged = task->fileChanged = 0;
    task->residentOnly = task->notResident = 0;
    task->localFile[0] = '\0';
    task->fileCRC = 0;
}

// Gives the current entry to the first waiting reader.  Returns 1 when one
// was assigned, 0 when all are busy, -1 (logged) when none is free although
// fewer than all are active.
int assignReader(lfw_mgr_t *mgr)
{
    velk_reader_pool_t *pool = mgr->ctl->pool;
    kyl_lock_guard g(pool->lock);
    if (pool->activeThreads >= pool->tableSize)
        return 0;
    lfw_ctl_t *found = nullptr;
    for (int i = 0; i < pool->tableSize && found == nullptr; i++) {
        lfw_ctl_t *entry = &pool->table[i];
        entry->threadMutex.lock();
        if (entry->threadState == LFW_WAITING && entry->threadStarted)
            found = entry;
        entry->threadMutex.unlock();
    }
    if (found == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: Internal Error at line %d - active threads=%d,max=%d but no waiting thread found\n",
                    "velk_LocalFileMgrThread", __LINE__, pool->activeThreads, pool->tableSize);
        return -1;
    }
    found->threadMutex.lock();
    found->threadState = LFW_ASSIGNED;
    startTask(mgr, &found->task);
    found->threadMutex.unlock();
    mgr->pendingSkip = 0;
    pool->activeThreads++;
    if (found->tableInx > pool->threadHighWater)
        pool->threadHighWater = found->tableInx;
    mgr->member = found;
    mgr->state = IX_ASSIGN_BUFFERS;
    return 1;
}

// Returns true when a reader was assigned (or the manager must stop).
bool stepAssignTask(lfw_mgr_t *mgr)
{
    int assigned = assignReader(mgr);
    if (assigned < 0)
        mgrAbort(mgr, __func__, __LINE__); // outside pool->lock: the abort takes controlLock
    return assigned != 0;
}

// Lists a fully handed-out member with -v: "VELK: a   path".
void listMember(const hif_entry_t *e, uint32_t type)
{
    char path[VELK_PATH_BUFSIZE];
    velk_FormIxEntryPathname(e, path, sizeof path);
    FILE *out = velk_stdout_is_data ? stderr : stdout;
    fprintf(out, "%s: a   %s%s\n", velk_msg_prefix[VELK_MSG_VELK], velk_ShownName(path).c_str(),
            type == VTO_DIRECTORY ? "/" : "");
    fflush(out);
}

// Takes an empty buffer onto the fill queue as the current fill buffer.
// Returns false when the empty queue is empty.
bool takeFillBuffer(lfw_mgr_t *mgr)
{
    velk_xfer_ctl_t *ctl = mgr->ctl;
    ctl->ring.bufQueueLock.lock();
    io_buffer_t *buf = velk_TakeEmptyBuffer(&ctl->ring);
    ctl->ring.bufQueueLock.unlock();
    if (buf == nullptr)
        return false;
    buf->next = nullptr;
    if (ctl->ring.bufFillQueueTail == nullptr)
        ctl->ring.bufFillQueue = buf;
    else
        ctl->ring.bufFillQueueTail->next = buf;
    ctl->ring.bufFillQueueTail = buf;
    buf->state = IOB_STATE_READING;
    buf->bufBlocksAllocated = 0;
    buf->bufBlocksFilled = 0;
    buf->bufFlags &= ~(IOB_FLAG_NEW_OFFSET | IOB_FLAG_LAST_DATA);
    buf->dataLength = 0;
    buf->dataMoved = 0;
    buf->dataRemaining = 0;
    buf->ioCount = 0;
    buf->fileOffset = mgr->logicalOffset;
    buf->iodOffset = 0;
    mgr->fillBuf = buf;
    return true;
}

// Makes request the task's next one: reqBlocks blocks of buf from its
// first block not handed out yet.
void setRequest(lfw_task_t *task, int request, io_buffer_t *buf, int reqBlocks)
{
    task->request = request;
    task->reqBlocks = reqBlocks;
    task->reqBuffer = buf;
    task->reqOffset = buf->bufBlocksAllocated * kBlock;
    task->blocksAssigned += static_cast<int>(task->blocksToSkip) + reqBlocks;
}

// Accounts for reqBlocks blocks of buf handed out for the current member;
// memberDone when they are its last.
void handedOut(lfw_mgr_t *mgr, io_buffer_t *buf, int reqBlocks, bool memberDone)
{
    if (memberDone) {
        mgr->state = mgr->indexEof ? IX_EOF_REACHED : IX_READ_ENTRY;
        if (mgr->type == VTO_FILE) {
            mgr->bytesTotal += velk_Get64(mgr->entry.hent_fsize);
            if (velk_Opt(VELK_OPT_STATUS_FIFO))
                velk_StatusMsg(0, "Bytes: %lu  Index Entries: %ld", static_cast<unsigned long>(mgr->bytesTotal),
                               mgr->ordinal + 1);
        }
        if (mgr->state == IX_READ_ENTRY && velk_Opt(VELK_OPT_VERBOSE))
            listMember(&mgr->entry, mgr->type);
    }
    mgr->logicalOffset += static_cast<uint64_t>(reqBlocks) * kBlock;
    buf->bufBlocksAllocated += reqBlocks;
    if (buf->bufBlocksAllocated >= buf->bufSizeBlocks) {
        if (velk_debug_level >= 3)
            velk_ErrPrintf("/debug/Fill Buffer @%p full [size=%d,now allocated=%d]\n", static_cast<void *>(buf),
                           buf->bufSize, buf->bufBlocksAllocated);
        mgr->fillBuf = nullptr;
    }
}

// Hands the current member's reader its next piece.  Returns true when a
// piece was handed out (or the manager must stop).  The task is written
// under the reader's threadMutex: an assigned reader may look at its
// request at any time.
bool stepAssignBuffers(lfw_mgr_t *mgr)
{
    lfw_ctl_t *reader = mgr->member;
    reader->threadMutex.lock();
    bool assigned = reader->threadState == LFW_ASSIGNED;
    reader->threadMutex.unlock();
    if (!assigned)
        return false;
    if (mgr->fillBuf == nullptr && !takeFillBuffer(mgr))
        return false;

    io_buffer_t *buf = mgr->fillBuf;
    lfw_task_t *task = &reader->task;
    reader->threadMutex.lock();
    int64_t memberLeft = static_cast<int64_t>(task->totalBlocks) - task->blocksToSkip - task->blocksAssigned;
    int reqBlocks = static_cast<int>(std::min<int64_t>(buf->bufSizeBlocks - buf->bufBlocksAllocated, memberLeft));
    if (reqBlocks <= 0) {
        reader->threadMutex.unlock();
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Internal state error at line %d\n",
                    "velk_LocalFileMgrThread", __LINE__);
        mgrAbort(mgr, __func__, __LINE__);
        return true;
    }
    int request;
    if (task->blocksAssigned > 0) {
        request = task->blocksAssigned + reqBlocks >= task->totalBlocks ? LFW_READ_LAST : LFW_READ_CONT;
    } else if (mgr->type == VTO_INDEXEOF) {
        request = LFW_ZERO_BLK;
    } else if (mgr->type == VTO_SYMLINK || mgr->type == VTO_DIRECTORY) {
        request = LFW_TAR_HDR;
    } else {
        request = reqBlocks == task->totalBlocks - task->blocksToSkip ? LFW_READ_FILE : LFW_READ_FIRST;
        if (task->blocksToSkip == 0 && velk_Opt(VELK_OPT_CRC))
            velk_ChecksumInit(&task->fileCRC);
    }
    setRequest(task, request, buf, reqBlocks);
    bool memberDone = task->blocksAssigned >= task->totalBlocks;
    reader->threadState = LFW_ACTIVE;
    reader->threadCond.signal();
    reader->threadMutex.unlock();
    handedOut(mgr, buf, reqBlocks, memberDone);
    return true;
}

// Records the outcome of a fully handed-out member from a snapshot of its
// task.
void recordMember(lfw_task_t *task)
{
    uint32_t type = velk_Get32(task->inxEntry.hent_type);
    if (type != VTO_FILE && type != VTO_SYMLINK)
        return;
    long ordinal = task->indexEntryNumber;
    if (task->fileNotOpened) {
        // A file found changed instead of the listed one was reported so.
        if (!task->fileChanged) {
            char path[VELK_PATH_BUFSIZE];
            velk_FormIxEntryPathname(&task->inxEntry, path, sizeof path);
            velk_LogFmt(
                VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                "Index entry %ld, Local file %s was missing or inaccessible and could not be copied to the archive\n",
                ordinal, path);
            velk_NoteFailure("missing or inaccessible");
        }
        velk_SetMissingMemberFile(ordinal);
        velk_SetMemberFileXferSuccess(ordinal, 0);
        velk_SetExitCode(VELK_EXIT_IOERR);
    } else {
        // A file that changed has data in the archive that are not the
        // file's: cut, zero-filled or a mixture.  Its member is failed.
        bool good = !task->fileSizeChanged && !task->fileChanged;
        velk_SetMemberFileXferSuccess(ordinal, good ? 1 : 0);
        if (good && type == VTO_SYMLINK)
            velk_MemberLinkCopied(ordinal, task->record);
    }
    if (type == VTO_FILE && velk_Opt(VELK_OPT_CRC))
        velk_SetMemberFileXferCRC(ordinal, velk_ChecksumFinalize(&task->fileCRC));
}

// Aborts after a failed request of reader inx: true when it failed.
bool requestFailed(lfw_mgr_t *mgr, const lfw_task_t *task, int inx)
{
    if (task->response == 0)
        return false;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Detected task error return (%d) for LFW thread %d file %s\n",
                task->response, inx, task->localFile);
    mgrAbort(mgr, __func__, __LINE__);
    return true;
}

// Counts the blocks a finished request of reader inx put into its buffer;
// a buffer whose blocks are all filled, or that ends the archive, goes to
// the ready queue.
void countFilled(lfw_mgr_t *mgr, const lfw_task_t *task, int inx)
{
    io_buffer_t *buf = task->reqBuffer;
    if (buf == nullptr)
        return;
    buf->bufBlocksFilled += task->rplyBlocks;
    if (buf->bufBlocksFilled > buf->bufSizeBlocks) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "buffer @%p overflowed. Size=%d Allocated=%d Filled=%d\n",
                    static_cast<void *>(buf), buf->bufSizeBlocks, buf->bufBlocksAllocated, buf->bufBlocksFilled);
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "     Task index %d  request: %d req blocks: %d total blocks: %d assigned blocks %d\n", inx,
                    task->request, task->reqBlocks, task->totalBlocks, task->blocksAssigned);
        mgrAbort(mgr, __func__, __LINE__);
        return;
    }
    uint64_t end = buf->fileOffset + static_cast<uint64_t>(buf->bufBlocksFilled) * kBlock;
    if (buf->bufBlocksFilled == buf->bufSizeBlocks || end >= mgr->ctl->transferLength) {
        if (mgr->fillBuf == buf)
            mgr->fillBuf = nullptr;
        if (fillQueueToReadyQueue(mgr->ctl, buf) != 0)
            mgrAbort(mgr, __func__, __LINE__);
    }
}

// Reads the current member on the manager's own thread when it is a
// directory, a link, or a small file whose data are in memory, and it fits
// in the current fill buffer: as a reader would, with the same checks.
// True when the member was handed out so (or the manager must stop);
// false leaves it for a reader thread.
bool stepServeInline(lfw_mgr_t *mgr)
{
    if (mgr->pendingSkip != 0 || mgr->ordinal < mgr->coldUntil ||
        (mgr->type != VTO_FILE && mgr->type != VTO_DIRECTORY && mgr->type != VTO_SYMLINK))
        return false;
    const int blocks = static_cast<int>(velk_Get32(mgr->entry.hent_blocks));
    if (blocks > kInlineBlocks || (mgr->fillBuf == nullptr && !takeFillBuffer(mgr)))
        return false;
    io_buffer_t *buf = mgr->fillBuf;
    if (buf->bufSizeBlocks - buf->bufBlocksAllocated < blocks)
        return false;
    lfw_task_t *task = &mgr->self->task;
    startTask(mgr, task);
    const bool file = mgr->type == VTO_FILE;
    if (file && velk_Opt(VELK_OPT_CRC))
        velk_ChecksumInit(&task->fileCRC);
    task->residentOnly = file ? 1 : 0;
    setRequest(task, file ? LFW_READ_FILE : LFW_TAR_HDR, buf, blocks);
    velk_LfwServe(mgr->self, task->request, mgr->selfFiles);
    if (task->notResident) {
        mgr->coldUntil = mgr->ordinal + kColdRun;
        return false;
    }
    handedOut(mgr, buf, blocks, true);
    if (requestFailed(mgr, task, mgr->self->tableInx))
        return true;
    recordMember(task);
    countFilled(mgr, task, mgr->self->tableInx);
    return true;
}

// Takes one completion off the list and handles it.  Returns false when the
// list is empty.  A completed reader leaves its task alone until the
// manager hands it the next request, so the task is copied once under its
// mutex and handled from the copy.
bool takeCompletion(lfw_mgr_t *mgr)
{
    velk_reader_pool_t *pool = mgr->ctl->pool;
    lfw_ctl_t *t;
    {
        kyl_lock_guard g(pool->lock);
        t = pool->completedTasks;
        if (t == nullptr)
            return false;
        t->pool->lock.assertHeld(); // the same lock: t is one of pool's entries
        pool->completedTasks = t->next;
        t->next = nullptr;
        pool->completionCount--;
    }
    lfw_task_t task;
    t->threadMutex.lock();
    memcpy(&task, &t->task, sizeof task);
    bool memberDone = task.blocksAssigned >= task.totalBlocks;
    if (task.response == 0 && !memberDone) {
        t->threadState = LFW_ASSIGNED;
        t->task.request = LFW_IDLE;
    }
    t->threadMutex.unlock();
    if (velk_debug_level >= 2)
        velk_ErrPrintf("/debug/Thread %d completed task. Result=%d blocks=%d of %d\n", t->tableInx, task.response,
                       task.blocksAssigned, task.totalBlocks);
    if (requestFailed(mgr, &task, t->tableInx))
        return true;
    if (memberDone) {
        recordMember(&task);
        kyl_lock_guard g(pool->lock);
        t->threadMutex.lock();
        t->threadState = LFW_WAITING;
        t->task.request = LFW_IDLE;
        t->threadMutex.unlock();
        pool->activeThreads--;
    }
    countFilled(mgr, &task, t->tableInx);
    return true;
}

// After the last member: every fill buffer holding data goes to the ready
// queue.
void flushFillQueue(lfw_mgr_t *mgr)
{
    velk_xfer_ctl_t *ctl = mgr->ctl;
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/EOF on index file and all LFW threads complete.\n");
    while (ctl->ring.bufFillQueue != nullptr && ctl->ring.bufFillQueue->bufBlocksFilled > 0) {
        io_buffer_t *buf = ctl->ring.bufFillQueue;
        if (buf->next != nullptr && buf->bufBlocksFilled != buf->bufSizeBlocks)
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                        "***%s Sanity check failed at line %d Size: %d Allocated %d Filled: %d\n",
                        "velk_LocalFileMgrThread", __LINE__, buf->bufSizeBlocks, buf->bufBlocksAllocated,
                        buf->bufBlocksFilled);
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/enqueuing last Fill Buffer (blocks=%d)\n", buf->bufBlocksFilled);
        if (mgr->fillBuf == buf)
            mgr->fillBuf = nullptr;
        if (fillQueueToReadyQueue(mgr->ctl, buf) != 0) {
            mgrAbort(mgr, __func__, __LINE__);
            return;
        }
    }
    mgr->lastFlushed = true;
}

// Waits on bufQueueCondition (at most kXferWaitMs) unless the transfer is
// stopping, recovery is requested, or wantEmpty and an empty buffer exists.
void waitBufQueue(velk_xfer_ctl_t *ctl, bool wantEmpty)
{
    ctl->ring.bufQueueLock.lock();
    bool ready = wantEmpty && ctl->ring.bufEmptyQueue != nullptr;
    if (!ready && !velk_XferRecovering(ctl) && !velk_XferShouldStop(ctl)) {
        struct timespec until = velk_DeadlineIn(kXferWaitMs);
        ctl->ring.bufQueueCondition.timedwait(ctl->ring.bufQueueLock, &until);
    }
    ctl->ring.bufQueueLock.unlock();
}

// Returns buffers the manager still holds on the fill queue to the empty
// queue, so that releasing the buffers finds every one.  Readers are idle.
void returnFillBuffers(velk_xfer_ctl_t *ctl)
{
    ctl->ring.bufQueueLock.lock();
    while (ctl->ring.bufFillQueue != nullptr) {
        io_buffer_t *buf = ctl->ring.bufFillQueue;
        ctl->ring.bufFillQueue = buf->next;
        buf->bufBlocksAllocated = buf->bufBlocksFilled = 0;
        buf->dataLength = 0;
        velk_ReturnEmptyBuffer(&ctl->ring, buf);
    }
    ctl->ring.bufFillQueueTail = nullptr;
    ctl->ring.bufQueueCondition.broadcast();
    ctl->ring.bufQueueLock.unlock();
}

void endManager(velk_xfer_ctl_t *ctl)
{
    if (ctl->movers.connectionList != nullptr)
        velk_ReqQueueSignalAll(ctl->movers.connectionList, ctl->movers.connectListSize);
    ctl->ring.bufQueueLock.lock();
    ctl->ring.bufQueueCondition.broadcast();
    ctl->ring.bufQueueLock.unlock();
    velk_LfwQuiesceAllThreads(ctl->pool);
    returnFillBuffers(ctl);
    {
        velk_reader_pool_t *pool = ctl->pool;
        kyl_lock_guard g(pool->lock);
        for (int i = 0; i < pool->tableSize; i++) {
            lfw_ctl_t *entry = &pool->table[i];
            entry->threadMutex.lock();
            if (entry->threadStarted && (entry->threadState == LFW_WAITING || entry->threadState == LFW_ASSIGNED)) {
                if (velk_debug_level >= 2)
                    velk_ErrPrintf("/debug/%s: setting <QUIT> request for LFW thread %d\n", "velk_LocalFileMgrThread",
                                   i);
                entry->task.request = LFW_QUIT;
                entry->threadState = LFW_ASSIGNED;
                entry->threadCond.signal();
            }
            entry->threadMutex.unlock();
        }
    }
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/velk_LocalFileMgrThread exiting\n");
}

// Sets up the manager's own reader, numbered as the slot after the pool's
// in messages, and what it keeps.
void startSelf(lfw_mgr_t *mgr, lfw_ctl_t *self, velk_lfw_files_t *files)
{
    velk_reader_pool_t *pool = mgr->ctl->pool;
    self->pool = pool;
    self->xfer = mgr->ctl;
    {
        kyl_lock_guard g(pool->lock);
        self->tableInx = pool->tableSize;
    }
    velk_LfwFilesInit(files);
    mgr->self = self;
    mgr->selfFiles = files;
}

} // namespace

void *velk_LocalFileMgrThread(void *IoCtlPtr)
{
    auto *ctl = static_cast<velk_xfer_ctl_t *>(IoCtlPtr);
    velk_reader_pool_t *pool = ctl->pool;
    velk_SetProgramPhase(VTP_CREATE_WRITEARCHIVE);

    lfw_mgr_t mgr;
    memset(&mgr, 0, sizeof mgr);
    mgr.ctl = ctl;
    mgr.ordinal = -1;
    mgr.state = IX_READ_ENTRY;
    mgr.lastFlushed = false;
    mgr.stop = false;
    lfw_ctl_t self{};
    velk_lfw_files_t selfFiles;
    startSelf(&mgr, &self, &selfFiles);
    if (velk_IndexReadInit(ctl->index) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "Error %d initializing for index reads - aborting\n", -1);
        mgrAbort(&mgr, __func__, __LINE__);
    }

    while (!mgr.stop) {
        if (velk_XferShouldStop(ctl)) {
            // A forced shutdown stops every thread of the transfer.
            if (velk_shutdown_signalled.load() != 0 && velk_GetXferAborted(ctl) == 0)
                velk_SetXferAborted(ctl, __func__, "velk_ReaderPool", __LINE__);
            break;
        }
        bool didWork = false;

        // 1. Error recovery requested by the writer.
        if (velk_XferRecovering(ctl)) {
            if (velk_Opt(VELK_OPT_STATUS_FIFO))
                velk_StatusMsg(1, "ERROR_RECOVERY");
            lfw_resync_t restart;
            memset(&restart, 0, sizeof restart);
            restart.ordinal = mgr.ordinal;
            if (velk_LfwErrorResyncHook(ctl, &restart) != 0)
                break;
            if (restart.repositioned) {
                mgr.ordinal = restart.ordinal;
                mgr.entry = restart.entry;
                mgr.type = velk_Get32(restart.entry.hent_type);
                mgr.record = restart.atIndexEnd ? nullptr : memberRecord(mgr.ordinal, &mgr.entry);
                mgr.pendingSkip = restart.blocksToSkip;
                mgr.logicalOffset = restart.logicalOffset;
                mgr.fillBuf = nullptr;
                mgr.member = nullptr;
                mgr.indexEof = restart.atIndexEnd;
                mgr.lastFlushed = false;
                mgr.state = IX_ASSIGN_TASK;
            }
            didWork = true;
        }

        // 2-5. The state's work.
        switch (mgr.state) {
        case IX_READ_ENTRY:
            stepReadEntry(&mgr);
            didWork = true;
            break;
        case IX_ASSIGN_TASK: didWork = stepServeInline(&mgr) || stepAssignTask(&mgr) || didWork; break;
        case IX_ASSIGN_BUFFERS: didWork = stepAssignBuffers(&mgr) || didWork; break;
        case IX_EOF_REACHED: break;
        default:
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Internal state error at line %d\n", __func__, __LINE__);
            mgrAbort(&mgr, __func__, __LINE__);
            break;
        }
        if (mgr.stop)
            break;

        // 6. Completions.
        while (!mgr.stop && takeCompletion(&mgr))
            didWork = true;
        if (mgr.stop)
            break;

        int active;
        int pending;
        {
            kyl_lock_guard g(pool->lock);
            active = pool->activeThreads;
            pending = pool->completionCount;
        }
        if (mgr.state == IX_EOF_REACHED && active == 0) {
            // Everything is handed out and read: send the rest, then wait
            // for the end of the transfer or a recovery request.
            if (!mgr.lastFlushed)
                flushFillQueue(&mgr);
            if (mgr.stop)
                break;
            waitBufQueue(ctl, false);
            continue;
        }
        if (didWork)
            continue;

        // 7. Nothing to do: wait.
        if (active > 0) {
            if (pending == 0) {
                kyl_lock_guard g(pool->lock);
                if (pool->completionCount == 0) {
                    struct timespec until = velk_DeadlineIn(VELK_LFW_COMPLETION_WAIT_MS);
                    pool->condition.timedwait(pool->lock, &until);
                }
            }
        } else if (mgr.state == IX_ASSIGN_BUFFERS) {
            waitBufQueue(ctl, true);
        } else {
            velk_SleepMs(kIdleSleepMs);
        }
    }

    endManager(ctl);
    velk_LfwFilesClose(&selfFiles);
    return nullptr;
}
