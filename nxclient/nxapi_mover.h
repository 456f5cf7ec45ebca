#ifndef NXAPI_MOVER_H
#define NXAPI_MOVER_H

// The client's side of the mover exchange on one control connection, for
// every caller that serves movers: the list transfers of this library and
// the archiver's storage-system reader and writer.  For each initiator
// message the exchange checks the transfer type, asks the caller for the
// piece (its place in the caller's buffer and the length granted), answers
// with an initiator message (Flags 6, the granted Length), opens a data
// listening socket when the connection has no data connection yet, names
// it in an address message, accepts the one data connection, lets the
// caller move the block, receives the completion message and hands it to
// the caller.  Only the gateway's movers of the current transfer take part:
// an initiator message whose SecurityTicket is not the transfer's secret
// (quor_MoverTicket) ends its control connection quietly before anything is
// granted, and a data connection whose first block header does not carry
// it is closed unread and the next one accepted; the transfer goes on with
// the real movers.  What differs between callers (which buffer, which direction,
// the accounting, the messages, when to stop) is a table of hooks; the
// exchange itself takes no locks and keeps no state of its own.  Any
// thread; each control connection is served by one thread at a time.

#include <cstddef>
#include <cstdint>

#include "kylgw_mvrprot.h"
#include "quor_sockaddr.h"

struct quor_connection_t;

// Where a failure of the exchange itself happened, for the failure hook.
enum quor_moverstage_t : int {
    QUOR_MOVER_RECV_INITIATOR,  // receiving the next initiator message failed
    QUOR_MOVER_BAD_TYPE,        // the initiator names a transfer type other than TCP (rc -EPROTO)
    QUOR_MOVER_SEND_REPLY,      // sending the answering initiator message failed
    QUOR_MOVER_LISTEN,          // no listening socket for the data connection
    QUOR_MOVER_SEND_ADDRESS,    // sending the address message failed
    QUOR_MOVER_ACCEPT,          // no data connection (rc: the accept hook's result)
    QUOR_MOVER_RECV_COMPLETION, // receiving the completion message failed
};

// One piece granted to a mover, filled in by the grant hook.
struct quor_moverpiece_t {
    uint64_t offset = 0;            // request offset of the piece (the initiator's Offset)
    uint64_t xferId = 0;            // transfer id of the address message and the block headers
    unsigned char *bytes = nullptr; // where the granted bytes land or come from
    uint64_t length = 0;            // bytes granted (the reply's Length)
    void *buffer = nullptr;         // the caller's buffer record, for its accounting
};

// The hooks of one caller.  Every hook gets the arg of the connection.
// Hooks returning int return 0 to go on, or the result the piece (or the
// connection) ends with; the caller chooses its codes and prints its own
// messages there.
struct quor_moverops_t {
    // With peekEnd the end of the connection is seen before a message (a
    // message cut short, or a reset, is a failure); without it a connection
    // that closes at a message boundary (NXAPI_E_NOSESSION) is the end.
    bool peekEnd;
    // The answering initiator message carries DevBlkSz, DevBlkOff and
    // DevCRCAlgo as 0 instead of the mover's values.
    bool clearDeviceFields;
    // Before each message: 0 to go on, else the result serving ends with.
    int (*stopped)(void *arg);
    // After each receive of an initiator message, with its result (may be
    // null).
    void (*received)(void *arg, int rc, const initiator_msg_t *im);
    // Grants the piece im asks for: 0 with *piece filled in.
    int (*grant)(void *arg, const initiator_msg_t *im, quor_moverpiece_t *piece);
    // Waits for and accepts the data connection on listenFd: the socket, or
    // a negative code.
    int (*acceptData)(void *arg, int listenFd);
    // Moves the granted block on dataFd (received into, or sent from,
    // piece->bytes): 0 with *moved the bytes that moved.
    int (*move)(void *arg, int dataFd, const initiator_msg_t *im, const quor_moverpiece_t *piece, uint64_t *moved);
    // Checks the completion message of a piece that moved *moved bytes and
    // accounts for it.
    int (*complete)(void *arg, const quor_moverpiece_t *piece, const completion_msg_t *cm, uint64_t moved);
    // A failure at stage with code rc while serving initiator im (as far
    // as it arrived): the result to end with.
    int (*failed)(void *arg, quor_moverstage_t stage, int rc, const initiator_msg_t *im);
    // Stores socket fd in the caller's field, or closes the field's socket
    // (if any) and sets it to -1; the caller's shutdown of an aborted
    // exchange sees the sockets through these.
    void (*setSocket)(void *arg, int *field, int fd);
    void (*closeSocket)(void *arg, int *field);
    // The SecurityTicket the movers of the current transfer carry: 0 with
    // *expected set, or negative when the transfer has no secret (every
    // mover connection is then refused rather than trusted).
    int (*ticket)(void *arg, uint64_t *expected);
};

