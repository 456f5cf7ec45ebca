// Dispatch of archive range reads by archive kind.

#include "velk_ArchiveRead.h"

#include "velk_Globals.h"
#include "velk_LocalArchiveReader.h"
#include "velk_QuorArchiveReader.h"
#include "velk_RemoteArchive.h"

int velk_CopyFromArchive(int archiveFd, uint64_t startAddr, uint64_t bytesToRead, velk_bufCallback_t callback,
                         void *callbackArg, double *xferTime)
{
    switch (velk_filetype) {
    case VELK_QUOR_FILE:
        return velk_CopyFromQUORArchive(archiveFd, startAddr, bytesToRead, callback, callbackArg, xferTime);
    case VELK_REMOTE_FILE:
        return velk_CopyFromRemoteArchive(archiveFd, startAddr, bytesToRead, callback, callbackArg, xferTime);
    default: return velk_CopyFromLocalArchive(archiveFd, startAddr, bytesToRead, callback, callbackArg, xferTime);
    }
}
