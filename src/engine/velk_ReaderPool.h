#ifndef VELK_READERPOOL_H
#define VELK_READERPOOL_H

// The local file reader pool of an archive write: reader (LFW) threads, each
// handed a piece of the archive's byte stream by the local file manager
// (velk_LocalFileMgr.h): one member's header and/or the next blocks of its
// data, written into buffer B at block position P.  The manager moves a
// buffer whose blocks are all filled (or that ends the archive) to the ready
// queue for the archive writer and records each member's outcome and CRC.
//
// The pool is one velk_reader_pool_t, owned by the writer that starts it
// and reached by the manager and the readers through the transfer control's
// pool pointer and each table entry's.
//
// Locks and their order: a pool's lock guards its fields; a reader entry's
// threadMutex guards its threadState (and hands its task over, see
// lfw_ctl_t).  The pool's lock is taken before a threadMutex.  Neither is
// held while the pool takes bufQueueLock, controlLock or a request's
// reqLock, so a writer may call velk_LfwSignalCondition while it holds
// bufQueueLock.

#include <cstdint>
#include <pthread.h>
#include <sys/stat.h>

#include "kyl_mutex.h"
#include "velk_FileSpec.h"
#include "velk_IndexFormat.h"
#include "velk_MemberFile.h"
#include "velk_Xfer.h"

// States of a reader thread entry.
enum LFW_STATES {
    LFW_WAITING = 0,      // free
    LFW_ASSIGNED = 1,     // holds a member, no request running
    LFW_ACTIVE = 2,       // request running
    LFW_CMD_COMPLETE = 3, // request finished, not yet taken by the manager
};

// Requests to a reader thread.
enum LFW_TASKS {
    LFW_QUIT = 1,       // end the thread
    LFW_IDLE = 2,       // nothing to do yet
    LFW_GO_IDLE = 3,    // close the member file, if one is open
    LFW_TAR_HDR = 4,    // header block of a directory or symbolic link
    LFW_ZERO_BLK = 5,   // the zero block after the last member
    LFW_READ_FILE = 6,  // open, header, all remaining data, close
    LFW_READ_FIRST = 7, // open, header, first data; keep the file open
    LFW_READ_CONT = 8,  // more data of the open file
    LFW_READ_LAST = 9,  // the last data of the open file; close it
};

typedef uint32_t crc32_t;

// One member's work as handed to a reader.  The manager writes the task
// while the entry is LFW_WAITING or LFW_ASSIGNED; the reader uses it while
// the entry is LFW_ACTIVE (or LFW_ASSIGNED with a request other than
// LFW_IDLE); each hand-over changes threadState under threadMutex, which
// orders the two sides' accesses.
struct lfw_task_t {
    int request;                       // LFW_TASKS
    long indexEntryNumber;             // ordinal of the member's index entry
    crc32_t fileCRC;                   // running CRC-32 of the member's data
    hif_entry_t inxEntry;              // copy of the member's index entry
    const velk_FileSpec_t *record;     // the member table record it was made from, or null
    char localFile[VELK_PATH_BUFSIZE]; // member path, set when the file is opened
    int totalBlocks;                   // header block plus data blocks
    int64_t blocksToSkip;              // blocks already in the archive (resumed member), else 0
    int blocksAssigned;                // blocks handed out so far, skipped ones included
    int reqBlocks;                     // blocks in the current request
    io_buffer_t *reqBuffer;            // buffer of the current request
    int reqOffset;                     // byte offset in reqBuffer where the request starts
    int eofHit;                        // the rest of the member is zero-filled
    int readError;
    int fileNotOpened;   // the member file could not be opened
    int fileSizeChanged; // the file's size differs from the entry's
    int fileChanged;     // not the listed file, or changed while copied (reported)
    int bufOffset;       // write cursor in reqBuffer during the request
    int response;        // 0, or negative when the request failed
    int rplyBlocks;      // blocks the request put into the buffer
    // LFW_READ_FILE only: a file whose data are not all in memory is not
    // read; the request ends with notResident set and nothing written.
    int residentOnly;
    int notResident;
};

struct lfw_ctl_t;

// The reader pool of one archive write.  Its owner (the writer) declares it
// default-initialised, so that its lock and condition are usable at once,
// and keeps it until the pool is shut down and no thread of the transfer
// can signal it any more.
struct velk_reader_pool_t {
    // Guards the fields below and every entry's next and goIdleSent.
    kyl_mutex_t lock;
    // Announces a reader's completion (and, from the writer side, a
    // returned buffer or the end of the transfer).  Used with lock.
    kyl_cond_t condition;
    lfw_ctl_t *table KYL_GUARDED_BY(lock) = nullptr; // tableSize entries
    int tableSize KYL_GUARDED_BY(lock) = 0;
    int activeThreads KYL_GUARDED_BY(lock) = 0;               // entries not LFW_WAITING
    lfw_ctl_t *completedTasks KYL_GUARDED_BY(lock) = nullptr; // newest first
    int completionCount KYL_GUARDED_BY(lock) = 0;             // length of that list
    int threadHighWater KYL_GUARDED_BY(lock) = 0;             // highest table index ever assigned
};

