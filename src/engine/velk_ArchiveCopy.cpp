// One dispatch by archive kind for the data copy of a create.  Initial
// thread; no locks of its own.

#include "velk_ArchiveCopy.h"

#include "velk_Globals.h"
#include "velk_LocalArchiveWriter.h"
#include "velk_QuorArchiveWriter.h"
#include "velk_RemoteArchive.h"

int velk_CopyToArchive(double *xferTime, int *threadsUsed)
{
    switch (velk_filetype) {
    case VELK_QUOR_FILE: return velk_CopyToQUORArchive(xferTime, threadsUsed);
    case VELK_REMOTE_FILE: return velk_CopyToRemoteArchive(xferTime, threadsUsed);
    default: return velk_CopyToLocalArchive(xferTime, threadsUsed);
    }
}
