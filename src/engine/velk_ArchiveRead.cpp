// Dispatch of archive range reads by archive kind.

#include "velk_ArchiveRead.h"

#include "velk_Globals.h"
#include "velk_LocalArchiveReader.h"
#include "velk_LogMsg.h"
#include "velk_QuorArchiveReader.h"

int velk_CopyFromArchive(int archiveFd, uint64_t startAddr, uint64_t bytesToRead, velk_bufCallback_t callback,
                         void *callbackArg, double *xferTime)
{
    switch (velk_filetype) {
    case VELK_QUOR_FILE:
        return velk_CopyFromQUORArchive(archiveFd, startAddr, bytesToRead, callback, callbackArg, xferTime);
    case VELK_REMOTE_FILE:
        if (xferTime != nullptr)
            *xferTime = 0.0;
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                    "%s: reading a %s archive file is not available in this build: %s\n", "velk_CopyFromArchive",
                    "remote", velk_archive);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    default: return velk_CopyFromLocalArchive(archiveFd, startAddr, bytesToRead, callback, callbackArg, xferTime);
    }
}
