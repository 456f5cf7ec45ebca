// The data copy of a create, done by the archive kind's writer.  Initial
// thread; no locks of its own.

#include "velk_ArchiveCopy.h"

#include "velk_ArchiveKind.h"

int velk_CopyToArchive(const velk_xfer_settings_t *xs, const velk_archive_t *archive, velk_index_t *index,
                       double *xferTime, int *threadsUsed, int *recoveries)
{
    return velk_CurrentArchiveKind()->copy_to(xs, archive, index, xferTime, threadsUsed, recoveries);
}
