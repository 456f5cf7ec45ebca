#ifndef VELK_XFERRECOVERY_H
#define VELK_XFERRECOVERY_H

// Recovery of a storage-system transfer after a failed list request: the
// stream restarts at the first block known to be safely moved instead of
// starting the archive over.  The writer's calling thread and the local
// file manager meet through the control's errorResyncFlag (controlLock with
// localFileCond); the reader's calling thread and its local-file write
// thread meet through the same flag under bufQueueLock with
// bufQueueCondition.  Every completed recovery is counted in the control's
// recoveries.

#include <atomic>
#include <cstdint>

#include "velk_IndexFormat.h"
#include "velk_Xfer.h"

// Logs "Error %d on last I/O operation" and the offsets of the failed
// request of theCtl.  Returns 0.  Calling thread of a transfer.
int velk_LogXferError(int theError, velk_xfer_ctl_t *theCtl);

// After a failed list-write: rounds totalBytesMoved down to a whole block
// (logging the bytes cut), sets errorResyncFlag, wakes every thread of the
// transfer and waits until the local file manager has reset the stream to
// srcOffset + totalBytesMoved.  Returns 0 when the transfer can go on from
// there, -1 (exit status 70 when the handshake was broken) otherwise.
// Takes controlLock and bufQueueLock; call with neither held.
[[nodiscard]] int velk_ResyncAfterQUORWriteError(velk_xfer_ctl_t *theCtl);

// Finds the entry of the temporary index (local kind) whose blocks hold
// theOffset, searching back from *ordinal in steps of one index buffer and
// then forward.  Returns 0 with *ordinal and *entry set and the index
// positioned at the next entry (index's reader); 1 when theOffset lies at or past the end of
// the last entry; -1 after logging (exit status 72).
[[nodiscard]] int velk_GetIndexEntryForOffset(velk_index_t *index, int indexFd, uint64_t theOffset, long *ordinal,
                                              hif_entry_t *entry);

// Shuts down the sockets of every active mover connection of ctl (their
// threads close them) and wakes every waiter of the transfer.  Any thread.
void velk_WakeTransfer(velk_xfer_ctl_t *ctl);

#endif
