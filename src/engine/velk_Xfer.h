#ifndef VELK_XFER_H
#define VELK_XFER_H

// The common ground of every data transfer between member files and an
// archive: the transfer control (velk_xfer_ctl_t) with its buffer ring
// (velk_buf_ring_t) and the part of its kind, the I/O buffers and their
// queues, the per-connection request entries on which transfer threads wait
// for data, the data callback of archive readers, the one stop check every
// thread of a transfer asks, and the routines that create and tear down
// locks, buffers and threads.
//
// Locks of a transfer and their order: the control's controlLock guards
// abortSignalled, transfer_active and errorResyncFlag (and, for a gateway-
// host transfer, read_active, write_active and transfer_result); the ring's
// bufQueueLock guards the empty, ready and request queues
// (bufQueueCondition announces every change); a buffer's bufLock guards its
// ioCount and dataMoved.  A thread may take a bufLock, a reqLock or
// controlLock while holding bufQueueLock, never the reverse.  The fill queue
// belongs to the local file manager thread alone.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <pthread.h>
#include <sys/stat.h>

#include "kyl_mutex.h"
#include "kyl_xdr.h"
#include "kylgw_mvrprot.h"
#include "kylgw_xdr_xfer.h"
#include "quor_api.h"
#include "quor_sockaddr.h"
#include "velk_Context.h"

// Direction of a gateway-host transfer (xferOperation).
enum IO_OPERATION {
    IOP_GET = 1,
    IOP_PUT = 2,
    IOP_COPY = 3,
};

// States of an I/O buffer.
enum IOB_STATES {
    IOB_INIT_STATE = 0,
    IOB_STATE_READING = 1,
    IOB_STATE_FILLED = 2,
    IOB_STATE_WRITING = 3,
    IOB_STATE_COMPLETED = 4,
};

// Memory types of I/O buffer storage.  Only local memory can be allocated.
constexpr int VELK_MEMTYPE_LOCAL = 0;
constexpr int VELK_MEMTYPE_SHARED = 1;

// bufFlags bits.
constexpr uint32_t IOB_FLAG_LOCK_CREATED = 0x1;      // bufLock exists
constexpr uint32_t IOB_FLAG_COND_CREATED = 0x2;      // bufCond exists
constexpr uint32_t IOB_FLAG_NEW_OFFSET = 0x4;        // read: delivery restarts at newFileOffset
constexpr uint32_t IOB_FLAG_LAST_DATA = 0x80000000u; // holds the last data of the transfer

// Entries of the mover connection table of a remote archive transfer.
constexpr int VELK_MAX_CONNECTIONS = 64;

// One data connection of a gateway-host transfer (defined with that
// transfer).
struct nw_sock_struct_t;

struct io_buffer_t {
    io_buffer_t *next; // link in whichever queue holds the buffer
    int state;         // IOB_STATES
    int bufID;
    int memType; // VELK_MEMTYPE_*
    int memID;
    int bufSize; // bytes, always bufSizeBlocks * 512
    int bufSizeBlocks;
    int bufBlocksAllocated; // blocks promised to reader tasks
    int bufBlocksFilled;    // blocks written into the buffer
    unsigned char *buffer;  // the storage, bufSize bytes
    uint32_t bufFlags;      // IOB_FLAG_*
    int ioCount;            // transfers in flight on mover connections (bufLock)
    uint64_t iodOffset;     // first byte as an offset in the current list request
    uint64_t fileOffset;    // archive (logical stream) offset of the first byte
    uint64_t newFileOffset;
    uint32_t dataRemaining; // bytes still expected
    uint32_t dataMoved;     // bytes moved to or from movers (bufLock)
    uint32_t dataLength;    // valid bytes in the buffer
    kyl_mutex_t bufLock;
    kyl_cond_t bufCond;
};

// A thread waiting for the buffer that holds dataAddress.
struct io_bufreq_t {
    io_bufreq_t *next; // link in the request queue
    int reqLockCreated;
    kyl_mutex_t reqLock;
    int reqCondCreated;
    kyl_cond_t reqCond;
    pthread_t waitingThread;
    uint64_t iodOffset;     // offset within the list request
    uint64_t dataAddress;   // archive address wanted
    uint64_t requestLength; // bytes
    int response;
};

struct velk_xfer_ctl_t;
struct velk_reader_pool_t;

// The data callback through which every archive reader hands archive data
// to extract, verify and build index.  The buffer's first dataLength bytes
// are the next bytes of the archive in order; dataMoved is 0.  Calls come
// from one thread at a time and the buffer is reused afterwards, so the
// callback keeps no pointer into it and changes none of its fields.  arg is
// the pointer the caller of the reader gave along with the callback (the
// operation's own state).  It returns 0 to go on and a negative value to
// stop the transfer.
typedef int (*velk_bufCallback_t)(io_buffer_t *theBuf, void *arg);

