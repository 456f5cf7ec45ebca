#ifndef GW_MOVERS_H
#define GW_MOVERS_H
// List reads and writes (ReadList 4615, WriteList 5889) served by data
// movers that connect back to the client.  The request's range is cut
// into blocks of the file's class-of-service block size; mover k of the
// stripe width W owns blocks k, k+W, k+2W... and works through them in
// order on one control connection and one data connection of its own,
// each on a thread of its own, independent of the others.  The file is
// taken from the session's table once (gw_FsTransferFile) and the table's
// lock is not held while data moves.  Every socket wait is bounded; a
// failing mover shuts down the sockets of the others so that the request
// ends at once.  All mover connections are closed before the reply, which
// reports the contiguous prefix of the request that moved; a failed write
// truncates the file to that prefix.  Sequential requests (the client's
// network descriptor without the mover-protocol flag) have no control
// connections: one block per data connection, one connection at a time,
// each closed by the client before the next.  Runs on a worker thread.
#include "gw_mvlink.h"
#include "gw_reply.h"
#include <cstdint>
// Most movers one request uses, whatever its class of service says.
constexpr uint32_t GW_MOVER_MAX_WIDTH = 64;
// Longest wait of a mover for its client, per read or write, in seconds.
constexpr int GW_MOVER_IO_TIMEOUT = 60;
// Longest wait for a mover's connection to be accepted, in seconds.
constexpr int GW_MOVER_CONNECT_TIMEOUT = 30;
// Block size of sequential transfers (one block per connection).
constexpr uint64_t GW_SEQ_BLOCK = 4ull << 20;
// Longest wait for the client to close a sequential block's connection.
constexpr int GW_SEQ_CLOSE_TIMEOUT = 30;
// Most blocks one request may be cut into.
constexpr uint64_t GW_MOVER_MAX_BLOCKS = 1u << 20;
// Longest request, in bytes.
constexpr uint64_t GW_MOVER_MAX_LENGTH = 1ull << 31;
// True for the requests gw_ServeListTransfer answers.
bool gw_MoversServe(uint16_t category, uint16_t function);
// Serves a list read or write of the authenticated session c and sends
// its reply.  Returns what gw_SendReply returned.
int gw_ServeListTransfer(gw_conn_t *c, const gw_request_t *req);
// A mover daemon's side of a list request: runs the movers of job's
// stripes on file fd, as the gateway's own movers would.  c carries the
// fault script and the session for the events; source (or null) is the
// local address the movers connect from.  A byte or the end of input on
// watch (the gateway's link) aborts the movers; alive(arg) runs every
// GW_MVLINK_ALIVE_EVERY seconds while they move (non-zero aborts them).
// Fills *rep.  Returns when every mover has ended.
void gw_MoversRunJob(gw_conn_t *c, const gw_mvjob_t &job, int fd, const quor_sockaddr_t *source, int watch,
                     int (*alive)(void *), void *arg, gw_mvreport_t *rep);
#endif
