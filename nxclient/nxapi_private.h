#ifndef NXAPI_PRIVATE_H
#define NXAPI_PRIVATE_H

// Internal interface of the gateway client library, shared by its units and
// not by the archiver: the message streams of a connection, the per-thread
// context, the connection record and its table, the message layer
// (nxapi_msg.cpp), the library's diagnostic log (nxapi_log.cpp), the
// connection and session layer (nxapi_conn.cpp) and the authentication entry
// point (nxapi_auth.cpp).
//
// Lock order (take only in this order): a connection's openMutex, then its
// msg_in.theMutex, then its msg_out.theMutex, then a thread context's
// msginMutex; nxapi_connection_lock, threadlist_lock and
// nxapi_requestID_lock are leaves (never held while another lock is taken);
// logfile_lock is held only while msgsink_lock is taken, and msgsink_lock
// is a leaf.
//
// Results: 0 (or the count or descriptor a contract names) or a negative
// gateway code: a negated errno value or a named KYLGW_E_*/NXAPI_E_* code
// of kylgw_errors.h.

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "kyl_mutex.h"
#include "kyl_xdr.h"
#include "kylgw_errors.h"
#include "kylgw_msg.h"
#include "kylgw_xdr_auth.h"
#include "quor_sockaddr.h"

// ---- Message streams ----------------------------------------------------------

// Size of the buffer of each direction of a connection: a large list request
// or reply moves with few system calls, and a whole outbound message is
// written by one flush.
constexpr size_t NXAPI_STREAM_BUFSIZE = 0x180000; // 1,572,864 bytes

enum stream_state { STREAM_CLOSED = 0, STREAM_IDLE = 1, STREAM_BUSY = 2 };
enum msgin_state { READING_MSG_HDR = 0, HAVE_MSG_HDR = 1 };

// The limits of one thread's wait for a reply: a deadline (none when not
// limited) and the stop hook (quor_SetStopHook).  A wait begun after the
// hook already said stop (the clean-up requests of a stopped run) is not
// ended by it but gets at most NXAPI_STOPPED_REPLY_SECS.
struct nxapi_replywait_t {
    bool limited = false;
    int seconds = 0;               // the limit, for messages
    struct timespec deadline = {}; // CLOCK_MONOTONIC
    bool stoppedAtStart = false;
};
// Most seconds a reply waited for after the stop hook said stop may take.
constexpr int NXAPI_STOPPED_REPLY_SECS = 5;
// Slice of every reply wait that must notice its deadline or the stop hook.
constexpr int NXAPI_REPLY_SLICE_MS = 100;
// Whether wait w is over: 0 to go on, -ETIMEDOUT past its deadline, or
// -ECANCELED when the stop hook says stop.
[[nodiscard]] int nxapi_ReplyWaitEnded(const nxapi_replywait_t *w);
// True once the stop hook says stop: a terminal prompt gives up its read.
[[nodiscard]] bool nxapi_StopRequested();

// Buffered reader over a socket: the decoding source of an inbound stream.
// get() returns exactly n bytes, reading the socket as needed; end of input
// or a read error fails it, and so does the end of wait (when set) while no
// byte is there to read.  Used only under the inbound stream's mutex.
struct nxapi_sockreader_t : kyl_xdr_source {
    bool get(unsigned char *buf, size_t n) override;
    const nxapi_replywait_t *wait = nullptr; // the receiving thread's limits, while it decodes
    int fd = -1;
    unsigned char *buf = nullptr; // NXAPI_STREAM_BUFSIZE bytes
    size_t start = 0;             // first unread byte
    size_t end = 0;               // one past the last buffered byte
};

// The buffered I/O of one stream: the reader for an inbound stream, the
// output buffer for an outbound one (only one of them is used).
struct nxapi_streamio_t {
    nxapi_sockreader_t reader;
    kyl_xdr_outbuf out;
    bool forWriting = false;
};

