#ifndef GW_LFX_H
#define GW_LFX_H

// Local-file transfers (category 5632): LfxInit moves bytes between the
// client and a file of the served tree, either inline in the request or
// its reply, or as raw bytes over a data connection kylgwd opens to the
// client's address (within GW_LFX_CONNECT_TIMEOUT).  A connection transfer
// is answered at once and again, with the same request id and function
// FN_LFX_XFER_REPLY, when its bytes have moved.  After a transfer that
// succeeded its data connection stays in the session's pool under the
// client's pool id, for a later transfer that names it; after a failure it
// is closed.  LfxCleanSockPool closes the pool.  The file is the session's
// open descriptor when the request names one, else the request's path
// opened with the user's identity (gw_FsLfxOpen).  LfxInit runs on a worker
// thread; the pool is guarded by the connection's lfxPoolMutex, held only
// to take or put back a socket.  Every wait on a data connection is cut
// into seconds: a session that starts closing ends its transfers' waits
// (and their sockets) within one.  The lfx_* faults (gw_faults.h) act here.

#include "gw_reply.h"

#include <cstdint>

// Longest wait for the client's data connection to be accepted, and for
// each read or write on it, in seconds.
constexpr int GW_LFX_CONNECT_TIMEOUT = 60;
constexpr int GW_LFX_IO_TIMEOUT = 60;
// Bytes moved through the file per system call.
constexpr size_t GW_LFX_CHUNK = 1u << 20;

// True for the requests gw_ServeLfx answers.
bool gw_LfxServes(uint16_t category, uint16_t function);

// Serves LfxInit or LfxCleanSockPool of the authenticated session c and
// sends the reply (and a transfer's completion).  Returns what the last
// gw_SendReply returned.
int gw_ServeLfx(gw_conn_t *c, const gw_request_t *req);

// Closes every pooled data connection of c.  Session thread, at its end.
void gw_LfxPoolClose(gw_conn_t *c);

#endif
