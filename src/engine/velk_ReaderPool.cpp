// The local file reader pool: the reader (LFW) threads, which write member
// headers and data into the transfer's buffers at the places the local file
// manager (velk_LocalFileMgr.cpp) hands them, and the pool's start and end.
// Readers touch only their own task and the blocks they were given.  The
// pool takes its own lock and reader threadMutexes, and a reader's stop
// check takes controlLock, never together with a pool lock.

#include "velk_ReaderPool.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_IndexFile.h"
#include "velk_LogMsg.h"
#include "velk_MemberFile.h"
#include "velk_MemberStatus.h"
#include "velk_Memory.h"
#include "velk_StatusFifo.h"
#include "velk_TarHeader.h"
#include "velk_Utils.h"
#include "velk_XferRecovery.h"

namespace {

constexpr int kBlock = VELK_BLOCKSIZE;
// How long a reader waits for a member file to become readable before it
// looks at the transfer's state again.
constexpr int kReadPollMs = 250;

uint64_t entrySize(const hif_entry_t *e)
{
    return velk_Get64(e->hent_fsize);
}
bool crcOn()
{
    return velk_Opt(VELK_OPT_CRC);
}

void closeFd(int *fd)
{
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

// Bytes of the current request still free after bufOffset.
int64_t requestRoom(const lfw_task_t *task)
{
    return static_cast<int64_t>(task->reqOffset) + static_cast<int64_t>(task->reqBlocks) * kBlock - task->bufOffset;
}

// Zero-fills length bytes at dst and, when asked, feeds them to the CRC.
void zeroFill(unsigned char *dst, uint64_t length, crc32_t *crc)
{
    memset(dst, 0, length);
    if (crc != nullptr)
        velk_ChecksumBuffer(dst, length, crc);
}

} // namespace

// ---------------------------------------------------------------------------
// Small pool interfaces.
// ---------------------------------------------------------------------------

void velk_LfwSignalCondition(velk_reader_pool_t *pool)
{
    if (pool == nullptr)
        return;
    kyl_lock_guard g(pool->lock);
    pool->condition.signal();
}

void velk_LfwBroadcastCondition(velk_reader_pool_t *pool)
{
    if (pool == nullptr)
        return;
    kyl_lock_guard g(pool->lock);
    pool->condition.broadcast();
}

int velk_LfwThreadHighWater(velk_reader_pool_t *pool)
{
    kyl_lock_guard g(pool->lock);
    return pool->threadHighWater;
}

// ---------------------------------------------------------------------------
// Reader requests.
// ---------------------------------------------------------------------------

int lfw_CreateTarHeader(lfw_ctl_t *theThread)
{
    lfw_task_t *task = &theThread->task;
    if (task->reqBuffer == nullptr || requestRoom(task) < kBlock) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Internal state error at line %d\n", __func__, __LINE__);
        return -1;
    }
    hif_entry_t entry = task->inxEntry;
    if (task->fileNotOpened) {
        memset(entry.hent_prefix, 0, sizeof entry.hent_prefix);
        memset(entry.hent_name, 0, sizeof entry.hent_name);
        memcpy(entry.hent_name, "/dev/null", sizeof "/dev/null");
    }
    velk_BuildPosixHeader(&entry, task->reqBuffer->buffer + task->bufOffset);
    if (velk_ProgressShown()) {
        char path[VELK_PATH_BUFSIZE];
        velk_FormIxEntryPathname(&task->inxEntry, path, sizeof path);
        velk_ProgressMember(velk_ShownName(path).c_str());
    }
    task->rplyBlocks++;
    task->bufOffset += kBlock;
    return 0;
}

