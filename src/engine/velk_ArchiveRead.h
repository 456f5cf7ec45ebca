#ifndef VELK_ARCHIVEREAD_H
#define VELK_ARCHIVEREAD_H

// The one way the operations read archive ranges: by the archive's kind
// (velk_filetype), a local archive or pipe goes to the local archive reader,
// a storage-system archive to the storage-system reader and a gateway-host
// archive to the gateway-host reader.

#include <cstdint>

#include "velk_Xfer.h"

// Reads bytesToRead bytes of archiveFd from startAddr into callback (with
// callbackArg) with the run's transfer settings xs, as
// velk_CopyFromLocalArchive, velk_CopyFromQUORArchive and
// velk_CopyFromRemoteArchive describe.  Returns 0 or -1.
[[nodiscard]] int velk_CopyFromArchive(const velk_xfer_settings_t *xs, int archiveFd, uint64_t startAddr,
                                       uint64_t bytesToRead, velk_bufCallback_t callback, void *callbackArg,
                                       double *xferTime);

#endif