// One control connection being served.  The socket fields belong to the
// caller's record (-1 when closed); the exchange changes them only through
// the setSocket and closeSocket hooks.
struct quor_moverconn_t {
    const quor_moverops_t *ops;
    void *arg;                 // the caller's record of the connection
    int timeout;               // seconds of every wait on a control message (0: no limit)
    int *control;              // the control connection
    int *listen;               // the data listening socket, while the data connection is awaited
    int *data;                 // the data connection, kept for every later piece
    quor_sockaddr_t *dataAddr; // the data listening socket's address
};

// Serves one piece: the initiator im arrived on the control connection.
// Returns 0, or the result of the hook that ended it.
[[nodiscard]] int quor_MoverServePiece(quor_moverconn_t *c, const initiator_msg_t &im);

// Serves the control connection piece after piece until the mover ends it
// (0), an initiator without the transfer's ticket ends it (0: the peer is
// not one of the transfer's movers), the stopped hook ends it (its result)
// or a piece fails (its result).  The sockets stay open: the caller closes them.
[[nodiscard]] int quor_MoverServeConnection(quor_moverconn_t *c);

// Waits until fd is readable, polling in slices of sliceMs, while
// stopped(arg) returns 0, for at most seconds' worth of slices (0: no
// limit; an interrupted slice counts as a whole one).  Returns the poll
// events of fd (> 0), the non-zero result of stopped, -ETIMEDOUT, or the
// negated errno of a failed poll.
[[nodiscard]] int quor_MoverWaitReadable(int fd, int sliceMs, int seconds, int (*stopped)(void *), void *arg);

// Accepts one pending connection on listenFd and admits its peer
// (quor_MoverPeerAllowed; gateway may be null), applying the site's socket
// options.  Returns 0 with *fd set, 1 when the peer was refused (its
// connection closed), or the negative accept error (-EINTR, -EAGAIN and
// -ECONNABORTED included) with its text in text (size bytes).  *peer is
// the peer's address whenever the accept succeeded.
[[nodiscard]] int quor_MoverAcceptPeer(int listenFd, const quor_sockaddr_t *gateway, quor_sockaddr_t *peer, int *fd,
                                       char *text, size_t size);

// The transfer secret of purpose and id (see kylgw_mvrprot.h) under the
// session key of the connection of client file fd (fd < 0: the calling
// thread's connection).  0 with secret filled, -EBADF for a file that is not
// open, -ENOTCONN without a connection, -ENOKEY when the login established
// no session key (then no peer can be trusted), -EIO.
[[nodiscard]] int quor_TransferSecret(int fd, uint32_t purpose, uint64_t id,
                                      unsigned char secret[TRANSFER_SECRET_SIZE]);
// The transfer secret of purpose and id under the session key of conn:
// as quor_TransferSecret (-ENOTCONN when conn is null).  Takes conn's
// openMutex.
[[nodiscard]] int nxapi_ConnTransferSecret(quor_connection_t *conn, uint32_t purpose, uint64_t id,
                                           unsigned char secret[TRANSFER_SECRET_SIZE]);
// The SecurityTicket of the movers of transfer xferId on client file fd:
// 0 with *ticket set, or a quor_TransferSecret failure.
[[nodiscard]] int quor_MoverTicket(int fd, uint64_t xferId, uint64_t *ticket);

// Whether the data connection fd opens, within seconds, with a block
// header that carries ticket.  The header is only peeked at (the move reads
// it as usual); a peer that closes, sends anything else or stays silent
// fails, and so does the wait once stopped(arg) is non-zero (stopped may be
// null).
[[nodiscard]] bool quor_MoverDataProven(int fd, uint64_t ticket, int seconds, int (*stopped)(void *), void *arg);

// Takes a listening socket for movers on the local address of the
// connected socket fd (where the gateway reaches this client), on any
// address when fd < 0 or its address is unknown.  As quor_MoverListen.
[[nodiscard]] int quor_MoverListenBeside(int fd, int *listenFd, quor_sockaddr_t *address);

// The library's own accept of a mover connection: as quor_MoverAcceptPeer,
// the socket closed on exec, and 1 also when no connection was pending or
// it went away (-EINTR, -EAGAIN, -ECONNABORTED).  0 with *fd set, 1, or
// negative.
[[nodiscard]] int nxapi_MoverAcceptOne(const quor_sockaddr_t *gateway, int listenFd, int *fd);

#endif