int lfw_ReadLocalFile(int localFd, const char *fileName, lfw_ctl_t *theThread, uint64_t inxFsize,
                      uint64_t *totalXferred)
{
    lfw_task_t *task = &theThread->task;
    velk_xfer_ctl_t *ctl = theThread->xfer;
    int64_t wantedSigned = static_cast<int64_t>(task->reqBlocks - task->rplyBlocks) * kBlock;
    if (wantedSigned < 0 || task->reqBuffer == nullptr || requestRoom(task) < wantedSigned) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Internal state error at line %d\n", __func__, __LINE__);
        return -1;
    }
    uint64_t wanted = static_cast<uint64_t>(wantedSigned);
    uint64_t left = inxFsize > *totalXferred ? inxFsize - *totalXferred : 0;
    uint64_t toRead = std::min(wanted, left);
    uint64_t padding = wanted - toRead;
    unsigned char *dst = task->reqBuffer->buffer + task->bufOffset;
    crc32_t *crc = crcOn() ? &task->fileCRC : nullptr;

    if (task->eofHit || task->fileNotOpened || localFd < 0) {
        if (toRead > 0 && velk_debug_level >= 1)
            velk_LogFmt(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG,
                        "%s: premature EOF or file not opened (%s)- zero-filling %d bytes\n", __func__, fileName,
                        static_cast<int>(toRead));
        zeroFill(dst, toRead, crc);
    } else {
        uint64_t got = 0;
        while (got < toRead) {
            struct pollfd pfd = {localFd, POLLIN, 0};
            int rc = poll(&pfd, 1, kReadPollMs);
            if (rc <= 0) {
                int err = errno;
                if (ctl == nullptr || velk_XferShouldStop(ctl))
                    return -1;
                if (rc < 0 && err != EINTR) {
                    if (velk_debug_level >= 1)
                        velk_ErrPrintf("/debug/error %d on select() - exiting accept loop\n", err);
                    return -1;
                }
                if (rc == 0)
                    sched_yield();
                continue;
            }
            ssize_t n = read(localFd, dst + got, toRead - got);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    continue;
                task->readError = 1;
                velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                            "I/O error %d on local file %s while trying to read %d bytes\n", errno, fileName,
                            static_cast<int>(toRead - got));
                return -1;
            }
            if (n == 0) {
                // The file ended before its indexed size: it shrank while
                // being read.  The rest of the member is zeros.
                uint64_t rest = toRead - got;
                task->eofHit = 1;
                task->fileSizeChanged = 1;
                velk_SetExitCode(VELK_EXIT_IOERR);
                velk_LogFmt(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG, "%s: premature EOF reached on %s - %d bytes left\n",
                            __func__, fileName, static_cast<int>(rest));
                if (velk_debug_level >= 2)
                    velk_ErrPrintf("/debug/%s: premature EOF reached on %s - %d bytes left\n", __func__, fileName,
                                   static_cast<int>(rest));
                if (crc != nullptr)
                    velk_ChecksumBuffer(dst, got, crc);
                zeroFill(dst + got, rest, crc);
                crc = nullptr; // everything read is in the CRC already
                got = toRead;
                break;
            }
            got += static_cast<uint64_t>(n);
        }
        if (crc != nullptr)
            velk_ChecksumBuffer(dst, toRead, crc);
    }
    memset(dst + toRead, 0, padding);
    task->bufOffset += static_cast<int>(wanted);
    task->rplyBlocks = task->reqBlocks;
    *totalXferred += toRead;
    return 0;
}

