#ifndef QUOR_API_H
#define QUOR_API_H

// Public interface of the gateway client library used by the archiver: the
// site information record, the password entry, the session-level calls the
// run sequence makes, and the thread utilities the transfer engine and the
// status thread use.
//
// Results: every call returns 0 (or the count, descriptor or offset its
// contract names) on success and a negative gateway code on failure: a
// negated errno value (-ENOENT, -EACCES, ...) or a named KYLGW_E_* or
// NXAPI_E_* code of kylgw_errors.h.  The thread utilities, which wrap
// pthread calls, say their own convention.

#include <pthread.h>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include <sys/types.h>

#include "kylgw_attrs.h"
#include "kylgw_errors.h"
#include "kylgw_mvrio.h"
#include "kylgw_msg.h"
#include "kylgw_xdr_fs.h"
#include "kylgw_xdr_lfx.h"
#include "kylgw_xdr_xfer.h"
#include "kyl_mutex.h"
#include <atomic>
#include <utility>
#include <vector>

// A user's password entry as the gateway reports it.
struct quor_passwd_t {
    char pw_name[257];
    char pw_passwd[257];
    uint32_t pw_uid;
    uint32_t pw_gid;
    char pw_gecos[257];
    char pw_dir[1025];
    char pw_shell[257];
};

// Session-level operations.  Each opens the gateway session on first use
// and returns 0 or a negative gateway code.

// Opens the gateway log of this session under the subsystem name.
[[nodiscard]] int quor_Openlog(uint32_t flags, const char *subsys);
// Appends one text to the gateway log with the given priority (class).
int quor_Logmsg(uint32_t flags, uint32_t priority, const char *msgtext);
// Closes the gateway log of this session.
int quor_Closelog(uint32_t flags);
// Copies the current connection's site information: 0, -EFAULT for a null
// info or -ENOENT without a current connection.
[[nodiscard]] int quorex_GetSiteInfo(quor_site_info_t *info);
// Copies the address of the current connection's gateway (the admitted
// peer of mover connections besides loopback): 0, -EFAULT for a null addr
// or -ENOENT without a current connection.
[[nodiscard]] int quorex_GetGatewayAddress(quor_sockaddr_t *addr);
// Remote file operations.  Each opens the session on first use (its failure
// is returned), then sends one request and returns the reply's result.  A
// null path or output pointer gives -EFAULT, an empty path -ENOENT, a path
// longer than 1024 bytes -ENAMETOOLONG.  Open modes are POSIX modes.

// Opens path (oflag: local O_* bits, translated to the wire) with optional
// class-of-service hints and priorities (null: all zero); hintsOut (may be
// null) receives the hints the server used.  Returns the client descriptor
// (0..249), -EMFILE when 250 files are open, or the server's negative code;
// a failed open leaves the table as it was.
[[nodiscard]] int quor_Open(const char *path, int oflag, mode_t mode, const quor_cos_hints_t *hintsIn,
                            const quor_cos_priorities_t *hintsPri, quor_cos_hints_t *hintsOut);
// Like quor_Open for a file whose data flows through the gateway's data
// stream: connects the data socket the reply names (the control
// connection's address when the reply's is unspecified) and reads its
// control byte; failing that, the file is closed and -errno of the data
// connection returned (-ECONNRESET when it ends before the control byte).
[[nodiscard]] int quor_OpenX(uint32_t xioFlags, const char *path, int oflag, mode_t mode,
                             const quor_cos_hints_t *hintsIn, const quor_cos_priorities_t *hintsPri,
                             quor_cos_hints_t *hintsOut);
// Closes client descriptor fd: -EBADF when out of range or free; otherwise the
// entry is freed (and a data stream socket closed) before the reply, whose
// result is returned.
int quor_Close(int fd);
// Moves the file position; the server's new offset, or negative.  A file
// that is busy (another position or data operation running) gives -ENOENT.
[[nodiscard]] int64_t quor_Lseek(int fd, int64_t offset, int whence);
// Moves the position by offset forward (direction 0) or backward (1) from
// whence; -EINVAL for another direction, -EFAULT without offsetOut, -ENOENT
// when the file is busy; on 0 *offsetOut holds the new position.
[[nodiscard]] int quor_SetFileOffset(int fd, uint64_t offset, int whence, int direction, uint64_t *offsetOut);
// Status of an open file (-EBADF for a descriptor that is not open).
[[nodiscard]] int quor_Fstat(int fd, quor_stat_t *st);
// Reserves length bytes for an open file (-EBADF for a descriptor not open).
int quor_Fpreallocate(int fd, uint64_t length);

