// Defaults and release of the run context.

#include "velk_Context.h"

#include "velk_Globals.h"
#include "velk_Memory.h"

void velk_RunInit(velk_run_t *run)
{
    run->archive.absPath = nullptr;
    run->archive.familyId = 0;
    run->archive.setExpiration = 0;
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
    run->config = nullptr;
    run->members = velk_members_t{nullptr, 0, 0};
    run->selectHooks = nullptr;
    run->exclude = nullptr;
    run->homes = nullptr;
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
    VELK_FREE(run->inputListName);
    VELK_FREE(run->acctName);
    VELK_FREE(run->serverHost);
    VELK_FREE(run->statusPipeName);
    velk_RunInit(run);
}