namespace {

// Positions a resumed member's file at its first data byte not yet in the
// archive, (blocksToSkip - 1) * 512; with -H crc the bytes before it are
// read into the CRC, which must cover the whole member.  A file now shorter
// than that position is zero-filled from its end.  A file that makes the
// reader wait gives up once xfer must stop.  Returns 0 or -1.
int positionResumedMember(velk_xfer_ctl_t *xfer, int fd, lfw_task_t *task, uint64_t fileSize, uint64_t *totalXferred)
{
    uint64_t pos = static_cast<uint64_t>(task->blocksToSkip - 1) * kBlock;
    velk_LogFmt(VELK_MSG_LOGONLY, VELK_LOGCLASS_MSG,
                "EIO_RECOVERY (%s) index ordinal: %ld Seek Offset (blocks): %lld Seek Offset (bytes): %lld\n",
                task->localFile, task->indexEntryNumber, static_cast<long long>(task->blocksToSkip - 1),
                static_cast<long long>(pos));
    if (velk_debug_level >= 1)
        velk_ErrPrintf("%s: seekPos = %llu blocksToSkip = %llu\n", "lfw_PositionLocalFile",
                       static_cast<unsigned long long>(pos), static_cast<unsigned long long>(task->blocksToSkip));
    if (pos > fileSize || task->fileChanged || task->fileSizeChanged) {
        // Not the data the archive already holds the start of: the rest of
        // the member is zeros and the member fails.
        velk_SetExitCode(VELK_EXIT_IOERR);
        if (pos > fileSize)
            velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                        "%s: File %s was truncated to %lld bytes- seeking to EOF\n", "lfw_PositionLocalFile",
                        task->localFile, static_cast<long long>(fileSize));
        task->eofHit = 1;
        *totalXferred = pos;
        return lseek(fd, 0, SEEK_END) < 0 ? -1 : 0;
    }
    if (crcOn()) {
        // The CRC covers the whole member: the bytes before the restart
        // point are read into it again.
        FILE *console = velk_stdout_is_data ? stderr : stdout;
        fprintf(console, "Error recovery: Regenerating CRC for member file %s", task->localFile);
        fflush(console);
        velk_ChecksumInit(&task->fileCRC);
        unsigned char chunk[65536];
        uint64_t done = 0;
        while (done < pos) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, pos - done));
            ssize_t n = read(fd, chunk, want);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN && velk_WaitReady(fd, POLLIN) == 0 && !velk_XferShouldStop(xfer))
                continue;
            if (n <= 0)
                return -1;
            velk_ChecksumBuffer(chunk, static_cast<size_t>(n), &task->fileCRC);
            done += static_cast<uint64_t>(n);
        }
        fprintf(console, "\r\033[K");
        fflush(console);
    } else if (lseek(fd, static_cast<off_t>(pos), SEEK_SET) < 0) {
        return -1;
    }
    *totalXferred = pos;
    return 0;
}

// After the last piece of a member: a file that changed while it was read
// fails its member; one archived whole is recorded for -H rmlocal.
void finishMember(int fd, lfw_ctl_t *me, const struct stat *opened)
{
    lfw_task_t *task = &me->task;
    if (fd < 0 || task->fileChanged)
        return; // a change found at a resume was reported then
    bool whole = !task->fileSizeChanged && !task->eofHit && !task->readError;
    if (velk_MemberFileCopied(task->indexEntryNumber, task->record, task->localFile, fd, opened,
                              entrySize(&task->inxEntry), whole) != 0)
        task->fileChanged = 1;
}

