#ifndef KYLGW_MVRIO_H
#define KYLGW_MVRIO_H

// Socket I/O of the mover exchange, for the client's transfer threads and
// for kylgwd's movers alike: exact-count sends and receives with readiness
// waits (poll), the control messages and data block headers over a socket,
// and the receive and send of whole data blocks into and out of a caller's
// buffer.  Each call works on the caller's own socket and takes no locks;
// many threads call these at once, each on its sockets.
//
// Timeouts are in seconds; 0 means no limit.  Results are a byte count (or
// 0) on success, or a negative code: -EINVAL for a message or block header
// that fails its checks, -ETIMEDOUT when a wait expires, NXAPI_E_NOSESSION
// (-50) when the peer closed or reset the connection, -EIO for a data block
// cut short, and other negated errno values of the system calls.  EINTR and
// EAGAIN are always retried.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

#include "kylgw_mvrprot.h"

// Least wait, in seconds, for the data of a block once its header arrived
// and for each piece of data sent, whenever a timeout is given (sends: even
// when none is given).
constexpr int MOVER_MIN_DATA_WAIT = 60;

// Waits until fd is readable (forWrite 0) or writable, at most seconds.
// Returns 0 when ready, or -1 with errno ETIMEDOUT (time is up), EPIPE
// (the peer hung up and nothing is left to read, or writing is no longer
// possible), EBADF (fd is not open) or poll's own errno.
int quor_poll_descriptor(int fd, int forWrite, int seconds);

// Moves exactly count bytes, waiting for readiness before each system
// call.  Returns count, or a negative code; a receive that meets end of
// input returns NXAPI_E_NOSESSION even after part of the bytes arrived.
[[nodiscard]] ssize_t quor_recv_data(int fd, void *buffer, size_t count);
[[nodiscard]] ssize_t quor_recv_data_timeout(int fd, void *buffer, size_t count, int seconds);
[[nodiscard]] ssize_t quor_send_data(int fd, const void *buffer, size_t count);
[[nodiscard]] ssize_t quor_send_data_timeout(int fd, const void *buffer, size_t count, int seconds);

// Control messages.  A send fills in msg's Delimiter and CheckSum with
// what it sent; the address of an address message must be IPv4 or IPv6
// (else -EINVAL, nothing sent).  A receive refuses a wrong delimiter or
// checksum, and in an address message an unknown family, with -EINVAL.
// Each returns 0 or a negative code.
[[nodiscard]] int mvrprot_send_initmsg(int fd, initiator_msg_t *msg);
[[nodiscard]] int mvrprot_send_initmsg_timeout(int fd, initiator_msg_t *msg, int seconds);
[[nodiscard]] int mvrprot_recv_initmsg(int fd, initiator_msg_t *msg);
[[nodiscard]] int mvrprot_recv_initmsg_timeout(int fd, initiator_msg_t *msg, int seconds);
[[nodiscard]] int mvrprot_send_ipaddr(int fd, initiator_ipaddr_t *msg);
[[nodiscard]] int mvrprot_send_ipaddr_timeout(int fd, initiator_ipaddr_t *msg, int seconds);
[[nodiscard]] int mvrprot_recv_ipaddr(int fd, initiator_ipaddr_t *msg);
[[nodiscard]] int mvrprot_recv_ipaddr_timeout(int fd, initiator_ipaddr_t *msg, int seconds);
[[nodiscard]] int mvrprot_send_compmsg(int fd, completion_msg_t *msg);
[[nodiscard]] int mvrprot_send_compmsg_timeout(int fd, completion_msg_t *msg, int seconds);
[[nodiscard]] int mvrprot_recv_compmsg(int fd, completion_msg_t *msg);
[[nodiscard]] int mvrprot_recv_compmsg_timeout(int fd, completion_msg_t *msg, int seconds);

// Receives one data block header.  Returns PDATA_HDR_SIZE, 0 when the
// input ended before its first byte, -EIO when it ended inside the header,
// -EINVAL for a wrong delimiter or checksum, or another negative code.
[[nodiscard]] int pdata_recv_hdr(int fd, pdata_hdr_t *hdr);
[[nodiscard]] int pdata_recv_hdr_timeout(int fd, pdata_hdr_t *hdr, int seconds);