// Status of path, following (Stat) or not following (Lstat) a final link.
[[nodiscard]] int quor_Stat(const char *path, quor_stat_t *st);
[[nodiscard]] int quor_Lstat(const char *path, quor_stat_t *st);
int quor_Rename(const char *oldPath, const char *newPath);
int quor_Unlink(const char *path);
[[nodiscard]] int quor_GetListAttrs(const char *path, quor_Attrs_t *attrs);
[[nodiscard]] int quor_FileGetAttributes(const char *path, quor_fileattr_t *attr);
// Extended attributes; release the volume lists of *xattr with
// quor_FreeXAttributes.
[[nodiscard]] int quor_FileGetXAttributes(const char *path, uint32_t flags, uint32_t storageLevel,
                                          quor_xfileattr_t *xattr);
void quor_FreeXAttributes(quor_xfileattr_t *xattr);
// Sets the attributes selected in selFlags (QUOR_ATTRSEL_*) from attrIn;
// attrOut (may be null) receives the attributes afterwards.
int quor_FileSetAttributes(const char *path, uint64_t selFlags, const quor_fileattr_t *attrIn,
                           quor_fileattr_t *attrOut);
// Fills in the ids of count (1..1024, else -EINVAL) name entries in place.
// A reply with another count is refused with KYLGW_E_BADMSG.
int quor_ConvertNamesToIds(int count, api_namespec_t *nameList);
// Copies the session's working directory into buf (size bytes): 0, or
// -ERANGE when it does not fit.
[[nodiscard]] int quor_Getcwd(char *buf, int size);
// Identifier of a list request to the storage system.
typedef kyl_uuid_t quor_reqid_t;
// A fresh request id from the server; all zero on any failure.
quor_reqid_t quor_GetUniqueRequestID();
// The wire open flags (QUOR_OFLAG_*) of local O_* flags.
uint32_t nxapi_ConvertOpenFlags(int oflag);

// Directories.  Opendir returns the server's directory descriptor.
int quor_Mkdir(const char *path, mode_t mode);
[[nodiscard]] int quor_Opendir(const char *path);
// Reads up to count (1..1024) entries from offset into entries (room for
// count); *end is set at the end of the directory and *offsetOut to where
// reading continues.  Returns the number of entries, or a negative gateway
// code.  A reply with more entries than asked for breaks the connection and
// gives KYLGW_E_BADMSG.
[[nodiscard]] int quor_ReadAttrs(int dirfd, uint64_t offset, uint32_t count, uint32_t getAttributes, uint32_t *end,
                                 uint64_t *offsetOut, ns_DirEntry_t *entries);
int quor_Closedir(int dirfd);

// Accounts, users and the session umask.
[[nodiscard]] int quor_SetAcct(uint32_t account);
// name: at most 128 characters (-ENAMETOOLONG).
[[nodiscard]] int quor_SetAcctByName(const char *name);
[[nodiscard]] int quor_GetAcct(uint32_t *defaultAcct, uint32_t *currentAcct);
// The code of account name at site (realm id, 0: the local site).
[[nodiscard]] int quor_AcctNameToCode(const char *name, uint32_t site, uint32_t *code);
// Reads the password entry of name ("" for the session's own user).
[[nodiscard]] int quor_GetPwent(const char *name, quor_passwd_t *pw);
// Sets the session umask; returns the previous mask, 0 on any failure.
int quor_Umask(int mask);
// Copies the home directory of a storage-system principal into buf: 0, or
// -ERANGE when it does not fit.
[[nodiscard]] int quor_LookupHomeDir(const char *principal, char *buf, int size);