// One direction of a connection.  theMutex serialises all use of the stream
// and guards every field below it; it is statically initialised and never
// destroyed, so a stream can be freed and built again while other threads
// still queue on the mutex.
struct quor_msgstream_t {
    kyl_mutex_t theMutex;
    int mutex_created = 1;
    pthread_cond_t theCondition = PTHREAD_COND_INITIALIZER; // broadcast when a receive fails
    int cond_created = 1;
    stream_state state KYL_GUARDED_BY(theMutex) = STREAM_CLOSED;
    uint32_t msgSequence KYL_GUARDED_BY(theMutex) = 0;
    api_msghdr_t messageHdr KYL_GUARDED_BY(theMutex) = {}; // last written, or read and not yet consumed
    msgin_state messageInState KYL_GUARDED_BY(theMutex) = READING_MSG_HDR;
    int errors KYL_GUARDED_BY(theMutex) = 0;
    nxapi_streamio_t *file KYL_GUARDED_BY(theMutex) = nullptr;
    int fd KYL_GUARDED_BY(theMutex) = -1;
    kyl_xdr_t theXdr KYL_GUARDED_BY(theMutex);
    void *encrypt_fun = nullptr; // stream encipherment hooks: not used by this client
    void *decrypt_fun = nullptr;
};

// ---- Thread contexts ----------------------------------------------------------

struct quor_connection_t;

// Room for a gateway named as "host:port" ("[v6 address]:port") in
// messages, with its NUL.
constexpr size_t NXAPI_PEER_TEXT_MAX = 320;
// Room for a keytab file's path in messages, with its NUL.
constexpr size_t NXAPI_KEYTAB_PATH_MAX = 4096;

// A second reply a thread expects to an earlier request of its own (the
// completion of a local-file transfer, which comes long after the first
// reply).  Whichever thread reads it from the stream decodes it into
// bodyStore, so that it never holds up the replies of other threads while
// its owner is busy elsewhere.  The owner arms it before the request goes
// out; the receive of the first reply (state NXAPI_LATER_ARMED) links it
// into its connection's laterReplies under msg_in.theMutex, and from then
// on state, header and bodyStore are guarded by that mutex until the owner
// takes the reply (nxapi_get_msg) or forgets it (nxapi_ForgetLaterReply).
enum { NXAPI_LATER_NONE = 0, NXAPI_LATER_ARMED = 1, NXAPI_LATER_PENDING = 2, NXAPI_LATER_ARRIVED = 3 };
constexpr size_t NXAPI_LATER_BODY_MAX = 64;
struct nxapi_laterreply_t {
    nxapi_laterreply_t *next = nullptr; // link in the connection's laterReplies
    int state = NXAPI_LATER_NONE;
    uint32_t requestID = 0;
    quor_connection_t *connection = nullptr; // set while pending (owner only)
    api_msghdr_t header = {};
    kyl_xdrproc_t bodyXdr = nullptr;
    bool discard = false;                // a heap copy whose reply nobody takes: freed on arrival
    uint16_t category = 0, function = 0; // the request's, from its first reply
    alignas(8) unsigned char bodyStore[NXAPI_LATER_BODY_MAX] = {};
};

// One per calling thread, in thread_list (guarded by threadlist_lock).  A
// thread uses only its own context, except that the reader of a connection
// links, unlinks and wakes waiting contexts under the inbound stream's mutex.
struct nxapi_tcontext_t {
    nxapi_tcontext_t *next = nullptr;     // thread_list link (threadlist_lock)
    nxapi_tcontext_t *msgQNext = nullptr; // waitReplyList link (the connection's msg_in.theMutex)
    pthread_t threadID = {};
    quor_connection_t *connection = nullptr;
    uint32_t msgRequestID = 0; // request id of the reply this thread expects next
    uint16_t msgCategory = 0;  // kind of that request, for its time limit and messages
    uint16_t msgFunction = 0;
    // Wake-up of a waiting receiver, both guarded by msginMutex: gotMessage
    // is set by the waker; wakeResult is 0 when the thread is to look at the
    // stream again, or the failure that ended the receive of every waiter.
    int gotMessage KYL_GUARDED_BY(msginMutex) = 0;
    int wakeResult KYL_GUARDED_BY(msginMutex) = 0;
    pthread_cond_t msginCondition = PTHREAD_COND_INITIALIZER;
    kyl_mutex_t msginMutex;
    uint32_t msgOutCount = 0;
    uint32_t msgInCount = 0;
    // The TCP connect of this thread's last open that failed: its errno
    // (0 when the last open got past connecting) and the gateway it tried,
    // for the hint nxapi_init prints.
    int unreachableErrno = 0;
    char unreachableAt[NXAPI_PEER_TEXT_MAX] = {};
    // The keytab file that made this thread's last keytab login fail before
    // anything was sent, and why (an errno value; 0 when the keytab was
    // not the trouble), for the same hint.
    int keytabErrno = 0;
    char keytabAt[NXAPI_KEYTAB_PATH_MAX] = {};
    // The second reply this thread expects, if any.
    nxapi_laterreply_t later;
};