// LFW_READ_FILE and LFW_READ_FIRST: opens the member, writes its header
// (unless the member is resumed) and its first data.
void serveReadOpen(lfw_ctl_t *me, velk_member_dir_t *dirs, int request, int *localFd, uint64_t *totalXferred,
                   struct stat *opened)
{
    lfw_task_t *task = &me->task;
    if (*localFd >= 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Internal state error at line %d\n", "velk_LFW_Thread",
                    __LINE__);
        task->response = -1;
        return;
    }
    uint64_t fsize = entrySize(&task->inxEntry);
    velk_FormIxEntryPathname(&task->inxEntry, task->localFile, sizeof task->localFile);
    task->eofHit = task->readError = task->fileNotOpened = task->fileSizeChanged = task->fileChanged = 0;
    *totalXferred = 0;

    // A file that is not the listed one is treated as missing: its place in
    // the archive gets the "/dev/null" header and zeros.
    int fd = velk_OpenMemberFileIn(dirs, task->record, task->localFile, opened);
    if (fd < 0) {
        task->fileNotOpened = task->eofHit = 1;
        task->fileChanged = fd == VELK_MEMBER_CHANGED ? 1 : 0;
        if (!task->fileChanged && velk_debug_level >= 1) {
            if (request == LFW_READ_FILE)
                velk_ErrPrintf("Index entry %ld: Error %d opening local file %s\n", task->indexEntryNumber, -fd,
                               task->localFile);
            else
                velk_ErrPrintf("Error %d opening local file %s\n", -fd, task->localFile);
        }
    } else if (task->residentOnly && !velk_MemberDataResident(fd, fsize)) {
        // Reading it would wait for the disk: the request goes back
        // unserved, nothing written or reported, for a reader thread to do.
        task->notResident = 1;
        close(fd);
        return;
    } else {
        uint64_t current = static_cast<uint64_t>(opened->st_size);
        if (current != fsize) {
            if (request == LFW_READ_FILE) {
                velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG,
                            "%s: (line %d,lfwthread %d) file %s:size changed from %lu to %lu\n", "velk_LFW_Thread",
                            __LINE__, me->tableInx, task->localFile, static_cast<unsigned long>(fsize),
                            static_cast<unsigned long>(current));
            } else {
                velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s:  (line %d) file size changed for %s\n",
                            "velk_LFW_Thread", __LINE__, task->localFile);
                velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "Index size:        %lu\n",
                            static_cast<unsigned long>(fsize));
                velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "Current file size: %lu\n",
                            static_cast<unsigned long>(current));
            }
            velk_SetExitCode(VELK_EXIT_IOERR);
            task->fileSizeChanged = 1;
        } else if (task->blocksToSkip > 0 &&
                   static_cast<uint32_t>(opened->st_mtime) != velk_Get32(task->inxEntry.hent_mtime)) {
            // Resumed after a failed request, but the file was modified
            // since it was listed: its data cannot continue the part of the
            // member already in the archive.
            velk_LogFmt(VELK_MSG_WARNING, VELK_LOGCLASS_MSG, "%s: changed during archiving\n", task->localFile);
            velk_NoteFailure("changed during archiving");
            task->fileChanged = 1;
        }
        *localFd = fd;
    }

    if (task->blocksToSkip > 0) {
        if (*localFd >= 0 && positionResumedMember(me->xfer, *localFd, task, fsize, totalXferred) != 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: error repositioning local file %s to block %lld\n",
                        "velk_LFW_Thread", task->localFile, static_cast<long long>(task->blocksToSkip));
            task->response = -1;
        }
        if (*localFd < 0)
            *totalXferred = static_cast<uint64_t>(task->blocksToSkip - 1) * kBlock;
    } else if (lfw_CreateTarHeader(me) != 0) {
        task->response = -1;
    }
    if (task->response == 0 && lfw_ReadLocalFile(*localFd, task->localFile, me, fsize, totalXferred) != 0)
        task->response = -1;
    if (request == LFW_READ_FILE) {
        if (task->response == 0)
            finishMember(*localFd, me, opened);
        closeFd(localFd);
    }
    task->blocksToSkip = 0;
}

// Reports a finished request to the manager.
void reportCompletion(lfw_ctl_t *me, bool quitting)
{
    velk_reader_pool_t *pool = me->pool;
    kyl_lock_guard g(pool->lock);
    pool->completionCount++;
    me->threadMutex.lock();
    me->threadState = LFW_CMD_COMPLETE;
    if (quitting)
        me->threadCond.signal();
    me->threadMutex.unlock();
    me->pool->lock.assertHeld(); // pool's lock, reached through the entry
    me->next = pool->completedTasks;
    pool->completedTasks = me;
    if (quitting)
        pool->condition.broadcast();
    else
        pool->condition.signal();
}

} // namespace

void velk_LfwFilesInit(velk_lfw_files_t *files)
{
    files->localFd = -1;
    files->totalXferred = 0;
    memset(&files->opened, 0, sizeof files->opened);
    velk_MemberDirInit(&files->dirs);
}

void velk_LfwFilesClose(velk_lfw_files_t *files)
{
    closeFd(&files->localFd);
    velk_MemberDirClose(&files->dirs);
}

