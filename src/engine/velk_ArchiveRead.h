#ifndef VELK_ARCHIVEREAD_H
#define VELK_ARCHIVEREAD_H

// The one way the operations read archive ranges: by the archive's kind
// (velk_filetype), a local archive or pipe goes to the local archive reader
// and a storage-system archive to the storage-system reader.

#include <cstdint>

#include "velk_Xfer.h"

// Reads bytesToRead bytes of archiveFd from startAddr into callback (with
// callbackArg), as velk_CopyFromLocalArchive and velk_CopyFromQUORArchive
// describe.  A gateway-host archive cannot be read by this build: -1 after
// the message (exit status 70).  Returns 0 or -1.
[[nodiscard]] int velk_CopyFromArchive(int archiveFd, uint64_t startAddr, uint64_t bytesToRead,
                                       velk_bufCallback_t callback, void *callbackArg, double *xferTime);

#endif