// A request whose reply its thread no longer waits for (the wait ran out
// or was stopped): the reply is read and dropped when it comes.  second is
// set while a second reply follows a first one that succeeds.
struct nxapi_abandoned_t {
    nxapi_abandoned_t *next = nullptr;
    uint32_t requestID = 0;
    bool second = false;
};
// Most abandoned replies a connection keeps track of; one more breaks it.
constexpr int NXAPI_MAX_ABANDONED = 64;

// ---- Connections ----------------------------------------------------------------

enum connection_state { CONNECTION_CLOSED = 0, CONNECTION_OPEN = 1 };

// What the server sent for a later reconnect; every buffer is a malloc'd
// copy owned by the connection.
struct login_reconnect_t {
    uint64_t reconnect_time = 0; // seconds since the epoch
    uint32_t user_msg_len = 0;
    char *user_msg_buf = nullptr;
    uint32_t reconnect_packet_len = 0;
    unsigned char *reconnect_packet = nullptr;
    uint32_t reconnect_hmac_len = 0;
    unsigned char *reconnect_hmac_packet = nullptr;
};

constexpr size_t NXAPI_SERVER_HOST_MAX = 1026;
constexpr int NXAPI_DEFAULT_PORT = 1217;
constexpr int NXAPI_AUTH_COMBO = 0x10;       // method set on every new connection
constexpr int NXAPI_AUTH_RECONNECT = 0x8000; // login with the relogin context
// Seconds a connection has to get from its TCP connect through the
// greeting and the site information (QUOR_CONNECT_TIMEOUT changes it);
// what follows (login prompts, operations that stage data for hours) has no
// time limit of the library's own.
constexpr int NXAPI_CONNECT_TIMEOUT_SECS = 60;
constexpr int NXAPI_CONNECT_TIMEOUT_MAX = 86400;

extern kyl_mutex_t nxapi_connection_lock; // the connection table, its count, the current connection, refs

// One gateway connection.  Fields after setup are written by the thread
// that opens the connection (under openMutex) and read by the threads that
// use it afterwards; state is atomic because nxapi_init tests it without a
// lock.
struct quor_connection_t {
    quor_connection_t *next KYL_GUARDED_BY(nxapi_connection_lock) = nullptr;
    std::atomic<int> state{CONNECTION_CLOSED}; // connection_state
    int handle = -1;
    int auth_type = NXAPI_AUTH_COMBO;
    char *auth_user = nullptr;
    char server_host[NXAPI_SERVER_HOST_MAX] = {}; // reverse lookup of server_addr, "" if it failed
    login_reconnect_t relogin_context;
    quor_sockaddr_t server_addr = {};
    short server_port = 0;
    quor_site_info_t site_info = {};
    int min_data_port = 0;
    int max_data_port = 0;
    char *service_name = nullptr;
    // The server as the server list names it, with its port ("gw1:1217"),
    // for the messages that tell a person which gateway failed.
    char peer_text[NXAPI_PEER_TEXT_MAX] = {};
    int ctl_fd = -1;
    int authenticated = 0;
    uint32_t cred_expire_time = 0;
    int hostent_inx = 0;
    int sudo_active = 0;
    quor_msgstream_t msg_in;
    quor_msgstream_t msg_out;
    int nic_count = 0;
    quor_sockaddr_t *nic_list = nullptr;
    int nic_rr_inx = 0; // guarded by the listen-socket unit's round-robin mutex
    int pubkey_len = 0;
    unsigned char *public_key = nullptr;
    int sess_key_len = 0;
    unsigned char *session_key = nullptr;