void velk_LfwServe(lfw_ctl_t *me, int request, velk_lfw_files_t *files)
{
    lfw_task_t *task = &me->task;
    task->rplyBlocks = 0;
    task->response = 0;
    task->notResident = 0;
    task->bufOffset = task->reqOffset;
    switch (request) {
    case LFW_GO_IDLE: closeFd(&files->localFd); break;
    case LFW_TAR_HDR:
        task->eofHit = task->fileNotOpened = 0;
        if (lfw_CreateTarHeader(me) != 0)
            task->response = -1;
        break;
    case LFW_ZERO_BLK:
        if (task->reqBuffer == nullptr || requestRoom(task) < kBlock) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Internal state error at line %d\n", "velk_LFW_Thread",
                        __LINE__);
            task->response = -1;
            break;
        }
        memset(task->reqBuffer->buffer + task->bufOffset, 0, kBlock);
        task->rplyBlocks++;
        task->bufOffset += kBlock;
        break;
    case LFW_READ_FILE:
    case LFW_READ_FIRST:
        serveReadOpen(me, &files->dirs, request, &files->localFd, &files->totalXferred, &files->opened);
        break;
    case LFW_READ_CONT:
    case LFW_READ_LAST:
        if (files->localFd < 0 && !task->fileNotOpened) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Internal state error at line %d\n", "velk_LFW_Thread",
                        __LINE__);
            task->response = -1;
            break;
        }
        if (lfw_ReadLocalFile(files->localFd, task->localFile, me, entrySize(&task->inxEntry), &files->totalXferred) !=
            0)
            task->response = -1;
        if (request == LFW_READ_LAST) {
            if (task->response == 0)
                finishMember(files->localFd, me, &files->opened);
            closeFd(&files->localFd);
        }
        break;
    default:
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: Internal error - unknown request (%d) at line %d\n",
                    "velk_LFW_Thread", request, __LINE__);
        task->response = -1;
        break;
    }
}

