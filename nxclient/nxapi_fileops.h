#ifndef NXAPI_FILEOPS_H
#define NXAPI_FILEOPS_H

// Internal interface of the client's remote file operations, shared by the
// units that implement them (nxapi_file.cpp, nxapi_dir.cpp,
// nxapi_names.cpp, nxapi_acct.cpp, nxapi_cos.cpp, nxapi_uda.cpp,
// nxapi_lfxops.cpp) and by the transfer units: the client open-file table
// and the one-request-one-reply exchange every operation uses.
//
// Lock order: nxapi_FileLock, then an entry's fileLock; neither is held
// while a message is sent or received.
//
// Results: 0 (or the count or descriptor a contract names) or a negative
// gateway code: a negated errno value or a named KYLGW_E_*/NXAPI_E_* code
// of kylgw_errors.h.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "kyl_mutex.h"
#include "kyl_xdr.h"
#include "kylgw_xdr_fs.h"
#include "nxapi_private.h"
#include "quor_sockaddr.h"

// Size of the client open-file table; a client descriptor is an index.
constexpr int NXAPI_MAX_OPEN_FILES = 250;

enum NXAPI_FILESTATE { NXFILE_IDLE = 0, NXFILE_BUSY = 1 };
// Entry states; an entry is "opening" while its open request is out.
enum { NXAPI_FILE_FREE = 0, NXAPI_FILE_OPEN = 1, NXAPI_FILE_OPENING = 2 };

// xopenFlags bit: the file was opened with quor_OpenX (gateway data stream).
constexpr uint32_t NXAPI_XOPEN_GATEWAY_STREAM = 0x1u;

// Guards the state field of every table entry (taking and freeing entries).
extern kyl_mutex_t nxapi_FileLock; // defined in nxapi_conn.cpp

// One entry of the open-file table.  state is guarded by nxapi_FileLock;
// the fields set at open (connection, quorFiledes, xopenFlags, xioFlags,
// the data stream's address) are written by the opening thread before the
// entry is visible as usable and read-only until close; activeFlag,
// lockingThread and the transfer fields are guarded by fileLock.
struct nxapi_file_t {
    int state KYL_GUARDED_BY(nxapi_FileLock) = NXAPI_FILE_FREE;
    uint32_t xopenFlags = 0;
    uint32_t xioFlags = 0;
    int activeFlag KYL_GUARDED_BY(fileLock) = NXFILE_IDLE;
    int fileLockCreated = 0;
    kyl_mutex_t fileLock; // the busy flag and the transfer fields
    nxapi_tcontext_t *lockingThread KYL_GUARDED_BY(fileLock) = nullptr;
    quor_connection_t *connection = nullptr;
    int quorFiledes = -1;
    int sockFiledes = -1;
    int dataPort = 0;
    quor_sockaddr_t dataAddr = {};
    int xio_in_progress KYL_GUARDED_BY(fileLock) = 0;
    uint64_t xio_requested KYL_GUARDED_BY(fileLock) = 0;
    uint64_t xio_remaining KYL_GUARDED_BY(fileLock) = 0;
    uint32_t xio_requestID KYL_GUARDED_BY(fileLock) = 0; // request id of the stream request in flight
    kyl_uuid_t requestID KYL_GUARDED_BY(fileLock) = {};
    quor_sockaddr_t listenSock KYL_GUARDED_BY(fileLock) = {};
    int listenFd KYL_GUARDED_BY(fileLock) = -1;
    volatile int lthreadActive = 0;
    volatile int transferActive = 0;
    volatile int aborted = 0;
    void *volatile userBuffer = nullptr;
    volatile int iodCompleted = 0;
    volatile uint64_t iorBytesXferred = 0;
    volatile uint64_t bytesToXfer = 0;
};

// The table itself (trivially destructible: usable until the process ends).
extern nxapi_file_t nxapi_FileTable[NXAPI_MAX_OPEN_FILES];