    // Contexts of threads waiting for a reply on this connection, linked
    // through msgQNext.  Kept per connection (not process-wide) so that one
    // list is never changed under two different stream mutexes.
    nxapi_tcontext_t *waitReplyList KYL_GUARDED_BY(msg_in.theMutex) = nullptr;
    // Second replies expected on this connection (see nxapi_laterreply_t).
    nxapi_laterreply_t *laterReplies KYL_GUARDED_BY(msg_in.theMutex) = nullptr;
    // Replies nobody waits for any more, and their count.
    nxapi_abandoned_t *abandoned KYL_GUARDED_BY(msg_in.theMutex) = nullptr;
    int abandonedCount KYL_GUARDED_BY(msg_in.theMutex) = 0;
    // Set while a thread waits for the socket to become readable without
    // holding msg_in.theMutex: the others wait on their own conditions.
    bool reading KYL_GUARDED_BY(msg_in.theMutex) = false;
    // Serialises opening: any thread's call may find the connection closed
    // and reopen it.
    kyl_mutex_t openMutex;
    // Holders that may still touch the record after it left the table (a
    // thread waiting on openMutex); the last one frees it.
    int refs KYL_GUARDED_BY(nxapi_connection_lock) = 0;
    bool unlinked KYL_GUARDED_BY(nxapi_connection_lock) = false;
};

// ---- Message layer (nxapi_msg.cpp) ----------------------------------------

// Builds one stream on fd (not owned by the stream): a 1,572,864-byte
// buffer, an encoding (forWriting) or decoding handle, state STREAM_IDLE,
// READING_MSG_HDR.  Returns 0, -EBADF (the stream is not closed; fd
// invalid) or -ENOMEM.  Requires no stream lock held; takes the stream's mutex.
[[nodiscard]] int nx_BuildMsgStream(int fd, quor_msgstream_t *stream, int forWriting);
// Frees the stream's buffers and marks it STREAM_CLOSED with fd -1; the
// descriptor is not closed here.  Returns 0 or -EBADF for a stream that is
// not open.  Requires the stream's mutex.
int nx_FreeMsgStream(quor_msgstream_t *stream) KYL_REQUIRES(stream->theMutex);

// Builds both streams of conn on the connected socket fd (owned by the
// connection from here on) and marks the connection open.  Returns 0 or a
// stream-building code; on failure fd is closed.
[[nodiscard]] int nx_OpenStreams(quor_connection_t *conn, int fd);
// Marks conn closed, wakes every thread waiting for a reply on it with
// result, frees both streams and closes the socket exactly once.  Safe to
// call for a connection that is already closed.  Takes msg_in.theMutex then
// msg_out.theMutex.
void nx_CloseStreams(quor_connection_t *conn, int result);

// A new request id: a positive 31-bit value.  Takes nxapi_requestID_lock.
uint32_t nxapi_getRequestID();

// Sends one message on conn (null: the calling thread's connection, else the
// current one): header (with a new request id when assignRequestId), then
// body encoded with bodyXdr when body is not null, written with one flush
// under the outbound stream's mutex.  Unless the header is a task message,
// tcontext->msgRequestID becomes the header's request id.  Returns 0,
// NXAPI_E_NOSESSION (connection not open), KYLGW_E_BADMSG (body without
// routine, header encoding), or NXAPI_E_FAILED (body encoding or write
// failed).
[[nodiscard]] int nxapi_CommonSendMsg(quor_connection_t *conn, nxapi_tcontext_t *tcontext, int assignRequestId,
                                      api_msghdr_t *header, void *body, kyl_xdrproc_t bodyXdr);