// One reader thread's entry in its pool's table.
struct lfw_ctl_t {
    velk_reader_pool_t *pool;                   // the pool, set before the thread starts
    lfw_ctl_t *next KYL_GUARDED_BY(pool->lock); // link in the completed-task list
    pthread_t threadID;
    int tableInx;                                // index in the table
    velk_xfer_ctl_t *xfer;                       // the transfer the pool serves, set before the thread starts
    int threadState KYL_GUARDED_BY(threadMutex); // LFW_STATES
    lfw_task_t task;
    kyl_mutex_t threadMutex;
    kyl_cond_t threadCond;                     // wakes the reader
    int mutexCreated;                          // threadMutex exists
    int condCreated;                           // threadCond exists
    int threadStarted;                         // the thread was created and not yet joined
    int goIdleSent KYL_GUARDED_BY(pool->lock); // quiescing sent LFW_GO_IDLE
};

// Creates pool's table of ctl->settings.maxThreads entries (each with its mutex and
// condition, the pool, and ctl, the transfer control of the writer that
// starts the pool, whose stop check the readers ask), points ctl->pool at
// pool and starts a reader thread on each entry, with stack size
// ctl->settings.threadStacksize.  A table left in pool from an earlier transfer is
// shut down first.  Returns 0, or -1 after logging (exit status 71 for a
// mutex or condition); threads already started stay for
// velk_ShutdownThreadPool.  Initial thread, before the manager starts.
// Takes pool->lock.
[[nodiscard]] int velk_InitThreadPool(velk_reader_pool_t *pool, velk_xfer_ctl_t *ctl) KYL_EXCLUDES(pool->lock);

// Ends pool: every reader still running gets LFW_QUIT (one in the middle
// of a request first finishes it) and is joined; the table, its mutexes and
// conditions are released and the counts reset (the high-water mark stays
// for the writer to read).  Call after the manager has ended (or when it
// never started).  Safe with a pool that has no table.  Takes pool->lock.
void velk_ShutdownThreadPool(velk_reader_pool_t *pool) KYL_EXCLUDES(pool->lock);

// Thread entry of a reader; threadParam is its lfw_ctl_t.  Returns null.
void *velk_LFW_Thread(void *threadParam);

// What a reader keeps between the requests of one member: the open member
// file, the data bytes placed so far, the file's status at its open, and
// the directory of the last member opened.
struct velk_lfw_files_t {
    int localFd;
    uint64_t totalXferred;
    struct stat opened;
    velk_member_dir_t dirs;
};
void velk_LfwFilesInit(velk_lfw_files_t *files);
void velk_LfwFilesClose(velk_lfw_files_t *files);

// Serves one request (LFW_TASKS other than LFW_QUIT and LFW_IDLE) of
// me->task with files: the reader threads' work, also done by the manager
// itself for a small member whose data are in memory.  Sets the task's
// response and rplyBlocks.  Takes no pool lock.
void velk_LfwServe(lfw_ctl_t *me, int request, velk_lfw_files_t *files);

// Builds the ustar header of the task's entry at bufOffset of reqBuffer
// (name "/dev/null" and an empty prefix when the file was not opened) and
// advances rplyBlocks and bufOffset.  Returns 0, or -1 when the request has
// no room left for the block.  Reader thread.
int lfw_CreateTarHeader(lfw_ctl_t *theThread);

// Fills the rest of the current request with the member's data from
// localFd: at most inxFsize - *totalXferred bytes are read (a file that grew
// is cut), a file that ends early or was not opened is zero-filled, the
// rest of the request is zero padding.  The data (zero fill included) goes
// into fileCRC with -H crc.  *totalXferred counts the member's data bytes
// placed so far.  Waits for data with poll(), giving up when the stop check
// of the pool's transfer (velk_XferShouldStop) says so.  Returns 0, or -1 (read error
// logged with readError set, or the transfer stopped).  Reader thread.
int lfw_ReadLocalFile(int localFd, const char *fileName, lfw_ctl_t *theThread, uint64_t inxFsize,
                      uint64_t *totalXferred);

// Signal or broadcast pool's condition under its lock; nothing when pool
// is null (a transfer without a reader pool, or one not started yet).  The
// writer signals after returning a buffer to the empty queue and
// broadcasts when the transfer ends.  Any thread; callable while holding
// bufQueueLock.
void velk_LfwSignalCondition(velk_reader_pool_t *pool) KYL_EXCLUDES(pool->lock);
void velk_LfwBroadcastCondition(velk_reader_pool_t *pool) KYL_EXCLUDES(pool->lock);

// The highest table index ever assigned a member in pool; threads used =
// this + 1.
int velk_LfwThreadHighWater(velk_reader_pool_t *pool) KYL_EXCLUDES(pool->lock);

// The longest wait, in milliseconds, on a pool's condition for a reader's
// completion before the waiter looks at the pool again.
constexpr long VELK_LFW_COMPLETION_WAIT_MS = 10;

#endif
