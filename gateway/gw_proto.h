#ifndef GW_PROTO_H
#define GW_PROTO_H

// What kylgwd does with each decoded request: the site information from
// the configuration and the fault script, the gateway log messages
// (Openlog, Logmsg, Closelog of an authenticated session: one line each in
// the daemon log, up to the site's max_log_bytes_per_session), and a
// "not served by this build" reply (-38) for every other catalogued
// operation.  Called on the session thread, or on a worker thread for the
// operations gw_RequestIsSlow names; takes no locks of its own.

#include "gw_reply.h"

// Longest gateway log text written to the log; longer texts are cut there.
constexpr size_t GW_LOGMSG_TEXT_MAX = 3072;

// True for the operations that may wait on data connections or transfers
// (ReadList, WriteList, ReadX, WriteX, OpenX, LfxInit): the session runs
// them on a worker so that later requests of the connection are served
// meanwhile.
bool gw_RequestIsSlow(uint16_t category, uint16_t function);

// Fills the greeting for the connection numbered connectionNo (from 1).
void gw_BuildGreeting(const gw_conn_t *c, uint64_t connectionNo, api_server_state_rply_t *out);

// Serves req and sends its reply (faults included).  Does not free req.
// Returns what gw_SendReply returned.
int gw_ServeRequest(gw_conn_t *c, const gw_request_t *req);

#endif