// Sends a request: a new request id, the given flags, msgTime = time (now
// when 0), threadID 0, errorcode 0.  Returns as nxapi_CommonSendMsg.
[[nodiscard]] int nxapi_send_msg(uint16_t category, uint16_t function, void *body, kyl_xdrproc_t bodyXdr,
                                 uint32_t flags, uint32_t time, quor_connection_t *conn, nxapi_tcontext_t *tcontext);

// Sends a task message: the given request id, thread tag and error code,
// flags | MSGF_TASK; the awaited request id is not changed.
[[nodiscard]] int kylgw_sendTaskMsg(uint32_t threadID, uint32_t requestID, uint16_t category, uint16_t function,
                                    void *body, kyl_xdrproc_t bodyXdr, uint32_t flags, uint32_t time, int32_t errorcode,
                                    quor_connection_t *conn, nxapi_tcontext_t *tcontext);

// Waits for the reply whose request id is tcontext->msgRequestID, copies its
// header to *header and, when it has a body, decodes the body into body with
// bodyXdr.  Allocations made by the decode belong to the caller (release
// them with kyl_xdr_free(bodyXdr, body)), also when the decode failed part
// way; pass a zero-initialised record.  A reply without body leaves body
// untouched.  Returns 0 (the operation's own result is header->errorcode),
// NXAPI_E_NOSESSION (connection not open), KYLGW_E_BADMSG (garbage or
// unsolicited header, a body but no routine or buffer), or NXAPI_E_FAILED
// (the body did not decode), -ETIMEDOUT when no reply came within the
// request's time limit (nxapi_ReplyLimitSeconds; the message names the
// request) or -ECANCELED when the stop hook ended the wait: the reply is
// then dropped when it comes.  Any failure to decode what arrived breaks
// the connection: every waiting thread is woken with the same code, the
// socket is closed and later calls fail with NXAPI_E_NOSESSION.  Takes
// msg_in.theMutex, and msg_out.theMutex when breaking the connection.
[[nodiscard]] int nxapi_get_msg(nxapi_tcontext_t *tcontext, api_msghdr_t *header, void *body, kyl_xdrproc_t bodyXdr,
                                quor_connection_t *conn);

// Seconds the reply to a request of (category, function) may take (0: no
// limit): QUOR_REPLY_TIMEOUT when it holds a number from 0 to 86400, else
// none for list reads and writes and for opens (they may wait for hours
// while data is staged or a volume mounted) and 600 for every other.
[[nodiscard]] int nxapi_ReplyLimitSeconds(uint16_t category, uint16_t function);

// Arms tcontext's later reply for the next request it sends: when that
// request's first reply succeeds (errorcode 0), a second reply with the same
// request id is expected and decoded with bodyXdr into the slot's
// bodyStore by whichever thread reads it.  A reply expected before and
// still to come is abandoned (nxapi_AbandonLaterReply).  Calling thread's own context only.
void nxapi_ArmLaterReply(nxapi_tcontext_t *tcontext, kyl_xdrproc_t bodyXdr);
// Receives tcontext's pending second reply: its header into *header and its
// body in the slot's bodyStore (release what the decode allocated with
// bodyXdr).  Returns 0, -EINVAL when none is pending, or what
// nxapi_get_msg returns.  The slot is forgotten afterwards.
[[nodiscard]] int nxapi_GetLaterReply(nxapi_tcontext_t *tcontext, api_msghdr_t *header);
// Stops expecting tcontext's second reply (a later one is then left to
// stall the stream: forget only replies that will not come, or that came).
// Takes the connection's msg_in.theMutex.
void nxapi_ForgetLaterReply(nxapi_tcontext_t *tcontext);
// Stops expecting tcontext's second reply that is still to come: it is
// read and dropped by whichever thread meets it.  Takes the connection's
// msg_in.theMutex.
void nxapi_AbandonLaterReply(nxapi_tcontext_t *tcontext);

// ---- Diagnostic log (nxapi_log.cpp) -----------------------------------------