// Marks open entry fd busy for the calling thread.  Returns 0 with *entry
// set, or -ENOENT when fd is out of range, free, or already busy.  Takes
// nxapi_FileLock, then the entry's fileLock.
[[nodiscard]] int nxapi_FileMarkBusy(int fd, nxapi_tcontext_t *tcontext, nxapi_file_t **entry);
// Marks a busy entry idle again.  Takes the entry's fileLock.
void nxapi_FileMarkIdle(nxapi_file_t *entry);
// The server descriptor of open entry fd: 0 with *serverFd set, or
// notOpen when fd is out of range or free.  Takes nxapi_FileLock.
[[nodiscard]] int nxapi_FileServerDes(int fd, int notOpen, int *serverFd);

// One call of the gateway data stream on busy entry f, opened with
// quor_OpenX (see quor_ReadX/quor_WriteX): with bit 31 of xioFlags the
// ReadX (write false) or WriteX request for length bytes is sent and 0
// returned; otherwise up to length bytes move over the data socket.
// Requires the caller to have marked f busy.
[[nodiscard]] ssize_t nxapi_StreamCall(nxapi_tcontext_t *tcontext, nxapi_file_t *f, bool write, uint32_t xioFlags,
                                       void *buffer, uint64_t length, int *done);

// Copies a path argument into a request field of size bytes: 0, -EFAULT
// (null), -ENOENT (empty) or -ENAMETOOLONG (longer than size-1).
[[nodiscard]] int nxapi_CopyPathArg(char *field, size_t size, const char *path);

// Copies a directory name from a reply field of fieldSize bytes into the
// caller's buf of size bytes.  0, or -ERANGE when it does not fit.
[[nodiscard]] int nxapi_CopyReplyDir(const char *field, size_t fieldSize, char *buf, int size);

// One request and its reply on the calling thread's context: sends body
// req (may be null) on category cat and function fn, then receives the
// reply, decoding its body (if any) into rply, which must be zeroed by the
// caller; what the decode allocated is the caller's.  Returns 0 with
// *errorcode set to the reply header's result, or the send or receive
// failure.
[[nodiscard]] int nxapi_Exchange(nxapi_tcontext_t *tcontext, uint16_t cat, uint16_t fn, void *req,
                                 kyl_xdrproc_t reqCodec, void *rply, kyl_xdrproc_t rplyCodec, int32_t *errorcode);

// The start of every operation on a path: nxapi_init, then the path
// argument copied into a request field of size bytes (nxapi_CopyPathArg).
// 0 with *tcontext set, or the init or path-argument failure.
[[nodiscard]] int nxapi_StartPathCall(nxapi_tcontext_t **tcontext, char *field, size_t size, const char *path);

// A whole operation on one path whose reply has no body: nxapi_StartPathCall
// into req's path field (of size bytes), then nxapi_Exchange of req.
// Returns the init, path-argument or exchange failure, else the reply
// header's result.
[[nodiscard]] int nxapi_PathCall(uint16_t cat, uint16_t fn, char *field, size_t size, const char *path, void *req,
                                 kyl_xdrproc_t reqCodec);

// A working-directory query: nxapi_init, the caller's buffer checked
// (-EFAULT when buf is null or size is not positive), the exchange
// decoding into rply (zeroed by the caller), then the directory name
// copied from rply's field of fieldSize bytes into buf (nxapi_CopyReplyDir).
// Returns the init or exchange failure, the reply header's non-zero result,
// or the copy's result.
[[nodiscard]] int nxapi_GetcwdCall(uint16_t cat, uint16_t fn, void *rply, kyl_xdrproc_t rplyCodec, const char *field,
                                   size_t fieldSize, char *buf, int size);

// The common shape of most operations: nxapi_init, then nxapi_Exchange;
// returns the init or exchange failure, else the reply header's result.
[[nodiscard]] int nxapi_SimpleCall(uint16_t cat, uint16_t fn, void *req, kyl_xdrproc_t reqCodec, void *rply,
                                   kyl_xdrproc_t rplyCodec);

#endif