// The buffer source of a gateway-host send: stores the next filled buffer
// of ctl's ring (or null) in *retBuffer and returns 0, or negative to stop.
typedef int (*velk_bufSource_t)(velk_xfer_ctl_t *ctl, io_buffer_t **retBuffer);

// How the local side of a gateway-host transfer moves its data.
enum VELK_XFER_IO_TYPE {
    RMTIO_FILE = 0,
    RMTIO_CALLBACK = 1,
};

// Local-file side of a gateway-host transfer.
struct lfx_file_info_t {
    int ioType;      // VELK_XFER_IO_TYPE
    int fileOpen;    // 1 when localFD is open
    char *localPath; // copy of the local path, or null
    int localFD;
    uint64_t localSize;
    uint64_t currentPos;
    uint64_t currentFillPos; // archive offset of the next buffer handed over
    struct stat64 localStat;
    int haveStat;
    int remoteFD;     // -1 when the remote file is not open
    char *remotePath; // copy
    int pipedFile;
    double fileSize; // the transfer length
    uint32_t fileUid;
    uint32_t fileGid;
    io_bufreq_t lfxBufRequest; // request entry of the buffer source
    velk_bufSource_t readCallback;
    velk_bufCallback_t writeCallback;
    void *writeCallbackArg; // handed to writeCallback
};

// One mover connection.  Sockets hold -1 when closed.
struct connection_info_t {
    int conInx; // index in the table
    int fileOpen;
    int localFD;
    int isactive;         // 1 while a transfer thread serves the entry (controlLock)
    velk_xfer_ctl_t *ctl; // back pointer to the transfer control
    pthread_t threadId;
    int controlSocket;
    quor_sockaddr_t remoteAddr;
    int listenSocket;
    initiator_ipaddr_t ipAddr;
    quor_sockaddr_t remoteTransferAddr;
    int transferSocket;
    quor_sockaddr_t localNetAddr;
    uint64_t fileOffset;
    io_bufreq_t ioRequest;
    double startTime;
    double stopTime;
    double overheadTime;
    double mvrProtocolTime;
    double waitNetTime;
    double waitFileTime;
};

// The buffer ring of a transfer: its I/O buffers and the queues they move
// through.  A buffer is on exactly one queue, or held by the one thread
// that took it off.  bufQueueLock guards the empty, ready and request
// queues; bufQueueCondition announces every change to them.
struct velk_buf_ring_t {
    int bufCount; // buffers made by velk_AllocateIoBuffers
    kyl_mutex_t bufQueueLock;
    int bufQueueLockCreated;
    kyl_cond_t bufQueueCondition;
    int bufQueueCondCreated;
    io_buffer_t *bufEmptyQueue KYL_GUARDED_BY(bufQueueLock);
    io_buffer_t *bufFillQueue;     // local file manager thread only
    io_buffer_t *bufFillQueueTail; // local file manager thread only
    io_buffer_t *bufReadyQueue KYL_GUARDED_BY(bufQueueLock);
    io_bufreq_t *requestQueue KYL_GUARDED_BY(bufQueueLock);
};

// The storage-system part of a transfer control: the mover connection
// table, the listening socket the movers connect to, and the list request
// in progress with the addresses it covers.
struct velk_xfer_movers_t {
    int connectListSize;
    connection_info_t *connectionList;
    int listenSockFD; // -1 when closed
    quor_sockaddr_t listenSockAddr;
    quor_reqid_t requestId;
    uint64_t requestedBytes;
    uint64_t bytesMoved;
    uint64_t currentSrcAddr;
    uint64_t currentFileAddr;
    uint64_t currentSrcOffset;
    uint64_t currentSinkOffset;
};

// The gateway-host part of a transfer control: the direction, the local
// side, and the data threads' state under controlLock.
struct velk_xfer_gwhost_t {
    int xferOperation; // IO_OPERATION
    lfx_file_info_t lfxFileInfo;
    int read_active;     // the data connection's reader runs
    int write_active;    // the local side's writer runs
    int transfer_result; // first failure of the data threads, else 0
};

