#ifndef VELK_QUORARCHIVEWRITER_H
#define VELK_QUORARCHIVEWRITER_H

// The storage-system archive writer of a create.  The calling thread asks
// the storage system, one list-write request after another, to pull the
// archive from this client; the storage system's movers connect back to a
// listening socket served by a listen thread, and one transfer thread per
// mover control connection sends the bytes each mover asks for straight
// out of the reader pool's I/O buffers (no copy).  Locks: the transfer
// control's controlLock, bufQueueLock, buffer and request locks in the
// order velk_Xfer.h gives, and this unit's grant lock, taken alone.

#include <cstdint>

#include "kylgw_mvrprot.h"
#include "velk_Xfer.h"

// Writes the whole archive (archive->size bytes, laid out by the
// temporary index index->tmpFd) into the open storage-system archive
// velk_archive_fd through the reader pool (xs: its threads and their
// stack size) and the movers.  Requests cover
// at most min(2 GiB, xs->maxMbytesPerIod MiB) each.  A request that
// fails with an I/O error (more than five times in a row at one offset
// ends it), end of media or no space (waited out) restarts the stream at
// the last whole block it moved.  Any other failed request, or one whose
// reported byte count is out of range or not matched by the bytes that
// left this client, ends the transfer.  *xferTime gets the seconds from the first mover
// connection to the end, *threadsUsed the reader high-water mark plus one,
// *recoveries the restarts of the stream.  Returns 0 when every byte was written, else -1 after the message (exit
// status set).  Initial thread.
[[nodiscard]] int velk_CopyToQUORArchive(const velk_xfer_settings_t *xs, const velk_archive_t *archive,
                                         velk_index_t *index, double *xferTime, int *threadsUsed, int *recoveries);

// Thread entry of the listen thread; arg is the writer's transfer control
// (velk_xfer_ctl_t).  Accepts mover control connections until the transfer
// must stop and starts a transfer thread on each.  Returns null.
void *velk_WriterListenThread(void *arg);

// Thread entry of a transfer thread; theConnection is its
// connection_info_t.  Serves one mover until it closes its control
// connection or the transfer stops; closes its own sockets.  Returns null.
void *velk_TransferThread(void *theConnection);

// Finds the ready buffer that holds the archive address the mover asks
// for (initMessage's Offset within the current request), waiting on the
// connection's request entry while it is not filled yet.  On 0 *theBuffer
// is the buffer with its ioCount raised (bufLock); -1 when the transfer is
// aborted, recovering or no longer active, or the address is asked for by
// another connection at the same time (the transfer is then aborted).
// Takes bufQueueLock, then a reqLock or bufLock.
[[nodiscard]] int velk_FindBufferData(connection_info_t *conInfo, const initiator_msg_t *initMessage,
                                      io_buffer_t **theBuffer);

// Accounts a completed piece of theBuffer of ctl's ring: lowers its ioCount, adds the
// completion's BytesMoved to dataMoved and, once every byte of the buffer
// moved and no piece is in flight, returns it to the empty queue for the
// local file manager.  Returns 0, or -1 after aborting the transfer for a
// malformed count, a negative ioCount, an overflow or a buffer missing
// from the ready queue.  Takes bufLock, and after releasing it
// bufQueueLock.
[[nodiscard]] int velk_UpdateBufXferred(velk_xfer_ctl_t *ctl, const completion_msg_t *completionMsg,
                                        io_buffer_t *theBuffer);

#endif