// Hints and priorities to pass to quor_Open for a file of fileSize bytes;
// cosList (null or "" for any class) at most 1024 characters.
int quorex_SelectCOS(const char *cosList, uint64_t fileSize, uint32_t uid, uint32_t gid, uint32_t charge,
                     uint32_t copies, uint32_t subsysId, quor_cos_hints_t *hints, quor_cos_priorities_t *priorities);

// Sets the expiration attribute of path (cut to 1024 characters) to
// expireTime, seconds since the epoch.
int kylgw_UdaSetExpiration(const char *path, uint64_t expireTime);

// Files local to the gateway host (paths of at most 4096 characters).
// Copies the file-system gateway's working directory into buf (-ERANGE when
// it does not fit).
[[nodiscard]] int kylgw_LfxGetcwd(char *buf, int size);
[[nodiscard]] int kylgw_LfxStat(const char *path, lfx_Stat_rply_t *st);
int kylgw_LfxMkdir(const char *path, mode_t mode);
int kylgw_LfxUnlink(const char *path);

// Local-file transfers.  Sends a transfer request for initInfo (fd: a
// client descriptor, translated to the server's; negative is sent as it
// is) and receives its first reply into *initReply.  Returns 0, -EFAULT,
// -EBADF for a client descriptor that is not open, the exchange failure or
// the gateway's negative result.  On 0 the reply's inline data
// (initReply->fileData, fileSize bytes) is malloc'd and the caller's to
// free; its address list is dropped.  A transfer over a data connection
// (no inline flag) that started is completed by a second reply, which the
// same thread must take with kylgw_LfxGetXferReply before its next
// transfer request.
[[nodiscard]] int kylgw_LfxInit(int fd, const kyl_xfer_init_info_t *initInfo, kyl_xfer_init_reply_t *initReply);
// Receives the completion of the calling thread's last transfer request
// by that request's own id (replies of other requests, this thread's or
// others', may come in between).  Returns the completion's header result
// (0 or negative) with *complete filled (its xferStatus carries a negative
// header result when it had none of its own), -EINVAL when no completion
// is due, -EFAULT, or the receive failure.
[[nodiscard]] int kylgw_LfxGetXferReply(kyl_xfer_complete_t *complete);
// The calling thread will not take the completion of its last transfer
// request (its data side failed): the completion is read and dropped
// when it comes.
void kylgw_LfxForgetXferReply();
// Asks the gateway to close the data connections it keeps for this
// session.  0 or negative.
int kylgw_LfxCleanSockPool();
// Takes a listening socket for a data connection (any interface when
// anyAddress, SO_REUSEADDR when reuseAddress), bound within the site's
// restricted ports.  0 with *fd and *address set, or negative.
[[nodiscard]] int kylgw_SockGetListenSocket(int anyAddress, int reuseAddress, int *fd, quor_sockaddr_t *address);

// Authentication.  Method codes (bit values); COMBO, KEYTAB and PAM are
// built in, RECONNECT is used by the library after a retry-later answer.
constexpr int QUOR_AUTH_LOCAL = 0x2;
constexpr int QUOR_AUTH_KERBEROS = 0x8;
constexpr int QUOR_AUTH_COMBO = 0x10;
constexpr int QUOR_AUTH_MUNGE = 0x20;
constexpr int QUOR_AUTH_KEYTAB = 0x40;
constexpr int QUOR_AUTH_IDENT = 0x80;
constexpr int QUOR_AUTH_GSI = 0x100;
constexpr int QUOR_AUTH_PAM = 0x200;
constexpr int QUOR_AUTH_RECONNECT = 0x8000;

