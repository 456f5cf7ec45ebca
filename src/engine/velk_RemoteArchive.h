#ifndef VELK_REMOTEARCHIVE_H
#define VELK_REMOTEARCHIVE_H

// Writing and reading an archive kept on the gateway host's own file
// system, through the gateway's local-file transfer.  The writer runs the
// reader pool's local file manager and readers beside the transfer, which
// takes their buffers in archive order through RemoteDataCallback; the
// reader hands the transfer's buffers to the operation's data callback.
// Initial thread; the transfer's locks as in velk_Xfer.h.

#include <cstdint>

#include "velk_Xfer.h"

// Writes the whole archive (archive->size bytes, laid out by the
// temporary index index->tmpFd) to the gateway-host file under its
// temporary name (velk_archive_tmpname, else velk_archive), read by the
// reader pool (xs: its threads and their stack size).  *xferTime gets the
// elapsed seconds, *threadsUsed the reader high-water mark plus one,
// *recoveries 0.  Returns 0 when every byte was written and the transfer was not
// aborted, else -1 after the message (exit status set).
[[nodiscard]] int velk_CopyToRemoteArchive(const velk_xfer_settings_t *xs, const velk_archive_t *archive,
                                           velk_index_t *index, double *xferTime, int *threadsUsed, int *recoveries);

// The buffer source of that write: the next filled buffer of ctl's ring in
// archive order (at the control's currentFillPos), waiting for the local
// file manager to fill it.  0 with *retBuffer set; -1 without a buffer when
// the transfer must stop (velk_XferShouldStop) or is recovering; -EINVAL when another request is
// already waiting (the transfer is then aborted).  Takes bufQueueLock, then
// the request's reqLock.
[[nodiscard]] int RemoteDataCallback(velk_xfer_ctl_t *ctl, io_buffer_t **retBuffer);

// Reads length bytes of the gateway-host archive from startAddr (archiveFd:
// its client descriptor, or -1 to name it by velk_archive) into callback
// with callbackArg, one buffer at a time in order.  *xferTime (may be null)
// gets the elapsed seconds; xs is copied into the transfer's control.
// Returns 0, or -1 after the message.
[[nodiscard]] int velk_CopyFromRemoteArchive(const velk_xfer_settings_t *xs, int archiveFd, uint64_t startAddr,
                                             uint64_t length, velk_bufCallback_t callback, void *callbackArg,
                                             double *xferTime);

#endif
