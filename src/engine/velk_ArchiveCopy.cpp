// One dispatch by archive kind for the data copy of a create.  Initial
// thread; no locks of its own.

#include "velk_ArchiveCopy.h"

#include "velk_Globals.h"
#include "velk_LocalArchiveWriter.h"
#include "velk_LogMsg.h"
#include "velk_QuorArchiveWriter.h"

int velk_CopyToRemoteArchive(double *xferTime, int *threadsUsed)
{
    *xferTime = 0;
    *threadsUsed = 0;
    velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "writing %s archives is not available in this build of velk\n",
                "gateway-host");
    velk_SetExitCode(VELK_EXIT_SOFTWARE);
    return -1;
}

int velk_CopyToArchive(double *xferTime, int *threadsUsed)
{
    switch (velk_filetype) {
    case VELK_QUOR_FILE: return velk_CopyToQUORArchive(xferTime, threadsUsed);
    case VELK_REMOTE_FILE: return velk_CopyToRemoteArchive(xferTime, threadsUsed);
    default: return velk_CopyToLocalArchive(xferTime, threadsUsed);
    }
}
