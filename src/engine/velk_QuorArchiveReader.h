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

#endif
