#ifndef VELK_LOCALARCHIVEREADER_H
#define VELK_LOCALARCHIVEREADER_H

// The local archive reader: reads a byte range of a local (or piped)
// archive with one thread while a second thread hands the data, buffer by
// buffer and in archive order, to an operation's data callback.  Called by
// extract, verify and build index on their own thread; the two threads it
// starts end before it returns.

#include <cstdint>

#include "velk_Xfer.h"

// Reads bytesToRead bytes of the archive archiveFd (kind velk_filetype,
// local or pipe) from byte startAddr and passes them to callback in
// buffers of xs->iobufsize bytes rounded up to whole blocks: every byte
// exactly once, in order, one call at a time, each with callbackArg.  A local archive is first
// positioned at startAddr; a pipe is read from where it stands.  *xferTime
// (may be null) receives the elapsed seconds.  Returns 0, or -1 when the
// archive could not be positioned or read (also when it ends before the
// range does), the callback returned a negative value, or the threads could
// not be started; both threads have stopped by then.  0 bytes returns 0 at
// once without starting threads.  The buffers hold xs->iobufsize bytes.
[[nodiscard]] int velk_CopyFromLocalArchive(const velk_xfer_settings_t *xs, int archiveFd, uint64_t startAddr,
                                            uint64_t bytesToRead, velk_bufCallback_t callback, void *callbackArg,
                                            double *xferTime);

#endif