// The built-in methods (0x250) and the ciphers offered (AES only, 2).
uint32_t quorex_GetAuthMethods();
uint32_t quorex_GetCipherTypes();
// Writes the names of the bits set in mask, each followed by a blank, in the
// order COMBO GSI IDENT KERBEROS MUNGE KEYTAB LOCAL PAM (ciphers: GARBLE AES
// BLOWFISH 3DES) into buf.  Returns the length, -EFAULT for a null buf or
// -ENAMETOOLONG when buf is too small.
int quorex_AuthTypesToString(uint32_t mask, char *buf, size_t size);
int quorex_CipherTypesToString(uint32_t mask, char *buf, size_t size);
// Makes the method list the single method code (16, 64, 512 or 32768) and
// marks the list as set by the program.  0 or -EINVAL.  Takes auth_lock.
int quor_SetAuthType(int code);
// The method being tried (or to be tried first); *count (may be null)
// receives the list's length.  Takes auth_lock.
int quor_GetAuthType(int *count);
// Builds the method list from the built-in codes among codes, warning (as a
// message) about unknown codes and about known ones that are not built in;
// marks the list as set.  0, or -EINVAL for a negative count or null codes.
int quor_SetAuthMethodList(int count, const int *codes);
// Replaces the combo user name and/or password (null leaves one as it is).
// The password is kept until its first use and then wiped.  0 or -ENOMEM.
int quor_SetCombo(const char *user, const char *password);
// Sets the keytab file (validated: an empty path gives -ENOENT, an
// unreadable one -errno, not a regular file -EBADF, group or other
// permissions -EPERM with its message) and its key version; a user name
// also becomes the combo user.  0 or one of those codes.
int quor_SetKeytabInfo(const char *user, const char *path, int keyVersion);

// Messages.  Whatever the library has to tell a person (warnings, errors,
// terminal prompts, diagnostic lines meant for stderr) goes to one sink, one
// text at a time: text points to len bytes followed by a NUL.  By default
// each text is written to stderr as it is.  A sink may be called from
// several threads at once and must not call back into the library.
typedef void (*quor_msgsink_t)(const char *text, size_t len, void *arg);
// Sends the library's messages to sink with arg (null: back to stderr).
void quor_SetMessageSink(quor_msgsink_t sink, void *arg);

// Stopping.  Every wait of the library for a gateway reply asks
// stopped(arg) several times a second and ends with -ECANCELED once it
// returns non-zero (the reply is dropped when it comes); a wait that begins
// after that (a stopped run's clean-up) gets a few seconds at most.  Set
// before the first request; null removes the hook.
void quor_SetStopHook(int (*stopped)(void *arg), void *arg);

// List transfers.  The IOD names one client file address (a client
// descriptor and offset; type 11) and the client's network address (type
// 1): as the source of a read, the sink of a write.  The call sends flags
// and the IOD (the client descriptor replaced by the server's for the
// message) on the file's connection and waits for the I/O reply, which is
// copied to *ior whatever the result (release its lists with
// free_quor_ior_mem).  Returns the reply's result, a validation failure,
// -EFAULT for a null iod or ior, or the exchange failure.
struct quor_connection_t;
[[nodiscard]] int quor_ReadList(quor_IOD_t *iod, uint32_t flags, quor_IOR_t *ior);
[[nodiscard]] int quor_WriteList(quor_IOD_t *iod, uint32_t flags, quor_IOR_t *ior);
// Checks an IOD: Function 1 or 2, both lists present and non-empty
// (-EINVAL), no list shorter than its count (-ERANGE), address types 1, 9,
// 10, 11 or 12 only (-64), a client file address only among the sources of
// a read or the sinks of a write (-EINVAL), at most once per list (-EBUSY),
// naming an open client file (-EBADF); a read without one among its
// sources or a write without one among its sinks gives -EFAULT.  On 0,
// *conn is that file's connection and *clientFileAddr the address.
[[nodiscard]] int nxapi_validate_IOD(quor_IOD_t *iod, uint32_t flags, quor_connection_t **conn,
                                     clientfileaddress_t **clientFileAddr);
// Frees the lists decoding put in an I/O reply (at most 256 entries each).
void free_quor_ior_mem(quor_IOR_t *ior);
void nxapi_free_srcsinkrply(int count, iod_srcsinkreply_t **list);

