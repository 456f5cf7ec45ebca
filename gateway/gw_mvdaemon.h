#ifndef GW_MVDAEMON_H
#define GW_MVDAEMON_H

// kylgwd --mover: a mover daemon on a host that shares the served tree
// with the gateway.  It serves no client messages: it accepts links from
// the gateway (gw_mvlink.h), refuses every peer that does not prove the
// mover key before reading anything else from it, and for each request
// opens the file in its own view of the tree as the request's user, runs
// the movers of the stripes it was given (gw_MoversRunJob: they connect
// back to the client from this host's address) and reports what moved.
// One thread per link; the main thread accepts until a stop signal, then
// closes every link and joins every thread.

#include "gw_config.h"

#include <string>

// Reads the key file of cfg's mover_key for the daemon.  Main thread,
// start-up.  Returns 0, or -1 with a one-line message in *err.
[[nodiscard]] int gw_MvDaemonSetup(const gw_config_t *cfg, std::string *err);

// Serves links on listenFd until sigFd (a signalfd) reports a signal;
// faultsPath ("" = none) is read for each request.  Returns the signal's
// number, or -errno when the accept loop failed.  Wipes the key on return.
[[nodiscard]] int gw_MvDaemonServe(int listenFd, int sigFd, const std::string &faultsPath);

#endif
