#ifndef VELK_ARCHIVECOPY_H
#define VELK_ARCHIVECOPY_H

// The data copy of a create, chosen by the archive's kind: a local (or
// piped) archive is written by the local archive writer, a storage-system
// archive by the storage-system writer and a gateway-host archive through
// the gateway's local-file transfer.  Initial thread.

#include "velk_Context.h"

// Copies the members laid out by the temporary index into the open
// archive velk_archive_fd of kind velk_filetype (archive: its size;
// index: the run's, its temporary index open), with the run's transfer
// settings xs.  *xferTime, *threadsUsed and *recoveries (recoveries from
// failed requests) as the writer reports them.  Returns 0, or -1 after the
// message (exit status set).
[[nodiscard]] int velk_CopyToArchive(const velk_xfer_settings_t *xs, const velk_archive_t *archive, velk_index_t *index,
                                     double *xferTime, int *threadsUsed, int *recoveries);

#endif
