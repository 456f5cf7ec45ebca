#ifndef GW_MVREMOTE_H
#define GW_MVREMOTE_H

// The gateway's side of the mover daemons of its Movers section.  A list
// request's stripes are spread over the daemons that are up: they form a
// round in which a daemon of weight N stands N times (interleaved), and
// stripe k goes to the round's entry k mod its length.  Each daemon gets
// one link per request (gw_mvlink.h) on a thread of its own and reports the
// bytes each block of its stripes moved.  A daemon that cannot be reached,
// fails its key proof or breaks off mid-request is down: its stripes fail
// with the storage system's I/O error (-5), the other daemons are told to
// stop, and no stripes go to it until it answers a health probe (sent
// before a request, at most once per GW_MVPROBE_INTERVAL_MS per daemon).
// The daemons' table is set up once at start-up; each daemon's state has
// its own mutex (a leaf lock).

#include "gw_config.h"
#include "gw_mvlink.h"
#include "gw_reply.h"

#include <cstdint>
#include <string>
#include <vector>

// Shortest time between two health probes of a daemon that is down, and
// the longest a probe may wait for the daemon to accept (a request waits
// for the probes of the daemons that are down).
constexpr int64_t GW_MVPROBE_INTERVAL_MS = 2000;
constexpr int GW_MVPROBE_TIMEOUT = 3;

// Makes the Movers section of cfg the daemons the gateway uses (none when
// it has none) and reads the key file mover_key names.  Main thread,
// start-up.  Returns 0, or -1 with a one-line message in *err.
[[nodiscard]] int gw_RemoteSetup(const gw_config_t *cfg, std::string *err);
// Forgets the daemons and wipes the key.  After every session ended.
void gw_RemoteShutdown();
// True when a Movers section was set up.
bool gw_RemoteOn();

// Has the daemons move the stripes of job (its stripes list is filled
// here) for session c.  (*done)[b] receives the bytes moved of block b of
// the blocks the daemons reported.  Returns 0, -EIO when a daemon was lost
// or none is up, or the first failure a daemon reported.
[[nodiscard]] int gw_RemoteMove(gw_conn_t *c, const gw_mvjob_t &job, std::vector<uint64_t> *done);

// The round of daemon indices for the given weights (interleaved: weights
// 2 and 1 give 0 1 0).
std::vector<size_t> gw_RemoteRound(const std::vector<uint32_t> &weights);

#endif
