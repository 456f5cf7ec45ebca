// The local archive reader.  A read thread fills buffers 0, 1, 0, 1, ...
// from the archive while a delivery thread passes them, in the same order,
// to the operation's callback.  Each buffer's state, under its own bufLock
// and announced on its bufCond, says who owns it: IOB_STATE_READING the
// read thread, IOB_STATE_WRITING the delivery thread, IOB_STATE_COMPLETED
// nobody (the transfer has stopped).  The abort count is an atomic both
// threads poll; the thread that aborts marks both buffers completed.  With
// -V on a terminal the delivery thread shows the bytes delivered on the
// progress line, a few times a second at most.

#include "velk_LocalArchiveReader.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <pthread.h>

#include "velk_ArchiveFile.h"
#include "velk_ArchiveKind.h"
#include "velk_FileAccess.h"
#include "velk_Globals.h"
#include "velk_LogMsg.h"
#include "velk_TarHeader.h"

namespace {

constexpr int kBufferCount = 2;

// State of one read of a local archive, shared by the two threads.
struct local_reader_t {
    int localArchiveFd;              // constant while the threads run
    uint64_t left_To_Read;           // read thread only
    velk_bufCallback_t bufCallback;  // constant while the threads run
    void *callbackArg;               // constant while the threads run
    uint64_t total;                  // bytes of the range; constant while the threads run
    uint64_t delivered;              // delivery thread only
    struct timespec progressShownAt; // delivery thread only
    std::atomic<int> xferAborted;
    io_buffer_t bufs[kBufferCount];
};

// Marks both buffers completed and wakes whoever waits on them: the
// transfer has stopped.
void completeAll(local_reader_t *r)
{
    for (io_buffer_t &b : r->bufs) {
        b.bufLock.lock();
        b.state = IOB_STATE_COMPLETED;
        b.bufCond.broadcast();
        b.bufLock.unlock();
    }
}

void abortReader(local_reader_t *r)
{
    r->xferAborted.fetch_add(1);
    completeAll(r);
}

// Waits until b is in state want or completed.  Returns true when it is
// want (the caller now owns it), false when the transfer stopped.
bool waitFor(local_reader_t *r, io_buffer_t *b, int want)
{
    b->bufLock.lock();
    while (b->state != want && b->state != IOB_STATE_COMPLETED && r->xferAborted.load() == 0)
        b->bufCond.wait(b->bufLock);
    bool owned = b->state == want && r->xferAborted.load() == 0;
    b->bufLock.unlock();
    return owned;
}

// Hands b to the other thread in state next unless the transfer stopped
// meanwhile.  Returns false when it had.
bool handOver(io_buffer_t *b, int next)
{
    b->bufLock.lock();
    bool stopped = b->state == IOB_STATE_COMPLETED;
    if (!stopped) {
        b->state = next;
        b->bufCond.broadcast();
    }
    b->bufLock.unlock();
    return !stopped;
}

void *readThread(void *arg)
{
    auto *r = static_cast<local_reader_t *>(arg);
    for (int i = 0; r->left_To_Read > 0 && r->xferAborted.load() == 0; i = (i + 1) % kBufferCount) {
        io_buffer_t *b = &r->bufs[i];
        if (!waitFor(r, b, IOB_STATE_READING))
            break;
        uint64_t want = r->left_To_Read;
        if (want > static_cast<uint64_t>(b->bufSize))
            want = static_cast<uint64_t>(b->bufSize);
        int64_t got = velk_ReadArchive(r->localArchiveFd, static_cast<size_t>(want), b->buffer);
        if (got >= 0 && static_cast<uint64_t>(got) < want) {
            // The archive ends inside the range: what is missing will never
            // come, so the transfer fails instead of waiting for it.
            velk_LogFmt(
                VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: premature end of archive file - %lu bytes could not be read\n",
                "velk_CopyFromLocalArchive", static_cast<unsigned long>(r->left_To_Read - static_cast<uint64_t>(got)));
            velk_SetExitCode(VELK_EXIT_IOERR);
            got = -1;
        }
        if (got < 0) {
            if (velk_debug_level >= 1)
                velk_ErrPrintf("/debug/%s detected local read error. quitting\n", __func__);
            abortReader(r);
            break;
        }
        if (velk_debug_level >= 4)
            velk_ErrPrintf("/trace/read thread -read %d bytes from local Archive\n", static_cast<int>(got));
        r->left_To_Read -= static_cast<uint64_t>(got);
        b->bufLock.lock();
        b->dataLength = static_cast<uint32_t>(got);
        b->bufBlocksFilled = static_cast<int>((got + VELK_BLOCKSIZE - 1) / VELK_BLOCKSIZE);
        if (r->left_To_Read == 0)
            b->bufFlags |= IOB_FLAG_LAST_DATA;
        b->bufLock.unlock();
        if (!handOver(b, IOB_STATE_WRITING))
            break;
    }
    return nullptr;
}

// Shows the bytes delivered on the progress line (-V on a terminal): at
// the end of the range, or when the line is old enough.
void showProgress(local_reader_t *r)
{
    velk_DisplayXferProgressEvery(r->delivered, r->total, &r->progressShownAt, false);
}

void *deliveryThread(void *arg)
{
    auto *r = static_cast<local_reader_t *>(arg);
    for (int i = 0;; i = (i + 1) % kBufferCount) {
        io_buffer_t *b = &r->bufs[i];
        if (!waitFor(r, b, IOB_STATE_WRITING))
            break;
        b->bufLock.lock();
        bool last = (b->bufFlags & IOB_FLAG_LAST_DATA) != 0;
        b->dataMoved = 0;
        b->bufLock.unlock();
        if (velk_debug_level >= 4)
            velk_ErrPrintf("/trace/write thread passing %d bytes to callback function\n",
                           static_cast<int>(b->dataLength));
        int rc = r->bufCallback(b, r->callbackArg);
        if (rc < 0) {
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "/debug/%s: callback function returned %d -aborting xfer\n",
                        "velk_CopyFromLocalArchive", rc);
            abortReader(r);
            break;
        }
        r->delivered += b->dataLength;
        showProgress(r);
        if (last) {
            completeAll(r);
            break;
        }
        if (!handOver(b, IOB_STATE_READING))
            break;
    }
    return nullptr;
}