// Destination bits.
constexpr int NXAPI_LOG_SYSLOG = 1;
constexpr int NXAPI_LOG_STDERR = 2;
constexpr int NXAPI_LOG_FILE = 4;
constexpr int NXAPI_LOG_FLUSH = 0x8000; // flush the debug file after each line
// Flag bits.
constexpr int NXAPI_LOG_TRACE_MSGS = 16; // trace every message header
// Prefix options.
constexpr int NXAPI_LOGOPT_PID = 1;
constexpr int NXAPI_LOGOPT_TIME = 2;
constexpr int NXAPI_LOGOPT_RELTIME = 4;
// Level-mask bit that enables the "Entering function" traces.
constexpr int NXAPI_LOG_ENTRY_TRACE = 1 << 15;
constexpr size_t NXAPI_LOG_PREFIX_MAX = 150;
constexpr size_t NXAPI_LOG_MSG_MAX = 512;

// Writes one text of the library, formatted as printf does, to the message
// sink (quor_SetMessageSink; by default stderr, unchanged).  Every message
// the library has for a person goes through here.  Takes msgsink_lock
// briefly; the sink itself runs without it.
void nxapi_Print(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// Reads QUOR_API_DEBUG, QUOR_API_DEBUG_FLAGS and QUOR_API_DEBUG_PATH and sets
// the level mask, destinations, flags and prefix options; a later call
// starts again from the defaults.  Takes logfile_lock.
void nxapi_logging_init();
// Writes message (never a secret) when bit level of the mask is set, to the
// destinations present both in destinations and in the configuration.
// unitName may be a path; its directory and extension are dropped.
void nxapi_logmsg(int level, const char *functionName, const char *message, int destinations, const char *unitName,
                  int line);
// printf-style front end of nxapi_logmsg.  Texts from the network are passed
// as arguments, never as the format.
void nxapi_logf(int level, const char *functionName, int destinations, const char *unitName, int line, const char *fmt,
                ...) __attribute__((format(printf, 6, 7)));
// True when message tracing (flag 16) is on.
bool nxapi_tracing();
// Two debug-file lines describing a header sent (outbound) or received.
void nxapi_tracemsg_hdr(int outbound, const quor_connection_t *conn, const api_msghdr_t *header);

// ---- Connections and sessions (nxapi_conn.cpp) --------------------------------

// Process-wide state; the connection table's fields are guarded by
// nxapi_connection_lock, the rest is written only by the first nx_LibInit.
extern int nxapi_init_server_handle;
extern int nxapi_min_socket_port;
extern int nxapi_max_socket_port;
extern quor_sockaddr_t nxapi_tcp_data_host;
extern quor_sockaddr_t nxapi_tcp_ctl_host;

// Initialises the library once; every later call returns the first result.
// 0, NXAPI_E_FAILED (no server could be set up), or a negative look-up
// code.
[[nodiscard]] int nx_LibInit();
// The four named locks are statically initialised; kept for the call
// sequence of initialisation.  Returns 0.
int nx_create_locks();
// Adds a closed connection to the table.  *handle gets its number, or -1.
// Returns 0, KYLGW_E_HOSTLOOKUP or -ENOMEM.
[[nodiscard]] int quorex_SetupConnection(const char *host, const char *serviceName, int port, int minDataPort,
                                         int maxDataPort, int *handle);
// Connects, receives the greeting, exchanges site information and
// authenticates, retrying while the storage system is down or the server
// asks to come back later.  Each attempt has QUOR_CONNECT_TIMEOUT seconds
// (default NXAPI_CONNECT_TIMEOUT_SECS) from its connect through the site
// information; authentication has no limit.  Returns 0, -ENOENT (unknown
// handle or no context), -EBUSY (already open), -errno of socket or connect
// (-ETIMEDOUT when the connect ran out of time), -ETIMEDOUT when no
// greeting came in time, the site information result, KYLGW_E_PROTOCOL_LEVEL,
// or the authentication result.
[[nodiscard]] int quorex_OpenConnection(int handle);
// Removes the connection from the table and closes it; 0 or -ENOENT.
int nxapi_CloseConnection(int handle);
// Makes handle current; *previousHandle (may be null) gets the previous
// current handle or -1.  0 or -ENOENT.
int nxapi_SetCurConnection(int handle, int *previousHandle);
// Finds a connection by handle; null when no connection has it.  Takes
// nxapi_connection_lock.
quor_connection_t *nx_LookupConnection(int handle) KYL_EXCLUDES(nxapi_connection_lock);
// The same for a caller that holds nxapi_connection_lock.
quor_connection_t *nx_LookupConnectionLocked(int handle) KYL_REQUIRES(nxapi_connection_lock);
quor_connection_t *nxapi_getCurConnection();
// The connection of the given thread's context (the caller's when null).
quor_connection_t *nxapi_GetThreadConEntry(const pthread_t *threadId);
// Does nothing: connections close when the process ends.
void nxapi_CloseAllConnections();
// A new context for the calling thread, on thread_list; null without memory.
nxapi_tcontext_t *nx_InitNewThreadContext();
// The context of the given thread (the caller's when null), or null.
nxapi_tcontext_t *nxapi_LookupThreadstate(const pthread_t *threadId);
// Entry step of every operation: initialise, find or create the calling
// thread's context, open the current connection if it is closed.  Returns
// 0 with *tcontext set, -ENOMEM, or NXAPI_E_NOSESSION.
[[nodiscard]] int nxapi_init(nxapi_tcontext_t **tcontext);
// Prints the refusal text of an open's result as a message (nxapi_Print),
// followed by nx_PrintHint's line when the text shows only the number.
void nx_PrintRefusal(const nxapi_tcontext_t *ctx, int result);
// Prints one line a person can act on about an open of ctx's thread that
// failed with result: the gateway that could not be reached, the keytab
// that could not be used, or what the result code means.
void nx_PrintHint(const nxapi_tcontext_t *ctx, int result);

// Restricted-port binding and listening sockets for data connections.
[[nodiscard]] int kylgw_SockGetListenSocket(int anyAddress, int reuseAddress, int *fd, quor_sockaddr_t *address);
// As kylgw_SockGetListenSocket, bound to the address at (its port is
// chosen from the site's port range).
[[nodiscard]] int kylgw_SockGetListenSocketAt(const quor_sockaddr_t *at, int reuseAddress, int *fd,
                                              quor_sockaddr_t *address);
// Binds fd within [nxapi_min_socket_port, nxapi_max_socket_port] (one bind
// to any port when nxapi_min_socket_port is 0).  Returns 0, -EADDRINUSE
// (every port of the range busy: reported), NXAPI_E_FAILED (the any-port
// bind failed) or -errno.
[[nodiscard]] int kylgw_SockBindToRestrictedPort(int fd, const quor_sockaddr_t *address, quor_sockaddr_t *boundAddress);
int kylgw_SockGetPort(const quor_sockaddr_t *address);
int kylgw_SockSetPort(quor_sockaddr_t *address, int port);
quor_sockaddr_t *kylgw_SockGetControlAddr(int data);

// ---- Authentication (nxapi_auth.cpp) ------------------------------------------

// Authenticates conn.  *retryLater and *stop receive the login reply's
// retry-later and stop bits.  Returns 0 or a negative gateway code.
[[nodiscard]] int nxapi_authenticate(quor_connection_t *conn, nxapi_tcontext_t *tcontext, int *retryLater, int *stop);
// Makes the method list the single method code (16, 64, 512 or 32768).
// Returns 0 or -EINVAL.
int quor_SetAuthType(int code);
// Replaces conn's relogin context with copies of what a login reply
// carries (retry time, user text, retry packet and its signature; empty
// when absent).  0, -EFAULT or -ENOMEM (the context is then partly
// filled).
int nxapi_SaveLoginReconnect(quor_connection_t *conn, const api_login_rply_t *reply);
// Forgets every authentication setting: the default method list, no user,
// password or keytab.  For tests that run several logins in one process.
void nxapi_ResetAuthState();

#endif