// The client's side of the mover exchange of one list request, served by
// quor_MoverServeConnection (nxapi_mover.h).  Movers
// connect to a listening socket; on each control connection the client
// answers every initiator message with Flags 6 and the Length it grants
// (at most window bytes), names a data connection of its own in an
// address message, moves the block on it and takes the completion
// message.  Each grant must lie inside the request and overlap no earlier
// one; each block header must carry the transfer id and the granted offset
// and length; each completion must report status 0 and the granted count.
// The first failure aborts the whole exchange: every socket of it is shut
// down (each is closed only by the thread that owns it).
struct quor_moverxfer_t {
    // Set before the exchange starts.
    int function = IOD_FUNC_READ; // read: movers send blocks; write: they ask for them
    uint64_t xferId = 0;
    unsigned char *buffer = nullptr; // the request's bytes, from request offset 0
    uint64_t length = 0;
    uint64_t window = 0;          // most bytes one initiator is granted (0: no limit)
    int timeout = 60;             // seconds of every wait on a mover (0: no limit)
    quor_sockaddr_t gateway = {}; // the gateway's address, an admitted mover peer
    uint64_t ticket = 0;          // the movers' SecurityTicket (quor_MoverTicket)
    int ticketRc = -ENOKEY;       // 0 when ticket is set: no mover is trusted without it
    // Results.
    std::atomic<uint64_t> moved{0}; // bytes whose completion arrived
    std::atomic<int> status{0};     // the first failure, or 0
    std::atomic<int> movers{0};     // control connections served
    kyl_mutex_t mu;
    mover_ranges_t granted KYL_GUARDED_BY(mu);   // request offsets granted so far
    std::vector<int> sockets KYL_GUARDED_BY(mu); // open sockets of the exchange
};
// Backlog of a listening socket movers connect to.
constexpr int QUOR_MOVER_BACKLOG = 4096;
// Takes a listening socket on the address the calling thread's gateway
// connection reaches this host at (any address without one), retrying
// after 10 ms while listen fails with EADDRINUSE.  0 with *fd and *address
// set, or negative.
[[nodiscard]] int quor_MoverListen(int *fd, quor_sockaddr_t *address);
// Gateway log class of a refused data connection.
constexpr uint32_t QUOR_LOGCLASS_RESTRICTED = 0x2000000;
// Whether an incoming data connection from peer is admitted by the site's
// restricted addresses (every peer when there are none; none when the
// site's section is unusable).  1 admitted, 0 refused: with log set the
// refusal is printed and sent to the gateway log, tagged with routine.
int quorex_IsConnectionAllowed(const quor_sockaddr_t *peer, int log, const char *routine);
// Applies the site's socket options for peer to the data socket fd (see
// quorcfgx_NetoptSetSock).  0, or a negated errno value when none applied
// (-ENOENT: the site names no options for peer).
int quor_ApplySiteSocketOptions(int fd, const quor_sockaddr_t *peer);
// The site's write size for data sent on socket fd (its local address's
// network options, else the default); 0 for no limit.
size_t quor_DataWriteSize(int fd);
// Whether a mover at peer may connect (quorex_IsConnectionAllowed, logged);
// gateway is not consulted.
bool quor_MoverPeerAllowed(const quor_sockaddr_t *gateway, const quor_sockaddr_t *peer);
// Waits up to x->timeout seconds for an admitted connection on listenFd
// (refused peers are closed).  0 with *fd set, -ETIMEDOUT, or -errno.
[[nodiscard]] int quor_MoverAccept(quor_moverxfer_t *x, int listenFd, int *fd);
// Serves one control connection (closed here) until the mover closes it
// between pieces.  Returns 0 or the failure (also recorded in x).
int quor_MoverServeControl(quor_moverxfer_t *x, int ctlFd);
// Records failure rc (the first one counts) and shuts down every socket of
// the exchange.
void quor_MoverAbort(quor_moverxfer_t *x, int rc);
// Accepts movers on listenFd, serving each control connection on a thread
// of its own, until *replied is set (the gateway answered the request:
// its movers are done) or the exchange failed; then waits for the serving
// threads.  Returns x->status.
int quor_MoverTransfer(quor_moverxfer_t *x, int listenFd, const std::atomic<bool> *replied);
// The sequential block exchange: one readiness wait (up to seconds; no
// limit when 0) over listenFd and the connections this call accepted.
// Pending connections from admitted peers are accepted (more than 32 give
// -EBUSY); each ready connection then moves one block: received into buffer
// (which holds bytes [offset, offset + length) of transfer xferId), or sent
// from it on a mover's request.  A connection at end of input is closed.
// Returns the bytes of the first round that moved any (*count grows by
// them), -ETIMEDOUT when the wait expired, or the first failure; every
// connection it accepted is closed on return.
[[nodiscard]] ssize_t mover_waitfor_data(int listenFd, uint64_t xferId, uint64_t offset, void *buffer, uint64_t length,
                                         uint64_t *received);