// Sends *hdr (its PdataDelimiter and CheckSum filled in with what was
// sent).  Returns PDATA_HDR_SIZE or a negative code.
[[nodiscard]] int pdata_send_hdr(int fd, pdata_hdr_t *hdr);
[[nodiscard]] int pdata_send_hdr_timeout(int fd, pdata_hdr_t *hdr, int seconds);

// Sends *hdr and then the length bytes at buffer, which hdr->Length must
// equal (and fit in 32 bits; else -EINVAL, nothing sent).  The data goes
// out in writes of at most writeSize bytes (0: no limit), each after a
// wait of max(seconds, MOVER_MIN_DATA_WAIT).  Returns length or a negative
// code.
[[nodiscard]] ssize_t pdata_send_hdr_and_data(int fd, pdata_hdr_t *hdr, const void *buffer, uint64_t length);
[[nodiscard]] ssize_t pdata_send_hdr_and_data_timeout(int fd, pdata_hdr_t *hdr, const void *buffer, uint64_t length,
                                                      int seconds);
[[nodiscard]] ssize_t pdata_send_hdr_and_data_ws(int fd, pdata_hdr_t *hdr, const void *buffer, uint64_t length,
                                                 int seconds, size_t writeSize);

// The parts of a receive buffer that blocks already filled, as sorted,
// disjoint [begin, end) byte ranges relative to the buffer's start.  One
// record per buffer, used by one thread at a time.
struct mover_ranges_t {
    std::vector<std::pair<uint64_t, uint64_t>> filled;
};

// Whether [begin, end) (not empty) shares a byte with a range of *r.
[[nodiscard]] bool mover_ranges_overlap(const mover_ranges_t *r, uint64_t begin, uint64_t end);
// Records [begin, end), which must overlap no range of *r, joining it with
// the ranges it touches.
void mover_ranges_add(mover_ranges_t *r, uint64_t begin, uint64_t end);

// Receives count data blocks (count < 0: until the input ends or a block
// fails) from fd into buffer, which holds the bytes [offset, offset +
// length) of transfer xferId.  Each header must carry xferId and a range
// inside the buffer that no earlier block filled (tracked in *ranges when
// given, across calls; else within this call); Length is at most
// PDATA_MAX_BLOCK.  A refused header ends the call with -EINVAL before its
// data is read.  The wait for a header is at most seconds, for its data
// max(seconds, MOVER_MIN_DATA_WAIT) when seconds is given.  *received
// grows by the length of every block that arrived whole.  Returns the
// bytes of this call's blocks, 0 when the input ended at a block boundary
// (whatever arrived before is in *received), -EIO when it ended inside a
// header or a block, or another negative code.
[[nodiscard]] ssize_t mover_socket_recv_data(int fd, uint64_t xferId, uint64_t offset, void *buffer, uint64_t length,
                                             uint64_t *received, int count);
[[nodiscard]] ssize_t mover_socket_recv_data_timeout(int fd, uint64_t xferId, uint64_t offset, void *buffer,
                                                     uint64_t length, uint64_t *received, int count, int seconds);
[[nodiscard]] ssize_t mover_socket_recv_data_ranges(int fd, uint64_t xferId, uint64_t offset, void *buffer,
                                                    uint64_t length, uint64_t *received, int count, int seconds,
                                                    mover_ranges_t *ranges);

// Serves count block requests (count < 0: until the input ends or one
// fails): each request is a data block header checked as in
// mover_socket_recv_data (overlapping requests are served); the answer is
// a header with the request's XferID, Offset, Length and ticket and the
// Length bytes of buffer from Offset - offset, sent as in
// pdata_send_hdr_and_data_ws.  *sent grows by each answered Length.
// Returns the bytes sent by this call, 0 when the input ended at a request
// boundary, or a negative code.
[[nodiscard]] ssize_t mover_socket_send_requested_data(int fd, uint64_t xferId, uint64_t offset, const void *buffer,
                                                       uint64_t length, uint64_t *sent, int count);
[[nodiscard]] ssize_t mover_socket_send_requested_data_timeout(int fd, uint64_t xferId, uint64_t offset,
                                                               const void *buffer, uint64_t length, uint64_t *sent,
                                                               int count, int seconds);
[[nodiscard]] ssize_t mover_socket_send_requested_data_ws(int fd, uint64_t xferId, uint64_t offset, const void *buffer,
                                                          uint64_t length, uint64_t *sent, int count, int seconds,
                                                          size_t writeSize);

#endif