void *velk_LFW_Thread(void *threadParam)
{
    auto *me = static_cast<lfw_ctl_t *>(threadParam);
    lfw_task_t *task = &me->task;
    velk_lfw_files_t files; // the member file kept open between pieces, its directory
    velk_LfwFilesInit(&files);

    for (;;) {
        // Idle readers wait for the manager without a time limit: only the
        // manager (or the pool shutdown) gives them work or LFW_QUIT.
        me->threadMutex.lock();
        while (!(me->threadState == LFW_ACTIVE || (me->threadState == LFW_ASSIGNED && task->request != LFW_IDLE)))
            me->threadCond.wait(me->threadMutex);
        int request = task->request;
        me->threadMutex.unlock();
        if (velk_debug_level >= 4)
            velk_ErrPrintf("/debug/LFW thread %d found new task ->%d\n", me->tableInx, request);

        if (request == LFW_QUIT)
            break;
        velk_LfwServe(me, request, &files);
        if (velk_debug_level >= 4)
            velk_ErrPrintf("/debug/ LFW thread %d Request complete. Req: %d Resp: %d Blks Req/Rply=%d %d\n",
                           me->tableInx, request, task->response, task->reqBlocks, task->rplyBlocks);
        reportCompletion(me, false);
    }
    velk_LfwFilesClose(&files);
    reportCompletion(me, true);
    if (velk_debug_level >= 1)
        velk_ErrPrintf("/debug/ LFW thread %d exiting\n", me->tableInx);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Pool start and end.
// ---------------------------------------------------------------------------

namespace {

// Asks entry to quit: a running request is let finish first.
void sendQuit(velk_reader_pool_t *pool, lfw_ctl_t *entry)
{
    for (;;) {
        kyl_lock_guard g(pool->lock);
        entry->threadMutex.lock();
        if (entry->threadState != LFW_ACTIVE) {
            entry->task.request = LFW_QUIT;
            entry->threadState = LFW_ASSIGNED;
            entry->threadCond.signal();
            entry->threadMutex.unlock();
            return;
        }
        entry->threadMutex.unlock();
        struct timespec until = velk_DeadlineIn(VELK_LFW_COMPLETION_WAIT_MS);
        pool->condition.timedwait(pool->lock, &until);
    }
}

} // namespace

void velk_ShutdownThreadPool(velk_reader_pool_t *pool)
{
    lfw_ctl_t *table;
    int size;
    {
        kyl_lock_guard g(pool->lock);
        table = pool->table;
        size = pool->tableSize;
    }
    if (table == nullptr)
        return;
    for (int i = 0; i < size; i++)
        if (table[i].threadStarted)
            sendQuit(pool, &table[i]);
    for (int i = 0; i < size; i++) {
        if (table[i].threadStarted) {
            pthread_join(table[i].threadID, nullptr);
            table[i].threadStarted = 0;
        }
    }
    {
        kyl_lock_guard g(pool->lock);
        for (int i = 0; i < size; i++) {
            if (table[i].condCreated)
                table[i].threadCond.destroy();
            if (table[i].mutexCreated)
                table[i].threadMutex.destroy();
            table[i].condCreated = table[i].mutexCreated = 0;
        }
        pool->table = nullptr;
        pool->tableSize = 0;
        pool->activeThreads = 0;
        pool->completedTasks = nullptr;
        pool->completionCount = 0;
    }
    VELK_FREE(table);
}

int velk_InitThreadPool(velk_reader_pool_t *pool, velk_xfer_ctl_t *ctl)
{
    VELK_TRACE_ENTRY();
    velk_ShutdownThreadPool(pool);
    ctl->pool = pool;
    int count = ctl->settings.maxThreads > 0 ? ctl->settings.maxThreads : 1;
    auto *table = static_cast<lfw_ctl_t *>(VELK_CALLOC(static_cast<size_t>(count), sizeof(lfw_ctl_t)));
    if (table == nullptr)
        return -1;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (ctl->settings.threadStacksize > 0)
        pthread_attr_setstacksize(&attr, static_cast<size_t>(ctl->settings.threadStacksize));

    // The table is published first so that velk_ShutdownThreadPool finds
    // whatever was started before a failure.
    {
        kyl_lock_guard g(pool->lock);
        pool->table = table;
        pool->tableSize = count;
        pool->activeThreads = 0;
        pool->completedTasks = nullptr;
        pool->completionCount = 0;
        pool->threadHighWater = 0;
    }
    int result = 0;
    for (int i = 0; i < count; i++) {
        lfw_ctl_t *entry = &table[i];
        entry->tableInx = i;
        entry->pool = pool;
        entry->xfer = ctl;
        entry->task.request = LFW_IDLE;
        int line = __LINE__ + 1;
        int rc = entry->threadMutex.init();
        if (rc == 0) {
            entry->mutexCreated = 1;
            line = __LINE__ + 1;
            rc = entry->threadCond.init();
            if (rc == 0)
                entry->condCreated = 1;
        }
        if (rc != 0) {
            velk_LogFmt(
                VELK_MSG_ERROR, VELK_LOGCLASS_MSG,
                "[velk_InitThreadPool] Thread entry %d - pthread_mutex_init/pthread_cond_init error %d at line %d\n", i,
                rc, line);
            velk_SetExitCode(VELK_EXIT_OSERR);
            result = -1;
            break;
        }
        {
            // The table is zeroed, so the state already reads LFW_WAITING;
            // set it under the entry's own lock all the same.
            kyl_lock_guard state(entry->threadMutex);
            entry->threadState = LFW_WAITING;
        }
        line = __LINE__ + 1;
        rc = pthread_create(&entry->threadID, &attr, velk_LFW_Thread, entry);
        if (rc != 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "***Errno=%d - failed to create thread[%d]at line %d\n", rc,
                        i, line);
            result = -1;
            break;
        }
        entry->threadStarted = 1;
        sched_yield();
    }
    pthread_attr_destroy(&attr);
    return result;
}
