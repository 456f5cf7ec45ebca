// Defaults and release of the run context.

#include "velk_Context.h"

#include <unistd.h>

#include "velk_Globals.h"
#include "velk_Memory.h"

void velk_RunInit(velk_run_t *run)
{
    run->archive.absPath = nullptr;
    run->archive.familyId = 0;
    run->archive.setExpiration = 0;
    run->archive.size = 0;
    run->archive.cfName = nullptr;
    run->index.fileSize = 0;
    run->index.flags = 0;
    run->index.annotationOffset = 0;
    run->index.annotationSize = 0;
    run->index.tmpName = nullptr;
    run->index.tmpFd = -1;
    run->index.unlinkTmp = 1;
    run->index.cursor = velk_index_cursor_t{nullptr, nullptr, 0, 0, false};
    run->index.cosId = -1;
    run->index.familyId = 0;
    run->index.setExpiration = 0;
    run->argc = 0;
    run->argv = nullptr;
    run->optind = 0;
    run->inputListName = nullptr;
    run->memberFiletype = VELK_LOCAL_MEMBER_FILE;
    run->verifyFlags = 0;
    run->umask = -1;
    run->acctId = 0;
    run->acctName = nullptr;
    run->acctIdGiven = 0;
    run->serverHost = nullptr;
    run->serverPort = 0;
    run->serverRunMode = 1;
    run->startTime = 0;
    run->maxFiles = 1000000;
    run->timeWindow = 0;
    run->statusInterval = 10;
    run->statusPipeName = nullptr;
    run->mountPoint = nullptr;
    run->mountCacheBytes = 0;
    run->mountAllowOther = 0;
    run->config = nullptr;
    run->members = velk_members_t{nullptr, 0, 0};
    run->selectHooks = nullptr;
    run->exclude = nullptr;
    run->homes = nullptr;
    run->noGateway = 0;
    run->records = nullptr;
    run->xfer.maxThreads = 50;
    run->xfer.threadStacksize = 524288;
    run->xfer.maxMbytesPerIod = 0;
    run->xfer.iobufsize = 8388608;
    run->xfer.maxSmallFileSize = 4194304;
    run->xfer.uid = 0;
    run->xfer.gid = 0;
    run->xfer.acctId = 0;
    run->xfer.sharedBuffers = false;
    run->okfile = nullptr;
    run->exfile = nullptr;
}

void velk_RunRelease(velk_run_t *run)
{
    VELK_FREE(run->archive.absPath);
    VELK_FREE(run->archive.cfName);
    if (run->index.tmpFd >= 0)
        close(run->index.tmpFd);
    VELK_FREE(run->index.tmpName);
    VELK_FREE(run->index.cursor.buffer);
    VELK_FREE(run->inputListName);
    VELK_FREE(run->acctName);
    VELK_FREE(run->serverHost);
    VELK_FREE(run->statusPipeName);
    VELK_FREE(run->mountPoint);
    velk_RunInit(run);
}