// The control of one data transfer.  It is owned by whoever starts the
// transfer (an archive writer or reader of one kind, on behalf of the run),
// allocated zeroed, and handed explicitly to every thread and routine of
// the transfer; no global points at it.  controlLock guards the abort
// count, the active flag and the recovery flag; localFileCond (with
// controlLock) announces the end of a recovery.
struct velk_xfer_ctl_t {
    int archive_fd;
    double startTime; // velk_GetTimestamp seconds
    double stopTime;
    uint64_t srcOffset;
    uint64_t sinkOffset;
    uint64_t transferLength;
    uint64_t totalBytesMoved;
    // When the progress line was last drawn for this transfer; used by one
    // thread at a time (a gateway-host write's buffer source).
    struct timespec progressShownAt;
    // The state of the writer or reader that runs this transfer, for its own
    // threads (null when it keeps none there); set before they start.
    void *owner;
    // The index a create's members come from (the run's, its temporary
    // index open), for the local file manager, which has only the control;
    // set before the threads start, null for a read.
    velk_index_t *index;
    // The reader pool that fills the ring for an archive write (owned by
    // the writer, velk_ReaderPool.h), or null; set before the transfer's
    // threads start.
    velk_reader_pool_t *pool;
    // The run's settings for the transfer's threads, copied in by the
    // writer before they start.
    velk_xfer_settings_t settings;
    // Recoveries from failed requests the transfer completed; changed only
    // by the thread that runs a recovery (the writer's or reader's calling
    // thread), read by it once the transfer ended.
    int recoveries;
    kyl_mutex_t controlLock;
    int ctlMutexCreated;
    kyl_cond_t localFileCond;
    int localFileCondCreated;
    int transfer_active KYL_GUARDED_BY(controlLock); // 1 while the transfer runs
    int errorResyncFlag KYL_GUARDED_BY(controlLock); // a recovery is in progress
    int abortSignalled KYL_GUARDED_BY(controlLock);  // abort count; non-zero: aborted
    velk_buf_ring_t ring;
    velk_xfer_movers_t movers; // storage-system transfers
    velk_xfer_gwhost_t gwhost; // gateway-host transfers
};

// ---------------------------------------------------------------------------
// Buffers and queues.
// ---------------------------------------------------------------------------

// Creates ring->bufCount = 2 * velk_archive_stripewidth buffers of
// xs->iobufsize bytes, of shared memory when xs->sharedBuffers asks for it,
// else local, with velk_InitRwBuf and chains them, in allocation order, onto the empty queue.
// Returns 0, or -1 after logging; buffers made before a failure stay on the
// empty queue for velk_CleanupIoBuffers.  Call before the transfer's
// threads start.
[[nodiscard]] int velk_AllocateIoBuffers(velk_buf_ring_t *ring, const velk_xfer_settings_t *xs);

// Makes theBuf (zeroed, or cleaned) ready: bufSize of size bytes rounded
// up to whole 512-byte blocks, storage of memType, state
// IOB_STATE_READING, bufLock and bufCond created.  Returns 0, or -1 after
// logging (only local memory can be allocated); whatever was created is
// recorded in bufFlags for velk_CleanIoBuf.
[[nodiscard]] int velk_InitRwBuf(io_buffer_t *theBuf, int memType, int size);

// Destroys the buffer's condition and lock (those that exist) and frees its
// storage; the record itself stays with the caller.  Returns 0, or -1 for
// storage of a memory type that cannot be freed.
int velk_CleanIoBuf(io_buffer_t *theBuf);

// Cleans and frees every buffer on the empty and ready queues and unlinks
// the request queue (its entries belong to connection entries), all under
// bufQueueLock.  A null ring does nothing.
void velk_CleanupIoBuffers(velk_buf_ring_t *ring);

// Under bufQueueLock: appends the ready queue and then the fill queue, each
// in its order, to the tail of the empty queue, empties both, and resets
// every buffer's bufFlags bits 0x4 and 0x80000000 and its block, ioCount and
// data counters.  Used by error recovery.
void velk_MoveBuffersToEmptyQueue(velk_buf_ring_t *ring);

// Takes the head of the empty queue (null when empty).  Caller holds
// bufQueueLock.
io_buffer_t *velk_TakeEmptyBuffer(velk_buf_ring_t *ring) KYL_REQUIRES(ring->bufQueueLock);

// Puts theBuf at the head of the empty queue.  Caller holds bufQueueLock
// and broadcasts bufQueueCondition afterwards.
void velk_ReturnEmptyBuffer(velk_buf_ring_t *ring, io_buffer_t *theBuf) KYL_REQUIRES(ring->bufQueueLock);

// Inserts theBuf into the ready queue before the first buffer whose
// fileOffset is equal or greater, keeping ascending fileOffset order.
// Caller holds bufQueueLock and broadcasts bufQueueCondition afterwards.
void velk_InsertReadyBuffer(velk_buf_ring_t *ring, io_buffer_t *theBuf) KYL_REQUIRES(ring->bufQueueLock);

