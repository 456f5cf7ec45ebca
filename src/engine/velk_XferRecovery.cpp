// Recovery of storage-system transfers after a failed list request.  The
// writer's calling thread rounds the restart point down to a block, raises
// errorResyncFlag and waits on localFileCond (controlLock) until the local
// file manager has rebuilt the stream from there; the index search used by
// the manager lives here too.  Reads recover through bufQueueLock and
// bufQueueCondition with the local-file write thread.

#include "velk_XferRecovery.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <sys/socket.h>

#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"

namespace {

constexpr uint32_t MSG = VELK_LOGCLASS_MSG;
constexpr uint64_t kBlock = VELK_BLOCKSIZE;
// Longest single wait of a handshake before the abort count is looked at.
constexpr long kHandshakeSliceMs = 100;
// The backward search never steps further than this many entries.
constexpr int kMaxSearchStep = 200;

// The offsets of the failed request, as "label....... value" lines.
void offsetLines(velk_xfer_ctl_t *c, bool toLog, bool toErr)
{
    const struct {
        const char *label;
        uint64_t value;
    } rows[] = {
        {"    Starting source offset........... ", c->srcOffset},
        {"    Starting sink offset............. ", c->sinkOffset},
        {"    Source Address at start of IOD... ", c->movers.currentSrcAddr},
        {"    Sink Address at start of IOD..... ", c->movers.currentFileAddr},
        {"    Total xferred at point of error.. ", c->totalBytesMoved},
        {"    Resync source offset from start of IOD is.......... ",
         c->srcOffset + c->totalBytesMoved - c->movers.currentSrcAddr},
    };
    for (const auto &r : rows) {
        if (toLog)
            velk_LogFmt(VELK_MSG_LOGONLY, MSG, "%s%" PRIu64 "\n", r.label, r.value);
        if (toErr)
            velk_ErrPrintf("%s%" PRIu64 "\n", r.label, r.value);
    }
}

} // namespace

int velk_LogXferError(int theError, velk_xfer_ctl_t *theCtl)
{
    velk_LogFmt(VELK_MSG_ERROR, MSG, "Error %d on last I/O operation\n", theError);
    offsetLines(theCtl, true, velk_debug_level >= 1);
    return 0;
}

int velk_ResyncAfterQUORWriteError(velk_xfer_ctl_t *theCtl)
{
    static const char *const fn = "velk_ResyncAfterQUORWriteError";
    if (theCtl->totalBytesMoved % kBlock != 0) {
        // The partial block is written again from its start.
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Truncating archive file by %d bytes prior to starting recovery\n", fn,
                    static_cast<int>(theCtl->totalBytesMoved % kBlock));
        kyl_lock_guard g(theCtl->controlLock); // progress reads it
        theCtl->totalBytesMoved -= theCtl->totalBytesMoved % kBlock;
    }
    if (velk_debug_level >= 1) {
        velk_ErrPrintf("/debug/%s called to sync with local file transfer thread\n", fn);
        offsetLines(theCtl, false, true);
        velk_ErrPrintf("    Logical reposition address is.......... %" PRIu64 "\n",
                       theCtl->srcOffset + theCtl->totalBytesMoved);
    }
    velk_LogFmt(VELK_MSG_LOGONLY, MSG, "%s: setting errorResyncFlag and signalling local file thread\n", fn);
    {
        kyl_lock_guard g(theCtl->controlLock);
        if (theCtl->errorResyncFlag != 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG,
                        "%s: Internal consistency error detected in error resync flag - aborting\n", fn);
            velk_SetExitCode(VELK_EXIT_SOFTWARE);
            return -1;
        }
        if (theCtl->abortSignalled != 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: detected previously set <aborted> flag - skipping error recovery\n",
                        fn);
            velk_SetExitCode(VELK_EXIT_SOFTWARE);
            return -1;
        }
        theCtl->errorResyncFlag = 1;
    }
    // The request's transfer threads may still wait on a mover or a
    // buffer: with the flag raised they give up quietly.
    velk_WakeTransfer(theCtl);
    int aborted;
    {
        kyl_lock_guard g(theCtl->controlLock);
        while (theCtl->errorResyncFlag != 0 && velk_XferStopReasonLocked(theCtl) == VELK_XFER_GO_ON) {
            struct timespec until = velk_DeadlineIn(kHandshakeSliceMs);
            theCtl->localFileCond.timedwait(theCtl->controlLock, &until);
        }
        aborted = theCtl->abortSignalled != 0 || theCtl->errorResyncFlag != 0;
    }
    velk_LogFmt(VELK_MSG_LOGONLY, MSG, "%s: local file sync complete. Abort flag=%d\n", fn, aborted);
    if (velk_debug_level >= 1) {
        velk_ErrPrintf("/debug/%s: local file sync complete. Abort flag=%d\n", fn, aborted);
        velk_ErrPrintf("    New resync source offset is.......... %" PRIu64 "\n",
                       theCtl->srcOffset + theCtl->totalBytesMoved);
    }
    if (aborted)
        return -1;
    theCtl->recoveries++;
    return 0;
}

