#ifndef VELK_QUORARCHIVEREADER_H
#define VELK_QUORARCHIVEREADER_H

// The storage-system archive reader: reads a byte range of an archive kept
// in the storage system with list-read requests whose movers connect back
// and write the data, several connections at once, straight into a sliding
// window of 2 x stripe width I/O buffers.  One local-file write thread hands
// the buffers, in archive order, to the operation's data callback and
// re-arms each delivered buffer further along the range.  Called by
// extract, verify and build index on their own thread; every thread it
// starts has ended before it returns.
//
// The same reader can be kept set up across many ranges (a mounted
// archive's positioned reads): velk_QuorReaderOpen makes its buffers, its
// listening socket and its listen thread once, each velk_QuorReaderRead
// then costs its list-read requests alone, and velk_QuorReaderClose ends
// it.  One thread uses a kept reader at a time.

#include <cstdint>

#include "velk_Xfer.h"

// Reads bytesToRead bytes of the storage-system archive archiveFd from byte
// startAddr and passes them to callback (with callbackArg): every byte
// exactly once, in order, one call at a time, in buffers of at most
// xs->iobufsize bytes rounded up to whole blocks.  Requests cover at most
// min(2 GiB, xs->maxMbytesPerIod MiB) each.  *xferTime (may be null)
// receives the seconds from the first mover connection (or the start) to
// the end.  Returns 0 when every byte of the range reached the callback,
// else -1 (a failed or short request, a gap, a misbehaving mover, a
// callback that returned a negative value, a shutdown).  0 bytes returns 0
// at once.
[[nodiscard]] int velk_CopyFromQUORArchive(const velk_xfer_settings_t *xs, int archiveFd, uint64_t startAddr,
                                           uint64_t bytesToRead, velk_bufCallback_t callback, void *callbackArg,
                                           double *xferTime);

// velk_QuorReaderRead's result when the gateway session was lost (the
// connection broke, or a new session no longer knows the descriptor) and
// the reader was opened to recover from that: nothing was logged.
constexpr int VELK_QUOR_SESSION_LOST = -2;

struct velk_quor_reader_t;

// Sets up a reader of the storage-system archive archiveFd with the
// settings xs (copied): 0 with *reader set, or -1 after the message (exit
// status 72).  recoverLost: a lost session ends a read quietly with
// VELK_QUOR_SESSION_LOST instead of failing it with a message.
[[nodiscard]] int velk_QuorReaderOpen(const velk_xfer_settings_t *xs, int archiveFd, bool recoverLost,
                                      velk_quor_reader_t **reader);

// Reads one range through reader as velk_CopyFromQUORArchive does: 0,
// -1 after the message, or VELK_QUOR_SESSION_LOST.  After a failure the
// reader serves no more ranges; close it (and open another).
[[nodiscard]] int velk_QuorReaderRead(velk_quor_reader_t *reader, uint64_t startAddr, uint64_t bytesToRead,
                                      velk_bufCallback_t callback, void *callbackArg, double *xferTime);

// Ends reader: joins its threads, closes its socket, frees its buffers.
// The archive descriptor stays open.  A null reader does nothing.
void velk_QuorReaderClose(velk_quor_reader_t *reader);

#endif