void printSysError(const char *what, int err)
{
    char text[256];
    velk_ErrPrintf("%s: %s\n", what, strerror_r(err, text, sizeof text));
}

} // namespace

int velk_CopyFromLocalArchive(const velk_xfer_settings_t *xs, int archiveFd, uint64_t startAddr, uint64_t bytesToRead,
                              velk_bufCallback_t callback, void *callbackArg, double *xferTime)
{
    VELK_TRACE_ENTRY();
    if (xferTime != nullptr)
        *xferTime = 0.0;
    if (bytesToRead == 0) {
        if (velk_debug_level >= 1)
            velk_ErrPrintf("/debug/%s called to read 0-length chunk. Skipped read\n", __func__);
        return 0;
    }
    if (callback == nullptr) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "[%s] internal error - no data callback\n", __func__);
        velk_SetExitCode(VELK_EXIT_SOFTWARE);
        return -1;
    }
    double start = velk_GetTimestamp();

    // The state lives in this frame: both threads are joined before return.
    local_reader_t state;
    local_reader_t *r = &state;
    for (io_buffer_t &b : r->bufs)
        b = io_buffer_t{};
    r->localArchiveFd = archiveFd;
    r->left_To_Read = bytesToRead;
    r->bufCallback = callback;
    r->callbackArg = callbackArg;
    r->total = bytesToRead;
    r->delivered = 0;
    clock_gettime(CLOCK_MONOTONIC, &r->progressShownAt);
    r->xferAborted.store(0);

    int result = 0;
    // A pipe cannot be positioned: it is read from where it stands.
    if (!velk_CurrentArchiveKind()->is_pipe &&
        velk_PositionFile(archiveFd, VELK_LOCAL_FILE, startAddr, SEEK_SET, QUOR_SET_OFFSET_FORWARD, nullptr) != 0) {
        velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal error positioning local archive file\n", __func__);
        velk_SetExitCode(VELK_EXIT_IOERR);
        result = -1;
    }
    for (int i = 0; result == 0 && i < kBufferCount; ++i) {
        if (velk_InitRwBuf(&r->bufs[i], VELK_MEMTYPE_LOCAL, xs->iobufsize) != 0)
            result = -1;
        r->bufs[i].bufID = i;
    }

    if (result == 0) {
        pthread_t reader;
        pthread_t deliverer;
        int rc = pthread_create(&reader, nullptr, readThread, r);
        bool readerStarted = rc == 0;
        if (rc == 0)
            rc = pthread_create(&deliverer, nullptr, deliveryThread, r);
        if (rc != 0) {
            printSysError("pthread_create", rc);
            velk_LogFmt(VELK_MSG_ERROR, VELK_LOGCLASS_MSG, "%s: fatal - unable to fork transfer thread(s)\n", __func__);
            velk_SetExitCode(VELK_EXIT_OSERR);
            abortReader(r);
            if (readerStarted)
                pthread_join(reader, nullptr);
            result = -1;
        } else {
            pthread_join(reader, nullptr);
            pthread_join(deliverer, nullptr);
            if (r->xferAborted.load() != 0)
                result = -1;
        }
    }

    for (io_buffer_t &b : r->bufs)
        velk_CleanIoBuf(&b);
    if (xferTime != nullptr)
        *xferTime = velk_GetTimestamp() - start;
    return result;
}