[[nodiscard]] ssize_t mover_waitfor_data_timeout(int listenFd, uint64_t xferId, uint64_t offset, void *buffer,
                                                 uint64_t length, uint64_t *received, int seconds);
[[nodiscard]] ssize_t mover_waitfor_requests(int listenFd, uint64_t xferId, uint64_t offset, const void *buffer,
                                             uint64_t length, uint64_t *sent);
[[nodiscard]] ssize_t mover_waitfor_requests_timeout(int listenFd, uint64_t xferId, uint64_t offset, const void *buffer,
                                                     uint64_t length, uint64_t *sent, int seconds);
// Most connections one wait for movers holds.
constexpr size_t QUOR_MOVER_MAX_CONNECTIONS = 32;
// One list read (function 1: into buffer) or write (2: from buffer) of
// length bytes at fileOffset of client file fd, through movers, with the
// given window and timeout.  The gateway's count of bytes moved must not
// exceed length nor, for a read, differ from the bytes received.  Returns
// 0 with *bytesMoved set, or a negative code (with a message); a read
// that met a gap in the file gives -ENODATA with *bytesMoved the bytes
// before it.
[[nodiscard]] int quor_ListTransfer(int fd, int function, uint64_t fileOffset, void *buffer, uint64_t length,
                                    uint64_t window, int timeout, uint64_t *bytesMoved);

// Sequential transfer at the file's current position, through movers that
// connect back one block per connection (see mover_waitfor_data).  Each
// round is one request for the bytes still wanted; rounds repeat until all
// moved or one moved none (end of file).  A reply that reports more bytes
// than were asked for or than moved is refused (-EPROTO).  Returns the
// bytes moved when any, else 0 or a negative code (-ENOENT: file busy or
// unknown; -EFAULT: null buffer).
[[nodiscard]] ssize_t quor_Read(int fd, void *buffer, uint64_t length);
[[nodiscard]] ssize_t quor_Write(int fd, const void *buffer, uint64_t length);
// The gateway data stream of a file opened with quor_OpenX.  With bit 31
// of xioFlags set the call starts a transfer of length bytes (the request
// goes out, its reply is collected later) and returns 0, or -EBUSY when one
// is in progress.  Without it the call moves up to length bytes of the
// transfer in progress (-EBUSY when none, -EFAULT without a buffer),
// setting *done when fewer moved (end of file); the call that ends the
// transfer returns the gateway's negative result in place of the count.
// A file not opened with quor_OpenX gives -EBADF; length 0 gives 0.
[[nodiscard]] ssize_t quor_ReadX(uint32_t xioFlags, int fd, void *buffer, uint64_t length, int *done);
[[nodiscard]] ssize_t quor_WriteX(uint32_t xioFlags, int fd, const void *buffer, uint64_t length, int *done);

// Thread utilities.

// Stack size of threads made with kylgw_ThreadAttrInit attributes.
extern long kylgw_thread_ssize;
// Initialises attr with the library's stack size; 0 or a positive errno.
int kylgw_ThreadAttrInit(pthread_attr_t *attr);
// Creates a thread (attr may be null for the library's defaults), retrying
// up to 5 times a second apart while creation fails with EAGAIN; 0 or the
// last error number.
int kylgw_ThreadCreate(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg);
// Sleeps the interval, restarting it whole when a signal interrupts it.
void kylgw_ThreadSleep(unsigned int seconds, unsigned int microseconds);
// Yields the processor.
void kylgw_ThreadYield();

#endif
