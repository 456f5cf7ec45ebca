// Gateway-host archives (see velk_RemoteArchive.h): the writer sets up the
// transfer control, buffers, reader pool and local file manager the way
// the storage-system writer does, then sends the archive with
// velk_LfxSendFile in callback mode; RemoteDataCallback, called by the
// transfer's producer thread, takes the manager's buffers off the ready
// queue in archive order.  The reader receives a range in callback mode.

#include "velk_RemoteArchive.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sched.h>

#include "velk_ArchiveFile.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_Lfx.h"
#include "velk_LocalFileMgr.h"
#include "velk_LogMsg.h"
#include "velk_Memory.h"
#include "velk_ReaderPool.h"

namespace {

constexpr uint32_t MSG = VELK_LOGCLASS_MSG;

// The operation's data callback of a gateway-host read, with the bytes it
// has been handed for the progress line and when that line was last drawn
// (used by the reader's consumer thread only).
struct ProgressCallback {
    velk_bufCallback_t callback;
    void *arg;
    uint64_t delivered, total;
    struct timespec shownAt;
};

int callWithProgress(io_buffer_t *buf, void *arg)
{
    auto *p = static_cast<ProgressCallback *>(arg);
    int rc = p->callback(buf, p->arg);
    if (rc == 0) {
        p->delivered += buf->dataLength;
        velk_DisplayXferProgressEvery(p->delivered, p->total, &p->shownAt, false);
    }
    return rc;
}

void setupFailed(velk_xfer_ctl_t *ctl, int code)
{
    velk_SetExitCode(code);
    if (ctl->ctlMutexCreated) {
        kyl_lock_guard g(ctl->controlLock);
        ctl->abortSignalled++;
    }
}

} // namespace

int RemoteDataCallback(velk_xfer_ctl_t *ctl, io_buffer_t **retBuffer)
{
    *retBuffer = nullptr;
    if (ctl == nullptr)
        return -1;
    lfx_file_info_t *fi = &ctl->gwhost.lfxFileInfo;
    io_bufreq_t *req = &fi->lfxBufRequest;
    for (;;) {
        ctl->ring.bufQueueLock.lock();
        // A request left from a wait that timed out is taken back first.
        if (ctl->ring.requestQueue == req)
            ctl->ring.requestQueue = req->next;
        io_buffer_t *head = ctl->ring.bufReadyQueue;
        if (head != nullptr && head->state == IOB_STATE_FILLED && head->fileOffset == fi->currentFillPos) {
            ctl->ring.bufReadyQueue = head->next;
            head->next = nullptr;
            fi->currentFillPos += head->dataLength;
            const uint64_t handed = fi->currentFillPos;
            ctl->ring.bufQueueLock.unlock();
            velk_DisplayXferProgressEvery(handed, ctl->transferLength, &ctl->progressShownAt, false);
            *retBuffer = head;
            return 0;
        }
        if (ctl->ring.requestQueue != nullptr) {
            ctl->ring.bufQueueLock.unlock();
            velk_LogFmt(VELK_MSG_ERROR, MSG,
                        "[%s] internal error - request queue non-NULL (%s, line %d) - aborting transfer\n", __func__,
                        "velk_RemoteArchive", __LINE__);
            velk_SetXferAborted(ctl, __func__, "velk_RemoteArchive", __LINE__);
            return -EINVAL;
        }
        if (velk_XferShouldStop(ctl) || velk_XferRecovering(ctl)) {
            ctl->ring.bufQueueLock.unlock();
            return -1;
        }
        req->next = nullptr;
        req->waitingThread = pthread_self();
        req->iodOffset = req->dataAddress = fi->currentFillPos;
        req->requestLength = static_cast<uint64_t>(ctl->settings.iobufsize);
        ctl->ring.requestQueue = req;
        req->reqLock.lock();
        ctl->ring.bufQueueLock.unlock();
        // The manager signals when the buffer holding currentFillPos is
        // ready; the wait is cut into seconds so that an abort is noticed
        // (the next pass checks it).
        const struct timespec until = velk_DeadlineIn(1000);
        req->reqCond.timedwait(req->reqLock, &until);
        req->reqLock.unlock();
    }
}

