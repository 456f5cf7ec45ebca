// Archive range reads, done by the archive kind's reader.

#include "velk_ArchiveRead.h"

#include "velk_ArchiveKind.h"

int velk_CopyFromArchive(const velk_xfer_settings_t *xs, int archiveFd, uint64_t startAddr, uint64_t bytesToRead,
                         velk_bufCallback_t callback, void *callbackArg, double *xferTime)
{
    return velk_CurrentArchiveKind()->copy_from(xs, archiveFd, startAddr, bytesToRead, callback, callbackArg, xferTime);
}