int velk_GetIndexEntryForOffset(velk_index_t *index, int indexFd, uint64_t theOffset, long *ordinal, hif_entry_t *entry)
{
    static const char *const fn = "getIndexEntryForOffset";
    int bytes = 0;
    int step = 0;
    velk_GetIndexBufSize(&bytes, &step);
    step = std::clamp(step, 1, kMaxSearchStep);
    if (velk_debug_level >= 1)
        velk_ErrPrintf("%s: [error recovery] Searching for index entry for offset=%" PRIu64 "\n", fn, theOffset);
    const long entries = static_cast<long>(velk_index_entries);
    if (entries <= 0)
        return 1;
    long ord = std::clamp(*ordinal, 0L, entries - 1);
    hif_entry_t e;
    for (;;) {
        if (velk_IndexReadRandomEntry(index, indexFd, VELK_LOCAL_FILE, ord, &e) != 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: fatal error reading index entry ordinal %ld\n", fn, ord);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        if (velk_Get64(e.hent_offset) * kBlock <= theOffset || ord == 0)
            break;
        ord = std::max(0L, ord - step);
    }
    const uint64_t afterBackward = velk_Get64(e.hent_offset) * kBlock;
    for (;;) {
        const uint64_t start = velk_Get64(e.hent_offset) * kBlock;
        if (start > theOffset) {
            velk_LogFmt(VELK_MSG_ERROR, MSG,
                        "%s: Internal error searching for index entry. Current index ordinal=%ld\n", fn, ord);
            velk_LogFmt(VELK_MSG_ERROR, MSG, "   Search offset: %" PRIu64 "\n", theOffset);
            velk_LogFmt(VELK_MSG_ERROR, MSG, "   Index entry offset after backward search: %" PRIu64 "\n",
                        afterBackward);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
        if (theOffset < start + static_cast<uint64_t>(velk_Get32(e.hent_blocks)) * kBlock)
            break;
        if (++ord >= entries)
            return 1;
        if (velk_IndexReadRandomEntry(index, indexFd, VELK_LOCAL_FILE, ord, &e) != 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG,
                        "%s: I/O error searching for index entry for offset=%" PRIu64 ". Current index ordinal=%ld\n",
                        fn, theOffset, ord);
            velk_SetExitCode(VELK_EXIT_IOERR);
            return -1;
        }
    }
    if (velk_IndexFilePosition(index, indexFd, VELK_LOCAL_FILE, ord + 1) != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    *ordinal = ord;
    *entry = e;
    return 0;
}

void velk_WakeTransfer(velk_xfer_ctl_t *ctl)
{
    ctl->controlLock.lock();
    for (int i = 0; i < ctl->movers.connectListSize; i++) {
        connection_info_t *c = &ctl->movers.connectionList[i];
        if (!c->isactive)
            continue;
        for (int fd : {c->controlSocket, c->listenSocket, c->transferSocket})
            if (fd >= 0)
                shutdown(fd, SHUT_RDWR);
    }
    ctl->controlLock.unlock();
    velk_ReqQueueSignalAll(ctl->movers.connectionList, ctl->movers.connectListSize);
    ctl->ring.bufQueueLock.lock();
    ctl->ring.bufQueueCondition.broadcast();
    ctl->ring.bufQueueLock.unlock();
}