int velk_CopyToRemoteArchive(const velk_xfer_settings_t *xs, const velk_archive_t *archive, velk_index_t *index,
                             double *xferTime, int *threadsUsed, int *recoveries)
{
    VELK_TRACE_ENTRY();
    *xferTime = 0;
    *threadsUsed = 0;
    *recoveries = 0;
    auto *ctl = static_cast<velk_xfer_ctl_t *>(VELK_CALLOC(1, sizeof(velk_xfer_ctl_t)));
    if (ctl == nullptr)
        return -1;
    ctl->index = index;
    ctl->settings = *xs;
    ctl->archive_fd = velk_archive_fd;
    ctl->transferLength = archive->size;
    ctl->gwhost.xferOperation = IOP_PUT;
    ctl->movers.listenSockFD = -1;
    clock_gettime(CLOCK_MONOTONIC, &ctl->progressShownAt);
    const double start = velk_GetTimestamp();
    velk_reader_pool_t pool;
    bool poolStarted = false;
    bool managerStarted = false;
    pthread_t manager{};
    int rc = -1;
    if (velk_InitXferLocks(ctl) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Error(s) initializing transfer locks\n", __func__);
        setupFailed(ctl, VELK_EXIT_OSERR);
    } else {
        {
            kyl_lock_guard g(ctl->controlLock);
            ctl->transfer_active = 1;
        }
        int e = 0;
        if (velk_AllocateIoBuffers(&ctl->ring, &ctl->settings) != 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "Error(s) creating I/O buffers (%s)\n", strerror(ENOMEM));
            setupFailed(ctl, VELK_EXIT_NOMEM);
        } else if (poolStarted = true, velk_InitThreadPool(&pool, ctl) != 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Error(s) initializing thread pool\n", __func__);
            setupFailed(ctl, VELK_EXIT_OSERR);
        } else if (velk_IndexFileRewind(index, index->tmpFd, VELK_LOCAL_FILE) != 0) {
            setupFailed(ctl, VELK_EXIT_IOERR);
        } else if ((e = pthread_create(&manager, nullptr, velk_LocalFileMgrThread, ctl)) != 0) {
            velk_LogFmt(VELK_MSG_ERROR, MSG, "%s: Error(s) starting local file thread: %d\n", __func__, e);
            setupFailed(ctl, VELK_EXIT_OSERR);
        } else {
            managerStarted = true;
            sched_yield();
            const char *target = velk_archive_tmpname != nullptr ? velk_archive_tmpname : velk_archive;
            rc = velk_LfxSendFile(RMTIO_CALLBACK, ctl, nullptr, velk_archive_fd, nullptr, target, 0, 0, archive->size,
                                  RemoteDataCallback);
        }
    }
    ctl->stopTime = velk_GetTimestamp();
    if (ctl->ctlMutexCreated) {
        {
            kyl_lock_guard g(ctl->controlLock);
            ctl->transfer_active = 0;
            if (rc != 0)
                ctl->abortSignalled++;
        }
        {
            kyl_lock_guard g(ctl->ring.bufQueueLock);
            ctl->ring.bufQueueCondition.broadcast();
        }
        velk_LfwBroadcastCondition(ctl->pool);
    }
    if (managerStarted) {
        pthread_join(manager, nullptr);
        *threadsUsed = velk_LfwThreadHighWater(&pool) + 1;
    }
    if (poolStarted)
        velk_ShutdownThreadPool(&pool);
    const int aborted = ctl->ctlMutexCreated ? velk_GetXferAborted(ctl) : 1;
    if (rc == 0 && aborted == 0) {
        *xferTime = ctl->stopTime - start;
    } else {
        rc = -1;
        velk_SetExitCode(VELK_EXIT_IOERR);
    }
    if (ctl->ring.bufQueueLockCreated)
        velk_CleanupIoBuffers(&ctl->ring);
    velk_FreeXferLocks(ctl);
    VELK_FREE(ctl);
    return rc;
}

int velk_CopyFromRemoteArchive(const velk_xfer_settings_t *xs, int archiveFd, uint64_t startAddr, uint64_t length,
                               velk_bufCallback_t callback, void *callbackArg, double *xferTime)
{
    const double start = velk_GetTimestamp();
    if (xferTime != nullptr)
        *xferTime = 0;
    if (length == 0)
        return 0;
    auto *ctl = static_cast<velk_xfer_ctl_t *>(VELK_CALLOC(1, sizeof(velk_xfer_ctl_t)));
    if (ctl == nullptr)
        return -1;
    ctl->archive_fd = archiveFd;
    ctl->movers.listenSockFD = -1;
    ctl->settings = *xs;
    ProgressCallback progress{callback, callbackArg, 0, length, {}};
    clock_gettime(CLOCK_MONOTONIC, &progress.shownAt);
    int rc = velk_LfxReceiveFile(RMTIO_CALLBACK, ctl, nullptr, -1, nullptr, archiveFd, velk_archive, startAddr,
                                 startAddr, length, callWithProgress, &progress);
    VELK_FREE(ctl);
    if (xferTime != nullptr)
        *xferTime = velk_GetTimestamp() - start;
    if (rc != 0) {
        velk_SetExitCode(VELK_EXIT_IOERR);
        return -1;
    }
    return 0;
}
