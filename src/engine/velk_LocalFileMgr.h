#ifndef VELK_LOCALFILEMGR_H
#define VELK_LOCALFILEMGR_H

// The local file manager of an archive write: one thread walks the temporary
// index in archive order, carves the archive's byte stream into the
// transfer's I/O buffers and hands each reader of the pool
// (velk_ReaderPool.h) a piece.  A buffer whose blocks are all filled (or
// that ends the archive) moves to the ready queue, sorted by archive offset,
// for the archive writer.  The manager also records each member's outcome
// and CRC and runs the recovery the writer asks for.  The archive writers
// start the pool and then the manager's thread, velk_LocalFileMgrThread.

#include <cstdint>

#include "velk_IndexFormat.h"
#include "velk_ReaderPool.h"
#include "velk_Xfer.h"

// States of the local file manager.
enum IXENTRY_STATES {
    IX_READ_ENTRY = 0,
    IX_ASSIGN_TASK = 1,
    IX_ASSIGN_BUFFERS = 2,
    IX_EOF_REACHED = 3,
};

// Thread entry of the local file manager; IoCtlPtr is the transfer control
// (velk_xfer_ctl_t) of the writer that starts it.  Needs the control's
// transferLength, its locks and the buffers on its ring's empty queue, a
// pool started for the same control (its pool pointer), and the temporary index open as
// ctl->index's tmpFd (local kind) positioned at its first entry with
// velk_index_entries set.  Runs until velk_XferShouldStop (a forced
// shutdown also aborts the transfer); at the end all readers are quiesced
// and given LFW_QUIT, and buffers still on the fill queue go back to the
// empty queue.  Returns null.
void *velk_LocalFileMgrThread(void *IoCtlPtr);

// Moves a completed buffer from the fill queue to the ready queue of ctl's
// ring (sorted by fileOffset), state IOB_STATE_FILLED and dataLength of
// its filled blocks, and wakes every transfer thread waiting for an address
// inside it.  Returns 0, or -1 after logging when the buffer is not on the
// fill queue (it is then left alone).  Manager thread; takes bufQueueLock
// and reqLocks.
int fillQueueToReadyQueue(velk_xfer_ctl_t *ctl, io_buffer_t *theBuf);

// Brings every reader of pool to LFW_WAITING with no member file open,
// asking assigned readers to go idle and letting running requests finish;
// then clears the completed list and the active count.  Manager thread
// (also error recovery).  Takes pool->lock and threadMutexes.
void velk_LfwQuiesceAllThreads(velk_reader_pool_t *pool) KYL_EXCLUDES(pool->lock);

// Where the manager resumes after error recovery repositioned the stream.
struct lfw_resync_t {
    int repositioned;       // non-zero: the fields below are set
    int atIndexEnd;         // the restart point is the end-of-archive block
    long ordinal;           // in: the manager's ordinal; out: the entry holding the restart point
    hif_entry_t entry;      // that entry (the end-of-index marker at the end)
    int64_t blocksToSkip;   // blocks of the entry already in the archive
    uint64_t logicalOffset; // archive offset of the restart point
};

// Recovery hook of the manager, run at the top of a pass when
// errorResyncFlag is set: stops the transfer threads and the readers,
// returns every buffer to the empty queue, finds the index entry holding
// the restart point srcOffset + totalBytesMoved in ctl->index's tmpFd
// (positioned after it) and repositions the archive; then clears
// errorResyncFlag and broadcasts localFileCond under controlLock.  Returns
// 0 with *restart filled, or -1 with the transfer aborted (exit status 70
// or 72).  Manager thread.
[[nodiscard]] int velk_LfwErrorResyncHook(velk_xfer_ctl_t *ctl, lfw_resync_t *restart);

#endif