// ---------------------------------------------------------------------------
// Locks, requests and threads.
// ---------------------------------------------------------------------------

// Creates the control's localFileCond and controlLock and the ring's
// bufQueueLock and bufQueueCondition, setting each created-flag in turn.
// Returns 0, or -1 after logging with exit status 71; what was created is
// left for velk_FreeXferLocks.
[[nodiscard]] int velk_InitXferLocks(velk_xfer_ctl_t *theCtl);

// Destroys exactly the locks and conditions whose created-flags are set and
// clears the flags.  No thread of the transfer may still use them.
void velk_FreeXferLocks(velk_xfer_ctl_t *theCtl);

// Zeroes reqEntry and creates its lock and condition.  Returns 0, or -1
// after logging with exit status 78; what was created is left for
// velk_FreeConReqEntry.
[[nodiscard]] int velk_InitConReqEntry(io_bufreq_t *reqEntry);

// Destroys the lock and condition of reqEntry that exist.
void velk_FreeConReqEntry(io_bufreq_t *reqEntry);

// Signals the request condition of each of the first connectCount entries
// (under its reqLock), waking a transfer thread waiting there.
void velk_ReqQueueSignalAll(connection_info_t *connectionList, int connectCount);

// Waits until no mover connection entry of theCtl is active, waking each
// active entry's thread through its request condition every 20 ms.  Takes
// controlLock; call without it.
void velk_ShutdownTransferThreads(velk_xfer_ctl_t *theCtl);

// Waits like velk_ShutdownTransferThreads without signalling; when the
// transfer is aborted it first shuts down each active entry's sockets once
// so that a thread blocked on one returns (the thread closes them).
void velk_CleanupTransferThreads(velk_xfer_ctl_t *theCtl);

// ---------------------------------------------------------------------------
// Stopping.
// ---------------------------------------------------------------------------

// Why a transfer must stop, in order of precedence: an abort is reported
// before the end of the transfer, and both before a shutdown.
enum velk_xfer_stop_t {
    VELK_XFER_GO_ON = 0,    // nothing asks the transfer to stop
    VELK_XFER_ABORTED = 1,  // the transfer was aborted (its abort count is not 0)
    VELK_XFER_ENDED = 2,    // its owner marked it no longer active
    VELK_XFER_SHUTDOWN = 3, // a forced shutdown was signalled for the run
};

// The one stop check of a transfer, asked by every wait and loop of its
// threads: why ctl must stop, or VELK_XFER_GO_ON.  A recovery in progress
// is no stop (see velk_XferRecovering).  Reads the abort count and the
// active flag under controlLock (without it before the lock exists, when
// the control has a single user) and velk_shutdown_signalled.  A null ctl
// stops only for a shutdown.  Any thread; call without controlLock.
int velk_XferStopReason(velk_xfer_ctl_t *ctl);

// velk_XferStopReason for a caller that holds controlLock.
int velk_XferStopReasonLocked(velk_xfer_ctl_t *ctl) KYL_REQUIRES(ctl->controlLock);

// velk_XferStopReason(ctl) != VELK_XFER_GO_ON.
bool velk_XferShouldStop(velk_xfer_ctl_t *ctl);

// Seconds a storage-system reader or writer waits for a mover's next
// message, data or data request before it gives the mover up:
// VELK_MOVER_TIMEOUT from the environment when it holds a number from 1 to
// 3600, else 60.
int velk_MoverWaitSeconds();

// Whether a recovery of ctl is in progress (errorResyncFlag, under
// controlLock).  Threads serving movers give up their connection quietly
// then; the recovery ends with the flag cleared or the transfer aborted.
bool velk_XferRecovering(velk_xfer_ctl_t *ctl);

// The abort count of ctl, read under controlLock; 0 for a null ctl or one
// whose lock was never made.
int velk_GetXferAborted(velk_xfer_ctl_t *ctl);

// Aborts ctl (when it is not null and its lock exists): increments its
// abort count under controlLock and logs the caller (function, unit name
// file, line).  An abort is never undone.
void velk_SetXferAborted(velk_xfer_ctl_t *ctl, const char *function, const char *file, int line);

// The current time in seconds, with microsecond resolution.
double velk_GetTimestamp();

// The point ms milliseconds from now on CLOCK_REALTIME, the clock of the
// transfer's condition variables (for pthread_cond_timedwait).
struct timespec velk_DeadlineIn(long ms);
// Sleeps ms milliseconds (a signal does not cut the sleep short).
void velk_SleepMs(long ms);
// v in decimal in buf (size bytes), for messages that take it as "%s";
// returns buf.
const char *velk_U64Text(uint64_t v, char *buf, size_t size);

#endif
